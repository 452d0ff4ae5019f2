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

/* Whether host:port names this proxy itself for a client on conn: port is
 * the connection's listening port and host is "localhost", the proxy's
 * host name, the local address of the connection, or an address of this
 * machine in any numeric spelling; or port is another listener's and the
 * address host stands for (a number in any spelling, else resolved) is one
 * that listener takes (net_listening_on). */
bool request_addresses_proxy(const CONNECTION_T *conn, const char *host, int port);
