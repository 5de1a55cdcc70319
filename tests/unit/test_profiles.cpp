// profile_find, the "profiles" rules (conditions, add and remove order,
// logging) and profiles_update on a connection.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "config/general.h"
#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/urlcommand.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "fixture.h"

namespace {

StringList list_of(const std::string &text)
{
    return StringList(text, ',');
}

std::string joined(const StringList &list)
{
    std::string text;
    for (const std::string &name : list)
        text += (text.empty() ? "" : ",") + name;
    return text;
}

// ----------------------------------------------------------- profile_find

struct FindCase {
    const char *values;
    const char *rule_list;
    int expected;
    const char *why;
};

const FindCase find_cases[] = {
    {"", "", 1, "an empty rule list accepts no values"},
    {"staff,guests", "", 1, "an empty rule list accepts any values"},
    {"staff", "!guests", 1, "a negated list accepts values it does not name"},
    {"guests", "!guests", 0, "a negated entry refuses the value it names"},
    {"staff,guests", "!guests", 0, "one named value is enough to refuse"},
    {"", "staff", 0, "a plain list refuses empty values"},
    {"a", "!a,a", 0, "the first entry naming a value decides: refuse"},
    {"a", "a,!a", 1, "the first entry naming a value decides: accept"},
    {"Staff", "staff", 0, "names compare with case"},
    {"b", "a,!c", 1, "naming none of the values, a list with a ! entry accepts"},
    {"b", "a,c", 0, "naming none of the values, a plain list refuses"},
    {"x,staff", "staff", 1, "any value may be the one named"},
    {"", "!", 1, "a bare ! names the empty value, which the values lack"},
};

TEST(ProfileFind, Table)
{
    for (const FindCase &c : find_cases)
        EXPECT_EQ(profile_find(list_of(c.values), list_of(c.rule_list)), c.expected)
            << c.why << ": values \"" << c.values << "\", rule list \""
            << c.rule_list << "\"";
}

TEST(ProfilesJoin, CutsPiecesAndWhole)
{
    EXPECT_EQ(profiles_join(list_of("default,staff")), "default,staff");
    EXPECT_EQ(profiles_join(StringList()), "");

    // Each piece, separator included, is cut to 254 characters.
    StringList long_names;
    long_names.push_back(std::string(300, 'a'));
    long_names.push_back(std::string(300, 'b'));
    EXPECT_EQ(profiles_join(long_names),
              std::string(254, 'a') + "," + std::string(253, 'b'));

    // The whole is cut to 2045 characters.
    StringList many;
    for (int i = 0; i < 100; i++)
        many.push_back(std::string(40, 'p'));
    EXPECT_EQ(profiles_join(many).size(), 2045u);
}

// ------------------------------------------------------------- the rules

class ProfileRules : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(profile_section);
        section_for_process(general_section);
    }

    void SetUp() override
    {
        logbuffer_clear(global->logbuffer);
    }

    // A rule item with every field written: the defaults of a new rule
    // (enabled, no conditions, time parts switched off) and the given
    // values.  Naming a time part switches it on.
    static std::string rule(const std::map<std::string, std::string> &set)
    {
        static const char *const fields[][2] = {
            {"enabled", "true"}, {"comment", ""}, {"log", "true"},
            {"groups", ""}, {"profiles", ""}, {"scheme", ""}, {"host", ""},
            {"path", ""}, {"content_type", ""}, {"ports", ""},
            {"url_commands", ""}, {"proxy_host", ""}, {"request_header", ""},
            {"response_header", ""}, {"month", "0,11"}, {"day", "1,31"},
            {"weekday", "0,6"}, {"hour", "0,23"}, {"minute", "0,59"},
            {"time_mode", "window"}, {"add", ""}, {"remove", ""},
        };
        static const std::string optional = "month day weekday hour minute";
        std::string xml = "<rule>";
        for (const auto &field : fields) {
            std::string name = field[0];
            auto given = set.find(name);
            std::string value = given != set.end() ? given->second : field[1];
            std::string attribute;
            if (optional.find(name) != std::string::npos)
                attribute = given != set.end() ? " active=\"true\"" : " active=\"false\"";
            xml += "<" + name + attribute + ">" + value + "</" + name + ">";
        }
        return xml + "</rule>";
    }

    static void load(const std::string &section, const std::string &content)
    {
        std::string text = "<kelvarine><" + section + ">" + content + "</" +
                           section + "></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(text.c_str());
        ASSERT_FALSE(doc.Error()) << text;
        Section::map[section]->load(&doc, 1);
    }

    // The native-log lines of the test, oldest first, from the ring.
    static std::vector<std::string> log_lines()
    {
        std::vector<std::string> lines;
        for (LOGBUFFER_NODE *node = global->logbuffer->tail; node != nullptr;
             node = node->previous)
            lines.push_back(node->text);
        return lines;
    }

    static std::vector<std::string> profile_lines()
    {
        std::vector<std::string> lines;
        for (const std::string &line : log_lines()) {
            size_t at = line.find("profiles: ");
            if (at != std::string::npos)
                lines.push_back(line.substr(at + 10));
        }
        return lines;
    }

    static struct tm at(int weekday, int hour, int minute = 0)
    {
        struct tm t {};
        t.tm_year = 124;  // 2024
        t.tm_mon = 4;     // May
        t.tm_mday = 5 + weekday;  // 5 May 2024 was a Sunday
        t.tm_wday = weekday;
        t.tm_hour = hour;
        t.tm_min = minute;
        return t;
    }
};

// What one pass sees besides the rules.
struct Request {
    const char *scheme = "http";
    const char *host = "www.example.com";
    const char *path = "/index.html";
    int port = 80;
    const char *raw = "GET http://www.example.com/index.html HTTP/1.1\r\n\r\n";
    const char *content_type = nullptr;  // no response head when null
    const char *commands = "";
    const char *groups = "";
    const char *proxy_host = "proxy1.example.org";
    struct tm now;
};

struct RuleCase {
    const char *why;
    std::vector<std::map<std::string, std::string>> rules;
    const char *profiles;  // before the pass
    Request request;
    const char *expected;  // after the pass
};

StringList run(ProfileSection *section, const Request &r, StringList profiles)
{
    HEADER *request = header_new();
    header_field_set(&request->scheme, r.scheme);
    header_field_set(&request->host, r.host);
    header_field_set(&request->path, r.path);
    header_field_set(&request->raw, r.raw);
    request->port = r.port;
    // As the road does once it knows host and path.
    header_complete(request);
    HEADER *response = nullptr;
    if (r.content_type != nullptr) {
        response = header_new();
        response->kind = HEADER_RESPONSE;
        header_field_set(&response->content_type, r.content_type);
        header_field_set(&response->raw, "HTTP/1.1 200 OK\r\n\r\n");
    }
    StringList groups = list_of(r.groups);
    StringList commands = list_of(r.commands);

    ProfileSubject subject;
    subject.groups = &groups;
    subject.profiles = &profiles;
    subject.request = request;
    subject.response = response;
    subject.url_commands = &commands;
    subject.proxy_host = r.proxy_host;
    section->profiles_apply(subject, r.now);

    http_header_free(request);
    http_header_free(response);
    return profiles;
}

TEST_F(ProfileRules, ConditionsAndChanges)
{
    using M = std::map<std::string, std::string>;
    Request plain;
    plain.now = at(1, 10);
    Request with_response = plain;
    with_response.content_type = "Text/HTML; charset=utf-8";
    Request nocache = plain;
    nocache.commands = "nocache";
    Request evening = plain;
    evening.now = at(1, 20);
    Request saturday = plain;
    saturday.now = at(6, 10);
    Request monday_night = plain;
    monday_night.now = at(1, 23);
    Request tuesday_early = plain;
    tuesday_early.now = at(2, 3);
    Request secure = plain;
    secure.port = 443;
    secure.scheme = "connect";
    Request guest = plain;
    guest.groups = "guests,staff";
    Request unnormalised = plain;
    unnormalised.host = "www.example.com.";
    unnormalised.path = "//x/../%69ndex.html";

    const RuleCase cases[] = {
        {"a rule without conditions applies to every request",
         {M{{"add", "all"}}}, "default", plain, "default,all"},
        {"a name the list holds is not added again",
         {M{{"add", "default,x"}}}, "default", plain, "default,x"},
        {"added names come first, then removed ones go",
         {M{{"add", "x"}, {"remove", "x"}}}, "", plain, ""},
        {"every entry equal to a removed name goes",
         {M{{"remove", "a"}}}, "a,b,a", plain, "b"},
        {"a later rule sees the profile an earlier rule added",
         {M{{"add", "first"}}, M{{"profiles", "first"}, {"add", "second"}}},
         "", plain, "first,second"},
        {"an earlier rule does not see what a later one adds",
         {M{{"profiles", "second"}, {"add", "never"}}, M{{"add", "second"}}},
         "", plain, "second"},
        {"a disabled rule is skipped even when its lists match",
         {M{{"enabled", "false"}, {"add", "x"}}}, "", plain, ""},
        {"the groups condition refuses an excluded group",
         {M{{"groups", "!guests"}, {"add", "x"}}}, "", guest, ""},
        {"a Content-Type condition fails before the response head exists",
         {M{{"content_type", "^text/html"}, {"add", "html"}}}, "", plain, ""},
        {"a Content-Type condition matches the response, ignoring case",
         {M{{"content_type", "^text/html"}, {"add", "html"}}}, "", with_response, "html"},
        {"a URL-command list needs one of its commands on the request",
         {M{{"url_commands", "nocache"}, {"add", "nc"}}}, "", plain, ""},
        {"a URL-command list applies when the request carries the command",
         {M{{"url_commands", "offline,nocache"}, {"add", "nc"}}}, "", nocache, "nc"},
        {"a port list refuses other ports",
         {M{{"ports", "443"}, {"add", "tls"}}}, "", plain, ""},
        {"a port list accepts its ports",
         {M{{"ports", "443"}, {"add", "tls"}}}, "", secure, "tls"},
        {"scheme, host and path expressions ignore case",
         {M{{"scheme", "^HTTP$"}, {"host", "EXAMPLE\\.com$"}, {"path", "^/INDEX"},
            {"add", "site"}}}, "", plain, "site"},
        {"host and path expressions read their canonical forms",
         {M{{"host", "^www\\.example\\.com$"}, {"path", "^/index\\.html$"}, {"add", "site"}}},
         "", unnormalised, "site"},
        {"a host expression that does not match skips the rule",
         {M{{"host", "^example\\.org$"}, {"add", "x"}}}, "", plain, ""},
        {"the request-head expression reads the raw head",
         {M{{"request_header", "^GET "}, {"add", "get"}}}, "", plain, "get"},
        {"a response-head expression fails without a response head",
         {M{{"response_header", "200"}, {"add", "ok"}}}, "", plain, ""},
        {"the proxy-host expression reads this proxy's name",
         {M{{"proxy_host", "^proxy1\\."}, {"add", "p1"}},
          M{{"proxy_host", "^proxy2\\."}, {"add", "p2"}}}, "", plain, "p1"},
        {"an expression that does not compile disables its rule",
         {M{{"host", "(unclosed"}, {"add", "broken"}}}, "", plain, ""},
        {"a port list that does not parse disables its rule",
         {M{{"ports", "443,,563"}, {"add", "tls"}}}, "", plain, ""},
        {"an hour range that does not parse disables its rule",
         {M{{"hour", "8-17"}, {"add", "office"}}}, "", evening, ""},
        {"the rule after a flawed one still applies",
         {M{{"hour", "25,26"}, {"add", "office"}}, M{{"add", "next"}}}, "", plain, "next"},
        {"hours within the window",
         {M{{"hour", "8,17"}, {"add", "office"}}}, "", plain, "office"},
        {"hours outside the window",
         {M{{"hour", "8,17"}, {"add", "office"}}}, "", evening, ""},
        {"each part in its own range: Saturday is outside weekdays 1 to 5",
         {M{{"weekday", "1,5"}, {"hour", "8,17"}, {"time_mode", "each"},
            {"add", "office"}}}, "", saturday, ""},
        {"each part in its own range: Monday 10:00",
         {M{{"weekday", "1,5"}, {"hour", "8,17"}, {"time_mode", "each"},
            {"add", "office"}}}, "", plain, "office"},
        {"one window from Monday 22:00 to Tuesday 06:00 holds Monday 23:00",
         {M{{"weekday", "1,2"}, {"hour", "22,6"}, {"add", "night"}}}, "",
         monday_night, "night"},
        {"one window from Monday 22:00 to Tuesday 06:00 holds Tuesday 03:00",
         {M{{"weekday", "1,2"}, {"hour", "22,6"}, {"add", "night"}}}, "",
         tuesday_early, "night"},
        {"one window from Monday 22:00 to Tuesday 06:00 leaves out Monday 10:00",
         {M{{"weekday", "1,2"}, {"hour", "22,6"}, {"add", "night"}}}, "", plain, ""},
    };

    for (const RuleCase &c : cases) {
        std::string items;
        for (const auto &set : c.rules)
            items += rule(set);
        load("profiles", items);
        StringList result = run(profile_section, c.request, list_of(c.profiles));
        EXPECT_EQ(joined(result), c.expected) << c.why;
    }
}

TEST_F(ProfileRules, LogsAddedThenRemoved)
{
    load("profiles", rule({{"add", "x,default"}, {"remove", "x,absent"}}));
    Request r;
    r.now = at(1, 10);
    StringList result = run(profile_section, r, list_of("default"));

    EXPECT_EQ(joined(result), "default");
    // "default" was held already and is neither added nor logged; a removed
    // name is logged whether or not the list held it.
    std::vector<std::string> expected = {"Added Profile: x", "Removed Profile: x",
                                         "Removed Profile: absent"};
    EXPECT_EQ(profile_lines(), expected);
}

TEST_F(ProfileRules, LogSwitchOffLogsNothing)
{
    load("profiles", rule({{"log", "false"}, {"add", "x"}, {"remove", "y"}}));
    Request r;
    r.now = at(1, 10);
    EXPECT_EQ(joined(run(profile_section, r, list_of("y"))), "x");
    EXPECT_TRUE(profile_lines().empty());
}

// profiles_update reads the lists, heads and URL commands of the
// connection, falls back to the general section's proxy host name when -H
// is not given, and writes the result into the access-log record.
TEST_F(ProfileRules, UpdateWorksOnTheConnection)
{
    load("general", "<proxy_host>cache7.example.org</proxy_host><temp_dir>/tmp</temp_dir>"
                    "<html_line_length>80</html_line_length><pool_size>10</pool_size>"
                    "<pool_timeout>60</pool_timeout>");
    load("profiles",
         rule({{"groups", "staff"}, {"add", "staff"}}) +
         rule({{"url_commands", "nocache"}, {"add", "nocache"}}) +
         rule({{"proxy_host", "^cache7\\."}, {"add", "cache7"}}) +
         rule({{"profiles", "nocache"}, {"content_type", "^image/"}, {"add", "image"}}));
    ASSERT_EQ(proxyhost[0], '\0');

    CONNECTION_T *conn = connection_new();
    conn->ldap_groups = list_of("staff");
    conn->profiles = list_of("default");
    conn->request = header_new();
    header_field_set(&conn->request->scheme, "http");
    header_field_set(&conn->request->host, "www.example.com");
    header_field_set(&conn->request->path, "/");
    conn->request->port = 80;
    char name[] = "nocache";
    url_command_t command{name, nullptr};
    url_command_t *commands[] = {&command, nullptr};
    conn->url_commands = commands;

    profile_section->profiles_update(conn);
    EXPECT_EQ(joined(conn->profiles), "default,staff,nocache,cache7");
    EXPECT_EQ(conn->log_entry.profiles, "default,staff,nocache,cache7");

    // Once the response head is known, its condition takes effect.
    conn->response = header_new();
    header_field_set(&conn->response->content_type, "image/png");
    profile_section->profiles_update(conn);
    EXPECT_EQ(conn->log_entry.profiles, "default,staff,nocache,cache7,image");

    conn->url_commands = nullptr;
    http_header_free(conn->request);
    http_header_free(conn->response);
    conn->request = conn->response = nullptr;
    connection_free(conn);
}

}  // namespace
