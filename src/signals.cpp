/*
 * Signals. A handler may interrupt a thread that holds the log lock or the
 * cache lock, so the handlers themselves only write the signal's number into
 * a self-pipe; the timer thread, the one thread that has the
 * process-directed signals unblocked, reads the pipe between ticks and does
 * the logging, rotation and shutdown there.
 *
 * A crash (SIGSEGV, SIGABRT) cannot be deferred the same way, since the
 * crashing thread cannot go on: its handler writes the backtrace with
 * async-signal-safe calls, arms a watchdog that ends the process with
 * _exit(1), and leaves the shutdown steps to the timer thread (or runs them
 * itself when it is the timer thread). Whatever happens in the shutdown
 * steps, the watchdog ends the process.
 */
#include "signals.h"

#include <execinfo.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cache.h"
#include "compat.h"
#include "log.h"
#include "network.h"
#include "options.h"
#include "tavrin.h"

/* Seconds a crash shutdown may take before the watchdog ends the process. */
static const unsigned SHUTDOWN_WATCHDOG_SECONDS = 10;

static int signal_pipe[2] = { -1, -1 };
static std::atomic<bool> handler_running{false};
static pthread_t handler_thread;
static std::atomic<int> shutdown_started{0};
static volatile sig_atomic_t crash_in_progress = 0;
static int startup_fd = -1;
static bool startup_finished = false;   /* set once by startup_done */

static void signal_note(int sig);
static void signal_crash(int sig);
static void signal_watchdog(int sig);
static void signal_handle(int sig);
static void shutdown_steps();

/* The signals whose work runs on the handling thread only. */
static void signal_process_set(sigset_t *set)
{
    sigemptyset(set);
    sigaddset(set, SIGTERM);
    sigaddset(set, SIGHUP);
    sigaddset(set, SIGUSR1);
    sigaddset(set, SIGUSR2);
}

static void signal_install(int sig, void (*handler)(int), int flags)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handler;
    sa.sa_flags = SA_RESTART | flags;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
}

void signal_setup()
{
    if (signal_pipe[0] == -1) {
        if (pipe2(signal_pipe, O_NONBLOCK | O_CLOEXEC) != 0)
            putlog(LOG_ERROR, "[system: pipe:%d:%s], in %s, unable to create the signal pipe",
                   errno, strerror(errno), "signal_setup");
    }

    /* The first backtrace() loads the unwinder, which allocates: do that
     * now, so the crash handler only makes safe calls. */
    void *frames[2];
    backtrace(frames, 2);

    sigset_t set;
    signal_process_set(&set);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    signal_install(SIGTERM, signal_note, 0);
    signal_install(SIGHUP, signal_note, 0);
    signal_install(SIGUSR1, signal_note, 0);
    signal_install(SIGUSR2, signal_note, 0);
    signal_install(SIGPIPE, signal_note, 0);
    signal_install(SIGSEGV, signal_crash, SA_NODEFER);
    signal_install(SIGABRT, signal_crash, SA_NODEFER);
    signal_install(SIGALRM, signal_watchdog, 0);
}

void signal_become_handler()
{
    handler_thread = pthread_self();
    handler_running = true;
    sigset_t set;
    signal_process_set(&set);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

/* Async-signal-safe: records the signal for the handling thread. */
static void signal_note(int sig)
{
    int saved = errno;
    unsigned char byte = (unsigned char)sig;
    if (signal_pipe[1] != -1) {
        ssize_t w = write(signal_pipe[1], &byte, 1);
        (void)w;   /* a full pipe already holds work for the handler */
    }
    errno = saved;
}

static void signal_watchdog(int)
{
    _exit(1);
}

/* Async-signal-safe apart from the inline shutdown, which runs only under
 * the watchdog. */
static void signal_crash(int sig)
{
    if (crash_in_progress)
        _exit(1);
    crash_in_progress = 1;

    void *frames[20];
    int n = backtrace(frames, 20);
    int fd = log_native_fd();
    backtrace_symbols_fd(frames, n, fd != -1 ? fd : STDERR_FILENO);
    alarm(SHUTDOWN_WATCHDOG_SECONDS);

    if (handler_running && !pthread_equal(pthread_self(), handler_thread)) {
        signal_note(sig);
        for (;;)
            pause();
    }
    signal_handle(sig);
    _exit(1);
}

void signal_dispatch(int timeout_ms)
{
    struct pollfd pfd = { signal_pipe[0], POLLIN, 0 };
    if (signal_pipe[0] == -1 || poll(&pfd, 1, timeout_ms) <= 0)
        return;
    unsigned char bytes[64];
    ssize_t n = read(signal_pipe[0], bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; i++)
        signal_handle(bytes[i]);
}

/* The work of one signal, outside signal context. */
static void signal_handle(int sig)
{
    switch (sig) {
    case SIGTERM:
        putlog(LOG_ADVICE, "Recieved TERM Signal to EXIT");
        shutdown_exit(0);
    case SIGHUP:
        putlog(LOG_ADVICE, "Recieved HUP Signal for cleaning cache and closing all FDs");
        net_listen_closeall();
        if (cache_section)
            cache_section->graceful_exit();
        if (tavrin_section)
            (void)tavrin_section->tavrin_dnstofile_insert(true);
        fd_failure();
        break;
    case SIGUSR1:
        putlog(LOG_ADVICE, "Recieved Signal for Log Rotation");
        logrotate();
        break;
    case SIGUSR2:
        putlog(LOG_ADVICE, "Recieved Test Signal for USR2");
        break;
    case SIGPIPE: {
        /* Once: a broken console would otherwise log its own breakage
         * for ever. Every write already ignores the signal's cause. */
        static std::atomic<bool> logged{false};
        if (!logged.exchange(true))
            putlog(LOG_ERROR, "Recieved Signal for Broken pipe");
        break;
    }
    case SIGSEGV:
        putlog(LOG_ADVICE, "Recieved Signal for Segmentation violation");
        shutdown_exit(1);
    case SIGABRT:
        putlog(LOG_ERROR, "Recieved Signal for IOT trap ");
        shutdown_exit(1);
    default:
        break;
    }
}

void sigterm()
{
    putlog(LOG_ADVICE, "Recieved Signal for Termination");
    shutdown_exit(1);
}

static char shutdown_pidfile[256];

void shutdown_set_pidfile(const char *path)
{
    snprintf(shutdown_pidfile, sizeof shutdown_pidfile, "%s", path);
}

/* Each step is skipped when its object does not exist yet. */
static void shutdown_steps()
{
    net_listen_closeall();
    if (cache_section)
        cache_section->graceful_exit();
    /* After a crash the rating cache may be corrupt: the last dump, at most
     * a minute old, stays. */
    if (tavrin_section && !crash_in_progress)
        (void)tavrin_section->tavrin_dnstofile_insert(true);
    if (shutdown_pidfile[0])
        unlink(shutdown_pidfile);
    /* Every record of a request that ended reaches its file, and each
     * line after this one is written by the thread that makes it. */
    log_writer_stop();
}

void shutdown_exit(int status)
{
    int expected = 0;
    if (!shutdown_started.compare_exchange_strong(expected, 1)) {
        /* Another thread is already stopping the process. */
        for (;;)
            pause();
    }
    shutdown_steps();
    fflush(stdout);
    fflush(stderr);
    /* No exit(): the other threads are still running, and the exit-time
     * destructors would pull shared state from under them. */
    _exit(status);
}

void startup_set_pipe(int fd)
{
    startup_fd = fd;
}

bool startup_pending()
{
    return !startup_finished;
}

void startup_done()
{
    startup_finished = true;
    if (startup_fd == -1)
        return;
    /* The launcher exits with status 0 once it reads this byte. */
    const unsigned char ack = 0x06;
    ssize_t w = write(startup_fd, &ack, 1);
    (void)w;
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd != -1) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO)
            close(null_fd);
    }
    close(startup_fd);
    startup_fd = -1;
}
