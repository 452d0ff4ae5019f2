/*
 * The proxy's own HTTP client and the route test. A fetch runs one GET on a
 * connection record of its own, with no client behind it, through the same
 * connect, header and body code as a proxied request, so a pooled
 * connection to the server is reused and a good one goes back to the pool.
 * Its answer is trusted with nothing: the body has a size limit, a body cut
 * short or with broken chunking fails the fetch instead of passing for a
 * shorter document, and only plain "http" URLs are fetched, so credentials
 * never go in clear to a port that expects TLS.
 *
 * The route test makes the route of a request (an upstream proxy, say)
 * connect back to a listener of ours and captures the request as it
 * arrives, which shows what the chain adds or changes.
 */
#include "fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "base64.h"
#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "protocol.h"
#include "proto_http.h"
#include "serverpool.h"
#include "socket.h"

static HEADER *fetch_request(const URL *url, std::list<HTTP_HEADER> *headers);
static int fetch_general_timeout(CONNECTION_T *conn);
static std::string fetch_basic(const HEADER *h);

void fetch_conn_free(CONNECTION_T *conn)
{
    delete conn->server;
    conn->server = nullptr;
    http_header_free(conn->header);
    conn->header = nullptr;
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    connection_free(conn);
}

/* The GET request for url with the caller's header lines, or the
 * User-Agent alone. */
static HEADER *fetch_request(const URL *url, std::list<HTTP_HEADER> *headers)
{
    HEADER *h = header_new();
    h->type = HEADER_ABSOLUTE;
    h->version = 2;
    header_field_set(&h->method, "GET");
    header_field_set(&h->protocol, url->protocol);
    header_field_set(&h->host, url->host);
    h->port = url->port;
    header_field_set(&h->path, url->path && url->path[0] ? url->path : "/");
    header_field_set(&h->user, url->user);
    header_field_set(&h->password, url->password);
    header_complete(h);
    if (headers) {
        for (HTTP_HEADER line : *headers) {
            line.pass_through = 1;
            h->headers.push_back(line);
        }
    } else {
        header_field_set(&h->user_agent, FETCH_USER_AGENT);
    }
    return h;
}

/* "Basic " and the Base64 of "user:password" of the request. */
static std::string fetch_basic(const HEADER *h)
{
    std::string pair = std::string(h->user ? h->user : "") + ":" + (h->password ? h->password : "");
    int64_t size = base64_encoded_size((int64_t)pair.size());
    std::unique_ptr<char, void (*)(void *)> encoded((char *)xmalloc((size_t)size + 1), free);
    to64frombits(encoded.get(), (const unsigned char *)pair.data(), (int64_t)pair.size());
    return "Basic " + std::string(encoded.get());
}

int authenicate_basic_response(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    header_field_set(&h->authorization, fetch_basic(h).c_str());
    int rc = header_send(h, conn, SIDE_SERVER, HEADER_SEND_ORIGIN);
    header_field_set(&h->authorization, nullptr);
    return rc == 0 ? 1 : 0;
}

HTTPRESPONSE *http_fetch(URL *url, std::list<HTTP_HEADER> *headers, int timeout_s)
{
    if (!url || !url->protocol || strcmp(url->protocol, "http") != 0 || !url->host ||
        url->port <= 0)
        return nullptr;

    std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(),
                                                                 fetch_conn_free);
    conn->flags |= CONN_NOCLIENT | CONN_NOCALLBACK;
    conn->ip = xstrdup("127.0.0.1");
    conn->interface = xstrdup("127.0.0.1");
    conn->forward_type = FORWARD_DIRECT;
    conn->header = fetch_request(url, headers);
    bool credentials = url->user || url->password;

    if (protocol_start(conn.get()) < 0)
        return nullptr;
    int sent = credentials ? authenicate_basic_response(conn.get())
                           : header_send(conn->header, conn.get(), SIDE_SERVER,
                                         HEADER_SEND_ORIGIN) == 0;
    if (!sent && !conn->keepalive_server)
        return nullptr;
    /* A pooled connection the server closed meanwhile is retried on a new
     * one, where the request goes out again without the credentials that
     * only the first send carried: keep them on the header until then. */
    if (credentials && conn->keepalive_server)
        header_field_set(&conn->header->authorization, fetch_basic(conn->header).c_str());
    std::unique_ptr<char, void (*)(void *)> text(
        header_get_reconnect(conn.get(), timeout_s > 0 ? timeout_s : 1), free);
    header_field_set(&conn->header->authorization, nullptr);
    if (!text)
        return nullptr;
    conn->rheader = http_header_parse_response(text.get());
    if (!conn->rheader)
        return nullptr;

    int result = HTTP_BODY_BAD;
    std::unique_ptr<Filebuf> body(
        http_transfer_filebuf(conn.get(), SIDE_SERVER, FETCH_BODY_MAX, &result));
    if (result != HTTP_BODY_OK) {
        conn->keepalive_server = 0;
        return nullptr;
    }
    keepalive_check_server(conn.get());
    serverpool_release(conn.get());   /* pooled when it may be kept, else closed */

    HTTPRESPONSE *response = (HTTPRESPONSE *)xmalloc(sizeof *response);
    response->header = conn->rheader;
    conn->rheader = nullptr;   /* the response owns it now */
    response->body = body.release();
    return response;
}

void httpresponse_free(HTTPRESPONSE *response)
{
    if (!response)
        return;
    http_header_free(response->header);
    delete response->body;
    free(response);
}

/* The general rule's time-out for conn in seconds, at least 1. */
static int fetch_general_timeout(CONNECTION_T *conn)
{
    int seconds = general_section ? general_section->timeout_get(conn) : 60;
    return seconds > 0 ? seconds : 60;
}

void proxy_test(CONNECTION_T *conn)
{
    if (!conn->server || conn->server->fd < 0 || !conn->header)
        return;
    sockaddr_in local;
    socklen_t length = sizeof local;
    if (getsockname(conn->server->fd, (sockaddr *)&local, &length) != 0 ||
        local.sin_family != AF_INET)
        return;
    local.sin_port = 0;

    int listener = s_socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return;
    length = sizeof local;
    if (bind(listener, (sockaddr *)&local, sizeof local) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (sockaddr *)&local, &length) != 0) {
        close(listener);
        return;
    }

    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &local.sin_addr, address, sizeof address);
    HEADER *h = conn->header;
    header_field_set(&h->host, address);
    header_field_set(&h->path, "/");
    h->port = ntohs(local.sin_port);
    header_complete(h);
    int timeout = fetch_general_timeout(conn);
    if (header_send(h, conn, SIDE_SERVER, HEADER_SEND_PROXY) != 0) {
        close(listener);
        return;
    }

    pollfd waiting = { listener, POLLIN, 0 };
    int ready = poll(&waiting, 1, timeout * 1000);
    int accepted = ready > 0 ? s_accept(listener, nullptr, nullptr) : -1;
    close(listener);
    if (accepted < 0)
        return;

    /* The accepted connection stands in for the server socket while one
     * header is read from it. */
    Socket *route = conn->server;
    conn->server = new Socket(accepted);
    std::unique_ptr<char, void (*)(void *)> text(header_get(conn, SIDE_SERVER, timeout), free);
    delete conn->server;
    conn->server = route;
    conn->keepalive_server = 0;
    if (!text)
        return;
    HEADER *captured = http_header_parse_request(text.get());
    if (captured) {
        http_header_free(conn->rheader);
        conn->rheader = captured;
    }
}
