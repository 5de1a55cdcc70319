// Link prefetching: the "prefetch" section, its queue of URLs and the
// prefetch threads that fetch them into the object cache.
//
// While a worker reads an HTML response, the section's rules register a
// callback on the connection's HTML stream for the tags they follow; each
// link found that way is queued.  Prefetch threads take URLs from the
// queue in arrival order and fetch each through a connection of their own
// with no client, so that the engine stores the response in the cache.
//
// Locks: the section's mutex (lock mode 1) guards the rules, the settings
// and the queue; `cond` wakes prefetch threads.  Lock order: the prefetch
// mutex, then the cache mutex (the cached-URL test of queue_add), then
// threadlistlock (the caller's client id).  No socket is touched with the
// prefetch mutex held; a fetch runs without it.
#ifndef KV_CACHE_PREFETCH_H
#define KV_CACHE_PREFETCH_H

#include <pthread.h>

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "config/section.h"
#include "runtime/misc.h"

struct CONNECTION_T;
struct HTTP_HEADER;
struct htmlstream_node;
struct regexp_t;
class CGIMap;
class Filebuf;
class HTMLStream;
class Item;

// Download limit of a queued URL that has none.
#define PREFETCH_NO_LIMIT 0xFFFFFFFFu
// The request header line sent by a prefetch that carries no header list.
#define PREFETCH_USER_AGENT "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)"

// One queued URL; the queue owns it until a prefetch thread takes it.
struct PREFETCH_QUEUE {
    PREFETCH_QUEUE *next = nullptr;        // next newer URL
    uint32_t client_id = 0;                // the fetch logs under this id
    int depth = 0;                         // link depth of the fetched page
    uint32_t download_limit = PREFETCH_NO_LIMIT;
    URL *url = nullptr;                    // owned
    std::vector<HTTP_HEADER> *headers = nullptr; // owned, or null
};

// Frees the node with its URL and header list.
void prefetch_queue_free(PREFETCH_QUEUE *node);

// A rule: which links of which tag are followed.
class Prefetch {
public:
    explicit Prefetch(const Item &item);
    Prefetch(const Prefetch &other);
    Prefetch &operator=(const Prefetch &) = delete;
    ~Prefetch();

    int32_t enabled;
    std::string comment;
    StringList profiles;
    std::string tag;
    std::string attribute;
    std::string url_pattern;
    uint32_t download_limit;  // 0: none
    int32_t max_depth;        // 0: no limit
    regexp_t *compiled;       // null for an empty or broken pattern

    // Enabled, profiles accepted and both tag and attribute given.
    bool usable(const CONNECTION_T *conn) const;
};

class PrefetchSection : public Section {
public:
    PrefetchSection();
    ~PrefetchSection() override;

    // Section
    void update() override;

    // Starts `thread_count` prefetch threads; once, at start-up.
    void init_threads();

    // For an HTML response (not over TLS) with prefetching enabled: gives
    // the connection an HTML stream and registers the link callback for
    // the tag of every usable rule.  Called after every response head.
    void setup_callbacks(CONNECTION_T *conn);

    // Appends the URL to the queue unless the queue is full, the URL is
    // cached or already queued, or its host has its limit of queued URLs.
    // Takes the URL over in every case; copies the header list.
    void queue_add(URL *url, const std::vector<HTTP_HEADER> *headers, uint32_t download_limit,
                   int depth);

    // The link of the tag node for the first rule that yields one, or null;
    // the caller holds the mutex.
    URL *link_find(const CONNECTION_T *conn, const htmlstream_node *node, uint32_t *limit);

    // Takes the oldest queued URL, waiting for one; never null.
    PREFETCH_QUEUE *queue_take();

    std::list<Prefetch> rules;
    PREFETCH_QUEUE *queue_head = nullptr; // oldest, or null
    int queue_count = 0;
    pthread_cond_t cond;                  // signalled once per queued URL

    const int32_t *enabled;
    const int32_t *thread_count;
    const int32_t *queue_size;
    const int32_t *host_limit;
};

extern PrefetchSection *prefetch_section;

// The HTML stream's callback for a registered tag (data: the connection);
// queues the tag's link.  Returns 0.
int prefetch_callback(HTMLStream *stream, htmlstream_node *node, void *data);

// A prefetch thread (argument: the section); never returns.
void *prefetch_thread(void *arg);

// Fetches one queued URL into the cache on a connection of its own, after
// the request checks.  1 after a fetch (or a refusal by the checks), 0
// when the URL was already cached.
int protocol_prefetch(PREFETCH_QUEUE *node);

#endif
