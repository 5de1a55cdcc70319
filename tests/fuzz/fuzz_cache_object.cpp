// A stored object file: whatever a store holds under an object's name (a
// head and a body, a cut or foreign file) is mapped again, its head parsed
// and checked at the lookup, and served or dropped.
#include <sys/stat.h>

#include <cstring>

#include "cache_fuzz.h"
#include "runtime/filebuf.h"

namespace {

const char *const KEY = "http://fuzz.test/object";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz_cache_init();
    fuzz_cache_load(true);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_cache_reset();
    std::string dir = fuzz_store_dir();
    remove((dir + "/journal.new").c_str());
    char path[1024];
    std::string journal = "896\t" + std::string(KEY) + "\t" + std::to_string(size) +
                          "\t1\t1\t0\t600\t600\t20\t0\n";
    fuzz_write_file(dir + "/journal", journal);
    fuzz_cache_rebuild();
    cache_section->mutex_lock();
    CACHEMAP *o = cache_section->hash_find(KEY);
    if (o)
        cache_section->filename(o, path, sizeof(path));
    cache_section->unlock();
    if (!o)
        return 0;
    // The object's file, under the name the cache gives the key.
    std::string file(path);
    mkdir(file.substr(0, file.rfind('/')).c_str(), 0755);
    fuzz_write_file(file, fuzz_text(data, size));
    CACHEMAP *found = cache_section->cache_open(nullptr, KEY, nullptr, 0);
    if (found) {
        Filebuf *body = cache_section->read_filebuf(found);
        char *head = cache_section->cachemap_headers(found);
        if (!body || !head)
            abort();
        if (strlen(head) + body->size > size)
            abort();
        free(head);
        delete body;
        cache_section->cache_close(found, false);
    }
    fuzz_cache_reset();
    return 0;
}
