// Set-up shared by the unit tests: the source tree, a process-wide global
// record, the section schema and the sections built on it, a section that
// counts its updates, and small file helpers.  Header-only: every test file
// is an executable of its own.
#pragma once

#include <gtest/gtest.h>

#include <tinyxml.h>

#include <dirent.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/section.h"
#include "engine/global.h"
#include "runtime/log.h"

// The source tree: $KV_SOURCE_DIR when set, else the tree the tests were
// built from.
inline std::string source_dir()
{
    const char *env = getenv("KV_SOURCE_DIR");
    return env && *env ? env : KV_SOURCE_DIR;
}

// Points `global` at a record that lives for the whole process, with a
// native log ring, unless a record is in place already.
inline void global_for_process()
{
    static GLOBAL_T record{};
    if (global == nullptr) {
        record.logbuffer = logbuffer_new();
        global = &record;
    }
}

// Loads etc/section.xml as the schema once per process.  Call it through
// ASSERT_NO_FATAL_FAILURE: no section may be built on a schema that failed.
inline void schema_for_process()
{
    if (sectionxml == nullptr) {
        std::string path = source_dir() + "/etc/section.xml";
        auto *schema = new TiXmlDocument(path.c_str());
        ASSERT_TRUE(schema->LoadFile()) << path;
        sectionxml = schema;
    }
}

// Builds a section once; sections live for the whole process, as they do
// in the proxy.
template <class S>
void section_for_process(S *&section)
{
    if (section == nullptr)
        section = new S();
}

// Frees a ring that logbuffer_new made.
inline void ring_free(LOGBUFFER *ring)
{
    logbuffer_clear(ring);
    pthread_mutex_destroy(&ring->lock);
    free(ring);
}

// A section of any name that counts the updates it receives.
class TestSection : public Section {
public:
    TestSection(const std::string &name, int32_t mode) : Section(name, mode) {}
    void update() override { updates++; }
    int updates = 0;
};

inline std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The names in a directory, without "." and "..".
inline std::vector<std::string> directory_entries(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *entry = readdir(dir))
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0)
            names.push_back(entry->d_name);
    closedir(dir);
    return names;
}

// "%Y%m%d%H%M%S" of a time in local time, as rotated logs are named.
inline std::string stamp(time_t when)
{
    struct tm local;
    char text[16];
    localtime_r(&when, &local);
    strftime(text, sizeof text, "%Y%m%d%H%M%S", &local);
    return text;
}
