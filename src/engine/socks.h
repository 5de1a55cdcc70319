// The client side of the SOCKS4 and SOCKS5 handshakes (SOCKS5 with the
// user name and password method), run over a freshly connected socket to
// the SOCKS server before the request is spoken through it.
//
// Every reply is read within the socket's time-out and must come whole;
// any reply the proxy does not expect fails the handshake.
#ifndef KV_ENGINE_SOCKS_H
#define KV_ENGINE_SOCKS_H

#include <cstdint>

class Socket;

// Results of the handshakes.
enum {
    SOCKS_OK = 1,
    SOCKS_UNEXPECTED = -1,  // SOCKS4: a reply code the protocol does not have
    SOCKS_FAILED = -2,      // refused, cut short, or not the protocol's reply
    SOCKS_NODNS = -3,       // SOCKS4: the destination did not resolve
    SOCKS_IDENT = -4,       // SOCKS4: the server's ident check refused us
};

// SOCKS4 CONNECT to the IPv4 address (network order) and port, with the
// user id (at most 54 characters are sent).
int socks4_handshake(Socket *sock, uint32_t address, int port, const char *userid);

// SOCKS5 CONNECT to host (sent as a domain name, at most 255 bytes) and
// port.  user and password (null or empty: none) answer the server's
// choice of the user name and password method; without them that choice
// fails the handshake.  A host longer than 255 bytes, or a control byte in
// it, fails before anything is sent.
int socks5_handshake(Socket *sock, const char *host, int port, const char *user,
                     const char *password);

#endif
