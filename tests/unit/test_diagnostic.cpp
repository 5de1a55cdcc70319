// The HTML tree of the "htmltree" page: rows in document order indented by
// their level, everything a page wrote escaped, and a deep tree drawn
// without a deep call stack.
#include <gtest/gtest.h>

#include <pthread.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "fixture.h"
#include "interface/diagnostic.h"
#include "runtime/filebuf.h"
#include "runtime/hstream.h"

namespace {

using Rows = std::vector<std::pair<long, std::string>>;

const char *const ROW_START =
    "<tr><td><table border=\"0\" cellpadding=\"0\" cellspacing=\"0\"><tr><td width=\"";
const char *const ROW_END = "</td></tr></table></td></tr>\n";

// The page's rows as (indent in pixels, what the node shows); the test
// fails on anything between the rows.
Rows rows_of(const Filebuf &page)
{
    Rows rows;
    std::string text(page.data ? page.data : "", page.size);
    size_t at = 0;
    while (at < text.size()) {
        EXPECT_EQ(text.compare(at, strlen(ROW_START), ROW_START), 0) << text.substr(at, 80);
        if (text.compare(at, strlen(ROW_START), ROW_START) != 0)
            break;
        at += strlen(ROW_START);
        size_t quote = text.find("\"></td><td>", at);
        size_t end = text.find(ROW_END, at);
        if (quote == std::string::npos || end == std::string::npos || quote > end) {
            ADD_FAILURE() << "cut row: " << text.substr(at, 80);
            break;
        }
        long width = strtol(text.c_str() + at, nullptr, 10);
        size_t content = quote + strlen("\"></td><td>");
        rows.emplace_back(width, text.substr(content, end - content));
        at = end + strlen(ROW_END);
    }
    return rows;
}

Rows draw(const char *html)
{
    HTMLStream stream;
    stream.Add(html, strlen(html));
    stream.Add(nullptr, 0);
    Filebuf page;
    show_htmltree_node(&page, stream.root, 0);
    return rows_of(page);
}

TEST(HtmlTreeTest, RowsIndentByLevelAndEscapeWhatThePageWrote)
{
    global_for_process();
    const struct {
        const char *what;
        const char *html;
        Rows rows;
    } cases[] = {
        {"nested groups, each after its row and before the next sibling",
         "<html><body><p>hi</p></body></html><i>",
         {{0, "html "}, {36, "body "}, {72, "p "}, {72, "\"hi\""}, {0, "i "}}},
        {"attributes in order, name and value",
         "<a href=\"/x\" id=top>",
         {{0, "a href=\"/x\" id=\"top\" "}}},
        {"a quote in an unquoted value cannot end the attribute",
         "<a title=x\"onclick>",
         {{0, "a title=\"x&quot;onclick\" "}}},
        {"tag and attribute names are escaped",
         "<x\"y a&b=1>",
         {{0, "x&quot;y a&amp;b=\"1\" "}}},
        {"text keeps entities as written, blanks and breaks made visible",
         "<p>a &lt; \"b\" > c\nd",
         {{0, "p "}, {0, "\"a&nbsp;&amp;lt;&nbsp;&quot;b&quot;&nbsp;&gt;&nbsp;c<br>d\""}}},
        {"an empty body draws nothing", "", {}},
    };
    for (const auto &c : cases)
        EXPECT_EQ(draw(c.html), c.rows) << c.what;
}

// A chain of `levels` tag nodes, each the only node in the group of the
// one before.
htmlstream_node *chain(int levels)
{
    htmlstream_node *top = nullptr, *above = nullptr;
    for (int i = 0; i < levels; i++) {
        auto *node = (htmlstream_node *)calloc(1, sizeof(htmlstream_node));
        node->tag = htmlstream_tag_parse("<div>", 5);
        node->parent = above;
        if (above)
            above->children = node;
        else
            top = node;
        above = node;
    }
    return top;
}

struct DeepDraw {
    const htmlstream_node *first;
    Filebuf page;
};

void *draw_deep(void *arg)
{
    auto *d = static_cast<DeepDraw *>(arg);
    show_htmltree_node(&d->page, d->first, 0);
    return nullptr;
}

TEST(HtmlTreeTest, DeepTreeIsDrawnOnASmallStackInBoundedTime)
{
    global_for_process();
    const int levels = 100000;
    htmlstream_node *top = chain(levels);
    DeepDraw d{top, {}};
    // A walk that recursed per level would overflow this stack long before
    // the bottom of the tree.
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attr, 256 * 1024), 0);
    pthread_t thread;
    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(pthread_create(&thread, &attr, draw_deep, &d), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    pthread_attr_destroy(&attr);
    Rows rows = rows_of(d.page);
    ASSERT_EQ(rows.size(), (size_t)levels);
    EXPECT_EQ(rows.front(), Rows::value_type(0, "div "));
    EXPECT_EQ(rows.back(), Rows::value_type(36L * (levels - 1), "div "));
    EXPECT_LT(seconds, 10.0);
    htmlstream_tree_free(top);
}

TEST(HtmlTreeTest, HostileNestingFromAPageDrawsEveryNodeOnce)
{
    global_for_process();
    const int levels = 100000;
    std::string html;
    for (int i = 0; i < levels; i++)
        html += "<div>";
    for (int i = 0; i < levels; i++)
        html += "</div>";
    Rows rows = draw(html.c_str());
    EXPECT_EQ(rows.size(), (size_t)levels);
}

}  // namespace
