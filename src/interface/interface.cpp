// Interface responses and form arguments.
#include "interface/interface.h"

#include <cstdlib>
#include <cstring>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/templates.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

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
    putlog(LOG_DEBUG, "cgi arguments: %s", text);
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
