// The road of a request: from reading its head to handing it to the
// handler that talks to the server, the set-up of the server connection,
// and CONNECT tunnels.
//
// handle_request decides, in a fixed order, everything that happens before
// the exchange with the server; every refusal or failure on the way is
// answered with a template page and ends the request.  A request that is
// answered before its body was read, or whose head cannot be trusted, also
// ends its connection (keepalive_client 0), so no unread byte is ever
// taken for the next request.
#ifndef KV_ENGINE_PROTOCOL_H
#define KV_ENGINE_PROTOCOL_H

struct CONNECTION_T;
class Socket;

// Serves one request of the connection; the worker cycle calls it once per
// request and cleans the per-request state afterwards.  The result is not
// used.
int handle_request(CONNECTION_T *conn);

// Applies the URL command "bypass" to the connection's bypass word when
// the access word has ACCESS_BYPASS: no options sets every bit, empty
// options change nothing, otherwise "+" and "-" switch between setting and
// clearing and each letter of "fhmrcwepkdai" names one bit.
void bypass_check(CONNECTION_T *conn);

// Gives the connection its server socket for the request: an idle pooled
// connection under the request's pool key (never for CONNECT or a request
// with a body), else a new connection along forward_type.  Returns the
// descriptor, or a negative code with `server` null: the net_connect codes
// (NET_CONNECT_*), or -1 when a handshake or TLS failed.  The log entry's
// peer is set.
int protocol_start(CONNECTION_T *conn);

// Opens another connection to host:port along the road the server socket
// took for this request: direct, or through the same SOCKS server or
// tunnelling parent (forward_type).  The FTP gateway's data connections
// go this way.  The new socket, with the I/O time-out, or null when the
// connection or the handshake failed (logged).
Socket *protocol_open_along(CONNECTION_T *conn, const char *host, int port);

// Deletes the server socket, flushes the client socket and runs
// protocol_start again.
int protocol_reconnect(CONNECTION_T *conn);

// Reads the server's response head within timeout seconds.  When a reused
// (pooled) connection turns out dead, reconnects and sends the request
// again as long as the request body is still at hand.  Returns the head
// text (the caller frees it), or null once the client has been sent a page
// or nothing more can be done.
char *header_get_reconnect(CONNECTION_T *conn, int timeout);

// Serves one CONNECT request whose server socket is open: answers "200
// Connection Established" and relays both ways until a side ends, then
// writes the access-log and extended-log lines.  Returns 0; the client
// connection is never kept afterwards.
int protocol_connect(CONNECTION_T *conn);

// Opens a tunnel to the request's host and port on the parent `server`
// leads to; 1 when the parent answered, -1 when it did not.
int proxy_connect(CONNECTION_T *conn);

// The client's address for log lines; "" when it is unknown.
const char *protocol_client_text(const CONNECTION_T *conn);

// The general section's I/O time-out for the connection, in seconds
// (GENERAL_DEFAULT_TIMEOUT without the section).
int protocol_timeout(const CONNECTION_T *conn);

// Answers the request with a template page.  With close, or when no page
// could be sent (the client would otherwise wait for nothing), the
// connection is not kept alive afterwards.
void protocol_page(CONNECTION_T *conn, const char *name, int status, bool close);

// Ends the sending side of the client connection after a refusal and
// reads and drops what the client still sends, at most 2 seconds and
// 1 MiB, so that closing does not reset the connection and destroy the
// refusal before the client has read it.  The worker closes afterwards.
void protocol_linger_close(CONNECTION_T *conn);

// Called right before the request body is read from the client: a client
// that asked with "Expect: 100-continue" waits for this answer before it
// sends the body, so it gets "HTTP/1.1 100 Continue" once per request.
void protocol_continue(CONNECTION_T *conn);

// The page sent for a failed outgoing connection, and its status:
// NET_CONNECT_SELF gives "noaccess" with 403, every other code the page
// error_to_template names with 503.
const char *protocol_error_page(int code, int *status);

#endif
