// The antivirus connectors' shared pieces: daemon connections, bounded
// line reads and temporary files.
#include "filters/antivirus.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "config/general.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "filters/filter.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "engine/socket.h"
#include "runtime/compat.h"

std::unique_ptr<Socket> av_connect(const std::string &address, int port,
                                   const AvTimeouts &timeouts)
{
    int fd;
    if (!address.empty() && address[0] == '/') {
        fd = s_socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd == -1)
            return nullptr;
        struct sockaddr_un sun;
        memset(&sun, 0, sizeof(sun));
        sun.sun_family = AF_UNIX;
        strncpy(sun.sun_path, address.c_str(), sizeof(sun.sun_path) - 1);
        int rc;
        do {
            rc = connect(fd, (struct sockaddr *)&sun, sizeof(sun));
        } while (rc == -1 && errno == EINTR);
        if (rc == -1) {
            close(fd);
            return nullptr;
        }
    } else {
        fd = net_connect(address.c_str(), port, timeouts.connect);
        if (fd < 0)
            return nullptr;
    }
    std::unique_ptr<Socket> sock(new Socket(fd));
    sock->SetTimeout(timeouts.io);
    return sock;
}

bool av_getline(Socket *sock, size_t max, std::string *line)
{
    // Room for the line, its line feed and the terminator; the line feed is
    // part of what GetLine copies, so a line that came always gives 1 or
    // more, and 0 means the daemon closed the connection first.
    std::string buffer(max + 2, '\0');
    ssize_t n = sock->GetLine(&buffer[0], (ssize_t)buffer.size(), -1);
    if (n <= 0)
        return false;
    buffer.resize(strlen(buffer.c_str()));
    while (!buffer.empty() && (buffer.back() == '\n' || buffer.back() == '\r'))
        buffer.pop_back();
    if (buffer.size() > max)
        buffer.resize(max);
    *line = buffer;
    return true;
}

AvTempFile::~AvTempFile()
{
    if (!file.empty())
        unlink(file.c_str());
}

bool AvTempFile::Create(const std::string &dir, size_t pathmax, const char *data,
                        size_t length, int mode)
{
    std::string name = dir + "/kvXXXXXX";
    // A path that does not fit the connector's buffer would be cut, lose
    // its X's, and be refused by mkstemp: the scan fails.
    if (name.size() + 1 > pathmax)
        return false;
    int fd = mkstemp(&name[0]);
    if (fd == -1)
        return false;
    file = name;
    size_t done = 0;
    while (done < length) {
        ssize_t n = write(fd, data + done, length - done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += (size_t)n;
    }
    if (close(fd) != 0 || chmod(file.c_str(), (mode_t)mode) != 0)
        return false;
    bytes = length;
    return true;
}

// ---- The connector pattern ------------------------------------------------

int (*av_cache_clean)(CACHEMAP *object) = nullptr;

void (*av_cache_mark_clean)(CACHEMAP *object) = nullptr;

void av_mark_clean(CONNECTION_T *connection)
{
    if (av_scanned_clean(connection) && connection->cachemap != nullptr &&
        av_cache_mark_clean != nullptr)
        av_cache_mark_clean(connection->cachemap);
}

int av_scanned_clean(const CONNECTION_T *connection)
{
    return (connection->flags & CONN_SCANNED_CLEAN) && !(connection->flags & CONN_SCAN_FAILED);
}

AvTimeouts av_timeouts(const CONNECTION_T *connection)
{
    AvTimeouts t;
    if (general_section) {
        t.connect = general_section->ctimeout_get(connection);
        t.io = general_section->timeout_get(connection);
    }
    if (t.connect < 1)
        t.connect = 1;
    if (t.io < 1)
        t.io = 1;
    return t;
}

std::string av_temp_dir()
{
    return general_section ? general_section->temp_dir_get() : std::string("/tmp");
}

AntivirusSection::AntivirusSection(const std::string &name, const AvLayout &layout,
                                   const AvNames &names)
    : Section(name, 0), layout(layout), names(names)
{
    enabled = &fields[0].int_value;
}

AntivirusSection::~AntivirusSection()
{
    rules.clear();
}

void AntivirusSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items) {
        AvRule rule;
        rule.enabled = item.fields[0].int_value;
        rule.comment = item.fields[1].raw;
        if (filter_flawed(item, name.c_str(), rule.comment))
            rule.enabled = 0;
        if (layout.rule_groups >= 0)
            rule.groups = item.fields[layout.rule_groups].string_list;
        rule.profiles = item.fields[layout.rule_profiles].string_list;
        rule.template_name = item.fields[layout.rule_template].raw;
        if (layout.rule_depth >= 0)
            rule.archive_depth = item.fields[layout.rule_depth].int_value;
        if (layout.rule_options >= 0)
            rule.scan_options = item.fields[layout.rule_options].int_value;
        rules.push_back(rule);
    }
}

const AvRule *AntivirusSection::find(CONNECTION_T *connection) const
{
    if (*enabled == 0 || (connection->bypass & BYPASS_ANTIVIRUS))
        return nullptr;
    // A connector without a groups field keeps the list empty, which
    // accepts every user.
    for (const AvRule &rule : rules)
        if (filter_applies(rule.enabled, false, rule.groups, rule.profiles, connection))
            return &rule;
    return nullptr;
}

bool AntivirusSection::cached_clean(CONNECTION_T *connection) const
{
    return !(connection->flags & CONN_CACHE_WRITE) && connection->cachemap != nullptr &&
           av_cache_clean != nullptr && av_cache_clean(connection->cachemap);
}

int AntivirusSection::check_match(CONNECTION_T *connection)
{
    read_lock();
    const AvRule *rule = find(connection);
    int result = rule != nullptr;
    if (rule != nullptr && cached_clean(connection)) {
        if (name == "clamav")
            putlog(LOG_DEBUG, "ClamAV: cached file already checked for viruses");
        else
            putlog(LOG_ANTIVIRUS, "cached file already checked for viruses");
        result = 0;
    }
    unlock();
    return result;
}

int AntivirusSection::check_and_block(CONNECTION_T *connection, Filebuf *body)
{
    if (skips_clean_at_scan() && cached_clean(connection))
        return 0;
    read_lock();
    const AvRule *rule = find(connection);
    if (rule == nullptr) {
        unlock();
        return 0;
    }
    // A body left in a content coding the engine could not undo would be
    // scanned as its coded bytes, and a clean verdict on those says
    // nothing: it passes as a failed scan, never to be marked clean.
    if (body != nullptr && filter_body_coded(connection)) {
        unlock();
        connection->flags |= CONN_SCAN_FAILED;
        putlog(LOG_ANTIVIRUS, "%s: body could not be decoded: response passed unscanned",
               names.scanner);
        return 0;
    }
    std::string page =
        filter_page_name(rule->template_name, fields[layout.template_field].raw, "virus");
    Scan scan = prepare(connection, *rule);
    unlock();

    Filebuf empty;
    AvResult result = scan(body ? body : &empty);
    if (result.verdict == AV_CLEAN) {
        connection->flags |= CONN_SCANNED_CLEAN;
        return 0;
    }
    if (result.verdict == AV_FAILED) {
        // Passed unscanned: never to be marked clean.
        connection->flags |= CONN_SCAN_FAILED;
        putlog(LOG_ANTIVIRUS, "%s: response passed unscanned", names.scanner);
        return 0;
    }
    if (!result.name.empty()) {
        putlog(names.log_category, names.detected, result.name.c_str());
        connection->variables["VIRUSNAME"] = result.name;
    } else if (names.unnamed != nullptr) {
        putlog(names.log_category, "%s", names.unnamed);
    }
    connection->variables["AVSCANNER"] = names.scanner;
    // A refusal is never answered with a success status.
    filter_block(connection, page, 403, names.filter_name, result.name);
    return 1;
}
