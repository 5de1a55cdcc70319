// Message body transfer: relaying, reading whole, dropping and sending
// bodies, with the read observer of response bodies.
#include "engine/body.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <vector>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/urlcommand.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"
#include "runtime/log.h"
#include "runtime/processors.h"

int64_t (*body_cache_add)(CACHEMAP *object, const char *data, size_t length) = nullptr;
void (*body_cache_bufferwait)(CONNECTION_T *conn) = nullptr;
int (*body_cache_users)(CACHEMAP *object) = nullptr;

namespace {

// What moves the data of one chunk (or of a counted or open-ended body).
enum Mode {
    MODE_RELAY,    // to the other side (net_transfer)
    MODE_BUFFER,   // into a buffer (net_filebuf_read)
    MODE_DISCARD,  // nowhere (net_filebuf_read without a buffer)
};

// How the side's body is framed.
enum Framing { FRAME_LENGTH, FRAME_CHUNKED, FRAME_CLOSE, FRAME_NONE };

Framing framing_of(CONNECTION_T *conn, int side);
Socket *source_of(CONNECTION_T *conn, int side);
Socket *destination_of(CONNECTION_T *conn, int side);
int io_timeout(CONNECTION_T *conn);
bool move(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int64_t count);
bool move_to_close(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf);
int read_to_close_capped(CONNECTION_T *conn, int side, Filebuf *buf, uint64_t cap);
int move_chunked(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int observer,
                 bool framed, uint64_t cap, int64_t *pending);
bool chunk_end(CONNECTION_T *conn, int side);
bool trailers_skip(CONNECTION_T *conn, int side);
bool source_ended(Socket *src);
void log_reset(CONNECTION_T *conn, int side);
int transfer(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, uint64_t cap,
             BodyRest *rest);
void observer_mask(CONNECTION_T *conn, int observer, int mask);
void client_release(CONNECTION_T *conn);

// No cap: the whole body is read whatever its size.
const uint64_t NO_CAP = UINT64_MAX;

// The read observer of a response body while it is kept or relayed.
struct Observer {
    Socket *socket = nullptr;
    int id = -1;
};

Observer observer_start(CONNECTION_T *conn, int side, Mode mode);
bool observer_end(CONNECTION_T *conn, const Observer &observer, bool ok);

Framing framing_of(CONNECTION_T *conn, int side)
{
    HEADER *h = side == SIDE_SERVER ? conn->response : conn->request;
    if (!h)
        return FRAME_NONE;
    if (h->flags & HEADER_LENGTH)
        return FRAME_LENGTH;
    if (h->chunked)
        return FRAME_CHUNKED;
    // A request without a length or a coding has no body; reading one
    // "until close" would take the client's next request for body bytes.
    return side == SIDE_SERVER ? FRAME_CLOSE : FRAME_NONE;
}

Socket *source_of(CONNECTION_T *conn, int side)
{
    return side == SIDE_SERVER ? conn->server : conn->client;
}

// The socket a relayed body goes to, or null when there is none (a client
// that is gone receives nothing; the source is still read).
Socket *destination_of(CONNECTION_T *conn, int side)
{
    if (side == SIDE_SERVER)
        return (conn->flags & CONN_CLIENT_GONE) ? nullptr : conn->client;
    return conn->server;
}

// Seconds for chunk framing lines; -1 (the socket's own time-out, which
// the connection set-up takes from the same rule) without settings.
int io_timeout(CONNECTION_T *conn)
{
    return general_section ? general_section->timeout_get(conn) : -1;
}

void observer_mask(CONNECTION_T *conn, int observer, int mask)
{
    if (observer >= 0 && conn->server)
        conn->server->CallBackMaskSet(observer, mask);
}

// Moves exactly count bytes.
bool move(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int64_t count)
{
    if (count == 0)
        return true;
    if (mode == MODE_RELAY)
        return net_transfer(conn, side, count) == count && !(conn->flags & CONN_FAILED);
    return net_filebuf_read(mode == MODE_BUFFER ? buf : nullptr, conn, side, count) == 1;
}

// Moves everything until the sender closes.  Only the close itself ends
// such a body; a pump that stopped on a time-out, an error or a refused
// block leaves it cut.
bool move_to_close(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf)
{
    if (mode == MODE_RELAY)
        net_transfer(conn, side, -1);
    else if (net_filebuf_read(mode == MODE_BUFFER ? buf : nullptr, conn, side, -1) != 0)
        return false;
    if (!(conn->flags & CONN_FAILED) && source_ended(source_of(conn, side)))
        return true;
    log_reset(conn, side);
    return false;
}

// A body that ends with the close was cut by a reset or a read error:
// logged, since nothing else tells the administrator why it was not kept.
void log_reset(CONNECTION_T *conn, int side)
{
    Socket *src = source_of(conn, side);
    if (src && src->read_failed)
        putlog(LOG_ERROR,
               "network: [IP:%s] %s connection failed before the close that ends its body: %s",
               protocol_client_text(conn), side == SIDE_SERVER ? "server" : "client",
               conn->request && conn->request->url ? conn->request->url : "");
}

// Reads a body that ends with the close into buf until the close, or
// until buf holds one byte more than cap (BODY_PAST_CAP: the rest runs
// until the close).  The reads go straight to the source socket, which
// waits at most its time-out and runs the read observer.
int read_to_close_capped(CONNECTION_T *conn, int side, Filebuf *buf, uint64_t cap)
{
    Socket *src = source_of(conn, side);
    std::vector<char> block(block_size());
    while (buf->size <= cap) {
        uint64_t room = cap - buf->size + 1;
        size_t want = room < block.size() ? (size_t)room : block.size();
        ssize_t got = src->Read(block.data(), (ssize_t)want);
        if (got == 0 && src->read_failed)
            log_reset(conn, side);
        if (got == 0)
            return (conn->flags & CONN_FAILED) || src->read_failed ? BODY_FAILED : BODY_WHOLE;
        if (got < 0)
            return BODY_FAILED;
        buf->Add(block.data(), (size_t)got);
    }
    return BODY_PAST_CAP;
}

// True when the socket's peer has closed and nothing is left unread.
bool source_ended(Socket *src)
{
    if (!src || src->inbuf_len != 0 || src->read_failed)
        return false;
    if (src->encrypted && src->ssl_session && SSL_pending(src->ssl_session) > 0)
        return false;
    struct pollfd p = {src->fd, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, 0);
    } while (r < 0 && errno == EINTR);
    if (r != 1)
        return false;
    char c;
    ssize_t n;
    do {
        n = recv(src->fd, &c, 1, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return n == 0;
}

// The line end after chunk data: anything else means the sizes and the
// data disagree, and the rest cannot be framed.
bool chunk_end(CONNECTION_T *conn, int side)
{
    char line[4];
    ssize_t n = source_of(conn, side)->GetLine(line, (ssize_t)sizeof(line), io_timeout(conn));
    return n > 0 && (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0);
}

// The trailer lines after the last chunk, through the blank line; read so
// that they are never taken for the next message, and not forwarded.
bool trailers_skip(CONNECTION_T *conn, int side)
{
    char line[HEADER_LINE_MAX + 3];
    size_t total = 0;
    for (;;) {
        ssize_t n = source_of(conn, side)->GetLine(line, (ssize_t)sizeof(line), io_timeout(conn));
        if (n <= 0 || n == (ssize_t)sizeof(line))
            return false;
        total += (size_t)n;
        if (total > HEADER_COLLECT_MAX)
            return false;
        if (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0)
            return true;
    }
}

// A chunked body, chunk by chunk.  When relaying framed, the destination
// gets the same chunks with their sizes in lower-case hexadecimal and,
// only after the whole body arrived, the last chunk "0\r\n\r\n"; relaying
// unframed, it gets the data alone.  The observer is off while framing is
// read, so it sees data bytes only.  When buffering, a chunk that would
// take the buffer past cap is left unread: BODY_PAST_CAP with its size in
// *pending.
int move_chunked(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int observer,
                 bool framed, uint64_t cap, int64_t *pending)
{
    for (;;) {
        observer_mask(conn, observer, 0);
        int64_t size = next_chunksize(conn, side);
        if (size < 0)
            return BODY_FAILED;
        Socket *dst = mode == MODE_RELAY && framed ? destination_of(conn, side) : nullptr;
        if (size == 0) {
            if (!trailers_skip(conn, side))
                return BODY_FAILED;
            if (dst) {
                dst->PutSock("0\r\n\r\n");
                dst->Flush();
            }
            return BODY_WHOLE;
        }
        if (mode == MODE_BUFFER && (uint64_t)size > cap - buf->size) {
            *pending = size;
            return BODY_PAST_CAP;
        }
        if (dst)
            dst->PutSock("%" PRIx64 "\r\n", size);
        observer_mask(conn, observer, SOCKET_EVENT_READ);
        if (!move(conn, side, mode, buf, size))
            return BODY_FAILED;
        observer_mask(conn, observer, 0);
        if (!chunk_end(conn, side))
            return BODY_FAILED;
        dst = mode == MODE_RELAY && framed ? destination_of(conn, side) : nullptr;
        if (dst)
            dst->PutSock("\r\n");
    }
}

Observer observer_start(CONNECTION_T *conn, int side, Mode mode)
{
    Observer o;
    if (side == SIDE_SERVER && mode != MODE_DISCARD && !(conn->flags & CONN_NO_OBSERVER) &&
        conn->server) {
        o.socket = conn->server;
        o.id = o.socket->CallBackAdd(protocol_http_read_callback, conn, SOCKET_EVENT_READ);
    }
    return o;
}

// Removes the observer, lets go of a client given up meanwhile and marks
// a failure; returns ok.
bool observer_end(CONNECTION_T *conn, const Observer &o, bool ok)
{
    if (o.id >= 0 && conn->server == o.socket)
        o.socket->CallBackRemove(o.id);
    client_release(conn);
    if (!ok)
        conn->flags |= CONN_FAILED;
    return ok;
}

// The body of the side, framed by its head: whole, or when buffering with
// a cap, up to the cap (*rest then says what is left).
int transfer(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, uint64_t cap,
             BodyRest *rest)
{
    Framing framing = framing_of(conn, side);
    if (framing == FRAME_NONE)
        return BODY_WHOLE;
    // The receiver of a relayed body that ends with the close has nothing
    // else to tell its end by: a failed one must be cut visibly.
    if (mode == MODE_RELAY && framing == FRAME_CLOSE)
        conn->flags |= CONN_CLOSE_DELIMITED;
    if (!source_of(conn, side)) {
        conn->flags |= CONN_FAILED;
        return BODY_FAILED;
    }
    Observer observer = observer_start(conn, side, mode);
    HEADER *h = side == SIDE_SERVER ? conn->response : conn->request;
    int result;
    switch (framing) {
    case FRAME_LENGTH:
        if (mode == MODE_BUFFER && h->content_length > cap) {
            rest->pending = (int64_t)h->content_length;
            result = BODY_PAST_CAP;
        } else {
            result = move(conn, side, mode, buf, (int64_t)h->content_length) ? BODY_WHOLE
                                                                           : BODY_FAILED;
        }
        break;
    case FRAME_CHUNKED:
        result = move_chunked(conn, side, mode, buf, observer.id, true, cap,
                              rest ? &rest->pending : nullptr);
        if (result == BODY_PAST_CAP)
            rest->chunked = true;
        break;
    default:
        if (mode == MODE_BUFFER && cap != NO_CAP) {
            result = read_to_close_capped(conn, side, buf, cap);
            if (result == BODY_PAST_CAP)
                rest->pending = -1;
        } else {
            result = move_to_close(conn, side, mode, buf) ? BODY_WHOLE : BODY_FAILED;
        }
        break;
    }
    observer_end(conn, observer, result != BODY_FAILED);
    return result;
}

// A client given up by the buffer-wait deadline is deleted once the pump
// that was reading when it happened has returned.
void client_release(CONNECTION_T *conn)
{
    if ((conn->flags & CONN_CLIENT_GONE) && conn->client) {
        delete conn->client;
        conn->client = nullptr;
    }
}

} // namespace

int64_t next_chunksize(CONNECTION_T *conn, int side)
{
    Socket *src = source_of(conn, side);
    if (!src)
        return -1;
    char line[BODY_CHUNK_LINE_MAX + 3];
    ssize_t n = src->GetLine(line, (ssize_t)sizeof(line), io_timeout(conn));
    if (n <= 0 || n == (ssize_t)sizeof(line) || strlen(line) != (size_t)n)
        return -1;
    int64_t size = 0;
    const char *p = line;
    for (;; p++) {
        int digit;
        if (*p >= '0' && *p <= '9')
            digit = *p - '0';
        else if (*p >= 'a' && *p <= 'f')
            digit = *p - 'a' + 10;
        else if (*p >= 'A' && *p <= 'F')
            digit = *p - 'A' + 10;
        else
            break;
        if (size > (INT64_MAX - digit) / 16)
            return -1;
        size = size * 16 + digit;
    }
    if (p == line)
        return -1;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != ';' && strcmp(p, "\r\n") != 0 && strcmp(p, "\n") != 0)
        return -1;
    // An extension holds no control byte but a tab: a CR inside it is a
    // line end to some readers and not to others, so the same bytes would
    // frame two ways.
    for (; *p && strcmp(p, "\r\n") != 0 && strcmp(p, "\n") != 0; p++) {
        unsigned char c = (unsigned char)*p;
        if ((c < 0x20 && c != '\t') || c == 0x7f)
            return -1;
    }
    return size;
}

int http_transfer(CONNECTION_T *conn, int side)
{
    return transfer(conn, side, MODE_RELAY, nullptr, NO_CAP, nullptr) == BODY_WHOLE ? 1 : 0;
}

Filebuf *http_transfer_filebuf(CONNECTION_T *conn, int side)
{
    Filebuf *buf = new Filebuf();
    transfer(conn, side, MODE_BUFFER, buf, NO_CAP, nullptr);
    return buf;
}

uint64_t body_buffer_cap(CONNECTION_T *conn)
{
    uint64_t limit = general_section ? general_section->maxdbuffer_get(conn) : 0;
    if (url_command_find(conn->url_commands, "process"))
        return limit > FILEBUF_INFLATE_LIMIT ? limit : FILEBUF_INFLATE_LIMIT;
    return limit != 0 ? limit : FILEBUF_INFLATE_LIMIT;
}

int http_transfer_filebuf_capped(CONNECTION_T *conn, int side, Filebuf *buf, uint64_t cap,
                                 BodyRest *rest)
{
    *rest = BodyRest();
    return transfer(conn, side, MODE_BUFFER, buf, cap, rest);
}

int http_transfer_rest(CONNECTION_T *conn, int side, const BodyRest *rest)
{
    if (!source_of(conn, side)) {
        conn->flags |= CONN_FAILED;
        return 0;
    }
    Observer observer = observer_start(conn, side, MODE_RELAY);
    bool ok;
    if (rest->pending < 0) {
        ok = move_to_close(conn, side, MODE_RELAY, nullptr);
    } else {
        ok = move(conn, side, MODE_RELAY, nullptr, rest->pending);
        if (ok && rest->chunked) {
            observer_mask(conn, observer.id, 0);
            ok = chunk_end(conn, side) &&
                 move_chunked(conn, side, MODE_RELAY, nullptr, observer.id, false, NO_CAP,
                              nullptr) == BODY_WHOLE;
        }
    }
    return observer_end(conn, observer, ok) ? 1 : 0;
}

int http_send_past_cap(CONNECTION_T *conn, Filebuf *start, const BodyRest *rest, uint64_t cap)
{
    HEADER *r = conn->response;
    // Relayed from here on: no "downloading" page once the head is out.
    conn->flags &= ~CONN_BUFFERING;
    const char *url = conn->request && conn->request->url ? conn->request->url : "";
    if ((conn->flags & CONN_PROCESS) &&
        (url_command_find(conn->url_commands, "process") ||
         processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) != 0))
        putlog(LOG_WARNING,
               "request: warn: [IP:%s] response passed uninspected, its body exceeds the buffer "
               "limit of %" PRIu64 " bytes: %s",
               protocol_client_text(conn), cap, url);
    else if (r->content_encoding && !client_accepts_coding(conn, r->content_encoding))
        putlog(LOG_WARNING,
               "request: warn: [IP:%s] response sent with its content coding %s, its body "
               "exceeds the buffer limit of %" PRIu64 " bytes: %s",
               protocol_client_text(conn), r->content_encoding, cap, url);
    else
        putlog(LOG_DEBUG,
               "request: [IP:%s] response body exceeds the buffer limit of %" PRIu64
               " bytes, relayed until the close",
               protocol_client_text(conn), cap);
    r->flags &= ~HEADER_LENGTH;
    r->content_length = 0;
    r->chunked = 0;
    conn->keepalive_client = 0;
    conn->flags |= CONN_CLOSE_DELIMITED;
    if (!(conn->flags & CONN_CLIENT_GONE)) {
        int sent = header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT);
        if (sent == -1) {
            conn->keepalive_server = 0;
            return -1;
        }
        if (sent != 0 ||
            (conn->client && start->size && net_filebuf_send(start, conn, SIDE_CLIENT) < 0)) {
            conn->keepalive_server = 0;
            conn->flags |= CONN_FAILED;
            return 0;
        }
    }
    if (!http_transfer_rest(conn, SIDE_SERVER, rest)) {
        conn->keepalive_server = 0;
        return 0;
    }
    return 1;
}

int http_transfer_discard(CONNECTION_T *conn, int side)
{
    return transfer(conn, side, MODE_DISCARD, nullptr, NO_CAP, nullptr) == BODY_WHOLE ? 1 : 0;
}

int64_t http_send_body(CONNECTION_T *conn, Filebuf *body)
{
    if (conn->flags & CONN_HEAD)
        return 0;
    return net_filebuf_send(body, conn, SIDE_CLIENT);
}

void body_html_feed(CONNECTION_T *conn, const char *data, size_t length)
{
    HTMLStream *stream = conn->html_stream;
    // A coded body is parsed once decoded, which needs it buffered.
    if (!stream || !conn->response || conn->response->content_encoding)
        return;
    if (!(conn->flags & CONN_BUFFERING)) {
        // A relayed body may be endless: its links are looked for in its
        // start only, so the stream's copy stays bounded.
        size_t fed = stream->input ? stream->input->size : 0;
        if (fed >= BODY_HTML_RELAY_MAX)
            return;
        if (length > BODY_HTML_RELAY_MAX - fed)
            length = BODY_HTML_RELAY_MAX - fed;
    }
    stream->Add(data, length);
}

void body_html_flush(CONNECTION_T *conn)
{
    if (conn->html_stream)
        conn->html_stream->Add(nullptr, 0);
}

int protocol_http_read_callback(void *arg, ssize_t len, char *buf)
{
    CONNECTION_T *conn = (CONNECTION_T *)arg;
    if (len <= 0)
        return 0;
    if (conn->cachemap && body_cache_add &&
        body_cache_add(conn->cachemap, buf, (size_t)len) == -1 && (conn->flags & CONN_PREFETCH))
        return -1;
    body_html_feed(conn, buf, (size_t)len);
    conn->bytes_downloaded += (uint64_t)len;
    if (conn->download_allowance != CONN_NO_LIMIT) {
        conn->download_allowance =
            conn->download_allowance > (uint64_t)len ? conn->download_allowance - (uint64_t)len : 0;
        if (conn->download_allowance == 0) {
            conn->flags |= CONN_FAILED;
            return -1;
        }
    }
    buffertimeout_check(conn);
    return 0;
}

void buffertimeout_check(CONNECTION_T *conn)
{
    if ((conn->flags & CONN_CLIENT_GONE) || !(conn->flags & CONN_BUFFERING) ||
        !(conn->flags & CONN_CACHE_WRITE) || conn->buffer_deadline == 0 ||
        time(nullptr) < conn->buffer_deadline)
        return;
    if (body_cache_bufferwait)
        body_cache_bufferwait(conn);
    conn->keepalive_client = 0;
    conn->flags |= CONN_CLIENT_GONE;
    // The pump under way may still hold the client socket: it is shut down
    // here, so the client sees the end, and deleted when the pump returns.
    if (conn->client && conn->client->fd >= 0)
        shutdown(conn->client->fd, SHUT_RDWR);
}
