// Site categorisation: every requested host gets a score in each of 31
// fixed categories from a categorisation service that answers DNS MX
// queries (the exchange name is the category, the preference its score).
// Scores are kept in a category cache that survives restarts through the
// cache file "sortmarks.cache" in the hints directory; hint files
// ("*.sortmarks") there pre-load scores.
//
// The cache holds one record per host: loading skips a host already held
// (hint files load first, so they win), lookups hand out a copy of the
// scores taken under the cache lock, and a save replaces the file
// atomically (a temporary file, flushed, renamed) under a mutex of its own.
#ifndef KV_FILTERS_SORTMARKS_H
#define KV_FILTERS_SORTMARKS_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>

#include "config/section.h"
#include "runtime/misc.h"

class Filebuf;
struct CONNECTION_T;

#define SORTMARKS_SCORES 32
#define SORTMARKS_CATEGORIES 31
#define SORTMARKS_CHAINS 8111
// The categorisation service's zone: "<host>.<zone>" is asked for MX.
#define SORTMARKS_ZONE "sortmarks.kelvarine.org"
// Longest hint or cache file line read; a longer line is skipped whole.
#define SORTMARKS_LINE_MAX 2047

struct SortmarksScores {
    int32_t score[SORTMARKS_SCORES];
};

// The category's score index, or -1 for a name that is none (exact case).
int sortmarks_category(const char *name);
// The category name of an index (0-30), or null.
const char *sortmarks_category_name(int index);
// The page title of an index (0-30), or null.
const char *sortmarks_category_title(int index);

// The chain of a host in a table of size chains (the same in any case).
int sm_cache_key(int size, const char *host);

// Walks a DNS reply of length bytes (answer, authority and additional
// records alike) and sets the slot of every MX exchange that names a
// category to its preference.  Returns the number of recognised records;
// 0 for a reply that is malformed.  Never reads past the reply.
int sortmarks_mx_walk(const unsigned char *reply, size_t length, SortmarksScores *scores);

// Queries the service for the name's MX records: the recognised count as
// sortmarks_mx_walk gives it, 0 when the query fails.
int getmx(SortmarksScores *scores, const char *name);

// Tests point the MX query at a server of their own (127.0.0.1 and a
// port); 0 uses the system's resolver configuration.
extern int sortmarks_test_dns_port;

// One line of a hint or cache file: a host (1 to 1024 non-blank bytes),
// white space, 32 integers separated by "," (blanks may lead each).
// False when the line does not give them.
bool sortmarks_line_parse(const std::string &line, std::string *host, SortmarksScores *scores);

// The category cache.
class SortmarksCache {
public:
    SortmarksCache();
    ~SortmarksCache();
    SortmarksCache(const SortmarksCache &) = delete;
    SortmarksCache &operator=(const SortmarksCache &) = delete;

    // A copy of the host's scores when it is held.
    bool find(const char *host, SortmarksScores *scores);
    // Appends the host unless it is held already; true when it was added.
    bool add(const char *host, const SortmarksScores &scores);
    // Removes the host's record; true when there was one.
    bool purge(const char *host);
    // The host's scores, looked up through the service on a miss (and
    // cached then).  False when the service gives no category.
    bool search(const char *host, SortmarksScores *scores);

    // Loads every "*.sortmarks" file of dir, then dir/sortmarks.cache.
    // Returns the records added.
    int load(const std::string &dir);
    // Reads one file into the cache; -1 when it cannot be opened.
    int load_file(const std::string &path);
    // Writes the cache to dir/sortmarks.cache through
    // dir/sortmarks.cache.new when records were added since the last
    // save.  Returns the records written, 0 when there was nothing to
    // save (or, with wait false, a lock was held: a save in progress is
    // waited for a few seconds, the cache's own lock not at all), -1 on
    // failure (the old file stays).
    int save(const std::string &dir, bool wait = true);

    int64_t count() const { return count_; }
    int64_t added() const { return added_; }

private:
    struct Record {
        Record *next;
        char *host;
        SortmarksScores scores;
    };
    Record *lookup(const char *host) const;   // under lock
    Record **chains;
    int size;
    int64_t count_;   // records appended since start-up
    int64_t added_;   // records appended since the last save
    pthread_rwlock_t lock;        // guards the chains and the counters
    pthread_mutex_t save_lock;    // one save at a time; taken before lock
};

// ---- Section "Sortmarks" ----------------------------------------------------
//
//   global 0  enabled          BOOL         lookups, rules, loads and saves
//   global 1  hints_directory  STRING       hint files and the cache file;
//                                           empty: nothing loaded or saved
//   rule 0 enabled, 1 comment, 2 log (BOOL), 3 groups, 4 profiles,
//   5 categories (STRING_LIST), 6 score_range (STRING "a-b" or "a"),
//   7 add_profiles, 8 remove_profiles (STRING_LIST)

class SORTMARKS {
public:
    explicit SORTMARKS(const Item &item);
    int enabled;
    std::string comment;
    int log;
    StringList groups;
    StringList profiles;
    StringList categories;
    std::string score_range;
    StringList add_profiles;
    StringList remove_profiles;
};

class SORTMARKS_Section : public Section {
public:
    SORTMARKS_Section();
    ~SORTMARKS_Section() override;
    void update() override;

    bool is_enabled();
    std::string hints_directory();
    // Copies the request host's scores into the connection; 1 when found.
    int store_sortmarks(CONNECTION_T *connection);
    // Applies the rules of pass 0 (rules without conditions) or pass 1.
    int check_profiles(CONNECTION_T *connection, int pass);
    // Loads the hint files and the cache file.
    void sortmark_filetocache_insert();
    // Saves the cache when records were added since the last save.  With
    // wait false (the exit sequence) a lock that is held skips the save.
    void sortmark_dnstofile_insert(bool wait = true);

    SortmarksCache cache;
    const int *enabled;
    const std::string *directory;

private:
    std::list<SORTMARKS> rules;
    bool announced = false;
};

extern SORTMARKS_Section *sortmarks_section;

// Whether a request is for the web interface (installed by the interface;
// while it is null no request is).
extern bool (*sortmarks_interface_request)(CONNECTION_T *connection);

// The entry points of the request road; both return 0.
int sortmarks_first(CONNECTION_T *connection);
int sortmarks_second(CONNECTION_T *connection);
// The service thread: waits for the section to be enabled, loads the
// files and the host feed, then saves every 60 seconds.  Never returns.
void *sortmarks_cachedump(void *arg);
// Reads the host feed once, looks every host up, and deletes the file.
void get_access_log_url();
// Exit and hang-up step: saves the cache.
void sortmarks_save_step();

// The "/sortmark" test page: a form without "domain", else the scores of
// every comma-separated entry (HTML-escaped), refreshed first when
// "refresh" is "yes".
void sortmarks_page(Filebuf *page, const std::string &domain, const std::string &refresh);

#endif
