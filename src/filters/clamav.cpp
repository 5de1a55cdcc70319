// The ClamAV connector: clamd's INSTREAM exchange.
#include "filters/clamav.h"

#include <arpa/inet.h>
#include <cstring>

#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

namespace {

// Longest reply kept; clamd's replies are one short line.
const size_t REPLY_MAX = 1023;

void scan_error()
{
    putlog(LOG_ANTIVIRUS, "error: ClamAV: failed to check file for viruses");
}

bool send_all(Socket *sock, const char *data, size_t length)
{
    return sock->Write(data, (ssize_t)length) != -1;
}

}  // namespace

AvResult clamav_reply_parse(const std::string &reply)
{
    AvResult result;
    std::string text = reply;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == '\0'))
        text.pop_back();
    const char prefix[] = "stream: ";
    if (text.compare(0, sizeof(prefix) - 1, prefix) != 0)
        return result;
    std::string rest = text.substr(sizeof(prefix) - 1);
    if (rest == "OK") {
        result.verdict = AV_CLEAN;
        return result;
    }
    const char found[] = " FOUND";
    size_t flen = sizeof(found) - 1;
    if (rest.size() > flen && rest.compare(rest.size() - flen, flen, found) == 0) {
        std::string name = rest.substr(0, rest.size() - flen);
        if (name.empty() || name.find_first_of("\r\n") != std::string::npos)
            return result;
        if (name.size() > AV_NAME_MAX)
            name.resize(AV_NAME_MAX);
        result.verdict = AV_VIRUS;
        result.name = name;
    }
    return result;
}

AvResult clamav_scan(const std::string &address, int port, const char *data, size_t length,
                     const AvTimeouts &timeouts)
{
    AvResult failed;
    std::unique_ptr<Socket> sock = av_connect(address, port, timeouts);
    if (!sock) {
        if (!address.empty() && address[0] == '/')
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s",
                   address.c_str());
        else
            putlog(LOG_ADVICE, "ClamAV: Please Verify that ClamAV is listening on %s:%d",
                   address.c_str(), port);
        scan_error();
        return failed;
    }
    // The command with its terminating NUL ("z" form), then the body in
    // chunks each led by its length in network order, then length 0.
    static const char command[] = "zINSTREAM";
    bool sent = send_all(sock.get(), command, sizeof(command));
    for (size_t done = 0; sent && done < length;) {
        size_t n = length - done < CLAMAV_CHUNK ? length - done : CLAMAV_CHUNK;
        uint32_t size = htonl((uint32_t)n);
        sent = send_all(sock.get(), (const char *)&size, sizeof(size)) &&
               send_all(sock.get(), data + done, n);
        done += n;
    }
    if (sent) {
        uint32_t end = 0;
        sent = send_all(sock.get(), (const char *)&end, sizeof(end));
    }
    if (sent)
        sock->Flush();
    // clamd may refuse a stream over its size limit and close early, so
    // its reply is read even when a write failed.
    std::string reply;
    bool ended = false;
    while (!ended && reply.size() < REPLY_MAX) {
        char block[256];
        ssize_t n = sock->Read(block, (ssize_t)sizeof(block), -1);
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n; i++) {
            if (block[i] == '\0' || block[i] == '\n') {
                ended = true;
                break;
            }
            if (reply.size() < REPLY_MAX)
                reply.push_back(block[i]);
        }
    }
    if (reply.empty() && !ended) {
        putlog(LOG_ADVICE, "ClamAV: Please Verify the Socket Read Permissions");
        scan_error();
        return failed;
    }
    // A reply cut off before its terminator is no verdict.
    if (!ended) {
        putlog(LOG_ANTIVIRUS, "ClamAV: reply cut short: %s", reply.c_str());
        scan_error();
        return failed;
    }
    AvResult result = clamav_reply_parse(reply);
    switch (result.verdict) {
    case AV_CLEAN:
        putlog(LOG_DEBUG, "ClamAV: no viruses found");
        break;
    case AV_VIRUS:
        break;
    case AV_FAILED:
        putlog(LOG_ANTIVIRUS, "ClamAV: unexpected reply: %s", reply.c_str());
        scan_error();
        break;
    }
    return result;
}

// ---- Section ----------------------------------------------------------------

ClamAVSection *clamav_section = nullptr;

ClamAVSection::ClamAVSection()
    : AntivirusSection("clamav", AvLayout{3, 2, 3, 4, -1, -1},
                       AvNames{"ClamAV", "ClamAV", "ClamAV: detected %s virus", nullptr,
                               LOG_ANTIVIRUS})
{
    processors.Add(clamav_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(clamav_buffcheck, PROCESSOR_BUFFCHECK);
}

AntivirusSection::Scan ClamAVSection::prepare(CONNECTION_T *connection, const AvRule &)
{
    std::string address = fields[1].raw;
    int port = fields[2].int_value;
    AvTimeouts timeouts = av_timeouts(connection);
    return [address, port, timeouts](Filebuf *body) {
        return clamav_scan(address, port, body->data, body->size, timeouts);
    };
}

int clamav_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return clamav_section ? clamav_section->check_match(connection) : 0;
}

int clamav_respcheck(CONNECTION_T *connection, Filebuf *body)
{
    return clamav_section ? clamav_section->check_and_block(connection, body) : 0;
}
