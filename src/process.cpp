/*
 * The thread table and the worker loop. Every thread of the daemon (the
 * main thread, the service threads and the workers) has a slot, so any
 * thread can be found by its id; setting a slot's client id also sets the
 * thread's log tag (log_set_clientid), so the log writer never takes the
 * table's lock. One mutex guards the whole
 * table, but for the client id, which the owning thread sets without it. Each thread remembers its own slot, so a lookup checks one slot
 * instead of scanning the table; the scan remains the fallback.
 *
 * A worker serves one request after another on its connection while the
 * client's next request is already whole in the read buffer (pipelined).
 * Otherwise, as soon as the answer is out, the connection goes back to
 * the client pool, whose one epoll set watches every idle client, so an
 * idle kept-alive client costs no thread; the worker parks, waiting for
 * process_wake to hand it another connection; a worker that waits out
 * THREAD_TIMEOUT exits and frees its slot. A connection that arrives just
 * as the wait runs out is served, never dropped. Before it parks, a worker
 * takes a client that is ready itself (ClientPool::Take: one the poller
 * found waiting for a worker, else one from the pool's epoll set), so
 * under load workers go from client to client without sleeping and
 * without a hand-over, and the poller starts a new worker only when few
 * can go on. Parked workers are kept
 * on a stack, so a hand-over takes the one parked last (its stack and
 * caches the warmest) without a pass over the table.
 */
#include "process.h"

#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cache.h"
#include "clientpool.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "limit.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "perflog.h"
#include "proxyauth.h"
#include "request.h"
#include "serverpool.h"
#include "socket.h"
#include "stats.h"
#include "urlcommand.h"

THREAD_T threads[THREAD_SLOTS];
pthread_mutex_t threadlistlock = PTHREAD_MUTEX_INITIALIZER;
std::atomic<bool> process_trim_wanted{false};
std::atomic<bool> process_slots_wanted{false};
std::atomic<int> process_busy{0};

/* The calling thread's slot as last seen, or -1; checked against the table
 * under the lock before use. */
static thread_local int thread_own_slot = -1;

/* The parked workers' slots, the last parked on top, and each slot's place
 * in it (-1: not parked); under threadlistlock. */
static int parked_slots[THREAD_SLOTS];
static int parked_at[THREAD_SLOTS];
static int parked_count = 0;

static int thread_find_locked();
static void process_serve(CONNECTION_T *conn);
static bool process_next_request(Socket *client);
static CONNECTION_T *process_park(int slot);
static void process_stat_request();

/* The caller holds threadlistlock. */
static void parked_push(int slot)
{
    parked_at[slot] = parked_count;
    parked_slots[parked_count++] = slot;
}

/* Takes slot off the stack wherever it is; the caller holds threadlistlock. */
static void parked_remove(int slot)
{
    int at = parked_at[slot];
    if (at < 0)
        return;
    int last = parked_slots[--parked_count];
    parked_slots[at] = last;
    parked_at[last] = at;
    parked_at[slot] = -1;
}

void threads_init()
{
    /* Parked workers wait against the monotonic clock, so a change of the
     * system time neither wakes them early nor keeps them parked. */
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    {
        MutexGuard guard(&threadlistlock);
        for (int i = 0; i < MAXTHREADS; i++) {
            threads[i].id = pthread_t();
            threads[i].state = THREAD_FREE;
            pthread_cond_init(&threads[i].wakeup, &attr);
            pthread_mutex_init(&threads[i].show_lock, nullptr);
            threads[i].conn = nullptr;
        }
        for (int i = 0; i < THREAD_SLOTS; i++)
            parked_at[i] = -1;
        parked_count = 0;
        threads[0].id = pthread_self();
        threads[0].state = THREAD_STARTING;
        threads[0].clientid = 0;
        thread_own_slot = 0;
    }
    log_set_clientid(0);
    pthread_condattr_destroy(&attr);
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
    int slot;
    {
        MutexGuard guard(&threadlistlock);
        slot = thread_find_locked();
    }
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

/* The calling thread's slot without the table's lock, or -1: the slot it
 * last found under the lock, while it still holds this thread's id. A slot's
 * id changes only while the slot is free, and a thread's slot is freed only
 * as the thread ends, so the owning thread reads it safely. */
static int thread_own_slot_unlocked()
{
    int cached = thread_own_slot;
    if (cached >= 0 && cached < MAXTHREADS && pthread_equal(threads[cached].id, pthread_self()))
        return cached;
    return -1;
}

bool thread_lookup_clientid(unsigned *id)
{
    int slot = thread_own_slot_unlocked();
    if (slot >= 0) {
        *id = threads[slot].clientid.load(std::memory_order_relaxed);
        return true;
    }
    MutexGuard guard(&threadlistlock);
    slot = thread_find_locked();
    if (slot >= 0)
        *id = threads[slot].clientid;
    return slot >= 0;
}

/* Only the owning thread writes its slot's clientid, so the per-request set
 * takes no lock once the thread knows its slot. */
void thread_set_clientid(unsigned id)
{
    int slot = thread_own_slot_unlocked();
    if (slot >= 0) {
        threads[slot].clientid.store(id, std::memory_order_relaxed);
    } else {
        MutexGuard guard(&threadlistlock);
        slot = thread_find_locked();
        if (slot >= 0)
            threads[slot].clientid = id;
    }
    if (slot < 0)
        fatal_error("src/main", __LINE__, "thread_set_clientid");
    log_set_clientid(id);
}

/* How starting a thread failed. */
enum thread_failure { TF_OK, TF_ATTR, TF_STACK, TF_DETACH, TF_CREATE };

/* Starts a detached thread with the given stack size; its id goes to *id.
 * On failure *rc holds the error number. */
static thread_failure thread_spawn(void *(*start)(void *), void *arg, size_t stack, pthread_t *id,
                                   int *rc)
{
    pthread_attr_t attr;
    if ((*rc = pthread_attr_init(&attr)) != 0)
        return TF_ATTR;
    thread_failure failure = TF_OK;
    if ((*rc = pthread_attr_setstacksize(&attr, stack)) != 0)
        failure = TF_STACK;
    else if ((*rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED)) != 0)
        failure = TF_DETACH;
    else if ((*rc = pthread_create(id, &attr, start, arg)) != 0)
        failure = TF_CREATE;
    pthread_attr_destroy(&attr);
    return failure;
}

/* The log line of a failed start; fn names the caller, attr_word is its
 * spelling of the attribute failure. The caller holds no lock. */
static void thread_log_failure(thread_failure failure, int rc, const char *fn,
                               const char *attr_word, size_t stack)
{
    switch (failure) {
    case TF_OK:
        break;
    case TF_ATTR:
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to %s thread",
               rc, strerror(rc), fn, attr_word);
        break;
    case TF_STACK:
        putlog(LOG_ERROR, "[system: pthread_attr_setstacksize:%d:%s], in %s, failed to set thread stack_size: %d",
               rc, strerror(rc), fn, (int)stack);
        break;
    case TF_DETACH:
        putlog(LOG_ERROR, "[system: pthread_attr_setdetachstate:%d:%s], in %s, failed to start thread",
               rc, strerror(rc), fn);
        break;
    case TF_CREATE:
        putlog(LOG_ERROR, "[system: pthread_create:%d:%s], in %s, failed to create thread",
               rc, strerror(rc), fn);
        break;
    }
}

int thread_create_internal(void *(*start)(void *), void *arg)
{
    int slot = -1;
    int rc = 0;
    thread_failure failure = TF_OK;
    {
        MutexGuard guard(&threadlistlock);
        for (int i = 0; i < MAXTHREADS; i++) {
            if (threads[i].state == THREAD_FREE) {
                slot = i;
                break;
            }
        }
        if (slot >= 0) {
            THREAD_T *t = &threads[slot];
            t->state = THREAD_STARTING;
            t->ip = t->url = t->method = nullptr;
            t->conn = (CONNECTION_T *)arg;
            t->requests = 0;
            t->clientid = 0;
            /* A failure frees the slot; it is logged after the lock is let
             * go, as no line is written under the thread table's lock. */
            failure = thread_spawn(start, arg, 10485760, &t->id, &rc);
            if (failure != TF_OK)
                t->state = THREAD_FREE;
        }
    }
    if (slot < 0) {
        putlog(LOG_ADVICE, "error: increase MAXTHREADS: %d maybe inadequate", MAXTHREADS);
        return -1;
    }

    if (failure == TF_OK)
        return slot;
    thread_log_failure(failure, rc, "thread_create_internal", "inititalise", 10485760);
    return -1;
}

void rusage_update()
{
    struct rusage usage;
    if (!global || getrusage(RUSAGE_THREAD, &usage) != 0)
        return;
    MutexGuard guard(&global->rusage_lock);
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
}

int thread_create(void *(*start)(void *), CONNECTION_T *conn)
{
    thread_failure failure = TF_OK;
    int slot = -1;
    int rc = 0;
    {
        MutexGuard guard(&threadlistlock);
        for (int i = 0; i < MAXTHREADS; i++) {
            if (threads[i].state == THREAD_FREE) {
                slot = i;
                break;
            }
        }
        if (slot < 0)
            return -1;   /* no free slot: the caller closes the connection */
        pthread_t id;
        failure = thread_spawn(start, conn, (size_t)max_opt_stack, &id, &rc);
        if (failure == TF_OK) {
            /* Claimed before the lock goes, so the new thread finds its
             * slot complete. */
            THREAD_T *t = &threads[slot];
            t->id = id;
            t->state = THREAD_STARTING;
            t->conn = conn;
            t->ip = t->url = t->method = nullptr;
            t->requests = 0;
            t->clientid = 0;
            process_busy.fetch_add(1, std::memory_order_relaxed);
        }
    }

    /* Logged after the lock is let go: no line is written under it. */
    if (failure == TF_OK)
        return slot;
    thread_log_failure(failure, rc, "thread_create", "initialize", (size_t)max_opt_stack);
    return -2;
}

int process_wake(CONNECTION_T *conn)
{
    MutexGuard guard(&threadlistlock);
    while (parked_count > 0) {
        int i = parked_slots[parked_count - 1];
        parked_remove(i);
        THREAD_T *t = &threads[i];
        if (t->state != THREAD_WAITING || t->conn)
            continue;   /* handed a connection by other means */
        conn->slot = i;
        t->conn = conn;
        t->state = THREAD_STARTING;
        process_busy.fetch_add(1, std::memory_order_relaxed);
        pthread_cond_signal(&t->wakeup);
        return i;
    }
    return -1;
}

/* After an answer on a kept-alive connection: true when the client's next
 * request header is already whole in the read buffer (sent with the last
 * one). Anything else, part of a header or nothing yet, is the client
 * pool's to wait for, so a worker never sits on an idle client. */
static bool process_next_request(Socket *client)
{
    bool (*whole)(const char *, int64_t, int64_t) =
        global && global->clientpool ? global->clientpool->request_whole : clientpool_header_whole;
    return client->read_length > 0 && whole(client->read_buffer, 0, client->read_length);
}

static void process_stat_request()
{
    if (performance_log)
        performance_log->set_requests_completed(1);
}

/* Serves requests on conn until it goes back to the client pool or is
 * closed; either way the worker no longer owns it on return. */
static void process_serve(CONNECTION_T *conn)
{
    const int slot = conn->slot;
    for (;;) {
        /* The slot is this worker's own while it serves: its log tag and
         * state are stored without the table's lock. */
        threads[slot].clientid.store(conn->clientid, std::memory_order_relaxed);
        threads[slot].state.store(THREAD_BUSY, std::memory_order_relaxed);
        log_set_clientid(conn->clientid);
        handle_request(conn);
        log_release_held();   /* the request's lines are all out */
        process_stat_request();
        if (conn->client && conn->client->write_timed_out) {
            /* Logged once here, whichever write gave up first. */
            putlog(LOG_NETWORK, "[IP:%s] client took no data for %d seconds, connection closed",
                   conn->ip ? conn->ip : "", conn->client->write_wait_ms / 1000);
            conn->keepalive_client = 0;
        }
        if (conn->flags & CONN_LIMIT_CUT)
            putlog(LOG_LIMITS, "[IP:%s] process: transfer prematurely terminated due to transfer limit restrictions",
                   conn->ip ? conn->ip : "");
        /* Only a request whose header was read is booked: a client that
         * closed, or sent nothing, made none. */
        if (conn->header && limit_section)
            limit_section->update(conn);
        limits_request_clear(conn);
        connection_request_done(conn);

        if (conn->flags & CONN_NOCLIENT) {
            net_close(conn);
            return;
        }
        conn->requests++;
        conn->flags = 0;
        int flush_seconds = general_section ? general_section->ctimeout_get(conn) : 60;
        if (conn->client && net_socket_flush(conn->client, flush_seconds) < 0)
            conn->keepalive_client = 0;   /* the client takes nothing more */
        if (!conn->keepalive_client || !conn->client) {
            net_close(conn);
            return;
        }
        conn->keepalive_client = 0;

        if (process_next_request(conn->client))
            continue;
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "process: adding connection to pool");
        if (global && global->clientpool)
            global->clientpool->Add(conn);
        else
            net_close(conn);
        return;
    }
}

/* Parks the worker of slot for THREAD_TIMEOUT seconds. Returns the
 * connection handed over meanwhile (also one that arrives just as the wait
 * runs out), or NULL after freeing the slot: the thread must then exit
 * without logging. */
static CONNECTION_T *process_park(int slot)
{
    THREAD_T *t = &threads[slot];
    MutexGuard guard(&threadlistlock);
    {
        MutexGuard shown(&t->show_lock);
        free(t->method);
        free(t->url);
        free(t->ip);
        t->method = t->url = t->ip = nullptr;
        t->requests = 0;
    }
    t->state = THREAD_WAITING;
    t->conn = nullptr;
    parked_push(slot);
    /* Requests waiting for a slot are handed over now, not at the pool's
     * next retry. */
    if (process_slots_wanted.load(std::memory_order_relaxed) && global && global->clientpool)
        global->clientpool->Wakeup();

    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += THREAD_TIMEOUT > 0 ? THREAD_TIMEOUT : 0;
    while (!t->conn) {
        int rc = pthread_cond_timedwait(&t->wakeup, &threadlistlock, &deadline);
        if (rc != 0 && rc != EINTR)
            break;   /* the wait ran out (or failed) */
    }
    parked_remove(slot);   /* still there when the wait ran out */
    CONNECTION_T *next = t->conn;
    if (next) {
        t->conn = nullptr;
        t->state = THREAD_BUSY;
        return next;
    }
    rusage_update();
    t->state = THREAD_FREE;
    return nullptr;
}

/*
 * A worker leaving gives the allocator's free pages back to the system. A
 * burst of connections leaves its buffers free in the allocator's arenas,
 * which keep them (the resident memory after 1,000 connections stayed at
 * several times its size before). The trim itself is process_trim's, at
 * most once a second: a thousand workers leaving together would otherwise
 * trim a thousand times, each pass over every arena stalling the workers
 * still serving.
 */
static void process_trim_memory()
{
    process_trim_wanted.store(true, std::memory_order_relaxed);
}

void process_trim(void *)
{
    if (process_trim_wanted.exchange(false))
        (void)malloc_trim(0);
}

void *process_entry(void *arg)
{
    CONNECTION_T *conn = (CONNECTION_T *)arg;
    int slot = thread_find();
    {
        MutexGuard guard(&threadlistlock);
        threads[slot].conn = nullptr;   /* the start argument is taken */
    }
    conn->slot = slot;
    /* process_busy counts this worker from the hand-over of its
     * connection (process_wake, thread_create) or from taking one until
     * it gives the connection up. */
    while (conn) {
        conn->slot = slot;
        process_serve(conn);
        process_busy.fetch_sub(1, std::memory_order_relaxed);
        /* A client ready now is served at once: one the poller found
         * waiting for a worker first, else one from the epoll set. */
        conn = nullptr;
        if (global && global->clientpool)
            conn = global->clientpool->Take();
        if (conn)
            process_busy.fetch_add(1, std::memory_order_relaxed);
        else
            conn = process_park(slot);
    }
    process_trim_memory();
    return nullptr;
}

int thread_report(statm_t *out)
{
    unsigned long counts[5] = { 0, 0, 0, 0, 0 };
    {
        MutexGuard guard(&threadlistlock);
        int used = MAXTHREADS < THREAD_SLOTS ? MAXTHREADS : THREAD_SLOTS;
        for (int i = 0; i < used; i++) {
            int state = threads[i].state;
            if (state >= THREAD_FREE && state <= THREAD_PREFETCH)
                counts[state]++;
        }
    }
    out->size = counts[THREAD_FREE];
    out->resident = counts[THREAD_BUSY];
    out->share = counts[THREAD_WAITING];
    out->text = counts[THREAD_STARTING];
    out->lib = counts[THREAD_PREFETCH];
    out->data = 0;
    out->dt = 0;
    return (int)counts[THREAD_WAITING];
}
