/* Fuzz target of the header reader over a socket pair. The first byte of
 * an input chooses the side read (client or server) and whether the
 * proxy's socket blocks; the rest is what the peer sends before it shuts
 * its sending side. Whatever header_get returns is checked against the
 * bytes sent: leading blank lines skipped, a head's lines unchanged and
 * closed by "\r\n", an HTTP/0.9 reply a prefix of what came; and every byte
 * the reader did not take must still be there for the body reader, in
 * order, nothing lost and nothing repeated. */
#include <fcntl.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "connection.h"
#include "header.h"
#include "header_io.h"
#include "socket.h"
#include "fuzztest.h"
#include "test_support.h"

/* What the proxy's socket still holds: its buffer, then the descriptor
 * read to the peer's end of stream. */
static std::string fuzz_left(Socket *sock)
{
    std::string left(sock->read_buffer ? sock->read_buffer : "", (size_t)sock->read_length);
    return left + fuzz_drain(sock->fd);
}

/* The length of the blank line ("\n" or "\r\n") at p, else 0. */
static size_t fuzz_blank(const std::string &s, size_t p)
{
    if (p < s.size() && s[p] == '\n')
        return 1;
    if (p + 1 < s.size() && s[p] == '\r' && s[p + 1] == '\n')
        return 2;
    return 0;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4 * HEADER_BLOCK_MAX)
        return 0;
    int side = (data[0] & 1) ? SIDE_SERVER : SIDE_CLIENT;
    bool blocking = (data[0] & 2) != 0;
    std::string sent((const char *)data + 1, size - 1);

    int a[2], b[2];
    fuzz_pair(a);
    fuzz_pair(b);
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.0.0.1");
    conn->client = new Socket(a[0]);
    conn->server = new Socket(b[0]);
    fuzz_check(conn->client->Blocking(blocking) == 0);
    fuzz_check(conn->server->Blocking(blocking) == 0);
    int peer = side == SIDE_CLIENT ? a[1] : b[1];
    fuzz_send_all(peer, sent);
    shutdown(peer, SHUT_WR);

    int other_peer = side == SIDE_CLIENT ? b[1] : a[1];
    if (data[0] & 4) {
        /* The other side sends a little and goes away meanwhile. */
        fuzz_send_all(other_peer, "early");
        shutdown(other_peer, SHUT_RDWR);
    }

    int rc = -1;
    char *text = header_get(conn, side, 5, &rc);
    Socket *sock = side == SIDE_CLIENT ? conn->client : conn->server;
    fuzz_check(sock != nullptr);
    std::string left = fuzz_left(sock);
    fuzz_check(left.size() <= sent.size());
    fuzz_check(sent.compare(sent.size() - left.size(), left.size(), left) == 0);

    /* The reference reading of what was sent. */
    size_t start = 0;
    while (size_t n = fuzz_blank(sent, start))
        start += n;
    bool strict = side == SIDE_CLIENT ||
                  (sent.size() - start >= 5 && (strncasecmp(sent.c_str() + start, "HTTP/", 5) == 0 ||
                                                strncasecmp(sent.c_str() + start, "ICAP/", 5) == 0));

    /* A short head with a NUL byte before its blank line is refused as
     * bad (and answered so), never taken or left waiting. */
    if (strict && !(data[0] & 4)) {
        size_t end = std::string::npos;
        for (size_t p = start; p < sent.size() && p - start <= 1000;) {
            if (fuzz_blank(sent, p)) {
                end = p;
                break;
            }
            size_t nl = sent.find('\n', p);
            if (nl == std::string::npos)
                break;
            p = nl + 1;
        }
        if (end != std::string::npos && end > start && sent.find('\0', start) < end)
            fuzz_check(!text && rc == HEADER_BAD);
    }

    if (!text) {
        fuzz_check(rc != HEADER_OK);
        /* Nothing was collected: at most the blank lines before the
         * first line are gone. */
        if (rc == HEADER_NONE)
            fuzz_check(left.size() >= sent.size() - start);
    } else {
        fuzz_check(rc == HEADER_OK);
        std::string got(text);
        fuzz_check(!got.empty());
        fuzz_check(got.size() <= (size_t)HEADER_BLOCK_MAX);
        size_t used;
        if (strict) {
            /* Whole lines as sent, then the blank line as "\r\n". */
            fuzz_check(got.size() >= 3 && got.compare(got.size() - 2, 2, "\r\n") == 0);
            size_t body = got.size() - 2;
            fuzz_check(got[body - 1] == '\n');
            fuzz_check(sent.compare(start, body, got, 0, body) == 0);
            size_t blank = fuzz_blank(sent, start + body);
            fuzz_check(blank > 0);
            fuzz_check(sent.find('\0', start) >= start + body);
            /* No earlier blank line: the block ends at the first one. */
            for (size_t p = start; p < start + body; p = sent.find('\n', p) + 1)
                fuzz_check(fuzz_blank(sent, p) == 0);
            used = start + body + blank;
        } else {
            /* An HTTP/0.9 reply: a prefix of what came, as it came. */
            fuzz_check(sent.compare(start, got.size(), got) == 0);
            used = start + got.size();
        }
        /* The rest, for the body reader: nothing lost, nothing repeated. */
        fuzz_check(left == sent.substr(used));
    }
    free(text);
    close(a[1]);
    close(b[1]);
    delete conn->client;
    delete conn->server;
    conn->client = conn->server = nullptr;
    connection_free(conn);
    return 0;
}
