// The administration pages of the web interface.
#include "interface/pages.h"

#include <pthread.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/section.h"
#include "config/xml.h"
#include "engine/clientpool.h"
#include "engine/connection.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/serverpool.h"
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
    pthread_rwlock_rdlock(&ring->lock);
    int capacity = ring->max;
    pthread_rwlock_unlock(&ring->lock);
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
    // The matching lines are copied under the read lock: nothing may log
    // while it is held, and escaping may.
    std::vector<std::string> lines;
    pthread_rwlock_rdlock(&ring->lock);
    for (LOGBUFFER_NODE *node = ring->head; node; node = node->next) {
        if (expression == nullptr || reg_exec(expression, node->text) == 0)
            lines.emplace_back(node->text);
    }
    pthread_rwlock_unlock(&ring->lock);
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

void interface_page_cache(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    absent(page, "The object cache");
}

void interface_page_prefetch(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    absent(page, "Link prefetching");
}

void interface_page_urlbl(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    absent(page, "The URL blacklist");
}

void interface_page_sortmark(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    absent(page, "Site categorisation");
}
