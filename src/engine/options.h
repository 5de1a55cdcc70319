// Process-wide settings filled from the command line at start-up.
// The native-log settings (loglevel, daemonize, logfile) live with the log.
#ifndef KV_ENGINE_OPTIONS_H
#define KV_ENGINE_OPTIONS_H

#include <atomic>
#include <cstddef>

extern char configfile[256];
extern char sectionfile[256];
extern char slogfile[256];
extern char elogfile[256];
extern char plogfile[512];
extern char pidfile[256];
extern char smfeed[256];
extern char proxyhost[256];
extern char listenip[16];
extern int listenport;
extern char masterhost[256];
extern int masterport;
extern int slave;
extern char syncsections[256];
extern char nosyncsections[256];
extern int syncinterval;
extern char moduledir[256];
extern char username[256];
extern char group[256];
extern char pamfile[256];
extern int password_cachesize;
extern int password_cachexpire;
extern int authflag;
extern int MAXTHREADS;
extern int opt_stack;
extern int max_opt_stack;
extern int THREAD_TIMEOUT;
extern int CLIENT_POOL_TIMEOUT;
extern int SND_BUF;
extern int RCV_BUF;
// Written by -b and by every listener that is opened (a configuration load
// may open one while workers read it), hence atomic; read it through
// block_size().
extern std::atomic<int> BLOCKSIZE;
extern int TCP_KEEPIDLE_TIME;
extern int TCP_KEEPINTVL_TIME;
extern int TCP_KEEPCNT_COUNTS;
extern int overload_factor;

// The read block size in force: BLOCKSIZE, or 8192 while it is unset.
size_t block_size();

#endif
