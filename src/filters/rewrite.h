// Rewrite rules ("rewrite", RewriteSection with rule Rewrite): regular
// expression substitutions on the raw request and response heads and on
// whole request and response bodies.  Every applicable rule is applied, in
// list order, each to the result of the one before; nothing is blocked.
//
// Fields, read by position:
//   global 0  enabled       BOOL                switches the whole feature
//   rule 0    enabled       BOOL
//   rule 1    comment       STRING
//   rule 2    profiles      STRING_LIST         against the request's profiles
//   rule 3    content_type  STRING (expr)       response Content-Type; empty: any
//   rule 4    pattern       STRING (expr)       caseless, multi-line, dot-all, extended
//   rule 5    replacement   STRING              template variables, $n groups
//   rule 6    applies_to    STRING_SELECT_MANY  REWRITE_* kinds
// One subsection, "rewrites".
#ifndef KV_FILTERS_REWRITE_H
#define KV_FILTERS_REWRITE_H

#include <list>
#include <string>

#include "filters/filter.h"

// The texts a rule applies to (bits of Rewrite::applies_to).
enum {
    REWRITE_REQUEST_HEAD = 0x1,   // raw request head, PROCESSOR_REQHEADER
    REWRITE_RESPONSE_HEAD = 0x2,  // raw response head, PROCESSOR_RESPHEADER
    REWRITE_RESPONSE_BODY = 0x4,  // decoded response body held whole, PROCESSOR_RESPMOD
    REWRITE_REQUEST_BODY = 0x8,   // request body, PROCESSOR_REQMOD
};

class Rewrite {
public:
    explicit Rewrite(const Item &item);
    Rewrite(const Rewrite &) = delete;
    Rewrite &operator=(const Rewrite &) = delete;
    ~Rewrite();

    int32_t enabled;
    std::string comment;
    StringList profiles;
    std::string content_type;
    std::string pattern;
    std::string replacement;
    int32_t applies_to;        // REWRITE_* bits
    bool broken;               // an expression did not compile: never acts
    FilterRegex content_type_regex;
    regex_sub_t *compiled;     // owned; null for an empty or broken pattern
};

class RewriteSection : public Section {
public:
    // Registers the five rewrite_* callbacks.
    RewriteSection();
    ~RewriteSection() override;

    // Section
    void update() override;

    // True when some rule applies to the connection for the kind.
    bool check_match(CONNECTION_T *connection, int kind);
    // Applies every applicable rule to the buffer; true when some applied.
    bool rewrite_do(CONNECTION_T *connection, Filebuf *buffer, int kind);

    const int32_t *enabled;

private:
    bool applies(const Rewrite &rule, CONNECTION_T *connection, int kind) const;

    std::list<Rewrite> rules;
};

extern RewriteSection *rewrite_section;

int rewrite_reqheader(CONNECTION_T *connection, Filebuf *buffer);
int rewrite_respheader(CONNECTION_T *connection, Filebuf *buffer);
int rewrite_respmod(CONNECTION_T *connection, Filebuf *buffer);
int rewrite_reqmod(CONNECTION_T *connection, Filebuf *buffer);
int rewrite_buffcheck(CONNECTION_T *connection, Filebuf *buffer);

#endif
