// ICP client and server.
#include "engine/icp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "engine/connection.h"
#include "engine/dns.h"
#include "engine/forward.h"
#include "engine/header.h"
#include "engine/protocol.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

int (*icp_port_provider)() = nullptr;
int (*icp_timeout_provider)() = nullptr;
bool (*icp_cache_exists)(const char *key) = nullptr;

namespace {

void put16(std::string &out, uint16_t v)
{
    out += (char)(v >> 8);
    out += (char)(v & 0xFF);
}

void put32(std::string &out, uint32_t v)
{
    for (int shift = 24; shift >= 0; shift -= 8)
        out += (char)((v >> shift) & 0xFF);
}

// Addresses are kept as on the wire: their bytes go out unchanged.
void put_addr(std::string &out, uint32_t addr)
{
    out.append((const char *)&addr, 4);
}

uint32_t get32(const unsigned char *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

uint32_t parse_addr(const char *text)
{
    struct in_addr a;
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return 0;
    return a.s_addr;
}

int64_t now_ms()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (int64_t)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

// The URL a query names: scheme://host+path when the port is the scheme's
// default, else the request's URL.
std::string query_url(const HEADER *h)
{
    const char *scheme = h->scheme ? h->scheme : "";
    bool default_port = (strcasecmp(scheme, "http") == 0 && h->port == 80) ||
                        (strcasecmp(scheme, "ftp") == 0 && h->port == 21);
    std::string url;
    if (default_port) {
        url = std::string(scheme) + "://" + (h->host ? h->host : "") + (h->path ? h->path : "");
        if (url.size() > 1022)
            url.resize(1022);
    } else {
        url = h->url ? h->url : "";
        if (url.size() > ICP_MESSAGE_MAX - ICP_QUERY_HEADER_LEN - 1)
            url.resize(ICP_MESSAGE_MAX - ICP_QUERY_HEADER_LEN - 1);
    }
    return url;
}

} // namespace

const char *icp_opcode_name(int opcode)
{
    switch (opcode) {
    case ICP_OP_INVALID: return "ICP_OP_INVALID";
    case ICP_OP_QUERY: return "ICP_OP_QUERY";
    case ICP_OP_HIT: return "ICP_OP_HIT";
    case ICP_OP_MISS: return "ICP_OP_MISS";
    case ICP_OP_ERR: return "ICP_OP_ERR";
    case ICP_OP_SECHO: return "ICP_OP_SECHO";
    case ICP_OP_DECHO: return "ICP_OP_DECHO";
    case ICP_OP_MISS_NOFETCH: return "ICP_OP_MISS_NOFETCH";
    case ICP_OP_DENIED: return "ICP_OP_DENIED";
    case ICP_OP_HIT_OBJ: return "ICP_OP_HIT_OBJ";
    default: return "ICP_OP_UNKNOWN";
    }
}

std::string icp_query_encode(uint32_t request_number, uint32_t sender, uint32_t requester,
                             const std::string &url)
{
    std::string out;
    out += (char)ICP_OP_QUERY;
    out += (char)3;
    put16(out, (uint16_t)(ICP_QUERY_HEADER_LEN + url.size() + 1));
    put32(out, request_number);
    put32(out, 0);
    put32(out, 0);
    put_addr(out, sender);
    put_addr(out, requester);
    out += url;
    out += '\0';
    return out;
}

std::string icp_reply_encode(const IcpMessage &query, int opcode)
{
    std::string out;
    bool with_url = opcode != ICP_OP_INVALID;
    out += (char)opcode;
    out += (char)query.version;
    put16(out, (uint16_t)(ICP_HEADER_LEN + (with_url ? query.url.size() + 1 : 0)));
    put32(out, query.request_number);
    put32(out, query.options);
    put32(out, query.option_data);
    put_addr(out, query.sender);
    if (with_url) {
        out += query.url;
        out += '\0';
    }
    return out;
}

bool icp_decode(const unsigned char *data, size_t len, IcpMessage *out)
{
    if (len < ICP_HEADER_LEN || len > ICP_MESSAGE_MAX)
        return false;
    size_t length = ((size_t)data[2] << 8) | data[3];
    if (length < ICP_HEADER_LEN || length > len)
        return false;
    out->opcode = data[0];
    out->version = data[1];
    out->request_number = get32(data + 4);
    out->options = get32(data + 8);
    out->option_data = get32(data + 12);
    memcpy(&out->sender, data + 16, 4);
    out->url.clear();
    size_t url_at = ICP_HEADER_LEN;
    if (out->opcode == ICP_OP_QUERY) {
        if (length < ICP_QUERY_HEADER_LEN)
            return false;
        memcpy(&out->requester, data + 20, 4);
        url_at = ICP_QUERY_HEADER_LEN;
    }
    if (length > url_at) {
        const void *nul = memchr(data + url_at, '\0', length - url_at);
        if (!nul)
            return false;
        out->url.assign((const char *)data + url_at, (size_t)((const unsigned char *)nul - data) - url_at);
    } else if (out->opcode == ICP_OP_QUERY) {
        return false;
    }
    return true;
}

void icp_select(CONNECTION_T *conn, std::list<proxy_candidate> &candidates)
{
    const char *client = protocol_client_text(conn);
    HEADER *h = conn->request;
    if (!h)
        return;
    std::string url = query_url(h);
    uint32_t sender = parse_addr(conn->interface_ip);
    uint32_t requester = parse_addr(conn->client_ip);
    int sock = -1;
    int pending = 0;
    std::list<proxy_candidate *> asked;
    for (proxy_candidate &c : candidates) {
        Forward *rule = c.rule;
        if (rule->icp_mode == FORWARD_ICP_NONE)
            continue;
        time_t down = forward_section->get_status(rule);
        if (down != 0) {
            if (time(nullptr) - down < 30)
                continue;
            forward_section->set_status(rule, 0);
        }
        // A peer named by host name is asked at the address the name
        // resolves to (through the DNS cache); one that does not resolve is
        // left out, never asked at 0.0.0.0, where any local ICP service
        // would answer for it.
        HOSTENT *peer = net_dns(rule->host.c_str());
        if (peer == nullptr) {
            putlog(LOG_ICP, "ICP peer %s does not resolve: not asked", rule->host.c_str());
            continue;
        }
        struct in_addr peer_address;
        memcpy(&peer_address, peer->address, 4);
        hostent_free(peer);
        c.reply[0] = 255;
        asked.push_back(&c);
        if (sock < 0) {
            sock = s_socket(AF_INET, SOCK_DGRAM, 0);
            if (sock < 0)
                continue;
            struct sockaddr_in any;
            memset(&any, 0, sizeof(any));
            any.sin_family = AF_INET;
            if (bind(sock, (struct sockaddr *)&any, sizeof(any)) != 0) {
                close(sock);
                sock = -1;
                continue;
            }
        }
        c.request_number = (uint32_t)rand();
        struct sockaddr_in to;
        memset(&to, 0, sizeof(to));
        to.sin_family = AF_INET;
        to.sin_port = htons((uint16_t)rule->icp_port);
        to.sin_addr = peer_address;
        std::string query = icp_query_encode(c.request_number, sender, requester, url);
        if (sendto(sock, query.data(), query.size(), 0, (struct sockaddr *)&to, sizeof(to)) ==
            (ssize_t)query.size())
            pending++;
    }
    int timeout = icp_timeout_provider ? icp_timeout_provider() : ICP_DEFAULT_TIMEOUT_MS;
    int64_t deadline = now_ms() + (timeout > 0 ? timeout : 0);
    while (sock >= 0 && pending > 0) {
        int64_t left = deadline - now_ms();
        if (left <= 0)
            break;
        struct pollfd p = {sock, POLLIN, 0};
        int r = poll(&p, 1, (int)left);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        unsigned char buf[ICP_MESSAGE_MAX];
        struct sockaddr_in from;
        socklen_t from_len = sizeof(from);
        ssize_t n = recvfrom(sock, buf, sizeof(buf), MSG_DONTWAIT, (struct sockaddr *)&from,
                             &from_len);
        IcpMessage reply;
        if (n <= 0 || !icp_decode(buf, (size_t)n, &reply)) {
            putlog(LOG_ICP, "error: [IP:%s] failed to receive ICP packet", client);
            continue;
        }
        char from_text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, from_text, sizeof(from_text));
        putlog(LOG_ICP, "[IP:%s] response opcode from %s:%d: %s", client, from_text,
               ntohs(from.sin_port), icp_opcode_name(reply.opcode));
        proxy_candidate *match = nullptr;
        for (proxy_candidate *c : asked)
            if (c->request_number == reply.request_number && c->reply[0] == 255) {
                match = c;
                break;
            }
        if (!match) {
            putlog(LOG_ICP, "error: [IP:%s] received unknown ICP response number", client);
            continue;
        }
        size_t keep = std::min((size_t)n, sizeof(match->reply));
        memcpy(match->reply, buf, keep);
        pending--;
    }
    if (sock >= 0)
        close(sock);
    for (proxy_candidate *c : asked) {
        int opcode = c->reply[0];
        if (opcode == 255) {
            putlog(LOG_FORWARD, "error: [IP:%s] no ICP response received from %s", client,
                   c->rule->host.c_str());
            forward_section->set_status(c->rule, 1);
            continue;
        }
        if (c->rule->icp_mode == FORWARD_ICP_PARENT)
            c->score = opcode == ICP_OP_HIT ? 100 : opcode == ICP_OP_MISS ? 10 : 0;
        else
            c->score = opcode == ICP_OP_HIT ? 1000 : 0;
    }
}

std::string icp_answer(const unsigned char *data, size_t len)
{
    if (len < ICP_HEADER_LEN)
        return std::string();
    size_t length = ((size_t)data[2] << 8) | data[3];
    if (length < ICP_HEADER_LEN) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return std::string();
    }
    IcpMessage query;
    query.opcode = data[0];
    query.version = data[1];
    query.request_number = get32(data + 4);
    query.options = get32(data + 8);
    query.option_data = get32(data + 12);
    memcpy(&query.sender, data + 16, 4);
    if (query.opcode != ICP_OP_QUERY) {
        putlog(LOG_ICP, "error: unhandled ICP opcode: %s", icp_opcode_name(query.opcode));
        return icp_reply_encode(query, ICP_OP_INVALID);
    }
    IcpMessage full;
    if (length > len || !icp_decode(data, len, &full) || full.url.empty()) {
        putlog(LOG_ICP, "error: received ICP QUERY with no payload");
        return icp_reply_encode(query, ICP_OP_INVALID);
    }
    query.url = full.url;
    URL *u = url_parse(query.url.c_str());
    if (!u) {
        putlog(LOG_ICP, "error: received invalid URL in query");
        return icp_reply_encode(query, ICP_OP_INVALID);
    }
    char *key = url_create(u);
    url_free(u);
    bool hit = key && icp_cache_exists && icp_cache_exists(key);
    putlog(LOG_ICP, "%s: %s", hit ? "hit" : "miss", key ? key : "");
    free(key);
    return icp_reply_encode(query, hit ? ICP_OP_HIT : ICP_OP_MISS);
}

void *icp_thread(void *)
{
    int port = icp_port_provider ? icp_port_provider() : 0;
    if (port <= 0 || port > 65535)
        return nullptr;
    int sock = s_socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in any;
    memset(&any, 0, sizeof(any));
    any.sin_family = AF_INET;
    any.sin_port = htons((uint16_t)port);
    if (sock < 0 || bind(sock, (struct sockaddr *)&any, sizeof(any)) != 0) {
        if (sock >= 0)
            close(sock);
        putlog(LOG_ERROR, "ICP: failed to start ICP thread");
        return nullptr;
    }
    putlog(LOG_ICP, "network: listening on port *:%d", port);
    static unsigned char buf[ICP_MESSAGE_MAX];
    for (;;) {
        struct sockaddr_in from;
        socklen_t from_len = sizeof(from);
        ssize_t n = recvfrom(sock, buf, sizeof(buf), 0, (struct sockaddr *)&from, &from_len);
        if (n <= 0)
            continue;
        std::string answer = icp_answer(buf, (size_t)n);
        if (!answer.empty())
            (void)sendto(sock, answer.data(), answer.size(), 0, (struct sockaddr *)&from,
                         from_len);
    }
}
