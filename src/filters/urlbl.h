// The URL blacklist: a tree of category directories read from disk once at
// start-up, each with a "domains" file (hosts listed with every path) and a
// "urls" file (a host and a path prefix per line), and the lookup that
// tells whether a request's host and path stand in one of a rule's
// categories.
//
// Hosts are lower-cased when they are loaded and when they are looked up,
// so a Host written in capitals still matches.
#ifndef KV_FILTERS_URLBL_H
#define KV_FILTERS_URLBL_H

#include <list>
#include <map>
#include <string>
#include <vector>

#include "config/section.h"
#include "runtime/misc.h"

class Filebuf;
struct CONNECTION_T;

// Listed host -> its path prefixes, in file order.  An empty list lists
// every path of the host.
typedef std::map<std::string, std::vector<std::string>> URLBLHostMap;
// Category (the name of a subdirectory of the tree) -> its hosts, in byte
// order of the names.
typedef std::map<std::string, URLBLHostMap> URLBLCategoryMap;

// Longest host part of a "urls" line; a longer one is cut.
#define URLBL_HOST_MAX 511

// Reads the tree under directory into map (which it empties first).
// Returns the number of categories, or -1 when the directory cannot be
// opened ("failed to load URL blacklist from %s" is logged).
int urlbl_tree_load(const std::string &directory, URLBLCategoryMap *map);

// Adds one "domains" line or one "urls" line of a category.
void urlbl_domain_add(URLBLHostMap *hosts, const std::string &line);
void urlbl_url_add(URLBLHostMap *hosts, const std::string &line);

// The first category of the map, in map order, that `categories` names
// exactly and that lists the host (or a parent domain of it: a suffix made
// of whole labels) with a path prefix that path begins with (compared
// without case).  Null when none.
const std::string *urlbl_category_match(const URLBLCategoryMap &map,
                                        const std::vector<std::string> &categories,
                                        const char *host, const char *path);

// ---- Section "urlblacklist" -------------------------------------------------
//   global 0  enabled    BOOL     0: nothing is refused
//   global 1  mode       INT      0 deny list first, else allow list first
//   global 2  directory  STRING   base of the tree, read once at start-up
//   global 3  template   STRING   page of a block whose rule names none
//   subsections 0 "allow" and 1 "deny", rules: 0 enabled, 1 comment,
//   2 groups, 3 profiles, 4 categories (STRING_LIST), 5 template

class URLBL {
public:
    URLBL();   // the default rule: enabled, everything else empty
    explicit URLBL(const Item &item);
    ~URLBL() = default;
    int enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::vector<std::string> categories;
    std::string template_name;
};

class URLBLSection : public Section {
public:
    URLBLSection();
    void update() override;
    // Reads the tree into the category map once the configuration is
    // loaded, when the section is on; a section switched on later reads
    // it at that update.
    void load();
    // The deciding rule, or null; the caller holds the read lock.
    const URLBL *check(CONNECTION_T *connection);
    // 1 when the request was refused and the page sent, else 0.
    int check_and_block(CONNECTION_T *connection);
    // The "/urlbl" search: the categories that list the host (and path),
    // as an HTML fragment with every value escaped.
    void search_page(Filebuf *page, const std::string &host, const std::string &path);
    // The category map as loaded; the caller holds the read lock.
    const URLBLCategoryMap &category_map() const { return categories; }

    const int *enabled;
    const int *mode;
    const std::string *directory;
    const std::string *template_name;

private:
    std::list<URLBL> allow;
    std::list<URLBL> deny;
    URLBL default_rule;
    URLBLCategoryMap categories;
    // Set by load(): from then on an update that finds the section on reads
    // the tree if it has not been read yet.
    bool tree_wanted = false;
    bool tree_read = false;
};

extern URLBLSection *urlbl_section;

int urlbl_reqcheck(CONNECTION_T *connection, Filebuf *body);

#endif
