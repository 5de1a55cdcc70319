// The Kaspersky connector's exchange.
#include "filters/kaspersky.h"

#include <cstdlib>

#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

namespace {

const size_t LINE_MAX_BYTES = 1023;

}  // namespace

int kaspersky_line_parse(const std::string &line, std::string *name, AvResult *result)
{
    size_t digits = 0;
    while (digits < line.size() && digits < 9 && line[digits] >= '0' && line[digits] <= '9')
        digits++;
    int code = digits ? atoi(line.substr(0, digits).c_str()) : -1;
    switch (code) {
    case 201:
    case 321:
    case 325:
        return 0;
    case 322: {
        // The name begins one character after the code and ends at the
        // first blank.
        std::string rest = line.size() > digits + 1 ? line.substr(digits + 1) : std::string();
        size_t blank = rest.find(' ');
        if (blank != std::string::npos)
            rest.resize(blank);
        if (rest.size() > AV_NAME_MAX)
            rest.resize(AV_NAME_MAX);
        *name = rest;
        return 0;
    }
    case 220:
        result->verdict = AV_CLEAN;
        result->name.clear();
        return 1;
    case 230:
        result->verdict = AV_VIRUS;
        result->name = *name;
        return 1;
    default:
        putlog(LOG_WARNING, "unknown response from Kaspersky daemon: %s", line.c_str());
        result->verdict = AV_FAILED;
        return 1;
    }
}

AvResult kaspersky_scan(const std::string &socket_path, const std::string &tmpdir,
                        const char *data, size_t length, const AvTimeouts &timeouts)
{
    AvResult result;
    std::unique_ptr<Socket> sock =
        socket_path.empty() || socket_path[0] != '/' ? nullptr
                                                     : av_connect(socket_path, 0, timeouts);
    if (!sock) {
        putlog(LOG_ANTIVIRUS, "connection to Kaspersky daemon failed");
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    AvTempFile file;
    if (!file.Create(tmpdir, KASPERSKY_PATH_MAX, data, length, 0600)) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    if (sock->PutSock("SCAN xmQPRSTUWabcdefghi %s\r\n", file.path().c_str()) == -1) {
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
        return result;
    }
    sock->Flush();
    std::string name, line;
    bool decided = false;
    while (!decided) {
        if (!av_getline(sock.get(), LINE_MAX_BYTES, &line)) {
            // Closed, failed or stalled before a verdict: no verdict.
            putlog(LOG_ANTIVIRUS, "Kaspersky daemon gave no verdict");
            result.verdict = AV_FAILED;
            break;
        }
        decided = kaspersky_line_parse(line, &name, &result) == 1;
    }
    sock->PutSock("QUIT\r\n");
    sock->Flush();
    if (result.verdict == AV_CLEAN)
        putlog(LOG_ANTIVIRUS, "no viruses detected by Kaspersky");
    else if (result.verdict == AV_FAILED)
        putlog(LOG_ANTIVIRUS, "error checking file for viruses");
    return result;
}

// ---- Section ----------------------------------------------------------------

KasperskySection *kaspersky_section = nullptr;

KasperskySection::KasperskySection()
    : AntivirusSection("kaspersky", AvLayout{1, -1, 2, 3, -1, -1},
                       AvNames{"Kaspersky", "Kaspersky", "detected %s virus with Kaspersky",
                               "detected unknown virus with Kaspersky", LOG_ANTIVIRUS})
{
    processors.Add(kaspersky_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(kaspersky_buffcheck, PROCESSOR_BUFFCHECK);
}

AntivirusSection::Scan KasperskySection::prepare(CONNECTION_T *connection, const AvRule &)
{
    std::string path = fields[2].raw;
    std::string tmpdir = av_temp_dir();
    AvTimeouts timeouts = av_timeouts(connection);
    return [path, tmpdir, timeouts](Filebuf *body) {
        return kaspersky_scan(path, tmpdir, body->data, body->size, timeouts);
    };
}

int kaspersky_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return kaspersky_section ? kaspersky_section->check_match(connection) : 0;
}

int kaspersky_respcheck(CONNECTION_T *connection, Filebuf *body)
{
    return kaspersky_section ? kaspersky_section->check_and_block(connection, body) : 0;
}
