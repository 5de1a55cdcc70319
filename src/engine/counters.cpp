// Statistics and performance-log events of the network layer.
#include "engine/counters.h"

#include "engine/global.h"
#include "runtime/performance.h"
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
    if (performance_log) {
        performance_log->set_bytes_in(bytes_in);
        performance_log->set_bytes_out(bytes_out);
    }
    if (bytes_out != 0)
        count("network", "bytes out", bytes_out);
    if (bytes_in != 0)
        count("network", "bytes in", bytes_in);
}

void counters_connection_closed()
{
    if (performance_log)
        performance_log->set_connections_closed(1);
}

void counters_dns_hit()
{
    if (performance_log)
        performance_log->set_dns_hit(1);
    count("DNS cache", "hit");
}

void counters_dns_miss()
{
    if (performance_log)
        performance_log->set_dns_miss(1);
    count("DNS cache", "miss");
}

void counters_dns_fail()
{
    if (performance_log)
        performance_log->set_dns_fail(1);
}

void counters_connect_ok()
{
    if (performance_log)
        performance_log->set_new_connection(1);
    count("network", "successful connections");
}

void counters_connect_failed(bool dns_failure)
{
    if (dns_failure)
        count("network", "DNS failures");
    if (performance_log)
        performance_log->set_connection_fail(1);
    count("network", "failed connections");
}
