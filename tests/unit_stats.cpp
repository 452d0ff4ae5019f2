/* The statistics tree: limited groups and their eviction, shares, 64-bit
 * counters, the page rows, the global and per-rule trees with their
 * feeders, the process figures, reference counts and concurrent
 * increments. */
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "mem.h"
#include "options.h"
#include "stats.h"
#include "test_support.h"

namespace {

std::string page_text(StatGroup &group)
{
    Filebuf page;
    group.Display(&page, 0);
    return std::string(page.data ? page.data : "", (size_t)page.size);
}

std::string host(int i)
{
    return "host" + std::to_string(i) + ".example";
}

/* The counter names of the group's page, in page order. */
std::vector<std::string> page_names(StatGroup &group)
{
    std::vector<std::string> names;
    std::string text = page_text(group);
    const std::string cell = "<td width=\"40%\">";
    for (size_t at = text.find(cell); at != std::string::npos; at = text.find(cell, at)) {
        at += cell.size();
        names.push_back(text.substr(at, text.find("</td>", at) - at));
    }
    return names;
}

uint64_t value_of(Stats *s, const char *group, const std::string &name)
{
    uint64_t v = 0;
    EXPECT_TRUE(s->Value(group, name, &v)) << group << " / " << name;
    return v;
}

}  // namespace

/* A limited group never holds more than limit - 1 counters: exactly at
 * 99 nothing is evicted, the next new name evicts the counter changed
 * longest ago, and an evicted name seen again starts from 1. */
TEST(StatGroup, LimitEvictsTheOldest)
{
    StatGroup hosts("hosts", STATGROUP_SHARE);
    hosts.Limit(STAT_LIMIT, STATPRUNE_OLDEST);
    for (int i = 0; i < 99; i++)
        hosts.Tally(host(i));
    EXPECT_EQ(99u, hosts.Size());

    /* Distinct times, host0 the most recent: host1 is the oldest. */
    int64_t second = 1;
    for (StatCounter &c : hosts.counters)
        c.updated_us = 1000000 * second++;
    hosts.counters.front().updated_us = 1000000 * 1000;
    hosts.Tally(host(0));                      /* an existing name adds nothing */
    EXPECT_EQ(99u, hosts.Size());

    EXPECT_EQ(1u, hosts.Tally("new.example"));
    EXPECT_EQ(99u, hosts.Size());
    uint64_t v = 0;
    EXPECT_FALSE(hosts.Value(host(1), &v));
    EXPECT_TRUE(hosts.Value(host(0), &v));
    EXPECT_EQ(2u, v);

    EXPECT_EQ(1u, hosts.Tally(host(1)));       /* back, from 1; host2 goes */
    EXPECT_FALSE(hosts.Value(host(2), &v));
    EXPECT_EQ(99u, hosts.Size());

    /* The total keeps the evicted counts, so shares add up to less. */
    EXPECT_EQ(102u, hosts.total);
    uint64_t sum = 0;
    for (const StatCounter &c : hosts.counters)
        sum += c.value;
    EXPECT_EQ(100u, sum);
}

/* In smallest mode the smallest value goes; ties go to the front. */
TEST(StatGroup, LimitEvictsTheSmallest)
{
    StatGroup g("g", STATGROUP_SHARE);
    g.Limit(4, STATPRUNE_SMALLEST);
    g.Tally("a", 5);
    g.Tally("b", 1);
    g.Tally("c", 1);
    g.Tally("d", 7);                           /* 3 held: b (first of the ties) goes */
    uint64_t v = 0;
    EXPECT_FALSE(g.Value("b", &v));
    EXPECT_TRUE(g.Value("c", &v));
    EXPECT_EQ(3u, g.Size());
    EXPECT_TRUE(g.Add("e", STAT_COUNT));       /* c goes */
    EXPECT_FALSE(g.Value("c", &v));
    EXPECT_FALSE(g.Add("e", STAT_COUNT));      /* exists: nothing changes */
    EXPECT_EQ(3u, g.Size());
}

/* Shares are of the total, cut toward zero; an empty total shows 0%. */
TEST(StatGroup, ShareRows)
{
    StatGroup cache("cache", STATGROUP_SHARE);
    cache.Add("hit", STAT_COUNT);
    cache.Add("miss", STAT_COUNT);
    std::string empty = page_text(cache);
    EXPECT_NE(std::string::npos, empty.find(">hit</td><td>0 (0%)</td>"));

    cache.Increment("hit");
    cache.Increment("miss", 2);
    std::string text = page_text(cache);
    EXPECT_EQ("<tr><td align=\"center\"><table class=\"smalldialog\">\n"
              "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">cache</td></tr>\n"
              "<tr class=\"listeven\"><td width=\"40%\">hit</td><td>1 (33%)</td></tr>\n"
              "<tr class=\"listodd\"><td width=\"40%\">miss</td><td>2 (66%)</td></tr>\n"
              "</table></td></tr> <tr><td><br></td></tr>\n",
              text);

    /* A failed revalidation moves one count from hit to miss. */
    uint64_t before = cache.total;
    cache.Decrement("hit");
    cache.Increment("miss");
    uint64_t v = 0;
    EXPECT_TRUE(cache.Value("hit", &v));
    EXPECT_EQ(0u, v);
    EXPECT_TRUE(cache.Value("miss", &v));
    EXPECT_EQ(3u, v);
    EXPECT_EQ(before, cache.total);
}

/* Counters and totals are 64 bits: no wrap at 2^32. */
TEST(StatGroup, SixtyFourBitCounters)
{
    StatGroup g("network", STATGROUP_LIST);
    g.Add("bytes in", STAT_BYTES);
    g.Add("requests", STAT_COUNT);
    const uint64_t big = (uint64_t)1 << 32;
    EXPECT_EQ(big + 5, g.Increment("requests", big + 5));
    EXPECT_EQ(big + 6, g.Increment("requests"));
    EXPECT_EQ(big + 6, g.total);
    g.Increment("bytes in", 1536);
    std::string text = page_text(g);
    EXPECT_NE(std::string::npos, text.find(">4294967302</td>"));
    EXPECT_NE(std::string::npos, text.find(">1.5 KB</td>"));

    StatGroup share("s", STATGROUP_SHARE);
    share.Tally("a", big * 3);
    share.Tally("b", big);
    std::string rows = page_text(share);
    EXPECT_NE(std::string::npos, rows.find("12884901888 (75%)"));
    EXPECT_NE(std::string::npos, rows.find("4294967296 (25%)"));
}

uint64_t seven()
{
    return 7;
}

char *label()
{
    return xstrdup("text <value>");
}

char *no_label()
{
    return nullptr;
}

/* Callback counters need the matching kind; names are escaped on the
 * page; missing groups and counters change nothing. */
TEST(Stats, CallbacksNamesAndMissingEntries)
{
    Stats *tree = new Stats();   /* one reference, dropped at the end */
    Stats &s = *tree;
    s.AddGroup("system", STATGROUP_LIST);
    s.AddGroup("system", STATGROUP_SHARE);           /* exists: ignored */
    ASSERT_EQ(1u, s.groups.size());
    EXPECT_EQ(STATGROUP_LIST, s.groups.front().type);

    EXPECT_TRUE(s.AddCounter("system", "seven", seven, STAT_COUNT));
    EXPECT_FALSE(s.AddCounter("system", "wrong", seven, STAT_STRING));
    EXPECT_TRUE(s.AddCounter("system", "label", label, STAT_STRING));
    EXPECT_FALSE(s.AddCounter("system", "wrong", label, STAT_COUNT));
    EXPECT_TRUE(s.AddCounter("system", "none", no_label, STAT_STRING));
    EXPECT_TRUE(s.AddCounter("system", "<b>never</b>", STAT_COUNT));
    EXPECT_FALSE(s.AddCounter("absent", "x", STAT_COUNT));
    EXPECT_EQ(0u, s.Increment("absent", "x"));
    EXPECT_EQ(0u, s.Increment("system", "absent"));
    EXPECT_EQ(0u, s.Tally("absent", "x"));
    s.Limit("absent", 5, STATPRUNE_OLDEST);
    EXPECT_EQ(0u, s.Total("absent"));

    Filebuf page;
    s.Display(&page);
    std::string text(page.data, (size_t)page.size);
    EXPECT_NE(std::string::npos, text.find(">seven</td><td>7</td>"));
    EXPECT_NE(std::string::npos, text.find(">label</td><td>text <value></td>"));
    EXPECT_NE(std::string::npos, text.find(">none</td><td></td>"));
    EXPECT_NE(std::string::npos, text.find(">&lt;b&gt;never&lt;/b&gt;</td><td>0</td>"));
    EXPECT_EQ(std::string::npos, text.find("<b>never"));
    size_t even = text.find("listeven"), odd = text.find("listodd");
    EXPECT_LT(even, odd);
    stats_release(tree);
}

/* The global tree has its groups in display order and the feeders count
 * into it and into the connection's rule tree (addresses: global only). */
TEST(Stats, GlobalTreeAndFeeders)
{
    EXPECT_EQ(nullptr, globalstats());
    statincr_httprequests(nullptr);                   /* before the tree: nothing */
    globalstats_init();
    globalstats_init();                               /* a second call changes nothing */
    Stats *g = globalstats();
    ASSERT_NE(nullptr, g);
    std::vector<std::string> names;
    for (StatGroup &group : g->groups)
        names.push_back(group.name);
    EXPECT_EQ((std::vector<std::string>{ "system", "requests", "network", "DNS cache", "cache",
                                         "cache refresh", "connection pool", "hosts", "mimes",
                                         "users", "ip addresses" }),
              names);
    EXPECT_EQ(100u, g->Group("users")->limit);
    EXPECT_EQ(0u, value_of(g, "requests", "HTTP requests"));

    CONNECTION_T *conn = connection_new();
    conn->ip = xstrdup("192.0.2.7");
    conn->user = xstrdup("alice@192.0.2.7");
    conn->userstats = userstats_init();
    conn->header = http_header_parse_request("GET http://www.example.org/ HTTP/1.1\r\n\r\n");
    conn->rheader = http_header_parse_response(
        "HTTP/1.1 200 OK\r\nContent-Type: text/html ; charset=UTF-8\r\n\r\n");
    ASSERT_NE(nullptr, conn->header);
    ASSERT_NE(nullptr, conn->rheader);

    statincr_httprequests(conn);
    statincr_ftprequests(conn);
    statincr_connectrequests(conn);
    statincr_cachehit(conn);
    statincr_cachehit(conn);
    statdecr_cachehit(conn);
    statincr_cachemiss(conn);
    statincr_cacherefreshhit(conn);
    statincr_cacherefreshmiss(conn);
    statincr_hosts(conn);
    statincr_hosts(conn);
    statincr_mimes(conn);
    statincr_ipaddresses(conn);
    statincr_users(conn);
    statincr_dnscache(true);
    statincr_dnscache(false);
    statincr_connect(true);
    statincr_connect(false);
    statincr_dnsfailure();
    statadd_networkbytes(100, 0);
    statadd_networkbytes(-5, 40);
    statincr_connectionpool(false);

    for (Stats *s : { g, conn->userstats }) {
        SCOPED_TRACE(s == g ? "global" : "rule");
        EXPECT_EQ(1u, value_of(s, "requests", "HTTP requests"));
        EXPECT_EQ(1u, value_of(s, "requests", "FTP requests"));
        EXPECT_EQ(1u, value_of(s, "requests", "CONNECT requests"));
        EXPECT_EQ(1u, value_of(s, "cache", "hit"));
        EXPECT_EQ(1u, value_of(s, "cache", "miss"));
        EXPECT_EQ(2u, s->Total("cache"));
        EXPECT_EQ(1u, value_of(s, "cache refresh", "hit"));
        EXPECT_EQ(2u, value_of(s, "hosts", "www.example.org"));
        EXPECT_EQ(1u, value_of(s, "mimes", "text/html"));
    }
    EXPECT_EQ(nullptr, conn->userstats->Group("ip addresses"));
    EXPECT_EQ(1u, value_of(g, "ip addresses", "192.0.2.7"));
    EXPECT_EQ(1u, value_of(g, "users", "alice@192.0.2.7"));
    EXPECT_EQ(1u, value_of(g, "DNS cache", "hit"));
    EXPECT_EQ(1u, value_of(g, "DNS cache", "miss"));
    EXPECT_EQ(1u, value_of(g, "network", "successful connections"));
    EXPECT_EQ(1u, value_of(g, "network", "failed connections"));
    EXPECT_EQ(1u, value_of(g, "network", "DNS failures"));
    EXPECT_EQ(100u, value_of(g, "network", "bytes in"));
    EXPECT_EQ(40u, value_of(g, "network", "bytes out"));
    EXPECT_EQ(1u, value_of(g, "connection pool", "miss"));

    /* Request data is cut to STAT_NAME_MAX bytes. */
    std::string long_host(STAT_NAME_MAX + 50, 'h');
    header_field_set(&conn->header->host, long_host.c_str());
    statincr_hosts(conn);
    EXPECT_EQ(1u, value_of(g, "hosts", long_host.substr(0, STAT_NAME_MAX)));

    Filebuf page;
    g->Display(&page);
    std::string text(page.data, (size_t)page.size);
    EXPECT_NE(std::string::npos, text.find(">memory resident</td><td>"));
    EXPECT_NE(std::string::npos, text.find(">user time</td><td>00:00:00.00</td>"));

    http_header_free(conn->header);
    http_header_free(conn->rheader);
    conn->header = conn->rheader = nullptr;
    connection_free(conn);                           /* drops the rule tree: no leak */
}

/* /proc/self/statm is read in bytes. */
TEST(Stats, ProcessMemory)
{
    statm_t s;
    memset(&s, 0, sizeof s);
    ASSERT_TRUE(statm_load(&s));
    long page = sysconf(_SC_PAGESIZE);
    EXPECT_GT(s.resident, 0u);
    EXPECT_EQ(0u, s.resident % (unsigned long)page);
    EXPECT_GE(s.size, s.resident);
    EXPECT_GT(stat_size(), 0u);
}

/* A rule's tree lives while any holder keeps a reference. */
TEST(Stats, SharedTreeLivesUntilTheLastReference)
{
    Stats *tree = userstats_init();
    Stats *second = static_cast<Stats *>(tree->New());
    EXPECT_EQ(tree, second);
    EXPECT_EQ(2, tree->refs);
    stats_release(tree);
    EXPECT_EQ(1, second->refs);
    second->Increment("requests", "HTTP requests");   /* still alive */
    stats_release(second);                            /* freed: checked by the sanitizer */
    stats_release(nullptr);
}

/* Increments from several threads are all counted: the sealed groups with
 * atomics alone, the limited ones under their lock held shared. A sealed
 * group takes no new counter. */
TEST(Stats, ConcurrentIncrements)
{
    Stats *tree = userstats_init();
    EXPECT_FALSE(tree->AddCounter("cache", "late", STAT_COUNT));
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; t++)
        workers.emplace_back([tree, t] {
            for (int i = 0; i < 5000; i++) {
                tree->Increment("cache", "hit");
                tree->Tally("hosts", host(t * 1000 + i % 300));
            }
        });
    for (std::thread &w : workers)
        w.join();
    EXPECT_EQ(20000u, value_of(tree, "cache", "hit"));
    EXPECT_EQ(20000u, tree->Total("cache"));
    EXPECT_EQ(20000u, tree->Total("hosts"));
    EXPECT_EQ(99u, tree->Group("hosts")->Size());
    stats_release(tree);
}

/* Whether the rows of the busy-and-fresh group are as they must be: the
 * busy names first in their order, no name twice, and each adding
 * thread's fresh names ("fresh<thread>-<n>") in the order it added them. */
static bool rows_in_order(const std::vector<std::string> &names, int busy)
{
    std::set<std::string> seen;
    int last[2] = { -1, -1 };
    for (size_t i = 0; i < names.size(); i++) {
        if (!seen.insert(names[i]).second)
            return false;
        if ((int)i < busy) {
            if (names[i] != host((int)i))
                return false;
            continue;
        }
        int thread = 0, n = 0;
        if (sscanf(names[i].c_str(), "fresh%d-%d", &thread, &n) != 2 || thread < 0 || thread > 1 ||
            n <= last[thread])
            return false;
        last[thread] = n;
    }
    return true;
}

/* Many threads on two limited groups at once. In one, every counting
 * thread counts the same few busy names while two others add fresh names
 * (each add prunes: smallest value first, so the busy names stay) and a
 * reader shows the page; in the other, the counting threads walk the same
 * new names side by side, so that they add one name together. Every count
 * lands exactly once: the values handed back for a name are exactly 1..n
 * above its start and the totals hold every count. No name is held twice
 * and the page keeps the order in which names came. */
TEST(StatGroup, ConcurrentCountingPruningAndDisplay)
{
    const int threads = 4, rounds = 3000, busy = 3, fresh = 400, repeat = 4;
    const int shared = rounds / repeat;
    const uint64_t head = 1000000;   /* the busy names' start, above any fresh count */
    StatGroup hosts("hosts", STATGROUP_SHARE);
    StatGroup mimes("mimes", STATGROUP_SHARE);
    hosts.Limit(40, STATPRUNE_SMALLEST);
    mimes.Limit(shared + 1, STATPRUNE_OLDEST);
    for (int b = 0; b < busy; b++)
        hosts.Tally(host(b), head);

    /* handed[t][k]: the values thread t was handed for busy name k, then
     * for shared name k - busy */
    std::vector<std::vector<std::vector<uint64_t>>> handed(
        threads, std::vector<std::vector<uint64_t>>(busy + shared));
    std::atomic<int> faults{0};
    std::atomic<int> waiting{threads + 2};   /* all start together */
    std::atomic<int> adders_left{2};
    auto start_together = [&waiting] {
        waiting--;
        while (waiting.load() > 0)
            std::this_thread::yield();
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++)
        workers.emplace_back([&, t] {
            start_together();
            for (int i = 0; i < rounds; i++) {
                int b = (i + t) % busy;
                handed[t][b].push_back(i % 2 ? hosts.Increment(host(b)) : hosts.Tally(host(b)));
                int m = i / repeat;
                handed[t][busy + m].push_back(mimes.Tally("type/" + std::to_string(m)));
            }
        });
    for (int a = 0; a < 2; a++)
        workers.emplace_back([&, a] {
            start_together();
            for (int i = 0; i < fresh; i++) {
                std::string name = "fresh" + std::to_string(a) + "-" + std::to_string(i);
                if (!(i % 2 ? hosts.Add(name, STAT_COUNT) : hosts.Tally(name) == 1))
                    faults++;
            }
            adders_left--;
        });
    std::thread reader([&] {
        do {
            std::vector<std::string> names = page_names(hosts);
            if (names.size() > 39 || !rows_in_order(names, busy))
                faults++;
        } while (adders_left.load() > 0);
    });
    for (std::thread &w : workers)
        w.join();
    reader.join();
    EXPECT_EQ(0, faults.load());

    for (int k = 0; k < busy + shared; k++) {
        SCOPED_TRACE(k);
        std::vector<uint64_t> all;
        for (int t = 0; t < threads; t++)
            all.insert(all.end(), handed[t][k].begin(), handed[t][k].end());
        std::sort(all.begin(), all.end());
        uint64_t start = k < busy ? head : 0;
        for (size_t i = 0; i < all.size(); i++)
            if (all[i] != start + i + 1) {
                ADD_FAILURE() << "handed " << all[i] << " as count " << start + i + 1;
                break;
            }
        uint64_t v = 0;
        StatGroup &g = k < busy ? hosts : mimes;
        EXPECT_TRUE(g.Value(k < busy ? host(k) : "type/" + std::to_string(k - busy), &v));
        EXPECT_EQ(start + all.size(), v);
    }
    EXPECT_EQ(busy * head + threads * rounds + fresh, hosts.total);
    EXPECT_EQ((uint64_t)threads * rounds, mimes.total);
    EXPECT_EQ((size_t)shared, mimes.Size());
    EXPECT_EQ(39u, hosts.Size());
    EXPECT_TRUE(rows_in_order(page_names(hosts), busy));
}
