// Throughput of the HTML stream parser on a large page: the page is fed in
// pieces of the proxy's read size, then flushed, with a callback on every
// link as the prefetcher registers one.  Prints one JSON line:
//   {"page_mib": ..., "piece": ..., "mib_per_s": ..., "nodes": ..., "links": ...}
// Usage: bench_hstream [PAGE_MIB [PIECE_BYTES [RUNS]]]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "runtime/hstream.h"
#include "runtime/log.h"

namespace {

int count_link(HTMLStream *, htmlstream_node *, void *data)
{
    ++*static_cast<size_t *>(data);
    return 0;
}

// A page in the shape of a news or shop listing: nested blocks, links with
// several attributes, images, scripts, comments and text.
std::string page_build(size_t bytes)
{
    std::string page = "<!DOCTYPE html><html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<title>Listing</title><link rel=\"stylesheet\" href=\"/s.css\">"
                       "<script>var a = 1 < 2 && 3 > 2;</script></head><body>\n";
    for (unsigned i = 0; page.size() < bytes; i++) {
        std::string n = std::to_string(i);
        page += "<div class=\"item\" id=\"i" + n + "\"><!-- item " + n + " -->\n"
                "<h2><a href=\"/article/" + n + "?ref=list&amp;p=2\" title=\"Article " + n +
                "\" class=\"title\">Headline number " + n + " of the day</a></h2>\n"
                "<img src=\"/img/" + n + ".jpg\" alt=\"Picture " + n +
                "\" width=320 height=200>\n<p>Some text about item " + n +
                ", with <b>bold</b> and <i>italic</i> words and a <a href=/more/" + n +
                ">link</a>.<br>Second line.</p>\n<ul><li>one<li>two<li>three</ul></div>\n";
    }
    return page + "</body></html>\n";
}

size_t count_nodes(const htmlstream_node *n)
{
    size_t count = 0;
    std::string dummy;
    // Iterative: groups are at most a few dozen levels deep.
    const htmlstream_node *stack[256];
    int top = 0;
    if (n)
        stack[top++] = n;
    while (top > 0) {
        for (const htmlstream_node *x = stack[--top]; x; x = x->next) {
            count++;
            if (x->children && top < 256)
                stack[top++] = x->children;
        }
    }
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    loglevel = 0;
    double mib = argc > 1 ? atof(argv[1]) : 32;
    size_t piece = argc > 2 ? strtoul(argv[2], nullptr, 10) : 8192;
    int runs = argc > 3 ? atoi(argv[3]) : 5;
    if (mib <= 0 || piece == 0 || runs <= 0) {
        fprintf(stderr, "usage: %s [PAGE_MIB [PIECE_BYTES [RUNS]]]\n", argv[0]);
        return 1;
    }
    std::string page = page_build((size_t)(mib * 1024 * 1024));
    double best = 0;
    size_t nodes = 0, links = 0;
    for (int r = 0; r < runs; r++) {
        links = 0;
        auto start = std::chrono::steady_clock::now();
        HTMLStream stream;
        stream.Callback("a", count_link, &links);
        for (size_t at = 0; at < page.size(); at += piece)
            stream.Add(page.data() + at, std::min(piece, page.size() - at));
        stream.Add(nullptr, 0);
        double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        nodes = count_nodes(stream.root);
        double rate = page.size() / 1048576.0 / seconds;
        if (rate > best)
            best = rate;
    }
    printf("{\"page_mib\": %.1f, \"piece\": %zu, \"mib_per_s\": %.1f, \"nodes\": %zu, "
           "\"links\": %zu}\n",
           page.size() / 1048576.0, piece, best, nodes, links);
    return 0;
}
