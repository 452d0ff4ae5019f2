/*
 * The proxy's network edge: the listening sockets and the accept of a
 * client, the outgoing connect, the loops that move a body between a
 * connection's two sockets and the two-way relay of a tunnel (the SOCKS
 * requests toward an upstream SOCKS server are in socks.cpp). Also the "network"
 * section that says where we listen and from which local address
 * outgoing connections leave.
 *
 * No peer can hold a worker for ever: every wait, for input, for a
 * connect or for a peer to take our output, is a poll with the
 * connection's connect time-out (a tunnel has its own, longer, idle
 * limit). While a loop runs, its sockets are non-blocking, so no send or
 * receive can wait outside those polls, and output is handed to a Socket
 * only when its queue has room, so the Socket never waits on its own. While we wait on one socket the other's input is
 * taken into its buffer only up to a cap. Blocks travel through a heap
 * buffer, never the worker's small stack. A transfer that ends short of
 * its length, or by a reset or time-out instead of a clean close, is
 * reported as failed (CONN_TRANSFER_FAILED), never as complete.
 */
#include "network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "profiles.h"
#include "socket.h"
#include "stats.h"
#include "xml.h"

int net_tunnel_idle_seconds = 0;

static int net_no_cache_references(CACHEMAP *)
{
    return 0;
}
int (*net_cache_references)(CACHEMAP *object) = net_no_cache_references;

static NET_LISTENER net_listeners[NET_LISTENERS];
static pthread_mutex_t net_listen_lock = PTHREAD_MUTEX_INITIALIZER;

/* The address and port of each open listener, as every connect compares
 * them without the listeners' lock: port 0 marks a free slot, the address
 * is in network order (INADDR_ANY for every local address). Written
 * under the lock when a listener opens or closes. */
struct NET_LISTEN_PAIR {
    std::atomic<int> port{ 0 };
    std::atomic<uint32_t> address{ 0 };
};
static NET_LISTEN_PAIR net_listen_pairs[NET_LISTENERS];

/* The block a body is copied through (net_copy). */
#define NET_COPY_BLOCK 65536

/* A block of BLOCKSIZE bytes (or at_least, when larger) on the heap, freed
 * with its holder. */
struct NET_BLOCK {
    explicit NET_BLOCK(int64_t at_least = 0);
    ~NET_BLOCK() { free(data); }
    NET_BLOCK(const NET_BLOCK &) = delete;
    NET_BLOCK &operator=(const NET_BLOCK &) = delete;
    char *data;
    int64_t size;
};

static int net_wait(struct pollfd *fds, nfds_t count, int timeout_ms);
static int net_backlog();
static int net_sockopt_get(int fd, int level, int name);
static Socket *net_side_socket(CONNECTION_T *conn, int side);
static Socket *net_other_socket(CONNECTION_T *conn, int side);
static const char *net_side_name(int side);
static const char *net_ip(const CONNECTION_T *conn);
static bool net_socket_ready(Socket *sock);
static int net_wait_pair(Socket *sock, Socket *other, int timeout, struct pollfd p[2], nfds_t *n,
                         bool *ready);
static bool net_drop_client(CONNECTION_T *conn, int side, Socket *other, NetNoWait *other_mode);
static bool net_copy_other(CONNECTION_T *conn, int side, bool relay, Socket *other, NetNoWait *other_mode,
                           short revents, bool *ended);
static void net_pass_close(Socket *to);
static void net_stat_connect(bool ok);
static void net_stat_dns_failure();
static void net_stat_closed();
static void net_progress_log(CONNECTION_T *conn, int side, const NET_PROGRESS *progress);

/* The proxy's own sockets are non-blocking for good (accepted and
 * connected so), and the Socket knows its mode: for them this costs no
 * system call. Only a blocking descriptor handed in from elsewhere is
 * switched, and switched back. */
NetNoWait::NetNoWait(Socket *sock) : held(sock), restore(false)
{
    if (held && held->fd >= 0 && !held->NonBlocking())
        restore = held->Blocking(false) == 0;
}

NetNoWait::~NetNoWait()
{
    if (held && held->fd >= 0 && restore)
        (void)held->Blocking(true);
}

NET_BLOCK::NET_BLOCK(int64_t at_least)
{
    size = std::max<int64_t>(BLOCKSIZE > 0 ? BLOCKSIZE : 8192, at_least);
    data = (char *)malloc((size_t)size);
    if (!data)
        FATAL_ALLOC(size);
}

/* The calling thread's copy block, made at its first body. */
static NET_BLOCK &net_copy_block()
{
    static thread_local NET_BLOCK block(NET_COPY_BLOCK);
    return block;
}

/* ---- Helpers ---- */

/* poll that resumes after a signal with the time left; timeout_ms -1 waits
 * without limit. Returns poll's result. */
static int net_wait(struct pollfd *fds, nfds_t count, int timeout_ms)
{
    int64_t deadline = timeout_ms < 0 ? -1 : monotonic_ms() + timeout_ms;
    for (;;) {
        int wait_ms = -1;
        if (deadline >= 0) {
            int64_t left = deadline - monotonic_ms();
            wait_ms = left <= 0 ? 0 : (int)std::min<int64_t>(left, INT_MAX);
        }
        int r = p_poll(fds, count, wait_ms);
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

/* The "network" statistics group and the performance log's connection
 * counters. */
static void net_stat_connect(bool ok)
{
    statincr_connect(ok);
    if (performance_log) {
        if (ok)
            performance_log->set_new_connection(1);
        else
            performance_log->set_connection_fail(1);
    }
}

static void net_stat_dns_failure()
{
    statincr_dnsfailure();
}

static void net_stat_closed()
{
    if (performance_log)
        performance_log->set_connections_closed(1);
}

static Socket *net_side_socket(CONNECTION_T *conn, int side)
{
    return side == SIDE_CLIENT ? conn->client : conn->server;
}

static Socket *net_other_socket(CONNECTION_T *conn, int side)
{
    return side == SIDE_CLIENT ? conn->server : conn->client;
}

static const char *net_side_name(int side)
{
    return side == SIDE_CLIENT ? "client" : "server";
}

static const char *net_ip(const CONNECTION_T *conn)
{
    return conn->ip ? conn->ip : "";
}

int net_timeout(CONNECTION_T *conn)
{
    int t = general_section ? general_section->timeout_get(conn) : NET_CONNECT_DEFAULT_TIMEOUT;
    return t > 0 ? t : NET_CONNECT_DEFAULT_TIMEOUT;
}

int net_ctimeout(CONNECTION_T *conn)
{
    int t = general_section ? general_section->ctimeout_get(conn) : NET_CONNECT_DEFAULT_TIMEOUT;
    return t > 0 ? t : NET_CONNECT_DEFAULT_TIMEOUT;
}

/* True when the socket holds input that a poll of its descriptor would not
 * show: bytes in its read buffer or inside SSL. */
static bool net_socket_ready(Socket *sock)
{
    return sock->read_length > 0 || (sock->ssl_active && sock->ssl && SSL_pending(sock->ssl) > 0);
}

int net_drain(Socket *sock, int64_t keep, int timeout)
{
    while (sock->write_length > keep) {
        struct pollfd p = { sock->fd, POLLOUT, 0 };
        int r = sock->write_timed_out ? 0 : net_wait(&p, 1, timeout * 1000);
        if (r == 0)
            sock->write_timed_out = true;   /* the peer took nothing for the whole time */
        if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)))
            return -1;
        if (sock->Write(nullptr, -1) < 0)
            return -1;
    }
    return 0;
}

int net_socket_flush(Socket *sock, int timeout)
{
    if (!sock)
        return -1;
    if (sock->write_length == 0)
        return 0;   /* nothing queued: no mode to switch (three system calls a request) */
    NetNoWait mode(sock);
    return net_drain(sock, 0, timeout > 0 ? timeout : NET_CONNECT_DEFAULT_TIMEOUT);
}

int net_write(Socket *sock, const char *bytes, int64_t len, int timeout)
{
    while (len > 0) {
        int64_t piece = std::min<int64_t>(len, SOCKET_WRITE_QUEUE_LIMIT);
        if (net_drain(sock, SOCKET_WRITE_QUEUE_LIMIT - piece, timeout) < 0)
            return -1;
        if (sock->Write(bytes, piece) < 0)
            return -1;
        bytes += piece;
        len -= piece;
    }
    return 0;
}

bool net_read_exact(Socket *sock, unsigned char *area, int64_t len, int64_t deadline_ms)
{
    int64_t got = 0;
    while (got < len) {
        int64_t left_ms = deadline_ms - monotonic_ms();
        if (left_ms <= 0 && !net_socket_ready(sock))
            return false;
        int seconds = (int)std::max<int64_t>((left_ms + 999) / 1000, 0);
        int64_t n = sock->Read((char *)area + got, len - got, seconds);
        if (n <= 0)
            return false;
        got += n;
    }
    return true;
}

/* ---- Progress of a body ---- */

void net_progress_start(NET_PROGRESS *progress, int timeout_seconds)
{
    progress->window_start_ms = monotonic_ms();
    progress->window_bytes = 0;
    progress->window_ms = (int64_t)std::max(timeout_seconds, 1) * 1000;
}

bool net_progress_moved(NET_PROGRESS *progress, int64_t n)
{
    if (n > 0)
        progress->window_bytes += n;
    int64_t now = monotonic_ms();
    if (now - progress->window_start_ms < progress->window_ms)
        return true;
    if (progress->window_bytes < NET_PROGRESS_MIN_BYTES)
        return false;
    progress->window_start_ms = now;
    progress->window_bytes = 0;
    return true;
}

int net_progress_wait(const NET_PROGRESS *progress)
{
    /* A window that has moved enough already is not cut off at its end:
     * the wait is the whole time-out, as for any read. */
    if (progress->window_bytes >= NET_PROGRESS_MIN_BYTES)
        return (int)std::min<int64_t>(progress->window_ms / 1000, INT_MAX);
    int64_t left = progress->window_start_ms + progress->window_ms - monotonic_ms();
    left = std::min(std::max<int64_t>(left, 1000), progress->window_ms);
    return (int)std::min<int64_t>((left + 999) / 1000, INT_MAX);
}

/* Logs the cut-off of a transfer whose window moved too little; a plain
 * time-out (nothing at all moved) is the caller's to report. */
static void net_progress_log(CONNECTION_T *conn, int side, const NET_PROGRESS *progress)
{
    if (progress->window_bytes == 0 || progress->window_bytes >= NET_PROGRESS_MIN_BYTES)
        return;
    putlog(LOG_WARNING, "network: [IP:%s] %s moved fewer than %d bytes in %d seconds, cut off",
           net_ip(conn), net_side_name(side), NET_PROGRESS_MIN_BYTES, (int)(progress->window_ms / 1000));
}

/* ---- Listeners ---- */

void net_init()
{
    MutexGuard guard(&net_listen_lock);
    for (NET_LISTENER &l : net_listeners) {
        l.used = 0;
        l.fd = -1;
        l.port = 0;
        free(l.address);
        l.address = nullptr;
    }
}

/* The listen queue: the system's somaxconn (25 when unreadable), at most
 * MAXTHREADS. */
static int net_backlog()
{
    int somaxconn = 25;
    FILE *f = fopen("/proc/sys/net/core/somaxconn", "r");
    if (f) {
        int v;
        if (fscanf(f, "%d", &v) == 1 && v > 0)
            somaxconn = v;
        fclose(f);
        putlog(LOG_NETWORK, "default system somaxconn: %d", somaxconn);
    }
    int backlog = std::min(somaxconn, MAXTHREADS > 0 ? MAXTHREADS : 1);
    putlog(LOG_NETWORK, "listen queue: %d", backlog);
    return backlog;
}

/* An integer socket option's value, or -1. */
static int net_sockopt_get(int fd, int level, int name)
{
    int v = -1;
    socklen_t len = sizeof v;
    if (getsockopt(fd, level, name, &v, &len) != 0)
        return -1;
    return v;
}

int net_listen(int port, const char *address)
{
    const char *shown = address && *address ? address : "0.0.0.0";
    int backlog = net_backlog();

    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = port > 0 && port <= 65535;
    if (ok && address && *address)
        ok = inet_pton(AF_INET, address, &sa.sin_addr) == 1;
    int error = EINVAL;   /* a bad port or address */

    int fd = ok ? s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    if (fd >= 0) {
        int on = 1;
        (void)setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
        (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        int defer = TCP_KEEPIDLE_TIME > 0 ? TCP_KEEPIDLE_TIME : 600;
        (void)setsockopt(fd, IPPROTO_TCP, TCP_DEFER_ACCEPT, &defer, sizeof defer);

        /* Without -b the kernel sizes each connection's buffers as the
         * traffic needs (autotuning); a fixed size would pin them, and a
         * small one throttles every response over a few KiB. The read
         * block then keeps its default. */
        int rcv = net_sockopt_get(fd, SOL_SOCKET, SO_RCVBUF);
        putlog(LOG_NETWORK, "System Default TCP Buffer size for client->quillmere->website %d bytes", rcv);
        int snd = net_sockopt_get(fd, SOL_SOCKET, SO_SNDBUF);
        putlog(LOG_NETWORK, "System Default TCP Buffer size for client<-quillmere<-website %d bytes ", snd);
        if (RCV_BUF <= 0 && SND_BUF <= 0) {
            putlog(LOG_NETWORK, "TCP Buffer sizes left to the kernel (autotuning); -b sets them");
        } else {
            if (rcv > 0)
                BLOCKSIZE = rcv;
            if (snd > BLOCKSIZE)
                BLOCKSIZE = snd;
        }

        putlog(LOG_ADVICE, "network: Memory allocation: per socket R/W: %d bytes", BLOCKSIZE);
        putlog(LOG_NETWORK, "System Default TCP_KEEPIDLE %d seconds",
               net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPIDLE));
        putlog(LOG_NETWORK, "System Default TCP_KEEPINTVL %d seconds",
               net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPINTVL));
        putlog(LOG_NETWORK, "System Default TCP_KEEPCNT %d probes",
               net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPCNT));
        if (TCP_KEEPIDLE_TIME > 0) {
            (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &TCP_KEEPIDLE_TIME, sizeof(int));
            putlog(LOG_NETWORK, "Changed TCP_KEEPIDLE to %d seconds",
                   net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPIDLE));
        }
        if (TCP_KEEPINTVL_TIME > 0) {
            (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &TCP_KEEPINTVL_TIME, sizeof(int));
            putlog(LOG_NETWORK, "Changed TCP_KEEPINTVL to %d seconds",
                   net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPINTVL));
        }
        if (TCP_KEEPCNT_COUNTS > 0) {
            (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &TCP_KEEPCNT_COUNTS, sizeof(int));
            putlog(LOG_NETWORK, "Changed TCP_KEEPCNT to %d probes",
                   net_sockopt_get(fd, IPPROTO_TCP, TCP_KEEPCNT));
        }

        /* Non-blocking, so that an accept after a client vanished from
         * the queue cannot block the accept loop; accepted sockets do not
         * inherit the flag. */
        ok = fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0 &&
             bind(fd, (struct sockaddr *)&sa, sizeof sa) == 0 && listen(fd, backlog) == 0;
        error = errno;
    } else if (ok) {
        error = errno;   /* the socket itself failed */
        ok = false;
    }

    int slot = -1;
    if (ok) {
        MutexGuard guard(&net_listen_lock);
        for (int i = 0; i < NET_LISTENERS; i++) {
            if (!net_listeners[i].used) {
                slot = i;
                break;
            }
        }
        if (slot < 0)
            error = EMFILE;   /* the listener table is full */
        if (slot >= 0) {
            NET_LISTENER &l = net_listeners[slot];
            l.used = 1;
            l.fd = fd;
            l.port = port;
            free(l.address);
            l.address = address && *address ? xstrdup(address) : nullptr;
            net_listen_pairs[slot].address.store(sa.sin_addr.s_addr);
            net_listen_pairs[slot].port.store(port);
        }
    }
    if (slot < 0) {
        if (fd >= 0)
            close(fd);
        putlog(LOG_NETWORK, "error: failed to bind to %.64s:%d", shown, port);
        errno = error;
        return -1;
    }
    putlog(LOG_NETWORK, "listening on %s:%d", shown, port);
    return slot;
}

void net_listen_closeall()
{
    MutexGuard guard(&net_listen_lock);
    for (NET_LISTEN_PAIR &pair : net_listen_pairs)
        pair.port.store(0);
    for (NET_LISTENER &l : net_listeners) {
        if (!l.used)
            continue;
        /* The shutdown wakes a thread polling the listener in net_accept. */
        (void)shutdown(l.fd, SHUT_RDWR);
        close(l.fd);
        l.used = 0;
        l.fd = -1;
        l.port = 0;
        free(l.address);
        l.address = nullptr;
    }
}

std::vector<std::string> net_listen_addresses()
{
    MutexGuard guard(&net_listen_lock);
    std::vector<std::string> out;
    for (const NET_LISTENER &l : net_listeners)
        if (l.used)
            out.push_back(l.address ? l.address : "");
    return out;
}

bool net_address_local(in_addr address)
{
    uint32_t host = ntohl(address.s_addr);
    if ((host >> 24) == 127 || host == INADDR_ANY)
        return true;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (struct ifaddrs *i = list; i && !found; i = i->ifa_next) {
        if (i->ifa_addr && i->ifa_addr->sa_family == AF_INET)
            found = ((struct sockaddr_in *)i->ifa_addr)->sin_addr.s_addr == address.s_addr;
    }
    freeifaddrs(list);
    return found;
}

bool net_listening_port(int port)
{
    if (port <= 0)
        return false;
    for (const NET_LISTEN_PAIR &pair : net_listen_pairs)
        if (pair.port.load() == port)
            return true;
    return false;
}

bool net_listening_on(in_addr address, int port)
{
    if (port <= 0)
        return false;
    bool wildcard = false;
    for (const NET_LISTEN_PAIR &pair : net_listen_pairs) {
        if (pair.port.load() != port)
            continue;
        uint32_t bound = pair.address.load();
        if (bound == htonl(INADDR_ANY))
            wildcard = true;
        else if (bound == address.s_addr || address.s_addr == htonl(INADDR_ANY))
            return true;   /* a connect to 0.0.0.0 reaches this host */
    }
    /* A listener on every address takes a connection to any of them. */
    return wildcard && net_address_local(address);
}

/* Whether an IPv4 literal, in any spelling the resolver takes (dotted
 * quad, one number, "127.1", hexadecimal or octal parts), is an address of
 * this machine. */
static bool net_local_literal(const char *host)
{
    struct in_addr want;
    return inet_aton(host, &want) == 1 && net_address_local(want);
}

/* Whether host names this proxy on the port its client came in on. */
static bool net_names_proxy(const CONNECTION_T *conn, const char *host)
{
    if (strcasecmp(host, "localhost") == 0 || (conn->interface && strcmp(host, conn->interface) == 0))
        return true;
    if (proxyhost[0] && strcasecmp(host, proxyhost) == 0)
        return true;
    if (general_section) {
        std::string name = general_section->hostname_get();
        if (!name.empty() && strcasecmp(host, name.c_str()) == 0)
            return true;
    }
    char own[256];
    if (gethostname(own, sizeof own) == 0) {
        own[sizeof own - 1] = '\0';
        if (strcasecmp(host, own) == 0)
            return true;
    }
    return net_local_literal(host);
}

bool net_addresses_proxy(const CONNECTION_T *conn, const char *host, int port)
{
    if (!host || !*host)
        return false;
    if (port == conn->port && net_names_proxy(conn, host))
        return true;
    /* Another listener of ours: the address the host stands for decides,
     * whatever its spelling. */
    if (!net_listening_port(port))
        return false;
    struct in_addr address;
    if (inet_aton(host, &address) != 1) {
        std::unique_ptr<HOSTENT, void (*)(HOSTENT *)> resolved(net_dns(host), hostent_free);
        if (!resolved || !resolved->addr)
            return false;
        memcpy(&address.s_addr, resolved->addr, 4);
    }
    return net_listening_on(address, port);
}

int net_listen_count()
{
    MutexGuard guard(&net_listen_lock);
    int count = 0;
    for (const NET_LISTENER &l : net_listeners)
        count += l.used ? 1 : 0;
    return count;
}

CONNECTION_T *net_accept(int timeout)
{
    struct pollfd fds[NET_LISTENERS];
    int slots[NET_LISTENERS];
    nfds_t count = 0;
    {
        MutexGuard guard(&net_listen_lock);
        for (int i = 0; i < NET_LISTENERS && net_listeners[i].used; i++) {
            fds[count].fd = net_listeners[i].fd;
            fds[count].events = POLLIN;
            fds[count].revents = 0;
            slots[count++] = i;
        }
    }
    int r = net_wait(fds, count, timeout < 0 ? -1 : timeout * 1000);
    if (r <= 0)
        return nullptr;

    for (nfds_t k = 0; k < count; k++) {
        if (!(fds[k].revents & POLLIN))
            continue;
        struct sockaddr_in peer;
        socklen_t peer_len = sizeof peer;
        int fd = -1;
        int port = 0;
        int error = 0;
        {
            /* The listener must still be the one polled: SIGHUP may have
             * closed it and its number may be in use again. */
            MutexGuard guard(&net_listen_lock);
            const NET_LISTENER &l = net_listeners[slots[k]];
            if (!l.used || l.fd != fds[k].fd)
                continue;
            port = l.port;
            /* Every wait on a client is a poll with a time limit: a
             * client that keeps its receive window shut must not hold a
             * worker inside send. The socket is non-blocking from the
             * accept on, for good. */
            fd = s_accept(l.fd, (struct sockaddr *)&peer, &peer_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
            error = errno;
        }
        if (fd < 0) {
            static LOG_RATE rate;   /* a shortage fails every accept: one line a second */
            long long suppressed = 0;
            if (error != ENOTSOCK && error != EAGAIN && error != EWOULDBLOCK &&
                log_rate_allow(&rate, &suppressed)) {
                if (suppressed > 0)
                    putlog(LOG_ADVICE,
                           "error: network: [system: accept:%d:%s], in %s, failed to accept a new connection "
                           "(%lld more since the last report)",
                           error, strerror(error), "net_accept", suppressed);
                else
                    putlog(LOG_ADVICE,
                           "error: network: [system: accept:%d:%s], in %s, failed to accept a new connection",
                           error, strerror(error), "net_accept");
            }
            continue;
        }
        CONNECTION_T *conn = connection_new();
        conn->client = new Socket(fd, SOCKET_MODE_NONBLOCKING);
        conn->port = port;
        char text[INET_ADDRSTRLEN] = "0.0.0.0";
        if (peer.sin_family == AF_INET)
            inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        conn->ip = xstrdup(text);
        conn->logentry.client = text;
        conn->logentry.address = text;
        struct sockaddr_in local;
        socklen_t local_len = sizeof local;
        if (getsockname(fd, (struct sockaddr *)&local, &local_len) == 0 && local.sin_family == AF_INET) {
            char here[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &local.sin_addr, here, sizeof here);
            conn->interface = xstrdup(here);
        } else {
            int e = errno;
            putlog(LOG_ERROR,
                   "error: network: [system: getsockname:%d:%s], in %s, problem in accepting a new connection",
                   e, strerror(e), "net_accept");
            conn->interface = xstrdup(text);
        }
        return conn;
    }
    return nullptr;
}

unsigned net_clientid_next()
{
    unsigned id = clientid;
    clientid++;
    if (clientid == 0)
        clientid = 1;
    return id;
}

void net_close(CONNECTION_T *conn)
{
    net_stat_closed();
    if (!conn)
        return;
    putlog(LOG_NETWORK, "%s disconnected after making %d requests", net_ip(conn), conn->requests);
    delete conn->client;
    conn->client = nullptr;
    delete conn->server;
    conn->server = nullptr;
    delete conn->pinned_server;   /* pinned to this client: goes with it */
    conn->pinned_server = nullptr;
    connection_free(conn);
}

/* ---- Connecting ---- */

int net_connect(const char *host, int port, in_addr local, int timeout)
{
    if (timeout < 0)
        timeout = NET_CONNECT_DEFAULT_TIMEOUT;
    if (!host || !*host || port <= 0 || port > 65535) {
        net_stat_connect(false);
        return NET_CONNECT_NO_HOST;
    }
    HOSTENT *resolved = net_dns(host);
    if (!resolved) {
        net_stat_dns_failure();
        net_stat_connect(false);
        return NET_CONNECT_NO_DNS;
    }
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    memcpy(&sa.sin_addr.s_addr, resolved->addr, 4);
    hostent_free(resolved);
    /* Whatever the name or spelling, an address and port this proxy
     * listens on would bring the request back to it. */
    if (net_listening_on(sa.sin_addr, port)) {
        net_stat_connect(false);
        return NET_CONNECT_LOOP;
    }

    int fd = s_socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        net_stat_connect(false);
        return NET_CONNECT_FAILED;
    }
    int on = 1;
    (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (RCV_BUF > 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &BLOCKSIZE, sizeof BLOCKSIZE);
    if (SND_BUF > 0)
        (void)setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &BLOCKSIZE, sizeof BLOCKSIZE);
    if (TCP_KEEPIDLE_TIME > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &TCP_KEEPIDLE_TIME, sizeof(int));
    if (TCP_KEEPINTVL_TIME > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &TCP_KEEPINTVL_TIME, sizeof(int));
    if (TCP_KEEPCNT_COUNTS > 0)
        (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &TCP_KEEPCNT_COUNTS, sizeof(int));

    if (local.s_addr != htonl(INADDR_ANY)) {
        struct sockaddr_in here;
        memset(&here, 0, sizeof here);
        here.sin_family = AF_INET;
        here.sin_addr = local;
        /* The port is chosen at the connect, so binding does not use up
         * the ephemeral ports of the address. */
        (void)setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &on, sizeof on);
        if (bind(fd, (struct sockaddr *)&here, sizeof here) != 0) {
            char text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &local, text, sizeof text);
            putlog(LOG_NETWORK, "error: failed to bind on %s for outgoing connection", text);
        }
    }

    bool ok = false;
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) == 0) {
        ok = true;
    } else if (errno == EINPROGRESS) {
        struct pollfd p = { fd, POLLOUT, 0 };
        int r = net_wait(&p, 1, timeout * 1000);
        int e = r == 0 ? ETIMEDOUT : errno;
        int pending = r > 0 ? net_sockopt_get(fd, SOL_SOCKET, SO_ERROR) : 0;
        if (r > 0 && pending > 0)
            putlog(LOG_ERROR, "network: outbound connection: getsockopt: %d:%s", pending, strerror(pending));
        else if (r <= 0 || (p.revents & (POLLERR | POLLHUP | POLLNVAL)) || pending < 0)
            putlog(LOG_ERROR, "network: outbound connection: poll[%d]: %d:%s", r, e, strerror(e));
        else
            ok = true;
    } else {
        int e = errno;
        putlog(LOG_ERROR, "network: outbound connection: connect: %d:%s", e, strerror(e));
    }
    if (!ok) {
        close(fd);
        net_stat_connect(false);
        return NET_CONNECT_FAILED;
    }

    /* The descriptor stays non-blocking: every later wait on the server
     * is a poll with a limit, and no transfer switches its mode. */
    net_stat_connect(true);
    return fd;
}

int net_connect(const char *host, int port, int timeout)
{
    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return net_connect(host, port, any, timeout);
}

int net_connect(const char *host, int port)
{
    return net_connect(host, port, NET_CONNECT_DEFAULT_TIMEOUT);
}

/* Waits for input on sock, and on other (the connection's other socket)
 * while its buffer is below the cap, so a hang-up or a request on the other
 * side is noticed. Fills p and *n; *ready is true when sock already holds
 * bytes, in which case the poll does not wait. Returns net_wait's result. */
static int net_wait_pair(Socket *sock, Socket *other, int timeout, struct pollfd p[2], nfds_t *n,
                         bool *ready)
{
    *n = 1;
    p[0] = { sock->fd, POLLIN, 0 };
    if (other && other->fd >= 0) {
        p[1] = { other->fd, (short)(other->read_length < NET_OTHER_BUFFER_MAX ? POLLIN : 0), 0 };
        *n = 2;
    }
    *ready = net_socket_ready(sock);
    return net_wait(p, *n, *ready ? 0 : timeout * 1000);
}

/* ---- Transfers ---- */

int net_filebuf_send(const Filebuf *buffer, CONNECTION_T *conn, int side)
{
    if (side == SIDE_CLIENT && (conn->flags & CONN_NOCLIENT))
        return 0;
    Socket *sock = net_side_socket(conn, side);
    if (!sock || !buffer)
        return -1;
    int timeout = net_ctimeout(conn);
    NetNoWait mode(sock);
    if (net_write(sock, buffer->data, buffer->size, timeout) < 0 || net_drain(sock, 0, timeout) < 0)
        return -1;
    return 0;
}

int64_t net_filebuf_send_chunked(const Filebuf *buffer, CONNECTION_T *conn, int side)
{
    if (side == SIDE_CLIENT && (conn->flags & CONN_NOCLIENT))
        return 0;
    Socket *sock = net_side_socket(conn, side);
    if (!sock || !buffer)
        return -1;
    int timeout = net_ctimeout(conn);
    NetNoWait mode(sock);
    int64_t piece = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    int64_t sent = 0;
    while (sent < buffer->size) {
        int64_t n = std::min(piece, buffer->size - sent);
        char line[32];
        int len = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)n);
        if (net_write(sock, line, len, timeout) < 0 || net_write(sock, buffer->data + sent, n, timeout) < 0 ||
            net_write(sock, "\r\n", 2, timeout) < 0)
            return -1;
        sent += n;
    }
    if (net_write(sock, "0\r\n\r\n", 5, timeout) < 0 || net_drain(sock, 0, timeout) < 0)
        return -1;
    return sent;
}

/* When the client went away while this request fills a cache object that
 * other readers wait for, releases the client and lets the fill go on.
 * True when the copy may continue. */
static bool net_drop_client(CONNECTION_T *conn, int side, Socket *other, NetNoWait *other_mode)
{
    if (side != SIDE_SERVER || !other || other != conn->client)
        return false;
    if (!(conn->flags & CONN_WRITING_CACHE) || !conn->cache || net_cache_references(conn->cache) <= 1)
        return false;
    putlog(LOG_ERROR, "network: [IP:%s] allowing transfer with no client to continue", net_ip(conn));
    /* The client cannot take what is still queued for it. */
    other_mode->forget();
    conn->client->close_wait_ms = 0;
    delete conn->client;
    conn->client = nullptr;
    conn->flags |= CONN_NOCLIENT;
    return true;
}

/* What the other socket's poll events (revents) mean for net_copy: its
 * input is buffered; a client that half-closed while the answer comes is
 * no longer watched (*ended); a loss ends the copy, unless the client may
 * be dropped from a cache fill. False when the copy must end. */
static bool net_copy_other(CONNECTION_T *conn, int side, bool relay, Socket *other, NetNoWait *other_mode,
                           short revents, bool *ended)
{
    int64_t got = (revents & POLLIN) ? other->Read(nullptr, -1, 0) : -1;
    if (got > 0)
        return true;
    if (got == 0 && side == SIDE_SERVER) {
        *ended = true;   /* a half-close: the client still takes the answer */
        return true;
    }
    if (got == 0 && !relay)
        return false;   /* the other side closed */
    if (relay)
        return net_drop_client(conn, side, other, other_mode);   /* closed or lost */
    putlog(LOG_ERROR, "network: [IP:%s] %s lost while reading data, system overloaded or network disrupted",
           net_ip(conn), net_side_name(1 - side));
    return false;
}

/* The one loop that moves a body off side's socket: len bytes, or with -1
 * until the peer closes. Each block is added to into (when given) and, when
 * relaying, written to the other socket. The socket is read first: a
 * block that is there already costs one read and no poll. Only when it has
 * nothing does the loop poll, and that wait also watches the other socket,
 * so that a client that goes away ends the wait rather than the time-out.
 * A client that only shut its sending side (a half-close) still
 * takes the answer: it is no longer watched. A body that moves fewer than
 * NET_PROGRESS_MIN_BYTES in a time-out window is cut off. *total counts the
 * bytes read. True when the body is complete. */
static bool net_copy(CONNECTION_T *conn, int side, int64_t len, Filebuf *into, bool relay,
                     NetNoWait *other_mode, int timeout, int64_t *total)
{
    Socket *sock = net_side_socket(conn, side);
    if (len == 0)
        return true;
    if (!sock || len < -1)
        return false;
    /* A body moves in blocks of up to 64 KiB: one read and one write per
     * block, where the socket's block size would take eight of each. Each
     * thread keeps its block: made and freed per body, the allocator would
     * give its pages back and fault them in again every time. */
    NET_BLOCK &block = net_copy_block();
    int64_t left = len;
    bool other_ended = false;   /* the client half-closed: no longer watched */
    bool read_first = sock->NonBlocking();
    NET_PROGRESS progress;      /* a body that crawls is cut off */
    net_progress_start(&progress, timeout);
    for (;;) {
        /* Looked up on every pass: the client may have been released. */
        Socket *other = net_other_socket(conn, side);
        Socket *watched = other_ended ? nullptr : other;
        int64_t want = left > 0 ? std::min(left, block.size) : block.size;
        int wait = net_progress_wait(&progress);

        /* Read first while input tends to be there already (and always
         * for buffered bytes): the poll, which also watches the other
         * side, only when the socket has nothing yet. */
        int64_t got = SOCKET_WOULD_BLOCK;
        if (read_first && (sock->read_length > 0 || sock->ReadFirst())) {
            if (!net_progress_moved(&progress, 0)) {
                net_progress_log(conn, side, &progress);
                return false;   /* a crawl */
            }
            got = sock->ReadNow(block.data, want);
        }
        if (got == SOCKET_WOULD_BLOCK) {
            struct pollfd p[2];
            bool ready = false;
            nfds_t n = 0;
            int r = net_wait_pair(sock, watched, wait, p, &n, &ready);
            if (r < 0 || (r == 0 && !ready) || !net_progress_moved(&progress, 0)) {
                net_progress_log(conn, side, &progress);
                return false;   /* a failed poll, the time-out or a crawl */
            }
            if (ready || (p[0].revents & POLLIN)) {
                got = read_first ? sock->ReadNow(block.data, want, true) : sock->Read(block.data, want, wait);
                if (got == SOCKET_WOULD_BLOCK)
                    continue;   /* an SSL record not complete yet */
            } else if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
                if (relay)
                    putlog(LOG_ERROR, "network: [IP:%s] %s socket lost while transferring data between sockets",
                           net_ip(conn), net_side_name(side));
                else
                    putlog(LOG_ERROR, "network: [IP:%s] %s lost while reading data, system overloaded or network disrupted",
                           net_ip(conn), net_side_name(side));
                return false;
            } else {
                if (n == 2 && p[1].revents &&
                    !net_copy_other(conn, side, relay, other, other_mode, p[1].revents, &other_ended))
                    return false;
                continue;
            }
        }

        if (got == 0)
            return left == -1;   /* the peer closed */
        if (got < 0)
            return false;
        (void)net_progress_moved(&progress, got);
        *total += got;
        if (into && into->Add(block.data, got) != FILEBUF_OK)
            return false;
        other = net_other_socket(conn, side);
        if (relay && other && net_write(other, block.data, got, timeout) < 0 &&
            !net_drop_client(conn, side, other, other_mode))
            return false;
        if (left > 0) {
            left -= got;
            if (left == 0)
                return true;
        }
    }
}

int net_filebuf_read(Filebuf *buffer, CONNECTION_T *conn, int side, int64_t len)
{
    Socket *sock = net_side_socket(conn, side);
    bool complete = len == 0;
    if (sock && len >= -1 && len != 0) {
        NetNoWait mode(sock);
        NetNoWait other_mode(net_other_socket(conn, side));
        int64_t total = 0;
        complete = net_copy(conn, side, len, buffer, false, &other_mode, net_ctimeout(conn), &total);
    }
    if (complete)
        return 1;
    conn->flags |= CONN_TRANSFER_FAILED;
    return 0;
}

int64_t net_transfer(CONNECTION_T *conn, int side, int64_t len)
{
    Socket *sock = net_side_socket(conn, side);
    int64_t total = 0;
    int timeout = net_ctimeout(conn);
    NetNoWait mode(sock);
    NetNoWait other_mode(sock ? net_other_socket(conn, side) : nullptr);
    bool complete = net_copy(conn, side, len, nullptr, true, &other_mode, timeout, &total);
    Socket *other = sock ? net_other_socket(conn, side) : nullptr;
    if (other && net_drain(other, 0, timeout) < 0 && !net_drop_client(conn, side, other, &other_mode))
        complete = false;
    if (!complete) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "network: transfer failed");
        conn->flags |= CONN_TRANSFER_FAILED;
    }
    return total;
}

/* Passes a half-close on once nothing is queued for to: its sending side
 * is shut, so its peer reads the end. An SSL socket is left alone:
 * shutting its descriptor would cut the TLS stream. */
static void net_pass_close(Socket *to)
{
    if (!to->ssl_active && to->fd >= 0)
        (void)shutdown(to->fd, SHUT_WR);
}

int net_tunnel_idle(CONNECTION_T *conn)
{
    if (net_tunnel_idle_seconds > 0)
        return net_tunnel_idle_seconds;
    int timeout = general_section ? general_section->timeout_get(conn) : 0;
    if (timeout <= 0)
        return NET_TUNNEL_IDLE_DEFAULT;
    /* Kept within what poll's millisecond argument can hold. */
    const int most = INT_MAX / 1000 / NET_TUNNEL_IDLE_FACTOR;
    return std::min(timeout, most) * NET_TUNNEL_IDLE_FACTOR;
}

/*
 * Both directions move independently: a block is read from one end only
 * while the other end's output queue has room for it, and queued output
 * goes out whenever its end can take it. So no write ever waits, and a
 * peer that stops reading while it writes (a relay that sends with
 * blocking calls, as simple SOCKS servers do) holds up only its own
 * direction, never the whole tunnel. The idle limit counts from the last
 * byte that moved either way.
 */
int64_t net_proxy(CONNECTION_T *conn, int64_t limit)
{
    Socket *client = conn->client;
    Socket *server = conn->server;
    if (!client || !server || limit == 0)
        return 0;
    int idle = net_tunnel_idle(conn);
    NetNoWait client_mode(client);
    NetNoWait server_mode(server);
    NET_BLOCK block;
    Socket *ends[2] = { client, server };
    bool open[2] = { true, true };    /* input still expected from the end */
    bool shut[2] = { false, false };  /* the end's sending side is done */
    const char *lost[2] = { "network: [IP:%s] active client socket lost while trying to make a connection",
                            "network: [IP:%s] active outgoing socket lost while trying to make a connection" };
    int64_t total = 0;
    bool failed = false;
    int64_t deadline = monotonic_ms() + (int64_t)idle * 1000;

    for (;;) {
        for (int k = 0; k < 2; k++) {
            /* The other end's input ended and all of it went out. */
            if (!open[1 - k] && !shut[k] && ends[k]->write_length == 0) {
                net_pass_close(ends[k]);
                shut[k] = true;
            }
        }
        if (failed || (limit > 0 && total >= limit) || (!open[0] && !open[1] && shut[0] && shut[1]))
            break;

        struct pollfd p[2];
        bool can_read[2];
        bool ready[2];
        int64_t room[2];
        for (int k = 0; k < 2; k++) {
            room[k] = SOCKET_WRITE_QUEUE_LIMIT - ends[1 - k]->write_length;
            can_read[k] = open[k] && room[k] >= std::min(block.size, SOCKET_WRITE_QUEUE_LIMIT);
            ready[k] = can_read[k] && net_socket_ready(ends[k]);
            short events = (short)((can_read[k] ? POLLIN : 0) | (ends[k]->write_length > 0 ? POLLOUT : 0));
            /* An end with nothing to do is left out, so that its hang-up
             * does not wake the poll again and again. */
            p[k] = { events ? ends[k]->fd : -1, events, 0 };
        }
        bool any_ready = ready[0] || ready[1];
        int64_t left_ms = std::max<int64_t>(deadline - monotonic_ms(), 0);
        int r = net_wait(p, 2, any_ready ? 0 : (int)std::min<int64_t>(left_ms, INT_MAX));
        if (r < 0)
            break;
        if (r == 0 && !any_ready) {
            if (monotonic_ms() < deadline)
                continue;
            putlog(LOG_NETWORK, "network: [IP:%s] tunnel idle for %d seconds, closed", net_ip(conn), idle);
            break;
        }

        bool moved = false;
        for (int k = 0; k < 2 && !failed; k++) {
            Socket *end = ends[k];
            Socket *to = ends[1 - k];
            short ev = p[k].revents;
            if (ev & POLLOUT) {
                if (end->Write(nullptr, -1) < 0) {
                    failed = true;
                    break;
                }
                moved = true;
            }
            if (can_read[k] && (ready[k] || (ev & POLLIN))) {
                int64_t want = std::min(block.size, room[k]);
                if (limit > 0)
                    want = std::min(want, limit - total);
                int64_t got = end->Read(block.data, want, idle);
                /* Once our side of end is shut, its peer's end also shows
                 * as a hang-up: that is its close, not a failure. */
                if (got == 0 || (got < 0 && shut[k])) {
                    open[k] = false;   /* a half-close: the other direction goes on */
                } else if (got < 0 || to->Write(block.data, got) < 0) {
                    failed = true;
                } else {
                    total += got;
                    moved = true;
                }
            } else if (ev & (POLLERR | POLLHUP | POLLNVAL)) {
                if (open[k] || end->write_length > 0) {
                    /* With its input done, its hang-up still means its
                     * peer can no longer take data. */
                    putlog(LOG_ERROR, lost[k], net_ip(conn));
                    failed = true;
                } else {
                    shut[k] = true;   /* gone both ways, owed nothing */
                }
            }
        }
        if (moved)
            deadline = monotonic_ms() + (int64_t)idle * 1000;
    }
    if (!failed) {
        (void)net_drain(client, 0, idle);
        (void)net_drain(server, 0, idle);
    }
    return total;
}

/* ---- The network section ---- */

/* The fields of an entry of the list listen, by position. */
static const FieldDecl network_listen_fields[] = {
    {  0, "enabled", FIELD_BOOL },
    {  1, "comment", FIELD_STRING },
    {  2, "port",    FIELD_INT },
    {  3, "address", FIELD_STRING },
};

/* The fields of an entry of the list interface, by position. */
static const FieldDecl network_interface_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "address",  FIELD_STRING },
};

NetworkSection *network_section = nullptr;

NetworkSection::NetworkSection() : Section("network", SECTION_RWLOCK)
{
    list_require(0, "listen", network_listen_fields, std::size(network_listen_fields));
    list_require(1, "interface", network_interface_fields, std::size(network_interface_fields));
}

void NetworkSection::update()
{
    listens.clear();
    interfaces.clear();
    for (const Item &item : subsections[0].items) {
        const FieldVector &f = item.fields;
        Listen l;
        l.enabled = f[0].value;
        l.comment = f[1].text;
        l.port = f[2].value;
        l.address = f[3].text;
        listens.push_back(l);
    }
    for (const Item &item : subsections[1].items) {
        const FieldVector &f = item.fields;
        Interface i;
        i.enabled = f[0].value;
        i.comment = f[1].text;
        i.profiles = f[2].list;
        i.address = f[3].text;
        i.valid = inet_pton(AF_INET, i.address.c_str(), &i.parsed) == 1;
        if (!i.valid && i.enabled)
            putlog(LOG_ERROR, "network: interface address \"%.64s\" is not an IPv4 address, entry not used",
                   i.address.c_str());
        interfaces.push_back(i);
    }
}

int NetworkSection::check(std::string *failure)
{
    std::vector<Listen> wanted;
    if (listen_port > 0) {
        /* -L names the one listener of this run. */
        Listen l;
        l.enabled = 1;
        l.port = listen_port;
        l.address = listen_address;
        wanted.push_back(l);
        putlog(LOG_NETWORK, "listening on %s:%d as given with -L, in place of the listen entries",
               listen_address, listen_port);
    } else {
        SectionReadGuard guard(*this);
        for (const Listen &l : listens)
            if (l.enabled == 1 && l.port != -1)
                wanted.push_back(l);
    }
    int opened = 0;
    for (const Listen &l : wanted) {
        if (net_listen(l.port, l.address.c_str()) >= 0) {
            opened++;
        } else if (failure && failure->empty()) {
            *failure = (l.address.empty() ? std::string("0.0.0.0")
                                           : log_text(l.address, XML_LOG_TEXT_MAX)) +
                       ":" + std::to_string(l.port) + ": " + strerror(errno);
        }
    }
    return opened;
}

in_addr NetworkSection::interface_lookup(CONNECTION_T *conn)
{
    in_addr result;
    result.s_addr = htonl(INADDR_ANY);
    SectionReadGuard guard(*this);
    for (const Interface &i : interfaces) {
        if (i.enabled && i.valid && profile_find(conn->profiles, i.profiles)) {
            result = i.parsed;
            break;
        }
    }
    return result;
}

in_addr NetworkSection::interface_select(CONNECTION_T *conn)
{
    in_addr result = interface_lookup(conn);
    if (result.s_addr != htonl(INADDR_ANY)) {
        char text[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &result, text, sizeof text);
        putlog(LOG_NETWORK, "[IP:%s] binding outgoing connection to %s", net_ip(conn), text);
    }
    return result;
}
