// Access rules: which clients may use the proxy and with which rights, and
// the authentication processor that applies them to every request.
//
// The "access" section holds an allow list, a deny list and a built-in
// default rule.  Evaluating them for a request yields the one rule applied
// to the connection, or none (the request is refused).  Applying a rule
// writes what every later stage reads: the access word, the bypass bits,
// the starting profiles, the identity text, the web-interface credentials
// and the rule's statistics.  A rule that wants credentials sets
// AUTH_REQUIRED, and access_auth answers with a challenge.
//
// Rules match the connection's own address; a client-sent X-Forwarded-For
// is only written into the identity text, never tested.
//
// "access" fields, read by position:
//   global 0  mode                BOOL                0 deny list first, else allow list first
//   global 1  ntlm                BOOL                offer NTLM and Negotiate, relayed to the service
//   global 2  auth_service        STRING              host of the authentication service (port 8080)
//   rule 0    enabled             BOOL
//   rule 1    comment             STRING
//   rule 2    log_profiles        BOOL                log each profile the rule adds
//   rule 3    groups              STRING_LIST         directory groups (system accounts only)
//   rule 4    interfaces          STRING_LIST         "address:port" entries, "*" for any part
//   rule 5    client_ranges       IP_RANGE_LIST       client addresses; empty: every client
//   rule 6    auth_mode           STRING_SELECT_ONE   0 rule account, 1 system accounts
//   rule 7    user                STRING              system: expression; rule: exact name
//   rule 8    password            STRING              rule account: exact password; empty any
//   rule 9    access              STRING_SELECT_MANY  access word (ACCESS_* bits in order)
//   rule 10   bypass              STRING_SELECT_MANY  bypass bits OR-ed in (BYPASS_* in order)
//   rule 11   interface_user      STRING
//   rule 12   interface_password  STRING
//   rule 13   connection_profiles STRING              comma-separated starting profiles
// Subsection 0 "allow" and 1 "deny" use the same rule fields.
//
// Lock order: the directory cache's lock (set_connection_dn) before the
// section's read lock; inside the read lock "profiles" and "general"
// (profiles_update, the realm), the password cache's lock and the "ldap"
// section's read lock; atomlock innermost.
#ifndef KV_ACCESS_ACCESS_H
#define KV_ACCESS_ACCESS_H

#include <cstdint>
#include <list>
#include <string>

#include "config/section.h"
#include "config/values.h"
#include "runtime/misc.h"
#include "runtime/regexp.h"

struct CONNECTION_T;
class Filebuf;
class Stats;

// Values of Access::auth_mode.
enum {
    ACCESS_AUTH_RULE = 0,    // credentials compared with the rule's user and password
    ACCESS_AUTH_SYSTEM = 1,  // credentials verified by the system's accounts
};

// Longest user name, password and identity text.
#define ACCESS_CREDENTIAL_MAX 510
// Longest realm of the challenge.
#define ACCESS_REALM_MAX 254
// Longest decoded Basic credentials.
#define ACCESS_BASIC_MAX 8191

// One access rule.
class Access {
public:
    // The default rule: enabled, every right (access word -1), nothing
    // else; it has statistics of its own.
    Access();
    // A rule built from an item of "allow" or "deny".  A user expression
    // that does not compile, a field value that did not parse or an
    // interface entry that is not "address:port" is logged and marks the
    // rule broken: a broken allow rule admits nobody, a broken deny rule
    // refuses everybody.
    explicit Access(const Item &item);
    // A rule owns its compiled expression and a counted reference to its
    // statistics, and is never copied.
    Access(const Access &) = delete;
    Access &operator=(const Access &) = delete;
    // Drops the rule's reference to its statistics.
    ~Access();

    int32_t enabled;
    std::string comment;
    int32_t log_profiles;
    StringList groups;
    StringList interfaces;
    IpRangeList client_ranges;
    int32_t auth_mode;             // ACCESS_AUTH_*
    std::string user;
    std::string password;
    uint32_t access;               // ACCESS_* bits
    uint32_t bypass;               // BYPASS_* bits
    std::string interface_user;
    std::string interface_password;
    StringList connection_profiles;
    regexp_t *user_regex;          // owned; null when user is empty
    bool broken;                   // a condition of it is written wrong
    Stats *stats;                  // one counted reference

private:
    void compile();
};

// Verifies a user name and password against the system's accounts (the
// password cache, then the directory when set_connection_dn found the
// user's DN, else PAM): 1 accepted, 0 refused.  access_verify_system is
// the proxy's own; tests may install another.  While it is null every such
// check is refused, so a rule of system accounts never admits a request it
// cannot verify.  Called with the section's read lock held.
typedef int (*access_verify_t)(CONNECTION_T *connection, const char *user,
                               const char *password);
extern access_verify_t access_system_verify;
int access_verify_system(CONNECTION_T *connection, const char *user, const char *password);

class AccessSection : public Section {
public:
    // Registers access_auth as the callback of PROCESSOR_AUTH.
    AccessSection();
    ~AccessSection() override;

    // Section: rebuilds the allow and deny lists; the default rule stays.
    void update() override;

    // Whether the rule applies to the connection for the credentials (each
    // may be null: no credentials).  Tests the interfaces, the client's own
    // address and the credentials, not the password of a system account.
    // A rule of the deny list (`refusing`) never tests a password, and its
    // user condition only narrows it: without one it refuses requests with
    // and without credentials alike; with one, only requests whose user
    // name meets it, whatever their password.
    bool matches(const Access &rule, const CONNECTION_T *connection,
                 const char *user, const char *password, bool refusing = false) const;

    // The rule to apply, or null when the request is refused.  The caller
    // holds the read lock.
    const Access *check(const CONNECTION_T *connection, const char *user,
                        const char *password) const;

    // Applies a rule to the connection.  The caller holds the read lock.
    void setup(CONNECTION_T *connection, const Access *rule);

    // Evaluates the rules without credentials and applies the rule found:
    // 1.  Without one, logs the refusal and writes the request's access-log
    // and extended-log lines (TCP_DENIED, "access-section"): 0.
    int check_and_setup(CONNECTION_T *connection);

    // Evaluates the rules with credentials and verifies them; the outcome
    // is AUTH_REQUIRED (set: a new challenge is due) and the fields the
    // applied rule writes.  Returns 0 when the request is refused: no rule
    // applies to the credentials, and either none applies to the request
    // without them either (no credentials can admit it) or a deny rule
    // names the user.  The refusal is then logged and recorded as by
    // check_and_setup(connection), AUTH_REQUIRED is set, and the caller
    // answers with the refusal.  Otherwise 1.
    int check_and_setup(CONNECTION_T *connection, const char *user,
                        const char *password);

    // Global field 1 under the read lock.
    bool is_ntlm_enabled();

    // Host name of the authentication service (global field 2), a copy
    // taken under the read lock.
    std::string auth_service_get();

    // Logs a PAM failure and, for statuses that refuse the credentials,
    // records the pair as refused in the password cache.  Takes the
    // password cache's lock itself.
    static void display_pam_msg(int status, const char *user, const char *password);

    const int32_t *mode;  // global field 0, read under the lock
    const int32_t *ntlm;  // global field 1, read under the lock
    const std::string *auth_service;  // global field 2; null: the default host

private:
    bool user_refused(const Access &rule, const CONNECTION_T *connection,
                      const char *user) const;
    const Access *first_match(const std::list<Access> &list,
                              const CONNECTION_T *connection, const char *user,
                              const char *password) const;

    std::list<Access> allow;
    std::list<Access> deny;
    Access default_rule;
};

extern AccessSection *access_section;

// The PROCESSOR_AUTH callback: finds the request's credentials,
// applies the access rules and answers the request when it may not go on.
// NTLM and Negotiate messages are relayed to the authentication service
// when global field 1 is on.
// Returns 0 when the request goes on; 1 when it was answered: the
// connection's response head is set (a 401/407 challenge, or 403 with the
// "noaccess" page), and the body buffer (buffer, else the connection's
// request body) holds the answer's body: the page, or nothing for a
// challenge, so the request body never goes back to the client.
int access_auth(CONNECTION_T *connection, Filebuf *buffer);

#endif
