// The road of a request, the server connection set-up and CONNECT tunnels.
#include "engine/protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include "cache/prefetch.h"
#include "cache/serve.h"
#include "config/general.h"
#include "config/profiles.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/dns.h"
#include "engine/fetch.h"
#include "engine/forward.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/header_filter.h"
#include "engine/network.h"
#include "engine/proto_ftp.h"
#include "engine/proto_http.h"
#include "engine/serverpool.h"
#include "filters/sortmarks.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "engine/urlcommand.h"
#include "filters/filter.h"
#include "filters/limits.h"
#include "filters/redirect.h"
#include "interface/diagnostic.h"
#include "interface/dispatch.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/logmask.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/processors.h"
#include "runtime/stats.h"
#include "runtime/thread.h"

namespace {

// How the road ended, so that handle_request knows whether a request body
// left on the client socket was relayed.
enum RoadEnd {
    ROAD_ANSWERED = 0,   // answered or refused before the exchange
    ROAD_EXCHANGED = 1,  // a protocol handler carried the request
};

int road(CONNECTION_T *conn);
void row_update(CONNECTION_T *conn, bool request_known);
void variables_connection(CONNECTION_T *conn);
void variables_request(CONNECTION_T *conn);
bool head_read(CONNECTION_T *conn);
bool head_reparse(CONNECTION_T *conn, const char *raw);
bool body_read(CONNECTION_T *conn);
void body_pending_mark(CONNECTION_T *conn);
bool kind_check(CONNECTION_T *conn);
bool host_from_header(CONNECTION_T *conn);
bool upload_allowance_check(CONNECTION_T *conn);
bool redirect_request(CONNECTION_T *conn);
bool commands_answer(CONNECTION_T *conn);
void whole_for_inspection(CONNECTION_T *conn);
void content_coding(CONNECTION_T *conn);
bool upstream_open(CONNECTION_T *conn);
int dispatch(CONNECTION_T *conn);
bool first_request(const CONNECTION_T *conn);
void head_refuse(CONNECTION_T *conn, int error);
int road_request(CONNECTION_T *conn);

// Bounds of the drain after a refusal.
constexpr long LINGER_MS = 2000;
constexpr size_t LINGER_BYTES_MAX = 1 << 20;

bool first_request(const CONNECTION_T *conn)
{
    return conn->requests == 0;
}


// The worker's row in the thread table shows whom it serves and, once the
// request is known, its method and URL.
void row_update(CONNECTION_T *conn, bool request_known)
{
    int row = conn->thread_index;
    if (row < 0 || row >= THREADS_MAX)
        return;
    pthread_mutex_lock(&threadlistlock);
    THREAD_T *t = &threads[row];
    // The row keeps the text it has when the address is the same, as it is
    // for every request of a kept-alive connection after the first.
    if (!conn->client_ip || !t->address || strcmp(t->address, conn->client_ip) != 0) {
        free(t->address);
        t->address = conn->client_ip ? xstrdup(conn->client_ip) : nullptr;
    }
    if (request_known) {
        free(t->url);
        free(t->method);
        t->url = conn->request && conn->request->url ? xstrdup(conn->request->url) : nullptr;
        t->method = conn->request && conn->request->method ? xstrdup(conn->request->method)
                                                           : nullptr;
    } else {
        t->state = THREAD_BUSY;
        t->requests = conn->requests;
    }
    pthread_mutex_unlock(&threadlistlock);
}

void variables_connection(CONNECTION_T *conn)
{
    char text[64];
    variable_slot(conn, "IP") = protocol_client_text(conn);
    snprintf(text, sizeof(text), "%d", conn->listen_port);
    const std::string &port = variable_slot(conn, "PORT") = text;
    snprintf(text, sizeof(text), "%u", (unsigned)time(nullptr));
    variable_slot(conn, "TIME") = text;
    const std::string &interface =
        variable_slot(conn, "INTERFACE") = conn->interface_ip ? conn->interface_ip : "";
    variable_slot(conn, "VERSION") = KELVARINE_VERSION;
    snprintf(text, sizeof(text), "%u", conn->client_id);
    variable_slot(conn, "CLIENTID") = text;
    conn->log_entry.interface_ip = interface;
    conn->log_entry.interface_port = port;
    conn->log_entry.client_id = conn->client_id;
}

void variables_request(CONNECTION_T *conn)
{
    const HEADER *h = conn->request;
    char port[16];
    if (h->host)
        variable_slot(conn, "HTTP_HOST") = h->host;
    variable_slot(conn, "HTTP_FILE") = h->path ? h->path : "";
    variable_slot(conn, "HTTP_METHOD") = h->method ? h->method : "";
    variable_slot(conn, "HTTP_PROTO") = h->scheme ? h->scheme : "";
    snprintf(port, sizeof(port), "%d", h->port);
    variable_slot(conn, "HTTP_PORT") = port;
}

// The request's method and URL into its access-log record.
void log_request_line(CONNECTION_T *conn)
{
    const HEADER *h = conn->request;
    conn->log_entry.method = h->method ? h->method : "";
    // A password in the URL's user part stays out of the logs.
    if (h->url != nullptr && strchr(h->url, '@') != nullptr)
        conn->log_entry.url = logmask_url(h->url);
    else
        conn->log_entry.url = h->url ? h->url : "";
}

// A header_get result for a head that arrived but cannot be taken (too
// long, holding a NUL or a stray CR), unlike none at all or a cut one.
bool head_unusable(int result)
{
    return result == HEADER_GET_TOO_LONG || result == HEADER_GET_LINE_TOO_LONG ||
           result == HEADER_GET_BAD;
}

// Refuses a request head that cannot be trusted: its framing, length or
// target.  The connection ends, since where this request ends and the
// next begins is unknown.
void head_refuse(CONNECTION_T *conn, int error)
{
    if (first_request(conn))
        putlog(LOG_WARNING, "request: invalid header recieved from %s", protocol_client_text(conn));
    protocol_page(conn, "badrequest", header_error_status(error), true);
    protocol_linger_close(conn);
}

} // namespace

const char *protocol_client_text(const CONNECTION_T *conn)
{
    return conn->client_ip ? conn->client_ip : "";
}

int protocol_timeout(const CONNECTION_T *conn)
{
    return general_section ? general_section->timeout_get(conn) : GENERAL_DEFAULT_TIMEOUT;
}

// Answers the request with a template page.  A page that closes the
// connection says so in its head; when no page could be sent the client
// is left waiting for nothing, so the connection is closed as well.
void protocol_page(CONNECTION_T *conn, const char *name, int status, bool close)
{
    if (close)
        conn->keepalive_client = 0;
    int sent = template_section ? template_section->send(name, conn, status) : 0;
    if (!sent)
        conn->keepalive_client = 0;
}

void protocol_continue(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (h == nullptr || h->version < 2 || (conn->flags & (CONN_CONTINUED | CONN_CLIENT_GONE)) ||
        conn->client == nullptr)
        return;
    static const char token[] = "100-continue";
    const size_t len = sizeof(token) - 1;
    bool asked = false;
    for (const HTTP_HEADER &line : h->headers) {
        const std::string &v = line.value;
        if (strcasecmp(line.name.c_str(), "Expect") == 0 && v.size() >= len &&
            strncasecmp(v.c_str(), token, len) == 0 &&
            v.find_first_not_of(" \t", len) == std::string::npos) {
            asked = true;
            break;
        }
    }
    if (!asked)
        return;
    conn->flags |= CONN_CONTINUED;
    static const char text[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (conn->client->Write(text, sizeof(text) - 1) < 0 || conn->client->Flush() < 0)
        conn->flags |= CONN_CLIENT_GONE;
}

// Closing while the client still sends would reset the connection, and a
// reset may destroy the refusal in the client's buffers before it is read.
void protocol_linger_close(CONNECTION_T *conn)
{
    // What is left of the request body is drained here or lost with the
    // connection.
    conn->flags &= ~CONN_BODY_PENDING;
    Socket *s = conn->client;
    if (!s || s->fd < 0 || (conn->flags & CONN_CLIENT_GONE))
        return;
    s->Flush();
    if (shutdown(s->fd, SHUT_WR) != 0)
        return;
    s->Clear(0);
    char block[16384];
    size_t drained = 0;
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    while (drained < LINGER_BYTES_MAX) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        long spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= LINGER_MS)
            break;
        struct pollfd p = {s->fd, POLLIN, 0};
        int r = poll(&p, 1, (int)(LINGER_MS - spent));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        ssize_t n = recv(s->fd, block, sizeof(block), 0);
        if (n <= 0)
            break;
        drained += (size_t)n;
    }
}

namespace {

// The request head, read, parsed, passed through the request-head
// processors and parsed again, with its URL commands taken out.  false
// ends the request.
bool head_read(CONNECTION_T *conn)
{
    int timeout = 0;
    if (general_section)
        timeout = first_request(conn) ? general_section->timeout_get(conn)
                                      : general_section->keeptimeout_get(conn);
    else
        timeout = GENERAL_DEFAULT_TIMEOUT;
    int result = HEADER_GET_NONE;
    char *raw = header_get(conn, SIDE_CLIENT, timeout, &result);
    conn->log_entry.Reset();
    // The byte counts are this request's own, not the connection's.
    conn->bytes_downloaded = 0;
    conn->bytes_uploaded = 0;
    if (!raw) {
        conn->keepalive_client = 0;
        if (head_unusable(result)) {
            conn->log_entry.method.clear();
            head_refuse(conn, result);
            return false;
        }
        if (first_request(conn))
            putlog(LOG_WARNING, "request: timeout waiting for header from %s",
                   protocol_client_text(conn));
        return false;
    }
    if (loglevel & LOG_DEBUG)
        putlog(LOG_DEBUG, "request: [IP:%s] headers:\n%s", protocol_client_text(conn),
               logmask_head(raw).c_str());
    int error = HEADER_OK;
    conn->request = http_header_parse_request(raw, &error);
    if (!conn->request) {
        // The record of the refusal names no method of an earlier request.
        conn->log_entry.method.clear();
        head_refuse(conn, error);
        free(raw);
        return false;
    }
    // A request refused before its kind is checked is recorded with the
    // method and URL of its own head.
    log_request_line(conn);
    body_pending_mark(conn);
    if (conn->request->x_forwarded_for)
        conn->log_entry.client = conn->request->x_forwarded_for;
    keepalive_check_client(conn);
    if (!url_command_extract(conn)) {
        free(raw);
        return false;
    }
    if (profile_section)
        profile_section->profiles_update(conn);
    bool ok = head_reparse(conn, raw);
    free(raw);
    return ok;
}

// The request-head processors may rewrite the raw head, which is then
// parsed again (the URL commands with it).
bool head_reparse(CONNECTION_T *conn, const char *raw)
{
    ScratchFilebuf scratch;
    Filebuf &text = *scratch.get();
    text.Add(raw, strlen(raw));
    processors.Execute(PROCESSOR_REQHEADER, conn, &text);
    if (text.size == 0) {
        if (first_request(conn))
            putlog(LOG_WARNING, "[IP:%s] request: processors: headers: invalid results",
                   protocol_client_text(conn));
        conn->keepalive_client = 0;
        return false;
    }
    // The parser reads the text up to its first NUL.
    text.Add("", 1);
    int keepalive = conn->keepalive_client;
    http_header_free(conn->request);
    int error = HEADER_OK;
    conn->request = http_header_parse_request(text.data, &error);
    if (!conn->request) {
        head_refuse(conn, error);
        return false;
    }
    conn->keepalive_client = keepalive;
    body_pending_mark(conn);
    if (conn->request->x_forwarded_for)
        conn->log_entry.client = conn->request->x_forwarded_for;
    if (!url_command_extract(conn))
        return false;
    url_command_log(conn->url_commands);
    // The host's categories, and the rules that need no group or profile.
    sortmarks_first(conn);
    header_variables(conn, "CLIENT", conn->request->headers);
    if (conn->request->method && strcasecmp(conn->request->method, "HEAD") == 0)
        conn->flags |= CONN_HEAD;
    return true;
}

// The request body is refused above the upload allowance, left
// on the client socket to be streamed when it is larger than the upload
// buffer (a chunked body always: its length is unknown), or read whole.
bool body_read(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    conn->request_body = new Filebuf();
    if (h->chunked) {
        conn->flags |= CONN_STREAM_BODY;
        putlog(LOG_DEBUG, "request: chunked content is streamed to the server");
        return true;
    }
    if (!(h->flags & HEADER_LENGTH))
        return true;
    // The upload allowance is the user limits' for this request, known
    // only after the access rules: upload_allowance_check applies it.
    uint64_t limit = general_section ? general_section->maxubuffer_get(conn) : 0;
    if (h->content_length > limit) {
        // A parent that needs credentials may ask for the body again, so
        // it is held, but never past the buffer limit in force (64 MiB
        // when none is set).
        const uint64_t forced_cap = limit ? limit : (uint64_t)64 * 1024 * 1024;
        if (conn->parent_credentials_before && h->content_length > forced_cap) {
            putlog(LOG_WARNING, "request: [IP:%s] body of %llu bytes too large to hold for the "
                                "parent's authentication",
                   protocol_client_text(conn), (unsigned long long)h->content_length);
            protocol_page(conn, "uploadlimit", 413, true);
            protocol_linger_close(conn);
            return false;
        }
        if (conn->parent_credentials_before) {
            putlog(LOG_REQUEST,
                   "forced buffering of POST request for proxy that requries authentication");
        } else {
            conn->flags |= CONN_STREAM_BODY;
            putlog(LOG_DEBUG, "request: content (%llu) exceeds maximum upload buffer size (%llu)",
                   (unsigned long long)h->content_length, (unsigned long long)limit);
            return true;
        }
    }
    delete conn->request_body;
    protocol_continue(conn);
    conn->request_body = http_transfer_filebuf(conn, SIDE_CLIENT);
    if (conn->request_body->size != h->content_length) {
        // A cut body is never forwarded as a whole one.
        putlog(LOG_WARNING, "request: [IP:%s] request body ended early", protocol_client_text(conn));
        conn->keepalive_client = 0;
        return false;
    }
    conn->flags &= ~CONN_BODY_PENDING;
    return true;
}

// The user limits' upload allowance for this request: a body of known
// length above it is refused.  A body still on the client socket is
// counted while it is relayed (upload_relay); one read whole is
// counted here.  false when the request was refused.
bool upload_allowance_check(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    bool counted = (h->flags & HEADER_LENGTH) && !h->chunked;
    if (counted && h->content_length > conn->upload_allowance) {
        putlog(LOG_WARNING, "limits: [IP:%s] upload would exceed transfer limit",
               protocol_client_text(conn));
        protocol_page(conn, "uploadlimit", 403, (conn->flags & CONN_STREAM_BODY) != 0);
        if (conn->flags & CONN_STREAM_BODY)
            protocol_linger_close(conn);
        return false;
    }
    if (counted && !(conn->flags & CONN_STREAM_BODY))
        conn->bytes_uploaded = h->content_length;
    return true;
}

// The redirect rules on the request.  After an in-place rewrite the URL
// text is rebuilt, so the cache key, the request line and the log name the
// resource actually fetched.  false when the request was answered.
bool redirect_request(CONNECTION_T *conn)
{
    if (!redirect_section)
        return true;
    if (redirect_section->redirect_do(conn, REDIRECT_REQUEST))
        return false;
    HEADER *h = conn->request;
    if (h->host && *h->host && header_complete(h) != 0) {
        protocol_page(conn, "badrequest", 414, true);
        return false;
    }
    return true;
}

// A request that announces a body has it on the client socket until the
// body is read: every answer given before then closes the connection.
void body_pending_mark(CONNECTION_T *conn)
{
    const HEADER *h = conn->request;
    // What follows a CONNECT head belongs to the tunnel.
    if (h->kind == HEADER_CONNECT)
        return;
    if (h->chunked || ((h->flags & HEADER_LENGTH) && h->content_length > 0))
        conn->flags |= CONN_BODY_PENDING;
}

// An origin-form request takes its host and port from the Host header.
// false when the request was refused.
bool host_from_header(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    std::string host;
    int port = h->port;
    if (!(conn->access_flags & ACCESS_HOST_HEADER) ||
        !header_host_split(h->host_header, &host, &port)) {
        putlog(LOG_SECURITY, "[IP:%s] Breach: malformatted request header", protocol_client_text(conn));
        protocol_page(conn, "nofile", 404, true);
        return false;
    }
    header_field_set(&h->host, host.c_str());
    h->port = port;
    // The profiles decide on the canonical host before the URL is rebuilt.
    header_canonical(h);
    if (profile_section)
        profile_section->profiles_update(conn);
    if (!redirect_request(conn))
        return false;
    h = conn->request;
    if (port == conn->listen_port) {
        putlog(LOG_SECURITY, "[IP:%s] Breach: denied: transparent:%d", protocol_client_text(conn), port);
        protocol_page(conn, "nofile", 404, true);
        return false;
    }
    if (header_complete(h) != 0) {
        protocol_page(conn, "badrequest", 414, true);
        return false;
    }
    h->kind = HEADER_PROXY;
    return true;
}

// The kind of the request (CONNECT, absolute URL, origin form) against the
// rights of the access word; false when the request was refused.
bool kind_check(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (h->kind == HEADER_CONNECT) {
        if (!(conn->access_flags & ACCESS_CONNECT)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request",
                   protocol_client_text(conn));
            protocol_page(conn, "noaccess", 404, true);
            return false;
        }
        if (general_section && !general_section->cportrange_check(conn, h->port)) {
            putlog(LOG_SECURITY, "[IP:%s] Breach: general section: denied: method: CONNECT:%d",
                   protocol_client_text(conn), h->port);
            protocol_page(conn, "noaccess", 404, true);
            return false;
        }
        return true;
    }
    // A request for the web interface is answered there and ends.
    if (interface_request(conn)) {
        putlog(LOG_REQUEST, "request for web interface from %s", protocol_client_text(conn));
        interface_handle_request(conn);
        return false;
    }
    bool proxy_form = h->kind == HEADER_PROXY;
    if ((proxy_form && !(conn->access_flags & ACCESS_PROXY)) ||
        (!proxy_form && !(conn->access_flags & ACCESS_TRANSPARENT))) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol",
               protocol_client_text(conn));
        protocol_page(conn, "noaccess", 404, true);
        return false;
    }
    if (!proxy_form && (!h->host || !*h->host))
        return host_from_header(conn);
    return true;
}

// The URL commands that answer the request themselves.
// "prefetch" queues the request's URL and answers with the "template"
// command's page; the diagnostic pages of the administration interface
// answer here once they exist.  true when the request was answered.
bool commands_answer(CONNECTION_T *conn)
{
    url_command_t *cmd = url_command_find(conn->url_commands, "template");
    if (url_command_find(conn->url_commands, "prefetch")) {
        URL *url = conn->request->url ? url_parse(conn->request->url) : nullptr;
        if (!url)
            return false;
        if (prefetch_section) {
            uint64_t allowance = conn->download_allowance;
            uint32_t limit = allowance >= PREFETCH_NO_LIMIT ? PREFETCH_NO_LIMIT : (uint32_t)allowance;
            prefetch_section->queue_add(url, &conn->request->headers, limit, 1);
        } else {
            url_free(url);
        }
        if (cmd)
            template_send_or_missing(cmd->options && *cmd->options ? cmd->options : "unknown",
                                     conn, 200);
        else
            protocol_page(conn, "unknown", 404, false);
        return true;
    }
    if (cmd) {
        const char *name = cmd->options && *cmd->options ? cmd->options : "unknown";
        template_send_or_missing(name, conn, 200);
        return true;
    }
    if (url_command_find(conn->url_commands, "profiles") &&
        !url_command_find(conn->url_commands, "prefetch")) {
        show_profiles(conn);
        return true;
    }
    if (url_command_find(conn->url_commands, "offline"))
        conn->flags |= CONN_OFFLINE;
    if (url_command_find(conn->url_commands, "cache")) {
        cache_show(conn);
        return true;
    }
    if (filter_section && url_command_find(conn->url_commands, "filter")) {
        filter_section->check_show(conn);
        return true;
    }
    return false;
}

// A body that a module inspects or rewrites is fetched whole: a range of
// it would be judged alone, and a virus split over two ranges would pass
// each time.  When such a module may apply to the request (asked before
// the response exists, so its conditions on the response count as met),
// Range and If-Range are taken out of the request (and Request-Range,
// which some servers still read as Range); the client then gets the whole
// inspected response with status 200.
void whole_for_inspection(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (h->kind == HEADER_CONNECT || conn->response)
        return;
    bool ranged = h->range || header_line_value(h, "Request-Range");
    if (!ranged || processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) == 0)
        return;
    header_field_set(&h->range, nullptr);
    // If-Range means nothing without a range.
    for (const char *name : {"Range", "Request-Range", "If-Range"})
        header_lines_remove(h, name);
    putlog(LOG_DEBUG, "request: [IP:%s] range dropped, the whole body is inspected",
           protocol_client_text(conn));
}

// Content coding between proxy and server: asked for when the general
// rule wants compressed transfers, else none is offered.
void content_coding(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (general_section && general_section->compressin_get(conn) == 1) {
        if (!accepts_encoded_content(conn)) {
            conn->flags |= CONN_DECODE;
            header_field_set(&h->accept_encoding, "gzip, deflate");
            putlog(LOG_DEBUG, "request: asking server for encoded content");
        }
    } else {
        header_field_set(&h->accept_encoding, nullptr);
    }
}

// The upstream connection.  The forwarding rules choose a parent
// once they exist; until then every request goes direct.
bool upstream_open(CONNECTION_T *conn)
{
    if (conn->server || cache_serves(conn))
        return true;
    conn->flags &= ~CONN_POOLED;
    conn->forward_type = FORWARD_DIRECT;
    if (forward_section)
        forward_section->forward_do(conn);
    conn->parent_refusal = 0;
    int code = protocol_start(conn);
    if (code >= 0)
        return true;
    // A stale object is better than no answer, unless its response said
    // it must never be used unvalidated: then the gateway timed out.
    bool stale_refused = false;
    if (conn->cachemap) {
        if (cache_stale_fallback(conn))
            return true;
        stale_refused = true;
    }
    putlog(LOG_ERROR, "[IP:%s] network: connection failed host: %s", protocol_client_text(conn),
           conn->request->host ? conn->request->host : "");
    int status = 503;
    const char *name = protocol_error_page(code, &status);
    if (stale_refused)
        status = 504;
    // A parent that refused to open the tunnel: the client learns its
    // status, never a success.
    if (conn->parent_refusal >= 400 && conn->parent_refusal <= 599)
        status = conn->parent_refusal;
    protocol_page(conn, name, status, false);
    return false;
}

// Hands the request to the handler of its scheme; an unknown scheme is
// answered with "badprotocol".
int dispatch(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    conn->flags |= CONN_PROCESS;
    const char *scheme = h->scheme ? h->scheme : "";
    if (cache_serves(conn) && h->kind != HEADER_CONNECT) {
        protocol_http(conn);
        return ROAD_EXCHANGED;
    }
    if (protocols.Execute(scheme, conn) != -1)
        return ROAD_EXCHANGED;
    // An HTTP parent speaks HTTP for every scheme it takes.
    if (strcasecmp(scheme, "http") == 0 || conn->forward_type == FORWARD_HTTP) {
        protocol_http(conn);
        return ROAD_EXCHANGED;
    }
    if (strcasecmp(scheme, "ftp") == 0) {
        protocol_ftp(conn);
        return ROAD_EXCHANGED;
    }
    putlog(LOG_SECURITY, "[IP:%s] Breach: protocol: %s", protocol_client_text(conn), scheme);
    protocol_page(conn, "badprotocol", 403, true);
    return ROAD_ANSWERED;
}

// The road from the request body on: the request processors, the bypass
// and URL commands, the kind check, the commands that answer themselves,
// the request checkers, the upstream connection and the exchange.
int road_request(CONNECTION_T *conn)
{
    variables_request(conn);
    if (!process_request(conn, conn->request_body))
        return ROAD_ANSWERED;
    if (profile_section)
        profile_section->profiles_update(conn);
    if (conn->client)
        conn->client->SetTimeout(protocol_timeout(conn));
    if (limit_section && limit_section->check_and_block(conn))
        return ROAD_ANSWERED;
    if (!upload_allowance_check(conn))
        return ROAD_ANSWERED;
    bypass_check(conn);
    if (!(conn->access_flags & ACCESS_URL_COMMANDS)) {
        url_command_free(conn->url_commands);
        conn->url_commands = nullptr;
    }
    if (url_command_find(conn->url_commands, "limits")) {
        limits_show(conn);
        return ROAD_ANSWERED;
    }
    if (!redirect_request(conn))
        return ROAD_ANSWERED;
    HEADER *h = conn->request;
    if (url_command_find(conn->url_commands, "https")) {
        if (h->flags & HEADER_NO_PORT)
            h->port = 443;
        conn->flags |= CONN_NO_HTTP_PARENT | CONN_TLS;
    }
    row_update(conn, true);
    if (!kind_check(conn))
        return ROAD_ANSWERED;
    variables_request(conn);
    variable_slot(conn, "URL") = h->url ? h->url : "";
    log_request_line(conn);
    // A head without them leaves the connection's earlier values ("-" at
    // first) in the record.
    if (h->user_agent)
        conn->log_entry.useragent = h->user_agent;
    if (h->referer)
        conn->log_entry.http_referer =
            strchr(h->referer, '@') != nullptr ? logmask_url(h->referer) : h->referer;
    statincr_hosts(conn);
    if (commands_answer(conn))
        return ROAD_ANSWERED;
    if (processors.Execute(PROCESSOR_REQCHECK, conn, nullptr) == 1) {
        conn->log_entry.set_cachecode(LOGENTRY_TCP_DENIED);
        conn->log_entry.Write();
        conn->log_entry.apache_Write();
        return ROAD_ANSWERED;
    }
    whole_for_inspection(conn);
    if (cache_request_lookup(conn))
        return ROAD_ANSWERED;
    if ((conn->flags & CONN_OFFLINE) && !conn->cachemap) {
        protocol_page(conn, "nocache", 404, false);
        return ROAD_ANSWERED;
    }
    content_coding(conn);
    if (header_section)
        header_section->filter(conn, HEADER_FILTER_REQUEST);
    if (!upstream_open(conn))
        return ROAD_ANSWERED;
    if (h->kind == HEADER_CONNECT) {
        protocol_connect(conn);
        return ROAD_EXCHANGED;
    }
    // The loop-back test needs the connection to the parent set up above.
    if (url_command_find(conn->url_commands, "proxytest")) {
        show_proxytest(conn);
        return ROAD_ANSWERED;
    }
    return dispatch(conn);
}

int road(CONNECTION_T *conn)
{
    row_update(conn, false);
    if (first_request(conn))
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               conn->client ? conn->client->fd : -1, protocol_client_text(conn), conn->listen_port);
    variables_connection(conn);
    // The bypass word is earned per request: the access rule and the
    // "bypass" command set it again for every request.
    conn->bypass = 0;
    if (!head_read(conn))
        return ROAD_ANSWERED;
    if (!body_read(conn))
        return ROAD_ANSWERED;
    return road_request(conn);
}

} // namespace

int handle_request(CONNECTION_T *conn)
{
    int end = road(conn);
    // Every answered request leaves its record, also one the road refused
    // or answered with a page of its own before any exchange wrote it: a
    // sent page set the record's status.
    LogEntry &entry = conn->log_entry;
    if (entry.status != 0 && !entry.written) {
        entry.Write();
        entry.apache_Write();
    }
    // A body that is still on the client socket would be read as the next
    // request: the connection ends with this one, once the client has had
    // time to read the answer it was given.
    if ((end != ROAD_EXCHANGED && (conn->flags & CONN_STREAM_BODY)) ||
        (conn->flags & CONN_BODY_PENDING)) {
        conn->keepalive_client = 0;
        if (conn->flags & CONN_BODY_PENDING)
            protocol_linger_close(conn);
    }
    return 0;
}

void bypass_check(CONNECTION_T *conn)
{
    if (!(conn->access_flags & ACCESS_BYPASS))
        return;
    url_command_t *cmd = url_command_find(conn->url_commands, "bypass");
    if (!cmd)
        return;
    if (!cmd->options) {
        conn->bypass = 0xFFFFFFFFu;
        return;
    }
    static const struct {
        char letter;
        uint32_t bit;
    } letters[] = {
        {'f', 0x1},   {'h', 0x2},   {'m', 0x4},   {'r', 0x8},
        {'c', 0x10},  {'w', 0x20},  {'e', 0x40},  {'p', 0x80},
        {'k', 0x100}, {'d', 0x200}, {'a', 0x800}, {'i', 0x1000},
    };
    bool set = true;
    for (const char *p = cmd->options; *p; p++) {
        if (*p == '+' || *p == '-') {
            set = *p == '+';
            continue;
        }
        for (const auto &l : letters) {
            if (l.letter != *p)
                continue;
            if (set)
                conn->bypass |= l.bit;
            else
                conn->bypass &= ~l.bit;
        }
    }
}

const char *protocol_error_page(int code, int *status)
{
    if (code == NET_CONNECT_SELF) {
        *status = 403;
        return "noaccess";
    }
    *status = 503;
    return error_to_template(code);
}

// ------------------------------------------------- server connection set-up

namespace {

// The handshake or tunnel that follows a connection to a SOCKS server or
// a tunnelling parent; 1 on success.
int upstream_handshake(CONNECTION_T *conn)
{
    switch (conn->forward_type) {
    case FORWARD_SOCKS4:
        if (proxy_socks4(conn) >= 0)
            return 1;
        putlog(LOG_ERROR, "network: [IP:%s] connection to socks4 server failed",
               protocol_client_text(conn));
        return 0;
    case FORWARD_SOCKS5:
        if (proxy_socks5(conn) >= 0)
            return 1;
        putlog(LOG_ERROR, "network: [IP:%s] connection to socks5 server failed",
               protocol_client_text(conn));
        return 0;
    case FORWARD_CONNECT:
        if (proxy_connect(conn) >= 0)
            return 1;
        putlog(LOG_ERROR, "network: [IP:%s] connection to proxy failed", protocol_client_text(conn));
        return 0;
    default:
        return 1;
    }
}

// The connect time-out and the local address an outgoing connection of
// the request uses.
int connect_timeout_of(CONNECTION_T *conn)
{
    return general_section ? general_section->ctimeout_get(conn) : GENERAL_DEFAULT_TIMEOUT;
}

struct in_addr local_address_of(CONNECTION_T *conn)
{
    struct in_addr local;
    local.s_addr = 0;
    if (network_section)
        local = network_section->interface_select(conn);
    return local;
}

} // namespace

int protocol_start(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    conn->keepalive_server = 0;
    bool via_parent = conn->forward_type == FORWARD_HTTP ||
                      conn->forward_type == FORWARD_SOCKS4 ||
                      conn->forward_type == FORWARD_CONNECT;
    if (via_parent) {
        conn->log_entry.peer = conn->forward_host ? conn->forward_host : "";
    } else {
        conn->log_entry.set_peercode(LOGENTRY_DIRECT);
        conn->log_entry.peer = h->host ? h->host : "";
    }
    int io_timeout = protocol_timeout(conn);
    // A request with a body is never sent on a pooled connection: should
    // the server have closed it, the body could not be sent again.
    bool has_body = (h->flags & HEADER_LENGTH) || h->chunked;
    if (h->kind != HEADER_CONNECT && !has_body && global && global->server_pool &&
        h->scheme && h->host) {
        Socket *pooled = global->server_pool->Find(serverpool_key(conn));
        if (pooled) {
            conn->flags |= CONN_POOLED;
            conn->keepalive_server = 1;
            conn->server = pooled;
            pooled->SetTimeout(io_timeout);
            return pooled->fd;
        }
    }
    int connect_timeout = connect_timeout_of(conn);
    struct in_addr local = local_address_of(conn);
    int fd;
    if (conn->forward_type == FORWARD_DIRECT) {
        fd = net_connect(h->host, h->port, local, connect_timeout);
    } else {
        fd = net_connect(conn->forward_host, conn->forward_port, local, connect_timeout);
        if (fd < 0 && conn->forward_type == FORWARD_HTTP)
            putlog(LOG_ERROR, "network: [IP:%s]connection to proxy server failed",
                   protocol_client_text(conn));
    }
    if (fd < 0)
        return fd;
    conn->server = new Socket(fd);
    conn->server->SetTimeout(io_timeout);
    if (!upstream_handshake(conn)) {
        delete conn->server;
        conn->server = nullptr;
        return -1;
    }
    // TLS to the origin runs over whatever path leads there (direct, SOCKS
    // or a parent's tunnel), naming the origin for SNI.  A request that
    // asks for TLS never travels in clear.
    if ((conn->flags & CONN_TLS) && !conn->server->Encrypt(1, h->host)) {
        putlog(LOG_ERROR, "network: [IP:%s] TLS connection to %s failed",
               protocol_client_text(conn), h->host ? h->host : "");
        delete conn->server;
        conn->server = nullptr;
        return NET_CONNECT_FAILED;
    }
    return fd;
}

Socket *protocol_open_along(CONNECTION_T *conn, const char *host, int port)
{
    // An HTTP parent speaks for the request itself and opens nothing
    // further on its behalf.
    if (conn->forward_type == FORWARD_HTTP)
        return nullptr;
    int connect_timeout = connect_timeout_of(conn);
    struct in_addr local = local_address_of(conn);
    bool direct = conn->forward_type == FORWARD_DIRECT;
    int fd = direct ? net_connect(host, port, local, connect_timeout)
                    : net_connect(conn->forward_host, conn->forward_port, local, connect_timeout);
    if (fd < 0)
        return nullptr;
    Socket *sock = new Socket(fd);
    sock->SetTimeout(protocol_timeout(conn));
    if (direct)
        return sock;
    // The handshakes take their destination from the request head and
    // talk on the server socket: a head naming host:port and the new
    // socket stand in for them meanwhile.  The parent may challenge this
    // tunnel as it did the first one.
    HEADER *request = conn->request;
    HEADER *response = conn->response;
    Socket *server = conn->server;
    uint32_t parent_auth = conn->flags & CONN_PARENT_AUTH;
    HEADER *target = header_new();
    target->kind = HEADER_PROXY;
    header_field_set(&target->host, host);
    target->port = port;
    conn->request = target;
    conn->response = nullptr;
    conn->server = sock;
    conn->flags &= ~CONN_PARENT_AUTH;
    bool open = upstream_handshake(conn) == 1;
    http_header_free(conn->response);
    conn->response = response;
    conn->request = request;
    conn->server = server;
    conn->flags = (conn->flags & ~CONN_PARENT_AUTH) | parent_auth;
    http_header_free(target);
    if (!open) {
        delete sock;
        return nullptr;
    }
    return sock;
}

int protocol_reconnect(CONNECTION_T *conn)
{
    delete conn->server;
    conn->server = nullptr;
    if (conn->client)
        conn->client->Flush();
    return protocol_start(conn);
}

namespace {

// A response head the proxy cannot take ends the exchange with
// "badresponse" and 502 (the server is at fault), and the server
// connection is dropped.  true when that happened.
bool response_refused(CONNECTION_T *conn, int result)
{
    if (!head_unusable(result))
        return false;
    putlog(LOG_ERROR, "[IP:%s] Bad response from server", protocol_client_text(conn));
    conn->keepalive_server = 0;
    protocol_page(conn, "badresponse", 502, false);
    return true;
}

// Sends the request head again, with the buffered body when there is one.
bool request_resend(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    int mode = conn->forward_type == FORWARD_HTTP ? SEND_TO_PARENT : SEND_TO_ORIGIN;
    if (header_send(h, conn, SIDE_SERVER, mode) != 0)
        return false;
    if ((h->flags & HEADER_LENGTH) && conn->request_body && conn->request_body->size &&
        net_filebuf_send(conn->request_body, conn, SIDE_SERVER) < 0)
        return false;
    return true;
}

// A page for a server that cannot be reached; none while a cached object
// is revalidated, which is then served as it is.
void reconnect_page(CONNECTION_T *conn, const char *name, int status, bool close)
{
    if (conn->cachemap && (conn->flags & CONN_REVALIDATE))
        return;
    protocol_page(conn, name, status, close);
}

} // namespace

char *header_get_reconnect(CONNECTION_T *conn, int timeout)
{
    int result = HEADER_GET_NONE;
    char *head = header_get(conn, SIDE_SERVER, timeout, &result);
    if (head)
        return head;
    if (response_refused(conn, result))
        return nullptr;
    if (conn->flags & CONN_STREAM_BODY) {
        // The body went from the client to the server and cannot be sent
        // again; what is left of it on the client socket ends the
        // connection.
        putlog(LOG_WARNING, "request: [IP:%s] server dropped connection during direct POST",
               protocol_client_text(conn));
        conn->keepalive_client = 0;
        reconnect_page(conn, "noconnect", 503, true);
        return nullptr;
    }
    if (!conn->keepalive_server && !(conn->flags & CONN_PARENT_AUTH)) {
        reconnect_page(conn, "noconnect", 503, false);
        if (conn->request && conn->request->host)
            net_dns_purge(conn->request->host);
        putlog(LOG_ADVICE, "purge dns");
        return nullptr;
    }
    // A reused connection that the server had closed: try the next pooled
    // one or a new one.  A new connection ends the loop.
    for (;;) {
        int code = protocol_reconnect(conn);
        if (code < 0) {
            int status = 503;
            const char *name = protocol_error_page(code, &status);
            reconnect_page(conn, name, status, false);
            return nullptr;
        }
        if (request_resend(conn)) {
            head = header_get(conn, SIDE_SERVER, timeout, &result);
            if (head)
                return head;
            if (response_refused(conn, result))
                return nullptr;
        }
        if (conn->keepalive_server != 1) {
            reconnect_page(conn, "noconnect", 503, false);
            return nullptr;
        }
    }
}

// ------------------------------------------------------------ CONNECT

namespace {

// The parent's answer to a CONNECT head: its status, or -1 without one.
int parent_connect_answer(CONNECTION_T *conn)
{
    http_header_free(conn->response);
    conn->response = nullptr;
    char *head = header_get(conn, SIDE_SERVER, protocol_timeout(conn));
    if (!head)
        return -1;
    conn->response = http_header_parse_response(head);
    free(head);
    return conn->response ? conn->response->status : -1;
}

} // namespace

int protocol_connect(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    const char *host = h->host ? h->host : "";
    putlog(LOG_REQUEST, "CONNECT [IP:%s] %s:%d", protocol_client_text(conn), host, h->port);
    statincr_connectrequests(conn);
    bool open = true;
    if (conn->forward_type == FORWARD_HTTP) {
        // A parent that refuses passes its refusal on (its own status) and
        // never opens the tunnel; a challenge is answered once, with the
        // credentials of the parent's rule.
        int status = -1;
        if (header_send(h, conn, SIDE_SERVER, SEND_TO_PARENT) == 0)
            status = parent_connect_answer(conn);
        while (status == 407 && !(conn->flags & CONN_PARENT_AUTH) && proxy_authenticate(conn)) {
            putlog(LOG_DEBUG, "request: [IP:%s] authentication required by server for CONNECT to %s:%d",
                   protocol_client_text(conn), host, h->port);
            conn->flags |= CONN_PARENT_AUTH;
            status = parent_connect_answer(conn);
        }
        if (status != 200) {
            if (status < 0)
                putlog(LOG_REQUEST, "error: [IP:%s] failed CONNECT to %s:%d",
                       protocol_client_text(conn), host, h->port);
            else
                putlog(LOG_ERROR, "request: [IP:%s] failed CONNECT to %s:%d",
                       protocol_client_text(conn), host, h->port);
            int page_status = status >= 400 && status <= 599 ? status : 503;
            protocol_page(conn, "noconnect", page_status, true);
            conn->log_entry.status = page_status;
            open = false;
        }
    }
    if (open) {
        conn->client->PutSock("HTTP/1.1 200 Connection Established\r\n\r\n");
        conn->client->Flush();
        putlog(LOG_DEBUG, "request: [IP:%s] established CONNECT to %s:%d", protocol_client_text(conn),
               host, h->port);
        conn->log_entry.status = 200;
        conn->log_entry.size = net_proxy(conn, -1);
    }
    conn->keepalive_client = 0;
    http_header_free(conn->response);
    conn->response = nullptr;
    conn->log_entry.Write();
    conn->log_entry.apache_Write();
    return 0;
}

int proxy_connect(CONNECTION_T *conn)
{
    HEADER *request = conn->request;
    HEADER *tunnel = header_new();
    tunnel->kind = HEADER_CONNECT;
    header_field_set(&tunnel->host, request->host);
    header_field_set(&tunnel->method, "CONNECT");
    tunnel->port = request->port;
    conn->request = tunnel;
    int status = -1;
    if (header_send(tunnel, conn, SIDE_SERVER, SEND_TO_PARENT) == 0)
        status = parent_connect_answer(conn);
    while (status == 407 && !(conn->flags & CONN_PARENT_AUTH) && proxy_authenticate(conn)) {
        putlog(LOG_DEBUG,
               "request: [IP:%s]authentication required by proxy server for CONNECT to %s:%d",
               protocol_client_text(conn), tunnel->host ? tunnel->host : "", tunnel->port);
        conn->flags |= CONN_PARENT_AUTH;
        status = parent_connect_answer(conn);
    }
    http_header_free(conn->response);
    conn->response = nullptr;
    conn->request = request;
    http_header_free(tunnel);
    // Only an opened tunnel carries the request; a refusal is kept for the
    // client's answer.
    if (status >= 200 && status <= 299)
        return 1;
    if (status > 0)
        conn->parent_refusal = status;
    return -1;
}
