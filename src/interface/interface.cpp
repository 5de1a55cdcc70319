// Interface responses and form arguments.
#include "interface/interface.h"

#include <cstdlib>
#include <cstring>

#include "config/field.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/body.h"
#include "engine/templates.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

std::string decoded(const std::string &text);

// url_decode of the text, cut at a decoded NUL byte; a malformed escape
// leaves the text as it came.
std::string decoded(const std::string &text)
{
    char *plain = url_decode(text.c_str(), (int64_t)text.size());
    if (plain == nullptr)
        return text;
    std::string result(plain);
    free(plain);
    return result;
}

}  // namespace

CGIMap::CGIMap(const char *text)
{
    parse(text);
}

void CGIMap::parse(const char *text)
{
    if (text == nullptr)
        return;
    std::string all(text);
    size_t start = 0;
    while (start <= all.size()) {
        size_t end = all.find('&', start);
        if (end == std::string::npos)
            end = all.size();
        std::string piece = all.substr(start, end - start);
        size_t equal = piece.rfind('=');
        if (equal != std::string::npos)
            (*this)[decoded(piece.substr(0, equal))] = decoded(piece.substr(equal + 1));
        start = end + 1;
    }
    // Names only: the values of a form may be passwords (the login, the
    // dialogs' password fields, the password page).
    if (!(loglevel & LOG_DEBUG))
        return;
    std::string names;
    for (const auto &argument : *this)
        names += (names.empty() ? "" : ",") + argument.first;
    putlog(LOG_DEBUG, "cgi arguments: %s", names.c_str());
}

void interface_send_response(CONNECTION_T *connection, Filebuf *page)
{
    LogEntry &entry = connection->log_entry;
    entry.status = 200;
    entry.size = (int64_t)page->size;
    entry.mime = "text/html";
    if (connection->flags & CONN_CLIENT_GONE)
        return;
    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = 200;
    head->flags |= HEADER_LENGTH;
    head->content_length = page->size;
    header_field_set(&head->content_type, "text/html");
    header_field_set(&head->cache_control, "no-cache");
    // The head goes out from the connection's response slot, as every head
    // written to a client does; the response it replaces is put back.
    HEADER *previous = connection->response;
    connection->response = head;
    int sent = header_send(head, connection, SIDE_CLIENT, SEND_TO_CLIENT);
    connection->response = previous;
    http_header_free(head);
    if (sent == 0)
        http_send_body(connection, page);
    else
        connection->keepalive_client = 0;
}

int interface_stylesheet(CONNECTION_T *connection, Filebuf *page)
{
    if (template_section == nullptr)
        return 0;
    return template_section->insert(connection, page, "interface.css");
}

int xatoi(const std::string &text)
{
    if (text.empty())
        return -1;
    return atoi(text.c_str());
}

std::string interface_html(const char *text, int mode)
{
    char *escaped = string_to_html(text ? text : "", mode);
    ASSERT(escaped != nullptr);
    std::string result(escaped);
    free(escaped);
    return result;
}

std::string interface_html(const std::string &text, int mode)
{
    return interface_html(text.c_str(), mode);
}

void interface_item_rows(Filebuf *page, const Item &item)
{
    for (const Field &field : item.fields.fields) {
        std::string label = interface_html(field.label.empty() ? field.name : field.label);
        std::string value = interface_html(field.raw);
        if (field.optional && !field.active)
            value = "(off)";
        else if (field.secret())
            value = field.secret_shown();
        page->Addf("<tr><td>%s</td><td>%s</td></tr>\n", label.c_str(), value.c_str());
    }
}

void interface_match_page(CONNECTION_T *connection, const char *what,
                          const Item *item, const char *fallback)
{
    const HEADER *h = connection->request;
    std::string where = interface_html(h && h->host ? h->host : "") +
                        interface_html(h && h->path ? h->path : "");
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head><title>%s match for %s</title></head>", what, where.c_str());
    page.Addf("<body>\n");
    interface_stylesheet(connection, &page);
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">"
              "<tr><td align=\"center\">\n");
    page.Addf("<table class=\"dialog\">\n");
    page.Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">%s match for %s</td></tr>\n",
              what, where.c_str());
    if (item != nullptr)
        interface_item_rows(&page, *item);
    else
        page.Addf("<tr><td align=\"center\" colspan=\"2\">%s</td></tr>\n",
                  fallback ? interface_html(fallback).c_str() : "None");
    page.Addf("</table></td></tr> </table></body></html>\n");
    interface_send_response(connection, &page);
}
