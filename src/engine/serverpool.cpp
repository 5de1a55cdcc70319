// The pool of idle upstream connections.
#include "engine/serverpool.h"

#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <unistd.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "runtime/performance.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/thread.h"
#include "runtime/stats.h"

namespace {

serverpool_t *entry_new(Socket *socket, const ServerPoolKey &key);
void entry_free(serverpool_t *entry);
bool text_equal_nocase(const char *a, const char *b);
bool text_equal(const char *a, const char *b);
bool entry_matches(const serverpool_t *entry, const ServerPoolKey &key);
bool socket_reusable(Socket *socket, CONNECTION_T *conn);
int pool_size();
int pool_timeout();

char *dup_or_null(const char *text)
{
    return text ? xstrdup(text) : nullptr;
}

serverpool_t *entry_new(Socket *socket, const ServerPoolKey &key)
{
    // Callers always name what the connection leads to.
    ASSERT(key.protocol != nullptr);
    ASSERT(key.host != nullptr);
    auto *entry = static_cast<serverpool_t *>(xmalloc(sizeof(serverpool_t)));
    entry->socket = socket;
    entry->added = time(nullptr);
    entry->protocol = xstrdup(key.protocol);
    entry->host = xstrdup(key.host);
    entry->user = dup_or_null(key.user);
    entry->password = dup_or_null(key.password);
    entry->port = key.port;
    entry->forward_type = key.forward_type;
    entry->parent = dup_or_null(key.parent);
    entry->parent_port = key.parent_port;
    entry->parent_user = dup_or_null(key.parent_user);
    entry->parent_password = dup_or_null(key.parent_password);
    entry->tls = key.tls;
    return entry;
}

// Frees the entry with its socket (closed).
void entry_free(serverpool_t *entry)
{
    delete entry->socket;
    free(entry->protocol);
    free(entry->host);
    free(entry->user);
    free(entry->password);
    free(entry->parent);
    free(entry->parent_user);
    free(entry->parent_password);
    free(entry);
}

bool text_equal_nocase(const char *a, const char *b)
{
    if (!a || !b)
        return a == b;
    return strcasecmp(a, b) == 0;
}

bool text_equal(const char *a, const char *b)
{
    if (!a || !b)
        return a == b;
    return strcmp(a, b) == 0;
}

// Names compare without case, passwords with case: a password that
// differs only in case is another password.
bool account_matches(const char *entry_user, const char *entry_password, const char *user,
                     const char *password)
{
    if (user)
        return entry_user && strcasecmp(entry_user, user) == 0 &&
               text_equal(entry_password, password);
    // A connection opened with a password is not lent without one.
    return !entry_user && text_equal(password, entry_password);
}

bool entry_matches(const serverpool_t *entry, const ServerPoolKey &key)
{
    if (!account_matches(entry->user, entry->password, key.user, key.password) ||
        !account_matches(entry->parent_user, entry->parent_password, key.parent_user,
                         key.parent_password))
        return false;
    return strcasecmp(entry->protocol, key.protocol) == 0 &&
           strcasecmp(entry->host, key.host) == 0 && entry->port == key.port &&
           entry->forward_type == key.forward_type &&
           text_equal_nocase(entry->parent, key.parent) &&
           entry->parent_port == key.parent_port && entry->tls == key.tls;
}

// A socket may be parked only when nothing waits to be read on it: bytes
// left over belong to a response nobody read (they would be taken for the
// next response), and a readable socket without bytes is one the server
// has closed.  The same look takes in the connection's client socket, so
// that a next request already waiting there is read without another.
bool socket_reusable(Socket *socket, CONNECTION_T *conn)
{
    if (!socket || socket->fd < 0 || socket->inbuf_len != 0 || socket->outbuf_len != 0)
        return false;
    Socket *client = conn->client;
    bool watch_client = client != nullptr && client->fd >= 0 && !client->encrypted &&
                        client->inbuf_len == 0 && !(conn->flags & CONN_CLIENT_GONE);
    struct pollfd p[2] = {{socket->fd, POLLIN, 0}, {watch_client ? client->fd : -1, POLLIN, 0}};
    int r = poll(p, watch_client ? 2 : 1, 0);
    if (r > 0 && watch_client && (p[1].revents & POLLIN))
        conn->client_input_seen = true;
    return r == 0 || (r > 0 && p[0].revents == 0);
}

int pool_size()
{
    return general_section ? general_section->poolsize_get() : 0;
}

int pool_timeout()
{
    return general_section ? general_section->pooltimeout_get() : 0;
}

const char *text(const char *value)
{
    return value ? value : "";
}

// The key of a direct connection without TLS, for the overloads that name
// only the place and the URL credentials.
ServerPoolKey direct_key(const char *protocol, const char *host, int port,
                         const char *user, const char *password)
{
    ServerPoolKey key;
    key.protocol = protocol;
    key.host = host;
    key.port = port;
    key.user = user;
    key.password = password;
    return key;
}

} // namespace

ServerPool::ServerPool()
{
    int rc = mutex_init_adaptive(&lock);
    ASSERT(rc == 0);
}

ServerPool::~ServerPool()
{
    Clean(1);
    pthread_mutex_destroy(&lock);
}

void ServerPool::Add(Socket *socket, const ServerPoolKey &key)
{
    bool advise = false;
    int size = pool_size();
    pthread_mutex_lock(&lock);
    int count = (int)entries.size();
    if (count >= size && !entries.empty()) {
        if (count != warn_level) {
            warn_level = count;
            advise = true;
        }
        entry_free(entries.front());
        entries.pop_front();
    }
    entries.push_back(entry_new(socket, key));
    if (advise)
        putlog(LOG_ADVICE,
               "Connection Pool: size:%d is inadequate, consider increasing this, else "
               "reduce Connection Pool Timeout",
               count);
    putlog(LOG_DEBUG, "Connection Pool: added: %s://%s:*@%s:%d ", key.protocol,
           text(key.user), key.host, key.port);
    pthread_mutex_unlock(&lock);
}

void ServerPool::Add(Socket *socket, const char *protocol, const char *host, int port,
                     const char *user, const char *password)
{
    Add(socket, direct_key(protocol, host, port, user, password));
}

Socket *ServerPool::Find(const ServerPoolKey &key)
{
    Socket *found = nullptr;
    pthread_mutex_lock(&lock);
    for (auto it = entries.begin(); it != entries.end(); ++it) {
        if (!entry_matches(*it, key))
            continue;
        serverpool_t *entry = *it;
        entries.erase(it);
        found = entry->socket;
        entry->socket = nullptr;
        entry_free(entry);
        break;
    }
    pthread_mutex_unlock(&lock);
    if (found && performance_log)
        performance_log->set_connection_pool_hit(1);
    if (global && global->stats)
        global->stats->Increment("connection pool", found ? "hit" : "miss");
    putlog(LOG_DEBUG, "Connection Pool: %s: %s://%s:*@%s:%d ", found ? "hit" : "miss",
           text(key.protocol), text(key.user), text(key.host), key.port);
    return found;
}

Socket *ServerPool::Find(const char *protocol, const char *host, int port,
                         const char *user, const char *password)
{
    return Find(direct_key(protocol, host, port, user, password));
}

void ServerPool::Clean(int force)
{
    pthread_mutex_lock(&lock);
    CleanUnlocked(force);
    pthread_mutex_unlock(&lock);
}

void ServerPool::CleanUnlocked(int force)
{
    time_t now = time(nullptr);
    int size = pool_size();
    int timeout = pool_timeout();
    if (entries.empty()) {
        warn_level = 0;
        return;
    }
    int walked = 0, removed = 0;
    for (auto it = entries.begin(); it != entries.end(); walked++) {
        serverpool_t *entry = *it;
        if (force || now >= entry->added + timeout || walked > size) {
            entry_free(entry);
            it = entries.erase(it);
            removed++;
        } else {
            ++it;
        }
    }
    putlog(LOG_DEBUG, "connection pool: deleted: %d of %d connections", removed, walked);
    warn_level = 0;
}

size_t ServerPool::Count()
{
    pthread_mutex_lock(&lock);
    size_t n = entries.size();
    pthread_mutex_unlock(&lock);
    return n;
}

ServerPoolKey serverpool_key(const CONNECTION_T *conn)
{
    ServerPoolKey key;
    const HEADER *request = conn->request;
    key.protocol = request->scheme;
    key.user = request->user;
    key.password = request->password;
    key.forward_type = conn->forward_type;
    key.tls = (conn->flags & CONN_TLS) ? 1 : 0;
    if (conn->forward_type != FORWARD_DIRECT) {
        key.parent_user = conn->forward_user;
        key.parent_password = conn->forward_password;
    }
    if (conn->forward_type == FORWARD_HTTP) {
        key.host = conn->forward_host && *conn->forward_host ? conn->forward_host
                                                             : request->host;
        key.port = conn->forward_port;
    } else {
        key.host = request->host;
        key.port = request->port;
        if (conn->forward_type != FORWARD_DIRECT) {
            key.parent = conn->forward_host;
            key.parent_port = conn->forward_port;
        }
    }
    return key;
}

void serverpool_release(CONNECTION_T *conn)
{
    Socket *server = conn->server;
    if (!server)
        return;
    conn->server = nullptr;
    const HEADER *request = conn->request;
    if (conn->keepalive_server == 1 && global && global->server_pool && request &&
        request->scheme && request->host && socket_reusable(server, conn)) {
        global->server_pool->Add(server, serverpool_key(conn));
        return;
    }
    delete server;
}

void *serverpool_clean(void *arg)
{
    (void)arg;
    for (;;) {
        sleep(10);
        if (global && global->server_pool) {
            global->server_pool->Clean(0);
            // The performance log shows what stays pooled after a clean.
            if (performance_log)
                performance_log->set_connection_pool_size(global->server_pool->Count());
        }
    }
    return nullptr;
}
