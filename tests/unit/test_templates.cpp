// Template pages: the built-in table, configured templates and their rule
// selection, and the responses that send writes to the client.
#include <gtest/gtest.h>

#include <tinyxml.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "config/section.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "fixture.h"

namespace {

std::string text_of(const Filebuf *buffer)
{
    return buffer && buffer->data ? std::string(buffer->data, buffer->size) : "";
}

// A client connection whose socket's peer end the test reads.
struct Client {
    CONNECTION_T *conn = nullptr;
    int peer = -1;

    Client()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
            abort();
        conn = connection_new();
        conn->client = new Socket(fds[0]);
        conn->client_ip = strdup("127.0.0.1");
        conn->keepalive_client = 1;
        peer = fds[1];
    }
    ~Client()
    {
        delete conn->client;
        conn->client = nullptr;
        connection_free(conn);
        close(peer);
    }

    // Everything the proxy wrote so far.
    std::string received()
    {
        std::string got;
        struct pollfd p = {peer, POLLIN, 0};
        char block[8192];
        while (poll(&p, 1, 50) > 0) {
            ssize_t n = read(peer, block, sizeof(block));
            if (n <= 0)
                break;
            got.append(block, (size_t)n);
        }
        return got;
    }
};

class Templates : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(template_section);
    }

    void SetUp() override
    {
        char pattern[] = "/tmp/kv-templates-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }

    void TearDown() override
    {
        load("", {});
        std::string command = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(command.c_str()), 0);
    }

    void write_file(const std::string &name, const std::string &content)
    {
        std::ofstream(dir + "/" + name) << content;
    }

    // Loads the section with the template directory and the page rules,
    // each a map of the fields it sets over an enabled, parsed text/html
    // rule for everyone.
    static void load(const std::string &template_dir,
                     const std::vector<std::map<std::string, std::string>> &pages)
    {
        static const char *const fields[][2] = {
            {"enabled", "true"}, {"comment", ""}, {"groups", ""}, {"profiles", ""},
            {"name", ""}, {"file", ""}, {"mime_type", "text/html"},
            {"response_code", "0"}, {"suppress", "false"}, {"parse", "true"},
        };
        std::string xml = "<kelvarine><templates><template_dir>" + template_dir +
                          "</template_dir>";
        for (const auto &page : pages) {
            xml += "<page>";
            for (const auto &field : fields) {
                auto given = page.find(field[0]);
                std::string value = given != page.end() ? given->second : field[1];
                xml += std::string("<") + field[0] + ">" + value + "</" + field[0] + ">";
            }
            xml += "</page>";
        }
        xml += "</templates></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << xml;
        template_section->load(&doc, 1);
    }

    std::string dir;
};

const std::string stylesheet_start = "<style type=\"text/css\">";

// The built-in table: names, kinds and the sizes of its binary pages.
TEST_F(Templates, BuiltInPagesHaveTheirKindsAndSizes)
{
    struct Row {
        const char *name;
        const char *mime;
        size_t length;     // 0: not checked
        const char *start; // the page's first bytes
    };
    const Row rows[] = {
        {"tinygif", "image/gif", 43, "GIF89a"},
        {"logo1", "image/gif", 4554, "GIF89a"},
        {"logo", "image/gif", 2768, "GIF89a"},
        {"checkeredgif", "image/gif", 64, "GIF89a"},
        {"tinyswf", "application/x-shockwave", 327, "FWS\x04"},
        {"uparrow", "image/gif", 96, "GIF89a"},
        {"downarrow", "image/gif", 97, "GIF89a"},
        {"interface.css", "text/plain", 6968, "<style type=\"text/css\">"},
        {"tooltip", "text/plain", 1779, "<script"},
        {"empty", "text/plain", 0, ""},
        {"reconnect", "text/plain", 0, "Location: "},
        {"proxy.pac", "application/x-ns-proxy-autoconfig", 0, "function FindProxyForURL(url, host)"},
    };
    for (const Row &row : rows) {
        int code = 777;
        Filebuf *page = template_section->get(nullptr, row.name, &code);
        ASSERT_NE(page, nullptr) << row.name;
        EXPECT_STREQ(page->type, row.mime) << row.name;
        if (row.length != 0 || strcmp(row.name, "empty") == 0) {
            EXPECT_EQ(page->size, row.length) << row.name;
        }
        EXPECT_EQ(text_of(page).substr(0, strlen(row.start)), row.start) << row.name;
        EXPECT_EQ(code, 777) << row.name << ": a built-in page gives no code";
        delete page;
    }
    // A GIF ends with its trailer byte.
    Filebuf *gif = template_section->get(nullptr, "logo", nullptr);
    EXPECT_EQ(gif->data[gif->size - 1], ';');
    delete gif;
    EXPECT_EQ(template_section->get(nullptr, "no such page", nullptr), nullptr);
}

// Every HTML page starts with the stylesheet, names are compared without
// case, and values from the request are escaped where they reach HTML.
TEST_F(Templates, HtmlPagesCarryTheStylesheetAndEscapedValues)
{
    Client client;
    client.conn->variables["HTTP_HOST"] = "<script>x&y</script>";
    Filebuf *page = template_section->get(client.conn, "NODNS", nullptr);
    ASSERT_NE(page, nullptr);
    std::string text = text_of(page);
    EXPECT_EQ(text.find(stylesheet_start), 0u);
    EXPECT_LT(text.find("</style>"), text.find("<!DOCTYPE HTML PUBLIC"));
    EXPECT_NE(text.find("<title>DNS Lookup failed</title>"), std::string::npos);
    EXPECT_NE(text.find("DNS Lookup for &lt;script&gt;x&amp;y&lt;/script&gt; failed"),
              std::string::npos) << text;
    EXPECT_EQ(text.find("<script>x"), std::string::npos);
    EXPECT_NE(text.find("<base href=\"http://kelvarine.cfg\" />"), std::string::npos);
    EXPECT_NE(text.find("src=\"/template/logo\""), std::string::npos);
    delete page;

    // The refresh target of "downloading" sits in an attribute.
    client.conn->variables["URL"] = "http://a/\"><b>";
    page = template_section->get(client.conn, "downloading", nullptr);
    text = text_of(page);
    EXPECT_NE(text.find("content=\"1;URL=http://a/&quot;&gt;&lt;b&gt;\""),
              std::string::npos) << text;
    delete page;

    // Every variable-free HTML page is framed the same way.
    for (const char *name : {"unknown", "badrequest", "badresponse", "nofile", "nocache",
                             "noconnect", "blocked", "blacklisted", "virus",
                             "badprotocol", "noaccess", "badauth", "downloadlimit",
                             "uploadlimit", "maxrequests", "imgfilter"}) {
        page = template_section->get(nullptr, name, nullptr);
        ASSERT_NE(page, nullptr) << name;
        text = text_of(page);
        EXPECT_STREQ(page->type, "text/html") << name;
        EXPECT_EQ(text.find(stylesheet_start), 0u) << name;
        EXPECT_NE(text.find("class=\"centerdialog\""), std::string::npos) << name;
        EXPECT_EQ(text.find('@'), std::string::npos) << name << ": variables left";
        delete page;
    }
}

TEST_F(Templates, InsertAddsThePageBytesOnly)
{
    Filebuf head;
    head.Add("X", 1);
    EXPECT_EQ(template_section->insert(nullptr, &head, "interfacehead"), 1);
    std::string text = text_of(&head);
    EXPECT_EQ(text.find("X" + stylesheet_start), 0u);
    EXPECT_NE(text.find("<table class=\"header\""), std::string::npos);
    EXPECT_EQ(text.find("<!DOCTYPE"), std::string::npos);

    Filebuf tip;
    EXPECT_EQ(template_section->insert(nullptr, &tip, "tooltip"), 1);
    EXPECT_EQ(text_of(&tip).find("<script"), 0u);
    EXPECT_EQ(tip.size, 1779u);

    Filebuf css;
    EXPECT_EQ(template_section->insert(nullptr, &css, "interface.css"), 1);
    std::string sheet = text_of(&css);
    EXPECT_EQ(sheet.find(stylesheet_start), 0u);
    EXPECT_EQ(sheet.find(stylesheet_start, 1), std::string::npos) << "not put in front of itself";

    Filebuf nothing;
    EXPECT_EQ(template_section->insert(nullptr, &nothing, "missing"), 0);
    EXPECT_EQ(nothing.size, 0u);
}

// Which rule a name selects.
TEST_F(Templates, FirstApplicableEnabledRuleGivesThePage)
{
    write_file("a.html", "A");
    write_file("b.html", "B");
    write_file("c.html", "C");
    load(dir, {
        {{"name", "page"}, {"file", "a.html"}, {"enabled", "false"}},
        {{"name", "page"}, {"file", "b.html"}, {"profiles", "staff"}},
        {{"name", "page"}, {"file", "c.html"}, {"groups", "admins"}},
        {{"name", ""}, {"file", "a.html"}},
        {{"name", "PAGE"}, {"file", "a.html"}, {"mime_type", ""}},
    });
    struct Case {
        const char *what;
        std::vector<std::string> profiles;
        std::vector<std::string> groups;
        const char *body;
    };
    const Case cases[] = {
        {"no profile, no group: the last rule (name without case)", {}, {}, "A"},
        {"profile staff", {"staff"}, {}, "B"},
        {"group admins", {}, {"admins"}, "C"},
        {"both: the first rule in order", {"staff"}, {"admins"}, "B"},
    };
    for (const Case &c : cases) {
        Client client;
        for (const auto &p : c.profiles)
            client.conn->profiles.push_back(p);
        for (const auto &g : c.groups)
            client.conn->ldap_groups.push_back(g);
        Filebuf *page = template_section->get(client.conn, "page", nullptr);
        ASSERT_NE(page, nullptr) << c.what;
        EXPECT_EQ(text_of(page), c.body) << c.what;
        delete page;
    }
    // An empty name never matches, not even the empty page name.
    EXPECT_EQ(template_section->get(nullptr, "", nullptr), nullptr);
}

// What a configured template sends, by its fields.
TEST_F(Templates, SendAnswersWithTheConfiguredTemplate)
{
    write_file("404.html", "gone: @URL@ @@");
    write_file("plain.txt", "raw @URL@ @@");
    load(dir, {
        {{"name", "404"}, {"file", "404.html"}, {"response_code", "200"}},
        {{"name", "noaccess"}, {"file", "404.html"}, {"response_code", "200"}},
        {{"name", "quiet"}, {"file", "404.html"}, {"suppress", "true"}},
        {{"name", "nofilename"}, {"file", ""}},
        {{"name", "missing"}, {"file", "nothere.html"}, {"response_code", "410"}},
        {{"name", "plain"}, {"file", "plain.txt"}, {"mime_type", ""}, {"parse", "false"}},
        {{"name", "parsed"}, {"file", "plain.txt"}, {"mime_type", "text/plain"}},
        {{"name", "low"}, {"file", "404.html"}, {"response_code", "99"}},
        {{"name", "high"}, {"file", "404.html"}, {"response_code", "600"}},
        {{"name", "split"}, {"file", "404.html"}, {"mime_type", "text/html&#x0D;&#x0A;X-Evil: 1"}},
    });
    struct Case {
        const char *name;
        int status;       // the caller's status
        int sent;         // send's result
        const char *head; // expected head lines, in order
        const char *body;
    };
    const Case cases[] = {
        {"404", 404, 1, "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Length: 19\r\n"
                        "Cache-Control: no-cache\r\n", "gone: a&lt;b.html @"},
        // A built-in page cannot be replaced: its own page, the caller's status.
        {"noaccess", 403, 1, "HTTP/1.1 403 ", nullptr},
        {"quiet", 404, 0, "", ""},
        {"nofilename", 404, 0, "", ""},
        {"missing", 404, 1, "HTTP/1.1 410 ", ""},
        {"plain", 200, 1, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", "raw @URL@ @@"},
        // Text that is not HTML takes the values as they are.
        {"parsed", 200, 1, "HTTP/1.1 200 OK\r\n", "raw a<b.html @"},
        // A code outside 100-599 counts as none.
        {"low", 403, 1, "HTTP/1.1 403 ", nullptr},
        {"high", 403, 1, "HTTP/1.1 403 ", nullptr},
        // A line break never reaches the head: the request fails instead.
        {"split", 200, 1, "HTTP/1.1 400 ", ""},
    };
    for (const Case &c : cases) {
        Client client;
        client.conn->variables["URL"] = "a<b.html";
        HEADER *previous = header_new();
        client.conn->response = previous;
        EXPECT_EQ(template_section->send(c.name, client.conn, c.status), c.sent) << c.name;
        EXPECT_EQ(client.conn->response, previous) << c.name;
        std::string got = client.received();
        size_t end = got.find("\r\n\r\n");
        std::string head = end == std::string::npos ? got : got.substr(0, end + 2);
        std::string body = end == std::string::npos ? "" : got.substr(end + 4);
        EXPECT_EQ(head.find(c.head), 0u) << c.name << "\n" << got;
        EXPECT_EQ(got.find("X-Evil"), std::string::npos) << c.name;
        if (c.body != nullptr) {
            EXPECT_EQ(body, c.body) << c.name;
        }
        if (c.sent) {
            EXPECT_NE(head.find("Content-Length: " + std::to_string(body.size()) + "\r\n"),
                      std::string::npos) << c.name << "\n" << head;
        }
        http_header_free(previous);
        client.conn->response = nullptr;
    }
}

TEST_F(Templates, FileNamesAndTheTemplateDirectory)
{
    write_file("page.html", "in dir");
    std::string absolute = dir + "/page.html";
    char cwd[4096];
    ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);

    struct Case {
        const char *what;
        std::string template_dir;
        std::string file;
        const char *body;
    };
    const Case cases[] = {
        {"relative, no directory: the working directory", "", "page.html", "in dir"},
        {"relative in the directory", dir, "page.html", "in dir"},
        {"absolute ignores the directory", "/nonexistent", absolute, "in dir"},
        {"relative in another directory", "/nonexistent", "page.html", ""},
        // A path that would have to be cut names another file: none is read.
        {"too long", dir + "/" + std::string(260, 'x'), "page.html", ""},
    };
    for (const Case &c : cases) {
        load(c.template_dir, {{{"name", "mine"}, {"file", c.file}}});
        Filebuf *page = template_section->get(nullptr, "mine", nullptr);
        ASSERT_NE(page, nullptr) << c.what;
        EXPECT_EQ(text_of(page), c.body) << c.what;
        delete page;
    }
    ASSERT_EQ(chdir(cwd), 0);
}

TEST_F(Templates, SendRecordsTheLogEntryAndHonoursHeadAndGoneClients)
{
    Client client;
    client.conn->flags |= CONN_HEAD;
    ASSERT_EQ(template_section->send("tinygif", client.conn, 200), 1);
    std::string got = client.received();
    EXPECT_EQ(got.find("HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n"
                       "Content-Length: 43\r\n"), 0u) << got;
    EXPECT_EQ(got.substr(got.size() - 4), "\r\n\r\n") << "a HEAD answer has no body";
    EXPECT_NE(got.find("Cache-Control: no-cache\r\n"), std::string::npos);
    const LogEntry &entry = client.conn->log_entry;
    EXPECT_EQ(entry.cache_code, LOGENTRY_TCP_MISS);
    EXPECT_EQ(entry.peer_code, LOGENTRY_DIRECT);
    EXPECT_EQ(entry.peer, "kelvarine");
    EXPECT_EQ(entry.size, 43);
    EXPECT_EQ(entry.status, 200);
    EXPECT_EQ(entry.mime, "image/gif");

    client.conn->flags = 0;
    ASSERT_EQ(template_section->send("empty", client.conn, 200), 1);
    got = client.received();
    EXPECT_NE(got.find("Content-Type: text/plain\r\nContent-Length: 0\r\n"),
              std::string::npos) << got;

    client.conn->flags = CONN_CLIENT_GONE;
    EXPECT_EQ(template_section->send("noaccess", client.conn, 403), 0);
    EXPECT_EQ(client.received(), "");
}

}  // namespace
