// Regular expressions: matching through PCRE's POSIX wrapper, substitution
// with captured groups, and template variables.
#include "runtime/regexp.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <pcreposix.h>
#include <strings.h>

#include "engine/options.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

unsigned long recursion_limit();
pcre_extra match_limits(const pcre_extra *study);
int match_run(const pcre *code, const pcre_extra *study, const char *text,
              size_t length, size_t offset, int *ovector, int ovecsize);
regmatch_sub_t *sub_exec(regex_sub_t *expression, const char *text,
                         size_t length, size_t offset);
void sub_expand(const regmatch_sub_t *match, const char *replacement,
                variables_t &variables, Filebuf *out);
char escape_char(char c);
bool type_is_html(const char *type);
void variable_append(Filebuf *out, const std::string &value, bool html);

// Calls of PCRE's internal match function allowed for one start position.
// Legitimate rule patterns need far fewer; a pattern that backtracks
// exponentially reaches it within milliseconds.
const unsigned long REG_MATCH_LIMIT = 1000000;

// Share of the worker stack that one match may use for PCRE's recursion.
const size_t REG_STACK_SHARE = 2;

// The worker stack when option -z has not set one.
const size_t WORKER_STACK_DEFAULT = 1048576;

// PCRE recurses on the thread's stack, one frame per nested backtracking
// point.  The recursion limit keeps that within half of the smallest stack
// a matching thread has (the worker stack), so a pattern that nests deeply
// fails the match instead of overflowing the stack.
unsigned long recursion_limit()
{
    // PCRE reports the size of one frame for these arguments.
    static const int frame = [] {
        int rc = pcre_exec(nullptr, nullptr, nullptr, -999, -999, 0, nullptr, 0);
        return rc < -100 ? -rc : 1024;
    }();
    size_t stack = max_opt_stack > 0 ? static_cast<size_t>(max_opt_stack)
                                     : WORKER_STACK_DEFAULT;
    unsigned long limit = stack / REG_STACK_SHARE / static_cast<size_t>(frame);
    return limit < 16 ? 16 : limit;
}

pcre_extra match_limits(const pcre_extra *study)
{
    pcre_extra extra;
    memset(&extra, 0, sizeof extra);
    if (study != nullptr)
        extra = *study;
    extra.flags |= PCRE_EXTRA_MATCH_LIMIT | PCRE_EXTRA_MATCH_LIMIT_RECURSION;
    extra.match_limit = REG_MATCH_LIMIT;
    extra.match_limit_recursion = recursion_limit();
    return extra;
}

// pcre_exec over `length` bytes from `offset` with the limits.  Returns pcre_exec's
// result; an error other than "no match" has been logged and is returned
// as PCRE_ERROR_NOMATCH, so callers see a failed match.
int match_run(const pcre *code, const pcre_extra *study, const char *text,
              size_t length, size_t offset, int *ovector, int ovecsize)
{
    if (length > static_cast<size_t>(INT_MAX)) {
        putlog(LOG_ERROR,
               "regular expression: text of %zu bytes is too long to match",
               length);
        return PCRE_ERROR_NOMATCH;
    }
    pcre_extra extra = match_limits(study);
    int rc = pcre_exec(code, &extra, text != nullptr ? text : "",
                       static_cast<int>(length), static_cast<int>(offset), 0,
                       ovector, ovecsize);
    if (rc >= 0 || rc == PCRE_ERROR_NOMATCH)
        return rc;
    if (rc == PCRE_ERROR_MATCHLIMIT)
        putlog(LOG_ERROR, "regular expression: match abandoned, match limit "
                          "of %lu reached", extra.match_limit);
    else if (rc == PCRE_ERROR_RECURSIONLIMIT)
        putlog(LOG_ERROR, "regular expression: match abandoned, recursion "
                          "limit of %lu reached", extra.match_limit_recursion);
    else
        putlog(LOG_ERROR, "regular expression: match failed with PCRE error %d",
               rc);
    return PCRE_ERROR_NOMATCH;
}

// The first match in `length` bytes of text at or after `offset`; offsets
// in the match count from the start of text.
regmatch_sub_t *sub_exec(regex_sub_t *expression, const char *text,
                         size_t length, size_t offset)
{
    int ovector[REG_SUB_STRINGS * 3];
    int rc = match_run(expression->pattern, expression->study, text, length,
                       offset, ovector, REG_SUB_STRINGS * 3);
    // 0: the pattern captured more groups than the vector holds.
    if (rc <= 0)
        return nullptr;

    auto *match = static_cast<regmatch_sub_t *>(xmalloc(sizeof(regmatch_sub_t)));
    ASSERT_ALLOC(match, sizeof(regmatch_sub_t));
    match->start = ovector[0];
    match->end = ovector[1];
    match->count = rc;
    if (pcre_get_substring_list(text, ovector, rc, &match->list) < 0) {
        size_t wanted = static_cast<size_t>(ovector[1] - ovector[0]) + 1;
        ASSERT_ALLOC(nullptr, wanted);
    }
    for (int i = 0; i < rc; i++)
        match->lengths[i] = ovector[2 * i] < 0 ? 0
                                               : ovector[2 * i + 1] - ovector[2 * i];
    return match;
}

// Appends the replacement template expanded for one match to `out`.
void sub_expand(const regmatch_sub_t *match, const char *replacement,
                variables_t &variables, Filebuf *out)
{
    Filebuf text;
    text.Add(replacement, strlen(replacement));
    variables_parse(variables, &text);

    const char *data = text.data;
    size_t size = text.size;
    size_t i = 0;
    while (i < size) {
        char c = data[i];
        if (c != '$' && c != '\\') {
            out->Add(&c, 1);
            i++;
            continue;
        }
        if (i + 1 == size) {
            // A final '$' stands for itself; a final backslash for nothing.
            if (c == '$')
                out->Add("$", 1);
            break;
        }
        char next = data[i + 1];
        i += 2;
        if (c == '\\') {
            char e = escape_char(next);
            out->Add(&e, 1);
        } else if (next == '$') {
            out->Add("$", 1);
        } else {
            int n = static_cast<unsigned char>(next) - '0';
            if (n >= 0 && n < match->count)
                out->Add(match->list[n], static_cast<size_t>(match->lengths[n]));
        }
    }
}

char escape_char(char c)
{
    switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'f': return '\f';
    case 'a': return '\a';
    case 'e': return '\x1b';
    default: return c;
    }
}

// "text/html", with or without parameters, compared without case.
bool type_is_html(const char *type)
{
    if (type == nullptr || strncasecmp(type, "text/html", 9) != 0)
        return false;
    return type[9] == '\0' || type[9] == ';' || type[9] == ' ';
}

void variable_append(Filebuf *out, const std::string &value, bool html)
{
    if (!html) {
        out->Add(value.data(), value.size());
        return;
    }
    char *escaped = string_to_html(value.c_str(), 0);
    out->Add(escaped, strlen(escaped));
    free(escaped);
}

} // namespace

struct regexp_t {
    regex_t posix; // compiled by pcreposix_regcomp
};

regexp_t *reg_compile(const char *pattern, int flags)
{
    int posix_flags = 0;
    if (flags & REGEXP_ICASE)
        posix_flags |= REG_ICASE;
    if (flags & REGEXP_NEWLINE)
        posix_flags |= REG_NEWLINE;
    auto *expression = static_cast<regexp_t *>(xmalloc(sizeof(regexp_t)));
    ASSERT_ALLOC(expression, sizeof(regexp_t));
    if (regcomp(&expression->posix, pattern, posix_flags) != 0) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        free(expression);
        return nullptr;
    }
    return expression;
}

int reg_exec(regexp_t *expression, const char *text)
{
    return reg_exec(expression, text, strlen(text));
}

int reg_exec(regexp_t *expression, const char *text, size_t length)
{
    // The wrapper's regexec cannot pass match limits, so the pattern it
    // compiled is run by pcre_exec directly.
    int rc = match_run(static_cast<const pcre *>(expression->posix.re_pcre),
                       nullptr, text, length, 0, nullptr, 0);
    return rc >= 0 ? 0 : REG_NOMATCH;
}

void reg_free(regexp_t *expression)
{
    ASSERT(expression != nullptr);
    regfree(&expression->posix);
    free(expression);
}

regex_sub_t *reg_sub_compile(const char *pattern, int options)
{
    const char *error = nullptr;
    int offset = 0;
    pcre *code = pcre_compile(pattern, options, &error, &offset, nullptr);
    if (code == nullptr) {
        putlog(LOG_ERROR, "failed to compile regular expression: %s", pattern);
        return nullptr;
    }
    // Study data only speeds matching up; a pattern without it still works.
    pcre_extra *study = pcre_study(code, 0, &error);

    auto *expression = static_cast<regex_sub_t *>(xmalloc(sizeof(regex_sub_t)));
    ASSERT_ALLOC(expression, sizeof(regex_sub_t));
    expression->pattern = code;
    expression->study = study;
    return expression;
}

void reg_sub_free(regex_sub_t *expression)
{
    if (expression == nullptr)
        return;
    if (expression->study != nullptr)
        pcre_free_study(expression->study);
    pcre_free(expression->pattern);
    free(expression);
}

regmatch_sub_t *reg_sub_exec(regex_sub_t *expression, const char *text)
{
    return reg_sub_exec(expression, text, strlen(text));
}

regmatch_sub_t *reg_sub_exec(regex_sub_t *expression, const char *text,
                             size_t length)
{
    return sub_exec(expression, text, length, 0);
}

void reg_sub_match_free(regmatch_sub_t *match)
{
    if (match == nullptr)
        return;
    pcre_free_substring_list(match->list);
    free(match);
}

char *reg_sub_parse(regmatch_sub_t *match, const char *replacement,
                    variables_t &variables)
{
    Filebuf out;
    sub_expand(match, replacement, variables, &out);
    return out.size != 0 ? xstrndup(out.data, out.size) : xstrdup("");
}

int reg_replace(Filebuf *buffer, regex_sub_t *expression,
                const char *replacement, variables_t &variables)
{
    const char *data = buffer->data != nullptr ? buffer->data : "";
    size_t size = buffer->size;
    Filebuf out;
    int matches = 0;
    size_t pos = 0;  // first byte not yet copied to out
    size_t base = 0; // where the text searched begins

    for (;;) {
        regmatch_sub_t *match =
            sub_exec(expression, data + base, size - base, pos - base);
        if (match == nullptr)
            break;
        matches++;
        size_t start = base + static_cast<size_t>(match->start);
        size_t end = base + static_cast<size_t>(match->end);
        out.Add(data + pos, start - pos);
        if (replacement != nullptr)
            sub_expand(match, replacement, variables, &out);
        reg_sub_match_free(match);
        pos = end;
        if (start != end) {
            // The next search starts afresh at the end of this match.
            base = pos;
            continue;
        }
        // The same empty match would be found again: step over one byte
        // and search on in the same text, so that '^' does not match
        // before every byte.
        if (pos >= size)
            break;
        out.Add(data + pos, 1);
        pos++;
    }
    if (matches == 0)
        return 0;
    if (pos < size)
        out.Add(data + pos, size - pos);
    buffer->Swap(&out);
    return matches;
}

int pcre_options(const char *letters)
{
    int options = 0;
    for (const char *p = letters; *p != '\0'; p++) {
        switch (*p) {
        case 'i': case 'I': options |= PCRE_CASELESS; break;
        case 'm': case 'M': options |= PCRE_MULTILINE; break;
        case 's': case 'S': options |= PCRE_DOTALL; break;
        case 'x': case 'X': options |= PCRE_EXTENDED; break;
        case 'u': case 'U': options |= PCRE_UNGREEDY; break;
        default: break;
        }
    }
    return options;
}

int string_replace(Filebuf *buffer, const char *text, const char *replacement)
{
    size_t length = strlen(text);
    if (length == 0 || buffer->data == nullptr)
        return 0;
    const char *data = buffer->data;
    size_t size = buffer->size;
    Filebuf out;
    size_t pos = 0;
    bool found = false;
    const void *hit;
    while ((hit = memmem(data + pos, size - pos, text, length)) != nullptr) {
        size_t at = static_cast<size_t>(static_cast<const char *>(hit) - data);
        out.Add(data + pos, at - pos);
        if (replacement != nullptr)
            out.Add(replacement, strlen(replacement));
        pos = at + length;
        found = true;
    }
    if (!found)
        return 0;
    out.Add(data + pos, size - pos);
    buffer->Swap(&out);
    return 0;
}

void variables_parse(variables_t &variables, Filebuf *buffer)
{
    // A name is looked for among the 63 bytes after its '@'.
    const size_t window = 63;
    const char *data = buffer->data;
    size_t size = buffer->size;
    bool html = type_is_html(buffer->type);
    Filebuf out;
    size_t i = 0;

    while (i < size) {
        const void *at = memchr(data + i, '@', size - i);
        size_t next = at != nullptr ? static_cast<size_t>(static_cast<const char *>(at) - data)
                                    : size;
        out.Add(data + i, next - i);
        i = next;
        if (i == size)
            break;
        if (i + 1 < size && data[i + 1] == '@') {
            out.Add("@", 1);
            i += 2;
            continue;
        }
        size_t span = size - (i + 1) < window ? size - (i + 1) : window;
        const void *close = memchr(data + i + 1, '@', span);
        if (close == nullptr) {
            // A lone '@' (an address, a price) and what follows it stay.
            out.Add("@", 1);
            i++;
            continue;
        }
        size_t end = static_cast<size_t>(static_cast<const char *>(close) - data);
        std::string name(data + i + 1, end - i - 1);
        auto found = variables.find(name);
        if (found == variables.end())
            variables.emplace(name, std::string());
        else if (!found->second.empty())
            variable_append(&out, found->second, html);
        i = end + 1;
    }
    buffer->Swap(&out);
}
