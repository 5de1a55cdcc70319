// Thin wrappers around system calls: the ones that create file descriptors
// (which free pooled connections and try once more when the system runs
// out of descriptors), the resolver, and a few pass-throughs.
#ifndef KV_RUNTIME_COMPAT_H
#define KV_RUNTIME_COMPAT_H

#include <cstdint>
#include <cstdio>
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

// The first IPv4 address of a name, made by p_gethostbyname.
struct HOSTENT {
    char *address;  // owned: 4 bytes in network byte order
    int32_t length; // always 4
};

// Descriptor-creating wrappers: same arguments and results as the system
// call.  On ENFILE they call fd_failure, try once more and log when that
// fails too; any other failure is returned as it is, without a log line.
int s_open(const char *path, int flags, mode_t mode = 0);
int s_open64(const char *path, int flags, mode_t mode = 0);
FILE *s_fopen(const char *path, const char *mode);
DIR *s_opendir(const char *path);
int s_socket(int family, int type, int protocol);
// accept: ENOTSOCK is returned silently; any other failure is logged, and
// ENFILE frees the pools and tries once more.
int s_accept(int socket, struct sockaddr *address, socklen_t *length);

// Frees pooled connections when descriptors run out: fd_failure empties
// both pools, the other two one pool each.  Each logs its line first.
void fd_failure();
void client_pool_failure();
void server_pool_failure();

// The pools install their cleaners when they are created: the client
// pool's closes every pooled idle client connection, the server pool's
// every pooled server connection (a forced clean).  Until then the
// failure functions only log.
void compat_client_pool_clean_set(void (*clean)());
void compat_server_pool_clean_set(void (*clean)());

// The first IPv4 address of `name`, or null when it does not resolve
// (nothing is logged; the caller reports it).  Free with hostent_free.
HOSTENT *p_gethostbyname(const char *name);
// Frees the record and its address; a record without one is a fatal
// assertion.
void hostent_free(HOSTENT *host);

// Writes all length bytes, going on after short writes and EINTR.  Returns
// length, or -1 when a write fails (errno tells why; EIO when the
// descriptor takes nothing).  Only write(2) is called, so a signal handler
// may use it.
ssize_t fd_write_all(int fd, const void *data, size_t length);

// mremap with MREMAP_MAYMOVE; the last argument is ignored.
void *p_mremap(void *address, size_t old_length, size_t new_length, int unused);
int p_poll(struct pollfd *fds, nfds_t count, int timeout_ms);
int p_clearenv();
int p_setenv(const char *name, const char *value, int overwrite);

// Creates every directory along `path` with mode 0755 ("/" is put in front
// of the first name, so the result is always absolute; empty names from
// doubled or trailing slashes are skipped).  Returns 1 when they all
// exist, -1 (logged) when one cannot be made or the path does not fit the
// 256-byte path buffer.  A null path gives 1.
int create_recursive_directory(const char *path);

#endif
