// The object cache: which heads are cacheable, dates, Cache-Control
// directives, journal lines, and the life of objects in memory and on disk.
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "cache/cache.h"
#include "runtime/performance.h"
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
            xml += "<store><enabled>true</enabled><comment/><profiles/><path>" + dir + "/" +
                   store_name + "</path><max_size>" + store_size + "</max_size><free_extra>" +
                   store_free_extra + "</free_extra><md5_check>" + (md5 ? "true" : "false") +
                   "</md5_check></store>";
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

    // The object's file in the store it was written to.
    std::string file_of(const char *key)
    {
        char path[1024];
        cache_section->mutex_lock();
        cache_section->filename(cache_section->hash_find(key), path, sizeof(path));
        cache_section->unlock();
        return path;
    }

    // Unmaps an idle disk object as the cleaner does; it keeps its file.
    void unmap(const char *key)
    {
        cache_section->mutex_lock();
        cache_section->mem_delete(cache_section->hash_find(key));
        cache_section->unlock();
    }

    int open_descriptors()
    {
        int n = 0;
        std::string cmd = "ls /proc/" + std::to_string(getpid()) + "/fd | wc -l";
        FILE *p = popen(cmd.c_str(), "r");
        if (p) {
            if (fscanf(p, "%d", &n) != 1)
                n = -1;
            pclose(p);
        }
        return n;
    }

    std::string dir;
    std::string head;
    std::string store_name = "s";
    std::string store_size = "1G";
    std::string store_free_extra = "64M";
    bool md5 = true;
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

// The performance log's columns of objects made resident in memory and
// released from it follow the cache.
TEST_F(Objects, PerformanceLogCountsObjectsMadeResidentAndReleased)
{
    PerformanceLog *kept = performance_log;
    PerformanceLog counting;
    performance_log = &counting;
    store("http://a/perf", "resident");
    uint64_t made = counting.get_cache_mmaps_created();
    EXPECT_GE(made, 1u);
    EXPECT_EQ(counting.get_cache_mmaps_deleted(), 0u);
    unmap("http://a/perf");
    EXPECT_EQ(counting.get_cache_mmaps_deleted(), 1u);
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/perf", nullptr, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(counting.get_cache_mmaps_created(), made + 1);
    cache_section->cache_close(o, false);
    performance_log = kept;
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
    load({});
    store("http://a/v", "secret", "Cache-Control: private\r\n");
    EXPECT_EQ(cache_section->cache_open(nullptr, "http://a/v", nullptr, 0), nullptr);
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/v", nullptr, CACHE_OFFLINE);
    ASSERT_NE(o, nullptr);
    cache_section->invalidate(o);
}

TEST_F(Objects, NoStoreIsNeverStoredInMemoryOrOnDisk)
{
    for (const char *cc : {"Cache-Control: no-store\r\n", "Cache-Control: public, NO-STORE\r\n"}) {
        EXPECT_EQ(create("http://a/ns", 6, cc), nullptr) << cc;
        EXPECT_FALSE(cache_section->exists("http://a/ns")) << cc;
    }
    std::string cmd = "test -z \"$(find '" + dir + "/s' -mindepth 2 -type f)\"";
    EXPECT_EQ(system(cmd.c_str()), 0) << "an object file was written";
}

// A memory copy under a key that a store's journal lists with another
// size (the store was switched away, the object fetched again, the store
// switched back) is served whole, never with the old line's size.
TEST_F(Objects, ReloadNeverGivesAMemoryCopyTheOldLine)
{
    struct Case {
        size_t first, second;
    } cases[] = {{50000, 1000}, {1000, 100014}};
    for (const Case &c : cases) {
        std::string key = "http://a/reload" + std::to_string(c.first);
        store_name = "s6";
        load({});
        store(key.c_str(), std::string(c.first, 'o'));
        store_name = "s7";
        load({});
        std::string fresh(c.second, 'n');
        store(key.c_str(), fresh);
        store_name = "s6";
        load({});
        CACHEMAP *o = cache_section->cache_open(nullptr, key.c_str(), nullptr, 0);
        if (o) {
            EXPECT_EQ(body_of(o), fresh) << c.first << " then " << c.second;
            EXPECT_EQ(cache_section->get_cachemap_size(o), (int64_t)c.second);
            cache_section->cache_close(o, false);
        }
        // Once the memory copy goes, s6 holds nothing stale for the key.
        cache_section->mutex_lock();
        cache_section->clean_over();
        cache_section->unlock();
        load({});
        o = cache_section->cache_open(nullptr, key.c_str(), nullptr, 0);
        if (o) {
            EXPECT_EQ(body_of(o), fresh) << c.first << " then " << c.second;
            cache_section->cache_close(o, false);
        }
    }
}

// A store file that no longer holds what was recorded (cut, grown, or
// another object's bytes) is dropped, whether digests are recorded or not.
TEST_F(Objects, AlteredStoreFileIsDropped)
{
    const char *key = "http://a/altered";
    const char *other = "http://a/other";
    struct Case {
        const char *name;
        std::string (*command)(const std::string &file, const std::string &other_file);
    } cases[] = {
        {"cut", [](const std::string &f, const std::string &) {
             return "truncate -s 100000 '" + f + "'";
         }},
        {"grown", [](const std::string &f, const std::string &) {
             return "printf 'extra' >> '" + f + "'";
         }},
        {"replaced", [](const std::string &f, const std::string &o) {
             return "cp '" + o + "' '" + f + "'";
         }},
    };
    for (bool digest : {false, true}) {
        for (const Case &c : cases) {
            md5 = digest;
            load({});
            store(key, std::string(200000, 'a'));
            store(other, std::string(150000, 'b'));
            std::string file = file_of(key);
            unmap(key);
            ASSERT_EQ(system(c.command(file, file_of(other)).c_str()), 0);
            EXPECT_EQ(cache_section->cache_open(nullptr, key, nullptr, 0), nullptr)
                << c.name << " md5 " << digest;
            EXPECT_FALSE(cache_section->exists(key)) << c.name << " md5 " << digest;
            CACHEMAP *o = cache_section->cache_open(nullptr, other, nullptr, 0);
            ASSERT_NE(o, nullptr);
            cache_section->invalidate(o);
        }
    }
}

TEST_F(Objects, FinishedDiskObjectsHoldNoDescriptor)
{
    int before = open_descriptors();
    for (int i = 0; i < 40; i++)
        store(("http://a/fd" + std::to_string(i)).c_str(), std::string(1000, 'd'));
    EXPECT_LE(open_descriptors(), before + 2);
}

// Memory and a store stay within their size between two cleanings (the
// interval is 30 s), whatever the rate of new objects.
TEST_F(Objects, MemoryAndStoreStayWithinTheirSizeBetweenCleanings)
{
    struct Case {
        const char *name;
        bool with_store;
    } cases[] = {{"memory", false}, {"store", true}};
    for (const Case &c : cases) {
        store_size = "1M";
        store_free_extra = "0";
        load({{"memory_size", c.with_store ? "64M" : "1M"}, {"memory_free_extra", "0"},
              {"maxsize", "0"}},
             c.with_store);
        std::string body(200000, 'z');
        for (int i = 0; i < 30; i++) {
            std::string key = std::string("http://a/") + c.name + std::to_string(i);
            store(key.c_str(), body);
            cache_section->mutex_lock();
            uint64_t used = c.with_store ? cache_section->stores.front()->bytes
                                         : cache_section->memory_bytes;
            cache_section->unlock();
            EXPECT_LE(used, 1024u * 1024) << c.name << " after object " << i;
            EXPECT_TRUE(cache_section->exists(key.c_str())) << c.name << " object " << i;
        }
    }
}

TEST_F(Objects, SmallStoresAreCleanedBelowTheirSize)
{
    struct Case {
        uint64_t max_size, free_extra, bytes;
        bool full;
        uint64_t target;
    } cases[] = {
        {1000000000, 0, 500, false, 1000000000},              // within its size: its size
        {1000000000, 0, 1000000001, false, 10000000},         // a large store keeps 10,000,000
        {1000000000, 50000000, 1000000001, false, 950000000}, // frees free_extra, within size
        {3000000, 0, 3000001, false, 3000000},                // small: never above its size
        {3000000, 1000000, 3000000, true, 2000000},           // small and full: size - free_extra
        {3000000, 9999999, 3000001, false, 0},                // free_extra above the size
    };
    Store s = *cache_section->stores.front();
    for (const Case &c : cases) {
        s.max_size = c.max_size;
        s.free_extra = c.free_extra;
        s.bytes = c.bytes;
        s.full = c.full;
        EXPECT_EQ(store_clean_target(s), c.target)
            << c.max_size << " " << c.free_extra << " " << c.bytes << " " << c.full;
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

namespace {

// An HTTP date offset seconds from now.
std::string date_in(int64_t offset)
{
    time_t t = time(nullptr) + (time_t)offset;
    struct tm tm;
    gmtime_r(&t, &tm);
    char text[64];
    strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    return text;
}

// The head text of a 200 with the given lines ("@-10" in a line stands for
// the date 10 seconds ago, "@+60" for one a minute ahead).
std::string head_with(const std::vector<std::string> &lines)
{
    std::string text = "HTTP/1.1 200 OK\r\n";
    for (std::string line : lines) {
        size_t at = line.find('@');
        if (at != std::string::npos)
            line = line.substr(0, at) + date_in(std::stoll(line.substr(at + 1)));
        text += line + "\r\n";
    }
    return text + "\r\n";
}

} // namespace

TEST_F(Objects, FreshnessCountsAgeAgainstTheExplicitLifetimeFirst)
{
    struct Case {
        const char *what;
        std::vector<std::string> lines;
        int64_t fetched;  // seconds ago
        int64_t delay;    // from the request to the response
        uint32_t max_age; // the administrator's bound
        bool stale;
    } cases[] = {
        {"max-age, young", {"Date: @0", "Cache-Control: max-age=3600"}, 0, 0, 86400, false},
        {"max-age, arrived older than it", {"Date: @0", "Cache-Control: max-age=3600", "Age: 7200"},
         0, 0, 86400, true},
        {"Age reaches the lifetime while stored", {"Cache-Control: max-age=100", "Age: 95"}, 6, 0,
         86400, true},
        {"Date far behind the fetch", {"Date: @-7200", "Cache-Control: max-age=3600"}, 0, 0, 86400,
         true},
        {"a slow answer ages it", {"Cache-Control: max-age=60"}, 0, 90, 86400, true},
        {"s-maxage before max-age", {"Cache-Control: max-age=3600, s-maxage=1"}, 2, 0, 86400, true},
        {"s-maxage outlives max-age", {"Cache-Control: s-maxage=3600", "Cache-Control: max-age=1"},
         2, 0, 86400, false},
        {"max-age=0", {"Cache-Control: max-age=0", "Last-Modified: @-86400"}, 0, 0, 86400, true},
        {"max-age unreadable", {"Cache-Control: max-age=soon"}, 0, 0, 86400, true},
        {"Expires ahead of Date", {"Date: @0", "Expires: @+3600"}, 0, 0, 86400, false},
        {"Expires equal to Date", {"Date: @0", "Expires: @0", "Last-Modified: @-86400"}, 0, 0,
         86400, true},
        {"Expires before Date", {"Date: @0", "Expires: @-60"}, 0, 0, 86400, true},
        {"Expires unreadable", {"Date: @0", "Expires: tomorrow", "Last-Modified: @-86400"}, 0, 0,
         86400, true},
        {"Expires twice", {"Date: @0", "Expires: @+3600", "Expires: @+3600"}, 0, 0, 86400, true},
        {"Expires counted from Date", {"Date: @-7200", "Expires: @-3600"}, 0, 0, 86400, true},
        {"max-age wins over a past Expires", {"Date: @0", "Expires: @-60",
         "Cache-Control: max-age=600"}, 0, 0, 86400, false},
        {"heuristic within its share", {"Date: @0", "Last-Modified: @-100000"}, 10, 0, 86400,
         false},
        {"heuristic share used up", {"Date: @0", "Last-Modified: @-200"}, 30, 0, 86400, true},
        {"no lifetime, no Last-Modified", {"Date: @0"}, 0, 0, 86400, true},
        {"the administrator's bound holds", {"Cache-Control: max-age=3600"}, 20, 0, 10, true},
        // Deltas past 2^31 seconds are read as 2^31, without overflow.
        {"max-age past any integer", {"Cache-Control: max-age=99999999999999999999999"}, 0, 0,
         86400, false},
        {"Age past any integer", {"Cache-Control: max-age=60", "Age: 99999999999999999999999"}, 0,
         0, 86400, true},
    };
    for (const Case &c : cases) {
        std::string text = head_with(c.lines);
        CACHEMAP *o = cachemap_new(false);
        o->header = http_header_parse_response(text.c_str());
        ASSERT_NE(o->header, nullptr) << c.what;
        o->mtime = time(nullptr) - (time_t)c.fetched;
        o->fetch_delay = c.delay;
        o->max_age = c.max_age;
        o->validate_age = 86400;
        o->lm_factor = 10;
        cache_section->check_header(o);
        EXPECT_EQ((o->flags & CACHE_EXPIRED) != 0, c.stale) << c.what << "\n" << text;
        http_header_free(o->header);
        delete o;
    }
}

TEST_F(Objects, CurrentAgeIsTheLargerInitialAgePlusTheTimeStored)
{
    struct Case {
        const char *what;
        std::vector<std::string> lines;
        int64_t fetched, delay, age;
    } cases[] = {
        {"nothing said", {}, 30, 0, 30},
        {"Age and the delay", {"Age: 100"}, 10, 5, 115},
        {"Date behind the fetch", {"Date: @-50", "Age: 10"}, 0, 0, 50},
        {"Date ahead of the fetch", {"Date: @+50"}, 20, 0, 20},
        {"Age unreadable", {"Age: old"}, 5, 0, 5},
    };
    for (const Case &c : cases) {
        std::string text = head_with(c.lines);
        CACHEMAP *o = cachemap_new(false);
        o->header = http_header_parse_response(text.c_str());
        o->mtime = time(nullptr) - (time_t)c.fetched;
        o->fetch_delay = c.delay;
        cache_section->check_header(o);
        int64_t age = cache_section->current_age(o, time(nullptr));
        EXPECT_GE(age, c.age) << c.what;
        EXPECT_LE(age, c.age + 1) << c.what;
        http_header_free(o->header);
        delete o;
    }
}

TEST_F(Objects, ClientConditionsAreAnsweredFromTheStoredValidators)
{
    store("http://a/c", "body",
          "ETag: W/\"v1\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n");
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/c", nullptr, 0);
    ASSERT_NE(o, nullptr);
    struct Case {
        const char *if_none_match, *if_modified_since;
        bool not_modified;
    } cases[] = {
        {"\"v1\"", nullptr, true},
        {"W/\"v1\"", nullptr, true},
        {"\"v0\", W/\"v1\"", nullptr, true},
        {"*", nullptr, true},
        {"\"v2\"", nullptr, false},
        {"\"v\"", nullptr, false},
        // If-None-Match decides alone when it is there.
        {"\"v2\"", "Mon, 01 Jan 2024 00:00:00 GMT", false},
        {nullptr, "Mon, 01 Jan 2024 00:00:00 GMT", true},
        {nullptr, "Tue, 02 Jan 2024 00:00:00 GMT", true},
        {nullptr, "Sun, 31 Dec 2023 23:59:59 GMT", false},
        {nullptr, "not a date", false},
        {nullptr, nullptr, false},
    };
    for (const Case &c : cases)
        EXPECT_EQ(cache_section->not_modified(o, c.if_none_match, c.if_modified_since),
                  c.not_modified)
            << (c.if_none_match ? c.if_none_match : "-") << " / "
            << (c.if_modified_since ? c.if_modified_since : "-");
    std::string etag;
    time_t since = 0;
    cache_section->validators(o, &etag, &since);
    EXPECT_EQ(etag, "W/\"v1\"");
    EXPECT_EQ(since, 1704067200);
    cache_section->cache_close(o, false);
}

TEST_F(Objects, A304ConfirmsOnlyWhatItsValidatorsMatchAndReplacesTheStoredFields)
{
    store("http://a/v", "stored body",
          "ETag: \"e1\"\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\nX-Note: old\r\n"
          "Age: 500\r\nContent-Type: text/plain\r\n");
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/v", nullptr, 0);
    ASSERT_NE(o, nullptr);
    struct Case {
        const char *head;
        bool confirms;
    } cases[] = {
        {"HTTP/1.1 304 Not Modified\r\n\r\n", true},
        {"HTTP/1.1 304 Not Modified\r\nETag: \"e1\"\r\n\r\n", true},
        {"HTTP/1.1 304 Not Modified\r\nETag: W/\"e1\"\r\n\r\n", true},
        {"HTTP/1.1 304 Not Modified\r\nETag: \"e2\"\r\n\r\n", false},
        {"HTTP/1.1 304 Not Modified\r\nLast-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\n\r\n",
         true},
        {"HTTP/1.1 304 Not Modified\r\nLast-Modified: Tue, 02 Jan 2024 00:00:00 GMT\r\n\r\n",
         false},
    };
    for (const Case &c : cases) {
        HEADER *r = http_header_parse_response(c.head);
        EXPECT_EQ(cache_section->confirms(o, r), c.confirms) << c.head;
        http_header_free(r);
    }
    HEADER *r = http_header_parse_response(
        "HTTP/1.1 304 Not Modified\r\nETag: \"e1\"\r\nCache-Control: max-age=900\r\n"
        "X-Note: new\r\nContent-Length: 99\r\nContent-Encoding: gzip\r\n"
        "Set-Cookie: s=1\r\n\r\n");
    cache_section->validated(o, r, 0);
    http_header_free(r);
    char *text = cache_section->cachemap_headers(o);
    std::string merged = text;
    free(text);
    EXPECT_NE(merged.find("X-Note: new\r\n"), std::string::npos) << merged;
    EXPECT_EQ(merged.find("X-Note: old"), std::string::npos) << merged;
    EXPECT_NE(merged.find("Cache-Control: max-age=900\r\n"), std::string::npos) << merged;
    EXPECT_NE(merged.find("Content-Length: 11\r\n"), std::string::npos) << merged;
    EXPECT_NE(merged.find("Content-Type: text/plain\r\n"), std::string::npos) << merged;
    for (const char *gone : {"gzip", "Set-Cookie", "Age:", "99"})
        EXPECT_EQ(merged.find(gone), std::string::npos) << gone << "\n" << merged;
    EXPECT_EQ(body_of(o), "stored body");
    cache_section->cache_close(o, false);
    // The merged fields hold at the next lookup, and after an unmapping.
    for (int pass = 0; pass < 2; pass++) {
        o = cache_section->cache_open(nullptr, "http://a/v", nullptr, 0);
        ASSERT_NE(o, nullptr);
        EXPECT_FALSE(cache_section->flag_get(o) & CACHE_EXPIRED);
        EXPECT_LE(cache_section->view(o).age, 1);
        cache_section->cache_close(o, false);
        cache_section->mutex_lock();
        cache_section->mem_delete(cache_section->hash_find("http://a/v"));
        cache_section->unlock();
    }
}

TEST_F(Objects, InvalidatingAKeyDropsIdleObjectsAndMarksHeldOnesForValidation)
{
    store("http://a/idle", "idle");
    store("http://a/held", "held");
    CACHEMAP *held = cache_section->cache_open(nullptr, "http://a/held", nullptr, 0);
    ASSERT_NE(held, nullptr);
    cache_section->invalidate_key("http://a/idle");
    cache_section->invalidate_key("http://a/held");
    cache_section->invalidate_key("http://a/none");
    EXPECT_FALSE(cache_section->exists("http://a/idle"));
    // A reader in the middle of sending it still has the whole body.
    EXPECT_EQ(body_of(held), "held");
    cache_section->cache_close(held, false);
    HEADER *request = http_header_parse_request("GET http://a/held HTTP/1.1\r\n\r\n");
    CACHEMAP *o = cache_section->cache_open(nullptr, "http://a/held", nullptr, 0);
    ASSERT_NE(o, nullptr);
    EXPECT_TRUE(cache_section->check_held(o, request) & CACHE_VALIDATE);
    cache_section->cache_close(o, false);
    http_header_free(request);
}

TEST_F(Objects, RequestDirectivesAskForValidationButNeverLiftMustRevalidate)
{
    struct Case {
        const char *stored;   // lines beside max-age=300
        const char *request;  // request lines
        bool validate;
    } cases[] = {
        {"", "", false},
        {"", "Cache-Control: max-age=0\r\n", true},
        {"", "Cache-Control: max-age=60\r\n", false},
        {"", "Cache-Control: no-cache\r\n", true},
        {"", "Pragma: no-cache\r\n", true},
        {"", "Cache-Control: min-fresh=1000\r\n", true},
        {"", "Cache-Control: min-fresh=10\r\n", false},
        {"Cache-Control: max-age=0\r\n", "", true},
        {"Cache-Control: max-age=0\r\n", "Cache-Control: max-stale\r\n", false},
        {"Cache-Control: max-age=0, must-revalidate\r\n", "Cache-Control: max-stale\r\n", true},
        {"Cache-Control: max-age=0, proxy-revalidate\r\n", "Cache-Control: max-stale=600\r\n",
         true},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string key = "http://a/r" + std::to_string(n++);
        store(key.c_str(), "body", c.stored);
        std::string text = "GET " + key + " HTTP/1.1\r\n" + c.request + "\r\n";
        HEADER *request = http_header_parse_request(text.c_str());
        ASSERT_NE(request, nullptr) << text;
        CACHEMAP *o = cache_section->cache_open(nullptr, key.c_str(), nullptr, 0);
        ASSERT_NE(o, nullptr);
        bool strict = false;
        int flags = cache_section->check_held(o, request, &strict);
        EXPECT_EQ((flags & CACHE_VALIDATE) != 0, c.validate) << c.stored << " / " << c.request;
        // Only a stale object whose response forbade it is kept from
        // being served when the origin cannot be asked.
        EXPECT_EQ(strict, strstr(c.stored, "revalidate") != nullptr) << c.stored;
        cache_section->cache_close(o, false);
        http_header_free(request);
    }
}
