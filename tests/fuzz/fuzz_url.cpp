// URL texts: url_parse and url_create, url_decode and url_encode, and the
// path helpers a request path goes through.  A URL that parses is written
// back into a text that parses into the same URL; decoding what was
// encoded gives the bytes back; no result passes its limit.
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz.h"
#include "runtime/misc.h"

namespace {

void urls(const std::string &text)
{
    URL *url = url_parse(text.c_str());
    if (!url)
        return;
    if (!url->protocol || !url->host || !*url->host || !url->path || url->path[0] != '/' ||
        url->port < 0 || url->port > 65535 || strlen(url->host) > URL_HOST_MAX ||
        strlen(url->path) > URL_PATH_MAX || (url->user == nullptr) != (url->password == nullptr))
        abort();
    // A protocol without a default port and no port in the text leaves 0,
    // which the written form cannot carry.
    if (url->port == 0) {
        url_free(url);
        return;
    }
    char *created = url_create(url);
    URL *again = url_parse(created);
    if (!again || strcmp(again->protocol, url->protocol) != 0 ||
        strcmp(again->host, url->host) != 0 || strcmp(again->path, url->path) != 0 ||
        again->port != url->port)
        abort();
    url_free(again);
    free(created);
    url_free(url);
}

void coding(const std::string &text)
{
    // Decoding: never longer than the text, and a text that encodes its
    // own bytes decodes to them.
    size_t length = 0;
    char *decoded = url_decode(text.c_str(), (int64_t)text.size(), &length);
    if (decoded) {
        if (length > text.size() || decoded[length] != '\0')
            abort();
        url_header_safe(decoded, length);
        free(decoded);
    }
    // '+' is copied by the encoder and read as a blank by the decoder, as
    // in form data; every other byte comes back as it was.
    std::string expected = text.c_str();
    for (char &c : expected)
        if (c == '+')
            c = ' ';
    char *encoded = url_encode(text.c_str(), -1);
    size_t back_length = 0;
    char *back = url_decode(encoded, -1, &back_length);
    if (!back || std::string(back, back_length) != expected)
        abort();
    free(back);
    free(encoded);
}

void paths(const std::string &text)
{
    char *fixed = url_path_fix(text.c_str());
    if (strlen(fixed) > URL_PATH_MAX)
        abort();
    free(fixed);
    if (!text.empty() && text[0] == '/') {
        char *resolved = resolve_path(text.c_str());
        if (resolved[0] != '/' || strstr(resolved, "/../") || strstr(resolved, "/./"))
            abort();
        free(resolved);
    }
    char *copy = strdup(text.c_str());
    url_strip(copy);
    for (const char *p = copy; *p; p++)
        if ((unsigned char)*p <= 0x20)
            abort();
    free(copy);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text = fuzz_text(data, size);
    urls(text);
    coding(text);
    paths(text);
    return 0;
}
