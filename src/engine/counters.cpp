// Statistics and performance-log events of the network layer.  The global
// statistics are counted here; the performance log is not built yet, and
// its counters stay untouched until it is.
#include "engine/counters.h"

#include "engine/global.h"
#include "runtime/stats.h"

namespace {

void count(const char *group, const char *name, uint64_t amount = 1);

// Nothing before start-up has built the global statistics.
void count(const char *group, const char *name, uint64_t amount)
{
    if (global != nullptr && global->stats != nullptr)
        global->stats->Increment(group, name, amount);
}

}  // namespace

void counters_socket_closed(uint64_t bytes_in, uint64_t bytes_out)
{
    if (bytes_out != 0)
        count("network", "bytes out", bytes_out);
    if (bytes_in != 0)
        count("network", "bytes in", bytes_in);
}

void counters_connection_closed() {}

void counters_dns_hit()
{
    count("DNS cache", "hit");
}

void counters_dns_miss()
{
    count("DNS cache", "miss");
}

void counters_dns_fail() {}

void counters_connect_ok()
{
    count("network", "successful connections");
}

void counters_connect_failed(bool dns_failure)
{
    if (dns_failure)
        count("network", "DNS failures");
    count("network", "failed connections");
}
