// HTTP message heads: reading, parsing, copying and writing.
#include "engine/header.h"

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>
#include <strings.h>

#include "engine/connection.h"
#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

int (*header_cookie_check)(int direction, CONNECTION_T *conn,
                           const char *value) = nullptr;

namespace {

// Parsing.
struct ListState;
int request_line_parse(HEADER *h, const char *text);
int target_parse(HEADER *h, const char *target);
int authority_parse(HEADER *h, const char *authority);
int line_map(HEADER *h, ListState *st, const char *name, const char *value,
             int *type);
int content_length_parse(const char *value, uint64_t *length);
void connection_options_add(ListState *st, const char *value);
void hop_fields_remove(HEADER *h, const ListState &st);
bool host_name_valid(const char *host);
bool is_request(const HEADER *h);
bool has_blank(const char *text, size_t n);
char *decode_safe(const char *text, size_t n);
void field_dup(char **dst, const char *src);
char *lower_dup(const char *text);
void canonical_set(char **field, const char *text,
                   size_t (*canonical)(const char *, size_t, char *));

// Writing.
class HeadText;
void start_line(HeadText *out, const HEADER *h, int mode);
void list_lines(HeadText *out, const HEADER *h, CONNECTION_T *conn);
void request_block(HeadText *out, const HEADER *h);
void response_block(HeadText *out, const HEADER *h, CONNECTION_T *conn);
bool is_cookie_line(const std::string &name);


// Header lines that the parser maps into fields.
enum MapId {
    MAP_CONTENT_LENGTH,
    MAP_TRANSFER_ENCODING,
    MAP_CONTENT_TYPE,
    MAP_CONTENT_ENCODING,
    MAP_ACCEPT_ENCODING,
    MAP_LOCATION,
    MAP_HOST,
    MAP_WWW_AUTHENTICATE,
    MAP_AUTHORIZATION,
    MAP_PROXY_AUTHENTICATE,
    MAP_PROXY_AUTHORIZATION,
    MAP_REFERER,
    MAP_USER_AGENT,
    MAP_CACHE_CONTROL,
    MAP_EXPIRES,
    MAP_IF_MODIFIED_SINCE,
    MAP_LAST_MODIFIED,
    MAP_RANGE,
    MAP_X_CACHE,
    MAP_VIA,
    MAP_ENCAPSULATED,
    MAP_X_FORWARDED_FOR,
    MAP_DROP,
    MAP_CONNECTION,
    MAP_PROXY_CONNECTION,
    MAP_NONE,
};

struct MapEntry {
    const char *name;
    MapId id;
};

// In the order in which the names are tried; the first that matches decides.
const MapEntry map_table[] = {
    {"Content-length", MAP_CONTENT_LENGTH},
    {"Transfer-Encoding", MAP_TRANSFER_ENCODING},
    {"Content-Type", MAP_CONTENT_TYPE},
    {"Content-Encoding", MAP_CONTENT_ENCODING},
    {"Accept-Encoding", MAP_ACCEPT_ENCODING},
    {"Location", MAP_LOCATION},
    {"Host", MAP_HOST},
    {"WWW-Authenticate", MAP_WWW_AUTHENTICATE},
    {"Authorization", MAP_AUTHORIZATION},
    {"Proxy-Authenticate", MAP_PROXY_AUTHENTICATE},
    {"Proxy-Authorization", MAP_PROXY_AUTHORIZATION},
    {"Referer", MAP_REFERER},
    {"User-Agent", MAP_USER_AGENT},
    {"Cache-Control", MAP_CACHE_CONTROL},
    {"Expires", MAP_EXPIRES},
    {"If-Modified-Since", MAP_IF_MODIFIED_SINCE},
    {"Last-Modified", MAP_LAST_MODIFIED},
    {"Range", MAP_RANGE},
    {"X-Cache", MAP_X_CACHE},
    {"Via", MAP_VIA},
    {"Encapsulated", MAP_ENCAPSULATED},
    {"X-Forwarded-For", MAP_X_FORWARDED_FOR},
    {"TE", MAP_DROP},
    {"Trailers", MAP_DROP},
    {"Upgrade", MAP_DROP},
    {"Keep-Alive", MAP_DROP},
    {"Connection", MAP_CONNECTION},
    {"Proxy-Connection", MAP_PROXY_CONNECTION},
};

// What the list parser remembers across lines to judge the framing.
struct ListState {
    bool request = false;        // the head is a request's
    int transfer_encodings = 0;  // Transfer-Encoding lines seen
    bool other_coding = false;   // a Transfer-Encoding other than "chunked"
    std::vector<std::string> connection_options;  // names listed in Connection
};

bool is_request(const HEADER *h)
{
    return h->kind != HEADER_RESPONSE && h->kind != HEADER_ICAP_RESPONSE;
}

// Copies before freeing: src may point into the old value.
void field_dup(char **dst, const char *src)
{
    char *copy = src ? xstrdup(src) : nullptr;
    free(*dst);
    *dst = copy;
}

// Sets *field to the canonical form of text, or to null when that is text
// itself (the usual case, which then costs no allocation).
void canonical_set(char **field, const char *text,
                   size_t (*canonical)(const char *, size_t, char *))
{
    size_t length = text ? strlen(text) : 0;
    char local[HEADER_URL_MAX + 1];
    char *out = length < sizeof(local) ? local : (char *)xmalloc(length + 1);
    ASSERT_ALLOC(out, length + 1);
    size_t n = text ? canonical(text, length, out) : 0;
    if (text == nullptr || (n == length && memcmp(out, text, n) == 0))
        field_dup(field, nullptr);
    else
        field_dup(field, out);
    if (out != local)
        free(out);
}

char *lower_dup(const char *text)
{
    char *copy = xstrdup(text);
    for (char *p = copy; *p; p++)
        *p = (char)tolower((unsigned char)*p);
    return copy;
}

// True when the first n bytes hold a blank, a control byte or DEL.
bool has_blank(const char *text, size_t n)
{
    for (size_t i = 0; i < n && text[i]; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c <= 0x20 || c == 0x7f)
            return true;
    }
    return false;
}

// URL-decodes n bytes of text; null when an escape is malformed or the
// value decodes to a NUL, CR or LF byte.
char *decode_safe(const char *text, size_t n)
{
    size_t length = 0;
    char *value = url_decode(text, (int64_t)n, &length);
    if (value && !url_header_safe(value, length)) {
        free(value);
        value = nullptr;
    }
    return value;
}

// True when host, past the URL-command prefixes written in front of it
// ("xx--name[options]."), is a host name or an IPv4 address: letters,
// digits, '-', '_' and '.'.  Anything else decoded from an escape ("+",
// "%", "[") would be read back differently by the next proxy that decodes
// it, or name no host at all.
bool host_name_valid(const char *host)
{
    const char *p = host;
    while (strncasecmp(p, "xx--", 4) == 0) {
        const char *dot = strchr(p + 4, '.');
        if (!dot)
            break;
        p = dot + 1;
    }
    for (; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (!isalnum(c) && c != '-' && c != '_' && c != '.')
            return false;
    }
    return true;
}

// A Content-Length value: decimal digits, optionally surrounded by blanks,
// within 63 bits.  Anything else (a sign, a list, junk, an overflow) is
// refused: a length the proxy misreads lets the peer hide a second message
// in the body.
int content_length_parse(const char *value, uint64_t *length)
{
    const char *p = value;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p < '0' || *p > '9')
        return -1;
    uint64_t n = 0;
    for (; *p >= '0' && *p <= '9'; p++) {
        uint64_t digit = (uint64_t)(*p - '0');
        if (n > ((uint64_t)INT64_MAX - digit) / 10)
            return -1;
        n = n * 10 + digit;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p)
        return -1;
    *length = n;
    return 0;
}

// The names a Connection value lists, split at commas with the blanks
// around each trimmed.
void connection_options_add(ListState *st, const char *value)
{
    const char *p = value;
    while (*p) {
        size_t n = strcspn(p, ",");
        std::string name(p, n);
        size_t start = name.find_first_not_of(" \t");
        size_t end = name.find_last_not_of(" \t");
        if (start != std::string::npos)
            st->connection_options.push_back(name.substr(start, end - start + 1));
        p += n;
        if (*p == ',')
            p++;
    }
}

MapId map_id(const char *name)
{
    for (const MapEntry &e : map_table) {
        if (strcasecmp(name, e.name) == 0)
            return e.id;
    }
    return MAP_NONE;
}

// The field a mapped line fills that goes on to the next hop, or null for
// the lines that frame or describe the body (Content-Length,
// Transfer-Encoding, Content-Type, Content-Encoding), for Host and for the
// credentials this proxy reads itself: those stay whatever a Connection
// line names.
char **hop_field(HEADER *h, MapId id)
{
    switch (id) {
    case MAP_ACCEPT_ENCODING: return &h->accept_encoding;
    case MAP_LOCATION: return &h->location;
    case MAP_WWW_AUTHENTICATE: return &h->www_authenticate;
    case MAP_AUTHORIZATION: return &h->authorization;
    case MAP_REFERER: return &h->referer;
    case MAP_USER_AGENT: return &h->user_agent;
    case MAP_CACHE_CONTROL: return &h->cache_control;
    case MAP_EXPIRES: return &h->expires;
    case MAP_IF_MODIFIED_SINCE: return &h->if_modified_since;
    case MAP_LAST_MODIFIED: return &h->last_modified;
    case MAP_RANGE: return &h->range;
    case MAP_X_CACHE: return &h->x_cache;
    case MAP_VIA: return &h->via;
    case MAP_X_FORWARDED_FOR: return &h->x_forwarded_for;
    default: return nullptr;
    }
}

// Fields named in a Connection line belong to this hop only: they are
// taken out of the head so that they are never passed on.
void hop_fields_remove(HEADER *h, const ListState &st)
{
    for (const std::string &option : st.connection_options) {
        MapId id = map_id(option.c_str());
        if (id != MAP_NONE) {
            char **field = hop_field(h, id);
            if (!field)
                continue;
            field_dup(field, nullptr);
        }
        std::vector<HTTP_HEADER> &list = h->headers;
        list.erase(std::remove_if(list.begin(), list.end(),
                                  [&](const HTTP_HEADER &line) {
                                      return strcasecmp(line.name.c_str(), option.c_str()) == 0;
                                  }),
                   list.end());
    }
}

// Applies one header line to the fields.  Returns HEADER_OK, or a
// HEADER_ERR_* code when the line makes the head unusable; *type (through
// the return of MAP_NONE) tells whether the line was mapped.
int line_map(HEADER *h, ListState *st, const char *name, const char *value,
             int *type)
{
    MapId id = map_id(name);
    *type = HTTP_HEADER_MAPPED;
    switch (id) {
    case MAP_CONTENT_LENGTH: {
        uint64_t length;
        if (content_length_parse(value, &length) < 0)
            return HEADER_ERR_FRAMING;
        // Two lines that disagree cannot both frame the body.
        if ((h->flags & HEADER_LENGTH) && h->content_length != length)
            return HEADER_ERR_FRAMING;
        h->content_length = length;
        h->flags |= HEADER_LENGTH;
        break;
    }
    case MAP_TRANSFER_ENCODING: {
        st->transfer_encodings++;
        std::string coding(value);
        while (!coding.empty() && (coding.back() == ' ' || coding.back() == '\t'))
            coding.pop_back();
        if (strcasecmp(coding.c_str(), "chunked") == 0) {
            h->chunked = 1;
        } else {
            st->other_coding = true;
            *type = HTTP_HEADER_VERBATIM;
        }
        break;
    }
    case MAP_CONTENT_TYPE: {
        field_dup(&h->content_type, value);
        free(h->media_type);
        h->media_type = xstrndup(value, strcspn(value, ";"));
        break;
    }
    case MAP_CONTENT_ENCODING: field_dup(&h->content_encoding, value); break;
    case MAP_ACCEPT_ENCODING: field_dup(&h->accept_encoding, value); break;
    case MAP_LOCATION: field_dup(&h->location, value); break;
    case MAP_HOST:
        // Two Host lines let the filters here and the server read different
        // hosts from one request.
        if (st->request && h->host_header)
            return HEADER_ERR_MALFORMED;
        field_dup(&h->host_header, value);
        break;
    case MAP_WWW_AUTHENTICATE: field_dup(&h->www_authenticate, value); break;
    case MAP_AUTHORIZATION: field_dup(&h->authorization, value); break;
    case MAP_PROXY_AUTHENTICATE:
        field_dup(&h->proxy_authenticate_header, value);
        break;
    case MAP_PROXY_AUTHORIZATION: field_dup(&h->proxy_authorization, value); break;
    case MAP_REFERER: field_dup(&h->referer, value); break;
    case MAP_USER_AGENT: field_dup(&h->user_agent, value); break;
    case MAP_CACHE_CONTROL: field_dup(&h->cache_control, value); break;
    case MAP_EXPIRES: field_dup(&h->expires, value); break;
    case MAP_IF_MODIFIED_SINCE: field_dup(&h->if_modified_since, value); break;
    case MAP_LAST_MODIFIED: field_dup(&h->last_modified, value); break;
    case MAP_RANGE: field_dup(&h->range, value); break;
    case MAP_X_CACHE:
        // Only the first X-Cache line is extended by this proxy; later
        // ones pass as they came.
        if (h->x_cache && *h->x_cache)
            *type = HTTP_HEADER_VERBATIM;
        else
            field_dup(&h->x_cache, value);
        break;
    case MAP_VIA: field_dup(&h->via, value); break;
    case MAP_ENCAPSULATED: field_dup(&h->encapsulated, value); break;
    case MAP_X_FORWARDED_FOR: field_dup(&h->x_forwarded_for, value); break;
    case MAP_DROP: break;
    case MAP_CONNECTION:
    case MAP_PROXY_CONNECTION: {
        int32_t *word = id == MAP_CONNECTION ? &h->keep_alive : &h->proxy_keep_alive;
        if (strncasecmp(value, "keep-alive", 10) == 0)
            *word = 1;
        else if (strncasecmp(value, "close", 5) == 0)
            *word = 0;
        if (id == MAP_CONNECTION)
            connection_options_add(st, value);
        break;
    }
    case MAP_NONE: *type = HTTP_HEADER_VERBATIM; break;
    }
    return HEADER_OK;
}

// The request line: method, target and version.
int request_line_parse(HEADER *h, const char *text)
{
    size_t len = strcspn(text, "\n");
    if (len > 0 && text[len - 1] == '\r')
        len--;
    std::string line(text, len);
    if (line.find('\r') != std::string::npos)
        return HEADER_ERR_MALFORMED;

    std::vector<std::string> words;
    size_t pos = 0;
    while (pos < line.size()) {
        size_t start = line.find_first_not_of(" \t", pos);
        if (start == std::string::npos)
            break;
        size_t end = line.find_first_of(" \t", start);
        if (end == std::string::npos)
            end = line.size();
        words.push_back(line.substr(start, end - start));
        pos = end;
    }
    if (words.size() < 2)
        return HEADER_ERR_MALFORMED;
    const std::string &method = words[0];
    const std::string &target = words[1];
    // A method or target that would have to be cut is refused: a cut one
    // names another method or resource.
    if (method.size() > 23)
        return HEADER_ERR_MALFORMED;
    if (target.size() > HEADER_URL_MAX)
        return HEADER_ERR_URL_TOO_LONG;
    h->version = (words.size() == 3 && strcasecmp(words[2].c_str(), "HTTP/1.1") == 0) ? 2 : 1;

    if (strcasecmp(method.c_str(), "CONNECT") == 0)
        h->kind = HEADER_CONNECT;
    else if (target[0] == '/')
        h->kind = HEADER_TRANSPARENT;
    else
        h->kind = HEADER_PROXY;
    h->method = xstrdup(method.c_str());
    return target_parse(h, target.c_str());
}

// The request target: a path, an absolute URL or a CONNECT authority.
int target_parse(HEADER *h, const char *target)
{
    if (h->kind == HEADER_TRANSPARENT) {
        h->scheme = xstrdup("http");
        h->path = url_path_fix(target);
        h->port = 80;
        return HEADER_OK;
    }
    const char *rest = target;
    if (h->kind == HEADER_PROXY) {
        // The three bytes after the scheme's ':' are skipped, so they must
        // be "://": otherwise "a.test:443" would read as scheme "a.test"
        // and host "3".
        const char *colon = strchr(target, ':');
        if (!colon || colon == target || strncmp(colon + 1, "//", 2) != 0)
            return HEADER_ERR_MALFORMED;
        std::string scheme(target, (size_t)(colon - target));
        if (has_blank(scheme.c_str(), scheme.size()))
            return HEADER_ERR_MALFORMED;
        h->scheme = lower_dup(scheme.c_str());
        rest = colon + 3;  // past "://"
    } else {
        h->scheme = xstrdup("connect");
    }

    const char *slash = strchr(rest, '/');
    h->path = slash ? url_path_fix(slash) : xstrdup("/");
    std::string authority(rest, slash ? (size_t)(slash - rest) : strlen(rest));
    return authority_parse(h, authority.c_str());
}

// user:password@host:port of a request target.
int authority_parse(HEADER *h, const char *authority)
{
    const char *at = strchr(authority, '@');
    if (at) {
        const char *colon = (const char *)memchr(authority, ':', (size_t)(at - authority));
        if (colon && colon > authority && at > colon + 1) {
            size_t user_len = (size_t)(colon - authority);
            size_t pass_len = (size_t)(at - colon - 1);
            // Credentials that would have to be cut are refused rather
            // than sent shortened.
            if (user_len > 128 || pass_len > 128)
                return HEADER_ERR_MALFORMED;
            h->user = decode_safe(authority, user_len);
            h->password = decode_safe(colon + 1, pass_len);
            if (!h->user || !h->password)
                return HEADER_ERR_MALFORMED;
        }
        authority = at + 1;
    }

    std::string host(authority);
    size_t colon = host.find(':');
    if (colon != std::string::npos) {
        const char *digits = host.c_str() + colon + 1;
        char *end = nullptr;
        errno = 0;
        long port = strtol(digits, &end, 10);
        if (*digits < '0' || *digits > '9' || *end || errno || port < 1 || port > 65535)
            return HEADER_ERR_MALFORMED;
        h->port = (int32_t)port;
        host.resize(colon);
    } else {
        h->flags |= HEADER_NO_PORT;
        h->port = h->kind == HEADER_CONNECT ? 443 : protocol_port(h->scheme);
    }
    // A host that decodes to a blank or a control byte names no server
    // and would break the request line written upstream.  One that holds
    // a character ending a URL part (a second '@', or "%2f", "%40", "%3a"
    // decoded) names another host in the URL written for a parent than
    // the one the filters judged here.
    char *decoded = decode_safe(host.c_str(), host.size());
    if (!decoded)
        return HEADER_ERR_MALFORMED;
    if (has_blank(decoded, strlen(decoded)) || strpbrk(decoded, "@/:?#\\") ||
        !host_name_valid(decoded)) {
        free(decoded);
        return HEADER_ERR_MALFORMED;
    }
    h->host = lower_dup(decoded);
    free(decoded);
    return header_complete(h) == 0 ? HEADER_OK : HEADER_ERR_URL_TOO_LONG;
}

// The owned string members of HEADER, copied by http_header_dup and freed
// by http_header_free: a member added to HEADER is added here once.
constexpr char *HEADER::*header_strings[] = {
    &HEADER::raw, &HEADER::url, &HEADER::user, &HEADER::password,
    &HEADER::method, &HEADER::scheme, &HEADER::host, &HEADER::path,
    &HEADER::canonical_host, &HEADER::canonical_path,
    &HEADER::referer, &HEADER::user_agent, &HEADER::location,
    &HEADER::content_type, &HEADER::content_encoding,
    &HEADER::accept_encoding, &HEADER::www_authenticate,
    &HEADER::authorization, &HEADER::range,
    &HEADER::proxy_authenticate_header, &HEADER::proxy_authorization,
    &HEADER::host_header, &HEADER::media_type, &HEADER::cache_control,
    &HEADER::expires, &HEADER::if_modified_since, &HEADER::last_modified,
    &HEADER::warning, &HEADER::age, &HEADER::x_cache,
    &HEADER::x_forwarded_for, &HEADER::via, &HEADER::encapsulated,
};

} // namespace

HEADER *header_new()
{
    return new HEADER();
}

void header_field_set(char **field, const char *value)
{
    field_dup(field, value);
}

int http_header_list_parse(HEADER *h, const char *text)
{
    if (!text || !*text)
        return HEADER_OK;
    const char *p = strchr(text, '\n');
    if (!p)
        return HEADER_OK;
    p++;
    bool request = is_request(h);
    ListState st;
    st.request = request;
    for (;;) {
        const char *nl = strchr(p, '\n');
        if (!nl)
            break;
        size_t len = strcspn(p, "\r\n");
        if (len == 0)
            break;  // the blank line ends the head
        const char *line_end = nl;
        if (line_end > p && line_end[-1] == '\r')
            line_end--;
        if ((size_t)(line_end - p) > HEADER_LINE_MAX)
            return HEADER_ERR_TOO_LONG;
        std::string line(p, len);
        p = nl + 1;
        // A line that begins with a blank continues the one before it
        // (obsolete folding): servers join it, cut it or refuse it, so the
        // head means different things to different readers.
        if (line[0] == ' ' || line[0] == '\t')
            return HEADER_ERR_MALFORMED;

        size_t colon = line.find(':');
        if (colon == std::string::npos || colon + 1 == line.size())
            continue;
        std::string name = line.substr(0, colon);
        // A name with blanks (a folded line, "Name : value") is read
        // differently by different servers; a request carrying one is
        // refused, a response line of that kind is dropped.
        if (name.empty() || has_blank(name.c_str(), name.size())) {
            if (request)
                return HEADER_ERR_MALFORMED;
            continue;
        }
        size_t vstart = colon + 1;
        if (vstart < line.size() && (line[vstart] == ' ' || line[vstart] == '\t'))
            vstart++;
        std::string value = line.substr(vstart);

        int type;
        int err = line_map(h, &st, name.c_str(), value.c_str(), &type);
        if (err != HEADER_OK)
            return err;
        h->headers.push_back(HTTP_HEADER{type, name, value});
    }

    hop_fields_remove(h, st);
    if (request) {
        // The proxy decides where a request body ends; framings it cannot
        // be sure of are refused.
        if (st.other_coding || st.transfer_encodings > 1)
            return HEADER_ERR_FRAMING;
        if (h->chunked && (h->flags & HEADER_LENGTH))
            return HEADER_ERR_FRAMING;
    } else if ((h->chunked || st.other_coding) && (h->flags & HEADER_LENGTH)) {
        // A transfer coding overrides a length: the length is not used
        // and never forwarded beside the coding.
        h->flags &= ~HEADER_LENGTH;
        h->content_length = 0;
    }
    return HEADER_OK;
}

HEADER *http_header_parse_request(const char *text, int *error)
{
    int err = HEADER_ERR_MALFORMED;
    HEADER *h = nullptr;
    if (text && *text) {
        h = header_new();
        err = request_line_parse(h, text);
        if (err == HEADER_OK)
            err = http_header_list_parse(h, text);
        if (err == HEADER_OK)
            h->raw = xstrndup(text, header_length(text, SIZE_MAX));
    }
    if (error)
        *error = err;
    if (err == HEADER_OK)
        return h;
    putlog(LOG_ERROR, "security: malformatted header recieved");
    http_header_free(h);
    return nullptr;
}

namespace {

// Reads the first two words of a status line the way "%10s %10s" would:
// blanks skipped, each word at most 10 characters, the second beginning
// where an overlong first one was cut.  False when there are not two.
bool status_words(const char *line, char word1[11], char word2[11])
{
    const char *p = line;
    for (char *word : {word1, word2}) {
        while (*p && isspace((unsigned char)*p))
            p++;
        size_t n = 0;
        while (*p && !isspace((unsigned char)*p) && n < 10)
            word[n++] = *p++;
        word[n] = '\0';
        if (n == 0)
            return false;
    }
    return true;
}

// Whether a status line has the shape "WORD/d.d nnn" as
// "%10[^/]/%c.%c %d" reads it, with both version characters digits: a
// word of 1 to 10 characters up to the slash, the version, then after any
// blanks a number.
bool status_shaped(const char *line)
{
    const char *p = line;
    size_t n = 0;
    while (*p && *p != '/' && n < 10) {
        p++;
        n++;
    }
    if (n == 0 || *p != '/')
        return false;
    p++;
    char major = *p;
    if (!major || p[1] != '.')
        return false;
    p += 2;
    char minor = *p;
    if (!minor)
        return false;
    p++;
    while (*p && isspace((unsigned char)*p))
        p++;
    if (*p == '+' || *p == '-')
        p++;
    return isdigit((unsigned char)*p) && isdigit((unsigned char)major) &&
           isdigit((unsigned char)minor);
}

// Room for a status line: with its line end it may have 255 bytes at most.
constexpr size_t STATUS_LINE_MAX = 256;

// Copies the status line of a head text, without its line end, into
// line; false when the text has none or it is over 255 bytes with its end.
bool status_line(const char *text, char line[STATUS_LINE_MAX])
{
    const char *nl = text ? strchr(text, '\n') : nullptr;
    if (!nl || (size_t)(nl - text) + 1 > STATUS_LINE_MAX - 1)
        return false;
    memcpy(line, text, (size_t)(nl - text));
    line[nl - text] = '\0';
    return true;
}

} // namespace

bool http_status_may_be_interim(const char *text)
{
    char line[STATUS_LINE_MAX];
    char word1[11], word2[11];
    return status_line(text, line) && status_words(line, word1, word2) && word2[0] == '1';
}

HEADER *http_header_parse_response(const char *text)
{
    char line[STATUS_LINE_MAX];
    if (!status_line(text, line))
        return nullptr;

    HEADER *h = header_new();
    h->kind = HEADER_RESPONSE;
    bool shaped = status_shaped(line);
    // A line that begins like an HTTP status line is one: when it has not
    // that shape it is a broken head, never body bytes of an old server.
    if (!shaped && strncasecmp(line, "HTTP/", 5) == 0) {
        http_header_free(h);
        return nullptr;
    }
    if (!shaped) {
        h->version = 0;
        h->status = 200;
        h->raw = xstrdup("HTTP/1.1 200 OK\r\n\r\n");
        putlog(LOG_DEBUG, "HTTP/0.9 header");
        return h;
    }
    char word1[11], word2[11];
    if (!status_words(line, word1, word2)) {
        http_header_free(h);
        return nullptr;
    }
    // The status code is three digits, nothing more or less: "2x0" or
    // "20" are no status a client could act on.
    bool three_digits = strlen(word2) == 3 && word2[0] >= '1' && word2[0] <= '9' &&
                        isdigit((unsigned char)word2[1]) && isdigit((unsigned char)word2[2]);
    if (!three_digits) {
        http_header_free(h);
        return nullptr;
    }
    long status = strtol(word2, nullptr, 10);
    h->version = strcasecmp(word1, "HTTP/1.1") == 0 ? 2 : 1;
    h->status = (int32_t)status;
    if (http_header_list_parse(h, text) != HEADER_OK) {
        http_header_free(h);
        return nullptr;
    }
    h->raw = xstrndup(text, header_length(text, SIZE_MAX));
    return h;
}

bool header_host_split(const char *value, std::string *host, int *port)
{
    if (!value)
        return false;
    const char *colon = strchr(value, ':');
    std::string name = colon ? std::string(value, (size_t)(colon - value)) : std::string(value);
    if (name.empty() || name.size() > 255)
        return false;
    if (!host_name_valid(name.c_str()))
        return false;
    if (colon) {
        char *end = nullptr;
        errno = 0;
        long n = strtol(colon + 1, &end, 10);
        if (end == colon + 1 || *end || errno || n < 1 || n > 65535)
            return false;
        *port = (int)n;
    }
    *host = name;
    return true;
}

HEADER *http_header_dup(const HEADER *h)
{
    if (!h)
        return nullptr;
    HEADER *d = header_new();
    for (char *HEADER::*s : header_strings)
        d->*s = h->*s ? xstrdup(h->*s) : nullptr;
    d->kind = h->kind;
    d->version = h->version;
    d->port = h->port;
    d->status = h->status;
    d->content_length = h->content_length;
    d->chunked = h->chunked;
    d->keep_alive = h->keep_alive;
    d->proxy_keep_alive = h->proxy_keep_alive;
    d->headers = h->headers;
    d->filtered = h->filtered;
    d->flags = h->flags;
    return d;
}

void http_header_free(HEADER *h)
{
    if (!h)
        return;
    for (char *HEADER::*s : header_strings)
        free(h->*s);
    delete h;
}

int header_error_status(int error)
{
    switch (error) {
    case HEADER_ERR_URL_TOO_LONG: return 414;
    case HEADER_ERR_TOO_LONG: return 431;
    case HEADER_GET_TOO_LONG: return 431;
    case HEADER_GET_LINE_TOO_LONG: return 414;
    default: return 400;
    }
}

size_t header_length(const char *text, size_t limit)
{
    if (!text)
        return 0;
    size_t i = 0;
    int line_ends = 0;
    while (i < limit && text[i]) {
        char c = text[i++];
        if (c == '\n') {
            if (++line_ends == 2)
                break;
        } else if (c != '\r') {
            line_ends = 0;
        }
    }
    return i;
}

char *header_credential_encode(const char *value)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (const unsigned char *p = (const unsigned char *)value; *p; p++) {
        if (isalnum(*p) || *p == '-' || *p == '.' || *p == '_' || *p == '~') {
            out += (char)*p;
        } else {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 0xf];
        }
    }
    return xstrdup(out.c_str());
}

int header_complete(HEADER *h)
{
    char url[HEADER_URL_MAX + 2];
    int n = snprintf(url, sizeof(url), "%s://%s:%d%s", h->scheme ? h->scheme : "",
                     h->host ? h->host : "", h->port, h->path ? h->path : "");
    if (n < 0 || n > HEADER_URL_MAX)
        return -1;
    field_dup(&h->url, url);
    header_canonical(h);
    return 0;
}

void header_canonical(HEADER *h)
{
    canonical_set(&h->canonical_host, h->host, url_canonical_host);
    canonical_set(&h->canonical_path, h->path, url_canonical_path);
}

// ------------------------------------------------------------------ writing

namespace {

// The text of a head being written.  Every value goes through a check: a
// CR or LF in one would let it end the line and start another (a forged
// header or a second message), so the whole head is refused instead.
class HeadText {
public:
    std::string text;
    bool refused = false;

    // Appends formatted text whose string arguments were checked by value().
    void add(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, format);
        char small[512];
        va_list copy;
        va_copy(copy, ap);
        int n = vsnprintf(small, sizeof(small), format, copy);
        va_end(copy);
        if (n < 0) {
            refused = true;
        } else if ((size_t)n < sizeof(small)) {
            text.append(small, (size_t)n);
        } else {
            std::string big((size_t)n + 1, '\0');
            vsnprintf(&big[0], big.size(), format, ap);
            text.append(big.c_str(), (size_t)n);
        }
        va_end(ap);
    }

    // The value itself, or "" when it is null; a value holding CR or LF
    // refuses the head.
    const char *value(const char *v)
    {
        if (!v)
            return "";
        if (strpbrk(v, "\r\n"))
            refused = true;
        return v;
    }

    // "Name: value\r\n" when the value is set.
    void line(const char *name, const char *v)
    {
        if (v)
            add("%s: %s\r\n", name, value(v));
    }
};

bool is_cookie_line(const std::string &name)
{
    return strncasecmp(name.c_str(), "Set-Cookie", 10) == 0 ||
           strncasecmp(name.c_str(), "Cookie", 6) == 0;
}

void start_line(HeadText *out, const HEADER *h, int mode)
{
    switch (h->kind) {
    case HEADER_RESPONSE:
        out->add("HTTP/1.1 %d %s\r\n", h->status, code_to_error(h->status));
        return;
    case HEADER_ICAP_REQUEST:
        out->add("%s %s ICAP/1.0\r\n", out->value(h->method), out->value(h->url));
        return;
    case HEADER_ICAP_RESPONSE:
        out->add("ICAP/1.0 %d %s\r\n", h->status, code_to_error(h->status));
        return;
    default:
        break;
    }
    if (mode == SEND_TO_ORIGIN) {
        out->add("%s %s HTTP/1.1\r\n", out->value(h->method), out->value(h->path));
    } else if (h->kind == HEADER_CONNECT) {
        out->add("CONNECT %s:%d HTTP/1.1\r\n", out->value(h->host), h->port);
    } else if (h->user && h->password) {
        char *user = header_credential_encode(h->user);
        char *password = header_credential_encode(h->password);
        out->add("%s %s://%s:%s@%s:%d%s HTTP/1.1\r\n", out->value(h->method),
                 out->value(h->scheme), user, password, out->value(h->host), h->port,
                 out->value(h->path));
        free(user);
        free(password);
    } else {
        out->add("%s %s HTTP/1.1\r\n", out->value(h->method), out->value(h->url));
    }
}

// The unmapped lines, passing cookie lines through the cookie filter.
void list_lines(HeadText *out, const HEADER *h, CONNECTION_T *conn)
{
    const std::vector<HTTP_HEADER> &list =
        (h->flags & HEADER_FILTERED) ? h->filtered : h->headers;
    bool icap = h->kind == HEADER_ICAP_REQUEST || h->kind == HEADER_ICAP_RESPONSE;
    bool response = h->kind == HEADER_RESPONSE;
    for (const HTTP_HEADER &line : list) {
        if (line.type != HTTP_HEADER_VERBATIM)
            continue;
        if (!icap && header_cookie_check && is_cookie_line(line.name) &&
            !header_cookie_check(response ? 0 : 1, conn, line.value.c_str())) {
            if (response)
                putlog(LOG_COOKIEFILTER, "blocked: incoming from %s", h->host ? h->host : "");
            else
                putlog(LOG_COOKIEFILTER, "blocked: outgoing to %s", h->host ? h->host : "");
            continue;
        }
        // A name is checked like a value: a filter may have added it.
        const char *name = out->value(line.name.c_str());
        out->add("%s: %s\r\n", name, out->value(line.value.c_str()));
    }
}

void request_block(HeadText *out, const HEADER *h)
{
    out->line("Authorization", h->authorization);
    out->line("If-Modified-Since", h->if_modified_since);
    out->line("Referer", h->referer);
    out->line("User-Agent", h->user_agent);
    out->line("Range", h->range);
    out->line("Accept-Encoding", h->accept_encoding);
    if (h->kind != HEADER_CONNECT && h->port == protocol_port(h->scheme ? h->scheme : ""))
        out->add("Host: %s\r\n", out->value(h->host));
    else
        out->add("Host: %s:%d\r\n", out->value(h->host), h->port);
    out->add("Connection: keep-alive\r\n");
    out->line("X-Forwarded-For", h->x_forwarded_for);
    out->line("Via", h->via);
    out->line("Encapsulated", h->encapsulated);
}

// True when the list the writer writes holds a line of that name.
bool has_line(const HEADER *h, const char *name)
{
    const std::vector<HTTP_HEADER> &list =
        (h->flags & HEADER_FILTERED) ? h->filtered : h->headers;
    for (const HTTP_HEADER &line : list) {
        if (line.type == HTTP_HEADER_VERBATIM && strcasecmp(line.name.c_str(), name) == 0)
            return true;
    }
    return false;
}

void response_block(HeadText *out, const HEADER *h, CONNECTION_T *conn)
{
    out->line("Cache-Control", h->cache_control);
    out->line("Expires", h->expires);
    out->line("Last-Modified", h->last_modified);
    out->line("Location", h->location);
    out->line("WWW-Authenticate", h->www_authenticate);
    out->line("Proxy-Authenticate", h->proxy_authenticate_header);
    out->line("Content-Encoding", h->content_encoding);
    // An answer given while the request body is still unread ends the
    // connection: the body would otherwise be read as the next request.
    bool keep_alive = conn && conn->keepalive_client && !(conn->flags & CONN_BODY_PENDING);
    const char *keep = keep_alive ? "keep-alive" : "close";
    // Every response carries the time it was made: the proxy's own pages,
    // and an answer whose server sent none.
    if (!has_line(h, "Date")) {
        char date[64];
        time_t now = time(nullptr);
        struct tm tm;
        if (gmtime_r(&now, &tm) && strftime(date, sizeof(date), "%a, %d %b %Y %T GMT", &tm))
            out->add("Date: %s\r\n", date);
    }
    out->add("Connection: %s\r\n", keep);
    out->add("Proxy-Connection: %s\r\n", keep);
    out->line("X-Cache", h->x_cache);
    out->line("Age", h->age);
    out->line("Warning", h->warning);
}

} // namespace

int header_send_filebuf(Filebuf *buf, HEADER *h, CONNECTION_T *conn, int mode)
{
    if (mode == 5)
        mode = SEND_TO_CLIENT;
    HeadText out;
    start_line(&out, h, mode);
    list_lines(&out, h, conn);
    if (h->content_type && *h->content_type)
        out.line("Content-Type", h->content_type);
    // One framing only: with the chunked coding a length is not written.
    if (h->chunked)
        out.add("Transfer-Encoding: chunked\r\n");
    else if (h->flags & HEADER_LENGTH)
        out.add("Content-Length: %" PRIu64 "\r\n", h->content_length);
    switch (mode) {
    case SEND_TO_PARENT: {
        out.add("Proxy-Connection: keep-alive\r\n");
        const char *credentials = conn ? conn->forward_authorization : nullptr;
        if ((!credentials || !*credentials) && conn && conn->request)
            credentials = conn->request->proxy_authorization;
        out.line("Proxy-Authorization", credentials);
        out.line("Cache-Control", h->cache_control);
        request_block(&out, h);
        break;
    }
    case SEND_TO_ORIGIN:
        request_block(&out, h);
        break;
    case SEND_TO_CLIENT:
        response_block(&out, h, conn);
        break;
    default:
        break;
    }
    out.add("\r\n");
    if (out.refused) {
        putlog(LOG_SECURITY, "security: line break in a header value, head not sent");
        return -1;
    }
    buf->Add(out.text.data(), out.text.size());
    return 0;
}

void via_header_update(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (!h)
        return;
    char via[1024];
    const char *ip = conn->interface_ip ? conn->interface_ip : "";
    if (h->via && *h->via)
        snprintf(via, sizeof(via), "%s, %s:%d (Kelvarine %s)", h->via, ip,
                 conn->listen_port, KELVARINE_VERSION);
    else
        snprintf(via, sizeof(via), "%s:%d (Kelvarine %s)", ip, conn->listen_port,
                 KELVARINE_VERSION);
    field_dup(&h->via, via);
}

void xcache_header_update(CONNECTION_T *conn, int miss)
{
    HEADER *h = conn->response;
    if (!h)
        return;
    char xcache[1024];
    const char *word = miss ? "MISS" : "HIT";
    if (h->x_cache && *h->x_cache)
        snprintf(xcache, sizeof(xcache), "%s, %s from Kelvarine %s", h->x_cache, word,
                 KELVARINE_VERSION);
    else
        snprintf(xcache, sizeof(xcache), "%s from Kelvarine %s", word, KELVARINE_VERSION);
    field_dup(&h->x_cache, xcache);
}

void conditional_header(HEADER *h, time_t fetched)
{
    struct tm tm;
    char date[128];
    if (!gmtime_r(&fetched, &tm) ||
        strftime(date, sizeof(date), "%a, %d %b %Y %T GMT", &tm) == 0)
        return;
    field_dup(&h->if_modified_since, date);
}

void header_variables(CONNECTION_T *conn, const char *prefix,
                      const std::vector<HTTP_HEADER> &list)
{
    // The name is built in one string per thread, so that it allocates
    // only while it grows.
    static thread_local std::string name;
    for (const HTTP_HEADER &line : list) {
        name.assign(prefix).append(1, '[');
        size_t length = std::min<size_t>(line.name.size(), 1023);
        for (size_t i = 0; i < length; i++)
            name.push_back((char)tolower((unsigned char)line.name[i]));
        name.append(1, ']');
        variable_slot(conn, name) = line.value;
    }
}

// ------------------------------------------------------------------ reading

namespace {

int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// What one line taken off the socket means for the head being collected.
enum LineResult { LINE_MORE, LINE_DONE, LINE_STOP };

// Takes one line off the side's socket and adds it to the head.
LineResult line_take(Socket *sock, std::string *head, int seconds, int *result)
{
    char line[HEADER_LINE_MAX + 3];  // the line, "\r\n" and the terminator
    ssize_t n = sock->GetLine(line, (ssize_t)sizeof(line), seconds);
    if (n == SOCKET_LINE_TOO_LONG || n == (ssize_t)sizeof(line)) {
        *result = head->empty() ? HEADER_GET_LINE_TOO_LONG : HEADER_GET_TOO_LONG;
        return LINE_STOP;
    }
    if (n <= 0)
        return LINE_STOP;
    // A NUL would hide the rest of the line from every string function
    // that reads the head later.
    if (strlen(line) != (size_t)n) {
        *result = HEADER_GET_BAD;
        return LINE_STOP;
    }
    // A CR anywhere but right before the line feed is a line end to the
    // head parser and to header_length, which would end the head there
    // and drop the lines after it, while it is none to this reader or to
    // the peer: the two would disagree on the head and its framing.
    const char *cr = strchr(line, '\r');
    if (cr && strcmp(cr, "\r\n") != 0) {
        *result = HEADER_GET_BAD;
        return LINE_STOP;
    }
    if (strcmp(line, "\n") == 0 || strcmp(line, "\r\n") == 0) {
        if (head->empty())
            return LINE_MORE;  // empty lines before the start line
        head->append("\r\n");
        *result = HEADER_GET_OK;
        return LINE_DONE;
    }
    if (head->size() + (size_t)n > HEADER_COLLECT_MAX) {
        *result = HEADER_GET_TOO_LONG;
        return LINE_STOP;
    }
    head->append(line, (size_t)n);
    return LINE_MORE;
}

// What waiting for the side's socket ended with.
enum WaitResult { WAIT_READABLE, WAIT_AGAIN, WAIT_STOP };

// Waits at most ms for the side's socket to become readable.  Input from
// the other side meanwhile waits in its own buffer; on SIDE_CLIENT a server
// socket whose peer closed is deleted.  WAIT_AGAIN when the wait ended
// without input for the side (a signal, the other side's input, the time),
// WAIT_STOP when the side or the server on SIDE_SERVER is gone.
WaitResult wait_readable(CONNECTION_T *conn, int side, Socket *sock, Socket *other,
                         int64_t ms)
{
    struct pollfd fds[2];
    fds[0] = {sock->fd, POLLIN, 0};
    nfds_t nfds = 1;
    if (other && other->fd >= 0) {
        fds[1] = {other->fd, POLLIN, 0};
        nfds = 2;
    }
    int r = poll(fds, nfds, (int)std::min<int64_t>(ms, INT_MAX));
    if (r < 0) {
        if (errno == EINTR)
            return WAIT_AGAIN;
        putlog_system(LOG_ERROR, "poll", errno, ", in %s, poll failed, socket unavailable",
                      "header_get");
        return WAIT_STOP;
    }
    if (fds[0].revents & POLLIN)
        return WAIT_READABLE;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        return WAIT_STOP;
    if (nfds == 2 && (fds[1].revents & POLLIN)) {
        // Input from the other side waits in its own buffer.
        if (other->Read(nullptr, -1, 1) <= 0) {
            if (side == SIDE_SERVER)
                return WAIT_STOP;
            delete conn->server;
            conn->server = nullptr;
        }
    } else if (nfds == 2 && (fds[1].revents & (POLLERR | POLLHUP | POLLNVAL))) {
        return WAIT_STOP;
    }
    return WAIT_AGAIN;
}

} // namespace

char *header_get(CONNECTION_T *conn, int side, int timeout, int *result)
{
    int res = HEADER_GET_NONE;
    std::string head;
    int64_t deadline = now_ms() + (int64_t)timeout * 1000;
    for (;;) {
        Socket *sock = side == SIDE_SERVER ? conn->server : conn->client;
        Socket *other = side == SIDE_SERVER ? conn->client : conn->server;
        int64_t left = deadline - now_ms();
        if (!sock || left <= 0)
            break;
        // Buffered bytes are read without waiting: the next line (or the
        // rest of it, within the time left) comes from the buffer first.
        if (!sock->inbuf_len) {
            WaitResult w = wait_readable(conn, side, sock, other, left);
            if (w == WAIT_STOP)
                break;
            if (w == WAIT_AGAIN)
                continue;
        }
        int seconds = (int)((left + 999) / 1000);
        if (line_take(sock, &head, seconds, &res) != LINE_MORE)
            break;
    }
    if (res == HEADER_GET_NONE && !head.empty())
        res = HEADER_GET_PARTIAL;
    if (result)
        *result = res;
    return res == HEADER_GET_OK ? xstrdup(head.c_str()) : nullptr;
}

int header_send(HEADER *h, CONNECTION_T *conn, int side, int mode)
{
    if (side != SIDE_SERVER && (conn->flags & CONN_CLIENT_GONE))
        return 0;
    Socket *sock = side == SIDE_SERVER ? conn->server : conn->client;
    ScratchFilebuf buf;
    if (header_send_filebuf(buf.get(), h, conn, mode) != 0)
        return -1;
    if (!sock)
        return side == SIDE_SERVER ? -2 : 0;
    if (sock->WriteFilebuf(buf.get()) < 0)
        return -2;
    sock->Flush();
    return 0;
}

namespace {

// A coding name as a comparable word: x-gzip is gzip.
bool coding_is(const char *name, size_t length, const char *coding)
{
    if (length == 6 && strncasecmp(name, "x-gzip", 6) == 0) {
        name = "gzip";
        length = 4;
    }
    if (strcasecmp(coding, "x-gzip") == 0)
        coding = "gzip";
    return strlen(coding) == length && strncasecmp(name, coding, length) == 0;
}

} // namespace

bool header_accepts_coding(const char *accept_encoding, const char *coding)
{
    if (!accept_encoding || !coding)
        return false;
    // The q of the coding when it is named, else that of "*"; -1 unnamed.
    double named = -1, star = -1;
    const char *p = accept_encoding;
    while (*p) {
        size_t item = strcspn(p, ",");
        const char *end = p + item;
        const char *name = p;
        while (name < end && (*name == ' ' || *name == '\t'))
            name++;
        size_t length = strcspn(name, ";, \t");
        if (name + length > end)
            length = (size_t)(end - name);
        double q = 1;
        for (const char *param = name + length; param < end;) {
            param += strcspn(param, ";");
            if (param >= end)
                break;
            param++;
            while (param < end && (*param == ' ' || *param == '\t'))
                param++;
            if (end - param >= 2 && (*param == 'q' || *param == 'Q')) {
                const char *v = param + 1;
                while (v < end && (*v == ' ' || *v == '\t'))
                    v++;
                if (v < end && *v == '=') {
                    char *stop = nullptr;
                    q = strtod(v + 1, &stop);
                    if (stop == v + 1)
                        q = 0;
                }
            }
        }
        if (length == 1 && *name == '*')
            star = q;
        else if (length && coding_is(name, length, coding))
            named = q;
        p = *end ? end + 1 : end;
    }
    double q = named >= 0 ? named : star;
    return q > 0;
}

void header_lines_remove(HEADER *h, const char *name)
{
    auto named = [name](const HTTP_HEADER &line) {
        return strcasecmp(line.name.c_str(), name) == 0;
    };
    for (std::vector<HTTP_HEADER> *list : {&h->headers, &h->filtered})
        list->erase(std::remove_if(list->begin(), list->end(), named), list->end());
}

const char *header_line_value(const HEADER *h, const char *name)
{
    for (const HTTP_HEADER &line : h->headers)
        if (strcasecmp(line.name.c_str(), name) == 0)
            return line.value.c_str();
    return nullptr;
}
