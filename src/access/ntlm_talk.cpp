// The authentication-service relay for NTLM and Negotiate.
#include "access/ntlm_talk.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <poll.h>

#include "access/access.h"
#include "access/ldap_profile.h"
#include "config/general.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/log.h"
#include "runtime/logmask.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

const char *client_address(const CONNECTION_T *connection)
{
    return connection->client_ip ? connection->client_ip : "";
}

const char *scheme_name(const CONNECTION_T *connection)
{
    return connection->auth_scheme == 1 ? "NTLM" : "Negotiate";
}

double seconds_since(const struct timespec &start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (double)(now.tv_sec - start.tv_sec) + (double)(now.tv_nsec - start.tv_nsec) / 1e9;
}

// The client request's own address for the service: its X-Forwarded-For
// value when it has one, else the client address.
const char *forwarded_for(const CONNECTION_T *connection)
{
    const HEADER *request = connection->request;
    if (request != nullptr && request->x_forwarded_for != nullptr && *request->x_forwarded_for)
        return request->x_forwarded_for;
    return client_address(connection);
}

}  // namespace

std::string httpauth_host()
{
    return access_section != nullptr ? access_section->auth_service_get() : std::string();
}

int make_new_httpauth_socket(CONNECTION_T *connection)
{
    if (connection->auth_socket != nullptr)
        return 0;
    std::string host = httpauth_host();
    int fd = net_connect(host.c_str(), HTTPAUTH_PORT, HTTPAUTH_CONNECT_TIMEOUT);
    putlog(LOG_DEBUG, "creating new httpauth connection:%d", fd);
    if (fd < 0) {
        putlog(LOG_ERROR, "security: [IP:%s] connection failed to %s:%d",
               client_address(connection), host.c_str(), HTTPAUTH_PORT);
        return -1;
    }
    connection->auth_socket = new Socket(fd);
    connection->auth_socket->SetTimeout(HTTPAUTH_CONNECT_TIMEOUT);
    return 0;
}

void flush_httpauth_socket(CONNECTION_T *connection)
{
    if (connection->auth_socket != nullptr)
        connection->auth_socket->Flush();
}

void close_httpauth_socket(CONNECTION_T *connection)
{
    if (connection->auth_socket == nullptr)
        return;
    connection->auth_socket->Flush();
    delete connection->auth_socket;
    connection->auth_socket = nullptr;
}

char *header_get_for_authentication(CONNECTION_T *connection, int seconds)
{
    Socket *socket = connection->auth_socket;
    if (socket == nullptr)
        return nullptr;
    std::string head;
    bool content = false;
    bool complete = false;
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    char line[HTTPAUTH_HEAD_MAX + 2];
    while (!complete) {
        double elapsed = seconds_since(start);
        if (elapsed >= seconds)
            break;
        int remaining_ms = (int)((seconds - elapsed) * 1000.0) + 1;
        if (socket->inbuf_len == 0) {
            struct pollfd watch = {socket->fd, POLLIN, 0};
            int ready = p_poll(&watch, 1, remaining_ms);
            if (ready < 0) {
                if (errno == EINTR)
                    continue;
                putlog(LOG_ERROR, "network: [IP:%s] %s:connection failed",
                       client_address(connection), httpauth_host().c_str());
                break;
            }
            if (ready == 0)
                continue;
            if (!(watch.revents & POLLIN))
                break;
        }
        size_t room = HTTPAUTH_HEAD_MAX - head.size();
        int wait = (int)(seconds - seconds_since(start) + 0.999);
        if (wait < 1)
            wait = 1;
        ssize_t n = socket->GetLine(line, (ssize_t)(room + 1 < 2 ? 2 : room + 1), wait);
        if (n <= 0)
            break;
        bool empty = strcmp(line, "\n") == 0 || strcmp(line, "\r\n") == 0;
        bool full = head.size() >= HTTPAUTH_HEAD_MAX;
        if (empty) {
            if (content || full)
                complete = true;
            continue;
        }
        if (full) {
            complete = true;
            continue;
        }
        head += line;
        content = true;
    }
    if (complete) {
        head += "\r\n";
        return xstrdup(head.c_str());
    }
    return head.empty() ? nullptr : xstrdup(head.c_str());
}

int validate_auth_tracking(CONNECTION_T *connection)
{
    const char *address = client_address(connection);
    std::string host = httpauth_host();
    flush_httpauth_socket(connection);
    const char *credentials = connection->request ? connection->request->proxy_authorization
                                                  : nullptr;
    ssize_t sent = connection->auth_socket->PutSock(
        "GET http://%s/authenticate HTTP/1.1\r\nHost: %s\r\nX-Forwarded-For: %s\r\n"
        "Proxy-Authorization: %s\r\n\r\n",
        host.c_str(), host.c_str(), forwarded_for(connection),
        credentials ? credentials : "");
    if (sent < 0 || connection->auth_socket->Flush() != 0) {
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:socket write failed", address,
               scheme_name(connection), connection->requests, host.c_str());
        connection->auth_state = -1;
        return 500;
    }
    int limit = HTTPAUTH_REPLY_TIMEOUT;
    if (general_section != nullptr) {
        int io = general_section->timeout_get(connection);
        if (io > 0 && io < limit)
            limit = io;
    }
    char *text = header_get_for_authentication(connection, limit);
    if (text == nullptr) {
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:socket read failed", address,
               scheme_name(connection), connection->requests, host.c_str());
        connection->auth_state = -1;
        return 500;
    }
    if (loglevel & LOG_DEBUG)
        putlog(LOG_DEBUG, "security: [IP:%s] auth service:\n%s", address,
               logmask_head(text).c_str());
    HEADER *reply = http_header_parse_response(text);
    free(text);
    if (reply == nullptr) {
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:response corrupted", address,
               scheme_name(connection), connection->requests, host.c_str());
        return 500;
    }
    int result;
    const char *named = reply->proxy_authenticate_header;
    if (reply->status == 200 && (named == nullptr || *named == '\0')) {
        // A completed handshake that names nobody cannot be applied to
        // the rules: it counts as a failed exchange.
        putlog(LOG_ERROR, "[IP:%s] [%s:%d] %s:response corrupted", address,
               scheme_name(connection), connection->requests, host.c_str());
        result = 500;
    } else if (reply->status == 200) {
        free(connection->auth_user);
        connection->auth_user = xstrdup(named);
        connection->auth_state = 2;
        putlog(LOG_DEBUG, "[IP:%s] %s: authenticated: [user:%s] [ldapinfo:%s]", address,
               scheme_name(connection), named ? named : "",
               reply->location ? reply->location : "");
        if (reply->location != nullptr && *reply->location != '\0') {
            char **parts = string_break(reply->location, ';');
            std::string dn = parts && parts[0] ? parts[0] : "";
            std::string groups = parts && parts[0] && parts[1] ? parts[1] : "";
            array_free(parts);
            if (dn.size() > 2046)
                dn.resize(2046);
            if (groups.size() > 2046)
                groups.resize(2046);
            update_dn_cache(named, dn.c_str(), groups.c_str());
        }
        result = 200;
    } else if (reply->status == 407) {
        free(connection->auth_challenge);
        connection->auth_challenge = named != nullptr ? xstrdup(named) : nullptr;
        connection->auth_state = 0;
        result = 407;
    } else {
        free(connection->auth_challenge);
        connection->auth_challenge = nullptr;
        putlog(LOG_ERROR, "trace: code:%d challenge: %s", reply->status,
               logmask_value("Proxy-Authenticate", named ? named : "").c_str());
        result = 500;
    }
    http_header_free(reply);
    return result;
}

int ntlm_communicate(CONNECTION_T *connection, char *)
{
    const char *address = client_address(connection);
    if (connection->auth_state == 2)
        putlog(LOG_ERROR, "[IP:%s] %s:%d connection already authenticated", address,
               scheme_name(connection), connection->requests);
    if (connection->request == nullptr || connection->request->proxy_authorization == nullptr) {
        putlog(LOG_SECURITY, "warn: [IP:%s] [request:%d] NULL Proxy-Authorization Headers recieved",
               address, connection->requests);
        return 500;
    }
    if (make_new_httpauth_socket(connection) != 0)
        return 407;
    flush_httpauth_socket(connection);
    int result = validate_auth_tracking(connection);
    flush_httpauth_socket(connection);
    if (result == 200) {
        close_httpauth_socket(connection);
        return 200;
    }
    if (result == 500) {
        close_httpauth_socket(connection);
        return 407;
    }
    return 407;
}
