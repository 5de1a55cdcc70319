// Allocation with failure reporting, and the fatal assertion.
#include "runtime/mem.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "runtime/log.h"
#include "runtime/signals.h"

namespace {

const char *source_path(const char *file);
void stdout_notice();

// Set while this thread reports a fatal assertion, so that a fault met
// while reporting (in the log itself) ends the process instead of looping.
thread_local bool asserting = false;

// The source file as "src/<subsystem>/<module>.cpp": the compiler's path
// cut where its last "src/" begins.
const char *source_path(const char *file)
{
    const char *cut = file;
    for (const char *p = strstr(file, "src/"); p != nullptr;
         p = strstr(p + 1, "src/"))
        cut = p;
    return cut;
}

// Written with write(2): stdio's lock may belong to a thread that will
// never release it.
void stdout_notice()
{
    static const char notice[] = "\nSystem Unstable: Please Restart\n";
    ssize_t done = write(STDOUT_FILENO, notice, sizeof notice - 1);
    (void)done; // nothing more can be done about a lost notice
}

} // namespace

void assert_fail(const char *file, int line, const char *function,
                 size_t alloc_size)
{
    exit_begin();
    if (asserting)
        sigterm(EXIT_STATUS_FATAL);
    asserting = true;
    putlog(LOG_ADVICE, "System Unstable: Please Restart");
    putlog(LOG_ADVICE, "ASSERTION: %s:%d in function %s", source_path(file),
           line, function);
    if (alloc_size != 0)
        putlog(LOG_ADVICE, "Failed to allocate %zu bytes of memory", alloc_size);
    stdout_notice();
    sigterm(EXIT_STATUS_FATAL);
}

void *xmalloc(size_t size)
{
    ASSERT(size != 0);
    void *block = malloc(size);
    if (block == nullptr) {
        putlog_system(LOG_ERROR, "malloc", errno, ", in %s, unable to allocate memory",
                      "xmalloc");
        return nullptr;
    }
    memset(block, 0, size);
    return block;
}

void *xrealloc(void *block, size_t size)
{
    ASSERT(size != 0);
    void *grown = realloc(block, size);
    if (grown == nullptr) {
        putlog_system(LOG_ERROR, "realloc", errno,
                      ", in %s, unable to reallocate %zu memory", "xrealloc", size);
        return nullptr;
    }
    return grown;
}

char *xstrdup(const char *text)
{
    if (text == nullptr)
        return nullptr;
    return xstrndup(text, strlen(text));
}

char *xstrndup(const char *text, size_t n)
{
    size_t length = strnlen(text, n);
    // A null copy of a real text would read as "no text": the caller
    // cannot go on without it.
    auto *copy = static_cast<char *>(xmalloc(length + 1));
    ASSERT_ALLOC(copy, length + 1);
    memcpy(copy, text, length);
    copy[length] = '\0';
    return copy;
}

void out_of_memory()
{
    putlog(LOG_ERROR, "Out of memory: %s:%d in function %s",
           source_path(__FILE__), __LINE__, "out_of_memory");
    abort();
}
