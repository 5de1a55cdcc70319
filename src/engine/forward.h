// Parent proxies: the "forward" section that chooses, per request, whether
// it goes directly or through an HTTP parent, a SOCKS server or a parent
// that opens CONNECT tunnels, with CARP spreading URLs over several
// parents; and the answers to a parent's 407 challenge (Basic, and NTLM
// through libntlm).
//
// "forward" globals: 0 enabled BOOL, 1 carp BOOL, 2 carp_modulo UINT.
// Rule fields, by position:
//   0 enabled BOOL   1 comment STRING   2 groups STRING_LIST
//   3 profiles STRING_LIST   4 host   5 user   6 password   7 ntlm_domain
//   8 port INT (-1: 443 for tunnels, else 3128)   9 icp_mode SELECT_ONE
//   10 icp_port INT   11 proxy_type SELECT_ONE (FORWARD_*)
//   12 protocols SELECT_MANY (0x1 http, 0x2 ftp, 0x4 CONNECT)
//
// Lock order: "forward" (read, for the whole choice), then "general".
// The down marks of the rules are guarded by status_lock alone.
#ifndef KV_ENGINE_FORWARD_H
#define KV_ENGINE_FORWARD_H

#include <cstdint>
#include <ctime>
#include <list>
#include <pthread.h>
#include <string>

#include "config/section.h"
#include "config/values.h"

struct CONNECTION_T;

// Protocol mask bits of a rule.
enum {
    FORWARD_PROTO_HTTP = 0x1,
    FORWARD_PROTO_FTP = 0x2,
    FORWARD_PROTO_CONNECT = 0x4,
};

// ICP modes of a rule.
enum {
    FORWARD_ICP_NONE = 0,
    FORWARD_ICP_PARENT = 1,
    FORWARD_ICP_SIBLING = 2,
};

// One rule.
class Forward {
public:
    explicit Forward(const Item &item);

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    std::string host;
    std::string user;
    std::string password;
    std::string domain;
    int32_t port;
    int32_t icp_mode;
    int32_t icp_port;
    int32_t proxy_type;
    int32_t protocols;
    time_t down;  // when an ICP query went unanswered; 0: up
};

// Size of one ICP message buffer of a candidate.
#define FORWARD_ICP_MESSAGE_MAX 16384

// One candidate parent of a request.
struct proxy_candidate {
    uint32_t request_number = 0;
    uint32_t score = 0;
    unsigned char reply[FORWARD_ICP_MESSAGE_MAX] = {255};  // first byte: reply opcode, 255 none
    Forward *rule = nullptr;
};

class ForwardSection : public Section {
public:
    ForwardSection();
    ~ForwardSection() override;

    void update() override;

    // Chooses a parent for the request and writes it into the connection
    // (forward_type, host, port, credentials); leaves the connection as it
    // was when the request goes directly.  Returns 0.
    int forward_do(CONNECTION_T *conn);

    // The candidates' scores and the choice among them; null: direct.
    Forward *proxy_select(CONNECTION_T *conn, std::list<proxy_candidate> &candidates,
                          const std::string &own_host);
    void peer_select_carp(CONNECTION_T *conn, std::list<proxy_candidate> &candidates);
    void peer_select_icp(CONNECTION_T *conn, std::list<proxy_candidate> &candidates);

    // The CARP score of a member host for a URL.
    uint32_t carp_hash(const char *url, const char *host) const;

    time_t get_status(const Forward *rule) const;
    void set_status(const Forward *rule, int down) const;

private:
    const int32_t *enabled;
    const int32_t *carp;
    const uint32_t *carp_modulo;
    std::list<Forward> rules;
    mutable pthread_mutex_t status_lock;
};

extern ForwardSection *forward_section;

// The CARP hash with an explicit modulo (0: none); the section's carp_hash
// applies its own.
uint32_t carp_hash_value(const char *url, const char *host, uint32_t modulo);

// Answers the parent's 407 in conn->response by the scheme of its
// Proxy-Authenticate value (NTLM or Basic) and sends the request again
// with the credentials of the parent rule, which stay in
// forward_authorization until the request ends.  1 when the request went
// out again; 0 when there is no usable challenge, no credentials, or the
// exchange failed (the caller passes the 407 on).
int proxy_authenticate(CONNECTION_T *conn);

// The Basic answer: 1 when the request was sent again.
int send_basic_response(CONNECTION_T *conn);
// The three-message NTLM exchange: 1 when the final request was sent.
int send_ntlm_response(CONNECTION_T *conn);

#endif
