// HTMLStream: the tree and callbacks of small inputs, the same result for
// every chunking of a real page, and a bounded cost on hostile bodies.
#include <chrono>
#include <random>

#include "fixture.h"
#include "runtime/hstream.h"

namespace {

// The tree as text: one line per node, indented by its level.
void dump_list(const htmlstream_node *n, int level, const htmlstream_node *parent,
               std::string &out)
{
    for (; n; n = n->next) {
        EXPECT_EQ(n->parent, parent);
        out.append(level * 2, ' ');
        if (n->text) {
            out += "\"" + std::string(n->text) + "\"";
        } else if (n->tag) {
            out += "<" + std::string(n->tag->name);
            for (htmlstream_attribute *a = n->tag->attributes; a; a = a->next)
                out += " " + std::string(a->name) + "=" + a->value;
            out += ">";
        } else {
            out += "(untagged)";
        }
        if (n->children)
            out += " depth=" + std::to_string(n->depth);
        out += "\n";
        if (n->children)
            dump_list(n->children, level + 1, n, out);
    }
}

std::string dump(const HTMLStream &s)
{
    std::string out;
    dump_list(s.root, 0, nullptr, out);
    return out;
}

// Callbacks record the tag name and first attribute they were handed.
int record(HTMLStream *, htmlstream_node *node, void *data)
{
    auto *seen = static_cast<std::vector<std::string> *>(data);
    std::string line = node->tag->name;
    if (node->tag->attributes)
        line += std::string(" ") + node->tag->attributes->name + "=" +
                node->tag->attributes->value;
    seen->push_back(line);
    return 0;
}

struct Result {
    std::string tree;
    std::vector<std::string> calls;
};

// Parses text cut at the given offsets (ascending), then flushes.
Result parse_chunks(const std::string &text, const std::vector<size_t> &cuts)
{
    Result r;
    HTMLStream s;
    for (const char *name : {"a", "img", "script", "A", "p"})
        s.Callback(name, record, &r.calls);
    size_t from = 0;
    for (size_t cut : cuts) {
        s.Add(text.data() + from, cut - from);
        from = cut;
    }
    s.Add(text.data() + from, text.size() - from);
    s.Add(nullptr, 0);
    r.tree = dump(s);
    return r;
}

Result parse_whole(const std::string &text)
{
    return parse_chunks(text, {});
}

bool logged(const char *text)
{
    for (LOGBUFFER_NODE *n = global->logbuffer->tail; n != nullptr; n = n->previous)
        if (strstr(n->text, text) != nullptr)
            return true;
    return false;
}

struct TreeCase {
    const char *what;
    const char *input;
    const char *tree;
};

const TreeCase tree_cases[] = {
    {"closing tags group under the node before the opening one",
     "<html><body><p>x</p></body></html>",
     "<html> depth=2\n  <body> depth=1\n    <p>\n    \"x\"\n"},
    {"attributes, quoted and bare",
     "<a href=\"x\" target=_blank>", "<a href=x target=_blank>\n"},
    {"quoted words keep blanks and '='; empty quotes are no word",
     "<img alt=\"a = b\" title=\"\" src=x>", "<img alt=a = b title=src>\n"},
    {"the stream ends a tag at its first '>', quoted or not",
     "<img alt=\"a>b\">", "<img alt=a>>\n\"b\">\"\n"},
    {"a flag word pairs with the next word, a last one is dropped",
     "<input disabled type=text checked>", "<input disabled=type text=checked>\n"},
    {"single quotes are ordinary characters", "<a title='x y'>",
     "<a title='x>\n"},
    {"blank-only text is dropped, text is kept with its blanks",
     "<p>  \n\t</p> <b> x </b>", "<p> depth=1\n  <b>\n  \" x \"\n"},
    {"text after the last tag arrives with the flush, last byte included",
     "<p>tail", "<p>\n\"tail\"\n"},
    {"a tag inside a comment is text of the comment",
     "<p><!-- <a href=y> -->z</p>",
     "<p>\n\"<!-- <a href=y> -->z\"\n"},
    {"the empty comment ends at once", "<!---->x<b>", "\"<!---->x\"\n<b>\n"},
    {"a comment left open near the end hides its tags at the flush too",
     "x<!-- <a href=y> <b>", "\"x<!-- <a href=y> <b>\"\n"},
    {"a comment that ends the body is text", "<p>x<!-- y", "<p>\n\"x<!-- y\"\n"},
    {"a stray '>' is text, a '<' inside a tag starts a text",
     "a > b<p>c <d>", "\"a > b\"\n<p>\n\"c \"\n<d>\n"},
    {"an unmatched closing tag changes nothing", "<p>x</q>y",
     "<p>\n\"xy\"\n"},
    {"a closing name matches by prefix, without case", "<x><body>t</B>",
     "<x> depth=1\n  <body>\n  \"t\"\n"},
    {"an empty closing name matches the nearest tag", "<x><i>t</>",
     "<x> depth=1\n  <i>\n  \"t\"\n"},
    {"a match without a previous node groups nothing", "<p>t</p>",
     "<p>\n\"t\"\n"},
    {"a node that has children takes no second group",
     "<x><a>1</a><b>2</b>", "<x> depth=1\n  <a>\n  \"1\"\n<b>\n\"2\"\n"},
    {"text after a group extends a text node that took the group",
     "t<p>u</p>v<i>", "\"tv\" depth=1\n  <p>\n  \"u\"\n<i>\n"},
    {"a tag without a name is a node without tag", "<><= \"\">",
     "(untagged)\n(untagged)\n"},
    {"blanks around the name, newlines in a tag",
     "<a\nhref=\"/x\"\r\n\tclass=c >", "<a href=/x class=c>\n"},
};

TEST(HtmlStream, TreesOfSmallInputs)
{
    for (const TreeCase &c : tree_cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(parse_whole(c.input).tree, c.tree);
        // Byte by byte gives the same.
        std::vector<size_t> cuts;
        for (size_t i = 1; i < strlen(c.input); i++)
            cuts.push_back(i);
        EXPECT_EQ(parse_chunks(c.input, cuts).tree, c.tree);
    }
}

TEST(HtmlStream, TagParse)
{
    EXPECT_EQ(htmlstream_tag_parse("<", 1), nullptr);
    EXPECT_EQ(htmlstream_tag_parse("<>", 2), nullptr);
    EXPECT_EQ(htmlstream_tag_parse("<\"\">", 4), nullptr);
    EXPECT_EQ(htmlstream_tag_parse("<  =>", 5), nullptr);
    htmlstream_tag *t = htmlstream_tag_parse("<a\"b\"c=\"d e\"f>", 15);
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->name, "a\"b\"c"); // a quote inside a word stays in it
    ASSERT_NE(t->attributes, nullptr);
    EXPECT_STREQ(t->attributes->name, "d e");
    EXPECT_STREQ(t->attributes->value, "f");
    EXPECT_EQ(t->attributes->next, nullptr);
    htmlstream_tag_free(t);
    t = htmlstream_tag_parse("<img alt=\"a>b\">", 15);
    ASSERT_NE(t, nullptr);
    ASSERT_NE(t->attributes, nullptr);
    EXPECT_STREQ(t->attributes->value, "a>b"); // '>' inside quotes
    htmlstream_tag_free(t);
}

TEST(HtmlStream, CallbacksFireAsTagsArrive)
{
    HTMLStream s;
    std::vector<std::string> seen;
    EXPECT_TRUE(s.Callback("a", record, &seen));
    std::vector<std::string> other;
    EXPECT_FALSE(s.Callback("a", record, &other)); // the first one stays
    s.Add("<p><a href=\"/1\">x</a><!-- <a href=/2> --><a", 43);
    EXPECT_EQ(seen, std::vector<std::string>{"a href=/1"});
    s.Add(" href=/3>", 9);
    EXPECT_EQ(seen, (std::vector<std::string>{"a href=/1", "a href=/3"}));
    EXPECT_TRUE(other.empty());
    // Spellings reach a registration only through its bucket: "A" and
    // "a" hash apart, so a tag written A does not call the one for a.
    if (hash_key(16, "A") != hash_key(16, "a")) {
        s.Add("<A href=/4>", 11);
        EXPECT_EQ(seen.size(), 2u);
    }
}

TEST(HtmlStream, CommentOpeningSplitAcrossChunks)
{
    for (size_t cut = 1; cut < 4; cut++) {
        SCOPED_TRACE(cut);
        std::string text = "x<!-- <a href=y> -->z<b>";
        Result r = parse_chunks(text, {1 + cut});
        EXPECT_EQ(r.tree, "\"x<!-- <a href=y> -->z\"\n<b>\n");
        EXPECT_TRUE(r.calls.empty());
    }
}

// The real page fed in two pieces cut at every offset, in single bytes and
// in random pieces gives the tree and the callbacks of one feed.
TEST(HtmlStream, ChunkingNeverChangesTheResult)
{
    std::string page = file_text(source_dir() + "/tests/unit/data/page.html");
    ASSERT_GT(page.size(), 1000u);
    Result whole = parse_whole(page);
    ASSERT_NE(whole.tree.find("<a href=/fares/ title=Fares and passes>"), std::string::npos);
    // A commented-out link stays text and calls nothing.
    ASSERT_EQ(whole.tree.find("<a href=/hidden/>"), std::string::npos);
    ASSERT_NE(whole.tree.find("<a href=\"/hidden/\">"), std::string::npos);
    ASSERT_FALSE(whole.calls.empty());
    for (const std::string &call : whole.calls)
        ASSERT_EQ(call.find("hidden"), std::string::npos);

    for (size_t cut = 0; cut <= page.size(); cut++) {
        Result r = parse_chunks(page, {cut});
        ASSERT_EQ(r.tree, whole.tree) << "cut at " << cut;
        ASSERT_EQ(r.calls, whole.calls) << "cut at " << cut;
    }
    std::vector<size_t> bytes;
    for (size_t i = 1; i < page.size(); i++)
        bytes.push_back(i);
    Result single = parse_chunks(page, bytes);
    EXPECT_EQ(single.tree, whole.tree);
    EXPECT_EQ(single.calls, whole.calls);

    std::mt19937 rng(7);
    for (int round = 0; round < 200; round++) {
        std::vector<size_t> cuts;
        for (size_t at = rng() % 40; at < page.size(); at += 1 + rng() % 60)
            cuts.push_back(at);
        Result r = parse_chunks(page, cuts);
        ASSERT_EQ(r.tree, whole.tree) << "round " << round;
        ASSERT_EQ(r.calls, whole.calls) << "round " << round;
    }
}

// The deepest level below a node list, walked without recursion.
int deepest(const htmlstream_node *root)
{
    int most = 0;
    std::vector<std::pair<const htmlstream_node *, int>> todo{{root, 0}};
    while (!todo.empty()) {
        auto [n, level] = todo.back();
        todo.pop_back();
        for (; n; n = n->next) {
            most = std::max(most, level);
            if (n->children)
                todo.push_back({n->children, level + 1});
        }
    }
    return most;
}

std::string repeat(const std::string &piece, size_t times)
{
    std::string out;
    out.reserve(piece.size() * times);
    for (size_t i = 0; i < times; i++)
        out += piece;
    return out;
}

struct HostileCase {
    const char *what;
    std::string body;
    size_t chunk; // bytes per Add
};

// Seconds to parse body fed in pieces of chunk bytes; deepest level in *depth.
double parse_seconds(const std::string &body, size_t chunk, int *depth)
{
    auto start = std::chrono::steady_clock::now();
    HTMLStream s;
    std::vector<std::string> calls;
    s.Callback("a", record, &calls);
    for (size_t at = 0; at < body.size(); at += chunk)
        s.Add(body.data() + at, std::min(chunk, body.size() - at));
    s.Add(nullptr, 0);
    *depth = deepest(s.root);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Bodies that would take quadratic time or deep recursion in a naive
// parser take about as long as a real page of the same size fed the same
// way.  A quadratic cost at these sizes would be thousands of times more.
TEST(HtmlStream, HostileBodiesCostLinearTime)
{
    global_for_process();
    const size_t n = 200000;
    const HostileCase cases[] = {
        {"deep nesting", repeat("<a>", n) + repeat("</a>", n), 4096},
        {"unmatched closing tags over a long list", repeat("<a>", n) + repeat("</zz>", n), 4096},
        {"nesting of distinct names", repeat("<a><b>", n / 2) + repeat("</a>", n), 4096},
        {"an endless tag", "<a " + repeat("x=\"y\" ", n), 7},
        {"a huge comment fed a byte at a time", "<!--" + repeat("- > <a>", n), 1},
        {"a huge text fed a byte at a time", repeat("text ", n), 1},
        {"alternating texts and stray starts", repeat("x<", n), 3},
    };
    std::string page = file_text(source_dir() + "/tests/unit/data/page.html");
    for (const HostileCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::string real = repeat(page, c.body.size() / page.size() + 1).substr(0, c.body.size());
        int depth = 0;
        double baseline = parse_seconds(real, c.chunk, &depth);
        double seconds = parse_seconds(c.body, c.chunk, &depth);
        EXPECT_LE(depth, HTMLSTREAM_DEPTH_LIMIT + 2);
        EXPECT_LT(seconds, 20 * baseline + 1.0) << "real page " << baseline << " s";
    }
    EXPECT_TRUE(logged("HTML nesting limit 64 reached"));
}

TEST(HtmlStream, AddAfterFlushIsIgnored)
{
    HTMLStream s;
    s.Add("<p>abc", 6);
    s.Add(nullptr, 0);
    s.Add(nullptr, 0);
    s.Add("<q>", 3);
    EXPECT_EQ(dump(s), "<p>\n\"abc\"\n");
}

} // namespace
