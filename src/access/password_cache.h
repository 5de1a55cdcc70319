// The password cache: remembers, for each user name and password that PAM
// or the directory verified, whether it was accepted or refused, so that a
// browser that sends the same Basic credentials with every request is not
// verified again until the entry expires.
//
// One chained hash table per process, in GLOBAL_T beside the reader-writer
// lock that guards it; never written to disk.  User names compare without
// case; passwords compare exactly, so a password typed in another case is
// verified again instead of being taken from the cache.  A pair has at
// most one entry.
//
// Lock order: the "access" section's read lock, then the table's lock.
#ifndef KV_ACCESS_PASSWORD_CACHE_H
#define KV_ACCESS_PASSWORD_CACHE_H

#include <ctime>

// Results kept in an entry.
enum {
    PASSWORD_CACHE_MISS = 0,
    PASSWORD_CACHE_GOOD = 1,
    PASSWORD_CACHE_BAD = 2,
};

struct PASSWORD_CACHE_ENTRY {
    PASSWORD_CACHE_ENTRY *next;
    time_t time;       // when it was recorded
    char *user;        // owned
    char *password;    // owned
    int result;        // PASSWORD_CACHE_GOOD or PASSWORD_CACHE_BAD
};

struct PASSWORD_CACHE_TABLE {
    int size;                         // buckets, at least 1
    PASSWORD_CACHE_ENTRY **buckets;   // chains, oldest first
};

// A new table of `size` empty buckets (a size below 1 is raised to 1).
PASSWORD_CACHE_TABLE *password_cache_create(int size);

// The bucket of a name; it depends on the name and on password_cachesize.
// An empty or null name is bucket 0.
unsigned int password_cache_key(int size, const char *name);

// The entry of the pair, or null.  A null table is the fatal assertion.
PASSWORD_CACHE_ENTRY *password_cache_search(PASSWORD_CACHE_TABLE *table,
                                            const char *user, const char *password);

// Appends a new entry at the tail of the user's bucket; null when the user
// name or the password is missing.  Callers purge the pair first.
PASSWORD_CACHE_ENTRY *password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *user,
                                            const char *password, int result);

// Removes the pair's entry, if any.
void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *user,
                          const char *password);

// Removes every entry whose age has reached `age` seconds; returns how
// many.
int password_cache_expire(PASSWORD_CACHE_TABLE *table, unsigned int age);

// The process-wide table under its lock: 1 accepted, 2 refused, 0 not
// cached (also while no table exists).
int check_password_cache(const char *user, const char *password);

// Records a verification's result now, replacing the pair's earlier entry.
void update_password_cache(const char *user, const char *password, int result);

// Timer callback: removes the entries older than password_cachexpire.
void password_cache_clean(void *arg);

// Creates the process-wide table with password_cachesize buckets and
// registers password_cache_clean every password_cachexpire seconds.
void password_cache_init();

#endif
