#pragma once

#include <pthread.h>

struct CONNECTION_T;

/* Thread states; transitions: FREE -> STARTING (created) -> BUSY (serving)
 * -> WAITING (parked) -> STARTING (handed a connection) -> BUSY, or
 * WAITING -> FREE (the park timed out and the thread exits). Service threads
 * stay STARTING. PREFETCH is counted but never set. */
enum {
    THREAD_FREE = 0,
    THREAD_BUSY = 1,
    THREAD_WAITING = 2,
    THREAD_STARTING = 3,
    THREAD_PREFETCH = 4,
};

/* One slot of the thread table; every field is guarded by threadlistlock. */
struct THREAD_T {
    pthread_t id;
    pthread_cond_t wakeup;   /* a parked worker waits on it */
    CONNECTION_T *conn;      /* hand-over box */
    unsigned clientid;       /* the tag of the thread's log lines */
    int state;
    int requests;
    char *ip;                /* owned texts of the request in progress */
    char *url;
    char *method;
};

extern THREAD_T threads[];
extern pthread_mutex_t threadlistlock;

/* Prepares the first MAXTHREADS slots and puts the calling (main) thread in
 * slot 0. */
void threads_init();

/* Starts a detached service thread with a 10 MiB stack in the lowest free
 * slot. Returns the slot index, or -1 after a log line. */
int thread_create_internal(void *(*start)(void *), void *arg);

/* The slot of the calling thread; a thread outside the table is a fatal
 * error. */
int thread_find();
unsigned thread_get_clientid();
void thread_set_clientid(unsigned id);

/* Like thread_get_clientid but without the fatal error: false when the
 * calling thread has no slot. Used by the log writer. */
bool thread_lookup_clientid(unsigned *id);

/* Adds the process's resource usage to global->rusage; each worker calls it
 * once when it exits. */
void rusage_update();
