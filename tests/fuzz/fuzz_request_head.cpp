// Request heads as a client sends them: http_header_parse_request, the
// copy, and the head writer for the origin and for a parent.  Whatever a
// client sends, a head that parses has a URL within its limit and a host
// without blanks, and a head that is written is one well-formed head that
// parses again into the same request (no injected line or message).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "fuzz.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"

namespace {

CONNECTION_T *conn;

void same_string(const char *a, const char *b)
{
    if ((a == nullptr) != (b == nullptr) || (a && strcmp(a, b) != 0))
        abort();
}

// Credentials are written URL-encoded; when that makes them longer than
// this parser takes, the written head is not read back.
bool credentials_fit(const HEADER *h)
{
    for (const char *value : {h->user, h->password}) {
        if (!value)
            continue;
        char *encoded = header_credential_encode(value);
        size_t length = strlen(encoded);
        free(encoded);
        if (length > 128)
            return false;
    }
    return true;
}

// The written head names the same resource, with the same framing, when
// read again.
void check_reparse(HEADER *h, const std::string &written, int mode)
{
    if (mode == SEND_TO_PARENT && !credentials_fit(h))
        return;
    int err = -1;
    HEADER *again = http_header_parse_request(written.c_str(), &err);
    if (!again) {
        fprintf(stderr, "written head refused (%d):\n%s", err, written.c_str());
        abort();
    }
    if (mode == SEND_TO_PARENT) {
        same_string(again->host, h->host);
        // A CONNECT target's path is not written: the tunnel has none.
        if (h->kind != HEADER_CONNECT)
            same_string(again->path, h->path);
        same_string(again->scheme, h->scheme);
        if (again->port != h->port || again->kind != h->kind)
            abort();
    } else {
        same_string(again->path, h->path);
    }
    // A tunnel is always asked for as "CONNECT", whatever case came in.
    if (strcasecmp(again->method, h->method) != 0)
        abort();
    if (again->chunked != h->chunked ||
        (again->flags & HEADER_LENGTH) != (h->flags & HEADER_LENGTH) ||
        again->content_length != h->content_length)
        abort();
    http_header_free(again);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    conn = connection_new();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fuzz_text(data, size);
    int err = -1;
    HEADER *h = http_header_parse_request(text.c_str(), &err);
    if (!h) {
        if (err < HEADER_ERR_MALFORMED || err > HEADER_ERR_FRAMING)
            abort();
        return 0;
    }
    // A path-only target names its host in the Host line, read later.
    bool named = h->kind != HEADER_TRANSPARENT;
    if (err != HEADER_OK || !h->path || !h->method || !h->scheme ||
        (named && (!h->url || !h->host)) || (h->url && strlen(h->url) > HEADER_URL_MAX) ||
        h->port < 0 || h->port > 65535 || (h->port == 0 && !(h->flags & HEADER_NO_PORT)))
        abort();
    for (const char *p = h->host ? h->host : ""; *p; p++)
        if ((unsigned char)*p <= 0x20 || *p == 0x7f)
            abort();
    if (h->chunked && (h->flags & HEADER_LENGTH))
        abort();

    HEADER *copy = http_header_dup(h);
    conn->request = copy;
    for (int mode : {SEND_TO_ORIGIN, SEND_TO_PARENT}) {
        // The road names the host of a path-only target before a parent
        // sees it.
        if (!named && mode == SEND_TO_PARENT)
            continue;
        Filebuf buf;
        if (header_send_filebuf(&buf, copy, conn, mode) != 0)
            continue;
        std::string written(buf.data ? buf.data : "", buf.size);
        fuzz_check_one_head(written);
        // A scheme without a default port has port 0 (the road refuses
        // it), which no written target can carry.
        if ((h->kind != HEADER_CONNECT || mode == SEND_TO_PARENT) && h->port != 0)
            check_reparse(h, written, mode);
    }
    conn->request = nullptr;
    http_header_free(copy);
    http_header_free(h);
    return 0;
}
