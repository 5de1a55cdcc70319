// The expressions filter rules take from the configuration: a text is
// compiled as a matching expression (as the URL, MIME, keyword and cookie
// rules do) and as a substitution pattern (as the redirect and rewrite
// rules do).  One that does not compile marks its rule broken; one that
// compiles is used on a text with a NUL byte and a line break, and a
// substitution never loses the bytes after the last match.
#include <cstdlib>
#include <cstring>
#include <string>

#include "filters/filter.h"
#include "fuzz.h"
#include "runtime/filebuf.h"
#include "runtime/regexp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_quiet_log();
    std::string pattern((const char *)data, size);
    if (pattern.find('\0') != std::string::npos)
        return 0;  // configuration texts hold no NUL byte
    static const char subject[] = "http://www.example.test/path?q=1\nline two\0after";
    const size_t length = sizeof(subject) - 1;

    bool broken = false;
    FilterRegex expression;
    expression.compile(pattern, "fuzz", "rule", &broken);
    if (broken != (!pattern.empty() && expression.empty()))
        abort();
    expression.matches(subject);
    expression.matches(subject, length);

    bool sub_broken = false;
    regex_sub_t *sub = filter_sub_pattern(pattern, 15, "fuzz", "rule", &sub_broken);
    if (sub != nullptr) {
        Filebuf buffer;
        buffer.Add(subject, length);
        variables_t variables{{"URL", "http://x.test/"}};
        reg_replace(&buffer, sub, "[$0|$1|@URL@]", variables);
        regmatch_sub_t *match = reg_sub_exec(sub, subject, length);
        if (match != nullptr) {
            char *expanded = reg_sub_parse(match, "$1$2\\n@URL@", variables);
            free(expanded);
            reg_sub_match_free(match);
        }
        reg_sub_free(sub);
    }
    return 0;
}
