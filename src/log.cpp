/*
 * The three logs. putlog formats one line into the caller's own buffer and
 * writes it with a single locked write, so lines from different threads never
 * interleave; every line but a debug line is also kept in a ring in memory
 * for the web interface. The two access logs take one record per request
 * from the connection's LogEntry. Each record's fields are escaped so that no
 * value sent by a client or server can add a line or shift a field.
 *
 * Rotation is requested by SIGUSR1 and done by the next writer of each file,
 * under that file's lock: the file is moved aside under a time-stamped name
 * and a new one started.
 */
#include "log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <atomic>

#include "locks.h"
#include "mem.h"
#include "misc.h"
#include "options.h"

/* One log file: its path variable, descriptor, rotation flag and lock. */
struct LOGFILE {
    const char *path;
    int fd;
    int rotate;   /* -1: rotate at the next write; else 0 */
    pthread_mutex_t lock;
    bool whole;   /* fd's file ends with a whole record written through it */
};

static LOGFILE native_log = { logfile, -1, 0, PTHREAD_MUTEX_INITIALIZER, false };
static LOGFILE access_log = { slogfile, -1, 0, PTHREAD_MUTEX_INITIALIZER, false };
static LOGFILE extended_log = { elogfile, -1, 0, PTHREAD_MUTEX_INITIALIZER, false };

static bool log_write_all(int fd, const char *data, size_t len);

/* Set after the console's reader went away (EPIPE on standard output in
 * the foreground): the echo stops for good, so a broken pipe cannot feed
 * itself with one "Broken pipe" line after another. */
static std::atomic<bool> log_console_broken{false};
static void log_rotate_locked(LOGFILE *file);
static bool log_open_locked(LOGFILE *file);
static void log_record(LOGFILE *file, const char *legend, const std::string &record);

const char *access_legend =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
    "username peercode/peer mime\n";
const char *apache_legend =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method "
    "proto://url\" status size \"http_referer\" \"useragent\" mime \"filter_name "
    "filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\n";

const char *log_prefix(int level)
{
    switch (level) {
    case LOG_ADVICE: return "advice: ";
    case LOG_REQUEST: return "request: ";
    case LOG_NETWORK: return "network: ";
    case LOG_URLFILTER: return "url filter: ";
    case LOG_HEADER: return "header: ";
    case LOG_MIMEFILTER: return "mime filter: ";
    case LOG_COOKIEFILTER: return "cookie filter: ";
    case LOG_REDIRECT: return "redirect: ";
    case LOG_TEMPLATE: return "template: ";
    case LOG_KEYWORDFILTER: return "keyword filter: ";
    case LOG_REWRITE: return "rewriting: ";
    case LOG_LIMITS: return "limits: ";
    case LOG_CACHE: return "cache: ";
    case LOG_PREFETCH: return "prefetch: ";
    case LOG_ICP: return "ICP: ";
    case LOG_FORWARD: return "forwarding: ";
    case LOG_SYNC: return "sync: ";
    case LOG_ANTIVIRUS: return "antivirus: ";
    case LOG_EXTERNAL: return "external: ";
    case LOG_ICAP: return "ICAP: ";
    case LOG_DNSBL: return "dnsbl: ";
    case LOG_URLBL: return "URL blacklist: ";
    case LOG_URLCOMMAND: return "URL command: ";
    case LOG_MODULE: return "module: ";
    case LOG_SECURITY: return "security: ";
    case LOG_WARNING: return "warning: ";
    case LOG_ERROR: return "error: ";
    case LOG_PROFILES: return "profiles: ";
    case LOG_DEBUG: return "debug: ";
    case LOG_VERIFY: return "verify: ";
    default: return "";
    }
}

std::string log_text(const char *text, size_t length, size_t max)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    size_t n = std::min(length, max);
    out.reserve(n);
    for (size_t i = 0; i < n; i++) {
        unsigned char c = (unsigned char)text[i];
        if (c < 0x20 || c > 0x7e || c == '\\') {
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    if (n < length)
        out += "...";
    return out;
}

std::string log_text(const char *text, size_t max)
{
    if (!text)
        return std::string();
    return log_text(text, strnlen(text, max < SIZE_MAX ? max + 1 : max), max);
}

std::string log_text(const std::string &text, size_t max)
{
    return log_text(text.data(), text.size(), max);
}

/* The calling thread's log tag. */
static thread_local unsigned log_thread_clientid = 0;

void log_set_clientid(unsigned id)
{
    log_thread_clientid = id;
}

unsigned log_clientid()
{
    return log_thread_clientid;
}

bool log_wanted(int level)
{
    return level == LOG_ADVICE || (level & loglevel) != 0;
}

bool log_rate_allow(LOG_RATE *rate, long long *suppressed)
{
    int64_t now = monotonic_ms();
    int64_t last = rate->last_ms.load();
    if ((last != 0 && now - last < 1000) || !rate->last_ms.compare_exchange_strong(last, now)) {
        rate->suppressed.fetch_add(1);
        return false;
    }
    *suppressed = (long long)rate->suppressed.exchange(0);
    return true;
}

void putlog(int level, const char *format, ...)
{
    if (level == LOG_DEBUG && !(loglevel & LOG_DEBUG))
        return;

    char line[8192];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    size_t len = strftime(line, sizeof line, "%Y %m %d %H:%M:%S", &tm);

    /* A thread that never set its id (a library's, or one between clients)
     * is tagged 0. */
    int n = snprintf(line + len, sizeof line - len, " [%u] %s", log_thread_clientid,
                     log_prefix(level));
    if (n > 0)
        len += std::min((size_t)n, sizeof line - 1 - len);

    va_list ap;
    va_start(ap, format);
    n = vsnprintf(line + len, sizeof line - len, format, ap);
    va_end(ap);
    if (n > 0)
        len += std::min((size_t)n, sizeof line - 1 - len);

    if (level != LOG_DEBUG && global && global->logbuffer)
        logbuffer_add(global->logbuffer, line);

    if (len == 0 || line[len - 1] != '\n') {
        if (len >= sizeof line - 1)
            len = sizeof line - 2;
        line[len++] = '\n';
        line[len] = '\0';
    }

    if (level != LOG_ADVICE && !(level & loglevel))
        return;
    if (!daemonize && !log_console_broken.load(std::memory_order_relaxed) &&
        !log_write_all(STDOUT_FILENO, line, len) && errno == EPIPE)
        log_console_broken.store(true, std::memory_order_relaxed);
    if (logfile[0] == '\0')
        return;

    MutexGuard guard(&native_log.lock);
    if (native_log.rotate == -1 && native_log.fd != -1)
        log_rotate_locked(&native_log);
    if (native_log.fd != -1 || log_open_locked(&native_log))
        log_write_all(native_log.fd, line, len);
}

void log_close()
{
    for (LOGFILE *file : { &native_log, &access_log, &extended_log }) {
        MutexGuard guard(&file->lock);
        if (file->fd != -1)
            close(file->fd);
        file->fd = -1;
        file->rotate = 0;
    }
}

int log_native_fd()
{
    return native_log.fd;
}

/* Writes every byte, resuming after short writes and interrupted calls. A
 * write that fails for any other reason loses the rest of the line and
 * returns false with errno set. */
static bool log_write_all(int fd, const char *data, size_t len)
{
    while (len > 0) {
        ssize_t w = write(fd, data, len);
        if (w < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += w;
        len -= (size_t)w;
    }
    return true;
}

/* Opens the file for appending. Opened without the descriptor relief of
 * s_open64: that relief logs, and the caller holds this file's lock. */
static bool log_open_locked(LOGFILE *file)
{
    /* Read as well: a record checks the last byte before it. */
    file->fd = open(file->path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    file->whole = false;
    return file->fd != -1;
}

/* Moves the open file aside as DIR/YYYYmmddHHMMSS-NAME and leaves the
 * descriptor closed so the next write starts a new file. A second rotation
 * within the same second gets ".1", ".2", ... appended instead of replacing
 * the first one's file. A path without a directory is not moved. */
static void log_rotate_locked(LOGFILE *file)
{
    file->rotate = 0;
    fsync(file->fd);
    const char *slash = strrchr(file->path, '/');
    if (!slash)
        return;

    char stamp[32];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);

    char target[512];
    int dirlen = (int)(slash - file->path);
    snprintf(target, sizeof target, "%.*s/%s-%s", dirlen, file->path, stamp, slash + 1);
    size_t base_len = strlen(target);
    for (int i = 1; access(target, F_OK) == 0 && i < 1000; i++)
        snprintf(target + base_len, sizeof target - base_len, ".%d", i);

    close(file->fd);
    file->fd = -1;
    rename(file->path, target);
}

void logrotate()
{
    putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
    for (LOGFILE *file : { &native_log, &access_log, &extended_log }) {
        MutexGuard guard(&file->lock);
        file->rotate = -1;
    }
}

/* ---- the in-memory log ---- */

LOGBUFFER *logbuffer_create(int size)
{
    LOGBUFFER *buffer = (LOGBUFFER *)xmalloc(sizeof(LOGBUFFER));
    if (!buffer)
        return nullptr;
    pthread_rwlock_init(&buffer->lock, nullptr);
    buffer->size = size < 0 ? 0 : size;   /* count and the list: zero fill */
    return buffer;
}

void logbuffer_free(LOGBUFFER *buffer)
{
    logbuffer_clear(buffer);
    pthread_rwlock_destroy(&buffer->lock);
    free(buffer);
}

/* Unlinks and frees the oldest line; the caller holds the write lock. */
static void logbuffer_drop_oldest(LOGBUFFER *buffer)
{
    LOGBUFFER_LIST *old = buffer->oldest;
    buffer->oldest = old->newer;
    if (buffer->oldest)
        buffer->oldest->older = nullptr;
    else
        buffer->newest = nullptr;
    free(old->line);
    free(old);
    buffer->count--;
}

void logbuffer_add(LOGBUFFER *buffer, const char *line)
{
    /* Made before the lock is taken, and not through xmalloc: the failure
     * line of either would come back here. */
    LOGBUFFER_LIST *node = (LOGBUFFER_LIST *)malloc(sizeof(LOGBUFFER_LIST));
    char *copy = strdup(line);
    if (!node || !copy)
        FATAL_ALLOC(sizeof(LOGBUFFER_LIST) + strlen(line));
    WriteGuard guard(&buffer->lock);
    if (buffer->size <= 0) {
        free(copy);
        free(node);
    } else {
        node->line = copy;
        node->older = buffer->newest;
        node->newer = nullptr;
        if (buffer->newest)
            buffer->newest->newer = node;
        else
            buffer->oldest = node;
        buffer->newest = node;
        buffer->count++;
        while (buffer->count > buffer->size)
            logbuffer_drop_oldest(buffer);
    }
}

void logbuffer_resize(LOGBUFFER *buffer, int size)
{
    if (size < 0)
        return;
    WriteGuard guard(&buffer->lock);
    while (buffer->count > size)
        logbuffer_drop_oldest(buffer);
    buffer->size = size;
}

void logbuffer_clear(LOGBUFFER *buffer)
{
    WriteGuard guard(&buffer->lock);
    while (buffer->count > 0)
        logbuffer_drop_oldest(buffer);
}

/* ---- access-log records ---- */

LogEntry::LogEntry()
    : cache_code(0), peer_code(0), client("-"), end_time{0, 0}, status(0), size(0), url("-"),
      username("-"), peer("-"), mime("-"), useragent("-"), referer("-"), filter_name("-"),
      filtering_reason("-"), profiles("-"), client_id(0)
{
    gettimeofday(&start_time, nullptr);
}

/* The fields marked as carried over keep the previous request's value until
 * the request code writes them again; client, method, referer and user agent
 * are request data and start over with every request. */
void LogEntry::Reset()
{
    cache_code = 0;
    peer_code = 0;
    client = address;   /* the last request's X-Forwarded-For does not carry over */
    gettimeofday(&start_time, nullptr);
    status = 0;
    size = 0;
    method.clear();
    url = "-";
    peer = "-";
    mime = "-";
    useragent = "-";
    referer = "-";
    filter_name = "-";
    filtering_reason = "-";
    profiles = "-";
}

const char *LogEntry::cachecode() const
{
    static const char *const names[] = {
        "UNSPECIFIED", "TCP_HIT", "TCP_MISS", "TCP_REFRESH_HIT", "TCP_REF_FAIL_HIT",
        "TCP_REFRESH_MISS", "TCP_CLIENT_REFRESH", "TCP_IMS_HIT", "TCP_IMS_MISS", "TCP_DENIED",
        "UDP_HIT", "UDP_MISS", "UDP_HIT_OBJ", "UDP_DENIED", "UDP_INVALID",
    };
    if (cache_code < 0 || cache_code >= (int)(sizeof names / sizeof names[0]))
        return "UNSPECIFIED";
    return names[cache_code];
}

const char *LogEntry::peercode() const
{
    static const char *const names[] = {
        "NONE", "DIRECT", "FIREWALL_IP_DIRECT", "FIRST_PARENT_MISS", "FIRST_UP_PARENT",
        "LOCAL_IP_DIRECT", "SIBLING_HIT", "NO_DIRECT_FAIL", "NO_PARENT_DIRECT", "PARENT_HIT",
        "SINGLE_PARENT", "SOURCE_FASTEST", "PARENT_UDP_HIT_OBJ", "SIBLING_UDP_HIT_OBJ",
        "PASSTHROUGH_PARENT", "SSL_PARENT_MISS", "DEFAULT_PARENT", "ROUNDROBIN_PARENT",
        "CLOSEST_PARENT_MISS", "CLOEST_DIRECT",
    };
    if (peer_code < 0 || peer_code >= (int)(sizeof names / sizeof names[0]))
        return "NONE";
    return names[peer_code];
}

std::string log_field(const std::string &value, bool quoted)
{
    if (value.empty())
        return "-";
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size());
    for (unsigned char c : value) {
        bool escape = c < 0x20 || c == 0x7f || (!quoted && c == ' ') || (quoted && c == '"');
        if (escape) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += (char)c;
        }
    }
    return out;
}

std::string LogEntry::Build()
{
    gettimeofday(&end_time, nullptr);
    std::string f_client = log_field(client, false), f_method = log_field(method, false),
                f_url = log_field(url, false), f_user = log_field(username, false),
                f_peer = log_field(peer, false), f_mime = log_field(mime, false);
    std::string out(f_client.size() + f_method.size() + f_url.size() + f_user.size() +
                        f_peer.size() + f_mime.size() + 1024,
                    '\0');
    int n = snprintf(&out[0], out.size(), "%lu.%.3d %lld %s %s/%d %lld %s %s %s %s/%s %s",
                     (unsigned long)start_time.tv_sec, (int)(start_time.tv_usec / 1000),
                     (long long)timeval_diff_ms(&start_time, &end_time), f_client.c_str(),
                     cachecode(), status, (long long)size, f_method.c_str(), f_url.c_str(),
                     f_user.c_str(), peercode(), f_peer.c_str(), f_mime.c_str());
    out.resize(n > 0 ? std::min((size_t)n, out.size() - 1) : 0);
    out += '\n';   /* a record is complete, for tail -f, once written */
    return out;
}

std::string LogEntry::apache_Build()
{
    gettimeofday(&end_time, nullptr);
    char date[64];
    time_t now = end_time.tv_sec;
    struct tm tm;
    localtime_r(&now, &tm);
    strftime(date, sizeof date, "[%d/%b/%Y:%H:%M:%S]", &tm);

    std::string f_ip = log_field(interface_ip, true), f_port = log_field(interface_port, true),
                f_client = log_field(client, false), f_user = log_field(username, true),
                f_method = log_field(method, true), f_url = log_field(url, true),
                f_referer = log_field(referer, true), f_agent = log_field(useragent, true),
                f_mime = log_field(mime, false), f_filter = log_field(filter_name, true),
                f_reason = log_field(filtering_reason, true),
                f_profiles = log_field(profiles, true);
    std::string out(2 * (f_ip.size() + f_port.size()) + f_client.size() + f_user.size() +
                        f_method.size() + f_url.size() + f_referer.size() + f_agent.size() +
                        f_mime.size() + f_filter.size() + f_reason.size() + f_profiles.size() +
                        1024,
                    '\0');
    int n = snprintf(&out[0], out.size(),
                     "\"%lu.%.3d-%u-%s-%s\" %lld %s \"%s\" \"%u\" %s \"%s %s\" %d %lld \"%s\" "
                     "\"%s\" %s \"%s %s\" \"%s\" \"%s:%s\"",
                     (unsigned long)start_time.tv_sec, (int)(start_time.tv_usec / 1000),
                     client_id, f_ip.c_str(), f_port.c_str(),
                     (long long)timeval_diff_ms(&start_time, &end_time), f_client.c_str(),
                     f_user.c_str(), client_id, date, f_method.c_str(), f_url.c_str(), status,
                     (long long)size, f_referer.c_str(), f_agent.c_str(), f_mime.c_str(),
                     f_filter.c_str(), f_reason.c_str(), f_profiles.c_str(), f_ip.c_str(),
                     f_port.c_str());
    out.resize(n > 0 ? std::min((size_t)n, out.size() - 1) : 0);
    out += '\n';   /* a record is complete, for tail -f, once written */
    return out;
}

/* Appends a record, which ends with its newline, with the legend and an
 * empty line first when the file is empty. A file
 * that cannot be opened loses the record; the next record tries again. */
static void log_record(LOGFILE *file, const char *legend, const std::string &record)
{
    if (file->path[0] == '\0')
        return;
    MutexGuard guard(&file->lock);
    if (file->rotate == -1 && file->fd != -1)
        log_rotate_locked(file);
    if (file->fd != -1 || log_open_locked(file)) {
        /* The file's end is looked at once per descriptor: after a whole
         * record of ours it is known to end a line. */
        off_t end = file->whole ? 1 : lseek(file->fd, 0, SEEK_END);
        char last = '\n';
        if (end == 0) {
            /* The legend, then an empty line before the records. */
            log_write_all(file->fd, legend, strlen(legend));
            log_write_all(file->fd, "\n", 1);
        } else if (!file->whole && end > 0 && pread(file->fd, &last, 1, end - 1) == 1 &&
                   last != '\n') {
            /* A file whose last record was left open: close it first. */
            log_write_all(file->fd, "\n", 1);
        }
        file->whole = log_write_all(file->fd, record.data(), record.size());
    }
}

void LogEntry::Write()
{
    log_record(&access_log, access_legend, Build());
}

void LogEntry::apache_Write()
{
    log_record(&extended_log, apache_legend, apache_Build());
}
