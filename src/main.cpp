/*
 * The process frame: the command line, the daemon's detachment, the run-as
 * user and group, the PID file, the one-time construction of every
 * process-wide object in a fixed order (config), and the accept loop.
 *
 * Every setting from the command line is checked before anything starts: a
 * value out of range refuses the start with the help text instead of being
 * read as 0 or cut short. In daemon mode the launching process waits on a
 * pipe until config has finished, and exits with the start's status and any
 * message the daemon wrote, so an init system sees a failed start.
 */
#include "main.h"

#include <fcntl.h>
#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "cache.h"
#include "clientpool.h"
#include "connection.h"
#include "dnscache.h"
#include "forward.h"
#include "general.h"
#include "hash.h"
#include "hooks.h"
#include "password_cache.h"
#include "perflog.h"
#include "limit.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "process.h"
#include "sections.h"
#include "serverpool.h"
#include "signals.h"
#include "ssl.h"
#include "tavrin.h"
#include "timers.h"
#include "urlblacklist.h"
#include "xml.h"

char configfile[256];
char sectionfile[256];
char logfile[256];
char slogfile[256];
char elogfile[256];
char plogfile[512] = "/opt/quillmere/quillmere/logs/performance/performance.log";
char tavrinfeed[512];
char pidfile[256];
char username[256];
char group[256];
char proxyhost[256];
char pamfile[256] = "quillmere";
int loglevel = 0x7ffffff;
int daemonize = 1;
int MAXTHREADS = THREAD_SLOTS;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
int max_opt_stack = 1048576;
int overload_factor = 1;
/* 0: the kernel sizes the socket buffers itself (autotuning); -b sets them. */
int SND_BUF = 0;
int RCV_BUF = 0;
int BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 900;
int TCP_KEEPINTVL_TIME = 75;
int TCP_KEEPCNT_COUNTS = 9;
int password_cachesize = 100;
int password_cachexpire = 600;
int authflag = 0;
unsigned clientid = 1;
int gmtoffset = 0;

GLOBAL_T *global = nullptr;
tinyxml2::XMLDocument *sectionxml = nullptr;

static void main_daemonize(char **argv);
static void main_blank_arguments(int argc, char **argv);
static int main_check_file(const char *path, const char *missing);

int get_my_release_build()
{
    return QUILL_BUILD;
}

void show_help(char **argv, FILE *err)
{
    fprintf(err, "\n%s", QUILL_BANNER);
    fprintf(err, "\n%s", QUILL_EDITION);
    fprintf(err, " - VERSION - %s - BUILD - %d", QUILL_RELEASE, get_my_release_build());
    fprintf(err, "\nUsage: %s [options]\n\n", argv[0]);
    fprintf(err, " -c <file>            : location of config file (required)\n");
    fprintf(err, " -s <file>            : location of section file (required)\n");
    fprintf(err, " -l <file>            : file to log activity to (native log)\n");
    fprintf(err, " -a <file>            : alternate format log file (access log)\n");
    fprintf(err, " -e <file>            : alternate format log file (extended log)\n");
    fprintf(err, " -H <hostname>        : proxy's hostname (overrides configuration file)\n");
    fprintf(err, " -L <ip:port>         : specify address and port to listen on\n");
    fprintf(err, " -m <dir>             : module directory\n");
    fprintf(err, " -p <file>            : PID file\n");
    fprintf(err, " -u <username>        : run as alternate user\n");
    fprintf(err, " -g <groupname>       : run in alternate group\n");
    fprintf(err, " -x <pam>             : set the file containing PAM directives (default: %s) \n",
            "quillmere");
    fprintf(err, " -P <size:age>        : set the maximum size and age of the password_cache (default: %d:%d)\n",
            100, 600);
    fprintf(err, " -t <max_threads>     : specify the maximum number of allowed concurrent threads (less than: %d)\n",
            THREAD_SLOTS);
    fprintf(err, " -z <stack_size>      : specify the base value for thread stacksize (Default of 20, sets the stack size to %d) \n",
            1048576);
    fprintf(err, " -T <thread_timeout>  : specify the time in seconds for a thread to wait for another connection (default: %d)\n",
            THREAD_TIMEOUT);
    fprintf(err, " -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be presumed available (default: %d)\n",
            CLIENT_POOL_TIMEOUT);
    if (SND_BUF > 0 || RCV_BUF > 0)
        fprintf(err, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: %d:%d)\n",
                SND_BUF, RCV_BUF);
    else
        fprintf(err, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: sized by the kernel)\n");
    fprintf(err, " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive parameters (default: %d:%d:%d)\n",
            TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    fprintf(err, " -o <overload_factor> : overload factor (default: %d)\n", 1);
    fprintf(err, " -f                   : don't daemonize (log written to stdout)\n");
    fprintf(err, " -h                   : show this help, message and exit \n");
    fprintf(err, " -v                   : show quillmere version, and exit \n");
    fprintf(err, " -d <level>           : set log level (default: %d)\n", loglevel);
    fprintf(err, "\n");
    fprintf(err, " Add any of the following to specify logging detail:\n");
    static const struct { int bit; const char *name; } categories[] = {
        { 1, "requests" }, { 2, "network" }, { 4, "url filtering" }, { 8, "header filtering" },
        { 16, "mime filtering" }, { 32, "cookie filtering" }, { 64, "redirections" },
        { 128, "templates" }, { 256, "keyword filtering" }, { 512, "rewriting" },
        { 1024, "limits" }, { 2048, "caching" }, { 4096, "prefetching" }, { 8192, "ICP" },
        { 16384, "forwarding" }, { 65536, "antivirus" }, { 131072, "external parsers" },
        { 262144, "ICAP" }, { 524288, "DNS blacklist" }, { 1048576, "URL blacklist" },
        { 2097152, "URL commands" }, { 4194304, "modules" }, { 8388608, "security" },
        { 16777216, "warnings" }, { 33554432, "errors" }, { 67108864, "profiles" },
        { 134217728, "debug" },
    };
    for (const auto &c : categories)
        fprintf(err, " %9d = %s\n", c.bit, c.name);
}

/* Reads a whole decimal number within [min, max] from text[0, len). */
static bool opt_number(const char *text, size_t len, long min, long max, long *out)
{
    if (len == 0 || len > 18)
        return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-') {
        negative = true;
        i = 1;
        if (len == 1)
            return false;
    }
    long v = 0;
    for (; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative)
        v = -v;
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

/* Splits text at ':' into up to count parts; returns the number found. */
static int opt_split(const char *text, const char *parts[], size_t lens[], int count)
{
    int n = 0;
    const char *p = text;
    while (n < count) {
        const char *colon = strchr(p, ':');
        parts[n] = p;
        lens[n] = colon ? (size_t)(colon - p) : strlen(p);
        n++;
        if (!colon)
            break;
        p = colon + 1;
    }
    return n;
}

/* Copies an option's text into its setting, or refuses it when it does not
 * fit: a path cut short would name another file. */
static bool opt_text(char *dest, size_t size, const char *value, int opt, FILE *err)
{
    size_t len = strlen(value);
    if (len >= size) {
        fprintf(err, "option -%c: value longer than %zu characters\n", opt, size - 1);
        return false;
    }
    memcpy(dest, value, len + 1);
    return true;
}

int options_parse(int argc, char **argv, FILE *out, FILE *err)
{
    const char *bad = nullptr;   /* the option whose value is refused */
    int opt;
    optind = 1;
    opterr = 1;
    while ((opt = getopt(argc, argv, "hfvp:t:L:H:M:m:S:E:I:c:s:l:d:u:g:r:a:e:x:z:P:T:C:o:b:k:")) != -1) {
        long v = 0, w = 0;
        const char *parts[3];
        size_t lens[3];
        int n;
        bool ok = true;
        switch (opt) {
        case 'c': ok = opt_text(configfile, sizeof configfile, optarg, opt, err); break;
        case 's': ok = opt_text(sectionfile, sizeof sectionfile, optarg, opt, err); break;
        case 'l':
            ok = opt_text(logfile, sizeof logfile, optarg, opt, err);
            snprintf(tavrinfeed, sizeof tavrinfeed, "%s.tavrinfeed", slogfile);
            break;
        case 'a': ok = opt_text(slogfile, sizeof slogfile, optarg, opt, err); break;
        case 'e': ok = opt_text(elogfile, sizeof elogfile, optarg, opt, err); break;
        case 'r': ok = opt_text(plogfile, sizeof plogfile, optarg, opt, err); break;
        case 'p': ok = opt_text(pidfile, sizeof pidfile, optarg, opt, err); break;
        case 'u': ok = opt_text(username, sizeof username, optarg, opt, err); break;
        case 'g': ok = opt_text(group, sizeof group, optarg, opt, err); break;
        case 'H': ok = opt_text(proxyhost, sizeof proxyhost, optarg, opt, err); break;
        case 'x': ok = opt_text(pamfile, sizeof pamfile, optarg, opt, err); break;
        case 'd':
            ok = opt_number(optarg, strlen(optarg), 0, INT_MAX, &v);
            if (ok)
                loglevel = (int)v;
            break;
        case 'f':
            daemonize = 0;
            break;
        case 't':
            /* Values above the table size are ignored, as they always were;
             * fewer slots than the main and service threads plus one worker
             * could never serve a request. */
            ok = opt_number(optarg, strlen(optarg), SERVICE_THREADS + 2, LONG_MAX / 16, &v);
            if (ok && v <= THREAD_SLOTS)
                MAXTHREADS = (int)v;
            break;
        case 'T':
            ok = opt_number(optarg, strlen(optarg), 0, 3600, &v);
            if (ok)
                THREAD_TIMEOUT = (int)v;
            break;
        case 'C':
            ok = opt_number(optarg, strlen(optarg), 1, 3600, &v);
            if (ok)
                CLIENT_POOL_TIMEOUT = (int)v;
            break;
        case 'o':
            ok = opt_number(optarg, strlen(optarg), 1, 1000, &v);
            if (ok)
                overload_factor = (int)v;
            break;
        case 'z':
            ok = opt_number(optarg, strlen(optarg), 14, 30, &v);
            if (ok)
                max_opt_stack = 1 << v;
            break;
        case 'P':
            if (!strchr(optarg, ':')) {
                show_help(argv, err);
                return OPTIONS_EXIT_FAIL;
            }
            n = opt_split(optarg, parts, lens, 2);
            ok = n == 2 && opt_number(parts[0], lens[0], 0, INT_MAX, &v) &&
                 opt_number(parts[1], lens[1], 0, INT_MAX, &w) &&
                 ((v == 0 && w == 0) || (v >= 1 && w >= 1));
            if (ok && v == 0) {
                authflag = 1;   /* results are stored but never looked up */
            } else if (ok) {
                password_cachesize = (int)v;
                password_cachexpire = (int)w;
                authflag = 0;
            }
            break;
        case 'b':
            n = opt_split(optarg, parts, lens, 2);
            for (int i = 0; ok && i < n; i++)
                ok = lens[i] == 0 || opt_number(parts[i], lens[i], 1, 1 << 26, &v);
            if (ok) {
                if (n > 0 && lens[0] > 0)
                    opt_number(parts[0], lens[0], 1, 1 << 26, &v), SND_BUF = (int)v;
                if (n > 1 && lens[1] > 0)
                    opt_number(parts[1], lens[1], 1, 1 << 26, &v), RCV_BUF = (int)v;
                if (SND_BUF > 8192 || RCV_BUF > 8192)
                    BLOCKSIZE = SND_BUF > RCV_BUF ? SND_BUF : RCV_BUF;
            }
            break;
        case 'k': {
            /* Linux takes at most 32767 seconds and 127 probes. */
            static const long keep_max[3] = { 32767, 32767, 127 };
            int *keep_vars[3] = { &TCP_KEEPIDLE_TIME, &TCP_KEEPINTVL_TIME, &TCP_KEEPCNT_COUNTS };
            n = opt_split(optarg, parts, lens, 3);
            for (int i = 0; ok && i < n; i++)
                ok = lens[i] == 0 || opt_number(parts[i], lens[i], 1, keep_max[i], &v);
            for (int i = 0; ok && i < n; i++)
                if (lens[i] > 0 && opt_number(parts[i], lens[i], 1, keep_max[i], &v))
                    *keep_vars[i] = (int)v;
            break;
        }
        case 'h':
            show_help(argv, err);
            return OPTIONS_EXIT_OK;
        case 'v':
            fprintf(out, "%s - VERSION - %s - BUILD - %d\n", QUILL_EDITION, QUILL_RELEASE,
                    get_my_release_build());
            return OPTIONS_EXIT_OK;
        default:
            break;   /* -m, -L, -M, -S, -E, -I and unknown options */
        }
        if (!ok) {
            bad = optarg;
            fprintf(err, "invalid value for -%c: %s\n", opt, bad ? bad : "");
            show_help(argv, err);
            return OPTIONS_EXIT_FAIL;
        }
    }
    return OPTIONS_RUN;
}

/* Overwrites the argument strings so paths and names do not show in the
 * process list; argv[0] stays. */
static void main_blank_arguments(int argc, char **argv)
{
    for (int i = 1; i < argc; i++)
        memset(argv[i], 0, strlen(argv[i]));
}

static int main_check_file(const char *path, const char *missing)
{
    struct stat st;
    if (path[0] == '\0') {
        fprintf(stderr, "%s\n", missing);
        return 1;
    }
    if (stat(path, &st) != 0) {
        fprintf(stderr, "couldn't stat %s\n", path);
        return 1;
    }
    return 0;
}

void fix_gid()
{
    struct passwd *pw = username[0] ? getpwnam(username) : nullptr;
    if (username[0] && !pw) {
        fprintf(stderr, "getpwnam: unknown user\n");
        exit(1);
    }

    gid_t gid;
    if (group[0]) {
        struct group *gr = getgrnam(group);
        if (!gr) {
            fprintf(stderr, "getgrnam: unknown group\n");
            exit(1);
        }
        gid = gr->gr_gid;
    } else if (pw) {
        /* A user switch without a group takes the user's primary group
         * rather than keeping the launcher's (often root's). */
        gid = pw->pw_gid;
        struct group *gr = getgrgid(gid);
        if (gr)
            snprintf(group, sizeof group, "%s", gr->gr_name);
        else
            snprintf(group, sizeof group, "%d", (int)gid);
    } else {
        gid = getgid();
        struct group *gr = getgrgid(gid);
        if (gr)
            snprintf(group, sizeof group, "%s", gr->gr_name);
        else
            snprintf(group, sizeof group, "%d", (int)gid);
        return;
    }

    if (geteuid() == 0) {
        /* Supplementary groups go before the user switch: afterwards they
         * can no longer be dropped. */
        int rc = pw ? initgroups(pw->pw_name, gid) : setgroups(1, &gid);
        if (rc != 0) {
            perror(pw ? "initgroups" : "setgroups");
            exit(1);
        }
    }
    if (setgid(gid) != 0) {
        perror("setgid");
        exit(1);
    }
}

void fix_uid()
{
    if (username[0] == '\0') {
        struct passwd *pw = getpwuid(getuid());
        if (pw)
            snprintf(username, sizeof username, "%s", pw->pw_name);
        else
            snprintf(username, sizeof username, "%d", (int)getuid());
        return;
    }
    struct passwd *pw = getpwnam(username);
    if (!pw) {
        fprintf(stderr, "getpwnam: unknown user\n");
        exit(1);
    }
    if (setuid(pw->pw_uid) != 0) {
        perror("setuid");
        exit(1);
    }
}

int pid_check(const char *path)
{
    FILE *f = fopen(path, "r");
    if (f) {
        long pid = 0;
        if (fscanf(f, "%ld", &pid) == 1 && pid > 0 && pid <= INT_MAX) {
            /* Signal 0 probes without disturbing the process. A process
             * that exists but belongs to another user (EPERM) is alive. */
            if (kill((pid_t)pid, 0) == 0 || errno == EPERM) {
                fclose(f);
                return (int)pid;
            }
        }
        fclose(f);
    }
    unlink(path);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd == -1)
        return 1;
    char text[32];
    int len = snprintf(text, sizeof text, "%u\n", (unsigned)getpid());
    ssize_t w = write(fd, text, (size_t)len);
    close(fd);
    if (w != len)
        return 1;
    shutdown_set_pidfile(path);
    return 0;
}

void create_feedlog()
{
    FILE *in = fopen(slogfile, "r");
    FILE *out = fopen(tavrinfeed, "w+");
    if (!in || !out) {
        if (in)
            fclose(in);
        if (out)
            fclose(out);
        return;
    }
    char line[4096];
    int hosts = 0;
    while (hosts < 10001 && fgets(line, sizeof line, in)) {
        char scheme[16], host[1024];
        int port;
        host[0] = '\0';
        if (sscanf(line, "%*s %*s %*s %*s %*s %*s %15[^:]://%1023[^:/]:%99d/", scheme, host,
                   &port) >= 2 &&
            host[0]) {
            fprintf(out, "\n%s", host);
            hosts++;
        }
    }
    fclose(in);
    fflush(out);
    fsync(fileno(out));
    fclose(out);
}

/* Checks that a resource limit can be read; the values are not kept. */
static void config_check_rlimits()
{
    static const int resources[] = {
        RLIMIT_AS, RLIMIT_CORE, RLIMIT_CPU, RLIMIT_DATA, RLIMIT_FSIZE,
        RLIMIT_MEMLOCK, RLIMIT_NOFILE, RLIMIT_NPROC, RLIMIT_RSS, RLIMIT_STACK,
    };
    for (int r : resources) {
        struct rlimit lim;
        if (getrlimit((__rlimit_resource_t)r, &lim) != 0)
            putlog(LOG_ERROR, "[system: getrlimit:%d:%s], in %s, unable to get resource limit",
                   errno, strerror(errno), "config");
    }
}

/* Opens each log file given on the command line as the user the daemon
 * runs as; one that cannot be opened stops the start with the reason. */
static void config_check_logs()
{
    const char *const files[] = { logfile, slogfile, elogfile, plogfile };
    for (const char *path : files) {
        if (!path[0])
            continue;
        int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
        if (fd == -1)
            fatal_error(__FILE__, __LINE__, "log_open", "cannot open log file %s: %s", path,
                        strerror(errno));
        close(fd);
    }
}

void config()
{
    /* 1: the cache's time stamps and utc_time use this; the local zone is
     * taken as-is, so the offset stays 0. */
    gmtoffset = 0;

    /* 2, 3 */
    ssl_init();

    /* 4 */
    create_feedlog();

    /* 5 */
    GLOBAL_T *g = (GLOBAL_T *)xmalloc(sizeof(GLOBAL_T));
    if (!g)
        FATAL_ALLOC(sizeof(GLOBAL_T));
    pthread_mutex_init(&g->rusage_lock, nullptr);   /* rusage: zero fill */
    g->logbuffer = logbuffer_create(1000);
    if (!g->logbuffer)
        FATAL_ALLOC(sizeof(LOGBUFFER));
    pthread_mutex_init(&g->dnscache_lock, nullptr);
    pthread_rwlock_init(&g->password_cache_lock, nullptr);
    g->dnscache = hash_create(8111);
    g->password_cache = password_cache_create(password_cachesize);
    g->serverpool = new ServerPool();
    g->clientpool = new ClientPool();
    g->timers = timers_init();
    global = g;

    /* 6 */
    config_check_rlimits();
    config_check_logs();

    /* 7 */
    sectionxml = new tinyxml2::XMLDocument;
    if (sectionxml->LoadFile(sectionfile) != tinyxml2::XML_SUCCESS) {
        const char *why = sectionxml->ErrorStr() ? sectionxml->ErrorStr() : "";
        putlog(LOG_ERROR, "Error when parsing section.xml: %s", why);
        putlog(LOG_ADVICE, "Please correct errors in section.xml: %s", why);
        if (startup_pending())
            fprintf(stderr, "Please correct errors in section.xml: %s\n", why);
        fflush(stdout);
        _exit(1);
    }

    /* 8 */
    performance_log = new PerformanceLog();

    /* 9: every section, in the fixed order that is also the order of their
     * callbacks. */
    sections_create();

    /* 10 */
    globalstats_init();

    /* 11 */
    signal_setup();

    /* 12 */
    net_init();

    /* 13: a configuration that cannot be loaded stops the start inside
     * config_load. */
    if (configfile[0] && config_load(CONFIG_LOAD_STARTUP, configfile) != 1)
        fatal_error(__FILE__, __LINE__, "config_load", "configuration %s not loaded", configfile);

    /* 14 */
    hooks.Execute(HOOK_CONFIG, nullptr, nullptr);

    /* 15: the command line's name, else the general section's. */
    putlog(LOG_NETWORK, "proxy hostname: %s",
           proxyhost[0] ? proxyhost
                        : general_section ? general_section->hostname_get().c_str() : "");

    /* 16: a listener that cannot be opened stops the start, rather than a
     * daemon that runs deaf. */
    std::string listen_failure;
    network_section->check(&listen_failure);
    if (!listen_failure.empty())
        fatal_error(__FILE__, __LINE__, "net_listen", "cannot listen on %s",
                    listen_failure.c_str());

    /* 17: the URL blacklist, read once for the life of the process. */
    urlbl_section->load();

    /* 18: the limit windows first. */
    timers_add(global->timers, 1, TIMER_REPEAT, limits_reset, nullptr);
    timers_add(global->timers, DNSCACHE_CLEAN_SECONDS, TIMER_REPEAT, dnscache_clean, nullptr);
    timers_add(global->timers, password_cachexpire, TIMER_REPEAT, password_cache_clean, nullptr);

    /* 19: the rating cache dump starts last. */
    thread_create_internal(serverpool_clean, nullptr);
    thread_create_internal(icp_thread, nullptr);
    thread_create_internal(unlink_thread, nullptr);
    thread_create_internal(clientpool_thread, nullptr);
    thread_create_internal(timer_thread, nullptr);
    thread_create_internal(performance_check, nullptr);
    thread_create_internal(tavrin_cachedump, nullptr);

    /* 20 */
    putlog(LOG_DEBUG, "GMT offset is -%u seconds", (unsigned)gmtoffset);
}

void mainloop()
{
    config();
    startup_done();
    /* Signals are handled by the timer thread; the main thread only
     * accepts. Without listeners (all failed, or closed by SIGHUP) it
     * waits here for ever. */
    for (;;) {
        CONNECTION_T *conn = net_accept(-1);
        if (!conn)
            continue;
        conn->clientid = net_clientid_next();
        conn->logentry.client_id = conn->clientid;
        global->clientpool->Add(conn);   /* the pool owns it now */
    }
}

/* Detaches from the terminal. The launching process stays until the daemon
 * reports the end of its start through a pipe, echoes whatever the daemon
 * wrote meanwhile to its standard error, and exits with the start's status.
 * Returns in the final daemon process. */
static void main_daemonize(char **argv)
{
    (void)argv;
    int report[2];
    if (pipe(report) != 0) {
        fprintf(stderr, "failed to fork daemon: first fork failed\n");
        exit(1);
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: first fork failed\n");
        exit(1);
    }
    if (pid > 0) {
        close(report[1]);
        bool started = false;
        char buf[4096];
        ssize_t n;
        while ((n = read(report[0], buf, sizeof buf)) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                break;
            }
            if (buf[n - 1] == 0x06) {
                started = true;
                n--;
            }
            if (n > 0) {
                ssize_t w = write(STDERR_FILENO, buf, (size_t)n);
                (void)w;
            }
        }
        waitpid(pid, nullptr, 0);
        exit(started ? 0 : 1);
    }

    close(report[0]);
    if (chdir("/") != 0) {
        /* "/" always exists; nothing to do */
    }
    setsid();
    umask(0);
    /* Standard input reads nothing; output and errors go to the launcher
     * until the start is over, then to /dev/null. None stays closed, so no
     * later descriptor (a client socket, a cache file) takes their numbers. */
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != -1) {
        dup2(null_fd, STDIN_FILENO);
        if (null_fd > STDERR_FILENO)
            close(null_fd);
    }
    dup2(report[1], STDOUT_FILENO);
    dup2(report[1], STDERR_FILENO);
    fcntl(report[1], F_SETFD, FD_CLOEXEC);
    setvbuf(stdout, nullptr, _IOLBF, 0);

    pid = fork();
    if (pid < 0) {
        fprintf(stderr, "failed to fork daemon: second fork failed\n");
        exit(1);
    }
    if (pid > 0)
        _exit(0);
    startup_set_pipe(report[1]);
    umask(022);
}

int quillmere_main(int argc, char **argv)
{
    std::set_new_handler(out_of_memory);
    srand((unsigned)(time(nullptr) + getpid()));

    if (argc <= 1) {
        show_help(argv, stderr);
        return 0;
    }
    switch (options_parse(argc, argv, stdout, stderr)) {
    case OPTIONS_EXIT_OK:
        return 0;
    case OPTIONS_EXIT_FAIL:
        return 1;
    default:
        break;
    }

    threads_init();
    main_blank_arguments(argc, argv);

    /* A configuration URL is fetched at step 13, not looked for on disk. */
    if (!config_name_is_url(configfile) &&
        main_check_file(configfile, "config file option missing") != 0)
        return 1;
    if (main_check_file(sectionfile, "section file option missing") != 0)
        return 1;

    if (!daemonize) {
        fix_gid();
        fix_uid();
        umask(027);
        mainloop();
    }

    main_daemonize(argv);
    fix_gid();
    fix_uid();
    if (pidfile[0] && pid_check(pidfile) != 0) {
        fprintf(stderr, "PID file %s names a running daemon or cannot be written\n", pidfile);
        exit(1);
    }
    umask(027);
    mainloop();
}
