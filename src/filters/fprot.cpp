// The F-Prot connector's exchange.
#include "filters/fprot.h"

#include <strings.h>
#include <tinyxml.h>

#include <cstring>

#include "engine/socket.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/processors.h"

std::string fprot_options(int bits, int archive_depth)
{
    std::string text;
    if (bits & FPROT_ARCHIVE)
        text += "-archive=" + std::to_string(archive_depth) + "%20";
    if (bits & FPROT_PACKED)
        text += "-packed%20";
    if (bits & FPROT_AI)
        text += "-ai%20";
    if (bits & FPROT_NOHEUR)
        text += "-noheur%20";
    if (bits & FPROT_NOMACRO)
        text += "-nomacro%20";
    if (bits & FPROT_ONLYMACRO)
        text += "-onlymacro%20";
    return text;
}

namespace {

// Removes every document type declaration with an internal subset:
// "<!DOCTYPE" (any case), anything but "]", then "]>".
std::string strip_doctype(const std::string &text)
{
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t start = std::string::npos;
        for (size_t i = pos; i + 9 <= text.size(); i++)
            if (strncasecmp(text.c_str() + i, "<!DOCTYPE", 9) == 0) {
                size_t close = text.find(']', i + 9);
                if (close != std::string::npos && close + 1 < text.size() &&
                    text[close + 1] == '>') {
                    start = i;
                    out.append(text, pos, start - pos);
                    pos = close + 2;
                    break;
                }
            }
        if (start == std::string::npos)
            break;
    }
    out.append(text, pos, std::string::npos);
    return out;
}

const char *first_text(const TiXmlElement *element)
{
    const TiXmlNode *child = element->FirstChild();
    return child && child->Value() ? child->Value() : "";
}

// One HTTP GET to 127.0.0.1:port; the answer's body, or false when the
// port gave no answer (no connection, nothing read, no head).
bool http_get(int port, const std::string &target, const AvTimeouts &timeouts,
              std::string *body)
{
    std::unique_ptr<Socket> sock = av_connect("127.0.0.1", port, timeouts);
    if (!sock)
        return false;
    if (sock->PutSock("GET %s HTTP/1.0\r\nHost: 127.0.0.1:%d\r\nConnection: close\r\n\r\n",
                      target.c_str(), port) == -1)
        return false;
    sock->Flush();
    std::string answer;
    char block[8192];
    for (;;) {
        ssize_t n = sock->Read(block, (ssize_t)sizeof(block), -1);
        if (n < 0)
            return false;   // failed or stalled: no whole answer
        if (n == 0)
            break;
        answer.append(block, (size_t)n);
        if (answer.size() > FPROT_REPLY_MAX)
            return false;
    }
    size_t head_end = answer.find("\r\n\r\n");
    if (answer.compare(0, 5, "HTTP/") != 0 || head_end == std::string::npos)
        return false;
    *body = answer.substr(head_end + 4);
    return true;
}

}  // namespace

AvResult fprot_report_parse(const std::string &body, bool *named)
{
    AvResult result;
    *named = false;
    std::string text = strip_doctype(body);
    TiXmlDocument doc;
    doc.Parse(text.c_str());
    const TiXmlElement *results = doc.Error() ? nullptr : doc.FirstChildElement("fprot-results");
    const TiXmlElement *summary = results ? results->FirstChildElement("summary") : nullptr;
    if (summary == nullptr) {
        putlog(LOG_ANTIVIRUS, "error parsing F-Prot result XML");
        return result;
    }
    if (strcasecmp(first_text(summary), "infected") != 0) {
        result.verdict = AV_CLEAN;
        return result;
    }
    result.verdict = AV_VIRUS;
    const TiXmlElement *detected = results->FirstChildElement("detected");
    if (detected == nullptr) {
        result.name = "unknown";
        return result;
    }
    const TiXmlElement *name = detected->FirstChildElement("name");
    if (name != nullptr && name->FirstChild() != nullptr) {
        result.name = first_text(name);
        if (result.name.size() > AV_NAME_MAX)
            result.name.resize(AV_NAME_MAX);
        *named = !result.name.empty();
    }
    return result;
}

AvResult fprot_scan(const std::vector<int> &ports, const std::string &tmpdir,
                    const std::string &options, const char *data, size_t length,
                    const AvTimeouts &timeouts)
{
    AvResult result;
    AvTempFile file;
    if (!file.Create(tmpdir, FPROT_PATH_MAX, data, length, 0644))
        return result;
    std::string target = file.path() + "?" + options + "-remote-dtd%20";
    std::string body;
    bool answered = false;
    for (int port : ports)
        if ((answered = http_get(port, target, timeouts, &body)))
            break;
    if (!answered) {
        putlog(LOG_ANTIVIRUS, "connection to F-Prot daemon scanner failed");
        return result;
    }
    bool named;
    result = fprot_report_parse(body, &named);
    if (result.verdict == AV_CLEAN)
        putlog(LOG_ANTIVIRUS, "no viruses detected by F-Prot");
    return result;
}

// ---- Section ----------------------------------------------------------------

FProtSection *fprot_section = nullptr;

FProtSection::FProtSection()
    : AntivirusSection("fprot", AvLayout{1, -1, 2, 3, 4, 5},
                       AvNames{"F-Prot", "f-prot", "detected %s virus with F-Prot",
                               "detected unknown virus with F-Prot", LOG_ANTIVIRUS})
{
    processors.Add(fprot_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(fprot_buffcheck, PROCESSOR_BUFFCHECK);
}

AntivirusSection::Scan FProtSection::prepare(CONNECTION_T *connection, const AvRule &rule)
{
    std::string options = fprot_options(rule.scan_options, rule.archive_depth);
    std::string tmpdir = av_temp_dir();
    AvTimeouts timeouts = av_timeouts(connection);
    return [options, tmpdir, timeouts](Filebuf *body) {
        std::vector<int> ports;
        for (int port = FPROT_PORT_FIRST; port <= FPROT_PORT_LAST; port++)
            ports.push_back(port);
        return fprot_scan(ports, tmpdir, options, body->data, body->size, timeouts);
    };
}

int fprot_buffcheck(CONNECTION_T *connection, Filebuf *)
{
    return fprot_section ? fprot_section->check_match(connection) : 0;
}

int fprot_respcheck(CONNECTION_T *connection, Filebuf *body)
{
    return fprot_section ? fprot_section->check_and_block(connection, body) : 0;
}
