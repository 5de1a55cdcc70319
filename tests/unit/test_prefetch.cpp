// Link prefetching: the queue's bounds, the links a page yields, which
// responses are scanned, and the queue page of the web interface.
#include <cstring>
#include <string>
#include <vector>

#include "cache/prefetch.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "interface/interface.h"
#include "interface/pages.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"
#include "fixture.h"

namespace {

struct RuleText {
    const char *tag;
    const char *attribute;
    const char *pattern;
    int max_depth;
    bool enabled;
};

class PrefetchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        global_for_process();
        ASSERT_NO_FATAL_FAILURE(schema_for_process());
        section_for_process(prefetch_section);
        load(10, 0, {{"img", "src", "", 0, true}});
    }

    void TearDown() override
    {
        drain();
        for (CONNECTION_T *c : conns) {
            delete c->html_stream;
            http_header_free(c->request);
            http_header_free(c->response);
            connection_free(c);
        }
    }

    void load(int queue_size, int host_limit, const std::vector<RuleText> &rules,
              bool enabled = true)
    {
        std::string xml = "<kelvarine><prefetch><enabled>" +
                          std::string(enabled ? "true" : "false") +
                          "</enabled><thread_count>0</thread_count><queue_size>" +
                          std::to_string(queue_size) + "</queue_size><host_limit>" +
                          std::to_string(host_limit) + "</host_limit>";
        for (const RuleText &r : rules)
            xml += std::string("<rule><enabled>") + (r.enabled ? "true" : "false") +
                   "</enabled><comment/><profiles/><tag>" + r.tag + "</tag><attribute>" +
                   r.attribute + "</attribute><url_pattern>" + r.pattern +
                   "</url_pattern><download_limit>0</download_limit><max_depth>" +
                   std::to_string(r.max_depth) + "</max_depth></rule>";
        xml += "</prefetch></kelvarine>";
        TiXmlDocument doc;
        doc.Parse(xml.c_str());
        ASSERT_FALSE(doc.Error()) << xml;
        prefetch_section->load(&doc, 1);
    }

    void drain()
    {
        prefetch_section->mutex_lock();
        while (PREFETCH_QUEUE *q = prefetch_section->queue_head) {
            prefetch_section->queue_head = q->next;
            prefetch_queue_free(q);
        }
        prefetch_section->queue_count = 0;
        prefetch_section->unlock();
    }

    // The queued URLs, oldest first.
    std::vector<std::string> queued()
    {
        std::vector<std::string> out;
        prefetch_section->mutex_lock();
        for (PREFETCH_QUEUE *q = prefetch_section->queue_head; q; q = q->next) {
            char *text = url_create(q->url);
            out.push_back(text);
            free(text);
        }
        prefetch_section->unlock();
        return out;
    }

    void add(const char *text)
    {
        URL *url = url_parse(text);
        ASSERT_NE(url, nullptr) << text;
        prefetch_section->queue_add(url, nullptr, PREFETCH_NO_LIMIT, 1);
    }

    // A connection that requested url and got a response with the head.
    CONNECTION_T *page(const char *url, const char *response_head)
    {
        CONNECTION_T *c = connection_new();
        std::string request = std::string("GET ") + url + " HTTP/1.1\r\n\r\n";
        c->request = http_header_parse_request(request.c_str());
        c->response = http_header_parse_response(response_head);
        conns.push_back(c);
        return c;
    }

    // The queue after the page's body passed its HTML stream.
    std::vector<std::string> links(CONNECTION_T *c, const std::string &body)
    {
        drain();
        prefetch_section->setup_callbacks(c);
        if (c->html_stream) {
            c->html_stream->Add(body.data(), body.size());
            c->html_stream->Add(nullptr, 0);
        }
        return queued();
    }

    std::vector<CONNECTION_T *> conns;
};

const char HTML[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n";

TEST_F(PrefetchTest, QueueBounds)
{
    load(2, 0, {});
    add("http://a/1");
    add("http://a/2");
    add("http://a/3");
    EXPECT_EQ(queued(), (std::vector<std::string>{"http://a:80/1", "http://a:80/2"}));

    drain();
    load(10, 1, {});
    add("http://a/1");
    add("http://A/2");  // same host, other case
    add("http://b/1");
    EXPECT_EQ(queued(), (std::vector<std::string>{"http://a:80/1", "http://b:80/1"}));

    drain();
    load(10, 2, {});
    add("http://a/1");
    add("http://a/1");  // duplicate: once
    add("http://a/2");
    add("http://a/3");  // the host's third
    EXPECT_EQ(queued(), (std::vector<std::string>{"http://a:80/1", "http://a:80/2"}));
}

TEST_F(PrefetchTest, QueueCountFollowsTakes)
{
    load(2, 0, {});
    add("http://a/1");
    add("http://a/2");
    PREFETCH_QUEUE *first = prefetch_section->queue_take();
    ASSERT_NE(first, nullptr);
    char *text = url_create(first->url);
    EXPECT_STREQ(text, "http://a:80/1");
    free(text);
    prefetch_queue_free(first);
    // The freed place takes a new URL.
    add("http://a/3");
    EXPECT_EQ(queued(), (std::vector<std::string>{"http://a:80/2", "http://a:80/3"}));
}

TEST_F(PrefetchTest, LinksOfAPage)
{
    struct Case {
        const char *value;
        const char *queued;  // null: nothing
    } cases[] = {
        {"x.gif", "http://h:8080/d/x.gif"},
        {"/y.gif", "http://h:8080/y.gif"},
        {"../z.gif", "http://h:8080/d/../z.gif"},
        {"x.gif#top", "http://h:8080/d/x.gif"},
        {"http://other.example/a.gif", "http://other.example:80/a.gif"},
        {"ftp://files.example/f.bin", "ftp://files.example:21/f.bin"},
        // Only http and ftp links are fetched.
        {"javascript:alert(1)", nullptr},
        {"mailto:someone@example.com", nullptr},
        {"https://secure.example/s.gif", nullptr},
        {"file:///etc/passwd", nullptr},
    };
    for (const Case &k : cases) {
        CONNECTION_T *c = page("http://h:8080/d/p.html", HTML);
        std::string body = std::string("<html><body><p>t</p><img alt=\"a\" src=\"") + k.value +
                           "\"></body></html>";
        std::vector<std::string> got = links(c, body);
        if (k.queued)
            EXPECT_EQ(got, std::vector<std::string>{k.queued}) << k.value;
        else
            EXPECT_TRUE(got.empty()) << k.value;
    }
}

TEST_F(PrefetchTest, RulesChooseLinks)
{
    const std::string body = "<img src=\"a.gif\"><img src=\"b.png\"><a href=\"c.html\">c</a>";
    load(10, 0, {{"img", "src", "\\.gif$", 0, true}});
    EXPECT_EQ(links(page("http://h/p", HTML), body),
              std::vector<std::string>{"http://h:80/a.gif"});
    load(10, 0, {{"img", "src", "", 0, true}});
    EXPECT_EQ(links(page("http://h/p", HTML), body),
              (std::vector<std::string>{"http://h:80/a.gif", "http://h:80/b.png"}));
    // Attribute names compare without case.
    load(10, 0, {{"a", "HREF", "", 0, true}});
    EXPECT_EQ(links(page("http://h/p", HTML), body),
              std::vector<std::string>{"http://h:80/c.html"});
    // A disabled rule registers but queues nothing.
    load(10, 0, {{"img", "src", "", 0, false}});
    EXPECT_TRUE(links(page("http://h/p", HTML), body).empty());
}

TEST_F(PrefetchTest, DepthLimit)
{
    const std::string body = "<img src=\"a.gif\">";
    struct Case {
        int max_depth;
        int page_depth;
        bool followed;
    } cases[] = {{1, 0, true}, {1, 1, false}, {0, 5, true}, {3, 2, true}, {3, 3, false}};
    for (const Case &k : cases) {
        load(10, 0, {{"img", "src", "", k.max_depth, true}});
        CONNECTION_T *c = page("http://h/p", HTML);
        c->prefetch_depth = k.page_depth;
        EXPECT_EQ(links(c, body).size(), k.followed ? 1u : 0u)
            << k.max_depth << " " << k.page_depth;
        prefetch_section->mutex_lock();
        if (prefetch_section->queue_head) {
            EXPECT_EQ(prefetch_section->queue_head->depth, k.page_depth + 1);
        }
        prefetch_section->unlock();
    }
}

TEST_F(PrefetchTest, WhichResponsesAreScanned)
{
    struct Case {
        const char *head;
        unsigned flags;
        bool enabled;
        bool scanned;
    } cases[] = {
        {"HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n\r\n", 0, true, true},
        {"HTTP/1.1 200 OK\r\nContent-Type: TEXT/HTML\r\n\r\n", 0, true, true},
        {"HTTP/1.1 200 OK\r\nContent-Type: application/xhtml+xml\r\n\r\n", 0, true, false},
        {"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n", 0, true, false},
        {"HTTP/1.1 200 OK\r\n\r\n", 0, true, false},
        {HTML, CONN_TLS, true, false},
        {HTML, 0, false, false},
    };
    for (const Case &k : cases) {
        load(10, 0, {{"img", "src", "", 0, true}}, k.enabled);
        CONNECTION_T *c = page("http://h/p", k.head);
        c->flags |= k.flags;
        prefetch_section->setup_callbacks(c);
        EXPECT_EQ(c->html_stream != nullptr, k.scanned) << k.head;
    }
}

TEST_F(PrefetchTest, RelayedBodiesFeedTheStreamTheirStartOnly)
{
    const std::string chunk(300 * 1024, 'x');
    struct Case {
        const char *head;
        unsigned flags;
        size_t fed;
    } cases[] = {
        {HTML, 0, BODY_HTML_RELAY_MAX},
        {HTML, CONN_BUFFERING, 4 * chunk.size()},
        // A coded body waits for its decoding.
        {"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nContent-Encoding: gzip\r\n\r\n", 0,
         0},
    };
    for (const Case &k : cases) {
        CONNECTION_T *c = page("http://h/p", k.head);
        c->flags |= k.flags;
        c->html_stream = new HTMLStream();
        for (int i = 0; i < 4; i++)
            body_html_feed(c, chunk.data(), chunk.size());
        EXPECT_EQ(c->html_stream->input->size, k.fed) << k.head;
    }
}

TEST_F(PrefetchTest, QueuePage)
{
    load(10, 0, {});
    add("http://a/x?q=<b>");
    Filebuf page;
    CGIMap args;
    args["queue"] = "http://b/y";
    interface_page_prefetch(&page, args, nullptr);
    args["queue"] = "not a url";
    interface_page_prefetch(&page, args, nullptr);
    std::string text(page.data, page.size);
    EXPECT_EQ(queued(), (std::vector<std::string>{"http://a:80/x?q=<b>", "http://b:80/y"}));
    EXPECT_NE(text.find("<form action=\"prefetch\" method=\"POST\">"), std::string::npos);
    EXPECT_NE(text.find("<td>http://a:80/x?q=&lt;b&gt;</td>"), std::string::npos) << text;
    EXPECT_EQ(text.find("<b>"), std::string::npos);
    EXPECT_NE(text.find("<td>http://b:80/y</td>"), std::string::npos);
    EXPECT_EQ(text.find("not a url"), std::string::npos);
}

} // namespace
