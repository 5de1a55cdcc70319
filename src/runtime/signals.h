// Signals and process exit: the one way the process ends on purpose.
//
// The exit sequence runs the exit steps that the modules registered
// (closing the listeners, the cache's graceful exit, saving the category
// cache, removing the PID file), in the order they were added, and ends the
// process with _exit.  It runs at most once: the first thread to reach it
// does the work; a later thread never runs it a second time.
//
// SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 are blocked in every thread and
// taken by one signal thread (sigwait) that owns a row of the thread table,
// so their work (which logs and takes locks) runs as ordinary thread code.
// Only SIGSEGV and SIGABRT have asynchronous handlers, which do what is
// safe in a signal handler: the backtrace, the line, the PID file, _exit.
// SIGPIPE is ignored: a write to a closed peer fails with EPIPE instead.
#ifndef KV_RUNTIME_SIGNALS_H
#define KV_RUNTIME_SIGNALS_H

// Status of an end that is a failure (the fatal assertion, allocation failure).
#define EXIT_STATUS_FATAL 1

// Room for exit steps; start-up registers a handful.
#define EXIT_STEPS_MAX 16

typedef void (*exit_step_t)();

// Flag of exit_step_add: the step also runs on SIGHUP (exit_hangup).
#define EXIT_STEP_HANGUP 0x1

// Registers a step of the exit sequence; steps run in the order added.
// A step runs while other threads may still hold any lock of the process,
// even the failing thread itself after a fatal assertion: it takes its
// locks with a try-lock or a short timed wait and skips its work when it
// cannot get them.  Returns 0, or -1 when the table is full.
int exit_step_add(exit_step_t step, int flags = 0);

// The part of the exit sequence that SIGHUP runs: every step flagged
// EXIT_STEP_HANGUP, in the order added; the process goes on.  Nothing
// while the process is ending.
void exit_hangup();

// The termination request: logs "Recieved Signal for Termination" under
// LOG_ADVICE and runs the exit sequence with `status` (0 for an orderly end).
[[noreturn]] void sigterm(int status);

// The exit sequence without a log line of its own, for callers that logged
// their reason already.  A second thread that reaches it while the first
// is at work waits for the process to end (and ends it itself with `status`
// should the first never finish); a step that ends up here again on the
// thread that runs the sequence ends the process at once.
[[noreturn]] void exit_sequence(int status);

// Marks the process as ending.  From then on the log takes its locks with a
// short bound, so no line can wait for ever on a lock that a failing thread
// holds.  Called by the fatal assertion before its log lines and by the
// exit sequence.
void exit_begin();

// Whether exit_begin has been called.
bool exit_in_progress();

// Blocks SIGTERM, SIGHUP, SIGUSR1 and SIGUSR2 in the calling thread; every
// thread it starts afterwards inherits the mask.  Start-up calls it first
// of all, so that no thread ever takes these signals asynchronously.
void signal_block();

// Ignores SIGPIPE, installs the SIGSEGV and SIGABRT handlers, blocks the
// four signals above and starts the signal thread.  Returns 0, or -1 when
// a handler or the thread could not be set up (logged).
int signal_setup();

// What the signal thread does for one signal: SIGTERM logs "Recieved TERM
// Signal to EXIT" and runs the exit sequence with status 0; SIGHUP logs
// "Recieved HUP Signal for cleaning cache and closing all FDs", runs
// exit_hangup and closes the pooled client and server connections
// (fd_failure); SIGUSR1 marks the logs for rotation (logrotate); SIGUSR2
// logs "Recieved Test Signal for USR2".  Anything else does nothing.
void signal_handle(int sig);

// The file the crash handlers remove (the PID file this process wrote),
// or null for none.  The text must stay valid until the process ends.
void signal_crash_unlink_set(const char *path);

#endif
