// HASH_TABLE and hash_key.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/hash.h"

namespace {

char *value(const char *text)
{
    return strdup(text);
}

// Keys of one chain, in order.
std::vector<std::string> chain(HASH_TABLE *t, int bucket)
{
    std::vector<std::string> keys;
    for (HASH_NODE *n = t->buckets[bucket]; n != nullptr; n = n->next)
        keys.push_back(n->key);
    return keys;
}

TEST(HashKey, ValuesOfTheStoredLayout)
{
    // Each term is 20c + (c >> 2) + (c >> 4) + 8111 with c the signed byte;
    // the values place cache files on disk, so they must never change.
    struct Case {
        int size;
        std::string key;
        int expected;
    } cases[] = {
        {256, "", 0},
        {8111, "", 0},
        // a: 1940+24+6+8111 = 10081, b: 10101, c: 10121; sum 30303
        {256, "abc", 95},
        {16, "abc", 15},
        // A: 1300+16+4+8111 = 9431, B: 9451, C: 9471; sum 28353
        {256, "ABC", 193},
        // 0xE9 is -23: -460 + (-6) + (-2) + 8111 = 7643
        {256, "\xe9", 219},
        // 0x80 is -128: -2560-32-8+8111 = 5511; 0xFF is -1: -20-1-1+8111 = 8089
        {7, "\x80\xff", 6},
        {1, "abc", 0},
        {8111, "www.example.com", 6447},
        {256, "http://example.com/", 147},
        // z: 10588 per byte; 500000 of them sum to 5294000000, which wraps
        // to 999032704 in 32 bits.
        {8111, std::string(500000, 'z'), 834},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(hash_key(c.size, c.key.c_str()), c.expected)
            << "key \"" << c.key.substr(0, 24) << "\" (" << c.key.size()
            << " bytes), size " << c.size;
    }
}

TEST(HashTable, InsertTwiceKeepsTheFirstValue)
{
    HASH_TABLE *t = hash_create(16);
    HASH_NODE *first = hash_insert(t, "example.org", value("first"));
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->time, 0u);

    // The second value is freed by the table (the leak checker would say so).
    HASH_NODE *again = hash_insert(t, "example.org", value("second"));
    EXPECT_EQ(again, first);
    EXPECT_STREQ((char *)first->value, "first");

    char *orphan = value("orphan");
    EXPECT_EQ(hash_insert(t, nullptr, orphan), nullptr);
    free(orphan); // a null key does not take the value
    EXPECT_EQ(hash_search(t, nullptr), nullptr);
    hash_destroy(t);
}

TEST(HashTable, CaseFoldedSearchOnlyWithinTheKeysBucket)
{
    // "Host" and "host" differ by 650 in their sums: different buckets among
    // 16, the same bucket among 10.
    HASH_TABLE *t16 = hash_create(16);
    hash_insert(t16, "Host", value("a"));
    EXPECT_NE(hash_search(t16, "Host"), nullptr);
    EXPECT_EQ(hash_search(t16, "host"), nullptr);
    HASH_NODE *second = hash_insert(t16, "host", value("b"));
    EXPECT_STREQ((char *)second->value, "b") << "inserted as a second node";
    hash_destroy(t16);

    HASH_TABLE *t10 = hash_create(10);
    HASH_NODE *node = hash_insert(t10, "Host", value("a"));
    EXPECT_EQ(hash_search(t10, "host"), node);
    hash_destroy(t10);
}

TEST(HashTable, PurgeAndExpireKeepTheRestInOrder)
{
    HASH_TABLE *t = hash_create(1); // one chain shows the order
    for (const char *k : {"a", "b", "c", "d", "e"})
        hash_insert(t, k, value(k));

    hash_purge(t, "nothing");
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a", "b", "c", "d", "e"}));
    hash_purge(t, "C");
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a", "b", "d", "e"}));

    uint32_t now = (uint32_t)time(nullptr);
    hash_search(t, "a")->time = now + 1000; // in the future
    hash_search(t, "b")->time = now - 100;
    hash_search(t, "d")->time = now - 10;
    hash_search(t, "e")->time = 0;

    EXPECT_EQ(hash_expire(t, 50), 2); // b and e are older than 50 seconds
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a", "d"}));
    EXPECT_EQ(hash_expire(t, 0), 1); // d is not in the future
    EXPECT_EQ(chain(t, 0), (std::vector<std::string>{"a"}));
    hash_destroy(t);
}

} // namespace
