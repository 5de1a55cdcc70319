// Parsers of what FTP servers and ICP peers send: FTP reply lines, PASV
// replies, directory listings with their sorting, and ICP messages in
// network byte order.
#include <gtest/gtest.h>

#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "engine/dirlist.h"
#include "engine/icp.h"
#include "engine/proto_ftp.h"

namespace {

std::vector<std::string> names(const dir_t *list)
{
    std::vector<std::string> out;
    for (const dir_t *e = list; e; e = e->next)
        out.emplace_back(e->file_name);
    return out;
}

dir_t *parse(const std::string &text)
{
    return dir_list_parse(text.data(), text.size());
}

TEST(FtpReplyTest, LineCodes)
{
    struct Case {
        const char *line;
        int code;
        bool more;
    } cases[] = {
        {"220 ready", 220, false},   {"220-welcome", 220, true}, {"226", 226, false},
        {"550 no such file\r\n", 550, false},
        {"027 text", 0, false},      // codes begin with 1 to 5
        {"620 text", 0, false},      {"22 short", 0, false},    {"2200 long", 0, false},
        {" 220 indented", 0, false}, {"", 0, false},
    };
    for (const Case &c : cases) {
        bool more = true;
        EXPECT_EQ(ftp_line_code(c.line, &more), c.code) << c.line;
        EXPECT_EQ(more, c.more) << c.line;
    }
}

TEST(FtpReplyTest, PasvPort)
{
    struct Case {
        const char *text;
        int port;
    } cases[] = {
        {"227 Entering Passive Mode (127,0,0,1,156,64).", 156 * 256 + 64},
        {"227 =(10,1,2,3,0,21)", 21},
        {"227 (256,0,0,1,1,1)", 0},   // an address byte past 255
        {"227 (1,2,3,4,0,0)", 0},     // port 0
        {"227 (1,2,3,4,5)", 0},       // five numbers
        {"227 no numbers", 0},
        {"227 (1,2,3,4,5,6", 0},      // unclosed
    };
    for (const Case &c : cases)
        EXPECT_EQ(ftp_pasv_port(c.text), c.port) << c.text;
}

TEST(DirListTest, ParsesNineAndEightColumnListings)
{
    dir_t *list = parse(
        "total 12\r\n"
        "drwxr-xr-x    2 0        0            4096 Dec 10 19:52 pub\r\n"
        "-rw-r--r--    1 ftp      ftp             6 Jan 02  2024 a file.txt\r\n"
        "lrwxrwxrwx    1 0        0               3 Jan  1 10:00 link -> a file.txt\r\n");
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(names(list), (std::vector<std::string>{"pub/", "a file.txt", "link"}));
    EXPECT_EQ(list->is_dir, 1);
    EXPECT_EQ(list->next->size, 6u);
    EXPECT_STREQ(list->next->group_name, "ftp");
    EXPECT_EQ(list->next->date.tm_year, 124);
    dir_list_free(list);

    // Eight columns: no group.
    list = parse("-rw-r--r-- 1 owner 123 Mar 3 2020 xy\n");
    ASSERT_NE(list, nullptr);
    EXPECT_STREQ(list->group_name, "unknown");
    EXPECT_STREQ(list->file_name, "xy");
    EXPECT_EQ(list->size, 123u);
    dir_list_free(list);

    // The first entry line sets the columns: too few, nothing parses.
    EXPECT_EQ(parse("a b c\n-rw-r--r-- 1 o g 1 Mar 3 2020 z\n"), nullptr);
    // A size that is not a number is not an entry.
    EXPECT_EQ(parse("-rw-r--r-- 1 o g 1x Mar 3 2020 z\n"), nullptr);
}

TEST(DirListTest, SortsStablyByEachField)
{
    const std::string listing =
        "-rw-r--r-- 1 o g 300 Mar 3 2020 b\n"
        "drwxr-xr-x 1 o g 4096 Mar 1 2020 d\n"
        "-rw-r--r-- 1 o g 10 Mar 5 2020 C\n"
        "-rw-r--r-- 1 o g 10 Mar 2 2020 a\n";
    struct Case {
        int order, field;
        std::vector<std::string> expected;
    } cases[] = {
        {0, 1, {"a", "b", "C", "d/"}},
        {1, 1, {"d/", "C", "b", "a"}},
        {0, 2, {"d/", "C", "a", "b"}},   // directories first; equal sizes keep their order
        {1, 2, {"b", "C", "a", "d/"}},   // files first
        {0, 3, {"d/", "a", "b", "C"}},
        {1, 3, {"C", "b", "a", "d/"}},
        {0, 0, {"b", "d/", "C", "a"}},   // no field: the server's order
    };
    for (const Case &c : cases) {
        dir_t *list = dir_list_sort(parse(listing), c.order, c.field);
        EXPECT_EQ(names(list), c.expected) << c.order << " " << c.field;
        for (dir_t *e = list; e && e->next; e = e->next)
            EXPECT_EQ(e->next->prev, e);
        dir_list_free(list);
    }
}

TEST(DirListTest, FilterAndPageEscapeNames)
{
    dir_t *list = parse("-rw-r--r-- 1 o g 1 Mar 3 2020 <b>\"x\".txt\n"
                        "-rw-r--r-- 1 o g 1 Mar 3 2020 plain.txt\n");
    std::string page = dir_list_page(list, "h<", 21, "/p/");
    EXPECT_EQ(page.find("<b>\""), std::string::npos);
    EXPECT_NE(page.find("&lt;b&gt;&quot;x&quot;.txt"), std::string::npos);
    EXPECT_NE(page.find("href=\"./%3Cb%3E%22x%22.txt\""), std::string::npos);
    EXPECT_EQ(page.find("h<"), std::string::npos);
    list = dir_list_filter(list, "^PLAIN");
    EXPECT_EQ(names(list), (std::vector<std::string>{"plain.txt"}));
    list = dir_list_filter(list, "(");   // does not compile: unchanged
    EXPECT_EQ(names(list), (std::vector<std::string>{"plain.txt"}));
    dir_list_free(list);
}

TEST(DirListTest, LinksStayInTheDirectory)
{
    struct Case {
        const char *entry;  // the listing line
        const char *href;   // the link the page must carry
    } cases[] = {
        {"-rw-r--r-- 1 o g 1 Mar 3 2020 //evil.example", "./%2F%2Fevil.example"},
        {"-rw-r--r-- 1 o g 1 Mar 3 2020 http://evil.example/", "./http%3A%2F%2Fevil.example%2F"},
        {"-rw-r--r-- 1 o g 1 Mar 3 2020 javascript:alert(1)", "./javascript%3Aalert%281%29"},
        {"-rw-r--r-- 1 o g 1 Mar 3 2020 /etc/passwd", "./%2Fetc%2Fpasswd"},
        {"drwxr-xr-x 1 o g 1 Mar 3 2020 sub", "./sub/"},
        {"drwxr-xr-x 1 o g 1 Mar 3 2020 //evil.example", "./%2F%2Fevil.example/"},
    };
    for (const Case &c : cases) {
        dir_t *list = parse(std::string(c.entry) + "\n");
        ASSERT_NE(list, nullptr) << c.entry;
        std::string page = dir_list_page(list, "h", 21, "/p/");
        EXPECT_NE(page.find(std::string("<a href=\"") + c.href + "\">"), std::string::npos)
            << c.entry << "\n" << page;
        EXPECT_EQ(page.find("href=\"/"), std::string::npos) << c.entry;
        dir_list_free(list);
    }
}

TEST(DirListTest, DatesCarryTheirOwnWeekday)
{
    time_t now = time(nullptr);
    struct tm today;
    gmtime_r(&now, &today);
    // A date without a year is in this year; one of today (in UTC) is
    // never in the future, so it stays there.
    char month_day[32];
    strftime(month_day, sizeof(month_day), "%b %d", &today);
    struct Case {
        std::string date;  // the listing's three date words
        int year, month, day;
    } cases[] = {
        {"Jan 02  2024", 2024, 0, 2},
        {"Feb 29  2000", 2000, 1, 29},
        {std::string(month_day) + " 00:00", today.tm_year + 1900, today.tm_mon, today.tm_mday},
    };
    for (const Case &c : cases) {
        dir_t *list = parse("-rw-r--r-- 1 o g 1 " + c.date + " f\n");
        ASSERT_NE(list, nullptr) << c.date;
        struct tm expected = {};
        expected.tm_year = c.year - 1900;
        expected.tm_mon = c.month;
        expected.tm_mday = c.day;
        time_t t = timegm(&expected);
        gmtime_r(&t, &expected);
        EXPECT_EQ(list->date.tm_year, expected.tm_year) << c.date;
        EXPECT_EQ(list->date.tm_wday, expected.tm_wday) << c.date;
        EXPECT_EQ(list->date.tm_yday, expected.tm_yday) << c.date;
        EXPECT_EQ(list->when, t) << c.date;
        dir_list_free(list);
    }
}

TEST(IcpTest, MessagesAreInNetworkByteOrder)
{
    uint32_t sender = 0x0100007f, requester = 0x0200007f;  // 127.0.0.1, 127.0.0.2
    std::string q = icp_query_encode(0x01020304, sender, requester, "http://a/b");
    const unsigned char *b = (const unsigned char *)q.data();
    ASSERT_EQ(q.size(), 24u + 11u);
    EXPECT_EQ(b[0], ICP_OP_QUERY);
    EXPECT_EQ(b[1], 3);
    EXPECT_EQ((b[2] << 8) | b[3], 35);
    EXPECT_EQ(std::string((const char *)b + 4, 4), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(std::string((const char *)b + 16, 4), std::string("\x7f\x00\x00\x01", 4));
    EXPECT_EQ(std::string((const char *)b + 20, 4), std::string("\x7f\x00\x00\x02", 4));

    IcpMessage m;
    ASSERT_TRUE(icp_decode(b, q.size(), &m));
    EXPECT_EQ(m.request_number, 0x01020304u);
    EXPECT_EQ(m.url, "http://a/b");

    // The answer keeps the number and moves the URL to offset 20.
    std::string a = icp_answer(b, q.size());
    ASSERT_EQ(a.size(), 20u + 11u);
    EXPECT_EQ((unsigned char)a[0], ICP_OP_MISS);
    EXPECT_EQ(((unsigned char)a[2] << 8) | (unsigned char)a[3], 31);
    EXPECT_EQ(a.substr(4, 4), std::string("\x01\x02\x03\x04", 4));
    EXPECT_EQ(a.substr(20), std::string("http://a/b\0", 11));

    struct Bad {
        const char *why;
        std::string bytes;
    } bad[] = {
        {"shorter than a header", q.substr(0, 19)},
        {"length past the datagram", q.substr(0, q.size() - 1)},
        {"URL without NUL", q.substr(0, q.size() - 1).replace(2, 2, std::string("\x00\x22", 2))},
    };
    for (const Bad &c : bad)
        EXPECT_FALSE(icp_decode((const unsigned char *)c.bytes.data(), c.bytes.size(), &m))
            << c.why;
    // A reply opcode to the service: INVALID, header only.
    std::string hit = q;
    hit[0] = ICP_OP_HIT;
    a = icp_answer((const unsigned char *)hit.data(), hit.size());
    ASSERT_EQ(a.size(), 20u);
    EXPECT_EQ((unsigned char)a[0], ICP_OP_INVALID);
}

} // namespace
