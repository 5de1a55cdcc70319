// Site categorisation: category table, the MX query and its answer walk,
// the category cache and its files.
#include "filters/sortmarks.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <resolv.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "filters/listfile.h"
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

// DNS wire reading with the bounds of the reply.
bool read16(const unsigned char *reply, size_t length, size_t at, unsigned *value)
{
    if (at + 2 > length)
        return false;
    *value = (unsigned)reply[at] << 8 | reply[at + 1];
    return true;
}

}  // namespace

int sortmarks_test_dns_port = 0;

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

int sortmarks_mx_walk(const unsigned char *reply, size_t length, SortmarksScores *scores)
{
    if (reply == nullptr || length < HFIXEDSZ)
        return 0;
    const unsigned char *end = reply + length;
    unsigned questions;
    if (!read16(reply, length, 4, &questions))
        return 0;
    size_t at = HFIXEDSZ;
    for (unsigned q = 0; q < questions; q++) {
        int skip = dn_skipname(reply + at, end);
        if (skip < 0 || at + (size_t)skip + QFIXEDSZ > length)
            return 0;
        at += (size_t)skip + QFIXEDSZ;
    }
    int recognised = 0;
    char name[1025];
    while (at < length) {
        int owner = dn_expand(reply, end, reply + at, name, sizeof(name));
        if (owner < 0)
            break;
        at += (size_t)owner;
        unsigned type, rdlength;
        if (!read16(reply, length, at, &type) || !read16(reply, length, at + 8, &rdlength))
            break;
        at += 10;
        if (at + rdlength > length)
            break;   // cut short: nothing past the reply is read
        size_t next = at + rdlength;
        if (type == ns_t_mx && rdlength >= 3) {
            unsigned preference;
            read16(reply, length, at, &preference);
            int exchange = dn_expand(reply, end, reply + at + 2, name, sizeof(name));
            if (exchange < 0)
                break;
            int index = sortmarks_category(name);
            if (index >= 0) {
                scores->score[index] = (int32_t)preference;
                recognised++;
            }
        }
        at = next;
    }
    return recognised;
}

int getmx(SortmarksScores *scores, const char *name)
{
    struct __res_state state;
    memset(&state, 0, sizeof(state));
    if (res_ninit(&state) != 0)
        return 0;
    if (sortmarks_test_dns_port != 0) {
        state.nscount = 1;
        state.nsaddr_list[0].sin_family = AF_INET;
        state.nsaddr_list[0].sin_port = htons((uint16_t)sortmarks_test_dns_port);
        state.nsaddr_list[0].sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        state.retrans = 1;
        state.retry = 1;
    }
    unsigned char answer[1024];
    int n = res_nquery(&state, name, ns_c_in, ns_t_mx, answer, sizeof(answer));
    res_nclose(&state);
    if (n < 0)
        return 0;
    return sortmarks_mx_walk(answer, (size_t)n < sizeof(answer) ? (size_t)n : sizeof(answer),
                             scores);
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

int SortmarksCache::save(const std::string &dir)
{
    if (chains == nullptr || dir.empty())
        return 0;
    pthread_mutex_lock(&save_lock);
    std::string path = dir + "/sortmarks.cache", temp = dir + "/sortmarks.cache.new";
    pthread_rwlock_rdlock(&lock);
    int64_t pending = added_;
    pthread_rwlock_unlock(&lock);
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
    pthread_rwlock_wrlock(&lock);
    added_ -= pending;
    if (added_ < 0)
        added_ = 0;
    pthread_rwlock_unlock(&lock);
    pthread_mutex_unlock(&save_lock);
    return (int)written;
}
