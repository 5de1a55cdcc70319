// Site categorisation: the chain key, the MX answer walk on built replies,
// hint and cache file lines, the cache's one record per host and its
// atomic save, and lookups against dnsmasq serving the service's zone.
#include <gtest/gtest.h>

#include <arpa/nameser.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "filters/sortmarks.h"
#include "runtime/filebuf.h"
#include "fixture.h"
#include "peer.h"

extern char **environ;

namespace {

class TempDir {
public:
    TempDir()
    {
        char templ[] = "/tmp/kvsmXXXXXX";
        path = mkdtemp(templ);
    }
    ~TempDir() { EXPECT_EQ(0, system(("rm -rf " + path).c_str())); }
    std::string read(const std::string &name) const
    {
        std::ifstream in(path + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    std::string path;
};

SortmarksScores scores_with(int index, int value)
{
    SortmarksScores s;
    memset(&s, 0, sizeof(s));
    s.score[index] = value;
    return s;
}

// A DNS reply: header, one question, then records of (owner, type, rdata).
struct Rr {
    std::string owner;
    int type;
    std::string rdata;
};

std::string name_wire(const std::string &name)
{
    std::string out;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos)
            dot = name.size();
        out += (char)(dot - start);
        out += name.substr(start, dot - start);
        start = dot + 1;
    }
    return out + '\0';
}

std::string mx(int preference, const std::string &exchange)
{
    return std::string{(char)(preference >> 8), (char)(preference & 0xff)} + name_wire(exchange);
}

std::string reply(const std::vector<Rr> &records)
{
    std::string r(12, '\0');
    r[5] = 1;   // one question
    r[7] = (char)records.size();
    r += name_wire("www.example.test") + std::string("\0\x0f\0\x01", 4);
    for (const Rr &rr : records) {
        r += name_wire(rr.owner);
        r += std::string{0, (char)rr.type, 0, 1, 0, 0, 0, 60};
        r += std::string{(char)(rr.rdata.size() >> 8), (char)(rr.rdata.size() & 0xff)};
        r += rr.rdata;
    }
    return r;
}

TEST(Sortmarks, TableAndChainKey)
{
    EXPECT_EQ(0, sortmarks_category("ads"));
    EXPECT_EQ(30, sortmarks_category("business"));
    EXPECT_EQ(-1, sortmarks_category("Ads"));
    EXPECT_STREQ("Adult Education", sortmarks_category_title(2));
    EXPECT_EQ(nullptr, sortmarks_category_name(31));
    EXPECT_EQ(0, sm_cache_key(8111, ""));
    EXPECT_EQ(sm_cache_key(8111, "WWW.Example.COM"), sm_cache_key(8111, "www.example.com"));
    EXPECT_GE(sm_cache_key(8111, "\xff\xfe\x80"), 0);
}

TEST(Sortmarks, MxWalkTakesCategoryExchangesFromEverySection)
{
    std::string good = reply({{"www.example.test", ns_t_mx, mx(30, "porn")},
                              {"www.example.test", ns_t_a, std::string("\x7f\0\0\x01", 4)},
                              {"www.example.test", ns_t_mx, mx(7, "Porn")},
                              {"www.example.test", ns_t_mx, mx(9, "news.extra")},
                              {"www.example.test", ns_t_mx, mx(65535, "ads")}});
    SortmarksScores s;
    memset(&s, 0, sizeof(s));
    EXPECT_EQ(2, sortmarks_mx_walk((const unsigned char *)good.data(), good.size(), &s));
    EXPECT_EQ(30, s.score[22]);
    EXPECT_EQ(65535, s.score[0]);
    EXPECT_EQ(0, s.score[21]);
    EXPECT_EQ(0, s.score[31]);
    // Every cut of the reply stays within it and never finds more.
    for (size_t n = 0; n < good.size(); n++) {
        std::vector<unsigned char> cut(good.begin(), good.begin() + (long)n);
        SortmarksScores t;
        memset(&t, 0, sizeof(t));
        EXPECT_LE(sortmarks_mx_walk(cut.data(), cut.size(), &t), 2) << n;
    }
}

TEST(Sortmarks, FileLinesGiveAHostAndThirtyTwoScores)
{
    std::string scores = "1";
    for (int i = 1; i < 32; i++)
        scores += ", " + std::to_string(i + 1);
    std::string host;
    SortmarksScores s;
    ASSERT_TRUE(sortmarks_line_parse("www.example.test\t" + scores + " trailing", &host, &s));
    EXPECT_EQ("www.example.test", host);
    EXPECT_EQ(1, s.score[0]);
    EXPECT_EQ(32, s.score[31]);
    const std::string bad[] = {"", "\t" + scores, "host", "host 1,2,3",
                               "host " + scores.substr(0, scores.rfind(',')),
                               std::string(1025, 'h') + " " + scores, "host x" + scores};
    for (const std::string &line : bad)
        EXPECT_FALSE(sortmarks_line_parse(line, &host, &s)) << line;
}

TEST(Sortmarks, CacheKeepsOneRecordPerHostAndSavesAtomically)
{
    global_for_process();
    TempDir dir;
    std::string line = "\t0";
    for (int i = 1; i < 32; i++)
        line += "," + std::to_string(i == 22 ? 90 : 0);
    std::ofstream(dir.path + "/local.sortmarks") << "hinted.test" << line << "\r\n"
                                                 << "Both.test" << line << "\n"
                                                 << std::string(3000, 'x') << "\n";
    std::ofstream(dir.path + "/old.sortmarks.old") << "ignored.test" << line << "\n";
    std::string first = "\t1";
    for (int i = 1; i < 32; i++)
        first += ",0";
    std::ofstream(dir.path + "/sortmarks.cache") << "\nboth.test" << first << "\ncached.test"
                                                 << line;
    {
        SortmarksCache cache;
        EXPECT_EQ(3, cache.load(dir.path));
        SortmarksScores s;
        ASSERT_TRUE(cache.find("BOTH.test", &s));
        EXPECT_EQ(90, s.score[22]);   // the hint file wins
        EXPECT_FALSE(cache.find("ignored.test", &s));
        EXPECT_EQ(3, cache.save(dir.path));
        EXPECT_EQ(0, cache.added());
        EXPECT_EQ(0, cache.save(dir.path));   // nothing new: nothing written
        EXPECT_TRUE(cache.add("new.test", scores_with(1, 5)));
        EXPECT_FALSE(cache.add("NEW.test", scores_with(1, 6)));
        EXPECT_EQ(4, cache.save(dir.path));
        struct stat st;
        EXPECT_NE(0, stat((dir.path + "/sortmarks.cache.new").c_str(), &st));
    }
    std::string saved = dir.read("sortmarks.cache");
    EXPECT_EQ('\n', saved[0]);
    EXPECT_NE('\n', saved.back());
    // Loading again yields exactly what was written, one record a host,
    // so restarts never grow the file.
    for (int round = 0; round < 2; round++) {
        SortmarksCache again;
        EXPECT_EQ(4, again.load(dir.path));
        EXPECT_EQ(4, again.save(dir.path));
        std::string now = dir.read("sortmarks.cache");
        EXPECT_EQ(saved.size(), now.size());
    }
    // A purge removes the record.
    SortmarksCache c;
    c.add("gone.test", scores_with(3, 1));
    EXPECT_TRUE(c.purge("GONE.test"));
    SortmarksScores s;
    EXPECT_FALSE(c.find("gone.test", &s));
}

// dnsmasq from dnsmasq-base, on 127.0.0.1 at a free port, answering the
// service's zone with MX records.
class Dnsmasq {
public:
    Dnsmasq(const std::string &dir, const std::vector<std::string> &records)
    {
        {
            ScriptedPeer probe([](int) {});
            port = probe.port;
        }
        std::string conf = dir + "/dnsmasq.conf";
        std::ofstream out(conf);
        out << "listen-address=127.0.0.1\nbind-interfaces\nno-resolv\nno-hosts\n"
            << "port=" << port << "\npid-file=" << dir << "/dnsmasq.pid\n";
        for (const std::string &r : records)
            out << r << "\n";
        out.close();
        std::string arg = "-C" + conf;
        char *argv[] = {(char *)"dnsmasq", (char *)"-k", (char *)arg.c_str(), nullptr};
        if (posix_spawnp(&pid, "dnsmasq", nullptr, nullptr, argv, environ) != 0)
            pid = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    ~Dnsmasq()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
    }
    int port = 0;
    pid_t pid = -1;
};

TEST(Sortmarks, LookupsAskTheServiceOnceAndCacheOnlyCategorisedHosts)
{
    if (system("command -v dnsmasq >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dnsmasq is not installed";
    global_for_process();
    TempDir dir;
    std::string zone = SORTMARKS_ZONE;
    Dnsmasq dns(dir.path, {"mx-host=www.shop.test." + zone + ",shopping,40",
                           "mx-host=www.shop.test." + zone + ",news,3",
                           "mx-host=www.unknown.test." + zone + ",mail.elsewhere,5"});
    ASSERT_GT(dns.pid, 0);
    sortmarks_test_dns_port = dns.port;
    SortmarksCache cache;
    SortmarksScores s;
    ASSERT_TRUE(cache.search("www.shop.test", &s));
    EXPECT_EQ(40, s.score[25]);
    EXPECT_EQ(3, s.score[21]);
    EXPECT_EQ(0, s.score[0]);
    EXPECT_EQ(1, cache.count());
    EXPECT_TRUE(cache.search("WWW.SHOP.TEST", &s));
    EXPECT_EQ(1, cache.count());
    EXPECT_FALSE(cache.search("www.unknown.test", &s));
    EXPECT_FALSE(cache.search("www.none.test", &s));
    EXPECT_EQ(1, cache.count());
    sortmarks_test_dns_port = 0;
}

}  // namespace

namespace {

TEST(Sortmarks, TestPageEscapesTheTypedDomains)
{
    global_for_process();
    Filebuf form;
    sortmarks_page(&form, "", "");
    std::string text(form.data ? form.data : "", form.size);
    EXPECT_NE(std::string::npos, text.find("name=\"domain\" value=\"\""));
    Filebuf page;
    sortmarks_page(&page, "<script>alert(1)</script>,,\"quoted\".test", "no");
    text.assign(page.data, page.size);
    EXPECT_EQ(std::string::npos, text.find("<script>"));
    EXPECT_NE(std::string::npos, text.find("&lt;script&gt;alert(1)&lt;/script&gt;"));
    EXPECT_NE(std::string::npos, text.find("&quot;quoted&quot;.test"));
    // Two entries, two tables, the second "listeven".
    EXPECT_NE(std::string::npos, text.find("<tr class=\"listeven\">"));
}

}  // namespace
