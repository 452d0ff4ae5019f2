/*
 * The thread table. Every thread of the daemon (the main thread, the service
 * threads and the workers) has a slot, so any thread can be found by its id:
 * the log writer tags each line with the client id of the connection the
 * thread serves. One mutex guards the whole table. Each thread remembers its
 * own slot, so a lookup checks one slot instead of scanning the table; the
 * scan remains the fallback.
 */
#include "process.h"

#include <sys/resource.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "main.h"
#include "mem.h"

THREAD_T threads[THREAD_SLOTS];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;

/* The calling thread's slot as last seen, or -1; checked against the table
 * under the lock before use. */
static thread_local int thread_own_slot = -1;

static int thread_find_locked();

void threads_init()
{
    pthread_mutex_lock(&threadlistlock);
    for (int i = 0; i < MAXTHREADS; i++) {
        threads[i].id = pthread_t();
        threads[i].state = THREAD_FREE;
        pthread_cond_init(&threads[i].wakeup, nullptr);
        threads[i].conn = nullptr;
    }
    threads[0].id = pthread_self();
    threads[0].state = THREAD_STARTING;
    threads[0].clientid = 0;
    thread_own_slot = 0;
    pthread_mutex_unlock(&threadlistlock);
}

/* The caller holds threadlistlock. Returns -1 when the thread has no slot. */
static int thread_find_locked()
{
    pthread_t self = pthread_self();
    int cached = thread_own_slot;
    if (cached >= 0 && cached < MAXTHREADS && threads[cached].state != THREAD_FREE &&
        pthread_equal(threads[cached].id, self))
        return cached;
    for (int i = 0; i < MAXTHREADS; i++) {
        if (threads[i].state != THREAD_FREE && pthread_equal(threads[i].id, self)) {
            thread_own_slot = i;
            return i;
        }
    }
    return -1;
}

int thread_find()
{
    pthread_mutex_lock(&threadlistlock);
    int slot = thread_find_locked();
    pthread_mutex_unlock(&threadlistlock);
    if (slot < 0)
        fatal_error("src/main", __LINE__, "thread_find");
    return slot;
}

unsigned thread_get_clientid()
{
    unsigned id = 0;
    if (!thread_lookup_clientid(&id))
        fatal_error("src/main", __LINE__, "thread_get_clientid");
    return id;
}

bool thread_lookup_clientid(unsigned *id)
{
    pthread_mutex_lock(&threadlistlock);
    int slot = thread_find_locked();
    if (slot >= 0)
        *id = threads[slot].clientid;
    pthread_mutex_unlock(&threadlistlock);
    return slot >= 0;
}

void thread_set_clientid(unsigned id)
{
    pthread_mutex_lock(&threadlistlock);
    int slot = thread_find_locked();
    if (slot >= 0)
        threads[slot].clientid = id;
    pthread_mutex_unlock(&threadlistlock);
    if (slot < 0)
        fatal_error("src/main", __LINE__, "thread_set_clientid");
}

int thread_create_internal(void *(*start)(void *), void *arg)
{
    pthread_mutex_lock(&threadlistlock);
    int slot = -1;
    for (int i = 0; i < MAXTHREADS; i++) {
        if (threads[i].state == THREAD_FREE) {
            slot = i;
            break;
        }
    }
    if (slot < 0) {
        pthread_mutex_unlock(&threadlistlock);
        putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        return -1;
    }

    THREAD_T *t = &threads[slot];
    t->state = THREAD_STARTING;
    t->ip = t->url = t->method = nullptr;
    t->conn = (CONNECTION_T *)arg;
    t->requests = 0;
    t->clientid = 0;

    /* Each failure frees the slot and is logged after the lock is let go:
     * the log writer takes the same lock. */
    enum { TC_OK, TC_ATTR, TC_STACK, TC_DETACH, TC_CREATE } failure = TC_OK;
    pthread_attr_t attr;
    int rc = pthread_attr_init(&attr);
    if (rc != 0) {
        failure = TC_ATTR;
    } else {
        if ((rc = pthread_attr_setstacksize(&attr, 10485760)) != 0)
            failure = TC_STACK;
        else if ((rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)) != 0)
            failure = TC_DETACH;
        else if ((rc = pthread_create(&t->id, &attr, start, arg)) != 0)
            failure = TC_CREATE;
        pthread_attr_destroy(&attr);
    }
    if (failure != TC_OK)
        t->state = THREAD_FREE;
    pthread_mutex_unlock(&threadlistlock);

    const char *fn = "thread_create_internal";
    switch (failure) {
    case TC_OK:
        return slot;
    case TC_ATTR:
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to inititalise thread",
               rc, strerror(rc), fn);
        break;
    case TC_STACK:
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %d",
               rc, strerror(rc), fn, 10485760);
        break;
    case TC_DETACH:
        putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread",
               rc, strerror(rc), fn);
        break;
    case TC_CREATE:
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread",
               rc, strerror(rc), fn);
        break;
    }
    return -1;
}

void rusage_update()
{
    struct rusage usage;
    if (!global || getrusage(RUSAGE_SELF, &usage) != 0)
        return;
    pthread_mutex_lock(&global->rusage_lock);
    struct rusage *total = &global->rusage;
    total->ru_utime.tv_sec += usage.ru_utime.tv_sec;
    total->ru_utime.tv_usec += usage.ru_utime.tv_usec;
    total->ru_stime.tv_sec += usage.ru_stime.tv_sec;
    total->ru_stime.tv_usec += usage.ru_stime.tv_usec;
    total->ru_utime.tv_sec += total->ru_utime.tv_usec / 1000000;
    total->ru_utime.tv_usec %= 1000000;
    total->ru_stime.tv_sec += total->ru_stime.tv_usec / 1000000;
    total->ru_stime.tv_usec %= 1000000;
    total->ru_minflt += usage.ru_minflt;
    total->ru_majflt += usage.ru_majflt;
    pthread_mutex_unlock(&global->rusage_lock);
}
