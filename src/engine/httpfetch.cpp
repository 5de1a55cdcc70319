// The internal HTTP client: see httpfetch.h.
#include "engine/httpfetch.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/body.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/serverpool.h"
#include "engine/socket.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

bool basic_credentials(HEADER *h);
Filebuf *body_read(CONNECTION_T *conn);

const char DEFAULT_USER_AGENT[] = "Mozilla/4.0 (compatible; MSIE 5.5; Windows 98; Win 9x 4.90)";

// Authorization: Basic of "user:password"; false when it cannot be made.
bool basic_credentials(HEADER *h)
{
    if (h->user == nullptr && h->password == nullptr)
        return true;
    std::string pair = std::string(h->user ? h->user : "") + ":" + (h->password ? h->password : "");
    size_t size = BASE64_ENCODED_SIZE(pair.size());
    std::string encoded(size, '\0');
    int64_t n = to64frombits(reinterpret_cast<unsigned char *>(&encoded[0]), size,
                             reinterpret_cast<const unsigned char *>(pair.data()), pair.size());
    if (n < 0)
        return false;
    encoded.resize((size_t)n);
    header_field_set(&h->authorization, ("Basic " + encoded).c_str());
    return true;
}

// The whole response body, or null when it could not be read to its end or
// is longer than HTTP_FETCH_BODY_MAX.
Filebuf *body_read(CONNECTION_T *conn)
{
    Filebuf *body = new Filebuf;
    BodyRest rest;
    conn->flags &= ~CONN_FAILED;
    if (http_transfer_filebuf_capped(conn, SIDE_SERVER, body, HTTP_FETCH_BODY_MAX, &rest) !=
        BODY_WHOLE) {
        conn->keepalive_server = 0;
        delete body;
        return nullptr;
    }
    return body;
}

} // namespace

HEADER *http_fetch_request(const URL *url, const std::vector<HTTP_HEADER> *headers,
                           const char *user_agent)
{
    HEADER *h = header_new();
    h->kind = HEADER_PROXY;
    h->version = 2;
    header_field_set(&h->method, "GET");
    header_field_set(&h->scheme, url->protocol);
    header_field_set(&h->host, url->host);
    header_field_set(&h->path, url->path);
    h->port = url->port;
    header_complete(h);
    if (headers)
        h->headers = *headers;
    else
        header_field_set(&h->user_agent, user_agent);
    header_field_set(&h->user, url->user);
    header_field_set(&h->password, url->password);
    return h;
}

HTTPRESPONSE *http_fetch(const URL *url, const std::vector<HTTP_HEADER> *headers)
{
    if (url == nullptr || url->host == nullptr || url->protocol == nullptr)
        return nullptr;
    CONNECTION_T *conn = connection_new();
    // No client: nothing is ever written to one, and server bodies are read
    // without the read observer.
    conn->flags |= CONN_CLIENT_GONE | CONN_NO_OBSERVER;
    conn->client_ip = xstrdup("127.0.0.1");
    conn->interface_ip = xstrdup("127.0.0.1");
    conn->request = http_fetch_request(url, headers, DEFAULT_USER_AGENT);

    HEADER *response = nullptr;
    Filebuf *body = nullptr;
    if (basic_credentials(conn->request) && protocol_start(conn) >= 0) {
        // A write that fails on a pooled connection the server has closed
        // shows as a missing head: header_get_reconnect then reconnects and
        // sends the request again.
        if (header_send(conn->request, conn, SIDE_SERVER, SEND_TO_ORIGIN) != -1) {
            char *head = header_get_reconnect(conn, protocol_timeout(conn));
            if (head) {
                response = http_header_parse_response(head);
                free(head);
            }
            if (response) {
                conn->response = response;
                body = body_read(conn);
                keepalive_check_server(conn);
            }
        }
    }
    if (conn->server) {
        if (body == nullptr)
            conn->keepalive_server = 0;
        serverpool_release(conn);
    }
    HTTPRESPONSE *result = nullptr;
    if (body) {
        result = (HTTPRESPONSE *)malloc(sizeof(HTTPRESPONSE));
        if (result == nullptr)
            out_of_memory();
        result->header = response;
        result->body = body;
    } else {
        http_header_free(response);
    }
    conn->response = nullptr;
    http_header_free(conn->request);
    conn->request = nullptr;
    connection_free(conn);
    return result;
}

void httpresponse_free(HTTPRESPONSE *response)
{
    if (response == nullptr)
        return;
    http_header_free(response->header);
    delete response->body;
    free(response);
}

int http_fetch_document(const std::string &text, std::string &body, std::string &last_modified)
{
    body.clear();
    last_modified.clear();
    URL *url = url_parse(text.c_str());
    if (url == nullptr)
        return -1;
    HTTPRESPONSE *response = http_fetch(url);
    url_free(url);
    if (response == nullptr)
        return -1;
    int status = response->header->status;
    if (response->body->data)
        body.assign(response->body->data, response->body->size);
    if (response->header->last_modified)
        last_modified = response->header->last_modified;
    httpresponse_free(response);
    return status;
}

int http_fetch_text(const std::string &text, std::string &body)
{
    std::string last_modified;
    return http_fetch_document(text, body, last_modified);
}
