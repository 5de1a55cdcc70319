// Template pages: every answer the proxy makes by itself (a refusal, a
// failure, a limit, a block page, a harmless substitute for a blocked
// object, the stylesheet of the web interface) is a page found by name.
//
// Pages come from the built-in table PAGES, compiled in, and from the
// "templates" section, whose rules map a page name to a file for some
// directory groups and request profiles.  A built-in page always wins: a
// rule only adds names that have no built-in page (numeric names among
// them, which replace a server's answer of that status).
//
// "templates" fields, read by position:
//   global 0  template_dir   STRING       directory of relative file names; empty: as they stand
//   page 0    enabled        BOOL         only exactly 1 counts
//   page 1    comment        STRING
//   page 2    groups         STRING_LIST  against the user's directory groups
//   page 3    profiles       STRING_LIST  against the request's profiles
//   page 4    name           STRING       compared without case; empty never matches
//   page 5    file           STRING       "/..." as it stands, else in template_dir
//   page 6    mime_type      STRING       empty: sent as text/plain
//   page 7    response_code  INT          outside 100-599: the caller's status
//   page 8    suppress       BOOL         1: the name yields no page at all
//   page 9    parse          BOOL         1: template variables are substituted
#ifndef KV_ENGINE_TEMPLATES_H
#define KV_ENGINE_TEMPLATES_H

#include <cstdint>
#include <list>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

struct CONNECTION_T;
class Filebuf;

// One row of the built-in page table; the table ends with a row whose name
// is null.
struct TEMPLATE_PAGE {
    const char *name;
    const char *data;
    const char *mime;
    int32_t length;  // -1: data is a text of its own length; else its byte count
    int32_t parse;   // 1: template variables are substituted
};

extern const TEMPLATE_PAGE PAGES[];

// Longest path of a template file; a longer one is cut.
#define TEMPLATE_PATH_MAX 254

// One "templates" rule.
class Template {
public:
    explicit Template(const Item &item);

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string name;
    std::string file;
    std::string mime_type;
    int32_t response_code;
    int32_t suppress;
    int32_t parse;
};

class TemplateSection : public Section {
public:
    TemplateSection();
    ~TemplateSection() override;

    // Section
    void update() override;

    // The page of that name as a new buffer with its MIME type set, or
    // null when the name yields no page; the caller frees it.  A built-in
    // page is taken as it is (an HTML one with the stylesheet in front);
    // otherwise the first enabled rule that applies to the connection
    // gives its file, read afresh, and, when code is not null, its
    // response code when that lies in 100-599.  *code is otherwise left
    // as it was.  Variables are substituted (HTML-escaped in text/html
    // pages) where the page asks for it.  The connection may be null: no
    // groups, no profiles, no variables.  Holds the read lock throughout,
    // taking it again for the stylesheet.
    Filebuf *get(CONNECTION_T *connection, const char *name, int *code);

    // Appends the page's bytes to buffer: 1, or 0 when the name yields no
    // page.
    int insert(CONNECTION_T *connection, Filebuf *buffer, const char *name);

    // Answers the request with the page as a complete response that must
    // not be cached: the template's response code, else status; Content-
    // Length, Content-Type (text/plain when the page has none) and
    // Cache-Control "no-cache"; no body for a HEAD request.  Fills the
    // connection's log entry (TCP_MISS, DIRECT, peer "kelvarine") but writes
    // no access-log line.  Returns 1 when the client was answered, 0 when
    // nothing was sent (the client is gone, or the name yields no page:
    // the connection's response head is then as it was).
    int send(const char *name, CONNECTION_T *connection, int status);

    // Global field 0, followed live; read under the section's lock.
    const std::string *template_dir;

private:
    std::list<Template> rules;  // in item order, disabled ones included
};

extern TemplateSection *template_section;

// For a request that must be answered whatever the page name (a page
// asked for by name through the web interface's "/template/" path or the
// "template" URL command): TemplateSection::send of the page, or, when the
// name yields no page (unknown, suppressed, no file), status 404 with an
// empty body, after which the connection closes: the client never waits
// for an answer that does not come.  Returns 1 when the client was answered.
int template_send_or_missing(const char *name, CONNECTION_T *connection, int status);

#endif
