/*
 * The three logs. putlog formats one line into the caller's own buffer and
 * appends it with one write() on an O_APPEND descriptor: the kernel keeps each
 * such write whole against every other writer, so no lock is taken per line
 * and lines from different threads never interleave. The time stamp comes
 * from a per-thread copy of the current second's text. Every line but a debug
 * line is also kept in a ring in memory for the web interface, whose writers
 * take only their own slot's small lock. The two access logs take one record
 * per request from the connection's LogEntry, written the same way. Each
 * record's fields are escaped so that no value sent by a client or server can
 * add a line or shift a field.
 *
 * A line or record is not written by each thread that makes it: a thousand
 * workers appending to one file would queue on the file's write lock in the
 * kernel. Each file has a queue that a line is copied into under a short
 * lock. Once the daemon runs, one writer thread (log_writer_start) takes
 * every queue to its file: woken by the first line after it went to sleep,
 * it waits LOG_LINGER_US for more (less once a queue holds LOG_BATCH
 * bytes) and writes each file's lines with one append, so a busy proxy
 * makes a few hundred writes a second per file however many requests it
 * serves, and a worker appending a line makes no system call at all while
 * the writer is awake. Without the writer (at start-up, in tools and
 * tests, and from the orderly stop on), whichever appender finds no write
 * of that file in progress writes everything queued, and the others only
 * queue; the writing thread looks at the queue again when it is done, so
 * nothing is left behind. Rotation, closing and the orderly stop write
 * what is queued first (log_flush). A queue that the disk cannot keep up
 * with stops its appenders at LOG_QUEUE_MAX until it has been taken:
 * memory stays bounded and nothing is dropped.
 *
 * A file's lock is taken only to open it, to rotate it and to close it. Once
 * opened, a log keeps its descriptor number for the life of the process: a new
 * file is put in its place with dup3(), so a writer that loaded the number
 * just before never writes through a closed descriptor, nor through one
 * reused for a socket or another file.
 *
 * Rotation is requested by SIGUSR1 and done by the next writer of each file,
 * under that file's lock: the file is moved aside under a time-stamped name
 * and a new one started.
 */
#include "log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sched.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <algorithm>
#include <initializer_list>
#include <atomic>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "locks.h"
#include "mem.h"
#include "misc.h"
#include "options.h"

/* A queue this full makes its appenders wait for the thread writing it. */
#define LOG_QUEUE_MAX (4 * 1024 * 1024)
/* A written batch's buffer larger than this gives its memory back. */
#define LOG_QUEUE_KEEP (256 * 1024)
/* How long the writer thread gathers lines after it was woken, and the
 * queue size that makes it write at once. */
#define LOG_LINGER_US 2000
#define LOG_BATCH (64 * 1024)

/* The lines of one file waiting to be written. */
struct LogQueue {
    /* Held to copy one line in: spins a little before it sleeps. */
    pthread_mutex_t lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
    pthread_cond_t room = PTHREAD_COND_INITIALIZER;   /* appenders wait here while it is full */
    std::string pending;
    /* Held by the one thread writing the file, so that batches reach it in
     * their order; batch is that thread's. */
    pthread_mutex_t drain = PTHREAD_MUTEX_INITIALIZER;
    std::string batch;
};

/* One log file. fd is what writers use, without a lock: -1 while the file is
 * not open. The lock serialises opening, rotation and closing. */
struct LOGFILE {
    const char *path;
    const char *const *legend;   /* the access logs' legend line; null for the native log */
    std::atomic<int> fd;
    std::atomic<bool> rotate;    /* rotate at the next write */
    std::atomic<bool> recheck;   /* a write failed: the next record checks the file's end */
    pthread_mutex_t lock;
    int slot;                    /* the descriptor number this log keeps, -1 before the first open */
    LogQueue queue;
};

extern const char *access_legend;
extern const char *apache_legend;

static LOGFILE native_log = { logfile, nullptr, {-1}, {false}, {false}, PTHREAD_MUTEX_INITIALIZER, -1, {} };
static LOGFILE access_log = { slogfile, &access_legend, {-1}, {false}, {false},
                              PTHREAD_MUTEX_INITIALIZER, -1, {} };
static LOGFILE extended_log = { elogfile, &apache_legend, {-1}, {false}, {false},
                                PTHREAD_MUTEX_INITIALIZER, -1, {} };

static bool log_write_all(int fd, const char *data, size_t len);
static bool log_file_write(int fd, const char *data, size_t len);

/* Set after the console's reader went away (EPIPE on standard output in
 * the foreground): the echo stops for good, so a broken pipe cannot feed
 * itself with one "Broken pipe" line after another. */
static std::atomic<bool> log_console_broken{false};
static void log_append(LOGFILE *file, const char *data, size_t len);
static void log_append_now(LOGFILE *file, const char *data, size_t len);
static bool log_replace_slot(LOGFILE *file, int fd);
static void log_settle_end(LOGFILE *file, int fd);

const char *access_legend =
    "#start_time_in_seconds.milliseconds elapsed_time client cachecode/status size method url "
    "username peercode/peer mime\n";
const char *apache_legend =
    "#\"record_id\" elapsed_time client \"username\" \"client_id\" [date] \"HTTP_method "
    "proto://url\" status size \"http_referer\" \"useragent\" mime \"filter_name "
    "filtering_reason\" \"comma_separated_list_of_applied_profiles\" "
    "\"interface_ip:interface_port\" cachecode\n";

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

struct tm log_local_time(time_t now)
{
    static thread_local time_t second = (time_t)-1;
    static thread_local struct tm local;
    if (now != second) {
        if (!localtime_r(&now, &local))
            local = tm();
        second = now;
    }
    return local;
}

/* The calling thread's copy of the current second's text in one format, made
 * again when the second changes: localtime_r takes the C library's time-zone
 * lock, so it runs once a second per thread instead of once per line. The
 * local time of a second does not depend on when it is asked for, so the
 * text, daylight-saving changes included, is the same as formatting it for
 * every line. */
struct LogClock {
    time_t second = (time_t)-1;
    size_t length = 0;
    char text[40];
};

static size_t log_clock_text(LogClock *clock, time_t now, const char *format, char *out,
                             size_t size)
{
    if (now != clock->second) {
        struct tm tm = log_local_time(now);
        clock->length = strftime(clock->text, sizeof clock->text, format, &tm);
        clock->second = now;
    }
    size_t n = std::min(clock->length, size - 1);
    memcpy(out, clock->text, n);
    out[n] = '\0';
    return n;
}

/* Makes a native-log line in line[size]: time stamp, client id, prefix and
 * message, ending in a newline. Returns its length; 0 when a debug line is
 * not wanted. Every line but a debug line enters the in-memory log. */
static size_t log_make_line(int level, const char *format, va_list ap, char *line, size_t size)
{
    if (level == LOG_DEBUG && !(loglevel & LOG_DEBUG))
        return 0;

    static thread_local LogClock line_clock;
    size_t len = log_clock_text(&line_clock, time(nullptr), "%Y %m %d %H:%M:%S", line, size);

    /* A thread that never set its id (a library's, or one between clients)
     * is tagged 0. */
    int n = snprintf(line + len, size - len, " [%u] %s", log_thread_clientid, log_prefix(level));
    if (n > 0)
        len += std::min((size_t)n, size - 1 - len);

    n = vsnprintf(line + len, size - len, format, ap);
    if (n > 0)
        len += std::min((size_t)n, size - 1 - len);

    if (level != LOG_DEBUG && global && global->logbuffer)
        logbuffer_add(global->logbuffer, line);

    if (len == 0 || line[len - 1] != '\n') {
        if (len >= size - 1)
            len = size - 2;
        line[len++] = '\n';
        line[len] = '\0';
    }
    return len;
}

/* Whether a line of this level goes to the file and the console. */
static bool log_level_written(int level)
{
    return level == LOG_ADVICE || (level & loglevel);
}

/* Whether standard output is a regular file that appends. A file given by
 * the shell's ">" is switched to appending the first time a line is echoed:
 * the lines still go to its end, a truncated file is written from its new
 * start instead of past a hole, and the echo can use pwrite, which does
 * not queue every worker on the open file's position lock. */
static bool log_console_prepare()
{
    struct stat st;
    if (fstat(STDOUT_FILENO, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags == -1)
        return false;
    return (flags & O_APPEND) || fcntl(STDOUT_FILENO, F_SETFL, flags | O_APPEND) == 0;
}

/* Writes bytes that are whole lines to standard output in the foreground
 * and to the native log, each with one write. */
static void log_emit(const char *text, size_t len)
{
    if (!daemonize && !log_console_broken.load(std::memory_order_relaxed)) {
        static const bool console_appends = log_console_prepare();
        bool written = console_appends ? log_file_write(STDOUT_FILENO, text, len)
                                       : log_write_all(STDOUT_FILENO, text, len);
        if (!written && errno == EPIPE)
            log_console_broken.store(true, std::memory_order_relaxed);
    }
    log_append(&native_log, text, len);
}

#define LOG_LINE_MAX 8192

/* The calling thread's held line (putlog_held) and the room for the line
 * that follows it, so that both leave in one write. */
struct LogHeld {
    size_t len = 0;
    char text[2 * LOG_LINE_MAX];
};
static thread_local LogHeld log_held;

void log_release_held()
{
    LogHeld &held = log_held;
    if (held.len == 0)
        return;
    size_t len = held.len;
    held.len = 0;
    log_emit(held.text, len);
}

void putlog(int level, const char *format, ...)
{
    if (level == LOG_DEBUG && !(loglevel & LOG_DEBUG))
        return;
    LogHeld &held = log_held;
    va_list ap;
    va_start(ap, format);
    if (held.len > 0 && log_level_written(level)) {
        /* The held line and this one leave in one write. */
        held.len += log_make_line(level, format, ap, held.text + held.len, LOG_LINE_MAX);
        va_end(ap);
        log_release_held();
        return;
    }
    char line[LOG_LINE_MAX];
    size_t len = log_make_line(level, format, ap, line, sizeof line);
    va_end(ap);
    if (len > 0 && log_level_written(level))
        log_emit(line, len);
}

void putlog_held(int level, const char *format, ...)
{
    log_release_held();
    LogHeld &held = log_held;
    va_list ap;
    va_start(ap, format);
    size_t len = log_make_line(level, format, ap, held.text, LOG_LINE_MAX);
    va_end(ap);
    if (len > 0 && log_level_written(level))
        held.len = len;
}

void log_close()
{
    log_flush();
    for (LOGFILE *file : { &native_log, &access_log, &extended_log }) {
        MutexGuard guard(&file->lock);
        file->fd.store(-1, std::memory_order_release);
        file->rotate.store(false);
        file->recheck.store(false);
        if (file->slot == -1)
            continue;
        /* The file is let go, its number kept: a writer that loaded it just
         * before writes to /dev/null. */
        int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null_fd == -1 || !log_replace_slot(file, null_fd)) {
            close(file->slot);
            file->slot = -1;
        }
    }
}

int log_native_fd()
{
    return native_log.fd.load(std::memory_order_relaxed);
}

/* Writes every byte, resuming after short writes and interrupted calls;
 * positional (a log file) starts with pwrite. Linux's pwrite on an
 * O_APPEND descriptor appends whatever the offset, and unlike write it does
 * not take the open file's position lock, on which every worker's line
 * would otherwise queue; the append itself stays one atomic step. A
 * descriptor that is not a regular file (a pipe, a terminal) has no offset
 * and goes on with write. A write that fails for any other reason loses the
 * rest of the line and returns false with errno set. */
static bool log_write_bytes(int fd, const char *data, size_t len, bool positional)
{
    while (len > 0) {
        ssize_t w = positional ? pwrite(fd, data, len, 0) : write(fd, data, len);
        if (w < 0 && positional && errno == ESPIPE) {
            positional = false;
            continue;
        }
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

static bool log_write_all(int fd, const char *data, size_t len)
{
    return log_write_bytes(fd, data, len, false);
}

/* Appends to a log's descriptor, opened with O_APPEND. */
static bool log_file_write(int fd, const char *data, size_t len)
{
    return log_write_bytes(fd, data, len, true);
}

/* Puts the open file fd in place of the log's descriptor number (taking fd's
 * number as the log's own the first time) and closes fd. False, with fd
 * closed, when the descriptor could not be moved. */
static bool log_replace_slot(LOGFILE *file, int fd)
{
    if (file->slot == -1) {
        file->slot = fd;
        return true;
    }
    int r;
    do
        r = dup3(fd, file->slot, O_CLOEXEC);
    while (r == -1 && (errno == EINTR || errno == EBUSY));
    close(fd);
    return r != -1;
}

/* Opens the file for appending and makes it the log's descriptor. An empty
 * access log gets its legend and an empty line first; one whose last record
 * was left open (by an older writer, or a failed write) gets the newline it
 * lacks, so the next record starts a line of its own. Opened without the
 * descriptor relief of s_open64: that relief logs, and the caller holds this
 * file's lock. */
static int log_open_locked(LOGFILE *file)
{
    /* Read as well: the file's last byte is looked at. */
    int fd = open(file->path, O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
    if (fd == -1)
        return -1;
    if (file->legend)
        log_settle_end(file, fd);
    if (!log_replace_slot(file, fd))
        return -1;
    file->fd.store(file->slot, std::memory_order_release);
    return file->slot;
}

/* The start of an access log: the legend, then an empty line, when the file
 * is empty; a newline when its last line is unfinished. */
static void log_settle_end(LOGFILE *file, int fd)
{
    file->recheck.store(false);
    off_t end = lseek(fd, 0, SEEK_END);
    char last = '\n';
    if (end == 0) {
        log_file_write(fd, *file->legend, strlen(*file->legend));
        log_file_write(fd, "\n", 1);
    } else if (end > 0 && pread(fd, &last, 1, end - 1) == 1 && last != '\n') {
        log_file_write(fd, "\n", 1);
    }
}

/* Moves the open file aside as DIR/YYYYmmddHHMMSS-NAME and puts a new file in
 * its place. A second rotation within the same second gets ".1", ".2", ...
 * appended instead of replacing the first one's file. A path without a
 * directory is not moved: writing goes on in the same file. Lines written by
 * other threads while this runs land whole in the old file or the new one. */
static void log_rotate_locked(LOGFILE *file)
{
    file->rotate.store(false);
    fsync(file->slot);
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

    rename(file->path, target);
    /* Until the new file is in place, writers go on appending to the old
     * one under its new name; when it cannot be opened, lines are lost
     * until a later write opens it. */
    if (log_open_locked(file) == -1)
        file->fd.store(-1, std::memory_order_release);
}

/* The descriptor to append to, after opening, rotating or settling the file
 * as pending; -1 when the file cannot be opened. */
static int log_prepare(LOGFILE *file)
{
    MutexGuard guard(&file->lock);
    int fd = file->fd.load(std::memory_order_relaxed);
    if (fd == -1)
        return log_open_locked(file);   /* a pending rotation waits for the next write */
    if (file->rotate.load())
        log_rotate_locked(file);
    else if (file->recheck.load())
        log_settle_end(file, fd);
    return file->fd.load(std::memory_order_relaxed);
}

/* Appends whole lines or records, each ending with its newline, with one
 * write: no lock unless the file must be opened, rotated or settled first.
 * A file that cannot be opened loses the bytes; the next write tries
 * again. */
static void log_append_now(LOGFILE *file, const char *data, size_t len)
{
    if (file->path[0] == '\0')
        return;
    int fd = file->fd.load(std::memory_order_acquire);
    if (fd == -1 || file->rotate.load(std::memory_order_relaxed) ||
        file->recheck.load(std::memory_order_relaxed))
        fd = log_prepare(file);
    if (fd != -1 && !log_file_write(fd, data, len) && file->legend)
        file->recheck.store(true);
}

/* Hands the queue's lines to the file, in the order they were queued. The
 * caller holds the queue's drain lock. */
static void log_drain_locked(LOGFILE *file)
{
    LogQueue &q = file->queue;
    {
        MutexGuard guard(&q.lock);
        q.batch.swap(q.pending);
        pthread_cond_broadcast(&q.room);
    }
    if (!q.batch.empty())
        log_append_now(file, q.batch.data(), q.batch.size());
    q.batch.clear();
    if (q.batch.capacity() > LOG_QUEUE_KEEP)
        q.batch.shrink_to_fit();
}

/* Whether the queue holds lines. */
static bool log_queue_waiting(LogQueue &q)
{
    MutexGuard guard(&q.lock);
    return !q.pending.empty();
}

/* Writes what the queue holds unless another thread is writing it: that
 * thread looks at the queue again after it lets the drain lock go, so lines
 * queued before a failed attempt here are written by it, never left
 * behind. */
static void log_drain_if_free(LOGFILE *file)
{
    LogQueue &q = file->queue;
    while (pthread_mutex_trylock(&q.drain) == 0) {
        log_drain_locked(file);
        pthread_mutex_unlock(&q.drain);
        if (!log_queue_waiting(q))
            return;
    }
}

/* The writer thread. lock guards asleep's changes, kick and stop; the
 * writer sleeps on wake while no queue holds a line, and lingers on it,
 * for at most LOG_LINGER_US, until a queue reaches LOG_BATCH (kick). */
struct LogWriter {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t wake;                /* on the monotonic clock; made once, never destroyed */
    pthread_once_t wake_made = PTHREAD_ONCE_INIT;
    std::atomic<bool> running{false};   /* appenders leave their lines to it */
    std::atomic<bool> asleep{false};    /* waiting for a first line: wake it */
    bool kick = false;
    bool stop = false;
    bool started = false;               /* thread exists and must be joined */
    pthread_t thread;
};
static LogWriter log_writer;

static void log_writer_make_wake()
{
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&log_writer.wake, &attr);
    pthread_condattr_destroy(&attr);
}

/* Appends whole lines or records: queued, then written with whatever else
 * waits, by the writer thread when it runs, else by the one thread writing
 * this file now. A queue at LOG_QUEUE_MAX makes its appenders wait until
 * it has been taken. */
static void log_append(LOGFILE *file, const char *data, size_t len)
{
    if (file->path[0] == '\0')
        return;
    LogQueue &q = file->queue;
    bool full;
    {
        MutexGuard guard(&q.lock);
        while (q.pending.size() >= LOG_QUEUE_MAX)
            pthread_cond_wait(&q.room, &q.lock);
        size_t before = q.pending.size();
        q.pending.append(data, len);
        full = before < LOG_BATCH && q.pending.size() >= LOG_BATCH;
    }
    /* Read after the line is queued: a writer that stops, or goes to
     * sleep, before this queue's lock was taken here is seen doing so, and
     * one that does it after will find the line itself. */
    if (!log_writer.running.load()) {
        log_drain_if_free(file);
        return;
    }
    if (full || log_writer.asleep.load()) {
        MutexGuard guard(&log_writer.lock);
        if (full)
            log_writer.kick = true;
        pthread_cond_signal(&log_writer.wake);
    }
}

/* Whether any of the three queues holds lines. */
static bool log_any_waiting()
{
    for (LOGFILE *file : { &native_log, &access_log, &extended_log })
        if (log_queue_waiting(file->queue))
            return true;
    return false;
}

static void *log_writer_main(void *)
{
    LogWriter &w = log_writer;
    MutexGuard guard(&w.lock);
    while (!w.stop) {
        w.asleep.store(true);
        while (!w.stop && !log_any_waiting())
            pthread_cond_wait(&w.wake, &w.lock);
        w.asleep.store(false);
        if (w.stop)
            break;
        /* Lines come in bursts: gather them for one write per file. */
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += LOG_LINGER_US * 1000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec++;
            until.tv_nsec -= 1000000000L;
        }
        while (!w.stop && !w.kick && pthread_cond_timedwait(&w.wake, &w.lock, &until) == 0) {
        }
        w.kick = false;
        pthread_mutex_unlock(&w.lock);
        for (LOGFILE *file : { &native_log, &access_log, &extended_log }) {
            MutexGuard drain(&file->queue.drain);
            log_drain_locked(file);
        }
        pthread_mutex_lock(&w.lock);
    }
    return nullptr;
}

bool log_writer_start()
{
    LogWriter &w = log_writer;
    pthread_once(&w.wake_made, log_writer_make_wake);
    MutexGuard guard(&w.lock);
    if (w.started)
        return true;
    w.stop = false;
    w.kick = false;
    if (pthread_create(&w.thread, nullptr, log_writer_main, nullptr) != 0)
        return false;   /* every appender goes on writing for itself */
    w.started = true;
    w.running.store(true);
    return true;
}

void log_writer_stop()
{
    LogWriter &w = log_writer;
    bool join = false;
    pthread_t thread{};
    {
        MutexGuard guard(&w.lock);
        if (w.started) {
            w.running.store(false);
            w.stop = true;
            pthread_cond_signal(&w.wake);
            thread = w.thread;
            w.started = false;
            join = !pthread_equal(thread, pthread_self());
        }
    }
    if (join)
        pthread_join(thread, nullptr);
    log_flush();
}

void log_flush()
{
    for (LOGFILE *file : { &native_log, &access_log, &extended_log }) {
        {
            MutexGuard drain(&file->queue.drain);
            log_drain_locked(file);
        }
        /* An appender that found the drain lock taken while this ran left
         * its line queued for this thread: write it too, as an appender
         * that lets the lock go does. */
        log_drain_if_free(file);
    }
}

/* What was queued before the request goes to the file as it is; the next
 * write after it moves that file aside. */
void logrotate()
{
    putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
    log_flush();
    for (LOGFILE *file : { &native_log, &access_log, &extended_log })
        file->rotate.store(true);
}

/* ---- the in-memory log ---- */

/* One line of the ring, on a cache line of its own so that writers of
 * neighbouring slots do not slow each other down. */
struct alignas(64) LogSlot {
    std::atomic<bool> busy{false};   /* the slot's lock */
    uint64_t number = 0;             /* the line's number, while line is set */
    char *line = nullptr;            /* owned; null when empty, or log_slot_closed */
};

/* The mark of a slot of a ring that was replaced by a resize: a writer that
 * finds it claims a slot of the current ring instead. */
static char log_slot_closed_mark;
static char *const log_slot_closed = &log_slot_closed_mark;

struct LogRing {
    explicit LogRing(int size) : capacity(size), slots(new LogSlot[size > 0 ? size : 0]) {}
    ~LogRing()
    {
        for (int i = 0; i < capacity; i++)
            if (slots[i].line != log_slot_closed)
                free(slots[i].line);
    }
    const int capacity;
    std::unique_ptr<LogSlot[]> slots;
    LogRing *retired_next = nullptr;
};

/* A resize publishes a new ring and keeps the old one until the buffer is
 * freed, since a writer may still be inside it: such a writer finds its slot
 * closed and starts over in the new ring. Line numbers come from one counter
 * across rings, so order survives a resize. */
struct LOGBUFFER {
    std::atomic<LogRing *> ring{nullptr};
    std::atomic<uint64_t> next{0};   /* the number of the next line */
    pthread_mutex_t mutex;           /* resizing, clearing, reading; never a writer */
    LogRing *retired = nullptr;      /* under mutex */
};

static void log_slot_lock(LogSlot *slot)
{
    for (int spins = 0;; spins++) {
        if (!slot->busy.load(std::memory_order_relaxed) &&
            !slot->busy.exchange(true, std::memory_order_acquire))
            return;
        /* The holder copies one line; if it was preempted, let it run. */
        if (spins >= 100)
            sched_yield();
    }
}

static void log_slot_unlock(LogSlot *slot)
{
    slot->busy.store(false, std::memory_order_release);
}

/* Stores line number n in its slot unless the slot holds a newer line (then
 * n's line is beyond the ring's reach); returns what the caller frees: the
 * line pushed out, or its own. False when the slot is closed. */
static bool log_slot_store(LogSlot *slot, uint64_t n, char *line, char **drop)
{
    log_slot_lock(slot);
    if (slot->line == log_slot_closed) {
        log_slot_unlock(slot);
        return false;
    }
    if (slot->line && slot->number > n) {
        *drop = line;
    } else {
        *drop = slot->line;
        slot->line = line;
        slot->number = n;
    }
    log_slot_unlock(slot);
    return true;
}

LOGBUFFER *logbuffer_create(int size)
{
    LOGBUFFER *buffer = new (std::nothrow) LOGBUFFER;
    LogRing *ring = buffer ? new (std::nothrow) LogRing(size < 0 ? 0 : size) : nullptr;
    if (!ring) {
        delete buffer;
        return nullptr;
    }
    pthread_mutex_init(&buffer->mutex, nullptr);
    buffer->ring.store(ring);
    return buffer;
}

void logbuffer_free(LOGBUFFER *buffer)
{
    delete buffer->ring.load();
    for (LogRing *r = buffer->retired, *next; r; r = next) {
        next = r->retired_next;
        delete r;
    }
    pthread_mutex_destroy(&buffer->mutex);
    delete buffer;
}

void logbuffer_add(LOGBUFFER *buffer, const char *line)
{
    char *copy = nullptr;
    for (;;) {
        LogRing *ring = buffer->ring.load(std::memory_order_acquire);
        if (ring->capacity <= 0)
            break;
        /* Not through xmalloc: its failure line would come back here. */
        if (!copy && !(copy = strdup(line)))
            FATAL_ALLOC(strlen(line) + 1);
        uint64_t n = buffer->next.fetch_add(1, std::memory_order_relaxed);
        char *drop = nullptr;
        if (log_slot_store(&ring->slots[n % (uint64_t)ring->capacity], n, copy, &drop)) {
            copy = drop;
            break;
        }
    }
    free(copy);
}

int logbuffer_capacity(LOGBUFFER *buffer)
{
    return buffer->ring.load(std::memory_order_acquire)->capacity;
}

void logbuffer_resize(LOGBUFFER *buffer, int size)
{
    if (size < 0)
        return;
    MutexGuard guard(&buffer->mutex);
    LogRing *old = buffer->ring.load();
    if (old->capacity == size)
        return;
    LogRing *ring = new (std::nothrow) LogRing(size);
    if (!ring)
        FATAL_ALLOC(sizeof(LogRing) + (size_t)size * sizeof(LogSlot));
    /* Published first: from here on writers fill the new ring while the old
     * one's lines are moved over, newest first. */
    buffer->ring.store(ring, std::memory_order_release);
    std::vector<std::pair<uint64_t, char *>> lines;
    for (int i = 0; i < old->capacity; i++) {
        LogSlot *slot = &old->slots[i];
        log_slot_lock(slot);
        if (slot->line)
            lines.emplace_back(slot->number, slot->line);
        slot->line = log_slot_closed;
        log_slot_unlock(slot);
    }
    std::sort(lines.begin(), lines.end(),
              [](const std::pair<uint64_t, char *> &a, const std::pair<uint64_t, char *> &b) {
                  return a.first > b.first;
              });
    for (size_t i = 0; i < lines.size(); i++) {
        char *drop = lines[i].second;
        if (i < (size_t)size)
            log_slot_store(&ring->slots[lines[i].first % (uint64_t)size], lines[i].first,
                           lines[i].second, &drop);
        free(drop);
    }
    old->retired_next = buffer->retired;
    buffer->retired = old;
}

void logbuffer_clear(LOGBUFFER *buffer)
{
    MutexGuard guard(&buffer->mutex);
    LogRing *ring = buffer->ring.load();
    for (int i = 0; i < ring->capacity; i++) {
        LogSlot *slot = &ring->slots[i];
        log_slot_lock(slot);
        char *line = slot->line;
        slot->line = nullptr;
        log_slot_unlock(slot);
        free(line);
    }
}

std::vector<std::string> logbuffer_lines(LOGBUFFER *buffer)
{
    std::vector<std::pair<uint64_t, std::string>> held;
    {
        MutexGuard guard(&buffer->mutex);
        LogRing *ring = buffer->ring.load();
        held.reserve((size_t)ring->capacity);
        for (int i = 0; i < ring->capacity; i++) {
            LogSlot *slot = &ring->slots[i];
            log_slot_lock(slot);
            if (slot->line)
                held.emplace_back(slot->number, slot->line);
            log_slot_unlock(slot);
        }
    }
    std::sort(held.begin(), held.end(),
              [](const std::pair<uint64_t, std::string> &a,
                 const std::pair<uint64_t, std::string> &b) { return a.first > b.first; });
    std::vector<std::string> lines;
    lines.reserve(held.size());
    for (auto &h : held)
        lines.push_back(std::move(h.second));
    return lines;
}

/* ---- access-log records ---- */


LogEntry::LogEntry()
    : cache_code(0), peer_code(0), client("-"), end_time{0, 0}, status(0), size(0), url("-"),
      username("-"), peer("-"), mime("-"), useragent("-"), referer("-"), filter_name("-"),
      filtering_reason("-"), profiles("-"), client_id(0), written(false)
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
    written = false;
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
    if (cache_code == CC_NONE)
        return "NONE";
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

/* Appends value to out as one record field: "-" when empty, control bytes,
 * DEL and the field's separator (a space, or '"' in a quoted field) as %XX. */
static void log_field_append(std::string &out, const std::string &value, bool quoted)
{
    if (value.empty()) {
        out += '-';
        return;
    }
    static const char hex[] = "0123456789ABCDEF";
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
}

std::string log_field(const std::string &value, bool quoted)
{
    std::string out;
    out.reserve(value.size());
    log_field_append(out, value, quoted);
    return out;
}

/* Appends printf-formatted text (numbers and fixed words) to out. */
static void log_format_append(std::string &out, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
static void log_format_append(std::string &out, const char *format, ...)
{
    char text[128];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(text, sizeof text, format, ap);
    va_end(ap);
    if (n > 0)
        out.append(text, std::min((size_t)n, sizeof text - 1));
}

/* One escaped field of a record and the fixed text before it. */
struct LogFieldPart {
    const char *before;
    const std::string &value;
    bool quoted;
};

static void log_fields_append(std::string &out, std::initializer_list<LogFieldPart> parts)
{
    for (const LogFieldPart &part : parts) {
        out += part.before;
        log_field_append(out, part.value, part.quoted);
    }
}

/* A record is built in one string, each field escaped straight into it. */
std::string LogEntry::Build()
{
    gettimeofday(&end_time, nullptr);
    std::string out;
    out.reserve(client.size() + method.size() + url.size() + username.size() + peer.size() +
                mime.size() + 160);
    log_format_append(out, "%lu.%.3d %lld ", (unsigned long)start_time.tv_sec,
                      (int)(start_time.tv_usec / 1000),
                      (long long)timeval_diff_ms(&start_time, &end_time));
    log_fields_append(out, { { "", client, false } });
    log_format_append(out, " %s/%d %lld ", cachecode(), status, (long long)size);
    log_fields_append(out, { { "", method, false }, { " ", url, false }, { " ", username, false } });
    log_format_append(out, " %s/", peercode());
    log_fields_append(out, { { "", peer, false }, { " ", mime, false } });
    out += '\n';   /* a record is complete, for tail -f, once written */
    return out;
}

std::string LogEntry::apache_Build()
{
    gettimeofday(&end_time, nullptr);
    char date[64];
    static thread_local LogClock date_clock;
    log_clock_text(&date_clock, end_time.tv_sec, "[%d/%b/%Y:%H:%M:%S]", date, sizeof date);

    std::string out;
    out.reserve(2 * (interface_ip.size() + interface_port.size()) + client.size() +
                username.size() + method.size() + url.size() + referer.size() +
                useragent.size() + mime.size() + filter_name.size() + filtering_reason.size() +
                profiles.size() + 200);
    log_format_append(out, "\"%lu.%.3d-%u-", (unsigned long)start_time.tv_sec,
                      (int)(start_time.tv_usec / 1000), client_id);
    log_fields_append(out, { { "", interface_ip, true }, { "-", interface_port, true } });
    log_format_append(out, "\" %lld ", (long long)timeval_diff_ms(&start_time, &end_time));
    log_fields_append(out, { { "", client, false }, { " \"", username, true } });
    log_format_append(out, "\" \"%u\" %s \"", client_id, date);
    log_fields_append(out, { { "", method, true }, { " ", url, true } });
    log_format_append(out, "\" %d %lld \"", status, (long long)size);
    log_fields_append(out, { { "", referer, true },
                             { "\" \"", useragent, true },
                             { "\" ", mime, false },
                             { " \"", filter_name, true },
                             { " ", filtering_reason, true },
                             { "\" \"", profiles, true },
                             { "\" \"", interface_ip, true },
                             { ":", interface_port, true } });
    out += "\" ";
    out += cachecode();
    out += '\n';   /* a record is complete, for tail -f, once written */
    return out;
}

void LogEntry::Write()
{
    written = true;
    std::string record = Build();
    log_append(&access_log, record.data(), record.size());
}

void LogEntry::apache_Write()
{
    written = true;
    std::string record = apache_Build();
    log_append(&extended_log, record.data(), record.size());
}

void LogEntry::WriteOnce()
{
    if (written || (status == 0 && cache_code != CC_TCP_DENIED))
        return;
    if (cache_code == CC_UNSPECIFIED)
        cache_code = CC_NONE;
    Write();
    apache_Write();
}
