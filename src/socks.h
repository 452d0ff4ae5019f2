#pragma once

/*
 * The SOCKS 4 and 5 requests toward an upstream SOCKS server, over the
 * connected conn->server, for the request's host and port. Replies are read
 * whole within the connect time-out and checked before use.
 */

struct CONNECTION_T;

/* Results of the SOCKS exchanges. */
enum socks_result {
    SOCKS_OK = 1,
    SOCKS_UNKNOWN = -1,    /* SOCKS 4: a reply code outside the protocol */
    SOCKS_FAILED = -2,     /* refused, malformed, silent, or not sendable */
    SOCKS_NO_DNS = -3,     /* SOCKS 4: the request host did not resolve */
    SOCKS_IDENT = -4,      /* SOCKS 4: refused by the server's identity check */
};

/* SOCKS 4 with the resolved address and the run-as user name as user id.
 * Returns a socks_result. */
[[nodiscard]] int proxy_socks4(CONNECTION_T *conn);

/* SOCKS 5 offering no authentication and user/password (conn->proxy_user,
 * conn->proxy_password), connecting by host name. User names, passwords
 * and host names over 255 bytes are refused before anything is sent.
 * Returns SOCKS_OK or SOCKS_FAILED. */
[[nodiscard]] int proxy_socks5(CONNECTION_T *conn);
