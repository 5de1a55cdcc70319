// The native log: putlog, its categories and the in-memory ring; and the
// access and extended logs written from a request's LogEntry.
#ifndef KV_RUNTIME_LOG_H
#define KV_RUNTIME_LOG_H

#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/time.h>

enum {
    LOG_ADVICE = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIMEFILTER = 0x10,
    LOG_COOKIEFILTER = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORDFILTER = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBLACKLIST = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

#define LOG_LINE_MAX 8192

// Writes one native-log line: "%Y %m %d %H:%M:%S", " [%u] " with the
// calling thread's client id, the category's prefix and the message, cut
// so the line with its newline fits LOG_LINE_MAX.  Every line but a debug
// line enters the ring global->logbuffer; a line whose category is
// LOG_ADVICE or has its bit in `loglevel` also goes to standard output in
// the foreground and to `logfile` when one is named.  A LOG_DEBUG line
// whose bit is not in `loglevel` does nothing at all.
//
// A putlog made by the log itself while this thread holds one of its locks
// (a failing open or allocation inside the log) skips the copy that would
// need that lock.
void putlog(int category, const char *format, ...)
    __attribute__((format(printf, 2, 3)));

// Logs a failed system call: "[system: <call>:<err>:<text of err>]"
// followed by the formatted rest, which by custom reads ", in <function>,
// <what failed>".  errno is left as err, so the caller can return the
// failure after logging it.
void putlog_system(int category, const char *call, int err, const char *format, ...)
    __attribute__((format(printf, 4, 5)));

// ------------------------------------------------------- native-log settings

#define LOGLEVEL_DEFAULT 0x07FFFFFF // every category but LOG_DEBUG and LOG_VERIFY

extern int loglevel;         // category mask of -d
extern int daemonize;        // 1 detached (default), 0 in the foreground (-f)
extern char logfile[256];    // native log path (-l); empty: no file
extern int logfd;            // the open native log, -1 while closed
extern int logflg;           // -1 when a rotation is due, else 0
// Guards logfd, logflg and every write to the native log.
extern pthread_mutex_t logfile_lock;

// ----------------------------------------------------------------- the ring

#define LOGBUFFER_DEFAULT_MAX 1000

// One line of the ring.
struct LOGBUFFER_NODE {
    LOGBUFFER_NODE *next;     // the next older line; null at the tail
    LOGBUFFER_NODE *previous; // the next newer line; null at the head
    char *text;               // owned copy of the line, never null
};

// The newest native-log lines, shown by the web interface's log page.
// Every operation below takes `lock`; a reader takes it too and must not
// log while it holds it.  A mutex rather than a read-write lock: every
// line of every thread takes it for a few instructions, and readers (the
// log page) are rare.
struct LOGBUFFER {
    pthread_mutex_t lock;
    int count;              // lines held, never above max
    int max;                // capacity
    LOGBUFFER_NODE *head;   // the newest line, or null
    LOGBUFFER_NODE *tail;   // the oldest line, or null
};

// An empty ring of LOGBUFFER_DEFAULT_MAX lines; made once at start-up.
LOGBUFFER *logbuffer_new();

// Copies the line in as the newest; the oldest goes when the ring is full.
// A ring of capacity 0 keeps nothing.
void logbuffer_add(LOGBUFFER *ring, const char *line);

// Keeps the newest n lines and makes n the capacity; a negative n changes
// nothing.
void logbuffer_resize(LOGBUFFER *ring, int n);

// Frees every line; the capacity stays.
void logbuffer_clear(LOGBUFFER *ring);

// Marks the native, access and extended logs for rotation: each is renamed
// to "<directory>/<%Y%m%d%H%M%S>-<name>" at its next write and a new file
// is started under its path.
void logrotate();

// Returns once the lines other threads have queued for the log files and
// standard output are written, or after a fifth of a second.  The exit
// sequence calls it last; exit() calls it too.
void log_drain();

// ------------------------------------------------ access and extended logs

// The paths (slogfile from -a, elogfile from -e) are process settings of
// engine/options.h; an empty path switches its log off.
extern int slogfd;        // the open access log, -1 while closed
extern int elogfd;        // the open extended log, -1 while closed
extern int slogflg;       // -1 when the access log is due for rotation
extern int elogflg;       // -1 when the extended log is due for rotation
extern pthread_mutex_t slogfile_lock; // slogfd, slogflg and access-log writes
extern pthread_mutex_t elogfile_lock; // elogfd, elogflg and extended-log writes

// The first line of a new access or extended log.
extern const char access_legend[];
extern const char apache_legend[];

// Cache result codes that the proxy sets (LogEntry::cache_code).
enum {
    LOGENTRY_TCP_HIT = 1,          // served from the cache
    LOGENTRY_TCP_MISS = 2,         // fetched
    LOGENTRY_TCP_REFRESH_HIT = 3,  // revalidated, still valid
    LOGENTRY_TCP_REFRESH_MISS = 5, // revalidated, replaced
    LOGENTRY_TCP_DENIED = 9,       // refused
};

// Hierarchy codes that the proxy sets (LogEntry::peer_code).
enum {
    LOGENTRY_DIRECT = 1,
    LOGENTRY_FIRST_PARENT_MISS = 3,
    LOGENTRY_SIBLING_HIT = 6,
    LOGENTRY_PARENT_HIT = 9,
    LOGENTRY_DEFAULT_PARENT = 16,
};

// The record of the request a connection is serving, written to the access
// log and the extended log once the request is answered or refused.  Held
// by value in the connection and used by its thread only; the caller fills
// the fields and calls Write, then apache_Write.
class LogEntry {
public:
    LogEntry();

    // Starts the record of a new request: start_time now; the codes, status
    // and size 0; url, peer, mime, filter_name, filtering_reason and
    // profiles "-"; not written yet.  The client, user, agent, referer,
    // method, interface and client id carry over to the next request of
    // the connection.
    void Reset();

    void set_cachecode(int code) { cache_code = code; }
    void set_peercode(int code) { peer_code = code; }
    // Names of the stored codes: "UNSPECIFIED" and "NONE" outside the tables.
    std::string cachecode() const;
    std::string peercode() const;

    // The access-log and extended-log records; each sets end_time to now.
    std::string Build();
    std::string apache_Build();

    // Append the records to the access log and the extended log.  Write
    // marks the request as logged.
    void Write();
    void apache_Write();

    // The text of a field that log readers split at blanks: "-" when the
    // value is empty, else the value without its blanks (spaces, tabs,
    // line breaks), so that every record keeps its columns.
    static std::string column(const std::string &value);

    int32_t cache_code;           // LOGENTRY_TCP_*
    int32_t peer_code;            // LOGENTRY_DIRECT and the parent codes
    std::string client;           // client address, or "prefetch"
    struct timeval start_time;    // when this request's record began
    struct timeval end_time;      // when the record was last formatted
    int32_t status;               // HTTP status of the answer
    int64_t size;                 // bytes of the answer or of the tunnel
    std::string method;
    std::string url;
    std::string username;         // authenticated user
    std::string peer;             // parent, SOCKS server or origin host
    std::string mime;
    std::string useragent;
    std::string http_referer;
    std::string filter_name;      // module that blocked or marked the request
    std::string filtering_reason;
    std::string profiles;         // the request's profiles, comma-separated
    std::string interface_ip;     // local address the client connected to
    std::string interface_port;   // local port, as text
    uint32_t client_id;
    bool written;                 // Write was called since the last Reset
    // The proxy's own page went to the client in place of the answer:
    // status, size and type are those of the page, not of the response it
    // replaced.
    bool page_sent;
};

#endif
