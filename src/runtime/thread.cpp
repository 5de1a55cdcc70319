// The thread table: rows, their lock, thread creation and the hand-over of
// connections to idle workers.
#include "runtime/thread.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <link.h>
#include <sys/resource.h>

#include "engine/global.h"
#include "engine/options.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/stats.h"

THREAD_T threads[THREADS_MAX];
pthread_mutex_t threadlistlock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;

namespace {

// What a new thread needs before it runs its start routine.
struct ThreadStart {
    thread_start_t start;
    void *arg;
    int row;
};

// Owns a pthread_attr_t once it has been initialised.
struct ThreadAttr {
    pthread_attr_t attr;
    bool ready = false;
    ~ThreadAttr()
    {
        if (ready)
            pthread_attr_destroy(&attr);
    }
};

int rows_used();
bool row_is_own(int row);
int row_of_caller();
int row_take_free();
void row_clear(THREAD_T *row);
bool attr_prepare(ThreadAttr *attr, size_t stack, const char *function);
int thread_start_locked(int row, thread_start_t start, void *arg, size_t stack,
                        const char *function);
void *thread_trampoline(void *data);
void *worker_start(void *connection);

// Row of the calling thread, set when the thread takes its row; -1 for a
// thread without one.
thread_local int own_row = -1;

// Rows whose condition variable has been initialised, so that a second
// threads_init never initialises a condition twice.
int rows_with_condition = 0;

// One past the highest row a thread was ever given since threads_init.
// Only those rows can hold an idle worker, so the hand-over looks at them
// alone instead of the whole table (MAXTHREADS rows, 16384 by default).
// Guarded by threadlistlock.
int rows_taken = 0;

void (*worker_entry)(CONNECTION_T *) = nullptr;
void (*worker_set_thread_index)(CONNECTION_T *, int) = nullptr;

// The number of rows in use: MAXTHREADS within the table's bounds.
int rows_used()
{
    if (MAXTHREADS < 0)
        return 0;
    return MAXTHREADS < THREADS_MAX ? MAXTHREADS : THREADS_MAX;
}

// Whether `row` is in use by the calling thread.  A row freed by its
// worker, or taken over by another thread since, is not the caller's any
// more.  Needs no threadlistlock: the answer stays true while the caller
// runs, since only the owner frees its row and another thread takes it
// only once it is free.
bool row_is_own(int row)
{
    if (row < 0 || row >= rows_used())
        return false;
    const THREAD_T &r = threads[row];
    return r.state.load(std::memory_order_relaxed) != THREAD_FREE &&
           pthread_equal(r.thread.load(std::memory_order_relaxed), pthread_self());
}

// The calling thread's row or -1.  Called with threadlistlock held.
int row_of_caller()
{
    return row_is_own(own_row) ? own_row : -1;
}

// The first free row, or -1.  Called with threadlistlock held.
int row_take_free()
{
    int used = rows_used();
    for (int i = 0; i < used; i++)
        if (threads[i].state == THREAD_FREE)
            return i;
    return -1;
}

// Frees the row's texts and resets everything but its condition.
void row_clear(THREAD_T *row)
{
    free(row->address);
    free(row->url);
    free(row->method);
    row->address = row->url = row->method = nullptr;
    row->thread = pthread_t();
    row->connection = nullptr;
    row->client_id = 0;
    row->state = THREAD_FREE;
    row->requests = 0;
}

// Sets up detached attributes with the given stack size; logs a failure
// in the words of `function`.
bool attr_prepare(ThreadAttr *attr, size_t stack, const char *function)
{
    int err = pthread_attr_init(&attr->attr);
    if (err != 0) {
        putlog_system(LOG_ERROR, "pthread_attr_init", err,
                      ", in %s, failed to start thread", function);
        return false;
    }
    attr->ready = true;
    err = pthread_attr_setstacksize(&attr->attr, stack);
    if (err != 0) {
        putlog_system(LOG_ERROR, "pthread_attr_setstacksize", err,
                      ", in %s, failed to set thread stack_size: %zu", function,
                      stack);
        return false;
    }
    err = pthread_attr_setdetachstate(&attr->attr, PTHREAD_CREATE_DETACHED);
    if (err != 0) {
        putlog_system(LOG_ERROR, "pthread_attr_setdetachstate", err,
                      ", in %s, failed to start thread", function);
        return false;
    }
    return true;
}

// Starts a thread for `row` and fills the row (state starting, connection
// = arg).  Called with threadlistlock held, so the row is complete before
// the new thread can look at it.  On failure the row stays free.
int thread_start_locked(int row, thread_start_t start, void *arg, size_t stack,
                        const char *function)
{
    ThreadAttr attr;
    if (!attr_prepare(&attr, stack + thread_static_tls_size(), function))
        return -1;

    auto *data = new ThreadStart{start, arg, row};
    pthread_t id;
    int err = pthread_create(&id, &attr.attr, thread_trampoline, data);
    if (err != 0) {
        delete data;
        putlog_system(LOG_ERROR, "pthread_create", err,
                      ", in %s, failed to create thread", function);
        return -1;
    }
    THREAD_T *r = &threads[row];
    row_clear(r);
    if (row >= rows_taken)
        rows_taken = row + 1;
    r->thread = id;
    r->state = THREAD_STARTING;
    r->connection = static_cast<CONNECTION_T *>(arg);
    return row;
}

// First code of every thread created here: remember the row, then run.
void *thread_trampoline(void *data)
{
    ThreadStart start = *static_cast<ThreadStart *>(data);
    delete static_cast<ThreadStart *>(data);
    // The creator fills the row under threadlistlock after the thread has
    // started: waiting for the lock once makes the row complete before this
    // thread checks it without the lock.
    pthread_mutex_lock(&threadlistlock);
    pthread_mutex_unlock(&threadlistlock);
    own_row = start.row;
    return start.start(start.arg);
}

void *worker_start(void *connection)
{
    worker_entry(static_cast<CONNECTION_T *>(connection));
    return nullptr;
}

} // namespace

void threads_init()
{
    pthread_mutex_lock(&threadlistlock);
    int used = rows_used();
    for (int i = 0; i < used; i++) {
        row_clear(&threads[i]);
        if (i >= rows_with_condition)
            pthread_cond_init(&threads[i].wakeup, nullptr);
    }
    if (used > rows_with_condition)
        rows_with_condition = used;
    if (used > 0) {
        threads[0].thread = pthread_self();
        threads[0].state = THREAD_STARTING;
        threads[0].client_id = 0;
        own_row = 0;
        rows_taken = 1;
    } else {
        rows_taken = 0;
        own_row = -1;
    }
    pthread_mutex_unlock(&threadlistlock);
}

int mutex_init_adaptive(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc != 0)
        return rc;
    rc = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_ADAPTIVE_NP);
    if (rc == 0)
        rc = pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return rc;
}

int thread_create_internal(thread_start_t start, void *arg)
{
    pthread_mutex_lock(&threadlistlock);
    int row = row_take_free();
    if (row < 0) {
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate",
               MAXTHREADS);
        return -1;
    }
    row = thread_start_locked(row, start, arg, THREAD_SERVICE_STACK,
                              "thread_create_internal");
    pthread_mutex_unlock(&threadlistlock);
    return row;
}

int thread_create(thread_start_t start, void *arg)
{
    pthread_mutex_lock(&threadlistlock);
    int row = row_take_free();
    if (row >= 0)
        row = thread_start_locked(row, start, arg,
                                  static_cast<size_t>(max_opt_stack),
                                  "thread_create");
    pthread_mutex_unlock(&threadlistlock);
    return row;
}

void thread_worker_register(void (*entry)(CONNECTION_T *connection),
                            void (*set_thread_index)(CONNECTION_T *connection,
                                                     int row))
{
    worker_entry = entry;
    worker_set_thread_index = set_thread_index;
}

int process_new(CONNECTION_T *connection)
{
    // Start-up registers the worker body before any connection is accepted.
    ASSERT(worker_entry != nullptr && worker_set_thread_index != nullptr);

    pthread_mutex_lock(&threadlistlock);
    int used = rows_taken < rows_used() ? rows_taken : rows_used();
    for (int i = 0; i < used; i++) {
        THREAD_T *row = &threads[i];
        if (row->state != THREAD_IDLE)
            continue;
        worker_set_thread_index(connection, i);
        row->connection = connection;
        row->state = THREAD_STARTING;
        pthread_cond_signal(&row->wakeup);
        pthread_mutex_unlock(&threadlistlock);
        return i;
    }
    pthread_mutex_unlock(&threadlistlock);
    return thread_create(worker_start, connection);
}

int thread_find()
{
    pthread_mutex_lock(&threadlistlock);
    int row = row_of_caller();
    pthread_mutex_unlock(&threadlistlock);
    ASSERT(row >= 0);
    return row;
}

uint32_t thread_get_clientid()
{
    if (!row_is_own(own_row))
        return 0;
    // While the row is this thread's, only this thread writes its id.
    return threads[own_row].client_id.load(std::memory_order_relaxed);
}

void thread_set_clientid(uint32_t client_id)
{
    if (!row_is_own(own_row))
        return;
    threads[own_row].client_id.store(client_id, std::memory_order_relaxed);
}

void thread_report(statm_t *statm)
{
    uint64_t counts[5] = {0, 0, 0, 0, 0};
    pthread_mutex_lock(&threadlistlock);
    int used = rows_used();
    for (int i = 0; i < used; i++) {
        int state = threads[i].state;
        if (state >= THREAD_FREE && state <= THREAD_PREFETCHING)
            counts[state]++;
    }
    pthread_mutex_unlock(&threadlistlock);
    statm->size = counts[THREAD_FREE];
    statm->resident = counts[THREAD_BUSY];
    statm->shared = counts[THREAD_IDLE];
    statm->text = counts[THREAD_STARTING];
    statm->lib = counts[THREAD_PREFETCHING];
}

void rusage_update()
{
    struct rusage usage;
    if (getrusage(RUSAGE_SELF, &usage) != 0) {
        putlog_system(LOG_ERROR, "getrusage", errno,
                      ", in %s, failed to read resource usage", "rusage_update");
        return;
    }
    ASSERT(global != nullptr);
    pthread_mutex_lock(&global->rusage_lock);
    struct rusage *total = &global->rusage_totals;
    total->ru_utime.tv_sec += usage.ru_utime.tv_sec;
    total->ru_utime.tv_usec += usage.ru_utime.tv_usec;
    total->ru_utime.tv_sec += total->ru_utime.tv_usec / 1000000;
    total->ru_utime.tv_usec %= 1000000;
    total->ru_stime.tv_sec += usage.ru_stime.tv_sec;
    total->ru_stime.tv_usec += usage.ru_stime.tv_usec;
    total->ru_stime.tv_sec += total->ru_stime.tv_usec / 1000000;
    total->ru_stime.tv_usec %= 1000000;
    total->ru_minflt += usage.ru_minflt;
    total->ru_majflt += usage.ru_majflt;
    pthread_mutex_unlock(&global->rusage_lock);
}

size_t thread_static_tls_size()
{
    static const size_t size = [] {
        size_t total = 0;
        dl_iterate_phdr(
            [](struct dl_phdr_info *info, size_t, void *data) {
                for (int i = 0; i < info->dlpi_phnum; i++)
                    if (info->dlpi_phdr[i].p_type == PT_TLS)
                        *static_cast<size_t *>(data) +=
                            info->dlpi_phdr[i].p_memsz + info->dlpi_phdr[i].p_align;
                return 0;
            },
            &total);
        return total;
    }();
    return size;
}
