// Signals and process exit: the registered exit steps and the guard that
// runs them once, the signal thread and the crash handlers.
#include "runtime/signals.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <pthread.h>
#include <unistd.h>

#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/thread.h"

namespace {

[[noreturn]] void exit_run(int status, bool announce);
[[noreturn]] void exit_wait_for_owner(int status);
void signal_set_waited(sigset_t *set);
void *signal_thread(void *arg);
void crash_handler(int sig);
int crash_handler_install(int sig);

// Written under exit_steps_lock; the exit sequence reads the count first,
// so it never sees a slot that is being filled.
exit_step_t exit_steps[EXIT_STEPS_MAX];
int exit_step_flags[EXIT_STEPS_MAX];
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
    log_drain();
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

// The signals that the signal thread takes.
void signal_set_waited(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGUSR2);
}

// The signal thread: owns a row of the thread table (so its log lines
// carry client id 0) and does each signal's work as ordinary thread code.
void *signal_thread(void *)
{
    sigset_t set;
    signal_set_waited(&set);
    for (;;) {
        int sig = 0;
        int err = sigwait(&set, &sig);
        if (err != 0) {
            putlog_system(LOG_ERROR, "sigwait", err, ", in %s, signal not received",
                          "signal_thread");
            struct timespec pause = {1, 0};
            nanosleep(&pause, nullptr);
            continue;
        }
        signal_handle(sig);
    }
    return nullptr;
}

// Set once by start-up and only read afterwards, so a crash handler can
// read it without a lock.
std::atomic<const char *> crash_unlink_path{nullptr};

// SIGSEGV and SIGABRT.  The process cannot be trusted any more: no lock,
// no allocation, no log machinery.  The backtrace and the line go to the
// native log's descriptor (standard error without one), the PID file is
// removed and the process ends with the failure status.  The handler is
// reset on entry, so a fault inside it ends the process the default way.
void crash_handler(int sig)
{
    int saved = errno;
    int fd = logfd >= 0 ? logfd : STDERR_FILENO;
    void *frames[20];
    int count = backtrace(frames, 20);
    backtrace_symbols_fd(frames, count, fd);
    const char *line = sig == SIGSEGV
                           ? "advice: Recieved Signal for Segmentation violation\n"
                           : "error: Recieved Signal for IOT trap \n";
    fd_write_all(fd, line, strlen(line));
    if (daemonize == 0 && fd != STDOUT_FILENO)
        fd_write_all(STDOUT_FILENO, line, strlen(line));
    const char *path = crash_unlink_path.load();
    if (path != nullptr && path[0] != '\0')
        unlink(path);
    errno = saved;
    _exit(EXIT_STATUS_FATAL);
}

int crash_handler_install(int sig)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = crash_handler;
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    if (sigaction(sig, &action, nullptr) != 0) {
        putlog_system(LOG_ERROR, "sigaction", errno,
                      ", in %s, unable to install handler of signal %d", "signal_setup",
                      sig);
        return -1;
    }
    return 0;
}

} // namespace

int exit_step_add(exit_step_t step, int flags)
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
    exit_step_flags[count] = flags;
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

void exit_hangup()
{
    if (exit_in_progress())
        return;
    int count = exit_step_count.load(std::memory_order_acquire);
    for (int i = 0; i < count; i++)
        if (exit_step_flags[i] & EXIT_STEP_HANGUP)
            exit_steps[i]();
}

void signal_block()
{
    sigset_t set;
    signal_set_waited(&set);
    int err = pthread_sigmask(SIG_BLOCK, &set, nullptr);
    if (err != 0) {
        putlog_system(LOG_ERROR, "pthread_sigmask", err, ", in %s, unable to block signals",
                      "signal_block");
    }
}

int signal_setup()
{
    int rc = 0;
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) {
        putlog_system(LOG_ERROR, "sigaction", errno, ", in %s, unable to ignore SIGPIPE",
                      "signal_setup");
        rc = -1;
    }
    // backtrace loads its unwinder on first use, which allocates: done
    // here once so that the crash handlers never need to.
    void *frame[1];
    backtrace(frame, 1);
    if (crash_handler_install(SIGSEGV) != 0 || crash_handler_install(SIGABRT) != 0)
        rc = -1;
    signal_block();
    if (thread_create_internal(signal_thread, nullptr) < 0) {
        putlog(LOG_ERROR, "signals: the signal thread could not be started, "
                          "TERM, HUP, USR1 and USR2 will not be answered");
        rc = -1;
    }
    return rc;
}

void signal_handle(int sig)
{
    switch (sig) {
    case SIGTERM:
        putlog(LOG_ADVICE, "Recieved TERM Signal to EXIT");
        exit_sequence(0);
    case SIGHUP:
        putlog(LOG_ADVICE, "Recieved HUP Signal for cleaning cache and closing all FDs");
        exit_hangup();
        fd_failure();
        break;
    case SIGUSR1:
        // logrotate writes the "Recieved Signal for Log Rotation" line.
        logrotate();
        break;
    case SIGUSR2:
        putlog(LOG_ADVICE, "Recieved Test Signal for USR2");
        break;
    default:
        break;
    }
}

void signal_crash_unlink_set(const char *path)
{
    crash_unlink_path.store(path);
}
