/*
 * Memory helpers and the fatal path. Every block comes zero-filled, so
 * records made with xmalloc start with every field zero or NULL, and a failed
 * allocation is logged where it happened instead of surfacing later as a
 * stray NULL. Internal invariants that break end here: the cause is logged
 * in the fixed form administrators search for, and the daemon stops in order
 * through the stop that the process frame registered (fatal_register).
 */
#include "mem.h"

#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"

void *xmalloc(size_t size)
{
    if (size == 0)
        fatal_error("src/mem", __LINE__, "xmalloc", "zero-byte allocation");
    /* malloc and memset rather than calloc: the C library serves small
     * blocks from the thread's own cache through malloc only, and calloc
     * would take the shared arena's lock for every block. The empty asm
     * keeps the compiler from folding the pair back into calloc. */
    void *p = malloc(size);
    if (!p) {
        putlog(LOG_ERROR, "[system: malloc:%d:%s], in %s, unable to allocate memory",
               errno, strerror(errno), "xmalloc");
        return nullptr;
    }
    __asm__ __volatile__("" : : "r"(p) : "memory");
    return memset(p, 0, size);
}

void *xrealloc(void *block, size_t size)
{
    if (size == 0)
        fatal_error("src/mem", __LINE__, "xrealloc", "zero-byte allocation");
    void *p = realloc(block, size);
    if (!p)
        putlog(LOG_ERROR, "[system: realloc:%d:%s], in %s, unable to reallocate %u memory",
               errno, strerror(errno), "xrealloc", (unsigned)size);
    return p;
}

char *xstrdup(const char *text)
{
    if (!text)
        return nullptr;
    size_t len = strlen(text);
    char *p = (char *)xmalloc(len + 1);
    if (p)
        memcpy(p, text, len);   /* terminator from the zero fill */
    return p;
}

char *xstrndup(const char *text, size_t n)
{
    if (!text)
        return nullptr;
    size_t len = strnlen(text, n);
    char *p = (char *)xmalloc(len + 1);
    if (p)
        memcpy(p, text, len);   /* terminator from the zero fill */
    return p;
}

void out_of_memory()
{
    putlog(LOG_ERROR, "Out of memory: %s:%d in function %s", "src/mem", __LINE__, "out_of_memory");
    abort();
}

/* Strips the directory part of a compiler-given path, so the line names the
 * component as "src/mem" does, and drops the extension. */
static void mem_source_name(const char *file, char *out, size_t size)
{
    const char *src = strstr(file, "src/");
    const char *name = src ? src : file;
    snprintf(out, size, "%s", name);
    char *dot = strrchr(out, '.');
    if (dot && dot > strrchr(out, '/'))
        *dot = '\0';
}

static bool fatal_default_pending()
{
    return true;
}

/* The stop without a process frame: nothing to close but the standard
 * streams; other threads may run, so no exit-time destructors. */
[[noreturn]] static void fatal_default_stop()
{
    /* The lines just logged reach the file before the process ends. */
    log_writer_stop();
    fflush(stdout);
    fflush(stderr);
    _exit(1);
}

static bool (*fatal_pending)() = fatal_default_pending;
static void (*fatal_stop)() = fatal_default_stop;

void fatal_register(bool (*pending)(), void (*stop)())
{
    fatal_pending = pending ? pending : fatal_default_pending;
    fatal_stop = stop ? stop : fatal_default_stop;
}

void fatal_error(const char *file, int line, const char *function, const char *cause_format, ...)
{
    char source[256];
    mem_source_name(file, source, sizeof source);

    putlog(LOG_ADVICE, "System Unstable: Please Restart");
    putlog(LOG_ADVICE, "ASSERTION: %s:%d in function %s", source, line, function);
    if (cause_format) {
        char cause[1024];
        va_list ap;
        va_start(ap, cause_format);
        vsnprintf(cause, sizeof cause, cause_format, ap);
        va_end(ap);
        putlog(LOG_ADVICE, "%s", cause);
        if (fatal_pending())
            fprintf(stderr, "%s\n", cause);
    }
    if (fatal_pending())
        fprintf(stderr, "ASSERTION: %s:%d in function %s\n", source, line, function);
    printf("\nSystem Unstable: Please Restart\n");
    fflush(stdout);
    fatal_stop();
    fatal_default_stop();
}
