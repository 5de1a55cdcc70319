// The TLS client: one OpenSSL client session over a connected descriptor.
//
// Every session has its own context with the library's defaults.  The
// server name goes out in the handshake (SNI) unless it is an address
// literal, so that a server holding several names picks the right one.
// No certificate is verified: the proxy relays what the origin sends.
//
// OpenSSL 3 does its own locking: the thread set-up start-up calls is only
// the library's initialisation.
#ifndef KV_ENGINE_SSL_H
#define KV_ENGINE_SSL_H

#include <cstddef>
#include <cstdint>

struct ssl_st;
struct ssl_ctx_st;

// Initialises the library once; safe to call from several threads.
void SSL_thread_setup();

// Runs a TLS client handshake over fd, which it switches to non-blocking
// mode for good, within timeout_ms.  server_name (null or empty: none) is
// sent as SNI unless it is an IPv4 or IPv6 literal.  Returns 1 and the new
// session and context on success; 0 on failure, with nothing left behind.
int ssl_client_connect(int fd, const char *server_name, int64_t timeout_ms,
                       struct ssl_ctx_st **ctx_out, struct ssl_st **session_out);

// Sends the TLS close (without waiting for the peer's) and frees the
// session and its context.  Nulls are ignored.
void ssl_client_close(struct ssl_ctx_st *ctx, struct ssl_st *session);

// Results of ssl_read_once and ssl_write_once besides a byte count.
enum {
    SSL_IO_FAILED = -1,       // the session failed or the peer broke it
    SSL_IO_WOULD_BLOCK = -2,  // nothing can move before the descriptor is ready
};

// One non-blocking read of decrypted bytes: the count, 0 at the end of the
// stream (the peer's close, or its plain close of the connection), or an
// SSL_IO_* code.
int64_t ssl_read_once(struct ssl_st *session, char *buf, size_t len);
// One non-blocking write: the bytes taken, 0 when none could go now, or
// SSL_IO_FAILED.
int64_t ssl_write_once(struct ssl_st *session, const char *buf, size_t len);
// Decrypted bytes the session holds that the descriptor no longer shows.
size_t ssl_pending(struct ssl_st *session);

#endif
