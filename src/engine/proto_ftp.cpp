// The FTP gateway.
#include "engine/proto_ftp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include "cache/serve.h"
#include "config/general.h"
#include "engine/body.h"
#include "engine/connection.h"
#include "engine/dirlist.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/proto_http.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/urlcommand.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/stats.h"

namespace {

// Longest reply line kept; the rest of a longer line is read and dropped.
constexpr size_t FTP_LINE_MAX = 1023;
// Most lines one reply may have.
constexpr int FTP_REPLY_LINES_MAX = 1000;
// Longest listing read for a directory page or a file's size and date.
constexpr int64_t FTP_LISTING_MAX = 16 * 1024 * 1024;

typedef std::map<std::string, std::string> FormArgs;

struct Gateway {
    CONNECTION_T *conn;
    Socket *control;
    int timeout;
    std::string path;  // decoded, without the query
    std::string user;
    std::string password;
    FormArgs form;
};

const char *client(const Gateway &g)
{
    return protocol_client_text(g.conn);
}

bool command(Gateway &g, const std::string &text)
{
    std::string line = text + "\r\n";
    if (g.control->Write(line.data(), (ssize_t)line.size()) < 0)
        return false;
    return g.control->Flush() == 0 && g.control->outbuf_len == 0;
}

FtpReply reply(Gateway &g)
{
    return ftp_reply_read(g.control, g.timeout);
}

// Decodes a form or path text; false when it is malformed or holds a byte
// that must never reach an FTP command (CR, LF, NUL).
bool decode_safe(const std::string &text, std::string *out)
{
    size_t len = 0;
    char *decoded = url_decode(text.c_str(), -1, &len);
    if (!decoded)
        return false;
    bool safe = url_header_safe(decoded, len);
    if (safe)
        out->assign(decoded, len);
    free(decoded);
    return safe;
}

bool parse_form(const std::string &query, FormArgs *form)
{
    size_t pos = 0;
    while (pos <= query.size()) {
        size_t amp = query.find('&', pos);
        std::string pair = query.substr(pos, amp == std::string::npos ? std::string::npos
                                                                      : amp - pos);
        if (!pair.empty()) {
            size_t eq = pair.find('=');
            std::string name, value;
            if (!decode_safe(pair.substr(0, eq), &name))
                return false;
            if (eq != std::string::npos && !decode_safe(pair.substr(eq + 1), &value))
                return false;
            if (!form->count(name))
                (*form)[name] = value;
        }
        if (amp == std::string::npos)
            break;
        pos = amp + 1;
    }
    return true;
}

std::string arg(const Gateway &g, const char *name)
{
    auto it = g.form.find(name);
    return it == g.form.end() ? std::string() : it->second;
}

// Sends a response head of this status and type (length -1: the body ends
// with the connection) and the body; 0 when the client took it.
int answer(Gateway &g, int status, const char *type, const std::string *body, int64_t length,
           const char *location = nullptr, const char *last_modified = nullptr)
{
    CONNECTION_T *conn = g.conn;
    HEADER *r = header_new();
    r->kind = HEADER_RESPONSE;
    r->version = 2;
    r->status = status;
    if (type)
        header_field_set(&r->content_type, type);
    if (location)
        header_field_set(&r->location, location);
    if (last_modified)
        header_field_set(&r->last_modified, last_modified);
    if (length >= 0) {
        r->flags |= HEADER_LENGTH;
        r->content_length = (uint64_t)length;
    } else {
        conn->keepalive_client = 0;
    }
    http_header_free(conn->response);
    conn->response = r;
    int result = header_send(r, conn, SIDE_CLIENT, SEND_TO_CLIENT);
    if (result == 0 && body && !(conn->flags & CONN_HEAD) && !body->empty()) {
        if (conn->client->Write(body->data(), (ssize_t)body->size()) < 0)
            result = -1;
        conn->client->Flush();
    }
    return result;
}

void page(Gateway &g, const char *name, int status)
{
    protocol_page(g.conn, name, status, false);
}

// The FTP server's address for data connections: the control
// connection's peer when it goes direct, else the host the SOCKS server
// or parent was asked for (its own address is not the FTP server's).
bool server_address(Gateway &g, std::string *out)
{
    CONNECTION_T *conn = g.conn;
    if (conn->forward_type != FORWARD_DIRECT) {
        if (!conn->request->host || !*conn->request->host)
            return false;
        *out = conn->request->host;
        return true;
    }
    struct sockaddr_in peer;
    socklen_t length = sizeof(peer);
    char ip[INET_ADDRSTRLEN];
    if (getpeername(g.control->fd, (struct sockaddr *)&peer, &length) != 0 ||
        peer.sin_family != AF_INET || !inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof(ip)))
        return false;
    *out = ip;
    return true;
}

// Opens a data connection and sends the transfer command; the server must
// answer it with 125 or 150 (a refusal comes back in *refused).  Data goes
// only to the FTP server (server_address), whatever a PASV reply names,
// and along the control connection's road.
Socket *data_open(Gateway &g, const std::string &transfer, FtpReply *refused)
{
    CONNECTION_T *conn = g.conn;
    bool passive = ftp_section ? ftp_section->passive_get() == 1 : true;
    struct sockaddr_in control_addr;
    socklen_t addr_len = sizeof(control_addr);
    Socket *data = nullptr;
    if (passive) {
        putlog(LOG_DEBUG, "ftp: [IP:%s] setting up a PASV connection mode %s %s", client(g),
               conn->request->method ? conn->request->method : "", conn->request->url);
        std::string server;
        if (!server_address(g, &server) || !command(g, "PASV"))
            return nullptr;
        FtpReply r = reply(g);
        int port = r.code == 227 ? ftp_pasv_port(r.text.c_str()) : 0;
        if (port == 0) {
            putlog(LOG_ERROR, "ftp: [IP:%s] no usable PASV reply: %d", client(g), r.code);
            return nullptr;
        }
        data = protocol_open_along(conn, server.c_str(), port);
        if (!data)
            return nullptr;
        data->SetTimeout(g.timeout);
        if (!command(g, transfer)) {
            delete data;
            return nullptr;
        }
        FtpReply go = reply(g);
        if (go.code != 125 && go.code != 150) {
            *refused = go;
            delete data;
            return nullptr;
        }
        return data;
    }
    if (getsockname(g.control->fd, (struct sockaddr *)&control_addr, &addr_len) != 0 ||
        control_addr.sin_family != AF_INET)
        return nullptr;
    int listener = s_socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return nullptr;
    struct sockaddr_in local = control_addr;
    local.sin_port = 0;
    addr_len = sizeof(local);
    if (bind(listener, (struct sockaddr *)&local, sizeof(local)) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&local, &addr_len) != 0) {
        close(listener);
        return nullptr;
    }
    char *port_text = ftpport_create(&local);
    bool sent = port_text && command(g, std::string("PORT ") + port_text);
    free(port_text);
    FtpReply r;
    if (sent)
        r = reply(g);
    if (!sent || r.code != 200 || !command(g, transfer)) {
        close(listener);
        return nullptr;
    }
    FtpReply go = reply(g);
    if (go.code != 125 && go.code != 150) {
        *refused = go;
        close(listener);
        return nullptr;
    }
    struct pollfd p = {listener, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, g.timeout * 1000);
    } while (ready < 0 && errno == EINTR);
    int fd = -1;
    if (ready == 1 && (p.revents & POLLIN)) {
        struct sockaddr_in peer;
        socklen_t peer_len = sizeof(peer);
        fd = s_accept(listener, (struct sockaddr *)&peer, &peer_len);
        // Only the control connection's server may bring the data.
        if (fd >= 0 && peer.sin_addr.s_addr != 0) {
            struct sockaddr_in server;
            socklen_t server_len = sizeof(server);
            if (getpeername(g.control->fd, (struct sockaddr *)&server, &server_len) != 0 ||
                server.sin_addr.s_addr != peer.sin_addr.s_addr) {
                putlog(LOG_SECURITY, "ftp: [IP:%s] data connection from another address refused",
                       client(g));
                close(fd);
                fd = -1;
            }
        }
    }
    close(listener);
    if (fd < 0)
        return nullptr;
    data = new Socket(fd);
    data->SetTimeout(g.timeout);
    return data;
}

// The end of a transfer: the server's completion reply.  A connection
// whose reply is missing or a failure cannot be reused.
bool transfer_done(Gateway &g)
{
    FtpReply r = reply(g);
    if (r.code < 200 || r.code > 299) {
        g.conn->keepalive_server = 0;
        return false;
    }
    return true;
}

// The whole listing of the current directory, or null.
Filebuf *listing_read(Gateway &g, FtpReply *refused)
{
    Socket *data = data_open(g, "LIST", refused);
    if (!data)
        return nullptr;
    Filebuf *listing = new Filebuf();
    char block[16384];
    for (;;) {
        ssize_t n = data->Read(block, sizeof(block), g.timeout);
        if (n <= 0)
            break;
        if (listing->size + n > FTP_LISTING_MAX) {
            putlog(LOG_WARNING, "ftp: [IP:%s] listing cut at %lld bytes", client(g),
                   (long long)FTP_LISTING_MAX);
            break;
        }
        listing->Add(block, (size_t)n);
    }
    delete data;
    transfer_done(g);
    return listing;
}

// Login on a new control connection (greeting first) or a reused one.
// 1 logged in; 0 when it answered the client; -1 when the connection gave
// no reply.
int login(Gateway &g, bool fresh)
{
    CONNECTION_T *conn = g.conn;
    const char *url = conn->request->url ? conn->request->url : "";
    if (fresh) {
        FtpReply greeting = reply(g);
        if (greeting.code != 220) {
            putlog(LOG_DEBUG, "ftp: [IP:%s] no greeting from the server: %d %s", client(g),
                   greeting.code, greeting.text.c_str());
            return -1;
        }
    }
    if (!command(g, "USER " + g.user))
        return -1;
    FtpReply r = reply(g);
    if (r.code < 0) {
        putlog(LOG_DEBUG, "ftp: [IP:%s] no reply to USER", client(g));
        return -1;
    }
    if (r.code == 530) {
        putlog(LOG_ERROR, "ftp: [IP:%s] authentication failed for user: %s", client(g),
               g.user.c_str());
        page(g, "badauth", 404);
        return 0;
    }
    if (r.code == 331 || r.code == 332) {
        if (!command(g, "PASS " + g.password))
            return -1;
        r = reply(g);
        if (r.code < 200 || r.code > 299) {
            putlog(LOG_ERROR,
                   "ftp: [IP:%s] authentication failed for user: %s, reason: invalid password",
                   client(g), g.user.c_str());
            page(g, "badauth", 404);
            return 0;
        }
    } else if (r.code < 200 || r.code > 299) {
        putlog(LOG_ERROR, "ftp: [IP:%s]Bad response from FTP server for %s %s", client(g),
               conn->request->method ? conn->request->method : "", url);
        page(g, "badresponse", 404);
        return 0;
    }
    return 1;
}

// Sends the file operations the directory page's form asked for, each
// with its reply read.
void file_operations(Gateway &g)
{
    std::string action = arg(g, "action"), argument = arg(g, "argument");
    std::string filename = arg(g, "filename");
    if (action.empty())
        return;
    std::string cmd;
    if (action == "mkdir" && !argument.empty())
        cmd = "MKD " + argument;
    else if (action == "raw" && !argument.empty())
        cmd = argument;
    else if (action == "delete" && !filename.empty())
        cmd = "DELE " + filename;
    else if (action == "rmdir" && !filename.empty())
        cmd = "RMD " + filename;
    if (!cmd.empty()) {
        if (command(g, cmd))
            reply(g);
        return;
    }
    if (action == "rename" && !argument.empty() && !filename.empty()) {
        if (command(g, "RNFR " + filename) && reply(g).code == 350 &&
            command(g, "RNTO " + argument))
            reply(g);
    }
}

int serve_directory(Gateway &g)
{
    CONNECTION_T *conn = g.conn;
    HEADER *h = conn->request;
    if (g.path.empty() || g.path.back() != '/') {
        std::string raw_path = h->path ? h->path : "/";
        size_t q = raw_path.find('?');
        std::string location = raw_path.substr(0, q) + "/";
        answer(g, 302, nullptr, nullptr, 0, location.c_str());
        return 1;
    }
    file_operations(g);
    FtpReply refused;
    Filebuf *listing = listing_read(g, &refused);
    if (!listing) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to LIST %s %s", client(g),
               h->method ? h->method : "", h->url ? h->url : "");
        page(g, "noconnect", 404);
        return -1;
    }
    if (url_command_find(conn->url_commands, "raw")) {
        std::string body(listing->data ? listing->data : "", (size_t)listing->size);
        delete listing;
        answer(g, 200, "text/plain", &body, (int64_t)body.size());
        return 1;
    }
    dir_t *list = dir_list_parse(listing);
    delete listing;
    if (arg(g, "action") == "rematch" && !arg(g, "argument").empty())
        list = dir_list_filter(list, arg(g, "argument").c_str());
    int order = -1, field = -1;
    std::string o = arg(g, "order"), f = arg(g, "field");
    if (o == "ascending")
        order = 0;
    else if (o == "descending")
        order = 1;
    if (f == "name")
        field = 1;
    else if (f == "size")
        field = 2;
    else if (f == "date")
        field = 3;
    if (order < 0 || field < 0) {
        order = ftp_section ? ftp_section->sortorder_get() : 0;
        field = ftp_section ? ftp_section->sortfield_get() : 0;
    }
    list = dir_list_sort(list, order, field);
    std::string body = dir_list_page(list, h->host, h->port, g.path.c_str());
    dir_list_free(list);
    answer(g, 200, "text/html", &body, (int64_t)body.size());
    return 1;
}

// The response head the gateway answers a file with, as a server would
// have written it: the listing's size and date when the file was found.
char *file_head(int64_t length, const char *modified)
{
    char date[64] = "";
    time_t now = time(nullptr);
    struct tm tm;
    if (gmtime_r(&now, &tm))
        strftime(date, sizeof(date), "%a, %d %b %Y %T GMT", &tm);
    std::string head = "HTTP/1.1 200 OK\r\nDate: ";
    head += date;
    head += "\r\nContent-Type: application/octet-stream\r\n";
    if (length >= 0)
        head += "Content-Length: " + std::to_string(length) + "\r\n";
    if (modified && *modified)
        head += std::string("Last-Modified: ") + modified + "\r\n";
    head += "\r\n";
    return xstrdup(head.c_str());
}

// A held cache object whose stored date equals the listing's is
// confirmed, as a 304 with the same Last-Modified confirms an HTTP one:
// the client is answered from the object.  0 when the object was not
// confirmed (the request goes on), else the request's result.
int revalidated(Gateway &g, const char *modified)
{
    CONNECTION_T *conn = g.conn;
    if (!conn->cachemap || !(conn->flags & CONN_REVALIDATE) || !*modified)
        return 0;
    HEADER *probe = header_new();
    probe->kind = HEADER_RESPONSE;
    probe->version = 2;
    probe->status = 304;
    header_field_set(&probe->last_modified, modified);
    http_header_free(conn->response);
    conn->response = probe;
    int cached = cache_response(conn);
    http_header_free(conn->response);
    conn->response = nullptr;
    // Any other answer means the date differs: the cache has counted the
    // refresh miss and given the object up, and the file is fetched.
    if (cached != CACHE_RESPONSE_VALIDATED)
        return 0;
    char *stored = cache_stored_head(conn);
    if (!stored) {
        page(g, "unknown", 502);
        return -1;
    }
    if (!http_response_take(conn, stored))
        return -1;
    cache_hit_head(conn);
    return http_response_road(conn);
}

bool anonymous(const Gateway &g)
{
    return strcasecmp(g.user.c_str(), "anonymous") == 0;
}

// A file: its size and date from its directory's listing, a held cache
// object confirmed by that date or replaced, then the file over a data
// connection through the response road of the HTTP exchange (download
// limit, filters, buffering, processors and scanners, caching).
int serve_file(Gateway &g)
{
    CONNECTION_T *conn = g.conn;
    HEADER *h = conn->request;
    const char *method = h->method ? h->method : "";
    const char *url = h->url ? h->url : "";
    size_t slash = g.path.rfind('/');
    std::string dir = slash == std::string::npos ? "/" : g.path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? g.path : g.path.substr(slash + 1);
    if (!command(g, "CWD " + dir))
        return -1;
    FtpReply r = reply(g);
    if (r.code < 0)
        return -1;
    if (r.code == 550) {
        putlog(LOG_ERROR, "ftp: [IP:%s] file not found %s %s", client(g), method, url);
        page(g, "nofile", 404);
        return -1;
    }
    if (r.code != 250) {
        putlog(LOG_ERROR, "ftp: [IP:%s]Bad response from FTP server for %s %s", client(g), method,
               url);
        page(g, "badresponse", 404);
        return -1;
    }
    FtpReply refused;
    Filebuf *listing = listing_read(g, &refused);
    if (!listing) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to LIST %s %s", client(g), method, url);
        page(g, "noconnect", 404);
        return -1;
    }
    dir_t *list = dir_list_parse(listing);
    delete listing;
    int64_t length = -1;
    char modified[64] = "";
    for (dir_t *e = list; e; e = e->next) {
        if (!e->is_dir && name == e->file_name) {
            length = (int64_t)e->size;
            struct tm t = e->date;
            strftime(modified, sizeof(modified), "%a, %d %b %Y %T GMT", &t);
            break;
        }
    }
    dir_list_free(list);
    // Only an anonymous file described by its listing is cached.
    bool store = length >= 0 && anonymous(g);
    if (length < 0) {
        putlog(LOG_WARNING, "ftp: [IP:%s] failed to retrieve FTP file information %s %s",
               client(g), method, url);
        conn->keepalive_client = 0;
    }
    if (store) {
        int answered = revalidated(g, modified);
        if (answered != 0)
            return answered;
    } else {
        cache_give_up(conn);
        conn->flags &= ~CONN_REVALIDATE;
    }
    if (!http_response_take(conn, file_head(length, modified[0] ? modified : nullptr)))
        return -1;
    // A refusal of the download limit has answered the client.
    if ((!conn->cachemap && !transfer_limit_check(conn)) ||
        (store && cache_response(conn) == CACHE_RESPONSE_END)) {
        http_header_free(conn->response);
        conn->response = nullptr;
        return 1;
    }
    if (!store)
        xcache_header_update(conn, 1);
    if (conn->flags & CONN_HEAD) {
        // No transfer was started: the control connection stays usable.
        int kept = conn->keepalive_server;
        http_response_road(conn);
        conn->keepalive_server = kept;
        return 1;
    }
    Socket *data = data_open(g, "RETR " + g.path, &refused);
    if (!data) {
        // A refused RETR is an error page, never an empty success.
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to retrieve FTP file %s %s", client(g), method,
               url);
        cache_give_up(conn);
        http_header_free(conn->response);
        conn->response = nullptr;
        page(g, "nofile", 404);
        return -1;
    }
    // The data connection stands in for the server while the body moves.
    Socket *control = conn->server;
    conn->server = data;
    http_response_road(conn);
    conn->server = control;
    delete data;
    if (!transfer_done(g) && length < 0) {
        // A body framed by the close must not look whole when the server
        // says the transfer failed.
        conn->flags |= CONN_FAILED;
    }
    return 1;
}

} // namespace

int ftp_line_code(const char *line, bool *more)
{
    *more = false;
    if (!line)
        return 0;
    // Reply codes begin with 1 to 5; anything else is text.
    if (line[0] < '1' || line[0] > '5')
        return 0;
    for (int i = 1; i < 3; i++)
        if (line[i] < '0' || line[i] > '9')
            return 0;
    char after = line[3];
    if (after != ' ' && after != '-' && after != '\0' && after != '\r' && after != '\n')
        return 0;
    *more = after == '-';
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

FtpReply ftp_reply_read(Socket *control, int timeout)
{
    FtpReply result;
    char line[FTP_LINE_MAX + 1];
    int open_code = 0;
    for (int lines = 0; lines < FTP_REPLY_LINES_MAX; lines++) {
        ssize_t n = control->GetLine(line, sizeof(line), timeout);
        if (n <= 0)
            return FtpReply();
        size_t len = strlen(line);
        while (len && (line[len - 1] == '\n' || line[len - 1] == '\r'))
            line[--len] = '\0';
        bool more;
        int code = ftp_line_code(line, &more);
        if (open_code == 0) {
            if (code == 0)
                continue;  // a stray line before any reply
            if (!more) {
                result.code = code;
                result.text = line;
                return result;
            }
            open_code = code;
            continue;
        }
        // Inside a multi-line reply: it ends at "<same code> ".
        if (code == open_code && !more) {
            result.code = code;
            result.text = line;
            return result;
        }
    }
    return FtpReply();
}

int ftp_pasv_port(const char *text)
{
    const char *open = text ? strchr(text, '(') : nullptr;
    if (!open)
        return 0;
    const char *close = strchr(open, ')');
    if (!close || close - open - 1 > 64)
        return 0;
    std::string inner(open + 1, (size_t)(close - open - 1));
    struct sockaddr_in *addr = ftpport_parse(inner.c_str());
    if (!addr)
        return 0;
    int port = ntohs(addr->sin_port);
    free(addr);
    return port;
}

int protocol_ftp(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    putlog((conn->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           h->method ? h->method : "", h->url ? h->url : "");
    statincr_ftprequests(conn);
    Gateway g;
    g.conn = conn;
    g.control = conn->server;
    g.timeout = ftp_section ? ftp_section->timeout_get() : 60;
    std::string raw = h->path ? h->path : "/";
    size_t q = raw.find('?');
    std::string query = q == std::string::npos ? "" : raw.substr(q + 1);
    raw = raw.substr(0, q);
    bool ok = decode_safe(raw, &g.path) && parse_form(query, &g.form);
    if (h->user && *h->user) {
        g.user = h->user;
        g.password = h->password ? h->password : "";
    } else if (ftp_section) {
        ftp_section->login_get(g.user, g.password);
    }
    // No line break may reach a command: the server would take the rest as
    // a command of its own.
    if (!ok || !url_header_safe(g.user.data(), g.user.size()) ||
        !url_header_safe(g.password.data(), g.password.size())) {
        putlog(LOG_SECURITY, "ftp: [IP:%s] line break in the request refused",
               protocol_client_text(conn));
        conn->keepalive_server = 0;
        protocol_page(conn, "badrequest", 400, false);
        return -1;
    }
    if (g.path.empty())
        g.path = "/";
    int result = -1;
    for (int attempt = 0; attempt < 2 && g.control; attempt++) {
        bool fresh = !(conn->flags & CONN_POOLED);
        int logged = 1;
        if (fresh)
            logged = login(g, true);
        if (logged == 0) {
            conn->keepalive_server = 0;
            return -1;
        }
        FtpReply type;
        if (logged == 1 && command(g, "TYPE I"))
            type = reply(g);
        if (logged == 1 && type.code >= 200 && type.code <= 299) {
            result = 1;
            break;
        }
        if (!fresh && attempt == 0) {
            // A pooled connection that no longer answers: a new one.
            conn->flags &= ~CONN_POOLED;
            int code = protocol_reconnect(conn);
            g.control = conn->server;
            if (code < 0) {
                putlog(LOG_ERROR, "ftp: [IP:%s] connection failed again to %s %s",
                       protocol_client_text(conn), h->method ? h->method : "",
                       h->url ? h->url : "");
                conn->keepalive_server = 0;
                return -1;
            }
            continue;
        }
        putlog(LOG_ERROR, "ftp: [IP:%s] connection failed to %s %s", protocol_client_text(conn),
               h->method ? h->method : "", h->url ? h->url : "");
        conn->keepalive_server = 0;
        protocol_page(conn, "noconnect", 404, false);
        return -1;
    }
    if (result != 1)
        return -1;
    conn->flags |= CONN_POOLED;
    conn->keepalive_server = 1;

    if (!command(g, "CWD " + g.path)) {
        conn->keepalive_server = 0;
        return -1;
    }
    FtpReply cwd = reply(g);
    if (cwd.code < 0) {
        putlog(LOG_ERROR, "ftp: [IP:%s] failed to change directory to %s",
               protocol_client_text(conn), g.path.c_str());
        conn->keepalive_server = 0;
        protocol_page(conn, "noconnect", 404, false);
        return -1;
    }
    if (cwd.code == 250)
        result = serve_directory(g);
    else if (cwd.code == 550)
        result = serve_file(g);
    else {
        putlog(LOG_ERROR, "ftp: [IP:%s]Bad response from FTP server for %s %s",
               protocol_client_text(conn), h->method ? h->method : "", h->url ? h->url : "");
        protocol_page(conn, "badresponse", 404, false);
        result = -1;
    }
    if (conn->response) {
        conn->log_entry.status = conn->response->status;
        conn->log_entry.size = (int64_t)conn->bytes_downloaded;
        conn->log_entry.mime = "text/plain";
        http_header_free(conn->response);
        conn->response = nullptr;
        conn->log_entry.Write();
        conn->log_entry.apache_Write();
    }
    if (result < 0)
        conn->keepalive_server = 0;
    return result;
}
