// The URL blacklist's tree on disk and its lookup, the list-file line
// reader under it, and the DNS blacklist's query names.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "config/values.h"
#include "engine/dns.h"
#include "runtime/hash.h"
#include "filters/dnsbl.h"
#include "filters/listfile.h"
#include "filters/urlbl.h"
#include "fixture.h"

namespace {

class Tree {
public:
    Tree()
    {
        char templ[] = "/tmp/kvblXXXXXX";
        root = mkdtemp(templ);
    }
    ~Tree() { EXPECT_EQ(0, system(("rm -rf " + root).c_str())); }
    void file(const std::string &category, const std::string &name, const std::string &text)
    {
        mkdir((root + "/" + category).c_str(), 0700);
        std::ofstream(root + "/" + category + "/" + name, std::ios::binary) << text;
    }
    std::string root;
};

std::vector<std::string> split(const std::string &text, size_t max, size_t *skipped)
{
    std::vector<std::string> lines;
    LineSplitter s(max, [&](const std::string &l) { lines.push_back(l); });
    // Fed a byte at a time, so that no line depends on where blocks end.
    for (char c : text)
        s.Feed(&c, 1);
    s.Finish();
    *skipped = s.skipped;
    return lines;
}

TEST(ListFile, LinesLoseTheirEndsAndOverlongLinesAreSkippedWhole)
{
    struct {
        std::string text;
        std::vector<std::string> lines;
        size_t skipped;
    } cases[] = {
        {"a\nb\n", {"a", "b"}, 0},
        {"a\r\nb\r\n", {"a", "b"}, 0},
        {"a\nlast", {"a", "last"}, 0},
        {"\n\n", {"", ""}, 0},
        {"12345\nabcdef\nxy\n", {"12345", "xy"}, 1},   // limit 5
        {"1234\r\n12345\r\n", {"1234", "12345"}, 0},
        {"123456", {}, 1},
        {"a\rb\n", {"a\rb"}, 0},
    };
    for (const auto &c : cases) {
        size_t skipped;
        EXPECT_EQ(c.lines, split(c.text, 5, &skipped)) << c.text;
        EXPECT_EQ(c.skipped, skipped) << c.text;
    }
}

class URLBLTree : public ::testing::Test {
protected:
    static void SetUpTestSuite() { global_for_process(); }
};

TEST_F(URLBLTree, TreeLoadsDomainsAndUrlsWithoutCase)
{
    Tree t;
    t.file("porn", "domains", "Bad.Example\r\nother.test\r\n" + std::string(2000, 'x') + "\r\n");
    t.file("porn", "urls", "bad.example/ignored\nmixed.test/Secret/\nwhole.test\n"
                           "MIXED.test/other\n" + std::string(600, 'h') + "/p\n");
    t.file("ads", "urls", "ads.test/banner");
    t.file("empty", "readme", "no lists here\n");
    std::ofstream(t.root + "/not-a-category") << "x";
    URLBLCategoryMap map;
    ASSERT_EQ(3, urlbl_tree_load(t.root, &map));
    ASSERT_EQ(1u, map.count("porn"));
    const URLBLHostMap &porn = map["porn"];
    EXPECT_TRUE(porn.at("bad.example").empty());
    EXPECT_TRUE(porn.at("whole.test").empty());
    EXPECT_EQ((std::vector<std::string>{"/Secret/", "/other"}), porn.at("mixed.test"));
    EXPECT_EQ(1u, porn.count(std::string(URLBL_HOST_MAX, 'h')));
    // The overlong line listed nothing, neither whole nor cut.
    for (const auto &host : porn)
        EXPECT_EQ(std::string::npos, host.first.find("xxx")) << host.first.size();
    EXPECT_TRUE(map["empty"].empty());
    EXPECT_EQ(-1, urlbl_tree_load(t.root + "/missing", &map));
    EXPECT_TRUE(map.empty());
}

TEST_F(URLBLTree, LookupMatchesHostSuffixesAndPathPrefixes)
{
    Tree t;
    t.file("adult", "domains", "bad.example\n");
    t.file("adult", "urls", "mixed.test/secret/\nmixed.test/Other\nbare.test\n");
    t.file("ads", "domains", "mixed.test\n");
    URLBLCategoryMap map;
    ASSERT_EQ(2, urlbl_tree_load(t.root, &map));
    const std::vector<std::string> adult = {"adult"}, both = {"ads", "adult"},
                                   missing = {"gambling"}, wrongcase = {"Adult"};
    struct {
        const std::vector<std::string> *categories;
        const char *host;
        const char *path;
        const char *category;   // null: no match
    } cases[] = {
        {&adult, "bad.example", "/", "adult"},
        {&adult, "WWW.Bad.Example", "/any/path", "adult"},
        {&adult, "a..bad.example.", "/", "adult"},
        {&adult, "notbad.example", "/", nullptr},
        {&adult, "example", "/", nullptr},
        {&adult, "mixed.test", "/SECRET/page", "adult"},
        {&adult, "mixed.test", "/other/x", "adult"},
        {&adult, "mixed.test", "/public", nullptr},
        {&adult, "mixed.test", "/secret", nullptr},
        {&adult, "bare.test", "/anything", "adult"},
        {&both, "mixed.test", "/public", "ads"},
        {&missing, "bad.example", "/", nullptr},
        {&wrongcase, "bad.example", "/", nullptr},
        {&adult, "", "/", nullptr},
        {&adult, "...", "/", nullptr},
    };
    for (const auto &c : cases) {
        const std::string *found = urlbl_category_match(map, *c.categories, c.host, c.path);
        if (c.category == nullptr)
            EXPECT_EQ(nullptr, found) << c.host << c.path;
        else
            EXPECT_EQ(c.category, found ? *found : std::string("none")) << c.host << c.path;
    }
}

TEST(DNSBL, QueryNamesUseTheLastTwoLabels)
{
    struct {
        const char *host;
        const char *query;
    } cases[] = {
        {"www.example.com", "example.com.bl.test"},
        {"a.example.com", "example.com.bl.test"},
        {"deep.er.example.com", "example.com.bl.test"},
        {"example.com", "example.com.bl.test"},
        {"localhost", "localhost.bl.test"},
        {"10.1.2.3", "2.3.bl.test"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.query, dnsbl_query(c.host, "bl.test")) << c.host;
    EXPECT_EQ((size_t)DNSBL_QUERY_MAX, dnsbl_query(std::string(2000, 'a').c_str(), "z").size());
}

// Answers of a resolver that knows a few names.
HOSTENT *zone_resolver(const char *name)
{
    const char *answer = nullptr;
    if (strcmp(name, "listed.test.bl.test") == 0)
        answer = "127.0.0.2";
    else if (strcmp(name, "other.test.bl.test") == 0)
        answer = "127.0.0.9";
    if (answer == nullptr)
        return nullptr;
    return p_gethostbyname(answer);
}

TEST_F(URLBLTree, DnsblListsOnlyAnswersInTheRanges)
{
    HOSTENT *(*saved)(const char *) = dns_resolver;
    dns_resolver = zone_resolver;
    pthread_mutex_init(&global->dns_lock, nullptr);
    global->dns_cache = hash_create(DNS_CACHE_BUCKETS);
    IpRangeList ranges("127.0.0.2-127.0.0.3");
    IpRangeList none;
    std::string address;
    EXPECT_TRUE(dnsbl_listed("www.listed.test", "bl.test", ranges, &address));
    EXPECT_EQ("127.0.0.2", address);
    EXPECT_FALSE(dnsbl_listed("www.other.test", "bl.test", ranges, &address));
    EXPECT_FALSE(dnsbl_listed("www.unknown.test", "bl.test", ranges, &address));
    EXPECT_FALSE(dnsbl_listed("www.listed.test", "bl.test", none, &address));
    EXPECT_FALSE(dnsbl_listed("www.listed.test", "", ranges, &address));
    EXPECT_FALSE(dnsbl_listed("", "bl.test", ranges, &address));
    dns_resolver = saved;
    hash_destroy(global->dns_cache);
    global->dns_cache = nullptr;
}

}  // namespace
