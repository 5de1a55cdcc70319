// Parent proxies: the "forward" section, CARP, and the answers to a
// parent's authentication challenge.
#include "engine/forward.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <ntlm.h>

#include "config/general.h"
#include "config/profiles.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/icp.h"
#include "engine/network.h"
#include "engine/options.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"

ForwardSection *forward_section = nullptr;

namespace {

// libntlm's builders keep their results in static buffers.
pthread_mutex_t ntlm_mutex = PTHREAD_MUTEX_INITIALIZER;

uint32_t rotl(uint32_t v, int n)
{
    return (v << n) | (v >> (32 - n));
}

uint32_t running_hash(const char *text)
{
    uint32_t hash = 0;
    for (const char *p = text; *p; p++)
        hash += rotl(hash, 19) + (uint32_t)(int32_t)(signed char)*p;
    return hash;
}

// This proxy's own host name: the command line's, else the general one.
std::string own_host_name()
{
    if (proxyhost[0])
        return proxyhost;
    return general_section ? general_section->proxy_host_get() : std::string();
}

bool scheme_is(const char *scheme, const char *name)
{
    return scheme && strcasecmp(scheme, name) == 0;
}

void set_text(char *&field, const std::string &value)
{
    free(field);
    field = value.empty() ? nullptr : xstrdup(value.c_str());
}

// Sends the request (the CONNECT head while a tunnel is negotiated) to the
// parent again, with the body held for it.  1 when it went out.
int request_resend(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (header_send(h, conn, SIDE_SERVER, SEND_TO_PARENT) != 0)
        return 0;
    if (h->kind != HEADER_CONNECT && (h->flags & HEADER_LENGTH) && conn->request_body &&
        conn->request_body->size &&
        net_filebuf_send(conn->request_body, conn, SIDE_SERVER) < 0)
        return 0;
    return 1;
}

// The body of the parent's 407 is read and dropped.  When the parent
// closes after it, or its body cannot be read to the end, a new connection
// to the parent takes the answer.  false when none could be opened.
bool challenge_done(CONNECTION_T *conn)
{
    // Whether the parent keeps the connection, as its answer says; the
    // client's connection is not the parent's to end.
    int client_kept = conn->keepalive_client;
    keepalive_check_server(conn);
    conn->keepalive_client = client_kept;
    bool read = http_transfer_discard(conn, SIDE_SERVER) == 1;
    conn->flags &= ~CONN_FAILED;
    if (read && conn->keepalive_server)
        return true;
    delete conn->server;
    conn->server = nullptr;
    int timeout = general_section ? general_section->ctimeout_get(conn) : GENERAL_DEFAULT_TIMEOUT;
    int fd = net_connect(conn->forward_host, conn->forward_port, timeout);
    if (fd < 0) {
        putlog(LOG_ERROR, "network: [IP:%s]connection to proxy server failed",
               protocol_client_text(conn));
        return false;
    }
    conn->server = new Socket(fd);
    conn->server->SetTimeout(protocol_timeout(conn));
    return true;
}

// "<scheme> <base64 of the bytes>" into forward_authorization; false when
// it would not fit.
bool authorization_set(CONNECTION_T *conn, const char *scheme, const unsigned char *bytes,
                       size_t len)
{
    size_t size = BASE64_ENCODED_SIZE(len);
    std::string code(size, '\0');
    int64_t n = to64frombits((unsigned char *)&code[0], size, bytes, len);
    if (n < 0)
        return false;
    code.resize((size_t)n);
    std::string value = std::string(scheme) + " " + code;
    if (value.size() > 4095)
        return false;
    free(conn->forward_authorization);
    conn->forward_authorization = xstrdup(value.c_str());
    return true;
}

bool prefix_nocase(const char *text, const char *prefix)
{
    return text && strncasecmp(text, prefix, strlen(prefix)) == 0;
}

} // namespace

// ---------------------------------------------------------------- Forward

Forward::Forward(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      groups(item.fields[2].string_list),
      profiles(item.fields[3].string_list),
      host(item.fields[4].raw),
      user(item.fields[5].raw),
      password(item.fields[6].raw),
      domain(item.fields[7].raw),
      port(item.fields[8].int_value),
      icp_mode(item.fields[9].int_value),
      icp_port(item.fields[10].int_value),
      proxy_type(item.fields[11].int_value),
      protocols(item.fields[12].int_value),
      down(0)
{
}

// ---------------------------------------------------------- ForwardSection

ForwardSection::ForwardSection() : Section("forward", 0)
{
    // The schema must declare every field read here.
    ASSERT(fields.size() >= 3);
    ASSERT(!subsections.empty() && subsections[0].fields.size() >= 13);
    enabled = &fields[0].int_value;
    carp = &fields[1].int_value;
    carp_modulo = &fields[2].uint_value;
    pthread_mutex_init(&status_lock, nullptr);
}

ForwardSection::~ForwardSection()
{
    rules.clear();
    pthread_mutex_destroy(&status_lock);
}

void ForwardSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

time_t ForwardSection::get_status(const Forward *rule) const
{
    pthread_mutex_lock(&status_lock);
    time_t down = rule->down;
    pthread_mutex_unlock(&status_lock);
    return down;
}

void ForwardSection::set_status(const Forward *rule, int down) const
{
    pthread_mutex_lock(&status_lock);
    const_cast<Forward *>(rule)->down = down ? time(nullptr) : 0;
    pthread_mutex_unlock(&status_lock);
}

uint32_t carp_hash_value(const char *url, const char *host, uint32_t modulo)
{
    uint32_t url_hash = running_hash(url ? url : "");
    uint32_t member = 0;
    if (host && *host)
        member = rotl(running_hash(host) * 0x62531966u, 21);
    uint32_t combined = rotl((url_hash ^ member) * 0x62531966u, 21);
    return modulo ? combined % modulo : combined;
}

uint32_t ForwardSection::carp_hash(const char *url, const char *host) const
{
    return carp_hash_value(url, host, *carp_modulo);
}

void ForwardSection::peer_select_carp(CONNECTION_T *conn, std::list<proxy_candidate> &candidates)
{
    const char *url = conn->request && conn->request->url ? conn->request->url : "";
    for (proxy_candidate &c : candidates)
        c.score = carp_hash(url, c.rule->host.c_str());
}

void ForwardSection::peer_select_icp(CONNECTION_T *conn, std::list<proxy_candidate> &candidates)
{
    icp_select(conn, candidates);
}

Forward *ForwardSection::proxy_select(CONNECTION_T *conn, std::list<proxy_candidate> &candidates,
                                      const std::string &own_host)
{
    bool use_carp = *carp != 0;
    bool is_connect = conn->request && conn->request->kind == HEADER_CONNECT;
    if (!is_connect) {
        if (use_carp)
            peer_select_carp(conn, candidates);
        else
            peer_select_icp(conn, candidates);
    }
    if (!use_carp)
        for (proxy_candidate &c : candidates)
            if (c.rule->icp_mode == FORWARD_ICP_NONE)
                c.score = 1;
    uint32_t highest = 0;
    for (const proxy_candidate &c : candidates)
        if (c.score > highest)
            highest = c.score;
    if (use_carp) {
        const char *url = conn->request && conn->request->url ? conn->request->url : "";
        uint32_t own = carp_hash(url, own_host.c_str());
        if (own >= highest)
            return nullptr;
        conn->flags |= CONN_CARP;
    } else if (highest == 0) {
        return nullptr;
    }
    putlog(LOG_DEBUG, "[IP:%s] forwarding: highest peer priority: %u", protocol_client_text(conn),
           highest);
    int count = 0;
    for (const proxy_candidate &c : candidates)
        if (c.score == highest)
            count++;
    int pick = count > 1 ? rand() % count : 0;
    Forward *chosen = nullptr;
    for (proxy_candidate &c : candidates) {
        if (c.score != highest)
            continue;
        if (pick-- == 0) {
            chosen = c.rule;
            if (use_carp) {
                conn->log_entry.set_peercode(20);
            } else if (chosen->icp_mode == FORWARD_ICP_PARENT) {
                conn->log_entry.set_peercode(c.reply[0] == ICP_OP_HIT ? 9 : 3);
            } else if (chosen->icp_mode == FORWARD_ICP_SIBLING) {
                conn->log_entry.set_peercode(6);
            } else {
                conn->log_entry.set_peercode(16);
            }
            break;
        }
    }
    return chosen;
}

int ForwardSection::forward_do(CONNECTION_T *conn)
{
    if (conn->bypass & BYPASS_FORWARD)
        return 0;
    read_lock();
    if (*enabled == 0 || !conn->request) {
        unlock();
        return 0;
    }
    const std::string own_host = own_host_name();
    HEADER *h = conn->request;
    bool is_connect = h->kind == HEADER_CONNECT;
    std::list<proxy_candidate> candidates;
    for (Forward &rule : rules) {
        if (rule.enabled == 0)
            continue;
        if (!own_host.empty() && rule.host == own_host)
            continue;
        if (is_connect) {
            if (!(rule.protocols & FORWARD_PROTO_CONNECT))
                continue;
        } else if ((scheme_is(h->scheme, "http") && !(rule.protocols & FORWARD_PROTO_HTTP)) ||
                   (scheme_is(h->scheme, "ftp") && !(rule.protocols & FORWARD_PROTO_FTP))) {
            continue;
        }
        if (!profile_rule_match(conn, rule.groups, rule.profiles))
            continue;
        if (rule.host.empty())
            break;
        if (rule.proxy_type == FORWARD_HTTP &&
            (((conn->flags & CONN_REVALIDATE) && rule.icp_mode != FORWARD_ICP_NONE) ||
             (conn->flags & CONN_NO_HTTP_PARENT)))
            continue;
        candidates.emplace_back();
        candidates.back().rule = &rule;
    }
    if (!candidates.empty()) {
        Forward *rule = proxy_select(conn, candidates, own_host);
        if (rule) {
            conn->forward_type = rule->proxy_type;
            set_text(conn->forward_host, rule->host);
            set_text(conn->forward_user, rule->user);
            set_text(conn->forward_password, rule->password);
            set_text(conn->forward_domain, rule->domain);
            conn->forward_port = rule->port != -1 ? rule->port
                                 : rule->proxy_type == FORWARD_CONNECT ? 443 : 3128;
            putlog(LOG_FORWARD, "[IP:%s] forwarding to %s:%d", protocol_client_text(conn),
                   rule->host.c_str(), conn->forward_port);
        }
    }
    unlock();
    return 0;
}

// ------------------------------------------------- parent authentication

int proxy_authenticate(CONNECTION_T *conn)
{
    const char *challenge = conn->response ? conn->response->proxy_authenticate_header : nullptr;
    if (!challenge)
        return 0;
    // Credentials exist only for the parent whose rule names them.
    if (!conn->forward_user && !conn->forward_password)
        return 0;
    // A body that went to the parent as it arrived cannot be sent again:
    // the challenge goes to the client.
    if (conn->flags & CONN_STREAM_BODY)
        return 0;
    if (strncmp(challenge, "NTLM", 4) == 0) {
        putlog(LOG_ADVICE, "[IP:%s] got NTLM header", protocol_client_text(conn));
        return send_ntlm_response(conn);
    }
    if (prefix_nocase(challenge, "Basic"))
        return send_basic_response(conn);
    return 0;
}

int send_basic_response(CONNECTION_T *conn)
{
    std::string pair = std::string(conn->forward_user ? conn->forward_user : "") + ":" +
                       (conn->forward_password ? conn->forward_password : "");
    if (pair.size() > 4094)
        return 0;
    if (!authorization_set(conn, "Basic", (const unsigned char *)pair.data(), pair.size()))
        return 0;
    // From here on a connection that yields no answer is reopened and the
    // request resent with these credentials.
    conn->flags |= CONN_PARENT_AUTH;
    if (!challenge_done(conn))
        return 0;
    return request_resend(conn);
}

int send_ntlm_response(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    int kept = conn->keepalive_server;
    // The negotiation rounds carry no body.
    std::string method = h->method ? h->method : "GET";
    uint64_t length = h->content_length;
    int flags = h->flags;
    bool is_connect = h->kind == HEADER_CONNECT;
    auto restore = [&]() {
        conn->keepalive_server = kept;
        if (!is_connect)
            header_field_set(&h->method, method.c_str());
        h->content_length = length;
        h->flags = flags;
    };
    auto fail = [&]() {
        putlog(LOG_ADVICE, "error in NTLM forwarding");
        restore();
        return 0;
    };
    conn->keepalive_server = 1;
    if (!is_connect)
        header_field_set(&h->method, "GET");
    h->flags &= ~HEADER_LENGTH;

    if (!challenge_done(conn))
        return fail();
    conn->keepalive_server = 1;
    {
        tSmbNtlmAuthRequest request;
        pthread_mutex_lock(&ntlm_mutex);
        buildSmbNtlmAuthRequest(&request, conn->forward_user ? conn->forward_user : "",
                                conn->forward_domain ? conn->forward_domain : "");
        bool ok = authorization_set(conn, "NTLM", (const unsigned char *)&request,
                                    SmbLength(&request));
        pthread_mutex_unlock(&ntlm_mutex);
        if (!ok)
            return fail();
    }
    if (header_send(h, conn, SIDE_SERVER, SEND_TO_PARENT) != 0)
        return fail();
    char *head = header_get(conn, SIDE_SERVER, protocol_timeout(conn));
    if (!head)
        return fail();
    HEADER *answer = http_header_parse_response(head);
    free(head);
    if (!answer) {
        putlog(LOG_ERROR, "[IP:%s] failed to parse header recieved from upstream proxy server",
               protocol_client_text(conn));
        return fail();
    }
    http_header_free(conn->response);
    conn->response = answer;
    const char *value = answer->proxy_authenticate_header;
    if (!prefix_nocase(value, "NTLM "))
        return fail();
    // The challenge's body is read off; the connection must stay: NTLM
    // authenticates the connection, not the request.
    if (http_transfer_discard(conn, SIDE_SERVER) != 1) {
        conn->flags &= ~CONN_FAILED;
        return fail();
    }
    tSmbNtlmAuthChallenge challenge;
    memset(&challenge, 0, sizeof(challenge));
    int64_t n = from64tobits((char *)&challenge, sizeof(challenge), value + 5);
    if (n < 48)  // shorter than the fixed part of a challenge message
        return fail();
    {
        tSmbNtlmAuthResponse response;
        pthread_mutex_lock(&ntlm_mutex);
        buildSmbNtlmAuthResponse(&challenge, &response,
                                 conn->forward_user ? conn->forward_user : "",
                                 conn->forward_password ? conn->forward_password : "");
        bool ok = authorization_set(conn, "NTLM", (const unsigned char *)&response,
                                    SmbLength(&response));
        pthread_mutex_unlock(&ntlm_mutex);
        if (!ok)
            return fail();
    }
    restore();
    conn->flags |= CONN_PARENT_AUTH;
    return request_resend(conn);
}
