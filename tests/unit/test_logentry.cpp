// The access and extended logs: records and legends byte for byte, the
// code names, and rotation of the two files.
#include "runtime/log.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/time.h>
#include <thread>
#include <chrono>
#include <unistd.h>
#include <vector>

#include "engine/options.h"
#include "fixture.h"

namespace {

// The legends as they must appear at the head of a new file.
const std::string ACCESS_LEGEND =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size "
    "method url username peercode/peer mime\n";
const std::string EXTENDED_LEGEND =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] "
    "\"HTTP_method proto://url\" status size \"http_referer\" \"useragent\" mime "
    "\"filter_name filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\n";

bool file_exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

// Milliseconds from the entry's start to its last formatting.
long elapsed_ms(const LogEntry &entry)
{
    long long us = (entry.end_time.tv_sec - entry.start_time.tv_sec) * 1000000LL +
                   (entry.end_time.tv_usec - entry.start_time.tv_usec);
    return static_cast<long>(us / 1000);
}

// A request as the engine completes it.
LogEntry served_request()
{
    LogEntry entry;
    entry.client = "10.0.0.1";
    entry.set_cachecode(2);
    entry.status = 200;
    entry.size = 1234;
    entry.method = "GET";
    entry.url = "http://example.com/";
    entry.username = "alice";
    entry.set_peercode(1);
    entry.peer = "example.com";
    entry.mime = "text/html";
    entry.useragent = "Mozilla/5.0 (X11)";
    entry.http_referer = "http://ref.example/";
    entry.filter_name = "url-filter";
    entry.filtering_reason = "-";
    entry.profiles = "staff,web";
    entry.interface_ip = "192.168.1.1";
    entry.interface_port = "8080";
    entry.client_id = 42;
    struct timeval now;
    gettimeofday(&now, nullptr);
    // Started in the second before last, 5 ms into it: at least a whole
    // second ago whatever the fraction of the current second.
    entry.start_time.tv_sec = now.tv_sec - 2;
    entry.start_time.tv_usec = 5000;
    return entry;
}

class LogEntryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/kv-logentry-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        directory = dir;
        access_path = directory + "/access.log";
        extended_path = directory + "/extended.log";
        set_paths(access_path, extended_path);
    }
    void TearDown() override
    {
        for (int *fd : {&slogfd, &elogfd}) {
            if (*fd != -1)
                close(*fd);
            *fd = -1;
        }
        slogflg = elogflg = logflg = 0;
        set_paths("", "");
        std::string command = "rm -rf '" + directory + "'";
        EXPECT_EQ(system(command.c_str()), 0);
    }

    static void set_paths(const std::string &access, const std::string &extended)
    {
        snprintf(slogfile, sizeof slogfile, "%s", access.c_str());
        snprintf(elogfile, sizeof elogfile, "%s", extended.c_str());
    }

    // As after a restart: the next record opens the file again.
    static void close_files()
    {
        close(slogfd);
        close(elogfd);
        slogfd = elogfd = -1;
    }

    std::string directory;
    std::string access_path;
    std::string extended_path;
};

TEST_F(LogEntryTest, AccessRecordFollowsTheLegendAndAnEmptyLine)
{
    LogEntry entry = served_request();
    entry.Write();

    std::string expected = ACCESS_LEGEND + "\n" +
                           std::to_string(entry.start_time.tv_sec) + ".005 " +
                           std::to_string(elapsed_ms(entry)) +
                           " 10.0.0.1 TCP_MISS/200 1234 GET http://example.com/ alice "
                           "DIRECT/example.com text/html";
    EXPECT_EQ(file_text(access_path), expected);
    EXPECT_GE(elapsed_ms(entry), 1000);
}

TEST_F(LogEntryTest, ExtendedRecordFollowsTheLegendAndAnEmptyLine)
{
    LogEntry entry = served_request();
    entry.apache_Write();

    char date[64];
    struct tm local;
    localtime_r(&entry.end_time.tv_sec, &local);
    strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &local);
    std::string expected =
        EXTENDED_LEGEND + "\n\"" + std::to_string(entry.start_time.tv_sec) +
        ".005-42-192.168.1.1-8080\" " + std::to_string(elapsed_ms(entry)) +
        " 10.0.0.1 \"alice\" \"42\" " + date +
        " \"GET http://example.com/\" 200 1234 \"http://ref.example/\" "
        "\"Mozilla/5.0 (X11)\" text/html \"url-filter -\" \"staff,web\" "
        "\"192.168.1.1:8080\"";
    EXPECT_EQ(file_text(extended_path), expected);
}

TEST_F(LogEntryTest, UnfilledEntry)
{
    LogEntry entry;
    std::string access = entry.Build();
    std::string extended = entry.apache_Build();
    EXPECT_TRUE(std::regex_match(
        access, std::regex("^\n[0-9]+\\.[0-9]{3} [0-9]+ - UNSPECIFIED/0 0 - - - NONE/- -$")))
        << access;
    EXPECT_TRUE(std::regex_match(
        extended, std::regex("^\n\"[0-9]+\\.[0-9]{3}-0--\" [0-9]+ - \"-\" \"0\" "
                             "\\[[^\\]]+\\] \"- -\" 0 0 \"-\" \"-\" - \"- -\" \"-\" \":\"$")))
        << extended;
}

// Log analysers split a record at blanks: an empty or blank-holding value
// (a multi-hop X-Forwarded-For, a user name with a space) must neither
// shift the columns nor leave an empty one.
TEST_F(LogEntryTest, ColumnsHoldNoBlankAndNeverStayEmpty)
{
    struct Case {
        const char *client;
        const char *method;
        const char *user;
        const char *mime;
        const char *access_tail;  // from the client column on
    } cases[] = {
        {"10.1.1.1, 10.2.2.2", "GET", "alice", "text/html",
         " 10.1.1.1,10.2.2.2 TCP_MISS/200 1234 GET http://example.com/ alice "
         "DIRECT/example.com text/html"},
        {"10.1.1.1,\t10.2.2.2", "", "", "",
         " 10.1.1.1,10.2.2.2 TCP_MISS/200 1234 - http://example.com/ - "
         "DIRECT/example.com -"},
        {" ", "GET", "john doe", "text/html; charset=utf-8",
         " - TCP_MISS/200 1234 GET http://example.com/ johndoe "
         "DIRECT/example.com text/html;charset=utf-8"},
    };
    for (const Case &c : cases) {
        LogEntry entry = served_request();
        entry.client = c.client;
        entry.method = c.method;
        entry.username = c.user;
        entry.mime = c.mime;
        std::string access = entry.Build();
        std::string tail = access.substr(access.find(' ', access.find(' ') + 1));
        EXPECT_EQ(tail, c.access_tail) << c.client;
        std::vector<std::string> columns;
        std::istringstream split(access.substr(1));
        for (std::string column; std::getline(split, column, ' ');)
            columns.push_back(column);
        EXPECT_EQ(columns.size(), 10u) << access;
        EXPECT_EQ(columns[6], "http://example.com/") << access;

        std::string extended = entry.apache_Build();
        std::string client_column = std::string(" ") + LogEntry::column(c.client) + " \"";
        EXPECT_NE(extended.find(client_column), std::string::npos) << extended;
        EXPECT_NE(extended.find(" \"" + LogEntry::column(c.method) + " http://example.com/\" "),
                  std::string::npos)
            << extended;
    }
}

TEST_F(LogEntryTest, StartTimeFraction)
{
    struct Case {
        long usec;
        const char *fraction;
    } cases[] = {
        {0, ".000 "}, {5000, ".005 "}, {1999, ".001 "}, {123456, ".123 "}, {999999, ".999 "},
    };
    for (const Case &c : cases) {
        LogEntry entry;
        entry.start_time.tv_usec = c.usec;
        std::string record = entry.Build();
        std::string head = "\n" + std::to_string(entry.start_time.tv_sec) + c.fraction;
        EXPECT_EQ(record.compare(0, head.size(), head), 0) << c.usec << ": " << record;
    }
}

TEST_F(LogEntryTest, CodeNames)
{
    struct Case {
        int code;
        const char *cache;
        const char *peer;
    } cases[] = {
        {-1, "UNSPECIFIED", "NONE"},
        {0, "UNSPECIFIED", "NONE"},
        {1, "TCP_HIT", "DIRECT"},
        {3, "TCP_REFRESH_HIT", "FIRST_PARENT_MISS"},
        {5, "TCP_REFRESH_MISS", "LOCAL_IP_DIRECT"},
        {9, "TCP_DENIED", "PARENT_HIT"},
        {14, "UDP_INVALID", "PASSTHROUGH_PARENT"},
        {15, "UNSPECIFIED", "SSL_PARENT_MISS"},
        {16, "UNSPECIFIED", "DEFAULT_PARENT"},
        {19, "UNSPECIFIED", "CLOEST_DIRECT"},
        {20, "UNSPECIFIED", "NONE"}, // set by the forwarding rules, has no name
    };
    LogEntry entry;
    for (const Case &c : cases) {
        entry.set_cachecode(c.code);
        entry.set_peercode(c.code);
        EXPECT_EQ(entry.cachecode(), c.cache) << c.code;
        EXPECT_EQ(entry.peercode(), c.peer) << c.code;
    }
}

TEST_F(LogEntryTest, ResetStartsTheNextRequest)
{
    LogEntry entry = served_request();
    time_t before = time(nullptr);
    entry.Reset();
    EXPECT_GE(entry.start_time.tv_sec, before);
    // Cleared for the next request.
    EXPECT_EQ(entry.cache_code, 0);
    EXPECT_EQ(entry.peer_code, 0);
    EXPECT_EQ(entry.status, 0);
    EXPECT_EQ(entry.size, 0);
    for (const std::string *field : {&entry.url, &entry.peer, &entry.mime,
                                     &entry.filter_name, &entry.filtering_reason,
                                     &entry.profiles})
        EXPECT_EQ(*field, "-");
    // Carried over on a keep-alive connection.
    EXPECT_EQ(entry.client, "10.0.0.1");
    EXPECT_EQ(entry.username, "alice");
    EXPECT_EQ(entry.useragent, "Mozilla/5.0 (X11)");
    EXPECT_EQ(entry.http_referer, "http://ref.example/");
    EXPECT_EQ(entry.method, "GET");
    EXPECT_EQ(entry.interface_ip, "192.168.1.1");
    EXPECT_EQ(entry.interface_port, "8080");
    EXPECT_EQ(entry.client_id, 42u);
}

TEST_F(LogEntryTest, SizesBeyondFourGigabytes)
{
    LogEntry entry = served_request();
    entry.size = 5368709120LL;
    EXPECT_NE(entry.Build().find(" TCP_MISS/200 5368709120 GET "), std::string::npos);
    EXPECT_NE(entry.apache_Build().find("\" 200 5368709120 \""), std::string::npos);
}

TEST_F(LogEntryTest, NoSecondLegendAfterARestart)
{
    LogEntry entry = served_request();
    entry.Write();
    entry.apache_Write();
    close_files();
    entry.Write();
    entry.apache_Write();

    std::string access = file_text(access_path);
    std::string extended = file_text(extended_path);
    EXPECT_EQ(access.find(ACCESS_LEGEND), 0u);
    EXPECT_EQ(access.find(ACCESS_LEGEND, 1), std::string::npos);
    EXPECT_EQ(std::count(access.begin(), access.end(), '\n'), 3);
    EXPECT_EQ(extended.find(EXTENDED_LEGEND), 0u);
    EXPECT_EQ(extended.find(EXTENDED_LEGEND, 1), std::string::npos);
    EXPECT_EQ(std::count(extended.begin(), extended.end(), '\n'), 3);
}

TEST_F(LogEntryTest, OnlyTheLogsGivenAreWritten)
{
    LogEntry entry = served_request();
    set_paths(access_path, "");
    entry.Write();
    entry.apache_Write();
    EXPECT_TRUE(file_exists(access_path));
    EXPECT_FALSE(file_exists(extended_path));
    EXPECT_EQ(elogfd, -1);

    close_files();
    unlink(access_path.c_str());
    set_paths("", extended_path);
    entry.Write();
    entry.apache_Write();
    EXPECT_FALSE(file_exists(access_path));
    EXPECT_TRUE(file_exists(extended_path));
}

TEST_F(LogEntryTest, TwoRotationMarksGiveOneRotation)
{
    LogEntry first = served_request();
    first.url = "http://first.example/";
    first.Write();
    first.apache_Write();
    time_t before = time(nullptr);
    logrotate();
    logrotate();
    LogEntry second = served_request();
    second.url = "http://second.example/";
    second.Write();
    second.apache_Write();
    time_t after = time(nullptr);
    second.Write(); // the marks are spent: no further rotation
    second.apache_Write();

    std::vector<std::string> names = directory_entries(directory);
    ASSERT_EQ(names.size(), 4u);
    for (const char *log : {"access.log", "extended.log"}) {
        std::string rotated;
        std::regex pattern(std::string("^([0-9]{14})-") + log + "$");
        for (const std::string &name : names) {
            std::smatch m;
            if (std::regex_match(name, m, pattern)) {
                rotated = name;
                EXPECT_GE(m[1].str(), stamp(before));
                EXPECT_LE(m[1].str(), stamp(after));
            }
        }
        ASSERT_FALSE(rotated.empty()) << log;
        std::string old_file = file_text(directory + "/" + rotated);
        std::string new_file = file_text(directory + "/" + log);
        const std::string &legend =
            std::string(log) == "access.log" ? ACCESS_LEGEND : EXTENDED_LEGEND;
        EXPECT_EQ(old_file.find(legend), 0u) << log;
        EXPECT_NE(old_file.find("first.example"), std::string::npos) << log;
        EXPECT_EQ(old_file.find("second.example"), std::string::npos) << log;
        EXPECT_EQ(new_file.find(legend), 0u) << log;
        EXPECT_EQ(new_file.find("first.example"), std::string::npos) << log;
        EXPECT_EQ(std::count(new_file.begin(), new_file.end(), '\n'), 3) << log;
    }
}

TEST_F(LogEntryTest, PathWithoutSlashKeepsGrowing)
{
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(chdir(directory.c_str()), 0);
    set_paths("access.log", "extended.log");
    LogEntry entry = served_request();
    entry.Write();
    entry.apache_Write();
    logrotate();
    entry.Write();
    entry.apache_Write();
    ASSERT_EQ(chdir(cwd), 0);

    EXPECT_EQ(directory_entries(directory).size(), 2u);
    std::string access = file_text(access_path);
    EXPECT_EQ(access.find(ACCESS_LEGEND), 0u);
    EXPECT_EQ(std::count(access.begin(), access.end(), '\n'), 3);
    EXPECT_EQ(slogflg, 0);
}

TEST_F(LogEntryTest, RecordsOfConcurrentThreadsStayWholeAcrossRotations)
{
    // Requests finishing on several threads while both logs rotate: every
    // record lands whole, once, in one access file and one extended file.
    const int writers = 4;
    const int records = 100;
    const std::string path(2000, 'p');
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back([t, records, &path] {
            LogEntry entry = served_request();
            for (int n = 0; n < records; n++) {
                entry.url = "http://t" + std::to_string(t) + ".example/" +
                            std::to_string(n) + "/" + path;
                entry.Write();
                entry.apache_Write();
            }
        });
    for (int r = 0; r < 3; r++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        logrotate();
    }
    for (std::thread &thread : threads)
        thread.join();

    // The URL of a record names its thread and number.
    auto url_of = [&path](const std::string &url, int *t, int *n) {
        int used = 0;
        return sscanf(url.c_str(), "http://t%d.example/%d/%n", t, n, &used) == 2 &&
               used > 0 && url.compare(used, std::string::npos, path) == 0 &&
               *t >= 0 && *t < writers && *n >= 0 && *n < records;
    };
    for (const char *log : {"access.log", "extended.log"}) {
        std::vector<std::vector<int>> seen(writers, std::vector<int>(records, 0));
        bool access = std::string(log) == "access.log";
        for (const std::string &name : directory_entries(directory)) {
            if (name.size() < strlen(log) ||
                name.compare(name.size() - strlen(log), std::string::npos, log) != 0)
                continue;
            std::istringstream text(file_text(directory + "/" + name));
            std::string line;
            while (std::getline(text, line)) {
                if (line.empty() || line[0] == '#')
                    continue;
                std::istringstream fields(line);
                std::vector<std::string> field;
                for (std::string f; fields >> f;)
                    field.push_back(f);
                int t = -1, n = -1;
                if (access) {
                    ASSERT_EQ(field.size(), 10u) << name << ": " << line.substr(0, 100);
                    ASSERT_TRUE(url_of(field[6], &t, &n)) << line.substr(0, 100);
                    EXPECT_EQ(field[9], "text/html");
                } else {
                    ASSERT_GE(field.size(), 13u) << name << ": " << line.substr(0, 100);
                    ASSERT_TRUE(url_of(field[7].substr(0, field[7].size() - 1), &t, &n))
                        << line.substr(0, 100);
                    EXPECT_EQ(field.back(), "\"192.168.1.1:8080\"");
                }
                seen[t][n]++;
            }
        }
        for (int t = 0; t < writers; t++)
            for (int n = 0; n < records; n++)
                EXPECT_EQ(seen[t][n], 1) << log << ": thread " << t << " record " << n;
    }
}

// A rotation whose name is taken (two rotations within one second) must
// not overwrite the earlier rotated file: the log goes on where it is.
TEST_F(LogEntryTest, RotationNeverOverwritesARotatedFile)
{
    time_t now = time(nullptr);
    std::vector<std::string> taken;
    for (time_t t = now - 1; t <= now + 5; t++) {
        taken.push_back(directory + "/" + stamp(t) + "-access.log");
        std::ofstream(taken.back()) << "earlier rotation";
    }
    LogEntry entry = served_request();
    entry.url = "http://one.example/";
    entry.Write();
    logrotate();
    entry.url = "http://two.example/";
    entry.Write();

    for (const std::string &path : taken)
        EXPECT_EQ(file_text(path), "earlier rotation") << path;
    std::string access = file_text(access_path);
    EXPECT_EQ(access.find(ACCESS_LEGEND), 0u);
    EXPECT_NE(access.find("one.example"), std::string::npos);
    EXPECT_NE(access.find("two.example"), std::string::npos);
}

} // namespace
