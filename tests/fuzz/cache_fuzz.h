// Set-up shared by the cache's fuzz targets: the schema, the cache section
// over a small index (a walk of the proxy's 104,729 buckets per input would
// dominate the run) and a store in a temporary directory.
#ifndef KV_TESTS_FUZZ_CACHE_FUZZ_H
#define KV_TESTS_FUZZ_CACHE_FUZZ_H

#include <tinyxml.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>

#include "cache/cache.h"
#include "fuzz.h"

// Buckets of the fuzzed index: few, so chains are walked too.
constexpr int FUZZ_CACHE_BUCKETS = 61;

// The store's directory; made once per process.
inline std::string &fuzz_store_dir()
{
    static std::string dir;
    return dir;
}

inline void fuzz_cache_init()
{
    fuzz_quiet_log();
    const char *src = getenv("KV_SOURCE_DIR");
    std::string path = std::string(src && *src ? src : KV_SOURCE_DIR) + "/etc/section.xml";
    static TiXmlDocument schema(path.c_str());
    if (!schema.LoadFile())
        abort();
    sectionxml = &schema;
    cache_section = new CacheSection(FUZZ_CACHE_BUCKETS);
    // A store in memory where there is one: every input rewrites and syncs
    // its journal.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string pattern = base + "/kv-fuzz-cache-XXXXXX";
    if (!mkdtemp(&pattern[0]))
        abort();
    fuzz_store_dir() = pattern;
}

// Loads the cache section with the store (or without it): the journal is
// read and rewritten, or every object of the store is let go.
inline void fuzz_cache_load(bool store)
{
    std::string xml =
        "<kelvarine><cache><enabled>true</enabled><allow_violations>false</allow_violations>"
        "<memory_size>64M</memory_size><memory_free_extra>8M</memory_free_extra>"
        "<minsize>0</minsize><maxsize>1M</maxsize><prefetch_window>60</prefetch_window>"
        "<icp_port>0</icp_port><icp_timeout>1000</icp_timeout>"
        "<store_selection>fewest_bytes</store_selection><journal_lines>0</journal_lines>"
        "<clean_interval>30</clean_interval>";
    if (store)
        xml += "<store><enabled>true</enabled><comment/><profiles/><path>" + fuzz_store_dir() +
               "</path><max_size>1G</max_size><free_extra>64M</free_extra>"
               "<md5_check>false</md5_check></store>";
    xml += "<refresh><enabled>true</enabled><comment/><profiles/><cacheable>true</cacheable>"
           "<min_age>0</min_age><max_age>600</max_age><validate_age>600</validate_age>"
           "<lm_factor>20</lm_factor></refresh></cache></kelvarine>";
    TiXmlDocument doc;
    doc.Parse(xml.c_str());
    if (doc.Error())
        abort();
    cache_section->load(&doc, 1);
}

// Forgets every object and queued deletion of the last input, so that each
// input starts from an empty cache and leak checks see what it left.
inline void fuzz_cache_reset()
{
    CacheSection *c = cache_section;
    c->mutex_lock();
    c->each([&](CACHEMAP *o) {
        if (o->flags & CACHE_MEM)
            c->mem_delete(o);
        c->hash_remove(o);
        c->cache_free(o);
    });
    for (auto &s : c->stores) {
        s->objects = 0;
        s->bytes = 0;
    }
    c->unlock();
    pthread_mutex_lock(&c->unlink_mutex);
    c->unlink_list.clear();
    c->unlink_count = 0;
    pthread_mutex_unlock(&c->unlink_mutex);
}

// The rebuild a configuration load runs: every store's journal is read
// into the index and rewritten.  The section itself is loaded once, at
// start (fuzz_cache_load): parsing it again per input would cost more than
// what is fuzzed.
inline void fuzz_cache_rebuild()
{
    cache_section->mutex_lock();
    cache_section->stores_update();
    cache_section->unlock();
}

inline void fuzz_write_file(const std::string &path, const std::string &data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), (std::streamsize)data.size());
}

#endif
