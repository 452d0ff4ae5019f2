#pragma once

#include <ctime>
#include <string>
#include <utility>
#include <vector>

#include "section.h"

struct CONNECTION_T;

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

/* The cookie rules: which cookie lines pass (section "cookies-filtering"). */
class CookieSection : public Section {
public:
    CookieSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;

    /* Judges one cookie line of a header being written: direction is a
     * cookie_direction. Returns 1 when the line may pass, 0 when it is to
     * be left out. */
    int check(int direction, CONNECTION_T *conn, CookieHeader &cookie);
};

/* The one instance, created by sections_create. */
extern CookieSection *cookie_section;

/* The judge header serialisation asks for every cookie line: the cookie
 * section's check, or 1 (pass) while there is no section. conn may be
 * NULL. */
int cookie_check(int direction, CONNECTION_T *conn, CookieHeader &cookie);
