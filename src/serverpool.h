#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <ctime>
#include <list>
#include <string>

class Filebuf;
class Socket;
struct CONNECTION_T;
struct HEADER;

/* The cleaner thread's period, in seconds. */
#define SERVERPOOL_CLEAN_SECONDS 10
/* The pool's size and idle time-out (seconds) when no general section is
 * configured. */
#define SERVERPOOL_DEFAULT_SIZE 100
#define SERVERPOOL_DEFAULT_TIMEOUT 60

/* How a pooled connection reaches its server; part of the pool's key, so a
 * connection is only reused for the same path. The proxy credentials are
 * those of the forwarding rule: an upstream that authenticated a connection
 * for one rule's user (NTLM binds the connection itself) never serves a
 * request of another user over it. */
struct SERVERPOOL_ROUTE {
    int forward_type;         /* FORWARD_* */
    const char *proxy_host;   /* the upstream or SOCKS proxy; NULL when direct */
    int proxy_port;
    in_addr local;            /* the outgoing address; INADDR_ANY for any */
    int ssl;                  /* 1 when the socket runs SSL */
    const char *proxy_user = nullptr;       /* NULL when direct or none */
    const char *proxy_password = nullptr;
    const char *proxy_domain = nullptr;
};

/* One idle server connection; every text is owned. */
struct serverpool_t {
    Socket *socket;           /* owned while listed */
    time_t added;
    char *scheme;
    char *host;
    char *user;               /* NULL for none */
    char *password;           /* NULL for none */
    int port;
    int forward_type;
    char *proxy_host;         /* NULL when direct */
    int proxy_port;
    in_addr local;
    int ssl;
    char *proxy_user;         /* NULL for none */
    char *proxy_password;
    char *proxy_domain;
};

/*
 * Idle keep-alive connections to origin servers and upstream proxies,
 * oldest first, reused by key: scheme, host and port (compared without
 * case), user and password (compared exactly), and the route. The general
 * section's poolsize bounds it (0 or less: nothing is pooled) and its
 * pooltimeout ends idle entries.
 */
class ServerPool {
public:
    ServerPool();
    /* Closes every pooled connection. */
    ~ServerPool();
    ServerPool(const ServerPool &) = delete;
    ServerPool &operator=(const ServerPool &) = delete;

    /* Takes socket over and lists it under the key (route NULL: direct,
     * any local address, no SSL). At poolsize entries the oldest are closed
     * first, and a new size reached is reported once as inadequate. With a
     * poolsize of 0 or less the socket is closed at once. */
    void Add(Socket *socket, const char *scheme, const char *host, int port, const char *user,
             const char *password, const SERVERPOOL_ROUTE *route = nullptr);

    /* Takes the oldest connection listed under the key out of the pool and
     * gives it to the caller, or NULL. The socket is not tested: the server
     * may have closed it meanwhile. Empty texts count as none. */
    Socket *Find(const char *scheme, const char *host, int port, const char *user,
                 const char *password, const SERVERPOOL_ROUTE *route = nullptr);

    /* Closes the entries idle for pooltimeout seconds or more and those past
     * the first poolsize, or every entry when all is 1. */
    void Clean(int all);

    /* The number of entries. */
    int Size();

    /* Appends the connection pool page's table: one row per entry in pool
     * order with its protocol, host, port, user name ("(none)" without one)
     * and seconds in the pool, built under the mutex and HTML-escaped. */
    void show_connections(Filebuf *out);

    /* The clock of the pool (time() by default); a test seam. */
    time_t (*clock)();

private:
    /* The caller holds lock; the sockets of removed entries are moved to
     * closing for the caller to delete after releasing it. Returns the
     * number removed. */
    int CleanUnlocked(int all, std::list<Socket *> *closing, int *walked);

    /* Held only to move list nodes (allocation, freeing and closing happen
     * outside it); spins briefly before it sleeps, since every request
     * that reaches a server takes it twice. */
    pthread_mutex_t lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    std::list<serverpool_t *> entries;
    int warn_level;   /* the size last reported as inadequate; 0 after a clean */
};

/* The cleaner thread: Clean(0) on the global pool every
 * SERVERPOOL_CLEAN_SECONDS, for ever. */
void *serverpool_clean(void *arg);

/* 1 when the request carries origin credentials bound to the connection
 * (an Authorization of the NTLM or Negotiate scheme), which must never be
 * lent to another request. */
int serverpool_auth_bound(const HEADER *request);

/* The route of conn's current request: its forwarding kind, proxy and the
 * rule's proxy credentials, the outgoing address the network section
 * chooses for it, and ssl. The texts point into conn. */
SERVERPOOL_ROUTE serverpool_route(CONNECTION_T *conn, int ssl);

/* 1 when the request passed the client's own NTLM or Negotiate
 * Proxy-Authorization to an upstream HTTP proxy: the connection is then
 * bound to that client's identity. */
int serverpool_proxy_auth_bound(const CONNECTION_T *conn);

/* The key of the place conn's current request goes to, for a pinned
 * server connection: scheme, host and port (for FORWARD_HTTP the proxy's),
 * the forwarding kind and proxy, and ssl. */
std::string serverpool_pin_key(const CONNECTION_T *conn, int ssl);

/* Before a request: gives the client's pinned server connection back as
 * conn->server when it leads where this request goes (ssl as for
 * serverpool_route). Returns its descriptor, or -1 leaving everything as
 * it was. */
int serverpool_pinned_take(CONNECTION_T *conn, int ssl);

/* After a request: gives conn->server to the global pool when
 * keepalive_server is 1 and the socket is clean (nothing unread or
 * unsent, no connection-bound credentials of the client's), with the
 * request's key (for FORWARD_HTTP the proxy's host and port, and always
 * the route with the rule's proxy credentials); otherwise deletes it. The
 * request's observers are removed first. A clean connection that carried
 * the client's NTLM or Negotiate credentials (or came back pinned) is
 * pinned to the client connection instead (conn->pinned_server), never
 * pooled. conn->server becomes NULL. */
void serverpool_release(CONNECTION_T *conn);
