/*
 * Thin wrappers of system calls. The descriptor-creating ones exist so that
 * a proxy that runs out of descriptors under load first gives up its idle
 * pooled connections and then succeeds: one relief and one retry, no more.
 */
#include "compat.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "clientpool.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "serverpool.h"

int (*compat_fault_hook)(const char *call) = nullptr;

/* Returns true (with errno set) when the test seam fails this call. */
static bool compat_injected(const char *call)
{
    if (!compat_fault_hook)
        return false;
    int e = compat_fault_hook(call);
    if (e == 0)
        return false;
    errno = e;
    return true;
}

/* The relief closes every idle connection, so while a shortage lasts it
 * runs at growing intervals: from COMPAT_RELIEF_MIN_MS, doubled after each
 * relief that follows the previous one closely, up to COMPAT_RELIEF_MAX_MS;
 * a quiet spell starts again from the shortest. */
#define COMPAT_RELIEF_MIN_MS 100
#define COMPAT_RELIEF_MAX_MS 4000

void fd_failure()
{
    static LOG_RATE rate;
    static std::atomic<int64_t> last_relief_ms{0};
    static std::atomic<int64_t> interval_ms{COMPAT_RELIEF_MIN_MS};

    long long suppressed = 0;
    if (log_rate_allow(&rate, &suppressed)) {
        if (suppressed > 0)
            putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources "
                              "(%lld more since the last report)", suppressed);
        else
            putlog(LOG_ERROR, "failure opening file descriptor, attempting to free resources");
    }

    int64_t now = monotonic_ms();
    int64_t last = last_relief_ms.load();
    int64_t interval = interval_ms.load();
    if (last != 0 && now - last < interval)
        return;   /* relieved a moment ago: the shortage lasts */
    if (!last_relief_ms.compare_exchange_strong(last, now))
        return;   /* another thread relieves now */
    if (last != 0 && now - last < 2 * interval)
        interval_ms.store(std::min<int64_t>(interval * 2, COMPAT_RELIEF_MAX_MS));
    else
        interval_ms.store(COMPAT_RELIEF_MIN_MS);
    if (global && global->clientpool)
        global->clientpool->Clean();
    if (global && global->serverpool)
        global->serverpool->Clean(1);
}

/* Runs call; on ENFILE relieves and runs it once more, logging a failed
 * retry with the line built by report. */
template <typename T, typename Call, typename Report>
static T compat_retry(const char *name, T failed, Call call, Report report)
{
    T r = compat_injected(name) ? failed : call();
    if (r != failed || errno != ENFILE)
        return r;
    fd_failure();
    r = compat_injected(name) ? failed : call();
    if (r == failed) {
        int e = errno;
        report(e);
        errno = e;
    }
    return r;
}

int s_open(const char *path, int flags, mode_t mode)
{
    return compat_retry<int>("open", -1, [&] { return open(path, flags, mode); }, [&](int e) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, failed to open file %s", e, strerror(e),
               "s_open", path);
    });
}

int s_open64(const char *path, int flags, mode_t mode)
{
    return compat_retry<int>("open64", -1, [&] { return open64(path, flags, mode); }, [&](int e) {
        putlog(LOG_ERROR, "[system: open64:%d:%s], in %s, failed to open file %s", e,
               strerror(e), "s_open64", path);
    });
}

FILE *s_fopen(const char *path, const char *mode)
{
    return compat_retry<FILE *>("fopen", nullptr, [&] { return fopen(path, mode); }, [&](int e) {
        putlog(LOG_ERROR, "[system: fopen:%d:%s], in %s, unable to open file", e, strerror(e),
               "s_fopen");
    });
}

DIR *s_opendir(const char *path)
{
    return compat_retry<DIR *>("opendir", nullptr, [&] { return opendir(path); }, [&](int e) {
        putlog(LOG_ERROR, "[system: opendir:%d:%s], in %s, unable to open directory", e,
               strerror(e), "s_opendir");
    });
}

int s_socket(int family, int type, int protocol)
{
    return compat_retry<int>("socket", -1, [&] { return socket(family, type, protocol); },
                             [&](int e) {
                                 putlog(LOG_ERROR, "[system: socket:%d:%s], in %s unable to create socket",
                                        e, strerror(e), "s_socket");
                             });
}

/* The accept error line, at most once a second however fast accept fails,
 * with the count of the failures not reported. */
static void compat_accept_report(int e)
{
    static LOG_RATE rate;
    long long suppressed = 0;
    if (!log_rate_allow(&rate, &suppressed))
        return;
    if (suppressed > 0)
        putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket (%lld more since the last report)",
               e, strerror(e), "s_accept", suppressed);
    else
        putlog(LOG_ERROR, "[system: accept:%d:%s], in %s, unable to connect on a socket", e,
               strerror(e), "s_accept");
}

int s_accept(int socket, struct sockaddr *address, socklen_t *length, int flags)
{
    int fd = compat_injected("accept") ? -1 : accept4(socket, address, length, flags);
    if (fd >= 0)
        return fd;
    int e = errno;
    if (e == ENOTSOCK)
        return -1;
    compat_accept_report(e);
    if (e != ENFILE && e != EMFILE) {
        errno = e;
        return -1;
    }
    fd_failure();
    fd = compat_injected("accept") ? -1 : accept4(socket, address, length, flags);
    if (fd >= 0)
        return fd;
    e = errno;
    compat_accept_report(e);
    if (e == ENFILE || e == EMFILE) {
        /* Nothing could be freed: wait a little before the caller tries
         * again, instead of spinning on a connection that stays queued. */
        struct timespec pause = { 0, 100 * 1000 * 1000 };
        nanosleep(&pause, nullptr);
    }
    errno = e;
    return -1;
}

std::atomic<int> poll_waiting{0};

int p_poll(struct pollfd *fds, nfds_t count, int timeout)
{
    if (timeout == 0)
        return poll(fds, count, 0);
    /* A line held for the thread's next one is not kept back while the
     * thread waits. */
    log_release_held();
    poll_waiting.fetch_add(1, std::memory_order_relaxed);
    int r = poll(fds, count, timeout);
    int error = errno;
    poll_waiting.fetch_sub(1, std::memory_order_relaxed);
    errno = error;
    return r;
}

void *p_mremap(void *address, size_t old_size, size_t new_size, int flags)
{
    (void)flags;
    return mremap(address, old_size, new_size, MREMAP_MAYMOVE);
}

HOSTENT *p_gethostbyname(const char *name)
{
    struct hostent result, *answer = nullptr;
    std::vector<char> work(1024);
    int herr = 0;
    /* The lookup waits for the resolver: counted as a wait. */
    poll_waiting.fetch_add(1, std::memory_order_relaxed);
    struct Waited {
        ~Waited() { poll_waiting.fetch_sub(1, std::memory_order_relaxed); }
    } waited;
    for (;;) {
        int rc = gethostbyname_r(name, &result, work.data(), work.size(), &answer, &herr);
        if (rc == ERANGE && work.size() < 65536) {
            work.resize(work.size() * 2);
            continue;
        }
        if (rc != 0)
            answer = nullptr;
        break;
    }
    if (!answer || answer->h_addrtype != AF_INET || answer->h_length != 4 ||
        !answer->h_addr_list || !answer->h_addr_list[0])
        return nullptr;

    HOSTENT *host = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    char *addr = (char *)xmalloc(4);
    if (!host || !addr)
        fatal_error("src/compat", __LINE__, "p_gethostbyname", "Failed to allocate %u bytes of memory",
                    (unsigned)(sizeof(HOSTENT) + 4));
    memcpy(addr, answer->h_addr_list[0], 4);
    host->addr = addr;
    host->len = 4;
    return host;
}

void hostent_free(HOSTENT *host)
{
    if (!host)
        return;
    free(host->addr);
    free(host);
}

int create_recursive_directory(const char *path)
{
    char built[256] = "";
    size_t len = 0;
    const char *p = path;
    while (*p) {
        while (*p == '/')
            p++;
        const char *end = p;
        while (*end && *end != '/')
            end++;
        if (end == p)
            break;
        size_t part = (size_t)(end - p);
        if (len + 1 + part >= sizeof built) {
            putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s",
                   ENAMETOOLONG, strerror(ENAMETOOLONG), "create_recursive_directory", path);
            return -1;
        }
        built[len++] = '/';
        memcpy(built + len, p, part);
        len += part;
        built[len] = '\0';

        if (mkdir(built, 0755) != 0) {
            int e = errno;
            struct stat st;
            if (e != EEXIST || stat(built, &st) != 0 || !S_ISDIR(st.st_mode)) {
                if (e == EEXIST)
                    e = ENOTDIR;
                putlog(LOG_ERROR, "[system: mkdir:%d:%s], in %s, failed to create directory %s", e,
                       strerror(e), "create_recursive_directory", path);
                return -1;
            }
        }
        p = end;
    }
    return 1;
}
