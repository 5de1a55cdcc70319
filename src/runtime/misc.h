// Small text, array, time and URL helpers that every module builds on, and
// the value classes rules are made of (StringList, Couple, tm_partial).
//
// Every string or array returned here is new heap memory that the caller
// releases with free(), array_free() or stack_free().  An allocation failure
// inside these functions is the fatal assertion.
#ifndef KV_RUNTIME_MISC_H
#define KV_RUNTIME_MISC_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <string>
#include <vector>
#include <netinet/in.h>
#include <sys/time.h>
#include <sys/types.h>

// ConfigError and StringSelect; that header depends on nothing else.
#include "config/values.h"

// ---------------------------------------------------------------- C strings

// Copies at most size - 1 bytes of source and terminates.  size 1 leaves an
// empty string; size 0 writes nothing at all.
char *s_strncpy(char *destination, const char *source, size_t size);

// Appends source so that the whole holds at most size - 1 bytes and is
// terminated; a destination already that long is cut to size - 1 bytes.
// size 1 leaves an empty string; size 0 writes nothing at all.
char *s_strncat(char *destination, const char *source, size_t size);

// Bytes before the terminator, at most n.
size_t s_strnlen(const char *text, size_t n);

// First place where needle occurs in text, letters compared without case;
// an empty needle matches at the start of a non-empty text; an empty text
// gives null.
const char *s_strcasestr(const char *text, const char *needle);
char *s_strcasestr(char *text, const char *needle);

// Lower-cases text in place; returns 0.
int string_tolower(char *text);

// Grows the heap string (null starts a new one) and appends text.
char *string_append(char *string, const char *text);

// True when none of the first n bytes (up to the terminator) is a printable
// character other than the blank.
bool isempty(const char *text, size_t n);

// True when text is a dotted quad: four decimal numbers of one to three
// digits, each at most 255, joined by three dots.
bool isip(const char *text);

// Copies the bytes of text without its terminator into buffer, which holds
// size bytes, and returns their number; null or empty text gives 0.  A text
// longer than size copies nothing and gives -1.
int64_t signed_to_unsigned_char(const char *text, unsigned char *buffer,
                                size_t size);

// ------------------------------------------------------------ string arrays
//
// A string array is a heap array of heap strings ended by a null pointer;
// a null array counts as one without entries.

int array_length(char **array);
void array_free(char **array);
char **array_dup(char **array);                  // deep copy; null gives null
bool array_find(char **array, const char *text); // exact match of an entry
char **array_add(char **array, const char *text);
// Removes and frees every entry equal to text; null gives null.
char **array_delete(char **array, const char *text);

// The entries from array on, joined with separator; null or no entries give
// an empty string.
char *array_merge(char **array, char separator);

// Every maximal run of non-separator bytes becomes one entry (runs of
// separators collapse, separators at either end give nothing).  A text that
// is empty or only separators gives one empty entry; null gives null.
char **string_break(const char *text, char separator);

// Splits a command line into words: blanks separate words, single and double
// quotes group (and are dropped), a backslash outside quotes makes the next
// byte literal.
char **cmdline_parse(const char *text);

// One line of a doubly linked list of text lines (Filebuf::to_stack).
struct STACK_T {
    STACK_T *next;     // null after the last line
    STACK_T *previous; // null at the first line
    char *line;        // owned, never null
};

// Frees the whole list that node belongs to, from its first node on.
void stack_free(STACK_T *node);

// --------------------------------------------------------------------- time

// Offset added to the system clock by utc_time, set once at start-up.
extern int gmtoffset;

// time() plus gmtoffset; also stored through now when it is not null.
time_t utc_time(time_t *now);

// localtime_r of `when`, remembered by the calling thread for that second
// (and time zone, as tzset last set it): localtime_r takes the C library's
// time-zone lock, which every request would otherwise queue on.  False
// (out cleared) when the time has no local form.
bool local_time(time_t when, struct tm *out);

// mktime of tm minus gmtoffset; -1 when mktime fails.
time_t local_mktime(struct tm *tm);

// (second - first) in milliseconds, truncated toward zero; held to the range
// of int.
int timeval_diff_ms(const struct timeval *first, const struct timeval *second);

// Negative, 0 or positive as first is before, equal to or after second.
int timeval_cmp(const struct timeval *first, const struct timeval *second);

// "hh:mm:ss.cc" (hours may exceed 99).
char *timeval_to_string(const struct timeval *tv);

const char *month_name(int month);     // 0 to 11, else "Invalid"
const char *weekday_name(int weekday); // 0 (Sunday) to 6, else "Invalid"

// 2 to the power n (1 for n <= 0, at most 2 to the power 30).
int xpow(int n);

// Parts of a tm_partial, in the order of comparison.
enum {
    TM_PART_YEAR = 0,  // years since 1900
    TM_PART_MONTH = 1, // 0 to 11
    TM_PART_MDAY = 2,  // 1 to 31
    TM_PART_WDAY = 3,  // 0 (Sunday) to 6
    TM_PART_HOUR = 4,  // 0 to 23
    TM_PART_MIN = 5,   // 0 to 59
    TM_PARTS = 6,
};

struct tm_partial_part {
    uint32_t present; // 0: the bound does not restrict this part
    int32_t value;    // in the units of struct tm
};

// A time bound whose parts may be absent.
struct tm_partial {
    tm_partial_part part[TM_PARTS];
};

// t lies between from and to, each bound compared with t as one value made
// of its present parts (year first), both bounds included.
bool in_absolutetimerange(const struct tm *t, const tm_partial *from,
                          const tm_partial *to);

// Every part present in from is at most t's, every part present in to at
// least t's, each part tested on its own.
bool in_alltimerange(const struct tm *t, const tm_partial *from,
                     const tm_partial *to);

// -------------------------------------------------- conversions and tables

// "%.1f B", "%.1f KB", "%.1f MB" or "%.1f GB" of a byte count.
char *filesize(uint64_t bytes);

// Permission bits of a 10-character "drwxr-xr-x" text; shorter texts give 0.
mode_t mode_parse(const char *text);

// The 10-character permission text of mode, position 0 always '-'.
char *mode_create(mode_t mode);

// The address of an FTP "h1,h2,h3,h4,p1,p2" text, or null unless the text
// has exactly six decimal numbers, each 0 to 255, and a port of 1 to 65535.
struct sockaddr_in *ftpport_parse(const char *text);

// "h1,h2,h3,h4,p1,p2" of an address.
char *ftpport_create(const struct sockaddr_in *address);

// Reason phrase of an HTTP status written by the proxy itself.
const char *code_to_error(int code);

// Template page for a connection error code (-2, -3, -4, else "unknown").
const char *error_to_template(int code);

// ------------------------------------------------------------ value classes

// A list of strings parsed from a separated text.
class StringList : public std::list<std::string> {
public:
    StringList() = default;
    StringList(const std::string &text, char separator);

    // Appends the items of text: every separator ends an item (empty items
    // are kept), a trailing separator adds none, an empty text adds nothing.
    void parse(const std::string &text, char separator);

    // True when an item equals text exactly; the empty text is never held.
    bool has(const std::string &text) const;

    // Logs "<label> Profile: <item>" under LOG_PROFILES; returns 1.
    static int show_p(const std::string &label, const std::string &item);

    // Writes "item," (display) or item (get_strlist) into buffer of size
    // bytes and returns the length written, or -1 (buffer left empty) when
    // it does not fit.
    static int display(const std::string &item, char *buffer, size_t size);
    static int get_strlist(const std::string &item, char *buffer, size_t size);
};

// Exactly two strings, from a text "first,second" (a trailing comma is
// allowed); any other count throws ConfigError.
class Couple {
public:
    explicit Couple(const std::string &text);

    std::string first() const;
    std::string second() const;

private:
    StringList items;
};

// The options of a select-type field.
class StringSelectVector : public std::vector<StringSelect> {
public:
    // Clears the selected mark of every option.
    void reset();

    // Index of the first option whose value equals text without regard to
    // case; throws ConfigError when none does.
    int case_indexof(const std::string &text) const;
};

// --------------------------------------------------------------------- URLs

// Longest host and path url_parse accepts; a longer one is refused rather
// than cut, since a cut URL names another resource.
#define URL_HOST_MAX 255
#define URL_PATH_MAX 2047
// Longest user name and password before the '@'.
#define URL_CREDENTIAL_MAX 128

struct URL {
    char *user;     // owned, or null when the URL has no credentials
    char *password; // owned, or null when the URL has no credentials
    char *protocol; // owned, lower case
    char *host;     // owned, lower case, never empty
    char *path;     // owned, begins with '/'
    int port;       // explicit port, else the protocol's default
};

// Parses "scheme://[user:password@]host[:port][/path]"; null when the text
// is no such URL, when a part is too long, the host is empty, the port is
// not 1 to 65535, or the credentials hold control characters.
URL *url_parse(const char *text);
void url_free(URL *url);

// "protocol://host:port/path" (the port always written, credentials never).
char *url_create(const URL *url);

// Same port, protocol and host (without case), path, and user and password
// wherever both sides carry one.
bool urlcmp(const URL *a, const URL *b);

// Default port of a protocol: "http" 80, "ftp" 21, else 0.
int protocol_port(const char *protocol);

// Removes blanks and control characters (bytes 0x20 and below) in place.
void url_strip(char *text);

// The path cut to URL_PATH_MAX bytes, then at the first '#', then stripped.
char *url_path_fix(const char *path);

// Percent-encodes up to n bytes of text (n < 0: all of it): a blank becomes
// '+'; "+,-./", digits, letters and bytes from 0x80 stay; every other byte
// becomes '%' and two lower-case hexadecimal digits.
char *url_encode(const char *text, int64_t n);

// Decodes up to n bytes of text (n < 0: all of it): '+' becomes a blank,
// "%hh" the byte of two hexadecimal digits; a '%' that is the last byte is
// kept.  Gives null for a malformed escape ('%' with fewer than two
// hexadecimal digits after it).  The result may hold NUL, CR or LF bytes
// that the text encoded: a caller that passes the value on asks for its
// length and checks it with url_header_safe.
char *url_decode(const char *text, int64_t n, size_t *length = nullptr);

// False when the first length bytes of value hold a NUL, CR or LF: such a
// value must never be written into a head or a command line.
bool url_header_safe(const char *value, size_t length);

// The canonical form of a request's host, on which rules and lookups
// decide (the request sent on keeps its own text): lower case, with one
// trailing dot removed.  Writes at most length bytes and a NUL into out,
// which holds length + 1 bytes, and returns the length written.
size_t url_canonical_host(const char *host, size_t length, char *out);

// The canonical form of a request's path with its query, on which rules
// and lookups decide: escapes of unreserved characters (letters, digits,
// "-._~") decoded, every other escape and every malformed '%' kept as
// written; then, before the '?', "." and ".." segments removed as RFC 3986
// 5.2.4 does and each run of '/' read as one.  The query keeps its
// slashes and dots.  An escape is kept when the digit it decodes to would
// make a new escape with a '%' before it, so the form of a canonical path
// is itself.  Never longer than the path: writes at most length bytes and
// a NUL into out, which holds length + 1 bytes and does not overlap path,
// and returns the length written.
size_t url_canonical_path(const char *path, size_t length, char *out);

// Flags of string_to_html.
enum {
    HTML_BREAK_LINES = 1, // newline as "<br>"; alone, also wraps long runs
    HTML_BLANKS = 2,      // blank as "&nbsp;"
    HTML_SCRIPT = 4,      // backslash before "';.?/\[]{}()+*|$"
};

// HTML-escapes text: '"', '<', '>' and '&' always become entities; the
// flags add the rest.  With flags exactly HTML_BREAK_LINES, "<br>" follows
// every run of the configured line length without a blank.
char *string_to_html(const char *text, int flags);

// Registers where string_to_html reads the configured line length (the
// "general" section); a value below 1 counts as 1.  Without one, runs are
// not wrapped.
void html_linelength_register(int (*getter)());

// Breadcrumb links of a path: the root, then one link per component, each
// to the path up to it.  Components are escaped for the page.
char *path_to_url(const char *path);

// The absolute path with "." and ".." components resolved, beginning with
// '/' and ending with '/' when the given path did.
char *resolve_path(const char *path);

#endif
