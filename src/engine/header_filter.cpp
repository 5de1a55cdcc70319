// Header filtering: removes and adds header lines by rules.
#include "engine/header_filter.h"

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "runtime/log.h"
#include "runtime/logmask.h"
#include "runtime/mem.h"
#include "runtime/regexp.h"

HeaderSection *header_section = nullptr;

namespace {

bool applies(const Header &rule, const CONNECTION_T *conn, int direction,
             const HTTP_HEADER &line)
{
    if (!rule.enabled || rule.broken || !(rule.direction & direction))
        return false;
    if (!profile_rule_match(conn, rule.groups, rule.profiles))
        return false;
    if (rule.name_re && reg_exec(rule.name_re, line.name.c_str()) != 0)
        return false;
    if (rule.value_re && reg_exec(rule.value_re, line.value.c_str()) != 0)
        return false;
    return true;
}

bool any_applies(const std::list<Header> &rules, const CONNECTION_T *conn, int direction,
                 const HTTP_HEADER &line)
{
    for (const Header &rule : rules)
        if (applies(rule, conn, direction, line))
            return true;
    return false;
}

} // namespace

Header::Header(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      name(item.fields[4].raw),
      value(item.fields[5].raw),
      direction(item.fields[6].int_value),
      name_re(nullptr),
      value_re(nullptr),
      broken(false)
{
    compile();
    // A list or pattern written wrong would be read as the template's
    // empty value, which accepts every line and every user.
    if (item.flawed()) {
        enabled = 0;
        putlog(LOG_ERROR, "header-filtering: rule \"%s\" disabled: a value of it is flawed",
               comment.c_str());
    }
}

Header::Header(const Header &other)
    : enabled(other.enabled),
      comment(other.comment),
      groups(other.groups),
      profiles(other.profiles),
      name(other.name),
      value(other.value),
      direction(other.direction),
      name_re(nullptr),
      value_re(nullptr),
      broken(false)
{
    compile();
}

Header::~Header()
{
    if (name_re)
        reg_free(name_re);
    if (value_re)
        reg_free(value_re);
}

// A pattern that does not compile disables the rule rather than letting
// it match every line.
void Header::compile()
{
    if (!name.empty() && !(name_re = reg_compile(name.c_str(), REGEXP_ICASE)))
        broken = true;
    if (!value.empty() && !(value_re = reg_compile(value.c_str(), REGEXP_ICASE)))
        broken = true;
    if (broken)
        putlog(LOG_ERROR, "header-filtering: rule \"%s\" disabled: its pattern does not compile",
               comment.c_str());
}

HeaderSection::HeaderSection() : Section("header-filtering", 0)
{
    ASSERT(fields.size() >= 2);
    ASSERT(subsections.size() >= 3 && subsections[0].fields.size() >= 7);
    enabled = &fields[0].int_value;
    allow_first = &fields[1].int_value;
}

HeaderSection::~HeaderSection() = default;

void HeaderSection::update()
{
    allow.clear();
    deny.clear();
    add.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny.emplace_back(item);
    for (const Item &item : subsections[2].items)
        add.emplace_back(item);
}

void HeaderSection::filter(CONNECTION_T *conn, int direction)
{
    if (conn->bypass & BYPASS_HEADER)
        return;
    read_lock();
    HEADER *h = direction == HEADER_FILTER_REQUEST ? conn->request : conn->response;
    if (*enabled == 0 || !h) {
        unlock();
        return;
    }
    const char *peer = direction == HEADER_FILTER_REQUEST ? "client" : "server";
    h->flags |= HEADER_FILTERED;
    h->filtered.clear();
    for (const HTTP_HEADER &line : h->headers) {
        bool keep;
        if (*allow_first == 0)
            keep = !any_applies(deny, conn, direction, line) ||
                   any_applies(allow, conn, direction, line);
        else
            keep = any_applies(allow, conn, direction, line) &&
                   !any_applies(deny, conn, direction, line);
        if (keep)
            h->filtered.push_back(line);
        else
            putlog(LOG_HEADER, "removed: from %s: %s: %s", peer, line.name.c_str(),
                   logmask_value(line.name.c_str(), line.value.c_str()).c_str());
    }
    for (const Header &rule : add) {
        if (!rule.enabled || !(rule.direction & direction) || rule.name.empty() ||
            rule.value.empty() || !profile_rule_match(conn, rule.groups, rule.profiles))
            continue;
        HTTP_HEADER line;
        line.type = HTTP_HEADER_VERBATIM;
        line.name = rule.name;
        line.value = rule.value;
        h->filtered.push_back(line);
        putlog(LOG_HEADER, "added: to %s: %s: %s", peer, rule.name.c_str(),
               logmask_value(rule.name.c_str(), rule.value.c_str()).c_str());
    }
    unlock();
}
