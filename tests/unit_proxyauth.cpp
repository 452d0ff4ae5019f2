/*
 * Authentication toward an upstream proxy that answers 407. The parsers are
 * fed hostile challenges directly; the exchange runs against a scripted
 * upstream on loopback, which records every request it gets and answers
 * with exact bytes, so each test can check what the upstream saw (which
 * credentials, on which connection) and what the client got (one answer).
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "header_io.h"
#include "nettest.h"
#include "options.h"
#include "proto_http.h"
#include "protocol.h"
#include "proxyauth.h"
#include "serverpool.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"

namespace {

using HeaderPtr = std::unique_ptr<HEADER, void (*)(HEADER *)>;

HeaderPtr response(const char *text)
{
    return HeaderPtr(http_header_parse_response(text), http_header_free);
}

std::string b64(const std::string &bytes)
{
    std::string out((size_t)base64_encoded_size((int64_t)bytes.size()) + 1, '\0');
    to64frombits(&out[0], (const unsigned char *)bytes.data(), (int64_t)bytes.size());
    out.resize(out.size() - 1);
    return out;
}

std::string unb64(const std::string &text)
{
    std::string out((size_t)base64_decoded_max((int64_t)text.size()) + 1, '\0');
    int64_t n = from64tobits(&out[0], (int64_t)out.size(), text.c_str());
    if (n < 0)
        return "";
    out.resize((size_t)n);
    return out;
}

void put16(std::string *m, size_t at, uint16_t v)
{
    (*m)[at] = (char)(v & 0xff);
    (*m)[at + 1] = (char)(v >> 8);
}

void put32(std::string *m, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        (*m)[at + i] = (char)((v >> (8 * i)) & 0xff);
}

/* A challenge message of size bytes carrying the target name "DOM" at
 * offset 48 when it fits, the rest zero; a shorter one is cut. */
std::string challenge(size_t size = 54)
{
    std::string m(std::max<size_t>(size, 48), '\0');
    memcpy(&m[0], "NTLMSSP\0", 8);
    put32(&m, 8, 2);
    put32(&m, 20, 0x00008201);
    memcpy(&m[24], "\x01\x23\x45\x67\x89\xab\xcd\xef", 8);
    if (size >= 54) {
        put16(&m, 12, 6);
        put16(&m, 14, 6);
        put32(&m, 16, 48);
        memcpy(&m[48], "D\0O\0M\0", 6);
    }
    m.resize(size);
    return m;
}

/* One answer of the scripted upstream: the bytes, then whether it closes
 * the connection. An empty reply with close ends the connection unanswered. */
struct Step {
    std::string reply;
    bool close_after;
};

/* An upstream proxy on loopback that answers the requests it gets, across
 * all its connections, with the steps in order, and records each request
 * (header and body) with the number of the connection it came on. */
struct Upstream {
    int listener = -1;
    int port = 0;
    std::vector<Step> steps;
    std::mutex lock;
    std::vector<std::string> requests;
    std::vector<int> request_connection;
    std::atomic<int> connections{ 0 };
    std::atomic<int> current{ -1 };
    std::thread thread;

    explicit Upstream(std::vector<Step> s) : steps(std::move(s))
    {
        listener = nettest_listener(&port);
        thread = std::thread([this] { run(); });
    }

    ~Upstream()
    {
        shutdown(listener, SHUT_RDWR);
        int fd = current;
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        thread.join();
        close(listener);
    }

    static int64_t body_length(const std::string &head)
    {
        std::string lower = head;
        for (char &c : lower)
            c = (char)tolower((unsigned char)c);
        size_t at = lower.find("\r\ncontent-length:");
        return at == std::string::npos ? 0 : atoll(lower.c_str() + at + 17);
    }

    /* Reads one request from fd into *out; false at the end. */
    static bool read_request(int fd, std::string *pending, std::string *out)
    {
        size_t end;
        while ((end = pending->find("\r\n\r\n")) == std::string::npos || 
               pending->size() < end + 4 + (size_t)body_length(pending->substr(0, end + 4))) {
            struct pollfd p = { fd, POLLIN, 0 };
            char buf[65536];
            ssize_t n = poll(&p, 1, 10000) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
            if (n <= 0)
                return false;
            pending->append(buf, (size_t)n);
        }
        size_t total = end + 4 + (size_t)body_length(pending->substr(0, end + 4));
        *out = pending->substr(0, total);
        pending->erase(0, total);
        return true;
    }

    void run()
    {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                return;
            int number = ++connections;
            current = fd;
            std::string pending;
            std::string request;
            while (read_request(fd, &pending, &request)) {
                size_t index;
                {
                    std::lock_guard<std::mutex> guard(lock);
                    requests.push_back(request);
                    request_connection.push_back(number);
                    index = requests.size() - 1;
                }
                if (index >= steps.size())
                    break;
                nettest_send(fd, steps[index].reply);
                if (steps[index].close_after)
                    break;
            }
            current = -1;
            close(fd);
        }
    }

    std::string request(size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return i < requests.size() ? requests[i] : "";
    }

    size_t count()
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests.size();
    }

    int connection_of(size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return i < request_connection.size() ? request_connection[i] : 0;
    }
};

/* The value of the request's Proxy-Authorization line, or "". */
std::string proxy_authorization(const std::string &request)
{
    size_t at = request.find("\r\nProxy-Authorization: ");
    if (at == std::string::npos)
        return "";
    at += 23;
    return request.substr(at, request.find("\r\n", at) - at);
}

size_t count_of(const std::string &text, const std::string &what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

const char kOk[] = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello";
const char kBasic407[] = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                         "Proxy-Authenticate: Basic realm=\"up\"\r\nContent-Length: 5\r\n\r\ndeny!";
const char kNtlm407[] = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                        "Proxy-Authenticate: NTLM\r\nContent-Length: 5\r\n\r\ndeny!";
const char kAlice[] = "Basic YWxpY2U6czNjcmV0";   /* alice:s3cret */

std::string ntlm_challenge_407(const std::string &text)
{
    return "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: NTLM " + text +
           "\r\nContent-Length: 4\r\n\r\nmore";
}

/* A client connection routed through the upstream with the rule's
 * credentials; the exchange runs as the pipeline runs it. */
struct AuthExchange : ::testing::Test {
    CONNECTION_T *conn = nullptr;
    int client_peer = -1;

    void SetUp() override
    {
        test_runtime_init();
        nettest_general(5, 5, 5);
        if (!template_section)
            template_section = new TemplateSection();
        signal(SIGPIPE, SIG_IGN);
        loglevel = -1;
        test_log_clear();
        conn = connection_new();
        TcpPair c = nettest_pair();
        conn->client = new Socket(c.a);
        client_peer = c.b;
        conn->ip = strdup("127.0.0.1");
    }

    void TearDown() override
    {
        proxyauth_clear(conn);
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        conn->header = conn->rheader = nullptr;
        delete conn->body;
        conn->body = nullptr;
        delete conn->server;
        conn->server = nullptr;
        delete conn->client;
        conn->client = nullptr;
        connection_free(conn);
        close(client_peer);
    }

    void route(const Upstream &up, const char *user = "alice", const char *password = "s3cret",
               const char *domain = nullptr)
    {
        conn->forward_type = FORWARD_HTTP;
        conn->proxy_host = strdup("127.0.0.1");
        conn->proxy_port = up.port;
        conn->proxy_user = user ? strdup(user) : nullptr;
        conn->proxy_password = password ? strdup(password) : nullptr;
        conn->proxy_domain = domain ? strdup(domain) : nullptr;
    }

    void request(const char *text, const std::string &body = "")
    {
        conn->header = http_header_parse_request(text);
        ASSERT_TRUE(conn->header);
        if (!body.empty()) {
            conn->body = new Filebuf();
            ASSERT_EQ(FILEBUF_OK, conn->body->Add(body.data(), (int64_t)body.size()));
        }
        keepalive_check_client(conn);
    }

    /* protocol_start and protocol_http; the exchange's result. */
    int run()
    {
        if (protocol_start(conn) < 0)
            return -99;
        return protocol_http(conn);
    }

    /* Everything the client got: its socket is closed to end the read. */
    std::string client_bytes()
    {
        delete conn->client;
        conn->client = nullptr;
        return nettest_read(client_peer);
    }
};

} // namespace

/* ---- Challenges and wire values ---- */

struct SchemeCase {
    const char *name;
    const char *response;
    int without_domain;
    int with_domain;
};

TEST(ProxyAuthScheme, OnlyAnOfferedSchemeIsChosen)
{
    const SchemeCase cases[] = {
        { "Basic alone", "Proxy-Authenticate: Basic realm=\"x\"\r\n", PROXYAUTH_BASIC, PROXYAUTH_BASIC },
        { "NTLM alone", "Proxy-Authenticate: NTLM\r\n", PROXYAUTH_NTLM, PROXYAUTH_NTLM },
        { "two lines", "Proxy-Authenticate: NTLM\r\nProxy-Authenticate: Basic realm=\"x\"\r\n",
          PROXYAUTH_BASIC, PROXYAUTH_NTLM },
        { "two lines, Basic first", "Proxy-Authenticate: Basic realm=x\r\nProxy-Authenticate: ntlm\r\n",
          PROXYAUTH_BASIC, PROXYAUTH_NTLM },
        { "one line, quoted comma", "Proxy-Authenticate: NTLM, Basic realm=\"a, NTLM\", charset=UTF-8\r\n",
          PROXYAUTH_BASIC, PROXYAUTH_NTLM },
        { "Negotiate and Digest only", "Proxy-Authenticate: Negotiate\r\nProxy-Authenticate: Digest realm=x\r\n",
          PROXYAUTH_NONE, PROXYAUTH_NONE },
        { "no challenge", "", PROXYAUTH_NONE, PROXYAUTH_NONE },
        { "NTLM with data is no offer", "Proxy-Authenticate: NTLM TlRMTVNTUAACAAAA\r\n",
          PROXYAUTH_NONE, PROXYAUTH_NONE },
        { "scheme glued to junk", "Proxy-Authenticate: Basic/1 realm=x\r\nProxy-Authenticate: NTLMx\r\n",
          PROXYAUTH_NONE, PROXYAUTH_NONE },
        { "empty value", "Proxy-Authenticate: \r\n", PROXYAUTH_NONE, PROXYAUTH_NONE },
    };
    for (const SchemeCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string text = std::string("HTTP/1.1 407 No\r\n") + c.response + "\r\n";
        HeaderPtr r = response(text.c_str());
        ASSERT_TRUE(r);
        EXPECT_EQ(c.without_domain, proxyauth_scheme_choose(r.get(), nullptr));
        EXPECT_EQ(c.without_domain, proxyauth_scheme_choose(r.get(), ""));
        EXPECT_EQ(c.with_domain, proxyauth_scheme_choose(r.get(), "CORP"));
    }
}

TEST(ProxyAuthScheme, RemovedChallengeOffersNothing)
{
    HeaderPtr r = response("HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\n\r\n");
    header_field_set(&r->proxy_authenticate, nullptr);
    EXPECT_EQ(PROXYAUTH_NONE, proxyauth_scheme_choose(r.get(), nullptr));
}

TEST(ProxyAuthScheme, NtlmChallengeText)
{
    HeaderPtr one = response("HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\n"
                             "Proxy-Authenticate: NTLM abc= \r\n\r\n");
    EXPECT_EQ("abc=", proxyauth_ntlm_challenge_text(one.get()));
    HeaderPtr two = response("HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM abc=\r\n"
                             "Proxy-Authenticate: NTLM xyz=\r\n\r\n");
    EXPECT_EQ("", proxyauth_ntlm_challenge_text(two.get()));   /* which one? neither */
    HeaderPtr none = response("HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM\r\n\r\n");
    EXPECT_EQ("", proxyauth_ntlm_challenge_text(none.get()));
}

TEST(ProxyAuthBasic, Value)
{
    EXPECT_EQ(kAlice, proxyauth_basic_value("alice", "s3cret"));
    EXPECT_EQ("Basic Og==", proxyauth_basic_value(nullptr, nullptr));
    /* "user:password" is cut at 4094 characters: exactly at the limit, and past it */
    std::string at(PROXYAUTH_BASIC_MAX - 2, 'u');
    EXPECT_EQ(at + ":p", unb64(proxyauth_basic_value(at.c_str(), "p").substr(6)));
    std::string past(PROXYAUTH_BASIC_MAX, 'u');
    EXPECT_EQ(past, unb64(proxyauth_basic_value(past.c_str(), "p").substr(6)));
}

struct ChallengeCase {
    const char *name;
    std::string text;
    int rc;
    int cleared_at;   /* the string header cleared in the message, or -1 */
};

TEST(ProxyAuthNtlm, ChallengeIsCheckedBeforeUse)
{
    std::string wrong_sig = challenge();
    wrong_sig[7] = 'X';
    std::string type1 = challenge();
    put32(&type1, 8, 1);
    std::string type3 = challenge();
    put32(&type3, 8, 3);
    std::string name_past_end = challenge();
    put32(&name_past_end, 16, 50);          /* 50 + 6 > 54 */
    std::string name_offset_huge = challenge();
    put32(&name_offset_huge, 16, 0xffffffffu);
    std::string name_too_long = challenge(48 + NTLM_CHALLENGE_TARGET_MAX + 2);
    put16(&name_too_long, 12, NTLM_CHALLENGE_TARGET_MAX + 2);
    put32(&name_too_long, 16, 48);
    std::string name_at_limit = challenge(48 + NTLM_CHALLENGE_TARGET_MAX);
    put16(&name_at_limit, 12, NTLM_CHALLENGE_TARGET_MAX);
    put32(&name_at_limit, 16, 48);
    std::string info_past_end = challenge();
    put32(&info_past_end, 20, 0x00808201);   /* target information announced */
    std::string unannounced = challenge(60);
    memcpy(&unannounced[40], "WORKGROU", 8);
    put16(&info_past_end, 40, 10);
    put32(&info_past_end, 44, 50);
    std::string empty_name_far = challenge(40);
    put32(&empty_name_far, 16, 0xfffffff0u);   /* length 0: nothing is read there */

    const ChallengeCase cases[] = {
        { "valid", b64(challenge()), NTLM_CHALLENGE_OK, -1 },
        { "shortest", b64(challenge(NTLM_CHALLENGE_MIN_BYTES)), NTLM_CHALLENGE_OK, -1 },
        { "one byte short", b64(challenge(NTLM_CHALLENGE_MIN_BYTES - 1)), NTLM_CHALLENGE_SHORT, -1 },
        { "longest", b64(challenge(NTLM_CHALLENGE_MAX_BYTES)), NTLM_CHALLENGE_OK, -1 },
        { "one byte too long", b64(challenge(NTLM_CHALLENGE_MAX_BYTES + 1)), NTLM_CHALLENGE_TOO_LONG, -1 },
        { "oversized", b64(challenge(100000)), NTLM_CHALLENGE_TOO_LONG, -1 },
        { "not base64", "TlRM!!TVNT", NTLM_CHALLENGE_BAD_BASE64, -1 },
        { "empty", "", NTLM_CHALLENGE_BAD_BASE64, -1 },
        { "wrong signature", b64(wrong_sig), NTLM_CHALLENGE_SIGNATURE, -1 },
        { "negotiate type", b64(type1), NTLM_CHALLENGE_TYPE, -1 },
        { "authenticate type", b64(type3), NTLM_CHALLENGE_TYPE, -1 },
        /* fields pointing outside are cleared: libntlm never reads there */
        { "target name past the end", b64(name_past_end), NTLM_CHALLENGE_OK, 12 },
        { "target name offset overflows", b64(name_offset_huge), NTLM_CHALLENGE_OK, 12 },
        { "target name at its limit", b64(name_at_limit), NTLM_CHALLENGE_OK, -1 },
        { "target name past its limit", b64(name_too_long), NTLM_CHALLENGE_OK, 12 },
        { "target info past the end", b64(info_past_end), NTLM_CHALLENGE_OK, 40 },
        { "empty target name far away", b64(empty_name_far), NTLM_CHALLENGE_OK, -1 },
        { "unannounced target info is data", b64(unannounced), NTLM_CHALLENGE_OK, -1 },
        /* squid's fake NTLM helper: a stray target-name offset */
        { "squid fake helper", "TlRMTVNTUAACAAAACQAJAK6qqqoHsgAArGXl4lmUh2IAAAAAAAA6AFdPUktHUk9VUA==",
          NTLM_CHALLENGE_OK, 12 },
    };
    for (const ChallengeCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string message = "untouched";
        EXPECT_EQ(c.rc, ntlm_challenge_parse(c.text.c_str(), &message));
        if (c.rc == NTLM_CHALLENGE_OK) {
            std::string expected = unb64(c.text);
            if (c.cleared_at >= 0)
                expected.replace((size_t)c.cleared_at, 8, 8, '\0');
            EXPECT_EQ(expected, message);
            /* libntlm answers every challenge that checks */
            EXPECT_EQ(0u, ntlm_authenticate_value(message, "alice", "s3cret").find("NTLM "));
        } else {
            EXPECT_EQ("untouched", message);
        }
    }
    EXPECT_EQ(NTLM_CHALLENGE_BAD_BASE64, ntlm_challenge_parse(nullptr, nullptr));
}

TEST(ProxyAuthNtlm, Messages)
{
    std::string negotiate = ntlm_negotiate_value("alice", "CORP");
    ASSERT_EQ(0u, negotiate.find("NTLM "));
    std::string m = unb64(negotiate.substr(5));
    ASSERT_GE(m.size(), 16u);
    EXPECT_EQ(0, memcmp(m.data(), "NTLMSSP\0\x01\0\0\0", 12));
    EXPECT_NE(std::string::npos, m.find("CORP"));

    std::string answer = ntlm_authenticate_value(challenge(), "alice", "s3cret");
    ASSERT_EQ(0u, answer.find("NTLM "));
    m = unb64(answer.substr(5));
    ASSERT_GE(m.size(), 64u);
    EXPECT_EQ(0, memcmp(m.data(), "NTLMSSP\0\x03\0\0\0", 12));

    /* credentials past the limit are never given to libntlm */
    std::string at(NTLM_CREDENTIAL_MAX, 'u');
    std::string past(NTLM_CREDENTIAL_MAX + 1, 'u');
    EXPECT_NE("", ntlm_negotiate_value(at.c_str(), at.c_str()));
    EXPECT_EQ("", ntlm_negotiate_value(past.c_str(), "CORP"));
    EXPECT_EQ("", ntlm_negotiate_value("alice", past.c_str()));
    EXPECT_NE("", ntlm_authenticate_value(challenge(), at.c_str(), at.c_str()));
    EXPECT_EQ("", ntlm_authenticate_value(challenge(), "alice", past.c_str()));
    /* a message that does not check is never answered */
    EXPECT_EQ("", ntlm_authenticate_value(challenge(20), "alice", "s3cret"));
}

/* ---- The exchange ---- */

/* Basic on a kept connection: the request goes again, on the same
 * connection, with the rule's credentials; the client gets the page. */
TEST_F(AuthExchange, BasicOnTheSameConnection)
{
    Upstream up({ { kBasic407, false }, { kOk, false } });
    route(up);
    request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
    EXPECT_EQ(1, run());
    EXPECT_EQ(nullptr, conn->upstream_authorization);
    std::string got = client_bytes();
    EXPECT_EQ(0u, got.find("HTTP/1.1 200"));
    EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
    EXPECT_NE(std::string::npos, got.find("hello"));
    ASSERT_EQ(2u, up.count());
    EXPECT_EQ("", proxy_authorization(up.request(0)));
    EXPECT_EQ(kAlice, proxy_authorization(up.request(1)));
    EXPECT_EQ(1, up.connection_of(1));
    EXPECT_FALSE(test_log_contains("s3cret"));
    EXPECT_FALSE(test_log_contains("YWxpY2U6czNjcmV0"));
}

/* An upstream that closes after its 407 (said, or shown by a body that
 * runs to the close, or not said at all) gets the credentials on a new
 * connection; a POST body comes along whole, and the client's keep-alive
 * is not spoilt by the 407's framing. */
TEST_F(AuthExchange, BasicAfterTheUpstreamCloses)
{
    const struct {
        const char *first;
        bool closes;   /* the upstream really closes; otherwise only says so */
    } closing[] = {
        /* said: a request sent on that connection anyway would show up
         * there, as the upstream keeps it open */
        { "HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\nConnection: close\r\n"
          "Content-Length: 3\r\n\r\nno!", false },
        { "HTTP/1.0 407 No\r\nProxy-Authenticate: Basic realm=x\r\n\r\nuntil the close", true },
        { "HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\nContent-Length: 3\r\n\r\nno!", true },
    };
    std::string body(100000, 'b');
    for (const auto &c : closing) {
        for (bool post : { false, true }) {
            SCOPED_TRACE(std::string(c.first) + (post ? " POST" : " GET"));
            TearDown();
            SetUp();
            Upstream up({ { c.first, c.closes }, { kOk, false } });
            route(up);
            if (post)
                request("POST http://o.test/form HTTP/1.1\r\nHost: o.test\r\nContent-Length: 100000\r\n\r\n", body);
            else
                request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
            EXPECT_EQ(1, run());
            std::string got = client_bytes();
            EXPECT_EQ(0u, got.find("HTTP/1.1 200"));
            EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
            ASSERT_EQ(2u, up.count());
            EXPECT_EQ(2, up.connection_of(1));
            EXPECT_EQ(kAlice, proxy_authorization(up.request(1)));
            std::string second = up.request(1);
            EXPECT_EQ(post ? body : "", second.substr(second.find("\r\n\r\n") + 4));
            EXPECT_EQ(1, conn->keepalive_client);
        }
    }
}

/* The credentialed request meets a dead connection: the reconnect sends it
 * again, still with the credentials. */
TEST_F(AuthExchange, BasicCredentialsSurviveAReconnect)
{
    Upstream up({ { kBasic407, false }, { "", true }, { kOk, false } });
    route(up);
    request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
    EXPECT_EQ(1, run());
    EXPECT_EQ(0u, client_bytes().find("HTTP/1.1 200"));
    ASSERT_EQ(3u, up.count());
    EXPECT_EQ(kAlice, proxy_authorization(up.request(1)));
    EXPECT_EQ(kAlice, proxy_authorization(up.request(2)));
    EXPECT_EQ(2, up.connection_of(2));
}

struct PassCase {
    const char *name;
    std::vector<Step> steps;
    const char *user;
    size_t requests;           /* the upstream gets */
    const char *status;        /* the client gets, once */
    bool challenge_kept;       /* Proxy-Authenticate reaches the client */
};

/* 407s the proxy cannot or may not answer reach the client once, without
 * the upstream's challenge once an attempt was made; one attempt only. */
TEST_F(AuthExchange, UnansweredChallengesReachTheClientOnce)
{
    const PassCase cases[] = {
        { "wrong credentials: second 407", { { kBasic407, false }, { kBasic407, false }, { kOk, false } },
          "alice", 2, "HTTP/1.1 407", false },
        { "407 without Proxy-Authenticate", { { "HTTP/1.1 407 No\r\nContent-Length: 0\r\n\r\n", false } },
          "alice", 1, "HTTP/1.1 407", false },
        { "only schemes we lack", { { "HTTP/1.1 407 No\r\nProxy-Authenticate: Negotiate\r\nContent-Length: 0\r\n\r\n", false } },
          "alice", 1, "HTTP/1.1 407", false },
        { "rule without credentials", { { kBasic407, false } }, nullptr, 1, "HTTP/1.1 407", true },
    };
    for (const PassCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Upstream up(c.steps);
        route(up, c.user, c.user ? "s3cret" : nullptr);
        request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
        EXPECT_EQ(1, run());
        std::string got = client_bytes();
        EXPECT_EQ(0u, got.find(c.status));
        EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
        EXPECT_EQ(c.challenge_kept, got.find("Proxy-Authenticate") != std::string::npos);
        EXPECT_EQ(c.requests, up.count());
    }
}

/* Several challenge lines: NTLM with a domain, Basic without one. */
TEST_F(AuthExchange, SchemeFollowsTheDomain)
{
    const char both[] = "HTTP/1.1 407 No\r\nProxy-Authenticate: NTLM\r\n"
                        "Proxy-Authenticate: Basic realm=x\r\nContent-Length: 0\r\n\r\n";
    for (const char *domain : { (const char *)nullptr, "CORP" }) {
        SCOPED_TRACE(domain ? domain : "no domain");
        TearDown();
        SetUp();
        Upstream up({ { both, false }, { kOk, false }, { kOk, false } });
        route(up, "alice", "s3cret", domain);
        request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
        EXPECT_EQ(1, run());
        ASSERT_GE(up.count(), 2u);
        EXPECT_EQ(domain ? 0u : std::string::npos, proxy_authorization(up.request(1)).find("NTLM "));
        EXPECT_EQ(domain ? std::string::npos : 0u, proxy_authorization(up.request(1)).find("Basic "));
    }
}

/* The whole NTLM handshake on one connection; the negotiate leg carries no
 * body, the authenticate leg carries the request as it was. */
TEST_F(AuthExchange, NtlmHandshake)
{
    Upstream up({ { kNtlm407, false }, { ntlm_challenge_407(b64(challenge())), false }, { kOk, false } });
    route(up, "alice", "s3cret", "CORP");
    request("POST http://o.test/form HTTP/1.1\r\nHost: o.test\r\nContent-Length: 4\r\n\r\n", "data");
    EXPECT_EQ(1, run());
    std::string got = client_bytes();
    EXPECT_EQ(0u, got.find("HTTP/1.1 200"));
    EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
    ASSERT_EQ(3u, up.count());
    std::string negotiate = up.request(1);
    EXPECT_EQ(0u, negotiate.find("GET http://o.test:80/form "));
    EXPECT_EQ(std::string::npos, negotiate.find("Content-Length"));
    std::string type1 = unb64(proxy_authorization(negotiate).substr(5));
    EXPECT_EQ(0, memcmp(type1.data(), "NTLMSSP\0\x01", 9));
    std::string final_leg = up.request(2);
    EXPECT_EQ(0u, final_leg.find("POST http://o.test:80/form "));
    EXPECT_EQ("data", final_leg.substr(final_leg.find("\r\n\r\n") + 4));
    std::string type3 = unb64(proxy_authorization(final_leg).substr(5));
    EXPECT_EQ(0, memcmp(type3.data(), "NTLMSSP\0\x03", 9));
    /* a request with a body is challenged on a connection of its own; the
     * handshake then stays on the new one */
    EXPECT_EQ(2, up.connection_of(1));
    EXPECT_EQ(2, up.connection_of(2));
    EXPECT_EQ("POST", std::string(conn->header->method));
    EXPECT_EQ(nullptr, conn->upstream_authorization);
    EXPECT_FALSE(test_log_contains("s3cret"));
}

/* Hostile or missing challenges end the handshake: the proxy's answer to
 * the negotiation reaches the client once, without its challenge, and
 * nothing more is sent upstream. */
TEST_F(AuthExchange, NtlmBadSecondAnswers)
{
    std::string wrong_type = challenge();
    put32(&wrong_type, 8, 3);
    const struct {
        const char *name;
        std::string answer;
        const char *status;
    } cases[] = {
        { "oversized", ntlm_challenge_407(b64(challenge(5000))), "HTTP/1.1 407" },
        { "bad base64", ntlm_challenge_407("!!!!"), "HTTP/1.1 407" },
        { "wrong type", ntlm_challenge_407(b64(wrong_type)), "HTTP/1.1 407" },
        { "short", ntlm_challenge_407(b64(challenge(31))), "HTTP/1.1 407" },
        { "407 without NTLM", "HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\nContent-Length: 0\r\n\r\n",
          "HTTP/1.1 407" },
        { "403", "HTTP/1.1 403 Forbidden\r\nContent-Length: 6\r\n\r\nrefuse", "HTTP/1.1 403" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Upstream up({ { kNtlm407, false }, { c.answer, false }, { kOk, false } });
        route(up, "alice", "s3cret", "CORP");
        request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
        EXPECT_EQ(1, run());
        std::string got = client_bytes();
        EXPECT_EQ(0u, got.find(c.status));
        EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
        EXPECT_EQ(std::string::npos, got.find("Proxy-Authenticate"));
        EXPECT_EQ(2u, up.count());
    }
}

/* The upstream vanishes during the handshake: the reconnect logic answers
 * the client (503) and the exchange adds nothing. */
TEST_F(AuthExchange, NtlmFailureAnswersOnce)
{
    Upstream up({ { kNtlm407, false }, { "", true }, { "", true } });
    route(up, "alice", "s3cret", "CORP");
    request("GET http://o.test/a HTTP/1.1\r\nHost: o.test\r\n\r\n");
    EXPECT_EQ(-1, run());
    std::string got = client_bytes();
    EXPECT_EQ(0u, got.find("HTTP/1.1 503"));
    EXPECT_EQ(1u, count_of(got, "HTTP/1.1 "));
    EXPECT_EQ(nullptr, conn->rheader);
}

/* A CONNECT request: the CONNECT line goes again with the credentials on a
 * new connection (by Basic, or through the NTLM handshake, which then stays
 * on that connection), also when the proxy closed after its 407 without
 * saying so, and nothing is ever sent to the client from here. */
TEST_F(AuthExchange, ConnectRequestIsSentAgain)
{
    const char established[] = "HTTP/1.1 200 Connection established\r\n\r\n";
    const struct {
        const char *name;
        std::vector<Step> steps;
        const char *domain;
        const char *scheme;
    } cases[] = {
        { "Basic", { { kBasic407, false }, { established, false } }, nullptr, "Basic " },
        { "Basic, silent close", { { kBasic407, true }, { established, false } }, nullptr, "Basic " },
        { "NTLM", { { kNtlm407, false }, { ntlm_challenge_407(b64(challenge())), false }, { established, false } },
          "CORP", "NTLM " },
        { "NTLM, silent close", { { kNtlm407, true }, { ntlm_challenge_407(b64(challenge())), false },
                                  { established, false } }, "CORP", "NTLM " },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Upstream up(c.steps);
        route(up, "alice", "s3cret", c.domain);
        request("CONNECT o.test:443 HTTP/1.1\r\nHost: o.test:443\r\n\r\n");
        ASSERT_GE(protocol_start(conn), 0);
        (void)header_send(conn->header, conn, SIDE_SERVER, HEADER_SEND_PROXY);
        char *text = header_get(conn, SIDE_SERVER, 5);
        ASSERT_TRUE(text);
        conn->rheader = http_header_parse_response(text);
        free(text);
        EXPECT_EQ(1, proxy_authenticate(conn));
        EXPECT_EQ(nullptr, conn->upstream_authorization);
        text = header_get(conn, SIDE_SERVER, 5);
        ASSERT_TRUE(text);
        EXPECT_EQ(0, strncmp(text, "HTTP/1.1 200", 12));
        free(text);
        size_t last = c.steps.size() - 1;
        ASSERT_EQ(c.steps.size(), up.count());
        for (size_t i = 0; i <= last; i++) {
            EXPECT_EQ(0u, up.request(i).find("CONNECT o.test:443 HTTP/1.1\r\n"));
            EXPECT_EQ(i == 0 ? 1 : 2, up.connection_of(i));
        }
        EXPECT_EQ(0u, proxy_authorization(up.request(last)).find(c.scheme));
        EXPECT_EQ("", client_bytes());
    }
}

/* A CONNECT whose proxy closes after its 407 and cannot be reached again:
 * 0, the client untouched, the 407 now without a body to read. */
TEST_F(AuthExchange, ConnectFailureLeavesTheClientToTheCaller)
{
    int port = 0;
    int listener = nettest_listener(&port);
    conn->forward_type = FORWARD_HTTP;
    conn->proxy_host = strdup("127.0.0.1");
    conn->proxy_port = port;
    conn->proxy_user = strdup("alice");
    conn->proxy_password = strdup("s3cret");
    request("CONNECT o.test:443 HTTP/1.1\r\n\r\n");
    TcpPair s = nettest_pair();
    conn->server = new Socket(s.a);
    nettest_send(s.b, "HTTP/1.1 407 No\r\nProxy-Authenticate: Basic realm=x\r\nConnection: close\r\n"
                      "Content-Length: 2\r\n\r\nno");
    close(s.b);
    close(listener);   /* nobody listens any more */
    char *text = header_get(conn, SIDE_SERVER, 5);
    ASSERT_TRUE(text);
    conn->rheader = http_header_parse_response(text);
    free(text);
    EXPECT_EQ(0, proxy_authenticate(conn));
    ASSERT_TRUE(conn->rheader);
    EXPECT_EQ(407, conn->rheader->status);
    EXPECT_TRUE(conn->rheader->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(0, conn->rheader->content_length);
    EXPECT_EQ(nullptr, conn->upstream_authorization);
    EXPECT_EQ("", client_bytes());
}

/* ---- The server pool ---- */

/* A connection kept for one rule's credentials is never lent to a request
 * with other credentials for the same proxy. */
TEST(ProxyAuthPool, CredentialsArePartOfTheKey)
{
    test_runtime_init();
    nettest_general(5, 5, 5);
    ServerPool pool;
    std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
    conn->forward_type = FORWARD_HTTP;
    conn->proxy_host = strdup("proxy.test");
    conn->proxy_port = 3128;
    conn->proxy_user = strdup("alice");
    conn->proxy_password = strdup("s3cret");
    conn->proxy_domain = strdup("CORP");
    SERVERPOOL_ROUTE alice = serverpool_route(conn.get(), 0);
    TcpPair p = nettest_pair();
    Socket *kept = new Socket(p.a);
    pool.Add(kept, "http", "proxy.test", 3128, nullptr, nullptr, &alice);

    const struct {
        const char *user, *password, *domain;
    } others[] = {
        { "bob", "s3cret", "CORP" }, { "alice", "other", "CORP" }, { "alice", "s3cret", nullptr },
        { nullptr, nullptr, nullptr },
    };
    for (const auto &o : others) {
        SERVERPOOL_ROUTE r = alice;
        r.proxy_user = o.user;
        r.proxy_password = o.password;
        r.proxy_domain = o.domain;
        EXPECT_EQ(nullptr, pool.Find("http", "proxy.test", 3128, nullptr, nullptr, &r));
    }
    EXPECT_EQ(kept, pool.Find("http", "proxy.test", 3128, nullptr, nullptr, &alice));
    delete kept;
    close(p.b);
}

/* A client's own NTLM credentials passed to the upstream bind the
 * connection to that client: it is never pooled. */
TEST(ProxyAuthPool, ClientNtlmToTheProxyIsNeverPooled)
{
    test_runtime_init();
    nettest_general(5, 5, 5);
    std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
    conn->forward_type = FORWARD_HTTP;
    conn->header = http_header_parse_request("GET http://o.test/ HTTP/1.1\r\n"
                                             "Proxy-Authorization: NTLM TlRMTVNTUAADAAAA\r\n\r\n");
    EXPECT_EQ(1, serverpool_proxy_auth_bound(conn.get()));
    conn->auth_flags |= AUTH_CREDENTIALS_USED;   /* our own access rule took them */
    EXPECT_EQ(0, serverpool_proxy_auth_bound(conn.get()));
    conn->auth_flags = 0;
    header_field_set(&conn->header->proxy_authorization, "Basic YWxpY2U6czNjcmV0");
    EXPECT_EQ(0, serverpool_proxy_auth_bound(conn.get()));
    http_header_free(conn->header);
    conn->header = nullptr;
}
