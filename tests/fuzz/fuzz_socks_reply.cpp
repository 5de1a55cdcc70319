// SOCKS server replies: the first input byte chooses SOCKS4 or SOCKS5
// (with or without credentials), the rest is what the server sends.  The
// handshake ends with one of its results, and SOCKS5 sends credentials
// only to a server that asked for them.
#include <cstdlib>
#include <string>

#include "engine/socket.h"
#include "engine/socks.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > FUZZ_MAX_STREAM)
        return 0;
    int sv[2];
    fuzz_socketpair(sv);
    fuzz_write_all(sv[1], (const char *)data + 1, size - 1);
    shutdown(sv[1], SHUT_WR);
    Socket *sock = new Socket(sv[0]);
    sock->SetTimeout(1);
    int mode = data[0] % 3;
    int r;
    if (mode == 0)
        r = socks4_handshake(sock, 0x0100007f, 80, "user");
    else
        r = socks5_handshake(sock, "origin.test", 8080, mode == 2 ? "alice" : nullptr,
                             mode == 2 ? "pw" : nullptr);
    if (r != SOCKS_OK && r != SOCKS_FAILED && r != SOCKS_UNEXPECTED && r != SOCKS_IDENT)
        abort();
    delete sock;
    std::string sent = fuzz_drain(sv[1]);
    if (mode == 1 && sent.find("alice") != std::string::npos)
        abort();
    close(sv[1]);
    return 0;
}
