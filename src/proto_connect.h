#pragma once

struct CONNECTION_T;

/* Opens a CONNECT tunnel to the request's host and port through the upstream
 * proxy that conn->server was just connected to (route FORWARD_CONNECT),
 * answering its 407 once with the rule's credentials. Returns 1 when the
 * tunnel is open and the request stands as it was, -1 otherwise. */
[[nodiscard]] int proxy_connect(CONNECTION_T *conn);

/* Serves the client's CONNECT request after the pipeline connected
 * conn->server: through an upstream HTTP proxy asked with the client's
 * CONNECT, or over the socket that already is the tunnel's end. Relays both
 * ways until either side ends and writes the access-log records. Returns 0. */
int protocol_connect(CONNECTION_T *conn);
