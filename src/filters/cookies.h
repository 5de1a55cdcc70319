// Cookies: CookieHeader, the parsed form of one Cookie or Set-Cookie value,
// and the cookie filter ("cookies-filtering", CookieSection with rule
// Cookie), which decides for each cookie line the header writer sends
// whether it passes.  A line that passes is written exactly as it came; a
// line that does not is left out.  The "cookies" page lists the cookies a
// request sent and its response set.
//
// Fields, read by position:
//   global 0  enabled     BOOL               0: every cookie passes
//   global 1  mode        INT                0 deny list first, else allow list first
//   rule 0-3  enabled, comment, groups, profiles (as every filter rule)
//   rule 4    year        INT_RANGE, optional  expiry year, in full
//   rule 5    month       INT_RANGE, optional  0 (January) to 11
//   rule 6    day         INT_RANGE, optional  1 to 31
//   rule 7    weekday     INT_RANGE, optional  0 (Sunday) to 6
//   rule 8    hour        INT_RANGE, optional  0 to 23
//   rule 9    minute      INT_RANGE, optional  0 to 59
//   rule 10   domain      STRING (expr)      incoming cookie's domain; empty: any
//   rule 11   path        STRING (expr)      incoming cookie's path; empty: any
//   rule 12   direction   STRING_SELECT_ONE  0 incoming, 1 outgoing, 2 both
//   rule 13   range_mode  STRING_SELECT_ONE  0 one window, else each part in its range
// Subsection 0 "allow" and 1 "deny".
#ifndef KV_FILTERS_COOKIES_H
#define KV_FILTERS_COOKIES_H

#include <ctime>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "filters/filter.h"

// Directions of a cookie line.
enum {
    COOKIE_INCOMING = 0,  // Set-Cookie of a response
    COOKIE_OUTGOING = 1,  // Cookie of a request
};

class CookieHeader {
public:
    CookieHeader();
    // An empty header, then Parse(value).
    explicit CookieHeader(const std::string &value);

    // Reads a value: pieces between ";" (blanks and "$" before a name
    // skipped), each split at its first "="; version, domain, path and
    // expires are attributes, every other named piece a pair.  Pieces
    // without "=" or with an empty value are dropped; an expires value in
    // neither date form stays a pair (logged).
    void Parse(const std::string &value);
    // The value written back: the pairs, then domain, path, expires and
    // version, in that order; empty without pairs.
    std::string Build() const;

    bool has_expiry;
    int version;
    std::vector<std::pair<std::string, std::string>> pairs;
    std::string domain;
    std::string path;
    struct tm expiry;
};

class Cookie {
public:
    // The rule deciding when no allow rule admits a line (allow list first).
    Cookie();
    explicit Cookie(const Item &item);
    Cookie(const Cookie &) = delete;
    Cookie &operator=(const Cookie &) = delete;

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    bool timed;              // some time field is active
    tm_partial lower;
    tm_partial upper;
    std::string domain;
    std::string path;
    int32_t direction;
    int32_t range_mode;
    bool broken;             // an expression did not compile: never applies
    FilterRegex domain_regex;
    FilterRegex path_regex;
};

class CookieSection : public Section {
public:
    // Installs the header writer's cookie check.
    CookieSection();
    ~CookieSection() override;

    // Section
    void update() override;

    // 1 when the line may pass, 0 when it is left out.
    int check(int direction, CONNECTION_T *connection, CookieHeader &header);

    const int32_t *enabled;
    const int32_t *mode;

private:
    bool applies(const Cookie &rule, int direction, CONNECTION_T *connection,
                 const CookieHeader &header) const;

    std::list<Cookie> allow;
    std::list<Cookie> deny;
    Cookie default_rule;
};

extern CookieSection *cookie_section;

// Answers the request with the "cookies" page of its request and response.
void interface_cookies_show(CONNECTION_T *connection);

#endif
