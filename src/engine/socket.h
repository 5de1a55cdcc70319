// Socket: the buffered byte stream over one connected descriptor that every
// network conversation of the proxy goes through, and LimitGroup, the
// bandwidth bucket that throttles any number of sockets together.
//
// A Socket adds to its descriptor an input buffer (bytes read but not yet
// consumed: lines are taken off it and bytes can be pushed back), an output
// buffer (bytes accepted but not yet written), byte totals, throttling
// through shared LimitGroups, and observers that see every block read or
// written.  It has no lock: one thread uses it at a time.
//
// Nothing waits for ever: every read and every write waits at most the
// socket's time-out (SetTimeout), also where a caller asks for no limit.
#ifndef KV_ENGINE_SOCKET_H
#define KV_ENGINE_SOCKET_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <pthread.h>
#include <sys/types.h>

#include "runtime/atom.h"

class Filebuf;
struct ssl_st;
struct ssl_ctx_st;

// Buffers grow and shrink in steps of this many bytes; a buffer of at most
// one step survives emptying.
#define SOCKET_BUFFER_STEP 65536
// Pending output above this many bytes is written out before a Write
// accepts more, so a slow or throttled peer never makes the output buffer
// hold a whole body.
#define SOCKET_OUTBUF_HIGH 65536
// GetLine gives up when this many bytes are buffered without a newline.
#define SOCKET_LINE_MAX 65536
// GetLine's result when the line exceeded SOCKET_LINE_MAX.
#define SOCKET_LINE_TOO_LONG (-2)
// I/O time-out of a new socket, in seconds, until its owner sets the one of
// the connection's settings.
#define SOCKET_DEFAULT_TIMEOUT 60
// PutSock formats into an area of this size (one byte for the terminator).
#define SOCKET_PUTSOCK_MAX 8192

// Observer event bits.
enum {
    SOCKET_EVENT_READ = 1,   // a block was delivered to a reader
    SOCKET_EVENT_WRITE = 2,  // a block was accepted for writing
    SOCKET_EVENT_ERROR = 4,  // a read or write of the descriptor failed
};

// Bandwidth bucket shared by every socket attached to it: rate / 10 bytes
// per 100 ms window.  The reference count (Atom) changes only under
// atomlock; `lock` guards `used` and `window_start`.
class LimitGroup : public Atom {
public:
    explicit LimitGroup(uint64_t rate);
    ~LimitGroup();

    void Lock();
    void Unlock();
    // Adds n moved bytes to the current window; returns the new total.
    int64_t Incr(int64_t n);

    uint64_t rate;                 // bytes per second
    int64_t used;                  // bytes moved in the current window
    int64_t quota;                 // bytes per 100 ms window: rate / 10
    struct timespec window_start;  // start of the current window (monotonic clock)
    pthread_mutex_t lock;
};

// Drops one reference to the group under atomlock and destroys it when that
// was the last one.  Null does nothing.
void limitgroup_release(LimitGroup *group);

typedef int (*socket_callback_t)(void *arg, ssize_t len, char *buf);

// One observer of a socket.
struct SocketCallBack {
    SocketCallBack(socket_callback_t callback, void *arg);
    int Call(ssize_t len, char *buf);

    socket_callback_t callback;
    int id;
    int mask;   // SOCKET_EVENT_* bits the observer wants
    void *arg;
};

class Socket {
public:
    Socket();
    // Takes over an already connected descriptor; closes it at destruction.
    explicit Socket(int fd);
    // Writes pending output (within the time-out), closes the descriptor,
    // releases both limit groups and adds the byte totals to the counters.
    ~Socket();

    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    // Delivers up to len bytes into buf, or with len -1 appends one block
    // from the descriptor to the input buffer.  timeout is in seconds; -1
    // means the socket's own time-out.  Returns the bytes delivered (or
    // appended), 0 at end of stream with nothing delivered, -1 on error,
    // time-out or when an observer refused the data.  At most one read of
    // the descriptor happens per call, so callers loop.
    ssize_t Read(char *buf, ssize_t len, int timeout);
    ssize_t Read(char *buf, ssize_t len);
    // Appends one block from the descriptor to the input buffer once input
    // is there, waiting at most milliseconds for it (0: only a look).  It
    // waits before it reads, for callers that expect nothing yet.  Returns
    // as Read with len -1.
    ssize_t ReadWait(int milliseconds);

    // Takes one line ending in "\n" off the stream into dst (dstlen -1:
    // discard it).  The line is cut to dstlen - 1 characters and always
    // terminated; the whole line leaves the input buffer.  Returns the bytes
    // copied (the last Read's result with dstlen -1), the last Read's 0 or
    // -1 when the stream ends or fails first (the partial line stays
    // buffered), or SOCKET_LINE_TOO_LONG when SOCKET_LINE_MAX bytes arrived
    // without a newline.  The wait (seconds; -1: the socket's time-out)
    // bounds the whole line, however many reads it takes.
    ssize_t GetLine(char *dst, ssize_t dstlen, int timeout);
    ssize_t GetLine(char *dst, ssize_t dstlen);

    // Puts bytes back in front of the input buffer; returns the number of
    // bytes that were buffered before.
    size_t PushFront(const char *data, size_t len);

    // Writes with output buffering and throttling; len -1 only pushes
    // pending output.  Returns the bytes written directly by this call (0
    // when the block was buffered), or -1 when the write failed or timed
    // out.  Observers see every block, written or buffered.
    ssize_t Write(const char *buf, ssize_t len);
    // printf into an 8192-byte area (a longer text is cut to 8191
    // characters) and Write the result.
    ssize_t PutSock(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
    // Pushes pending output until none is left or a write fails; returns 0.
    // While the socket holds its output (Hold) it writes nothing.
    int Flush();
    // From now on Write keeps what it is given, up to SOCKET_OUTBUF_HIGH
    // bytes, in an area its thread reuses, so that a head and a body
    // already at hand leave in one write.  A block that does not fit ends
    // the hold: the held bytes are written, then the block as usual.  Only
    // for output that follows without waiting for anything else: Release
    // comes before any wait.  Nothing is held while output is pending or
    // another socket of the thread holds.
    void Hold();
    // Ends the hold and flushes; returns Flush's result.
    int Release();
    // Writes the whole buffer and flushes; returns -1 when a write failed,
    // else the bytes written directly.
    ssize_t WriteFilebuf(const Filebuf *buf);

    // Empties the input (which 0) or output buffer (which not 0).
    void Clear(int which);
    // Sets the length of the input (0) or output (1) buffer.
    void Resize(size_t len, int which);

    // on true clears O_NONBLOCK, false sets it; returns fcntl's result.
    int Blocking(bool on);
    // The time-out in seconds of every wait that names none (at least 1).
    void SetTimeout(int seconds);

    // Replaces both limit groups (null detaches), taking a reference to
    // each new one and releasing the old ones under atomlock.
    void SetRate(LimitGroup *read, LimitGroup *write);
    // Bytes the caller may move now on the read (which 0) or write group;
    // 0 means no limit.  May sleep to the end of the group's window.
    size_t Throttle(int which);

    // With mode 1 runs a TLS client handshake over the descriptor within
    // the socket's time-out, sending server_name (may be null) as SNI;
    // every read and write goes through the session afterwards, and the
    // descriptor is non-blocking.  1 on success; 0 on failure or another
    // mode, leaving the socket plain.
    int Encrypt(int mode, const char *server_name = nullptr);

    int CallBackAdd(socket_callback_t callback, void *arg, int mask);
    int CallBackRemove(int id);
    int CallBackMaskSet(int id, int mask);
    int CallBackMaskGet(int id);
    // Calls every observer sharing a bit with mask, in list order; -1 as
    // soon as one returns -1, else 0.
    int CallBackEvent(int mask, ssize_t len, char *buf);

    // The TLS session lives in these fields once a client handshake has
    // succeeded; until then every read and write goes to the descriptor.
    int encrypted;
    int callback_id;           // id the next CallBackAdd hands out
    size_t inbuf_size;         // allocated size of the input area: 0 or a multiple of 64 KiB
    size_t outbuf_size;        // allocated size of outbuf: 0 or a multiple of 64 KiB
    char *inbuf;               // the first unread byte, inside the input area
    char *outbuf;
    std::list<SocketCallBack> callbacks;
    struct ssl_st *ssl_session;
    struct ssl_ctx_st *ssl_ctx;
    LimitGroup *read_group;    // shared; null = unlimited
    LimitGroup *write_group;   // shared; null = unlimited
    int fd;                    // -1 when the socket has none
    size_t inbuf_len;          // bytes buffered for reading; pollers treat them as readable
    size_t outbuf_len;         // bytes waiting to be written
    uint64_t bytes_in;
    uint64_t bytes_out;
    int timeout;               // seconds; see SetTimeout
    bool held;                 // Write keeps its bytes in its thread's area: see Hold
    bool read_failed;          // a read of the descriptor failed (a reset, an error):
                               // the stream did not end with an orderly close

private:
    void init(int descriptor);
    // io_read's result when the descriptor has nothing to read yet.
    static constexpr ssize_t READ_WOULD_BLOCK = -2;

    // The input area: consumed bytes only move inbuf forward, and the
    // unread bytes go back to the start of the area when a read needs room.
    char *inbuf_area;

    int wait_for(short events, int64_t ms);
    static bool shows_input(int events);
    ssize_t io_read(char *buf, size_t len);
    ssize_t read_once(char *dst, size_t room);
    void take_pending();
    ssize_t read_within(int64_t ms, bool wait_first, char *dst, size_t room);
    ssize_t io_write(const char *buf, size_t len);
    ssize_t send_within_timeout(const char *buf, size_t len);
    ssize_t push_pending();
    ssize_t send_held();
    ssize_t send_now(const char *buf, size_t len);
    void append(int which, const char *data, size_t len);
    size_t input_offset() const;
    void input_compact();
    size_t input_room(size_t want);
    void consume_front(size_t len);
    SocketCallBack &find_callback(int id);
};

#endif
