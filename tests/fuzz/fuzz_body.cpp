// Message bodies as a peer sends them: the input is a head and the bytes
// after it.  The first byte picks the side (response from the server or
// request from the client); the head, parsed as the road would, frames
// the body (a length, the chunked coding, or the close).  The same bytes
// are then relayed (http_transfer), read whole (http_transfer_filebuf) and
// dropped (http_transfer_discard), each over fresh socket pairs whose peer
// has sent everything and shut down (a relay's receiver reads as it
// goes).  The three must agree: the same
// success, the same bytes left for the next message, and the relayed
// body, de-chunked, must be what was read whole.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "fuzz.h"
#include "runtime/filebuf.h"

namespace {

CONNECTION_T *conn;

enum Way { RELAY, BUFFER, DISCARD };

struct Outcome {
    int ok;
    std::string body;      // relayed bytes, or the buffer's content
    std::string leftover;  // what the source still holds after the body
};

Socket *pair_socket(int *peer)
{
    int sv[2];
    fuzz_socketpair(sv);
    *peer = sv[1];
    Socket *s = new Socket(sv[0]);
    s->SetTimeout(1);
    return s;
}

Outcome run(HEADER *head, int side, const std::string &bytes, Way way)
{
    int source_peer, destination_peer;
    Socket *source = pair_socket(&source_peer);
    Socket *destination = pair_socket(&destination_peer);
    fuzz_write_all(source_peer, bytes.data(), bytes.size());
    shutdown(source_peer, SHUT_WR);

    conn->flags = 0;
    conn->bytes_downloaded = 0;
    HEADER *copy = http_header_dup(head);
    if (side == SIDE_SERVER) {
        conn->response = copy;
        conn->server = source;
        conn->client = destination;
    } else {
        conn->request = copy;
        conn->client = source;
        conn->server = destination;
    }

    Outcome out;
    if (way == RELAY) {
        // The receiver reads while the body is relayed, as a client or a
        // server does: a relay of many small chunks can fill the socket
        // buffers long before the body ends.
        std::thread reader([&out, destination_peer] {
            char block[8192];
            ssize_t n;
            while ((n = recv(destination_peer, block, sizeof(block), 0)) > 0)
                out.body.append(block, (size_t)n);
        });
        out.ok = http_transfer(conn, side);
        shutdown(destination->fd, SHUT_WR);
        reader.join();
    } else if (way == BUFFER) {
        Filebuf *buf = http_transfer_filebuf(conn, side);
        out.ok = (conn->flags & CONN_FAILED) ? 0 : 1;
        out.body.assign(buf->data ? buf->data : "", buf->size);
        delete buf;
    } else {
        out.ok = http_transfer_discard(conn, side);
    }
    if (out.ok != ((conn->flags & CONN_FAILED) ? 0 : 1))
        abort();
    Socket *src = side == SIDE_SERVER ? conn->server : conn->client;
    if (src) {
        out.leftover.assign(src->inbuf ? src->inbuf : "", src->inbuf_len);
        out.leftover += fuzz_drain(src->fd);
    }

    http_header_free(copy);
    conn->request = conn->response = nullptr;
    delete conn->server;
    delete conn->client;
    conn->server = conn->client = nullptr;
    close(source_peer);
    close(destination_peer);
    return out;
}

// The data of a chunked stream as this proxy writes it; aborts on
// anything but lower-case sizes, CRLF line ends and the final "0".
std::string dechunk(const std::string &stream)
{
    std::string data;
    size_t p = 0;
    for (;;) {
        size_t eol = stream.find("\r\n", p);
        if (eol == std::string::npos || eol == p)
            abort();
        uint64_t n = 0;
        for (size_t i = p; i < eol; i++) {
            char c = stream[i];
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
                abort();
            n = n * 16 + (uint64_t)(c <= '9' ? c - '0' : c - 'a' + 10);
        }
        p = eol + 2;
        if (n == 0) {
            if (stream.compare(p, std::string::npos, "\r\n") != 0)
                abort();
            return data;
        }
        if (stream.size() < p + n + 2 || stream.compare(p + n, 2, "\r\n") != 0)
            abort();
        data.append(stream, p, n);
        p += n + 2;
    }
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
    if (size < 1 || size > FUZZ_MAX_STREAM)
        return 0;
    int side = data[0] & 1 ? SIDE_CLIENT : SIDE_SERVER;
    std::string input = fuzz_text(data + 1, size - 1);
    size_t head_length = header_length(input.c_str(), input.size());
    std::string head_text = input.substr(0, head_length);
    std::string bytes = input.substr(head_length);

    HEADER *head = side == SIDE_SERVER ? http_header_parse_response(head_text.c_str())
                                       : http_header_parse_request(head_text.c_str(), nullptr);
    if (!head)
        return 0;
    Outcome relayed = run(head, side, bytes, RELAY);
    Outcome read = run(head, side, bytes, BUFFER);
    Outcome dropped = run(head, side, bytes, DISCARD);
    if (relayed.ok != read.ok || read.ok != dropped.ok)
        abort();
    if (read.ok) {
        if (relayed.leftover != read.leftover || dropped.leftover != read.leftover)
            abort();
        std::string relayed_data = head->chunked && !(head->flags & HEADER_LENGTH)
                                       ? dechunk(relayed.body)
                                       : relayed.body;
        if (relayed_data != read.body)
            abort();
        if (read.body.size() + read.leftover.size() > bytes.size())
            abort();
    }
    http_header_free(head);
    return 0;
}
