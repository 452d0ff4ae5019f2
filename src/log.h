#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <vector>

/* Native-log categories: one bit each; LOG_ADVICE is always written. */
enum {
    LOG_ADVICE = 0,
    LOG_REQUEST = 0x1,
    LOG_NETWORK = 0x2,
    LOG_URLFILTER = 0x4,
    LOG_HEADER = 0x8,
    LOG_MIMEFILTER = 0x10,
    LOG_COOKIEFILTER = 0x20,
    LOG_REDIRECT = 0x40,
    LOG_TEMPLATE = 0x80,
    LOG_KEYWORDFILTER = 0x100,
    LOG_REWRITE = 0x200,
    LOG_LIMITS = 0x400,
    LOG_CACHE = 0x800,
    LOG_PREFETCH = 0x1000,
    LOG_ICP = 0x2000,
    LOG_FORWARD = 0x4000,
    LOG_SYNC = 0x8000,
    LOG_ANTIVIRUS = 0x10000,
    LOG_EXTERNAL = 0x20000,
    LOG_ICAP = 0x40000,
    LOG_DNSBL = 0x80000,
    LOG_URLBL = 0x100000,
    LOG_URLCOMMAND = 0x200000,
    LOG_MODULE = 0x400000,
    LOG_SECURITY = 0x800000,
    LOG_WARNING = 0x1000000,
    LOG_ERROR = 0x2000000,
    LOG_PROFILES = 0x4000000,
    LOG_DEBUG = 0x8000000,
    LOG_VERIFY = 0x10000000,
};

/* The prefix written after the client id; "" for a combination of bits. */
const char *log_prefix(int level);

/* Writes one native-log line: time stamp, client id of the calling thread,
 * the level's prefix and the message. Every line but a debug line enters the
 * in-memory log; the file (and, in the foreground, standard output) gets the
 * line when its level is 0 or its bit is in loglevel. */
void putlog(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* The same line, made and put in the in-memory log now, but written to the
 * file and standard output together with the calling thread's next line, in
 * one append: a cache hit's line and its request line cost one write each
 * instead of two. The line waits at the latest until the thread waits on
 * the network (p_poll with a time-out, the keep-alive wait, a header read)
 * or ends its request (log_release_held); holding a second line first
 * writes the one held. Only for lines followed shortly by another without
 * the thread waiting on anything else. */
void putlog_held(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Writes the calling thread's held line, if any, at once. */
void log_release_held();

/* The client id that tags the calling thread's log lines, 0 until set. The
 * thread table sets it with its own copy (thread_set_clientid); kept per
 * thread so that putlog needs neither the table nor its lock. */
void log_set_clientid(unsigned id);
unsigned log_clientid();

/* The local time of the second now (seconds since the epoch), as localtime_r
 * gives it. Each thread keeps the last second it asked for and converts again
 * only when the second changes, so a request's time rules do not take the C
 * library's time-zone lock every time. */
struct tm log_local_time(time_t now);

/* Peer bytes (from clients, servers, daemons or files) fit for a log line:
 * control bytes, DEL, backslash and bytes above 0x7e written as "\xhh", at
 * most max bytes of text[0, length) taken, and "..." after a cut, so that
 * no value can add a line, forge a field or flood the log. */
std::string log_text(const char *text, size_t length, size_t max);
/* The usual cut of a peer's value (a header value, a name) in a log line. */
#define LOG_TEXT_MAX 1024
/* The same for a NUL-terminated text (NULL gives "") and for a string. */
std::string log_text(const char *text, size_t max);
std::string log_text(const std::string &text, size_t max);

/* True when a line of this level would be written anywhere, so callers can
 * skip building an expensive debug message. */
bool log_wanted(int level);

/* The state of one rate-limited log line (zero-initialised: nothing logged
 * yet). */
struct LOG_RATE {
    std::atomic<int64_t> last_ms;      /* monotonic time of the last line written */
    std::atomic<int64_t> suppressed;   /* lines dropped since */
};

/* Whether a rate-limited line may be written now: at most one a second.
 * True with *suppressed the count of lines dropped since the last one
 * (for the line to report); false counts this one as dropped. */
bool log_rate_allow(LOG_RATE *rate, long long *suppressed);

/* The in-memory log of recent lines shown by the web interface: a ring of
 * slots. A writer claims a line number with an atomic counter and stores its
 * copy in its slot under that slot's own small lock, so writers never wait on
 * each other; clearing, resizing and reading take the buffer's own mutex,
 * which no writer takes. */
struct LOGBUFFER;

/* A new empty buffer of the given capacity (a negative one keeps nothing);
 * NULL when memory runs out. */
LOGBUFFER *logbuffer_create(int size);
/* Frees the buffer and its lines; no thread may be adding lines. */
void logbuffer_free(LOGBUFFER *buffer);
/* Keeps a copy of the line as the newest, dropping the oldest beyond the
 * capacity; a capacity of 0 keeps nothing. */
void logbuffer_add(LOGBUFFER *buffer, const char *line);
/* Keeps the newest size lines; a negative size is ignored. */
void logbuffer_resize(LOGBUFFER *buffer, int size);
void logbuffer_clear(LOGBUFFER *buffer);
/* The capacity in lines. */
int logbuffer_capacity(LOGBUFFER *buffer);
/* A copy of the lines held, newest first; every line is whole. */
std::vector<std::string> logbuffer_lines(LOGBUFFER *buffer);

/* Writes what the three logs hold first, then asks them to rotate at their
 * next write (SIGUSR1). */
void logrotate();

/* Writes every queued line and record now, in order; the caller waits for
 * it. Rotation, closing and the orderly stop call it. */
void log_flush();

/* Starts the thread that takes every queued line and record to its file,
 * a few milliseconds after it was queued (at once when a file's queue
 * holds 64 KiB); until then, and after log_writer_stop, each appender
 * writes itself. False when the thread cannot be started: the appenders
 * go on writing. */
bool log_writer_start();
/* Ends the writer thread, waits for it, and writes what is queued: from
 * here on every line is written by the thread that makes it. The orderly
 * stop calls it, so that nothing queued after its flush is left behind. */
void log_writer_stop();

/* Writes what is queued, then closes the three log files; the next write
 * opens them again, from the paths as they are then. A writer still holding
 * a descriptor of the closed file writes nowhere (its number is kept on
 * /dev/null), never into another file. */
void log_close();

/* The native log's descriptor, or -1; read by the crash handler to write a
 * backtrace without taking any lock. */
int log_native_fd();

/* How the cache served a request, written by cachecode(). */
enum CACHECODE {
    CC_UNSPECIFIED = 0, CC_TCP_HIT, CC_TCP_MISS, CC_TCP_REFRESH_HIT, CC_TCP_REF_FAIL_HIT,
    CC_TCP_REFRESH_MISS, CC_TCP_CLIENT_REFRESH, CC_TCP_IMS_HIT, CC_TCP_IMS_MISS, CC_TCP_DENIED,
    CC_UDP_HIT, CC_UDP_MISS, CC_UDP_HIT_OBJ, CC_UDP_DENIED, CC_UDP_INVALID,
    /* 15 stays "UNSPECIFIED" like every value out of range. */
    CC_NONE = 16,   /* answered by the proxy alone: neither the cache nor a server */
};

/* How the server side was reached, written by peercode(). */
enum PEERCODE {
    PC_NONE = 0, PC_DIRECT, PC_FIREWALL_IP_DIRECT, PC_FIRST_PARENT_MISS, PC_FIRST_UP_PARENT,
    PC_LOCAL_IP_DIRECT, PC_SIBLING_HIT, PC_NO_DIRECT_FAIL, PC_NO_PARENT_DIRECT, PC_PARENT_HIT,
    PC_SINGLE_PARENT, PC_SOURCE_FASTEST, PC_PARENT_UDP_HIT_OBJ, PC_SIBLING_UDP_HIT_OBJ,
    PC_PASSTHROUGH_PARENT, PC_SSL_PARENT_MISS, PC_DEFAULT_PARENT, PC_ROUNDROBIN_PARENT,
    PC_CLOSEST_PARENT_MISS, PC_CLOEST_DIRECT,
};

extern const char *access_legend;
extern const char *apache_legend;

/* The access-log record of one request, embedded in the connection and
 * filled by every component that decides something about the request. */
class LogEntry {
public:
    LogEntry();
    ~LogEntry() = default;

    /* The start of a new request on the same connection: every field of the
     * last request cleared, client back to the connection's address. */
    void Reset();

    void set_cachecode(int code) { cache_code = code; }
    void set_peercode(int code) { peer_code = code; }
    const char *cachecode() const;
    const char *peercode() const;

    /* The access and extended records, each ending with its newline; both
     * set end_time to now. */
    std::string Build();
    std::string apache_Build();

    /* Append the record to the access log and the extended log. */
    void Write();
    void apache_Write();
    /* At the end of a request: both records, unless they were written
     * already or nothing was answered (no status) and nothing refused. A
     * cache code still unspecified becomes NONE. */
    void WriteOnce();

    int cache_code;
    int peer_code;
    std::string client;           /* the connection's address, or its X-Forwarded-For */
    std::string address;          /* the connection's address */
    struct timeval start_time;
    struct timeval end_time;
    int status;
    int64_t size;
    std::string method;
    std::string url;
    std::string username;
    std::string peer;
    std::string mime;
    std::string useragent;
    std::string referer;
    std::string filter_name;
    std::string filtering_reason;
    std::string profiles;
    std::string interface_ip;
    std::string interface_port;
    unsigned client_id;
    bool written;                 /* a record of this request went out */
};

/* A field made safe for a log record: "-" when empty; control bytes, and
 * blanks unless keep_blanks, percent-encoded; a double quotation mark too
 * when the field is written between quotes. */
std::string log_field(const std::string &value, bool quoted);
