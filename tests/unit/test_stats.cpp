// Statistics: capped groups with eviction of the counter updated longest
// ago, shares against totals that keep evicted counts, the HTML rows, the
// counting functions of a request, and the reference count of rule sets.
#include <gtest/gtest.h>

#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/stats.h"

namespace {

// A Stats is an Atom: it goes only through its last release.
struct OwnedStats {
    Stats *stats = new Stats();
    ~OwnedStats() { stats_release(stats); }
    Stats *operator->() { return stats; }
    Stats &operator*() { return *stats; }
};

std::string rows_of(Stats &stats)
{
    Filebuf buffer;
    stats.Display(&buffer);
    return std::string(buffer.data ? buffer.data : "", buffer.size);
}

size_t count_of(const std::string &text, const std::string &needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1))
        n++;
    return n;
}

// A process record with fresh global statistics for each test.
class StatsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved = global;
        record = GLOBAL_T{};
        pthread_mutex_init(&record.rusage_lock, nullptr);
        static LOGBUFFER *ring = logbuffer_new();
        record.logbuffer = ring;
        record.stats = new Stats();
        global = &record;
        globalstats_init();
    }

    void TearDown() override
    {
        stats_release(record.stats);
        logbuffer_clear(record.logbuffer);
        global = saved;
    }

    GLOBAL_T record;
    GLOBAL_T *saved = nullptr;
};

// A name is counted either by adding and then incrementing it, or in one
// step, as the request road counts hosts, types and users.
void count_apart(const std::string &group, const std::string &name)
{
    global->stats->AddCounter(group, name, STAT_UINT);
    global->stats->Increment(group, name);
}

void count_together(const std::string &group, const std::string &name)
{
    EXPECT_GE(global->stats->AddIncrement(group, name, STAT_UINT), 1u);
}

TEST_F(StatsTest, KeyedGroupKeepsTheNinetyNineUpdatedLast)
{
    for (auto count : {count_apart, count_together}) {
        StatGroup *hosts = global->stats->group_get("hosts");
        ASSERT_NE(hosts, nullptr);
        hosts->counters.clear();
        hosts->total = 0;
        for (int i = 0; i < 150; i++) {
            std::string name = "host" + std::to_string(i);
            count("hosts", name);
            // host0 is counted again after every new name: it stays the
            // most recently updated and is never evicted.
            count("hosts", "host0");
            ASSERT_LE(hosts->size(), 99u) << "after " << name;
        }
        EXPECT_EQ(hosts->size(), 99u);
        EXPECT_TRUE(hosts->has("host0"));
        // 150 names, one kept aside: the 98 newest of the others remain.
        for (int i = 1; i < 52; i++)
            EXPECT_FALSE(hosts->has("host" + std::to_string(i))) << i;
        for (int i = 52; i < 150; i++)
            EXPECT_TRUE(hosts->has("host" + std::to_string(i))) << i;
        // Evicted counts stay in the total.
        EXPECT_EQ(hosts->total_get(), 300u);
    }
}

TEST_F(StatsTest, CountingAPresentNameEvictsNothing)
{
    StatGroup *hosts = global->stats->group_get("hosts");
    for (int i = 0; i < 99; i++)
        global->stats->AddCounter("hosts", "h" + std::to_string(i), STAT_UINT);
    ASSERT_EQ(hosts->size(), 99u);
    EXPECT_FALSE(global->stats->AddCounter("hosts", "h0", STAT_UINT));
    EXPECT_EQ(global->stats->Increment("hosts", "h0"), 1u);
    EXPECT_EQ(hosts->size(), 99u);
    EXPECT_TRUE(hosts->has("h1"));
}

TEST(StatGroupLimits, PruneModesAndTinyLimits)
{
    struct Case {
        const char *what;
        unsigned limit;
        unsigned mode;
        std::vector<std::pair<std::string, int>> counts;  // name, increments
        std::vector<std::string> kept;
    };
    const Case cases[] = {
        // The smallest value goes, ties to the counter added first.
        {"smallest", 4, PRUNE_SMALLEST, {{"a", 5}, {"b", 1}, {"c", 1}, {"d", 2}},
         {"a", "c", "d"}},
        // Limit 1 still keeps one counter.
        {"limit 1", 1, PRUNE_OLDEST, {{"a", 1}, {"b", 1}}, {"b"}},
        // Limit 2 keeps one as well.
        {"limit 2", 2, PRUNE_OLDEST, {{"a", 1}, {"b", 1}}, {"b"}},
        // No limit keeps everything.
        {"no limit", 0, PRUNE_OLDEST, {{"a", 1}, {"b", 1}, {"c", 1}}, {"a", "b", "c"}},
    };
    for (const Case &c : cases) {
        StatGroup group("g", STATGROUP_COUNTS);
        group.Limit(c.limit, c.mode);
        for (const auto &entry : c.counts) {
            group.Add(entry.first, STAT_UINT);
            for (int i = 0; i < entry.second; i++)
                group.Increment(entry.first);
        }
        std::vector<std::string> kept;
        for (const StatCounter &counter : group.counters)
            kept.push_back(counter.name);
        EXPECT_EQ(kept, c.kept) << c.what;
    }
}

TEST_F(StatsTest, MissingGroupsAndCountersChangeNothing)
{
    EXPECT_EQ(global->stats->Increment("cache", "nothing"), 0u);
    EXPECT_EQ(global->stats->Increment("no group", "hit"), 0u);
    EXPECT_EQ(global->stats->Decrement("no group", "hit"), 0u);
    EXPECT_FALSE(global->stats->AddCounter("no group", "x", STAT_UINT));
    EXPECT_EQ(global->stats->group_get("cache")->size(), 2u);
    EXPECT_EQ(global->stats->group_get("cache")->total_get(), 0u);
    // Taking back a hit that was never counted does not wrap.
    EXPECT_EQ(global->stats->Decrement("cache", "hit"), 0u);
    EXPECT_EQ(global->stats->group_get("cache")->total_get(), 0u);
}

TEST(StatGroupCallbacks, KindMustSuitTheCallback)
{
    StatGroup group("g", STATGROUP_VALUES);
    EXPECT_FALSE(group.Add("t", stat_usertime, STAT_UINT));
    EXPECT_FALSE(group.Add("n", stat_size, STAT_STRING));
    EXPECT_TRUE(group.Add("n", stat_size, STAT_FILESIZE));
    EXPECT_FALSE(group.Add("n", stat_size, STAT_FILESIZE)) << "name taken";
    EXPECT_EQ(group.size(), 1u);
    EXPECT_EQ(group.counters.front().flags, (unsigned)(STAT_FILESIZE | STAT_CALLBACK));
}

// Byte totals pass 4 GiB without wrapping.
TEST_F(StatsTest, CountersAreSixtyFourBit)
{
    uint64_t big = (uint64_t)3 << 32;
    EXPECT_EQ(global->stats->Increment("network", "bytes in", big), big);
    EXPECT_EQ(global->stats->Increment("network", "bytes in", big), 2 * big);
    std::string rows = rows_of(*global->stats);
    EXPECT_NE(rows.find(">bytes in</td><td>24.0 GB</td>"), std::string::npos) << rows;
}

TEST_F(StatsTest, DisplayRowsSharesAndEscaping)
{
    OwnedStats stats;
    stats->AddGroup("a<b", STATGROUP_COUNTS);
    stats->AddCounter("a<b", "x&y", STAT_UINT);
    stats->AddCounter("a<b", "two", STAT_UINT);
    stats->AddCounter("a<b", "three", STAT_UINT);
    stats->Increment("a<b", "x&y");
    stats->Increment("a<b", "two", 2);
    stats->AddGroup("empty", STATGROUP_COUNTS);
    stats->AddCounter("empty", "zero", STAT_UINT);

    std::string rows = rows_of(*stats);
    const char *expected =
        "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
        "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">a<b</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">x&amp;y</td><td>1 (33%)</td></tr>\n"
        "<tr class=\"listodd\"><td width=\"40%\">two</td><td>2 (66%)</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">three</td><td>0 (0%)</td></tr>\n"
        "</table></td></tr> <tr><td><br></td></tr>\n"
        "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
        "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">empty</td></tr>\n"
        "<tr class=\"listeven\"><td width=\"40%\">zero</td><td>0 (0%)</td></tr>\n"
        "</table></td></tr> <tr><td><br></td></tr>\n";
    EXPECT_EQ(rows, expected);

    OwnedStats none;
    EXPECT_EQ(rows_of(*none), "");
}

TEST_F(StatsTest, SharesAfterEvictionAddUpToLessThanAll)
{
    OwnedStats stats;
    stats->AddGroup("g", STATGROUP_COUNTS);
    stats->Limit("g", 3, PRUNE_OLDEST);
    for (const char *name : {"a", "b", "c"}) {
        stats->AddCounter("g", name, STAT_UINT);
        stats->Increment("g", name);
    }
    std::string rows = rows_of(*stats);
    EXPECT_EQ(rows.find(">a<"), std::string::npos);
    EXPECT_EQ(count_of(rows, "(33%)"), 2u) << rows;
}

TEST_F(StatsTest, GlobalGroupsInDisplayOrder)
{
    std::string rows = rows_of(*global->stats);
    const char *order[] = {"system", "requests", "network", "DNS cache",
                           "cache", "cache refresh", "connection pool",
                           "hosts", "mimes", "users", "ip addresses"};
    size_t at = 0;
    for (const char *group : order) {
        std::string head = std::string("colspan=\"2\">") + group + "</td>";
        size_t found = rows.find(head, at);
        ASSERT_NE(found, std::string::npos) << group;
        at = found;
    }
    // The system rows come from their callbacks.  The address space of a
    // sanitized process passes 4 GiB: the figure must not wrap.
    EXPECT_NE(rows.find(">user time</td><td>00:00:00.00</td>"), std::string::npos);
    EXPECT_EQ(rows.find("memory size</td><td>0.0 B"), std::string::npos) << rows;
    statm_t statm;
    ASSERT_TRUE(statm_load(&statm));
    EXPECT_GT(stat_size(), 0u);
    EXPECT_GE(stat_size(), stat_resident());
}

TEST(Statm, ReadsThisProcess)
{
    statm_t statm;
    ASSERT_TRUE(statm_load(&statm));
    EXPECT_GT(statm.size, 0u);
    EXPECT_GT(statm.resident, 0u);
    EXPECT_LE(statm.resident, statm.size);
}

TEST_F(StatsTest, RequestCountsGoToBothSetsButAddressesOnlyGlobally)
{
    CONNECTION_T *conn = connection_new();
    conn->user_stats = userstats_init();
    conn->client_ip = strdup("127.0.0.1");
    conn->request = header_new();
    header_field_set(&conn->request->host, "example.org");
    conn->response = header_new();
    header_field_set(&conn->response->media_type, "text/html");

    statincr_httprequests(conn);
    statincr_cachehit(conn);
    statincr_cachehit(conn);
    statdecr_cachehit(conn);
    statincr_hosts(conn);
    statincr_mimes(conn);
    statincr_ipaddresses(conn);

    for (Stats *s : {global->stats, conn->user_stats}) {
        EXPECT_EQ(s->Increment("requests", "HTTP requests", 0), 1u);
        EXPECT_EQ(s->Increment("cache", "hit", 0), 1u);
        EXPECT_EQ(s->Increment("hosts", "example.org", 0), 1u);
        EXPECT_EQ(s->Increment("mimes", "text/html", 0), 1u);
    }
    EXPECT_EQ(global->stats->Increment("ip addresses", "127.0.0.1", 0), 1u);
    EXPECT_EQ(conn->user_stats->group_get("ip addresses"), nullptr);

    // A request without a host or a response without a media type counts
    // nothing in those groups.
    header_field_set(&conn->request->host, nullptr);
    header_field_set(&conn->response->media_type, nullptr);
    statincr_hosts(conn);
    statincr_mimes(conn);
    EXPECT_EQ(global->stats->group_get("hosts")->size(), 1u);
    EXPECT_EQ(global->stats->group_get("mimes")->size(), 1u);

    http_header_free(conn->request);
    http_header_free(conn->response);
    conn->request = conn->response = nullptr;
    stats_release(conn->user_stats);
    conn->user_stats = nullptr;
    connection_free(conn);
}

// A rule's statistics live as long as some holder keeps a reference; the
// last release destroys them (a leak here fails the sanitizer build).
TEST(StatsReferences, LastReleaseDestroys)
{
    Stats *rule = userstats_init();
    EXPECT_EQ(rule->count, 1);
    EXPECT_EQ(stats_hold(rule), rule);
    EXPECT_EQ(rule->count, 2);
    stats_release(rule);
    EXPECT_EQ(rule->count, 1);
    rule->Increment("requests", "HTTP requests");
    stats_release(rule);
    stats_release(nullptr);
    EXPECT_EQ(stats_hold(nullptr), nullptr);
}

void *count_many(void *arg)
{
    Stats *stats = static_cast<Stats *>(arg);
    for (int i = 0; i < 2000; i++) {
        std::string name = "h" + std::to_string(i % 250);
        stats->AddCounter("hosts", name, STAT_UINT);
        stats->Increment("hosts", name);
        stats->Increment("requests", "HTTP requests");
    }
    return nullptr;
}

// Concurrent counting loses nothing, evictions included.
TEST_F(StatsTest, ConcurrentCountingKeepsExactTotals)
{
    pthread_t threads[4];
    for (pthread_t &t : threads)
        ASSERT_EQ(pthread_create(&t, nullptr, count_many, global->stats), 0);
    for (pthread_t &t : threads)
        pthread_join(t, nullptr);
    EXPECT_EQ(global->stats->Increment("requests", "HTTP requests", 0), 8000u);
    StatGroup *hosts = global->stats->group_get("hosts");
    EXPECT_EQ(hosts->size(), 99u);
    // An increment can miss a counter that another thread evicted between
    // the add and the increment, so the total is at most every increment.
    EXPECT_LE(hosts->total_get(), 8000u);
    EXPECT_GT(hosts->total_get(), 0u);
}

}  // namespace
