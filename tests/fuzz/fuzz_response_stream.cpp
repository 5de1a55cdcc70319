// What a server sends in answer to one request, as the exchange reads it:
// heads taken off the server socket until the final response, interim
// (1xx) heads read past, then its body dropped by its framing.  Whatever
// the server sends, the response the exchange keeps is never an interim
// one and is a head the server sent, never one pieced together.
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/proto_http.h"
#include "engine/socket.h"
#include "fuzz.h"

namespace {
CONNECTION_T *conn;
HEADER *request;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    conn = connection_new();
    request = http_header_parse_request("GET http://origin.test/ HTTP/1.1\r\n\r\n", nullptr);
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
    conn->server = new Socket(sv[0]);
    conn->server->SetTimeout(1);
    conn->request = request;
    conn->flags = CONN_CLIENT_GONE | CONN_NO_OBSERVER;
    conn->keepalive_server = 1;

    char *head = header_get(conn, SIDE_SERVER, 1);
    if (http_response_final(conn, head)) {
        HEADER *r = conn->response;
        if (!r || (r->status >= 100 && r->status <= 199))
            abort();
        // The final head's lines are lines the server sent, in order.
        if (r->version != 0 && r->raw && !memmem(data, size, r->raw, strlen(r->raw) - 2))
            abort();
        http_transfer_discard(conn, SIDE_SERVER);
    }
    http_header_free(conn->response);
    conn->response = nullptr;
    conn->request = nullptr;
    delete conn->server;
    conn->server = nullptr;
    close(sv[1]);
    return 0;
}
