// Name resolution through the DNS cache.  A scripted resolver stands in for
// the system's, so no lookup leaves the machine and every call to it is
// counted; one test asks the real resolver for "localhost" (/etc/hosts).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/dns.h"
#include "engine/global.h"
#include "runtime/hash.h"
#include "runtime/mem.h"

namespace {

// Names the scripted resolver knows; anything else does not resolve.
std::map<std::string, std::string> known;
int resolver_calls = 0;

HOSTENT *scripted_resolver(const char *name)
{
    __atomic_add_fetch(&resolver_calls, 1, __ATOMIC_RELAXED);
    auto it = known.find(name);
    if (it == known.end())
        return nullptr;
    HOSTENT *host = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    host->address = (char *)xmalloc(4);
    inet_pton(AF_INET, it->second.c_str(), host->address);
    host->length = 4;
    return host;
}

std::string address_of(HOSTENT *host)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, host->address, text, sizeof(text));
    return text;
}

class DnsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (global == nullptr) {
            global = new GLOBAL_T();
            pthread_mutex_init(&global->dns_lock, nullptr);
        }
        global->dns_cache = hash_create(DNS_CACHE_BUCKETS);
        known = {{"Host.Example", "192.0.2.7"}, {"host.example", "192.0.2.7"},
                 {"other.example", "198.51.100.1"}};
        resolver_calls = 0;
        saved = dns_resolver;
        dns_resolver = scripted_resolver;
    }
    void TearDown() override
    {
        dns_resolver = saved;
        hash_destroy(global->dns_cache);
        global->dns_cache = nullptr;
    }

    // The address text net_dns gives, or "" when it gives none.
    std::string lookup(const char *name)
    {
        HOSTENT *host = net_dns(name);
        if (host == nullptr)
            return "";
        std::string text = address_of(host);
        hostent_free(host);
        return text;
    }
    HASH_NODE *entry(const char *key) { return hash_search(global->dns_cache, key); }

    HOSTENT *(*saved)(const char *) = nullptr;
};

TEST_F(DnsTest, NamesDifferingInCaseShareOneEntry)
{
    EXPECT_EQ(lookup("Host.Example"), "192.0.2.7");
    EXPECT_EQ(lookup("host.EXAMPLE"), "192.0.2.7");
    EXPECT_EQ(resolver_calls, 1);
    ASSERT_NE(entry("host.example"), nullptr);
    EXPECT_STREQ(entry("host.example")->key, "host.example");
}

TEST_F(DnsTest, AnEntryIsFreshForItsWholeLifetime)
{
    struct Case {
        const char *what;
        int age;      // seconds since the entry was stored
        int calls;    // resolver calls the second lookup makes
    } cases[] = {
        {"just stored", 0, 0},
        {"600 seconds old is still a hit", 600, 0},
        {"601 seconds old is resolved again", 601, 1},
    };
    for (const Case &c : cases) {
        ASSERT_EQ(lookup("other.example"), "198.51.100.1") << c.what;
        entry("other.example")->time = (uint32_t)(time(nullptr) - c.age);
        resolver_calls = 0;
        EXPECT_EQ(lookup("other.example"), "198.51.100.1") << c.what;
        EXPECT_EQ(resolver_calls, c.calls) << c.what;
        net_dns_purge("other.example");
    }
}

TEST_F(DnsTest, AnUnresolvableNameIsAskedAgainAndNeverCached)
{
    EXPECT_EQ(lookup("nonexistent.invalid"), "");
    EXPECT_EQ(lookup("nonexistent.invalid"), "");
    EXPECT_EQ(resolver_calls, 2);
    EXPECT_EQ(entry("nonexistent.invalid"), nullptr);
}

TEST_F(DnsTest, DottedQuadsNeedNoLookup)
{
    struct Case {
        const char *name;
        const char *result;  // "" when it must not resolve
    } cases[] = {
        {"10.1.2.3", "10.1.2.3"},
        {"127.0.0.1", "127.0.0.1"},
        {"10.1.2.300", ""},  // a part above 255 is no address, not 0.0.0.0
        {"1..2.3", ""},      // an empty part
    };
    for (const Case &c : cases) {
        EXPECT_EQ(lookup(c.name), c.result) << c.name;
        EXPECT_EQ(entry(c.name), nullptr) << c.name;
    }
    EXPECT_EQ(resolver_calls, 0);
}

TEST_F(DnsTest, PurgeMakesTheNextLookupResolve)
{
    lookup("host.example");
    net_dns_purge("HOST.example");
    EXPECT_EQ(entry("host.example"), nullptr);
    lookup("host.example");
    EXPECT_EQ(resolver_calls, 2);
    net_dns_purge("10.0.0.1");        // nothing to do
    net_dns_purge("unknown.example");
}

TEST_F(DnsTest, CleanerDropsOnlyEntriesPastTheirLifetime)
{
    lookup("host.example");
    lookup("other.example");
    entry("other.example")->time = (uint32_t)(time(nullptr) - DNS_CACHE_TTL);
    dnscache_clean(nullptr);
    EXPECT_NE(entry("host.example"), nullptr);
    EXPECT_EQ(entry("other.example"), nullptr);
}

TEST_F(DnsTest, OverlongNameDoesNotResolve)
{
    std::string name(DNS_KEY_MAX + 1, 'a');
    EXPECT_EQ(lookup(name.c_str()), "");
    EXPECT_EQ(resolver_calls, 0);
}

TEST_F(DnsTest, ConcurrentLookupsAndPurges)
{
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; t++)
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; i++) {
                EXPECT_EQ(lookup(i % 2 ? "host.example" : "other.example"),
                          i % 2 ? "192.0.2.7" : "198.51.100.1");
                if ((i + t) % 7 == 0)
                    net_dns_purge("host.example");
            }
        });
    for (std::thread &th : threads)
        th.join();
}

TEST_F(DnsTest, LocalhostResolvesThroughTheSystemResolver)
{
    dns_resolver = saved;
    EXPECT_EQ(lookup("localhost"), "127.0.0.1");
    ASSERT_NE(entry("localhost"), nullptr);
    EXPECT_STREQ((const char *)entry("localhost")->value, "127.0.0.1");
}

}  // namespace
