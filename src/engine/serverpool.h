// The server pool: idle upstream connections kept after a response that
// the server kept alive, handed to the next request that leads to the same
// place.
//
// An entry is found again only by a request whose key matches it exactly:
// scheme, host and port, the upstream path (direct, HTTP parent, SOCKS or
// a parent tunnel, with the parent's address), TLS or not, and the URL's
// user and password (the password compared with case).  A connection that
// still holds unread bytes, or whose server has already closed it, is
// never parked.
//
// One instance lives in global->server_pool; its mutex guards the list and
// is held while a parked socket is closed.  The cleaner thread
// serverpool_clean drops entries past the pool time-out or the pool size
// every 10 seconds.
#ifndef KV_ENGINE_SERVERPOOL_H
#define KV_ENGINE_SERVERPOOL_H

#include <cstddef>
#include <ctime>
#include <list>
#include <pthread.h>

class Socket;
struct CONNECTION_T;

// What a parked connection leads to.  The texts are borrowed: the pool
// copies them into its entry.  protocol and host are required; the others
// may be null.
struct ServerPoolKey {
    const char *protocol = nullptr;  // URL scheme of the request ("http", "ftp")
    const char *host = nullptr;      // host the connection leads to
    int port = 0;
    const char *user = nullptr;      // user of the request URL
    const char *password = nullptr;  // password of the request URL
    int forward_type = 4;            // FORWARD_* of the request (FORWARD_DIRECT)
    const char *parent = nullptr;    // SOCKS server or tunnelling parent, else null
    int parent_port = 0;
    int tls = 0;                     // 1: the connection speaks TLS
    // Account the forward rule gives for the parent, else null: a parent
    // that authenticates a connection (NTLM) keeps it authenticated, so it
    // is lent only to requests sent under the same account.
    const char *parent_user = nullptr;
    const char *parent_password = nullptr;
};

// One idle upstream connection.
struct serverpool_t {
    Socket *socket;      // owned
    time_t added;        // when it entered the pool
    char *protocol;      // owned
    char *host;          // owned
    char *user;          // owned, or null
    char *password;      // owned, or null
    int port;
    int forward_type;
    char *parent;        // owned, or null
    int parent_port;
    int tls;
    char *parent_user;      // owned, or null
    char *parent_password;  // owned, or null
};

class ServerPool {
public:
    ServerPool();
    // Closes every parked connection.
    ~ServerPool();
    ServerPool(const ServerPool &) = delete;
    ServerPool &operator=(const ServerPool &) = delete;

    // Parks an idle connection; the pool takes the socket over.  When the
    // pool already holds its size (the general section's pool size), the
    // oldest entry is closed first and the "inadequate" advice logged once
    // per count.
    void Add(Socket *socket, const ServerPoolKey &key);
    // The same for a direct connection without TLS.
    void Add(Socket *socket, const char *protocol, const char *host, int port,
             const char *user, const char *password);

    // Takes the oldest matching connection out of the pool (the caller owns
    // it), or returns null.
    Socket *Find(const ServerPoolKey &key);
    Socket *Find(const char *protocol, const char *host, int port,
                 const char *user, const char *password);

    // Drops entries past the pool time-out or numbered beyond the pool
    // size, or every entry when force is set.  Clean takes the mutex.
    void Clean(int force);
    void CleanUnlocked(int force);

    // Number of parked connections.
    size_t Count();

    pthread_mutex_t lock;               // guards entries and warn_level
    std::list<serverpool_t *> entries;  // oldest first
    int warn_level = 0;                 // pool length of the last "inadequate" advice
};

// The pool key of the connection's current request: its scheme, URL user
// and password; for an HTTP parent the parent's host and port (the request
// host with forward_port when no parent host is set), else the request's
// host and port with the SOCKS or tunnelling parent; CONN_TLS.  The texts
// point into the connection.
ServerPoolKey serverpool_key(const CONNECTION_T *conn);

// Ends the request's use of its server connection: parks it in
// global->server_pool under serverpool_key when keepalive_server is 1, the
// connection has a request head, no unread byte waits on the socket and
// the server has not closed it; otherwise deletes it.  `server` is null
// afterwards.  The worker calls it after every request.
void serverpool_release(CONNECTION_T *conn);

// Service thread: every 10 seconds Clean(0) on global->server_pool.
// Never returns.
void *serverpool_clean(void *arg);

#endif
