// The password cache table and its process-wide instance.
#include "access/password_cache.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "engine/global.h"
#include "engine/options.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/timers.h"

namespace {

bool pair_equal(const PASSWORD_CACHE_ENTRY *entry, const char *user, const char *password)
{
    return strcasecmp(entry->user, user) == 0 && strcmp(entry->password, password) == 0;
}

void entry_free(PASSWORD_CACHE_ENTRY *entry)
{
    ASSERT(entry->user != nullptr && entry->password != nullptr);
    // The password leaves no copy in freed memory.
    explicit_bzero(entry->password, strlen(entry->password));
    free(entry->user);
    free(entry->password);
    free(entry);
}

}  // namespace

PASSWORD_CACHE_TABLE *password_cache_create(int size)
{
    if (size < 1)
        size = 1;
    auto *table = static_cast<PASSWORD_CACHE_TABLE *>(xmalloc(sizeof(PASSWORD_CACHE_TABLE)));
    table->size = size;
    size_t bytes = sizeof(PASSWORD_CACHE_ENTRY *) * (size_t)size;
    table->buckets = static_cast<PASSWORD_CACHE_ENTRY **>(xmalloc(bytes));
    memset(table->buckets, 0, bytes);
    return table;
}

unsigned int password_cache_key(int size, const char *name)
{
    if (name == nullptr || *name == '\0' || size < 1)
        return 0;
    uint32_t sum = 0;
    // Names compare without case, so they hash without case too: every
    // spelling of a name finds the same bucket.
    for (const char *p = name; *p; p++) {
        int32_t c = (int8_t)*p;
        if (c >= 'A' && c <= 'Z')
            c += 'a' - 'A';
        sum += (uint32_t)password_cachesize + (uint32_t)(20 * c) + (uint32_t)(c >> 2) +
               (uint32_t)(c >> 4);
    }
    return sum % (uint32_t)size;
}

PASSWORD_CACHE_ENTRY *password_cache_search(PASSWORD_CACHE_TABLE *table, const char *user,
                                            const char *password)
{
    ASSERT(table != nullptr);
    if (user == nullptr || password == nullptr)
        return nullptr;
    for (PASSWORD_CACHE_ENTRY *entry = table->buckets[password_cache_key(table->size, user)];
         entry != nullptr; entry = entry->next)
        if (pair_equal(entry, user, password))
            return entry;
    return nullptr;
}

PASSWORD_CACHE_ENTRY *password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *user,
                                            const char *password, int result)
{
    ASSERT(table != nullptr);
    if (user == nullptr || password == nullptr)
        return nullptr;
    auto *entry = static_cast<PASSWORD_CACHE_ENTRY *>(xmalloc(sizeof(PASSWORD_CACHE_ENTRY)));
    entry->next = nullptr;
    entry->time = time(nullptr);
    entry->user = xstrdup(user);
    entry->password = xstrdup(password);
    entry->result = result;
    PASSWORD_CACHE_ENTRY **link = &table->buckets[password_cache_key(table->size, user)];
    while (*link != nullptr)
        link = &(*link)->next;
    *link = entry;
    return entry;
}

void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *user, const char *password)
{
    ASSERT(table != nullptr);
    if (user == nullptr || password == nullptr)
        return;
    for (PASSWORD_CACHE_ENTRY **link = &table->buckets[password_cache_key(table->size, user)];
         *link != nullptr; link = &(*link)->next) {
        if (pair_equal(*link, user, password)) {
            PASSWORD_CACHE_ENTRY *gone = *link;
            *link = gone->next;
            entry_free(gone);
            return;
        }
    }
}

int password_cache_expire(PASSWORD_CACHE_TABLE *table, unsigned int age)
{
    ASSERT(table != nullptr);
    time_t limit = time(nullptr) - (time_t)age;
    int removed = 0;
    for (int i = 0; i < table->size; i++) {
        PASSWORD_CACHE_ENTRY **link = &table->buckets[i];
        while (*link != nullptr) {
            if ((*link)->time <= limit) {
                PASSWORD_CACHE_ENTRY *gone = *link;
                *link = gone->next;
                entry_free(gone);
                removed++;
            } else {
                link = &(*link)->next;
            }
        }
    }
    return removed;
}

int check_password_cache(const char *user, const char *password)
{
    if (global == nullptr || global->password_cache == nullptr)
        return PASSWORD_CACHE_MISS;
    pthread_rwlock_rdlock(&global->password_cache_lock);
    PASSWORD_CACHE_ENTRY *entry = password_cache_search(global->password_cache, user, password);
    int result = entry != nullptr ? entry->result : PASSWORD_CACHE_MISS;
    pthread_rwlock_unlock(&global->password_cache_lock);
    return result;
}

void update_password_cache(const char *user, const char *password, int result)
{
    if (global == nullptr || global->password_cache == nullptr)
        return;
    time_t now = time(nullptr);
    pthread_rwlock_wrlock(&global->password_cache_lock);
    password_cache_purge(global->password_cache, user, password);
    PASSWORD_CACHE_ENTRY *entry =
        password_cache_insert(global->password_cache, user, password, result);
    if (entry != nullptr)
        entry->time = now;
    pthread_rwlock_unlock(&global->password_cache_lock);
}

void password_cache_clean(void *)
{
    if (global == nullptr || global->password_cache == nullptr)
        return;
    pthread_rwlock_wrlock(&global->password_cache_lock);
    int removed = password_cache_expire(global->password_cache, (unsigned)password_cachexpire);
    pthread_rwlock_unlock(&global->password_cache_lock);
    if (removed > 0)
        putlog(LOG_DEBUG, "password cache: %d entries expired", removed);
}

void password_cache_init()
{
    if (global->password_cache == nullptr)
        global->password_cache = password_cache_create(password_cachesize);
    if (global->timers != nullptr && password_cachexpire > 0)
        timers_add(global->timers, password_cachexpire, TIMER_REPEAT, password_cache_clean,
                   nullptr);
}
