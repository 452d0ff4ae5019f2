/*
 * Authentication toward upstream proxies that answer 407. The forwarding
 * rule may carry a user, password and domain for its proxy; when the proxy
 * challenges a request, we answer once with those credentials, by the Basic
 * scheme (one more send of the request) or by the NTLM handshake (a
 * negotiate message, the proxy's challenge, and the authenticate message
 * with the real request, all on one connection).
 *
 * Everything the upstream sends is untrusted. Every Proxy-Authenticate line
 * is read, and only a scheme the proxy offered is used. The NTLM challenge
 * is decoded into a bounded buffer and its signature, type, size and the
 * offsets it carries are checked before libntlm sees it; one that does not
 * check ends the attempt and the proxy's answer goes to the client as it
 * is, without its challenge. The client gets one answer whatever happens:
 * when the handshake fails after the client was answered (a page sent by
 * the reconnect logic, or by us), the caller is told so and stays silent.
 *
 * A 407 that closes its connection, or that answers a request with a body,
 * is answered on a new connection. Basic credentials stay on the
 * connection record until the caller has read the answer, so that a
 * connection found dead at that point is replaced and the request, sent
 * again, still carries them.
 * NTLM credentials are bound to the connection that carried the handshake
 * and are never sent on another.
 */
#include "proxyauth.h"

#include <arpa/inet.h>
#include <ntlm.h>
#include <strings.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "base64.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "proto_http.h"
#include "protocol.h"
#include "socket.h"
#include "templates.h"

/* One challenge of a Proxy-Authenticate value: the scheme and what follows
 * it (parameters or a Base64 token), trimmed. */
struct ProxyauthChallenge {
    std::string scheme;
    std::string data;
};

/* The request as it stands while the NTLM negotiate message goes out:
 * bodiless. Restored by restore() or when it goes out of scope. */
class NtlmLeg {
public:
    explicit NtlmLeg(HEADER *h);
    ~NtlmLeg();
    NtlmLeg(const NtlmLeg &) = delete;
    NtlmLeg &operator=(const NtlmLeg &) = delete;
    void restore();

private:
    HEADER *h;
    char *method;          /* owned while the leg stands: the request's own */
    int64_t content_length;
    unsigned flags;
    int chunked;
    bool active;
};

pthread_mutex_t ntlm_lock = PTHREAD_MUTEX_INITIALIZER;

/* The challenge flag that announces target information. */
#define NTLM_FLAG_TARGET_INFO 0x00800000u

static_assert(offsetof(tSmbNtlmAuthChallenge, uDomain) == 12, "NTLM challenge layout");
static_assert(offsetof(tSmbNtlmAuthChallenge, challengeData) == 24, "NTLM challenge layout");
static_assert(offsetof(tSmbNtlmAuthChallenge, emptyString) == 40, "NTLM challenge layout");
static_assert(offsetof(tSmbNtlmAuthChallenge, buffer) + NTLM_MSG_BUFSIZE == NTLM_CHALLENGE_MAX_BYTES,
              "NTLM challenge size");

static std::string proxyauth_trim(const std::string &text);
static void proxyauth_split(const std::string &value, std::vector<ProxyauthChallenge> *out);
static std::vector<ProxyauthChallenge> proxyauth_challenges(const HEADER *response);
static std::string proxyauth_base64(const void *data, int64_t length);
static uint32_t proxyauth_le32(const unsigned char *p);
static uint16_t proxyauth_le16(const unsigned char *p);
static bool proxyauth_field_inside(const unsigned char *msg, int64_t length, int at, uint16_t max);
static int ntlm_challenge_check(const unsigned char *msg, int64_t length);
static const char *ntlm_challenge_why(int result);
static bool proxyauth_is_connect(const CONNECTION_T *conn);
static void proxyauth_set(CONNECTION_T *conn, const std::string &value);
static bool proxyauth_drop_body(CONNECTION_T *conn);
static int proxyauth_reconnect(CONNECTION_T *conn);
static int proxyauth_fail(CONNECTION_T *conn, const char *page, int status);
static int proxyauth_ready(CONNECTION_T *conn);
static char *proxyauth_read_answer(CONNECTION_T *conn);
static HEADER *proxyauth_final_answer(CONNECTION_T *conn, char *text, int *failure);

/* ---- Challenges ---- */

static std::string proxyauth_trim(const std::string &text)
{
    size_t start = text.find_first_not_of(" \t");
    if (start == std::string::npos)
        return std::string();
    size_t end = text.find_last_not_of(" \t");
    return text.substr(start, end - start + 1);
}

/* Splits one Proxy-Authenticate value into its challenges. Items are
 * separated by commas outside quoted strings; an item that starts with a
 * token followed by "=" is a parameter of the challenge before it, any
 * other item starting with a token opens a challenge. */
static void proxyauth_split(const std::string &value, std::vector<ProxyauthChallenge> *out)
{
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    bool escaped = false;
    for (char c : value) {
        if (quoted) {
            item += c;
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == ',') {
            items.push_back(item);
            item.clear();
            continue;
        }
        if (c == '"')
            quoted = true;
        item += c;
    }
    items.push_back(item);

    for (const std::string &raw : items) {
        std::string text = proxyauth_trim(raw);
        size_t n = 0;
        while (n < text.size() && header_tchar((unsigned char)text[n]))
            n++;
        if (n == 0)
            continue;   /* nothing we can read as a scheme or parameter */
        std::string rest = proxyauth_trim(text.substr(n));
        if (!rest.empty() && rest[0] == '=') {
            if (!out->empty()) {
                ProxyauthChallenge &last = out->back();
                last.data += last.data.empty() ? text : ", " + text;
            }
            continue;
        }
        if (n < text.size() && text[n] != ' ' && text[n] != '\t')
            continue;   /* a scheme must end at a blank */
        out->push_back(ProxyauthChallenge{ text.substr(0, n), rest });
    }
}

/* Every challenge of every Proxy-Authenticate line of response, in order.
 * None once the field was removed (it is NULL then). */
static std::vector<ProxyauthChallenge> proxyauth_challenges(const HEADER *response)
{
    std::vector<ProxyauthChallenge> out;
    if (!response || !response->proxy_authenticate)
        return out;
    bool listed = false;
    for (const HTTP_HEADER &line : response->headers) {
        if (strcasecmp(line.name.c_str(), "Proxy-Authenticate") != 0)
            continue;
        listed = true;
        proxyauth_split(line.value, &out);
    }
    if (!listed)
        proxyauth_split(response->proxy_authenticate, &out);
    return out;
}

int proxyauth_scheme_choose(const HEADER *response, const char *domain)
{
    bool ntlm = false;
    bool basic = false;
    for (const ProxyauthChallenge &c : proxyauth_challenges(response)) {
        if (strcasecmp(c.scheme.c_str(), "NTLM") == 0 && c.data.empty())
            ntlm = true;
        else if (strcasecmp(c.scheme.c_str(), "Basic") == 0)
            basic = true;
    }
    if (ntlm && domain && *domain)
        return PROXYAUTH_NTLM;
    if (basic)
        return PROXYAUTH_BASIC;
    return ntlm ? PROXYAUTH_NTLM : PROXYAUTH_NONE;
}

std::string proxyauth_ntlm_challenge_text(const HEADER *response)
{
    std::string found;
    for (const ProxyauthChallenge &c : proxyauth_challenges(response)) {
        if (strcasecmp(c.scheme.c_str(), "NTLM") != 0 || c.data.empty())
            continue;
        if (!found.empty() && found != c.data)
            return std::string();   /* two different challenges: we cannot tell which */
        found = c.data;
    }
    return found;
}

/* ---- Wire values ---- */

static std::string proxyauth_base64(const void *data, int64_t length)
{
    int64_t size = base64_encoded_size(length);
    if (size < 0)
        return std::string();
    std::string out((size_t)size + 1, '\0');
    to64frombits(&out[0], (const unsigned char *)data, length);
    out.resize((size_t)size);
    return out;
}

std::string proxyauth_basic_value(const char *user, const char *password)
{
    std::string pair = user ? user : "";
    pair += ':';
    pair += password ? password : "";
    if (pair.size() > PROXYAUTH_BASIC_MAX)
        pair.resize(PROXYAUTH_BASIC_MAX);
    return "Basic " + proxyauth_base64(pair.data(), (int64_t)pair.size());
}

static uint32_t proxyauth_le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint16_t proxyauth_le16(const unsigned char *p)
{
    return (uint16_t)(p[0] | p[1] << 8);
}

/* Whether the string header at byte at of msg (length, space, offset)
 * points inside the message and its length is at most max. */
static bool proxyauth_field_inside(const unsigned char *msg, int64_t length, int at, uint16_t max)
{
    uint16_t len = proxyauth_le16(msg + at);
    uint32_t offset = proxyauth_le32(msg + at + 4);
    if (len > max)
        return false;
    return len == 0 || ((int64_t)offset <= length && (int64_t)len <= length - (int64_t)offset);
}

/* Checks the fixed part of a decoded challenge message; an
 * ntlm_challenge_result. */
static int ntlm_challenge_check(const unsigned char *msg, int64_t length)
{
    if (length > NTLM_CHALLENGE_MAX_BYTES)
        return NTLM_CHALLENGE_TOO_LONG;
    if (length < NTLM_CHALLENGE_MIN_BYTES)
        return NTLM_CHALLENGE_SHORT;
    if (memcmp(msg, "NTLMSSP\0", 8) != 0)
        return NTLM_CHALLENGE_SIGNATURE;
    if (proxyauth_le32(msg + 8) != 2)
        return NTLM_CHALLENGE_TYPE;
    return NTLM_CHALLENGE_OK;
}

int ntlm_challenge_fields_drop(std::string *message)
{
    unsigned char *msg = (unsigned char *)&(*message)[0];
    int64_t length = (int64_t)message->size();
    int dropped = 0;
    /* The target name, and the target information when the flags announce
     * it (otherwise those bytes may be the start of the data). */
    bool target_info = (proxyauth_le32(msg + 20) & NTLM_FLAG_TARGET_INFO) != 0;
    const struct {
        int at;
        uint16_t max;
        bool present;
    } fields[] = { { 12, NTLM_CHALLENGE_TARGET_MAX, true }, { 40, UINT16_MAX, target_info } };
    for (const auto &f : fields) {
        if (!f.present || length < f.at + 8 || proxyauth_field_inside(msg, length, f.at, f.max))
            continue;
        memset(msg + f.at, 0, 8);
        dropped++;
    }
    return dropped;
}

static const char *ntlm_challenge_why(int result)
{
    switch ((ntlm_challenge_result)result) {
    case NTLM_CHALLENGE_OK:
        return "valid";
    case NTLM_CHALLENGE_BAD_BASE64:
        return "not Base64";
    case NTLM_CHALLENGE_TOO_LONG:
        return "too long";
    case NTLM_CHALLENGE_SHORT:
        return "too short";
    case NTLM_CHALLENGE_SIGNATURE:
        return "no NTLMSSP signature";
    case NTLM_CHALLENGE_TYPE:
        return "not a challenge message";
    }
    return "invalid";
}

int ntlm_challenge_parse(const char *text, std::string *message)
{
    if (!text || !*text)
        return NTLM_CHALLENGE_BAD_BASE64;
    unsigned char decoded[NTLM_CHALLENGE_MAX_BYTES + 1];   /* decoded bytes and terminator */
    int64_t n = from64tobits((char *)decoded, (int64_t)sizeof decoded, text);
    if (n == BASE64_TOO_LONG)
        return NTLM_CHALLENGE_TOO_LONG;
    if (n <= 0)
        return NTLM_CHALLENGE_BAD_BASE64;
    int rc = ntlm_challenge_check(decoded, n);
    if (rc != NTLM_CHALLENGE_OK)
        return rc;
    message->assign((const char *)decoded, (size_t)n);
    int dropped = ntlm_challenge_fields_drop(message);
    if (dropped > 0 && log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: NTLM challenge: %d field(s) outside the message ignored", dropped);
    return NTLM_CHALLENGE_OK;
}

std::string ntlm_negotiate_value(const char *user, const char *domain)
{
    user = user ? user : "";
    domain = domain ? domain : "";
    if (strlen(user) > NTLM_CREDENTIAL_MAX || strlen(domain) > NTLM_CREDENTIAL_MAX)
        return std::string();
    tSmbNtlmAuthRequest request;
    memset(&request, 0, sizeof request);
    {
        MutexGuard guard(&ntlm_lock);
        buildSmbNtlmAuthRequest(&request, user, domain);
    }
    int64_t length = (int64_t)SmbLength(&request);
    ASSERT(length > 0 && length <= (int64_t)sizeof request);
    return "NTLM " + proxyauth_base64(&request, length);
}

std::string ntlm_authenticate_value(const std::string &message, const char *user,
                                    const char *password)
{
    user = user ? user : "";
    password = password ? password : "";
    if (strlen(user) > NTLM_CREDENTIAL_MAX || strlen(password) > NTLM_CREDENTIAL_MAX)
        return std::string();
    if (ntlm_challenge_check((const unsigned char *)message.data(), (int64_t)message.size()) !=
        NTLM_CHALLENGE_OK)
        return std::string();
    std::string checked = message;
    (void)ntlm_challenge_fields_drop(&checked);
    /* Zero-filled, so that fields past a short message read as empty. */
    tSmbNtlmAuthChallenge challenge;
    memset(&challenge, 0, sizeof challenge);
    memcpy(&challenge, checked.data(), checked.size());
    tSmbNtlmAuthResponse response;
    memset(&response, 0, sizeof response);
    {
        MutexGuard guard(&ntlm_lock);
        buildSmbNtlmAuthResponse(&challenge, &response, user, password);
    }
    int64_t length = (int64_t)SmbLength(&response);
    ASSERT(length > 0 && length <= (int64_t)sizeof response);
    std::string value = "NTLM " + proxyauth_base64(&response, length);
    memset(&response, 0, sizeof response);   /* password hashes */
    return value;
}

/* ---- The exchange ---- */

NtlmLeg::NtlmLeg(HEADER *header)
    : h(header), method(nullptr), content_length(header->content_length), flags(header->flags),
      chunked(header->chunked), active(true)
{
    bool body = ((h->flags & HEADER_HAS_LENGTH) && h->content_length > 0) || h->chunked;
    if (body && h->type != HEADER_CONNECT) {
        method = h->method;   /* held here until restore */
        h->method = xstrdup("GET");
    }
    h->flags &= ~HEADER_HAS_LENGTH;
    h->chunked = 0;
}

NtlmLeg::~NtlmLeg()
{
    restore();
}

void NtlmLeg::restore()
{
    if (!active)
        return;
    active = false;
    if (method) {
        free(h->method);
        h->method = method;
        method = nullptr;
    }
    h->content_length = content_length;
    h->flags = flags;
    h->chunked = chunked;
}

static bool proxyauth_is_connect(const CONNECTION_T *conn)
{
    return conn->header->type == HEADER_CONNECT;
}

void proxyauth_clear(CONNECTION_T *conn)
{
    free(conn->upstream_authorization);
    conn->upstream_authorization = nullptr;
}

static void proxyauth_set(CONNECTION_T *conn, const std::string &value)
{
    proxyauth_clear(conn);
    conn->upstream_authorization = xstrdup(value.c_str());
}

/* Reads and drops the body of conn->rheader. Returns true when the server
 * connection can carry the next message: the body ended as framed and the
 * server keeps the connection. A body that ends early is no failure of the
 * request (a new connection is made), so CONN_TRANSFER_FAILED stays as it
 * was. */
static bool proxyauth_drop_body(CONNECTION_T *conn)
{
    if (!conn->server)
        return false;
    keepalive_check_server(conn);
    unsigned failed_before = conn->flags & CONN_TRANSFER_FAILED;
    bool whole = http_transfer_discard(conn, SIDE_SERVER) == HTTP_BODY_OK;
    conn->flags = (conn->flags & ~CONN_TRANSFER_FAILED) | failed_before;
    return whole && conn->keepalive_server == 1 && conn->server && conn->server->fd >= 0;
}

/* Replaces conn->server by a new connection to the upstream proxy. For a
 * CONNECT request that is a plain connection to the proxy (the tunnel is
 * not open yet); otherwise protocol_reconnect. Returns 0, or the negative
 * connect result. */
static int proxyauth_reconnect(CONNECTION_T *conn)
{
    if (!proxyauth_is_connect(conn)) {
        int rc = protocol_reconnect(conn);
        return rc < 0 ? rc : 0;
    }
    delete conn->server;
    conn->server = nullptr;
    conn->keepalive_server = 0;
    int fd = protocol_connect_to(conn, conn->proxy_host, conn->proxy_port);
    return fd < 0 ? fd : 0;
}

/* The attempt failed after the response's body was read. An HTTP request
 * gets the page (unless a cached copy being revalidated is served instead)
 * and the result is -1. A CONNECT request is left to its caller: the
 * response now says Content-Length 0, and the result is 0. */
static int proxyauth_fail(CONNECTION_T *conn, const char *page, int status)
{
    conn->keepalive_server = 0;
    proxyauth_clear(conn);
    if (proxyauth_is_connect(conn)) {
        if (conn->rheader) {
            conn->rheader->flags |= HEADER_HAS_LENGTH;
            conn->rheader->content_length = 0;
            conn->rheader->chunked = 0;
        }
        return 0;
    }
    if (!(conn->cache && (conn->flags & CONN_REVALIDATE)) && template_section)
        (void)template_section->send_or_close(page, conn, status);
    return -1;
}

/* Drops the 407's body and makes sure a connection is there to answer on:
 * a new one when the 407 ended its connection, when it answered a request
 * with a body, or when it answered a CONNECT. A proxy may refuse a request
 * with a body before it has read the body and then never read another
 * request on that connection (squid does so while saying keep-alive), so
 * the credentials go on a new connection. A CONNECT's answer is read on
 * its connection only, with no second try: were the proxy to close after
 * its 407 without saying so, the credentials would be lost in a dead
 * socket, so they always go on a new one. Returns 0 when ready, else the
 * negative connect result of the new connection. */
static int proxyauth_ready(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    bool body = ((h->flags & HEADER_HAS_LENGTH) && h->content_length > 0) || h->chunked;
    const char *proxy = conn->proxy_host ? conn->proxy_host : "";
    if (proxyauth_is_connect(conn)) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: proxy %s:%d challenged a CONNECT, connecting again", proxy,
                   conn->proxy_port);
    } else if (body) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: proxy %s:%d challenged a request with a body, connecting again",
                   proxy, conn->proxy_port);
    } else if (proxyauth_drop_body(conn)) {
        return 0;
    } else if (log_wanted(LOG_DEBUG)) {
        putlog(LOG_DEBUG, "request: proxy %s:%d closed after its challenge, connecting again", proxy,
               conn->proxy_port);
    }
    return proxyauth_reconnect(conn);
}

int send_basic_response(CONNECTION_T *conn)
{
    if (!conn->header || !conn->rheader)
        return 0;
    int rc = proxyauth_ready(conn);
    if (rc < 0)
        return proxyauth_fail(conn, error_to_template(rc), 503);
    proxyauth_set(conn, proxyauth_basic_value(conn->proxy_user, conn->proxy_password));
    /* A write that fails shows when the answer is read; the HTTP exchange
     * then connects again and sends the credentials once more. */
    (void)header_send(conn->header, conn, SIDE_SERVER, HEADER_SEND_PROXY);
    if (proxyauth_is_connect(conn))
        proxyauth_clear(conn);   /* the answer is read on this connection only */
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: Basic credentials sent to proxy %s:%d",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
    return 1;
}

/* Reads the answer to the negotiate message. An HTTP request may be sent
 * again on a new connection (the leg's state is kept for that); a CONNECT
 * request only reads. NULL when none came. */
static char *proxyauth_read_answer(CONNECTION_T *conn)
{
    if (proxyauth_is_connect(conn))
        return header_get(conn, SIDE_SERVER, net_timeout(conn));
    return header_get_reconnect(conn, NTLM_CHALLENGE_TIMEOUT);
}

/* Parses the answer text (taken over), skipping interim answers. Returns
 * the final answer, or NULL with *failure set to the page to send. */
static HEADER *proxyauth_final_answer(CONNECTION_T *conn, char *text, int *failure)
{
    for (int interim = 0; text; interim++) {
        HEADER *answer = http_header_parse_response(text);
        free(text);
        text = nullptr;
        if (!answer || answer->version == 0 || interim > 16) {
            http_header_free(answer);
            putlog(LOG_ERROR, "Bad response from server");
            *failure = 400;
            return nullptr;
        }
        if (answer->status >= 200 || answer->status == 101)
            return answer;
        http_header_free(answer);
        text = header_get(conn, SIDE_SERVER, net_timeout(conn));
    }
    *failure = 503;
    return nullptr;
}

int send_ntlm_response(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    if (!h || !conn->rheader)
        return 0;
    std::string negotiate = ntlm_negotiate_value(conn->proxy_user, conn->proxy_domain);
    if (negotiate.empty()) {
        putlog(LOG_WARNING, "request: NTLM credentials for proxy %s:%d too long, not sent",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
        return 0;
    }
    int rc = proxyauth_ready(conn);
    if (rc < 0)
        return proxyauth_fail(conn, error_to_template(rc), 503);

    char *text = nullptr;
    {
        NtlmLeg leg(h);
        /* The handshake needs this connection: a failed read connects
         * again and sends the negotiate message once more. */
        conn->keepalive_server = 1;
        proxyauth_set(conn, negotiate);
        (void)header_send(h, conn, SIDE_SERVER, HEADER_SEND_PROXY);
        text = proxyauth_read_answer(conn);
    }
    proxyauth_clear(conn);
    if (!text) {
        if (proxyauth_is_connect(conn))
            return proxyauth_fail(conn, "noconnect", 503);
        conn->keepalive_server = 0;   /* the client was answered */
        return -1;
    }

    int failure = 0;
    HEADER *answer = proxyauth_final_answer(conn, text, &failure);
    if (!answer)
        return proxyauth_fail(conn, failure == 400 ? "badresponse" : "noconnect", failure);
    http_header_free(conn->rheader);   /* the 407 is answered; this replaces it */
    conn->rheader = answer;
    keepalive_check_server(conn);

    std::string challenge_text = proxyauth_ntlm_challenge_text(answer);
    if (answer->status != 407 || challenge_text.empty()) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: proxy %s:%d answered the NTLM negotiation with %d and no challenge",
                   conn->proxy_host ? conn->proxy_host : "", conn->proxy_port, answer->status);
        return 0;
    }
    std::string message;
    int check = ntlm_challenge_parse(challenge_text.c_str(), &message);
    if (check != NTLM_CHALLENGE_OK) {
        putlog(LOG_WARNING, "request: NTLM challenge from proxy %s:%d refused: %s",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port, ntlm_challenge_why(check));
        return 0;
    }
    if (!conn->keepalive_server) {
        putlog(LOG_WARNING, "request: proxy %s:%d closes the connection of its NTLM challenge",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
        return 0;
    }
    std::string authenticate = ntlm_authenticate_value(message, conn->proxy_user, conn->proxy_password);
    if (authenticate.empty()) {
        putlog(LOG_WARNING, "request: NTLM credentials for proxy %s:%d too long, not sent",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
        return 0;
    }
    if (!proxyauth_drop_body(conn))
        return proxyauth_fail(conn, "noconnect", 503);   /* the handshake's connection is gone */

    proxyauth_set(conn, authenticate);
    (void)header_send(h, conn, SIDE_SERVER, HEADER_SEND_PROXY);
    /* The credentials belong to this connection: never sent on another. */
    proxyauth_clear(conn);
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "request: NTLM credentials sent to proxy %s:%d",
               conn->proxy_host ? conn->proxy_host : "", conn->proxy_port);
    return 1;
}

int proxy_authenticate(CONNECTION_T *conn)
{
    HEADER *r = conn->rheader;
    if (!conn->header || !r || r->status != 407 || !conn->server)
        return 0;
    const char *proxy = conn->proxy_host ? conn->proxy_host : "";
    if (!conn->proxy_user || !*conn->proxy_user) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "request: proxy %s:%d wants credentials, none configured", proxy,
                   conn->proxy_port);
        return 0;
    }
    if (conn->flags & CONN_DIRECT_POST) {
        /* The body went to the proxy as it came and cannot be sent again. */
        putlog(LOG_WARNING, "request: proxy %s:%d wants credentials after a streamed body", proxy,
               conn->proxy_port);
        return 0;
    }
    switch ((proxyauth_scheme)proxyauth_scheme_choose(r, conn->proxy_domain)) {
    case PROXYAUTH_BASIC:
        return send_basic_response(conn);
    case PROXYAUTH_NTLM:
        return send_ntlm_response(conn);
    case PROXYAUTH_NONE:
        break;
    }
    putlog(LOG_WARNING, "request: proxy %s:%d offers no authentication scheme we can answer", proxy,
           conn->proxy_port);
    return 0;
}
