// HTTP message heads: the HEADER record, reading a head from a socket,
// parsing request and response heads, writing heads in the fixed order of
// their destination, Via and X-Cache entries, and the template variables
// that a head defines.
#ifndef KV_ENGINE_HEADER_H
#define KV_ENGINE_HEADER_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

struct CONNECTION_T;  // engine/connection.h, which also names the sides
class Filebuf;

// Send modes of the head writer.
enum {
    SEND_TO_ORIGIN = 0,  // request to an origin server
    SEND_TO_PARENT = 1,  // request to an HTTP parent proxy
    SEND_TO_CLIENT = 2,  // response to the client (5 is taken as 2)
};

// HEADER kinds.
enum {
    HEADER_CONNECT = 0,        // CONNECT request
    HEADER_RESPONSE = 1,       // HTTP response
    HEADER_PROXY = 2,          // request with an absolute URL
    HEADER_TRANSPARENT = 3,    // request with a path only (origin form)
    HEADER_ICAP_REQUEST = 4,   // ICAP request
    HEADER_ICAP_RESPONSE = 5,  // ICAP response
};

// HEADER flags.
#define HEADER_FILTERED 0x1  // write `filtered` instead of `headers`
#define HEADER_LENGTH 0x2    // content_length is valid
#define HEADER_NO_PORT 0x4   // the request target named no port

// HTTP_HEADER types.
enum {
    HTTP_HEADER_MAPPED = 0,    // lives in a HEADER field (or is dropped); never written from a list
    HTTP_HEADER_VERBATIM = 1,  // written from the list unchanged
};

// Longest request target and rebuilt URL; a longer one is refused (414).
#define HEADER_URL_MAX 2047
// Longest header line (without its line end); a longer one is refused.
#define HEADER_LINE_MAX 4095
// Most bytes of header lines that header_get collects for one head.
#define HEADER_COLLECT_MAX 16382

// One header line.
struct HTTP_HEADER {
    int type = HTTP_HEADER_VERBATIM;
    std::string name;   // as received, case kept, without the colon
    std::string value;  // after the colon and at most one blank; trailing blanks kept
};

// One message head.  Every char* field is an owned, NUL-terminated heap
// string (xmalloc family, released with free) or null; set them with
// header_field_set.  Created by header_new, http_header_parse_request,
// http_header_parse_response or http_header_dup; freed with
// http_header_free.
struct HEADER {
    char *raw = nullptr;  // head text as received, through the blank line
    char *url = nullptr;  // "%s://%s:%d%s" of scheme, host, port, path
    int32_t kind = 0;     // HEADER_CONNECT .. HEADER_ICAP_RESPONSE
    int32_t version = 0;  // 0 HTTP/0.9 (responses), 1 HTTP/1.0 and others, 2 HTTP/1.1
    int32_t port = 0;     // port of the request target
    int32_t status = -1;  // status code of a response
    uint64_t content_length = 0;  // valid only while HEADER_LENGTH is set
    int32_t chunked = 0;          // 1: the body has the chunked coding
    int32_t keep_alive = -1;        // Connection: -1 absent, 0 close, 1 keep-alive
    int32_t proxy_keep_alive = -1;  // the same for Proxy-Connection
    char *user = nullptr;      // URL-decoded user before the host of the target
    char *password = nullptr;  // URL-decoded password
    char *method = nullptr;    // request method, case kept
    char *scheme = nullptr;    // lower case; "connect" for CONNECT
    char *host = nullptr;      // lower case, URL-decoded
    char *path = nullptr;      // path with query, cleaned by url_path_fix
    // Canonical host and path (url_canonical_host, url_canonical_path),
    // set by header_canonical; null while they equal host and path.  Read
    // them through header_rule_host and header_rule_path.
    char *canonical_host = nullptr;
    char *canonical_path = nullptr;
    // Values of the well-known header lines.
    char *referer = nullptr;
    char *user_agent = nullptr;
    char *location = nullptr;
    char *content_type = nullptr;
    char *content_encoding = nullptr;
    char *accept_encoding = nullptr;
    char *www_authenticate = nullptr;
    char *authorization = nullptr;
    char *range = nullptr;
    char *proxy_authenticate_header = nullptr;
    char *proxy_authorization = nullptr;
    char *host_header = nullptr;
    char *media_type = nullptr;  // content_type up to its first ';'
    char *cache_control = nullptr;
    char *expires = nullptr;
    char *if_modified_since = nullptr;
    char *last_modified = nullptr;
    char *warning = nullptr;  // set by the cache only
    char *age = nullptr;      // set by the cache only
    char *x_cache = nullptr;
    char *x_forwarded_for = nullptr;
    char *via = nullptr;
    char *encapsulated = nullptr;
    std::vector<HTTP_HEADER> headers;   // every parsed line, in arrival order
    std::vector<HTTP_HEADER> filtered;  // lines that header filtering let pass or added
    uint32_t flags = 0;                 // HEADER_FILTERED, HEADER_LENGTH, HEADER_NO_PORT
};

// Why a head was refused.  The road answers a request head refused with
// one of these by the status header_error_status gives, and closes the
// connection; a refused response head ends the exchange ("badresponse",
// 502).
enum {
    HEADER_OK = 0,
    HEADER_ERR_MALFORMED = 1,    // unparsable start line or header line (400)
    HEADER_ERR_TOO_LONG = 2,     // head or header line over its limit (431)
    HEADER_ERR_URL_TOO_LONG = 3, // request target or URL over HEADER_URL_MAX (414)
    HEADER_ERR_FRAMING = 4,      // Transfer-Encoding with Content-Length, a coding
                                 // other than chunked, a bad or conflicting length (400)
};

// Results of header_get beside the head text (numbered apart from the
// HEADER_ERR_* codes so that header_error_status takes both).
enum {
    HEADER_GET_OK = 0,         // a complete head was returned
    HEADER_GET_NONE = 11,      // nothing arrived before the time-out or the close
    HEADER_GET_PARTIAL = 12,   // the peer stopped in the middle of a head: discarded
    HEADER_GET_TOO_LONG = 13,  // the head passed HEADER_COLLECT_MAX or a line HEADER_LINE_MAX
    HEADER_GET_BAD = 14,       // a NUL byte in the head
    HEADER_GET_LINE_TOO_LONG = 15,  // the start line passed HEADER_LINE_MAX (414)
};

// A new empty record: strings null, lists empty, status, keep_alive and
// proxy_keep_alive -1, everything else 0.
HEADER *header_new();

// Parses a request head (request line and header lines).  Returns the new
// record, or null with *error (when given) telling why: malformed (a
// folded line, a second Host line, a host that is no host name or IPv4
// address once decoded among others), too long, target over
// HEADER_URL_MAX, or refused framing.  In both kinds of head, the fields
// a Connection line names are taken out (see http_header_list_parse).  Logs
// "security: malformatted header recieved" for a malformed head.
HEADER *http_header_parse_request(const char *text, int *error = nullptr);

// Parses a response (or ICAP response) head.  Null when the head cannot be
// used: no line end, a status line over 255 bytes, a status line that
// begins with "HTTP/" but is not "HTTP/d.d nnn", a status that is not
// three digits, a folded header line, a header line over HEADER_LINE_MAX,
// or an invalid or conflicting Content-Length.  Any other status line
// without the shape "WORD/d.d nnn" is taken as an HTTP/0.9 answer with
// status 200.
HEADER *http_header_parse_response(const char *text);

// Whether the status line of a response head text could make it an
// interim (1xx) response: false means http_header_parse_response gives no
// 1xx status for it, so the head need not be parsed to know.
bool http_status_may_be_interim(const char *text);

// Parses the header lines of a head text (everything after its first
// line) into the fields and `headers`.  Returns HEADER_OK or the reason
// the lines are refused (HEADER_ERR_TOO_LONG, HEADER_ERR_FRAMING,
// HEADER_ERR_MALFORMED); the fields are then partly filled.  The lines
// and fields named in a Connection line belong to this hop and are
// removed, except those that frame or describe the body, Host and
// Proxy-Authorization.
int http_header_list_parse(HEADER *h, const char *text);

// Splits a Host header value into its host and port.  The host must be
// 1 to 255 bytes of letters, digits, '-', '_' and '.' (a host name or an
// IPv4 address) and the port, when the value names one after ':', a number from 1 to
// 65535; *port is left alone when none is named.  false when the value is
// not such a host.
bool header_host_split(const char *value, std::string *host, int *port);

// Deep copy of a head.
HEADER *http_header_dup(const HEADER *h);

// Frees every string, both lists and the record; null is ignored.
void http_header_free(HEADER *h);

// Replaces an owned string field with a copy of value (null clears it).
void header_field_set(char **field, const char *value);

// The status with which the road refuses a request head that failed with
// a HEADER_ERR_* code or a HEADER_GET_* result (400, 414 or 431).
int header_error_status(int error);

// Reads one head from the side's socket within timeout seconds, keeping
// the other side's input for later.  Returns the head text through its
// blank line ("\r\n" ended), or null with *result telling why: nothing
// arrived, the head was cut off (time-out or close in the middle: it is
// discarded, never served), too long, or holding a NUL byte.  Empty lines
// before the start line are skipped.  On SIDE_CLIENT a server socket whose
// peer closed meanwhile is deleted and the read goes on.
char *header_get(CONNECTION_T *conn, int side, int timeout, int *result = nullptr);

// Length of the head at the start of text through its blank line, walking
// at most limit bytes (SIZE_MAX: no limit).
size_t header_length(const char *text, size_t limit);

// A user name or password as written before the host of a request target:
// every byte but letters, digits and - . _ ~ is escaped, so that a '/',
// '@', ':' or '+' in it neither ends the part nor decodes to another byte
// (a '+' is a blank to a decoder).  Returns an owned string.
char *header_credential_encode(const char *value);

// Removes every line of that name (case ignored) from both lists of the
// head; the mapped field of the name, if it has one, is the caller's.
void header_lines_remove(HEADER *h, const char *name);

// The value of the first line of that name (case ignored) among the lines
// the head came with (`headers`, never `filtered`), or null.
const char *header_line_value(const HEADER *h, const char *name);

// Rebuilds `url` from scheme, host, port and path.  Returns 0, or -1 when
// the URL would be longer than HEADER_URL_MAX (`url` is then left as it
// was; the road answers 414).
int header_complete(HEADER *h);

// Sets canonical_host and canonical_path from host and path.  Called by
// header_complete, so every change of host or path that rebuilds the URL
// also renews them; allocates only for a host or path that differs from
// its canonical form.
void header_canonical(HEADER *h);

// The host and path that every rule and lookup decides on: the canonical
// forms of the request's host and path ("" for an absent one).  The text
// sent upstream is host and path, unchanged.
inline const char *header_rule_host(const HEADER *h)
{
    return h->canonical_host ? h->canonical_host : h->host ? h->host : "";
}
inline const char *header_rule_path(const HEADER *h)
{
    return h->canonical_path ? h->canonical_path : h->path ? h->path : "";
}

// Appends the head as text to buf, in the fixed order of the mode.
// Returns 0, or -1 with nothing appended when a value to be written holds
// a CR or LF (the caller fails the request with 400).
int header_send_filebuf(Filebuf *buf, HEADER *h, CONNECTION_T *conn, int mode);

// Writes the head to the side's socket and flushes it.  Returns 0; -1 when
// a value holds a CR or LF (nothing written); -2 when the write failed.
// On SIDE_CLIENT nothing is written, and 0 returned, once the client is
// gone.
int header_send(HEADER *h, CONNECTION_T *conn, int side, int mode);

// Appends this proxy's entry "%s:%d (Kelvarine %s)" to the request's `via`.
void via_header_update(CONNECTION_T *conn);

// Appends "%s from Kelvarine %s" ("HIT" for miss 0, else "MISS") to the
// response's `x_cache`.
void xcache_header_update(CONNECTION_T *conn, int miss);

// Sets the request's If-Modified-Since from the fetch time of a cache
// object (read by the caller under the cache lock), in GMT.
void conditional_header(HEADER *h, time_t fetched);

// Whether an Accept-Encoding value accepts the content coding: it names
// it (x-gzip counting as gzip), or "*" without naming it, with a q above
// 0.  A null value accepts no coding.
bool header_accepts_coding(const char *accept_encoding, const char *coding);

// Defines the template variable prefix + "[" + lower-case name + "]" for
// every line of the list; a later line of a name overwrites an earlier.
void header_variables(CONNECTION_T *conn, const char *prefix,
                      const std::vector<HTTP_HEADER> &list);

// Decides whether a Cookie line (direction 1, outgoing) or a Set-Cookie
// line (direction 0, incoming) may pass: returns 1 to pass, 0 to leave it
// out.  Installed by the cookie filter; while it is null every cookie line
// passes.  A line that passes is written exactly as received.
extern int (*header_cookie_check)(int direction, CONNECTION_T *conn,
                                  const char *value);

#endif
