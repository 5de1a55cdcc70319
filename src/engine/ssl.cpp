// The TLS client sessions of outgoing connections.
#include "engine/ssl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <time.h>

#include "runtime/log.h"

namespace {

int64_t now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool address_literal(const char *name)
{
    unsigned char addr[16];
    return inet_pton(AF_INET, name, addr) == 1 || inet_pton(AF_INET6, name, addr) == 1;
}

// Waits for the descriptor to become ready for what the handshake wants;
// false on time-out or failure.
bool handshake_wait(int fd, int want, int64_t deadline)
{
    struct pollfd p;
    p.fd = fd;
    p.events = want == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN;
    for (;;) {
        p.revents = 0;
        int64_t left = deadline - now_ms();
        if (left <= 0)
            return false;
        int r = poll(&p, 1, (int)(left > INT_MAX ? INT_MAX : left));
        if (r > 0)
            return (p.revents & (p.events | POLLHUP)) != 0 && !(p.revents & POLLNVAL);
        if (r == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

void SSL_thread_setup()
{
    OPENSSL_init_ssl(OPENSSL_INIT_LOAD_SSL_STRINGS | OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
}

int ssl_client_connect(int fd, const char *server_name, int64_t timeout_ms, SSL_CTX **ctx_out,
                       SSL **session_out)
{
    *ctx_out = nullptr;
    *session_out = nullptr;
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        putlog(LOG_ERROR, "network: TLS context could not be created");
        return 0;
    }
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    // A server that closes without the TLS close still ends its stream:
    // many do, and their bodies are framed by length or by the close.
    SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL *ssl = SSL_new(ctx);
    if (!ssl) {
        SSL_CTX_free(ctx);
        putlog(LOG_ERROR, "network: TLS session could not be created");
        return 0;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || SSL_set_fd(ssl, fd) != 1) {
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        return 0;
    }
    if (server_name && *server_name && !address_literal(server_name))
        SSL_set_tlsext_host_name(ssl, server_name);
    SSL_set_connect_state(ssl);
    int64_t deadline = now_ms() + (timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
        ERR_clear_error();
        int r = SSL_connect(ssl);
        if (r == 1)
            break;
        int err = SSL_get_error(ssl, r);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) &&
            handshake_wait(fd, err, deadline))
            continue;
        unsigned long code = ERR_peek_error();
        putlog(LOG_ERROR, "network: TLS handshake with %s failed: %s",
               server_name && *server_name ? server_name : "server",
               code ? ERR_reason_error_string(code) ? ERR_reason_error_string(code) : "error"
                    : (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? "time-out"
                                                                               : "connection lost"));
        ERR_clear_error();
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        return 0;
    }
    *ctx_out = ctx;
    *session_out = ssl;
    return 1;
}

void ssl_client_close(SSL_CTX *ctx, SSL *session)
{
    if (session) {
        // The close is sent; the peer's answer is not waited for (the
        // descriptor closes right after).  At most a few calls.
        for (int i = 0; i < 5; i++) {
            ERR_clear_error();
            int r = SSL_shutdown(session);
            if (r == 1 || r < 0)
                break;
        }
        ERR_clear_error();
        SSL_free(session);
    }
    if (ctx)
        SSL_CTX_free(ctx);
}

int64_t ssl_read_once(SSL *session, char *buf, size_t len)
{
    if (len > INT_MAX)
        len = INT_MAX;
    ERR_clear_error();
    int r = SSL_read(session, buf, (int)len);
    if (r > 0)
        return r;
    int err = SSL_get_error(session, r);
    switch (err) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        return SSL_IO_WOULD_BLOCK;
    case SSL_ERROR_ZERO_RETURN:
        return 0;
    case SSL_ERROR_SYSCALL:
        if (errno == EINTR || errno == EAGAIN)
            return SSL_IO_WOULD_BLOCK;
        ERR_clear_error();
        return SSL_IO_FAILED;
    default:
        ERR_clear_error();
        return SSL_IO_FAILED;
    }
}

int64_t ssl_write_once(SSL *session, const char *buf, size_t len)
{
    if (len == 0)
        return 0;
    if (len > INT_MAX)
        len = INT_MAX;
    ERR_clear_error();
    int r = SSL_write(session, buf, (int)len);
    if (r > 0)
        return r;
    int err = SSL_get_error(session, r);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        return 0;
    if (err == SSL_ERROR_SYSCALL && (errno == EINTR || errno == EAGAIN))
        return 0;
    ERR_clear_error();
    return SSL_IO_FAILED;
}

size_t ssl_pending(SSL *session)
{
    int n = session ? SSL_pending(session) : 0;
    return n > 0 ? (size_t)n : 0;
}
