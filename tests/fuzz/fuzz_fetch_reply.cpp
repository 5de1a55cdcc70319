// Replies to the internal HTTP client as a configuration master or any
// server it asks may send them: a loopback listener answers http_fetch's
// request with the input and closes.  A fetch returns a head with a usable
// status and a body within the client's ceiling, or nothing; it never
// hangs past the close.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "engine/httpfetch.h"
#include "fuzz.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"

namespace {

int listener = -1;
URL *url;

// Reads the request head (or what arrives before the client stops), then
// sends the reply and closes.
void answer(const std::string &reply)
{
    int fd = accept(listener, nullptr, nullptr);
    if (fd < 0)
        abort();
    std::string head;
    char buf[4096];
    while (head.find("\r\n\r\n") == std::string::npos) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        head.append(buf, n);
    }
    if (head.compare(0, 4, "GET ") != 0)
        abort();
    size_t at = 0;
    while (at < reply.size()) {
        ssize_t n = write(fd, reply.data() + at, reply.size() - at);
        if (n <= 0)
            break; // the client stopped reading: it has what it wanted
        at += n;
    }
    shutdown(fd, SHUT_WR);
    // Wait for the client to finish, so nothing is reset under it.
    while (read(fd, buf, sizeof buf) > 0) {
    }
    close(fd);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    signal(SIGPIPE, SIG_IGN);
    listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(listener, 4) != 0)
        abort();
    socklen_t len = sizeof sa;
    getsockname(listener, (struct sockaddr *)&sa, &len);
    std::string text = "http://127.0.0.1:" + std::to_string(ntohs(sa.sin_port)) + "/kelvarine.cfg/xml";
    url = url_parse(text.c_str());
    if (url == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string reply = fuzz_text(data, size);
    std::thread server(answer, reply);
    HTTPRESPONSE *r = http_fetch(url);
    // The client may stop reading early; the server then ends by itself.
    if (r) {
        if (r->header == nullptr || r->body == nullptr)
            abort();
        if (r->header->status < 1 || r->header->status > 999)
            abort();
        if (r->body->size > HTTP_FETCH_BODY_MAX || r->body->size > size)
            abort();
    }
    httpresponse_free(r);
    server.join();
    return 0;
}
