#pragma once

#include <pthread.h>

#include <ctime>

enum { TIMER_REPEAT = 1 };

typedef void (*timer_fn)(void *arg);

/* One timer, in due order in its list. */
struct TIMERS_LIST {
    TIMERS_LIST *prev;
    TIMERS_LIST *next;
    int id;
    int interval;    /* seconds */
    time_t due;      /* timers_now() of the next run */
    int flags;       /* TIMER_REPEAT, or 0 to run once */
    timer_fn callback;
    void *arg;
};

/* A timer list sorted by due time; equal times keep insertion order. */
struct TIMERS {
    pthread_mutex_t mutex;   /* held while callbacks run: they must not add timers */
    int next_id;
    TIMERS_LIST *head;
};

/* A new empty list; allocation failure is fatal. */
TIMERS *timers_init();

/* Frees the list and every timer in it. */
void timers_free(TIMERS *timers);

/* Seconds of the monotonic clock: timers keep running at their pace when
 * the wall clock is stepped, backward or forward. */
time_t timers_now();

/* Adds a timer due interval seconds from now; returns its id. */
int timers_add(TIMERS *timers, int interval, int repeat, timer_fn callback, void *arg);

/* Runs every timer that is due, as of now. */
void timers_check(TIMERS *timers);

/* Like timers_check with a given "now" on the timers_now() scale. */
void timers_check_at(TIMERS *timers, time_t now);

/* The timer thread: once a second runs the due timers of global->timers.
 * It is also the thread that handles the process's signals, which arrive
 * through a self-pipe it waits on between ticks. */
void *timer_thread(void *arg);
