#pragma once

#include <pthread.h>

#include <atomic>

struct CONNECTION_T;
struct statm_t;

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

/* One slot of the thread table. id, wakeup and conn, and every change of
 * state but the owner's own move to BUSY, are guarded by threadlistlock.
 * What a serving worker changes on every request takes no table-wide lock:
 * it stores its clientid and its BUSY state itself (atomics), and the texts
 * the connections page shows are under the slot's own show_lock. A slot
 * fills its own cache lines, so one worker's stores do not slow its
 * neighbours'. */
struct alignas(64) THREAD_T {
    pthread_t id;
    pthread_cond_t wakeup;   /* a parked worker waits on it */
    CONNECTION_T *conn;      /* hand-over box */
    std::atomic<unsigned> clientid;   /* the tag of the thread's log lines */
    std::atomic<int> state;
    pthread_mutex_t show_lock;   /* guards requests, ip, url and method */
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

/* Starts a detached worker thread running start(conn) with a stack of
 * max_opt_stack bytes in the lowest free slot, which it gets in state
 * THREAD_STARTING with conn in its hand-over box. Returns the slot index;
 * -1 without a log line when every slot is in use, -2 after a log line
 * when the thread cannot be started. */
int thread_create(void *(*start)(void *), CONNECTION_T *conn);

/* Hands conn to the worker parked last, starting none: its slot, or -1
 * when no worker is parked (conn stays the caller's). */
[[nodiscard]] int process_wake(CONNECTION_T *conn);
/* The workers given a connection and not done with it (some of them
 * waiting for a peer: poll_waiting), counted from the hand-over, so that
 * a worker started but not yet running counts too. */
extern std::atomic<int> process_busy;

/* The worker thread's body (conn: the CONNECTION_T to serve first). Serves
 * one request after another on the connection while the client's next
 * header is already whole in the read buffer, then gives it back to the
 * client pool at once (also with part of a header read) or closes it, parks for
 * THREAD_TIMEOUT seconds waiting for a connection from process_wake, and
 * exits when none comes. */
void *process_entry(void *conn);

/* Set when workers have left (or many pooled clients were closed at
 * once): process_trim then gives the allocator's free pages back to the
 * system. */
extern std::atomic<bool> process_trim_wanted;
/* The timer that trims (once a second, on the timer thread, so that the
 * client pool's poller never stalls in it). */
void process_trim(void *arg);
/* Set by the client pool while connections with a whole request wait for
 * a slot: a worker that parks then wakes the pool, so the waiting requests
 * get its slot at once. */
extern std::atomic<bool> process_slots_wanted;

/* The slot of the calling thread; a thread outside the table is a fatal
 * error. */
int thread_find();
unsigned thread_get_clientid();
void thread_set_clientid(unsigned id);

/* Like thread_get_clientid but without the fatal error: false when the
 * calling thread has no slot. Used by the log writer. */
bool thread_lookup_clientid(unsigned *id);

/* Adds the calling thread's resource usage (CPU times, page faults) to
 * global->rusage; each worker calls it once when it exits, so every thread's
 * share is counted once. */
void rusage_update();

/* Counts the first MAXTHREADS slots by state under threadlistlock into the
 * performance log's record: THREAD_FREE in size, THREAD_BUSY in resident,
 * THREAD_WAITING in share, THREAD_STARTING in text, THREAD_PREFETCH in lib
 * (data and dt become 0). Returns the THREAD_WAITING count. */
int thread_report(statm_t *out);
