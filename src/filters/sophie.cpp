// The Sophie connector's exchange.
#include "filters/sophie.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "engine/dns.h"
#include "engine/socket.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

AvResult sophie_reply_parse(const std::string &line, bool tcp)
{
    AvResult result;
    if (line == "0") {
        result.verdict = AV_CLEAN;
    } else if (!line.empty() && line[0] == '1') {
        result.verdict = AV_VIRUS;
        result.name = line.size() > 2 ? line.substr(2) : std::string();
        if (result.name.size() > AV_NAME_MAX)
            result.name.resize(AV_NAME_MAX);
    } else if (line.compare(0, tcp ? 1 : 2, tcp ? "-" : "-1") == 0) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    } else {
        putlog(LOG_ANTIVIRUS, "unrecognised answer from Sophie: %s", line.c_str());
    }
    return result;
}

namespace {

AvResult scan_local(const std::string &path, const std::string &tmpdir, const char *data,
                    size_t length, const AvTimeouts &timeouts)
{
    AvResult result;
    std::unique_ptr<Socket> sock = av_connect(path, 0, timeouts);
    if (!sock) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie daemon failed");
        return result;
    }
    AvTempFile file;
    // The request is the path and a line feed in at most 62 bytes; a
    // path of 62 or 63 bytes leaves no room for the line feed and fails.
    if (!file.Create(tmpdir, SOPHIE_PATH_MAX - 2, data, length, 0644))
        return result;
    if (sock->PutSock("%s\n", file.path().c_str()) == -1)
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
    sock->Flush();
    // One reply of at most 511 bytes, cut at its first line feed.
    std::string reply;
    while (reply.find('\n') == std::string::npos && reply.size() < 511) {
        char block[512];
        ssize_t n = sock->Read(block, (ssize_t)(511 - reply.size()), -1);
        if (n <= 0)
            break;
        reply.append(block, (size_t)n);
    }
    size_t nl = reply.find('\n');
    if (nl == std::string::npos) {
        // Nothing, or a reply cut short: no verdict.
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    reply.resize(nl);
    if (!reply.empty() && reply.back() == '\r')
        reply.pop_back();
    return sophie_reply_parse(reply, false);
}

AvResult scan_tcp(const std::string &host, int port, const std::string &tmpdir,
                  const char *data, size_t length, const AvTimeouts &timeouts)
{
    AvResult result;
    HOSTENT *address = net_dns(host.c_str());
    if (address == nullptr) {
        putlog(LOG_ANTIVIRUS, "Unknown host %s \n", host.c_str());
        return result;
    }
    hostent_free(address);
    std::unique_ptr<Socket> sock = av_connect(host, port, timeouts);
    if (!sock) {
        putlog(LOG_ANTIVIRUS, "connection to Sophie failed");
        return result;
    }
    AvTempFile file;
    if (!file.Create(tmpdir, SOPHIE_PATH_MAX, data, length, 0644))
        return result;
    std::string name = file.path().substr(file.path().rfind('/') + 1);
    if (sock->PutSock("%s/%llu\n", name.c_str(), (unsigned long long)file.size()) == -1) {
        putlog(LOG_ANTIVIRUS, "cann't write into socket");
        return result;
    }
    sock->Flush();
    std::string line;
    if (!av_getline(sock.get(), 255, &line) || line.compare(0, 2, "OK") != 0) {
        putlog(LOG_ANTIVIRUS, "'OK' not returned from Sophie");
        return result;
    }
    int fd = s_open(file.path().c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        // Sending nothing would leave the daemon waiting for the bytes.
        putlog(LOG_ANTIVIRUS, "cannot open file");
        return result;
    }
    bool sent = true;
    char block[512];
    for (;;) {
        ssize_t n = read(fd, block, sizeof(block));
        if (n == -1 && errno == EINTR)
            continue;
        if (n < 0) {
            sent = false;
            break;
        }
        if (n == 0)
            break;
        if (sock->Write(block, n) == -1) {
            sent = false;
            break;
        }
    }
    close(fd);
    if (!sent) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    sock->Flush();
    if (!av_getline(sock.get(), 255, &line)) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    return sophie_reply_parse(line, true);
}

}  // namespace

AvResult sophie_scan(const std::string &address, int port, const std::string &tmpdir,
                     const char *data, size_t length, const AvTimeouts &timeouts)
{
    AvResult result = !address.empty() && address[0] == '/'
                          ? scan_local(address, tmpdir, data, length, timeouts)
                          : scan_tcp(address, port, tmpdir, data, length, timeouts);
    if (result.verdict == AV_CLEAN)
        putlog(LOG_ANTIVIRUS, "no viruses detected by Sophie");
    return result;
}

// ---- Section ----------------------------------------------------------------

SophieSection *sophie_section = nullptr;

SophieSection::SophieSection()
    : AntivirusSection("sophie", AvLayout{4, -1, 2, 3, -1, -1},
                       AvNames{"Sophie", "Sophie", "detected %s virus with Sophie",
                               "detected unknown virus with Sophie", LOG_ANTIVIRUS})
{
    processors.Add(sophie_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(sophie_buffcheck, PROCESSOR_BUFFCHECK);
}

AntivirusSection::Scan SophieSection::prepare(CONNECTION_T *connection, const AvRule &)
{
    // A socket path that does not begin with "/" is taken as a host name
    // with port 0.
    std::string address = fields[1].raw;
    int port = 0;
    if (address.empty()) {
        address = fields[2].raw;
        port = fields[3].int_value;
    }
    std::string tmpdir = av_temp_dir();
    AvTimeouts timeouts = av_timeouts(connection);
    return [address, port, tmpdir, timeouts](Filebuf *body) {
        return sophie_scan(address, port, tmpdir, body->data, body->size, timeouts);
    };
}

int sophie_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return sophie_section ? sophie_section->check_match(connection) : 0;
}

int sophie_respcheck(CONNECTION_T *connection, Filebuf *body)
{
    return sophie_section ? sophie_section->check_and_block(connection, body) : 0;
}
