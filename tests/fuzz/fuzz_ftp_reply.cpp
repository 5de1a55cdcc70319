// FTP control replies as a server sends them: whole replies (multi-line
// ones included) read off a socket, and the port of a PASV reply.  A reply
// has a code of 100 to 599; a PASV port is a valid port or 0.
#include <cstdlib>
#include <string>

#include "engine/proto_ftp.h"
#include "engine/socket.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > FUZZ_MAX_STREAM)
        return 0;
    int sv[2];
    fuzz_socketpair(sv);
    fuzz_write_all(sv[1], (const char *)data, size);
    shutdown(sv[1], SHUT_WR);
    Socket *sock = new Socket(sv[0]);
    sock->SetTimeout(1);
    for (int i = 0; i < 64; i++) {
        FtpReply r = ftp_reply_read(sock, 1);
        if (r.code == -1)
            break;
        if (r.code < 100 || r.code > 599 || r.text.size() > 1023)
            abort();
        int port = ftp_pasv_port(r.text.c_str());
        if (port < 0 || port > 65535)
            abort();
    }
    delete sock;
    close(sv[1]);
    std::string text = fuzz_text(data, size);
    int port = ftp_pasv_port(text.c_str());
    if (port < 0 || port > 65535)
        abort();
    return 0;
}
