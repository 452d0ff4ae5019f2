/*
 * The server pool. A kept-alive connection to an origin server or an
 * upstream proxy is worth keeping for the next request to the same place:
 * it saves a handshake (and for SSL a much costlier one). An entry is
 * reused only for exactly the same key: the same scheme, host and port,
 * the same credentials byte for byte, and the same route (direct, through
 * which upstream or SOCKS proxy, from which local address, with or without
 * SSL, and with which of the forwarding rule's credentials for the
 * upstream proxy), so one user's authenticated connection never serves
 * another. A connection an upstream proxy authenticated for one rule's
 * user (by NTLM the connection itself is authenticated) is reused only by
 * requests with the same credentials for the same proxy. Connections that
 * carried a client's own NTLM or Negotiate credentials, to an origin or
 * to an upstream proxy, are bound to that client and never pooled: they
 * stay pinned to the client connection, which uses them for its later
 * requests to the same place (the handshake's next message must come on
 * the same connection) and closes them with itself. A
 * cleaner thread drops idle entries every ten seconds; sockets are always
 * closed outside the pool's lock.
 */
#include "serverpool.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "interface.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "options.h"
#include "perflog.h"
#include "socket.h"
#include "stats.h"

static time_t serverpool_default_clock();
static int serverpool_size();
static int serverpool_timeout();
static char *serverpool_copy(const char *text);
static const char *serverpool_none(const char *text);
static void serverpool_entry_free(serverpool_t *entry);
static bool serverpool_text_equal(const char *a, const char *b);
static bool serverpool_match(const serverpool_t *e, const char *scheme, const char *host, int port,
                             const char *user, const char *password, const SERVERPOOL_ROUTE &route);
static SERVERPOOL_ROUTE serverpool_direct();
static int serverpool_bound_value(const char *value);
static void serverpool_stat(bool hit);
static bool serverpool_alive(Socket *socket);

static time_t serverpool_default_clock()
{
    return time(nullptr);
}

static int serverpool_size()
{
    return general_section ? general_section->poolsize_get() : SERVERPOOL_DEFAULT_SIZE;
}

static int serverpool_timeout()
{
    return general_section ? general_section->pooltimeout_get() : SERVERPOOL_DEFAULT_TIMEOUT;
}

/* "hit" and "miss" of the statistics group "connection pool", and the
 * performance log's connection_pool_hit. */
static void serverpool_stat(bool hit)
{
    statincr_connectionpool(hit);
    if (hit && performance_log)
        performance_log->set_connection_pool_hit(1);
}

/* An owned copy of text, NULL for none; allocation failure is fatal. */
static char *serverpool_copy(const char *text)
{
    if (!text)
        return nullptr;
    char *copy = xstrdup(text);
    if (!copy)
        fatal_error("src/serverpool", __LINE__, "Add", "Failed to allocate %u bytes of memory",
                    (unsigned)(strlen(text) + 1));
    return copy;
}

/* An empty text counts as none. */
static const char *serverpool_none(const char *text)
{
    return text && *text ? text : nullptr;
}

static void serverpool_entry_free(serverpool_t *entry)
{
    free(entry->scheme);
    free(entry->host);
    free(entry->user);
    free(entry->password);
    free(entry->proxy_host);
    free(entry->proxy_user);
    free(entry->proxy_password);
    free(entry->proxy_domain);
    free(entry);
}

/* Both none, or both present and equal byte for byte. */
static bool serverpool_text_equal(const char *a, const char *b)
{
    if (!a || !b)
        return a == b;
    return strcmp(a, b) == 0;
}

static SERVERPOOL_ROUTE serverpool_direct()
{
    SERVERPOOL_ROUTE route;
    route.forward_type = FORWARD_DIRECT;
    route.proxy_host = nullptr;
    route.proxy_port = 0;
    route.local.s_addr = htonl(INADDR_ANY);
    route.ssl = 0;
    route.proxy_user = nullptr;
    route.proxy_password = nullptr;
    route.proxy_domain = nullptr;
    return route;
}

static bool serverpool_match(const serverpool_t *e, const char *scheme, const char *host, int port,
                             const char *user, const char *password, const SERVERPOOL_ROUTE &route)
{
    if (e->port != port || strcasecmp(e->scheme, scheme) != 0 || strcasecmp(e->host, host) != 0)
        return false;
    if (!serverpool_text_equal(e->user, user) || !serverpool_text_equal(e->password, password))
        return false;
    if (e->forward_type != route.forward_type || e->local.s_addr != route.local.s_addr ||
        e->ssl != (route.ssl ? 1 : 0))
        return false;
    if (route.forward_type != FORWARD_DIRECT) {
        const char *proxy = serverpool_none(route.proxy_host);
        if (e->proxy_port != route.proxy_port || (!proxy) != (!e->proxy_host) ||
            (proxy && strcasecmp(e->proxy_host, proxy) != 0))
            return false;
        if (!serverpool_text_equal(e->proxy_user, serverpool_none(route.proxy_user)) ||
            !serverpool_text_equal(e->proxy_password, serverpool_none(route.proxy_password)) ||
            !serverpool_text_equal(e->proxy_domain, serverpool_none(route.proxy_domain)))
            return false;
    }
    return true;
}

ServerPool::ServerPool() : clock(serverpool_default_clock), warn_level(0)
{
}

ServerPool::~ServerPool()
{
    Clean(1);
}

void ServerPool::Add(Socket *socket, const char *scheme, const char *host, int port,
                     const char *user, const char *password, const SERVERPOOL_ROUTE *route)
{
    if (!socket)
        return;
    int size = serverpool_size();
    if (size <= 0 || !scheme || !host) {
        delete socket;
        return;
    }
    SERVERPOOL_ROUTE r = route ? *route : serverpool_direct();
    user = serverpool_none(user);
    password = serverpool_none(password);

    serverpool_t *e = (serverpool_t *)xmalloc(sizeof(serverpool_t));
    if (!e)
        fatal_error("src/serverpool", __LINE__, "Add", "Failed to allocate %u bytes of memory",
                    (unsigned)sizeof(serverpool_t));
    e->socket = socket;
    e->added = clock();
    e->scheme = serverpool_copy(scheme);
    e->host = serverpool_copy(host);
    e->user = serverpool_copy(user);
    e->password = serverpool_copy(password);
    e->port = port;
    e->forward_type = r.forward_type;
    e->proxy_host = r.forward_type != FORWARD_DIRECT ? serverpool_copy(serverpool_none(r.proxy_host)) : nullptr;
    e->proxy_port = r.forward_type != FORWARD_DIRECT ? r.proxy_port : 0;
    e->local = r.local;
    e->ssl = r.ssl ? 1 : 0;
    bool proxied = r.forward_type != FORWARD_DIRECT;
    e->proxy_user = proxied ? serverpool_copy(serverpool_none(r.proxy_user)) : nullptr;
    e->proxy_password = proxied ? serverpool_copy(serverpool_none(r.proxy_password)) : nullptr;
    e->proxy_domain = proxied ? serverpool_copy(serverpool_none(r.proxy_domain)) : nullptr;

    /* The list node is made here and every entry dropped is freed after
     * the lock: only pointer moves happen under it. */
    std::list<serverpool_t *> node(1, e);
    std::list<serverpool_t *> dropped;
    int warn = 0;
    {
        MutexGuard guard(&lock);
        int count = (int)entries.size();
        if (count >= size && count != warn_level) {
            warn_level = count;
            warn = count;
        }
        while ((int)entries.size() >= size)
            dropped.splice(dropped.end(), entries, entries.begin());
        entries.splice(entries.end(), node);
    }
    for (serverpool_t *old : dropped) {
        delete old->socket;
        serverpool_entry_free(old);
    }
    if (warn)
        putlog(LOG_ADVICE,
               "Connection Pool: size:%d is inadequate, consider increasing this, else reduce Connection Pool Timeout",
               warn);
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "Connection Pool: added: %.32s://%.128s:*@%.255s:%d ", scheme, user ? user : "",
               host, port);
}

/* Whether an idle connection can still carry a request: nothing buffered,
 * and a non-blocking peek finds neither the server's close nor bytes it
 * sent unasked (an idle server that speaks is closing or confused). */
static bool serverpool_alive(Socket *socket)
{
    if (socket->fd < 0 || socket->read_length > 0 || socket->write_length > 0)
        return false;
    char byte;
    ssize_t n = recv(socket->fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
}

Socket *ServerPool::Find(const char *scheme, const char *host, int port, const char *user,
                         const char *password, const SERVERPOOL_ROUTE *route)
{
    if (!scheme || !host)
        return nullptr;
    SERVERPOOL_ROUTE r = route ? *route : serverpool_direct();
    user = serverpool_none(user);
    password = serverpool_none(password);
    Socket *found = nullptr;
    for (;;) {
        {
            std::list<serverpool_t *> taken;
            {
                MutexGuard guard(&lock);
                for (auto it = entries.begin(); it != entries.end(); ++it) {
                    if (serverpool_match(*it, scheme, host, port, user, password, r)) {
                        taken.splice(taken.end(), entries, it);
                        break;
                    }
                }
            }
            if (!taken.empty()) {
                found = taken.front()->socket;
                serverpool_entry_free(taken.front());
            }
        }
        /* Checked outside the lock: one the server closed meanwhile is
         * dropped and the next is taken. */
        if (!found || serverpool_alive(found))
            break;
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "Connection Pool: dropped a connection the server closed: "
                   "%.32s://%.255s:%d", scheme, host, port);
        delete found;
        found = nullptr;
    }
    serverpool_stat(found != nullptr);
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "Connection Pool: %s: %.32s://%.128s:*@%.255s:%d ", found ? "hit" : "miss",
               scheme, user ? user : "", host, port);
    return found;
}

int ServerPool::CleanUnlocked(int all, std::list<Socket *> *closing, int *walked)
{
    time_t now = clock();
    int size = serverpool_size();
    int timeout = serverpool_timeout();
    int removed = 0;
    int kept = 0;
    *walked = 0;
    for (auto it = entries.begin(); it != entries.end();) {
        serverpool_t *e = *it;
        (*walked)++;
        if (all || now - e->added >= timeout || kept >= size) {
            closing->push_back(e->socket);
            serverpool_entry_free(e);
            it = entries.erase(it);
            removed++;
        } else {
            kept++;
            ++it;
        }
    }
    warn_level = 0;
    return removed;
}

void ServerPool::Clean(int all)
{
    std::list<Socket *> closing;
    int walked = 0;
    int removed;
    {
        MutexGuard guard(&lock);
        removed = CleanUnlocked(all, &closing, &walked);
    }
    for (Socket *s : closing)
        delete s;
    if (walked > 0 && log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "connection pool: deleted: %d of %d connections", removed, walked);
}

int ServerPool::Size()
{
    MutexGuard guard(&lock);
    return (int)entries.size();
}

void ServerPool::show_connections(Filebuf *out)
{
    std::string rows;
    {
        MutexGuard guard(&lock);
        time_t now = clock();
        bool even = true;
        for (const serverpool_t *e : entries) {
            rows += std::string("<tr class=\"") + (even ? "listeven" : "listodd") + "\"><td>" +
                    interface_html(e->scheme ? e->scheme : "") + "</td><td>" +
                    interface_html(e->host ? e->host : "") + "</td><td>" +
                    std::to_string(e->port) + "</td><td>" +
                    (e->user && e->user[0] ? interface_html(e->user) : "(none)") + "</td><td>" +
                    std::to_string((long long)(now - e->added)) + "</td></tr>\n";
            even = !even;
        }
    }
    std::string table = "<table class=\"list\">\n"
                        "<tr class=\"listhead\"><td>Protocol</td><td>Host</td><td>Port</td>"
                        "<td>Username</td><td>Age</td></tr>\n" + rows + "</table>\n";
    if (out->Add(table.data(), (int64_t)table.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: the connection pool page could not be built");
}

void *serverpool_clean(void *)
{
    for (;;) {
        if (global && global->serverpool) {
            global->serverpool->Clean(0);
            if (performance_log)
                performance_log->set_connection_pool_size((uint64_t)global->serverpool->Size());
        }
        sleep(SERVERPOOL_CLEAN_SECONDS);
    }
    return nullptr;
}

/* 1 when the credentials value uses a scheme that binds the connection. */
static int serverpool_bound_value(const char *v)
{
    if (!v)
        return 0;
    while (*v == ' ' || *v == '\t')
        v++;
    static const char *const bound[] = { "NTLM", "Negotiate" };
    for (const char *scheme : bound) {
        size_t n = strlen(scheme);
        if (strncasecmp(v, scheme, n) == 0 && (v[n] == '\0' || v[n] == ' ' || v[n] == '\t'))
            return 1;
    }
    return 0;
}

int serverpool_auth_bound(const HEADER *request)
{
    return request ? serverpool_bound_value(request->authorization) : 0;
}

int serverpool_proxy_auth_bound(const CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    if (conn->forward_type != FORWARD_HTTP || !h || !h->proxy_authorization ||
        (conn->auth_flags & AUTH_CREDENTIALS_USED))
        return 0;
    return serverpool_bound_value(h->proxy_authorization);
}

SERVERPOOL_ROUTE serverpool_route(CONNECTION_T *conn, int ssl)
{
    SERVERPOOL_ROUTE route = serverpool_direct();
    route.forward_type = conn->forward_type;
    if (conn->forward_type != FORWARD_DIRECT) {
        route.proxy_host = conn->proxy_host;
        route.proxy_port = conn->proxy_port;
        route.proxy_user = conn->proxy_user;
        route.proxy_password = conn->proxy_password;
        route.proxy_domain = conn->proxy_domain;
    }
    if (network_section)
        route.local = network_section->interface_lookup(conn);
    route.ssl = ssl ? 1 : 0;
    return route;
}

std::string serverpool_pin_key(const CONNECTION_T *conn, int ssl)
{
    const HEADER *h = conn->header;
    if (!h || !h->protocol || !h->host)
        return std::string();
    bool via_proxy = conn->forward_type == FORWARD_HTTP;
    std::string key = std::string(h->protocol) + "://" + (via_proxy && conn->proxy_host ? conn->proxy_host : h->host) +
                      ":" + std::to_string(via_proxy ? conn->proxy_port : h->port);
    key += " " + std::to_string(conn->forward_type) + " " + (conn->proxy_host ? conn->proxy_host : "") + ":" +
           std::to_string(conn->proxy_port) + (ssl ? " ssl" : "");
    return key;
}

int serverpool_pinned_take(CONNECTION_T *conn, int ssl)
{
    if (!conn->pinned_server || conn->server)
        return -1;
    std::string key = serverpool_pin_key(conn, ssl);
    if (key.empty() || key != conn->pinned_key)
        return -1;
    conn->server = conn->pinned_server;   /* the client's own connection */
    conn->pinned_server = nullptr;
    conn->server_pinned = true;
    return conn->server->fd;
}

void serverpool_release(CONNECTION_T *conn)
{
    Socket *s = conn->server;
    conn->server = nullptr;
    if (!s)
        return;
    const HEADER *h = conn->header;
    bool pinned = conn->server_pinned;
    conn->server_pinned = false;
    bool clean = conn->keepalive_server == 1 && h && h->protocol && h->host && s->fd >= 0 &&
                 s->read_length == 0 && s->write_length == 0;
    /* The client's own connection-bound handshake: the next message of it
     * (and every request after it) must use this very connection. */
    bool bound = pinned || serverpool_auth_bound(h) || serverpool_proxy_auth_bound(conn);
    if (!clean || (!bound && !(global && global->serverpool))) {
        delete s;
        return;
    }
    /* The request's observers point into its state, which ends here. */
    while (!s->callbacks.empty())
        (void)s->CallBackRemove(s->callbacks.front().id);
    if (bound) {
        delete conn->pinned_server;   /* an older pin to another place */
        conn->pinned_server = s;
        conn->pinned_key = serverpool_pin_key(conn, s->ssl_active);
        return;
    }

    const char *host = h->host;
    int port = h->port;
    if (conn->forward_type == FORWARD_HTTP) {
        if (conn->proxy_host)
            host = conn->proxy_host;
        port = conn->proxy_port;
    }
    SERVERPOOL_ROUTE route = serverpool_route(conn, s->ssl_active);
    global->serverpool->Add(s, h->protocol, host, port, h->user, h->password, &route);
}
