// Line reader of the operator's list files.
#include "filters/listfile.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "runtime/log.h"

LineSplitter::LineSplitter(size_t max, Callback callback)
    : max(max), callback(std::move(callback))
{
}

void LineSplitter::end_line()
{
    if (overlong) {
        skipped++;
    } else {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        callback(line);
    }
    line.clear();
    overlong = false;
}

void LineSplitter::Feed(const char *data, size_t length)
{
    for (size_t i = 0; i < length; i++) {
        char c = data[i];
        if (c == '\n') {
            end_line();
            continue;
        }
        if (overlong)
            continue;
        // A carriage return that ends the line does not count against
        // the limit, so room for one more byte is kept until the line
        // feed shows what it was.
        if (line.size() >= max + 1 || (line.size() == max && c != '\r')) {
            overlong = true;
            line.clear();
            continue;
        }
        line.push_back(c);
    }
}

void LineSplitter::Finish()
{
    if (!line.empty() || overlong)
        end_line();
}

bool listfile_read(const std::string &path, int log_category,
                   const LineSplitter::Callback &callback, size_t max)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        return false;
    LineSplitter splitter(max, callback);
    char block[8192];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, block, sizeof(block));
        if (n == -1 && errno == EINTR)
            continue;
        if (n == -1) {
            putlog_system(log_category, "read", errno, ", in listfile_read, reading %s", path.c_str());
            ok = false;
            break;
        }
        if (n == 0)
            break;
        splitter.Feed(block, (size_t)n);
    }
    if (ok)
        splitter.Finish();
    close(fd);
    if (splitter.skipped)
        putlog(log_category, "skipped %zu overlong lines in %s", splitter.skipped, path.c_str());
    return ok;
}
