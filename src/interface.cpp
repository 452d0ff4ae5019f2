/*
 * The administration web interface. A browser that uses the proxy reaches
 * it under a host name that never resolves, so only the proxy can answer
 * it; a browser that talks to the proxy directly reaches it as a path
 * under the proxy's own site, and a proxy request for one of the proxy's
 * own listeners is that site too, never sent out to come back. Every
 * request proves itself again: the login cookie holds its issue time and a
 * MAC over the access rule's login pair and that time, keyed with a secret
 * drawn at start, so the proxy keeps no sessions, a token is worthless to
 * any other process, it expires an hour after it was issued, and a changed
 * pair or a restart voids every cookie. Failed logins from one address in
 * quick succession make its further attempts wait, unchecked, for a
 * doubling time. No answer may be shown inside another page's frame. Form
 * arguments count only when the request comes from a page of the interface
 * itself (the Referer guard) and the cookie is SameSite=Strict, so a foreign
 * page cannot make a logged-in browser change anything. Every value that
 * comes from a request or the configuration is HTML-escaped where it lands
 * in a page, control bytes never reach a log line, and a form body has a
 * size limit; a body left unread on the client socket closes the
 * connection, so its bytes are never taken for a next request.
 */
#include "interface.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <pthread.h>
#include <strings.h>
#include <sys/random.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "connection.h"
#include "cookies.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "header_io.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "network.h"
#include "proto_http.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"

static void interface_serve(CONNECTION_T *conn, bool *body_taken);
static bool interface_path_names_host(const char *path);
static bool interface_addressed_to_proxy(const CONNECTION_T *conn, const HEADER *header);
static bool interface_is_proxy_name(const CONNECTION_T *conn, const std::string &host);
static bool interface_referer_origin(const char *referer, std::string *host, int *port);
static int interface_request_port(const HEADER *header);
static bool interface_body_unread(const CONNECTION_T *conn);
static void interface_post_arguments(CONNECTION_T *conn, CGIMap &args, bool *body_taken);
static Filebuf *interface_body_read(CONNECTION_T *conn, int64_t length);
static void interface_send_template(CONNECTION_T *conn, const std::string &name);
static void interface_send_empty(CONNECTION_T *conn, int status);
static void interface_frame_open(CONNECTION_T *conn, Filebuf *page);
static void interface_menu(Filebuf *page);
static void interface_dispatch(const std::string &path, Filebuf *page, CGIMap &args,
                               CONNECTION_T *conn);
static void interface_append(Filebuf *page, const std::string &text);
static void interface_set_cookie(HEADER *response, const std::string &token);
static void interface_date(HEADER *response);
static const HeaderList &interface_frame_lines();
static bool interface_equal(const std::string &a, const std::string &b);
static std::string interface_form_action(const char *path);
static const char *interface_ip(const CONNECTION_T *conn);

/* Log lines show at most this much of a text a client sent. */
#define INTERFACE_LOG_TEXT_MAX 256
/* The debug line of form arguments shows at most this much. */
#define INTERFACE_LOG_ARGS_MAX 4096

static const size_t interface_host_length = sizeof INTERFACE_HOST - 1;

/* ---- Helpers ---- */

std::string interface_html(const std::string &value)
{
    return TemplateSection::escape(value, TEMPLATE_ESCAPE_HTML);
}

std::string interface_proxy_host()
{
    std::string name = proxyhost;
    if (name.empty() && general_section)
        name = general_section->hostname_get();
    if (name.size() > INTERFACE_HOSTNAME_MAX)
        name.resize(INTERFACE_HOSTNAME_MAX);
    return name;
}

int xatoi(const std::string &value)
{
    if (value.empty())
        return -1;
    long long number = strtoll(value.c_str(), nullptr, 10);
    if (number > INT_MAX)
        return INT_MAX;
    if (number < INT_MIN)
        return INT_MIN;
    return (int)number;
}

static const char *interface_ip(const CONNECTION_T *conn)
{
    return conn->ip ? conn->ip : "";
}

/* Appends text to the page; a page that cannot grow stays short (logged). */
static void interface_append(Filebuf *page, const std::string &text)
{
    if (text.empty())
        return;
    if (page->Add(text.data(), (int64_t)text.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: a page could not be built");
}

/* Equal texts, compared in time that does not depend on where they differ,
 * so a login token or password cannot be guessed byte by byte. */
static bool interface_equal(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    unsigned char diff = 0;
    for (size_t i = 0; i < a.size(); i++)
        diff |= (unsigned char)(a[i] ^ b[i]);
    return diff == 0;
}

/* ---- Recognising interface requests ---- */

/* True when path is "/" followed by the interface host name (without
 * case). */
static bool interface_path_names_host(const char *path)
{
    return path && path[0] != '\0' && strncasecmp(path + 1, INTERFACE_HOST,
                                                  interface_host_length) == 0;
}

/* True when host (a host name or address without port) names the proxy:
 * its host name, or the local address the client connected to. */
static bool interface_is_proxy_name(const CONNECTION_T *conn, const std::string &host)
{
    if (host.empty())
        return false;
    std::string name = interface_proxy_host();
    if (!name.empty() && strcasecmp(host.c_str(), name.c_str()) == 0)
        return true;
    return conn->interface && conn->interface[0] != '\0' &&
           strcasecmp(host.c_str(), conn->interface) == 0;
}

/* True when an origin-form request is addressed to the proxy itself: it
 * has no Host header, or its Host names the proxy (host name or listening
 * address) with the listening port (80 when it names none). A request that
 * reached the proxy transparently names the site it was meant for, and its
 * paths belong to that site. */
static bool interface_addressed_to_proxy(const CONNECTION_T *conn, const HEADER *header)
{
    if (!header->host_header)
        return true;
    char *host = nullptr;
    int port = 80;
    bool explicit_port = false;
    if (header_hostport_parse(header->host_header, strlen(header->host_header), &host, &port,
                              &explicit_port) != HEADER_OK)
        return false;
    std::unique_ptr<char, void (*)(void *)> hold(host, free);
    return port == conn->port && interface_is_proxy_name(conn, host);
}

/* How a request names the interface. */
enum interface_addressing {
    INTERFACE_NOT = 0,      /* not for the interface */
    INTERFACE_DIRECT,       /* as it stands: absolute form, or the proxy's own site */
    INTERFACE_HOST_HEADER,  /* origin form whose Host names the interface */
};

/* Classifies conn's request without changing it; *port receives the Host
 * header's port for INTERFACE_HOST_HEADER. */
static int interface_addressing_of(const CONNECTION_T *conn, int *port)
{
    const HEADER *header = conn->header;
    if (!header)
        return INTERFACE_NOT;

    switch ((header_type)header->type) {
    case HEADER_ORIGIN: {
        if (interface_path_names_host(header->path) && interface_addressed_to_proxy(conn, header))
            return INTERFACE_DIRECT;
        if (!header->host_header)
            return INTERFACE_NOT;
        char *host = nullptr;
        bool explicit_port = false;
        *port = 80;
        if (header_hostport_parse(header->host_header, strlen(header->host_header), &host, port,
                                  &explicit_port) != HEADER_OK)
            return INTERFACE_NOT;
        std::unique_ptr<char, void (*)(void *)> hold(host, free);
        return strcasecmp(host, INTERFACE_HOST) == 0 ? INTERFACE_HOST_HEADER : INTERFACE_NOT;
    }
    case HEADER_ABSOLUTE:
        if (header->host && strcasecmp(header->host, INTERFACE_HOST) == 0)
            return INTERFACE_DIRECT;
        /* A proxy request for this proxy's own site (one of its listeners,
         * in any spelling) is served here, never sent out to come back. */
        return interface_path_names_host(header->path) &&
                       net_addresses_proxy(conn, header->host, header->port)
                   ? INTERFACE_DIRECT
                   : INTERFACE_NOT;
    case HEADER_CONNECT:
    case HEADER_RESPONSE:
    case HEADER_ICAP_REQUEST:
    case HEADER_ICAP_RESPONSE:
        return INTERFACE_NOT;
    }
    return INTERFACE_NOT;
}

bool interface_request_test(const CONNECTION_T *conn)
{
    int port = 80;
    return interface_addressing_of(conn, &port) != INTERFACE_NOT;
}

bool interface_request(CONNECTION_T *conn)
{
    int port = 80;
    switch (interface_addressing_of(conn, &port)) {
    case INTERFACE_NOT:
        return false;
    case INTERFACE_DIRECT:
        return true;
    case INTERFACE_HOST_HEADER: {
        /* From here on a request for http://<interface host>/path, as a
         * browser sends it to a proxy. */
        HEADER *header = conn->header;
        header->type = HEADER_ABSOLUTE;
        header_field_set(&header->host, INTERFACE_HOST);
        header->port = port;
        header_complete(header);
        return true;
    }
    }
    return false;
}

/* ---- The Referer guard ---- */

/* Reads the host and port of an "http://host[:port]/..." Referer. False
 * for any other scheme, user information, a port that is not 1-65535, or
 * an authority that is not followed by "/". */
static bool interface_referer_origin(const char *referer, std::string *host, int *port)
{
    static const char scheme[] = "http://";
    if (strncasecmp(referer, scheme, sizeof scheme - 1) != 0)
        return false;
    const char *start = referer + sizeof scheme - 1;
    const char *end = strchr(start, '/');
    if (!end || end == start)
        return false;

    const char *colon = nullptr;
    for (const char *p = start; p < end; p++) {
        unsigned char c = (unsigned char)*p;
        if (c == ':' && !colon)
            colon = p;
        else if (colon ? !isdigit(c) : !(isalnum(c) || c == '.' || c == '-' || c == '_'))
            return false;
    }
    const char *host_end = colon ? colon : end;
    if (host_end == start)
        return false;
    *port = 80;
    if (colon) {
        if (end - colon < 2 || end - colon > 6)
            return false;
        long value = strtol(colon + 1, nullptr, 10);
        if (value < 1 || value > 65535)
            return false;
        *port = (int)value;
    }
    host->assign(start, (size_t)(host_end - start));
    return true;
}

/* The port under which the client reached the interface host: the
 * request's own for a request to that host, else the default. */
static int interface_request_port(const HEADER *header)
{
    if (header->host && strcasecmp(header->host, INTERFACE_HOST) == 0)
        return header->port;
    return 80;
}

int interface_check_referer(CONNECTION_T *conn)
{
    const HEADER *header = conn->header;
    if (!header || !header->referer) {
        putlog(LOG_SECURITY, "web interface request without referer");
        return 0;
    }

    std::string host;
    int port = 0;
    if (interface_referer_origin(header->referer, &host, &port)) {
        if (strcasecmp(host.c_str(), INTERFACE_HOST) == 0 &&
            port == interface_request_port(header))
            return 1;
        if (port == conn->port && interface_is_proxy_name(conn, host))
            return 1;
    }
    putlog(LOG_SECURITY, "web interface request from invalid referer (%s)",
           log_text(header->referer, INTERFACE_LOG_TEXT_MAX).c_str());
    return 0;
}

/* ---- Form arguments ---- */

/* The arguments of a link that did not come from a page of the interface
 * (typed, bookmarked, or followed from another site): what it names is
 * shown, so the page looks as it always does, but the arguments that
 * change something, and a login, are dropped, and the page says so. */
static void interface_link_arguments(const char *query, CGIMap *args)
{
    static const char *const actions[] = {
        "action", "clear", "size", "filename", "overwrite", "delete", "refresh",
        "username", "password",
    };
    args->parse(query);
    for (const char *name : actions) {
        auto it = args->find(name);
        if (it == args->end())
            continue;
        args->erase(it);
        args->unapplied = true;
    }
}

CGIMap::CGIMap(const char *arguments)
{
    parse(arguments);
}

void CGIMap::parse(const char *arguments)
{
    if (!arguments || arguments[0] == '\0')
        return;

    std::string text = arguments;
    std::string shown;   /* the text for the debug log, passwords hidden */
    size_t start = 0;
    for (;;) {
        size_t amp = text.find('&', start);
        size_t end = amp == std::string::npos ? text.size() : amp;
        std::string piece = text.substr(start, end - start);
        if (start > 0)
            shown += '&';

        size_t eq = piece.rfind('=');
        if (eq == std::string::npos) {
            shown += piece;
        } else {
            char *name = url_decode(piece.c_str(), eq);
            char *value = url_decode(piece.c_str() + eq + 1, piece.size() - eq - 1);
            if (!name || !value)
                FATAL_ALLOC(piece.size() + 1);
            bool secret = s_strcasestr(name, "pass") != nullptr;
            shown += secret ? piece.substr(0, eq + 1) + "*" : piece;
            (*this)[name] = value;
            free(name);
            free(value);
        }
        if (amp == std::string::npos)
            break;
        start = amp + 1;
    }
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "cgi arguments: %s",
               log_text(shown.c_str(), INTERFACE_LOG_ARGS_MAX).c_str());
}

/* True when the request announced a body that is still, wholly or in
 * part, on the client socket. */
static bool interface_body_unread(const CONNECTION_T *conn)
{
    const HEADER *header = conn->header;
    if (!header)
        return false;
    if (header->chunked || (conn->flags & CONN_DIRECT_POST))
        return true;
    if ((header->flags & HEADER_HAS_LENGTH) && header->content_length > 0)
        return !conn->body || conn->body->size < header->content_length;
    return false;
}

/* Reads length bytes of body from the client socket, all within the
 * general rule's time-out. Returns a new buffer (the caller deletes it)
 * holding the whole body, or NULL when the client stopped or took too
 * long. */
static Filebuf *interface_body_read(CONNECTION_T *conn, int64_t length)
{
    if (!conn->client)
        return nullptr;
    int timeout = general_section ? general_section->timeout_get(conn) : 60;
    time_t deadline = time(nullptr) + (timeout > 0 ? timeout : 60);
    std::unique_ptr<Filebuf> body(new Filebuf(INTERFACE_POST_MAX + 1));
    char area[8192];
    while (body->size < length) {
        time_t left = deadline - time(nullptr);
        if (left <= 0)
            return nullptr;
        int64_t want = std::min<int64_t>((int64_t)sizeof area, length - body->size);
        int64_t got = conn->client->Read(area, want, (int)left);
        if (got <= 0)
            return nullptr;
        if (body->Add(area, got) != FILEBUF_OK)
            return nullptr;
    }
    return body.release();
}

/* The arguments of a POST: its body, whether the pipeline read it already
 * or it waits on the client socket (read here). A body over
 * INTERFACE_POST_MAX, a chunked body or one that does not arrive whole
 * gives no arguments. *body_taken is set when the body was read here. */
static void interface_post_arguments(CONNECTION_T *conn, CGIMap &args, bool *body_taken)
{
    const HEADER *header = conn->header;
    int64_t length = (header->flags & HEADER_HAS_LENGTH) ? header->content_length : 0;
    if (header->chunked) {
        putlog(LOG_SECURITY, "[IP:%s] web interface form with a chunked body, arguments ignored",
               interface_ip(conn));
        return;
    }

    std::unique_ptr<Filebuf> body;
    if (conn->flags & CONN_DIRECT_POST) {
        if (length > INTERFACE_POST_MAX) {
            putlog(LOG_SECURITY,
                   "[IP:%s] web interface form of %lld bytes over the limit of %lld, arguments "
                   "ignored", interface_ip(conn), (long long)length,
                   (long long)INTERFACE_POST_MAX);
            args.refused = true;
            return;
        }
        body.reset(interface_body_read(conn, length));
        if (!body) {
            putlog(LOG_WARNING, "[IP:%s] web interface form body not received, arguments ignored",
                   interface_ip(conn));
            return;
        }
        *body_taken = true;
    } else {
        if (!conn->body || conn->body->size == 0)
            return;
        if (conn->body->size > INTERFACE_POST_MAX) {
            putlog(LOG_SECURITY,
                   "[IP:%s] web interface form of %lld bytes over the limit of %lld, arguments "
                   "ignored", interface_ip(conn), (long long)conn->body->size,
                   (long long)INTERFACE_POST_MAX);
            args.refused = true;
            return;
        }
        body.reset(conn->body->Dup());
        body->set_limit(INTERFACE_POST_MAX + 1);
    }
    if (body->size == 0)
        return;
    if (body->Add("", 1) != FILEBUF_OK)
        return;
    args.parse(body->data);
}

/* ---- Login ---- */

/* The secret key of the login tokens: drawn once, at start. */
static unsigned char interface_secret[INTERFACE_SECRET_BYTES];
static std::once_flag interface_secret_once;

static void interface_secret_draw()
{
    size_t got = 0;
    while (got < sizeof interface_secret) {
        ssize_t n = getrandom(interface_secret + got, sizeof interface_secret - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fatal_error(__FILE__, __LINE__, "interface_secret_init",
                        "the system's random generator failed: %s", strerror(errno));
        got += (size_t)n;
    }
}

void interface_secret_init()
{
    std::call_once(interface_secret_once, interface_secret_draw);
}

/* The MAC of a pair and an issue time, in lower-case hex. The user name's
 * length is part of the text, so no other pair gives the same text. */
static std::string interface_token_mac(const std::string &user, const std::string &password,
                                       const std::string &issued)
{
    interface_secret_init();
    std::string text = issued + "\n" + std::to_string(user.size()) + ":" + user + password;
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!HMAC(EVP_sha256(), interface_secret, (int)sizeof interface_secret,
              (const unsigned char *)text.data(), text.size(), mac, &length))
        FATAL_ALLOC(text.size() + 1);
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(length * 2);
    for (unsigned int i = 0; i < length; i++) {
        hex += digits[mac[i] >> 4];
        hex += digits[mac[i] & 15];
    }
    OPENSSL_cleanse(mac, sizeof mac);
    return hex;
}

std::string interface_login_token(const std::string &user, const std::string &password,
                                  time_t issued)
{
    std::string when = std::to_string((long long)issued);
    return when + "." + interface_token_mac(user, password, when);
}

bool interface_login_token_valid(const std::string &token, const std::string &user,
                                 const std::string &password, time_t now)
{
    size_t dot = token.find('.');
    if (dot == 0 || dot == std::string::npos || dot > 19)
        return false;
    std::string when = token.substr(0, dot);
    if (when.find_first_not_of("0123456789") != std::string::npos || (when.size() > 1 && when[0] == '0'))
        return false;
    long long issued = strtoll(when.c_str(), nullptr, 10);
    long long age = (long long)now - issued;
    if (age >= INTERFACE_COOKIE_SECONDS || age < -INTERFACE_TOKEN_SKEW_SECONDS)
        return false;
    return interface_equal(token.substr(dot + 1), interface_token_mac(user, password, when));
}

/* ---- The guard against guessing ---- */

/* The failures of one client address. */
struct interface_failures {
    int64_t recent[INTERFACE_LOGIN_FAILURES] = {};   /* the last failures, a ring */
    int count = 0;                 /* filled places of recent */
    int next = 0;                  /* the place of the next failure, the oldest when full */
    int step = 0;                  /* waits started so far */
    int64_t last_ms = 0;           /* the last failure */
    int64_t locked_until_ms = 0;
};

static pthread_mutex_t interface_attempts_lock = PTHREAD_MUTEX_INITIALIZER;
static std::unordered_map<std::string, interface_failures> interface_attempts;

/* Makes room for one more address: the ones gone quiet go first, then,
 * when none has, the one whose last failure is the oldest. The caller
 * holds interface_attempts_lock. */
static void interface_attempts_room(int64_t now_ms)
{
    if (interface_attempts.size() < INTERFACE_LOGIN_ADDRESSES_MAX)
        return;
    auto oldest = interface_attempts.end();
    for (auto i = interface_attempts.begin(); i != interface_attempts.end();) {
        const interface_failures &f = i->second;
        if (now_ms - f.last_ms > (int64_t)INTERFACE_LOGIN_FORGET_SECONDS * 1000 &&
            f.locked_until_ms <= now_ms) {
            i = interface_attempts.erase(i);
            continue;
        }
        if (oldest == interface_attempts.end() || f.last_ms < oldest->second.last_ms)
            oldest = i;
        ++i;
    }
    if (interface_attempts.size() >= INTERFACE_LOGIN_ADDRESSES_MAX &&
        oldest != interface_attempts.end())
        interface_attempts.erase(oldest);
}

interface_attempt_result interface_login_attempt(const std::string &ip, bool right, int64_t now_ms,
                                                 int *lock_seconds)
{
    if (lock_seconds)
        *lock_seconds = 0;
    MutexGuard guard(&interface_attempts_lock);
    auto found = interface_attempts.find(ip);
    if (found != interface_attempts.end() && now_ms < found->second.locked_until_ms)
        return INTERFACE_ATTEMPT_LOCKED;
    if (right) {
        if (found != interface_attempts.end())
            interface_attempts.erase(found);
        return INTERFACE_ATTEMPT_ACCEPTED;
    }
    if (found == interface_attempts.end()) {
        interface_attempts_room(now_ms);
        found = interface_attempts.emplace(ip, interface_failures()).first;
    }
    interface_failures &f = found->second;
    if (f.count > 0 && now_ms - f.last_ms > (int64_t)INTERFACE_LOGIN_FORGET_SECONDS * 1000)
        f = interface_failures();
    f.last_ms = now_ms;
    f.recent[f.next] = now_ms;
    f.next = (f.next + 1) % INTERFACE_LOGIN_FAILURES;
    if (f.count < INTERFACE_LOGIN_FAILURES)
        f.count++;
    /* Once full, recent[next] is the oldest of the last failures. */
    bool burst = f.count == INTERFACE_LOGIN_FAILURES &&
                 now_ms - f.recent[f.next] < (int64_t)INTERFACE_LOGIN_WINDOW_SECONDS * 1000;
    if (!burst && f.step == 0)
        return INTERFACE_ATTEMPT_FAILED;
    /* The first wait after a burst, and a doubled one for every failure
     * after a wait. */
    int64_t seconds = (int64_t)INTERFACE_LOGIN_LOCK_FIRST << std::min(f.step, 20);
    seconds = std::min<int64_t>(seconds, INTERFACE_LOGIN_LOCK_MAX);
    f.step++;
    f.locked_until_ms = now_ms + seconds * 1000;
    if (lock_seconds)
        *lock_seconds = (int)seconds;
    return INTERFACE_ATTEMPT_FAILED;
}

void interface_login_attempts_clear()
{
    MutexGuard guard(&interface_attempts_lock);
    interface_attempts.clear();
}

/* Adds the login cookie, valid for an hour from now, to the response, which
 * it marks as the proxy's own. It holds only the token: script cannot read it (HttpOnly) and no other
 * site's page can make the browser send it (SameSite=Strict). */
static void interface_set_cookie(HEADER *response, const std::string &token)
{
    CookieHeader cookie;
    cookie.pairs.emplace_back("login", token);
    cookie.path = "/";
    time_t when = time(nullptr) + INTERFACE_COOKIE_SECONDS;
    if (gmtime_r(&when, &cookie.expires))
        cookie.has_expires = true;
    std::string value = cookie.Build() + "; HttpOnly; SameSite=Strict";
    response->headers.push_back(HTTP_HEADER{ 1, "Set-Cookie", value });
    /* The cookie rules judge relayed cookies: a rule denying incoming
     * cookies must not drop the administrator's login. */
    response->flags |= HEADER_PROXY_MADE;
}

/* The login form's action: the request's own path, with any run of
 * slashes and backslashes at its start made one "/", so that it can never
 * name another host ("//host/..."). */
static std::string interface_form_action(const char *path)
{
    const char *p = path ? path : "/";
    while (*p == '/' || *p == '\\')
        p++;
    return "/" + std::string(p);
}

bool interface_login(CONNECTION_T *conn, CGIMap &args, HEADER *response, Filebuf *page)
{
    if (conn->interface_user.empty() || conn->interface_password.empty())
        return true;

    time_t now = time(nullptr);

    /* Only the first line named exactly "Cookie" and its first "login"
     * pair are looked at. */
    const HEADER *request = conn->header;
    if (request) {
        for (const HTTP_HEADER &line : request->headers) {
            if (line.name != "Cookie")
                continue;
            CookieHeader cookie(line.value);
            for (const auto &pair : cookie.pairs) {
                if (pair.first != "login")
                    continue;
                if (interface_login_token_valid(pair.second, conn->interface_user,
                                                conn->interface_password, now)) {
                    /* Renewed: a token issued now, for another hour. */
                    interface_set_cookie(response, interface_login_token(
                                                       conn->interface_user,
                                                       conn->interface_password, now));
                    return true;
                }
                break;
            }
            break;
        }
    }

    auto user = args.find("username");
    auto password = args.find("password");
    bool tried = user != args.end() || password != args.end();
    if (tried) {
        /* Both compared, so the time taken tells nothing of which failed. */
        bool user_right = user != args.end() && interface_equal(user->second, conn->interface_user);
        bool password_right = password != args.end() &&
                              interface_equal(password->second, conn->interface_password);
        int lock_seconds = 0;
        switch (interface_login_attempt(interface_ip(conn), user_right && password_right,
                                        monotonic_ms(), &lock_seconds)) {
        case INTERFACE_ATTEMPT_ACCEPTED:
            interface_set_cookie(response, interface_login_token(conn->interface_user,
                                                                 conn->interface_password, now));
            return true;
        case INTERFACE_ATTEMPT_FAILED:
            putlog(LOG_SECURITY, "[IP:%s] web interface login failed", interface_ip(conn));
            if (lock_seconds > 0)
                putlog(LOG_SECURITY,
                       "[IP:%s] web interface logins failed too often: further attempts are not "
                       "checked for %d s", interface_ip(conn), lock_seconds);
            break;
        case INTERFACE_ATTEMPT_LOCKED:
            if (log_wanted(LOG_DEBUG))
                putlog(LOG_DEBUG, "[IP:%s] web interface login not checked: waiting after "
                                  "failures", interface_ip(conn));
            break;
        }
    }

    std::string action = interface_form_action(request ? request->path : nullptr);
    interface_append(page,
                     "<form action=\"" + interface_html(action) + "\" method=\"POST\">\n"
                     "<table class=\"bigdialog\" align=\"center\">\n"
                     "<tr><td class=\"dialoghead\" colspan=\"2\">Web interface login</td></tr>\n"
                     "<tr><td>Username</td><td><input type=\"text\" name=\"username\" "
                     "size=\"80\"></td></tr>\n"
                     "<tr><td>Password</td><td><input type=\"password\" name=\"password\" "
                     "size=\"80\"></td></tr>\n"
                     "<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" "
                     "value=\"Submit\"></td></tr>\n"
                     "</table>\n"
                     "</form>\n");
    return false;
}

/* ---- Sending ---- */

/* The lines that forbid every page, old browsers and new, to show an
 * answer of the interface inside a frame: a framed form would carry the
 * interface's own Referer, and a framed login form would take the
 * administrator's password inside a foreign page. */
static const HeaderList &interface_frame_lines()
{
    static const HeaderList lines = {
        HTTP_HEADER{ 1, "X-Frame-Options", "DENY" },
        HTTP_HEADER{ 1, "Content-Security-Policy", "frame-ancestors 'none'" },
    };
    return lines;
}

void interface_no_framing(HEADER *response)
{
    const HeaderList &lines = interface_frame_lines();
    response->headers.insert(response->headers.end(), lines.begin(), lines.end());
}

/* Adds a Date line of the current time. */
static void interface_date(HEADER *response)
{
    time_t now = time(nullptr);
    struct tm tm;
    char text[64];
    if (!gmtime_r(&now, &tm) || strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &tm) == 0)
        return;
    response->headers.push_back(HTTP_HEADER{ 1, "Date", text });
}

void interface_send_response(CONNECTION_T *conn, Filebuf *page)
{
    std::unique_ptr<HEADER, void (*)(HEADER *)> response(header_new(), http_header_free);
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->status = 200;
    response->flags |= HEADER_HAS_LENGTH;
    response->content_length = page->size;
    header_field_set(&response->content_type, "text/html");
    header_field_set(&response->cache_control, "no-store");
    interface_no_framing(response.get());

    int rc = header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    if (rc == 0)
        rc = http_send_body(conn, page);
    if (rc != 0)
        conn->keepalive_client = 0;   /* the client has a broken answer */

    conn->logentry.status = 200;
    conn->logentry.size = page->size;
    conn->logentry.mime = "text/html";
}

void interface_send_page(CONNECTION_T *conn, const std::string &title, const std::string &content)
{
    Filebuf page;
    std::string head = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
                       "<html><head><title>" + title + "</title></head>\n<body>\n";
    std::string tail = "\n<table align=\"center\" cellpadding=\"0\" cellspacing=\"0\" "
                       "border=\"0\" width=\"100%\"><tr><td align=\"center\">\n" +
                       content + "</td></tr></table>\n</body></html>\n";
    bool ok = page.Add(head.data(), (int64_t)head.size()) == FILEBUF_OK;
    if (ok)
        (void)interface_stylesheet(conn, &page);
    ok = ok && page.Add(tail.data(), (int64_t)tail.size()) == FILEBUF_OK;
    if (!ok) {
        putlog(LOG_ERROR, "web interface: a page could not be built");
        conn->keepalive_client = 0;
        return;
    }
    interface_send_response(conn, &page);
}

/* An answer without a body, for when no page can be had. */
static void interface_send_empty(CONNECTION_T *conn, int status)
{
    std::unique_ptr<HEADER, void (*)(HEADER *)> response(header_new(), http_header_free);
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->status = status;
    response->flags |= HEADER_HAS_LENGTH;
    response->content_length = 0;
    header_field_set(&response->cache_control, "no-store");
    interface_no_framing(response.get());
    conn->logentry.status = status;
    conn->logentry.size = 0;
    if (header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
}

/* Sends the template file name; an unknown name gets the "nofile" page
 * with 404. */
static void interface_send_template(CONNECTION_T *conn, const std::string &name)
{
    if (!template_section) {
        interface_send_empty(conn, 404);
        return;
    }
    if (!name.empty() && template_section->send(name.c_str(), conn, 200, interface_frame_lines()))
        return;
    template_section->send_or_close("nofile", conn, 404, interface_frame_lines());
}

/* ---- The page ---- */

/* The start of the frame: document head, banner and the outer table,
 * whose first cell is open. */
static void interface_frame_open(CONNECTION_T *conn, Filebuf *page)
{
    interface_append(page,
                     "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 Transitional//EN\">\n"
                     "<html><head>\n"
                     /* The body's mouse handler of the tool tips, for pages
                      * that show none. */
                     "<script type=\"text/javascript\">function overhere() {}</script>\n");
    interface_append(page, "<title>Quillmere " QUILL_RELEASE " web interface for " +
                               interface_html(interface_proxy_host()) + "</title></head>\n");
    interface_append(page, "<body onmousemove=\"overhere()\"><div id=\"ToolTip\"></div>\n");
    if (template_section) {
        if (!template_section->insert(conn, page, "tooltip"))
            putlog(LOG_ERROR, "web interface: the template tooltip is missing");
        if (!template_section->insert(conn, page, "interfacehead"))
            putlog(LOG_ERROR, "web interface: the template interfacehead is missing");
    }
    interface_append(page, "<table cellpadding=\"0\" cellspacing=\"0\" border=\"0\" "
                           "width=\"100%\">\n<tr><td align=\"center\">\n");
}

/* The top menu: four rows of links relative to the page. */
static void interface_menu(Filebuf *page)
{
    static const char *const links[4][4][2] = {
        { { "connections", "Active connections" }, { "stats", "Statistics" },
          { "dnscache", "DNS cache" }, { "headers", "Show headers" } },
        { { "cache", "View cache entries" }, { "pool", "Connection pool" },
          { "prefetch", "Prefetch queue" }, { "urlbl", "URL blacklist" } },
        { { "config", "Config" }, { "log", "View log entries" },
          { "save", "Save settings" }, { "load", "Load settings" } },
        { { "tavrin", "Test Tavrin" }, { nullptr, nullptr }, { nullptr, nullptr },
          { nullptr, nullptr } },
    };
    std::string menu = "<table width=\"100%\" cellpadding=\"2\" cellspacing=\"0\" border=\"0\">\n"
                       "<tr class=\"topmenu\"><td class=\"topmenu\" align=\"center\">"
                       "<b>Top Menu</b></td></tr>\n</table>\n"
                       "<table class=\"menu\" width=\"100%\" cellpadding=\"2\" "
                       "cellspacing=\"0\" border=\"0\">\n";
    for (const auto &row : links) {
        menu += "<tr align=\"center\">";
        for (const auto &link : row) {
            if (link[0])
                menu += std::string("<td align=\"center\"><a href=\"") + link[0] + "\">" +
                        link[1] + "</a></td>";
            else
                menu += "<td></td>";
        }
        menu += "</tr>\n";
    }
    menu += "</table>\n";
    interface_append(page, menu);
}

/* Runs the page whose path equals path up to its query (without case);
 * a path of no page leaves the frame and menu alone. */
static void interface_dispatch(const std::string &path, Filebuf *page, CGIMap &args,
                               CONNECTION_T *conn)
{
    std::string bare = path.substr(0, path.find('?'));
    for (const interface_page_t *row = pages; row->path; row++) {
        if (strcasecmp(bare.c_str(), row->path) == 0) {
            row->handler(page, args, conn);
            return;
        }
    }
}

void interface_handle_request(CONNECTION_T *conn)
{
    bool body_taken = false;
    interface_serve(conn, &body_taken);
    if (!body_taken && interface_body_unread(conn))
        conn->keepalive_client = 0;
}

/* The steps of an interface request; *body_taken is set when a body that
 * waited on the client socket was read. Before each answer, a body still
 * unread clears keepalive_client, so the answer says "close". */
static void interface_serve(CONNECTION_T *conn, bool *body_taken)
{
    HEADER *request = conn->header;
    if (!request) {
        conn->keepalive_client = 0;
        return;
    }
    auto settle_body = [conn, body_taken] {
        if (!*body_taken && interface_body_unread(conn))
            conn->keepalive_client = 0;
    };
    const char *request_path = request->path ? request->path : "/";

    /* The page path: inside the proxy's own site the interface host name
     * follows the first "/" and is taken off. */
    bool path_form = interface_path_names_host(request_path) &&
                     !(request->type == HEADER_ABSOLUTE && request->host &&
                       strcasecmp(request->host, INTERFACE_HOST) == 0);
    std::string path = path_form ? request_path + 1 + interface_host_length : request_path;

    /* Template files (images, style sheets) load for everybody. */
    static const char template_prefix[] = "/template/";
    if (strncasecmp(path.c_str(), template_prefix, sizeof template_prefix - 1) == 0) {
        std::string name = path.substr(sizeof template_prefix - 1);
        settle_body();
        interface_send_template(conn, name.substr(0, name.find('?')));
        return;
    }

    bool userstats = strcasecmp(request_path, "/userstats") == 0;
    if (!userstats && !(conn->permissions & ACCESS_INTERFACE)) {
        putlog(LOG_SECURITY, "[IP:%s] web interface request refused: no interface permission",
               interface_ip(conn));
        settle_body();
        if (template_section)
            template_section->send_or_close("noaccess", conn, 403, interface_frame_lines());
        else
            interface_send_empty(conn, 403);
        return;
    }

    std::unique_ptr<HEADER, void (*)(HEADER *)> response(header_new(), http_header_free);
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->status = 200;
    header_field_set(&response->cache_control, "no-store");
    interface_no_framing(response.get());

    /* The interface's own site without the "/" after the host name: the
     * relative Location resolves to "/<host>/". */
    if (path_form && path[0] != '/') {
        response->status = 302;
        response->flags |= HEADER_HAS_LENGTH;
        response->content_length = 0;
        header_field_set(&response->location, INTERFACE_HOST "/");
        conn->logentry.status = 302;
        conn->logentry.size = 0;
        settle_body();
        if (header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
            conn->keepalive_client = 0;
        return;
    }

    interface_date(response.get());
    header_field_set(&response->content_type, "text/html");

    CGIMap args;
    bool posted = request->method && strcasecmp(request->method, "POST") == 0;
    size_t query = path.find('?');
    if (interface_check_referer(conn) == 1) {
        if (posted)
            interface_post_arguments(conn, args, body_taken);
        else if (query != std::string::npos)
            args.parse(path.c_str() + query + 1);
    } else if (!posted && query != std::string::npos) {
        interface_link_arguments(path.c_str() + query + 1, &args);
    }
    settle_body();

    std::unique_ptr<Filebuf> page(new Filebuf());
    interface_frame_open(conn, page.get());
    if (userstats) {
        if (conn->userstats)
            conn->userstats->Display(page.get());
    } else if (interface_login(conn, args, response.get(), page.get())) {
        interface_menu(page.get());
        if (args.refused)
            interface_append(page.get(), "<p align=\"center\">The form was larger than the "
                                         "interface accepts; nothing was applied.</p>\n");
        if (args.unapplied)
            interface_append(page.get(), "<p align=\"center\">The action was not applied: the "
                                         "link did not come from a page of the interface.</p>\n");
        interface_dispatch(path, page.get(), args, conn);
    }
    interface_append(page.get(), "</td></tr></table></body></html>\n");

    response->flags |= HEADER_HAS_LENGTH;
    response->content_length = page->size;
    /* The record, written at the request's end. */
    conn->logentry.status = response->status;
    conn->logentry.size = (conn->flags & CONN_HEAD) ? 0 : page->size;
    conn->logentry.mime = "text/html";
    int rc = header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    if (rc == 0)
        rc = http_send_body(conn, page.get());
    if (rc != 0)
        conn->keepalive_client = 0;
}

int interface_stylesheet(CONNECTION_T *conn, Filebuf *page)
{
    return template_section ? template_section->insert(conn, page, "interface.css") : 0;
}

/* Appends text; false when the page could not grow. */
static bool interface_page_add(Filebuf *page, const std::string &text)
{
    return page->Add(text.data(), (int64_t)text.size()) == FILEBUF_OK;
}

bool interface_command_page_start(CONNECTION_T *conn, Filebuf *page, const std::string &title)
{
    if (!interface_page_add(page, "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01 "
                                  "Transitional//EN\">\n<html><head><title>" + title +
                                  "</title>\n"))
        return false;
    (void)interface_stylesheet(conn, page);
    return interface_page_add(page, "</head><body>\n"
                                    "<table align=\"center\" cellpadding=\"0\" "
                                    "cellspacing=\"0\" border=\"0\" width=\"100%\">"
                                    "<tr><td align=\"center\">\n");
}

bool interface_dialog_open(Filebuf *page, const std::string &title)
{
    return interface_page_add(page, "<table class=\"dialog\">\n<tr class=\"listhead\">"
                                    "<td colspan=\"2\">" + title + "</td></tr>\n");
}

bool interface_dialog_row(Filebuf *page, const std::string &name, const std::string &value)
{
    return interface_page_add(page, "<tr><td>" + name + "</td><td>" + value + "</td></tr>\n");
}

bool interface_dialog_note(Filebuf *page, const std::string &text)
{
    return interface_page_add(page, "<tr><td colspan=\"2\" align=\"center\">" + text +
                                        "</td></tr>\n");
}

bool interface_command_page_end(Filebuf *page)
{
    return interface_page_add(page, "</td></tr></table>\n</body></html>\n");
}
