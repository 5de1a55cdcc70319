// Cache objects, the index, memory mappings, and opening, filling, closing
// and serving objects.
#include "cache/cache.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "runtime/filebuf.h"
#include "runtime/hash.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/performance.h"

CacheSection *cache_section = nullptr;

namespace {

// The performance log counts the objects made resident in memory and
// released from it.
void count_mapping(bool made)
{
    if (performance_log == nullptr)
        return;
    if (made)
        performance_log->set_cache_mmaps_created(1);
    else
        performance_log->set_cache_mmaps_deleted(1);
}

// Largest piece a reader following a writer copies under the mutex, and
// the piece in which finished bodies are written.
constexpr uint64_t SEND_PIECE = 262144;

uint64_t round_step(uint64_t n)
{
    return (n + CACHE_MAP_STEP - 1) / CACHE_MAP_STEP * CACHE_MAP_STEP;
}

// Writes all of data to the socket; false when a write failed.
bool socket_write_all(Socket *s, const char *data, uint64_t length)
{
    while (length > 0) {
        uint64_t piece = length < SEND_PIECE ? length : SEND_PIECE;
        if (s->Write(data, (ssize_t)piece) < 0)
            return false;
        data += piece;
        length -= piece;
    }
    return s->Flush() == 0 && true;
}

// The stored body's length so far; 0 while unmapped or the head's length
// is unknown.  The caller holds the cache mutex.
int64_t body_length(const CACHEMAP *object)
{
    if (object->mapping && object->header_length && object->size > object->header_length)
        return (int64_t)(object->size - object->header_length);
    return 0;
}

// Whether the body of a finished object is as long as its stored head
// announces; a head without a Content-Length announces nothing.
bool length_matches(const CACHEMAP *object)
{
    const HEADER *h = object->header;
    if (!h || !(h->flags & HEADER_LENGTH) || h->chunked)
        return true;
    return object->size >= object->header_length &&
           object->size - object->header_length == h->content_length;
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

} // namespace

bool cache_no_store(const HEADER *h)
{
    if (!h || !h->cache_control)
        return false;
    bool found = false;
    cache_control_each(h->cache_control, [&](const std::string &name, const char *) {
        if (name == "no-store")
            found = true;
    });
    return found;
}

CACHEMAP *cachemap_new(bool condvar)
{
    CACHEMAP *object = new CACHEMAP();
    if (condvar) {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        ASSERT(pthread_cond_init(&object->cond, &attr) == 0);
        pthread_condattr_destroy(&attr);
        object->flags |= CACHE_CONDVAR;
    }
    return object;
}

CacheSection::CacheSection(int bucket_count) : Section("cache", 1), buckets(bucket_count)
{
    ASSERT(fields.size() >= 12);
    enabled = &fields[0].int_value;
    allow_violations = &fields[1].int_value;
    memory_size = &fields[2].uint_value;
    memory_free_extra = &fields[3].uint_value;
    minsize = &fields[4].uint_value;
    maxsize = &fields[5].uint_value;
    prefetch_window = &fields[6].int_value;
    icp_port = &fields[7].int_value;
    icp_timeout = &fields[8].int_value;
    store_selection = &fields[9].int_value;
    journal_lines = &fields[10].uint_value;
    clean_interval = &fields[11].uint_value;
    cachemaplist = (Node **)calloc((size_t)buckets, sizeof(Node *));
    ASSERT(cachemaplist != nullptr);
    ASSERT(pthread_mutex_init(&unlink_mutex, nullptr) == 0);
    ASSERT(pthread_cond_init(&unlink_cond, nullptr) == 0);
    // Until a configuration is loaded the memory cache holds nothing and
    // the two counts take their defaults.
    fields[2].uint_value = 0;
    fields[10].uint_value = 0;
    fields[11].uint_value = 0;
}

// The index and the objects live until the process ends.
CacheSection::~CacheSection()
{
    stores.clear();
    refreshes.clear();
}

uint32_t CacheSection::clean_interval_get() const
{
    return *clean_interval ? *clean_interval : 30;
}

uint32_t CacheSection::journal_limit() const
{
    return *journal_lines ? *journal_lines : 128000;
}

void CacheSection::memory_summary()
{
    putlog(LOG_ERROR,
           "cache: memory: %d objects, %" PRIu64 " bytes, Memory cache size: %u bytes, Memory "
           "free extra: %u bytes",
           memory_objects, memory_bytes, *memory_size, *memory_free_extra);
}

// ------------------------------------------------------------------ index

CACHEMAP *CacheSection::hash_find(const char *key)
{
    for (Node *n = cachemaplist[hash_key(buckets, key)]; n; n = n->next)
        if (strcmp(n->object->key, key) == 0)
            return n->object;
    return nullptr;
}

void CacheSection::hash_add(CACHEMAP *object)
{
    int b = hash_key(buckets, object->key);
    Node *node = new Node{nullptr, nullptr, object};
    Node **tail = &cachemaplist[b];
    Node *prev = nullptr;
    while (*tail) {
        prev = *tail;
        tail = &(*tail)->next;
    }
    node->prev = prev;
    *tail = node;
}

bool CacheSection::hash_remove(CACHEMAP *object)
{
    int b = hash_key(buckets, object->key);
    for (Node *n = cachemaplist[b]; n; n = n->next) {
        if (n->object != object)
            continue;
        if (n->prev)
            n->prev->next = n->next;
        else
            cachemaplist[b] = n->next;
        if (n->next)
            n->next->prev = n->prev;
        delete n;
        return true;
    }
    putlog(LOG_ERROR, "cache: cachemaplist[%d]: NULL", b);
    return false;
}

bool CacheSection::exists(const char *key)
{
    if (!key)
        return false;
    mutex_lock();
    bool found = hash_find(key) != nullptr;
    unlock();
    return found;
}

// ------------------------------------------------------------- mappings

// Grows the object by n bytes (n > 0) or trims its mapping and file to
// its size (n = 0).  Returns the new size, or 0 when the mapping or the
// file could not follow; the caller then drops the object.
uint64_t CacheSection::resize(CACHEMAP *object, int64_t n)
{
    if (n > 0 && object->size + (uint64_t)n <= object->map_size) {
        object->size += (uint64_t)n;
        return object->size;
    }
    uint64_t length;
    if (n > 0) {
        uint64_t want = object->size + (uint64_t)n;
        length = round_step(want);
        HEADER *h = object->header;
        // An announced length sizes the mapping at once, but only within
        // the size limit: a server's number alone never reserves memory
        // or disk.
        if (h && (h->flags & HEADER_LENGTH) && *maxsize != 0 &&
            h->content_length <= *maxsize) {
            uint64_t announced = object->header_length + h->content_length;
            if (announced >= want)
                length = announced;
        }
    } else {
        length = object->size;
        if (length == 0)
            return 0;
    }
    if (object->fd >= 0) {
        int rc = 0;
        if (n > 0) {
            // Blocks are reserved before the mapping covers them, so a full
            // disk is an error here and never a fault on a write.
            rc = posix_fallocate(object->fd, 0, (off_t)length);
            if (rc == 0 && object->map_size > length)
                rc = ftruncate(object->fd, (off_t)length) == 0 ? 0 : errno;
        } else {
            rc = ftruncate(object->fd, (off_t)length) == 0 ? 0 : errno;
        }
        if (rc != 0) {
            putlog_system(LOG_ERROR, "ftruncate", rc,
                          ", in %s, cache: failed to resize [%" PRId64 "] memory map from %" PRIu64
                          " to %" PRIu64,
                          "resize", n, object->size, length);
            putlog(LOG_ADVICE, "ftruncate error: %d [%s] Please check system memory configuration",
                   rc, strerror(rc));
            memory_summary();
            if (rc == ENOSPC && object->store)
                object->store->full = true;
            return 0;
        }
    }
    if (length != object->map_size || !object->mapping) {
        void *map;
        if (object->mapping) {
            map = mremap(object->mapping, object->map_size, length, MREMAP_MAYMOVE);
            if (map == MAP_FAILED) {
                int e = errno;
                putlog_system(LOG_ERROR, "p_mremap", e, ", in %s, cache: unable to create memory map",
                              "resize");
                putlog(LOG_ADVICE,
                       "p_mremap error: %d [%s] Please check system memory configuration", e,
                       strerror(e));
                memory_summary();
                return 0;
            }
        } else {
            if (object->fd >= 0)
                map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, object->fd, 0);
            else
                map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                           -1, 0);
            if (map == MAP_FAILED) {
                int e = errno;
                putlog_system(LOG_ERROR, "mmap", e, ", in %s, cache: unable to create memory map",
                              "resize");
                putlog(LOG_ADVICE, "mmap error: %d [%s] Please check system memory configuration",
                       e, strerror(e));
                memory_summary();
                return 0;
            }
            memory_objects++;
            object->flags |= CACHE_MEM;
            count_mapping(true);
        }
        object->mapping = (char *)map;
        object->map_size = length;
    }
    if (n > 0)
        object->size += (uint64_t)n;
    return object->size;
}

void CacheSection::mem_delete(CACHEMAP *object)
{
    ASSERT(object->flags & CACHE_MEM);
    if (object->flags & CACHE_CONDVAR) {
        pthread_cond_destroy(&object->cond);
        object->flags &= ~CACHE_CONDVAR;
    }
    http_header_free(object->header);
    object->header = nullptr;
    object->fresh_of = nullptr;
    if (object->mapping) {
        madvise(object->mapping, object->map_size, MADV_DONTNEED);
        if (object->fd >= 0) {
            close(object->fd);
            object->fd = -1;
        }
        putlog(LOG_CACHE, "debug: unmapping: %s", object->key);
        munmap(object->mapping, object->map_size);
    }
    memory_bytes -= object->size <= memory_bytes ? object->size : memory_bytes;
    memory_objects--;
    object->flags &= ~CACHE_MEM;
    count_mapping(false);
    object->mapping = nullptr;
    object->map_size = 0;
}

void CacheSection::cache_free(CACHEMAP *object)
{
    if (object->fd >= 0)
        close(object->fd);
    if (object->flags & CACHE_CONDVAR)
        pthread_cond_destroy(&object->cond);
    http_header_free(object->header);
    free(object->head_text);
    free(object->key);
    delete object;
}

void CacheSection::invalidate_unlocked(CACHEMAP *object)
{
    if (!(object->flags & CACHE_INVALID)) {
        putlog(LOG_CACHE, "debug: invalidated: %s", object->key);
        object->flags |= CACHE_INVALID;
        journal_add(object);
    }
    if (object->refcount > 1) {
        object->refcount--;
        if (object->flags & CACHE_WRITING) {
            object->flags &= ~CACHE_WRITING;
            if (object->flags & CACHE_CONDVAR)
                pthread_cond_broadcast(&object->cond);
        }
        return;
    }
    if (object->flags & CACHE_MEM)
        mem_delete(object);
    if (object->flags & CACHE_DISK)
        disk_delete(object);
    hash_remove(object);
    cache_free(object);
}

void CacheSection::invalidate(CACHEMAP *object)
{
    if (!object)
        return;
    mutex_lock();
    invalidate_unlocked(object);
    unlock();
}

// --------------------------------------------------------------- opening

CACHEMAP *CacheSection::cache_open(CONNECTION_T *conn, const char *key, const char *head,
                                   int flags, int *flags_out)
{
    time_t now = utc_time(nullptr);
    bool create = (flags & CACHE_WRITING) != 0;
    if (!key)
        return nullptr;
    mutex_lock();
    if (!*enabled || (create && conn && (conn->flags & CONN_CARP)) || (create && !head)) {
        unlock();
        return nullptr;
    }
    CACHEMAP *result = nullptr;
    CACHEMAP *object = hash_find(key);
    bool held = false;
    bool mapped_now = false;
    if (object && (object->flags & CACHE_INVALID)) {
        putlog(LOG_DEBUG, "cache: object is invalid");
        object = nullptr;
        goto done;
    }
    if (object && (object->flags & CACHE_PREFETCHED) && now - object->mtime > *prefetch_window)
        object->flags &= ~CACHE_PREFETCHED;
    if (object && create) {
        if (object->refcount > 0 || (object->flags & CACHE_PREFETCHED)) {
            if (object->flags & CACHE_PREFETCHED)
                putlog(LOG_CACHE, "debug: attempted to recreate cached file within prefetch window");
            goto done;
        }
        putlog(LOG_CACHE, "debug: recreating file");
        invalidate_unlocked(object);
        object = nullptr;
    }
    if (object) {
        if ((object->flags & CACHE_WRITING) && (object->flags & CACHE_BUFFERWAIT)) {
            object->refcount++;
            result = object;
            goto done;
        }
        if (!(object->flags & CACHE_MEM)) {
            mapped_now = true;
            if (!object->store) {
                putlog(LOG_ERROR, "cache: failed to open cache file: %s", key);
                invalidate_unlocked(object);
                goto done;
            }
            ASSERT((object->flags & CACHE_DISK) && !object->mapping && object->refcount == 0);
            char path[1024];
            filename(object, path, sizeof(path));
            int fd = open(path, O_RDONLY | O_CLOEXEC);
            struct stat st;
            if (fd < 0) {
                putlog(LOG_ERROR, "cache: failed to open cache file: %s", key);
                invalidate_unlocked(object);
                goto done;
            }
            if (fstat(fd, &st) != 0) {
                putlog_system(LOG_ERROR, "fstat", errno,
                              ", in %s, unable to return information about %s", "cache_open", path);
                close(fd);
                invalidate_unlocked(object);
                goto done;
            }
            if (st.st_size <= 0 || (uint64_t)st.st_size != object->size) {
                // An empty file is no object at all, and one cut, grown or
                // replaced behind the journal is not the object recorded.
                if (st.st_size > 0)
                    putlog(LOG_ERROR, "cache: file meta information didn't match journaled data");
                putlog(LOG_ERROR, "cache: corrupt object: %s", key);
                close(fd);
                invalidate_unlocked(object);
                goto done;
            }
            void *map = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
            if (map == MAP_FAILED) {
                putlog_system(LOG_ERROR, "mmap", errno, ", in %s, cache: unable to create memory map",
                              "cache_open");
                memory_summary();
                close(fd);
                invalidate_unlocked(object);
                goto done;
            }
            object->mtime = st.st_mtime + gmtoffset;
            object->atime = st.st_atime + gmtoffset;
            object->mapping = (char *)map;
            object->map_size = object->size = (uint64_t)st.st_size;
            object->flags |= CACHE_MEM;
            count_mapping(true);
            memory_bytes += object->size;
            memory_objects++;
            if (madvise(map, object->map_size, MADV_WILLNEED) != 0) {
                putlog_system(LOG_ERROR, "madvise", errno,
                              ", in %s, cache: unable to create memory map", "cache_open");
                memory_summary();
            }
            close(fd);
        }
        // The digest is verified when the file is mapped again; a mapped
        // object was verified then or written by this process.
        if (mapped_now && !md5_check(object)) {
            invalidate_unlocked(object);
            goto done;
        }
        object->refcount++;
        held = true;
    } else if (!create) {
        goto done;
    } else {
        object = cachemap_new(true);
        select_refresh(conn, object);
        object->key = xstrdup(key);
        object->flags |= (uint32_t)flags;
        object->mtime = now;
        object->fetch_delay = cache_fetch_delay(conn);
        object->refcount = 1;
        hash_add(object);
        held = true;
    }
    if (held) {
        if (object->flags & CACHE_INVALID) {
            putlog(LOG_CACHE, "debug: refresh: uncachable: %s", key);
            invalidate_unlocked(object);
            goto done;
        }
        if ((object->flags & CACHE_DISCARD) && object->mtime + 60 < now) {
            invalidate_unlocked(object);
            goto done;
        }
        object->atime = now;
        if (create) {
            select_store(conn, object);
            object->header = http_header_parse_response(head);
            size_t hl = strlen(head);
            HEADER *h = object->header;
            if (!h) {
                putlog(LOG_ERROR, "cache: corrupt object: %s", key);
                invalidate_unlocked(object);
                goto done;
            }
            // Every creator passes here, whatever it decided before: the
            // head given may not be the connection's response.
            if (cache_no_store(h)) {
                putlog(LOG_DEBUG, "cache: no-store: %s", key);
                invalidate_unlocked(object);
                goto done;
            }
            if ((h->flags & HEADER_LENGTH) && *maxsize && h->content_length > *maxsize &&
                !(object->flags & CACHE_FORCE)) {
                putlog(LOG_DEBUG, "cache: file size: %" PRIu64 " exceeds maxsize: %u",
                       h->content_length, *maxsize);
                invalidate_unlocked(object);
                goto done;
            }
            object->header_length = hl;
            if (add_unlocked(object, head, hl) < 0 || (object->flags & CACHE_INVALID)) {
                // add_unlocked took an extra reference before it dropped
                // the object; this one is the writer's.
                invalidate_unlocked(object);
                goto done;
            }
            object->header_length = hl;
            putlog(LOG_DEBUG, "cache header offset: %" PRIu64, object->header_length);
        } else if (!object->header) {
            uint64_t hl = object->size ? header_length(object->mapping, object->size) : 0;
            object->header_length = hl;
            if (hl > 0 && hl < object->size + 1) {
                std::string text(object->mapping, hl);
                // A validation may have replaced the stored fields.
                object->header = http_header_parse_response(
                    object->head_text ? object->head_text : text.c_str());
            }
        }
        if (object->header_length == 0 || !object->header ||
            object->header_length > object->size || !cacheable2(object->header) ||
            (mapped_now && !length_matches(object))) {
            putlog(LOG_ERROR, "cache: corrupt object: %s", key);
            invalidate_unlocked(object);
            goto done;
        }
        if (!create)
            check_header(object);
        if (!(flags & CACHE_OFFLINE) && (object->flags & CACHE_VIOLATION) &&
            !*allow_violations) {
            close_unlocked(object, false);
            goto done;
        }
        result = object;
    }
done:
    if (clean_warning <= 2 && memory_bytes > memory_target_bytes() && last_clean &&
        now < last_clean + (time_t)clean_interval_get())
        clean_warning = 3;
    bool over = false;
    if (result && result->store && result->store->bytes > result->store->max_size) {
        result->store->full = true;
        over = true;
    }
    if (memory_bytes > *memory_size || over)
        clean();
    if (result && flags_out)
        *flags_out = (int)result->flags;
    unlock();
    return result;
}

uint64_t CacheSection::memory_target_bytes() const
{
    return *memory_size > *memory_free_extra ? *memory_size - *memory_free_extra : 0;
}

bool CacheSection::over_limits() const
{
    if (memory_bytes > *memory_size)
        return true;
    for (const auto &s : stores)
        if (s->bytes > s->max_size && !s->path.empty())
            return true;
    return false;
}

// The full cleaning runs at most once per interval; between two, memory
// or a store that passes its size is brought back here: one walk gathers
// the objects nobody uses, and the oldest go first (memory-only objects
// are dropped, disk objects unmapped, or dropped while their store is over
// its target) until memory is at its target and every store at its own.
// A walk that left memory or a store over its size (what it could not
// free is held by users) is not repeated within 100 ms, so a cache held
// over its size is not walked and sorted under the mutex for every block
// written; the objects being written meanwhile give up instead
// (add_unlocked).  After a walk that brought everything within its size,
// the next one runs as soon as it is needed.
void CacheSection::clean_over()
{
    int64_t now_ms = monotonic_ms();
    if (cleaning || (last_clean_over != 0 && now_ms - last_clean_over < 100))
        return;
    std::vector<CACHEMAP *> idle;
    each([&](CACHEMAP *o) {
        if (o->refcount == 0)
            idle.push_back(o);
    });
    std::stable_sort(idle.begin(), idle.end(),
                     [](const CACHEMAP *a, const CACHEMAP *b) { return a->atime < b->atime; });
    for (auto &s : stores) {
        s->clean_target = s->bytes > s->max_size ? store_clean_target(*s) : s->max_size;
    }
    uint64_t memory_target = memory_bytes > *memory_size ? memory_target_bytes() : *memory_size;
    for (CACHEMAP *o : idle) {
        bool store_over = (o->flags & CACHE_DISK) && o->store &&
                          o->store->bytes > o->store->clean_target;
        bool memory_over = (o->flags & CACHE_MEM) && memory_bytes > memory_target;
        if ((o->flags & CACHE_INVALID) || store_over || (!o->store && memory_over)) {
            invalidate_unlocked(o);
        } else if (memory_over && (o->flags & CACHE_DISK)) {
            mem_delete(o);
        }
    }
    last_clean_over = over_limits() ? now_ms : 0;
}

// --------------------------------------------------------------- filling

int64_t CacheSection::add_unlocked(CACHEMAP *object, const void *data, size_t length)
{
    // An invalid object takes nothing more.
    if (object->flags & CACHE_INVALID)
        return (int64_t)length;
    bool disk_full = false;
    if (!object->mapping && !(object->flags & CACHE_MEM)) {
        if (object->store) {
            char path[1024];
            int bucket = filename(object, path, sizeof(path));
            char dir[1024];
            snprintf(dir, sizeof(dir), "%s/%.2x", object->store->path.c_str(), bucket);
            if (mkdir(dir, 0755) != 0) {
                if (errno == ENOSPC) {
                    putlog(LOG_ERROR, "cache: disk is full for store: %s",
                           object->store->path.c_str());
                    object->store->full = true;
                    disk_full = true;
                } else if (errno != EEXIST) {
                    putlog(LOG_ERROR,
                           "cache: failed to create cache directory structure in store: %s",
                           object->store->path.c_str());
                }
            }
            unlink_list_zap(path);
            // A new file, never the old one cut: a memory-only object
            // detached from this store at a configuration change may still
            // map the old file, and cutting it would fault that mapping.
            if (unlink(path) != 0 && errno != ENOENT)
                putlog_system(LOG_ERROR, "unlink", errno, ", in %s, unable to replace %s",
                              "add", path);
            int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0 && errno == ENOSPC) {
                putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", errno, strerror(errno),
                       object->store->path.c_str());
                object->store->full = true;
                object->refcount++;
                invalidate_unlocked(object);
                clean();
                return -1;
            }
            if (fd < 0) {
                object->store = nullptr;
                object->flags &= ~CACHE_DISK;
            } else {
                object->fd = fd;
                object->store->objects++;
                object->flags |= CACHE_DISK;
                journal_add(object);
            }
        } else {
            putlog(LOG_DEBUG, "cache: warn: caching only in memory");
            object->flags &= ~CACHE_DISK;
        }
    }
    uint64_t old = object->size;
    bool ok = resize(object, (int64_t)length) != 0;
    if (ok) {
        memcpy(object->mapping + old, data, length);
        memory_bytes += length;
        if (object->flags & CACHE_DISK) {
            object->store->bytes += length;
            if (object->store->bytes > object->store->max_size)
                object->store->full = true;
        }
        if (*maxsize && object->size > *maxsize &&
            !(object->flags & (CACHE_FORCE | CACHE_INVALID))) {
            putlog(LOG_DEBUG, "cache: invalidating object: file size: %" PRIu64
                              " exceeds maxsize: %u",
                   object->size, *maxsize);
            ok = false;
        }
    }
    if (!ok) {
        object->refcount++;
        invalidate_unlocked(object);
        if (disk_full && object->store)
            object->store->full = true;
    }
    if (object->refcount > 1 && (object->flags & CACHE_CONDVAR))
        pthread_cond_broadcast(&object->cond);
    if (memory_objects >= CACHE_MAX_MEMENTRIES ||
        (object->store && object->store->bytes > object->store->max_size) ||
        memory_bytes > *memory_size || disk_full) {
        clean();
        // What no cleaning can free is held by users: the object that
        // would take memory or its store past the size gives up instead,
        // so neither grows by more than a block per writer.  A disk
        // object's mapping is backed by its file, so its store's size is
        // the one that bounds it.
        bool on_disk = (object->flags & CACHE_DISK) != 0;
        if (ok && !(object->flags & (CACHE_FORCE | CACHE_INVALID)) &&
            (on_disk ? object->store->bytes > object->store->max_size
                     : memory_bytes > *memory_size)) {
            putlog(LOG_DEBUG, "cache: over its size, object not kept: %s", object->key);
            object->refcount++;
            invalidate_unlocked(object);
            ok = false;
        }
    }
    return ok ? (int64_t)length : -1;
}

int64_t CacheSection::add(CACHEMAP *object, const void *data, size_t length)
{
    if (!object)
        return -1;
    mutex_lock();
    int64_t r = add_unlocked(object, data, length);
    unlock();
    return r;
}

// --------------------------------------------------------------- closing

int CacheSection::close_unlocked(CACHEMAP *object, bool finish)
{
    object->refcount--;
    if (object->flags & CACHE_WRITING) {
        if (!finish)
            return -1;
        if (object->flags & CACHE_CONDVAR)
            pthread_cond_broadcast(&object->cond);
    }
    if (object->flags & CACHE_BUFFERWAIT)
        return -1;
    bool finishing = finish && (object->flags & CACHE_WRITING);
    if (finishing && !(object->flags & CACHE_INVALID)) {
        if (object->header && object->size >= object->header_length) {
            object->header->flags |= HEADER_LENGTH;
            object->header->content_length = object->size - object->header_length;
            object->header->chunked = 0;
        }
        if (object->size != object->map_size && object->mapping && resize(object, 0) == 0) {
            object->refcount++;
            invalidate_unlocked(object);
        } else if (object->fd >= 0 && object->mapping) {
            msync(object->mapping, object->map_size, MS_ASYNC);
        }
    }
    if (object->flags & CACHE_INVALID) {
        if (object->refcount <= 0) {
            object->refcount = 0;
            invalidate_unlocked(object);
        }
        return -1;
    }
    if (!finishing) {
        touch_unlocked(object, 0);
        return -1;
    }
    object->flags &= ~(CACHE_WRITING | CACHE_BUFFERWAIT);
    if (object->size == 0 || object->size < *minsize) {
        if (*minsize)
            putlog(LOG_DEBUG, "cache: file size: %" PRIu64 " less than minsize: %u", object->size,
                   *minsize);
        object->flags |= CACHE_INVALID;
        return -1;
    }
    md5_again(object);
    touch_unlocked(object, 1);
    if (object->refcount > 0 && (object->flags & CACHE_CONDVAR))
        pthread_cond_broadcast(&object->cond);
    // The finished object never grows again: its mapping needs no open
    // file, and a descriptor per stored object would exhaust the table.
    int fd = object->fd;
    object->fd = -1;
    return fd;
}

void CacheSection::cache_close(CACHEMAP *object, bool finish)
{
    if (!object)
        return;
    mutex_lock();
    int fd = -1;
    if (object->key)
        fd = close_unlocked(object, finish);
    unlock();
    // The data reaches the disk without every cache user waiting for it.
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

// --------------------------------------------------------------- serving

int64_t CacheSection::send(CACHEMAP *object, CONNECTION_T *conn, int which)
{
    Socket *s = which == 1 ? conn->server : conn->client;
    if (!object || !s)
        return 0;
    mutex_lock();
    if (!object->mapping || object->size <= object->header_length) {
        // An object still being written may have no mapping yet: its
        // follower waits for the body like any other.
        bool writing = (object->flags & CACHE_WRITING) != 0;
        if (!writing) {
            unlock();
            return 0;
        }
    }
    if (object->flags & CACHE_WRITING) {
        putlog(LOG_DEBUG, "cache: sending file while being written");
        uint64_t position = object->header_length;
        int timeout = s->timeout > 0 ? s->timeout : 60;
        std::string piece;
        bool failed = false;
        time_t idle_since = time(nullptr);
        for (;;) {
            if (object->mapping && object->size > position) {
                uint64_t n = object->size - position;
                if (n > SEND_PIECE)
                    n = SEND_PIECE;
                piece.assign(object->mapping + position, n);
                position += n;
                unlock();
                bool ok = socket_write_all(s, piece.data(), n);
                mutex_lock();
                if (!ok) {
                    failed = true;
                    break;
                }
                idle_since = time(nullptr);
                continue;
            }
            if (!(object->flags & CACHE_WRITING))
                break;
            // The writer has its own I/O time-out; a follower waits at most
            // as long again without any progress.
            if (time(nullptr) - idle_since > 2 * (time_t)timeout) {
                failed = true;
                break;
            }
            struct timespec deadline;
            clock_gettime(CLOCK_MONOTONIC, &deadline);
            deadline.tv_sec += 1;
            cond_timedwait(&object->cond, &deadline);
        }
        bool cut = failed || (object->flags & CACHE_INVALID);
        unlock();
        int64_t sent = (int64_t)(position - object->header_length);
        return cut ? -1 : sent;
    }
    // A finished object is not remapped or unmapped while the caller holds
    // its reference, so the body is written without the mutex.
    const char *body = object->mapping + object->header_length;
    uint64_t length = object->size - object->header_length;
    unlock();
    if (!socket_write_all(s, body, length))
        return -1;
    return (int64_t)length;
}

Filebuf *CacheSection::read_filebuf(CACHEMAP *object)
{
    if (!object)
        return nullptr;
    Filebuf *buf = new Filebuf();
    mutex_lock();
    while ((object->flags & CACHE_WRITING) && !(object->flags & CACHE_INVALID)) {
        putlog(LOG_DEBUG, "cache: reading file while being written");
        struct timespec deadline;
        clock_gettime(CLOCK_MONOTONIC, &deadline);
        deadline.tv_sec += 1;
        cond_timedwait(&object->cond, &deadline);
    }
    if (object->flags & CACHE_INVALID) {
        unlock();
        delete buf;
        return nullptr;
    }
    if (object->mapping && object->size > object->header_length)
        buf->Add(object->mapping + object->header_length, object->size - object->header_length);
    unlock();
    return buf;
}

int64_t CacheSection::append_body(CACHEMAP *object, Filebuf *buf)
{
    if (!object)
        return -1;
    mutex_lock();
    int64_t n = -1;
    // A finished object given up since (replaced by a refresh, say) stays
    // mapped and whole while the caller holds its reference, as send()
    // relies on too: only one still being written has no whole body.
    if (!(object->flags & CACHE_WRITING) && object->mapping &&
        object->size >= object->header_length) {
        n = (int64_t)(object->size - object->header_length);
        buf->Add(object->mapping + object->header_length, (size_t)n);
    }
    unlock();
    return n;
}

void CacheSection::send_status(CONNECTION_T *conn, CACHEMAP *object)
{
    char text[32];
    mutex_lock();
    uint64_t transferred = object->size > object->header_length
                               ? object->size - object->header_length
                               : 0;
    snprintf(text, sizeof(text), "%" PRIu64, transferred);
    conn->variables["TRANSFERRED"] = text;
    snprintf(text, sizeof(text), "%" PRId64, (int64_t)object->mtime);
    conn->variables["MTIME"] = text;
    if (object->header && (object->header->flags & HEADER_LENGTH))
        snprintf(text, sizeof(text), "%" PRIu64, object->header->content_length);
    else
        snprintf(text, sizeof(text), "0");
    conn->variables["SIZE"] = text;
    unlock();
    if (template_section)
        template_section->send("downloading", conn, 200);
}

// -------------------------------------------------------------- accessors

char *CacheSection::cachemap_headers(CACHEMAP *object)
{
    if (!object)
        return nullptr;
    mutex_lock();
    char *text = nullptr;
    if (object->head_text)
        text = xstrdup(object->head_text);
    else if (object->mapping && object->header_length)
        text = xstrndup(object->mapping, object->header_length);
    unlock();
    return text;
}

CacheSection::View CacheSection::view(CACHEMAP *object)
{
    mutex_lock();
    View v{(int)object->flags, object->mtime, body_length(object),
           current_age(object, utc_time(nullptr))};
    unlock();
    return v;
}

int64_t CacheSection::get_cachemap_size(CACHEMAP *object)
{
    if (!object)
        return 0;
    mutex_lock();
    int64_t n = body_length(object);
    unlock();
    return n;
}

int64_t CacheSection::get_cachemap_data(CACHEMAP *object)
{
    if (!object)
        return 0;
    mutex_lock();
    int64_t n = object->mapping ? (int64_t)object->size : 0;
    unlock();
    return n;
}

time_t CacheSection::get_mtime(CACHEMAP *object)
{
    if (!object)
        return 0;
    mutex_lock();
    time_t t = object->mtime;
    unlock();
    return t;
}

time_t CacheSection::get_lmtime(CACHEMAP *object)
{
    if (!object)
        return 0;
    mutex_lock();
    time_t t = object->lmtime;
    unlock();
    return t;
}

int CacheSection::flag_get(CACHEMAP *object)
{
    mutex_lock();
    int f = (int)object->flags;
    unlock();
    return f;
}

int CacheSection::flag_set(CACHEMAP *object, int bits)
{
    mutex_lock();
    object->flags |= (uint32_t)bits;
    int f = (int)object->flags;
    unlock();
    return f;
}

int CacheSection::flag_unset(CACHEMAP *object, int bits)
{
    mutex_lock();
    object->flags &= ~(uint32_t)bits;
    int f = (int)object->flags;
    unlock();
    return f;
}

int CacheSection::refcount(CACHEMAP *object)
{
    mutex_lock();
    int r = object->refcount;
    if (r == 1 && !(object->flags & CACHE_INVALID)) {
        putlog(LOG_CACHE, "debug: invalidated: %s", object->key);
        object->flags |= CACHE_INVALID;
        journal_add(object);
    }
    unlock();
    return r;
}

char *CacheSection::flag_string(CACHEMAP *object)
{
    static const struct {
        uint32_t bit;
        const char *name;
    } names[] = {
        {CACHE_WRITING, "CACHE_WRITING"},       {CACHE_INVALID, "CACHE_INVALID"},
        {CACHE_EXPIRED, "CACHE_EXPIRED"},       {CACHE_VALIDATE, "CACHE_VALIDATE"},
        {CACHE_PREFETCHED, "CACHE_PREFETCHED"}, {CACHE_VIOLATION, "CACHE_VIOLATION"},
        {CACHE_OFFLINE, "CACHE_OFFLINE"},       {CACHE_DISK, "CACHE_DISK"},
        {CACHE_MEM, "CACHE_MEM"},               {CACHE_CLEAN, "CACHE_CLEAN"},
        {CACHE_BUFFERWAIT, "CACHE_BUFFERWAIT"}, {CACHE_DISCARD, "CACHE_DISCARD"},
        {CACHE_FORCE, "CACHE_FORCE"},
    };
    std::string text;
    for (const auto &n : names) {
        if (object->flags & n.bit) {
            text += n.name;
            text += ", ";
        }
    }
    if (!text.empty())
        text.resize(text.size() - 2);
    if (text.size() > 1023)
        text.resize(1023);
    return xstrdup(text.c_str());
}

int CacheSection::icpport_get()
{
    return atomic_read(icp_port);
}

int CacheSection::icptimeout_get()
{
    return atomic_read(icp_timeout);
}
