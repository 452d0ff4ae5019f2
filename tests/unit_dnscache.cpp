/* The DNS cache: what it caches, for how long, its bound, its expiry timer,
 * and the real resolver behind it (through /etc/hosts, and through a DNS
 * server of our own in a private network and mount namespace). */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>

#include "compat.h"
#include "dnscache.h"
#include "filebuf.h"
#include "hash.h"
#include "interface.h"
#include "nettest.h"
#include "options.h"
#include "test_support.h"

namespace {

time_t fake_now = 1000000;
time_t fake_clock()
{
    return fake_now;
}

/* A resolver that knows names ending in ".known" (each answering 127.0.0.N
 * with N its length) and counts the questions. */
std::map<std::string, int> asked;
HOSTENT *fake_resolver(const char *name)
{
    asked[name]++;
    std::string n = name;
    const std::string suffix = ".known";
    if (n.size() < suffix.size() || n.compare(n.size() - suffix.size(), suffix.size(), suffix) != 0)
        return nullptr;
    HOSTENT *h = (HOSTENT *)malloc(sizeof(HOSTENT));
    h->addr = (char *)malloc(4);
    unsigned char bytes[4] = { 127, 0, 0, (unsigned char)(n.size() % 250 + 1) };
    memcpy(h->addr, bytes, 4);
    h->len = 4;
    return h;
}

std::string dotted(const HOSTENT *h)
{
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, h->addr, text, sizeof text);
    return text;
}

/* The resolved address of name, or "" for none. */
std::string resolve(const char *name)
{
    HOSTENT *h = net_dns(name);
    std::string r = h ? dotted(h) : "";
    hostent_free(h);
    return r;
}

int asked_total()
{
    int n = 0;
    for (auto &a : asked)
        n += a.second;
    return n;
}

class DnsCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (global->dnscache)
            hash_destroy(global->dnscache);
        global->dnscache = hash_create(8111);
        dnscache_set_clock(fake_clock);
        dnscache_set_resolver(fake_resolver);
        dnscache_max_entries = DNSCACHE_MAX_ENTRIES;
        fake_now = 1000000;
        asked.clear();
        test_log_clear();
    }
    void TearDown() override
    {
        dnscache_set_clock(nullptr);
        dnscache_set_resolver(nullptr);
        dnscache_max_entries = DNSCACHE_MAX_ENTRIES;
    }
};

} // namespace

/* Dotted quads are converted, never cached or sent to the resolver; a
 * malformed one is an error. */
TEST_F(DnsCache, DottedQuads)
{
    EXPECT_EQ("10.1.2.3", resolve("10.1.2.3"));
    EXPECT_EQ("", resolve("999.1.2.3"));
    EXPECT_EQ("", resolve("1.2.3."));
    EXPECT_TRUE(test_log_contains("DNS: failed: 999.1.2.3"));
    EXPECT_EQ(0, asked_total());
    EXPECT_EQ(0, dnscache_count());
}

/* One lookup per name within the time to live, whatever its case; fresh
 * at exactly 600 seconds, asked again at 601, when the entry is replaced. */
TEST_F(DnsCache, HitsAndExpiry)
{
    EXPECT_EQ("127.0.0.12", resolve("www.a.known"));
    EXPECT_EQ("127.0.0.12", resolve("WWW.A.KNOWN"));
    EXPECT_EQ(1, asked_total());

    fake_now += DNSCACHE_TTL_SECONDS;
    EXPECT_EQ("127.0.0.12", resolve("www.a.known"));
    EXPECT_EQ(1, asked_total());

    fake_now += 1;
    EXPECT_EQ("127.0.0.12", resolve("www.a.known"));
    EXPECT_EQ(2, asked_total());
    EXPECT_EQ(1, dnscache_count());
    /* The new entry counts from its own resolution. */
    fake_now += DNSCACHE_TTL_SECONDS;
    EXPECT_EQ("127.0.0.12", resolve("www.a.known"));
    EXPECT_EQ(2, asked_total());
}

/* Negative answers are never cached: an unknown name is asked every time. */
TEST_F(DnsCache, NegativeAnswersAreNotCached)
{
    EXPECT_EQ("", resolve("nowhere.example"));
    EXPECT_EQ("", resolve("nowhere.example"));
    EXPECT_EQ(2, asked["nowhere.example"]);
    EXPECT_EQ(0, dnscache_count());
    EXPECT_TRUE(test_log_contains("DNS: failed: nowhere.example"));
}

/* The timer removes what is older than the time to live, nothing else. */
TEST_F(DnsCache, CleanTimer)
{
    (void)resolve("old.known");
    fake_now += 100;
    (void)resolve("young.known");
    fake_now += DNSCACHE_TTL_SECONDS;   /* old: 700 s, young: 600 s */
    dnscache_clean(nullptr);
    EXPECT_EQ(1, dnscache_count());
    (void)resolve("young.known");
    (void)resolve("old.known");
    EXPECT_EQ(1, asked["young.known"]);
    EXPECT_EQ(2, asked["old.known"]);
}

/* The purge makes the next lookup ask again. */
TEST_F(DnsCache, Purge)
{
    (void)resolve("p.known");
    net_dns_purge("P.KNOWN");
    net_dns_purge("10.0.0.1");
    (void)resolve("p.known");
    EXPECT_EQ(2, asked["p.known"]);
}

/* The cache holds at most its bound: the expired entries go first, then
 * the oldest. */
TEST_F(DnsCache, Bound)
{
    dnscache_max_entries = 3;
    (void)resolve("one.known");
    fake_now += 1;
    (void)resolve("two.known");
    fake_now += 1;
    (void)resolve("three.known");
    EXPECT_EQ(3, dnscache_count());   /* exactly at the bound */
    fake_now += 1;
    (void)resolve("four.known");      /* one past: the oldest goes */
    EXPECT_EQ(3, dnscache_count());
    (void)resolve("two.known");
    (void)resolve("three.known");
    (void)resolve("four.known");
    EXPECT_EQ(1, asked["two.known"]);
    EXPECT_EQ(1, asked["four.known"]);
    (void)resolve("one.known");
    EXPECT_EQ(2, asked["one.known"]);

    /* Expired entries make room before a fresh one is pushed out. */
    fake_now += DNSCACHE_TTL_SECONDS + 10;
    (void)resolve("four.known");   /* expired: replaced */
    (void)resolve("five.known");
    EXPECT_LE(dnscache_count(), 3);
    (void)resolve("four.known");
    EXPECT_EQ(2, asked["four.known"]);
}

/* A name of 511 characters is a key; one of 512 is never cached, so two
 * long names cannot share an entry. */
TEST_F(DnsCache, KeyLength)
{
    std::string at_limit = std::string(DNSCACHE_KEY_MAX - 6, 'a') + ".known";
    std::string past = std::string(DNSCACHE_KEY_MAX - 5, 'a') + ".known";
    ASSERT_EQ((size_t)DNSCACHE_KEY_MAX, at_limit.size());
    (void)resolve(at_limit.c_str());
    (void)resolve(at_limit.c_str());
    (void)resolve(past.c_str());
    (void)resolve(past.c_str());
    EXPECT_EQ(1, asked[at_limit]);
    EXPECT_EQ(2, asked[past]);
    EXPECT_EQ(1, dnscache_count());
}

/* The system's resolver answers from /etc/hosts without any DNS server. */
TEST(DnsResolver, HostsFile)
{
    dnscache_set_resolver(nullptr);
    dnscache_set_clock(nullptr);
    EXPECT_EQ("127.0.0.1", resolve("localhost"));
}

/* Through a DNS server: dnsmasq answers for quill.test inside a network
 * namespace whose /etc/resolv.conf (bind-mounted in a mount namespace)
 * names it. The outer run starts the inner one; the machine's own resolver
 * files are never touched. */
TEST(DnsResolver, DnsServer)
{
    dnscache_set_resolver(nullptr);
    dnscache_set_clock(nullptr);
    if (getenv("QUILL_DNS_INSIDE")) {
        bool answered = nettest_wait([] { return resolve("www.quill.test") == "127.0.0.99"; }, 10000);
        EXPECT_TRUE(answered);
        EXPECT_EQ("", resolve("nothing.other.test"));
        return;
    }
    std::string why;
    int rc = nettest_dns_namespace("DnsResolver.DnsServer", "QUILL_DNS_INSIDE", "inside",
                                   "--address=/quill.test/127.0.0.99", &why);
    if (rc == NETTEST_NS_SKIPPED)
        GTEST_SKIP() << why;
    EXPECT_EQ(NETTEST_NS_PASSED, rc) << "inner run failed";
}

/* The interface's DNS cache page: each entry's name (escaped), address and
 * age in seconds on the cache's clock. */
TEST_F(DnsCache, InterfacePage)
{
    EXPECT_EQ("127.0.0.20", resolve("<b onclick=x>.known"));
    fake_now += 90;
    Filebuf page;
    CGIMap args;
    interface_page_dnscache(&page, args, nullptr);
    std::string html(page.data ? page.data : "", (size_t)page.size);
    EXPECT_NE(std::string::npos,
              html.find("<tr class=\"listeven\"><td>&lt;b onclick=x&gt;.known</td>"
                        "<td>127.0.0.20</td><td>90</td></tr>"))
        << html;
    EXPECT_NE(std::string::npos, html.find("<td>Hostname</td><td>IP address</td><td>Age</td>"));
    EXPECT_EQ(std::string::npos, html.find("<b "));
}
