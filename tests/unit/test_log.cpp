// The native log: line format, where each category goes, the ring, and
// rotation of the log file.
#include "runtime/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <chrono>
#include <unistd.h>
#include <vector>

#include "engine/global.h"
#include "runtime/thread.h"
#include "fixture.h"

namespace {

// Gives each test the default settings, an empty ring in `global` and a
// temporary directory; puts the process's settings back afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        record.logbuffer = logbuffer_new();
        global = &record;
        loglevel = LOGLEVEL_DEFAULT;
        daemonize = 1;
        logfile[0] = '\0';
        char dir[] = "/tmp/kv-log-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        log_path = directory + "/kelvarine.log";
    }
    void TearDown() override
    {
        if (logfd != -1)
            close(logfd);
        logfd = -1;
        logflg = slogflg = elogflg = 0;
        logfile[0] = '\0';
        loglevel = LOGLEVEL_DEFAULT;
        daemonize = 1;
        global = nullptr;
        ring_free(record.logbuffer);
        std::string command = "rm -rf '" + directory + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    void use_log_file(const std::string &path)
    {
        snprintf(logfile, sizeof logfile, "%s", path.c_str());
    }

    // What `action` writes on standard output.
    std::string standard_output(const std::function<void()> &action)
    {
        std::string capture = directory + "/stdout";
        fflush(stdout);
        int saved = dup(STDOUT_FILENO);
        int fd = open(capture.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0600);
        dup2(fd, STDOUT_FILENO);
        close(fd);
        action();
        fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::string text = file_text(capture);
        unlink(capture.c_str());
        return text;
    }

    // Lines of the ring, newest first; checks that the links agree both ways.
    std::vector<std::string> ring() const
    {
        std::vector<std::string> forward, backward;
        for (LOGBUFFER_NODE *node = record.logbuffer->head; node; node = node->next)
            forward.push_back(node->text);
        for (LOGBUFFER_NODE *node = record.logbuffer->tail; node; node = node->previous)
            backward.insert(backward.begin(), node->text);
        EXPECT_EQ(forward, backward);
        EXPECT_EQ(static_cast<int>(forward.size()), record.logbuffer->count);
        return forward;
    }

    GLOBAL_T record{};
    std::string directory;
    std::string log_path;
};

TEST_F(LogTest, LineFormat)
{
    daemonize = 0;
    time_t before = time(nullptr);
    std::string out = standard_output([] { putlog(LOG_CACHE, "hello %d", 42); });
    time_t after = time(nullptr);

    std::smatch m;
    std::regex line("^([0-9]{4}) ([0-9]{2}) ([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2}) "
                    "\\[0\\] cache: hello 42\n$");
    ASSERT_TRUE(std::regex_match(out, m, line)) << out;
    struct tm local = {};
    local.tm_year = std::stoi(m[1]) - 1900;
    local.tm_mon = std::stoi(m[2]) - 1;
    local.tm_mday = std::stoi(m[3]);
    local.tm_hour = std::stoi(m[4]);
    local.tm_min = std::stoi(m[5]);
    local.tm_sec = std::stoi(m[6]);
    local.tm_isdst = -1;
    time_t logged = mktime(&local);
    EXPECT_GE(logged, before);
    EXPECT_LE(logged, after);
}

TEST_F(LogTest, ClientIdComesFromTheThreadRow)
{
    threads_init(); // this thread becomes row 0
    thread_set_clientid(7);
    putlog(LOG_REQUEST, "served");
    thread_set_clientid(0);
    ASSERT_EQ(ring().size(), 1u);
    EXPECT_NE(ring()[0].find(" [7] request: served"), std::string::npos) << ring()[0];
}

TEST_F(LogTest, EveryCategoryHasItsPrefix)
{
    struct Case {
        int category;
        const char *prefix;
    } cases[] = {
        {LOG_ADVICE, "advice: "},
        {0x1, "request: "},         {0x2, "network: "},
        {0x4, "url filter: "},      {0x8, "header: "},
        {0x10, "mime filter: "},    {0x20, "cookie filter: "},
        {0x40, "redirect: "},       {0x80, "template: "},
        {0x100, "keyword filter: "}, {0x200, "rewriting: "},
        {0x400, "limits: "},        {0x800, "cache: "},
        {0x1000, "prefetch: "},     {0x2000, "ICP: "},
        {0x4000, "forwarding: "},   {0x8000, "sync: "},
        {0x10000, "antivirus: "},   {0x20000, "external: "},
        {0x40000, "ICAP: "},        {0x80000, "dnsbl: "},
        {0x100000, "URL blacklist: "}, {0x200000, "URL command: "},
        {0x400000, "module: "},     {0x800000, "security: "},
        {0x1000000, "warning: "},   {0x2000000, "error: "},
        {0x4000000, "profiles: "},  {0x8000000, "debug: "},
        {0x10000000, "verify: "},
        {LOG_CACHE | LOG_ICP, ""},  // not one category: no prefix
    };
    daemonize = 0;
    loglevel = 0x1FFFFFFF;
    for (const Case &c : cases) {
        std::string out = standard_output([&] { putlog(c.category, "text"); });
        std::string tail = std::string("] ") + c.prefix + "text\n";
        ASSERT_GE(out.size(), tail.size()) << std::hex << c.category;
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << std::hex << c.category;
    }
}

TEST_F(LogTest, CategoryMaskDecidesWhereALineGoes)
{
    struct Case {
        const char *name;
        int category;
        int mask;
        bool ring, out, file;
    } cases[] = {
        {"debug, default mask", LOG_DEBUG, LOGLEVEL_DEFAULT, false, false, false},
        {"debug, debug bit set", LOG_DEBUG, LOGLEVEL_DEFAULT | LOG_DEBUG, false, true, true},
        {"verify, default mask", LOG_VERIFY, LOGLEVEL_DEFAULT, true, false, false},
        {"advice, empty mask", LOG_ADVICE, 0, true, true, true},
        {"error, default mask", LOG_ERROR, LOGLEVEL_DEFAULT, true, true, true},
        {"error, masked out", LOG_ERROR, LOGLEVEL_DEFAULT & ~LOG_ERROR, true, false, false},
    };
    daemonize = 0;
    use_log_file(log_path);
    for (const Case &c : cases) {
        loglevel = c.mask;
        logbuffer_clear(record.logbuffer);
        size_t file_before = file_text(log_path).size();
        std::string out = standard_output([&] { putlog(c.category, "%s", c.name); });
        std::string file = file_text(log_path).substr(file_before);

        EXPECT_EQ(ring().size(), c.ring ? 1u : 0u) << c.name;
        EXPECT_EQ(out.find(c.name) != std::string::npos, c.out) << c.name;
        EXPECT_EQ(file.find(c.name) != std::string::npos, c.file) << c.name;
        if (c.out && c.file) {
            EXPECT_EQ(out, file) << c.name;
        }
    }

    // In the background nothing reaches standard output.
    daemonize = 1;
    loglevel = LOGLEVEL_DEFAULT;
    EXPECT_EQ(standard_output([] { putlog(LOG_ADVICE, "quiet"); }), "");

    // Without a path no file is opened, while the ring goes on.
    close(logfd);
    logfd = -1;
    logfile[0] = '\0';
    putlog(LOG_ERROR, "nowhere");
    EXPECT_EQ(logfd, -1);
    EXPECT_NE(ring()[0].find("nowhere"), std::string::npos);
}

TEST_F(LogTest, LongMessageIsCutToTheLineLimit)
{
    daemonize = 0;
    use_log_file(log_path);
    std::string message(10000, 'x');
    std::string out = standard_output([&] { putlog(LOG_ERROR, "%s", message.c_str()); });

    EXPECT_EQ(out.size(), 8192u);
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(out.find('\n'), 8191u);
    EXPECT_EQ(file_text(log_path), out);
    ASSERT_EQ(ring().size(), 1u);
    EXPECT_EQ(ring()[0], out.substr(0, 8191));
}

TEST_F(LogTest, MessageEndingInNewlineGetsNoSecond)
{
    daemonize = 0;
    std::string out = standard_output([] { putlog(LOG_ERROR, "done\n"); });
    ASSERT_GE(out.size(), 6u);
    EXPECT_EQ(out.substr(out.size() - 6), " done\n");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1);
    // The ring keeps the message's own newline, and adds none to the others.
    putlog(LOG_ERROR, "plain");
    EXPECT_EQ(ring()[1].back(), '\n');
    EXPECT_NE(ring()[0].back(), '\n');
}

TEST_F(LogTest, RotationRenamesTheFileAfterTheLinesTime)
{
    use_log_file(log_path);
    putlog(LOG_ERROR, "before rotation");
    time_t before = time(nullptr);
    logrotate();
    putlog(LOG_ERROR, "after rotation");
    time_t after = time(nullptr);

    std::vector<std::string> names = directory_entries(directory);
    ASSERT_EQ(names.size(), 2u);
    std::string rotated = names[0] == "kelvarine.log" ? names[1] : names[0];
    std::smatch m;
    ASSERT_TRUE(std::regex_match(rotated, m, std::regex("^([0-9]{14})-kelvarine\\.log$")))
        << rotated;
    EXPECT_GE(m[1].str(), stamp(before));
    EXPECT_LE(m[1].str(), stamp(after));

    std::string old_file = file_text(directory + "/" + rotated);
    std::string new_file = file_text(log_path);
    EXPECT_NE(old_file.find("error: before rotation\n"), std::string::npos) << old_file;
    EXPECT_NE(old_file.find("advice: Recieved Signal for Log Rotation\n"),
              std::string::npos)
        << old_file;
    EXPECT_EQ(new_file.find("before"), std::string::npos) << new_file;
    EXPECT_NE(new_file.find("error: after rotation\n"), std::string::npos) << new_file;
    EXPECT_EQ(logflg, 0);
}

TEST_F(LogTest, RotationMarkWaitsForAnOpenFile)
{
    // A mark raised before the file was ever opened: the first line opens
    // it and the mark stays for the next line, which rotates.
    logrotate(); // logged before the path is set
    use_log_file(log_path);
    putlog(LOG_ERROR, "first");
    EXPECT_EQ(logflg, -1);
    EXPECT_EQ(directory_entries(directory).size(), 1u);
    putlog(LOG_ERROR, "second");
    EXPECT_EQ(logflg, 0);
    EXPECT_EQ(directory_entries(directory).size(), 2u);
    EXPECT_EQ(file_text(log_path).find("first"), std::string::npos);
}

TEST_F(LogTest, PathWithoutSlashKeepsGrowing)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(directory.c_str()), 0);
    use_log_file("plain.log");
    putlog(LOG_ERROR, "one");
    logrotate();
    putlog(LOG_ERROR, "two");
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(directory_entries(directory), std::vector<std::string>{"plain.log"});
    std::string text = file_text(directory + "/plain.log");
    EXPECT_LT(text.find("error: one\n"), text.find("error: two\n")) << text;
    EXPECT_NE(text.find("error: two\n"), std::string::npos) << text;
}

TEST_F(LogTest, LinesOfConcurrentThreadsStayWholeAcrossRotations)
{
    // Long lines from several threads while the log rotates: every line
    // lands whole, once, in one of the files, and the ring holds whole
    // lines only.
    use_log_file(log_path);
    logbuffer_resize(record.logbuffer, 50);
    const int writers = 6;
    const int lines = 150;
    const size_t body = 3000;
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back([t, lines, body] {
            std::string fill(body, static_cast<char>('a' + t));
            for (int n = 0; n < lines; n++)
                putlog(LOG_WARNING, "t%d n%d %s", t, n, fill.c_str());
        });
    for (int r = 0; r < 3; r++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        logrotate();
    }
    for (std::thread &thread : threads)
        thread.join();

    // A line is "<stamp> [0] warning: t<t> n<n> <body letters of t>".
    auto check = [body](const std::string &line, int *t, int *n) {
        size_t at = line.find(" [0] warning: t");
        if (at == std::string::npos)
            return false;
        char letter = 0;
        int used = 0;
        std::string rest = line.substr(at + 15);
        if (sscanf(rest.c_str(), "%d n%d %n", t, n, &used) != 2 || used == 0)
            return false;
        letter = static_cast<char>('a' + *t);
        return rest.size() - used == body &&
               rest.find_first_not_of(letter, used) == std::string::npos;
    };
    std::vector<std::vector<int>> seen(writers, std::vector<int>(lines, 0));
    for (const std::string &name : directory_entries(directory)) {
        std::istringstream text(file_text(directory + "/" + name));
        std::string line;
        while (std::getline(text, line)) {
            if (line.find("advice: Recieved Signal for Log Rotation") != std::string::npos)
                continue;
            int t = -1, n = -1;
            ASSERT_TRUE(check(line, &t, &n)) << name << ": " << line.substr(0, 120);
            ASSERT_TRUE(t >= 0 && t < writers && n >= 0 && n < lines) << line.substr(0, 80);
            seen[t][n]++;
        }
    }
    for (int t = 0; t < writers; t++)
        for (int n = 0; n < lines; n++)
            EXPECT_EQ(seen[t][n], 1) << "thread " << t << " line " << n;
    std::vector<std::string> kept = ring();
    EXPECT_EQ(kept.size(), 50u);
    for (const std::string &line : kept) {
        int t, n;
        EXPECT_TRUE(check(line, &t, &n) ||
                    line.find("Recieved Signal") != std::string::npos)
            << line.substr(0, 120);
    }
}

TEST_F(LogTest, LinesOfManyThreadsReachASlowReaderWholeAndInOrder)
{
    // Standard output is a pipe read slowly, so that lines queue behind the
    // write in progress, past the queue's bound: every line still arrives
    // whole and once, each thread's lines in the order it logged them.
    daemonize = 0;
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    fflush(stdout);
    int saved = dup(STDOUT_FILENO);
    dup2(pipe_fds[1], STDOUT_FILENO);
    close(pipe_fds[1]);
    std::string received;
    std::thread reader([&] {
        char buf[4096];
        ssize_t n;
        while ((n = read(pipe_fds[0], buf, sizeof buf)) > 0) {
            received.append(buf, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    const int writers = 4;
    const int lines = 400;
    const std::string fill(700, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back([t, lines, &fill] {
            for (int n = 0; n < lines; n++)
                putlog(LOG_WARNING, "t%d n%d %s", t, n, fill.c_str());
        });
    for (std::thread &thread : threads)
        thread.join();
    log_drain();
    dup2(saved, STDOUT_FILENO);
    close(saved);
    reader.join();
    close(pipe_fds[0]);

    std::vector<int> next(writers, 0);
    std::istringstream text(received);
    std::string line;
    while (std::getline(text, line)) {
        int t = -1, n = -1, used = 0;
        size_t at = line.find("] warning: t");
        ASSERT_NE(at, std::string::npos) << line.substr(0, 80);
        ASSERT_EQ(sscanf(line.c_str() + at + 12, "%d n%d %n", &t, &n, &used), 2)
            << line.substr(0, 80);
        ASSERT_TRUE(t >= 0 && t < writers) << line.substr(0, 80);
        EXPECT_EQ(line.substr(at + 12 + used), fill) << line.substr(0, 80);
        EXPECT_EQ(n, next[t]) << "thread " << t;
        next[t] = n + 1;
    }
    for (int t = 0; t < writers; t++)
        EXPECT_EQ(next[t], lines) << "thread " << t;
}

// --------------------------------------------------------------- the ring

TEST_F(LogTest, RingKeepsTheNewestLines)
{
    LOGBUFFER *ring_ = record.logbuffer;
    EXPECT_EQ(ring_->max, 1000);
    logbuffer_resize(ring_, 3);
    for (const char *line : {"1", "2", "3", "4", "5"})
        logbuffer_add(ring_, line);
    EXPECT_EQ(ring(), (std::vector<std::string>{"5", "4", "3"}));
    EXPECT_EQ(ring_->count, 3);

    logbuffer_resize(ring_, 1);
    logbuffer_add(ring_, "6");
    EXPECT_EQ(ring(), std::vector<std::string>{"6"});
}

TEST_F(LogTest, RingResize)
{
    LOGBUFFER *ring_ = record.logbuffer;
    for (int i = 1; i <= 1000; i++)
        logbuffer_add(ring_, std::to_string(i).c_str());
    logbuffer_add(ring_, "1001"); // full: the oldest goes
    EXPECT_EQ(ring_->count, 1000);
    EXPECT_STREQ(ring_->tail->text, "2");

    logbuffer_resize(ring_, -1); // changes nothing
    EXPECT_EQ(ring_->count, 1000);
    EXPECT_EQ(ring_->max, 1000);

    logbuffer_resize(ring_, 10);
    std::vector<std::string> newest;
    for (int i = 1001; i > 991; i--)
        newest.push_back(std::to_string(i));
    EXPECT_EQ(ring(), newest);
    EXPECT_EQ(ring_->max, 10);

    logbuffer_resize(ring_, 50); // more room, same lines
    EXPECT_EQ(ring_->count, 10);
    EXPECT_EQ(ring_->max, 50);

    logbuffer_resize(ring_, 0);
    EXPECT_TRUE(ring().empty());
    EXPECT_EQ(ring_->head, nullptr);
    EXPECT_EQ(ring_->tail, nullptr);
    logbuffer_add(ring_, "kept nowhere");
    putlog(LOG_ERROR, "kept nowhere either");
    EXPECT_TRUE(ring().empty());
}

TEST_F(LogTest, RingClearKeepsTheCapacity)
{
    LOGBUFFER *ring_ = record.logbuffer;
    logbuffer_resize(ring_, 5);
    for (const char *line : {"a", "b", "c"})
        logbuffer_add(ring_, line);
    logbuffer_clear(ring_);
    EXPECT_TRUE(ring().empty());
    EXPECT_EQ(ring_->max, 5);
    logbuffer_add(ring_, "d");
    EXPECT_EQ(ring(), std::vector<std::string>{"d"});
}

TEST_F(LogTest, NoRingBeforeTheGlobalRecordExists)
{
    global = nullptr;
    daemonize = 0;
    std::string out = standard_output([] { putlog(LOG_ERROR, "early"); });
    global = &record;
    EXPECT_NE(out.find("error: early\n"), std::string::npos);
    EXPECT_TRUE(ring().empty());
}

} // namespace
