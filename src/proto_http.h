#pragma once

#include <cstdint>
#include <ctime>

class Filebuf;
struct CONNECTION_T;
struct HEADER;

/* The longest chunk-size line read, extensions included; the rest of a
 * longer line is dropped. */
#define HTTP_CHUNK_LINE_MAX 64
/* The most trailer lines after the last chunk, and their bytes. */
#define HTTP_TRAILER_LINES_MAX 64
#define HTTP_TRAILER_BYTES_MAX 16384

/* How reading or relaying one message body ended. */
enum http_body_result {
    HTTP_BODY_OK = 0,       /* the whole body, as its framing announced */
    HTTP_BODY_SHORT,        /* the peer stopped (close, time-out, reset, an observer) */
    HTTP_BODY_BAD,          /* broken chunked framing */
    HTTP_BODY_TOO_BIG,      /* over the buffer's limit */
};

/*
 * Relays one HTTP exchange on conn after the pipeline connected
 * conn->server: sends the request (and its body), reads the response header
 * (answering a dead pooled connection by sending again), handles interim
 * 1xx answers, and sends the response to the client, streamed or read whole
 * for the processors and decoded or coded for the client. Writes the
 * access-log record of a response that reached the client normally.
 * Returns 1 when the exchange was completed or answered, -1 when no
 * response header came or it did not parse (the client was answered),
 * PROTOCOL_HTTP_FETCH when the cached copy it was to serve died before
 * anything of it reached the client: nothing was sent, and the caller
 * fetches the response from the server as a miss (conn->rheader may still
 * be set).
 */
#define PROTOCOL_HTTP_FETCH 2
int protocol_http(CONNECTION_T *conn);

/*
 * Relays one body from the side's socket to the other socket of conn
 * (SIDE_SERVER: the response, described by conn->rheader, to the client,
 * which may be missing; SIDE_CLIENT: the request body, described by
 * conn->header, to the server). A chunked body is re-framed: its data goes
 * out in chunks without extensions, its trailers are consumed and not
 * passed on. Returns an http_body_result; anything but HTTP_BODY_OK sets
 * CONN_TRANSFER_FAILED.
 */
int http_transfer(CONNECTION_T *conn, int side);

/*
 * Reads one whole body from the side's socket into a new buffer (never
 * NULL; the caller deletes it) of at most limit bytes, the chunks' data
 * without framing. *result (when given) is an http_body_result; on
 * anything but HTTP_BODY_OK the buffer holds what came before the failure
 * and CONN_TRANSFER_FAILED is set, except for HTTP_BODY_TOO_BIG, which
 * leaves the rest of the body unread.
 */
Filebuf *http_transfer_filebuf(CONNECTION_T *conn, int side, int64_t limit, int *result);

/* Reads one body from the side's socket and drops it. Returns an
 * http_body_result. */
int http_transfer_discard(CONNECTION_T *conn, int side);

/* Reads the next chunk-size line from the side's socket within the general
 * time-out. Returns the size (0 for the last chunk), or -1 when no line
 * came or it does not hold a valid size. */
int64_t next_chunksize(CONNECTION_T *conn, int side);

/* Reads the hexadecimal size at the start of a chunk-size line
 * start..end: digits, then the end, blanks, a ";" extension or the line
 * end. Returns the number of digits, or -1 when there are none, another
 * byte follows them, or the value exceeds INT64_MAX. */
int http_chunk_size(const char *start, const char *end, int64_t *size);

/*
 * The read observer of the server socket while a response body is read:
 * counts the bytes into download_bytes and against the download allowance
 * (the block that uses the allowance up ends the transfer with
 * CONN_TRANSFER_FAILED) and runs the buffer time-out. data is the
 * CONNECTION_T. Returns 0 to go on, -1 to fail the read.
 */
int protocol_http_read_callback(void *data, int64_t length, const char *bytes);

/* Whether the client waits for "100 Continue" before it sends its body:
 * an HTTP/1.1 request with "Expect: 100-continue". With drop the Expect
 * lines are kept from the server, which gets the body at once. */
bool http_expects_continue(HEADER *h, bool drop);

/* Tells a client that waits for it (http_expects_continue, with drop) to
 * send its body now. The one place the proxy answers "100 Continue". */
void http_continue(CONNECTION_T *conn, bool drop);

/* Sends body to the client unless the request is a HEAD (CONN_HEAD).
 * Returns 0 when the body was sent, or nothing had to be (HEAD, or no
 * client: CONN_NOCLIENT); -1 when the write failed. */
[[nodiscard]] int http_send_body(CONNECTION_T *conn, Filebuf *body);

/* Whether a 200 response revalidates a cached copy by its Last-Modified:
 * 1 only for status 200 when both dates parse as "%a, %d %b %Y %T GMT"
 * (read as GMT) and are the same instant, else 0. */
int http_last_modified_equal(int status, const char *response_date, const char *stored_date);

/* The same against a stored Last-Modified already read (0: none); this is
 * the test the revalidation of a held copy applies. */
int http_last_modified_equal_at(int status, const char *response_date, time_t stored);
