// The canonical host and path that rules decide on.  A canonical path is
// never longer than the path, is its own canonical form, and holds no "."
// or ".." segment and no run of '/' before its query; a canonical host
// holds no capital letter, and, unless it still ends in a dot (the form
// takes one trailing dot away), is its own canonical form.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz.h"
#include "runtime/misc.h"

namespace {

// One canonical form of text, checked to fit the input's length and to be
// ended where the form says.
std::string canonical(size_t (*form)(const char *, size_t, char *), const std::string &text)
{
    std::string out(text.size() + 1, '\x7f');
    size_t n = form(text.data(), text.size(), &out[0]);
    if (n > text.size() || out[n] != '\0')
        abort();
    out.resize(n);
    return out;
}

std::string canonical_path(const std::string &path)
{
    return canonical(url_canonical_path, path);
}

std::string canonical_host(const std::string &host)
{
    return canonical(url_canonical_host, host);
}

void paths(const std::string &text)
{
    std::string once = canonical_path(text);
    if (canonical_path(once) != once)
        abort();
    std::string path = once.substr(0, once.find('?'));
    if (path.find("//") != std::string::npos)
        abort();
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        std::string segment = path.substr(start, end - start);
        if (segment == "." || segment == "..")
            abort();
        start = end + 1;
    }
}

void hosts(const std::string &text)
{
    std::string once = canonical_host(text);
    for (char c : once)
        if (c >= 'A' && c <= 'Z')
            abort();
    if (text.empty() || text.back() != '.') {
        if (once.size() != text.size())
            abort();
    }
    if ((once.empty() || once.back() != '.') && canonical_host(once) != once)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fuzz_text(data, size);
    paths(text);
    hosts(text);
    return 0;
}
