/* The command line: every option's range, refusals with status 1, and the
 * derived settings. */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "options.h"

/* Runs options_parse on a copy of args with the settings reset. */
static int options_run(std::vector<std::string> args, std::string *err_text = nullptr)
{
    MAXTHREADS = 16384;
    THREAD_TIMEOUT = 1;
    CLIENT_POOL_TIMEOUT = 1;
    max_opt_stack = 1048576;
    overload_factor = 1;
    SND_BUF = RCV_BUF = 0;
    BLOCKSIZE = 8192;
    TCP_KEEPIDLE_TIME = 900;
    TCP_KEEPINTVL_TIME = 75;
    TCP_KEEPCNT_COUNTS = 9;
    password_cachesize = 100;
    password_cachexpire = 600;
    authflag = 0;
    loglevel = 0x7ffffff;
    slogfile[0] = logfile[0] = tavrinfeed[0] = '\0';
    listen_port = 0;
    listen_address[0] = '\0';

    args.insert(args.begin(), "quillmere");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    char *buf = nullptr;
    size_t len = 0;
    FILE *err = open_memstream(&buf, &len);
    FILE *out = fopen("/dev/null", "w");
    int rc = options_parse((int)args.size(), argv.data(), out, err);
    fclose(err);
    fclose(out);
    if (err_text)
        *err_text = std::string(buf, len);
    free(buf);
    return rc;
}

struct OptCase { std::vector<std::string> args; int rc; int *var; int value; };

TEST(Options, RangesAndRefusals)
{
    const OptCase cases[] = {
        { { "-t", "500" }, OPTIONS_RUN, &MAXTHREADS, 500 },
        { { "-t", "20000" }, OPTIONS_RUN, &MAXTHREADS, 16384 },     /* above the table: ignored */
        { { "-t", "9" }, OPTIONS_RUN, &MAXTHREADS, 9 },
        { { "-t", "8" }, OPTIONS_EXIT_FAIL, nullptr, 0 },           /* no room for a worker */
        { { "-t", "0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-t", "12abc" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-z", "21" }, OPTIONS_RUN, &max_opt_stack, 2097152 },
        { { "-z", "14" }, OPTIONS_RUN, &max_opt_stack, 16384 },
        { { "-z", "13" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-z", "31" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-T", "0" }, OPTIONS_RUN, &THREAD_TIMEOUT, 0 },
        { { "-T", "3601" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-C", "0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-C", "3600" }, OPTIONS_RUN, &CLIENT_POOL_TIMEOUT, 3600 },
        { { "-o", "1000" }, OPTIONS_RUN, &overload_factor, 1000 },
        { { "-o", "1001" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-d", "0" }, OPTIONS_RUN, &loglevel, 0 },
        { { "-d", "-1" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-P", "0:0" }, OPTIONS_RUN, &authflag, 1 },
        { { "-P", "50:1" }, OPTIONS_RUN, &password_cachesize, 50 },
        { { "-P", "50:0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-P", "-5:0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-P", "50" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-b", "16384:4096" }, OPTIONS_RUN, &BLOCKSIZE, 16384 },
        { { "-b", "4096:4096" }, OPTIONS_RUN, &BLOCKSIZE, 8192 },
        { { "-b", ":65536" }, OPTIONS_RUN, &BLOCKSIZE, 65536 },
        { { "-b", "0:10" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-b", "16384" }, OPTIONS_RUN, &SND_BUF, 16384 },
        { { "-b", "16384" }, OPTIONS_RUN, &RCV_BUF, 0 },             /* the other stays the kernel's */
        { { "-T", "1" }, OPTIONS_RUN, &SND_BUF, 0 },                 /* without -b: the kernel's */
        { { "-T", "1" }, OPTIONS_RUN, &RCV_BUF, 0 },
        { { "-T", "1" }, OPTIONS_RUN, &BLOCKSIZE, 8192 },
        { { "-k", "10:5:3" }, OPTIONS_RUN, &TCP_KEEPCNT_COUNTS, 3 },
        { { "-k", "10" }, OPTIONS_RUN, &TCP_KEEPIDLE_TIME, 10 },
        { { "-k", "10:0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-h" }, OPTIONS_EXIT_OK, nullptr, 0 },
        { { "-v" }, OPTIONS_EXIT_OK, nullptr, 0 },
        { { "-M", "x" }, OPTIONS_RUN, nullptr, 0 },                    /* accepted, ignored */
        { { "-L", "1.2.3.4:80" }, OPTIONS_RUN, &listen_port, 80 },
        { { "-L", "0.0.0.0:65535" }, OPTIONS_RUN, &listen_port, 65535 },
        { { "-T", "1" }, OPTIONS_RUN, &listen_port, 0 },               /* without -L: the entries */
        { { "-L", "127.0.0.1:0" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.1:65536" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.1:-80" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.1:80x" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.1:" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.1" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", ":8080" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "8080" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "localhost:8080" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "127.0.0.256:8080" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
        { { "-L", "[::1]:8080" }, OPTIONS_EXIT_FAIL, nullptr, 0 },
    };
    for (const OptCase &c : cases) {
        std::string joined;
        for (const std::string &a : c.args)
            joined += a + " ";
        SCOPED_TRACE(joined);
        std::string err;
        EXPECT_EQ(c.rc, options_run(c.args, &err));
        if (c.var) {
            EXPECT_EQ(c.value, *c.var);
        }
        if (c.rc == OPTIONS_EXIT_FAIL) {
            EXPECT_NE(std::string::npos, err.find("Usage: quillmere [options]"));
            /* The refusal names the option it refuses (-P without a colon
             * shows the help alone). */
            if (c.args != std::vector<std::string>{ "-P", "50" }) {
                EXPECT_NE(std::string::npos, err.find("invalid value for " + c.args[0] + ": "));
            }
        }
    }
}

TEST(Options, PasswordCacheOffKeepsSizeAndAge)
{
    ASSERT_EQ(OPTIONS_RUN, options_run({ "-P", "0:0" }));
    EXPECT_EQ(100, password_cachesize);
    EXPECT_EQ(600, password_cachexpire);
    EXPECT_EQ(1, authflag);
}

TEST(Options, FeedNameFollowsAccessLogGivenBefore)
{
    ASSERT_EQ(OPTIONS_RUN, options_run({ "-a", "/var/log/q/access.log", "-l", "/var/log/q/q.log" }));
    EXPECT_STREQ("/var/log/q/access.log.tavrinfeed", tavrinfeed);
    ASSERT_EQ(OPTIONS_RUN, options_run({ "-l", "/var/log/q/q.log", "-a", "/var/log/q/access.log" }));
    EXPECT_STREQ(".tavrinfeed", tavrinfeed);
    /* The longest access-log path still fits the feed name. */
    std::string longest = "/" + std::string(254, 'a');
    ASSERT_EQ(OPTIONS_RUN, options_run({ "-a", longest, "-l", "/x" }));
    EXPECT_EQ(longest + ".tavrinfeed", std::string(tavrinfeed));
}

TEST(Options, PathsAreRefusedNotCut)
{
    std::string fits(255, 'c'), too_long(256, 'c');
    std::string err;
    EXPECT_EQ(OPTIONS_RUN, options_run({ "-c", fits }));
    EXPECT_EQ(OPTIONS_EXIT_FAIL, options_run({ "-c", too_long }, &err));
    EXPECT_NE(std::string::npos, err.find("-c"));
    std::string plog(511, 'p'), plog_long(512, 'p');
    EXPECT_EQ(OPTIONS_RUN, options_run({ "-r", plog }));
    EXPECT_EQ(OPTIONS_EXIT_FAIL, options_run({ "-r", plog_long }));
}

TEST(Options, HelpShowsCurrentDefaults)
{
    std::string err;
    ASSERT_EQ(OPTIONS_EXIT_OK, options_run({ "-T", "7", "-b", "100:200", "-h" }, &err));
    EXPECT_NE(std::string::npos, err.find("for another connection (default: 7)\n"));
    EXPECT_NE(std::string::npos, err.find("Recieve Buffer sizes (default: 100:200)\n"));
    EXPECT_NE(std::string::npos, err.find(" 134217728 = debug\n"));
    ASSERT_EQ(OPTIONS_EXIT_OK, options_run({ "-h" }, &err));
    EXPECT_NE(std::string::npos, err.find("Recieve Buffer sizes (default: sized by the kernel)\n"));
    EXPECT_NE(std::string::npos, err.find("\nQuillmere - VERSION - 0.1.0 - BUILD - 1\nUsage:"));
}
