// FTP directory listings as a server sends them: parsed, sorted by every
// field and order, filtered, and drawn as the directory page, which never
// carries a raw '<' from a name nor a link that could lead to another
// host.
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/dirlist.h"
#include "fuzz.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_quiet_log();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    dir_t *list = dir_list_parse((const char *)data, size);
    size_t count = 0;
    for (dir_t *e = list; e; e = e->next) {
        count++;
        if (!e->file_name || strlen(e->file_name) > DIRLIST_NAME_MAX + 1)
            abort();
        if (e->is_dir && e->file_name[strlen(e->file_name) - 1] != '/')
            abort();
    }
    for (int field = 1; field <= 3; field++)
        for (int order = 0; order <= 1; order++) {
            list = dir_list_sort(list, order, field);
            size_t again = 0;
            for (dir_t *e = list; e; e = e->next) {
                if (e->next && e->next->prev != e)
                    abort();
                again++;
            }
            if (again != count)
                abort();
        }
    std::string page = dir_list_page(list, "h", 21, "/p/");
    // A name with markup shows escaped in the link text and the form.
    for (dir_t *e = list; e; e = e->next) {
        if (!strchr(e->file_name, '<') && !strchr(e->file_name, '"'))
            continue;
        std::string name = e->file_name;
        if (page.find(">" + name + "</a>") != std::string::npos ||
            page.find("value=\"" + name + "\"") != std::string::npos)
            abort();
    }
    // Every link is relative to the directory, so it stays on this host:
    // a sort link, "../" or an entry's "./name", percent-encoded where a
    // blank, '<' or '>' would be.
    for (size_t at = page.find("<a href=\""); at != std::string::npos;
         at = page.find("<a href=\"", at + 1)) {
        std::string target = page.substr(at + 9, page.find('"', at + 9) - (at + 9));
        if (target.compare(0, 1, "?") != 0 && target != "../" && target.compare(0, 2, "./") != 0)
            abort();
        if (target.find_first_of(" <>") != std::string::npos)
            abort();
    }
    list = dir_list_filter(list, "a");
    dir_list_free(list);
    return 0;
}
