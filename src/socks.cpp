/*
 * SOCKS toward an upstream SOCKS server: version 4 with the resolved
 * address, version 5 by host name with optional user and password. Every
 * length a request carries is checked before anything is sent, and every
 * reply is read whole within the connect time-out before it is looked at.
 */
#include "socks.h"

#include <cstring>

#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "header.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "socket.h"

int proxy_socks4(CONNECTION_T *conn)
{
    Socket *sock = conn->server;
    const HEADER *header = conn->header;
    if (!sock || !header || !header->host || header->port <= 0 || header->port > 65535)
        return SOCKS_FAILED;
    HOSTENT *resolved = net_dns(header->host);
    if (!resolved)
        return SOCKS_NO_DNS;

    /* Version, command, port, address, user id and its NUL: at most 63
     * bytes, so at most 54 characters of the user id. */
    unsigned char request[63];
    request[0] = 0x04;
    request[1] = 0x01;
    request[2] = (unsigned char)(header->port >> 8);
    request[3] = (unsigned char)(header->port & 0xff);
    memcpy(request + 4, resolved->addr, 4);
    hostent_free(resolved);
    size_t user_len = strnlen(username, 54);
    memcpy(request + 8, username, user_len);
    request[8 + user_len] = 0x00;

    int timeout = net_ctimeout(conn);
    int64_t deadline = monotonic_ms() + (int64_t)timeout * 1000;
    NetNoWait mode(sock);
    if (net_write(sock, (const char *)request, (int64_t)(9 + user_len), timeout) < 0 ||
        net_drain(sock, 0, timeout) < 0)
        return SOCKS_FAILED;

    unsigned char reply[8];
    if (!net_read_exact(sock, reply, sizeof reply, deadline) || reply[0] != 0x00)
        return SOCKS_FAILED;
    switch (reply[1]) {
    case 90:
        return SOCKS_OK;
    case 91:
        return SOCKS_FAILED;
    case 92:
    case 93:
        return SOCKS_IDENT;
    default:
        return SOCKS_UNKNOWN;
    }
}

int proxy_socks5(CONNECTION_T *conn)
{
    Socket *sock = conn->server;
    const HEADER *header = conn->header;
    if (!sock || !header || !header->host || header->port <= 0 || header->port > 65535)
        return SOCKS_FAILED;
    size_t host_len = strlen(header->host);
    const char *user = conn->proxy_user;
    const char *password = conn->proxy_password;
    size_t user_len = user ? strlen(user) : 0;
    size_t password_len = password ? strlen(password) : 0;
    /* The format carries these lengths in one byte each. */
    if (host_len == 0 || host_len > 255 || user_len > 255 || password_len > 255)
        return SOCKS_FAILED;

    int timeout = net_ctimeout(conn);
    int64_t deadline = monotonic_ms() + (int64_t)timeout * 1000;
    NetNoWait mode(sock);
    auto send = [&](const unsigned char *bytes, size_t len) {
        return net_write(sock, (const char *)bytes, (int64_t)len, timeout) == 0 &&
               net_drain(sock, 0, timeout) == 0;
    };

    static const unsigned char greeting[4] = { 0x05, 0x02, 0x00, 0x02 };
    unsigned char reply[262];
    if (!send(greeting, sizeof greeting) || !net_read_exact(sock, reply, 2, deadline) || reply[0] != 0x05)
        return SOCKS_FAILED;
    if (reply[1] == 0x02) {
        if (user_len == 0 || password_len == 0)
            return SOCKS_FAILED;
        unsigned char auth[3 + 255 + 255];
        size_t n = 0;
        auth[n++] = 0x01;
        auth[n++] = (unsigned char)user_len;
        memcpy(auth + n, user, user_len);
        n += user_len;
        auth[n++] = (unsigned char)password_len;
        memcpy(auth + n, password, password_len);
        n += password_len;
        if (!send(auth, n) || !net_read_exact(sock, reply, 2, deadline) || reply[0] != 0x01 ||
            reply[1] != 0x00)
            return SOCKS_FAILED;
    } else if (reply[1] != 0x00) {
        return SOCKS_FAILED;
    }

    unsigned char request[7 + 255];
    size_t n = 0;
    request[n++] = 0x05;
    request[n++] = 0x01;
    request[n++] = 0x00;
    request[n++] = 0x03;
    request[n++] = (unsigned char)host_len;
    memcpy(request + n, header->host, host_len);
    n += host_len;
    request[n++] = (unsigned char)(header->port >> 8);
    request[n++] = (unsigned char)(header->port & 0xff);
    if (!send(request, n) || !net_read_exact(sock, reply, 4, deadline) || reply[0] != 0x05 ||
        reply[1] != 0x00)
        return SOCKS_FAILED;

    /* The bound address and port, by address type. */
    int64_t rest;
    switch (reply[3]) {
    case 0x01:
        rest = 4 + 2;
        break;
    case 0x04:
        rest = 16 + 2;
        break;
    case 0x03:
        if (!net_read_exact(sock, reply + 4, 1, deadline) || reply[4] == 0)
            return SOCKS_FAILED;
        rest = reply[4] + 2;
        break;
    default:
        return SOCKS_FAILED;
    }
    if (!net_read_exact(sock, reply + 5, rest, deadline))
        return SOCKS_FAILED;
    return SOCKS_OK;
}
