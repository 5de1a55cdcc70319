// The thread table: one row per thread of the process.
//
// Every thread that serves the proxy owns a row of `threads`: the main
// thread (row 0), the service threads and the workers.  `threadlistlock`
// guards every field of every row; idle workers wait on their row's
// `wakeup` condition with that lock as the condition's mutex.
//
// A thread remembers its own row in a thread-local index set when it takes
// the row, so the lookups by calling thread (one per log line) check one
// row instead of scanning the table.  The calling thread's client id is
// read and set without threadlistlock: only the row's owner sets it, and
// `thread`, `state` and `client_id` are atomic so that the owner may check
// its row and publish its id while readers of the table hold the lock.
#ifndef KV_RUNTIME_THREAD_H
#define KV_RUNTIME_THREAD_H

#include <atomic>
#include <cstdint>
#include <pthread.h>

struct CONNECTION_T;
struct statm_t;

// Rows in the table; only the first MAXTHREADS (option -t) are used.
#define THREADS_MAX 16384
// Stack of a service thread (10 MiB); workers get max_opt_stack.
#define THREAD_SERVICE_STACK 10485760

// Row states.
enum {
    THREAD_FREE = 0,        // no thread owns the row
    THREAD_BUSY = 1,        // the worker serves a request
    THREAD_IDLE = 2,        // the worker waits on `wakeup` for a connection
    THREAD_STARTING = 3,    // created or handed a connection; main and service threads stay here
    THREAD_PREFETCHING = 4, // a prefetch thread fetches a URL
};

// Every field is written under threadlistlock, except client_id, which the
// owning thread sets without it (thread_set_clientid).  A reader that holds
// the lock sees each field as it stands; client_id may change just after.
struct THREAD_T {
    std::atomic<pthread_t> thread; // the thread that owns the row
    pthread_cond_t wakeup;   // an idle worker waits here for a connection
    CONNECTION_T *connection; // handed to the thread, or null
    std::atomic<uint32_t> client_id; // client id of the connection served; 0 for none
    std::atomic<int32_t> state;      // THREAD_*
    int32_t requests;        // request count of the connection served
    char *address;           // owned: client address text, or null
    char *url;               // owned: URL of the request served, or null
    char *method;            // owned: method of the request served, or null
};

extern THREAD_T threads[THREADS_MAX];
// Guards every row of `threads`.  Lock order: a ClientPool's mutex, then
// threadlistlock, then GLOBAL_T's rusage_lock.
extern pthread_mutex_t threadlistlock;

typedef void *(*thread_start_t)(void *arg);

// Makes a mutex that spins briefly before it sleeps.  For the locks every
// request takes for a few instructions (the cache index, the statistics,
// the pools): a waiter that sleeps costs two context switches, far more
// than the holder's work.  Returns pthread_mutex_init's result.
int mutex_init_adaptive(pthread_mutex_t *mutex);

// Clears the first MAXTHREADS rows and makes the calling thread row 0
// (state starting, client id 0).  Called once by main before it forks.
void threads_init();

// Starts a detached service thread with a 10 MiB stack in the first free
// row (state starting, connection = arg).  Returns the row, or -1 when the
// table is full ("increase MAXTHREADS" is logged) or the thread cannot be
// started (logged).
int thread_create_internal(thread_start_t start, void *arg);

// The static TLS of every loaded object.  glibc carves it out of each
// thread's requested stack, so the thread starters add it on top: a few KiB
// in a plain build, most of a megabyte under a thread sanitizer.
size_t thread_static_tls_size();

// Starts a detached worker with a max_opt_stack stack in the first free
// row (state starting, connection = arg).  Returns the row, or -1: silently
// when the table is full, with a log line when the thread cannot start.
int thread_create(thread_start_t start, void *arg);

// The engine's side of the hand-over, registered once at start-up:
// `entry` is the worker body (process_entry; it ends its thread and never
// returns) and `set_thread_index` stores a row index in the connection's
// thread_index field, which this layer cannot see.
void thread_worker_register(void (*entry)(CONNECTION_T *connection),
                            void (*set_thread_index)(CONNECTION_T *connection,
                                                     int row));

// Hands the connection to the first idle worker (its row becomes starting,
// the connection's thread_index the row, and the worker is woken), or
// starts a new worker running the registered entry.  Returns the row, or -1
// when neither is possible (nothing is logged for a full table).
int process_new(CONNECTION_T *connection);

// The calling thread's row.  The caller indexes `threads` with it, so a
// thread without a row is a broken invariant: the fatal assertion.
int thread_find();

// The calling thread's client id; 0 for a thread without a row.  Takes no
// lock.
uint32_t thread_get_clientid();

// Sets the calling thread's client id in its row; a thread without a row
// has nothing to set and the call does nothing (its log lines carry 0).
// Takes no lock: a row changes owner only after its owner freed it, so the
// owner's check of its row cannot be overtaken by another thread taking it.
void thread_set_clientid(uint32_t client_id);

// Counts the first MAXTHREADS rows by state into the first five fields of
// the statm_t: free, busy, idle, starting, prefetching.
void thread_report(statm_t *statm);

// Adds the process's resource usage (user and system time, minor and major
// page faults) to global->rusage_totals under global->rusage_lock.  Called
// by every worker that ends, with threadlistlock held.
void rusage_update();

#endif
