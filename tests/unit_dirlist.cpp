/* The FTP listing parser, filter and sort. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "dirlist.h"
#include "filebuf.h"
#include "test_support.h"

namespace {

dir_t *parse(const std::string &text)
{
    Filebuf buf;
    EXPECT_EQ(FILEBUF_OK, buf.Add(text.data(), (int64_t)text.size()));
    return dir_list_parse(&buf);
}

std::vector<std::string> names(const dir_t *list)
{
    std::vector<std::string> v;
    for (const dir_t *e = list; e; e = e->next)
        v.push_back(e->name);
    return v;
}

int current_year()
{
    time_t now = time(nullptr);
    struct tm tm;
    gmtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

}  // namespace

struct ListCase {
    const char *line;
    const char *name;
    int type;
    const char *owner;
    const char *group;
    uint64_t size;
    int year;        /* 0: the current year (or the one before) */
    int month;       /* 0-11 */
    int mday;
    int hour;
    int minute;
};

static const ListCase list_cases[] = {
    { "drwxr-xr-x 2 ftp ftp 4096 Mar 3 12:00 pub", "pub/", 1, "ftp", "ftp", 4096, 0, 2, 3, 12, 0 },
    { "-rw-r--r-- 1 ftp 512 Jan 1 2001 a.txt", "a.txt", 0, "ftp", "unknown", 512, 2001, 0, 1, 0, 0 },
    { "lrwxrwxrwx 1 root root 7 Jun 30 2015 link -> target", "link", 0, "root", "root", 7, 2015, 5, 30, 0, 0 },
    { "-rw-r--r--   1 u  g   18446744073709551615 Dec 31  1999   two  blanks\r", "two blanks", 0, "u", "g",
      18446744073709551615ULL, 1999, 11, 31, 0, 0 },
    { "-rw-r--r-- 1 u g 5 Feb 30 2020 norm", "norm", 0, "u", "g", 5, 2020, 2, 1, 0, 0 },
};

/* Each column layout yields its name, type, owner, group, size and GMT date. */
TEST(DirList, ParsesColumnLayouts)
{
    for (const ListCase &c : list_cases) {
        SCOPED_TRACE(c.line);
        dir_t *list = parse(std::string(c.line) + "\n");
        ASSERT_NE(nullptr, list);
        EXPECT_EQ(nullptr, list->next);
        EXPECT_STREQ(c.name, list->name);
        EXPECT_EQ(c.type, list->type);
        EXPECT_STREQ(c.owner, list->owner);
        EXPECT_STREQ(c.group, list->group);
        EXPECT_EQ(c.size, list->size);
        struct tm t;
        gmtime_r(&list->mtime, &t);
        if (c.year)
            EXPECT_EQ(c.year, t.tm_year + 1900);
        else
            EXPECT_GE(t.tm_year + 1900, current_year() - 1);
        EXPECT_EQ(c.month, t.tm_mon);
        EXPECT_EQ(c.mday, t.tm_mday);
        EXPECT_EQ(c.hour, t.tm_hour);
        EXPECT_EQ(c.minute, t.tm_min);
        /* The date kept for the page is the normalised one. */
        EXPECT_EQ(t.tm_mday, list->time.tm_mday);
        EXPECT_EQ(t.tm_mon, list->time.tm_mon);
        dir_list_free(list);
    }
}

/* The first line decides the layout: after an eight-field first line a
 * name with a blank is read whole, with group "unknown". */
TEST(DirList, FirstLineDecidesColumns)
{
    dir_t *list = parse("-rw-r--r-- 1 ftp 512 Jan 1 2001 a.txt\n"
                        "-rw-r--r-- 1 ftp 512 Jan 1 2001 a b.txt\n");
    EXPECT_EQ((std::vector<std::string>{ "a.txt", "a b.txt" }), names(list));
    ASSERT_NE(nullptr, list);
    EXPECT_STREQ("unknown", list->next->group);
    EXPECT_EQ(512u, list->next->size);
    dir_list_free(list);
}

/* A year-less date is read as GMT whatever the zone, and one more than a
 * day ahead belongs to last year. */
TEST(DirList, YearlessDatesAreGmtAndNeverFarAhead)
{
    setenv("TZ", "CET-1CEST", 1);
    tzset();
    time_t now = time(nullptr);
    time_t ahead = now + 40 * 24 * 3600;
    struct tm a;
    gmtime_r(&ahead, &a);
    char line[128];
    strftime(line, sizeof line, "-rw-r--r-- 1 u g 1 %b %d %H:%M future\n", &a);
    time_t soon = now + 3600;
    struct tm s;
    gmtime_r(&soon, &s);
    char line2[128];
    strftime(line2, sizeof line2, "-rw-r--r-- 1 u g 1 %b %d %H:%M soon\n", &s);
    dir_t *list = parse(std::string(line) + line2);
    ASSERT_NE(nullptr, list);
    ASSERT_NE(nullptr, list->next);
    EXPECT_LE(list->mtime, now);
    EXPECT_GT(list->mtime, now - 366 * 24 * 3600);
    /* Within a day ahead: this year, read as GMT (minutes exact). */
    EXPECT_EQ((soon / 60) * 60, list->next->mtime);
    dir_list_free(list);
    unsetenv("TZ");
    tzset();
}

/* "total", empty lines, lines with too few fields and lines without a
 * name are skipped; the unreadable ones are logged as unparsable. */
TEST(DirList, SkipsTotalsAndShortLines)
{
    test_runtime_init();
    test_log_clear();
    dir_t *list = parse("total 12\r\n\r\n"
                        "-rw-r--r-- 1 ftp ftp 10 Mar 3 12:00 one\r\n"
                        "-rw-r--r-- 1 ftp ftp\r\n"
                        "-rw-r--r-- 1 ftp ftp 20 Mar 3 12:00 two\r\n");
    EXPECT_EQ((std::vector<std::string>{ "one", "two" }), names(list));
    EXPECT_TRUE(test_log_contains("FTP: unparsable ftp dir entry: -rw-r--r-- 1 ftp ftp"));
    dir_list_free(list);

    /* Seven columns on the first line: nothing is readable. */
    test_log_clear();
    list = parse("-rw-r--r-- 1 ftp 10 Mar 3 x\n-rw-r--r-- 1 ftp ftp 20 Mar 3 12:00 two\n");
    EXPECT_EQ(nullptr, list);
    EXPECT_TRUE(test_log_contains("FTP: unparsable ftp dir entry"));
    EXPECT_EQ(nullptr, parse(""));

    /* A name that is nothing before a carriage return is no entry. */
    test_log_clear();
    list = parse("-rw-r--r-- 1 ftp ftp 10 Mar 3 12:00 \rx\nd--------- 1 ftp ftp 0 Mar 3 12:00 \r\n"
                 "-rw-r--r-- 1 ftp ftp 20 Mar 3 12:00 two\r\n");
    EXPECT_EQ((std::vector<std::string>{ "two" }), names(list));
    EXPECT_TRUE(test_log_contains("FTP: unparsable ftp dir entry: -rw-r--r-- 1 ftp ftp 10 Mar 3 12:00"));
    dir_list_free(list);
}

/* A name of any length and with control bytes is kept whole up to its line
 * end; the log line shows no control byte. */
TEST(DirList, LongNamesAreNotCut)
{
    std::string longname(400, 'n');
    dir_t *list = parse("-rw-r--r-- 1 ftp ftp 1 Mar 3 2020 " + longname + "\n");
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(longname, list->name);
    dir_list_free(list);
}

/* rematch keeps the matching names without regard to case; a pattern
 * that does not compile changes nothing. */
TEST(DirList, FilterByPattern)
{
    test_runtime_init();
    dir_t *list = parse("-rw-r--r-- 1 f f 1 Mar 3 2020 a.TXT\n"
                        "-rw-r--r-- 1 f f 1 Mar 3 2020 b.bin\n"
                        "-rw-r--r-- 1 f f 1 Mar 3 2020 c.txt\n");
    list = dir_list_filter(list, "(");
    EXPECT_EQ(3u, names(list).size());
    list = dir_list_filter(list, "\\.txt$");
    EXPECT_EQ((std::vector<std::string>{ "a.TXT", "c.txt" }), names(list));
    EXPECT_EQ(nullptr, list->prev);
    list = dir_list_filter(list, "^zzz");
    EXPECT_EQ(nullptr, list);
}

struct SortCase {
    int order;
    int field;
    std::vector<std::string> want;
};

/* The comparator of each field and order; equal keys keep listing order. */
TEST(DirList, SortTable)
{
    const char *text = "-rw-r--r-- 1 f f 30 Mar 3 2020 b\n"
                       "drwxr-xr-x 1 f f 4096 Mar 1 2020 dir\n"
                       "-rw-r--r-- 1 f f 10 Mar 2 2020 A\n"
                       "-rw-r--r-- 1 f f 10 Mar 4 2020 c\n";
    const SortCase cases[] = {
        { DIR_SORT_ASCENDING, DIR_SORT_NAME, { "A", "b", "c", "dir/" } },
        { DIR_SORT_DESCENDING, DIR_SORT_NAME, { "dir/", "c", "b", "A" } },
        { DIR_SORT_ASCENDING, DIR_SORT_SIZE, { "dir/", "A", "c", "b" } },
        { DIR_SORT_DESCENDING, DIR_SORT_SIZE, { "b", "A", "c", "dir/" } },
        { DIR_SORT_ASCENDING, DIR_SORT_DATE, { "dir/", "A", "b", "c" } },
        { DIR_SORT_DESCENDING, DIR_SORT_DATE, { "c", "b", "A", "dir/" } },
        { DIR_SORT_ASCENDING, DIR_SORT_NONE, { "b", "dir/", "A", "c" } },
    };
    for (const SortCase &c : cases) {
        SCOPED_TRACE(testing::Message() << c.order << "/" << c.field);
        dir_t *list = parse(text);
        list = dir_list_sort(list->next, c.order, c.field);   /* any entry will do */
        if (c.field == DIR_SORT_NONE)
            while (list->prev)
                list = list->prev;
        EXPECT_EQ(c.want, names(list));
        EXPECT_EQ(nullptr, list->prev);
        dir_list_free(list->next);   /* frees from the first entry */
    }
}

/* A long listing sorts in n log n: 50,000 entries well within the test's
 * time-out. */
TEST(DirList, LargeListingSorts)
{
    std::string text;
    for (int i = 0; i < 50000; i++)
        text += "-rw-r--r-- 1 f f " + std::to_string((i * 7919) % 100000) + " Mar 3 2020 f" +
                std::to_string(i) + "\n";
    dir_t *list = parse(text);
    list = dir_list_sort(list, DIR_SORT_ASCENDING, DIR_SORT_SIZE);
    uint64_t last = 0;
    size_t n = 0;
    for (dir_t *e = list; e; e = e->next, n++) {
        EXPECT_LE(last, e->size);
        last = e->size;
    }
    EXPECT_EQ(50000u, n);
    dir_list_free(list);
}
