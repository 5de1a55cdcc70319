// PerformanceLog: sixteen process-wide counters of load, written by the
// service thread performance_check as one comma-separated record every
// performance_log_write_invl seconds to the file named by -r.
#ifndef KV_RUNTIME_PERFORMANCE_H
#define KV_RUNTIME_PERFORMANCE_H

#include <pthread.h>
#include <sys/time.h>

#include <cstdint>
#include <string>

struct statm_t;

// One counter with its own reader-writer lock.
class PerformanceCounter {
public:
    PerformanceCounter();
    ~PerformanceCounter();
    PerformanceCounter(const PerformanceCounter &) = delete;
    PerformanceCounter &operator=(const PerformanceCounter &) = delete;
    uint64_t get();
    void add(uint64_t amount);
    void replace(uint64_t amount);

private:
    pthread_rwlock_t lock;
    uint64_t value = 0;
};

#define PERFORMANCE_COUNTER(name, setter)                         \
    uint64_t get_##name() { return name.get(); }                  \
    void set_##name(uint64_t amount) { name.setter(amount); }

class PerformanceLog {
public:
    struct timeval start_time; // when the object was made
    PerformanceCounter threading_error;
    PerformanceCounter connection_pool_size; // gauge
    PerformanceCounter new_connection;
    PerformanceCounter connection_fail;
    PerformanceCounter connection_pool_hit;
    PerformanceCounter dns_fail;
    PerformanceCounter dns_hit;
    PerformanceCounter bytes_out;
    PerformanceCounter bytes_in;
    PerformanceCounter clients_in_pool; // gauge
    PerformanceCounter requests_completed;
    PerformanceCounter connections_closed;
    PerformanceCounter connections_handled;
    PerformanceCounter cache_mmaps_created;
    PerformanceCounter cache_mmaps_deleted;
    PerformanceCounter dns_miss;

    PerformanceLog();

    // set_ adds the amount, but replaces it for the two gauges.
    PERFORMANCE_COUNTER(threading_error, add)
    PERFORMANCE_COUNTER(connection_pool_size, replace)
    PERFORMANCE_COUNTER(new_connection, add)
    PERFORMANCE_COUNTER(connection_fail, add)
    PERFORMANCE_COUNTER(connection_pool_hit, add)
    PERFORMANCE_COUNTER(dns_fail, add)
    PERFORMANCE_COUNTER(dns_hit, add)
    PERFORMANCE_COUNTER(bytes_out, add)
    PERFORMANCE_COUNTER(bytes_in, add)
    PERFORMANCE_COUNTER(clients_in_pool, replace)
    PERFORMANCE_COUNTER(requests_completed, add)
    PERFORMANCE_COUNTER(connections_closed, add)
    PERFORMANCE_COUNTER(connections_handled, add)
    PERFORMANCE_COUNTER(cache_mmaps_created, add)
    PERFORMANCE_COUNTER(cache_mmaps_deleted, add)
    PERFORMANCE_COUNTER(dns_miss, add)

    // One record: a newline and the 52 values, cut at 1022 characters.
    // Remembers its figures as the previous ones for the next deltas.
    std::string Build();
    // Builds a record and appends it to plogfile (opened when needed).
    void Write();
};

#undef PERFORMANCE_COUNTER

extern PerformanceLog *performance_log; // made by start-up, never freed
extern char plogfile[512];              // -r; empty: no file
extern int plogfd;                      // -1 while closed
extern const std::string performance_legend;
extern int performance_log_write_invl;  // seconds between records
extern uint64_t val_total_system_memory; // KiB

// The seven figures of /proc/self/statm in KiB; false when unreadable.
bool read_memory_usage(statm_t *statm);

// Body of the service thread: a record, a pause, for ever.
void *performance_check(void *);

#endif
