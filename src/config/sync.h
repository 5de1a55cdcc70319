// Configuration sync: a slave (-M host:port) pulls its master's
// configuration document from the master's export page, loads the chosen
// sections (-S, less -E) from it and rewrites its own file (-c).
#ifndef KV_CONFIG_SYNC_H
#define KV_CONFIG_SYNC_H

#include <string>

// Fetches a URL for sync: the HTTP status, or a negative value when no
// response came; fills the body and the Last-Modified value (empty when
// the response has none).  Installed by the engine at start-up; while it
// is null every attempt fails as without a response.
typedef int (*ConfigSyncFetch)(const std::string &url, std::string &body,
                               std::string &last_modified);
extern ConfigSyncFetch config_sync_fetch;

// One attempt; the argument is not read (a timer callback).  Does nothing
// on an instance that is not a slave.
void config_sync(void *arg);

// A section name against the -S and -E lists (comma-separated, items not
// trimmed, compared without case; an empty -S list chooses every section).
bool config_sync_chosen(const std::string &name, const char *sections, const char *excluded);

#endif
