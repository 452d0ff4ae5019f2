/* The web interface core: which requests it takes, the Referer guard, the
 * form arguments and their debug line, the login cookie and token, and
 * interface_handle_request end to end over a socket pair: template files,
 * permission, redirect, frame and menu, login by form and by cookie,
 * dispatch, POST bodies at and past the size limit, and escaping of
 * hostile request and configuration values. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "connection.h"
#include "conntest.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "socket.h"
#include "stats.h"
#include "templates.h"
#include "test_support.h"

namespace {

/* The shipped description, a templates section and the global statistics,
 * once per process. */
void runtime_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    if (!template_section)
        template_section = new TemplateSection();
    globalstats_init();
    done = true;
}

const char kProxyHost[] = "proxy.test";

/* A connection on listening port 3128 of 127.0.0.1 whose client is one
 * end of a socket pair; the other end is the browser. */
class Client : public SocketPairClient {
public:
    explicit Client(const std::string &request_head = "")
    {
        conn->interface = strdup("127.0.0.1");
        conn->port = 3128;
        if (!request_head.empty())
            set_request(request_head);
    }
    ~Client() override
    {
        if (reader.joinable())
            reader.join();
        if (writer.joinable())
            writer.join();
    }

    /* Parses a request head (lines without the closing blank line). */
    void set_request(const std::string &head)
    {
        ASSERT_TRUE(request(head + "\r\n\r\n"));
    }

    /* The body the pipeline has read already. */
    void set_body(const std::string &bytes)
    {
        delete conn->body;
        conn->body = new Filebuf();
        if (!bytes.empty()) {
            ASSERT_EQ(FILEBUF_OK, conn->body->Add(bytes.data(), (int64_t)bytes.size()));
        }
    }

    /* A body left on the socket (CONN_DIRECT_POST): written by a thread,
     * so it may exceed the socket buffer. */
    void stream_body(const std::string &bytes)
    {
        conn->body = new Filebuf();
        conn->flags |= CONN_DIRECT_POST;
        writer = std::thread([this, bytes] {
            size_t done = 0;
            while (done < bytes.size()) {
                ssize_t n = send(peer, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                done += (size_t)n;
            }
        });
    }

    /* Serves the request while a thread collects what the browser gets,
     * then returns it. */
    std::string serve()
    {
        std::string out;
        reader = std::thread([this, &out] {
            char buf[65536];
            for (;;) {
                struct pollfd p = { peer, POLLIN, 0 };
                if (poll(&p, 1, 10000) <= 0)
                    break;
                ssize_t n = read(peer, buf, sizeof buf);
                if (n <= 0)
                    break;
                out.append(buf, (size_t)n);
            }
        });
        interface_handle_request(conn);
        shutdown(conn->client->fd, SHUT_WR);   /* the browser sees the end */
        reader.join();
        return out;
    }

    std::thread reader;
    std::thread writer;
};

/* A response: status, header lines by name (last one wins), body. */
struct Reply {
    int status = 0;
    std::string head;
    std::string body;

    std::string field(const std::string &name) const
    {
        std::string value;
        std::istringstream lines(head);
        std::string line;
        while (std::getline(lines, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            size_t colon = line.find(':');
            if (colon != std::string::npos && strcasecmp(line.substr(0, colon).c_str(),
                                                         name.c_str()) == 0)
                value = line.substr(colon + 2);
        }
        return value;
    }
};

Reply reply_parse(const std::string &sent)
{
    Reply r;
    size_t end = sent.find("\r\n\r\n");
    EXPECT_NE(std::string::npos, end) << sent;
    if (end == std::string::npos)
        return r;
    r.head = sent.substr(0, end + 2);
    r.body = sent.substr(end + 4);
    r.status = atoi(sent.c_str() + 9);
    EXPECT_EQ((long)r.body.size(), atol(r.field("Content-Length").c_str())) << r.head;
    return r;
}

bool has(const std::string &text, const std::string &part)
{
    return text.find(part) != std::string::npos;
}

class InterfaceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        test_runtime_init();
        runtime_ready();
        s_strncpy(proxyhost, kProxyHost, sizeof proxyhost);
        test_log_clear();
        interface_login_attempts_clear();
    }
    void TearDown() override { proxyhost[0] = '\0'; }
};

/* ---- Which requests are the interface's ---- */

struct RequestCase {
    const char *head;
    bool is_interface;
    int type_after;        /* header type afterwards */
    int port_after;        /* -1: not checked */
};

const RequestCase request_cases[] = {
    { "GET http://quill.invalid/config HTTP/1.1", true, HEADER_ABSOLUTE, 80 },
    { "GET http://QUILL.Invalid:8080/ HTTP/1.1", true, HEADER_ABSOLUTE, 8080 },
    { "GET http://example.com/quill.invalid/ HTTP/1.1", false, HEADER_ABSOLUTE, -1 },
    { "GET http://quill.invalid.example.com/ HTTP/1.1", false, HEADER_ABSOLUTE, -1 },
    /* The proxy's own site: no Host, its name or its listening address. */
    { "GET /quill.invalid/config HTTP/1.0", true, HEADER_ORIGIN, -1 },
    { "GET /Quill.Invalid HTTP/1.0", true, HEADER_ORIGIN, -1 },
    { "GET /quill.invalid/config HTTP/1.1\r\nHost: proxy.test:3128", true, HEADER_ORIGIN, -1 },
    { "GET /quill.invalid/config HTTP/1.1\r\nHost: 127.0.0.1:3128", true, HEADER_ORIGIN, -1 },
    /* Inside another site's origin, or another port of this host. */
    { "GET /quill.invalid/config HTTP/1.1\r\nHost: example.com", false, HEADER_ORIGIN, -1 },
    { "GET /quill.invalid/config HTTP/1.1\r\nHost: proxy.test", false, HEADER_ORIGIN, -1 },
    { "GET /quill.invalid/config HTTP/1.1\r\nHost: proxy.test:8080", false, HEADER_ORIGIN, -1 },
    /* Origin form naming the interface in Host becomes a proxy request. */
    { "GET /config HTTP/1.1\r\nHost: quill.invalid", true, HEADER_ABSOLUTE, 80 },
    { "GET /config HTTP/1.1\r\nHost: QUILL.INVALID:8081", true, HEADER_ABSOLUTE, 8081 },
    { "GET /config HTTP/1.1\r\nHost: example.com", false, HEADER_ORIGIN, -1 },
    { "GET /config HTTP/1.1", false, HEADER_ORIGIN, -1 },
    { "CONNECT quill.invalid:443 HTTP/1.1", false, HEADER_CONNECT, -1 },
};

TEST_F(InterfaceTest, RequestRecognition)
{
    for (const RequestCase &c : request_cases) {
        SCOPED_TRACE(c.head);
        Client client(c.head);
        EXPECT_EQ(c.is_interface, interface_request(client.conn));
        EXPECT_EQ(c.type_after, client.conn->header->type);
        if (c.port_after != -1) {
            EXPECT_EQ(c.port_after, client.conn->header->port);
            ASSERT_NE(nullptr, client.conn->header->host);
            EXPECT_STREQ(INTERFACE_HOST, client.conn->header->host);
        }
    }
}

/* ---- The Referer guard ---- */

struct RefererCase {
    const char *request;
    const char *referer;   /* NULL: none */
    int accepted;
};

const RefererCase referer_cases[] = {
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid/", 1 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://QUILL.invalid:80/config?x=1", 1 },
    { "GET http://quill.invalid:8080/ HTTP/1.1", "http://quill.invalid:8080/", 1 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid:8080/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid.evil.test/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid@evil.test/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid:/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://quill.invalid:99999/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "https://quill.invalid/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", "http://evil.test/quill.invalid/", 0 },
    { "GET http://quill.invalid/ HTTP/1.1", nullptr, 0 },
    /* The proxy's own site: its name or address with the listening port. */
    { "GET /quill.invalid/ HTTP/1.0", "http://proxy.test:3128/quill.invalid/", 1 },
    { "GET /quill.invalid/ HTTP/1.0", "http://127.0.0.1:3128/quill.invalid/", 1 },
    { "GET /quill.invalid/ HTTP/1.0", "http://quill.invalid/", 1 },
    { "GET /quill.invalid/ HTTP/1.0", "http://proxy.test/quill.invalid/", 0 },
    { "GET /quill.invalid/ HTTP/1.0", "http://proxy.test:8080/", 0 },
    { "GET /quill.invalid/ HTTP/1.0", "http://proxy.test:3128", 0 },
};

TEST_F(InterfaceTest, RefererGuardComparesHostAndPort)
{
    for (const RefererCase &c : referer_cases) {
        SCOPED_TRACE(std::string(c.request) + " / " + (c.referer ? c.referer : "(none)"));
        std::string head = c.request;
        if (c.referer)
            head += std::string("\r\nReferer: ") + c.referer;
        Client client(head);
        test_log_clear();
        EXPECT_EQ(c.accepted, interface_check_referer(client.conn));
        if (!c.accepted && !c.referer) {
            EXPECT_TRUE(test_log_contains("web interface request without referer"));
        }
        if (!c.accepted && c.referer) {
            EXPECT_TRUE(test_log_contains("web interface request from invalid referer ("));
        }
    }
}

TEST_F(InterfaceTest, RefusedRefererIsEscapedInTheLog)
{
    Client client("GET http://quill.invalid/ HTTP/1.1\r\nReferer: http://evil.test/\x1b[31mred");
    EXPECT_EQ(0, interface_check_referer(client.conn));
    EXPECT_TRUE(test_log_contains("(http://evil.test/\\x1b[31mred)"));
    EXPECT_FALSE(test_log_contains("\x1b"));
}

/* ---- Form arguments ---- */

struct ArgsCase {
    const char *text;
    std::map<std::string, std::string> expected;
};

TEST_F(InterfaceTest, ArgumentParsing)
{
    const ArgsCase cases[] = {
        { "a=1&b&c=2", { { "a", "1" }, { "c", "2" } } },
        { "a=b=c", { { "a=b", "c" } } },
        { "a=1&a=2", { { "a", "2" } } },
        { "=x&y=", { { "", "x" }, { "y", "" } } },
        { "n%41me=v+a%20l&&", { { "nAme", "v a l" } } },
        { "", {} },
    };
    for (const ArgsCase &c : cases) {
        SCOPED_TRACE(c.text);
        CGIMap args(c.text);
        EXPECT_EQ(c.expected, (std::map<std::string, std::string>)args);
    }
    CGIMap none(nullptr);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ("", none["missing"]);   /* reading inserts an empty value */
    EXPECT_EQ(1u, none.size());
}

TEST_F(InterfaceTest, PasswordArgumentsAreRedactedInTheDebugLog)
{
    std::string dir = test_temp_dir();
    std::string path = dir + "/native.log";
    char saved_logfile[sizeof logfile];
    memcpy(saved_logfile, logfile, sizeof logfile);
    int saved_level = loglevel;
    s_strncpy(logfile, path.c_str(), sizeof logfile);
    loglevel |= LOG_DEBUG;

    CGIMap args("username=admin&password=s3cret&interface-password=t0p&Pass=x9&keep=visible");
    log_close();
    memcpy(logfile, saved_logfile, sizeof logfile);
    loglevel = saved_level;

    EXPECT_EQ("s3cret", args["password"]);
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(has(text, "cgi arguments: username=admin&password=*&interface-password=*&Pass=*"
                          "&keep=visible"))
        << text;
    EXPECT_FALSE(has(text, "s3cret"));
    EXPECT_FALSE(has(text, "t0p"));
    EXPECT_FALSE(has(text, "x9"));
}

TEST_F(InterfaceTest, Xatoi)
{
    const struct {
        const char *text;
        int value;
    } cases[] = {
        { "", -1 }, { "0", 0 }, { "42", 42 }, { " 7", 7 }, { "-5", -5 }, { "abc", 0 },
        { "12abc", 12 }, { "99999999999", INT_MAX }, { "-99999999999", INT_MIN },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.value, xatoi(c.text));
    }
}

/* The issue time of a token, -1 when it has none. */
static long long token_time(const std::string &token)
{
    size_t dot = token.find('.');
    return dot == std::string::npos ? -1 : atoll(token.substr(0, dot).c_str());
}

TEST_F(InterfaceTest, LoginTokenIsAMacOverThePairAndTime)
{
    const time_t now = 1800000000;
    std::string token = interface_login_token("admin", "pw", now);
    ASSERT_EQ(0u, token.find("1800000000."));
    std::string mac = token.substr(token.find('.') + 1);
    EXPECT_EQ(64u, mac.size());
    EXPECT_EQ(std::string::npos, mac.find_first_not_of("0123456789abcdef"));
    EXPECT_EQ(token, interface_login_token("admin", "pw", now));
    /* Pairs that would join to the same text still differ. */
    EXPECT_NE(interface_login_token("ad", "minpw", now), token);
    std::string later = interface_login_token("admin", "pw", now + 1);
    EXPECT_NE(mac, later.substr(later.find('.') + 1));

    const struct {
        const char *what;
        std::string token;
        std::string user, password;
        time_t at;
        bool valid;
    } cases[] = {
        { "fresh", token, "admin", "pw", now, true },
        { "nearly an hour old", token, "admin", "pw", now + 3599, true },
        { "an hour old", token, "admin", "pw", now + 3600, false },
        { "a little ahead of the clock", token, "admin", "pw", now - 60, true },
        { "far ahead of the clock", token, "admin", "pw", now - 61, false },
        { "another password", token, "admin", "pW", now, false },
        { "another user", token, "admiN", "pw", now, false },
        { "time moved on, MAC kept", "1800000100." + mac, "admin", "pw", now + 100, false },
        { "MAC cut", token.substr(0, token.size() - 1), "admin", "pw", now, false },
        { "leading zero", "0" + token, "admin", "pw", now, false },
        { "no time", "." + mac, "admin", "pw", now, false },
        { "no dot", mac, "admin", "pw", now, false },
        { "empty", "", "admin", "pw", now, false },
        { "sign", "-1." + mac, "admin", "pw", now, false },
        { "the old enciphered pair", "k0puw..cqYv", "admin", "pw", now, false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.valid, interface_login_token_valid(c.token, c.user, c.password, c.at));
    }
}

TEST_F(InterfaceTest, GuessingIsSlowed)
{
    /* Each row: seconds since the start, the pair right or not, what the
     * guard makes of it, and the wait a failure starts. */
    const struct {
        double at;
        bool right;
        interface_attempt_result result;
        int wait;
    } steps[] = {
        { 0, false, INTERFACE_ATTEMPT_FAILED, 0 },
        { 10, false, INTERFACE_ATTEMPT_FAILED, 0 },
        { 20, false, INTERFACE_ATTEMPT_FAILED, 0 },
        { 30, false, INTERFACE_ATTEMPT_FAILED, 0 },
        { 40, false, INTERFACE_ATTEMPT_FAILED, 1 },     /* 5 within a minute */
        { 40.5, false, INTERFACE_ATTEMPT_LOCKED, 0 },   /* not checked */
        { 40.9, true, INTERFACE_ATTEMPT_LOCKED, 0 },    /* not even the right pair */
        { 41, false, INTERFACE_ATTEMPT_FAILED, 2 },     /* checked again; doubled */
        { 42, false, INTERFACE_ATTEMPT_LOCKED, 0 },
        { 43, false, INTERFACE_ATTEMPT_FAILED, 4 },
        { 47, false, INTERFACE_ATTEMPT_FAILED, 8 },
        { 55, false, INTERFACE_ATTEMPT_FAILED, 16 },
        { 71, false, INTERFACE_ATTEMPT_FAILED, 32 },
        { 103, false, INTERFACE_ATTEMPT_FAILED, 64 },
        { 167, false, INTERFACE_ATTEMPT_FAILED, 128 },
        { 295, false, INTERFACE_ATTEMPT_FAILED, 256 },
        { 551, false, INTERFACE_ATTEMPT_FAILED, 300 },  /* at most 5 minutes */
        { 851, false, INTERFACE_ATTEMPT_FAILED, 300 },
        { 1150, true, INTERFACE_ATTEMPT_LOCKED, 0 },
        { 1151, true, INTERFACE_ATTEMPT_ACCEPTED, 0 },  /* clears the address */
        { 1152, false, INTERFACE_ATTEMPT_FAILED, 0 },
    };
    const int64_t start = 5000000;
    for (const auto &s : steps) {
        SCOPED_TRACE(s.at);
        int wait = -1;
        EXPECT_EQ(s.result, interface_login_attempt("192.0.2.1", s.right,
                                                    start + (int64_t)(s.at * 1000), &wait));
        EXPECT_EQ(s.wait, wait);
    }
    /* Another address is not held up by the first one's failures. */
    EXPECT_EQ(INTERFACE_ATTEMPT_ACCEPTED,
              interface_login_attempt("192.0.2.2", true, start + 1153000, nullptr));

    /* Failures spread over more than a minute start no wait, and an
     * address quiet for long starts afresh. */
    interface_login_attempts_clear();
    int wait = -1;
    for (int i = 0; i < 10; i++)
        EXPECT_EQ(INTERFACE_ATTEMPT_FAILED,
                  interface_login_attempt("192.0.2.3", false, start + i * 15001, &wait));
    EXPECT_EQ(0, wait);
}

TEST_F(InterfaceTest, GuessingGuardRemembersBoundedAddresses)
{
    const int64_t start = 5000000;
    for (int i = 0; i < INTERFACE_LOGIN_ADDRESSES_MAX + 100; i++)
        (void)interface_login_attempt("a" + std::to_string(i), false, start + i, nullptr);
    /* The newest addresses are still remembered: five failures of the
     * last one start its wait. */
    std::string last = "a" + std::to_string(INTERFACE_LOGIN_ADDRESSES_MAX + 99);
    int wait = 0;
    for (int i = 0; i < 4; i++)
        (void)interface_login_attempt(last, false, start + 5000 + i, &wait);
    EXPECT_EQ(1, wait);
}

/* ---- Serving ---- */

TEST_F(InterfaceTest, TemplateFilesLoadForEverybody)
{
    Client client("GET http://quill.invalid/template/logo?cache=1 HTTP/1.1");
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("image/gif", r.field("Content-Type"));
    EXPECT_EQ(0, r.body.compare(0, 3, "GIF"));
    EXPECT_EQ(1, client.conn->keepalive_client);
}

TEST_F(InterfaceTest, UnknownTemplateIs404)
{
    Client client("GET http://quill.invalid/template/no-such-page HTTP/1.1");
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(404, r.status);
    EXPECT_TRUE(has(r.body, "File not found"));
}

TEST_F(InterfaceTest, PagesNeedThePermission)
{
    const char *paths[] = { "/config", "/templatex", "/template", "/" };
    for (const char *path : paths) {
        SCOPED_TRACE(path);
        Client client(std::string("GET http://quill.invalid") + path + " HTTP/1.1");
        Reply r = reply_parse(client.serve());
        EXPECT_EQ(403, r.status);
        EXPECT_TRUE(has(r.body, "Access denied"));
        EXPECT_FALSE(has(r.body, "Top Menu"));
    }
}

TEST_F(InterfaceTest, UserStatsWithoutPermissionOrLogin)
{
    Client client("GET http://quill.invalid/userstats HTTP/1.1");
    client.conn->interface_user = "admin";
    client.conn->interface_password = "pw";
    client.conn->userstats = userstats_init();
    client.conn->userstats->Tally("hosts", "<script>alert(1)</script>");
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(has(r.body, "&lt;script&gt;alert(1)&lt;/script&gt;")) << r.body;
    EXPECT_FALSE(has(r.body, "<script>alert"));
    EXPECT_FALSE(has(r.body, "Top Menu"));
    EXPECT_FALSE(has(r.body, "Web interface login"));
}

TEST_F(InterfaceTest, OwnSiteWithoutSlashIsRedirected)
{
    Client client("GET /quill.invalid HTTP/1.0");
    client.conn->permissions = ACCESS_INTERFACE;
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(302, r.status);
    EXPECT_EQ("quill.invalid/", r.field("Location"));
    EXPECT_EQ("0", r.field("Content-Length"));
    EXPECT_EQ("no-store", r.field("Cache-Control"));
}

TEST_F(InterfaceTest, FrameAndMenuWithoutLoginPair)
{
    s_strncpy(proxyhost, "<b>\"proxy\"&co", sizeof proxyhost);
    Client client("GET /quill.invalid/ HTTP/1.0");
    client.conn->permissions = ACCESS_INTERFACE;
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("text/html", r.field("Content-Type"));
    EXPECT_EQ("no-store", r.field("Cache-Control"));
    EXPECT_FALSE(r.field("Date").empty());
    EXPECT_EQ("", r.field("Set-Cookie"));
    EXPECT_TRUE(has(r.body, "<title>Quillmere " QUILL_RELEASE
                            " web interface for &lt;b&gt;&quot;proxy&quot;&amp;co</title>"))
        << r.body;
    EXPECT_TRUE(has(r.body, "Top Menu"));
    const char *links[] = { "connections", "stats", "dnscache", "headers", "cache", "pool",
                            "prefetch", "urlbl", "config", "log", "save", "load", "tavrin" };
    for (const char *link : links)
        EXPECT_TRUE(has(r.body, std::string("<a href=\"") + link + "\">")) << link;
    EXPECT_TRUE(has(r.body, "</td></tr></table></body></html>\n"));
}

const char kValidReferer[] = "\r\nReferer: http://quill.invalid/";

Client *login_post(const std::string &body, const std::string &extra = kValidReferer)
{
    Client *client = new Client("POST http://quill.invalid/stats HTTP/1.1\r\nContent-Length: " +
                                std::to_string(body.size()) + extra);
    client->conn->permissions = ACCESS_INTERFACE;
    client->conn->interface_user = "admin";
    client->conn->interface_password = "pw";
    return client;
}

TEST_F(InterfaceTest, LoginFormWhenNotLoggedIn)
{
    Client client("GET http://quill.invalid//evil.test/\"><script>x</script> HTTP/1.1");
    client.conn->permissions = ACCESS_INTERFACE;
    client.conn->interface_user = "admin";
    client.conn->interface_password = "pw";
    Reply r = reply_parse(client.serve());
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(has(r.body, "Web interface login"));
    EXPECT_FALSE(has(r.body, "Top Menu"));
    EXPECT_EQ("", r.field("Set-Cookie"));
    /* The action stays on this site and carries no markup. */
    EXPECT_TRUE(has(r.body, "<form action=\"/evil.test/&quot;&gt;&lt;script&gt;x&lt;/script&gt;\""
                            " method=\"POST\">"))
        << r.body;
}

TEST_F(InterfaceTest, LoginByFormSetsTheCookieAndShowsThePage)
{
    std::unique_ptr<Client> client(login_post("username=admin&password=pw"));
    client->set_body("username=admin&password=pw");
    Reply r = reply_parse(client->serve());
    EXPECT_EQ(200, r.status);
    EXPECT_TRUE(has(r.body, "Top Menu"));
    EXPECT_TRUE(has(r.body, "smalldialog"));   /* the statistics page */
    std::string cookie = r.field("Set-Cookie");
    ASSERT_EQ(0u, cookie.find("login=")) << cookie;
    std::string token = cookie.substr(6, cookie.find(';') - 6);
    EXPECT_TRUE(interface_login_token_valid(token, "admin", "pw", time(nullptr))) << cookie;
    EXPECT_TRUE(has(cookie, "; path=/; expires=")) << cookie;
    EXPECT_TRUE(has(cookie, " GMT; HttpOnly; SameSite=Strict")) << cookie;
    EXPECT_EQ(1, client->conn->keepalive_client);
}

TEST_F(InterfaceTest, LoginFailures)
{
    const struct {
        const char *body;
        const char *extra;
        const char *log;
    } cases[] = {
        { "username=admin&password=wrong", kValidReferer, "web interface login failed" },
        { "username=admin&password=pwx", kValidReferer, "web interface login failed" },
        { "username=admin&password=p", kValidReferer, "web interface login failed" },
        { "username=admin", kValidReferer, "web interface login failed" },
        /* A form from a foreign page, or without Referer, is not read. */
        { "username=admin&password=pw", "", "web interface request without referer" },
        { "username=admin&password=pw", "\r\nReferer: http://evil.test/",
          "web interface request from invalid referer" },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.body) + c.extra);
        test_log_clear();
        std::unique_ptr<Client> client(login_post(c.body, c.extra));
        client->set_body(c.body);
        Reply r = reply_parse(client->serve());
        EXPECT_EQ(200, r.status);
        EXPECT_TRUE(has(r.body, "Web interface login"));
        EXPECT_FALSE(has(r.body, "Top Menu"));
        EXPECT_EQ("", r.field("Set-Cookie"));
        EXPECT_TRUE(test_log_contains(c.log));
    }
}

TEST_F(InterfaceTest, CookieLogin)
{
    time_t now = time(nullptr);
    std::string token = interface_login_token("admin", "pw", now - 100);
    const struct {
        std::string cookies;
        bool accepted;
    } cases[] = {
        { "Cookie: other=1; login=" + token, true },
        { "Cookie: login=" + token + "x", false },
        { "Cookie: login=" + interface_login_token("admin", "pw", now - 3700), false },
        { "Cookie: login=" + interface_login_token("admin", "other", now), false },
        { "Cookie: login=wrong; login=" + token, false },   /* only the first pair counts */
        { "Cookie: other=1\r\nCookie: login=" + token, false },   /* only the first line */
        { "X-Cookie: login=" + token, false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cookies);
        Client client("GET http://quill.invalid/stats HTTP/1.1\r\n" + c.cookies);
        client.conn->permissions = ACCESS_INTERFACE;
        client.conn->interface_user = "admin";
        client.conn->interface_password = "pw";
        Reply r = reply_parse(client.serve());
        EXPECT_EQ(200, r.status);
        EXPECT_EQ(c.accepted, has(r.body, "Top Menu"));
        EXPECT_EQ(!c.accepted, has(r.body, "Web interface login"));
        std::string cookie = r.field("Set-Cookie");
        if (c.accepted) {
            /* Renewed with the login pair alone, by a token issued now. */
            ASSERT_EQ(0u, cookie.find("login=")) << cookie;
            std::string renewed = cookie.substr(6, cookie.find(';') - 6);
            EXPECT_TRUE(interface_login_token_valid(renewed, "admin", "pw", now)) << cookie;
            EXPECT_GE(token_time(renewed), (long long)now);
            EXPECT_TRUE(has(cookie, "; path=/; expires=")) << cookie;
            EXPECT_TRUE(has(cookie, "; HttpOnly; SameSite=Strict"));
            EXPECT_FALSE(has(cookie, "other"));
        } else {
            EXPECT_EQ("", cookie);
        }
    }
}

TEST_F(InterfaceTest, Dispatch)
{
    const struct {
        const char *path;
        bool stats;
    } cases[] = {
        { "/stats", true }, { "/STATS", true }, { "/stats?x=1", true }, { "/s?x=1", false },
        { "/statsx", false }, { "/stat", false }, { "/config", false },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        Client client(std::string("GET http://quill.invalid") + c.path + " HTTP/1.1");
        client.conn->permissions = ACCESS_INTERFACE;
        Reply r = reply_parse(client.serve());
        EXPECT_EQ(200, r.status);
        EXPECT_TRUE(has(r.body, "Top Menu"));
        EXPECT_EQ(c.stats, has(r.body, "smalldialog"));
    }
    /* Inside the proxy's own site the host name is taken off the path. */
    Client own("GET /quill.invalid/stats HTTP/1.1\r\nHost: proxy.test:3128");
    own.conn->permissions = ACCESS_INTERFACE;
    EXPECT_TRUE(has(reply_parse(own.serve()).body, "smalldialog"));
}

TEST_F(InterfaceTest, PostBodyLimit)
{
    /* A form body exactly at the limit is read and used; one byte more is
     * neither read nor used, and the connection closes after the answer. */
    const struct {
        bool streamed;
        int64_t size;
        bool accepted;
    } cases[] = {
        { true, INTERFACE_POST_MAX, true },
        { true, INTERFACE_POST_MAX + 1, false },
        { false, INTERFACE_POST_MAX, true },
        { false, INTERFACE_POST_MAX + 1, false },
        { true, 26, true },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.streamed) + " " + std::to_string(c.size));
        std::string body = "username=admin&password=pw";
        if ((int64_t)body.size() < c.size)
            body += "&pad=" + std::string((size_t)(c.size - (int64_t)body.size() - 5), 'x');
        ASSERT_EQ(c.size, (int64_t)body.size());
        std::unique_ptr<Client> client(login_post(body));
        if (c.streamed)
            client->stream_body(body);
        else
            client->set_body(body);
        std::string sent = client->serve();
        if (client->writer.joinable() && !c.accepted)
            shutdown(client->peer, SHUT_RDWR);   /* the unread rest: stop the writer */
        Reply r = reply_parse(sent);
        EXPECT_EQ(c.accepted, has(r.body, "Top Menu"));
        bool closes = c.streamed && !c.accepted;
        EXPECT_EQ(closes ? 0 : 1, client->conn->keepalive_client);
        if (!c.accepted) {
            EXPECT_TRUE(test_log_contains("over the limit of 1048576, arguments ignored"));
        }
    }
}

TEST_F(InterfaceTest, UnreadBodyClosesTheConnection)
{
    /* Every answer that leaves a body on the socket ends the connection. */
    const struct {
        const char *head;
        unsigned permissions;
    } cases[] = {
        { "POST http://quill.invalid/stats HTTP/1.1\r\nContent-Length: 5", ACCESS_INTERFACE },
        { "POST http://quill.invalid/stats HTTP/1.1\r\nContent-Length: 5\r\nReferer: "
          "http://evil.test/", ACCESS_INTERFACE },
        { "POST http://quill.invalid/config HTTP/1.1\r\nContent-Length: 5", 0 },
        { "POST http://quill.invalid/template/logo HTTP/1.1\r\nContent-Length: 5", 0 },
        { "POST /quill.invalid HTTP/1.0\r\nContent-Length: 5", ACCESS_INTERFACE },
        { "POST http://quill.invalid/stats HTTP/1.1\r\nTransfer-Encoding: chunked\r\n"
          "Referer: http://quill.invalid/", ACCESS_INTERFACE },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.head);
        Client client(c.head);
        client.conn->permissions = c.permissions;
        client.conn->body = new Filebuf();
        client.conn->flags |= CONN_DIRECT_POST;
        Reply r = reply_parse(client.serve());
        EXPECT_NE(0, r.status);
        EXPECT_EQ(0, client.conn->keepalive_client);
        EXPECT_EQ("close", r.field("Connection"));
    }
}

TEST_F(InterfaceTest, QueryArgumentsNeedTheReferer)
{
    /* The login by query string works from the interface's own page only. */
    Client ok("GET http://quill.invalid/stats?username=admin&password=pw HTTP/1.1" +
              std::string(kValidReferer));
    ok.conn->permissions = ACCESS_INTERFACE;
    ok.conn->interface_user = "admin";
    ok.conn->interface_password = "pw";
    EXPECT_TRUE(has(reply_parse(ok.serve()).body, "Top Menu"));

    Client foreign("GET http://quill.invalid/stats?username=admin&password=pw HTTP/1.1");
    foreign.conn->permissions = ACCESS_INTERFACE;
    foreign.conn->interface_user = "admin";
    foreign.conn->interface_password = "pw";
    EXPECT_FALSE(has(reply_parse(foreign.serve()).body, "Top Menu"));
}

TEST_F(InterfaceTest, SendResponse)
{
    Client client("GET http://quill.invalid/ HTTP/1.1");
    client.conn->logentry.Reset();
    Filebuf page;
    ASSERT_EQ(FILEBUF_OK, page.Add("<p>hello</p>", 12));
    std::string sent;
    client.reader = std::thread([&] {
        char buf[4096];
        struct pollfd p = { client.peer, POLLIN, 0 };
        while (poll(&p, 1, 10000) > 0) {
            ssize_t n = read(client.peer, buf, sizeof buf);
            if (n <= 0)
                break;
            sent.append(buf, (size_t)n);
        }
    });
    interface_send_response(client.conn, &page);
    shutdown(client.conn->client->fd, SHUT_WR);
    client.reader.join();
    Reply r = reply_parse(sent);
    EXPECT_EQ(200, r.status);
    EXPECT_EQ("text/html", r.field("Content-Type"));
    EXPECT_EQ("no-store", r.field("Cache-Control"));
    EXPECT_EQ("DENY", r.field("X-Frame-Options"));
    EXPECT_EQ("frame-ancestors 'none'", r.field("Content-Security-Policy"));
    EXPECT_EQ("<p>hello</p>", r.body);
    EXPECT_EQ(200, client.conn->logentry.status);
    EXPECT_EQ(12, client.conn->logentry.size);
    EXPECT_EQ("text/html", client.conn->logentry.mime);
}

/* Every kind of answer the interface gives forbids framing. */
TEST_F(InterfaceTest, NoAnswerMayBeFramed)
{
    const struct {
        const char *what;
        const char *head;
        unsigned permissions;
        const char *user;
        int status;
    } cases[] = {
        { "page", "GET http://quill.invalid/stats HTTP/1.1", ACCESS_INTERFACE, "", 200 },
        { "login form", "GET http://quill.invalid/stats HTTP/1.1", ACCESS_INTERFACE, "admin", 200 },
        { "redirect", "GET /quill.invalid HTTP/1.0", ACCESS_INTERFACE, "", 302 },
        { "no permission", "GET http://quill.invalid/config HTTP/1.1", 0, "", 403 },
        { "template file", "GET http://quill.invalid/template/logo HTTP/1.1", 0, "", 200 },
        { "unknown template", "GET http://quill.invalid/template/nothing HTTP/1.1", 0, "", 404 },
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        Client client(c.head);
        client.conn->permissions = c.permissions;
        client.conn->interface_user = c.user;
        client.conn->interface_password = *c.user ? "pw" : "";
        Reply r = reply_parse(client.serve());
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ("DENY", r.field("X-Frame-Options"));
        EXPECT_EQ("frame-ancestors 'none'", r.field("Content-Security-Policy"));
    }
}

}  // namespace
