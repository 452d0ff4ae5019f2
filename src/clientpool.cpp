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
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "options.h"
#include "perflog.h"
#include "process.h"
#include "socket.h"

static time_t clientpool_default_clock();
static bool clientpool_expired(CONNECTION_T *conn, time_t listed_seconds);
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

/* True when conn has waited its time: the general rule's timeout before
 * its first request, keeptimeout after. */
static bool clientpool_expired(CONNECTION_T *conn, time_t listed_seconds)
{
    int limit;
    if (general_section)
        limit = conn->requests == 0 ? general_section->timeout_get(conn)
                                    : general_section->keeptimeout_get(conn);
    else
        limit = 60;
    return listed_seconds >= limit;
}

ClientPool::ClientPool()
    : clock(clientpool_default_clock), next_serial(1), wakepipe_calls(0), new_client(0)
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
            if (s && s->read_length > 0)
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
            if (s && (s->read_length > 0 || (revents & POLLIN)))
                handover.push_back(e->conn);
            else if (!s || (revents & (POLLERR | POLLHUP | POLLNVAL)))
                closing.push_back(e->conn);
            else if (clientpool_expired(e->conn, now - e->added))
                closing.push_back(e->conn);
            else
                remove = false;
            if (remove) {
                free(e);
                it = entries.erase(it);
            } else {
                ++it;
            }
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
            net_close(conn);
            errors++;
        }
    }
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
