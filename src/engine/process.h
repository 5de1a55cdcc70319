// The accept loop and the worker threads.
//
// The main thread runs mainloop: it builds the process (config) and then
// accepts connections for ever, numbers each one and parks it in the
// client pool; it serves no request itself.  The client pool hands a
// connection whose client sent bytes to a worker (process_new), which runs
// process_entry: it serves the connection's requests one after the other,
// cleans the per-request state after each, and then keeps the connection
// for its next request, parks it in the client pool again, or closes it.
// An idle worker waits THREAD_TIMEOUT seconds on its row's condition for
// another connection before its thread ends.
#ifndef KV_ENGINE_PROCESS_H
#define KV_ENGINE_PROCESS_H

#include <cstdint>

struct CONNECTION_T;

// The next client id to give; 1 at start.  Used by the main thread only.
extern uint32_t clientid;

// Builds the process, then accepts connections for ever.
[[noreturn]] void mainloop();

// Takes the next client id: 1, 2, 3, ... wrapping after 4294967295 to 1;
// 0 is never given.
uint32_t clientid_take();

// Registers process_entry as the body of the workers that process_new
// starts.  Called once by mainloop before any connection is accepted.
void process_register();

// The body of every worker thread: serves `connection` and then the
// connections handed to it while it idles.  Returns only when its thread
// must end (its row is free by then).
void process_entry(CONNECTION_T *connection);

// Milliseconds a worker whose keep-alive wait is 0 seconds still waits for
// the next request of its connection before it parks the connection in the
// client pool.
#define PROCESS_KEEPALIVE_GRACE_MS 5

// Longest wait for a failed close-delimited body to leave the socket before
// the client connection is reset.
#define PROCESS_ABORT_DRAIN_MS 2000

// Seconds the worker in thread-table row `row` waits for the next request
// of a kept-alive connection before it parks the connection in the client
// pool.  Workers in lower rows wait longer; with the default options (-t
// 16384, -C 1, -o 1) every row gives 0, a mere look whether the next
// request is already there.
int process_keepalive_wait(int row, int maxthreads, int client_pool_timeout,
                           int overload);

#endif
