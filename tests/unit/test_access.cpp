// Access rules and the authentication processor: which rule a request
// meets, what applying it writes into the connection, refusals with their
// "noaccess" page and access-log line, and Basic challenges.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "access/access.h"
#include "config/section.h"
#include "config/xml.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/templates.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"
#include "runtime/stats.h"
#include "fixture.h"

namespace {

std::string basic(const std::string &pair)
{
    std::vector<unsigned char> out(BASE64_ENCODED_SIZE(pair.size()));
    to64frombits(out.data(), out.size(), (const unsigned char *)pair.data(), pair.size());
    return "Basic " + std::string((const char *)out.data());
}

using Fields = std::map<std::string, std::string>;

// One rule item: every field written, an enabled rule account for every
// client with every right unless the map says otherwise.
std::string rule_xml(const char *tag, const Fields &set)
{
    static const char *const fields[][2] = {
        {"enabled", "true"}, {"comment", ""}, {"log_profiles", "false"},
        {"groups", ""}, {"interfaces", ""}, {"client_ranges", ""},
        {"auth_mode", "rule_account"}, {"user", ""}, {"password", ""},
        {"access", "interface,proxy,transparent,host_header,connect,bypass,url_commands"},
        {"bypass", ""}, {"interface_user", ""}, {"interface_password", ""},
        {"connection_profiles", ""},
    };
    std::string xml = std::string("<") + tag + ">";
    for (const auto &field : fields) {
        auto given = set.find(field[0]);
        std::string value = given != set.end() ? given->second : field[1];
        xml += std::string("<") + field[0] + ">" + value + "</" + field[0] + ">";
    }
    return xml + "</" + tag + ">";
}

// Counts calls of the stand-in for the system accounts.
int verify_calls = 0;
int verify_bob(CONNECTION_T *, const char *user, const char *password)
{
    verify_calls++;
    return strcmp(user, "bob") == 0 && strcmp(password, "right") == 0;
}

class AccessTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        static GLOBAL_T record{};
        if (global == nullptr) {
            pthread_mutex_init(&record.rusage_lock, nullptr);
            record.logbuffer = logbuffer_new();
            record.stats = new Stats();
            global = &record;
            globalstats_init();
        }
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(access_section);
        section_for_process(template_section);
    }

    void SetUp() override
    {
        strcpy(proxyhost, "proxy.test");
        access_system_verify = nullptr;
        verify_calls = 0;
        char pattern[] = "/tmp/kv-access-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        snprintf(slogfile, sizeof(slogfile), "%s/access.log", dir.c_str());
        snprintf(elogfile, sizeof(elogfile), "%s/extended.log", dir.c_str());
    }

    void TearDown() override
    {
        for (CONNECTION_T *conn : conns) {
            http_header_free(conn->request);
            http_header_free(conn->response);
            conn->request = conn->response = nullptr;
            delete conn->request_body;
            conn->request_body = nullptr;
            stats_release(conn->user_stats);
            conn->user_stats = nullptr;
            connection_free(conn);
        }
        slogfile[0] = elogfile[0] = '\0';
        for (int *fd : {&slogfd, &elogfd}) {
            if (*fd != -1)
                close(*fd);
            *fd = -1;
        }
        proxyhost[0] = '\0';
        load(true, {}, {});
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    static void load(bool allow_first, const std::vector<Fields> &allow,
                     const std::vector<Fields> &deny)
    {
        std::string xml = std::string("<kelvarine><access><mode>") +
                          (allow_first ? "true" : "false") + "</mode><ntlm>false</ntlm>";
        for (const Fields &f : allow)
            xml += rule_xml("allow", f);
        for (const Fields &f : deny)
            xml += rule_xml("deny", f);
        xml += "</access></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << xml;
        access_section->load(&doc, 1);
    }

    // A connection from the address to 127.0.0.1:8080 with a parsed
    // request head and a request body.
    CONNECTION_T *connection(const char *address, const std::string &head =
                             "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n\r\n")
    {
        CONNECTION_T *conn = connection_new();
        conn->client_ip = strdup(address);
        conn->interface_ip = strdup("127.0.0.1");
        conn->listen_port = 8080;
        conn->request = http_header_parse_request(head.c_str());
        EXPECT_NE(conn->request, nullptr) << head;
        conn->request_body = new Filebuf();
        conn->request_body->Add("secret body", 11);
        conns.push_back(conn);
        return conn;
    }

    CONNECTION_T *with_credentials(const char *address, const std::string &value)
    {
        return connection(address, "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n"
                                   "Proxy-Authorization: " + value + "\r\n\r\n");
    }

    static int run(CONNECTION_T *conn)
    {
        return access_auth(conn, conn->request_body);
    }

    std::string file(const std::string &name)
    {
        std::ifstream in(dir + "/" + name);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

    std::string dir;
    std::vector<CONNECTION_T *> conns;
};

const uint32_t every_right = ACCESS_INTERFACE | ACCESS_PROXY | ACCESS_TRANSPARENT |
                             ACCESS_HOST_HEADER | ACCESS_CONNECT | ACCESS_BYPASS |
                             ACCESS_URL_COMMANDS;

TEST_F(AccessTest, RegisteredAsTheAuthenticationProcessor)
{
    EXPECT_EQ(processors.Add(access_auth, PROCESSOR_AUTH), 0) << "already registered";
}

// An allow rule for 127.0.0.1 admits that client; one bound to 127.0.0.2
// gets "noaccess" with 403 and its request is logged as TCP_DENIED.
TEST_F(AccessTest, AllowRuleAdmitsItsClientAndRefusesAnother)
{
    load(true, {{{"client_ranges", "127.0.0.1"}}}, {});

    CONNECTION_T *local = connection("127.0.0.1");
    EXPECT_EQ(run(local), 0);
    EXPECT_EQ(local->response, nullptr);
    EXPECT_EQ(local->access_flags, every_right);
    EXPECT_STREQ(local->ident, "anonymous@127.0.0.1");
    EXPECT_NE(local->user_stats, nullptr);
    EXPECT_EQ(global->stats->Increment("ip addresses", "127.0.0.1", 0), 1u);

    CONNECTION_T *other = connection("127.0.0.2");
    other->log_entry.client = "127.0.0.2";
    other->log_entry.method = "GET";
    other->log_entry.url = "http://example.org:80/";
    EXPECT_EQ(run(other), 1);
    ASSERT_NE(other->response, nullptr);
    EXPECT_EQ(other->response->status, 403);
    EXPECT_STREQ(other->response->content_type, "text/html");
    std::string body(other->request_body->data, other->request_body->size);
    EXPECT_EQ(body.find("secret body"), std::string::npos) << "the request body never goes back";
    EXPECT_NE(body.find("<title>Access denied</title>"), std::string::npos);
    EXPECT_EQ(other->response->content_length, other->request_body->size);
    EXPECT_EQ(other->access_flags, 0u);
    EXPECT_EQ(global->stats->Increment("ip addresses", "127.0.0.2", 0), 0u)
        << "a refused client is not counted";

    std::string access_log = file("access.log");
    EXPECT_NE(access_log.find(" 127.0.0.2 TCP_DENIED/403 0 GET http://example.org:80/ "),
              std::string::npos) << access_log;
    std::string extended = file("extended.log");
    EXPECT_NE(extended.find("access-section"), std::string::npos) << extended;
    EXPECT_NE(extended.find("access policy restrictions"), std::string::npos) << extended;
}

// The shipped configuration loads without a flawed value and admits
// loopback clients only, the web interface included.
TEST_F(AccessTest, ShippedConfigurationAdmitsLoopbackOnly)
{
    logbuffer_clear(global->logbuffer);
    ASSERT_EQ(config_load(1, source_dir() + "/etc/kelvarine.xml"), 1);
    for (LOGBUFFER_NODE *node = global->logbuffer->tail; node; node = node->previous)
        EXPECT_EQ(std::string(node->text).find("flawed XML file"), std::string::npos)
            << node->text;

    CONNECTION_T *local = connection("127.0.0.1");
    EXPECT_EQ(run(local), 0);
    EXPECT_EQ(local->access_flags, (uint32_t)(ACCESS_INTERFACE | ACCESS_PROXY |
                                              ACCESS_TRANSPARENT | ACCESS_HOST_HEADER |
                                              ACCESS_CONNECT));
    CONNECTION_T *outside = connection("192.168.1.5");
    EXPECT_EQ(run(outside), 1);
    EXPECT_EQ(outside->response->status, 403);
}

// Which rule the two lists and the mode apply.
TEST_F(AccessTest, PolicyOfTheTwoLists)
{
    const Fields allow_rule = {{"comment", "allow"}, {"access", "proxy"}};
    const Fields deny_rule = {{"comment", "deny"}, {"access", "connect"}};
    const Fields other_client = {{"client_ranges", "10.0.0.1"}};
    struct Case {
        const char *what;
        bool allow_first;
        std::vector<Fields> allow, deny;
        int admitted;        // access_auth's result 0
        uint32_t access;     // the access word applied
    };
    const Case cases[] = {
        {"deny first, empty lists: the default rule", false, {}, {}, 1, 0xFFFFFFFFu},
        {"allow first, empty lists: refused", true, {}, {}, 0, 0},
        {"deny first, only an allow rule matches: still the default rule", false,
         {allow_rule}, {}, 1, 0xFFFFFFFFu},
        {"deny first, both match: the allow rule", false, {allow_rule}, {deny_rule}, 1,
         ACCESS_PROXY},
        {"deny first, deny matches, no allow rule: refused", false, {other_client},
         {deny_rule}, 0, 0},
        {"allow first, both match: refused", true, {allow_rule}, {deny_rule}, 0, 0},
        {"allow first, the deny rule is for another client", true, {allow_rule},
         {other_client}, 1, ACCESS_PROXY},
        {"a disabled rule never matches", true, {{{"enabled", "false"}}}, {}, 0, 0},
    };
    for (const Case &c : cases) {
        load(c.allow_first, c.allow, c.deny);
        CONNECTION_T *conn = connection("127.0.0.1");
        EXPECT_EQ(run(conn), c.admitted ? 0 : 1) << c.what;
        EXPECT_EQ(conn->access_flags, c.access) << c.what;
        if (c.admitted) {
            EXPECT_STREQ(conn->ident, "anonymous@127.0.0.1") << c.what;
            EXPECT_FALSE(conn->connection_flags & AUTH_REQUIRED) << c.what;
        }
    }
}

// Credentials never get a request past a deny rule: a deny rule without a
// user refuses requests with and without credentials, one with a user
// refuses that user whatever the password (its own password field is never
// tested), and no credentials turn a refusal of the anonymous request into
// an admission.  The allow list still admits its users.
TEST_F(AccessTest, CredentialsNeverEscapeADenyRule)
{
    const Fields bob = {{"comment", "bob"}, {"user", "bob"}, {"password", "right"},
                        {"access", "proxy"}};
    const Fields alice = {{"comment", "alice"}, {"user", "alice"}, {"password", "apw"},
                          {"access", "connect"}};
    const Fields everybody = {{"comment", "everybody"}};
    const Fields bob_by_name = {{"comment", "bob by name"}, {"user", "bob"},
                                {"password", "not-his"}};
    const Fields bob_system = {{"comment", "bob, system accounts"},
                               {"auth_mode", "system_accounts"}, {"user", "^bob$"}};
    // Outcome of each request: 0 admitted with `access`, 403 refused, 407
    // challenged.
    struct Case {
        const char *what;
        bool allow_first;
        std::vector<Fields> allow, deny;
        int none, right, wrong, made_up, alice;
        uint32_t access;  // the access word of an admitted bob
    };
    const Case cases[] = {
        {"allow first, deny everybody", true, {bob, alice}, {everybody},
         403, 403, 403, 403, 403, 0},
        {"allow first, deny bob by name", true, {bob, alice}, {bob_by_name},
         407, 403, 403, 407, 0, 0},
        {"allow first, deny bob by expression", true, {bob, alice}, {bob_system},
         407, 403, 403, 407, 0, 0},
        {"allow first, nothing denied", true, {bob, alice}, {},
         407, 0, 407, 407, 0, ACCESS_PROXY},
        {"deny first, deny everybody, no exception", false, {}, {everybody},
         403, 403, 403, 403, 403, 0},
        {"deny first, deny everybody but bob and alice", false, {bob, alice}, {everybody},
         407, 0, 407, 407, 0, ACCESS_PROXY},
        {"deny first, deny bob by name", false, {}, {bob_by_name},
         0, 403, 403, 0, 0, 0},
        {"deny first, deny bob by expression", false, {}, {bob_system},
         0, 403, 403, 0, 0, 0},
    };
    for (const Case &c : cases) {
        load(c.allow_first, c.allow, c.deny);
        const std::pair<const char *, int> requests[] = {
            {nullptr, c.none}, {"bob:right", c.right}, {"bob:wrong", c.wrong},
            {"mallory:made-up", c.made_up}, {"alice:apw", c.alice},
        };
        for (const auto &request : requests) {
            std::string what = std::string(c.what) + ", " +
                               (request.first ? request.first : "no credentials");
            CONNECTION_T *conn = request.first ? with_credentials("127.0.0.1",
                                                                  basic(request.first))
                                               : connection("127.0.0.1");
            int answered = run(conn);
            int status = answered ? (conn->response ? conn->response->status : -1) : 0;
            EXPECT_EQ(status, request.second) << what;
            if (status == 403) {
                EXPECT_EQ(conn->access_flags, 0u) << what;
            }
            if (status == 0 && request.first && strcmp(request.first, "bob:right") == 0) {
                EXPECT_EQ(conn->access_flags, c.access) << what;
            }
        }
    }
}

TEST_F(AccessTest, ListenerEntries)
{
    struct Case {
        const char *entries;
        bool match;  // for the listener 127.0.0.1:8080
    };
    const Case cases[] = {
        {"*:*", true},
        {"*:8080", true},
        {"127.0.0.1:*", true},
        {"127.0.0.1:8080", true},
        {"127.0.0.1:8081", false},
        {"127.0.0.2:*", false},
        {"127.0.0.1", false},              // no port part
        {"*", false},
        {"10.0.0.1:*,*:8080", true},       // any entry of the list
        {"0000000127.0.0.1:*", false},     // address longer than 15 characters
    };
    for (const Case &c : cases) {
        load(true, {{{"interfaces", c.entries}}}, {});
        CONNECTION_T *conn = connection("127.0.0.1");
        EXPECT_EQ(run(conn) == 0, c.match) << c.entries;
    }
}

// X-Forwarded-For names the client in the identity text but never admits.
TEST_F(AccessTest, ForwardedForIsNotACredential)
{
    load(true, {{{"client_ranges", "10.1.2.3"}}}, {});
    const std::string forwarded =
        "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n"
        "X-Forwarded-For: 10.1.2.3\r\n\r\n";
    CONNECTION_T *spoofed = connection("127.0.0.1", forwarded);
    EXPECT_EQ(run(spoofed), 1);
    EXPECT_EQ(spoofed->response->status, 403);

    CONNECTION_T *real = connection("10.1.2.3");
    EXPECT_EQ(run(real), 0);

    load(true, {{}}, {});
    CONNECTION_T *behind = connection("127.0.0.1", forwarded);
    EXPECT_EQ(run(behind), 0);
    EXPECT_STREQ(behind->ident, "anonymous@10.1.2.3");
}

// A rule account: challenge, right and wrong credentials.
TEST_F(AccessTest, RuleAccountChallengesAndAdmits)
{
    load(true, {{{"user", "bob"}, {"password", "right"}, {"access", "proxy"}}}, {});

    CONNECTION_T *anonymous = connection("127.0.0.1");
    EXPECT_EQ(run(anonymous), 1);
    ASSERT_NE(anonymous->response, nullptr);
    EXPECT_EQ(anonymous->response->status, 407);
    EXPECT_STREQ(anonymous->response->proxy_authenticate_header,
                 "Basic realm=\"proxy.test\"");
    EXPECT_EQ(anonymous->request_body->size, 0u) << "the challenge has an empty body";
    EXPECT_TRUE(anonymous->connection_flags & AUTH_REQUIRED);

    CONNECTION_T *good = with_credentials("127.0.0.1", basic("bob:right"));
    EXPECT_EQ(run(good), 0);
    EXPECT_EQ(good->response, nullptr);
    EXPECT_EQ(good->access_flags, (uint32_t)ACCESS_PROXY);
    EXPECT_STREQ(good->ident, "bob@127.0.0.1");
    EXPECT_FALSE(good->connection_flags & AUTH_REQUIRED);

    // Later requests of the connection still carry their credentials.
    http_header_free(good->request);
    good->request = http_header_parse_request(
        ("GET http://example.org/b HTTP/1.1\r\nHost: example.org\r\nProxy-Authorization: " +
         basic("bob:right") + "\r\n\r\n").c_str());
    EXPECT_EQ(run(good), 0);

    for (const char *pair : {"bob:wrong", "alice:right", "bob:"}) {
        CONNECTION_T *bad = with_credentials("127.0.0.1", basic(pair));
        EXPECT_EQ(run(bad), 1) << pair;
        ASSERT_NE(bad->response, nullptr) << pair;
        EXPECT_EQ(bad->response->status, 407) << pair;
        EXPECT_EQ(bad->ident, nullptr) << pair << ": never named after the user";
    }

    // Credentials that fit no rule, on a proxy open to anonymous requests:
    // admitted as anonymous, not under the name they failed to prove.
    load(true, {{{"access", "proxy"}}}, {});
    CONNECTION_T *claimed = with_credentials("127.0.0.1", basic("admin:guess"));
    EXPECT_EQ(run(claimed), 0);
    EXPECT_STREQ(claimed->ident, "anonymous@127.0.0.1");
}

// Credentials that cannot be used count as none: the request meets the
// rules as an anonymous one.
TEST_F(AccessTest, UnusableCredentialsCountAsNone)
{
    load(true, {{{"user", "bob"}, {"password", "right"}}}, {});
    const char *values[] = {
        "Basic !!!notbase64",
        "Basic",                       // no blank
        "Digest username=\"bob\"",     // a scheme that is not recognised
        "BasicallyNot Ym9iOnJpZ2h0",   // a word of more than 9 characters
        "NTLM TlRMTVNTUAABAAAA",       // no relay to the authentication service
    };
    // Decoded credentials longer than their buffer (set on the parsed
    // head: the line is longer than a client may send).
    std::string oversized = basic("bob:" + std::string(9000, 'x'));
    std::vector<std::string> all(std::begin(values), std::end(values));
    all.push_back(oversized);
    for (const std::string &value : all) {
        CONNECTION_T *conn = with_credentials("127.0.0.1", "Basic x");
        header_field_set(&conn->request->proxy_authorization, value.c_str());
        EXPECT_EQ(run(conn), 1) << value.substr(0, 40);
        ASSERT_NE(conn->response, nullptr) << value.substr(0, 40);
        EXPECT_EQ(conn->response->status, 407) << value.substr(0, 40);
        EXPECT_EQ(conn->request_body->size, 0u) << "the body never goes back";
    }

    // A control byte inside the decoded credentials makes them unusable.
    CONNECTION_T *nul = with_credentials("127.0.0.1", basic(std::string("bob\0x:right", 11)));
    EXPECT_EQ(run(nul), 1);
    EXPECT_EQ(nul->response->status, 407);

    // Decoded credentials without ":" verify nothing; a new connection
    // without AUTH_REQUIRED goes on without a rule (and so without rights).
    CONNECTION_T *bare = with_credentials("127.0.0.1", basic("bob"));
    EXPECT_EQ(run(bare), 0);
    EXPECT_EQ(bare->access_flags, 0u);
}

// Rules of system accounts ask for credentials and admit only what the
// system accounts verify; without a verifier nothing is admitted.
TEST_F(AccessTest, SystemAccountsAreVerified)
{
    load(true, {{{"auth_mode", "system_accounts"}, {"user", "^b"}}}, {});

    CONNECTION_T *anonymous = connection("127.0.0.1");
    EXPECT_EQ(run(anonymous), 1);
    EXPECT_EQ(anonymous->response->status, 407);

    CONNECTION_T *unverifiable = with_credentials("127.0.0.1", basic("bob:right"));
    EXPECT_EQ(run(unverifiable), 1) << "no verifier: refused";

    access_system_verify = verify_bob;
    struct Case {
        std::string pair;
        int result;
        int calls;  // verifier calls
    };
    const Case cases[] = {
        {"bob:right", 0, 1},
        {"bob:wrong", 1, 1},
        {"Bob:right", 1, 1},                          // the expression ignores case
        {"carl:right", 1, 0},                         // the expression refuses the name
        {std::string(510, 'b') + ":x", 1, 1},         // 510 characters are verified
        {std::string(511, 'b') + ":x", 1, 0},         // 511 are not
        {"bob:" + std::string(511, 'x'), 1, 0},
    };
    for (const Case &c : cases) {
        verify_calls = 0;
        CONNECTION_T *conn = with_credentials("127.0.0.1", basic(c.pair));
        EXPECT_EQ(run(conn), c.result) << c.pair.substr(0, 20);
        EXPECT_EQ(verify_calls, c.calls) << c.pair.substr(0, 20);
        if (c.result == 0) {
            EXPECT_STREQ(conn->ident, "bob@127.0.0.1");
        }
    }

    // A connection the authentication service vouched for needs no
    // password for its own user, and only for it.
    access_system_verify = nullptr;
    CONNECTION_T *vouched = with_credentials("127.0.0.1", basic("bob:anything"));
    vouched->auth_state = 2;
    vouched->auth_user = strdup("bob");
    EXPECT_EQ(run(vouched), 0);
    CONNECTION_T *other = with_credentials("127.0.0.1", basic("bert:anything"));
    other->auth_state = 2;
    other->auth_user = strdup("bob");
    EXPECT_EQ(run(other), 1);
}

// A user expression that does not compile disables its rule instead of
// letting every user name through.
TEST_F(AccessTest, BrokenUserExpressionDisablesTheRule)
{
    access_system_verify = verify_bob;
    load(true, {{{"auth_mode", "system_accounts"}, {"user", "b(("}, {"access", "proxy"}},
                {{"access", "connect"}}},
         {});
    CONNECTION_T *conn = with_credentials("127.0.0.1", basic("bob:right"));
    EXPECT_EQ(run(conn), 0);
    EXPECT_EQ(conn->access_flags, (uint32_t)ACCESS_CONNECT) << "the second rule applied";
    EXPECT_EQ(verify_calls, 0);

    // In a rule account the user is a plain name, not an expression.
    load(true, {{{"user", "b(("}, {"password", "pw"}}}, {});
    CONNECTION_T *plain = with_credentials("127.0.0.1", basic("b((:pw"));
    EXPECT_EQ(run(plain), 0);
}

// A condition written wrong never widens the access: the allow rule it
// belongs to admits nobody, the deny rule refuses everybody; the rules
// after it still apply.
TEST_F(AccessTest, FlawedConditionNeverWidensTheAccess)
{
    const Fields local_allow = {{"client_ranges", "127.0.0.2"}, {"access", "connect"}};
    struct Case {
        const char *what;
        bool allow_first;
        std::vector<Fields> allow, deny;
        const char *client;
        int admitted;
        uint32_t access;
    };
    const Case cases[] = {
        {"a range in a form the type does not take", true,
         {{{"client_ranges", "10.0.0.0/8"}, {"access", "proxy"}}}, {}, "10.1.2.3", 0, 0},
        {"the same rule for a client outside what was meant", true,
         {{{"client_ranges", "10.0.0.0/8"}, {"access", "proxy"}}}, {}, "192.168.1.1", 0, 0},
        {"a later allow rule still applies", true,
         {{{"client_ranges", "10.0.0.0/8"}, {"access", "proxy"}}, local_allow}, {},
         "127.0.0.2", 1, ACCESS_CONNECT},
        {"an enabled flag that is not a boolean", true,
         {{{"enabled", "yes"}, {"access", "proxy"}}}, {}, "127.0.0.1", 0, 0},
        {"an interface entry without a port", true,
         {{{"interfaces", "127.0.0.1:8080x"}, {"access", "proxy"}}}, {}, "127.0.0.1", 0, 0},
        {"an interface entry without an address", true,
         {{{"interfaces", "localhost:8080"}, {"access", "proxy"}}}, {}, "127.0.0.1", 0, 0},
        {"a flawed deny rule refuses in allow-first mode", true, {local_allow},
         {{{"client_ranges", "10.0.0.0/33"}}}, "127.0.0.2", 0, 0},
        {"a flawed deny rule needs an allow rule in deny-first mode", false, {local_allow},
         {{{"client_ranges", "not-an-address"}}}, "127.0.0.1", 0, 0},
        {"an allow rule still admits past a flawed deny rule in deny-first mode", false,
         {local_allow}, {{{"client_ranges", "not-an-address"}}}, "127.0.0.2", 1,
         ACCESS_CONNECT},
        {"a disabled flawed deny rule refuses nobody", true, {local_allow},
         {{{"enabled", "false"}, {"client_ranges", "10.0.0.0/8"}}}, "127.0.0.2", 1,
         ACCESS_CONNECT},
    };
    for (const Case &c : cases) {
        load(c.allow_first, c.allow, c.deny);
        CONNECTION_T *conn = connection(c.client);
        EXPECT_EQ(run(conn), c.admitted ? 0 : 1) << c.what;
        EXPECT_EQ(conn->access_flags, c.access) << c.what;
    }
}

// A transparent request sends credentials for the proxy in Authorization,
// and only when it is addressed to the proxy itself; it is challenged with
// 401.
TEST_F(AccessTest, TransparentRequestsUseAuthorization)
{
    load(true, {{{"user", "bob"}, {"password", "right"}}}, {});
    CONNECTION_T *to_proxy = connection(
        "127.0.0.1", "GET /x HTTP/1.1\r\nHost: PROXY.test\r\nAuthorization: " +
                         basic("bob:right") + "\r\n\r\n");
    EXPECT_EQ(run(to_proxy), 0);
    EXPECT_STREQ(to_proxy->ident, "bob@127.0.0.1");

    CONNECTION_T *elsewhere = connection(
        "127.0.0.1", "GET /x HTTP/1.1\r\nHost: example.org\r\nAuthorization: " +
                         basic("bob:right") + "\r\n\r\n");
    EXPECT_EQ(run(elsewhere), 1);
    ASSERT_NE(elsewhere->response, nullptr);
    EXPECT_EQ(elsewhere->response->status, 401);
    EXPECT_STREQ(elsewhere->response->www_authenticate, "Basic realm=\"proxy.test\"");
    EXPECT_EQ(elsewhere->response->proxy_authenticate_header, nullptr);
}

// What applying a rule writes into the connection.
TEST_F(AccessTest, SetupWritesTheRuleIntoTheConnection)
{
    load(true,
         {{{"connection_profiles", "staff,,staff,web"}, {"log_profiles", "true"},
           {"bypass", "urlfilter,icap"}, {"interface_user", "admin"},
           {"interface_password", "pw"}}},
         {});
    CONNECTION_T *conn = connection("127.0.0.1");
    conn->profiles.push_back("stale");
    conn->bypass = BYPASS_MIME;
    ASSERT_EQ(run(conn), 0);
    EXPECT_EQ(std::vector<std::string>(conn->profiles.begin(), conn->profiles.end()),
              (std::vector<std::string>{"staff", "", "web"}));
    EXPECT_EQ(conn->bypass, (uint32_t)(BYPASS_MIME | BYPASS_URLFILTER | BYPASS_ICAP));
    EXPECT_EQ(conn->interface_user, "admin");
    EXPECT_EQ(conn->interface_password, "pw");

    // The rule's statistics outlive a configuration change for as long as
    // the connection holds them, and a new rule's replace them.
    Stats *first = conn->user_stats;
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->count, 2);
    load(true, {{}}, {});
    EXPECT_EQ(first->count, 1) << "only the connection holds them now";
    first->Increment("requests", "HTTP requests");
    ASSERT_EQ(run(conn), 0);
    EXPECT_NE(conn->user_stats, first);
    EXPECT_EQ(conn->user_stats->count, 2);
}

}  // namespace
