// Interface responses and form arguments: the small pieces every page of
// the administration interface and every diagnostic page shares.
#ifndef KV_INTERFACE_INTERFACE_H
#define KV_INTERFACE_INTERFACE_H

#include <map>
#include <string>

struct CONNECTION_T;
class Filebuf;

// The form arguments of one request: key to value, keys compared with case
// and ordered by byte.  Reading an absent key yields the empty string.
class CGIMap : public std::map<std::string, std::string> {
public:
    CGIMap() = default;
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
// the page.  Nothing is sent to a client that is gone.
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

#endif
