// Per-request diagnostic pages.
#include "interface/diagnostic.h"

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "cache/cache.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/proto_http.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"
#include "runtime/misc.h"

namespace {

void page_start(CONNECTION_T *connection, Filebuf *page, const char *title);
std::string raw_text(const HEADER *h);
void add(Filebuf *page, const std::string &text);
void htmltree_row(std::string *rows, const htmlstream_node *node, int depth);

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

// Text of any length: Addf keeps at most 8191 characters, which would cut
// a head, a body or a long value short.
void add(Filebuf *page, const std::string &text)
{
    page->Add(text.data(), text.size());
}

// One node of the HTML tree as a row: a tag with its attributes, or a
// text in quotes, indented by its depth.
void htmltree_row(std::string *rows, const htmlstream_node *node, int depth)
{
    *rows += "<tr><td><table border=\"0\" cellpadding=\"0\" cellspacing=\"0\"><tr><td width=\"";
    *rows += std::to_string(36L * depth);
    *rows += "\"></td><td>";
    if (node->tag) {
        *rows += interface_html(node->tag->name) + " ";
        for (const htmlstream_attribute *a = node->tag->attributes; a; a = a->next)
            *rows += interface_html(a->name) + "=\"" + interface_html(a->value) + "\" ";
    } else if (node->text) {
        *rows += "\"" + interface_html(node->text, HTML_BREAK_LINES | HTML_BLANKS) + "\"";
    }
    *rows += "</td></tr></table></td></tr>\n";
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
        page.Addf("<tr class=\"%s\"><td>", n++ % 2 == 0 ? "listeven" : "listodd");
        add(&page, interface_html(variable.first, HTML_BREAK_LINES | HTML_BLANKS) + "</td><td>" +
                       interface_html(variable.second, HTML_BREAK_LINES | HTML_BLANKS) +
                       "</td></tr>\n");
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
    add(&page, "<tr><td><pre>" + raw_text(connection->request) + "</pre></td></tr>\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\">Server header</td></tr>\n");
    add(&page, "<tr><td><pre>" + raw_text(connection->response) + "</pre></td></tr>\n");
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
    add(&page, "<pre>\n" + interface_html(text) + "</pre>\n");
    page.Addf("</body></html>\n");
    interface_send_response(connection, &page);
}

void show_proxytest(CONNECTION_T *connection)
{
    Filebuf page;
    // The title names the request as the client sent it, before the test
    // points a copy of it at the proxy itself.
    page_start(connection, &page, "Proxy test for ");
    page.Addf(CENTRED_FRAME);
    page.Addf("<table class=\"centerdialog\">\n");
    if (connection->forward_type != FORWARD_HTTP) {
        page.Addf("<tr><td>Not forwarding through HTTP proxy</td></tr>\n");
    } else {
        std::string parent = interface_html(connection->forward_host ? connection->forward_host : "");
        proxy_test(connection);
        if (connection->response) {
            page.Addf("<tr><td>Headers received from %s:%d</td></tr>\n", parent.c_str(),
                      connection->forward_port);
            add(&page, "<tr><td><pre>" + raw_text(connection->response) + "</pre></td></tr>\n");
        } else {
            page.Addf("<tr><td>%s:%d failed to connect back</td></tr>\n", parent.c_str(),
                      connection->forward_port);
        }
    }
    page.Addf("</table> </td></tr></table></body></html>\n");
    interface_send_response(connection, &page);
    http_header_free(connection->response);
    connection->response = nullptr;
}

void show_htmltree_node(Filebuf *page, const htmlstream_node *first, int depth)
{
    // The rest of every level still to draw, the deepest on top: a node's
    // group is drawn before the siblings that follow it.
    std::vector<std::pair<const htmlstream_node *, int>> pending;
    std::string rows;
    if (first)
        pending.emplace_back(first, depth);
    while (!pending.empty()) {
        const htmlstream_node *node = pending.back().first;
        int level = pending.back().second;
        pending.pop_back();
        htmltree_row(&rows, node, level);
        if (node->next)
            pending.emplace_back(node->next, level);
        if (node->children)
            pending.emplace_back(node->children, level + 1);
    }
    add(page, rows);
}

void show_htmltree(CONNECTION_T *connection)
{
    Filebuf page;
    page_start(connection, &page, "HTML tree for ");
    page.Addf(CENTRED_FRAME);
    page.Addf("<table class=\"list\">\n");
    if (connection->html_stream)
        show_htmltree_node(&page, connection->html_stream->root, 0);
    page.Addf("</table> </td></tr></table> </body></html>\n");
    interface_send_response(connection, &page);
}

namespace {

// A time of the cache object as the page writes it: UTC, labelled GMT.
std::string object_time(time_t when)
{
    struct tm broken;
    char text[64] = "";
    if (gmtime_r(&when, &broken) != nullptr)
        strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &broken);
    return text;
}

}  // namespace

void cache_show(CONNECTION_T *connection)
{
    const HEADER *h = connection->request;
    CacheSection *cache = cache_section;
    CACHEMAP *object = nullptr;
    if (cache && h && h->url)
        object = cache->cache_open(nullptr, h->url, nullptr, CACHE_OFFLINE);
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    std::string where = interface_html(h && h->scheme ? h->scheme : "") + "://" +
                        interface_html(h && h->host ? h->host : "") + ":" + std::to_string(h ? h->port : 0) +
                        interface_html(h && h->path ? h->path : "");
    page.Addf("<html><head><title>Cache information for %s</title></head>", where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf(CENTRED_FRAME);
    page.Addf("<table class=\"bigdialog\">\n");
    page.Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Cache information for %s</td></tr>\n",
              where.c_str());
    if (object == nullptr) {
        page.Addf("<tr><td align=\"center\" colspan=\"2\">Nothing found</td></tr>\n");
        page.Addf("</table></td></tr> </table></body></html>\n");
        interface_send_response(connection, &page);
        return;
    }
    // The fields are copied under the cache mutex; the page is escaped and
    // sent after it is released.
    cache->mutex_lock();
    std::string store = object->store ? object->store->path : "";
    uint64_t size = object->size;
    time_t mtime = object->mtime, lmtime = object->lmtime, expires = object->expires,
           fresh_until = object->fresh_until;
    unsigned long min_age = object->min_age, max_age = object->max_age, validate_age = object->validate_age;
    int lm_factor = (int)object->lm_factor;
    std::string md5 = object->md5;
    char *flags = cache->flag_string(object);
    std::string head;
    if (object->mapping && object->header_length && object->header_length <= object->map_size)
        head.assign(object->mapping, object->header_length);
    cache->unlock();
    cache->cache_close(object, false);

    if (!store.empty())
        page.Addf("<tr><td>Path</td><td>%s</td></tr>\n", interface_html(store).c_str());
    page.Addf("<tr><td>Size</td><td>%llu bytes</td></tr>\n", (unsigned long long)size);
    page.Addf("<tr><td>Retrieved</td><td>%s</td></tr>\n", object_time(mtime).c_str());
    if (lmtime)
        page.Addf("<tr><td>Last modified</td><td>%s</td></tr>\n", object_time(lmtime).c_str());
    if (expires)
        page.Addf("<tr><td>Expires</td><td>%s</td></tr>\n", object_time(expires).c_str());
    if (fresh_until)
        page.Addf("<tr><td>Fresh until</td><td>%s</td></tr>\n", object_time(fresh_until).c_str());
    page.Addf("<tr><td>Minimum age</td><td>%lu</td></tr>\n", min_age);
    page.Addf("<tr><td>Maximum age</td><td>%lu</td></tr>\n", max_age);
    page.Addf("<tr><td>Validate age</td><td>%lu</td></tr>\n", validate_age);
    page.Addf("<tr><td>Last-Modified time factor</td><td>%d</td></tr>\n", lm_factor);
    page.Addf("<tr><td>MD5 sum</td><td>%s</td></tr>\n", interface_html(md5).c_str());
    page.Addf("<tr><td>Flags</td><td>%s</td></tr>\n", interface_html(flags ? flags : "").c_str());
    free(flags);
    page.Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Header\n</td></tr><tr "
              "class=\"bigdialog\"><td colspan=\"2\"><pre>");
    add(&page, interface_html(head) + "</pre></td></tr>\n");
    page.Addf("</table></td></tr> </table></body></html>\n");
    interface_send_response(connection, &page);
}
