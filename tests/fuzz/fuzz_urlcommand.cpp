// URL commands: the first input line is taken as a host or path text for
// url_command_parse, the rest as a request head that goes through
// url_command_extract (host, Host line, first path segment and the
// Referer rule with its redirect) and url_command_add.  Writing a list and
// parsing it again gives the same list, and the redirect the Referer rule
// sends is one well-formed head.
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "engine/urlcommand.h"
#include "fuzz.h"

namespace {

CONNECTION_T *conn;

void same_list(url_command_t **a, url_command_t **b)
{
    size_t i = 0;
    for (; a && a[i]; i++) {
        if (!b || !b[i] || strcmp(a[i]->name, b[i]->name) != 0 ||
            (a[i]->options == nullptr) != (b[i]->options == nullptr) ||
            (a[i]->options && strcmp(a[i]->options, b[i]->options) != 0))
            abort();
    }
    if (b && b[i])
        abort();
}

// The list written out and read back, in front of the rest of the text.
void round_trip(url_command_t **list, const char *rest)
{
    char *prefixes = url_command_create(list);
    std::string text = std::string(prefixes) + rest;
    free(prefixes);
    char *copy = strdup(text.c_str());
    url_command_t **again = url_command_parse(copy);
    same_list(list, again);
    if (strcmp(copy, rest) != 0)
        abort();
    url_command_free(again);
    free(copy);
}

void parse_text(const std::string &line)
{
    char *text = strdup(line.c_str());
    url_command_t **list = url_command_parse(text);
    if (!list != (strcmp(text, line.c_str()) == 0))
        abort();
    round_trip(list, text);
    url_command_find(list, "raw");
    url_command_log(list);
    url_command_free(list);
    free(text);
}

void extract(const std::string &head)
{
    int err;
    conn->request = http_header_parse_request(head.c_str(), &err);
    if (!conn->request)
        return;
    int sv[2];
    fuzz_socketpair(sv);
    conn->client = new Socket(sv[0]);
    conn->client->SetTimeout(1);

    if (url_command_extract(conn) == 0) {
        std::string answer = fuzz_drain(sv[1]);
        if (answer.compare(0, 13, "HTTP/1.1 302 ") != 0 ||
            answer.find("\r\n\r\n") + 4 != answer.size())
            abort();
    }
    for (const char *url : {"http://a.test/x", "/abs?q", "rel/ative", ""}) {
        char *added = url_command_add(conn, url);
        if (strlen(added) > 4095 && strcmp(added, url) != 0)
            abort();
        free(added);
    }
    if (conn->request->url && strlen(conn->request->url) > HEADER_URL_MAX)
        abort();

    url_command_free(conn->url_commands);
    conn->url_commands = nullptr;
    http_header_free(conn->request);
    conn->request = nullptr;
    delete conn->client;
    conn->client = nullptr;
    close(sv[1]);
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
    std::string input = fuzz_text(data, size);
    size_t nl = input.find('\n');
    parse_text(input.substr(0, nl));
    if (nl != std::string::npos)
        extract(input.substr(nl + 1));
    return 0;
}
