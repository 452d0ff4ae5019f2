/*
 * The buffered socket every conversation of the proxy goes through. A read
 * takes what is buffered and at most one block from the descriptor; what
 * the caller did not want stays in the read buffer for the next read or
 * line. Output that cannot leave at once (a rate limit, a full descriptor)
 * waits in a bounded queue: a writer that would overfill it waits while it
 * drains, so a slow client slows its server-side reader instead of filling
 * memory. Lines are read with a fixed ceiling: an overlong line reaches the
 * caller truncated and its rest is dropped as it arrives. Every wait is a
 * poll that survives signals and counts down the time left; a peer that
 * answers and hangs up at once is read before the hang-up counts. Rate
 * groups pace their sockets together in 100 ms windows. SSL toward servers
 * sends the server name and verifies the certificate against the system's
 * CA store. Closing tries to deliver what is pending, but only for a
 * bounded time.
 */
#include "socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "compat.h"
#include "filebuf.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "stats.h"

static int64_t socket_now_us();
static int64_t socket_deadline_ms(int timeout_seconds);
static int socket_remaining_ms(int64_t deadline_ms);
static void socket_add_saturating(int64_t *total, int64_t n);
static void socket_set_io_timeouts(int fd, int64_t ms);
static int64_t socket_block_bytes();
static void socket_totals_add(int64_t in, int64_t out);
static SSL_CTX *socket_client_context();
static bool socket_host_name(const char *host, char *name, size_t size, bool *literal);

/* ---- Allowances ---- */

ALLOWANCE allowance_unlimited()
{
    return ALLOWANCE{true, 0};
}

ALLOWANCE allowance_bytes(int64_t bytes)
{
    return ALLOWANCE{false, bytes};
}

int64_t allowance_clamp(const ALLOWANCE &allowance, int64_t want)
{
    if (allowance.unlimited || want < allowance.bytes)
        return want;
    return allowance.bytes;
}

/* ---- Small helpers ---- */

static int64_t socket_now_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000000 + ts.tv_nsec / 1000;
}

/* The monotonic time timeout_seconds from now, or -1 (no deadline) for a
 * negative timeout. */
static int64_t socket_deadline_ms(int timeout_seconds)
{
    if (timeout_seconds < 0)
        return -1;
    return monotonic_ms() + (int64_t)timeout_seconds * 1000;
}

/* What is left until deadline_ms as a poll time-out: -1 for no deadline,
 * 0 once it has passed. */
static int socket_remaining_ms(int64_t deadline_ms)
{
    if (deadline_ms < 0)
        return -1;
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0)
        return 0;
    return left > INT_MAX ? INT_MAX : (int)left;
}

static void socket_add_saturating(int64_t *total, int64_t n)
{
    if (n <= 0)
        return;
    *total = n > INT64_MAX - *total ? INT64_MAX : *total + n;
}

/* Bounds the blocking sends and receives of fd to ms (at least 1 ms; 0
 * would mean for ever). Only used while closing; a descriptor that is no
 * socket keeps blocking as before. */
static void socket_set_io_timeouts(int fd, int64_t ms)
{
    if (ms < 1)
        ms = 1;
    struct timeval tv;
    tv.tv_sec = (time_t)(ms / 1000);
    tv.tv_usec = (suseconds_t)(ms % 1000) * 1000;
    (void)setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    (void)setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

/* One read block: the configured block size. */
static int64_t socket_block_bytes()
{
    return BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
}

/* The byte totals of a closed socket, into the statistics group "network"
 * and the performance log. */
static void socket_totals_add(int64_t in, int64_t out)
{
    statadd_networkbytes(in, out);
    if (!performance_log)
        return;
    if (in > 0)
        performance_log->set_bytes_in((uint64_t)in);
    if (out > 0)
        performance_log->set_bytes_out((uint64_t)out);
}

/* ---- LimitGroup ---- */

/* Holds a group's mutex for a scope. */
class LimitGroupGuard {
public:
    explicit LimitGroupGuard(LimitGroup *group) : held(group) { held->Lock(); }
    ~LimitGroupGuard() { held->Unlock(); }
    LimitGroupGuard(const LimitGroupGuard &) = delete;
    LimitGroupGuard &operator=(const LimitGroupGuard &) = delete;

private:
    LimitGroup *held;
};

LimitGroup::LimitGroup(uint64_t rate_bytes)
    : rate(rate_bytes), used(0), quota((int64_t)(rate_bytes / 10)), unlimited(rate_bytes / 10 == 0),
      window_start_us(0)
{
    pthread_mutex_init(&lock, nullptr);
}

LimitGroup::~LimitGroup()
{
    pthread_mutex_destroy(&lock);
}

void LimitGroup::Lock()
{
    pthread_mutex_lock(&lock);
}

void LimitGroup::Unlock()
{
    pthread_mutex_unlock(&lock);
}

int64_t LimitGroup::Incr(int64_t n)
{
    ASSERT(n >= 0);
    LimitGroupGuard guard(this);
    socket_add_saturating(&used, n);
    return used;
}

/* A window opens with the first bytes counted in it. Inside a window a
 * socket gets what is left of the quota; once the quota is spent the
 * caller sleeps to the window's end with the lock held, so every socket of
 * the group waits for the same new window. */
ALLOWANCE LimitGroup::Pace()
{
    if (unlimited)
        return allowance_unlimited();

    int64_t allowed;
    {
        LimitGroupGuard guard(this);
        int64_t now = socket_now_us();
        if (used == 0) {
            window_start_us = now;
            return allowance_bytes(quota);
        }
        int64_t elapsed = now - window_start_us;
        if (elapsed >= LIMIT_WINDOW_MS * 1000 || elapsed < 0) {
            used = 0;
            window_start_us = now;
            allowed = quota;
        } else if (used < quota) {
            allowed = quota - used;
        } else {
            int64_t end = window_start_us + LIMIT_WINDOW_MS * 1000;
            struct timespec ts;
            ts.tv_sec = (time_t)(end / 1000000);
            ts.tv_nsec = (long)(end % 1000000) * 1000;
            while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
            }
            used = 0;
            window_start_us = socket_now_us();
            allowed = quota;
        }
    }
    sched_yield();
    return allowance_bytes(allowed);
}

void limitgroup_release(LimitGroup *group)
{
    if (group && group->Delete())
        delete group;
}

/* ---- Construction ---- */

Socket::Socket(int descriptor, int mode)
    : ssl_active(0), next_callback_id(0), read_capacity(0), write_capacity(0),
      read_buffer(nullptr), write_buffer(nullptr), ssl(nullptr), ssl_ctx(nullptr),
      read_limit(nullptr), write_limit(nullptr), fd(descriptor), read_length(0), write_length(0),
      bytes_in(0), bytes_out(0), close_wait_ms(SOCKET_CLOSE_WAIT_MS), write_wait_ms(SOCKET_WRITE_WAIT_MS),
      write_timed_out(false), io_mode(mode), input_late(false), late_waits(0), line_scanned(0),
      event_depth(0), callbacks_removed(false), ssl_broken(false), ssl_retry_bytes(0),
      ssl_write_wants_read(false)
{
}

Socket::Socket() : Socket(-1)
{
}

Socket::~Socket()
{
    int64_t deadline = monotonic_ms() + std::max(close_wait_ms, 0);
    if (fd >= 0 && write_length > 0 && !write_timed_out)
        close_flush(deadline);
    if (ssl) {
        if (ssl_active && !ssl_broken && fd >= 0)
            close_ssl(deadline);
        SSL_free(ssl);
        ssl = nullptr;
        ssl_active = 0;
    }
    if (ssl_ctx) {
        SSL_CTX_free(ssl_ctx);
        ssl_ctx = nullptr;
    }
    if (fd != -1)
        close(fd);
    fd = -1;
    free(read_buffer);
    free(write_buffer);
    read_buffer = write_buffer = nullptr;
    limitgroup_release(write_limit);
    limitgroup_release(read_limit);
    write_limit = read_limit = nullptr;
    socket_totals_add(bytes_in, bytes_out);
    callbacks.clear();
}

/* Pushes pending output until it is gone or the deadline passes. Blocking
 * sends are bounded by the time left; nothing is reported to observers,
 * whose data may already be gone. */
void Socket::close_flush(int64_t deadline_ms)
{
    while (write_length > 0) {
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0)
            break;
        if (!NonBlocking())
            socket_set_io_timeouts(fd, left);
        int64_t n = send_pending();
        if (n < 0)
            break;
        short revents;
        if (n == 0 && wait_io(write_events(), deadline_ms, &revents) <= 0)
            break;
    }
}

/* Sends the close alert and waits, a short and bounded time, for the
 * peer's: SSL_shutdown until it returns 1, at most 5 times. */
void Socket::close_ssl(int64_t deadline_ms)
{
    int64_t end = std::min(deadline_ms, monotonic_ms() + SOCKET_SSL_SHUTDOWN_WAIT_MS);
    for (int i = 0; i < 5; i++) {
        int64_t left = end - monotonic_ms();
        if (left <= 0)
            break;
        if (!NonBlocking())
            socket_set_io_timeouts(fd, left);
        ERR_clear_error();
        int r = SSL_shutdown(ssl);
        if (r == 1)
            break;
        if (r < 0) {
            int e = SSL_get_error(ssl, r);
            short revents;
            if (e == SSL_ERROR_WANT_READ) {
                if (wait_io(POLLIN, end, &revents) <= 0)
                    break;
            } else if (e == SSL_ERROR_WANT_WRITE) {
                if (wait_io(POLLOUT, end, &revents) <= 0)
                    break;
            } else {
                break;
            }
        }
    }
    ERR_clear_error();
}

int Socket::Blocking(bool on)
{
    int want = on ? SOCKET_MODE_BLOCKING : SOCKET_MODE_NONBLOCKING;
    if (fd >= 0 && io_mode == want)
        return 0;
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    flags = on ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
    int r = fcntl(fd, F_SETFL, flags);
    io_mode = r == 0 ? want : SOCKET_MODE_UNKNOWN;
    return r;
}

bool Socket::NonBlocking()
{
    if (io_mode == SOCKET_MODE_UNKNOWN && fd >= 0) {
        int flags = fcntl(fd, F_GETFL);
        if (flags >= 0)
            io_mode = (flags & O_NONBLOCK) ? SOCKET_MODE_NONBLOCKING : SOCKET_MODE_BLOCKING;
    }
    return fd >= 0 && io_mode == SOCKET_MODE_NONBLOCKING;
}

void Socket::SetRate(LimitGroup *read, LimitGroup *write)
{
    /* The new references first: a group given again must not reach 0. */
    if (read)
        read->New();
    if (write)
        write->New();
    limitgroup_release(read_limit);
    read_limit = read;
    limitgroup_release(write_limit);
    write_limit = write;
}

ALLOWANCE Socket::Throttle(int side)
{
    LimitGroup *group = side == SOCKET_SIDE_READ ? read_limit : write_limit;
    return group ? group->Pace() : allowance_unlimited();
}

/* ---- Buffers ---- */

/* Makes room for n bytes in the buffer of side, keeping its contents and
 * length; capacities are multiples of the step. */
void Socket::buffer_reserve(int side, int64_t n)
{
    char **buffer = side == SOCKET_SIDE_READ ? &read_buffer : &write_buffer;
    int64_t *capacity = side == SOCKET_SIDE_READ ? &read_capacity : &write_capacity;
    if (*buffer && *capacity >= n)
        return;
    if (n < 0 || n > INT64_MAX - SOCKET_BUFFER_STEP || (uint64_t)n > SIZE_MAX - SOCKET_BUFFER_STEP)
        fatal_error("src/socket", __LINE__, "Resize", "buffer size %lld out of range", (long long)n);
    int64_t rounded = (n + SOCKET_BUFFER_STEP - 1) / SOCKET_BUFFER_STEP * SOCKET_BUFFER_STEP;
    if (rounded == 0)
        rounded = SOCKET_BUFFER_STEP;
    char *grown = (char *)xrealloc(*buffer, (size_t)rounded);
    if (!grown)
        fatal_error("src/socket", __LINE__, "Resize", "Failed to allocate %lld bytes of memory",
                    (long long)rounded);
    *buffer = grown;
    *capacity = rounded;
}

void Socket::Resize(int64_t n, int side)
{
    ASSERT(n >= 0);
    char **buffer = side == SOCKET_SIDE_READ ? &read_buffer : &write_buffer;
    int64_t *capacity = side == SOCKET_SIDE_READ ? &read_capacity : &write_capacity;
    int64_t *length = side == SOCKET_SIDE_READ ? &read_length : &write_length;

    if (*buffer && *capacity >= n && *capacity - n < SOCKET_BUFFER_STEP) {
        *length = n;
    } else if (n == 0) {
        Clear(side);
    } else {
        if (n > INT64_MAX - SOCKET_BUFFER_STEP || (uint64_t)n > SIZE_MAX - SOCKET_BUFFER_STEP)
            fatal_error("src/socket", __LINE__, "Resize", "buffer size %lld out of range",
                        (long long)n);
        int64_t rounded = (n + SOCKET_BUFFER_STEP - 1) / SOCKET_BUFFER_STEP * SOCKET_BUFFER_STEP;
        char *sized = (char *)xrealloc(*buffer, (size_t)rounded);
        if (!sized)
            fatal_error("src/socket", __LINE__, "Resize", "Failed to allocate %lld bytes of memory",
                        (long long)rounded);
        *buffer = sized;
        *capacity = rounded;
        *length = n;
    }
    if (side == SOCKET_SIDE_READ)
        line_scanned = std::min(line_scanned, read_length);
}

void Socket::Clear(int side)
{
    char **buffer = side == SOCKET_SIDE_READ ? &read_buffer : &write_buffer;
    int64_t *capacity = side == SOCKET_SIDE_READ ? &read_capacity : &write_capacity;
    if (*capacity > SOCKET_BUFFER_STEP) {
        free(*buffer);
        *buffer = nullptr;
        *capacity = 0;
    }
    if (side == SOCKET_SIDE_READ) {
        read_length = 0;
        line_scanned = 0;
    } else {
        write_length = 0;
    }
}

/* Drops n bytes from the front of the read buffer. */
void Socket::read_consume(int64_t n)
{
    if (n >= read_length) {
        Clear(SOCKET_SIDE_READ);
        return;
    }
    memmove(read_buffer, read_buffer + n, (size_t)(read_length - n));
    read_length -= n;
    line_scanned = std::max<int64_t>(0, line_scanned - n);
}

void Socket::write_append(const char *bytes, int64_t n)
{
    if (n <= 0)
        return;
    if (n > INT64_MAX - write_length)
        fatal_error("src/socket", __LINE__, "Resize", "output queue size out of range");
    buffer_reserve(SOCKET_SIDE_WRITE, write_length + n);
    memcpy(write_buffer + write_length, bytes, (size_t)n);
    write_length += n;
}

void Socket::Drop(int64_t n)
{
    if (n > 0)
        read_consume(std::min(n, read_length));
}

int64_t Socket::PushFront(const char *bytes, int64_t len)
{
    int64_t previous = read_length;
    if (!bytes || len <= 0)
        return previous;
    if (len > INT64_MAX - read_length)
        fatal_error("src/socket", __LINE__, "Resize", "read buffer size out of range");
    buffer_reserve(SOCKET_SIDE_READ, read_length + len);
    memmove(read_buffer + len, read_buffer, (size_t)read_length);
    memcpy(read_buffer, bytes, (size_t)len);
    read_length += len;
    line_scanned = 0;
    return previous;
}

/* ---- Descriptor I/O ---- */

/* Polls for events until deadline_ms (-1: no deadline), resuming with the
 * time left after a signal. Returns 1 with the events seen, 0 on time-out,
 * -1 when the poll fails or the descriptor is invalid. */
int Socket::wait_io(short events, int64_t deadline_ms, short *revents)
{
    if (fd < 0)
        return -1;
    for (;;) {
        struct pollfd p;
        p.fd = fd;
        p.events = events;
        p.revents = 0;
        int r = p_poll(&p, 1, socket_remaining_ms(deadline_ms));
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (r == 0)
            return 0;
        if (p.revents & POLLNVAL)
            return -1;
        *revents = p.revents;
        return 1;
    }
}

/* Waits for input. Input wins over a hang-up or error reported with it, so
 * an answer sent just before the peer closed is still read; hangup is then
 * set, and an empty read after it counts as the hang-up. Returns 1 when
 * input is there (bytes held inside SSL count), 0 on time-out, -1 on an
 * error or hang-up without input. */
int Socket::wait_input(int64_t deadline_ms, bool *hangup)
{
    if (ssl_active && SSL_pending(ssl) > 0)
        return 1;
    short revents = 0;
    int r = wait_io(POLLIN, deadline_ms, &revents);
    if (r <= 0)
        return r;
    if (revents & (POLLHUP | POLLERR))
        *hangup = true;
    return (revents & POLLIN) ? 1 : -1;
}

/* After a read found the end of the stream without a poll before it:
 * whether the descriptor also shows a hang-up, as that poll would have. */
void Socket::probe_hangup(bool *hangup)
{
    short revents = 0;
    if (wait_io(POLLIN, 0, &revents) > 0 && (revents & (POLLHUP | POLLERR)))
        *hangup = true;
}

/* One read of at most n bytes. Returns the count, 0 at end of stream, -1 on
 * error, -2 when it would block (a non-blocking descriptor, an SSL record
 * not complete yet). Interrupted calls are repeated. */
int64_t Socket::io_recv(char *area, int64_t n)
{
    if (ssl_active) {
        int len = (int)std::min<int64_t>(n, INT_MAX);
        for (;;) {
            ERR_clear_error();
            int r = SSL_read(ssl, area, len);
            if (r > 0)
                return r;
            int e = SSL_get_error(ssl, r);
            if (e == SSL_ERROR_ZERO_RETURN)
                return 0;
            if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE)
                return -2;
            if (e == SSL_ERROR_SYSCALL && errno == EINTR)
                continue;
            ssl_broken = true;
            if (e == SSL_ERROR_SYSCALL && r == 0 && ERR_peek_error() == 0)
                return 0;
            return -1;
        }
    }
    for (;;) {
        ssize_t r = read(fd, area, (size_t)n);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -2;
        return -1;
    }
}

/* One write of n bytes (available: how many the caller could give). Returns
 * the count written, 0 when it would block, -1 on error. An SSL write that
 * had to wait is repeated at least as long as before, as OpenSSL needs. */
int64_t Socket::io_send(const char *bytes, int64_t n, int64_t available)
{
    if (n <= 0)
        return 0;
    if (ssl_active) {
        int64_t len = n;
        if (ssl_retry_bytes > len && available >= ssl_retry_bytes)
            len = ssl_retry_bytes;
        len = std::min<int64_t>(len, INT_MAX);
        for (;;) {
            ERR_clear_error();
            int r = SSL_write(ssl, bytes, (int)len);
            if (r > 0) {
                ssl_retry_bytes = 0;
                return r;
            }
            int e = SSL_get_error(ssl, r);
            if (e == SSL_ERROR_WANT_WRITE || e == SSL_ERROR_WANT_READ) {
                ssl_retry_bytes = len;
                ssl_write_wants_read = e == SSL_ERROR_WANT_READ;
                return 0;
            }
            if (e == SSL_ERROR_SYSCALL && errno == EINTR)
                continue;
            ssl_broken = true;
            return -1;
        }
    }
    for (;;) {
        ssize_t r = send(fd, bytes, (size_t)n, MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK)
            r = write(fd, bytes, (size_t)n);
        if (r >= 0)
            return r;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        return -1;
    }
}

/* What a write that would block waits for: room on the descriptor, or
 * input when an SSL write needs the peer's record first. */
short Socket::write_events() const
{
    return ssl_active && ssl_write_wants_read ? POLLIN : POLLOUT;
}

/* How a read goes about the descriptor. A blocking one is polled first,
 * so no read waits outside a poll with a limit. A non-blocking one is read
 * first when bytes are buffered already (nothing is waited for then), when
 * the caller's own poll just saw input (polled), for a read that never
 * waits or whose time is up, and for a wait while reads find input there
 * ahead of them (ReadFirst); otherwise it is polled first, which spares
 * the empty read where input only ever comes after a wait. A read first that finds the
 * descriptor empty or not teaches ReadFirst (learn), unless bytes were
 * buffered or the caller polled. An empty read (the end) where a poll
 * would have come first asks for the hang-up that poll would have shown
 * (probe). */
SocketReadPlan Socket::plan_read(bool buffered, bool may_wait, bool polled, int64_t deadline_ms)
{
    SocketReadPlan plan = { false, false, false, false };
    plan.nonblocking = NonBlocking();
    /* A wait whose time is up already (a time-out of 0, often right
     * after the caller's own poll) only takes what is there. */
    bool time_up = may_wait && deadline_ms >= 0 && deadline_ms <= monotonic_ms();
    if (plan.nonblocking)
        plan.read_first = buffered || polled || !may_wait || time_up || ReadFirst();
    plan.learn = plan.read_first && !buffered && !polled && !time_up;
    plan.probe = plan.read_first && !buffered && (deadline_ms >= 0 || !may_wait);
    return plan;
}

/* The poll before a read that does not read first, when it needs one: 1
 * with input there (or no poll needed), 0 when none came in time, -1 on
 * an error or a hang-up without input. A blocking descriptor without a
 * limit is read at once, as the blocking read then waits the same. */
int Socket::poll_first(const SocketReadPlan &plan, bool may_wait, int64_t deadline_ms, bool *hangup)
{
    if (plan.read_first || (may_wait && deadline_ms < 0 && !plan.nonblocking))
        return 1;
    return wait_input(may_wait ? deadline_ms : 0, hangup);
}

bool Socket::ReadFirst()
{
    if (!NonBlocking())
        return false;
    if (!input_late)
        return true;
    if (++late_waits < SOCKET_READ_FIRST_RETRY)
        return false;
    late_waits = 0;   /* now and then a read first all the same */
    return true;
}

/* io_recv that, when may_wait, waits for input up to deadline_ms instead of
 * reporting "would block"; without may_wait that case returns
 * SOCKET_WOULD_BLOCK. Once the time is up, nothing more is waited for. */
int64_t Socket::recv_block(char *area, int64_t n, bool may_wait, int64_t deadline_ms,
                           const SocketReadPlan &plan, bool *hangup)
{
    bool probe = plan.probe;
    bool first = true;
    for (;;) {
        int64_t r = io_recv(area, n);
        if (first && plan.learn && r != 0 && r != -1) {
            input_late = r == -2;   /* a read first found nothing */
            if (r > 0)
                late_waits = 0;
        }
        first = false;
        if (r == 0 && probe && !*hangup)
            probe_hangup(hangup);
        if (r != -2)
            return r;
        if (!may_wait)
            return SOCKET_WOULD_BLOCK;
        if (deadline_ms >= 0 && socket_remaining_ms(deadline_ms) == 0)
            return -1;
        if (wait_input(deadline_ms, hangup) <= 0)
            return -1;
        probe = false;   /* that poll told of any hang-up */
    }
}

void Socket::account_in(int64_t n)
{
    socket_add_saturating(&bytes_in, n);
    if (read_limit)
        (void)read_limit->Incr(n);
}

void Socket::account_out(int64_t n)
{
    socket_add_saturating(&bytes_out, n);
    if (write_limit)
        (void)write_limit->Incr(n);
}

/* Adds one block from the descriptor to the read buffer, waiting for input
 * up to deadline_ms when there is one and may_wait (see plan_read for the
 * order of read and poll). Returns the count, 0 at end of stream, -1 on
 * error or time-out, SOCKET_WOULD_BLOCK without may_wait when nothing is
 * there. */
int64_t Socket::fill(int64_t deadline_ms, bool may_wait, bool polled, bool *hangup)
{
    SocketReadPlan plan = plan_read(false, may_wait, polled, deadline_ms);
    int ready = poll_first(plan, may_wait, deadline_ms, hangup);
    if (ready == 0 && !may_wait)
        return SOCKET_WOULD_BLOCK;
    if (ready <= 0)
        return -1;
    ALLOWANCE allowance = Throttle(SOCKET_SIDE_READ);
    int64_t block = allowance_clamp(allowance, socket_block_bytes());
    buffer_reserve(SOCKET_SIDE_READ, read_length + block);
    /* The buffer grows in steps of SOCKET_BUFFER_STEP: a read takes all of
     * the room it already has, not one block, so a large body moves in a
     * few reads (and as few writes on) without a byte more of memory. */
    block = allowance_clamp(allowance, read_capacity - read_length);
    int64_t n = recv_block(read_buffer + read_length, block, may_wait, deadline_ms, plan, hangup);
    if (n > 0) {
        read_length += n;
        account_in(n);
    }
    return n;
}

/* ---- Reading ---- */

int64_t Socket::Read(char *area, int64_t len, int timeout)
{
    return read_some(area, len, socket_deadline_ms(timeout), true, false);
}

int64_t Socket::ReadNow(char *area, int64_t len, bool polled)
{
    return read_some(area, len, -1, false, polled);
}

/* Read and ReadNow: may_wait false never waits, whatever the deadline. */
int64_t Socket::read_some(char *area, int64_t len, int64_t deadline, bool may_wait, bool polled)
{
    if (len == 0)
        return 0;
    if (len < -1 || (len > 0 && !area))
        return -1;
    bool hangup = false;

    if (len == -1) {
        if (read_length >= SOCKET_READ_BUFFER_LIMIT) {
            errno = ENOBUFS;
            return -1;
        }
        int64_t n = fill(deadline, may_wait, polled, &hangup);
        return n == 0 && hangup ? -1 : n;
    }

    if (read_length >= len) {
        memcpy(area, read_buffer, (size_t)len);
        read_consume(len);
        return CallBackEvent(SOCKET_EVENT_READ, len, area) == -1 ? -1 : len;
    }

    /* Buffered bytes are delivered without waiting; the descriptor only
     * adds what is there already. With nothing buffered, wait for input
     * (see plan_read for the order of read and poll). */
    int64_t have = read_length;
    bool wait = have == 0 && may_wait;
    SocketReadPlan plan = plan_read(have > 0, may_wait, polled, deadline);
    int ready = poll_first(plan, wait, deadline, &hangup);

    int64_t n = 0;
    int64_t delivered;
    if (ready <= 0) {
        if (have == 0)
            return ready == 0 && !may_wait ? SOCKET_WOULD_BLOCK : -1;
        memcpy(area, read_buffer, (size_t)have);
        read_consume(have);
        delivered = have;
    } else {
        ALLOWANCE allowance = Throttle(SOCKET_SIDE_READ);
        int64_t block = allowance_clamp(allowance, socket_block_bytes());
        if (len - have >= block) {
            /* No surplus possible: straight into the caller's area, as
             * much as it has room for. */
            if (have > 0) {
                memcpy(area, read_buffer, (size_t)have);
                read_consume(have);
            }
            n = recv_block(area + have, allowance_clamp(allowance, len - have), wait, deadline, plan,
                           &hangup);
            if (n == SOCKET_WOULD_BLOCK && have == 0)
                return n;
            if (n == SOCKET_WOULD_BLOCK)
                n = 0;
            if (n > 0)
                account_in(n);
            delivered = have + std::max<int64_t>(n, 0);
        } else {
            buffer_reserve(SOCKET_SIDE_READ, read_length + block);
            n = recv_block(read_buffer + read_length, block, wait, deadline, plan, &hangup);
            if (n == SOCKET_WOULD_BLOCK && have == 0)
                return n;
            if (n == SOCKET_WOULD_BLOCK)
                n = 0;
            if (n > 0) {
                read_length += n;
                account_in(n);
            }
            delivered = std::min(read_length, len);
            if (delivered > 0) {
                memcpy(area, read_buffer, (size_t)delivered);
                read_consume(delivered);
            }
        }
    }

    if (delivered == 0)
        return n == 0 && hangup ? -1 : n;
    if (CallBackEvent(SOCKET_EVENT_READ, delivered, area) == -1)
        return -1;
    if (n < 0)
        (void)CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
    return delivered;
}

/* The read buffer holds at most the part of the line not yet taken plus
 * one block: once size bytes of the line are in, the area gets its copy
 * and everything further up to the newline is dropped as it comes. */
int64_t Socket::GetLine(char *area, int64_t size, int timeout)
{
    if (size == 0 || size < -1 || (size > 0 && !area))
        return -1;
    int64_t deadline = socket_deadline_ms(timeout);
    bool truncated = false;   /* area holds the line's first size - 1 bytes */
    int64_t dropped = 0;      /* bytes of the line already dropped */
    int64_t last_block = 0;

    for (;;) {
        line_scanned = std::min(line_scanned, read_length);
        char *newline = nullptr;
        if (read_length > line_scanned)
            newline = (char *)memchr(read_buffer + line_scanned, '\n',
                                     (size_t)(read_length - line_scanned));
        int64_t held = newline ? newline - read_buffer + 1 : read_length;

        if (held > SOCKET_LINE_LIMIT - dropped) {
            read_consume(held);
            return -1;
        }
        if (area && !truncated && held >= size) {
            memcpy(area, read_buffer, (size_t)(size - 1));
            area[size - 1] = '\0';
            truncated = true;
        }
        if (newline) {
            if (area && !truncated) {
                memcpy(area, read_buffer, (size_t)held);
                area[held] = '\0';
            }
            read_consume(held);
            if (!area)
                return last_block;
            return truncated ? size : held;
        }
        line_scanned = read_length;
        if (!area || truncated) {
            dropped += read_length;
            read_consume(read_length);
        }

        /* The time limit covers the whole line: a peer that keeps sending
         * a line that never ends is cut off when it runs out. */
        if (last_block > 0 && deadline >= 0 && monotonic_ms() > deadline)
            return -1;
        bool hangup = false;
        int64_t n = fill(deadline, true, false, &hangup);
        if (n <= 0) {
            if (truncated && n == 0)
                return size;   /* the stream ended the overlong line */
            return n == 0 && hangup ? -1 : n;
        }
        last_block = n;
    }
}

/* ---- Writing ---- */

/* One write from the front of the queue, as much as the write group
 * allows. Returns the count (0: would block) or -1. */
int64_t Socket::send_pending()
{
    int64_t n = io_send(write_buffer,
                        allowance_clamp(Throttle(SOCKET_SIDE_WRITE), write_length), write_length);
    if (n <= 0)
        return n;
    account_out(n);
    if (n >= write_length) {
        Clear(SOCKET_SIDE_WRITE);
    } else {
        memmove(write_buffer, write_buffer + n, (size_t)(write_length - n));
        write_length -= n;
    }
    return n;
}

/* One write of the caller's bytes, as much as the write group allows of
 * available. Returns the count (0: would block) or -1. */
int64_t Socket::send_direct(const char *bytes, int64_t available)
{
    int64_t n = io_send(bytes, allowance_clamp(Throttle(SOCKET_SIDE_WRITE), available), available);
    if (n > 0)
        account_out(n);
    return n;
}

/* Pending output and the caller's bytes in one gathered write, for a
 * plain socket that no write group restricts; returns the count written
 * (the queue's part first; 0: would block), -1 on an error, or -2 when
 * the gathered write does not apply. */
int64_t Socket::send_both(const char *bytes, int64_t len)
{
    int64_t total = write_length + len;
    if (ssl_active || allowance_clamp(Throttle(SOCKET_SIDE_WRITE), total) < total)
        return -2;
    struct iovec iov[2] = { { write_buffer, (size_t)write_length },
                            { (void *)bytes, (size_t)len } };
    struct msghdr msg;
    memset(&msg, 0, sizeof msg);
    msg.msg_iov = iov;
    msg.msg_iovlen = 2;
    for (;;) {
        ssize_t r = sendmsg(fd, &msg, MSG_NOSIGNAL);
        if (r < 0 && errno == ENOTSOCK)
            return -2;
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
        if (r > 0)
            account_out(r);
        return r;
    }
}

void Socket::Hold(const char *bytes, int64_t len)
{
    if (len <= 0 || !bytes)
        return;
    write_append(bytes, len);
    (void)CallBackEvent(SOCKET_EVENT_WRITTEN, len, bytes);
}

int64_t Socket::Write(const char *bytes, int64_t len)
{
    if (len < -1 || (len > 0 && !bytes) || write_timed_out)
        return -1;

    /* Held or pending bytes leave with these in one system call. */
    int64_t direct = 0;
    if (write_length > 0 && len > 0) {
        int64_t n = send_both(bytes, len);
        if (n == -1) {
            (void)CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
        if (n >= write_length) {
            direct = n - write_length;
            Clear(SOCKET_SIDE_WRITE);
        } else if (n > 0) {
            memmove(write_buffer, write_buffer + n, (size_t)(write_length - n));
            write_length -= n;
        }
    }

    int64_t pushed = 0;
    if (write_length > 0) {
        pushed = send_pending();
        if (pushed < 0) {
            (void)CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
    }
    if (len == -1)
        return pushed;
    if (len == 0)
        return 0;

    if (write_length == 0 && direct < len) {
        int64_t more = send_direct(bytes + direct, len - direct);
        if (more < 0) {
            (void)CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
        direct += more;
    }
    /* The caller waits here while the queue is too long for the rest. */
    int64_t rest = len - direct;
    while (rest > 0 && write_length + rest > SOCKET_WRITE_QUEUE_LIMIT) {
        int64_t n;
        if (write_length > 0) {
            n = send_pending();
        } else {
            n = send_direct(bytes + direct, rest);
            if (n > 0) {
                direct += n;
                rest -= n;
            }
        }
        short revents;
        int waited = n == 0 ? wait_io(write_events(), monotonic_ms() + write_wait_ms, &revents) : 1;
        if (n < 0 || waited <= 0) {
            if (waited == 0)
                write_timed_out = true;
            (void)CallBackEvent(SOCKET_EVENT_ERROR, -1, nullptr);
            return -1;
        }
    }
    write_append(bytes + direct, rest);
    (void)CallBackEvent(SOCKET_EVENT_WRITTEN, len, bytes);
    return direct;
}

int Socket::Flush()
{
    while (write_length > 0) {
        int64_t n = Write(nullptr, -1);
        if (n < 0)
            return -1;
        short revents;
        int waited = n == 0 ? wait_io(write_events(), monotonic_ms() + write_wait_ms, &revents) : 1;
        if (waited == 0)
            write_timed_out = true;
        if (waited <= 0)
            return -1;
    }
    return 0;
}

int64_t Socket::WriteFilebuf(const Filebuf *buffer)
{
    if (!buffer)
        return -1;
    int64_t r = Write(buffer->data, buffer->size);
    (void)Flush();
    return r;
}

int64_t Socket::PutSock(const char *format, ...)
{
    char area[SOCKET_FORMAT_AREA];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(area, sizeof area, format, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    if (n > SOCKET_FORMAT_AREA - 1)
        n = SOCKET_FORMAT_AREA - 1;
    return Write(area, n);
}

/* ---- SSL ---- */

static pthread_mutex_t socket_ssl_lock = PTHREAD_MUTEX_INITIALIZER;
static SSL_CTX *socket_ssl_ctx;           /* one reference held here */
static std::string socket_ssl_file_env;   /* the CA variables it was made with */
static std::string socket_ssl_dir_env;

/* The variable's value marked as set, or "" when it is unset. */
static std::string socket_env_mark(const char *name)
{
    const char *value = getenv(name);
    return value ? std::string("=") + value : std::string();
}

/* The client context shared by every SSL socket, with one new reference
 * for the caller (released with SSL_CTX_free); NULL when OpenSSL cannot
 * make one. Loading the CA store is costly, so the context is made once
 * and again only when SSL_CERT_FILE or SSL_CERT_DIR change. */
static SSL_CTX *socket_client_context()
{
    std::string file = socket_env_mark(X509_get_default_cert_file_env());
    std::string dir = socket_env_mark(X509_get_default_cert_dir_env());
    MutexGuard guard(&socket_ssl_lock);

    if (!socket_ssl_ctx || file != socket_ssl_file_env || dir != socket_ssl_dir_env) {
        SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) {
            ERR_clear_error();
            return nullptr;
        }
        if (SSL_CTX_set_default_verify_paths(ctx) != 1)
            putlog(LOG_ERROR, "the system's CA certificates cannot be loaded, "
                              "SSL servers will be refused");
        ERR_clear_error();
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER |
                                  SSL_MODE_AUTO_RETRY);
#ifdef SSL_OP_IGNORE_UNEXPECTED_EOF
        /* Servers that close without the alert end the stream, as they
         * did before TLS 1.3; the HTTP framing tells a short body. */
        SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
#endif
        if (socket_ssl_ctx)
            SSL_CTX_free(socket_ssl_ctx);
        socket_ssl_ctx = ctx;
        socket_ssl_file_env = file;
        socket_ssl_dir_env = dir;
    }
    SSL_CTX_up_ref(socket_ssl_ctx);
    return socket_ssl_ctx;
}

/* Copies host into name without IPv6 brackets and without a final dot,
 * and tells whether it is an address literal. False when nothing is left
 * or it does not fit. */
static bool socket_host_name(const char *host, char *name, size_t size, bool *literal)
{
    size_t len = strlen(host);
    if (len >= 2 && host[0] == '[' && host[len - 1] == ']') {
        host++;
        len -= 2;
    }
    if (len > 0 && host[len - 1] == '.')
        len--;
    if (len == 0 || len >= size)
        return false;
    memcpy(name, host, len);
    name[len] = '\0';
    unsigned char address[16];
    *literal = inet_pton(AF_INET, name, address) == 1 || inet_pton(AF_INET6, name, address) == 1;
    return true;
}

int Socket::Encrypt(int mode, const char *host, int timeout_seconds)
{
    if (mode != SOCKET_SSL_CLIENT || fd < 0 || ssl_active || !host)
        return 0;
    char name[256];
    bool literal = false;
    if (!socket_host_name(host, name, sizeof name, &literal))
        return 0;

    SSL_CTX *ctx = socket_client_context();
    if (!ctx)
        return 0;
    SSL *s = SSL_new(ctx);
    if (!s) {
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return 0;
    }

    bool ok = SSL_set_fd(s, fd) == 1;
    if (literal) {
        /* No server name for an address; the certificate must carry the
         * address itself. */
        ok = ok && X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), name) == 1;
    } else {
        SSL_set_hostflags(s, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
        ok = ok && SSL_set_tlsext_host_name(s, name) == 1 && SSL_set1_host(s, name) == 1;
    }
    SSL_set_connect_state(s);

    /* The handshake, and every later SSL read and write, runs
     * non-blocking and waits by poll: inside a blocking SSL_read a peer
     * that sent part of a record would hold us without a time limit. */
    int64_t deadline = socket_deadline_ms(timeout_seconds);
    if (ok && Blocking(false) != 0)
        ok = false;
    while (ok) {
        ERR_clear_error();
        int r = SSL_connect(s);
        if (r == 1)
            break;
        int e = SSL_get_error(s, r);
        if (e == SSL_ERROR_SYSCALL && errno == EINTR)
            continue;
        short want = e == SSL_ERROR_WANT_READ ? POLLIN : e == SSL_ERROR_WANT_WRITE ? POLLOUT : 0;
        short revents;
        if (!want || wait_io(want, deadline, &revents) <= 0)
            ok = false;
    }
    if (!ok) {
        long verdict = SSL_get_verify_result(s);
        if (verdict != X509_V_OK) {
            std::string shown = log_field(std::string(name, strnlen(name, 255)), false);
            putlog(LOG_SECURITY, "SSL certificate of %s refused: %s, server not used",
                   shown.c_str(), X509_verify_cert_error_string(verdict));
        }
        SSL_free(s);
        SSL_CTX_free(ctx);
        ERR_clear_error();
        return 0;
    }
    ssl = s;
    ssl_ctx = ctx;
    ssl_active = 1;
    ssl_broken = false;
    ssl_retry_bytes = 0;
    return 1;
}

/* ---- Observers ---- */

int Socket::CallBackAdd(socket_callback_fn callback, void *data, int mask)
{
    SocketCallBack observer;
    observer.callback = callback;
    observer.id = next_callback_id;
    observer.mask = mask;
    observer.data = data;
    callbacks.push_back(observer);
    return next_callback_id++;
}

/* The live observer with id; an unknown id is our own error and fatal. */
SocketCallBack *Socket::callback_find(int id, const char *operation)
{
    for (SocketCallBack &observer : callbacks)
        if (observer.id == id && observer.callback)
            return &observer;
    fatal_error("src/socket", __LINE__, operation, "no observer with id %d", id);
}

int Socket::CallBackMaskGet(int id)
{
    return callback_find(id, "CallBackMaskGet")->mask;
}

int Socket::CallBackMaskSet(int id, int mask)
{
    SocketCallBack *observer = callback_find(id, "CallBackMaskSet");
    observer->mask = mask;
    return mask;
}

int Socket::CallBackRemove(int id)
{
    SocketCallBack *observer = callback_find(id, "CallBackRemove");
    if (event_depth > 0) {
        /* An event is walking the list: mark now, erase when it ends. */
        observer->callback = nullptr;
        observer->mask = 0;
        callbacks_removed = true;
    } else {
        callbacks.erase(callbacks.begin() + (observer - callbacks.data()));
    }
    return 1;
}

int Socket::CallBackEvent(int event, int64_t len, const char *bytes)
{
    int rc = 0;
    size_t count = callbacks.size();   /* observers added meanwhile wait for the next event */
    event_depth++;
    for (size_t i = 0; i < count; i++) {
        SocketCallBack observer = callbacks[i];   /* a copy: the list may grow */
        if (!observer.callback || !(observer.mask & event))
            continue;
        if (observer.callback(observer.data, len, bytes) == -1) {
            rc = -1;
            break;
        }
    }
    if (--event_depth == 0 && callbacks_removed) {
        callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                       [](const SocketCallBack &o) { return !o.callback; }),
                        callbacks.end());
        callbacks_removed = false;
    }
    return rc;
}
