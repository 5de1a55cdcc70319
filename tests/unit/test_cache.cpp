// The object cache: which heads are cacheable, dates, Cache-Control
// directives, journal lines, and the life of objects in memory and on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "cache/cache.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "runtime/filebuf.h"
#include "fixture.h"

namespace {

HEADER *response(const char *text)
{
    return http_header_parse_response(text);
}

HEADER *request(const char *text)
{
    return http_header_parse_request(text);
}

} // namespace

TEST(Cacheable, Heads)
{
    struct Case {
        const char *head;
        bool is_response;
        bool cacheable;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\n", true, true},
        {"HTTP/1.1 404 Not Found\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\nSet-Cookie: a=1\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\nset-cookie2: a=1\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\nVary: User-Agent\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\nVary: Accept-Encoding, Cookie\r\n\r\n", true, false},
        {"HTTP/1.1 200 OK\r\nVary: accept-encoding\r\n\r\n", true, true},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: gzip\r\n\r\n", true, true},
        {"HTTP/1.1 200 OK\r\nContent-Encoding: br\r\n\r\n", true, false},
        {"GET http://a.example/x HTTP/1.1\r\n\r\n", false, true},
        {"get http://a.example/x HTTP/1.1\r\n\r\n", false, true},
        {"HEAD http://a.example/x HTTP/1.1\r\n\r\n", false, false},
        {"GET http://a.example/x HTTP/1.1\r\nRange: bytes=0-1\r\n\r\n", false, false},
        {"GET http://a.example/x HTTP/1.1\r\nAuthorization: Basic eDp5\r\n\r\n", false, false},
        {"GET http://bob:pw@a.example/x HTTP/1.1\r\n\r\n", false, false},
        {"GET http://Anonymous:me@a.example/x HTTP/1.1\r\n\r\n", false, true},
        {"GET /x HTTP/1.1\r\nHost: a.example\r\n\r\n", false, false},
    };
    for (const Case &c : cases) {
        HEADER *h = c.is_response ? response(c.head) : request(c.head);
        ASSERT_NE(h, nullptr) << c.head;
        EXPECT_EQ(cacheable(h), c.cacheable) << c.head;
        http_header_free(h);
    }
    EXPECT_FALSE(cacheable(nullptr));
}

TEST(HttpDate, ReadAsUtcInEveryZone)
{
    const char *saved = getenv("TZ");
    std::string old = saved ? saved : "";
    for (const char *zone : {"UTC", "Pacific/Kiritimati", "America/Adak", "Europe/London"}) {
        setenv("TZ", zone, 1);
        tzset();
        EXPECT_EQ(http_date_parse("Sun, 06 Nov 1994 08:49:37 GMT"), 784111777) << zone;
        EXPECT_EQ(http_date_parse("Sunday, 06-Nov-94 08:49:37 GMT"), 784111777) << zone;
        EXPECT_EQ(http_date_parse("Sun Nov  6 08:49:37 1994"), 784111777) << zone;
        // A summer date, where a local conversion would add daylight saving.
        EXPECT_EQ(http_date_parse("Mon, 01 Jul 2024 12:00:00 GMT"), 1719835200) << zone;
    }
    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    for (const char *bad : {"", "yesterday", "Sun, 06 Nov 1994", "Sun, 06 Nov 1994 08:49:37 GMT x",
                            "0", "-1"})
        EXPECT_EQ(http_date_parse(bad), 0) << bad;
    EXPECT_EQ(http_date_parse(nullptr), 0);
}

TEST(CacheControl, DirectivesAreTrimmedAndNamedWithOrWithoutArguments)
{
    std::vector<std::pair<std::string, std::string>> seen;
    cache_control_each(" Max-Age = \"60\" ,,no-cache, private=\"x\",  must-revalidate ",
                       [&](const std::string &name, const char *arg) {
                           seen.emplace_back(name, arg ? arg : "-");
                       });
    std::vector<std::pair<std::string, std::string>> expected = {
        {"max-age", "60"}, {"no-cache", "-"}, {"private", "x"}, {"must-revalidate", "-"}};
    EXPECT_EQ(seen, expected);
}

TEST(Journal, LinesSplitAtRunsOfTabs)
{
    std::string f[10];
    EXPECT_EQ(journal_split("896\thttp://a/\t10\t\t1\t2", f, 10), 5);
    EXPECT_EQ(f[1], "http://a/");
    EXPECT_EQ(f[3], "1");
    EXPECT_EQ(journal_split("", f, 10), 0);
    EXPECT_EQ(journal_split("\t\t\t", f, 10), 0);
    EXPECT_EQ(journal_split("a\tb\tc\td\te\tf\tg\th\ti\tj\tk\tl", f, 10), 10);
}

class Objects : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(cache_section);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/kv-cache-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        load({});
    }

    void TearDown() override
    {
        load({}, false);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // The cache section with the given global values and, when store is
    // true, one disk store in the temporary directory.
    void load(std::map<std::string, std::string> set, bool store = true)
    {
        std::map<std::string, std::string> values = {
            {"enabled", "true"},       {"allow_violations", "false"},
            {"memory_size", "64M"},    {"memory_free_extra", "8M"},
            {"minsize", "0"},          {"maxsize", "1M"},
            {"prefetch_window", "60"}, {"icp_port", "0"},
            {"icp_timeout", "1000"},   {"store_selection", "fewest_bytes"},
            {"journal_lines", "0"},    {"clean_interval", "30"},
        };
        for (auto &kv : set)
            values[kv.first] = kv.second;
        std::string xml = "<kelvarine><cache>";
        for (auto &kv : values)
            xml += "<" + kv.first + ">" + kv.second + "</" + kv.first + ">";
        if (store)
            xml += "<store><enabled>true</enabled><comment/><profiles/><path>" + dir +
                   "/s</path><max_size>1G</max_size><free_extra>64M</free_extra>"
                   "<md5_check>true</md5_check></store>";
        xml += "<refresh><enabled>true</enabled><comment/><profiles/><cacheable>true</cacheable>"
               "<min_age>0</min_age><max_age>600</max_age><validate_age>600</validate_age>"
               "<lm_factor>20</lm_factor></refresh></cache></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << xml;
        cache_section->load(&doc, 1);
    }

    // A new object written whole under key with the body.
    void store(const char *key, const std::string &body, const char *extra = "")
    {
        CACHEMAP *o = create(key, body.size(), extra);
        ASSERT_NE(o, nullptr);
        ASSERT_EQ(cache_section->add(o, body.data(), body.size()), (int64_t)body.size());
        cache_section->cache_close(o, true);
    }

    CACHEMAP *create(const char *key, size_t length, const char *extra = "")
    {
        head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) +
               "\r\nCache-Control: max-age=300\r\n" + extra + "\r\n";
        CONNECTION_T *conn = connection_new();
        CACHEMAP *o = cache_section->cache_open(conn, key, head.c_str(), CACHE_OPEN_CREATE);
        connection_free(conn);
        return o;
    }

    std::string body_of(CACHEMAP *o)
    {
        Filebuf *b = cache_section->read_filebuf(o);
        std::string s = b ? std::string(b->data ? b->data : "", b->size) : "<none>";
        delete b;
        return s;
    }

    std::string dir;
    std::string head;
};

TEST_F(Objects, WrittenObjectIsFoundWithItsBodyAndHead)
{
    store("http://a/1", "hello");
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/1", nullptr, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(body_of(o), "hello");
    EXPECT_EQ(cache_section->get_cachemap_size(o), 5);
    char *h = cache_section->cachemap_headers(o);
    EXPECT_EQ(std::string(h), head);
    free(h);
    int flags = cache_section->flag_get(o);
    EXPECT_TRUE(flags & CACHE_DISK);
    EXPECT_FALSE(flags & (CACHE_EXPIRED | CACHE_WRITING));
    cache_section->cache_close(o, false);
    EXPECT_EQ(cache_section->cache_open(nullptr, "http://a/other", nullptr, 0), nullptr);
}

TEST_F(Objects, JournalBringsDiskObjectsBackAndDropsUnfinishedOnes)
{
    store("http://a/kept", std::string(100000, 'k'));
    CACHEMAP *writing = create("http://a/writing", 10);
    ASSERT_NE(writing, nullptr);
    ASSERT_EQ(cache_section->add(writing, "12345", 5), 5);
    // A configuration change rebuilds the stores from the journal while
    // the writer still holds its object.
    load({});
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/kept", nullptr, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(body_of(o), std::string(100000, 'k'));
    cache_section->cache_close(o, false);
    cache_section->invalidate(writing);
    // A store path that is gone detaches the objects; back again, the
    // journal lists only the finished one.
    load({}, false);
    load({});
    EXPECT_TRUE(cache_section->exists("http://a/kept"));
    EXPECT_FALSE(cache_section->exists("http://a/writing"));
}

TEST_F(Objects, DigestMismatchDropsTheObject)
{
    store("http://a/md5", "original body");
    // Unmapped as the cleaner does, the object keeps only its file, which
    // then changes behind the cache's back.
    cache_section->mutex_lock();
    cache_section->mem_delete(cache_section->hash_find("http://a/md5"));
    cache_section->unlock();
    std::string cmd = "for f in '" + dir + "'/s/*/*; do sed -i 's/original/tampered/' \"$f\"; done";
    ASSERT_EQ(system(cmd.c_str()), 0);
    EXPECT_EQ(cache_section->cache_open(nullptr, "http://a/md5", nullptr, 0), nullptr);
    EXPECT_FALSE(cache_section->exists("http://a/md5"));
}

TEST_F(Objects, SizeLimits)
{
    load({{"maxsize", "1000"}, {"minsize", "120"}});
    // Announced above the limit: refused at creation.
    EXPECT_EQ(create("http://a/big", 5000), nullptr);
    // Growing past the limit without an announcement: dropped, the
    // writer keeps relaying.
    head = "HTTP/1.1 200 OK\r\n\r\n";
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/grow", head.c_str(),
                                            CACHE_OPEN_CREATE);
    ASSERT_NE(o, nullptr);
    std::string block(600, 'x');
    EXPECT_EQ(cache_section->add(o, block.data(), block.size()), 600);
    EXPECT_EQ(cache_section->add(o, block.data(), block.size()), -1);
    EXPECT_TRUE(cache_section->flag_get(o) & CACHE_INVALID);
    cache_section->cache_close(o, true);
    EXPECT_FALSE(cache_section->exists("http://a/grow"));
    // Below the minimum at finish: invalid, refusing its key.
    store("http://a/small", "x");
    EXPECT_EQ(cache_section->cache_open(nullptr, "http://a/small", nullptr, 0), nullptr);
}

TEST_F(Objects, ReadersFollowTheWriterAndSeeItsFailure)
{
    for (bool fail : {false, true}) {
        std::string key = fail ? "http://a/fail" : "http://a/follow";
        CACHEMAP *w = create(key.c_str(), 6);
        ASSERT_NE(w, nullptr);
        CACHEMAP *r = cache_section->cache_open(nullptr, key.c_str(), nullptr, 0);
        ASSERT_NE(r, nullptr);
        EXPECT_TRUE(cache_section->flag_get(r) & CACHE_WRITING);
        std::string got;
        std::thread reader([&] { got = body_of(r); });
        ASSERT_EQ(cache_section->add(w, "abc", 3), 3);
        usleep(50000);
        if (fail) {
            cache_section->invalidate(w);
        } else {
            ASSERT_EQ(cache_section->add(w, "def", 3), 3);
            cache_section->cache_close(w, true);
        }
        reader.join();
        EXPECT_EQ(got, fail ? "<none>" : "abcdef");
        cache_section->cache_close(r, false);
        EXPECT_EQ(cache_section->exists(key.c_str()), !fail);
    }
}

TEST_F(Objects, ReaderOfAGivenUpObjectStillGetsItsWholeBody)
{
    // A refresh gives up the object a hit has opened already: the hit still
    // sends the body it found whole, and the object goes at its close.
    store("http://a/given-up", "hello");
    CACHEMAP *r = cache_section->cache_open(nullptr, "http://a/given-up", nullptr, 0);
    ASSERT_NE(r, nullptr);
    CACHEMAP *refresher = cache_section->cache_open(nullptr, "http://a/given-up", nullptr, 0);
    ASSERT_EQ(refresher, r);
    cache_section->invalidate(refresher);
    EXPECT_TRUE(cache_section->flag_get(r) & CACHE_INVALID);
    Filebuf buf;
    EXPECT_EQ(cache_section->append_body(r, &buf), 5);
    EXPECT_EQ(std::string(buf.data ? buf.data : "", buf.size), "hello");
    cache_section->cache_close(r, false);
    EXPECT_FALSE(cache_section->exists("http://a/given-up"));
}

TEST_F(Objects, RecreationReplacesIdleObjectsOnly)
{
    store("http://a/re", "old");
    CACHEMAP *r = cache_section->cache_open(nullptr, "http://a/re", nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(create("http://a/re", 3), nullptr);
    cache_section->cache_close(r, false);
    store("http://a/re", "new");
    r = cache_section->cache_open(nullptr, "http://a/re", nullptr, 0);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(body_of(r), "new");
    // The only user asks for the count: the object goes at its close.
    EXPECT_EQ(cache_section->refcount(r), 1);
    cache_section->cache_close(r, false);
    EXPECT_FALSE(cache_section->exists("http://a/re"));
}

TEST_F(Objects, ViolationsOnlyOfflineOrWhenAllowed)
{
    for (const char *cc : {"Cache-Control: no-store\r\n", "Cache-Control: private\r\n"}) {
        load({});
        store("http://a/v", "secret", cc);
        EXPECT_EQ(cache_section->cache_open(nullptr, "http://a/v", nullptr, 0), nullptr) << cc;
        CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/v", nullptr, CACHE_OFFLINE);
        ASSERT_NE(o, nullptr) << cc;
        cache_section->invalidate(o);
    }
}

TEST_F(Objects, FlagString)
{
    CACHEMAP *o = cachemap_new(false);
    char *s = cache_section->flag_string(o);
    EXPECT_STREQ(s, "");
    free(s);
    o->flags = CACHE_CONDVAR | CACHE_WRITING | CACHE_DISK | CACHE_FORCE;
    s = cache_section->flag_string(o);
    EXPECT_STREQ(s, "CACHE_WRITING, CACHE_DISK, CACHE_FORCE");
    free(s);
    delete o;
}

TEST_F(Objects, CleaningKeepsMemoryWithinItsSizeOldestFirst)
{
    load({{"memory_size", "300K"}, {"memory_free_extra", "100K"}, {"clean_interval", "1"},
          {"maxsize", "0"}},
         false);
    std::string body(50000, 'm');
    for (int i = 0; i < 5; i++)
        store(("http://a/m" + std::to_string(i)).c_str(), body);
    sleep(2);
    for (int i = 5; i < 12; i++) {
        store(("http://a/m" + std::to_string(i)).c_str(), body);
        sleep(i == 8 ? 2 : 0);
    }
    EXPECT_LE(cache_section->memory_bytes, 300u * 1024);
    EXPECT_FALSE(cache_section->exists("http://a/m0"));
    EXPECT_TRUE(cache_section->exists("http://a/m11"));
}
