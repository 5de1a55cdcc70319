// The buffered socket stream over a socketpair: buffered reads, line reads
// with their limits, time-outs on reads and writes, the bounded output
// buffer, observers and throttling through a shared LimitGroup.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "engine/socket.h"
#include "runtime/atom.h"
#include "runtime/filebuf.h"

namespace {

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start)
{
    return std::chrono::duration<double>(Clock::now() - start).count();
}

class SocketTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        sock = new Socket(fds[0]);
        peer = fds[1];
    }
    void TearDown() override
    {
        delete sock;
        if (peer != -1)
            close(peer);
    }

    void peer_send(const std::string &text)
    {
        ASSERT_EQ(write(peer, text.data(), text.size()), (ssize_t)text.size());
    }
    void peer_close()
    {
        close(peer);
        peer = -1;
    }
    // Everything the peer can read within a second.
    std::string peer_drain()
    {
        std::string got;
        char buf[65536];
        for (;;) {
            struct pollfd p = {peer, POLLIN, 0};
            if (poll(&p, 1, 1000) <= 0)
                break;
            ssize_t r = read(peer, buf, sizeof(buf));
            if (r <= 0)
                break;
            got.append(buf, (size_t)r);
        }
        return got;
    }

    Socket *sock = nullptr;
    int peer = -1;
};

// ------------------------------------------------------------------ reading

TEST_F(SocketTest, ReadServesBufferedBytesWithoutWaiting)
{
    sock->PushFront("hello world", 11);
    char buf[16] = {};
    auto start = Clock::now();
    EXPECT_EQ(sock->Read(buf, 5, 5), 5);
    EXPECT_LT(seconds_since(start), 1.0);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_EQ(sock->inbuf_len, 6u);
}

TEST_F(SocketTest, ReadJoinsBufferedBytesAndOneDescriptorReadKeepingTheSurplus)
{
    sock->PushFront("abc", 3);
    peer_send("defghij");
    char buf[16] = {};
    EXPECT_EQ(sock->Read(buf, 6, 1), 6);
    EXPECT_EQ(std::string(buf, 6), "abcdef");
    ASSERT_EQ(sock->inbuf_len, 4u);
    EXPECT_EQ(std::string(sock->inbuf, 4), "ghij");
    EXPECT_EQ(sock->bytes_in, 7u);
}

TEST_F(SocketTest, ReadReturnsBufferedBytesWhenThePeerIsSilent)
{
    sock->PushFront("abc", 3);
    char buf[16] = {};
    auto start = Clock::now();
    EXPECT_EQ(sock->Read(buf, 10, 5), 3);
    EXPECT_LT(seconds_since(start), 1.0);
}

TEST_F(SocketTest, ReadOnSilentPeerTimesOut)
{
    char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(sock->Read(buf, 10, 1), -1);
    double took = seconds_since(start);
    EXPECT_GT(took, 0.8);
    EXPECT_LT(took, 5.0);
}

TEST_F(SocketTest, ReadWithoutTimeoutStillEndsAfterTheSocketTimeout)
{
    sock->SetTimeout(1);
    char buf[16];
    auto start = Clock::now();
    EXPECT_EQ(sock->Read(buf, 10), -1);
    EXPECT_LT(seconds_since(start), 5.0);
}

TEST_F(SocketTest, ReadWaitWaitsItsMillisecondsAtMost)
{
    enum Peer { SENT_BEFORE, SENT_DURING, SILENT, CLOSED };
    struct Case {
        const char *what;
        Peer peer;
        int ms;
        ssize_t result;  // its sign
        double at_least, at_most;  // seconds the call takes
    } cases[] = {
        {"input already there is taken at once", SENT_BEFORE, 5000, 1, 0.0, 1.0},
        {"input during the wait ends it", SENT_DURING, 5000, 1, 0.0, 4.0},
        {"a silent peer costs the wait only", SILENT, 150, -1, 0.1, 2.0},
        {"a zero wait is a look", SILENT, 0, -1, 0.0, 1.0},
        {"a closed peer is the end of stream", CLOSED, 5000, 0, 0.0, 1.0},
    };
    for (const Case &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Socket s(fds[0]);
        if (c.peer == SENT_BEFORE) {
            ASSERT_EQ(write(fds[1], "GET", 3), 3);
        }
        if (c.peer == CLOSED)
            close(fds[1]);
        std::thread later([&] {
            if (c.peer == SENT_DURING) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                (void)!write(fds[1], "GET", 3);
            }
        });
        auto start = Clock::now();
        ssize_t r = s.ReadWait(c.ms);
        double took = seconds_since(start);
        later.join();
        EXPECT_EQ(r > 0 ? 1 : r, c.result) << c.what;
        EXPECT_GE(took, c.at_least) << c.what;
        EXPECT_LT(took, c.at_most) << c.what;
        if (c.result > 0) {
            EXPECT_EQ(std::string(s.inbuf, s.inbuf_len), "GET") << c.what;
        }
        if (c.peer != CLOSED)
            close(fds[1]);
    }
}

TEST_F(SocketTest, BytesSentBeforeTheHangUpAreDeliveredThenEndOfStream)
{
    peer_send("tail");
    peer_close();
    char buf[16] = {};
    EXPECT_EQ(sock->Read(buf, sizeof(buf), 1), 4);
    EXPECT_EQ(std::string(buf, 4), "tail");
    EXPECT_EQ(sock->Read(buf, sizeof(buf), 1), 0);
}

TEST_F(SocketTest, ReadObserverSeesBlocksAndCanRefuseThem)
{
    struct Seen {
        std::string data;
        bool refuse = false;
    } seen;
    auto observer = [](void *arg, ssize_t len, char *buf) -> int {
        Seen *s = static_cast<Seen *>(arg);
        s->data.append(buf, (size_t)len);
        return s->refuse ? -1 : 0;
    };
    int id = sock->CallBackAdd(observer, &seen, SOCKET_EVENT_READ);
    peer_send("one");
    char buf[16];
    EXPECT_EQ(sock->Read(buf, sizeof(buf), 1), 3);
    EXPECT_EQ(seen.data, "one");

    seen.refuse = true;
    peer_send("two");
    EXPECT_EQ(sock->Read(buf, sizeof(buf), 1), -1);

    EXPECT_EQ(sock->CallBackRemove(id), 1);
    peer_send("three");
    EXPECT_EQ(sock->Read(buf, sizeof(buf), 1), 5);
    EXPECT_EQ(seen.data, "onetwo");
}

// ------------------------------------------------------------------- lines

struct LineCase {
    const char *what;
    const char *input;      // what the peer sends before closing
    ssize_t dstlen;
    ssize_t result;         // of the first GetLine
    const char *line;       // text in dst (null: not checked)
    const char *remaining;  // what stays in the input buffer
};

TEST_F(SocketTest, GetLineCases)
{
    const LineCase cases[] = {
        {"whole line kept with its newline", "GET / HTTP/1.1\r\nHost", 64, 16,
         "GET / HTTP/1.1\r\n", "Host"},
        {"line cut to dstlen - 1 characters", "abcdefgh\nnext\n", 5, 5, "abcd",
         "next\n"},
        {"cut line still leaves the buffer whole", "abcdefgh\n", 9, 9, "abcdefgh",
         ""},
        {"discarded line", "skip me\nkeep\n", -1, 0, nullptr, "keep\n"},
        {"stream ends without newline", "partial", 64, 0, nullptr, "partial"},
        {"empty line", "\nrest", 64, 1, "\n", "rest"},
    };
    for (const LineCase &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Socket s(fds[0]);
        ASSERT_EQ(write(fds[1], c.input, strlen(c.input)), (ssize_t)strlen(c.input));
        close(fds[1]);
        char dst[64];
        memset(dst, 'X', sizeof(dst));
        // With the line already buffered, discarding returns the last read's 0.
        if (c.dstlen == -1) {
            ASSERT_GT(s.Read(nullptr, -1, 1), 0) << c.what;
        }
        EXPECT_EQ(s.GetLine(c.dstlen == -1 ? nullptr : dst, c.dstlen, 1), c.result)
            << c.what;
        if (c.line != nullptr) {
            EXPECT_STREQ(dst, c.line) << c.what;
        }
        EXPECT_EQ(std::string(s.inbuf ? s.inbuf : "", s.inbuf_len), c.remaining)
            << c.what;
    }
}

// Lines taken off the input leave their room in front of the unread
// bytes; a later read takes that room back.  Whatever way a head is cut
// into reads, its lines come whole and in order, and bytes pushed back in
// front come out first.
TEST_F(SocketTest, LinesSplitAcrossReadsComeWholeWhileTheInputAreaIsReused)
{
    struct Case {
        const char *what;
        std::vector<std::string> reads;  // what the peer sends, one piece at a time
        std::vector<std::string> lines;
        std::string left;                // unread at the end
    } cases[] = {
        {"a head cut inside a line",
         {"GET / HTTP/1.1\r\nHo", "st: a\r\n\r\n"},
         {"GET / HTTP/1.1\r\n", "Host: a\r\n", "\r\n"}, ""},
        {"a line cut between CR and LF", {"A: 1\r", "\nB: 2\r\n"}, {"A: 1\r\n", "B: 2\r\n"}, ""},
        {"a partial line near the end of the area moves to its front",
         {std::string(60000, 'x') + "\npartial", std::string(10000, 'y') + "\nnext"},
         {std::string(60000, 'x') + "\n", "partial" + std::string(10000, 'y') + "\n"},
         "next"},
        {"a line that outgrows the area makes it grow",
         {"first\n" + std::string(65000, 'z'), "\nlast\n"},
         {"first\n", std::string(65000, 'z') + "\n", "last\n"}, ""},
    };
    std::vector<char> dst(100000);
    for (const Case &c : cases) {
        int fds[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
        Socket s(fds[0]);
        std::vector<std::string> got;
        for (const std::string &piece : c.reads) {
            ASSERT_EQ(write(fds[1], piece.data(), piece.size()), (ssize_t)piece.size())
                << c.what;
            ssize_t n;
            while ((n = s.GetLine(dst.data(), (ssize_t)dst.size(), 1)) > 0)
                got.emplace_back(dst.data(), (size_t)n);
        }
        EXPECT_EQ(got, c.lines) << c.what;
        EXPECT_EQ(std::string(s.inbuf ? s.inbuf : "", s.inbuf_len), c.left) << c.what;

        const std::string &last = c.lines.back();
        EXPECT_EQ(s.PushFront(last.data(), last.size()), c.left.size()) << c.what;
        ASSERT_EQ(s.GetLine(dst.data(), (ssize_t)dst.size(), 1), (ssize_t)last.size())
            << c.what;
        EXPECT_EQ(std::string(dst.data(), last.size()), last) << c.what;
        EXPECT_EQ(std::string(s.inbuf ? s.inbuf : "", s.inbuf_len), c.left) << c.what;
        close(fds[1]);
    }
}

TEST_F(SocketTest, GetLineRefusesALineLongerThanTheLimit)
{
    std::string big(SOCKET_LINE_MAX + 100, 'a');
    std::thread writer([&] {
        (void)!write(peer, big.data(), big.size());
    });
    char dst[128];
    EXPECT_EQ(sock->GetLine(dst, sizeof(dst), 2), SOCKET_LINE_TOO_LONG);
    writer.join();
    EXPECT_LT(sock->inbuf_len, (size_t)SOCKET_LINE_MAX + 2 * 65536);
}

TEST_F(SocketTest, GetLineTimesOutBeforeTheNewline)
{
    peer_send("no newline yet");
    char dst[64];
    auto start = Clock::now();
    EXPECT_EQ(sock->GetLine(dst, sizeof(dst), 1), -1);
    EXPECT_LT(seconds_since(start), 5.0);
    EXPECT_EQ(sock->inbuf_len, 14u);
}

// ------------------------------------------------------------------ writing

TEST_F(SocketTest, PutSockCutsTextToItsArea)
{
    std::string text(8192, 'p');
    EXPECT_EQ(sock->PutSock("%s", text.c_str()), 8191);
    EXPECT_EQ(sock->Flush(), 0);
    std::string got = peer_drain();
    EXPECT_EQ(got.size(), 8191u);
    EXPECT_EQ(got.find('\0'), std::string::npos);
}

TEST_F(SocketTest, WriteBehindPendingOutputIsBufferedAndObserved)
{
    // A write group of 100 bytes a second lets 10 bytes through per window,
    // so part of the first block stays pending.
    LimitGroup *group = new LimitGroup(100);
    sock->SetRate(nullptr, group);
    limitgroup_release(group);  // the socket holds the only reference now

    std::string observed;
    sock->CallBackAdd([](void *arg, ssize_t len, char *buf) -> int {
        if (len > 0)
            static_cast<std::string *>(arg)->append(buf, (size_t)len);
        return 0;
    }, &observed, SOCKET_EVENT_WRITE);

    const std::string first = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
    EXPECT_EQ(sock->Write(first.data(), 40), 10);
    EXPECT_EQ(sock->outbuf_len, 30u);
    // The next window moves 10 pending bytes; 20 are still pending, so the
    // new block is queued behind them.
    EXPECT_EQ(sock->Write("xyz", 3), 0);
    EXPECT_EQ(sock->outbuf_len, 23u);
    EXPECT_EQ(observed, first + "xyz");
    EXPECT_EQ(sock->Flush(), 0);
    EXPECT_EQ(peer_drain(), first + "xyz");
}

TEST_F(SocketTest, WriteToAPeerThatStopsReadingTimesOut)
{
    sock->SetTimeout(1);
    std::string block(65536, 'w');
    auto start = Clock::now();
    ssize_t r = 0;
    for (int i = 0; i < 1000 && r != -1; i++)
        r = sock->Write(block.data(), (ssize_t)block.size());
    EXPECT_EQ(r, -1);
    EXPECT_LT(seconds_since(start), 10.0);
    // Pending output never grows past the bound while it waits.
    EXPECT_LE(sock->outbuf_len, (size_t)SOCKET_OUTBUF_HIGH + block.size());
}

TEST_F(SocketTest, FlushReportsAPeerThatIsGone)
{
    peer_close();
    std::string block(4096, 'x');
    ssize_t r = 0;
    for (int i = 0; i < 10 && r != -1; i++)
        r = sock->Write(block.data(), (ssize_t)block.size());
    EXPECT_EQ(r, -1);
    EXPECT_EQ(sock->outbuf_len, 0u);
}

TEST_F(SocketTest, DestructionWritesPendingOutput)
{
    sock->Resize(5, 1);
    memcpy(sock->outbuf, "later", 5);
    delete sock;
    sock = nullptr;
    EXPECT_EQ(peer_drain(), "later");
}

TEST_F(SocketTest, WriteFilebufSendsTheWholeBuffer)
{
    Filebuf buf;
    std::string body(300000, 'f');
    body[123456] = 'g';
    buf.Add(body.data(), body.size());
    std::string got;
    std::thread reader([&] { got = peer_drain(); });
    EXPECT_GE(sock->WriteFilebuf(&buf), 0);
    EXPECT_EQ(sock->outbuf_len, 0u);
    reader.join();
    EXPECT_EQ(got, body);
}

// A head and a short body written while the socket holds its output leave
// in one write when it is released (one packet on a packet socket), and
// observers see each block as it is written.
TEST(SocketHoldTest, HeldOutputLeavesInOneWriteOnRelease)
{
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds), 0);
    Socket sock(fds[0]);
    std::string observed;
    sock.CallBackAdd([](void *arg, ssize_t len, char *buf) -> int {
        if (len > 0)
            static_cast<std::string *>(arg)->append(buf, (size_t)len);
        return 0;
    }, &observed, SOCKET_EVENT_WRITE);

    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1024\r\n\r\n";
    Filebuf body;
    body.Add(std::string(1024, 'b').data(), 1024);
    sock.Hold();
    EXPECT_EQ(sock.Write(head.data(), (ssize_t)head.size()), 0);
    EXPECT_EQ(sock.WriteFilebuf(&body), 0);
    EXPECT_EQ(sock.Flush(), 0);
    struct pollfd p = {fds[1], POLLIN, 0};
    EXPECT_EQ(poll(&p, 1, 0), 0) << "nothing leaves while held";
    EXPECT_EQ(observed, head + std::string(1024, 'b'));

    EXPECT_EQ(sock.Release(), 0);
    EXPECT_EQ(sock.outbuf_len, 0u);
    char got[4096];
    ssize_t n = read(fds[1], got, sizeof got);
    EXPECT_EQ(std::string(got, n > 0 ? (size_t)n : 0), head + std::string(1024, 'b'));
    close(fds[1]);
}

// A block that would take the held output past its bound ends the hold:
// what was held goes first, and nothing waits for a Release.
TEST_F(SocketTest, HoldEndsAtABlockThatDoesNotFit)
{
    std::string big(SOCKET_OUTBUF_HIGH, 'x');
    std::string got;
    std::thread reader([&] { got = peer_drain(); });
    sock->Hold();
    EXPECT_EQ(sock->Write("head", 4), 0);
    EXPECT_GE(sock->Write(big.data(), (ssize_t)big.size()), 0);
    EXPECT_FALSE(sock->held);
    EXPECT_EQ(sock->Flush(), 0);
    reader.join();
    EXPECT_EQ(got, "head" + big);
}

// ------------------------------------------------------------------ buffers

TEST_F(SocketTest, BuffersGrowAndShrinkInSteps)
{
    struct Step {
        const char *what;
        size_t len;
        size_t size;  // expected allocation after Resize
    } steps[] = {
        {"first byte allocates one step", 1, 65536},
        {"a full step fits", 65536, 65536},
        {"one byte more takes a second step", 65537, 131072},
        {"shrinking within a step keeps the allocation", 65600, 131072},
        {"shrinking by more than a step gives memory back", 10, 65536},
    };
    for (const Step &s : steps) {
        sock->Resize(s.len, 0);
        EXPECT_EQ(sock->inbuf_len, s.len) << s.what;
        EXPECT_EQ(sock->inbuf_size, s.size) << s.what;
    }
    sock->Clear(0);
    EXPECT_EQ(sock->inbuf_size, 65536u) << "a one-step buffer survives emptying";
    sock->Resize(200000, 0);
    sock->Clear(0);
    EXPECT_EQ(sock->inbuf_size, 0u) << "a larger buffer is freed";
    EXPECT_EQ(sock->inbuf, nullptr);
}

TEST_F(SocketTest, PushFrontPutsBytesBeforeTheBuffered)
{
    sock->PushFront("world", 5);
    EXPECT_EQ(sock->PushFront("hello ", 6), 5u);
    EXPECT_EQ(std::string(sock->inbuf, sock->inbuf_len), "hello world");
}

// --------------------------------------------------------------- throttling

TEST(LimitGroupTest, SocketsHoldTheirOwnReferences)
{
    LimitGroup *group = new LimitGroup(1000);
    {
        Socket s;
        s.SetRate(group, group);
        EXPECT_EQ(group->count, 3);
        s.SetRate(group, group);  // the same group again keeps it alive
        EXPECT_EQ(group->count, 3);
    }
    EXPECT_EQ(group->count, 1);
    limitgroup_release(group);
}

TEST(LimitGroupTest, QuotaIsATenthOfTheRate)
{
    LimitGroup g(100000);
    EXPECT_EQ(g.quota, 10000);
    LimitGroup slow(9);
    EXPECT_EQ(slow.quota, 0);
    pthread_mutex_lock(&atomlock);
    g.Delete();
    slow.Delete();
    pthread_mutex_unlock(&atomlock);
}

TEST_F(SocketTest, WriteGroupPacesTheTransfer)
{
    // 100,000 bytes a second: 60,000 bytes need at least five more windows
    // of 100 ms after the first.
    LimitGroup *group = new LimitGroup(100000);
    sock->SetRate(nullptr, group);
    limitgroup_release(group);
    std::string got;
    std::thread reader([&] { got = peer_drain(); });
    std::string block(6000, 't');
    auto start = Clock::now();
    for (int i = 0; i < 10; i++)
        ASSERT_NE(sock->Write(block.data(), (ssize_t)block.size()), -1);
    ASSERT_EQ(sock->Flush(), 0);
    double took = seconds_since(start);
    reader.join();
    EXPECT_EQ(got.size(), 60000u);
    EXPECT_GT(took, 0.3);
    EXPECT_LT(took, 10.0);
}

TEST(LimitGroupSharedTest, TwoSocketsShareOneBudget)
{
    // Two sockets of one 100,000 bytes/s group move 40,000 bytes each: the
    // 80,000 bytes together need several windows, not half as many.
    LimitGroup *group = new LimitGroup(100000);
    int a[2], b[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, a), 0);
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, b), 0);
    auto drain = [](int fd) {
        char buf[65536];
        while (read(fd, buf, sizeof(buf)) > 0) {
        }
    };
    std::thread ra(drain, a[1]), rb(drain, b[1]);
    auto send_all = [group](int fd) {
        Socket s(fd);
        s.SetRate(nullptr, group);
        std::string block(4000, 's');
        for (int i = 0; i < 10; i++)
            s.Write(block.data(), (ssize_t)block.size());
        s.Flush();
    };
    auto start = Clock::now();
    std::thread wa(send_all, a[0]), wb(send_all, b[0]);
    wa.join();
    wb.join();
    double took = seconds_since(start);
    ra.join();
    rb.join();
    close(a[1]);
    close(b[1]);
    limitgroup_release(group);
    EXPECT_GT(took, 0.4);
    EXPECT_LT(took, 10.0);
}

}  // namespace
