// Process exit: the registered exit steps and the guard that runs them once.
#include "runtime/signals.h"

#include <atomic>
#include <ctime>
#include <pthread.h>
#include <unistd.h>

#include "runtime/log.h"

namespace {

[[noreturn]] void exit_run(int status, bool announce);
[[noreturn]] void exit_wait_for_owner(int status);

// Written under exit_steps_lock; the exit sequence reads the count first,
// so it never sees a slot that is being filled.
exit_step_t exit_steps[EXIT_STEPS_MAX];
std::atomic<int> exit_step_count{0};
pthread_mutex_t exit_steps_lock = PTHREAD_MUTEX_INITIALIZER;

// Thread id of the thread that runs the exit sequence; 0 until one does.
std::atomic<pid_t> exit_owner{0};
std::atomic<bool> exiting{false};

// How long a second thread waits for the first to end the process.  The
// steps write the cache journals, which may take a while on a big cache;
// past this the waiting thread ends the process itself.
constexpr int EXIT_WAIT_SECONDS = 60;

[[noreturn]] void exit_run(int status, bool announce)
{
    exit_begin();
    pid_t self = gettid();
    pid_t expected = 0;
    if (!exit_owner.compare_exchange_strong(expected, self)) {
        // A step of our own sequence failed and came back here: finishing
        // the other steps would risk the same fault again.
        if (expected == self)
            _exit(status);
        exit_wait_for_owner(status);
    }
    if (announce)
        putlog(LOG_ADVICE, "Recieved Signal for Termination");
    int count = exit_step_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++)
        exit_steps[i]();
    _exit(status);
}

// Another thread runs the exit sequence: this one must not run it again,
// and waits (bounded) for the process to end.
[[noreturn]] void exit_wait_for_owner(int status)
{
    for (int i = 0; i < EXIT_WAIT_SECONDS * 10; i++) {
        struct timespec pause = {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    _exit(status);
}

} // namespace

int exit_step_add(exit_step_t step)
{
    if (step == nullptr)
        return -1;
    pthread_mutex_lock(&exit_steps_lock);
    int count = exit_step_count.load(std::memory_order_relaxed);
    if (count >= EXIT_STEPS_MAX) {
        pthread_mutex_unlock(&exit_steps_lock);
        return -1;
    }
    exit_steps[count] = step;
    exit_step_count.store(count + 1, std::memory_order_release);
    pthread_mutex_unlock(&exit_steps_lock);
    return 0;
}

void sigterm(int status)
{
    exit_run(status, true);
}

void exit_sequence(int status)
{
    exit_run(status, false);
}

void exit_begin()
{
    exiting.store(true, std::memory_order_release);
}

bool exit_in_progress()
{
    return exiting.load(std::memory_order_acquire);
}
