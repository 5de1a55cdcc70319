// The engine's use of the object cache.
#include "cache/serve.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "cache/cache.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/icp.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "engine/urlcommand.h"
#include "filters/antivirus.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/signals.h"
#include "runtime/stats.h"
#include "runtime/thread.h"

namespace {

// Largest body of a hit written together with its head.
constexpr int64_t CACHE_HIT_ONE_WRITE = 65536;

int64_t body_add(CACHEMAP *object, const char *data, size_t length)
{
    return cache_section ? cache_section->add(object, data, length) : -1;
}

// The buffer wait ran out: later requests for the object get the
// "downloading" page, and so does this client.
void body_bufferwait(CONNECTION_T *conn)
{
    if (!cache_section || !conn->cachemap)
        return;
    cache_section->flag_set(conn->cachemap, CACHE_BUFFERWAIT | CACHE_PREFETCHED);
    cache_section->send_status(conn, conn->cachemap);
}

// How many users the object has; the only user leaves it marked invalid.
int body_users(CACHEMAP *object)
{
    return cache_section ? cache_section->refcount(object) : 1;
}

// The antivirus connectors' view of an object's clean mark.
int av_clean_get(CACHEMAP *object)
{
    return cache_section && (cache_section->flag_get(object) & CACHE_CLEAN) ? 1 : 0;
}

void av_clean_set(CACHEMAP *object)
{
    if (cache_section)
        cache_section->flag_set(object, CACHE_CLEAN);
}

// The ICP service's view of the cache settings and index.
int icp_port()
{
    return cache_section ? cache_section->icpport_get() : 0;
}

int icp_timeout()
{
    return cache_section ? cache_section->icptimeout_get() : ICP_DEFAULT_TIMEOUT_MS;
}

bool icp_exists(const char *key)
{
    return cache_section && cache_section->exists(key);
}

void *unlink_start(void *)
{
    unlink_thread();
    return nullptr;
}

void exit_step()
{
    if (cache_section)
        cache_section->graceful_exit();
}

// A value the client sent in its request head (kept as a template
// variable under its lower-case name), or null.
const char *client_value(const CONNECTION_T *conn, const char *name)
{
    auto it = conn->variables.find(name);
    return it == conn->variables.end() ? nullptr : it->second.c_str();
}

// Sets the request's If-None-Match (null: none) in the lines the head
// writer may send, and its If-Modified-Since (null: none).
void request_conditions_set(HEADER *h, const char *if_none_match, const char *if_modified_since)
{
    header_lines_remove(h, "If-None-Match");
    if (if_none_match) {
        HTTP_HEADER line{HTTP_HEADER_VERBATIM, "If-None-Match", if_none_match};
        h->headers.push_back(line);
        if (h->flags & HEADER_FILTERED)
            h->filtered.push_back(line);
    }
    header_field_set(&h->if_modified_since, if_modified_since);
}

// Makes the request ask the origin whether the stored object is still
// good, with its validators: its ETag, and its Last-Modified (the fetch
// time when it has none).
void request_ask_validators(HEADER *h, CACHEMAP *object)
{
    std::string etag;
    time_t since = 0;
    cache_section->validators(object, &etag, &since);
    request_conditions_set(h, etag.empty() ? nullptr : etag.c_str(), nullptr);
    conditional_header(h, since);
}

// Whether a method may change the resource: anything but GET, HEAD,
// OPTIONS and TRACE.
bool method_unsafe(const char *method)
{
    if (!method)
        return false;
    for (const char *safe : {"GET", "HEAD", "OPTIONS", "TRACE"})
        if (strcasecmp(method, safe) == 0)
            return false;
    return true;
}

// The cache key of a Location or Content-Location value read against the
// request, when it names the request's host; "" otherwise.
std::string same_host_key(const HEADER *request, const char *reference)
{
    while (reference && (*reference == ' ' || *reference == '\t'))
        reference++;
    if (!reference || !*reference || !request->scheme || !request->host)
        return std::string();
    std::string target;
    const char *colon = strchr(reference, ':');
    const char *slash = strchr(reference, '/');
    if (colon && (!slash || colon < slash)) {
        target = reference;  // absolute
    } else if (reference[0] == '/' && reference[1] == '/') {
        target = std::string(request->scheme) + ":" + reference;
    } else {
        std::string base = std::string(request->scheme) + "://" + request->host + ":" +
                           std::to_string(request->port);
        std::string path = request->path ? request->path : "/";
        if (reference[0] == '/') {
            target = base + reference;
        } else {
            path = path.substr(0, path.find_first_of("?#"));
            target = base + path.substr(0, path.rfind('/') + 1) + reference;
        }
    }
    std::string line = "GET " + target + " HTTP/1.1\r\n\r\n";
    HEADER *h = http_header_parse_request(line.c_str());
    std::string key;
    if (h && h->kind == HEADER_PROXY && h->url && h->host &&
        strcasecmp(h->host, request->host) == 0)
        key = h->url;
    http_header_free(h);
    return key;
}

// A successful answer to a request that may have changed the resource:
// the stored objects of its URL, and of its Location and Content-Location
// on the same host, are out of date.
void invalidate_changed(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    const HEADER *r = conn->response;
    cache_section->invalidate_key(h->url);
    std::string key = same_host_key(h, r->location);
    if (!key.empty())
        cache_section->invalidate_key(key.c_str());
    for (const HTTP_HEADER &line : r->headers) {
        if (strcasecmp(line.name.c_str(), "Content-Location") != 0)
            continue;
        key = same_host_key(h, line.value.c_str());
        if (!key.empty())
            cache_section->invalidate_key(key.c_str());
    }
}

// Whether the response may become a cache object at all, decided from
// the heads alone before any object is made: a response that cannot be
// stored costs the cache its lookup and nothing more.  Besides what
// cacheable() refuses, no-store in the request or the response keeps it
// out.
bool storable(const CONNECTION_T *conn, const HEADER *r)
{
    if (!cacheable(conn->request) || !cacheable(r) || r->version < 1 || !r->raw ||
        (conn->flags & CONN_HEAD))
        return false;
    return !cache_no_store(r) && !cache_no_store(conn->request);
}

} // namespace

void cache_init()
{
    cache_section = new CacheSection();
    body_cache_add = body_add;
    body_cache_bufferwait = body_bufferwait;
    body_cache_users = body_users;
    av_cache_clean = av_clean_get;
    av_cache_mark_clean = av_clean_set;
    icp_port_provider = icp_port;
    icp_timeout_provider = icp_timeout;
    icp_cache_exists = icp_exists;
}

void cache_start()
{
    if (!cache_section)
        return;
    if (thread_create_internal(unlink_start, nullptr) < 0)
        putlog(LOG_ERROR, "unable to start the service thread %s", "unlink_thread");
    if (exit_step_add(exit_step, EXIT_STEP_HANGUP) != 0)
        putlog(LOG_ERROR, "signals: the exit sequence is incomplete");
}

int cache_request_lookup(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    conn->log_entry.set_cachecode(LOGENTRY_TCP_MISS);
    if (!cache_section || url_command_find(conn->url_commands, "fresh") || !cacheable(h) ||
        !h->url)
        return 0;
    bool offline = (conn->flags & CONN_OFFLINE) != 0;
    int flags = 0;
    CACHEMAP *object = cache_section->cache_open(conn, h->url, nullptr,
                                                 offline ? CACHE_OFFLINE : 0, &flags);
    if (!object) {
        statincr_cachemiss(conn);
        return 0;
    }
    if (flags & CACHE_INVALID) {
        putlog(LOG_ADVICE, "Please re-check rules in the Caching Section");
        cache_section->cache_close(object, false);
        protocol_page(conn, "error", 404, false);
        return 1;
    }
    if (flags & CACHE_BUFFERWAIT) {
        cache_section->send_status(conn, object);
        cache_section->cache_close(object, false);
        return 1;
    }
    putlog(LOG_CACHE, "hit: %s", h->url);
    conn->cachemap = object;
    // The client's own conditions are answered from the object once it is
    // fresh; the request may carry the proxy's question meanwhile.
    if (h->if_modified_since || header_line_value(h, "If-None-Match"))
        conn->flags |= CONN_CONDITIONAL;
    // An object still being written is as fresh as it gets.
    if (!offline && !(flags & CACHE_WRITING)) {
        bool strict = false;
        if (cache_section->check_held(object, h, &strict) & CACHE_VALIDATE) {
            conn->flags |= CONN_REVALIDATE;
            if (strict)
                conn->flags |= CONN_MUST_VALIDATE;
            request_ask_validators(h, object);
        }
    }
    conn->log_entry.set_cachecode(LOGENTRY_TCP_HIT);
    statincr_cachehit(conn);
    return 0;
}

bool cache_stale_fallback(CONNECTION_T *conn)
{
    conn->flags &= ~CONN_REVALIDATE;
    if (!(conn->flags & CONN_MUST_VALIDATE)) {
        putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
        return true;
    }
    putlog(LOG_WARNING, "cache: stale object must be validated, server unreachable: %s",
           conn->request && conn->request->url ? conn->request->url : "");
    cache_give_up(conn);
    return false;
}

bool cache_serves(const CONNECTION_T *conn)
{
    return conn->cachemap && !(conn->flags & CONN_REVALIDATE);
}

char *cache_stored_head(CONNECTION_T *conn)
{
    return cache_section ? cache_section->cachemap_headers(conn->cachemap) : nullptr;
}

bool cache_writing(const CONNECTION_T *conn)
{
    return conn->cachemap && (conn->flags & CONN_CACHE_WRITE);
}

bool cache_reading(const CONNECTION_T *conn)
{
    return conn->cachemap && !(conn->flags & CONN_CACHE_WRITE);
}

void cache_hit_head(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    CACHEMAP *object = conn->cachemap;
    char age[32];
    CacheSection::View v = cache_section->view(object);
    snprintf(age, sizeof(age), "%" PRId64, v.age);
    header_field_set(&r->age, age);
    // The Age it was stored with is replaced by its current age, in the
    // filtered lines too when the head writer sends those.
    header_lines_remove(r, "Age");
    if (!(conn->flags & CONN_VALIDATED) && (v.flags & CACHE_EXPIRED))
        header_field_set(&r->warning, "110 stale cache");
    r->chunked = 0;
    if (!(v.flags & CACHE_WRITING)) {
        r->flags |= HEADER_LENGTH;
        r->content_length = (uint64_t)v.body_size;
    } else if (!(r->flags & HEADER_LENGTH)) {
        // A follower of an object without a length: the body ends with
        // the connection.
        conn->keepalive_client = 0;
    }
    xcache_header_update(conn, 0);
    if ((conn->flags & CONN_CONDITIONAL) &&
        cache_section->not_modified(object, client_value(conn, "CLIENT[if-none-match]"),
                                    client_value(conn, "CLIENT[if-modified-since]"))) {
        // The client's copy is the stored one: the head tells it so.
        r->status = 304;
        r->flags &= ~HEADER_LENGTH;
    }
}

int cache_response(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    if (!cache_section)
        return CACHE_RESPONSE_ON;
    if (r->status >= 200 && r->status <= 399 && method_unsafe(conn->request->method))
        invalidate_changed(conn);
    if (conn->cachemap && (conn->flags & CONN_REVALIDATE)) {
        if (r->status == 304 && cache_section->confirms(conn->cachemap, r)) {
            conn->log_entry.set_cachecode(LOGENTRY_TCP_REFRESH_HIT);
            conn->flags &= ~(CONN_REVALIDATE | CONN_MUST_VALIDATE);
            conn->flags |= CONN_VALIDATED;
            cache_section->validated(conn->cachemap, r, cache_fetch_delay(conn));
            statincr_cacherefreshhit(conn);
            putlog(LOG_CACHE, "validated: %s", conn->request->url ? conn->request->url : "");
            return CACHE_RESPONSE_VALIDATED;
        }
        statdecr_cachehit(conn);
        statincr_cachemiss(conn);
        statincr_cacherefreshmiss(conn);
        conn->log_entry.set_cachecode(LOGENTRY_TCP_REFRESH_MISS);
        cache_section->invalidate(conn->cachemap);
        conn->cachemap = nullptr;
        conn->flags &= ~(CONN_REVALIDATE | CONN_MUST_VALIDATE);
        // That 304 answered the proxy's question, not the client's: the
        // request is asked again as the client asked it.
        if (r->status == 304) {
            request_conditions_set(conn->request, client_value(conn, "CLIENT[if-none-match]"),
                                   client_value(conn, "CLIENT[if-modified-since]"));
            return CACHE_RESPONSE_REFETCH;
        }
        if (!transfer_limit_check(conn))
            return CACHE_RESPONSE_END;
    }
    if (conn->cachemap) {
        cache_hit_head(conn);
        return CACHE_RESPONSE_ON;
    }
    bool prefetch = (conn->flags & CONN_PREFETCH) != 0;
    if (storable(conn, r)) {
        conn->cachemap = cache_section->cache_open(conn, conn->request->url, r->raw,
                                                   prefetch ? CACHE_OPEN_PREFETCH
                                                            : CACHE_OPEN_CREATE);
        if (conn->cachemap)
            conn->flags |= CONN_CACHE_WRITE;
    }
    if (prefetch && !conn->cachemap)
        return CACHE_RESPONSE_END;
    xcache_header_update(conn, 1);
    return CACHE_RESPONSE_ON;
}

bool cache_body_send(CONNECTION_T *conn)
{
    // What had been given to the client socket before the body (the head
    // may still wait in its buffer), so that a body cut short counts the
    // bytes that actually left.
    Socket *client = conn->client;
    uint64_t given = client ? client->bytes_out + client->outbuf_len : 0;
    int64_t sent = cache_section->send(conn->cachemap, conn, 0);
    if (sent > 0)
        conn->bytes_downloaded += (uint64_t)sent;
    if (sent >= 0)
        return true;
    if (client && conn->client == client && client->bytes_out > given)
        conn->bytes_downloaded += client->bytes_out - given;
    // The object was cut (its writer failed) or the client could not take
    // it: the client must see the cut.
    conn->keepalive_client = 0;
    conn->flags |= CONN_FAILED;
    if (conn->response && !(conn->response->flags & HEADER_LENGTH))
        conn->flags |= CONN_CLOSE_DELIMITED;
    return false;
}

int cache_hit_send(CONNECTION_T *conn)
{
    CACHEMAP *object = conn->cachemap;
    CacheSection::View v = cache_section->view(object);
    if (!(v.flags & CACHE_WRITING) && v.body_size <= CACHE_HIT_ONE_WRITE &&
        !(conn->flags & (CONN_HEAD | CONN_CLIENT_GONE)) && conn->client) {
        // A small finished body goes out with its head in one write.
        Filebuf buf;
        if (header_send_filebuf(&buf, conn->response, conn, SEND_TO_CLIENT) != 0)
            return -1;
        int64_t body = cache_section->append_body(object, &buf);
        // The object has no whole body to give: nothing has been written
        // yet, so the caller still sends a page instead.
        if (body < 0)
            return -1;
        conn->bytes_downloaded += (uint64_t)body;
        if (conn->client->WriteFilebuf(&buf) < 0) {
            conn->keepalive_client = 0;
            conn->flags |= CONN_CLIENT_GONE;
        }
        return 1;
    }
    int sent = header_send(conn->response, conn, SIDE_CLIENT, SEND_TO_CLIENT);
    if (sent == -1)
        return -1;
    if (sent == 0)
        cache_body_send(conn);
    return 1;
}

Filebuf *cache_body_read(CONNECTION_T *conn)
{
    return cache_section->read_filebuf(conn->cachemap);
}

void cache_give_up(CONNECTION_T *conn)
{
    if (!conn->cachemap || !cache_section)
        return;
    if (conn->flags & CONN_CACHE_WRITE)
        cache_section->invalidate(conn->cachemap);
    else
        cache_section->cache_close(conn->cachemap, false);
    conn->cachemap = nullptr;
    conn->flags &= ~CONN_CACHE_WRITE;
}

void cache_request_end(CONNECTION_T *conn)
{
    if (!conn->cachemap || !cache_section)
        return;
    if (conn->flags & CONN_CACHE_WRITE) {
        if (conn->flags & CONN_FAILED) {
            cache_section->invalidate(conn->cachemap);
        } else {
            cache_section->flag_unset(conn->cachemap, CACHE_BUFFERWAIT);
            cache_section->cache_close(conn->cachemap, true);
        }
    } else {
        cache_section->cache_close(conn->cachemap, false);
    }
    conn->cachemap = nullptr;
    conn->flags &= ~CONN_CACHE_WRITE;
}
