/* The status pages' own logic without a daemon: the URL-blacklist search
 * over a synthetic blacklist (boxes, domain and file expressions, escaping,
 * the row limit) and the cache browser's reading of its date and size
 * fields. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <string>

#include "filebuf.h"
#include "interface.h"

namespace {

std::string page_text(Filebuf &page)
{
    return std::string(page.data ? page.data : "", (size_t)page.size);
}

/* Two categories of ".test" domains, one with path prefixes, and one
 * category whose name and entries carry markup. */
interface_blacklist_t sample_blacklist()
{
    interface_blacklist_t b;
    b["ads"].add_whole("banner.test");
    b["ads"].add_whole("Tracker.test");
    b["ads"].add_prefix("shop.test", "/promo");
    b["ads"].add_prefix("shop.test", "/cart/ad");
    b["games"].add_whole("play.test");
    b["games"].add_prefix("trackergames.test", "/top");
    b["<b>x\"y"].add_prefix("<i>.test", "/\"><svg/onload=window.__x=1>");
    for (auto &category : b)
        category.second.finish();
    return b;
}

/* The result rows as "category|domain|path". */
std::vector<std::string> result_rows(const std::string &html)
{
    std::vector<std::string> rows;
    size_t head = html.find("<td>Category</td>");
    if (head == std::string::npos)
        return rows;
    std::regex row("<tr class=\"list(even|odd)\"><td>([^<]*)</td><td>([^<]*)</td><td>([^<]*)"
                   "</td></tr>");
    std::string rest = html.substr(head);
    for (std::sregex_iterator it(rest.begin(), rest.end(), row), end; it != end; ++it)
        rows.push_back((*it)[2].str() + "|" + (*it)[3].str() + "|" + (*it)[4].str());
    return rows;
}

std::string search(const interface_blacklist_t &b, CGIMap args)
{
    Filebuf page;
    interface_urlbl_search(&page, args, b);
    return page_text(page);
}

} // namespace

/* The first visit ticks every box, eight to a row, and lists nothing;
 * names and labels are escaped. */
TEST(UrlblSearch, FirstVisit)
{
    interface_blacklist_t b = sample_blacklist();
    for (int i = 0; i < 7; i++)
        b["cat" + std::to_string(i)].add_whole("a.test");
    std::string html = search(b, CGIMap());
    EXPECT_NE(std::string::npos, html.find("Search URL blacklist"));
    EXPECT_NE(std::string::npos, html.find("<table class=\"checklist\">"));
    EXPECT_EQ(std::string::npos, html.find("<td>Category</td>"));
    EXPECT_NE(std::string::npos,
              html.find("<input type=\"checkbox\" name=\"&lt;b&gt;x&quot;y\" checked> "
                        "&lt;b&gt;x&quot;y</td>"));
    EXPECT_EQ(std::string::npos, html.find("<b>x"));
    size_t boxes = 0, rows = 0;
    for (size_t p = 0; (p = html.find(" checked>", p)) != std::string::npos; p++)
        boxes++;
    for (size_t p = 0; (p = html.find("<tr><td><input type=\"checkbox\"", p)) != std::string::npos;
         p++)
        rows++;
    EXPECT_EQ(10u, boxes);
    EXPECT_EQ(2u, rows);
}

/* The searches: which categories, domains and paths each lists. */
TEST(UrlblSearch, Results)
{
    struct Case {
        const char *what;
        CGIMap args;
        std::vector<std::string> rows;
    };
    const Case cases[] = {
        { "one category, a domain word without case",
          CGIMap("show=true&ads=on&domain=TRACKER"), { "ads|Tracker.test|/" } },
        { "both categories, the same word",
          CGIMap("show=true&ads=on&games=on&domain=tracker"),
          { "ads|Tracker.test|/", "games|trackergames.test|/top" } },
        { "a file expression not matching / hides domains listed whole",
          CGIMap("show=true&ads=on&games=on&file=o"),
          { "ads|shop.test|/promo", "games|trackergames.test|/top" } },
        { "a file expression matching / keeps them",
          CGIMap("show=true&games=on&file=^/$"), { "games|play.test|/" } },
        { "prefixes in list order, filtered one by one",
          CGIMap("show=true&ads=on&domain=shop"), { "ads|shop.test|/promo", "ads|shop.test|/cart/ad" } },
        { "an expression that does not compile filters nothing",
          CGIMap("show=true&games=on&domain=(x"),
          { "games|play.test|/", "games|trackergames.test|/top" } },
        { "no box ticked lists nothing", CGIMap("show=true&domain=test"), {} },
        { "markup in a category, domain and path is escaped",
          CGIMap("show=true&%3Cb%3Ex%22y=on"),
          { "&lt;b&gt;x&quot;y|&lt;i&gt;.test|/&quot;&gt;&lt;svg/onload=window.__x=1&gt;" } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::string html = search(sample_blacklist(), c.args);
        EXPECT_NE(std::string::npos, html.find("<td>Category</td>"));
        EXPECT_EQ(c.rows, result_rows(html));
        EXPECT_EQ(std::string::npos, html.find("<svg"));
    }
}

/* After a search a box is ticked when its argument is set; the text
 * fields keep what was searched, escaped. */
TEST(UrlblSearch, FormKeepsTheSearch)
{
    std::string html = search(sample_blacklist(),
                              CGIMap("show=true&games=on&domain=%22%3E%3Cx&file=a%26b"));
    EXPECT_NE(std::string::npos, html.find("name=\"games\" checked>"));
    EXPECT_NE(std::string::npos, html.find("name=\"ads\">"));
    EXPECT_NE(std::string::npos, html.find("name=\"domain\" size=\"80\" value=\"&quot;&gt;&lt;x\""));
    EXPECT_NE(std::string::npos, html.find("name=\"file\" size=\"80\" value=\"a&amp;b\""));
    EXPECT_NE(std::string::npos, html.find("<input type=\"hidden\" name=\"show\" value=\"true\">"));
}

/* A category of 10,001 domains shows 10,000 rows and one line for the
 * rest; exactly 10,000 shows no such line. */
TEST(UrlblSearch, RowLimit)
{
    for (int extra : { 0, 1 }) {
        SCOPED_TRACE(extra);
        interface_blacklist_t b;
        auto &domains = b["big"];
        for (int i = 0; i < INTERFACE_LIST_ROWS_MAX + extra; i++)
            domains.add_whole("d" + std::to_string(i) + ".test");
        domains.finish();
        std::string html = search(b, CGIMap("show=true&big=on"));
        EXPECT_EQ((size_t)INTERFACE_LIST_ROWS_MAX, result_rows(html).size());
        EXPECT_EQ(extra == 1, html.find("<td colspan=\"3\">1 more not shown</td>") !=
                                  std::string::npos);
    }
}

/* The date fields of the cache browser, read in UTC. */
TEST(CacheBrowserFields, Dates)
{
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm fallback = {};
    fallback.tm_year = 70;
    fallback.tm_mday = 1;
    struct Case {
        const char *args;
        int64_t when;
        int month, day, year;
    };
    const Case cases[] = {
        { "", 0, 0, 1, 1970 },
        { "xmonth=March&xday=5&xyear=2001&xhour=7&xminute=30", 983777400, 2, 5, 2001 },
        { "xmonth=mArCh&xday=5&xyear=2001", 983750400, 2, 5, 2001 },
        { "xday=12abc&xyear=abc", 0, 0, 1, 1970 },           /* not whole numbers */
        { "xday=&xmonth=", 0, 0, 1, 1970 },                  /* empty fields */
        { "xmonth=Smarch&xyear=2000", 978307200, 12, 1, 2000 },   /* carried into 2001 */
        { "xmonth=February&xday=31&xyear=2001", 983577600, 1, 31, 2001 },  /* 3 March */
        { "xyear=2001&xbox=on", 0, 0, 1, 1970 },             /* the box wins */
        { "xyear=99999999999", 0, 0, 1, 1970 },              /* out of the int range */
        { "xyear=-2147483648", 0, 0, 1, 1970 },              /* no such tm_year */
        { "xyear=2147483647&xmonth=December&xday=2147483647", 0, 0, 1, 1970 },  /* mktime refuses */
        { "xyear=2037&xhour=-1", 2114377200, 0, 1, 2037 },   /* normalised by mktime */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args);
        CGIMap args(c.args);
        INTERFACE_DATE date;
        EXPECT_EQ(c.when, interface_cache_date(args, "x", "xbox", fallback, &date));
        EXPECT_EQ(c.month, date.month);
        EXPECT_EQ(c.day, date.day);
        EXPECT_EQ(c.year, date.year);
    }
}

/* Dates follow the local daylight-saving rule: noon in a Central European
 * summer is 10:00 UTC, in winter 11:00 UTC. */
TEST(CacheBrowserFields, DaylightSaving)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct tm fallback = {};
    fallback.tm_year = 70;
    fallback.tm_mday = 1;
    INTERFACE_DATE date;
    CGIMap summer("xmonth=July&xday=1&xyear=2021&xhour=12&xminute=0");
    EXPECT_EQ(1625133600, interface_cache_date(summer, "x", "xbox", fallback, &date));
    CGIMap winter("xmonth=January&xday=15&xyear=2021&xhour=12&xminute=0");
    EXPECT_EQ(1610708400, interface_cache_date(winter, "x", "xbox", fallback, &date));
    setenv("TZ", "UTC", 1);
    tzset();
}

/* The size fields: units, 64-bit sizes, refusals. */
TEST(CacheBrowserFields, Sizes)
{
    struct Case {
        const char *text;
        bool ok;
        uint64_t size;
    };
    const Case cases[] = {
        { "0", true, 0 },
        { "10k", true, 10240 },
        { "10 KB", true, 10240 },
        { "5g", true, 5368709120ULL },
        { "4294967295", true, 4294967295ULL },
        { "", false, 7 },
        { "abc", false, 7 },
        { "1x", false, 7 },
        { "99999999999999999999999", false, 7 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        uint64_t size = 7;
        EXPECT_EQ(c.ok, interface_cache_size(c.text, &size));
        EXPECT_EQ(c.size, size);
    }
}
