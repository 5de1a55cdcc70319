// The client pool: parking, polling, hand-over, idle time-outs and
// shedding of waiting client connections.
#include "engine/clientpool.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

time_t pool_now();
time_t system_now();
int idle_limit(const CONNECTION_T *connection);
void pipe_make(int fds[2]);
int wakepipe_drain(int fd);

time_t (*pool_clock)() = system_now;

time_t system_now()
{
    return time(nullptr);
}

time_t pool_now()
{
    return pool_clock();
}

// Seconds a parked connection may stay silent: the keep-alive time-out
// once it has served a request, the first-request time-out before.
int idle_limit(const CONNECTION_T *connection)
{
    if (general_section == nullptr)
        return GENERAL_DEFAULT_TIMEOUT;
    if (connection->requests > 0)
        return general_section->keeptimeout_get(connection);
    return general_section->timeout_get(connection);
}

// The wake-up pipe.  Both ends are non-blocking: the poller drains what is
// there, and a writer that finds the pipe full loses nothing, since the
// poller is woken anyway.
void pipe_make(int fds[2])
{
    fds[0] = fds[1] = -1;
    if (pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0) {
        putlog_system(LOG_ERROR, "pipe", errno,
                      ", in %s, client pool cannot be woken early", "ClientPool");
        fds[0] = fds[1] = -1;
    }
}

// Reads what the pipe holds; the number of bytes, or -1 when the read
// failed.
int wakepipe_drain(int fd)
{
    char bytes[256];
    for (;;) {
        ssize_t n = read(fd, bytes, sizeof bytes);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        // Another cycle drained it first: nothing was lost.
        if (errno == EAGAIN)
            return 0;
        return -1;
    }
}

}  // namespace

ClientPool::ClientPool() : wakepipe_calls(0), new_client(0)
{
    pthread_mutex_init(&lock, nullptr);
    pipe_make(wakepipe);
}

ClientPool::~ClientPool()
{
    for (clientpool_t *entry : list)
        delete entry;
    list.clear();
    if (wakepipe[0] >= 0)
        close(wakepipe[0]);
    if (wakepipe[1] >= 0)
        close(wakepipe[1]);
    pthread_mutex_destroy(&lock);
}

void ClientPool::Add(CONNECTION_T *connection)
{
    auto *entry = new clientpool_t{connection, pool_now(), -1};
    pthread_mutex_lock(&lock);
    list.push_back(entry);
    wakepipe_calls++;
    if (connection->requests == 0)
        new_client++;
    pthread_mutex_unlock(&lock);
    Wakeup();
}

void ClientPool::Wakeup()
{
    if (wakepipe[1] < 0)
        return;
    const char zero = 0;
    for (;;) {
        ssize_t n = write(wakepipe[1], &zero, 1);
        if (n == 1 || errno == EAGAIN)
            return;
        if (errno == EINTR)
            continue;
        putlog_system(LOG_ERROR, "write", errno,
                      ", in %s, client pool failed to write to wakepipe", "Wakeup");
        return;
    }
}

void ClientPool::Poll()
{
    for (;;)
        PollCycle();
}

void ClientPool::PollCycle()
{
    time_t now = pool_now();
    std::vector<struct pollfd> fds;

    // The poll set: the pipe first, then every parked connection in list
    // order.  Each entry remembers its place so that the walk after the
    // poll, which runs with the lock taken again, reads the right result
    // and leaves alone the entries added meanwhile.
    pthread_mutex_lock(&lock);
    size_t n = list.size();
    fds.reserve(n + 1);
    fds.push_back({wakepipe[0], POLLIN, 0});
    for (clientpool_t *entry : list) {
        entry->slot = static_cast<int>(fds.size());
        fds.push_back({entry->connection->client->fd,
                       POLLIN | POLLERR | POLLHUP | POLLNVAL, 0});
    }
    int fresh = new_client;
    new_client = 0;
    wakepipe_calls = 0;
    pthread_mutex_unlock(&lock);

    // New connections are checked again within a second, so that one that
    // sends nothing is found soon after its time-out.
    int timeout_ms = fresh > 0 ? 1000 : CLIENT_POOL_TIMEOUT * 1000;
    int ready = poll(fds.data(), fds.size(), timeout_ms);
    if (ready < 0 && errno != EINTR) {
        putlog_system(LOG_ERROR, "poll", errno,
                      ", in %s, client pool poll failed, socket unavailable", "Poll");
        fd_failure();
        return;
    }
    if (ready > 0 && (fds[0].revents & POLLIN)) {
        int got = wakepipe_drain(wakepipe[0]);
        if (got < 0) {
            putlog_system(LOG_ERROR, "read", errno,
                          ", in %s, client pool failed to read from wakepipe", "Poll");
            putlog(LOG_ADVICE, "system unstable, please restart the service");
        } else {
            putlog(LOG_DEBUG, "client pool: size:%zu poll received wakeup %d signals",
                   n, got);
        }
    }

    std::vector<CONNECTION_T *> handover;
    std::vector<CONNECTION_T *> closing;
    pthread_mutex_lock(&lock);
    for (auto it = list.begin(); it != list.end();) {
        clientpool_t *entry = *it;
        if (entry->slot < 0) {
            ++it;
            continue;
        }
        short events = ready > 0 ? fds[entry->slot].revents : 0;
        if (events & POLLIN) {
            handover.push_back(entry->connection);
        } else if (events & (POLLERR | POLLHUP | POLLNVAL)) {
            closing.push_back(entry->connection);
        } else if (now - entry->time >= idle_limit(entry->connection)) {
            closing.push_back(entry->connection);
        } else {
            ++it;
            continue;
        }
        delete entry;
        it = list.erase(it);
    }
    pthread_mutex_unlock(&lock);

    // No worker could be had (a full thread table, or a thread that could
    // not start): the client is not left waiting for an answer.
    for (CONNECTION_T *connection : handover) {
        thread_set_clientid(connection->client_id);
        if (process_new(connection) < 0)
            net_close(connection);
    }
    for (CONNECTION_T *connection : closing) {
        thread_set_clientid(connection->client_id);
        net_close(connection);
    }
    thread_set_clientid(0);
}

void ClientPool::Clean()
{
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::vector<CONNECTION_T *> connections;
    pthread_mutex_lock(&lock);
    for (clientpool_t *entry : list) {
        connections.push_back(entry->connection);
        delete entry;
    }
    list.clear();
    pthread_mutex_unlock(&lock);
    close_all(connections);
    Wakeup();
}

void ClientPool::load_shedding()
{
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::vector<CONNECTION_T *> connections;
    pthread_mutex_lock(&lock);
    size_t n = list.size();
    while (n > 0 && MAXTHREADS / static_cast<long>(n + 1) < overload_factor) {
        clientpool_t *entry = list.front();
        list.pop_front();
        connections.push_back(entry->connection);
        delete entry;
        n--;
    }
    pthread_mutex_unlock(&lock);
    close_all(connections);
}

void ClientPool::show_connections(Filebuf *buffer)
{
    time_t now = pool_now();
    pthread_mutex_lock(&lock);
    buffer->Addf("<table class=\"list\">\n");
    buffer->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\">"
                 "<b>Client pool</b></td></tr>\n");
    buffer->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td>"
                 "<td>Requests</td><td>Idle</td></tr>\n");
    bool even = true;
    for (const clientpool_t *entry : list) {
        const CONNECTION_T *c = entry->connection;
        buffer->Addf("<tr class=\"%s\"><td>%u</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                     even ? "listeven" : "listodd", c->client_id,
                     c->client_ip != nullptr ? c->client_ip : "",
                     c->requests, static_cast<int>(now - entry->time));
        even = !even;
    }
    buffer->Addf("</table>\n");
    pthread_mutex_unlock(&lock);
}

size_t ClientPool::size()
{
    pthread_mutex_lock(&lock);
    size_t n = list.size();
    pthread_mutex_unlock(&lock);
    return n;
}

void ClientPool::close_all(const std::vector<CONNECTION_T *> &connections)
{
    // The caller may be a worker in the middle of its own request (a
    // descriptor shortage found while it connects): its id comes back.
    uint32_t own = thread_get_clientid();
    for (CONNECTION_T *connection : connections) {
        thread_set_clientid(connection->client_id);
        net_close(connection);
    }
    thread_set_clientid(own);
}

void *clientpool_thread(void *)
{
    global->client_pool->Poll();
}

void clientpool_clean()
{
    if (global != nullptr && global->client_pool != nullptr)
        global->client_pool->Clean();
}

void clientpool_set_clock(time_t (*now)())
{
    pool_clock = now != nullptr ? now : system_now;
}
