/*
 * CONNECT tunnels. A client's CONNECT is served over a server socket that
 * the pipeline connected: directly, through a SOCKS proxy, through a tunnel
 * already opened at an upstream proxy, or through an upstream HTTP proxy
 * that is asked with the client's own CONNECT. Any other request whose
 * route is a tunnel gets one here too: a CONNECT of our own stands in for
 * the request while the upstream is asked, and the request then travels
 * through the tunnel as to an origin server.
 *
 * An upstream is not trusted to answer sensibly. Its answer is read within
 * the general time-out and within the header block limit; an answer that
 * is no HTTP response (garbage reads as a headless HTTP/0.9 "200") opens
 * nothing; a 407 is answered once with the forwarding rule's credentials,
 * and a second one, or one that cannot be answered, is a refusal, so the
 * client never hears of a tunnel that was not granted and never sees the
 * upstream's challenge. Bytes the upstream sent right behind its 200 stay
 * in the server Socket and are the first bytes of the tunnel. The relay
 * ends when both sides are done or the tunnel stays idle past its limit;
 * a tunnel socket is never pooled and the client connection ends with it.
 */
#include "proto_connect.h"

#include <cstring>
#include <memory>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "protocol.h"
#include "proxyauth.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"

/* What reading the upstream's answer to a CONNECT gave. */
enum connect_answer {
    CONNECT_GRANTED = 0,   /* 200: the tunnel is open */
    CONNECT_AGAIN,         /* a 407 was answered with credentials: read again */
    CONNECT_REFUSED,       /* any other status, or a 407 we cannot answer */
    CONNECT_SILENT,        /* no answer in time, or none that parses */
    CONNECT_ANSWERED,      /* the client was answered (or lost) meanwhile */
};

static const char connect_established[] = "HTTP/1.1 200 Connection Established\r\n\r\n";

static HEADER *connect_header_new(const HEADER *request);
static HEADER *connect_answer_get(CONNECTION_T *conn);
static int connect_answer_judge(CONNECTION_T *conn, const char *auth_log);
static void connect_noconnect(CONNECTION_T *conn);
static int connect_confirm(CONNECTION_T *conn);

/* The connection whose proxy_connect runs on this thread, if any. */
static thread_local CONNECTION_T *connect_busy = nullptr;

/* Lets a CONNECT of our own stand in for conn's request while a tunnel is
 * set up, and puts the request and its response back on every path. */
class ConnectStandIn {
public:
    ConnectStandIn(CONNECTION_T *c, HEADER *connect)
        : conn(c), request(c->header), response(c->rheader), stand_in(connect)
    {
        conn->header = stand_in;
        conn->rheader = nullptr;
        connect_busy = conn;
    }
    ~ConnectStandIn()
    {
        http_header_free(conn->rheader);   /* the upstream's answer, ours */
        conn->rheader = response;
        conn->header = request;
        http_header_free(stand_in);
        connect_busy = nullptr;
    }
    ConnectStandIn(const ConnectStandIn &) = delete;
    ConnectStandIn &operator=(const ConnectStandIn &) = delete;

private:
    CONNECTION_T *conn;
    HEADER *request;
    HEADER *response;
    HEADER *stand_in;
};

/* A new CONNECT request (freed with http_header_free) for the host and
 * port of request; NULL when the request has no host. */
static HEADER *connect_header_new(const HEADER *request)
{
    if (!request || !request->host || request->port <= 0)
        return nullptr;
    HEADER *h = header_new();
    h->type = HEADER_CONNECT;
    h->version = 2;
    h->port = request->port;
    header_field_set(&h->method, "CONNECT");
    header_field_set(&h->protocol, "connect");
    header_field_set(&h->host, request->host);
    header_field_set(&h->path, "/");
    header_field_set(&h->user_agent, request->user_agent);
    header_complete(h);
    return h;
}

/* Reads and parses the upstream's answer to a CONNECT within the general
 * time-out; the block is bounded by header_get's limits, and what follows
 * it stays in the server Socket. Returns the answer (the caller frees it)
 * or NULL for none, one that does not parse, or one that is no HTTP
 * response at all. */
static HEADER *connect_answer_get(CONNECTION_T *conn)
{
    char *text = header_get(conn, SIDE_SERVER, net_timeout(conn));
    if (!text)
        return nullptr;
    HEADER *answer = http_header_parse_response(text);
    free(text);
    if (answer && answer->version == 0) {
        /* Bytes without a status line: never a grant. */
        http_header_free(answer);
        return nullptr;
    }
    return answer;
}

/* Reads the upstream's next answer to the CONNECT in conn->header into
 * conn->rheader and judges it. A 407 is answered with credentials
 * (proxy_authenticate) once per request, logging auth_log at LOG_DEBUG with
 * host and port when it was. Returns a connect_answer. */
static int connect_answer_judge(CONNECTION_T *conn, const char *auth_log)
{
    http_header_free(conn->rheader);
    conn->rheader = connect_answer_get(conn);
    const HEADER *answer = conn->rheader;
    if (!answer)
        return CONNECT_SILENT;
    if (answer->status == 200)
        return CONNECT_GRANTED;
    if (answer->status != 407 || (conn->flags & CONN_PROXY_AUTH))
        return CONNECT_REFUSED;

    int rc = proxy_authenticate(conn);
    if (rc < 0)
        return CONNECT_ANSWERED;
    if (rc == 0) {
        /* The challenge stays with us: the client never sees it. */
        header_field_set(&conn->rheader->proxy_authenticate, nullptr);
        return CONNECT_REFUSED;
    }
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, auth_log, conn->header->host, conn->header->port);
    conn->flags |= CONN_PROXY_AUTH;
    return CONNECT_AGAIN;
}

/* The client's tunnel could not be opened. */
static void connect_noconnect(CONNECTION_T *conn)
{
    conn->keepalive_client = 0;
    if (template_section)
        (void)template_section->send_or_close("noconnect", conn, 503);
}

/* Tells the client its tunnel is open. Returns 0, or -1 when it could not
 * be told. */
static int connect_confirm(CONNECTION_T *conn)
{
    Filebuf line;
    if (line.Add(connect_established, (int64_t)sizeof connect_established - 1) != FILEBUF_OK)
        return -1;
    return net_filebuf_send(&line, conn, SIDE_CLIENT) < 0 ? -1 : 0;
}

int proxy_connect(CONNECTION_T *conn)
{
    if (connect_busy == conn) {
        /* A reconnect while the tunnel is being set up (the upstream closed
         * during its authentication handshake): the new socket only needs
         * to reach the upstream, since our caller sends the CONNECT that
         * stands in for the request again and reads the answer itself. */
        return 1;
    }
    if (!conn->server)
        return -1;
    HEADER *connect = connect_header_new(conn->header);
    if (!connect)
        return -1;
    ConnectStandIn stand_in(conn, connect);   /* owns connect now */

    if (header_send(conn->header, conn, SIDE_SERVER, HEADER_SEND_PROXY) != 0)
        return -1;
    for (;;) {
        switch ((connect_answer)connect_answer_judge(
            conn, "request: authentication required by proxy server for CONNECT to %s:%d")) {
        case CONNECT_GRANTED:
            return 1;   /* the stand-in and the answer go with stand_in */
        case CONNECT_AGAIN:
            continue;
        case CONNECT_ANSWERED:
            /* The client has had its answer, or is gone: nothing more may
             * be written to it for this request. */
            conn->keepalive_client = 0;
            conn->flags |= CONN_NOCLIENT;
            return -1;
        case CONNECT_REFUSED:
        case CONNECT_SILENT:
            return -1;
        }
    }
}

int protocol_connect(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    ASSERT(h != nullptr);
    const char *host = h->host ? h->host : "";
    putlog(LOG_REQUEST, "CONNECT %s:%d", host, h->port);
    statincr_connectrequests(conn);
    conn->keepalive_client = 0;

    bool open = conn->server != nullptr;
    if (open && conn->forward_type == FORWARD_HTTP) {
        /* The upstream proxy is asked with the client's own CONNECT; its
         * answer line is not passed on. */
        int answer = CONNECT_SILENT;
        if (header_send(conn->header, conn, SIDE_SERVER, HEADER_SEND_PROXY) == 0) {
            do {
                answer = connect_answer_judge(
                    conn, "request: authentication required by server for CONNECT to %s:%d");
            } while (answer == CONNECT_AGAIN);
        }
        switch ((connect_answer)answer) {
        case CONNECT_GRANTED:
        case CONNECT_AGAIN:
            break;
        case CONNECT_SILENT:
            putlog(LOG_REQUEST, "error: failed CONNECT to %s:%d", host, h->port);
            connect_noconnect(conn);
            open = false;
            break;
        case CONNECT_REFUSED:
            connect_noconnect(conn);
            putlog(LOG_ERROR, "request: failed CONNECT to %s:%d", host, h->port);
            open = false;
            break;
        case CONNECT_ANSWERED:
            open = false;
            break;
        }
    } else if (!open) {
        putlog(LOG_REQUEST, "error: failed CONNECT to %s:%d", host, h->port);
        connect_noconnect(conn);
    }

    if (open && connect_confirm(conn) == 0) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: established CONNECT to %s:%d", host, h->port);
        conn->logentry.status = 200;
        conn->logentry.size = net_proxy(conn, -1);
    }

    /* Neither end of a tunnel can carry another request. */
    conn->keepalive_client = 0;
    conn->keepalive_server = 0;
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    conn->logentry.Write();
    conn->logentry.apache_Write();
    return 0;
}
