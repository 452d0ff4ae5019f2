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
 * and, for incoming cookies, domain, path and expiry window. This file
 * declares the fields the rules are read from.
 */
#include "cookies.h"

#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iterator>

#include "log.h"
#include "misc.h"

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

CookieSection::CookieSection() : Section("cookies-filtering", SECTION_RWLOCK)
{
    fields_require(cookie_global_fields);
    list_require(0, "allow", cookie_rule_fields, std::size(cookie_rule_fields));
    list_require(1, "deny", cookie_rule_fields, std::size(cookie_rule_fields));
}

void CookieSection::update()
{
    /* TODO: rebuild the allow and deny lists of Cookie rules from subsections
     * 0 and 1, with their expiry windows and domain and path expressions.
     * Until then the section has no rules and no effect. */
}

int CookieSection::check(int direction, CONNECTION_T *conn, CookieHeader &cookie)
{
    (void)direction;
    (void)conn;
    (void)cookie;
    /* TODO: the two-list evaluation of the allow and deny rules (bypass,
     * enabled, direction, profiles, and for incoming cookies the expiry
     * window, domain and path expressions). Until then no rule exists and
     * every cookie passes. */
    return 1;
}

int cookie_check(int direction, CONNECTION_T *conn, CookieHeader &cookie)
{
    return cookie_section ? cookie_section->check(direction, conn, cookie) : 1;
}
