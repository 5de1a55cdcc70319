// The filter module pattern and the URL filter.
#include "filters/filter.h"

#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/dns.h"
#include "engine/header.h"
#include "engine/templates.h"
#include "interface/interface.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/processors.h"

FilterSection *filter_section = nullptr;

namespace {

// Calls of PCRE's match function for one start position, as for every
// other expression of the proxy; a pattern that backtracks exponentially
// reaches it within milliseconds.
const unsigned long FILTER_MATCH_LIMIT = 1000000;
// Nested backtracking points of the interpreted match (without JIT), kept
// well inside a worker stack.
const unsigned long FILTER_RECURSION_LIMIT = 1000;

class HostAddress;
bool url_rule_matches(const Filter &rule, CONNECTION_T *connection, HostAddress *address,
                      bool host_may_match);
void pattern_broken_log(const char *section, const std::string &comment,
                        const std::string &text);

void pattern_broken_log(const char *section, const std::string &comment,
                        const std::string &text)
{
    putlog(LOG_ERROR, "%s: rule \"%s\" disabled: its expression \"%s\" does not compile",
           section, comment.c_str(), text.c_str());
}

// The first address of the request's host, looked up when the first rule
// reaches the address test and kept for the rest of one evaluation; a
// failed lookup is tried again by the next rule that needs it.
class HostAddress {
public:
    explicit HostAddress(const char *host) : host(host) {}
    ~HostAddress()
    {
        if (entry != nullptr)
            hostent_free(entry);
    }
    HostAddress(const HostAddress &) = delete;
    HostAddress &operator=(const HostAddress &) = delete;

    // The dotted quad, or null when the name does not resolve.
    const char *get()
    {
        if (entry == nullptr) {
            entry = net_dns(host);
            if (entry == nullptr || entry->address == nullptr)
                return nullptr;
            if (inet_ntop(AF_INET, entry->address, text, sizeof(text)) == nullptr)
                return nullptr;
        }
        return text;
    }

private:
    const char *host;
    HOSTENT *entry = nullptr;
    char text[16] = {0};
};

bool url_rule_matches(const Filter &rule, CONNECTION_T *connection, HostAddress *address,
                      bool host_may_match)
{
    const HEADER *h = connection->request;
    // Every condition must hold, so the cheapest is asked first.
    if (rule.host_joined && !host_may_match)
        return false;
    if (!filter_applies(rule.enabled, rule.broken, rule.groups, rule.profiles, connection))
        return false;
    if (!rule.host_regex.matches(header_rule_host(h)))
        return false;
    if (!rule.path_regex.matches(header_rule_path(h)))
        return false;
    // The address test comes last: only a rule whose other conditions hold
    // costs a lookup.
    if (rule.addresses.ranges.empty() || (connection->flags & CONN_OFFLINE))
        return true;
    const char *dotted = address->get();
    return dotted == nullptr || rule.addresses.has(dotted);
}

}  // namespace

// ------------------------------------------------------------ the pattern

regexp_t *filter_pattern(const std::string &text, const char *section,
                         const std::string &comment, bool *broken)
{
    if (text.empty())
        return nullptr;
    regexp_t *expression = reg_compile(text.c_str(), REGEXP_ICASE);
    if (expression == nullptr) {
        pattern_broken_log(section, comment, text);
        *broken = true;
    }
    return expression;
}

regex_sub_t *filter_sub_pattern(const std::string &text, int options,
                                const char *section, const std::string &comment,
                                bool *broken)
{
    if (text.empty())
        return nullptr;
    regex_sub_t *expression = reg_sub_compile(text.c_str(), options);
    if (expression == nullptr) {
        pattern_broken_log(section, comment, text);
        *broken = true;
    }
    return expression;
}

bool filter_flawed(const Item &item, const char *section, const std::string &comment)
{
    if (!item.flawed())
        return false;
    putlog(LOG_ERROR, "%s: rule \"%s\" disabled: a value of it is flawed", section,
           comment.c_str());
    return true;
}

FilterRegex::~FilterRegex()
{
    if (study != nullptr)
        pcre_free_study(study);
    if (code != nullptr)
        pcre_free(code);
}

void FilterRegex::compile(const std::string &text, const char *section,
                          const std::string &comment, bool *broken)
{
    // A list's prefilter is compiled again at every rebuild of its section
    // (an edit, a clone, a load): the expression it held is replaced.
    if (study != nullptr)
        pcre_free_study(study);
    if (code != nullptr)
        pcre_free(code);
    study = nullptr;
    code = nullptr;
    if (text.empty())
        return;
    const char *error = nullptr;
    int offset = 0;
    code = pcre_compile(text.c_str(), PCRE_CASELESS, &error, &offset, nullptr);
    if (code == nullptr) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", text.c_str());
        pattern_broken_log(section, comment, text);
        *broken = true;
        return;
    }
    study = pcre_study(code, PCRE_STUDY_JIT_COMPILE, &error);
    if (error != nullptr)
        putlog(LOG_WARNING, "%s: expression \"%s\" is matched without optimisation: %s",
               section, text.c_str(), error);
}

bool FilterRegex::matches(const char *text) const
{
    return matches(text, strlen(text));
}

bool FilterRegex::matches(const char *text, size_t length) const
{
    return code == nullptr || search(text, length) >= 0;
}

int FilterRegex::search(const char *text, size_t length) const
{
    if (length > (size_t)INT_MAX) {
        putlog(LOG_ERROR, "regular expression: text of %zu bytes is too long to match", length);
        return PCRE_ERROR_MATCHLIMIT;
    }
    pcre_extra extra;
    memset(&extra, 0, sizeof(extra));
    if (study != nullptr)
        extra = *study;
    extra.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit = FILTER_MATCH_LIMIT;
    extra.match_limit_recursion = FILTER_RECURSION_LIMIT;
    int ovector[3];
    int rc = pcre_exec(code, &extra, text, (int)length, 0, 0, ovector, 3);
    if (rc < 0 && rc != PCRE_ERROR_NOMATCH)
        putlog(LOG_ERROR, "regular expression: match abandoned with PCRE error %d", rc);
    return rc;
}

namespace {

// Whether an expression keeps its meaning as one alternative among others.
bool joinable(const std::string &text)
{
    if (text.empty() || text.find("(*") != std::string::npos || text.find('#') != std::string::npos)
        return false;
    for (size_t i = 0; i + 1 < text.size(); i++) {
        if (text[i] == '\\') {
            char next = text[i + 1];
            if ((next >= '0' && next <= '9') || strchr("gkKQEcR", next) != nullptr)
                return false;
            i++;
            continue;
        }
        if (text[i] == '(' && text[i + 1] == '?') {
            // Only non-capturing groups and lookarounds.
            std::string rest = text.substr(i + 2, 2);
            if (rest.compare(0, 1, ":") != 0 && rest.compare(0, 1, "=") != 0 &&
                rest.compare(0, 1, "!") != 0 && rest != "<=" && rest != "<!")
                return false;
        }
    }
    return true;
}

}  // namespace

void FilterPrefilter::build(const std::vector<std::string> &expressions, std::vector<bool> *held)
{
    held->assign(expressions.size(), false);
    std::string text;
    size_t count = 0;
    for (size_t i = 0; i < expressions.size(); i++) {
        if (!joinable(expressions[i]))
            continue;
        text += (count++ ? "|(?:" : "(?:") + expressions[i] + ")";
        (*held)[i] = true;
    }
    bool broken = false;
    // Fewer than two expressions gain nothing from a joined pass: the one
    // an earlier build left is dropped.
    joined.compile(count >= 2 ? text : std::string(), "filters", "joined expressions", &broken);
    active = count >= 2 && !broken;
    if (!active)
        held->assign(expressions.size(), false);
}

bool FilterPrefilter::may_match(const char *text, size_t length) const
{
    if (!active)
        return true;
    return joined.search(text, length) != PCRE_ERROR_NOMATCH;
}

bool filter_applies(int32_t enabled, bool broken, const StringList &groups,
                    const StringList &profiles, const CONNECTION_T *connection)
{
    return enabled != 0 && !broken && profile_find(connection->ldap_groups, groups) &&
           profile_find(connection->profiles, profiles);
}

const char *filter_client(const CONNECTION_T *connection)
{
    return connection->client_ip ? connection->client_ip : "";
}

bool filter_body_coded(const CONNECTION_T *connection)
{
    const HEADER *r = connection->response;
    return r && r->content_encoding && *r->content_encoding &&
           strcasecmp(r->content_encoding, "identity") != 0;
}

std::string filter_page_name(const std::string &rule_template,
                             const std::string &section_template, const char *fixed)
{
    if (!rule_template.empty())
        return rule_template;
    if (!section_template.empty())
        return section_template;
    return fixed;
}

int filter_refusal_status(int status)
{
    return status < 300 ? 403 : status;
}

void filter_block(CONNECTION_T *connection, const std::string &page, int status,
                  const char *filter_name, const std::string &reason)
{
    if (template_section == nullptr || !template_section->send(page.c_str(), connection, status))
        connection->keepalive_client = 0;
    connection->log_entry.filter_name = filter_name;
    connection->log_entry.filtering_reason = reason;
}

// ---------------------------------------------------------- the URL filter

Filter::Filter() : item(nullptr), enabled(1), broken(false), host_joined(false), in_allow(false)
{
}

Filter::Filter(const Item &item)
    : item(&item),
      enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      host(item.fields[4].raw),
      path(item.fields[5].raw),
      addresses(item.fields[6].ip_ranges),
      template_name(item.fields[7].raw),
      broken(false),
      host_joined(false),
      in_allow(false)
{
    host_regex.compile(host, "url filter", comment, &broken);
    path_regex.compile(path, "url filter", comment, &broken);
    if (filter_flawed(item, "url filter", comment))
        broken = true;
}

FilterSection::FilterSection() : Section("url-filtering", 0)
{
    // The schema must declare every field read here.
    ASSERT(fields.size() >= 3);
    ASSERT(subsections.size() >= 2 && subsections[0].fields.size() >= 8 &&
           subsections[1].fields.size() >= 8);
    enabled = &fields[0].int_value;
    mode = &fields[1].int_value;
    template_name = &fields[2].raw;
    processors.Add(filter_reqcheck, PROCESSOR_REQCHECK);
}

FilterSection::~FilterSection() = default;

void FilterSection::update()
{
    list_build(&allow, subsections[0], &allow_hosts);
    list_build(&deny, subsections[1], &deny_hosts);
}

void FilterSection::list_build(std::list<Filter> *list, const Subsection &subsection,
                               FilterPrefilter *prefilter)
{
    list->clear();
    for (const Item &item : subsection.items)
        list->emplace_back(item);
    std::vector<std::string> hosts;
    for (const Filter &rule : *list)
        hosts.push_back(rule.broken || rule.host_regex.empty() ? "" : rule.host);
    std::vector<bool> held;
    prefilter->build(hosts, &held);
    size_t i = 0;
    for (Filter &rule : *list) {
        rule.host_joined = held[i++];
        rule.in_allow = list == &allow;
    }
}

const Filter *FilterSection::check(CONNECTION_T *connection)
{
    if (*enabled == 0 || (connection->bypass & BYPASS_URLFILTER) || connection->request == nullptr)
        return nullptr;
    const char *host = header_rule_host(connection->request);
    HostAddress address(host);
    bool allow_may = allow_hosts.may_match(host, strlen(host));
    bool deny_may = deny_hosts.may_match(host, strlen(host));
    // A rule is in one list only: its own list's prefilter speaks for it.
    return filter_two_pass(*mode, allow, deny, &default_rule, [&](const Filter &rule) {
        return url_rule_matches(rule, connection, &address, rule.in_allow ? allow_may : deny_may);
    });
}

int FilterSection::check_and_block(CONNECTION_T *connection)
{
    read_lock();
    const Filter *rule = check(connection);
    if (rule == nullptr) {
        unlock();
        return 0;
    }
    const HEADER *h = connection->request;
    putlog(LOG_URLFILTER, "[IP:%s] blocked: %s%s", filter_client(connection),
           h->host ? h->host : "", h->path ? h->path : "");
    connection->variables["FILTER"] = "URL Filter";
    int status = h->kind == HEADER_CONNECT ? 404 : filter_refusal_status(200);
    filter_block(connection, filter_page_name(rule->template_name, *template_name, "blocked"),
                 status, "url-filter", "-");
    unlock();
    return 1;
}

void FilterSection::check_show(CONNECTION_T *connection)
{
    read_lock();
    const Filter *rule = check(connection);
    const char *fallback = nullptr;
    if (rule == &default_rule)
        fallback = "No allow rule matches: refused";
    interface_match_page(connection, "URL filter", rule ? rule->item : nullptr, fallback);
    unlock();
}

int filter_reqcheck(CONNECTION_T *connection, Filebuf *)
{
    return filter_section ? filter_section->check_and_block(connection) : 0;
}
