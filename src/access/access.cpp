// The "access" section: rule matching, policy evaluation, applying a rule
// to a connection, and the authentication processor access_auth.
#include "access/access.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <arpa/inet.h>

#include "access/ldap_profile.h"
#include "access/ntlm_talk.h"
#include "access/pam.h"
#include "access/password_cache.h"
#include "config/general.h"
#include "config/profiles.h"
#include "engine/connection.h"
#include "engine/header.h"
#include "engine/options.h"
#include "engine/protocol.h"
#include "engine/socket.h"
#include "engine/templates.h"
#include "runtime/blowfish.h"
#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/processors.h"
#include "runtime/stats.h"

AccessSection *access_section = nullptr;
access_verify_t access_system_verify = access_verify_system;

namespace {

// What a request's credentials turned out to be.
enum {
    CREDENTIALS_NONE = 0,      // none, or unusable: the rules see an anonymous request
    CREDENTIALS_NO_COLON = 1,  // Basic credentials without ":": nothing to verify
    CREDENTIALS_PAIR = 2,      // a user name and a password
    CREDENTIALS_RELAY = 3,     // an NTLM or Negotiate message for the service
};

// Host of the authentication service when the configuration names none.
const char *const AUTH_SERVICE_DEFAULT = "127.0.0.1";

const char *client_address(const CONNECTION_T *connection);
bool interface_matches(const std::string &entry, const CONNECTION_T *connection);
bool interface_entry_valid(const std::string &entry);
void ident_set(CONNECTION_T *connection, const char *user);
std::string realm_get();
const char *credentials_of(const HEADER *request, bool transparent,
                           const std::string &realm);
int credentials_decode(CONNECTION_T *connection, const char *value,
                       std::string &user, std::string &password);
Filebuf *answer_body(CONNECTION_T *connection, Filebuf *buffer);
void response_set(CONNECTION_T *connection, HEADER *head);
int challenge_if_required(CONNECTION_T *connection, Filebuf *body,
                          bool transparent, const std::string &realm);
int challenge_relayed(CONNECTION_T *connection, Filebuf *body, bool transparent,
                      const std::string &scheme_word, bool relayed, int relay_result);
int refuse(CONNECTION_T *connection, Filebuf *body);
void refusal_record(CONNECTION_T *connection);

const char *client_address(const CONNECTION_T *connection)
{
    return connection->client_ip ? connection->client_ip : "";
}

// One entry of a rule's listeners: "*:*", or "address:port" where either
// part may be "*" (a port part beginning with "*" matches every port).
// The address is a dotted quad of at most 15 characters; a longer one, or
// an entry without ":", matches nothing.
bool interface_matches(const std::string &entry, const CONNECTION_T *connection)
{
    if (entry == "*:*")
        return true;
    size_t colon = entry.find(':');
    if (colon == std::string::npos || colon > 15)
        return false;
    std::string address = entry.substr(0, colon);
    std::string port = entry.substr(colon + 1);
    bool port_ok = (!port.empty() && port[0] == '*') ||
                   atoi(port.c_str()) == connection->listen_port;
    bool address_ok = address == "*" ||
                      (connection->interface_ip != nullptr &&
                       address == connection->interface_ip);
    return port_ok && address_ok;
}

// An entry interface_matches can read: "*" or a dotted quad, ":", then "*"
// or a port from 1 to 65535.
bool interface_entry_valid(const std::string &entry)
{
    size_t colon = entry.find(':');
    if (colon == std::string::npos)
        return false;
    std::string address = entry.substr(0, colon);
    std::string port = entry.substr(colon + 1);
    struct in_addr parsed;
    if (address != "*" && (address.size() > 15 || inet_pton(AF_INET, address.c_str(), &parsed) != 1))
        return false;
    if (port == "*")
        return true;
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos)
        return false;
    int number = atoi(port.c_str());
    return number >= 1 && number <= 65535;
}

// "user@address", the address being the request's X-Forwarded-For value
// when it has one (it names the client behind another proxy in the logs),
// else the client's own; at most ACCESS_CREDENTIAL_MAX characters.
void ident_set(CONNECTION_T *connection, const char *user)
{
    const HEADER *request = connection->request;
    const char *address = request && request->x_forwarded_for && *request->x_forwarded_for
                              ? request->x_forwarded_for
                              : client_address(connection);
    char ident[ACCESS_CREDENTIAL_MAX + 1];
    snprintf(ident, sizeof(ident), "%s@%s", user, address);
    free(connection->ident);
    connection->ident = xstrdup(ident);
}

// The realm of the challenge: -H, else the "general" proxy host name.
std::string realm_get()
{
    std::string realm = proxyhost;
    if (realm.empty() && general_section != nullptr)
        realm = general_section->proxy_host_get();
    if (realm.size() > ACCESS_REALM_MAX)
        realm.resize(ACCESS_REALM_MAX);
    return realm;
}

// A transparent request carries credentials for the proxy in
// Authorization only when it is addressed to the proxy itself; any other
// request in Proxy-Authorization.
const char *credentials_of(const HEADER *request, bool transparent,
                           const std::string &realm)
{
    if (request == nullptr)
        return nullptr;
    if (!transparent)
        return request->proxy_authorization;
    if (request->authorization == nullptr)
        return nullptr;
    if (request->host_header && strcasecmp(request->host_header, realm.c_str()) != 0)
        return nullptr;
    if (request->host && strcasecmp(request->host, realm.c_str()) != 0)
        return nullptr;
    return request->authorization;
}

// Recognises the scheme word (at most 9 characters; case counts) and
// decodes Basic credentials.  Anything that cannot be used (no blank, a
// word that is not recognised, base64 that does not decode or does not fit,
// a control byte in the decoded text) counts as no credentials.  NTLM and
// Negotiate messages are for the authentication service.
int credentials_decode(CONNECTION_T *connection, const char *value,
                       std::string &user, std::string &password)
{
    const char *blank = strchr(value, ' ');
    if (blank == nullptr) {
        putlog(LOG_ERROR, "security: [IP:%s] invalid authorization header",
               client_address(connection));
        return CREDENTIALS_NONE;
    }
    std::string word(value, (size_t)(blank - value));
    if (word.size() > 9)
        word.clear();

    if (word.compare(0, 5, "Basic") == 0 && word.size() >= 5) {
        connection->auth_scheme = 0;
    } else {
        if (word.compare(0, 4, "NTLM") == 0 && word.size() >= 4)
            connection->auth_scheme = 1;
        else if (word == "Negotiate")
            connection->auth_scheme = 2;
        else
            return CREDENTIALS_NONE;
        return CREDENTIALS_RELAY;
    }

    char decoded[ACCESS_BASIC_MAX + 1];
    int64_t n = from64tobits(decoded, ACCESS_BASIC_MAX, blank + 1);
    if (n < 0) {
        putlog(LOG_SECURITY, "security: [IP:%s] invalid Basic credentials ignored",
               client_address(connection));
        return CREDENTIALS_NONE;
    }
    decoded[n] = '\0';
    for (int64_t i = 0; i < n; i++) {
        if (decoded[i] == '\0' || decoded[i] == '\r' || decoded[i] == '\n') {
            putlog(LOG_SECURITY, "security: [IP:%s] control bytes in Basic credentials, ignored",
                   client_address(connection));
            return CREDENTIALS_NONE;
        }
    }
    const char *colon = strchr(decoded, ':');
    if (colon == nullptr)
        return CREDENTIALS_NO_COLON;
    user.assign(decoded, (size_t)(colon - decoded));
    password.assign(colon + 1);
    return CREDENTIALS_PAIR;
}

// The buffer the engine sends as the body of an answer set here.
Filebuf *answer_body(CONNECTION_T *connection, Filebuf *buffer)
{
    if (buffer != nullptr)
        return buffer;
    if (connection->request_body == nullptr)
        connection->request_body = new Filebuf();
    return connection->request_body;
}

void response_set(CONNECTION_T *connection, HEADER *head)
{
    http_header_free(connection->response);
    connection->response = head;
}

// Sends a challenge when the applied rule wants credentials or they
// failed: 401 to a transparent request, 407 to any other, with an empty
// body.
int challenge_if_required(CONNECTION_T *connection, Filebuf *body,
                          bool transparent, const std::string &realm)
{
    if (!(connection->connection_flags & AUTH_REQUIRED))
        return 0;
    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = transparent ? 401 : 407;
    head->flags |= HEADER_LENGTH;
    head->content_length = 0;
    const char *name = transparent ? "WWW-Authenticate" : "Proxy-Authenticate";
    if (access_section->is_ntlm_enabled()) {
        // Negotiate and NTLM first, each on a line of its own, then Basic.
        for (const char *scheme : {"Negotiate", "NTLM"}) {
            HTTP_HEADER line;
            line.name = name;
            line.value = scheme;
            head->headers.push_back(line);
        }
    }
    std::string challenge = "Basic realm=\"" + realm + "\"";
    header_field_set(transparent ? &head->www_authenticate
                                 : &head->proxy_authenticate_header,
                     challenge.c_str());
    body->Resize(0);
    response_set(connection, head);
    return 1;
}

// The challenge of a relayed handshake: the service's last challenge, else
// the scheme word the client sent.  A message not relayed yet is relayed
// now.  While the handshake goes on the client connection stays open for
// its next message.
int challenge_relayed(CONNECTION_T *connection, Filebuf *body, bool transparent,
                      const std::string &scheme_word, bool relayed, int relay_result)
{
    if (!(connection->connection_flags & AUTH_REQUIRED))
        return 0;
    if (!relayed)
        relay_result = ntlm_communicate(connection, nullptr);
    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = transparent ? 401 : 407;
    head->flags |= HEADER_LENGTH;
    head->content_length = 0;
    const char *challenge = connection->auth_challenge != nullptr
                                ? connection->auth_challenge
                                : scheme_word.c_str();
    header_field_set(transparent ? &head->www_authenticate
                                 : &head->proxy_authenticate_header,
                     challenge);
    if (relay_result == 401 || relay_result == 407)
        connection->keepalive_client = 1;
    else
        putlog(LOG_ERROR, "[IP:%s] security: %s:%d failed to initialize authentication [%s]",
               client_address(connection), "access_auth", __LINE__, scheme_word.c_str());
    body->Resize(0);
    response_set(connection, head);
    return 1;
}

// The refusal of the access rules: the "noaccess" page in place of
// whatever body the request carried, 403 unless a template gives a status.
int refuse(CONNECTION_T *connection, Filebuf *body)
{
    putlog(LOG_SECURITY, "[IP:%s] Access Denied by Access Restrictions",
           client_address(connection));
    int code = -1;
    Filebuf *page = template_section
                        ? template_section->get(connection, "noaccess", &code)
                        : nullptr;
    HEADER *head = header_new();
    head->kind = HEADER_RESPONSE;
    head->status = code != -1 ? code : 403;  // get sets only a code in 100-599
    head->flags |= HEADER_LENGTH;
    body->Resize(0);
    if (page != nullptr) {
        body->Swap(page);
        if (page->type != nullptr)
            header_field_set(&head->content_type, page->type);
        delete page;
    }
    head->content_length = body->size;
    response_set(connection, head);
    return 1;
}

// Logs the access rules' refusal and writes the request's access-log and
// extended-log records.
void refusal_record(CONNECTION_T *connection)
{
    putlog(LOG_SECURITY, "[IP:%s] access policy has refused connection on port %d",
           client_address(connection), connection->listen_port);
    LogEntry &entry = connection->log_entry;
    entry.set_cachecode(LOGENTRY_TCP_DENIED);
    entry.filter_name = "access-section";
    entry.filtering_reason = "access policy restrictions";
    entry.status = 403;
    entry.Write();
    entry.apache_Write();
}

}  // namespace

// ------------------------------------------------------------------- Access

Access::Access()
    : enabled(1), log_profiles(0), auth_mode(ACCESS_AUTH_RULE), access(0xFFFFFFFFu),
      bypass(0), user_regex(nullptr), broken(false), stats(userstats_init())
{
}

Access::Access(const Item &item)
    : enabled(item.fields[0].int_value),
      comment(item.fields[1].raw),
      log_profiles(item.fields[2].int_value),
      groups(item.fields[3].string_list),
      interfaces(item.fields[4].string_list),
      client_ranges(item.fields[5].ip_ranges),
      auth_mode(item.fields[6].int_value),
      user(item.fields[7].raw),
      password(item.fields[8].raw),
      access((uint32_t)item.fields[9].int_value),
      bypass((uint32_t)item.fields[10].int_value),
      interface_user(item.fields[11].raw),
      interface_password(item.fields[12].raw),
      connection_profiles(item.fields[13].raw, ','),
      user_regex(nullptr),
      broken(false),
      stats(userstats_init())
{
    compile();
    const char *outcome = item.subsection_name == "deny" ? "refuses every client"
                                                         : "is disabled";
    if (broken)
        putlog(LOG_ERROR, "access: rule \"%s\" %s: its user expression does not compile",
               comment.c_str(), outcome);
    // A condition written wrong would otherwise be read as "any client" or
    // "any listener".
    if (item.flawed()) {
        broken = true;
        putlog(LOG_ERROR, "access: rule \"%s\" %s: a value of it is flawed", comment.c_str(),
               outcome);
    }
    for (const std::string &entry : interfaces)
        if (!interface_entry_valid(entry)) {
            broken = true;
            putlog(LOG_ERROR, "access: rule \"%s\" %s: an interface entry is flawed",
                   comment.c_str(), outcome);
            config_flaw_report("flawed XML file, section access, element %s: interfaces must "
                               "be a list of address:port entries (\"*\" for any part), but "
                               "it is given value %s",
                               item.subsection_name.c_str(), item.fields[4].raw.c_str());
            break;
        }
}

Access::~Access()
{
    if (user_regex != nullptr)
        reg_free(user_regex);
    stats_release(stats);
}

// Only a rule of system accounts reads its user as an expression; a rule
// account's user is a plain name, which need not be a valid expression.
// An expression that does not compile disables the rule rather than
// letting every user name pass.
void Access::compile()
{
    if (auth_mode != ACCESS_AUTH_SYSTEM || user.empty())
        return;
    user_regex = reg_compile(user.c_str(), REGEXP_ICASE);
    broken = user_regex == nullptr;
}

// ------------------------------------------------------------ AccessSection

AccessSection::AccessSection() : Section("access", 0)
{
    // The schema must declare every field read below.
    ASSERT(fields.size() >= 2);
    ASSERT(subsections.size() >= 2 && subsections[0].fields.size() >= 14 &&
           subsections[1].fields.size() >= 14);
    mode = &fields[0].int_value;
    ntlm = &fields[1].int_value;
    auth_service = fields.size() >= 3 ? &fields[2].raw : nullptr;
    processors.Add(access_auth, PROCESSOR_AUTH);
}

AccessSection::~AccessSection() = default;

void AccessSection::update()
{
    allow.clear();
    deny.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny.emplace_back(item);
}

namespace {

// Whether a system account named user meets the rule: its name matches
// the rule's user expression, and the rule's group list accepts the
// connection's directory groups or its distinguished names.
bool system_user_matches(const Access &rule, const CONNECTION_T *connection, const char *user)
{
    if (rule.user_regex != nullptr && reg_exec(rule.user_regex, user) != 0)
        return false;
    return profile_find(connection->ldap_groups, rule.groups) ||
           profile_find(connection->dn_list, rule.groups);
}

}  // namespace

bool AccessSection::matches(const Access &rule, const CONNECTION_T *connection,
                            const char *user, const char *password, bool refusing) const
{
    if (rule.enabled == 0 || rule.broken)
        return false;

    if (!rule.interfaces.empty()) {
        bool found = false;
        for (const std::string &entry : rule.interfaces)
            if (interface_matches(entry, connection)) {
                found = true;
                break;
            }
        if (!found)
            return false;
    }

    if (!rule.client_ranges.has(client_address(connection)))
        return false;

    if (refusing)
        return user_refused(rule, connection, user);

    if (rule.auth_mode == ACCESS_AUTH_SYSTEM)
        return user == nullptr || system_user_matches(rule, connection, user);

    if (rule.user.empty() ? user != nullptr : user != nullptr && rule.user != user)
        return false;
    if (rule.auth_mode != ACCESS_AUTH_RULE)
        return true;
    return rule.password.empty() || password == nullptr || rule.password == password;
}

// A deny rule's user condition names whom it refuses, and the name it
// tests is only claimed (no password is tested here), so a name can only
// narrow the rule: without a user condition the rule refuses every request,
// with or without credentials; with one, only requests claiming a name
// that meets it.  Were a request without credentials refused by a rule
// with a user condition, any other claimed name would get past the rule
// where sending nothing did not.
bool AccessSection::user_refused(const Access &rule, const CONNECTION_T *connection,
                                 const char *user) const
{
    if (rule.auth_mode == ACCESS_AUTH_SYSTEM)
        return user != nullptr ? system_user_matches(rule, connection, user)
                               : rule.user.empty() && rule.groups.empty();
    return rule.user.empty() || (user != nullptr && rule.user == user);
}

const Access *AccessSection::first_match(const std::list<Access> &list,
                                         const CONNECTION_T *connection,
                                         const char *user,
                                         const char *password) const
{
    // A flawed rule is disabled, which must never widen the access: an
    // allow rule then admits nobody, a deny rule refuses everybody.
    bool deny_list = &list == &deny;
    for (const Access &rule : list)
        if ((deny_list && rule.enabled != 0 && rule.broken) ||
            matches(rule, connection, user, password, deny_list))
            return &rule;
    return nullptr;
}

const Access *AccessSection::check(const CONNECTION_T *connection,
                                   const char *user, const char *password) const
{
    if (*mode != 0) {
        const Access *admitted = first_match(allow, connection, user, password);
        if (admitted == nullptr)
            return nullptr;
        if (first_match(deny, connection, user, password) != nullptr)
            return nullptr;
        return admitted;
    }
    if (first_match(deny, connection, user, password) == nullptr)
        return &default_rule;
    return first_match(allow, connection, user, password);
}

void AccessSection::setup(CONNECTION_T *connection, const Access *rule)
{
    if (rule->auth_mode == ACCESS_AUTH_SYSTEM ||
        (!rule->user.empty() && !rule->password.empty()))
        connection->connection_flags |= AUTH_REQUIRED;
    else
        ident_set(connection, "anonymous");

    connection->profiles.clear();
    for (const std::string &name : rule->connection_profiles) {
        if (connection->profiles.has(name))
            continue;
        connection->profiles.push_back(name);
        if (rule->log_profiles == 1)
            StringList::show_p("Added", name);
    }

    connection->bypass |= rule->bypass;
    connection->access_flags = rule->access;
    connection->interface_user = rule->interface_user;
    connection->interface_password = rule->interface_password;

    // The new reference first: the old and the new may be the same.
    Stats *previous = connection->user_stats;
    connection->user_stats = stats_hold(rule->stats);
    stats_release(previous);
}

int AccessSection::check_and_setup(CONNECTION_T *connection)
{
    read_lock();
    const Access *rule = check(connection, nullptr, nullptr);
    if (rule != nullptr)
        setup(connection, rule);
    unlock();
    if (rule != nullptr)
        return 1;
    refusal_record(connection);
    return 0;
}

int AccessSection::check_and_setup(CONNECTION_T *connection, const char *user,
                                   const char *password)
{
    const char *address = client_address(connection);
    // The user's DN and groups, which the rules test, come from the
    // directory cache before the section's lock is taken.
    set_connection_dn(user, connection);
    read_lock();
    const Access *rule = check(connection, user, password);

    if (rule == nullptr) {
        // The credentials fit no rule.  When the rules refuse the request
        // without credentials too, no credentials can admit it (a rule that
        // admits a user also applies to a request without credentials, and
        // a deny rule that refuses those refuses every user), and a user
        // that a deny rule names is refused as such: either is refused
        // rather than challenged again or let in as anonymous.
        const Access *anonymous = check(connection, nullptr, nullptr);
        bool refused = anonymous == nullptr ||
                       (first_match(deny, connection, user, password) != nullptr &&
                        first_match(deny, connection, nullptr, nullptr) == nullptr);
        if (refused) {
            connection->connection_flags |= AUTH_REQUIRED;
            unlock();
            putlog(LOG_WARNING, "security: [IP:%s] access refused for %s@%s", address, user,
                   address);
            refusal_record(connection);
            return 0;
        }
        // A request that may go on without them gets the rule for
        // anonymous requests (which asks again when it wants credentials);
        // it is never named after the user it failed to prove.
        if (connection->request && connection->request->proxy_authorization) {
            setup(connection, anonymous);
            unlock();
            return 1;
        }
        connection->connection_flags |= AUTH_REQUIRED;
        unlock();
        putlog(LOG_WARNING, "security: [IP:%s] authentication failed for %s@%s",
               address, user, address);
        return 1;
    }

    if (rule->auth_mode != ACCESS_AUTH_SYSTEM) {
        putlog(LOG_DEBUG, "security: [IP:%s] authentication succeeded for %s", address, user);
    } else {
        size_t user_length = strlen(user);
        size_t password_length = strlen(password);
        if (user_length == 0 || password_length == 0 ||
            user_length > ACCESS_CREDENTIAL_MAX || password_length > ACCESS_CREDENTIAL_MAX) {
            connection->connection_flags |= AUTH_REQUIRED;
            unlock();
            putlog(LOG_WARNING,
                   "security: [IP:%s] authentication failed either username or password "
                   "is more than 510 characters", address);
            return 1;
        }
        // A connection the authentication service vouched for needs no
        // password for its own user; any other name is verified.
        bool vouched = connection->auth_state == 2 && connection->auth_user != nullptr &&
                       strcmp(connection->auth_user, user) == 0;
        if (!vouched) {
            bool verified = access_system_verify != nullptr &&
                            access_system_verify(connection, user, password) == 1;
            if (!verified) {
                if (access_system_verify == nullptr)
                    putlog(LOG_WARNING,
                           "security: [IP:%s] authentication failed for %s: system "
                           "accounts cannot be verified", address, user);
                connection->connection_flags |= AUTH_REQUIRED;
                unlock();
                return 1;
            }
        }
    }

    setup(connection, rule);
    bypass_check(connection);
    if (profile_section != nullptr)
        profile_section->profiles_update(connection);
    connection->connection_flags &= ~AUTH_REQUIRED;
    unlock();
    ident_set(connection, user);
    return 1;
}

// The password cache first (unless switched off with -P 0:0), then the
// directory for a user whose DN it knows, else PAM.  Only answers that
// prove the password good or bad are remembered; a directory that did not
// answer and PAM's other failures are asked again next time.
int access_verify_system(CONNECTION_T *connection, const char *user, const char *password)
{
    const char *address = client_address(connection);
    if (authflag == 0) {
        int cached = check_password_cache(user, password);
        if (cached == PASSWORD_CACHE_GOOD)
            return 1;
        if (cached == PASSWORD_CACHE_BAD) {
            putlog(LOG_WARNING, "security: [IP:%s] password cache: authentication failed for %s",
                   address, user);
            return 0;
        }
    }
    if (connection->dn_list.size() > 1) {
        int result = auth_ldap(user, password, connection);
        if (result == 0) {
            putlog(LOG_SECURITY, "[IP:%s] LDAP: authentication succeeded for %s", address, user);
            update_password_cache(user, password, PASSWORD_CACHE_GOOD);
            return 1;
        }
        if (result == -1)
            update_password_cache(user, password, PASSWORD_CACHE_BAD);
        return 0;
    }
    int status = auth_pam(user, password);
    if (status == PAM_SUCCESS) {
        putlog(LOG_SECURITY, "[IP:%s] PAM: authentication succeeded for %s", address, user);
        update_password_cache(user, password, PASSWORD_CACHE_GOOD);
        return 1;
    }
    AccessSection::display_pam_msg(status, user, password);
    return 0;
}

bool AccessSection::is_ntlm_enabled()
{
    read_lock();
    bool on = *ntlm != 0;
    unlock();
    return on;
}

std::string AccessSection::auth_service_get()
{
    read_lock();
    std::string host = auth_service != nullptr ? *auth_service : std::string();
    unlock();
    return host.empty() ? std::string(AUTH_SERVICE_DEFAULT) : host;
}

// ------------------------------------------------------------- access_auth

int access_auth(CONNECTION_T *connection, Filebuf *buffer)
{
    if (access_section == nullptr)
        return 0;
    Filebuf *body = answer_body(connection, buffer);
    const HEADER *request = connection->request;
    bool transparent = request != nullptr && request->kind == HEADER_TRANSPARENT;
    std::string realm = realm_get();

    const char *value = credentials_of(request, transparent, realm);
    std::string user, password;
    int credentials = value != nullptr
                          ? credentials_decode(connection, value, user, password)
                          : CREDENTIALS_NONE;
    if (credentials == CREDENTIALS_RELAY && !access_section->is_ntlm_enabled())
        credentials = CREDENTIALS_NONE;

    if (credentials == CREDENTIALS_PAIR) {
        int admissible = access_section->check_and_setup(connection, user.c_str(),
                                                         password.c_str());
        explicit_bzero(&password[0], password.size());
        if (!admissible)
            return refuse(connection, body);
    }
    if (credentials == CREDENTIALS_PAIR || credentials == CREDENTIALS_NO_COLON)
        return challenge_if_required(connection, body, transparent, realm);

    if (credentials == CREDENTIALS_RELAY) {
        std::string word(value, (size_t)(strchr(value, ' ') - value));
        bool relayed = false;
        int relay_result = 0;
        if (connection->auth_state != 2) {
            relay_result = ntlm_communicate(connection, nullptr);
            if (relay_result != 407 && relay_result != 200)
                putlog(LOG_ERROR, "security: [IP:%s] %s:%d failed to initialize authentication [%s]",
                       client_address(connection), "access_auth", __LINE__, word.c_str());
            relayed = true;
            if (connection->auth_state != 2) {
                // A request the rules refuse outright is refused, whatever
                // its handshake.
                if (!access_section->check_and_setup(connection))
                    return refuse(connection, body);
                return challenge_relayed(connection, body, transparent, word, relayed,
                                         relay_result);
            }
        }
        if (!access_section->check_and_setup(connection, connection->auth_user,
                                             connection->auth_user))
            return refuse(connection, body);
        if (!(connection->connection_flags & AUTH_REQUIRED))
            return 0;
        putlog(LOG_SECURITY, "warn: [IP:%s] NTLM user [%s] denied by access restrictions",
               client_address(connection), connection->auth_user);
        if (!access_section->check_and_setup(connection))
            return refuse(connection, body);
        return challenge_relayed(connection, body, transparent, word, relayed, relay_result);
    }

    if (!access_section->check_and_setup(connection))
        return refuse(connection, body);
    statincr_ipaddresses(connection);
    if (!(connection->connection_flags & AUTH_REQUIRED))
        return 0;
    if (connection->auth_state == 2 && connection->auth_user != nullptr &&
        access_section->is_ntlm_enabled()) {
        if (!access_section->check_and_setup(connection, connection->auth_user,
                                             connection->auth_user))
            return refuse(connection, body);
        if (!(connection->connection_flags & AUTH_REQUIRED))
            return 0;
        putlog(LOG_SECURITY, "warn: [IP:%s] access restrictions: blocked user[%s]",
               client_address(connection), connection->auth_user);
    }
    return challenge_if_required(connection, body, transparent, realm);
}
