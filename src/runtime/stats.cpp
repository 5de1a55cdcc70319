// Statistics groups and counters, the global and per-rule sets, and the
// counting functions the request road calls.
//
// The counting functions take the connection of the request, as every
// caller holds one; they read its rule statistics, client address, request
// host and response media type, so this file includes the connection and
// head records of the engine (the only runtime module that does).
#include "runtime/stats.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <vector>

#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "runtime/compat.h"
#include "runtime/filebuf.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/thread.h"

namespace {

bool kind_suits_value(unsigned flags);
bool kind_suits_string(unsigned flags);
void count_both(CONNECTION_T *connection, const char *group,
                const char *name);
void count_keyed(CONNECTION_T *connection, const char *group,
                 const char *name, bool rule_stats_too);
char *rusage_time(bool user);
uint64_t rusage_faults(bool major);
uint64_t statm_field(int index);

bool kind_suits_value(unsigned flags)
{
    unsigned kind = flags & (STAT_UINT | STAT_FILESIZE | STAT_STRING);
    return kind == STAT_UINT || kind == STAT_FILESIZE;
}

bool kind_suits_string(unsigned flags)
{
    return (flags & (STAT_UINT | STAT_FILESIZE | STAT_STRING)) == STAT_STRING;
}

// A fixed counter: globally, then in the rule's statistics.
void count_both(CONNECTION_T *connection, const char *group, const char *name)
{
    if (global != nullptr && global->stats != nullptr)
        global->stats->Increment(group, name);
    if (connection != nullptr && connection->user_stats != nullptr)
        connection->user_stats->Increment(group, name);
}

// A data-keyed counter: added on first use (which may evict another), then
// incremented, globally and then in the rule's statistics.
void count_keyed(CONNECTION_T *connection, const char *group,
                 const char *name, bool rule_stats_too)
{
    if (name == nullptr || *name == '\0')
        return;
    if (global != nullptr && global->stats != nullptr)
        global->stats->AddIncrement(group, name, STAT_UINT);
    if (rule_stats_too && connection != nullptr && connection->user_stats != nullptr)
        connection->user_stats->AddIncrement(group, name, STAT_UINT);
}

char *rusage_time(bool user)
{
    struct timeval tv = {0, 0};
    if (global != nullptr) {
        pthread_mutex_lock(&global->rusage_lock);
        tv = user ? global->rusage_totals.ru_utime : global->rusage_totals.ru_stime;
        pthread_mutex_unlock(&global->rusage_lock);
    }
    return timeval_to_string(&tv);
}

uint64_t rusage_faults(bool major)
{
    uint64_t faults = 0;
    if (global != nullptr) {
        pthread_mutex_lock(&global->rusage_lock);
        long n = major ? global->rusage_totals.ru_majflt : global->rusage_totals.ru_minflt;
        pthread_mutex_unlock(&global->rusage_lock);
        faults = n < 0 ? 0 : (uint64_t)n;
    }
    return faults;
}

// Field 0 size, 1 resident, 2 shared of /proc/self/statm, in bytes.
uint64_t statm_field(int index)
{
    statm_t statm;
    if (!statm_load(&statm))
        return 0;
    switch (index) {
    case 0: return statm.size;
    case 1: return statm.resident;
    default: return statm.shared;
    }
}

}  // namespace

// ------------------------------------------------------------- StatCounter

StatCounter::StatCounter(const std::string &counter_name, unsigned counter_flags,
                         const struct timeval &now)
    : flags(counter_flags),
      name(counter_name),
      updated(now),
      value_callback(nullptr),
      string_callback(nullptr),
      value(0)
{
}

char *StatCounter::Get() const
{
    unsigned kind = flags & (STAT_UINT | STAT_FILESIZE | STAT_STRING);
    uint64_t n = value;
    if ((flags & STAT_CALLBACK) && value_callback != nullptr)
        n = value_callback();

    char *text = nullptr;
    switch (kind) {
    case STAT_UINT: {
        char digits[32];
        snprintf(digits, sizeof(digits), "%" PRIu64, n);
        text = xstrdup(digits);
        break;
    }
    case STAT_FILESIZE:
        text = filesize(n);
        break;
    case STAT_STRING:
        ASSERT(string_callback != nullptr);
        text = string_callback();
        break;
    default:
        ASSERT(0);
    }
    ASSERT(text != nullptr);
    return text;
}

// --------------------------------------------------------------- StatGroup

StatGroup::StatGroup(const std::string &group_name, int group_type)
    : type(group_type), total(0), name(group_name), limit(0), prune_mode(0),
      last_stamp{0, 0}
{
    int rc = mutex_init_adaptive(&lock);
    ASSERT(rc == 0);
}

StatGroup::~StatGroup()
{
    pthread_mutex_destroy(&lock);
}

void StatGroup::Limit(unsigned new_limit, unsigned new_prune_mode)
{
    limit = new_limit;
    prune_mode = new_prune_mode;
}

struct timeval StatGroup::stamp()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    if (timeval_cmp(&now, &last_stamp) <= 0) {
        now = last_stamp;
        if (++now.tv_usec >= 1000000) {
            now.tv_usec = 0;
            now.tv_sec++;
        }
    }
    last_stamp = now;
    return now;
}

StatCounter *StatGroup::find(const std::string &counter_name)
{
    for (StatCounter &counter : counters)
        if (counter.name == counter_name)
            return &counter;
    return nullptr;
}

// Pruning: with limit L the group is pruned once it holds L - 1 counters,
// so it never holds more than L - 1 (at most 1 for L = 1).  Ties go to the
// counter added first.
void StatGroup::Prune()
{
    if (limit == 0)
        return;
    if ((size_t)(limit - 1) > counters.size())
        return;
    if (counters.empty())
        return;

    auto candidate = counters.begin();
    for (auto it = std::next(counters.begin()); it != counters.end(); ++it) {
        bool better = prune_mode == PRUNE_SMALLEST
                          ? it->value < candidate->value
                          : timeval_cmp(&it->updated, &candidate->updated) < 0;
        if (better)
            candidate = it;
    }
    counters.erase(candidate);
}

StatCounter *StatGroup::append(StatCounter counter)
{
    Prune();
    counters.push_back(std::move(counter));
    return &counters.back();
}

bool StatGroup::add(StatCounter counter)
{
    pthread_mutex_lock(&lock);
    bool added = find(counter.name) == nullptr;
    if (added) {
        // Stamped here under the lock; the stamp it was made with is
        // never read.
        counter.updated = stamp();
        append(std::move(counter));
    }
    pthread_mutex_unlock(&lock);
    return added;
}

bool StatGroup::Add(const std::string &counter_name, unsigned flags)
{
    return add(StatCounter(counter_name, flags, {0, 0}));
}

bool StatGroup::Add(const std::string &counter_name,
                    stat_value_callback_t callback, unsigned flags)
{
    if (callback == nullptr || !kind_suits_value(flags))
        return false;
    StatCounter counter(counter_name, flags | STAT_CALLBACK, {0, 0});
    counter.value_callback = callback;
    return add(std::move(counter));
}

bool StatGroup::Add(const std::string &counter_name,
                    stat_string_callback_t callback, unsigned flags)
{
    if (callback == nullptr || !kind_suits_string(flags))
        return false;
    StatCounter counter(counter_name, flags | STAT_CALLBACK, {0, 0});
    counter.string_callback = callback;
    return add(std::move(counter));
}

uint64_t StatGroup::count(StatCounter *counter, uint64_t amount)
{
    counter->value += amount;
    total += amount;
    counter->updated = stamp();
    return counter->value;
}

uint64_t StatGroup::Increment(const std::string &counter_name, uint64_t amount)
{
    uint64_t result = 0;
    pthread_mutex_lock(&lock);
    StatCounter *counter = find(counter_name);
    if (counter != nullptr)
        result = count(counter, amount);
    pthread_mutex_unlock(&lock);
    return result;
}

uint64_t StatGroup::AddIncrement(const std::string &counter_name, unsigned flags)
{
    pthread_mutex_lock(&lock);
    StatCounter *counter = find(counter_name);
    if (counter == nullptr)
        counter = append(StatCounter(counter_name, flags, {0, 0}));
    uint64_t result = count(counter, 1);
    pthread_mutex_unlock(&lock);
    return result;
}

uint64_t StatGroup::Decrement(const std::string &counter_name)
{
    uint64_t result = 0;
    pthread_mutex_lock(&lock);
    StatCounter *counter = find(counter_name);
    // Taking back more than was counted would wrap to a huge figure.
    if (counter != nullptr) {
        if (counter->value > 0)
            counter->value -= 1;
        if (total > 0)
            total -= 1;
        counter->updated = stamp();
        result = counter->value;
    }
    pthread_mutex_unlock(&lock);
    return result;
}

size_t StatGroup::size()
{
    pthread_mutex_lock(&lock);
    size_t n = counters.size();
    pthread_mutex_unlock(&lock);
    return n;
}

uint64_t StatGroup::total_get()
{
    pthread_mutex_lock(&lock);
    uint64_t n = total;
    pthread_mutex_unlock(&lock);
    return n;
}

bool StatGroup::has(const std::string &counter_name)
{
    pthread_mutex_lock(&lock);
    bool found = find(counter_name) != nullptr;
    pthread_mutex_unlock(&lock);
    return found;
}

void StatGroup::Display(Filebuf *buffer)
{
    // The counters are copied under the lock, so that callbacks run and
    // text is formatted without it.
    pthread_mutex_lock(&lock);
    uint64_t group_total = total;
    std::vector<StatCounter> rows(counters.begin(), counters.end());
    pthread_mutex_unlock(&lock);

    buffer->Addf("<tr><td align=\"center\"><table class=\"smalldialog\">\n");
    buffer->Addf("<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">%s</td></tr>\n",
                 name.c_str());
    bool even = true;
    for (const StatCounter &row : rows) {
        const char *row_class = even ? "listeven" : "listodd";
        even = !even;
        char *escaped = string_to_html(row.name.c_str(), HTML_BREAK_LINES);
        ASSERT(escaped != nullptr);
        if (type == STATGROUP_COUNTS) {
            // A count group holds plain counters only.
            ASSERT(row.flags == STAT_UINT);
            int share = group_total == 0
                            ? 0
                            : (int)((double)row.value / (double)group_total * 100.0);
            buffer->Addf("<tr class=\"%s\"><td width=\"40%%\">%s</td><td>%" PRIu64
                         " (%d%%)</td></tr>\n",
                         row_class, escaped, row.value, share);
        } else {
            char *text = row.Get();
            buffer->Addf("<tr class=\"%s\"><td width=\"40%%\">%s</td><td>%s</td></tr>\n",
                         row_class, escaped, text);
            free(text);
        }
        free(escaped);
    }
    buffer->Addf("</table></td></tr> <tr><td><br></td></tr>\n");
}

// ------------------------------------------------------------------- Stats

StatGroup *Stats::group_get(const std::string &group_name)
{
    for (const auto &entry : index)
        if (entry.first == group_name)
            return entry.second;
    return nullptr;
}

void Stats::AddGroup(const std::string &group_name, int type)
{
    if (group_get(group_name) != nullptr)
        return;
    groups.emplace_back(group_name, type);
    index.emplace_back(group_name, &groups.back());
}

void Stats::Limit(const std::string &group_name, unsigned limit,
                  unsigned prune_mode)
{
    StatGroup *group = group_get(group_name);
    if (group != nullptr)
        group->Limit(limit, prune_mode);
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name,
                       unsigned flags)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr && group->Add(name, flags);
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name,
                       stat_value_callback_t callback, unsigned flags)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr && group->Add(name, callback, flags);
}

bool Stats::AddCounter(const std::string &group_name, const std::string &name,
                       stat_string_callback_t callback, unsigned flags)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr && group->Add(name, callback, flags);
}

uint64_t Stats::Increment(const std::string &group_name, const std::string &name,
                          uint64_t amount)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr ? group->Increment(name, amount) : 0;
}

uint64_t Stats::AddIncrement(const std::string &group_name, const std::string &name,
                             unsigned flags)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr ? group->AddIncrement(name, flags) : 0;
}

uint64_t Stats::Decrement(const std::string &group_name, const std::string &name)
{
    StatGroup *group = group_get(group_name);
    return group != nullptr ? group->Decrement(name) : 0;
}

void Stats::Display(Filebuf *buffer)
{
    for (StatGroup &group : groups)
        group.Display(buffer);
}

// ------------------------------------------------------------ system group

bool statm_load(statm_t *statm)
{
    FILE *file = s_fopen("/proc/self/statm", "r");
    if (file == nullptr)
        return false;
    char line[1024];
    bool read = fgets(line, sizeof(line), file) != nullptr;
    fclose(file);
    if (!read)
        return false;

    unsigned long v[7];
    if (sscanf(line, "%lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3],
               &v[4], &v[5], &v[6]) != 7)
        return false;
    long page = sysconf(_SC_PAGESIZE);
    uint64_t pagesize = page > 0 ? (uint64_t)page : 4096;
    statm->size = v[0] * pagesize;
    statm->resident = v[1] * pagesize;
    statm->shared = v[2] * pagesize;
    statm->text = v[3] * pagesize;
    statm->lib = v[4] * pagesize;
    statm->data = v[5] * pagesize;
    statm->dirty = v[6] * pagesize;
    return true;
}

char *stat_usertime() { return rusage_time(true); }
char *stat_systime() { return rusage_time(false); }
uint64_t stat_minflt() { return rusage_faults(false); }
uint64_t stat_majflt() { return rusage_faults(true); }
uint64_t stat_size() { return statm_field(0); }
uint64_t stat_resident() { return statm_field(1); }
uint64_t stat_share() { return statm_field(2); }

// ------------------------------------------------------------------ set-up

void globalstats_init()
{
    ASSERT(global != nullptr && global->stats != nullptr);
    Stats *s = global->stats;

    s->AddGroup("system", STATGROUP_VALUES);
    s->AddCounter("system", "user time", stat_usertime, STAT_STRING);
    s->AddCounter("system", "system time", stat_systime, STAT_STRING);
    s->AddCounter("system", "memory resident", stat_resident, STAT_FILESIZE);
    s->AddCounter("system", "memory size", stat_size, STAT_FILESIZE);
    s->AddCounter("system", "memory shared", stat_share, STAT_FILESIZE);
    s->AddCounter("system", "minor pagefaults", stat_minflt, STAT_UINT);
    s->AddCounter("system", "major pagefaults", stat_majflt, STAT_UINT);

    s->AddGroup("requests", STATGROUP_VALUES);
    for (const char *name : {"HTTP requests", "FTP requests", "CONNECT requests"})
        s->AddCounter("requests", name, STAT_UINT);

    s->AddGroup("network", STATGROUP_VALUES);
    for (const char *name : {"successful connections", "failed connections",
                             "DNS failures"})
        s->AddCounter("network", name, STAT_UINT);
    s->AddCounter("network", "bytes in", STAT_FILESIZE);
    s->AddCounter("network", "bytes out", STAT_FILESIZE);

    for (const char *group : {"DNS cache", "cache", "cache refresh", "connection pool"}) {
        s->AddGroup(group, STATGROUP_COUNTS);
        s->AddCounter(group, "hit", STAT_UINT);
        s->AddCounter(group, "miss", STAT_UINT);
    }

    for (const char *group : {"hosts", "mimes", "users", "ip addresses"}) {
        s->AddGroup(group, STATGROUP_COUNTS);
        s->Limit(group, STAT_LIMIT, PRUNE_OLDEST);
    }
}

Stats *userstats_init()
{
    Stats *s = new Stats();

    s->AddGroup("requests", STATGROUP_VALUES);
    for (const char *name : {"HTTP requests", "FTP requests", "CONNECT requests"})
        s->AddCounter("requests", name, STAT_UINT);

    for (const char *group : {"cache", "cache refresh"}) {
        s->AddGroup(group, STATGROUP_COUNTS);
        s->AddCounter(group, "hit", STAT_UINT);
        s->AddCounter(group, "miss", STAT_UINT);
    }

    for (const char *group : {"hosts", "mimes"}) {
        s->AddGroup(group, STATGROUP_COUNTS);
        s->Limit(group, STAT_LIMIT, PRUNE_OLDEST);
    }
    return s;
}

Stats *stats_hold(Stats *stats)
{
    if (stats == nullptr)
        return nullptr;
    pthread_mutex_lock(&atomlock);
    stats->New();
    pthread_mutex_unlock(&atomlock);
    return stats;
}

void stats_release(Stats *stats)
{
    if (stats == nullptr)
        return;
    pthread_mutex_lock(&atomlock);
    bool last = stats->Delete();
    pthread_mutex_unlock(&atomlock);
    // Nobody else holds it any more, so it is destroyed outside the lock.
    if (last)
        delete stats;
}

// ---------------------------------------------------------------- counting

void statincr_httprequests(CONNECTION_T *connection)
{
    count_both(connection, "requests", "HTTP requests");
}

void statincr_ftprequests(CONNECTION_T *connection)
{
    count_both(connection, "requests", "FTP requests");
}

void statincr_connectrequests(CONNECTION_T *connection)
{
    count_both(connection, "requests", "CONNECT requests");
}

void statincr_cachehit(CONNECTION_T *connection)
{
    count_both(connection, "cache", "hit");
}

void statdecr_cachehit(CONNECTION_T *connection)
{
    if (global != nullptr && global->stats != nullptr)
        global->stats->Decrement("cache", "hit");
    if (connection != nullptr && connection->user_stats != nullptr)
        connection->user_stats->Decrement("cache", "hit");
}

void statincr_cachemiss(CONNECTION_T *connection)
{
    count_both(connection, "cache", "miss");
}

void statincr_cacherefreshhit(CONNECTION_T *connection)
{
    count_both(connection, "cache refresh", "hit");
}

void statincr_cacherefreshmiss(CONNECTION_T *connection)
{
    count_both(connection, "cache refresh", "miss");
}

void statincr_hosts(CONNECTION_T *connection)
{
    if (connection == nullptr || connection->request == nullptr)
        return;
    count_keyed(connection, "hosts", connection->request->host, true);
}

void statincr_mimes(CONNECTION_T *connection)
{
    if (connection == nullptr || connection->response == nullptr)
        return;
    count_keyed(connection, "mimes", connection->response->media_type, true);
}

void statincr_ipaddresses(CONNECTION_T *connection)
{
    if (connection == nullptr)
        return;
    count_keyed(connection, "ip addresses", connection->client_ip, false);
}
