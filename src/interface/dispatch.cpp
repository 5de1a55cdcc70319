// The web interface's request handling: recognition, dispatch, the
// Referer check, the login cookie, the frame, the top menu and the page
// loop.
#include "interface/dispatch.h"

#include <strings.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include <tinyxml.h>

#include "config/general.h"
#include "config/xml.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "filters/cookies.h"
#include "filters/sortmarks.h"
#include "interface/interface.h"
#include "interface/pages.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/stats.h"

#ifndef KELVARINE_VERSION
#define KELVARINE_VERSION "0"
#endif

const interface_page_row pages[] = {
    {"/connections", interface_page_connections},
    {"/dnscache", interface_page_dnscache},
    {"/headers", interface_page_headers},
    {"/config", interface_page_config},
    {"/save", interface_page_save},
    {"/load", interface_page_load},
    {"/log", interface_page_log},
    {"/cache", interface_page_cache},
    {"/pool", interface_page_pool},
    {"/prefetch", interface_page_prefetch},
    {"/stats", interface_page_stats},
    {"/urlbl", interface_page_urlbl},
    {"/ldap", interface_page_ldap},
    {"/password", interface_page_password},
    {"/sortmark", interface_page_sortmark},
    {nullptr, nullptr},
};

namespace {

const size_t HOST_LENGTH = sizeof(INTERFACE_HOST) - 1;       // 13
const size_t PREFIX_LENGTH = HOST_LENGTH + 1;                // "/kelvarine.cfg"
// Seconds a login cookie lives after the page that set it.
const time_t LOGIN_LIFETIME = 3600;

std::string html(const std::string &text)
{
    return interface_html(text);
}

// This proxy's host name as pages and the Referer check use it: -H, else
// the "general" section's host name; at most 255 characters.
std::string proxy_host_name()
{
    std::string name = proxyhost;
    if (name.empty() && general_section)
        name = general_section->proxy_host_get();
    if (name.size() > 255)
        name.resize(255);
    return name;
}

// Renews a login cookie: path "/" and an expiry one hour ahead, in UTC
// with the label GMT.
std::string login_cookie(CookieHeader &cookie)
{
    time_t expiry = time(nullptr) + LOGIN_LIFETIME;
    cookie.has_expiry = true;
    if (gmtime_r(&expiry, &cookie.expiry) == nullptr)
        cookie.has_expiry = false;
    cookie.path = "/";
    return cookie.Build();
}

void head_line(HEADER *head, const char *name, const std::string &value)
{
    HTTP_HEADER line;
    line.type = HTTP_HEADER_VERBATIM;
    line.name = name;
    line.value = value;
    head->headers.push_back(line);
}

// Sends a head built here from the connection's response slot, as every
// head written to a client goes; the previous response is put back.
int head_send(CONNECTION_T *connection, HEADER *head)
{
    HEADER *previous = connection->response;
    connection->response = head;
    int sent = header_send(head, connection, SIDE_CLIENT, SEND_TO_CLIENT);
    connection->response = previous;
    if (sent != 0)
        connection->keepalive_client = 0;
    return sent;
}

// The request body as text for the form arguments: read now when it is
// still on the socket (at most the buffer limit), else the body already
// read.
std::string request_body_text(CONNECTION_T *connection)
{
    std::string text;
    if (connection->flags & CONN_STREAM_BODY) {
        Filebuf body;
        BodyRest rest;
        int result = http_transfer_filebuf_capped(connection, SIDE_CLIENT, &body,
                                                  body_buffer_cap(connection), &rest);
        if (result == BODY_WHOLE) {
            connection->flags &= ~(CONN_STREAM_BODY | CONN_BODY_PENDING);
        } else {
            // What is left of the body cannot be told from the next request.
            connection->keepalive_client = 0;
            putlog(LOG_WARNING, "web interface: request body not read whole from %s",
                   connection->client_ip ? connection->client_ip : "");
        }
        if (body.data && body.size)
            text.assign(body.data, body.size);
    } else if (connection->request_body && connection->request_body->data) {
        text.assign(connection->request_body->data, connection->request_body->size);
    }
    // The arguments end at the first NUL byte, as a C text would.
    size_t nul = text.find('\0');
    if (nul != std::string::npos)
        text.resize(nul);
    return text;
}

void top_menu(Filebuf *page)
{
    static const char *const rows[4][4][2] = {
        {{"connections", "Active connections"}, {"stats", "Statistics"},
         {"dnscache", "DNS cache"}, {"headers", "Show headers"}},
        {{"cache", "View cache entries"}, {"pool", "Connection pool"},
         {"prefetch", "Prefetch queue"}, {"urlbl", "URL blacklist"}},
        {{"config", "Config"}, {"log", "View log entries"},
         {"save", "Save settings"}, {"load", "Load settings"}},
        {{"ldap", "Show LDAP Groups"}, {"password", "Encrypt Password"},
         {"sortmark", "Test Sortmarks"}, {nullptr, nullptr}},
    };
    page->Addf("</td></tr><tr><td><br></td></tr>\n");
    page->Addf("<tr class=\"topmenu\"><td>Top Menu</td></tr>\n");
    page->Addf("<tr><td><table class=\"menu\"><tr align=\"center\">\n");
    for (int row = 0; row < 4; row++) {
        if (row > 0)
            page->Addf("<tr align=\"center\">\n");
        for (int cell = 0; cell < 4; cell++) {
            if (rows[row][cell][0] == nullptr)
                break;
            page->Addf("<td><a href=\"%s\">%s</a></td>\n", rows[row][cell][0], rows[row][cell][1]);
        }
        if (row == 3)
            page->Addf("<td></td>\n<td></td>\n<td></td>\n");
        page->Addf("</tr>\n");
    }
    page->Addf("</table></td></tr>\n<tr><td><br></td></tr><tr><td>\n");
}

// The configuration export: the document printed under documentlock, the
// lock released before a byte goes to the client.
void send_xml(CONNECTION_T *connection, HEADER *head)
{
    std::string body;
    pthread_mutex_lock(&documentlock);
    if (document != nullptr) {
        config_xml_build();
        TiXmlPrinter printer;
        document->Accept(&printer);
        body = printer.Str();
    }
    pthread_mutex_unlock(&documentlock);

    head_line(head, "Last-Modified", interface_http_date(documentsynctime.load()));
    header_field_set(&head->content_type, "text/xml");
    header_field_set(&head->cache_control, "no-cache");
    // The body ends with the connection.
    connection->keepalive_client = 0;
    if (head_send(connection, head) != 0)
        return;
    if (!(connection->flags & CONN_HEAD) && !body.empty()) {
        Filebuf buffer;
        buffer.Add(body.data(), body.size());
        net_filebuf_send(&buffer, connection, SIDE_CLIENT);
    }
    connection->log_entry.status = 200;
    connection->log_entry.size = (int64_t)body.size();
    connection->log_entry.mime = "text/xml";
}

void send_ldapcache(CONNECTION_T *connection, HEADER *head)
{
    if (interface_ldapcache_export == nullptr) {
        if (template_section)
            template_section->send("nofile", connection, 404);
        return;
    }
    Filebuf body;
    time_t updated = interface_ldapcache_export(&body);
    head_line(head, "Last-Modified", interface_http_date(updated));
    header_field_set(&head->content_type, "text/xml");
    header_field_set(&head->cache_control, "no-cache");
    head->flags |= HEADER_LENGTH;
    head->content_length = body.size;
    connection->keepalive_client = 0;
    if (head_send(connection, head) != 0)
        return;
    http_send_body(connection, &body);
    connection->log_entry.status = 200;
    connection->log_entry.size = (int64_t)body.size;
    connection->log_entry.mime = "text/xml";
}

bool path_equal(const std::string &a, const char *b)
{
    return strcasecmp(a.c_str(), b) == 0;
}

// Whether the Referer names the address and port this request was sent to
// ("http://127.0.0.1:8080/kelvarine.cfg/config" for a page opened directly
// at a listener): every page of that origin is this proxy's own, because a
// request through the proxy to one of its own listeners is refused.  Port
// 80 may be left out, as browsers write it.
bool referer_is_listener(const CONNECTION_T *connection, const char *referer)
{
    if (connection->interface_ip == nullptr || *connection->interface_ip == '\0' ||
        connection->listen_port <= 0)
        return false;
    std::string address = std::string("http://") + connection->interface_ip;
    std::string with_port = address + ":" + std::to_string(connection->listen_port);
    std::string bases[2] = {with_port, connection->listen_port == 80 ? address : std::string()};
    for (const std::string &base : bases) {
        if (!base.empty() && strncasecmp(referer, base.c_str(), base.size()) == 0 &&
            referer[base.size()] == '/')
            return true;
    }
    return false;
}

}  // namespace

time_t (*interface_ldapcache_export)(Filebuf *body) = nullptr;

namespace {

// The categorisation entry points leave interface requests alone.
struct RecogniserInstaller {
    RecogniserInstaller() { sortmarks_interface_request = isthis_interface_request; }
} recogniser_installer;

}  // namespace

std::string interface_http_date(time_t when)
{
    struct tm broken;
    char text[128] = "";
    if (gmtime_r(&when, &broken) == nullptr)
        return "";
    strftime(text, sizeof(text), "%a, %d %b %Y %T GMT", &broken);
    return text;
}

std::string interface_path(const CONNECTION_T *connection)
{
    const HEADER *h = connection->request;
    std::string path = h && h->path ? h->path : "";
    if (h && h->kind == HEADER_TRANSPARENT)
        path = path.size() > PREFIX_LENGTH ? path.substr(PREFIX_LENGTH) : "";
    return path;
}

bool interface_request(CONNECTION_T *connection)
{
    HEADER *h = connection->request;
    if (h == nullptr)
        return false;
    if (h->kind == HEADER_TRANSPARENT) {
        const char *path = h->path ? h->path : "";
        if (strlen(path) >= PREFIX_LENGTH && strncasecmp(path + 1, INTERFACE_HOST, HOST_LENGTH) == 0)
            return true;
        if (h->host_header && strcasecmp(h->host_header, INTERFACE_HOST) == 0) {
            h->kind = HEADER_PROXY;
            header_field_set(&h->host, INTERFACE_HOST);
            return true;
        }
        return false;
    }
    return h->host != nullptr && strcasecmp(h->host, INTERFACE_HOST) == 0;
}

bool isthis_interface_request(CONNECTION_T *connection)
{
    return interface_request(connection);
}

int interface_check_referer(CONNECTION_T *connection)
{
    const char *referer = connection->request ? connection->request->referer : nullptr;
    if (referer == nullptr) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }
    std::string hosts[2] = {INTERFACE_HOST, proxy_host_name()};
    for (const std::string &host : hosts) {
        if (host.empty())
            continue;
        std::string base = "http://" + host;
        if (base.size() > 126)
            base.resize(126);
        if (strncasecmp(referer, base.c_str(), base.size()) == 0 &&
            (referer[base.size()] == ':' || referer[base.size()] == '/'))
            return 1;
    }
    if (referer_is_listener(connection, referer))
        return 1;
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)", referer);
    return 0;
}

std::string interface_login_token(const std::string &user, const std::string &password)
{
    std::string text = user + ":" + password;
    if (text.size() > 1022)
        text.resize(1022);
    char *encrypted = blowfish_encrypt(text.c_str(), text.c_str());
    if (encrypted == nullptr)
        return "";
    char *encoded = url_encode(encrypted, -1);
    free(encrypted);
    ASSERT(encoded != nullptr);
    std::string token = encoded;
    free(encoded);
    return token;
}

bool interface_login(CONNECTION_T *connection, CGIMap &args, HEADER *head, Filebuf *page)
{
    const std::string &user = connection->interface_user;
    const std::string &password = connection->interface_password;
    if (user.empty() || password.empty())
        return true;
    std::string token = interface_login_token(user, password);

    const HEADER *h = connection->request;
    if (h != nullptr && !token.empty()) {
        // Only the first Cookie line and its first "login" pair count.
        for (const HTTP_HEADER &line : h->headers) {
            if (line.name != "Cookie")
                continue;
            CookieHeader cookie(line.value);
            for (const auto &pair : cookie.pairs) {
                if (pair.first != "login")
                    continue;
                if (pair.second == token) {
                    head_line(head, "Set-Cookie", login_cookie(cookie));
                    return true;
                }
                break;
            }
            break;
        }
    }

    auto name = args.find("username");
    auto secret = args.find("password");
    if (name != args.end() && secret != args.end() && name->second == user &&
        secret->second == password && !token.empty()) {
        CookieHeader cookie;
        cookie.pairs.emplace_back("login", token);
        head_line(head, "Set-Cookie", login_cookie(cookie));
        return true;
    }

    std::string action = html(h && h->path ? h->path : "");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<form action=\"%s\" method=\"POST\">\n", action.c_str());
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Web interface login</td></tr>\n");
    page->Addf("<tr><td>Username</td><td><input type=\"text\" name=\"username\" size=\"80\"></td></tr>\n");
    page->Addf("<tr><td>Password</td><td><input type=\"password\" name=\"password\" size=\"80\"></td></tr>\n");
    page->Addf("<tr><td colspan=\"2\"><input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form>\n");
    page->Addf("</table>\n");
    return false;
}

void interface_handle_request(CONNECTION_T *connection)
{
    HEADER *request = connection->request;
    std::string path = interface_path(connection);

    // Template files need neither the access bit nor a login: the FTP
    // listing loads its arrow images this way.
    if (strncasecmp(path.c_str(), "/template/", 10) == 0) {
        template_send_or_missing(path.c_str() + 10, connection, 200);
        return;
    }
    bool userstats = path_equal(path, "/userstats");
    if (!userstats && !(connection->access_flags & ACCESS_INTERFACE)) {
        if (template_section)
            template_section->send("noaccess", connection, 403);
        return;
    }

    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = 200;
    connection->log_entry.peer = "kelvarine";

    if (request->kind == HEADER_TRANSPARENT && (path.empty() || path[0] != '/')) {
        head->status = 302;
        head->flags |= HEADER_LENGTH;
        head->content_length = 0;
        header_field_set(&head->location, INTERFACE_HOST "/");
        connection->log_entry.status = 302;
        head_send(connection, head);
        http_header_free(head);
        return;
    }
    if (path_equal(path, "/ldapcache")) {
        send_ldapcache(connection, head);
        http_header_free(head);
        return;
    }
    if (path_equal(path, "/xml")) {
        send_xml(connection, head);
        http_header_free(head);
        return;
    }

    head_line(head, "Date", interface_http_date(time(nullptr)));
    header_field_set(&head->content_type, "text/html");

    CGIMap args;
    size_t question = std::string::npos;
    if (interface_check_referer(connection)) {
        if (request->method && strcasecmp(request->method, "POST") == 0) {
            std::string body = request_body_text(connection);
            args.parse(body.c_str());
        } else {
            question = path.find('?');
            if (question != std::string::npos)
                args.parse(path.c_str() + question + 1);
        }
    }

    std::string host = html(proxy_host_name());
    Filebuf page;
    page.Addf("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n");
    page.Addf("<html><head>\n");
    page.Addf("<title>Kelvarine %s web interface for %s</title></head>\n", KELVARINE_VERSION,
              host.c_str());
    page.Addf("<body onmousemove=\"overhere()\"><div id=\"ToolTip\"></div>\n");
    if (template_section) {
        template_section->insert(connection, &page, "tooltip");
        template_section->insert(connection, &page, "interfacehead");
    }
    page.Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\">\n");
    page.Addf("<tr><td align=\"center\">\n");

    if (userstats) {
        if (connection->user_stats)
            connection->user_stats->Display(&page);
    } else if (interface_login(connection, args, head, &page)) {
        top_menu(&page);
        std::string name = question != std::string::npos ? path.substr(0, question) : path;
        for (const interface_page_row *row = pages; row->path; row++) {
            if (path_equal(name, row->path))
                row->handler(&page, args, connection);
        }
    }
    page.Addf("</td></tr></table></body></html>\n");

    head->flags |= HEADER_LENGTH;
    head->content_length = page.size;
    connection->log_entry.status = 200;
    connection->log_entry.size = (int64_t)page.size;
    connection->log_entry.mime = "text/html";
    if (head_send(connection, head) == 0)
        http_send_body(connection, &page);
    http_header_free(head);
}
