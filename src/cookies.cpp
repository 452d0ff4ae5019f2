/*
 * Cookies: the codec of Cookie and Set-Cookie values and the cookie rules.
 * CookieHeader reads a value into name=value pairs and the attributes
 * domain, path, expiry and version, so that the rules can judge it, and
 * writes the proxy's own cookies in one fixed form. A relayed cookie line
 * that passes the rules is written exactly as received, never rebuilt, so
 * attributes the codec does not model (HttpOnly, Secure, SameSite, Max-Age)
 * and empty values survive.
 *
 * The rules are allow and deny lists that decide, line by line, whether a
 * cookie sent by a client or set by a server passes, by direction, profiles
 * and, for incoming cookies, domain, path and expiry window. The
 * serialiser asks them about every cookie line it writes; a refused line is
 * left out and nothing else about the message changes. The "cookies" page
 * shows the cookies of one exchange.
 */
#include "cookies.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "access.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"
#include "regexp.h"

static bool cookie_time_parse(const char *text, struct tm *tm);
static std::string cookie_time_format(const struct tm *tm);
static int cookie_atoi(const char *text);
static bool cookie_unsafe(const std::string &text);

/* The codec. */

CookieHeader::CookieHeader() : has_expires(false), version(0), expires()
{
}

CookieHeader::CookieHeader(const std::string &value, bool warn) : CookieHeader()
{
    Parse(value, warn);
}

void CookieHeader::Parse(const std::string &value, bool warn)
{
    version = 0;
    has_expires = false;
    if (value.empty())
        return;

    char **fields = string_break(value.c_str(), ';');
    for (char **field = fields; *field; field++) {
        const char *start = *field;
        while (*start == ' ' || *start == '$')
            start++;
        const char *equals = strchr(start, '=');
        if (!equals || equals[1] == '\0')
            continue;
        std::string name(start, (size_t)(equals - start));
        std::string text(equals + 1);

        if (strcasecmp(name.c_str(), "version") == 0) {
            version = cookie_atoi(text.c_str());
        } else if (strcasecmp(name.c_str(), "domain") == 0) {
            domain = text;
        } else if (strcasecmp(name.c_str(), "path") == 0) {
            path = text;
        } else if (strcasecmp(name.c_str(), "expires") == 0) {
            struct tm tm;
            if (cookie_time_parse(text.c_str(), &tm)) {
                expires = tm;
                has_expires = true;
            } else {
                if (warn)
                    putlog(LOG_WARNING, "failed to parse cookie expiry time: %s",
                           log_field(text, true).c_str());
                pairs.emplace_back(name, text);
            }
        } else {
            pairs.emplace_back(name, text);
        }
    }
    array_free(fields);
}

std::string CookieHeader::Build() const
{
    std::string out;

    for (const std::pair<std::string, std::string> &pair : pairs) {
        if (cookie_unsafe(pair.first) || pair.first.find('=') != std::string::npos ||
            cookie_unsafe(pair.second))
            continue;
        if (!out.empty())
            out += "; ";
        out += pair.first;
        out += '=';
        out += pair.second;
    }
    if (out.empty())
        return out;

    if (!domain.empty() && !cookie_unsafe(domain))
        out += "; domain=" + domain;
    if (!path.empty() && !cookie_unsafe(path))
        out += "; path=" + path;
    std::string when = has_expires ? cookie_time_format(&expires) : std::string();
    if (!when.empty())
        out += "; expires=" + when;
    if (version != 0)
        out += "; version=" + std::to_string(version);
    return out;
}

/* Reads an expiry in the first of three forms that matches the start of
 * text: "Wed, 09-Jun-2021 10:18:14 GMT" (four-digit year), "Wed, 09-Jun-21
 * 10:18:14 GMT" (69-99 are 1969-1999, 00-68 2000-2068) or "Wed, 09 Jun 2021
 * 10:18:14 GMT". Text after the match is ignored. */
static bool cookie_time_parse(const char *text, struct tm *tm)
{
    static const char *const formats[] = {
        "%a, %d-%b-%Y %H:%M:%S GMT",
        "%a, %d-%b-%y %H:%M:%S GMT",
        "%a, %d %b %Y %T GMT",
    };

    /* A year of fewer than four digits is left to the two-digit form. */
    bool four_digit_year = false;
    const char *dash = strchr(text, '-');
    if (dash && (dash = strchr(dash + 1, '-')) != nullptr) {
        size_t digits = 0;
        while (isdigit((unsigned char)dash[1 + digits]))
            digits++;
        four_digit_year = digits == 4;
    }

    for (size_t i = 0; i < std::size(formats); i++) {
        if (i == 0 && !four_digit_year)
            continue;
        memset(tm, 0, sizeof *tm);
        if (strptime(text, formats[i], tm))
            return true;
    }
    return false;
}

/* "%a, %d-%b-%Y %H:%M:%S GMT" of the time as stored, the year always with
 * at least four digits so that the text reads back in the same form. */
static std::string cookie_time_format(const struct tm *tm)
{
    char day[32], year[16], clock[32];
    if (strftime(day, sizeof day, "%a, %d-%b-", tm) == 0 ||
        strftime(clock, sizeof clock, " %H:%M:%S GMT", tm) == 0)
        return std::string();
    snprintf(year, sizeof year, "%04lld", (long long)tm->tm_year + 1900);
    return std::string(day) + year + clock;
}

/* The leading decimal number of text (blanks and a sign allowed), clamped
 * to the int range; 0 when there is none. */
static int cookie_atoi(const char *text)
{
    while (isspace((unsigned char)*text))
        text++;
    bool negative = *text == '-';
    if (*text == '-' || *text == '+')
        text++;
    long long value = 0;
    for (; isdigit((unsigned char)*text); text++) {
        if (value <= (long long)INT_MAX + 1)
            value = value * 10 + (*text - '0');
    }
    if (negative)
        value = -value;
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return (int)value;
}

/* A text that cannot stand in a cookie value: control characters (CR and
 * LF included) or the separator ';'. */
static bool cookie_unsafe(const std::string &text)
{
    for (char c : text) {
        unsigned char u = (unsigned char)c;
        if (u < 32 || u == 127 || c == ';')
            return true;
    }
    return false;
}

/* The rules. */

/* The options, by position. */
static const FieldDecl cookie_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl cookie_rule_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "year",      FIELD_INT_RANGE },
    {  4, "month",     FIELD_STRING_RANGE },
    {  5, "day",       FIELD_INT_RANGE },
    {  6, "weekday",   FIELD_STRING_RANGE },
    {  7, "hour",      FIELD_INT_RANGE },
    {  8, "minute",    FIELD_INT_RANGE },
    {  9, "domain",    FIELD_STRING },
    { 10, "path",      FIELD_STRING },
    { 11, "direction", FIELD_STRING_SELECT_ONE },
    { 12, "recurring", FIELD_BOOL },
};

CookieSection *cookie_section = nullptr;

/* ---- Cookie ---- */

/* One window component from its field: its bounds go into the two
 * partial times when it is active. offset is subtracted from both (1900
 * for years). */
static void cookie_window_part(const Field &field, int offset, bool tm_partial::*set,
                               int tm_partial::*value, tm_partial *start, tm_partial *end)
{
    if (field.optional && !field.active)
        return;
    start->*set = end->*set = true;
    start->*value = field.value - offset;
    end->*value = field.value2 - offset;
}

Cookie::Cookie(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    tm_partial *s = &window_start, *e = &window_end;
    cookie_window_part(f[3], 1900, &tm_partial::year_set, &tm_partial::year, s, e);
    cookie_window_part(f[4], 0, &tm_partial::month_set, &tm_partial::month, s, e);
    cookie_window_part(f[5], 0, &tm_partial::mday_set, &tm_partial::mday, s, e);
    cookie_window_part(f[6], 0, &tm_partial::wday_set, &tm_partial::wday, s, e);
    cookie_window_part(f[7], 0, &tm_partial::hour_set, &tm_partial::hour, s, e);
    cookie_window_part(f[8], 0, &tm_partial::minute_set, &tm_partial::minute, s, e);
    domain = f[9].text;
    path = f[10].text;
    direction = f[11].value;
    recurring = f[12].value;
    compile();
}

Cookie::Cookie(const Cookie &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      window_start(other.window_start), window_end(other.window_end), domain(other.domain),
      path(other.path), direction(other.direction), recurring(other.recurring)
{
    compile();
}

Cookie::~Cookie()
{
    if (domain_regex)
        reg_free(domain_regex);
    if (path_regex)
        reg_free(path_regex);
}

void Cookie::compile()
{
    refused = false;
    domain_regex = section_expression_compile(domain, &refused);
    path_regex = section_expression_compile(path, &refused);
}

bool Cookie::has_window() const
{
    return window_start.year_set || window_start.month_set || window_start.mday_set ||
           window_start.wday_set || window_start.hour_set || window_start.minute_set;
}

/* Whether rule matches a cookie travelling in direction. Outgoing cookies
 * are judged by direction and profiles alone. An incoming cookie without
 * an expiry has no time to compare: it never matches a rule with a
 * window. */
static bool cookie_rule_match(const Cookie &rule, int direction, const CONNECTION_T *conn,
                              const CookieHeader &cookie)
{
    if (!rule.enabled || rule.refused)
        return false;
    if (rule.direction != COOKIE_BOTH && rule.direction != direction)
        return false;
    if (profile_find(conn ? conn->profiles : StringList(), rule.profiles) != 1)
        return false;
    if (direction != COOKIE_INCOMING)
        return true;
    if (rule.has_window()) {
        if (!cookie.has_expires)
            return false;
        int inside = rule.recurring
                         ? in_alltimerange(&cookie.expires, &rule.window_start, &rule.window_end)
                         : in_absolutetimerange(&cookie.expires, &rule.window_start,
                                                &rule.window_end);
        if (inside != 1)
            return false;
    }
    if (rule.domain_regex && reg_exec(rule.domain_regex, cookie.domain.c_str()) != 0)
        return false;
    return !rule.path_regex || reg_exec(rule.path_regex, cookie.path.c_str()) == 0;
}

/* The header writer's line judge: Cookie and Set-Cookie lines of relayed
 * messages go past the cookie rules; a refused one is left out and logged. */
static bool cookie_line_judge(const HEADER *header, CONNECTION_T *conn, const HTTP_HEADER &line)
{
    const std::string &name = line.name;
    bool cookie_line = (name.size() >= 10 && strncasecmp(name.c_str(), "Set-Cookie", 10) == 0) ||
                       (name.size() >= 6 && strncasecmp(name.c_str(), "Cookie", 6) == 0);
    if (!cookie_line)
        return true;
    int direction = header->type == HEADER_RESPONSE ? COOKIE_INCOMING : COOKIE_OUTGOING;
    CookieHeader cookie(line.value);
    if (cookie_check(direction, conn, cookie))
        return true;
    const char *host = conn && conn->header && conn->header->host ? conn->header->host : "";
    putlog(LOG_COOKIEFILTER, direction == COOKIE_INCOMING ? "blocked: incoming from %s"
                                                          : "blocked: outgoing to %s", host);
    return false;
}

/* A server's unreadable cookie date is logged once per response, as the
 * response is parsed; the judge parses the line again quietly at every write. */
static void cookie_received_watch(const HEADER *response)
{
    for (const HTTP_HEADER &line : response->headers)
        if (strcasecmp(line.name.c_str(), "Set-Cookie") == 0)
            (void)CookieHeader(line.value, true);
}

void cookie_header_hooks_register()
{
    header_line_judge_set(cookie_line_judge);
    header_received_watch_set(cookie_received_watch);
}

/* ---- CookieSection ---- */

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK)
{
    fields_require(cookie_global_fields);
    list_require(0, "allow", cookie_rule_fields, std::size(cookie_rule_fields));
    list_require(1, "deny", cookie_rule_fields, std::size(cookie_rule_fields));
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    allowfirst = &fields[1].value;
    cookie_header_hooks_register();
}

void CookieSection::update()
{
    section_rules_rebuild(allow, deny, subsections);
}

int CookieSection::item_check(const Item &item, std::string *nature)
{
    return section_expressions_check(item, { 9, 10 }, nature);
}

int CookieSection::check(int direction, CONNECTION_T *conn, CookieHeader &cookie)
{
    SectionReadGuard guard(*this);
    if (!*enabled || (conn && (conn->bypass & BYPASS_COOKIES)))
        return 1;
    AllowDenyResult<Cookie> result =
        allowdeny_evaluate(allow, deny, *allowfirst != 0, [&](const Cookie &rule) {
            return cookie_rule_match(rule, direction, conn, cookie);
        });
    return result.outcome == ALLOWDENY_ACCEPTED ? 1 : 0;
}

int cookie_check(int direction, CONNECTION_T *conn, CookieHeader &cookie)
{
    return cookie_section ? cookie_section->check(direction, conn, cookie) : 1;
}

/* ---- The "cookies" page ---- */

/* Appends the table of one received cookie line: its expiry, domain and
 * path when set, then its pairs. */
static bool cookie_page_table(Filebuf *page, const char *title, const CookieHeader &cookie)
{
    bool ok = interface_dialog_open(page, title);
    if (ok && cookie.has_expires) {
        std::string when = cookie_time_format(&cookie.expires);
        ok = interface_dialog_row(page, "Expires", interface_html(when));
    }
    if (ok && !cookie.domain.empty())
        ok = interface_dialog_row(page, "Domain", interface_html(cookie.domain));
    if (ok && !cookie.path.empty())
        ok = interface_dialog_row(page, "Path", interface_html(cookie.path));
    for (const std::pair<std::string, std::string> &pair : cookie.pairs) {
        if (!ok)
            break;
        ok = interface_dialog_row(page, interface_html(pair.first), interface_html(pair.second));
    }
    return ok && page->Add("</table>\n<br>\n", 14) == FILEBUF_OK;
}

void interface_cookies_show(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    const HEADER *r = conn->rheader;
    std::string where = std::string(h && h->host ? h->host : "") + (h && h->path ? h->path : "");
    std::string title = "Cookies for " + interface_html(where);

    Filebuf page;
    bool ok = interface_command_page_start(conn, &page, title);
    if (h) {
        for (const HTTP_HEADER &line : h->headers) {
            if (ok && (line.name == "Cookie" || line.name == "Cookie2"))
                ok = cookie_page_table(&page, "Sent cookie", CookieHeader(line.value));
        }
    }
    if (r) {
        for (const HTTP_HEADER &line : r->headers) {
            if (ok && (line.name == "Set-Cookie" || line.name == "Set-Cookie2"))
                ok = cookie_page_table(&page, "Received cookie", CookieHeader(line.value));
        }
    }
    ok = ok && interface_command_page_end(&page);
    if (!ok) {
        putlog(LOG_ERROR, "cookie filter: the cookies page for %s could not be built",
               log_text(where, LOG_TEXT_MAX).c_str());
        conn->keepalive_client = 0;
        return;
    }
    interface_send_response(conn, &page);
}
