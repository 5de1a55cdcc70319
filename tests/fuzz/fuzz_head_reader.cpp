// The head reader over a socket: header_get takes heads off a client
// socket until the stream ends, each one parsed as the road would.  A head
// returned is whole (through its blank line), without NUL bytes and within
// the collection limit; what follows it stays buffered for the next read.
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "fuzz.h"

namespace {
CONNECTION_T *conn;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    conn = connection_new();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > FUZZ_MAX_STREAM)
        return 0;
    int sv[2];
    fuzz_socketpair(sv);
    fuzz_write_all(sv[1], reinterpret_cast<const char *>(data), size);
    shutdown(sv[1], SHUT_WR);
    conn->client = new Socket(sv[0]);
    conn->client->SetTimeout(1);

    size_t taken = 0;
    for (;;) {
        int res = -1;
        char *head = header_get(conn, SIDE_CLIENT, 1, &res);
        if (!head) {
            if (res == HEADER_GET_OK)
                abort();
            break;
        }
        size_t len = strlen(head);
        if (res != HEADER_GET_OK || len < 2 || len > HEADER_COLLECT_MAX + 2 ||
            strcmp(head + len - 2, "\r\n") != 0 || header_length(head, SIZE_MAX) != len)
            abort();
        taken += len;
        if (taken > 2 * size + 2)
            abort();
        int err = -1;
        HEADER *h = http_header_parse_request(head, &err);
        http_header_free(h);
        h = http_header_parse_response(head);
        http_header_free(h);
        free(head);
    }
    delete conn->client;
    conn->client = nullptr;
    close(sv[1]);
    return 0;
}
