// Host-name resolution through the process-wide DNS cache.
#include "engine/dns.h"

#include <arpa/inet.h>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <pthread.h>

#include "engine/counters.h"
#include "engine/global.h"
#include "runtime/hash.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"

HOSTENT *(*dns_resolver)(const char *name) = p_gethostbyname;

namespace {

bool make_key(const char *name, char *key);
bool numeric(const char *name);
HOSTENT *hostent_from_text(const char *text);

// Lower-cased copy of the name; false when it is too long to be one.
bool make_key(const char *name, char *key)
{
    size_t len = strlen(name);
    if (len > DNS_KEY_MAX)
        return false;
    for (size_t i = 0; i <= len; i++)
        key[i] = (char)tolower((unsigned char)name[i]);
    return true;
}

// Only digits and dots: meant as an address, never a host name (no
// top-level domain is numeric).
bool numeric(const char *name)
{
    if (*name == '\0')
        return false;
    for (const char *p = name; *p != '\0'; p++)
        if (!(*p == '.' || (*p >= '0' && *p <= '9')))
            return false;
    return true;
}

// A HOSTENT for a dotted quad; null when the text is not a valid address.
HOSTENT *hostent_from_text(const char *text)
{
    struct in_addr addr;
    if (inet_pton(AF_INET, text, &addr) != 1)
        return nullptr;
    HOSTENT *host = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    ASSERT_ALLOC(host, sizeof(HOSTENT));
    host->address = (char *)xmalloc(4);
    ASSERT_ALLOC(host->address, 4);
    memcpy(host->address, &addr, 4);
    host->length = 4;
    return host;
}

}  // namespace

HOSTENT *net_dns(const char *name)
{
    if (name == nullptr)
        return nullptr;
    char key[DNS_KEY_MAX + 1];
    if (!make_key(name, key)) {
        counters_dns_fail();
        putlog(LOG_ERROR, "DNS: failed: %.*s", 64, name);
        return nullptr;
    }

    // A dotted quad needs no lookup.  A numeric text that is no valid
    // address (a part above 255, a missing part) does not resolve: it
    // stands neither for 0.0.0.0 nor for a name to ask the DNS about.
    if (isip(name) || numeric(name)) {
        HOSTENT *host = hostent_from_text(name);
        if (host == nullptr)
            putlog(LOG_ERROR, "DNS: failed: %s", key);
        return host;
    }

    pthread_mutex_lock(&global->dns_lock);
    time_t t = time(nullptr);
    HASH_NODE *node = hash_search(global->dns_cache, key);
    if (node != nullptr) {
        if ((int64_t)t <= (int64_t)node->time + DNS_CACHE_TTL) {
            HOSTENT *host = hostent_from_text((const char *)node->value);
            if (host != nullptr) {
                counters_dns_hit();
                putlog(LOG_DEBUG, "DNS: cache: hit: %s -> %s", key,
                       (const char *)node->value);
                pthread_mutex_unlock(&global->dns_lock);
                return host;
            }
        }
        hash_purge(global->dns_cache, key);
    }
    pthread_mutex_unlock(&global->dns_lock);

    HOSTENT *host = dns_resolver(name);
    if (host == nullptr) {
        counters_dns_fail();
        putlog(LOG_ERROR, "DNS: failed: %s", key);
        return nullptr;
    }

    char text[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, host->address, text, sizeof(text)) == nullptr) {
        // Nothing to cache; the caller still gets the answer.
        return host;
    }
    pthread_mutex_lock(&global->dns_lock);
    // Another thread may have stored the name meanwhile: its node stays and
    // only takes this lookup's time stamp.
    node = hash_insert(global->dns_cache, key, xstrdup(text));
    if (node != nullptr)
        node->time = (uint32_t)t;
    counters_dns_miss();
    putlog(LOG_DEBUG, "DNS: cache: insert: %s -> %s", key, text);
    pthread_mutex_unlock(&global->dns_lock);
    return host;
}

void net_dns_purge(const char *name)
{
    if (name == nullptr || isip(name) || numeric(name))
        return;
    char key[DNS_KEY_MAX + 1];
    if (!make_key(name, key))
        return;
    pthread_mutex_lock(&global->dns_lock);
    hash_purge(global->dns_cache, key);
    pthread_mutex_unlock(&global->dns_lock);
}

void dnscache_clean(void *)
{
    pthread_mutex_lock(&global->dns_lock);
    hash_expire(global->dns_cache, DNS_CACHE_TTL);
    pthread_mutex_unlock(&global->dns_lock);
}
