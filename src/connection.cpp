/*
 * The connection record: the state of one client connection and of the
 * request it serves, carried through every step of the request road so that
 * a rule in one section can see what another decided. The record owns its
 * texts, lists and map; the per-request objects that hang off it (sockets,
 * headers, body, cache object) are released by their users after each
 * request.
 */
#include "connection.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>

#include "cache.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "log.h"
#include "mem.h"
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

/* The bytes of request bodies buffered at once, over every connection. */
static std::atomic<int64_t> connection_body_held{0};

bool connection_body_reserve(CONNECTION_T *conn, int64_t len, int64_t maxubuffer)
{
    if (len <= 0)
        return true;
    int64_t budget = std::max<int64_t>(maxubuffer, 1);
    budget = budget > INT64_MAX / CONNECTION_BODY_BUDGET_SHARES ? INT64_MAX : budget * CONNECTION_BODY_BUDGET_SHARES;
    budget = std::max<int64_t>(budget, CONNECTION_BODY_BUDGET_MIN);
    int64_t held = connection_body_held.load();
    do {
        if (len > budget - held)
            return false;
    } while (!connection_body_held.compare_exchange_weak(held, held + len));
    conn->body_reserved += len;
    return true;
}

void connection_body_release(CONNECTION_T *conn)
{
    if (conn->body_reserved > 0)
        connection_body_held.fetch_sub(conn->body_reserved);
    conn->body_reserved = 0;
}

int64_t connection_body_held_bytes()
{
    return connection_body_held.load();
}

void connection_free(CONNECTION_T *conn)
{
    if (!conn)
        return;
    connection_body_release(conn);
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
