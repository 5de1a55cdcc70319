// Link prefetching: see prefetch.h.
#include "cache/prefetch.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>

#include "cache/cache.h"
#include "cache/serve.h"
#include "config/field.h"
#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/forward.h"
#include "engine/header.h"
#include "engine/httpfetch.h"
#include "engine/proto_ftp.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/serverpool.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/processors.h"
#include "runtime/regexp.h"
#include "runtime/thread.h"

PrefetchSection *prefetch_section = nullptr;

namespace {

// A link may only lead to a scheme the prefetcher fetches.
bool scheme_fetched(const URL *url)
{
    return strcasecmp(url->protocol, "http") == 0 || strcasecmp(url->protocol, "ftp") == 0;
}

// The URL of an attribute value found on the connection's page: an
// absolute one when it holds ':', else resolved against the request.
URL *link_resolve(const CONNECTION_T *conn, const char *value)
{
    if (strchr(value, ':'))
        return url_parse(value);
    const HEADER *h = conn->request;
    if (!h || !h->scheme || !h->host || !*h->host)
        return nullptr;
    std::string path;
    if (value[0] == '/') {
        path = value;
    } else {
        std::string base = h->path ? h->path : "/";
        size_t slash = base.rfind('/');
        path = (slash == std::string::npos ? std::string("/") : base.substr(0, slash + 1)) + value;
    }
    char *fixed = url_path_fix(path.c_str());
    if (!fixed)
        return nullptr;
    URL *url = (URL *)xmalloc(sizeof(URL));
    url->user = nullptr;
    url->password = nullptr;
    url->protocol = xstrdup(h->scheme);
    url->host = xstrdup(h->host);
    url->path = fixed;
    url->port = h->port;
    return url;
}

bool url_text_matches(regexp_t *expression, const URL *url)
{
    char *text = url_create(url);
    bool match = reg_exec(expression, text) == 0;
    free(text);
    return match;
}

// The thread's row shows the fetch under way, or is cleared after it.
void row_mark(int row, const URL *url)
{
    if (row < 0 || row >= THREADS_MAX)
        return;
    pthread_mutex_lock(&threadlistlock);
    THREAD_T *t = &threads[row];
    free(t->address);
    free(t->url);
    free(t->method);
    t->connection = nullptr;
    if (url) {
        t->state = THREAD_PREFETCHING;
        t->address = xstrdup("0.0.0.0");
        t->url = url_create(url);
        t->method = xstrdup("PREFETCH");
        t->requests++;
    } else {
        t->state = THREAD_STARTING;
        t->address = nullptr;
        t->url = nullptr;
        t->method = nullptr;
    }
    pthread_mutex_unlock(&threadlistlock);
}

// The prefetch's GET: the referer is the URL itself and coded bodies are
// welcome, since the cache stores them as they come.
HEADER *request_build(const URL *url, const std::vector<HTTP_HEADER> *headers)
{
    HEADER *h = http_fetch_request(url, headers, PREFETCH_USER_AGENT);
    header_field_set(&h->referer, h->url);
    header_field_set(&h->accept_encoding, "gzip, deflate");
    return h;
}

} // namespace

void prefetch_queue_free(PREFETCH_QUEUE *node)
{
    if (!node)
        return;
    if (node->url)
        url_free(node->url);
    delete node->headers;
    delete node;
}

// ------------------------------------------------------------------ rules

Prefetch::Prefetch(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      profiles(item.fields[2].string_list),
      tag(item.fields[3].raw),
      attribute(item.fields[4].raw),
      url_pattern(item.fields[5].raw),
      download_limit(item.fields[6].uint_value),
      max_depth(item.fields[7].int_value),
      compiled(url_pattern.empty() ? nullptr : reg_compile(url_pattern.c_str(), REGEXP_ICASE))
{
}

Prefetch::Prefetch(const Prefetch &o)
    : enabled(o.enabled), comment(o.comment), profiles(o.profiles), tag(o.tag),
      attribute(o.attribute), url_pattern(o.url_pattern), download_limit(o.download_limit),
      max_depth(o.max_depth),
      compiled(url_pattern.empty() ? nullptr : reg_compile(url_pattern.c_str(), REGEXP_ICASE))
{
}

Prefetch::~Prefetch()
{
    if (compiled)
        reg_free(compiled);
}

bool Prefetch::usable(const CONNECTION_T *conn) const
{
    return !tag.empty() && !attribute.empty() && profile_find(conn->profiles, profiles) == 1;
}

// ---------------------------------------------------------------- section

PrefetchSection::PrefetchSection() : Section("prefetch", 1)
{
    ASSERT(fields.size() >= 4);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 8);
    enabled = &fields[0].int_value;
    thread_count = &fields[1].int_value;
    queue_size = &fields[2].int_value;
    host_limit = &fields[3].int_value;
    pthread_cond_init(&cond, nullptr);
}

PrefetchSection::~PrefetchSection()
{
    while (queue_head) {
        PREFETCH_QUEUE *next = queue_head->next;
        prefetch_queue_free(queue_head);
        queue_head = next;
    }
    pthread_cond_destroy(&cond);
}

void PrefetchSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

void PrefetchSection::init_threads()
{
    mutex_lock();
    int count = *thread_count;
    unlock();
    // The threads reach the section through prefetch_section: the row's
    // connection field takes the thread argument and must stay null.
    for (int i = 0; i < count; i++)
        thread_create(prefetch_thread, nullptr);
}

void PrefetchSection::setup_callbacks(CONNECTION_T *conn)
{
    const HEADER *r = conn->response;
    mutex_lock();
    if (*enabled == 0 || !r || !r->content_type || strncasecmp(r->content_type, "text/html", 9) != 0 ||
        (conn->flags & CONN_TLS)) {
        unlock();
        return;
    }
    for (const Prefetch &rule : rules) {
        if (!rule.usable(conn))
            continue;
        if (!conn->html_stream)
            conn->html_stream = new HTMLStream();
        conn->html_stream->Callback(rule.tag.c_str(), prefetch_callback, conn);
    }
    unlock();
}

URL *PrefetchSection::link_find(const CONNECTION_T *conn, const htmlstream_node *node,
                                uint32_t *limit)
{
    if (!node->tag)
        return nullptr;
    for (const Prefetch &rule : rules) {
        if (!rule.enabled || !rule.usable(conn) ||
            strcasecmp(node->tag->name, rule.tag.c_str()) != 0 ||
            (rule.max_depth != 0 && rule.max_depth <= conn->prefetch_depth))
            continue;
        for (const htmlstream_attribute *a = node->tag->attributes; a; a = a->next) {
            if (!a->name || !a->value || strcasecmp(a->name, rule.attribute.c_str()) != 0)
                continue;
            URL *url = link_resolve(conn, a->value);
            if (url && !scheme_fetched(url)) {
                url_free(url);
                url = nullptr;
            }
            if (url && rule.compiled && !url_text_matches(rule.compiled, url)) {
                url_free(url);
                continue;
            }
            if (url) {
                *limit = rule.download_limit == 0 ? PREFETCH_NO_LIMIT : rule.download_limit;
                return url;
            }
            break;
        }
    }
    return nullptr;
}

void PrefetchSection::queue_add(URL *url, const std::vector<HTTP_HEADER> *headers,
                                uint32_t download_limit, int depth)
{
    if (!url)
        return;
    mutex_lock();
    if (queue_count >= *queue_size) {
        int size = *queue_size;
        unlock();
        url_free(url);
        putlog(LOG_ADVICE,
               "prefetch: max quesize: %d cannot add this request into prefetch queue, consider "
               "increasing the queuesize",
               size);
        return;
    }
    char *text = url_create(url);
    bool cached = cache_section && cache_section->exists(text);
    free(text);
    if (cached) {
        unlock();
        url_free(url);
        putlog(LOG_DEBUG, "prefetch: url already cached");
        return;
    }
    int same_host = 0;
    PREFETCH_QUEUE *tail = nullptr;
    for (PREFETCH_QUEUE *q = queue_head; q; q = q->next) {
        tail = q;
        if (urlcmp(q->url, url)) {
            unlock();
            url_free(url);
            return;
        }
        if (*host_limit != 0 && strcasecmp(q->url->host, url->host) == 0 &&
            ++same_host >= *host_limit) {
            int limit = *host_limit;
            unlock();
            url_free(url);
            putlog(LOG_ADVICE,
                   "prefetch: max hostlimit: %d cannot add this request into prefetch queue, "
                   "consider increasing the hostlimit",
                   limit);
            return;
        }
    }
    PREFETCH_QUEUE *node = new PREFETCH_QUEUE;
    node->client_id = thread_get_clientid();
    node->url = url;
    node->headers = headers ? new std::vector<HTTP_HEADER>(*headers) : nullptr;
    node->download_limit = download_limit;
    node->depth = depth;
    if (tail)
        tail->next = node;
    else
        queue_head = node;
    queue_count++;
    pthread_cond_signal(&cond);
    unlock();
    putlog(LOG_PREFETCH, "url added to queue");
}

PREFETCH_QUEUE *PrefetchSection::queue_take()
{
    mutex_lock();
    while (!queue_head)
        cond_wait(&cond);
    PREFETCH_QUEUE *node = queue_head;
    queue_head = node->next;
    node->next = nullptr;
    queue_count--;
    unlock();
    return node;
}

int prefetch_callback(HTMLStream *, htmlstream_node *node, void *data)
{
    CONNECTION_T *conn = (CONNECTION_T *)data;
    PrefetchSection *section = prefetch_section;
    if (!section || !conn || !node)
        return 0;
    uint32_t limit = PREFETCH_NO_LIMIT;
    section->mutex_lock();
    URL *url = section->link_find(conn, node, &limit);
    section->unlock();
    if (url)
        section->queue_add(url, nullptr, limit, conn->prefetch_depth + 1);
    return 0;
}

void *prefetch_thread(void *arg)
{
    PrefetchSection *section = arg ? (PrefetchSection *)arg : prefetch_section;
    for (;;) {
        PREFETCH_QUEUE *node = section->queue_take();
        thread_set_clientid(node->client_id);
        protocol_prefetch(node);
        prefetch_queue_free(node);
    }
    return nullptr;
}

// ------------------------------------------------------------------ fetch

int protocol_prefetch(PREFETCH_QUEUE *node)
{
    const URL *url = node->url;
    int row = thread_find();
    row_mark(row, url);
    char *key = url_create(url);
    bool cached = cache_section && cache_section->exists(key);
    free(key);
    if (cached) {
        row_mark(row, nullptr);
        return 0;
    }
    CONNECTION_T *conn = connection_new();
    conn->flags |= CONN_PREFETCH | CONN_CLIENT_GONE;
    conn->prefetch_depth = node->depth;
    conn->client_ip = xstrdup("127.0.0.1");
    conn->interface_ip = xstrdup("127.0.0.1");
    conn->download_allowance =
        node->download_limit == PREFETCH_NO_LIMIT ? CONN_NO_LIMIT : node->download_limit;
    conn->request = request_build(url, node->headers);
    HEADER *h = conn->request;
    conn->log_entry.client = "prefetch";
    conn->log_entry.method = h->method;
    conn->log_entry.url = h->url ? h->url : "";
    conn->log_entry.set_cachecode(LOGENTRY_TCP_MISS);
    conn->variables["URL"] = h->url ? h->url : "";

    // A link is fetched only when a client could have fetched it: the URL
    // filter and the blacklists decide first.  Their pages go nowhere,
    // since the connection has no client.
    if (processors.Execute(PROCESSOR_REQCHECK, conn, nullptr) == 1) {
        putlog(LOG_PREFETCH, "refused by the request checks: %s", h->url ? h->url : "");
    } else {
        conn->forward_type = FORWARD_DIRECT;
        if (forward_section)
            forward_section->forward_do(conn);
        // A connection to one of the proxy's own listeners is refused
        // inside protocol_start.
        if (protocol_start(conn) >= 0) {
            if (strcasecmp(h->scheme, "http") == 0)
                protocol_http(conn);
            else if (strcasecmp(h->scheme, "ftp") == 0)
                protocol_ftp(conn);
        } else {
            putlog(LOG_PREFETCH, "connection failed: %s", h->url ? h->url : "");
        }
    }

    cache_request_end(conn);
    delete conn->html_stream;
    conn->html_stream = nullptr;
    // Pooled under the URL's own user and password, which the request
    // head carries.
    serverpool_release(conn);
    http_header_free(conn->response);
    conn->response = nullptr;
    http_header_free(conn->request);
    conn->request = nullptr;
    connection_free(conn);
    row_mark(row, nullptr);
    return 1;
}
