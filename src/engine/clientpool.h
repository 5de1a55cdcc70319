// The client pool: client connections waiting for their next request.
//
// A connection that waits costs no thread.  New connections from the
// accept loop and kept-alive connections whose worker found no next request
// at once are parked here; one service thread (clientpool_thread) polls all
// of them together and hands a connection whose client sent bytes to a
// worker (process_new), closes one whose client hung up, and closes one
// that stayed silent past the general section's time-out.  A pipe wakes
// the polling thread whenever a connection is added, so that the new
// socket joins the next poll at once.
//
// Lock order: the pool's mutex, then threadlistlock.  The pool hands
// connections over and closes them after it released its mutex, so no
// socket is written or closed while the mutex is held.
#ifndef KV_ENGINE_CLIENTPOOL_H
#define KV_ENGINE_CLIENTPOOL_H

#include <ctime>
#include <list>
#include <pthread.h>
#include <vector>

struct CONNECTION_T;
class Filebuf;

// One parked connection.
struct clientpool_t {
    CONNECTION_T *connection; // owned by the pool while parked
    time_t time;              // when it was parked
    int slot;                 // its place in the current poll set; -1 when added since
};

class ClientPool {
public:
    // An empty pool with its wake-up pipe.  When the pipe cannot be made
    // (logged), the pool still works: new connections then join the poll
    // at the end of the current poll time-out instead of at once.
    ClientPool();
    // Frees the entries; the parked connections are not closed.
    ~ClientPool();
    ClientPool(const ClientPool &) = delete;
    ClientPool &operator=(const ClientPool &) = delete;

    // Parks a connection with the current time at the end of the list and
    // wakes the polling thread.  The pool owns it from now on.
    void Add(CONNECTION_T *connection);
    // Writes one zero byte to the pipe.
    void Wakeup();
    // The polling loop of clientpool_thread; never returns.
    [[noreturn]] void Poll();
    // One cycle of the polling loop: poll every parked connection, hand
    // the readable ones to workers, close the hung-up and the idle ones.
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

    int wakepipe[2];                 // read end polled, write end for Wakeup; -1 when missing
    pthread_mutex_t lock;            // guards list, wakepipe_calls, new_client
    std::list<clientpool_t *> list;  // oldest first
    int wakepipe_calls;              // connections added since the last poll cycle
    int new_client;                  // of those, connections without a request yet
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
