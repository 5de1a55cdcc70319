// Start-up: the command line, the -L check, the checks of the two files,
// the PID file, the host feed, client ids, the keep-alive wait, and what
// the signal thread does for SIGHUP and SIGUSR1.
#include "engine/startup.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "engine/global.h"
#include "engine/options.h"
#include "engine/process.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/signals.h"
#include "runtime/thread.h"
#include "fixture.h"

namespace {

// The settings the command line writes, put back to their defaults before
// each parse so that cases do not see each other's values.
void settings_reset()
{
    configfile[0] = sectionfile[0] = logfile[0] = slogfile[0] = elogfile[0] = '\0';
    pidfile[0] = smfeed[0] = proxyhost[0] = listenip[0] = masterhost[0] = '\0';
    listenport = masterport = slave = 0;
    strcpy(moduledir, "/opt/kelvarine/modules/");
    password_cachesize = 100;
    password_cachexpire = 600;
    authflag = 0;
    MAXTHREADS = 16384;
    THREAD_TIMEOUT = CLIENT_POOL_TIMEOUT = 1;
    opt_stack = 0;
    max_opt_stack = 1048576;
    SND_BUF = RCV_BUF = 0;
    BLOCKSIZE = 8192;
    TCP_KEEPIDLE_TIME = 900;
    TCP_KEEPINTVL_TIME = 75;
    TCP_KEEPCNT_COUNTS = 9;
    loglevel = LOGLEVEL_DEFAULT;
    daemonize = 1;
}

// Parses a command line given as words (the program name is added) with
// the help's output swallowed.  Returns startup_options' result.
int parse(const std::vector<std::string> &words)
{
    settings_reset();
    std::vector<std::string> copy = {"kelvarine"};
    copy.insert(copy.end(), words.begin(), words.end());
    std::vector<char *> argv;
    for (std::string &word : copy)
        argv.push_back(&word[0]);
    argv.push_back(nullptr);
    testing::internal::CaptureStderr();
    int rc = startup_options(static_cast<int>(copy.size()), argv.data());
    testing::internal::GetCapturedStderr();
    return rc;
}

std::string text(const char *s)
{
    return s;
}

std::string number(long n)
{
    return std::to_string(n);
}

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kv-startup-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        settings_reset();
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    std::vector<std::string> files()
    {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        if (d == nullptr)
            return names;
        while (struct dirent *entry = readdir(d))
            if (entry->d_name[0] != '.')
                names.push_back(entry->d_name);
        closedir(d);
        return names;
    }

    std::string dir;
};

TEST(StartupOptions, SettingsTakenFromTheCommandLine)
{
    // Each row: the words, then the setting to look at and its value.
    struct Row {
        std::vector<std::string> words;
        std::string (*look)();
        const char *want;
    };
    static const Row rows[] = {
        // The feed is named after the access log given before -l.
        {{"-a", "/var/log/a.log", "-l", "/var/log/n.log"}, [] { return text(smfeed); },
         "/var/log/a.log.smfeed"},
        {{"-l", "/var/log/n.log", "-a", "/var/log/a.log"}, [] { return text(smfeed); },
         ".smfeed"},
        {{"-P", "0:0"}, [] { return number(authflag); }, "1"},
        {{"-P", "50:0"},
         [] { return number(password_cachesize) + ":" + number(password_cachexpire) + ":" +
                     number(authflag); },
         "50:0:0"},
        {{"-t", "20000"}, [] { return number(MAXTHREADS); }, "16384"},
        {{"-t", "0"}, [] { return number(MAXTHREADS); }, "16384"},
        {{"-t", "100"}, [] { return number(MAXTHREADS); }, "100"},
        // Time-outs below a second are raised to one, huge ones lowered so
        // that they still count in milliseconds.
        {{"-C", "-5", "-T", "0"},
         [] { return number(CLIENT_POOL_TIMEOUT) + ":" + number(THREAD_TIMEOUT); }, "1:1"},
        {{"-C", "99999999999", "-T", "7"},
         [] { return number(CLIENT_POOL_TIMEOUT) + ":" + number(THREAD_TIMEOUT); },
         "2147483:7"},
        {{"-b", "16384:4096"},
         [] { return number(SND_BUF) + ":" + number(RCV_BUF) + ":" + number(BLOCKSIZE); },
         "16384:4096:16384"},
        {{"-b", "4096:4096"}, [] { return number(BLOCKSIZE); }, "8192"},
        // An empty first part leaves the send buffer alone.
        {{"-b", ":16000"},
         [] { return number(SND_BUF) + ":" + number(RCV_BUF) + ":" + number(BLOCKSIZE); },
         "0:16000:16000"},
        {{"-k", "::5"},
         [] { return number(TCP_KEEPIDLE_TIME) + ":" + number(TCP_KEEPINTVL_TIME) + ":" +
                     number(TCP_KEEPCNT_COUNTS); },
         "900:75:5"},
        {{"-L", "192.168.100.100:3128"},
         [] { return text(listenip) + ":" + number(listenport); }, "192.168.100.100:3128"},
        {{"-M", "master"}, [] { return number(slave); }, "0"},
        {{"-M", "master.example:8080"},
         [] { return number(slave) + " " + text(masterhost) + ":" + number(masterport); },
         "1 master.example:8080"},
        {{"-m", "/opt/mods"}, [] { return text(moduledir); }, "/opt/mods/"},
        {{"-z", "16"}, [] { return number(max_opt_stack); }, "65536"},
        {{"-f", "-d", "3"}, [] { return number(daemonize) + ":" + number(loglevel); }, "0:3"},
        // An unknown letter is ignored; the rest still counts.
        {{"-Q", "-c", "/etc/k.xml"}, [] { return text(configfile); }, "/etc/k.xml"},
    };
    for (const Row &row : rows) {
        std::string line;
        for (const std::string &w : row.words)
            line += w + " ";
        EXPECT_EQ(parse(row.words), STARTUP_CONTINUE) << line;
        EXPECT_EQ(row.look(), row.want) << line;
    }
}

TEST(StartupOptions, EarlyEndsAndTheirStatus)
{
    struct Case {
        std::vector<std::string> words;
        int status;
    } cases[] = {
        {{}, 0},                            // no argument: the help
        {{"-h"}, 0},
        {{"-v"}, 0},
        {{"-P", "50"}, 1},                  // no colon
        {{"-P", "0:30"}, 1},                // an age needs a cache of at least one entry
        {{"-L", "127.0.0.1"}, 1},           // no port
        {{"-L", "1234567890123456:80"}, 1}, // 16-character address
        {{"-M", "master:http"}, 1},
        {{"-M", std::string(256, 'm') + ":80"}, 1},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const std::string &w : c.words)
            line += w + " ";
        testing::internal::CaptureStdout();
        EXPECT_EQ(parse(c.words), c.status) << line;
        testing::internal::GetCapturedStdout();
    }
}

TEST(StartupOptions, ListenValueIsAnAddressAndAPort)
{
    struct Case {
        const char *text;
        const char *ip;  // null: refused
        int port;
    } cases[] = {
        {"127.0.0.1:8080", "127.0.0.1", 8080},
        {"0.0.0.0:1", "0.0.0.0", 1},
        {"192.168.100.100:65535", "192.168.100.100", 65535},
        {"127.0.0.1", nullptr, 0},          // no port
        {"127.0.0.1:", nullptr, 0},
        {"127.0.0.1:0", nullptr, 0},
        {"127.0.0.1:65536", nullptr, 0},    // would wrap to 0
        {"127.0.0.1:99999999999", nullptr, 0},
        {"127.0.0.1:80x", nullptr, 0},
        {"127.0.0.1:-80", nullptr, 0},
        {"300.1.1.1:80", nullptr, 0},
        {"localhost:80", nullptr, 0},       // never a name that binds anything
        {":80", nullptr, 0},
        {"127.1:80", nullptr, 0},
        {"1234567890123456:80", nullptr, 0},
    };
    for (const Case &c : cases) {
        char ip[16] = "unchanged";
        int port = -7;
        char why[128] = "";
        int rc = listen_option_parse(c.text, ip, &port, why, sizeof why);
        if (c.ip == nullptr) {
            EXPECT_EQ(rc, -1) << c.text;
            EXPECT_STRNE(why, "") << c.text;
            EXPECT_STREQ(ip, "unchanged") << c.text;
            EXPECT_EQ(port, -7) << c.text;
        } else {
            EXPECT_EQ(rc, 0) << c.text;
            EXPECT_STREQ(ip, c.ip) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        }
    }
}

TEST(StartupOptions, HelpListsEveryOptionButTheHiddenOne)
{
    char name[] = "kelvarine";
    char *argv[] = {name, nullptr};
    testing::internal::CaptureStderr();
    show_help(argv);
    std::string help = testing::internal::GetCapturedStderr();
    EXPECT_NE(help.find("\nUsage: kelvarine [options]\n\n"), std::string::npos);
    size_t last = 0;
    for (const char *letter : {"c", "s", "l", "a", "e", "H", "L", "M", "S", "E", "I", "m", "p",
                               "u", "g", "x", "P", "t", "z", "T", "C", "b", "k", "o", "f", "h",
                               "v", "d"}) {
        size_t at = help.find(std::string("\n -") + letter + " ");
        ASSERT_NE(at, std::string::npos) << "-" << letter;
        EXPECT_GT(at, last) << "-" << letter << " out of order";
        last = at;
    }
    EXPECT_EQ(help.find("\n -r "), std::string::npos);
    EXPECT_NE(help.find("(default: 100:600)"), std::string::npos);
    EXPECT_NE(help.find(" Add any of the following to specify logging detail:\n"
                        "         1 = requests\n"),
              std::string::npos);
    EXPECT_NE(help.find(" 134217728 = debug\n"), std::string::npos);
}

TEST_F(StartupTest, MissingFilesAreNamed)
{
    std::string present = dir + "/present.xml";
    std::ofstream(present) << "<kelvarine/>";
    std::string absent = dir + "/absent.xml";
    struct Case {
        std::string config, section;
        int slave;
        int status;
        std::string message;
    } cases[] = {
        {"", present, 0, 1, "config file option missing\n"},
        {"", present, 1, STARTUP_CONTINUE, ""},  // a slave pulls its configuration
        {absent, present, 0, 1, "couldn't stat " + absent + "\n"},
        {present, "", 0, 1, "section file option missing\n"},
        {present, absent, 0, 1, "couldn't stat " + absent + "\n"},
        {present, present, 0, STARTUP_CONTINUE, ""},
    };
    for (const Case &c : cases) {
        settings_reset();
        strcpy(configfile, c.config.c_str());
        strcpy(sectionfile, c.section.c_str());
        slave = c.slave;
        testing::internal::CaptureStderr();
        int rc = startup_files_check();
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_EQ(rc, c.status) << c.config << " / " << c.section;
        EXPECT_EQ(said, c.message) << c.config << " / " << c.section;
    }
}

TEST_F(StartupTest, PidFileIsReplacedUnlessItsProcessLives)
{
    // A process that has certainly ended: a child that was reaped.
    pid_t gone = fork();
    ASSERT_GE(gone, 0);
    if (gone == 0)
        _exit(0);
    waitpid(gone, nullptr, 0);

    std::string path = dir + "/kelvarine.pid";
    std::string mine = std::to_string(getpid()) + "\n";
    struct Case {
        const char *what;
        bool exists;
        std::string content;
        pid_t result;
        std::string after;
    } cases[] = {
        {"no file", false, "", 0, mine},
        {"empty file", true, "", 0, mine},
        {"not a number", true, "abc\n", 0, mine},
        {"ended process", true, std::to_string(gone) + "\n", 0, mine},
        {"own id (stale)", true, mine, 0, mine},
        {"living process", true, "1\n", 1, "1\n"},
    };
    for (const Case &c : cases) {
        unlink(path.c_str());
        if (c.exists)
            std::ofstream(path) << c.content;
        EXPECT_EQ(pid_check(path.c_str()), c.result) << c.what;
        EXPECT_EQ(file_text(path), c.after) << c.what;
        // Nothing is left beside the file: the temporary one was renamed.
        EXPECT_EQ(files(), std::vector<std::string>{"kelvarine.pid"}) << c.what;
    }
    struct stat info;
    unlink(path.c_str());
    ASSERT_EQ(pid_check(path.c_str()), 0);
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0644u);

    EXPECT_EQ(pid_check((dir + "/no/such/dir/kelvarine.pid").c_str()), 1);
}

TEST_F(StartupTest, PidFileRemovedAtExitOnlyWhenWritten)
{
    std::string path = dir + "/kelvarine.pid";
    strcpy(pidfile, path.c_str());
    std::ofstream(path) << "1\n";  // someone else's file
    pid_check(pidfile);
    pid_remove();
    EXPECT_EQ(file_text(path), "1\n");

    unlink(path.c_str());
    ASSERT_EQ(pid_check(pidfile), 0);
    pid_remove();
    EXPECT_EQ(access(path.c_str(), F_OK), -1);
    signal_crash_unlink_set(nullptr);
}

TEST_F(StartupTest, HostFeedTakesTheHostOfEveryLoggedUrl)
{
    std::string log = dir + "/access.log";
    std::ofstream(log)
        << access_legend
        << "1700000000.123 5 127.0.0.1 TCP_MISS/200 512 GET http://www.example.org:80/a - "
           "DIRECT/www.example.org text/html\n"
        << "1700000001.000 5 127.0.0.1 TCP_DENIED/403 0 GET - - NONE/- -\n"
        << "1700000002.000 9 127.0.0.1 TCP_MISS/200 10 GET ftp://files.example.net:21/x - "
           "DIRECT/files.example.net -\n"
        << "1700000003.000 9 127.0.0.1 TCP_MISS/200 10 GET http://"
        << std::string(5000, 'x') << ":80/ - - -\n"
        << "1700000004.000 1 127.0.0.1 TCP_MISS/200 1 CONNECT connect://tunnel.example:443 - "
           "DIRECT/tunnel.example -\n";
    settings_reset();
    strcpy(slogfile, log.c_str());
    strcpy(smfeed, (log + ".smfeed").c_str());
    // A feed left from an earlier start is replaced whole, tail included.
    std::ofstream(log + ".smfeed") << std::string(20000, 'o');
    create_feedlog();
    // The over-long line is judged by its first 4095 bytes, whose host is
    // cut at 1023 characters; its tail is not read as a line of its own.
    EXPECT_EQ(file_text(log + ".smfeed"),
              "\nwww.example.org\nfiles.example.net\n" + std::string(1023, 'x') +
                  "\ntunnel.example");
}

TEST(StartupProcess, ClientIdsSkipZero)
{
    clientid = 1;
    EXPECT_EQ(clientid_take(), 1u);
    EXPECT_EQ(clientid_take(), 2u);
    clientid = 4294967295u;
    EXPECT_EQ(clientid_take(), 4294967295u);
    EXPECT_EQ(clientid_take(), 1u);
    EXPECT_EQ(clientid_take(), 2u);
    clientid = 1;
}

TEST(StartupProcess, KeepAliveWaitFavoursLowRows)
{
    struct Case {
        int row, maxthreads, pool_timeout, overload, wait;
    } cases[] = {
        {1, 100, 10, 1, 9},        // 99 * 10 / 101
        {50, 100, 10, 1, 3},       // 50 * 10 / 150
        {50, 100, 10, 2, 2},       // 50 * 10 / 200
        {50, 100, 10, 0, 3},       // below 1: the divisor is MAXTHREADS + r
        {1, 16384, 1, 1, 0},       // the defaults: only a look
        {16383, 16384, 1, 1, 0},
        {99, 100, 10, 1, 0},
    };
    for (const Case &c : cases)
        EXPECT_EQ(process_keepalive_wait(c.row, c.maxthreads, c.pool_timeout, c.overload), c.wait)
            << "row " << c.row << ", -t " << c.maxthreads << ", -C " << c.pool_timeout
            << ", -o " << c.overload;
}

// What ran, in order, for the signal cases.
std::string ran;
void step_listeners() { ran += "listeners "; }
void step_pidfile() { ran += "pidfile "; }
void clean_clients() { ran += "clients "; }
void clean_servers() { ran += "servers "; }

TEST(StartupSignals, HangupStopsAcceptingAndEmptiesThePools)
{
    global_for_process();
    threads_init();
    // The PID file stays on SIGHUP: the process goes on.
    exit_step_add(step_listeners, EXIT_STEP_HANGUP);
    exit_step_add(step_pidfile);
    compat_client_pool_clean_set(clean_clients);
    compat_server_pool_clean_set(clean_servers);
    ran.clear();
    signal_handle(SIGHUP);
    EXPECT_EQ(ran, "listeners clients servers ");
    ran.clear();
    signal_handle(SIGHUP);
    EXPECT_EQ(ran, "listeners clients servers ") << "a second SIGHUP does it again";

    ran.clear();
    signal_handle(SIGUSR2);
    EXPECT_EQ(ran, "");
    compat_client_pool_clean_set(nullptr);
    compat_server_pool_clean_set(nullptr);
}

TEST(StartupSignals, Usr1MarksTheThreeLogsForRotation)
{
    logflg = slogflg = elogflg = 0;
    signal_handle(SIGUSR1);
    EXPECT_EQ(logflg, -1);
    EXPECT_EQ(slogflg, -1);
    EXPECT_EQ(elogflg, -1);
    logflg = slogflg = elogflg = 0;
}

TEST(StartupSignals, TermRunsTheExitSequenceAndEndsWithZero)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        // The step proves it ran by what it leaves in the pipe.
        static int out;
        out = fds[1];
        exit_step_add([] { (void)!write(out, "x", 1); });
        signal_handle(SIGTERM);
        _exit(8);  // never reached
    }
    close(fds[1]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    char got = 0;
    EXPECT_EQ(read(fds[0], &got, 1), 1);
    close(fds[0]);
}

TEST(StartupSignals, CrashEndsWithFailureAndRemovesThePidFile)
{
    char pattern[] = "/tmp/kv-crash-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string path = std::string(pattern) + "/kelvarine.pid";
    for (int sig : {SIGSEGV, SIGABRT}) {
        std::ofstream(path) << "123\n";
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            static std::string kept;
            kept = path;
            int devnull = open("/dev/null", O_WRONLY);
            dup2(devnull, STDERR_FILENO);
            dup2(devnull, STDOUT_FILENO);
            signal_crash_unlink_set(kept.c_str());
            signal_setup();
            raise(sig);
            _exit(7);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "signal " << sig;
        EXPECT_EQ(WEXITSTATUS(status), 1) << "signal " << sig;
        EXPECT_EQ(access(path.c_str(), F_OK), -1) << "signal " << sig;
    }
    rmdir(pattern);
}

}  // namespace
