// The administration pages of the web interface.
#include "interface/pages.h"

#include <pthread.h>
#include <strings.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "cache/cache.h"
#include "cache/prefetch.h"
#include "config/section.h"
#include "config/values.h"
#include "config/xml.h"
#include "engine/clientpool.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/serverpool.h"
#include "filters/sortmarks.h"
#include "filters/urlbl.h"
#include "interface/interface.h"
#include "runtime/filebuf.h"
#include "runtime/hash.h"
#include "runtime/log.h"
#include "runtime/regexp.h"
#include "runtime/stats.h"
#include "runtime/thread.h"

namespace {

const char *const OUTER_TABLE =
    "<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td align=\"center\">\n";
const char *const SUBMIT_ROW =
    "<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td colspan=\"2\" align=\"center\">"
    "<input type=\"submit\" value=\"Submit\"></td></tr>\n";

std::string h(const std::string &text)
{
    return interface_html(text);
}

std::string h(const char *text)
{
    return interface_html(text ? text : "");
}

// Escaped with line breaks and long runs broken, for URLs and log lines.
std::string h1(const std::string &text)
{
    return interface_html(text, 1);
}

const char *row_class(unsigned n)
{
    return n % 2 == 0 ? "listeven" : "listodd";
}

// A page whose module is not part of this build.
void absent(Filebuf *page, const char *what)
{
    page->Addf("<table class=\"bigdialog\"><tr><td align=\"center\">%s is not available in this build"
               "</td></tr></table>\n", what);
}

std::string arg(CGIMap &args, const char *name)
{
    auto found = args.find(name);
    return found == args.end() ? std::string() : found->second;
}

struct ThreadRow {
    uint32_t client_id;
    std::string address;
    int32_t requests;
    std::string method;
    std::string url;
};

void header_rows(Filebuf *page, const std::vector<HTTP_HEADER> &lines, unsigned *n)
{
    page->Addf("<tr class=\"listhead\"><td>Type</td><td>Value</td></tr>\n");
    for (const HTTP_HEADER &line : lines) {
        page->Addf("<tr class=\"%s\"><td>%s</td><td>%s</td></tr>\n", row_class((*n)++),
                   h(line.name).c_str(), h(line.value).c_str());
    }
}

}  // namespace

void interface_page_connections(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td>\n");
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"7\" align=\"center\"><b>Transferring</b></td></tr>\n");
    page->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Method</td>"
               "<td>URL</td></tr>\n");
    // The rows are copied under the lock and written after it.
    std::vector<ThreadRow> rows;
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS && i < THREADS_MAX; i++) {
        int state = threads[i].state.load();
        if (state != THREAD_BUSY && state != THREAD_PREFETCHING)
            continue;
        ThreadRow row;
        row.client_id = threads[i].client_id.load();
        row.address = threads[i].address ? threads[i].address : "";
        row.requests = threads[i].requests;
        row.method = threads[i].method ? threads[i].method : "NONE";
        row.url = threads[i].url ? threads[i].url : "NONE";
        rows.push_back(row);
    }
    pthread_mutex_unlock(&threadlistlock);
    unsigned n = 0;
    for (const ThreadRow &row : rows) {
        page->Addf("<tr class=\"%s\"><td>%u</td><td>%s</td><td>%d</td><td>%s</td><td>%s</td></tr>\n",
                   row_class(n++), row.client_id, h(row.address).c_str(), row.requests,
                   h(row.method).c_str(), h1(row.url).c_str());
    }
    page->Addf("</table>\n");
    page->Addf("</td></tr> <tr><td><br></td></tr> <tr><td>\n");
    if (global && global->client_pool)
        global->client_pool->show_connections(page);
    page->Addf("</td></tr> </table>\n");
}

void interface_page_dnscache(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    time_t now = time(nullptr);
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td>Hostname</td><td>IP address</td><td>Age</td></tr>\n");
    if (global && global->dns_cache) {
        unsigned n = 0;
        pthread_mutex_lock(&global->dns_lock);
        HASH_TABLE *table = global->dns_cache;
        for (int bucket = 0; bucket < table->size; bucket++) {
            for (HASH_NODE *node = table->buckets[bucket]; node; node = node->next) {
                page->Addf("<tr class=\"%s\"><td>%s</td><td>%s</td><td>%d</td></tr>\n", row_class(n++),
                           h(node->key).c_str(), h((const char *)node->value).c_str(),
                           (int)(now - (time_t)node->time));
            }
        }
        pthread_mutex_unlock(&global->dns_lock);
    }
    page->Addf("</table>\n");
}

void interface_page_headers(Filebuf *page, CGIMap &, CONNECTION_T *connection)
{
    const HEADER *request = connection->request;
    unsigned n = 0;
    page->Addf("<tr><td><table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">Unfiltered</td></tr>\n");
    if (request)
        header_rows(page, request->headers, &n);
    page->Addf("</table></td></tr>\n");
    page->Addf("<tr><td><br></td></tr>\n");
    page->Addf("<tr><td><table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td colspan=\"2\" align=\"center\">Filtered</td></tr>\n");
    if (request)
        header_rows(page, request->filtered, &n);
    page->Addf("</table></td></tr>\n");
}

void interface_page_stats(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    if (global && global->stats)
        global->stats->Display(page);
}

void interface_page_pool(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    time_t now = time(nullptr);
    page->Addf("<table class=\"list\">\n");
    page->Addf("<tr class=\"listhead\"><td>Protocol</td><td>Host</td><td>Port</td><td>Username</td>"
               "<td>Age</td></tr>\n");
    if (global && global->server_pool) {
        ServerPool *pool = global->server_pool;
        unsigned n = 0;
        pthread_mutex_lock(&pool->lock);
        for (const serverpool_t *entry : pool->entries) {
            page->Addf("<tr class=\"%s\"><td>%s</td><td>%s</td><td>%d</td><td>%s</td><td>%u</td></tr>\n",
                       row_class(n++), h(entry->protocol).c_str(), h(entry->host).c_str(), entry->port,
                       entry->user ? h(entry->user).c_str() : "(none)",
                       (unsigned)(now - entry->added));
        }
        pthread_mutex_unlock(&pool->lock);
    }
    page->Addf("</table>");
}

void interface_page_log(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    LOGBUFFER *ring = global ? global->logbuffer : nullptr;
    if (ring == nullptr)
        return;
    std::string pattern = arg(args, "pattern");
    if (arg(args, "clear") == "on")
        logbuffer_clear(ring);
    std::string size = arg(args, "size");
    if (!size.empty()) {
        int n = atoi(size.c_str());
        if (n != -1)
            logbuffer_resize(ring, n);
    }
    pthread_mutex_lock(&ring->lock);
    int capacity = ring->max;
    pthread_mutex_unlock(&ring->lock);
    page->Addf(OUTER_TABLE);
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Regular expression match</td></tr>\n");
    page->Addf("<form action=\"log\" method=\"POST\">\n");
    page->Addf("<tr><td align=\"center\" colspan=\"2\"><input type=\"text\" name=\"pattern\" value=\"%s\" "
               "size=\"80\"></td></tr>\n", h(pattern).c_str());
    page->Addf("<tr><td align=\"center\">Log buffer size: <input type=\"text\" name=\"size\" value=\"%d\" "
               "size=\"10\"></td>\n", capacity);
    page->Addf("<td align=\"center\">Clear: <input type=\"checkbox\" name=\"clear\"></td></tr>");
    page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td align=\"center\" colspan=\"2\">"
               "<input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form> </table></td></tr> <tr><td><br></td></tr>\n");
    page->Addf("<tr><td align=\"center\">");
    page->Addf("<table class=\"list\">\n");

    regexp_t *expression = nullptr;
    if (!pattern.empty())
        expression = reg_compile(pattern.c_str(), REGEXP_ICASE);
    // The matching lines are copied under the ring's lock: nothing may log
    // while it is held, and escaping may.
    std::vector<std::string> lines;
    pthread_mutex_lock(&ring->lock);
    for (LOGBUFFER_NODE *node = ring->head; node; node = node->next) {
        if (expression == nullptr || reg_exec(expression, node->text) == 0)
            lines.emplace_back(node->text);
    }
    pthread_mutex_unlock(&ring->lock);
    if (expression)
        reg_free(expression);
    unsigned n = 0;
    for (const std::string &line : lines)
        page->Addf("<tr class=\"%s\"><td>%s</td></tr>\n", row_class(n++), h1(line).c_str());
    page->Addf("</table></td></tr></table>\n");
}

void interface_page_load(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    page->Addf(OUTER_TABLE);
    std::string filename = arg(args, "filename");
    if (!filename.empty()) {
        int32_t mode = arg(args, "overwrite") == "yes" ? 1 : 0;
        int32_t loaded = config_load(mode, filename);
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr><td align=\"center\">\n");
        page->Addf(loaded == 1 ? "File loaded\n" : "Load failed\n");
        page->Addf("</td></tr></table> </td></tr></table>\n");
        return;
    }
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Load settings</td></tr>\n");
    page->Addf("<form action=\"load\" method=\"POST\">\n");
    page->Addf("<tr><td width=\"10%%\">Filename</td><td><input type=\"text\" name=\"filename\" value=\"%s\" "
               "size=\"80\"></td></tr>\n", h(configfile).c_str());
    page->Addf("<tr><td width=\"10%%\">Overwrite</td><td align=\"center\">Yes: <input type=\"radio\" "
               "name=\"overwrite\" value=\"yes\" checked> No: <input type=\"radio\" name=\"overwrite\" "
               "value=\"no\"></td></tr>\n");
    page->Addf(SUBMIT_ROW);
    page->Addf("</form></table>\n");
    page->Addf("</td></tr></table>\n");
}

void interface_page_save(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    page->Addf(OUTER_TABLE);
    std::string filename = arg(args, "filename");
    if (!filename.empty()) {
        bool saved = config_save(filename);
        page->Addf("<table class=\"bigdialog\">\n");
        page->Addf("<tr><td align=\"center\">\n");
        page->Addf(saved ? "File saved\n" : "Saved failed\n");
        page->Addf("</td></tr></table></td></tr></table>\n");
        return;
    }
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\">Save settings</td></tr>\n");
    page->Addf("<form action=\"save\" method=\"POST\">\n");
    page->Addf("<tr><td>Filename</td><td><input type=\"text\" name=\"filename\" value=\"%s\" size=\"80\">"
               "</td></tr>\n", h(configfile).c_str());
    page->Addf(SUBMIT_ROW);
    page->Addf("</form></table>\n");
    page->Addf("</td></tr></table>\n");
}

void interface_page_config(Filebuf *page, CGIMap &args, CONNECTION_T *connection)
{
    std::string section = arg(args, "section");
    std::string matchname = arg(args, "matchname");
    std::string matchvalue = arg(args, "matchvalue");
    page->Addf("<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" width=\"100%%\"><tr>\n");
    page->Addf("<td align=\"left\"><table class=\"dialog\" width=\"100%%\">\n");
    page->Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Select a Section to Configure"
               "</td></tr><tr><td align=\"center\">\n");
    page->Addf("<form action=\"config\" method=\"POST\">\n");
    page->Addf("<select name=\"section\">\n");
    page->Addf("<option value=\"\">Select a section\n");
    for (auto &entry : Section::map) {
        std::string name = entry.second->name_get();
        page->Addf("<option value=\"%s\" %s>%s\n", h(name).c_str(), name == section ? "selected" : "",
                   h(entry.second->comment_get()).c_str());
    }
    page->Addf("</select></td>\n");
    page->Addf("<td align=\"center\"><input type=\"submit\" value=\"Submit\"></form></td></tr>\n");
    page->Addf("</table></td>\n");
    page->Addf("<td align=\"right\"><table class=\"dialog\"><tr><td align=\"center\" class=\"dialoghead\" "
               "colspan=\"2\">Search entries</td></tr>\n");
    page->Addf("<form action=\"config\" method=\"POST\">\n");
    page->Addf("<input type=\"hidden\" name=\"section\" value=\"%s\">\n", h(section).c_str());
    page->Addf("<tr><td>Option: <input type=\"text\" name=\"matchname\" value=\"%s\" size=\"20\"> Value: "
               "<input type=\"text\" name=\"matchvalue\" value=\"%s\" size=\"20\"></td><td>"
               "<input type=\"submit\" value=\"Submit\"></td></tr>\n",
               h(matchname).c_str(), h(matchvalue).c_str());
    page->Addf("</form></table></td>\n");
    page->Addf("</tr></table>\n");
    page->Addf("<tr><td><br></td></tr><tr><td align=\"center\">\n");
    std::string dialog = arg(args, "dialog");
    std::string action = arg(args, "action");
    std::string subsection = arg(args, "subsection");
    // Looked up without entering anything: a name that is no section
    // leaves the registry as it is.
    auto found = Section::map.find(section);
    Section *chosen = found == Section::map.end() ? nullptr : found->second;
    StringList errors;
    if (!dialog.empty() || !section.empty()) {
        if (chosen == nullptr) {
            page->Addf("<table class=\"bigdialog\"><tr><td align=\"center\">No section named %s"
                       "</td></tr></table>\n", h(section).c_str());
        } else if (!dialog.empty()) {
            chosen->interface_dialog(page, args, connection, errors);
        } else {
            if (!action.empty())
                errors = chosen->interface_action(page, args, connection);
            if (errors.empty())
                chosen->interface(page, args, connection, errors);
            else if (!subsection.empty())
                chosen->interface_dialog(page, args, connection, errors);
            else
                chosen->interface(page, args, connection, errors);
        }
    } else if (!matchname.empty() || !matchvalue.empty()) {
        for (auto &entry : Section::map) {
            StringList none;
            entry.second->interface(page, args, connection, none);
        }
    }
    page->Addf("</td></tr></table>\n");
}

namespace {

const char *const calendar_months[12] = {"January", "February", "March", "April", "May", "June",
                                         "July", "August", "September", "October", "November",
                                         "December"};

// One moment of the cache search form.
struct Moment {
    const char *label;
    const char *prefix;
    const char *box;      // name of its checkbox
    const char *box_text; // " Epoch time: " or " Current time: "
    bool epoch;           // the default is 1 January 1970, else now
    Moment(const char *l, const char *p, const char *b, const char *t, bool e)
        : label(l), prefix(p), box(b), box_text(t), epoch(e) {}
    bool checked = false;
    std::string month;
    int day = 0, year = 0, hour = 0, minute = 0;
    time_t value = 0;
};

void moment_read(CGIMap &args, Moment *m, const struct tm &now)
{
    std::string p = m->prefix;
    m->checked = arg(args, m->box) == "on";
    const char *default_month = m->epoch ? "January" : calendar_months[now.tm_mon];
    int defaults[4] = {m->epoch ? 1 : now.tm_mday, m->epoch ? 1970 : now.tm_year + 1900,
                       m->epoch ? 0 : now.tm_hour, m->epoch ? 0 : now.tm_min};
    int *fields[4] = {&m->day, &m->year, &m->hour, &m->minute};
    const char *names[4] = {"day", "year", "hour", "minute"};
    m->month = m->checked ? std::string() : arg(args, (p + "month").c_str());
    if (m->month.empty())
        m->month = default_month;
    for (int i = 0; i < 4; i++) {
        int v = m->checked ? -1 : xatoi(arg(args, (p + names[i]).c_str()));
        *fields[i] = v == -1 ? defaults[i] : v;
    }
    struct tm broken = {};
    broken.tm_year = m->year - 1900;
    broken.tm_mday = m->day;
    broken.tm_hour = m->hour;
    broken.tm_min = m->minute;
    broken.tm_mon = 12;
    for (int i = 0; i < 12; i++) {
        if (strcasecmp(m->month.c_str(), calendar_months[i]) == 0)
            broken.tm_mon = i;
    }
    broken.tm_isdst = -1;
    m->value = mktime(&broken);
    // The form has minutes only: a "before" moment takes in the whole of
    // its minute, so that what was fetched a moment ago is listed.
    if (!m->epoch && m->value != (time_t)-1)
        m->value += 59;
}

void moment_row(Filebuf *page, const Moment &m)
{
    page->Addf("<tr><td>%s</td>", m.label);
    page->Addf("<td>Date: <select name=\"%smonth\">\n", m.prefix);
    for (const char *month : calendar_months)
        page->Addf("<option value=\"%s\" %s>%s\n", month,
                   strcasecmp(month, m.month.c_str()) == 0 ? "selected" : "", month);
    page->Addf("</select>\n");
    page->Addf("<select name=\"%sday\">\n", m.prefix);
    for (int d = 1; d <= 31; d++)
        page->Addf("<option value=\"%d\" %s>%d\n", d, d == m.day ? "selected" : "", d);
    page->Addf("</select>\n");
    page->Addf("<input type=\"text\" name=\"%syear\" value=\"%d\" size=\"4\">\n", m.prefix, m.year);
    page->Addf("Time: <input type=\"text\" name=\"%shour\" value=\"%.2d\" size=\"2\">:\n", m.prefix, m.hour);
    page->Addf("<input type=\"text\" name=\"%sminute\" value=\"%.2d\" size=\"2\">\n", m.prefix, m.minute);
    page->Addf("%s<input type=\"checkbox\" name=\"%s\" %s>", m.box_text, m.box, m.checked ? "checked" : "");
    page->Addf("</tr></td>\n");
}

// A size field: empty, or a text that is no size, reads as empty.
uint64_t size_read(const std::string &text, uint64_t fallback)
{
    if (text.empty())
        return fallback;
    try {
        return string_to_filesize(text);
    } catch (const ConfigError &) {
        return fallback;
    }
}

// 0 when the limit is 0.
unsigned percent(uint64_t used, uint64_t limit)
{
    if (limit == 0 || used == 0)
        return 0;
    return (unsigned)((long double)used / (long double)limit * 100.0L);
}

// A URL for an href: percent-encodes what would end the attribute or the
// address.
std::string href_safe(const std::string &text)
{
    std::string out;
    char hex[4];
    for (unsigned char c : text) {
        if (c == '"' || c == '<' || c == '>' || c == ' ' || c == '\'' || c == '&' || c < 0x20 || c == 0x7f) {
            snprintf(hex, sizeof hex, "%%%02X", c);
            out += hex;
        } else {
            out += (char)c;
        }
    }
    return out;
}

}  // namespace

void interface_page_cache(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    CacheSection *cache = cache_section;
    if (cache == nullptr) {
        absent(page, "The object cache");
        return;
    }
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    bool show = arg(args, "show") == "yes";
    bool remove = arg(args, "delete") == "on";
    std::string pattern = arg(args, "pattern");
    bool allsizes = arg(args, "allsizes") == "on";
    const uint64_t size_max = 4294967295ULL;
    uint64_t minimum = allsizes ? 0 : size_read(arg(args, "minsize"), 0);
    uint64_t maximum = allsizes ? size_max : size_read(arg(args, "maxsize"), size_max);
    Moment moments[4] = {
        {"Modified after", "ma", "maepoch", " Epoch time: ", true},
        {"Modified before", "mb", "mbcurtime", " Current time: ", false},
        {"Accessed after", "aa", "aaepoch", " Epoch time: ", true},
        {"Accessed before", "ab", "abcurtime", " Current time: ", false},
    };
    for (Moment &m : moments)
        moment_read(args, &m, local);
    // A pattern that does not compile selects nothing to delete.
    regexp_t *expression = pattern.empty() ? nullptr : reg_compile(pattern.c_str(), REGEXP_ICASE);
    bool broken_pattern = !pattern.empty() && expression == nullptr;

    cache->mutex_lock();
    page->Addf(OUTER_TABLE);
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td align=\"center\" colspan=\"2\">Cache information</td></tr>\n");
    uint64_t memory_limit = cache->memory_size ? *cache->memory_size : 0;
    page->Addf("<tr class=\"listeven\"><td>Memory cache</td><td>%d entries / %llu bytes / %u%% used</td></tr>\n",
               cache->memory_objects, (unsigned long long)cache->memory_bytes,
               percent(cache->memory_bytes, memory_limit));
    for (const auto &store : cache->stores) {
        if (store->path.empty())
            continue;
        page->Addf("<tr><td>Disk cache %s</td><td>%d entries / %llu bytes / %u%% used</td></tr>\n",
                   h(store->path).c_str(), store->objects, (unsigned long long)store->bytes,
                   percent(store->bytes, store->max_size));
    }
    page->Addf("</table></td></tr><tr><td><br></td></tr> <tr><td align=\"center\">\n");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Regular expression match</td></tr>\n");
    page->Addf("<form action=\"cache\" method=\"POST\">\n");
    page->Addf("<input type=\"hidden\" name=\"show\" value=\"yes\">\n");
    page->Addf("<tr><td align=\"center\" colspan=\"2\"><input type=\"text\" name=\"pattern\" value=\"%s\" "
               "size=\"80\"></td></tr>\n", h(pattern).c_str());
    for (const Moment &m : moments)
        moment_row(page, m);
    page->Addf("<tr><td>File size</td>");
    page->Addf("<td>All sizes: <input type=\"checkbox\" name=\"allsizes\" %s> \n", allsizes ? "checked" : "");
    page->Addf("<input type=\"textbox\" name=\"minsize\" value=\"%llu\" size=\"10\">", (unsigned long long)minimum);
    page->Addf(" - <input type=\"textbox\" name=\"maxsize\" value=\"%llu\" size=\"10\"> bytes",
               (unsigned long long)maximum);
    page->Addf("</td></tr>\n");
    page->Addf("<tr><td align=\"center\" colspan=\"2\">Delete matches: <input type=\"checkbox\" name=\"delete\">"
               "</td></tr>\n");
    page->Addf("<tr><td><br></td></tr> <tr class=\"dialogfoot\"><td align=\"center\" colspan=\"2\">"
               "<input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table></td></tr><tr><td><br></td></tr>\n");
    page->Addf("<tr><td align=\"center\">");
    page->Addf("<table class=\"list\">\n");
    if (show) {
        page->Addf("<tr class=\"listhead\"><td><b>URL</b></td><td><b>Size</b></td><td><b>Mem</b></td>"
                   "<td><b>Disk</b></td><td>Users</td></tr>\n");
        int listed = 0, in_use = 0;
        cache->each([&](CACHEMAP *object) {
            if (object->mtime < moments[0].value || object->mtime > moments[1].value ||
                object->atime < moments[2].value || object->atime > moments[3].value ||
                object->size < minimum || object->size > maximum)
                return;
            if (object->refcount > 0) {
                in_use++;
                return;
            }
            const char *key = object->key ? object->key : "";
            if (expression && reg_exec(expression, key) != 0)
                return;
            if (remove) {
                if (broken_pattern)
                    return;
                object->refcount++;
                cache->invalidate_unlocked(object);
                return;
            }
            const char *sep = strstr(key, "://");
            if (sep == nullptr || sep - key > 15)
                return;
            std::string scheme(key, (size_t)(sep - key));
            page->Addf("<tr class=\"%s\"><td><a href=\"%s://xx--cache.%s\">%s</a></td><td align=\"right\">%llu"
                       "</td><td align=\"center\">%s</td><td align=\"center\">%s</td><td>%d</td></tr>\n",
                       row_class((unsigned)listed), h(href_safe(scheme)).c_str(),
                       h(href_safe(sep + 3)).c_str(), h1(key).c_str(), (unsigned long long)object->size,
                       (object->flags & CACHE_MEM) ? "yes" : "no", (object->flags & CACHE_DISK) ? "yes" : "no",
                       object->refcount);
            listed++;
        });
        page->Addf("<tr><td colspan=\"2\" align=\"left\">listed %d files</td><td colspan=\"2\" align=\"right\">"
                   "another %d files that were in use</td></tr>\n", listed, in_use);
    }
    cache->unlock();
    if (expression)
        reg_free(expression);
    page->Addf("</table> </td></tr> </table>\n");
}

// Queues the URL of the "queue" argument when it parses, then shows the
// form and the queue, copied under the section's mutex and written after.
void interface_page_prefetch(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    if (prefetch_section == nullptr) {
        absent(page, "Link prefetching");
        return;
    }
    std::string queue = arg(args, "queue");
    if (!queue.empty()) {
        URL *url = url_parse(queue.c_str());
        if (url)
            prefetch_section->queue_add(url, nullptr, PREFETCH_NO_LIMIT, 1);
    }
    page->Addf("<table cellspacing=\"0\" cellpadding=\"0\" border=\"0\" width=\"100%%\"><tr><td "
               "align=\"center\">\n");
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Add URL to prefetch "
               "queue</td></tr>\n");
    page->Addf("<form action=\"prefetch\" method=\"POST\">\n");
    page->Addf("<tr><td align=\"center\" colspan=\"2\"><input type=\"text\" name=\"queue\" "
               "size=\"80\"></td></tr>\n");
    page->Addf("<tr><td><br></td></tr> <tr><td align=\"center\" colspan=\"2\"><input "
               "type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table></td></tr><tr> </table></td></tr><td><br></td></tr>\n");
    std::vector<std::string> urls;
    prefetch_section->mutex_lock();
    for (PREFETCH_QUEUE *q = prefetch_section->queue_head; q; q = q->next) {
        char *text = url_create(q->url);
        urls.emplace_back(text ? text : "");
        free(text);
    }
    prefetch_section->unlock();
    page->Addf("<tr><td align=\"center\"><table class=\"list\">\n");
    unsigned n = 0;
    for (const std::string &url : urls)
        page->Addf("<tr class=\"%s\"><td>%s</td></tr>\n", row_class(n++), h1(url).c_str());
    page->Addf("</table> </td></tr></table>\n");
}

void interface_page_urlbl(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    if (urlbl_section == nullptr) {
        absent(page, "The URL blacklist");
        return;
    }
    bool submitted = arg(args, "show") == "true";
    std::string domain = arg(args, "domain");
    std::string file = arg(args, "file");
    page->Addf(OUTER_TABLE);
    page->Addf("<table class=\"bigdialog\">\n");
    page->Addf("<form action=\"urlbl\" method=\"POST\">");
    page->Addf("<tr class=\"dialoghead\"><td colspan=\"2\" align=\"center\">Search URL blacklist</td></tr>\n");
    // Patterns that do not compile count as absent.
    regexp_t *domain_expression = domain.empty() ? nullptr : reg_compile(domain.c_str(), REGEXP_ICASE);
    regexp_t *file_expression = file.empty() ? nullptr : reg_compile(file.c_str(), REGEXP_ICASE);
    urlbl_section->read_lock();
    const URLBLCategoryMap &map = urlbl_section->category_map();
    page->Addf("<tr><td colspan=\"2\" align=\"center\"><table class=\"checklist\"><tr>\n");
    unsigned boxes = 0;
    for (const auto &category : map) {
        bool marked = !submitted || !arg(args, category.first.c_str()).empty();
        std::string name = h(category.first);
        page->Addf("<td><input type=\"checkbox\" name=\"%s\"%s></td><td>%s</td>", name.c_str(),
                   marked ? " checked" : "", name.c_str());
        if (++boxes % 8 == 0)
            page->Addf("</tr>\n<tr>");
    }
    page->Addf("</tr></table></td></tr\n");
    page->Addf("<tr><td>Domain</td><td><input type=\"text\" name=\"domain\" value=\"%s\" size=\"80\">\n",
               h(domain).c_str());
    page->Addf("<tr><td>File</td><td><input type=\"text\" name=\"file\" value=\"%s\" size=\"80\">\n",
               h(file).c_str());
    page->Addf("<input type=\"hidden\" name=\"show\" value=\"true\">\n");
    page->Addf("<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\"></td></tr>\n");
    page->Addf("</form></table></td></tr>\n");
    if (submitted) {
        page->Addf("<tr><td><br></td></tr>\n");
        page->Addf("<table class=\"list\">\n");
        page->Addf("<tr class=\"listhead\"><td>Category</td><td>Domain</td><td>Path</td></tr>\n");
        for (const auto &category : map) {
            if (arg(args, category.first.c_str()).empty())
                continue;
            unsigned n = 0;
            std::string name = h(category.first);
            for (const auto &host : category.second) {
                if (domain_expression && reg_exec(domain_expression, host.first.c_str()) != 0)
                    continue;
                std::string shown = h(host.first);
                if (host.second.empty()) {
                    if (file_expression == nullptr || reg_exec(file_expression, "/") == 0)
                        page->Addf("<tr class=\"%s\"><td>%s</td><td>%s</td><td>/</td>\n", row_class(n++),
                                   name.c_str(), shown.c_str());
                    continue;
                }
                for (const std::string &prefix : host.second) {
                    if (file_expression && reg_exec(file_expression, prefix.c_str()) != 0)
                        continue;
                    page->Addf("<tr class=\"%s\"><td>%s</td><td>%s</td><td>%s</td>\n", row_class(n++),
                               name.c_str(), shown.c_str(), h(prefix).c_str());
                }
            }
        }
        page->Addf("</table>\n");
    }
    urlbl_section->unlock();
    if (domain_expression)
        reg_free(domain_expression);
    if (file_expression)
        reg_free(file_expression);
}

void interface_page_sortmark(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    sortmarks_page(page, arg(args, "domain"), arg(args, "refresh"));
}
