// The DNS blacklist lookup.
#include "filters/dnsbl.h"

#include <arpa/inet.h>
#include <cstring>

#include "config/values.h"
#include "engine/dns.h"
#include "runtime/compat.h"

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
