// Per-request diagnostic pages: what the proxy makes of the request that
// asks for them through a URL command.  Each page is sent whole with
// interface_send_response and escapes everything it shows.
#ifndef KV_INTERFACE_DIAGNOSTIC_H
#define KV_INTERFACE_DIAGNOSTIC_H

struct CONNECTION_T;
class Filebuf;

// "profiles" and "mimeprofiles": the request's profiles.
void show_profiles(CONNECTION_T *connection);
// "variables": the connection's template variables in name order.
void show_variables(CONNECTION_T *connection);
// "cache": the cache object of the request's URL, or "Nothing found".
void cache_show(CONNECTION_T *connection);
// "headers": the request and response heads as received.
void show_headers(CONNECTION_T *connection);
// "raw": the body as text up to its first NUL byte; the buffer is left as
// it was.
void show_filebuf(CONNECTION_T *connection, Filebuf *body);

#endif
