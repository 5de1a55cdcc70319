// The performance log: counters, the columns of a record and their deltas,
// and the file with its one legend.
#include <sys/stat.h>

#include "fixture.h"
#include "runtime/performance.h"

namespace {

std::vector<std::string> split(const std::string &text, const std::string &sep)
{
    std::vector<std::string> out;
    size_t at = 0;
    for (;;) {
        size_t next = text.find(sep, at);
        out.push_back(text.substr(at, next - at));
        if (next == std::string::npos)
            return out;
        at = next + sep.size();
    }
}

// Column n (counted from 1 as in the file) of a record.
std::string column(const std::string &record, int n)
{
    return split(record.substr(1), ",")[n - 1];
}

class PerformanceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        global_for_process();
        dir = testing::TempDir() + "plog." + std::to_string(getpid());
        mkdir(dir.c_str(), 0700);
        saved = plogfile;
        plogfd = -1;
    }
    void TearDown() override
    {
        if (plogfd >= 0)
            close(plogfd);
        plogfd = -1;
        snprintf(plogfile, sizeof plogfile, "%s", saved.c_str());
        system(("rm -rf " + dir).c_str());
    }
    std::string dir;
    std::string saved;
};

TEST_F(PerformanceTest, LegendNamesTheColumns)
{
    ASSERT_EQ(performance_legend.back(), '\n');
    std::vector<std::string> names =
        split(performance_legend.substr(0, performance_legend.size() - 1), " , ");
    ASSERT_EQ(names.size(), 52u);
    EXPECT_EQ(names[0], "Time Stamp (YYYYMMDDhhmmss)");
    EXPECT_EQ(names[16], "Bytes in (KBytes)");
    EXPECT_EQ(names[25], "Kelvarine Virtual Memory (KBytes)");
    EXPECT_EQ(names[51], "DNS Query failures Delta");
}

TEST_F(PerformanceTest, CountersAddAndGaugesReplace)
{
    PerformanceLog log;
    log.set_dns_hit(2);
    log.set_dns_hit(3);
    log.set_clients_in_pool(7);
    log.set_clients_in_pool(4);
    log.set_connection_pool_size(9);
    log.set_connection_pool_size(1);
    EXPECT_EQ(log.get_dns_hit(), 5u);
    EXPECT_EQ(log.get_clients_in_pool(), 4u);
    EXPECT_EQ(log.get_connection_pool_size(), 1u);
}

TEST_F(PerformanceTest, RecordsAndDeltas)
{
    PerformanceLog log;
    log.set_connections_handled(5);
    log.set_clients_in_pool(6);
    log.set_bytes_in(1536);
    log.set_dns_fail(1);
    std::string first = log.Build();
    ASSERT_EQ(first[0], '\n');
    ASSERT_EQ(first.find('\n', 1), std::string::npos);
    ASSERT_EQ(split(first.substr(1), ",").size(), 52u);
    EXPECT_EQ(column(first, 1).size(), 14u);
    EXPECT_EQ(column(first, 2), "0"); // the file is closed
    EXPECT_EQ(column(first, 3), "5");
    EXPECT_EQ(column(first, 6), "6");
    EXPECT_EQ(column(first, 17), "1"); // 1536 bytes are 1 KiB
    EXPECT_EQ(column(first, 23), "1");
    EXPECT_NE(column(first, 24), "0");
    EXPECT_NE(column(first, 26), "0"); // our own virtual memory
    // The first deltas equal the figures.
    EXPECT_EQ(column(first, 32), "5");
    EXPECT_EQ(column(first, 35), "6");
    EXPECT_EQ(column(first, 46), "1");
    EXPECT_EQ(column(first, 52), "1");

    log.set_clients_in_pool(2);  // a shrinking gauge
    log.set_bytes_in(600);       // 2136 bytes: still 2 KiB after 1
    log.set_connections_handled(1);
    std::string second = log.Build();
    EXPECT_EQ(column(second, 6), "2");
    EXPECT_EQ(column(second, 35), "-4");
    EXPECT_EQ(column(second, 17), "2");
    EXPECT_EQ(column(second, 46), "1"); // the change of the KiB figure
    EXPECT_EQ(column(second, 32), "1");
    EXPECT_EQ(column(second, 52), "0");
}

TEST_F(PerformanceTest, FileHasOneLegendAndReopensAfterRestart)
{
    std::string path = dir + "/performance.log";
    snprintf(plogfile, sizeof plogfile, "%s", path.c_str());
    {
        PerformanceLog log;
        log.Write();
        log.Write();
        close(plogfd);
        plogfd = -1;
    }
    std::string text = file_text(path);
    ASSERT_EQ(text.compare(0, performance_legend.size(), performance_legend), 0);
    std::vector<std::string> lines = split(text.substr(performance_legend.size()), "\n");
    // An empty line after the legend, two records, no newline at the end.
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "");
    EXPECT_EQ(split(lines[1], ",")[1], "0");
    EXPECT_EQ(split(lines[2], ",").size(), 52u);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    // A new process appends without a second legend, from elapsed time 0.
    PerformanceLog again;
    again.Write();
    std::string more = file_text(path);
    EXPECT_EQ(more.compare(0, text.size(), text), 0);
    std::string added = more.substr(text.size());
    EXPECT_EQ(added.find("Time Stamp"), std::string::npos);
    EXPECT_EQ(split(added.substr(1), ",")[1], "0");
}

TEST_F(PerformanceTest, UnopenableFileIsReportedAndEmptyPathIsSilent)
{
    std::string path = dir + "/missing/performance.log";
    snprintf(plogfile, sizeof plogfile, "%s", path.c_str());
    PerformanceLog log;
    log.Write();
    EXPECT_EQ(plogfd, -1);
    bool found = false;
    for (LOGBUFFER_NODE *n = global->logbuffer->tail; n; n = n->previous)
        found = found || strstr(n->text, ("failed to open " + path).c_str());
    EXPECT_TRUE(found);

    plogfile[0] = '\0';
    int before = global->logbuffer->count;
    log.Write();
    EXPECT_EQ(plogfd, -1);
    EXPECT_EQ(global->logbuffer->count, before);
}

} // namespace
