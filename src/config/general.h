// The "general" and "ftp" sections: settings of the proxy itself, the
// per-profile connection rules that the engine reads on every request, and
// the settings of the FTP gateway.
//
// "general" fields, read by position:
//   global 0  proxy_host        STRING           host name of this proxy (stands in for -H)
//   global 1  temp_dir          STRING           directory of the scanners' temporary files
//   global 2  html_line_length  INT              run length after which HTML text is broken
//   global 3  pool_size         INT              most idle pooled server connections
//   global 4  pool_timeout      INT              seconds a pooled server connection may idle
//   rule 0    enabled           BOOL
//   rule 1    comment           STRING
//   rule 2    groups            STRING_LIST      against the user's directory groups
//   rule 3    profiles          STRING_LIST      against the request's profiles
//   rule 4    connect_timeout   INT              seconds
//   rule 5    io_timeout        INT              seconds
//   rule 6    keepalive_timeout INT              seconds
//   rule 7    max_download_buffer FILE_SIZE      largest response held whole
//   rule 8    max_upload_buffer FILE_SIZE        largest request body read whole
//   rule 9    buffer_wait       INT              seconds; 0 no limit
//   rule 10   connect_ports     PORT_RANGE_LIST  ports CONNECT may name; empty every port
//   rule 11   compress_mime     STRING           expression over the response Content-Type
//   rule 12   compress_responses BOOL
//   rule 13   request_compression BOOL
//   rule 14   x_forwarded_for   BOOL
//   rule 15   via               BOOL
//
// "ftp" fields (globals only):
//   0 passive BOOL, 1 timeout INT, 2 default_user STRING,
//   3 default_password STRING, 4 sort_order STRING_SELECT_ONE
//   (ascending, descending), 5 sort_field STRING_SELECT_ONE
//   (unsorted, name, size, date)
//
// Lock order: a section that reads "general" while it holds its own lock
// ("profiles", "forward") takes its own lock first.
#ifndef KV_CONFIG_GENERAL_H
#define KV_CONFIG_GENERAL_H

#include <cstdint>
#include <list>
#include <string>

#include "config/section.h"
#include "config/values.h"
#include "runtime/misc.h"
#include "runtime/regexp.h"

struct CONNECTION_T;

// Values used for a connection that no enabled rule matches.
#define GENERAL_DEFAULT_TIMEOUT 60

// One connection rule of "general".
class General {
public:
    // Built from an item, reading its fields by position.  Time-outs below
    // 1 second are raised to 1.  A Content-Type expression that does not
    // compile is logged and leaves the rule compressing nothing.  CONNECT
    // ports that do not parse let CONNECT reach no port under this rule:
    // read as empty they would open every port.
    explicit General(const Item &item);
    // A rule owns its compiled expression and is never copied.
    General(const General &) = delete;
    General &operator=(const General &) = delete;
    ~General();

    int32_t enabled;
    std::string comment;
    StringList groups;
    StringList profiles;
    int32_t connect_timeout;      // seconds, at least 1
    int32_t io_timeout;           // seconds, at least 1
    int32_t keepalive_timeout;    // seconds, at least 1
    uint32_t max_download_buffer; // bytes
    uint32_t max_upload_buffer;   // bytes
    int32_t buffer_wait;          // seconds; 0 no limit
    PortRangeList connect_ports;  // empty: every port
    bool connect_ports_flawed;    // written wrong: CONNECT reaches no port
    std::string compress_mime;    // expression text
    int32_t compress_responses;   // only 1 switches on
    int32_t request_compression;  // only 1 switches on
    int32_t x_forwarded_for;      // only 1 switches on
    int32_t via;                  // only 1 switches on
    regexp_t *compress_regex;     // owned; null when the text is empty or bad

private:
    void compile();
};

class GeneralSection : public Section {
public:
    GeneralSection();
    ~GeneralSection() override;

    // Section
    void update() override;

    // The first enabled rule whose groups accept the connection's directory
    // groups and whose profiles accept the request's profiles, or null.
    // The caller holds the read lock.
    const General *find(const CONNECTION_T *connection) const;

    // Per-connection values: each takes the read lock, finds the rule and
    // returns its value, or the value for no rule in parentheses.
    int ctimeout_get(const CONNECTION_T *connection) const;      // (60)
    int timeout_get(const CONNECTION_T *connection) const;       // (60)
    int keeptimeout_get(const CONNECTION_T *connection) const;   // (60)
    uint32_t maxdbuffer_get(const CONNECTION_T *connection) const; // (0)
    uint32_t maxubuffer_get(const CONNECTION_T *connection) const; // (0)
    int bufferwait_get(const CONNECTION_T *connection) const;    // (0)
    int compressout_get(const CONNECTION_T *connection) const;   // (0)
    int compressin_get(const CONNECTION_T *connection) const;    // (0)
    int xforwardedfor_get(const CONNECTION_T *connection) const; // (0)
    int via_get(const CONNECTION_T *connection) const;           // (0)
    // 1 when the rule's CONNECT ports hold the port (1 without a rule; 0
    // when the rule's ports are written wrong).
    int cportrange_check(const CONNECTION_T *connection, int port) const;
    // 1 when the rule's compressible-type expression matches the
    // Content-Type (0 without a rule, an expression or a Content-Type).
    int encodemime_check(const CONNECTION_T *connection,
                         const char *content_type);

    // Global fields 2 to 4 under the read lock.  The line length is at
    // least 1, since the HTML escaping divides by it.
    int linelength_get() const;
    int poolsize_get() const;
    int pooltimeout_get() const;

    // Copies of global fields 0 and 1 taken under the read lock.  Readers
    // of the proxy host name use the -H value instead when it is set.
    std::string proxy_host_get() const;
    std::string temp_dir_get() const;

    // Point at the live global fields, so a changed value is seen without
    // update().  Read them under the section's lock.
    const std::string *proxy_host;
    const std::string *temp_dir;
    const int32_t *html_line_length;
    const int32_t *pool_size;
    const int32_t *pool_timeout;

private:
    // The lock methods of Section are not const; reading takes the lock
    // without changing the section.
    int lock_shared() const;
    int unlock_shared() const;

    std::list<General> rules;  // in item order, disabled ones included
};

class FtpSection : public Section {
public:
    FtpSection();
    ~FtpSection() override;

    // Section: the FTP settings have no rules.
    void update() override;

    int passive_get() const;    // 1: PASV; anything else: PORT
    int timeout_get() const;    // seconds, at least 1
    int sortorder_get() const;  // 0 ascending, 1 descending
    int sortfield_get() const;  // 0 unsorted, 1 name, 2 size, 3 date

    // Copies of the login sent when a request names no user, taken
    // together under the read lock.
    void login_get(std::string &user, std::string &password) const;

    const int32_t *passive;
    const int32_t *timeout;
    const std::string *default_user;
    const std::string *default_password;
    const int32_t *sort_order;
    const int32_t *sort_field;

private:
    int atomic_get(const int32_t *value) const;
};

extern GeneralSection *general_section;
extern FtpSection *ftp_section;

#endif
