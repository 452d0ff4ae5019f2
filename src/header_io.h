#pragma once

/* Reading a header block from a connection's socket and sending one. */

struct CONNECTION_T;
struct HEADER;

/* While a header is awaited on one socket, the other socket's read buffer
 * is filled up to this many bytes; past it that socket is only watched for
 * hang-up. */
#define HEADER_OTHER_BUFFER_MAX 65536

/*
 * Reads one header block from the connection's client (SIDE_CLIENT) or
 * server (SIDE_SERVER) socket within timeout seconds for the whole block,
 * while buffering what the other socket sends (up to
 * HEADER_OTHER_BUFFER_MAX bytes). Blank lines before the first line are
 * skipped; the blank line that closes the block is returned as "\r\n".
 * Returns the block as a new text (the caller frees it) or NULL; *result
 * (when given) says why. A request, or a response whose first line starts
 * with "HTTP/" or "ICAP/", must end with its blank line within
 * HEADER_BLOCK_MAX bytes and HEADER_LINES_MAX lines and hold no NUL byte;
 * otherwise NULL with HEADER_INCOMPLETE, HEADER_TOO_LARGE or HEADER_BAD.
 * Any other response (HTTP/0.9: everything is body) is returned as far as
 * it came, leaving what did not fit in the socket. When the server closes
 * while the client's header is awaited, the server socket is deleted and
 * conn->server set to NULL.
 */
char *header_get(CONNECTION_T *conn, int side, int timeout, int *result = nullptr);

/* Serialises the header and writes it to the side's socket of conn (not
 * NULL), flushed. Returns 0, or -1 when the side has no socket, the
 * serialisation fails or the write fails. With SIDE_CLIENT and
 * CONN_NOCLIENT nothing is sent and the result is 0. */
[[nodiscard]] int header_send(const HEADER *header, CONNECTION_T *conn, int side, int kind);
