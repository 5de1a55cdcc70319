// The journal reader: a store's journal as a crash or another program may
// have left it is read at a configuration load, its objects entered in the
// index, and the journal rewritten from the index.  Reading the rewritten
// journal again gives the same objects.
#include <cstdio>
#include <set>

#include "cache_fuzz.h"

namespace {

std::set<std::string> keys()
{
    std::set<std::string> out;
    cache_section->mutex_lock();
    cache_section->each([&](CACHEMAP *o) { out.insert(o->key); });
    cache_section->unlock();
    return out;
}

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
    fuzz_write_file(dir + "/journal", fuzz_text(data, size));
    // The load reads the journal and rewrites it from the index.
    fuzz_cache_rebuild();
    std::set<std::string> first = keys();
    // The rewritten journal, read into an empty index, gives the same keys.
    fuzz_cache_reset();
    cache_section->mutex_lock();
    Store *store = cache_section->stores.front().get();
    cache_section->journal_read(store);
    cache_section->unlock();
    std::set<std::string> second = keys();
    if (second != first) {
        for (const std::string &k : first)
            if (!second.count(k))
                fprintf(stderr, "lost on rereading: [%s]\n", k.c_str());
        for (const std::string &k : second)
            if (!first.count(k))
                fprintf(stderr, "gained on rereading: [%s]\n", k.c_str());
        abort();
    }
    fuzz_cache_reset();
    return 0;
}
