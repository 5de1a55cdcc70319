// Start-up: the command line, daemon mode, the switch to the configured
// user and group, the PID file, and config(), which builds everything that
// lives for the whole process.
//
// main (engine/main.cpp) is a thin caller of startup_main; the pieces are
// here so that they can be tested one by one.
#ifndef KV_ENGINE_STARTUP_H
#define KV_ENGINE_STARTUP_H

#include <sys/types.h>

// Result of startup_options when the process goes on to start.
#define STARTUP_CONTINUE (-1)

// The product and version labels of the banner and of -v.
#define STARTUP_PRODUCT "kelvarine"

// The whole start-up: options, checks of the two files, daemon mode or
// the foreground, user and group, and mainloop.  Returns only the exit
// status of a start-up that ends early (help, version, a refused option,
// a missing file); the caller exits with it.
int startup_main(int argc, char **argv);

// Reads the command line into the process settings of engine/options.h
// and runtime/log.h.  Returns STARTUP_CONTINUE, or the status the process
// must exit with after the help, the version line or a refused option was
// printed (0 for -h and -v, 1 for a refusal).  A letter that the program
// does not know is ignored.  Resets getopt first, so it may be called more
// than once (tests do).
int startup_options(int argc, char **argv);

// Checks the -c and -s files as start-up does before it forks: prints
// "config file option missing", "section file option missing" or
// "couldn't stat %s" on standard error and returns 1, or returns
// STARTUP_CONTINUE.  A slave (-M) needs no -c.
int startup_files_check();

// Makes every path of the command line absolute against the current
// directory (-c, -s, -l, -a, -e, -r, -p, -m and the host feed named after
// the access log), so that a daemon, which changes to "/", finds the files
// the checks before the fork found.  A -c that names a URL stays.  Prints
// a message on standard error and returns 1 when a path would not fit or
// the current directory cannot be read, else STARTUP_CONTINUE.
int startup_paths_absolute();

// Parses the -L value "address:port".  The address must be a dotted IPv4
// quad of at most 15 characters and the port a number from 1 to 65535;
// nothing else is accepted, so a typing error can never mean "every
// interface" or a wrapped port.  Fills ip (16 bytes) and port and returns
// 0, or returns -1 with the reason in `why` (why_size bytes).
int listen_option_parse(const char *text, char *ip, int *port, char *why,
                        size_t why_size);

// Prints the help on standard error; argv[0] names the program.
void show_help(char **argv);

// The build number printed by -v and the help.
int get_my_release_build();

// Writes the PID file for this process: the id of the process named in an
// existing file when that process is alive (start-up must then stop), 1
// when the file cannot be written, 0 when it was written.  The file is
// written whole to a temporary file beside it and renamed into place, so a
// reader never sees a partial id.
pid_t pid_check(const char *path);

// Removes the PID file when this process wrote it; an exit step.
void pid_remove();

// Switch to the -g group and the -u user, or record the current ones in
// `group` and `username` when the option was not given.  Switching to
// either also drops the supplementary groups inherited from the starting
// user.  A name that does not exist or a switch that fails prints its
// message and ends the process with status 1.  Call fix_gid first.
void fix_gid();
void fix_uid();

// Writes the categorisation host feed (smfeed) from the access log.
void create_feedlog();

// Builds the process (global record, OpenSSL, caches, pools, schema,
// sections, signals, configuration, listeners, timers, service threads).
// Called once by mainloop; ends the process with status 1 when the schema
// or the configuration file cannot be used.
void config();

#endif
