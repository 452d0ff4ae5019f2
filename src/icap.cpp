/*
 * The ICAP client. A request (REQMOD) or a buffered response (RESPMOD) is
 * handed to the first ICAP service that applies to the connection, in the
 * fixed subset of the protocol this client speaks: no OPTIONS, no preview,
 * no "Allow: 204", one exchange per request and mode. The server may
 * change the request, answer it with a response of its own, or change the
 * response; idle ICAP connections wait in the server pool under "icap".
 *
 * The client fails open: whatever goes wrong with the ICAP server (no
 * connection, silence, a malformed or oversized reply, a broken chunk)
 * leaves the message as it was, closes only the ICAP connection and
 * touches nothing of the client's connection: not its keep-alive, not its
 * transfer state, byte counts or cache object. During the exchange the
 * ICAP socket stands in the place of the connection's server socket, so
 * the ordinary header and body readers serve it; everything they may
 * change is put back afterwards.
 *
 * What reaches the ICAP server is the request as an upstream proxy would
 * get it, without the client's proxy credentials or credentials in the
 * URL; the user is named by X-Authenticated-User. Requests for the web
 * interface never go to it.
 */
#include "icap.h"

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "header_io.h"
#include "hooks.h"
#include "interface.h"
#include "log.h"
#include "options.h"
#include "network.h"
#include "profiles.h"
#include "protocol.h"
#include "proto_http.h"
#include "serverpool.h"
#include "socket.h"

/* The options, by position. */
static const FieldDecl icap_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list service, by position. */
static const FieldDecl icap_service_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "host",     FIELD_STRING },
    {  4, "path",     FIELD_STRING },
    {  5, "port",     FIELD_INT },
    {  6, "modes",    FIELD_STRING_SELECT_MANY },
};

/* The longest "Local://user" text named in X-Authenticated-User. */
static const size_t ICAP_USER_MAX = 255;

ICAPSection *icap_section = nullptr;

using HeaderPtr = std::unique_ptr<HEADER, void (*)(HEADER *)>;

/* ---- ICAP ---- */

ICAP::ICAP(const Item &entry)
{
    const FieldVector &f = entry.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    host = f[3].text;
    path = f[4].text;
    port = f[5].value;
    modes = f[6].value;
}

/* ---- ICAPSection ---- */

ICAPSection::ICAPSection() : Section("icap", SECTION_RWLOCK)
{
    fields_require(icap_global_fields);
    list_require(0, "service", icap_service_fields, std::size(icap_service_fields));
}

void icap_register()
{
    processors.Add(icap_reqmod, PROCESSOR_REQMOD);
    processors.Add(icap_respmod, PROCESSOR_RESPMOD);
    processors.Add(icap_buffcheck, PROCESSOR_BUFFCHECK);
    processors.Add(icap_reqbuffcheck, PROCESSOR_REQBUFFCHECK);
}

void ICAPSection::update()
{
    services.clear();
    for (const Item &item : subsections[0].items)
        services.emplace_back(item);
}

const ICAP *ICAPSection::find(const CONNECTION_T *conn, int mode) const
{
    if (!fields[0].value || (conn->bypass & BYPASS_ICAP))
        return nullptr;
    for (const ICAP &service : services) {
        if (service.enabled && (service.modes & mode) && !service.host.empty() &&
            !service.path.empty() && profile_find(conn->profiles, service.profiles) == 1)
            return &service;
    }
    return nullptr;
}

int ICAPSection::check_match(CONNECTION_T *conn, int mode)
{
    SectionReadGuard guard(*this);
    return find(conn, mode) ? 1 : 0;
}

int ICAPSection::process(CONNECTION_T *conn, Filebuf *body, int mode)
{
    std::string host, path;
    int port;
    {
        SectionReadGuard guard(*this);
        const ICAP *service = find(conn, mode);
        if (!service)
            return 0;
        host = service->host;
        path = service->path;
        port = service->port;
    }
    return protocol_icap(conn, body, mode, host, path, port);
}

ICAP_ENCAPSULATION ICAPSection::encapsulation_parse(const char *value)
{
    static const struct {
        const char *prefix;
        int64_t ICAP_ENCAPSULATION::*offset;
    } parts[] = {
        { "req-hdr=", &ICAP_ENCAPSULATION::req_hdr },
        { "res-hdr=", &ICAP_ENCAPSULATION::res_hdr },
        { "req-body=", &ICAP_ENCAPSULATION::req_body },
        { "res-body=", &ICAP_ENCAPSULATION::res_body },
        { "null-body=", &ICAP_ENCAPSULATION::null_body },
    };
    ICAP_ENCAPSULATION e;
    const char *p = value ? value : "";
    while (*p) {
        while (*p == ',')
            p++;
        while (*p == ' ' || *p == '\t')
            p++;
        const char *end = strchr(p, ',');
        if (!end)
            end = p + strlen(p);
        for (const auto &part : parts) {
            size_t n = strlen(part.prefix);
            if ((size_t)(end - p) > n && strncasecmp(p, part.prefix, n) == 0) {
                /* Digits only, within 63 bits; anything else leaves the
                 * offset absent. */
                int64_t v = 0;
                const char *d = p + n;
                bool ok = d < end && *d >= '0' && *d <= '9';
                for (; ok && d < end && *d >= '0' && *d <= '9'; d++) {
                    if (v > (INT64_MAX - 9) / 10) {
                        ok = false;
                        break;
                    }
                    v = v * 10 + (*d - '0');
                }
                while (ok && d < end && (*d == ' ' || *d == '\t'))
                    d++;
                if (ok && d == end)
                    e.*part.offset = v;
                break;
            }
        }
        p = end;
    }
    return e;
}

/* ---- The exchange ---- */

std::string icap_strip_proxy_authorization(const std::string &text)
{
    static const char name[] = "proxy-authorization:";
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        size_t next = eol == std::string::npos ? text.size() : eol + 1;
        if (!(next - pos >= sizeof name - 1 &&
              strncasecmp(text.c_str() + pos, name, sizeof name - 1) == 0))
            out.append(text, pos, next - pos);
        pos = next;
    }
    return out;
}

/* The request header as it is encapsulated: absolute form, as an upstream
 * proxy would get it, with no credentials of the client's for the proxy
 * (no Proxy-Authorization, no user or password in the URL). An origin-form
 * request whose host is not known yet names the host of its Host header.
 * body_length: the Content-Length it announces, -1 to keep the request's. */
static bool icap_request_text(CONNECTION_T *conn, int64_t body_length, std::string *out)
{
    HeaderPtr copy(http_header_dup(conn->header), http_header_free);
    if (!copy)
        return false;
    header_field_set(&copy->user, nullptr);
    header_field_set(&copy->password, nullptr);
    header_field_set(&copy->proxy_authorization, nullptr);
    if (!copy->host && copy->host_header) {
        bool explicit_port = false;
        int port = copy->port;
        if (header_hostport_parse(copy->host_header, strlen(copy->host_header), &copy->host, &port,
                                  &explicit_port) != HEADER_OK)
            return false;
        copy->port = port;
    }
    if (!copy->host || !copy->protocol || !copy->path)
        return false;
    header_complete(copy.get());
    if (body_length >= 0) {
        copy->chunked = 0;
        copy->content_length = body_length;
        copy->flags |= HEADER_HAS_LENGTH;
    }
    Filebuf buffer;
    if (header_send_filebuf(&buffer, copy.get(), conn, HEADER_SEND_PROXY) != FILEBUF_OK)
        return false;
    *out = icap_strip_proxy_authorization(std::string(buffer.data, (size_t)buffer.size));
    return true;
}

/* The response header as it would go to the client. */
static bool icap_response_text(CONNECTION_T *conn, std::string *out)
{
    Filebuf buffer;
    if (header_send_filebuf(&buffer, conn->rheader, conn, HEADER_SEND_RESPONSE) != FILEBUF_OK)
        return false;
    out->assign(buffer.data, (size_t)buffer.size);
    return true;
}

/* The ICAP request header for the exchange. */
static HEADER *icap_request_header(CONNECTION_T *conn, int mode, const std::string &host,
                                   const std::string &path, int port, const std::string &encap)
{
    HEADER *h = header_new();
    h->type = HEADER_ICAP_REQUEST;
    h->version = 1;
    h->port = port;
    header_field_set(&h->method, (mode & ICAP_RESPMOD) ? "RESPMOD" : "REQMOD");
    header_field_set(&h->protocol, "icap");
    header_field_set(&h->host, host.c_str());
    /* A service path without its slash would run into the port. */
    std::string service = path[0] == '/' ? path : "/" + path;
    header_field_set(&h->path, service.c_str());
    header_complete(h);
    header_field_set(&h->encapsulated, encap.c_str());
    h->headers.push_back(HTTP_HEADER{ 1, "X-Client-IP", conn->ip ? conn->ip : "" });
    if (conn->user) {
        std::string user = std::string("Local://") + conn->user;
        if (user.size() > ICAP_USER_MAX)
            user.resize(ICAP_USER_MAX);
        std::string coded((size_t)base64_encoded_size((int64_t)user.size()) + 1, '\0');
        to64frombits(&coded[0], (const unsigned char *)user.data(), (int64_t)user.size());
        coded.resize(strlen(coded.c_str()));
        h->headers.push_back(HTTP_HEADER{ 1, "X-Authenticated-User", coded });
    }
    return h;
}

/* What the exchange changes of the connection while the ICAP socket
 * stands in for the server socket, put back on every path. */
struct IcapSaved {
    CONNECTION_T *conn;
    Socket *server;
    unsigned flags;
    int keepalive_client;
    int keepalive_server;
    int64_t download_bytes;

    explicit IcapSaved(CONNECTION_T *c)
        : conn(c), server(c->server), flags(c->flags), keepalive_client(c->keepalive_client),
          keepalive_server(c->keepalive_server), download_bytes(c->download_bytes)
    {
    }
    ~IcapSaved()
    {
        conn->server = server;
        const unsigned kept = CONN_TRANSFER_FAILED | CONN_NOCALLBACK | CONN_HEAD;
        conn->flags = (conn->flags & ~kept) | (flags & kept);
        conn->keepalive_client = keepalive_client;
        conn->keepalive_server = keepalive_server;
        conn->download_bytes = download_bytes;
    }
};

/* Reads a chunked body from the ICAP socket (conn->server) into a new
 * buffer of at most buffer_limit bytes with the HTTP body reader, within
 * the response-body budget; NULL when it is broken, cut short or too big,
 * or the budget has no room for it. The reader sees a chunked response
 * in place of the connection's own, and no read observer feeds the cache
 * or counts bytes. */
static Filebuf *icap_body_read(CONNECTION_T *conn)
{
    HeaderPtr framing(header_new(), http_header_free);
    framing->type = HEADER_RESPONSE;
    framing->status = 200;
    framing->chunked = 1;
    HEADER *own = conn->rheader;
    conn->rheader = framing.get();
    conn->flags |= CONN_NOCALLBACK;
    conn->flags &= ~CONN_HEAD;
    int rc = HTTP_BODY_SHORT;
    if (!buffer_budget_take(conn, buffer_limit(conn) + FILEBUF_STEP)) {
        conn->rheader = own;
        putlog(LOG_WARNING, "[IP:%s] icap: no memory for bodies is free for the reply", conn->ip ? conn->ip : "");
        return nullptr;
    }
    Filebuf *body = http_transfer_filebuf(conn, SIDE_SERVER, buffer_limit(conn), &rc);
    conn->rheader = own;
    if (rc != HTTP_BODY_OK) {
        delete body;
        return nullptr;
    }
    return body;
}

/* Puts the contents of replacement into *target, keeping the record
 * (callers hold pointers to it); replacement gets the old contents. */
static void icap_header_swap(HEADER *target, HEADER *replacement)
{
    std::swap(*target, *replacement);
}

/* Applies a modified request: the new header takes the place of the
 * request's, in the request's own kind, and the body the reply's. */
static void icap_request_apply(CONNECTION_T *conn, HEADER *modified, Filebuf *body,
                               Filebuf *reply_body)
{
    HEADER *h = conn->header;
    bool origin_without_host = h->type == HEADER_ORIGIN && !h->host;
    bool streamed = (conn->flags & CONN_DIRECT_POST) != 0;
    int64_t streamed_length = h->content_length;
    unsigned streamed_flags = h->flags & HEADER_HAS_LENGTH;
    int streamed_chunked = h->chunked;
    int type = h->type;

    icap_header_swap(h, modified);
    if (type == HEADER_ORIGIN || type == HEADER_ABSOLUTE) {
        h->type = type;
        if (origin_without_host) {
            /* The host comes from Host again, with the loop guard and the
             * permission check of an origin-form request. */
            header_field_set(&h->host, nullptr);
            header_field_set(&h->url, nullptr);
        }
    }
    if (streamed) {
        /* The body never went to the ICAP server and still flows from the
         * client with its own framing. */
        h->content_length = streamed_length;
        h->flags = (h->flags & ~HEADER_HAS_LENGTH) | streamed_flags;
        h->chunked = streamed_chunked;
        return;
    }
    /* The reply's body, empty for null-body; process_request gives the
     * request the new length. */
    if (body) {
        if (reply_body)
            body->Swap(reply_body);
        else
            body->Swap(nullptr);
    }
}

/* Whether the peer of sock has closed or reset the connection. */
static bool icap_peer_closed(Socket *sock)
{
    struct pollfd p = { sock->fd, (short)(POLLIN | POLLRDHUP), 0 };
    if (poll(&p, 1, 0) <= 0)
        return false;
    if (p.revents & (POLLHUP | POLLRDHUP | POLLERR | POLLNVAL))
        return true;
    char byte;
    return recv(sock->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
}

int ICAPSection::protocol_icap(CONNECTION_T *conn, Filebuf *body, int mode,
                               const std::string &host, const std::string &path, int port)
{
    if (!conn->header || ((mode & ICAP_RESPMOD) && !conn->rheader))
        return 0;
    bool respmod = (mode & ICAP_RESPMOD) != 0;
    bool streamed = !respmod && (conn->flags & CONN_DIRECT_POST);
    bool has_body = body && body->size > 0 && !streamed;

    /* Step 1 and 2: the encapsulated headers and the Encapsulated value. */
    std::string req_text, res_text;
    if (!icap_request_text(conn, respmod || streamed ? -1 : (body ? body->size : 0), &req_text) ||
        (respmod && !icap_response_text(conn, &res_text))) {
        putlog(LOG_ICAP, "error building request for ICAP server");
        return 0;
    }
    char encap[128];
    if (respmod)
        snprintf(encap, sizeof encap, "req-hdr=0, res-hdr=%lld, %s=%lld", (long long)req_text.size(),
                 has_body ? "res-body" : "null-body",
                 (long long)(req_text.size() + res_text.size()));
    else
        snprintf(encap, sizeof encap, "req-hdr=0, %s=%lld", has_body ? "req-body" : "null-body",
                 (long long)req_text.size());
    HeaderPtr request(icap_request_header(conn, mode, host, path, port, encap), http_header_free);
    Filebuf message;
    if (header_send_filebuf(&message, request.get(), conn, HEADER_SEND_ORIGIN) != FILEBUF_OK ||
        message.Add(req_text.data(), (int64_t)req_text.size()) != FILEBUF_OK ||
        message.Add(res_text.data(), (int64_t)res_text.size()) != FILEBUF_OK) {
        putlog(LOG_ICAP, "error building request for ICAP server");
        return 0;
    }

    in_addr local;
    local.s_addr = htonl(INADDR_ANY);
    if (network_section)
        local = network_section->interface_select(conn);
    SERVERPOOL_ROUTE route = { FORWARD_DIRECT, nullptr, 0, local, 0 };
    int timeout = net_timeout(conn);

    IcapSaved saved(conn);
    std::unique_ptr<Socket> icap;
    HeaderPtr reply(nullptr, http_header_free);
    for (;;) {
        /* Step 3: a pooled connection, else a new one; a failed connect is
         * silent. */
        Socket *pooled = global && global->serverpool
                             ? global->serverpool->Find("icap", host.c_str(), port, nullptr,
                                                        nullptr, &route)
                             : nullptr;
        if (pooled) {
            icap.reset(pooled);
        } else {
            int fd = net_connect(host.c_str(), port, local, net_ctimeout(conn));
            if (fd < 0)
                return 0;
            icap.reset(new Socket(fd, SOCKET_MODE_NONBLOCKING));
        }
        conn->server = icap.get();

        /* Step 4: the request, then the body in chunks. */
        bool sent = net_filebuf_send(&message, conn, SIDE_SERVER) >= 0 &&
                    (!has_body || net_filebuf_send_chunked(body, conn, SIDE_SERVER) == body->size);

        /* Step 5: the reply header; a pooled connection that had gone stale
         * is replaced once by a new one. */
        int result = HEADER_NONE;
        char *text = sent ? header_get(conn, SIDE_SERVER, timeout, &result) : nullptr;
        /* Stale: the server had closed it. A silent server is not asked
         * twice. */
        bool closed = !text && icap_peer_closed(icap.get());
        if (!text) {
            conn->server = saved.server;
            icap.reset();
            if (pooled && (!sent || (result == HEADER_NONE && closed)))
                continue;
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return 0;
        }
        reply.reset(http_header_parse_response(text, &result));
        free(text);
        break;
    }

    /* Step 6. */
    if (!reply || reply->version == 0) {
        putlog(LOG_ICAP, "error parsing header from ICAP server");
        return 0;
    }
    if (reply->status == 204) {
        putlog(LOG_ICAP, "no modification needed");
        return 0;
    }
    if (reply->status >= 400 && reply->status <= 499) {
        putlog(LOG_ICAP, "ICAP response indicates client error");
        return 0;
    }
    if (reply->status >= 500 && reply->status <= 599) {
        putlog(LOG_ICAP, "ICAP response indicates server error");
        return 0;
    }
    if (!reply->encapsulated) {
        putlog(LOG_ICAP, "ICAP response without encapsulatd header");
        return 0;
    }

    /* Step 7. */
    ICAP_ENCAPSULATION e = encapsulation_parse(reply->encapsulated);
    if (e.req_body >= 0 && e.res_body >= 0) {
        putlog(LOG_ICAP, "unable to handle response with both bodies");
        return 0;
    }

    /* Step 8: the encapsulated header, read by the offsets that frame it,
     * then the body. */
    int64_t body_at = e.req_body >= 0 ? e.req_body : e.res_body >= 0 ? e.res_body : e.null_body;
    bool is_response = e.res_hdr == 0 || (e.req_hdr == 0 && e.res_hdr > 0);
    bool is_request = !is_response && e.req_hdr == 0;
    HeaderPtr inner(nullptr, http_header_free);
    if (is_response || is_request) {
        int64_t start = is_response ? e.res_hdr : 0;
        if (body_at <= start || body_at > ICAP_ENCAPSULATED_MAX) {
            putlog(LOG_ICAP, "error parsing header from ICAP server");
            return 0;
        }
        Filebuf headers(ICAP_ENCAPSULATED_MAX);
        if (!net_filebuf_read(&headers, conn, SIDE_SERVER, body_at)) {
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return 0;
        }
        std::string part(headers.data + start, (size_t)(body_at - start));
        int result = HEADER_BAD;
        inner.reset(part.find('\0') != std::string::npos ? nullptr
                    : is_response ? http_header_parse_response(part.c_str(), &result)
                                  : http_header_parse_request(part.c_str(), &result));
        if (!inner || (is_response && inner->version == 0)) {
            putlog(LOG_ICAP, "error parsing header from ICAP server");
            return 0;
        }
    } else if (body_at > 0) {
        /* Nothing of the reply is used, but its bytes must be read before
         * the connection can serve again. */
        Filebuf skipped(ICAP_ENCAPSULATED_MAX);
        if (body_at > ICAP_ENCAPSULATED_MAX || !net_filebuf_read(&skipped, conn, SIDE_SERVER, body_at)) {
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return 0;
        }
    }
    std::unique_ptr<Filebuf> reply_body;
    if (e.req_body >= 0 || e.res_body >= 0) {
        reply_body.reset(icap_body_read(conn));
        if (!reply_body) {
            putlog(LOG_ICAP, "error reading response from ICAP server");
            return 0;
        }
    }

    /* Step 9. */
    if (is_response) {
        inner->type = HEADER_RESPONSE;
        if (conn->rheader) {
            icap_header_swap(conn->rheader, inner.get());
        } else {
            conn->rheader = inner.release();
        }
        if (body) {
            if (reply_body)
                body->Swap(reply_body.get());
            else
                body->Swap(nullptr);   /* null-body: an empty body */
        }
        putlog(LOG_ICAP, respmod ? "response modified" : "request satisfied");
    } else if (is_request) {
        if (respmod) {
            putlog(LOG_ICAP, "got request modification when expecting response modification");
        } else {
            icap_request_apply(conn, inner.get(), body, reply_body.get());
            putlog(LOG_ICAP, "request modified");
        }
    }

    /* Step 10: back to the pool only when the reply was read to its end,
     * with nothing after it, and the server keeps the connection. */
    conn->server = saved.server;
    if (reply->keepalive != 0 && icap->read_length == 0 && global && global->serverpool)
        global->serverpool->Add(icap.release(), "icap", host.c_str(), port, nullptr, nullptr,
                                &route);
    return 1;
}

/* ---- Callbacks ---- */

int icap_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return icap_section ? icap_section->check_match(conn, ICAP_RESPMOD) : 0;
}

/* Whether the request may go to an ICAP service at all. A request for the
 * web interface carries its login, password and cookie: it never leaves
 * the proxy. */
static bool icap_request_goes(CONNECTION_T *conn)
{
    return icap_section && conn->header && conn->header->type != HEADER_CONNECT &&
           !interface_request_test(conn);
}

int icap_reqbuffcheck(CONNECTION_T *conn, Filebuf *)
{
    return icap_request_goes(conn) ? icap_section->check_match(conn, ICAP_REQMOD) : 0;
}

int icap_reqmod(CONNECTION_T *conn, Filebuf *body)
{
    if (!icap_request_goes(conn))
        return 0;
    (void)icap_section->process(conn, body, ICAP_REQMOD);
    return conn->rheader ? 1 : 0;
}

int icap_respmod(CONNECTION_T *conn, Filebuf *body)
{
    HEADER *r = conn->rheader;
    if (!icap_section || !r)
        return 1;
    r->content_length = body ? body->size : 0;
    r->flags |= HEADER_HAS_LENGTH;
    r->chunked = 0;
    (void)icap_section->process(conn, body, ICAP_RESPMOD);
    return 1;
}
