/* Memory helpers, the descriptor wrappers' relief on a full file table, and
 * the recursive directory maker. */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "compat.h"
#include "mem.h"
#include "options.h"
#include "signals.h"
#include "test_support.h"

TEST(Mem, CopiesAndZeroFill)
{
    char *p = (char *)xmalloc(64);
    for (int i = 0; i < 64; i++)
        ASSERT_EQ(0, p[i]);
    free(p);
    EXPECT_EQ(nullptr, xstrdup(nullptr));
    char *three = xstrndup("abcdef", 3);
    EXPECT_STREQ("abc", three);
    free(three);
    char *all = xstrndup("ab", 10);
    EXPECT_STREQ("ab", all);
    free(all);
}

TEST(MemDeathTest, ZeroSizeIsFatalWithStatusOne)
{
    EXPECT_EXIT(xmalloc(0), ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(xrealloc(nullptr, 0), ::testing::ExitedWithCode(1), "");
}

/* The fatal path logs where it fired and ends with status 1; while the start
 * is pending the cause and the assertion also reach standard error. With the
 * daemon's own registration (main's) the stop is the signal layer's orderly
 * shutdown; with none the memory layer exits by itself. */
TEST(MemDeathTest, AssertionLogsWhereItFired)
{
    struct FatalCase {
        const char *what;
        bool registered;
    };
    const FatalCase cases[] = {
        { "the daemon's registration", true },
        { "nothing registered", false },
    };
    int n = 0;
    for (const FatalCase &c : cases) {
        SCOPED_TRACE(c.what);
        std::string path = test_temp_dir() + "/native" + std::to_string(n++) + ".log";
        EXPECT_EXIT(
            {
                snprintf(logfile, sizeof logfile, "%s", path.c_str());
                if (c.registered)
                    fatal_register(startup_pending, sigterm);
                fatal_error("/x/src/demo.cpp", 42, "demo_fn", "cause %d", 7);
            },
            ::testing::ExitedWithCode(1), "cause 7\nASSERTION: src/demo:42 in function demo_fn\n");
        std::ifstream in(path);
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_NE(std::string::npos, text.str().find("advice: System Unstable: Please Restart\n"));
        EXPECT_NE(std::string::npos, text.str().find("advice: ASSERTION: src/demo:42 in function demo_fn\n"));
        EXPECT_NE(std::string::npos, text.str().find("advice: cause 7\n"));
        EXPECT_EQ(c.registered,
                  text.str().find("advice: Recieved Signal for Termination\n") != std::string::npos);
    }
}

/* Fails the first `fail` calls of the wrapped system call with ENFILE. */
static int fault_calls;
static int fault_fail;
static int fault_errno;
static int compat_test_fault(const char *)
{
    fault_calls++;
    return fault_calls <= fault_fail ? fault_errno : 0;
}

struct FaultCase { int fail; int err; bool succeeds; bool relief; bool retry_line; };
static const FaultCase fault_cases[] = {
    { 1, ENFILE, true, true, false },    /* relief, retry succeeds */
    { 2, ENFILE, false, true, true },    /* relief, retry fails and is logged */
    { 1, EMFILE, false, false, false },  /* not the system table: no relief, no line */
    { 1, ENOENT, false, false, false },
};

TEST(Compat, OpenRetriesOnceAfterReliefOnFullFileTable)
{
    std::string dir = test_temp_dir();
    std::string path = dir + "/f";
    for (const FaultCase &c : fault_cases) {
        SCOPED_TRACE(c.fail * 1000 + c.err);
        test_log_clear();
        fault_calls = 0;
        fault_fail = c.fail;
        fault_errno = c.err;
        compat_fault_hook = compat_test_fault;
        int fd = s_open(path.c_str(), O_CREAT | O_WRONLY, 0600);
        compat_fault_hook = nullptr;
        EXPECT_EQ(c.succeeds, fd >= 0);
        if (fd >= 0)
            close(fd);
        EXPECT_EQ(c.relief ? 2 : 1, fault_calls);
        /* The shortage line is written at most once a second: only the
         * first relief of the table shows it. */
        if (&c == &fault_cases[0]) {
            EXPECT_TRUE(test_log_contains("failure opening file descriptor, attempting to free resources"));
        }
        if (!c.relief) {
            EXPECT_FALSE(test_log_contains("failure opening file descriptor"));
        }
        EXPECT_EQ(c.retry_line, test_log_contains("[system: open:23:"));
    }
}

TEST(Compat, AcceptRelievesAlsoOnProcessLimit)
{
    /* Past the once-a-second limit of the lines an earlier test wrote. */
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    test_log_clear();
    fault_calls = 0;
    fault_fail = 2;
    fault_errno = EMFILE;
    compat_fault_hook = compat_test_fault;
    int fd = s_accept(-1, nullptr, nullptr);
    compat_fault_hook = nullptr;
    EXPECT_EQ(-1, fd);
    EXPECT_EQ(2, fault_calls);
    EXPECT_TRUE(test_log_contains("failure opening file descriptor"));
    EXPECT_TRUE(test_log_contains("unable to connect on a socket"));
}

TEST(Compat, RecursiveDirectory)
{
    std::string dir = test_temp_dir();
    /* A relative path is taken from the root; empty parts are skipped. */
    std::string rel = dir.substr(1) + "//a/b//c/";
    EXPECT_EQ(1, create_recursive_directory(rel.c_str()));
    struct stat st;
    ASSERT_EQ(0, stat((dir + "/a/b/c").c_str(), &st));
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(1, create_recursive_directory((dir + "/a/b").c_str()));   /* exists: fine */

    /* A component that is a file fails instead of passing for a directory. */
    int fd = open((dir + "/file").c_str(), O_CREAT | O_WRONLY, 0600);
    close(fd);
    test_log_clear();
    EXPECT_EQ(-1, create_recursive_directory((dir + "/file/x").c_str()));
    EXPECT_TRUE(test_log_contains("failed to create directory"));

    /* At most 255 characters are built: at the limit it works, one past fails. */
    std::string base = dir + "/";
    std::string at_limit = base + std::string(255 - base.size(), 'd');
    EXPECT_EQ(1, create_recursive_directory(at_limit.c_str()));
    EXPECT_EQ(-1, create_recursive_directory((at_limit + "e").c_str()));
}

TEST(Compat, ResolvesLoopback)
{
    HOSTENT *h = p_gethostbyname("127.0.0.1");
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(4, h->len);
    EXPECT_EQ(0, memcmp(h->addr, "\x7f\x00\x00\x01", 4));
    hostent_free(h);
    EXPECT_EQ(nullptr, p_gethostbyname("no-such-host.invalid"));
}
