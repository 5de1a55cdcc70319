// HASH_TABLE: chained hash table with string keys and a fixed bucket count.
#ifndef KV_RUNTIME_HASH_H
#define KV_RUNTIME_HASH_H

#include <cstdint>

struct HASH_NODE {
    HASH_NODE *next; // next node of the chain, or null
    uint32_t time;   // stamp set by the table's user (0 at insertion)
    char *key;       // owned copy of the key, never null
    void *value;     // owned, released with free, never null
};

struct HASH_TABLE {
    int size;            // number of buckets, fixed at creation
    HASH_NODE **buckets; // first node of each chain, or null
};

// Bucket index of key among size buckets.  The object cache uses the same
// function for its index and, with 256, for the directory name of every
// stored file, so its values must never change.
int hash_key(int size, const char *key);

// A table of size (at least 1) empty buckets.
HASH_TABLE *hash_create(int size);

// Takes over value (heap memory) under a copy of key and returns the new
// node.  When the key is already present the table keeps its node: value is
// freed and the existing node returned.  A null key returns null and leaves
// value to the caller.
HASH_NODE *hash_insert(HASH_TABLE *table, const char *key, void *value);

// The node whose key equals key without regard to case, looked for in the
// bucket of key's exact bytes only; null when there is none.
HASH_NODE *hash_search(HASH_TABLE *table, const char *key);

// Removes and frees the node of key, if any.
void hash_purge(HASH_TABLE *table, const char *key);

// Removes every node stamped no later than now - age (compared unsigned);
// returns how many were removed.
int hash_expire(HASH_TABLE *table, unsigned age);

// Frees every node, the buckets and the table.
void hash_destroy(HASH_TABLE *table);

#endif
