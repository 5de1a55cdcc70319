// Outgoing connections and the pumps that move bytes between the two
// sockets of a connection.
//
// Every wait here is bounded: net_connect by its time-out, the pumps by the
// time-out of the socket they wait on (Socket::SetTimeout, which the
// connection set-up gives from the general settings), so a silent peer or
// tunnel ends the transfer instead of holding its worker for ever.
#ifndef KV_ENGINE_FETCH_H
#define KV_ENGINE_FETCH_H

#include <cstdint>
#include <netinet/in.h>

struct CONNECTION_T;
class Filebuf;

// Results of net_connect besides a descriptor (>= 0).  The request road
// turns them into pages: NET_CONNECT_FAILED "noconnect",
// NET_CONNECT_NODNS "nodns", NET_CONNECT_SELF "noaccess" with status 403,
// any other "unknown".
enum {
    NET_CONNECT_ARGS = -1,    // no host, or a port outside 1-65535
    NET_CONNECT_FAILED = -2,  // no socket, or the connection failed or timed out
    NET_CONNECT_NODNS = -3,   // the host name did not resolve
    NET_CONNECT_SELF = -5,    // the address and port are one of the proxy's own listeners
};

// Connects to host:port from the local address (0: any), waiting at most
// timeout seconds (-1: the default socket time-out).  Returns a blocking
// descriptor or a NET_CONNECT_* code.  A destination that is one of the
// proxy's own listeners is refused before any packet is sent and logged
// under LOG_SECURITY.
int net_connect(const char *host, int port, struct in_addr local, int timeout);
int net_connect(const char *host, int port, int timeout);
int net_connect(const char *host, int port);

// SOCKS handshakes over the connection's freshly connected server socket
// (socks.cpp); 1 on success, a negative SOCKS_* code on failure.
int proxy_socks4(CONNECTION_T *conn);
int proxy_socks5(CONNECTION_T *conn);

// Writes the whole buffer to the side's socket (SIDE_CLIENT or
// SIDE_SERVER) and flushes it.  Returns the bytes written directly, or -1
// when the write failed or the side has no socket.  A client that is gone
// (CONN_CLIENT_GONE) is written nothing and the buffer's length returned.
int64_t net_filebuf_send(Filebuf *buf, CONNECTION_T *conn, int side);

// Writes the buffer in chunked transfer coding (chunks of BLOCKSIZE, then
// "0\r\n\r\n") and flushes.  Returns the body bytes written, or -1 when a
// write failed: then the last chunk is not sent, so the peer never takes a
// cut body for a whole one.  A gone client gets nothing and the length.
int64_t net_filebuf_send_chunked(Filebuf *buf, CONNECTION_T *conn, int side);

// Reads count bytes (-1: until the side stops) from the side's socket into
// buf (null: discards them), watching the other side's socket meanwhile.
// A counted read returns 1 when every byte came, else 0 with CONN_FAILED.
// An open-ended read returns 0 when the source ended (or failed) and 1
// when it stopped on a time-out or a lost socket.
int net_filebuf_read(Filebuf *buf, CONNECTION_T *conn, int side, int64_t count);

// Relays count bytes (-1: until the source stops) from the server to the
// client (SIDE_SERVER) or from the client to the server (SIDE_CLIENT),
// one block at a time, so memory stays bounded whatever the length.
// Returns the bytes read from the source; a counted transfer that stops
// early, or whose last bytes could not be delivered, sets CONN_FAILED.
int64_t net_transfer(CONNECTION_T *conn, int side, int64_t count);

// Relays both directions until limit bytes moved in all (-1: until a side
// closes or fails, or the tunnel stays idle for the client socket's
// time-out).  Bytes already buffered on either socket go first.  Returns
// the bytes moved.
int64_t net_proxy(CONNECTION_T *conn, int64_t limit);

#endif
