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
#include <functional>
#include <list>
#include <memory>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

class Filebuf;
class Socket;
struct CACHEMAP;
struct CONNECTION_T;

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

// ---- The connector pattern ------------------------------------------------
//
// Each connector is a section with global fields (enabled, its daemon's
// address, a default template) and one subsection of rules.  At the
// buffering decision a connector asks for the body when one of its rules
// applies; once the body is buffered it hands the body to its daemon and
// blocks a virus with the template page.  A daemon that fails lets the
// response pass unscanned; so does a body the engine could not decode,
// which is never handed to a daemon in its coded form.
//
// What the request's scans found is kept in the connection's flags:
// CONN_SCANNED_CLEAN when a connector got a clean verdict, CONN_SCAN_FAILED
// when one that applied got none.  av_scanned_clean tells the cache whether
// it may mark the object clean: only when it was scanned, and every
// connector that applied found it clean.

// Whether the connection's cache object is already marked clean.  Set by
// the cache when it exists; while it is null no object counts as marked.
extern int (*av_cache_clean)(CACHEMAP *object);

// 1 when at least one connector scanned the body during this request and
// every connector that applied returned a clean verdict.
int av_scanned_clean(const CONNECTION_T *connection);

// Marks a cache object as scanned clean.  Set by the cache when it exists;
// while it is null nothing is marked.
extern void (*av_cache_mark_clean)(CACHEMAP *object);

// The engine's call after the response processors passed a buffered body:
// marks the connection's cache object clean when av_scanned_clean holds.
void av_mark_clean(CONNECTION_T *connection);

// One rule of a connector: the fields every connector has, and the F-Prot
// options (0 for the others).
struct AvRule {
    int enabled = 0;
    std::string comment;
    StringList groups;     // tested only where the connector has the field
    StringList profiles;
    std::string template_name;
    int archive_depth = 0;
    int scan_options = 0;
};

// Where a connector's fields lie.
struct AvLayout {
    int template_field;       // global position of the default template
    int rule_groups;          // rule position of the groups list, -1: none
    int rule_profiles;
    int rule_template;
    int rule_depth;           // -1: none
    int rule_options;         // -1: none
};

// What a block shows and logs.
struct AvNames {
    const char *scanner;      // AVSCANNER
    const char *filter_name;  // LogEntry filter name
    const char *detected;     // log line with the virus name (%s)
    const char *unnamed;      // log line when the daemon named none, or null
    int log_category;
};

class AntivirusSection : public Section {
public:
    // A scan prepared under the section's read lock: the daemon settings
    // it needs are copied into it, so that it runs without the lock.
    typedef std::function<AvResult(Filebuf *body)> Scan;

    AntivirusSection(const std::string &name, const AvLayout &layout, const AvNames &names);
    ~AntivirusSection() override;
    void update() override;

    // The first applicable rule, or null; the caller holds the read lock.
    const AvRule *find(CONNECTION_T *connection) const;
    // 1 when the body must be buffered for this connector.
    int check_match(CONNECTION_T *connection);
    // Scans the buffered body; 1 when the response was blocked.
    int check_and_block(CONNECTION_T *connection, Filebuf *body);

    const int *enabled;

protected:
    // The scan of the body for the rule, with the settings copied out of
    // the section; runs under the read lock.
    virtual Scan prepare(CONNECTION_T *connection, const AvRule &rule) = 0;
    // Whether the connector skips a cached object already marked clean at
    // scan time too (F-Prot does).
    virtual bool skips_clean_at_scan() const { return false; }

    AvLayout layout;
    AvNames names;
    std::list<AvRule> rules;

private:
    bool cached_clean(CONNECTION_T *connection) const;
};

// The time-outs of the general settings for the connection.
AvTimeouts av_timeouts(const CONNECTION_T *connection);
// The general settings' directory for temporary files.
std::string av_temp_dir();

#endif
