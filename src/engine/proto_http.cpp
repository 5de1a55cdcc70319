// The HTTP exchange with the server and the answer to the client.
#include "engine/proto_http.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cache/prefetch.h"
#include "cache/serve.h"
#include "config/general.h"
#include "config/profiles.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/forward.h"
#include "engine/header_filter.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "engine/urlcommand.h"
#include "filters/antivirus.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "filters/cookies.h"
#include "filters/mime.h"
#include "filters/redirect.h"
#include "interface/diagnostic.h"
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
// Writes the request's records; body_sent is the body bytes the client
// received when they differ from those read from the server (a rewritten or
// decoded body), else -1.
void log_entry_complete(CONNECTION_T *conn, int64_t body_sent = -1);
bool body_at_hand(const CONNECTION_T *conn);
int relay(CONNECTION_T *conn);
int buffered(CONNECTION_T *conn);
bool head_only(const CONNECTION_T *conn);
int upload_count(void *arg, ssize_t len, char *buf);
bool upload_relay(CONNECTION_T *conn);
int response_filters(CONNECTION_T *conn);
int response_road(CONNECTION_T *conn, bool http);
int loopback_listen(const Socket *server, std::string *address, int *port);
int loopback_accept(int listener, int seconds);


// Counts a request body relayed from the client socket against the upload
// allowance; past it the relay stops.
int upload_count(void *arg, ssize_t len, char *)
{
    CONNECTION_T *conn = (CONNECTION_T *)arg;
    if (len <= 0)
        return 0;
    conn->bytes_uploaded += (uint64_t)len;
    return conn->bytes_uploaded > conn->upload_allowance ? -1 : 0;
}

// Relays the request body still on the client socket (a large or chunked
// one), counted as the user limits count a body read whole.  A body past
// the upload allowance gets the "uploadlimit" page and ends the connection.
bool upload_relay(CONNECTION_T *conn)
{
    int id = conn->client ? conn->client->CallBackAdd(upload_count, conn, SOCKET_EVENT_READ) : -1;
    bool ok = http_transfer(conn, SIDE_CLIENT) != 0;
    if (id >= 0 && conn->client)
        conn->client->CallBackRemove(id);
    if (ok)
        conn->flags &= ~CONN_BODY_PENDING;
    if (!ok && conn->bytes_uploaded > conn->upload_allowance) {
        putlog(LOG_WARNING, "limits: [IP:%s] upload exceeds transfer limit",
               protocol_client_text(conn));
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
        protocol_page(conn, "uploadlimit", 403, true);
        protocol_linger_close(conn);
        conn->flags |= CONN_CLIENT_GONE;
    }
    return ok;
}

// The filters that judge a response by its head: the "cookies" page, the
// redirect rules on a Location value and the MIME filter.  STEP_ON, or
// STEP_FINISHED when a page took the response's place.
int response_filters(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    if (url_command_find(conn->url_commands, "cookies")) {
        interface_cookies_show(conn);
        return STEP_FINISHED;
    }
    if (url_command_find(conn->url_commands, "mimeprofiles")) {
        show_profiles(conn);
        return STEP_FINISHED;
    }
    if (url_command_find(conn->url_commands, "variables")) {
        show_variables(conn);
        return STEP_FINISHED;
    }
    if ((r->status == 301 || r->status == 302) && r->location && redirect_section)
        redirect_section->redirect_do(conn, REDIRECT_LOCATION);
    if (head_only(conn) || mime_section == nullptr)
        return STEP_ON;
    if (url_command_find(conn->url_commands, "mime")) {
        mime_section->check_show(conn);
        return STEP_FINISHED;
    }
    if (url_command_find(conn->url_commands, "headers")) {
        show_headers(conn);
        return STEP_FINISHED;
    }
    if (mime_section->check_and_block(conn))
        return STEP_ON;
    conn->log_entry.set_cachecode(LOGENTRY_TCP_DENIED);
    conn->log_entry.Write();
    conn->log_entry.apache_Write();
    return STEP_FINISHED;
}

// Sends the request head (with X-Forwarded-For and Via as the general
// rule asks) and its body to the server: a buffered body whole, a streamed
// one relayed from the client as it arrives.
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
        if (!upload_relay(conn)) {
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

// The response head text through PROCESSOR_RESPHEADER, parsed into
// `response`.  Takes the text over.
int response_take(CONNECTION_T *conn, char *head)
{
    ScratchFilebuf scratch;
    Filebuf &text = *scratch.get();
    text.Add(head, strlen(head));
    free(head);
    if (text.size >= 5 && strncasecmp(text.data, "HTTP/", 5) == 0)
        processors.Execute(PROCESSOR_RESPHEADER, conn, &text);
    // The parser reads the text up to its first NUL.
    size_t length = text.size;
    text.Add("", 1);
    http_header_free(conn->response);
    conn->response = http_header_parse_response(text.data);
    if (!conn->response) {
        response_unusable(conn);
        return STEP_FAILED;
    }
    HEADER *r = conn->response;
    if (r->version == 0 && conn->server) {
        // An HTTP/0.9 answer has no head: what was read is body.
        conn->server->PushFront(text.data, length);
    }
    header_field_set(&r->host, conn->request->host);
    header_field_set(&r->path, conn->request->path);
    header_variables(conn, "SERVER", r->headers);
    if (header_section)
        header_section->filter(conn, HEADER_FILTER_RESPONSE);
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
    // Most answers are final: their head is parsed once, by response_take.
    if (!http_status_may_be_interim(head))
        return 0;
    HEADER *h = http_header_parse_response(head);
    int status = h && h->status >= 100 && h->status <= 199 ? h->status : 0;
    http_header_free(h);
    return status;
}

// Sends the request and reads response heads until the final response
// arrives.
int response_head(CONNECTION_T *conn)
{
    int step = request_send(conn);
    if (step != STEP_ON)
        return step;
    char *head = header_get_reconnect(conn, protocol_timeout(conn));
    for (;;) {
        if (!head)
            return STEP_FAILED;
        int client_kept = conn->keepalive_client;
        if (!http_response_final(conn, head))
            return STEP_FAILED;
        // A parent's challenge is answered once per request, with the
        // credentials of its own rule; a second one goes to the client.
        // Its framing concerns the parent's connection only.
        if (conn->response->status == 407 && conn->forward_type == FORWARD_HTTP &&
            !(conn->flags & CONN_PARENT_AUTH)) {
            int closing = conn->keepalive_client;
            conn->keepalive_client = client_kept;
            if (proxy_authenticate(conn)) {
                conn->flags |= CONN_PARENT_AUTH;
                head = header_get_reconnect(conn, protocol_timeout(conn));
                continue;
            }
            conn->keepalive_client = closing;
        }
        return STEP_ON;
    }
}

// "Ending early": the server connection may hold an unread body.
int ending_early(CONNECTION_T *conn)
{
    conn->keepalive_server = 0;
    http_header_free(conn->response);
    conn->response = nullptr;
    return 1;
}

void log_entry_complete(CONNECTION_T *conn, int64_t body_sent)
{
    HEADER *r = conn->response;
    // The record holds what the client received: a page sent in place of
    // the response keeps its own status and size.
    if (!conn->log_entry.page_sent) {
        conn->log_entry.status = r->status;
        conn->log_entry.size = body_sent >= 0 ? body_sent : (int64_t)conn->bytes_downloaded;
        if (r->media_type && *r->media_type) {
            statincr_mimes(conn);
            conn->log_entry.mime = r->media_type;
        }
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

// Whether the whole body of the response, framed by its length, is already
// in the server socket's input buffer and small enough to go out with the
// head in one write: relaying it then never waits for the server.
bool body_at_hand(const CONNECTION_T *conn)
{
    const HEADER *r = conn->response;
    const Socket *server = conn->server;
    return server != nullptr && (r->flags & HEADER_LENGTH) && !r->chunked &&
           r->content_length <= server->inbuf_len &&
           r->content_length <= SOCKET_OUTBUF_HIGH / 2;
}

// Relaying: the head goes out and the body follows as it arrives.
int relay(CONNECTION_T *conn)
{
    if (cache_reading(conn)) {
        if (cache_hit_send(conn) == -1) {
            protocol_page(conn, "unknown", 502, false);
            return ending_early(conn);
        }
        log_entry_complete(conn);
        http_header_free(conn->response);
        conn->response = nullptr;
        return 1;
    }
    // A short body that came with the head goes out with it in one write.
    Socket *client = conn->client;
    bool hold = body_at_hand(conn) && client != nullptr;
    if (hold)
        client->Hold();
    if (header_send(conn->response, conn, SIDE_CLIENT, SEND_TO_CLIENT) == -1) {
        if (hold && conn->client == client)
            client->Release();
        conn->keepalive_server = 0;
        protocol_page(conn, "unknown", 502, false);
        return ending_early(conn);
    }
    bool whole = http_transfer(conn, SIDE_SERVER);
    // Held bytes that cannot be delivered fail the transfer as a failed
    // write during it would have.
    if (hold && conn->client == client && client->Release() != 0 && whole) {
        putlog(LOG_ERROR, "network: [IP: %s] transfer failed", protocol_client_text(conn));
        conn->flags |= CONN_FAILED;
        whole = false;
    }
    if (!whole) {
        // The client must see the cut: its connection ends.
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
    }
    body_html_flush(conn);
    log_entry_complete(conn);
    http_header_free(conn->response);
    conn->response = nullptr;
    return 1;
}

// Buffering: the body is read whole, decoded, processed, encoded for the
// client and sent with its length.
int buffered(CONNECTION_T *conn)
{
    buffertimeout_set(conn);
    HEADER *r = conn->response;
    // Memory holds at most the buffer limit: a longer body is relayed.
    uint64_t cap = body_buffer_cap(conn);
    Filebuf *body = nullptr;
    BodyRest rest;
    int read = BODY_WHOLE;
    if (cache_reading(conn)) {
        body = cache_body_read(conn);
        if (!body) {
            body = new Filebuf();
            conn->flags |= CONN_FAILED;
        }
    } else {
        body = new Filebuf();
        read = http_transfer_filebuf_capped(conn, SIDE_SERVER, body, cap, &rest);
    }
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
            if (body->Decode(r->content_encoding, limit) == 1) {
                header_field_set(&r->content_encoding, nullptr);
                // The read observer left the coded bytes alone.
                if (conn->html_stream && body->data)
                    conn->html_stream->Add(body->data, body->size);
            }
        }
        body_html_flush(conn);
        if (hooks.Execute(HOOK_PRERESPMOD, conn, body) == 1) {
            delete body;
            return ending_early(conn);
        }
        if (!process_response(conn, body)) {
            log_entry_complete(conn);
            delete body;
            cache_give_up(conn);
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
        if (url_command_find(conn->url_commands, "raw")) {
            show_filebuf(conn, body);
            delete body;
            return ending_early(conn);
        }
        if (url_command_find(conn->url_commands, "htmltree")) {
            // A stream the prefetcher set up has parsed the body already.
            if (!conn->html_stream) {
                conn->html_stream = new HTMLStream();
                if (body->data)
                    conn->html_stream->Add(body->data, body->size);
                conn->html_stream->Add(nullptr, 0);
            }
            show_htmltree(conn);
            delete body;
            return ending_early(conn);
        }
        if (!r->content_encoding && general_section &&
            general_section->compressout_get(conn) == 1 && !(conn->flags & CONN_DECODE) &&
            conn->request->accept_encoding) {
            // The coding the client accepts with a q above 0, gzip first.
            const char *coding = client_accepts_coding(conn, "gzip")      ? "gzip"
                                 : client_accepts_coding(conn, "deflate") ? "deflate"
                                                                          : nullptr;
            if (coding)
                body->Encode(coding, &r->content_encoding);
        }
    }
    keepalive_check_client(conn);
    r->flags |= HEADER_LENGTH;
    r->content_length = body->size;
    r->chunked = 0;
    // A short body leaves with its head in one write.
    Socket *client = conn->client;
    bool hold = client != nullptr && body->size <= SOCKET_OUTBUF_HIGH / 2;
    if (hold)
        client->Hold();
    if (header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT) == -1) {
        if (hold && conn->client == client)
            client->Release();
        protocol_page(conn, "unknown", 502, false);
    } else {
        http_send_body(conn, body);
        if (hold && conn->client == client)
            client->Release();
    }
    int64_t sent = (int64_t)body->size;
    delete body;
    log_entry_complete(conn, sent);
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

namespace {

// Bytes given to the client socket so far, sent or waiting.
uint64_t client_written(const CONNECTION_T *conn)
{
    return conn->client ? conn->client->bytes_out + conn->client->outbuf_len : 0;
}

// The stored head of the connection's cache object as the response.
int cached_head(CONNECTION_T *conn)
{
    char *head = cache_stored_head(conn);
    if (!head)
        return STEP_FAILED;
    return response_take(conn, head);
}

} // namespace

int protocol_http(CONNECTION_T *conn)
{
    int step;
    for (;;) {
        // A fresh cached object answers without the server.
        uint64_t written = client_written(conn);
        step = cache_serves(conn) ? cached_head(conn) : response_head(conn);
        if (step == STEP_FAILED && conn->cachemap && (conn->flags & CONN_REVALIDATE) &&
            client_written(conn) == written) {
            // A stale object is better than no answer, unless its response
            // said it must never be used unvalidated.
            conn->keepalive_server = 0;
            if (!cache_stale_fallback(conn)) {
                protocol_page(conn, "noconnect", 504, false);
                return ending_early(conn);
            }
            step = cached_head(conn);
        }
        if (step != STEP_ON)
            break;
        if (!conn->server && !conn->cachemap)
            return ending_early(conn);
        if (!conn->cachemap && !transfer_limit_check(conn))
            return ending_early(conn);
        int cached = cache_response(conn);
        if (cached == CACHE_RESPONSE_END)
            return ending_early(conn);
        if (cached == CACHE_RESPONSE_VALIDATED) {
            step = cached_head(conn);
            if (step == STEP_ON)
                cache_hit_head(conn);
            break;
        }
        if (cached != CACHE_RESPONSE_REFETCH)
            break;
        // The server's 304 answered the proxy's own question: ask again.
        if (!conn->keepalive_server && protocol_reconnect(conn) < 0) {
            protocol_page(conn, "noconnect", 503, false);
            return ending_early(conn);
        }
    }
    if (step == STEP_FAILED) {
        http_header_free(conn->response);
        conn->response = nullptr;
        conn->keepalive_server = 0;
        return -1;
    }
    if (step == STEP_FINISHED)
        return ending_early(conn);
    return response_road(conn, true);
}

int http_response_road(CONNECTION_T *conn)
{
    return response_road(conn, false);
}

int http_response_take(CONNECTION_T *conn, char *head)
{
    return response_take(conn, head) == STEP_ON ? 1 : 0;
}

namespace {

// The response road from a final response head in conn->response (the
// cache decision made) to the answer: templates, head filters, head-only
// answers, the buffering decision, then the body relayed or buffered and
// processed.  `http` counts the request as an HTTP one.
int response_road(CONNECTION_T *conn, bool http)
{
    HEADER *r = conn->response;
    if (prefetch_section)
        prefetch_section->setup_callbacks(conn);
    if (cache_reading(conn) && !transfer_limit_check(conn))
        return ending_early(conn);
    char name[16];
    snprintf(name, sizeof(name), "%d", r->status);
    if (template_section && template_section->send(name, conn, r->status)) {
        cache_give_up(conn);
        return ending_early(conn);
    }
    if (response_filters(conn) != STEP_ON) {
        cache_give_up(conn);
        return ending_early(conn);
    }
    if ((r->status == 301 || r->status == 302) && r->location && conn->url_commands) {
        char *location = url_command_add(conn, r->location);
        header_field_set(&r->location, location);
        free(location);
    }
    if (head_only(conn)) {
        cache_give_up(conn);
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
    if (http) {
        putlog((conn->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
               conn->request->method ? conn->request->method : "",
               conn->request->url ? conn->request->url : "");
        statincr_httprequests(conn);
    }
    if ((conn->flags & (CONN_PROCESS | CONN_PREFETCH)) && buffer_check(conn))
        conn->flags |= CONN_BUFFERING;
    putlog(LOG_DEBUG, " [IP:%s]buffering: %d processing: %d", protocol_client_text(conn),
           (conn->flags & CONN_BUFFERING) ? 1 : 0, (conn->flags & CONN_PROCESS) ? 1 : 0);
    if (conn->flags & CONN_BUFFERING)
        return buffered(conn);
    return relay(conn);
}

} // namespace

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
    if (r->content_encoding && !client_accepts_coding(conn, r->content_encoding))
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

bool client_accepts_coding(const CONNECTION_T *conn, const char *coding)
{
    if (conn->flags & CONN_DECODE)
        return false;
    return header_accepts_coding(conn->request ? conn->request->accept_encoding : nullptr,
                                 coding);
}

int accepts_encoded_content(CONNECTION_T *conn)
{
    if (client_accepts_coding(conn, "gzip") || client_accepts_coding(conn, "deflate"))
        return 1;
    putlog(LOG_DEBUG, "request: [IP:%s] client doesn't support encoded content",
           protocol_client_text(conn));
    return 0;
}

namespace {

// A listener on the local address of the connection to the parent, on a
// port the system picks, with a backlog of 1; its address text and port
// go to *address and *port.  -1 (logged) when it cannot be opened.
int loopback_listen(const Socket *server, std::string *address, int *port)
{
    struct sockaddr_in local;
    socklen_t length = sizeof(local);
    if (getsockname(server->fd, (struct sockaddr *)&local, &length) == -1) {
        putlog_system(LOG_ERROR, "getsockname", errno, ", in %s, no local address to listen on",
                      "proxy_test");
        return -1;
    }
    if (local.sin_family != AF_INET) {
        putlog(LOG_ERROR, "proxy test: the connection to the parent is not IPv4");
        return -1;
    }
    local.sin_port = 0;
    int fd = s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd == -1) {
        putlog_system(LOG_ERROR, "socket", errno, ", in %s, unable to create a listener",
                      "proxy_test");
        return -1;
    }
    const char *call = nullptr;
    length = sizeof(local);
    if (bind(fd, (struct sockaddr *)&local, sizeof(local)) == -1)
        call = "bind";
    else if (listen(fd, 1) == -1)
        call = "listen";
    else if (getsockname(fd, (struct sockaddr *)&local, &length) == -1)
        call = "getsockname";
    char text[INET_ADDRSTRLEN];
    if (call == nullptr && inet_ntop(AF_INET, &local.sin_addr, text, sizeof(text)) == nullptr)
        call = "inet_ntop";
    if (call != nullptr) {
        putlog_system(LOG_ERROR, call, errno, ", in %s, unable to open a listener", "proxy_test");
        close(fd);
        return -1;
    }
    *address = text;
    *port = ntohs(local.sin_port);
    return fd;
}

// Waits up to seconds for a connection on the listener; the accepted
// descriptor, or -1 when none came in time or the wait failed.
int loopback_accept(int listener, int seconds)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    int64_t deadline = (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000 + (int64_t)seconds * 1000;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t left = deadline - ((int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000);
        if (left <= 0)
            return -1;
        struct pollfd p = {listener, POLLIN, 0};
        int ready = poll(&p, 1, (int)(left < INT_MAX ? left : INT_MAX));
        if (ready == -1 && errno == EINTR)
            continue;
        if (ready == -1) {
            putlog_system(LOG_ERROR, "poll", errno, ", in %s, waiting for the parent failed",
                          "proxy_test");
            return -1;
        }
        if (ready == 0 || !(p.revents & POLLIN))
            return -1;
        return s_accept(listener, nullptr, nullptr);
    }
}

} // namespace

void proxy_test(CONNECTION_T *conn)
{
    http_header_free(conn->response);
    conn->response = nullptr;
    if (!conn->server || !conn->request)
        return;
    // Whatever else the parent sends on this connection answers the probe,
    // not a request of the client's.
    conn->keepalive_server = 0;
    std::string address;
    int port = 0;
    int listener = loopback_listen(conn->server, &address, &port);
    if (listener == -1)
        return;
    // The probe is the client's head pointed at the listener.  Its body is
    // not sent, so the head announces none: a parent that waited for the
    // body would never connect back.
    HEADER *probe = http_header_dup(conn->request);
    header_field_set(&probe->host, address.c_str());
    header_field_set(&probe->path, "/");
    probe->port = port;
    probe->flags &= ~HEADER_LENGTH;
    probe->chunked = 0;
    int sent = header_complete(probe) == 0 ? header_send(probe, conn, SIDE_SERVER, SEND_TO_PARENT)
                                           : -1;
    http_header_free(probe);
    int timeout = protocol_timeout(conn);
    int fd = sent == 0 ? loopback_accept(listener, timeout) : -1;
    close(listener);
    if (fd == -1) {
        putlog(LOG_WARNING, "[IP:%s] proxy test: %s:%d did not connect back",
               protocol_client_text(conn), conn->forward_host ? conn->forward_host : "",
               conn->forward_port);
        return;
    }
    // header_get reads the server side: the accepted connection stands in
    // for the server socket while the head is read.
    Socket *server = conn->server;
    conn->server = new Socket(fd);
    conn->server->SetTimeout(timeout);
    char *head = header_get(conn, SIDE_SERVER, timeout);
    delete conn->server;
    conn->server = server;
    if (head) {
        conn->response = http_header_parse_request(head);
        free(head);
    }
}
