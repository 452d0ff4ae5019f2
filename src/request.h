#pragma once

#include <string>

struct CONNECTION_T;

/* Serves one request on conn, whose client socket has input waiting (or
 * buffered): reads it, runs it through the checks, forwards it and relays
 * the answer, or answers it itself. What it decides shows on conn: the
 * response sent, keepalive_client (1 when the connection may carry another
 * request), the flags and the log entry. The worker loop calls it once per
 * request and cleans up after it. */
void handle_request(CONNECTION_T *conn);
