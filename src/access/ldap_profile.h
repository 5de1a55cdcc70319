// The directory: the "ldap" section with its entries, the cipher key of
// the stored bind passwords, the pool of bound handles, the end-user bind,
// the directory (DN) cache with its lookups, scans, instance sync and
// export, and set_connection_dn, which gives a connection its user's DN
// components and groups.
//
// "ldap" fields, read by position:
//   global 0  enabled          BOOL    off: every directory operation declines
//   entry 0   enabled          BOOL
//   entry 1   comment          STRING
//   entry 2   proxy_host       STRING  empty, or the one proxy (-H) that may use the entry
//   entry 3   server           STRING  directory server, or the instance a sync pulls from
//   entry 4   port             INT     below 1: entry skipped
//   entry 5   ssl              select  0 plain, 1 "ssl" (opened alike), else unusable
//   entry 6   bind_method      INT     0-2 bind as bind_user, else empty DN; not 0: sync source
//   entry 7   size_limit       INT
//   entry 8   reserved         STRING
//   entry 9   bind_user        STRING  empty: anonymous bind
//   entry 10  bind_password    STRING  stored form of the password cipher
//   entry 11  base_dn          STRING  empty: entry skipped
//   entry 12  user_attribute   STRING  empty: entry skipped
//   entry 13  group_attribute  STRING
//
// Locks: the section's read lock, inside it the pool mutex or ldap_lock
// (the cipher key).  The DN cache's lock (in GLOBAL_T) and documentlock
// (last_update) are never taken with another of these held.  No lock but
// the section's read lock is held across directory traffic.
#ifndef KV_ACCESS_LDAP_PROFILE_H
#define KV_ACCESS_LDAP_PROFILE_H

#include <ctime>
#include <list>
#include <string>

#include <pthread.h>

#include "config/section.h"

struct ldap;
typedef struct ldap LDAP;
struct CONNECTION_T;
class Filebuf;

// Caller buffers for texts handed out by get_ld and the pool.
#define LDAP_TEXT_MAX 512
// Caller buffers of the DN cache lookups.
#define DN_TEXT_MAX 2048

// Handle levels.
enum {
    LDAP_LEVEL_USER = 0,     // last bound as an end user
    LDAP_LEVEL_SERVICE = 2,  // bound with the entry's own credentials
};

// One directory entry.
struct LdapAuth {
    LdapAuth();
    explicit LdapAuth(const Item &item);

    int enabled;
    std::string comment;
    std::string proxy_host;
    std::string server;
    int port;
    int ssl;
    int bind_method;
    int size_limit;
    std::string reserved;
    std::string bind_user;
    std::string bind_password;  // stored form
    std::string base_dn;
    std::string user_attribute;
    std::string group_attribute;
};

// One pooled handle.
struct ldappool_t {
    LDAP *handle;
    time_t added;
    char *base;
    char *user_attribute;
    char *group_attribute;
    int level;
};

class LdapPool {
public:
    LdapPool();
    ~LdapPool();
    LdapPool(const LdapPool &) = delete;
    LdapPool &operator=(const LdapPool &) = delete;

    // Pools a handle, evicting the oldest when the pool is full.
    void Add(LDAP *handle, const char *base, const char *user_attribute,
             const char *group_attribute, int level);
    // The oldest handle of at least that level, out of the pool, with its
    // texts copied into the three LDAP_TEXT_MAX buffers; null when none.
    LDAP *Find(char *base, char *user_attribute, char *group_attribute, int level);
    // Unbinds handles older than CLIENT_POOL_TIMEOUT or beyond capacity.
    void Clean();
    void CleanUnlocked();
    // Handles held now.
    int Size();
    // MAXTHREADS / 20.
    static int Capacity();

private:
    pthread_mutex_t mutex;
    std::list<ldappool_t *> list;
};

class LdapSection : public Section {
public:
    LdapSection();
    ~LdapSection() override;

    void update() override;
    bool is_ldap_enabled();

    // A bound handle (from the pool when one of the level is there, else
    // opened from the first usable entry) with the entry's base DN, user
    // and group attributes in the three LDAP_TEXT_MAX buffers; null when
    // LDAP is off or no entry works.
    LDAP *get_ld(char *base, char *user_attribute, char *group_attribute, int level);

    // Low-level bind: the DN for methods 0-2, else "".  The library's code.
    int do_auth_ldap(LDAP *handle, const char *unused, const char *dn,
                     const char *password, int bind_method);
    // End-user bind: 0 accepted, -1 invalid credentials, 1 anything else.
    int do_auth_ldap(const char *dn, const char *password, CONNECTION_T *connection);

    // The lookup on a cache miss: 0 found or "NOT-FOUND", -1 failure.
    int re_check_dn_cache(const char *user, char *dn, char *groups);

    // One refresh: a sync, else a scan.  1 after a successful sync.
    int ldap_init_routine();
    // Pulls the cache of another instance: 1 after a 200 answer, else -1.
    int ldap_sync();
    // The export body: "user\tDN[\tgroups]\n" per cache entry.
    void interface_page_sendldap(Filebuf *out);

    // The cipher key of the stored bind passwords.
    void set_our_key();
    int get_our_key(unsigned char *buffer, size_t size);

    time_t last_update;  // under documentlock

    // Decrypts a stored password with the section's key into out
    // (LDAP_TEXT_MAX bytes); its length, or -1.
    int password_reveal(const std::string &stored, char *out);

private:
    std::list<LdapAuth> entries;
    const int32_t *enabled;
    char key[512];
    size_t key_length;
};

extern LdapSection *ldap_section;
extern LdapPool *ldappool;
extern pthread_rwlock_t ldap_lock;

// End-user bind as the DN the connection's dn_list spells: 1 when LDAP is
// off, else do_auth_ldap's result.
int auth_ldap(const char *user, const char *password, CONNECTION_T *connection);

// Values put into a search filter, escaped as RFC 4515 asks: "*", "(",
// ")", "\" and NUL become "\2a", "\28", "\29", "\5c", "\00".
std::string ldap_filter_escape(const std::string &value);

// The scan of a whole directory into the cache: 0, or 1 when none could
// be made.
int getdnfor_authentication(LDAP *handle, const char *label, const char *unused,
                            const char *user_attribute, const char *group_attribute,
                            const char *base);

// ---- the DN cache ----

struct DN_CACHE_ENTRY {
    DN_CACHE_ENTRY *next;
    time_t time;
    char *user;    // owned; compared without case
    char *dn;      // owned
    char *groups;  // owned, "," joined
};

struct DN_CACHE_TABLE {
    int size;
    DN_CACHE_ENTRY **buckets;
};

DN_CACHE_TABLE *dn_cache_create(int size);
unsigned int dn_cache_key(int size, const char *text);
DN_CACHE_ENTRY *dn_cache_search(DN_CACHE_TABLE *table, const char *user);
DN_CACHE_ENTRY *dn_cache_insert(DN_CACHE_TABLE *table, const char *user, const char *dn,
                                const char *groups);
void dn_cache_purge(DN_CACHE_TABLE *table, const char *user);

// Replaces the user's entry under the table's write lock.
void update_dn_cache(const char *user, const char *dn, const char *groups);
// 0 with DN and groups (DN_TEXT_MAX buffers) from the cache or the
// directory ("NOT-FOUND" for an unknown user); -1 when LDAP is off or the
// directory failed.
int check_dn_cache(const char *user, char *dn, char *groups);

// Fills the connection's dn_list and ldap_groups for the user; the number
// of DN components, or -1.
int set_connection_dn(const char *user, CONNECTION_T *connection);

// Reads an export body into the cache (the reading side of the sync);
// returns the lines stored.
int dn_cache_read_export(const char *body, size_t length);

// The start-up hook and the 10-second timer.
int ldap_configure(void *first, void *second);
void ldap_configure(void *arg);

#endif
