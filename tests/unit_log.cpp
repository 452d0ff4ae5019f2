/* The native log's filtering, the in-memory log, the access-log records and
 * their escaping, rotation, and many threads writing lines and records while
 * the files rotate and the in-memory log wraps, is resized and read. */
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "compat.h"
#include "log.h"
#include "options.h"
#include "test_support.h"

static std::string log_read_file(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

static std::vector<std::string> log_dir_entries(const std::string &dir)
{
    std::vector<std::string> names;
    DIR *d = opendir(dir.c_str());
    while (struct dirent *e = d ? readdir(d) : nullptr)
        if (e->d_name[0] != '.')
            names.push_back(e->d_name);
    if (d)
        closedir(d);
    return names;
}

/* Points the native log at a fresh file for one test and restores the mask. */
class LogFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = test_temp_dir();
        path = dir + "/native.log";
        snprintf(logfile, sizeof logfile, "%s", path.c_str());
        saved_level = loglevel;
        log_close();
        test_log_clear();
    }
    void TearDown() override
    {
        log_writer_stop();
        loglevel = saved_level;
        log_close();
        logfile[0] = '\0';
    }
    std::string dir, path;
    int saved_level = 0;
};

TEST_F(LogFile, MaskDecidesWhereLinesGo)
{
    loglevel = 0x7ffffff;
    putlog(LOG_DEBUG, "debug-line");
    putlog(LOG_VERIFY, "verify-line");
    putlog(LOG_CACHE, "cache-line %d", 5);
    loglevel = 0;
    putlog(LOG_ADVICE, "advice-line");
    putlog(LOG_ERROR, "error-line");

    std::string text = log_read_file(path);
    EXPECT_EQ(std::string::npos, text.find("debug-line"));
    EXPECT_EQ(std::string::npos, text.find("verify-line"));
    EXPECT_NE(std::string::npos, text.find("] cache: cache-line 5\n"));
    EXPECT_NE(std::string::npos, text.find("] advice: advice-line\n"));
    EXPECT_EQ(std::string::npos, text.find("error-line"));

    /* Memory keeps everything but debug lines, whatever the mask. */
    EXPECT_FALSE(test_log_contains("debug-line"));
    EXPECT_TRUE(test_log_contains("verify: verify-line"));
    EXPECT_TRUE(test_log_contains("error: error-line"));
}

TEST_F(LogFile, LineFormatAndNewline)
{
    putlog(LOG_NETWORK, "ends with newline\n");
    putlog(LOG_NETWORK | LOG_CACHE, "combined");
    std::string text = log_read_file(path);
    /* "YYYY mm dd HH:MM:SS [0] network: ..." with exactly one newline */
    ASSERT_GE(text.size(), 20u);
    EXPECT_EQ(' ', text[4]);
    EXPECT_EQ(':', text[13]);
    EXPECT_NE(std::string::npos, text.find(" [0] network: ends with newline\n2"));
    EXPECT_NE(std::string::npos, text.find(" [0] combined\n"));
}

TEST_F(LogFile, LongLineIsCutButTerminated)
{
    std::string big(20000, 'x');
    putlog(LOG_ERROR, "%s", big.c_str());
    std::string text = log_read_file(path);
    EXPECT_EQ(8191u, text.size());
    EXPECT_EQ('\n', text.back());
}

/* A held line is written with the thread's next written line, or when the
 * thread waits or ends its request; never lost, never twice, never after a
 * line made later on the same thread. */
TEST_F(LogFile, HeldLineLeavesWithTheNextOrBeforeAWait)
{
    struct Case {
        const char *what;
        std::function<void()> action;
        bool released;       /* the held line is in the file after the action */
        const char *after;   /* a line the action writes after it, or nullptr */
    };
    const Case cases[] = {
        { "the next line", [] { putlog(LOG_REQUEST, "next-line"); }, true, "] request: next-line\n" },
        { "an explicit release", [] { log_release_held(); }, true, nullptr },
        { "a wait with a time-out",
          [] {
              int fds[2];
              ASSERT_EQ(0, pipe(fds));
              struct pollfd p = { fds[0], POLLIN, 0 };
              (void)p_poll(&p, 1, 1);
              close(fds[0]);
              close(fds[1]);
          },
          true, nullptr },
        { "holding another", [] { putlog_held(LOG_CACHE, "second-held"); }, true, nullptr },
        { "a look without waiting",
          [] {
              struct pollfd p = { -1, POLLIN, 0 };
              (void)p_poll(&p, 1, 0);
          },
          false, nullptr },
        { "a debug line not wanted", [] { putlog(LOG_DEBUG, "quiet-debug"); }, false, nullptr },
        { "a line outside the mask", [] { putlog(LOG_PROFILES, "quiet-profile"); }, false, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        loglevel = LOG_CACHE | LOG_REQUEST;
        log_close();
        std::ofstream(path, std::ios::trunc).close();
        putlog_held(LOG_CACHE, "held-line %d", 7);
        EXPECT_EQ("", log_read_file(path));
        EXPECT_TRUE(test_log_contains("cache: held-line 7"));   /* memory has it at once */
        c.action();
        std::string text = log_read_file(path);
        size_t held = text.find("] cache: held-line 7\n");
        EXPECT_EQ(c.released, held != std::string::npos) << text;
        if (c.after) {
            size_t after = text.find(c.after);
            ASSERT_NE(std::string::npos, after) << text;
            EXPECT_LT(held, after) << text;
        }
        log_release_held();
        text = log_read_file(path);
        held = text.find("] cache: held-line 7\n");
        ASSERT_NE(std::string::npos, held) << text;
        EXPECT_EQ(std::string::npos, text.find("held-line 7", held + 12)) << text;
        EXPECT_EQ(std::string::npos, text.find("quiet-")) << text;
        EXPECT_EQ('\n', text.back());
    }
    /* Two lines of the longest size leave whole. */
    log_close();
    std::ofstream(path, std::ios::trunc).close();
    std::string big(20000, 'y');
    putlog_held(LOG_CACHE, "%s", big.c_str());
    putlog(LOG_REQUEST, "%s", big.c_str());
    std::string text = log_read_file(path);
    EXPECT_EQ(2 * 8191u, text.size());
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
}

/* In the foreground the lines are echoed to standard output. A regular file
 * given by ">" is appended to: a file cut to nothing while the daemon runs
 * goes on from its new start, not past a hole of zero bytes. */
TEST_F(LogFile, ConsoleFileIsAppendedEvenAfterItIsCut)
{
    std::string console = dir + "/console.out";
    pid_t child = fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        int fd = open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd == -1 || dup2(fd, STDOUT_FILENO) == -1)
            _exit(2);
        daemonize = 0;
        loglevel = LOG_CACHE;
        putlog(LOG_CACHE, "before-the-cut %s", std::string(4000, 'b').c_str());
        if (truncate(console.c_str(), 0) != 0)
            _exit(3);
        putlog_held(LOG_CACHE, "held-after-the-cut");
        putlog(LOG_CACHE, "after-the-cut");
        int flags = fcntl(STDOUT_FILENO, F_GETFL);
        _exit(flags != -1 && (flags & O_APPEND) ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(child, waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    std::string text = log_read_file(console);
    EXPECT_EQ(std::string::npos, text.find('\0')) << "a hole before the new lines";
    EXPECT_EQ(std::string::npos, text.find("before-the-cut"));
    size_t held = text.find("] cache: held-after-the-cut\n");
    size_t after = text.find("] cache: after-the-cut\n");
    ASSERT_NE(std::string::npos, held) << text;
    ASSERT_NE(std::string::npos, after) << text;
    EXPECT_LT(held, after);
    EXPECT_EQ(2, std::count(text.begin(), text.end(), '\n'));
}

TEST_F(LogFile, RotationMovesFileAsideAndKeepsBothWithinOneSecond)
{
    putlog(LOG_ERROR, "first");
    logrotate();                     /* logs its own line into the old file */
    putlog(LOG_ERROR, "second");     /* rotates, then writes */
    logrotate();
    putlog(LOG_ERROR, "third");

    std::vector<std::string> names = log_dir_entries(dir);
    EXPECT_EQ(3u, names.size());
    log_close();
    std::string current = log_read_file(path);
    EXPECT_NE(std::string::npos, current.find("third"));
    EXPECT_EQ(std::string::npos, current.find("second"));
    int rotated = 0;
    for (const std::string &n : names) {
        if (n == "native.log")
            continue;
        /* YYYYmmddHHMMSS-native.log, then .1 for the second in that second */
        EXPECT_EQ(14u, n.find("-native.log")) << n;
        rotated++;
    }
    EXPECT_EQ(2, rotated);
}

/* Lines written by one thread: "T<thread> L<index> " and a run of x whose
 * length depends on the index, so a line cut, glued to another or written
 * twice is seen. Long lines (up to 4000 bytes) make torn writes likely if
 * a line ever took more than one write. */
static std::string log_test_payload(int index)
{
    return std::string((size_t)(index * 37 % 4000), 'x');
}

/* Counts each thread's lines (given by parse) found in one file and checks
 * that within the file each thread's lines come in the order written. */
struct LogTally {
    std::vector<std::vector<int>> seen;   /* [thread][index]: times seen */
    explicit LogTally(int threads, int lines) : seen((size_t)threads, std::vector<int>((size_t)lines)) {}
    void file(const std::string &name, const std::string &text,
              const std::function<bool(const std::string &, int *, int *)> &parse)
    {
        std::vector<int> last(seen.size(), -1);
        std::istringstream in(text);
        for (std::string line; std::getline(in, line);) {
            int t = -1, i = -1;
            if (!parse(line, &t, &i))
                continue;
            ASSERT_TRUE(t >= 0 && t < (int)seen.size() && i >= 0 && i < (int)seen[0].size())
                << name << ": " << line.substr(0, 80);
            EXPECT_LT(last[(size_t)t], i) << name << ": thread " << t << " out of order";
            last[(size_t)t] = i;
            seen[(size_t)t][(size_t)i]++;
        }
    }
    void expect_each_once(const char *what)
    {
        for (size_t t = 0; t < seen.size(); t++)
            for (size_t i = 0; i < seen[t].size(); i++)
                ASSERT_EQ(1, seen[t][i]) << what << ": thread " << t << " line " << i;
    }
};

/* The same log tests, with the appenders writing for themselves (false) and
 * with the writer thread taking their lines (true). */
class LogFileWriters : public LogFile, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override
    {
        LogFile::SetUp();
        if (GetParam()) {
            ASSERT_TRUE(log_writer_start());
        }
    }
};
INSTANTIATE_TEST_SUITE_P(Log, LogFileWriters, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool> &info) {
                             return std::string(info.param ? "WriterThread" : "EachAppender");
                         });

/* Many threads write native-log lines and access records while the logs are
 * rotated again and again: every line and record lands whole, exactly once,
 * in one of the files, in each thread's order; every access log starts with
 * its legend; and the native log keeps its descriptor number throughout, so
 * a writer never holds a descriptor closed or reused under it. */
TEST_P(LogFileWriters, ThreadsWriteWholeLinesWhileTheLogsRotate)
{
    snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
    snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
    loglevel = LOG_REQUEST;
    const int threads = 6, lines = 1000, rotations = 25;

    putlog(LOG_REQUEST, "opening line");
    log_flush();   /* the file is open once its first line is written */
    const int fd = log_native_fd();
    ASSERT_NE(-1, fd);

    std::atomic<int> running{threads};
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; t++)
        writers.emplace_back([t, &running] {
            LogEntry e;
            e.client = "10.0.0." + std::to_string(t);
            e.method = "GET";
            e.status = 200;
            for (int i = 0; i < lines; i++) {
                putlog(LOG_REQUEST, "T%d L%d %s", t, i, log_test_payload(i).c_str());
                e.url = "http://t.test/T" + std::to_string(t) + "-" + std::to_string(i) + "-" +
                        log_test_payload(i);
                e.Write();
                e.apache_Write();
            }
            running--;
        });
    /* Rotations spread over the writers' run: each waits for lines written
     * since the last one. */
    int rotated = 0;
    for (; rotated < rotations && running > 0; rotated++) {
        logrotate();
        for (int spin = 0; spin < 1000 && running > 0; spin++)
            std::this_thread::yield();
    }
    for (std::thread &w : writers)
        w.join();
    EXPECT_EQ(fd, log_native_fd());
    log_writer_stop();
    slogfile[0] = elogfile[0] = '\0';
    log_close();

    LogTally native(threads, lines), access(threads, lines), extended(threads, lines);
    int native_files = 0, access_files = 0;
    for (const std::string &name : log_dir_entries(dir)) {
        std::string text = log_read_file(dir + "/" + name);
        ASSERT_TRUE(text.empty() || text.back() == '\n') << name;
        if (name.find("native.log") != std::string::npos) {
            native_files++;
            native.file(name, text, [&name](const std::string &line, int *t, int *i) {
                size_t at = line.find("] request: T");
                if (line.find("Recieved Signal for Log Rotation") != std::string::npos ||
                    line.find("] request: opening line") != std::string::npos)
                    return false;
                int used = 0;
                EXPECT_EQ(19u, line.find(" [")) << name << ": " << line.substr(0, 80);
                if (at == std::string::npos ||
                    sscanf(line.c_str() + at, "] request: T%d L%d %n", t, i, &used) != 2) {
                    ADD_FAILURE() << name << ": " << line.substr(0, 80);
                    return false;
                }
                EXPECT_EQ(log_test_payload(*i), line.substr(at + (size_t)used)) << name;
                return true;
            });
        } else if (name.find("access.log") != std::string::npos) {
            access_files++;
            EXPECT_EQ(0u, text.find(std::string(access_legend) + "\n")) << name;
            access.file(name, text, [&name](const std::string &line, int *t, int *i) {
                if (line.empty() || line[0] == '#')
                    return false;
                std::istringstream in(line);
                std::vector<std::string> f;
                for (std::string w; in >> w;)
                    f.push_back(w);
                int used = 0;
                if (f.size() != 10u ||
                    sscanf(f[6].c_str(), "http://t.test/T%d-%d-%n", t, i, &used) != 2) {
                    ADD_FAILURE() << name << ": " << line.substr(0, 80);
                    return false;
                }
                EXPECT_EQ(log_test_payload(*i), f[6].substr((size_t)used)) << name;
                EXPECT_EQ("10.0.0." + std::to_string(*t), f[2]) << name;
                return true;
            });
        } else if (name.find("extended.log") != std::string::npos) {
            EXPECT_EQ(0u, text.find(std::string(apache_legend) + "\n")) << name;
            extended.file(name, text, [&name](const std::string &line, int *t, int *i) {
                if (line.empty() || line[0] == '#')
                    return false;
                size_t at = line.find(" \"GET http://t.test/T");
                size_t end = line.find("\" 200 0 ");
                int used = 0;
                if (line[0] != '"' || at == std::string::npos || end == std::string::npos ||
                    sscanf(line.c_str() + at, " \"GET http://t.test/T%d-%d-%n", t, i, &used) != 2 ||
                    line.compare(line.size() - 15, 15, ":-\" UNSPECIFIED") != 0) {
                    ADD_FAILURE() << name << ": " << line.substr(0, 80);
                    return false;
                }
                EXPECT_EQ(log_test_payload(*i), line.substr(at + (size_t)used, end - at - (size_t)used))
                    << name;
                return true;
            });
        } else {
            ADD_FAILURE() << "unexpected file " << name;
        }
    }
    native.expect_each_once("native log");
    access.expect_each_once("access log");
    extended.expect_each_once("extended log");
    /* At least one rotation took place during the writes. */
    EXPECT_GE(native_files, 2);
    EXPECT_GE(access_files, 2);
    for (const std::string &name : log_dir_entries(dir))   /* tens of MiB */
        unlink((dir + "/" + name).c_str());
}

/* With the writer thread on, a line reaches its file without anything
 * flushing it; the lines queued when the writer stops are in the file once
 * log_writer_stop returns, and from then on each line is in the file when
 * its putlog returns. A file's lines stay in the order they were made. */
TEST_F(LogFile, WriterTakesLinesAndStopsWithNothingLeft)
{
    ASSERT_TRUE(log_writer_start());
    loglevel = LOG_REQUEST;
    putlog(LOG_REQUEST, "first line");
    /* Nothing is flushed here: the writer alone brings the line. */
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (log_read_file(path).find("first line") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_NE(std::string::npos, log_read_file(path).find("first line"));

    for (int i = 0; i < 5000; i++)
        putlog(LOG_REQUEST, "queued %d", i);
    log_writer_stop();
    std::string text = log_read_file(path);
    size_t at = 0;
    for (int i = 0; i < 5000; i++) {
        size_t next = text.find("queued " + std::to_string(i) + "\n", at);
        ASSERT_NE(std::string::npos, next) << "line " << i << " missing or out of order";
        at = next;
    }
    putlog(LOG_REQUEST, "after the writer");
    EXPECT_NE(std::string::npos, log_read_file(path).find("after the writer"));
}

/* Writers wrap a small ring many times over while a reader copies it and
 * another thread resizes and clears it: the reader only ever gets whole
 * lines, newest first within each writer, never more than the largest
 * capacity; afterwards the ring holds exactly its newest lines. */
TEST(LogBuffer, WritersWrapTheRingWhileReadersCopyIt)
{
    LOGBUFFER *b = logbuffer_create(64);
    const int writers = 6, lines = 20000;
    std::atomic<int> running{writers};
    std::atomic<long> copies{0};
    auto line_of = [](int t, int i) {
        return "W" + std::to_string(t) + " " + std::to_string(i) + " " +
               std::string((size_t)(i % 300), (char)('a' + (t + i) % 26)) + "|";
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < writers; t++)
        threads.emplace_back([b, t, &running, &line_of] {
            for (int i = 0; i < lines; i++)
                logbuffer_add(b, line_of(t, i).c_str());
            running--;
        });
    threads.emplace_back([b, &running, &copies, &line_of] {
        do {
            std::vector<std::string> held = logbuffer_lines(b);
            ASSERT_LE(held.size(), 128u);
            std::vector<int> last(writers, INT32_MAX);
            for (const std::string &line : held) {
                int t = -1, i = -1;
                ASSERT_EQ(2, sscanf(line.c_str(), "W%d %d", &t, &i)) << line;
                ASSERT_TRUE(t >= 0 && t < writers && i >= 0 && i < lines) << line;
                ASSERT_EQ(line_of(t, i), line);
                ASSERT_LT(i, last[(size_t)t]) << "writer " << t << " out of order";
                last[(size_t)t] = i;
            }
            copies++;
        } while (running > 0);
    });
    threads.emplace_back([b, &running] {
        static const int sizes[] = { 16, 128, 1, 64, 0, 100 };
        for (int round = 0; running > 0; round++) {
            logbuffer_resize(b, sizes[round % 6]);
            if (round % 7 == 3)
                logbuffer_clear(b);
            std::this_thread::yield();
        }
    });
    for (std::thread &t : threads)
        t.join();
    EXPECT_GT(copies.load(), 0);

    logbuffer_resize(b, 50);
    for (int i = 0; i < 80; i++)
        logbuffer_add(b, line_of(0, i).c_str());
    std::vector<std::string> held = logbuffer_lines(b);
    ASSERT_EQ(50u, held.size());
    for (size_t k = 0; k < held.size(); k++)
        EXPECT_EQ(line_of(0, 79 - (int)k), held[k]);
    logbuffer_free(b);
}

/* A rate-limited line: the first passes, the rest of that second are
 * counted, and the next line after it reports how many were dropped. */
TEST(LogRate, OneLineASecondWithTheCountDropped)
{
    static LOG_RATE rate;
    long long suppressed = -1;
    EXPECT_TRUE(log_rate_allow(&rate, &suppressed));
    EXPECT_EQ(0, suppressed);
    for (int i = 0; i < 5; i++)
        EXPECT_FALSE(log_rate_allow(&rate, &suppressed));
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_TRUE(log_rate_allow(&rate, &suppressed));
    EXPECT_EQ(5, suppressed);
    EXPECT_FALSE(log_rate_allow(&rate, &suppressed));
}

TEST(LogBuffer, ResizeKeepsNewest)
{
    LOGBUFFER *b = logbuffer_create(1000);
    for (int i = 0; i < 1000; i++)
        logbuffer_add(b, std::to_string(i).c_str());
    EXPECT_EQ(1000u, logbuffer_lines(b).size());
    logbuffer_add(b, "1000");
    std::vector<std::string> lines = logbuffer_lines(b);
    ASSERT_EQ(1000u, lines.size());
    EXPECT_EQ("1000", lines.front());
    EXPECT_EQ("1", lines.back());

    logbuffer_resize(b, -1);
    EXPECT_EQ(1000, logbuffer_capacity(b));
    EXPECT_EQ(1000u, logbuffer_lines(b).size());
    logbuffer_resize(b, 10);
    lines = logbuffer_lines(b);
    ASSERT_EQ(10u, lines.size());
    EXPECT_EQ("1000", lines.front());
    EXPECT_EQ("991", lines.back());

    /* Growing keeps what is held and makes room for more. */
    logbuffer_resize(b, 20);
    for (int i = 1001; i <= 1005; i++)
        logbuffer_add(b, std::to_string(i).c_str());
    lines = logbuffer_lines(b);
    ASSERT_EQ(15u, lines.size());
    EXPECT_EQ("1005", lines.front());
    EXPECT_EQ("991", lines.back());

    logbuffer_clear(b);
    EXPECT_TRUE(logbuffer_lines(b).empty());
    logbuffer_add(b, "after clear");
    EXPECT_EQ(std::vector<std::string>{ "after clear" }, logbuffer_lines(b));

    logbuffer_resize(b, 0);
    EXPECT_EQ(0, logbuffer_capacity(b));
    EXPECT_TRUE(logbuffer_lines(b).empty());
    logbuffer_add(b, "ignored");
    EXPECT_TRUE(logbuffer_lines(b).empty());
    logbuffer_free(b);
}

static LogEntry log_sample_entry()
{
    LogEntry e;
    e.start_time = { 1700000000, 123456 };
    e.client = "10.0.0.5";
    e.status = 200;
    e.size = 5000000000LL;   /* above 4 GiB: 64-bit */
    e.method = "GET";
    e.url = "http://example.com:80/a";
    e.username = "alice";
    e.peer = "example.com";
    e.mime = "text/html";
    e.useragent = "curl/8.0 (x86_64)";
    e.referer = "";
    e.interface_ip = "127.0.0.1";
    e.interface_port = "8080";
    e.client_id = 7;
    e.set_cachecode(CC_TCP_MISS);
    e.set_peercode(PC_DIRECT);
    return e;
}

TEST(LogEntry, AccessRecordFields)
{
    LogEntry e = log_sample_entry();
    std::string r = e.Build();
    ASSERT_EQ('\n', r.back());                       /* ends its line */
    EXPECT_EQ(r.size() - 1, r.find('\n'));
    std::istringstream in(r);
    std::vector<std::string> f;
    for (std::string w; in >> w;)
        f.push_back(w);
    ASSERT_EQ(10u, f.size()) << r;
    EXPECT_EQ("1700000000.123", f[0]);
    EXPECT_EQ("10.0.0.5", f[2]);
    EXPECT_EQ("TCP_MISS/200", f[3]);
    EXPECT_EQ("5000000000", f[4]);
    EXPECT_EQ("GET", f[5]);
    EXPECT_EQ("http://example.com:80/a", f[6]);
    EXPECT_EQ("alice", f[7]);
    EXPECT_EQ("DIRECT/example.com", f[8]);
    EXPECT_EQ("text/html", f[9]);
}

TEST(LogEntry, HostileFieldsCannotAddLinesOrShiftFields)
{
    LogEntry e = log_sample_entry();
    e.method = "";
    e.url = "http://x/a b\r\n1 2 3 TCP_HIT/200";
    e.username = "\"bob\"";
    e.useragent = "evil\" \"x\nz";
    std::string r = e.Build();
    EXPECT_EQ(r.size() - 1, r.find('\n'));
    std::istringstream in(r);
    std::vector<std::string> f;
    for (std::string w; in >> w;)
        f.push_back(w);
    ASSERT_EQ(10u, f.size()) << r;
    EXPECT_EQ("-", f[5]);   /* empty method */
    EXPECT_EQ("http://x/a%20b%0D%0A1%202%203%20TCP_HIT/200", f[6]);

    std::string x = e.apache_Build();
    EXPECT_EQ(x.size() - 1, x.find('\n'));
    EXPECT_NE(std::string::npos, x.find("\"%22bob%22\""));
    EXPECT_NE(std::string::npos, x.find("\"evil%22 %22x%0Az\""));
}

TEST(LogEntry, ExtendedRecordShape)
{
    LogEntry e = log_sample_entry();
    std::string r = e.apache_Build();
    EXPECT_EQ(0u, r.find("\"1700000000.123-7-127.0.0.1-8080\" "));
    EXPECT_EQ(r.size() - 1, r.find('\n'));
    EXPECT_NE(std::string::npos, r.find(" 10.0.0.5 \"alice\" \"7\" ["));
    EXPECT_NE(std::string::npos,
              r.find("] \"GET http://example.com:80/a\" 200 5000000000 \"-\" \"curl/8.0 (x86_64)\" "
                     "text/html \"- -\" \"-\" \"127.0.0.1:8080\" TCP_MISS\n"));
}

TEST(LogEntry, CodesOutOfRangeAndReset)
{
    LogEntry e = log_sample_entry();
    e.set_peercode(20);
    e.set_cachecode(15);
    EXPECT_STREQ("NONE", e.peercode());
    EXPECT_STREQ("UNSPECIFIED", e.cachecode());
    e.set_cachecode(CC_NONE);
    EXPECT_STREQ("NONE", e.cachecode());
    e.set_peercode(PC_CLOEST_DIRECT);
    EXPECT_STREQ("CLOEST_DIRECT", e.peercode());

    e.Reset();
    EXPECT_EQ("-", e.url);
    EXPECT_EQ("-", e.referer);
    EXPECT_EQ("-", e.useragent);
    EXPECT_EQ("", e.method);
    EXPECT_EQ(0, e.size);
    EXPECT_EQ("alice", e.username);        /* carried over until written again */
    EXPECT_EQ("127.0.0.1", e.interface_ip);
}

TEST(LogEntry, EmptyAccessLogGetsLegendFirst)
{
    std::string dir = test_temp_dir();
    snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
    snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
    LogEntry e = log_sample_entry();
    e.Write();
    e.apache_Write();
    e.Write();
    log_close();
    std::string access = log_read_file(dir + "/access.log");
    std::string extended = log_read_file(dir + "/extended.log");
    slogfile[0] = elogfile[0] = '\0';

    EXPECT_EQ(0u, access.find(std::string(access_legend) + "\n1700000000.123 "));
    EXPECT_EQ(access.find(access_legend), access.rfind(access_legend));   /* only once */
    EXPECT_EQ(0u, extended.find(std::string(apache_legend) + "\n\"1700000000.123-7-"));
    /* Each record is a whole line as soon as it is written. */
    EXPECT_EQ('\n', access.back());
    EXPECT_EQ('\n', extended.back());
    EXPECT_EQ(4, std::count(access.begin(), access.end(), '\n'));   /* legend, empty, two */
}

/* The end of a request writes both records of an answered or refused
 * request once, with NONE for a code nobody set; a request nobody answered
 * leaves none, and one whose records went out already none more. */
TEST(LogEntry, WriteOnceRecordsEachAnsweredRequestOnce)
{
    struct Case {
        const char *name;
        int status;
        int code;
        bool written_before;
        const char *record;   /* "code/status" of the one record; NULL: none */
    };
    const Case cases[] = {
        { "answered, no code set", 503, CC_UNSPECIFIED, false, "NONE/503" },
        { "answered from the cache", 200, CC_TCP_HIT, false, "TCP_HIT/200" },
        { "refused without a page", 0, CC_TCP_DENIED, false, "TCP_DENIED/0" },
        { "not answered", 0, CC_UNSPECIFIED, false, nullptr },
        { "written by its step", 200, CC_TCP_MISS, true, "TCP_MISS/200" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::string dir = test_temp_dir();
        snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
        snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
        LogEntry e = log_sample_entry();
        e.Reset();
        e.status = c.status;
        e.set_cachecode(c.code);
        if (c.written_before) {
            e.Write();
            e.apache_Write();
        }
        e.WriteOnce();
        e.WriteOnce();
        log_close();
        std::string access = log_read_file(dir + "/access.log");
        std::string extended = log_read_file(dir + "/extended.log");
        slogfile[0] = elogfile[0] = '\0';
        if (!c.record) {
            EXPECT_EQ("", access);
            EXPECT_EQ("", extended);
            continue;
        }
        std::string code = std::string(c.record).substr(0, std::string(c.record).find('/'));
        EXPECT_EQ(1, std::count(access.begin(), access.end(), '\n') - 2) << access;
        EXPECT_NE(std::string::npos, access.find(" " + std::string(c.record) + " ")) << access;
        EXPECT_EQ(1, std::count(extended.begin(), extended.end(), '\n') - 2) << extended;
        EXPECT_EQ(extended.size() - code.size() - 2, extended.rfind(" " + code + "\n")) << extended;
    }
}

TEST(LogEntry, RecordAfterAnUnfinishedLineStartsItsOwn)
{
    /* A file left by an older writer ends without a newline: the next
     * record starts on a line of its own. */
    std::string dir = test_temp_dir();
    std::string path = dir + "/access.log";
    {
        std::ofstream old(path);
        old << access_legend << "\n1600000000.000 1 10.0.0.9 TCP_MISS/200 1 GET u - DIRECT/h -";
    }
    snprintf(slogfile, sizeof slogfile, "%s", path.c_str());
    LogEntry e = log_sample_entry();
    e.Write();
    log_close();
    slogfile[0] = '\0';
    std::string access = log_read_file(path);
    EXPECT_NE(std::string::npos, access.find("DIRECT/h -\n1700000000.123 "));
    EXPECT_EQ('\n', access.back());
}

TEST(LogEntry, ResetRestoresTheConnectionsAddress)
{
    /* The first request came with X-Forwarded-For; the second, without it,
     * is logged with the connection's own address. */
    LogEntry e = log_sample_entry();
    e.address = "192.0.2.7";
    e.client = "10.9.9.9";
    e.Reset();
    EXPECT_EQ("192.0.2.7", e.client);
}

/* Peer bytes in a log line: every byte that could end a line, forge an
 * escape or smuggle a non-ASCII sequence is written as \xhh, and a cut is
 * marked. */
TEST(LogText, EscapesAndCuts)
{
    struct Case {
        std::string in;
        size_t max;
        std::string out;
    } cases[] = {
        { "plain text", 100, "plain text" },
        { std::string("a\r\nb\0c", 6), 100, "a\\x0d\\x0ab\\x00c" },
        { "tab\tdel\x7f", 100, "tab\\x09del\\x7f" },
        { "back\\slash", 100, "back\\x5cslash" },
        { "caf\xc3\xa9", 100, "caf\\xc3\\xa9" },
        { "~ and space", 100, "~ and space" },
        { "abcdef", 3, "abc..." },
        { "abc", 3, "abc" },
        { "", 3, "" },
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.out, log_text(c.in.data(), c.in.size(), c.max)) << c.in;
        EXPECT_EQ(c.out, log_text(c.in, c.max)) << c.in;
    }
    EXPECT_EQ("abc...", log_text("abcdef", 3));
    EXPECT_EQ("abc", log_text("abc", 3));
    EXPECT_EQ("", log_text(nullptr, 3));
}

/* A thread's log tag is its own: one thread setting its client id does not
 * change the tag of another thread's lines. */
TEST(LogText, ClientIdTagIsPerThread)
{
    test_runtime_init();
    log_set_clientid(4242);
    unsigned other = 1;
    std::thread t([&other] { other = log_clientid(); });
    t.join();
    EXPECT_EQ(0u, other);
    EXPECT_EQ(4242u, log_clientid());
    putlog(LOG_ADVICE, "tagged line");
    EXPECT_TRUE(test_log_contains("[4242] advice: tagged line"));
    log_set_clientid(0);
}

/* The thread's copy of the current second's local time follows each new
 * second, across both daylight-saving changes of a European zone, and gives
 * what localtime_r gives: the hour that is skipped in spring and the hour
 * that comes twice in autumn included. */
TEST(LogText, LocalTimeFollowsEachSecondAcrossDaylightSavingChanges)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const time_t spring = 1774746000;   /* 2026-03-29 01:00:00 UTC */
    const time_t autumn = 1792890000;   /* 2026-10-25 01:00:00 UTC */
    const struct {
        time_t second;
        int hour, minute, isdst;
    } cases[] = {
        { spring - 1, 1, 59, 0 }, { spring, 3, 0, 1 },     { spring - 1, 1, 59, 0 },
        { autumn - 1, 2, 59, 1 }, { autumn, 2, 0, 0 },     { autumn, 2, 0, 0 },
        { autumn + 3600, 3, 0, 0 }, { autumn - 3601, 1, 59, 1 },
    };
    for (const auto &c : cases) {
        struct tm got = log_local_time(c.second), want;
        ASSERT_NE(nullptr, localtime_r(&c.second, &want));
        EXPECT_EQ(c.hour, got.tm_hour) << c.second;
        EXPECT_EQ(c.minute, got.tm_min) << c.second;
        EXPECT_EQ(c.isdst, got.tm_isdst) << c.second;
        EXPECT_EQ(want.tm_gmtoff, got.tm_gmtoff) << c.second;
        EXPECT_EQ(want.tm_mday, got.tm_mday) << c.second;
        EXPECT_EQ(want.tm_wday, got.tm_wday) << c.second;
        EXPECT_EQ(want.tm_yday, got.tm_yday) << c.second;
        EXPECT_EQ(0, strcmp(want.tm_zone, got.tm_zone)) << c.second;
    }
    /* Another thread keeps its own copy: it gets its own second's time, not
     * the last one asked for here. */
    int other_hour = -1;
    std::thread t([&other_hour] { other_hour = log_local_time(spring).tm_hour; });
    t.join();
    EXPECT_EQ(3, other_hour);
    unsetenv("TZ");
    tzset();
}
