/* The forwarding decision: which peers are candidates for a request, the
 * route and credentials a chosen peer gives the connection (and that going
 * direct takes away), the CARP hash and choice, the ICP server's handling
 * of well-formed and malformed datagrams, and the ICP client against small
 * stand-in peers on loopback (preference order, silent peers marked down,
 * replies from the wrong address or port ignored). */
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "connection.h"
#include "forward.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "section.h"
#include "templates.h"
#include "test_support.h"
#include "xml.h"

namespace {

using Fields = std::map<std::string, std::string>;

void sections_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    template_section = new TemplateSection();
    cache_section = new CacheSection();
    forward_section = new ForwardSection();
    snprintf(proxyhost, sizeof proxyhost, "%s", "proxy.test");
    done = true;
}

/* The cache options with this ICP time-out (milliseconds). */
void cache_configure(int icptimeout_ms)
{
    std::string text =
        "<quillmere><cache><enabled>true</enabled><allow-violations>false</allow-violations>"
        "<memory-cache-size>16M</memory-cache-size><memory-free-extra>1M</memory-free-extra>"
        "<minsize>0</minsize><maxsize>8M</maxsize><prefetch-window>60</prefetch-window>"
        "<icpport>0</icpport><icptimeout>" + std::to_string(icptimeout_ms) +
        "</icptimeout><store-policy>least-bytes</store-policy><journal-lines>0</journal-lines>"
        "<clean-interval>30</clean-interval></cache></quillmere>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str()));
    ASSERT_EQ(SECTION_LOADED, cache_section->load(&doc, CONFIG_LOAD_REPLACE));
}

/* One peer entry; defaults: enabled, no profiles, HTTP proxy for http and
 * ftp, not an ICP peer, port -1. */
std::string peer_entry(const Fields &fields)
{
    Fields f = {
        { "enabled", "true" }, { "comment", "" }, { "profiles", "" }, { "host", "" },
        { "user", "" }, { "password", "" }, { "domain", "" }, { "port", "-1" },
        { "icp-type", "none" }, { "icp-port", "3130" }, { "proxy-type", "http" },
        { "protocols", "http,ftp" },
    };
    for (const auto &kv : fields)
        f[kv.first] = kv.second;
    static const char *const order[] = {
        "enabled", "comment", "profiles", "host", "user", "password", "domain", "port",
        "icp-type", "icp-port", "proxy-type", "protocols",
    };
    std::string out = "<peer>";
    for (const char *name : order)
        out += std::string("<") + name + ">" + f[name] + "</" + name + ">";
    return out + "</peer>";
}

/* Loads the forward section (and the cache options for the ICP time-out). */
void configure(const std::vector<Fields> &peers, bool carp = false, unsigned buckets = 0,
               int icptimeout_ms = 3000)
{
    sections_ready();
    cache_configure(icptimeout_ms);
    std::string text = std::string("<quillmere><forward><enabled>true</enabled><carp>") +
                       (carp ? "true" : "false") + "</carp><carp-buckets>" +
                       std::to_string(buckets) + "</carp-buckets>";
    for (const Fields &p : peers)
        text += peer_entry(p);
    text += "</forward></quillmere>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    ASSERT_EQ(SECTION_LOADED, forward_section->load(&doc, CONFIG_LOAD_REPLACE));
}

/* A client connection with one parsed request at a time. */
class Client {
public:
    explicit Client(const std::string &request)
    {
        conn = connection_new();
        conn->ip = xstrdup("172.16.0.9");
        conn->interface = xstrdup("127.0.0.1");
        next(request);
    }
    ~Client()
    {
        http_header_free(conn->header);
        connection_free(conn);
    }
    /* The next request on the same connection: what the worker's clean-up
     * resets between requests, nothing more. */
    void next(const std::string &request, const char *profiles = "", unsigned flags = 0)
    {
        http_header_free(conn->header);
        conn->header = http_header_parse_request(request.c_str());
        ASSERT_NE(nullptr, conn->header) << request;
        if (!conn->header->url)
            header_complete(conn->header);
        conn->profiles = StringList(profiles, ',');
        conn->flags = flags;
        conn->logentry.Reset();
        free(conn->proxy_host);
        conn->proxy_host = nullptr;
    }
    /* The pipeline's call: direct first, then the section decides. */
    void route()
    {
        conn->forward_type = FORWARD_DIRECT;
        EXPECT_EQ(0, forward_section->forward_do(conn));
    }
    std::string host() const { return conn->proxy_host ? conn->proxy_host : "<direct>"; }

    CONNECTION_T *conn;
};

std::string text_or_null(const char *text)
{
    return text ? text : "<null>";
}

const char *const GET = "GET http://www.example.org/page.html HTTP/1.1\r\n\r\n";

} // namespace

/* CARP. */

struct CarpCase { const char *url; const char *member; uint32_t buckets; uint32_t expected; };
/* Worked by hand from the algorithm. "a": url hash 97; combined =
 * ror(97 * 0x62531966, 11). "ab": 97 + ror(97, 13) + 98 = 0x30800c3. The
 * last URL ends with the bytes 0xc3 0xa9, which count as -61 and -87. */
static const CarpCase carp_cases[] = {
    { "", "", 0, 0u },
    { "a", "", 0, 4106760083u },
    { "ab", "", 0, 375148427u },
    { "http://example.com:80/", "a", 0, 3880405720u },
    { "http://example.com:80/", "b", 0, 3964812914u },
    { "http://example.com:80/", "proxy.test", 0, 2504103277u },
    { "http://example.com:80/", "a", 10, 3880405720u % 10 },
    { "http://x:80/\xc3\xa9", "a", 0, 534359516u },
    { "http://x:80/\xc3\xa9", "a", 7, 5u },
    { "http://x:80/\xc3\xa9", "a", 1, 0u },
};

TEST(ForwardCarp, HashValues)
{
    for (const CarpCase &c : carp_cases) {
        SCOPED_TRACE(std::string(c.url) + " / " + c.member + " / " + std::to_string(c.buckets));
        EXPECT_EQ(c.expected, carp_hash_buckets(c.url, c.member, c.buckets));
    }
}

TEST(ForwardCarp, SectionHashUsesBuckets)
{
    configure({}, true, 7);
    EXPECT_EQ(5u, forward_section->carp_hash("http://x:80/\xc3\xa9", "a"));
    configure({}, true, 0);
    EXPECT_EQ(534359516u, forward_section->carp_hash("http://x:80/\xc3\xa9", "a"));
}

/* With two peers "a" and "b", each URL goes to the highest score among a, b
 * and the proxy's own name; when the own name wins, the request goes direct
 * and is not flagged CONN_CARP. */
TEST(ForwardCarp, HighestScoreOwnsTheUrl)
{
    configure({ { { "host", "a" }, { "port", "1001" } }, { { "host", "b" }, { "port", "1002" } } },
              true);
    int direct = 0, peers = 0;
    for (int i = 0; i < 40; i++) {
        std::string url = "http://host" + std::to_string(i) + ".test:80/p";
        SCOPED_TRACE(url);
        Client c("GET " + url + " HTTP/1.1\r\n\r\n");
        c.route();
        uint32_t a = carp_hash_buckets(url.c_str(), "a", 0);
        uint32_t b = carp_hash_buckets(url.c_str(), "b", 0);
        uint32_t own = carp_hash_buckets(url.c_str(), "proxy.test", 0);
        uint32_t best = a > b ? a : b;
        if (own >= best) {
            direct++;
            EXPECT_EQ("<direct>", c.host());
            EXPECT_EQ(FORWARD_DIRECT, c.conn->forward_type);
            EXPECT_EQ(0u, c.conn->flags & CONN_CARP);
        } else {
            peers++;
            EXPECT_EQ(a > b ? "a" : "b", c.host());
            EXPECT_EQ(FORWARD_HTTP, c.conn->forward_type);
            EXPECT_NE(0u, c.conn->flags & CONN_CARP);
            EXPECT_STREQ("NONE", c.conn->logentry.peercode());
        }
    }
    EXPECT_GT(direct, 0);
    EXPECT_GT(peers, 0);
}

/* With one bucket every score is 0, so the proxy's own score ties the best
 * and it keeps every URL; a CONNECT request never gets a CARP peer. */
TEST(ForwardCarp, TiesAndConnectGoDirect)
{
    configure({ { { "host", "a" }, { "protocols", "http,connect" } } }, true, 1);
    Client c(GET);
    c.route();
    EXPECT_EQ("<direct>", c.host());

    configure({ { { "host", "a" }, { "protocols", "http,connect" } } }, true, 0);
    c.next("CONNECT www.example.org:443 HTTP/1.1\r\n\r\n");
    c.route();
    EXPECT_EQ("<direct>", c.host());
}

/* Candidates. */

struct CandidateCase {
    const char *what;
    const char *request;
    const char *profiles;
    unsigned flags;
    std::vector<Fields> peers;
    const char *expected;   /* hosts of the candidates, comma-separated */
};

static const char *const FTP = "GET ftp://ftp.example.org/pub/ HTTP/1.1\r\n\r\n";
static const char *const CONNECT = "CONNECT www.example.org:443 HTTP/1.1\r\n\r\n";
static const char *const HTTPS_URL = "GET https://www.example.org/ HTTP/1.1\r\n\r\n";

static const CandidateCase candidate_cases[] = {
    { "http needs the http bit", GET, "", 0,
      { { { "host", "h" } }, { { "host", "f" }, { "protocols", "ftp" } } }, "h" },
    { "ftp needs the ftp bit", FTP, "", 0,
      { { { "host", "h" }, { "protocols", "http" } }, { { "host", "f" }, { "protocols", "ftp" } } },
      "f" },
    { "CONNECT needs the connect bit", CONNECT, "", 0,
      { { { "host", "h" } }, { { "host", "c" }, { "protocols", "connect" } } }, "c" },
    { "other schemes pass", HTTPS_URL, "", 0,
      { { { "host", "h" }, { "protocols", "ftp" } }, { { "host", "n" }, { "protocols", "" } } },
      "h,n" },
    { "profiles must match", GET, "staff", 0,
      { { { "host", "s" }, { "profiles", "staff" } }, { { "host", "g" }, { "profiles", "guest" } },
        { { "host", "x" }, { "profiles", "!staff" } }, { { "host", "all" } } },
      "s,all" },
    { "a matching empty host stops the walk", GET, "", 0,
      { { { "host", "a" } }, { { "host", "" } }, { { "host", "b" } } }, "a" },
    { "a stop marker that does not match is passed", GET, "", 0,
      { { { "host", "" }, { "profiles", "staff" } }, { { "host", "b" } } }, "b" },
    { "a disabled stop marker is passed", GET, "", 0,
      { { { "host", "" }, { "enabled", "false" } }, { { "host", "b" } } }, "b" },
    { "the proxy itself is skipped", GET, "", 0,
      { { { "host", "proxy.test" } }, { { "host", "b" } } }, "b" },
    { "disabled rules are skipped", GET, "", 0,
      { { { "host", "a" }, { "enabled", "false" } }, { { "host", "b" } } }, "b" },
    { "https skips http proxies only", GET, "", CONN_HTTPS,
      { { { "host", "h" } }, { { "host", "s" }, { "proxy-type", "socks5" } },
        { { "host", "t" }, { "proxy-type", "connect" } } },
      "s,t" },
    { "revalidation skips http ICP peers only", GET, "", CONN_REVALIDATE,
      { { { "host", "10.0.0.1" }, { "icp-type", "parent" } }, { { "host", "n" } },
        { { "host", "10.0.0.2" }, { "icp-type", "sibling" }, { "proxy-type", "socks4" } } },
      "n,10.0.0.2" },
};

TEST(ForwardCandidates, Table)
{
    for (const CandidateCase &c : candidate_cases) {
        SCOPED_TRACE(c.what);
        configure(c.peers);
        Client client(c.request);
        client.next(c.request, c.profiles, c.flags);
        std::string got;
        {
            SectionReadGuard guard(*forward_section);
            for (const proxy_candidate &p : forward_section->candidates_collect(client.conn,
                                                                                "proxy.test")) {
                EXPECT_EQ(0u, p.priority);
                got += (got.empty() ? "" : ",") + p.rule->host;
            }
        }
        EXPECT_EQ(c.expected, got);
    }
}

/* Without an own host name no rule counts as the proxy itself, and a stop
 * marker still stops. */
TEST(ForwardCandidates, EmptyOwnNameKeepsTheStopMarker)
{
    configure({ { { "host", "" } }, { { "host", "b" } } });
    Client client(GET);
    SectionReadGuard guard(*forward_section);
    EXPECT_TRUE(forward_section->candidates_collect(client.conn, "").empty());
}

/* Routes and credentials. */

struct PortCase { const char *proxy_type; const char *port; int type; int expected; };
static const PortCase port_cases[] = {
    { "http", "-1", FORWARD_HTTP, 3128 },
    { "socks4", "-1", FORWARD_SOCKS4, 3128 },
    { "socks5", "-1", FORWARD_SOCKS5, 3128 },
    { "connect", "-1", FORWARD_CONNECT, 443 },
    { "connect", "8443", FORWARD_CONNECT, 8443 },
    { "http", "8080", FORWARD_HTTP, 8080 },
};

TEST(ForwardRoute, TypeAndPort)
{
    for (const PortCase &c : port_cases) {
        SCOPED_TRACE(std::string(c.proxy_type) + " " + c.port);
        configure({ { { "host", "up.test" }, { "proxy-type", c.proxy_type }, { "port", c.port } } });
        Client client(GET);
        test_log_clear();
        client.route();
        EXPECT_EQ("up.test", client.host());
        EXPECT_EQ(c.type, client.conn->forward_type);
        EXPECT_EQ(c.expected, client.conn->proxy_port);
        EXPECT_STREQ("DEFAULT_PARENT", client.conn->logentry.peercode());
        EXPECT_TRUE(test_log_contains("forwarding to up.test:" + std::to_string(c.expected)));
    }
}

/* Each request sets all three credentials from its rule or clears them, so
 * the second upstream never sees the first one's; going direct clears them
 * and the host too. */
TEST(ForwardRoute, CredentialsFollowTheChosenRule)
{
    configure({ { { "host", "one.test" }, { "profiles", "one" }, { "user", "u1" },
                  { "password", "p1" }, { "domain", "D1" } },
                { { "host", "two.test" }, { "profiles", "two" }, { "user", "u2" } },
                { { "host", "" }, { "profiles", "none" } } });
    Client c(GET);
    c.next(GET, "one");
    c.route();
    EXPECT_EQ("one.test", c.host());
    EXPECT_EQ("u1", text_or_null(c.conn->proxy_user));
    EXPECT_EQ("p1", text_or_null(c.conn->proxy_password));
    EXPECT_EQ("D1", text_or_null(c.conn->proxy_domain));

    c.next(GET, "two");
    c.route();
    EXPECT_EQ("two.test", c.host());
    EXPECT_EQ("u2", text_or_null(c.conn->proxy_user));
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_password));
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_domain));

    c.next(GET, "one");
    c.route();
    c.next(GET, "none");   /* the stop marker: direct */
    c.route();
    EXPECT_EQ(FORWARD_DIRECT, c.conn->forward_type);
    EXPECT_EQ("<direct>", c.host());
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_user));
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_password));
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_domain));
}

/* The bypass bit and a disabled section leave every request direct and
 * clear what an earlier request set. */
TEST(ForwardRoute, BypassAndDisabledGoDirect)
{
    configure({ { { "host", "up.test" }, { "user", "u" } } });
    Client c(GET);
    c.route();
    ASSERT_EQ("up.test", c.host());
    c.next(GET);
    c.conn->bypass = BYPASS_FORWARD;
    c.route();
    EXPECT_EQ("<direct>", c.host());
    EXPECT_EQ("<null>", text_or_null(c.conn->proxy_user));
    c.conn->bypass = 0;

    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS,
              doc.Parse(("<quillmere><forward><enabled>false</enabled><carp>false</carp>"
                         "<carp-buckets>0</carp-buckets>" +
                         peer_entry({ { "host", "up.test" } }) + "</forward></quillmere>")
                            .c_str()));
    ASSERT_EQ(SECTION_LOADED, forward_section->load(&doc, CONFIG_LOAD_REPLACE));
    c.next(GET);
    c.route();
    EXPECT_EQ("<direct>", c.host());
}

/* Equal priorities are shared at random: both peers of equal standing get
 * requests. */
TEST(ForwardRoute, EqualPeersShareRequests)
{
    configure({ { { "host", "a" } }, { { "host", "b" } } });
    int a = 0, b = 0;
    Client c(GET);
    for (int i = 0; i < 200; i++) {
        c.next(GET);
        c.route();
        (c.host() == "a" ? a : b)++;
    }
    EXPECT_GT(a, 0);
    EXPECT_GT(b, 0);
}

/* ICP messages. */

namespace {

/* A UDP socket on 127.0.0.1 with a free port. */
struct Udp {
    Udp()
    {
        fd = icp_socket_open(htonl(INADDR_LOOPBACK), 0);
        EXPECT_GE(fd, 0);
        sockaddr_in a = {};
        socklen_t len = sizeof a;
        EXPECT_EQ(0, getsockname(fd, (sockaddr *)&a, &len));
        port = ntohs(a.sin_port);
        addr = a;
    }
    ~Udp() { close(fd); }
    void send_to(const Udp &to, const std::string &bytes) const
    {
        ASSERT_EQ((ssize_t)bytes.size(), sendto(fd, bytes.data(), bytes.size(), 0,
                                                 (const sockaddr *)&to.addr, sizeof to.addr));
    }
    /* Waits (bounded) until a datagram is readable. */
    bool readable(int timeout_ms = 5000) const
    {
        struct pollfd p = { fd, POLLIN, 0 };
        return poll(&p, 1, timeout_ms) == 1;
    }
    std::string recv_one() const
    {
        if (!readable())
            return "<none>";
        char buf[70000];
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        return n < 0 ? "<error>" : std::string(buf, (size_t)n);
    }
    int fd;
    int port;
    sockaddr_in addr;
};

/* The bytes of an ICP message; length < 0 writes the true length. */
std::string icp_bytes(int opcode, uint32_t reqnum, const std::string &payload, int length = -1,
                      int version = 2)
{
    std::string out(ICP_HEADER_BYTES, '\0');
    out[0] = (char)opcode;
    out[1] = (char)version;
    uint16_t len = (uint16_t)(length < 0 ? ICP_HEADER_BYTES + payload.size() : (size_t)length);
    out[2] = (char)(len >> 8);
    out[3] = (char)(len & 0xff);
    uint32_t n = htonl(reqnum);
    memcpy(&out[4], &n, 4);
    return out + payload;
}

/* A query payload: requester address and the URL with its NUL. */
std::string query_payload(const std::string &url)
{
    return std::string("\x0a\x00\x00\x01", 4) + url + std::string(1, '\0');
}

uint32_t reqnum_of(const std::string &bytes)
{
    uint32_t n = 0;
    memcpy(&n, bytes.data() + 4, 4);
    return ntohl(n);
}

/* Puts a finished object under key in the cache. */
void cache_put(const std::string &key)
{
    CACHEMAP *w = cache_section->cache_open(nullptr, key.c_str(),
                                            "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n",
                                            CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(2, cache_section->add(w, "ok", 2));
    cache_section->cache_close(w, true);
}

} // namespace

TEST(ForwardIcp, OpcodeNames)
{
    EXPECT_STREQ("ICP_OP_INVALID", icp_opcode_name(0));
    EXPECT_STREQ("ICP_OP_QUERY", icp_opcode_name(1));
    EXPECT_STREQ("ICP_OP_MISS", icp_opcode_name(3));
    EXPECT_STREQ("ICP_OP_DECHO", icp_opcode_name(11));
    EXPECT_STREQ("ICP_OP_HIT_OBJ", icp_opcode_name(23));
    EXPECT_STREQ("ICP_OP_UNKNOWN", icp_opcode_name(5));
    EXPECT_STREQ("ICP_OP_UNKNOWN", icp_opcode_name(255));
}

struct ReceiveCase { const char *what; std::string bytes; int result; const char *log; };

/* One datagram per message: the length field must equal what arrived. */
TEST(ForwardIcp, ReceiveValidatesEachDatagram)
{
    sections_ready();
    const std::string q = query_payload("http://a.test/");
    const ReceiveCase cases[] = {
        { "shorter than a header", std::string("\x01\x02\x00", 3), -1, "ICP packet too short" },
        { "19 bytes", std::string(19, '\x01'), -1, "ICP packet too short" },
        { "length field below 20", icp_bytes(ICP_OP_QUERY, 1, q, 19), -1,
          "ICP packet too short" },
        { "truncated: length field longer", icp_bytes(ICP_OP_QUERY, 1, q, 20 + (int)q.size() + 1),
          -1, "does not match" },
        { "extra bytes: length field shorter",
          icp_bytes(ICP_OP_QUERY, 1, q, 20 + (int)q.size() - 1), -1, "does not match" },
        { "exactly a header", icp_bytes(ICP_OP_MISS, 1, ""), 20, nullptr },
        { "a whole query", icp_bytes(ICP_OP_QUERY, 1, q), 20 + (int)q.size(), nullptr },
    };
    Udp a, b;
    std::unique_ptr<icp_packet> p(new icp_packet());
    for (const ReceiveCase &c : cases) {
        SCOPED_TRACE(c.what);
        test_log_clear();
        a.send_to(b, c.bytes);
        ASSERT_TRUE(b.readable());
        sockaddr_in from = {};
        EXPECT_EQ(c.result, icp_packet_receive(b.fd, &from, p.get()));
        if (c.log) {
            EXPECT_TRUE(test_log_contains(c.log));
        } else {
            EXPECT_EQ(a.port, ntohs(from.sin_port));
        }
    }
    /* Two waiting datagrams are two messages, read one at a time; then
     * nothing is left. */
    a.send_to(b, icp_bytes(ICP_OP_MISS, 7, std::string("u\0", 2)));
    a.send_to(b, icp_bytes(ICP_OP_HIT, 8, std::string("v\0", 2)));
    sockaddr_in from = {};
    ASSERT_TRUE(b.readable());
    EXPECT_EQ(22, icp_packet_receive(b.fd, &from, p.get()));
    EXPECT_EQ(7u, ntohl(p->reqnum));
    ASSERT_TRUE(b.readable());
    EXPECT_EQ(22, icp_packet_receive(b.fd, &from, p.get()));
    EXPECT_EQ(ICP_OP_HIT, p->opcode);
    EXPECT_EQ(-1, icp_packet_receive(b.fd, &from, p.get()));
}

struct AnswerCase {
    const char *what;
    std::string message;
    int reply_length;   /* 0: no answer */
    int opcode;
    const char *log;
};

/* Only queries are answered: replies, errors and unknown opcodes never, so
 * two proxies cannot keep answering each other. */
TEST(ForwardIcp, ServerAnswers)
{
    configure({});
    cache_put("http://cached.test:80/obj");
    const std::string url_hit = "http://cached.test/obj";
    const std::string url_miss = "http://other.test:8080/x";
    const AnswerCase cases[] = {
        { "a HIT reply", icp_bytes(ICP_OP_HIT, 5, std::string("u\0", 2)), 0, 0,
          "unhandled ICP opcode: ICP_OP_HIT" },
        { "a MISS reply", icp_bytes(ICP_OP_MISS, 5, std::string("u\0", 2)), 0, 0,
          "unhandled ICP opcode: ICP_OP_MISS" },
        { "an INVALID reply", icp_bytes(ICP_OP_INVALID, 5, ""), 0, 0,
          "unhandled ICP opcode: ICP_OP_INVALID" },
        { "an unknown opcode", icp_bytes(99, 5, ""), 0, 0, "unhandled ICP opcode: ICP_OP_UNKNOWN" },
        { "a query without URL", icp_bytes(ICP_OP_QUERY, 5, std::string(4, '\0')), 20,
          ICP_OP_INVALID, "received ICP QUERY with no payload" },
        { "a query whose URL has no NUL",
          icp_bytes(ICP_OP_QUERY, 5, std::string(4, '\0') + "http://a.test/"), 20,
          ICP_OP_INVALID, "received ICP QUERY with no payload" },
        { "a query with a bad URL", icp_bytes(ICP_OP_QUERY, 5, query_payload("not a url")), 20,
          ICP_OP_INVALID, "received invalid URL in query" },
        { "a query for a cached URL", icp_bytes(ICP_OP_QUERY, 5, query_payload(url_hit)),
          20 + (int)url_hit.size() + 1, ICP_OP_HIT, "hit: http://cached.test:80/obj" },
        { "a query for another URL", icp_bytes(ICP_OP_QUERY, 5, query_payload(url_miss)),
          20 + (int)url_miss.size() + 1, ICP_OP_MISS, "miss: http://other.test:8080/x" },
        { "control bytes are escaped in the log",
          icp_bytes(ICP_OP_QUERY, 5, query_payload("http://a.test/x\x1b[2Jy")), 0, -1,
          "miss: http://a.test:80/x" },
    };
    std::unique_ptr<icp_packet> p(new icp_packet());
    for (const AnswerCase &c : cases) {
        SCOPED_TRACE(c.what);
        test_log_clear();
        memset(p.get(), 0xAA, sizeof *p);
        memcpy(p.get(), c.message.data(), c.message.size());
        int n = icp_query_answer(p.get(), (int)c.message.size());
        if (c.opcode < 0) {
            EXPECT_TRUE(test_log_contains(c.log));
            EXPECT_FALSE(test_log_contains("\x1b"));
            continue;
        }
        EXPECT_EQ(c.reply_length, n);
        if (c.log) {
            EXPECT_TRUE(test_log_contains(c.log));
        }
        if (n == 0)
            continue;
        EXPECT_EQ(c.opcode, p->opcode);
        EXPECT_EQ(n, ntohs(p->length));
        EXPECT_EQ(5u, ntohl(p->reqnum));
        EXPECT_EQ(0u, p->options);
        if (n > 20) {
            /* The reply carries the query's URL as it came. */
            EXPECT_EQ(c.opcode == ICP_OP_HIT ? url_hit : url_miss,
                      std::string((const char *)p->payload));
        }
    }
}

/* The server over a socket: a reply datagram gets no answer, the next
 * query does, with its own request number. */
TEST(ForwardIcp, ServerOverSocket)
{
    configure({});
    Udp server, client;
    std::unique_ptr<icp_packet> p(new icp_packet());
    client.send_to(server, icp_bytes(ICP_OP_HIT, 11, std::string("u\0", 2)));
    ASSERT_TRUE(server.readable());
    EXPECT_EQ(-1, icp_server_handle(server.fd, p.get()));
    client.send_to(server, icp_bytes(ICP_OP_QUERY, 12, query_payload("http://nothere.test/")));
    ASSERT_TRUE(server.readable());
    EXPECT_EQ(ICP_OP_MISS, icp_server_handle(server.fd, p.get()));
    std::string reply = client.recv_one();
    ASSERT_GE(reply.size(), 20u);
    EXPECT_EQ(ICP_OP_MISS, (unsigned char)reply[0]);
    EXPECT_EQ(12u, reqnum_of(reply));
    EXPECT_EQ(std::string("http://nothere.test/") + '\0', reply.substr(20));
}

/* The ICP client. */

namespace {

/* A stand-in ICP peer on loopback: answers each query with opcode (or
 * stays silent for -1). spoof_first sends a HIT from another port first;
 * duplicate_hit sends a HIT after the real answer; flood keeps sending
 * replies with a wrong request number until the peer is destroyed;
 * before_answer runs on the peer's thread before it answers. Counts
 * queries. */
class IcpPeer {
public:
    explicit IcpPeer(int opcode, bool spoof_first = false, bool duplicate_hit = false,
                     bool flood = false, std::function<void()> before_answer = nullptr)
        : opcode(opcode), spoof_first(spoof_first), duplicate_hit(duplicate_hit), flood(flood),
          before_answer(std::move(before_answer))
    {
        worker = std::thread([this] { run(); });
    }
    ~IcpPeer()
    {
        stop = true;
        worker.join();
    }
    int port() const { return sock.port; }
    std::string port_text() const { return std::to_string(sock.port); }

    std::atomic<int> queries{ 0 };
    std::string last_query;   /* read after the client's wait has ended */

private:
    void run()
    {
        while (!stop) {
            struct pollfd p = { sock.fd, POLLIN, 0 };
            if (poll(&p, 1, 20) != 1)
                continue;
            char buf[70000];
            sockaddr_in from = {};
            socklen_t len = sizeof from;
            ssize_t n = recvfrom(sock.fd, buf, sizeof buf, 0, (sockaddr *)&from, &len);
            if (n < 24)
                continue;
            last_query.assign(buf, (size_t)n);
            queries++;
            std::string url(buf + 24, strnlen(buf + 24, (size_t)n - 24));
            std::string payload = url + std::string(1, '\0');
            uint32_t reqnum = reqnum_of(last_query);
            if (spoof_first) {
                std::string fake = icp_bytes(ICP_OP_HIT, reqnum, payload);
                sendto(other.fd, fake.data(), fake.size(), 0, (sockaddr *)&from, len);
            }
            if (before_answer)
                before_answer();
            if (opcode >= 0) {
                std::string answer = icp_bytes(opcode, reqnum, payload);
                sendto(sock.fd, answer.data(), answer.size(), 0, (sockaddr *)&from, len);
            }
            if (duplicate_hit) {
                std::string again = icp_bytes(ICP_OP_HIT, reqnum, payload);
                sendto(sock.fd, again.data(), again.size(), 0, (sockaddr *)&from, len);
            }
            std::string junk = icp_bytes(ICP_OP_HIT, reqnum + 1, payload);
            while (flood && !stop) {
                sendto(sock.fd, junk.data(), junk.size(), 0, (sockaddr *)&from, len);
                usleep(2000);
            }
        }
    }

    int opcode;
    bool spoof_first;
    bool duplicate_hit;
    bool flood;
    std::function<void()> before_answer;
    Udp sock;
    Udp other;
    std::atomic<bool> stop{ false };
    std::thread worker;
};

/* Waits (bounded) until the peer has counted n queries. */
bool queries_reach(const IcpPeer &peer, int n)
{
    for (int i = 0; i < 500 && peer.queries.load() < n; i++)
        usleep(10000);
    return peer.queries.load() >= n;
}

Fields icp_rule(const char *icp_type, const IcpPeer &peer, const char *proxy_port)
{
    return { { "host", "127.0.0.1" }, { "icp-type", icp_type }, { "icp-port", peer.port_text() },
             { "port", proxy_port } };
}

} // namespace

/* The query the client sends: version 3, the URL without the default port,
 * the connection's local and client addresses. */
TEST(ForwardIcpClient, QueryFormat)
{
    IcpPeer parent(ICP_OP_MISS);
    configure({ icp_rule("parent", parent, "1001") });
    Client c(GET);
    c.route();
    ASSERT_EQ(1, parent.queries.load());
    const std::string &q = parent.last_query;
    const std::string url = "http://www.example.org/page.html";
    ASSERT_EQ(24 + url.size() + 1, q.size());
    EXPECT_EQ(ICP_OP_QUERY, (unsigned char)q[0]);
    EXPECT_EQ(ICP_VERSION, (unsigned char)q[1]);
    EXPECT_EQ(q.size(), (size_t)((unsigned char)q[2] << 8 | (unsigned char)q[3]));
    EXPECT_EQ(std::string("\x7f\x00\x00\x01", 4), q.substr(16, 4));   /* sender: local */
    EXPECT_EQ(std::string("\xac\x10\x00\x09", 4), q.substr(20, 4));   /* requester: client */
    EXPECT_EQ(url, std::string(q.data() + 24));

    IcpPeer other(ICP_OP_MISS);
    configure({ icp_rule("parent", other, "1001") });
    c.next("GET http://www.example.org:8080/x HTTP/1.1\r\n\r\n");
    c.route();
    ASSERT_EQ(1, other.queries.load());
    EXPECT_EQ("http://www.example.org:8080/x", std::string(other.last_query.data() + 24));
}

struct PreferenceCase {
    const char *what;
    int first_opcode;    /* the reply of the first peer (-1 silent) */
    const char *first_type;
    int second_opcode;
    const char *second_type;
    bool plain_rule;     /* a third rule without ICP, port 1003 */
    int expected_port;   /* 0: direct */
    const char *peercode;
};

static const PreferenceCase preference_cases[] = {
    { "a sibling HIT beats a parent HIT", ICP_OP_HIT, "parent", ICP_OP_HIT, "sibling", false, 1002,
      "SIBLING_HIT" },
    { "a parent HIT beats a parent MISS", ICP_OP_MISS, "parent", ICP_OP_HIT, "parent", false, 1002,
      "PARENT_HIT" },
    { "a parent MISS beats a rule without ICP", ICP_OP_MISS, "parent", ICP_OP_MISS, "sibling",
      true, 1001, "FIRST_PARENT_MISS" },
    { "a rule without ICP beats a sibling MISS", ICP_OP_MISS, "sibling", ICP_OP_ERR, "parent",
      true, 1003, "DEFAULT_PARENT" },
    { "only MISSing siblings: direct", ICP_OP_MISS, "sibling", ICP_OP_MISS, "sibling", false, 0,
      "NONE" },
};

TEST(ForwardIcpClient, Preference)
{
    for (const PreferenceCase &c : preference_cases) {
        SCOPED_TRACE(c.what);
        IcpPeer first(c.first_opcode), second(c.second_opcode);
        std::vector<Fields> rules = { icp_rule(c.first_type, first, "1001"),
                                      icp_rule(c.second_type, second, "1002") };
        if (c.plain_rule)
            rules.push_back({ { "host", "127.0.0.1" }, { "port", "1003" } });
        configure(rules);
        Client client(GET);
        test_log_clear();
        client.route();
        EXPECT_EQ(1, first.queries.load());
        EXPECT_EQ(1, second.queries.load());
        if (c.expected_port) {
            EXPECT_EQ("127.0.0.1", client.host());
            EXPECT_EQ(c.expected_port, client.conn->proxy_port);
        } else {
            EXPECT_EQ("<direct>", client.host());
        }
        EXPECT_STREQ(c.peercode, client.conn->logentry.peercode());
        EXPECT_TRUE(test_log_contains("response opcode from 127.0.0.1:" + first.port_text() +
                                      ": " + icp_opcode_name(c.first_opcode)));
    }
}

/* A peer that stays silent is marked down and not asked for 30 seconds;
 * once the mark is 30 seconds old it is asked again. The marks are set
 * directly instead of waiting. */
TEST(ForwardIcpClient, SilentPeerIsMarkedDown)
{
    IcpPeer silent(-1);
    configure({ icp_rule("parent", silent, "1001"), { { "host", "plain.test" } } }, false, 0, 200);
    const Forward *rule = &forward_section->rules[0];
    Client c(GET);
    test_log_clear();
    c.route();
    EXPECT_TRUE(queries_reach(silent, 1));
    EXPECT_EQ("plain.test", c.host());
    EXPECT_TRUE(test_log_contains("error: no ICP response received from 127.0.0.1"));
    time_t down = forward_section->get_status(rule);
    EXPECT_NE(0, down);

    c.next(GET);
    c.route();   /* still down: not asked, mark unchanged */
    EXPECT_EQ(1, silent.queries.load());
    EXPECT_EQ(down, forward_section->get_status(rule));

    forward_section->set_status_since(rule, time(nullptr) - (ICP_DOWN_SECONDS - 1));
    c.next(GET);
    c.route();
    EXPECT_EQ(1, silent.queries.load());

    forward_section->set_status_since(rule, time(nullptr) - ICP_DOWN_SECONDS);
    c.next(GET);
    c.route();   /* the mark has run out: asked again, and marked again */
    EXPECT_TRUE(queries_reach(silent, 2));
    EXPECT_NE(0, forward_section->get_status(rule));

    /* Rebuilding the rules clears every mark. */
    configure({ icp_rule("parent", silent, "1001") }, false, 0, 200);
    EXPECT_EQ(0, forward_section->get_status(&forward_section->rules[0]));
    forward_section->set_status(&forward_section->rules[0], 1);
    EXPECT_NE(0, forward_section->get_status(&forward_section->rules[0]));
    forward_section->set_status(&forward_section->rules[0], 0);
    EXPECT_EQ(0, forward_section->get_status(&forward_section->rules[0]));
}

/* Only the first reply from the peer's own address and port counts: a HIT
 * sent from another port beforehand and a HIT sent after the MISS are both
 * ignored. */
TEST(ForwardIcpClient, OnlyThePeersFirstReplyCounts)
{
    IcpPeer spoofed(ICP_OP_MISS, true, false);
    configure({ icp_rule("parent", spoofed, "1001") });
    Client c(GET);
    test_log_clear();
    c.route();
    EXPECT_EQ("127.0.0.1", c.host());
    EXPECT_STREQ("FIRST_PARENT_MISS", c.conn->logentry.peercode());
    EXPECT_TRUE(test_log_contains("error: received unknown ICP response number"));

    IcpPeer late(ICP_OP_MISS, false, true);
    configure({ icp_rule("parent", late, "1001") });
    c.next(GET);
    c.route();
    EXPECT_STREQ("FIRST_PARENT_MISS", c.conn->logentry.peercode());
}

/* The ICP time-out bounds the whole wait: a peer that never stops sending
 * replies nobody asked for cannot hold the request (it would hang here if
 * each datagram restarted the wait). The silent second peer keeps a reply
 * outstanding. */
TEST(ForwardIcpClient, FloodDoesNotExtendTheWait)
{
    IcpPeer flood(-1, false, false, true), silent(-1);
    configure({ icp_rule("parent", flood, "1001"), icp_rule("parent", silent, "1002"),
                { { "host", "plain.test" } } },
              false, 0, 200);
    Client c(GET);
    c.route();
    EXPECT_EQ("plain.test", c.host());
    EXPECT_NE(0, forward_section->get_status(&forward_section->rules[0]));
    EXPECT_NE(0, forward_section->get_status(&forward_section->rules[1]));
}

/* No section lock is held while the client waits for ICP replies: the peer
 * reloads the forward section (which takes the write lock) before it
 * answers, and its HIT still arrives within the wait. The route comes from
 * the rule as it was when the request matched it. */
TEST(ForwardIcpClient, ReloadDuringTheWait)
{
    std::atomic<bool> reloaded{ false };
    auto reload = [&reloaded] {
        tinyxml2::XMLDocument doc;
        std::string text = "<quillmere><forward><enabled>true</enabled><carp>false</carp>"
                           "<carp-buckets>0</carp-buckets>" +
                           peer_entry({ { "host", "new.test" } }) + "</forward></quillmere>";
        if (doc.Parse(text.c_str()) == tinyxml2::XML_SUCCESS &&
            forward_section->load(&doc, CONFIG_LOAD_REPLACE) == SECTION_LOADED)
            reloaded = true;
    };
    IcpPeer sibling(ICP_OP_HIT, false, false, false, reload);
    configure({ icp_rule("sibling", sibling, "1001"), { { "host", "plain.test" } } }, false, 0,
              5000);
    Client c(GET);
    c.route();
    EXPECT_TRUE(reloaded.load());
    EXPECT_EQ("127.0.0.1", c.host());
    EXPECT_EQ(1001, c.conn->proxy_port);
    EXPECT_STREQ("SIBLING_HIT", c.conn->logentry.peercode());
    c.next(GET);
    c.route();
    EXPECT_EQ("new.test", c.host());
}

/* A peer whose host is not a dotted IPv4 address is never asked: the
 * request goes to the other candidate or direct, and nothing breaks. */
TEST(ForwardIcpClient, BadIcpHostIsNotAsked)
{
    test_log_clear();
    configure({ { { "host", "not-an-address.test" }, { "icp-type", "parent" } },
                { { "host", "999.1.1.1" }, { "icp-type", "sibling" } } },
              false, 0, 200);
    EXPECT_TRUE(test_log_contains("not-an-address.test is not a dotted IPv4 address"));
    Client c(GET);
    c.route();
    EXPECT_EQ("<direct>", c.host());
    EXPECT_EQ(0, forward_section->get_status(&forward_section->rules[0]));
}

/* CONNECT requests ask nobody over ICP: only rules without ICP are chosen. */
TEST(ForwardIcpClient, ConnectAsksNoPeer)
{
    IcpPeer parent(ICP_OP_HIT);
    configure({ { { "host", "127.0.0.1" }, { "icp-type", "parent" },
                  { "icp-port", parent.port_text() }, { "protocols", "connect" } },
                { { "host", "plain.test" }, { "protocols", "connect" } } });
    Client c(CONNECT);
    c.route();
    EXPECT_EQ(0, parent.queries.load());
    EXPECT_EQ("plain.test", c.host());
}

/* The ICP server answers where the proxy listens: on every address only
 * when a listener is on every address, else on each listening address. */
TEST(IcpServer, BindsTheListeningAddresses)
{
    auto addr = [](const char *text) {
        struct in_addr a = {};
        EXPECT_EQ(1, inet_pton(AF_INET, text, &a));
        return a.s_addr;
    };
    EXPECT_EQ(std::vector<uint32_t>{ addr("127.0.0.1") },
              icp_server_addresses({ "127.0.0.1", "127.0.0.1" }));
    EXPECT_EQ((std::vector<uint32_t>{ addr("127.0.0.1"), addr("10.1.2.3") }),
              icp_server_addresses({ "127.0.0.1", "10.1.2.3" }));
    EXPECT_EQ(std::vector<uint32_t>{ htonl(INADDR_ANY) },
              icp_server_addresses({ "127.0.0.1", "" }));
    EXPECT_TRUE(icp_server_addresses({}).empty());
}
