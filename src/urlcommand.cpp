/*
 * URL commands. A user steers the proxy for one request by writing labels
 * such as "xx--bypass[-a]." at the front of the host name (or, for a
 * request sent to the proxy as a web server, in the first path segment).
 * We take the labels off before the host is resolved or forwarded and keep
 * the commands on the connection. Commands follow the user: a redirect
 * Location gets them back in front of its host, and a page reached from a
 * page that had them (seen in its Referer) is redirected once so that its
 * own URL carries them. The Referer itself never reaches a server with the
 * labels in it. Every text that came from the client is escaped where it
 * leaves us: in log lines and in the Location we build.
 */
#include "urlcommand.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "header.h"
#include "header_io.h"
#include "log.h"
#include "mem.h"
#include "misc.h"

static char *urlcommand_strndup(const char *text, size_t n);
static std::string urlcommand_location_text(const char *text);
static size_t urlcommand_scheme_length(const char *location);
static bool urlcommand_request_host(const HEADER *header, std::string *host, int *port);
static void urlcommand_decode_mapped(const char *text, std::string *out,
                                     std::vector<size_t> *offsets);
static void urlcommand_take(CONNECTION_T *conn, url_command_t **commands);
static url_command_t **urlcommand_from_request(HEADER *header);
static int urlcommand_referer(CONNECTION_T *conn);
static int urlcommand_redirect(CONNECTION_T *conn, url_command_t **commands);

/* Log lines show at most this much of a client's text. */
#define URL_COMMAND_LOG_TEXT_MAX 256

/* A copy of n bytes of text; an allocation failure is fatal. */
static char *urlcommand_strndup(const char *text, size_t n)
{
    char *copy = xstrndup(text, n);
    if (!copy)
        FATAL_ALLOC(n + 1);
    return copy;
}

url_command_t **url_command_parse(char *text)
{
    if (!text)
        return nullptr;

    std::vector<url_command_t *> found;
    const char *cursor = text;
    while (strncasecmp(cursor, URL_COMMAND_PREFIX, strlen(URL_COMMAND_PREFIX)) == 0) {
        const char *dot = strchr(cursor, '.');
        if (!dot)
            break;   /* the label and everything after it stay */
        size_t label_len = (size_t)(dot - cursor);
        const char *name = cursor + strlen(URL_COMMAND_PREFIX);
        const char *bracket = (const char *)memchr(name, '[', (size_t)(dot - name));

        url_command_t *command = (url_command_t *)xmalloc(sizeof(url_command_t));
        if (!command)
            FATAL_ALLOC(sizeof(url_command_t));
        if (bracket) {
            command->name = urlcommand_strndup(name, (size_t)(bracket - name));
            /* The "]" may lie past the label's dot, so that options can
             * hold one; the search covers label_len bytes from the "[" and
             * never passes the end of the text. */
            size_t window = s_strnlen(bracket, label_len);
            const char *close = (const char *)memchr(bracket, ']', window);
            command->options =
                close ? urlcommand_strndup(bracket + 1, (size_t)(close - bracket - 1)) : nullptr;
        } else {
            command->name = urlcommand_strndup(name, (size_t)(dot - name));
            command->options = nullptr;
        }
        found.push_back(command);
        cursor = dot + 1;
    }

    if (found.empty())
        return nullptr;
    /* One move for all the labels, so a long run of them costs one pass. */
    memmove(text, cursor, strlen(cursor) + 1);

    size_t bytes = (found.size() + 1) * sizeof(url_command_t *);
    url_command_t **commands = (url_command_t **)xmalloc(bytes);   /* zero-filled: ends in NULL */
    if (!commands)
        FATAL_ALLOC(bytes);
    for (size_t i = 0; i < found.size(); i++)
        commands[i] = found[i];
    return commands;
}

void url_command_free(url_command_t **commands)
{
    if (!commands)
        return;
    for (url_command_t **c = commands; *c; c++) {
        free((*c)->name);
        free((*c)->options);
        free(*c);
    }
    free(commands);
}

url_command_t *url_command_find(url_command_t **commands, const char *name)
{
    if (!commands || !name)
        return nullptr;
    for (url_command_t **c = commands; *c; c++)
        if (strcasecmp((*c)->name, name) == 0)
            return *c;
    return nullptr;
}

char *url_command_create(url_command_t **commands)
{
    std::string out;
    for (url_command_t **c = commands; c && *c; c++) {
        out += URL_COMMAND_PREFIX;
        out += (*c)->name;
        if ((*c)->options) {
            out += '[';
            out += (*c)->options;
            out += ']';
        }
        out += '.';
    }
    return urlcommand_strndup(out.c_str(), out.size());
}

void url_command_log(url_command_t **commands)
{
    for (url_command_t **c = commands; c && *c; c++) {
        std::string name = log_text((*c)->name, URL_COMMAND_LOG_TEXT_MAX);
        if ((*c)->options)
            putlog(LOG_URLCOMMAND, "command: %s, options: %s", name.c_str(),
                   log_text((*c)->options, URL_COMMAND_LOG_TEXT_MAX).c_str());
        else
            putlog(LOG_URLCOMMAND, "command: %s", name.c_str());
    }
}

/* Commands rendered for a Location: blanks, control bytes, DEL and bytes
 * above 127 are percent-encoded, so a name taken from a decoded Referer
 * cannot break the header line or the URL. */
static std::string urlcommand_location_text(const char *text)
{
    return url_escape_unsafe(text, true);
}

/* The length of location's scheme when it begins with "scheme://" (a
 * letter, then letters, digits, "+", "-" or "."), else 0. A "://" later in
 * the text, as in "/go?to=http://x", is no scheme. */
static size_t urlcommand_scheme_length(const char *location)
{
    if (!isalpha((unsigned char)location[0]))
        return 0;
    size_t n = 1;
    while (isalnum((unsigned char)location[n]) || location[n] == '+' || location[n] == '-' ||
           location[n] == '.')
        n++;
    return strncmp(location + n, "://", 3) == 0 ? n : 0;
}

/* The request's host and port: its own host, else the Host header split
 * into host and port (the request's port when the header names none).
 * False when there is neither, or the Host header does not parse. */
static bool urlcommand_request_host(const HEADER *header, std::string *host, int *port)
{
    if (header->host && *header->host) {
        *host = header->host;
        *port = header->port;
        return true;
    }
    if (!header->host_header || !*header->host_header)
        return false;
    char *name = nullptr;
    int parsed_port = header->port;
    bool explicit_port = false;
    if (header_hostport_parse(header->host_header, strlen(header->host_header), &name,
                              &parsed_port, &explicit_port) != HEADER_OK)
        return false;
    *host = name;
    *port = parsed_port;
    free(name);
    return true;
}

char *url_command_add(CONNECTION_T *conn, const char *location)
{
    const HEADER *header = conn->header;
    if (!location)
        return nullptr;
    if (!header || !conn->urlcommands || !conn->urlcommands[0] || !header->protocol)
        return urlcommand_strndup(location, strlen(location));

    std::unique_ptr<char, void (*)(void *)> rendered(url_command_create(conn->urlcommands), free);
    std::string commands = urlcommand_location_text(rendered.get());
    std::string protocol = header->protocol;
    std::string out;

    size_t scheme = urlcommand_scheme_length(location);
    if (scheme > 0) {
        /* Commands do not follow a change of scheme. */
        if (scheme != protocol.size() || strncasecmp(location, protocol.c_str(), scheme) != 0)
            return urlcommand_strndup(location, strlen(location));
        out = protocol + "://" + commands + (location + scheme + 3);
    } else if (location[0] == '/' && location[1] == '/') {
        out = protocol + "://" + commands + (location + 2);
    } else {
        std::string host;
        int port = 0;
        if (!urlcommand_request_host(header, &host, &port))
            return urlcommand_strndup(location, strlen(location));
        out = protocol + "://" + commands + host + ":" + std::to_string(port);
        if (location[0] == '/') {
            out += location;
        } else {
            /* Relative to the directory of the request path; a "/" inside
             * the query is not a directory. */
            std::string path = header->path ? header->path : "/";
            path = path.substr(0, path.find('?'));
            size_t slash = path.rfind('/');
            out += slash == std::string::npos ? std::string("/") : path.substr(0, slash + 1);
            out += location;
        }
    }

    if (out.size() > URL_COMMAND_LOCATION_MAX) {
        /* A cut URL would lead somewhere else; the target without the
         * commands is still the right page. */
        putlog(LOG_URLCOMMAND, "redirect target over %d characters, commands not added",
               URL_COMMAND_LOCATION_MAX);
        return urlcommand_strndup(location, strlen(location));
    }
    return urlcommand_strndup(out.c_str(), out.size());
}

/* Decodes text as url_decode does ("+" a blank, "%" with up to two hex
 * digits a byte, a decoded NUL the end) into out, and records in offsets,
 * for each decoded byte, where in text it began, plus the offset of the
 * first byte not decoded. */
static void urlcommand_decode_mapped(const char *text, std::string *out,
                                     std::vector<size_t> *offsets)
{
    size_t len = strlen(text);
    size_t i = 0;
    while (i < len) {
        char c = text[i];
        size_t next = i + 1;
        if (c == '+') {
            c = ' ';
        } else if (c == '%' && i + 1 < len) {
            size_t take = i + 2 < len ? 2 : 1;
            int value = 0;
            for (size_t k = 1; k <= take; k++) {
                unsigned char h = (unsigned char)text[i + k];
                int v = hex_digit(h);
                if (v < 0)
                    break;
                value = value * 16 + v;
            }
            c = (char)value;
            next = i + 1 + take;
        }
        if (c == '\0')
            break;
        out->push_back(c);
        offsets->push_back(i);
        i = next;
    }
    offsets->push_back(i);
}

/* Makes commands the request's commands, freeing any held before. */
static void urlcommand_take(CONNECTION_T *conn, url_command_t **commands)
{
    if (conn->urlcommands != commands)
        url_command_free(conn->urlcommands);
    conn->urlcommands = commands;
}

/* The commands of the request itself, taken off its Host header, first
 * path segment or host. */
static url_command_t **urlcommand_from_request(HEADER *header)
{
    if (header->type == HEADER_ORIGIN) {
        if (header->host_header)
            return url_command_parse(header->host_header);
        if (!header->path || header->path[0] != '/')
            return nullptr;
        const char *segment_end = strchr(header->path + 1, '/');
        if (!segment_end)
            return nullptr;   /* a path without a second "/" stays as it is */
        std::unique_ptr<char, void (*)(void *)> segment(
            url_decode(header->path + 1, (size_t)(segment_end - header->path - 1)), free);
        url_command_t **commands = url_command_parse(segment.get());
        if (commands)
            memmove(header->path, segment_end, strlen(segment_end) + 1);
        return commands;
    }

    if (!header->host)
        return nullptr;
    url_command_t **commands = url_command_parse(header->host);
    if (commands)
        header_complete(header);
    return commands;
}

int url_command_extract(CONNECTION_T *conn)
{
    urlcommand_take(conn, nullptr);
    HEADER *header = conn->header;
    if (!header)
        return 1;
    urlcommand_take(conn, urlcommand_from_request(header));
    if (header->referer)
        return urlcommand_referer(conn);
    return 1;
}

/* The Referer rule. Returns 1 to go on, 0 when the client was sent the
 * redirect that adds the Referer's commands. */
static int urlcommand_referer(CONNECTION_T *conn)
{
    HEADER *header = conn->header;
    const char *referer = header->referer;
    const char *separator = strstr(referer, "://");
    size_t start = separator ? (size_t)(separator - referer) + 3 : 0;

    std::string decoded;
    std::vector<size_t> offsets;
    urlcommand_decode_mapped(referer + start, &decoded, &offsets);
    std::vector<char> text(decoded.begin(), decoded.end());
    text.push_back('\0');
    url_command_t **commands = url_command_parse(text.data());
    if (!commands)
        return 1;

    /* The labels leave the Referer; every other byte stays as the client
     * wrote it. */
    size_t consumed = decoded.size() - strlen(text.data());
    std::string cleaned = std::string(referer, start) + (referer + start + offsets[consumed]);
    header_field_set(&header->referer, cleaned.c_str());

    if (conn->urlcommands) {
        url_command_free(commands);   /* the request's own commands win */
        return 1;
    }
    std::string host;
    int port = 0;
    if (!header->method || strcmp(header->method, "GET") != 0 ||
        !urlcommand_request_host(header, &host, &port)) {
        urlcommand_take(conn, commands);
        return 1;
    }
    return urlcommand_redirect(conn, commands);
}

/* Sends the 302 to the request's own URL with commands in front of its
 * host, then frees commands. Always returns 0: the request is answered
 * (or its client is gone). */
static int urlcommand_redirect(CONNECTION_T *conn, url_command_t **commands)
{
    const HEADER *request = conn->header;
    std::string host;
    int port = 0;
    bool have_host = urlcommand_request_host(request, &host, &port);
    ASSERT(have_host);   /* the caller checked it */

    std::unique_ptr<char, void (*)(void *)> rendered(url_command_create(commands), free);
    url_command_free(commands);
    std::string location = std::string(request->protocol ? request->protocol : "http") + "://" +
                           urlcommand_location_text(rendered.get()) + host + ":" +
                           std::to_string(port) + (request->path ? request->path : "/");

    std::unique_ptr<HEADER, void (*)(HEADER *)> response(header_new(), http_header_free);
    response->type = HEADER_RESPONSE;
    response->version = 2;
    response->status = 302;
    response->content_length = 0;
    response->flags |= HEADER_HAS_LENGTH;
    header_field_set(&response->location, location.c_str());
    header_field_set(&response->cache_control, "no-cache");

    /* A body the client sent with its GET was never read; the connection
     * cannot carry another request after it. */
    if (((request->flags & HEADER_HAS_LENGTH) && request->content_length > 0) || request->chunked)
        conn->keepalive_client = 0;

    conn->logentry.set_cachecode(CC_TCP_MISS);
    conn->logentry.set_peercode(PC_DIRECT);
    conn->logentry.peer = "quillmere";
    conn->logentry.status = 302;
    conn->logentry.size = 0;
    conn->logentry.mime.clear();

    if (header_send(response.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
    putlog(LOG_URLCOMMAND, "redirected to carry the commands of the Referer: %s",
           log_text(location.c_str(), URL_COMMAND_LOG_TEXT_MAX).c_str());
    return 0;
}
