// The internal HTTP client against a real nginx: counted and chunked
// bodies, Basic credentials from the URL, a status that is not 200, a
// pooled connection reused and a dead one replaced.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <thread>

#include "config/general.h"
#include "config/xml.h"
#include "engine/httpfetch.h"
#include "engine/serverpool.h"
#include "fixture.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"

namespace {

int free_port()
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, (struct sockaddr *)&sa, sizeof(sa));
    socklen_t len = sizeof(sa);
    getsockname(fd, (struct sockaddr *)&sa, &len);
    close(fd);
    return ntohs(sa.sin_port);
}

bool port_open(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, (struct sockaddr *)&sa, sizeof(sa)) == 0;
    close(fd);
    return ok;
}

void write_file(const std::string &path, const std::string &text, mode_t mode = 0644)
{
    std::ofstream(path) << text;
    chmod(path.c_str(), mode);
}

// nginx with its own configuration in a temporary directory; its workers
// run as nobody, so the directory is world-readable.
class Nginx {
public:
    Nginx()
    {
        dir = "/tmp/kv-httpfetch." + std::to_string(getpid());
        mkdir(dir.c_str(), 0755);
        mkdir((dir + "/html").c_str(), 0755);
        port = free_port();
        write_file(dir + "/html/counted.txt", counted_body());
        write_file(dir + "/html/chunked.html", chunked_source());
        write_file(dir + "/htpasswd", "admin:{PLAIN}s3cret\n");
        write_file(dir + "/html/config.xml", file_text(source_dir() + "/etc/kelvarine.xml"));
        write_file(dir + "/html/broken.xml", "<kelvarine><general>");
        std::string conf =
            "daemon off; worker_processes 1; pid " + dir + "/nginx.pid;\n"
            "error_log " + dir + "/error.log warn;\n"
            "events { worker_connections 64; }\n"
            "http {\n"
            "  log_format kv '$connection $connection_requests \"$request\" $status "
            "\"$http_authorization\" \"$http_user_agent\" \"$http_x_probe\"';\n"
            "  access_log " + dir + "/access.log kv;\n"
            "  client_body_temp_path " + dir + "/body; proxy_temp_path " + dir + "/proxy;\n"
            "  fastcgi_temp_path " + dir + "/fcgi; uwsgi_temp_path " + dir + "/uwsgi;\n"
            "  scgi_temp_path " + dir + "/scgi;\n"
            "  keepalive_timeout 2s;\n"
            "  server {\n"
            "    listen 127.0.0.1:" + std::to_string(port) + ";\n"
            "    root " + dir + "/html;\n"
            "    location = /chunked.html { sub_filter 'SWAP' 'swapped'; sub_filter_once off; }\n"
            "    location /private/ { auth_basic \"kv\"; auth_basic_user_file " + dir +
            "/htpasswd; alias " + dir + "/html/; }\n"
            "  }\n"
            "}\n";
        write_file(dir + "/nginx.conf", conf);
        pid = fork();
        if (pid == 0) {
            execl("/usr/sbin/nginx", "nginx", "-c", (dir + "/nginx.conf").c_str(), "-p",
                  dir.c_str(), (char *)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && !port_open(port); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    ~Nginx()
    {
        if (pid > 0) {
            kill(pid, SIGTERM);
            waitpid(pid, nullptr, 0);
        }
        system(("rm -rf " + dir).c_str());
    }
    std::string url(const std::string &path, const std::string &credentials = "") const
    {
        return "http://" + credentials + "127.0.0.1:" + std::to_string(port) + path;
    }
    // The access log's lines once it holds at least n.
    std::vector<std::string> log(size_t n) const
    {
        std::vector<std::string> lines;
        for (int i = 0; i < 200; i++) {
            lines.clear();
            std::ifstream in(dir + "/access.log");
            for (std::string line; std::getline(in, line);)
                lines.push_back(line);
            if (lines.size() >= n)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return lines;
    }
    static std::string counted_body()
    {
        std::string s;
        for (int i = 0; i < 3000; i++)
            s += "line " + std::to_string(i) + "\n";
        return s;
    }
    static std::string chunked_source()
    {
        std::string s = "<html>";
        for (int i = 0; i < 2000; i++)
            s += "SWAP " + std::to_string(i) + "\n";
        return s + "</html>\n";
    }
    std::string dir;
    int port = 0;
    pid_t pid = -1;
};

std::string body_text(const HTTPRESPONSE *r)
{
    return std::string(r->body->data ? r->body->data : "", r->body->size);
}

HTTPRESPONSE *fetch(const std::string &text, const std::vector<HTTP_HEADER> *headers = nullptr)
{
    URL *url = url_parse(text.c_str());
    EXPECT_NE(url, nullptr) << text;
    if (url == nullptr)
        return nullptr;
    HTTPRESPONSE *r = http_fetch(url, headers);
    url_free(url);
    return r;
}

class HttpFetchTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        global_for_process();
        if (global->server_pool == nullptr)
            global->server_pool = new ServerPool();
        signal(SIGPIPE, SIG_IGN);
    }
    void SetUp() override
    {
        global->server_pool->Clean(1);
        ASSERT_TRUE(port_open(nginx.port)) << "nginx did not start";
    }
    Nginx nginx;
};

TEST_F(HttpFetchTest, CountedAndChunkedBodies)
{
    struct Case {
        const char *path;
        std::string body;
        bool chunked;
    };
    std::string swapped = Nginx::chunked_source();
    for (size_t at; (at = swapped.find("SWAP")) != std::string::npos;)
        swapped.replace(at, 4, "swapped");
    const Case cases[] = {
        {"/counted.txt", Nginx::counted_body(), false},
        {"/chunked.html", swapped, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        HTTPRESPONSE *r = fetch(nginx.url(c.path));
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->header->status, 200);
        EXPECT_EQ(r->header->chunked, c.chunked ? 1 : 0);
        EXPECT_EQ(body_text(r), c.body);
        httpresponse_free(r);
    }
    std::vector<std::string> log = nginx.log(2);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_NE(log[0].find("\"GET /counted.txt HTTP/1.1\" 200 \"-\" \"Mozilla/4.0 (compatible; "
                          "MSIE 5.5; Windows 98; Win 9x 4.90)\""),
              std::string::npos)
        << log[0];
}

TEST_F(HttpFetchTest, StatusesAndCredentials)
{
    struct Case {
        const char *what;
        std::string url;
        int status;
        const char *authorization; // as nginx logged it
    };
    const Case cases[] = {
        {"missing file", nginx.url("/nothing-here"), 404, "-"},
        {"protected without credentials", nginx.url("/private/counted.txt"), 401, "-"},
        {"wrong password", nginx.url("/private/counted.txt", "admin:wrong@"), 401,
         "Basic YWRtaW46d3Jvbmc="},
        {"user and password in the URL", nginx.url("/private/counted.txt", "admin:s3cret@"), 200,
         "Basic YWRtaW46czNjcmV0"},
    };
    size_t n = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        HTTPRESPONSE *r = fetch(c.url);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r->header->status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(body_text(r), Nginx::counted_body());
        }
        httpresponse_free(r);
        // One request head per fetch, carrying the credentials.
        std::vector<std::string> log = nginx.log(++n);
        ASSERT_EQ(log.size(), n);
        EXPECT_NE(log.back().find(" " + std::to_string(c.status) + " \"" + c.authorization + "\""),
                  std::string::npos)
            << log.back();
    }
}

TEST_F(HttpFetchTest, GivenHeaderLinesReplaceTheDefault)
{
    std::vector<HTTP_HEADER> lines(1);
    lines[0].name = "X-Probe";
    lines[0].value = "sync";
    HTTPRESPONSE *r = fetch(nginx.url("/counted.txt"), &lines);
    ASSERT_NE(r, nullptr);
    httpresponse_free(r);
    std::vector<std::string> log = nginx.log(1);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("\"-\" \"sync\""), std::string::npos) << log[0];
}

// Connection numbers of nginx's log tell reuse: "<connection> <request
// number on it> ...".
TEST_F(HttpFetchTest, PooledConnectionReusedAndDeadOneReplaced)
{
    for (int i = 0; i < 2; i++) {
        HTTPRESPONSE *r = fetch(nginx.url("/counted.txt"));
        ASSERT_NE(r, nullptr);
        httpresponse_free(r);
    }
    std::vector<std::string> log = nginx.log(2);
    ASSERT_EQ(log.size(), 2u);
    std::string first = log[0].substr(0, log[0].find(' '));
    EXPECT_EQ(log[1].substr(0, log[1].find(' ') + 2), first + " 2");
    EXPECT_EQ(global->server_pool->Count(), 1u);

    // nginx closes the idle connection; the pooled socket is dead, and the
    // fetch sends its request again on a new one.
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    HTTPRESPONSE *r = fetch(nginx.url("/counted.txt"));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->header->status, 200);
    EXPECT_EQ(body_text(r), Nginx::counted_body());
    httpresponse_free(r);
    log = nginx.log(3);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_NE(log[2].substr(0, log[2].find(' ')), first);
    EXPECT_EQ(log[2].substr(log[2].find(' ') + 1, 2), "1 ");
}

// The configuration loaded from a URL: only a 200 with a document whose
// root is "kelvarine" replaces the document in memory.
TEST_F(HttpFetchTest, ConfigurationLoadFromUrl)
{
    ASSERT_NO_FATAL_FAILURE(schema_for_process());
    section_for_process(general_section);
    config_url_fetch = http_fetch_text;
    struct Case {
        const char *what;
        std::string url;
        bool loads;
    };
    const Case cases[] = {
        {"with credentials", nginx.url("/private/config.xml", "admin:s3cret@"), true},
        {"refused credentials", nginx.url("/private/config.xml", "admin:nope@"), false},
        {"missing", nginx.url("/none.xml"), false},
        {"no XML", nginx.url("/broken.xml"), false},
        {"no server", "http://127.0.0.1:" + std::to_string(free_port()) + "/config.xml", false},
        {"no URL", "http://", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TiXmlDocument *before = document;
        time_t stamp = documentsynctime.load();
        EXPECT_EQ(config_load(1, c.url), c.loads ? 1 : 0);
        if (c.loads) {
            EXPECT_NE(document, before);
            ASSERT_NE(document, nullptr);
            EXPECT_NE(document->FirstChildElement("kelvarine"), nullptr);
        } else {
            EXPECT_EQ(document, before);
        }
        EXPECT_EQ(documentsynctime.load(), stamp);
    }
}

TEST_F(HttpFetchTest, NoServerGivesNull)
{
    EXPECT_EQ(fetch("http://127.0.0.1:" + std::to_string(free_port()) + "/x"), nullptr);
}

} // namespace
