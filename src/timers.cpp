/*
 * Periodic work (limit windows, DNS cache expiry, password cache expiry) on
 * one timer thread with a one-second tick, on the monotonic clock. The list is kept in due order, so
 * a tick with nothing due costs one comparison. A repeating timer that fell
 * behind runs once more a second later instead of catching up on every
 * missed interval.
 *
 * The timer thread also waits on the signal self-pipe between ticks and so
 * is where the work of SIGTERM, SIGHUP, SIGUSR1 and the others runs, outside
 * signal context.
 */
#include "timers.h"

#include <cstdlib>

#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "signals.h"

static void timers_insert_locked(TIMERS *timers, TIMERS_LIST *timer);

time_t timers_now()
{
    return (time_t)(monotonic_ms() / 1000);
}

TIMERS *timers_init()
{
    TIMERS *timers = (TIMERS *)xmalloc(sizeof(TIMERS));
    if (!timers)
        FATAL_ALLOC(sizeof(TIMERS));
    pthread_mutex_init(&timers->mutex, nullptr);   /* next_id and head: zero fill */
    return timers;
}

void timers_free(TIMERS *timers)
{
    TIMERS_LIST *t = timers->head;
    while (t) {
        TIMERS_LIST *next = t->next;
        free(t);
        t = next;
    }
    pthread_mutex_destroy(&timers->mutex);
    free(timers);
}

/* Inserts after every timer due at the same time or earlier. */
static void timers_insert_locked(TIMERS *timers, TIMERS_LIST *timer)
{
    TIMERS_LIST *prev = nullptr;
    TIMERS_LIST *cur = timers->head;
    while (cur && cur->due <= timer->due) {
        prev = cur;
        cur = cur->next;
    }
    timer->prev = prev;
    timer->next = cur;
    if (cur)
        cur->prev = timer;
    if (prev)
        prev->next = timer;
    else
        timers->head = timer;
}

int timers_add(TIMERS *timers, int interval, int repeat, timer_fn callback, void *arg)
{
    TIMERS_LIST *timer = (TIMERS_LIST *)xmalloc(sizeof(TIMERS_LIST));
    if (!timer)
        FATAL_ALLOC(sizeof(TIMERS_LIST));
    int id;
    {
        MutexGuard guard(&timers->mutex);
        timer->id = timers->next_id++;
        timer->interval = interval;
        timer->due = timers_now() + interval;
        timer->flags = repeat;
        timer->callback = callback;
        timer->arg = arg;
        timers_insert_locked(timers, timer);
        id = timer->id;
    }
    putlog(LOG_DEBUG, "added timer %d", id);
    return id;
}

void timers_check_at(TIMERS *timers, time_t now)
{
    MutexGuard guard(&timers->mutex);
    while (timers->head && timers->head->due <= now) {
        TIMERS_LIST *timer = timers->head;
        timer->callback(timer->arg);

        timers->head = timer->next;
        if (timers->head)
            timers->head->prev = nullptr;
        if (timer->flags & TIMER_REPEAT) {
            timer->due += timer->interval;
            if (timer->due <= now)
                timer->due = now + 1;
            timers_insert_locked(timers, timer);
        } else {
            free(timer);
        }
    }
}

void timers_check(TIMERS *timers)
{
    timers_check_at(timers, timers_now());
}

void *timer_thread(void *)
{
    signal_become_handler();
    for (;;) {
        struct timespec start, now;
        clock_gettime(CLOCK_MONOTONIC, &start);
        /* Wait out the rest of the second, handling signals as they come. */
        for (;;) {
            clock_gettime(CLOCK_MONOTONIC, &now);
            long elapsed_ms = (now.tv_sec - start.tv_sec) * 1000 +
                              (now.tv_nsec - start.tv_nsec) / 1000000;
            if (elapsed_ms >= 1000)
                break;
            signal_dispatch((int)(1000 - elapsed_ms));
        }
        if (global && global->timers)
            timers_check(global->timers);
    }
    return nullptr;
}
