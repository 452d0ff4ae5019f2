/* Regular expressions: plain matching with its two flags, native matches
 * with groups, replacement expansion, search-and-replace over a buffer with
 * its empty-match, zero-byte and size-limit cases, bounded searches, and
 * many threads matching the same compiled expressions at once. */
#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filebuf.h"
#include "misc.h"
#include "regexp.h"
#include "test_support.h"

struct PosixCase { const char *pattern; int flags; const char *text; bool match; };
static const PosixCase posix_cases[] = {
    { "example", 0, "www.example.com", true },           /* unanchored search */
    { "EXAMPLE", 0, "www.example.com", false },
    { "EXAMPLE", REG_COMPILE_ICASE, "www.example.com", true },
    { "^www\\.", 1, "WWW.example.com", true },
    { "^ads\\.", 1, "www.ads.com", false },
    { "\\.(gif|jpe?g)$", 1, "/img/a.JPG", true },
    { "^b", 0, "a\nb", false },
    { "^b", REG_COMPILE_NEWLINE, "a\nb", true },
    { "a.b", 0, "a\nb", false },                        /* PCRE: dot never takes a newline */
    { "b$", 0, "b\nc", false },
    { "b$", REG_COMPILE_NEWLINE, "b\nc", true },
    { "\\d+", 0, "port 8080", true },                    /* PCRE syntax */
    { "", 0, "", true },
    /* The forms the policies write: host and path rules, header and MIME
     * values, mostly without regard to case. */
    { "(^|[.])bad[.]test$", REG_COMPILE_ICASE, "www.BAD.test", true },
    { "(^|[.])bad[.]test$", REG_COMPILE_ICASE, "notbad.test", false },
    { "^/blocked/", REG_COMPILE_ICASE, "/blocked/x311", true },
    { "^/blocked/", REG_COMPILE_ICASE, "/x/blocked/", false },
    { "^(video|audio)/", REG_COMPILE_ICASE, "Video/mp4; codecs=avc1", true },
    { "^(video|audio)/", REG_COMPILE_ICASE, "text/html", false },
    { "^[a-z]+/[a-z0-9.+-]+$", 0, "application/vnd.ms-excel", true },
    { "[^[:alnum:]]", 0, "abc123", false },
    { "^Mozilla/[45][.]0 \\(", REG_COMPILE_ICASE, "mozilla/5.0 (X11)", true },
    { "tracking=\\w+", REG_COMPILE_ICASE, "a=1; Tracking=xyz", true },
    { "^x-", REG_COMPILE_ICASE | REG_COMPILE_NEWLINE, "a: b\nX-Id: 1", true },
    { "^x-", REG_COMPILE_ICASE, "a: b\nX-Id: 1", false },
    { "\\.(exe|com|bat)$", REG_COMPILE_ICASE, "/tools/setup.EXE", true },
    { "\\.(exe|com|bat)$", REG_COMPILE_ICASE, "/tools/setup.exe.txt", false },
};

TEST(Regexp, PosixMatching)
{
    for (const PosixCase &c : posix_cases) {
        SCOPED_TRACE(std::string(c.pattern) + " on " + c.text);
        regex_posix_t *re = reg_compile(c.pattern, c.flags);
        ASSERT_NE(nullptr, re);
        EXPECT_EQ(c.match, reg_exec(re, c.text) == 0);
        reg_free(re);
    }
}

TEST(Regexp, BadPatternIsLoggedWithControlBytesEscaped)
{
    test_log_clear();
    EXPECT_EQ(nullptr, reg_compile("(unclosed", 1));
    EXPECT_TRUE(test_log_contains("failed to compile regular expression: (unclosed"));

    EXPECT_EQ(nullptr, reg_sub_compile("[z-a]\x01\n", REG_SUB_ALL));
    EXPECT_TRUE(test_log_contains("failed to compile regular expression: [z-a]\\x01\\x0a"));

    std::string long_bad = "(" + std::string(1000, 'a');
    EXPECT_EQ(nullptr, reg_compile(long_bad.c_str(), 0));
    EXPECT_TRUE(test_log_contains("(" + std::string(255, 'a') + "..."));
    EXPECT_FALSE(test_log_contains(std::string(256, 'a')));
}

TEST(Regexp, ExecOnNullTextIsNoMatch)
{
    regex_posix_t *re = reg_compile("x", 0);
    EXPECT_NE(0, reg_exec(re, nullptr));
    reg_free(re);
}

/* Owning holders so a failed assertion does not leak under ASan. */
using SubPtr = std::unique_ptr<regex_sub_t, void (*)(regex_sub_t *)>;
using MatchPtr = std::unique_ptr<regmatch_sub_t, void (*)(regmatch_sub_t *)>;
static SubPtr sub(const char *pattern, int options = REG_SUB_ALL)
{
    return SubPtr(reg_sub_compile(pattern, options), reg_sub_free);
}
static MatchPtr exec(const SubPtr &re, const char *text)
{
    return MatchPtr(reg_sub_exec(re.get(), text), reg_sub_match_free);
}

TEST(Regexp, NativeOptions)
{
    /* 15: caseless, multi-line, dot-all, extended. */
    SubPtr all = sub("^ b . c  # comment");
    ASSERT_TRUE(all);
    EXPECT_TRUE(exec(all, "a\nB\nC"));
    SubPtr plain = sub("^ b . c", 0);
    ASSERT_TRUE(plain);
    EXPECT_FALSE(exec(plain, "a\nB\nC"));
    EXPECT_TRUE(exec(plain, "x\n b . c") == nullptr);   /* ^ only at the start */
    EXPECT_TRUE(exec(plain, " b . c"));
    SubPtr ml = sub("^b", REG_SUB_MULTILINE);
    EXPECT_TRUE(exec(ml, "a\nb"));
    SubPtr ci = sub("ABC", REG_SUB_CASELESS);
    EXPECT_TRUE(exec(ci, "xabc"));
    SubPtr dot = sub("a.b", REG_SUB_DOTALL);
    EXPECT_TRUE(exec(dot, "a\nb"));
    SubPtr nodot = sub("a.b", 0);
    EXPECT_FALSE(exec(nodot, "a\nb"));
}

TEST(Regexp, MatchRecord)
{
    SubPtr re = sub("(\\w+)(-)?(\\d+)");
    MatchPtr m = exec(re, "id: abc42 rest");
    ASSERT_TRUE(m);
    EXPECT_EQ(4, m->start);
    EXPECT_EQ(9, m->end);
    ASSERT_EQ(4, m->count);
    EXPECT_STREQ("abc42", (const char *)m->substrings[0]);
    EXPECT_STREQ("abc4", (const char *)m->substrings[1]);   /* greedy, then backs off */
    EXPECT_STREQ("", (const char *)m->substrings[2]);       /* unset group */
    EXPECT_EQ(0u, m->lengths[2]);
    EXPECT_STREQ("2", (const char *)m->substrings[3]);
    EXPECT_FALSE(exec(re, "---"));

    /* Trailing unset groups do not count. */
    SubPtr opt = sub("(a)(b)?");
    MatchPtr m2 = exec(opt, "xa");
    ASSERT_TRUE(m2);
    EXPECT_EQ(2, m2->count);
}

TEST(Regexp, ZeroBytesInSubject)
{
    SubPtr re = sub("b(.)c");
    const char subject[] = "a\0b\0c";
    MatchPtr m(reg_sub_exec_bytes(re.get(), subject, 5), reg_sub_match_free);
    ASSERT_TRUE(m);
    EXPECT_EQ(2, m->start);
    EXPECT_EQ(5, m->end);
    EXPECT_EQ(1u, m->lengths[1]);
    EXPECT_EQ('\0', m->substrings[1][0]);
    EXPECT_FALSE(exec(re, subject));   /* as a C text it ends at the first zero */
}

struct ParseCase { const char *replacement; const char *expected; };
static const ParseCase parse_cases[] = {
    { "$1-$$-$x", "ab-$-" },
    { "[$0]", "[<ab>]" },
    { "$2|$9", "|" },                 /* groups that do not exist */
    { "end$", "end$" },
    { "$$$", "$$" },
    { "\\\\|\\a|\\e|\\f|\\n|\\r|\\t", "\\|\a|\x1b|\f|\n|\r|\t" },
    { "\\q\\$1", "q$1" },             /* an escaped dollar is a plain dollar */
    { "tail\\", "tail" },
    { "$:", "" },                     /* ":" would be string 10 */
    { "@HOST@/$1", "example.org/ab" },
    { "@@$1@@", "@ab@" },
    { "@MISSING@x", "x" },
    { "@DOLLAR@", "$1" },             /* a variable's value is copied as it stands */
    { "@CRLF@|$1", "\\r\\n|ab" },
    { "$@DOLLAR@", "$$1" },
    { "\\@HOST@", "@HOST@" },          /* an escaped "@" starts no variable */
    { "", "" },
};

TEST(Regexp, ReplacementExpansion)
{
    SubPtr re = sub("<(\\w+)>");
    MatchPtr m = exec(re, "x<ab>y");
    ASSERT_TRUE(m);
    VariableMap vars = { { "HOST", "example.org" }, { "DOLLAR", "$1" }, { "CRLF", "\\r\\n" } };
    for (const ParseCase &c : parse_cases) {
        SCOPED_TRACE(c.replacement);
        char *out = reg_sub_parse(m.get(), c.replacement, vars);
        ASSERT_NE(nullptr, out);
        EXPECT_STREQ(c.expected, out);
        free(out);
    }
    ASSERT_EQ(1u, vars.count("MISSING"));
    EXPECT_EQ("", vars["MISSING"]);
}

TEST(Regexp, ReplacementReachesStringTenWithColon)
{
    SubPtr re = sub("(a)(b)(c)(d)(e)(f)(g)(h)(i)(j)(k)");
    MatchPtr m = exec(re, "abcdefghijk");
    ASSERT_TRUE(m);
    ASSERT_EQ(12, m->count);
    VariableMap vars;
    char *out = reg_sub_parse(m.get(), "$:$;$<$9", vars);
    EXPECT_STREQ("jki", out);
    free(out);
}

TEST(Regexp, ReplacementSizeLimit)
{
    SubPtr re = sub("(x+)");
    MatchPtr m = exec(re, "xxxx");
    VariableMap vars;
    char *at = reg_sub_parse(m.get(), "$1$1-", vars, 9);   /* exactly 9 */
    EXPECT_STREQ("xxxxxxxx-", at);
    free(at);
    EXPECT_EQ(nullptr, reg_sub_parse(m.get(), "$1$1--", vars, 9));
    EXPECT_EQ(nullptr, reg_sub_parse(m.get(), "0123456789", vars, 9));
}

/* A buffer holding text, with an optional limit. */
static std::unique_ptr<Filebuf> buffer_of(const std::string &text,
                                          int64_t limit = FILEBUF_DEFAULT_LIMIT)
{
    std::unique_ptr<Filebuf> b(new Filebuf(limit));
    EXPECT_EQ(FILEBUF_OK, b->Add(text.data(), (int64_t)text.size()));
    return b;
}

static std::string contents(const Filebuf &b)
{
    return b.data ? std::string(b.data, (size_t)b.size) : std::string();
}

struct ReplaceCase {
    const char *pattern;
    int options;
    const char *replacement;        /* NULL: drop the matches */
    const char *text;
    int64_t count;
    const char *result;
};
static const ReplaceCase replace_cases[] = {
    { "o", REG_SUB_ALL, "0", "foo", 2, "f00" },
    { "z", REG_SUB_ALL, "0", "foo", 0, "foo" },
    { "(\\w+)@(\\w+)", REG_SUB_ALL, "$2 at $1", "mail bob@host now", 1, "mail host at bob now" },
    { "<script.*?</script>", REG_SUB_ALL, nullptr, "a<SCRIPT>x\ny</script>b<script></script>c", 2, "abc" },
    { "x*", 0, "-", "abc", 4, "-a-b-c-" },            /* empty matches advance */
    { "b*", 0, "-", "abb", 3, "-a--" },               /* a non-empty one, then empty at the end */
    { "^a", 0, "X", "aaa", 3, "XXX" },                 /* each search starts afresh */
    { "$", 0, "!", "ab", 1, "ab!" },
    { "", 0, "", "", 1, "" },
    { "a", 0, "\\n@@", "banana", 3, "b\n@n\n@n\n@" },
};

TEST(Regexp, ReplaceTable)
{
    for (const ReplaceCase &c : replace_cases) {
        SCOPED_TRACE(std::string(c.pattern) + " on " + c.text);
        SubPtr re = sub(c.pattern, c.options);
        ASSERT_TRUE(re);
        std::unique_ptr<Filebuf> b = buffer_of(c.text);
        VariableMap vars;
        EXPECT_EQ(c.count, reg_replace(b.get(), re.get(), c.replacement, vars));
        EXPECT_EQ(c.result, contents(*b));
    }
}

TEST(Regexp, ReplaceUnchangedBufferKeepsItsBlock)
{
    std::unique_ptr<Filebuf> b = buffer_of("foo");
    char *data = b->data;
    SubPtr re = sub("z");
    VariableMap vars;
    EXPECT_EQ(0, reg_replace(b.get(), re.get(), "0", vars));
    EXPECT_EQ(data, b->data);
    EXPECT_EQ(3, b->size);

    Filebuf empty;
    EXPECT_EQ(0, reg_replace(&empty, re.get(), "0", vars));
    EXPECT_EQ(0, empty.size);
}

TEST(Regexp, ReplaceFillsVariablesAndKeepsBytesAfterZero)
{
    /* A body with zero bytes is searched and copied whole. */
    std::string text("one\0two\0one", 11);
    std::unique_ptr<Filebuf> b = buffer_of(text);
    SubPtr re = sub("one");
    VariableMap vars = { { "WHO", "you" } };
    EXPECT_EQ(2, reg_replace(b.get(), re.get(), "[@WHO@:$0]", vars));
    EXPECT_EQ(std::string("[you:one]\0two\0[you:one]", 23), contents(*b));

    /* A request-derived value holding "$0" or an escape stays as it is. */
    std::unique_ptr<Filebuf> hostile = buffer_of("one");
    VariableMap from_request = { { "URL", "$0\\r\\n" } };
    EXPECT_EQ(1, reg_replace(hostile.get(), re.get(), "<@URL@>", from_request));
    EXPECT_EQ("<$0\\r\\n>", contents(*hostile));
}

TEST(Regexp, ReplaceGrowthLimit)
{
    /* "aaaa" (4 bytes) with each "a" doubled grows to 8: a growth of 4. */
    SubPtr re = sub("a");
    VariableMap vars;
    std::unique_ptr<Filebuf> at = buffer_of("aaaa");
    EXPECT_EQ(4, reg_replace(at.get(), re.get(), "$0$0", vars, 4));
    EXPECT_EQ("aaaaaaaa", contents(*at));

    test_log_clear();
    std::unique_ptr<Filebuf> past = buffer_of("aaaa");
    EXPECT_EQ(REG_REPLACE_TOO_BIG, reg_replace(past.get(), re.get(), "$0$0", vars, 3));
    EXPECT_EQ("aaaa", contents(*past));
    EXPECT_TRUE(test_log_contains("regular expression substitution would exceed 7 bytes"));

    /* Shrinking needs no allowance. */
    std::unique_ptr<Filebuf> shrink = buffer_of("abab");
    EXPECT_EQ(2, reg_replace(shrink.get(), re.get(), nullptr, vars, 0));
    EXPECT_EQ("bb", contents(*shrink));
}

TEST(Regexp, ReplaceHonoursBufferLimit)
{
    /* The buffer's own limit also bounds the result; the buffer keeps it. */
    SubPtr re = sub("b");
    VariableMap vars;
    std::unique_ptr<Filebuf> at = buffer_of("abc", 5);
    EXPECT_EQ(1, reg_replace(at.get(), re.get(), "BBB", vars));
    EXPECT_EQ("aBBBc", contents(*at));
    EXPECT_EQ(5, at->limit());

    std::unique_ptr<Filebuf> past = buffer_of("abc", 5);
    EXPECT_EQ(REG_REPLACE_TOO_BIG, reg_replace(past.get(), re.get(), "BBBB", vars));
    EXPECT_EQ("abc", contents(*past));
}

TEST(Regexp, ReplaceEmptyMatchesOnLargeInputTerminate)
{
    /* An empty-matching pattern over 100000 bytes makes 100001 matches and
     * stops; the output is within the growth allowance. */
    std::string text(100000, 'q');
    std::unique_ptr<Filebuf> b = buffer_of(text);
    SubPtr re = sub("z*");
    VariableMap vars;
    EXPECT_EQ(100001, reg_replace(b.get(), re.get(), "", vars));
    EXPECT_EQ(text, contents(*b));
}

TEST(Regexp, RunawayBacktrackingStopsAsNoMatch)
{
    /* A nested repeat on an untrusted subject hits the matcher's limit: the
     * search ends as no match with a log line, and the buffer stays. */
    test_log_clear();
    SubPtr re = sub("(a+)+$", 0);
    std::string text = std::string(40, 'a') + "b";
    EXPECT_FALSE(exec(re, text.c_str()));
    EXPECT_TRUE(test_log_contains("regular expression search stopped"));
    std::unique_ptr<Filebuf> b = buffer_of(text);
    VariableMap vars;
    EXPECT_EQ(0, reg_replace(b.get(), re.get(), "x", vars));
    EXPECT_EQ(text, contents(*b));
}

TEST(Regexp, EveryGroupOfThePatternHasRoom)
{
    /* Match data follows the pattern's own group count: 17 and 40 groups
     * match, and both reg_sub_parse and reg_replace reach the later ones. */
    for (int groups : { 15, 17, 40 }) {
        SCOPED_TRACE(groups);
        std::string pattern;
        for (int i = 0; i < groups; i++)
            pattern += "(.)";
        std::string text = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
        SubPtr re = sub(pattern.c_str(), 0);
        MatchPtr m = exec(re, text.c_str());
        ASSERT_TRUE(m);
        EXPECT_EQ(groups + 1, m->count);
        VariableMap vars;
        char *out = reg_sub_parse(m.get(), "$1$A", vars);   /* "A" is string 17 */
        EXPECT_STREQ(groups >= 17 ? "aq" : "a", out);
        free(out);
        std::unique_ptr<Filebuf> b = buffer_of(text.substr(0, (size_t)groups));
        EXPECT_EQ(1, reg_replace(b.get(), re.get(), "$1", vars));
        EXPECT_EQ("a", contents(*b));
    }
}

/* Plain matching on byte ranges: the subject's length decides, zero bytes
 * included, the way the header and body checks pass their text. */
struct BytesCase { const char *pattern; int flags; const char *subject; int64_t length; bool match; };
static const BytesCase bytes_cases[] = {
    { "^abc$", 0, "abcdef", 3, true },                  /* range ends before "def" */
    { "def", 0, "abcdef", 3, false },
    { "^ab$", 0, "ab\0cd", 5, false },                  /* the range, not the C text, ends it */
    { "b\\x00c", 0, "ab\0cd", 5, true },
    { "cd$", 0, "ab\0cd", 5, true },                    /* searched past the zero byte */
    { "^$", 0, "", 0, true },
    { "x", 0, nullptr, 0, false },
};

TEST(Regexp, PlainMatchingOnByteRanges)
{
    for (const BytesCase &c : bytes_cases) {
        SCOPED_TRACE(std::string(c.pattern) + " over " + std::to_string(c.length) + " bytes");
        regex_posix_t *re = reg_compile(c.pattern, c.flags);
        ASSERT_NE(nullptr, re);
        EXPECT_EQ(c.match, reg_exec_bytes(re, c.subject, c.length) == 0);
        reg_free(re);
    }
}

TEST(Regexp, RunawayPlainMatchStopsAsNoMatch)
{
    test_log_clear();
    regex_posix_t *re = reg_compile("^(a+)+$", 0);
    ASSERT_NE(nullptr, re);
    std::string text = std::string(40, 'a') + "b";
    EXPECT_NE(0, reg_exec(re, text.c_str()));
    EXPECT_TRUE(test_log_contains("regular expression search stopped"));
    EXPECT_EQ(0, reg_exec(re, std::string(40, 'a').c_str()));   /* the same expression still works */
    reg_free(re);
}

TEST(Regexp, DeepMatchGetsTheThreadsOwnStack)
{
    /* A repeated group over a long subject needs more than the machine stack
     * the JIT starts with; the thread's own stack takes over, and a subject
     * too long even for that stops as no match instead of crashing. */
    regex_posix_t *re = reg_compile("^(a|b)*c$", 0);
    ASSERT_NE(nullptr, re);
    std::string text;
    for (int i = 0; i < 5000; i++)
        text += "ab";
    EXPECT_EQ(0, reg_exec(re, (text + "c").c_str()));
    EXPECT_NE(0, reg_exec(re, (text + "d").c_str()));
    std::string huge(4 * 1024 * 1024, 'a');
    EXPECT_NE(0, reg_exec(re, (huge + "c").c_str()));
    reg_free(re);
}

/* Releases a number of threads at the same moment, so that they reach the
 * same compiled expressions together. */
class RegStartLine {
public:
    explicit RegStartLine(int count) { pthread_barrier_init(&barrier_, nullptr, (unsigned)count); }
    ~RegStartLine() { pthread_barrier_destroy(&barrier_); }
    void wait() { pthread_barrier_wait(&barrier_); }
private:
    pthread_barrier_t barrier_;
};

static const int REG_RACE_THREADS = 16;

/* Runs body(t, wrong) on 16 threads released together; the count of wrong
 * verdicts they found. */
static int reg_race(const std::function<void(int, std::atomic<int> &)> &body)
{
    RegStartLine start(REG_RACE_THREADS);
    std::atomic<int> wrong{ 0 };
    std::vector<std::thread> threads;
    for (int t = 0; t < REG_RACE_THREADS; t++) {
        threads.emplace_back([&, t] {
            start.wait();
            body(t, wrong);
        });
    }
    for (std::thread &th : threads)
        th.join();
    return wrong.load();
}

TEST(Regexp, ManyThreadsMatchTheSameExpressionsAtOnce)
{
    /* Every thread matches every expression once, all in the same order, so
     * each expression's first searches happen at the same time on 16
     * threads. Each verdict is checked: a search that used another
     * thread's state would answer wrongly or crash. */
    const int count = 3000;
    std::vector<regex_posix_t *> rules;
    for (int i = 0; i < count; i++) {
        std::string pattern = "^/p" + std::to_string(i) + "/(img|css|js)/[a-z]+[0-9]*\\.(png|gif)$";
        rules.push_back(reg_compile(pattern.c_str(), i % 2 ? REG_COMPILE_ICASE : 0));
        ASSERT_NE(nullptr, rules.back());
    }
    int wrong = reg_race([&](int t, std::atomic<int> &found) {
        for (int i = 0; i < count; i++) {
            bool should = (i + t) % 3 != 0;
            std::string subject = "/p" + std::to_string(i) + "/css/" +
                                  std::string((size_t)(1 + t * 7 + i % 50), 'q') +
                                  (should ? "42.png" : "42.pngx");
            if ((reg_exec(rules[(size_t)i], subject.c_str()) == 0) != should)
                found++;
        }
    });
    EXPECT_EQ(0, wrong);
    for (regex_posix_t *re : rules)
        reg_free(re);
}

TEST(Regexp, ManyThreadsMatchGrowingSubjectsWithOneExpression)
{
    /* One expression, subjects growing from thread to thread and search to
     * search, so the state a search needs grows while others run. */
    regex_posix_t *plain = reg_compile("^(?:(a)|b)*c(d|e)$", 0);
    regex_sub_t *native = reg_sub_compile("(?:(a)|b)*c(d|e)", 0);
    ASSERT_TRUE(plain && native);
    int wrong = reg_race([&](int t, std::atomic<int> &found) {
        std::string body;
        for (int n = 0; n < 400; n++) {
            body += (n + t) % 2 ? "a" : "ab";
            bool should = (n + t) % 4 != 0;
            std::string subject = body + (should ? "cd" : "cf");
            if ((reg_exec(plain, subject.c_str()) == 0) != should)
                found++;
            regmatch_sub_t *m = reg_sub_exec(native, subject.c_str());
            if ((m != nullptr) != should || (m && m->end != (int64_t)subject.size()))
                found++;
            reg_sub_match_free(m);
        }
    });
    EXPECT_EQ(0, wrong);
    reg_free(plain);
    reg_sub_free(native);
}
