// Interface responses and form arguments: the small pieces every page of
// the administration interface and every diagnostic page shares.
//
// A page is built in a Filebuf and sent whole with interface_send_response;
// interface_stylesheet puts the interface's stylesheet in front of it.
// Every value that came from a client, an origin or the configuration is
// escaped with string_to_html at the moment it is written (interface_html
// is the short form used by the pages).
#ifndef KV_INTERFACE_INTERFACE_H
#define KV_INTERFACE_INTERFACE_H

#include <map>
#include <string>

struct CONNECTION_T;
class Filebuf;
class Item;

// The form arguments of one request: key to value, keys compared with case
// and ordered by byte.  Reading an absent key yields the empty string.
class CGIMap : public std::map<std::string, std::string> {
public:
    CGIMap() = default;
    using std::map<std::string, std::string>::map;
    // An empty map, then parse(text).
    explicit CGIMap(const char *text);

    // Adds the arguments of "key=value&key=value" to the map.  A piece is
    // split at its last "="; key and value are URL-decoded (a decoded text
    // ends at a decoded NUL byte); a later key replaces an earlier one; a
    // piece without "=" is dropped.  Null does nothing.
    void parse(const char *text);
};

// Sends a finished HTML page as the complete answer: status 200,
// Content-Type "text/html", Cache-Control "no-cache" and its length, then
// the page; the connection's log entry records status, size and type.
// Nothing is sent to a client that is gone.
void interface_send_response(CONNECTION_T *connection, Filebuf *page);

// Appends the template page "interface.css"; 1 when appended, 0 when there
// is no such page.
int interface_stylesheet(CONNECTION_T *connection, Filebuf *page);

// -1 for the empty string, else the leading decimal integer (0 when the
// text has none).
int xatoi(const std::string &text);

// The text escaped for HTML (quote, "<", ">" and "&"); mode as
// string_to_html.
std::string interface_html(const char *text, int mode = 0);
std::string interface_html(const std::string &text, int mode = 0);

// The rows of an item: one "<tr><td>label</td><td>value</td></tr>" per
// field, the value escaped.  Used by the pages that name a deciding rule.
void interface_item_rows(Filebuf *page, const Item &item);

// The page of a filter's decision for the request: the title and head row
// "<what> match for <host><path>", then the deciding rule's rows, or
// "None" when nothing decided, or `fallback` (escaped) when a rule without
// an item decided; sent with interface_send_response.
void interface_match_page(CONNECTION_T *connection, const char *what,
                          const Item *item, const char *fallback);

#endif
