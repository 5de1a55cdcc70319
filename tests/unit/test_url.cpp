// URL parsing and writing, percent-coding, HTML escaping and path helpers.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/misc.h"

namespace {

// Owns a URL for the length of a test.
struct UrlHolder {
    URL *url;
    explicit UrlHolder(const std::string &text) : url(url_parse(text.c_str())) {}
    ~UrlHolder() { url_free(url); }
};

// Owns a string returned by the runtime.
struct Text {
    char *s;
    explicit Text(char *s) : s(s) {}
    ~Text() { free(s); }
    std::string str() const { return s ? std::string(s) : std::string("(null)"); }
};

// A heap copy of bytes without a terminator, so that a read past them is
// caught by the address checker.
struct Unterminated {
    char *bytes;
    explicit Unterminated(const std::string &text)
        : bytes(static_cast<char *>(malloc(text.size() ? text.size() : 1)))
    {
        memcpy(bytes, text.data(), text.size());
    }
    ~Unterminated() { free(bytes); }
};

} // namespace

// ------------------------------------------------------------------ parsing

TEST(UrlParse, AcceptedUrls)
{
    const std::string host255 = std::string(251, 'h') + ".com";
    const std::string path2047 = "/" + std::string(2046, 'p');
    const std::string user128(128, 'u');
    struct Case {
        std::string text;
        const char *user; // null: none
        const char *password;
        const char *protocol;
        std::string host;
        std::string path;
        int port;
    } cases[] = {
        {"HTTP://WWW.Example.COM", nullptr, nullptr, "http", "www.example.com", "/", 80},
        {"ftp://u:p@Host:2121/a/b#frag", "u", "p", "ftp", "host", "/a/b", 2121},
        {"ftp://files.example.org/pub", nullptr, nullptr, "ftp", "files.example.org",
         "/pub", 21},
        {"http://h/a:b", nullptr, nullptr, "http", "h", "/a:b", 80}, // ':' in the path
        {"http://h:8080", nullptr, nullptr, "http", "h", "/", 8080},
        {"http://h:65535/x", nullptr, nullptr, "http", "h", "/x", 65535},
        {"http://h:00080/", nullptr, nullptr, "http", "h", "/", 80},
        {"http://u:p:q@h/", "u", "p:q", "http", "h", "/", 80}, // ':' in a password
        {"http://h/a b\tc\r\nd", nullptr, nullptr, "http", "h", "/abcd", 80},
        {"http://h/?q=1&r=@", nullptr, nullptr, "http", "h", "/?q=1&r=@", 80},
        {"http://h/#top", nullptr, nullptr, "http", "h", "/", 80},
        {"http://h/\xc3\xbc" "ber", nullptr, nullptr, "http", "h", "/\xc3\xbc" "ber", 80},
        {"gopher://h/", nullptr, nullptr, "gopher", "h", "/", 0},
        {"svn+ssh://h/r", nullptr, nullptr, "svn+ssh", "h", "/r", 0},
        {"http://" + host255 + "/", nullptr, nullptr, "http", host255, "/", 80},
        {"http://h" + path2047, nullptr, nullptr, "http", "h", path2047, 80},
        {"http://h" + path2047 + "#" + std::string(100, 'f'), nullptr, nullptr, "http",
         "h", path2047, 80},
        {"http://" + user128 + ":pw@h/", user128.c_str(), "pw", "http", "h", "/", 80},
    };
    for (const auto &c : cases) {
        UrlHolder h(c.text);
        ASSERT_NE(nullptr, h.url) << c.text;
        if (c.user)
            EXPECT_STREQ(c.user, h.url->user) << c.text;
        else
            EXPECT_EQ(nullptr, h.url->user) << c.text;
        if (c.password)
            EXPECT_STREQ(c.password, h.url->password) << c.text;
        else
            EXPECT_EQ(nullptr, h.url->password) << c.text;
        EXPECT_STREQ(c.protocol, h.url->protocol) << c.text;
        EXPECT_EQ(c.host, h.url->host) << c.text;
        EXPECT_EQ(c.path, h.url->path) << c.text;
        EXPECT_EQ(c.port, h.url->port) << c.text;
    }
}

TEST(UrlParse, RefusedUrls)
{
    const std::string long_host = std::string(256, 'h');
    const std::string long_path = "/" + std::string(2047, 'p');
    const std::string long_part(129, 'x');
    struct Case {
        const char *why;
        std::string text;
    } cases[] = {
        {"no colon", "www.example.com/"},
        {"empty text", ""},
        {"empty scheme", "://h/"},
        {"blank in the scheme", "ht tp://h/"},
        {"slash before the colon", "www.example.com/a:b//c"},
        {"scheme without slashes", "http:h/"},
        {"scheme with one slash", "http:/h/"},
        {"scheme alone", "http:"},
        {"no host at all", "http://"},
        {"empty host with a path", "http:///path"},
        {"empty host with a port", "http://:80/"},
        {"host of blanks only", "http:// \t/"},
        {"host after credentials empty", "http://u:p@/"},
        {"letters after the port", "http://h:80a/"},
        {"query right after the port", "http://h:80?x"},
        {"empty port", "http://h:/"},
        {"empty port at the end", "http://h:"},
        {"port 0", "http://h:0/"},
        {"port 65536", "http://h:65536/"},
        {"port that wraps at 32 bits", "http://h:4294967376/"},
        {"negative port", "http://h:-1/"},
        {"port with a sign", "http://h:+80/"},
        {"blank before the port", "http://h: 80/"},
        {"second colon", "http://h:80:81/"},
        {"user without password", "http://u@h/"},
        {"empty user", "http://:p@h/"},
        {"empty password", "http://u:@h/"},
        {"user too long", "http://" + long_part + ":p@h/"},
        {"password too long", "http://u:" + long_part + "@h/"},
        {"CR in the user", "http://u\r:p@h/"},
        {"LF in the password", "http://u:p\nX-Evil: 1@h/"},
        {"second '@' after the credentials", "http://u:p@evil.test@good.test/"},
        {"host too long", "http://" + long_host + "/"},
        {"path too long", "http://h" + long_path},
    };
    for (const auto &c : cases) {
        UrlHolder h(c.text);
        EXPECT_EQ(nullptr, h.url) << c.why << ": \"" << c.text << "\"";
    }
}

TEST(UrlCreate, WritesThePortAndNeverTheCredentials)
{
    const std::string long_path = "/" + std::string(2046, 'p');
    const std::string long_host = std::string(255, 'h');
    struct Case {
        std::string text;
        std::string expected;
    } cases[] = {
        {"http://Example.COM", "http://example.com:80/"},
        {"ftp://u:p@h:2121/x/y", "ftp://h:2121/x/y"},
        {"http://h/a#b", "http://h:80/a"},
        // longer than any fixed buffer: a cut text would be another key
        {"http://" + long_host + long_path,
         "http://" + long_host + ":80" + long_path},
    };
    for (const auto &c : cases) {
        UrlHolder h(c.text);
        ASSERT_NE(nullptr, h.url) << c.text;
        Text created(url_create(h.url));
        EXPECT_EQ(c.expected, created.str()) << c.text;
        // What url_create writes parses back to the same URL.
        UrlHolder again(created.str());
        ASSERT_NE(nullptr, again.url) << created.str();
        EXPECT_TRUE(urlcmp(h.url, again.url)) << created.str();
    }
}

TEST(UrlCompare, Table)
{
    struct Case {
        const char *a;
        const char *b;
        bool equal;
    } cases[] = {
        {"http://h/x", "HTTP://H:80/x", true},
        {"http://h/x", "http://h/X", false}, // paths are exact
        {"http://h/x", "http://h:81/x", false},
        {"http://h/x", "ftp://h:80/x", false},
        {"http://u:p@h/x", "http://h/x", true}, // one side without credentials
        {"http://u:p@h/x", "http://u:q@h/x", false},
        {"http://u:p@h/x", "http://v:p@h/x", false},
        {"http://u:p@h/x", "http://U:p@h/x", false},
    };
    for (const auto &c : cases) {
        UrlHolder a(c.a), b(c.b);
        ASSERT_NE(nullptr, a.url) << c.a;
        ASSERT_NE(nullptr, b.url) << c.b;
        EXPECT_EQ(c.equal, urlcmp(a.url, b.url)) << c.a << " vs " << c.b;
        EXPECT_EQ(c.equal, urlcmp(b.url, a.url)) << c.b << " vs " << c.a;
    }
}

TEST(UrlPathFix, CutsAtTheFragmentAndStripsControls)
{
    struct Case {
        std::string path;
        std::string expected;
    } cases[] = {
        {"/a/b", "/a/b"},
        {"/a#b#c", "/a"},
        {"/a b\r\nc\x7f", "/abc\x7f"},
        {"/./../x", "/./../x"}, // dot segments stay
        {"/" + std::string(3000, 'x'), "/" + std::string(2046, 'x')},
    };
    for (const auto &c : cases) {
        Text fixed(url_path_fix(c.path.c_str()));
        EXPECT_EQ(c.expected, fixed.str()) << c.path.substr(0, 40);
    }
}

// ----------------------------------------------------------- percent-coding

TEST(UrlEncode, Table)
{
    struct Case {
        std::string text;
        int64_t n;
        std::string expected;
    } cases[] = {
        {"a b&c", -1, "a+b%26c"},
        {"_", -1, "%5f"},
        {"+,-./09AZaz", -1, "+,-./09AZaz"},
        {"~%*\"'<>", -1, "%7e%25%2a%22%27%3c%3e"},
        {"\r\n\x01", -1, "%0d%0a%01"},
        {"\x80\xff", -1, "\x80\xff"},
        {"abcdef", 3, "abc"},
        {"ab", 10, "ab"}, // the terminator ends the text before n
        {"abc", 0, ""},
        {"", -1, ""},
    };
    for (const auto &c : cases) {
        Text encoded(url_encode(c.text.c_str(), c.n));
        EXPECT_EQ(c.expected, encoded.str()) << c.text << " n=" << c.n;
    }
}

TEST(UrlEncode, ReadsNoFurtherThanTheBound)
{
    Unterminated bytes("a b_");
    Text encoded(url_encode(bytes.bytes, 4));
    EXPECT_EQ("a+b%5f", encoded.str());
}

TEST(UrlDecode, Table)
{
    struct Case {
        const char *why;
        std::string text;
        int64_t n;
        bool valid;
        std::string expected; // may hold NUL bytes
        bool header_safe;
    } cases[] = {
        {"plus and escape", "a+b%41", -1, true, "a bA", true},
        {"percent at the end stays", "100%", -1, true, "100%", true},
        {"both cases of hex", "%7e%7E%2f", -1, true, "~~/", true},
        {"plain text", "abc", -1, true, "abc", true},
        {"empty", "", -1, true, "", true},
        {"bound before the end", "abcdef", 2, true, "ab", true},
        {"bound 0", "abc", 0, true, "", true},
        {"bound right after a percent", "a%41", 2, true, "a%", true},
        {"encoded NUL is kept and reported", "a%00b", -1, true, std::string("a\0b", 3),
         false},
        {"encoded CR LF", "x%0d%0aSet-Cookie:+y", -1, true, "x\r\nSet-Cookie: y", false},
        {"encoded LF alone", "%0A", -1, true, "\n", false},
        {"non-hex digits", "%zz", -1, false, "", false},
        {"one hex digit then text end", "%4", -1, false, "", false},
        {"one hex digit then a letter", "%4z", -1, false, "", false},
        {"percent then words", "100%off", -1, false, "", false},
        {"percent then blank", "% 41", -1, false, "", false},
        {"escape cut by the bound", "%41", 2, false, "", false},
    };
    for (const auto &c : cases) {
        size_t length = 12345;
        char *decoded = url_decode(c.text.c_str(), c.n, &length);
        if (!c.valid) {
            EXPECT_EQ(nullptr, decoded) << c.why;
            free(decoded);
            continue;
        }
        ASSERT_NE(nullptr, decoded) << c.why;
        EXPECT_EQ(c.expected, std::string(decoded, length)) << c.why;
        EXPECT_EQ('\0', decoded[length]) << c.why;
        EXPECT_EQ(c.header_safe, url_header_safe(decoded, length)) << c.why;
        free(decoded);
    }
    // The length is optional.
    Text plain(url_decode("a%20b", -1));
    EXPECT_EQ("a b", plain.str());
}

TEST(UrlDecode, ReadsNoFurtherThanTheBound)
{
    // Every case ends exactly at the bound, with no terminator after it.
    struct Case {
        std::string text;
        bool valid;
        std::string expected;
    } cases[] = {
        {"x%41", true, "xA"},
        {"x%", true, "x%"},
        {"x%4", false, ""},
        {"a+b", true, "a b"},
    };
    for (const auto &c : cases) {
        Unterminated bytes(c.text);
        size_t length = 0;
        char *decoded = url_decode(bytes.bytes, static_cast<int64_t>(c.text.size()),
                                   &length);
        if (!c.valid) {
            EXPECT_EQ(nullptr, decoded) << c.text;
        } else {
            ASSERT_NE(nullptr, decoded) << c.text;
            EXPECT_EQ(c.expected, std::string(decoded, length)) << c.text;
        }
        free(decoded);
    }
}

// ------------------------------------------------------------- HTML escaping

namespace {

int line_length = 0;
int line_length_get()
{
    return line_length;
}

class HtmlEscape : public ::testing::Test {
protected:
    void TearDown() override { html_linelength_register(nullptr); }
};

} // namespace

TEST_F(HtmlEscape, FlagsTable)
{
    struct Case {
        const char *text;
        int flags;
        const char *expected;
    } cases[] = {
        {"<a href=\"x\">&</a>", 0, "&lt;a href=&quot;x&quot;&gt;&amp;&lt;/a&gt;"},
        {"it's", 0, "it's"},
        {"a\nb c", 0, "a\nb c"},
        {"a\nb c", 1, "a<br>b c"},
        {"a\nb c", 2, "a\nb&nbsp;c"},
        {"a\nb c", 3, "a<br>b&nbsp;c"},
        {"'a.b'\"<", 4, "\\'a\\.b\\'&quot;&lt;"},
        {"x/y\\z[]{}()+*|$?;", 5, "x\\/y\\\\z\\[\\]\\{\\}\\(\\)\\+\\*\\|\\$\\?\\;"},
        {"", 3, ""},
    };
    for (const auto &c : cases) {
        Text html(string_to_html(c.text, c.flags));
        EXPECT_STREQ(c.expected, html.s) << c.text << " flags " << c.flags;
    }
}

TEST_F(HtmlEscape, LongRunsWrapOnlyInLineBreakMode)
{
    line_length = 4;
    html_linelength_register(line_length_get);
    struct Case {
        const char *text;
        int flags;
        const char *expected;
    } cases[] = {
        {"abcdefgh ij", 1, "abcd<br>efgh<br> ij"},
        {"ab cdef", 1, "ab cde<br>f"}, // the blank counts as the first byte
        {"ab\ncd", 1, "ab<br>c<br>d"}, // a newline does not reset the count
        {"a<cd", 1, "a&lt;cd<br>"},    // counts input bytes, not output
        {"abcdefgh", 3, "abcdefgh"},
        {"abcdefgh", 0, "abcdefgh"},
    };
    for (const auto &c : cases) {
        Text html(string_to_html(c.text, c.flags));
        EXPECT_STREQ(c.expected, html.s) << c.text << " flags " << c.flags;
    }
}

TEST_F(HtmlEscape, LineLengthBelowOneIsOne)
{
    html_linelength_register(line_length_get);
    for (int length : {0, -5}) {
        line_length = length;
        Text html(string_to_html("ab", 1));
        EXPECT_STREQ("a<br>b<br>", html.s) << length;
    }
}

TEST(PathToUrl, BreadcrumbLinksAreEscaped)
{
    const std::string root = "<a href=\"/\">/</a>";
    const std::string long_name(2000, 'n');
    struct Case {
        std::string path;
        std::string expected;
    } cases[] = {
        {"/", root},
        {"", root},
        {"/a/b", root + "<a href=\"/a/\">a/</a><a href=\"/a/b/\">b/</a>"},
        {"//a//", root + "<a href=\"/a/\">a/</a>"},
        {"/x\"<y>", root + "<a href=\"/x%22%3cy%3e/\">x&quot;&lt;y&gt;/</a>"},
        {"/a b&c", root + "<a href=\"/a%20b&amp;c/\">a b&amp;c/</a>"},
        {"/" + long_name,
         root + "<a href=\"/" + long_name + "/\">" + long_name + "/</a>"},
    };
    for (const auto &c : cases) {
        Text html(path_to_url(c.path.c_str()));
        EXPECT_EQ(c.expected, html.str()) << c.path.substr(0, 40);
    }
}

TEST(ResolvePath, Table)
{
    struct Case {
        const char *path;
        const char *expected;
    } cases[] = {
        {"/a/./b/../c", "/a/c"},
        {"/a/b/", "/a/b/"},
        {"/a//b", "/a/b"},
        {"/..", "/"},
        {"/../../a", "/a"},
        {"/a/..", "/"},
        {"/a/../", "/"},
        {"/a/b/../../..", "/"},
        {"/", "/"},
        {"/.", "/"},
        {"/...", "/..."}, // not a dot segment
    };
    for (const auto &c : cases) {
        Text resolved(resolve_path(c.path));
        EXPECT_STREQ(c.expected, resolved.s) << c.path;
    }
}

// ----------------------------------------------------------- canonical form

namespace {

std::string canonical_path(const std::string &path)
{
    std::string out(path.size() + 1, '\x7f');
    size_t n = url_canonical_path(path.data(), path.size(), &out[0]);
    EXPECT_EQ('\0', out[n]) << path;
    return out.substr(0, n);
}

std::string canonical_host(const std::string &host)
{
    std::string out(host.size() + 1, '\x7f');
    size_t n = url_canonical_host(host.data(), host.size(), &out[0]);
    EXPECT_EQ('\0', out[n]) << host;
    return out.substr(0, n);
}

} // namespace

TEST(UrlCanonical, PathTable)
{
    struct Case {
        const char *path;
        const char *expected;
    } cases[] = {
        // Escapes of unreserved characters, in either case of hex digit.
        {"/%73ecret", "/secret"},
        {"/%7E%7e%2D%2e%5F%41%7a%30", "/~~-._Az0"},
        // Other escapes stay as written, the case of their digits too.
        {"/a%2Fb", "/a%2Fb"},
        {"/a%2fb%20c%25", "/a%2fb%20c%25"},
        {"/%252e%252e/x", "/%252e%252e/x"},
        // Dot-segments at the start, in the middle and at the end.
        {"/../secret", "/secret"},
        {"/./secret", "/secret"},
        {"/x/../secret", "/secret"},
        {"/a/./b/../c", "/a/c"},
        {"/a/b/..", "/a/"},
        {"/a/b/.", "/a/b/"},
        {"/a/..", "/"},
        {"/../../..", "/"},
        {"/..", "/"},
        {"/.", "/"},
        {"/...", "/..."},
        {"/a/.b/..c/...", "/a/.b/..c/..."},
        // Escaped dots are dot-segments once decoded.
        {"/x/%2e%2e/secret", "/secret"},
        {"/x/%2E%2e/%2e/secret", "/secret"},
        {"/x/.%2e/secret", "/secret"},
        {"/x/..%2fsecret", "/x/..%2fsecret"},
        // Runs of slashes read as one; a final '/' stays.
        {"//secret", "/secret"},
        {"/a//b///c", "/a/b/c"},
        {"//", "/"},
        {"/a/", "/a/"},
        {"/a//", "/a/"},
        {"/", "/"},
        {"", ""},
        // The query is kept, with its slashes and dots; its escapes of
        // unreserved characters are decoded too.
        {"/a/../b?x=/../y//z", "/b?x=/../y//z"},
        {"/p?%73=%2F", "/p?s=%2F"},
        {"/a/..?", "/?"},
        {"?q", "?q"},
        // Malformed escapes are kept as written.
        {"/%", "/%"},
        {"/%7", "/%7"},
        {"/%zz/%4g", "/%zz/%4g"},
        {"/a%/../b", "/b"},
        // A digit decoded after a kept '%' would make a new escape: its
        // escape stays, so the form of the form is itself.
        {"/%%34%31", "/%%341"},
        {"/%4%31", "/%4%31"},
        {"/%%67", "/%g"},
        {"/%%2e%2e", "/%.."},
        // Paths that do not begin with '/' (a target such as "*").
        {"*", "*"},
        {"a/../b", "b"},
    };
    for (const auto &c : cases) {
        std::string once = canonical_path(c.path);
        EXPECT_EQ(c.expected, once) << c.path;
        EXPECT_EQ(once, canonical_path(once)) << c.path;
    }
}

TEST(UrlCanonical, ReadsNoFurtherThanTheLength)
{
    // An escape cut by the end of the bytes is not completed from beyond.
    Unterminated path(std::string("/a/%7"));
    char out[8];
    EXPECT_EQ(5u, url_canonical_path(path.bytes, 5, out));
    EXPECT_STREQ("/a/%7", out);
    EXPECT_EQ(3u, url_canonical_path(path.bytes, 3, out));
    EXPECT_STREQ("/a/", out);
    Unterminated host(std::string("Host."));
    EXPECT_EQ(4u, url_canonical_host(host.bytes, 5, out));
    EXPECT_STREQ("host", out);
}

TEST(UrlCanonical, HostTable)
{
    struct Case {
        const char *host;
        const char *expected;
    } cases[] = {
        {"localhost.", "localhost"},
        {"Cat.TEST.", "cat.test"},
        {"WWW.Example.COM", "www.example.com"},
        {"a.test..", "a.test."}, // one dot only
        {".", ""},
        {"", ""},
        {"127.0.0.1", "127.0.0.1"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(c.expected, canonical_host(c.host)) << c.host;
}
