// The engine's use of the object cache.
#include "cache/serve.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

// Whether the client's own request was conditional (before the proxy made
// it so for a revalidation).
bool client_conditional(const CONNECTION_T *conn)
{
    return conn->variables.count("CLIENT[if-modified-since]") != 0 ||
           conn->variables.count("CLIENT[if-none-match]") != 0;
}

} // namespace

void cache_init()
{
    cache_section = new CacheSection();
    body_cache_add = body_add;
    body_cache_bufferwait = body_bufferwait;
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
    // An object still being written is as fresh as it gets.
    if (!offline && !(flags & CACHE_WRITING)) {
        if (cache_section->check_held(object, h) & CACHE_VALIDATE) {
            conn->flags |= CONN_REVALIDATE;
            conditional_header(h, cache_section->get_mtime(object));
        }
    }
    conn->log_entry.set_cachecode(LOGENTRY_TCP_HIT);
    statincr_cachehit(conn);
    return 0;
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
    time_t now = utc_time(nullptr);
    char age[32];
    CacheSection::View v = cache_section->view(object);
    snprintf(age, sizeof(age), "%" PRId64, (int64_t)(now > v.mtime ? now - v.mtime : 0));
    header_field_set(&r->age, age);
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
}

int cache_response(CONNECTION_T *conn)
{
    HEADER *r = conn->response;
    if (!cache_section)
        return CACHE_RESPONSE_ON;
    if (conn->cachemap && (conn->flags & CONN_REVALIDATE)) {
        time_t lm = r->last_modified ? http_date_parse(r->last_modified) : 0;
        if (r->status == 304 && lm != 0 && lm == cache_section->get_lmtime(conn->cachemap)) {
            conn->log_entry.set_cachecode(LOGENTRY_TCP_REFRESH_HIT);
            conn->flags &= ~CONN_REVALIDATE;
            conn->flags |= CONN_VALIDATED;
            cache_section->validated(conn->cachemap);
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
        conn->flags &= ~CONN_REVALIDATE;
        // A 304 goes only to a client that asked conditionally; any other
        // client gets the resource, fetched again.
        if (r->status == 304 && !client_conditional(conn)) {
            header_field_set(&conn->request->if_modified_since, nullptr);
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
    if (cacheable(conn->request) && cacheable(r) && r->version >= 1 && r->raw &&
        !(conn->flags & CONN_HEAD)) {
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
    int64_t sent = cache_section->send(conn->cachemap, conn, 0);
    if (sent > 0)
        conn->bytes_downloaded += (uint64_t)sent;
    if (sent >= 0)
        return true;
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
