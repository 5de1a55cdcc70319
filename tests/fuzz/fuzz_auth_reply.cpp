// The authentication service's reply: one relay exchange over a socket
// pair whose far end sends the input and closes.  Whatever arrives, the
// exchange ends with 200, 407 or 500; 200 only with a user name, and the
// connection's state is one the handshake knows.
#include <cstdlib>
#include <cstring>

#include "access/ntlm_talk.h"
#include "engine/connection.h"
#include "engine/header.h"
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
    fuzz_write_all(sv[1], reinterpret_cast<const char *>(data), size);
    shutdown(sv[1], SHUT_WR);

    CONNECTION_T *conn = connection_new();
    conn->client_ip = strdup("127.0.0.9");
    conn->auth_scheme = 1;
    conn->request = http_header_parse_request(
        "GET http://example.org/ HTTP/1.1\r\nHost: example.org\r\n"
        "Proxy-Authorization: NTLM TlRMTVNTUAABAAAA\r\n\r\n");
    if (conn->request == nullptr)
        abort();
    conn->auth_socket = new Socket(sv[0]);
    conn->auth_socket->SetTimeout(1);

    int result = validate_auth_tracking(conn);
    if (result != 200 && result != 407 && result != 500)
        abort();
    if (result == 200 && (conn->auth_state != 2 || conn->auth_user == nullptr ||
                          conn->auth_user[0] == '\0'))
        abort();
    if (conn->auth_state != 0 && conn->auth_state != 2 && conn->auth_state != -1)
        abort();
    if (result == 407 && conn->auth_challenge != nullptr && strpbrk(conn->auth_challenge, "\r\n"))
        abort();

    close_httpauth_socket(conn);
    close(sv[1]);
    http_header_free(conn->request);
    conn->request = nullptr;
    connection_free(conn);
    return 0;
}
