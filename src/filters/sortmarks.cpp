// Site categorisation: category table, the MX query and its answer walk,
// the category cache and its files.
#include "filters/sortmarks.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/options.h"
#include "filters/filter.h"
#include "filters/listfile.h"
#include "runtime/filebuf.h"
#include "runtime/misc.h"
#include "runtime/compat.h"
#include "runtime/log.h"

namespace {

const struct {
    const char *name;
    const char *title;
} CATEGORIES[SORTMARKS_CATEGORIES] = {
    {"ads", "Ads"},
    {"adult", "Adult"},
    {"adult_education", "Adult Education"},
    {"arts", "Arts"},
    {"chat", "Chat"},
    {"drugs", "Drugs"},
    {"education", "Education"},
    {"fileshare", "Fileshare"},
    {"finance", "Finance"},
    {"gambling", "Gambling"},
    {"games", "Games"},
    {"government", "Government"},
    {"hacking", "Hacking"},
    {"hate", "Hate"},
    {"highrisk", "Highrisk"},
    {"housekeeping", "Housekeeping"},
    {"instantmessaging", "Instantmessaging"},
    {"jobs", "Jobs"},
    {"leisure", "Leisure"},
    {"mail", "Mail"},
    {"multimedia", "Multimedia"},
    {"news", "News"},
    {"porn", "Porn"},
    {"proxy", "Proxy"},
    {"searchengines", "Searchengines"},
    {"shopping", "Shopping"},
    {"social", "Social"},
    {"sports", "Sports"},
    {"systemutils", "Systemutils"},
    {"travel", "Travel"},
    {"business", "Business"},
};

}  // namespace

int sortmarks_category(const char *name)
{
    if (name == nullptr)
        return -1;
    for (int i = 0; i < SORTMARKS_CATEGORIES; i++)
        if (strcmp(CATEGORIES[i].name, name) == 0)
            return i;
    return -1;
}

const char *sortmarks_category_name(int index)
{
    return index >= 0 && index < SORTMARKS_CATEGORIES ? CATEGORIES[index].name : nullptr;
}

const char *sortmarks_category_title(int index)
{
    return index >= 0 && index < SORTMARKS_CATEGORIES ? CATEGORIES[index].title : nullptr;
}

int sm_cache_key(int size, const char *host)
{
    if (size <= 0)
        return 0;
    if (host == nullptr || *host == '\0')
        return 0;
    uint32_t sum = 0;
    for (const char *p = host; *p; p++) {
        int c = (signed char)*p;
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        sum += (uint32_t)size + (uint32_t)(20 * c) + (uint32_t)(c >> 4) + (uint32_t)(c >> 2);
    }
    return (int)(sum % (uint32_t)size);
}

bool sortmarks_line_parse(const std::string &line, std::string *host, SortmarksScores *scores)
{
    const char *p = line.c_str();
    const char *start = p;
    while (*p && !isspace((unsigned char)*p))
        p++;
    size_t hostlen = (size_t)(p - start);
    if (hostlen == 0 || hostlen > 1024 || !isspace((unsigned char)*p))
        return false;
    while (isspace((unsigned char)*p))
        p++;
    SortmarksScores got;
    for (int i = 0; i < SORTMARKS_SCORES; i++) {
        if (i > 0) {
            if (*p != ',')
                return false;
            p++;
        }
        while (*p == ' ' || *p == '\t')
            p++;
        char *after;
        errno = 0;
        long value = strtol(p, &after, 10);
        if (after == p || errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
            return false;
        got.score[i] = (int32_t)value;
        p = after;
    }
    host->assign(start, hostlen);
    *scores = got;
    return true;
}

// ---- Cache ------------------------------------------------------------------

SortmarksCache::SortmarksCache() : size(SORTMARKS_CHAINS), count_(0), added_(0)
{
    chains = (Record **)calloc((size_t)size, sizeof(Record *));
    if (chains == nullptr)
        putlog(LOG_ERROR, "Sortmarks: Failed to allocate Memory Sortmarks cache");
    pthread_rwlock_init(&lock, nullptr);
    pthread_mutex_init(&save_lock, nullptr);
}

SortmarksCache::~SortmarksCache()
{
    if (chains != nullptr) {
        for (int i = 0; i < size; i++) {
            Record *r = chains[i];
            while (r != nullptr) {
                Record *next = r->next;
                free(r->host);
                delete r;
                r = next;
            }
        }
        free(chains);
    }
    pthread_rwlock_destroy(&lock);
    pthread_mutex_destroy(&save_lock);
}

SortmarksCache::Record *SortmarksCache::lookup(const char *host) const
{
    for (Record *r = chains[sm_cache_key(size, host)]; r != nullptr; r = r->next)
        if (strcasecmp(r->host, host) == 0)
            return r;
    return nullptr;
}

bool SortmarksCache::find(const char *host, SortmarksScores *scores)
{
    if (chains == nullptr || host == nullptr)
        return false;
    pthread_rwlock_rdlock(&lock);
    Record *r = lookup(host);
    if (r != nullptr)
        *scores = r->scores;
    pthread_rwlock_unlock(&lock);
    return r != nullptr;
}

bool SortmarksCache::add(const char *host, const SortmarksScores &scores)
{
    if (chains == nullptr || host == nullptr)
        return false;
    pthread_rwlock_wrlock(&lock);
    bool added = lookup(host) == nullptr;
    if (added) {
        Record *r = new Record{nullptr, strdup(host), scores};
        Record **tail = &chains[sm_cache_key(size, host)];
        while (*tail != nullptr)
            tail = &(*tail)->next;
        *tail = r;
        count_++;
        added_++;
    }
    pthread_rwlock_unlock(&lock);
    return added;
}

bool SortmarksCache::purge(const char *host)
{
    if (chains == nullptr || host == nullptr)
        return false;
    pthread_rwlock_wrlock(&lock);
    bool found = false;
    for (Record **at = &chains[sm_cache_key(size, host)]; *at != nullptr; at = &(*at)->next)
        if (strcasecmp((*at)->host, host) == 0) {
            Record *r = *at;
            *at = r->next;
            free(r->host);
            delete r;
            found = true;
            break;
        }
    pthread_rwlock_unlock(&lock);
    return found;
}

bool SortmarksCache::search(const char *host, SortmarksScores *scores)
{
    if (chains == nullptr || host == nullptr)
        return false;
    if (find(host, scores))
        return true;
    char query[1023];
    snprintf(query, sizeof(query), "%s.%s", host, SORTMARKS_ZONE);
    SortmarksScores got;
    memset(&got, 0, sizeof(got));
    if (getmx(&got, query) <= 0) {
        putlog(LOG_ERROR, "Sortmarks: failed to lookup site: %s", host);
        return false;
    }
    // Two threads that missed the same host both asked; the first record
    // stays and both callers get its scores.
    if (add(host, got))
        putlog(LOG_ADVICE, "sortmarks: cache[%lld]: Added :%s", (long long)count_, host);
    return find(host, scores);
}

int SortmarksCache::load_file(const std::string &path)
{
    int records = 0;
    bool opened = listfile_read(path, LOG_ERROR, [&](const std::string &line) {
        std::string host;
        SortmarksScores scores;
        if (sortmarks_line_parse(line, &host, &scores) && add(host.c_str(), scores))
            records++;
    }, SORTMARKS_LINE_MAX);
    if (!opened)
        return -1;
    putlog(LOG_ADVICE, "Sortmarks: read from %s, records: %d", path.c_str(), records);
    return records;
}

int SortmarksCache::load(const std::string &dir)
{
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        putlog(LOG_ERROR, "Sortmarks: hints directory: %s, does not exist", dir.c_str());
        return 0;
    }
    std::vector<std::string> hints;
    while (struct dirent *e = readdir(d)) {
        const char *dot = strrchr(e->d_name, '.');
        if (dot != nullptr && strcmp(dot, ".sortmarks") == 0)
            hints.push_back(dir + "/" + e->d_name);
    }
    closedir(d);
    int total = 0;
    for (const std::string &path : hints) {
        int n = load_file(path);
        if (n < 0)
            putlog(LOG_ERROR, "[system: open_1:%d:%s], in %s, failed to open private cache: %s",
                   errno, strerror(errno), "sortmark_filetocache_insert", path.c_str());
        else
            total += n;
    }
    std::string cache = dir + "/sortmarks.cache";
    int n = load_file(cache);
    if (n < 0)
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open ccs cache: %s", errno,
               strerror(errno), "sortmark_filetocache_insert", cache.c_str());
    else
        total += n;
    return total;
}

namespace {

// How long a save without waiting (the exit sequence) still waits for a
// save in progress: the service thread may be writing the file when the
// process is told to end, and ending under it would leave its temporary
// file and lose what the exit save had to add.
const int SORTMARKS_EXIT_WAIT_MS = 5000;

bool save_lock_within(pthread_mutex_t *lock, int ms)
{
    for (int waited = 0;; waited++) {
        if (pthread_mutex_trylock(lock) == 0)
            return true;
        if (waited >= ms)
            return false;
        usleep(1000);
    }
}

} // namespace

int SortmarksCache::save(const std::string &dir, bool wait)
{
    if (chains == nullptr || dir.empty())
        return 0;
    if (!wait) {
        if (!save_lock_within(&save_lock, SORTMARKS_EXIT_WAIT_MS)) {
            putlog(LOG_ERROR, "Sortmarks: a save in progress did not end, cache not saved");
            return 0;
        }
    } else {
        pthread_mutex_lock(&save_lock);
    }
    std::string path = dir + "/sortmarks.cache", temp = dir + "/sortmarks.cache.new";
    int64_t pending = 0;
    if (wait || pthread_rwlock_tryrdlock(&lock) == 0) {
        if (wait)
            pthread_rwlock_rdlock(&lock);
        pending = added_;
        pthread_rwlock_unlock(&lock);
    }
    if (pending <= 0) {
        pthread_mutex_unlock(&save_lock);
        return 0;
    }
    if (create_recursive_directory(dir.c_str()) != 1) {
        putlog(LOG_ADVICE, "error: sortmarks: failed to create the hints directory");
        pthread_mutex_unlock(&save_lock);
        return -1;
    }
    int fd = s_open(temp.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1) {
        putlog(LOG_ERROR, "Sortmarks: failed to create %s", temp.c_str());
        pthread_mutex_unlock(&save_lock);
        return -1;
    }
    // The records are formatted under the shared lock and written after it,
    // so lookups and appends do not wait for the disk.
    std::string text;
    int64_t written = 0;
    if (!wait && pthread_rwlock_tryrdlock(&lock) != 0) {
        close(fd);
        pthread_mutex_unlock(&save_lock);
        return 0;
    }
    if (wait)
        pthread_rwlock_rdlock(&lock);
    for (int i = 0; i < size; i++)
        for (Record *r = chains[i]; r != nullptr; r = r->next) {
            std::string record = "\n";
            record += r->host;
            record += '\t';
            for (int s = 0; s < SORTMARKS_SCORES; s++) {
                if (s)
                    record += ',';
                record += std::to_string(r->scores.score[s]);
            }
            if (record.size() > 1022)
                record.resize(1022);
            text += record;
            written++;
        }
    pthread_rwlock_unlock(&lock);
    bool ok = true;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n == -1 && errno == EINTR)
            continue;
        if (n <= 0)
            ok = false;
        else
            done += (size_t)n;
    }
    if (ok && fsync(fd) != 0)
        ok = false;
    if (close(fd) != 0)
        ok = false;
    if (!ok) {
        putlog(LOG_ERROR, "Sortmarks: failed to write %s", temp.c_str());
        unlink(temp.c_str());
        pthread_mutex_unlock(&save_lock);
        return -1;
    }
    if (rename(temp.c_str(), path.c_str()) != 0) {
        putlog(LOG_ERROR, "Sortmarks: failed to move %s -> %s", temp.c_str(), path.c_str());
        unlink(temp.c_str());
        pthread_mutex_unlock(&save_lock);
        return -1;
    }
    // Records appended while the file was written are saved next time.
    // Without the lock (the exit sequence) the count is left: the next
    // save, if any, writes the file again.
    if (!wait && pthread_rwlock_trywrlock(&lock) != 0) {
        pthread_mutex_unlock(&save_lock);
        return (int)written;
    }
    if (wait)
        pthread_rwlock_wrlock(&lock);
    added_ -= pending;
    if (added_ < 0)
        added_ = 0;
    pthread_rwlock_unlock(&lock);
    pthread_mutex_unlock(&save_lock);
    return (int)written;
}

// ---- Section ----------------------------------------------------------------

SORTMARKS_Section *sortmarks_section = nullptr;
bool (*sortmarks_interface_request)(CONNECTION_T *connection) = nullptr;

SORTMARKS::SORTMARKS(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      log(item.fields[2].int_value),
      groups(item.fields[3].string_list),
      profiles(item.fields[4].string_list),
      categories(item.fields[5].string_list),
      score_range(item.fields[6].raw),
      add_profiles(item.fields[7].string_list),
      remove_profiles(item.fields[8].string_list)
{
    if (filter_flawed(item, "sortmarks", comment))
        enabled = 0;
}

SORTMARKS_Section::SORTMARKS_Section() : Section("Sortmarks", 0)
{
    enabled = &fields[0].int_value;
    directory = &fields[1].raw;
}

SORTMARKS_Section::~SORTMARKS_Section()
{
    rules.clear();
}

void SORTMARKS_Section::update()
{
    rules.clear();
    if (*enabled)
        for (const Item &item : subsections[0].items)
            rules.emplace_back(item);
    // Announced when categorisation is first switched on, not while it is off.
    if (*enabled && !announced) {
        announced = true;
        putlog(LOG_ADVICE, "Sortmarks: cache initialized for %d records and is ready to use",
               SORTMARKS_CHAINS);
    }
}

bool SORTMARKS_Section::is_enabled()
{
    read_lock();
    bool on = *enabled != 0;
    unlock();
    return on;
}

std::string SORTMARKS_Section::hints_directory()
{
    read_lock();
    std::string dir = *directory;
    unlock();
    return dir;
}

int SORTMARKS_Section::store_sortmarks(CONNECTION_T *connection)
{
    SortmarksScores scores;
    if (!cache.search(header_rule_host(connection->request), &scores))
        return 0;
    for (int i = 0; i < SORTMARKS_SCORES; i++)
        connection->category_scores[i] = scores.score[i];
    return 1;
}

namespace {

// atoi of a text: leading blanks, a sign, digits; no digits give 0.
int range_value(const std::string &text)
{
    return atoi(text.c_str());
}

void show_profile(const char *prefix, const std::string &name)
{
    putlog(LOG_PROFILES, "%s Profile: %s", prefix, name.c_str());
}

}  // namespace

int SORTMARKS_Section::check_profiles(CONNECTION_T *connection, int pass)
{
    read_lock();
    if (*enabled == 0) {
        unlock();
        return 0;
    }
    const char *client = connection->client_ip ? connection->client_ip : "";
    const char *host = connection->request ? header_rule_host(connection->request) : "";
    for (const SORTMARKS &rule : rules) {
        if (rule.enabled == 0)
            continue;
        if (pass == 0 && (!rule.groups.empty() || !rule.profiles.empty()))
            continue;
        if (pass != 0 && (!profile_find(connection->ldap_groups, rule.groups) ||
                          !profile_find(connection->profiles, rule.profiles)))
            continue;
        if (rule.categories.empty()) {
            if (rule.log)
                putlog(LOG_ERROR, "sortmarks: [IP:%s] malformed entry: category not specified.",
                       client);
            continue;
        }
        if (rule.score_range.empty()) {
            if (rule.log)
                putlog(LOG_ERROR,
                       "sortmarks: [IP:%s] malformed entry: score range not specified.", client);
            continue;
        }
        int low, high;
        size_t dash = rule.score_range.rfind('-');
        if (dash != std::string::npos) {
            low = range_value(rule.score_range.substr(0, dash));
            high = range_value(rule.score_range.substr(dash + 1));
        } else {
            low = high = range_value(rule.score_range);
        }
        for (const std::string &name : rule.categories) {
            if (name.empty()) {
                if (rule.log)
                    putlog(LOG_ERROR, "sortmarks: [IP:%s] malformed specification of category",
                           client);
                continue;
            }
            int index = sortmarks_category(name.c_str());
            if (index < 0)
                continue;
            int score = connection->category_scores[index];
            if (score < low || score > high)
                continue;
            char added[255], removed[255];
            snprintf(added, sizeof(added), "Sortmarks: host:%s Added: ", host);
            snprintf(removed, sizeof(removed), "Sortmarks: host:%s Removed: ", host);
            for (const std::string &p : rule.add_profiles) {
                bool held = false;
                for (const std::string &q : connection->profiles)
                    held = held || q == p;
                if (held)
                    continue;
                connection->profiles.push_back(p);
                if (rule.log)
                    show_profile(added, p);
            }
            for (const std::string &p : rule.remove_profiles) {
                if (rule.log)
                    show_profile(removed, p);
                connection->profiles.remove(p);
            }
            break;
        }
    }
    unlock();
    return 0;
}

void SORTMARKS_Section::sortmark_filetocache_insert()
{
    if (!is_enabled())
        return;
    std::string dir = hints_directory();
    if (dir.empty())
        return;
    cache.load(dir.substr(0, 510));
}

void SORTMARKS_Section::sortmark_dnstofile_insert(bool wait)
{
    std::string dir;
    bool on;
    if (wait) {
        read_lock();
    } else if (pthread_rwlock_tryrdlock(&rwlock) != 0) {
        return;
    }
    on = *enabled != 0;
    dir = *directory;
    unlock();
    if (!on || dir.empty())
        return;
    cache.save(dir, wait);
}

namespace {

int entry_point(CONNECTION_T *connection, int pass)
{
    if (sortmarks_section == nullptr || !sortmarks_section->is_enabled())
        return 0;
    if (connection->request == nullptr || connection->request->host == nullptr ||
        *connection->request->host == '\0')
        return 0;
    if (sortmarks_interface_request != nullptr && sortmarks_interface_request(connection))
        return 0;
    if (connection->category_scores[0] == -1)
        sortmarks_section->store_sortmarks(connection);
    sortmarks_section->check_profiles(connection, pass);
    return 0;
}

}  // namespace

int sortmarks_first(CONNECTION_T *connection)
{
    return entry_point(connection, 0);
}

int sortmarks_second(CONNECTION_T *connection)
{
    return entry_point(connection, 1);
}

void get_access_log_url()
{
    if (sortmarks_section == nullptr || smfeed[0] == '\0')
        return;
    int count = 0;
    bool opened = listfile_read(smfeed, LOG_ERROR, [&count](const std::string &line) {
        std::string host = line.substr(0, line.find('\r'));
        if (host.empty())
            return;
        SortmarksScores scores;
        sortmarks_section->cache.search(host.c_str(), &scores);
        count++;
    });
    if (!opened) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open smfeed: %s", errno,
               strerror(errno), "get_access_log_url", smfeed);
        return;
    }
    putlog(LOG_ADVICE, "Sortmarks: read from smfeed:%s, records: %d", smfeed, count);
    unlink(smfeed);
}

void sortmarks_save_step()
{
    if (sortmarks_section != nullptr)
        sortmarks_section->sortmark_dnstofile_insert(false);
}

void *sortmarks_cachedump(void *)
{
    while (sortmarks_section == nullptr || !sortmarks_section->is_enabled())
        sleep(10);
    sortmarks_section->sortmark_filetocache_insert();
    get_access_log_url();
    for (;;) {
        if (sortmarks_section->is_enabled())
            sortmarks_section->sortmark_dnstofile_insert();
        sleep(60);
    }
    return nullptr;
}

void sortmarks_page(Filebuf *page, const std::string &domain, const std::string &refresh)
{
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\">");
    if (domain.empty()) {
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Hostname</td></tr>\n");
        page->Addf("<form action=\"sortmark\" method=\"POST\">\n");
        page->Addf("<tr><td>Enter the comma separated list of domains to identify Sortmark"
                   "</td><td><input type=\"text\" name=\"domain\" value=\"\" size=\"125\">"
                   "</td></tr>\n");
        page->Addf("<tr><td width=\"10%%\">refresh</td><td align=\"center\">Yes: <input "
                   "type=\"radio\" name=\"refresh\" value=\"yes\" checked> No: <input "
                   "type=\"radio\" name=\"refresh\" value=\"no\"></td></tr>\n");
        page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" "
                   "align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n");
        page->Addf("</form></table>\n");
        page->Addf("</td></tr></table>\n");
        return;
    }
    page->Addf("<tr><td><table class=\"bigdialog\">\n");
    int number = 0;
    size_t start = 0;
    while (start <= domain.size()) {
        size_t comma = domain.find(',', start);
        std::string entry = domain.substr(start, comma == std::string::npos
                                                     ? std::string::npos
                                                     : comma - start);
        start = comma == std::string::npos ? domain.size() + 1 : comma + 1;
        if (entry.empty())
            continue;
        number++;
        SortmarksCache *cache = sortmarks_section ? &sortmarks_section->cache : nullptr;
        if (cache && refresh == "yes")
            cache->purge(entry.c_str());
        char *escaped = string_to_html(entry.c_str(), 0);
        page->Addf("<tr><td align=\"center\">\n");
        page->Addf("<table class=\"bigdialog\"><tr class=\"listhead\"><td align=\"center\">%s"
                   "</td></tr></table>\n",
                   escaped ? escaped : "");
        free(escaped);
        SortmarksScores scores;
        bool found = cache && cache->search(entry.c_str(), &scores);
        if (!found)
            memset(&scores, 0, sizeof(scores));
        const char *cls = number % 2 ? "listodd" : "listeven";
        page->Addf("<tr><td align=\"center\">\n<table class=\"list\">\n");
        page->Addf("<tr class=\"%s\">", cls);
        page->Addf("<td><b>Category</b></td>");
        for (int i = 0; i < 16; i++)
            page->Addf("<td>%s</td>", sortmarks_category_title(i));
        page->Addf("</tr>");
        page->Addf("<tr><td><b>Score</b></td><td >%d</td>", scores.score[0]);
        for (int i = 1; i < 16; i++)
            page->Addf(" <td>%d</td>", scores.score[i]);
        page->Addf("</tr>");
        page->Addf("<tr class=\"%s\">", cls);
        page->Addf("<td><b>Category</b></td>");
        for (int i = 16; i < 31; i++)
            page->Addf("<td>%s</td>", sortmarks_category_title(i));
        page->Addf("<td></td></tr>\n");
        page->Addf(" <td><b>Score</b></td>");
        for (int i = 16; i < 32; i++)
            page->Addf("<td>%d</td>", scores.score[i]);
        page->Addf("<td></td></tr>\n");
        page->Addf("</td></tr></table>\n");
        page->Addf("</td></tr></table>\n");
    }
    page->Addf("</table></td></tr>\n");
    page->Addf("</td></tr></table></td></tr></table>\n");
}
