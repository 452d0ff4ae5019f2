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
    char *block;            /* HEADER_BLOCK_MAX + 1 bytes */
    size_t len;             /* bytes collected */
    int lines;              /* lines collected */
    bool strict;            /* request, or a response with a status line */
    bool ended;             /* nothing more is to be read */
    int result;             /* header_result once ended */
};

static Socket *hg_socket(CONNECTION_T *conn, int side);
static int hg_other_input(Socket *other, short revents);
static bool hg_take_lines(hg_read *read);

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

    std::unique_ptr<char, void (*)(void *)> block((char *)xmalloc(HEADER_BLOCK_MAX + 1), free);
    if (!block)
        FATAL_ALLOC(HEADER_BLOCK_MAX + 1);
    hg_read read = { conn, side, sock, block.get(), 0, 0, side == SIDE_CLIENT, false, HEADER_OK };
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
        /* Bytes held inside SSL do not show on the descriptor. */
        bool ssl_pending = sock->ssl_active && SSL_pending(sock->ssl) > 0;
        int ready = poll(fds, count, ssl_pending ? 0 : (int)std::min<int64_t>(left_ms, 1 << 30));
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
    return xstrndup(read.block, read.len);
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

/* Moves the complete lines buffered in the read socket into the block.
 * Returns true when the read has ended (read->ended set): the closing blank
 * line came, or a limit or a bad byte stopped it. */
static bool hg_take_lines(hg_read *read)
{
    Socket *sock = read->sock;

    while (sock->read_length > 0) {
        const char *buffered = sock->read_buffer;
        const char *newline = (const char *)memchr(buffered, '\n', (size_t)sock->read_length);
        /* A server's reply is a header when it starts with a status line. */
        if (read->lines == 0 && read->side == SIDE_SERVER)
            read->strict = sock->read_length >= 5 && (strncasecmp(buffered, "HTTP/", 5) == 0 ||
                                                      strncasecmp(buffered, "ICAP/", 5) == 0);
        /* Room for the line and the closing "\r\n". */
        size_t room = HEADER_BLOCK_MAX - 2 - read->len;
        if (!newline) {
            if ((uint64_t)sock->read_length <= room)
                return false;   /* wait for the rest of the line */
            read->ended = true;
            read->result = read->strict ? HEADER_TOO_LARGE : HEADER_OK;
            return true;
        }
        size_t line_len = (size_t)(newline - buffered) + 1;
        bool blank = line_len == 1 || (line_len == 2 && buffered[0] == '\r');

        if (blank) {
            if (read->lines == 0) {
                (void)sock->GetLine(nullptr, -1);   /* blank lines before the first */
                continue;
            }
            char ending[3] = { 0, 0, 0 };
            (void)sock->GetLine(ending, (int64_t)sizeof ending);
            /* A header block ends in "\r\n"; an HTTP/0.9 body keeps its bytes. */
            const char *closing = read->strict ? "\r\n" : ending;
            memcpy(read->block + read->len, closing, strlen(closing));
            read->len += strlen(closing);
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
        int64_t got = sock->GetLine(read->block + read->len, (int64_t)line_len + 1);
        if (got != (int64_t)line_len) {
            read->ended = true;
            read->result = HEADER_NONE;
            return true;
        }
        read->len += line_len;
        read->lines++;
    }
    return false;
}
