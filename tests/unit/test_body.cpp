// Message body transfer over socket pairs: chunked relay and de-chunking
// with trailers, bad chunk sizes, truncated counted, chunked and
// close-delimited bodies, request bodies that must not swallow the next
// request, the download allowance, and bodies read up to a buffer cap
// with the rest relayed.
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
#include "fixture.h"
#include "runtime/filebuf.h"
#include "runtime/processors.h"

namespace {

class BodyTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        global_for_process();
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
        {"5;n=v\rx\r\n", -1},   // a CR inside an extension
        {"5;n=\x01\r\n", -1},   // a control byte
        {"5;n=\x7f\r\n", -1},
        {"5;n=\"a\tb\"\r\n", 5},  // a tab is a blank
        {"5\r\r\n", -1},
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
            // Only a relayed body that ends with the close is marked so:
            // the client can tell its cut only by how the connection ends.
            EXPECT_EQ((conn->flags & CONN_CLOSE_DELIMITED) != 0,
                      !buffered_mode && c.head == open);
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

struct CapCase {
    const char *what;
    const char *head;
    std::string sent;
    bool close_after;
    uint64_t cap;
    int result;
    std::string kept;     // what the buffer holds
    std::string relayed;  // what the rest relay gives the client
};

// Below, at and above the cap for every framing.  A body within the cap is
// read whole; a longer one leaves the buffer at most at the cap (plus the
// one byte that shows a close-delimited body goes on), and the rest moves
// to the client without chunk framing, the next message left in place.
TEST_F(BodyTest, BodiesReadUpToTheCapAndTheRestRelayed)
{
    const char *counted = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
    const char *chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const char *open = "HTTP/1.0 200 OK\r\n\r\n";
    const std::string chunks = "5\r\nhello\r\n5\r\nworld\r\n1\r\n!\r\n0\r\n\r\n";
    const CapCase cases[] = {
        {"counted below", counted, "0123456789NEXT", false, 11, BODY_WHOLE, "0123456789", ""},
        {"counted at", counted, "0123456789NEXT", false, 10, BODY_WHOLE, "0123456789", ""},
        {"counted above", counted, "0123456789NEXT", false, 9, BODY_PAST_CAP, "", "0123456789"},
        {"chunked below", chunked, chunks + "NEXT", false, 12, BODY_WHOLE, "helloworld!", ""},
        {"chunked at", chunked, chunks + "NEXT", false, 11, BODY_WHOLE, "helloworld!", ""},
        {"chunked above", chunked, chunks + "NEXT", false, 10, BODY_PAST_CAP, "helloworld", "!"},
        {"chunked far above", chunked, chunks + "NEXT", false, 4, BODY_PAST_CAP, "",
         "helloworld!"},
        {"close-delimited below", open, "0123456789", true, 11, BODY_WHOLE, "0123456789", ""},
        {"close-delimited at", open, "0123456789", true, 10, BODY_WHOLE, "0123456789", ""},
        {"close-delimited above", open, "0123456789", true, 8, BODY_PAST_CAP, "012345678", "9"},
    };
    for (const CapCase &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        response(c.head);
        peer_send(&origin, c.sent, c.close_after);
        Filebuf buf;
        BodyRest rest;
        EXPECT_EQ(http_transfer_filebuf_capped(conn, SIDE_SERVER, &buf, c.cap, &rest), c.result);
        EXPECT_EQ(std::string(buf.data ? buf.data : "", buf.size), c.kept);
        EXPECT_LE(buf.size, c.cap + 1);
        if (c.result == BODY_PAST_CAP) {
            EXPECT_EQ(http_transfer_rest(conn, SIDE_SERVER, &rest), 1);
        }
        EXPECT_FALSE(conn->flags & CONN_FAILED);
        EXPECT_EQ(peer_got(browser), c.relayed);
        // The observer saw every body byte once, framing never.
        EXPECT_EQ(conn->bytes_downloaded, c.kept.size() + c.relayed.size());
        if (!c.close_after) {
            EXPECT_EQ(buffered(conn->server), "NEXT");
        }
    }
}

// A rest that cannot be framed to its end is a failure like any other
// cut body; so is a close-delimited start stopped by silence.
TEST_F(BodyTest, CutBodiesPastTheCapFail)
{
    response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    peer_send(&origin, "5\r\nhello\r\n5\r\nwor", true);
    Filebuf buf;
    BodyRest rest;
    ASSERT_EQ(http_transfer_filebuf_capped(conn, SIDE_SERVER, &buf, 7, &rest), BODY_PAST_CAP);
    EXPECT_EQ(http_transfer_rest(conn, SIDE_SERVER, &rest), 0);
    EXPECT_TRUE(conn->flags & CONN_FAILED);

    TearDown();
    SetUp();
    response("HTTP/1.0 200 OK\r\n\r\n");
    peer_send(&origin, "0123", false);
    Filebuf open_buf;
    EXPECT_EQ(http_transfer_filebuf_capped(conn, SIDE_SERVER, &open_buf, 100, &rest), BODY_FAILED);
    EXPECT_TRUE(conn->flags & CONN_FAILED);
}

// Without the socket to read from there is no body, and an empty buffer
// must not pass for an empty body.
TEST_F(BodyTest, NoSourceSocketIsAFailure)
{
    response("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n");
    delete conn->server;
    conn->server = nullptr;
    Filebuf *body = http_transfer_filebuf(conn, SIDE_SERVER);
    EXPECT_EQ(body->size, 0u);
    EXPECT_TRUE(conn->flags & CONN_FAILED);
    delete body;
}

int wants_whole_body(CONNECTION_T *, Filebuf *)
{
    return 1;
}

bool logged(const char *text)
{
    for (LOGBUFFER_NODE *n = global->logbuffer->tail; n != nullptr; n = n->previous)
        if (strstr(n->text, text) != nullptr)
            return true;
    return false;
}

struct PastCapCase {
    const char *what;
    bool process;        // CONN_PROCESS set
    bool inspecting;     // a module asks for the whole body
    const char *coding;  // the response's Content-Encoding
    const char *warning; // the warning expected, or null for none
};

// A body past the cap goes out close-delimited: no length and no chunked
// coding in the head, the connection closing after the body, and the
// body byte for byte.  A body that a module wanted whole, or that keeps a
// coding the client cannot read, is never passed on silently.
TEST_F(BodyTest, BodyPastTheCapIsSentCloseDelimited)
{
    const PastCapCase cases[] = {
        {"framing only", false, false, nullptr, nullptr},
        {"a module inspects", true, true, nullptr, "passed uninspected"},
        {"coded for a client without codings", true, false, "gzip",
         "sent with its content coding gzip"},
    };
    for (const PastCapCase &c : cases) {
        SCOPED_TRACE(c.what);
        TearDown();
        SetUp();
        logbuffer_clear(global->logbuffer);
        request("GET http://a.test/big HTTP/1.0\r\n\r\n");
        std::string head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n";
        if (c.coding)
            head += std::string("Content-Encoding: ") + c.coding + "\r\n";
        response((head + "\r\n").c_str());
        conn->flags |= CONN_BUFFERING | (c.process ? CONN_PROCESS : 0);
        conn->keepalive_client = 1;
        if (c.inspecting)
            processors.Add(wants_whole_body, PROCESSOR_BUFFCHECK);
        peer_send(&origin, "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", false);
        Filebuf start;
        BodyRest rest;
        ASSERT_EQ(http_transfer_filebuf_capped(conn, SIDE_SERVER, &start, 5, &rest),
                  BODY_PAST_CAP);
        EXPECT_EQ(http_send_past_cap(conn, &start, &rest, 5), 1);
        processors.Remove(wants_whole_body);
        std::string got = peer_got(browser);
        size_t end = got.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        std::string sent_head = got.substr(0, end + 2);
        EXPECT_EQ(got.substr(end + 4), "hello world");
        EXPECT_EQ(sent_head.find("Content-Length"), std::string::npos) << sent_head;
        EXPECT_EQ(sent_head.find("Transfer-Encoding"), std::string::npos) << sent_head;
        EXPECT_NE(sent_head.find("Connection: close\r\n"), std::string::npos) << sent_head;
        EXPECT_EQ(conn->keepalive_client, 0);
        EXPECT_FALSE(conn->flags & (CONN_BUFFERING | CONN_FAILED));
        EXPECT_EQ(logged("passed uninspected"), c.warning && strstr(c.warning, "uninspected"));
        EXPECT_EQ(logged("sent with its content coding"), c.warning && strstr(c.warning, "coding"));
        if (c.warning) {
            EXPECT_TRUE(logged(c.warning));
        }
    }
}

TEST(BodyCap, LimitInForceElseTheCeiling)
{
    CONNECTION_T *conn = connection_new();
    // Without settings no rule gives a limit: the ceiling holds.
    EXPECT_EQ(body_buffer_cap(conn), FILEBUF_INFLATE_LIMIT);
    connection_free(conn);
}

} // namespace
