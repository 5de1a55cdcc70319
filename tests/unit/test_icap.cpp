// The ICAP reply head as the client reads it: folded fields joined onto
// their line, then the HTTP head parser.
#include <gtest/gtest.h>

#include <string>

#include "engine/header.h"
#include "filters/icap.h"
#include "fixture.h"

namespace {

// The head after unfolding, and the parse of it (null when refused).
struct Unfolded {
    std::string text;
    HEADER *head = nullptr;
    ~Unfolded() { http_header_free(head); }
};

void unfold(const std::string &reply, Unfolded *out)
{
    std::string copy = reply;
    icap_head_unfold(&copy[0]);
    out->text = copy.c_str();
    out->head = http_header_parse_response(out->text.c_str());
}

// The value of the first line of that name, or "<none>".
std::string field(const HEADER *h, const char *name)
{
    for (const HTTP_HEADER &line : h->headers)
        if (line.name == name)
            return line.value;
    return "<none>";
}

class IcapTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { global_for_process(); }
};

TEST_F(IcapTest, FoldedReplyFieldsAreJoinedBeforeTheHeadIsParsed)
{
    struct {
        const char *what;
        const char *reply;
        const char *joined;       // the field's value once joined
        const char *encapsulated; // what follows it stays a field of its own
    } cases[] = {
        {"one continuation line",
         "ICAP/1.0 200 OK\r\nX-Infection-Found: Type=0;\r\n Threat=EICAR;\r\n"
         "Encapsulated: res-hdr=0, res-body=40\r\n\r\n",
         "Type=0;   Threat=EICAR;", "res-hdr=0, res-body=40"},
        // c-icap's X-Violations-Found: a count, then four lines per virus.
        {"several continuation lines, tabs and bare line feeds",
         "ICAP/1.0 200 OK\r\nX-Violations-Found: 1\r\n\teicar.txt\r\n\tEicar-Test-Signature"
         "\n\t0\r\n \t0\r\nEncapsulated: null-body=0\r\n\r\n",
         "1  \teicar.txt  \tEicar-Test-Signature \t0   \t0", "null-body=0"},
        {"a field that is not folded is left alone",
         "ICAP/1.0 204 No Content\r\nX-Violations-Found: 0\r\n"
         "Encapsulated: null-body=0\r\n\r\n",
         "0", "null-body=0"},
    };
    for (const auto &c : cases) {
        Unfolded u;
        unfold(c.reply, &u);
        ASSERT_NE(nullptr, u.head) << c.what << ": " << u.text;
        const char *name = strstr(c.reply, "X-Infection") ? "X-Infection-Found"
                                                           : "X-Violations-Found";
        EXPECT_EQ(c.joined, field(u.head, name)) << c.what;
        ASSERT_NE(nullptr, u.head->encapsulated) << c.what;
        EXPECT_STREQ(c.encapsulated, u.head->encapsulated) << c.what;
        // Only line breaks became blanks: the length is kept.
        EXPECT_EQ(strlen(c.reply), u.text.size()) << c.what;
    }
}

TEST_F(IcapTest, AFoldAtTheVeryStartHasNothingToJoinAndIsReadSafely)
{
    // A continuation with no line before it becomes blanks ahead of the
    // status line, which still reads as one; a head with no status line
    // gives no Encapsulated value, so the client fails open.  ASan
    // watches the look behind the first byte.
    struct {
        const char *reply;
        int status;                // -1: refused, or no usable head
        const char *encapsulated;
    } cases[] = {
        {"\n ICAP/1.0 200 OK\r\nEncapsulated: null-body=0\r\n\r\n", 200, "null-body=0"},
        {"\r\n\tICAP/1.0 204 No Content\r\nEncapsulated: null-body=0\r\n\r\n", 204,
         "null-body=0"},
        {"\n \r\nEncapsulated: res-hdr=0\r\n\r\n", -1, nullptr},
        {"\n\t", -1, nullptr},
        {"\n", -1, nullptr},
        {"", -1, nullptr},
    };
    for (const auto &c : cases) {
        Unfolded u;
        unfold(c.reply, &u);
        EXPECT_EQ(strlen(c.reply), u.text.size()) << c.reply;
        if (c.status < 0) {
            EXPECT_TRUE(u.head == nullptr || u.head->encapsulated == nullptr) << c.reply;
            continue;
        }
        ASSERT_NE(nullptr, u.head) << c.reply;
        EXPECT_EQ(c.status, u.head->status) << c.reply;
        ASSERT_NE(nullptr, u.head->encapsulated) << c.reply;
        EXPECT_STREQ(c.encapsulated, u.head->encapsulated) << c.reply;
    }
}

}  // namespace
