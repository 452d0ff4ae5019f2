#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Filebuf;
struct CONNECTION_T;
struct HEADER;

/* The most bytes of a message body the proxy holds in memory when the
 * general rule sets no download or upload buffer (0). */
#define PROTOCOL_BUFFER_DEFAULT ((int64_t)8 << 20)
/* The most bytes of a body the proxy ever holds in memory for one request,
 * whatever the general rule or the URL command "process" ask for. Past it a
 * body is streamed or the request fails. */
#define PROTOCOL_BUFFER_HARD_MAX ((int64_t)64 << 20)

/* One protocol handler of the registry: a scheme and its handler. */
struct Protocol {
    std::string scheme;                 /* compared byte for byte */
    int (*handler)(CONNECTION_T *conn);
};

/* The protocol-handler registry. Nothing in this system registers a
 * handler, so a lookup always answers -1; the registry stays for a handler
 * added later. Filled at start-up only, then read. */
class Protocols {
public:
    /* Appends a handler; a later entry of the same scheme is never reached. */
    void Add(const std::string &scheme, int (*handler)(CONNECTION_T *conn));

    /* The result of the handler of the first entry whose scheme equals
     * scheme exactly (case matters), or -1 when there is none. */
    int Execute(const std::string &scheme, CONNECTION_T *conn) const;

    std::vector<Protocol> list;
};

/* The process-wide registry. */
extern Protocols protocols;

/* Server side. */

/*
 * Connects conn->server for the request: a pooled connection of the same
 * key when the request has no body and is not CONNECT, else a new one by
 * conn->forward_type (direct, upstream HTTP proxy, SOCKS 4 or 5, or a
 * tunnel through the upstream), wrapped in SSL with CONN_SSL. Sets
 * keepalive_server (1 only for a pooled socket) and the log entry's peer.
 * Returns the socket's descriptor (0 or more), or a negative code: -1 for a
 * failed proxy negotiation or SSL start, else net_connect's result, which
 * error_to_template turns into a template name. On failure conn->server is
 * NULL.
 */
[[nodiscard]] int protocol_start(CONNECTION_T *conn, bool fresh = false);

/* Deletes the server socket, flushes what is queued for the client and
 * connects again (protocol_start; with fresh, never from the pool).
 * Returns protocol_start's result. */
[[nodiscard]] int protocol_reconnect(CONNECTION_T *conn, bool fresh = false);

/* Connects to host:port from the outgoing address the network section
 * chooses for conn, within the connect time-out, and makes conn->server.
 * Returns the descriptor or net_connect's negative result. */
int protocol_connect_to(CONNECTION_T *conn, const char *host, int port);

/*
 * Reads the response header from the server within timeout seconds. When
 * none comes on a pooled (or upstream-authenticated) connection, connects
 * afresh once and sends the request (and its buffered body) again; a
 * request that is not idempotent is not sent twice after a pooled
 * connection failed. Returns
 * the header text (the caller frees it), or NULL after the client was
 * answered ("noconnect" or the connect error's page, 503) or, for a body
 * that was streamed and cannot be sent again, left without an answer and
 * keepalive_client 0.
 */
char *header_get_reconnect(CONNECTION_T *conn, int timeout);

/* Keep-alive. */

/* Whether the client wants its connection kept after this request, read
 * from the request header: 0 for CONNECT or "close" in Connection or
 * Proxy-Connection, 1 for "keep-alive" in either, else 1 for HTTP/1.1.
 * 0 without a request header. */
int keepalive_wanted(const HEADER *request);

/* Sets keepalive_client from the request (keepalive_wanted). */
void keepalive_check_client(CONNECTION_T *conn);

/* Sets keepalive_server from the response: a response with a body but
 * neither Content-Length nor chunked framing ends when the server closes,
 * so both keep-alives become 0; otherwise 1 for "keep-alive", or for
 * HTTP/1.1 without "close". A response without a body (HEAD, 1xx, 204,
 * 304) never clears the client's keep-alive. */
void keepalive_check_server(CONNECTION_T *conn);

/* 1 when the response to conn's request carries no body whatever its
 * framing lines say: a HEAD request, or status 1xx, 204 or 304. */
int response_bodiless(const CONNECTION_T *conn);

/* Buffering. */

/* 1 when the response body must be read whole before it is sent (it must
 * be decoded, re-framed for an HTTP/1.0 client, processed, shown by a
 * diagnostic command or compressed for the client), else 0. Clears
 * CONN_PROCESSING when no processor asked for the body. */
int buffer_check(CONNECTION_T *conn);

/* Takes bytes more of the response-body budget for conn (a second body
 * held beside its own, such as an ICAP server's reply), waiting for room
 * up to the general time-out. False when there is none. */
bool buffer_budget_take(CONNECTION_T *conn, int64_t bytes);

/* The most bytes of a response body conn may hold in memory: the general
 * rule's download buffer (PROTOCOL_BUFFER_DEFAULT when it is 0), raised to
 * the announced length for the URL command "process", never above
 * PROTOCOL_BUFFER_HARD_MAX. */
int64_t buffer_limit(CONNECTION_T *conn);

/* Arms the buffer time-out of conn from the general rule (0: none). */
void buffertimeout_set(CONNECTION_T *conn);

/* Run for every block read while a body is buffered into a cache object:
 * once the buffer time-out has passed, the client gets the progress page
 * and is released while the download goes on into the cache. */
void buffertimeout_check(CONNECTION_T *conn);

/* Processors. */

/*
 * Runs the raw-header processors of kind (PROCESSOR_REQHEADER for a
 * request, PROCESSOR_RESPHEADER for a response) on the header block text,
 * which is taken over. Returns the block they leave as a new text (the
 * caller frees it), or NULL when none is left.
 */
char *process_raw_header(CONNECTION_T *conn, int kind, char *text);

/*
 * Runs the access rules and authentication on the request header, before
 * any of the request body is read. Returns 1 to go on (conn->body NULL);
 * 0 when the request was refused or challenged: the answer (conn->rheader,
 * its page in conn->body) is sent and freed, and a request with a body
 * closes the connection.
 */
[[nodiscard]] int process_access(CONNECTION_T *conn);

/*
 * Runs the request-modification processors on the request and its body.
 * Returns 1 to go on with the request; 0 when a processor answered it
 * (conn->rheader with its body in body): the answer is sent, framed by the
 * body's size, and freed. An answer to a request whose body is still
 * unread closes the connection.
 */
[[nodiscard]] int process_request(CONNECTION_T *conn, Filebuf *body);
/* The request's framing after its body was read into body: a body read
 * whole goes on with its length. process_request does this itself unless
 * the body is still unread (CONN_BODY_PENDING); the pipeline calls it once
 * it has read such a body. */
void process_body_framing(CONNECTION_T *conn, const Filebuf *body);

/* Runs the response checks and modifiers on a buffered body. Returns 1
 * when the response may be sent, 0 when a check blocked it (it sent its
 * own page; the log entry says TCP_DENIED). The cache object is marked
 * CACHE_CLEAN only when a virus scanner passed the body, none that applied
 * failed, and the connection does not bypass the scanners. */
[[nodiscard]] int process_response(CONNECTION_T *conn, Filebuf *body);

/* 1 when the response may be transferred within the download allowance;
 * 0 after the "downloadlimit" page was sent. */
[[nodiscard]] int transfer_limit_check(CONNECTION_T *conn);

/* 1 when the client takes gzip or deflate bodies (its own Accept-Encoding
 * names one, and the proxy did not replace it), else 0. */
int accepts_encoded_content(CONNECTION_T *conn);
