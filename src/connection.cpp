/*
 * The connection record: the state of one client connection and of the
 * request it serves, carried through every step of the request road so that
 * a rule in one section can see what another decided. The record owns its
 * texts, lists and map; the per-request objects that hang off it (sockets,
 * headers, body, cache object) are released by their users after each
 * request.
 */
#include "connection.h"

#include <cstdlib>

#include "cache.h"
#include "filebuf.h"
#include "header.h"
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

void connection_free(CONNECTION_T *conn)
{
    if (!conn)
        return;
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
    /* TODO: free the HTML stream once the HTML filter exists; nothing sets
     * it until then. */
    conn->htmlstream = nullptr;
    delete conn->body;
    conn->body = nullptr;
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
