#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>

struct CONNECTION_T;
struct HEADER;

/* The most bytes of a decoded NTLM challenge: the fixed part of the message
 * and the message buffer libntlm keeps behind it. A longer one is refused. */
#define NTLM_CHALLENGE_MAX_BYTES 1072
/* The fewest bytes of an NTLM challenge: signature, type, target name
 * header, flags and the eight challenge bytes. */
#define NTLM_CHALLENGE_MIN_BYTES 32
/* The longest target name a challenge may carry, in bytes; it comes back in
 * the authenticate message, which has to fit libntlm's buffer. */
#define NTLM_CHALLENGE_TARGET_MAX 256
/* The longest user, domain and password given to libntlm. */
#define NTLM_CREDENTIAL_MAX 128
/* The longest "user:password" text of a Basic value; longer is cut. */
#define PROXYAUTH_BASIC_MAX 4094
/* Seconds to wait for the challenge that answers the negotiate message. */
#define NTLM_CHALLENGE_TIMEOUT 1

/* The schemes this proxy answers an upstream's challenge with. */
enum proxyauth_scheme {
    PROXYAUTH_NONE = 0,    /* no offered scheme can be answered */
    PROXYAUTH_BASIC,
    PROXYAUTH_NTLM,
};

/* Results of ntlm_challenge_parse. */
enum ntlm_challenge_result {
    NTLM_CHALLENGE_OK = 0,
    NTLM_CHALLENGE_BAD_BASE64,   /* not Base64, or empty */
    NTLM_CHALLENGE_TOO_LONG,     /* over NTLM_CHALLENGE_MAX_BYTES decoded */
    NTLM_CHALLENGE_SHORT,        /* under NTLM_CHALLENGE_MIN_BYTES */
    NTLM_CHALLENGE_SIGNATURE,    /* not "NTLMSSP\0" */
    NTLM_CHALLENGE_TYPE,         /* not message type 2 */
};

/* Serialises every call into libntlm, which is not known to be reentrant.
 * Held only around those calls, never across network I/O. */
extern pthread_mutex_t ntlm_lock;

/*
 * Answers an upstream proxy's 407 (conn->rheader) with the credentials of
 * the forwarding rule (conn->proxy_user, proxy_password, proxy_domain), by
 * the Basic scheme or the NTLM handshake, and sends the request header again
 * on conn->server (for a CONNECT request, the CONNECT line). Every
 * Proxy-Authenticate line of the 407 is read; a scheme it does not offer is
 * never used (see proxyauth_scheme_choose). When the 407 ends the
 * connection, or answers a request with a body (the proxy may not have
 * read it), the request goes out on a new connection. The request body,
 * when there is one, is the caller's to send.
 * Returns:
 *  1  the request was sent again with credentials. For a Basic answer to an
 *     HTTP request conn->upstream_authorization stays set, so that a
 *     reconnect sends the credentials again; the caller releases it with
 *     proxyauth_clear once the answer is read.
 *  0  the challenge cannot be answered; the client has not been answered.
 *     conn->rheader holds the response to pass on: the 407, or, when the
 *     upstream answered the NTLM negotiate message with anything but a
 *     challenge, that answer (the 407 is then freed: callers must read
 *     conn->rheader again). For a CONNECT request whose 407 body was
 *     already read here, conn->rheader says Content-Length 0.
 * -1  the exchange failed after the client was answered (or is gone, or
 *     a cached copy being revalidated is left to serve); conn->rheader is
 *     the caller's to free, and the caller must not answer the client again.
 * A CONNECT request is never answered here: its failures return 0.
 */
[[nodiscard]] int proxy_authenticate(CONNECTION_T *conn);

/* The two schemes behind proxy_authenticate, with its results. */
[[nodiscard]] int send_basic_response(CONNECTION_T *conn);
[[nodiscard]] int send_ntlm_response(CONNECTION_T *conn);

/* Forgets conn->upstream_authorization (freed, NULL); harmless when unset. */
void proxyauth_clear(CONNECTION_T *conn);

/*
 * The scheme to answer the challenges of response with: NTLM when the
 * response offers it (a challenge of exactly "NTLM") and domain is set and
 * not empty, else Basic when offered, else NTLM when offered, else
 * PROXYAUTH_NONE. Every Proxy-Authenticate line is read, and a line may
 * hold several challenges separated by commas.
 */
int proxyauth_scheme_choose(const HEADER *response, const char *domain);

/* The Base64 text of the NTLM challenge in response (a Proxy-Authenticate
 * challenge "NTLM <data>"), or "" when there is none or two differ. */
std::string proxyauth_ntlm_challenge_text(const HEADER *response);

/* "Basic " and the Base64 form of "user:password" (NULL counts as empty),
 * cut at PROXYAUTH_BASIC_MAX characters. */
std::string proxyauth_basic_value(const char *user, const char *password);

/*
 * Decodes the Base64 challenge text into *message and checks it before
 * libntlm may see it: the decoded size within NTLM_CHALLENGE_MIN_BYTES and
 * NTLM_CHALLENGE_MAX_BYTES, the signature "NTLMSSP\0" and message type 2
 * (ntlm_challenge_fields_drop then clears the fields that point outside).
 * Returns an ntlm_challenge_result; *message is set only on
 * NTLM_CHALLENGE_OK.
 */
[[nodiscard]] int ntlm_challenge_parse(const char *text, std::string *message);

/*
 * Clears (all zero) each string header of the challenge message whose
 * offset and length reach past the message, or whose length is over its
 * limit (the target name NTLM_CHALLENGE_TARGET_MAX bytes), so that libntlm
 * reads nothing outside the message; the challenge stays usable without
 * that field (some servers, squid's fake NTLM helper among them, send a
 * stray target-name offset). Returns the number of fields cleared.
 */
int ntlm_challenge_fields_drop(std::string *message);

/* "NTLM " and the Base64 form of the negotiate message for user and domain
 * (either may be NULL), built under ntlm_lock; "" when user or domain is
 * over NTLM_CREDENTIAL_MAX characters. */
std::string ntlm_negotiate_value(const char *user, const char *domain);

/* "NTLM " and the Base64 form of the authenticate message answering the
 * checked challenge message (from ntlm_challenge_parse) for user and
 * password, built under ntlm_lock; "" when the message does not check or
 * user or password is over NTLM_CREDENTIAL_MAX characters. */
std::string ntlm_authenticate_value(const std::string &message, const char *user,
                                    const char *password);
