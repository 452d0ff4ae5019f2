/*
 * What the virus-scanner adapters share. Each adapter hands a buffered
 * response body to its daemon (streamed over the connection, or written to
 * a temporary file whose name it sends) and reads a short reply. Daemons
 * are untrusted peers: every connect, write and read here has a deadline,
 * every reply line a size limit, and a daemon that cannot be reached or
 * understood lets the response through (the caller logs why). The verdicts
 * are kept on the connection so that a cached object is marked clean only
 * when a scanner really passed it.
 */
#include "scanner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "cache.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "log.h"
#include "misc.h"
#include "network.h"
#include "profiles.h"
#include "templates.h"

static int scanner_connect_unix(const std::string &path, int timeout_s);
static int scanner_wait(int fd, short events, int64_t deadline_ms);
static int64_t scanner_deadline(int timeout_s);

/* The largest block one recv takes while a reply line is read. */
#define SCANNER_READ_BLOCK 1024

/* ---- The section ---- */

ScannerSection::ScannerSection(const char *name, int skip_level, const char *skip_text)
    : Section(name, SECTION_RWLOCK), skip_level(skip_level), skip_text(skip_text)
{
}

void ScannerSection::update()
{
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        const FieldVector &f = item.fields;
        rules.emplace_back();
        ScannerRule &r = rules.back();
        r.enabled = f[0].value != 0;
        r.comment = f[1].text;
        r.profiles = f[2].list;
        r.template_name = f[3].text;
    }
}

const ScannerRule *ScannerSection::find(CONNECTION_T *conn) const
{
    if (fields[0].value == 0 || (conn->bypass & BYPASS_ANTIVIRUS))
        return nullptr;
    for (const ScannerRule &r : rules)
        if (r.enabled && profile_find(conn->profiles, r.profiles))
            return &r;
    return nullptr;
}

std::string ScannerSection::template_choose(const ScannerRule *rule, int template_field) const
{
    if (!rule->template_name.empty())
        return rule->template_name;
    if (!fields[template_field].text.empty())
        return fields[template_field].text;
    return "virus";
}

int ScannerSection::check_match(CONNECTION_T *conn)
{
    bool applies;
    {
        SectionReadGuard guard(*this);
        applies = find(conn) != nullptr;
    }
    if (!applies)
        return 0;
    if (!(conn->flags & CONN_WRITING_CACHE) && conn->cache && cache_section &&
        (cache_section->flag_get(conn->cache) & CACHE_CLEAN)) {
        if (log_wanted(skip_level))
            putlog(skip_level, "%s", skip_text);
        return 0;
    }
    return 1;
}

/* ---- Verdicts and the block page ---- */

void scanner_verdict_clean(CONNECTION_T *conn)
{
    conn->flags |= CONN_SCAN_CLEAN;
}

void scanner_verdict_failed(CONNECTION_T *conn)
{
    conn->flags |= CONN_SCAN_FAILED;
}

std::string scanner_printable(const char *start, const char *end, size_t max_bytes)
{
    std::string out;
    for (const char *p = start; p < end && out.size() < max_bytes; p++) {
        unsigned char c = (unsigned char)*p;
        out += c < 0x20 || c == 0x7f ? '?' : (char)c;
    }
    return out;
}

int scanner_block(CONNECTION_T *conn, const char *avscanner, const char *filter_name,
                  const std::string &virus, const std::string &page_name, int status)
{
    conn->variables["VIRUSNAME"] = virus;
    conn->variables["AVSCANNER"] = avscanner;
    if (template_section)
        (void)template_section->send_or_close(page_name.c_str(), conn, status);
    else
        conn->keepalive_client = 0;
    conn->logentry.filter_name = filter_name;
    conn->logentry.filtering_reason = virus;
    return 1;
}

/* ---- Connections ---- */

static int64_t scanner_deadline(int timeout_s)
{
    return monotonic_ms() + (int64_t)(timeout_s > 0 ? timeout_s : NET_CONNECT_DEFAULT_TIMEOUT) * 1000;
}

/* Waits until fd is ready for events or the deadline passes. Returns 1
 * when ready (or in error, which the next call reports), 0 at the
 * deadline, -1 when poll fails. */
static int scanner_wait(int fd, short events, int64_t deadline_ms)
{
    for (;;) {
        int64_t left = deadline_ms - monotonic_ms();
        if (left <= 0)
            return 0;
        pollfd p = { fd, events, 0 };
        int n = poll(&p, 1, (int)(left > 60000 ? 60000 : left));
        if (n > 0)
            return 1;
        if (n < 0 && errno != EINTR)
            return -1;
    }
}

static int scanner_connect_unix(const std::string &path, int timeout_s)
{
    sockaddr_un sa;
    memset(&sa, 0, sizeof sa);
    if (path.size() > SCANNER_UNIX_PATH_MAX || path.size() >= sizeof sa.sun_path)
        return SCANNER_CONNECT_FAILED;
    sa.sun_family = AF_UNIX;
    memcpy(sa.sun_path, path.data(), path.size());

    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        putlog(LOG_ERROR, "[system: socket:%d:%s], in %s, unable to open a scanner socket", errno,
               strerror(errno), __func__);
        return SCANNER_CONNECT_FAILED;
    }
    if (connect(fd, (const sockaddr *)&sa, sizeof sa) == 0)
        return fd;
    /* A full listen queue answers EAGAIN on a UNIX socket; wait for room
     * as a TCP connect waits for its handshake. */
    if (errno == EINPROGRESS || errno == EAGAIN) {
        int64_t deadline = scanner_deadline(timeout_s);
        while (scanner_wait(fd, POLLOUT, deadline) == 1) {
            if (connect(fd, (const sockaddr *)&sa, sizeof sa) == 0 || errno == EISCONN)
                return fd;
            if (errno != EAGAIN && errno != EALREADY && errno != EINPROGRESS)
                break;
        }
    }
    close(fd);
    return SCANNER_CONNECT_FAILED;
}

int scanner_connect(const std::string &address, int port, int timeout_s)
{
    if (!address.empty() && address[0] == '/')
        return scanner_connect_unix(address, timeout_s);
    int fd = net_connect(address.c_str(), port, timeout_s > 0 ? timeout_s : -1);
    if (fd == NET_CONNECT_NO_DNS)
        return SCANNER_CONNECT_NO_HOST;
    if (fd < 0)
        return SCANNER_CONNECT_FAILED;
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0 || fcntl(fd, F_SETFL, fl | O_NONBLOCK) < 0) {
        close(fd);
        return SCANNER_CONNECT_FAILED;
    }
    return fd;
}

int scanner_write(int fd, const char *bytes, size_t len, int timeout_s)
{
    int64_t deadline = scanner_deadline(timeout_s);
    while (len > 0) {
        ssize_t n = send(fd, bytes, len, MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            len -= (size_t)n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (scanner_wait(fd, POLLOUT, deadline) != 1)
                return -1;
            continue;
        }
        return -1;
    }
    return 0;
}

ScannerReader::ScannerReader(int fd, int timeout_s) : fd(fd), deadline_ms(scanner_deadline(timeout_s))
{
}

int ScannerReader::line(std::string *out, size_t max_bytes)
{
    out->clear();
    for (;;) {
        size_t lf = pending.find('\n');
        if (lf != std::string::npos && lf < max_bytes) {
            size_t end = lf;
            while (end > 0 && pending[end - 1] == '\r')
                end--;
            out->assign(pending, 0, end);
            pending.erase(0, lf + 1);
            return 1;
        }
        if (pending.size() >= max_bytes)
            return -1;   /* no line feed within the limit */
        if (closed) {
            if (pending.empty())
                return 0;
            /* The daemon ended its reply by closing. */
            size_t end = pending.size();
            while (end > 0 && pending[end - 1] == '\r')
                end--;
            out->assign(pending, 0, end);
            pending.clear();
            return 1;
        }
        char block[SCANNER_READ_BLOCK];
        size_t want = max_bytes - pending.size();
        ssize_t n = recv(fd, block, want < sizeof block ? want : sizeof block, 0);
        if (n > 0) {
            pending.append(block, (size_t)n);
        } else if (n == 0) {
            closed = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (scanner_wait(fd, POLLIN, deadline_ms) != 1)
                return -1;
        } else {
            return -1;
        }
    }
}

ScannerFd::~ScannerFd()
{
    if (fd >= 0)
        close(fd);
}

/* ---- Temporary files ---- */

ScannerTempFile::ScannerTempFile(const Filebuf *body, size_t max_path, int mode)
{
    std::string dir = general_section ? general_section->tempdir_get() : std::string();
    std::string name = dir + "/" SCANNER_TEMP_TEMPLATE;
    if (name.size() > max_path)
        return;

    std::vector<char> area(name.begin(), name.end());
    area.push_back('\0');
    int fd = mkstemp(area.data());
    if (fd < 0) {
        putlog(LOG_ERROR, "[system: mkstemp:%d:%s], in %s, unable to create a temporary file in %s",
               errno, strerror(errno), __func__, dir.c_str());
        return;
    }
    std::string made(area.data());

    const char *p = body ? body->data : nullptr;
    int64_t left = body ? body->size : 0;
    bool ok = true;
    while (ok && left > 0) {
        ssize_t n = write(fd, p, (size_t)(left > (1 << 20) ? (1 << 20) : left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            putlog(LOG_ERROR, "[system: write:%d:%s], in %s, unable to write the temporary file %s",
                   errno, strerror(errno), __func__, made.c_str());
            ok = false;
            break;
        }
        p += n;
        left -= n;
    }
    if (ok && mode != 0600 && fchmod(fd, (mode_t)mode) != 0) {
        putlog(LOG_ERROR, "[system: fchmod:%d:%s], in %s, unable to change the mode of %s", errno,
               strerror(errno), __func__, made.c_str());
        ok = false;
    }
    if (close(fd) != 0 && ok) {
        putlog(LOG_ERROR, "[system: close:%d:%s], in %s, unable to write the temporary file %s",
               errno, strerror(errno), __func__, made.c_str());
        ok = false;
    }
    if (!ok) {
        (void)unlink(made.c_str());
        return;
    }
    path = made;
    size_bytes = body ? body->size : 0;
}

ScannerTempFile::~ScannerTempFile()
{
    if (!path.empty())
        (void)unlink(path.c_str());
}
