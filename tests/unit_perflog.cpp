/* The performance log: adding and storing counters, the 31 columns of a
 * row and where each counter lands, the thread census, the header line
 * written once at the top of an empty file, appending (never overwriting)
 * rows, and an empty or unusable path. */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "locks.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "process.h"
#include "stats.h"
#include "test_support.h"

namespace {

std::vector<std::string> columns(const std::string &row)
{
    std::vector<std::string> out;
    EXPECT_FALSE(row.empty());
    EXPECT_EQ('\n', row.back());
    std::string line = row.substr(0, row.size() - 1);
    std::stringstream in(line);
    std::string cell;
    while (std::getline(in, cell, ','))
        out.push_back(cell);
    return out;
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

size_t count_of(const std::string &text, const std::string &part)
{
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        n++;
    return n;
}

class PerflogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test_runtime_init();
        memcpy(saved_plogfile, plogfile, sizeof plogfile);
        dir = test_temp_dir();
        path = dir + "/performance.log";
        s_strncpy(plogfile, path.c_str(), sizeof plogfile);
        perflog_close();
    }
    void TearDown() override
    {
        perflog_close();
        memcpy(plogfile, saved_plogfile, sizeof plogfile);
    }

    char saved_plogfile[sizeof plogfile];
    std::string dir;
    std::string path;
};

/* One counter: its setter, its getter, its column (0: none) and whether
 * it stores instead of adding. */
struct CounterCase {
    const char *name;
    void (PerformanceLog::*set)(uint64_t);
    uint64_t (PerformanceLog::*get)();
    int column;
    bool stores;
};

#define COUNTER(name, column, stores) \
    { #name, &PerformanceLog::set_##name, &PerformanceLog::get_##name, column, stores }

const CounterCase counter_cases[] = {
    COUNTER(varcounter1, 0, false),
    COUNTER(threading_error, 12, false),
    COUNTER(connection_pool_size, 16, true),
    COUNTER(new_connection, 13, false),
    COUNTER(connection_fail, 14, false),
    COUNTER(connection_pool_hit, 15, false),
    COUNTER(dns_fail, 23, false),
    COUNTER(dns_hit, 21, false),
    COUNTER(bytes_out, 18, false),
    COUNTER(bytes_in, 17, false),
    COUNTER(clients_in_pool, 6, true),
    COUNTER(clients_active, 0, false),
    COUNTER(requests_completed, 5, false),
    COUNTER(connections_closed, 4, false),
    COUNTER(connections_handled, 3, false),
    COUNTER(cache_mmaps_created, 19, false),
    COUNTER(cache_mmaps_deleted, 20, false),
    COUNTER(dns_miss, 22, false),
};

TEST_F(PerflogTest, CountersAddOrStore)
{
    PerformanceLog log;
    for (const CounterCase &c : counter_cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(0u, (log.*c.get)());
        (log.*c.set)(5);
        (log.*c.set)(3);
        EXPECT_EQ(c.stores ? 3u : 8u, (log.*c.get)());
    }
    /* Adding wraps at 2^64 rather than failing. */
    PerformanceLog fresh;
    fresh.set_dns_hit(UINT64_MAX - 8);
    fresh.set_dns_hit(10);
    EXPECT_EQ(1u, fresh.get_dns_hit());
}

TEST_F(PerflogTest, EveryCounterInItsColumn)
{
    PerformanceLog log;
    /* Distinct values, each a multiple of 1024 so the KiB columns keep them
     * recognisable: counter i holds (i + 1) * 1024. */
    for (size_t i = 0; i < std::size(counter_cases); i++)
        (log.*counter_cases[i].set)((uint64_t)(i + 1) * 1024);

    std::vector<std::string> cells = columns(log.Build());
    ASSERT_EQ(31u, cells.size());
    for (size_t i = 0; i < std::size(counter_cases); i++) {
        const CounterCase &c = counter_cases[i];
        if (c.column == 0)
            continue;
        SCOPED_TRACE(c.name);
        uint64_t expected = (uint64_t)(i + 1) * 1024;
        if (c.column == 17 || c.column == 18)
            expected /= 1024;
        EXPECT_EQ(std::to_string(expected), cells[c.column - 1]);
    }
    EXPECT_EQ(14u, cells[0].size());
    EXPECT_EQ(std::string::npos, cells[0].find_first_not_of("0123456789"));
    EXPECT_EQ("0", cells[1]);
    EXPECT_EQ(std::to_string(perflog_total_memory_kb), cells[23]);
    EXPECT_EQ(std::to_string((uint64_t)sysconf(_SC_PHYS_PAGES) * (uint64_t)sysconf(_SC_PAGESIZE) /
                             1024),
              cells[23]);
    EXPECT_NE("0", cells[25]);   /* the process has a size */
    EXPECT_NE("0", cells[26]);   /* and a resident set */
}

TEST_F(PerflogTest, BytesInKibibytes)
{
    const struct {
        uint64_t bytes;
        const char *kib;
    } cases[] = { { 1023, "0" }, { 1024, "1" }, { 1536, "1" }, { 1024 * 1024, "1024" } };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.bytes);
        PerformanceLog log;
        log.set_bytes_in(c.bytes);
        log.set_bytes_out(c.bytes);
        std::vector<std::string> cells = columns(log.Build());
        ASSERT_EQ(31u, cells.size());
        EXPECT_EQ(c.kib, cells[16]);
        EXPECT_EQ(c.kib, cells[17]);
    }
}

TEST_F(PerflogTest, ThreadCensus)
{
    /* The main thread, seven service threads and two parked workers. */
    {
        MutexGuard guard(&threadlistlock);
        for (int i = 1; i < MAXTHREADS; i++)
            threads[i].state = THREAD_FREE;
        for (int i = 1; i <= 7; i++)
            threads[i].state = THREAD_STARTING;
        threads[8].state = THREAD_WAITING;
        threads[9].state = THREAD_WAITING;
        threads[10].state = THREAD_BUSY;
    }
    statm_t out = {};
    EXPECT_EQ(2, thread_report(&out));
    EXPECT_EQ(8u, out.text);
    EXPECT_EQ(2u, out.share);
    EXPECT_EQ(1u, out.resident);
    EXPECT_EQ(0u, out.lib);
    EXPECT_EQ((unsigned long)MAXTHREADS - 11, out.size);

    PerformanceLog log;
    std::vector<std::string> cells = columns(log.Build());
    ASSERT_EQ(31u, cells.size());
    EXPECT_EQ(std::to_string(MAXTHREADS - 11), cells[6]);
    EXPECT_EQ("1", cells[7]);
    EXPECT_EQ("2", cells[8]);
    EXPECT_EQ("8", cells[9]);
    EXPECT_EQ("0", cells[10]);

    MutexGuard guard(&threadlistlock);
    for (int i = 1; i <= 10; i++)
        threads[i].state = THREAD_FREE;
}

TEST_F(PerflogTest, MemoryUsage)
{
    statm_t m = {};
    ASSERT_EQ(1, read_memory_usage(&m));
    EXPECT_GT(m.size, 0u);
    EXPECT_GT(m.resident, 0u);
    EXPECT_GE(m.size, m.resident);
}

TEST_F(PerflogTest, LegendHasTheColumnsOfARow)
{
    std::string legend = performance_legend;
    ASSERT_EQ('\n', legend.back());
    EXPECT_EQ(31u, columns(legend).size());
    EXPECT_EQ(0u, legend.find("Time Stamp (YYYYMMDDhhmmss),Elapsed Time,Client Connections "
                              "Handled,"));
    EXPECT_TRUE(legend.find(",DNS Query failures,Total System Memory (KBytes),Free System "
                            "Memory (KBytes),Quillmere Virtual Memory (KBytes),") !=
                std::string::npos);
    EXPECT_EQ(legend.size() - strlen("Quillmere Library Memory (KBytes)\n"),
              legend.rfind("Quillmere Library Memory (KBytes)\n"));
}

TEST_F(PerflogTest, HeaderOnceThenRows)
{
    mode_t old_mask = umask(0);
    PerformanceLog log;
    EXPECT_EQ(1, log.Write());
    EXPECT_EQ(1, log.Write());
    umask(old_mask);

    std::string text = file_text(path);
    EXPECT_EQ(0u, text.find(performance_legend));
    EXPECT_EQ(1u, count_of(text, "Time Stamp"));
    EXPECT_EQ(3u, count_of(text, "\n"));
    struct stat st;
    ASSERT_EQ(0, stat(path.c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);

    /* A file that already holds data gets no header. */
    perflog_close();
    std::string other = dir + "/other.log";
    {
        std::ofstream out(other);
        out << "earlier row\n";
    }
    s_strncpy(plogfile, other.c_str(), sizeof plogfile);
    EXPECT_EQ(1, log.Write());
    text = file_text(other);
    EXPECT_EQ(0u, text.find("earlier row\n"));
    EXPECT_EQ(0u, count_of(text, "Time Stamp"));
    EXPECT_EQ(2u, count_of(text, "\n"));
}

TEST_F(PerflogTest, RowsAreAppendedAtTheEndOfWhatIsThere)
{
    PerformanceLog log;
    EXPECT_EQ(1, log.Write());
    /* A rotation empties the file while it is open (copytruncate): the
     * header line and the next row start at its new end, with no hole of
     * zero bytes before them. */
    ASSERT_EQ(0, truncate(path.c_str(), 0));
    EXPECT_EQ(1, log.Write());
    std::string text = file_text(path);
    EXPECT_EQ(std::string::npos, text.find('\0'));
    EXPECT_EQ(0u, text.find(performance_legend));
    EXPECT_EQ(2u, count_of(text, "\n"));
    EXPECT_EQ(31u, columns(text.substr(strlen(performance_legend))).size());
}

TEST_F(PerflogTest, EmptyPathWritesNothing)
{
    plogfile[0] = '\0';
    PerformanceLog log;
    EXPECT_EQ(0, log.Write());
    EXPECT_EQ(-1, plogfd);
    EXPECT_EQ(31u, columns(log.Build()).size());
}

TEST_F(PerflogTest, UnopenableFileIsTriedAgain)
{
    std::string missing = dir + "/no-such-dir/performance.log";
    s_strncpy(plogfile, missing.c_str(), sizeof plogfile);
    test_log_clear();
    PerformanceLog log;
    EXPECT_EQ(0, log.Write());
    EXPECT_TRUE(test_log_contains("unable to open performance log " + missing));
    test_log_clear();
    EXPECT_EQ(0, log.Write());
    EXPECT_FALSE(test_log_contains("unable to open performance log"));   /* logged once */

    ASSERT_EQ(0, mkdir((dir + "/no-such-dir").c_str(), 0755));
    EXPECT_EQ(1, log.Write());
    EXPECT_EQ(0u, file_text(missing).find(performance_legend));
}

}  // namespace
