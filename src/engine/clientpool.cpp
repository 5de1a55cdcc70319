// The client pool: parking, the epoll wait, hand-over, idle time-outs and
// shedding of waiting client connections.
#include "engine/clientpool.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/performance.h"
#include "runtime/thread.h"

namespace {

time_t pool_now();
time_t system_now();
int idle_limit(const CONNECTION_T *connection);
void pipe_make(int fds[2]);
int wakepipe_drain(int fd);
int events_wait(int epfd, int pipefd, struct epoll_event *events, int max,
                int timeout_ms);

// The key of the pipe in the epoll set; parked connections count from 1.
constexpr uint64_t PIPE_KEY = 0;
// Events taken from the set per cycle; more wait for the next cycle.
constexpr int EVENTS_PER_CYCLE = 256;

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

// Reads everything the pipe holds; the number of bytes, or -1 when a read
// failed.
int wakepipe_drain(int fd)
{
    char bytes[256];
    int total = 0;
    for (;;) {
        ssize_t n = read(fd, bytes, sizeof bytes);
        if (n > 0) {
            total += static_cast<int>(n);
            continue;
        }
        if (n == 0 || errno == EAGAIN)
            return total;
        if (errno == EINTR)
            continue;
        return -1;
    }
}

// Waits for events of the set, or, while there is no set, for the pipe
// alone (reported as one event of PIPE_KEY).  Returns the number of events
// or -1 with errno set.
int events_wait(int epfd, int pipefd, struct epoll_event *events, int max,
                int timeout_ms)
{
    if (epfd >= 0)
        return epoll_wait(epfd, events, max, timeout_ms);
    struct pollfd p = {pipefd, POLLIN, 0};
    int ready = poll(&p, pipefd >= 0 ? 1 : 0, timeout_ms);
    if (ready <= 0)
        return ready;
    events[0].events = EPOLLIN;
    events[0].data.u64 = PIPE_KEY;
    return 1;
}

}  // namespace

ClientPool::ClientPool()
    : epfd(-1), set_failure_logged(false), next_key(PIPE_KEY + 1),
      last_idle_check(static_cast<time_t>(-1)), wakepipe_calls(0), new_client(0),
      wake_pending(false)
{
    int rc = mutex_init_adaptive(&lock);
    ASSERT(rc == 0);
    pipe_make(wakepipe);
    pthread_mutex_lock(&lock);
    set_make();
    pthread_mutex_unlock(&lock);
}

ClientPool::~ClientPool()
{
    for (clientpool_t *entry : list)
        delete entry;
    list.clear();
    index.clear();
    if (epfd >= 0)
        close(epfd);
    if (wakepipe[0] >= 0)
        close(wakepipe[0]);
    if (wakepipe[1] >= 0)
        close(wakepipe[1]);
    pthread_mutex_destroy(&lock);
}

bool ClientPool::set_make()
{
    if (epfd >= 0)
        return true;
    int fd = epoll_create1(EPOLL_CLOEXEC);
    if (fd < 0) {
        if (!set_failure_logged)
            putlog_system(LOG_ERROR, "epoll_create1", errno,
                          ", in %s, client pool cannot wait for its connections",
                          "ClientPool");
        set_failure_logged = true;
        return false;
    }
    if (wakepipe[0] >= 0) {
        struct epoll_event event = {};
        event.events = EPOLLIN;
        event.data.u64 = PIPE_KEY;
        if (epoll_ctl(fd, EPOLL_CTL_ADD, wakepipe[0], &event) != 0)
            putlog_system(LOG_ERROR, "epoll_ctl", errno,
                          ", in %s, client pool cannot be woken early", "ClientPool");
    }
    epfd = fd;
    set_failure_logged = false;
    return true;
}

bool ClientPool::arm(clientpool_t *entry)
{
    struct epoll_event event = {};
    event.events = EPOLLIN;
    event.data.u64 = entry->key;
    if (epoll_ctl(epfd, EPOLL_CTL_ADD, entry->connection->client->fd, &event) == 0)
        return true;
    putlog_system(LOG_ERROR, "epoll_ctl", errno,
                  ", in %s, client pool cannot watch descriptor %d", "Add",
                  entry->connection->client->fd);
    return false;
}

CONNECTION_T *ClientPool::remove(clientpool_t *entry)
{
    CONNECTION_T *connection = entry->connection;
    // The descriptor leaves the set before it is handed over or closed, so
    // the set never reports a descriptor the pool no longer owns.
    if (epfd >= 0 &&
        epoll_ctl(epfd, EPOLL_CTL_DEL, connection->client->fd, nullptr) != 0 &&
        errno != ENOENT)
        putlog_system(LOG_ERROR, "epoll_ctl", errno,
                      ", in %s, client pool failed to release descriptor %d",
                      "ClientPool", connection->client->fd);
    list.erase(entry->place);
    index.erase(entry->key);
    delete entry;
    return connection;
}

void ClientPool::Add(CONNECTION_T *connection)
{
    auto *entry = new clientpool_t{connection, pool_now(), 0, {}};
    pthread_mutex_lock(&lock);
    entry->key = next_key++;
    // Without a set the entry waits unwatched until the polling thread has
    // made one and watches every entry.
    if (epfd >= 0 && !arm(entry)) {
        pthread_mutex_unlock(&lock);
        delete entry;
        close_all({connection});
        return;
    }
    entry->place = list.insert(list.end(), entry);
    index.emplace(entry->key, entry);
    wakepipe_calls++;
    if (connection->requests == 0)
        new_client++;
    pthread_mutex_unlock(&lock);
    // One byte per cycle is enough: the cycle that reads it also reads the
    // counters of every connection added before it.
    if (!wake_pending.exchange(true))
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

void ClientPool::idle_collect(time_t now, std::vector<CONNECTION_T *> *handover,
                              std::vector<CONNECTION_T *> *closing)
{
    // Time-outs are whole seconds: a second walk within the same second
    // would find nothing new.
    if (now == last_idle_check)
        return;
    last_idle_check = now;
    for (auto it = list.begin(); it != list.end();) {
        clientpool_t *entry = *it++;
        if (now - entry->time < idle_limit(entry->connection))
            continue;
        // A cycle takes at most EVENTS_PER_CYCLE events: under a burst of
        // new connections a client whose request has arrived may still
        // wait its turn past the time-out.  It is not idle, and closing it
        // would reset it with its request unread; a worker reads it.
        struct pollfd p = {entry->connection->client->fd, POLLIN, 0};
        bool input = poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
        (input ? handover : closing)->push_back(remove(entry));
    }
}

void ClientPool::PollCycle()
{
    time_t now = pool_now();
    std::vector<CONNECTION_T *> handover;
    std::vector<CONNECTION_T *> closing;

    pthread_mutex_lock(&lock);
    size_t n = list.size();
    int fresh = new_client;
    new_client = 0;
    wakepipe_calls = 0;
    // An Add from now on writes a wake-up byte again.
    wake_pending.store(false);
    if (epfd < 0 && set_make()) {
        for (auto it = list.begin(); it != list.end();) {
            clientpool_t *entry = *it++;
            if (!arm(entry))
                closing.push_back(remove(entry));
        }
    }
    int set = epfd;
    pthread_mutex_unlock(&lock);
    if (performance_log) {
        performance_log->set_clients_in_pool(n);
        if (fresh > 0)
            performance_log->set_connections_handled(fresh);
    }

    // New connections are checked again within a second, so that one that
    // sends nothing is found soon after its time-out.
    int timeout_ms = fresh > 0 ? 1000 : CLIENT_POOL_TIMEOUT * 1000;
    struct epoll_event events[EVENTS_PER_CYCLE];
    int ready = events_wait(set, wakepipe[0], events, EVENTS_PER_CYCLE, timeout_ms);
    if (ready < 0) {
        if (errno != EINTR) {
            putlog_system(LOG_ERROR, "poll", errno,
                          ", in %s, client pool poll failed, socket unavailable", "Poll");
            fd_failure();
            return;
        }
        ready = 0;
    }

    pthread_mutex_lock(&lock);
    for (int i = 0; i < ready; i++) {
        uint64_t key = events[i].data.u64;
        if (key == PIPE_KEY)
            continue;
        // An entry that Clean or load_shedding took since the wait has
        // left the index: its event is stale.
        auto found = index.find(key);
        if (found == index.end())
            continue;
        uint32_t what = events[i].events;
        if (what & EPOLLIN)
            handover.push_back(remove(found->second));
        else if (what & (EPOLLERR | EPOLLHUP))
            closing.push_back(remove(found->second));
    }
    idle_collect(now, &handover, &closing);
    pthread_mutex_unlock(&lock);

    for (int i = 0; i < ready; i++) {
        if (events[i].data.u64 != PIPE_KEY)
            continue;
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

    // No worker could be had (a full thread table, or a thread that could
    // not start): the client is not left waiting for an answer.
    uint64_t threading_errors = 0;
    for (CONNECTION_T *connection : handover) {
        thread_set_clientid(connection->client_id);
        if (process_new(connection) < 0) {
            threading_errors++;
            net_close(connection);
        }
    }
    if (threading_errors > 0 && performance_log)
        performance_log->set_threading_error(threading_errors);
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
    connections.reserve(list.size());
    while (!list.empty())
        connections.push_back(remove(list.front()));
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
        connections.push_back(remove(list.front()));
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
