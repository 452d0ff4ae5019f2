#include "test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "log.h"
#include "main.h"
#include "mem.h"
#include "process.h"
#include "timers.h"

void test_runtime_init()
{
    daemonize = 1;   /* keep log lines off standard output */
    threads_init();
    if (!global) {
        GLOBAL_T *g = (GLOBAL_T *)xmalloc(sizeof(GLOBAL_T));
        pthread_mutex_init(&g->rusage_lock, nullptr);
        pthread_mutex_init(&g->dnscache_lock, nullptr);
        pthread_rwlock_init(&g->password_cache_lock, nullptr);
        g->logbuffer = logbuffer_create(1000);
        g->timers = timers_init();
        global = g;
    }
}

bool test_log_contains(const std::string &text)
{
    LOGBUFFER *b = global->logbuffer;
    bool found = false;
    pthread_rwlock_rdlock(&b->lock);
    for (LOGBUFFER_LIST *l = b->newest; l && !found; l = l->older)
        found = strstr(l->line, text.c_str()) != nullptr;
    pthread_rwlock_unlock(&b->lock);
    return found;
}

void test_log_clear()
{
    logbuffer_clear(global->logbuffer);
}

std::string test_temp_dir()
{
    const char *base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/quilltest.XXXXXX";
    char *made = mkdtemp(&tmpl[0]);
    return made ? std::string(made) : std::string();
}
