// Interface form arguments and the small page helpers.
#include <gtest/gtest.h>

#include <map>
#include <string>

#include "interface/interface.h"
#include "fixture.h"

namespace {

using Args = std::map<std::string, std::string>;

TEST(CGIMapTest, ParsesPiecesAtTheLastEqualSignDecodedLaterOnesWinning)
{
    global_for_process();
    const struct {
        const char *text;
        Args expected;
    } cases[] = {
        {"a=1&b=2&a=3", {{"a", "3"}, {"b", "2"}}},        // a later key replaces
        {"x=y=z", {{"x=y", "z"}}},                         // split at the last "="
        {"a&b=c", {{"b", "c"}}},                           // a piece without "=" is dropped
        {"k=", {{"k", ""}}},                               // an empty value is a value
        {"a+b=c%41", {{"a b", "cA"}}},                     // both sides decoded
        {"n=ab%00cd", {{"n", "ab"}}},                      // a decoded NUL ends the text
        {"", {}},                                          // nothing
        {"bad=%4", {{"bad", "%4"}}},                       // a cut escape stays as written
    };
    for (const auto &c : cases) {
        CGIMap map(c.text);
        EXPECT_EQ(Args(map.begin(), map.end()), c.expected) << "arguments: " << c.text;
    }
    CGIMap none(nullptr);
    EXPECT_TRUE(none.empty());
}

TEST(CGIMapTest, AbsentKeyReadsEmpty)
{
    CGIMap map("a=1");
    EXPECT_EQ(map["missing"], "");
}

TEST(XatoiTest, EmptyIsMinusOneElseTheLeadingNumber)
{
    EXPECT_EQ(xatoi(""), -1);
    EXPECT_EQ(xatoi("42abc"), 42);
    EXPECT_EQ(xatoi("abc"), 0);
}

TEST(InterfaceHtmlTest, EscapesTheSpecialCharacters)
{
    global_for_process();
    EXPECT_EQ(interface_html("<a href=\"x\">&</a>"),
              "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;");
    EXPECT_EQ(interface_html(static_cast<const char *>(nullptr)), "");
}

}  // namespace
