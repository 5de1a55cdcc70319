// The DNS blacklist lookup.
#include "filters/dnsbl.h"

#include <arpa/inet.h>
#include <cstring>

#include "config/values.h"
#include "engine/dns.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "filters/filter.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/processors.h"

std::string dnsbl_domain(const char *host)
{
    std::string text = host ? host : "";
    size_t last = text.rfind('.');
    if (last == std::string::npos || last == 0)
        return text;
    size_t second = text.rfind('.', last - 1);
    if (second == std::string::npos)
        return text;
    return text.substr(second + 1);
}

std::string dnsbl_query(const char *host, const std::string &zone)
{
    std::string name = dnsbl_domain(host) + "." + zone;
    if (name.size() > DNSBL_QUERY_MAX)
        name.resize(DNSBL_QUERY_MAX);
    return name;
}

bool dnsbl_listed(const char *host, const std::string &zone, const IpRangeList &addresses,
                  std::string *address)
{
    if (host == nullptr || *host == '\0' || zone.empty() || addresses.ranges.empty())
        return false;
    HOSTENT *answer = net_dns(dnsbl_query(host, zone).c_str());
    if (answer == nullptr)
        return false;
    char dotted[INET_ADDRSTRLEN];
    struct in_addr in;
    memcpy(&in, answer->address, sizeof(in));
    bool ok = inet_ntop(AF_INET, &in, dotted, sizeof(dotted)) != nullptr;
    hostent_free(answer);
    if (!ok || !addresses.has(dotted))
        return false;
    *address = dotted;
    return true;
}

// ---- Section ----------------------------------------------------------------

DnsblSection *dnsbl_section = nullptr;

DnsblSection::DnsblSection() : Section("dnsbl", 0)
{
    enabled = &fields[0].int_value;
    template_name = &fields[1].raw;
    zone = &fields[2].raw;
    addresses = &fields[3].ip_ranges;
    processors.Add(dnsbl_reqcheck, PROCESSOR_REQCHECK);
}

int DnsblSection::check_and_block(CONNECTION_T *connection)
{
    read_lock();
    const char *host = connection->request ? header_rule_host(connection->request) : nullptr;
    if (*enabled != 1 || (connection->bypass & BYPASS_DNSBL) || host == nullptr || *host == '\0') {
        unlock();
        return 0;
    }
    std::string address;
    if (!dnsbl_listed(host, *zone, *addresses, &address)) {
        unlock();
        return 0;
    }
    connection->variables["FILTER"] = "URL BlackList";
    connection->variables["DNSBL_IP"] = address;
    filter_block(connection, filter_page_name("", *template_name, "blocked"), 404, "dnsbl",
                 address);
    unlock();
    putlog(LOG_DNSBL, "domain %s is blacklisted", host);
    return 1;
}

int dnsbl_reqcheck(CONNECTION_T *connection, Filebuf *)
{
    return dnsbl_section ? dnsbl_section->check_and_block(connection) : 0;
}
