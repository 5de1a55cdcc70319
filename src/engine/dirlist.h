// FTP directory listings: the parser of Unix long-format listings, the
// entry list with its sorting and filtering, and the directory page.
#ifndef KV_ENGINE_DIRLIST_H
#define KV_ENGINE_DIRLIST_H

#include <cstdint>
#include <ctime>
#include <string>
#include <sys/types.h>

class Filebuf;

// One entry of a listing; the list owns its entries (dir_list_free).
struct dir_t {
    dir_t *next;
    dir_t *prev;
    int32_t is_dir;
    int32_t mode;
    char *owner_name;
    char *group_name;
    uint64_t size;
    struct tm date;
    time_t when;
    char *file_name;  // a directory's name ends with '/'
};

// Longest name the parser keeps.
#define DIRLIST_NAME_MAX 2559

// Parses a listing (bytes of any kind, NULs included); the head of a new
// list, or null when no entry parsed.  Lines it cannot read are logged and
// skipped.
dir_t *dir_list_parse(const char *data, size_t len);
dir_t *dir_list_parse(const Filebuf *listing);

// Appends a new entry (list may be null) and returns it.
dir_t *dir_list_add(dir_t *list, int is_dir, mode_t mode, const char *owner, const char *group,
                    uint64_t size, const struct tm *date, const char *file_name);

// Stable sort; order 0 ascending, 1 descending; field 1 name, 2 size,
// 3 date, any other leaves the list as it is.  Returns the new head.
dir_t *dir_list_sort(dir_t *list, int order, int field);

// Keeps the entries whose names match the expression (without case); an
// expression that does not compile leaves the list unchanged.  Returns the
// new head.
dir_t *dir_list_filter(dir_t *list, const char *expression);

// Frees the whole list that the entry belongs to; null is ignored.
void dir_list_free(dir_t *entry);

// The directory page of the list for ftp://host:port/path: sort links, one
// row per entry and the form of file operations.  Every name is escaped
// for the page, and percent-encoded where it is part of a link.
std::string dir_list_page(const dir_t *list, const char *host, int port, const char *path);

#endif
