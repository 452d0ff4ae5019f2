#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "domainlist.h"

class Filebuf;
struct CONNECTION_T;
struct HEADER;

/* The host name under which the proxy serves its own administration pages
 * and template files; never resolved, never forwarded. */
#define INTERFACE_HOST "quill.invalid"

/* The most bytes of a POST body the interface reads as form arguments. A
 * longer body gives no arguments; when it is still on the client socket it
 * is not read, and the client connection closes after the answer. */
#define INTERFACE_POST_MAX ((int64_t)1 << 20)

/* The longest "user:password" text of the login token. */
#define INTERFACE_LOGIN_MAX 1023

/* The longest proxy host name shown in a page title. */
#define INTERFACE_HOSTNAME_MAX 255

/* The login cookie lives this long after the last page that showed it,
 * and the daemon takes its token only while it is younger than this. */
#define INTERFACE_COOKIE_SECONDS 3600

/* A token's issue time may lie this far ahead of the clock (a clock set
 * back a little) and still count. */
#define INTERFACE_TOKEN_SKEW_SECONDS 60

/* The bytes of the secret key of the login tokens, drawn at start. */
#define INTERFACE_SECRET_BYTES 32

/* After this many failed logins from one client address within
 * INTERFACE_LOGIN_WINDOW_SECONDS, its attempts are not checked for
 * INTERFACE_LOGIN_LOCK_FIRST seconds; each failure after that doubles the
 * time, up to INTERFACE_LOGIN_LOCK_MAX. An address without a failure for
 * INTERFACE_LOGIN_FORGET_SECONDS starts afresh; a success clears it. At
 * most INTERFACE_LOGIN_ADDRESSES_MAX addresses are remembered. */
#define INTERFACE_LOGIN_FAILURES 5
#define INTERFACE_LOGIN_WINDOW_SECONDS 60
#define INTERFACE_LOGIN_LOCK_FIRST 1
#define INTERFACE_LOGIN_LOCK_MAX 300
#define INTERFACE_LOGIN_FORGET_SECONDS 900
#define INTERFACE_LOGIN_ADDRESSES_MAX 4096

/*
 * The arguments of one interface request (a query string or a form body):
 * argument name to value, names compared byte for byte. Reading a missing
 * name with operator[] yields, and inserts, an empty value. A plain value
 * owned by whoever declares it.
 */
class CGIMap : public std::map<std::string, std::string> {
public:
    CGIMap() = default;
    /* An empty map, then parse(arguments). */
    explicit CGIMap(const char *arguments);

    /*
     * Adds the "name=value" pieces of arguments (separated by "&"): the
     * name is the text before the piece's last "=", the value the text after
     * it, both URL-decoded; a piece without "=" is ignored, and a later
     * piece of the same name replaces the value. NULL or "" adds nothing.
     * The text is logged at LOG_DEBUG with the values of password-like
     * names (any name containing "pass", without case) replaced by "*".
     */
    void parse(const char *arguments);

    /* Set when a posted form was refused for its size: the page says that
     * nothing was applied. */
    bool refused = false;
    /* Set when a link that did not come from the interface asked for an
     * action (interface_link_arguments): the page says it was not applied. */
    bool unapplied = false;
};

/* One row of the dispatch table: a page path beginning with "/" and the
 * function that appends the page's HTML into the frame. */
struct interface_page_t {
    const char *path;
    void (*handler)(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
};

/* The pages of the interface, compared with the request's page path
 * without case; the table ends with a row whose path is NULL. */
extern const interface_page_t pages[];

/*
 * True when conn's request is for the web interface. The request pipeline
 * asks this for every request that is not a CONNECT, after the access
 * rules have set the connection's permissions and login pair, and then
 * hands a true request to interface_handle_request. A request is for the
 * interface when:
 * 1. it is in origin form, addressed to the proxy itself (no Host header,
 *    or a Host naming the proxy's host name or its listening address, with
 *    the listening port), and its path begins with "/" and the interface
 *    host name (without case): the interface inside the proxy's own site;
 * 2. it is in origin form with a Host header naming the interface host,
 *    with any port; it then becomes the absolute-form request a browser
 *    sends to a proxy: type HEADER_ABSOLUTE, host the interface host, port
 *    the Host's (80 without one), url rebuilt;
 * 3. it is in absolute form with the interface host as its host;
 * 4. it is in absolute form for one of the proxy's own listeners in any
 *    spelling (net_addresses_proxy) and its path is as in 1: the proxy's
 *    own site, reached as a proxy request, served with the permissions of
 *    the connection it came on and never sent out to come back.
 */
bool interface_request(CONNECTION_T *conn);

/* The same test with the request left as it is: an origin-form request
 * whose Host names the interface host is not rewritten. */
bool interface_request_test(const CONNECTION_T *conn);

/*
 * Serves an interface request completely: the pipeline calls it once
 * interface_request has answered true, and the request ends with it. It
 * sends a template file, the "noaccess" page (403), a redirect, or a page
 * of the interface frame (the login form, or the top menu and the page of
 * the path), with Cache-Control "no-store". A request body that is left
 * unread on the client socket makes it clear keepalive_client, so the body
 * is never taken for a next request.
 */
void interface_handle_request(CONNECTION_T *conn);

/* 1 when the request's Referer is a page of the interface itself: an
 * "http://" URL whose host and port are the interface host with the
 * request's port (80 by default), or the proxy's host name or listening
 * address with the listening port, followed by "/". Else 0, with the
 * refusal logged at LOG_SECURITY. */
int interface_check_referer(CONNECTION_T *conn);

/*
 * Whether the client may see the pages. True when the connection's login
 * pair is empty, when the request's first "login" cookie holds a valid
 * token of the pair (interface_login_token_valid; the cookie is renewed in
 * response with a token issued now), or when the arguments "username" and
 * "password" equal the pair and the client's address is not waiting after
 * failures (interface_login_attempt; a new cookie is set in response).
 * Otherwise the login form is appended to page and the result is false. The cookie is "login=<token>; path=/; expires=<an hour
 * ahead>; HttpOnly; SameSite=Strict".
 */
bool interface_login(CONNECTION_T *conn, CGIMap &args, HEADER *response, Filebuf *page);

/* Draws the secret key of the login tokens from the system's random
 * generator; once per process (later calls do nothing), at start. Tokens
 * made before a restart never match the new key. */
void interface_secret_init();

/* The login token of a pair issued at a time: "<issued>.<MAC>", the issue
 * time in decimal seconds and the HMAC-SHA-256, in lower-case hex, over
 * the time and the pair, keyed with the secret of interface_secret_init. */
std::string interface_login_token(const std::string &user, const std::string &password,
                                  time_t issued);

/* Whether token is one this process issued for the pair, now less than
 * INTERFACE_COOKIE_SECONDS old (and at most INTERFACE_TOKEN_SKEW_SECONDS
 * ahead). */
bool interface_login_token_valid(const std::string &token, const std::string &user,
                                 const std::string &password, time_t now);

/* What the guard against guessing made of a login attempt. */
enum interface_attempt_result {
    INTERFACE_ATTEMPT_ACCEPTED = 0,   /* the right pair: the address is cleared */
    INTERFACE_ATTEMPT_FAILED,         /* a wrong pair, counted */
    INTERFACE_ATTEMPT_LOCKED,         /* not checked: the address waits */
};

/* Books one login attempt from the client address ip at now_ms (the
 * monotonic clock): while the address waits, the attempt is not looked at
 * and nothing is counted; otherwise right says whether the pair matched.
 * *lock_seconds (may be NULL) receives the wait a failure starts, 0 when
 * it starts none. Thread-safe. */
interface_attempt_result interface_login_attempt(const std::string &ip, bool right, int64_t now_ms,
                                                 int *lock_seconds);

/* Forgets every address the guard remembers (tests). */
void interface_login_attempts_clear();

/* Sends page, built elsewhere, as a whole answer: status 200, Content-Type
 * "text/html", Cache-Control "no-store", the lines of interface_no_framing,
 * its Content-Length, then the body (none after HEAD); fills the log
 * entry's status, size and type. The page stays the caller's. */
void interface_send_response(CONNECTION_T *conn, Filebuf *page);

/* Adds to an answer of the interface the lines that keep every browser
 * from showing it inside a frame: "X-Frame-Options: DENY" and
 * "Content-Security-Policy: frame-ancestors 'none'". */
void interface_no_framing(HEADER *response);

/*
 * Sends a page that a URL command opens in place of the real answer: the
 * document head with title, the interface style sheet, content inside a
 * centred table, then interface_send_response. title and content are HTML
 * already: whatever came from the request is escaped by the caller. A page
 * that cannot be built is logged and the client connection closes.
 */
void interface_send_page(CONNECTION_T *conn, const std::string &title, const std::string &content);

/* Appends the interface style sheet (the template "interface.css", a
 * complete style element) to page. Returns 1, or 0 when no such template
 * exists. */
int interface_stylesheet(CONNECTION_T *conn, Filebuf *page);

/* Pages a URL command shows in place of the response. The start: HTML
 * 4.01 Transitional titled title (HTML already), the interface style
 * sheet, and an open centring table for the page's dialog tables. false
 * when the page could not grow. */
bool interface_command_page_start(CONNECTION_T *conn, Filebuf *page, const std::string &title);
/* Opens a two-column dialog table whose head row holds title (HTML
 * already); the caller adds rows and closes it with "</table>\n". */
bool interface_dialog_open(Filebuf *page, const std::string &title);
/* Appends a row of two cells, both texts HTML already. */
bool interface_dialog_row(Filebuf *page, const std::string &name, const std::string &value);
/* Appends a row of one centred cell spanning both columns (HTML already). */
bool interface_dialog_note(Filebuf *page, const std::string &text);
/* Closes the centring table and the page. */
bool interface_command_page_end(Filebuf *page);

/* -1 for an empty text, else the number at its start (0 for none), clamped
 * to the int range: a numeric form field where "absent" differs from 0. */
int xatoi(const std::string &value);

/* value with markup, quotes and control characters made safe for HTML text
 * and quoted attributes. */
std::string interface_html(const std::string &value);

/* The proxy's host name: the -H option when given, else the general
 * section's hostname; at most INTERFACE_HOSTNAME_MAX characters. */
std::string interface_proxy_host();

/* The most rows of a list that can grow with the data (the blacklist
 * search, the cache browser); the rest are counted in one last row. */
#define INTERFACE_LIST_ROWS_MAX 10000

/* The cache browser's upper size bound when none is given. */
#define INTERFACE_CACHE_MAX_SIZE 4294967295ULL

/* The configuration pages (interface_config.cpp). */

/* "/config": the section menu, the entry search and the section forms. */
void interface_page_config(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/load": loads "filename" ("overwrite" "yes": lists replaced). */
void interface_page_load(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/save": saves the configuration to "filename". */
void interface_page_save(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/log": the in-memory log through "pattern"; "clear" and "size". */
void interface_page_log(Filebuf *page, CGIMap &args, CONNECTION_T *conn);

/* Status pages. */

/* "/connections": the requests in progress (under threadlistlock), then
 * the idle client connections. */
void interface_page_connections(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/dnscache": host name, address and age of every DNS cache entry. */
void interface_page_dnscache(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/stats": the global statistics tree. */
void interface_page_stats(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/pool": the idle server connections. */
void interface_page_pool(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/headers": the lines of this request's header, as received
 * ("Unfiltered") and as the header rules kept and added them ("Filtered"),
 * with credentials shown as "[redacted]". */
void interface_page_headers(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/prefetch": the frame and menu only. */
void interface_page_prefetch(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/urlbl": the search form over the URL blacklist and its results. */
void interface_page_urlbl(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
/* "/cache": how full the caches are, and the search that lists or deletes
 * cached objects. */
void interface_page_cache(Filebuf *page, CGIMap &args, CONNECTION_T *conn);

/* A URL blacklist as the search reads it: category name to its listed
 * domains, each with its path prefixes (none: the domain is listed whole),
 * both in ascending byte order. */
using interface_blacklist_t = std::map<std::string, DomainList>;

/*
 * The body of "/urlbl" over blacklist: the form (one box per category,
 * eight to a row, all ticked on the first visit, else those whose argument
 * is not empty; "domain" and "file" prefilled) and, when "show" is "true",
 * one row per path of a ticked category's domain that the "domain" and
 * "file" expressions (without case; one that does not compile filters
 * nothing) match, "/" standing for a domain listed whole. At most
 * INTERFACE_LIST_ROWS_MAX rows, then "%d more not shown".
 */
void interface_urlbl_search(Filebuf *page, CGIMap &args, const interface_blacklist_t &blacklist);

/* The effective values of one date of the cache browser's form. */
struct INTERFACE_DATE {
    int month;    /* 0-11; 12 for a name that is no month */
    int day;
    int year;
    int hour;
    int minute;
    bool box;     /* its "Epoch time" or "Current time" box was "on" */
};

/*
 * Reads the date of the cache browser's fields prefix+"month", "day",
 * "year", "hour" and "minute" into *date: all from fallback when the box
 * argument is "on"; else each field that is absent, empty or not a whole
 * decimal int (a month: empty) from fallback. Returns the date (seconds 0)
 * converted by mktime under the local daylight-saving rule; a date mktime
 * cannot convert is replaced by fallback in *date and its conversion
 * returned.
 */
int64_t interface_cache_date(CGIMap &args, const char *prefix, const char *box,
                             const struct tm &fallback, INTERFACE_DATE *date);

/* A size field of the cache browser (a number with an optional unit k, m or
 * g): true with *size set, or false for an empty or refused text, leaving
 * *size alone. */
bool interface_cache_size(const std::string &text, uint64_t *size);
