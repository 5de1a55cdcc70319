// Per-request diagnostic pages: what the proxy makes of the request that
// asks for them through a URL command.  Each page is sent whole with
// interface_send_response and escapes everything it shows.
#ifndef KV_INTERFACE_DIAGNOSTIC_H
#define KV_INTERFACE_DIAGNOSTIC_H

struct CONNECTION_T;
struct htmlstream_node;
class Filebuf;

// "profiles" and "mimeprofiles": the request's profiles.
void show_profiles(CONNECTION_T *connection);
// "variables": the connection's template variables in name order.
void show_variables(CONNECTION_T *connection);
// "cache": the cache object of the request's URL, or "Nothing found".
void cache_show(CONNECTION_T *connection);
// "headers": the request and response heads as received.
void show_headers(CONNECTION_T *connection);
// "proxytest": the request head as the HTTP parent passes it on, got by
// making the parent connect back to the proxy (proxy_test); "Not
// forwarding through HTTP proxy" when the request does not go through one.
// The head the test stored is released after the page is sent.
void show_proxytest(CONNECTION_T *connection);
// "htmltree": the tree of the connection's HTML stream.
void show_htmltree(CONNECTION_T *connection);
// Appends the rows of first and its following siblings to page, indented
// 36 pixels per level from depth, each node's group drawn after its row.
// The walk keeps its own stack, so a deeply nested tree cannot exhaust
// the thread's.
void show_htmltree_node(Filebuf *page, const htmlstream_node *first, int depth);
// "raw": the body as text up to its first NUL byte; the buffer is left as
// it was.
void show_filebuf(CONNECTION_T *connection, Filebuf *body);

#endif
