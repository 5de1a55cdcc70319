// Outgoing connections and the data pumps between a connection's sockets.
#include "engine/fetch.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/counters.h"
#include "engine/dns.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"

namespace {

// Input the pumps buffer from the destination socket while they wait (a
// client sending ahead during a download) stops being read past this.
constexpr size_t PUMP_INBUF_MAX = 1 << 20;

int connect_failed(int code);
void connect_options(int fd);
int connect_wait(int fd, int timeout);
const char *client_text(const CONNECTION_T *conn);
int poll_ms(int seconds);
int pump_wait(Socket *source, Socket *other, short *other_events);
Socket *pump_peer(CONNECTION_T *conn, int side);
bool destination_gone(CONNECTION_T *conn, int side);

int connect_failed(int code)
{
    counters_connect_failed(code == NET_CONNECT_NODNS);
    return code;
}

void connect_options(int fd)
{
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on));
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
    int size = BLOCKSIZE;
    if (RCV_BUF > 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    if (SND_BUF > 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (TCP_KEEPIDLE_TIME > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &TCP_KEEPIDLE_TIME, sizeof(int));
    if (TCP_KEEPINTVL_TIME > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &TCP_KEEPINTVL_TIME, sizeof(int));
    if (TCP_KEEPCNT_COUNTS > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &TCP_KEEPCNT_COUNTS, sizeof(int));
    (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// Waits for a connect in progress to finish, at most timeout seconds.
// Returns 0 when connected, else a NET_CONNECT_* code (logged; the
// descriptor is closed by the caller).
int connect_wait(int fd, int timeout)
{
    struct pollfd p = {fd, POLLOUT, 0};
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    int64_t budget = (int64_t)timeout * 1000;
    int r;
    for (;;) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        int64_t spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        int64_t left = budget > spent ? budget - spent : 0;
        r = poll(&p, 1, (int)left);
        if (r >= 0 || errno != EINTR)
            break;
    }
    int err = 0;
    socklen_t len = sizeof(err);
    if (r != 1 || (p.revents & (POLLERR | POLLHUP | POLLNVAL))) {
        int shown = errno;
        // A refused or reset connect reports its cause through SO_ERROR.
        if (r == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err != 0)
            shown = err;
        else if (r == 0)
            shown = ETIMEDOUT;
        putlog(LOG_ERROR, "network: outbound connection: poll[%d]: %d:%s", r, shown,
               strerror(shown));
        return NET_CONNECT_FAILED;
    }
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        err = errno;
    if (err != 0) {
        putlog(LOG_ERROR, "network: outbound connection: getsockopt: %d:%s", err, strerror(err));
        putlog(LOG_ERROR, "network: socket lost while trying to make a network connection, reduce load and restart the service");
        return NET_CONNECT_FAILED;
    }
    return 0;
}

const char *client_text(const CONNECTION_T *conn)
{
    return conn->client_ip != nullptr ? conn->client_ip : "-";
}


// A time-out in seconds as poll's milliseconds; one beyond poll's range
// waits as long as poll can instead of wrapping to an endless wait.
int poll_ms(int seconds)
{
    return (int)std::min<int64_t>((int64_t)seconds * 1000, INT32_MAX);
}

// A pump's block, not initialised: a block size, or a count when that is
// less, so that a short body takes a short block.  Its size is fixed when
// it is made: a listener opened meanwhile may change the block size in
// force, and every read of the pump stays within the block it has.
class PumpBlock {
public:
    explicit PumpBlock(int64_t count) : size(next(count, block_size())), data(new char[size]) {}
    // The next read's size: the block, or what is left of a count.
    size_t next(int64_t count) const { return next(count, size); }
    char *get() const { return data.get(); }

    const size_t size;

private:
    static size_t next(int64_t count, size_t block)
    {
        return (count != -1 && (uint64_t)count < block) ? (size_t)count : block;
    }
    std::unique_ptr<char[]> data;
};

// What pump_wait found.
enum {
    PUMP_READ,   // the source has bytes, buffered or on its descriptor
    PUMP_OTHER,  // the source has none; *other_events are the other socket's
    PUMP_LOST,   // the source descriptor failed or hung up without data
    PUMP_STOP,   // the source stayed silent for its time-out, or poll failed
    PUMP_AGAIN,  // a signal interrupted the wait
};

// One wait of a pump for its source, at most the source socket's time-out,
// watching the other socket (null: none) for input meanwhile unless that
// already holds PUMP_INBUF_MAX bytes.  Bytes already buffered on the source
// are taken without a look at the sockets: a destination that is gone
// shows when they are written.
int pump_wait(Socket *source, Socket *other, short *other_events)
{
    if (source->inbuf_len != 0)
        return PUMP_READ;
    struct pollfd p[2] = {{source->fd, POLLIN, 0}, {other ? other->fd : -1, 0, 0}};
    if (other != nullptr && other->inbuf_len < PUMP_INBUF_MAX)
        p[1].events = POLLIN;
    int r = poll(p, other != nullptr ? 2 : 1, poll_ms(source->timeout));
    if (r < 0)
        return errno == EINTR ? PUMP_AGAIN : PUMP_STOP;
    if (r == 0)
        return PUMP_STOP;
    if (p[0].revents & POLLIN)
        return PUMP_READ;
    if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        return PUMP_LOST;
    *other_events = p[1].revents;
    return PUMP_OTHER;
}

// The socket facing the side's source: the client for SIDE_SERVER, the
// server for SIDE_CLIENT; null when there is none or the client has gone.
// Taken anew before every wait, as the client may go meanwhile.
Socket *pump_peer(CONNECTION_T *conn, int side)
{
    if (side != SIDE_SERVER)
        return conn->server;
    return (conn->flags & CONN_CLIENT_GONE) ? nullptr : conn->client;
}

// The client of a server body has hung up or stopped taking bytes.  When
// this request writes a cache object that other clients follow, the
// transfer goes on without a client so that they get the whole object;
// anything else ends the transfer.  Returns true when it goes on.  The
// socket is shut down here and deleted once the body's transfer is over,
// as the caller may still hold it.
bool destination_gone(CONNECTION_T *conn, int side)
{
    if (side != SIDE_SERVER || !(conn->flags & CONN_CACHE_WRITE) || !conn->cachemap ||
        !body_cache_users || (conn->flags & CONN_CLIENT_GONE))
        return false;
    // At one user the cache marks the object invalid: it is dropped when
    // the failed transfer gives it back.
    if (body_cache_users(conn->cachemap) <= 1)
        return false;
    putlog(LOG_NETWORK, "network: [IP: %s] allowing transfer with no client to continue",
           client_text(conn));
    conn->flags |= CONN_CLIENT_GONE;
    conn->keepalive_client = 0;
    if (conn->client && conn->client->fd >= 0)
        shutdown(conn->client->fd, SHUT_RDWR);
    return true;
}

}  // namespace

// ------------------------------------------------------------- connections

int net_connect(const char *host, int port, struct in_addr local, int timeout)
{
    if (host == nullptr || port <= 0 || port > 65535)
        return connect_failed(NET_CONNECT_ARGS);
    HOSTENT *he = net_dns(host);
    if (he == nullptr)
        return connect_failed(NET_CONNECT_NODNS);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    memcpy(&sa.sin_addr, he->address, 4);
    hostent_free(he);

    // A request that leads back to this proxy would loop through it for
    // ever, and would reach its interface as a local client.
    if (net_listener_owns(sa.sin_addr, port)) {
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &sa.sin_addr, text, sizeof(text));
        putlog(LOG_SECURITY, "network: refused outgoing connection to %s:%d (%s): it leads to this proxy's own listener",
               host, port, text);
        return connect_failed(NET_CONNECT_SELF);
    }

    int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return connect_failed(NET_CONNECT_FAILED);
    connect_options(fd);
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) == -1) {
        putlog(LOG_ERROR, "network: outbound connection: fcntl: %d:%s", errno, strerror(errno));
        close(fd);
        return connect_failed(NET_CONNECT_FAILED);
    }

    if (local.s_addr != htonl(INADDR_ANY)) {
        // The port is chosen at connect, so that one local port serves
        // many destinations.
        int on = 1;
        (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof(on));
        struct sockaddr_in la;
        memset(&la, 0, sizeof(la));
        la.sin_family = AF_INET;
        la.sin_addr = local;
        if (bind(fd, (struct sockaddr *)&la, sizeof(la)) != 0) {
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &local, text, sizeof(text));
            putlog(LOG_NETWORK, "error: failed to bind on %s for outgoing connection", text);
        }
    }

    if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0) {
        if (errno != EINPROGRESS) {
            putlog(LOG_ERROR, "network: outbound connection: connect: %d:%s", errno, strerror(errno));
            close(fd);
            return connect_failed(NET_CONNECT_FAILED);
        }
        int code = connect_wait(fd, timeout < 0 ? SOCKET_DEFAULT_TIMEOUT : timeout);
        if (code != 0) {
            close(fd);
            return connect_failed(code);
        }
    }

    if (fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        putlog(LOG_ERROR, "network: outbound connection: fcntl: %d:%s", errno, strerror(errno));
        close(fd);
        return connect_failed(NET_CONNECT_FAILED);
    }
    counters_connect_ok();
    return fd;
}

int net_connect(const char *host, int port, int timeout)
{
    struct in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return net_connect(host, port, any, timeout);
}

int net_connect(const char *host, int port)
{
    return net_connect(host, port, -1);
}

// -------------------------------------------------------------------- pumps

int64_t net_filebuf_send(Filebuf *buf, CONNECTION_T *conn, int side)
{
    if (side != SIDE_SERVER && (conn->flags & CONN_CLIENT_GONE))
        return (int64_t)buf->size;
    Socket *sock = side == SIDE_SERVER ? conn->server : conn->client;
    if (sock == nullptr)
        return -1;
    return sock->WriteFilebuf(buf);
}

int64_t net_filebuf_send_chunked(Filebuf *buf, CONNECTION_T *conn, int side)
{
    if (side != SIDE_SERVER && (conn->flags & CONN_CLIENT_GONE))
        return (int64_t)buf->size;
    Socket *sock = side == SIDE_SERVER ? conn->server : conn->client;
    if (sock == nullptr)
        return -1;
    size_t off = 0;
    while (off < buf->size) {
        size_t n = buf->size - off < block_size() ? buf->size - off : block_size();
        if (sock->PutSock("%zx\r\n", n) == -1 || sock->Write(buf->data + off, (ssize_t)n) == -1 ||
            sock->PutSock("\r\n") == -1)
            return -1;
        off += n;
    }
    if (sock->PutSock("0\r\n\r\n") == -1 || sock->Flush() != 0)
        return -1;
    return (int64_t)off;
}

int net_filebuf_read(Filebuf *buf, CONNECTION_T *conn, int side, int64_t count)
{
    Socket *source = side == SIDE_SERVER ? conn->server : conn->client;
    const char *source_name = side == SIDE_SERVER ? "server" : "client";
    const char *other_name = side == SIDE_SERVER ? "client" : "server";
    if (source == nullptr) {
        conn->flags |= CONN_FAILED;
        return 0;
    }
    PumpBlock block(count);

    while (count == -1 || count > 0) {
        // A client given up meanwhile (buffer wait, followers going on
        // without it) is no longer watched.
        Socket *other = pump_peer(conn, side);
        short other_events = 0;
        int event = pump_wait(source, other, &other_events);
        if (event == PUMP_AGAIN)
            continue;
        if (event == PUMP_STOP)
            break;
        if (event == PUMP_LOST) {
            putlog(LOG_ERROR, "network: [IP:%s] %s lost while reading data, system overloaded or network disrupted",
                   client_text(conn), source_name);
            break;
        }
        if (event == PUMP_OTHER) {
            if (other_events & POLLIN) {
                if (other->Read(nullptr, -1, 0) > 0 || destination_gone(conn, side))
                    continue;
                break;
            }
            if (other_events & (POLLERR | POLLHUP | POLLNVAL)) {
                if (destination_gone(conn, side))
                    continue;
                putlog(LOG_ERROR, "network: [IP:%s] %s lost while reading data, system overloaded or network disrupted",
                       client_text(conn), other_name);
                break;
            }
            continue;
        }
        ssize_t got = source->Read(block.get(), (ssize_t)block.next(count));
        if (got <= 0) {
            // The source ended: a counted read that is short has failed.
            if (count > 0)
                conn->flags |= CONN_FAILED;
            return 0;
        }
        if (buf != nullptr)
            buf->Add(block.get(), (size_t)got);
        if (count != -1)
            count -= got;
    }
    if (count == -1 || count == 0)
        return 1;
    conn->flags |= CONN_FAILED;
    return 0;
}

int64_t net_transfer(CONNECTION_T *conn, int side, int64_t count)
{
    const char *source_name = side == SIDE_SERVER ? "server" : "client";
    PumpBlock block(count);
    int64_t total = 0;
    bool delivery_failed = false;

    while (count == -1 || count > 0) {
        // Taken anew each pass: the client socket may have gone meanwhile.
        Socket *source = side == SIDE_SERVER ? conn->server : conn->client;
        Socket *dest = pump_peer(conn, side);
        if (source == nullptr)
            break;
        short dest_events = 0;
        int event = pump_wait(source, dest, &dest_events);
        if (event == PUMP_AGAIN)
            continue;
        if (event == PUMP_STOP)
            break;
        if (event == PUMP_LOST) {
            putlog(LOG_ERROR, "network: [IP: %s] %s socket lost while transferring data between sockets",
                   client_text(conn), source_name);
            break;
        }
        if (event == PUMP_OTHER) {
            if (dest_events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) {
                if (dest->Read(nullptr, -1, 0) > 0)
                    continue;
                if (destination_gone(conn, side))
                    continue;
                delivery_failed = true;
                break;
            }
            continue;
        }
        ssize_t got = source->Read(block.get(), (ssize_t)block.next(count));
        if (got <= 0)
            break;
        total += got;
        if (count != -1)
            count -= got;
        // A destination that no longer takes bytes is treated as gone
        // rather than waited for block after block.
        if (dest != nullptr && dest->Write(block.get(), got) == -1 &&
            !destination_gone(conn, side)) {
            delivery_failed = true;
            break;
        }
    }

    Socket *dest = pump_peer(conn, side);
    if (dest != nullptr && dest->Flush() != 0 && !destination_gone(conn, side))
        delivery_failed = true;
    if ((count != -1 && count != 0) || delivery_failed) {
        putlog(LOG_ERROR, "network: [IP: %s] transfer failed", client_text(conn));
        conn->flags |= CONN_FAILED;
    }
    return total;
}

int64_t net_proxy(CONNECTION_T *conn, int64_t limit)
{
    Socket *client = conn->client;
    Socket *server = conn->server;
    if (client == nullptr || server == nullptr)
        return 0;
    PumpBlock block(-1);
    int64_t total = 0;
    Socket *from[2] = {client, server};
    Socket *to[2] = {server, client};
    const char *side_name[2] = {"client", "outgoing"};

    while (limit == -1 || total < limit) {
        bool buffered = client->inbuf_len != 0 || server->inbuf_len != 0;
        struct pollfd p[2] = {{client->fd, POLLIN, 0}, {server->fd, POLLIN, 0}};
        int r = poll(p, 2, buffered ? 0 : poll_ms(client->timeout));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (r == 0 && !buffered) {
            putlog(LOG_NETWORK, "network: [IP: %s] tunnel idle for %d seconds, closed",
                   client_text(conn), client->timeout);
            break;
        }
        bool stop = false;
        for (int dir = 0; dir < 2 && !stop; dir++) {
            if (from[dir]->inbuf_len != 0 || (p[dir].revents & POLLIN)) {
                ssize_t want = (ssize_t)block.size;
                if (limit != -1 && limit - total < want)
                    want = (ssize_t)(limit - total);
                ssize_t got = from[dir]->Read(block.get(), want);
                if (got <= 0 || to[dir]->Write(block.get(), got) == -1) {
                    stop = true;
                    break;
                }
                total += got;
                if (limit != -1 && total >= limit)
                    stop = true;
            } else if (p[dir].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                putlog(LOG_ERROR, "network: [IP: %s] active %s socket lost while trying to make a connection",
                       client_text(conn), side_name[dir]);
                stop = true;
            }
        }
        if (stop)
            break;
    }
    server->Flush();
    client->Flush();
    return total;
}
