// SOCKS4 and SOCKS5 client handshakes.
#include "engine/socks.h"

#include <cstring>
#include <string>

#include "engine/connection.h"
#include "engine/dns.h"
#include "engine/fetch.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/log.h"

namespace {

// Reads exactly len bytes within the socket's time-out (a reply may come
// in several segments).  false when the peer ended, failed or was silent.
bool read_exact(Socket *sock, unsigned char *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t r = sock->Read((char *)buf + got, (ssize_t)(len - got), -1);
        if (r <= 0)
            return false;
        got += (size_t)r;
    }
    return true;
}

bool send_all(Socket *sock, const std::string &bytes)
{
    if (sock->Write(bytes.data(), (ssize_t)bytes.size()) < 0)
        return false;
    return sock->Flush() == 0 && sock->outbuf_len == 0;
}

} // namespace

int socks4_handshake(Socket *sock, uint32_t address, int port, const char *userid)
{
    if (port < 1 || port > 65535)
        return SOCKS_FAILED;
    std::string request;
    request += '\x04';
    request += '\x01';
    request += (char)((port >> 8) & 0xFF);
    request += (char)(port & 0xFF);
    request.append((const char *)&address, 4);
    std::string id = userid ? userid : "";
    if (id.size() > 54)
        id.resize(54);
    request += id;
    request += '\0';
    if (!send_all(sock, request))
        return SOCKS_FAILED;
    unsigned char reply[8];
    if (!read_exact(sock, reply, sizeof(reply)))
        return SOCKS_FAILED;
    switch (reply[1]) {
    case 0x5A:
        return SOCKS_OK;
    case 0x5B:
        return SOCKS_FAILED;
    case 0x5C:
    case 0x5D:
        return SOCKS_IDENT;
    default:
        return SOCKS_UNEXPECTED;
    }
}

int socks5_handshake(Socket *sock, const char *host, int port, const char *user,
                     const char *password)
{
    size_t host_len = host ? strlen(host) : 0;
    if (host_len == 0 || host_len > 255 || port < 1 || port > 65535)
        return SOCKS_FAILED;
    for (size_t i = 0; i < host_len; i++)
        if ((unsigned char)host[i] < 0x21 || host[i] == 0x7F)
            return SOCKS_FAILED;
    if (!send_all(sock, std::string("\x05\x02\x00\x02", 4)))
        return SOCKS_FAILED;
    unsigned char choice[2];
    if (!read_exact(sock, choice, 2) || choice[0] != 0x05)
        return SOCKS_FAILED;
    if (choice[1] == 0x02) {
        // Credentials go only to a server that asked for them, and only
        // when the rule has both.
        if (!user || !*user || !password || !*password)
            return SOCKS_FAILED;
        std::string u(user), p(password);
        if (u.size() > 255)
            u.resize(255);
        if (p.size() > 255)
            p.resize(255);
        std::string auth;
        auth += '\x01';
        auth += (char)u.size();
        auth += u;
        auth += (char)p.size();
        auth += p;
        if (!send_all(sock, auth))
            return SOCKS_FAILED;
        unsigned char status[2];
        if (!read_exact(sock, status, 2) || status[1] != 0)
            return SOCKS_FAILED;
    } else if (choice[1] != 0x00) {
        return SOCKS_FAILED;
    }
    std::string connect("\x05\x01\x00\x03", 4);
    connect += (char)host_len;
    connect.append(host, host_len);
    connect += (char)((port >> 8) & 0xFF);
    connect += (char)(port & 0xFF);
    if (!send_all(sock, connect))
        return SOCKS_FAILED;
    unsigned char head[4];
    if (!read_exact(sock, head, 4) || head[0] != 0x05 || head[1] != 0)
        return SOCKS_FAILED;
    size_t rest;
    switch (head[3]) {
    case 1:
        rest = 6;
        break;
    case 3: {
        unsigned char len;
        if (!read_exact(sock, &len, 1))
            return SOCKS_FAILED;
        rest = (size_t)len + 2;
        break;
    }
    case 4:
        rest = 18;
        break;
    default:
        return SOCKS_FAILED;
    }
    unsigned char tail[257];
    if (!read_exact(sock, tail, rest))
        return SOCKS_FAILED;
    return SOCKS_OK;
}

int proxy_socks4(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    HOSTENT *answer = h && h->host ? net_dns(h->host) : nullptr;
    if (!answer)
        return SOCKS_NODNS;
    uint32_t address;
    memcpy(&address, answer->address, 4);
    hostent_free(answer);
    return socks4_handshake(conn->server, address, h->port, username);
}

int proxy_socks5(CONNECTION_T *conn)
{
    HEADER *h = conn->request;
    if (!h)
        return SOCKS_FAILED;
    return socks5_handshake(conn->server, h->host, h->port, conn->forward_user,
                            conn->forward_password);
}
