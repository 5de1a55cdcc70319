// Helpers shared by the fuzz targets: a quiet log, the input as a string,
// a connection whose sockets are ends of socket pairs, and the check that
// a written head is well formed.
#ifndef KV_TESTS_FUZZ_FUZZ_H
#define KV_TESTS_FUZZ_FUZZ_H

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "runtime/log.h"

// Heads, URLs and bodies the proxy is given are logged when refused; the
// fuzzer would print every one.  No category in the mask and no
// foreground: putlog writes nothing (global is null, so no ring either).
inline void fuzz_quiet_log()
{
    loglevel = 0;
    daemonize = 1;
    logfile[0] = '\0';
}

inline std::string fuzz_text(const uint8_t *data, size_t size)
{
    return std::string(reinterpret_cast<const char *>(data), size);
}

// Writes all of bytes to a descriptor whose reader is not running yet, so
// the bytes must fit the socket buffer; aborts otherwise, since a short
// write would make the target test something else than its input.
inline void fuzz_write_all(int fd, const char *bytes, size_t size)
{
    while (size > 0) {
        ssize_t n = write(fd, bytes, size);
        if (n <= 0)
            abort();
        bytes += n;
        size -= (size_t)n;
    }
}

// A connected pair of stream sockets with buffers large enough for any
// input the targets accept (FUZZ_MAX_STREAM bytes) and its output.
#define FUZZ_MAX_STREAM 65536

inline void fuzz_socketpair(int sv[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        abort();
    int size = 4 * FUZZ_MAX_STREAM;
    for (int i = 0; i < 2; i++) {
        setsockopt(sv[i], SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
        setsockopt(sv[i], SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    }
}

// Aborts unless text is one head as the proxy writes it: CRLF line ends
// only, no NUL, ended by its only blank line.
inline void fuzz_check_one_head(const std::string &text)
{
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos || end + 4 != text.size())
        abort();
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c == '\0')
            abort();
        if (c == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'))
            abort();
        if (c == '\n' && (i == 0 || text[i - 1] != '\r'))
            abort();
    }
}

// Everything that reached fd so far, without waiting.
inline std::string fuzz_drain(int fd)
{
    std::string out;
    char buf[8192];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT)) > 0)
        out.append(buf, (size_t)n);
    return out;
}

#endif
