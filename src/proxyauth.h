#pragma once

struct CONNECTION_T;

/*
 * Answers an upstream proxy's 407 (conn->rheader) with the credentials of
 * the forwarding rule (conn->proxy_user, proxy_password, proxy_domain), by
 * the Basic scheme or the NTLM handshake, and sends the request header again
 * on conn->server. The request body, when there is one, is the caller's.
 * Returns 1 when the request was sent again with credentials; 0 when the
 * challenge cannot be answered (conn->rheader still holds the 407 and the
 * client has not been answered); -1 when the exchange failed after the
 * client was answered or lost.
 */
[[nodiscard]] int proxy_authenticate(CONNECTION_T *conn);
