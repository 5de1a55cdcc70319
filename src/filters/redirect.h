// Redirect rules ("redirect", RedirectSection with rule Redirect): the
// first matching rule rewrites the request's URL in place, answers the
// request with a 302 to the new URL, or rewrites the Location value of a
// redirecting response.  The engine calls redirect_do directly.
//
// Fields, read by position:
//   global 0  enabled        BOOL                the section acts only when true
//   rule 0-3  enabled, comment, groups, profiles (as every filter rule)
//   rule 4    pattern        STRING (expr)       caseless, multi-line, dot-all, extended
//   rule 5    replacement    STRING              template variables, $n groups
//   rule 6    port           INT                 new port of an in-place rewrite; -1 keeps it
//   rule 7    send_redirect  BOOL                1: answer with a 302
//   rule 8    options        STRING_SELECT_MANY  1 encode result path, 2 decode subject,
//                                                4 decode result path
//   rule 9    applies_to     STRING_SELECT_ONE   0 Location headers, 1 requests, 2 both
// One subsection, "redirects".
#ifndef KV_FILTERS_REDIRECT_H
#define KV_FILTERS_REDIRECT_H

#include <list>
#include <string>

#include "filters/filter.h"

// Bits of Redirect::options.
enum {
    REDIRECT_ENCODE_PATH = 0x1,     // percent-encode the path of the result
    REDIRECT_DECODE_SUBJECT = 0x2,  // percent-decode the subject before matching
    REDIRECT_DECODE_PATH = 0x4,     // percent-decode the path of the result
};

// Values of redirect_do's `which`.
enum {
    REDIRECT_REQUEST = 0,   // the request's URL
    REDIRECT_LOCATION = 1,  // the response's Location value
};

class Redirect {
public:
    explicit Redirect(const Item &item);
    Redirect(const Redirect &) = delete;
    Redirect &operator=(const Redirect &) = delete;
    ~Redirect();

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string pattern;
    std::string replacement;
    int32_t port;
    int32_t send_redirect;
    int32_t options;      // REDIRECT_* bits
    int32_t applies_to;
    bool broken;          // the pattern did not compile: never matches
    regex_sub_t *compiled;  // owned; null for an empty or broken pattern
};

class RedirectSection : public Section {
public:
    RedirectSection();
    ~RedirectSection() override;

    // Section
    void update() override;

    // Applies the first matching rule to the request (REDIRECT_REQUEST) or
    // to the response's Location value (REDIRECT_LOCATION).  Returns 1 when
    // the request was answered (a 302, or a refusal of a result that holds
    // CR, LF or NUL), else 0, also when something was rewritten.  The
    // caller rebuilds the request's URL text after an in-place rewrite.
    int redirect_do(CONNECTION_T *connection, int which);

    const int32_t *enabled;

private:
    std::list<Redirect> rules;
};

extern RedirectSection *redirect_section;

#endif
