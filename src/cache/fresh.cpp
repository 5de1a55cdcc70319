// Which requests and responses may be cached, freshness of cached
// objects, revalidation and cleaning.
#include "cache/cache.h"

#include <cinttypes>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "runtime/log.h"
#include "runtime/mem.h"

Refresh::Refresh(const Item &item)
    : enabled(item.fields[0].int_value), comment(item.fields[1].raw),
      profiles(item.fields[2].string_list), cacheable(item.fields[3].int_value),
      min_age(item.fields[4].uint_value), max_age(item.fields[5].uint_value),
      validate_age(item.fields[6].uint_value), lm_factor(item.fields[7].uint_value)
{
}

namespace {

// The value of the first line of that name (without case), or null.
const char *line_value(const HEADER *h, const char *name)
{
    for (const HTTP_HEADER &line : h->headers)
        if (strcasecmp(line.name.c_str(), name) == 0)
            return line.value.c_str();
    return nullptr;
}

bool has_line(const HEADER *h, const char *name)
{
    return line_value(h, name) != nullptr;
}

// A Vary that names nothing but Accept-Encoding (every Vary line counts).
bool vary_acceptable(const HEADER *h)
{
    for (const HTTP_HEADER &line : h->headers) {
        if (strcasecmp(line.name.c_str(), "Vary") != 0)
            continue;
        bool bad = false;
        cache_control_each(line.value.c_str(), [&](const std::string &name, const char *) {
            if (name != "accept-encoding")
                bad = true;
        });
        if (bad)
            return false;
    }
    return true;
}

// A non-negative decimal number of seconds, or -1.
int64_t seconds_of(const char *text)
{
    if (!text || !*text)
        return -1;
    char *end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end == text || v < 0)
        return -1;
    return v;
}

} // namespace

bool cacheable2(const HEADER *h)
{
    return cacheable(h);
}

bool cacheable(const HEADER *h)
{
    if (!h)
        return false;
    if (h->kind == HEADER_RESPONSE) {
        if (h->status != 200)
            return false;
        for (const HTTP_HEADER &line : h->headers)
            if (strncasecmp(line.name.c_str(), "Set-Cookie", 10) == 0)
                return false;
        if (!vary_acceptable(h))
            return false;
        if (h->content_encoding && *h->content_encoding &&
            strcasecmp(h->content_encoding, "gzip") != 0 &&
            strcasecmp(h->content_encoding, "x-gzip") != 0 &&
            strcasecmp(h->content_encoding, "deflate") != 0)
            return false;
        return true;
    }
    if (h->kind == HEADER_PROXY) {
        if (!h->method || strcasecmp(h->method, "GET") != 0)
            return false;
        if (h->authorization || h->range || has_line(h, "Authorization") || has_line(h, "Range"))
            return false;
        if (h->user && *h->user && strcasecmp(h->user, "anonymous") != 0)
            return false;
        return true;
    }
    return false;
}

time_t http_date_parse(const char *text)
{
    if (!text)
        return 0;
    while (*text == ' ' || *text == '\t')
        text++;
    static const char *const formats[] = {
        "%a, %d %b %Y %H:%M:%S GMT",
        "%A, %d-%b-%y %H:%M:%S GMT",
        "%a %b %d %H:%M:%S %Y",
    };
    for (const char *format : formats) {
        struct tm tm;
        memset(&tm, 0, sizeof(tm));
        const char *end = strptime(text, format, &tm);
        if (!end)
            continue;
        while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
            end++;
        if (*end)
            continue;
        time_t t = timegm(&tm);
        if (t == (time_t)-1)
            return 0;
        return t;
    }
    return 0;
}

void CacheSection::select_refresh(CONNECTION_T *conn, CACHEMAP *object)
{
    for (auto &r : refreshes) {
        if (!r->enabled)
            continue;
        if (conn ? !profile_find(conn->profiles, r->profiles) : r->profiles.size() != 0)
            continue;
        if (!r->cacheable && !(object->flags & CACHE_FORCE))
            object->flags |= CACHE_INVALID;
        object->min_age = r->min_age;
        object->max_age = r->max_age;
        object->validate_age = r->validate_age;
        object->lm_factor = r->lm_factor;
        return;
    }
}

void CacheSection::check_header(CACHEMAP *object)
{
    time_t now = utc_time(nullptr);
    HEADER *h = object->header;
    object->expires = 0;
    object->fresh_until = 0;
    object->lmtime = 0;
    object->flags &= ~CACHE_EXPIRED;
    if (!h)
        return;
    h->chunked = 0;
    if (h->expires) {
        putlog(LOG_DEBUG, "cache: file expires header: %s", h->expires);
        object->expires = http_date_parse(h->expires);
        // An Expires that does not parse is already expired.
        if (object->expires == 0)
            object->expires = 1;
    }
    if (h->last_modified) {
        putlog(LOG_DEBUG, "cache: file last-modified header: %s", h->last_modified);
        object->lmtime = http_date_parse(h->last_modified);
    }
    if (h->cache_control) {
        putlog(LOG_DEBUG, "cache: file cache-control header: %s", h->cache_control);
        cache_control_each(h->cache_control, [&](const std::string &name, const char *arg) {
            if (name == "max-age" || name == "s-maxage") {
                int64_t v = seconds_of(arg);
                if (v >= 0)
                    object->expires = object->mtime + (time_t)v;
                // max-age=0 expires at once; expires 0 would mean "none".
                if (v == 0)
                    object->flags |= CACHE_EXPIRED;
            } else if (name == "must-revalidate") {
                object->flags |= CACHE_EXPIRED;
            } else if (name == "no-cache" || name == "no-store" || name == "private") {
                object->flags |= CACHE_EXPIRED | CACHE_VIOLATION;
            }
        });
    }
    if (object->lmtime != 0 && object->lmtime < object->mtime) {
        int64_t age = (int64_t)object->mtime - (int64_t)object->lmtime;
        object->fresh_until = object->mtime + (time_t)(age * (int64_t)object->lm_factor / 100);
        putlog(LOG_DEBUG, "cache: lmtime factor: %" PRId64,
               (int64_t)(object->fresh_until - object->mtime));
    }
    bool expired = false;
    if (object->expires == 0 && object->fresh_until == 0)
        expired = true;
    else if (now > object->mtime + (time_t)object->max_age)
        expired = true;
    else if (object->expires != 0 && now > object->expires)
        expired = true;
    else if (object->expires == 0 && now > object->fresh_until)
        expired = true;
    else if (object->lmtime != 0 && now < object->lmtime + (time_t)object->min_age)
        expired = true;
    else if (object->expires == 0 && now > object->mtime + (time_t)object->validate_age)
        expired = true;
    if (expired)
        object->flags |= CACHE_EXPIRED;
}

void CacheSection::check(HEADER *request)
{
    if (!request || !request->url)
        return;
    CACHEMAP *object = cache_open(nullptr, request->url, nullptr, CACHE_OFFLINE);
    if (!object)
        return;
    check_held(object, request);
    cache_close(object, false);
}

int CacheSection::check_held(CACHEMAP *object, HEADER *request)
{
    time_t now = utc_time(nullptr);
    mutex_lock();
    if (!(object->flags & CACHE_PREFETCHED)) {
        bool stale = (object->flags & CACHE_EXPIRED) != 0;
        if (request->cache_control) {
            putlog(LOG_DEBUG, "cache: request cache-control header: %s", request->cache_control);
            cache_control_each(request->cache_control,
                               [&](const std::string &name, const char *arg) {
                int64_t v = seconds_of(arg);
                if (name == "no-cache" || name == "no-store") {
                    stale = true;
                } else if (name == "max-age" && v >= 0) {
                    if (v < (int64_t)(now - object->mtime))
                        stale = true;
                } else if (name == "min-fresh" && v >= 0) {
                    if (object->expires && object->expires < now + v)
                        stale = true;
                    else if (!object->expires && object->fresh_until &&
                             object->fresh_until < now + v)
                        stale = true;
                } else if (name == "max-stale") {
                    // Without a number any staleness is accepted.
                    int64_t limit = arg ? v : INT64_MAX;
                    if (limit >= 0) {
                        if (object->expires && limit >= (int64_t)(now - object->expires))
                            stale = false;
                        else if (!object->expires && object->fresh_until &&
                                 limit >= (int64_t)(now - object->fresh_until))
                            stale = false;
                    }
                }
            });
        }
        // Pragma: no-cache from HTTP/1.0 clients asks the same as no-cache.
        for (const HTTP_HEADER &line : request->headers)
            if (strcasecmp(line.name.c_str(), "Pragma") == 0 &&
                strcasestr(line.value.c_str(), "no-cache"))
                stale = true;
        if (stale)
            object->flags |= CACHE_VALIDATE;
    }
    int flags = (int)object->flags;
    unlock();
    return flags;
}

void CacheSection::validated(CACHEMAP *object)
{
    if (!object)
        return;
    mutex_lock();
    object->flags &= ~(CACHE_VALIDATE | CACHE_EXPIRED);
    touch_unlocked(object, 1);
    unlock();
}

// ---------------------------------------------------------------- cleaning

void CacheSection::clean()
{
    if (cleaning)
        return;
    time_t interval = (time_t)clean_interval_get();
    time_t now = utc_time(nullptr);
    auto percent = [](uint64_t used, uint64_t limit) -> unsigned {
        return limit == 0 ? 0u : (unsigned)(used * 100 / limit);
    };
    if (last_clean != 0 && now < last_clean + interval) {
        if (clean_warning <= 0) {
            if (memory_bytes > *memory_size) {
                putlog(LOG_ERROR,
                       "cache: memory: [objects:bytes max_size:free_extra - %d:%" PRIu64
                       " %u:%u] can not clean for next %d seconds",
                       memory_objects, memory_bytes, *memory_size, *memory_free_extra,
                       (int)(last_clean + interval - now));
                putlog(LOG_ADVICE,
                       "cache: Memory cache size: %u bytes, Memory free extra: %u bytes maybe too "
                       "less, if system has more free memory - increase Memory cache size, else "
                       "increase Memory free extra",
                       *memory_size, *memory_free_extra);
            }
            for (auto &s : stores) {
                if (s->path.empty() || s->bytes <= s->max_size)
                    continue;
                putlog(LOG_ERROR,
                       "cache: disk store: %s, entries: %d entries, bytes: %" PRIu64
                       ", used: %u%%",
                       s->path.c_str(), s->objects, s->bytes, percent(s->bytes, s->max_size));
                putlog(LOG_ADVICE, "cache: disk store %s is underdimensioned, please consider "
                                   "increasing it",
                       s->path.c_str());
            }
        }
        clean_warning = 1;
        return;
    }
    last_clean = now;
    putlog(LOG_CACHE, "cleaning triggered");
    cleaning = true;
    time_t smallest = 0, largest = 0;
    bool any = false;
    each([&](CACHEMAP *o) {
        if (o->refcount > 0 || o->atime == 0)
            return;
        if (!any || o->atime < smallest)
            smallest = o->atime;
        if (!any || o->atime > largest)
            largest = o->atime;
        any = true;
    });
    if (!any) {
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cleaning = false;
        return;
    }
    for (auto &s : stores) {
        if (s->path.empty())
            continue;
        putlog(LOG_CACHE,
               "before cleaning: disk store: %s, entries: %d entries, bytes: %" PRIu64
               ", used: %u%%, diskfull: %d",
               s->path.c_str(), s->objects, s->bytes, percent(s->bytes, s->max_size),
               s->full ? 1 : 0);
        s->clean_target = store_clean_target(*s);
    }
    putlog(LOG_CACHE, "before cleaning: memory: %d entries, bytes %" PRIu64 ", used: %u%%",
           memory_objects, memory_bytes, percent(memory_bytes, *memory_size));
    int limit = memory_objects >= CACHE_MAX_MEMENTRIES ? 500 : CACHE_MAX_MEMENTRIES;
    uint64_t target = *memory_size;
    if (memory_bytes > *memory_size)
        target = memory_target_bytes();
    time_t step = (largest - smallest) / 128 + 1;
    for (time_t cutoff = smallest + step; cutoff <= largest + step; cutoff += step) {
        each([&](CACHEMAP *o) {
            if (o->refcount > 0)
                return;
            // An invalid object nobody uses only blocks its key.
            if (o->flags & CACHE_INVALID) {
                invalidate_unlocked(o);
                return;
            }
            if (o->flags & CACHE_DISCARD) {
                if (now > o->mtime + 60)
                    invalidate_unlocked(o);
                return;
            }
            if (o->atime > cutoff)
                return;
            if (!(o->flags & (CACHE_DISK | CACHE_MEM)) || ((o->flags & CACHE_DISK) && !o->store)) {
                // Nothing holds such an object: it can only be dropped.
                invalidate_unlocked(o);
                return;
            }
            if (o->flags & CACHE_DISK) {
                if (o->store->bytes > o->store->clean_target) {
                    invalidate_unlocked(o);
                    return;
                }
                o->store->full = false;
            }
            if ((o->flags & CACHE_MEM) &&
                (memory_bytes > target || memory_objects > limit)) {
                if ((o->flags & CACHE_DISK) && !(o->flags & CACHE_INVALID))
                    mem_delete(o);
                else
                    invalidate_unlocked(o);
            }
        });
    }
    putlog(LOG_CACHE, "after cleaning: memory: %d entries, bytes %" PRIu64 ", used: %u%%",
           memory_objects, memory_bytes, percent(memory_bytes, *memory_size));
    if (memory_bytes > memory_target_bytes()) {
        clean_warning = 2;
        putlog(LOG_ERROR,
               "cache: memory cache: underdimensioned, please consider increasing memory cache "
               "size");
    } else {
        clean_warning = 0;
    }
    for (auto &s : stores) {
        if (s->path.empty())
            continue;
        putlog(LOG_CACHE,
               "after cleaning: disk store: %s, entries: %d entries, bytes: %" PRIu64
               ", used: %u%%, diskfull: %d",
               s->path.c_str(), s->objects, s->bytes, percent(s->bytes, s->max_size),
               s->full ? 1 : 0);
    }
    cleaning = false;
}
