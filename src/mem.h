#pragma once

#include <cstddef>

/* Allocation that zero-fills and logs, and the program's one fatal path. */

/* A new zero-filled block of size bytes, or NULL after an error line.
 * A size of 0 is a fatal error. The caller frees it with free(). */
void *xmalloc(size_t size);

/* realloc; the added bytes are not zeroed. NULL after an error line, the old
 * block then stays valid. A size of 0 is a fatal error. */
void *xrealloc(void *block, size_t size);

/* A copy made with xmalloc; NULL for NULL or when the allocation fails. */
char *xstrdup(const char *text);

/* A copy of at most the first n characters, always terminated; NULL when
 * the allocation fails (or text is NULL). */
char *xstrndup(const char *text, size_t n);

/* The handler of a failed operator new: logs and aborts. */
void out_of_memory();

/* Logs "System Unstable: Please Restart", the assertion line naming file,
 * line and function, the optional cause, prints the warning on standard
 * output and shuts the daemon down with exit status 1. Never returns. */
[[noreturn]] void fatal_error(const char *file, int line, const char *function,
                              const char *cause_format = nullptr, ...);

/* The process frame's part of the fatal path, registered once at start-up
 * (before any thread starts) so that this layer needs nothing above it:
 * pending tells whether the start is still under way (the cause then also
 * goes to standard error), stop shuts the daemon down in order and never
 * returns. Until something registers, the start counts as pending and the
 * stop is an immediate exit with status 1; a stop that returns is followed
 * by that exit too. A NULL argument restores the default. */
void fatal_register(bool (*pending)(), void (*stop)());

/* An invariant that can only fail if our own code is wrong. */
#define ASSERT(expr)                                                        \
    do {                                                                    \
        if (!(expr))                                                        \
            fatal_error(__FILE__, __LINE__, __func__, "failed: %s", #expr); \
    } while (0)

/* A costly check, compiled out of release builds. */
#ifdef NDEBUG
#define DEBUG_ASSERT(expr) ((void)0)
#else
#define DEBUG_ASSERT(expr) ASSERT(expr)
#endif

/* The allocation failure that the caller cannot work around. */
#define FATAL_ALLOC(size) \
    fatal_error(__FILE__, __LINE__, __func__, "Failed to allocate %u bytes of memory", (unsigned)(size))
