// The internal HTTP client: one GET made by the proxy itself (loading the
// configuration from a URL, configuration sync, directory-cache exports),
// over a server connection of the server pool like any worker's.
#ifndef KV_ENGINE_HTTPFETCH_H
#define KV_ENGINE_HTTPFETCH_H

#include <cstdint>
#include <string>
#include <vector>

#include "engine/header.h"

class Filebuf;
struct URL;

// Largest body http_fetch keeps: a longer one fails the fetch rather than
// fill memory.
#define HTTP_FETCH_BODY_MAX ((uint64_t)64 * 1024 * 1024)

struct HTTPRESPONSE {
    HEADER *header; // the parsed response head
    Filebuf *body;  // the whole body, without chunk framing
};

// GETs the URL.  headers, when given, is the complete set of request
// header lines; without it the request carries a User-Agent line only.  A
// user and password in the URL are sent as Basic credentials.  Connecting,
// writing and reading, the response head included, use the general
// section's connect and I/O time-outs (60 seconds without a rule).  A pooled connection
// that turns out dead is replaced and the request sent again.  Returns the
// response whatever its status, or null when no connection could be made,
// no usable head arrived, or the body could not be read whole.
HTTPRESPONSE *http_fetch(const URL *url, const std::vector<HTTP_HEADER> *headers = nullptr);

void httpresponse_free(HTTPRESPONSE *response);

// The GET head http_fetch sends for the URL: headers, when given, are its
// header lines, else it carries user_agent; a user and password in the
// URL become its credentials.
HEADER *http_fetch_request(const URL *url, const std::vector<HTTP_HEADER> *headers,
                           const char *user_agent);

// http_fetch of a URL text for the configuration's loads: the status, or
// -1 when the text is no URL or no response came; the body, and for sync
// the Last-Modified value ("" when absent).  Start-up installs them as
// config_url_fetch and config_sync_fetch.
int http_fetch_text(const std::string &url, std::string &body);
int http_fetch_document(const std::string &url, std::string &body, std::string &last_modified);

#endif
