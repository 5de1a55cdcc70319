// Text, array, time and URL helpers, and the StringList value class.
#include "runtime/misc.h"

#include <arpa/inet.h>
#include <cctype>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "runtime/log.h"
#include "runtime/mem.h"

int gmtoffset = 0;

namespace {

void *alloc(size_t size);
char *dup(const char *text);
char *dup_string(const std::string &text);
char **array_new(size_t entries);
bool parse_decimal(const char *begin, const char *end, long max, long *value);
int hexval(int c);
size_t text_span(const char *text, int64_t n);
bool protocol_valid(const char *begin, const char *end);
bool credentials_parse(const char *begin, const char *end, URL *url);
bool host_set(const char *begin, const char *end, URL *url);
bool path_set(const char *begin, URL *url);
bool unreserved(unsigned char c);
bool escape_open(const char *out, size_t w);
size_t unreserved_decode(const char *text, size_t length, char *out, size_t w);
size_t dot_segments_remove(char *path, size_t length);
void href_escape(std::string *out, const std::string &path);

// Where string_to_html reads the configured line length.
int (*html_linelength)() = nullptr;

// Memory that these helpers cannot go on without.
void *alloc(size_t size)
{
    void *p = xmalloc(size);
    ASSERT_ALLOC(p, size);
    return p;
}

char *dup(const char *text)
{
    char *p = xstrdup(text);
    ASSERT_ALLOC(p, strlen(text) + 1);
    return p;
}

char *dup_string(const std::string &text)
{
    char *p = static_cast<char *>(alloc(text.size() + 1));
    memcpy(p, text.data(), text.size());
    p[text.size()] = '\0';
    return p;
}

// An array with room for the given entries and its terminator, all null.
char **array_new(size_t entries)
{
    size_t size = (entries + 1) * sizeof(char *);
    char **array = static_cast<char **>(alloc(size));
    memset(array, 0, size);
    return array;
}

// Reads [begin, end) as a decimal number of at most max: digits only, at
// least one of them, blanks allowed around them.
bool parse_decimal(const char *begin, const char *end, long max, long *value)
{
    while (begin < end && *begin == ' ')
        begin++;
    while (end > begin && end[-1] == ' ')
        end--;
    if (begin == end)
        return false;
    long n = 0;
    for (const char *p = begin; p < end; p++) {
        if (*p < '0' || *p > '9')
            return false;
        n = n * 10 + (*p - '0');
        if (n > max)
            return false;
    }
    *value = n;
    return true;
}

int hexval(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Bytes of text that a bound of n covers (n < 0: the whole text).
size_t text_span(const char *text, int64_t n)
{
    if (n < 0)
        return strlen(text);
    return strnlen(text, static_cast<size_t>(n));
}

} // namespace

// ================================================================ C strings

char *s_strncpy(char *destination, const char *source, size_t size)
{
    if (size == 0)
        return destination;
    size_t n = strnlen(source, size - 1);
    memcpy(destination, source, n);
    destination[n] = '\0';
    return destination;
}

char *s_strncat(char *destination, const char *source, size_t size)
{
    if (size == 0)
        return destination;
    size_t used = strnlen(destination, size);
    if (used >= size - 1) {
        destination[size - 1] = '\0';
        return destination;
    }
    size_t n = strnlen(source, size - 1 - used);
    memcpy(destination + used, source, n);
    destination[used + n] = '\0';
    return destination;
}

size_t s_strnlen(const char *text, size_t n)
{
    return strnlen(text, n);
}

const char *s_strcasestr(const char *text, const char *needle)
{
    for (const char *start = text; *start; start++) {
        const char *t = start;
        const char *n = needle;
        while (*n && *t &&
               tolower(static_cast<unsigned char>(*t)) ==
                   tolower(static_cast<unsigned char>(*n))) {
            t++;
            n++;
        }
        if (*n == '\0')
            return start;
        if (*t == '\0')
            return nullptr; // the rest of the text is shorter than the needle
    }
    return nullptr;
}

char *s_strcasestr(char *text, const char *needle)
{
    return const_cast<char *>(
        s_strcasestr(static_cast<const char *>(text), needle));
}

int string_tolower(char *text)
{
    for (; *text; text++)
        *text = static_cast<char>(tolower(static_cast<unsigned char>(*text)));
    return 0;
}

char *string_append(char *string, const char *text)
{
    if (string == nullptr)
        return dup(text);
    size_t old = strlen(string);
    size_t add = strlen(text);
    char *grown = static_cast<char *>(xrealloc(string, old + add + 1));
    ASSERT_ALLOC(grown, old + add + 1);
    memcpy(grown + old, text, add + 1);
    return grown;
}

bool isempty(const char *text, size_t n)
{
    for (size_t i = 0; i < n && text[i]; i++)
        if (isgraph(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

bool isip(const char *text)
{
    // inet_aton would take forms such as "10.1" or "0x7f.1.1.1"; only the
    // plain dotted quad is an address here.
    const char *part = text;
    for (int i = 0; i < 4; i++) {
        const char *end = part;
        while (*end >= '0' && *end <= '9')
            end++;
        long value;
        if (end - part > 3 || !parse_decimal(part, end, 255, &value))
            return false;
        if (i < 3 && *end != '.')
            return false;
        if (i == 3 && *end != '\0')
            return false;
        part = end + 1;
    }
    return true;
}

int64_t signed_to_unsigned_char(const char *text, unsigned char *buffer,
                                size_t size)
{
    if (text == nullptr || *text == '\0')
        return 0;
    size_t n = strlen(text);
    if (n > size)
        return -1;
    memcpy(buffer, text, n);
    return static_cast<int64_t>(n);
}

// ============================================================ string arrays

int array_length(char **array)
{
    int n = 0;
    if (array)
        while (array[n])
            n++;
    return n;
}

void array_free(char **array)
{
    if (array == nullptr)
        return;
    for (char **p = array; *p; p++)
        free(*p);
    free(array);
}

char **array_dup(char **array)
{
    if (array == nullptr)
        return nullptr;
    int n = array_length(array);
    char **copy = array_new(static_cast<size_t>(n));
    for (int i = 0; i < n; i++)
        copy[i] = dup(array[i]);
    return copy;
}

bool array_find(char **array, const char *text)
{
    if (array == nullptr)
        return false;
    for (char **p = array; *p; p++)
        if (strcmp(*p, text) == 0)
            return true;
    return false;
}

char **array_add(char **array, const char *text)
{
    size_t n = static_cast<size_t>(array_length(array));
    size_t size = (n + 2) * sizeof(char *);
    char **grown = static_cast<char **>(xrealloc(array, size));
    ASSERT_ALLOC(grown, size);
    grown[n] = dup(text);
    grown[n + 1] = nullptr;
    return grown;
}

char **array_delete(char **array, const char *text)
{
    if (array == nullptr)
        return nullptr;
    size_t kept = 0;
    for (size_t i = 0; array[i]; i++) {
        if (strcmp(array[i], text) == 0)
            free(array[i]);
        else
            array[kept++] = array[i];
    }
    array[kept] = nullptr;
    size_t size = (kept + 1) * sizeof(char *);
    char **shrunk = static_cast<char **>(xrealloc(array, size));
    ASSERT_ALLOC(shrunk, size);
    return shrunk;
}

char *array_merge(char **array, char separator)
{
    // Entries are joined whole: a cut entry would be a different value.
    std::string merged;
    if (array) {
        for (char **p = array; *p; p++) {
            if (p != array)
                merged += separator;
            merged += *p;
        }
    }
    return dup_string(merged);
}

char **string_break(const char *text, char separator)
{
    if (text == nullptr)
        return nullptr;
    size_t runs = 0;
    for (const char *p = text; *p; p++)
        if (*p != separator && (p == text || p[-1] == separator))
            runs++;
    if (runs == 0) {
        char **array = array_new(1);
        array[0] = dup("");
        return array;
    }
    char **array = array_new(runs);
    size_t i = 0;
    const char *p = text;
    while (*p) {
        while (*p == separator)
            p++;
        if (*p == '\0')
            break;
        const char *start = p;
        while (*p && *p != separator)
            p++;
        array[i++] = xstrndup(start, static_cast<size_t>(p - start));
    }
    return array;
}

char **cmdline_parse(const char *text)
{
    char **words = array_new(0);
    std::string word;
    bool in_double = false;
    bool in_single = false;
    for (const char *p = text; *p; p++) {
        char c = *p;
        if (!in_double && !in_single) {
            if (c == ' ') {
                if (!word.empty())
                    words = array_add(words, word.c_str());
                word.clear();
                continue;
            }
            if (c == '\\' && p[1]) {
                word += *++p;
                continue;
            }
        }
        if (c == '"' && !in_single) {
            in_double = !in_double;
            continue;
        }
        if (c == '\'' && !in_double) {
            in_single = !in_single;
            continue;
        }
        word += c;
    }
    if (!word.empty())
        words = array_add(words, word.c_str());
    return words;
}

void stack_free(STACK_T *node)
{
    if (node == nullptr)
        return;
    while (node->previous)
        node = node->previous;
    while (node) {
        STACK_T *next = node->next;
        ASSERT(node->line != nullptr);
        free(node->line);
        free(node);
        node = next;
    }
}

// ===================================================================== time

time_t utc_time(time_t *now)
{
    time_t t = time(nullptr) + gmtoffset;
    if (now)
        *now = t;
    return t;
}

namespace {

struct LocalTimeCache {
    time_t second = static_cast<time_t>(-1);
    long zone = 0;               // `timezone` and `tzname` when it was made:
    const char *zone_name = nullptr;  // tzset with another TZ changes them
    bool valid = false;
    struct tm local = {};
};

thread_local LocalTimeCache local_time_cache;

} // namespace

bool local_time(time_t when, struct tm *out)
{
    LocalTimeCache &c = local_time_cache;
    if (c.second != when || c.zone != timezone || c.zone_name != tzname[0]) {
        c.valid = localtime_r(&when, &c.local) != nullptr;
        if (!c.valid)
            memset(&c.local, 0, sizeof(c.local));
        c.second = when;
        c.zone = timezone;
        c.zone_name = tzname[0];
    }
    *out = c.local;
    return c.valid;
}

time_t local_mktime(struct tm *tm)
{
    time_t t = mktime(tm);
    if (t == static_cast<time_t>(-1))
        return t;
    return t - gmtoffset;
}

int timeval_diff_ms(const struct timeval *first, const struct timeval *second)
{
    int64_t us = (static_cast<int64_t>(second->tv_sec) - first->tv_sec) * 1000000 +
                 (static_cast<int64_t>(second->tv_usec) - first->tv_usec);
    int64_t ms = us / 1000;
    if (ms > INT_MAX)
        return INT_MAX;
    if (ms < INT_MIN)
        return INT_MIN;
    return static_cast<int>(ms);
}

int timeval_cmp(const struct timeval *first, const struct timeval *second)
{
    // Only the sign is meaningful; a difference of seconds would not fit.
    if (first->tv_sec != second->tv_sec)
        return first->tv_sec < second->tv_sec ? -1 : 1;
    if (first->tv_usec != second->tv_usec)
        return first->tv_usec < second->tv_usec ? -1 : 1;
    return 0;
}

char *timeval_to_string(const struct timeval *tv)
{
    char text[64];
    long long seconds = static_cast<long long>(tv->tv_sec);
    snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.2ld", seconds / 3600,
             seconds / 60 % 60, seconds % 60,
             static_cast<long>(tv->tv_usec / 10000));
    return dup(text);
}

const char *month_name(int month)
{
    static const char *const names[] = {
        "January", "February", "March",     "April",   "May",      "June",
        "July",    "August",   "September", "October", "November", "December"};
    if (month < 0 || month > 11)
        return "Invalid";
    return names[month];
}

const char *weekday_name(int weekday)
{
    static const char *const names[] = {"Sunday",   "Monday", "Tuesday",
                                        "Wednesday", "Thursday", "Friday",
                                        "Saturday"};
    if (weekday < 0 || weekday > 6)
        return "Invalid";
    return names[weekday];
}

int xpow(int n)
{
    int result = 1;
    for (int i = 0; i < n && i < 30; i++)
        result *= 2;
    return result;
}

namespace {

void tm_parts(const struct tm *t, int32_t parts[TM_PARTS])
{
    parts[TM_PART_YEAR] = t->tm_year;
    parts[TM_PART_MONTH] = t->tm_mon;
    parts[TM_PART_MDAY] = t->tm_mday;
    parts[TM_PART_WDAY] = t->tm_wday;
    parts[TM_PART_HOUR] = t->tm_hour;
    parts[TM_PART_MIN] = t->tm_min;
}

// Compares t with a bound over the bound's present parts, year first:
// negative, 0 or positive as t is before, within or after it.
int tm_partial_cmp(const int32_t parts[TM_PARTS], const tm_partial *bound)
{
    for (int i = 0; i < TM_PARTS; i++) {
        if (!bound->part[i].present)
            continue;
        if (parts[i] != bound->part[i].value)
            return parts[i] < bound->part[i].value ? -1 : 1;
    }
    return 0;
}

} // namespace

bool in_absolutetimerange(const struct tm *t, const tm_partial *from,
                          const tm_partial *to)
{
    int32_t parts[TM_PARTS];
    tm_parts(t, parts);
    return tm_partial_cmp(parts, from) >= 0 && tm_partial_cmp(parts, to) <= 0;
}

bool in_alltimerange(const struct tm *t, const tm_partial *from,
                     const tm_partial *to)
{
    int32_t parts[TM_PARTS];
    tm_parts(t, parts);
    for (int i = 0; i < TM_PARTS; i++) {
        if (from->part[i].present && parts[i] < from->part[i].value)
            return false;
        if (to->part[i].present && parts[i] > to->part[i].value)
            return false;
    }
    return true;
}

// =================================================== conversions and tables

char *filesize(uint64_t bytes)
{
    char text[64];
    double n = static_cast<double>(bytes);
    if (bytes >= 1073741824ULL)
        snprintf(text, sizeof text, "%.1f GB", n / 1073741824.0);
    else if (bytes >= 1048576ULL)
        snprintf(text, sizeof text, "%.1f MB", n / 1048576.0);
    else if (bytes < 1024ULL)
        snprintf(text, sizeof text, "%.1f B", n);
    else
        snprintf(text, sizeof text, "%.1f KB", n / 1024.0);
    return dup(text);
}

mode_t mode_parse(const char *text)
{
    // Position, letter and the bits it sets.
    static const struct {
        int position;
        char letter;
        mode_t bits;
    } letters[] = {
        {1, 'r', 0400}, {2, 'w', 0200}, {3, 'x', 0100},  {3, 's', 04100},
        {4, 'r', 040},  {5, 'w', 020},  {6, 'x', 010},   {6, 'S', 02010},
        {7, 'r', 04},   {8, 'w', 02},   {9, 'x', 01},    {9, 't', 01001},
    };
    if (strnlen(text, 10) < 10)
        return 0;
    mode_t mode = 0;
    for (const auto &l : letters)
        if (text[l.position] == l.letter)
            mode |= l.bits;
    return mode;
}

char *mode_create(mode_t mode)
{
    char text[11];
    text[0] = '-';
    text[1] = (mode & 0400) ? 'r' : '-';
    text[2] = (mode & 0200) ? 'w' : '-';
    text[3] = (mode & 04000) ? 's' : (mode & 0100) ? 'x' : '-';
    text[4] = (mode & 040) ? 'r' : '-';
    text[5] = (mode & 020) ? 'w' : '-';
    text[6] = (mode & 02000) ? 'S' : (mode & 010) ? 'x' : '-';
    text[7] = (mode & 04) ? 'r' : '-';
    text[8] = (mode & 02) ? 'w' : '-';
    text[9] = (mode & 01000) ? 't' : (mode & 01) ? 'x' : '-';
    text[10] = '\0';
    return dup(text);
}

struct sockaddr_in *ftpport_parse(const char *text)
{
    // The numbers come from an FTP server: each must be a byte, and the port
    // must be one a connection can be made to.
    long numbers[6];
    const char *p = text;
    for (int i = 0; i < 6; i++) {
        const char *end = strchr(p, ',');
        if (i < 5 && end == nullptr)
            return nullptr;
        if (i == 5) {
            if (end != nullptr)
                return nullptr;
            end = p + strlen(p);
        }
        if (!parse_decimal(p, end, 255, &numbers[i]))
            return nullptr;
        p = end + 1;
    }
    long port = numbers[4] * 256 + numbers[5];
    if (port == 0)
        return nullptr;
    auto *address = static_cast<struct sockaddr_in *>(alloc(sizeof(struct sockaddr_in)));
    memset(address, 0, sizeof *address);
    address->sin_family = AF_INET;
    auto *bytes = reinterpret_cast<unsigned char *>(&address->sin_addr.s_addr);
    for (int i = 0; i < 4; i++)
        bytes[i] = static_cast<unsigned char>(numbers[i]);
    address->sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

char *ftpport_create(const struct sockaddr_in *address)
{
    const auto *bytes =
        reinterpret_cast<const unsigned char *>(&address->sin_addr.s_addr);
    unsigned port = ntohs(address->sin_port);
    char text[32];
    snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d", bytes[0], bytes[1],
             bytes[2], bytes[3], port >> 8, port & 0xff);
    putlog(LOG_DEBUG, "ftp: ftpport_create: %s", text);
    return dup(text);
}

const char *code_to_error(int code)
{
    switch (code) {
    case 200: return "OK";
    case 301: return "Document Moved";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 407: return "Proxy Authentication Required";
    // The answers to an overlong request line or head.
    case 414: return "Request-URI Too Long";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 502: return "Service Temporarily Unavailable";
    case 503: return "Connection Failed";
    default: return "Unknown";
    }
}

const char *error_to_template(int code)
{
    switch (code) {
    case -2: return "noconnect";
    case -3: return "nodns";
    case -4: return "badauth";
    default: return "unknown";
    }
}

// ============================================================ value classes

StringList::StringList(const std::string &text, char separator)
{
    parse(text, separator);
}

void StringList::parse(const std::string &text, char separator)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            push_back(text.substr(start));
            return;
        }
        push_back(text.substr(start, at - start));
        start = at + 1;
    }
}

bool StringList::has(const std::string &text) const
{
    if (text.empty())
        return false;
    for (const std::string &item : *this)
        if (item == text)
            return true;
    return false;
}

int StringList::show_p(const std::string &label, const std::string &item)
{
    putlog(LOG_PROFILES, "%s Profile: %s", label.c_str(), item.c_str());
    return 1;
}

int StringList::display(const std::string &item, char *buffer, size_t size)
{
    if (item.size() + 2 > size) {
        if (size > 0)
            buffer[0] = '\0';
        return -1;
    }
    memcpy(buffer, item.data(), item.size());
    buffer[item.size()] = ',';
    buffer[item.size() + 1] = '\0';
    return static_cast<int>(item.size() + 1);
}

int StringList::get_strlist(const std::string &item, char *buffer, size_t size)
{
    if (item.size() + 1 > size) {
        if (size > 0)
            buffer[0] = '\0';
        return -1;
    }
    memcpy(buffer, item.data(), item.size() + 1);
    return static_cast<int>(item.size());
}

Couple::Couple(const std::string &text) : items(text, ',')
{
    if (items.size() != 2)
        throw ConfigError();
}

std::string Couple::first() const
{
    return items.front();
}

std::string Couple::second() const
{
    return items.back();
}

void StringSelectVector::reset()
{
    for (StringSelect &option : *this)
        option.selected = false;
}

int StringSelectVector::case_indexof(const std::string &text) const
{
    for (size_t i = 0; i < size(); i++)
        if (strcasecmp((*this)[i].value.c_str(), text.c_str()) == 0)
            return static_cast<int>(i);
    throw ConfigError();
}

// ===================================================================== URLs

namespace {

// A scheme is a letter followed by letters, digits, '+', '-' or '.'.
bool protocol_valid(const char *begin, const char *end)
{
    if (begin == end || !isalpha(static_cast<unsigned char>(*begin)))
        return false;
    for (const char *p = begin; p < end; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (!isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

// Any byte below the blank, or DEL.
bool has_control(const char *begin, const char *end)
{
    for (const char *p = begin; p < end; p++)
        if (static_cast<unsigned char>(*p) < 0x20 || *p == 0x7f)
            return true;
    return false;
}

// "user:password" in [begin, end), both non-empty and within
// URL_CREDENTIAL_MAX; they are written into head lines and FTP commands, so
// control characters refuse the URL.
bool credentials_parse(const char *begin, const char *end, URL *url)
{
    const char *colon = static_cast<const char *>(
        memchr(begin, ':', static_cast<size_t>(end - begin)));
    if (colon == nullptr || colon == begin || colon + 1 == end)
        return false;
    if (colon - begin > URL_CREDENTIAL_MAX || end - colon - 1 > URL_CREDENTIAL_MAX)
        return false;
    if (has_control(begin, end))
        return false;
    url->user = xstrndup(begin, static_cast<size_t>(colon - begin));
    url->password = xstrndup(colon + 1, static_cast<size_t>(end - colon - 1));
    return true;
}

// The host part: refused when too long or when it holds an '@'.  After
// the credentials' '@' a second one makes the URL read differently by
// different parsers (those that take the last '@' see another host), and
// url_create would write a text whose host is the part after it.
bool host_set(const char *begin, const char *end, URL *url)
{
    if (end - begin > URL_HOST_MAX)
        return false;
    if (memchr(begin, '@', static_cast<size_t>(end - begin)) != nullptr)
        return false;
    url->host = xstrndup(begin, static_cast<size_t>(end - begin));
    url_strip(url->host);
    string_tolower(url->host);
    return url->host[0] != '\0';
}

// The path from begin ('/' or the end of the text).
bool path_set(const char *begin, URL *url)
{
    if (*begin == '\0') {
        url->path = dup("/");
        return true;
    }
    // The part kept is what stands before a fragment; cutting it would
    // name another resource.
    if (strcspn(begin, "#") > URL_PATH_MAX)
        return false;
    url->path = url_path_fix(begin);
    return true;
}

} // namespace

URL *url_parse(const char *text)
{
    const char *colon = strchr(text, ':');
    if (colon == nullptr || !protocol_valid(text, colon))
        return nullptr;
    if (colon[1] != '/' || colon[2] != '/')
        return nullptr;

    URL *url = static_cast<URL *>(alloc(sizeof(URL)));
    memset(url, 0, sizeof *url);
    url->protocol = xstrndup(text, static_cast<size_t>(colon - text));
    string_tolower(url->protocol);

    const char *authority = colon + 3;
    const char *slash = strchr(authority, '/');
    const char *authority_end = slash ? slash : authority + strlen(authority);
    const char *at = static_cast<const char *>(
        memchr(authority, '@', static_cast<size_t>(authority_end - authority)));
    const char *host = authority;
    if (at) {
        if (!credentials_parse(authority, at, url))
            goto refuse;
        host = at + 1;
    }

    {
        const char *port = static_cast<const char *>(
            memchr(host, ':', static_cast<size_t>(authority_end - host)));
        if (port) {
            long number;
            if (!host_set(host, port, url))
                goto refuse;
            // Digits only, and a port a connection can be made to.
            for (const char *p = port + 1; p < authority_end; p++)
                if (*p < '0' || *p > '9')
                    goto refuse;
            if (port + 1 == authority_end ||
                !parse_decimal(port + 1, authority_end, 65535, &number) ||
                number == 0)
                goto refuse;
            url->port = static_cast<int>(number);
        } else {
            if (!host_set(host, authority_end, url))
                goto refuse;
            url->port = protocol_port(url->protocol);
        }
    }
    if (!path_set(authority_end, url))
        goto refuse;
    return url;

refuse:
    url_free(url);
    return nullptr;
}

void url_free(URL *url)
{
    if (url == nullptr)
        return;
    free(url->user);
    free(url->password);
    free(url->protocol);
    free(url->host);
    free(url->path);
    free(url);
}

char *url_create(const URL *url)
{
    // Never cut: the text is a cache key and a request target.
    char port[16];
    snprintf(port, sizeof port, ":%d", url->port);
    std::string text = url->protocol;
    text += "://";
    text += url->host;
    text += port;
    text += url->path;
    return dup_string(text);
}

bool urlcmp(const URL *a, const URL *b)
{
    if (a->user && b->user && strcmp(a->user, b->user) != 0)
        return false;
    if (a->password && b->password && strcmp(a->password, b->password) != 0)
        return false;
    return a->port == b->port && strcasecmp(a->protocol, b->protocol) == 0 &&
           strcasecmp(a->host, b->host) == 0 && strcmp(a->path, b->path) == 0;
}

int protocol_port(const char *protocol)
{
    if (strcasecmp(protocol, "http") == 0)
        return 80;
    if (strcasecmp(protocol, "ftp") == 0)
        return 21;
    return 0;
}

void url_strip(char *text)
{
    // Bytes from 0x80 stay: dropping them from an unencoded UTF-8 host or
    // path would name a different resource.
    char *out = text;
    for (const char *p = text; *p; p++)
        if (static_cast<unsigned char>(*p) > 0x20)
            *out++ = *p;
    *out = '\0';
}

char *url_path_fix(const char *path)
{
    size_t n = strnlen(path, URL_PATH_MAX);
    const char *hash = static_cast<const char *>(memchr(path, '#', n));
    if (hash)
        n = static_cast<size_t>(hash - path);
    char *fixed = xstrndup(path, n);
    url_strip(fixed);
    return fixed;
}

char *url_encode(const char *text, int64_t n)
{
    static const char hex[] = "0123456789abcdef";
    size_t length = text_span(text, n);
    char *out = static_cast<char *>(alloc(length * 3 + 1));
    char *o = out;
    for (size_t i = 0; i < length; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == ' ') {
            *o++ = '+';
        } else if ((c >= '+' && c <= '9') || (c >= 'A' && c <= 'Z') ||
                   (c >= 'a' && c <= 'z') || c >= 0x80) {
            *o++ = static_cast<char>(c);
        } else {
            *o++ = '%';
            *o++ = hex[c >> 4];
            *o++ = hex[c & 0xf];
        }
    }
    *o = '\0';
    return out;
}

char *url_decode(const char *text, int64_t n, size_t *length)
{
    size_t span = text_span(text, n);
    // The result is never longer than the text it comes from.
    char *out = static_cast<char *>(alloc(span + 1));
    size_t o = 0;
    for (size_t i = 0; i < span; i++) {
        char c = text[i];
        if (c == '+') {
            out[o++] = ' ';
        } else if (c == '%' && i + 1 < span) {
            int high = hexval(static_cast<unsigned char>(text[i + 1]));
            int low = i + 2 < span ? hexval(static_cast<unsigned char>(text[i + 2])) : -1;
            if (high < 0 || low < 0) {
                free(out);
                return nullptr;
            }
            out[o++] = static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out[o++] = c; // a '%' that ends the text stays as it is
        }
    }
    out[o] = '\0';
    if (length)
        *length = o;
    return out;
}

namespace {

// Letters, digits and "-._~" (RFC 3986 2.3), in ASCII whatever the locale.
bool unreserved(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '-' || c == '.' || c == '_' || c == '~';
}

// Whether out[0, w) ends with a '%' and at most one hexadecimal digit: a
// digit written after it would make an escape that a second reading
// decodes ("%%34" + "1" is "%41").
bool escape_open(const char *out, size_t w)
{
    if (w >= 1 && out[w - 1] == '%')
        return true;
    return w >= 2 && out[w - 2] == '%' && hexval(static_cast<unsigned char>(out[w - 1])) >= 0;
}

// Writes length bytes of text at out + w with the escapes of unreserved
// characters decoded, and returns the new end.  out does not overlap text.
size_t unreserved_decode(const char *text, size_t length, char *out, size_t w)
{
    for (size_t i = 0; i < length; i++) {
        int high = -1, low = -1;
        if (text[i] == '%' && i + 2 < length) {
            high = hexval(static_cast<unsigned char>(text[i + 1]));
            low = hexval(static_cast<unsigned char>(text[i + 2]));
        }
        if (high < 0 || low < 0) {
            out[w++] = text[i];
            continue;
        }
        unsigned char c = static_cast<unsigned char>(high * 16 + low);
        if (unreserved(c) && !(hexval(c) >= 0 && escape_open(out, w))) {
            out[w++] = static_cast<char>(c);
        } else {
            memmove(out + w, text + i, 3);
            w += 3;
        }
        i += 2;
    }
    return w;
}

// Removes "." and ".." segments and empty ones (a run of '/' is one) from
// path[0, length) in place, as RFC 3986 5.2.4 does for dot-segments: a
// path that ended in '/' or a dot-segment keeps a final '/'.  Returns the
// new length.  The text is written at or before where it is read: each
// segment is moved down to just after the one it follows.
size_t dot_segments_remove(char *path, size_t length)
{
    size_t base = length > 0 && path[0] == '/' ? 1 : 0;
    size_t w = base;  // path[0, w): the leading '/' and the segments kept, '/' between them
    bool trailing = false;
    size_t r = base;
    while (r < length) {
        if (path[r] == '/') {
            trailing = true;
            r++;
            continue;
        }
        size_t start = r;
        while (r < length && path[r] != '/')
            r++;
        size_t n = r - start;
        trailing = false;
        if (n == 1 && path[start] == '.') {
            trailing = true;
        } else if (n == 2 && path[start] == '.' && path[start + 1] == '.') {
            while (w > base && path[w - 1] != '/')
                w--;
            if (w > base)
                w--;
            trailing = true;
        } else {
            if (w > base)
                path[w++] = '/';
            memmove(path + w, path + start, n);
            w += n;
        }
    }
    if (trailing && w > base)
        path[w++] = '/';
    return w;
}

} // namespace

size_t url_canonical_host(const char *host, size_t length, char *out)
{
    if (length > 0 && host[length - 1] == '.')
        length--;
    for (size_t i = 0; i < length; i++) {
        char c = host[i];
        out[i] = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    out[length] = '\0';
    return length;
}

size_t url_canonical_path(const char *path, size_t length, char *out)
{
    const char *query = static_cast<const char *>(memchr(path, '?', length));
    size_t path_length = query ? static_cast<size_t>(query - path) : length;
    size_t w = unreserved_decode(path, path_length, out, 0);
    w = dot_segments_remove(out, w);
    if (query)
        w = unreserved_decode(query, length - path_length, out, w);
    out[w] = '\0';
    return w;
}

bool url_header_safe(const char *value, size_t length)
{
    for (size_t i = 0; i < length; i++)
        if (value[i] == '\0' || value[i] == '\r' || value[i] == '\n')
            return false;
    return true;
}

void html_linelength_register(int (*getter)())
{
    html_linelength = getter;
}

char *string_to_html(const char *text, int flags)
{
    static const char script_specials[] = "';.?/\\[]{}()+*|$";
    // Line wrapping needs a line length of at least 1; it divides by it.
    long wrap = 0;
    if (flags == HTML_BREAK_LINES && html_linelength) {
        wrap = html_linelength();
        if (wrap < 1)
            wrap = 1;
    }
    std::string out;
    long run = 0;
    for (const char *p = text; *p; p++) {
        char c = *p;
        if ((flags & HTML_SCRIPT) && strchr(script_specials, c)) {
            out += '\\';
            out += c;
        } else if (c == '"') {
            out += "&quot;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '&') {
            out += "&amp;";
        } else if ((flags & HTML_BREAK_LINES) && c == '\n') {
            out += "<br>";
        } else if ((flags & HTML_BLANKS) && c == ' ') {
            out += "&nbsp;";
        } else {
            out += c;
        }
        if (wrap) {
            run = c == ' ' ? 1 : run + 1;
            if (run % wrap == 0)
                out += "<br>";
        }
    }
    return dup_string(out);
}

namespace {

// A path for an href: the quote, '<', '>' and the blank percent-encoded,
// then HTML-escaped for the attribute.
void href_escape(std::string *out, const std::string &path)
{
    std::string encoded;
    for (char c : path) {
        switch (c) {
        case '"': encoded += "%22"; break;
        case '<': encoded += "%3c"; break;
        case '>': encoded += "%3e"; break;
        case ' ': encoded += "%20"; break;
        default: encoded += c;
        }
    }
    char *escaped = string_to_html(encoded.c_str(), 0);
    *out += escaped;
    free(escaped);
}

} // namespace

char *path_to_url(const char *path)
{
    std::string out = "<a href=\"/\">/</a>";
    char **components = string_break(path, '/');
    std::string running = "/";
    for (char **c = components; c && *c; c++) {
        if (**c == '\0')
            continue; // the root alone gives one empty component
        running += *c;
        running += '/';
        char *name = string_to_html(*c, 0);
        out += "<a href=\"";
        href_escape(&out, running);
        out += "\">";
        out += name;
        out += "/</a>";
        free(name);
    }
    array_free(components);
    return dup_string(out);
}

char *resolve_path(const char *path)
{
    std::vector<std::string> kept;
    char **components = string_break(path, '/');
    for (char **c = components; c && *c; c++) {
        if (strcmp(*c, ".") == 0 || **c == '\0')
            continue;
        if (strcmp(*c, "..") == 0) {
            if (!kept.empty())
                kept.pop_back();
            continue;
        }
        kept.emplace_back(*c);
    }
    array_free(components);
    std::string out;
    for (const std::string &c : kept) {
        out += '/';
        out += c;
    }
    size_t n = strlen(path);
    if (out.empty() || (n > 0 && path[n - 1] == '/'))
        out += '/';
    return dup_string(out);
}
