#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <list>
#include <string>

class Filebuf;
struct CONNECTION_T;

/* The most bytes of one header block, start line and closing blank line
 * included. A request or status-line response that does not end within it
 * is refused. */
#define HEADER_BLOCK_MAX 65536
/* The most header lines after the start line. */
#define HEADER_LINES_MAX 256
/* The longest request method. */
#define HEADER_METHOD_MAX 23
/* The longest request target; a longer one is refused, never cut. */
#define HEADER_TARGET_MAX 8192
/* The longest status line, its newline included. */
#define HEADER_STATUS_LINE_MAX 255
/* The longest Via and X-Cache values the proxy writes. */
#define HEADER_VIA_MAX 1023
/* The longest name part of a header template variable. */
#define HEADER_VARIABLE_NAME_MAX 1023
/* The longest user name and password taken from a request URL. */
#define HEADER_USERINFO_MAX 128

/* Message kinds (HEADER::type). */
enum header_type {
    HEADER_CONNECT = 0,          /* a CONNECT request */
    HEADER_RESPONSE = 1,         /* an HTTP response */
    HEADER_ABSOLUTE = 2,         /* a request with an absolute URL */
    HEADER_ORIGIN = 3,           /* a request whose target begins with "/" */
    HEADER_ICAP_REQUEST = 4,     /* an ICAP request made by the ICAP client */
    HEADER_ICAP_RESPONSE = 5,    /* an ICAP response */
};

/* Send kinds: what a serialised header is written for. */
enum header_send_kind {
    HEADER_SEND_ORIGIN = 0,          /* a request to an origin (or ICAP) server */
    HEADER_SEND_PROXY = 1,           /* a request to an upstream proxy */
    HEADER_SEND_RESPONSE = 2,        /* a response to the client */
    HEADER_SEND_ICAP_RESPONSE = 5,   /* written like HEADER_SEND_RESPONSE */
};

/* HEADER::flags */
enum {
    HEADER_FILTERED = 0x1,       /* filtered_headers is sent instead of headers */
    HEADER_HAS_LENGTH = 0x2,     /* content_length holds a Content-Length */
    HEADER_DEFAULT_PORT = 0x4,   /* the request URL named no port */
    HEADER_PROXY_MADE = 0x8,     /* a response the proxy built itself: its cookie
                                    lines are not judged by the cookie rules */
};

/* What the header rules may do with a line of a given name
 * (header_rule_kind). */
enum header_rule_kind {
    HEADER_RULE_LINE = 0,    /* written as received: judged, left out when refused */
    HEADER_RULE_HELD,        /* an end-to-end header the record holds in a field:
                                judged; when refused its received value is not
                                sent, while the field keeps it for logs,
                                variables and cache decisions */
    HEADER_RULE_PROXY,       /* framing, routing and coding lines the proxy
                                writes itself: never judged, never added */
};

/* Outcome of reading or parsing a header block, for callers that choose
 * their answer by it. */
enum header_result {
    HEADER_OK = 0,
    HEADER_NONE,           /* nothing arrived: time-out, close or socket failure */
    HEADER_INCOMPLETE,     /* the block ended before its blank line */
    HEADER_TOO_LARGE,      /* over a block, line-count or target limit */
    HEADER_BAD,            /* a start line, target, host, port or field that
                              does not parse */
    HEADER_BAD_FRAMING,    /* refused or ambiguous message framing: answered
                              with 400 and a closed connection (request), or
                              a bad response whose server is not pooled */
    HEADER_BAD_HOST,       /* a host of dots only or with an empty label
                              inside: answered with 400 and a closed
                              connection */
};

/* One header line as received. */
struct HTTP_HEADER {
    int pass_through;      /* 1: written as it is; 0: held by a field or hop-by-hop */
    std::string name;      /* as received */
    std::string value;
};

using HeaderList = std::list<HTTP_HEADER>;

/*
 * A parsed HTTP or ICAP start line and header block. Made by header_new and
 * the parsers, copied by http_header_dup, freed by http_header_free. Every
 * text is NULL or an owned NUL-terminated string from malloc; set texts
 * through header_field_set so the old value is freed.
 */
struct HEADER {
    char *raw;                 /* the block as parsed, through its blank line */
    char *url;                 /* "%s://%s:%d%s", made by header_complete */
    int type;                  /* header_type */
    int version;               /* 0 HTTP/0.9 (responses), 1 HTTP/1.0 or other, 2 HTTP/1.1 */
    int port;                  /* request port, explicit or the scheme's default */
    int status;                /* response status; -1 in a new header */
    int64_t content_length;    /* meaningful with HEADER_HAS_LENGTH */
    int chunked;               /* 1: Transfer-Encoding is "chunked" */
    int keepalive;             /* Connection: -1 absent or other, 0 close, 1 keep-alive */
    int proxy_keepalive;       /* Proxy-Connection, the same way */
    char *user;                /* URL credentials, URL-decoded */
    char *password;
    char *method;
    char *protocol;            /* scheme, lower case; "http" origin form, "connect" */
    char *host;                /* URL-decoded, lower case */
    char *path;                /* from the first "/", fragment cut, no blanks or controls */
    char *referer;
    char *user_agent;
    char *location;
    char *content_type;
    char *content_encoding;
    char *accept_encoding;
    char *www_authenticate;
    char *authorization;
    char *range;
    char *proxy_authenticate;
    char *proxy_authorization;
    char *host_header;         /* the Host header line */
    char *mime;                /* content_type up to its first ";" */
    char *cache_control;
    char *expires;
    char *if_modified_since;
    char *last_modified;
    char *warning;             /* set for replies served from the cache; never parsed */
    char *age;                 /* the received Age; replaced for replies from the cache */
    char *x_cache;             /* the first X-Cache line */
    char *x_forwarded_for;
    char *via;
    char *encapsulated;        /* ICAP Encapsulated */
    HeaderList headers;            /* every received line with a value, in order */
    HeaderList filtered_headers;   /* kept and added by the header rules */
    unsigned flags;                /* HEADER_FILTERED, HEADER_HAS_LENGTH, HEADER_DEFAULT_PORT */
    unsigned withheld;             /* held headers refused by the header rules, one
                                      bit each (header_withhold); not sent */
};

/* Records. */

/* A new empty header: lists empty, texts NULL, status, keepalive and
 * proxy_keepalive -1, chunked 0, flags 0; type, version, port and
 * content_length are the filler's to set. Never NULL. */
HEADER *header_new();

/* Frees every text, both lists and the record; NULL is allowed. */
void http_header_free(HEADER *header);

/* A deep copy of every field and both lists (freed with http_header_free);
 * NULL for NULL. */
HEADER *http_header_dup(const HEADER *header);

/* Replaces *field by a copy of value (NULL clears it), freeing the old. */
void header_field_set(char **field, const char *value);

/* Parsing. */

/*
 * Parses a request block. Returns a new HEADER, or NULL with *result (when
 * given) set: HEADER_BAD for a request line without method and target, a
 * method that is not a token or is over HEADER_METHOD_MAX, an absolute URL
 * without scheme separator, a host that is empty or holds bytes illegal in
 * a host (after URL decoding), credentials with control characters, a port
 * outside 1-65535, a malformed field name, or two differing Host lines;
 * HEADER_TOO_LARGE for a target over HEADER_TARGET_MAX or a block over the
 * limits; HEADER_BAD_FRAMING for a Content-Length that is not one 64-bit
 * decimal number (identical repeats merge), Content-Length with
 * Transfer-Encoding, a Transfer-Encoding other than "chunked", whitespace
 * before a field's colon, or an obs-fold line.
 */
HEADER *http_header_parse_request(const char *text, int *result = nullptr);

/*
 * Parses a response block (HTTP or ICAP). Returns a new HEADER, or NULL
 * with *result set: HEADER_BAD for a status line without newline or over
 * HEADER_STATUS_LINE_MAX, a status line starting with "HTTP/" or "ICAP/"
 * that does not parse, or a status outside 100-999; HEADER_TOO_LARGE for a
 * block over the limits; HEADER_BAD_FRAMING for conflicting or malformed
 * lengths, Content-Length with Transfer-Encoding, or "chunked" mixed with
 * other Transfer-Encoding lines. A first line of any other shape makes an
 * HTTP/0.9 reply (version 0, status 200, no lines) whose text is all body.
 * Whitespace before a field's colon is removed; obs-fold lines are joined
 * to the line before with one blank.
 */
HEADER *http_header_parse_response(const char *text, int *result = nullptr);

/*
 * Parses the lines after the start line of text into header (request rules
 * when request is true). Returns HEADER_OK, or the refusal as for the
 * parsers above; header then holds the lines before the refusal.
 */
[[nodiscard]] int http_header_list_parse(HEADER *header, const char *text, bool request);

/* The bytes of text up to and including the newline that closes the block
 * (the second newline in a row; carriage returns between do not break the
 * row); counting also stops at limit bytes or a NUL. 0 for an empty text or
 * a limit of 0. */
int64_t header_length(const char *text, size_t limit);

/* Bytes of a token (field names, methods, authentication schemes): RFC
 * 9110 tchar. */
bool header_tchar(unsigned char c);

/*
 * Reads "host[:port]" (a Host header or an authority without user info):
 * host is URL-decoded and lower-cased into *host (a new text, the caller
 * frees it); *port is the explicit port, or left alone without one, and
 * *explicit_port tells which. Returns HEADER_OK, HEADER_BAD for an empty
 * or illegal host or a port outside 1-65535, or HEADER_BAD_HOST for a host
 * of dots only or holding "..". A bracketed IPv6 literal is kept with its
 * brackets.
 *
 * The host comes out in the one spelling every rule, the cache key, the
 * log and the forwarded Host line see: one trailing dot is dropped, and an
 * IPv4 literal in any form the resolver takes (decimal, octal or hex, one
 * to four parts: "2130706433", "127.1", "0x7f.0.0.1") becomes its dotted
 * quad.
 */
[[nodiscard]] int header_hostport_parse(const char *text, size_t len, char **host, int *port,
                                        bool *explicit_port);

/* The raw block of header without its hop-by-hop lines (the fixed ones,
 * Connection, Proxy-Connection and the fields they name): what a cache
 * keeps of a response. */
std::string header_raw_end_to_end(const HEADER *header);

/* Header rules. */

/* The header_rule_kind of a line name (compared without case). */
int header_rule_kind(const std::string &name);

/* The received value of the held header named name (HEADER_RULE_HELD) is
 * not sent: its field stays as it is for the proxy's own use. Nothing for
 * any other name. */
void header_withhold(HEADER *header, const std::string &name);

/* Whether the held header named name was refused and has not been set by
 * the proxy since. */
bool header_withheld(const HEADER *header, const std::string &name);

/* Sets the field of a held header to value (NULL clears it) as a value
 * the proxy sends: a refusal of the received value no longer applies. */
void header_held_set(HEADER *header, char *HEADER::*field, const char *value);

/* The same by the header's name; false when name is no held header. */
bool header_held_set(HEADER *header, const std::string &name, const char *value);

/* Rebuilds url from protocol, host, port and path ("%s://%s:%d%s"). */
void header_complete(HEADER *header);

/* Writing. */

/* Judges one passing line of a relayed message as it is written: false
 * leaves it out. The cookie rules register theirs when their section is
 * made; with none registered every line passes. */
typedef bool (*header_line_judge)(const HEADER *header, CONNECTION_T *conn, const HTTP_HEADER &line);
void header_line_judge_set(header_line_judge judge);
/* Sees each response header once, as parsed from the server's bytes; the
 * cookie rules register one with their judge. */
typedef void (*header_received_watch)(const HEADER *response);
void header_received_watch_set(header_received_watch watch);

/*
 * Appends the serialised header for the send kind to buffer: start line,
 * pass-through lines (cookie lines judged by the cookie rules and written
 * as received when they pass), the framing lines, the lines of the kind,
 * and the closing blank line. conn gives the request header, keep-alive
 * and credentials; it may be NULL. Returns FILEBUF_OK or FILEBUF_TOO_BIG.
 */
[[nodiscard]] int header_send_filebuf(Filebuf *buffer, const HEADER *header, CONNECTION_T *conn,
                                      int kind);

/* Helpers. */

/* Sets the template variable prefix + "[" + lower-cased name + "]" to the
 * value of every line of list, a later line replacing an earlier one. */
void header_variables(CONNECTION_T *conn, const std::string &prefix, const HeaderList &list);

/* The request header text for the debug log and the web interface's
 * headers page: the values of Authorization and Proxy-Authorization and of
 * the web interface's "login" cookie are replaced by "[redacted]". */
std::string request_header_redact(const char *text);

/* Adds this proxy to the request header's Via: "%s, %s:%d (Quillmere %s)"
 * after a received Via, else "%s:%d (Quillmere %s)"; at most
 * HEADER_VIA_MAX characters. A received Via that the header rules refused
 * is replaced: Via then holds only this proxy's entry. Nothing without a
 * request header. */
void via_header_update(CONNECTION_T *conn);

/* Sets the response header's X-Cache to "HIT" (miss 0) or "MISS" "from
 * Quillmere <release>", after a received X-Cache and ", "; at most
 * HEADER_VIA_MAX characters. Nothing without a response header. */
void xcache_header_update(CONNECTION_T *conn, int miss);

/* Sets If-Modified-Since to stored_time (seconds since the epoch, the time
 * the cache object was stored) formatted "%a, %d %b %Y %T GMT" in GMT; it
 * is sent even when the header rules refused the client's own.
 * TODO: the cache object form conditional_header(HEADER*, CACHEMAP*), which
 * passes the object's stored time here. */
void conditional_header(HEADER *header, time_t stored_time);
