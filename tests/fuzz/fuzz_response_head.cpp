// Response heads as an origin or a parent sends them:
// http_header_parse_response, the template variables of its lines and the
// head written to the client.  A head that parses has a usable status and
// one framing at most; a head written to the client is one well-formed
// head.
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/connection.h"
#include "engine/header.h"
#include "fuzz.h"
#include "runtime/filebuf.h"

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
    std::string text = fuzz_text(data, size);
    HEADER *h = http_header_parse_response(text.c_str());
    if (!h)
        return 0;
    if (h->kind != HEADER_RESPONSE || h->status < 1 || h->status > 999 || !h->raw)
        abort();
    if (h->chunked && (h->flags & HEADER_LENGTH))
        abort();
    if ((h->flags & HEADER_LENGTH) && h->content_length > (uint64_t)INT64_MAX)
        abort();

    header_variables(conn, "SERVER", h->headers);
    conn->variables.clear();

    conn->keepalive_client = size & 1;
    Filebuf buf;
    if (header_send_filebuf(&buf, h, conn, SEND_TO_CLIENT) == 0) {
        std::string written(buf.data ? buf.data : "", buf.size);
        fuzz_check_one_head(written);
        // The client reads the same framing from it.
        HEADER *again = http_header_parse_response(written.c_str());
        if (!again || again->chunked != h->chunked ||
            (again->flags & HEADER_LENGTH) != (h->flags & HEADER_LENGTH) ||
            again->content_length != h->content_length)
            abort();
        http_header_free(again);
    }
    http_header_free(h);
    return 0;
}
