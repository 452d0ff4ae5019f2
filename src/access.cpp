/*
 * Access rules. A client is accepted or refused by allow and deny rules that
 * look at the local end of its connection, its address (or the address its
 * own proxy reports in X-Forwarded-For) and, where a rule asks for it, the
 * user name and password it sent with HTTP Basic authentication, compared
 * with the rule or verified through PAM with a cache of results. The rule
 * that accepts it grants the request its permissions, bypass bits, first
 * profiles, web-interface login and statistics tree.
 *
 * Everything here runs on the request path and takes untrusted input:
 * credentials and X-Forwarded-For values that do not parse simply match
 * nothing, nothing here throws, user names are escaped before they reach a
 * log line, and no password is ever logged, shown or counted. A user name
 * becomes the connection's user only once a rule has verified it; every
 * other path keeps the anonymous form.
 */
#include "access.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>

#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "hooks.h"
#include "log.h"
#include "mem.h"
#include "options.h"
#include "password_cache.h"
#include "profiles.h"
#include "regexp.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

static const char *access_ip(const CONNECTION_T *conn);
static std::string access_clean(const char *text, size_t max);
static void access_user_set(CONNECTION_T *conn, const char *name);
static bool access_address_parse(const char *text, uint32_t *value);
static long access_port_value(const std::string &text);
static bool access_rule_match(const Access &rule, const CONNECTION_T *conn, const char *user,
                              const char *password);
static bool access_credentials_parse(const char *value, std::string *user, std::string *password);
static bool access_body_unread(const CONNECTION_T *conn);
static std::string access_realm();
static void access_challenge(CONNECTION_T *conn, const std::string &realm);
static void access_refuse(CONNECTION_T *conn);

/* The options, by position. */
static const FieldDecl access_global_fields[] = {
    {  0, "allow-first", FIELD_BOOL },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl access_rule_fields[] = {
    {  0, "enabled",            FIELD_BOOL },
    {  1, "comment",            FIELD_STRING },
    {  2, "log",                FIELD_BOOL },
    {  3, "profiles",           FIELD_STRING_LIST },
    {  4, "interfaces",         FIELD_STRING_LIST },
    {  5, "addresses",          FIELD_IP_RANGE_LIST },
    {  6, "pam",                FIELD_BOOL },
    {  7, "username",           FIELD_STRING },
    {  8, "password",           FIELD_STRING },
    {  9, "permissions",        FIELD_STRING_SELECT_MANY },
    { 10, "bypass",             FIELD_STRING_SELECT_MANY },
    { 11, "interface-username", FIELD_STRING },
    { 12, "interface-password", FIELD_STRING },
    { 13, "add-profiles",       FIELD_STRING_LIST },
};

AccessSection *access_section = nullptr;

/* ---- helpers ---- */

/* The client address for log lines; "" before the accept set it. */
static const char *access_ip(const CONNECTION_T *conn)
{
    return conn->ip ? conn->ip : "";
}

/* At most max bytes of text with control bytes (and DEL) percent-encoded,
 * so the result can go into a header value, a log record or a page
 * variable. */
static std::string access_clean(const char *text, size_t max)
{
    std::string out;
    for (const unsigned char *p = (const unsigned char *)text; *p && out.size() < max; p++) {
        if (*p < 0x20 || *p == 0x7f) {
            char hex[4];
            snprintf(hex, sizeof hex, "%%%02X", *p);
            if (out.size() + 3 > max)
                break;
            out += hex;
        } else {
            out += (char)*p;
        }
    }
    return out;
}

/* Replaces the connection's user with "name@address", the address being
 * the X-Forwarded-For value when the request has one, else the client's;
 * at most ACCESS_USER_MAX characters. */
static void access_user_set(CONNECTION_T *conn, const char *name)
{
    const char *xff = conn->header ? conn->header->x_forwarded_for : nullptr;
    const char *address = xff && *xff ? xff : access_ip(conn);
    std::string user = access_clean(name, ACCESS_USER_MAX);
    user += '@';
    if (user.size() < ACCESS_USER_MAX)
        user += access_clean(address, ACCESS_USER_MAX - user.size());
    char *copy = xstrdup(user.c_str());
    if (!copy)
        FATAL_ALLOC(user.size() + 1);
    free(conn->user);
    conn->user = copy;
}

/* Reads exactly one dotted IPv4 address (blanks around it allowed) into
 * *value. false for anything else: a list, a name, a part over 255. */
static bool access_address_parse(const char *text, uint32_t *value)
{
    const char *p = text;
    while (*p == ' ' || *p == '\t')
        p++;
    uint32_t v = 0;
    for (int part = 0; part < 4; part++) {
        if (part > 0) {
            if (*p != '.')
                return false;
            p++;
        }
        int digits = 0;
        unsigned octet = 0;
        while (isdigit((unsigned char)*p) && digits < 4) {
            octet = octet * 10 + (unsigned)(*p - '0');
            p++;
            digits++;
        }
        if (digits == 0 || digits > 3 || octet > 255)
            return false;
        v = (v << 8) | octet;
    }
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p != '\0')
        return false;
    *value = v;
    return true;
}

bool access_address_match(const IpRangeList &list, const char *address)
{
    if (list.ranges.empty())
        return true;
    uint32_t v = 0;
    if (!address || !access_address_parse(address, &v))
        return false;
    for (const IpRange &range : list.ranges)
        if (range.low <= v && v <= range.high)
            return true;
    return false;
}

/* The port number at the start of text, read as atoi reads it (blanks,
 * sign, digits, anything after ignored), clamped to the long range. */
static long access_port_value(const std::string &text)
{
    errno = 0;
    long v = strtol(text.c_str(), nullptr, 10);
    return errno == ERANGE ? LONG_MIN : v;
}

bool access_interface_match(const StringList &patterns, const char *address, int port)
{
    if (patterns.empty())
        return true;
    for (const std::string &raw : patterns) {
        size_t start = raw.find_first_not_of(" \t");
        if (start == std::string::npos)
            continue;
        std::string pattern = raw.substr(start, raw.find_last_not_of(" \t") - start + 1);
        if (pattern == "*:*")
            return true;
        size_t colon = pattern.find(':');
        if (colon == std::string::npos)
            continue;
        std::string host = pattern.substr(0, colon);
        std::string port_part = pattern.substr(colon + 1);
        bool port_fits = (!port_part.empty() && port_part[0] == '*') ||
                         access_port_value(port_part) == (long)port;
        bool host_fits = host.size() <= 15 && (host == "*" || (address && host == address));
        if (port_fits && host_fits)
            return true;
    }
    return false;
}

/* ---- Access ---- */

Access::Access()
{
    permissions = 0xFFFFFFFFu;   /* every bit, also those no check tests */
    stats = userstats_init();
}

Access::Access(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    log = f[2].value;
    profiles = f[3].list;
    interfaces = f[4].list;
    addresses = f[5].ipranges;
    pam = f[6].value;
    username = f[7].text;
    password = f[8].text;
    permissions = (unsigned)f[9].value;
    bypass = (unsigned)f[10].value;
    interface_username = f[11].text;
    interface_password = f[12].text;
    add_profiles = StringList(f[13].text, ',');
    compile();
    stats = userstats_init();
}

Access::Access(const Access &other)
    : enabled(other.enabled), comment(other.comment), log(other.log), profiles(other.profiles),
      interfaces(other.interfaces), addresses(other.addresses), pam(other.pam),
      username(other.username), password(other.password), permissions(other.permissions),
      bypass(other.bypass), interface_username(other.interface_username),
      interface_password(other.interface_password), add_profiles(other.add_profiles),
      deny(other.deny)
{
    compile();
    stats = other.stats ? static_cast<Stats *>(other.stats->New()) : nullptr;
}

Access::~Access()
{
    if (username_regex)
        reg_free(username_regex);
    stats_release(stats);
}

/* Only a pam rule reads its user name as an expression; the others compare
 * it exactly, so their names are not compiled at all. */
void Access::compile()
{
    if (!pam || username.empty())
        return;
    username_regex = reg_compile(username.c_str(), REG_COMPILE_ICASE);
    refused = username_regex == nullptr;
}

/* Whether rule accepts the connection with the credentials sent (NULL:
 * none). A request without credentials fits every rule whose other
 * conditions hold; setup then decides whether the rule wants them. */
static bool access_rule_match(const Access &rule, const CONNECTION_T *conn, const char *user,
                              const char *password)
{
    if (!rule.enabled || rule.refused)
        return false;
    if (!access_interface_match(rule.interfaces, conn->interface, conn->port))
        return false;
    if (!rule.addresses.ranges.empty()) {
        /* X-Forwarded-For is whatever the client wrote. An allow rule asks
         * for the connecting address: the header only counts where that
         * address is itself listed (a downstream proxy), which the
         * connecting address already satisfies. A deny rule refuses when
         * either address is listed. */
        bool connecting = access_address_match(rule.addresses, conn->ip);
        if (rule.deny) {
            const char *xff = conn->header ? conn->header->x_forwarded_for : nullptr;
            if (!connecting && !(xff && access_address_match(rule.addresses, xff)))
                return false;
        } else if (!connecting) {
            return false;
        }
    }
    if (rule.pam)
        return !rule.username_regex || !user || reg_exec(rule.username_regex, user) == 0;
    if (rule.username.empty()) {
        /* An allow rule without a user name is for clients that send no
         * credentials. A deny rule without one refuses its clients whatever
         * they send: otherwise any made-up Proxy-Authorization would slip
         * past it. */
        if (user && !rule.deny)
            return false;
    } else if (user && rule.username != user) {
        return false;
    }
    return rule.password.empty() || !password || rule.password == password;
}

/* ---- AccessSection ---- */

AccessSection::AccessSection() : Section("access", SECTION_RWLOCK)
{
    fields_require(access_global_fields);
    list_require(0, "allow", access_rule_fields, std::size(access_rule_fields));
    list_require(1, "deny", access_rule_fields, std::size(access_rule_fields));
    allowfirst = &fields[0].value;   /* the global vector never changes size */
    processors.Add(access_auth, PROCESSOR_AUTH);
}

int AccessSection::item_check(const Item &item, std::string *nature)
{
    const std::string &name = item.fields[7].text;
    if (!item.fields[6].value || name.empty())
        return -1;
    regex_posix_t *regex = reg_compile(name.c_str(), REG_COMPILE_ICASE);
    if (regex) {
        reg_free(regex);
        return -1;
    }
    *nature = "a valid regular expression";
    return 7;
}

void AccessSection::update()
{
    allow.clear();
    deny.clear();
    for (const Item &item : subsections[0].items)
        allow.emplace_back(item);
    for (const Item &item : subsections[1].items) {
        deny.emplace_back(item);
        deny.back().deny = true;
    }

    /* The web interface asks for no login when either half of the pair is
     * empty: say so, so that an open administration page is never a
     * surprise. */
    for (const Access &rule : allow) {
        if (rule.enabled && !rule.refused && (rule.permissions & ACCESS_INTERFACE) &&
            (rule.interface_username.empty() || rule.interface_password.empty()))
            putlog(LOG_ADVICE,
                   "access: allow rule \"%s\" grants the web interface without a login; set its "
                   "interface-username and interface-password",
                   rule.comment.c_str());
    }
    if (!*allowfirst)
        putlog(LOG_ADVICE,
               "access: allow-first is off, so a client that no deny rule matches gets every "
               "permission, the web interface included, without a login");
}

const Access *AccessSection::check(const CONNECTION_T *conn, const char *user,
                                   const char *password) const
{
    AllowDenyResult<Access> result = allowdeny_evaluate(
        allow, deny, *allowfirst != 0,
        [&](const Access &rule) { return access_rule_match(rule, conn, user, password); });
    if (result.outcome == ALLOWDENY_REFUSED)
        return nullptr;
    return result.rule ? result.rule : &builtin;
}

void AccessSection::setup(CONNECTION_T *conn, const Access *rule)
{
    if (rule->pam || (!rule->username.empty() && !rule->password.empty()))
        conn->auth_flags |= AUTH_REQUIRED;
    else
        access_user_set(conn, "anonymous");

    conn->profiles.clear();
    for (const std::string &name : rule->add_profiles) {
        if (conn->profiles.has(name))
            continue;
        conn->profiles.push_back(name);
        if (rule->log == 1)
            conn->profiles.show_p("Added", name);
    }

    conn->bypass |= rule->bypass;
    conn->permissions = rule->permissions;
    conn->interface_user = rule->interface_username;
    conn->interface_password = rule->interface_password;

    /* The new reference is taken before the old one goes, so a connection
     * that stays with the same rule never sees its tree at zero. */
    Stats *previous = conn->userstats;
    conn->userstats = rule->stats ? static_cast<Stats *>(rule->stats->New()) : nullptr;
    stats_release(previous);
}

bool AccessSection::check_and_setup(CONNECTION_T *conn, const char *user, const char *password)
{
    bool verified = false;
    {
        SectionReadGuard guard(*this);
        const Access *rule = check(conn, user, password);

        if (rule && rule->pam) {
            size_t user_length = strlen(user), password_length = strlen(password);
            if (user_length == 0 || password_length == 0 || user_length > ACCESS_CREDENTIAL_MAX ||
                password_length > ACCESS_CREDENTIAL_MAX) {
                conn->auth_flags |= AUTH_REQUIRED;
                putlog(LOG_WARNING,
                       "security: [IP:%s] authentication failed either username or password is "
                       "more than 510 characters",
                       access_ip(conn));
                return false;
            }
            std::string key = std::string(user) + ":" + password;
            int cached = authflag ? 0 : check_password_cache(key.c_str());
            if (cached == PASSWORD_CACHE_ACCEPTED) {
                update_password_cache(key.c_str(), PASSWORD_CACHE_ACCEPTED);
            } else if (cached == PASSWORD_CACHE_REFUSED) {
                conn->auth_flags |= AUTH_REQUIRED;
                putlog(LOG_WARNING, "security: authentication failed for %s@%s by cache",
                       log_text(user, ACCESS_CREDENTIAL_MAX).c_str(), access_ip(conn));
                return false;
            } else {
                int rc = auth_pam(user, password);
                if (rc != 0) {
                    display_pam_msg(rc, key.c_str());
                    /* Never the password: the line reaches the log file and
                     * the web interface's log page. */
                    putlog(LOG_SECURITY, "PAM authentication failed for %s@%s",
                           log_text(user, ACCESS_CREDENTIAL_MAX).c_str(), access_ip(conn));
                    conn->auth_flags |= AUTH_REQUIRED;
                    return false;
                }
                putlog(LOG_SECURITY, "[IP:%s] PAM: authentication succeeded for %s", access_ip(conn),
                       log_text(user, ACCESS_CREDENTIAL_MAX).c_str());
                update_password_cache(key.c_str(), PASSWORD_CACHE_ACCEPTED);
            }
            verified = true;
        } else if (rule && rule != &builtin) {
            /* Not pam and credentials sent: the rule's user name equals the
             * one sent, and so does its password when it has one. */
            putlog(LOG_DEBUG, "security: [IP:%s] authentication succeeded for %s", access_ip(conn),
                   log_text(user, ACCESS_CREDENTIAL_MAX).c_str());
            verified = true;
        }

        if (rule) {
            /* The built-in rule accepts without looking at credentials, so it
             * verifies no name: setup leaves the anonymous user. */
            setup(conn, rule);
            bypass_check(conn);
            if (profile_section && conn->header)
                profile_section->profiles_update(conn);
            conn->auth_flags &= ~AUTH_REQUIRED;
        } else if (conn->header && conn->header->proxy_authorization) {
            /* Credentials no rule accepts may be meant for a proxy further on:
             * the client is taken as if it had sent none, and its name stays
             * unrecorded. */
            if (const Access *anonymous = check(conn, nullptr, nullptr))
                setup(conn, anonymous);
        } else {
            conn->auth_flags |= AUTH_REQUIRED;
            putlog(LOG_WARNING, "security: authentication failed for %s@%s",
                   log_text(user, ACCESS_CREDENTIAL_MAX).c_str(), access_ip(conn));
        }
    }
    if (verified)
        access_user_set(conn, user);
    return verified;
}

bool AccessSection::check_and_setup(CONNECTION_T *conn)
{
    {
        SectionReadGuard guard(*this);
        if (const Access *rule = check(conn, nullptr, nullptr)) {
            setup(conn, rule);
            return true;
        }
    }
    putlog(LOG_SECURITY, "[IP:%s] access policy has refused connection on port %d", access_ip(conn),
           conn->port);
    /* The records are written once the refusal is answered, with the
     * status and size of the page the client gets. */
    conn->logentry.set_cachecode(CC_TCP_DENIED);
    conn->logentry.filter_name = "access-section";
    conn->logentry.filtering_reason = "access policy restrictions";
    return false;
}

void AccessSection::display_pam_msg(int code, const char *key)
{
    pam_msg_display(code, key);
}

/* ---- the request callback ---- */

/* Splits Basic credentials: the Base64 text after the first blank of value,
 * decoded, cut at its first colon, so that a password may hold colons.
 * false when there is no blank, the text does not decode, the decoded bytes
 * hold a NUL, or user name or password would be empty. */
static bool access_credentials_parse(const char *value, std::string *user, std::string *password)
{
    const char *blank = strchr(value, ' ');
    if (!blank)
        return false;
    const char *text = blank + 1;
    int64_t room = base64_decoded_max((int64_t)strlen(text)) + 1;
    std::vector<char> decoded((size_t)room);
    int64_t n = from64tobits(decoded.data(), room, text);
    if (n <= 0 || memchr(decoded.data(), '\0', (size_t)n))
        return false;
    const char *start = decoded.data();
    const char *colon = (const char *)memchr(start, ':', (size_t)n);
    if (!colon || colon == start || colon == start + n - 1)
        return false;
    user->assign(start, (size_t)(colon - start));
    password->assign(colon + 1, (size_t)(start + n - colon - 1));
    return true;
}

/* Whether the request announced a body that was not read from the client:
 * a chunked body, a streamed one, or fewer bytes than Content-Length. Such
 * a body still waits on the socket, so the connection cannot carry another
 * request after the answer. */
static bool access_body_unread(const CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    if (!h)
        return false;
    if (h->chunked || (conn->flags & CONN_DIRECT_POST))
        return true;
    if ((h->flags & HEADER_HAS_LENGTH) && h->content_length > 0)
        return !conn->body || conn->body->size < h->content_length;
    return false;
}

/* The realm of the challenge: the proxy host name of the command line, else
 * the general section's host name; at most ACCESS_REALM_MAX characters,
 * without control bytes, quotes or backslashes, so it cannot break out of
 * its header value. */
static std::string access_realm()
{
    std::string name = proxyhost[0] ? std::string(proxyhost)
                                    : (general_section ? general_section->hostname_get() : "");
    std::string realm;
    for (char c : name) {
        if (realm.size() == ACCESS_REALM_MAX)
            break;
        if ((unsigned char)c >= 0x20 && c != 0x7f && c != '"' && c != '\\')
            realm += c;
    }
    return realm;
}

/* Answers with the Basic challenge: 401 and WWW-Authenticate for an
 * origin-form request, else 407 and Proxy-Authenticate, no body. */
static void access_challenge(CONNECTION_T *conn, const std::string &realm)
{
    bool origin = conn->header && conn->header->type == HEADER_ORIGIN;
    bool unread = access_body_unread(conn);   /* before the body is emptied */
    HEADER *answer = header_new();
    answer->type = HEADER_RESPONSE;
    answer->version = 2;
    answer->status = origin ? 401 : 407;
    answer->flags |= HEADER_HAS_LENGTH;
    answer->content_length = 0;
    std::string value = "Basic realm=\"" + realm + "\"";
    header_field_set(origin ? &answer->www_authenticate : &answer->proxy_authenticate,
                     value.c_str());
    conn->rheader = answer;   /* the pipeline sends and frees it */
    conn->logentry.set_cachecode(CC_TCP_DENIED);

    /* The answer's length is the body buffer's: the request body must not
     * go back to the client. */
    if (conn->body) {
        Filebuf empty;
        conn->body->Swap(&empty);
    }
    conn->keepalive_client = unread ? 0 : 1;
}

/* Answers a refused client with the "noaccess" page, its status the
 * page's own or 200. */
static void access_refuse(CONNECTION_T *conn)
{
    putlog(LOG_SECURITY, "[IP:%s] Access Denied by Access Restrictions", access_ip(conn));
    bool unread = access_body_unread(conn);   /* before the page replaces the body */
    int status = 0;
    std::unique_ptr<Filebuf> page(template_section ? template_section->get(conn, "noaccess", &status)
                                                   : nullptr);
    HEADER *answer = header_new();
    answer->type = HEADER_RESPONSE;
    answer->version = 2;
    answer->status = status >= TEMPLATE_STATUS_MIN && status <= TEMPLATE_STATUS_MAX ? status : 200;
    header_field_set(&answer->cache_control, "no-cache");
    if (page && page->content_type)
        header_field_set(&answer->content_type, page->content_type);
    conn->rheader = answer;   /* the pipeline sends and frees it */

    if (!page) {
        putlog(LOG_WARNING, "[IP:%s] no page exists for template noaccess, client connection closed",
               access_ip(conn));
        page.reset(new Filebuf());
    }
    if (!conn->body)
        conn->body = new Filebuf();
    conn->body->Swap(page.get());   /* the old body goes with page */
    if (unread || conn->body->size == 0)
        conn->keepalive_client = 0;
}

int access_auth(CONNECTION_T *conn, Filebuf *)
{
    if (!access_section || !conn->header)
        return 0;
    /* Read before any access lock: the general section's lock comes first. */
    std::string realm = access_realm();
    const HEADER *h = conn->header;
    conn->auth_flags &= ~AUTH_CREDENTIALS_USED;

    const char *credentials = nullptr;
    bool origin = h->type == HEADER_ORIGIN;
    if (origin) {
        /* Authorization belongs to the origin server unless the request is
         * addressed to the proxy itself. */
        if ((!h->host_header || strcasecmp(h->host_header, realm.c_str()) == 0) &&
            (!h->host || strcasecmp(h->host, realm.c_str()) == 0))
            credentials = h->authorization;
    } else {
        credentials = h->proxy_authorization;
    }

    if (credentials) {
        std::string user, password;
        if (access_credentials_parse(credentials, &user, &password) &&
            access_section->check_and_setup(conn, user.c_str(), password.c_str()) && !origin)
            conn->auth_flags |= AUTH_CREDENTIALS_USED;   /* consumed here, never forwarded */
        if (conn->auth_flags & AUTH_REQUIRED) {
            access_challenge(conn, realm);
            return 1;
        }
        return 0;
    }

    if (access_section->check_and_setup(conn)) {
        statincr_ipaddresses(conn);
        if (conn->auth_flags & AUTH_REQUIRED) {
            access_challenge(conn, realm);
            return 1;
        }
        return 0;
    }
    access_refuse(conn);
    return 1;
}

void bypass_check(CONNECTION_T *conn)
{
    if (!(conn->permissions & ACCESS_BYPASS))
        return;
    const url_command_t *command = url_command_find(conn->urlcommands, "bypass");
    if (command)
        conn->bypass = bypass_apply(conn->bypass, command->options);
}
