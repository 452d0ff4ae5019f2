/*
 * The client pool. Idle client connections cost a worker thread each if
 * the worker waits on them, so they wait here instead: one thread waits on
 * every idle client through an epoll set and hands a connection to a
 * worker once its client has sent a whole request header. Clients that
 * hang up, or stay silent past the general rule's time-outs, are closed.
 *
 * Each connection is registered once, for one event at a time
 * (EPOLLONESHOT): the poller takes the entry out of the list, reads what
 * came, and either hands it over, closes it, or lists and re-arms it. A
 * connection handed over stays registered, disarmed, while its worker
 * serves it: a worker gives a kept-alive client back as soon as its answer
 * is out, and that re-arms the registration instead of making a new one.
 * A wake-up thus costs the clients that sent something, never a pass over
 * all of them; the time-outs are looked at once a second.
 *
 * The list may change while the poller waits: Add inserts, and Clean, run
 * by any thread when descriptors run out, closes everything listed. So an
 * event names its entry by a serial number given at Add, never by position
 * or descriptor: an entry closed meanwhile is simply absent, and a
 * descriptor number reused by a new connection cannot be mistaken for the
 * old one. Registering and re-arming happen under the lock of the entry's
 * shard, so they never touch a descriptor that Clean has closed, and an
 * event raised by the arming finds its entry listed; hand-overs and closes
 * run after the lock is released. The list is cut into shards by serial,
 * each with its own mutex: a worker giving its client back locks one
 * shard, and so does one taking a ready client, so a thousand workers do
 * not queue on one lock.
 */
#include "clientpool.h"

#include <fcntl.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "perflog.h"
#include "process.h"
#include "socket.h"

/* Closing at least this many pooled clients in one cycle returns freed
 * memory to the system. */
#define CLIENTPOOL_TRIM_CLOSES 64
/* Events taken from the epoll set per wait. */
#define CLIENTPOOL_EVENTS 256
/* The poller waits at most this long, so time-outs are seen each second. */
#define CLIENTPOOL_WAIT_MS 1000
/* The event data of the wake pipe; entries' serials start at 1. */
#define CLIENTPOOL_WAKE 0
/* The longest a whole request waits for a slot when every slot is taken,
 * and how often the hand-over is retried meanwhile. */
#define CLIENTPOOL_SLOT_WAIT_MS 2000
#define CLIENTPOOL_SLOT_RETRY_MS 5
/* A whole request that found no parked worker starts a new one at once
 * while fewer than CLIENTPOOL_SPAWN_PER_CPU workers per processor can go
 * on (serving, not waiting for a peer) and fewer than as many threads per
 * processor can run in the whole system; otherwise a worker finishing its
 * request takes it, and only one that has waited this long, while no
 * worker took a waiting request, starts a new worker. So a crowd of ready
 * clients costs no crowd of threads when the processors are busy anyway. */
#define CLIENTPOOL_SPAWN_MS 20
#define CLIENTPOOL_SPAWN_PER_CPU 2

static time_t clientpool_default_clock();
static bool clientpool_expired(const clientpool_t *e, time_t now);
static void clientpool_table_full(CONNECTION_T *conn);
static void clientpool_stat_cycle(int listed, int arrivals);
static void clientpool_stat_threading_errors(int errors);

static time_t clientpool_default_clock()
{
    return time(nullptr);
}

/* The performance log's gauge clients_in_pool and its counters
 * connections_handled and threading_error. */
static void clientpool_stat_cycle(int listed, int arrivals)
{
    if (!performance_log)
        return;
    performance_log->set_clients_in_pool((uint64_t)std::max(listed, 0));
    if (arrivals > 0)
        performance_log->set_connections_handled((uint64_t)arrivals);
}

static void clientpool_stat_threading_errors(int errors)
{
    if (performance_log && errors > 0)
        performance_log->set_threading_error((uint64_t)errors);
}

/* True when an entry has waited its time: the general rule's timeout
 * before its first request, keeptimeout after; once a request has begun,
 * timeout from its first bytes. */
static bool clientpool_expired(const clientpool_t *e, time_t now)
{
    CONNECTION_T *conn = e->conn;
    int limit = 60;
    bool header = e->header_started != 0 || conn->requests == 0;
    if (general_section)
        limit = header ? general_section->timeout_get(conn) : general_section->keeptimeout_get(conn);
    return now - (e->header_started != 0 ? e->header_started : e->added) >= limit;
}

bool clientpool_header_whole(const char *bytes, int64_t from, int64_t len)
{
    if (len >= HEADER_BLOCK_MAX)
        return true;
    for (int64_t i = std::max<int64_t>(from, 0); i < len; i++) {
        if (bytes[i] != '\n')
            continue;
        if ((i + 1 < len && bytes[i + 1] == '\n') ||
            (i + 2 < len && bytes[i + 1] == '\r' && bytes[i + 2] == '\n'))
            return true;
    }
    return false;
}

/* Takes what the client of e has sent (input: the poll saw some) into its
 * read buffer. Returns 1
 * when a whole request header is buffered (or more than a header may
 * hold: the worker refuses it), 0 while it is not, -1 when the client
 * closed or failed before it was. Blank lines before the request line are
 * dropped, as the header reader would. */
int ClientPool::gather(clientpool_t *e, bool input)
{
    Socket *s = e->conn->client;
    int64_t n = input ? s->Read(nullptr, -1, 0) : 1;
    while (s->read_length > 0 && (s->read_buffer[0] == '\n' ||
                                  (s->read_length > 1 && s->read_buffer[0] == '\r' && s->read_buffer[1] == '\n'))) {
        (void)s->GetLine(nullptr, -1, 0);
        e->header_scanned = 0;
    }
    /* The search resumes a little before where the last one stopped, so
     * each byte is looked at about once. */
    if (request_whole(s->read_buffer, std::max<int64_t>(e->header_scanned - 2, 0), s->read_length))
        return 1;
    e->header_scanned = s->read_length;
    if (n <= 0 && !(n < 0 && errno == ENOBUFS))
        return -1;   /* closed or failed with the header not whole */
    return 0;
}

/* What becomes of e, taken out of the list by this thread, after reading
 * what its client sent (input: an event said so): 1 its request is whole
 * (e is freed; the connection is the caller's to hand over, and stays
 * registered, disarmed, for the worker to give back), 0 it waits for more
 * (listed again, keeping its times), -1 it is to be closed (e is freed). */
int ClientPool::settle(clientpool_t *e, bool input, time_t now)
{
    int state = e->conn->client ? gather(e, input) : -1;
    if (state == 0) {
        if (e->header_started == 0 && e->conn->client->read_length > 0)
            e->header_started = now;
        if (e->header_started != 0 && clientpool_expired(e, now)) {
            /* A client trickling its header is held to the deadline of
             * its first bytes. */
            putlog(LOG_WARNING, "request: timeout waiting for header from %s", e->conn->ip ? e->conn->ip : "");
            state = -1;
        } else {
            Shard &shard = shard_of(e->serial);
            MutexGuard guard(&shard.lock);
            if (arm(e)) {
                shard.entries.emplace(e->serial, e);
                listed.fetch_add(1, std::memory_order_relaxed);
                return 0;
            }
            state = -1;
        }
    }
    free(e);
    return state;
}

clientpool_t *ClientPool::unlist(uint64_t serial)
{
    Shard &shard = shard_of(serial);
    MutexGuard guard(&shard.lock);
    auto it = shard.entries.find(serial);
    if (it == shard.entries.end())
        return nullptr;
    clientpool_t *e = it->second;
    shard.entries.erase(it);
    listed.fetch_sub(1, std::memory_order_relaxed);
    return e;
}

bool ClientPool::waiting_pop(slot_wait_t *w)
{
    MutexGuard guard(&waiting_lock);
    if (slot_waiting.empty())
        return false;
    *w = slot_waiting.front();
    slot_waiting.pop_front();
    waiting_count.store((int)slot_waiting.size(), std::memory_order_relaxed);
    return true;
}

CONNECTION_T *ClientPool::Take()
{
    slot_wait_t w;
    if (waiting_count.load(std::memory_order_relaxed) > 0 && waiting_pop(&w)) {
        taken_ms.store(monotonic_ms(), std::memory_order_relaxed);
        return w.conn;
    }
    /* A few looks: an event may be the wake pipe's (the poller's, left
     * for it) or an entry's that is gone, or a header not whole yet. */
    for (int look = 0; look < 4; look++) {
        struct epoll_event ev;
        if (epoll_wait(epfd, &ev, 1, 0) != 1)
            return nullptr;
        uint64_t serial = ev.data.u64;
        if (serial == CLIENTPOOL_WAKE)
            continue;
        clientpool_t *e = unlist(serial);
        if (!e)
            continue;   /* closed by Clean or a sweep meanwhile */
        CONNECTION_T *conn = e->conn;
        int state = settle(e, true, clock());
        if (state > 0)
            return conn;
        if (state < 0) {
            /* A thread outside the thread table (a test's) logs untagged. */
            unsigned own = 0;
            if (thread_lookup_clientid(&own))
                thread_set_clientid(conn->clientid);
            net_close(conn);
        }
    }
    return nullptr;
}

/* A connection that found no worker slot: closed, with one line a second
 * however many there are. */
static void clientpool_table_full(CONNECTION_T *conn)
{
    static LOG_RATE rate;
    long long suppressed = 0;
    if (log_rate_allow(&rate, &suppressed))
        putlog(LOG_ERROR, "[IP:%s] no free worker (thread table full), connection closed "
                          "(%lld more since the last report)",
               conn->ip ? conn->ip : "", suppressed);
    net_close(conn);
}

/* Whether the processors have room for another worker: fewer threads able
 * to run in the whole system than CLIENTPOOL_SPAWN_PER_CPU per processor
 * online, as /proc/loadavg counts them now (this thread included). Read at
 * most once a millisecond; true when it cannot be read. */
static bool clientpool_cpu_room(int64_t now_ms)
{
    static const int fd = open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    static const long cpus = std::max<long>(sysconf(_SC_NPROCESSORS_ONLN), 1);
    static thread_local int64_t read_ms = -1;
    static thread_local bool room = true;
    if (now_ms == read_ms)
        return room;
    read_ms = now_ms;
    char text[128];
    ssize_t n = fd >= 0 ? pread(fd, text, sizeof text - 1, 0) : -1;
    if (n <= 0)
        return room = true;
    text[n] = '\0';
    /* "0.50 0.40 0.30 3/180 12345": the fourth field's running count. */
    long running = 0;
    if (sscanf(text, "%*s %*s %*s %ld/", &running) != 1)
        return room = true;
    return room = running < cpus * CLIENTPOOL_SPAWN_PER_CPU;
}

ClientPool::ClientPool()
    : clock(clientpool_default_clock), request_whole(clientpool_header_whole), next_serial(1),
      new_client(0), last_sweep(0)
{
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    spawn_below = (int)std::max<long>(cpus, 2) * CLIENTPOOL_SPAWN_PER_CPU;
    if (pipe2(wakepipe, O_NONBLOCK | O_CLOEXEC) != 0)
        fatal_error("src/clientpool", __LINE__, "ClientPool", "[system: pipe:%d:%s], wake pipe not made",
                    errno, strerror(errno));
    epfd = epoll_create1(EPOLL_CLOEXEC);
    struct epoll_event ev {};
    ev.events = EPOLLIN;
    ev.data.u64 = CLIENTPOOL_WAKE;
    if (epfd < 0 || epoll_ctl(epfd, EPOLL_CTL_ADD, wakepipe[0], &ev) != 0)
        fatal_error("src/clientpool", __LINE__, "ClientPool", "[system: epoll:%d:%s], poll set not made",
                    errno, strerror(errno));
}

ClientPool::~ClientPool()
{
    for (Shard &shard : shards) {
        for (auto &kv : shard.entries)
            free(kv.second);
        shard.entries.clear();
    }
    close(epfd);
    close(wakepipe[0]);
    close(wakepipe[1]);
}

/* Registers (or re-arms) e's descriptor for its next event. The caller
 * holds the lock of e's shard, or owns e and it is not listed. False when the
 * descriptor cannot be watched: the caller closes the connection. */
bool ClientPool::arm(clientpool_t *e)
{
    Socket *s = e->conn->client;
    if (!s || s->fd < 0)
        return false;
    struct epoll_event ev {};
    ev.events = EPOLLIN | EPOLLRDHUP | EPOLLONESHOT;
    ev.data.u64 = e->serial;
    /* A connection that made requests was most likely registered when it
     * was last listed; a new one, or a descriptor registered for another
     * connection that was closed since, is added. */
    bool known = e->registered || e->conn->requests > 0;
    if (known && epoll_ctl(epfd, EPOLL_CTL_MOD, s->fd, &ev) == 0) {
        e->registered = true;
        return true;
    }
    if ((!known || errno == ENOENT) && epoll_ctl(epfd, EPOLL_CTL_ADD, s->fd, &ev) == 0) {
        e->registered = true;
        return true;
    }
    int error = errno;
    static LOG_RATE rate;
    long long suppressed = 0;
    if (log_rate_allow(&rate, &suppressed))
        putlog(LOG_ERROR, "[system: epoll_ctl:%d:%s], in %s, client not watched, connection closed "
                          "(%lld more since the last report)",
               error, strerror(error), "ClientPool", suppressed);
    if (error == ENOMEM || error == ENOSPC)
        fd_failure();
    return false;
}

void ClientPool::Add(CONNECTION_T *conn)
{
    if (!conn)
        return;
    clientpool_t *e = (clientpool_t *)xmalloc(sizeof(clientpool_t));
    if (!e)
        fatal_error("src/clientpool", __LINE__, "Add", "Failed to allocate %u bytes of memory",
                    (unsigned)sizeof(clientpool_t));
    e->conn = conn;
    e->added = clock();
    Socket *s = conn->client;
    bool started = s && s->read_length > 0;
    e->header_started = started ? e->added : 0;
    e->header_scanned = 0;
    e->registered = false;
    e->serial = next_serial.fetch_add(1, std::memory_order_relaxed);
    if (conn->requests == 0)
        new_client.fetch_add(1, std::memory_order_relaxed);
    bool kept;
    {
        Shard &shard = shard_of(e->serial);
        MutexGuard guard(&shard.lock);
        /* Bytes read already would raise no event: the next cycle looks
         * at them, and registers the descriptor if more must come. */
        kept = started || arm(e);
        if (kept) {
            shard.entries.emplace(e->serial, e);
            listed.fetch_add(1, std::memory_order_relaxed);
        }
    }
    if (!kept) {
        net_close(conn);
        free(e);
        return;
    }
    if (started) {
        {
            MutexGuard guard(&buffered_lock);
            buffered.push_back(e->serial);
            buffered_any.store(true, std::memory_order_relaxed);
        }
        Wakeup();
    }
}

void ClientPool::Wakeup()
{
    const char byte = 0;
    /* A full pipe already holds a wake-up. */
    ssize_t w = write(wakepipe[1], &byte, 1);
    (void)w;
}

void ClientPool::Clean()
{
    putlog(LOG_DEBUG, "client pool: load shedding");
    std::vector<std::pair<uint64_t, clientpool_t *>> gone;
    for (Shard &shard : shards) {
        MutexGuard guard(&shard.lock);
        gone.insert(gone.end(), shard.entries.begin(), shard.entries.end());
        listed.fetch_sub((int)shard.entries.size(), std::memory_order_relaxed);
        shard.entries.clear();
    }
    {
        MutexGuard guard(&buffered_lock);
        buffered.clear();
    }
    /* Closed in the order they were listed. */
    std::sort(gone.begin(), gone.end());
    unsigned own = 0;
    bool tagged = thread_lookup_clientid(&own);
    for (auto &kv : gone) {
        if (tagged)
            thread_set_clientid(kv.second->conn->clientid);
        /* Closing the descriptor takes it out of the epoll set. */
        net_close(kv.second->conn);
        free(kv.second);
    }
    if (tagged)
        thread_set_clientid(own);
    Wakeup();
}

int ClientPool::Size()
{
    return std::max(listed.load(std::memory_order_relaxed), 0);
}

void ClientPool::Cycle()
{
    struct epoll_event events[CLIENTPOOL_EVENTS];
    bool pending = buffered_any.load(std::memory_order_relaxed);
    int wait_ms = pending ? 0
                  : waiting_count.load(std::memory_order_relaxed) == 0 ? CLIENTPOOL_WAIT_MS
                                                                       : CLIENTPOOL_SLOT_RETRY_MS;
    int r = epoll_wait(epfd, events, CLIENTPOOL_EVENTS, wait_ms);
    if (r < 0) {
        if (errno != EINTR) {
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable", errno,
                   strerror(errno), "Poll");
            fd_failure();
        }
        r = 0;
    }

    /* The poller's own lists, kept from cycle to cycle so a cycle
     * allocates nothing. */
    std::vector<clientpool_t *> &arrived = cycle_arrived;   /* out of the list: this thread's */
    std::vector<bool> &arrived_input = cycle_arrived_input;
    std::vector<CONNECTION_T *> &handover = cycle_handover;
    std::vector<CONNECTION_T *> &closing = cycle_closing;
    std::vector<clientpool_t *> &expired = cycle_expired;
    arrived.clear();
    arrived_input.clear();
    handover.clear();
    closing.clear();
    expired.clear();
    time_t now = clock();
    bool woken = false;
    for (int i = 0; i < r; i++) {
        /* Copied out: the event structure is packed on some machines. */
        uint64_t serial = events[i].data.u64;
        if (serial == CLIENTPOOL_WAKE) {
            woken = true;
            continue;
        }
        clientpool_t *e = unlist(serial);
        if (!e)
            continue;   /* closed by Clean, or taken by a worker, meanwhile */
        arrived.push_back(e);
        arrived_input.push_back(true);
    }
    if (buffered_any.load(std::memory_order_relaxed)) {
        std::vector<uint64_t> serials;
        {
            MutexGuard guard(&buffered_lock);
            serials.swap(buffered);
            buffered_any.store(false, std::memory_order_relaxed);
        }
        for (uint64_t serial : serials) {
            clientpool_t *e = unlist(serial);
            if (!e)
                continue;
            arrived.push_back(e);
            arrived_input.push_back(false);
        }
    }
    /* The time-outs, once a second (and whenever the clock moved), one
     * shard at a time. */
    if (now != last_sweep) {
        last_sweep = now;
        for (Shard &shard : shards) {
            MutexGuard guard(&shard.lock);
            for (auto it = shard.entries.begin(); it != shard.entries.end();) {
                clientpool_t *e = it->second;
                if (!e->conn->client || clientpool_expired(e, now)) {
                    expired.push_back(e);
                    it = shard.entries.erase(it);
                    listed.fetch_sub(1, std::memory_order_relaxed);
                } else {
                    ++it;
                }
            }
        }
        /* Logged and closed in the order they were listed. */
        std::sort(expired.begin(), expired.end(),
                  [](const clientpool_t *a, const clientpool_t *b) { return a->serial < b->serial; });
    }
    int listed_now = Size();
    clientpool_stat_cycle(listed_now, new_client.exchange(0, std::memory_order_relaxed));

    if (woken) {
        char bytes[256];
        ssize_t n = read(wakepipe[0], bytes, sizeof bytes);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe", errno,
                   strerror(errno), "Poll");
            putlog(LOG_ADVICE, "system unstable, please restart the service");
        } else if (n > 0 && log_wanted(LOG_DEBUG)) {
            putlog(LOG_DEBUG, "client pool: size:%d poll received wakeup %d signals", listed_now, (int)n);
        }
    }

    for (clientpool_t *e : expired) {
        if (e->header_started != 0)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s", e->conn->ip ? e->conn->ip : "");
        closing.push_back(e->conn);
        free(e);
    }

    /* Reading happens without the lock. A header that is not whole yet
     * goes back into the list, keeping its times. */
    for (size_t i = 0; i < arrived.size(); i++) {
        clientpool_t *e = arrived[i];
        CONNECTION_T *conn = e->conn;
        int state = settle(e, arrived_input[i], now);
        if (state != 0)
            (state > 0 ? handover : closing).push_back(conn);
    }

    /* Many clients closed at once (a flood that ended, a deadline that
     * passed for a crowd of slow clients): their memory goes back to the
     * system at the next trim (process_trim). */
    if (closing.size() >= CLIENTPOOL_TRIM_CLOSES)
        process_trim_wanted.store(true, std::memory_order_relaxed);
    if (handover.empty() && closing.empty() && waiting_count.load(std::memory_order_relaxed) == 0)
        return;
    /* A thread outside the thread table (a test's) logs untagged. */
    unsigned own = 0;
    bool tagged = thread_lookup_clientid(&own);
    if (!handover.empty()) {
        int64_t now_ms = monotonic_ms();
        MutexGuard guard(&waiting_lock);
        for (CONNECTION_T *conn : handover)
            slot_waiting.push_back({ conn, now_ms });
        waiting_count.store((int)slot_waiting.size(), std::memory_order_relaxed);
    }
    int errors = hand_over(tagged);
    for (CONNECTION_T *conn : closing) {
        if (tagged)
            thread_set_clientid(conn->clientid);
        net_close(conn);
    }
    if (tagged)
        thread_set_clientid(own);
    if (errors)
        clientpool_stat_threading_errors(errors);
}

/* Hands the connections waiting for a worker over, in their order: to
 * parked workers, then to new ones while few workers can go on or once a
 * request has waited CLIENTPOOL_SPAWN_MS; the rest wait for a worker to
 * take them. Those that cannot wait for a free slot are closed. Returns
 * the count closed for want of a worker. Workers take waiting requests
 * meanwhile (Take), so each is taken out under the lock before it is
 * handed over, and put back in front when it is to wait on. */
int ClientPool::hand_over(bool tagged)
{
    int errors = 0;
    bool overdue_started = false;
    slot_wait_t w;
    while (waiting_pop(&w)) {
        if (tagged)
            thread_set_clientid(w.conn->clientid);
        int64_t now_ms = monotonic_ms();
        int64_t waited = now_ms - w.since_ms;
        int slot = process_wake(w.conn);
        bool wait_on = false;
        if (slot < 0) {
            /* One request overdue starts a worker per pass: workers busy
             * with long work are relieved without a burst of threads.
             * Overdue means that no worker has taken a waiting request
             * for as long: under a load the processors cannot keep up
             * with, requests wait longer than that while workers take
             * them one after another, and more threads would only add
             * switching. */
            int going = process_busy.load(std::memory_order_relaxed) - poll_waiting.load(std::memory_order_relaxed);
            int64_t stalled = now_ms - taken_ms.load(std::memory_order_relaxed);
            bool overdue = waited >= CLIENTPOOL_SPAWN_MS && !overdue_started && stalled >= CLIENTPOOL_SPAWN_MS;
            /* Few workers at work start new ones only while the
             * processors have room: on a machine busy with other work (a
             * server, the clients) more threads only take turns with it,
             * and each waits longer for its server. */
            bool few = going < spawn_below && clientpool_cpu_room(now_ms);
            if (few || overdue) {
                slot = thread_create(process_entry, w.conn);
                overdue_started = overdue_started || !few;
            } else {
                wait_on = true;   /* a worker finishing its request takes it */
            }
        }
        /* Every slot taken: a busy worker may be just about to finish and
         * park, so the request waits a little for a slot. */
        if (slot == -1 && waited < CLIENTPOOL_SLOT_WAIT_MS)
            wait_on = true;
        if (wait_on) {
            MutexGuard guard(&waiting_lock);
            slot_waiting.push_front(w);
            waiting_count.store((int)slot_waiting.size(), std::memory_order_relaxed);
            break;
        }
        if (slot == -1)
            clientpool_table_full(w.conn);
        else if (slot < 0)
            net_close(w.conn);   /* the worker could not start: logged */
        if (slot < 0)
            errors++;
    }
    process_slots_wanted.store(waiting_count.load(std::memory_order_relaxed) > 0);
    return errors;
}

void ClientPool::Poll()
{
    for (;;)
        Cycle();
}

void ClientPool::show_connections(Filebuf *out)
{
    time_t now = clock();
    /* Each shard's rows are copied under its lock, then shown in the order
     * the connections were listed. */
    struct row_t {
        uint64_t serial;
        int clientid;
        std::string ip;
        int requests;
        int idle;
    };
    std::vector<row_t> rows;
    for (Shard &shard : shards) {
        MutexGuard guard(&shard.lock);
        for (const auto &kv : shard.entries) {
            const clientpool_t *e = kv.second;
            rows.push_back({ e->serial, (int)e->conn->clientid, e->conn->ip ? e->conn->ip : "",
                             e->conn->requests, (int)(now - e->added) });
        }
    }
    std::sort(rows.begin(), rows.end(), [](const row_t &a, const row_t &b) { return a.serial < b.serial; });
    (void)out->Addf("<table class=\"list\">\n");
    (void)out->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    (void)out->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    bool even = true;
    for (const row_t &row : rows) {
        (void)out->Addf("<tr class=\"%s\"><td>%d</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                        even ? "listeven" : "listodd", row.clientid, row.ip.c_str(), row.requests, row.idle);
        even = !even;
    }
    (void)out->Addf("</table>\n");
}

void *clientpool_thread(void *)
{
    global->clientpool->Poll();
}
