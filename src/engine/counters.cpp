// Statistics and performance-log events of the network layer.  The global
// statistics and the performance log are not built yet; until they are,
// these calls record nothing.
#include "engine/counters.h"

void counters_socket_closed(uint64_t, uint64_t) {}
void counters_connection_closed() {}
void counters_dns_hit() {}
void counters_dns_miss() {}
void counters_dns_fail() {}
void counters_connect_ok() {}
void counters_connect_failed(bool) {}
void counters_stats_release(Stats *) {}
