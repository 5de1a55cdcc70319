// Message body transfer: relaying, reading whole, dropping and sending
// bodies, with the read observer of response bodies.
#include "engine/body.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>
#include <ctime>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"

int64_t (*body_cache_add)(CACHEMAP *object, const char *data, size_t length) = nullptr;
void (*body_cache_bufferwait)(CONNECTION_T *conn) = nullptr;

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
bool move_chunked(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int observer);
bool chunk_end(CONNECTION_T *conn, int side);
bool trailers_skip(CONNECTION_T *conn, int side);
bool source_ended(Socket *src);
bool transfer(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf);
void observer_mask(CONNECTION_T *conn, int observer, int mask);
void client_release(CONNECTION_T *conn);

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
    return !(conn->flags & CONN_FAILED) && source_ended(source_of(conn, side));
}

// True when the socket's peer has closed and nothing is left unread.
bool source_ended(Socket *src)
{
    if (!src || src->inbuf_len != 0)
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

// A chunked body, chunk by chunk.  When relaying, the destination gets
// the same chunks with their sizes in lower-case hexadecimal and, only
// after the whole body arrived, the last chunk "0\r\n\r\n".  The observer
// is off while framing is read, so it sees data bytes only.
bool move_chunked(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf, int observer)
{
    for (;;) {
        observer_mask(conn, observer, 0);
        int64_t size = next_chunksize(conn, side);
        if (size < 0)
            return false;
        Socket *dst = mode == MODE_RELAY ? destination_of(conn, side) : nullptr;
        if (size == 0) {
            if (!trailers_skip(conn, side))
                return false;
            if (dst) {
                dst->PutSock("0\r\n\r\n");
                dst->Flush();
            }
            return true;
        }
        if (dst)
            dst->PutSock("%" PRIx64 "\r\n", size);
        observer_mask(conn, observer, SOCKET_EVENT_READ);
        if (!move(conn, side, mode, buf, size))
            return false;
        observer_mask(conn, observer, 0);
        if (!chunk_end(conn, side))
            return false;
        dst = mode == MODE_RELAY ? destination_of(conn, side) : nullptr;
        if (dst)
            dst->PutSock("\r\n");
    }
}

// The whole body of the side, framed by its head.
bool transfer(CONNECTION_T *conn, int side, Mode mode, Filebuf *buf)
{
    Framing framing = framing_of(conn, side);
    if (framing == FRAME_NONE)
        return true;
    if (!source_of(conn, side))
        return false;
    Socket *observed = nullptr;
    int observer = -1;
    if (side == SIDE_SERVER && mode != MODE_DISCARD && !(conn->flags & CONN_NO_OBSERVER)) {
        observed = conn->server;
        observer = observed->CallBackAdd(protocol_http_read_callback, conn, SOCKET_EVENT_READ);
    }
    HEADER *h = side == SIDE_SERVER ? conn->response : conn->request;
    bool ok;
    switch (framing) {
    case FRAME_LENGTH:
        ok = move(conn, side, mode, buf, (int64_t)h->content_length);
        break;
    case FRAME_CHUNKED:
        ok = move_chunked(conn, side, mode, buf, observer);
        break;
    default:
        ok = move_to_close(conn, side, mode, buf);
        break;
    }
    if (observer >= 0 && conn->server == observed)
        observed->CallBackRemove(observer);
    client_release(conn);
    if (!ok)
        conn->flags |= CONN_FAILED;
    return ok;
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
    return size;
}

int http_transfer(CONNECTION_T *conn, int side)
{
    return transfer(conn, side, MODE_RELAY, nullptr) ? 1 : 0;
}

Filebuf *http_transfer_filebuf(CONNECTION_T *conn, int side)
{
    Filebuf *buf = new Filebuf();
    transfer(conn, side, MODE_BUFFER, buf);
    return buf;
}

int http_transfer_discard(CONNECTION_T *conn, int side)
{
    return transfer(conn, side, MODE_DISCARD, nullptr) ? 1 : 0;
}

int64_t http_send_body(CONNECTION_T *conn, Filebuf *body)
{
    if (conn->flags & CONN_HEAD)
        return 0;
    return net_filebuf_send(body, conn, SIDE_CLIENT);
}

int protocol_http_read_callback(void *arg, ssize_t len, char *buf)
{
    CONNECTION_T *conn = (CONNECTION_T *)arg;
    if (len <= 0)
        return 0;
    if (conn->cachemap && body_cache_add &&
        body_cache_add(conn->cachemap, buf, (size_t)len) == -1 && (conn->flags & CONN_PREFETCH))
        return -1;
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
