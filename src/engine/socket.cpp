// The buffered socket stream and the bandwidth buckets that throttle it.
#include "engine/socket.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "engine/counters.h"
#include "engine/options.h"
#include "engine/ssl.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"

namespace {

int64_t elapsed_ms(const struct timespec &from, const struct timespec &to);
struct timespec monotonic_now();
size_t round_to_step(size_t len);

int64_t elapsed_ms(const struct timespec &from, const struct timespec &to)
{
    return (int64_t)(to.tv_sec - from.tv_sec) * 1000 +
           (to.tv_nsec - from.tv_nsec) / 1000000;
}

struct timespec monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

size_t round_to_step(size_t len)
{
    return (len + SOCKET_BUFFER_STEP - 1) / SOCKET_BUFFER_STEP * SOCKET_BUFFER_STEP;
}

// Output held by a socket of this thread (Hold) waits here: one area per
// worker thread, reused for every response it sends, rather than an output
// buffer made and freed for each connection.  One socket at a time holds
// it.
thread_local std::vector<char> hold_area;
thread_local const Socket *hold_owner = nullptr;


}  // namespace

// ---------------------------------------------------------------- LimitGroup

LimitGroup::LimitGroup(uint64_t rate_)
    : rate(rate_), used(0), quota((int64_t)(rate_ / 10)), window_start{0, 0}
{
    pthread_mutex_init(&lock, nullptr);
}

LimitGroup::~LimitGroup()
{
    pthread_mutex_destroy(&lock);
}

void LimitGroup::Lock()
{
    pthread_mutex_lock(&lock);
}

void LimitGroup::Unlock()
{
    pthread_mutex_unlock(&lock);
}

int64_t LimitGroup::Incr(int64_t n)
{
    Lock();
    used += n;
    int64_t total = used;
    Unlock();
    return total;
}

void limitgroup_release(LimitGroup *group)
{
    if (group == nullptr)
        return;
    pthread_mutex_lock(&atomlock);
    if (group->Delete())
        delete group;
    pthread_mutex_unlock(&atomlock);
}

// ------------------------------------------------------------ SocketCallBack

SocketCallBack::SocketCallBack(socket_callback_t callback_, void *arg_)
    : callback(callback_), id(0), mask(0), arg(arg_)
{
}

int SocketCallBack::Call(ssize_t len, char *buf)
{
    return callback(arg, len, buf);
}

// -------------------------------------------------------------------- Socket

Socket::Socket()
{
    init(-1);
}

Socket::Socket(int descriptor)
{
    init(descriptor);
}

void Socket::init(int descriptor)
{
    encrypted = 0;
    callback_id = 0;
    inbuf_size = outbuf_size = 0;
    inbuf = outbuf = nullptr;
    inbuf_area = nullptr;
    ssl_session = nullptr;
    ssl_ctx = nullptr;
    read_group = write_group = nullptr;
    fd = descriptor;
    inbuf_len = outbuf_len = 0;
    bytes_in = bytes_out = 0;
    timeout = SOCKET_DEFAULT_TIMEOUT;
    held = false;
    read_failed = false;
}

Socket::~Socket()
{
    if (held)
        Release();
    if (fd != -1 && outbuf_len != 0)
        Flush();
    if (encrypted) {
        ssl_client_close(ssl_ctx, ssl_session);
        ssl_session = nullptr;
        ssl_ctx = nullptr;
        encrypted = 0;
    }
    if (fd != -1 && close(fd) != 0)
        putlog_system(LOG_NETWORK, "close", errno, ", in %s, closing a connection failed",
                      "~Socket");
    free(inbuf_area);
    free(outbuf);
    LimitGroup *w = write_group, *r = read_group;
    write_group = read_group = nullptr;
    limitgroup_release(w);
    limitgroup_release(r);
    counters_socket_closed(bytes_in, bytes_out);
}

// Waits until the descriptor shows one of the events, at most ms (0: only
// a look).  Returns the revents, 0 on time-out, -1 on error.
int Socket::wait_for(short events, int64_t ms)
{
    struct pollfd p;
    p.fd = fd;
    p.events = events;
    p.revents = 0;
    struct timespec start = monotonic_now();
    int64_t budget = ms;
    for (;;) {
        int64_t left = budget - elapsed_ms(start, monotonic_now());
        if (left < 0)
            left = 0;
        int r = poll(&p, 1, (int)std::min<int64_t>(left, INT32_MAX));
        if (r > 0)
            return p.revents;
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Whether wait_for's result lets a read go ahead: input (or its end) is
// there, not only a failure of the descriptor.
bool Socket::shows_input(int events)
{
    return events > 0 &&
           ((events & POLLIN) || !(events & (POLLERR | POLLHUP | POLLNVAL)));
}

// One read attempt that never blocks.  Returns the bytes read, 0 at end of
// stream, -1 on failure, or READ_WOULD_BLOCK when nothing is there yet.
ssize_t Socket::io_read(char *buf, size_t len)
{
    if (encrypted) {
        int64_t r = ssl_read_once(ssl_session, buf, len);
        return r == SSL_IO_WOULD_BLOCK ? READ_WOULD_BLOCK : (ssize_t)r;
    }
    for (;;) {
        ssize_t r = recv(fd, buf, len, MSG_DONTWAIT);
        if (r < 0 && errno == ENOTSOCK) {
            // Another kind of descriptor has no non-blocking read per
            // call: read only when poll says input is there now.
            int ev = wait_for(POLLIN, 0);
            if (ev == 0)
                return READ_WOULD_BLOCK;
            if (!shows_input(ev))
                return -1;
            r = read(fd, buf, len);
        }
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return READ_WOULD_BLOCK;
        return -1;
    }
}

// One read of the descriptor: a block, or less when the read group's
// window allows less.  The first `room` bytes go to dst, the rest to the
// input buffer (dst null: all of them, appended); a dst is given only
// while the input buffer is empty.  A dst with room for the whole read
// takes it directly, without passing through the buffer.
// Returns as io_read.
ssize_t Socket::read_once(char *dst, size_t room)
{
    size_t size = block_size();
    size_t allowed = Throttle(0);
    if (allowed != 0 && allowed < size)
        size = allowed;
    ssize_t r;
    if (dst != nullptr && room >= size) {
        r = io_read(dst, size);
    } else {
        // An appending read takes what the input area has free, or one
        // step when that is less, so that a head or a short body never
        // makes the area grow past a step and shrink again at every read.
        size_t free_room = inbuf_size - input_offset() - inbuf_len;
        size = std::min(size, std::max(free_room, (size_t)SOCKET_BUFFER_STEP));
        input_room(size);
        r = io_read(inbuf + inbuf_len, size);
        if (r > 0)
            inbuf_len += (size_t)r;
        if (r > 0 && dst != nullptr) {
            size_t take = std::min((size_t)r, room);
            memcpy(dst, inbuf, take);
            consume_front(take);
        }
    }
    // After a reset the next read reports an end of stream: the failure is
    // remembered so that a body ending with the close is not taken as whole.
    if (r == -1)
        read_failed = true;
    if (r > 0) {
        if (read_group != nullptr)
            read_group->Incr(r);
        bytes_in += (uint64_t)r;
        if (encrypted)
            take_pending();
    }
    return r;
}

// Decrypted bytes the TLS session holds after a read go to the input
// buffer: pollers look at the descriptor and at inbuf_len, and would never
// see them where they are.
void Socket::take_pending()
{
    size_t pending;
    while ((pending = ssl_pending(ssl_session)) > 0) {
        input_room(pending);
        int64_t r = ssl_read_once(ssl_session, inbuf + inbuf_len, pending);
        if (r <= 0)
            break;
        inbuf_len += (size_t)r;
        if (read_group != nullptr)
            read_group->Incr(r);
        bytes_in += (uint64_t)r;
    }
}

int Socket::Encrypt(int mode, const char *server_name)
{
    if (mode != 1 || encrypted || fd == -1)
        return 0;
    if (!ssl_client_connect(fd, server_name, (int64_t)timeout * 1000, &ssl_ctx, &ssl_session))
        return 0;
    encrypted = 1;
    return 1;
}

// read_once, waiting up to ms when the descriptor has nothing yet.
// Returns the bytes read, 0 at end of stream, -1 on failure or time-out.
ssize_t Socket::read_within(int64_t ms, bool wait_first, char *dst, size_t room)
{
    // A throttled read takes its share of the window only once input is
    // there, so it waits first, as does a caller that expects nothing yet;
    // any other tries the read first and waits only when nothing came.
    bool waited = wait_first || read_group != nullptr;
    if (waited && !shows_input(wait_for(POLLIN, ms)))
        return -1;
    ssize_t r = read_once(dst, room);
    if (r == READ_WOULD_BLOCK && !waited) {
        if (!shows_input(wait_for(POLLIN, ms)))
            return -1;
        r = read_once(dst, room);
    }
    return r == READ_WOULD_BLOCK ? -1 : r;
}

// One write attempt that never blocks.  A full socket buffer gives 0.
ssize_t Socket::io_write(const char *buf, size_t len)
{
    if (encrypted)
        return (ssize_t)ssl_write_once(ssl_session, buf, len);
    for (;;) {
        ssize_t r = send(fd, buf, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r < 0 && errno == ENOTSOCK) {
            // Another kind of descriptor has no non-blocking write per
            // call: write only when poll says it takes bytes now.
            int ev = wait_for(POLLOUT, 0);
            if (ev <= 0)
                return ev;
            r = write(fd, buf, len);
        }
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

// One write of at most len bytes that waits, up to the time-out, only when
// the descriptor takes none now.  Returns the bytes written (0 when none
// could go even after the wait) or -1 on failure or time-out.
ssize_t Socket::send_within_timeout(const char *buf, size_t len)
{
    ssize_t r = io_write(buf, len);
    if (r != 0)
        return r;
    int ev = wait_for(POLLOUT, (int64_t)timeout * 1000);
    if (ev <= 0 || !(ev & POLLOUT))
        return -1;
    return io_write(buf, len);
}

// Appends bytes to the input (0) or output buffer.
void Socket::append(int which, const char *data, size_t len)
{
    size_t old = which == 0 ? inbuf_len : outbuf_len;
    Resize(old + len, which);
    memcpy((which == 0 ? inbuf : outbuf) + old, data, len);
}

// Bytes of the input area before the first unread byte.
size_t Socket::input_offset() const
{
    return inbuf_area != nullptr ? (size_t)(inbuf - inbuf_area) : 0;
}

// Moves the unread bytes to the start of the input area.
void Socket::input_compact()
{
    if (inbuf_area == nullptr || inbuf == inbuf_area)
        return;
    memmove(inbuf_area, inbuf, inbuf_len);
    inbuf = inbuf_area;
}

// Makes room for want more bytes after the unread ones: the consumed front
// of the area is taken back first, and the area grows only when that is
// not enough.  Returns the room.
size_t Socket::input_room(size_t want)
{
    size_t room = inbuf_size - input_offset() - inbuf_len;
    if (room >= want && inbuf_area != nullptr)
        return room;
    input_compact();
    if (inbuf_area == nullptr || inbuf_size - inbuf_len < want) {
        size_t size = round_to_step(inbuf_len + want);
        char *grown = (char *)realloc(inbuf_area, size);
        ASSERT_ALLOC(grown, size);
        inbuf_area = inbuf = grown;
        inbuf_size = size;
    }
    return inbuf_size - inbuf_len;
}

// Drops len bytes from the front of the input buffer.  Nothing moves: the
// start of the unread bytes does, so taking the lines of a head off one
// by one costs no copy of the rest.
void Socket::consume_front(size_t len)
{
    if (len >= inbuf_len) {
        Clear(0);
        return;
    }
    inbuf += len;
    inbuf_len -= len;
}

void Socket::Clear(int which)
{
    if (which == 0) {
        inbuf_len = 0;
        inbuf = inbuf_area;
        if (inbuf_size > SOCKET_BUFFER_STEP) {
            free(inbuf_area);
            inbuf_area = inbuf = nullptr;
            inbuf_size = 0;
        }
        return;
    }
    outbuf_len = 0;
    if (outbuf_size > SOCKET_BUFFER_STEP) {
        free(outbuf);
        outbuf = nullptr;
        outbuf_size = 0;
    }
}

void Socket::Resize(size_t len, int which)
{
    if (len == 0) {
        Clear(which);
        return;
    }
    if (which == 0) {
        // The unread bytes keep their place while they fit behind it.
        bool oversized = inbuf_size >= len + SOCKET_BUFFER_STEP;
        if (inbuf_area == nullptr || oversized || input_offset() + len > inbuf_size) {
            input_compact();
            if (inbuf_area == nullptr || inbuf_size < len || oversized) {
                size_t want = round_to_step(len);
                char *area = (char *)realloc(inbuf_area, want);
                ASSERT_ALLOC(area, want);
                inbuf_area = inbuf = area;
                inbuf_size = want;
            }
        }
        inbuf_len = len;
        return;
    }
    if (outbuf == nullptr || outbuf_size < len || outbuf_size >= len + SOCKET_BUFFER_STEP) {
        size_t want = round_to_step(len);
        char *grown = (char *)realloc(outbuf, want);
        ASSERT_ALLOC(grown, want);
        outbuf = grown;
        outbuf_size = want;
    }
    outbuf_len = len;
}

size_t Socket::PushFront(const char *data, size_t len)
{
    size_t before = inbuf_len;
    if (len == 0)
        return before;
    // Room freed at the front takes the bytes without moving the others.
    if (inbuf_area != nullptr && input_offset() >= len) {
        inbuf -= len;
        inbuf_len += len;
        memcpy(inbuf, data, len);
        return before;
    }
    Resize(before + len, 0);
    memmove(inbuf + len, inbuf, before);
    memcpy(inbuf, data, len);
    return before;
}

ssize_t Socket::Read(char *buf, ssize_t len)
{
    return Read(buf, len, -1);
}

ssize_t Socket::Read(char *buf, ssize_t len, int wait)
{
    if (len == 0)
        return 0;
    if (wait < 0)
        wait = timeout;
    bool buffered_enough = len != -1 && inbuf_len >= (size_t)len;
    // Bytes already buffered are delivered without waiting for more.
    bool buffered_some = len != -1 && inbuf_len > 0;
    bool readable = true;
    if (buffered_some && !buffered_enough)
        readable = shows_input(wait_for(POLLIN, 0));

    ssize_t delivered = 0;
    if (len != -1 && inbuf_len > 0) {
        size_t n = std::min(inbuf_len, (size_t)len);
        memcpy(buf, inbuf, n);
        if (inbuf_len > (size_t)len) {
            consume_front(n);
            return CallBackEvent(SOCKET_EVENT_READ, len, buf) == -1 ? -1 : len;
        }
        Clear(0);
        delivered = (ssize_t)n;
        if (delivered == len || !readable)
            return CallBackEvent(SOCKET_EVENT_READ, delivered, buf) == -1 ? -1 : delivered;
    }

    // One read of the descriptor; the input buffer is empty here unless
    // the caller appends (len -1).
    size_t room = len == -1 ? 0 : (size_t)(len - delivered);
    ssize_t r = read_within((int64_t)wait * 1000, false, len == -1 ? nullptr : buf + delivered,
                            room);
    if (r > 0 && len != -1)
        delivered += (ssize_t)std::min((size_t)r, room);
    if (len == -1)
        return r;
    if (delivered > 0) {
        if (CallBackEvent(SOCKET_EVENT_READ, delivered, buf) == -1)
            return -1;
        if (r == -1)
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return delivered;
    }
    return r;
}

ssize_t Socket::ReadWait(int milliseconds)
{
    return read_within(milliseconds > 0 ? milliseconds : 0, true, nullptr, 0);
}

ssize_t Socket::GetLine(char *dst, ssize_t dstlen)
{
    return GetLine(dst, dstlen, -1);
}

ssize_t Socket::GetLine(char *dst, ssize_t dstlen, int wait)
{
    size_t scanned = 0;
    ssize_t last = 0;
    char *nl;
    // The wait bounds the whole line, not each read: a peer that trickles
    // a byte at a time must not hold the line open for ever.
    const struct timespec start = monotonic_now();
    const int64_t limit = (int64_t)(wait < 0 ? timeout : wait) * 1000;
    bool read_once_done = false;  // a wait of 0 still looks once
    while ((nl = inbuf_len > scanned
                     ? (char *)memchr(inbuf + scanned, '\n', inbuf_len - scanned)
                     : nullptr) == nullptr) {
        scanned = inbuf_len;
        if (inbuf_len >= SOCKET_LINE_MAX)
            return SOCKET_LINE_TOO_LONG;
        int64_t left = limit - elapsed_ms(start, monotonic_now());
        if (left <= 0 && read_once_done)
            return -1;
        read_once_done = true;
        last = read_within(left > 0 ? left : 0, false, nullptr, 0);
        if (last <= 0)
            return last;
    }
    size_t linelen = (size_t)(nl - inbuf) + 1;
    ssize_t result = last;
    if (dstlen != -1) {
        size_t n = std::min(linelen, (size_t)dstlen);
        memcpy(dst, inbuf, n);
        // A line cut to dstlen keeps room for the terminator; dstlen 0
        // leaves no room even for that.
        if (n == (size_t)dstlen && n > 0)
            dst[n - 1] = '\0';
        else if (n < (size_t)dstlen)
            dst[n] = '\0';
        result = (ssize_t)n;
    }
    consume_front(linelen);
    return result;
}

// Writes from the front of the pending output once (send_within_timeout).
// Returns the bytes written (0 when none could go) or -1 on failure or
// time-out.
ssize_t Socket::push_pending()
{
    size_t size = outbuf_len;
    size_t allowed = Throttle(1);
    if (allowed != 0 && allowed < size)
        size = allowed;
    ssize_t r = send_within_timeout(outbuf, size);
    if (r > 0) {
        if (write_group != nullptr)
            write_group->Incr(r);
        bytes_out += (uint64_t)r;
        if ((size_t)r == outbuf_len) {
            Clear(1);
        } else {
            memmove(outbuf, outbuf + r, outbuf_len - (size_t)r);
            Resize(outbuf_len - (size_t)r, 1);
        }
    }
    return r;
}

ssize_t Socket::Write(const char *buf, ssize_t len)
{
    if (held) {
        if (len == -1)
            return 0;
        if (hold_area.size() + (size_t)len <= SOCKET_OUTBUF_HIGH) {
            hold_area.insert(hold_area.end(), buf, buf + len);
            CallBackEvent(SOCKET_EVENT_WRITE, len, (char *)buf);
            return 0;
        }
        // What was held goes first; the block follows as any other.
        if (send_held() == -1)
            return -1;
    }
    ssize_t pending = 0;
    if (outbuf_len != 0)
        pending = push_pending();
    if (pending == -1) {
        // The peer cannot take what is queued: it never will.
        Clear(1);
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return -1;
    }
    if (len == -1) {
        CallBackEvent(SOCKET_EVENT_WRITE, -1, (char *)buf);
        return pending;
    }

    ssize_t r = 0;
    if (outbuf_len == 0 && len > 0) {
        r = send_now(buf, (size_t)len);
        if (r == -1)
            return -1;
    } else if (len > 0) {
        append(1, buf, (size_t)len);
    }
    CallBackEvent(SOCKET_EVENT_WRITE, len, (char *)buf);

    // Bound the pending output: a peer slower than its source (or a write
    // group's rate) is waited for here instead of buffering the body.
    while (outbuf_len > SOCKET_OUTBUF_HIGH) {
        if (push_pending() <= 0) {
            Clear(1);
            CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
    }
    return r;
}

ssize_t Socket::PutSock(const char *fmt, ...)
{
    char area[SOCKET_PUTSOCK_MAX];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(area, sizeof(area), fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    if (n > SOCKET_PUTSOCK_MAX - 1)
        n = SOCKET_PUTSOCK_MAX - 1;
    return Write(area, n);
}

int Socket::Flush()
{
    if (held)
        return 0;
    while (outbuf_len != 0) {
        // A pass that moves nothing after the descriptor said it was
        // writable makes no progress: give up rather than spin.
        if (Write(nullptr, -1) <= 0) {
            if (outbuf_len != 0) {
                Clear(1);
                return -1;
            }
        }
    }
    return 0;
}

void Socket::Hold()
{
    // Pending output would have to leave before the held bytes; and the
    // area may be taken by another socket of this thread.
    if (held || outbuf_len != 0 || hold_owner != nullptr)
        return;
    hold_owner = this;
    hold_area.clear();
    held = true;
}

int Socket::Release()
{
    if (held && send_held() == -1)
        return -1;
    return Flush();
}

// Ends the hold and writes the held bytes, which observers have seen
// already, as Write would have: what the descriptor does not take at once
// stays in the output buffer.  -1 when the write failed.
ssize_t Socket::send_held()
{
    held = false;
    hold_owner = nullptr;
    if (hold_area.empty())
        return 0;
    ssize_t r = send_now(hold_area.data(), hold_area.size());
    hold_area.clear();
    return r;
}

// Sends what the throttle allows of a block at once and counts it; the
// rest waits in the output buffer.  -1 (the error event raised) when the
// send failed.
ssize_t Socket::send_now(const char *buf, size_t len)
{
    size_t allowed = Throttle(1);
    size_t size = (allowed == 0 || len < allowed) ? len : allowed;
    ssize_t r = send_within_timeout(buf, size);
    if (r == -1) {
        CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
        return -1;
    }
    if (r > 0) {
        if (write_group != nullptr)
            write_group->Incr(r);
        bytes_out += (uint64_t)r;
    }
    if ((size_t)r < len)
        append(1, buf + r, len - (size_t)r);
    return r;
}

ssize_t Socket::WriteFilebuf(const Filebuf *buf)
{
    ssize_t written = 0;
    size_t off = 0;
    // In pieces, so that the whole buffer is never copied into the output
    // buffer behind a slow peer.
    while (off < (size_t)buf->size) {
        size_t n = std::min((size_t)buf->size - off, (size_t)SOCKET_OUTBUF_HIGH);
        ssize_t r = Write(buf->data + off, (ssize_t)n);
        if (r == -1)
            return -1;
        written += r;
        off += n;
    }
    if (Flush() != 0)
        return -1;
    return written;
}

int Socket::Blocking(bool on)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags == -1)
        return -1;
    flags = on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    return fcntl(fd, F_SETFL, flags);
}

void Socket::SetTimeout(int seconds)
{
    timeout = seconds < 1 ? 1 : seconds;
}

void Socket::SetRate(LimitGroup *read, LimitGroup *write)
{
    // The new references are taken before the old ones are dropped, so that
    // giving a socket the group it already holds never destroys it.
    pthread_mutex_lock(&atomlock);
    if (read != nullptr)
        read->New();
    if (write != nullptr)
        write->New();
    LimitGroup *old_read = read_group, *old_write = write_group;
    read_group = read;
    write_group = write;
    if (old_read != nullptr && old_read->Delete())
        delete old_read;
    if (old_write != nullptr && old_write->Delete())
        delete old_write;
    pthread_mutex_unlock(&atomlock);
}

size_t Socket::Throttle(int which)
{
    LimitGroup *g = which == 0 ? read_group : write_group;
    if (g == nullptr)
        return 0;
    g->Lock();
    struct timespec now = monotonic_now();
    if (g->used == 0) {
        g->window_start = now;
        g->Unlock();
        return (size_t)g->quota;
    }
    int64_t ms = elapsed_ms(g->window_start, now);
    if (ms >= 100 || ms < 0) {
        g->used = 0;
        g->window_start = now;
        int64_t quota = g->quota;
        g->Unlock();
        sched_yield();
        return (size_t)quota;
    }
    if (g->used < g->quota) {
        int64_t left = g->quota - g->used;
        g->Unlock();
        sched_yield();
        return (size_t)left;
    }
    // The window's budget is spent: wait for its end with the group held,
    // which holds back every socket of the group alike.
    usleep((useconds_t)(100 - ms) * 1000);
    g->used = 0;
    g->window_start = monotonic_now();
    int64_t quota = g->quota;
    g->Unlock();
    sched_yield();
    return (size_t)quota;
}

SocketCallBack &Socket::find_callback(int id)
{
    for (SocketCallBack &cb : callbacks)
        if (cb.id == id)
            return cb;
    ASSERT(!"socket observer id not registered");
    __builtin_unreachable();
}

int Socket::CallBackAdd(socket_callback_t callback, void *arg, int mask)
{
    SocketCallBack cb(callback, arg);
    cb.id = callback_id++;
    cb.mask = mask;
    callbacks.push_back(cb);
    return cb.id;
}

int Socket::CallBackRemove(int id)
{
    find_callback(id);
    callbacks.remove_if([id](const SocketCallBack &cb) { return cb.id == id; });
    return 1;
}

int Socket::CallBackMaskSet(int id, int mask)
{
    find_callback(id).mask = mask;
    return mask;
}

int Socket::CallBackMaskGet(int id)
{
    return find_callback(id).mask;
}

int Socket::CallBackEvent(int mask, ssize_t len, char *buf)
{
    for (SocketCallBack &cb : callbacks)
        if ((cb.mask & mask) != 0 && cb.Call(len, buf) == -1)
            return -1;
    return 0;
}
