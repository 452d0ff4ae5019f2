#include "test_support.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <thread>

#include <tinyxml2.h>

#include "locks.h"
#include "log.h"
#include "mem.h"
#include "options.h"
#include "process.h"
#include "section.h"
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
    for (const std::string &line : logbuffer_lines(global->logbuffer))
        if (line.find(text) != std::string::npos)
            return true;
    return false;
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

std::string test_source_dir()
{
    const char *env = getenv("QUILL_SOURCE");
    if (env && *env)
        return env;
    std::string file = __FILE__;
    std::string tests = file.substr(0, file.rfind('/'));
    return tests.substr(0, tests.rfind('/'));
}

bool test_description_load()
{
    if (sectionxml)
        return true;
    tinyxml2::XMLDocument *doc = new tinyxml2::XMLDocument;
    std::string path = test_source_dir() + "/etc/section.xml";
    if (doc->LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS) {
        delete doc;
        return false;
    }
    sectionxml = doc;
    return true;
}

bool test_section_lock_elsewhere(Section &section, bool write)
{
    bool got = false;
    std::thread other([&] {
        struct timespec past = { 0, 0 };
        got = write ? section.write_lock_until(&past) : section.read_lock_until(&past);
        if (got)
            section.unlock();
    });
    other.join();
    return got;
}
