/*
 * The request pipeline: one request of a client connection from its header
 * to the protocol handler that relays the exchange. The steps run in a
 * fixed order, so that every policy sees what the earlier ones decided:
 * the header is read and parsed, URL commands come off, profiles are
 * evaluated, the raw-header processors may rewrite the header, the access
 * rules and authentication decide on the header alone, the request
 * modifiers run, then limits, the "bypass" command, redirects, header
 * rules, the permissions of the matched access rule, the request checks,
 * the cache, and finally the connect and the dispatch. A refusal at any
 * step answers the client and ends the request; the worker loop cleans up.
 *
 * The request body is read only where a step first needs it: before the
 * request modifiers when one of them works on the body, for the web
 * interface's forms, and otherwise just before the connect. Every refusal
 * the header decides therefore comes first, and a refused request's body
 * is read and dropped up to a small bound, then the connection closes;
 * it is never buffered.
 *
 * The client connection stays open after a request only when its next
 * request can start cleanly: an answer given while the request's body is
 * still unread on the socket says "Connection: close", and so does every
 * refusal of a malformed request. The entry point lives in this file
 * alone among the worker's callees, so a test can link a double of it.
 */
#include "request.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "access.h"
#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "forward.h"
#include "ftp.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "headerfilter.h"
#include "hooks.h"
#include "interface.h"
#include "interface_diag.h"
#include "limit.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "profiles.h"
#include "proto_connect.h"
#include "proto_ftp.h"
#include "proto_http.h"
#include "protocol.h"
#include "redirect.h"
#include "socket.h"
#include "stats.h"
#include "tavrin.h"
#include "templates.h"
#include "urlcommand.h"
#include "urlfilter.h"

/* The most of a refused request's body read (and dropped) before the
 * connection is closed. */
#define REQUEST_DISCARD_MAX ((int64_t)64 * 1024)
/* ... and no longer than this after the last bytes of it arrived. */
#define REQUEST_DISCARD_QUIET_MS 1000
/* Log lines show at most this much of a URL. */
#define REQUEST_LOG_URL_MAX 1024

/* What a step tells the pipeline. */
enum request_step { REQ_GO_ON = 1, REQ_END = 0 };

static const char *request_ip(const CONNECTION_T *conn);
static void request_serve(CONNECTION_T *conn);
static void request_send(CONNECTION_T *conn, const char *name, int status, bool close);
static void request_refuse(CONNECTION_T *conn, const char *name, int status);
static void request_slot_start(CONNECTION_T *conn);
static void request_slot_request(CONNECTION_T *conn);
static void request_variables_start(CONNECTION_T *conn);
static void request_http_variables(CONNECTION_T *conn);
static void request_forwarded_for(CONNECTION_T *conn);
static int request_first_parse(CONNECTION_T *conn, char *text);
static int request_second_parse(CONNECTION_T *conn, char *text);
static int request_body(CONNECTION_T *conn);
static bool request_has_body(const HEADER *h);
static void request_body_defer(CONNECTION_T *conn);
static int request_body_now(CONNECTION_T *conn);
static void request_body_discard(CONNECTION_T *conn, int64_t deadline_ms);
static void request_answer(CONNECTION_T *conn, char *text, int64_t header_deadline_ms);
static void request_route(CONNECTION_T *conn);
static int request_limits(CONNECTION_T *conn);
static int request_redirect(CONNECTION_T *conn);
static void request_header_rules(CONNECTION_T *conn);
static bool request_interface(CONNECTION_T *conn);
static int request_kind(CONNECTION_T *conn, bool host_from_header);
static int request_origin_host(CONNECTION_T *conn);
static int request_origin_early(CONNECTION_T *conn, bool *host_from_header);
static void request_bad_host(CONNECTION_T *conn);
static void request_log_fields(CONNECTION_T *conn);
static int request_commands(CONNECTION_T *conn);
static int request_command_pages(CONNECTION_T *conn);
static int request_checks(CONNECTION_T *conn);
static int request_cache(CONNECTION_T *conn);
static void request_coding(CONNECTION_T *conn);
static void request_whole_body(CONNECTION_T *conn);
static void request_ftp_login(CONNECTION_T *conn);
static int request_connect(CONNECTION_T *conn);
static void request_dispatch(CONNECTION_T *conn);
static void forward_choose(CONNECTION_T *conn);
static void request_loop_refuse(CONNECTION_T *conn);
static bool request_via_loops(const CONNECTION_T *conn);

static const char *request_ip(const CONNECTION_T *conn)
{
    return conn->ip ? conn->ip : "";
}

void handle_request(CONNECTION_T *conn)
{
    /* The URL commands and the cache object are released by the worker's
     * clean-up after the request. */
    request_serve(conn);
}

/* Sends the template name with status. close (or a request body still
 * unread on the client socket) makes the answer close the connection.
 * Without a page of that name the connection is closed unanswered. */
static void request_send(CONNECTION_T *conn, const char *name, int status, bool close)
{
    if (close || (conn->flags & (CONN_DIRECT_POST | CONN_BODY_PENDING)))
        conn->keepalive_client = 0;
    if (template_section)
        (void)template_section->send_or_close(name, conn, status);
    else
        conn->keepalive_client = 0;
}

/* A refusal of the request's kind or target: the page, the connection
 * closed, and a record of the refusal. */
static void request_refuse(CONNECTION_T *conn, const char *name, int status)
{
    conn->logentry.set_cachecode(CC_TCP_DENIED);
    request_send(conn, name, status, true);
}

/* Replaces the slot's copy of a text unless it is the same already (a
 * kept-alive client's address stays from request to request). The caller
 * holds the slot's show_lock. */
static void request_slot_text(char **slot_text, const char *text)
{
    if (*slot_text && text && strcmp(*slot_text, text) == 0)
        return;
    free(*slot_text);
    *slot_text = text ? xstrdup(text) : nullptr;
}

/* Step 1: the worker slot shows this connection as busy. The slot is the
 * worker's own: its state is stored without the table's lock, and the texts
 * are under the slot's lock, which only the connections page shares. */
static void request_slot_start(CONNECTION_T *conn)
{
    if (conn->slot < 0 || conn->slot >= MAXTHREADS)
        return;
    THREAD_T *t = &threads[conn->slot];
    t->state.store(THREAD_BUSY, std::memory_order_relaxed);
    MutexGuard guard(&t->show_lock);
    t->requests = conn->requests;
    request_slot_text(&t->ip, conn->ip);
}

/* Step 23: the slot shows the request in progress. */
static void request_slot_request(CONNECTION_T *conn)
{
    if (conn->slot < 0 || conn->slot >= MAXTHREADS)
        return;
    const HEADER *h = conn->header;
    THREAD_T *t = &threads[conn->slot];
    MutexGuard guard(&t->show_lock);
    request_slot_text(&t->ip, conn->ip);
    request_slot_text(&t->url, h->url);
    request_slot_text(&t->method, h->method);
}

/* Step 3. */
static void request_variables_start(CONNECTION_T *conn)
{
    VariableMap &v = conn->variables;
    v["IP"] = request_ip(conn);
    v["PORT"] = std::to_string(conn->port);
    v["TIME"] = std::to_string((unsigned long long)time(nullptr));
    v["INTERFACE"] = conn->interface ? conn->interface : "";
    v["VERSION"] = QUILL_RELEASE;
    v["CLIENTID"] = std::to_string(conn->clientid);
    conn->logentry.interface_ip = v["INTERFACE"];
    conn->logentry.interface_port = v["PORT"];
    conn->logentry.client_id = conn->clientid;
}

/* Steps 15 and 28: the request's own variables. */
static void request_http_variables(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    VariableMap &v = conn->variables;
    if (h->host)
        v["HTTP_HOST"] = h->host;
    v["HTTP_FILE"] = h->path ? h->path : "";
    v["HTTP_METHOD"] = h->method ? h->method : "";
    v["HTTP_PROTO"] = h->protocol ? h->protocol : "";
    v["HTTP_PORT"] = std::to_string(h->port);
}

static void request_forwarded_for(CONNECTION_T *conn)
{
    if (conn->header && conn->header->x_forwarded_for)
        conn->logentry.client = conn->header->x_forwarded_for;
}

/* The method and target of a request line that did not parse, for the
 * record of its refusal; the record escapes what they hold. */
static void request_log_request_line(CONNECTION_T *conn, const char *text)
{
    size_t method = strcspn(text, " \r\n");
    const char *target = text + method;
    target += strspn(target, " ");
    size_t length = strcspn(target, " \r\n");
    conn->logentry.method.assign(text, std::min<size_t>(method, HEADER_METHOD_MAX));
    conn->logentry.url.assign(target, std::min<size_t>(length, HEADER_TARGET_MAX));
}

/* Steps 6 to 10: the first parse. Returns REQ_GO_ON with the header
 * parsed, the commands taken and text still the caller's; or REQ_END with
 * text freed. */
static int request_first_parse(CONNECTION_T *conn, char *text)
{
    bool first = conn->requests == 0;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: [IP:%s] headers:\n%s", request_ip(conn),
               request_header_redact(text).c_str());
    int rc = HEADER_BAD;
    conn->header = http_header_parse_request(text, &rc);
    if (!conn->header) {
        request_log_request_line(conn, text);
        free(text);
        if (rc == HEADER_BAD_HOST) {
            request_bad_host(conn);
            return REQ_END;
        }
        if (rc == HEADER_BAD_FRAMING) {
            /* Two readings of the body would be possible: nothing after this
             * header can be trusted to be the next request. */
            putlog(LOG_SECURITY, "[IP:%s] request with ambiguous message framing refused",
                   request_ip(conn));
            request_send(conn, "badrequest", 400, true);
            return REQ_END;
        }
        if (first)
            putlog(LOG_WARNING, "request: invalid header recieved from %s", request_ip(conn));
        conn->keepalive_client = 0;
        return REQ_END;
    }
    request_forwarded_for(conn);
    keepalive_check_client(conn);
    if (!url_command_extract(conn)) {
        http_header_free(conn->header);
        conn->header = nullptr;
        free(text);
        return REQ_END;
    }
    (void)tavrin_first(conn);
    if (profile_section)
        profile_section->profiles_update(conn);
    return REQ_GO_ON;
}

/* Step 12: the header as the processors left it. Takes text over. */
static int request_second_parse(CONNECTION_T *conn, char *text)
{
    int rc = HEADER_BAD;
    conn->header = http_header_parse_request(text, &rc);
    if (!conn->header)
        request_log_request_line(conn, text);
    free(text);
    if (!conn->header) {
        if (rc == HEADER_BAD_HOST) {
            request_bad_host(conn);
            return REQ_END;
        }
        if (rc == HEADER_BAD_FRAMING) {
            request_send(conn, "badrequest", 400, true);
            return REQ_END;
        }
        if (conn->requests == 0)
            putlog(LOG_WARNING, "request: invalid header received from %s", request_ip(conn));
        /* Nothing was answered: a client that waits would wait for ever. */
        conn->keepalive_client = 0;
        return REQ_END;
    }
    request_forwarded_for(conn);
    if (!url_command_extract(conn)) {
        http_header_free(conn->header);
        conn->header = nullptr;
        return REQ_END;
    }
    url_command_log(conn->urlcommands);
    header_variables(conn, "CLIENT", conn->header->headers);
    return REQ_GO_ON;
}

/* Step 14: the request body, read whole into conn->body or marked for
 * streaming (CONN_DIRECT_POST). Returns REQ_GO_ON, or REQ_END after the
 * client was answered or its body did not come whole. */
static int request_body(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    int64_t maxubuffer = general_section ? general_section->maxubuffer_get(conn) : 0;
    int rc = HTTP_BODY_OK;

    if (h->flags & HEADER_HAS_LENGTH) {
        /* The upload allowance is the limits' test (step 18), against
         * this request's own allowance; the bytes are counted as they go
         * to the server. */
        int64_t len = h->content_length;
        /* Buffered only within the budget, a body that may have to be
         * sent again for upstream authentication too; past it the body
         * streams like a long one. */
        bool fits = len <= maxubuffer || (conn->proxy_user && len <= PROTOCOL_BUFFER_HARD_MAX);
        if (fits && !connection_body_reserve(conn, len, maxubuffer))
            maxubuffer = -1;
        if (len > maxubuffer) {
            if (!fits || maxubuffer < 0) {
                conn->body = new Filebuf();
                conn->flags |= CONN_DIRECT_POST;
                /* Until the body is relayed, no answer may keep the
                 * connection: the body would be read as the next request. */
                conn->keepalive_client = 0;
                (void)http_expects_continue(h, true);
                if (log_wanted(LOG_DEBUG))
                    putlog(LOG_DEBUG, "request: content (%lld) exceeds maximum upload buffer size (%lld)",
                           (long long)len, (long long)maxubuffer);
                return REQ_GO_ON;
            }
            putlog(LOG_REQUEST, "forced buffering of POST request for proxy that requries authentication");
        }
        http_continue(conn, true);
        conn->body = http_transfer_filebuf(conn, SIDE_CLIENT, len, &rc);
    } else if (h->chunked) {
        /* Buffered up to the upload buffer, like a body with a length;
         * a longer one is streamed on in chunks. A request that may have
         * to be sent again for upstream authentication is read whole
         * instead, up to a hard limit. */
        bool resend = conn->proxy_user != nullptr;
        int64_t cap = maxubuffer;
        if (resend && cap < PROTOCOL_BUFFER_DEFAULT)
            cap = PROTOCOL_BUFFER_DEFAULT;
        if (cap > PROTOCOL_BUFFER_HARD_MAX)
            cap = PROTOCOL_BUFFER_HARD_MAX;
        if (cap < 0 || !connection_body_reserve(conn, cap, std::max<int64_t>(maxubuffer, 0))) {
            /* No room: the body streams, and cannot be sent again. */
            cap = 0;
            resend = false;
        }
        http_continue(conn, true);
        conn->body = http_transfer_filebuf(conn, SIDE_CLIENT, cap, &rc);
        if (rc == HTTP_BODY_TOO_BIG && !resend && conn->body->size > 0) {
            conn->flags |= CONN_DIRECT_POST;
            /* Until the body is relayed, no answer may keep the
             * connection: the body would be read as the next request. */
            conn->keepalive_client = 0;
            if (log_wanted(LOG_DEBUG))
                putlog(LOG_DEBUG, "request: chunked content exceeds maximum upload buffer size (%lld), streamed",
                       (long long)cap);
            return REQ_GO_ON;
        }
        if (rc == HTTP_BODY_TOO_BIG) {
            putlog(LOG_WARNING, "[IP:%s] request: chunked request body over %lld bytes refused",
                   request_ip(conn), (long long)cap);
            request_send(conn, "badrequest", 413, true);
            return REQ_END;
        }
    } else {
        conn->body = new Filebuf();
    }

    if (rc == HTTP_BODY_OK)
        return REQ_GO_ON;
    putlog(LOG_WARNING, "[IP:%s] request: request body %s after %lld bytes, request abandoned",
           request_ip(conn), rc == HTTP_BODY_BAD ? "badly framed" : "cut short",
           (long long)(conn->body ? conn->body->size : 0));
    if (rc == HTTP_BODY_BAD)
        request_send(conn, "badrequest", 400, true);
    conn->keepalive_client = 0;
    return REQ_END;
}

/* After a refusal: reads and drops what arrives of the request body, so
 * that the client can read the answer before the close instead of losing
 * it to a reset; never buffered. It stops after REQUEST_DISCARD_MAX bytes,
 * at the header's deadline, or once the client has sent nothing for
 * REQUEST_DISCARD_QUIET_MS (it waits for the answer, or has gone). The
 * connection is closed afterwards. */
static void request_body_discard(CONNECTION_T *conn, int64_t deadline_ms)
{
    const HEADER *h = conn->header;
    if (!h || !conn->client || !request_has_body(h))
        return;
    conn->keepalive_client = 0;
    int64_t left = h->chunked ? REQUEST_DISCARD_MAX : std::min<int64_t>(h->content_length, REQUEST_DISCARD_MAX);
    char area[4096];
    while (left > 0) {
        int64_t ms = std::min<int64_t>(deadline_ms - monotonic_ms(), REQUEST_DISCARD_QUIET_MS);
        if (ms <= 0)
            break;
        int64_t n = conn->client->Read(area, std::min<int64_t>(left, sizeof area), (int)((ms + 999) / 1000));
        if (n <= 0)
            break;
        left -= n;
    }
}

/* Whether the request carries a body. */
static bool request_has_body(const HEADER *h)
{
    return h->chunked || ((h->flags & HEADER_HAS_LENGTH) && h->content_length > 0);
}

/* Leaves the request's body unread until a step needs it, so that every
 * refusal the header decides comes before it: until then an answer closes
 * the connection, and the worker drops what arrives of the body. */
static void request_body_defer(CONNECTION_T *conn)
{
    if (!request_has_body(conn->header))
        return;
    conn->flags |= CONN_BODY_PENDING;
    conn->keepalive_after_body = conn->keepalive_client;
    conn->keepalive_client = 0;
}

/* Reads a deferred body (request_body), for a step that needs it: a
 * request modifier, the web interface, or the server. REQ_GO_ON when it is
 * read or streams, or there was none to read; REQ_END after a failure or
 * a refusal, answered. */
static int request_body_now(CONNECTION_T *conn)
{
    if (!(conn->flags & CONN_BODY_PENDING))
        return REQ_GO_ON;
    conn->flags &= ~CONN_BODY_PENDING;
    conn->keepalive_client = conn->keepalive_after_body;
    delete conn->body;   /* only ever an empty page buffer by now */
    conn->body = nullptr;
    if (request_body(conn) != REQ_GO_ON)
        return REQ_END;
    process_body_framing(conn, conn->body);
    /* A chunked body read whole knows its size only now: the upload
     * allowance the limits gave this request is checked against it. */
    const HEADER *h = conn->header;
    if ((h->flags & HEADER_HAS_LENGTH) && conn->upload_left != ALLOWANCE_UNLIMITED &&
        h->content_length > conn->upload_left) {
        putlog(LOG_LIMITS, "[IP:%s] request body of %lld bytes over the upload allowance", request_ip(conn),
               (long long)h->content_length);
        request_refuse(conn, "uploadlimit", 200);
        return REQ_END;
    }
    return REQ_GO_ON;
}

/* Step 18: the limits; 1 when they refused the request. Every request
 * starts without an allowance and with nothing downloaded. */
static int request_limits(CONNECTION_T *conn)
{
    if (limit_section)
        return limit_section->check_and_block(conn);
    conn->download_bytes = 0;
    conn->download_left = ALLOWANCE_UNLIMITED;
    conn->upload_left = ALLOWANCE_UNLIMITED;
    return 0;
}

/* Steps 21 and 26: the request redirect rules; 1 when the client was
 * redirected. */
static int request_redirect(CONNECTION_T *conn)
{
    return redirect_section ? redirect_section->redirect_do(conn, REDIRECT_REQUEST) : 0;
}

/* Step 24: the request-header rules. */
static void request_header_rules(CONNECTION_T *conn)
{
    if (header_section)
        header_section->filter(conn, HEADER_FILTER_CLIENT);
}

/* Serves a request for the web interface. Returns false when the request
 * is not for it. */
static bool request_interface(CONNECTION_T *conn)
{
    if (!interface_request(conn))
        return false;
    conn->limit_served = true;   /* answered, not refused */
    putlog(LOG_REQUEST, "request for web interface from %s", request_ip(conn));
    /* The interface's forms come in the body. */
    if (request_body_now(conn) == REQ_GO_ON)
        interface_handle_request(conn);
    return true;
}

/* A host name of dots only, or with an empty label inside, names no host
 * and could only step around the rules: refused with 400. */
static void request_bad_host(CONNECTION_T *conn)
{
    putlog(LOG_SECURITY, "[IP:%s] request for a malformed host name refused", request_ip(conn));
    request_send(conn, "badrequest", 400, true);
}

/* The Host header of an origin-form request read into its host and port.
 * REQ_END after the refusal of a header that names no host. */
static int request_origin_parse(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    bool explicit_port = false;
    int port = h->port;
    int rc = header_hostport_parse(h->host_header, strlen(h->host_header), &h->host, &port, &explicit_port);
    if (rc == HEADER_BAD_HOST) {
        request_bad_host(conn);
        return REQ_END;
    }
    if (rc != HEADER_OK) {
        /* A port that is not 1-65535 in digits, or a host that is no host. */
        putlog(LOG_SECURITY, "[IP:%s] Breach: malformatted request header", request_ip(conn));
        request_send(conn, "nofile", 404, true);
        return REQ_END;
    }
    h->port = port;
    return REQ_GO_ON;
}

/* An origin-form request (a transparent one) whose access rule lets its
 * Host header name the server gets its host before the profiles, the
 * ratings, the limits and the redirects: every check that matches a host
 * sees it, as for a proxy request. *host_from_header tells request_kind to
 * complete the URL. */
static int request_origin_early(CONNECTION_T *conn, bool *host_from_header)
{
    HEADER *h = conn->header;
    const int wanted = ACCESS_TRANSPARENT | ACCESS_HOST;
    if (h->type != HEADER_ORIGIN || h->host || !h->host_header || (conn->permissions & wanted) != wanted)
        return REQ_GO_ON;
    if (request_origin_parse(conn) != REQ_GO_ON)
        return REQ_END;
    *host_from_header = true;
    (void)tavrin_first(conn);
    return REQ_GO_ON;
}

/* Step 26: an origin-form request takes its host from the Host header. */
static int request_origin_host(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if (!(conn->permissions & ACCESS_HOST) || !h->host_header) {
        putlog(LOG_SECURITY, "[IP:%s] Breach: malformatted request header", request_ip(conn));
        request_send(conn, "nofile", 404, true);
        return REQ_END;
    }
    if (request_origin_parse(conn) != REQ_GO_ON)
        return REQ_END;
    if (profile_section)
        profile_section->profiles_update(conn);
    if (request_redirect(conn))
        return REQ_END;
    return REQ_GO_ON;
}

/* Steps 25 to 27: the kind of request against the access rule's
 * permissions, with the host of an origin-form request completed
 * (host_from_header: read from the Host header already). */
static int request_kind(CONNECTION_T *conn, bool host_from_header)
{
    HEADER *h = conn->header;
    if (h->type == HEADER_CONNECT) {
        if (!(conn->permissions & ACCESS_CONNECT)) {
            putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted a CONNECT request",
                   request_ip(conn));
            request_refuse(conn, "noaccess", 404);
            return REQ_END;
        }
        if (general_section && !general_section->cportrange_check(conn, h->port)) {
            putlog(LOG_SECURITY, "[IP:%s] Breach: general section: denied: method: CONNECT:%d",
                   request_ip(conn), h->port);
            request_refuse(conn, "noaccess", 404);
            return REQ_END;
        }
        return REQ_GO_ON;
    }

    if (request_interface(conn))
        return REQ_END;
    if ((h->type == HEADER_ORIGIN && !(conn->permissions & ACCESS_TRANSPARENT)) ||
        (h->type == HEADER_ABSOLUTE && !(conn->permissions & ACCESS_PROXY))) {
        putlog(LOG_SECURITY, "Blocked Security Breach: %s attempted an unacceptable protocol",
               request_ip(conn));
        request_refuse(conn, "noaccess", 404);
        return REQ_END;
    }
    if (h->type == HEADER_ABSOLUTE) {
        /* A proxy request for the proxy itself would come back to it. */
        if (net_addresses_proxy(conn, h->host, h->port)) {
            putlog(LOG_SECURITY, "[IP:%s] Breach: denied: request for the proxy itself:%d",
                   request_ip(conn), h->port);
            request_refuse(conn, "nofile", 404);
            return REQ_END;
        }
        return REQ_GO_ON;
    }
    if (h->host && !host_from_header)
        return REQ_GO_ON;
    if (!h->host && request_origin_host(conn) != REQ_GO_ON)
        return REQ_END;
    if (h->port == conn->port || net_addresses_proxy(conn, h->host, h->port)) {
        putlog(LOG_SECURITY, "[IP:%s] Breach: denied: transparent:%d", request_ip(conn), h->port);
        request_refuse(conn, "nofile", 404);
        return REQ_END;
    }
    header_complete(h);
    h->type = HEADER_ABSOLUTE;
    return REQ_GO_ON;
}

/* Step 28: variables and log fields of the complete request. */
static void request_log_fields(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    request_http_variables(conn);
    conn->variables["URL"] = h->url ? h->url : "";
    conn->logentry.method = h->method ? h->method : "";
    conn->logentry.url = h->url ? h->url : "";
    if (h->user_agent)
        conn->logentry.useragent = h->user_agent;
    if (h->referer)
        conn->logentry.referer = h->referer;
    statincr_hosts(conn);
}

/* Step 29: the URL commands that answer or change the request. */
static int request_commands(CONNECTION_T *conn)
{
    int rc = request_command_pages(conn);
    if (rc == REQ_END)
        conn->limit_served = true;   /* answered, not refused */
    return rc;
}

/* The URL commands of step 29 that answer with a page of their own. */
static int request_command_pages(CONNECTION_T *conn)
{
    if (const url_command_t *c = url_command_find(conn->urlcommands, "template")) {
        request_send(conn, c->options && *c->options ? c->options : "unknown", 200, false);
        return REQ_END;
    }
    if (url_command_find(conn->urlcommands, "profiles")) {
        show_profiles(conn);
        return REQ_END;
    }
    if (url_command_find(conn->urlcommands, "cache")) {
        cache_show(conn);
        return REQ_END;
    }
    if (url_command_find(conn->urlcommands, "offline"))
        conn->flags |= CONN_OFFLINE;
    if (url_command_find(conn->urlcommands, "filter")) {
        filter_section->check_show(conn);
        return REQ_END;
    }
    return REQ_GO_ON;
}

/* Step 30: the request checks (URL filter, DNS and URL blacklists). */
static int request_checks(CONNECTION_T *conn)
{
    if (processors.Execute(PROCESSOR_REQCHECK, conn, nullptr) == 1) {
        conn->logentry.set_cachecode(CC_TCP_DENIED);
        conn->logentry.Write();
        conn->logentry.apache_Write();
        return REQ_END;
    }
    return REQ_GO_ON;
}

/* Looks the request's URL up in the cache. A held object is served from
 * the cache, or revalidated first when it asks for it. */
static int request_cache_lookup(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    int mode = (conn->flags & CONN_OFFLINE) ? CACHE_OFFLINE : 0;
    /* One locked step: the object, a reference and the view of what
     * serving it needs, the revalidation decision included. */
    conn->cache = cache_section->lookup(conn, h->url, mode);
    if (!conn->cache) {
        statincr_cachemiss(conn);
        return REQ_GO_ON;
    }
    int flags = conn->cache_view.flags;
    if (flags & CACHE_INVALID) {
        putlog(LOG_ADVICE, "Please re-check rules in the Caching Section");
        request_send(conn, "error", 404, false);
        return REQ_END;
    }
    if (flags & CACHE_BUFFERWAIT) {
        (void)cache_section->send_status(conn, conn->cache);
        return REQ_END;
    }
    if (!(conn->flags & CONN_OFFLINE) && (flags & CACHE_VALIDATE)) {
        putlog(LOG_CACHE, "hit: %s", conn->cache->key);
        conn->flags |= CONN_REVALIDATE;
        conditional_header(h, conn->cache_view.retrieved - gmtoffset);
    } else {
        /* Served without asking the server: the request line follows with
         * no wait between, and both leave in one write. */
        putlog_held(LOG_CACHE, "hit: %s", conn->cache->key);
    }
    conn->logentry.set_cachecode(CC_TCP_HIT);
    statincr_cachehit(conn);
    return REQ_GO_ON;
}

/* Steps 31 and 32: the cache. */
static int request_cache(CONNECTION_T *conn)
{
    conn->logentry.set_cachecode(CC_TCP_MISS);
    if (cache_section && !url_command_find(conn->urlcommands, "fresh") && conn->header->url &&
        cacheable(conn->header) && request_cache_lookup(conn) != REQ_GO_ON)
        return REQ_END;
    if ((conn->flags & CONN_OFFLINE) && !conn->cache) {
        request_send(conn, "nocache", 404, false);
        return REQ_END;
    }
    return REQ_GO_ON;
}

/* Step 33: the content coding asked of the server. */
static void request_coding(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if (general_section && general_section->compressin_get(conn) == 1) {
        if (!accepts_encoded_content(conn)) {
            conn->flags |= CONN_ASKED_ENCODING;
            header_field_set(&h->accept_encoding, "gzip, deflate");
            if (log_wanted(LOG_DEBUG))
                putlog(LOG_DEBUG, "request: asking server for encoded content");
        }
    } else {
        header_field_set(&h->accept_encoding, nullptr);
    }
}

/* A check of the whole response body (keywords, rewriting, ICAP RESPMOD,
 * virus scanners) would see one slice of a ranged reply, and a page cut in
 * slices would pass piece by piece: when such a check applies, Range and
 * If-Range are not sent, so the server answers with the whole entity. The
 * response's type is not known yet, so a rule on the type counts as
 * applying. */
static void request_whole_body(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    auto if_range = [](const HTTP_HEADER &line) { return strcasecmp(line.name.c_str(), "If-Range") == 0; };
    bool ranged = h->range || std::any_of(h->headers.begin(), h->headers.end(), if_range) ||
                  std::any_of(h->filtered_headers.begin(), h->filtered_headers.end(), if_range);
    if (!ranged || processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) != 1)
        return;
    header_field_set(&h->range, nullptr);
    h->headers.remove_if(if_range);
    h->filtered_headers.remove_if(if_range);
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: whole body asked for the checks of the body");
}

/* The forwarding decision: direct unless a forwarding rule chooses an
 * upstream. */
static void forward_choose(CONNECTION_T *conn)
{
    conn->forward_type = FORWARD_DIRECT;
    if (forward_section)
        (void)forward_section->forward_do(conn);
}

/* An ftp URL without a user logs in with the FTP section's anonymous
 * credentials. They are set before the server pool is searched, so that
 * the anonymous login of an earlier request is found and reused; through
 * an upstream HTTP proxy the URL goes on as it came. */
static void request_ftp_login(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if (h->user || !h->protocol || strcasecmp(h->protocol, "ftp") != 0 ||
        conn->forward_type == FORWARD_HTTP || !ftp_section)
        return;
    header_field_set(&h->user, ftp_section->anonymous_user_get().c_str());
    header_field_set(&h->password, ftp_section->anonymous_password_get().c_str());
}

/* Step 34: the server connection. */
static int request_connect(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    while (!conn->server) {
        if (conn->cache && !(conn->flags & CONN_REVALIDATE))
            break;   /* served from the cache without a server */
        conn->flags &= ~CONN_SERVER_REUSED;
        conn->forward_type = FORWARD_DIRECT;
        forward_choose(conn);
        request_ftp_login(conn);
        int rc = protocol_start(conn);
        if (rc >= 0)
            break;
        if (rc == NET_CONNECT_LOOP) {
            /* The server, an upstream or a SOCKS proxy is this proxy
             * itself: never connected, whatever the cache holds. */
            conn->flags &= ~CONN_REVALIDATE;
            request_loop_refuse(conn);
            return REQ_END;
        }
        if (conn->cache && cache_section && cache_section->no_stale(conn->cache)) {
            /* A revalidation of a copy that must never be served stale. */
            putlog(LOG_WARNING, "cache: revalidation failed, stale copy must not be served: %s",
                   conn->cache->key);
            conn->flags &= ~CONN_REVALIDATE;
            conn->logentry.set_cachecode(CC_NONE);   /* no server was reached */
            request_send(conn, error_to_template(rc), 504, false);
            return REQ_END;
        }
        if (conn->cache) {
            /* A revalidation: the copy held is served as it is. */
            conn->flags &= ~CONN_REVALIDATE;
            putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
            continue;
        }
        putlog(LOG_ERROR, "[IP:%s] network: connection failed host: %s", request_ip(conn),
               h->host ? h->host : "");
        conn->logentry.set_cachecode(CC_NONE);   /* no server was reached */
        request_send(conn, error_to_template(rc), 503, false);
        return REQ_END;
    }
    return REQ_GO_ON;
}

/* The cached copy a request was to be served from died before any of it
 * reached the client (its writer failed or gave it up): the reference is
 * given back and the request goes to the server as a miss, without the
 * proxy's own If-Modified-Since. Returns REQ_GO_ON to dispatch again. */
static int request_fetch_instead(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    putlog(LOG_CACHE, "copy lost before it was sent, fetching: %s", h->url ? h->url : "");
    bool conditional = (conn->flags & (CONN_REVALIDATE | CONN_VALIDATED)) != 0;
    cache_section->request_done(conn);
    conn->flags &= ~(CONN_REVALIDATE | CONN_VALIDATED | CONN_BUFFERING);
    if (conditional)
        header_held_set(h, &HEADER::if_modified_since, nullptr);
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    connection_response_trim(conn, 0);
    if (conn->server && !conn->keepalive_server) {
        delete conn->server;
        conn->server = nullptr;
    }
    statdecr_cachehit(conn);
    statincr_cachemiss(conn);
    conn->logentry.set_cachecode(CC_TCP_MISS);
    return request_connect(conn);
}

/* Refuses a request that would come back to this proxy: 403, logged with
 * the client's address, and both access-log records. */
static void request_loop_refuse(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    if (h && conn->logentry.url.empty()) {
        conn->logentry.method = h->method ? h->method : "";
        conn->logentry.url = h->url ? h->url : "";
    }
    putlog(LOG_SECURITY, "[IP:%s] Forwarding loop detected: %s", request_ip(conn),
           log_text(h && h->url ? h->url : "", REQUEST_LOG_URL_MAX).c_str());
    request_send(conn, "noaccess", 403, true);
    conn->logentry.set_cachecode(CC_TCP_DENIED);
    conn->logentry.Write();
    conn->logentry.apache_Write();
}

/* Whether the request's Via names this proxy: an entry "address:port
 * (Quillmere ...)", as via_header_update writes it (with or without a
 * protocol in front), whose address and port one of our listeners takes.
 * Such a request left this proxy before and came back through some other
 * route. */
static bool request_via_loops(const CONNECTION_T *conn)
{
    const char *via = conn->header ? conn->header->via : nullptr;
    if (!via)
        return false;
    static const char product[] = " (Quillmere ";
    for (const char *entry = via; *entry;) {
        while (*entry == ' ' || *entry == '\t' || *entry == ',')
            entry++;
        const char *end = strchr(entry, ',');
        size_t length = end ? (size_t)(end - entry) : strlen(entry);
        std::string text(entry, length);
        size_t mark = text.find(product);
        size_t colon = text.rfind(':', mark);
        if (mark != std::string::npos && colon != std::string::npos && colon < mark) {
            size_t space = text.rfind(' ', colon);
            size_t start = space == std::string::npos ? 0 : space + 1;
            std::string address = text.substr(start, colon - start);
            std::string digits = text.substr(colon + 1, mark - colon - 1);
            struct in_addr in;
            bool numeric = !digits.empty() && digits.size() <= 5 &&
                           digits.find_first_not_of("0123456789") == std::string::npos;
            if (numeric && inet_pton(AF_INET, address.c_str(), &in) == 1 &&
                net_listening_on(in, atoi(digits.c_str())))
                return true;
        }
        entry += length;
    }
    return false;
}

/* Step 35: the protocol handler. */
static void request_dispatch(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    /* The server (or the cache) has it: the request stays booked. */
    conn->limit_served = true;
    if (h->type == HEADER_CONNECT) {
        (void)protocol_connect(conn);
        return;
    }
    if (url_command_find(conn->urlcommands, "proxytest")) {
        show_proxytest(conn);
        return;
    }
    conn->flags |= CONN_PROCESSING;
    const char *scheme = h->protocol ? h->protocol : "";
    /* A plain hit is served by the HTTP exchange whatever its scheme. */
    if (conn->forward_type == FORWARD_HTTP ||
        (conn->cache && !(conn->flags & CONN_REVALIDATE))) {
        if (protocol_http(conn) == PROTOCOL_HTTP_FETCH && request_fetch_instead(conn) == REQ_GO_ON)
            request_dispatch(conn);   /* no copy is held now: once */
        return;
    }
    if (protocols.Execute(scheme, conn) != -1)
        return;
    if (strcasecmp(scheme, "http") == 0) {
        if (protocol_http(conn) == PROTOCOL_HTTP_FETCH && request_fetch_instead(conn) == REQ_GO_ON)
            request_dispatch(conn);
        return;
    }
    if (strcasecmp(scheme, "ftp") == 0) {
        (void)protocol_ftp(conn);
        return;
    }
    putlog(LOG_SECURITY, "[IP:%s] Breach: protocol: %s", request_ip(conn), scheme);
    request_send(conn, "badprotocol", 200, true);
}

/* The steps of one request, in order. */
static void request_serve(CONNECTION_T *conn)
{
    bool first = conn->requests == 0;
    request_slot_start(conn);
    if (first)
        putlog(LOG_NETWORK, "fd: %d allowed connect from %s on port %d ",
               conn->client ? conn->client->fd : -1, request_ip(conn), conn->port);
    request_variables_start(conn);
    /* Every write to the client gives up after the general rule's
     * time-out without progress. */
    if (conn->client)
        conn->client->write_wait_ms = net_timeout(conn) * 1000;

    int timeout = 60;
    if (general_section)
        timeout = first ? general_section->timeout_get(conn) : general_section->keeptimeout_get(conn);
    int64_t header_deadline_ms = monotonic_ms() + (int64_t)timeout * 1000;
    int got = HEADER_NONE;
    char *text = header_get(conn, SIDE_CLIENT, timeout, &got);
    conn->logentry.Reset();
    if (!text) {
        if (got == HEADER_BAD || got == HEADER_TOO_LARGE) {
            /* A malformed head (a NUL byte, over the limits): header_get
             * has logged why; the client is told, and nothing after it on
             * the connection is read. */
            request_send(conn, "badrequest", 400, true);
            return;
        }
        if (first)
            putlog(LOG_WARNING, "request: timeout waiting for header from %s", request_ip(conn));
        conn->keepalive_client = 0;
        return;
    }
    request_answer(conn, text, header_deadline_ms);
    /* Every request answered or refused leaves its records, with what the
     * client got, whichever step answered it. */
    conn->logentry.WriteOnce();
}

/* Steps 6 on: the request in text (taken over) answered. */
static void request_answer(CONNECTION_T *conn, char *text, int64_t header_deadline_ms)
{
    bool first = conn->requests == 0;
    if (request_first_parse(conn, text) != REQ_GO_ON)
        return;
    http_header_free(conn->header);
    conn->header = nullptr;
    text = process_raw_header(conn, PROCESSOR_REQHEADER, text);   /* step 11 */
    if (!text) {
        if (first)
            putlog(LOG_WARNING, "[IP:%s] request: processors: headers: invalid results",
                   request_ip(conn));
        conn->keepalive_client = 0;   /* nothing was answered */
        return;
    }
    if (request_second_parse(conn, text) != REQ_GO_ON)
        return;

    HEADER *h = conn->header;
    if (strcasecmp(h->method, "HEAD") == 0)
        conn->flags |= CONN_HEAD;
    /* The record of a request refused before its URL is complete. */
    conn->logentry.method = h->method;
    conn->logentry.url = h->url ? h->url : "";
    /* A request that passed this proxy before is going round in a loop. */
    if (request_via_loops(conn)) {
        request_loop_refuse(conn);
        request_body_discard(conn, header_deadline_ms);
        return;
    }
    /* The access rules decide on the header: a refused client's body is
     * never buffered. */
    if (!process_access(conn)) {
        request_body_discard(conn, header_deadline_ms);
        return;
    }
    request_body_defer(conn);
    request_route(conn);
    /* Refused or answered before the body was needed: what arrives of it
     * is dropped, within the header's deadline, and the connection
     * closes. */
    if (conn->flags & CONN_BODY_PENDING) {
        conn->flags &= ~CONN_BODY_PENDING;
        request_body_discard(conn, header_deadline_ms);
    }
}

/* The steps after the access rules, in order. The body is read where a
 * step first needs it (request_body_now). */
static void request_route(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    /* A request modifier that needs the body sees it, as read before the
     * checks below. */
    if ((conn->flags & CONN_BODY_PENDING) && processors.Execute(PROCESSOR_REQBUFFCHECK, conn, nullptr) == 1 &&
        request_body_now(conn) != REQ_GO_ON)
        return;
    request_http_variables(conn);
    /* Without the body the modifiers get an empty buffer, which only a
     * processor's answer fills. */
    if (!conn->body)
        conn->body = new Filebuf();
    if (!process_request(conn, conn->body))
        return;
    bool host_from_header = false;
    if (request_origin_early(conn, &host_from_header) != REQ_GO_ON)
        return;
    if (profile_section)
        profile_section->profiles_update(conn);
    if (request_limits(conn))
        return;
    bypass_check(conn);
    if (!(conn->permissions & ACCESS_COMMANDS)) {
        url_command_free(conn->urlcommands);
        conn->urlcommands = nullptr;
    }
    if (url_command_find(conn->urlcommands, "limits")) {
        conn->limit_served = true;   /* answered, not refused */
        limits_show(conn);
        return;
    }
    if (request_redirect(conn))
        return;
    /* A tunnel carries the client's own encryption, never ours. */
    if (h->type != HEADER_CONNECT && url_command_find(conn->urlcommands, "https")) {
        if (h->flags & HEADER_DEFAULT_PORT)
            h->port = 443;
        conn->flags |= CONN_HTTPS | CONN_SSL;
        if (h->type == HEADER_ABSOLUTE)
            header_complete(h);
    }
    request_slot_request(conn);
    request_header_rules(conn);

    if (request_kind(conn, host_from_header) != REQ_GO_ON)
        return;
    request_log_fields(conn);
    if (request_commands(conn) != REQ_GO_ON || request_checks(conn) != REQ_GO_ON ||
        request_cache(conn) != REQ_GO_ON)
        return;
    request_coding(conn);
    request_whole_body(conn);
    /* Every refusal the header decides has passed: the body is read. */
    if (request_body_now(conn) != REQ_GO_ON)
        return;
    if (request_connect(conn) != REQ_GO_ON)
        return;
    request_dispatch(conn);
}
