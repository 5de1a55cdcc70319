// User limits ("limits", LimitSection with rule Limit): what the users of
// a profile may do within a time window: be blocked, make a number of
// requests, download and upload a number of bytes, at a download rate.
// Counters are kept per rule, for all the connections it applies to
// together, and start again from zero when the window is over.  Every
// applicable rule is applied.  The engine calls check_and_block before a
// request is served and update(connection) after it; the timer calls
// limits_reset every second.
//
// Fields, read by position:
//   global 0  enabled         BOOL                0: nothing is limited, counted or reset
//   rule 0-3  enabled, comment, groups, profiles (as every filter rule)
//   rule 4    type            STRING_SELECT_ONE   1: block every request in the window
//   rule 5    template        STRING              page of a block; empty: the fixed one
//   rule 6    month           INT_RANGE, optional 0 (January) to 11
//   rule 7    day             INT_RANGE, optional 1 to 31
//   rule 8    weekday         INT_RANGE, optional 0 (Sunday) to 6
//   rule 9    hour            INT_RANGE, optional 0 to 23
//   rule 10   minute          INT_RANGE, optional 0 to 59
//   rule 11   download_quota  LONG_FILE_SIZE      bytes per window; 0: none
//   rule 12   upload_quota    LONG_FILE_SIZE      bytes per window; 0: none
//   rule 13   max_requests    UINT                requests per window; 0: none
//   rule 14   rate            LONG_FILE_SIZE      download bytes per second
//   rule 15   range_mode      STRING_SELECT_ONE   0 one window, 1 each part in its range
//   rule 16   flags           STRING_SELECT_MANY  LIMIT_* bits
// One subsection, "limit".
//
// Lock order: the section's lock, then atomlock (bandwidth groups).
#ifndef KV_FILTERS_LIMITS_H
#define KV_FILTERS_LIMITS_H

#include <cstdint>
#include <ctime>
#include <list>
#include <string>

#include "filters/filter.h"

class LimitGroup;

// Bits of Limit::flags.
enum {
    LIMIT_COUNT_CACHED = 0x1,   // responses from the cache count and are limited
    LIMIT_NO_ACCOUNTING = 0x2,  // the rule limits but never counts
    LIMIT_SHARED_GROUP = 0x4,   // one bandwidth group for all the rule's connections
};

class Limit {
public:
    explicit Limit(const Item &item);
    Limit(const Limit &) = delete;
    Limit &operator=(const Limit &) = delete;
    // Drops the rule's reference to its shared group.
    ~Limit();

    // Whether the local time lies in the rule's window (no window: always).
    bool inside(const struct tm *now) const;

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    int32_t type;
    std::string template_name;
    bool timed;
    tm_partial lower;
    tm_partial upper;
    uint64_t download_quota;
    uint64_t upload_quota;
    uint32_t max_requests;
    uint64_t rate;
    int32_t range_mode;
    int32_t flags;           // LIMIT_* bits
    // Counted under the section's write lock, read under its read lock.
    uint64_t downloaded;
    uint64_t uploaded;
    uint64_t requests;
    LimitGroup *group;       // LIMIT_SHARED_GROUP: one reference; else null
};

class LimitSection : public Section {
public:
    LimitSection();
    ~LimitSection() override;

    // Section: rebuilds every rule, counters at 0.
    void update() override;

    // Gives the connection fresh byte counts and allowances and its rate;
    // 1 when a rule blocked the request (page sent), else 0.
    int check_and_block(CONNECTION_T *connection);
    // Counts a served request for every applicable rule.
    void update(CONNECTION_T *connection);
    // Zeroes the counters of the rules outside their window.
    void reset();

    const int32_t *enabled;

private:
    bool applies(const Limit &rule, CONNECTION_T *connection, const struct tm *now) const;
    void block(CONNECTION_T *connection, const Limit &rule, const char *page,
               const char *limit_type, const char *reason);

    std::list<Limit> rules;
};

extern LimitSection *limit_section;

// Timer callback: limit_section->reset().
void limits_reset(void *argument);

// Answers the request with the page "Transfer limits for <host><path>".
void limits_show(CONNECTION_T *connection);

#endif
