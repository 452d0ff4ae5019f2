/* The scanner adapters' reply judges and their shared line reader: which
 * replies are clean, a find or an error for ClamAV, F-Prot, Kaspersky and
 * Sophie, F-Prot's switches,
 * names taken from short replies without reading past them, and reply
 * lines ended by a line feed or the close, over their limit, or never
 * sent (bounded by the time-out). */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "clamav.h"
#include "filebuf.h"
#include "fprot.h"
#include "kaspersky.h"
#include "misc.h"
#include "scanner.h"
#include "sophie.h"

TEST(ScannerReplies, ClamAVJudgesByContent)
{
    struct Case {
        const char *line;
        int verdict;
        const char *name;
    } cases[] = {
        { "stream: OK", CLAMAV_REPLY_CLEAN, "" },
        { "stream:   OK", CLAMAV_REPLY_CLEAN, "" },
        { "stream: Eicar-Test FOUND", CLAMAV_REPLY_FOUND, "Eicar-Test" },
        { "stream: x ERROR", CLAMAV_REPLY_ERROR, "" },
        { "INSTREAM size limit exceeded. ERROR", CLAMAV_REPLY_ERROR, "" },
        { "stream: FOUND", CLAMAV_REPLY_ERROR, "" },
        { "OK", CLAMAV_REPLY_ERROR, "" },
        { "stream: a b FOUND", CLAMAV_REPLY_ERROR, "" },
        { "", CLAMAV_REPLY_ERROR, "" },
    };
    for (const Case &c : cases) {
        std::string name;
        EXPECT_EQ(c.verdict, clamav_reply_parse(c.line, &name)) << c.line;
        EXPECT_EQ(c.name, name) << c.line;
    }
}

TEST(ScannerReplies, FProtJudgesTheDocument)
{
    struct Case {
        const char *xml;
        int verdict;
        const char *name;
    } cases[] = {
        { "<fprot-results><summary>infected</summary><detected><name>W32.Test</name>"
          "</detected></fprot-results>", FPROT_INFECTED, "W32.Test" },
        { "<?xml version=\"1.0\"?><!DOCTYPE fprot-results [ <!ENTITY a \"b\"> ]>"
          "<fprot-results><summary>InFeCtEd</summary><detected><name>Dt</name></detected>"
          "</fprot-results>", FPROT_INFECTED, "Dt" },
        { "<!doctype x [ ]><fprot-results><summary>infected</summary></fprot-results>",
          FPROT_INFECTED, "" },
        { "<fprot-results><summary>infected</summary><detected/></fprot-results>",
          FPROT_INFECTED, "" },
        { "<fprot-results><summary>infected</summary><detected><name>a\x01" "b</name>"
          "</detected></fprot-results>", FPROT_INFECTED, "a?b" },
        { "<fprot-results><summary>clean</summary></fprot-results>", FPROT_CLEAN, "" },
        { "<fprot-results><summary/></fprot-results>", FPROT_CLEAN, "" },
        { "<fprot-results/>", FPROT_ERROR, "" },
        { "<other><summary>infected</summary></other>", FPROT_ERROR, "" },
        { "<fprot-results><summary>infected</summary>", FPROT_ERROR, "" },
        { "", FPROT_ERROR, "" },
    };
    for (const Case &c : cases) {
        Filebuf answer;
        ASSERT_EQ(0, answer.Add(c.xml, (int64_t)strlen(c.xml)));
        std::string name;
        EXPECT_EQ(c.verdict, fprot_reply_parse(&answer, &name)) << c.xml;
        EXPECT_EQ(c.name, name) << c.xml;
    }
}

TEST(ScannerReplies, FProtSwitchesInTheirOrder)
{
    ScannerRule rule;
    EXPECT_EQ("", fprot_switches(rule));
    rule.options = FPROT_NOHEUR | FPROT_PACKED;
    EXPECT_EQ("-packed%20-noheur%20", fprot_switches(rule));
    rule.options = 0x3f;
    rule.archive_depth = 7;
    EXPECT_EQ("-archive=7%20-packed%20-ai%20-noheur%20-nomacro%20-onlymacro%20",
              fprot_switches(rule));
}

TEST(ScannerReplies, KasperskyCodes)
{
    struct Case {
        const char *line;
        int verdict;
        const char *name;
    } cases[] = {
        { "201 ready", KASPERSKY_READ_ON, "" },
        { "321 x", KASPERSKY_READ_ON, "" },
        { "325 y", KASPERSKY_READ_ON, "" },
        { "322 Worm.Test rest of line", KASPERSKY_READ_ON, "Worm.Test" },
        { "322:Tab\x01Name", KASPERSKY_READ_ON, "Tab?Name" },
        { "322", KASPERSKY_READ_ON, "" },
        { "322 ", KASPERSKY_READ_ON, "" },
        { "220 clean", KASPERSKY_CLEAN, "" },
        { "230", KASPERSKY_INFECTED, "" },
        { "2200 x", KASPERSKY_UNKNOWN, "" },
        { "1", KASPERSKY_UNKNOWN, "" },
        { "", KASPERSKY_UNKNOWN, "" },
        { "abc", KASPERSKY_UNKNOWN, "" },
    };
    for (const Case &c : cases) {
        std::string name;
        EXPECT_EQ(c.verdict, kaspersky_reply_parse(c.line, &name)) << c.line;
        EXPECT_EQ(c.name, name) << c.line;
    }
    std::string name;
    (void)kaspersky_reply_parse("322 " + std::string(300, 'n'), &name);
    EXPECT_EQ((size_t)SCANNER_NAME_MAX, name.size());
}

TEST(ScannerReplies, SophieVerdicts)
{
    struct Case {
        const char *line;
        const char *error_mark;
        int verdict;
        const char *name;
    } cases[] = {
        { "1:Name", "-1", SOPHIE_INFECTED, "Name" },
        { "1", "-1", SOPHIE_INFECTED, "" },
        { "1:", "-1", SOPHIE_INFECTED, "" },
        { "-1", "-1", SOPHIE_ERROR, "" },
        { "-", "-1", SOPHIE_CLEAN, "" },
        { "-", "-", SOPHIE_ERROR, "" },
        { "0", "-1", SOPHIE_CLEAN, "" },
        { "", "-", SOPHIE_CLEAN, "" },
    };
    for (const Case &c : cases) {
        std::string name;
        EXPECT_EQ(c.verdict, sophie_reply_parse(c.line, c.error_mark, &name)) << c.line;
        EXPECT_EQ(c.name, name) << c.line;
    }
}

/* A connected pair: the reader's end (non-blocking, as the adapters'
 * descriptors are) and the daemon's. */
struct ReaderPair {
    ReaderPair()
    {
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds));
    }
    ~ReaderPair()
    {
        close(fds[0]);
        if (fds[1] >= 0)
            close(fds[1]);
    }
    void send(const std::string &bytes)
    {
        ASSERT_EQ((ssize_t)bytes.size(), write(fds[1], bytes.data(), bytes.size()));
    }
    void hang_up()
    {
        close(fds[1]);
        fds[1] = -1;
    }
    int fds[2];
};

TEST(ScannerReader, LinesEndAtLineFeedOrClose)
{
    ReaderPair pair;
    pair.send("first\r\nsecond\nthird");
    pair.hang_up();
    ScannerReader reader(pair.fds[0], 5);
    std::string line;
    EXPECT_EQ(1, reader.line(&line, 64));
    EXPECT_EQ("first", line);
    EXPECT_EQ(1, reader.line(&line, 64));
    EXPECT_EQ("second", line);
    EXPECT_EQ(1, reader.line(&line, 64));
    EXPECT_EQ("third", line);
    EXPECT_EQ(0, reader.line(&line, 64));
}

TEST(ScannerReader, OverlongLineFails)
{
    ReaderPair pair;
    pair.send(std::string(16, 'x') + "\n");
    ScannerReader reader(pair.fds[0], 5);
    std::string line;
    EXPECT_EQ(-1, reader.line(&line, 16));

    ReaderPair fits;
    fits.send(std::string(15, 'y') + "\n");
    ScannerReader fits_reader(fits.fds[0], 5);
    EXPECT_EQ(1, fits_reader.line(&line, 16));
    EXPECT_EQ(std::string(15, 'y'), line);
}

TEST(ScannerReader, SilentDaemonTimesOut)
{
    ReaderPair pair;
    pair.send("partial");
    ScannerReader reader(pair.fds[0], 1);
    std::string line;
    int64_t start = monotonic_ms();
    EXPECT_EQ(-1, reader.line(&line, 64));
    int64_t took = monotonic_ms() - start;
    EXPECT_GE(took, 900);
    EXPECT_LT(took, 30000);
}

TEST(ScannerConnect, UnixPathOverTheLimitIsRefused)
{
    std::string path = "/tmp/" + std::string(SCANNER_UNIX_PATH_MAX, 'p');
    EXPECT_EQ(SCANNER_CONNECT_FAILED, scanner_connect(path, 0, 1));
    EXPECT_EQ(SCANNER_CONNECT_FAILED, scanner_connect("/nonexistent/scanner.sock", 0, 1));
}
