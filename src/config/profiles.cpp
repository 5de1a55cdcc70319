// Profiles: profile_find and the "profiles" section.
#include "config/profiles.h"

#include <algorithm>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/urlcommand.h"
#include "filters/sortmarks.h"
#include "runtime/log.h"
#include "runtime/misc.h"
#include "runtime/mem.h"
#include "runtime/regexp.h"

ProfileSection *profile_section = nullptr;

namespace {

Profile::TimeRange time_range(const Field &field);
void bound_set(tm_partial &bound, int part, const Profile::TimeRange &range,
               bool upper);
bool matches(regexp_t *expression, const char *text);
bool has_command(const StringList &wanted, const StringList *commands);

Profile::TimeRange time_range(const Field &field)
{
    return Profile::TimeRange{field.active ? 1 : 0, field.int_value,
                              field.int_value2};
}

// A part of a bound is present only when its field is switched on.
void bound_set(tm_partial &bound, int part, const Profile::TimeRange &range,
               bool upper)
{
    bound.part[part].present = range.active ? 1 : 0;
    bound.part[part].value = range.active ? (upper ? range.second : range.first) : 0;
}

// A condition on a text that the request or response does not have fails.
bool matches(regexp_t *expression, const char *text)
{
    return text != nullptr && reg_exec(expression, text) == 0;
}

bool has_command(const StringList &wanted, const StringList *commands)
{
    if (commands == nullptr)
        return false;
    for (const std::string &name : *commands)
        if (std::find(wanted.begin(), wanted.end(), name) != wanted.end())
            return true;
    return false;
}

}  // namespace

// ------------------------------------------------------------ profile_find

int profile_find(const StringList &values, const StringList &rule_list)
{
    if (rule_list.empty())
        return 1;

    bool negated_seen = false;
    for (const std::string &entry : rule_list) {
        bool negated = !entry.empty() && entry[0] == '!';
        const char *name = entry.c_str() + (negated ? 1 : 0);
        negated_seen = negated_seen || negated;
        if (std::find(values.begin(), values.end(), name) != values.end())
            return negated ? 0 : 1;
    }
    return negated_seen ? 1 : 0;
}

int profile_rule_match(const CONNECTION_T *connection,
                       const StringList &groups, const StringList &profiles)
{
    static const StringList none;
    return profile_find(connection ? connection->ldap_groups : none, groups) &&
           profile_find(connection ? connection->profiles : none, profiles);
}

std::string profiles_join(const StringList &profiles)
{
    static const size_t piece_max = 254;
    static const size_t whole_max = 2045;

    std::string joined;
    bool first = true;
    for (const std::string &name : profiles) {
        std::string piece = first ? name : "," + name;
        first = false;
        joined += piece.substr(0, piece_max);
        if (joined.size() >= whole_max)
            break;
    }
    if (joined.size() > whole_max)
        joined.resize(whole_max);
    return joined;
}

// ----------------------------------------------------------------- Profile

Profile::Profile(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      log(item.fields[2].int_value),
      groups(item.fields[3].string_list),
      profiles(item.fields[4].string_list),
      ports(item.fields[9].port_ranges),
      url_commands(item.fields[10].string_list),
      month(time_range(item.fields[14])),
      day(time_range(item.fields[15])),
      weekday(time_range(item.fields[16])),
      hour(time_range(item.fields[17])),
      minute(time_range(item.fields[18])),
      time_mode(item.fields[19].int_value),
      add(item.fields[20].string_list),
      remove(item.fields[21].string_list)
{
    pattern[RE_SCHEME] = item.fields[5].raw;
    pattern[RE_HOST] = item.fields[6].raw;
    pattern[RE_PATH] = item.fields[7].raw;
    pattern[RE_CONTENT_TYPE] = item.fields[8].raw;
    pattern[RE_PROXY_HOST] = item.fields[11].raw;
    pattern[RE_REQUEST_HEAD] = item.fields[12].raw;
    pattern[RE_RESPONSE_HEAD] = item.fields[13].raw;
    build();
    // A port or time range written wrong would drop that condition and
    // apply the rule to requests it was written to exclude.
    if (item.flawed()) {
        broken = true;
        putlog(LOG_ERROR, "profiles: rule \"%s\" disabled: a value of it is flawed",
               comment.c_str());
    }
}

Profile::~Profile()
{
    for (int i = 0; i < RE_COUNT; i++)
        if (regex[i] != nullptr)
            reg_free(regex[i]);
}

// Builds the time bounds and compiles the expressions.
void Profile::build()
{
    lower = tm_partial{};
    upper = tm_partial{};
    const TimeRange *ranges[] = {&month, &day, &weekday, &hour, &minute};
    const int parts[] = {TM_PART_MONTH, TM_PART_MDAY, TM_PART_WDAY,
                         TM_PART_HOUR, TM_PART_MIN};
    for (int i = 0; i < 5; i++) {
        bound_set(lower, parts[i], *ranges[i], false);
        bound_set(upper, parts[i], *ranges[i], true);
    }

    broken = false;
    for (int i = 0; i < RE_COUNT; i++) {
        regex[i] = nullptr;
        if (pattern[i].empty())
            continue;
        regex[i] = reg_compile(pattern[i].c_str(), REGEXP_ICASE);
        if (regex[i] == nullptr)
            broken = true;  // reg_compile logged the pattern
    }
}

// ---------------------------------------------------------- ProfileSection

ProfileSection::ProfileSection() : Section("profiles", 0)
{
    // The schema must declare every field a rule reads.
    ASSERT(!subsections.empty() && subsections[0].fields.size() >= 22);
}

ProfileSection::~ProfileSection() = default;

void ProfileSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

// The conditions in the order of their cost: the list and port tests
// before the expressions.
bool ProfileSection::applies(const Profile &rule, const ProfileSubject &subject,
                             const struct tm &now) const
{
    static const StringList none;
    const HEADER *request = subject.request;
    const HEADER *response = subject.response;

    if (rule.enabled == 0 || rule.broken)
        return false;
    if (!profile_find(subject.groups ? *subject.groups : none, rule.groups))
        return false;
    if (!profile_find(*subject.profiles, rule.profiles))
        return false;
    if (!rule.ports.ranges.empty() &&
        (request == nullptr || !rule.ports.has(request->port)))
        return false;

    regexp_t *const *re = rule.regex;
    if (re[Profile::RE_CONTENT_TYPE] != nullptr &&
        (response == nullptr || !matches(re[Profile::RE_CONTENT_TYPE], response->content_type)))
        return false;
    if (re[Profile::RE_REQUEST_HEAD] != nullptr &&
        (request == nullptr || !matches(re[Profile::RE_REQUEST_HEAD], request->raw)))
        return false;
    if (re[Profile::RE_RESPONSE_HEAD] != nullptr &&
        (response == nullptr || !matches(re[Profile::RE_RESPONSE_HEAD], response->raw)))
        return false;
    if (re[Profile::RE_SCHEME] != nullptr &&
        (request == nullptr || !matches(re[Profile::RE_SCHEME], request->scheme)))
        return false;
    // Host and path are compared in their canonical forms.
    if (re[Profile::RE_HOST] != nullptr &&
        (request == nullptr || request->host == nullptr ||
         !matches(re[Profile::RE_HOST], header_rule_host(request))))
        return false;
    if (re[Profile::RE_PATH] != nullptr &&
        (request == nullptr || request->path == nullptr ||
         !matches(re[Profile::RE_PATH], header_rule_path(request))))
        return false;
    if (!rule.url_commands.empty() &&
        !has_command(rule.url_commands, subject.url_commands))
        return false;
    if (re[Profile::RE_PROXY_HOST] != nullptr &&
        !matches(re[Profile::RE_PROXY_HOST], subject.proxy_host.c_str()))
        return false;

    // A rule without a switched-on time part has absent bounds, which
    // accept every time.
    if (rule.time_mode == 0)
        return in_absolutetimerange(&now, &rule.lower, &rule.upper);
    return in_alltimerange(&now, &rule.lower, &rule.upper);
}

void ProfileSection::profiles_apply(ProfileSubject &subject, const struct tm &now)
{
    ASSERT(subject.profiles != nullptr);
    StringList &list = *subject.profiles;

    read_lock();
    for (const Profile &rule : rules) {
        if (!applies(rule, subject, now))
            continue;
        for (const std::string &name : rule.add) {
            if (std::find(list.begin(), list.end(), name) != list.end())
                continue;
            list.push_back(name);
            if (rule.log == 1)
                StringList::show_p("Added", name);
        }
        for (const std::string &name : rule.remove) {
            if (rule.log == 1)
                StringList::show_p("Removed", name);
            list.remove(name);
        }
    }
    unlock();
}

void ProfileSection::profiles_update(CONNECTION_T *connection)
{
    struct tm local;
    local_time(time(nullptr), &local);

    ProfileSubject subject;
    subject.groups = &connection->ldap_groups;
    subject.profiles = &connection->profiles;
    subject.request = connection->request;
    subject.response = connection->response;
    StringList commands;
    for (url_command_t **command = connection->url_commands;
         command != nullptr && *command != nullptr; command++)
        commands.push_back((*command)->name ? (*command)->name : "");
    subject.url_commands = &commands;
    // Read before the "profiles" lock is taken, so the "general" lock is
    // never held inside it.
    if (proxyhost[0] != '\0')
        subject.proxy_host = proxyhost;
    else if (general_section != nullptr)
        subject.proxy_host = general_section->proxy_host_get();

    profiles_apply(subject, local);
    // The categorisation rules, after the "profiles" lock is released.
    sortmarks_second(connection);

    connection->log_entry.profiles = profiles_join(connection->profiles);
}
