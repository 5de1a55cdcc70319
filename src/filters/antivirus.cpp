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

#include "engine/fetch.h"
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
