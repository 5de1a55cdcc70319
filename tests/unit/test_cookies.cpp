// Cookies: the parsed cookie header written back, and the cookie filter's
// decision for incoming and outgoing lines.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <map>
#include <string>
#include <vector>

#include "engine/connection.h"
#include "filters/cookies.h"
#include "fixture.h"

namespace {

TEST(CookieHeaderTest, ParseAndBuild)
{
    global_for_process();
    const struct {
        const char *why;
        const char *value;
        const char *built;
    } cases[] = {
        {"flags and empty values are lost, attributes move behind the pairs",
         "sid=1; Secure; Path=/a; HttpOnly; x=; Version=0; Domain=.e.test",
         "sid=1; domain=.e.test; path=/a"},
        {"dollar attributes of a request are read without the dollar",
         "$Version=1; a=1; $Path=/; $Domain=e.test", "a=1; domain=e.test; path=/; version=1"},
        {"a value without pairs builds to nothing", "Path=/; Secure", ""},
        {"the first date form is kept",
         "a=1; expires=Wed, 01-Jan-2031 10:00:00 GMT", "a=1; expires=Wed, 01-Jan-2031 10:00:00 GMT"},
        {"the second date form is read and written in the first",
         "a=1; expires=Wed, 01 Jan 2031 10:00:00 GMT", "a=1; expires=Wed, 01-Jan-2031 10:00:00 GMT"},
        {"a two-digit year keeps its digits",
         "a=1; expires=Wed, 01-Jan-31 10:00:00 GMT", "a=1; expires=Wed, 01-Jan-31 10:00:00 GMT"},
        {"an unreadable date stays a pair before the attributes",
         "a=1; path=/p; Expires=tomorrow", "a=1; Expires=tomorrow; path=/p"},
        {"runs of separators count as one", ";;a=1;;  ;b=2;", "a=1; b=2"},
        {"the last of two paths wins", "a=1; path=/x; path=/y", "a=1; path=/y"},
    };
    for (const auto &c : cases) {
        CookieHeader header(c.value);
        EXPECT_EQ(header.Build(), c.built) << c.why << "\n  value: " << c.value;
    }
}

TEST(CookieHeaderTest, LoginCookieIsBuiltFromParts)
{
    CookieHeader header;
    header.pairs.emplace_back("login", "token");
    header.path = "/";
    EXPECT_EQ(header.Build(), "login=token; path=/");
}

using Fields = std::map<std::string, std::string>;

std::string cookie_rule_xml(const char *tag, const Fields &set)
{
    static const char *const fields[][2] = {
        {"enabled", "true"}, {"comment", ""}, {"groups", ""}, {"profiles", ""},
        {"year", "1970,2099"}, {"month", "0,11"}, {"day", "1,31"}, {"weekday", "0,6"},
        {"hour", "0,23"}, {"minute", "0,59"}, {"domain", ""}, {"path", ""},
        {"direction", "both"}, {"range_mode", "window"},
    };
    std::string xml = std::string("<") + tag + ">";
    for (const auto &field : fields) {
        auto given = set.find(field[0]);
        bool timed = std::string("year month day weekday hour minute").find(field[0]) !=
                     std::string::npos;
        std::string open = std::string("<") + field[0];
        if (timed)
            open += given != set.end() ? " active=\"true\"" : " active=\"false\"";
        xml += open + ">" + (given != set.end() ? given->second : field[1]) + "</" +
               field[0] + ">";
    }
    return xml + "</" + tag + ">";
}

class CookieSectionTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(cookie_section);
    }

    void SetUp() override { conn = connection_new(); }
    void TearDown() override
    {
        connection_free(conn);
        load(false, 0, {}, {});
    }

    static void load(bool enabled, int mode, const std::vector<Fields> &allow,
                     const std::vector<Fields> &deny)
    {
        std::string xml = std::string("<kelvarine><cookies-filtering><enabled>") +
                          (enabled ? "true" : "false") + "</enabled><mode>" +
                          std::to_string(mode) + "</mode>";
        for (const Fields &f : allow)
            xml += cookie_rule_xml("allow", f);
        for (const Fields &f : deny)
            xml += cookie_rule_xml("deny", f);
        xml += "</cookies-filtering></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << xml;
        cookie_section->load(&doc, 1);
    }

    int check(int direction, const char *value)
    {
        CookieHeader header(value);
        return cookie_section->check(direction, conn, header);
    }

    CONNECTION_T *conn = nullptr;
};

TEST_F(CookieSectionTest, RulesOnExpiryDomainPathAndDirection)
{
    ASSERT_NO_FATAL_FAILURE(load(true, 0, {},
                                 {{{"domain", "ads\\.test$"}, {"year", "2030,2035"},
                                   {"direction", "incoming"}},
                                  {{"path", "^/private"}, {"direction", "both"}}}));
    const struct {
        const char *why;
        int direction;
        const char *value;
        int pass;
    } cases[] = {
        {"ad domain, expiry inside the years", COOKIE_INCOMING,
         "a=1; domain=x.ads.test; expires=Wed, 01-Jan-2031 10:00:00 GMT", 0},
        {"ad domain, expiry outside the years", COOKIE_INCOMING,
         "a=1; domain=x.ads.test; expires=Wed, 01-Jan-2040 10:00:00 GMT", 1},
        {"ad domain, a session cookie has no time to test", COOKIE_INCOMING,
         "a=1; domain=x.ads.test", 1},
        {"ad domain, a two-digit year is of the first century", COOKIE_INCOMING,
         "a=1; domain=x.ads.test; expires=Wed, 01-Jan-31 10:00:00 GMT", 1},
        {"another domain", COOKIE_INCOMING,
         "a=1; domain=e.test; expires=Wed, 01-Jan-2031 10:00:00 GMT", 1},
        {"a private path is refused incoming", COOKIE_INCOMING, "a=1; path=/private/x", 0},
        {"outgoing lines are not tested on path: the both-ways rule takes every one",
         COOKIE_OUTGOING, "a=1; $Path=/public", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(check(c.direction, c.value), c.pass) << c.why << "\n  value: " << c.value;
}

TEST_F(CookieSectionTest, ModesBypassAndSwitch)
{
    ASSERT_NO_FATAL_FAILURE(load(true, 1, {}, {}));
    EXPECT_EQ(check(COOKIE_OUTGOING, "a=1"), 0) << "allow first, nothing allowed";
    conn->bypass = BYPASS_COOKIE;
    EXPECT_EQ(check(COOKIE_OUTGOING, "a=1"), 1) << "bypassed";
    conn->bypass = 0;
    ASSERT_NO_FATAL_FAILURE(load(true, 1, {{{"direction", "outgoing"}}}, {}));
    EXPECT_EQ(check(COOKIE_OUTGOING, "a=1"), 1) << "allowed outgoing";
    EXPECT_EQ(check(COOKIE_INCOMING, "a=1"), 0) << "not allowed incoming";
    ASSERT_NO_FATAL_FAILURE(load(false, 1, {}, {}));
    EXPECT_EQ(check(COOKIE_INCOMING, "a=1"), 1) << "switched off";
    ASSERT_NO_FATAL_FAILURE(load(true, 0, {}, {{{"domain", "("}}}));
    EXPECT_EQ(check(COOKIE_INCOMING, "a=1; domain=x"), 1) << "a broken rule never applies";
}

}  // namespace
