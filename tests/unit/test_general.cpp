// The "general" rules' per-connection values, the values without a rule,
// the global settings, and the "ftp" settings.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstdlib>
#include <map>
#include <string>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

class GeneralRules : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(general_section);
        section_for_process(ftp_section);
    }

    void SetUp() override
    {
        conn = connection_new();
    }

    void TearDown() override
    {
        connection_free(conn);
    }

    // A rule item with every field written: an enabled rule for everyone
    // with the given values.
    static std::string rule(const std::map<std::string, std::string> &set)
    {
        static const char *const fields[][2] = {
            {"enabled", "true"}, {"comment", ""}, {"groups", ""}, {"profiles", ""},
            {"connect_timeout", "60"}, {"io_timeout", "60"},
            {"keepalive_timeout", "60"}, {"max_download_buffer", "0"},
            {"max_upload_buffer", "0"}, {"buffer_wait", "0"},
            {"connect_ports", ""}, {"compress_mime", ""},
            {"compress_responses", "false"}, {"request_compression", "false"},
            {"x_forwarded_for", "false"}, {"via", "false"},
        };
        std::string xml = "<rule>";
        for (const auto &field : fields) {
            auto given = set.find(field[0]);
            std::string value = given != set.end() ? given->second : field[1];
            xml += std::string("<") + field[0] + ">" + value + "</" + field[0] + ">";
        }
        return xml + "</rule>";
    }

    static const char *globals()
    {
        return "<proxy_host>proxy.example.org</proxy_host><temp_dir>/var/tmp</temp_dir>"
               "<html_line_length>72</html_line_length><pool_size>25</pool_size>"
               "<pool_timeout>90</pool_timeout>";
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

    CONNECTION_T *conn = nullptr;
};

// Every value a rule gives, read through its getter.
struct Values {
    int ctimeout, timeout, keeptimeout;
    uint32_t maxdbuffer, maxubuffer;
    int bufferwait, compressout, compressin, xforwardedfor, via;
    int port80, port443;
};

Values values_of(const CONNECTION_T *conn)
{
    GeneralSection *g = general_section;
    return Values{g->ctimeout_get(conn), g->timeout_get(conn),
                  g->keeptimeout_get(conn), g->maxdbuffer_get(conn),
                  g->maxubuffer_get(conn), g->bufferwait_get(conn),
                  g->compressout_get(conn), g->compressin_get(conn),
                  g->xforwardedfor_get(conn), g->via_get(conn),
                  g->cportrange_check(conn, 80), g->cportrange_check(conn, 443)};
}

void expect_values(const Values &got, const Values &want, const std::string &why)
{
    EXPECT_EQ(got.ctimeout, want.ctimeout) << why;
    EXPECT_EQ(got.timeout, want.timeout) << why;
    EXPECT_EQ(got.keeptimeout, want.keeptimeout) << why;
    EXPECT_EQ(got.maxdbuffer, want.maxdbuffer) << why;
    EXPECT_EQ(got.maxubuffer, want.maxubuffer) << why;
    EXPECT_EQ(got.bufferwait, want.bufferwait) << why;
    EXPECT_EQ(got.compressout, want.compressout) << why;
    EXPECT_EQ(got.compressin, want.compressin) << why;
    EXPECT_EQ(got.xforwardedfor, want.xforwardedfor) << why;
    EXPECT_EQ(got.via, want.via) << why;
    EXPECT_EQ(got.port80, want.port80) << why;
    EXPECT_EQ(got.port443, want.port443) << why;
}

const Values no_rule = {60, 60, 60, 0, 0, 0, 0, 0, 0, 0, 1, 1};

const std::map<std::string, std::string> staff_rule = {
    {"profiles", "staff"}, {"connect_timeout", "5"}, {"io_timeout", "7"},
    {"keepalive_timeout", "9"}, {"max_download_buffer", "2M"},
    {"max_upload_buffer", "64K"}, {"buffer_wait", "11"},
    {"connect_ports", "443,563"}, {"compress_responses", "true"},
    {"request_compression", "true"}, {"x_forwarded_for", "true"},
    {"via", "true"}};
const Values staff_values = {5, 7, 9, 2097152, 65536, 11, 1, 1, 1, 1, 0, 1};

struct RuleCase {
    const char *why;
    std::string rules;
    const char *profiles;  // of the request
    const char *groups;    // of the user
    Values expected;
};

TEST_F(GeneralRules, FirstMatchingRuleGivesEveryValue)
{
    std::map<std::string, std::string> disabled = staff_rule;
    disabled["enabled"] = "false";
    std::map<std::string, std::string> zero_rule = {{"connect_ports", "443"}};

    const RuleCase cases[] = {
        {"no rule at all", "", "staff", "", no_rule},
        {"a rule whose profiles do not match", rule(staff_rule), "guests", "", no_rule},
        {"a disabled rule, although its lists match", rule(disabled), "staff", "",
         no_rule},
        {"the matching rule", rule(staff_rule), "staff", "", staff_values},
        {"a rule with empty lists applies to everyone", rule(zero_rule), "", "",
         Values{60, 60, 60, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"the first of two matching rules, also for the values it leaves at 0",
         rule({{"profiles", "staff"}, {"connect_ports", "8443"}}) + rule(staff_rule),
         "staff", "", Values{60, 60, 60, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"a skipped rule does not stop the search",
         rule(disabled) + rule({{"profiles", "!staff"}}) + rule(staff_rule),
         "staff", "", staff_values},
        {"the groups list tests the user's directory groups",
         rule({{"groups", "admins"}, {"io_timeout", "300"}}), "", "users,admins",
         Values{60, 300, 60, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
        {"CONNECT ports that do not parse let CONNECT reach no port",
         rule({{"connect_ports", "443,,563"}, {"io_timeout", "30"}}), "", "",
         Values{60, 30, 60, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {"CONNECT ports that do not parse in a later rule leave the first one alone",
         rule({{"connect_ports", "443"}}) + rule({{"connect_ports", "abc"}}), "", "",
         Values{60, 60, 60, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {"time-outs below 1 second are raised to 1",
         rule({{"connect_timeout", "0"}, {"io_timeout", "-5"}, {"keepalive_timeout", "0"}}),
         "", "", Values{1, 1, 1, 0, 0, 0, 0, 0, 0, 0, 1, 1}},
    };

    for (const RuleCase &c : cases) {
        load("general", globals() + c.rules);
        conn->profiles = StringList(c.profiles, ',');
        conn->ldap_groups = StringList(c.groups, ',');
        expect_values(values_of(conn), c.expected, c.why);
    }
}

TEST_F(GeneralRules, CompressibleTypes)
{
    struct {
        const char *why;
        const char *expression;
        const char *content_type;
        int expected;
    } cases[] = {
        {"an empty expression compresses nothing", "", "text/html", 0},
        {"a matching type", "text/", "text/html", 1},
        {"matching ignores case", "text/", "TEXT/HTML", 1},
        {"a type the expression does not name", "text/", "image/png", 0},
        {"a response without a Content-Type", "text/", nullptr, 0},
        {"an expression that does not compile compresses nothing", "text/(", "text/html", 0},
    };
    for (const auto &c : cases) {
        load("general", globals() + rule({{"compress_mime", c.expression},
                                          {"io_timeout", "30"}}));
        EXPECT_EQ(general_section->encodemime_check(conn, c.content_type), c.expected)
            << c.why;
        // The expression never takes the rule's other values away.
        EXPECT_EQ(general_section->timeout_get(conn), 30) << c.why;
    }

    load("general", globals());
    EXPECT_EQ(general_section->encodemime_check(conn, "text/html"), 0) << "no rule";
}

TEST_F(GeneralRules, GlobalSettings)
{
    load("general", globals());
    EXPECT_EQ(general_section->proxy_host_get(), "proxy.example.org");
    EXPECT_EQ(general_section->temp_dir_get(), "/var/tmp");
    EXPECT_EQ(general_section->linelength_get(), 72);
    EXPECT_EQ(general_section->poolsize_get(), 25);
    EXPECT_EQ(general_section->pooltimeout_get(), 90);

    // The line length divides in the HTML escaping: 0 counts as 1.
    load("general", "<proxy_host></proxy_host><temp_dir></temp_dir>"
                    "<html_line_length>0</html_line_length>"
                    "<pool_size>0</pool_size><pool_timeout>0</pool_timeout>");
    EXPECT_EQ(general_section->linelength_get(), 1);

    // A global changed in place, as the web form does, is read at once.
    general_section->write_lock();
    general_section->fields[0].raw = "other.example.org";
    general_section->unlock();
    EXPECT_EQ(general_section->proxy_host_get(), "other.example.org");
}

TEST_F(GeneralRules, FtpSettings)
{
    load("ftp", "<passive>false</passive><timeout>45</timeout>"
                "<default_user>ftpuser</default_user>"
                "<default_password>secret</default_password>"
                "<sort_order>descending</sort_order><sort_field>date</sort_field>");
    EXPECT_EQ(ftp_section->passive_get(), 0);
    EXPECT_EQ(ftp_section->timeout_get(), 45);
    EXPECT_EQ(ftp_section->sortorder_get(), 1);
    EXPECT_EQ(ftp_section->sortfield_get(), 3);
    std::string user, password;
    ftp_section->login_get(user, password);
    EXPECT_EQ(user, "ftpuser");
    EXPECT_EQ(password, "secret");

    load("ftp", "<passive>true</passive><timeout>0</timeout>"
                "<default_user></default_user><default_password></default_password>"
                "<sort_order>ascending</sort_order><sort_field>name</sort_field>");
    EXPECT_EQ(ftp_section->passive_get(), 1);
    EXPECT_EQ(ftp_section->timeout_get(), 1) << "a time-out of 0 counts as 1";
    EXPECT_EQ(ftp_section->sortorder_get(), 0);
    EXPECT_EQ(ftp_section->sortfield_get(), 1);
}

}  // namespace
