// Listening sockets, the accept call and the "network" section.
//
// "network" fields, read by position (the section has no globals):
//   listen 0     enabled   BOOL         the listener is opened at start-up
//   listen 1     address   STRING       dotted quad to bind; empty: every address
//   listen 2     port      INT          TCP port; -1 opens nothing
//   listen 3     comment   STRING
//   interface 0  enabled   BOOL
//   interface 1  comment   STRING
//   interface 2  groups    STRING_LIST  against the user's directory groups
//   interface 3  profiles  STRING_LIST  against the request's profiles
//   interface 4  address   STRING       local dotted quad of outgoing connections
//
// The table of listeners is filled on the main thread at start-up and
// emptied once when the process stops or is told to stop accepting; other
// threads only read it (to poll it, and to refuse outgoing connections to
// the proxy itself), so its fields are atomic and it has no lock.
#ifndef KV_ENGINE_NETWORK_H
#define KV_ENGINE_NETWORK_H

#include <atomic>
#include <cstdint>
#include <list>
#include <netinet/in.h>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

struct CONNECTION_T;

#define LISTEN_MAX 20
// Backlog when the system's somaxconn cannot be read.
#define LISTEN_BACKLOG_DEFAULT 25
#define SOMAXCONN_PATH "/proc/sys/net/core/somaxconn"

// One listening socket.  Rows in use form a prefix of the table.
struct SOCKLIST_T {
    std::atomic<int> in_use;    // 1 while the row holds an open listener
    std::atomic<int> fd;
    std::atomic<int> port;      // copied into every connection accepted on it
    std::atomic<uint32_t> bound; // bound address, network order; 0: every address
    char *address;              // owned: the address text; null for every address
};

extern SOCKLIST_T socklist[LISTEN_MAX];

// Marks every row free.  Called once by start-up before any listener.
void net_init();

// Opens a listener on the address (dotted quad; null or empty: every
// address) and port in the first free row, with the system's socket
// options and buffer sizes (which set BLOCKSIZE).  Returns the row, or -1
// ("error: failed to bind to %s:%d" logged): also for an address that is
// not a dotted quad and a port outside 1-65535, which never fall back to
// another address.
int net_listen(int port, const char *address);

// Closes every listener and frees its row.
void net_listen_closeall();

// Listeners open now.
int net_listen_count();
// Every failed net_listen so far, "address:port: reason" joined with "; "
// (the reason of a failed bind is the system's text of its error).  Read
// by start-up on the main thread.
std::string net_listen_failures();

// Closing the descriptor then resets the connection (SO_LINGER 0 and
// TCP_LINGER2 0).  Not used by the running proxy.
void net_linger_off(int sock);

// The listen backlog: the first number in the somaxconn file (25 when it
// cannot be read or holds none), at most MAXTHREADS.
int net_listen_backlog(const char *somaxconn_path);

// Waits up to timeout seconds (-1: without limit) for a connection on the
// listeners and returns a new record with its client Socket, client and
// interface addresses and listening port; null when nothing was accepted.
// One connection per call: other ready listeners are taken by the next.
CONNECTION_T *net_accept(int timeout);

// True when a connection to addr:port (network order address, host order
// port) would reach one of the proxy's own listeners.  A listener on every
// address matches every address of this machine.
bool net_listener_owns(struct in_addr addr, int port);

// A "listen" rule.
struct Listen {
    explicit Listen(const Item &item);

    int32_t enabled;
    std::string address;
    int32_t port;
    std::string comment;
};

// An "interface" rule.
struct Interface {
    explicit Interface(const Item &item);

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string address;
};

class NetworkSection : public Section {
public:
    NetworkSection();
    ~NetworkSection() override;

    // Section
    void update() override;

    // Opens a listener for every enabled "listen" rule whose port is not
    // -1, in rule order; a failure is logged and the others still open.
    // Start-up calls it once, after the -L listener.
    void check();

    // The local address for the connection's outgoing connections: that of
    // the first enabled "interface" rule whose lists accept the user's
    // directory groups and the request's profiles; 0 (any address) when no
    // rule matches or its address is not a dotted quad (logged).
    struct in_addr interface_select(const CONNECTION_T *conn);

    std::list<Listen> listens;        // in item order
    std::list<Interface> interfaces;  // in item order
};

extern NetworkSection *network_section;

#endif
