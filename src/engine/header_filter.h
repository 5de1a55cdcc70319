// The "header-filtering" section: allow and deny rules that remove header
// lines from request and response heads, and fixed lines added to them,
// per direction, directory group and profile.
//
// Globals: 0 enabled BOOL, 1 allow_first BOOL.  Subsections: 0 allow,
// 1 deny, 2 add.  Rule fields: 0 enabled BOOL, 1 comment STRING,
// 2 groups STRING_LIST, 3 profiles STRING_LIST, 4 header_name STRING,
// 5 header_value STRING, 6 direction STRING_SELECT_MANY (1 request,
// 2 response).
//
// The filter never changes a head's `headers`: it builds `filtered` and
// sets HEADER_FILTERED, and the head writer sends those lines instead.
// The lines the proxy builds from head fields (framing, Host) are written
// whatever the rules say.
#ifndef KV_ENGINE_HEADER_FILTER_H
#define KV_ENGINE_HEADER_FILTER_H

#include <cstdint>
#include <list>
#include <string>

#include "config/section.h"
#include "config/values.h"

struct CONNECTION_T;
struct regexp_t;

enum {
    HEADER_FILTER_REQUEST = 1,
    HEADER_FILTER_RESPONSE = 2,
};

// One rule.
class Header {
public:
    explicit Header(const Item &item);
    Header(const Header &other);
    Header &operator=(const Header &) = delete;
    ~Header();

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string name;
    std::string value;
    int32_t direction;
    regexp_t *name_re;   // owned; null for an empty name
    regexp_t *value_re;  // owned; null for an empty value
    bool broken;         // a pattern did not compile: the rule never applies

private:
    void compile();
};

class HeaderSection : public Section {
public:
    HeaderSection();
    ~HeaderSection() override;

    void update() override;

    // Filters the request (direction 1) or response head (2) of the
    // connection; nothing when the section is off or the connection
    // bypasses it.
    void filter(CONNECTION_T *conn, int direction);

private:
    std::list<Header> allow, deny, add;
    const int32_t *enabled;
    const int32_t *allow_first;
};

extern HeaderSection *header_section;

#endif
