// The web interface: recognising its requests, the order in which a
// request is answered (template files, the access bit, the bare-prefix
// redirect, the directory-cache export, the configuration export, HTML
// pages), the Referer check, the login cookie, the frame and top menu of
// every page and the page table.
//
// The interface keeps no state between requests.  Everything runs on the
// worker thread of the connection; the only shared state it reads itself
// is the "general" section's proxy host name (under that section's read
// lock) and the configuration document (under documentlock, released
// before anything is written to the client).
#ifndef KV_INTERFACE_DISPATCH_H
#define KV_INTERFACE_DISPATCH_H

#include <ctime>
#include <string>

struct CONNECTION_T;
struct HEADER;
class Filebuf;
class CGIMap;

// The reserved host name of the interface; origin-form requests reach it
// under the path "/kelvarine.cfg".
#define INTERFACE_HOST "kelvarine.cfg"

// True when the request is for the interface.  An origin-form request
// whose Host header is exactly the reserved name (any case) becomes an
// absolute-form request.
bool interface_request(CONNECTION_T *connection);
// The same rule, for the modules that leave interface requests alone.
bool isthis_interface_request(CONNECTION_T *connection);

// Answers one interface request completely.
void interface_handle_request(CONNECTION_T *connection);

// 1 when the request's Referer names the interface (the reserved name or
// this proxy's host name, followed by ':' or '/'), else 0 (logged).
int interface_check_referer(CONNECTION_T *connection);

// True when the administrator is logged in (a Set-Cookie line is then
// added to head), false after the login form was written into page.  No
// credentials configured: logged in, nothing added.
bool interface_login(CONNECTION_T *connection, CGIMap &args, HEADER *head, Filebuf *page);

// The login token of a user name and password: Blowfish of "user:password"
// keyed by the same text, URL-encoded.  Empty when it cannot be made.
std::string interface_login_token(const std::string &user, const std::string &password);

// "%a, %d %b %Y %T GMT" of a time, in UTC.
std::string interface_http_date(time_t when);

// The path the interface sees: the request path without the "/kelvarine.cfg"
// prefix for origin-form requests, else the whole path.
std::string interface_path(const CONNECTION_T *connection);

typedef void (*interface_page_handler)(Filebuf *page, CGIMap &args, CONNECTION_T *connection);

struct interface_page_row {
    const char *path;
    interface_page_handler handler;
};

// The directory-cache export: writes the body into the buffer and returns
// the directory's last-update time.  Installed by the directory module;
// while it is null "/ldapcache" answers "nofile" with 404.
extern time_t (*interface_ldapcache_export)(Filebuf *body);

// The page table, ended by a row whose path is null.
extern const interface_page_row pages[];

#endif
