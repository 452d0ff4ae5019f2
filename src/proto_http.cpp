/*
 * The HTTP exchange with the server. A response body goes to the client
 * as it is, except after a HEAD request, whose answer carries only the
 * header even when the proxy made the page itself.
 *
 * TODO: the exchange itself (request to the server, response header,
 * relaying and buffering of bodies); for now only the body sender exists.
 */
#include "proto_http.h"

#include "connection.h"
#include "header.h"

int http_send_body(CONNECTION_T *conn, Filebuf *body)
{
    if (conn->flags & CONN_HEAD)
        return 0;
    return net_filebuf_send(body, conn, SIDE_CLIENT) < 0 ? -1 : 0;
}
