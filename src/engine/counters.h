// The network layer's statistics and performance-log events.
//
// The sockets, the resolver and the outgoing-connection code report what
// they did through these calls; each one feeds the global statistics
// (Stats::Increment) and the performance log (PerformanceLog::set_*) once
// start-up has made it.
#ifndef KV_ENGINE_COUNTERS_H
#define KV_ENGINE_COUNTERS_H

#include <cstdint>

// A socket was destroyed: PerformanceLog set_bytes_in / set_bytes_out, and
// "network" "bytes out" then "bytes in" (each only when not 0).
void counters_socket_closed(uint64_t bytes_in, uint64_t bytes_out);

// An accepted connection was closed: PerformanceLog set_connections_closed(1).
void counters_connection_closed();

// net_dns answered from the cache: PerformanceLog set_dns_hit,
// "DNS cache" "hit".
void counters_dns_hit();
// net_dns asked the resolver and stored the answer: set_dns_miss,
// "DNS cache" "miss".
void counters_dns_miss();
// A name did not resolve: PerformanceLog set_dns_fail.
void counters_dns_fail();

// net_connect succeeded: "network" "successful connections",
// PerformanceLog set_new_connection.
void counters_connect_ok();
// net_connect failed: "network" "failed connections" (and "DNS failures"
// when dns_failure is set), PerformanceLog set_connection_fail.
void counters_connect_failed(bool dns_failure);

#endif
