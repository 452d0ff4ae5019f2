/* The limits: request counts, deny windows (recurring and absolute),
 * download and upload allowances as the smallest remainder over the
 * matching rules, the booking with exclude and cached, bypass and the
 * section switched off, the bandwidth group of the client socket, the
 * reset of counters outside the window, and 64-bit counters. Every check
 * runs at a fixed local time. */
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "limit.h"
#include "policytest.h"
#include "socket.h"
#include "test_support.h"

namespace {

struct Rule {
    std::string profiles = "";
    bool deny = false;
    std::string tmpl = "";
    std::string hours = "";       /* "first,last" or "" for no hour window */
    std::string download = "0";
    std::string upload = "0";
    unsigned maxrequests = 0;
    std::string rate = "0";
    bool recurring = true;
    std::string flags = "";
    std::string months = "";      /* "january,march" or "" */
};

std::string rule_xml(const Rule &r)
{
    std::string x = "<limit><enabled>true</enabled><comment>t</comment><profiles>" + r.profiles +
                    "</profiles><deny>" + (r.deny ? "true" : "false") + "</deny><template>" +
                    r.tmpl + "</template>";
    x += "<month active=\"" + std::string(r.months.empty() ? "false" : "true") + "\">" +
         (r.months.empty() ? "january,december" : r.months) + "</month>";
    x += "<day active=\"false\">1,31</day><weekday active=\"false\">sunday,saturday</weekday>";
    x += "<hour active=\"" + std::string(r.hours.empty() ? "false" : "true") + "\">" +
         (r.hours.empty() ? "0,23" : r.hours) + "</hour>";
    x += "<minute active=\"false\">0,59</minute>";
    x += "<downloadlimit>" + r.download + "</downloadlimit><uploadlimit>" + r.upload +
         "</uploadlimit><maxrequests>" + std::to_string(r.maxrequests) + "</maxrequests><rate>" +
         r.rate + "</rate><recurring>" + (r.recurring ? "true" : "false") +
         "</recurring><flags>" + r.flags + "</flags></limit>";
    return x;
}

void configure(const std::vector<Rule> &rules, bool enabled = true)
{
    policytest_ready([] { limit_section = new LimitSection(); });
    std::string body = std::string("<limits><enabled>") + (enabled ? "true" : "false") + "</enabled>";
    for (const Rule &r : rules)
        body += rule_xml(r);
    ASSERT_EQ(SECTION_LOADED, policytest_load(limit_section, body + "</limits>"));
}

/* 2026-03-15 (a Sunday, month 2) at the given hour. */
struct tm at(int hour, int minute = 30)
{
    struct tm t = {};
    t.tm_year = 126;
    t.tm_mon = 2;
    t.tm_mday = 15;
    t.tm_wday = 0;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

const char *GET = "GET http://example.test/file HTTP/1.1\r\nHost: example.test\r\n\r\n";

/* One request's check, booking as a finished request with the given
 * bytes (an admitted request reached its server); returns the check's
 * result. */
int request(PolicyClient &c, const struct tm &now, int64_t down = 0, int64_t up = 0)
{
    int rc = limit_section->check_and_block_at(c.conn, &now);
    c.conn->limit_served = rc == 0;
    c.conn->download_bytes = down;
    c.conn->upload_bytes = up;
    limit_section->update_at(c.conn, &now);
    limits_request_clear(c.conn);
    return rc;
}

LimitCounters counters(size_t index)
{
    LimitCounters out = {};
    EXPECT_TRUE(limit_section->counters_get(index, &out));
    return out;
}

}  // namespace

TEST(Limits, RequestCountsPerWindow)
{
    struct Case {
        const char *name;
        unsigned maxrequests;
        int passing;   /* requests that pass before the refusal */
    } cases[] = {
        { "one", 1, 1 },
        { "three", 3, 3 },
        { "no cap", 0, 6 },
    };
    struct tm now = at(12);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rule r;
        r.maxrequests = k.maxrequests;
        configure({ r });
        for (int i = 0; i < 6; i++) {
            PolicyClient c(GET);   /* every client shares the rule's count */
            test_log_clear();
            int rc = request(c, now);
            std::string body;
            if (i < k.passing) {
                EXPECT_EQ(0, rc) << i;
                continue;
            }
            EXPECT_EQ(1, rc) << i;
            EXPECT_EQ(404, c.status(&body));
            EXPECT_NE(std::string::npos, body.find("Request limit exceeded"));
            EXPECT_EQ("User Limits", c.variable("FILTER"));
            EXPECT_EQ("Max Requests", c.variable("LIMIT_TYPE"));
            EXPECT_EQ("limit-section", c.conn->logentry.filter_name);
            EXPECT_EQ("max-requests restrictions", c.conn->logentry.filtering_reason);
            EXPECT_FALSE(test_log_contains("blocked: time limit restrictions"));
            break;
        }
    }
}

TEST(Limits, DenyWindows)
{
    struct Case {
        const char *name;
        std::string hours;
        bool recurring;
        std::string months;
        int hour;
        bool refused;
    } cases[] = {
        { "0-23 recurring, noon", "0,23", true, "", 12, true },
        { "0-23 recurring, midnight", "0,23", true, "", 0, true },
        { "12-13 recurring, 13:59", "12,13", true, "", 13, true },
        { "12-13 recurring, 14:00", "12,13", true, "", 14, false },
        /* recurring windows cannot span midnight */
        { "22-6 recurring, 23:00", "22,6", true, "", 23, false },
        { "22-6 recurring, 03:00", "22,6", true, "", 3, false },
        /* absolute: March 10:00 to March 14:00 as one interval */
        { "absolute inside", "10,14", false, "march,march", 11, true },
        { "absolute outside", "10,14", false, "march,march", 15, false },
        { "other month", "", true, "april,may", 12, false },
        { "no window", "", true, "", 5, true },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rule r;
        r.deny = true;
        r.hours = k.hours;
        r.recurring = k.recurring;
        r.months = k.months;
        configure({ r });
        PolicyClient c(GET);
        test_log_clear();
        struct tm now = at(k.hour, k.hour == 13 ? 59 : 0);
        EXPECT_EQ(k.refused ? 1 : 0, limit_section->check_and_block_at(c.conn, &now));
        if (!k.refused) {
            EXPECT_EQ(0, c.status());
            continue;
        }
        std::string body;
        EXPECT_EQ(404, c.status(&body));
        EXPECT_NE(std::string::npos, body.find("Page Blocked"));
        EXPECT_TRUE(test_log_contains("limits: blocked: time limit restrictions"));
        EXPECT_EQ("User Limits", c.variable("FILTER"));
        EXPECT_EQ("Time Limits", c.variable("LIMIT_TYPE"));
        EXPECT_EQ("limit-section", c.conn->logentry.filter_name);
        EXPECT_EQ("time limit restrictions", c.conn->logentry.filtering_reason);
    }
}

TEST(Limits, RuleTemplateReplacesThePage)
{
    Rule r;
    r.deny = true;
    r.tmpl = "maxrequests";
    configure({ r });
    PolicyClient c(GET);
    struct tm now = at(9);
    EXPECT_EQ(1, limit_section->check_and_block_at(c.conn, &now));
    std::string body;
    EXPECT_EQ(404, c.status(&body));
    EXPECT_NE(std::string::npos, body.find("Request limit exceeded"));
}

TEST(Limits, AllowanceIsTheSmallestRemainder)
{
    Rule a, b, other;
    a.download = "100M";
    b.download = "80M";
    b.flags = "exclude";   /* nothing booked against it */
    other.profiles = "staff";
    other.download = "1K";   /* matches no request here */
    configure({ a, b, other });
    struct tm now = at(12);
    {
        PolicyClient c(GET);
        EXPECT_EQ(0, request(c, now, (int64_t)50 << 20));
    }
    PolicyClient c(GET);
    test_log_clear();
    EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
    EXPECT_EQ((int64_t)50 << 20, c.conn->download_left);
    EXPECT_EQ("104857600", c.variable("DOWNLOADLIMIT"));
    EXPECT_EQ(ALLOWANCE_UNLIMITED, c.conn->upload_left);
    EXPECT_TRUE(test_log_contains("limits: transfer download limit: 52428800"));
    EXPECT_TRUE(test_log_contains("limits: transfer upload limit: 4294967295"));
    EXPECT_FALSE(test_log_contains("transfer download rate"));

    /* a counter past its cap leaves nothing */
    limits_request_clear(c.conn);
    request(c, now, (int64_t)60 << 20);
    EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
    EXPECT_EQ(0, c.conn->download_left);
}

TEST(Limits, CountersAreSixtyFourBit)
{
    Rule r;
    r.download = "5G";
    configure({ r });
    struct tm now = at(12);
    PolicyClient c(GET);
    EXPECT_EQ(0, request(c, now, (int64_t)3 << 30));
    EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
    EXPECT_EQ((int64_t)2 << 30, c.conn->download_left);
    EXPECT_EQ("5368709120", c.variable("DOWNLOADLIMIT"));
    limits_request_clear(c.conn);
    /* 6 GiB booked: past the cap and past 4 GiB, nothing reopens */
    request(c, now, (int64_t)3 << 30);
    EXPECT_EQ((uint64_t)6 << 30, counters(0).downloaded);
    EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
    EXPECT_EQ(0, c.conn->download_left);

    EXPECT_EQ(UINT64_MAX, limit_add(UINT64_MAX - 1, 5));
    EXPECT_EQ(7u, limit_add(3, 4));
    EXPECT_EQ(0u, limit_remainder(10, 11));
    EXPECT_EQ(0u, limit_remainder(10, 10));
    EXPECT_EQ(1u, limit_remainder(10, 9));
}

TEST(Limits, BookingExcludeCachedBypassAndDisabled)
{
    struct Case {
        const char *name;
        std::string flags;
        bool hit;           /* served from the cache */
        bool writing;       /* this request wrote the object */
        unsigned bypass;
        bool enabled;
        uint64_t downloaded;
        uint64_t requests;
        bool limit_hits;    /* CONN_LIMIT_HITS after the check */
    } cases[] = {
        { "fetched", "", false, false, 0, true, 1000, 1, false },
        { "hit", "", true, false, 0, true, 0, 1, false },
        { "hit written", "", true, true, 0, true, 1000, 1, false },
        { "hit cached", "cached", true, false, 0, true, 1000, 1, true },
        { "exclude", "exclude", false, false, 0, true, 0, 0, false },
        { "bypass", "", false, false, BYPASS_LIMITS, true, 0, 0, false },
        { "disabled", "", false, false, 0, false, 0, 0, false },
    };
    struct tm now = at(12);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rule r;
        r.download = "1M";
        r.maxrequests = 1;
        r.flags = k.flags;
        configure({ r }, k.enabled);
        PolicyClient c(GET);
        c.conn->bypass = k.bypass;
        c.conn->download_left = 5;   /* left by an earlier request */
        EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
        EXPECT_EQ(k.limit_hits, (c.conn->flags & CONN_LIMIT_HITS) != 0);
        if (k.bypass || !k.enabled) {
            EXPECT_EQ(ALLOWANCE_UNLIMITED, c.conn->download_left);
        }
        static char object;
        c.conn->cache = k.hit ? (CACHEMAP *)&object : nullptr;
        if (k.writing)
            c.conn->flags |= CONN_WRITING_CACHE;
        c.conn->download_bytes = 1000;
        c.conn->limit_served = true;
        limit_section->update_at(c.conn, &now);
        c.conn->cache = nullptr;
        LimitCounters n = counters(0);
        EXPECT_EQ(k.downloaded, n.downloaded);
        EXPECT_EQ(k.requests, n.requests);
        /* the rule still refuses once its count is spent, exclude or not;
         * bypass and a disabled section never do */
        PolicyClient next(GET);
        next.conn->bypass = k.bypass;
        int expected = (k.bypass || !k.enabled || k.requests == 0) ? 0 : 1;
        EXPECT_EQ(expected, limit_section->check_and_block_at(next.conn, &now));
    }
}

TEST(Limits, UploadAgainstThisRequestsAllowance)
{
    struct Case {
        const char *name;
        uint64_t booked;        /* by earlier requests */
        const char *request;
        int refused;
    } cases[] = {
        { "first request, over", 0,
          "POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 150\r\n\r\n", 1 },
        { "first request, exactly", 0,
          "POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 100\r\n\r\n", 0 },
        { "after 60 booked, 50 more", 60,
          "POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 50\r\n\r\n", 1 },
        { "after 60 booked, 40 more", 60,
          "POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\nContent-Length: 40\r\n\r\n", 0 },
        { "no body", 100, GET, 0 },
    };
    struct tm now = at(12);
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rule r;
        r.upload = "100";
        configure({ r });
        if (k.booked) {
            PolicyClient earlier(GET);
            request(earlier, now, 0, (int64_t)k.booked);
        }
        PolicyClient c(k.request);
        EXPECT_EQ(k.refused, limit_section->check_and_block_at(c.conn, &now));
        std::string body;
        if (k.refused) {
            EXPECT_EQ(200, c.status(&body));
            EXPECT_NE(std::string::npos, body.find("Upload transfer limit exceeded"));
            EXPECT_NE(std::string::npos, body.find("100 bytes"));
        } else {
            EXPECT_EQ(0, c.status());
        }
        /* a refused upload sent nothing to the server: nothing booked */
        c.conn->upload_bytes = 0;
        limit_section->update_at(c.conn, &now);
        EXPECT_EQ(k.booked, counters(0).uploaded);
    }
}

TEST(Limits, UnreadBodyClosesTheConnection)
{
    Rule r;
    r.upload = "10";
    configure({ r });
    struct tm now = at(12);
    PolicyClient c("POST http://example.test/up HTTP/1.1\r\nHost: example.test\r\n"
                   "Content-Length: 5000000\r\n\r\n");
    c.conn->flags |= CONN_DIRECT_POST;
    EXPECT_EQ(1, limit_section->check_and_block_at(c.conn, &now));
    EXPECT_EQ(0, c.conn->keepalive_client);
    std::string sent = c.received();
    EXPECT_NE(std::string::npos, sent.find("Connection: close"));
}

TEST(Limits, RateGroupOfTheClientSocket)
{
    struct tm now = at(12);
    struct Case {
        const char *name;
        std::vector<std::string> rates;
        uint64_t expected;   /* 0: no group */
    } cases[] = {
        { "50000 then 20000", { "50000", "20000" }, 20000 },
        { "20000 then 50000", { "20000", "50000" }, 20000 },
        { "rate then a rule without one", { "20000", "0" }, 20000 },
        { "a rule without one, then a rate", { "0", "30000" }, 30000 },
        { "below 10", { "9" }, 0 },
        { "none", {}, 0 },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::vector<Rule> rules;
        for (const std::string &rate : k.rates) {
            Rule r;
            r.rate = rate;
            rules.push_back(r);
        }
        configure(rules);
        PolicyClient c(GET);
        /* a group an earlier request left is replaced or removed */
        LimitGroup *old = new LimitGroup(1000);
        c.conn->client->SetRate(nullptr, old);
        limitgroup_release(old);
        test_log_clear();
        EXPECT_EQ(0, limit_section->check_and_block_at(c.conn, &now));
        LimitGroup *g = c.conn->client->write_limit;
        EXPECT_EQ(nullptr, c.conn->client->read_limit);
        if (k.expected == 0) {
            EXPECT_EQ(nullptr, g);
            continue;
        }
        ASSERT_NE(nullptr, g);
        EXPECT_EQ(k.expected, g->rate);
        EXPECT_TRUE(test_log_contains("limits: transfer download rate: " + std::to_string(k.expected)));
    }
}

TEST(Limits, SharedRateIsOneGroup)
{
    Rule shared, own;
    shared.profiles = "shared";
    shared.rate = "40000";
    shared.flags = "shared-rate";
    own.profiles = "own";
    own.rate = "40000";
    configure({ shared, own });
    struct tm now = at(12);
    PolicyClient a(GET), b(GET), c(GET), d(GET);
    for (PolicyClient *p : { &a, &b })
        p->conn->profiles.push_back("shared");
    for (PolicyClient *p : { &c, &d })
        p->conn->profiles.push_back("own");
    for (PolicyClient *p : { &a, &b, &c, &d })
        EXPECT_EQ(0, limit_section->check_and_block_at(p->conn, &now));
    ASSERT_NE(nullptr, a.conn->client->write_limit);
    EXPECT_EQ(a.conn->client->write_limit, b.conn->client->write_limit);
    ASSERT_NE(nullptr, c.conn->client->write_limit);
    EXPECT_NE(c.conn->client->write_limit, d.conn->client->write_limit);
    /* a rebuild makes new groups; the sockets keep theirs alive */
    configure({ shared, own });
    EXPECT_EQ(40000u, a.conn->client->write_limit->rate);
}

TEST(Limits, ResetOutsideTheWindowOnly)
{
    Rule windowed, always;
    windowed.hours = "10,11";
    windowed.maxrequests = 5;
    always.maxrequests = 5;
    configure({ windowed, always });
    PolicyClient c(GET);
    struct tm inside = at(10), outside = at(12);
    request(c, inside);
    request(c, inside);
    limit_section->reset_at(&inside);
    EXPECT_EQ(2u, counters(0).requests);
    EXPECT_EQ(2u, counters(1).requests);
    limit_section->reset_at(&outside);
    EXPECT_EQ(0u, counters(0).requests);
    /* a rule without a window is never reset */
    EXPECT_EQ(2u, counters(1).requests);
    /* a rebuild starts every counter at 0 */
    configure({ windowed, always });
    EXPECT_EQ(0u, counters(1).requests);
}

/* Workers admit and book their requests at once, each under the read
 * lock: every byte and request lands once, a rule that does not match
 * books nothing, and a count spent by them refuses the next request. */
TEST(Limits, WorkersBookAtOnce)
{
    const int workers = 8, each = 500;
    Rule counted, other;
    counted.download = "1G";
    counted.upload = "1G";
    counted.maxrequests = workers * each;
    other.profiles = "staff";
    other.maxrequests = 1;
    configure({ counted, other });
    struct tm now = at(12);
    std::vector<std::unique_ptr<PolicyClient>> clients;
    for (int w = 0; w < workers; w++) {
        clients.emplace_back(new PolicyClient(GET));
        clients.back()->conn->download_bytes = 1000;
        clients.back()->conn->upload_bytes = 10;
    }
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; w++) {
        CONNECTION_T *conn = clients[w]->conn;
        threads.emplace_back([conn, &now] {
            for (int i = 0; i < each; i++) {
                EXPECT_EQ(0, limit_section->check_and_block_at(conn, &now));
                conn->limit_served = true;
                conn->download_bytes = 1000;
                conn->upload_bytes = 10;
                limit_section->update_at(conn, &now);
            }
        });
    }
    for (std::thread &t : threads)
        t.join();
    LimitCounters n = counters(0);
    EXPECT_EQ((uint64_t)workers * each * 1000, n.downloaded);
    EXPECT_EQ((uint64_t)workers * each * 10, n.uploaded);
    EXPECT_EQ((uint64_t)workers * each, n.requests);
    EXPECT_EQ(0u, counters(1).requests);
    PolicyClient next(GET);
    EXPECT_EQ(1, limit_section->check_and_block_at(next.conn, &now));
}

/* A request count is a cap: parallel requests are booked as they are
 * admitted, so exactly the cap passes, run after run; a request refused
 * before it reached a server (by a later rule, or by a check after the
 * limits) gives its request back, one that reached it keeps it. */
TEST(Limits, RequestCountIsACapUnderParallelRequests)
{
    struct tm now = at(12);
    for (int run = 0; run < 20; run++) {
        SCOPED_TRACE(run);
        Rule capped;
        capped.maxrequests = 3;
        configure({ capped });
        const int clients = 8;
        std::vector<std::unique_ptr<PolicyClient>> held;
        for (int i = 0; i < clients; i++)
            held.emplace_back(new PolicyClient(GET));
        std::atomic<int> passed{0}, ready{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < clients; i++) {
            CONNECTION_T *conn = held[i]->conn;
            threads.emplace_back([conn, &now, &passed, &ready] {
                ready++;
                while (ready.load() < clients)
                    std::this_thread::yield();
                if (limit_section->check_and_block_at(conn, &now) == 0)
                    passed++;
            });
        }
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(3, passed.load());
        EXPECT_EQ(3u, counters(0).requests);
    }

    struct Case {
        const char *name;
        bool served;          /* the request reached a server */
        bool later_refuses;   /* a later rule (a deny window) refuses it */
        uint64_t kept;        /* requests the first rule holds afterwards */
    } cases[] = {
        { "served", true, false, 1 },
        { "refused after the limits", false, false, 0 },
        { "refused by a later rule", false, true, 0 },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        Rule capped, later;
        capped.maxrequests = 3;
        later.deny = k.later_refuses;
        configure({ capped, later });
        PolicyClient c(GET);
        EXPECT_EQ(k.later_refuses ? 1 : 0, limit_section->check_and_block_at(c.conn, &now));
        c.conn->limit_served = k.served;
        limit_section->update_at(c.conn, &now);
        limits_request_clear(c.conn);
        EXPECT_EQ(k.kept, counters(0).requests);
    }
}
