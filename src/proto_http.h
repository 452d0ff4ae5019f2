#pragma once

class Filebuf;
struct CONNECTION_T;

/* Sends body to the client unless the request is a HEAD (CONN_HEAD).
 * Returns 0 when the body was sent, or nothing had to be (HEAD, or no
 * client: CONN_NOCLIENT); -1 when the write failed. */
[[nodiscard]] int http_send_body(CONNECTION_T *conn, Filebuf *body);
