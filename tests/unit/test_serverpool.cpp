// The server pool: exact matching of parked connections, the size limit
// on Add and in the cleaner, and which connections may be parked at all.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdlib>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/serverpool.h"
#include "engine/socket.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

class ServerPoolTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(general_section);
    }

    void SetUp() override
    {
        settings(100, 60);
        logbuffer_clear(global->logbuffer);
    }

    void TearDown() override
    {
        for (int fd : peers)
            close(fd);
    }

    static void settings(int size, int timeout)
    {
        std::string text = "<kelvarine><general><proxy_host></proxy_host><temp_dir>/tmp"
                           "</temp_dir><html_line_length>80</html_line_length><pool_size>" +
                           std::to_string(size) + "</pool_size><pool_timeout>" +
                           std::to_string(timeout) +
                           "</pool_timeout></general></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error());
        Section::map["general"]->load(&doc, 1);
    }

    // A connected socket whose peer end the test keeps open.
    Socket *socket_new()
    {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        peers.push_back(fds[1]);
        return new Socket(fds[0]);
    }

    static int log_count(const char *needle)
    {
        int n = 0;
        for (LOGBUFFER_NODE *node = global->logbuffer->head; node; node = node->next)
            if (strstr(node->text, needle))
                n++;
        return n;
    }

    std::vector<int> peers;
};

ServerPoolKey key_of(const char *host, const char *user, const char *password)
{
    ServerPoolKey key;
    key.protocol = "http";
    key.host = host;
    key.port = 80;
    key.user = user;
    key.password = password;
    return key;
}

TEST_F(ServerPoolTest, FindMatchesOnlyTheSameDestinationAndCredentials)
{
    struct {
        const char *why;
        ServerPoolKey stored;
        ServerPoolKey wanted;
        bool found;
    } cases[] = {
        {"user names compare without case", key_of("a.test", "Bob", "x"),
         key_of("a.test", "bob", "x"), true},
        {"passwords compare with case", key_of("a.test", "Bob", "x"),
         key_of("a.test", "bob", "X"), false},
        {"an entry without a user is not lent to a user", key_of("a.test", nullptr, nullptr),
         key_of("a.test", "bob", "x"), false},
        {"an entry with a user is not lent without one", key_of("a.test", "bob", "x"),
         key_of("a.test", nullptr, nullptr), false},
        {"hosts compare without case", key_of("A.Test", nullptr, nullptr),
         key_of("a.test", nullptr, nullptr), true},
        {"another host", key_of("a.test", nullptr, nullptr),
         key_of("b.test", nullptr, nullptr), false},
    };
    for (auto &c : cases) {
        ServerPool pool;
        Socket *s = socket_new();
        pool.Add(s, c.stored);
        Socket *got = pool.Find(c.wanted);
        EXPECT_EQ(got != nullptr, c.found) << c.why;
        if (got) {
            EXPECT_EQ(got, s) << c.why;
            delete got;
        }
        EXPECT_EQ(pool.Count(), c.found ? 0u : 1u) << c.why;
    }
}

TEST_F(ServerPoolTest, FindTellsPathsApart)
{
    ServerPoolKey direct = key_of("a.test", nullptr, nullptr);
    ServerPoolKey other_port = direct;
    other_port.port = 8080;
    ServerPoolKey tls = direct;
    tls.tls = 1;
    ServerPoolKey socks = direct;
    socks.forward_type = FORWARD_SOCKS5;
    socks.parent = "socks.test";
    socks.parent_port = 1080;
    ServerPoolKey other_socks = socks;
    other_socks.parent = "socks2.test";
    // A parent authenticates a connection for the account of the forward
    // rule; another rule's account must not inherit it.
    ServerPoolKey parent = direct;
    parent.forward_type = FORWARD_HTTP;
    parent.host = "parent.test";
    parent.parent_user = "alice";
    parent.parent_password = "a";
    ServerPoolKey other_account = parent;
    other_account.parent_user = "bob";
    other_account.parent_password = "b";
    ServerPoolKey other_password = parent;
    other_password.parent_password = "A";
    ServerPoolKey no_account = parent;
    no_account.parent_user = nullptr;
    no_account.parent_password = nullptr;

    const ServerPoolKey keys[] = {direct, other_port,    tls,           socks,     other_socks,
                                  parent, other_account, other_password, no_account};
    constexpr int n = sizeof keys / sizeof keys[0];
    ServerPool pool;
    Socket *sockets[n];
    for (int i = 0; i < n; i++) {
        sockets[i] = socket_new();
        pool.Add(sockets[i], keys[i]);
    }
    // Taken in reverse order, so that a lax match would hand out an older
    // entry of another path.
    for (int i = n - 1; i >= 0; i--) {
        Socket *got = pool.Find(keys[i]);
        EXPECT_EQ(got, sockets[i]) << "key " << i;
        delete got;
    }
    EXPECT_EQ(pool.Count(), 0u);
}

TEST_F(ServerPoolTest, FindHandsOutTheOldestMatchFirst)
{
    ServerPool pool;
    Socket *first = socket_new();
    Socket *second = socket_new();
    pool.Add(first, "http", "a.test", 80, nullptr, nullptr);
    pool.Add(second, "http", "a.test", 80, nullptr, nullptr);
    Socket *got = pool.Find("http", "a.test", 80, nullptr, nullptr);
    EXPECT_EQ(got, first);
    delete got;
    got = pool.Find("http", "a.test", 80, nullptr, nullptr);
    EXPECT_EQ(got, second);
    delete got;
    EXPECT_EQ(pool.Find("http", "a.test", 80, nullptr, nullptr), nullptr);
}

TEST_F(ServerPoolTest, AddToAFullPoolEvictsTheOldestAndAdvisesOncePerCount)
{
    settings(3, 60);
    ServerPool pool;
    Socket *oldest = socket_new();
    pool.Add(oldest, key_of("old.test", nullptr, nullptr));
    for (int i = 0; i < 2; i++)
        pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
    EXPECT_EQ(log_count("is inadequate"), 0);

    pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
    EXPECT_EQ(pool.Count(), 3u);
    EXPECT_EQ(pool.Find(key_of("old.test", nullptr, nullptr)), nullptr);
    EXPECT_EQ(log_count("Connection Pool: size:3 is inadequate"), 1);

    pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
    EXPECT_EQ(pool.Count(), 3u);
    EXPECT_EQ(log_count("is inadequate"), 1) << "same count: no second advice";

    pool.Clean(0);
    pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
    EXPECT_EQ(log_count("is inadequate"), 2) << "a clean re-arms the advice";
}

TEST_F(ServerPoolTest, CleanerKeepsEntriesNumberedUpToThePoolSize)
{
    struct {
        int size;
        int entries;
        size_t kept;
    } cases[] = {
        {2, 4, 3},  // numbers 0, 1 and 2 stay after the size was lowered
        {0, 2, 1},  // a pool of size 0 still keeps one idle connection
        {100, 5, 5},
    };
    for (auto &c : cases) {
        settings(100, 60);
        ServerPool pool;
        for (int i = 0; i < c.entries; i++)
            pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
        settings(c.size, 60);
        pool.Clean(0);
        EXPECT_EQ(pool.Count(), c.kept) << "size " << c.size;
    }
}

TEST_F(ServerPoolTest, CleanerDropsExpiredEntriesAndForceDropsAll)
{
    ServerPool pool;
    pool.Add(socket_new(), key_of("a.test", nullptr, nullptr));
    pool.Add(socket_new(), key_of("b.test", nullptr, nullptr));
    pool.entries.front()->added -= 61;
    pool.Clean(0);
    EXPECT_EQ(pool.Count(), 1u);
    Socket *kept = pool.Find(key_of("b.test", nullptr, nullptr));
    EXPECT_NE(kept, nullptr);
    delete kept;

    pool.Add(socket_new(), key_of("c.test", nullptr, nullptr));
    pool.Clean(1);
    EXPECT_EQ(pool.Count(), 0u);
}

// serverpool_release on a connection whose request went to a.test:80.
class ReleaseTest : public ServerPoolTest {
protected:
    void SetUp() override
    {
        ServerPoolTest::SetUp();
        global->server_pool = &pool;
        conn = connection_new();
        conn->request = http_header_parse_request(
            "GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
        ASSERT_NE(conn->request, nullptr);
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        conn->server = new Socket(fds[0]);
        server_peer = fds[1];
    }

    void TearDown() override
    {
        delete conn->server;
        conn->server = nullptr;
        http_header_free(conn->request);
        conn->request = nullptr;
        connection_free(conn);
        pool.Clean(1);
        global->server_pool = nullptr;
        if (server_peer >= 0)
            close(server_peer);
        ServerPoolTest::TearDown();
    }

    ServerPool pool;
    CONNECTION_T *conn = nullptr;
    int server_peer = -1;
};

TEST_F(ReleaseTest, ParksAnIdleKeptAliveConnectionUnderTheRequestKey)
{
    conn->keepalive_server = 1;
    Socket *s = conn->server;
    serverpool_release(conn);
    EXPECT_EQ(conn->server, nullptr);
    EXPECT_EQ(pool.Find("http", "a.test", 80, nullptr, nullptr), s);
    delete s;
}

TEST_F(ReleaseTest, NeverParksAConnectionThatCannotCarryTheNextRequest)
{
    struct {
        const char *why;
        int keepalive;
        const char *unread;  // bytes the server sent beyond the response
        bool server_closed;
    } cases[] = {
        {"the server did not keep it alive", 0, nullptr, false},
        {"bytes of an unread body wait on it", 1, "leftover", false},
        {"the server has closed it", 1, nullptr, true},
    };
    for (auto &c : cases) {
        TearDown();
        SetUp();
        conn->keepalive_server = c.keepalive;
        if (c.unread) {
            ASSERT_GT(write(server_peer, c.unread, strlen(c.unread)), 0);
        }
        if (c.server_closed) {
            close(server_peer);
            server_peer = -1;
        }
        serverpool_release(conn);
        EXPECT_EQ(conn->server, nullptr) << c.why;
        EXPECT_EQ(pool.Count(), 0u) << c.why;
    }
}

} // namespace
