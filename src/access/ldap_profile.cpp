// The "ldap" section, the handle pool, binds, the DN cache and its refresh.
#include "access/ldap_profile.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <sys/time.h>

#include <ldap.h>

#include "config/general.h"
#include "config/xml.h"
#include "engine/connection.h"
#include "engine/fetch.h"
#include "engine/global.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/socket.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/processors.h"

LdapSection *ldap_section = nullptr;
LdapPool *ldappool = nullptr;
pthread_rwlock_t ldap_lock = PTHREAD_RWLOCK_INITIALIZER;

namespace {

// Longest DN that an end-user bind sends.
const size_t AUTH_DN_MAX = 254;
// Longest texts of one cache entry written by a lookup or a scan.
const size_t DN_VALUE_MAX = 2046;
// Longest value of one group.
const size_t GROUP_VALUE_MAX = 254;
// Longest export body a sync reads.
const size_t SYNC_BODY_MAX = 64u << 20;

void copy_text(char *out, size_t size, const char *text)
{
    if (out != nullptr && size > 0)
        s_strncpy(out, text != nullptr ? text : "", size);
}

// Network and operation time-outs of every directory exchange, from the
// general settings (seconds, at least 1).
void ldap_timeouts(LDAP *handle)
{
    int connect_seconds = general_section ? general_section->ctimeout_get(nullptr) : 60;
    int io_seconds = general_section ? general_section->timeout_get(nullptr) : 60;
    struct timeval network = {connect_seconds > 0 ? connect_seconds : 1, 0};
    struct timeval operation = {io_seconds > 0 ? io_seconds : 1, 0};
    ldap_set_option(handle, LDAP_OPT_NETWORK_TIMEOUT, &network);
    ldap_set_option(handle, LDAP_OPT_TIMEOUT, &operation);
}

LDAP *ldap_open_handle(const std::string &server, int port)
{
    char uri[600];
    snprintf(uri, sizeof uri, "ldap://%s:%d", server.c_str(), port);
    LDAP *handle = nullptr;
    if (ldap_initialize(&handle, uri) != LDAP_SUCCESS)
        return nullptr;
    return handle;
}

// The values of an attribute joined by ",", each at most 254 characters,
// the whole at most 2046.
std::string attribute_join(LDAP *handle, LDAPMessage *entry, const char *attribute)
{
    std::string joined;
    if (attribute == nullptr || *attribute == '\0')
        return joined;
    struct berval **values = ldap_get_values_len(handle, entry, attribute);
    if (values == nullptr)
        return joined;
    for (int i = 0; values[i] != nullptr; i++) {
        std::string value(values[i]->bv_val, values[i]->bv_len);
        if (value.size() > GROUP_VALUE_MAX)
            value.resize(GROUP_VALUE_MAX);
        std::string next = joined.empty() ? value : joined + "," + value;
        if (next.size() > DN_VALUE_MAX)
            break;
        joined = next;
    }
    ldap_value_free_len(values);
    return joined;
}

std::string entry_dn(LDAP *handle, LDAPMessage *entry)
{
    char *dn = ldap_get_dn(handle, entry);
    std::string text = dn != nullptr ? dn : "";
    if (dn != nullptr)
        ldap_memfree(dn);
    if (text.size() > DN_VALUE_MAX)
        text.resize(DN_VALUE_MAX);
    return text;
}

int search_subtree(LDAP *handle, const char *base, const std::string &filter,
                   LDAPMessage **result)
{
    *result = nullptr;
    int seconds = general_section ? general_section->timeout_get(nullptr) : 60;
    struct timeval limit = {seconds > 0 ? seconds : 1, 0};
    return ldap_search_ext_s(handle, base, LDAP_SCOPE_SUBTREE, filter.c_str(), nullptr, 0,
                             nullptr, nullptr, &limit, 0, result);
}

void string_split_into(StringList &list, const char *text)
{
    char **parts = string_break(text, ',');
    for (int i = 0; parts != nullptr && parts[i] != nullptr; i++)
        list.push_back(parts[i]);
    array_free(parts);
}

const char *client_address(const CONNECTION_T *connection)
{
    return connection != nullptr && connection->client_ip ? connection->client_ip : "";
}

}  // namespace

// ----------------------------------------------------------------- entries

LdapAuth::LdapAuth()
    : enabled(1), port(389), ssl(0), bind_method(0), size_limit(1024)
{
}

LdapAuth::LdapAuth(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      proxy_host(item.fields[2].raw),
      server(item.fields[3].raw),
      port(item.fields[4].int_value),
      ssl(item.fields[5].int_value),
      bind_method(item.fields[6].int_value),
      size_limit(item.fields[7].int_value),
      reserved(item.fields[8].raw),
      bind_user(item.fields[9].raw),
      bind_password(item.fields[10].raw),
      base_dn(item.fields[11].raw),
      user_attribute(item.fields[12].raw),
      group_attribute(item.fields[13].raw)
{
}

// -------------------------------------------------------------------- pool

LdapPool::LdapPool()
{
    pthread_mutex_init(&mutex, nullptr);
}

LdapPool::~LdapPool()
{
    pthread_mutex_lock(&mutex);
    for (ldappool_t *entry : list) {
        if (entry->handle != nullptr)
            ldap_unbind_ext_s(entry->handle, nullptr, nullptr);
        free(entry->base);
        free(entry->user_attribute);
        free(entry->group_attribute);
        free(entry);
    }
    list.clear();
    pthread_mutex_unlock(&mutex);
    pthread_mutex_destroy(&mutex);
}

int LdapPool::Capacity()
{
    return MAXTHREADS / 20;
}

int LdapPool::Size()
{
    pthread_mutex_lock(&mutex);
    int n = (int)list.size();
    pthread_mutex_unlock(&mutex);
    return n;
}

void LdapPool::Add(LDAP *handle, const char *base, const char *user_attribute,
                   const char *group_attribute, int level)
{
    if (handle == nullptr)
        return;
    int capacity = Capacity();
    if (capacity < 1) {
        // A pool without room keeps nothing.
        ldap_unbind_ext_s(handle, nullptr, nullptr);
        return;
    }
    auto *entry = static_cast<ldappool_t *>(xmalloc(sizeof(ldappool_t)));
    entry->handle = handle;
    entry->added = time(nullptr);
    entry->base = xstrdup(base ? base : "");
    entry->user_attribute = xstrdup(user_attribute ? user_attribute : "");
    entry->group_attribute = xstrdup(group_attribute ? group_attribute : "");
    entry->level = level;
    ldappool_t *evicted = nullptr;
    pthread_mutex_lock(&mutex);
    if ((int)list.size() >= capacity) {
        evicted = list.front();
        list.pop_front();
    }
    list.push_back(entry);
    pthread_mutex_unlock(&mutex);
    if (evicted != nullptr) {
        if (evicted->handle != nullptr)
            ldap_unbind_ext_s(evicted->handle, nullptr, nullptr);
        free(evicted->base);
        free(evicted->user_attribute);
        free(evicted->group_attribute);
        free(evicted);
    }
}

LDAP *LdapPool::Find(char *base, char *user_attribute, char *group_attribute, int level)
{
    pthread_mutex_lock(&mutex);
    if (list.empty()) {
        pthread_mutex_unlock(&mutex);
        return nullptr;
    }
    putlog(LOG_ADVICE, "ldap: pool size: %d", (int)list.size());
    for (auto it = list.begin(); it != list.end(); ++it) {
        ldappool_t *entry = *it;
        if (entry->handle == nullptr || entry->level < level)
            continue;
        list.erase(it);
        pthread_mutex_unlock(&mutex);
        copy_text(base, LDAP_TEXT_MAX, entry->base);
        copy_text(user_attribute, LDAP_TEXT_MAX, entry->user_attribute);
        copy_text(group_attribute, LDAP_TEXT_MAX, entry->group_attribute);
        LDAP *handle = entry->handle;
        free(entry->base);
        free(entry->user_attribute);
        free(entry->group_attribute);
        free(entry);
        return handle;
    }
    pthread_mutex_unlock(&mutex);
    return nullptr;
}

void LdapPool::Clean()
{
    pthread_mutex_lock(&mutex);
    CleanUnlocked();
    pthread_mutex_unlock(&mutex);
}

void LdapPool::CleanUnlocked()
{
    int n = (int)list.size();
    if (n == 0)
        return;
    time_t now = time(nullptr);
    int capacity = Capacity();
    int position = 0;
    int removed = 0;
    for (auto it = list.begin(); it != list.end(); position++) {
        ldappool_t *entry = *it;
        if (now >= entry->added + CLIENT_POOL_TIMEOUT || position > capacity) {
            it = list.erase(it);
            if (entry->handle != nullptr)
                ldap_unbind_ext_s(entry->handle, nullptr, nullptr);
            free(entry->base);
            free(entry->user_attribute);
            free(entry->group_attribute);
            free(entry);
            removed++;
        } else {
            ++it;
        }
    }
    putlog(LOG_NETWORK, "ldap: deleted %d out of % d connections", removed, n);
}

// ----------------------------------------------------------------- section

LdapSection::LdapSection() : Section("ldap", 0), last_update(time(nullptr)), key_length(0)
{
    ASSERT(fields.size() >= 1);
    ASSERT(subsections.size() >= 1 && subsections[0].fields.size() >= 14);
    enabled = &fields[0].int_value;
    memset(key, 0, sizeof key);
    hooks.Add(ldap_configure, HOOK_CONFIG);
}

LdapSection::~LdapSection() = default;

void LdapSection::update()
{
    entries.clear();
    set_our_key();
    for (const Item &item : subsections[0].items)
        entries.emplace_back(item);
}

bool LdapSection::is_ldap_enabled()
{
    read_lock();
    bool on = *enabled != 0;
    unlock();
    return on;
}

// The key is the process-wide key of the stored-password cipher, the one
// the password page of the web interface encrypts with.
void LdapSection::set_our_key()
{
    pthread_rwlock_wrlock(&ldap_lock);
    memset(key, 0, sizeof key);
    memcpy(key, privatise_key, sizeof privatise_key);
    key_length = sizeof privatise_key;
    pthread_rwlock_unlock(&ldap_lock);
}

int LdapSection::get_our_key(unsigned char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return 0;
    pthread_rwlock_rdlock(&ldap_lock);
    memset(buffer, 0, size);
    size_t n = key_length < size ? key_length : size;
    memcpy(buffer, key, n);
    pthread_rwlock_unlock(&ldap_lock);
    return (int)n;
}

int LdapSection::password_reveal(const std::string &stored, char *out)
{
    unsigned char cipher_key[1024];
    get_our_key(cipher_key, sizeof cipher_key);
    size_t length = stored.size() > 1023 ? 1023 : stored.size();
    int n = kelvarine_deprivatise(reinterpret_cast<const unsigned char *>(stored.data()),
                                  cipher_key, privatise_iv,
                                  reinterpret_cast<unsigned char *>(out), LDAP_TEXT_MAX - 1,
                                  (int)length);
    explicit_bzero(cipher_key, sizeof cipher_key);
    if (n < 1) {
        out[0] = '\0';
        return -1;
    }
    out[n] = '\0';
    return n;
}

int LdapSection::do_auth_ldap(LDAP *handle, const char *, const char *dn,
                              const char *password, int bind_method)
{
    const char *who = bind_method >= 0 && bind_method <= 2 ? dn : "";
    struct berval credentials;
    credentials.bv_val = const_cast<char *>(password != nullptr ? password : "");
    credentials.bv_len = password != nullptr ? strlen(password) : 0;
    return ldap_sasl_bind_s(handle, who, LDAP_SASL_SIMPLE, &credentials, nullptr, nullptr,
                            nullptr);
}

LDAP *LdapSection::get_ld(char *base, char *user_attribute, char *group_attribute, int level)
{
    read_lock();
    if (*enabled == 0) {
        unlock();
        return nullptr;
    }
    if (ldappool != nullptr) {
        LDAP *pooled = ldappool->Find(base, user_attribute, group_attribute, level);
        if (pooled != nullptr) {
            unlock();
            return pooled;
        }
    }
    for (const LdapAuth &entry : entries) {
        if (entry.enabled == 0)
            continue;
        if (!entry.proxy_host.empty() && entry.proxy_host != proxyhost)
            continue;
        if (entry.server.empty() || entry.base_dn.empty() || entry.user_attribute.empty() ||
            entry.port < 1)
            continue;
        char password[LDAP_TEXT_MAX];
        password[0] = '\0';
        bool with_user = !entry.bind_user.empty();
        if (with_user && password_reveal(entry.bind_password, password) < 1) {
            putlog(LOG_ERROR,
                   "security: failed to extract ldap password from privatised string of "
                   "directory %s:%d", entry.server.c_str(), entry.port);
            continue;
        }
        if (entry.ssl != 0 && entry.ssl != 1)
            continue;
        LDAP *handle = ldap_open_handle(entry.server, entry.port);
        if (handle == nullptr) {
            putlog(LOG_ERROR,
                   entry.ssl == 0 ? "[LDAP] ldap: init failed for server %s:%d"
                                  : "[LDAP] ssl init failed for server %s:%d",
                   entry.server.c_str(), entry.port);
            explicit_bzero(password, sizeof password);
            continue;
        }
        ldap_timeouts(handle);
        int version = LDAP_VERSION3;
        int code = ldap_set_option(handle, LDAP_OPT_PROTOCOL_VERSION, &version);
        if (code != LDAP_OPT_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible version, server %s:%d", code,
                   ldap_err2string(code), entry.server.c_str(), entry.port);
            ldap_unbind_ext_s(handle, nullptr, nullptr);
            explicit_bzero(password, sizeof password);
            continue;
        }
        int size_limit = entry.size_limit;
        int reported = 0;
        if (ldap_get_option(handle, LDAP_OPT_SIZELIMIT, &reported) == LDAP_OPT_SUCCESS &&
            reported < entry.size_limit) {
            putlog(LOG_ADVICE, "[LDAP: max record query limit] supported: %d, server %s:%d",
                   reported, entry.server.c_str(), entry.port);
            if (reported > 0)
                size_limit = reported;
        }
        ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &size_limit);
        int time_limit = CLIENT_POOL_TIMEOUT;
        code = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &time_limit);
        if (code != LDAP_OPT_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s] incompatible timelimit, server %s:%d", code,
                   ldap_err2string(code), entry.server.c_str(), entry.port);
            ldap_unbind_ext_s(handle, nullptr, nullptr);
            explicit_bzero(password, sizeof password);
            continue;
        }
        code = do_auth_ldap(handle, nullptr, with_user ? entry.bind_user.c_str() : nullptr,
                            with_user ? password : nullptr, entry.bind_method);
        explicit_bzero(password, sizeof password);
        if (code != LDAP_SUCCESS) {
            putlog(LOG_ERROR, "[LDAP:%d:%s]  server %s:%d", code, ldap_err2string(code),
                   entry.server.c_str(), entry.port);
            ldap_unbind_ext_s(handle, nullptr, nullptr);
            continue;
        }
        copy_text(base, LDAP_TEXT_MAX, entry.base_dn.c_str());
        copy_text(user_attribute, LDAP_TEXT_MAX, entry.user_attribute.c_str());
        if (!entry.group_attribute.empty())
            copy_text(group_attribute, LDAP_TEXT_MAX, entry.group_attribute.c_str());
        unlock();
        return handle;
    }
    unlock();
    return nullptr;
}

int LdapSection::do_auth_ldap(const char *dn, const char *password, CONNECTION_T *connection)
{
    char base[LDAP_TEXT_MAX] = "", user_attribute[LDAP_TEXT_MAX] = "",
         group_attribute[LDAP_TEXT_MAX] = "";
    LDAP *handle = get_ld(base, user_attribute, group_attribute, LDAP_LEVEL_USER);
    if (handle == nullptr)
        return 1;
    const char *address = client_address(connection);
    int time_limit = CLIENT_POOL_TIMEOUT;
    int code = ldap_set_option(handle, LDAP_OPT_TIMELIMIT, &time_limit);
    if (code != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[IP:%s] [LDAP:%d:%s] failed to set response timelimit", address,
               code, ldap_err2string(code));
        ldap_unbind_ext_s(handle, nullptr, nullptr);
        return 1;
    }
    int one = 1;
    code = ldap_set_option(handle, LDAP_OPT_SIZELIMIT, &one);
    if (code != LDAP_OPT_SUCCESS) {
        putlog(LOG_ERROR, "[IP: %s] [LDAP:%d:%s] failed to set sizelimit", address, code,
               ldap_err2string(code));
        ldap_unbind_ext_s(handle, nullptr, nullptr);
        return 1;
    }
    // An empty password would be an anonymous bind, which every server
    // accepts: it never proves anything.
    if (password == nullptr || *password == '\0') {
        ldappool != nullptr ? ldappool->Add(handle, base, user_attribute, group_attribute,
                                            LDAP_LEVEL_USER)
                            : (void)ldap_unbind_ext_s(handle, nullptr, nullptr);
        return -1;
    }
    int result;
    code = do_auth_ldap(handle, nullptr, dn, password, 0);
    if (code == LDAP_SUCCESS) {
        result = 0;
    } else if (code == LDAP_INVALID_CREDENTIALS) {
        // The password that was tried stays out of the log.
        putlog(LOG_SECURITY, "[IP:%s] [LDAP:%d:%s] warn: authentication failed [%s]",
               address, code, ldap_err2string(code), dn);
        result = -1;
    } else if (code == LDAP_SERVER_DOWN) {
        ldap_unbind_ext_s(handle, nullptr, nullptr);
        putlog(LOG_SECURITY, "[IP:%s] [LDAP:%d:%s] warn: failed to bind DN [%s]", address,
               code, ldap_err2string(code), dn);
        return 1;
    } else {
        result = 1;
    }
    if (ldappool != nullptr)
        ldappool->Add(handle, base, user_attribute, group_attribute, LDAP_LEVEL_USER);
    else
        ldap_unbind_ext_s(handle, nullptr, nullptr);
    return result;
}

int auth_ldap(const char *, const char *password, CONNECTION_T *connection)
{
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled())
        return 1;
    std::string dn;
    for (const std::string &part : connection->dn_list) {
        if (!dn.empty())
            dn += ",";
        dn += part;
    }
    if (dn.size() > AUTH_DN_MAX)
        dn.resize(AUTH_DN_MAX);
    return ldap_section->do_auth_ldap(dn.c_str(), password, connection);
}

std::string ldap_filter_escape(const std::string &value)
{
    std::string out;
    for (char c : value) {
        switch (c) {
        case '*': out += "\\2a"; break;
        case '(': out += "\\28"; break;
        case ')': out += "\\29"; break;
        case '\\': out += "\\5c"; break;
        case '\0': out += "\\00"; break;
        default: out += c; break;
        }
    }
    return out;
}

// ---------------------------------------------------------------- DN cache

DN_CACHE_TABLE *dn_cache_create(int size)
{
    if (size < 1)
        size = 1;
    auto *table = static_cast<DN_CACHE_TABLE *>(xmalloc(sizeof(DN_CACHE_TABLE)));
    table->size = size;
    size_t bytes = sizeof(DN_CACHE_ENTRY *) * (size_t)size;
    table->buckets = static_cast<DN_CACHE_ENTRY **>(xmalloc(bytes));
    memset(table->buckets, 0, bytes);
    return table;
}

unsigned int dn_cache_key(int size, const char *text)
{
    if (text == nullptr || *text == '\0' || size < 1)
        return 0;
    uint32_t sum = 0;
    for (const char *p = text; *p; p++) {
        int32_t c = (int8_t)*p;
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        sum += (uint32_t)(20 * c) + (uint32_t)(c >> 4) + (uint32_t)(c >> 2) + 8111u;
    }
    return sum % (uint32_t)size;
}

DN_CACHE_ENTRY *dn_cache_search(DN_CACHE_TABLE *table, const char *user)
{
    ASSERT(table != nullptr);
    if (user == nullptr)
        return nullptr;
    for (DN_CACHE_ENTRY *entry = table->buckets[dn_cache_key(table->size, user)];
         entry != nullptr; entry = entry->next)
        if (strcasecmp(entry->user, user) == 0)
            return entry;
    return nullptr;
}

DN_CACHE_ENTRY *dn_cache_insert(DN_CACHE_TABLE *table, const char *user, const char *dn,
                                const char *groups)
{
    ASSERT(table != nullptr);
    if (user == nullptr)
        return nullptr;
    auto *entry = static_cast<DN_CACHE_ENTRY *>(xmalloc(sizeof(DN_CACHE_ENTRY)));
    entry->next = nullptr;
    entry->time = time(nullptr);
    entry->user = xstrdup(user);
    entry->dn = xstrdup(dn ? dn : "");
    entry->groups = xstrdup(groups ? groups : "");
    DN_CACHE_ENTRY **link = &table->buckets[dn_cache_key(table->size, user)];
    while (*link != nullptr)
        link = &(*link)->next;
    *link = entry;
    return entry;
}

void dn_cache_purge(DN_CACHE_TABLE *table, const char *user)
{
    ASSERT(table != nullptr);
    if (user == nullptr)
        return;
    for (DN_CACHE_ENTRY **link = &table->buckets[dn_cache_key(table->size, user)];
         *link != nullptr; link = &(*link)->next) {
        if (strcasecmp((*link)->user, user) == 0) {
            DN_CACHE_ENTRY *gone = *link;
            *link = gone->next;
            free(gone->user);
            free(gone->dn);
            free(gone->groups);
            free(gone);
            return;
        }
    }
}

void update_dn_cache(const char *user, const char *dn, const char *groups)
{
    if (global == nullptr || global->dn_cache == nullptr || user == nullptr)
        return;
    pthread_rwlock_wrlock(&global->dn_cache_lock);
    dn_cache_purge(global->dn_cache, user);
    dn_cache_insert(global->dn_cache, user, dn, groups);
    pthread_rwlock_unlock(&global->dn_cache_lock);
}

int check_dn_cache(const char *user, char *dn, char *groups)
{
    if (global != nullptr && global->dn_cache != nullptr && user != nullptr) {
        pthread_rwlock_rdlock(&global->dn_cache_lock);
        DN_CACHE_ENTRY *entry = dn_cache_search(global->dn_cache, user);
        if (entry != nullptr) {
            copy_text(dn, DN_TEXT_MAX, entry->dn);
            copy_text(groups, DN_TEXT_MAX, entry->groups);
        }
        pthread_rwlock_unlock(&global->dn_cache_lock);
        if (entry != nullptr)
            return 0;
    }
    if (ldap_section == nullptr)
        return -1;
    return ldap_section->re_check_dn_cache(user, dn, groups);
}

int LdapSection::re_check_dn_cache(const char *user, char *dn, char *groups)
{
    if (!is_ldap_enabled() || user == nullptr)
        return -1;
    char base[LDAP_TEXT_MAX] = "", user_attribute[LDAP_TEXT_MAX] = "",
         group_attribute[LDAP_TEXT_MAX] = "";
    LDAP *handle = get_ld(base, user_attribute, group_attribute, LDAP_LEVEL_SERVICE);
    if (handle == nullptr)
        return -1;
    copy_text(dn, DN_TEXT_MAX, "NOT-FOUND");
    std::string name(user);
    if (name.size() > 510)
        name.resize(510);
    std::string filter = std::string("(&(objectclass=person)(") + user_attribute + "=" +
                         ldap_filter_escape(name) + "))";
    LDAPMessage *result = nullptr;
    int code = search_subtree(handle, base, filter, &result);
    if (code != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", code, ldap_err2string(code),
               filter.c_str());
        if (result != nullptr)
            ldap_msgfree(result);
        if (code == LDAP_SERVER_DOWN || code == LDAP_TIMEOUT || ldappool == nullptr)
            ldap_unbind_ext_s(handle, nullptr, nullptr);
        else
            ldappool->Add(handle, base, user_attribute, group_attribute, LDAP_LEVEL_SERVICE);
        return -1;
    }
    int count = ldap_count_entries(handle, result);
    if (count <= 0) {
        if (count < 0)
            putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], unexpected result count [%d]", count,
                   ldap_err2string(count), filter.c_str(), count);
        else
            putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s], user %s not found", 0,
                   ldap_err2string(0), filter.c_str(), user);
        ldap_msgfree(result);
        ldap_unbind_ext_s(handle, nullptr, nullptr);
        return 0;
    }
    LDAPMessage *entry = ldap_first_entry(handle, result);
    std::string found_groups = attribute_join(handle, entry, group_attribute);
    std::string found_dn = entry_dn(handle, entry);
    update_dn_cache(user, found_dn.c_str(), found_groups.c_str());
    copy_text(groups, DN_TEXT_MAX, found_groups.c_str());
    copy_text(dn, DN_TEXT_MAX, found_dn.c_str());
    ldap_msgfree(result);
    if (ldappool != nullptr)
        ldappool->Add(handle, base, user_attribute, group_attribute, LDAP_LEVEL_SERVICE);
    else
        ldap_unbind_ext_s(handle, nullptr, nullptr);
    return 0;
}

int set_connection_dn(const char *user, CONNECTION_T *connection)
{
    connection->dn_list.clear();
    connection->ldap_groups.clear();
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled() || user == nullptr ||
        *user == '\0')
        return -1;
    char dn[DN_TEXT_MAX] = "", groups[DN_TEXT_MAX] = "";
    if (check_dn_cache(user, dn, groups) == -1) {
        putlog(LOG_SECURITY, "ldap: [IP: %s] DN not found for user %s",
               client_address(connection), user);
        return -1;
    }
    string_split_into(connection->dn_list, dn);
    string_split_into(connection->ldap_groups, groups);
    return (int)connection->dn_list.size();
}

int getdnfor_authentication(LDAP *handle, const char *label, const char *,
                            const char *user_attribute, const char *group_attribute,
                            const char *base)
{
    if (user_attribute == nullptr || *user_attribute == '\0')
        return 1;
    if (handle == nullptr) {
        putlog(LOG_ADVICE, "Ldap Server Down, cannot authenticate %s", label ? label : "");
        return 1;
    }
    std::string attribute(user_attribute);
    if (attribute.size() > 480)
        attribute.resize(480);
    std::string filter = "(&(objectclass=person)(" + attribute + "=*))";
    LDAPMessage *result = nullptr;
    int code = search_subtree(handle, base, filter, &result);
    if (code != LDAP_SUCCESS) {
        putlog(LOG_ERROR, "[LDAP:%d:%s] search [%s]", code, ldap_err2string(code),
               filter.c_str());
        if (code == LDAP_SERVER_DOWN || code == LDAP_TIMEOUT || result == nullptr) {
            if (result != nullptr)
                ldap_msgfree(result);
            return 1;
        }
    }
    int processed = 0;
    for (LDAPMessage *entry = ldap_first_entry(handle, result); entry != nullptr;
         entry = ldap_next_entry(handle, entry)) {
        std::string user;
        struct berval **values = ldap_get_values_len(handle, entry, user_attribute);
        if (values != nullptr) {
            for (int i = 0; values[i] != nullptr; i++)
                user.assign(values[i]->bv_val, values[i]->bv_len);
            ldap_value_free_len(values);
        }
        // An entry without a user name cannot be looked up by one.
        if (user.empty())
            continue;
        if (user.size() > DN_VALUE_MAX)
            user.resize(DN_VALUE_MAX);
        std::string dn = entry_dn(handle, entry);
        std::string groups = attribute_join(handle, entry, group_attribute);
        update_dn_cache(user.c_str(), dn.c_str(), groups.c_str());
        processed++;
    }
    putlog(LOG_ADVICE, "ldap: cache: entries returned [%d] refreshed [%d]",
           ldap_count_entries(handle, result), processed);
    ldap_msgfree(result);
    return 0;
}

// ------------------------------------------------------ refresh and sync

int LdapSection::ldap_init_routine()
{
    if (!is_ldap_enabled())
        return 0;
    if (ldap_sync() == 1)
        return 1;
    char base[LDAP_TEXT_MAX] = "", user_attribute[LDAP_TEXT_MAX] = "",
         group_attribute[LDAP_TEXT_MAX] = "";
    LDAP *handle = get_ld(base, user_attribute, group_attribute, LDAP_LEVEL_SERVICE);
    if (handle == nullptr)
        return 0;
    if (getdnfor_authentication(handle, "", nullptr, user_attribute, group_attribute, base) ==
            0 &&
        ldappool != nullptr)
        ldappool->Add(handle, base, user_attribute, group_attribute, LDAP_LEVEL_SERVICE);
    else
        ldap_unbind_ext_s(handle, nullptr, nullptr);
    return 0;
}

int dn_cache_read_export(const char *body, size_t length)
{
    std::string text(body, length);
    int stored = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields;
        size_t at = 0;
        while (at < line.size()) {
            size_t tab = line.find('\t', at);
            if (tab == std::string::npos)
                tab = line.size();
            if (tab > at)
                fields.push_back(line.substr(at, tab - at));
            at = tab + 1;
        }
        if (fields.size() != 2 && fields.size() != 3)
            continue;
        std::string user = fields[0].substr(0, 126);
        std::string dn = fields[1].substr(0, 510);
        std::string groups = fields.size() == 3 ? fields[2].substr(0, 510) : "";
        update_dn_cache(user.c_str(), dn.c_str(), groups.c_str());
        stored++;
    }
    return stored;
}

namespace {

// One GET of the export from another instance, with Basic credentials when
// the URL carries them.  The status, Last-Modified and body come back;
// false when no answer arrived within the time-outs.
bool export_fetch(const URL *url, int *status, std::string *last_modified, std::string *body)
{
    int connect_seconds = general_section ? general_section->ctimeout_get(nullptr) : 60;
    int io_seconds = general_section ? general_section->timeout_get(nullptr) : 60;
    int fd = net_connect(url->host, url->port, connect_seconds);
    if (fd < 0)
        return false;
    Socket socket(fd);
    socket.SetTimeout(io_seconds);
    std::string authorization;
    if (url->user != nullptr && url->password != nullptr) {
        std::string pair = std::string(url->user) + ":" + url->password;
        std::vector<unsigned char> encoded(BASE64_ENCODED_SIZE(pair.size()));
        if (to64frombits(encoded.data(), encoded.size(),
                         reinterpret_cast<const unsigned char *>(pair.data()), pair.size()) > 0)
            authorization = "Authorization: Basic " +
                            std::string(reinterpret_cast<char *>(encoded.data())) + "\r\n";
        explicit_bzero(&pair[0], pair.size());
    }
    std::string request = "GET " + std::string(url->path) + " HTTP/1.0\r\nHost: " + url->host +
                          ":" + std::to_string(url->port) + "\r\n" + authorization +
                          "Connection: close\r\n\r\n";
    bool written = socket.Write(request.data(), (ssize_t)request.size()) >= 0 &&
                   socket.Flush() == 0;
    explicit_bzero(&request[0], request.size());
    if (!written)
        return false;
    std::string head;
    char line[8192];
    while (true) {
        ssize_t n = socket.GetLine(line, sizeof line, io_seconds);
        if (n <= 0 || head.size() > 65536)
            return false;
        if (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0) {
            if (head.empty())
                continue;
            break;
        }
        head += line;
    }
    head += "\r\n";
    HEADER *h = http_header_parse_response(head.c_str());
    if (h == nullptr)
        return false;
    *status = h->status;
    if (h->last_modified != nullptr)
        *last_modified = h->last_modified;
    bool counted = (h->flags & HEADER_LENGTH) != 0;
    uint64_t wanted = counted ? h->content_length : UINT64_MAX;
    http_header_free(h);
    body->clear();
    char block[16384];
    while (body->size() < wanted) {
        if (body->size() > SYNC_BODY_MAX)
            return false;
        uint64_t left = wanted - body->size();
        ssize_t n = socket.Read(block, left < sizeof block ? (ssize_t)left : (ssize_t)sizeof block,
                                io_seconds);
        if (n == 0 && !counted)
            break;
        if (n <= 0)
            return false;
        body->append(block, (size_t)n);
    }
    return true;
}

}  // namespace

int LdapSection::ldap_sync()
{
    putlog(LOG_ADVICE, "debug: ldap: checking if we must sync with proxy server");
    std::string server, credentials;
    int port = 0;
    bool found = false;
    read_lock();
    int number = 0;
    for (const LdapAuth &entry : entries) {
        number++;
        if (entry.enabled == 0)
            continue;
        if (entry.bind_method == 0) {
            putlog(LOG_ADVICE, "debug: ldap: entry:%d ldapmethod:%d ", number, 0);
            continue;
        }
        if (entry.server.empty() || entry.port < 1)
            continue;
        if (proxyhost[0] != '\0' && !entry.proxy_host.empty() &&
            entry.proxy_host.compare(0, 126, proxyhost, 0, 126) != 0)
            continue;
        if (!entry.bind_user.empty()) {
            char password[LDAP_TEXT_MAX];
            if (password_reveal(entry.bind_password, password) < 1) {
                putlog(LOG_ERROR,
                       "security: failed to extract ldap password from privatised string of "
                       "directory %s:%d", entry.server.c_str(), entry.port);
                continue;
            }
            std::string user = entry.bind_user.substr(0, entry.bind_user.find('@'));
            credentials = user + ":" + password + "@";
            explicit_bzero(password, sizeof password);
            if (credentials.size() > 1022)
                credentials.resize(1022);
        }
        server = entry.server.substr(0, 254);
        port = entry.port;
        found = true;
        break;
    }
    unlock();
    if (!found)
        return -1;
    std::string text = "http://" + credentials + server + ":" + std::to_string(port) +
                       "/kelvarine.cfg/ldapcache";
    explicit_bzero(&credentials[0], credentials.size());
    putlog(LOG_ADVICE, "debug: ldap: syncing with proxy server");
    URL *url = text.size() <= 511 ? url_parse(text.c_str()) : nullptr;
    explicit_bzero(&text[0], text.size());
    if (url == nullptr) {
        putlog(LOG_ERROR, "Ldap: No Response from %s:%d", server.c_str(), port);
        return -1;
    }
    int status = 0;
    std::string last_modified, body;
    bool answered = export_fetch(url, &status, &last_modified, &body);
    url_free(url);
    if (!answered) {
        putlog(LOG_ERROR, "Ldap: No Response from %s:%d", server.c_str(), port);
        return -1;
    }
    if (status != 200) {
        putlog(LOG_ERROR, "Ldap: %s:%d responded with %d", server.c_str(), port, status);
        return -1;
    }
    bool read_body = true;
    if (!last_modified.empty()) {
        struct tm tm;
        memset(&tm, 0, sizeof tm);
        const char *end = strptime(last_modified.c_str(), "%a, %d %b %Y %T GMT", &tm);
        if (end != nullptr) {
            time_t t = timegm(&tm);
            pthread_mutex_lock(&documentlock);
            time_t last = last_update;
            pthread_mutex_unlock(&documentlock);
            if (t >= last) {
                putlog(LOG_DEBUG, "Ldap: already syncronized with %s:%d at %d", server.c_str(),
                       port, (int)last);
                read_body = false;
            }
        }
    } else {
        putlog(LOG_ERROR, "Ldap: Cannot estimate last configuration update of %s",
               server.c_str());
    }
    if (read_body)
        dn_cache_read_export(body.data(), body.size());
    pthread_mutex_lock(&documentlock);
    last_update = time(nullptr);
    pthread_mutex_unlock(&documentlock);
    return 1;
}

void LdapSection::interface_page_sendldap(Filebuf *out)
{
    if (global == nullptr || global->dn_cache == nullptr)
        return;
    pthread_rwlock_rdlock(&global->dn_cache_lock);
    DN_CACHE_TABLE *table = global->dn_cache;
    for (int i = 0; i < table->size; i++) {
        for (DN_CACHE_ENTRY *entry = table->buckets[i]; entry != nullptr; entry = entry->next) {
            if (entry->groups[0] != '\0')
                out->Addf("%s\t%s\t%s\n", entry->user, entry->dn, entry->groups);
            else
                out->Addf("%s\t%s\n", entry->user, entry->dn);
        }
    }
    pthread_rwlock_unlock(&global->dn_cache_lock);
}

int ldap_configure(void *, void *)
{
    if (ldappool == nullptr)
        ldappool = new LdapPool();
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled())
        return -1;
    return ldap_section->ldap_init_routine() == 1 ? 0 : -1;
}

void ldap_configure(void *)
{
    if (ldap_section == nullptr || !ldap_section->is_ldap_enabled())
        return;
    if (ldappool != nullptr)
        ldappool->Clean();
    pthread_mutex_lock(&documentlock);
    bool due = time(nullptr) - ldap_section->last_update >= password_cachexpire;
    pthread_mutex_unlock(&documentlock);
    if (due)
        ldap_section->ldap_init_routine();
}
