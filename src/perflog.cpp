/*
 * The performance log: process-wide load counters, fed by the proxy engine,
 * the cache and the worker loop, and a writer thread that appends one
 * comma-separated row of them, with thread, memory and time figures, every
 * two seconds. The file is for spreadsheets and graphs: a header line of
 * column names, then rows; it is never rotated. Each counter has its own
 * lock, so feeders on different threads never wait for each other, and a
 * row reads the counters one after the other (its columns are not one
 * instant). The file is opened for appending, so rows from a restarted
 * daemon, or a file shared by mistake, never overwrite each other.
 */
#include "perflog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "compat.h"
#include "locks.h"
#include "log.h"
#include "options.h"
#include "process.h"
#include "stats.h"

static uint64_t perflog_free_memory_kb();

const int performance_log_write_invl = 2;

const char *const performance_legend =
    "Time Stamp (YYYYMMDDhhmmss),Elapsed Time,Client Connections Handled,Client Connections "
    "Closed,Client Transactions Handled,Client Connections in Pool,Spare Client Threads,Client "
    "Threads in Use,Client Threads in Waiting,Threads Starting up,Threads Reserved for "
    "Prefetching,Threading Errors,Outbound Connections created,Outbound Connections "
    "Failed,Outbound Connection Pool Reused,Outbound Connections in Pool,Bytes in "
    "(KBytes),Bytes Out (KBytes),Caching Objects Created in Memory,Caching Objects Removed from "
    "Memory,DNS Queries Reused,New DNS Queries,DNS Query failures,Total System Memory "
    "(KBytes),Free System Memory (KBytes),Quillmere Virtual Memory (KBytes),Quillmere Resident "
    "Memory (KBytes),Quillmere Shared Memory (KBytes),Quillmere Code Memory (KBytes),Quillmere "
    "Data Memory (KBytes),Quillmere Library Memory (KBytes)\n";

const long pagesize = sysconf(_SC_PAGESIZE);
const uint64_t perflog_total_memory_kb =
    (uint64_t)sysconf(_SC_PHYS_PAGES) * (uint64_t)pagesize / 1024;

int plogfd = -1;

PerformanceLog *performance_log = nullptr;

/* Guards plogfd and the open-failure note: only the writer thread writes
 * rows, but tests and a closing process reach the descriptor too. */
static pthread_mutex_t perflog_file_lock = PTHREAD_MUTEX_INITIALIZER;
/* The last open failed and was logged; the next failure stays quiet. */
static bool perflog_open_failed = false;

/* ---- Counters ---- */

PerformanceLog::PerformanceLog()
{
    gettimeofday(&start, nullptr);
}

/* ---- Rows ---- */

int read_memory_usage(statm_t *out)
{
    FILE *file = s_fopen("/proc/self/statm", "r");
    if (!file)
        return 0;
    char line[1024];
    bool read = fgets(line, sizeof line, file) != nullptr;
    fclose(file);
    if (!read)
        return 0;

    unsigned long v[7];
    if (sscanf(line, "%lu %lu %lu %lu %lu %lu %lu", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5],
               &v[6]) != 7)
        return 0;
    unsigned long page_bytes = (unsigned long)pagesize;
    for (unsigned long &x : v)
        x = x * page_bytes / 1024;
    out->size = v[0];
    out->resident = v[1];
    out->share = v[2];
    out->text = v[3];
    out->lib = v[4];
    out->data = v[5];
    out->dt = v[6];
    return 1;
}

/* The available physical memory in KiB. */
static uint64_t perflog_free_memory_kb()
{
    long pages = sysconf(_SC_AVPHYS_PAGES);
    return pages > 0 ? (uint64_t)pages * (uint64_t)pagesize / 1024 : 0;
}

std::string PerformanceLog::Build()
{
    time_t now = time(nullptr);
    struct tm tm;
    char stamp[32] = "";
    if (localtime_r(&now, &tm))
        strftime(stamp, sizeof stamp, "%Y%m%d%H%M%S", &tm);

    struct timeval tv;
    gettimeofday(&tv, nullptr);
    unsigned long long elapsed = tv.tv_sec > start.tv_sec ? (unsigned long long)(tv.tv_sec -
                                                                                 start.tv_sec)
                                                          : 0;

    statm_t slots = {};
    thread_report(&slots);
    statm_t memory = {};   /* stays zero when /proc cannot be read */
    (void)read_memory_usage(&memory);

    (void)get_clients_active();   /* read with the rest, not a column */

    char row[1024];
    snprintf(row, sizeof row,
             "%s,%llu,%llu,%llu,%llu,%llu,%lu,%lu,%lu,%lu,%lu,%llu,%llu,%llu,%llu,%llu,%llu,%llu,"
             "%llu,%llu,%llu,%llu,%llu,%llu,%llu,%lu,%lu,%lu,%lu,%lu,%lu\n",
             stamp, elapsed, (unsigned long long)get_connections_handled(),
             (unsigned long long)get_connections_closed(),
             (unsigned long long)get_requests_completed(),
             (unsigned long long)get_clients_in_pool(), slots.size, slots.resident, slots.share,
             slots.text, slots.lib, (unsigned long long)get_threading_error(),
             (unsigned long long)get_new_connection(), (unsigned long long)get_connection_fail(),
             (unsigned long long)get_connection_pool_hit(),
             (unsigned long long)get_connection_pool_size(),
             (unsigned long long)(get_bytes_in() / 1024),
             (unsigned long long)(get_bytes_out() / 1024),
             (unsigned long long)get_cache_mmaps_created(),
             (unsigned long long)get_cache_mmaps_deleted(), (unsigned long long)get_dns_hit(),
             (unsigned long long)get_dns_miss(), (unsigned long long)get_dns_fail(),
             (unsigned long long)perflog_total_memory_kb,
             (unsigned long long)perflog_free_memory_kb(), memory.size, memory.resident,
             memory.share, memory.text, memory.data, memory.lib);
    return row;
}

int PerformanceLog::Write()
{
    std::string row = Build();
    if (plogfile[0] == '\0')
        return 0;

    MutexGuard guard(&perflog_file_lock);
    if (plogfd == -1) {
        int fd = s_open64(plogfile, O_RDWR | O_CREAT | O_APPEND, 0640);
        if (fd == -1) {
            if (!perflog_open_failed)
                putlog(LOG_ERROR, "[system: open:%d:%s], in %s, unable to open performance log %s",
                       errno, strerror(errno), "PerformanceLog::Write", plogfile);
            perflog_open_failed = true;
            return 0;
        }
        perflog_open_failed = false;
        plogfd = fd;
    }
    /* An empty file gets the header line first: a new one, or one emptied
     * in place by a log rotation (copytruncate). */
    struct stat st;
    if (fstat(plogfd, &st) == 0 && st.st_size == 0 &&
        write(plogfd, performance_legend, strlen(performance_legend)) < 0)
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, unable to write performance log %s",
               errno, strerror(errno), "PerformanceLog::Write", plogfile);
    if (write(plogfd, row.data(), row.size()) != (ssize_t)row.size())
        return 0;
    return 1;
}

void perflog_close()
{
    MutexGuard guard(&perflog_file_lock);
    if (plogfd != -1)
        close(plogfd);
    plogfd = -1;
    perflog_open_failed = false;
}

void *performance_check(void *)
{
    for (;;) {
        if (performance_log)
            performance_log->Write();
        sleep(performance_log_write_invl);
    }
    return nullptr;
}
