// The HTTP exchange with the server and the answer to the client.
#include "engine/proto_http.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "config/general.h"
#include "config/profiles.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "engine/urlcommand.h"
#include "filters/antivirus.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/processors.h"
#include "runtime/stats.h"

namespace {

// What the exchange does after one of its steps.
enum Step {
    STEP_ON = 0,       // go on with the next step
    STEP_FINISHED = 1, // the request is finished (result 1)
    STEP_FAILED = 2,   // no response could be obtained (result -1)
};

int request_send(CONNECTION_T *conn);
int response_take(CONNECTION_T *conn, char *head);
void response_unusable(CONNECTION_T *conn);
int interim_status(const char *head);
int response_head(CONNECTION_T *conn);
int ending_early(CONNECTION_T *conn);
void log_entry_complete(CONNECTION_T *conn);
int relay(CONNECTION_T *conn);
int buffered(CONNECTION_T *conn);
bool head_only(const CONNECTION_T *conn);


// Step 2 and the body of step 3: the request head and body to the server.
int request_send(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (general_section && general_section->xforwardedfor_get(conn) == 1)
        header_field_set(&h->x_forwarded_for, conn->client_ip);
    if (general_section && general_section->via_get(conn) == 1)
        via_header_update(conn);
    int mode = conn->forward_type == FORWARD_HTTP ? SEND_TO_PARENT : SEND_TO_ORIGIN;
    int sent = header_send(h, conn, SIDE_SERVER, mode);
    if (sent == -1) {
        // A value with a line break would let the client write heads of
        // its own choosing; nothing was sent.
        conn->keepalive_server = 0;
        conn->keepalive_client = 0;
        protocol_page(conn, "badrequest", 400, false);
        return STEP_FINISHED;
    }
    // A failed write to a pooled connection shows as a missing response
    // head, which header_get_reconnect repairs.
    if (sent != 0)
        return STEP_ON;
    if (conn->flags & CONN_STREAM_BODY) {
        protocol_continue(conn);
        bool relayed = http_transfer(conn, SIDE_CLIENT);
        if (relayed)
            conn->flags &= ~CONN_BODY_PENDING;
        if (!relayed) {
            // A body cut short or badly framed by the client: the server
            // has a partial request and the client's stream has lost its
            // message boundaries, so both connections end here.
            putlog(LOG_WARNING, "request: [IP:%s] request body could not be relayed",
                   protocol_client_text(conn));
            conn->keepalive_client = 0;
            conn->keepalive_server = 0;
            protocol_page(conn, "badrequest", 400, false);
            protocol_linger_close(conn);
            return STEP_FINISHED;
        }
    } else if ((h->flags & HEADER_LENGTH) && conn->request_body &&
               conn->request_body->size) {
        net_filebuf_send(conn->request_body, conn, SIDE_SERVER);
    }
    return STEP_ON;
}

// Steps 4 and 5: the response head text through PROCESSOR_RESPHEADER,
// parsed into `response`.  Takes the text over.
int response_take(CONNECTION_T *conn, char *head)
{
    Filebuf text;
    text.Add(head, strlen(head));
    free(head);
    if (text.size >= 5 && strncasecmp(text.data, "HTTP/", 5) == 0)
        processors.Execute(PROCESSOR_RESPHEADER, conn, &text);
    std::string raw(text.data ? text.data : "", text.size);
    http_header_free(conn->response);
    conn->response = http_header_parse_response(raw.c_str());
    if (!conn->response) {
        response_unusable(conn);
        return STEP_FAILED;
    }
    HEADER *r = conn->response;
    if (r->version == 0 && conn->server) {
        // An HTTP/0.9 answer has no head: what was read is body.
        conn->server->PushFront(raw.data(), raw.size());
    }
    header_field_set(&r->host, conn->request->host);
    header_field_set(&r->path, conn->request->path);
    header_variables(conn, "SERVER", r->headers);
    if (!(conn->flags & CONN_PREFETCH) && profile_section)
        profile_section->profiles_update(conn);
    return STEP_ON;
}

// A response head the proxy cannot use: the server is at fault, so the
// client gets "badresponse" with 502, and the server connection, whose
// framing is lost, is dropped.
void response_unusable(CONNECTION_T *conn)
{
    putlog(LOG_ERROR, "[IP:%s] Bad response from server", protocol_client_text(conn));
    conn->keepalive_server = 0;
    protocol_page(conn, "badresponse", 502, false);
}

// The status of a head text when it is an interim response, else 0.  A
// head that does not parse is left to response_take, which refuses it.
int interim_status(const char *head)
{
    HEADER *h = http_header_parse_response(head);
    int status = h && h->status >= 100 && h->status <= 199 ? h->status : 0;
    http_header_free(h);
    return status;
}

// Steps 2 to 8: send the request and read response heads until the final
// response arrives.
int response_head(CONNECTION_T *conn)
{
    int step = request_send(conn);
    if (step != STEP_ON)
        return step;
    char *head = header_get_reconnect(conn, protocol_timeout(conn));
    return http_response_final(conn, head) ? STEP_ON : STEP_FAILED;
}

// "Ending early": the server connection may hold an unread body.
int ending_early(CONNECTION_T *conn)
{
    conn->keepalive_server = 0;
    http_header_free(conn->response);
    conn->response = nullptr;
    return 1;
}

void log_entry_complete(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    conn->log_entry.status = r->status;
    conn->log_entry.size = (int64_t)conn->bytes_downloaded;
    if (r->media_type && *r->media_type) {
        statincr_mimes(conn);
        conn->log_entry.mime = r->media_type;
    }
    conn->log_entry.Write();
    conn->log_entry.apache_Write();
}

// 1xx, 204 and 304 answers and answers to HEAD carry no body.
bool head_only(const CONNECTION_T *conn)
{
    int status = conn->response->status;
    return (conn->flags & CONN_HEAD) || status == 304 || status == 204 ||
           (status >= 100 && status <= 199);
}

// Step 23: the head goes out and the body is relayed as it arrives.
int relay(CONNECTION_T *conn)
{
    if (header_send(conn->response, conn, SIDE_CLIENT, SEND_TO_CLIENT) == -1) {
        conn->keepalive_server = 0;
        protocol_page(conn, "unknown", 502, false);
        return ending_early(conn);
    }
    if (!http_transfer(conn, SIDE_SERVER)) {
        // The client must see the cut: its connection ends.
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
    }
    log_entry_complete(conn);
    http_header_free(conn->response);
    conn->response = nullptr;
    return 1;
}

// Step 24: the body is read whole, decoded, processed, encoded for the
// client and sent with its length.
int buffered(CONNECTION_T *conn)
{
    buffertimeout_set(conn);
    HEADER *r = conn->response;
    // Memory holds at most the buffer limit: a longer body is relayed.
    uint64_t cap = body_buffer_cap(conn);
    Filebuf *body = new Filebuf();
    BodyRest rest;
    int read = http_transfer_filebuf_capped(conn, SIDE_SERVER, body, cap, &rest);
    if (conn->flags & CONN_FAILED) {
        // A cut body is never completed into a whole one: the client gets
        // nothing and its connection ends.
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
        delete body;
        log_entry_complete(conn);
        return ending_early(conn);
    }
    if (read == BODY_PAST_CAP) {
        int sent = http_send_past_cap(conn, body, &rest, cap);
        delete body;
        if (sent == -1)
            protocol_page(conn, "unknown", 502, false);
        log_entry_complete(conn);
        if (sent != 1)
            return ending_early(conn);
        http_header_free(conn->response);
        conn->response = nullptr;
        return 1;
    }
    if (conn->flags & CONN_CLIENT_GONE) {
        delete body;
        log_entry_complete(conn);
        http_header_free(conn->response);
        conn->response = nullptr;
        return 1;
    }
    if (body->size) {
        if (r->content_encoding) {
            uint64_t limit = general_section ? general_section->maxdbuffer_get(conn) : 0;
            // A body that cannot be decoded goes out as it came, with its
            // Content-Encoding.
            if (body->Decode(r->content_encoding, limit) == 1)
                header_field_set(&r->content_encoding, nullptr);
        }
        if (hooks.Execute(HOOK_PRERESPMOD, conn, body) == 1) {
            delete body;
            return ending_early(conn);
        }
        if (!process_response(conn, body)) {
            log_entry_complete(conn);
            delete body;
            return ending_early(conn);
        }
        // A response processor (ICAP) may have replaced the head.
        r = conn->response;
        // Clean only when scanned and found clean.
        av_mark_clean(conn);
        if (hooks.Execute(HOOK_POSTRESPMOD, conn, body) != 0) {
            delete body;
            return ending_early(conn);
        }
        if (!r->content_encoding && general_section &&
            general_section->compressout_get(conn) == 1 && !(conn->flags & CONN_DECODE) &&
            conn->request->accept_encoding)
            body->Encode(conn->request->accept_encoding, &r->content_encoding);
    }
    keepalive_check_client(conn);
    r->flags |= HEADER_LENGTH;
    r->content_length = body->size;
    r->chunked = 0;
    if (header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT) == -1) {
        protocol_page(conn, "unknown", 502, false);
    } else {
        http_send_body(conn, body);
    }
    delete body;
    log_entry_complete(conn);
    http_header_free(conn->response);
    conn->response = nullptr;
    return 1;
}

} // namespace

int http_response_final(CONNECTION_T *conn, char *head)
{
    // A server that sends interim responses without end is cut off here.
    const int interim_max = 16;
    for (int interim = 0; head; interim++) {
        int status = interim_status(head);
        if (status == 0) {
            if (response_take(conn, head) != STEP_ON)
                return 0;
            keepalive_check_server(conn);
            return 1;
        }
        free(head);
        head = nullptr;
        // A switch of protocols was never asked for: what follows is no
        // HTTP this proxy can frame.
        if (status == 101 || interim == interim_max) {
            response_unusable(conn);
            return 0;
        }
        putlog(LOG_DEBUG, "protocol: [IP:%s] interim response %d dropped",
               protocol_client_text(conn), status);
        int result = HEADER_GET_NONE;
        head = header_get(conn, SIDE_SERVER, protocol_timeout(conn), &result);
        if (!head) {
            conn->keepalive_server = 0;
            if (result == HEADER_GET_TOO_LONG || result == HEADER_GET_LINE_TOO_LONG ||
                result == HEADER_GET_BAD)
                response_unusable(conn);
            else
                protocol_page(conn, "noconnect", 503, false);
        }
    }
    return 0;
}

int process_request(CONNECTION_T *conn, Filebuf *body)
{
    int answered = processors.Execute(PROCESSOR_AUTH, conn, body);
    if (conn->ident) {
        if (global && global->stats) {
            global->stats->AddCounter("users", conn->ident, STAT_UINT);
            global->stats->Increment("users", conn->ident);
        }
        conn->log_entry.username = conn->ident;
        conn->variables["USERNAME"] = conn->ident;
    }
    // A module that answered the client itself, without leaving a head
    // here, has ended the request as well.
    if (answered == 1 && !conn->response)
        return 0;
    if (!conn->response)
        processors.Execute(PROCESSOR_REQMOD, conn, body);
    if (!conn->response) {
        // A body read whole goes out with its length; one still on the
        // client socket keeps the framing it arrived with.
        HEADER *h = conn->request;
        if (!(conn->flags & CONN_STREAM_BODY)) {
            h->chunked = 0;
            if (body && body->size) {
                h->flags |= HEADER_LENGTH;
                h->content_length = body->size;
            }
        }
        return 1;
    }
    HEADER *r = conn->response;
    r->flags |= HEADER_LENGTH;
    r->content_length = body ? body->size : 0;
    r->chunked = 0;
    if (header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT) == 0 && body)
        http_send_body(conn, body);
    http_header_free(r);
    conn->response = nullptr;
    return 0;
}

int protocol_http(CONNECTION_T *conn)
{
    // Answers from the object cache start here once it exists: without it
    // every request goes to the server.
    int step = response_head(conn);
    if (step == STEP_FAILED) {
        http_header_free(conn->response);
        conn->response = nullptr;
        conn->keepalive_server = 0;
        return -1;
    }
    if (step == STEP_FINISHED)
        return ending_early(conn);
    HEADER *r = conn->response;
    if (!conn->server)
        return ending_early(conn);
    if (!transfer_limit_check(conn))
        return ending_early(conn);
    xcache_header_update(conn, 1);
    char name[16];
    snprintf(name, sizeof(name), "%d", r->status);
    if (template_section && template_section->send(name, conn, r->status))
        return ending_early(conn);
    if ((r->status == 301 || r->status == 302) && r->location && conn->url_commands) {
        char *location = url_command_add(conn, r->location);
        header_field_set(&r->location, location);
        free(location);
    }
    if (head_only(conn)) {
        if (header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT) == -1)
            protocol_page(conn, "unknown", 502, false);
        log_entry_complete(conn);
        // A HEAD answer announces a body it does not carry; 1xx, 204 and
        // 304 carry none by definition, so their connection stays usable.
        if (conn->flags & CONN_HEAD)
            return ending_early(conn);
        http_header_free(conn->response);
        conn->response = nullptr;
        return 1;
    }
    putlog(LOG_REQUEST, "%s %s", conn->request->method ? conn->request->method : "",
           conn->request->url ? conn->request->url : "");
    statincr_httprequests(conn);
    if ((conn->flags & (CONN_PROCESS | CONN_PREFETCH)) && buffer_check(conn))
        conn->flags |= CONN_BUFFERING;
    putlog(LOG_DEBUG, " [IP:%s]buffering: %d processing: %d", protocol_client_text(conn),
           (conn->flags & CONN_BUFFERING) ? 1 : 0, (conn->flags & CONN_PROCESS) ? 1 : 0);
    if (conn->flags & CONN_BUFFERING)
        return buffered(conn);
    return relay(conn);
}

int process_response(CONNECTION_T *conn, Filebuf *body)
{
    if (processors.Execute(PROCESSOR_RESPCHECK, conn, body) == 1) {
        conn->log_entry.set_cachecode(LOGENTRY_TCP_DENIED);
        return 0;
    }
    processors.Execute(PROCESSOR_RESPMOD, conn, body);
    return 1;
}

int buffer_check(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    uint64_t limit = general_section ? general_section->maxdbuffer_get(conn) : 0;
    if ((r->flags & HEADER_LENGTH) && r->content_length > limit &&
        !url_command_find(conn->url_commands, "process")) {
        putlog(LOG_DEBUG, "request: warn: [IP:%s] response exceeds maximum download buffer size",
               protocol_client_text(conn));
        return 0;
    }
    if (conn->flags & CONN_PREFETCH)
        return conn->html_stream && r->content_encoding ? 1 : 0;
    if (r->content_encoding && !accepts_encoded_content(conn))
        return 1;
    if (r->chunked && conn->request->version == 1)
        return 1;
    if (processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) != 0)
        return 1;
    conn->flags &= ~CONN_PROCESS;
    if (url_command_find(conn->url_commands, "raw") ||
        url_command_find(conn->url_commands, "htmltree"))
        return 1;
    if (r->content_encoding && conn->html_stream)
        return 1;
    if (general_section && general_section->compressout_get(conn) == 1 &&
        conn->request->accept_encoding && r->content_type && !r->content_encoding &&
        accepts_encoded_content(conn) &&
        general_section->encodemime_check(conn, r->content_type))
        return 1;
    return 0;
}

long buffertimeout_set(CONNECTION_T *conn)
{
    int wait = general_section ? general_section->bufferwait_get(conn) : 0;
    conn->buffer_deadline = 0;
    putlog(LOG_DEBUG, "request: [IP:%s] buffer timeout: %d", protocol_client_text(conn), wait);
    if (wait != 0)
        conn->buffer_deadline = time(nullptr) + wait;
    return (long)conn->buffer_deadline;
}

void keepalive_check_client(CONNECTION_T *conn)
{
    const HEADER *h = conn->request;
    if (!h || h->kind == HEADER_CONNECT || h->keep_alive == 0 || h->proxy_keep_alive == 0)
        conn->keepalive_client = 0;
    else if (h->keep_alive == 1 || h->proxy_keep_alive == 1)
        conn->keepalive_client = 1;
    else
        conn->keepalive_client = h->version == 2 ? 1 : 0;
}

void keepalive_check_server(CONNECTION_T *conn)
{
    const HEADER *r = conn->response;
    if (!(r->flags & HEADER_LENGTH) && !r->chunked && !head_only(conn)) {
        // The body ends with the close, so it cannot be followed by
        // another message either way.
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
    } else if (r->keep_alive == 0 || r->proxy_keep_alive == 0) {
        conn->keepalive_server = 0;
    } else if (r->keep_alive == 1 || r->proxy_keep_alive == 1) {
        conn->keepalive_server = 1;
    } else {
        conn->keepalive_server = r->version == 2 ? 1 : 0;
    }
    putlog(LOG_DEBUG, "protocol: [IP:%s] keepalive_server = %d", protocol_client_text(conn),
           conn->keepalive_server);
}

int transfer_limit_check(CONNECTION_T *conn)
{
    const HEADER *r = conn->response;
    if (!(r->flags & HEADER_LENGTH))
        return 1;
    if (conn->cachemap && !(conn->flags & CONN_DOWNLOAD_LIMIT))
        return 1;
    if (r->content_length <= conn->download_allowance)
        return 1;
    putlog(LOG_WARNING, "limits: [IP:%s] transfer would exceed transfer limit",
           protocol_client_text(conn));
    protocol_page(conn, "downloadlimit", 403, false);
    return 0;
}

int accepts_encoded_content(CONNECTION_T *conn)
{
    if (conn->flags & CONN_DECODE)
        return 0;
    const char *accept = conn->request ? conn->request->accept_encoding : nullptr;
    if (accept && (s_strcasestr(accept, "gzip") || s_strcasestr(accept, "deflate")))
        return 1;
    putlog(LOG_DEBUG, "request: [IP:%s] client doesn't support encoded content",
           protocol_client_text(conn));
    return 0;
}
