/*
 * The entry point of the request pipeline. The pipeline itself (reading the
 * request, the checks, forwarding, the protocol handlers) is not built yet,
 * so a request is answered with nothing and its connection is closed. The
 * function lives alone in this file so that a test binary can link a double
 * of it in its place.
 */
#include "request.h"

#include "connection.h"

void handle_request(CONNECTION_T *conn)
{
    /* TODO: run the request pipeline. Until then no request is served and
     * the worker closes the connection. */
    conn->keepalive_client = 0;
}
