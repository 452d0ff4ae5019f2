/*
 * The FTP gateway: an HTTP client asks for an ftp:// URL and gets an HTML
 * listing of a directory, a redirect to the directory form of its URL, or
 * the file itself. The control connection logs in once and then goes to
 * the server pool, so the next request for the same server and login skips
 * the login.
 *
 * A pooled control connection is only useful when nothing is left unread
 * on it, so every command's reply is read to its last line, the
 * preliminary and the final reply of a transfer alike. A path is whether
 * the server changes into it: 250 is a directory, 550 a file whose
 * directory is listed to learn its size and date. Those make the file's
 * Content-Length and Last-Modified, which the cache uses to store the
 * files of anonymous users and to revalidate them against the next
 * listing.
 *
 * The server is not trusted: a reply without a code, a refused command, a
 * transfer shorter or longer than the listing said, a listing without end
 * all end the request with a clear answer. No CR, LF or NUL from the URL
 * ever reaches a command, and a data connection only ever goes to the
 * server itself, whatever address a PASV reply names.
 */
#include "proto_ftp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_map>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "dirlist.h"
#include "dnscache.h"
#include "filebuf.h"
#include "ftp.h"
#include "header.h"
#include "header_io.h"
#include "hooks.h"
#include "interface.h"
#include "interface_diag.h"
#include "log.h"
#include "main.h"
#include "mem.h"
#include "mime.h"
#include "misc.h"
#include "network.h"
#include "protocol.h"
#include "proto_http.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "urlcommand.h"

/* The parts of the request the gateway works with, decoded. */
struct FtpRequest {
    std::string raw_path;   /* the URL's path without the query, as sent */
    std::string path;       /* decoded: the argument of CWD and RETR */
    std::string dir;        /* decoded, up to and including the last "/" */
    std::string file;       /* decoded, after the last "/" */
    CGIMap args;            /* the query parameters */
};

/* Pooled control connections tried before giving up on the pool. */
#define FTP_RECONNECT_MAX 8

/* What a step of protocol_ftp tells the next. */
enum ftp_step { FTP_FAIL = -1, FTP_DONE = 1, FTP_GO_ON = 0 };

static int ftp_timeout();
static bool ftp_safe(const std::string &text);
static bool ftp_decode(const char *start, const char *end, bool plus_blank, std::string *out);
static bool ftp_request_read(CONNECTION_T *conn, FtpRequest *req);
static int ftp_command(CONNECTION_T *conn, const char *verb, const char *argument);
static int ftp_reply(CONNECTION_T *conn, int64_t deadline_ms);
static int ftp_fail(CONNECTION_T *conn);
static void ftp_page(CONNECTION_T *conn, const char *name);
static int ftp_login(CONNECTION_T *conn);
static bool ftp_server_address(CONNECTION_T *conn, struct in_addr *address);
static Socket *ftp_passive(CONNECTION_T *conn, const char *verb, const char *argument);
static Socket *ftp_active(CONNECTION_T *conn, const char *verb, const char *argument);
static int ftp_preliminary(CONNECTION_T *conn);
static int ftp_transfer_end(CONNECTION_T *conn);
static int ftp_listing_read(CONNECTION_T *conn, Filebuf **listing);
static void ftp_actions(CONNECTION_T *conn, FtpRequest *req);
static int ftp_directory(CONNECTION_T *conn, FtpRequest *req);
static int ftp_file(CONNECTION_T *conn, FtpRequest *req);
static int ftp_serve_validated(CONNECTION_T *conn);
static int ftp_fetch(CONNECTION_T *conn, FtpRequest *req, const dir_t *entry);
static bool ftp_body_checks(CONNECTION_T *conn, Filebuf *body);
static void ftp_cache_drop(CONNECTION_T *conn);
static void ftp_complete(CONNECTION_T *conn);
static bool ftp_mime_rules(CONNECTION_T *conn);
static HEADER *ftp_response_new(const std::string &type);

static int ftp_timeout()
{
    int t = ftp_section ? ftp_section->timeout_get() : 0;
    return t > 0 ? t : FTP_TIMEOUT_DEFAULT;
}

static const char *ftp_url(const CONNECTION_T *conn)
{
    return conn->header && conn->header->url ? conn->header->url : "";
}

static const char *ftp_method(const CONNECTION_T *conn)
{
    return conn->header && conn->header->method ? conn->header->method : "";
}

/* Whether text may go into a command: no CR, LF or NUL. */
static bool ftp_safe(const std::string &text)
{
    return text.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
}

/* Decodes start..end ("%xx" escapes; "+" a blank when plus_blank) into
 * out. false when the result would hold a CR, LF or NUL. */
static bool ftp_decode(const char *start, const char *end, bool plus_blank, std::string *out)
{
    *out = url_percent_decode(start, (size_t)(end - start), plus_blank);
    return ftp_safe(*out);
}

/* Splits the request's path into its decoded parts and query parameters.
 * false when a user, password, path segment or parameter would put a CR,
 * LF or NUL into a command. */
static bool ftp_request_read(CONNECTION_T *conn, FtpRequest *req)
{
    const HEADER *h = conn->header;
    const char *full = h->path ? h->path : "/";
    const char *query = strchr(full, '?');
    req->raw_path.assign(full, query ? (size_t)(query - full) : strlen(full));
    if (req->raw_path.empty())
        req->raw_path = "/";

    /* Each segment on its own, so that an escaped "/" stays in its name. */
    req->path.clear();
    const char *p = req->raw_path.c_str();
    const char *end = p + req->raw_path.size();
    std::string piece;
    while (p < end) {
        const char *slash = (const char *)memchr(p, '/', (size_t)(end - p));
        const char *stop = slash ? slash : end;
        if (!ftp_decode(p, stop, false, &piece))
            return false;
        req->path += piece;
        if (slash)
            req->path += '/';
        p = slash ? slash + 1 : end;
    }
    size_t last = req->path.rfind('/');
    req->dir = last == std::string::npos ? "/" : req->path.substr(0, last + 1);
    req->file = last == std::string::npos ? req->path : req->path.substr(last + 1);

    if (query) {
        /* Parameters are decoded by the form reader, which ends a value at
         * a decoded NUL: catch that before it can shorten a name. */
        std::string decoded;
        const char *q = query + 1;
        if (!ftp_decode(q, q + strlen(q), true, &decoded))
            return false;
        req->args.parse(q);
        for (const auto &arg : req->args)
            if (!ftp_safe(arg.first) || !ftp_safe(arg.second))
                return false;
    }
    if ((h->user && !ftp_safe(h->user)) || (h->password && !ftp_safe(h->password)))
        return false;
    return true;
}

/* Sends "verb[ argument]\r\n" on the control connection. Returns 0, or -1
 * when the argument holds a line break or the write failed. */
static int ftp_command(CONNECTION_T *conn, const char *verb, const char *argument)
{
    std::string line = verb;
    if (!ftp_safe(line))
        return -1;
    if (argument) {
        if (!ftp_safe(argument))
            return -1;
        line += ' ';
        line += argument;
    }
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "ftp: command %s", strcmp(verb, "PASS") == 0 ? "PASS ..." : line.c_str());
    line += "\r\n";
    Socket *s = conn->server;
    if (!s || s->Write(line.data(), (int64_t)line.size()) < 0 || s->Flush() != 0)
        return -1;
    return 0;
}

/* The code of a reply line: three digits, the first 1 to 5, followed by a
 * blank, "-" or the line end; -1 for anything else. *more says whether it
 * is "ddd-". */
static int ftp_line_code(const char *line, bool *more)
{
    if (line[0] < '1' || line[0] > '5' || !isdigit((unsigned char)line[1]) ||
        !isdigit((unsigned char)line[2]))
        return -1;
    char c = line[3];
    if (c != ' ' && c != '-' && c != '\r' && c != '\n' && c != '\0')
        return -1;
    *more = c == '-';
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

/* Reads one whole reply before the deadline (monotonic milliseconds).
 * Returns its code, 0 for one without a code or with too many lines, or -1
 * when none came whole. */
static int ftp_reply(CONNECTION_T *conn, int64_t deadline_ms)
{
    Socket *s = conn->server;
    if (!s)
        return -1;
    char line[FTP_LINE_MAX];
    int code = -1;
    for (int lines = 0; lines < FTP_REPLY_LINES_MAX; lines++) {
        int64_t left_ms = deadline_ms - monotonic_ms();
        if (left_ms <= 0)
            return -1;
        int64_t n = s->GetLine(line, sizeof line, (int)((left_ms + 999) / 1000));
        if (n <= 0)
            return -1;
        bool more = false;
        int c = ftp_line_code(line, &more);
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "ftp: reply %d", c);
        if (code < 0) {
            if (c < 0)
                return 0;
            if (!more)
                return c;
            code = c;
        } else if (c == code && !more) {
            return code;
        }
    }
    return 0;
}

int ftp_code_wait(CONNECTION_T *conn, int code1, int code2)
{
    int64_t deadline = monotonic_ms() + (int64_t)ftp_timeout() * 1000;
    for (int i = 0; i <= FTP_PRELIMINARY_MAX; i++) {
        int code = ftp_reply(conn, deadline);
        if (code < 0)
            return -1;
        if (code >= 100 && code < 200 && code != code1 && code != code2)
            continue;
        return code;
    }
    return 0;
}

/* Ends a failed request: no access-log record, the server connection is
 * not pooled. Returns FTP_FAIL. */
static int ftp_fail(CONNECTION_T *conn)
{
    http_header_free(conn->rheader);
    conn->rheader = nullptr;
    conn->keepalive_server = 0;
    return FTP_FAIL;
}

/* Answers with the template name, status 404. */
static void ftp_page(CONNECTION_T *conn, const char *name)
{
    if (template_section)
        (void)template_section->send_or_close(name, conn, 404);
    else
        conn->keepalive_client = 0;
}

/* A server that answered out of turn: "badresponse", and neither
 * connection is kept. */
static int ftp_bad_response(CONNECTION_T *conn)
{
    putlog(LOG_ERROR, "ftp: Bad response from FTP server for %s %s", ftp_method(conn),
           ftp_url(conn));
    ftp_page(conn, "badresponse");
    conn->keepalive_client = 0;
    return ftp_fail(conn);
}

/* Step 3: the login. Returns FTP_GO_ON when logged in, else FTP_FAIL after
 * the client was answered (or, when a pooled connection's replacement
 * could not be had, left without an answer and the connection closed). */
static int ftp_login(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    const char *user = h->user ? h->user : "";
    const char *password = h->password ? h->password : "";
    bool logged_in = false;
    for (int attempt = 0; attempt < FTP_RECONNECT_MAX && !logged_in; attempt++) {
        if (conn->flags & CONN_SERVER_REUSED) {
            int code = ftp_command(conn, "TYPE", "I") == 0 ? ftp_code_wait(conn, 200, 0) : -1;
            if (code == 200) {
                logged_in = true;
                break;
            }
            if (code >= 0 && code != 421)
                return ftp_bad_response(conn);
            /* A pooled connection the server has closed meanwhile (421: it
             * timed the idle session out). */
            conn->flags &= ~CONN_SERVER_REUSED;
            if (protocol_reconnect(conn) < 0) {
                putlog(LOG_ERROR, "ftp: connection failed again to %s %s", ftp_method(conn),
                       ftp_url(conn));
                conn->keepalive_client = 0;
                return ftp_fail(conn);
            }
            if (conn->flags & CONN_SERVER_REUSED)
                continue;   /* another pooled one */
        }
        /* A fresh connection: the greeting comes first. */
        int code = ftp_code_wait(conn, 220, 0);
        if (code != 220) {
            putlog(LOG_ERROR, "ftp: connection failed to %s %s", ftp_method(conn), ftp_url(conn));
            ftp_page(conn, "noconnect");
            return ftp_fail(conn);
        }
        code = ftp_command(conn, "USER", user) == 0 ? ftp_code_wait(conn, 331, 530) : -1;
        if (code == 530) {
            putlog(LOG_ERROR, "ftp: authentication failed for user: %s", log_text(user, LOG_TEXT_MAX).c_str());
            ftp_page(conn, "badauth");
            return ftp_fail(conn);
        }
        if (code < 0) {
            putlog(LOG_ERROR, "ftp: connection failed to %s %s", ftp_method(conn), ftp_url(conn));
            ftp_page(conn, "noconnect");
            return ftp_fail(conn);
        }
        if (code == 331) {
            code = ftp_command(conn, "PASS", password) == 0 ? ftp_code_wait(conn, 230, 202) : -1;
            if (code < 0 || code == 530) {
                putlog(LOG_ERROR, "ftp: authentication failed for user: %s, reason: invalid password",
                       log_text(user, LOG_TEXT_MAX).c_str());
                ftp_page(conn, "badauth");
                return ftp_fail(conn);
            }
            if (code != 230 && code != 202)
                return ftp_bad_response(conn);
        } else if (code != 230) {
            return ftp_bad_response(conn);
        }
        code = ftp_command(conn, "TYPE", "I") == 0 ? ftp_code_wait(conn, 200, 0) : -1;
        if (code < 0) {
            putlog(LOG_ERROR, "ftp: connection failed to %s %s", ftp_method(conn), ftp_url(conn));
            ftp_page(conn, "noconnect");
            return ftp_fail(conn);
        }
        if (code != 200)
            return ftp_bad_response(conn);
        logged_in = true;
    }
    if (!logged_in) {
        putlog(LOG_ERROR, "ftp: connection failed again to %s %s", ftp_method(conn), ftp_url(conn));
        conn->keepalive_client = 0;
        return ftp_fail(conn);
    }
    /* Logged in: the worker pools the control connection afterwards. */
    conn->flags |= CONN_SERVER_REUSED;
    conn->keepalive_server = 1;
    return FTP_GO_ON;
}

/* The address data connections must reach: the control connection's peer
 * on a direct route; through a SOCKS proxy or a tunnel, the request host's
 * address. */
static bool ftp_server_address(CONNECTION_T *conn, struct in_addr *address)
{
    if (conn->forward_type == FORWARD_DIRECT) {
        struct sockaddr_in peer;
        socklen_t len = sizeof peer;
        if (!conn->server || getpeername(conn->server->fd, (struct sockaddr *)&peer, &len) != 0 ||
            peer.sin_family != AF_INET)
            return false;
        *address = peer.sin_addr;
        return true;
    }
    HOSTENT *host = net_dns(conn->header->host);
    if (!host)
        return false;
    memcpy(&address->s_addr, host->addr, 4);
    hostent_free(host);
    return true;
}

/* Reads the preliminary reply of a transfer command. Returns 0 for 1yz,
 * -1 for none or a refusal. */
static int ftp_preliminary(CONNECTION_T *conn)
{
    int64_t deadline = monotonic_ms() + (int64_t)ftp_timeout() * 1000;
    int code = ftp_reply(conn, deadline);
    if (code >= 100 && code < 200)
        return 0;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "ftp: transfer refused with %d", code);
    return -1;
}

static Socket *ftp_passive(CONNECTION_T *conn, const char *verb, const char *argument)
{
    putlog(LOG_DEBUG, "ftp: setting up a PASV connection mode %s %s", ftp_method(conn),
           ftp_url(conn));
    if (ftp_command(conn, "PASV", nullptr) != 0)
        return nullptr;
    /* The address is read from the reply's line itself, which ftp_reply
     * does not keep: read the single-line 227 here. */
    int64_t deadline = monotonic_ms() + (int64_t)ftp_timeout() * 1000;
    char line[FTP_LINE_MAX];
    struct sockaddr_in *named = nullptr;
    for (int i = 0; i <= FTP_PRELIMINARY_MAX && !named; i++) {
        int64_t left_ms = deadline - monotonic_ms();
        if (left_ms <= 0 || conn->server->GetLine(line, sizeof line, (int)((left_ms + 999) / 1000)) <= 0)
            return nullptr;
        bool more = false;
        int code = ftp_line_code(line, &more);
        if (code == 227 && !more) {
            const char *open = strchr(line, '(');
            named = open ? ftpport_parse(open + 1) : nullptr;
            if (!named)
                return nullptr;
        } else if (code < 100 || code >= 200 || more) {
            return nullptr;   /* refused, or a reply this reading does not expect */
        }
    }
    if (!named)
        return nullptr;
    std::unique_ptr<struct sockaddr_in, void (*)(void *)> hold(named, free);

    struct in_addr server;
    if (!ftp_server_address(conn, &server))
        return nullptr;
    if (named->sin_addr.s_addr != server.s_addr) {
        char said[INET_ADDRSTRLEN], real[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &named->sin_addr, said, sizeof said);
        inet_ntop(AF_INET, &server, real, sizeof real);
        putlog(LOG_SECURITY, "ftp: PASV reply names %s, data connection made to the server %s instead",
               said, real);
    }
    if (ftp_command(conn, verb, argument) != 0)
        return nullptr;
    char address[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &server, address, sizeof address);
    int fd = net_connect(address, ntohs(named->sin_port), ftp_timeout());
    if (fd < 0)
        return nullptr;
    Socket *data = new Socket(fd, SOCKET_MODE_NONBLOCKING);
    if (ftp_preliminary(conn) != 0) {
        delete data;
        return nullptr;
    }
    return data;
}

/* Waits for the server's data connection on listener while watching the
 * control connection: a refusal there ends the wait. Accepts only the
 * server's address. Returns the descriptor, or -1. Sets *preliminary when
 * the 1yz reply was read meanwhile. */
static int ftp_accept(CONNECTION_T *conn, int listener, struct in_addr server, bool *preliminary)
{
    int64_t deadline = monotonic_ms() + (int64_t)ftp_timeout() * 1000;
    Socket *control = conn->server;
    for (;;) {
        int64_t left_ms = deadline - monotonic_ms();
        if (left_ms <= 0)
            return -1;
        if (!*preliminary && control->read_length > 0) {
            if (ftp_preliminary(conn) != 0)
                return -1;
            *preliminary = true;
            continue;
        }
        struct pollfd fds[2] = { { listener, POLLIN, 0 }, { control->fd, POLLIN, 0 } };
        int n = poll(fds, *preliminary ? 1 : 2, (int)(left_ms > 1000 ? 1000 : left_ms));
        if (n < 0 && errno != EINTR)
            return -1;
        if (n <= 0)
            continue;
        if (!*preliminary && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
            if (ftp_preliminary(conn) != 0)
                return -1;
            *preliminary = true;
        }
        if (fds[0].revents & POLLIN) {
            struct sockaddr_in peer;
            socklen_t len = sizeof peer;
            int fd = accept(listener, (struct sockaddr *)&peer, &len);
            if (fd < 0)
                continue;
            if (peer.sin_family == AF_INET && peer.sin_addr.s_addr == server.s_addr)
                return fd;
            char said[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &peer.sin_addr, said, sizeof said);
            putlog(LOG_SECURITY, "ftp: data connection from %s refused: not the server", said);
            close(fd);
        }
    }
}

static Socket *ftp_active(CONNECTION_T *conn, const char *verb, const char *argument)
{
    struct in_addr server;
    struct sockaddr_in local;
    socklen_t len = sizeof local;
    if (!ftp_server_address(conn, &server) ||
        getsockname(conn->server->fd, (struct sockaddr *)&local, &len) != 0 ||
        local.sin_family != AF_INET)
        return nullptr;
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0)
        return nullptr;
    local.sin_port = 0;
    len = sizeof local;
    if (bind(listener, (struct sockaddr *)&local, sizeof local) != 0 || listen(listener, 1) != 0 ||
        getsockname(listener, (struct sockaddr *)&local, &len) != 0) {
        close(listener);
        return nullptr;
    }
    char *port = ftpport_create(&local);
    int code = ftp_command(conn, "PORT", port) == 0 ? ftp_code_wait(conn, 200, 0) : -1;
    free(port);
    if (code != 200 || ftp_command(conn, verb, argument) != 0) {
        close(listener);
        return nullptr;
    }
    bool preliminary = false;
    int fd = ftp_accept(conn, listener, server, &preliminary);
    close(listener);
    if (fd < 0)
        return nullptr;
    Socket *data = new Socket(fd);
    if (!preliminary && ftp_preliminary(conn) != 0) {
        delete data;
        return nullptr;
    }
    return data;
}

Socket *ftp_transfer_setup(CONNECTION_T *conn, const char *verb, const char *argument)
{
    if (!conn->server)
        return nullptr;
    int passive = ftp_section ? ftp_section->passive_get() : 1;
    return passive ? ftp_passive(conn, verb, argument) : ftp_active(conn, verb, argument);
}

/* Reads the final reply of a transfer. Returns 0 for success (2yz), else
 * -1. */
static int ftp_transfer_end(CONNECTION_T *conn)
{
    int code = ftp_code_wait(conn, 226, 250);
    if (code >= 200 && code < 300)
        return 0;
    putlog(LOG_WARNING, "ftp: transfer of %s ended with reply %d", ftp_url(conn), code);
    return -1;
}

/* Lets data stand in for the server socket while fn runs. */
template <typename Fn>
static auto ftp_with_data(CONNECTION_T *conn, Socket *data, Fn fn) -> decltype(fn())
{
    Socket *control = conn->server;
    conn->server = data;
    auto result = fn();
    conn->server = control;
    return result;
}

Filebuf *ftp_transfer_filebuf(CONNECTION_T *conn, Socket *data, int64_t length, int64_t limit,
                              bool *complete)
{
    Filebuf *buffer = new Filebuf(limit);
    *complete = ftp_with_data(conn, data, [&]() {
        if (length > limit)
            return false;
        return net_filebuf_read(buffer, conn, SIDE_SERVER, length) == 1;
    });
    if (length < 0 && !*complete && buffer->size >= limit && log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "ftp: transfer over %lld bytes", (long long)limit);
    return buffer;
}

int64_t ftp_transfer(CONNECTION_T *conn, Socket *data, int64_t length)
{
    return ftp_with_data(conn, data, [&]() { return net_transfer(conn, SIDE_SERVER, length); });
}

int protocol_ftp_read_callback(void *data, int64_t length, const char *bytes)
{
    CONNECTION_T *conn = (CONNECTION_T *)data;
    if ((conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section && length > 0 &&
        cache_section->add(conn->cache, bytes, length) < 0 && (conn->flags & CONN_PREFETCH))
        return -1;
    conn->download_bytes += length;
    if (conn->download_left != ALLOWANCE_UNLIMITED) {
        conn->download_left = conn->download_left > length ? conn->download_left - length : 0;
        if (conn->download_left == 0) {
            conn->flags |= CONN_TRANSFER_FAILED;
            return -1;
        }
    }
    return 0;
}

/* Lists the current directory into *listing (the caller deletes it).
 * Returns FTP_GO_ON, or FTP_FAIL after the client was answered: no data
 * connection ("noconnect"), a listing over FTP_LISTING_MAX, cut short or
 * not confirmed by the server ("badresponse"). */
static int ftp_listing_read(CONNECTION_T *conn, Filebuf **listing)
{
    std::unique_ptr<Socket> data(ftp_transfer_setup(conn, "LIST", nullptr));
    if (!data) {
        putlog(LOG_ERROR, "ftp: failed to LIST %s %s", ftp_method(conn), ftp_url(conn));
        ftp_page(conn, "noconnect");
        return ftp_fail(conn);
    }
    std::unique_ptr<Filebuf> buffer(new Filebuf(FTP_LISTING_MAX));
    bool complete = true;
    char area[16384];
    int timeout = ftp_timeout();
    for (;;) {
        int64_t n = data->Read(area, sizeof area, timeout);
        if (n == 0)
            break;
        if (n < 0 || buffer->Add(area, n) != FILEBUF_OK) {
            complete = false;
            break;
        }
    }
    data.reset();
    if (!complete || ftp_transfer_end(conn) != 0) {
        putlog(LOG_WARNING, "ftp: listing of %s %s after %lld bytes", ftp_url(conn),
               buffer->size >= FTP_LISTING_MAX ? "too long" : "incomplete", (long long)buffer->size);
        conn->flags |= CONN_TRANSFER_FAILED;
        return ftp_bad_response(conn);
    }
    *listing = buffer.release();
    return FTP_GO_ON;
}

/* The listing page's file operations. Each reply is read, so the control
 * connection stays clean for the listing and the pool. */
static void ftp_actions(CONNECTION_T *conn, FtpRequest *req)
{
    const std::string &action = req->args["action"];
    const std::string &argument = req->args["argument"];
    const std::string &filename = req->args["filename"];
    int code = -2;
    if (action == "mkdir" && !argument.empty()) {
        code = ftp_command(conn, "MKD", argument.c_str()) == 0 ? ftp_code_wait(conn, 0, 0) : -1;
    } else if (action == "raw" && !argument.empty()) {
        std::string verb = argument;
        code = ftp_command(conn, verb.c_str(), nullptr) == 0 ? ftp_code_wait(conn, 0, 0) : -1;
    } else if (action == "delete") {
        code = ftp_command(conn, "DELE", filename.c_str()) == 0 ? ftp_code_wait(conn, 0, 0) : -1;
    } else if (action == "rmdir") {
        code = ftp_command(conn, "RMD", filename.c_str()) == 0 ? ftp_code_wait(conn, 0, 0) : -1;
    } else if (action == "rename" && !argument.empty()) {
        code = ftp_command(conn, "RNFR", filename.c_str()) == 0 ? ftp_code_wait(conn, 350, 0) : -1;
        if (code == 350)
            code = ftp_command(conn, "RNTO", argument.c_str()) == 0 ? ftp_code_wait(conn, 0, 0) : -1;
    }
    if (code != -2)
        putlog(LOG_REQUEST, "ftp: action %s on %s: reply %d", log_text(action, LOG_TEXT_MAX).c_str(),
               ftp_url(conn), code);
}

/* Step 5: the path is a directory. */
static int ftp_directory(CONNECTION_T *conn, FtpRequest *req)
{
    if (conn->cache && cache_section) {
        cache_section->invalidate(conn->cache);
        conn->cache = nullptr;
        conn->flags &= ~CONN_REVALIDATE;
    }
    if (req->raw_path.back() != '/') {
        /* The directory's own URL, so that relative links resolve. */
        HEADER *r = header_new();
        r->type = HEADER_RESPONSE;
        r->version = 2;
        r->status = 302;
        r->content_length = 0;
        r->flags |= HEADER_HAS_LENGTH;
        std::string location = req->raw_path + "/";
        header_field_set(&r->location, location.c_str());
        conn->rheader = r;
        if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
            conn->keepalive_client = 0;
        return FTP_DONE;
    }
    if (!req->args["action"].empty())
        ftp_actions(conn, req);
    if (!conn->server) {
        ftp_page(conn, "noconnect");
        return ftp_fail(conn);
    }
    Filebuf *raw = nullptr;
    if (ftp_listing_read(conn, &raw) != FTP_GO_ON)
        return FTP_FAIL;
    std::unique_ptr<Filebuf> listing(raw);
    if (url_command_find(conn->urlcommands, "raw")) {
        show_filebuf(conn, listing.get());
        return FTP_DONE;
    }
    /* A listing is an HTML page: the MIME rules judge it as one. */
    conn->rheader = ftp_response_new("text/html");
    bool passes = (conn->flags & CONN_NOCLIENT) || ftp_mime_rules(conn);
    if (passes) {
        http_header_free(conn->rheader);
        conn->rheader = nullptr;
    }
    if (!passes)
        return FTP_DONE;
    dir_t *list = dir_list_parse(listing.get());
    const std::string &argument = req->args["argument"];
    if (req->args["action"] == "rematch" && !argument.empty())
        list = dir_list_filter(list, argument.c_str());
    const std::string &order = req->args["order"];
    const std::string &field = req->args["field"];
    int field_no = field == "name" ? DIR_SORT_NAME : field == "size" ? DIR_SORT_SIZE
                 : field == "date" ? DIR_SORT_DATE : 0;
    int order_no = order == "ascending" ? DIR_SORT_ASCENDING : order == "descending" ? DIR_SORT_DESCENDING : -1;
    if (field_no != 0 && order_no >= 0)
        list = dir_list_sort(list, order_no, field_no);
    else if (ftp_section && ftp_section->sortfield_get() != FTP_SORT_NONE)
        list = dir_list_sort(list, ftp_section->sortorder_get(), ftp_section->sortfield_get());
    show_dirlist(conn, list);
    dir_list_free(list);
    return FTP_DONE;
}

/* The held object dies: what it holds (or was to hold) did not reach the
 * client whole. */
static void ftp_cache_drop(CONNECTION_T *conn)
{
    if (conn->cache && cache_section) {
        cache_section->invalidate(conn->cache);
        conn->cache = nullptr;
        conn->flags &= ~(CONN_WRITING_CACHE | CONN_REVALIDATE);
    }
}

/* The hooks and response checks on a buffered body. Returns true when the
 * body may be sent; false when one of them answered (the object is then
 * dropped, as a blocked body must never be served from the cache). */
static bool ftp_body_checks(CONNECTION_T *conn, Filebuf *body)
{
    if (body->size <= 0)
        return true;
    if (hooks.Execute(HOOK_PRERESPMOD, conn, body) == 1) {
        ftp_cache_drop(conn);
        return false;
    }
    if (!process_response(conn, body)) {
        conn->logentry.status = conn->rheader ? conn->rheader->status : 200;
        conn->logentry.size = conn->download_bytes;
        conn->logentry.Write();
        conn->logentry.apache_Write();
        ftp_cache_drop(conn);
        return false;
    }
    if (hooks.Execute(HOOK_POSTRESPMOD, conn, body) != 0) {
        ftp_cache_drop(conn);
        return false;
    }
    return true;
}

/* Sends the response header and a buffered body with its length. */
static void ftp_send_buffered(CONNECTION_T *conn, Filebuf *body)
{
    HEADER *r = conn->rheader;
    r->content_length = body->size;
    r->flags |= HEADER_HAS_LENGTH;
    if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0 ||
        (body->size > 0 && http_send_body(conn, body) != 0))
        conn->keepalive_client = 0;
}

/* Step 6.5, confirmed: the stored copy is served. */
static int ftp_serve_validated(CONNECTION_T *conn)
{
    putlog(LOG_CACHE, "ftp: validated: %s", conn->cache->key);
    statincr_cacherefreshhit(conn);
    conn->logentry.set_cachecode(CC_TCP_REFRESH_HIT);
    conn->flags &= ~CONN_REVALIDATE;
    conn->flags |= CONN_VALIDATED;
    cache_section->validated(conn->cache);
    cache_section->view_fill(conn);

    char *text = cache_section->hit_header(conn);
    HEADER *stored = text ? http_header_parse_response(text) : nullptr;
    free(text);
    if (!stored) {
        ftp_cache_drop(conn);
        return ftp_bad_response(conn);
    }
    http_header_free(conn->rheader);
    conn->rheader = stored;
    char age[32];
    snprintf(age, sizeof age, "%lld", (long long)cache_section->hit_age(conn));
    header_field_set(&stored->age, age);
    cache_section->response_framing(conn->cache, conn, stored);
    if (!transfer_limit_check(conn))
        return ftp_fail(conn);
    xcache_header_update(conn, 0);
    if (conn->flags & CONN_BUFFERING) {
        std::unique_ptr<Filebuf> body(cache_section->read_filebuf(conn->cache));
        if (!body) {
            ftp_cache_drop(conn);
            return ftp_bad_response(conn);
        }
        conn->download_bytes += body->size;
        if (!ftp_body_checks(conn, body.get()))
            return ftp_fail(conn);
        ftp_send_buffered(conn, body.get());
        return FTP_DONE;
    }
    if (header_send(stored, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
    else if (!(conn->flags & CONN_HEAD))
        conn->download_bytes += cache_section->send(conn->cache, conn, SIDE_CLIENT);
    return FTP_DONE;
}

/* A transfer that did not end as the listing said: the object dies and the
 * client, which may hold a part, is closed. */
static int ftp_transfer_failed(CONNECTION_T *conn, bool buffered)
{
    conn->flags |= CONN_TRANSFER_FAILED;
    ftp_cache_drop(conn);
    conn->keepalive_client = 0;
    if (buffered)
        return ftp_bad_response(conn);
    putlog(LOG_WARNING, "ftp: transfer of %s %s failed after %lld bytes", ftp_method(conn),
           ftp_url(conn), (long long)conn->download_bytes);
    return ftp_fail(conn);
}

/* Steps 6.6 and 6.7: the file from the server. entry is the file's
 * listing entry, or NULL. */
static int ftp_fetch(CONNECTION_T *conn, FtpRequest *req, const dir_t *entry)
{
    HEADER *h = conn->header;
    HEADER *r = conn->rheader;
    if (entry && h->user && strcasecmp(h->user, "anonymous") == 0 && cache_section && h->url &&
        cacheable(h) && !(conn->flags & CONN_CARP)) {
        int mode = CACHE_WRITING;
        if (conn->flags & CONN_PREFETCH)
            mode |= CACHE_PREFETCHED;
        Filebuf stored;
        if (cache_section->storable(conn, r, mode) &&
            header_send_filebuf(&stored, r, conn, HEADER_SEND_RESPONSE) == FILEBUF_OK &&
            stored.Add("", 1) == FILEBUF_OK) {
            conn->cache = cache_section->cache_open(conn, h->url, stored.data, mode);
            if (conn->cache) {
                putlog(LOG_CACHE, "ftp: create: %s", conn->cache->key);
                conn->flags |= CONN_WRITING_CACHE;
            }
        }
    }
    if (!transfer_limit_check(conn)) {
        ftp_cache_drop(conn);
        return ftp_fail(conn);
    }
    xcache_header_update(conn, 1);
    if (conn->flags & CONN_HEAD) {
        ftp_cache_drop(conn);
        if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
            conn->keepalive_client = 0;
        return FTP_DONE;
    }
    std::unique_ptr<Socket> data(ftp_transfer_setup(conn, "RETR", req->path.c_str()));
    if (!data) {
        ftp_cache_drop(conn);
        putlog(LOG_ERROR, "ftp: failed to retrieve FTP file %s %s", ftp_method(conn), ftp_url(conn));
        ftp_page(conn, "nofile");
        return ftp_fail(conn);
    }
    (void)data->CallBackAdd(protocol_ftp_read_callback, conn, SOCKET_EVENT_READ);
    int64_t expected = entry ? (int64_t)entry->size : -1;
    if (entry && entry->size > (uint64_t)INT64_MAX)
        expected = -1;

    if (conn->flags & CONN_BUFFERING) {
        buffertimeout_set(conn);
        bool complete = false;
        std::unique_ptr<Filebuf> body(
            ftp_transfer_filebuf(conn, data.get(), expected, buffer_limit(conn), &complete));
        /* The server must close the data connection at the file's end. */
        if (complete && expected >= 0) {
            char extra;
            complete = data->Read(&extra, 1, ftp_timeout()) == 0;
        }
        data.reset();
        if (!complete || ftp_transfer_end(conn) != 0)
            return ftp_transfer_failed(conn, true);
        if (conn->flags & CONN_NOCLIENT)
            return FTP_DONE;
        if (!ftp_body_checks(conn, body.get()))
            return ftp_fail(conn);
        ftp_send_buffered(conn, body.get());
        return FTP_DONE;
    }

    if (header_send(r, conn, SIDE_CLIENT, HEADER_SEND_RESPONSE) != 0)
        conn->keepalive_client = 0;
    int64_t moved = ftp_transfer(conn, data.get(), expected);
    bool complete = !(conn->flags & CONN_TRANSFER_FAILED) && (expected < 0 || moved == expected);
    if (complete && expected >= 0) {
        char extra;
        complete = data->Read(&extra, 1, ftp_timeout()) == 0;
    }
    data.reset();
    if (!complete || ftp_transfer_end(conn) != 0)
        return ftp_transfer_failed(conn, false);
    return FTP_DONE;
}

/* Step 6: the path is a file. */
static int ftp_file(CONNECTION_T *conn, FtpRequest *req)
{
    int code = ftp_command(conn, "CWD", req->dir.c_str()) == 0 ? ftp_code_wait(conn, 250, 550) : -1;
    if (code < 0) {
        /* Nothing can be answered that the client could trust. */
        conn->keepalive_client = 0;
        return ftp_fail(conn);
    }
    if (code == 550) {
        putlog(LOG_ERROR, "ftp: file not found %s %s", ftp_method(conn), ftp_url(conn));
        ftp_page(conn, "nofile");
        return ftp_fail(conn);
    }
    if (code != 250)
        return ftp_bad_response(conn);

    Filebuf *raw = nullptr;
    if (ftp_listing_read(conn, &raw) != FTP_GO_ON)
        return FTP_FAIL;
    std::unique_ptr<Filebuf> listing(raw);

    HEADER *r = ftp_response_new(ftp_content_type(req->file));
    conn->rheader = r;
    dir_t *list = dir_list_parse(listing.get());
    std::unique_ptr<dir_t, void (*)(dir_t *)> hold(list, dir_list_free);
    const dir_t *entry = nullptr;
    for (const dir_t *e = list; e && !entry; e = e->next)
        if (req->file == e->name)
            entry = e;
    if (entry) {
        char date[64];
        strftime(date, sizeof date, "%a, %d %b %Y %T GMT", &entry->time);
        header_field_set(&r->last_modified, date);
        r->content_length = (int64_t)entry->size;
        r->flags |= HEADER_HAS_LENGTH;
    } else {
        conn->keepalive_client = 0;
        ftp_cache_drop(conn);
        putlog(LOG_WARNING, "ftp: failed to retrieve FTP file information %s %s", ftp_method(conn),
               ftp_url(conn));
    }
    if (!(conn->flags & CONN_NOCLIENT) && !ftp_mime_rules(conn))
        return FTP_DONE;
    if ((conn->flags & CONN_PROCESSING) && buffer_check(conn))
        conn->flags |= CONN_BUFFERING;
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "buffering: %d processing: %d", (conn->flags & CONN_BUFFERING) ? 1 : 0,
               (conn->flags & CONN_PROCESSING) ? 1 : 0);

    if (conn->cache && cache_section && entry) {
        if (entry->mtime == cache_section->last_modified_get(conn->cache))
            return ftp_serve_validated(conn);
        statdecr_cachehit(conn);
        statincr_cachemiss(conn);
        statincr_cacherefreshmiss(conn);
        conn->logentry.set_cachecode(CC_TCP_REFRESH_MISS);
        putlog(LOG_CACHE, "ftp: validation failed: %s", conn->cache->key);
        ftp_cache_drop(conn);
    }
    return ftp_fetch(conn, req, entry);
}

/* The extensions of the system's type table, read once. */
static const std::unordered_map<std::string, std::string> &ftp_mime_table()
{
    static const std::unordered_map<std::string, std::string> table = [] {
        std::unordered_map<std::string, std::string> out;
        std::ifstream in(FTP_MIME_TYPES);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            std::istringstream words(line);
            std::string type, extension;
            words >> type;
            while (words >> extension) {
                for (char &c : extension)
                    c = (char)tolower((unsigned char)c);
                out.emplace(extension, type);   /* the first line naming it wins */
            }
        }
        return out;
    }();
    return table;
}

std::string ftp_content_type(const std::string &name)
{
    size_t dot = name.rfind('.');
    if (dot != std::string::npos && dot + 1 < name.size() && name.find('/', dot) == std::string::npos) {
        std::string extension = name.substr(dot + 1);
        for (char &c : extension)
            c = (char)tolower((unsigned char)c);
        const auto &table = ftp_mime_table();
        auto found = table.find(extension);
        if (found != table.end())
            return found->second;
    }
    return "application/octet-stream";
}

/* The MIME rules on the response about to go out, as on the HTTP road:
 * before its first byte, on a miss as on a revalidated hit. Returns true
 * when it may go; false when the client got the refusal page (or the
 * "mime" command's page), the access logs recording a refusal. */
static bool ftp_mime_rules(CONNECTION_T *conn)
{
    if (!mime_section)
        return true;
    if (url_command_find(conn->urlcommands, "mime")) {
        mime_section->check_show(conn);
        return false;
    }
    if (mime_section->check_and_block(conn))
        return true;
    conn->logentry.set_cachecode(CC_TCP_DENIED);
    return false;
}

/* The response header of a file or listing of the given type. */
static HEADER *ftp_response_new(const std::string &type)
{
    HEADER *r = header_new();
    r->type = HEADER_RESPONSE;
    r->version = 2;
    r->status = 200;
    header_field_set(&r->content_type, type.c_str());
    header_field_set(&r->mime, type.c_str());
    return r;
}

/* Step 7: the access-log records of a completed request. */
static void ftp_complete(CONNECTION_T *conn)
{
    if (HEADER *r = conn->rheader) {
        conn->logentry.status = r->status;
        conn->logentry.size = conn->download_bytes;
        conn->logentry.mime = r->mime && *r->mime ? r->mime : "text/plain";
        http_header_free(r);
        conn->rheader = nullptr;
    }
    conn->logentry.Write();
    conn->logentry.apache_Write();
}

int protocol_ftp(CONNECTION_T *conn)
{
    HEADER *h = conn->header;
    ASSERT(h != nullptr);
    conn->download_bytes = 0;
    putlog((conn->flags & CONN_PREFETCH) ? LOG_PREFETCH : LOG_REQUEST, "%s %s", ftp_method(conn),
           ftp_url(conn));
    statincr_ftprequests(conn);

    FtpRequest req;
    if (!ftp_request_read(conn, &req)) {
        putlog(LOG_SECURITY, "[IP:%s] ftp: line break or NUL in %s refused", conn->ip ? conn->ip : "",
               ftp_url(conn));
        ftp_page(conn, "badrequest");
        return ftp_fail(conn);
    }
    if (!h->user && ftp_section) {
        header_field_set(&h->user, ftp_section->anonymous_user_get().c_str());
        header_field_set(&h->password, ftp_section->anonymous_password_get().c_str());
    }
    if (!ftp_safe(h->user ? h->user : "") || !ftp_safe(h->password ? h->password : "")) {
        ftp_page(conn, "badrequest");
        return ftp_fail(conn);
    }
    if (ftp_login(conn) != FTP_GO_ON)
        return -1;

    int code = ftp_command(conn, "CWD", req.path.c_str()) == 0 ? ftp_code_wait(conn, 250, 550) : -1;
    int step;
    if (code < 0) {
        putlog(LOG_ERROR, "ftp: failed to change directory to %s", req.raw_path.c_str());
        ftp_page(conn, "noconnect");
        step = ftp_fail(conn);
    } else if (code == 250) {
        step = ftp_directory(conn, &req);
    } else if (code == 550) {
        step = ftp_file(conn, &req);
    } else {
        step = ftp_bad_response(conn);
    }
    if (step != FTP_DONE)
        return -1;
    ftp_complete(conn);
    return 1;
}
