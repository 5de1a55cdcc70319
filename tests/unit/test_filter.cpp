// The filter module pattern: the two-pass evaluation, the page name and
// the refusal status of a block, and the rules of every filter and scanner
// module disabled by a value that does not parse.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <cstring>
#include <functional>
#include <list>
#include <map>
#include <string>

#include "engine/connection.h"
#include "engine/header_filter.h"
#include "filters/clamav.h"
#include "filters/cookies.h"
#include "filters/filter.h"
#include "filters/icap.h"
#include "filters/keyword.h"
#include "filters/limits.h"
#include "filters/mime.h"
#include "filters/redirect.h"
#include "filters/rewrite.h"
#include "filters/sortmarks.h"
#include "filters/urlbl.h"
#include "fixture.h"

namespace {

struct Rule {
    bool matches;
    const char *name;
};

TEST(FilterPatternTest, TwoPassEvaluation)
{
    const Rule fallback{false, "default"};
    const struct {
        const char *why;
        int mode;
        std::list<Rule> allow;
        std::list<Rule> deny;
        const char *decided;  // null: passes
    } cases[] = {
        {"deny first, empty lists: nothing is refused", 0, {}, {}, nullptr},
        {"deny first, a deny match decides", 0, {}, {{true, "d1"}}, "d1"},
        {"deny first, the first deny match decides", 0, {},
         {{false, "d0"}, {true, "d1"}, {true, "d2"}}, "d1"},
        {"deny first, an allow match overrides", 0, {{true, "a1"}}, {{true, "d1"}}, nullptr},
        {"deny first, an allow rule alone changes nothing", 0, {{true, "a1"}}, {}, nullptr},
        {"allow first, empty allow list: the default decides", 1, {}, {}, "default"},
        {"allow first, no allow match: the default decides", 1, {{false, "a1"}},
         {{true, "d1"}}, "default"},
        {"allow first, allowed and not denied", 1, {{true, "a1"}}, {{false, "d1"}}, nullptr},
        {"allow first, allowed then denied", 1, {{true, "a1"}}, {{true, "d1"}}, "d1"},
        {"any mode but 0 is allow first", -7, {}, {}, "default"},
    };
    for (const auto &c : cases) {
        const Rule *r = filter_two_pass(c.mode, c.allow, c.deny, &fallback,
                                        [](const Rule &rule) { return rule.matches; });
        if (c.decided == nullptr)
            EXPECT_EQ(r, nullptr) << c.why;
        else
            EXPECT_STREQ(r ? r->name : "(none)", c.decided) << c.why;
    }
}

TEST(FilterPatternTest, PageNameFallsBackFromRuleToSectionToFixed)
{
    EXPECT_EQ(filter_page_name("rulepage", "sectionpage", "blocked"), "rulepage");
    EXPECT_EQ(filter_page_name("", "sectionpage", "blocked"), "sectionpage");
    EXPECT_EQ(filter_page_name("", "", "blocked"), "blocked");
}

TEST(FilterPatternTest, ARefusalIsNeverTwoHundred)
{
    EXPECT_EQ(filter_refusal_status(200), 403);
    EXPECT_EQ(filter_refusal_status(404), 404);
}

TEST(FilterPatternTest, APatternThatDoesNotCompileBreaksItsRule)
{
    global_for_process();
    bool broken = false;
    EXPECT_EQ(filter_pattern("", "test", "empty", &broken), nullptr);
    EXPECT_FALSE(broken);
    FilterRegex good;
    good.compile("^a(?=b)", "test", "lookahead only PCRE knows", &broken);
    EXPECT_FALSE(broken);
    EXPECT_TRUE(good.matches("ab"));
    EXPECT_FALSE(good.matches("ac"));
    std::string body("x\0secret", 8);
    FilterRegex secret;
    secret.compile("secret", "test", "after a NUL", &broken);
    EXPECT_TRUE(secret.matches(body.data(), body.size()));
    FilterRegex bad;
    bad.compile("(unclosed", "test", "broken", &broken);
    EXPECT_TRUE(broken);
}

// Whether the native log holds a line with the text.
bool logged(const std::string &text)
{
    for (LOGBUFFER_NODE *node = global->logbuffer->tail; node; node = node->previous)
        if (std::string(node->text).find(text) != std::string::npos)
            return true;
    return false;
}

// Appends to the section's element an item of the subsection written as
// its template, with the given fields' texts set (an optional one switched
// on).
void rule_append(TiXmlElement *parent, Section &section, const std::string &subsection,
                 const std::map<std::string, std::string> &set)
{
    Subsection *sub = section.subsection_get(subsection);
    ASSERT_NE(sub, nullptr) << subsection;
    TiXmlElement element(subsection);
    Item(*sub).fields.save(&element);
    for (const auto &field : set) {
        TiXmlElement *child = element.FirstChildElement(field.first);
        ASSERT_NE(child, nullptr) << field.first;
        child->Clear();
        child->LinkEndChild(new TiXmlText(field.second));
        if (child->Attribute("active") != nullptr)
            child->SetAttribute("active", "true");
    }
    parent->InsertEndChild(element);
}

// A value of a rule's condition that does not parse disables the rule: the
// template's value in its place (an empty address list, an open hour
// range, port -1) would apply the rule more widely than it was written.
// Each case loads one rule with the flawed value and the same rule with a
// good one: only the flawed one is disabled, and the flaw and the disabled
// rule are logged.
TEST(FilterPatternTest, AFlawedValueDisablesItsRule)
{
    global_for_process();
    ASSERT_NO_FATAL_FAILURE(schema_for_process());
    section_for_process(filter_section);
    section_for_process(mime_section);
    section_for_process(keyword_section);
    section_for_process(cookie_section);
    section_for_process(redirect_section);
    section_for_process(rewrite_section);
    section_for_process(limit_section);
    section_for_process(urlbl_section);
    section_for_process(icap_section);
    section_for_process(sortmarks_section);
    section_for_process(header_section);
    section_for_process(clamav_section);
    CONNECTION_T *conn = connection_new();
    ASSERT_NE(conn, nullptr);

    // Whether the rule built from the item can apply to the connection.
    typedef std::function<bool(const Item &)> Applies;
    auto common = [conn](int32_t enabled, bool broken, const StringList &groups,
                         const StringList &profiles) {
        return filter_applies(enabled, broken, groups, profiles, conn);
    };
    const Applies url = [&](const Item &i) { Filter r(i); return common(r.enabled, r.broken, r.groups, r.profiles); };
    const Applies mime = [&](const Item &i) { Mime r(i); return common(r.enabled, r.broken, r.groups, r.profiles); };
    const Applies keyword = [&](const Item &i) { Keyword r(i); return common(r.enabled, r.broken, r.groups, r.profiles); };
    const Applies cookie = [&](const Item &i) { Cookie r(i); return common(r.enabled, r.broken, r.groups, r.profiles); };
    const Applies redirect = [&](const Item &i) { Redirect r(i); return common(r.enabled, r.broken, r.groups, r.profiles); };
    const Applies rewrite = [&](const Item &i) { Rewrite r(i); return r.enabled != 0 && !r.broken; };
    const Applies limit = [&](const Item &i) { Limit r(i); return common(r.enabled, false, r.groups, r.profiles); };
    const Applies urlbl = [&](const Item &i) { URLBL r(i); return common(r.enabled, false, r.groups, r.profiles); };
    const Applies icap = [&](const Item &i) { ICAP r(i); return r.enabled != 0; };
    const Applies sortmarks = [&](const Item &i) { SORTMARKS r(i); return r.enabled != 0; };
    const Applies header = [&](const Item &i) { Header r(i); return r.enabled != 0 && !r.broken; };
    // The connectors build their rules when the section is loaded.
    const Applies clamav = [&](const Item &) {
        clamav_section->read_lock();
        bool found = clamav_section->find(conn) != nullptr;
        clamav_section->unlock();
        return found;
    };

    struct Case {
        Section *section;
        const char *subsection;
        const char *log_name;   // the module's name in its log lines
        const char *field;
        const char *flawed;
        const char *good;
        Applies applies;
    };
    const Case cases[] = {
        {filter_section, "deny", "url filter", "addresses", "10.0.0.0/33", "10.0.0.0-10.0.0.9", url},
        {mime_section, "deny", "mime filter", "enabled", "yes", "true", mime},
        {keyword_section, "keywords", "keyword filter", "score", "ten", "10", keyword},
        {cookie_section, "deny", "cookie filter", "hour", "9,25", "9,17", cookie},
        {cookie_section, "allow", "cookie filter", "year", "2030", "2030,2035", cookie},
        {redirect_section, "redirects", "redirect", "port", "80x", "80", redirect},
        {rewrite_section, "rewrites", "rewriting", "enabled", "on", "true", rewrite},
        {limit_section, "limit", "limits", "hour", "9-17", "9,17", limit},
        {limit_section, "limit", "limits", "download_quota", "lots", "10M", limit},
        {urlbl_section, "deny", "urlblacklist", "enabled", "1", "true", urlbl},
        {icap_section, "services", "icap", "port", "13 44", "1344", icap},
        {sortmarks_section, "category_rules", "sortmarks", "log", "sometimes", "false", sortmarks},
        {header_section, "deny", "header-filtering", "enabled", "yes", "true", header},
        {clamav_section, "rules", "clamav", "enabled", "yes", "true", clamav},
    };
    // Each rule goes into the section of the shipped configuration, so
    // that only its own value can be flawed.
    const std::string shipped = source_dir() + "/etc/kelvarine.xml";
    for (const Case &c : cases) {
        for (bool flawed : {true, false}) {
            std::string what = c.section->name + " " + c.field + " " +
                               (flawed ? c.flawed : c.good);
            TiXmlDocument doc(shipped.c_str());
            ASSERT_TRUE(doc.LoadFile()) << shipped;
            TiXmlElement *sec = doc.RootElement()->FirstChildElement(c.section->name);
            ASSERT_NE(sec, nullptr) << what;
            TiXmlElement *enabled = sec->FirstChildElement("enabled");
            ASSERT_NE(enabled, nullptr) << what;
            enabled->Clear();
            enabled->LinkEndChild(new TiXmlText("true"));
            ASSERT_NO_FATAL_FAILURE(rule_append(sec, *c.section, c.subsection,
                                                {{"comment", std::string("case ") + c.field},
                                                 {c.field, flawed ? c.flawed : c.good}}));

            logbuffer_clear(global->logbuffer);
            c.section->load(&doc, 1);
            Subsection *sub = c.section->subsection_get(c.subsection);
            ASSERT_NE(sub, nullptr) << what;
            ASSERT_EQ(sub->items.size(), 1u) << what;
            EXPECT_EQ(c.applies(sub->items.front()), !flawed) << what;
            EXPECT_EQ(logged("flawed XML file, section " + c.section->name), flawed) << what;
            EXPECT_EQ(logged(std::string(c.log_name) + ": rule \"case " + c.field +
                             "\" disabled: a value of it is flawed"),
                      flawed)
                << what;
        }
        TiXmlDocument doc(shipped.c_str());
        ASSERT_TRUE(doc.LoadFile()) << shipped;
        c.section->load(&doc, 1);
    }
    connection_free(conn);
}

}  // namespace

namespace {

// The joined expressions decide exactly as the expressions one by one: a
// text none of them matches is "no match", any other is "maybe".
TEST(FilterPrefilterTest, JoinedExpressionsAgreeWithTheirRules)
{
    global_for_process();
    const std::vector<std::string> expressions = {
        "casino", "^ads[0-9]+\\.example$", "poker\\b", "(a)\\1",  // back-reference: left out
        "(?i:Lotto)" /* options: left out */, "(?x) bingo # extended: left out", "",
        "(?<=x)y",
    };
    FilterPrefilter prefilter;
    std::vector<bool> held;
    prefilter.build(expressions, &held);
    EXPECT_EQ(held, (std::vector<bool>{true, true, true, false, false, false, false, true}));
    const struct {
        const char *text;
        bool may;
    } cases[] = {
        {"nothing to see here", false},
        {"big CASINO night", true},
        {"ads12.example", true},
        {"xads12.example", false},   // the anchor of one alternative stays its own
        {"pokerface", false},        // \b stays with its alternative
        {"aa", false},               // the back-reference rule is not joined
        {"xy", true},
        {"lotto", false},            // left out: its rule is tested on its own
    };
    for (const auto &c : cases)
        EXPECT_EQ(prefilter.may_match(c.text, strlen(c.text)), c.may) << "text: " << c.text;
}

TEST(FilterPrefilterTest, FewerThanTwoExpressionsJoinNothing)
{
    FilterPrefilter prefilter;
    std::vector<bool> held;
    prefilter.build({"only"}, &held);
    EXPECT_EQ(held, std::vector<bool>{false});
    EXPECT_TRUE(prefilter.may_match("x", 1));
}

TEST(FilterPrefilterTest, RebuildsReplaceTheJoinedExpression)
{
    // Every edit, clone or load rebuilds a list's prefilter: the joined
    // expression of the last build is the one in force.
    FilterPrefilter prefilter;
    std::vector<bool> held;
    const std::vector<std::vector<std::string>> builds = {
        {"alpha", "beta"}, {"alpha", "beta", "gamma"}, {"delta"}, {"epsilon", "zeta"},
    };
    for (const auto &expressions : builds)
        prefilter.build(expressions, &held);
    EXPECT_EQ(held, (std::vector<bool>{true, true}));
    EXPECT_FALSE(prefilter.may_match("alpha", 5));
    EXPECT_TRUE(prefilter.may_match("zeta", 4));
}

}  // namespace
