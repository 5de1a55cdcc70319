// The DNS blacklist: whether a request's domain is listed in a blacklist
// zone, asked through the engine's DNS cache.
#ifndef KV_FILTERS_DNSBL_H
#define KV_FILTERS_DNSBL_H

#include <string>

#include "config/section.h"

class Filebuf;
class IpRangeList;
struct CONNECTION_T;

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

// Section "dnsbl": no rules; the check reads the global values in place.
//   global 0  enabled    BOOL           the check acts only when it is 1
//   global 1  template   STRING         page of a block; empty: "blocked"
//   global 2  zone       STRING         blacklist zone; empty: no check
//   global 3  addresses  IP_RANGE_LIST  answers that mark a listed domain;
//                                       empty: no check
class DnsblSection : public Section {
public:
    DnsblSection();
    void update() override {}
    // 1 when the request was refused and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection);

    const int *enabled;
    const std::string *template_name;
    const std::string *zone;
    const IpRangeList *addresses;
};

extern DnsblSection *dnsbl_section;

int dnsbl_reqcheck(CONNECTION_T *connection, Filebuf *body);

#endif
