/*
 * The HTTP exchange with the server. The request goes out (with its body,
 * buffered or relayed from the client), the response header comes back,
 * and the body takes one of two roads: streamed block by block to the
 * client, or read whole into memory so that the response processors can
 * see it, and then decoded or coded for the client and sent with its
 * length.
 *
 * A body is only ever passed on as complete when it arrived complete. Its
 * framing is checked as it is read: a chunk-size line that is missing or
 * not a hexadecimal number within 63 bits, a chunk shorter than announced,
 * or a chunk not followed by its line end fails the transfer, and the
 * worker then closes both connections instead of pooling a server socket
 * that sits in the middle of a body. Trailers are read and dropped, so a
 * pooled connection starts at the next response.
 *
 * Memory stays bounded: a streamed body moves in blocks, and a buffered
 * one has a limit. Past it the body is streamed after all (decoded on the
 * way when the client cannot take the coding), unless a processor needs
 * to see the whole body, and then the response is refused.
 *
 * protocol_http runs the exchange as a list of steps, each returning an
 * http_step: the response head (read, parsed, interim 1xx skipped, an
 * upstream's 407 answered), the revalidation of a held copy, the
 * preparation (Age, Warning, transfer limit, cache object, X-Cache), the
 * rules on the response head, and then the body: none, buffered or
 * streamed. A new response rule is one more line in http_response_rules,
 * or in http_body_rules when it needs to know a body follows.
 */
#include "proto_http.h"
#include "proxyauth.h"

#include <strings.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "cache.h"
#include "cookies.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "headerfilter.h"
#include "hooks.h"
#include "hstream.h"
#include "interface_diag.h"
#include "log.h"
#include "mem.h"
#include "mime.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "profiles.h"
#include "protocol.h"
#include "redirect.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

/* What a step of protocol_http returns: HTTP_GO_ON to run the next step,
 * or the exchange's own result, HTTP_ANSWERED, HTTP_NO_RESPONSE or
 * HTTP_FETCH (see protocol_http). */
enum http_step {
    HTTP_NO_RESPONSE = -1,
    HTTP_GO_ON = 0,
    HTTP_ANSWERED = 1,
    HTTP_FETCH = PROTOCOL_HTTP_FETCH,
};

/* Framing of one message body. */
enum http_framing {
    HF_NONE = 0,   /* no body */
    HF_LENGTH,     /* Content-Length bytes */
    HF_CHUNKED,    /* chunked coding */
    HF_CLOSE,      /* until the peer closes */
};

/* The reader's position in a chunked body:
 * SIZE -> DATA on a size above 0, -> TRAILER on size 0;
 * DATA -> DATA_END after the chunk's bytes; DATA_END -> SIZE on an empty
 * line; TRAILER -> DONE on the empty line that ends the message. Any
 * failure -> FAILED. */
enum hb_state { HB_SIZE = 0, HB_DATA, HB_DATA_END, HB_TRAILER, HB_DONE, HB_FAILED };

/* A reader of one message body from one socket of a connection. */
struct HttpBody {
    CONNECTION_T *conn;
    int side;
    int framing;          /* http_framing */
    int state;            /* hb_state, for HF_CHUNKED; HB_DONE / HB_FAILED for all */
    int64_t left;         /* HF_LENGTH: bytes still to come; chunked: of this chunk */
    int data_timeout;     /* seconds for each block */
    int line_timeout;     /* seconds for each framing line */
    int result;           /* http_body_result once DONE or FAILED */
    NET_PROGRESS progress;   /* a body that crawls is cut off */
    bool budgeted;        /* a response read whole: it takes the response budget */
    bool over_budget;     /* buffering stopped because the budget was spent */
    int64_t budget_deadline_ms;   /* waits for room until then; 0: never waits */
    int64_t budget_spare;         /* room kept aside in the budget (for decoding) */
};

/* The output of a body streamed through the proxy's own loop: optionally
 * decoded, optionally framed in chunks, gathered and sent in pieces. */
enum sink_coding { SINK_PLAIN = 0, SINK_GZIP, SINK_DEFLATE };

struct HttpSink {
    CONNECTION_T *conn;
    bool chunked;            /* frame the output in chunks */
    int coding;              /* sink_coding of the input */
    bool z_ready;            /* z is initialised */
    bool z_ended;            /* the coded stream ended; later bytes are ignored */
    bool failed;
    std::string head;        /* the first bytes of a deflate body, to tell zlib from raw */
    z_stream z;
    Filebuf out;
};

/* The read observer on the server socket for one body, removed when the
 * body is done. */
class HttpObserver {
public:
    explicit HttpObserver(CONNECTION_T *conn);
    ~HttpObserver();
    HttpObserver(const HttpObserver &) = delete;
    HttpObserver &operator=(const HttpObserver &) = delete;

private:
    CONNECTION_T *conn;
    Socket *sock;
    int id;
};

/* A buffered response takes the response budget in steps of this many
 * bytes as it grows. */
#define HTTP_BUDGET_STEP ((int64_t)256 * 1024)

/* Gathered output is sent once it reaches this many bytes. */
#define HTTP_SINK_FLUSH_BYTES 32768
/* Interim (1xx) answers accepted before the final one. */
#define HTTP_INTERIM_MAX 16

static Socket *http_socket(CONNECTION_T *conn, int side);
static const HEADER *http_body_header(const CONNECTION_T *conn, int side);
static int http_framing_of(const CONNECTION_T *conn, int side);
static void http_body_start(HttpBody *b, CONNECTION_T *conn, int side);
static int64_t http_body_fail(HttpBody *b, int result);
static int64_t http_body_read(HttpBody *b, char *area, int64_t size);
static int http_body_fill(HttpBody *b, Filebuf *buffer);
static int64_t http_maxdbuffer(CONNECTION_T *conn);
static int http_line_end(Socket *sock, int timeout);
static int http_trailers(Socket *sock, int timeout);
static int http_send_bytes(CONNECTION_T *conn, int side, const char *bytes, int64_t len);
static int http_sink_coding(const char *content_encoding);
static void http_sink_init(HttpSink *s, CONNECTION_T *conn, bool chunked, int coding);
static void http_sink_free(HttpSink *s);
static int http_sink_emit(HttpSink *s, const char *bytes, int64_t len);
static int http_sink_flush(HttpSink *s);
static int http_sink_inflate(HttpSink *s, const char *bytes, int64_t len);
static int http_sink_write(HttpSink *s, const char *bytes, int64_t len);
static int http_sink_finish(HttpSink *s);
static char *http_request_send(CONNECTION_T *conn);
static int http_request_body(CONNECTION_T *conn);
static int http_finish(CONNECTION_T *conn);
static int http_finish_drop(CONNECTION_T *conn);
static int http_complete(CONNECTION_T *conn);
static int http_refuse(CONNECTION_T *conn, const char *why);
static bool http_processors_need_body(CONNECTION_T *conn);
static int http_pump(CONNECTION_T *conn, HttpBody *in, const Filebuf *head, int coding);
static int http_stream(CONNECTION_T *conn);
static int http_buffered(CONNECTION_T *conn);
static void http_response_setup(CONNECTION_T *conn);
static int http_proxy_auth(CONNECTION_T *conn, int timeout, int client_keep, char **text);
static int http_client_coding(CONNECTION_T *conn);
static int http_transfer_fail(CONNECTION_T *conn, int result);
static int http_head_text(CONNECTION_T *conn, char **text);
static int http_head_parse(CONNECTION_T *conn, char *text, int interim);
static int http_interim(CONNECTION_T *conn, int timeout, char **text);
static int http_head_pages(CONNECTION_T *conn);
static int http_response_head(CONNECTION_T *conn, char *text, int timeout);
static int http_revalidation(CONNECTION_T *conn, int timeout);
static bool http_interim_relayed(const CONNECTION_T *conn, int status);
static bool http_method_safe(const char *method);
static bool http_same_host_key(const HEADER *request, const char *target, std::string *key);
static int http_unsafe_invalidate(CONNECTION_T *conn);
static void http_no_stale_copy(CONNECTION_T *conn, const char *page);
static int http_prepare(CONNECTION_T *conn);
static int http_status_template(CONNECTION_T *conn);
static int http_redirect(CONNECTION_T *conn);
static int http_response_rules(CONNECTION_T *conn);
static int http_bodiless(CONNECTION_T *conn);
static int http_body_rules(CONNECTION_T *conn);
static int http_body(CONNECTION_T *conn);

/* ---- Helpers ---- */

static Socket *http_socket(CONNECTION_T *conn, int side)
{
    return side == SIDE_SERVER ? conn->server : conn->client;
}

static const HEADER *http_body_header(const CONNECTION_T *conn, int side)
{
    return side == SIDE_SERVER ? conn->rheader : conn->header;
}

/* How the body read from side is framed. A response without length or
 * chunked coding runs to the close; a request without them has none. */
static int http_framing_of(const CONNECTION_T *conn, int side)
{
    const HEADER *h = http_body_header(conn, side);
    if (!h)
        return HF_NONE;
    if (side == SIDE_SERVER && response_bodiless(conn))
        return HF_NONE;
    if (h->flags & HEADER_HAS_LENGTH)
        return h->content_length > 0 ? HF_LENGTH : HF_NONE;
    if (h->chunked)
        return HF_CHUNKED;
    return side == SIDE_SERVER ? HF_CLOSE : HF_NONE;
}


/* Writes len bytes to the side's socket within the connect time-out.
 * Returns 0, or -1 on a failure (nothing is sent to a missing client). */
static int http_send_bytes(CONNECTION_T *conn, int side, const char *bytes, int64_t len)
{
    if (side == SIDE_CLIENT && (!conn->client || (conn->flags & CONN_NOCLIENT)))
        return 0;
    Filebuf piece;
    if (piece.Add(bytes, len) != FILEBUF_OK)
        return -1;
    return net_filebuf_send(&piece, conn, side) < 0 ? -1 : 0;
}

HttpObserver::HttpObserver(CONNECTION_T *c) : conn(c), sock(nullptr), id(-1)
{
    if (conn->server && !(conn->flags & CONN_NOCALLBACK)) {
        sock = conn->server;
        id = sock->CallBackAdd(protocol_http_read_callback, conn, SOCKET_EVENT_READ);
    }
}

HttpObserver::~HttpObserver()
{
    if (sock && conn->server == sock)
        (void)sock->CallBackRemove(id);
}

/* ---- Chunk framing ---- */

int http_chunk_size(const char *start, const char *end, int64_t *size)
{
    int64_t v = 0;
    const char *p = start;
    for (; p < end && hex_digit((unsigned char)*p) >= 0; p++) {
        if (v > (INT64_MAX >> 4))
            return -1;
        v = (v << 4) | hex_digit((unsigned char)*p);
    }
    if (p == start)
        return -1;
    if (p < end && *p != ' ' && *p != '\t' && *p != ';' && *p != '\r' && *p != '\n')
        return -1;
    *size = v;
    return (int)(p - start);
}

int64_t next_chunksize(CONNECTION_T *conn, int side)
{
    Socket *sock = http_socket(conn, side);
    if (!sock)
        return -1;
    char line[HTTP_CHUNK_LINE_MAX + 1];
    int64_t n = sock->GetLine(line, sizeof line, net_timeout(conn));
    if (n <= 0)
        return -1;
    int64_t size = 0;
    if (http_chunk_size(line, line + strlen(line), &size) < 0)
        return -1;
    return size;
}

/* Reads the line that ends a chunk's data: it must be empty. Returns 0, or
 * -1 when it is missing or holds anything (the chunk was longer than its
 * size said). */
static int http_line_end(Socket *sock, int timeout)
{
    char line[4];
    int64_t n = sock->GetLine(line, sizeof line, timeout);
    if (n <= 0 || n >= (int64_t)sizeof line)
        return -1;
    return strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0 ? 0 : -1;
}

/* Reads and drops the trailer lines after the last chunk, through the
 * empty line that ends the message. Returns 0, or -1 when the end does not
 * come within the limits. */
static int http_trailers(Socket *sock, int timeout)
{
    char line[1024];
    int64_t bytes = 0;
    for (int lines = 0; lines <= HTTP_TRAILER_LINES_MAX; lines++) {
        int64_t n = sock->GetLine(line, sizeof line, timeout);
        if (n <= 0)
            return -1;
        if (strcmp(line, "\r\n") == 0 || strcmp(line, "\n") == 0)
            return 0;
        bytes += n;
        if (bytes > HTTP_TRAILER_BYTES_MAX)
            return -1;
    }
    return -1;
}

/* ---- Body reader ---- */

static void http_body_start(HttpBody *b, CONNECTION_T *conn, int side)
{
    b->conn = conn;
    b->side = side;
    b->budgeted = false;
    b->over_budget = false;
    b->budget_deadline_ms = 0;
    b->budget_spare = 0;
    b->framing = http_framing_of(conn, side);
    b->state = b->framing == HF_NONE ? HB_DONE : HB_SIZE;
    const HEADER *h = http_body_header(conn, side);
    b->left = b->framing == HF_LENGTH ? h->content_length : 0;
    b->data_timeout = net_ctimeout(conn);
    b->line_timeout = net_timeout(conn);
    b->result = HTTP_BODY_OK;
    net_progress_start(&b->progress, b->data_timeout);
}

/* Counts n bytes of the body; false (the body failed, logged) when a
 * window of the time-out passed with less than NET_PROGRESS_MIN_BYTES. */
static bool http_body_progress(HttpBody *b, int64_t n)
{
    if (net_progress_moved(&b->progress, n))
        return true;
    if (b->progress.window_bytes > 0)   /* else a plain time-out, reported by the caller */
        putlog(LOG_WARNING, "[IP:%s] %s body moved fewer than %d bytes in %d seconds, cut off",
           b->conn->ip ? b->conn->ip : "", b->side == SIDE_CLIENT ? "request" : "response",
           NET_PROGRESS_MIN_BYTES, b->data_timeout);
    return false;
}

static int64_t http_body_fail(HttpBody *b, int result)
{
    b->state = HB_FAILED;
    b->result = result;
    b->conn->flags |= CONN_TRANSFER_FAILED;
    return -1;
}

/* Delivers the next bytes of the body into area (at most size). Returns
 * the count, 0 at the end of the body, or -1 once the body failed
 * (b->result says how). Blocks go through Socket::Read, so the socket's
 * observers see them; framing lines do not. */
static int64_t http_body_read(HttpBody *b, char *area, int64_t size)
{
    if (b->state == HB_DONE)
        return 0;
    if (b->state == HB_FAILED)
        return -1;
    Socket *sock = http_socket(b->conn, b->side);
    if (!sock || !http_body_progress(b, 0))
        return http_body_fail(b, HTTP_BODY_SHORT);
    int wait = std::min(b->data_timeout, net_progress_wait(&b->progress));

    switch ((http_framing)b->framing) {
    case HF_NONE:
        b->state = HB_DONE;
        return 0;
    case HF_LENGTH: {
        if (b->left == 0) {
            b->state = HB_DONE;
            return 0;
        }
        int64_t n = sock->Read(area, std::min(size, b->left), wait);
        if (n <= 0 || !http_body_progress(b, n)) {
            if (n < 0)
                (void)http_body_progress(b, 0);   /* names a crawl as such */
            return http_body_fail(b, HTTP_BODY_SHORT);
        }
        b->left -= n;
        return n;
    }
    case HF_CLOSE: {
        int64_t n = sock->Read(area, size, wait);
        if (n == 0) {
            b->state = HB_DONE;
            return 0;
        }
        if (n < 0 || !http_body_progress(b, n))
            return http_body_fail(b, HTTP_BODY_SHORT);
        return n;
    }
    case HF_CHUNKED:
        break;
    }

    for (;;) {
        switch ((hb_state)b->state) {
        case HB_SIZE: {
            int64_t chunk = next_chunksize(b->conn, b->side);
            if (chunk < 0)
                return http_body_fail(b, HTTP_BODY_BAD);
            b->left = chunk;
            b->state = chunk == 0 ? HB_TRAILER : HB_DATA;
            break;
        }
        case HB_DATA: {
            int64_t n = sock->Read(area, std::min(size, b->left), wait);
            if (n <= 0 || !http_body_progress(b, n)) {
                if (n < 0)
                    (void)http_body_progress(b, 0);   /* names a crawl as such */
                return http_body_fail(b, HTTP_BODY_SHORT);
            }
            b->left -= n;
            if (b->left == 0)
                b->state = HB_DATA_END;
            return n;
        }
        case HB_DATA_END:
            if (http_line_end(sock, b->line_timeout) < 0)
                return http_body_fail(b, HTTP_BODY_BAD);
            b->state = HB_SIZE;
            break;
        case HB_TRAILER:
            if (http_trailers(sock, b->line_timeout) < 0)
                return http_body_fail(b, HTTP_BODY_BAD);
            b->state = HB_DONE;
            return 0;
        case HB_DONE:
            return 0;
        case HB_FAILED:
            return -1;
        }
    }
}

/* The download buffer the response budget is derived from. */
static int64_t http_maxdbuffer(CONNECTION_T *conn)
{
    return general_section ? general_section->maxdbuffer_get(conn) : 0;
}

/* Reads the rest of the body into buffer. Returns an http_body_result. On
 * HTTP_BODY_TOO_BIG the block that passed the limit is in the buffer all
 * the same (it holds at most one block more than its limit) and the rest
 * of the body is still unread, so it can be streamed. */
static int http_body_fill(HttpBody *b, Filebuf *buffer)
{
    int64_t area_size = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    std::unique_ptr<char[]> area(new char[(size_t)area_size]);   /* not zeroed: only read into */
    for (;;) {
        int64_t n = http_body_read(b, area.get(), area_size);
        if (n == 0)
            return HTTP_BODY_OK;
        if (n < 0)
            return b->result;
        if (b->budgeted && buffer->size + n + b->budget_spare > b->conn->response_reserved) {
            /* The next step of the response budget, or the end of
             * buffering: the block read is kept (booked all the same) and
             * the rest of the body is left for streaming. */
            int64_t want = std::min<int64_t>(buffer->size + n + HTTP_BUDGET_STEP, buffer->limit() + area_size) +
                           b->budget_spare;
            if (!connection_response_reserve(b->conn, want, http_maxdbuffer(b->conn), b->budget_deadline_ms)) {
                connection_response_force(b->conn, buffer->size + n + b->budget_spare);
                b->over_budget = true;
                buffer->set_limit(buffer->size + n);
                if (buffer->Add(area.get(), n) != FILEBUF_OK)
                    (void)http_body_fail(b, HTTP_BODY_TOO_BIG);
                return HTTP_BODY_TOO_BIG;
            }
        }
        if (buffer->size + n > buffer->limit()) {
            buffer->set_limit(buffer->size + n);
            if (buffer->Add(area.get(), n) != FILEBUF_OK)
                (void)http_body_fail(b, HTTP_BODY_TOO_BIG);   /* no memory: the rest is lost */
            return HTTP_BODY_TOO_BIG;
        }
        if (buffer->Add(area.get(), n) != FILEBUF_OK) {
            (void)http_body_fail(b, HTTP_BODY_TOO_BIG);
            return HTTP_BODY_TOO_BIG;
        }
    }
}

/* ---- Transfers ---- */

/* Marks the relayed body as failed and returns result, an http_body_result. */
static int http_transfer_fail(CONNECTION_T *conn, int result)
{
    conn->flags |= CONN_TRANSFER_FAILED;
    return result;
}

int http_transfer(CONNECTION_T *conn, int side)
{
    const HEADER *h = http_body_header(conn, side);
    Socket *sock = http_socket(conn, side);
    if (!h || !sock)
        return HTTP_BODY_SHORT;
    int other = side == SIDE_SERVER ? SIDE_CLIENT : SIDE_SERVER;
    std::unique_ptr<HttpObserver> observer(side == SIDE_SERVER ? new HttpObserver(conn) : nullptr);
    int framing = http_framing_of(conn, side);

    switch ((http_framing)framing) {
    case HF_NONE:
        return HTTP_BODY_OK;
    case HF_LENGTH: {
        int64_t moved = net_transfer(conn, side, h->content_length);
        if (moved != h->content_length || (conn->flags & CONN_TRANSFER_FAILED))
            return http_transfer_fail(conn, HTTP_BODY_SHORT);
        return HTTP_BODY_OK;
    }
    case HF_CLOSE:
        (void)net_transfer(conn, side, -1);
        return conn->flags & CONN_TRANSFER_FAILED ? HTTP_BODY_SHORT : HTTP_BODY_OK;
    case HF_CHUNKED:
        break;
    }

    int line_timeout = net_timeout(conn);
    for (;;) {
        int64_t size = next_chunksize(conn, side);
        if (size < 0)
            return http_transfer_fail(conn, HTTP_BODY_BAD);
        if (size == 0) {
            if (http_trailers(sock, line_timeout) < 0)
                return http_transfer_fail(conn, HTTP_BODY_BAD);
            if (http_send_bytes(conn, other, "0\r\n\r\n", 5) < 0)
                return http_transfer_fail(conn, HTTP_BODY_SHORT);
            return HTTP_BODY_OK;
        }
        char line[32];
        int len = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)size);
        if (http_send_bytes(conn, other, line, len) < 0)
            return http_transfer_fail(conn, HTTP_BODY_SHORT);
        int64_t moved = net_transfer(conn, side, size);
        if (moved != size || (conn->flags & CONN_TRANSFER_FAILED))
            return http_transfer_fail(conn, HTTP_BODY_SHORT);
        if (http_line_end(sock, line_timeout) < 0)
            return http_transfer_fail(conn, HTTP_BODY_BAD);
        if (http_send_bytes(conn, other, "\r\n", 2) < 0)
            return http_transfer_fail(conn, HTTP_BODY_SHORT);
    }
}

Filebuf *http_transfer_filebuf(CONNECTION_T *conn, int side, int64_t limit, int *result)
{
    Filebuf *buffer = new Filebuf(limit);
    HttpBody b;
    http_body_start(&b, conn, side);
    std::unique_ptr<HttpObserver> observer(side == SIDE_SERVER ? new HttpObserver(conn) : nullptr);
    int rc = http_body_fill(&b, buffer);
    /* Buffering stops after a block of data: the rest of that chunk, and
     * the line that ends it, are still to come. */
    if (rc == HTTP_BODY_TOO_BIG && b.framing == HF_CHUNKED)
        conn->upload_chunk_left = b.left;
    if (result)
        *result = rc;
    return buffer;
}

int http_transfer_discard(CONNECTION_T *conn, int side)
{
    HttpBody b;
    http_body_start(&b, conn, side);
    char area[8192];
    int64_t n;
    while ((n = http_body_read(&b, area, sizeof area)) > 0) {
    }
    return n == 0 ? HTTP_BODY_OK : b.result;
}

/* ---- Observer, body sender, dates ---- */

int protocol_http_read_callback(void *data, int64_t length, const char *bytes)
{
    CONNECTION_T *conn = (CONNECTION_T *)data;
    /* The body bytes go to the object this request writes; a refused block
     * drops the object and the transfer goes on without it, except for a
     * prefetch, which exists only to fill the cache. */
    if ((conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section && length > 0 &&
        cache_section->add(conn->cache, bytes, length) < 0 && (conn->flags & CONN_PREFETCH))
        return -1;
    conn->download_bytes += length;
    if (conn->download_left != ALLOWANCE_UNLIMITED && length > 0) {
        /* A response that fits the allowance exactly arrives whole: only
         * a block going past it ends the transfer. */
        if (length > conn->download_left) {
            conn->download_left = 0;
            conn->flags |= CONN_TRANSFER_FAILED | CONN_LIMIT_CUT;
            return -1;
        }
        conn->download_left -= length;
    }
    buffertimeout_check(conn);
    return 0;
}

int http_send_body(CONNECTION_T *conn, Filebuf *body)
{
    if (conn->flags & CONN_HEAD)
        return 0;
    return net_filebuf_send(body, conn, SIDE_CLIENT) < 0 ? -1 : 0;
}

/* Reads an HTTP date in one of its three exact forms, as GMT. */
static bool http_date_parse(const char *text, time_t *out)
{
    *out = cache_http_date(text);
    return *out != (time_t)-1;
}

int http_last_modified_equal(int status, const char *response_date, const char *stored_date)
{
    time_t b;
    if (!http_date_parse(stored_date, &b))
        return 0;
    return http_last_modified_equal_at(status, response_date, b);
}

int http_last_modified_equal_at(int status, const char *response_date, time_t stored)
{
    time_t a;
    if (status != 200 || stored <= 0 || !http_date_parse(response_date, &a))
        return 0;
    return a == stored ? 1 : 0;
}

/* ---- Streamed output ---- */

/* The decoder a Content-Encoding needs when the proxy decodes it while
 * streaming: gzip (also x-gzip) or deflate as the only coding, else -1.
 * "identity" needs none (SINK_PLAIN). */
static int http_sink_coding(const char *content_encoding)
{
    if (!content_encoding)
        return SINK_PLAIN;
    std::string coding;
    for (const char *p = content_encoding; *p; p++)
        if (*p != ' ' && *p != '\t')
            coding += (char)tolower((unsigned char)*p);
    if (coding == "gzip" || coding == "x-gzip")
        return SINK_GZIP;
    if (coding == "deflate")
        return SINK_DEFLATE;
    if (coding == "identity" || coding.empty())
        return SINK_PLAIN;
    return -1;
}

static void http_sink_init(HttpSink *s, CONNECTION_T *conn, bool chunked, int coding)
{
    s->conn = conn;
    s->chunked = chunked;
    s->coding = coding;
    s->z_ready = false;
    s->z_ended = false;
    s->failed = false;
    memset(&s->z, 0, sizeof s->z);
    s->out.set_limit(HTTP_SINK_FLUSH_BYTES * 8);
}

static void http_sink_free(HttpSink *s)
{
    if (s->z_ready)
        inflateEnd(&s->z);
    s->z_ready = false;
}

/* Sends what is gathered. */
static int http_sink_flush(HttpSink *s)
{
    if (s->out.size == 0)
        return 0;
    int rc = net_filebuf_send(&s->out, s->conn, SIDE_CLIENT) < 0 ? -1 : 0;
    if (s->out.Resize(0) != FILEBUF_OK || rc < 0) {
        s->failed = true;
        return -1;
    }
    return 0;
}

/* Adds decoded bytes to the output, in a chunk of their own when chunked. */
static int http_sink_emit(HttpSink *s, const char *bytes, int64_t len)
{
    if (len <= 0)
        return 0;
    int rc = FILEBUF_OK;
    if (s->chunked)
        rc = s->out.Addf("%llx\r\n", (unsigned long long)len);
    if (rc == FILEBUF_OK)
        rc = s->out.Add(bytes, len);
    if (rc == FILEBUF_OK && s->chunked)
        rc = s->out.Add("\r\n", 2);
    if (rc != FILEBUF_OK) {
        s->failed = true;
        return -1;
    }
    return s->out.size >= HTTP_SINK_FLUSH_BYTES ? http_sink_flush(s) : 0;
}

/* Decodes len coded bytes and emits the result. Returns 0, or -1 on coded
 * data that does not decode. */
static int http_sink_inflate(HttpSink *s, const char *bytes, int64_t len)
{
    if (!s->z_ready) {
        int bits = 15 + 16;   /* gzip framing */
        if (s->coding == SINK_DEFLATE) {
            /* "deflate" is meant to be a zlib stream, but servers also send
             * raw deflate data: the two header bytes tell them apart. */
            while (s->head.size() < 2 && len > 0) {
                s->head += *bytes++;
                len--;
            }
            if (s->head.size() < 2)
                return 0;
            unsigned char b0 = (unsigned char)s->head[0], b1 = (unsigned char)s->head[1];
            bits = (b0 & 0x0f) == 8 && ((b0 << 8) | b1) % 31 == 0 ? 15 : -15;
        }
        if (inflateInit2(&s->z, bits) != Z_OK)
            return -1;
        s->z_ready = true;
        if (!s->head.empty()) {
            std::string head;
            head.swap(s->head);
            if (http_sink_inflate(s, head.data(), (int64_t)head.size()) < 0)
                return -1;
        }
    }

    char out[16384];
    while (len > 0 && !s->z_ended) {
        uInt piece = (uInt)std::min<int64_t>(len, UINT_MAX);
        s->z.next_in = (Bytef *)bytes;
        s->z.avail_in = piece;
        int ret;
        do {
            s->z.next_out = (Bytef *)out;
            s->z.avail_out = sizeof out;
            ret = inflate(&s->z, Z_NO_FLUSH);
            if (ret != Z_OK && ret != Z_STREAM_END && ret != Z_BUF_ERROR) {
                Filebuf::zlib_error(ret);
                return -1;
            }
            if (http_sink_emit(s, out, (int64_t)(sizeof out - s->z.avail_out)) < 0)
                return -1;
        } while (ret == Z_OK && (s->z.avail_in > 0 || s->z.avail_out == 0));
        int64_t used = (int64_t)(piece - s->z.avail_in);
        bytes += used;
        len -= used;
        if (ret == Z_STREAM_END) {
            /* gzip may hold further members; anything else after the end
             * of the stream is ignored. */
            if (s->coding == SINK_GZIP && len >= 2 && (unsigned char)bytes[0] == 0x1f &&
                (unsigned char)bytes[1] == 0x8b) {
                if (inflateReset(&s->z) != Z_OK)
                    return -1;
            } else {
                s->z_ended = true;
            }
        } else if (ret == Z_BUF_ERROR && used == 0) {
            break;   /* needs more input */
        }
    }
    return 0;
}

static int http_sink_write(HttpSink *s, const char *bytes, int64_t len)
{
    if (s->failed)
        return -1;
    int rc = s->coding == SINK_PLAIN ? http_sink_emit(s, bytes, len)
                                     : http_sink_inflate(s, bytes, len);
    if (rc < 0)
        s->failed = true;
    return rc;
}

/* Ends the output: the last chunk when chunked, after a coded stream that
 * ended properly. Returns 0, or -1 when the coded data was cut short or a
 * write failed (no last chunk is sent then, so the client sees the cut). */
static int http_sink_finish(HttpSink *s)
{
    if (s->failed)
        return -1;
    if (s->coding != SINK_PLAIN && !s->z_ended) {
        s->failed = true;
        return -1;
    }
    if (s->chunked && s->out.Add("0\r\n\r\n", 5) != FILEBUF_OK)
        return -1;
    return http_sink_flush(s);
}

/* ---- The exchange ---- */

bool http_expects_continue(HEADER *h, bool drop)
{
    bool expects = false;
    for (HTTP_HEADER &line : h->headers) {
        if (strcasecmp(line.name.c_str(), "Expect") != 0)
            continue;
        if (s_strcasestr(line.value.c_str(), "100-continue"))
            expects = true;
        if (drop)
            line.pass_through = 0;
    }
    return expects && h->version == 2;
}

void http_continue(CONNECTION_T *conn, bool drop)
{
    static const char text[] = "HTTP/1.1 100 Continue\r\n\r\n";
    if (http_expects_continue(conn->header, drop))
        (void)http_send_bytes(conn, SIDE_CLIENT, text, (int64_t)sizeof text - 1);
}

/* A chunked body longer than the upload buffer: what was buffered goes
 * out as one chunk, the rest of the chunk being read when buffering
 * stopped as another, and the client's later chunks are relayed as they
 * come. Returns 0, or -1 when a side failed. */
static int http_request_body_chunked(CONNECTION_T *conn)
{
    char line[32];
    const Filebuf *body = conn->body;
    if (body && body->size > 0) {
        int len = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)body->size);
        if (http_send_bytes(conn, SIDE_SERVER, line, len) < 0 ||
            net_filebuf_send(body, conn, SIDE_SERVER) < 0 ||
            http_send_bytes(conn, SIDE_SERVER, "\r\n", 2) < 0)
            return -1;
    }
    int64_t left = conn->upload_chunk_left;
    conn->upload_chunk_left = 0;
    if (left > 0) {
        int len = snprintf(line, sizeof line, "%llx\r\n", (unsigned long long)left);
        if (http_send_bytes(conn, SIDE_SERVER, line, len) < 0 || net_transfer(conn, SIDE_CLIENT, left) != left ||
            (conn->flags & CONN_TRANSFER_FAILED) || http_send_bytes(conn, SIDE_SERVER, "\r\n", 2) < 0)
            return -1;
    }
    if (!conn->client || http_line_end(conn->client, net_timeout(conn)) < 0)
        return -1;
    return http_transfer(conn, SIDE_CLIENT) == HTTP_BODY_OK ? 0 : -1;
}

/* The body step: the buffered body, or the body relayed from the client
 * for a direct POST. Returns 0, or -1 when the client's body did not come
 * whole (the request then ends without an answer). */
static int http_request_body(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if ((conn->flags & CONN_DIRECT_POST) && h->chunked) {
        if (http_request_body_chunked(conn) < 0) {
            putlog(LOG_WARNING, "[IP:%s] request: client body ended early, request abandoned",
                   conn->ip ? conn->ip : "");
            return -1;
        }
        keepalive_check_client(conn);
        return 0;
    }
    if (!(h->flags & HEADER_HAS_LENGTH) || !conn->body)
        return 0;
    if (conn->flags & CONN_DIRECT_POST) {
        http_continue(conn, false);
        if (http_transfer(conn, SIDE_CLIENT) != HTTP_BODY_OK) {
            putlog(LOG_WARNING, "[IP:%s] request: client body ended early, request abandoned",
                   conn->ip ? conn->ip : "");
            return -1;
        }
        /* The body is consumed: the client may stay if it wants. */
        keepalive_check_client(conn);
        conn->upload_bytes = h->content_length;
        return 0;
    }
    /* The limits book what went to the server (once, also when the body
     * is sent again after an upstream's 407). */
    if (conn->body->size > 0 && net_filebuf_send(conn->body, conn, SIDE_SERVER) >= 0)
        conn->upload_bytes = conn->body->size;
    return 0;
}

/* The request goes out and the response header comes back.
 * Returns the header text, or NULL when there is none (the client has been
 * answered or is left without an answer, see header_get_reconnect). */
static char *http_request_send(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if (general_section && general_section->xforwardedfor_get(conn) == 1)
        header_held_set(h, &HEADER::x_forwarded_for, conn->ip);
    if (general_section && general_section->via_get(conn) == 1)
        via_header_update(conn);
    int kind = conn->forward_type == FORWARD_HTTP ? HEADER_SEND_PROXY : HEADER_SEND_ORIGIN;
    (void)header_send(h, conn, SIDE_SERVER, kind);   /* a dead pooled socket shows at the read */
    if (http_request_body(conn) < 0) {
        conn->keepalive_client = 0;
        conn->keepalive_server = 0;
        return nullptr;
    }
    return header_get_reconnect(conn, net_timeout(conn));
}

/* Ends the exchange without writing the records: when the client was
 * answered (a page, or the response in part), the request's end writes
 * them with what it got. */
static int http_finish(CONNECTION_T *conn)
{
    conn->keepalive_server = 0;
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    return HTTP_ANSWERED;
}

/* Ends the exchange like http_finish. An object this exchange was
 * writing dies: what it holds (or was about to hold) did not reach the
 * client. A copy that was only read (a hit refused for this client, a
 * failed check, an error page) stays as it was for everyone else; the
 * worker's clean-up gives its reference back. */
static int http_finish_drop(CONNECTION_T *conn)
{
    if ((conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section) {
        cache_section->invalidate(conn->cache);
        conn->cache = nullptr;
        conn->flags &= ~CONN_WRITING_CACHE;
    }
    return http_finish(conn);
}

/* The access-log record of a response that reached the client. */
static int http_complete(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    conn->logentry.status = r->status;
    conn->logentry.size = conn->download_bytes;
    if (r->mime && *r->mime) {
        conn->logentry.mime = r->mime;
        statincr_mimes(conn);
    }
    conn->logentry.Write();
    conn->logentry.apache_Write();
    http_header_free(r);
    conn->rheader = nullptr;
    return HTTP_ANSWERED;
}

/* A response the proxy cannot deliver as the server sent it: the client
 * gets "badresponse" instead, the server connection is dropped. */
static int http_refuse(CONNECTION_T *conn, const char *why)
{
    putlog(LOG_WARNING, "[IP:%s] %s, response refused", conn->ip ? conn->ip : "", why);
    if (template_section)
        (void)template_section->send_or_close("badresponse", conn, 400);
    return http_finish_drop(conn);
}

/* Whether a processor or a diagnostic command needs the whole body. */
static bool http_processors_need_body(CONNECTION_T *conn)
{
    return processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) == 1 ||
           url_command_find(conn->urlcommands, "raw") ||
           url_command_find(conn->urlcommands, "htmltree") ||
           url_command_find(conn->urlcommands, "score");
}

/* Sends the response header and then the body through the proxy's own
 * loop: head (bytes already read, may be NULL) first, then the rest from
 * in, decoded when coding is not SINK_PLAIN. The framing toward the client
 * is the response's length when nothing changes the bytes, else chunks for
 * an HTTP/1.1 client and the close of the connection for others. Returns
 * an http_body_result. */
static int http_pump(CONNECTION_T *conn, HttpBody *in, const Filebuf *head, int coding)
{
    HEADER *r = conn->rheader;
    bool client11 = conn->header->version == 2;
    bool chunked;
    if (coding != SINK_PLAIN) {
        header_field_set(&r->content_encoding, nullptr);
        r->flags &= ~HEADER_HAS_LENGTH;
        chunked = client11;
    } else {
        chunked = !(r->flags & HEADER_HAS_LENGTH) && client11;
    }
    r->chunked = chunked ? 1 : 0;
    if (!chunked && !(r->flags & HEADER_HAS_LENGTH))
        conn->keepalive_client = 0;   /* the close ends the body */
    if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;

    HttpSink sink;
    http_sink_init(&sink, conn, chunked, coding);
    int rc = HTTP_BODY_OK;
    if (head && head->size > 0 && http_sink_write(&sink, head->data, head->size) < 0)
        rc = HTTP_BODY_BAD;
    int64_t area_size = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    std::unique_ptr<char[]> area(new char[(size_t)area_size]);   /* not zeroed: only read into */
    while (rc == HTTP_BODY_OK) {
        int64_t n = http_body_read(in, area.get(), area_size);
        if (n == 0)
            break;
        if (n < 0)
            rc = in->result;
        else if (http_sink_write(&sink, area.get(), n) < 0)
            rc = HTTP_BODY_BAD;
    }
    if (rc == HTTP_BODY_OK && http_sink_finish(&sink) < 0)
        rc = HTTP_BODY_BAD;
    http_sink_free(&sink);
    if (rc != HTTP_BODY_OK) {
        conn->flags |= CONN_TRANSFER_FAILED;
        conn->keepalive_client = 0;
    }
    return rc;
}

/* The decoder a streamed body needs for this client: SINK_PLAIN when the
 * response has no coding or the client takes it, else the decoder of its
 * coding. A coding the proxy cannot decode goes as it came (SINK_PLAIN),
 * unless the proxy itself asked for it: then -1, and the response is
 * refused. */
static int http_client_coding(CONNECTION_T *conn)
{
    const char *coding = conn->rheader->content_encoding;
    if (!coding || accepts_encoded_content(conn))
        return SINK_PLAIN;
    int decoder = http_sink_coding(coding);
    if (decoder >= 0)
        return decoder;
    return (conn->flags & CONN_ASKED_ENCODING) ? -1 : SINK_PLAIN;
}

/* Whether the body comes from the held cache object (a hit, or a copy
 * validated by the server) rather than from the server. */
static bool http_cache_reader(const CONNECTION_T *conn)
{
    return conn->cache && cache_section && !(conn->flags & CONN_WRITING_CACHE);
}

/* The response header for the client, held in its socket so that it
 * leaves with the first block of the body in one write (a small response
 * goes whole in one). Returns 0, or -1 when it cannot be built. The caller
 * writes the body or flushes the client socket after. */
static int http_header_hold(const HEADER *r, CONNECTION_T *conn)
{
    if (conn->flags & CONN_NOCLIENT)
        return 0;
    if (!conn->client)
        return -1;
    Filebuf buffer;
    if (header_send_filebuf(&buffer, r, conn, HEADER_SEND_RESPONSE) != FILEBUF_OK)
        return -1;
    conn->client->Hold(buffer.data, buffer.size);
    return 0;
}

/* Sends what is still held for the client (a header with no body after
 * it). 0, or -1 when the write failed. */
static int http_client_flush(CONNECTION_T *conn)
{
    if ((conn->flags & CONN_NOCLIENT) || !conn->client)
        return 0;
    return conn->client->Flush();
}

/* The body, streamed: it passes block by block. A coded body for a
 * client that takes no coding is decoded on the way; one the proxy cannot
 * decode goes as it came, unless the proxy itself asked for the coding. */
static int http_stream(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    int coding = http_client_coding(conn);
    if (coding < 0)
        return http_refuse(conn, "response in a coding the proxy cannot decode");
    bool rechunk = r->chunked && conn->header->version != 2;
    /* A copy from the cache goes as it was stored: its framing was set
     * from the object, and lookups give no client a coding it refuses. */
    if (!http_cache_reader(conn) && (coding != SINK_PLAIN || rechunk)) {
        HttpObserver observer(conn);
        HttpBody in;
        http_body_start(&in, conn, SIDE_SERVER);
        (void)http_pump(conn, &in, nullptr, coding);
        return http_complete(conn);
    }
    /* A copy still being written that died before any of it went out is
     * fetched from the server instead. */
    if (http_cache_reader(conn) && !cache_section->reader_ready(conn))
        return HTTP_FETCH;
    if (http_header_hold(r, conn) != 0)
        conn->keepalive_client = 0;
    if (http_cache_reader(conn))
        conn->download_bytes += cache_section->send(conn->cache, conn, SIDE_CLIENT);
    else
        (void)http_transfer(conn, SIDE_SERVER);
    if (http_client_flush(conn) != 0)
        conn->keepalive_client = 0;
    return http_complete(conn);
}

/* The body, buffered: it is read whole (within its memory limit),
 * checked, decoded or coded for the client and sent with its length. */
static int http_buffered(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    buffertimeout_set(conn);

    /* Bodies held whole take the response budget. A response whose rules
     * need it whole waits for room within the time-out; any other streams
     * when there is none. */
    bool need_whole = http_processors_need_body(conn);
    int64_t deadline_ms = need_whole ? monotonic_ms() + (int64_t)net_timeout(conn) * 1000 : 0;
    int64_t maxdbuffer = http_maxdbuffer(conn);
    /* A coded body is decoded beside itself: that room is taken at the
     * start, never while a body is held. */
    int64_t decode_room = r->content_encoding ? buffer_limit(conn) : 0;

    std::unique_ptr<Filebuf> body;
    int rc = HTTP_BODY_OK;
    if (http_cache_reader(conn)) {
        /* The copy is read from the object; NULL when its writer failed,
         * and the request then goes to the server. */
        const CACHEVIEW &view = conn->cache_view;
        int64_t size = view.finished ? view.body_length : view.announced >= 0 ? view.announced : buffer_limit(conn);
        if (!connection_response_reserve(conn, size + FILEBUF_STEP + decode_room, maxdbuffer, deadline_ms)) {
            if (need_whole)
                return http_refuse(conn, "no memory for response bodies is free to check the copy");
            conn->flags &= ~CONN_BUFFERING;
            return http_stream(conn);
        }
        body.reset(cache_section->read_filebuf(conn->cache, view.finished ? -1 : view.announced));
        if (!body)
            return HTTP_FETCH;
        connection_response_force(conn, body->capacity + decode_room);
        /* Decoding it stays within the download buffer, as for a body
         * from the server. */
        body->set_limit(std::max<int64_t>(body->size, buffer_limit(conn)));
        conn->download_bytes += body->size;
    } else {
        body.reset(new Filebuf(buffer_limit(conn)));
        HttpObserver observer(conn);
        HttpBody in;
        http_body_start(&in, conn, SIDE_SERVER);
        in.budgeted = true;
        in.budget_deadline_ms = deadline_ms;
        in.budget_spare = decode_room;
        /* A body of known length takes its whole share at once. */
        int64_t first = HTTP_BUDGET_STEP + decode_room;
        if (in.framing == HF_LENGTH)
            first = std::min<int64_t>(in.left, body->limit()) + BLOCKSIZE + FILEBUF_STEP + decode_room;
        if (!connection_response_reserve(conn, first, maxdbuffer, deadline_ms))
            in.over_budget = true;
        rc = in.over_budget ? HTTP_BODY_TOO_BIG : http_body_fill(&in, body.get());
        if (rc == HTTP_BODY_TOO_BIG) {
            if (need_whole)
                return http_refuse(conn, in.over_budget
                                             ? "no memory for response bodies is free to check the body"
                                             : "response body over the download buffer cannot be checked");
            if (log_wanted(LOG_DEBUG))
                putlog(LOG_DEBUG, "request: response over %lld bytes%s, streamed",
                       (long long)buffer_limit(conn), in.over_budget ? " or the memory for bodies" : "");
            int coding = http_client_coding(conn);
            if (coding < 0)
                return http_refuse(conn, "response in a coding the proxy cannot decode");
            (void)http_pump(conn, &in, body.get(), coding);
            return http_complete(conn);
        }
    }
    if (rc != HTTP_BODY_OK) {
        /* Never passed on as if it were whole. */
        putlog(LOG_WARNING, "[IP:%s] request: response body from server %s after %lld bytes",
               conn->ip ? conn->ip : "", rc == HTTP_BODY_BAD ? "badly framed" : "cut short",
               (long long)(body ? body->size : 0));
        conn->keepalive_client = 0;
        if (template_section && !(conn->flags & CONN_NOCLIENT))
            (void)template_section->send_or_close("badresponse", conn, 400);
        return http_finish_drop(conn);
    }
    if (conn->flags & CONN_NOCLIENT)
        return http_complete(conn);

    bool inspectable = true;
    if (body->size > 0 && r->content_encoding) {
        /* The decoded copy (within the buffer's limit) is held beside the
         * coded one until it replaces it. */
        if (!connection_response_reserve(conn, body->capacity + body->limit(), maxdbuffer,
                                         monotonic_ms() + (int64_t)net_timeout(conn) * 1000))
            return http_refuse(conn, "no memory for response bodies is free to decode the body");
        bool too_big = false;
        int decoded = body->Decode(conn, &too_big);
        connection_response_trim(conn, body->capacity);
        if (decoded) {
            header_field_set(&r->content_encoding, nullptr);
        } else if (too_big) {
            return http_refuse(conn, "decoded response body over the download buffer");
        } else if (conn->flags & CONN_ASKED_ENCODING) {
            return http_refuse(conn, "response in a coding the proxy cannot decode");
        } else if (processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) == 1) {
            return http_refuse(conn, "response in a coding the checks cannot read");
        } else {
            inspectable = false;   /* the checks see the coded bytes */
        }
    }

    if (body->size > 0) {
        if (hooks.Execute(HOOK_PRERESPMOD, conn, body.get()) == 1)
            return http_finish(conn);
        if (!process_response(conn, body.get())) {
            /* The refusal page went in the response's place and the entry
             * holds it; a refusal that sent none logs the response. */
            if (conn->logentry.status == 0) {
                conn->logentry.status = r->status;
                conn->logentry.size = conn->download_bytes;
            }
            conn->logentry.Write();
            conn->logentry.apache_Write();
            return http_finish_drop(conn);
        }
        if (hooks.Execute(HOOK_POSTRESPMOD, conn, body.get()) != 0)
            return http_finish(conn);
    }
    /* The whole decoded body as the checks left it, shown in place of the
     * response. */
    if (url_command_find(conn->urlcommands, "raw")) {
        show_filebuf(conn, body.get());
        return http_finish(conn);
    }
    if (url_command_find(conn->urlcommands, "htmltree")) {
        delete conn->htmlstream;
        conn->htmlstream = new HTMLStream();
        conn->htmlstream->Add(body->data ? body->data : "", body->size);
        conn->htmlstream->Add(nullptr, 0);
        show_htmltree(conn);
        return http_finish(conn);
    }
    /* The processors may have grown the body. */
    connection_response_force(conn, body->capacity);
    /* Coding for the client is left out when the budget has no room for
     * the coded copy: the body goes as it is. */
    if (inspectable && !r->content_encoding && body->size > 0 &&
        connection_response_reserve(conn, body->capacity * 2 + FILEBUF_STEP, maxdbuffer, 0)) {
        (void)body->Encode(conn);
        connection_response_trim(conn, body->capacity);
    }

    keepalive_check_client(conn);
    r->content_length = body->size;
    r->flags |= HEADER_HAS_LENGTH;
    r->chunked = 0;
    if (http_header_hold(r, conn) != 0 ||
        (body->size > 0 && http_send_body(conn, body.get()) != 0) || http_client_flush(conn) != 0)
        conn->keepalive_client = 0;
    return http_complete(conn);
}

/* A copy under revalidation whose server failed (unreachable, silent or
 * a 5xx), and that must not be served stale: the client gets the page
 * template with 504, the server connection is dropped, and the copy stays
 * for a later revalidation. */
static void http_no_stale_copy(CONNECTION_T *conn, const char *page)
{
    putlog(LOG_WARNING, "cache: revalidation failed, stale copy must not be served: %s",
           conn->cache->key);
    conn->flags &= ~CONN_REVALIDATE;
    conn->keepalive_server = 0;
    delete conn->server;
    conn->server = nullptr;
    /* The copy was not served: a miss, unless no server was reached. */
    conn->logentry.set_cachecode(strcmp(page, "noconnect") == 0 ? CC_NONE : CC_TCP_MISS);
    if (template_section)
        (void)template_section->send_or_close(page, conn, 504);
}

/* The held copy that was to stand in for an unreachable server cannot be
 * read either: the client, not answered yet, gets the error page. */
static void http_copy_unreadable(CONNECTION_T *conn)
{
    if (template_section)
        (void)template_section->send_or_close("noconnect", conn, 503);
}

/* A revalidation whose server could not be reached: the held copy is
 * served as a plain hit. Returns true when there is one to serve. A copy
 * that may never be served stale is not: the client gets 504 instead. */
static bool http_cache_unvalidated(CONNECTION_T *conn)
{
    if (!conn->cache || !cache_section || !(conn->flags & CONN_REVALIDATE) ||
        (conn->flags & CONN_DIRECT_POST))
        return false;
    if (cache_section->no_stale(conn->cache)) {
        http_no_stale_copy(conn, "noconnect");
        return false;
    }
    conn->flags &= ~CONN_REVALIDATE;
    putlog(LOG_WARNING, "cache: using unvalidated cache for failed connection");
    conn->keepalive_server = 0;
    delete conn->server;
    conn->server = nullptr;
    return true;
}

/* The server's answer to a conditional request for the held copy. A 304,
 * or a response whose Last-Modified equals the stored one, confirms the
 * copy (the server connection is dropped unread for the latter): returns
 * true, rheader freed. Anything else drops the copy and the response is
 * served as a miss: returns false. */
static bool http_cache_validate(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    CACHEMAP *object = conn->cache;
    bool ok = r->status == 304;
    if (!ok && r->last_modified) {
        if (http_last_modified_equal_at(r->status, r->last_modified,
                                        cache_section->last_modified_get(object))) {
            ok = true;
            conn->keepalive_server = 0;
            delete conn->server;   /* its body is not read */
            conn->server = nullptr;
        }
    }
    if (ok) {
        conn->logentry.set_cachecode(CC_TCP_REFRESH_HIT);
        conn->flags &= ~CONN_REVALIDATE;
        conn->flags |= CONN_VALIDATED;
        cache_section->validated(object);
        cache_section->view_fill(conn);   /* restamped: the age starts again */
        http_header_free(r);
        conn->rheader = nullptr;
        putlog(LOG_CACHE, "validated: %s", object->key);
        statincr_cacherefreshhit(conn);
        return true;
    }
    statdecr_cachehit(conn);
    statincr_cachemiss(conn);
    statincr_cacherefreshmiss(conn);
    conn->logentry.set_cachecode(CC_TCP_REFRESH_MISS);
    putlog(LOG_CACHE, "failed validation: %s", object->key);
    conn->flags &= ~CONN_REVALIDATE;
    cache_section->invalidate(object);
    conn->cache = nullptr;
    return false;
}

/* Creates the object this response is written into when both headers are
 * cacheable; mode holds CACHE_WRITING and the flags the object starts
 * with. Returns true when this request now writes an object. */
static bool http_cache_create(CONNECTION_T *conn, int mode)
{
    HEADER *h = conn->header;
    HEADER *r = conn->rheader;
    if (!cache_section || conn->cache || !h->url || !r->raw || !cacheable(h))
        return false;
    if (conn->flags & CONN_PREFETCH)
        mode |= CACHE_PREFETCHED;
    /* A response the cache will not keep costs no object at all. */
    if (!cache_section->storable(conn, r, mode))
        return false;
    /* The object keeps the end-to-end lines only. */
    std::string stored = header_raw_end_to_end(r);
    conn->cache = cache_section->cache_open(conn, h->url, stored.c_str(), mode);
    if (!conn->cache)
        return false;
    putlog(LOG_CACHE, "create: %s", conn->cache->key);
    conn->flags |= CONN_WRITING_CACHE;
    return true;
}

/* Sets up a parsed response (conn->rheader): the request's host and
 * path for the response rules, the SERVER variables, the profiles, and the
 * server keep-alive. */
static void http_response_setup(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    HEADER *r = conn->rheader;
    header_field_set(&r->host, h->host);
    header_field_set(&r->path, h->path);
    header_variables(conn, "SERVER", r->headers);
    if (!(conn->flags & CONN_PREFETCH) && profile_section)
        profile_section->profiles_update(conn);
    /* The pages of "cookies", "mimeprofiles" and "variables" follow the final
     * response head (http_head_pages). */
    keepalive_check_server(conn);
}

/*
 * A 407 from the upstream proxy (conn->rheader). With the forwarding
 * rule's credentials and no attempt made yet for this request, answers it
 * once (proxy_authenticate) and sends the body again. client_keep is the
 * client's keep-alive as it was before the 407's framing was seen: the
 * 407 is not what the client gets. Returns:
 *  1  *text holds the next response header to process (rheader freed);
 *  0  the response in conn->rheader goes to the client. After an attempt
 *     it is the 407 (or the proxy's answer to the NTLM negotiation) without
 *     its Proxy-Authenticate: the proxy's challenge was ours to answer. A
 *     407 for a rule without credentials passes unchanged;
 * -1  the request ends: the client was answered or is gone (rheader freed).
 * A copy being revalidated whose server failed is served instead (1).
 */
static int http_proxy_auth(CONNECTION_T *conn, int timeout, int client_keep, char **text)
{
    if (!(conn->flags & CONN_PROXY_AUTH) && conn->proxy_user && conn->proxy_password) {
        HEADER *challenge = conn->rheader;
        int rc = proxy_authenticate(conn);
        conn->flags |= CONN_PROXY_AUTH;   /* one attempt per request */
        if (rc != 0) {
            http_header_free(conn->rheader);
            conn->rheader = nullptr;
            if (rc == 1) {
                conn->keepalive_client = client_keep;
                *text = http_request_body(conn) < 0 ? nullptr : header_get_reconnect(conn, timeout);
                proxyauth_clear(conn);   /* the answer is read: the credentials did their job */
            }
            if (*text)
                return 1;
            if (http_cache_unvalidated(conn)) {
                *text = cache_section->hit_header(conn);
                if (*text)
                    return 1;
                http_copy_unreadable(conn);
            }
            conn->keepalive_server = 0;
            return -1;
        }
        if (conn->rheader != challenge) {
            conn->keepalive_client = client_keep;
            http_response_setup(conn);   /* the proxy's answer to the negotiation */
        }
    }
    if ((conn->flags & CONN_PROXY_AUTH) && conn->rheader->status == 407) {
        header_field_set(&conn->rheader->proxy_authenticate, nullptr);
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: 407 from proxy %s:%d passed on without its challenge",
                   conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
    }
    return 0;
}

/* ---- The steps of protocol_http ---- */

/* Step: the first response header text. A plain hit gives the stored
 * header and needs no server; otherwise the request goes out, and a copy
 * held for revalidation stands in when the server cannot be reached.
 * Returns HTTP_GO_ON with *text set, or HTTP_NO_RESPONSE. */
static int http_head_text(CONNECTION_T *conn, char **text)
{
    if (conn->cache && cache_section && !(conn->flags & CONN_REVALIDATE)) {
        *text = cache_section->hit_header(conn);
    } else {
        *text = http_request_send(conn);
        if (!*text && http_cache_unvalidated(conn)) {
            *text = cache_section->hit_header(conn);
            if (!*text)
                http_copy_unreadable(conn);
        }
    }
    if (*text)
        return HTTP_GO_ON;
    conn->keepalive_server = 0;
    return HTTP_NO_RESPONSE;
}

/* Parses text (freed) into conn->rheader after the raw response-header
 * processors ran on it; interim counts the 1xx answers before it. Returns
 * HTTP_GO_ON, or HTTP_NO_RESPONSE after the client got "badresponse". */
static int http_head_parse(CONNECTION_T *conn, char *text, int interim)
{
    if (strncasecmp(text, "HTTP/", 5) == 0)
        text = process_raw_header(conn, PROCESSOR_RESPHEADER, text);
    int parse = HEADER_BAD;
    HEADER *r = text ? http_header_parse_response(text, &parse) : nullptr;
    if (!r || interim > HTTP_INTERIM_MAX) {
        putlog(LOG_ERROR, "Bad response from server");
        http_header_free(r);
        free(text);
        conn->keepalive_server = 0;
        if (template_section)
            (void)template_section->send_or_close("badresponse", conn, 400);
        return HTTP_NO_RESPONSE;
    }
    conn->rheader = r;
    if (r->version == 0 && conn->server)
        (void)conn->server->PushFront(text, (int64_t)strlen(text));   /* it is all body */
    free(text);
    return HTTP_GO_ON;
}

/* Whether an interim answer of this status goes on to the client: to an
 * HTTP/1.1 client, and a 100 only when the client's own Expect went to the
 * server (the proxy answers and drops it when it reads the body itself). */
static bool http_interim_relayed(const CONNECTION_T *conn, int status)
{
    const HEADER *h = conn->header;
    if (h->version != 2 || (conn->flags & CONN_NOCLIENT))
        return false;
    if (status != 100)
        return true;
    for (const HTTP_HEADER &line : h->headers)
        if (line.pass_through == 1 && strcasecmp(line.name.c_str(), "Expect") == 0 &&
            s_strcasestr(line.value.c_str(), "100-continue"))
            return true;
    return false;
}

/* Step within the head: an interim answer (100 Continue, 102, 103) in
 * conn->rheader is not the response; it is dropped and the next header is
 * read from the same connection into *text. Returns HTTP_GO_ON, or
 * HTTP_NO_RESPONSE after the client got "noconnect". */
static int http_interim(CONNECTION_T *conn, int timeout, char **text)
{
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    *text = header_get(conn, SIDE_SERVER, timeout);
    if (*text)
        return HTTP_GO_ON;
    conn->keepalive_server = 0;
    if (template_section)
        (void)template_section->send_or_close("noconnect", conn, 503);
    return HTTP_NO_RESPONSE;
}

/* Step: the response head from text (taken over): parsed, set up, interim
 * answers skipped and an upstream's 407 answered. Returns HTTP_GO_ON with
 * the final response in conn->rheader, or HTTP_NO_RESPONSE. */
static int http_response_head(CONNECTION_T *conn, char *text, int timeout)
{
    for (int interim = 0;; interim++) {
        if (http_head_parse(conn, text, interim) != HTTP_GO_ON)
            return HTTP_NO_RESPONSE;
        text = nullptr;
        const HEADER *r = conn->rheader;
        int client_keep = conn->keepalive_client;   /* before this response's framing */
        http_response_setup(conn);

        if (r->status >= 100 && r->status < 200 && r->status != 101) {
            if (http_interim_relayed(conn, r->status) &&
                header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
                conn->keepalive_client = 0;
            if (http_interim(conn, timeout, &text) != HTTP_GO_ON)
                return HTTP_NO_RESPONSE;
            continue;
        }
        if (r->status == 407 && conn->forward_type == FORWARD_HTTP) {
            int auth = http_proxy_auth(conn, timeout, client_keep, &text);
            if (auth < 0)
                return HTTP_NO_RESPONSE;
            if (auth == 1)
                continue;
        }
        return http_head_pages(conn);
    }
}

/* Methods that change nothing on the server. */
static bool http_method_safe(const char *method)
{
    static const char *const safe[] = { "GET", "HEAD", "OPTIONS", "TRACE" };
    for (const char *m : safe)
        if (method && strcasecmp(method, m) == 0)
            return true;
    return false;
}

/* The cache key of target (a Location or Content-Location value, absolute
 * or relative to the request) when it names the request's own host. */
static bool http_same_host_key(const HEADER *request, const char *target, std::string *key)
{
    if (!target || !*target || !request->protocol || !request->host || !request->path)
        return false;
    std::string absolute;
    const char *colon = strchr(target, ':');
    const char *slash = strchr(target, '/');
    if (colon && (!slash || colon < slash)) {
        absolute = target;
    } else {
        std::string base = std::string(request->protocol) + "://" + request->host + ":" +
                           std::to_string(request->port);
        if (target[0] == '/' && target[1] == '/') {
            absolute = std::string(request->protocol) + ":" + target;
        } else if (target[0] == '/') {
            absolute = base + target;
        } else {
            std::string dir(request->path, strcspn(request->path, "?"));
            dir.erase(dir.rfind('/') + 1);
            absolute = base + dir + target;
        }
    }
    std::string line = "GET " + absolute + " HTTP/1.1\r\n\r\n";
    std::unique_ptr<HEADER, void (*)(HEADER *)> parsed(http_header_parse_request(line.c_str()),
                                                       http_header_free);
    if (!parsed || parsed->type != HEADER_ABSOLUTE || !parsed->url || !parsed->host ||
        strcasecmp(parsed->host, request->host) != 0)
        return false;
    *key = parsed->url;
    return true;
}

/* Step: a 2xx or 3xx answer to a request that may change the resource (a
 * method other than GET, HEAD, OPTIONS and TRACE) drops the cached copies
 * of the request URL and of its Location and Content-Location on the same
 * host. Always HTTP_GO_ON. */
static int http_unsafe_invalidate(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    const HEADER *r = conn->rheader;
    if (!cache_section || r->status < 200 || r->status > 399 || http_method_safe(h->method))
        return HTTP_GO_ON;
    cache_section->invalidate_url(h->url);
    std::string key;
    if (http_same_host_key(h, r->location, &key))
        cache_section->invalidate_url(key.c_str());
    for (const HTTP_HEADER &line : r->headers)
        if (strcasecmp(line.name.c_str(), "Content-Location") == 0 &&
            http_same_host_key(h, line.value.c_str(), &key))
            cache_section->invalidate_url(key.c_str());
    return HTTP_GO_ON;
}

/* The pages of the URL commands that show the final response head in
 * place of the response: "mimeprofiles" (the profiles as evaluated again
 * with it) and "variables". Returns HTTP_GO_ON when neither is given,
 * else HTTP_ANSWERED. */
static int http_head_pages(CONNECTION_T *conn)
{
    if (url_command_find(conn->urlcommands, "cookies")) {
        /* The exchange's cookies are shown in place of the response. */
        interface_cookies_show(conn);
        return http_finish(conn);
    }
    if (url_command_find(conn->urlcommands, "mimeprofiles"))
        show_profiles(conn);
    else if (url_command_find(conn->urlcommands, "variables"))
        show_variables(conn);
    else
        return HTTP_GO_ON;
    return http_finish(conn);
}

/* Step: the server's answer to a revalidation. A confirmed copy is served:
 * its stored header becomes the response, while the server connection
 * keeps the state of the server's own answer. Returns HTTP_GO_ON or
 * HTTP_NO_RESPONSE. */
static int http_revalidation(CONNECTION_T *conn, int timeout)
{
    if (!(conn->cache && (conn->flags & CONN_REVALIDATE)))
        return HTTP_GO_ON;
    int server_keep = conn->keepalive_server;
    if (conn->rheader->status >= 500 && cache_section->no_stale(conn->cache)) {
        http_no_stale_copy(conn, "badresponse");
        http_header_free(conn->rheader);
        conn->rheader = nullptr;
        return HTTP_ANSWERED;
    }
    if (!http_cache_validate(conn))
        return HTTP_GO_ON;   /* served as a miss */
    char *text = cache_section->hit_header(conn);
    if (!text) {
        conn->keepalive_server = 0;
        return HTTP_NO_RESPONSE;
    }
    if (http_response_head(conn, text, timeout) != HTTP_GO_ON)
        return HTTP_NO_RESPONSE;
    if (!conn->server || !server_keep)
        conn->keepalive_server = 0;
    return HTTP_GO_ON;
}

/* Step: the response made ready to send. A copy from the cache gets its
 * Age, a stale one its Warning, and its framing; a response from the
 * server gets the object it is written into. Both pass the transfer limit
 * and get their X-Cache line. Returns HTTP_GO_ON or HTTP_ANSWERED. */
static int http_prepare(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    if (!conn->server && !conn->cache)
        return http_finish(conn);
    if (conn->cache) {
        /* Serving the cached copy (a plain hit or a validated one): its
         * age is the Age it arrived with plus the time it was held. */
        char age[32];
        snprintf(age, sizeof age, "%lld",
                 (long long)(cache_received_age(r) + cache_section->hit_age(conn)));
        header_field_set(&r->age, age);
        if (!(conn->flags & CONN_VALIDATED) && (conn->cache_view.flags & CACHE_EXPIRED))
            header_field_set(&r->warning, "110 stale cache");
        if (!transfer_limit_check(conn))
            return http_finish(conn);
        cache_section->response_framing(conn->cache, conn, r);
        xcache_header_update(conn, 0);
        return HTTP_GO_ON;
    }
    if (!transfer_limit_check(conn))
        return http_finish(conn);
    if (!http_cache_create(conn, CACHE_WRITING) && (conn->flags & CONN_PREFETCH))
        return http_finish(conn);
    xcache_header_update(conn, 1);
    return HTTP_GO_ON;
}

/* Rule: a page configured for the response's status replaces it. */
static int http_status_template(CONNECTION_T *conn)
{
    int status = conn->rheader->status;
    char status_name[16];
    snprintf(status_name, sizeof status_name, "%d", status);
    if (template_section && template_section->send(status_name, conn, status))
        return http_finish_drop(conn);
    return HTTP_GO_ON;
}

/* Rule: the location rules rewrite a server's redirect, which then keeps
 * the request's URL commands. */
static int http_redirect(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    if ((r->status == 301 || r->status == 302) && r->location && redirect_section)
        (void)redirect_section->redirect_do(conn, REDIRECT_LOCATION);
    if ((r->status == 301 || r->status == 302) && r->location && conn->urlcommands &&
        conn->urlcommands[0]) {
        char *location = url_command_add(conn, r->location);
        free(r->location);
        r->location = location;
    }
    return HTTP_GO_ON;
}

/* Step: the rules on the response head, each one line, in order. A rule
 * that answers the client ends the exchange. */
static int http_response_rules(CONNECTION_T *conn)
{
    int step = http_status_template(conn);
    if (step == HTTP_GO_ON)
        step = http_redirect(conn);
    if (step == HTTP_GO_ON && header_section)
        header_section->filter(conn, HEADER_FILTER_SERVER);
    return step;
}

/* Step: a response without a body (HEAD, 1xx, 204, 304) goes out as its
 * header alone. Returns HTTP_GO_ON when a body follows, else
 * HTTP_ANSWERED. */
static int http_bodiless(CONNECTION_T *conn)
{
    if (!response_bodiless(conn))
        return HTTP_GO_ON;
    HEADER *r = conn->rheader;
    if (r->status == 101) {
        conn->keepalive_server = 0;   /* the connection changed protocol */
        conn->keepalive_client = 0;
    }
    if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
    /* An object created for this response gets no body: it dies. A copy
     * that was only read stays. */
    if ((conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section) {
        cache_section->invalidate(conn->cache);
        conn->cache = nullptr;
        conn->flags &= ~CONN_WRITING_CACHE;
    }
    /* The record, written at the request's end: the head alone. */
    conn->logentry.status = r->status;
    conn->logentry.size = 0;
    if (r->mime && *r->mime)
        conn->logentry.mime = r->mime;
    /* No body follows, so the server connection is as clean as the
     * response left it: keepalive_server stays as decided. */
    http_header_free(r);
    conn->rheader = nullptr;
    return HTTP_ANSWERED;
}

/* Rule: the MIME rules. The URL command "mime" shows the rule that would
 * refuse the response in its place; a refused response is replaced by the
 * refusal page and logged as denied. */
static int http_mime_rules(CONNECTION_T *conn)
{
    if (!mime_section)
        return HTTP_GO_ON;
    if (url_command_find(conn->urlcommands, "mime")) {
        mime_section->check_show(conn);
        return http_finish_drop(conn);
    }
    if (mime_section->check_and_block(conn))
        return HTTP_GO_ON;
    /* The log entry holds the refusal page as the client got it. */
    conn->logentry.set_cachecode(CC_TCP_DENIED);
    conn->logentry.Write();
    conn->logentry.apache_Write();
    return http_finish_drop(conn);
}

/* Step: the rules on a response with a body, and the choice between
 * reading it whole (CONN_BUFFERING) and streaming it.
 * The URL command "headers" shows both headers in place of the response. */
static int http_body_rules(CONNECTION_T *conn)
{
    int rules = http_mime_rules(conn);
    if (rules != HTTP_GO_ON)
        return rules;
    /* A slice of the entity would be judged alone by a check of the whole
     * body: the request went without Range, and a partial reply that comes
     * anyway is not delivered. */
    if (conn->rheader->status == 206 && processors.Execute(PROCESSOR_BUFFCHECK, conn, nullptr) == 1)
        return http_refuse(conn, "partial response while a check of the whole body applies");
    const HEADER *h = conn->header;
    putlog((conn->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s",
           h->method ? h->method : "", h->url ? h->url : "");
    statincr_httprequests(conn);
    if (url_command_find(conn->urlcommands, "headers")) {
        show_headers(conn);
        return http_finish(conn);
    }

    if ((conn->flags & (CONN_PREFETCH | CONN_PROCESSING)) && buffer_check(conn)) {
        conn->flags |= CONN_BUFFERING;
        /* A buffered body is kept whatever the rules say; without an object
         * it gets a buffer-only one that other requests may read while it
         * fills. */
        if (conn->cache && cache_section)
            (void)cache_section->flag_set(conn->cache, CACHE_FORCE);
        else
            (void)http_cache_create(conn, CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    }
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "buffering: %d processing: %d", (conn->flags & CONN_BUFFERING) ? 1 : 0,
               (conn->flags & CONN_PROCESSING) ? 1 : 0);
    return HTTP_GO_ON;
}

/* Step: the body, buffered or streamed. Always HTTP_ANSWERED. */
static int http_body(CONNECTION_T *conn)
{
    if (conn->flags & CONN_BUFFERING)
        return http_buffered(conn);
    return http_stream(conn);
}

int protocol_http(CONNECTION_T *conn)
{
    ASSERT(conn->header != nullptr);
    conn->download_bytes = 0;
    int timeout = net_timeout(conn);

    char *text = nullptr;
    int step = http_head_text(conn, &text);
    if (step == HTTP_GO_ON)
        step = http_response_head(conn, text, timeout);
    if (step == HTTP_GO_ON)
        step = http_unsafe_invalidate(conn);
    if (step == HTTP_GO_ON)
        step = http_revalidation(conn, timeout);
    if (step == HTTP_GO_ON)
        step = http_prepare(conn);
    if (step == HTTP_GO_ON)
        step = http_response_rules(conn);
    if (step == HTTP_GO_ON)
        step = http_bodiless(conn);
    if (step == HTTP_GO_ON)
        step = http_body_rules(conn);
    if (step == HTTP_GO_ON)
        step = http_body(conn);
    ASSERT(step != HTTP_GO_ON);
    return step;
}
