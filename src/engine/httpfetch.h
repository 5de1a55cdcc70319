// The internal HTTP client: one GET made by the proxy itself (loading the
// configuration from a URL, configuration sync, directory-cache exports),
// over a server connection of the server pool like any worker's.
#ifndef KV_ENGINE_HTTPFETCH_H
#define KV_ENGINE_HTTPFETCH_H

#include <cstdint>
#include <vector>

#include "engine/header.h"

class Filebuf;
struct URL;

// Largest body http_fetch keeps: a longer one fails the fetch rather than
// fill memory.
#define HTTP_FETCH_BODY_MAX ((uint64_t)64 * 1024 * 1024)
// Seconds to wait for the response head.
#define HTTP_FETCH_HEAD_TIMEOUT 60

struct HTTPRESPONSE {
    HEADER *header; // the parsed response head
    Filebuf *body;  // the whole body, without chunk framing
};

// GETs the URL.  headers, when given, is the complete set of request
// header lines; without it the request carries a User-Agent line only.  A
// user and password in the URL are sent as Basic credentials.  Connecting
// and reading use the general section's connect and I/O time-outs; the
// response head has HTTP_FETCH_HEAD_TIMEOUT seconds.  A pooled connection
// that turns out dead is replaced and the request sent again.  Returns the
// response whatever its status, or null when no connection could be made,
// no usable head arrived, or the body could not be read whole.
HTTPRESPONSE *http_fetch(const URL *url, const std::vector<HTTP_HEADER> *headers = nullptr);

void httpresponse_free(HTTPRESPONSE *response);

#endif
