// Listening sockets on loopback, accepting a client, the listen backlog,
// the proxy's own addresses, and the "network" section's rules.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "engine/connection.h"
#include "engine/global.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

// A loopback port that nothing listens on right now.
int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&sa, sizeof(sa));
    socklen_t len = sizeof(sa);
    getsockname(fd, (struct sockaddr *)&sa, &len);
    close(fd);
    return ntohs(sa.sin_port);
}

int connect_to(const char *address, int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    inet_pton(AF_INET, address, &sa.sin_addr);
    if (connect(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

struct in_addr addr_of(const char *text)
{
    struct in_addr a;
    inet_pton(AF_INET, text, &a);
    return a;
}

class NetworkTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
    }
    void SetUp() override
    {
        logbuffer_clear(global->logbuffer);
        net_init();
    }
    void TearDown() override { net_listen_closeall(); }

    static bool logged(const std::string &text)
    {
        for (LOGBUFFER_NODE *n = global->logbuffer->tail; n != nullptr; n = n->previous)
            if (strstr(n->text, text.c_str()) != nullptr)
                return true;
        return false;
    }
    static int rows_in_use()
    {
        int n = 0;
        for (const SOCKLIST_T &row : socklist)
            n += row.in_use;
        return n;
    }
};

// ---------------------------------------------------------------- listeners

TEST_F(NetworkTest, BadListenAddressesAndPortsOpenNothing)
{
    int port = free_port();
    struct Case {
        const char *address;
        int port;
        const char *why;
    } cases[] = {
        {"1.2.3", port, "three parts"},
        {"localhost", port, "a host name"},
        {"256.1.1.1", port, "a part above 255"},
        {"127.0.0.1 ", port, "a trailing blank"},
        {"127.0.0.1", 0, "port 0"},
        {"127.0.0.1", 70000, "a port above 65535"},
        {"127.0.0.1", -1, "a negative port"},
    };
    for (const Case &c : cases) {
        logbuffer_clear(global->logbuffer);
        EXPECT_EQ(net_listen(c.port, c.address), -1) << c.why;
        EXPECT_EQ(rows_in_use(), 0) << c.why;
        EXPECT_TRUE(logged("error: failed to bind to " + std::string(c.address) + ":" +
                           std::to_string(c.port)))
            << c.why;
    }
}

// Fixed buffer sizes are set (and logged) only when -b asks for them; by
// default the kernel sizes and tunes the buffers itself.
TEST_F(NetworkTest, ListenerSetsSocketBuffersOnlyWhenAsked)
{
    const int saved_snd = SND_BUF, saved_rcv = RCV_BUF, saved_block = BLOCKSIZE;
    const struct {
        int snd, rcv;
        bool fixed;
    } cases[] = {{0, 0, false}, {8192, 8192, true}, {0, 32768, true}};
    for (const auto &c : cases) {
        SND_BUF = c.snd;
        RCV_BUF = c.rcv;
        logbuffer_clear(global->logbuffer);
        int port = free_port();
        ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
        EXPECT_EQ(logged("in bytes Requested["), c.fixed) << c.snd << ":" << c.rcv;
        if (c.rcv > 0) {
            EXPECT_TRUE(logged("Requested[" + std::to_string(c.rcv * 2) + "]"));
        }
        EXPECT_GT(BLOCKSIZE, 0);
        net_listen_closeall();
    }
    SND_BUF = saved_snd;
    RCV_BUF = saved_rcv;
    BLOCKSIZE = saved_block;
}

TEST_F(NetworkTest, LoopbackListenerAcceptsAClient)
{
    int port = free_port();
    ASSERT_EQ(net_listen(port, "127.0.0.1"), 0);
    EXPECT_STREQ(socklist[0].address, "127.0.0.1");
    EXPECT_EQ(socklist[0].port, port);
    EXPECT_TRUE(logged("listening on 127.0.0.1:" + std::to_string(port)));
    EXPECT_GT(BLOCKSIZE, 0);

    int fd = connect_to("127.0.0.1", port);
    ASSERT_GE(fd, 0);
    // The listener defers the accept until the client has sent something.
    ASSERT_EQ(write(fd, "x", 1), 1);
    CONNECTION_T *conn = net_accept(5);
    ASSERT_NE(conn, nullptr);
    EXPECT_STREQ(conn->client_ip, "127.0.0.1");
    EXPECT_STREQ(conn->interface_ip, "127.0.0.1");
    EXPECT_EQ(conn->listen_port, port);
    EXPECT_EQ(conn->log_entry.client, "127.0.0.1");
    char c = 0;
    EXPECT_EQ(conn->client->Read(&c, 1, 1), 1);
    EXPECT_EQ(c, 'x');
    net_close(conn);
    EXPECT_TRUE(logged("127.0.0.1 disconnected after making 0 requests"));
    // The client sees its connection closed.
    EXPECT_EQ(read(fd, &c, 1), 0);
    close(fd);
}

TEST_F(NetworkTest, AcceptWithoutClientsTimesOut)
{
    ASSERT_EQ(net_listen(free_port(), "127.0.0.1"), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(net_accept(1), nullptr);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 5.0);
}

TEST_F(NetworkTest, EmptyAddressListensEverywhere)
{
    int port = free_port();
    ASSERT_EQ(net_listen(port, ""), 0);
    EXPECT_STREQ(socklist[0].address, "");
    EXPECT_EQ(socklist[0].bound, htonl(INADDR_ANY));
    int fd = connect_to("127.0.0.1", port);
    EXPECT_GE(fd, 0);
    close(fd);
}

TEST_F(NetworkTest, TableHoldsTwentyListenersAndClosesThemAll)
{
    for (int i = 0; i < LISTEN_MAX; i++)
        ASSERT_EQ(net_listen(free_port(), "127.0.0.1"), i);
    int port = free_port();
    EXPECT_EQ(net_listen(port, "127.0.0.1"), -1);
    EXPECT_TRUE(logged("error: failed to bind to 127.0.0.1:" + std::to_string(port)));
    net_listen_closeall();
    EXPECT_EQ(rows_in_use(), 0);
    EXPECT_EQ(socklist[0].address, nullptr);
    EXPECT_EQ(net_listen(port, "127.0.0.1"), 0) << "rows are free again";
}

TEST_F(NetworkTest, BacklogIsSomaxconnBoundedByThreads)
{
    char path[] = "/tmp/kv-somaxconn-XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "128\n", 4), 4);
    close(fd);
    int saved = MAXTHREADS;
    MAXTHREADS = 100;
    EXPECT_EQ(net_listen_backlog(path), 100);
    MAXTHREADS = 16384;
    EXPECT_EQ(net_listen_backlog(path), 128);
    EXPECT_EQ(net_listen_backlog("/nonexistent/somaxconn"), LISTEN_BACKLOG_DEFAULT);
    MAXTHREADS = 10;
    EXPECT_EQ(net_listen_backlog("/nonexistent/somaxconn"), 10);
    MAXTHREADS = saved;
    unlink(path);
}

// ------------------------------------------------------ the proxy's own ports

TEST_F(NetworkTest, OwnListenersAreRecognised)
{
    int specific = free_port();
    int wildcard = free_port();
    ASSERT_EQ(net_listen(specific, "127.0.0.1"), 0);
    ASSERT_EQ(net_listen(wildcard, nullptr), 1);

    // An address of one of this machine's interfaces, if it has one besides
    // loopback.
    std::string interface_address;
    struct ifaddrs *list = nullptr;
    ASSERT_EQ(getifaddrs(&list), 0);
    for (struct ifaddrs *i = list; i != nullptr; i = i->ifa_next) {
        if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET)
            continue;
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &((struct sockaddr_in *)i->ifa_addr)->sin_addr, text, sizeof(text));
        if (strncmp(text, "127.", 4) != 0)
            interface_address = text;
    }
    freeifaddrs(list);

    struct Case {
        std::string address;
        int port;
        bool owned;
        const char *why;
    } cases[] = {
        {"127.0.0.1", specific, true, "the bound address and port"},
        {"0.0.0.0", specific, true, "the unspecified address reaches this machine"},
        {"127.0.0.2", specific, false, "another loopback address than the bound one"},
        {"127.0.0.1", specific + 1 == wildcard ? specific + 2 : specific + 1, false,
         "another port"},
        {"127.0.0.1", wildcard, true, "loopback reaches a wildcard listener"},
        {"127.9.9.9", wildcard, true, "all of 127/8 reaches a wildcard listener"},
        {"192.0.2.1", wildcard, false, "an address of another host"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(net_listener_owns(addr_of(c.address.c_str()), c.port), c.owned) << c.why;
    if (!interface_address.empty()) {
        EXPECT_TRUE(net_listener_owns(addr_of(interface_address.c_str()), wildcard))
            << "an interface address " << interface_address << " reaches a wildcard listener";
    }
    net_listen_closeall();
    EXPECT_FALSE(net_listener_owns(addr_of("127.0.0.1"), specific)) << "closed listeners";
}

// ------------------------------------------------------------------ section

class NetworkSectionTest : public NetworkTest {
protected:
    static void SetUpTestSuite()
    {
        NetworkTest::SetUpTestSuite();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(network_section);
    }

    static std::string listen(const char *enabled, const std::string &address, int port)
    {
        return std::string("<listen><enabled>") + enabled + "</enabled><address>" + address +
               "</address><port>" + std::to_string(port) + "</port><comment></comment></listen>";
    }
    static std::string interface(const char *enabled, const char *groups, const char *profiles,
                                 const char *address)
    {
        return std::string("<interface><enabled>") + enabled +
               "</enabled><comment></comment><groups>" + groups + "</groups><profiles>" +
               profiles + "</profiles><address>" + address + "</address></interface>";
    }
    static void load(const std::string &content)
    {
        std::string text = "<kelvarine><network>" + content + "</network></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error()) << text;
        network_section->load(&doc, 1);
    }
};

TEST_F(NetworkSectionTest, CheckOpensEnabledListenRulesOnly)
{
    int open_port = free_port();
    int disabled_port = free_port();
    load(listen("true", "127.0.0.1", open_port) + listen("false", "127.0.0.1", disabled_port) +
         listen("true", "127.0.0.1", -1) + listen("true", "not.an.address", free_port()));
    ASSERT_EQ(network_section->listens.size(), 4u);
    network_section->check();
    EXPECT_EQ(rows_in_use(), 1);
    EXPECT_EQ(socklist[0].port, open_port);
    EXPECT_TRUE(logged("error: failed to bind to not.an.address"));
}

// A listen rule whose port does not parse opens nothing: its template's
// port was never configured by anybody.
TEST_F(NetworkSectionTest, ListenRuleWithAFlawedPortOpensNothing)
{
    int open_port = free_port();
    std::string flawed = listen("true", "127.0.0.1", 0);
    flawed.replace(flawed.find("<port>0</port>"), 14, "<port>abc</port>");
    std::string enabled_flag = listen("yes", "127.0.0.1", free_port());
    load(flawed + enabled_flag + listen("true", "127.0.0.1", open_port));
    ASSERT_EQ(network_section->listens.size(), 3u);
    network_section->check();
    EXPECT_EQ(rows_in_use(), 1);
    EXPECT_EQ(socklist[0].port, open_port);
    EXPECT_TRUE(logged("port must be an integer, but it is given value abc"));
    net_listen_closeall();
}

TEST_F(NetworkSectionTest, InterfaceSelectTakesTheFirstMatchingRule)
{
    load(interface("false", "", "", "10.0.0.9") +      // disabled: never chosen
         interface("true", "staff", "", "10.0.0.1") +   // staff users
         interface("true", "", "video", "10.0.0.2") +   // requests with profile video
         interface("true", "", "", "10.0.0.3"));        // everyone else
    struct Case {
        const char *groups;
        const char *profiles;
        const char *address;
    } cases[] = {
        {"staff", "video", "10.0.0.1"},
        {"guests", "video", "10.0.0.2"},
        {"guests", "", "10.0.0.3"},
        {"", "", "10.0.0.3"},
    };
    for (const Case &c : cases) {
        CONNECTION_T *conn = connection_new();
        conn->ldap_groups = StringList(c.groups, ',');
        conn->profiles = StringList(c.profiles, ',');
        char text[INET_ADDRSTRLEN];
        struct in_addr a = network_section->interface_select(conn);
        inet_ntop(AF_INET, &a, text, sizeof(text));
        EXPECT_STREQ(text, c.address) << "groups " << c.groups << ", profiles " << c.profiles;
        connection_free(conn);
    }
    EXPECT_TRUE(logged("binding outgoing connection to 10.0.0.1"));
}

TEST_F(NetworkSectionTest, InterfaceAddressThatIsNoDottedQuadMeansAnyAddress)
{
    load(interface("true", "", "", "proxy.example"));
    CONNECTION_T *conn = connection_new();
    EXPECT_EQ(network_section->interface_select(conn).s_addr, htonl(INADDR_ANY));
    EXPECT_TRUE(logged("binding outgoing connection to proxy.example"));
    connection_free(conn);

    load("");
    conn = connection_new();
    EXPECT_EQ(network_section->interface_select(conn).s_addr, htonl(INADDR_ANY)) << "no rules";
    connection_free(conn);
}

}  // namespace
