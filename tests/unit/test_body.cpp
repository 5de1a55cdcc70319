// Message body transfer over socket pairs: chunked relay and de-chunking
// with trailers, bad chunk sizes, truncated counted, chunked and
// close-delimited bodies, request bodies that must not swallow the next
// request, and the download allowance.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "runtime/filebuf.h"

namespace {

class BodyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        conn = connection_new();
        conn->server = pair(&origin);
        conn->client = pair(&browser);
    }

    void TearDown() override
    {
        http_header_free(conn->request);
        http_header_free(conn->response);
        conn->request = conn->response = nullptr;
        delete conn->server;
        delete conn->client;
        conn->server = conn->client = nullptr;
        if (origin >= 0)
            close(origin);
        if (browser >= 0)
            close(browser);
        connection_free(conn);
    }

    // One end becomes a Socket of the connection (one-second time-out),
    // the other is the peer the test plays.
    static Socket *pair(int *peer)
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        *peer = sv[1];
        Socket *s = new Socket(sv[0]);
        s->SetTimeout(1);
        return s;
    }

    void response(const char *head)
    {
        conn->response = http_header_parse_response(head);
        ASSERT_NE(conn->response, nullptr);
    }

    void request(const char *head)
    {
        conn->request = http_header_parse_request(head, nullptr);
        ASSERT_NE(conn->request, nullptr);
    }

    // The peer sends bytes and, when asked, closes its end.
    static void peer_send(int *peer, const std::string &bytes, bool close_after)
    {
        ASSERT_EQ(write(*peer, bytes.data(), bytes.size()), (ssize_t)bytes.size());
        if (close_after) {
            close(*peer);
            *peer = -1;
        }
    }

    // Everything that has reached a peer so far.
    static std::string peer_got(int peer)
    {
        std::string out;
        char buf[4096];
        ssize_t n;
        while ((n = recv(peer, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
            out.append(buf, (size_t)n);
        return out;
    }

    // What is left unread in a socket's input buffer.
    static std::string buffered(Socket *s)
    {
        return std::string(s->inbuf ? s->inbuf : "", s->inbuf_len);
    }

    CONNECTION_T *conn = nullptr;
    int origin = -1;
    int browser = -1;
};

const std::string data26 = "abcdefghijklmnopqrstuvwxyz";
const std::string chunked_body = "5;name=value\r\nhello\r\n1A\r\n" + data26 +
                                 "\r\n0\r\nX-Trailer: t\r\nX-Other: u\r\n\r\n";
const std::string next_message = "HTTP/1.1 200 OK\r\n";

TEST_F(BodyTest, ChunkedResponseIsRelayedWithItsChunksAndWithoutTrailers)
{
    response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&origin, chunked_body + next_message, false);
    EXPECT_EQ(http_transfer(conn, SIDE_SERVER), 1);
    EXPECT_FALSE(conn->flags & CONN_FAILED);
    EXPECT_EQ(peer_got(browser), "5\r\nhello\r\n1a\r\n" + data26 + "\r\n0\r\n\r\n");
    // The observer saw body bytes only, and the next message is untouched.
    EXPECT_EQ(conn->bytes_downloaded, 31u);
    EXPECT_EQ(buffered(conn->server), next_message);
}

TEST_F(BodyTest, ChunkedResponseIsReadWholeWithoutFraming)
{
    response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&origin, chunked_body + next_message, false);
    Filebuf *body = http_transfer_filebuf(conn, SIDE_SERVER);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(std::string(body->data, body->size), "hello" + data26);
    EXPECT_FALSE(conn->flags & CONN_FAILED);
    EXPECT_EQ(conn->bytes_downloaded, 31u);
    EXPECT_EQ(buffered(conn->server), next_message);
    EXPECT_EQ(peer_got(browser), "");
    delete body;
}

struct SizeCase {
    const char *line;
    int64_t size;
};

TEST_F(BodyTest, ChunkSizeLines)
{
    const SizeCase cases[] = {
        {"1a\r\n", 26},
        {"A;ext=\"x\"\r\n", 10},
        {"ff \t;e\r\n", 255},
        {"0\n", 0},
        {"7fffffffffffffff\r\n", INT64_MAX},  // sizes are 64-bit
        {"8000000000000000\r\n", -1},          // past 63 bits
        {"0000000000000000000000000000000000000000000000000000000000000000005\r\n", -1},  // line over 63
        {"zz\r\n", -1},
        {"\r\n", -1},
        {"-5\r\n", -1},
        {" 5\r\n", -1},
        {"5 x\r\n", -1},
        {"0x5\r\n", -1},
    };
    for (const SizeCase &c : cases) {
        peer_send(&origin, c.line, false);
        EXPECT_EQ(next_chunksize(conn, SIDE_SERVER), c.size) << c.line;
        conn->server->Clear(0);
    }
    // Nothing before the peer closes.
    peer_send(&origin, "", true);
    EXPECT_EQ(next_chunksize(conn, SIDE_SERVER), -1);
}

struct BadChunkedCase {
    const char *what;
    std::string sent;
    bool close_after;
};

// Each body below cannot be framed to its end: the transfer fails and the
// client never receives the last chunk, so it cannot take the cut body
// for a whole one.
TEST_F(BodyTest, BadOrCutChunkedBodiesFail)
{
    const BadChunkedCase cases[] = {
        {"a size without digits", "zz\r\nhello\r\n0\r\n\r\n", false},
        {"an empty size line", "\r\nhello\r\n0\r\n\r\n", false},
        {"a negative size", "-5\r\nhello\r\n0\r\n\r\n", false},
        {"a size line over its limit", std::string(70, '0') + "5\r\nhello\r\n0\r\n\r\n", false},
        {"a size past 63 bits", "10000000000000000\r\nhello\r\n0\r\n\r\n", false},
        {"more data than the size", "5\r\nhelloXY\r\n0\r\n\r\n", false},
        {"data cut short", "5\r\nhel", true},
        {"no last chunk", "5\r\nhello\r\n", true},
        {"trailers cut short", "5\r\nhello\r\n0\r\nX-T: 1\r\n", true},
        {"a trailer line over its limit",
         "5\r\nhello\r\n0\r\nX-T: " + std::string(5000, 't') + "\r\n\r\n", false},
        {"a silent server", "5\r\nhello\r\n", false},
    };
    for (const BadChunkedCase &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        peer_send(&origin, c.sent, c.close_after);
        EXPECT_EQ(http_transfer(conn, SIDE_SERVER), 0);
        EXPECT_TRUE(conn->flags & CONN_FAILED);
        EXPECT_EQ(peer_got(browser).find("0\r\n\r\n"), std::string::npos);
    }
}

struct FramedCase {
    const char *what;
    const char *head;
    std::string sent;
    bool close_after;
    bool ok;
    std::string body;
};

// Counted and close-delimited responses, relayed and read whole: a body
// ends with its length or with the server's close, and anything else is
// a failure reported to the caller.
TEST_F(BodyTest, CountedAndCloseDelimitedBodies)
{
    const char *counted = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    const char *open = "HTTP/1.0 200 OK\r\n\r\n";
    const FramedCase cases[] = {
        {"whole counted body", counted, "0123456789NEXT", false, true, "0123456789"},
        {"counted body cut by the close", counted, "012345", true, false, "012345"},
        {"counted body cut by silence", counted, "012345", false, false, "012345"},
        {"empty counted body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "NEXT", false,
         true, ""},
        {"close-delimited body", open, "abc", true, true, "abc"},
        {"close-delimited body stopped by silence", open, "abc", false, false, "abc"},
    };
    for (int buffered_mode = 0; buffered_mode < 2; buffered_mode++) {
        for (const FramedCase &c : cases) {
            SCOPED_TRACE(std::string(c.what) + (buffered_mode ? ", read whole" : ", relayed"));
            TearDown();
            SetUp();
            response(c.head);
            peer_send(&origin, c.sent, c.close_after);
            std::string got;
            bool ok;
            if (buffered_mode) {
                Filebuf *body = http_transfer_filebuf(conn, SIDE_SERVER);
                got.assign(body->data ? body->data : "", body->size);
                delete body;
                ok = !(conn->flags & CONN_FAILED);
            } else {
                ok = http_transfer(conn, SIDE_SERVER) == 1;
                got = peer_got(browser);
                EXPECT_EQ(ok, !(conn->flags & CONN_FAILED));
            }
            EXPECT_EQ(ok, c.ok);
            EXPECT_EQ(got, c.body);
        }
    }
}

TEST_F(BodyTest, RequestWithoutFramingHasNoBody)
{
    request("GET http://a.test/ HTTP/1.1\r\n\r\n");
    peer_send(&browser, "GET http://a.test/next HTTP/1.1\r\n\r\n", false);
    EXPECT_EQ(http_transfer(conn, SIDE_CLIENT), 1);
    EXPECT_EQ(peer_got(origin), "");
    EXPECT_EQ(http_transfer_discard(conn, SIDE_CLIENT), 1);
    char line[64];
    EXPECT_GT(conn->client->GetLine(line, sizeof(line), 1), 0);
    EXPECT_STREQ(line, "GET http://a.test/next HTTP/1.1\r\n");
}

TEST_F(BodyTest, ChunkedRequestIsRelayedAndTheNextRequestKept)
{
    request("POST http://a.test/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&browser, "3\r\nabc\r\n0\r\nX-T: 1\r\n\r\nGET / HTTP/1.1\r\n", false);
    EXPECT_EQ(http_transfer(conn, SIDE_CLIENT), 1);
    EXPECT_EQ(peer_got(origin), "3\r\nabc\r\n0\r\n\r\n");
    EXPECT_EQ(buffered(conn->client), "GET / HTTP/1.1\r\n");
}

TEST_F(BodyTest, DiscardedBodiesLeaveTheNextMessage)
{
    response("HTTP/1.1 407 Auth\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&origin, chunked_body + next_message, false);
    EXPECT_EQ(http_transfer_discard(conn, SIDE_SERVER), 1);
    EXPECT_EQ(buffered(conn->server), next_message);
    EXPECT_EQ(conn->bytes_downloaded, 0u);  // no observer
    http_header_free(conn->response);
    conn->server->Clear(0);

    response("HTTP/1.1 407 Auth\r\nContent-Length: 4\r\n\r\n");
    peer_send(&origin, "gone" + next_message, false);
    EXPECT_EQ(http_transfer_discard(conn, SIDE_SERVER), 1);
    char line[64];
    EXPECT_GT(conn->server->GetLine(line, sizeof(line), 1), 0);
    EXPECT_EQ(std::string(line), next_message);

    http_header_free(conn->response);
    response("HTTP/1.1 407 Auth\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&origin, "4\r\ngo", true);
    EXPECT_EQ(http_transfer_discard(conn, SIDE_SERVER), 0);
    EXPECT_TRUE(conn->flags & CONN_FAILED);
}

TEST_F(BodyTest, DownloadAllowanceStopsTheBlockThatUsesItUp)
{
    struct {
        uint64_t allowance;
        int ok;
    } cases[] = {{10, 0}, {11, 1}, {CONN_NO_LIMIT, 1}};
    for (const auto &c : cases) {
        TearDown();
        SetUp();
        response("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
        conn->download_allowance = c.allowance;
        peer_send(&origin, "0123456789", false);
        EXPECT_EQ(http_transfer(conn, SIDE_SERVER), c.ok) << c.allowance;
        EXPECT_EQ((conn->flags & CONN_FAILED) != 0, c.ok == 0) << c.allowance;
        EXPECT_EQ(conn->bytes_downloaded, 10u);
    }
}

TEST_F(BodyTest, BufferedBodyIsSentUnlessTheRequestIsHead)
{
    Filebuf body;
    body.Add("page", 4);
    conn->flags |= CONN_HEAD;
    EXPECT_EQ(http_send_body(conn, &body), 0);
    EXPECT_EQ(peer_got(browser), "");
    conn->flags &= ~CONN_HEAD;
    EXPECT_GE(http_send_body(conn, &body), 0);
    EXPECT_EQ(peer_got(browser), "page");
}

} // namespace
