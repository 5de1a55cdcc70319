// Decisions of the request road and the HTTP exchange that need no peer:
// the "bypass" command, keep-alive toward client and server, the
// buffering decision and the page for a failed connection.  The road as a
// whole runs against real peers in tests/integration/test_proxy.py.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdlib>
#include <map>
#include <string>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/urlcommand.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "fixture.h"

namespace {

class Road : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(general_section);
        // One rule for everyone: bodies up to 1 KiB may be buffered.
        const char *text =
            "<kelvarine><general><proxy_host></proxy_host><temp_dir>/tmp</temp_dir>"
            "<html_line_length>80</html_line_length><pool_size>10</pool_size>"
            "<pool_timeout>60</pool_timeout><rule><enabled>true</enabled><comment></comment>"
            "<groups></groups><profiles></profiles><connect_timeout>60</connect_timeout>"
            "<io_timeout>60</io_timeout><keepalive_timeout>60</keepalive_timeout>"
            "<max_download_buffer>1K</max_download_buffer>"
            "<max_upload_buffer>1K</max_upload_buffer><buffer_wait>0</buffer_wait>"
            "<connect_ports></connect_ports><compress_mime></compress_mime>"
            "<compress_responses>false</compress_responses>"
            "<request_compression>false</request_compression>"
            "<x_forwarded_for>false</x_forwarded_for><via>false</via></rule>"
            "</general></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(text);
        ASSERT_FALSE(doc.Error());
        Section::map["general"]->load(&doc, 1);
    }

    void SetUp() override { conn = connection_new(); }

    void TearDown() override
    {
        url_command_free(conn->url_commands);
        http_header_free(conn->request);
        http_header_free(conn->response);
        connection_free(conn);
    }

    void request(const std::string &head)
    {
        http_header_free(conn->request);
        conn->request = http_header_parse_request(head.c_str());
        ASSERT_NE(conn->request, nullptr) << head;
    }

    void response(const std::string &head)
    {
        http_header_free(conn->response);
        conn->response = http_header_parse_response(head.c_str());
        ASSERT_NE(conn->response, nullptr) << head;
    }

    void commands(const char *prefixes)
    {
        url_command_free(conn->url_commands);
        char *text = xstrdup(prefixes);
        conn->url_commands = url_command_parse(text);
        free(text);
    }

    CONNECTION_T *conn = nullptr;
};

TEST_F(Road, BypassCommandSetsAndClearsBits)
{
    struct {
        const char *why;
        uint32_t access;
        const char *prefixes;  // null: no command
        uint32_t before;
        uint32_t after;
    } cases[] = {
        {"+fh-m sets f and h and clears m", ACCESS_BYPASS, "xx--bypass[+fh-m].", 0x4, 0x3},
        {"letters start in set mode", ACCESS_BYPASS, "xx--bypass[ki].", 0, 0x1100},
        {"no options sets every bit", ACCESS_BYPASS, "xx--bypass.", 0, 0xFFFFFFFFu},
        {"empty options change nothing", ACCESS_BYPASS, "xx--bypass[].", 0x10, 0x10},
        {"unknown characters are ignored", ACCESS_BYPASS, "xx--bypass[zq1d].", 0, 0x200},
        {"without ACCESS_BYPASS nothing changes", ACCESS_URL_COMMANDS, "xx--bypass.", 0, 0},
        {"without the command nothing changes", ACCESS_BYPASS, nullptr, 0x8, 0x8},
    };
    for (const auto &c : cases) {
        conn->access_flags = c.access;
        conn->bypass = c.before;
        commands(c.prefixes ? c.prefixes : "");
        bypass_check(conn);
        EXPECT_EQ(conn->bypass, c.after) << c.why;
    }
}

TEST_F(Road, ClientKeepAliveFollowsVersionAndConnectionLines)
{
    struct {
        const char *head;
        int expected;
    } cases[] = {
        {"GET http://a.test/ HTTP/1.1\r\n\r\n", 1},
        {"GET http://a.test/ HTTP/1.0\r\n\r\n", 0},
        {"GET http://a.test/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", 1},
        {"GET http://a.test/ HTTP/1.1\r\nConnection: close\r\n\r\n", 0},
        {"GET http://a.test/ HTTP/1.1\r\nConnection: keep-alive\r\n"
         "Proxy-Connection: close\r\n\r\n", 0},
        {"CONNECT a.test:443 HTTP/1.1\r\n\r\n", 0},
    };
    for (const auto &c : cases) {
        request(c.head);
        conn->keepalive_client = -7;
        keepalive_check_client(conn);
        EXPECT_EQ(conn->keepalive_client, c.expected) << c.head;
    }
}

TEST_F(Road, ServerKeepAliveAndABodyEndedByTheClose)
{
    struct {
        const char *head;
        int server;
        int client;  // the client's keep-alive after the check, starting at 1
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", 1, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\n", 0, 1},
        {"HTTP/1.0 200 OK\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\n", 1, 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: close\r\n\r\n", 0, 1},
        // Without a length the body ends with the close: neither side can
        // carry another message.
        {"HTTP/1.1 200 OK\r\n\r\n", 0, 0},
        // No body follows these, so nothing ends with the close.
        {"HTTP/1.1 304 Not Modified\r\n\r\n", 1, 1},
        {"HTTP/1.1 204 No Content\r\n\r\n", 1, 1},
    };
    request("GET http://a.test/ HTTP/1.1\r\n\r\n");
    for (const auto &c : cases) {
        response(c.head);
        conn->keepalive_client = 1;
        conn->keepalive_server = -7;
        keepalive_check_server(conn);
        EXPECT_EQ(conn->keepalive_server, c.server) << c.head;
        EXPECT_EQ(conn->keepalive_client, c.client) << c.head;
    }
}

TEST_F(Road, BufferingOnlyWhenSomethingNeedsTheWholeBody)
{
    struct {
        const char *why;
        const char *request;
        const char *response;
        const char *commands;
        int expected;
    } cases[] = {
        {"a chunked body for an HTTP/1.0 client is given a length",
         "GET http://a.test/ HTTP/1.0\r\n\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "", 1},
        {"a chunked body for an HTTP/1.1 client is relayed",
         "GET http://a.test/ HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", "", 0},
        {"a coded body for a client that accepts no coding is decoded",
         "GET http://a.test/ HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Encoding: gzip\r\n\r\n", "", 1},
        {"a coded body for a client that accepts it is relayed",
         "GET http://a.test/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\nContent-Encoding: gzip\r\n\r\n", "", 0},
        {"a body over the buffer limit is relayed whatever it is",
         "GET http://a.test/ HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 5000\r\nContent-Encoding: gzip\r\n\r\n", "", 0},
        {"the raw command wants the body", "GET http://a.test/ HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "xx--raw.", 1},
        {"a plain body is relayed", "GET http://a.test/ HTTP/1.1\r\n\r\n",
         "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n", "", 0},
    };
    for (const auto &c : cases) {
        request(c.request);
        response(c.response);
        commands(c.commands);
        conn->flags = CONN_PROCESS;
        EXPECT_EQ(buffer_check(conn), c.expected) << c.why;
    }
}

TEST_F(Road, FailedConnectionsGiveTheirPages)
{
    struct {
        int code;
        const char *page;
        int status;
    } cases[] = {
        {NET_CONNECT_FAILED, "noconnect", 503},
        {NET_CONNECT_NODNS, "nodns", 503},
        {NET_CONNECT_ARGS, "unknown", 503},
        {-4, "badauth", 503},
        // The proxy never connects to itself: a refusal, not a failure.
        {NET_CONNECT_SELF, "noaccess", 403},
    };
    for (const auto &c : cases) {
        int status = 0;
        EXPECT_STREQ(protocol_error_page(c.code, &status), c.page) << c.code;
        EXPECT_EQ(status, c.status) << c.code;
    }
}

TEST_F(Road, DownloadAllowanceRefusesAnnouncedLengthsAboveIt)
{
    request("GET http://a.test/ HTTP/1.1\r\n\r\n");
    struct {
        const char *response;
        uint64_t allowance;
        int expected;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n", 100, 1},
        {"HTTP/1.1 200 OK\r\nContent-Length: 101\r\n\r\n", 100, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 6000000000\r\n\r\n", CONN_NO_LIMIT, 1},
        // Without a length the limit is enforced while the body arrives.
        {"HTTP/1.1 200 OK\r\n\r\n", 10, 1},
    };
    for (const auto &c : cases) {
        response(c.response);
        conn->download_allowance = c.allowance;
        EXPECT_EQ(transfer_limit_check(conn), c.expected) << c.response;
    }
}

// The template variables of a request are gone when the next one starts,
// on this connection or another served by the same thread, though their
// map nodes are used again.
TEST(TemplateVariables, NoValueReachesTheNextRequest)
{
    CONNECTION_T *first = connection_new();
    CONNECTION_T *second = connection_new();
    variable_slot(first, "CLIENT[cookie]") = "session=secret";
    variable_slot(first, "IP") = "10.0.0.1";
    EXPECT_EQ(variable_slot(first, "IP"), "10.0.0.1") << "a present name keeps its value";
    variables_recycle(first);
    EXPECT_TRUE(first->variables.empty());

    variable_slot(second, "URL") = "http://example.com/";
    EXPECT_EQ(variable_slot(second, "IP"), "");
    const std::map<std::string, std::string> expected = {{"IP", ""},
                                                         {"URL", "http://example.com/"}};
    EXPECT_EQ(second->variables, expected);

    // More variables than the thread keeps nodes for.
    for (int round = 0; round < 2; round++) {
        for (int i = 0; i < 2 * VARIABLE_SPARES_MAX; i++) {
            std::string &value = variable_slot(second, "V" + std::to_string(i));
            EXPECT_EQ(value, "") << "round " << round << ", V" << i;
            value = std::to_string(i);
        }
        for (int i = 0; i < 2 * VARIABLE_SPARES_MAX; i++)
            EXPECT_EQ(second->variables["V" + std::to_string(i)], std::to_string(i));
        variables_recycle(second);
        EXPECT_TRUE(second->variables.empty());
    }
    connection_free(first);
    connection_free(second);
}

} // namespace
