// Process exit: the one way the process ends on purpose.
//
// The exit sequence runs the exit steps that the modules registered
// (closing the listeners, the cache's graceful exit, saving the category
// cache, removing the PID file), in the order they were added, and ends the
// process with _exit.  It runs at most once: the first thread to reach it
// does the work; a later thread never runs it a second time.  The signal
// handlers themselves live elsewhere and call in here.
#ifndef KV_RUNTIME_SIGNALS_H
#define KV_RUNTIME_SIGNALS_H

// Status of an end that is a failure (the fatal assertion, allocation failure).
#define EXIT_STATUS_FATAL 1

// Room for exit steps; start-up registers a handful.
#define EXIT_STEPS_MAX 16

typedef void (*exit_step_t)();

// Registers a step of the exit sequence; steps run in the order added.
// A step runs while other threads may still hold any lock of the process,
// even the failing thread itself after a fatal assertion: it takes its
// locks with a try-lock or a short timed wait and skips its work when it
// cannot get them.  Returns 0, or -1 when the table is full.
int exit_step_add(exit_step_t step);

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

#endif
