// The MIME filter ("mime-filtering", MimeSection with rule Mime): refuses a
// response by its Content-Type, narrowed by the request's host and path,
// before any byte of its body reaches the client.  The engine calls
// check_and_block after the response head (1: go on, 0: refused and the
// page sent) and check_show for the URL command "mime".
//
// Fields, read by position:
//   global 0  enabled       BOOL           0: nothing is refused
//   global 1  mode          INT            0 deny list first, else allow list first
//   global 2  template      STRING         page of a block whose rule names none
//   rule 0-3  enabled, comment, groups, profiles (as every filter rule)
//   rule 4    host          STRING (expr)  against the request's host
//   rule 5    path          STRING (expr)  against the request's path
//   rule 6    content_type  STRING (expr)  against the Content-Type; a response
//                                          without one never matches it
//   rule 7    template      STRING         page of a block by this rule
// Subsection 0 "allow" and 1 "deny".
#ifndef KV_FILTERS_MIME_H
#define KV_FILTERS_MIME_H

#include <list>
#include <string>

#include "filters/filter.h"

class Mime {
public:
    Mime();
    explicit Mime(const Item &item);
    Mime(const Mime &) = delete;
    Mime &operator=(const Mime &) = delete;

    const Item *item;  // none for the default rule
    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string host;
    std::string path;
    std::string content_type;
    std::string template_name;
    bool broken;       // a pattern did not compile: never applies
    FilterRegex content_type_regex;
    FilterRegex host_regex;
    FilterRegex path_regex;
};

class MimeSection : public Section {
public:
    MimeSection();
    ~MimeSection() override;

    // Section
    void update() override;

    // The deciding rule when the response is refused; the caller holds the
    // read lock.
    const Mime *check(CONNECTION_T *connection);
    // 1 when the response may go on, 0 when it was refused (page sent).
    int check_and_block(CONNECTION_T *connection);
    // Answers the request with the "mime" page.
    void check_show(CONNECTION_T *connection);

    const int32_t *enabled;
    const int32_t *mode;
    const std::string *template_name;

private:
    std::list<Mime> allow;
    std::list<Mime> deny;
    Mime default_rule;
};

extern MimeSection *mime_section;

#endif
