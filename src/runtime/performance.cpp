// The performance log: see performance.h.  The file, its descriptor and
// the previous figures belong to the performance_check thread alone.
#include "runtime/performance.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/stats.h"
#include "runtime/thread.h"

namespace {

std::string legend_build();
uint64_t pages_to_kib(long pages);
void file_close();

const size_t RECORD_MAX = 1022;

const char *const column_names[] = {
    "Time Stamp (YYYYMMDDhhmmss)",
    "Elapsed Time",
    "Client Connections Handled",
    "Client Connections Closed",
    "Client Transactions Handled",
    "Client Connections in Pool",
    "Spare Client Threads",
    "Client Threads in Use",
    "Client Threads in Waiting",
    "Threads Starting up",
    "Threads Reserved for Prefetching",
    "Threading Errors",
    "Outbound Connections created",
    "Outbound Connections Failed",
    "Outbound Connection Pool Reused",
    "Outbound Connections in Pool",
    "Bytes in (KBytes)",
    "Bytes Out (KBytes)",
    "Caching Objects Created in Memory",
    "Caching Objects Removed from Memory",
    "DNS Queries Reused",
    "New DNS Queries",
    "DNS Query failures",
    "Total System Memory (KBytes)",
    "Free System Memory (KBytes)",
    "Kelvarine Virtual Memory (KBytes)",
    "Kelvarine Resident Memory (KBytes)",
    "Kelvarine Shared Memory (KBytes)",
    "Kelvarine Code Memory (KBytes)",
    "Kelvarine Data Memory (KBytes)",
    "Kelvarine Library Memory (KBytes)",
    "Connections Handled Delta",
    "Connections Closed Delta",
    "Transactions Handled Delta",
    "Client Pool Delta",
    "Spare Threads Delta",
    "Active Threads Delta",
    "Threads Waiting Delta",
    "Threads Starting up Delta",
    "Threads Prefetching Delta",
    "Threading Errors Delta",
    "Outbound Connections created Delta",
    "Outbound Connections Failed Delta",
    "Outbound Connection Pool Reused Delta",
    "Outbound Connections in Pool Delta",
    "Bytes in (KBytes) Delta",
    "Bytes Out (KBytes) Delta",
    "Caching Objects Created in Memory Delta",
    "Caching Objects Removed from Memory Delta",
    "DNS Queries Reused Delta",
    "New DNS Queries Delta",
    "DNS Query failures Delta",
};

// Figures of the previous record: the seventeen 64-bit counters of
// columns 3-6 and 12-23 (bytes in KiB), then the five thread counts.
uint64_t previous[16];
uint32_t previous_threads[5];

std::string legend_build()
{
    std::string legend;
    for (const char *name : column_names) {
        if (!legend.empty())
            legend += " , ";
        legend += name;
    }
    return legend + "\n";
}

// Pages of pagesize bytes in KiB, without overflow for any page count.
uint64_t pages_to_kib(long pages)
{
    if (pages <= 0)
        return 0;
    long pagesize = sysconf(_SC_PAGESIZE);
    if (pagesize <= 0)
        return 0;
    return (uint64_t)pages / 1024 * (uint64_t)pagesize +
           (uint64_t)pages % 1024 * (uint64_t)pagesize / 1024;
}

void file_close()
{
    if (plogfd >= 0)
        close(plogfd);
    plogfd = -1;
}

} // namespace

PerformanceLog *performance_log = nullptr;
int plogfd = -1;
const std::string performance_legend = legend_build();
int performance_log_write_invl = 2;
uint64_t val_total_system_memory = pages_to_kib(sysconf(_SC_PHYS_PAGES));

PerformanceCounter::PerformanceCounter()
{
    pthread_rwlock_init(&lock, nullptr);
}

PerformanceCounter::~PerformanceCounter()
{
    pthread_rwlock_destroy(&lock);
}

uint64_t PerformanceCounter::get()
{
    pthread_rwlock_rdlock(&lock);
    uint64_t v = value;
    pthread_rwlock_unlock(&lock);
    return v;
}

void PerformanceCounter::add(uint64_t amount)
{
    pthread_rwlock_wrlock(&lock);
    value += amount;
    pthread_rwlock_unlock(&lock);
}

void PerformanceCounter::replace(uint64_t amount)
{
    pthread_rwlock_wrlock(&lock);
    value = amount;
    pthread_rwlock_unlock(&lock);
}

PerformanceLog::PerformanceLog()
{
    gettimeofday(&start_time, nullptr);
}

bool read_memory_usage(statm_t *statm)
{
    if (!statm_load(statm))
        return false;
    for (uint64_t *v : {&statm->size, &statm->resident, &statm->shared, &statm->text,
                        &statm->lib, &statm->data, &statm->dirty})
        *v /= 1024; // statm_load gives bytes
    return true;
}

std::string PerformanceLog::Build()
{
    statm_t memory{};
    // Figures that cannot be read are shown as 0.
    if (!read_memory_usage(&memory))
        memory = statm_t{};
    struct timeval now;
    gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    struct tm local;
    localtime_r(&seconds, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    statm_t rows{};
    thread_report(&rows);
    uint32_t threads[5] = {(uint32_t)rows.size, (uint32_t)rows.resident, (uint32_t)rows.shared,
                           (uint32_t)rows.text, (uint32_t)rows.lib};

    uint64_t elapsed = plogfd == -1 ? 0 : (uint64_t)(now.tv_sec - start_time.tv_sec);
    uint64_t figures[16] = {
        get_connections_handled(), get_connections_closed(), get_requests_completed(),
        get_clients_in_pool(),     get_threading_error(),    get_new_connection(),
        get_connection_fail(),     get_connection_pool_hit(), get_connection_pool_size(),
        get_bytes_in() >> 10,      get_bytes_out() >> 10,    get_cache_mmaps_created(),
        get_cache_mmaps_deleted(), get_dns_hit(),            get_dns_miss(),
        get_dns_fail(),
    };
    uint64_t free_memory = pages_to_kib(sysconf(_SC_AVPHYS_PAGES));

    char record[2048];
    int n = snprintf(record, sizeof record,
                     "\n%s,%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64
                     ",%u,%u,%u,%u,%u,%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64
                     ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%" PRIu64
                     ",%" PRIu64 ",%" PRIu64 ",%" PRIu64 ",%u,%u,%u,%u,%u,%u",
                     stamp, elapsed, figures[0], figures[1], figures[2], figures[3], threads[0],
                     threads[1], threads[2], threads[3], threads[4], figures[4], figures[5],
                     figures[6], figures[7], figures[8], figures[9], figures[10], figures[11],
                     figures[12], figures[13], figures[14], figures[15], val_total_system_memory,
                     free_memory, (unsigned)memory.size, (unsigned)memory.resident,
                     (unsigned)memory.shared, (unsigned)memory.text, (unsigned)memory.data,
                     (unsigned)memory.lib);
    std::string out(record, n > 0 ? std::min((size_t)n, sizeof record - 1) : 0);
    // Deltas: columns 32-35 (figures 0-3), 36-40 (threads), 41-52 (4-15).
    auto delta = [&out](uint64_t now_value, uint64_t before) {
        out += "," + std::to_string((int64_t)(now_value - before));
    };
    for (int i = 0; i < 4; i++)
        delta(figures[i], previous[i]);
    for (int i = 0; i < 5; i++)
        out += "," + std::to_string((int64_t)threads[i] - (int64_t)previous_threads[i]);
    for (int i = 4; i < 16; i++)
        delta(figures[i], previous[i]);
    memcpy(previous, figures, sizeof previous);
    memcpy(previous_threads, threads, sizeof previous_threads);
    if (out.size() > RECORD_MAX)
        out.resize(RECORD_MAX);
    return out;
}

void PerformanceLog::Write()
{
    std::string record = Build();
    if (plogfile[0] == '\0')
        return;
    if (plogfd == -1) {
        plogfd = s_open64(plogfile, O_RDWR | O_CREAT, 0640);
        if (plogfd < 0) {
            plogfd = -1;
            putlog(LOG_ERROR, "failed to open %s", plogfile);
            return;
        }
        off_t end = lseek(plogfd, 0, SEEK_END);
        if (end == 0 && write(plogfd, performance_legend.data(), performance_legend.size()) !=
                            (ssize_t)performance_legend.size()) {
            putlog(LOG_ERROR, "failed to write into %s", plogfile);
            file_close();
            return;
        }
    }
    if (write(plogfd, record.data(), record.size()) != (ssize_t)record.size()) {
        putlog(LOG_ERROR, "failed to write into %s", plogfile);
        file_close();
    }
}

void *performance_check(void *)
{
    for (;;) {
        if (performance_log)
            performance_log->Write();
        sleep(performance_log_write_invl);
    }
    return nullptr;
}
