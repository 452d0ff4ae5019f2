/* Fuzz target of the body readers and the re-framing relay. The first
 * byte of an input chooses the framing (Content-Length, chunked, or until
 * close for a response), the direction (a request body from the client or
 * a response body from the server) and the reader's limit; with
 * Content-Length the next two bytes are the length. The rest is what the
 * peer sends before it shuts its sending side.
 *
 * The same bytes are read whole (http_transfer_filebuf) and relayed
 * (http_transfer). Both must agree on whether the body was whole; a whole
 * body holds no more than was sent, leaves every byte after it in the
 * socket, and its relayed form is clean chunked framing (no extensions, no
 * trailers) that reads again to the same bytes. A broken body never
 * reaches the other side with an ending that would pass it for whole. */
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "nettest.h"
#include "proto_http.h"
#include "socket.h"
#include "fuzztest.h"
#include "test_support.h"

enum { FRAME_LENGTH, FRAME_CHUNKED, FRAME_CLOSE };

/* Whether bytes are a whole body in clean chunked framing: hexadecimal
 * sizes without extensions, each chunk's data and CRLF, the last chunk and
 * its blank line exactly at the end, no trailers. */
static bool fuzz_chunked_whole(const std::string &out)
{
    size_t p = 0;
    for (;;) {
        size_t eol = out.find("\r\n", p);
        if (eol == std::string::npos || eol == p || eol - p > 16)
            return false;
        for (size_t i = p; i < eol; i++)
            if (!isxdigit((unsigned char)out[i]))
                return false;
        size_t n = strtoull(out.substr(p, eol - p).c_str(), nullptr, 16);
        p = eol + 2;
        if (n == 0)
            return out.size() == p + 2 && out.compare(p, 2, "\r\n") == 0;
        if (n > out.size() - p || out.size() - p - n < 2 || out.compare(p + n, 2, "\r\n") != 0)
            return false;
        p += n + 2;
    }
}

/* A connection of two socket pairs; the peers are the test's ends. */
struct FuzzWire {
    CONNECTION_T *conn;
    int client_peer;
    int server_peer;

    FuzzWire(const std::string &request, const std::string &response)
    {
        int a[2], b[2];
        fuzz_pair(a);
        fuzz_pair(b);
        conn = connection_new();
        conn->ip = strdup("10.0.0.1");
        conn->client = new Socket(a[0], SOCKET_MODE_NONBLOCKING);
        conn->server = new Socket(b[0], SOCKET_MODE_NONBLOCKING);
        fuzz_check(conn->client->Blocking(false) == 0);
        fuzz_check(conn->server->Blocking(false) == 0);
        client_peer = a[1];
        server_peer = b[1];
        conn->header = http_header_parse_request(request.c_str());
        fuzz_check(conn->header != nullptr);
        if (!response.empty()) {
            conn->rheader = http_header_parse_response(response.c_str());
            fuzz_check(conn->rheader != nullptr);
        }
    }

    ~FuzzWire()
    {
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        conn->header = conn->rheader = nullptr;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        connection_free(conn);
        close(client_peer);
        close(server_peer);
    }

    /* What is left of the body side's input: its buffer, then its
     * descriptor. */
    std::string left(int side)
    {
        Socket *s = side == SIDE_CLIENT ? conn->client : conn->server;
        std::string out(s->read_buffer ? s->read_buffer : "", (size_t)s->read_length);
        return out + fuzz_drain(s->fd);
    }
};

/* The request and response heads for a framing, side and length. */
static void fuzz_heads(int framing, int side, int64_t length, std::string *request,
                       std::string *response)
{
    std::string framing_line = framing == FRAME_CHUNKED ? "Transfer-Encoding: chunked\r\n"
                             : framing == FRAME_LENGTH
                                 ? "Content-Length: " + std::to_string(length) + "\r\n"
                                 : "";
    if (side == SIDE_CLIENT) {
        *request = "POST http://o.test/ HTTP/1.1\r\n" + framing_line + "\r\n";
        response->clear();
    } else {
        *request = "GET http://o.test/ HTTP/1.1\r\n\r\n";
        *response = "HTTP/1.1 200 OK\r\n" + framing_line + "\r\n";
    }
}

/* Reads body bytes sent with the framing; returns the result and the
 * body, and in *left what stayed in the socket. */
static int fuzz_read(int framing, int side, int64_t length, const std::string &sent, int64_t limit,
                     std::string *body, std::string *left)
{
    std::string request, response;
    fuzz_heads(framing, side, length, &request, &response);
    FuzzWire w(request, response);
    fuzz_send_all(side == SIDE_CLIENT ? w.client_peer : w.server_peer, sent);
    shutdown(side == SIDE_CLIENT ? w.client_peer : w.server_peer, SHUT_WR);
    int rc = -1;
    std::unique_ptr<Filebuf> got(http_transfer_filebuf(w.conn, side, limit, &rc));
    fuzz_check(got != nullptr);
    body->assign(got->data ? got->data : "", (size_t)got->size);
    *left = w.left(side);
    fuzz_check((rc == HTTP_BODY_OK || rc == HTTP_BODY_TOO_BIG) ==
               !(w.conn->flags & CONN_TRANSFER_FAILED));
    return rc;
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    nettest_general(2, 2, 2);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 3 || size > 65536)
        return 0;
    int framing = (data[0] & 3) % 3;
    int side = (data[0] & 4) ? SIDE_SERVER : SIDE_CLIENT;
    static const int64_t limits[] = { 1 << 20, 16, 256, 4096 };
    int64_t limit = limits[(data[0] >> 3) & 3];
    int64_t length = (int64_t)data[1] << 8 | data[2];
    if (framing == FRAME_CLOSE)
        side = SIDE_SERVER;   /* a request without framing has no body */
    if (framing == FRAME_LENGTH && length == 0)
        length = 1;
    std::string sent((const char *)data + 3, size - 3);

    /* Read whole. */
    std::string body, left;
    int rc = fuzz_read(framing, side, length, sent, limit, &body, &left);
    fuzz_check(body.size() <= sent.size());
    fuzz_check(left.size() <= sent.size());
    fuzz_check(sent.compare(sent.size() - left.size(), left.size(), left) == 0);
    if (rc == HTTP_BODY_OK)
        fuzz_check((int64_t)body.size() <= limit);
    if (framing == FRAME_LENGTH) {
        if (rc == HTTP_BODY_OK) {
            fuzz_check((int64_t)body.size() == length && sent.compare(0, body.size(), body) == 0);
            fuzz_check(left == sent.substr(body.size()));
        } else if (rc == HTTP_BODY_SHORT) {
            fuzz_check((int64_t)sent.size() < length);
        }
    } else if (framing == FRAME_CLOSE && rc == HTTP_BODY_OK) {
        fuzz_check(body == sent && left.empty());
    }

    /* Relayed, with no limit. */
    std::string request, response;
    fuzz_heads(framing, side, length, &request, &response);
    std::string out, relay_left;
    int relayed;
    int64_t downloaded;
    {
        FuzzWire w(request, response);
        int from = side == SIDE_CLIENT ? w.client_peer : w.server_peer;
        int to = side == SIDE_CLIENT ? w.server_peer : w.client_peer;
        fuzz_send_all(from, sent);
        shutdown(from, SHUT_WR);
        relayed = http_transfer(w.conn, side);
        downloaded = w.conn->download_bytes;
        fuzz_check((relayed == HTTP_BODY_OK) == !(w.conn->flags & CONN_TRANSFER_FAILED));
        shutdown(side == SIDE_CLIENT ? w.conn->server->fd : w.conn->client->fd, SHUT_WR);
        out = fuzz_drain(to);
        relay_left = w.left(side);
    }
    /* The reader without a limit and the relay judge alike. */
    std::string full_body = body, full_left = left;
    int full = rc;
    if (limit != limits[0])
        full = fuzz_read(framing, side, length, sent, limits[0], &full_body, &full_left);
    fuzz_check((full == HTTP_BODY_OK) == (relayed == HTTP_BODY_OK));

    if (relayed == HTTP_BODY_OK) {
        fuzz_check(relay_left == full_left);
        if (side == SIDE_SERVER)
            fuzz_check(downloaded == (int64_t)full_body.size());
        if (framing != FRAME_CHUNKED) {
            fuzz_check(out == full_body);
        } else {
            fuzz_check(fuzz_chunked_whole(out));
            /* ... which reads again to the same bytes. */
            std::string again, again_left;
            int rc2 = fuzz_read(FRAME_CHUNKED, side, 0, out, limits[0], &again, &again_left);
            fuzz_check(rc2 == HTTP_BODY_OK && again == full_body && again_left.empty());
        }
    } else if (framing == FRAME_CHUNKED) {
        /* What went out never ends like a whole body. */
        fuzz_check(!fuzz_chunked_whole(out));
    }
    return 0;
}
