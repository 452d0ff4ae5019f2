/*
 * The HTTP header model. Every message the proxy relays is read as one text
 * block, parsed into a HEADER and written out again from that HEADER. The
 * headers the proxy interprets or must regenerate (framing, keep-alive,
 * Host, credentials, caching) are held in fields; every other line travels
 * in its received order. Serialisation writes the start line for the send
 * kind, the passing lines (each past the registered line judge: the cookie
 * rules), then regenerates the field-held lines. The header rules may send
 * a filtered list of lines in place of the received one, and may refuse
 * the received value of an end-to-end header held in a field: that value
 * is then not written, though the field keeps it for the proxy's own use,
 * until the proxy sets a value of its own.
 *
 * Peers are untrusted: a block has a byte and line limit, a request target
 * is never cut, a host is checked after URL decoding, a port must be
 * 1-65535, and message framing is refused when two parties could read it
 * differently (two lengths, length with chunked coding, folded or spaced
 * field names in requests). A response whose status line does not parse is
 * a bad response; only a reply without any status line is HTTP/0.9.
 */
#include "header.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <strings.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "log.h"
#include "mem.h"
#include "misc.h"

/* What a known header line does to the record. */
enum hp_action {
    HP_FIELD = 0,    /* the value goes into the field */
    HP_LIST,         /* a list: repeated lines are joined with ", " in the field */
    HP_EVERY,        /* the field holds the first line; with several, each is written */
    HP_LENGTH,       /* Content-Length */
    HP_TRANSFER,     /* Transfer-Encoding */
    HP_CTYPE,        /* Content-Type and mime */
    HP_HOP,          /* hop-by-hop: listed, never forwarded */
    HP_CONNECTION,   /* Connection */
    HP_PCONNECTION,  /* Proxy-Connection */
    HP_XCACHE,       /* X-Cache: the first line only */
    HP_HOST,         /* Host */
};

struct hp_known {
    const char *name;
    size_t name_len;
    int action;                 /* hp_action */
    char *HEADER::*field;       /* for HP_FIELD, HP_LIST, HP_EVERY, HP_XCACHE and HP_HOST */
    int rule_kind;              /* header_rule_kind: HEADER_RULE_HELD or HEADER_RULE_PROXY */
};

/* What one parse remembers between lines. */
struct hp_state {
    bool request;           /* request rules: refuse instead of repairing */
    bool other_coding;      /* a Transfer-Encoding other than "chunked" was seen */
};

static bool hp_hostchar(unsigned char c);
static bool hp_ows(char c);
static int hp_status_digits(const char **p, const char *end);
static int hp_request_line(HEADER *header, const char *line, size_t len);
static int hp_target(HEADER *header, const char *target, size_t len);
static size_t hp_command_labels(const char *start, const char *end, std::string *labels);
static int hp_status_line(HEADER *header, const char *line, size_t len, bool *http09);
static int hp_line(HEADER *header, hp_state *state, const std::string &line);
static int hp_known_line(HEADER *header, hp_state *state, const hp_known *known,
                         const std::string &name, const std::string &value);
static const hp_known *hp_lookup(const std::string &name);
static std::vector<std::string> hp_connection_names(const HEADER *header);
static void hp_connection_fields(HEADER *header);
static bool hp_hop_name(const HEADER *header, const std::string &name);
static header_received_watch hp_watch = nullptr;
static bool hs_every_passes(const HEADER *header, const char *name);
static bool hp_length_parse(const std::string &value, int64_t *length);
static std::string hp_trim(const std::string &text);
static bool hp_is_token(const char *start, size_t len);
static bool hp_url_decode(const char *text, size_t len, std::string *out);
static char *hp_path_fix(const char *start, size_t len);
static int hp_block_check(const char *text);
static std::string hs_userinfo_encode(const char *text);
static void hs_add(Filebuf *buffer, int *rc, const char *text, size_t len);
static void hs_text(Filebuf *buffer, int *rc, const char *text);
static void hs_raw(Filebuf *buffer, int *rc, const char *text);
static void hs_number(Filebuf *buffer, int *rc, int64_t value);
static void hs_field(Filebuf *buffer, int *rc, const char *name, const char *value);
static void hs_line(Filebuf *buffer, int *rc, const char *name, const char *value);
static void hs_start_line(Filebuf *buffer, int *rc, const HEADER *header, int kind);
static void hs_request_lines(Filebuf *buffer, int *rc, const HEADER *header);
static void hs_response_lines(Filebuf *buffer, int *rc, const HEADER *header,
                              const CONNECTION_T *conn);
static void hs_pass_lines(Filebuf *buffer, int *rc, const HEADER *header, CONNECTION_T *conn);
static const char *hs_sent(const HEADER *header, char *HEADER::*field);

/* Every text field, for freeing and copying. */
static char *HEADER::*const header_texts[] = {
    &HEADER::raw, &HEADER::url, &HEADER::user, &HEADER::password, &HEADER::method,
    &HEADER::protocol, &HEADER::host, &HEADER::path, &HEADER::referer, &HEADER::user_agent,
    &HEADER::location, &HEADER::content_type, &HEADER::content_encoding,
    &HEADER::accept_encoding, &HEADER::www_authenticate, &HEADER::authorization,
    &HEADER::range, &HEADER::proxy_authenticate, &HEADER::proxy_authorization,
    &HEADER::host_header, &HEADER::mime, &HEADER::cache_control, &HEADER::expires,
    &HEADER::if_modified_since, &HEADER::last_modified, &HEADER::warning, &HEADER::age,
    &HEADER::x_cache, &HEADER::x_forwarded_for, &HEADER::via, &HEADER::encapsulated,
};

#define HP_KNOWN(name, action, field, kind) { name, sizeof(name) - 1, action, field, kind }
#define HP_HELD HEADER_RULE_HELD
#define HP_PROXY HEADER_RULE_PROXY

/* The headers the proxy handles itself. */
static const hp_known hp_known_headers[] = {
    HP_KNOWN("Content-Length", HP_LENGTH, nullptr, HP_PROXY),
    HP_KNOWN("Transfer-Encoding", HP_TRANSFER, nullptr, HP_PROXY),
    HP_KNOWN("Content-Type", HP_CTYPE, nullptr, HP_PROXY),
    HP_KNOWN("Content-Encoding", HP_LIST, &HEADER::content_encoding, HP_PROXY),
    HP_KNOWN("Accept-Encoding", HP_LIST, &HEADER::accept_encoding, HP_PROXY),
    HP_KNOWN("Location", HP_FIELD, &HEADER::location, HP_HELD),
    HP_KNOWN("Host", HP_HOST, &HEADER::host_header, HP_PROXY),
    HP_KNOWN("WWW-Authenticate", HP_EVERY, &HEADER::www_authenticate, HP_HELD),
    HP_KNOWN("Authorization", HP_FIELD, &HEADER::authorization, HP_HELD),
    HP_KNOWN("Proxy-Authenticate", HP_EVERY, &HEADER::proxy_authenticate, HP_PROXY),
    HP_KNOWN("Proxy-Authorization", HP_FIELD, &HEADER::proxy_authorization, HP_PROXY),
    HP_KNOWN("Referer", HP_FIELD, &HEADER::referer, HP_HELD),
    HP_KNOWN("User-Agent", HP_FIELD, &HEADER::user_agent, HP_HELD),
    HP_KNOWN("Cache-Control", HP_LIST, &HEADER::cache_control, HP_HELD),
    HP_KNOWN("Expires", HP_FIELD, &HEADER::expires, HP_HELD),
    HP_KNOWN("If-Modified-Since", HP_FIELD, &HEADER::if_modified_since, HP_HELD),
    HP_KNOWN("Last-Modified", HP_FIELD, &HEADER::last_modified, HP_HELD),
    HP_KNOWN("Range", HP_FIELD, &HEADER::range, HP_HELD),
    HP_KNOWN("X-Cache", HP_XCACHE, &HEADER::x_cache, HP_PROXY),
    HP_KNOWN("Via", HP_LIST, &HEADER::via, HP_HELD),
    HP_KNOWN("Encapsulated", HP_FIELD, &HEADER::encapsulated, HP_PROXY),
    HP_KNOWN("Age", HP_LIST, &HEADER::age, HP_PROXY),
    HP_KNOWN("X-Forwarded-For", HP_LIST, &HEADER::x_forwarded_for, HP_HELD),
    HP_KNOWN("TE", HP_HOP, nullptr, HP_PROXY),
    HP_KNOWN("Trailers", HP_HOP, nullptr, HP_PROXY),
    HP_KNOWN("Upgrade", HP_HOP, nullptr, HP_PROXY),
    HP_KNOWN("Keep-Alive", HP_HOP, nullptr, HP_PROXY),
    HP_KNOWN("Connection", HP_CONNECTION, nullptr, HP_PROXY),
    HP_KNOWN("Proxy-Connection", HP_PCONNECTION, nullptr, HP_PROXY),
};

bool header_tchar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return c != 0 && strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

/* Bytes of a host name after decoding (an IPv6 literal is checked apart). */
static bool hp_hostchar(unsigned char c)
{
    if (c >= '0' && c <= '9')
        return true;
    if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z')
        return true;
    return c == '-' || c == '.' || c == '_' || c == '~';
}

/* The one spelling of a decoded, lower-cased host name (see
 * header_hostport_parse). */
static int hp_host_canonical(std::string *name)
{
    if (name->find_first_not_of('.') == std::string::npos || name->find("..") != std::string::npos)
        return HEADER_BAD_HOST;
    if (name->back() == '.')
        name->pop_back();
    /* inet_aton reads every form the resolver reads as an address. */
    struct in_addr address;
    char dotted[INET_ADDRSTRLEN];
    if (inet_aton(name->c_str(), &address) != 0 && inet_ntop(AF_INET, &address, dotted, sizeof dotted))
        *name = dotted;
    return HEADER_OK;
}

static bool hp_ows(char c)
{
    return c == ' ' || c == '\t';
}

/* Records. */

HEADER *header_new()
{
    /* Value-initialised: every text NULL, every number 0. */
    HEADER *header = new HEADER();
    header->status = -1;
    header->keepalive = -1;
    header->proxy_keepalive = -1;
    return header;
}

void http_header_free(HEADER *header)
{
    if (!header)
        return;
    for (char *HEADER::*field : header_texts) {
        free(header->*field);
        header->*field = nullptr;
    }
    delete header;
}

HEADER *http_header_dup(const HEADER *header)
{
    if (!header)
        return nullptr;
    HEADER *copy = new HEADER(*header);
    for (char *HEADER::*field : header_texts)
        copy->*field = header->*field ? xstrdup(header->*field) : nullptr;
    return copy;
}

void header_field_set(char **field, const char *value)
{
    char *copy = value ? xstrdup(value) : nullptr;
    free(*field);
    *field = copy;
}

/* Parsing. */

int64_t header_length(const char *text, size_t limit)
{
    if (!text || limit == 0)
        return 0;
    size_t i = 0;
    int newlines = 0;
    while (i < limit && text[i] != '\0') {
        char c = text[i++];
        if (c == '\n') {
            if (++newlines == 2)
                break;
        } else if (c != '\r') {
            newlines = 0;
        }
    }
    return (int64_t)i;
}

/* HEADER_TOO_LARGE when the block of text (through its blank line) is over
 * HEADER_BLOCK_MAX bytes, else HEADER_OK. */
static int hp_block_check(const char *text)
{
    if (header_length(text, (size_t)HEADER_BLOCK_MAX + 1) > HEADER_BLOCK_MAX)
        return HEADER_TOO_LARGE;
    return HEADER_OK;
}

HEADER *http_header_parse_request(const char *text, int *result)
{
    int unused;
    int &rc = result ? *result : unused;

    rc = HEADER_BAD;
    if (!text || *text == '\0')
        return nullptr;
    if ((rc = hp_block_check(text)) != HEADER_OK)
        return nullptr;

    std::unique_ptr<HEADER, void (*)(HEADER *)> header(header_new(), http_header_free);
    size_t line_len = strcspn(text, "\r\n");
    if ((rc = hp_request_line(header.get(), text, line_len)) != HEADER_OK)
        return nullptr;
    if ((rc = http_header_list_parse(header.get(), text, true)) != HEADER_OK)
        return nullptr;
    header->raw = xstrndup(text, (size_t)header_length(text, strlen(text)));
    return header.release();
}

/* Reads the request line (len bytes, without its line end) into header:
 * method, type, version, protocol, host, port, path, url and credentials.
 * Returns HEADER_OK, HEADER_BAD or HEADER_TOO_LARGE. */
static int hp_request_line(HEADER *header, const char *line, size_t len)
{
    const char *piece[3] = { nullptr, nullptr, nullptr };
    size_t piece_len[3] = { 0, 0, 0 };
    int pieces = 0;

    for (size_t i = 0; i < len;) {
        if (line[i] == ' ') {
            i++;
            continue;
        }
        size_t start = i;
        while (i < len && line[i] != ' ')
            i++;
        if (pieces < 3) {
            piece[pieces] = line + start;
            piece_len[pieces] = i - start;
        }
        pieces++;
    }
    if (pieces < 2)
        return HEADER_BAD;
    if (piece_len[0] > HEADER_METHOD_MAX || !hp_is_token(piece[0], piece_len[0]))
        return HEADER_BAD;
    if (piece_len[1] > HEADER_TARGET_MAX)
        return HEADER_TOO_LARGE;

    header->method = xstrndup(piece[0], piece_len[0]);
    header->version =
        (pieces == 3 && piece_len[2] == 8 && strncasecmp(piece[2], "HTTP/1.1", 8) == 0) ? 2 : 1;
    if (strcasecmp(header->method, "CONNECT") == 0)
        header->type = HEADER_CONNECT;
    else if (piece[1][0] == '/')
        header->type = HEADER_ORIGIN;
    else
        header->type = HEADER_ABSOLUTE;

    if (header->type == HEADER_ORIGIN) {
        header->protocol = xstrdup("http");
        header->path = hp_path_fix(piece[1], piece_len[1]);
        header->port = 80;
        return HEADER_OK;
    }
    return hp_target(header, piece[1], piece_len[1]);
}

/* The URL-command labels at the front of an authority start..end, each
 * "xx--" (any case) up to and including its first ".", as url_command_parse
 * takes them off. Their bytes, lower-cased, go to *labels. Returns their
 * length (0 without any), or (size_t)-1 when a label holds a byte outside
 * letters, digits and "-_~.[]+!*,=" (no escapes, so that the labels are
 * parsed later exactly as they were checked here). */
static size_t hp_command_labels(const char *start, const char *end, std::string *labels)
{
    const char *cursor = start;
    while (end - cursor >= 4 && strncasecmp(cursor, "xx--", 4) == 0) {
        const char *dot = (const char *)memchr(cursor, '.', (size_t)(end - cursor));
        if (!dot)
            break;
        cursor = dot + 1;
    }
    for (const char *p = start; p < cursor; p++) {
        unsigned char c = (unsigned char)*p;
        if (!isalnum(c) && !strchr("-_~.[]+!*,=", c))
            return (size_t)-1;
        labels->push_back((char)tolower(c));
    }
    return (size_t)(cursor - start);
}

/* Reads an absolute or CONNECT target: scheme, credentials, host, port and
 * path. Returns HEADER_OK or HEADER_BAD. */
static int hp_target(HEADER *header, const char *target, size_t len)
{
    const char *rest = target;
    const char *end = target + len;

    if (header->type == HEADER_CONNECT) {
        header->protocol = xstrdup("connect");
    } else {
        const char *colon = (const char *)memchr(target, ':', len);
        if (!colon || colon == target || end - colon < 3)
            return HEADER_BAD;
        /* RFC 3986 scheme: a letter, then letters, digits, "+", "-", "." */
        if (!isalpha((unsigned char)target[0]))
            return HEADER_BAD;
        for (const char *p = target; p < colon; p++)
            if (!isalnum((unsigned char)*p) && *p != '+' && *p != '-' && *p != '.')
                return HEADER_BAD;
        header->protocol = string_tolower(xstrndup(target, (size_t)(colon - target)));
        rest = colon + 3;   /* the "://" */
    }

    /* The authority ends where the path, the query or the fragment begins. */
    const char *auth_end = rest;
    while (auth_end < end && *auth_end != '/' && *auth_end != '?' && *auth_end != '#')
        auth_end++;
    if (auth_end < end && *auth_end == '/') {
        header->path = hp_path_fix(auth_end, (size_t)(end - auth_end));
    } else if (auth_end < end && *auth_end == '?') {
        std::string path = "/" + std::string(auth_end, (size_t)(end - auth_end));
        header->path = hp_path_fix(path.c_str(), path.size());
    } else {
        header->path = xstrdup("/");
    }

    const char *at = (const char *)memchr(rest, '@', (size_t)(auth_end - rest));
    if (at) {
        const char *colon = (const char *)memchr(rest, ':', (size_t)(at - rest));
        if (colon && colon - rest <= HEADER_USERINFO_MAX && at - colon - 1 <= HEADER_USERINFO_MAX) {
            std::string user, password;
            if (!hp_url_decode(rest, (size_t)(colon - rest), &user) ||
                !hp_url_decode(colon + 1, (size_t)(at - colon - 1), &password))
                return HEADER_BAD;
            header->user = xstrdup(user.c_str());
            header->password = xstrdup(password.c_str());
        }
        rest = at + 1;
    }

    /* URL commands ride at the front of the host as labels with brackets
     * and signs no host name has; they come off before the host is
     * checked, and the host left behind must be a valid one. */
    std::string labels;
    if (header->type != HEADER_CONNECT) {
        size_t n = hp_command_labels(rest, auth_end, &labels);
        if (n == (size_t)-1)
            return HEADER_BAD;
        rest += n;
    }
    bool explicit_port = false;
    int rc = header_hostport_parse(rest, (size_t)(auth_end - rest), &header->host, &header->port,
                                   &explicit_port);
    if (rc != HEADER_OK)
        return rc;
    if (!labels.empty()) {
        labels += header->host;
        header_field_set(&header->host, labels.c_str());
    }
    if (!explicit_port) {
        header->flags |= HEADER_DEFAULT_PORT;
        header->port = header->type == HEADER_CONNECT ? 443 : protocol_port(header->protocol);
    }
    header_complete(header);
    return HEADER_OK;
}

int header_hostport_parse(const char *text, size_t len, char **host, int *port,
                          bool *explicit_port)
{
    const char *end = text + len;
    const char *host_end;
    std::string name;

    *explicit_port = false;
    if (len == 0)
        return HEADER_BAD;
    if (text[0] == '[') {
        /* An IPv6 literal: hex digits, colons and dots between brackets. */
        const char *close = (const char *)memchr(text, ']', len);
        if (!close || close == text + 1)
            return HEADER_BAD;
        for (const char *p = text + 1; p < close; p++)
            if (!isxdigit((unsigned char)*p) && *p != ':' && *p != '.')
                return HEADER_BAD;
        host_end = close + 1;
        if (host_end < end && *host_end != ':')
            return HEADER_BAD;
        name.assign(text, (size_t)(host_end - text));
        for (char &c : name)
            c = (char)tolower((unsigned char)c);
    } else {
        const char *colon = (const char *)memchr(text, ':', len);
        host_end = colon ? colon : end;
        if (!hp_url_decode(text, (size_t)(host_end - text), &name) || name.empty())
            return HEADER_BAD;
        for (char &c : name) {
            if (!hp_hostchar((unsigned char)c))
                return HEADER_BAD;
            c = (char)tolower((unsigned char)c);
        }
        int rc = hp_host_canonical(&name);
        if (rc != HEADER_OK)
            return rc;
    }

    if (host_end < end) {
        /* A port: digits only, 1 to 65535, never wrapped. */
        const char *p = host_end + 1;
        if (p == end)
            return HEADER_BAD;
        int value = 0;
        for (; p < end; p++) {
            if (!isdigit((unsigned char)*p))
                return HEADER_BAD;
            value = value * 10 + (*p - '0');
            if (value > 65535)
                return HEADER_BAD;
        }
        if (value < 1)
            return HEADER_BAD;
        *port = value;
        *explicit_port = true;
    }
    char *copy = xstrdup(name.c_str());
    free(*host);
    *host = copy;
    return HEADER_OK;
}

void header_complete(HEADER *header)
{
    const char *protocol = header->protocol ? header->protocol : "";
    const char *host = header->host ? header->host : "";
    const char *path = header->path ? header->path : "";
    /* The target is bounded by HEADER_TARGET_MAX, so the URL is too; it is
     * never cut. */
    size_t size = strlen(protocol) + strlen(host) + strlen(path) + 16;
    char *url = (char *)xmalloc(size);
    if (!url)
        FATAL_ALLOC(size);
    snprintf(url, size, "%s://%s:%d%s", protocol, host, header->port, path);
    free(header->url);
    header->url = url;
}

HEADER *http_header_parse_response(const char *text, int *result)
{
    int unused;
    int &rc = result ? *result : unused;

    rc = HEADER_BAD;
    if (!text)
        return nullptr;
    const char *newline = strchr(text, '\n');
    if (!newline || newline - text + 1 > HEADER_STATUS_LINE_MAX)
        return nullptr;

    std::unique_ptr<HEADER, void (*)(HEADER *)> header(header_new(), http_header_free);
    header->type = HEADER_RESPONSE;
    size_t line_len = (size_t)(newline - text);
    if (line_len > 0 && text[line_len - 1] == '\r')
        line_len--;
    bool http09 = false;
    if ((rc = hp_status_line(header.get(), text, line_len, &http09)) != HEADER_OK)
        return nullptr;
    if (http09) {
        header->version = 0;
        header->status = 200;
        header->raw = xstrdup("HTTP/1.1 200 OK\r\n\r\n");
        putlog(LOG_DEBUG, "HTTP/0.9 header");
        return header.release();
    }
    if ((rc = hp_block_check(text)) != HEADER_OK)
        return nullptr;
    if ((rc = http_header_list_parse(header.get(), text, false)) != HEADER_OK)
        return nullptr;
    /* The registered watcher sees each response once, as received (the
     * cookie rules log an unreadable cookie date here, not at every write). */
    if (hp_watch)
        hp_watch(header.get());
    header->raw = xstrndup(text, (size_t)header_length(text, strlen(text)));
    return header.release();
}

/* Reads the decimal digits at *p. Returns their value, -1 when there are
 * none, or -2 when there are more than 9. */
static int hp_status_digits(const char **p, const char *end)
{
    int value = 0, digits = 0;
    while (*p < end && isdigit((unsigned char)**p)) {
        if (++digits > 9)
            return -2;
        value = value * 10 + (**p - '0');
        (*p)++;
    }
    return digits ? value : -1;
}

/* Reads a status line of len bytes. A line starting with "HTTP/" or "ICAP/"
 * must be name "/" digit "." digit, blanks, a status of 100 to 999 and then
 * the end or a blank. Another line of the shape name "/" char "." char,
 * blanks, number is read the same way; any other line makes *http09 true.
 * Returns HEADER_OK or HEADER_BAD. */
static int hp_status_line(HEADER *header, const char *line, size_t len, bool *http09)
{
    const char *end = line + len;
    bool status_line = len >= 5 && (strncasecmp(line, "HTTP/", 5) == 0 ||
                                    strncasecmp(line, "ICAP/", 5) == 0);
    const char *slash = (const char *)memchr(line, '/', len);

    *http09 = false;
    if (status_line) {
        const char *p = slash + 1;
        if (end - p < 3 || !isdigit((unsigned char)p[0]) || p[1] != '.' ||
            !isdigit((unsigned char)p[2]))
            return HEADER_BAD;
        p += 3;
        if (p == end || *p != ' ')
            return HEADER_BAD;
        while (p < end && *p == ' ')
            p++;
        int status = hp_status_digits(&p, end);
        if (status < 100 || status > 999 || (p < end && !hp_ows(*p)))
            return HEADER_BAD;
        header->status = status;
        header->version = strncasecmp(line, "HTTP/1.1", 8) == 0 ? 2 : 1;
        return HEADER_OK;
    }

    /* Other protocol names are accepted in the looser shape. */
    if (slash && slash > line && slash - line <= 10 && end - slash >= 4 && slash[2] == '.') {
        const char *p = slash + 4;
        while (p < end && isspace((unsigned char)*p))
            p++;
        if (p < end && (*p == '+' || *p == '-' || isdigit((unsigned char)*p))) {
            bool negative = *p == '-';
            if (*p == '+' || *p == '-')
                p++;
            int status = hp_status_digits(&p, end);
            if (status != -1) {
                if (negative || status < 100 || status > 999)
                    return HEADER_BAD;
                header->status = status;
                header->version = 1;
                return HEADER_OK;
            }
        }
    }
    *http09 = true;
    return HEADER_OK;
}

int http_header_list_parse(HEADER *header, const char *text, bool request)
{
    hp_state state = { request, false };
    std::vector<std::string> lines;
    int count = 0;

    const char *p = strchr(text, '\n');
    if (!p)
        return HEADER_OK;
    p++;
    while (*p != '\0' && *p != '\r' && *p != '\n') {
        const char *newline = strchr(p, '\n');
        const char *next = newline ? newline + 1 : p + strlen(p);
        size_t len = strcspn(p, "\r\n");
        if (++count > HEADER_LINES_MAX)
            return HEADER_TOO_LARGE;
        if (hp_ows(*p)) {
            /* obs-fold: refused in a request; in a response replaced by one
             * blank joining it to the line before (or dropped when it
             * follows the start line). */
            if (request)
                return HEADER_BAD_FRAMING;
            if (!lines.empty()) {
                std::string &last = lines.back();
                while (!last.empty() && hp_ows(last.back()))
                    last.pop_back();
                size_t skip = 0;
                while (skip < len && hp_ows(p[skip]))
                    skip++;
                last += ' ';
                last.append(p + skip, len - skip);
            }
        } else {
            lines.emplace_back(p, len);
        }
        p = next;
    }

    for (const std::string &line : lines) {
        int rc = hp_line(header, &state, line);
        if (rc != HEADER_OK)
            return rc;
    }
    if ((header->flags & HEADER_HAS_LENGTH) && (header->chunked || state.other_coding))
        return HEADER_BAD_FRAMING;
    hp_connection_fields(header);
    return HEADER_OK;
}

/* Reads one header line (without line end) into header. Returns HEADER_OK
 * (also for lines that are ignored) or a refusal. */
static int hp_line(HEADER *header, hp_state *state, const std::string &line)
{
    size_t colon = line.find(':');
    if (colon == std::string::npos)
        return HEADER_OK;
    std::string name = line.substr(0, colon);
    if (!name.empty() && hp_ows(name.back())) {
        /* Whitespace before the colon: refused in requests, removed in
         * responses. */
        if (state->request)
            return HEADER_BAD_FRAMING;
        while (!name.empty() && hp_ows(name.back()))
            name.pop_back();
    }
    if (name.empty() || !hp_is_token(name.data(), name.size()))
        return state->request ? HEADER_BAD : HEADER_OK;
    if (colon + 1 == line.size())
        return HEADER_OK;
    size_t start = colon + 1;
    if (line[start] == ' ')
        start++;
    std::string value = line.substr(start);

    const hp_known *known = hp_lookup(name);
    if (known)
        return hp_known_line(header, state, known, name, value);
    header->headers.push_back(HTTP_HEADER{ 1, name, value });
    return HEADER_OK;
}

static const hp_known *hp_lookup(const std::string &name)
{
    for (const hp_known &known : hp_known_headers)
        if (known.name_len == name.size() && strcasecmp(known.name, name.c_str()) == 0)
            return &known;
    return nullptr;
}

/* The field names listed in the Connection and Proxy-Connection lines of
 * header, less those never taken out that way: framing, Host, the
 * connection lines themselves and the proxy's own credentials. */
static std::vector<std::string> hp_connection_names(const HEADER *header)
{
    static const char *const kept[] = { "Content-Length", "Transfer-Encoding", "Host",
                                        "Connection", "Proxy-Connection", "Proxy-Authorization",
                                        "Proxy-Authenticate" };
    std::vector<std::string> named;
    for (const HTTP_HEADER &line : header->headers) {
        if (strcasecmp(line.name.c_str(), "Connection") != 0 &&
            strcasecmp(line.name.c_str(), "Proxy-Connection") != 0)
            continue;
        size_t pos = 0;
        for (;;) {
            size_t comma = line.value.find(',', pos);
            std::string token = hp_trim(line.value.substr(
                pos, comma == std::string::npos ? std::string::npos : comma - pos));
            bool keep = token.empty();
            for (const char *k : kept)
                if (strcasecmp(k, token.c_str()) == 0)
                    keep = true;
            if (!keep)
                named.push_back(token);
            if (comma == std::string::npos)
                break;
            pos = comma + 1;
        }
    }
    return named;
}

/* The fields named in Connection and Proxy-Connection are hop-by-hop: their
 * lines are neither forwarded nor kept, and a field the record holds is
 * cleared. Framing, Host and the proxy's own credentials are never taken
 * out this way. */
static void hp_connection_fields(HEADER *header)
{
    for (const std::string &name : hp_connection_names(header)) {
        for (HTTP_HEADER &line : header->headers)
            if (strcasecmp(line.name.c_str(), name.c_str()) == 0)
                line.pass_through = 0;
        const hp_known *known = hp_lookup(name);
        if (!known)
            continue;
        switch ((hp_action)known->action) {
        case HP_FIELD:
        case HP_LIST:
        case HP_EVERY:
        case HP_XCACHE:
            header_field_set(&(header->*known->field), nullptr);
            break;
        case HP_CTYPE:
            header_field_set(&header->content_type, nullptr);
            header_field_set(&header->mime, nullptr);
            break;
        case HP_LENGTH:
        case HP_TRANSFER:
        case HP_HOP:
        case HP_CONNECTION:
        case HP_PCONNECTION:
        case HP_HOST:
            break;
        }
    }
}

/* Whether a line of this name is hop-by-hop in header: a fixed one, a
 * keep-alive line, or one its Connection or Proxy-Connection names. */
static bool hp_hop_name(const HEADER *header, const std::string &name)
{
    const hp_known *known = hp_lookup(name);
    if (known && (known->action == HP_HOP || known->action == HP_CONNECTION ||
                  known->action == HP_PCONNECTION))
        return true;
    for (const std::string &named : hp_connection_names(header))
        if (strcasecmp(named.c_str(), name.c_str()) == 0)
            return true;
    return false;
}

std::string header_raw_end_to_end(const HEADER *header)
{
    std::string out;
    const char *p = header->raw ? header->raw : "";
    bool first = true, drop = false;
    while (*p) {
        const char *newline = strchr(p, '\n');
        const char *next = newline ? newline + 1 : p + strlen(p);
        std::string line(p, (size_t)(next - p));
        if (first) {
            first = false;
        } else if (line[0] == ' ' || line[0] == '\t') {
            /* a folded line goes with the line before */
        } else {
            size_t colon = line.find(':');
            drop = colon != std::string::npos && hp_hop_name(header, hp_trim(line.substr(0, colon)));
        }
        if (!drop)
            out += line;
        p = next;
    }
    return out;
}

/* Header rules. */

/* The bit of a held header in HEADER::withheld: its place in the table. */
static unsigned hp_held_bit(const hp_known *known)
{
    if (!known || known->rule_kind != HEADER_RULE_HELD)
        return 0;
    return 1u << (unsigned)(known - hp_known_headers);
}

static const hp_known *hp_field_lookup(char *HEADER::*field)
{
    for (const hp_known &known : hp_known_headers)
        if (known.field == field)
            return &known;
    return nullptr;
}

static_assert(std::size(hp_known_headers) <= 32, "every held header has a bit of withheld");

int header_rule_kind(const std::string &name)
{
    const hp_known *known = hp_lookup(name);
    return known ? known->rule_kind : HEADER_RULE_LINE;
}

void header_withhold(HEADER *header, const std::string &name)
{
    header->withheld |= hp_held_bit(hp_lookup(name));
}

bool header_withheld(const HEADER *header, const std::string &name)
{
    unsigned bit = hp_held_bit(hp_lookup(name));
    return bit && (header->withheld & bit);
}

void header_held_set(HEADER *header, char *HEADER::*field, const char *value)
{
    header_field_set(&(header->*field), value);
    header->withheld &= ~hp_held_bit(hp_field_lookup(field));
}

bool header_held_set(HEADER *header, const std::string &name, const char *value)
{
    const hp_known *known = hp_lookup(name);
    if (!hp_held_bit(known))
        return false;
    header_held_set(header, known->field, value);
    return true;
}

/* Applies a line of a header the proxy handles itself. Returns HEADER_OK
 * or a refusal. */
static int hp_known_line(HEADER *header, hp_state *state, const hp_known *known,
                         const std::string &name, const std::string &value)
{
    int pass_through = 0;

    switch ((hp_action)known->action) {
    case HP_FIELD:
        header_field_set(&(header->*known->field), value.c_str());
        break;
    case HP_LIST: {
        char *&field = header->*known->field;
        if (field && *field && !value.empty())
            header_field_set(&field, (std::string(field) + ", " + value).c_str());
        else if (!field || !*field)
            header_field_set(&field, value.c_str());
        break;
    }
    case HP_EVERY:
        /* Challenges cannot be joined safely: with several lines every one
         * goes out as received, and the field keeps the first. */
        if (header->*known->field) {
            for (HTTP_HEADER &line : header->headers)
                if (strcasecmp(line.name.c_str(), known->name) == 0)
                    line.pass_through = 1;
            pass_through = 1;
        } else {
            header_field_set(&(header->*known->field), value.c_str());
        }
        break;
    case HP_HOST:
        if (state->request && header->host_header &&
            strcasecmp(header->host_header, value.c_str()) != 0)
            return HEADER_BAD;
        header_field_set(&header->host_header, value.c_str());
        break;
    case HP_LENGTH: {
        int64_t length = 0;
        if (!hp_length_parse(value, &length))
            return HEADER_BAD_FRAMING;
        if ((header->flags & HEADER_HAS_LENGTH) && header->content_length != length)
            return HEADER_BAD_FRAMING;
        header->content_length = length;
        header->flags |= HEADER_HAS_LENGTH;
        break;
    }
    case HP_TRANSFER:
        if (strcasecmp(hp_trim(value).c_str(), "chunked") == 0) {
            /* chunked applied twice, or after another coding line whose
             * order we cannot trust, is ambiguous */
            if (header->chunked || state->other_coding)
                return HEADER_BAD_FRAMING;
            header->chunked = 1;
        } else {
            if (state->request || header->chunked)
                return HEADER_BAD_FRAMING;
            state->other_coding = true;
            pass_through = 1;
        }
        break;
    case HP_CTYPE:
        header_field_set(&header->content_type, value.c_str());
        free(header->mime);
        header->mime = xstrndup(value.c_str(), value.find(';'));
        break;
    case HP_HOP:
        break;
    case HP_CONNECTION:
    case HP_PCONNECTION: {
        int &keepalive = known->action == HP_CONNECTION ? header->keepalive
                                                         : header->proxy_keepalive;
        const char *v = value.c_str();
        while (hp_ows(*v))
            v++;
        if (strncasecmp(v, "keep-alive", 10) == 0)
            keepalive = 1;
        else if (strncasecmp(v, "close", 5) == 0)
            keepalive = 0;
        break;
    }
    case HP_XCACHE:
        if (header->x_cache)
            pass_through = 1;
        else
            header_field_set(&header->x_cache, value.c_str());
        break;
    }
    header->headers.push_back(HTTP_HEADER{ pass_through, name, value });
    return HEADER_OK;
}

/* A Content-Length value: one decimal number of at most INT64_MAX, or a
 * comma-separated list of the same number; blanks around each element. */
static bool hp_length_parse(const std::string &value, int64_t *length)
{
    bool have = false;
    size_t pos = 0;

    for (;;) {
        size_t comma = value.find(',', pos);
        std::string element = hp_trim(value.substr(pos, comma == std::string::npos
                                                             ? std::string::npos
                                                             : comma - pos));
        if (element.empty())
            return false;
        int64_t v = 0;
        for (char c : element) {
            if (c < '0' || c > '9')
                return false;
            if (v > (INT64_MAX - (c - '0')) / 10)
                return false;
            v = v * 10 + (c - '0');
        }
        if (have && v != *length)
            return false;
        *length = v;
        have = true;
        if (comma == std::string::npos)
            return true;
        pos = comma + 1;
    }
}

static std::string hp_trim(const std::string &text)
{
    size_t start = 0, end = text.size();
    while (start < end && hp_ows(text[start]))
        start++;
    while (end > start && hp_ows(text[end - 1]))
        end--;
    return text.substr(start, end - start);
}

static bool hp_is_token(const char *start, size_t len)
{
    if (len == 0)
        return false;
    for (size_t i = 0; i < len; i++)
        if (!header_tchar((unsigned char)start[i]))
            return false;
    return true;
}

/* URL-decodes len bytes of text into *out: "+" becomes a blank and "%"
 * with two hex digits the byte they name; any other "%" stays. Returns
 * false when a decoded byte is a control character (NUL, CR and LF
 * included), so that a decoded text can never cut or split a value. */
static bool hp_url_decode(const char *text, size_t len, std::string *out)
{
    *out = url_percent_decode(text, len, true);
    for (char ch : *out) {
        unsigned char c = (unsigned char)ch;
        if (c < 32 || c == 127)
            return false;
    }
    return true;
}

/* A new path from len bytes: cut at the first "#", then without blanks,
 * controls and bytes above 127. Never shortened otherwise. */
static char *hp_path_fix(const char *start, size_t len)
{
    const char *hash = (const char *)memchr(start, '#', len);
    if (hash)
        len = (size_t)(hash - start);
    char *path = xstrndup(start, len);
    if (!path)
        FATAL_ALLOC(len + 1);
    url_strip(path);
    if (*path == '\0') {
        free(path);
        path = xstrdup("/");
    }
    return path;
}

/* Writing. */

/* Appends len bytes, each CR or LF replaced by a blank so that no value can
 * add a line; the first failure stays in *rc. */
static void hs_add(Filebuf *buffer, int *rc, const char *text, size_t len)
{
    if (*rc != FILEBUF_OK)
        return;
    const char *crlf = (const char *)memchr(text, '\r', len);
    if (!crlf)
        crlf = (const char *)memchr(text, '\n', len);
    if (!crlf) {
        *rc = buffer->Add(text, (int64_t)len);
        return;
    }
    std::string clean(text, len);
    for (char &c : clean)
        if (c == '\r' || c == '\n')
            c = ' ';
    *rc = buffer->Add(clean.data(), (int64_t)clean.size());
}

static void hs_text(Filebuf *buffer, int *rc, const char *text)
{
    if (text)
        hs_add(buffer, rc, text, strlen(text));
}

static void hs_raw(Filebuf *buffer, int *rc, const char *text)
{
    if (*rc == FILEBUF_OK)
        *rc = buffer->Add(text, (int64_t)strlen(text));
}

/* "name: value\r\n" */
static void hs_line(Filebuf *buffer, int *rc, const char *name, const char *value)
{
    hs_text(buffer, rc, name);
    hs_raw(buffer, rc, ": ");
    hs_text(buffer, rc, value);
    hs_raw(buffer, rc, "\r\n");
}

/* "name: value\r\n" only when value is set. */
static void hs_field(Filebuf *buffer, int *rc, const char *name, const char *value)
{
    if (value)
        hs_line(buffer, rc, name, value);
}

static void hs_number(Filebuf *buffer, int *rc, int64_t value)
{
    char digits[32];
    snprintf(digits, sizeof digits, "%lld", (long long)value);
    hs_raw(buffer, rc, digits);
}

int header_send_filebuf(Filebuf *buffer, const HEADER *header, CONNECTION_T *conn, int kind)
{
    int rc = FILEBUF_OK;

    hs_start_line(buffer, &rc, header, kind);
    hs_pass_lines(buffer, &rc, header, conn);

    if (header->content_type && *header->content_type)
        hs_line(buffer, &rc, "Content-Type", header->content_type);
    if (header->flags & HEADER_HAS_LENGTH) {
        hs_raw(buffer, &rc, "Content-Length: ");
        hs_number(buffer, &rc, header->content_length);
        hs_raw(buffer, &rc, "\r\n");
    }
    if (header->chunked)
        hs_raw(buffer, &rc, "Transfer-Encoding: chunked\r\n");

    switch ((header_send_kind)kind) {
    case HEADER_SEND_PROXY: {
        hs_raw(buffer, &rc, "Proxy-Connection: keep-alive\r\n");
        /* The client's own Proxy-Authorization goes on to a chained proxy,
         * unless this proxy's access rule consumed it. */
        const char *credentials = conn ? conn->upstream_authorization : nullptr;
        if (!credentials && conn && conn->header && !(conn->auth_flags & AUTH_CREDENTIALS_USED))
            credentials = conn->header->proxy_authorization;
        hs_field(buffer, &rc, "Proxy-Authorization", credentials);
        hs_field(buffer, &rc, "Cache-Control", hs_sent(header, &HEADER::cache_control));
        hs_request_lines(buffer, &rc, header);
        break;
    }
    case HEADER_SEND_ORIGIN:
        hs_request_lines(buffer, &rc, header);
        break;
    case HEADER_SEND_RESPONSE:
    case HEADER_SEND_ICAP_RESPONSE:
        hs_response_lines(buffer, &rc, header, conn);
        break;
    }
    hs_raw(buffer, &rc, "\r\n");
    return rc;
}

/* The start line for the message kind and send kind. */
static void hs_start_line(Filebuf *buffer, int *rc, const HEADER *header, int kind)
{
    const char *method = header->method ? header->method : "";

    switch ((header_type)header->type) {
    case HEADER_RESPONSE:
    case HEADER_ICAP_RESPONSE:
        hs_raw(buffer, rc, header->type == HEADER_RESPONSE ? "HTTP/1.1 " : "ICAP/1.0 ");
        hs_number(buffer, rc, header->status);
        hs_raw(buffer, rc, " ");
        hs_raw(buffer, rc, code_to_error(header->status));
        hs_raw(buffer, rc, "\r\n");
        return;
    case HEADER_ICAP_REQUEST:
        hs_text(buffer, rc, method);
        hs_raw(buffer, rc, " ");
        hs_text(buffer, rc, header->url);
        hs_raw(buffer, rc, " ICAP/1.0\r\n");
        return;
    case HEADER_CONNECT:
    case HEADER_ABSOLUTE:
    case HEADER_ORIGIN:
        break;
    }

    hs_text(buffer, rc, method);
    hs_raw(buffer, rc, " ");
    if (kind == HEADER_SEND_ORIGIN) {
        hs_text(buffer, rc, header->path);
    } else if (header->type == HEADER_CONNECT) {
        hs_text(buffer, rc, header->host);
        hs_raw(buffer, rc, ":");
        hs_number(buffer, rc, header->port);
    } else if (header->user && header->password) {
        hs_text(buffer, rc, header->protocol);
        hs_raw(buffer, rc, "://");
        hs_raw(buffer, rc, hs_userinfo_encode(header->user).c_str());
        hs_raw(buffer, rc, ":");
        hs_raw(buffer, rc, hs_userinfo_encode(header->password).c_str());
        hs_raw(buffer, rc, "@");
        hs_text(buffer, rc, header->host);
        hs_raw(buffer, rc, ":");
        hs_number(buffer, rc, header->port);
        hs_text(buffer, rc, header->path);
    } else {
        hs_text(buffer, rc, header->url);
    }
    hs_raw(buffer, rc, " HTTP/1.1\r\n");
}

/* A user name or password for the user info of a URL: every byte but
 * letters, digits and "-._~" percent-encoded, so that no "/", "@", ":" or
 * "+" in it can move the boundaries of the URL or change on decoding. */
static std::string hs_userinfo_encode(const char *text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p; p++) {
        if (isalnum(*p) || *p == '-' || *p == '.' || *p == '_' || *p == '~') {
            out += (char)*p;
        } else {
            out += '%';
            out += hex[*p >> 4];
            out += hex[*p & 15];
        }
    }
    return out;
}

static header_line_judge hs_judge = nullptr;
void header_received_watch_set(header_received_watch watch)
{
    hp_watch = watch;
}

void header_line_judge_set(header_line_judge judge)
{
    hs_judge = judge;
}

/* The lines with pass_through 1. Lines of relayed HTTP messages go past
 * the registered judge (the cookie rules): a passing line is written
 * exactly as received, a refused one is left out. */
static void hs_pass_lines(Filebuf *buffer, int *rc, const HEADER *header, CONNECTION_T *conn)
{
    const HeaderList &list =
        (header->flags & HEADER_FILTERED) ? header->filtered_headers : header->headers;
    header_line_judge judge = header->type != HEADER_ICAP_REQUEST &&
                                      header->type != HEADER_ICAP_RESPONSE &&
                                      !(header->flags & HEADER_PROXY_MADE)
                                  ? hs_judge : nullptr;

    for (const HTTP_HEADER &line : list) {
        if (line.pass_through != 1)
            continue;
        /* Repeated challenges go out only while their field is set: a
         * cleared field takes every line of it out. */
        if ((strcasecmp(line.name.c_str(), "WWW-Authenticate") == 0 && !header->www_authenticate) ||
            (strcasecmp(line.name.c_str(), "Proxy-Authenticate") == 0 &&
             !header->proxy_authenticate))
            continue;
        if (judge && !judge(header, conn, line))
            continue;
        hs_line(buffer, rc, line.name.c_str(), line.value.c_str());
    }
}

/* The value of a held header to send: NULL when the header rules refused
 * the received one and the proxy set none since. */
static const char *hs_sent(const HEADER *header, char *HEADER::*field)
{
    if (header->withheld & hp_held_bit(hp_field_lookup(field)))
        return nullptr;
    return header->*field;
}

/* The lines of a request: credentials, conditions, Host, keep-alive. */
static void hs_request_lines(Filebuf *buffer, int *rc, const HEADER *header)
{
    hs_field(buffer, rc, "Authorization", hs_sent(header, &HEADER::authorization));
    hs_field(buffer, rc, "If-Modified-Since", hs_sent(header, &HEADER::if_modified_since));
    hs_field(buffer, rc, "Referer", hs_sent(header, &HEADER::referer));
    hs_field(buffer, rc, "User-Agent", hs_sent(header, &HEADER::user_agent));
    hs_field(buffer, rc, "Range", hs_sent(header, &HEADER::range));
    hs_field(buffer, rc, "Accept-Encoding", header->accept_encoding);
    hs_raw(buffer, rc, "Host: ");
    hs_text(buffer, rc, header->host ? header->host : "");
    if (header->type == HEADER_CONNECT || header->port != protocol_port(header->protocol)) {
        hs_raw(buffer, rc, ":");
        hs_number(buffer, rc, header->port);
    }
    hs_raw(buffer, rc, "\r\n");
    hs_raw(buffer, rc, "Connection: keep-alive\r\n");
    hs_field(buffer, rc, "X-Forwarded-For", hs_sent(header, &HEADER::x_forwarded_for));
    hs_field(buffer, rc, "Via", hs_sent(header, &HEADER::via));
    hs_field(buffer, rc, "Encapsulated", header->encapsulated);
}

/* Whether the lines of a repeated challenge pass through as received, in
 * place of the field. */
static bool hs_every_passes(const HEADER *header, const char *name)
{
    const HeaderList &list =
        (header->flags & HEADER_FILTERED) ? header->filtered_headers : header->headers;
    for (const HTTP_HEADER &line : list)
        if (line.pass_through == 1 && strcasecmp(line.name.c_str(), name) == 0)
            return true;
    return false;
}

/* The lines of a response to the client. */
static void hs_response_lines(Filebuf *buffer, int *rc, const HEADER *header,
                              const CONNECTION_T *conn)
{
    hs_field(buffer, rc, "Cache-Control", hs_sent(header, &HEADER::cache_control));
    hs_field(buffer, rc, "Expires", hs_sent(header, &HEADER::expires));
    hs_field(buffer, rc, "Last-Modified", hs_sent(header, &HEADER::last_modified));
    hs_field(buffer, rc, "Location", hs_sent(header, &HEADER::location));
    if (!hs_every_passes(header, "WWW-Authenticate"))
        hs_field(buffer, rc, "WWW-Authenticate", hs_sent(header, &HEADER::www_authenticate));
    if (!hs_every_passes(header, "Proxy-Authenticate"))
        hs_field(buffer, rc, "Proxy-Authenticate", header->proxy_authenticate);
    hs_field(buffer, rc, "Content-Encoding", header->content_encoding);
    const char *keep = conn && conn->keepalive_client ? "keep-alive" : "close";
    hs_line(buffer, rc, "Connection", keep);
    hs_line(buffer, rc, "Proxy-Connection", keep);
    hs_field(buffer, rc, "X-Cache", header->x_cache);
    hs_field(buffer, rc, "Age", header->age);
    hs_field(buffer, rc, "Warning", header->warning);
}

/* Helpers. */

void header_variables(CONNECTION_T *conn, const std::string &prefix, const HeaderList &list)
{
    for (const HTTP_HEADER &line : list) {
        /* The key "PREFIX[name]" with the name in lower case, made in one
         * string: this runs for every header line of every request. */
        size_t n = std::min<size_t>(line.name.size(), HEADER_VARIABLE_NAME_MAX);
        std::string key;
        key.reserve(prefix.size() + n + 2);
        key += prefix;
        key += '[';
        for (size_t i = 0; i < n; i++)
            key += (char)tolower((unsigned char)line.name[i]);
        key += ']';
        conn->variables[std::move(key)] = line.value;
    }
}

void via_header_update(CONNECTION_T *conn)
{
    HEADER *header = conn->header;
    if (!header)
        return;
    char via[HEADER_VIA_MAX + 1];
    const char *interface = conn->interface ? conn->interface : "";
    if (header->via && !header_withheld(header, "Via"))
        snprintf(via, sizeof via, "%s, %s:%d (Quillmere %s)", header->via, interface, conn->port,
                 QUILL_RELEASE);
    else
        snprintf(via, sizeof via, "%s:%d (Quillmere %s)", interface, conn->port, QUILL_RELEASE);
    header_held_set(header, &HEADER::via, via);
}

void xcache_header_update(CONNECTION_T *conn, int miss)
{
    HEADER *header = conn->rheader;
    if (!header)
        return;
    char xcache[HEADER_VIA_MAX + 1];
    const char *what = miss ? "MISS" : "HIT";
    if (header->x_cache)
        snprintf(xcache, sizeof xcache, "%s, %s from Quillmere %s", header->x_cache, what,
                 QUILL_RELEASE);
    else
        snprintf(xcache, sizeof xcache, "%s from Quillmere %s", what, QUILL_RELEASE);
    header_field_set(&header->x_cache, xcache);
}

void conditional_header(HEADER *header, time_t stored_time)
{
    struct tm tm;
    char text[64];
    if (!gmtime_r(&stored_time, &tm) ||
        strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &tm) == 0)
        return;
    header_held_set(header, &HEADER::if_modified_since, text);
}

std::string request_header_redact(const char *text)
{
    std::string out;
    const char *p = text;
    while (*p) {
        const char *nl = strchr(p, '\n');
        const char *end = nl ? nl + 1 : p + strlen(p);
        std::string line(p, (size_t)(end - p));
        size_t colon = line.find(':');
        std::string name = colon == std::string::npos ? "" : line.substr(0, colon);
        std::string eol = line.size() >= 2 && line.compare(line.size() - 2, 2, "\r\n") == 0 ? "\r\n"
                          : !line.empty() && line.back() == '\n' ? "\n" : "";
        if (strcasecmp(name.c_str(), "Authorization") == 0 ||
            strcasecmp(name.c_str(), "Proxy-Authorization") == 0) {
            line = name + ": [redacted]" + eol;
        } else if (strcasecmp(name.c_str(), "Cookie") == 0) {
            /* Each "login=" pair loses its value, up to the next ";". */
            std::string value = line.substr(colon + 1, line.size() - colon - 1 - eol.size());
            std::string cleaned;
            size_t pos = 0;
            while (pos <= value.size()) {
                size_t semi = value.find(';', pos);
                std::string pair = value.substr(pos, semi == std::string::npos ? std::string::npos
                                                                               : semi - pos);
                size_t start = pair.find_first_not_of(" \t");
                size_t eq = pair.find('=');
                if (start != std::string::npos && eq != std::string::npos) {
                    std::string key = pair.substr(start, eq - start);
                    while (!key.empty() && (key.back() == ' ' || key.back() == '\t'))
                        key.pop_back();
                    if (strcasecmp(key.c_str(), "login") == 0)
                        pair = pair.substr(0, eq + 1) + "[redacted]";
                }
                cleaned += pair;
                if (semi == std::string::npos)
                    break;
                cleaned += ';';
                pos = semi + 1;
            }
            line = name + ":" + cleaned + eol;
        }
        out += line;
        p = end;
    }
    return out;
}
