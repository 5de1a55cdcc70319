// The keyword filter ("keywords-filtering", KeywordSection with rule
// Keyword): scores a response by its Content-Type and by expressions over
// its decoded body, and refuses it when the sum reaches the threshold.
// It asks for the body to be read whole (PROCESSOR_BUFFCHECK), answers the
// URL command "score" with the score page (HOOK_PRERESPMOD) and scores and
// blocks in PROCESSOR_RESPCHECK.
//
// Fields, read by position:
//   global 0  enabled       BOOL           0: nothing is buffered, scored or refused
//   global 1  threshold     INT            a non-zero score at or above it refuses
//   global 2  template      STRING         page of a block; empty: "blocked"
//   rule 0-3  enabled, comment, groups, profiles (as every filter rule)
//   rule 4    content_type  STRING (expr)  against the Content-Type ("" without one)
//   rule 5    body          STRING (expr)  anywhere in the whole body, NUL bytes included
//   rule 6    score         INT            added once when the rule matches
// One subsection, "keywords".
#ifndef KV_FILTERS_KEYWORD_H
#define KV_FILTERS_KEYWORD_H

#include <list>
#include <string>

#include "filters/filter.h"

class Keyword {
public:
    explicit Keyword(const Item &item);
    Keyword(const Keyword &) = delete;
    Keyword &operator=(const Keyword &) = delete;

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string content_type;
    std::string body;
    int32_t score;
    bool broken;       // a pattern did not compile: never scores
    bool body_joined;  // its body expression is held by the section's prefilter
    FilterRegex content_type_regex;
    FilterRegex body_regex;
};

class KeywordSection : public Section {
public:
    // Registers keyword_respcheck, keyword_buffcheck and keyword_prerespmod.
    KeywordSection();
    ~KeywordSection() override;

    // Section
    void update() override;

    // 1 when some applicable rule needs the body, else 0.  Without a
    // response yet, a rule's Content-Type condition counts as met.
    int check_match(CONNECTION_T *connection);
    // The score of the response; body may be null (body expressions are
    // then not tested).  A body the engine could not decode is not scored:
    // 0, with a log line.
    int check(CONNECTION_T *connection, Filebuf *body);
    // 1 when the response was refused and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection, Filebuf *body);

    const int32_t *enabled;
    const int32_t *threshold;
    const std::string *template_name;

private:
    bool applies(const Keyword &rule, CONNECTION_T *connection) const;

    std::list<Keyword> rules;
    FilterPrefilter body_prefilter;  // the rules' body expressions in one pass
};

extern KeywordSection *keyword_section;

int keyword_buffcheck(CONNECTION_T *connection, Filebuf *buffer);
int keyword_respcheck(CONNECTION_T *connection, Filebuf *buffer);
// The connection and the body: 1 when the "score" page was sent.
int keyword_prerespmod(void *connection, void *body);

// Answers the request with the page "Keyword score for <host><path>".
void score_show(CONNECTION_T *connection, int score);

#endif
