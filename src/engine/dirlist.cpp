// FTP directory listings.
#include "engine/dirlist.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <vector>

#include "runtime/filebuf.h"
#include "runtime/log.h"
#include "runtime/mem.h"
#include "runtime/misc.h"
#include "runtime/regexp.h"

namespace {

std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t'))
            i++;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t')
            i++;
        if (i > start)
            words.push_back(line.substr(start, i - start));
    }
    return words;
}

// The column count of the first entry line: the words before "->", or all.
size_t column_count(const std::vector<std::string> &words)
{
    for (size_t i = 0; i < words.size(); i++)
        if (words[i] == "->")
            return i;
    return words.size();
}

bool parse_date(const std::string &month, const std::string &day, const std::string &third,
                struct tm *out)
{
    memset(out, 0, sizeof(*out));
    std::string text = month + " " + day + " " + third;
    const char *end;
    if (third.find(':') != std::string::npos) {
        end = strptime(text.c_str(), "%b %d %H:%M", out);
        time_t now = time(nullptr);
        struct tm today;
        gmtime_r(&now, &today);
        out->tm_year = today.tm_year;
    } else {
        end = strptime(text.c_str(), "%b %d %Y", out);
    }
    if (end == nullptr || *end != '\0')
        return false;
    // Listings give dates in UTC.  The weekday and the day of the year
    // follow from the whole date, the year included, so they are computed
    // once it is complete.
    time_t when = timegm(out);
    return when != (time_t)-1 && gmtime_r(&when, out) != nullptr;
}

bool parse_size(const std::string &text, uint64_t *size)
{
    if (text.empty() || text.size() > 19)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (uint64_t)(c - '0');
    }
    *size = v;
    return true;
}

std::string html(const char *text)
{
    char *escaped = string_to_html(text ? text : "", 0);
    std::string out = escaped ? escaped : "";
    free(escaped);
    return out;
}

// A name as a link relative to the directory: "./" and the name with
// every byte but unreserved ones percent-encoded, the '/' that ends a
// directory's name aside.  A quote, '<', '>' or a blank never reaches the
// page, and no name ("//host", "scheme:...") can lead to another host.
std::string link_segment(const char *name, bool is_dir)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out = "./";
    for (const unsigned char *p = (const unsigned char *)name; *p; p++) {
        if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') ||
            strchr("-._~", *p) || (is_dir && *p == '/' && p[1] == '\0')) {
            out += (char)*p;
        } else {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 15];
        }
    }
    return out;
}

} // namespace

dir_t *dir_list_add(dir_t *list, int is_dir, mode_t mode, const char *owner, const char *group,
                    uint64_t size, const struct tm *date, const char *file_name)
{
    dir_t *entry = (dir_t *)calloc(1, sizeof(dir_t));
    ASSERT_ALLOC(entry, sizeof(dir_t));
    entry->is_dir = is_dir;
    entry->mode = (int32_t)mode;
    entry->owner_name = xstrdup(owner ? owner : "");
    entry->group_name = xstrdup(group ? group : "");
    entry->size = size;
    if (date) {
        entry->date = *date;
        struct tm copy = *date;
        entry->when = timegm(&copy);
    }
    std::string name = file_name ? file_name : "";
    if (is_dir && (name.empty() || name.back() != '/'))
        name += '/';
    entry->file_name = xstrdup(name.c_str());
    if (list) {
        dir_t *last = list;
        while (last->next)
            last = last->next;
        last->next = entry;
        entry->prev = last;
    }
    return entry;
}

dir_t *dir_list_parse(const char *data, size_t len)
{
    dir_t *head = nullptr, *tail = nullptr;
    size_t columns = 0;
    size_t pos = 0;
    while (pos < len) {
        const char *nl = (const char *)memchr(data + pos, '\n', len - pos);
        size_t end = nl ? (size_t)(nl - data) : len;
        std::string line(data + pos, end - pos);
        pos = end + 1;
        // The name ends at a line end or NUL; nothing after them counts.
        size_t cut = line.find_first_of(std::string("\r\0", 2));
        if (cut != std::string::npos)
            line.resize(cut);
        std::vector<std::string> words = split_words(line);
        if (words.empty() || strncasecmp(words[0].c_str(), "total", 5) == 0)
            continue;
        if (columns == 0)
            columns = column_count(words);
        if (columns < 8 || words.size() < columns) {
            putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", line.c_str());
            continue;
        }
        size_t c = 0;
        const std::string &perm = words[c++];
        c++;  // link count
        const std::string owner = words[c++];
        std::string group = "unknown";
        if (columns >= 9)
            group = words[c++];
        uint64_t size = 0;
        struct tm date;
        if (!parse_size(words[c], &size) ||
            !parse_date(words[c + 1], words[c + 2], words[c + 3], &date)) {
            putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", line.c_str());
            continue;
        }
        c += 4;
        std::string name;
        for (size_t i = c; i < words.size(); i++) {
            if (perm[0] == 'l' && words[i] == "->")
                break;
            if (!name.empty())
                name += ' ';
            name += words[i];
        }
        if (name.size() > DIRLIST_NAME_MAX)
            name.resize(DIRLIST_NAME_MAX);
        if (name.empty() || name == "./" || name == "." ) {
            continue;
        }
        dir_t *entry = dir_list_add(tail, perm[0] == 'd', mode_parse(perm.c_str()),
                                    owner.c_str(), group.c_str(), size, &date, name.c_str());
        if (!head)
            head = entry;
        tail = entry;
    }
    return head;
}

dir_t *dir_list_parse(const Filebuf *listing)
{
    if (!listing || !listing->data)
        return nullptr;
    return dir_list_parse(listing->data, (size_t)listing->size);
}

dir_t *dir_list_sort(dir_t *list, int order, int field)
{
    if (!list || field < 1 || field > 3)
        return list;
    std::vector<dir_t *> v;
    for (dir_t *e = list; e; e = e->next)
        v.push_back(e);
    bool desc = order == 1;
    auto by = [&](const dir_t *a, const dir_t *b) {
        switch (field) {
        case 1: {
            int c = strcasecmp(a->file_name, b->file_name);
            return desc ? c > 0 : c < 0;
        }
        case 2:
            if (a->is_dir != b->is_dir)
                return desc ? !a->is_dir : (bool)a->is_dir;
            return desc ? a->size > b->size : a->size < b->size;
        default:
            return desc ? a->when > b->when : a->when < b->when;
        }
    };
    std::stable_sort(v.begin(), v.end(), by);
    for (size_t i = 0; i < v.size(); i++) {
        v[i]->prev = i ? v[i - 1] : nullptr;
        v[i]->next = i + 1 < v.size() ? v[i + 1] : nullptr;
    }
    return v[0];
}

dir_t *dir_list_filter(dir_t *list, const char *expression)
{
    regexp_t *re = reg_compile(expression ? expression : "", REGEXP_ICASE);
    if (!re)
        return list;
    dir_t *head = list;
    for (dir_t *e = list; e;) {
        dir_t *next = e->next;
        if (reg_exec(re, e->file_name) != 0) {
            if (e->prev)
                e->prev->next = e->next;
            else
                head = e->next;
            if (e->next)
                e->next->prev = e->prev;
            e->next = e->prev = nullptr;
            dir_list_free(e);
        }
        e = next;
    }
    reg_free(re);
    return head;
}

void dir_list_free(dir_t *entry)
{
    if (!entry)
        return;
    while (entry->prev)
        entry = entry->prev;
    while (entry) {
        dir_t *next = entry->next;
        free(entry->owner_name);
        free(entry->group_name);
        free(entry->file_name);
        free(entry);
        entry = next;
    }
}

std::string dir_list_page(const dir_t *list, const char *host, int port, const char *path)
{
    std::string title = "Directory listing for ftp://" + std::string(host ? host : "") + ":" +
                        std::to_string(port) + (path ? path : "/");
    std::string page = "<html><head><title>" + html(title.c_str()) +
                       "</title></head><body><h1>" + html(title.c_str()) + "</h1>\n";
    page += "<p>Sort:";
    for (const char *field : {"name", "size", "date"})
        for (const char *order : {"ascending", "descending"})
            page += std::string(" <a href=\"?order=") + order + "&amp;field=" + field + "\">" +
                    field + " " + order + "</a>";
    page += "</p>\n<form method=\"GET\" action=\"\">\n<table>\n";
    page += "<tr><th></th><th>Name</th><th>Size</th><th>Date</th></tr>\n";
    if (path && strcmp(path, "/") != 0)
        page += "<tr><td></td><td><a href=\"../\">..</a></td><td>DIR</td><td></td></tr>\n";
    for (const dir_t *e = list; e; e = e->next) {
        char date[64];
        struct tm t = e->date;
        if (strftime(date, sizeof(date), "%a, %d %b %Y %T GMT", &t) == 0)
            date[0] = '\0';
        std::string size = e->is_dir ? "DIR" : std::to_string(e->size);
        page += "<tr><td><input type=\"checkbox\" name=\"filename\" value=\"" +
                html(e->file_name) + "\"></td><td><a href=\"" +
                link_segment(e->file_name, e->is_dir != 0) + "\">" + html(e->file_name) +
                "</a></td><td>" + size + "</td><td>" + date + "</td></tr>\n";
    }
    page += "</table>\n<p>";
    for (const char *action : {"delete", "rename", "mkdir", "rmdir", "rematch", "raw"})
        page += std::string("<input type=\"radio\" name=\"action\" value=\"") + action + "\">" +
                action + " ";
    page += "<input type=\"text\" name=\"argument\"> <input type=\"submit\" value=\"Go\"></p>\n"
            "</form></body></html>\n";
    return page;
}
