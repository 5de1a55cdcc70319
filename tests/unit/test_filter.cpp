// The filter module pattern: the two-pass evaluation, the page name and
// the refusal status of a block.
#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <string>

#include "filters/filter.h"
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

}  // namespace
