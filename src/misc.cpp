/*
 * Small text, URL, time and FTP helpers. Most of their input comes from
 * peers: request URLs, FTP replies and listings, header values. So every
 * parser here works on explicit lengths, reads nothing past the end of its
 * input, checks numbers before they overflow and answers malformed input
 * with NULL rather than a guess. Texts handed back are new blocks from
 * xmalloc; running out of memory inside these helpers is fatal, since none
 * of their callers could do anything useful with a half-built text.
 */
#include "misc.h"

#include <arpa/inet.h>
#include <openssl/evp.h>
#include <strings.h>

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "mem.h"
#include "options.h"

static char *misc_text(const char *bytes, size_t len);
static char *misc_text(const std::string &text);
static void misc_html_escape(std::string &out, const char *text);
static int misc_tm_order(const struct tm *t, const tm_partial *bound);
static bool misc_parse_port(const char *p, const char *end, int *port);

/* A new NUL-terminated copy of len bytes; fatal when memory runs out. */
static char *misc_text(const char *bytes, size_t len)
{
    char *p = (char *)xmalloc(len + 1);
    if (!p)
        FATAL_ALLOC(len + 1);
    if (len > 0)
        memcpy(p, bytes, len);   /* terminator from the zero fill */
    return p;
}

static char *misc_text(const std::string &text)
{
    return misc_text(text.data(), text.size());
}

/* ---------------------------------------------------------------- strings */

size_t s_strncpy(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return 0;
    size_t len = src ? strnlen(src, size - 1) : 0;
    if (len > 0)
        memcpy(dst, src, len);
    dst[len] = '\0';
    return len;
}

size_t s_strncat(char *dst, const char *src, size_t size)
{
    if (size == 0)
        return 0;
    size_t have = strnlen(dst, size);
    if (have >= size) {
        /* No terminator within size: cut the text to fit. */
        dst[size - 1] = '\0';
        return size - 1;
    }
    return have + s_strncpy(dst + have, src, size - have);
}

size_t s_strnlen(const char *text, size_t n)
{
    return text ? strnlen(text, n) : 0;
}

const char *s_strcasestr(const char *haystack, const char *needle)
{
    if (!haystack || !needle || !*haystack)
        return nullptr;
    size_t n = strlen(needle);
    for (const char *p = haystack; *p; p++)
        if (strncasecmp(p, needle, n) == 0)
            return p;
    return nullptr;
}

char *string_tolower(char *text)
{
    if (!text)
        return text;
    for (char *p = text; *p; p++)
        *p = (char)tolower((unsigned char)*p);
    return text;
}

char *string_append(char *text, const char *more)
{
    size_t have = text ? strlen(text) : 0;
    size_t add = more ? strlen(more) : 0;
    char *block = (char *)xrealloc(text, have + add + 1);
    if (!block)
        FATAL_ALLOC(have + add + 1);
    if (add > 0)
        memcpy(block + have, more, add);
    block[have + add] = '\0';
    return block;
}

char **string_break(const char *text, char separator)
{
    if (!text)
        text = "";
    size_t pieces = 0;
    for (const char *p = text; *p;) {
        while (*p == separator)
            p++;
        if (!*p)
            break;
        pieces++;
        while (*p && *p != separator)
            p++;
    }

    size_t slots = (pieces ? pieces : 1) + 1;
    char **array = (char **)xmalloc(slots * sizeof(char *));
    if (!array)
        FATAL_ALLOC(slots * sizeof(char *));
    if (pieces == 0) {
        array[0] = misc_text("", 0);   /* array[1]: zero fill */
        return array;
    }

    size_t i = 0;
    for (const char *p = text; *p;) {
        while (*p == separator)
            p++;
        if (!*p)
            break;
        const char *start = p;
        while (*p && *p != separator)
            p++;
        array[i++] = misc_text(start, (size_t)(p - start));
    }
    return array;   /* terminated by the zero fill */
}

size_t array_length(char *const *array)
{
    size_t n = 0;
    if (array)
        while (array[n])
            n++;
    return n;
}

void array_free(char **array)
{
    if (!array)
        return;
    for (char **p = array; *p; p++)
        free(*p);
    free(array);
}

char *array_merge(char *const *array, char character)
{
    std::string out;
    if (array)
        for (size_t i = 0; array[i]; i++) {
            if (i > 0)
                out += character;
            out += array[i];
        }
    return misc_text(out);
}

int isempty(const char *text, size_t n)
{
    if (!text)
        return 1;
    for (size_t i = 0; i < n && text[i]; i++)
        if (isgraph((unsigned char)text[i]))
            return 0;
    return 1;
}

int isip(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    for (int part = 0; part < 4; part++) {
        if (part > 0 && *p++ != '.')
            return 0;
        int digits = 0, value = 0;
        for (; isdigit((unsigned char)*p) && digits < 4; p++, digits++)
            value = value * 10 + (*p - '0');
        if (digits == 0 || digits > 3 || value > 255)
            return 0;
    }
    return *p == '\0' ? 1 : 0;
}

bool md5_hex(const char *data, int64_t len, char out[33])
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (len < 0 || EVP_Digest(data, (size_t)len, digest, &n, EVP_md5(), nullptr) != 1 || n != 16)
        return false;
    static const char hex[] = "0123456789abcdef";
    for (unsigned i = 0; i < 16; i++) {
        out[2 * i] = hex[digest[i] >> 4];
        out[2 * i + 1] = hex[digest[i] & 15];
    }
    out[32] = '\0';
    return true;
}

void md5_string(const char *text, char out[33])
{
    if (!md5_hex(text, (int64_t)strlen(text), out))
        fatal_error(__FILE__, __LINE__, __func__, "MD5 digest unavailable");
}

void stack_free(STACK_T *list)
{
    if (!list)
        return;
    while (list->prev)
        list = list->prev;
    while (list) {
        STACK_T *next = list->next;
        ASSERT(list->line);
        free(list->line);
        free(list);
        list = next;
    }
}

/* ------------------------------------------------------------- HTTP texts */

const char *code_to_error(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Document Moved";
    case 302: return "Found";
    case 304: return "Not Modified";
    case 400: return "Bad Request";
    case 401:
    case 407: return "Authentication required";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Error";
    case 501: return "Not Implemented";
    case 502: return "Connection Failed";
    case 503: return "Service Temporarily Unavailable";
    /* Every other registered status the proxy may relay. */
    case 100: return "Continue";
    case 101: return "Switching Protocols";
    case 102: return "Processing";
    case 103: return "Early Hints";
    case 201: return "Created";
    case 202: return "Accepted";
    case 203: return "Non-Authoritative Information";
    case 204: return "No Content";
    case 205: return "Reset Content";
    case 206: return "Partial Content";
    case 207: return "Multi-Status";
    case 208: return "Already Reported";
    case 226: return "IM Used";
    case 300: return "Multiple Choices";
    case 303: return "See Other";
    case 305: return "Use Proxy";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 402: return "Payment Required";
    case 405: return "Method Not Allowed";
    case 406: return "Not Acceptable";
    case 408: return "Request Timeout";
    case 409: return "Conflict";
    case 410: return "Gone";
    case 411: return "Length Required";
    case 412: return "Precondition Failed";
    case 413: return "Content Too Large";
    case 414: return "URI Too Long";
    case 415: return "Unsupported Media Type";
    case 416: return "Range Not Satisfiable";
    case 417: return "Expectation Failed";
    case 421: return "Misdirected Request";
    case 422: return "Unprocessable Content";
    case 423: return "Locked";
    case 424: return "Failed Dependency";
    case 425: return "Too Early";
    case 426: return "Upgrade Required";
    case 428: return "Precondition Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 451: return "Unavailable For Legal Reasons";
    case 504: return "Gateway Timeout";
    case 505: return "HTTP Version Not Supported";
    case 506: return "Variant Also Negotiates";
    case 507: return "Insufficient Storage";
    case 508: return "Loop Detected";
    case 511: return "Network Authentication Required";
    }
    /* An unregistered status still gets the text of its class. */
    switch (status / 100) {
    case 1: return "Informational";
    case 2: return "Success";
    case 3: return "Redirection";
    case 4: return "Client Error";
    case 5: return "Server Error";
    }
    return "Unknown";
}

const char *error_to_template(int code)
{
    switch (code) {
    case -4: return "badauth";
    case -5: return "noaccess";   /* the address was one of our listeners */
    case -3: return "nodns";
    case -2: return "noconnect";
    }
    return "unknown";
}

/* ------------------------------------------------------------------- URLs */

/* Reads a decimal port filling p..end exactly: at least one digit, nothing
 * else, value 1 to 65535. Long digit runs are refused before they can
 * overflow. */
static bool misc_parse_port(const char *p, const char *end, int *port)
{
    if (p == end)
        return false;
    long value = 0;
    for (; p < end; p++) {
        if (!isdigit((unsigned char)*p))
            return false;
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return false;
    }
    if (value < 1)
        return false;
    *port = (int)value;
    return true;
}

URL *url_parse(const char *text)
{
    if (!text)
        return nullptr;
    const char *end = text + strlen(text);

    /* The scheme: everything before the first colon, which must be
     * followed by at least the two characters of "//". */
    const char *colon = strchr(text, ':');
    if (!colon || colon == text || end - colon < 3)
        return nullptr;
    const char *rest = colon + 3;

    /* User information: an "@" before the first "/" of the rest. */
    const char *slash = (const char *)memchr(rest, '/', (size_t)(end - rest));
    const char *authority_end = slash ? slash : end;
    const char *at = (const char *)memchr(rest, '@', (size_t)(authority_end - rest));
    const char *user = nullptr, *user_end = nullptr, *pass = nullptr, *pass_end = nullptr;
    const char *host = rest;
    if (at) {
        const char *sep = (const char *)memchr(rest, ':', (size_t)(at - rest));
        if (!sep)
            return nullptr;
        user = rest;
        user_end = sep;
        pass = sep + 1;
        pass_end = at;
        if (user_end - user > URL_USERINFO_MAX || pass_end - pass > URL_USERINFO_MAX)
            return nullptr;
        host = at + 1;
        /* A host never holds "@"; a second one makes the split ambiguous. */
        if (memchr(host, '@', (size_t)(authority_end - host)))
            return nullptr;
    }

    /* Host and port: a colon before the first "/" starts the port; one in
     * the path belongs to the path. */
    const char *host_end;
    const char *path = nullptr;
    int port;
    const char *port_colon = (const char *)memchr(host, ':', (size_t)(authority_end - host));
    if (port_colon) {
        host_end = port_colon;
        if (!misc_parse_port(port_colon + 1, authority_end, &port))
            return nullptr;
        path = slash;
    } else {
        host_end = authority_end;
        path = slash;
        port = -1;   /* the scheme's default, once the scheme is known */
    }

    std::string host_text(host, (size_t)(host_end - host));
    url_strip(&host_text[0]);
    host_text.resize(strlen(host_text.c_str()));
    if (host_text.empty())
        return nullptr;
    char *path_text = path ? url_path_fix(path) : misc_text("/", 1);
    if (!path_text)
        return nullptr;   /* a path too long to keep whole */

    URL *url = (URL *)xmalloc(sizeof(URL));
    if (!url)
        FATAL_ALLOC(sizeof(URL));
    url->protocol = string_tolower(misc_text(text, (size_t)(colon - text)));
    url->host = string_tolower(misc_text(host_text));
    url->path = path_text;
    url->port = port >= 0 ? port : protocol_port(url->protocol);
    if (user) {
        url->user = misc_text(user, (size_t)(user_end - user));
        url->password = misc_text(pass, (size_t)(pass_end - pass));
    }   /* otherwise both stay NULL: zero fill */
    return url;
}

char *url_create(const URL *url)
{
    std::string text = std::string(url->protocol) + "://" + url->host + ":" +
                       std::to_string(url->port) + url->path;
    return misc_text(text);
}

void url_free(URL *url)
{
    if (!url)
        return;
    free(url->user);
    free(url->password);
    free(url->protocol);
    free(url->host);
    free(url->path);
    free(url);
}

int protocol_port(const char *scheme)
{
    if (!scheme)
        return 0;
    if (strcasecmp(scheme, "http") == 0)
        return 80;
    if (strcasecmp(scheme, "ftp") == 0)
        return 21;
    return 0;
}

char *url_strip(char *text)
{
    if (!text)
        return text;
    char *out = text;
    for (const char *p = text; *p; p++) {
        unsigned char c = (unsigned char)*p;
        if (c > 32 && c < 127)
            *out++ = (char)c;
    }
    *out = '\0';
    return text;
}

char *url_path_fix(const char *path)
{
    if (!path)
        path = "";
    const char *hash = strchr(path, '#');
    size_t len = hash ? (size_t)(hash - path) : strlen(path);
    if (len > URL_PATH_MAX)
        return nullptr;
    return url_strip(misc_text(path, len));
}

char *url_encode(const char *text, size_t n)
{
    static const char hex[] = "0123456789abcdef";
    size_t len = s_strnlen(text, n);
    std::string out;
    out.reserve(len * 3);
    for (size_t i = 0; i < len; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c == ' ') {
            out += '+';
        } else if (isalnum(c) || c > 127 || c == '+' || c == ',' || c == '-' || c == '.' ||
                   c == '/') {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return misc_text(out);
}

std::string url_escape_unsafe(const std::string &text, bool high_bytes)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c < 0x21 || c == 0x7f || (high_bytes && c > 0x7f)) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

int hex_digit(int c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char *url_decode(const char *text, size_t n)
{
    size_t len = s_strnlen(text, n);
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 1 < len) {
            /* The next one or two characters; their leading hex digits give
             * the byte, 0 when the first is not a hex digit. */
            size_t take = i + 2 < len ? 2 : 1;
            int value = 0;
            for (size_t k = 1; k <= take; k++) {
                int v = hex_digit((unsigned char)text[i + k]);
                if (v < 0)
                    break;
                value = value * 16 + v;
            }
            out += (char)value;
            i += take;
        } else {
            out += c;
        }
    }
    /* misc_text copies the bytes, and a decoded NUL ends the C text. */
    return misc_text(out);
}

std::string url_percent_decode(const char *text, size_t len, bool plus_blank)
{
    std::string out;
    out.reserve(len);
    for (size_t i = 0; i < len; i++) {
        char c = text[i];
        if (c == '+' && plus_blank) {
            c = ' ';
        } else if (c == '%' && i + 2 < len && hex_digit((unsigned char)text[i + 1]) >= 0 &&
                   hex_digit((unsigned char)text[i + 2]) >= 0) {
            c = (char)(hex_digit((unsigned char)text[i + 1]) * 16 +
                       hex_digit((unsigned char)text[i + 2]));
            i += 2;
        }
        out += c;
    }
    return out;
}

/* Removes the last segment of out and its "/" (RFC 3986 5.2.4, rule C). */
static void misc_pop_segment(std::string &out)
{
    size_t slash = out.rfind('/');
    out.erase(slash == std::string::npos ? 0 : slash);
}

/* RFC 3986 5.2.4 over in, walked once with an index so a long path of dot
 * segments costs no more than its length. */
static std::string misc_remove_dots(const std::string &in)
{
    std::string out;
    out.reserve(in.size());
    size_t i = 0, n = in.size();
    auto rest_is = [&](const char *text) { return in.compare(i, std::string::npos, text) == 0; };
    auto starts = [&](const char *text) { return in.compare(i, strlen(text), text) == 0; };
    while (i < n) {
        if (starts("../")) {
            i += 3;
        } else if (starts("./")) {
            i += 2;
        } else if (starts("/./")) {
            i += 2;
        } else if (rest_is("/.")) {
            out += '/';
            break;
        } else if (starts("/../")) {
            i += 3;
            misc_pop_segment(out);
        } else if (rest_is("/..")) {
            misc_pop_segment(out);
            out += '/';
            break;
        } else if (rest_is(".") || rest_is("..")) {
            break;
        } else {
            size_t end = in.find('/', i + 1);
            if (end == std::string::npos)
                end = n;
            out.append(in, i, end - i);
            i = end;
        }
    }
    return out;
}

std::string url_path_normal(const char *path)
{
    if (!path)
        return "/";
    const char *query = strchr(path, '?');
    size_t len = query ? (size_t)(query - path) : strlen(path);
    std::string merged;
    merged.reserve(len);
    for (size_t i = 0; i < len; i++) {
        char c = path[i];
        if (c == '%' && i + 2 < len && hex_digit((unsigned char)path[i + 1]) >= 0 &&
            hex_digit((unsigned char)path[i + 2]) >= 0) {
            int value = hex_digit((unsigned char)path[i + 1]) * 16 + hex_digit((unsigned char)path[i + 2]);
            if (value != 0) {
                c = (char)value;
                i += 2;
            }
        }
        if (c == '/' && !merged.empty() && merged.back() == '/')
            continue;
        merged += c;
    }
    std::string out = misc_remove_dots(merged);
    if (out.empty() || out[0] != '/')
        out.insert(0, "/");
    if (query)
        out += query;
    return out;
}

/* The longest accumulated path of a navigation trail. */
static const size_t MISC_TRAIL_PATH_MAX = 1023;

char *path_to_url(const char *path)
{
    std::string out = "<a href=\"/\">/</a>";
    char **pieces = string_break(path ? path : "", '/');
    std::string accumulated = "/";
    for (size_t i = 0; pieces[i]; i++) {
        if (!*pieces[i])
            continue;   /* the one empty piece of an empty path */
        size_t piece_len = strlen(pieces[i]);
        if (accumulated.size() + piece_len + 1 > MISC_TRAIL_PATH_MAX)
            break;
        accumulated += pieces[i];
        accumulated += '/';
        out += "<a href=\"";
        misc_html_escape(out, accumulated.c_str());
        out += "\">";
        misc_html_escape(out, pieces[i]);
        out += "/</a>";
    }
    array_free(pieces);
    return misc_text(out);
}

/* ------------------------------------------------------------------- HTML */

/* Appends text with the four characters that carry meaning in HTML
 * replaced by entities. */
static void misc_html_escape(std::string &out, const char *text)
{
    for (const char *p = text; *p; p++) {
        switch (*p) {
        case '"': out += "&quot;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '&': out += "&amp;"; break;
        default: out += *p; break;
        }
    }
}

char *string_to_html(const char *text, int flags, int line_length)
{
    if (!text)
        text = "";
    bool wrap = flags == HTML_NEWLINES && line_length > 0;
    int column = 0;
    std::string out;
    out.reserve(strlen(text) + 16);

    for (const char *p = text; *p; p++) {
        char c = *p;
        if ((flags & HTML_SCRIPT) && strchr("';.?/\\[]{}()+*|$", c))
            out += '\\';

        if (c == '"')
            out += "&quot;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else if (c == '&')
            out += "&amp;";
        else if (c == '\n' && (flags & HTML_NEWLINES))
            out += "<br>";
        else if (c == ' ' && (flags & HTML_SPACES))
            out += "&nbsp;";
        else
            out += c;

        if (wrap) {
            column = c == ' ' ? 1 : column + 1;
            if (column >= line_length) {
                out += "<br>";
                column = 0;
            }
        }
    }
    return misc_text(out);
}

/* ------------------------------------------------------------------- Time */

int in_alltimerange(const struct tm *t, const tm_partial *from, const tm_partial *to)
{
    const struct {
        bool from_set, to_set;
        int from_value, to_value, value;
    } parts[] = {
        {from->year_set, to->year_set, from->year, to->year, t->tm_year},
        {from->month_set, to->month_set, from->month, to->month, t->tm_mon},
        {from->mday_set, to->mday_set, from->mday, to->mday, t->tm_mday},
        {from->wday_set, to->wday_set, from->wday, to->wday, t->tm_wday},
        {from->hour_set, to->hour_set, from->hour, to->hour, t->tm_hour},
        {from->minute_set, to->minute_set, from->minute, to->minute, t->tm_min},
    };
    for (const auto &p : parts) {
        if (p.from_set && p.value < p.from_value)
            return 0;
        if (p.to_set && p.value > p.to_value)
            return 0;
    }
    return 1;
}

/* Compares t with the set components of bound, most significant first:
 * negative when t is earlier, 0 when equal in all of them, positive when
 * later. */
static int misc_tm_order(const struct tm *t, const tm_partial *bound)
{
    const struct {
        bool set;
        int bound_value, value;
    } parts[] = {
        {bound->year_set, bound->year, t->tm_year},
        {bound->month_set, bound->month, t->tm_mon},
        {bound->mday_set, bound->mday, t->tm_mday},
        {bound->wday_set, bound->wday, t->tm_wday},
        {bound->hour_set, bound->hour, t->tm_hour},
        {bound->minute_set, bound->minute, t->tm_min},
    };
    for (const auto &p : parts) {
        if (!p.set || p.value == p.bound_value)
            continue;
        return p.value < p.bound_value ? -1 : 1;
    }
    return 0;
}

int in_absolutetimerange(const struct tm *t, const tm_partial *from, const tm_partial *to)
{
    return misc_tm_order(t, from) >= 0 && misc_tm_order(t, to) <= 0 ? 1 : 0;
}

int64_t timeval_diff_ms(const struct timeval *a, const struct timeval *b)
{
    /* Fold the microseconds into whole seconds first, so both parts end up
     * with the same sign and the division truncates toward zero. */
    int64_t sec, usec = (int64_t)b->tv_usec - (int64_t)a->tv_usec;
    bool overflow = __builtin_sub_overflow((int64_t)b->tv_sec, (int64_t)a->tv_sec, &sec);
    overflow = overflow || __builtin_add_overflow(sec, usec / 1000000, &sec);
    usec %= 1000000;
    if (!overflow && sec > 0 && usec < 0) {
        sec--;
        usec += 1000000;
    } else if (!overflow && sec < 0 && usec > 0) {
        sec++;
        usec -= 1000000;
    }
    int64_t ms;
    overflow = overflow || __builtin_mul_overflow(sec, (int64_t)1000, &ms);
    overflow = overflow || __builtin_add_overflow(ms, usec / 1000, &ms);
    if (overflow)
        return (int64_t)b->tv_sec >= (int64_t)a->tv_sec ? INT64_MAX : INT64_MIN;
    return ms;
}

int64_t timeval_cmp(const struct timeval *a, const struct timeval *b)
{
    int64_t d;
    if (a->tv_sec != b->tv_sec) {
        if (__builtin_sub_overflow((int64_t)a->tv_sec, (int64_t)b->tv_sec, &d))
            return a->tv_sec > b->tv_sec ? INT64_MAX : INT64_MIN;
        return d;
    }
    return (int64_t)a->tv_usec - (int64_t)b->tv_usec;
}

char *timeval_to_string(const struct timeval *duration)
{
    long long sec = (long long)duration->tv_sec;
    char text[64];
    snprintf(text, sizeof text, "%.2lld:%.2lld:%.2lld.%.2lld", sec / 3600, sec / 60 % 60, sec % 60,
             (long long)duration->tv_usec / 10000);
    return misc_text(text, strlen(text));
}

time_t utc_time(time_t *out)
{
    time_t now = time(nullptr) + gmtoffset;
    if (out)
        *out = now;
    return now;
}

int64_t xpow(int n)
{
    if (n <= 0)
        return 1;
    ASSERT(n <= 62);
    return (int64_t)1 << n;
}

/* -------------------------------------------------------- FTP and files */

char *ftpport_create(const struct sockaddr_in *address)
{
    const unsigned char *ip = (const unsigned char *)&address->sin_addr.s_addr;
    unsigned port = ntohs(address->sin_port);
    char text[32];
    snprintf(text, sizeof text, "%d,%d,%d,%d,%d,%d", ip[0], ip[1], ip[2], ip[3], port >> 8,
             port & 0xff);
    putlog(LOG_DEBUG, "ftp: ftpport_create: %s", text);
    return misc_text(text, strlen(text));
}

struct sockaddr_in *ftpport_parse(const char *text)
{
    if (!text)
        return nullptr;
    int values[6];
    const char *p = text;
    for (int i = 0; i < 6; i++) {
        while (*p == ' ')
            p++;
        int v = 0, digits = 0;
        for (; isdigit((unsigned char)*p); p++) {
            v = v * 10 + (*p - '0');
            if (++digits > 3 || v > 255)
                return nullptr;
        }
        if (digits == 0)
            return nullptr;
        while (*p == ' ')
            p++;
        values[i] = v;
        if (i < 5) {
            if (*p != ',')
                return nullptr;
            p++;
        }
    }
    /* A seventh number is not a PASV reply; other trailing text, such as
     * the closing parenthesis, is. */
    if (*p == ',')
        return nullptr;
    int port = values[4] * 256 + values[5];
    if (port == 0)
        return nullptr;

    struct sockaddr_in *address = (struct sockaddr_in *)xmalloc(sizeof(struct sockaddr_in));
    if (!address)
        FATAL_ALLOC(sizeof(struct sockaddr_in));
    address->sin_family = AF_INET;
    unsigned char *ip = (unsigned char *)&address->sin_addr.s_addr;
    for (int i = 0; i < 4; i++)
        ip[i] = (unsigned char)values[i];
    address->sin_port = htons((uint16_t)port);
    return address;
}

int mode_parse(const char *text)
{
    if (!text || strnlen(text, 10) < 10)
        return 0;
    int mode = 0;
    if (text[1] == 'r') mode |= 0400;
    if (text[2] == 'w') mode |= 0200;
    if (text[3] == 'x') mode |= 0100;
    else if (text[3] == 's') mode |= 04100;
    if (text[4] == 'r') mode |= 040;
    if (text[5] == 'w') mode |= 020;
    if (text[6] == 'x') mode |= 010;
    else if (text[6] == 's' || text[6] == 'S') mode |= 02010;
    if (text[7] == 'r') mode |= 04;
    if (text[8] == 'w') mode |= 02;
    if (text[9] == 'x') mode |= 01;
    else if (text[9] == 't') mode |= 01001;
    return mode;
}

char *filesize(int64_t bytes)
{
    char text[64];
    double b = (double)bytes;
    if (bytes < 1024)
        snprintf(text, sizeof text, "%.1f %s", b, "B");
    else if (bytes < 1048576)
        snprintf(text, sizeof text, "%.1f %s", b / 1024, "KB");
    else if (bytes < 1073741824)
        snprintf(text, sizeof text, "%.1f %s", b / 1048576, "MB");
    else
        snprintf(text, sizeof text, "%.1f %s", b / 1073741824, "GB");
    return misc_text(text, strlen(text));
}

/* -------------------------------------------------------------- Templates */

int64_t variables_reference(VariableMap &variables, const char *at, const char *end,
                            const std::string **value)
{
    static const std::string at_sign("@");
    ASSERT(at < end && *at == '@');

    /* "@@" is one "@"; a lone "@" at the end stays. */
    if (at + 1 >= end || at[1] == '@') {
        *value = &at_sign;
        return at + 1 < end ? 2 : 1;
    }

    /* The closing "@" must come within the next 63 characters. */
    int64_t window = end - (at + 1);
    if (window > VARIABLE_NAME_MAX + 1)
        window = VARIABLE_NAME_MAX + 1;
    const char *close = (const char *)memchr(at + 1, '@', (size_t)window);
    if (!close) {
        *value = &at_sign;
        return 1;
    }
    std::string name(at + 1, (size_t)(close - (at + 1)));
    auto found = variables.emplace(name, std::string()).first;   /* unknown: added empty */
    *value = &found->second;
    return close - at + 1;
}

int64_t monotonic_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}
