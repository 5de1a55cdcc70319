// URL commands: parsing them off host names and paths, the Referer rule,
// and writing them back into URLs.
#include "engine/urlcommand.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <strings.h>

#include "engine/connection.h"
#include "engine/header.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

namespace {

url_command_t **list_append(url_command_t **list, url_command_t *command);
int referer_rule(CONNECTION_T *conn);
int redirect_with(CONNECTION_T *conn, url_command_t **commands);

#define URL_COMMAND_PREFIX "xx--"
#define URL_COMMAND_PREFIX_LEN 4
// Longest URL url_command_add gives.
#define URL_COMMAND_URL_MAX 4095

url_command_t **list_append(url_command_t **list, url_command_t *command)
{
    size_t n = 0;
    while (list && list[n])
        n++;
    size_t bytes = (n + 2) * sizeof(url_command_t *);
    list = (url_command_t **)xrealloc(list, bytes);
    ASSERT_ALLOC(list, bytes);
    list[n] = command;
    list[n + 1] = nullptr;
    return list;
}

// Answers the client with a 302 to the request's own URL carrying the
// Referer's commands.  Returns 0 when the answer went out, 1 when it could
// not be written (the request then goes on with the commands).
int redirect_with(CONNECTION_T *conn, url_command_t **commands)
{
    HEADER *req = conn->request;
    std::string host = req->host && *req->host ? req->host : "";
    int port = req->port;
    // A Host value may name a port of its own; one that is no host name
    // and port gets no redirect (the road refuses it later).
    if (host.empty() && req->host_header && !header_host_split(req->host_header, &host, &port))
        return 1;
    char *prefixes = url_command_create(commands);
    std::string location = std::string(req->scheme ? req->scheme : "http") + "://" +
                           prefixes + host + ":" + std::to_string(port) +
                           (req->path ? req->path : "/");
    free(prefixes);

    HEADER *resp = header_new();
    resp->kind = HEADER_RESPONSE;
    resp->status = 302;
    resp->flags |= HEADER_LENGTH;
    header_field_set(&resp->location, location.c_str());
    int sent = header_send(resp, conn, SIDE_CLIENT, SEND_TO_CLIENT);
    http_header_free(resp);
    return sent == -1 ? 1 : 0;
}

// Commands carried by the Referer pass to the pages a user follows.
int referer_rule(CONNECTION_T *conn)
{
    HEADER *req = conn->request;
    if (!req->referer)
        return 1;
    const char *after = strstr(req->referer, "://");
    after = after ? after + 3 : req->referer;
    size_t length = 0;
    char *decoded = url_decode(after, -1, &length);
    if (!decoded)
        return 1;
    url_command_t **commands = url_command_parse(decoded);
    if (!commands) {
        free(decoded);
        return 1;
    }
    char *encoded = url_encode(decoded, -1);
    std::string referer = std::string(req->scheme ? req->scheme : "http") + "://" + encoded;
    free(encoded);
    free(decoded);
    header_field_set(&req->referer, referer.c_str());

    if (conn->url_commands) {
        url_command_free(commands);
        return 1;
    }
    bool get = req->method && strcasecmp(req->method, "GET") == 0;
    bool named = (req->host && *req->host) || req->host_header;
    if (!get || !named) {
        conn->url_commands = commands;
        return 1;
    }
    int result = redirect_with(conn, commands);
    if (result == 1)
        conn->url_commands = commands;
    else
        url_command_free(commands);
    return result;
}

} // namespace

url_command_t **url_command_parse(char *text)
{
    url_command_t **list = nullptr;
    while (strncasecmp(text, URL_COMMAND_PREFIX, URL_COMMAND_PREFIX_LEN) == 0) {
        char *start = text + URL_COMMAND_PREFIX_LEN;
        char *dot = strchr(start, '.');
        if (!dot)
            break;
        url_command_t *command = (url_command_t *)xmalloc(sizeof(url_command_t));
        ASSERT_ALLOC(command, sizeof(url_command_t));
        char *bracket = (char *)memchr(start, '[', (size_t)(dot - start));
        if (bracket) {
            command->name = xstrndup(start, (size_t)(bracket - start));
            char *close = (char *)memchr(bracket + 1, ']', (size_t)(dot - bracket - 1));
            command->options = close ? xstrndup(bracket + 1, (size_t)(close - bracket - 1))
                                     : nullptr;
        } else {
            command->name = xstrndup(start, (size_t)(dot - start));
            command->options = nullptr;
        }
        list = list_append(list, command);
        memmove(text, dot + 1, strlen(dot + 1) + 1);
    }
    return list;
}

int url_command_extract(CONNECTION_T *conn)
{
    HEADER *req = conn->request;
    url_command_free(conn->url_commands);
    conn->url_commands = nullptr;
    if (!req)
        return 1;

    if (req->kind == HEADER_TRANSPARENT) {
        if (req->host_header) {
            conn->url_commands = url_command_parse(req->host_header);
        } else if (req->path && req->path[0] == '/') {
            // The commands may stand in the first segment of the path.
            const char *second = strchr(req->path + 1, '/');
            size_t seg_len = second ? (size_t)(second - req->path - 1) : strlen(req->path + 1);
            char *segment = url_decode(req->path + 1, (int64_t)seg_len, nullptr);
            if (segment) {
                conn->url_commands = url_command_parse(segment);
                free(segment);
            }
            if (conn->url_commands)
                header_field_set(&req->path, second ? second : "/");
        }
    } else if (req->host) {
        conn->url_commands = url_command_parse(req->host);
        if (conn->url_commands)
            header_complete(req);
    }
    return referer_rule(conn);
}

url_command_t *url_command_find(url_command_t **list, const char *name)
{
    for (size_t i = 0; list && list[i]; i++) {
        if (strcasecmp(list[i]->name, name) == 0)
            return list[i];
    }
    return nullptr;
}

char *url_command_create(url_command_t **list)
{
    std::string text;
    for (size_t i = 0; list && list[i]; i++) {
        text += URL_COMMAND_PREFIX;
        text += list[i]->name;
        if (list[i]->options) {
            text += "[";
            text += list[i]->options;
            text += "]";
        }
        text += ".";
    }
    return xstrdup(text.c_str());
}

char *url_command_add(CONNECTION_T *conn, const char *url)
{
    HEADER *req = conn->request;
    char *prefixes = url_command_create(conn->url_commands);
    std::string scheme = req && req->scheme ? req->scheme : "http";
    std::string host = req && req->host ? req->host : "";
    std::string port = std::to_string(req ? req->port : 80);
    std::string result;
    const char *after = strstr(url, "://");
    if (after) {
        result = scheme + "://" + prefixes + (after + 3);
    } else if (url[0] == '/') {
        result = scheme + "://" + prefixes + host + ":" + port + url;
    } else {
        std::string path = req && req->path ? req->path : "/";
        size_t last = path.rfind('/');
        path = last == std::string::npos ? "/" : path.substr(0, last + 1);
        result = scheme + "://" + prefixes + host + ":" + port + path + url;
    }
    free(prefixes);
    // A cut URL would name another resource: keep the server's own.
    if (result.size() > URL_COMMAND_URL_MAX)
        return xstrdup(url);
    return xstrdup(result.c_str());
}

void url_command_log(url_command_t **list)
{
    for (size_t i = 0; list && list[i]; i++) {
        if (list[i]->options)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", list[i]->name, list[i]->options);
        else
            putlog(LOG_URLCOMMAND, "command: %s", list[i]->name);
    }
}

void url_command_free(url_command_t **list)
{
    if (!list)
        return;
    for (size_t i = 0; list[i]; i++) {
        free(list[i]->name);
        free(list[i]->options);
        free(list[i]);
    }
    free(list);
}
