// Recognition of web-interface requests, the Referer check, the login
// token and the dates the interface writes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/options.h"
#include "interface/dispatch.h"
#include "runtime/blowfish.h"
#include "runtime/misc.h"

namespace {

struct Request {
    CONNECTION_T *conn;
    explicit Request(int kind, const char *host, const char *path, const char *host_header = nullptr,
                     const char *referer = nullptr)
    {
        conn = connection_new();
        conn->request = header_new();
        conn->request->kind = kind;
        header_field_set(&conn->request->host, host);
        header_field_set(&conn->request->path, path);
        header_field_set(&conn->request->host_header, host_header);
        header_field_set(&conn->request->referer, referer);
    }
    ~Request()
    {
        http_header_free(conn->request);
        conn->request = nullptr;
        connection_free(conn);
    }
};

TEST(InterfaceRecognition, HostsAndPaths)
{
    struct Case {
        int kind;
        const char *host;
        const char *path;
        const char *host_header;
        bool is_interface;
        int kind_after;
        const char *interface_path;
    } cases[] = {
        {HEADER_PROXY, "kelvarine.cfg", "/stats", nullptr, true, HEADER_PROXY, "/stats"},
        {HEADER_PROXY, "KELVARINE.CFG", "/", nullptr, true, HEADER_PROXY, "/"},
        {HEADER_PROXY, "kelvarine.cfg.example", "/", nullptr, false, HEADER_PROXY, "/"},
        {HEADER_PROXY, nullptr, "/", nullptr, false, HEADER_PROXY, "/"},
        {HEADER_TRANSPARENT, nullptr, "/kelvarine.cfg/stats", "origin.test", true, HEADER_TRANSPARENT,
         "/stats"},
        {HEADER_TRANSPARENT, nullptr, "/KELVARINE.CFG", "origin.test", true, HEADER_TRANSPARENT, ""},
        {HEADER_TRANSPARENT, nullptr, "/kelvarine.cfgxyz", nullptr, true, HEADER_TRANSPARENT, "xyz"},
        {HEADER_TRANSPARENT, nullptr, "/kelvarine.cf", nullptr, false, HEADER_TRANSPARENT, ""},
        {HEADER_TRANSPARENT, nullptr, "/stats", "Kelvarine.Cfg", true, HEADER_PROXY, "/stats"},
        {HEADER_TRANSPARENT, nullptr, "/stats", "kelvarine.cfg:80", false, HEADER_TRANSPARENT, ""},
        {HEADER_TRANSPARENT, nullptr, "/stats", nullptr, false, HEADER_TRANSPARENT, ""},
    };
    for (const Case &c : cases) {
        Request r(c.kind, c.host, c.path, c.host_header);
        SCOPED_TRACE(std::string(c.path) + " host " + (c.host ? c.host : "-") + " header " +
                     (c.host_header ? c.host_header : "-"));
        EXPECT_EQ(interface_request(r.conn), c.is_interface);
        EXPECT_EQ(r.conn->request->kind, c.kind_after);
        if (c.is_interface) {
            EXPECT_EQ(interface_path(r.conn), c.interface_path);
        }
    }
}

TEST(InterfaceReferer, AcceptsOnlyTheInterfaceAndThisProxy)
{
    char saved[sizeof(proxyhost)];
    memcpy(saved, proxyhost, sizeof(proxyhost));
    snprintf(proxyhost, sizeof(proxyhost), "%s", "proxy.example");
    struct Case {
        const char *referer;
        int accepted;
    } cases[] = {
        {nullptr, 0},
        {"http://kelvarine.cfg", 0},
        {"http://kelvarine.cfg/", 1},
        {"http://kelvarine.cfg/config?section=x", 1},
        {"HTTP://KELVARINE.CFG:8080/", 1},
        {"https://kelvarine.cfg/", 0},
        {"http://kelvarine.cfg.evil.example/", 0},
        {"http://evil.example/kelvarine.cfg/", 0},
        {"http://proxy.example/kelvarine.cfg/", 1},
        {"http://proxy.example:3128/", 1},
        {"http://proxy.examplex/", 0},
        {"", 0},
    };
    for (const Case &c : cases) {
        Request r(HEADER_PROXY, "kelvarine.cfg", "/", nullptr, c.referer);
        EXPECT_EQ(interface_check_referer(r.conn), c.accepted) << (c.referer ? c.referer : "(none)");
    }
    memcpy(proxyhost, saved, sizeof(proxyhost));
}

TEST(InterfaceReferer, AcceptsThePageOpenedAtTheListener)
{
    struct Case {
        int port;                // of the listener that took the request
        const char *referer;
        int accepted;
    } cases[] = {
        {8080, "http://127.0.0.1:8080/kelvarine.cfg/config", 1},
        {8080, "HTTP://127.0.0.1:8080/", 1},
        {8080, "http://127.0.0.1:8080", 0},           // nothing after the port
        {8080, "http://127.0.0.1:80801/kelvarine.cfg/", 0},
        {8080, "http://127.0.0.1:8081/kelvarine.cfg/", 0},
        {8080, "http://127.0.0.10:8080/kelvarine.cfg/", 0},
        {8080, "http://127.0.0.1/kelvarine.cfg/", 0},  // port 80 is another listener
        {8080, "https://127.0.0.1:8080/kelvarine.cfg/", 0},
        {80, "http://127.0.0.1/kelvarine.cfg/", 1},    // browsers leave out port 80
        {80, "http://127.0.0.1:80/kelvarine.cfg/", 1},
    };
    for (const Case &c : cases) {
        Request r(HEADER_TRANSPARENT, "", "/kelvarine.cfg/config", nullptr, c.referer);
        r.conn->interface_ip = strdup("127.0.0.1");
        r.conn->listen_port = c.port;
        EXPECT_EQ(interface_check_referer(r.conn), c.accepted) << c.port << " " << c.referer;
    }
}

TEST(InterfaceLogin, TokenIsTheUrlEncodedCipherOfTheCredentials)
{
    std::string token = interface_login_token("admin", "secret");
    char *plain = blowfish_encrypt("admin:secret", "admin:secret");
    ASSERT_NE(plain, nullptr);
    char *encoded = url_encode(plain, -1);
    EXPECT_EQ(token, encoded);
    free(plain);
    free(encoded);
    // It depends on both parts and carries nothing a cookie value cannot.
    EXPECT_NE(token, interface_login_token("admin", "secreT"));
    EXPECT_NE(token, interface_login_token("Admin", "secret"));
    EXPECT_EQ(token.find_first_of(" ;,\"\r\n"), std::string::npos);
    EXPECT_EQ(token, interface_login_token("admin", "secret"));
}

TEST(InterfaceDates, WrittenInUtcWhateverTheZone)
{
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "Pacific/Pago_Pago", 1);
    tzset();
    EXPECT_EQ(interface_http_date(0), "Thu, 01 Jan 1970 00:00:00 GMT");
    EXPECT_EQ(interface_http_date(1700000000), "Tue, 14 Nov 2023 22:13:20 GMT");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

}  // namespace
