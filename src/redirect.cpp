/*
 * Redirect rules. Each rule matches a URL with a regular expression and
 * builds a new one from a replacement: the URL of a request, which is then
 * fetched in its place or sent back to the client as a 302, or the Location
 * of a server's redirect. The first rule whose pattern matches decides.
 *
 * URLs are handled whole up to HEADER_TARGET_MAX: a longer subject is not
 * matched and a longer result not applied, since a cut URL names another
 * object. Bytes below 0x21 and DEL in a new URL are percent-encoded, so a
 * sub-match or a decoded path can never split a Location or request line.
 * The section lock is held only to match and build; the 302 is sent after
 * it is released.
 */
#include "redirect.h"

#include <strings.h>

#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "connection.h"
#include "header.h"
#include "header_io.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "profiles.h"
#include "regexp.h"
#include "urlcommand.h"

/* The options, by position. */
static const FieldDecl redirect_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl redirect_rule_fields[] = {
    {  0, "enabled",         FIELD_BOOL },
    {  1, "comment",         FIELD_STRING },
    {  2, "profiles",        FIELD_STRING_LIST },
    {  3, "pattern",         FIELD_STRING },
    {  4, "replacement",     FIELD_STRING },
    {  5, "port",            FIELD_INT },
    {  6, "client-redirect", FIELD_BOOL },
    {  7, "options",         FIELD_STRING_SELECT_MANY },
    {  8, "scope",           FIELD_STRING_SELECT_ONE },
};

RedirectSection *redirect_section = nullptr;

using TextPtr = std::unique_ptr<char, void (*)(void *)>;

Redirect::Redirect(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    pattern = f[3].text;
    replacement = f[4].text;
    port = f[5].value;
    client_redirect = f[6].value;
    options = (unsigned)f[7].value;
    scope = f[8].value;
    compile();
}

Redirect::Redirect(const Redirect &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      pattern(other.pattern), replacement(other.replacement), port(other.port),
      client_redirect(other.client_redirect), options(other.options), scope(other.scope)
{
    compile();
}

Redirect::~Redirect()
{
    reg_sub_free(regex);
}

/* Caseless, multiline, dot-all and extended; an empty pattern, or one that
 * does not compile (logged), leaves the rule without one. */
void Redirect::compile()
{
    regex = pattern.empty() ? nullptr : reg_sub_compile(pattern.c_str(), REG_SUB_ALL);
}

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK)
{
    fields_require(redirect_global_fields);
    list_require(0, "rule", redirect_rule_fields, std::size(redirect_rule_fields));
    /* The global vector never changes size, so this stays valid. */
    enabled = &fields[0].value;
}

void RedirectSection::update()
{
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

std::string redirect_path_code(const std::string &url, unsigned options)
{
    if (!(options & (REDIRECT_ENCODE | REDIRECT_DECODE)))
        return url;
    size_t scheme = url.find("://");
    size_t slash = url.find('/', scheme == std::string::npos ? 0 : scheme + 3);
    if (slash == std::string::npos)
        return url;
    const char *path = url.c_str() + slash + 1;
    size_t n = url.size() - slash - 1;
    TextPtr coded((options & REDIRECT_ENCODE) ? url_encode(path, n) : url_decode(path, n), free);
    return url.substr(0, slash + 1) + coded.get();
}

std::string redirect_url_escape(const std::string &url)
{
    return url_escape_unsafe(url, false);
}

std::string redirect_location(const std::string &url, const char *scheme,
                              const std::string &prefix)
{
    if (prefix.empty() || url.empty() || url[0] == '/')
        return url;
    size_t sep = url.find("://");
    if (sep == std::string::npos)
        return prefix + url;
    /* Commands do not follow a change of scheme. */
    if (!scheme || strlen(scheme) != sep || strncasecmp(url.c_str(), scheme, sep) != 0)
        return url;
    return url.substr(0, sep + 3) + prefix + url.substr(sep + 3);
}

/* The subject of the rules in mode: the Location, the request's URL
 * without its port, or the path of a request without a host. */
static std::string redirect_subject(const CONNECTION_T *conn, int mode)
{
    if (mode == REDIRECT_LOCATION)
        return conn->rheader && conn->rheader->location ? conn->rheader->location : "";
    const HEADER *h = conn->header;
    const char *path = h->path ? h->path : "";
    if (!h->host)
        return path;
    return std::string(h->protocol ? h->protocol : "") + "://" + h->host + path;
}

/* Whether a rule of scope applies in mode. */
static bool redirect_scope_fits(int scope, int mode)
{
    if (scope == REDIRECT_SCOPE_BOTH)
        return true;
    return mode == REDIRECT_REQUEST ? scope == REDIRECT_SCOPE_REQUEST
                                    : scope == REDIRECT_SCOPE_LOCATION;
}

/* A URL from a client or server for a log line, whole up to the longest
 * URL handled. */
static std::string redirect_log_text(const std::string &text)
{
    return log_text(text, HEADER_TARGET_MAX);
}

/* Sends the client redirect to location; the request ends. */
static void redirect_send(CONNECTION_T *conn, const std::string &location)
{
    std::unique_ptr<HEADER, void (*)(HEADER *)> response(header_new(), http_header_free);
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->status = 302;
    response->content_length = 0;
    response->flags |= HEADER_HAS_LENGTH;
    header_field_set(&response->location, location.c_str());
    /* A streamed body is still unread: it would be taken for the next
     * request. */
    if (conn->flags & CONN_DIRECT_POST)
        conn->keepalive_client = 0;
    conn->logentry.status = 302;
    conn->logentry.size = 0;
    if (header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
}

/* The port a scheme's URLs default to; 0 for one the proxy does not
 * fetch. */
static int redirect_scheme_port(const std::string &scheme)
{
    if (strcasecmp(scheme.c_str(), "https") == 0)
        return 443;
    return protocol_port(scheme.c_str());
}

/* Rewrites the request to url in place. Returns false, with the request
 * unchanged, for a URL that cannot be fetched: a scheme the proxy does not
 * fetch, or a host or port that does not parse. */
static bool redirect_rewrite(CONNECTION_T *conn, const std::string &subject, const std::string &url,
                             int rule_port)
{
    HEADER *h = conn->header;
    std::string scheme;
    std::string rest = url;
    size_t sep = url.find("://");
    if (sep != std::string::npos) {
        scheme = url.substr(0, sep);
        rest = url.substr(sep + 3);
        if (redirect_scheme_port(scheme) == 0)
            return false;
    }
    bool same_scheme = scheme.empty() || (h->protocol && strcasecmp(scheme.c_str(), h->protocol) == 0);

    size_t slash = rest.find('/');
    std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
    char *host = nullptr;
    int port = h->port;
    bool explicit_port = false;
    bool host_given = !(url[0] == '/' && slash != std::string::npos);
    if (host_given) {
        std::string authority = rest.substr(0, slash);
        if (header_hostport_parse(authority.c_str(), authority.size(), &host, &port,
                                  &explicit_port) != HEADER_OK) {
            free(host);
            return false;
        }
        /* Another scheme without a port of its own takes its default. */
        if (!explicit_port && !same_scheme) {
            port = redirect_scheme_port(scheme);
            h->flags |= HEADER_DEFAULT_PORT;
        }
    }

    if (!scheme.empty()) {
        bool https = strcasecmp(scheme.c_str(), "https") == 0;
        /* https is fetched as the "https" command fetches: an http request
         * over TLS. */
        header_field_set(&h->protocol, strcasecmp(scheme.c_str(), "ftp") == 0 ? "ftp" : "http");
        if (https)
            conn->flags |= CONN_HTTPS | CONN_SSL;
    }
    if (host_given) {
        free(h->host);
        h->host = host;
    }
    header_field_set(&h->path, path.c_str());
    if (explicit_port)
        h->flags &= ~HEADER_DEFAULT_PORT;
    h->port = port;
    if (rule_port != -1) {
        h->port = rule_port;
        h->flags &= ~HEADER_DEFAULT_PORT;
    }
    conn->flags |= CONN_REDIRECTED;

    if (h->host) {
        h->type = HEADER_ABSOLUTE;
        /* The full URL names the object fetched: for an upstream proxy,
         * the cache key and the logs. */
        header_complete(h);
        putlog(LOG_REDIRECT, "request for %s to %s://%s%s", redirect_log_text(subject).c_str(),
               redirect_log_text(scheme.empty() ? h->protocol : scheme).c_str(),
               redirect_log_text(h->host).c_str(), redirect_log_text(h->path).c_str());
    } else {
        putlog(LOG_REDIRECT, "request for %s to %s", redirect_log_text(subject).c_str(),
               redirect_log_text(h->path).c_str());
    }
    return true;
}

int RedirectSection::redirect_do(CONNECTION_T *conn, int mode)
{
    if (mode == REDIRECT_REQUEST && (!conn->header || (conn->flags & CONN_REDIRECTED)))
        return 0;
    if (mode == REDIRECT_LOCATION && (!conn->rheader || !conn->rheader->location))
        return 0;
    std::string subject = redirect_subject(conn, mode);
    if (subject.size() > HEADER_TARGET_MAX)
        return 0;   /* matched whole or not at all */

    /* The match and the new URL, under the lock; acting on them after. */
    TextPtr built(nullptr, free);
    bool matched = false;
    bool client_redirect = false;
    int rule_port = -1;
    unsigned options = 0;
    {
        SectionReadGuard guard(*this);
        if ((conn->bypass & BYPASS_REDIRECT) || !*enabled)
            return 0;
        TextPtr decoded(nullptr, free);
        for (const Redirect &rule : rules) {
            if (!rule.enabled || !rule.regex || !redirect_scope_fits(rule.scope, mode) ||
                profile_find(conn->profiles, rule.profiles) != 1)
                continue;
            const char *text = subject.c_str();
            if (rule.options & REDIRECT_MATCH_DECODED) {
                if (!decoded)
                    decoded.reset(url_decode(subject.c_str(), subject.size()));
                text = decoded.get();
            }
            std::unique_ptr<regmatch_sub_t, void (*)(regmatch_sub_t *)> match(
                reg_sub_exec(rule.regex, text), reg_sub_match_free);
            if (!match)
                continue;
            matched = true;
            built.reset(reg_sub_parse(match.get(), rule.replacement.c_str(), conn->variables,
                                      HEADER_TARGET_MAX));
            client_redirect = rule.client_redirect != 0;
            rule_port = rule.port;
            options = rule.options;
            break;
        }
    }
    if (!matched)
        return 0;

    std::string url;
    if (built)
        url = redirect_url_escape(redirect_path_code(built.get(), options));
    if (!built || url.empty() || url.size() > HEADER_TARGET_MAX) {
        putlog(LOG_REDIRECT, "new URL for %s is empty or over %d bytes, not applied",
               redirect_log_text(subject).c_str(), HEADER_TARGET_MAX);
        return 0;
    }

    if (mode == REDIRECT_LOCATION) {
        putlog(LOG_REDIRECT, "302 redirect for %s to %s", redirect_log_text(subject).c_str(),
               redirect_log_text(url).c_str());
        header_field_set(&conn->rheader->location, url.c_str());
        return 0;
    }

    if (client_redirect) {
        putlog(LOG_REDIRECT, "sent 302 redirect for request for %s to %s",
               redirect_log_text(subject).c_str(), redirect_log_text(url).c_str());
        std::string location = url;
        if (conn->urlcommands && conn->urlcommands[0]) {
            TextPtr rendered(url_command_create(conn->urlcommands), free);
            location = redirect_location(url, conn->header->protocol,
                                         redirect_url_escape(rendered.get()));
            if (location.size() > HEADER_TARGET_MAX)
                location = url;   /* the target without the commands is still right */
        }
        redirect_send(conn, location);
        return 1;
    }

    if (!redirect_rewrite(conn, subject, url, rule_port))
        putlog(LOG_REDIRECT, "request for %s: %s cannot be fetched, request unchanged",
               redirect_log_text(subject).c_str(), redirect_log_text(url).c_str());
    return 0;
}
