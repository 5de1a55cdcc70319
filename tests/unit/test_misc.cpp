// String, array, time and conversion helpers, and the StringList family.
#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

// The entries of a string array, so a whole result compares at once.
std::vector<std::string> entries(char **array)
{
    std::vector<std::string> out;
    for (char **p = array; p && *p; p++)
        out.emplace_back(*p);
    return out;
}

std::vector<std::string> items(const StringList &list)
{
    return std::vector<std::string>(list.begin(), list.end());
}

typedef std::vector<std::string> Strings;

} // namespace

// ---------------------------------------------------------------- C strings

TEST(MiscStrings, BoundedCopyAndAppendNeverPassTheSize)
{
    struct Case {
        const char *name;
        bool append;
        const char *destination;
        const char *source;
        size_t size;
        const char *expected; // null: the buffer must be untouched
    } cases[] = {
        {"copy fits", false, "", "hello", 16, "hello"},
        {"copy cut to size - 1", false, "", "hello", 4, "hel"},
        {"copy size 1 gives empty", false, "xyz", "hello", 1, ""},
        {"copy size 0 writes nothing", false, "xyz", "hello", 0, nullptr},
        {"append fits", true, "ab", "cd", 16, "abcd"},
        {"append cut", true, "ab", "cdef", 5, "abcd"},
        {"append exact fit", true, "ab", "cd", 5, "abcd"},
        {"destination longer than size is cut", true, "abcdef", "gh", 4, "abc"},
        {"destination of size - 1 stays", true, "abc", "gh", 4, "abc"},
        {"append size 1 gives empty", true, "abc", "gh", 1, ""},
        {"append size 0 writes nothing", true, "abc", "gh", 0, nullptr},
    };
    for (const Case &c : cases) {
        char buffer[64];
        memset(buffer, '#', sizeof buffer);
        memcpy(buffer, c.destination, strlen(c.destination) + 1);
        char before[64];
        memcpy(before, buffer, sizeof buffer);
        char *result = c.append ? s_strncat(buffer, c.source, c.size)
                                : s_strncpy(buffer, c.source, c.size);
        EXPECT_EQ(result, buffer) << c.name;
        if (c.expected == nullptr) {
            EXPECT_EQ(0, memcmp(before, buffer, sizeof buffer)) << c.name;
            continue;
        }
        EXPECT_STREQ(c.expected, buffer) << c.name;
        // Nothing at or after position size may change, except the
        // terminator of an unchanged, already shorter destination.
        size_t from = std::max(c.size, strlen(c.destination) + 1);
        EXPECT_EQ(0, memcmp(before + from, buffer + from, sizeof buffer - from))
            << c.name;
    }
}

TEST(MiscStrings, CaseInsensitiveSearch)
{
    struct Case {
        const char *text;
        const char *needle;
        int offset; // -1: not found
    } cases[] = {
        {"Hello World", "WORLD", 6},
        {"aab", "AB", 1},
        {"abc", "", 0},      // empty needle matches at the start
        {"", "", -1},        // but never in an empty text
        {"abc", "abcd", -1}, // needle longer than the text
        {"abc", "x", -1},
    };
    for (const auto &c : cases) {
        const char *found = s_strcasestr(c.text, c.needle);
        if (c.offset < 0)
            EXPECT_EQ(nullptr, found) << c.text << " / " << c.needle;
        else
            EXPECT_EQ(c.text + c.offset, found) << c.text << " / " << c.needle;
    }
}

TEST(MiscStrings, DottedQuadIsRecognisedOnlyWhenValid)
{
    struct Case {
        const char *text;
        bool expected;
    } cases[] = {
        {"1.2.3.4", true},
        {"255.255.255.255", true},
        {"0.0.0.0", true},
        {"010.1.1.1", true},
        {"256.1.1.1", false}, // no byte wraps into an address
        {"1.2.3.999", false},
        {"1234.1.1.1", false},
        {"1..2.3", false},
        {"1.2.3", false},
        {"1.2.3.4.5", false},
        {"1.2.3.4 ", false},
        {"1.2.3.", false},
        {"", false},
        {"a.b.c.d", false},
        {"example.com", false},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, isip(c.text)) << '"' << c.text << '"';
}

TEST(MiscStrings, IsemptyLooksOnlyAtTheFirstBytes)
{
    EXPECT_TRUE(isempty("", 5));
    EXPECT_TRUE(isempty(" \t\r\n", 10));
    EXPECT_FALSE(isempty("  x", 10));
    EXPECT_TRUE(isempty("  x", 2));
}

TEST(MiscStrings, ByteCopyRefusesATextLongerThanTheBuffer)
{
    unsigned char buffer[8];
    memset(buffer, 0xee, sizeof buffer);
    EXPECT_EQ(4, signed_to_unsigned_char("\xff" "abc", buffer, 4));
    EXPECT_EQ(0xff, buffer[0]);
    EXPECT_EQ(0xee, buffer[4]); // no terminator written

    memset(buffer, 0xee, sizeof buffer);
    EXPECT_EQ(-1, signed_to_unsigned_char("abcde", buffer, 4));
    EXPECT_EQ(0xee, buffer[0]);

    EXPECT_EQ(0, signed_to_unsigned_char(nullptr, buffer, 4));
    EXPECT_EQ(0, signed_to_unsigned_char("", buffer, 4));
}

TEST(MiscStrings, StringAppendGrowsFromNull)
{
    char *s = string_append(nullptr, "ab");
    s = string_append(s, "");
    s = string_append(s, "cd");
    EXPECT_STREQ("abcd", s);
    free(s);
}

// ------------------------------------------------------------ string arrays

TEST(MiscArrays, StringBreakCollapsesSeparators)
{
    struct Case {
        const char *text;
        Strings expected;
    } cases[] = {
        {"a,b", {"a", "b"}},
        {",a,,b,", {"a", "b"}},
        {"abc", {"abc"}},
        {" a , b", {" a ", " b"}}, // nothing is trimmed
        {"", {""}},                // one empty entry
        {",,,", {""}},
    };
    for (const auto &c : cases) {
        char **array = string_break(c.text, ',');
        EXPECT_EQ(c.expected, entries(array)) << '"' << c.text << '"';
        EXPECT_EQ(static_cast<int>(c.expected.size()), array_length(array));
        array_free(array);
    }
    EXPECT_EQ(nullptr, string_break(nullptr, ','));
}

TEST(MiscArrays, AddFindDeleteAndMerge)
{
    EXPECT_EQ(0, array_length(nullptr));
    EXPECT_FALSE(array_find(nullptr, "a"));
    EXPECT_EQ(nullptr, array_delete(nullptr, "a"));
    EXPECT_EQ(nullptr, array_dup(nullptr));
    array_free(nullptr);

    char **a = array_add(nullptr, "x");
    a = array_add(a, "y");
    a = array_add(a, "x");
    a = array_add(a, "z");
    EXPECT_TRUE(array_find(a, "y"));
    EXPECT_FALSE(array_find(a, "Y"));

    char **copy = array_dup(a);
    a = array_delete(a, "x"); // every equal entry goes
    EXPECT_EQ((Strings{"y", "z"}), entries(a));
    EXPECT_EQ((Strings{"x", "y", "x", "z"}), entries(copy)); // deep copy

    char *merged = array_merge(copy, ':');
    EXPECT_STREQ("x:y:x:z", merged);
    free(merged);
    merged = array_merge(copy + 2, ':'); // from a given entry on
    EXPECT_STREQ("x:z", merged);
    free(merged);

    a = array_delete(a, "y");
    a = array_delete(a, "z");
    EXPECT_EQ(0, array_length(a));
    merged = array_merge(a, ',');
    EXPECT_STREQ("", merged);
    free(merged);
    merged = array_merge(nullptr, ',');
    EXPECT_STREQ("", merged);
    free(merged);
    array_free(a);
    array_free(copy);
}

TEST(MiscArrays, MergeKeepsLongEntriesWhole)
{
    std::string long_entry(10000, 'q');
    char **a = array_add(nullptr, long_entry.c_str());
    a = array_add(a, "end");
    char *merged = array_merge(a, ',');
    EXPECT_EQ(long_entry + ",end", merged);
    free(merged);
    array_free(a);
}

TEST(MiscArrays, CommandLineWords)
{
    std::string long_word(300, 'w');
    struct Case {
        std::string text;
        Strings expected;
    } cases[] = {
        {"a b", {"a", "b"}},
        {"   a    b  ", {"a", "b"}},
        {"\"a b\" c", {"a b", "c"}},
        {"'a \"b\"' c", {"a \"b\"", "c"}},
        {"\"it's\"", {"it's"}},
        {"a\\ b", {"a b"}},
        {"\\\"x", {"\"x"}},
        {"\"a\\b\"", {"a\\b"}}, // inside quotes a backslash is ordinary
        {"x\"\"y 'p'q", {"xy", "pq"}},
        {"\"\" ''", {}}, // empty quotes add nothing
        {"", {}},
        {long_word + " z", {long_word, "z"}}, // a long word is kept whole
    };
    for (const auto &c : cases) {
        char **words = cmdline_parse(c.text.c_str());
        ASSERT_NE(nullptr, words);
        EXPECT_EQ(c.expected, entries(words)) << c.text;
        array_free(words);
    }
}

TEST(MiscArrays, StackFreeFromAMiddleNodeFreesTheWholeList)
{
    // The leak checker fails the test when a node is left behind.
    STACK_T *nodes[3];
    for (int i = 0; i < 3; i++) {
        nodes[i] = static_cast<STACK_T *>(xmalloc(sizeof(STACK_T)));
        nodes[i]->line = xstrdup("line");
    }
    for (int i = 0; i < 3; i++) {
        nodes[i]->previous = i > 0 ? nodes[i - 1] : nullptr;
        nodes[i]->next = i < 2 ? nodes[i + 1] : nullptr;
    }
    stack_free(nodes[1]);
    stack_free(nullptr);
}

// ------------------------------------------------------------ value classes

TEST(MiscStringList, ParseKeepsEmptyItemsButNoTrailingOne)
{
    struct Case {
        const char *text;
        Strings expected;
    } cases[] = {
        {"a,,b", {"a", "", "b"}},
        {"a,", {"a"}},
        {",a", {"", "a"}},
        {",", {""}},
        {"", {}},
        {" a ,b", {" a ", "b"}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, items(StringList(c.text, ','))) << '"' << c.text << '"';

    StringList list("a,b", ',');
    list.parse("c", ','); // parse appends
    EXPECT_EQ((Strings{"a", "b", "c"}), items(list));
}

TEST(MiscStringList, HasIsExactAndNeverHoldsTheEmptyText)
{
    StringList list(",Admin,ab", ',');
    EXPECT_TRUE(list.has("Admin"));
    EXPECT_FALSE(list.has("admin"));
    EXPECT_FALSE(list.has("a"));
    EXPECT_FALSE(list.has("")); // even though an empty item is held
}

TEST(MiscStringList, DisplayAndCopyRespectTheBuffer)
{
    char buffer[5];
    EXPECT_EQ(4, StringList::display("abc", buffer, sizeof buffer));
    EXPECT_STREQ("abc,", buffer);
    EXPECT_EQ(-1, StringList::display("abcd", buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
    EXPECT_EQ(4, StringList::get_strlist("abcd", buffer, sizeof buffer));
    EXPECT_STREQ("abcd", buffer);
    EXPECT_EQ(-1, StringList::get_strlist("abcde", buffer, sizeof buffer));
    EXPECT_STREQ("", buffer);
}

TEST(MiscCouple, ExactlyTwoItems)
{
    struct Case {
        const char *text;
        bool valid;
        const char *first;
        const char *second;
    } cases[] = {
        {"1,5", true, "1", "5"},
        {"1,5,", true, "1", "5"}, // a trailing comma is allowed
        {",5", true, "", "5"},
        {"1", false, nullptr, nullptr},
        {"1,2,3", false, nullptr, nullptr},
        {"", false, nullptr, nullptr},
        {"1,,", true, "1", ""},   // an empty second item is still an item
    };
    for (const auto &c : cases) {
        if (!c.valid) {
            EXPECT_THROW(Couple{c.text}, ConfigError) << '"' << c.text << '"';
            continue;
        }
        Couple couple(c.text);
        EXPECT_EQ(c.first, couple.first()) << c.text;
        EXPECT_EQ(c.second, couple.second()) << c.text;
    }
}

TEST(MiscSelect, CaseIndexofFindsTheFirstMatchWithoutCase)
{
    StringSelectVector options;
    options.emplace_back("deny_first", "Deny first", "", true);
    options.emplace_back("allow_first", "Allow first", "", true);
    options.emplace_back("ALLOW_FIRST", "again", "", false);
    EXPECT_EQ(0, options.case_indexof("DENY_FIRST"));
    EXPECT_EQ(1, options.case_indexof("Allow_First"));
    EXPECT_THROW(options.case_indexof("allow"), ConfigError);
    EXPECT_THROW(options.case_indexof(""), ConfigError);

    options.reset();
    for (const StringSelect &o : options)
        EXPECT_FALSE(o.selected) << o.value;
}

// --------------------------------------------------------------------- time

namespace {

tm_partial bound(std::initializer_list<std::pair<int, int>> parts)
{
    tm_partial b;
    memset(&b, 0, sizeof b);
    for (const auto &p : parts) {
        b.part[p.first].present = 1;
        b.part[p.first].value = p.second;
    }
    return b;
}

struct tm moment(int year, int month, int mday, int hour, int min)
{
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = mday;
    t.tm_hour = hour;
    t.tm_min = min;
    t.tm_isdst = -1;
    time_t when = timegm(&t);
    gmtime_r(&when, &t); // fills the weekday
    return t;
}

} // namespace

TEST(MiscTime, AbsoluteRangeComparesTheBoundsAsOneValue)
{
    struct Case {
        const char *name;
        tm_partial from;
        tm_partial to;
        struct tm t;
        bool expected;
    } cases[] = {
        {"no bounds", bound({}), bound({}), moment(2024, 6, 1, 12, 0), true},
        {"year 2010 first minute", bound({{TM_PART_YEAR, 110}}),
         bound({{TM_PART_YEAR, 110}}), moment(2010, 1, 1, 0, 0), true},
        {"year 2010 last minute", bound({{TM_PART_YEAR, 110}}),
         bound({{TM_PART_YEAR, 110}}), moment(2010, 12, 31, 23, 59), true},
        {"year 2009", bound({{TM_PART_YEAR, 110}}), bound({{TM_PART_YEAR, 110}}),
         moment(2009, 12, 31, 23, 59), false},
        {"year 2011", bound({{TM_PART_YEAR, 110}}), bound({{TM_PART_YEAR, 110}}),
         moment(2011, 1, 1, 0, 0), false},
        {"9:30 to 17:00 at 9:29",
         bound({{TM_PART_HOUR, 9}, {TM_PART_MIN, 30}}),
         bound({{TM_PART_HOUR, 17}, {TM_PART_MIN, 0}}), moment(2024, 1, 1, 9, 29),
         false},
        {"9:30 to 17:00 at 9:30",
         bound({{TM_PART_HOUR, 9}, {TM_PART_MIN, 30}}),
         bound({{TM_PART_HOUR, 17}, {TM_PART_MIN, 0}}), moment(2024, 1, 1, 9, 30),
         true},
        // the minute is below the lower minute, but the hour decides
        {"9:30 to 17:00 at 12:05",
         bound({{TM_PART_HOUR, 9}, {TM_PART_MIN, 30}}),
         bound({{TM_PART_HOUR, 17}, {TM_PART_MIN, 0}}), moment(2024, 1, 1, 12, 5),
         true},
        {"9:30 to 17:00 at 17:01",
         bound({{TM_PART_HOUR, 9}, {TM_PART_MIN, 30}}),
         bound({{TM_PART_HOUR, 17}, {TM_PART_MIN, 0}}), moment(2024, 1, 1, 17, 1),
         false},
        {"15 March to 10 June at 9 June",
         bound({{TM_PART_MONTH, 2}, {TM_PART_MDAY, 15}}),
         bound({{TM_PART_MONTH, 5}, {TM_PART_MDAY, 10}}), moment(2024, 6, 9, 0, 0),
         true},
        {"15 March to 10 June at 14 March",
         bound({{TM_PART_MONTH, 2}, {TM_PART_MDAY, 15}}),
         bound({{TM_PART_MONTH, 5}, {TM_PART_MDAY, 10}}), moment(2024, 3, 14, 0, 0),
         false},
        // each bound uses only its own parts
        {"from hour 8, to year 2030", bound({{TM_PART_HOUR, 8}}),
         bound({{TM_PART_YEAR, 130}}), moment(2024, 1, 1, 7, 0), false},
        {"from hour 8, to year 2030 at 23h", bound({{TM_PART_HOUR, 8}}),
         bound({{TM_PART_YEAR, 130}}), moment(2024, 1, 1, 23, 0), true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, in_absolutetimerange(&c.t, &c.from, &c.to)) << c.name;
}

TEST(MiscTime, AllRangeTestsEveryPartOnItsOwn)
{
    tm_partial late = bound({{TM_PART_HOUR, 22}});
    tm_partial early = bound({{TM_PART_HOUR, 6}});
    for (int hour : {0, 3, 6, 12, 22, 23}) {
        struct tm t = moment(2024, 1, 1, hour, 0);
        EXPECT_FALSE(in_alltimerange(&t, &late, &early)) << "hour " << hour;
    }

    tm_partial from = bound({{TM_PART_HOUR, 9}, {TM_PART_MIN, 0}});
    tm_partial to = bound({{TM_PART_HOUR, 17}, {TM_PART_MIN, 29}});
    struct Case {
        int hour, min;
        bool expected;
    } cases[] = {
        {9, 0, true}, {10, 15, true}, {17, 29, true}, {10, 45, false},
        {8, 10, false}, {18, 0, false},
    };
    for (const auto &c : cases) {
        struct tm t = moment(2024, 1, 1, c.hour, c.min);
        EXPECT_EQ(c.expected, in_alltimerange(&t, &from, &to))
            << c.hour << ":" << c.min;
    }
    tm_partial none = bound({});
    struct tm t = moment(2024, 1, 1, 3, 0);
    EXPECT_TRUE(in_alltimerange(&t, &none, &none));
}

TEST(MiscTime, TimevalDifferenceHasNoThirtyTwoBitOverflow)
{
    struct Case {
        struct timeval first, second;
        int expected;
    } cases[] = {
        {{0, 0}, {1, 500000}, 1500},
        {{5, 900000}, {6, 100000}, 200},
        {{2, 0}, {0, 999999}, -1000}, // -1000001 us, truncated toward zero
        {{0, 0}, {3 * 3600, 0}, 3 * 3600 * 1000}, // past 2^32 microseconds
        {{0, 0}, {100LL * 24 * 3600, 0}, INT_MAX}, // held to int
        {{100LL * 24 * 3600, 0}, {0, 0}, INT_MIN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, timeval_diff_ms(&c.first, &c.second))
            << c.first.tv_sec << "." << c.first.tv_usec << " -> "
            << c.second.tv_sec << "." << c.second.tv_usec;
}

TEST(MiscTime, TimevalCompareKeepsTheSignOfLargeDifferences)
{
    struct timeval a = {0, 0}, b = {0, 1}, far = {static_cast<time_t>(1) << 40, 0};
    EXPECT_LT(timeval_cmp(&a, &b), 0);
    EXPECT_GT(timeval_cmp(&b, &a), 0);
    EXPECT_EQ(0, timeval_cmp(&a, &a));
    EXPECT_LT(timeval_cmp(&a, &far), 0);
    EXPECT_GT(timeval_cmp(&far, &a), 0);
}

TEST(MiscTime, TimevalText)
{
    struct Case {
        struct timeval tv;
        const char *expected;
    } cases[] = {
        {{3723, 459999}, "01:02:03.45"},
        {{0, 0}, "00:00:00.00"},
        {{100 * 3600 + 59, 990000}, "100:00:59.99"},
    };
    for (const auto &c : cases) {
        char *text = timeval_to_string(&c.tv);
        EXPECT_STREQ(c.expected, text);
        free(text);
    }
}

TEST(MiscTime, UtcTimeAddsTheOffsetAndStoresIt)
{
    int saved = gmtoffset;
    gmtoffset = 3600;
    time_t stored = 0;
    time_t before = time(nullptr);
    time_t now = utc_time(&stored);
    EXPECT_EQ(now, stored);
    EXPECT_GE(now, before + 3600);
    EXPECT_LE(now, time(nullptr) + 3600);
    time_t again = utc_time(nullptr); // a null pointer is allowed
    EXPECT_GE(again, now);
    EXPECT_LE(again, now + 2);
    gmtoffset = saved;
}

TEST(MiscTime, NamesAndPowers)
{
    EXPECT_STREQ("December", month_name(11));
    EXPECT_STREQ("Invalid", month_name(12));
    EXPECT_STREQ("Invalid", month_name(-1));
    EXPECT_STREQ("Sunday", weekday_name(0));
    EXPECT_STREQ("Saturday", weekday_name(6));
    EXPECT_STREQ("Invalid", weekday_name(7));
    EXPECT_EQ(1, xpow(0));
    EXPECT_EQ(1048576, xpow(20));
    EXPECT_GT(xpow(40), 0); // never overflows into a negative stack size
}

// -------------------------------------------------- conversions and tables

TEST(MiscConversions, FilesizeUnits)
{
    struct Case {
        uint64_t bytes;
        const char *expected;
    } cases[] = {
        {0, "0.0 B"},
        {1023, "1023.0 B"},
        {1024, "1.0 KB"},
        {1536, "1.5 KB"},
        {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"},
        {1073741824, "1.0 GB"},
        {5ULL << 30, "5.0 GB"}, // past 32 bits
    };
    for (const auto &c : cases) {
        char *text = filesize(c.bytes);
        EXPECT_STREQ(c.expected, text) << c.bytes;
        free(text);
    }
}

TEST(MiscConversions, StatusTexts)
{
    struct Case {
        int code;
        const char *expected;
    } cases[] = {
        {200, "OK"},
        {301, "Document Moved"},
        {407, "Proxy Authentication Required"},
        {414, "Request-URI Too Long"},
        {431, "Request Header Fields Too Large"},
        {502, "Service Temporarily Unavailable"},
        {503, "Connection Failed"},
        {418, "Unknown"},
        {0, "Unknown"},
    };
    for (const auto &c : cases)
        EXPECT_STREQ(c.expected, code_to_error(c.code)) << c.code;

    EXPECT_STREQ("noconnect", error_to_template(-2));
    EXPECT_STREQ("nodns", error_to_template(-3));
    EXPECT_STREQ("badauth", error_to_template(-4));
    EXPECT_STREQ("unknown", error_to_template(-1));
}

TEST(MiscConversions, PermissionTexts)
{
    struct Case {
        const char *text;
        mode_t mode;
    } cases[] = {
        {"drwsr-Sr-t", 07755},
        {"-rw-r--r--", 0644},
        {"-rwxrwxrwx", 0777},
        {"----------", 0},
        {"-rwSr-sr-T", 0644}, // letters in the wrong places set nothing
        {"drwxr-xr-", 0},     // 9 characters
        {"", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.mode, mode_parse(c.text)) << c.text;

    for (mode_t mode : {07755, 0644, 04100, 02010, 01001, 0}) {
        char *text = mode_create(mode);
        EXPECT_EQ(10u, strlen(text));
        EXPECT_EQ('-', text[0]);
        EXPECT_EQ(mode, mode_parse(text)) << text;
        free(text);
    }
    char *text = mode_create(07755);
    EXPECT_STREQ("-rwsr-Sr-t", text);
    free(text);
}

TEST(MiscConversions, FtpPortTextsAreValidated)
{
    struct Case {
        const char *text;
        const char *address; // null: refused
        int port;
    } cases[] = {
        {"192,168,1,2,4,1", "192.168.1.2", 1025},
        {"10, 0, 0, 1, 0, 21", "10.0.0.1", 21},
        {"0,0,0,0,255,255", "0.0.0.0", 65535},
        {"192,168,1,2,4", nullptr, 0},       // five numbers
        {"192,168,1,2,4,1,1", nullptr, 0},   // seven
        {"256,1,1,1,0,21", nullptr, 0},      // byte out of range
        {"1,2,3,4,0,256", nullptr, 0},       // would spill into the high byte
        {"1,2,3,4,1,-1", nullptr, 0},
        {"1,2,3,4,0,0", nullptr, 0},         // port 0
        {"1,2,3,4,,21", nullptr, 0},         // empty number
        {"a,2,3,4,0,21", nullptr, 0},
        {"1,2,3,4,0,21x", nullptr, 0},
        {"1,2,3,4,99999999999999999999,1", nullptr, 0},
        {"", nullptr, 0},
    };
    for (const auto &c : cases) {
        struct sockaddr_in *sa = ftpport_parse(c.text);
        if (c.address == nullptr) {
            EXPECT_EQ(nullptr, sa) << '"' << c.text << '"';
            free(sa);
            continue;
        }
        ASSERT_NE(nullptr, sa) << c.text;
        char text[INET_ADDRSTRLEN];
        EXPECT_EQ(AF_INET, sa->sin_family);
        EXPECT_STREQ(c.address, inet_ntop(AF_INET, &sa->sin_addr, text, sizeof text));
        EXPECT_EQ(c.port, ntohs(sa->sin_port)) << c.text;
        free(sa);
    }

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, "172.16.5.9", &sa.sin_addr);
    sa.sin_port = htons(50001);
    char *text = ftpport_create(&sa);
    EXPECT_STREQ("172,16,5,9,195,81", text);
    free(text);
}

// The remembered local time is the C library's for the same second, and a
// change of time zone within that second is not hidden by it.
TEST(MiscTime, LocalTimeFollowsTheSecondAndTheZone)
{
    const char *saved = getenv("TZ");
    std::string before = saved ? saved : "";
    const time_t base = 1700000000;  // 2023-11-14 22:13:20 UTC
    for (const char *zone : {"UTC0", "UTC-3", "EST5EDT,M3.2.0,M11.1.0"}) {
        ASSERT_EQ(setenv("TZ", zone, 1), 0);
        tzset();
        for (time_t t : {base, base, base + 1, base + 3600 * 24 * 180}) {
            struct tm got, want;
            ASSERT_TRUE(local_time(t, &got));
            ASSERT_NE(localtime_r(&t, &want), nullptr);
            EXPECT_EQ(got.tm_hour, want.tm_hour) << zone << " " << t;
            EXPECT_EQ(got.tm_mday, want.tm_mday) << zone << " " << t;
            EXPECT_EQ(got.tm_sec, want.tm_sec) << zone << " " << t;
            EXPECT_EQ(got.tm_isdst, want.tm_isdst) << zone << " " << t;
        }
    }
    if (saved)
        setenv("TZ", before.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
