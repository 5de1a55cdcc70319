// The object cache: the "cache" section, its objects, the index, memory
// mappings, disk stores with their journals, freshness and cleaning.
//
// Every cached response is one CACHEMAP: the response head text followed
// by the body, held in a memory mapping while it is in use and backed by a
// file in a disk store when a store rule applies.  Objects are found by
// their key (the request URL) in one chained index of a fixed number of
// buckets.  One mutex, the section lock in its mutex mode, guards the
// index, every object field, the store counters, the memory counters and
// the cleaning state.  Public operations take it themselves; the
// *_unlocked forms and the internal operations expect it held.
//
// Lock order: the cache mutex may be held when the deletion queue's mutex
// is taken, never the reverse.  No client or server socket is written with
// the cache mutex held: a finished body is written from its mapping after
// the mutex is released (the caller's reference keeps the mapping), and a
// reader following a writer copies what has arrived in bounded pieces
// under the mutex and writes each piece outside it.
#ifndef KV_CACHE_CACHE_H
#define KV_CACHE_CACHE_H

#include <pthread.h>
#include <cctype>
#include <time.h>

#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class Store;

// Flag bits of CACHEMAP::flags; also the open flags of cache_open.
enum {
    CACHE_WRITING = 0x1,      // a writer still adds data; as an open flag: create
    CACHE_INVALID = 0x2,      // dropped; freed when the last user closes it
    CACHE_EXPIRED = 0x4,      // freshness has run out
    CACHE_VALIDATE = 0x8,     // must be revalidated before use
    CACHE_PREFETCHED = 0x10,  // stored by the prefetcher or held by the buffer wait
    CACHE_VIOLATION = 0x20,   // the response said no-cache, no-store or private
    CACHE_OFFLINE = 0x40,     // as an open flag: accept CACHE_VIOLATION objects
    CACHE_DISK = 0x80,        // the object has a file in its store
    CACHE_MEM = 0x100,        // the object is mapped in memory
    CACHE_CONDVAR = 0x200,    // cond is initialised
    CACHE_CLEAN = 0x400,      // the body passed the scanners
    CACHE_BUFFERWAIT = 0x800, // still buffered for scanning: "downloading" page
    CACHE_DISCARD = 0x1000,   // temporary; dropped 60 s after its fetch
    CACHE_FORCE = 0x2000,     // kept although the size limit would refuse it
};

// Bits of CACHEMAP::cc: what the stored head's Cache-Control says.
enum {
    CACHE_CC_MUST_REVALIDATE = 0x1, // must-revalidate, proxy-revalidate or s-maxage
    CACHE_CC_NO_CACHE = 0x2,        // no-cache: every use is validated
    CACHE_CC_VIOLATION = 0x4,       // no-cache, no-store or private
    CACHE_CC_EXPIRES_BAD = 0x8,     // Expires does not parse or appears twice
};

// Open flags of a creation for an ordinary response, for the prefetcher
// and for a response buffered whole for scanning.
#define CACHE_OPEN_CREATE CACHE_WRITING
#define CACHE_OPEN_PREFETCH (CACHE_WRITING | CACHE_PREFETCHED)
#define CACHE_OPEN_TEMPORARY (CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE)

// Buckets of the index; fixed, never rehashed.
#define CACHE_BUCKETS 104729
// Objects mapped at once beyond which a cleaning runs.
#define CACHE_MAX_MEMENTRIES 2000
// Growth step of a mapping without an announced length.
#define CACHE_MAP_STEP 65536
// Longest journal line, newline included.
#define CACHE_JOURNAL_LINE 8191

struct CACHEMAP {
    pthread_cond_t cond;       // valid with CACHE_CONDVAR
    int fd = -1;               // the object's file while open
    char *key = nullptr;       // the request URL; owned
    char *mapping = nullptr;   // start of the mapping; null while unmapped
    int refcount = 0;          // current users
    uint64_t size = 0;         // head text plus body
    uint64_t map_size = 0;     // length of the mapping
    uint64_t header_length = 0;// head text length; 0 until known
    uint32_t flags = 0;        // CACHE_*
    HEADER *header = nullptr;  // stored head, parsed; owned
    Store *store = nullptr;    // disk store, null for memory only
    char md5[33] = "0";        // hex digest of the data, or "0"
    time_t atime = 0;          // last access
    time_t mtime = 0;          // fetch time
    time_t expires = 0;        // explicit expiry, 0 none
    time_t fresh_until = 0;    // heuristic expiry, 0 none
    time_t lmtime = 0;         // Last-Modified, 0 none
    uint32_t min_age = 0;
    uint32_t max_age = 0;
    uint32_t validate_age = 0;
    uint32_t lm_factor = 0;    // percent
    // What the stored head says about freshness, read once per parsed
    // head (fresh_of names the head it was read from; check_header).
    const HEADER *fresh_of = nullptr;
    uint32_t cc = 0;           // CACHE_CC_*
    int64_t cc_max_age = -1;   // s-maxage, else max-age, in seconds; -1 none
    time_t expires_value = 0;  // Expires, 0 none
    time_t date = 0;           // Date, 0 none
    int64_t age_value = 0;     // the Age it arrived with
    int64_t fetch_delay = 0;   // seconds from the request to its response
    char *head_text = nullptr; // the stored head once a validation replaced
                               // its fields (the mapping keeps the old); owned
};

// A zero-filled object; with condvar the condition is initialised.
CACHEMAP *cachemap_new(bool condvar);

// One disk store rule (subsection 0).
class Store {
public:
    explicit Store(const Item &item);
    int32_t enabled;
    std::string comment;
    StringList profiles;
    std::string path;
    uint64_t max_size;
    uint64_t free_extra;
    int32_t md5_check;
    bool usable = true;       // false: path repeated or too long (disabled)
    // Run-time state.
    int journal_fd = -1;
    uint32_t journal_count = 0;
    int objects = 0;
    uint64_t bytes = 0;
    bool full = false;
    time_t journal_time = 0;
    uint64_t clean_target = 0;
};

// The bytes a cleaning of the store keeps: max_size when it is neither
// full nor over it; else bytes - free_extra when free_extra exceeds
// 9,999,999, otherwise 10,000,000; never more than max_size - free_extra
// (0 when free_extra is larger), so a store smaller than 10,000,000 bytes
// is cleaned too.
uint64_t store_clean_target(const Store &s);

// One freshness rule (subsection 1).
class Refresh {
public:
    explicit Refresh(const Item &item);
    int32_t enabled;
    std::string comment;
    StringList profiles;
    int32_t cacheable;
    uint32_t min_age;
    uint32_t max_age;
    uint32_t validate_age;
    uint32_t lm_factor;
};

// May this request or response be cached: a response with status 200, no
// Set-Cookie, no Vary naming anything but Accept-Encoding and no
// Content-Encoding other than gzip or deflate; a GET request in
// absolute-URL form without Authorization, Range or a user other than
// "anonymous".  Any other head: false.
bool cacheable(const HEADER *h);
// Whether a head's Cache-Control says no-store: the response to such a
// request, or such a response, is never stored, in memory or on disk.
bool cache_no_store(const HEADER *h);
// The same test on a stored head.
bool cacheable2(const HEADER *h);

// An HTTP date ("%a, %d %b %Y %T GMT", also the RFC 850 and asctime
// forms) as seconds since the epoch, read as UTC whatever the machine's
// time zone; 0 when it does not parse.
time_t http_date_parse(const char *text);

// Seconds from the start of the connection's request until now: the
// response delay counted into a stored response's age; 0 without a
// connection or a request start.
int64_t cache_fetch_delay(const CONNECTION_T *conn);

// Calls fn for each directive of a Cache-Control value: the value is split
// at commas and each directive trimmed of blanks; name is lower-cased,
// arg is the text after '=' (without quotes) or null.
template <typename Fn> void cache_control_each(const char *value, Fn fn);

class CacheSection : public Section {
public:
    // buckets: the index's bucket count; the proxy uses CACHE_BUCKETS, a
    // test harness may ask for a small index.
    explicit CacheSection(int buckets = CACHE_BUCKETS);
    ~CacheSection() override;

    // Section: rebuilds the rule lists and re-attaches the stores.
    void update() override;

    // Opening, filling, closing and serving objects.
    // When flags_out is given, the object's flags as the open left them
    // are stored there (the caller saves taking the lock again for them).
    CACHEMAP *cache_open(CONNECTION_T *conn, const char *key, const char *head, int flags,
                         int *flags_out = nullptr);
    int64_t add(CACHEMAP *object, const void *data, size_t length);
    void cache_close(CACHEMAP *object, bool finish);
    void invalidate(CACHEMAP *object);
    // Writes the body to the client (which 0) or server socket.  Returns
    // the bytes written; -1 when the object was dropped while it was being
    // written (the reader has an incomplete body) or a write failed.
    int64_t send(CACHEMAP *object, CONNECTION_T *conn, int which);
    void send_status(CONNECTION_T *conn, CACHEMAP *object);
    // A new buffer with the body, once the writer has finished; null when
    // the writer failed.
    Filebuf *read_filebuf(CACHEMAP *object);
    // Appends the body of a finished object to buf; its length, or -1 when
    // the object is still being written or was dropped.
    int64_t append_body(CACHEMAP *object, Filebuf *buf);

    // What serving a held object reads, taken under one lock: its flags,
    // when it was fetched, and its body's length so far.
    struct View {
        int flags;
        time_t mtime;
        int64_t body_size;
        int64_t age;  // current age in seconds
    };
    View view(CACHEMAP *object);

    char *cachemap_headers(CACHEMAP *object);
    int64_t get_cachemap_size(CACHEMAP *object);
    int64_t get_cachemap_data(CACHEMAP *object);
    time_t get_mtime(CACHEMAP *object);
    time_t get_lmtime(CACHEMAP *object);
    int flag_get(CACHEMAP *object);
    int flag_set(CACHEMAP *object, int bits);
    int flag_unset(CACHEMAP *object, int bits);
    int refcount(CACHEMAP *object);
    // New string naming the set bits; the caller frees it.
    char *flag_string(CACHEMAP *object);
    void check(HEADER *request);
    // The same on an object the caller holds (the lookup just ran its
    // freshness check); returns the object's flags after it.  *strict
    // (when given) tells whether a stale object may not be served
    // unvalidated (must-revalidate, proxy-revalidate, s-maxage, no-cache,
    // and violations not allowed).
    int check_held(CACHEMAP *object, HEADER *request, bool *strict = nullptr);
    // The origin confirmed the object.  With update (the 304's head), its
    // fields replace the stored ones except those that frame or code the
    // body; delay is the seconds from the request to the 304.
    void validated(CACHEMAP *object, const HEADER *update = nullptr, int64_t delay = 0);
    // Whether a 304 that answered the proxy's conditional request confirms
    // the object: no validator it carries contradicts the stored one.
    bool confirms(CACHEMAP *object, const HEADER *update);
    // The stored validators: the ETag (empty when none) and the time to
    // ask If-Modified-Since with (Last-Modified, else the fetch time).
    void validators(CACHEMAP *object, std::string *etag, time_t *since);
    // Whether a client's own conditional request is answered by the
    // object with 304: its If-None-Match (taking precedence) names the
    // stored ETag by weak comparison, or its If-Modified-Since is not
    // earlier than the stored Last-Modified.  Either may be null.
    bool not_modified(CACHEMAP *object, const char *if_none_match,
                      const char *if_modified_since);
    // Drops the object stored under key, if any; one in use is marked for
    // validation before its next use instead.
    void invalidate_key(const char *key);
    // The current age of an object (RFC 9111 4.2.3), mutex held.
    int64_t current_age(const CACHEMAP *object, time_t now);
    bool exists(const char *key);
    int icpport_get();
    int icptimeout_get();
    // At process end: empties the deletion queue and rewrites the open
    // journals.  Takes its locks with a bounded wait.
    void graceful_exit();

    // The deletion thread's body; never returns.
    void unlink_thread();
    void unlink_list_add(const char *path);
    void unlink_list_zap(const char *path);

    // Internal operations, with the cache mutex held (public for tests
    // and the diagnostic pages).
    CACHEMAP *hash_find(const char *key);
    void hash_add(CACHEMAP *object);
    bool hash_remove(CACHEMAP *object);
    uint64_t resize(CACHEMAP *object, int64_t n);
    void invalidate_unlocked(CACHEMAP *object);
    int64_t add_unlocked(CACHEMAP *object, const void *data, size_t length);
    // Gives back a reference; returns the descriptor of a disk object the
    // writer has just finished, which the caller syncs and closes after
    // releasing the mutex (a finished object's mapping needs no open file),
    // else -1.
    int close_unlocked(CACHEMAP *object, bool finish);
    void mem_delete(CACHEMAP *object);
    void cache_free(CACHEMAP *object);
    void select_store(CONNECTION_T *conn, CACHEMAP *object);
    void select_refresh(CONNECTION_T *conn, CACHEMAP *object);
    int filename(CACHEMAP *object, char *buffer, int size);
    void touch_unlocked(CACHEMAP *object, int fetched);
    int journal_add(CACHEMAP *object);
    void journal_write(Store *store);
    void journal_read(Store *store);
    bool md5_check(CACHEMAP *object);
    void md5_again(CACHEMAP *object);
    void disk_delete(CACHEMAP *object);
    void stores_update();
    void check_header(CACHEMAP *object);
    // Cleans the cache: the full cleaning when its interval has passed,
    // and, when memory or a store is still over its size (the interval has
    // not passed, or what it freed was not enough), clean_over().
    void clean();
    // Brings memory and every store back within their size at once, oldest
    // idle objects first, when they are over it between two cleanings.
    void clean_over();
    // Whether memory or a store holds more than its size.
    bool over_limits() const;
    void memory_summary();

    // Walks every object of the index in bucket and chain order.
    template <typename Fn> void each(Fn fn);

    // Global fields by position.
    const int32_t *enabled;
    const int32_t *allow_violations;
    const uint32_t *memory_size;
    const uint32_t *memory_free_extra;
    const uint32_t *minsize;
    const uint32_t *maxsize;
    const int32_t *prefetch_window;
    const int32_t *icp_port;
    const int32_t *icp_timeout;
    const int32_t *store_selection;
    const uint32_t *journal_lines;
    const uint32_t *clean_interval;

    struct Node {
        Node *prev;
        Node *next;
        CACHEMAP *object;
    };
    Node **cachemaplist;
    const int buckets;         // entries of cachemaplist
    uint64_t memory_bytes = 0;
    int memory_objects = 0;
    time_t last_clean = 0;
    int clean_warning = 0;
    bool cleaning = false;
    int64_t last_clean_over = 0; // monotonic ms of the last clean_over walk

    std::list<std::unique_ptr<Store>> stores;
    std::list<std::unique_ptr<Refresh>> refreshes;

    // The deferred-unlink queue.
    pthread_mutex_t unlink_mutex;
    pthread_cond_t unlink_cond;
    std::deque<std::string> unlink_list;
    int unlink_count = 0;

private:
    // The full cleaning of clean(), run at most once per interval.
    void clean_periodic();
    uint64_t memory_target_bytes() const;
    uint32_t clean_interval_get() const;
    uint32_t journal_limit() const;
};

extern CacheSection *cache_section;

// Entry of the deletion thread (runs cache_section->unlink_thread()).
void unlink_thread();

// The journal line parser: splits line (ended by a newline or not) into
// its tab-separated fields; a run of tabs is one separator.  Returns the
// number of fields.
int journal_split(const char *line, std::string fields[], int max);

template <typename Fn> void CacheSection::each(Fn fn)
{
    for (int b = 0; b < buckets; b++) {
        Node *n = cachemaplist[b];
        while (n) {
            Node *next = n->next;
            fn(n->object);
            n = next;
        }
    }
}

template <typename Fn> void cache_control_each(const char *value, Fn fn)
{
    if (!value)
        return;
    std::string text(value);
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        std::string piece = text.substr(start, comma - start);
        size_t b = piece.find_first_not_of(" \t");
        size_t e = piece.find_last_not_of(" \t\r\n");
        if (b != std::string::npos) {
            piece = piece.substr(b, e - b + 1);
            std::string name = piece, arg;
            bool has_arg = false;
            size_t eq = piece.find('=');
            if (eq != std::string::npos) {
                name = piece.substr(0, eq);
                arg = piece.substr(eq + 1);
                size_t nb = name.find_last_not_of(" \t");
                name = nb == std::string::npos ? "" : name.substr(0, nb + 1);
                size_t ab = arg.find_first_not_of(" \t");
                arg = ab == std::string::npos ? "" : arg.substr(ab);
                if (arg.size() >= 2 && arg.front() == '"' && arg.back() == '"')
                    arg = arg.substr(1, arg.size() - 2);
                has_arg = true;
            }
            for (char &c : name)
                c = (char)tolower((unsigned char)c);
            fn(name, has_arg ? arg.c_str() : nullptr);
        }
        start = comma + 1;
    }
}

#endif
