// Memory allocation with failure reporting and the fatal assertion.
#ifndef KV_RUNTIME_MEM_H
#define KV_RUNTIME_MEM_H

#include <cstddef>
#include <cstdint>

// Ends the process: logs "System Unstable: Please Restart" and
// "ASSERTION: %s:%d in function %s" (and, when alloc_size is not 0,
// "Failed to allocate %u bytes of memory"), prints the notice on standard
// output and runs the exit sequence with a non-zero status.  Never returns.
[[noreturn]] void assert_fail(const char *file, int line, const char *function,
                              size_t alloc_size);

#define ASSERT(cond)                                                      \
    do {                                                                  \
        if (!(cond))                                                      \
            assert_fail(__FILE__, __LINE__, __func__, 0);                 \
    } while (0)

// The allocation form: used where a call site cannot go on without the
// memory that xmalloc failed to give.
#define ASSERT_ALLOC(ptr, size)                                           \
    do {                                                                  \
        if ((ptr) == nullptr)                                             \
            assert_fail(__FILE__, __LINE__, __func__, (size) ? (size) : 1); \
    } while (0)

void *xmalloc(size_t size);
void *xrealloc(void *block, size_t size);
// A terminated copy of the text (xstrndup: of at most its first n bytes).
// Their allocation failure is the fatal assertion, so a text always gives
// a copy; only xstrdup(nullptr) gives null.
char *xstrdup(const char *text);
char *xstrndup(const char *text, size_t n);

// Installed with std::set_new_handler at start-up.
void out_of_memory();

#endif
