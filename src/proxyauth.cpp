/*
 * Authentication toward upstream proxies that answer 407.
 */
#include "proxyauth.h"

#include "connection.h"

int proxy_authenticate(CONNECTION_T *)
{
    /* TODO: the Basic and NTLM schemes; until then no challenge is
     * answered and the 407 stands. */
    return 0;
}
