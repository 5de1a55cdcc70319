// Thread table: own-row lookups, hand-over to idle workers, full tables and
// the resource-usage totals.
#include "runtime/thread.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <thread>

#include "engine/global.h"
#include "engine/options.h"
#include "runtime/log.h"
#include "runtime/stats.h"

namespace {

// Stands in for a connection: the table only passes the pointer on.
CONNECTION_T *fake_connection(int *marker)
{
    return reinterpret_cast<CONNECTION_T *>(marker);
}

// What the engine's seams saw.
std::atomic<int> thread_index_set{-1};
std::promise<std::pair<CONNECTION_T *, int>> *entry_seen = nullptr;

void set_thread_index(CONNECTION_T *, int row)
{
    thread_index_set = row;
}

// A worker body that reports its connection and its own row.
void worker_entry(CONNECTION_T *connection)
{
    entry_seen->set_value({connection, thread_find()});
}

void row_set(int row, int state)
{
    pthread_mutex_lock(&threadlistlock);
    threads[row].state = state;
    threads[row].thread = pthread_self();
    pthread_mutex_unlock(&threadlistlock);
}

int row_state(int row)
{
    pthread_mutex_lock(&threadlistlock);
    int state = threads[row].state;
    pthread_mutex_unlock(&threadlistlock);
    return state;
}

// Waits at most 10 seconds for a row to reach a state.
bool row_wait_state(int row, int state)
{
    for (int i = 0; i < 1000; i++) {
        if (row_state(row) == state)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

// The newest line of the log ring, or "" when it is empty.
std::string newest_line()
{
    LOGBUFFER *ring = global->logbuffer;
    pthread_mutex_lock(&ring->lock);
    std::string line = ring->head != nullptr ? ring->head->text : "";
    pthread_mutex_unlock(&ring->lock);
    return line;
}

int ring_count()
{
    LOGBUFFER *ring = global->logbuffer;
    pthread_mutex_lock(&ring->lock);
    int count = ring->count;
    pthread_mutex_unlock(&ring->lock);
    return count;
}

class ThreadTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_maxthreads = MAXTHREADS;
        MAXTHREADS = 8;
        threads_init();
        thread_index_set = -1;
        thread_worker_register(worker_entry, set_thread_index);
        // Log lines go to a ring the tests can read.
        static LOGBUFFER *ring = logbuffer_new();
        logbuffer_clear(ring);
        record.logbuffer = ring;
        pthread_mutex_init(&record.rusage_lock, nullptr);
        saved_global = global;
        global = &record;
    }
    void TearDown() override
    {
        global = saved_global;
        pthread_mutex_destroy(&record.rusage_lock);
        MAXTHREADS = saved_maxthreads;
    }

    int saved_maxthreads = 0;
    GLOBAL_T record{};
    GLOBAL_T *saved_global = nullptr;
};

TEST_F(ThreadTable, MainThreadOwnsRowZeroAndItsClientId)
{
    EXPECT_EQ(thread_find(), 0);
    EXPECT_EQ(row_state(0), THREAD_STARTING);
    EXPECT_EQ(thread_get_clientid(), 0u);
    thread_set_clientid(42);
    EXPECT_EQ(thread_get_clientid(), 42u);
    EXPECT_EQ(threads[0].client_id, 42u);
}

TEST_F(ThreadTable, ReportCountsRowsByState)
{
    row_set(1, THREAD_BUSY);
    row_set(2, THREAD_IDLE);
    row_set(3, THREAD_IDLE);
    row_set(4, THREAD_PREFETCHING);
    statm_t report{};
    report.data = 77; // the last two fields are not the table's
    thread_report(&report);
    EXPECT_EQ(report.size, 3u);     // free: rows 5 to 7
    EXPECT_EQ(report.resident, 1u); // busy
    EXPECT_EQ(report.shared, 2u);   // idle
    EXPECT_EQ(report.text, 1u);     // starting: the main thread's row 0
    EXPECT_EQ(report.lib, 1u);      // prefetching
    EXPECT_EQ(report.data, 77u);
}

TEST_F(ThreadTable, ThreadWithoutRowLogsWithClientIdZero)
{
    thread_set_clientid(7);
    putlog(LOG_WARNING, "from the main thread");
    EXPECT_NE(newest_line().find(" [7] "), std::string::npos) << newest_line();

    uint32_t seen = 1;
    std::thread stranger([&] {
        seen = thread_get_clientid();
        thread_set_clientid(99); // nothing to set, and no other row touched
        putlog(LOG_WARNING, "from a thread without a row");
    });
    stranger.join();
    EXPECT_EQ(seen, 0u);
    EXPECT_NE(newest_line().find(" [0] "), std::string::npos) << newest_line();
    EXPECT_EQ(thread_get_clientid(), 7u);
}

TEST_F(ThreadTable, ClientIdIsSetWhileAReaderHoldsTheTable)
{
    // A page that reads the table under threadlistlock does not stall the
    // requests that set their id and log: all of that finishes while the
    // reader still holds the lock (it lets go after 10 seconds at most).
    std::promise<void> held;
    std::promise<void> release;
    std::atomic<bool> still_held{true};
    std::thread reader([&] {
        pthread_mutex_lock(&threadlistlock);
        held.set_value();
        release.get_future().wait_for(std::chrono::seconds(10));
        still_held = false;
        pthread_mutex_unlock(&threadlistlock);
    });
    held.get_future().wait();
    thread_set_clientid(31);
    uint32_t seen = thread_get_clientid();
    putlog(LOG_WARNING, "while the table is read");
    bool in_time = still_held;
    release.set_value();
    reader.join();
    EXPECT_TRUE(in_time);
    EXPECT_EQ(seen, 31u);
    EXPECT_EQ(threads[0].client_id, 31u);
    EXPECT_NE(newest_line().find(" [31] "), std::string::npos) << newest_line();
    thread_set_clientid(0);
}

struct ServiceProbe {
    std::promise<int> found;
    std::promise<void> release;
    std::promise<uint32_t> after_release;
};

void *service_body(void *arg)
{
    auto *probe = static_cast<ServiceProbe *>(arg);
    thread_set_clientid(55);
    probe->found.set_value(thread_find());
    probe->release.get_future().wait();
    // The row was freed and taken over meanwhile: it is not ours any more.
    uint32_t id = thread_get_clientid();
    thread_set_clientid(1);
    probe->after_release.set_value(id);
    return nullptr;
}

TEST_F(ThreadTable, ServiceThreadFindsItsRowUntilTheRowIsFreed)
{
    ServiceProbe probe;
    int row = thread_create_internal(service_body, &probe);
    ASSERT_EQ(row, 1);
    EXPECT_EQ(probe.found.get_future().get(), row);

    pthread_mutex_lock(&threadlistlock);
    EXPECT_EQ(threads[row].state, THREAD_STARTING);
    EXPECT_EQ(threads[row].connection, reinterpret_cast<CONNECTION_T *>(&probe));
    EXPECT_EQ(threads[row].client_id, 55u);
    // Free the row as an ending worker does, and let another thread take it.
    threads[row].state = THREAD_BUSY;
    threads[row].thread = pthread_self();
    threads[row].client_id = 123;
    pthread_mutex_unlock(&threadlistlock);

    probe.release.set_value();
    EXPECT_EQ(probe.after_release.get_future().get(), 0u);
    EXPECT_EQ(threads[row].client_id, 123u);
}

struct IdleProbe {
    std::promise<CONNECTION_T *> woken_with;
};

// Goes idle on its row as the engine's worker does and waits for a
// connection.
void *idle_body(void *arg)
{
    auto *probe = static_cast<IdleProbe *>(arg);
    int row = thread_find();
    pthread_mutex_lock(&threadlistlock);
    threads[row].state = THREAD_IDLE;
    threads[row].connection = nullptr;
    struct timespec until = {time(nullptr) + 10, 0};
    while (threads[row].connection == nullptr &&
           pthread_cond_timedwait(&threads[row].wakeup, &threadlistlock, &until) == 0) {
    }
    CONNECTION_T *connection = threads[row].connection;
    pthread_mutex_unlock(&threadlistlock);
    probe->woken_with.set_value(connection);
    return nullptr;
}

TEST_F(ThreadTable, ConnectionGoesToIdleWorkerInRowFive)
{
    for (int row = 1; row <= 4; row++)
        row_set(row, THREAD_BUSY);
    IdleProbe probe;
    ASSERT_EQ(thread_create(idle_body, &probe), 5);
    ASSERT_TRUE(row_wait_state(5, THREAD_IDLE));

    int marker;
    CONNECTION_T *connection = fake_connection(&marker);
    EXPECT_EQ(process_new(connection), 5);
    EXPECT_EQ(thread_index_set, 5);
    EXPECT_EQ(row_state(5), THREAD_STARTING) << "starting until the worker takes it";
    auto woken = probe.woken_with.get_future();
    ASSERT_EQ(woken.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(woken.get(), connection);
}

TEST_F(ThreadTable, WithoutIdleWorkerANewWorkerRunsTheEntry)
{
    std::promise<std::pair<CONNECTION_T *, int>> seen;
    entry_seen = &seen;
    int marker;
    CONNECTION_T *connection = fake_connection(&marker);

    int row = process_new(connection);
    ASSERT_EQ(row, 1);
    auto result = seen.get_future().get();
    EXPECT_EQ(result.first, connection);
    EXPECT_EQ(result.second, row) << "the new worker finds the row it was given";
    entry_seen = nullptr;
}

TEST_F(ThreadTable, FullTableRefusesWorkersAndServiceThreads)
{
    for (int row = 1; row < MAXTHREADS; row++)
        row_set(row, THREAD_BUSY);
    int marker;
    int lines = ring_count();
    EXPECT_EQ(process_new(fake_connection(&marker)), -1);
    EXPECT_EQ(thread_index_set, -1);
    EXPECT_EQ(ring_count(), lines) << "a refused worker is not logged";

    EXPECT_EQ(thread_create_internal(service_body, nullptr), -1);
    EXPECT_NE(newest_line().find("error: increase MAXTHREADS: 8 maybe inadequate"),
              std::string::npos)
        << newest_line();
}

TEST_F(ThreadTable, EachEndingWorkerAddsTheWholeUsage)
{
    // Microseconds just short of a second must carry into the seconds.
    record.rusage_totals.ru_utime.tv_usec = 999999;

    struct rusage before;
    ASSERT_EQ(getrusage(RUSAGE_SELF, &before), 0);
    rusage_update();
    struct rusage first = record.rusage_totals;
    rusage_update();
    struct rusage second = record.rusage_totals;

    auto micros = [](const struct timeval &t) {
        return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_usec;
    };
    for (const struct rusage *r : {&first, &second}) {
        EXPECT_LT(r->ru_utime.tv_usec, 1000000);
        EXPECT_LT(r->ru_stime.tv_usec, 1000000);
    }
    EXPECT_GE(micros(first.ru_utime), 999999 + micros(before.ru_utime));
    // The second call adds the process's cumulative usage again.
    EXPECT_GE(micros(second.ru_utime) - micros(first.ru_utime),
              micros(first.ru_utime) - 999999);
    EXPECT_GE(micros(second.ru_stime), 2 * micros(before.ru_stime));
    EXPECT_GE(second.ru_minflt, 2 * first.ru_minflt);
    EXPECT_GE(first.ru_minflt, before.ru_minflt);
}

} // namespace
