// System-call wrappers: descriptor exhaustion, the resolver, directories.
#include "runtime/compat.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

template <typename Result, typename Call>
Result retry_on_enfile(Call call, Result failure, bool *retry_failed);

std::atomic<void (*)()> client_pool_clean{nullptr};
std::atomic<void (*)()> server_pool_clean{nullptr};

// The resolver's work buffer starts on the stack at this size; a name with
// many addresses or aliases (ERANGE) gets a bigger one from the heap, up
// to the last size.
constexpr size_t RESOLVER_BUFFER = 1024;
constexpr size_t RESOLVER_BUFFER_MAX = 65536;

// Directories are built in a buffer of this size, terminator included.
constexpr size_t DIRECTORY_PATH_MAX = 256;

// Makes the call; when it fails for want of descriptors in the system,
// frees the pools and makes it once more.  *retry_failed tells whether the
// second call failed too, the one case the wrappers log.
template <typename Result, typename Call>
Result retry_on_enfile(Call call, Result failure, bool *retry_failed)
{
    *retry_failed = false;
    Result result = call();
    if (result != failure || errno != ENFILE)
        return result;
    fd_failure();
    result = call();
    *retry_failed = result == failure;
    return result;
}

} // namespace

int s_open(const char *path, int flags, mode_t mode)
{
    bool retry_failed;
    int fd = retry_on_enfile([&] { return open(path, flags, mode); }, -1,
                             &retry_failed);
    if (retry_failed)
        putlog_system(LOG_ERROR, "open", errno, ", in %s, failed to open file %s",
                      "s_open", path);
    return fd;
}

int s_open64(const char *path, int flags, mode_t mode)
{
    bool retry_failed;
    int fd = retry_on_enfile([&] { return open64(path, flags, mode); }, -1,
                             &retry_failed);
    if (retry_failed)
        putlog_system(LOG_ERROR, "open64", errno, ", in %s, failed to open file %s",
                      "s_open64", path);
    return fd;
}

FILE *s_fopen(const char *path, const char *mode)
{
    bool retry_failed;
    FILE *file = retry_on_enfile([&] { return fopen(path, mode); },
                                 static_cast<FILE *>(nullptr), &retry_failed);
    if (retry_failed)
        putlog_system(LOG_ERROR, "fopen", errno, ", in %s, unable to open file",
                      "s_fopen");
    return file;
}

DIR *s_opendir(const char *path)
{
    bool retry_failed;
    DIR *dir = retry_on_enfile([&] { return opendir(path); },
                               static_cast<DIR *>(nullptr), &retry_failed);
    if (retry_failed)
        putlog_system(LOG_ERROR, "opendir", errno, ", in %s, unable to open directory",
                      "s_opendir");
    return dir;
}

int s_socket(int family, int type, int protocol)
{
    bool retry_failed;
    int fd = retry_on_enfile([&] { return socket(family, type, protocol); }, -1,
                             &retry_failed);
    if (retry_failed)
        putlog_system(LOG_ERROR, "socket", errno, ", in %s unable to create socket",
                      "s_socket");
    return fd;
}

int s_accept(int socket, struct sockaddr *address, socklen_t *length)
{
    auto log_failed = [](int err) {
        putlog_system(LOG_ERROR, "accept", err, ", in %s, unable to connect on a socket",
                      "s_accept");
    };
    int fd = accept(socket, address, length);
    if (fd != -1)
        return fd;
    if (errno == ENOTSOCK)
        return -1;
    int err = errno;
    log_failed(err);
    if (err != ENFILE)
        return -1;
    fd_failure();
    fd = accept(socket, address, length);
    if (fd == -1)
        log_failed(errno);
    return fd;
}

void fd_failure()
{
    putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources");
    void (*client_clean)() = client_pool_clean.load();
    if (client_clean != nullptr)
        client_clean();
    void (*server_clean)() = server_pool_clean.load();
    if (server_clean != nullptr)
        server_clean();
}

void client_pool_failure()
{
    putlog(LOG_ERROR, "flushing client pool, attempting to free resources");
    void (*clean)() = client_pool_clean.load();
    if (clean != nullptr)
        clean();
}

void server_pool_failure()
{
    putlog(LOG_ERROR, "flushing outbound connections, attempting to free resources");
    void (*clean)() = server_pool_clean.load();
    if (clean != nullptr)
        clean();
}

void compat_client_pool_clean_set(void (*clean)())
{
    client_pool_clean.store(clean);
}

void compat_server_pool_clean_set(void (*clean)())
{
    server_pool_clean.store(clean);
}

HOSTENT *p_gethostbyname(const char *name)
{
    char stack_buffer[RESOLVER_BUFFER];
    char *buffer = stack_buffer;
    size_t size = sizeof stack_buffer;
    struct hostent entry;
    struct hostent *result = nullptr;
    int herr = 0;

    for (;;) {
        memset(buffer, 0, size);
        int rc = gethostbyname_r(name, &entry, buffer, size, &result, &herr);
        if (rc != ERANGE || size >= RESOLVER_BUFFER_MAX)
            break;
        if (buffer != stack_buffer)
            free(buffer);
        size *= 2;
        buffer = static_cast<char *>(xmalloc(size));
        ASSERT_ALLOC(buffer, size);
    }

    HOSTENT *host = nullptr;
    if (result != nullptr && result->h_addr_list != nullptr &&
        result->h_addr_list[0] != nullptr) {
        host = static_cast<HOSTENT *>(xmalloc(sizeof(HOSTENT)));
        ASSERT_ALLOC(host, sizeof(HOSTENT));
        host->address = static_cast<char *>(xmalloc(4));
        ASSERT_ALLOC(host->address, 4);
        memcpy(host->address, result->h_addr_list[0], 4);
        host->length = 4;
    }
    if (buffer != stack_buffer)
        free(buffer);
    return host;
}

void hostent_free(HOSTENT *host)
{
    ASSERT(host != nullptr && host->address != nullptr);
    free(host->address);
    free(host);
}

ssize_t fd_write_all(int fd, const void *data, size_t length)
{
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < length) {
        size_t piece = length - done < static_cast<size_t>(SSIZE_MAX)
                           ? length - done
                           : static_cast<size_t>(SSIZE_MAX);
        ssize_t n = write(fd, bytes + done, piece);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0) {
            errno = EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

void *p_mremap(void *address, size_t old_length, size_t new_length, int)
{
    return mremap(address, old_length, new_length, MREMAP_MAYMOVE);
}

int p_poll(struct pollfd *fds, nfds_t count, int timeout_ms)
{
    return poll(fds, count, timeout_ms);
}

int p_clearenv()
{
    return clearenv();
}

int p_setenv(const char *name, const char *value, int overwrite)
{
    return setenv(name, value, overwrite);
}

int create_recursive_directory(const char *path)
{
    if (path == nullptr)
        return 1;
    auto too_long = [path] {
        putlog(LOG_ERROR, "in %s, directory path too long: %s",
               "create_recursive_directory", path);
        return -1;
    };
    if (strlen(path) >= DIRECTORY_PATH_MAX)
        return too_long();
    char built[DIRECTORY_PATH_MAX];
    size_t used = 0;
    const char *name = path;
    while (*name != '\0') {
        if (*name == '/') {
            name++;
            continue;
        }
        size_t length = strcspn(name, "/");
        // A relative path grows by its leading "/".
        if (used + 1 + length >= sizeof built)
            return too_long();
        built[used++] = '/';
        memcpy(built + used, name, length);
        used += length;
        built[used] = '\0';
        name += length;
        if (mkdir(built, 0755) == -1 && errno != EEXIST) {
            putlog_system(LOG_ERROR, "mkdir", errno,
                          ", in %s, failed to create directory %s",
                          "create_recursive_directory", path);
            return -1;
        }
    }
    return 1;
}
