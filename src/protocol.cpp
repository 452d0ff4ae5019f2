/*
 * What the request pipeline and the protocol handlers share: reaching the
 * server side of a request (a pooled connection of the same key, or a new
 * one directly, through an upstream proxy, a SOCKS proxy or a tunnel opened
 * at an upstream proxy), recovering from a pooled connection the server
 * closed meanwhile, the keep-alive decisions for both sides, the decision
 * whether a response body is read whole before it is sent, and the glue
 * that runs the request and response processors.
 *
 * A pooled connection may have been closed by its server at any moment, so
 * a request that finds no answer on one is sent again on a new connection,
 * unless its body was streamed from the client and is gone. A request whose
 * body is still waiting unread on the client socket never leaves that
 * socket open for another request: whatever answers it says close.
 */
#include "protocol.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>
#include <ctime>
#include <memory>

#include "cache.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "hooks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "proto_connect.h"
#include "proto_http.h"
#include "serverpool.h"
#include "socket.h"
#include "socks.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

Protocols protocols;

static int protocol_send_again(CONNECTION_T *conn);
static bool protocol_poolable(const HEADER *h);
static bool protocol_idempotent(const HEADER *h);

/* The registry. */

void Protocols::Add(const std::string &scheme, int (*handler)(CONNECTION_T *conn))
{
    list.push_back(Protocol{ scheme, handler });
}

int Protocols::Execute(const std::string &scheme, CONNECTION_T *conn) const
{
    for (const Protocol &p : list)
        if (p.scheme == scheme)
            return p.handler(conn);
    return -1;
}

/* Connecting. */

int protocol_connect_to(CONNECTION_T *conn, const char *host, int port)
{
    in_addr local;
    local.s_addr = htonl(INADDR_ANY);
    if (network_section)
        local = network_section->interface_select(conn);
    int fd = net_connect(host, port, local, net_ctimeout(conn));
    if (fd >= 0)
        conn->server = new Socket(fd, SOCKET_MODE_NONBLOCKING);
    return fd;
}

/* A request that may take a pooled connection: no body that would have to
 * be sent again (so neither a length above 0 nor chunked framing), and no
 * tunnel. */
static bool protocol_poolable(const HEADER *h)
{
    if (h->type == HEADER_CONNECT || h->chunked)
        return false;
    return !(h->flags & HEADER_HAS_LENGTH) || h->content_length == 0;
}

int protocol_start(CONNECTION_T *conn, bool fresh)
{
    HEADER *h = conn->header;
    ASSERT(h != nullptr);
    conn->keepalive_server = 0;

    switch ((forward_type_t)conn->forward_type) {
    case FORWARD_HTTP:
    case FORWARD_SOCKS4:
    case FORWARD_CONNECT:
        conn->logentry.peer = conn->proxy_host ? conn->proxy_host : "";
        break;
    case FORWARD_SOCKS5:
    case FORWARD_DIRECT:
        conn->logentry.peer = h->host ? h->host : "";
        conn->logentry.set_peercode(PC_DIRECT);
        break;
    }

    int ssl = (conn->flags & CONN_SSL) ? 1 : 0;
    bool via_proxy = conn->forward_type == FORWARD_HTTP;
    const char *host = via_proxy ? conn->proxy_host : h->host;
    int port = via_proxy ? conn->proxy_port : h->port;

    /* A connection pinned by the client's NTLM or Negotiate handshake
     * comes first, whatever the request carries. */
    int pinned = fresh ? -1 : serverpool_pinned_take(conn, ssl);
    if (pinned >= 0) {
        conn->flags |= CONN_SERVER_REUSED;
        conn->keepalive_server = 1;
        return pinned;
    }
    if (!fresh && protocol_poolable(h) && global && global->serverpool && h->protocol && host) {
        SERVERPOOL_ROUTE route = serverpool_route(conn, ssl);
        Socket *pooled = global->serverpool->Find(h->protocol, host, port, h->user, h->password,
                                                  &route);
        if (pooled) {
            conn->server = pooled;   /* the pool gave it to us */
            conn->flags |= CONN_SERVER_REUSED;
            conn->keepalive_server = 1;
            return pooled->fd;
        }
    }

    int rc = NET_CONNECT_FAILED;
    switch ((forward_type_t)conn->forward_type) {
    case FORWARD_HTTP:
        rc = protocol_connect_to(conn, conn->proxy_host, conn->proxy_port);
        if (rc < 0)
            putlog(LOG_ERROR, "network: connection to proxy server failed");
        break;
    case FORWARD_SOCKS4:
    case FORWARD_SOCKS5: {
        bool v4 = conn->forward_type == FORWARD_SOCKS4;
        rc = protocol_connect_to(conn, conn->proxy_host, conn->proxy_port);
        if (rc >= 0 && (v4 ? proxy_socks4(conn) : proxy_socks5(conn)) != SOCKS_OK) {
            putlog(LOG_ERROR, v4 ? "network: connection to socks4 server failed"
                                 : "network: connection to socks5 server failed");
            delete conn->server;
            conn->server = nullptr;
            rc = -1;
        }
        break;
    }
    case FORWARD_CONNECT:
        rc = protocol_connect_to(conn, conn->proxy_host, conn->proxy_port);
        if (rc >= 0 && proxy_connect(conn) != 1) {
            putlog(LOG_ERROR, "network: connection to proxy failed");
            delete conn->server;
            conn->server = nullptr;
            rc = -1;
        }
        break;
    case FORWARD_DIRECT:
        rc = protocol_connect_to(conn, h->host, h->port);
        break;
    }

    if (rc >= 0 && ssl && conn->server &&
        conn->server->Encrypt(SOCKET_SSL_CLIENT, h->host, net_ctimeout(conn)) != 1) {
        delete conn->server;
        conn->server = nullptr;
        rc = -1;
    }
    if (rc < 0) {
        delete conn->server;   /* NULL on every failed path but the last */
        conn->server = nullptr;
    }
    return rc;
}

int protocol_reconnect(CONNECTION_T *conn, bool fresh)
{
    delete conn->server;
    conn->server = nullptr;
    conn->server_pinned = false;   /* a new connection carries no handshake */
    if (conn->client)
        (void)net_socket_flush(conn->client, net_ctimeout(conn));
    return protocol_start(conn, fresh);
}

/* Sends the request header, and its buffered body, once more on the new
 * server socket. A CONNECT request always speaks to a proxy: the client's
 * own through an upstream HTTP proxy, or the one that stands in for the
 * request while a tunnel is set up (proxy_connect). Returns 0, or -1 when
 * a write failed. */
static int protocol_send_again(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    int kind = conn->forward_type == FORWARD_HTTP || h->type == HEADER_CONNECT ? HEADER_SEND_PROXY
                                                                               : HEADER_SEND_ORIGIN;
    if (header_send(h, conn, SIDE_SERVER, kind) != 0)
        return -1;
    if ((h->flags & HEADER_HAS_LENGTH) && conn->body && conn->body->size > 0 &&
        net_filebuf_send(conn->body, conn, SIDE_SERVER) < 0)
        return -1;
    return 0;
}

/* Methods a client may send twice with the effect of once. */
static bool protocol_idempotent(const HEADER *h)
{
    static const char *const methods[] = { "GET", "HEAD", "OPTIONS", "TRACE", "PUT", "DELETE" };
    for (const char *m : methods)
        if (h && h->method && strcasecmp(h->method, m) == 0)
            return true;
    return false;
}

/* The error page of a server that gave no answer, unless a cached copy is
 * being revalidated: the exchange serves that copy instead. */
static void reconnect_fail_page(CONNECTION_T *conn, const char *name)
{
    if (conn->cache && (conn->flags & CONN_REVALIDATE))
        return;
    if (template_section)
        (void)template_section->send_or_close(name, conn, 503);
}

char *header_get_reconnect(CONNECTION_T *conn, int timeout)
{
    char *text = header_get(conn, SIDE_SERVER, timeout);
    if (text)
        return text;

    const char *host = conn->header && conn->header->host ? conn->header->host : "";
    if (!conn->keepalive_server && !(conn->flags & CONN_PROXY_AUTH)) {
        /* A fresh connection that gives nothing: the name may point at a
         * server that is gone. */
        reconnect_fail_page(conn, "noconnect");
        net_dns_purge(host);
        putlog(LOG_ADVICE, "purge dns");
        return nullptr;
    }
    if (conn->flags & CONN_DIRECT_POST) {
        putlog(LOG_WARNING, "request: server dropped connection during direct POST");
        conn->keepalive_client = 0;
        return nullptr;
    }

    if (!(conn->flags & CONN_PROXY_AUTH) && !protocol_idempotent(conn->header)) {
        /* The server may have acted on it before the connection died. */
        putlog(LOG_WARNING, "request: pooled server connection failed, %s not sent again",
               conn->header && conn->header->method ? conn->header->method : "");
        reconnect_fail_page(conn, "noconnect");
        return nullptr;
    }
    /* Once, on a connection of its own: another pooled one may be as dead. */
    int rc = protocol_reconnect(conn, true);
    if (rc < 0) {
        reconnect_fail_page(conn, error_to_template(rc));
        return nullptr;
    }
    if (protocol_send_again(conn) == 0) {
        text = header_get(conn, SIDE_SERVER, timeout);
        if (text)
            return text;
    }
    reconnect_fail_page(conn, "noconnect");
    return nullptr;
}

/* Keep-alive. */

int keepalive_wanted(const HEADER *request)
{
    if (!request || request->type == HEADER_CONNECT)
        return 0;
    if (request->keepalive == 0 || request->proxy_keepalive == 0)
        return 0;
    if (request->keepalive == 1 || request->proxy_keepalive == 1)
        return 1;
    return request->version == 2 ? 1 : 0;
}

void keepalive_check_client(CONNECTION_T *conn)
{
    conn->keepalive_client = keepalive_wanted(conn->header);
}

int response_bodiless(const CONNECTION_T *conn)
{
    if (conn->flags & CONN_HEAD)
        return 1;
    const HEADER *r = conn->rheader;
    if (!r)
        return 0;
    return (r->status >= 100 && r->status < 200) || r->status == 204 || r->status == 304;
}

void keepalive_check_server(CONNECTION_T *conn)
{
    const HEADER *r = conn->rheader;
    if (!r)
        return;
    if (!response_bodiless(conn) && !(r->flags & HEADER_HAS_LENGTH) && !r->chunked) {
        /* The body ends when the server closes. */
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
    } else {
        conn->keepalive_server =
            r->keepalive == 1 || r->proxy_keepalive == 1 ||
            (r->version == 2 && r->keepalive != 0 && r->proxy_keepalive != 0);
    }
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "protocol: keepalive_server = %d", conn->keepalive_server);
}

/* Buffering. */

int buffer_check(CONNECTION_T *conn)
{
    const HEADER *r = conn->rheader;
    const HEADER *h = conn->header;
    if (!r || !h)
        return 0;

    int64_t maxdbuffer = general_section ? general_section->maxdbuffer_get(conn) : 0;
    if ((r->flags & HEADER_HAS_LENGTH) && (uint64_t)r->content_length > (uint64_t)maxdbuffer &&
        !url_command_find(conn->urlcommands, "process")) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: warn: response exceeds maximum download buffer size");
        return 0;
    }
    if (conn->flags & CONN_PREFETCH)
        return 0;
    if (r->content_encoding && !accepts_encoded_content(conn))
        return 1;
    if (r->chunked && h->version == 1)
        return 1;
    if (processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) == 1)
        return 1;

    conn->flags &= ~CONN_PROCESSING;
    if (url_command_find(conn->urlcommands, "raw") || url_command_find(conn->urlcommands, "htmltree") ||
        url_command_find(conn->urlcommands, "score"))
        return 1;
    if (general_section && general_section->compressout_get(conn) == 1 && h->accept_encoding &&
        r->content_type && !r->content_encoding && accepts_encoded_content(conn) &&
        general_section->encodemime_check(conn, r->content_type))
        return 1;
    return 0;
}

int64_t buffer_limit(CONNECTION_T *conn)
{
    int64_t limit = general_section ? general_section->maxdbuffer_get(conn) : 0;
    if (limit <= 0)
        limit = PROTOCOL_BUFFER_DEFAULT;
    const HEADER *r = conn->rheader;
    if (r && (r->flags & HEADER_HAS_LENGTH) && r->content_length > limit &&
        url_command_find(conn->urlcommands, "process"))
        limit = r->content_length;
    return limit < PROTOCOL_BUFFER_HARD_MAX ? limit : PROTOCOL_BUFFER_HARD_MAX;
}

bool buffer_budget_take(CONNECTION_T *conn, int64_t bytes)
{
    int64_t maxdbuffer = general_section ? general_section->maxdbuffer_get(conn) : 0;
    int64_t deadline_ms = monotonic_ms() + (int64_t)net_timeout(conn) * 1000;
    return connection_response_reserve(conn, conn->response_reserved + bytes, maxdbuffer, deadline_ms);
}

void buffertimeout_set(CONNECTION_T *conn)
{
    int wait = general_section ? general_section->bufferwait_get(conn) : 0;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: buffer timeout: %d", wait);
    conn->bufferwait = wait > 0 ? time(nullptr) + wait : 0;
}

void buffertimeout_check(CONNECTION_T *conn)
{
    const unsigned need = CONN_BUFFERING | CONN_WRITING_CACHE;
    if ((conn->flags & need) != need || (conn->flags & CONN_NOCLIENT) || conn->bufferwait == 0 ||
        time(nullptr) < conn->bufferwait || !conn->cache || !cache_section)
        return;
    /* The client gets the progress page and is let go; the download goes
     * on into the object, which later requests are served from. */
    (void)cache_section->flag_set(conn->cache, CACHE_BUFFERWAIT | CACHE_PREFETCHED);
    (void)cache_section->send_status(conn, conn->cache);
    conn->keepalive_client = 0;
    if (conn->client)
        (void)net_socket_flush(conn->client, 1);
    delete conn->client;
    conn->client = nullptr;
    conn->flags |= CONN_NOCLIENT;
}

/* Processors. */

char *process_raw_header(CONNECTION_T *conn, int kind, char *text)
{
    Filebuf raw;
    int64_t len = (int64_t)strlen(text);
    if (raw.Adopt(text, len + 1) != FILEBUF_OK) {
        free(text);
        return nullptr;
    }
    (void)processors.Execute(kind, conn, &raw);
    if (!raw.data || raw.size <= 0)
        return nullptr;
    return xstrndup(raw.data, (size_t)raw.size);
}

/* Sends a processor's answer (conn->rheader, its body in body) and frees
 * it. Returns 0, the request being answered. */
static int process_answer(CONNECTION_T *conn, Filebuf *body);

int process_access(CONNECTION_T *conn)
{
    /* No request body has been read: the buffer is only for the page of a
     * refusal. */
    if (!conn->body)
        conn->body = new Filebuf();
    (void)processors.Execute(PROCESSOR_AUTH, conn, conn->body);

    if (conn->user) {
        statincr_users(conn);
        conn->logentry.username = conn->user;
        conn->variables["USERNAME"] = conn->user;
    }
    if (conn->rheader) {
        const HEADER *h = conn->header;
        if (h->chunked || ((h->flags & HEADER_HAS_LENGTH) && h->content_length > 0))
            conn->keepalive_client = 0;   /* the unread body must not become the next request */
        return process_answer(conn, conn->body);
    }
    delete conn->body;
    conn->body = nullptr;
    return 1;
}

int process_request(CONNECTION_T *conn, Filebuf *body)
{
    if (!conn->rheader)
        (void)processors.Execute(PROCESSOR_REQMOD, conn, body);

    if (!conn->rheader) {
        if (!(conn->flags & CONN_BODY_PENDING))
            process_body_framing(conn, body);
        return 1;
    }
    return process_answer(conn, body);
}

void process_body_framing(CONNECTION_T *conn, const Filebuf *body)
{
    /* A chunked body was read whole; it goes on with its length, as does
     * a body a processor rewrote or emptied (a Content-Length becomes the
     * new size, 0 included). A streamed body keeps the client's framing. */
    HEADER *h = conn->header;
    if (body && !(conn->flags & CONN_DIRECT_POST) &&
        (body->size > 0 || h->chunked || (h->flags & HEADER_HAS_LENGTH))) {
        h->chunked = 0;
        h->content_length = body->size;
        h->flags |= HEADER_HAS_LENGTH;
    }
}

static int process_answer(CONNECTION_T *conn, Filebuf *body)
{
    /* A processor answered; the body buffer holds its page. */
    HEADER *h = conn->header;
    HEADER *answer = conn->rheader;
    answer->content_length = body ? body->size : 0;
    answer->flags |= HEADER_HAS_LENGTH;
    answer->chunked = 0;
    if ((conn->flags & CONN_DIRECT_POST) || !keepalive_wanted(h))
        conn->keepalive_client = 0;   /* an unread body must not become the next request */

    conn->logentry.status = answer->status;
    conn->logentry.size = answer->content_length;
    conn->logentry.mime = answer->content_type ? answer->content_type : "";

    int rc = header_send(answer, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    if (rc == 0 && body && body->size > 0)
        rc = http_send_body(conn, body);
    if (rc != 0)
        conn->keepalive_client = 0;
    http_header_free(answer);
    conn->rheader = nullptr;
    return 0;
}

int process_response(CONNECTION_T *conn, Filebuf *body)
{
    if (processors.Execute(PROCESSOR_RESPCHECK, conn, body) == 1) {
        conn->logentry.set_cachecode(CC_TCP_DENIED);
        return 0;
    }
    (void)processors.Execute(PROCESSOR_RESPMOD, conn, body);
    /* Later hits skip the scanners for a clean object, so it is marked only
     * on a real clean verdict: never after an outage or a user's bypass. */
    bool scanned_clean = (conn->flags & (CONN_SCAN_CLEAN | CONN_SCAN_FAILED)) == CONN_SCAN_CLEAN &&
                         !(conn->bypass & BYPASS_ANTIVIRUS);
    if (scanned_clean && conn->cache && cache_section)
        (void)cache_section->flag_set(conn->cache, CACHE_CLEAN);
    return 1;
}

int transfer_limit_check(CONNECTION_T *conn)
{
    const HEADER *r = conn->rheader;
    /* Cache hits count against the allowance only under a rule that says
     * so. */
    bool hit = conn->cache && !(conn->flags & (CONN_WRITING_CACHE | CONN_LIMIT_HITS));
    if (!r || hit || !(r->flags & HEADER_HAS_LENGTH) || conn->download_left == ALLOWANCE_UNLIMITED ||
        r->content_length <= conn->download_left)
        return 1;
    putlog(LOG_WARNING, "limits: transfer would exceed transfer limit");
    if (template_section)
        (void)template_section->send_or_close("downloadlimit", conn, 200);
    return 0;
}

int accepts_encoded_content(CONNECTION_T *conn)
{
    int yes = 0;
    if (!(conn->flags & CONN_ASKED_ENCODING) && conn->header && conn->header->accept_encoding) {
        const char *ae = conn->header->accept_encoding;
        yes = s_strcasestr(ae, "gzip") || s_strcasestr(ae, "deflate");
    }
    if (!yes && log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: client doesn't support encoded content");
    return yes;
}
