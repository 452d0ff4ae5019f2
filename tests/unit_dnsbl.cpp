/* The DNS blacklist: the name asked for each host, and the check against a
 * real DNS server. dnsmasq runs in a private network and mount namespace
 * whose resolv.conf and hosts files are bind-mounted; it answers for the
 * zone bl.test, where listed names have records and every other name is
 * NXDOMAIN, and logs every query, so the test sees exactly what was asked;
 * it forwards the zone silent.test to a socket that never answers. */
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "dnsbl.h"
#include "dnscache.h"
#include "hash.h"
#include "nettest.h"
#include "options.h"
#include "policytest.h"
#include "templates.h"
#include "test_support.h"

namespace {

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* How many A queries for name the server logged. */
int queries(const std::string &log, const std::string &name)
{
    std::string text = file_text(log), needle = "query[A] " + name + " from";
    int n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        n++;
    return n;
}

void configure(const std::string &zone, const std::string &addresses, bool enabled = true)
{
    ASSERT_EQ(SECTION_LOADED,
              policytest_load(dnsbl_section,
                              std::string("<dnsbl><enabled>") + (enabled ? "true" : "false") +
                                  "</enabled><template></template><zone>" + zone +
                                  "</zone><addresses>" + addresses + "</addresses></dnsbl>"));
}

/* The checks, run inside the namespace; dns_log is dnsmasq's query log. */
void inside(const std::string &dns_log)
{
    policytest_ready([] { dnsbl_section = new DnsblSection(); });
    if (global->dnscache)
        hash_destroy(global->dnscache);
    global->dnscache = hash_create(8111);
    configure("bl.test", "127.0.0.2-127.0.0.255");

    /* Unlisted (NXDOMAIN): one query per request, each a DNS failure. */
    test_log_clear();
    for (const char *host : { "shop.example.com", "example.com", "x.example.com", "shop.example.com." }) {
        SCOPED_TRACE(host);
        PolicyClient client(std::string("GET http://") + host + "/ HTTP/1.1\r\n\r\n");
        EXPECT_EQ(0, dnsbl_section->check_and_block(client.conn));
        EXPECT_EQ(0, client.status());
    }
    EXPECT_TRUE(nettest_wait([&] { return queries(dns_log, "example.com.bl.test") == 4; }, 5000))
        << file_text(dns_log);
    EXPECT_TRUE(test_log_contains("DNS: failed: example.com.bl.test"));

    /* Listed: 404 with the answer; the answer is cached. */
    for (const char *request : { "GET http://www.listed.test/a HTTP/1.1\r\n\r\n",
                                 "CONNECT listed.test:443 HTTP/1.1\r\n\r\n" }) {
        SCOPED_TRACE(request);
        test_log_clear();
        PolicyClient client(request);
        EXPECT_EQ(1, dnsbl_section->check_and_block(client.conn));
        std::string body;
        EXPECT_EQ(404, client.status(&body));
        EXPECT_TRUE(test_log_contains("sent blocked"));
        EXPECT_EQ("URL BlackList", client.variable("FILTER"));
        EXPECT_EQ("127.0.0.2", client.variable("DNSBL_IP"));
        EXPECT_EQ("dnsbl", client.conn->logentry.filter_name);
        EXPECT_EQ("127.0.0.2", client.conn->logentry.filtering_reason);
        EXPECT_TRUE(test_log_contains(std::string("dnsbl: domain ") + client.conn->header->host +
                                      " is blacklisted"));
    }
    EXPECT_EQ(1, queries(dns_log, "listed.test.bl.test"));

    /* An answer outside the addresses passes; so does a bypassing client. */
    PolicyClient grey("GET http://www.grey.test/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0, dnsbl_section->check_and_block(grey.conn));
    EXPECT_EQ(1, queries(dns_log, "grey.test.bl.test"));
    PolicyClient bypassed("GET http://other.listed.test/ HTTP/1.1\r\n\r\n");
    bypassed.conn->bypass |= BYPASS_DNSBL;
    EXPECT_EQ(0, dnsbl_section->check_and_block(bypassed.conn));

    /* No zone, no addresses, switched off, or a name too long to ask: no
     * query at all. */
    std::string long_host = "a." + std::string(250, 'y') + ".test";
    for (int variant = 0; variant < 4; variant++) {
        SCOPED_TRACE(variant);
        if (variant == 0)
            configure("", "127.0.0.2-127.0.0.255");
        else if (variant == 1)
            configure("bl.test", "");
        else if (variant == 2)
            configure("bl.test", "127.0.0.2-127.0.0.255", false);
        else
            configure("bl.test", "127.0.0.2-127.0.0.255");
        PolicyClient client("GET http://" + (variant == 3 ? long_host : "www.unasked.test") +
                            "/ HTTP/1.1\r\n\r\n");
        EXPECT_EQ(0, dnsbl_section->check_and_block(client.conn));
    }
    /* A last query that is asked marks the end of the log to compare. */
    PolicyClient marker("GET http://marker.test/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0, dnsbl_section->check_and_block(marker.conn));
    EXPECT_TRUE(nettest_wait([&] { return queries(dns_log, "marker.test.bl.test") == 1; }, 5000));
    std::string after = file_text(dns_log);
    EXPECT_EQ(std::string::npos, after.find("unasked"));
    EXPECT_EQ(std::string::npos, after.find("yyyy"));

    /* A zone whose server never answers: the resolver gives up after its
     * time-out and the request passes, counted as a DNS failure. */
    int silent = socket(AF_INET, SOCK_DGRAM, 0);
    struct sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_port = htons(5353);
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, bind(silent, (struct sockaddr *)&at, sizeof at));
    configure("silent.test", "127.0.0.2-127.0.0.255");
    test_log_clear();
    PolicyClient waiting("GET http://www.example.com/ HTTP/1.1\r\n\r\n");
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(0, dnsbl_section->check_and_block(waiting.conn));
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_EQ(0, waiting.status());
    EXPECT_TRUE(test_log_contains("DNS: failed: example.com.silent.test"));
    EXPECT_TRUE(queries(dns_log, "example.com.silent.test") >= 1);
    close(silent);
}

} // namespace

/* The last two labels and the zone; trailing and doubled dots ignored; no
 * name over 253 characters, never a cut one. */
TEST(DnsblName, QueryNames)
{
    struct NameCase {
        std::string host;
        std::string zone;
        std::string query;
    };
    const NameCase cases[] = {
        { "shop.example.com", "bl.test", "example.com.bl.test" },
        { "example.com", "bl.test", "example.com.bl.test" },
        { "x.example.com", "bl.test", "example.com.bl.test" },
        { "shop.example.com.", "bl.test", "example.com.bl.test" },
        { "a.b..example.com..", "bl.test", "example.com.bl.test" },
        { ".example.com", "bl.test", "example.com.bl.test" },
        { "localhost", "bl.test", "localhost.bl.test" },
        { "...", "bl.test", "" },
        { "", "bl.test", "" },
        { "example.com", "", "" },
        { "a." + std::string(240, 'x') + ".test", "bl.test", std::string(240, 'x') + ".test.bl.test" },
        { "a." + std::string(241, 'x') + ".test", "bl.test", "" },   /* 254: not asked */
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.host.substr(0, 60));
        EXPECT_EQ(c.query, dnsbl_query_name(c.host.c_str(), c.zone));
    }
}

TEST(DnsblServer, ThroughDnsmasq)
{
    if (const char *log = getenv("QUILL_DNSBL_INSIDE")) {
        inside(log);
        return;
    }
    std::string why;
    int rc = nettest_dns_namespace("DnsblServer.ThroughDnsmasq", "QUILL_DNSBL_INSIDE", "dns.log",
                                   "--local=/bl.test/ --host-record=listed.test.bl.test,127.0.0.2 "
                                   "--host-record=grey.test.bl.test,10.9.9.9 --log-queries "
                                   "--server=/silent.test/127.0.0.1#5353 "
                                   "--log-facility=\"$QUILL_DNS_DIR/dns.log\"",
                                   &why);
    if (rc == NETTEST_NS_SKIPPED)
        GTEST_SKIP() << why;
    EXPECT_EQ(NETTEST_NS_PASSED, rc) << "inner run failed";
}
