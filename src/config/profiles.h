// Profiles: the names a request carries, the "profiles" rules that add and
// remove them, and profile_find, the test every rule-based section makes
// against a connection's directory groups and profiles.
//
// "profiles" rule fields, read by position (the section has no globals):
//   0 enabled BOOL            1 comment STRING          2 log BOOL
//   3 groups STRING_LIST      4 profiles STRING_LIST    5 scheme STRING (expr)
//   6 host STRING (expr)      7 path STRING (expr)      8 content_type STRING (expr)
//   9 ports PORT_RANGE_LIST   10 url_commands STRING_LIST
//   11 proxy_host STRING (expr)  12 request_header STRING (expr)
//   13 response_header STRING (expr)
//   14 month, 15 day, 16 weekday, 17 hour, 18 minute: INT_RANGE, optional
//   19 time_mode STRING_SELECT_ONE (0 one window, else each part)
//   20 add STRING_LIST        21 remove STRING_LIST
//
// Lock order: "profiles", then "general" (read for the proxy host name).
#ifndef KV_CONFIG_PROFILES_H
#define KV_CONFIG_PROFILES_H

#include <ctime>
#include <cstdint>
#include <list>
#include <string>

#include "config/section.h"
#include "config/values.h"
#include "runtime/misc.h"
#include "runtime/regexp.h"

struct CONNECTION_T;
struct HEADER;

// 1 when the rule list accepts the values (a connection's directory
// groups or its profiles), else 0.  An empty list accepts everything; else
// the first entry, in list order, that names one of the values decides: a
// plain entry accepts, one written "!name" refuses.  A list that names none
// of the values accepts only when it holds a "!" entry.  Names compare
// exactly, with case.
int profile_find(const StringList &values, const StringList &rule_list);

// 1 when a rule's groups list accepts the connection's directory groups and
// its profiles list accepts the connection's profiles (profile_find on
// each), else 0.  A null connection has neither groups nor profiles.
int profile_rule_match(const CONNECTION_T *connection,
                       const StringList &groups, const StringList &profiles);

// The comma-joined profile list as the access-log record carries it: each
// piece ("name" first, ",name" after) cut to 254 characters, the whole to
// 2045.
std::string profiles_join(const StringList &profiles);

// One "profiles" rule.
class Profile {
public:
    // Built from an item.  An expression that does not compile is logged
    // and disables the rule: it never applies, rather than losing a
    // condition and applying to requests it was written to exclude.
    explicit Profile(const Item &item);
    // A rule owns its compiled expressions and is never copied.
    Profile(const Profile &) = delete;
    Profile &operator=(const Profile &) = delete;
    ~Profile();

    // One optional INT_RANGE field.
    struct TimeRange {
        int32_t active;
        int32_t first;
        int32_t second;
    };

    // Indexes of the expressions in `regex`.
    enum {
        RE_SCHEME,
        RE_HOST,
        RE_PATH,
        RE_CONTENT_TYPE,
        RE_PROXY_HOST,
        RE_REQUEST_HEAD,
        RE_RESPONSE_HEAD,
        RE_COUNT,
    };

    int32_t enabled;
    std::string comment;
    int32_t log;
    StringList groups;
    StringList profiles;
    std::string pattern[RE_COUNT];  // expression texts; empty: no condition
    PortRangeList ports;
    StringList url_commands;
    TimeRange month, day, weekday, hour, minute;
    int32_t time_mode;  // 0: one window; else every part in its own range
    StringList add;
    StringList remove;
    tm_partial lower;
    tm_partial upper;
    regexp_t *regex[RE_COUNT];  // owned; null when the text is empty
    bool broken;               // an expression did not compile

private:
    void build();
};

// What the rules are tested against.  profiles_update fills it from the
// connection; the pointers that may be absent are null then.
struct ProfileSubject {
    const StringList *groups = nullptr;       // the user's directory groups
    StringList *profiles = nullptr;           // changed in place; never null
    const HEADER *request = nullptr;          // scheme, host, path, port, raw head
    const HEADER *response = nullptr;         // Content-Type, raw head
    const StringList *url_commands = nullptr; // names of the request's URL commands
    std::string proxy_host;                   // this proxy's host name
};

class ProfileSection : public Section {
public:
    ProfileSection();
    ~ProfileSection() override;

    // Section
    void update() override;

    // Applies every rule to the connection's profile list, lets the
    // categorisation rules adjust it and writes the result into the
    // connection's access-log record.  Runs several times per request.
    void profiles_update(CONNECTION_T *connection);

    // The rule pass of profiles_update on its own, at the given local time:
    // every enabled rule whose conditions hold, in list order, first adds
    // the names of its add list that the list lacks, then removes every
    // entry named in its remove list.  Later rules see the earlier rules'
    // changes.  Takes the read lock.
    void profiles_apply(ProfileSubject &subject, const struct tm &now);

private:
    bool applies(const Profile &rule, const ProfileSubject &subject,
                 const struct tm &now) const;

    std::list<Profile> rules;  // in item order, disabled ones included
};

extern ProfileSection *profile_section;

#endif
