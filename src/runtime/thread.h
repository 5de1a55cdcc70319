// The thread table: one row per thread of the process.
#ifndef KV_RUNTIME_THREAD_H
#define KV_RUNTIME_THREAD_H

#include <cstdint>

// The calling thread's client id; 0 for a thread without a row.
uint32_t thread_get_clientid();

#endif
