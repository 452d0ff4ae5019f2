#pragma once

struct CONNECTION_T;

/* Serves one request on conn, whose client socket has input waiting (or
 * buffered): reads it, answers it, and leaves conn->keepalive_client at 1
 * when the connection may carry another request. The worker loop calls it
 * once per request and cleans up after it. */
void handle_request(CONNECTION_T *conn);
