// The client pool: hand-over of readable connections, closing of hung-up
// and idle ones by their own time-out, the early wake-up, shedding and the
// connections table.
#include "engine/clientpool.h"

#include <gtest/gtest.h>
#include <tinyxml.h>

#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/resource.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/thread.h"
#include "fixture.h"

namespace {

// What the stand-in worker received.
std::mutex served_lock;
std::condition_variable served_cond;
std::vector<CONNECTION_T *> served;

// A worker body that only records its connection and gives its row back.
void worker_entry(CONNECTION_T *connection)
{
    // The row is given back first, so that no later test meets it taken.
    int row = thread_find();
    pthread_mutex_lock(&threadlistlock);
    threads[row].state = THREAD_FREE;
    threads[row].connection = nullptr;
    pthread_mutex_unlock(&threadlistlock);
    // Notified under the lock: once the test has seen the connection it may
    // end the process, and the condition must not be touched after that.
    std::lock_guard<std::mutex> hold(served_lock);
    served.push_back(connection);
    served_cond.notify_all();
}

void thread_index_set(CONNECTION_T *connection, int row)
{
    connection->thread_index = row;
}

// The pool's clock, moved by the tests.
time_t fake_now = 1000000;
time_t fake_clock()
{
    return fake_now;
}

class ClientPoolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        threads_init();
        section_for_process(general_section);
        // One rule for everyone: 7 seconds for a first request, 20 between
        // the requests of a kept-alive connection.
        std::string rule =
            "<rule><enabled>true</enabled><comment></comment><groups></groups>"
            "<profiles></profiles><connect_timeout>60</connect_timeout>"
            "<io_timeout>7</io_timeout><keepalive_timeout>20</keepalive_timeout>"
            "<max_download_buffer>0</max_download_buffer>"
            "<max_upload_buffer>0</max_upload_buffer><buffer_wait>0</buffer_wait>"
            "<connect_ports></connect_ports><compress_mime></compress_mime>"
            "<compress_responses>false</compress_responses>"
            "<request_compression>false</request_compression>"
            "<x_forwarded_for>false</x_forwarded_for><via>false</via></rule>";
        std::string text = "<kelvarine><general><proxy_host></proxy_host>"
                           "<temp_dir>/tmp</temp_dir><html_line_length>72</html_line_length>"
                           "<pool_size>10</pool_size><pool_timeout>60</pool_timeout>" +
                           rule + "</general></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error());
        general_section->load(&doc, 1);
        CONNECTION_T *probe = connection_new();
        EXPECT_EQ(general_section->timeout_get(probe), 7);
        connection_free(probe);
    }

    void SetUp() override
    {
        thread_worker_register(worker_entry, thread_index_set);
        clientpool_set_clock(fake_clock);
        saved_maxthreads = MAXTHREADS;
        saved_overload = overload_factor;
        saved_pool_timeout = CLIENT_POOL_TIMEOUT;
        CLIENT_POOL_TIMEOUT = 0;
        std::lock_guard<std::mutex> hold(served_lock);
        served.clear();
    }

    void TearDown() override
    {
        pool.Clean();
        {
            std::lock_guard<std::mutex> hold(served_lock);
            for (CONNECTION_T *conn : served)
                net_close(conn);
            served.clear();
        }
        for (int fd : peers)
            close(fd);
        clientpool_set_clock(nullptr);
        MAXTHREADS = saved_maxthreads;
        overload_factor = saved_overload;
        CLIENT_POOL_TIMEOUT = saved_pool_timeout;
    }

    // A connection over one end of a socket pair; the test keeps the other
    // end, as the client would.
    CONNECTION_T *connection(uint32_t id, int requests, int *peer)
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        CONNECTION_T *conn = connection_new();
        conn->client = new Socket(fds[0]);
        conn->client_id = id;
        conn->requests = requests;
        conn->client_ip = strdup("127.0.0.1");
        peers.push_back(fds[1]);
        *peer = fds[1];
        return conn;
    }

    // One poll cycle that does not wait: the wake-up byte is already there.
    void cycle()
    {
        pool.Wakeup();
        pool.PollCycle();
    }

    // Whether the pool closed its end: the peer reads the end of the stream
    // (or a reset, when the pool's end still held unread bytes).
    static bool closed_by_pool(int peer)
    {
        struct pollfd p = {peer, POLLIN, 0};
        if (poll(&p, 1, 1000) != 1)
            return false;
        char byte;
        ssize_t n = read(peer, &byte, 1);
        return n == 0 || (n < 0 && errno == ECONNRESET);
    }

    static bool worker_got(CONNECTION_T *conn)
    {
        std::unique_lock<std::mutex> hold(served_lock);
        return served_cond.wait_for(hold, std::chrono::seconds(5), [conn] {
            for (CONNECTION_T *c : served)
                if (c == conn)
                    return true;
            return false;
        });
    }

    // Whether the descriptor limit, raised as far as it goes, leaves room
    // for n connections (two descriptors each) and the test's own.
    static bool room_for(int n)
    {
        struct rlimit files;
        if (getrlimit(RLIMIT_NOFILE, &files) != 0)
            return false;
        if (files.rlim_cur < (rlim_t)(2 * n + 256)) {
            files.rlim_cur = files.rlim_max;
            setrlimit(RLIMIT_NOFILE, &files);
        }
        return files.rlim_cur >= (rlim_t)(2 * n + 256);
    }

    ClientPool pool;
    std::vector<int> peers;
    int saved_maxthreads = 0;
    int saved_overload = 0;
    int saved_pool_timeout = 0;
};

TEST_F(ClientPoolTest, ReadableConnectionIsHandedToAWorker)
{
    int peer;
    CONNECTION_T *conn = connection(1, 0, &peer);
    pool.Add(conn);
    ASSERT_EQ(write(peer, "G", 1), 1);
    cycle();
    EXPECT_TRUE(worker_got(conn));
    EXPECT_EQ(pool.size(), 0u);
}

TEST_F(ClientPoolTest, ClientThatClosedIsHandedOverToReadTheEnd)
{
    int peer;
    CONNECTION_T *conn = connection(1, 3, &peer);
    pool.Add(conn);
    shutdown(peer, SHUT_WR);
    cycle();
    EXPECT_TRUE(worker_got(conn));
}

TEST_F(ClientPoolTest, HungUpDescriptorIsClosed)
{
    // A pipe whose writer is gone polls as hang-up without data.
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    CONNECTION_T *conn = connection_new();
    conn->client = new Socket(fds[0]);
    conn->client_id = 9;
    pool.Add(conn);
    close(fds[1]);
    cycle();
    EXPECT_EQ(pool.size(), 0u);
    std::lock_guard<std::mutex> hold(served_lock);
    EXPECT_TRUE(served.empty());
}

TEST_F(ClientPoolTest, NoWorkerAvailableClosesTheConnection)
{
    MAXTHREADS = 1;  // row 0 is this thread: no row for a worker
    int peer;
    CONNECTION_T *conn = connection(4, 0, &peer);
    pool.Add(conn);
    ASSERT_EQ(write(peer, "G", 1), 1);
    cycle();
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(closed_by_pool(peer));
}

TEST_F(ClientPoolTest, SilentConnectionClosedAtItsOwnTimeOut)
{
    // A connection without a request has the first-request time-out (7),
    // a kept-alive one the keep-alive time-out (20).
    struct Case {
        int requests;
        int idle;
        bool closed;
    } cases[] = {
        {0, 6, false},
        {0, 7, true},
        {1, 19, false},
        {1, 20, true},
    };
    for (const Case &c : cases) {
        time_t start = fake_now;
        int peer;
        CONNECTION_T *conn = connection(2, c.requests, &peer);
        pool.Add(conn);
        fake_now = start + c.idle;
        cycle();
        EXPECT_EQ(pool.size(), c.closed ? 0u : 1u)
            << "requests " << c.requests << ", idle " << c.idle;
        if (c.closed) {
            EXPECT_TRUE(closed_by_pool(peer)) << "requests " << c.requests;
        }
        pool.Clean();
    }
}

TEST_F(ClientPoolTest, AddWakesAWaitingPollAtOnce)
{
    CLIENT_POOL_TIMEOUT = 10;
    auto started = std::chrono::steady_clock::now();
    std::thread poller([this] { pool.PollCycle(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    int peer;
    pool.Add(connection(5, 0, &peer));
    poller.join();
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
    // Added after the poll set was built: left for the next cycle.
    EXPECT_EQ(pool.size(), 1u);
}

TEST_F(ClientPoolTest, ManyParkedConnectionsOnlyTheActiveOnesLeave)
{
    const int parked = 2000;
    if (!room_for(parked))
        GTEST_SKIP() << "descriptor limit too small";
    std::vector<CONNECTION_T *> conns;
    std::vector<int> peer(parked);
    for (int i = 0; i < parked; i++) {
        conns.push_back(connection(100 + i, 1, &peer[i]));
        pool.Add(conns[i]);
    }
    // A hung-up descriptor among them: a pipe whose writer is gone.
    int pipefds[2];
    ASSERT_EQ(pipe(pipefds), 0);
    CONNECTION_T *hung = connection_new();
    hung->client = new Socket(pipefds[0]);
    hung->requests = 1;
    pool.Add(hung);
    cycle();
    EXPECT_EQ(pool.size(), static_cast<size_t>(parked) + 1);

    // One client sends, the pipe hangs up: both leave in the next cycle,
    // every other connection stays.
    CONNECTION_T *active = conns[1500];
    ASSERT_EQ(write(peer[1500], "G", 1), 1);
    close(pipefds[1]);
    cycle();
    EXPECT_TRUE(worker_got(active));
    EXPECT_EQ(pool.size(), static_cast<size_t>(parked) - 1);
    {
        std::lock_guard<std::mutex> hold(served_lock);
        EXPECT_EQ(served.size(), 1u) << "only the connection that sent is handed over";
        served.clear();
    }

    // The worker parks it again with its byte still unread: it is watched
    // again and handed over again, not refused as already watched.
    pool.Add(active);
    EXPECT_EQ(pool.size(), static_cast<size_t>(parked));
    cycle();
    EXPECT_TRUE(worker_got(active));
    EXPECT_EQ(pool.size(), static_cast<size_t>(parked) - 1);

    // The rest time out together (keep-alive time-out 20).
    fake_now += 19;
    cycle();
    EXPECT_EQ(pool.size(), static_cast<size_t>(parked) - 1);
    fake_now += 1;
    cycle();
    EXPECT_EQ(pool.size(), 0u);
    for (int i : {0, 1499, 1501, parked - 1})
        EXPECT_TRUE(closed_by_pool(peer[i])) << "connection " << i;
}

TEST_F(ClientPoolTest, RequestsWaitingPastTheTimeOutAreServedNotClosed)
{
    // More readable connections than one cycle takes events for, all at
    // their first-request time-out (7) when the cycle runs: those beyond
    // the cycle's events have their requests waiting too, and are handed
    // over instead of being reset as idle.  A silent one is still closed.
    const int waiting = 600;
    if (!room_for(waiting + 1))
        GTEST_SKIP() << "descriptor limit too small";
    time_t start = fake_now;
    std::vector<CONNECTION_T *> conns(waiting);
    for (int i = 0; i < waiting; i++) {
        int peer;
        conns[i] = connection(3000 + i, 0, &peer);
        pool.Add(conns[i]);
        ASSERT_EQ(write(peer, "G", 1), 1);
    }
    int silent_peer;
    pool.Add(connection(2999, 0, &silent_peer));
    fake_now = start + 7;
    cycle();
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(closed_by_pool(silent_peer));
    std::unique_lock<std::mutex> hold(served_lock);
    EXPECT_TRUE(served_cond.wait_for(hold, std::chrono::seconds(30),
                                     [&] { return served.size() == (size_t)waiting; }))
        << served.size() << " of " << waiting << " handed over";
}

TEST_F(ClientPoolTest, ConnectionThatCannotBeWatchedIsClosed)
{
    // A regular file cannot join an epoll set; the pool must not keep a
    // connection it will never see.
    char path[] = "/tmp/kv-clientpool-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    unlink(path);
    CONNECTION_T *conn = connection_new();
    conn->client = new Socket(fd);
    pool.Add(conn);
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "the descriptor was closed";
}

TEST_F(ClientPoolTest, LoadSheddingClosesTheOldestWhileThePoolIsTooLarge)
{
    struct Case {
        int maxthreads;
        int overload;
        int parked;
        size_t kept;
    } cases[] = {
        {4, 1, 6, 3},      // 4/7 .. 4/5 are below 1; 4/4 is not
        {4, 2, 3, 1},      // 4/4 and 4/3 are below 2; 4/2 is not
        {16384, 1, 10, 10},
        {10, 0, 5, 5},     // no overload factor: nothing is ever shed
    };
    for (const Case &c : cases) {
        MAXTHREADS = c.maxthreads;
        overload_factor = c.overload;
        std::vector<int> order;
        for (int i = 0; i < c.parked; i++) {
            int peer;
            pool.Add(connection(10 + i, 0, &peer));
            order.push_back(peer);
        }
        pool.load_shedding();
        EXPECT_EQ(pool.size(), c.kept) << c.maxthreads << "/" << c.overload << "/" << c.parked;
        size_t shed = order.size() - c.kept;
        for (size_t i = 0; i < shed; i++)
            EXPECT_TRUE(closed_by_pool(order[i])) << "the oldest go first, entry " << i;
        MAXTHREADS = saved_maxthreads;
        pool.Clean();
    }
}

TEST_F(ClientPoolTest, CleanClosesEveryConnectionAndKeepsTheCallersId)
{
    thread_set_clientid(77);
    int first, second;
    pool.Add(connection(1, 0, &first));
    pool.Add(connection(2, 5, &second));
    pool.Clean();
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_TRUE(closed_by_pool(first));
    EXPECT_TRUE(closed_by_pool(second));
    EXPECT_EQ(thread_get_clientid(), 77u);
    thread_set_clientid(0);
}

TEST_F(ClientPoolTest, ConnectionsTable)
{
    const std::string head =
        "<table class=\"list\">\n"
        "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n"
        "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n";
    Filebuf empty;
    pool.show_connections(&empty);
    EXPECT_EQ(std::string(empty.data, empty.size), head + "</table>\n");

    int peer;
    pool.Add(connection(12, 0, &peer));
    fake_now += 4;
    pool.Add(connection(13, 2, &peer));
    fake_now += 1;
    Filebuf two;
    pool.show_connections(&two);
    EXPECT_EQ(std::string(two.data, two.size),
              head +
                  "<tr class=\"listeven\"><td>12</td><td>127.0.0.1</td><td>0</td><td>5</td></tr>\n"
                  "<tr class=\"listodd\"><td>13</td><td>127.0.0.1</td><td>2</td><td>1</td></tr>\n"
                  "</table>\n");
    pool.Clean();
}

}  // namespace
