// The list-file reader and what reads its lines: the URL blacklist's
// "domains" and "urls" entries and the categorisation hint lines.  No line
// handed on is longer than the reader's limit or holds a line feed, and a
// listed host is lower-case and within its limit.
#include <cstdlib>

#include "filters/listfile.h"
#include "filters/sortmarks.h"
#include "filters/urlbl.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    URLBLHostMap hosts;
    size_t max = size ? data[0] % 64 + 1 : 16;
    LineSplitter splitter(max, [&](const std::string &line) {
        if (line.size() > max || line.find('\n') != std::string::npos)
            abort();
        urlbl_url_add(&hosts, line);
        urlbl_domain_add(&hosts, line);
        std::string host;
        SortmarksScores s;
        sortmarks_line_parse(line, &host, &s);
    });
    // Fed in two pieces, so that a line split between reads is tested too.
    size_t half = size / 2;
    splitter.Feed(reinterpret_cast<const char *>(data), half);
    splitter.Feed(reinterpret_cast<const char *>(data) + half, size - half);
    splitter.Finish();
    for (const auto &h : hosts) {
        if (h.first.size() > max)
            abort();
        for (char c : h.first)
            if (c >= 'A' && c <= 'Z')
                abort();
    }
    return 0;
}
