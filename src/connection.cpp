/*
 * The connection record: the state of one client connection and of the
 * request it serves, carried through every step of the request road so that
 * a rule in one section can see what another decided. The record owns its
 * texts, lists and map; the per-request objects that hang off it (sockets,
 * headers, body, cache object) are released by their users after each
 * request.
 */
#include "connection.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <ctime>

#include "cache.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "proxyauth.h"
#include "serverpool.h"
#include "stats.h"
#include "urlcommand.h"

CONNECTION_T *connection_new()
{
    CONNECTION_T *conn = new CONNECTION_T();   /* value-initialised: zero, NULL, empty */
    conn->download_left = ALLOWANCE_UNLIMITED;
    conn->upload_left = ALLOWANCE_UNLIMITED;
    conn->forward_type = FORWARD_DIRECT;
    for (int &score : conn->tavrin_scores)
        score = -1;
    return conn;
}

/* One budget of body bytes held in memory at once, over every
 * connection. Taking is one compare-and-swap; only a taker that waits for
 * room, and a giver while someone waits, touch the lock. */
struct BodyBudget {
    std::atomic<int64_t> held{0};
    std::atomic<int> waiters{0};
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t room;
    BodyBudget()
    {
        /* Waits run against the monotonic clock: a change of the system
         * time neither ends them early nor stretches them. */
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&room, &attr);
        pthread_condattr_destroy(&attr);
    }
};

/* Request bodies, and response bodies. */
static BodyBudget connection_body_budget;
static BodyBudget connection_response_budget;

/* Takes len bytes of b if they fit under budget. */
static bool budget_take(BodyBudget *b, int64_t len, int64_t budget)
{
    int64_t held = b->held.load();
    do {
        if (len > budget - held)
            return false;
    } while (!b->held.compare_exchange_weak(held, held + len));
    return true;
}

/* As budget_take, waiting for room until deadline_ms (monotonic_ms). */
static bool budget_take_wait(BodyBudget *b, int64_t len, int64_t budget, int64_t deadline_ms)
{
    if (budget_take(b, len, budget))
        return true;
    if (len > budget)
        return false;   /* would never fit */
    MutexGuard guard(&b->lock);
    b->waiters.fetch_add(1);
    bool taken = false;
    for (;;) {
        if ((taken = budget_take(b, len, budget)))
            break;
        int64_t now = monotonic_ms();
        if (now >= deadline_ms)
            break;
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        int64_t ms = std::min<int64_t>(deadline_ms - now, 1000);
        until.tv_sec += (time_t)(ms / 1000);
        until.tv_nsec += (long)(ms % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000L;
        }
        (void)pthread_cond_timedwait(&b->room, &b->lock, &until);
    }
    b->waiters.fetch_sub(1);
    return taken;
}

static void budget_give(BodyBudget *b, int64_t len)
{
    if (len <= 0)
        return;
    b->held.fetch_sub(len);
    if (b->waiters.load() > 0) {
        MutexGuard guard(&b->lock);
        pthread_cond_broadcast(&b->room);
    }
}

/* shares buffers of buffer bytes, at least CONNECTION_BODY_BUDGET_MIN. */
static int64_t budget_of(int64_t buffer, int64_t shares)
{
    int64_t budget = std::max<int64_t>(buffer, 1);
    budget = budget > INT64_MAX / shares ? INT64_MAX : budget * shares;
    return std::max<int64_t>(budget, CONNECTION_BODY_BUDGET_MIN);
}

bool connection_body_reserve(CONNECTION_T *conn, int64_t len, int64_t maxubuffer)
{
    if (len <= 0)
        return true;
    if (!budget_take(&connection_body_budget, len, budget_of(maxubuffer, CONNECTION_BODY_BUDGET_SHARES)))
        return false;
    conn->body_reserved += len;
    return true;
}

void connection_body_release(CONNECTION_T *conn)
{
    budget_give(&connection_body_budget, conn->body_reserved);
    conn->body_reserved = 0;
}

int64_t connection_body_held_bytes()
{
    return connection_body_budget.held.load();
}

int64_t connection_response_budget_bytes(int64_t maxdbuffer)
{
    int64_t shares = std::min<int64_t>(std::max(MAXTHREADS, 1), CONNECTION_RESPONSE_BUDGET_SHARES);
    return budget_of(maxdbuffer, shares);
}

bool connection_response_reserve(CONNECTION_T *conn, int64_t total, int64_t maxdbuffer, int64_t deadline_ms)
{
    int64_t more = total - conn->response_reserved;
    if (more <= 0)
        return true;
    int64_t budget = connection_response_budget_bytes(maxdbuffer);
    bool taken = deadline_ms > 0 ? budget_take_wait(&connection_response_budget, more, budget, deadline_ms)
                                 : budget_take(&connection_response_budget, more, budget);
    if (taken)
        conn->response_reserved = total;
    return taken;
}

void connection_response_force(CONNECTION_T *conn, int64_t total)
{
    int64_t more = total - conn->response_reserved;
    if (more <= 0)
        return;
    connection_response_budget.held.fetch_add(more);
    conn->response_reserved = total;
}

void connection_response_trim(CONNECTION_T *conn, int64_t total)
{
    if (total < 0)
        total = 0;
    if (conn->response_reserved <= total)
        return;
    budget_give(&connection_response_budget, conn->response_reserved - total);
    conn->response_reserved = total;
}

int64_t connection_response_held_bytes()
{
    return connection_response_budget.held.load();
}

void connection_free(CONNECTION_T *conn)
{
    if (!conn)
        return;
    connection_body_release(conn);
    connection_response_trim(conn, 0);
    free(conn->ip);
    free(conn->interface);
    free(conn->upstream_authorization);
    free(conn->proxy_host);
    free(conn->user);
    free(conn->proxy_user);
    free(conn->proxy_password);
    free(conn->proxy_domain);
    free(conn->cache_view.header_text);
    stats_release(conn->userstats);   /* the rule's tree goes with its last holder */
    conn->userstats = nullptr;
    delete conn;
}

/* The bit of a "bypass" letter, 0 for any other character. */
static unsigned bypass_letter(char c)
{
    switch (c) {
    case 'f': return BYPASS_URLFILTER;
    case 'h': return BYPASS_HEADERS;
    case 'm': return BYPASS_MIME;
    case 'r': return BYPASS_REDIRECT;
    case 'c': return BYPASS_COOKIES;
    case 'w': return BYPASS_REWRITE;
    case 'e': return BYPASS_E;
    case 'p': return BYPASS_FORWARD;
    case 'k': return BYPASS_KEYWORDS;
    case 'd': return BYPASS_DNSBL;
    case 'a': return BYPASS_ANTIVIRUS;
    case 'i': return BYPASS_ICAP;
    default: return 0;
    }
}

unsigned bypass_apply(unsigned bits, const char *options)
{
    if (!options)
        return 0xFFFFFFFFu;
    bool set = true;
    for (const char *p = options; *p; p++) {
        if (*p == '+') {
            set = true;
        } else if (*p == '-') {
            set = false;
        } else if (unsigned bit = bypass_letter(*p)) {
            if (set)
                bits |= bit;
            else
                bits &= ~bit;
        }
    }
    return bits;
}

void connection_request_done(CONNECTION_T *conn)
{
    if (conn->flags & CONN_TRANSFER_FAILED) {
        putlog(LOG_WARNING, "[IP:%s] process: transfer failed", conn->ip ? conn->ip : "");
        conn->keepalive_server = 0;
        conn->keepalive_client = 0;
    }
    /* The request's cache object: invalidated after a failed transfer,
     * else closed as its writer or as a reader; conn->cache becomes NULL. */
    if (cache_section)
        cache_section->request_done(conn);
    conn->cache = nullptr;
    url_command_free(conn->urlcommands);
    conn->urlcommands = nullptr;
    delete conn->htmlstream;
    conn->htmlstream = nullptr;
    delete conn->body;
    conn->body = nullptr;
    connection_body_release(conn);
    connection_response_trim(conn, 0);
    conn->upload_chunk_left = 0;
    serverpool_release(conn);
    proxyauth_clear(conn);   /* upstream credentials never outlive their request */
    free(conn->proxy_host);
    conn->proxy_host = nullptr;
    conn->rheader = nullptr;   /* freed by the code that made it */
    conn->variables.clear();
    conn->profiles.clear();
    conn->permissions = 0;
    http_header_free(conn->header);
    conn->header = nullptr;
    for (int &score : conn->tavrin_scores)
        score = -1;
    conn->tavrin_failed = false;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "process: keepalive_client = %d", conn->keepalive_client);
}
