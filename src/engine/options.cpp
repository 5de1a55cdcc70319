// Defaults of the process-wide settings; the command line overrides them.
#include "engine/options.h"
#include "engine/global.h"

char configfile[256];
char sectionfile[256];
char slogfile[256];
char elogfile[256];
char plogfile[512] = "/opt/kelvarine/kelvarine/logs/performance/performance.log";
char pidfile[256];
char smfeed[256];
char proxyhost[256];
char listenip[16];
int listenport = 0;
char masterhost[256];
int masterport = 0;
int slave = 0;
char syncsections[256];
char nosyncsections[256];
int syncinterval = 60;
char moduledir[256] = "/opt/kelvarine/modules/";
char username[256];
char group[256];
char pamfile[256] = "kelvarine";
int password_cachesize = 100;
int password_cachexpire = 600;
int authflag = 0;
int MAXTHREADS = 16384;
int opt_stack = 0;
int max_opt_stack = 1048576;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
// 0: the kernel sizes the socket buffers and keeps tuning them.  Fixed
// buffers switch that tuning off; 8 KiB ones cap every transfer at 16 KiB
// per round trip (and stall 40 ms per 16 KiB on loopback), so explicit
// sizes are only set when -b asks for them.
int SND_BUF = 0;
int RCV_BUF = 0;
std::atomic<int> BLOCKSIZE{8192};
int TCP_KEEPIDLE_TIME = 900;
int TCP_KEEPINTVL_TIME = 75;
int TCP_KEEPCNT_COUNTS = 9;
int overload_factor = 1;

GLOBAL_T *global = nullptr;

size_t block_size()
{
    int size = BLOCKSIZE.load(std::memory_order_relaxed);
    return size > 0 ? (size_t)size : 8192;
}
