/*
 * CONNECT tunnels: the client's own CONNECT, relayed directly or through an
 * upstream proxy, and tunnels opened through an upstream proxy for other
 * requests.
 */
#include "proto_connect.h"

#include "connection.h"

int proxy_connect(CONNECTION_T *)
{
    /* TODO: the tunnel request; until then no tunnel opens. */
    return -1;
}

int protocol_connect(CONNECTION_T *)
{
    /* TODO: the relay; until then the pipeline refuses CONNECT before it
     * gets here. */
    return 0;
}
