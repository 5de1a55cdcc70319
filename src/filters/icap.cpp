// The ICAP client: section, rule selection, stage callbacks and the
// exchange with an ICAP server.
#include "filters/icap.h"

#include <strings.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "config/general.h"
#include "config/profiles.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/network.h"
#include "engine/serverpool.h"
#include "engine/socket.h"
#include "filters/filter.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

ICAPSection *icap_section = nullptr;

IcapEncapsulation icap_encapsulation_parse(const char *value)
{
    IcapEncapsulation e;
    if (value == nullptr)
        return e;
    struct {
        const char *name;
        int IcapEncapsulation::*field;
    } names[] = {
        {"req-hdr=", &IcapEncapsulation::req_hdr},   {"res-hdr=", &IcapEncapsulation::res_hdr},
        {"req-body=", &IcapEncapsulation::req_body}, {"res-body=", &IcapEncapsulation::res_body},
        {"null-body=", &IcapEncapsulation::null_body},
    };
    const char *p = value;
    while (*p) {
        while (*p == ' ' || *p == '\t')
            p++;
        const char *end = strchr(p, ',');
        size_t len = end ? (size_t)(end - p) : strlen(p);
        for (const auto &n : names) {
            size_t nlen = strlen(n.name);
            if (len >= nlen && strncasecmp(p, n.name, nlen) == 0) {
                // Digits up to the first other character; a number too
                // large for an int is no offset any head could have.
                long long number = 0;
                for (size_t i = nlen; i < len && p[i] >= '0' && p[i] <= '9'; i++) {
                    number = number * 10 + (p[i] - '0');
                    if (number > INT_MAX) {
                        number = INT_MAX;
                        break;
                    }
                }
                e.*(n.field) = (int)number;
                break;
            }
        }
        if (!end)
            break;
        p = end + 1;
    }
    return e;
}

void icap_head_unfold(char *head)
{
    for (char *p = head; *p; p++) {
        if (*p != '\n')
            continue;
        if (p[1] != ' ' && p[1] != '\t')
            continue;
        if (p > head && p[-1] == '\r')
            p[-1] = ' ';
        *p = ' ';
    }
}

ICAP::ICAP(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      profiles(item.fields[2].string_list),
      host(item.fields[3].raw),
      service(item.fields[4].raw),
      port(item.fields[5].int_value),
      methods(item.fields[6].int_value)
{
    if (filter_flawed(item, "icap", comment))
        enabled = 0;
    // The callbacks exist from the first rule on; Add refuses a second
    // registration, so later rules change nothing.
    processors.Add(icap_reqmod, PROCESSOR_REQMOD);
    processors.Add(icap_respmod, PROCESSOR_RESPMOD);
    processors.Add(icap_buffcheck, PROCESSOR_BUFFCHECK);
}

ICAPSection::ICAPSection() : Section("icap", 0)
{
    enabled = &fields[0].int_value;
}

ICAPSection::~ICAPSection()
{
    rules.clear();
}

void ICAPSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

const ICAP *ICAPSection::find(CONNECTION_T *connection, int methods) const
{
    if ((connection->bypass & BYPASS_ICAP) || *enabled == 0)
        return nullptr;
    for (const ICAP &rule : rules)
        if (rule.enabled != 0 && profile_find(connection->profiles, rule.profiles) &&
            (rule.methods & methods) != 0 && !rule.host.empty() && !rule.service.empty())
            return &rule;
    return nullptr;
}

int ICAPSection::check_match(CONNECTION_T *connection, int methods)
{
    read_lock();
    int found = find(connection, methods) != nullptr;
    unlock();
    return found;
}

int ICAPSection::process(CONNECTION_T *connection, Filebuf *body, int methods)
{
    read_lock();
    const ICAP *rule = find(connection, methods);
    if (rule == nullptr) {
        unlock();
        return 0;
    }
    std::string host = rule->host, service = rule->service;
    int port = rule->port;
    unlock();
    return protocol_icap(connection, body, methods, host, service, port);
}

namespace {

bool has_line_break(const std::string &text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// Restores the connection's own server socket when the exchange ends, and
// deletes the ICAP connection unless it was handed back to the pool.
class ServerSwap {
public:
    explicit ServerSwap(CONNECTION_T *conn) : conn(conn), saved(conn->server) {}
    ~ServerSwap()
    {
        if (conn->server != saved)
            delete conn->server;
        conn->server = saved;
    }
    // Ends the use of the current ICAP connection (closing it).
    void drop()
    {
        if (conn->server != saved)
            delete conn->server;
        conn->server = saved;
    }
    // The ICAP connection leaves the exchange without being closed.
    Socket *release()
    {
        Socket *sock = conn->server;
        conn->server = saved;
        return sock;
    }
    CONNECTION_T *conn;
    Socket *saved;
};

// Reads the chunked body that follows an encapsulated head, at most cap
// bytes.  The head is the connection's response for the read.
bool read_encapsulated_body(CONNECTION_T *conn, HEADER *head, Filebuf *out)
{
    head->chunked = 1;
    head->flags &= ~HEADER_LENGTH;
    uint32_t failed_before = conn->flags & CONN_FAILED;
    HEADER *own = conn->response;
    conn->response = head;
    conn->flags |= CONN_NO_OBSERVER;
    BodyRest rest;
    int read = http_transfer_filebuf_capped(conn, SIDE_SERVER, out, body_buffer_cap(conn), &rest);
    conn->flags &= ~CONN_NO_OBSERVER;
    conn->response = own;
    // A failed ICAP body fails the exchange, not the request.
    conn->flags = (conn->flags & ~CONN_FAILED) | failed_before;
    if (read == BODY_PAST_CAP)
        putlog(LOG_ICAP, "ICAP response body exceeds the buffer limit");
    else if (read != BODY_WHOLE)
        putlog(LOG_ICAP, "error reading body from ICAP server");
    head->chunked = 0;
    return read == BODY_WHOLE;
}

// The Content-Length of a head whose body was replaced: the body sent.
void length_set(HEADER *h, uint64_t size)
{
    h->chunked = 0;
    h->flags |= HEADER_LENGTH;
    h->content_length = size;
}

}  // namespace

int ICAPSection::protocol_icap(CONNECTION_T *conn, Filebuf *body, int methods,
                               const std::string &host, const std::string &service, int port)
{
    const bool respmod = (methods & ICAP_RESPMOD) != 0;
    const char *method = respmod ? "RESPMOD" : "REQMOD";
    if (conn->request == nullptr || (respmod && conn->response == nullptr))
        return 0;
    if (has_line_break(host) || has_line_break(service))
        return 0;

    // The encapsulated heads.  The request head goes without any proxy
    // credentials: neither the client's nor the parent's are the ICAP
    // server's business.
    Filebuf part1, part2;
    {
        char *forward = conn->forward_authorization;
        char *own = conn->request->proxy_authorization;
        conn->forward_authorization = nullptr;
        conn->request->proxy_authorization = nullptr;
        int rc = header_send_filebuf(&part1, conn->request, conn, SEND_TO_PARENT);
        conn->forward_authorization = forward;
        conn->request->proxy_authorization = own;
        if (rc != 0)
            return 0;
    }
    if (respmod && header_send_filebuf(&part2, conn->response, conn, SEND_TO_CLIENT) != 0)
        return 0;
    const bool with_body = body != nullptr && body->size != 0;
    char encapsulated[1024];
    if (respmod)
        snprintf(encapsulated, sizeof(encapsulated), "req-hdr=0, res-hdr=%zu, %s=%zu",
                 (size_t)part1.size, with_body ? "res-body" : "null-body",
                 (size_t)(part1.size + part2.size));
    else
        snprintf(encapsulated, sizeof(encapsulated), "req-hdr=0, %s=%zu",
                 with_body ? "req-body" : "null-body", (size_t)part1.size);

    Filebuf head;
    head.Addf("%s icap://%s:%d%s ICAP/1.0\r\n", method, host.c_str(), port, service.c_str());
    head.Addf("X-Client-IP: %s\r\n", conn->client_ip ? conn->client_ip : "");
    if (conn->ident != nullptr && *conn->ident) {
        char text[256];
        snprintf(text, sizeof(text), "Local://%s", conn->ident);
        size_t len = strlen(text);
        std::string encoded(len * 4 / 3 + 8, '\0');
        if (to64frombits((unsigned char *)&encoded[0], encoded.size(),
                         (const unsigned char *)text, len) >= 0)
            head.Addf("X-Authenticated-User: %s\r\n", encoded.c_str());
    }
    if (port != 0)
        head.Addf("Host: %s:%d\r\n", host.c_str(), port);
    else
        head.Addf("Host: %s\r\n", host.c_str());
    head.Addf("Connection: keep-alive\r\nEncapsulated: %s\r\n\r\n", encapsulated);

    const int ctimeout = general_section ? general_section->ctimeout_get(conn) : 60;
    const int iotimeout = general_section ? general_section->timeout_get(conn) : 60;
    ServerPool *pool = global ? global->server_pool : nullptr;
    ServerSwap swap(conn);
    char *reply = nullptr;
    for (;;) {
        Socket *sock = pool ? pool->Find("icap", host.c_str(), port, nullptr, nullptr) : nullptr;
        const bool pooled = sock != nullptr;
        if (!pooled) {
            struct in_addr local;
            local.s_addr = 0;
            if (network_section)
                local = network_section->interface_select(conn);
            int fd = net_connect(host.c_str(), port, local, ctimeout);
            if (fd < 0)
                return 0;
            sock = new Socket(fd);
        }
        sock->SetTimeout(iotimeout);
        conn->server = sock;
        bool sent = sock->WriteFilebuf(&head) >= 0 && sock->WriteFilebuf(&part1) >= 0 &&
                    (!respmod || sock->WriteFilebuf(&part2) >= 0);
        if (sent && with_body)
            sent = net_filebuf_send_chunked(body, conn, SIDE_SERVER) >= 0;
        if (sent)
            reply = header_get(conn, SIDE_SERVER, iotimeout);
        if (reply != nullptr)
            break;
        swap.drop();
        // A pooled connection may have been closed by the server while it
        // waited; another one, or a new one, is tried.
        if (!pooled) {
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return 0;
        }
    }

    icap_head_unfold(reply);
    HEADER *answer = http_header_parse_response(reply);
    free(reply);
    if (answer == nullptr) {
        putlog(LOG_ICAP, "error parsing header from ICAP server");
        return 0;
    }
    struct Free {
        HEADER *h;
        ~Free() { http_header_free(h); }
    } answer_free{answer};
    if (answer->status == 204) {
        // Nothing to change, and nothing follows the reply head: the
        // connection is as good as after any other whole reply.
        putlog(LOG_ICAP, "no modification needed");
        Socket *sock = swap.release();
        if (answer->keep_alive != 0 && sock->inbuf_len == 0 && pool != nullptr)
            pool->Add(sock, "icap", host.c_str(), port, nullptr, nullptr);
        else
            delete sock;
        return 0;
    }
    if (answer->status >= 400 && answer->status <= 499) {
        putlog(LOG_ICAP, "ICAP response indicates client error");
        return 0;
    }
    if (answer->status >= 500 && answer->status <= 599) {
        putlog(LOG_ICAP, "ICAP response indicates server error");
        return 0;
    }
    if (answer->encapsulated == nullptr) {
        putlog(LOG_ICAP, "ICAP response without encapsulatd header");
        return 0;
    }
    IcapEncapsulation e = icap_encapsulation_parse(answer->encapsulated);
    if (e.res_body >= 0 && e.req_body >= 0) {
        putlog(LOG_ICAP, "unable to handle response with both bodies");
        return 0;
    }

    if (e.req_hdr == 0 || e.res_hdr == 0) {
        // A request head at 0 followed by a response head: the request
        // head is only context and is read past.
        if (e.req_hdr == 0 && e.res_hdr > 0) {
            char *skipped = header_get(conn, SIDE_SERVER, iotimeout);
            if (skipped == nullptr)
                return 0;
            free(skipped);
            e.req_hdr = -1;
            e.res_hdr = 0;
        }
        char *text = header_get(conn, SIDE_SERVER, iotimeout);
        if (text == nullptr)
            return 0;
        HEADER *parsed = e.res_hdr == 0 ? http_header_parse_response(text)
                                        : http_header_parse_request(text);
        free(text);
        if (parsed == nullptr)
            return 0;
        Filebuf *got = nullptr;
        if (e.res_body >= 0 || e.req_body >= 0) {
            got = new Filebuf();
            if (!read_encapsulated_body(conn, parsed, got)) {
                delete got;
                http_header_free(parsed);
                return 0;
            }
        }
        // A body to be passed on needs the buffer the engine sends from.
        if (got != nullptr && body == nullptr) {
            putlog(LOG_ICAP, "ICAP reply carries a body where none can be passed on");
            delete got;
            http_header_free(parsed);
            return 0;
        }
        Filebuf empty;
        if (e.res_hdr == 0) {
            http_header_free(conn->response);
            conn->response = parsed;
            if (!respmod) {
                if (body)
                    body->Swap(got ? got : &empty);
                putlog(LOG_ICAP, "request satisfied");
            } else {
                if (got)
                    body->Swap(got);
                length_set(conn->response, body ? body->size : 0);
                putlog(LOG_ICAP, "response modified");
            }
        } else if (!respmod) {
            bool framed = parsed->chunked || (parsed->flags & HEADER_LENGTH);
            http_header_free(conn->request);
            conn->request = parsed;
            if (body)
                body->Swap(got ? got : &empty);
            if (framed || (body && body->size))
                length_set(conn->request, body ? body->size : 0);
            putlog(LOG_ICAP, "request modified");
        } else {
            putlog(LOG_ICAP, "got request modification when expecting response modification");
            http_header_free(parsed);
        }
        delete got;
    }

    // The connection goes back to the pool only when the whole reply was
    // read and the server keeps it open.
    Socket *sock = swap.release();
    if (answer->keep_alive != 0 && sock->inbuf_len == 0 && pool != nullptr)
        pool->Add(sock, "icap", host.c_str(), port, nullptr, nullptr);
    else
        delete sock;
    return 1;
}

int icap_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return icap_section ? icap_section->check_match(connection, ICAP_RESPMOD) : 0;
}

int icap_reqmod(CONNECTION_T *connection, Filebuf *body)
{
    if (icap_section)
        icap_section->process(connection, body, ICAP_REQMOD);
    return connection->response != nullptr ? 1 : 0;
}

int icap_respmod(CONNECTION_T *connection, Filebuf *body)
{
    if (icap_section == nullptr || connection->response == nullptr)
        return 1;
    length_set(connection->response, body ? body->size : 0);
    icap_section->process(connection, body, ICAP_RESPMOD);
    return 1;
}
