// Listening sockets, accepting clients, and the "network" section.
#include "engine/network.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/mem.h"

SOCKLIST_T socklist[LISTEN_MAX];
NetworkSection *network_section = nullptr;

namespace {

int listen_fail(int port, const char *address, const char *why);
bool parse_listen_address(const char *address, struct in_addr *addr);
int sockopt_get(int fd, int level, int name);
void sockopt_set(int fd, int level, int name, int value);
void listen_options(int fd);
bool is_local_address(struct in_addr addr);
bool descriptors_short(int error);
void accept_pause();
void accept_resume();

// While accept fails for want of descriptors the listener stays readable,
// and polling it again would return at once: the accept loop would spin,
// logging, until a descriptor came free.  It pauses instead, a little
// longer after each failure in a row, up to a second.
constexpr int ACCEPT_PAUSE_FIRST_MS = 50;
constexpr int ACCEPT_PAUSE_MAX_MS = 1000;
int accept_pause_ms = 0;  // only the main thread accepts

// Why each listener failed, for the start-up's report when none is open.
// Only the main thread opens listeners.
std::string listen_failures;

int listen_fail(int port, const char *address, const char *why)
{
    const char *shown = address != nullptr && *address != '\0' ? address : "0.0.0.0";
    putlog(LOG_NETWORK, "error: failed to bind to %s:%d", shown, port);
    char text[128];
    snprintf(text, sizeof text, "%s%s:%d: %s", listen_failures.empty() ? "" : "; ", shown,
             port, why);
    listen_failures += text;
    return -1;
}

// Null or empty is every address; anything else must be a dotted quad.
bool parse_listen_address(const char *address, struct in_addr *addr)
{
    addr->s_addr = htonl(INADDR_ANY);
    if (address == nullptr || *address == '\0')
        return true;
    return isip(address) && inet_pton(AF_INET, address, addr) == 1;
}

int sockopt_get(int fd, int level, int name)
{
    int value = 0;
    socklen_t len = sizeof(value);
    if (getsockopt(fd, level, name, &value, &len) != 0)
        return 0;
    return value;
}

// Failures of socket options are not fatal: the values logged afterwards
// are whatever the system kept.
void sockopt_set(int fd, int level, int name, int value)
{
    (void)setsockopt(fd, level, name, &value, sizeof(value));
}

// Options, buffer sizes and keep-alive timing of a new listener; every
// accepted client socket inherits them.
void listen_options(int fd)
{
    sockopt_set(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    sockopt_set(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    sockopt_set(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    sockopt_set(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT,
                TCP_KEEPIDLE_TIME > 0 ? TCP_KEEPIDLE_TIME : 600);

    int rcv = sockopt_get(fd, SOL_SOCKET, SO_RCVBUF);
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client->kelvarine->website %d bytes", rcv);
    BLOCKSIZE = rcv;
    int snd = sockopt_get(fd, SOL_SOCKET, SO_SNDBUF);
    putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-kelvarine<-website %d bytes ", snd);
    if ((unsigned)snd > (unsigned)BLOCKSIZE)
        BLOCKSIZE = snd;
    if (RCV_BUF > 0) {
        // RCV_BUF sizes the direction towards the client.
        sockopt_set(fd, SOL_SOCKET, SO_SNDBUF, RCV_BUF);
        int allowed = sockopt_get(fd, SOL_SOCKET, SO_SNDBUF);
        putlog(LOG_NETWORK, "TCP Buffer size for client<-kelvarine<-website in bytes Requested[%d], Allowed[%d]",
               RCV_BUF * 2, allowed);
        BLOCKSIZE = allowed;
    }
    if (SND_BUF > 0) {
        sockopt_set(fd, SOL_SOCKET, SO_RCVBUF, SND_BUF);
        int allowed = sockopt_get(fd, SOL_SOCKET, SO_RCVBUF);
        putlog(LOG_NETWORK, "TCP Buffer size for client->kelvarine->website in bytes Requested[%d], Allowed[%d]",
               SND_BUF * 2, allowed);
        if ((unsigned)allowed > (unsigned)BLOCKSIZE)
            BLOCKSIZE = allowed;
    }
    if (BLOCKSIZE <= 0)
        BLOCKSIZE = 8192;
    putlog(LOG_ADVICE, "network: Memory allocation: per socket R/W: %d bytes", BLOCKSIZE.load());

    putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds",
           sockopt_get(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds",
           sockopt_get(fd, IPPROTO_TCP, TCP_KEEPINTVL));
    putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes",
           sockopt_get(fd, IPPROTO_TCP, TCP_KEEPCNT));
    if (TCP_KEEPIDLE_TIME > 0) {
        sockopt_set(fd, IPPROTO_TCP, TCP_KEEPIDLE, TCP_KEEPIDLE_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds",
               sockopt_get(fd, IPPROTO_TCP, TCP_KEEPIDLE));
    }
    if (TCP_KEEPINTVL_TIME > 0) {
        sockopt_set(fd, IPPROTO_TCP, TCP_KEEPINTVL, TCP_KEEPINTVL_TIME);
        putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds",
               sockopt_get(fd, IPPROTO_TCP, TCP_KEEPINTVL));
        if (TCP_KEEPCNT_COUNTS > 0) {
            sockopt_set(fd, IPPROTO_TCP, TCP_KEEPCNT, TCP_KEEPCNT_COUNTS);
            putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes",
                   sockopt_get(fd, IPPROTO_TCP, TCP_KEEPCNT));
        }
    }
}

// An address of this machine: the unspecified address, loopback, or one
// of the interfaces' addresses.
bool is_local_address(struct in_addr addr)
{
    uint32_t host = ntohl(addr.s_addr);
    if (host == INADDR_ANY || (host >> 24) == 127)
        return true;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        putlog_system(LOG_ERROR, "getifaddrs", errno, ", in %s, local addresses unknown",
                      "net_listener_owns");
        // Without the list a wildcard listener cannot be told apart from
        // another host: refuse rather than risk a loop.
        return true;
    }
    bool local = false;
    for (struct ifaddrs *i = list; i != nullptr && !local; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET)
            local = ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == addr.s_addr;
    freeifaddrs(list);
    return local;
}

bool descriptors_short(int error)
{
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void accept_pause()
{
    accept_pause_ms = accept_pause_ms == 0 ? ACCEPT_PAUSE_FIRST_MS
                                           : std::min(accept_pause_ms * 2, ACCEPT_PAUSE_MAX_MS);
    struct timespec pause = {accept_pause_ms / 1000, (accept_pause_ms % 1000) * 1000000L};
    while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

void accept_resume()
{
    accept_pause_ms = 0;
}

}  // namespace

// ---------------------------------------------------------------- listeners

void net_init()
{
    for (SOCKLIST_T &row : socklist) {
        row.in_use = 0;
        row.fd = -1;
        row.port = 0;
        row.bound = 0;
        row.address = nullptr;
    }
}

int net_listen_backlog(const char *somaxconn_path)
{
    int value = LISTEN_BACKLOG_DEFAULT;
    FILE *f = fopen(somaxconn_path, "r");
    if (f != nullptr) {
        int read_value;
        if (fscanf(f, "%d", &read_value) == 1) {
            value = read_value;
            putlog(LOG_NETWORK, "default system somaxconn: %d", value);
        }
        fclose(f);
    }
    return value < MAXTHREADS ? value : MAXTHREADS;
}

int net_listen(int port, const char *address)
{
    int backlog = net_listen_backlog(SOMAXCONN_PATH);
    putlog(LOG_NETWORK, "listen queue: %d", backlog);

    struct in_addr addr;
    if (!parse_listen_address(address, &addr)) {
        putlog(LOG_ERROR, "network: listen address \"%s\" is not an IPv4 address in dotted-quad form",
               address);
        return listen_fail(port, address, "not a dotted-quad address");
    }
    if (port < 1 || port > 65535) {
        putlog(LOG_ERROR, "network: listen port %d is outside 1-65535", port);
        return listen_fail(port, address, "port outside 1-65535");
    }

    int row = 0;
    while (row < LISTEN_MAX && socklist[row].in_use)
        row++;
    if (row == LISTEN_MAX)
        return listen_fail(port, address, "too many listeners");

    int fd = s_socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return listen_fail(port, address, strerror(errno));
    listen_options(fd);
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) != 0)
        putlog_system(LOG_NETWORK, "fcntl", errno, ", in %s, close-on-exec not set",
                      "net_listen");

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons((uint16_t)port);
    if (bind(fd, (struct sockaddr *)&sa, sizeof(sa)) != 0 || listen(fd, backlog) != 0) {
        int error = errno;
        putlog_system(LOG_NETWORK, "bind", error, ", in %s, listener not opened",
                      "net_listen");
        close(fd);
        return listen_fail(port, address, strerror(error));
    }

    SOCKLIST_T &r = socklist[row];
    r.address = address != nullptr ? xstrdup(address) : nullptr;
    r.fd = fd;
    r.port = port;
    r.bound = addr.s_addr;
    r.in_use = 1;
    putlog(LOG_NETWORK, "listening on %s:%d", address != nullptr ? address : "0.0.0.0", port);
    return row;
}

int net_listen_count()
{
    int open = 0;
    for (const SOCKLIST_T &row : socklist)
        if (row.in_use)
            open++;
    return open;
}

std::string net_listen_failures()
{
    return listen_failures;
}

void net_listen_closeall()
{
    for (SOCKLIST_T &row : socklist) {
        if (!row.in_use)
            continue;
        row.in_use = 0;
        // shutdown() wakes the main thread's poll on this listener; it
        // then finds the row out of use and accepts nothing on it.
        (void)shutdown(row.fd, SHUT_RDWR);
        close(row.fd);
        row.fd = -1;
        free(row.address);
        row.address = nullptr;
    }
}

void net_linger_off(int sock)
{
    if (sock <= 0)
        return;
    struct linger l;
    l.l_onoff = 1;
    l.l_linger = 0;
    (void)setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof(l));
    sockopt_set(sock, IPPROTO_TCP, TCP_LINGER2, 0);
}

bool net_listener_owns(struct in_addr addr, int port)
{
    for (const SOCKLIST_T &row : socklist) {
        if (!row.in_use)
            break;
        if (row.port != port)
            continue;
        uint32_t bound = row.bound;
        // Connecting to 0.0.0.0 reaches this machine, as a wildcard
        // listener is reached from every local address.
        if (addr.s_addr == htonl(INADDR_ANY) || addr.s_addr == bound)
            return true;
        if (bound == htonl(INADDR_ANY) && is_local_address(addr))
            return true;
    }
    return false;
}

// ------------------------------------------------------------------- accept

CONNECTION_T *net_accept(int timeout)
{
    struct pollfd polled[LISTEN_MAX];
    int ports[LISTEN_MAX];
    int n = 0;
    while (n < LISTEN_MAX && socklist[n].in_use) {
        polled[n].fd = socklist[n].fd;
        polled[n].events = POLLIN;
        polled[n].revents = 0;
        ports[n] = socklist[n].port;
        n++;
    }
    if (p_poll(polled, (nfds_t)n, timeout < 0 ? -1 : timeout * 1000) <= 0)
        return nullptr;

    for (int i = 0; i < n; i++) {
        if (!(polled[i].revents & POLLIN))
            continue;
        if (!socklist[i].in_use || socklist[i].fd != polled[i].fd)
            continue; // closed while we polled (SIGHUP)
        struct sockaddr_in peer;
        socklen_t len = sizeof(peer);
        int fd = s_accept(polled[i].fd, (struct sockaddr *)&peer, &len);
        if (fd < 0) {
            int error = errno;
            if (error != ENOTSOCK)
                putlog(LOG_ADVICE, "error: network: [system: accept:%d:%s], in %s, failed to accept a new connection",
                       error, strerror(error), "net_accept");
            if (descriptors_short(error)) {
                // No other listener can do better: descriptors are the
                // process's.
                accept_pause();
                return nullptr;
            }
            continue;
        }
        accept_resume();
        char client[INET_ADDRSTRLEN];
        if (inet_ntop(AF_INET, &peer.sin_addr, client, sizeof(client)) == nullptr) {
            putlog(LOG_ERROR, "network: client ip identification failed");
            close(fd);
            continue;
        }
        struct sockaddr_in local;
        len = sizeof(local);
        if (getsockname(fd, (struct sockaddr *)&local, &len) != 0) {
            putlog(LOG_ADVICE, "error: network: [system: getsockname:%d:%s], in %s, problem in accepting a new connection",
                   errno, strerror(errno), "net_accept");
            close(fd);
            continue;
        }
        char interface[INET_ADDRSTRLEN] = "";
        if (inet_ntop(AF_INET, &local.sin_addr, interface, sizeof(interface)) == nullptr ||
            interface[0] == '\0') {
            putlog(LOG_ERROR, "network: interface ip identification failed");
            close(fd);
            continue;
        }

        CONNECTION_T *conn = connection_new();
        conn->client = new Socket(fd);
        conn->listen_port = ports[i];
        conn->client_ip = xstrdup(client);
        conn->log_entry.client = client;
        conn->interface_ip = xstrdup(interface);
        return conn;
    }
    return nullptr;
}

// ------------------------------------------------------------------ section

Listen::Listen(const Item &item)
    : enabled(item.fields[0].int_value),
      address(item.fields[1].raw),
      port(item.fields[2].int_value),
      comment(item.fields[3].raw)
{
    // A port written wrong would leave the template's port, which nobody
    // configured: the listener is not opened.
    if (item.flawed()) {
        enabled = 0;
        putlog(LOG_ERROR, "network: listener \"%s\" disabled: a value of it is flawed",
               comment.c_str());
    }
}

Interface::Interface(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      address(item.fields[4].raw)
{
    if (item.flawed()) {
        enabled = 0;
        putlog(LOG_ERROR, "network: interface rule \"%s\" disabled: a value of it is flawed",
               comment.c_str());
    }
}

NetworkSection::NetworkSection() : Section("network", 0)
{
    // The schema must declare every field read by position.
    ASSERT(subsections.size() >= 2);
    ASSERT(subsections[0].fields.size() >= 4 && subsections[1].fields.size() >= 5);
}

NetworkSection::~NetworkSection() = default;

void NetworkSection::update()
{
    listens.clear();
    interfaces.clear();
    for (const Item &item : subsections[0].items)
        listens.emplace_back(item);
    for (const Item &item : subsections[1].items)
        interfaces.emplace_back(item);
}

void NetworkSection::check()
{
    read_lock();
    for (const Listen &l : listens)
        if (l.enabled == 1 && l.port != -1)
            net_listen(l.port, l.address.c_str());
    unlock();
}

struct in_addr NetworkSection::interface_select(const CONNECTION_T *conn)
{
    struct in_addr addr;
    addr.s_addr = htonl(INADDR_ANY);
    read_lock();
    for (const Interface &rule : interfaces) {
        if (rule.enabled != 1 || !profile_find(conn->ldap_groups, rule.groups) ||
            !profile_find(conn->profiles, rule.profiles))
            continue;
        putlog(LOG_NETWORK, "binding outgoing connection to %s", rule.address.c_str());
        if (!isip(rule.address.c_str()) ||
            inet_pton(AF_INET, rule.address.c_str(), &addr) != 1) {
            putlog(LOG_ERROR, "network: outgoing address \"%s\" is not an IPv4 address in dotted-quad form, any local address is used",
                   rule.address.c_str());
            addr.s_addr = htonl(INADDR_ANY);
        }
        break;
    }
    unlock();
    return addr;
}
