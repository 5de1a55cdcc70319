// The antivirus daemons' exchanges: reply parsers fed tables of replies,
// scripted Kaspersky, Sophie and F-Prot daemons that answer, close, stall
// or talk nonsense, and Debian's clamd with a test signature database.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "filters/clamav.h"
#include "filters/fprot.h"
#include "filters/kaspersky.h"
#include "filters/sophie.h"
#include "fixture.h"
#include "peer.h"

extern char **environ;

namespace {

const std::string EICAR =
    "X5O!P%@AP[4\\PZX54(P^)7CC)7}$EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";

class TempDir {
public:
    TempDir()
    {
        char templ[] = "/tmp/kvavXXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir() { EXPECT_EQ(0, system(("rm -rf " + path).c_str())); }
    // Entries other than those named in keep.
    std::vector<std::string> entries(const std::vector<std::string> &keep = {}) const
    {
        std::vector<std::string> out;
        DIR *dir = opendir(path.c_str());
        while (struct dirent *e = readdir(dir)) {
            std::string n = e->d_name;
            if (n != "." && n != ".." && std::find(keep.begin(), keep.end(), n) == keep.end())
                out.push_back(n);
        }
        closedir(dir);
        return out;
    }
    std::string path;
};

AvTimeouts short_timeouts()
{
    AvTimeouts t;
    t.connect = 2;
    t.io = 1;
    return t;
}

// Holds a connection silent past the client's time-out.
void stall(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (std::chrono::steady_clock::now() < until) {
        char b[256];
        if (poll(&p, 1, 100) > 0 && read(fd, b, sizeof(b)) <= 0)
            return;
    }
}

class AntivirusTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        // As in the proxy: a peer that closed early is a failed write, not
        // the end of the process.
        signal(SIGPIPE, SIG_IGN);
    }
};

TEST_F(AntivirusTest, ClamdRepliesGiveVerdicts)
{
    struct {
        const char *reply;
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"stream: OK", AV_CLEAN, ""},
        {"stream: Eicar-Test-Signature FOUND", AV_VIRUS, "Eicar-Test-Signature"},
        {"stream: Win.Test.EICAR_HDB-1 FOUND\n", AV_VIRUS, "Win.Test.EICAR_HDB-1"},
        {"INSTREAM size limit exceeded. ERROR", AV_FAILED, ""},
        {"stream: lstat() failed: No such file. ERROR", AV_FAILED, ""},
        {"stream:  FOUND", AV_FAILED, ""},
        {"stream: FOUND", AV_FAILED, ""},
        {"stream: OKAY", AV_FAILED, ""},
        {"", AV_FAILED, ""},
        {"PORT 1234", AV_FAILED, ""},
    };
    for (const auto &c : cases) {
        AvResult r = clamav_reply_parse(c.reply);
        EXPECT_EQ(c.verdict, r.verdict) << c.reply;
        EXPECT_EQ(c.name, r.name) << c.reply;
    }
}

TEST_F(AntivirusTest, KasperskyLinesDecideInOrder)
{
    struct {
        std::vector<std::string> lines;
        AvVerdict verdict;
        const char *name;
        size_t used;   // lines read up to the one that decided
    } cases[] = {
        {{"201 hello", "321 skip", "325 skip", "220 clean"}, AV_CLEAN, "", 4},
        {{"322 EICAR-Test-File /tmp/kv1", "230 infected"}, AV_VIRUS, "EICAR-Test-File", 2},
        {{"322 First x", "322 Second y", "230 infected"}, AV_VIRUS, "Second", 3},
        {{"230 infected"}, AV_VIRUS, "", 1},
        {{"999 what"}, AV_FAILED, "", 1},
        {{"garbage"}, AV_FAILED, "", 1},
    };
    for (const auto &c : cases) {
        AvResult r;
        std::string name;
        size_t used = 0;
        for (const auto &line : c.lines) {
            used++;
            if (kaspersky_line_parse(line, &name, &r))
                break;
        }
        EXPECT_EQ(c.verdict, r.verdict) << c.lines.back();
        EXPECT_EQ(c.name, r.name) << c.lines.back();
        EXPECT_EQ(c.used, used) << c.lines.back();
    }
}

TEST_F(AntivirusTest, SophieRepliesGiveVerdicts)
{
    struct {
        const char *line;
        bool tcp;
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"0", false, AV_CLEAN, ""},
        {"1:EICAR", false, AV_VIRUS, "EICAR"},
        {"1", false, AV_VIRUS, ""},
        {"-1:error", false, AV_FAILED, ""},
        {"-2", false, AV_FAILED, ""},
        {"-2", true, AV_FAILED, ""},
        {"OK", true, AV_FAILED, ""},
        {"", false, AV_FAILED, ""},
        {"x", false, AV_FAILED, ""},
    };
    for (const auto &c : cases) {
        AvResult r = sophie_reply_parse(c.line, c.tcp);
        EXPECT_EQ(c.verdict, r.verdict) << c.line;
        EXPECT_EQ(c.name, r.name) << c.line;
    }
}

TEST_F(AntivirusTest, FprotReportsGiveVerdicts)
{
    struct {
        const char *xml;
        AvVerdict verdict;
        const char *name;
        bool named;
    } cases[] = {
        {"<fprot-results><summary>clean</summary></fprot-results>", AV_CLEAN, "", false},
        {"<fprot-results><summary>InFeCtEd</summary><detected><name>EICAR_Test_File</name>"
         "</detected></fprot-results>",
         AV_VIRUS, "EICAR_Test_File", true},
        {"<fprot-results><summary>infected</summary></fprot-results>", AV_VIRUS, "unknown",
         false},
        {"<fprot-results><summary>infected</summary><detected><name></name></detected>"
         "</fprot-results>",
         AV_VIRUS, "", false},
        {"<?xml version=\"1.0\"?><!DOCTYPE fprot-results [<!ELEMENT summary (#PCDATA)>]>"
         "<fprot-results><summary>infected</summary><detected><name>V</name></detected>"
         "</fprot-results>",
         AV_VIRUS, "V", true},
        {"<fprot-results><other/></fprot-results>", AV_FAILED, "", false},
        {"<results><summary>infected</summary></results>", AV_FAILED, "", false},
        {"not xml at all <", AV_FAILED, "", false},
        {"", AV_FAILED, "", false},
    };
    for (const auto &c : cases) {
        bool named = true;
        AvResult r = fprot_report_parse(c.xml, &named);
        EXPECT_EQ(c.verdict, r.verdict) << c.xml;
        EXPECT_EQ(c.name, r.name) << c.xml;
        EXPECT_EQ(c.named, named) << c.xml;
    }
}

TEST_F(AntivirusTest, FprotOptionsInBitOrder)
{
    EXPECT_EQ("", fprot_options(0, 5));
    EXPECT_EQ("-archive=5%20-onlymacro%20", fprot_options(FPROT_ARCHIVE | FPROT_ONLYMACRO, 5));
    EXPECT_EQ("-archive=2%20-packed%20-ai%20-noheur%20-nomacro%20-onlymacro%20",
              fprot_options(0x3f, 2));
}

// What each scripted Kaspersky daemon answers after reading the SCAN line.
struct KasperskyCase {
    const char *what;
    std::function<void(int)> reply;
    AvVerdict verdict;
    const char *name;
};

TEST_F(AntivirusTest, KasperskyExchangeEndsAndRemovesItsFile)
{
    TempDir dir;
    std::string seen;
    KasperskyCase cases[] = {
        {"clean", [](int fd) { peer_write(fd, "201 ok\r\n220 clean\r\n"); }, AV_CLEAN, ""},
        {"infected",
         [](int fd) { peer_write(fd, "321 x\r\n322 EICAR-Test-File /tmp/f\r\n230 found\r\n"); },
         AV_VIRUS, "EICAR-Test-File"},
        {"closed", [](int fd) { peer_write(fd, "201 ok\r\n"); }, AV_FAILED, ""},
        {"garbage", [](int fd) { peer_write(fd, "hello there\r\n"); }, AV_FAILED, ""},
        {"stall", stall, AV_FAILED, ""},
    };
    for (auto &c : cases) {
        std::string sock = dir.path + "/kav.sock";
        ScriptedPeer peer(sock, [&](int fd) {
            seen = peer_read_line(fd);
            c.reply(fd);
        });
        AvResult r = kaspersky_scan(sock, dir.path, EICAR.data(), EICAR.size(), short_timeouts());
        peer.Stop();
        EXPECT_EQ(c.verdict, r.verdict) << c.what;
        EXPECT_EQ(c.name, r.name) << c.what;
        EXPECT_EQ(0u, seen.find("SCAN xmQPRSTUWabcdefghi " + dir.path + "/kv")) << seen;
        EXPECT_EQ(std::vector<std::string>{}, dir.entries({"kav.sock"})) << c.what;
    }
    // No daemon at all.
    AvResult r = kaspersky_scan(dir.path + "/none.sock", dir.path, "x", 1, short_timeouts());
    EXPECT_EQ(AV_FAILED, r.verdict);
}

TEST_F(AntivirusTest, SophieLocalSocketGetsThePathOfAReadableCopy)
{
    TempDir dir;
    struct {
        const char *what;
        const char *reply;   // null: stall
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"clean", "0\n", AV_CLEAN, ""},
        {"infected", "1:EICAR-AV-Test\n", AV_VIRUS, "EICAR-AV-Test"},
        {"error", "-1:failed\n", AV_FAILED, ""},
        {"closed", "", AV_FAILED, ""},
        {"garbage", "what?\n", AV_FAILED, ""},
        {"stall", nullptr, AV_FAILED, ""},
    };
    for (const auto &c : cases) {
        std::string sock = dir.path + "/sophie.sock";
        std::string content;
        mode_t mode = 0;
        ScriptedPeer peer(sock, [&](int fd) {
            std::string line = peer_read_line(fd);
            std::string path = line.substr(0, line.size() - 1);
            std::ifstream in(path);
            content.assign(std::istreambuf_iterator<char>(in), {});
            struct stat st;
            if (stat(path.c_str(), &st) == 0)
                mode = st.st_mode & 0777;
            if (c.reply)
                peer_write(fd, c.reply);
            else
                stall(fd);
        });
        AvResult r = sophie_scan(sock, 0, dir.path, EICAR.data(), EICAR.size(), short_timeouts());
        peer.Stop();
        EXPECT_EQ(c.verdict, r.verdict) << c.what;
        EXPECT_EQ(c.name, r.name) << c.what;
        EXPECT_EQ(EICAR, content) << c.what;
        EXPECT_EQ(0644u, mode) << c.what;
        EXPECT_EQ(std::vector<std::string>{}, dir.entries({"sophie.sock"})) << c.what;
    }
}

TEST_F(AntivirusTest, SophieOverTcpSendsNameSizeAndBytes)
{
    TempDir dir;
    struct {
        const char *what;
        const char *ok;
        const char *verdict_line;   // null: stall after the bytes
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"clean", "OK\n", "0\n", AV_CLEAN, ""},
        {"infected", "OK\n", "1:EICAR\n", AV_VIRUS, "EICAR"},
        {"error", "OK\n", "-1\n", AV_FAILED, ""},
        {"no OK", "NO\n", "", AV_FAILED, ""},
        {"stall", "OK\n", nullptr, AV_FAILED, ""},
    };
    for (const auto &c : cases) {
        std::string request, body;
        ScriptedPeer peer([&](int fd) {
            request = peer_read_line(fd);
            peer_write(fd, c.ok);
            size_t slash = request.rfind('/');
            size_t size = slash == std::string::npos ? 0 : std::stoul(request.substr(slash + 1));
            body.clear();
            char b[512];
            while (body.size() < size) {
                ssize_t n = read(fd, b, std::min(sizeof(b), size - body.size()));
                if (n <= 0)
                    break;
                body.append(b, (size_t)n);
            }
            if (c.verdict_line)
                peer_write(fd, c.verdict_line);
            else
                stall(fd);
        });
        AvResult r = sophie_scan("127.0.0.1", peer.port, dir.path, EICAR.data(), EICAR.size(),
                                 short_timeouts());
        peer.Stop();
        EXPECT_EQ(c.verdict, r.verdict) << c.what;
        EXPECT_EQ(c.name, r.name) << c.what;
        EXPECT_EQ(0u, request.find("kv")) << request;
        EXPECT_NE(std::string::npos, request.find("/" + std::to_string(EICAR.size()) + "\n"));
        if (std::string(c.ok) == "OK\n") {
            EXPECT_EQ(EICAR, body) << c.what;
        }
        EXPECT_EQ(std::vector<std::string>{}, dir.entries()) << c.what;
    }
}

TEST_F(AntivirusTest, TemporaryPathTooLongFailsTheScan)
{
    TempDir dir;
    std::string deep = dir.path + "/" + std::string(60, 'd');
    ASSERT_EQ(0, mkdir(deep.c_str(), 0700));
    int asked = 0;
    ScriptedPeer peer(dir.path + "/kav.sock", [&](int fd) {
        asked++;
        peer_read_line(fd);
        peer_write(fd, "220 clean\r\n");
    });
    EXPECT_EQ(AV_FAILED,
              kaspersky_scan(dir.path + "/kav.sock", deep, "x", 1, short_timeouts()).verdict);
    peer.Stop();
    DIR *d = opendir(deep.c_str());
    int left = 0;
    while (struct dirent *e = readdir(d))
        left += e->d_name[0] != '.';
    closedir(d);
    EXPECT_EQ(0, left);
}

TEST_F(AntivirusTest, FprotAsksPortsInOrderUntilOneAnswers)
{
    TempDir dir;
    // The peer thread and the test share the request line and the answer
    // under a mutex: a scan may end before the peer has finished writing.
    std::mutex shared;
    std::string target;
    std::string answer;   // written whole, then the daemon closes
    ScriptedPeer daemon([&](int fd) {
        std::string line = peer_read_line(fd);
        std::string reply;
        {
            std::lock_guard<std::mutex> hold(shared);
            target = line;
            reply = answer;
        }
        while (peer_read_line(fd).size() > 2) {
        }
        peer_write(fd, reply);
    });
    // Three ports where nothing listens come first.
    std::vector<int> ports;
    for (int i = 0; i < 3; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        struct sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, (struct sockaddr *)&sin, sizeof(sin));
        socklen_t len = sizeof(sin);
        getsockname(fd, (struct sockaddr *)&sin, &len);
        ports.push_back(ntohs(sin.sin_port));
        close(fd);
    }
    ports.push_back(daemon.port);
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: text/xml\r\n\r\n";
    struct {
        const char *what;
        std::string answer;
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"infected",
         head + "<fprot-results><summary>infected</summary><detected><name>EICAR</name>"
                "</detected></fprot-results>",
         AV_VIRUS, "EICAR"},
        {"clean", head + "<fprot-results><summary>clean</summary></fprot-results>", AV_CLEAN,
         ""},
        {"garbage", head + "<garbage", AV_FAILED, ""},
        // Closes early: before a byte, within the head, and within a
        // report that would have said clean.
        {"closed at once", "", AV_FAILED, ""},
        {"closed in the head", "HTTP/1.0 200 OK\r\nContent-Ty", AV_FAILED, ""},
        {"closed in the report", head + "<fprot-results><summary>clean</summary>", AV_FAILED,
         ""},
    };
    for (const auto &c : cases) {
        {
            std::lock_guard<std::mutex> hold(shared);
            answer = c.answer;
        }
        AvResult r = fprot_scan(ports, dir.path, fprot_options(FPROT_ARCHIVE, 5), EICAR.data(),
                                EICAR.size(), short_timeouts());
        EXPECT_EQ(c.verdict, r.verdict) << c.what;
        EXPECT_EQ(c.name, r.name) << c.what;
        std::string asked;
        {
            std::lock_guard<std::mutex> hold(shared);
            asked = target;
        }
        EXPECT_EQ(0u, asked.find("GET " + dir.path + "/kv")) << asked;
        EXPECT_NE(std::string::npos, asked.find("?-archive=5%20-remote-dtd%20 HTTP/1.0"))
            << asked;
        EXPECT_EQ(std::vector<std::string>{}, dir.entries());
    }
    // Every port silent, or stalled past the time-out: no verdict.
    ScriptedPeer staller(stall);
    std::vector<int> silent = {ports[0], staller.port};
    EXPECT_EQ(AV_FAILED, fprot_scan(silent, dir.path, "", "x", 1, short_timeouts()).verdict);
    EXPECT_EQ(std::vector<std::string>{}, dir.entries());
}

// clamd from Debian's clamav-daemon with a database of one signature: the
// EICAR test string.  Its own configuration, sockets and log live in a
// temporary directory; no signature download ever happens.
class Clamd {
public:
    Clamd(const std::string &dir, size_t stream_max) : dir(dir)
    {
        std::string hex;
        char b[3];
        for (unsigned char c : EICAR) {
            snprintf(b, sizeof(b), "%02x", c);
            hex += b;
        }
        std::ofstream(dir + "/test.ndb") << "Eicar-Test-Signature:0:0:" << hex << "\n";
        socket = dir + "/clamd.sock";
        {
            ScriptedPeer probe([](int) {});
            port = probe.port;   // free a moment ago
        }
        std::ofstream(dir + "/clamd.conf")
            << "Foreground yes\nLocalSocket " << socket << "\nTCPSocket " << port
            << "\nTCPAddr 127.0.0.1\nDatabaseDirectory " << dir << "\nLogFile " << dir
            << "/clamd.log\nStreamMaxLength " << stream_max << "\n";
        std::string conf = dir + "/clamd.conf";
        char *argv[] = {(char *)CLAMD, (char *)"-c", (char *)conf.c_str(), nullptr};
        // Its chatter goes to a file beside its log, not into the test's output.
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        std::string out = dir + "/clamd.out";
        posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        if (posix_spawn(&pid, CLAMD, &actions, nullptr, argv, environ) != 0)
            pid = -1;
        posix_spawn_file_actions_destroy(&actions);
    }
    ~Clamd() { Stop(); }
    // Whether clamd answers on its local socket within a minute.
    bool Ready()
    {
        for (int i = 0; i < 600 && pid > 0; i++) {
            int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
            struct sockaddr_un sun{};
            sun.sun_family = AF_UNIX;
            strncpy(sun.sun_path, socket.c_str(), sizeof(sun.sun_path) - 1);
            bool up = connect(fd, (struct sockaddr *)&sun, sizeof(sun)) == 0;
            close(fd);
            if (up)
                return true;
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return false;
    }
    void Stop()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
            pid = -1;
        }
    }
    static constexpr const char *CLAMD = "/usr/sbin/clamd";
    std::string dir, socket;
    int port = 0;
    pid_t pid = -1;
};

TEST_F(AntivirusTest, ClamdScansOverItsLocalSocketAndTcp)
{
    if (access(Clamd::CLAMD, X_OK) != 0)
        GTEST_SKIP() << "clamd is not installed";
    TempDir dir;
    Clamd clamd(dir.path, 100 * 1024);
    ASSERT_TRUE(clamd.Ready());
    std::string big(300 * 1024, 'a');   // over the daemon's stream limit
    struct {
        const char *what;
        const std::string *body;
        AvVerdict verdict;
        const char *name;
    } cases[] = {
        {"eicar", &EICAR, AV_VIRUS, "Eicar-Test-Signature.UNOFFICIAL"},
        {"over the size limit", &big, AV_FAILED, ""},
    };
    std::string small = "just some text\n";
    std::string empty;
    for (const std::string &address : {clamd.socket, std::string("127.0.0.1")}) {
        for (const auto &c : cases) {
            AvResult r = clamav_scan(address, clamd.port, c.body->data(), c.body->size(),
                                     short_timeouts());
            EXPECT_EQ(c.verdict, r.verdict) << c.what << " via " << address;
            EXPECT_EQ(c.name, r.name) << c.what << " via " << address;
        }
        EXPECT_EQ(AV_CLEAN, clamav_scan(address, clamd.port, small.data(), small.size(),
                                        short_timeouts()).verdict);
        EXPECT_EQ(AV_CLEAN, clamav_scan(address, clamd.port, empty.data(), 0,
                                        short_timeouts()).verdict);
    }
    // Stopped: every scan fails, over both ways.
    clamd.Stop();
    EXPECT_EQ(AV_FAILED, clamav_scan(clamd.socket, 0, EICAR.data(), EICAR.size(),
                                     short_timeouts()).verdict);
    EXPECT_EQ(AV_FAILED, clamav_scan("127.0.0.1", clamd.port, EICAR.data(), EICAR.size(),
                                     short_timeouts()).verdict);
}

TEST_F(AntivirusTest, ClamdStalledOrTalkingNonsenseIsAFailure)
{
    TempDir dir;
    struct {
        const char *what;
        std::function<void(int)> reply;
    } cases[] = {
        {"stall", stall},
        {"closed", [](int fd) { peer_read_all(fd, 1); }},
        {"garbage", [](int fd) { peer_write(fd, std::string("PORT 1234\0", 10)); }},
        {"cut short", [](int fd) { peer_write(fd, "stream: OK"); }},
    };
    for (const auto &c : cases) {
        std::string command;
        ScriptedPeer peer(dir.path + "/clamd.sock", [&](int fd) {
            char b[10];
            ssize_t n = read(fd, b, sizeof(b));
            command.assign(b, n > 0 ? (size_t)n : 0);
            c.reply(fd);
        });
        auto start = std::chrono::steady_clock::now();
        AvResult r = clamav_scan(dir.path + "/clamd.sock", 0, "x", 1, short_timeouts());
        peer.Stop();
        EXPECT_EQ(AV_FAILED, r.verdict) << c.what;
        EXPECT_EQ(std::string("zINSTREAM\0", 10), command) << c.what;
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << c.what;
    }
}

}  // namespace
