// The journal reader: a store's journal as a crash or another program may
// have left it is read at a configuration load, its objects entered in the
// index, and the journal rewritten from the index.  Reading the rewritten
// journal again gives the same objects.
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
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // Without the store every unmapped object of an earlier input goes.
    fuzz_cache_load(false);
    std::string dir = fuzz_store_dir();
    remove((dir + "/journal.new").c_str());
    fuzz_write_file(dir + "/journal", fuzz_text(data, size));
    fuzz_cache_load(true);
    std::set<std::string> first = keys();
    fuzz_cache_load(false);
    fuzz_cache_load(true);
    if (keys() != first)
        abort();
    return 0;
}
