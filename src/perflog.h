#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <string>

struct statm_t;

/* The seconds between two rows of the performance log. */
extern const int performance_log_write_invl;

/* The header line of the performance log: 31 column names and a newline. */
extern const char *const performance_legend;

/* The system page size in bytes and the total system memory in KiB, read
 * once before main. */
extern const long pagesize;
extern const uint64_t perflog_total_memory_kb;

/* The performance log's descriptor, -1 while it is not open. */
extern int plogfd;

/* One load counter: an atomic, so feeders on any thread count without a
 * lock. Values are unsigned 64-bit and wrap at 2^64. */
class PerfCounter {
public:
    PerfCounter() = default;
    PerfCounter(const PerfCounter &) = delete;
    PerfCounter &operator=(const PerfCounter &) = delete;

    /* Adds n, or stores n. */
    void add(uint64_t n) { value.fetch_add(n, std::memory_order_relaxed); }
    void store(uint64_t n) { value.store(n, std::memory_order_relaxed); }
    /* The value. */
    uint64_t get() const { return value.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> value{0};
};

/* A counter that totals what its feeders add (set_ adds n). */
#define PERFLOG_ADDING(name)                          \
    void set_##name(uint64_t n) { name.add(n); }      \
    uint64_t get_##name() { return name.get(); }      \
    PerfCounter name

/* A gauge that keeps the last value its feeder stored (set_ stores n). */
#define PERFLOG_STORING(name)                         \
    void set_##name(uint64_t n) { name.store(n); }    \
    uint64_t get_##name() { return name.get(); }      \
    PerfCounter name

/*
 * The process-wide load counters and the rows of the performance log. One
 * object (performance_log) lives from config to process exit; the counters
 * never go back to 0. Feeders call set_<counter>(n) on any thread; the
 * writer thread (performance_check) appends one row every
 * performance_log_write_invl seconds.
 */
class PerformanceLog {
public:
    /* Notes the start time; every counter 0. */
    PerformanceLog();
    PerformanceLog(const PerformanceLog &) = delete;
    PerformanceLog &operator=(const PerformanceLog &) = delete;

    /*
     * One row: local time "%Y%m%d%H%M%S", seconds since start, the
     * counters, the thread slots by state, bytes in and out in KiB, the
     * system's total and free memory and the process's memory in KiB, as
     * 31 comma-separated values and a newline (the columns of
     * performance_legend).
     */
    std::string Build();

    /*
     * Appends a row to the file plogfile; nothing but the building happens
     * when plogfile is empty. The file is opened (O_APPEND, created with
     * mode 0640) on the first row and kept open; when it is empty the
     * header line goes first. A file that cannot be opened is logged and
     * tried again at the next row. Returns 1 when a row was written, 0
     * otherwise.
     */
    int Write();

    struct timeval start;

    PERFLOG_ADDING(varcounter1);           /* fed by nothing */
    PERFLOG_ADDING(threading_error);       /* client pool: connections no worker took */
    PERFLOG_STORING(connection_pool_size); /* server pool cleaning */
    PERFLOG_ADDING(new_connection);        /* each successful outgoing connect */
    PERFLOG_ADDING(connection_fail);       /* each failed outgoing connect */
    PERFLOG_ADDING(connection_pool_hit);   /* each server connection reused */
    PERFLOG_ADDING(dns_fail);              /* each failed resolution */
    PERFLOG_ADDING(dns_hit);               /* each DNS cache hit */
    PERFLOG_ADDING(bytes_out);             /* a destroyed socket's bytes written */
    PERFLOG_ADDING(bytes_in);              /* a destroyed socket's bytes read */
    PERFLOG_STORING(clients_in_pool);      /* client pool: idle connections watched */
    PERFLOG_ADDING(clients_active);        /* fed by nothing; read, not written */
    PERFLOG_ADDING(requests_completed);    /* the worker loop, per request */
    PERFLOG_ADDING(connections_closed);    /* each net_close */
    PERFLOG_ADDING(connections_handled);   /* client pool: connections handed over */
    PERFLOG_ADDING(cache_mmaps_created);   /* each mapping made for a cache object */
    PERFLOG_ADDING(cache_mmaps_deleted);   /* each cache object removed from memory */
    PERFLOG_ADDING(dns_miss);              /* each DNS cache miss */
};

/* The one object, created by config before the sections; NULL before. */
extern PerformanceLog *performance_log;

/* Reads /proc/self/statm into *out in KiB. Returns 1, or 0 when the file
 * cannot be read or its first line does not hold seven numbers (*out is
 * then left as it was). */
[[nodiscard]] int read_memory_usage(statm_t *out);

/* The writer thread's body (started by config; arg is not used): for ever,
 * a row, then performance_log_write_invl seconds of sleep. */
void *performance_check(void *arg);

/* Closes the file, so that the next row opens plogfile anew. */
void perflog_close();
