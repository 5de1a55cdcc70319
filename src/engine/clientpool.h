// The client pool: client connections waiting for their next request.
//
// A connection that waits costs no thread.  New connections from the
// accept loop and kept-alive connections whose worker found no next request
// at once are parked here; one service thread (clientpool_thread) waits on
// all of them together and hands a connection whose client sent bytes to a
// worker (process_new), closes one whose client hung up, and closes one
// that stayed silent past the general section's time-out.
//
// The connections sit in one epoll set: a connection joins it when it is
// parked and leaves it when it is handed over or closed, so a wake-up
// costs the ready connections only, not every parked one.  The idle
// time-outs are whole seconds and are checked once per second.  A pipe
// wakes the waiting thread after connections were added, so that the
// shorter wait for new clients takes effect at once.
//
// Lock order: the pool's mutex, then threadlistlock.  The pool hands
// connections over and closes them after it released its mutex, so no
// socket is written or closed while the mutex is held.
#ifndef KV_ENGINE_CLIENTPOOL_H
#define KV_ENGINE_CLIENTPOOL_H

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <pthread.h>
#include <unordered_map>
#include <vector>

struct CONNECTION_T;
class Filebuf;

struct clientpool_t;
typedef std::list<clientpool_t *> clientpool_list;

// One parked connection.
struct clientpool_t {
    CONNECTION_T *connection;        // owned by the pool while parked
    time_t time;                     // when it was parked
    uint64_t key;                    // its name in the epoll set; never reused
    clientpool_list::iterator place; // its node in the pool's list
};

class ClientPool {
public:
    // An empty pool with its epoll set and wake-up pipe.  A missing pipe
    // (logged) leaves a pool whose new connections get the shorter wait
    // only at the end of the current one; a missing epoll set (logged) is
    // made again by the polling thread, which meanwhile only checks the
    // time-outs.
    ClientPool();
    // Frees the entries; the parked connections are not closed.
    ~ClientPool();
    ClientPool(const ClientPool &) = delete;
    ClientPool &operator=(const ClientPool &) = delete;

    // Parks a connection with the current time at the end of the list and
    // wakes the polling thread.  The pool owns it from now on; one that
    // cannot join the epoll set is closed (logged).
    void Add(CONNECTION_T *connection);
    // Writes one zero byte to the pipe.
    void Wakeup();
    // The polling loop of clientpool_thread; never returns.
    [[noreturn]] void Poll();
    // One cycle of the polling loop: wait for the parked connections, hand
    // the readable ones to workers, close the hung-up ones and, once per
    // second, the idle ones.
    void PollCycle();
    // Closes every parked connection (descriptor exhaustion, SIGHUP).
    void Clean();
    // Closes the oldest parked connections while MAXTHREADS / (n + 1) is
    // below the overload factor, n being the number parked.
    void load_shedding();
    // Appends the HTML table of parked connections (the web interface's
    // connections page).
    void show_connections(Filebuf *buffer);
    // Number of parked connections.
    size_t size();

private:
    // Closes each connection with its client id set on the calling thread.
    static void close_all(const std::vector<CONNECTION_T *> &connections);
    // Makes the epoll set with the pipe in it; false when it cannot be made
    // (logged once until it can).  Called with the mutex held.
    bool set_make();
    // Puts an entry into the epoll set; false when that failed (logged).
    // Called with the mutex held.
    bool arm(clientpool_t *entry);
    // Takes an entry out of the set, the list and the index, and frees it;
    // returns its connection.  Called with the mutex held.
    CONNECTION_T *remove(clientpool_t *entry);
    // Moves the connections whose silence reached their time-out to
    // `closing`, and those past it whose input has arrived meanwhile to
    // `handover`.  Called with the mutex held.
    void idle_collect(time_t now, std::vector<CONNECTION_T *> *handover,
                      std::vector<CONNECTION_T *> *closing);

    int wakepipe[2];                 // read end in the set, write end for Wakeup; -1 when missing
    int epfd;                        // the epoll set; -1 while missing
    bool set_failure_logged;         // the missing set was logged already
    pthread_mutex_t lock;            // guards everything below and the set's membership
    clientpool_list list;            // oldest first
    std::unordered_map<uint64_t, clientpool_t *> index; // key -> entry
    uint64_t next_key;               // key of the next entry; 0 names the pipe
    time_t last_idle_check;          // second of the last time-out walk
    int wakepipe_calls;              // connections added since the last poll cycle
    int new_client;                  // of those, connections without a request yet
    std::atomic<bool> wake_pending;  // a wake-up byte was written for this cycle
};

// Service thread: runs Poll of global->client_pool.
void *clientpool_thread(void *arg);

// Clean of global->client_pool (nothing while there is none): the cleaner
// that start-up installs for descriptor exhaustion.
void clientpool_clean();

// The clock the pool reads (time(nullptr) by default); null restores it.
// Lets tests age parked connections without sleeping.
void clientpool_set_clock(time_t (*now)());

#endif
