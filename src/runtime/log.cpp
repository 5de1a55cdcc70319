// The native log with its ring and rotation, and the access and extended
// logs written from LogEntry records.
#include "runtime/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <unistd.h>

#include "engine/global.h"
#include "engine/options.h"
#include "runtime/compat.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/signals.h"
#include "runtime/thread.h"

int loglevel = LOGLEVEL_DEFAULT;
int daemonize = 1;
char logfile[256];
int logfd = -1;
int logflg = 0;
pthread_mutex_t logfile_lock = PTHREAD_MUTEX_INITIALIZER;

int slogfd = -1;
int elogfd = -1;
int slogflg = 0;
int elogflg = 0;
pthread_mutex_t slogfile_lock = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t elogfile_lock = PTHREAD_MUTEX_INITIALIZER;

namespace {

// Lines are written under these in shared mode, so that the lines of many
// threads go out side by side: each file is open for appending, and every
// write lands whole at its end.  Opening and rotating a file, and marking
// it for rotation, take its lock exclusively, after the file's mutex.
// Writers are preferred, so that a rotation waits for the lines being
// written only, not for every line that follows.
pthread_rwlock_t logfile_use = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
pthread_rwlock_t slogfile_use = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;
pthread_rwlock_t elogfile_use = PTHREAD_RWLOCK_WRITER_NONRECURSIVE_INITIALIZER_NP;

}  // namespace

const char access_legend[] =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status "
    "size method url username peercode/peer mime\n";
const char apache_legend[] =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] "
    "\"HTTP_method proto://url\" status size \"http_referer\" \"useragent\" "
    "mime \"filter_name filtering_reason\" "
    "\"comma_separated_list_of_applied_profiles\" \"interface_ip:interface_port\n";

namespace {

class LogLock;
struct LogFile;
struct StampCache;
size_t stamp_local(StampCache *cache, time_t when, const char *format, char *out,
                   size_t capacity);
const char *category_prefix(int category);
size_t line_build(char *line, time_t now, int category, const char *format,
                  va_list args);
void rename_keeping(const char *from, const char *to);
void log_file_rotate(int *fd, const char *path, time_t when);
int log_file_open(const char *path, const char *legend);
void log_file_append(const LogFile &file, const char *data, size_t length,
                     time_t when);
LOGBUFFER_NODE *node_new(const char *line);
void node_free(LOGBUFFER_NODE *node);
std::string record_format(size_t capacity, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// The log's locks, as bits of the set each thread keeps of those it holds.
enum {
    HELD_RING = 0x1,
    HELD_LOGFILE = 0x2,
    HELD_SLOGFILE = 0x4,
    HELD_ELOGFILE = 0x8,
};
thread_local unsigned log_locks_held = 0;

// Once the process is ending, a lock is waited for this long at most.
constexpr long EXIT_LOCK_WAIT_NS = 200L * 1000 * 1000;

const char *const category_prefixes[] = {
    "request: ",     "network: ",        "url filter: ",    "header: ",
    "mime filter: ", "cookie filter: ",  "redirect: ",      "template: ",
    "keyword filter: ", "rewriting: ",   "limits: ",        "cache: ",
    "prefetch: ",    "ICP: ",            "forwarding: ",    "sync: ",
    "antivirus: ",   "external: ",       "ICAP: ",          "dnsbl: ",
    "URL blacklist: ", "URL command: ",  "module: ",        "security: ",
    "warning: ",     "error: ",          "profiles: ",      "debug: ",
    "verify: ",
};

const char *const cache_code_names[] = {
    "UNSPECIFIED",     "TCP_HIT",          "TCP_MISS",     "TCP_REFRESH_HIT",
    "TCP_REF_FAIL_HIT", "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH",
    "TCP_IMS_HIT",     "TCP_IMS_MISS",     "TCP_DENIED",   "UDP_HIT",
    "UDP_MISS",        "UDP_HIT_OBJ",      "UDP_DENIED",   "UDP_INVALID",
};

const char *const peer_code_names[] = {
    "NONE",                "DIRECT",              "FIREWALL_IP_DIRECT",
    "FIRST_PARENT_MISS",   "FIRST_UP_PARENT",     "LOCAL_IP_DIRECT",
    "SIBLING_HIT",         "NO_DIRECT_FAIL",      "NO_PARENT_DIRECT",
    "PARENT_HIT",          "SINGLE_PARENT",       "SOURCE_FASTEST",
    "PARENT_UDP_HIT_OBJ",  "SIBLING_UDP_HIT_OBJ", "PASSTHROUGH_PARENT",
    "SSL_PARENT_MISS",     "DEFAULT_PARENT",      "ROUNDROBIN_PARENT",
    "CLOSEST_PARENT_MISS", "CLOEST_DIRECT",
};

// Takes one of the log's locks, unless this thread holds it
// already: a line logged from inside the log (a failing open or
// allocation) then skips the copy that needs the lock instead of waiting
// on itself.  Once the process is ending the wait is bounded, since the
// holder may be the thread that failed.  `owned` tells whether the caller
// may go on.
class LogLock {
public:
    LogLock(pthread_mutex_t *mutex, unsigned bit) : mutex_(mutex), bit_(bit)
    {
        if (log_locks_held & bit_)
            return;
        int rc;
        if (exit_in_progress())
            rc = try_until_deadline([this] { return pthread_mutex_trylock(mutex_); });
        else
            rc = pthread_mutex_lock(mutex_);
        acquired(rc);
    }

    ~LogLock()
    {
        if (!owned)
            return;
        log_locks_held &= ~bit_;
        pthread_mutex_unlock(mutex_);
    }

    LogLock(const LogLock &) = delete;
    LogLock &operator=(const LogLock &) = delete;

    bool owned = false;

    // Tries the lock every millisecond for EXIT_LOCK_WAIT_NS.  A try-lock
    // loop rather than a timed lock: thread sanitizers do not follow the
    // clock-based lock calls, and would see the unlock without its lock.
    template <typename TryLock> static int try_until_deadline(TryLock try_lock)
    {
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        for (;;) {
            int rc = try_lock();
            if (rc != EBUSY)
                return rc;
            clock_gettime(CLOCK_MONOTONIC, &now);
            long long waited = (long long)(now.tv_sec - start.tv_sec) * 1000000000LL +
                               (now.tv_nsec - start.tv_nsec);
            if (waited >= EXIT_LOCK_WAIT_NS)
                return ETIMEDOUT;
            struct timespec pause = {0, 1000000L};
            nanosleep(&pause, nullptr);
        }
    }

private:
    void acquired(int rc)
    {
        if (rc != 0)
            return;
        owned = true;
        log_locks_held |= bit_;
    }

    pthread_mutex_t *mutex_;
    unsigned bit_;
};

// Takes a log file's use lock, shared or exclusive; once the process is
// ending the wait is bounded as LogLock's.  `owned` tells whether the
// caller may go on.
class UseLock {
public:
    UseLock(pthread_rwlock_t *rwlock, bool exclusive) : rwlock_(rwlock)
    {
        int rc;
        if (exit_in_progress())
            rc = LogLock::try_until_deadline([this, exclusive] {
                return exclusive ? pthread_rwlock_trywrlock(rwlock_)
                                 : pthread_rwlock_tryrdlock(rwlock_);
            });
        else
            rc = exclusive ? pthread_rwlock_wrlock(rwlock_) : pthread_rwlock_rdlock(rwlock_);
        owned = rc == 0;
    }

    ~UseLock()
    {
        if (owned)
            pthread_rwlock_unlock(rwlock_);
    }

    UseLock(const UseLock &) = delete;
    UseLock &operator=(const UseLock &) = delete;

    bool owned = false;

private:
    pthread_rwlock_t *rwlock_;
};

// A time stamp as strftime made it for one second.  Each thread keeps one
// per format: localtime_r takes the C library's time-zone lock, on which
// every logging thread would queue otherwise.  A change of time zone within
// the process shows from the next second on.
struct StampCache {
    time_t second = static_cast<time_t>(-1);
    size_t length = 0;
    char text[64];
};

thread_local StampCache native_stamp;   // "%Y %m %d %H:%M:%S"
thread_local StampCache extended_stamp; // "[%d/%b/%Y:%H:%M:%S]"

// Writes the stamp of `when` (cut to capacity - 1 bytes) and returns its
// length; a time that has no local form gives "".
size_t stamp_local(StampCache *cache, time_t when, const char *format, char *out,
                   size_t capacity)
{
    if (cache->second != when) {
        struct tm local;
        cache->length = 0;
        if (localtime_r(&when, &local) != nullptr)
            cache->length = strftime(cache->text, sizeof cache->text, format, &local);
        cache->text[cache->length] = '\0';
        cache->second = when;
    }
    size_t length = cache->length < capacity ? cache->length : capacity - 1;
    memcpy(out, cache->text, length);
    out[length] = '\0';
    return length;
}

// The lines that many threads send to one descriptor.  A thread that
// finds no write in progress writes its line and then, in one write each
// time, whatever other threads queued meanwhile, until the queue is empty;
// a thread that finds a write in progress queues its line and goes on.
// Under load one write(2) carries the lines of several requests, and the
// appends no longer queue on the file in the kernel.  Lines stay whole and
// in the order they were queued, and each reaches the descriptor as soon as
// the write in progress has ended.
struct LineQueue {
    pthread_mutex_t lock;
    pthread_cond_t taken; // the writer has taken the queued lines
    bool writing;         // a thread is writing and will take what is queued
    std::string *pending; // lines queued during that write; made on first use
};

#define LINE_QUEUE_INIT {PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP, PTHREAD_COND_INITIALIZER, false, nullptr}
LineQueue stdout_queue = LINE_QUEUE_INIT;
LineQueue native_queue = LINE_QUEUE_INIT;
LineQueue access_queue = LINE_QUEUE_INIT;
LineQueue extended_queue = LINE_QUEUE_INIT;
#undef LINE_QUEUE_INIT

// Past this many queued bytes a thread waits for the writer, as it would
// wait in its own write: a descriptor that takes nothing (a pipe nobody
// reads) holds the threads back instead of growing the queue without end.
constexpr size_t LINE_QUEUE_MAX = 256 * 1024;

// The queued lines are written by the thread that is writing: the caller
// of a log file keeps the file's use lock (shared) across this call, so a
// rotation never takes the file from under queued lines.
void queue_write(LineQueue *queue, int fd, const char *data, size_t length)
{
    pthread_mutex_lock(&queue->lock);
    if (queue->writing && queue->pending != nullptr &&
        queue->pending->size() >= LINE_QUEUE_MAX) {
        // At most a second per line: past it the line is queued anyway.
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 1;
        while (queue->writing && queue->pending->size() >= LINE_QUEUE_MAX)
            if (pthread_cond_timedwait(&queue->taken, &queue->lock, &deadline) != 0)
                break;
    }
    if (queue->writing) {
        if (queue->pending == nullptr)
            queue->pending = new std::string();
        queue->pending->append(data, length);
        pthread_mutex_unlock(&queue->lock);
        return;
    }
    queue->writing = true;
    pthread_mutex_unlock(&queue->lock);
    fd_write_all(fd, data, length);
    std::string batch;
    for (;;) {
        pthread_mutex_lock(&queue->lock);
        if (queue->pending == nullptr || queue->pending->empty()) {
            queue->writing = false;
            pthread_cond_broadcast(&queue->taken);
            pthread_mutex_unlock(&queue->lock);
            return;
        }
        // The buffers change places, so neither is made again per batch.
        batch.swap(*queue->pending);
        pthread_cond_broadcast(&queue->taken);
        pthread_mutex_unlock(&queue->lock);
        fd_write_all(fd, batch.data(), batch.size());
        batch.clear();
    }
}

// Waits, at most EXIT_LOCK_WAIT_NS, until no thread is writing a queue.
void queue_drain(LineQueue *queue)
{
    LogLock::try_until_deadline([queue] {
        if (pthread_mutex_trylock(&queue->lock) != 0)
            return EBUSY;
        bool writing = queue->writing;
        pthread_mutex_unlock(&queue->lock);
        return writing ? EBUSY : 0;
    });
}

// One log file with its settings and lock.
struct LogFile {
    const char *path;
    int *fd;
    int *flag;
    pthread_mutex_t *lock;
    unsigned held_bit;
    const char *legend; // written first into an empty file; null for none
    pthread_rwlock_t *use;
    LineQueue *queue;
};

const LogFile native_log = {logfile, &logfd, &logflg, &logfile_lock,
                            HELD_LOGFILE, nullptr, &logfile_use, &native_queue};
const LogFile access_log = {slogfile, &slogfd, &slogflg, &slogfile_lock,
                            HELD_SLOGFILE, access_legend, &slogfile_use, &access_queue};
const LogFile extended_log = {elogfile, &elogfd, &elogflg, &elogfile_lock,
                              HELD_ELOGFILE, apache_legend, &elogfile_use, &extended_queue};

// A process that ends by exit() after its last lines still writes them.
[[maybe_unused]] const int drain_at_exit = atexit(log_drain);

// The prefix of a category; a value that is not one category has none.
const char *category_prefix(int category)
{
    if (category == LOG_ADVICE)
        return "advice: ";
    for (size_t bit = 0; bit < sizeof category_prefixes / sizeof *category_prefixes;
         bit++)
        if (category == (1 << bit))
            return category_prefixes[bit];
    return "";
}

// Builds the line without its newline into `line` (LOG_LINE_MAX + 1
// bytes): time stamp, client id, prefix and message, the whole cut to
// LOG_LINE_MAX - 1 bytes so that the newline still fits.  Returns its
// length.
size_t line_build(char *line, time_t now, int category, const char *format,
                  va_list args)
{
    size_t length = stamp_local(&native_stamp, now, "%Y %m %d %H:%M:%S", line,
                                LOG_LINE_MAX);
    int n = snprintf(line + length, LOG_LINE_MAX - length, " [%u] %s",
                     thread_get_clientid(), category_prefix(category));
    if (n > 0)
        length += static_cast<size_t>(n);
    if (length >= LOG_LINE_MAX)
        length = LOG_LINE_MAX - 1;
    n = vsnprintf(line + length, LOG_LINE_MAX - length, format, args);
    if (n > 0)
        length += static_cast<size_t>(n);
    if (length >= LOG_LINE_MAX)
        length = LOG_LINE_MAX - 1;
    line[length] = '\0';
    return length;
}

// Renames a rotated log, never over an existing file: two rotations within
// one second would otherwise overwrite the first one's file.  When the
// name is taken the log stays where it is and goes on growing.
void rename_keeping(const char *from, const char *to)
{
    if (renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0)
        return;
    // File systems without RENAME_NOREPLACE
    if (errno == EINVAL)
        rename(from, to);
}

// Rotation of an open log file, with its lock held: flushed, closed and
// renamed to "<directory>/<when as %Y%m%d%H%M%S>-<name>".  A path without
// '/' has no directory to rotate into, and its file stays open.  Failures
// change nothing and are not reported: the log goes on in the old file.
void log_file_rotate(int *fd, const char *path, time_t when)
{
    fsync(*fd);
    const char *slash = strrchr(path, '/');
    if (slash == nullptr)
        return;
    char stamp[16] = "";
    struct tm local;
    if (localtime_r(&when, &local) != nullptr)
        strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &local);
    char rotated[255];
    snprintf(rotated, sizeof rotated, "%.*s/%s-%s",
             static_cast<int>(slash - path), path, stamp, slash + 1);
    close(*fd);
    *fd = -1;
    rename_keeping(path, rotated);
}

// Opens (creating) a log file for appending; an empty file first gets the
// legend.  Returns the descriptor or -1 (only s_open64's own message).
int log_file_open(const char *path, const char *legend)
{
    int fd = s_open64(path, O_RDWR | O_CREAT | O_APPEND, 0640);
    if (fd == -1)
        return -1;
    if (legend != nullptr && lseek(fd, 0, SEEK_END) == 0)
        fd_write_all(fd, legend, strlen(legend));
    return fd;
}

// Appends data to a log file under its lock, carrying out a rotation that
// is due (named after `when`) and opening the file when it is closed.  A
// mark raised while the file is closed waits for a write that finds it
// open.  A file that cannot be opened loses the data; the next write
// tries again.
void log_file_append(const LogFile &file, const char *data, size_t length,
                     time_t when)
{
    // A line logged while this thread opens or rotates the same file (a
    // failure it reports) is not written: the file is not ready.
    if ((log_locks_held & file.held_bit) || file.path[0] == '\0')
        return;
    {
        // The usual case: the file is open and no rotation is due.
        UseLock shared(file.use, false);
        if (!shared.owned)
            return;
        if (*file.fd != -1 && *file.flag != -1) {
            queue_write(file.queue, *file.fd, data, length);
            return;
        }
    }
    LogLock lock(file.lock, file.held_bit);
    if (!lock.owned)
        return;
    UseLock exclusive(file.use, true);
    if (!exclusive.owned)
        return;
    if (*file.flag == -1 && *file.fd != -1) {
        *file.flag = 0;
        log_file_rotate(file.fd, file.path, when);
    }
    if (*file.fd == -1) {
        *file.fd = log_file_open(file.path, file.legend);
        if (*file.fd == -1)
            return;
    }
    fd_write_all(*file.fd, data, length);
}

// A node and its text are one allocation: the text follows the node.
LOGBUFFER_NODE *node_new(const char *line)
{
    size_t length = strlen(line);
    size_t bytes = sizeof(LOGBUFFER_NODE) + length + 1;
    auto *node = static_cast<LOGBUFFER_NODE *>(xmalloc(bytes));
    ASSERT_ALLOC(node, bytes);
    node->next = node->previous = nullptr;
    node->text = reinterpret_cast<char *>(node + 1);
    memcpy(node->text, line, length + 1);
    return node;
}

void node_free(LOGBUFFER_NODE *node)
{
    ASSERT(node->text != nullptr);
    free(node);
}

// printf into a record of at most capacity - 1 bytes.
std::string record_format(size_t capacity, const char *format, ...)
{
    std::string record(capacity, '\0');
    va_list args;
    va_start(args, format);
    int n = vsnprintf(&record[0], capacity, format, args);
    va_end(args);
    size_t length = n < 0 ? 0 : static_cast<size_t>(n);
    record.resize(length < capacity ? length : capacity - 1);
    return record;
}

} // namespace

void putlog(int category, const char *format, ...)
{
    if (category == LOG_DEBUG && (loglevel & LOG_DEBUG) == 0)
        return;

    char line[LOG_LINE_MAX + 1];
    time_t now = time(nullptr);
    va_list args;
    va_start(args, format);
    size_t length = line_build(line, now, category, format, args);
    va_end(args);

    // The ring keeps the line as the message left it: without the newline
    // added below.
    if (category != LOG_DEBUG && global != nullptr && global->logbuffer != nullptr)
        logbuffer_add(global->logbuffer, line);

    if (length == 0 || line[length - 1] != '\n') {
        line[length++] = '\n';
        line[length] = '\0';
    }

    if (category != LOG_ADVICE && (category & loglevel) == 0)
        return;
    if (daemonize == 0)
        queue_write(&stdout_queue, STDOUT_FILENO, line, length);
    if (logfile[0] != '\0')
        log_file_append(native_log, line, length, now);
}

void putlog_system(int category, const char *call, int err, const char *format, ...)
{
    char rest[LOG_LINE_MAX];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(rest, sizeof rest, format, args);
    va_end(args);
    if (n < 0)
        rest[0] = '\0';
    char text[128];
    putlog(category, "[system: %s:%d:%s]%s", call, err,
           strerror_r(err, text, sizeof text), rest);
    errno = err;
}

LOGBUFFER *logbuffer_new()
{
    auto *ring = static_cast<LOGBUFFER *>(xmalloc(sizeof(LOGBUFFER)));
    ASSERT_ALLOC(ring, sizeof(LOGBUFFER));
    int rc = mutex_init_adaptive(&ring->lock);
    ASSERT(rc == 0);
    ring->max = LOGBUFFER_DEFAULT_MAX;
    return ring;
}

void logbuffer_add(LOGBUFFER *ring, const char *line)
{
    // A line logged while this thread adds one (its allocation failing) is
    // not added: the ring would recurse.
    if (log_locks_held & HELD_RING)
        return;
    // Every non-debug line of every thread comes here: the copy is made
    // before the lock and the oldest line freed after it, so the lock is
    // held for the relinking only.
    log_locks_held |= HELD_RING;
    LOGBUFFER_NODE *node = node_new(line);
    log_locks_held &= ~HELD_RING;
    LOGBUFFER_NODE *oldest = nullptr;
    {
        LogLock lock(&ring->lock, HELD_RING);
        if (!lock.owned || ring->max <= 0) {
            oldest = node;
        } else {
            node->next = ring->head;
            if (ring->head != nullptr)
                ring->head->previous = node;
            ring->head = node;
            if (ring->tail == nullptr)
                ring->tail = node;
            if (ring->count < ring->max) {
                ring->count++;
            } else {
                oldest = ring->tail;
                ring->tail = oldest->previous;
                ring->tail->next = nullptr;
            }
        }
    }
    if (oldest != nullptr)
        node_free(oldest);
}

void logbuffer_resize(LOGBUFFER *ring, int n)
{
    if (n < 0)
        return;
    LogLock lock(&ring->lock, HELD_RING);
    if (!lock.owned)
        return;
    LOGBUFFER_NODE *kept = nullptr;
    LOGBUFFER_NODE *node = ring->head;
    for (int i = 0; i < n && node != nullptr; i++) {
        kept = node;
        node = node->next;
    }
    if (node != nullptr) {
        if (kept != nullptr)
            kept->next = nullptr;
        else
            ring->head = nullptr;
        ring->tail = kept;
        ring->count = n;
        while (node != nullptr) {
            LOGBUFFER_NODE *next = node->next;
            node_free(node);
            node = next;
        }
    }
    ring->max = n;
}

void logbuffer_clear(LOGBUFFER *ring)
{
    LogLock lock(&ring->lock, HELD_RING);
    if (!lock.owned)
        return;
    LOGBUFFER_NODE *node = ring->head;
    ring->head = ring->tail = nullptr;
    ring->count = 0;
    while (node != nullptr) {
        LOGBUFFER_NODE *next = node->next;
        node_free(node);
        node = next;
    }
}

void log_drain()
{
    for (LineQueue *queue : {&stdout_queue, &native_queue, &access_queue, &extended_queue})
        queue_drain(queue);
}

void logrotate()
{
    putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
    // One lock at a time, so no writer sees a mark half-set.
    for (const LogFile *file : {&native_log, &access_log, &extended_log}) {
        LogLock lock(file->lock, file->held_bit);
        if (!lock.owned)
            continue;
        UseLock exclusive(file->use, true);
        if (exclusive.owned)
            *file->flag = -1;
    }
}

LogEntry::LogEntry()
    : cache_code(0), peer_code(0), client("-"), start_time(), end_time(),
      status(0), size(0), username("-"), useragent("-"), http_referer("-"),
      client_id(0), written(false)
{
    Reset();
}

void LogEntry::Reset()
{
    gettimeofday(&start_time, nullptr);
    cache_code = 0;
    peer_code = 0;
    size = 0;
    status = 0;
    written = false;
    page_sent = false;
    url = "-";
    peer = "-";
    mime = "-";
    filter_name = "-";
    filtering_reason = "-";
    profiles = "-";
}

std::string LogEntry::cachecode() const
{
    const int names = sizeof cache_code_names / sizeof *cache_code_names;
    return cache_code_names[cache_code > 0 && cache_code < names ? cache_code : 0];
}

std::string LogEntry::peercode() const
{
    const int names = sizeof peer_code_names / sizeof *peer_code_names;
    return peer_code_names[peer_code > 0 && peer_code < names ? peer_code : 0];
}

std::string LogEntry::column(const std::string &value)
{
    std::string text;
    text.reserve(value.size());
    for (char c : value)
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\v' && c != '\f')
            text += c;
    return text.empty() ? "-" : text;
}

// The buffers are sized from every text the record holds, so a long value
// (a client's method or agent) never cuts off the columns after it.  Log
// analysers split a record at blanks, so no column may be empty or hold
// one.
std::string LogEntry::Build()
{
    gettimeofday(&end_time, nullptr);
    const std::string texts[] = {column(client),   column(method), column(url),
                                 column(username), column(peer),   column(mime)};
    size_t length = 0;
    for (const std::string &text : texts)
        length += text.size();
    return record_format(length + 1023, "\n%lu.%.3d %d %s %s/%d %lld %s %s %s %s/%s %s",
                         static_cast<unsigned long>(start_time.tv_sec),
                         static_cast<int>(start_time.tv_usec / 1000),
                         timeval_diff_ms(&start_time, &end_time), texts[0].c_str(),
                         cachecode().c_str(), status, static_cast<long long>(size),
                         texts[1].c_str(), texts[2].c_str(), texts[3].c_str(),
                         peercode().c_str(), texts[4].c_str(), texts[5].c_str());
}

// The unquoted columns and the request line are written as in the access
// log, so that a reader splitting at blanks finds every column.
std::string LogEntry::apache_Build()
{
    gettimeofday(&end_time, nullptr);
    char date[64];
    if (stamp_local(&extended_stamp, end_time.tv_sec, "[%d/%b/%Y:%H:%M:%S]", date,
                    sizeof date) == 0)
        snprintf(date, sizeof date, "[]");
    const std::string client_text = column(client), method_text = column(method),
                      url_text = column(url), mime_text = column(mime);
    size_t texts = 2 * (interface_ip.size() + interface_port.size()) +
                   client_text.size() + username.size() + method_text.size() +
                   url_text.size() + http_referer.size() + useragent.size() +
                   mime_text.size() + filter_name.size() + filtering_reason.size() +
                   profiles.size();
    return record_format(
        texts + 1023,
        "\n\"%lu.%.3d-%u-%s-%s\" %d %s \"%s\" \"%u\" %s \"%s %s\" %d %lld \"%s\" "
        "\"%s\" %s \"%s %s\" \"%s\" \"%s:%s\"",
        static_cast<unsigned long>(start_time.tv_sec),
        static_cast<int>(start_time.tv_usec / 1000), client_id,
        interface_ip.c_str(), interface_port.c_str(),
        timeval_diff_ms(&start_time, &end_time), client_text.c_str(), username.c_str(),
        client_id, date, method_text.c_str(), url_text.c_str(), status,
        static_cast<long long>(size), http_referer.c_str(), useragent.c_str(),
        mime_text.c_str(), filter_name.c_str(), filtering_reason.c_str(),
        profiles.c_str(), interface_ip.c_str(), interface_port.c_str());
}

void LogEntry::Write()
{
    written = true;
    std::string record = Build();
    log_file_append(access_log, record.data(), record.size(), time(nullptr));
}

void LogEntry::apache_Write()
{
    std::string record = apache_Build();
    log_file_append(extended_log, record.data(), record.size(), time(nullptr));
}
