// ICP (RFC 2186 message layout) over UDP: the client that asks parents and
// siblings whether they hold a URL while a parent is chosen, and the
// service thread that answers other proxies' queries from the cache index.
//
// Every multi-byte field travels in network byte order in both directions.
#ifndef KV_ENGINE_ICP_H
#define KV_ENGINE_ICP_H

#include <cstddef>
#include <cstdint>
#include <list>
#include <netinet/in.h>
#include <string>

struct CONNECTION_T;
struct proxy_candidate;

enum {
    ICP_OP_INVALID = 0,
    ICP_OP_QUERY = 1,
    ICP_OP_HIT = 2,
    ICP_OP_MISS = 3,
    ICP_OP_ERR = 4,
    ICP_OP_SECHO = 10,
    ICP_OP_DECHO = 11,
    ICP_OP_MISS_NOFETCH = 21,
    ICP_OP_DENIED = 22,
    ICP_OP_HIT_OBJ = 23,
};

// Longest message.
#define ICP_MESSAGE_MAX 65546
// Fixed part of a reply; a query adds the requester address.
#define ICP_HEADER_LEN 20
#define ICP_QUERY_HEADER_LEN 24

// One decoded message, numbers in host order.
struct IcpMessage {
    int opcode = ICP_OP_INVALID;
    int version = 0;
    uint32_t request_number = 0;
    uint32_t options = 0;
    uint32_t option_data = 0;
    uint32_t sender = 0;     // address bytes as on the wire
    uint32_t requester = 0;  // queries only
    std::string url;         // without its NUL
};

const char *icp_opcode_name(int opcode);

// The wire form of a query (opcode 1, version 3) or a reply (the query's
// fields, its URL at offset 20).
std::string icp_query_encode(uint32_t request_number, uint32_t sender, uint32_t requester,
                             const std::string &url);
std::string icp_reply_encode(const IcpMessage &query, int opcode);

// Decodes a datagram; false when it is shorter than its header, its length
// field disagrees with its size, or (with url_wanted) its URL part has no
// NUL.  A query's URL starts at offset 24, a reply's at 20.
bool icp_decode(const unsigned char *data, size_t len, IcpMessage *out);

// Where the ICP settings come from: the cache section supplies them once
// it exists.  Without a provider the service is off and an exchange waits
// ICP_DEFAULT_TIMEOUT_MS.
#define ICP_DEFAULT_TIMEOUT_MS 1000
extern int (*icp_port_provider)();
extern int (*icp_timeout_provider)();
// Whether the cache index holds a key; without one every query is a miss.
extern bool (*icp_cache_exists)(const char *key);

// The ICP exchange of one request: queries every ICP candidate that is not
// marked down, waits for the replies within the ICP time-out and scores
// them (parent: hit 100, miss 10; sibling: hit 1000).  Silent peers are
// marked down.
void icp_select(CONNECTION_T *conn, std::list<proxy_candidate> &candidates);

// The answer to one received datagram, or an empty string for none.
std::string icp_answer(const unsigned char *data, size_t len);

// Service thread: answers queries on the ICP port; returns at once when the
// port is 0.
void *icp_thread(void *arg);

#endif
