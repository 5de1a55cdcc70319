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

// The largest number of seconds a delta in a head stands for (RFC 9111
// 1.2.2): a greater one is read as this, so that freshness arithmetic never
// overflows.
constexpr int64_t DELTA_SECONDS_MAX = 2147483648LL;

// A non-negative decimal number of seconds (at most DELTA_SECONDS_MAX), or -1.
int64_t seconds_of(const char *text)
{
    if (!text || !*text)
        return -1;
    char *end = nullptr;
    long long v = strtoll(text, &end, 10);
    if (end == text || v < 0)
        return -1;
    return v < DELTA_SECONDS_MAX ? v : DELTA_SECONDS_MAX;
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
        if (h->authorization || h->range || header_line_value(h, "Authorization") ||
            header_line_value(h, "Range"))
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

namespace {

// Reads what the stored head says about freshness into the object, once
// per parsed head: the Cache-Control directives of every line, Expires
// (counting its lines), Date, Age and Last-Modified.  A directive given
// twice counts by its smallest value, and one whose number does not parse
// by 0, so a doubtful lifetime is never the longer one.
void freshness_read(CACHEMAP *object, const HEADER *h)
{
    object->fresh_of = h;
    object->cc = 0;
    object->cc_max_age = -1;
    object->expires_value = 0;
    object->date = 0;
    object->age_value = 0;
    object->lmtime = 0;
    int64_t max_age = -1, s_maxage = -1;
    int expires_lines = 0, date_lines = 0;
    auto smallest = [](int64_t *slot, const char *arg) {
        int64_t v = seconds_of(arg);
        if (v < 0)
            v = 0;
        if (*slot < 0 || v < *slot)
            *slot = v;
    };
    for (const HTTP_HEADER &line : h->headers) {
        const char *name = line.name.c_str();
        if (strcasecmp(name, "Cache-Control") == 0) {
            cache_control_each(line.value.c_str(), [&](const std::string &d, const char *arg) {
                if (d == "max-age") {
                    smallest(&max_age, arg);
                } else if (d == "s-maxage") {
                    smallest(&s_maxage, arg);
                    object->cc |= CACHE_CC_MUST_REVALIDATE;
                } else if (d == "must-revalidate" || d == "proxy-revalidate") {
                    object->cc |= CACHE_CC_MUST_REVALIDATE;
                } else if (d == "no-cache") {
                    object->cc |= CACHE_CC_NO_CACHE | CACHE_CC_VIOLATION;
                } else if (d == "no-store" || d == "private") {
                    object->cc |= CACHE_CC_VIOLATION;
                }
            });
        } else if (strcasecmp(name, "Expires") == 0) {
            expires_lines++;
        } else if (strcasecmp(name, "Date") == 0) {
            if (date_lines++ == 0)
                object->date = http_date_parse(line.value.c_str());
        } else if (strcasecmp(name, "Age") == 0) {
            int64_t v = seconds_of(line.value.c_str());
            if (v > object->age_value)
                object->age_value = v;
        }
    }
    // Two Date lines leave the response's date unknown.
    if (date_lines > 1)
        object->date = 0;
    object->cc_max_age = s_maxage >= 0 ? s_maxage : max_age;
    if (expires_lines > 0) {
        object->expires_value = expires_lines == 1 ? http_date_parse(h->expires) : 0;
        if (object->expires_value == 0)
            object->cc |= CACHE_CC_EXPIRES_BAD;
    }
    if (h->last_modified)
        object->lmtime = http_date_parse(h->last_modified);
}

} // namespace

int64_t cache_fetch_delay(const CONNECTION_T *conn)
{
    if (!conn || conn->log_entry.start_time.tv_sec <= 0)
        return 0;
    int64_t delay = (int64_t)time(nullptr) - (int64_t)conn->log_entry.start_time.tv_sec;
    return delay > 0 ? delay : 0;
}

int64_t CacheSection::current_age(const CACHEMAP *object, time_t now)
{
    // The age it had when it arrived: what its Date says, or the Age it
    // came with plus the time the request took, whichever is more.
    int64_t initial = object->age_value + object->fetch_delay;
    if (object->date && object->mtime > object->date &&
        (int64_t)(object->mtime - object->date) > initial)
        initial = (int64_t)(object->mtime - object->date);
    int64_t resident = now > object->mtime ? (int64_t)(now - object->mtime) : 0;
    return initial + resident;
}

void CacheSection::check_header(CACHEMAP *object)
{
    time_t now = utc_time(nullptr);
    HEADER *h = object->header;
    object->expires = 0;
    object->fresh_until = 0;
    object->flags &= ~(CACHE_EXPIRED | CACHE_VIOLATION);
    if (!h)
        return;
    h->chunked = 0;
    if (object->fresh_of != h) {
        if (h->expires)
            putlog(LOG_DEBUG, "cache: file expires header: %s", h->expires);
        if (h->last_modified)
            putlog(LOG_DEBUG, "cache: file last-modified header: %s", h->last_modified);
        if (h->cache_control)
            putlog(LOG_DEBUG, "cache: file cache-control header: %s", h->cache_control);
        freshness_read(object, h);
    }
    if (object->cc & CACHE_CC_VIOLATION)
        object->flags |= CACHE_EXPIRED | CACHE_VIOLATION;
    int64_t age = current_age(object, now);
    // The explicit lifetime: s-maxage, else max-age, else Expires minus
    // Date (the fetch time without a Date); an Expires that cannot be
    // trusted gives none at all.
    int64_t lifetime = -1;
    if (object->cc_max_age >= 0) {
        lifetime = object->cc_max_age;
    } else if (object->cc & CACHE_CC_EXPIRES_BAD) {
        lifetime = 0;
    } else if (object->expires_value) {
        time_t date = object->date ? object->date : object->mtime;
        lifetime = object->expires_value > date ? (int64_t)(object->expires_value - date) : 0;
    }
    bool expired = false;
    if (lifetime >= 0) {
        // Fresh until its age reaches its lifetime; expires 0 means none,
        // so a time in the past is kept above it.
        int64_t until = (int64_t)now + lifetime - age;
        object->expires = until > 0 ? (time_t)until : 1;
        expired = age >= lifetime;
    } else if (object->lmtime != 0 && object->lmtime < object->mtime) {
        // Without one, a share of the age its content had when fetched.
        int64_t span = (int64_t)(object->mtime - object->lmtime);
        if (span > DELTA_SECONDS_MAX)
            span = DELTA_SECONDS_MAX;
        int64_t heuristic = span * (int64_t)object->lm_factor / 100;
        putlog(LOG_DEBUG, "cache: lmtime factor: %" PRId64, heuristic);
        int64_t until = (int64_t)now + heuristic - age;
        object->fresh_until = until > 0 ? (time_t)until : 1;
        expired = age >= heuristic ||
                  (int64_t)now > (int64_t)object->mtime + (int64_t)object->validate_age;
    } else {
        expired = true;
    }
    // The administrator's bounds hold whatever the response said.
    if ((int64_t)now > (int64_t)object->mtime + (int64_t)object->max_age)
        expired = true;
    if (object->lmtime != 0 &&
        (int64_t)now < (int64_t)object->lmtime + (int64_t)object->min_age)
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

int CacheSection::check_held(CACHEMAP *object, HEADER *request, bool *strict)
{
    time_t now = utc_time(nullptr);
    mutex_lock();
    // A response that said must-revalidate (or the like) is never used
    // stale, whatever the client would accept.
    bool must = (object->cc & (CACHE_CC_MUST_REVALIDATE | CACHE_CC_NO_CACHE)) != 0;
    if (!(object->flags & CACHE_PREFETCHED)) {
        bool stale = (object->flags & CACHE_EXPIRED) != 0;
        bool expired = stale;
        int64_t age = current_age(object, now);
        if (request->cache_control) {
            putlog(LOG_DEBUG, "cache: request cache-control header: %s", request->cache_control);
            cache_control_each(request->cache_control,
                               [&](const std::string &name, const char *arg) {
                int64_t v = seconds_of(arg);
                if (name == "no-cache" || name == "no-store") {
                    stale = true;
                } else if (name == "max-age" && v >= 0) {
                    // max-age=0 asks for a validation even within the
                    // second the object was fetched.
                    if (v == 0 || v < age)
                        stale = true;
                } else if (name == "min-fresh" && v >= 0) {
                    if (object->expires && object->expires < now + v)
                        stale = true;
                    else if (!object->expires && object->fresh_until &&
                             object->fresh_until < now + v)
                        stale = true;
                } else if (name == "max-stale" && !(must && expired)) {
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
    if (strict)
        *strict = must && (object->flags & CACHE_EXPIRED) && !*allow_violations;
    int flags = (int)object->flags;
    unlock();
    return flags;
}

namespace {

// The value of the first line of that name in a list, trimmed, or "".
std::string list_value(const std::vector<HTTP_HEADER> &list, const char *name)
{
    for (const HTTP_HEADER &line : list) {
        if (strcasecmp(line.name.c_str(), name) != 0)
            continue;
        size_t b = line.value.find_first_not_of(" \t");
        size_t e = line.value.find_last_not_of(" \t\r\n");
        return b == std::string::npos ? std::string() : line.value.substr(b, e - b + 1);
    }
    return std::string();
}

// Two entity tags compared weakly: the same opaque tag, W/ or not.
bool etag_weak_equal(const char *a, size_t alen, const char *b, size_t blen)
{
    if (alen >= 2 && a[0] == 'W' && a[1] == '/') {
        a += 2;
        alen -= 2;
    }
    if (blen >= 2 && b[0] == 'W' && b[1] == '/') {
        b += 2;
        blen -= 2;
    }
    return alen > 0 && alen == blen && memcmp(a, b, alen) == 0;
}

// Whether an If-None-Match value ("*" or a list of entity tags) names the
// entity tag.
bool etag_listed(const char *list, const std::string &etag)
{
    const char *p = list;
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            p++;
        if (!*p)
            break;
        if (*p == '*')
            return true;
        const char *start = p;
        if (p[0] == 'W' && p[1] == '/')
            p += 2;
        if (*p == '"') {
            const char *close = strchr(p + 1, '"');
            p = close ? close + 1 : p + strlen(p);
        } else {
            p += strcspn(p, ", \t");
        }
        if (etag_weak_equal(start, (size_t)(p - start), etag.data(), etag.size()))
            return true;
        p += strcspn(p, ",");
    }
    return false;
}

// Fields a 304 never changes in a stored head: those that frame or code
// the body, those of one hop, and cookies, which are never shared.
bool field_kept(const char *name)
{
    static const char *const kept[] = {
        "Content-Length", "Transfer-Encoding", "Content-Encoding", "Content-Range",
        "Connection",     "Keep-Alive",        "Proxy-Connection", "TE",
        "Trailer",        "Trailers",          "Upgrade",          "Proxy-Authenticate",
        "Set-Cookie",     "Set-Cookie2",
    };
    for (const char *k : kept)
        if (strcasecmp(name, k) == 0)
            return true;
    return false;
}

// The stored head text with the fields of a 304 in place of its own, or
// "" when the result would be too long to read back.  The old Date and
// Age go in any case: they told of the earlier exchange.
std::string head_merge(const char *stored, const HEADER *update)
{
    std::string out;
    const char *p = stored;
    size_t first = strcspn(p, "\n");
    out.assign(p, first);
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    out += "\r\n";
    p += first;
    if (*p)
        p++;
    auto replaced = [&](const std::string &name) {
        if (strcasecmp(name.c_str(), "Date") == 0 || strcasecmp(name.c_str(), "Age") == 0)
            return true;
        if (field_kept(name.c_str()))
            return false;
        for (const HTTP_HEADER &line : update->headers)
            if (strcasecmp(line.name.c_str(), name.c_str()) == 0)
                return true;
        return false;
    };
    while (*p) {
        size_t n = strcspn(p, "\n");
        std::string line(p, n);
        p += n;
        if (*p)
            p++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty())
            break;
        size_t colon = line.find(':');
        if (colon != std::string::npos && replaced(line.substr(0, colon)))
            continue;
        out += line;
        out += "\r\n";
    }
    for (const HTTP_HEADER &line : update->headers) {
        if (field_kept(line.name.c_str()))
            continue;
        out += line.name;
        out += ": ";
        out += line.value;
        out += "\r\n";
    }
    out += "\r\n";
    if (out.size() > HEADER_COLLECT_MAX)
        return std::string();
    return out;
}

} // namespace

bool CacheSection::confirms(CACHEMAP *object, const HEADER *update)
{
    if (!object || !update)
        return false;
    std::string etag = list_value(update->headers, "ETag");
    time_t lm = update->last_modified ? http_date_parse(update->last_modified) : 0;
    mutex_lock();
    bool ok = true;
    std::string stored = object->header ? list_value(object->header->headers, "ETag") : "";
    if (!etag.empty() && !stored.empty())
        ok = etag_weak_equal(etag.data(), etag.size(), stored.data(), stored.size());
    if (ok && update->last_modified && object->lmtime != 0)
        ok = lm != 0 && lm == object->lmtime;
    unlock();
    return ok;
}

void CacheSection::validators(CACHEMAP *object, std::string *etag, time_t *since)
{
    mutex_lock();
    *etag = object->header ? list_value(object->header->headers, "ETag") : std::string();
    *since = object->lmtime ? object->lmtime : object->mtime;
    unlock();
}

bool CacheSection::not_modified(CACHEMAP *object, const char *if_none_match,
                                const char *if_modified_since)
{
    if (!object || (!if_none_match && !if_modified_since))
        return false;
    time_t since = if_none_match ? 0 : http_date_parse(if_modified_since);
    mutex_lock();
    bool result = false;
    if (if_none_match) {
        std::string etag = object->header ? list_value(object->header->headers, "ETag") : "";
        // "*" matches any stored object, with an entity tag or without.
        result = etag_listed(if_none_match, etag);
    } else {
        result = since != 0 && object->lmtime != 0 && since >= object->lmtime;
    }
    unlock();
    return result;
}

void CacheSection::validated(CACHEMAP *object, const HEADER *update, int64_t delay)
{
    if (!object)
        return;
    mutex_lock();
    if (update && object->header) {
        std::string stored = object->head_text
                                 ? std::string(object->head_text)
                                 : (object->mapping && object->header_length
                                        ? std::string(object->mapping, object->header_length)
                                        : std::string());
        std::string merged = stored.empty() ? stored : head_merge(stored.c_str(), update);
        HEADER *h = merged.empty() ? nullptr : http_header_parse_response(merged.c_str());
        if (h) {
            http_header_free(object->header);
            object->header = h;
            free(object->head_text);
            object->head_text = xstrdup(merged.c_str());
            object->fresh_of = nullptr;
        }
    }
    object->fetch_delay = delay;
    object->flags &= ~(CACHE_VALIDATE | CACHE_EXPIRED);
    touch_unlocked(object, 1);
    unlock();
}

void CacheSection::invalidate_key(const char *key)
{
    if (!key)
        return;
    mutex_lock();
    CACHEMAP *object = hash_find(key);
    if (object && !(object->flags & CACHE_INVALID)) {
        if (object->refcount == 0) {
            // The drop takes the reference it is lent.
            object->refcount++;
            invalidate_unlocked(object);
        } else {
            // Its users are sending a whole body: it stays theirs, and is
            // validated with the origin before anyone uses it again.
            object->flags |= CACHE_VALIDATE;
        }
    }
    unlock();
}

// ---------------------------------------------------------------- cleaning

void CacheSection::clean()
{
    clean_periodic();
    if (over_limits())
        clean_over();
}

void CacheSection::clean_periodic()
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
