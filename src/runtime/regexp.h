// Regular expressions (PCRE) for matching and substitution, and the
// substitution of template variables.
//
// Matching expressions are compiled by PCRE's POSIX wrapper (pcreposix.h
// maps regcomp to pcreposix_regcomp, so the C library's own regular
// expressions are never used).  The wrapper's regex_t is kept behind the
// opaque regexp_t: its header clashes with the C library's <regex.h>, which
// other headers (GoogleTest's among them) include.  Substitution patterns
// use PCRE directly.
// Every match runs with a match limit and a recursion limit that fit the
// worker stack: a pathological pattern fails the match (logged) instead of
// overflowing the stack.
//
// Compiled expressions are read-only after compilation and may be used by
// many threads at once.
#ifndef KV_RUNTIME_REGEXP_H
#define KV_RUNTIME_REGEXP_H

#include <cstddef>
#include <map>
#include <pcre.h>
#include <string>

class Filebuf;

// A compiled matching expression (PCRE's POSIX-style regex_t).
struct regexp_t;

// Flags of reg_compile.
#define REGEXP_ICASE 1   // caseless matching; every caller passes it
#define REGEXP_NEWLINE 2 // '^' and '$' also match at line breaks

// The connection's template variables: name to value.
typedef std::map<std::string, std::string> variables_t;

// Substrings a substitution match holds: the whole match and 15 groups.
#define REG_SUB_STRINGS 16

struct regex_sub_t {
    pcre *pattern;      // owned
    pcre_extra *study;  // owned study data, or null
};

// The first match of a substitution pattern.
struct regmatch_sub_t {
    int start;          // offset of the whole match in the text searched
    int end;            // offset just past it
    int count;          // strings in list: 1 + the highest group that took part
    const char **list;  // the whole match (0) and the groups, from pcre_get_substring_list
    int lengths[REG_SUB_STRINGS]; // byte length of each string (they may hold NULs)
};

// Compiles a matching expression with REGEXP_* flags.  A pattern that does
// not compile is logged and gives null.
regexp_t *reg_compile(const char *pattern, int flags);

// 0 when the expression matches the NUL-terminated text, else non-zero.
int reg_exec(regexp_t *expression, const char *text);

// The same over `length` bytes, which may hold NUL bytes (bodies).
int reg_exec(regexp_t *expression, const char *text, size_t length);

// Frees an expression from reg_compile; null is the fatal assertion.
void reg_free(regexp_t *expression);

// Compiles and studies a substitution pattern with PCRE options (see
// pcre_options).  A pattern that does not compile is logged and gives null.
regex_sub_t *reg_sub_compile(const char *pattern, int options);
void reg_sub_free(regex_sub_t *expression);

// The first match in the NUL-terminated text, or null when there is none,
// when matching fails (logged when a limit is reached) or when the pattern
// captured more groups than REG_SUB_STRINGS holds.
regmatch_sub_t *reg_sub_exec(regex_sub_t *expression, const char *text);

// The same over `length` bytes, which may hold NUL bytes.
regmatch_sub_t *reg_sub_exec(regex_sub_t *expression, const char *text,
                             size_t length);

void reg_sub_match_free(regmatch_sub_t *match);

// Expands a replacement template for one match: first the template
// variables (variables_parse), then "$$" and a final '$' give '$', '$'
// and c give string c - '0' of the match (nothing when the match has no
// such string), and the backslash escapes \n \r \t \f \a \e \\ give their
// characters (a backslash before anything else gives that character; a
// final backslash gives nothing).  Returns a new string.
char *reg_sub_parse(regmatch_sub_t *match, const char *replacement,
                    variables_t &variables);

// Replaces every match of the pattern in the buffer by the expanded
// template (null deletes the matches), searching each time afresh from the
// end of the previous match over the whole content, NUL bytes included.
// An empty match copies one byte and the search goes on after it.  The
// buffer's MIME type stays.  Returns the number of matches.
int reg_replace(Filebuf *buffer, regex_sub_t *expression,
                const char *replacement, variables_t &variables);

// PCRE option bits of a letter string: i caseless, m multi-line, s dot
// matches newline, x extended, u ungreedy (either case); other letters are
// ignored.
int pcre_options(const char *letters);

// Replaces every occurrence of the plain text in the buffer by the
// replacement (null deletes them), searching on after each replacement.
// An empty text replaces nothing.  Returns 0.
int string_replace(Filebuf *buffer, const char *text, const char *replacement);

// Replaces the template variables in the buffer: "@@" gives '@', and a name
// enclosed in at-signs (at most 62 bytes) gives its value; a name the map
// lacks gives nothing and is added to the map with an empty value.  An '@'
// without a closing one within the next 63 bytes is copied as it stands.
// In a buffer whose MIME type is text/html the values are HTML-escaped, as
// they may come from a request or a response; the template text is not.
void variables_parse(variables_t &variables, Filebuf *buffer);

#endif
