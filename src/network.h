#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

class Filebuf;
class Socket;
struct CACHEMAP;
struct CONNECTION_T;

/* The listener table's size. */
#define NET_LISTENERS 20
/* While a transfer waits on one socket, the other socket's input is read
 * into its own buffer up to this many bytes; past it that socket is only
 * watched for hang-up. */
#define NET_OTHER_BUFFER_MAX ((int64_t)65536)
/* The connect time-out when the caller gives none: the general rule's
 * default. */
#define NET_CONNECT_DEFAULT_TIMEOUT 60
/* A tunnel's idle limit, in seconds, when no general rule gives a
 * time-out. */
#define NET_TUNNEL_IDLE_DEFAULT 600
/* A tunnel carries long-lived traffic (WebSocket, long polling) that is
 * quiet for much longer than a request waits for its answer: its idle limit
 * is this many times the general rule's time-out. */
#define NET_TUNNEL_IDLE_FACTOR 10

/* Results of net_connect besides a descriptor (0 or more). */
enum net_connect_result {
    NET_CONNECT_NO_HOST = -1,   /* no host, or a port of 0 or less */
    NET_CONNECT_FAILED = -2,    /* the socket or the connect failed */
    NET_CONNECT_NO_DNS = -3,    /* the host did not resolve */
    NET_CONNECT_LOOP = -5,      /* the address and port are a listener of this proxy */
};

/* One slot of the listener table. */
struct NET_LISTENER {
    int used;        /* 1: a listening socket is open here */
    int fd;
    int port;        /* host order */
    char *address;   /* owned, or NULL for every local address */
};

/* When above 0, how long every tunnel (net_proxy) may stay without
 * traffic in either direction, in seconds, in place of the connection's
 * own limit (net_tunnel_idle); 0, the start value, leaves each tunnel its
 * own. */
extern int net_tunnel_idle_seconds;

/* The read and the connect time-out of conn's general rule, in seconds; a
 * rule without a positive one gets the default. The connect time-out also
 * bounds every wait of the transfer loops. */
int net_timeout(CONNECTION_T *conn);
int net_ctimeout(CONNECTION_T *conn);

/* Makes sure a socket's descriptor is non-blocking for a scope, so that no
 * send or receive of the Socket waits outside our polls. The proxy's own
 * sockets are non-blocking for good, and then this costs nothing; a
 * blocking one gets its mode back at the end of the scope, unless the
 * socket was given up. */
class NetNoWait {
public:
    explicit NetNoWait(Socket *sock);
    ~NetNoWait();
    NetNoWait(const NetNoWait &) = delete;
    NetNoWait &operator=(const NetNoWait &) = delete;

    /* The socket is about to be deleted: leave its descriptor alone. */
    void forget() { held = nullptr; }

private:
    Socket *held;
    bool restore;   /* it was blocking: switch it back */
};

/* Writes len bytes through the socket's queue. Each piece is handed over
 * only when the queue has room for all of it, so Write never waits by
 * itself; the waits for room are bounded by timeout seconds. Returns 0, or
 * -1 on a failure or time-out. The socket is in NetNoWait mode. */
[[nodiscard]] int net_write(Socket *sock, const char *bytes, int64_t len, int timeout);

/* Pushes queued output until at most keep bytes remain, each wait for the
 * peer bounded by timeout seconds. Returns 0, or -1 on a failure, a lost
 * peer or a time-out. */
[[nodiscard]] int net_drain(Socket *sock, int64_t keep, int timeout);

/* Reads exactly len bytes before deadline_ms (monotonic). False on a
 * time-out, a close or an error. */
[[nodiscard]] bool net_read_exact(Socket *sock, unsigned char *area, int64_t len, int64_t deadline_ms);
/* A body that moves fewer than this many bytes in one time-out window is
 * cut off: a peer that sends a byte just inside each time-out must not
 * hold a worker for ever. */
#define NET_PROGRESS_MIN_BYTES 1024

/* The progress of one body transfer, counted in windows of window_ms. */
struct NET_PROGRESS {
    int64_t window_start_ms;   /* monotonic start of the current window */
    int64_t window_bytes;      /* bytes moved in it */
    int64_t window_ms;         /* the time-out, in milliseconds */
};

/* Starts the first window of timeout_seconds (at least 1). */
void net_progress_start(NET_PROGRESS *progress, int timeout_seconds);
/* Counts n bytes moved (n may be 0). Returns false when a window ended
 * with fewer than NET_PROGRESS_MIN_BYTES moved in it: the transfer is to
 * be cut off. A window that ended with enough starts the next one. */
bool net_progress_moved(NET_PROGRESS *progress, int64_t n);
/* How long the next wait may take, in seconds: the whole time-out once
 * the window has moved enough, else what is left of it, rounded up, at
 * least 1. */
int net_progress_wait(const NET_PROGRESS *progress);

/* The number of references of a cache object, asked when a client goes
 * away during a cache fill: with more than one, other readers wait for the
 * object and the fill goes on without the client. The cache installs its
 * real count here; the default knows no cache and answers 0. */
extern int (*net_cache_references)(CACHEMAP *object);

/* Listeners. */

/* Marks every listener slot free; run once at start-up. */
void net_init();

/* Opens a listening socket on address (a dotted quad; NULL or "" for every
 * local address) and port in the first free slot, tuning it and BLOCKSIZE
 * from the socket buffer sizes. Returns the slot index, or -1 after
 * "error: failed to bind to %s:%d" with errno telling why. */
int net_listen(int port, const char *address);

/* Closes every listener and frees its slot. A thread waiting in net_accept
 * wakes and finds nothing to accept. */
void net_listen_closeall();

/* The number of open listeners. */
int net_listen_count();

/* The address of each open listener ("" for one on every address). */
std::vector<std::string> net_listen_addresses();

/* Whether address (network order) reaches this machine: 0.0.0.0, a
 * loopback address, or an address of one of its interfaces. */
bool net_address_local(in_addr address);

/* Whether some open listener has this port. */
bool net_listening_port(int port);

/* Whether a connection to address (network order) and port would reach an
 * open listener of this proxy: one bound to that address, or to every
 * local address when address is one of this machine's. Reads a copy of
 * the listener table kept in atomics, without a lock. */
bool net_listening_on(in_addr address, int port);

/* Whether host:port names this proxy itself for a client on conn: port is
 * the connection's listening port and host is "localhost", the proxy's
 * host name, the local address of the connection, or an address of this
 * machine in any numeric spelling; or port is another listener's and the
 * address host stands for (a number in any spelling, else resolved) is one
 * that listener takes (net_listening_on). */
bool net_addresses_proxy(const CONNECTION_T *conn, const char *host, int port);

/* Waits up to timeout seconds (-1: for ever) for a client on any listener
 * and accepts at most one. Returns a new connection (client, port, ip,
 * interface and the log entry's client set; the caller numbers it and owns
 * it) or NULL. */
CONNECTION_T *net_accept(int timeout);

/* The next client id: the global counter's value, which then advances,
 * skipping 0 when it wraps. Main thread only. */
unsigned net_clientid_next();

/* Ends a client connection: logs it, deletes its sockets and frees the
 * record. NULL is allowed. */
void net_close(CONNECTION_T *conn);

/* Connecting. */

/* Opens a TCP connection to host (a name or a dotted quad) and port from
 * the local address (INADDR_ANY: any), waiting at most timeout seconds
 * (below 0: NET_CONNECT_DEFAULT_TIMEOUT). An address and port that one of
 * this proxy's listeners takes (net_listening_on) is never connected:
 * NET_CONNECT_LOOP. Returns a non-blocking descriptor (wrap it as
 * SOCKET_MODE_NONBLOCKING), or a net_connect_result. */
[[nodiscard]] int net_connect(const char *host, int port, in_addr local, int timeout);
[[nodiscard]] int net_connect(const char *host, int port, int timeout);
[[nodiscard]] int net_connect(const char *host, int port);

/* Transfers. Every wait for a peer in these is bounded by the connection's
 * connect time-out (the general rule's ctimeout), net_proxy's by
 * net_tunnel_idle. Data moves in blocks of BLOCKSIZE through a buffer on
 * the heap. */

/* The idle limit of conn's tunnel in seconds: net_tunnel_idle_seconds when
 * above 0, else NET_TUNNEL_IDLE_FACTOR times the time-out of conn's general
 * rule (NET_TUNNEL_IDLE_DEFAULT without a rule or section). Always 1 or
 * more. */
int net_tunnel_idle(CONNECTION_T *conn);

/* Writes the whole buffer to the side's socket and flushes it. Returns the
 * buffer's size; 0 with nothing sent for SIDE_CLIENT with CONN_NOCLIENT;
 * -1 without a socket, on a write failure or when the peer takes nothing
 * for the time-out. */
[[nodiscard]] int net_filebuf_send(const Filebuf *buffer, CONNECTION_T *conn, int side);

/* Sends the buffer with chunked framing: pieces of at most BLOCKSIZE bytes,
 * each as "%x\r\n", the bytes and "\r\n", then "0\r\n\r\n", flushed.
 * Returns the body bytes sent; fewer than the buffer's size when a write
 * failed (the last chunk is then not sent). 0 for SIDE_CLIENT with
 * CONN_NOCLIENT, nothing sent. */
int64_t net_filebuf_send_chunked(const Filebuf *buffer, CONNECTION_T *conn, int side);

/* Reads len bytes, or until the peer closes for len -1, from the side's
 * socket, appending them to buffer when one is given. Meanwhile the other
 * socket's input is buffered (up to NET_OTHER_BUFFER_MAX) and its loss
 * ends the read. Returns 1 when complete (all len bytes; for -1 a clean
 * close by the peer), else 0 with CONN_TRANSFER_FAILED set: a time-out, a
 * lost or reset socket, a peer that closed before len bytes, the other side
 * closing, or a buffer that refused to grow. */
[[nodiscard]] int net_filebuf_read(Filebuf *buffer, CONNECTION_T *conn, int side, int64_t len);

/* Copies len bytes, or until close for -1, from the side's socket to the
 * other socket (when there is one), the side's read observers seeing every
 * block. When the client goes away while the request fills a cache object
 * that other readers wait for, the client socket is deleted, CONN_NOCLIENT
 * set, and the copy goes on. A copy that does not complete (fewer bytes, a
 * time-out, a reset, a failed write) sets CONN_TRANSFER_FAILED. Returns the
 * bytes read. */
int64_t net_transfer(CONNECTION_T *conn, int side, int64_t len);

/* Relays both directions between client and server until both are done
 * or limit bytes (both directions together; -1 none) have passed. Bytes
 * already buffered in either Socket go first. Each direction moves as its
 * receiver takes it, with at most SOCKET_WRITE_QUEUE_LIMIT bytes queued
 * toward each side, so a peer that stops reading stalls only the bytes
 * meant for it. A side that half-closes has its end passed on once its
 * bytes are out, and the other direction goes on to its end. Ends on a
 * lost socket or net_tunnel_idle(conn) seconds without a byte moving.
 * Returns the bytes relayed. */
int64_t net_proxy(CONNECTION_T *conn, int64_t limit);

/* Pushes sock's pending output, each wait for the peer bounded by timeout
 * seconds. Returns 0, or -1 on a failure or time-out. */
[[nodiscard]] int net_socket_flush(Socket *sock, int timeout);

/* One listen entry. */
struct Listen {
    int enabled = 0;
    std::string comment;
    int port = -1;
    std::string address;
};

/* One outgoing-address entry. */
struct Interface {
    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string address;
    in_addr parsed{};    /* address converted at update */
    bool valid = false;  /* the address is a dotted quad */
};

/* The listening addresses and the local addresses of outgoing connections
 * (section "network"). */
class NetworkSection : public Section {
public:
    NetworkSection();

    /* Rebuilds the listen and interface lists from the entries, in
     * configuration order; an interface address that is not a dotted quad
     * is logged and its entry never chosen. Called with the write lock
     * held. */
    void update() override;

    /* Opens a listener for every enabled listen entry whose port is not -1,
     * in list order, or only the one -L names. Called once at start-up. Returns the number opened;
     * with failure, the first entry that could not be opened is described
     * there ("address:port: reason"), which start-up treats as fatal. */
    int check(std::string *failure = nullptr);

    /* The local address for conn's outgoing connections: the address of the
     * first enabled interface entry whose profiles match conn's (logged),
     * else INADDR_ANY. */
    in_addr interface_select(CONNECTION_T *conn);

    /* Like interface_select without the log line. */
    in_addr interface_lookup(CONNECTION_T *conn);

private:
    std::vector<Listen> listens;
    std::vector<Interface> interfaces;
};

/* The one instance, created by sections_create. */
extern NetworkSection *network_section;
