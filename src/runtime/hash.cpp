// Chained hash table with string keys.
#include "runtime/hash.h"

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

#include "runtime/mem.h"

namespace {

void node_free(HASH_NODE *node);

// Frees a node with its key and value.
void node_free(HASH_NODE *node)
{
    ASSERT(node->key != nullptr && node->value != nullptr);
    free(node->key);
    free(node->value);
    free(node);
}

} // namespace

int hash_key(int size, const char *key)
{
    if (key == nullptr || *key == '\0')
        return 0;

    // The sum wraps as an unsigned 32-bit value; bytes from 0x80 up count
    // as negative, and the shifts round toward minus infinity.
    uint32_t sum = 0;
    for (const char *p = key; *p != '\0'; p++) {
        int c = static_cast<signed char>(*p);
        sum += static_cast<uint32_t>(20 * c + (c >> 2) + (c >> 4) + 8111);
    }
    return static_cast<int>(sum % static_cast<uint32_t>(size));
}

HASH_TABLE *hash_create(int size)
{
    ASSERT(size >= 0);
    size_t bytes = static_cast<size_t>(size) * sizeof(HASH_NODE *);
    HASH_TABLE *table = static_cast<HASH_TABLE *>(xmalloc(sizeof(HASH_TABLE)));
    ASSERT_ALLOC(table, sizeof(HASH_TABLE));
    table->buckets = static_cast<HASH_NODE **>(xmalloc(bytes));
    ASSERT_ALLOC(table->buckets, bytes);
    table->size = size;
    return table;
}

HASH_NODE *hash_search(HASH_TABLE *table, const char *key)
{
    ASSERT(table != nullptr);
    if (key == nullptr)
        return nullptr;
    HASH_NODE *node = table->buckets[hash_key(table->size, key)];
    for (; node != nullptr; node = node->next) {
        if (strcasecmp(node->key, key) == 0)
            return node;
    }
    return nullptr;
}

HASH_NODE *hash_insert(HASH_TABLE *table, const char *key, void *value)
{
    ASSERT(table != nullptr);
    if (key == nullptr)
        return nullptr;

    HASH_NODE *found = hash_search(table, key);
    if (found != nullptr) {
        ASSERT(value != nullptr);
        free(value);
        return found;
    }

    HASH_NODE *node = static_cast<HASH_NODE *>(xmalloc(sizeof(HASH_NODE)));
    ASSERT_ALLOC(node, sizeof(HASH_NODE));
    node->key = xstrdup(key);
    node->value = value;
    node->time = 0;
    node->next = nullptr;

    // New nodes go to the end of their chain.
    HASH_NODE **link = &table->buckets[hash_key(table->size, key)];
    while (*link != nullptr)
        link = &(*link)->next;
    *link = node;
    return node;
}

void hash_purge(HASH_TABLE *table, const char *key)
{
    ASSERT(table != nullptr);
    if (key == nullptr)
        return;
    HASH_NODE **link = &table->buckets[hash_key(table->size, key)];
    for (; *link != nullptr; link = &(*link)->next) {
        if (strcasecmp((*link)->key, key) == 0) {
            HASH_NODE *node = *link;
            *link = node->next;
            node_free(node);
            return;
        }
    }
}

int hash_expire(HASH_TABLE *table, unsigned age)
{
    ASSERT(table != nullptr);
    uint32_t limit = static_cast<uint32_t>(time(nullptr)) - age;
    int removed = 0;
    for (int i = 0; i < table->size; i++) {
        HASH_NODE **link = &table->buckets[i];
        while (*link != nullptr) {
            HASH_NODE *node = *link;
            if (node->time <= limit) {
                *link = node->next;
                node_free(node);
                removed++;
            } else {
                link = &node->next;
            }
        }
    }
    return removed;
}

void hash_destroy(HASH_TABLE *table)
{
    ASSERT(table != nullptr);
    for (int i = 0; i < table->size; i++) {
        HASH_NODE *node = table->buckets[i];
        while (node != nullptr) {
            HASH_NODE *next = node->next;
            node_free(node);
            node = next;
        }
    }
    free(table->buckets);
    free(table);
}
