#pragma once

#include <pthread.h>

#include <cstdint>
#include <vector>

#include "atom.h"

class Filebuf;
struct ssl_st;
struct ssl_ctx_st;

/* Buffers grow in steps of this many bytes, and an emptied buffer keeps up
 * to one step allocated. */
#define SOCKET_BUFFER_STEP 65536
/* PutSock formats into an area of this size: at most 8191 characters. */
#define SOCKET_FORMAT_AREA 8192
/* The longest line GetLine accepts, newline included. Longer lines are
 * truncated for the caller anyway; past this the peer is taken to be
 * flooding us and the call fails. */
#define SOCKET_LINE_LIMIT ((int64_t)1 << 20)
/* A fill (Read with length -1) refuses to add to a read buffer already
 * holding this much: a peer cannot make us buffer without end while we
 * wait for the other side. */
#define SOCKET_READ_BUFFER_LIMIT ((int64_t)4 << 20)
/* The most output a socket queues. A Write that would queue more waits
 * while the queue drains, so a throttled transfer holds at most this much
 * of the body in memory and its reader waits. */
#define SOCKET_WRITE_QUEUE_LIMIT ((int64_t)65536)
/* How long the destructor tries to deliver pending output (and the SSL
 * close) before it closes anyway. */
#define SOCKET_CLOSE_WAIT_MS 10000
/* How long Write and Flush wait for a peer that takes no output. */
#define SOCKET_WRITE_WAIT_MS 60000
/* Of that, how long the SSL close waits for the peer's close alert. */
#define SOCKET_SSL_SHUTDOWN_WAIT_MS 1000
/* The pacing window of a LimitGroup. */
#define LIMIT_WINDOW_MS 100

/* What a socket knows of its descriptor's blocking mode. */
enum socket_mode {
    SOCKET_MODE_UNKNOWN = -1,       /* asked of the descriptor once, when first needed */
    SOCKET_MODE_BLOCKING = 0,
    SOCKET_MODE_NONBLOCKING = 1,
};

/* ReadNow: nothing has arrived yet. */
#define SOCKET_WOULD_BLOCK ((int64_t)-2)
/* While reads that were tried first find nothing, waits poll first; every
 * this many of them reads first all the same, to notice input coming ahead
 * again. */
#define SOCKET_READ_FIRST_RETRY 8

/* How one read goes about the descriptor (Socket::plan_read). */
struct SocketReadPlan {
    bool nonblocking;   /* the descriptor is non-blocking */
    bool read_first;    /* read before any poll */
    bool learn;         /* that read teaches ReadFirst */
    bool probe;         /* an empty read asks for a hang-up */
};

/* Observer events, one bit each; an observer's mask selects them. */
enum {
    SOCKET_EVENT_READ = 1,      /* Read delivered bytes: (count, caller's area) */
    SOCKET_EVENT_WRITTEN = 2,   /* Write took data: (length given, caller's bytes) */
    SOCKET_EVENT_ERROR = 4,     /* a read or write failed: (-1, NULL) */
};

/* The two buffers and rate groups of a socket. */
enum socket_side {
    SOCKET_SIDE_READ = 0,
    SOCKET_SIDE_WRITE = 1,
};

/* Encrypt modes; only the client handshake exists. */
enum {
    SOCKET_SSL_CLIENT = 1,
};

/* How many bytes one side may move now: everything, or a count of at least
 * one byte. */
struct ALLOWANCE {
    bool unlimited;
    int64_t bytes;   /* read only when not unlimited */
};

/* An observer's function: gets the observer's data, a length and the bytes
 * (see the events). Returning -1 stops the event: later observers are not
 * called, and a Read reports failure. */
typedef int (*socket_callback_fn)(void *data, int64_t len, const char *bytes);

/* One observer of a socket. */
struct SocketCallBack {
    socket_callback_fn callback;
    int id;
    int mask;     /* SOCKET_EVENT_* bits it wants; 0 once removed mid-event */
    void *data;   /* the caller's, never owned */
};

/*
 * A bandwidth share: bytes per second for every socket given it, paced in
 * 100 ms windows of rate / 10 bytes. A rate below 10 gives no quota and so
 * no limit. Shared by the sockets and the limit rule that made it; the Atom
 * count (an atomic) decides who deletes it.
 */
class LimitGroup : public Atom {
public:
    explicit LimitGroup(uint64_t rate_bytes);
    ~LimitGroup() override;
    LimitGroup(const LimitGroup &) = delete;
    LimitGroup &operator=(const LimitGroup &) = delete;

    /* Under the lock, adds n (a byte count, not negative) to used, which
     * saturates at INT64_MAX; returns the new value. */
    int64_t Incr(int64_t n);

    /* What one socket of the group may move now. Waits, holding the lock so
     * that every socket of the group waits, when the window's quota is
     * spent; then starts the next window. Unlimited for a group without a
     * quota. */
    ALLOWANCE Pace();

    /* The group's mutex, for guard objects. */
    void Lock();
    void Unlock();

    uint64_t rate;                /* bytes per second */
    int64_t used;                 /* bytes counted in the current window */
    int64_t quota;                /* bytes per window: rate / 10 */
    bool unlimited;               /* no quota: the group limits nothing */
    int64_t window_start_us;      /* monotonic start of the current window */
    pthread_mutex_t lock;         /* guards used and window_start_us */
};

/*
 * One connected descriptor, optionally running SSL, with a read buffer of
 * bytes received but not yet taken, a queue of output not yet written, byte
 * counters, rate groups and observers. Owned by whoever holds the pointer;
 * used by one thread at a time.
 */
class Socket {
public:
    /* Wraps a connected descriptor, which the socket then owns and closes.
     * Buffers empty, counters 0, no SSL, no limits, no observers. mode
     * tells the descriptor's blocking mode when the caller knows it (a
     * socket made or accepted non-blocking); unknown, it is asked once. */
    explicit Socket(int fd, int mode = SOCKET_MODE_UNKNOWN);
    /* A socket without a descriptor (fd -1). */
    Socket();
    /* Delivers pending output and closes SSL, within close_wait_ms in all;
     * closes the descriptor, frees the buffers, releases the rate groups and
     * adds the byte counts to the process totals. Reports nothing to
     * observers. */
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    /* Clears (true) or sets (false) the descriptor's non-blocking flag;
     * returns the fcntl result (-1 on failure). The socket keeps track of
     * the mode, so asking for the mode it already has costs no system
     * call. The descriptor's flags are only ever changed through here. */
    [[nodiscard]] int Blocking(bool on);

    /* True when the descriptor is non-blocking (asked of it only the first
     * time). Reads on such a socket try the descriptor first and poll only
     * when it has nothing: no poll before input that is already there. */
    bool NonBlocking();

    /* Whether a read that would wait for input should try the descriptor
     * before it polls: true on a non-blocking socket while such reads find
     * input there already; once one found nothing, false (a poll first,
     * then one read: no empty read where input only comes after a wait),
     * except every SOCKET_READ_FIRST_RETRY-th time. False on a blocking
     * socket. A caller that polls by itself asks this, then ReadNow. */
    bool ReadFirst();

    /* Puts read and write in place of the current groups (each takes a
     * reference; the old ones are released). NULL removes a limit. */
    void SetRate(LimitGroup *read, LimitGroup *write);

    /* Mode SOCKET_SSL_CLIENT: the SSL client handshake toward the server
     * host (a name, or an IPv4 or IPv6 address literal, IPv6 possibly in
     * brackets). A name is sent as the server name (SNI) and must match the
     * certificate; an address literal sends no name and must match one of
     * the certificate's addresses. The chain must lead to a CA of the
     * system's store (OpenSSL's default paths; SSL_CERT_FILE and
     * SSL_CERT_DIR override them). A refused certificate is logged.
     * timeout_seconds bounds the handshake (-1: no limit). The descriptor
     * is left non-blocking, so every later read and write waits by poll
     * within its own time limit. Returns 1 with SSL active; 0 for another
     * mode, a missing host or any failure, leaving a plain socket. */
    [[nodiscard]] int Encrypt(int mode, const char *host, int timeout_seconds = -1);

    /* Writes len bytes (-1: only pushes pending output). Output already
     * pending goes first; with none, what the write group allows is written
     * at once. The rest is queued; when the queue would pass
     * SOCKET_WRITE_QUEUE_LIMIT the call waits (pacing by the group) until it
     * fits. Reports SOCKET_EVENT_WRITTEN with (len, bytes) when the data is
     * taken, SOCKET_EVENT_ERROR on a failed write. Returns the bytes of this
     * call written at once (for -1: pending bytes written), or -1 after a
     * write error, when nothing more is queued. */
    [[nodiscard]] int64_t Write(const char *bytes, int64_t len);

    /* Writes pending output until none is left. Returns 0, or -1 when a
     * write failed (the rest stays queued). */
    int Flush();

    /* Queues len bytes without writing them, so that they leave with the
     * next Write in one system call (a response header with the start of
     * its body); Write or Flush sends them. */
    void Hold(const char *bytes, int64_t len);

    /* Write of the whole buffer, then Flush; returns the Write result. */
    [[nodiscard]] int64_t WriteFilebuf(const Filebuf *buffer);

    /* printf into a SOCKET_FORMAT_AREA area, then Write of the text without
     * its NUL (at most 8191 characters). Returns the Write result. */
    [[nodiscard]] int64_t PutSock(const char *format, ...) __attribute__((format(printf, 2, 3)));

    /* Delivers up to len bytes into area: the buffered ones, and one block
     * from the descriptor (what the read group allows, at most BLOCKSIZE)
     * when none are buffered or when more input is ready now; a surplus is
     * buffered. With nothing buffered and timeout not -1, waits up to
     * timeout seconds for input. A non-blocking descriptor is read first
     * and polled only when it has nothing yet; a blocking one is polled
     * first, so no read waits without the limit. Returns the count
     * delivered (reported as SOCKET_EVENT_READ), 0 at end of stream, -1 on
     * a time-out, error or hang-up without data, or when an observer
     * returned -1 (the bytes are in area all the same).
     * len -1 fills: one block is added to the read buffer and its count
     * returned, without reports; refused (-1) when the buffer already holds
     * SOCKET_READ_BUFFER_LIMIT bytes. */
    [[nodiscard]] int64_t Read(char *area, int64_t len, int timeout = -1);

    /* Read that never waits: delivers what is buffered and what the
     * descriptor holds now. Returns as Read does, or SOCKET_WOULD_BLOCK
     * when nothing has arrived yet (nothing buffered, the stream still
     * open). With len -1 it fills, as Read does. polled: the caller's own
     * poll has just seen input, so the read does not teach ReadFirst. */
    [[nodiscard]] int64_t ReadNow(char *area, int64_t len, bool polled = false);

    /* Reads one line, newline included (a carriage return before it stays).
     * A line shorter than size goes into area with a NUL and its length is
     * returned. From size bytes on, area gets the first size - 1 and a NUL,
     * the result is size, and the rest of the line is read and dropped as
     * it arrives, so memory does not grow with the line. Without an area
     * (size -1) the line is dropped; the result is then the count of the
     * last block read, or 0 when it was buffered already. timeout (seconds,
     * -1 none) covers the whole call. Returns 0 at end of stream before a
     * newline (an overlong line ended by the stream gives size), -1 on an
     * error, a time-out, a line over SOCKET_LINE_LIMIT bytes, or a size of 0
     * or below -1. Reports nothing to observers. */
    [[nodiscard]] int64_t GetLine(char *area, int64_t size, int timeout = -1);

    /* Puts len bytes in front of the read buffer, to be delivered first.
     * Returns the previous read_length. */
    int64_t PushFront(const char *bytes, int64_t len);

    /* Drops the first n buffered bytes (at most read_length), which the
     * caller took straight from read_buffer; reports nothing to
     * observers. */
    void Drop(int64_t n);

    /* What the read (SOCKET_SIDE_READ) or write side may move now under its
     * group; unlimited without one. May wait (see LimitGroup::Pace). */
    ALLOWANCE Throttle(int side);

    /* Sets the length of a buffer to n (n >= 0). A buffer whose capacity is
     * at least n and below n + SOCKET_BUFFER_STEP only changes its length;
     * n 0 clears; otherwise the capacity becomes n rounded up to the step.
     * Failing to allocate is fatal. */
    void Resize(int64_t n, int side);
    /* Empties a buffer; it is freed only when over one step in capacity. */
    void Clear(int side);

    /* Appends an observer of the mask's events; returns its id (0 upward). */
    int CallBackAdd(socket_callback_fn callback, void *data, int mask);
    /* An observer's mask; an unknown id is fatal. */
    int CallBackMaskGet(int id);
    /* Replaces an observer's mask and returns it; an unknown id is fatal. */
    int CallBackMaskSet(int id, int mask);
    /* Removes an observer (also from inside an observer); returns 1. An
     * unknown id is fatal. */
    int CallBackRemove(int id);
    /* Calls, in order, each observer whose mask has a bit of event; returns
     * -1 at the first that returns -1, else 0. */
    int CallBackEvent(int event, int64_t len, const char *bytes);

    int ssl_active;               /* 1 after the handshake: I/O goes through ssl */
    int next_callback_id;
    int64_t read_capacity;
    int64_t write_capacity;
    char *read_buffer;            /* owned or NULL */
    char *write_buffer;           /* owned or NULL */
    std::vector<SocketCallBack> callbacks;   /* in the order added */
    ssl_st *ssl;                  /* owned while ssl_active */
    ssl_ctx_st *ssl_ctx;          /* one reference, held while ssl_active */
    LimitGroup *read_limit;       /* one reference each, or NULL: unlimited */
    LimitGroup *write_limit;
    int fd;                       /* owned; -1 for none */
    int64_t read_length;          /* bytes held in read_buffer */
    int64_t write_length;         /* bytes queued in write_buffer */
    int64_t bytes_in;             /* plaintext bytes read; saturates */
    int64_t bytes_out;            /* plaintext bytes written; saturates */
    int close_wait_ms;            /* the destructor's bound, SOCKET_CLOSE_WAIT_MS */
    int write_wait_ms;            /* Write and Flush give up after this long
                                   * without progress, SOCKET_WRITE_WAIT_MS */
    bool write_timed_out;         /* a wait for the peer to take output ran
                                   * out: every later Write and Flush fails at
                                   * once and the close does not wait */

private:
    void buffer_reserve(int side, int64_t n);
    void read_consume(int64_t n);
    void write_append(const char *bytes, int64_t n);
    int wait_io(short events, int64_t deadline_ms, short *revents);
    short write_events() const;
    int wait_input(int64_t deadline_ms, bool *hangup);
    void probe_hangup(bool *hangup);
    int64_t io_recv(char *area, int64_t n);
    int64_t io_send(const char *bytes, int64_t n, int64_t available);
    SocketReadPlan plan_read(bool buffered, bool may_wait, bool polled, int64_t deadline_ms);
    int poll_first(const SocketReadPlan &plan, bool may_wait, int64_t deadline_ms, bool *hangup);
    int64_t recv_block(char *area, int64_t n, bool may_wait, int64_t deadline_ms,
                       const SocketReadPlan &plan, bool *hangup);
    int64_t read_some(char *area, int64_t len, int64_t deadline_ms, bool may_wait, bool polled);
    int64_t send_pending();
    int64_t send_direct(const char *bytes, int64_t available);
    int64_t send_both(const char *bytes, int64_t len);
    int64_t fill(int64_t deadline_ms, bool may_wait, bool polled, bool *hangup);
    void account_in(int64_t n);
    void account_out(int64_t n);
    void close_flush(int64_t deadline_ms);
    void close_ssl(int64_t deadline_ms);
    SocketCallBack *callback_find(int id, const char *operation);

    int io_mode;                  /* socket_mode of fd */
    bool input_late;              /* the last read tried first found nothing */
    int late_waits;               /* waits polled first since then */
    int64_t line_scanned;         /* read_buffer bytes searched for a newline */
    int event_depth;              /* CallBackEvent calls in progress */
    bool callbacks_removed;       /* observers removed during an event */
    bool ssl_broken;              /* a fatal SSL error: no close alert */
    int64_t ssl_retry_bytes;      /* an SSL write to repeat at least this long */
    bool ssl_write_wants_read;    /* that write waits for input, not for room */
};

/* Allowances: everything, or a count. */
ALLOWANCE allowance_unlimited();
ALLOWANCE allowance_bytes(int64_t bytes);
/* want, cut to what the allowance permits. */
int64_t allowance_clamp(const ALLOWANCE &allowance, int64_t want);

/* Drops one reference of group and deletes it when that was
 * the last; NULL is ignored. */
void limitgroup_release(LimitGroup *group);
