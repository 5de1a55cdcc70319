// Configuration sync: see sync.h.  An attempt replaces the document and
// loads the chosen sections under documentlock; it writes the local file
// and takes the master's time only when every chosen section loaded, so a
// failed attempt is repeated whole by the next one.
#include "config/sync.h"

#include <strings.h>
#include <tinyxml.h>

#include <cstring>
#include <ctime>

#include "config/section.h"
#include "config/values.h"
#include "config/xml.h"
#include "engine/options.h"
#include "runtime/log.h"
#include "runtime/misc.h"

namespace {

bool listed(const std::string &name, const char *list);
bool master_time(const std::string &text, time_t *when);
bool sections_load(TiXmlDocument *doc);

// An empty list names nothing.  Items are compared as written.
bool listed(const std::string &name, const char *list)
{
    char **items = string_break(list, ',');
    bool found = false;
    for (char **item = items; item && *item; item++)
        if (strcasecmp(*item, name.c_str()) == 0)
            found = true;
    array_free(items);
    return found;
}

// Last-Modified as the master writes it: an HTTP date, in UTC.
bool master_time(const std::string &text, time_t *when)
{
    struct tm parsed;
    memset(&parsed, 0, sizeof parsed);
    const char *end = strptime(text.c_str(), "%a, %d %b %Y %T GMT", &parsed);
    if (end == nullptr)
        return false;
    *when = timegm(&parsed);
    return true;
}

// Loads the chosen sections from the new document; false when one failed.
// The caller holds documentlock.
bool sections_load(TiXmlDocument *doc)
{
    bool ok = true;
    for (auto &entry : Section::map) {
        if (!config_sync_chosen(entry.first, syncsections, nosyncsections))
            continue;
        try {
            entry.second->load(doc, 1);
            putlog(LOG_SYNC, "syncronized section: %s", entry.first.c_str());
        } catch (ConfigError &) {
            putlog(LOG_ERROR, "sync: failed to syncronize section: %s ", entry.first.c_str());
            ok = false;
        }
    }
    return ok;
}

} // namespace

ConfigSyncFetch config_sync_fetch = nullptr;

bool config_sync_chosen(const std::string &name, const char *sections, const char *excluded)
{
    if (sections && sections[0] != '\0' && !listed(name, sections))
        return false;
    if (excluded && excluded[0] != '\0' && listed(name, excluded))
        return false;
    return true;
}

void config_sync(void *)
{
    if (!slave)
        return;
    char text[512];
    snprintf(text, sizeof text, "http://%s:%d/kelvarine.cfg/xml", masterhost, masterport);
    std::string url(text, strnlen(text, 255));
    std::string body, last_modified;
    int status = config_sync_fetch ? config_sync_fetch(url, body, last_modified) : -1;
    bool failed = true;
    time_t when = 0;
    if (status < 0) {
        putlog(LOG_SYNC, "error: No Response from %s:%d", masterhost, masterport);
    } else if (status != 200) {
        putlog(LOG_SYNC, "error: %s:%d responded with %d", masterhost, masterport, status);
    } else if (last_modified.empty() || !master_time(last_modified, &when)) {
        // A date that does not parse tells no more than a missing one.
        putlog(LOG_SYNC, "error: Cannot estimate last configuration update of %s", masterhost);
    } else if (when == documentsynctime.load()) {
        putlog(LOG_DEBUG, "sync: already syncronized with %s:%d at %d", masterhost, masterport,
               (int)when);
        return;
    } else {
        pthread_mutex_lock(&documentlock);
        TiXmlDocument *doc = config_document_parse(body.c_str());
        if (doc == nullptr) {
            pthread_mutex_unlock(&documentlock);
            putlog(LOG_SYNC, "error: invalid data recieved from %s:%d", masterhost, masterport);
        } else {
            delete document;
            document = doc;
            putlog(LOG_SYNC, "syncronizing with %s:%d", masterhost, masterport);
            bool loaded = sections_load(document);
            pthread_mutex_unlock(&documentlock);
            if (!loaded) {
                putlog(LOG_SYNC, "error: failed to synchronize local configuration file %s",
                       configfile);
            } else {
                failed = false;
                if (configfile[0] != '\0' && config_save(configfile)) {
                    putlog(LOG_SYNC, "synchronized local configuration file %s", configfile);
                    documentsynctime = when;
                } else {
                    putlog(LOG_SYNC, "error: failed to synchronize local configuration file %s",
                           configfile);
                }
            }
        }
    }
    if (failed)
        putlog(LOG_ERROR, "sync: failed to syncronize with master");
}
