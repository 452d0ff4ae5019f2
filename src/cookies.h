#pragma once

#include <ctime>
#include <list>
#include <string>
#include <utility>
#include <vector>

#include "configtypes.h"
#include "misc.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

/* Which way a cookie travels: set by a server in a response (incoming) or
 * sent by a client in a request (outgoing). */
enum cookie_direction {
    COOKIE_INCOMING = 0,
    COOKIE_OUTGOING = 1,
};

/*
 * The value of a Cookie or Set-Cookie line: its name=value pairs in order
 * and the attributes domain, path, expires and version. Parse reads a
 * received value for the cookie rules to judge; Build writes the proxy's own
 * cookies in one fixed form. Relayed cookie lines are never rebuilt: they
 * leave as received. A plain value, private to the thread that made it.
 */
class CookieHeader {
public:
    CookieHeader();
    /* The empty value, then Parse(value, warn). */
    explicit CookieHeader(const std::string &value, bool warn = false);

    /* Reads value: fields split at ';' (empty ones dropped), each without
     * leading blanks and '$'; fields without '=' or with an empty value are
     * dropped; version, domain, path and expires (any case) set the
     * attributes, a later one replacing an earlier; every other field is
     * appended to pairs. An expiry that no format reads is kept as a pair,
     * and with warn logged (escaped): the parse of a received response
     * warns, the parses that judge it each time it is written do not.
     * Resets version and has_expires first. */
    void Parse(const std::string &value, bool warn = false);

    /* "n=v; n2=v2" followed by "; domain=", "; path=", "; expires=" and
     * "; version=" when present (version when not 0); "" without pairs. A
     * pair or attribute holding a control character is left out, so the
     * result is always one safe header value. */
    std::string Build() const;

    bool has_expires;                                       /* expires is set */
    int version;                                            /* 0 when absent */
    std::vector<std::pair<std::string, std::string>> pairs; /* in the order met */
    std::string domain;                                     /* empty when absent */
    std::string path;                                       /* empty when absent */
    struct tm expires;           /* as written, no zone conversion; with has_expires */
};

/*
 * One cookie rule, copied out of an entry of the list allow or deny. The
 * window components that are active bound the cookie's expiry; domain and
 * path are expressions on the attributes of incoming cookies. Owns its
 * compiled expressions; a copy compiles its own.
 */
struct Cookie {
    /* A rule from an entry. An expression that does not compile (the entry
     * check refuses such entries, so only a bug gets here) makes the rule
     * refused: it never matches. */
    explicit Cookie(const Item &item);
    Cookie(const Cookie &other);
    Cookie &operator=(const Cookie &) = delete;
    ~Cookie();

    /* Whether the expiry window has an active component. */
    bool has_window() const;

    int enabled = 1;
    std::string comment;
    StringList profiles;
    tm_partial window_start = {};   /* the active components' first values */
    tm_partial window_end = {};     /* and last values */
    std::string domain;
    std::string path;
    int direction = 0;              /* 0 incoming, 1 outgoing, 2 both */
    int recurring = 0;
    regex_posix_t *domain_regex = nullptr;   /* NULL for an empty domain */
    regex_posix_t *path_regex = nullptr;     /* NULL for an empty path */
    bool refused = false;

private:
    void compile();
};

/* The direction option of a rule that judges both ways. */
#define COOKIE_BOTH 2

/* The cookie rules: which cookie lines pass (section "cookies-filtering"),
 * as two lists. */
class CookieSection : public Section {
public:
    CookieSection();

    /* Rebuilds both lists from their entries, enabled or not. Called with
     * the write lock held. */
    void update() override;

    /* A non-empty domain or path must compile as a regular expression
     * (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /* Judges one cookie line of a header being written: direction is a
     * cookie_direction. Returns 1 when the line may pass, 0 when it is to
     * be left out. Takes the read lock. */
    int check(int direction, CONNECTION_T *conn, CookieHeader &cookie);

private:
    std::list<Cookie> allow;
    std::list<Cookie> deny;
    const int *enabled;           /* the global field enabled */
    const int *allowfirst;        /* the global field allow-first */
};

/* The one instance, created by sections_create. */
extern CookieSection *cookie_section;

/* The judge header serialisation asks for every cookie line: the cookie
 * section's check, or 1 (pass) while there is no section. conn may be
 * NULL. */
int cookie_check(int direction, CONNECTION_T *conn, CookieHeader &cookie);

/* Sends the page of the URL command "cookies": the cookies the request
 * sent and those the response (conn->rheader) sets, every text escaped. */
void interface_cookies_show(CONNECTION_T *conn);

/* Registers the cookie rules' line judge and response watcher with the
 * header model; the section's constructor does it. */
void cookie_header_hooks_register();
