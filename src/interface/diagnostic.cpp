// Per-request diagnostic pages.
#include "interface/diagnostic.h"

#include <string>

#include "engine/connection.h"
#include "engine/header.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"

namespace {

const char *const CENTRED_FRAME =
    "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n";

// The document type, the title line with the request's host and path
// (escaped), the body tag and the stylesheet.
void page_start(CONNECTION_T *connection, Filebuf *page, const char *title)
{
    const HEADER *h = connection->request;
    std::string where = interface_html(h && h->host ? h->host : "") +
                        interface_html(h && h->path ? h->path : "");
    page->Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page->Addf("<html><head><title>%s%s</title></head>", title, where.c_str());
    page->Addf("<body>\n");
    interface_stylesheet(connection, page);
}

std::string raw_text(const HEADER *h)
{
    return interface_html(h && h->raw ? h->raw : "");
}

}  // namespace

void show_profiles(CONNECTION_T *connection)
{
    Filebuf page;
    page_start(connection, &page, "Active profiles for ");
    page.Addf(CENTRED_FRAME);
    page.Addf("<table class=\"list\">\n");
    for (const std::string &profile : connection->profiles)
        page.Addf("<tr><td>%s</td></tr>\n", interface_html(profile).c_str());
    page.Addf("</table> </td></tr></table> </body></html>\n");
    interface_send_response(connection, &page);
}

void show_variables(CONNECTION_T *connection)
{
    Filebuf page;
    page_start(connection, &page, "Variables for ");
    page.Addf(CENTRED_FRAME);
    page.Addf("<table class=\"list\">\n");
    page.Addf("<tr class=\"listhead\"><td><b>Name</b></td><td><b>Value</b></td></tr>\n");
    unsigned n = 0;
    for (const auto &variable : connection->variables) {
        page.Addf("<tr class=\"%s\"><td>%s</td><td>%s</td></tr>\n", n++ % 2 == 0 ? "listeven" : "listodd",
                  interface_html(variable.first, HTML_BREAK_LINES | HTML_BLANKS).c_str(),
                  interface_html(variable.second, HTML_BREAK_LINES | HTML_BLANKS).c_str());
    }
    page.Addf("</table> </td></tr></table> </body></html>\n");
    interface_send_response(connection, &page);
}

void show_headers(CONNECTION_T *connection)
{
    Filebuf page;
    page_start(connection, &page, "HTTP headers to/from ");
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" width=\"100%%\"><tr><td align=\"center\">\n");
    page.Addf("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Client header</td></tr>\n");
    page.Addf("<tr><td><pre>%s</pre></td></tr>\n", raw_text(connection->request).c_str());
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Server header</td></tr>\n");
    page.Addf("<tr><td><pre>%s</pre></td></tr>\n", raw_text(connection->response).c_str());
    page.Addf("</table> </td></tr></table></body></html>\n");
    interface_send_response(connection, &page);
}

void show_filebuf(CONNECTION_T *connection, Filebuf *body)
{
    Filebuf page;
    page_start(connection, &page, "Raw contents of ");
    // The body is read as text: it ends at its first NUL byte.
    std::string text;
    if (body && body->data && body->size)
        text.assign(body->data, body->size);
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    page.Addf("<pre>\n%s</pre>\n", interface_html(text).c_str());
    page.Addf("</body></html>\n");
    interface_send_response(connection, &page);
}
