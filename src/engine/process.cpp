// The accept loop and the worker cycle.
#include "engine/process.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <linux/sockios.h>
#include <poll.h>
#include <pthread.h>
#include <sys/ioctl.h>

#include "cache/serve.h"
#include "runtime/hstream.h"
#include "engine/clientpool.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/protocol.h"
#include "engine/serverpool.h"
#include "engine/socket.h"
#include "engine/startup.h"
#include "engine/urlcommand.h"
#include "filters/limits.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/performance.h"
#include "runtime/mem.h"
#include "runtime/thread.h"

uint32_t clientid = 1;

namespace {

void thread_index_set(CONNECTION_T *connection, int row);
void row_texts_free(THREAD_T *row);
void row_busy(int row);
void connection_serve(CONNECTION_T *conn);
void request_finish(CONNECTION_T *conn);
bool next_request_waiting(CONNECTION_T *conn);
void client_abort(CONNECTION_T *conn);
CONNECTION_T *worker_idle(int row);

// process_new's way of telling a connection which row serves it.
void thread_index_set(CONNECTION_T *connection, int row)
{
    connection->thread_index = row;
}

// Called with threadlistlock held.
void row_texts_free(THREAD_T *row)
{
    free(row->address);
    free(row->url);
    free(row->method);
    row->address = row->url = row->method = nullptr;
}

void row_busy(int row)
{
    pthread_mutex_lock(&threadlistlock);
    threads[row].state = THREAD_BUSY;
    pthread_mutex_unlock(&threadlistlock);
}

// Serves the requests of one connection until it is parked in the client
// pool or closed; either way the worker no longer holds it afterwards.
void connection_serve(CONNECTION_T *conn)
{
    for (;;) {
        thread_set_clientid(conn->client_id);
        // A kept-alive client that closes instead of sending another
        // request has made no request: only input counts as one.
        bool had_input = conn->client->inbuf_len > 0;
        uint64_t bytes_before = conn->client->bytes_in;
        handle_request(conn);
        had_input = had_input || conn->client == nullptr ||
                    conn->client->bytes_in != bytes_before;
        request_finish(conn);
        putlog(LOG_DEBUG, "process: keepalive_client = %d", conn->keepalive_client);

        if (conn->flags & CONN_CLIENT_GONE) {
            net_close(conn);
            return;
        }
        if (had_input) {
            conn->requests++;
            if (performance_log)
                performance_log->set_requests_completed(1);
        }
        const uint32_t cut = CONN_FAILED | CONN_CLOSE_DELIMITED;
        bool cut_body = (conn->flags & cut) == cut;
        conn->flags = 0;
        conn->client->Flush();
        if (conn->keepalive_client == 0) {
            if (cut_body)
                client_abort(conn);
            net_close(conn);
            return;
        }
        conn->keepalive_client = 0;
        if (next_request_waiting(conn))
            continue;
        putlog(LOG_DEBUG, "process: adding connection to pool");
        global->client_pool->Add(conn);
        return;
    }
}

// Releases what one request held, keeping what lives as long as the
// connection: addresses, id, request count, authentication state, parent
// credentials, forward type and bypass word.
void request_finish(CONNECTION_T *conn)
{
    const char *ip = conn->client_ip != nullptr ? conn->client_ip : "-";
    // The user limits count the request before its state goes.
    if (limit_section && conn->request)
        limit_section->update(conn);
    if (conn->bytes_downloaded != 0 && conn->download_allowance == 0)
        putlog(LOG_LIMITS,
               "[IP:%s] process: transfer prematurely terminated due to transfer limit "
               "restrictions",
               ip);
    if (conn->flags & CONN_FAILED) {
        putlog(LOG_WARNING, "[IP:%s] process: transfer failed", ip);
        conn->keepalive_server = 0;
        conn->keepalive_client = 0;
    }

    cache_request_end(conn);
    // The HTML stream lives with the request.
    delete conn->html_stream;
    conn->html_stream = nullptr;
    url_command_free(conn->url_commands);
    conn->url_commands = nullptr;
    delete conn->request_body;
    conn->request_body = nullptr;
    variables_recycle(conn);
    conn->profiles.clear();
    conn->ldap_groups.clear();
    conn->dn_list.clear();
    conn->access_flags = 0;
    for (int32_t &score : conn->category_scores)
        score = -1;

    // Needs the request head and the parent for the pool key, so it comes
    // before they are freed; and last but for them: the later its look at
    // the sockets, the likelier it finds the client's next request there.
    serverpool_release(conn);

    // A parent and the credentials built for it belong to this request
    // only: the next one may go elsewhere.  Whether they existed is kept
    // for the next request's body.
    conn->parent_credentials_before = conn->forward_user != nullptr;
    for (char **text : {&conn->forward_host, &conn->forward_user, &conn->forward_password,
                        &conn->forward_domain, &conn->forward_authorization}) {
        free(*text);
        *text = nullptr;
    }
    conn->forward_type = FORWARD_DIRECT;
    conn->response = nullptr;
    http_header_free(conn->request);
    conn->request = nullptr;
}

// A body that ends with the connection looks whole to the client after a
// plain close even when its transfer failed.  Once what was written has
// been taken by the client (or after PROCESS_ABORT_DRAIN_MS), the close is
// made abortive: the client reads every byte sent, then a reset.
void client_abort(CONNECTION_T *conn)
{
    int fd = conn->client->fd;
    if (fd < 0)
        return;
    for (int waited = 0; waited < PROCESS_ABORT_DRAIN_MS; waited += 10) {
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued <= 0)
            break;
        poll(nullptr, 0, 10);
    }
    net_linger_off(fd);
    putlog(LOG_WARNING, "[IP:%s] process: connection reset to show the client a cut body",
           conn->client_ip != nullptr ? conn->client_ip : "-");
}

// Whether the next request of a kept-alive connection is already there or
// arrives within this worker's keep-alive wait.  A wait of 0 seconds still
// waits PROCESS_KEEPALIVE_GRACE_MS: a client that sends its next request
// as soon as it has read the answer is a round trip away, and catching it
// here spares the hand-over through the client pool and another worker.
bool next_request_waiting(CONNECTION_T *conn)
{
    bool seen = conn->client_input_seen;
    conn->client_input_seen = false;
    if (conn->client->inbuf_len > 0)
        return true;
    // Input the server pool's look saw is read at once, without a wait
    // before the read.
    if (seen) {
        ssize_t r = conn->client->Read(nullptr, -1, 0);
        if (r >= 0)
            return r > 0;
    }
    int wait = process_keepalive_wait(conn->thread_index, MAXTHREADS, CLIENT_POOL_TIMEOUT,
                                      overload_factor);
    int64_t ms = wait > 0 ? (int64_t)wait * 1000 : PROCESS_KEEPALIVE_GRACE_MS;
    return conn->client->ReadWait((int)std::min<int64_t>(ms, INT32_MAX)) > 0;
}

// The worker waits THREAD_TIMEOUT seconds on its row for a connection that
// process_new hands it.  Returns that connection, or null after the row was
// freed: the thread must then end.
CONNECTION_T *worker_idle(int row)
{
    thread_set_clientid(0);
    // An idle worker may wait long, or for good: what it kept for the next
    // request goes back now.
    scratch_filebuf_spares_free();
    variable_spares_free();
    pthread_mutex_lock(&threadlistlock);
    THREAD_T *r = &threads[row];
    row_texts_free(r);
    r->state = THREAD_IDLE;
    r->connection = nullptr;
    r->requests = 0;

    struct timespec deadline = {time(nullptr) + THREAD_TIMEOUT, 0};
    // A wake-up without a connection is spurious: the wait goes on to its
    // deadline.  A connection handed over in the same instant as the
    // time-out is still taken.
    while (r->connection == nullptr) {
        if (pthread_cond_timedwait(&r->wakeup, &threadlistlock, &deadline) != 0)
            break;
    }
    CONNECTION_T *next = r->connection;
    if (next != nullptr) {
        r->connection = nullptr;
        r->state = THREAD_BUSY;
        pthread_mutex_unlock(&threadlistlock);
        return next;
    }
    rusage_update();
    row_texts_free(r);
    r->state = THREAD_FREE;
    r->requests = 0;
    r->client_id = 0;
    pthread_mutex_unlock(&threadlistlock);
    return nullptr;
}

}  // namespace

void mainloop()
{
    process_register();
    config();
    for (;;) {
        CONNECTION_T *conn = net_accept(-1);
        if (conn == nullptr)
            continue;
        conn->client_id = clientid_take();
        conn->log_entry.client_id = conn->client_id;
        global->client_pool->Add(conn);
    }
}

uint32_t clientid_take()
{
    uint32_t id = clientid++;
    if (id == 0) {
        id = 1;
        clientid = 2;
    }
    return id;
}

void process_register()
{
    thread_worker_register(process_entry, thread_index_set);
}

void process_entry(CONNECTION_T *connection)
{
    int row = thread_find();
    connection->thread_index = row;
    row_busy(row);
    for (CONNECTION_T *conn = connection; conn != nullptr; conn = worker_idle(row))
        connection_serve(conn);
}

int process_keepalive_wait(int row, int maxthreads, int client_pool_timeout, int overload)
{
    long long r = row;
    long long divisor = overload >= 1 ? maxthreads + r * overload : maxthreads + r;
    if (divisor <= 0)
        return 0;
    long long wait = (maxthreads - r) * client_pool_timeout / divisor;
    return wait > 0 ? static_cast<int>(wait) : 0;
}
