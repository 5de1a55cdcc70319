// The masks that keep credentials out of log lines, on any head or URL a
// client could send: masking twice changes nothing more, and every line
// of a credentials field keeps at most its scheme word.
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "fuzz.h"
#include "runtime/logmask.h"

namespace {

// A line of a credentials field after masking: "name: *" or
// "name: word *", with no blank inside the word.
void check_line(const std::string &line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos || line.empty() || line[0] == ' ' || line[0] == '\t')
        return;
    std::string name = line.substr(0, colon);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
        name.pop_back();
    if (!logmask_field(name.c_str()))
        return;
    std::string value = line.substr(colon + 1);
    if (value.size() >= 1 && value.back() == '\r')
        value.pop_back();
    if (value == " *")
        return;
    if (value.size() < 4 || value[0] != ' ' || value.compare(value.size() - 2, 2, " *") != 0)
        abort();
    std::string word = value.substr(1, value.size() - 3);
    if (word.find_first_of(" \t\r\n") != std::string::npos)
        abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fuzz_text(data, size);
    text = text.substr(0, strlen(text.c_str()));  // heads reach the log as C strings

    std::string head = logmask_head(text.c_str());
    if (logmask_head(head.c_str()) != head)
        abort();
    size_t start = 0;
    while (start <= head.size()) {
        size_t end = head.find('\n', start);
        check_line(head.substr(start, end == std::string::npos ? std::string::npos
                                                                : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }

    std::string url = logmask_url(text.c_str());
    if (logmask_url(url.c_str()) != url)
        abort();
    return 0;
}
