// GLOBAL_T: the process-wide record built once by config() and never freed.
#ifndef KV_ENGINE_GLOBAL_H
#define KV_ENGINE_GLOBAL_H

#include <pthread.h>
#include <sys/resource.h>

struct LOGBUFFER;
struct HASH_TABLE;
class ServerPool;
class ClientPool;
struct TIMERS;
class Stats;
struct PASSWORD_CACHE_TABLE;
struct DN_CACHE_TABLE;

struct GLOBAL_T {
    pthread_mutex_t rusage_lock;
    struct rusage rusage_totals;
    LOGBUFFER *logbuffer;
    HASH_TABLE *dns_cache;
    ServerPool *server_pool;
    ClientPool *client_pool;
    TIMERS *timers;
    Stats *stats;
    pthread_mutex_t dns_lock;
    PASSWORD_CACHE_TABLE *password_cache;
    pthread_rwlock_t password_cache_lock;
    DN_CACHE_TABLE *dn_cache;
    pthread_rwlock_t dn_cache_lock;
};

// Null until config() has built the record.
extern GLOBAL_T *global;

#endif
