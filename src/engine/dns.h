// Host-name resolution with the process-wide DNS cache.
//
// The cache lives in global->dns_cache (a HASH_TABLE of 8111 buckets made
// at start-up) and is guarded by global->dns_lock, also for every reader
// outside this module.  Keys are lower-cased host names, values the dotted
// text of the name's first IPv4 address; each node's time stamp is when the
// lookup that stored it began.  Failed lookups are not cached.
#ifndef KV_ENGINE_DNS_H
#define KV_ENGINE_DNS_H

#include "runtime/compat.h"

#define DNS_CACHE_BUCKETS 8111
// Seconds an answer is served from the cache.
#define DNS_CACHE_TTL 600
// Longest name looked up; no DNS name comes near it.
#define DNS_KEY_MAX 511

// Resolves a host name or a dotted-quad text.  Returns a new HOSTENT that
// the caller frees with hostent_free, or null when the name does not
// resolve (an invalid dotted quad or a name longer than DNS_KEY_MAX does
// not either).  The resolver runs without the cache lock held.
HOSTENT *net_dns(const char *name);

// Drops the cache entry of a name; nothing for a dotted quad or an unknown
// name.
void net_dns_purge(const char *name);

// Timer callback (every 60 seconds): drops every entry DNS_CACHE_TTL
// seconds old or older.
void dnscache_clean(void *arg);

// The resolver net_dns asks on a cache miss: p_gethostbyname.  Tests put a
// resolver of their own here so that no lookup leaves the machine.
extern HOSTENT *(*dns_resolver)(const char *name);

#endif
