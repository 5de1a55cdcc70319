// The filter module pattern, and the URL filter built on it.
//
// Every filter module is a section class (<Feature>Section) with a rule
// class built from one item; it registers its callbacks with `processors`
// or `hooks` in its constructor, or the engine calls its entry points
// directly.  What the modules share is written once here:
//
//   filter_pattern    compiles a rule's expression; one that does not
//                     compile disables the rule (it never applies) rather
//                     than dropping the condition;
//   filter_flawed     the same for a rule one of whose values did not
//                     parse when it was read;
//   filter_applies    the applicability of a rule: enabled, not disabled
//                     by a broken value, its groups list accepting the
//                     user's directory groups and its profiles list the
//                     request's profiles;
//   filter_two_pass   the allow/deny evaluation steered by a mode value;
//   filter_block      the refusal: page name, template page, log entry.
//
// The URL filter ("url-filtering", FilterSection with rule Filter) refuses
// a request before anything is fetched.  Its fields, read by position:
//   global 0  enabled    BOOL           0: nothing is refused
//   global 1  mode       INT            0 deny list first, else allow list first
//   global 2  template   STRING         page of a block whose rule names none
//   rule 0    enabled    BOOL
//   rule 1    comment    STRING
//   rule 2    groups     STRING_LIST    against the user's directory groups
//   rule 3    profiles   STRING_LIST    against the request's profiles
//   rule 4    host       STRING (expr)  against the request's host
//   rule 5    path       STRING (expr)  against the request's path
//   rule 6    addresses  IP_RANGE_LIST  the host's first address; empty: any
//   rule 7    template   STRING         page of a block by this rule
// Subsection 0 "allow" and 1 "deny" use the same rule fields.
#ifndef KV_FILTERS_FILTER_H
#define KV_FILTERS_FILTER_H

#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "config/section.h"
#include "config/values.h"
#include "runtime/misc.h"
#include "runtime/regexp.h"

struct CONNECTION_T;
class Filebuf;

// ------------------------------------------------------------ the pattern

// A rule's compiled matching expression: none for an empty text (the
// condition then holds for anything).  An expression that does not compile
// is logged with the rule's section and comment and sets *broken.
regexp_t *filter_pattern(const std::string &text, const char *section,
                         const std::string &comment, bool *broken);

// The same for a substitution pattern, compiled with the PCRE options.
regex_sub_t *filter_sub_pattern(const std::string &text, int options,
                                const char *section, const std::string &comment,
                                bool *broken);

// Whether a value of the item did not parse when it was read (its
// "flawed XML file" line was logged then); such a rule is logged with its
// section and comment and must be disabled by the caller.  The field then
// holds the template's value, and an empty list or an open time window
// there means "any": read as it is, the rule would apply more widely than
// it was written.
bool filter_flawed(const Item &item, const char *section, const std::string &comment);

// An owned matching expression, freed with its rule.  It is compiled
// caseless, as reg_compile compiles rule expressions, and also by PCRE's
// JIT where the platform has it: the filters run every rule's expression
// over every request or body, and the interpreted match through the POSIX
// wrapper costs several times more.  Matches keep the match limit, so a
// pathological expression fails its match (logged) and does not hang.
class FilterRegex {
public:
    FilterRegex() = default;
    FilterRegex(const FilterRegex &) = delete;
    FilterRegex &operator=(const FilterRegex &) = delete;
    ~FilterRegex();

    // Replaces the expression held (if any) with the text's; an empty text
    // leaves none.
    void compile(const std::string &text, const char *section,
                 const std::string &comment, bool *broken);
    // True without an expression; else whether it matches the text.
    bool matches(const char *text) const;
    // The same over bytes that may hold NUL bytes.
    bool matches(const char *text, size_t length) const;
    bool empty() const { return code == nullptr; }
    // pcre_exec's result over the bytes (the expression must exist): at
    // least 0 for a match, PCRE_ERROR_NOMATCH for none, another error
    // (logged) when the match was abandoned.
    int search(const char *text, size_t length) const;

private:
    pcre *code = nullptr;         // owned
    pcre_extra *study = nullptr;  // owned; the JIT code, or null
};

// One pass for many rules: the expressions of a list's rules joined as
// alternatives of one expression (compiled caseless, with the JIT).  When
// the joined expression finds nothing in a text, no rule whose expression
// it holds can match there, and those rules are skipped without a match
// of their own; when it finds something (or the match fails), every rule
// is tested as usual, so the outcome is always that of the rules' own
// expressions.  An expression that could change meaning beside others
// (back-references, named or numbered group calls, option settings,
// verbs, quoting) is left out and its rule is always tested.
class FilterPrefilter {
public:
    FilterPrefilter() = default;
    FilterPrefilter(const FilterPrefilter &) = delete;
    FilterPrefilter &operator=(const FilterPrefilter &) = delete;

    // Joins the expressions; *held[i] tells whether expression i is held.
    void build(const std::vector<std::string> &expressions, std::vector<bool> *held);
    // False only when no held expression can match the text.
    bool may_match(const char *text, size_t length) const;

private:
    FilterRegex joined;
    bool active = false;
};

// Whether a rule applies to the connection: enabled, not broken, and both
// profile lists accepting it.
bool filter_applies(int32_t enabled, bool broken, const StringList &groups,
                    const StringList &profiles, const CONNECTION_T *connection);

// The client's address for log lines.
const char *filter_client(const CONNECTION_T *connection);

// Whether the response body a filter is handed is still in its content
// coding: the engine removes the Content-Encoding of a body it decoded, so
// one still there (other than "identity") means the body could not be
// decoded.  Such a body is never counted as inspected.
bool filter_body_coded(const CONNECTION_T *connection);

// The two-pass evaluation.  Within a list the first rule that matches ends
// the search.  mode not 0: the allow list must match (else the default rule
// decides), then a deny match decides.  mode 0: only a deny match that no
// allow rule overrides decides.  Returns the deciding rule, or null when
// the request (or response, or line) passes.
template <class Rule, class Match>
const Rule *filter_two_pass(int32_t mode, const std::list<Rule> &allow,
                            const std::list<Rule> &deny, const Rule *default_rule,
                            Match match)
{
    auto first = [&match](const std::list<Rule> &list) -> const Rule * {
        for (const Rule &rule : list)
            if (match(rule))
                return &rule;
        return nullptr;
    };
    if (mode != 0) {
        if (first(allow) == nullptr)
            return default_rule;
        return first(deny);
    }
    const Rule *denied = first(deny);
    if (denied == nullptr || first(allow) != nullptr)
        return nullptr;
    return denied;
}

// The page of a block: the rule's template, else the section's, else the
// module's fixed page.
std::string filter_page_name(const std::string &rule_template,
                             const std::string &section_template,
                             const char *fixed);

// A refusal is never answered with a 2xx status: a default status below
// 300 becomes 403 (a configured template with a code of its own still
// gives that code).
int filter_refusal_status(int status);

// Sends the block page (variables must be set already) and records the
// filter name and reason in the connection's log entry.  A page that could
// not be sent still ends the request.
void filter_block(CONNECTION_T *connection, const std::string &page, int status,
                  const char *filter_name, const std::string &reason);

// ---------------------------------------------------------- the URL filter

class Filter {
public:
    // The default rule: enabled, no item, every other field empty.
    Filter();
    explicit Filter(const Item &item);
    Filter(const Filter &) = delete;
    Filter &operator=(const Filter &) = delete;

    const Item *item;          // the item it was built from; none for the default rule
    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string host;
    std::string path;
    IpRangeList addresses;
    std::string template_name;
    bool broken;               // a pattern did not compile: never applies
    bool host_joined;          // its host expression is held by its list's prefilter
    bool in_allow;             // a rule of the allow list
    FilterRegex host_regex;
    FilterRegex path_regex;
};

class FilterSection : public Section {
public:
    // Registers filter_reqcheck for PROCESSOR_REQCHECK.
    FilterSection();
    ~FilterSection() override;

    // Section: rebuilds the allow and deny lists; the default rule stays.
    void update() override;

    // The deciding rule when the request is refused, null when allowed.
    // The caller holds the read lock.
    const Filter *check(CONNECTION_T *connection);
    // 1 when the request was refused and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection);
    // Answers the request with the "filter" page.
    void check_show(CONNECTION_T *connection);

    const int32_t *enabled;        // global field 0
    const int32_t *mode;           // global field 1
    const std::string *template_name;  // global field 2

private:
    void list_build(std::list<Filter> *list, const Subsection &subsection,
                    FilterPrefilter *prefilter);

    std::list<Filter> allow;
    std::list<Filter> deny;
    FilterPrefilter allow_hosts;  // the host expressions of each list in one pass
    FilterPrefilter deny_hosts;
    Filter default_rule;
};

extern FilterSection *filter_section;

// PROCESSOR_REQCHECK: check_and_block of filter_section.
int filter_reqcheck(CONNECTION_T *connection, Filebuf *buffer);

#endif
