// What the antivirus connectors share: the verdict of one scan, the
// bounded conversation with a daemon, and the temporary file that the
// file-based daemons read.
//
// Every daemon conversation has the general connect and I/O time-outs, so
// a stalled daemon ends the scan as a failure instead of holding a worker.
// A failure is never a clean verdict: the response passes unscanned and is
// not marked clean.
#ifndef KV_FILTERS_ANTIVIRUS_H
#define KV_FILTERS_ANTIVIRUS_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class Socket;

enum AvVerdict {
    AV_FAILED = -1,  // no verdict: the daemon failed, stalled or answered nonsense
    AV_CLEAN = 0,
    AV_VIRUS = 1,
};

struct AvResult {
    AvVerdict verdict = AV_FAILED;
    std::string name;     // the virus, when verdict is AV_VIRUS
};

// Time limits of one scan, in seconds (at least 1 each).
struct AvTimeouts {
    int connect = 60;
    int io = 60;
};

// Longest virus name kept from a daemon's reply.
#define AV_NAME_MAX 127

// A connected socket to the daemon: a local stream socket when address
// begins with "/" (cut to 107 bytes), else TCP to address and port.  The
// socket's waits use timeouts.io.  Null when no connection could be made.
std::unique_ptr<Socket> av_connect(const std::string &address, int port,
                                   const AvTimeouts &timeouts);

// Reads one line of at most max bytes (line end removed, a longer line
// cut) within the I/O time-out.  False when the daemon closed the
// connection, the read failed or timed out before a whole line came.
bool av_getline(Socket *sock, size_t max, std::string *line);

// A scan's temporary file: created by mkstemp from "<dir>/kvXXXXXX" when
// that path fits in pathmax - 1 bytes, made readable by the daemon, and
// removed when the object goes, whatever the scan's outcome.
class AvTempFile {
public:
    AvTempFile() = default;
    ~AvTempFile();
    AvTempFile(const AvTempFile &) = delete;
    AvTempFile &operator=(const AvTempFile &) = delete;
    // Creates the file, writes the bytes, closes it and sets its mode.
    // False (nothing left behind) when the path does not fit or any step
    // fails.
    bool Create(const std::string &dir, size_t pathmax, const char *data, size_t length,
                int mode);
    const std::string &path() const { return file; }
    uint64_t size() const { return bytes; }

private:
    std::string file;
    uint64_t bytes = 0;
};

#endif
