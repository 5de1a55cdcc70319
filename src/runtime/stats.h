// Statistics: named counters in named groups, shown by the web interface.
//
// One Stats lives in GLOBAL_T (global->stats) and holds the process-wide
// figures; every access rule owns a smaller Stats, shared by reference
// (Atom, under atomlock) with the connections the rule admitted.  Groups
// keyed by data (hosts, MIME types, users, client addresses) are capped:
// the counter updated longest ago makes room for a new one.  Counts live
// in memory only and start from zero.
//
// Counters and totals are 64-bit, so no figure wraps on a busy proxy.
//
// Locks: each group has its own mutex, held for Add (with its pruning),
// Increment and Decrement and while Display copies the group, and never
// together with another lock.  The list of groups and each group's type,
// limit and prune mode are written only while the Stats is set up and read
// without a lock afterwards.
#ifndef KV_RUNTIME_STATS_H
#define KV_RUNTIME_STATS_H

#include <cstdint>
#include <list>
#include <utility>
#include <vector>
#include <pthread.h>
#include <string>
#include <sys/time.h>

#include "runtime/atom.h"

struct CONNECTION_T;
class Filebuf;

// Kind bits of StatCounter::flags; exactly one of the first three.
enum {
    STAT_UINT = 0x1,     // an unsigned decimal
    STAT_FILESIZE = 0x2, // a byte count shown by filesize()
    STAT_STRING = 0x4,   // the text the callback returns
    STAT_CALLBACK = 0x8, // the value comes from the callback when shown
};

// StatGroup types.
enum {
    STATGROUP_VALUES = 0, // rows show each counter's value
    STATGROUP_COUNTS = 1, // rows show a count and its share of the total
};

// StatGroup prune modes.
enum {
    PRUNE_OLDEST = 0,   // evict the counter whose last update is the oldest
    PRUNE_SMALLEST = 1, // evict the counter with the smallest value
};

// Limit of the groups keyed by data: they keep at most STAT_LIMIT - 1
// counters.
#define STAT_LIMIT 100

typedef uint64_t (*stat_value_callback_t)();
// Returns a new string that the caller frees.
typedef char *(*stat_string_callback_t)();

class StatCounter {
public:
    StatCounter(const std::string &name, unsigned flags,
                const struct timeval &now);

    // The counter as text, a new string the caller frees: "%llu" for
    // STAT_UINT, filesize() for STAT_FILESIZE, the callback's string for
    // STAT_STRING.  A callback counter takes its value from the callback.
    // Any other kind is the fatal assertion.
    char *Get() const;

    unsigned flags;
    std::string name;                    // unique within its group
    struct timeval updated;              // last Increment or Decrement
    stat_value_callback_t value_callback;   // STAT_CALLBACK with UINT, FILESIZE
    stat_string_callback_t string_callback; // STAT_CALLBACK with STRING
    uint64_t value;                      // wraps at 2^64
};

class StatGroup {
public:
    StatGroup(const std::string &name, int type);
    ~StatGroup();
    StatGroup(const StatGroup &) = delete;
    StatGroup &operator=(const StatGroup &) = delete;

    // Set up only, before the group is shared.
    void Limit(unsigned limit, unsigned prune_mode);

    // Appends a counter of value 0 after pruning; false when the name is
    // already there.
    bool Add(const std::string &name, unsigned flags);
    // The callback forms; false, adding nothing, also when the kind does
    // not suit the callback (a value callback needs STAT_UINT or
    // STAT_FILESIZE, a string callback STAT_STRING).  The counter gets
    // STAT_CALLBACK.
    bool Add(const std::string &name, stat_value_callback_t callback,
             unsigned flags);
    bool Add(const std::string &name, stat_string_callback_t callback,
             unsigned flags);

    // Adds the amount (takes away one, never below 0) to the named counter
    // and to the group's total and stamps the counter; returns its new
    // value, or 0 when the group has no such counter.
    uint64_t Increment(const std::string &name, uint64_t amount = 1);
    uint64_t Decrement(const std::string &name);

    // Add (a plain counter of the given kind) and then Increment by one,
    // under one taking of the lock: the counting of data-keyed counters.
    uint64_t AddIncrement(const std::string &name, unsigned flags);

    // Appends the group's HTML rows (see Stats::Display).
    void Display(Filebuf *buffer);

    // Copies for tests and pages, taken under the lock.
    size_t size();
    uint64_t total_get();
    bool has(const std::string &name);

    int type;
    uint64_t total;       // every amount added or taken; evicted counts stay
    std::string name;     // unique within its Stats
    unsigned limit;       // 0: none; else at most limit - 1 counters (1 for 1)
    unsigned prune_mode;  // PRUNE_*
    std::list<StatCounter> counters;  // in the order they were added
    pthread_mutex_t lock;             // guards counters, total, last_stamp

private:
    // Removes one counter when the group is full; lock held.
    void Prune();
    // Now, but always later than the previous stamp of this group, so that
    // "updated longest ago" is exact even within one clock tick or when the
    // clock steps back.  Lock held.
    struct timeval stamp();
    // Appends the counter, pruning first, under the lock; false when its
    // name is already there.
    bool add(StatCounter counter);
    StatCounter *find(const std::string &name);
    // Prunes the group and appends a counter it does not hold yet; the
    // appended one.  Lock held.
    StatCounter *append(StatCounter counter);
    // Adds the amount to the counter and the group's total and stamps the
    // counter; its new value.  Lock held.
    uint64_t count(StatCounter *counter, uint64_t amount);

    struct timeval last_stamp;
};

class Stats : public Atom {
public:
    Stats() = default;
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;

    // Appends an empty group unless one of that name exists.  Set up only.
    void AddGroup(const std::string &name, int type);
    // Nothing when there is no such group.  Set up only.
    void Limit(const std::string &group, unsigned limit, unsigned prune_mode);

    // StatGroup::Add on the named group; false when there is no such group.
    bool AddCounter(const std::string &group, const std::string &name,
                    unsigned flags);
    bool AddCounter(const std::string &group, const std::string &name,
                    stat_value_callback_t callback, unsigned flags);
    bool AddCounter(const std::string &group, const std::string &name,
                    stat_string_callback_t callback, unsigned flags);

    // StatGroup::Increment / Decrement; 0 when there is no such group.
    uint64_t Increment(const std::string &group, const std::string &name,
                       uint64_t amount = 1);
    uint64_t Decrement(const std::string &group, const std::string &name);
    // StatGroup::AddIncrement; 0 when there is no such group.
    uint64_t AddIncrement(const std::string &group, const std::string &name,
                          unsigned flags);

    // Appends the HTML rows of every group, in order: per group a small
    // table headed by its name (written as it stands: names are fixed at
    // set-up), then one row per counter alternating "listeven" and
    // "listodd", the counter's name escaped.  Count groups show
    // "value (share%)" against the group's total.
    void Display(Filebuf *buffer);

    // The named group, or null.
    StatGroup *group_get(const std::string &name);

    std::list<StatGroup> groups;  // in the order they were added

private:
    // The groups by name, for group_get: names are looked up on every
    // request, and a walk of `groups` would read lines that other threads
    // keep writing (each group's lock and figures).
    std::vector<std::pair<std::string, StatGroup *>> index;
};

// The seven figures of one line of /proc/self/statm, in that order.  The
// thread table also reports its row counts in the first five.
struct statm_t {
    uint64_t size;
    uint64_t resident;
    uint64_t shared;
    uint64_t text;
    uint64_t lib;
    uint64_t data;
    uint64_t dirty;
};

// Reads /proc/self/statm and converts its pages to bytes; false when the
// file cannot be opened, read or parsed (seven numbers).
bool statm_load(statm_t *statm);

// Callbacks of the "system" group.  The times and page faults are the
// resource-usage totals of GLOBAL_T read under its mutex; the memory
// figures are those of statm_load in bytes, 0 when it fails.
char *stat_usertime();
char *stat_systime();
uint64_t stat_minflt();
uint64_t stat_majflt();
uint64_t stat_size();
uint64_t stat_resident();
uint64_t stat_share();

// Fills global->stats, which start-up has created, with the process-wide
// groups.  Called once before any connection is served.
void globalstats_init();

// A new Stats for one access rule, holding one reference.
Stats *userstats_init();

// Reference counting of a rule's Stats, under atomlock: stats_hold takes
// one more reference and returns the Stats; stats_release drops one and
// destroys the Stats at the last.  Null does nothing.
Stats *stats_hold(Stats *stats);
void stats_release(Stats *stats);

// Counting for one request: into the global Stats, then into the
// connection's rule Stats when it holds one (never both group locks at
// once).  statincr_ipaddresses counts globally only.  The data-keyed
// counters are added on first use; a request without a host (or a
// response without a media type) counts nothing there.
void statincr_httprequests(CONNECTION_T *connection);
void statincr_ftprequests(CONNECTION_T *connection);
void statincr_connectrequests(CONNECTION_T *connection);
void statincr_cachehit(CONNECTION_T *connection);
void statdecr_cachehit(CONNECTION_T *connection);
void statincr_cachemiss(CONNECTION_T *connection);
void statincr_cacherefreshhit(CONNECTION_T *connection);
void statincr_cacherefreshmiss(CONNECTION_T *connection);
void statincr_hosts(CONNECTION_T *connection);
void statincr_mimes(CONNECTION_T *connection);
void statincr_ipaddresses(CONNECTION_T *connection);

#endif
