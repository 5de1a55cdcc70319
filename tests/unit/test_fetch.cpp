// Outgoing connections on loopback (failures, time-outs, the local address,
// refusing the proxy's own listeners) and the pumps between a connection's
// two sockets over socketpairs.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/dns.h"
#include "engine/fetch.h"
#include "engine/global.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/hash.h"
#include "runtime/log.h"
#include "runtime/stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A plain loopback server socket (not one of the proxy's listeners).
int server_socket(int backlog, int *port, const char *address = "127.0.0.1")
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address, &sa.sin_addr);
    bind(fd, (struct sockaddr *)&sa, sizeof(sa));
    listen(fd, backlog);
    socklen_t len = sizeof(sa);
    getsockname(fd, (struct sockaddr *)&sa, &len);
    *port = ntohs(sa.sin_port);
    return fd;
}

HOSTENT *no_names(const char *) { return nullptr; }

void write_all(int fd, const std::string &data)
{
    size_t off = 0;
    while (off < data.size()) {
        // send() with MSG_NOSIGNAL: a peer closed by the code under test
        // must fail the write, not kill the test with SIGPIPE.
        ssize_t r = send(fd, data.data() + off, data.size() - off, MSG_NOSIGNAL);
        if (r <= 0)
            return;
        off += (size_t)r;
    }
}

// Everything readable from fd until it closes or stays silent for a second.
std::string read_all(int fd)
{
    std::string got;
    char buf[65536];
    for (;;) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 1000) <= 0)
            break;
        ssize_t r = read(fd, buf, sizeof(buf));
        if (r <= 0)
            break;
        got.append(buf, (size_t)r);
    }
    return got;
}

class FetchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static GLOBAL_T record{};
        if (global == nullptr) {
            record.logbuffer = logbuffer_new();
            pthread_mutex_init(&record.dns_lock, nullptr);
            record.dns_cache = hash_create(DNS_CACHE_BUCKETS);
            record.stats = new Stats();
            global = &record;
            globalstats_init();
        }
    }
    void SetUp() override
    {
        logbuffer_clear(global->logbuffer);
        net_init();
        conn = connection_new();
        conn->client_ip = strdup("192.0.2.50");
    }
    void TearDown() override
    {
        net_listen_closeall();
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        connection_free(conn);
        for (int fd : {client_peer, server_peer})
            if (fd != -1)
                close(fd);
    }

    // Connection sockets over socketpairs; the test talks through the peers.
    void pair_up(int timeout = 5)
    {
        int a[2], b[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
        conn->client = new Socket(a[0]);
        conn->server = new Socket(b[0]);
        conn->client->SetTimeout(timeout);
        conn->server->SetTimeout(timeout);
        client_peer = a[1];
        server_peer = b[1];
    }
    void close_peer(int &fd)
    {
        // shutdown() first: close() alone does not wake a thread that is
        // blocked writing to the same descriptor.
        shutdown(fd, SHUT_RDWR);
        close(fd);
        fd = -1;
    }
    // The value of a counter of the global statistics.
    static uint64_t counter(const char *group, const char *name)
    {
        StatGroup *g = global->stats->group_get(group);
        if (g == nullptr)
            return 0;
        for (const StatCounter &c : g->counters)
            if (c.name == name)
                return c.value;
        return 0;
    }
    static bool logged(const std::string &text)
    {
        for (LOGBUFFER_NODE *n = global->logbuffer->tail; n != nullptr; n = n->previous)
            if (strstr(n->text, text.c_str()) != nullptr)
                return true;
        return false;
    }

    CONNECTION_T *conn = nullptr;
    int client_peer = -1;
    int server_peer = -1;
};

// -------------------------------------------------------------- net_connect

TEST_F(FetchTest, ConnectRefusesBadArgumentsWithoutResolving)
{
    struct Case {
        const char *host;
        int port;
    } cases[] = {{nullptr, 80}, {"127.0.0.1", 0}, {"127.0.0.1", -80}, {"127.0.0.1", 65536}};
    auto saved = dns_resolver;
    int calls = 0;
    static int *counter;
    counter = &calls;
    dns_resolver = [](const char *) -> HOSTENT * { ++*counter; return nullptr; };
    for (const Case &c : cases)
        EXPECT_EQ(net_connect(c.host, c.port, 1), NET_CONNECT_ARGS)
            << (c.host ? c.host : "(null)") << ":" << c.port;
    dns_resolver = saved;
    EXPECT_EQ(calls, 0);
}

TEST_F(FetchTest, ConnectToAnUnresolvableNameIsNoDns)
{
    uint64_t dns_failures = counter("network", "DNS failures");
    uint64_t failed = counter("network", "failed connections");
    auto saved = dns_resolver;
    dns_resolver = no_names;
    EXPECT_EQ(net_connect("nonexistent.invalid", 80, 1), NET_CONNECT_NODNS);
    dns_resolver = saved;
    EXPECT_TRUE(logged("DNS: failed: nonexistent.invalid"));
    EXPECT_EQ(counter("network", "DNS failures"), dns_failures + 1);
    EXPECT_EQ(counter("network", "failed connections"), failed + 1);
}

TEST_F(FetchTest, ConnectToAClosedPortFails)
{
    int port;
    int fd = server_socket(1, &port);
    close(fd);  // nothing listens there now
    EXPECT_EQ(net_connect("127.0.0.1", port, 2), NET_CONNECT_FAILED);
    EXPECT_TRUE(logged("network: outbound connection:"));
}

TEST_F(FetchTest, ConnectGivesABlockingDescriptorFromTheLocalAddress)
{
    int port;
    int listener = server_socket(4, &port, "0.0.0.0");
    EXPECT_GE(net_connect("localhost", port, 2), 0) << "a name resolved through /etc/hosts";

    struct in_addr local;
    inet_pton(AF_INET, "127.0.0.2", &local);
    uint64_t successful = counter("network", "successful connections");
    int fd = net_connect("127.0.0.1", port, local, 2);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(counter("network", "successful connections"), successful + 1);
    EXPECT_EQ(fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    struct sockaddr_in me = {};
    socklen_t len = sizeof(me);
    getsockname(fd, (struct sockaddr *)&me, &len);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &me.sin_addr, text, sizeof(text));
    EXPECT_STREQ(text, "127.0.0.2");
    close(fd);
    close(listener);
}

TEST_F(FetchTest, ConnectToAServerThatDropsConnectionsTimesOut)
{
    // A listener whose accept queue is full drops further connection
    // attempts, as a host that swallows SYNs does.
    int port;
    int listener = server_socket(0, &port);
    std::vector<int> queued;
    for (int i = 0; i < 4; i++) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        struct sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons((uint16_t)port);
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(fd, (struct sockaddr *)&sa, sizeof(sa));
        queued.push_back(fd);
    }
    usleep(100000);
    auto start = Clock::now();
    int fd = net_connect("127.0.0.1", port, 1);
    double took = seconds_since(start);
    EXPECT_EQ(fd, NET_CONNECT_FAILED);
    EXPECT_LT(took, 5.0);
    if (fd >= 0)
        close(fd);
    for (int q : queued)
        close(q);
    close(listener);
}

TEST_F(FetchTest, ConnectionsToTheProxyItselfAreRefused)
{
    int own;
    int fd = server_socket(1, &own);
    close(fd);
    ASSERT_EQ(net_listen(own, "127.0.0.1"), 0);
    int everywhere;
    fd = server_socket(1, &everywhere);
    close(fd);
    ASSERT_EQ(net_listen(everywhere, nullptr), 1);

    struct Case {
        const char *host;
        int port;
    } cases[] = {
        {"127.0.0.1", own},          // the listener's own address
        {"localhost", own},          // a name for it
        {"127.0.0.1", everywhere},   // a listener on every address
        {"127.3.4.5", everywhere},
        {"0.0.0.0", everywhere},
    };
    for (const Case &c : cases) {
        logbuffer_clear(global->logbuffer);
        EXPECT_EQ(net_connect(c.host, c.port, 1), NET_CONNECT_SELF) << c.host << ":" << c.port;
        EXPECT_TRUE(logged("refused outgoing connection to " + std::string(c.host) + ":" +
                           std::to_string(c.port)))
            << c.host;
    }
    // Another port of the same address is an ordinary destination.
    int port;
    int other = server_socket(1, &port);
    fd = net_connect("127.0.0.1", port, 1);
    EXPECT_GE(fd, 0);
    if (fd >= 0)
        close(fd);
    close(other);
}

// -------------------------------------------------------------- sending

TEST_F(FetchTest, ChunkedSendSplitsAtTheBlockSize)
{
    int saved = BLOCKSIZE;
    BLOCKSIZE = 8192;
    struct Case {
        size_t length;
        std::string expected_framing;  // the body replaced by '.'
    } cases[] = {
        {20000, "2000\r\n" + std::string(8192, '.') + "\r\n2000\r\n" + std::string(8192, '.') +
                    "\r\ne20\r\n" + std::string(3616, '.') + "\r\n0\r\n\r\n"},
        {0, "0\r\n\r\n"},
        {8192, "2000\r\n" + std::string(8192, '.') + "\r\n0\r\n\r\n"},
    };
    for (const Case &c : cases) {
        pair_up();
        Filebuf body;
        body.Add(std::string(c.length, '.').data(), c.length);
        std::string got;
        std::thread reader([&] { got = read_all(client_peer); });
        EXPECT_EQ(net_filebuf_send_chunked(&body, conn, SIDE_CLIENT), (int64_t)c.length);
        reader.join();
        EXPECT_EQ(got, c.expected_framing) << c.length << " bytes";
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        close_peer(client_peer);
        close_peer(server_peer);
    }
    BLOCKSIZE = saved;
}

TEST_F(FetchTest, NothingIsWrittenToAClientThatIsGone)
{
    pair_up();
    conn->flags |= CONN_CLIENT_GONE;
    Filebuf body;
    body.Add("hello", 5);
    EXPECT_EQ(net_filebuf_send(&body, conn, SIDE_CLIENT), 5);
    EXPECT_EQ(net_filebuf_send_chunked(&body, conn, SIDE_CLIENT), 5);
    EXPECT_EQ(conn->client->bytes_out, 0u);
    // The server side is still written.
    EXPECT_GE(net_filebuf_send(&body, conn, SIDE_SERVER), 0);
    EXPECT_EQ(read_all(server_peer), "hello");
}

TEST_F(FetchTest, ChunkedSendToAClosedPeerFailsWithoutTheLastChunk)
{
    pair_up();
    close_peer(client_peer);
    Filebuf body;
    std::string data(100000, 'c');
    body.Add(data.data(), data.size());
    EXPECT_EQ(net_filebuf_send_chunked(&body, conn, SIDE_CLIENT), -1);
}

// -------------------------------------------------------------- reading

TEST_F(FetchTest, FilebufReadCases)
{
    struct Case {
        const char *what;
        std::string sent;
        bool close_after;
        int64_t count;
        int result;
        size_t kept;
        bool failed;
    } cases[] = {
        {"counted read gets every byte", std::string(100, 'a'), false, 100, 1, 100, false},
        {"peer closes after 60 of 100 bytes", std::string(60, 'b'), true, 100, 0, 60, true},
        {"open-ended read until the peer closes", std::string(70000, 'c'), true, -1, 0, 70000,
         false},
        {"open-ended read stops on a silent peer", std::string(10, 'd'), false, -1, 1, 10,
         false},
    };
    for (const Case &c : cases) {
        pair_up(1);
        conn->flags = 0;
        std::thread writer([&] {
            write_all(server_peer, c.sent);
            if (c.close_after)
                shutdown(server_peer, SHUT_WR);
        });
        Filebuf buf;
        EXPECT_EQ(net_filebuf_read(&buf, conn, SIDE_SERVER, c.count), c.result) << c.what;
        writer.join();
        EXPECT_EQ(buf.size, c.kept) << c.what;
        EXPECT_EQ((conn->flags & CONN_FAILED) != 0, c.failed) << c.what;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        close_peer(client_peer);
        close_peer(server_peer);
    }
}

// ------------------------------------------------------------- relaying

TEST_F(FetchTest, TransferRelaysBufferedBytesFirstThenTheStream)
{
    pair_up();
    conn->server->PushFront("head-", 5);
    std::string body(300000, 'x');
    std::string got;
    std::thread writer([&] {
        write_all(server_peer, body);
        shutdown(server_peer, SHUT_WR);
    });
    std::thread reader([&] { got = read_all(client_peer); });
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, -1), (int64_t)(body.size() + 5));
    writer.join();
    delete conn->client;  // the client peer sees the end
    conn->client = nullptr;
    reader.join();
    EXPECT_EQ(got, "head-" + body);
    EXPECT_EQ(conn->flags & CONN_FAILED, 0u);
}

// A body already buffered on the source (read with its head) is moved
// without waiting, and a counted move takes exactly its count: what follows
// in the buffer (the next response on a reused connection) stays there.
TEST_F(FetchTest, CountedMovesFromTheBufferTakeExactlyTheirCount)
{
    struct Case {
        const char *what;
        bool relay;        // net_transfer to the client, else net_filebuf_read
        bool client_gone;  // the client hung up before the move
        int64_t count;
        const char *moved;
        const char *left;
        bool failed;
    } cases[] = {
        {"relay stops at the count", true, false, 5, "HELLO", "HTTP/1.1 200", false},
        {"read stops at the count", false, false, 5, "HELLO", "HTTP/1.1 200", false},
        {"relay of the whole buffer", true, false, 17, "HELLOHTTP/1.1 200", "", false},
        {"relay to a client that hung up fails", true, true, 5, "", "HTTP/1.1 200", true},
    };
    for (const Case &c : cases) {
        pair_up(1);
        conn->flags = 0;
        conn->server->PushFront("HELLOHTTP/1.1 200", 17);
        if (c.client_gone)
            close_peer(client_peer);
        Filebuf buf;
        auto start = Clock::now();
        if (c.relay)
            net_transfer(conn, SIDE_SERVER, c.count);
        else
            EXPECT_EQ(net_filebuf_read(&buf, conn, SIDE_SERVER, c.count), 1) << c.what;
        EXPECT_LT(seconds_since(start), 0.9) << c.what << ": waited for the silent server";
        std::string moved = c.relay ? std::string() : std::string(buf.data, buf.size);
        if (c.relay && !c.client_gone) {
            delete conn->client;
            conn->client = nullptr;
            moved = read_all(client_peer);
        }
        EXPECT_EQ(moved, c.moved) << c.what;
        Socket *s = conn->server;
        EXPECT_EQ(std::string(s->inbuf ? s->inbuf : "", s->inbuf_len), c.left) << c.what;
        EXPECT_EQ((conn->flags & CONN_FAILED) != 0, c.failed) << c.what;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        if (client_peer != -1)
            close_peer(client_peer);
        close_peer(server_peer);
    }
}

TEST_F(FetchTest, ShortCountedTransferFails)
{
    pair_up();
    std::thread writer([&] {
        write_all(server_peer, std::string(500, 'y'));
        shutdown(server_peer, SHUT_WR);
    });
    std::thread reader([&] { read_all(client_peer); });
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, 1000), 500);
    writer.join();
    EXPECT_NE(conn->flags & CONN_FAILED, 0u);
    EXPECT_TRUE(logged("network: [IP: 192.0.2.50] transfer failed"));
    delete conn->client;
    conn->client = nullptr;
    reader.join();
}

TEST_F(FetchTest, TransferEndsWhenTheClientHangsUp)
{
    pair_up(2);
    close_peer(client_peer);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::string block(65536, 'z');
        for (int i = 0; i < 64 && !done; i++)
            write_all(server_peer, block);
    });
    auto start = Clock::now();
    net_transfer(conn, SIDE_SERVER, 64 * 65536);
    done = true;
    EXPECT_LT(seconds_since(start), 10.0);
    EXPECT_NE(conn->flags & CONN_FAILED, 0u);
    // shutdown() unblocks the writer; the descriptor is closed only once the
    // writer has left it, so that no send can reach a reused number.
    shutdown(server_peer, SHUT_RDWR);
    writer.join();
    close_peer(server_peer);
}

// A client that hangs up while its request writes a cache object: the
// pump goes on to the end of the body only when other clients still use
// the object (they follow it); otherwise, or without an object being
// written, it stops as for any lost client.  Both the relaying pump and
// the buffering one.
TEST_F(FetchTest, ClientHangUpEndsTheTransferUnlessOthersFollowTheObject)
{
    static int users;
    static std::atomic<bool> asked;
    struct Case {
        const char *name;
        bool writing;
        int users;
        bool relay;
        bool goes_on;
    } cases[] = {
        {"relayed, followed", true, 2, true, true},
        {"buffered, followed", true, 3, false, true},
        {"relayed, alone", true, 1, true, false},
        {"buffered, alone", true, 1, false, false},
        {"relayed, no object written", false, 2, true, false},
    };
    const int64_t half = 16 * 65536;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        pair_up(5);
        alignas(8) static char object_storage[64];
        conn->flags = c.writing ? CONN_CACHE_WRITE : 0;
        conn->keepalive_client = 1;
        conn->cachemap = reinterpret_cast<CACHEMAP *>(object_storage);
        users = c.users;
        asked = false;
        body_cache_users = [](CACHEMAP *) {
            asked = true;
            return users;
        };
        close_peer(client_peer);
        // Half the body, then the rest once the pump has met the hang-up
        // (or has returned), so that the hang-up is met mid-body.
        std::atomic<bool> done{false};
        std::thread writer([&] {
            std::string block(65536, 'f');
            for (int64_t sent = 0; sent < half; sent += (int64_t)block.size())
                write_all(server_peer, block);
            auto start = Clock::now();
            while (!asked && !done && seconds_since(start) < 10)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            for (int64_t sent = 0; sent < half && !done; sent += (int64_t)block.size())
                write_all(server_peer, block);
        });
        Filebuf buf;
        int64_t moved = c.relay ? net_transfer(conn, SIDE_SERVER, 2 * half)
                                : (net_filebuf_read(&buf, conn, SIDE_SERVER, 2 * half) == 1
                                       ? (int64_t)buf.size
                                       : -1);
        done = true;
        shutdown(server_peer, SHUT_RDWR);
        writer.join();
        body_cache_users = nullptr;
        conn->cachemap = nullptr;
        if (c.goes_on) {
            EXPECT_EQ(moved, 2 * half);
            EXPECT_EQ(conn->flags & CONN_FAILED, 0u);
            EXPECT_NE(conn->flags & CONN_CLIENT_GONE, 0u);
            EXPECT_EQ(conn->keepalive_client, 0);
            EXPECT_TRUE(logged("allowing transfer with no client to continue"));
        } else {
            EXPECT_LT(moved, 2 * half);
            EXPECT_NE(conn->flags & CONN_FAILED, 0u);
            EXPECT_EQ(conn->flags & CONN_CLIENT_GONE, 0u);
        }
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        close_peer(server_peer);
        logbuffer_clear(global->logbuffer);
    }
}

TEST_F(FetchTest, LongTransferToASlowClientStaysInBoundedMemory)
{
    pair_up(10);
    // The observer sees every block the pump writes and notes how much
    // output the client socket was holding at that moment.
    struct Peak {
        Socket *sock;
        size_t out = 0;
        size_t in = 0;
    } peak{conn->client};
    conn->client->CallBackAdd([](void *arg, ssize_t, char *) -> int {
        Peak *p = static_cast<Peak *>(arg);
        p->out = std::max(p->out, p->sock->outbuf_len);
        p->in = std::max(p->in, p->sock->inbuf_len);
        return 0;
    }, &peak, SOCKET_EVENT_WRITE);

    const int64_t total = 32LL << 20;
    std::thread writer([&] {
        std::string block(1 << 20, 'm');
        for (int64_t sent = 0; sent < total; sent += (int64_t)block.size())
            write_all(server_peer, block);
        shutdown(server_peer, SHUT_WR);
    });
    int64_t received = 0;
    std::thread reader([&] {
        char buf[16384];
        ssize_t r;
        while ((r = read(client_peer, buf, sizeof(buf))) > 0) {
            received += r;
            usleep(100);  // a client slower than the server
        }
    });
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, total), total);
    writer.join();
    delete conn->client;
    conn->client = nullptr;
    reader.join();
    EXPECT_EQ(received, total);
    EXPECT_LE(peak.out, (size_t)SOCKET_OUTBUF_HIGH + (size_t)BLOCKSIZE);
    EXPECT_LE(peak.in, (size_t)BLOCKSIZE);
    EXPECT_EQ(conn->flags & CONN_FAILED, 0u);
}

TEST_F(FetchTest, ThrottledClientIsPacedWithoutBufferingTheBody)
{
    // A client held to 200,000 bytes a second (20,000 per window, less than
    // a block) behind a server that sends as fast as it can: the pump waits
    // for the group instead of queueing the body in the client socket.
    int saved = BLOCKSIZE;
    BLOCKSIZE = 65536;
    pair_up(10);
    LimitGroup *group = new LimitGroup(200000);
    conn->client->SetRate(nullptr, group);
    limitgroup_release(group);
    struct Peak {
        Socket *sock;
        size_t out = 0;
    } peak{conn->client};
    conn->client->CallBackAdd([](void *arg, ssize_t, char *) -> int {
        Peak *p = static_cast<Peak *>(arg);
        p->out = std::max(p->out, p->sock->outbuf_len);
        return 0;
    }, &peak, SOCKET_EVENT_WRITE);

    const int64_t total = 400000;
    std::thread writer([&] {
        write_all(server_peer, std::string((size_t)total, 'r'));
        shutdown(server_peer, SHUT_WR);
    });
    std::string got;
    std::thread reader([&] { got = read_all(client_peer); });
    auto start = Clock::now();
    EXPECT_EQ(net_transfer(conn, SIDE_SERVER, total), total);
    double took = seconds_since(start);
    writer.join();
    delete conn->client;
    conn->client = nullptr;
    reader.join();
    EXPECT_EQ(got.size(), (size_t)total);
    EXPECT_GT(took, 1.0);
    EXPECT_LE(peak.out, (size_t)SOCKET_OUTBUF_HIGH + (size_t)BLOCKSIZE);
    BLOCKSIZE = saved;
}

// A listener opened by a configuration load sets BLOCKSIZE again, maybe
// larger, while transfers run: each pump keeps reading no more than the
// block it allocated.  The read observer stands in for that listener.
TEST_F(FetchTest, PumpsKeepTheirBlockWhenTheBlockSizeGrowsMeanwhile)
{
    enum Pump { TRANSFER, FILEBUF_READ, TUNNEL };
    const struct {
        const char *what;
        Pump pump;
    } cases[] = {
        {"relay to the client", TRANSFER},
        {"read into a buffer", FILEBUF_READ},
        {"tunnel from the client", TUNNEL},
    };
    const int saved = BLOCKSIZE;
    const std::string sent = std::string(1024, 'a') + std::string(70000, 'b');
    for (const auto &c : cases) {
        BLOCKSIZE = 1024;
        pair_up(1);
        Socket *source = c.pump == TUNNEL ? conn->client : conn->server;
        int source_peer = c.pump == TUNNEL ? client_peer : server_peer;
        int dest_peer = c.pump == TUNNEL ? server_peer : client_peer;
        source->CallBackAdd([](void *, ssize_t, char *) -> int {
            BLOCKSIZE = 65536;
            return 0;
        }, nullptr, SOCKET_EVENT_READ);
        write_all(source_peer, sent);
        shutdown(source_peer, SHUT_WR);

        Filebuf buf;
        if (c.pump == TRANSFER)
            EXPECT_EQ(net_transfer(conn, SIDE_SERVER, -1), (int64_t)sent.size()) << c.what;
        else if (c.pump == FILEBUF_READ)
            net_filebuf_read(&buf, conn, SIDE_SERVER, -1);
        else
            EXPECT_EQ(net_proxy(conn, -1), (int64_t)sent.size()) << c.what;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        std::string moved =
            c.pump == FILEBUF_READ ? std::string(buf.data, buf.size) : read_all(dest_peer);
        EXPECT_TRUE(moved == sent) << c.what << ": " << moved.size() << " bytes moved";
        close_peer(client_peer);
        close_peer(server_peer);
    }
    BLOCKSIZE = saved;
}

// An I/O time-out of more than 24 days (a valid setting) does not overflow
// the pumps' wait in milliseconds, which would make the wait endless.
TEST_F(FetchTest, PumpsTakeATimeOutOfManyDays)
{
    for (bool tunnel : {false, true}) {
        pair_up(3000000);
        int source_peer = tunnel ? client_peer : server_peer;
        int dest_peer = tunnel ? server_peer : client_peer;
        write_all(source_peer, "data");
        shutdown(source_peer, SHUT_WR);
        if (tunnel)
            EXPECT_EQ(net_proxy(conn, -1), 4);
        else
            EXPECT_EQ(net_transfer(conn, SIDE_SERVER, -1), 4);
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        EXPECT_EQ(read_all(dest_peer), "data") << (tunnel ? "tunnel" : "relay");
        close_peer(client_peer);
        close_peer(server_peer);
    }
}

TEST_F(FetchTest, TunnelRelaysBothWaysUntilOneSideCloses)
{
    pair_up();
    conn->client->PushFront("early", 5);  // read before the tunnel began
    std::string to_client;
    std::string to_server;
    std::thread server_side([&] {
        write_all(server_peer, "from-server");
        to_server = read_all(server_peer);
    });
    std::thread client_side([&] {
        write_all(client_peer, "-from-client");
        usleep(200000);
        shutdown(client_peer, SHUT_WR);  // the client ends the tunnel
        to_client = read_all(client_peer);
    });
    EXPECT_EQ(net_proxy(conn, -1), 5 + 12 + 11);
    delete conn->server;
    conn->server = nullptr;
    delete conn->client;
    conn->client = nullptr;
    server_side.join();
    client_side.join();
    EXPECT_EQ(to_server, "early-from-client");
    EXPECT_EQ(to_client, "from-server");
}

TEST_F(FetchTest, TunnelStopsAtItsLimitAndWhenIdle)
{
    pair_up(1);
    write_all(client_peer, "0123456789");
    EXPECT_EQ(net_proxy(conn, 4), 4);
    EXPECT_EQ(read_all(server_peer), "0123");

    auto start = Clock::now();
    EXPECT_EQ(net_proxy(conn, -1), 6) << "the rest, then the idle time-out";
    double took = seconds_since(start);
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 5.0);
    EXPECT_TRUE(logged("tunnel idle"));
}

}  // namespace
