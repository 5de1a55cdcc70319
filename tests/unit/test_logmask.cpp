// Credentials kept out of log lines: header values, heads and URLs.
#include "runtime/logmask.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(LogMask, FieldValues)
{
    struct Case {
        const char *name, *value, *shown;
    } cases[] = {
        {"Proxy-Authorization", "Basic YWxpY2U6czNjcmV0", "Basic *"},
        {"authorization", "Bearer abc.def", "Bearer *"},        // any case of the name
        {"Proxy-Authenticate", "NTLM TlRMTVNTUAACAAAA", "NTLM *"},
        {"WWW-Authenticate", "Negotiate oYIBBjCCAQKgAwoB", "Negotiate *"},
        {"Proxy-Authorization", "YWxpY2U6czNjcmV0", "*"},       // no scheme word: all of it
        {"Proxy-Authorization", "", "*"},
        {"Proxy-Authorization", "\rBasic x", "*"},             // no word before the blank
        {"Cookie", "a=b", "a=b"},                               // not a credentials field
        {"Proxy-Authorized", "x y", "x y"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(logmask_value(c.name, c.value), c.shown) << c.name << ": " << c.value;
}

TEST(LogMask, Urls)
{
    struct Case {
        const char *url, *shown;
    } cases[] = {
        {"ftp://user:pw@host/f", "ftp://user:*@host/f"},
        {"ftp://user:p:w@host:21/", "ftp://user:*@host:21/"},
        {"http://a:b@c@d/x", "http://a:*@d/x"},                // the last "@" ends the user part
        {"ftp://user@host/f", "ftp://user@host/f"},            // no password
        {"http://host:8080/a@b:c", "http://host:8080/a@b:c"},  // "@" in the path
        {"http://host", "http://host"},
        {"GET ftp://u:p@h/ HTTP/1.1 ftp://v:q@i", "GET ftp://u:*@h/ HTTP/1.1 ftp://v:*@i"},
        {"://:@", "://:*@"},
        {"a://x:y@z://u:p@h", "a://x:*@z://u:*@h"},            // a URL inside an authority
        {"a://w@t;://u:pw@h", "a://w@t;://u:*@h"},
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(logmask_url(c.url), c.shown) << c.url;
}

TEST(LogMask, Heads)
{
    struct Case {
        const char *why, *head, *shown;
    } cases[] = {
        {"credentials and a URL password",
         "GET ftp://u:pw@h/ HTTP/1.1\r\nHost: h\r\nProxy-Authorization: Basic dTpwdw==\r\n"
         "Referer: http://x:y@r/\r\n\r\n",
         "GET ftp://u:*@h/ HTTP/1.1\r\nHost: h\r\nProxy-Authorization: Basic *\r\n"
         "Referer: http://x:*@r/\r\n\r\n"},
        {"bare line ends, blanks before the colon, a folded value",
         "HTTP/1.1 407 x\nProxy-Authenticate : NTLM TlRM\n  TUFB\nX-A: 1\n \tfolded\n",
         "HTTP/1.1 407 x\nProxy-Authenticate : NTLM *\n *\nX-A: 1\n \tfolded\n"},
        {"the interface's login cookie, other cookies kept",
         "GET / HTTP/1.1\r\nCookie: a=1; login=abc%2F; b=login=2\r\ncookie:login=x\r\n"
         "Cookie: logins=3; login\r\nX-Cookie: login=4\r\nCookie : login=5\r\n",
         "GET / HTTP/1.1\r\nCookie: a=1; login=*; b=login=2\r\ncookie:login=*\r\n"
         "Cookie: logins=3; login\r\nX-Cookie: login=4\r\nCookie : login=*\r\n"},
        {"a head cut short", "GET / HTTP/1.1\r\nAuthorization: Basic", "GET / HTTP/1.1\r\nAuthorization: *"},
        {"empty", "", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(logmask_head(c.head), c.shown) << c.why;
}

}  // namespace
