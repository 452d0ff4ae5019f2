/*
 * The client pool. Idle client connections cost a worker thread each if
 * the worker waits on them, so they wait here instead: one thread polls
 * every idle client (and a wake-up pipe that other threads write to after
 * changing the list) and hands a connection to a worker the moment its
 * client sends something. Clients that hang up, or stay silent past the
 * general rule's time-outs, are closed.
 *
 * The list may change while the poller waits: Add appends, and Clean, run
 * by any thread when descriptors run out, closes everything. So the poll
 * results are matched to entries by a serial number given at Add, never by
 * position or descriptor: an entry closed meanwhile is simply absent, and a
 * descriptor number reused by a new connection cannot be mistaken for the
 * old one. Hand-overs and closes run after the mutex is released.
 */
#include "clientpool.h"

#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "options.h"
#include "perflog.h"
#include "process.h"
#include "socket.h"

/* Closing at least this many pooled clients in one cycle returns freed
 * memory to the system. */
#define CLIENTPOOL_TRIM_CLOSES 64

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

ClientPool::ClientPool()
    : clock(clientpool_default_clock), request_whole(clientpool_header_whole), next_serial(1),
      wakepipe_calls(0), new_client(0)
{
    if (pipe2(wakepipe, O_NONBLOCK | O_CLOEXEC) != 0)
        fatal_error("src/clientpool", __LINE__, "ClientPool", "[system: pipe:%d:%s], wake pipe not made",
                    errno, strerror(errno));
}

ClientPool::~ClientPool()
{
    for (clientpool_t *e : entries)
        free(e);
    entries.clear();
    close(wakepipe[0]);
    close(wakepipe[1]);
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
    e->header_started = 0;
    e->header_scanned = 0;
    {
        MutexGuard guard(&lock);
        e->serial = next_serial++;
        entries.push_back(e);
        wakepipe_calls++;
        if (conn->requests == 0)
            new_client++;
    }
    Wakeup();
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
    std::list<clientpool_t *> gone;
    {
        MutexGuard guard(&lock);
        gone.swap(entries);
    }
    unsigned own = 0;
    bool tagged = thread_lookup_clientid(&own);
    for (clientpool_t *e : gone) {
        if (tagged)
            thread_set_clientid(e->conn->clientid);
        net_close(e->conn);
        free(e);
    }
    if (tagged)
        thread_set_clientid(own);
    Wakeup();
}

int ClientPool::Size()
{
    MutexGuard guard(&lock);
    return (int)entries.size();
}

void ClientPool::Cycle()
{
    std::vector<struct pollfd> fds;
    std::vector<uint64_t> serials;
    int arrivals;
    bool buffered = false;
    {
        MutexGuard guard(&lock);
        fds.reserve(entries.size() + 1);
        serials.reserve(entries.size());
        fds.push_back({ wakepipe[0], POLLIN, 0 });
        for (const clientpool_t *e : entries) {
            Socket *s = e->conn->client;
            fds.push_back({ s ? s->fd : -1, POLLIN, 0 });
            serials.push_back(e->serial);
            /* Bytes of a header not yet whole wait for more input. */
            if (s && s->read_length > e->header_scanned)
                buffered = true;
        }
        arrivals = new_client;
        new_client = 0;
        wakepipe_calls = 0;
    }
    clientpool_stat_cycle((int)serials.size(), arrivals);

    int wait_seconds = arrivals > 0 ? 1 : CLIENT_POOL_TIMEOUT;
    int r = p_poll(fds.data(), fds.size(), buffered ? 0 : wait_seconds * 1000);
    if (r < 0) {
        if (errno == EINTR)
            return;
        putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, client pool poll failed, socket unavailable", errno,
               strerror(errno), "Poll");
        fd_failure();
        return;
    }

    if (fds[0].revents & POLLIN) {
        char bytes[256];
        ssize_t n = read(wakepipe[0], bytes, sizeof bytes);
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            putlog(LOG_ERROR, "[system: read:%d:%s], in %s, client pool failed to read from wakepipe", errno,
                   strerror(errno), "Poll");
            putlog(LOG_ADVICE, "system unstable, please restart the service");
        } else if (n > 0 && log_wanted(LOG_DEBUG)) {
            putlog(LOG_DEBUG, "client pool: size:%d poll received wakeup %d signals", (int)serials.size(),
                   (int)n);
        }
    }

    std::vector<clientpool_t *> arrived;   /* input came: gathered outside the lock */
    std::vector<bool> arrived_input;
    std::vector<CONNECTION_T *> handover;
    std::vector<CONNECTION_T *> closing;
    time_t now = clock();
    {
        MutexGuard guard(&lock);
        /* Both the list and the polled serials run in ascending order;
         * entries added during the wait are not in this cycle's set. */
        size_t k = 0;
        for (auto it = entries.begin(); it != entries.end();) {
            clientpool_t *e = *it;
            while (k < serials.size() && serials[k] < e->serial)
                k++;
            if (k >= serials.size() || serials[k] != e->serial) {
                ++it;
                continue;
            }
            short revents = fds[k + 1].revents;
            Socket *s = e->conn->client;
            bool remove = true;
            bool freed = true;
            if (s && ((revents & POLLIN) || s->read_length > e->header_scanned)) {
                arrived.push_back(e);   /* still owned by the pool */
                arrived_input.push_back((revents & POLLIN) != 0);
                freed = false;
            } else if (!s || (revents & (POLLERR | POLLHUP | POLLNVAL))) {
                closing.push_back(e->conn);
            } else if (clientpool_expired(e, now)) {
                if (e->header_started != 0)
                    putlog(LOG_WARNING, "request: timeout waiting for header from %s",
                           e->conn->ip ? e->conn->ip : "");
                closing.push_back(e->conn);
            } else {
                remove = false;
            }
            if (remove) {
                if (freed)
                    free(e);
                it = entries.erase(it);
            } else {
                ++it;
            }
        }
    }

    /* Reading happens without the lock. A header that is not whole yet
     * goes back into the list, keeping its times. */
    std::vector<clientpool_t *> waiting;
    for (size_t i = 0; i < arrived.size(); i++) {
        clientpool_t *e = arrived[i];
        int state = gather(e, arrived_input[i]);
        if (state == 0) {
            if (e->header_started == 0 && e->conn->client->read_length > 0)
                e->header_started = now;
            waiting.push_back(e);
            continue;
        }
        (state > 0 ? handover : closing).push_back(e->conn);
        free(e);
    }
    if (!waiting.empty()) {
        MutexGuard guard(&lock);
        for (clientpool_t *e : waiting) {
            e->serial = next_serial++;
            entries.push_back(e);
        }
    }

    if (handover.empty() && closing.empty())
        return;
    /* A thread outside the thread table (a test's) logs untagged. */
    unsigned own = 0;
    bool tagged = thread_lookup_clientid(&own);
    int errors = 0;
    for (CONNECTION_T *conn : handover) {
        if (tagged)
            thread_set_clientid(conn->clientid);
        if (process_new(conn) < 0) {
            clientpool_table_full(conn);
            errors++;
        }
    }
    for (CONNECTION_T *conn : closing) {
        if (tagged)
            thread_set_clientid(conn->clientid);
        net_close(conn);
    }
    /* Many closed at once (a flood that ended, a deadline that passed for
     * a crowd of slow clients): their buffers go back to the system
     * rather than staying with the heap. */
    if (closing.size() >= CLIENTPOOL_TRIM_CLOSES)
        (void)malloc_trim(0);
    if (tagged)
        thread_set_clientid(own);
    if (errors)
        clientpool_stat_threading_errors(errors);
}

void ClientPool::Poll()
{
    for (;;)
        Cycle();
}

void ClientPool::show_connections(Filebuf *out)
{
    time_t now = clock();
    MutexGuard guard(&lock);
    (void)out->Addf("<table class=\"list\">\n");
    (void)out->Addf("<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n");
    (void)out->Addf("<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n");
    bool even = true;
    for (const clientpool_t *e : entries) {
        (void)out->Addf("<tr class=\"%s\"><td>%d</td><td>%s</td><td>%d</td><td>%d</td></tr>\n",
                        even ? "listeven" : "listodd", (int)e->conn->clientid,
                        e->conn->ip ? e->conn->ip : "", e->conn->requests, (int)(now - e->added));
        even = !even;
    }
    (void)out->Addf("</table>\n");
}

void *clientpool_thread(void *)
{
    global->clientpool->Poll();
}
