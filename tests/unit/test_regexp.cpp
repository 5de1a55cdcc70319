// Regular expressions: PCRE matching, limits, substitution templates,
// length-aware replacement and template variables.
#include "runtime/regexp.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <pthread.h>
#include <string>

#include "engine/options.h"
#include "runtime/filebuf.h"
#include "runtime/thread.h"

namespace {

std::string content(const Filebuf &buffer)
{
    return std::string(buffer.data != nullptr ? buffer.data : "", buffer.size);
}

void fill(Filebuf *buffer, const std::string &text)
{
    buffer->Resize(0);
    buffer->Add(text.data(), text.size());
}

TEST(RegExec, PcreSyntaxAndCaseInsensitiveMatching)
{
    struct Case {
        const char *pattern;
        const char *text;
        bool matches;
    };
    const Case cases[] = {
        // \d is a digit to PCRE; to the C library's regcomp it is a 'd'.
        {"\\d+", "abc123", true},
        {"\\d+", "ddd", false},
        // Lookahead exists only in PCRE.
        {"foo(?=bar)", "xfoobar", true},
        {"foo(?=bar)", "foobaz", false},
        {"^www\\.example\\.com$", "WWW.Example.COM", true},
        {"text/html", "Text/HTML; charset=utf-8", true},
    };
    for (const Case &c : cases) {
        regexp_t *expression = reg_compile(c.pattern, REGEXP_ICASE);
        ASSERT_NE(expression, nullptr) << c.pattern;
        EXPECT_EQ(reg_exec(expression, c.text) == 0, c.matches)
            << c.pattern << " on " << c.text;
        reg_free(expression);
    }
}

TEST(RegExec, PatternThatDoesNotCompileGivesNull)
{
    EXPECT_EQ(reg_compile("(unclosed", REGEXP_ICASE), nullptr);
    EXPECT_EQ(reg_sub_compile("[z-a]", 15), nullptr);
}

TEST(RegExec, NulByteDoesNotHideTheRestOfABody)
{
    regexp_t *expression = reg_compile("virus", REGEXP_ICASE);
    ASSERT_NE(expression, nullptr);
    const char body[] = "harmless\0then VIRUS here";
    EXPECT_EQ(reg_exec(expression, body, sizeof body - 1), 0);
    EXPECT_NE(reg_exec(expression, body), 0) << "the text form stops at the NUL";
    reg_free(expression);
}

TEST(RegExec, CatastrophicBacktrackingFailsTheMatch)
{
    regexp_t *expression = reg_compile("^(a+)+$", REGEXP_ICASE);
    ASSERT_NE(expression, nullptr);
    std::string text(40, 'a');
    text += 'b';
    EXPECT_NE(reg_exec(expression, text.c_str()), 0);
    reg_free(expression);
}

struct DeepMatch {
    std::string text;
    int exec_result = 0;
    bool sub_matched = true;
};

void *deep_match(void *arg)
{
    auto *job = static_cast<DeepMatch *>(arg);
    regexp_t *expression = reg_compile("(a|b)*c", REGEXP_ICASE);
    job->exec_result = reg_exec(expression, job->text.c_str());
    reg_free(expression);
    regex_sub_t *sub = reg_sub_compile("(a|b)*c", 1);
    regmatch_sub_t *match = reg_sub_exec(sub, job->text.c_str());
    job->sub_matched = match != nullptr;
    reg_sub_match_free(match);
    reg_sub_free(sub);
    return nullptr;
}

// Each repetition of a group nests one level of PCRE's recursion; without a
// recursion limit this text overflows a worker's stack.  The matching thread
// gets the static TLS on top of max_opt_stack, so that max_opt_stack bytes
// are left for the match in every build.
TEST(RegExec, DeepRecursionFailsInsteadOfOverflowingAWorkerStack)
{
    int saved = max_opt_stack;
    max_opt_stack = 262144;
    DeepMatch job;
    job.text.assign(200000, 'a');

    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, static_cast<size_t>(max_opt_stack) + thread_static_tls_size());
    pthread_t worker;
    ASSERT_EQ(pthread_create(&worker, &attr, deep_match, &job), 0);
    pthread_join(worker, nullptr);
    pthread_attr_destroy(&attr);
    max_opt_stack = saved;

    EXPECT_NE(job.exec_result, 0);
    EXPECT_FALSE(job.sub_matched);
}

class RegReplace : public ::testing::Test {
protected:
    // Replaces in `text` and returns the result; the count goes to *count.
    std::string replace(const char *pattern, const std::string &text,
                        const char *replacement, int *count)
    {
        regex_sub_t *expression = reg_sub_compile(pattern, 0);
        EXPECT_NE(expression, nullptr) << pattern;
        if (expression == nullptr)
            return "";
        Filebuf buffer;
        fill(&buffer, text);
        *count = reg_replace(&buffer, expression, replacement, variables);
        reg_sub_free(expression);
        return content(buffer);
    }

    variables_t variables;
};

TEST_F(RegReplace, TemplatesExpandForEveryMatch)
{
    struct Case {
        const char *pattern;
        const char *text;
        const char *replacement;
        const char *expected;
        int count;
    };
    const Case cases[] = {
        {"a", "banana", "[$0]", "b[a]n[a]n[a]", 3},
        {"a", "banana", nullptr, "bnn", 3},
        // $2 names a group the pattern does not have: nothing.
        {"(a)n", "an", "$1-$2", "a-", 1},
        {"x", "x", "\\t|\\n|\\\\|\\q", "\t|\n|\\|q", 1},
        {"x", "x", "$$|$", "$|$", 1},
        {"x", "x", "end\\", "end", 1},
        // ':' after '$' names group 10.
        {"(1)(2)(3)(4)(5)(6)(7)(8)(9)(0)", "1234567890", "$:$9$1", "091", 1},
        {"q", "banana", "Q", "banana", 0},
        // Empty matches advance one byte at a time and also match at the end.
        {"x*", "abc", "-", "-a-b-c-", 4},
        {"^", "ab", ">", ">ab", 1},
    };
    for (const Case &c : cases) {
        int count = -1;
        EXPECT_EQ(replace(c.pattern, c.text, c.replacement, &count), c.expected)
            << c.pattern << " on " << c.text;
        EXPECT_EQ(count, c.count) << c.pattern << " on " << c.text;
    }
}

TEST_F(RegReplace, WholeBodyIsRewrittenPastANulByte)
{
    int count = 0;
    std::string body("one\0two one", 11);
    EXPECT_EQ(replace("one", body, "1", &count), std::string("1\0two 1", 7));
    EXPECT_EQ(count, 2);
}

TEST_F(RegReplace, VariablesExpandBeforeGroupsAndMimeTypeStays)
{
    variables["HOST"] = "example.org";
    variables["ODD"] = "$1";
    regex_sub_t *expression = reg_sub_compile("/(\\w+)", 0);
    ASSERT_NE(expression, nullptr);
    Filebuf buffer;
    fill(&buffer, "go /home");
    buffer.type = strdup("text/plain");
    EXPECT_EQ(reg_replace(&buffer, expression, "@HOST@/$1 @ODD@ @NEW@", variables), 1);
    // A variable's value is itself subject to the group rules.
    EXPECT_EQ(content(buffer), "go example.org/home home ");
    EXPECT_STREQ(buffer.type, "text/plain");
    EXPECT_EQ(variables.count("NEW"), 1u);
    reg_sub_free(expression);
}

TEST(RegSub, ParseGivesAStringForOneMatch)
{
    variables_t variables;
    regex_sub_t *expression = reg_sub_compile("(\\w+)@(\\w+)", pcre_options("i"));
    ASSERT_NE(expression, nullptr);
    regmatch_sub_t *match = reg_sub_exec(expression, "mail: joe@host.");
    ASSERT_NE(match, nullptr);
    EXPECT_EQ(match->start, 6);
    EXPECT_EQ(match->end, 14);
    EXPECT_EQ(match->count, 3);
    char *text = reg_sub_parse(match, "$2 <- $1", variables);
    EXPECT_STREQ(text, "host <- joe");
    free(text);
    reg_sub_match_free(match);
    reg_sub_free(expression);
}

TEST(RegSub, OptionLetters)
{
    EXPECT_EQ(pcre_options("imsxu"), PCRE_CASELESS | PCRE_MULTILINE | PCRE_DOTALL |
                                         PCRE_EXTENDED | PCRE_UNGREEDY);
    EXPECT_EQ(pcre_options("IMSXU"), pcre_options("imsxu"));
    EXPECT_EQ(pcre_options("gq"), 0);
}

TEST(StringReplace, EveryOccurrenceOnceAndNulBytesKept)
{
    Filebuf buffer;
    fill(&buffer, "aXbXc");
    // The replacement holds the text: the search goes on after it.
    string_replace(&buffer, "X", "XX");
    EXPECT_EQ(content(buffer), "aXXbXXc");

    fill(&buffer, std::string("a--\0--b", 7));
    string_replace(&buffer, "--", nullptr);
    EXPECT_EQ(content(buffer), std::string("a\0b", 3));
}

class VariablesParse : public ::testing::Test {
protected:
    std::string parse(const std::string &text, const char *type = nullptr)
    {
        Filebuf buffer;
        fill(&buffer, text);
        if (type != nullptr)
            buffer.type = strdup(type);
        variables_parse(variables, &buffer);
        return content(buffer);
    }

    variables_t variables{{"URL", "x"}, {"REASON", "<b>&\"</b>"}};
};

TEST_F(VariablesParse, NamesBetweenAtSignsAreReplaced)
{
    const std::string name62(62, 'n');
    const std::string name63(63, 'n');
    variables[name62] = "long";
    struct Case {
        std::string text;
        std::string expected;
    };
    const Case cases[] = {
        {"go @URL@ now", "go x now"},
        {"a@@b", "a@b"},
        {"[@MISSING@]", "[]"},
        // A lone at-sign and what follows it stay as they are.
        {"mail me @ home", "mail me @ home"},
        {"trailing @URL", "trailing @URL"},
        {"@", "@"},
        {"@" + name62 + "@", "long"},
        // A closing at-sign more than 63 bytes on ends no name.
        {"@" + name63 + "@URL@", "@" + name63 + "x"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(parse(c.text), c.expected) << c.text;
    ASSERT_EQ(variables.count("MISSING"), 1u);
    EXPECT_EQ(variables["MISSING"], "");
}

TEST_F(VariablesParse, ValuesAreEscapedOnlyInHtmlPages)
{
    EXPECT_EQ(parse("<p>@REASON@</p>", "text/html; charset=utf-8"),
              "<p>&lt;b&gt;&amp;&quot;&lt;/b&gt;</p>");
    EXPECT_EQ(parse("<p>@REASON@</p>", "text/plain"), "<p><b>&\"</b></p>");
}

} // namespace
