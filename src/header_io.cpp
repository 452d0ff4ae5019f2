/*
 * Reading and sending header blocks. A block is read line by line from a
 * connection's socket until the blank line that closes it, within a time
 * limit for the whole block and the block's byte and line limits; while
 * the proxy waits, what the other socket sends is buffered, so a client
 * that sends its next request early or a server that closes is seen.
 * Input already there is read without a poll first: the proxy polls only
 * when a read finds nothing. Sending serialises the HEADER (header.cpp) and writes it whole. Parsing
 * and serialising stay in header.cpp, which does no I/O.
 */
#include "header_io.h"

#include <openssl/ssl.h>
#include <poll.h>
#include <strings.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "socket.h"

/* A read in progress (header_get). */
struct hg_read {
    CONNECTION_T *conn;
    int side;
    Socket *sock;           /* the socket read */
    char *block;            /* capacity bytes, at most HEADER_BLOCK_MAX + 1 */
    size_t capacity;
    size_t len;             /* bytes collected */
    int lines;              /* lines collected */
    bool strict;            /* request, or a response with a status line */
    bool ended;             /* nothing more is to be read */
    int result;             /* header_result once ended */
};

static Socket *hg_socket(CONNECTION_T *conn, int side);
static int hg_other_input(Socket *other, short revents);
static bool hg_take_lines(hg_read *read);
static bool hg_scan_lines(hg_read *read, int64_t *taken);
static void hg_room(hg_read *read, size_t need);

/* A block starts this large and doubles as lines come, up to the most a
 * header may hold: most headers fit the first, and a 64 KiB area is not
 * cleared for every request. 1 KiB is also the largest block the C
 * library's per-thread cache serves without its arena lock. */
#define HG_BLOCK_START 1024

int header_send(const HEADER *header, CONNECTION_T *conn, int side, int kind)
{
    if (side == SIDE_CLIENT && (conn->flags & CONN_NOCLIENT))
        return 0;
    Filebuf buffer;
    if (header_send_filebuf(&buffer, header, conn, kind) != FILEBUF_OK)
        return -1;
    return net_filebuf_send(&buffer, conn, side) < 0 ? -1 : 0;
}

/* Reading. */

static Socket *hg_socket(CONNECTION_T *conn, int side)
{
    return side == SIDE_CLIENT ? conn->client : conn->server;
}

char *header_get(CONNECTION_T *conn, int side, int timeout, int *result)
{
    int unused;
    int &rc = result ? *result : unused;

    rc = HEADER_NONE;
    Socket *sock = hg_socket(conn, side);
    if (!sock)
        return nullptr;

    hg_read read = { conn, side, sock, (char *)xmalloc(HG_BLOCK_START), HG_BLOCK_START, 0, 0,
                     side == SIDE_CLIENT, false, HEADER_OK };
    if (!read.block)
        FATAL_ALLOC(HG_BLOCK_START);
    /* The block grows while lines are taken; it is freed unless returned. */
    std::unique_ptr<char *, void (*)(char **)> owned(&read.block, [](char **b) { free(*b); });
    int64_t deadline_ms = monotonic_ms() + (timeout > 0 ? (int64_t)timeout * 1000 : 0);
    bool watch_other = true;
    bool read_first = sock->NonBlocking();

    /* Input that is ready is read even when the time is up, so a time-out
     * of 0 still takes what has already arrived. */
    while (!hg_take_lines(&read)) {
        /* Read first while input tends to be there already: the poll,
         * which also watches the other side, only when nothing has
         * arrived yet. */
        if (read_first && sock->ReadFirst()) {
            int64_t got = sock->ReadNow(nullptr, -1);
            if (got > 0)
                continue;
            if (got != SOCKET_WOULD_BLOCK)
                break;   /* end of stream or a failed read */
        }
        int64_t left_ms = std::max<int64_t>(deadline_ms - monotonic_ms(), 0);

        Socket *other = watch_other ? hg_socket(conn, 1 - side) : nullptr;
        struct pollfd fds[2];
        fds[0] = { sock->fd, POLLIN, 0 };
        nfds_t count = 1;
        if (other) {
            /* Past the cap the other side is only watched for hang-up. */
            short events = other->read_length < HEADER_OTHER_BUFFER_MAX ? POLLIN : POLLRDHUP;
            fds[1] = { other->fd, events, 0 };
            count = 2;
        }
        /* Bytes held inside SSL do not show on the descriptor. A wait
         * releases the thread's held log line and is counted. */
        bool ssl_pending = sock->ssl_active && SSL_pending(sock->ssl) > 0;
        int ready = p_poll(fds, count, ssl_pending ? 0 : (int)std::min<int64_t>(left_ms, 1 << 30));
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            putlog(LOG_ERROR, "[system: poll:%d:%s], in %s, poll failed, socket unavailable", errno,
                   strerror(errno), "header_get");
            break;
        }
        if (ready == 0 && !ssl_pending) {
            if (left_ms == 0)
                break;
            continue;
        }
        if (ssl_pending || (fds[0].revents & POLLIN)) {
            /* Bounded by what is left: an SSL record that never completes
             * must not hold the read (a non-blocking socket does not wait
             * here at all: the next poll does, with the time left). */
            int64_t got = read_first ? sock->ReadNow(nullptr, -1, true)
                                     : sock->Read(nullptr, -1, (int)((left_ms + 999) / 1000));
            if (got <= 0 && got != SOCKET_WOULD_BLOCK)
                break;   /* end of stream, a failed read or the time-out */
        } else if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            break;
        }
        if (other && fds[1].revents) {
            int state = hg_other_input(other, fds[1].revents);
            if (state < 0 && side == SIDE_SERVER)
                break;   /* the client went away */
            if (side == SIDE_CLIENT && state <= 0) {
                delete conn->server;   /* a kept server connection that closed */
                conn->server = nullptr;
            }
            /* A client that shut its sending side after a whole request
             * still waits for the answer. */
            if (state <= 0)
                watch_other = false;
        }
    }

    if (read.ended && read.result != HEADER_OK) {
        const char *what = side == SIDE_CLIENT ? "request" : "response";
        const char *ip = conn->ip ? conn->ip : "-";
        if (read.result == HEADER_TOO_LARGE)
            putlog(LOG_SECURITY, "[IP:%s] %s header over %d bytes or %d lines, refused", ip, what,
                   HEADER_BLOCK_MAX, HEADER_LINES_MAX);
        else if (read.result == HEADER_BAD)
            putlog(LOG_SECURITY, "[IP:%s] %s header holds a NUL byte, refused", ip, what);
        rc = read.result;
        return nullptr;
    }
    if (read.len == 0) {
        rc = HEADER_NONE;
        return nullptr;
    }
    if (!read.ended && read.strict) {
        rc = HEADER_INCOMPLETE;
        return nullptr;
    }
    rc = HEADER_OK;
    read.block[read.len] = '\0';
    char *text = read.block;   /* the block itself: no copy */
    read.block = nullptr;
    return text;
}

/* Reads what the other socket sent into its own read buffer. Returns 1
 * while it is open, 0 at its end of stream (a half-close: nothing more
 * will come from it, but it may still take output), -1 when it failed or
 * hung up both ways. */
static int hg_other_input(Socket *other, short revents)
{
    if (revents & (POLLERR | POLLNVAL))
        return -1;
    if (revents & POLLIN) {
        int64_t n = other->Read(nullptr, -1, 0);
        if (n > 0)
            return 1;
        return n == 0 && !(revents & POLLHUP) ? 0 : -1;
    }
    if (revents & POLLHUP)
        return -1;
    return (revents & POLLRDHUP) ? 0 : 1;
}

/* Makes room in the block for need more bytes after those collected. The
 * limits checked before each copy keep it within HEADER_BLOCK_MAX + 1. */
static void hg_room(hg_read *read, size_t need)
{
    if (read->len + need <= read->capacity)
        return;
    size_t capacity = read->capacity;
    while (capacity < read->len + need)
        capacity *= 2;
    capacity = std::min<size_t>(capacity, HEADER_BLOCK_MAX + 1);
    ASSERT(read->len + need <= capacity);
    char *grown = (char *)xrealloc(read->block, capacity);
    if (!grown)
        FATAL_ALLOC(capacity);
    read->block = grown;
    read->capacity = capacity;
}

/* Moves the complete lines buffered in the read socket into the block.
 * Returns true when the read has ended (read->ended set): the closing blank
 * line came, or a limit or a bad byte stopped it. The lines taken leave
 * the socket's buffer in one step at the end. */
static bool hg_take_lines(hg_read *read)
{
    int64_t taken = 0;
    bool ended = hg_scan_lines(read, &taken);
    read->sock->Drop(taken);
    return ended;
}

/* hg_take_lines' walk over the buffered lines from *taken on; *taken
 * counts the bytes used (copied, or skipped as blank lines before the
 * first). A line that refuses the header stays unused. */
static bool hg_scan_lines(hg_read *read, int64_t *taken)
{
    Socket *sock = read->sock;

    while (sock->read_length > *taken) {
        const char *buffered = sock->read_buffer + *taken;
        int64_t available = sock->read_length - *taken;
        const char *newline = (const char *)memchr(buffered, '\n', (size_t)available);
        /* A server's reply is a header when it starts with a status line. */
        if (read->lines == 0 && read->side == SIDE_SERVER)
            read->strict = available >= 5 && (strncasecmp(buffered, "HTTP/", 5) == 0 ||
                                              strncasecmp(buffered, "ICAP/", 5) == 0);
        /* Room for the line and the closing "\r\n". */
        size_t room = HEADER_BLOCK_MAX - 2 - read->len;
        if (!newline) {
            if ((uint64_t)available <= room)
                return false;   /* wait for the rest of the line */
            read->ended = true;
            read->result = read->strict ? HEADER_TOO_LARGE : HEADER_OK;
            return true;
        }
        size_t line_len = (size_t)(newline - buffered) + 1;
        bool blank = line_len == 1 || (line_len == 2 && buffered[0] == '\r');

        if (blank) {
            *taken += (int64_t)line_len;
            if (read->lines == 0)
                continue;   /* blank lines before the first */
            /* A header block ends in "\r\n"; an HTTP/0.9 body keeps its bytes. */
            const char *closing = read->strict ? "\r\n" : buffered;
            size_t closing_len = read->strict ? 2 : line_len;
            /* Room for what is written: a bare "\n" becomes two bytes. */
            hg_room(read, closing_len + 1);
            memcpy(read->block + read->len, closing, closing_len);
            read->len += closing_len;
            read->block[read->len] = '\0';
            read->ended = true;
            read->result = HEADER_OK;
            return true;
        }

        bool has_nul = memchr(buffered, '\0', line_len) != nullptr;
        if (line_len > room || read->lines > HEADER_LINES_MAX || has_nul) {
            /* A header is refused; an HTTP/0.9 reply ends before the line,
             * which stays in the socket as the rest of the body. */
            read->ended = true;
            if (read->strict)
                read->result = has_nul ? HEADER_BAD : HEADER_TOO_LARGE;
            else
                read->result = read->lines == 0 ? HEADER_BAD : HEADER_OK;
            return true;
        }
        hg_room(read, line_len + 1);
        memcpy(read->block + read->len, buffered, line_len);
        read->len += line_len;
        read->block[read->len] = '\0';
        read->lines++;
        *taken += (int64_t)line_len;
    }
    return false;
}
