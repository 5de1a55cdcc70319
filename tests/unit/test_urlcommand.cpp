// URL commands: taking them off hosts and paths, the Referer rule, and
// writing them back into URLs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <regex>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "engine/urlcommand.h"

namespace {

// "name[options],name" of a list, "" for none.
std::string describe(url_command_t **list)
{
    std::string out;
    for (size_t i = 0; list && list[i]; i++) {
        if (i)
            out += ",";
        out += list[i]->name;
        if (list[i]->options)
            out += std::string("[") + list[i]->options + "]";
    }
    return out;
}

struct ParseCase {
    const char *text;
    const char *commands;
    const char *rest;
};

TEST(UrlCommandParse, PrefixesComeOffTheFront)
{
    const ParseCase cases[] = {
        {"xx--raw.xx--fresh.www.example.com", "raw,fresh", "www.example.com"},
        {"XX--Cache.example.com", "Cache", "example.com"},
        {"xx--template[denied].a.test", "template[denied]", "a.test"},
        {"xx--bypass[+f-h].xx--raw.a.test", "bypass[+f-h],raw", "a.test"},
        {"xx--template[open.a.test", "template", "a.test"},  // no "]" before the "."
        {"xx--t[].a.test", "t[]", "a.test"},
        {"xx--foo", "", "xx--foo"},                           // no "." after it: kept
        {"xx--a.xx--b", "a", "xx--b"},
        {"www.xx--raw.a.test", "", "www.xx--raw.a.test"},     // only leading prefixes
        {"", "", ""},
    };
    for (const ParseCase &c : cases) {
        char *text = strdup(c.text);
        url_command_t **list = url_command_parse(text);
        EXPECT_EQ(describe(list), c.commands) << c.text;
        EXPECT_STREQ(text, c.rest) << c.text;
        EXPECT_EQ(list == nullptr, *c.commands == '\0') << c.text;
        url_command_free(list);
        free(text);
    }
}

TEST(UrlCommandParse, FindAndCreate)
{
    char text[] = "xx--Cache.xx--template[x].xx--cache.h";
    url_command_t **list = url_command_parse(text);
    ASSERT_NE(list, nullptr);
    url_command_t *found = url_command_find(list, "CACHE");
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found, list[0]);  // the first of the name
    EXPECT_EQ(url_command_find(list, "raw"), nullptr);
    EXPECT_EQ(url_command_find(nullptr, "raw"), nullptr);

    char *created = url_command_create(list);
    EXPECT_STREQ(created, "xx--Cache.xx--template[x].xx--cache.");
    free(created);
    created = url_command_create(nullptr);
    EXPECT_STREQ(created, "");
    free(created);
    url_command_free(list);
    url_command_free(nullptr);
}

class UrlCommandTest : public ::testing::Test {
protected:
    void SetUp() override { conn = connection_new(); }
    void TearDown() override
    {
        url_command_free(conn->url_commands);
        conn->url_commands = nullptr;
        http_header_free(conn->request);
        conn->request = nullptr;
        delete conn->client;
        conn->client = nullptr;
        if (peer >= 0)
            close(peer);
        connection_free(conn);
    }

    void request(const char *text)
    {
        conn->request = http_header_parse_request(text, nullptr);
        ASSERT_NE(conn->request, nullptr) << text;
    }

    // A client socket whose other end the test reads.
    void with_client()
    {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        conn->client = new Socket(sv[0]);
        peer = sv[1];
    }

    // What reached the client, without waiting for more.
    std::string client_got()
    {
        char buf[1024];
        ssize_t n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT);
        return n > 0 ? std::string(buf, (size_t)n) : "";
    }

    CONNECTION_T *conn = nullptr;
    int peer = -1;
};

TEST_F(UrlCommandTest, CommandsLeaveTheHostAndTheUrl)
{
    request("GET http://xx--raw.xx--fresh.A.test:81/p HTTP/1.1\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn), 1);
    EXPECT_EQ(describe(conn->url_commands), "raw,fresh");
    EXPECT_STREQ(conn->request->host, "a.test");
    EXPECT_STREQ(conn->request->url, "http://a.test:81/p");
}

TEST_F(UrlCommandTest, OriginFormTakesThemFromHostOrFirstSegment)
{
    struct {
        const char *text;
        const char *commands;
        const char *host_header;
        const char *path;
    } cases[] = {
        {"GET /xx--headers./index.html HTTP/1.1\r\n\r\n", "headers", nullptr, "/index.html"},
        {"GET /xx--template%5bblocked%5d./a/b HTTP/1.1\r\n\r\n", "template[blocked]", nullptr,
         "/a/b"},
        {"GET /xx--raw. HTTP/1.1\r\n\r\n", "raw", nullptr, "/"},
        {"GET /plain/xx--raw./ HTTP/1.1\r\n\r\n", "", nullptr, "/plain/xx--raw./"},
        {"GET /xx--raw./p HTTP/1.1\r\nHost: xx--fresh.a.test:8080\r\n\r\n", "fresh",
         "a.test:8080", "/xx--raw./p"},
    };
    for (const auto &c : cases) {
        request(c.text);
        EXPECT_EQ(url_command_extract(conn), 1) << c.text;
        EXPECT_EQ(describe(conn->url_commands), c.commands) << c.text;
        EXPECT_STREQ(conn->request->host_header ? conn->request->host_header : "(none)",
                     c.host_header ? c.host_header : "(none)") << c.text;
        EXPECT_STREQ(conn->request->path, c.path) << c.text;
        url_command_free(conn->url_commands);
        conn->url_commands = nullptr;
        http_header_free(conn->request);
        conn->request = nullptr;
    }
}

TEST_F(UrlCommandTest, RefererCommandsRedirectAGet)
{
    with_client();
    request("GET http://a.test/page HTTP/1.1\r\nReferer: http://xx--raw.a.test/prev\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn), 0);
    EXPECT_EQ(conn->url_commands, nullptr);
    // The redirect is the proxy's own answer: it carries its Date.
    std::string got = client_got();
    std::regex date("\r\nDate: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} "
                    "\\d{2}:\\d{2}:\\d{2} GMT(?=\r\n)");
    EXPECT_TRUE(std::regex_search(got, date)) << got;
    EXPECT_EQ(std::regex_replace(got, date, ""),
              "HTTP/1.1 302 Found\r\n"
              "Content-Length: 0\r\n"
              "Location: http://xx--raw.a.test:80/page\r\n"
              "Connection: close\r\n"
              "Proxy-Connection: close\r\n"
              "\r\n");
}

TEST_F(UrlCommandTest, RefererRedirectNeverWritesABadHostPort)
{
    // An origin-form request whose Host names a port that is no port: no
    // 302 with a wrapped or zero port; the request goes on (and the road
    // refuses its Host later).
    with_client();
    request("GET /page HTTP/1.1\r\nHost: a.test:4294967377\r\n"
            "Referer: http://xx--raw.a.test/prev\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn), 1);
    EXPECT_EQ(client_got(), "");
}

TEST_F(UrlCommandTest, RefererCommandsPassToAPostWithoutRedirect)
{
    with_client();
    request("POST http://a.test/form HTTP/1.1\r\nReferer: http://xx--raw.a.test/prev\r\n"
            "Content-Length: 0\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn), 1);
    EXPECT_EQ(describe(conn->url_commands), "raw");
    EXPECT_STREQ(conn->request->referer, "http://a.test/prev");
    EXPECT_EQ(client_got(), "");
}

TEST_F(UrlCommandTest, OwnCommandsWinOverTheReferer)
{
    with_client();
    request("GET http://xx--fresh.a.test/ HTTP/1.1\r\nReferer: http://xx--raw.a.test/\r\n\r\n");
    EXPECT_EQ(url_command_extract(conn), 1);
    EXPECT_EQ(describe(conn->url_commands), "fresh");
    EXPECT_EQ(client_got(), "");
}

TEST_F(UrlCommandTest, RedirectLocationsKeepTheCommands)
{
    request("GET http://xx--raw.a.test:8080/dir/page HTTP/1.1\r\n\r\n");
    ASSERT_EQ(url_command_extract(conn), 1);
    struct {
        const char *location;
        const char *expect;
    } cases[] = {
        {"https://b.test/x", "http://xx--raw.b.test/x"},
        {"/other", "http://xx--raw.a.test:8080/other"},
        {"next?q=1", "http://xx--raw.a.test:8080/dir/next?q=1"},
    };
    for (const auto &c : cases) {
        char *url = url_command_add(conn, c.location);
        EXPECT_STREQ(url, c.expect) << c.location;
        free(url);
    }
    // Never cut: an overlong result keeps the server's own URL.
    std::string longer = "/" + std::string(4090, 'l');
    char *url = url_command_add(conn, longer.c_str());
    EXPECT_EQ(url, longer);
    free(url);
}

} // namespace
