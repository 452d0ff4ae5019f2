#pragma once

#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

struct CONNECTION_T;
struct regex_sub_t;

/* The modes of RedirectSection::redirect_do. */
enum redirect_mode {
    REDIRECT_REQUEST = 0,    /* the request's URL */
    REDIRECT_LOCATION = 1,   /* the Location of a server's 301 or 302 */
};

/* The options of a rule. */
enum {
    REDIRECT_ENCODE = 0x1,          /* URL-encode the path of the result */
    REDIRECT_MATCH_DECODED = 0x2,   /* match the URL-decoded URL */
    REDIRECT_DECODE = 0x4,          /* URL-decode the path of the result */
};

/* The scope of a rule (option index). */
enum {
    REDIRECT_SCOPE_LOCATION = 0,
    REDIRECT_SCOPE_REQUEST = 1,
    REDIRECT_SCOPE_BOTH = 2,
};

/* One redirect rule, copied out of an entry of the list rule. Owns its
 * compiled pattern; a copy compiles its own. */
struct Redirect {
    explicit Redirect(const Item &item);
    Redirect(const Redirect &other);
    Redirect &operator=(const Redirect &) = delete;
    ~Redirect();

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string pattern;
    std::string replacement;
    int port = -1;             /* -1: keep the request's port */
    int client_redirect = 0;
    unsigned options = 0;      /* REDIRECT_ENCODE and the others */
    int scope = REDIRECT_SCOPE_REQUEST;
    regex_sub_t *regex = nullptr;   /* NULL: empty or invalid pattern, never applies */

private:
    void compile();
};

/* The redirect rules: rewrite request URLs and redirect locations (section
 * "redirect"). The first rule whose pattern matches decides. */
class RedirectSection : public Section {
public:
    RedirectSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;

    /*
     * Applies the first matching rule in mode (redirect_mode). Request
     * mode rewrites the request in place (once per request: a rewritten
     * request is not matched again), or answers the client with a 302 for
     * a client-redirect rule; location mode replaces the Location of the
     * response header. Returns 1 only when the 302 was sent (the caller
     * ends the request), else 0. Nothing is written to the client while
     * the section lock is held.
     */
    int redirect_do(CONNECTION_T *conn, int mode);

private:
    const int *enabled;
    std::vector<Redirect> rules;
};

/* The one instance, created by sections_create. */
extern RedirectSection *redirect_section;

/* The path coding of a new URL: the text after the first "/" following
 * "://" (or the first "/" without "://") URL-encoded with REDIRECT_ENCODE,
 * else URL-decoded with REDIRECT_DECODE; unchanged otherwise. */
std::string redirect_path_code(const std::string &url, unsigned options);

/* url with every byte below 0x21 and 0x7F percent-encoded, so that it can
 * split no header or request line. */
std::string redirect_url_escape(const std::string &url);

/* The Location of a client redirect to url for a request of scheme that
 * carries the rendered command prefix: url itself when prefix is empty,
 * url begins with "/", or url names another scheme; else the prefix put
 * after "://", or before the whole url when it has none. */
std::string redirect_location(const std::string &url, const char *scheme,
                              const std::string &prefix);
