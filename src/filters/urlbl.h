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

#include <map>
#include <string>
#include <vector>

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

#endif
