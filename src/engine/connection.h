// CONNECTION_T: one client connection of the proxy and the state of the
// request it is serving.  Created by net_accept (or by the internal HTTP
// client and the prefetcher through connection_new); an accepted record is
// freed by net_close, the others by connection_free.  One thread uses a
// record at a time, so it has no lock.
#ifndef KV_ENGINE_CONNECTION_H
#define KV_ENGINE_CONNECTION_H

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

#include "runtime/log.h"
#include "runtime/misc.h"

class Socket;
class Filebuf;
class Stats;
class HTMLStream;
struct HEADER;
struct CACHEMAP;
struct url_command_t;

// Bits of CONNECTION_T::flags, the request flag word (0 after every request).
enum {
    CONN_BUFFERING = 0x1,          // the response body is buffered whole for processing
    CONN_REVALIDATE = 0x2,         // the cached object must be revalidated with the server
    CONN_VALIDATED = 0x4,          // the server confirmed the cached object
    CONN_CACHE_WRITE = 0x8,        // this request writes a new cache object
    CONN_PARENT_AUTH = 0x10,       // authentication toward the parent was already tried
    CONN_OFFLINE = 0x20,           // URL command "offline": answer from the cache only
    CONN_PROCESS = 0x40,           // response processing wanted
    CONN_POOLED = 0x80,            // the server connection came from the server pool
    CONN_DOWNLOAD_LIMIT = 0x100,   // a download allowance applies to this request
    CONN_PREFETCH = 0x200,         // prefetch request (no client)
    CONN_DECODE = 0x400,           // the body is decoded before it is sent to the client
    CONN_FAILED = 0x800,           // the transfer failed or the allowance is used up
    CONN_NO_HTTP_PARENT = 0x1000,  // HTTP parent rules are skipped (URL command "https")
    CONN_TLS = 0x2000,             // the server connection is a TLS client connection
    CONN_CLIENT_GONE = 0x4000,     // nothing more is written to the client
    CONN_NO_OBSERVER = 0x8000,     // server bodies are read without the read observer
    CONN_HEAD = 0x10000,           // HEAD request: no body is sent
    CONN_CARP = 0x20000,           // the parent was chosen by CARP; no cache object
    CONN_STREAM_BODY = 0x40000,    // the request body is streamed from the client socket
    CONN_CONTINUED = 0x80000,      // "100 Continue" was sent for the request body
    CONN_CLOSE_DELIMITED = 0x100000,  // the client's body ends with the connection
    CONN_BODY_PENDING = 0x200000,  // the request body is still (partly) on the client socket
    CONN_MUST_VALIDATE = 0x400000, // the stale cached object may not be served unvalidated
    CONN_CONDITIONAL = 0x800000,   // the client's own request was conditional
    // What the antivirus connectors found in this request's body: a
    // clean verdict, and a connector that applied but gave none.
    CONN_SCANNED_CLEAN = 0x10000000,
    CONN_SCAN_FAILED = 0x20000000,
};

// Bits of CONNECTION_T::connection_flags.
enum {
    AUTH_REQUIRED = 0x2,  // the access rule needs credentials or authentication failed
};

// Values of CONNECTION_T::forward_type: the upstream path of the request.
enum {
    FORWARD_HTTP = 0,
    FORWARD_SOCKS4 = 1,
    FORWARD_SOCKS5 = 2,
    FORWARD_CONNECT = 3,
    FORWARD_DIRECT = 4,
};

// Bits of CONNECTION_T::access_flags, the access word of the admitting rule.
enum {
    ACCESS_INTERFACE = 0x1,
    ACCESS_PROXY = 0x2,
    ACCESS_TRANSPARENT = 0x4,
    ACCESS_HOST_HEADER = 0x8,
    ACCESS_CONNECT = 0x10,
    ACCESS_BYPASS = 0x20,
    ACCESS_URL_COMMANDS = 0x40,
};

// Bits of CONNECTION_T::bypass: filters a request is excused from.
enum {
    BYPASS_URLFILTER = 0x1,
    BYPASS_HEADER = 0x2,
    BYPASS_MIME = 0x4,
    BYPASS_REDIRECT = 0x8,
    BYPASS_COOKIE = 0x10,
    BYPASS_REWRITE = 0x20,
    BYPASS_FORWARD = 0x80,
    BYPASS_KEYWORD = 0x100,
    BYPASS_DNSBL = 0x200,
    BYPASS_LIMITS = 0x400,
    BYPASS_ANTIVIRUS = 0x800,
    BYPASS_ICAP = 0x1000,
    BYPASS_URLBL = 0x2000,
};

// Side numbers of the functions that work on one socket of a connection.
enum {
    SIDE_CLIENT = 0,
    SIDE_SERVER = 1,
};

// "No limit" for the transfer allowances.
constexpr uint64_t CONN_NO_LIMIT = UINT64_MAX;

#define CATEGORY_SCORES 32

struct CONNECTION_T {
    int32_t thread_index;       // thread-table row of the worker serving it
    uint32_t client_id;         // number given at accept; 0 is never given
    uint32_t flags;             // CONN_* bits
    uint32_t connection_flags;  // AUTH_REQUIRED
    Socket *client;             // owned; deleted by net_close
    Socket *server;             // server connection of the current request
    Socket *auth_socket;        // connection to the external authentication service
    int32_t prefetch_depth;
    int32_t auth_state;         // 2 authenticated, 0 challenge pending, -1 failed
    char *client_ip;            // owned: dotted text of the client's address
    int32_t listen_port;        // port of the listener that accepted it
    char *interface_ip;         // owned: dotted text of the accepting local address
    int32_t requests;           // requests completed on this connection
    int32_t keepalive_client;
    int32_t keepalive_server;
    time_t buffer_deadline;     // 0: none
    // Byte totals and allowances are 64-bit so that no transfer stops or
    // wraps at 4 GiB; CONN_NO_LIMIT means no limit.
    uint64_t bytes_downloaded;
    uint64_t download_allowance;
    uint64_t bytes_uploaded;
    uint64_t upload_allowance;
    char *forward_authorization;  // owned: Proxy-Authorization sent to the parent
    char *forward_host;           // owned: parent or SOCKS host; freed per request
    int32_t forward_port;
    int32_t forward_type;         // FORWARD_*
    char *ident;                  // owned: "user@address"
    char *auth_user;              // owned
    char *auth_challenge;         // owned
    char *auth_tracking_id;       // owned
    StringList dn_list;           // the user's directory name split at ','
    StringList ldap_groups;       // the user's directory groups
    char *forward_user;           // owned
    char *forward_password;       // owned
    char *forward_domain;         // owned
    // The previous request of the connection went to a parent with a user
    // name: the credentials are gone with it, but the next request's body
    // is held in case that parent asks for them again.
    bool parent_credentials_before;
    int32_t parent_refusal;       // status of a parent that refused a tunnel; 0: none
    std::string interface_user;
    std::string interface_password;
    uint32_t access_flags;        // ACCESS_*; 0 after every request
    uint32_t bypass;              // BYPASS_*; kept across the requests of a connection
    url_command_t **url_commands; // owned, per request
    StringList profiles;          // the request's profiles, per request
    CACHEMAP *cachemap;           // one reference to the request's cache object
    HEADER *request;              // owned, per request
    HEADER *response;             // released by the exchange that read it
    Filebuf *request_body;        // owned, per request
    HTMLStream *html_stream;      // owned, per request
    std::map<std::string, std::string> variables;  // template variables, per request
    LogEntry log_entry;           // the access-log record of the request
    Stats *user_stats;            // one counted reference (atomlock)
    int32_t auth_scheme;          // 0 Basic, 1 NTLM, 2 Negotiate
    int32_t category_scores[CATEGORY_SCORES];  // -1 until categorised
    // The look at the server socket when the request ended also saw the
    // client's next request (or its close) waiting; reset when taken.
    bool client_input_seen;
};

// A new record: every field zero, download and upload allowances
// CONN_NO_LIMIT, forward_type FORWARD_DIRECT, every category score -1.
CONNECTION_T *connection_new();

// Frees the record with its owned texts, lists, log record and its
// statistics reference.  It does not touch the sockets or the per-request
// objects: the worker's cycle has released those.  Null does nothing.
void connection_free(CONNECTION_T *conn);

// The value of the connection's template variable `name`, made empty when
// the map lacks it.  A new entry reuses a node that variables_recycle kept
// on this thread when there is one, so that the variables every request
// sets cost no allocation once a worker has served a request.
std::string &variable_slot(CONNECTION_T *conn, const std::string &name);

// Empties the connection's template variables, keeping up to
// VARIABLE_SPARES_MAX of their nodes for this thread's next variable_slot.
void variables_recycle(CONNECTION_T *conn);

#define VARIABLE_SPARES_MAX 32

// Frees the nodes variables_recycle kept on the calling thread.
void variable_spares_free();

// Closes an accepted connection: counts it, logs the disconnection, closes
// the authentication-service socket, deletes the client socket and frees
// the record.  Null only counts.
void net_close(CONNECTION_T *conn);

#endif
