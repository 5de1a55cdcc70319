// Disk stores: choosing a store, object files, journals, digests, the
// deferred deletion of files, the rebuild after a configuration change
// and the exit.
#include "cache/cache.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <openssl/evp.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "runtime/hash.h"
#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

// Longest store path: the journal paths ("%s/journal.new") must fit 255
// bytes, like the object paths within 1,024.
constexpr size_t STORE_PATH_MAX = 255 - sizeof("/journal.new");

void md5_hex(const void *data, size_t length, char out[33])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(data, length, digest, &n, EVP_md5(), nullptr) != 1 || n != 16) {
        strcpy(out, "0");
        return;
    }
    for (unsigned i = 0; i < 16; i++)
        snprintf(out + 2 * i, 3, "%02x", digest[i]);
}

uint32_t percent(uint64_t used, uint64_t limit)
{
    return limit == 0 ? 0 : (uint32_t)(used * 100 / limit);
}

// Whether a journal field is a plain unsigned decimal no greater than max
// (a number the field cannot hold would be written back as another one).
bool decimal(const std::string &s, uint64_t max = UINT64_MAX)
{
    if (s.empty() || s.size() > 20)
        return false;
    for (char c : s)
        if (c < '0' || c > '9')
            return false;
    errno = 0;
    unsigned long long v = strtoull(s.c_str(), nullptr, 10);
    return errno != ERANGE && v <= max;
}

// Waits at most about a second for a mutex; false when it stays taken.
bool lock_bounded(pthread_mutex_t *m)
{
    for (int i = 0; i < 1000; i++) {
        if (pthread_mutex_trylock(m) == 0)
            return true;
        usleep(1000);
    }
    return false;
}

} // namespace

Store::Store(const Item &item)
    : enabled(item.fields[0].int_value), comment(item.fields[1].raw),
      profiles(item.fields[2].string_list), path(item.fields[3].raw),
      max_size(item.fields[4].long_value), free_extra(item.fields[5].uint_value),
      md5_check(item.fields[6].int_value)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
}

uint64_t store_clean_target(const Store &s)
{
    uint64_t ceiling = s.max_size > s.free_extra ? s.max_size - s.free_extra : 0;
    if (!s.full && s.bytes <= s.max_size)
        return s.max_size;
    uint64_t target;
    if (s.free_extra > 9999999)
        target = s.free_extra > s.bytes ? 0 : s.bytes - s.free_extra;
    else
        target = 10000000;
    return target < ceiling ? target : ceiling;
}

int journal_split(const char *line, std::string fields[], int max)
{
    int count = 0;
    const char *p = line;
    while (*p && count < max) {
        while (*p == '\t')
            p++;
        if (!*p)
            break;
        const char *start = p;
        while (*p && *p != '\t')
            p++;
        fields[count++].assign(start, (size_t)(p - start));
    }
    return count;
}

void CacheSection::select_store(CONNECTION_T *conn, CACHEMAP *object)
{
    Store *chosen = nullptr;
    uint64_t best = 0;
    for (auto &s : stores) {
        if (!s->enabled || !s->usable || s->path.empty() || s->max_size == 0)
            continue;
        if (s->bytes > s->max_size)
            s->full = true;
        if (conn && !profile_find(conn->profiles, s->profiles))
            continue;
        uint64_t measure;
        if (*store_selection == 0)
            measure = s->bytes;
        else if (*store_selection == 1)
            measure = percent(s->bytes, s->max_size);
        else
            continue;
        if (!chosen || measure < best) {
            chosen = s.get();
            best = measure;
        }
    }
    object->store = chosen;
}

int CacheSection::filename(CACHEMAP *object, char *buffer, int size)
{
    int bucket = hash_key(256, object->key);
    char digest[33];
    md5_hex(object->key, strlen(object->key), digest);
    int n = snprintf(buffer, (size_t)size, "%s/%.2x/%s",
                     object->store ? object->store->path.c_str() : "", bucket, digest);
    if (n < 0 || n >= size)
        putlog_system(LOG_ERROR, "snprintf", errno, ", in %s, cache: unable to set the filename",
                      "filename");
    return bucket;
}

void CacheSection::touch_unlocked(CACHEMAP *object, int fetched)
{
    time_t now = utc_time(nullptr);
    object->atime = now;
    if (fetched)
        object->mtime = now;
    if (object->store && (object->flags & CACHE_DISK)) {
        char path[1024];
        filename(object, path, sizeof(path));
        struct utimbuf times;
        times.actime = object->atime - gmtoffset;
        times.modtime = object->mtime - gmtoffset;
        utime(path, &times);
    }
    journal_add(object);
}

namespace {

std::string journal_line(const CACHEMAP *o)
{
    char line[CACHE_JOURNAL_LINE + 1];
    int n = snprintf(line, sizeof(line),
                     "%d\t%s\t%" PRIu64 "\t%" PRId64 "\t%" PRId64 "\t%u\t%u\t%u\t%u\t%s\n",
                     (int)o->flags, o->key, o->size, (int64_t)o->mtime, (int64_t)o->atime,
                     o->min_age, o->max_age, o->validate_age, o->lm_factor, o->md5);
    if (n < 0 || n >= (int)sizeof(line))
        return std::string();
    return std::string(line, (size_t)n);
}

} // namespace

int CacheSection::journal_add(CACHEMAP *object)
{
    Store *s = object->store;
    if (!s)
        return 1;
    char path[1024];
    snprintf(path, sizeof(path), "%s/journal", s->path.c_str());
    if (s->journal_fd < 0) {
        s->journal_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        s->journal_count = 0;
        if (s->journal_fd < 0) {
            putlog_system(LOG_ERROR, "open", errno, ", in %s, unable to open file %s",
                          "journal_add", path);
            return -1;
        }
        putlog(LOG_CACHE, "opened new %s", path);
    }
    // A key too long for a line is not journaled: the object is then lost
    // at a restart, which is safe.
    std::string line = journal_line(object);
    if (!line.empty() && write(s->journal_fd, line.data(), line.size()) != (ssize_t)line.size())
        putlog_system(LOG_ERROR, "write", errno, ", cache: [%s], failed to write to [%d] %s",
                      "journal_add", s->journal_fd, path);
    s->journal_count++;
    if (s->journal_count >= journal_limit())
        journal_write(s);
    return 1;
}

void CacheSection::journal_write(Store *s)
{
    time_t now = utc_time(nullptr);
    if (s->journal_time != 0 && now < s->journal_time + 30)
        return;
    if (s->journal_time == 0)
        s->journal_time = now;
    char path[256], fresh[256];
    snprintf(path, sizeof(path), "%s/journal", s->path.c_str());
    snprintf(fresh, sizeof(fresh), "%s/journal.new", s->path.c_str());
    FILE *f = fopen(fresh, "w+");
    if (!f) {
        putlog(LOG_ERROR, "cache: failed to open new journal: %s", fresh);
        return;
    }
    putlog(LOG_CACHE, "writing new journal for %s", s->path.c_str());
    bool ok = true;
    each([&](CACHEMAP *o) {
        if (o->store != s)
            return;
        std::string line = journal_line(o);
        if (!line.empty() && fwrite(line.data(), 1, line.size(), f) != line.size())
            ok = false;
    });
    if (fflush(f) != 0)
        ok = false;
    if (fsync(fileno(f)) != 0) {
        putlog_system(LOG_ERROR, "fsync", errno, ", in %s, unable to write in journal",
                      "journal_write");
        ok = false;
    }
    if (fclose(f) != 0) {
        putlog(LOG_ERROR, "[system: fclose], in %s, unable to close the file pointer",
               "journal_write");
        ok = false;
    }
    if (s->journal_fd >= 0) {
        fsync(s->journal_fd);
        close(s->journal_fd);
        s->journal_fd = -1;
    }
    // A new journal that could not be written whole never replaces the
    // old one.
    if (!ok) {
        unlink(fresh);
        return;
    }
    if (rename(fresh, path) != 0)
        putlog_system(LOG_ERROR, "rename", errno, ", in %s, unable to change the name of file",
                      "journal_write");
    s->journal_count = 0;
    s->journal_time = now;
}

void CacheSection::journal_read(Store *s)
{
    char path[1024];
    snprintf(path, sizeof(path), "%s/journal", s->path.c_str());
    FILE *f = fopen(path, "r");
    if (!f) {
        snprintf(path, sizeof(path), "%s/journal.new", s->path.c_str());
        f = fopen(path, "r");
    }
    if (!f) {
        putlog(LOG_WARNING, "cache:  store: %s journal missing, all cached objects have been lost",
               s->path.c_str());
        return;
    }
    putlog(LOG_CACHE, "reading journal: %s", path);
    char line[CACHE_JOURNAL_LINE + 1];
    bool continuation = false;
    while (fgets(line, sizeof(line), f)) {
        size_t len = strlen(line);
        bool whole = len > 0 && line[len - 1] == '\n';
        // The rest of an over-long line is no line of its own.
        bool skip = continuation;
        continuation = !whole && !feof(f);
        if (skip || continuation || !whole)
            continue;
        line[len - 1] = '\0';
        std::string fields[10];
        int n = journal_split(line, fields, 10);
        if (n < 5)
            continue;
        if (!decimal(fields[2]) || !decimal(fields[3], INT64_MAX) ||
            !decimal(fields[4], INT64_MAX))
            continue;
        const char *flag_text = fields[0].c_str();
        char *end = nullptr;
        errno = 0;
        long flags = strtol(flag_text, &end, 10);
        if (end == flag_text || *end != '\0' || errno == ERANGE || flags < INT32_MIN ||
            flags > INT32_MAX)
            continue;
        const std::string &key = fields[1];
        time_t mtime = (time_t)strtoull(fields[3].c_str(), nullptr, 10);
        CACHEMAP *o = hash_find(key.c_str());
        if (o) {
            if (o->refcount > 0)
                continue;
            // A mapped object that is not this store's holds other data
            // than the file this line describes (a newer memory-only copy,
            // or another store's file): the line's size and digest would
            // not fit its mapping.  The memory copy is newer; the file is
            // let go.
            if (o->mapping && o->store != s) {
                char stale[1024];
                Store *own = o->store;
                o->store = s;
                filename(o, stale, sizeof(stale));
                o->store = own;
                unlink_list_add(stale);
                continue;
            }
            // This store's mapped object is the file itself: a line that
            // disagrees with it is older than the object.
            if (o->mapping && strtoull(fields[2].c_str(), nullptr, 10) != o->size)
                continue;
            if (o->store && o->store != s) {
                if (mtime < o->mtime)
                    continue;
                // Moves to this store: the other store keeps its file.
                if (o->flags & CACHE_DISK) {
                    o->store->objects--;
                    o->store->bytes -= o->size <= o->store->bytes ? o->size : o->store->bytes;
                }
            }
        } else {
            o = cachemap_new(false);
            o->key = xstrdup(key.c_str());
            hash_add(o);
        }
        o->size = strtoull(fields[2].c_str(), nullptr, 10);
        uint32_t keep = o->flags & CACHE_MEM;
        o->flags = (uint32_t)flags;
        if (keep)
            o->flags |= CACHE_MEM;
        else
            o->flags &= ~CACHE_MEM;
        o->mtime = mtime;
        o->atime = (time_t)strtoull(fields[4].c_str(), nullptr, 10);
        if (n >= 9 && decimal(fields[5], UINT32_MAX) && decimal(fields[6], UINT32_MAX) &&
            decimal(fields[7], UINT32_MAX) && decimal(fields[8], UINT32_MAX)) {
            o->min_age = (uint32_t)strtoul(fields[5].c_str(), nullptr, 10);
            o->max_age = (uint32_t)strtoul(fields[6].c_str(), nullptr, 10);
            o->validate_age = (uint32_t)strtoul(fields[7].c_str(), nullptr, 10);
            o->lm_factor = (uint32_t)strtoul(fields[8].c_str(), nullptr, 10);
        } else {
            select_refresh(nullptr, o);
        }
        if (n >= 10)
            s_strncpy(o->md5, fields[9].c_str(), sizeof(o->md5));
        o->store = s;
    }
    fclose(f);
    each([&](CACHEMAP *o) {
        if (o->store != s || o->refcount > 0)
            return;
        bool mapped = o->mapping != nullptr;
        o->flags &= ~0xb3cu;
        if (mapped)
            o->flags |= CACHE_MEM;
        if ((o->flags & 0x1083u) == CACHE_DISK) {
            s->objects++;
            s->bytes += o->size;
            return;
        }
        putlog(LOG_DEBUG, "cache: object %s final state was invalid: %d", o->key, (int)o->flags);
        hash_remove(o);
        if (o->flags & CACHE_MEM)
            mem_delete(o);
        if (o->flags & CACHE_DISK) {
            s->objects++;
            s->bytes += o->size;
            disk_delete(o);
        }
        cache_free(o);
    });
}

bool CacheSection::md5_check(CACHEMAP *object)
{
    if (object->flags & CACHE_WRITING)
        return true;
    bool recorded = !(object->md5[0] == '0' || object->md5[0] == '(' || object->md5[0] == '\0');
    // A recorded digest is verified even when the store no longer records
    // new ones: the file may have changed behind the journal.
    if (!object->store || !object->mapping || (!object->store->md5_check && !recorded)) {
        strcpy(object->md5, "0");
        return true;
    }
    char computed[33];
    md5_hex(object->mapping, object->size, computed);
    if (!recorded) {
        memcpy(object->md5, computed, sizeof(computed));
        return true;
    }
    if (strcmp(object->md5, computed) == 0)
        return true;
    putlog(LOG_ERROR, "cache: md5 check: mismatch, expected: [%s] got: [%s]", object->md5,
           computed);
    return false;
}

void CacheSection::md5_again(CACHEMAP *object)
{
    if (object->store && object->store->md5_check && object->mapping)
        md5_hex(object->mapping, object->size, object->md5);
    else
        strcpy(object->md5, "0");
}

void CacheSection::disk_delete(CACHEMAP *object)
{
    ASSERT((object->flags & CACHE_DISK) && !(object->flags & CACHE_MEM) && object->store);
    putlog(LOG_CACHE, "debug: unlinking: %s", object->key);
    if (object->fd >= 0) {
        close(object->fd);
        object->fd = -1;
    }
    Store *s = object->store;
    if (!s->path.empty()) {
        char path[1024];
        filename(object, path, sizeof(path));
        unlink_list_add(path);
    }
    s->bytes -= object->size <= s->bytes ? object->size : s->bytes;
    s->objects--;
    object->flags &= ~CACHE_DISK;
}

// ---------------------------------------------------------- deletion queue

void CacheSection::unlink_list_add(const char *path)
{
    pthread_mutex_lock(&unlink_mutex);
    unlink_count++;
    unlink_list.emplace_back(path);
    pthread_cond_signal(&unlink_cond);
    pthread_mutex_unlock(&unlink_mutex);
}

void CacheSection::unlink_list_zap(const char *path)
{
    pthread_mutex_lock(&unlink_mutex);
    for (auto it = unlink_list.begin(); it != unlink_list.end(); ++it) {
        if (*it == path) {
            unlink_list.erase(it);
            unlink_count--;
            break;
        }
    }
    pthread_mutex_unlock(&unlink_mutex);
}

void CacheSection::unlink_thread()
{
    pthread_mutex_lock(&unlink_mutex);
    for (;;) {
        while (unlink_list.empty())
            pthread_cond_wait(&unlink_cond, &unlink_mutex);
        std::string path = unlink_list.front();
        unlink_list.pop_front();
        int failed = unlink(path.c_str()) != 0 && errno != ENOENT;
        int n = unlink_count;
        if (n > 0)
            unlink_count = n - 1;
        // No pause between files: a store is only within its size when
        // the files of the objects it dropped are gone as fast as they go.
        pthread_mutex_unlock(&unlink_mutex);
        if (failed)
            putlog(LOG_ERROR, "cache: failed to delete file (1 of %d) %s", n, path.c_str());
        pthread_mutex_lock(&unlink_mutex);
    }
}

void unlink_thread()
{
    cache_section->unlink_thread();
}

// ------------------------------------------------------------------ rules

void CacheSection::update()
{
    for (auto &s : stores) {
        if (s->journal_fd >= 0) {
            fsync(s->journal_fd);
            close(s->journal_fd);
            s->journal_fd = -1;
        }
    }
    // The old rules are kept until the objects have left them.
    std::list<std::unique_ptr<Store>> old;
    old.swap(stores);
    refreshes.clear();
    std::set<std::string> paths;
    if (subsections.size() > 0) {
        for (const Item &item : subsections[0].items) {
            stores.emplace_back(new Store(item));
            Store *s = stores.back().get();
            if (s->path.empty())
                continue;
            if (s->path.size() > STORE_PATH_MAX) {
                putlog(LOG_ERROR, "cache: store path too long, store disabled: %s",
                       s->path.c_str());
                s->usable = false;
            } else if (!paths.insert(s->path).second) {
                putlog(LOG_ERROR, "cache: store path used twice, store disabled: %s",
                       s->path.c_str());
                s->usable = false;
            }
        }
    }
    if (subsections.size() > 1)
        for (const Item &item : subsections[1].items)
            refreshes.emplace_back(new Refresh(item));
    // Objects of a store whose path is still configured move to the new
    // rule with that path, users or not; they stay on disk, counted.
    each([&](CACHEMAP *o) {
        if (!o->store)
            return;
        Store *now = nullptr;
        for (auto &s : stores)
            if (s->usable && s->enabled && s->path == o->store->path && !s->path.empty())
                now = s.get();
        if (now) {
            if (o->refcount > 0 || (o->flags & CACHE_WRITING)) {
                now->journal_time = 0;
                if (o->flags & CACHE_DISK) {
                    now->objects++;
                    now->bytes += o->size;
                }
            }
            o->store = now;
            return;
        }
        if (o->flags & CACHE_MEM) {
            // The file stays on disk.  A writer keeps its descriptor: its
            // mapping is backed by the file and grows with it.
            o->store = nullptr;
            o->flags &= ~CACHE_DISK;
            return;
        }
        hash_remove(o);
        cache_free(o);
    });
    old.clear();
    stores_update();
}

void CacheSection::stores_update()
{
    for (auto &s : stores) {
        if (s->journal_fd >= 0) {
            fsync(s->journal_fd);
            close(s->journal_fd);
            s->journal_fd = -1;
        }
        s->journal_time = 0;
        if (s->path.empty() || !s->enabled || !s->usable)
            continue;
        // Objects in use were counted when they moved over; the journal
        // read counts the others.
        int used_objects = 0;
        uint64_t used_bytes = 0;
        Store *self = s.get();
        each([&](CACHEMAP *o) {
            if (o->store == self && (o->flags & CACHE_DISK) && o->refcount > 0) {
                used_objects++;
                used_bytes += o->size;
            }
        });
        s->objects = used_objects;
        s->bytes = used_bytes;
        mkdir(s->path.c_str(), 0755);
        journal_read(self);
        journal_write(self);
    }
}

void CacheSection::graceful_exit()
{
    putlog(LOG_ADVICE, "cache: starting graceful exit");
    if (lock_bounded(&unlink_mutex)) {
        while (!unlink_list.empty()) {
            unlink(unlink_list.front().c_str());
            unlink_list.pop_front();
            if (unlink_count > 0)
                unlink_count--;
        }
        pthread_mutex_unlock(&unlink_mutex);
    }
    if (lock_bounded(&mutex)) {
        for (auto &s : stores) {
            if (s->journal_fd >= 0 && !s->path.empty()) {
                s->journal_time = 0;
                journal_write(s.get());
            }
        }
        pthread_mutex_unlock(&mutex);
    }
    putlog(LOG_ADVICE, "cache: graceful exit done");
}
