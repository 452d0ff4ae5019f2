/*
 * The process frame: the daemon's detachment, the run-as user and group, the
 * PID file, the one-time construction of every process-wide object in a
 * fixed order (config), and the accept loop. The command line is read by
 * options_parse (options.cpp).
 *
 * In daemon mode the launching process waits on a pipe until config has
 * finished, and exits with the start's status and any
 * message the daemon wrote, so an init system sees a failed start.
 */
#include "main.h"

#include <malloc.h>
#include <fcntl.h>
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
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "sections.h"
#include "stats.h"
#include "serverpool.h"
#include "signals.h"
#include "ssl.h"
#include "tavrin.h"
#include "timers.h"
#include "urlblacklist.h"
#include "xml.h"

static void main_daemonize(char **argv);
static void main_blank_arguments(int argc, char **argv);
static int main_check_file(const char *path, const char *missing);

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

/* The most descriptors the daemon raises its soft limit to. */
#define MAIN_NOFILE_MAX ((rlim_t)65536)

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
    /* Every client and server connection takes a descriptor: thousands of
     * clients need more than the usual soft limit of 1024, so the soft
     * limit goes up to the hard one (at most MAIN_NOFILE_MAX). */
    struct rlimit files;
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max &&
        files.rlim_cur < MAIN_NOFILE_MAX) {
        rlim_t was = files.rlim_cur;
        files.rlim_cur = files.rlim_max < MAIN_NOFILE_MAX ? files.rlim_max : MAIN_NOFILE_MAX;
        if (setrlimit(RLIMIT_NOFILE, &files) == 0)
            putlog(LOG_NETWORK, "descriptor limit raised from %llu to %llu", (unsigned long long)was,
                   (unsigned long long)files.rlim_cur);
    }
}

/* Opens the native and the two access logs as the user the daemon runs
 * as; one that cannot be opened stops the start with the reason. The
 * performance log is not among them: its writer logs a file it cannot open
 * once and tries again at every row, so the daemon runs on without it. */
static void config_check_logs()
{
    const char *const files[] = { logfile, slogfile, elogfile };
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
    interface_secret_init();   /* the login tokens' key */

    /* 4 */
    create_feedlog();

    /* 5 */
    GLOBAL_T *g = (GLOBAL_T *)xmalloc(sizeof(GLOBAL_T));
    if (!g)
        FATAL_ALLOC(sizeof(GLOBAL_T));
    pthread_mutex_init(&g->rusage_lock, nullptr);   /* rusage: zero fill */
    g->logbuffer = logbuffer_create(1000);
    if (!g->logbuffer)
        FATAL_ALLOC(1000 * 64);   /* a ring of 1000 slots */
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
    timers_add(global->timers, 1, TIMER_REPEAT, process_trim, nullptr);

    /* 19: the rating cache dump starts last. */
    thread_create_internal(serverpool_clean, nullptr);
    thread_create_internal(icp_thread, nullptr);
    thread_create_internal(unlink_thread, nullptr);
    thread_create_internal(clientpool_thread, nullptr);
    thread_create_internal(timer_thread, nullptr);
    thread_create_internal(performance_check, nullptr);
    thread_create_internal(tavrin_cachedump, nullptr);
    /* Detached, the logs get their writer thread: from here on workers
     * only queue their lines. In the foreground each line is echoed to the
     * terminal by the thread that makes it anyway, and the file gets it at
     * the same moment, in the order the daemon's work can be watched. */
    if (daemonize)
        log_writer_start();

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
    fatal_register(startup_pending, sigterm);
    /* Large blocks (the bodies held whole) are mapped on their own and given
     * back when freed: left to itself, the allocator raises its threshold
     * after the first such free and then keeps freed bodies in every
     * worker's arena, past the bodies' memory budget. */
    (void)mallopt(M_MMAP_THRESHOLD, 256 * 1024);
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
