// The DNS blacklist: whether a request's domain is listed in a blacklist
// zone, asked through the engine's DNS cache.
#ifndef KV_FILTERS_DNSBL_H
#define KV_FILTERS_DNSBL_H

#include <string>

class IpRangeList;

// Longest query name; a longer one is cut.
#define DNSBL_QUERY_MAX 1022

// The domain a host is looked up by: its last two labels (the text after
// the second dot from the end), or the whole host when it has fewer than
// two dots.
std::string dnsbl_domain(const char *host);

// The query name of a host in a zone: "<domain>.<zone>", cut to
// DNSBL_QUERY_MAX characters.
std::string dnsbl_query(const char *host, const std::string &zone);

// Resolves the host's query name in the zone and tells whether its first
// address lies in the listed ranges.  When it does, *address holds the
// dotted answer.  No answer means not listed.
bool dnsbl_listed(const char *host, const std::string &zone, const IpRangeList &addresses,
                  std::string *address);

#endif
