/* Access rules: the shared two-list evaluation, interface patterns and
 * address matching, the decision table of a rule set with allow-first on
 * and off, what an accepting rule applies, Basic credentials with the
 * challenge and the refusal page, the access-log records, the per-rule
 * statistics trees across a reload, the refusal of rules that cannot
 * compile, the advice lines, and PAM through the real Linux-PAM library
 * with the result cache. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "access.h"
#include "base64.h"
#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "mem.h"
#include "options.h"
#include "password_cache.h"
#include "profiles.h"
#include "section.h"
#include "stats.h"
#include "templates.h"
#include "test_support.h"
#include "urlcommand.h"
#include "xml.h"

namespace {

/* The shipped description and the sections the access rules call, once
 * per process; the proxy host name is the realm. */
void sections_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    general_section = new GeneralSection();
    profile_section = new ProfileSection();
    template_section = new TemplateSection();
    access_section = new AccessSection();
    global->password_cache = password_cache_create(password_cachesize);
    globalstats_init();
    snprintf(proxyhost, sizeof proxyhost, "%s", "proxy.test");
    done = true;
}

using Fields = std::map<std::string, std::string>;

std::string xml_escape(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '&')
            out += "&amp;";
        else if (c == '<')
            out += "&lt;";
        else if (c == '>')
            out += "&gt;";
        else
            out += c;
    }
    return out;
}

/* One rule of list (allow or deny) with every field; defaults: enabled,
 * no conditions, permission proxy. */
std::string rule_entry(const char *list, const Fields &fields)
{
    Fields f = {
        { "enabled", "true" }, { "comment", "" }, { "log", "false" }, { "profiles", "" },
        { "interfaces", "" }, { "addresses", "" }, { "pam", "false" }, { "username", "" },
        { "password", "" }, { "permissions", "proxy" }, { "bypass", "" },
        { "interface-username", "" }, { "interface-password", "" }, { "add-profiles", "" },
    };
    for (const auto &kv : fields)
        f[kv.first] = kv.second;
    static const char *const order[] = {
        "enabled", "comment", "log", "profiles", "interfaces", "addresses", "pam", "username",
        "password", "permissions", "bypass", "interface-username", "interface-password",
        "add-profiles",
    };
    std::string out = std::string("<") + list + ">";
    for (const char *name : order)
        out += std::string("<") + name + ">" + xml_escape(f[name]) + "</" + name + ">";
    return out + "</" + list + ">";
}

/* Loads the access rules; returns the section load's result. */
int configure(bool allow_first, const std::vector<Fields> &allow, const std::vector<Fields> &deny)
{
    sections_ready();
    std::string text = std::string("<quillmere><access><allow-first>") +
                       (allow_first ? "true" : "false") + "</allow-first>";
    for (const Fields &r : allow)
        text += rule_entry("allow", r);
    for (const Fields &r : deny)
        text += rule_entry("deny", r);
    text += "</access></quillmere>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    return access_section->load(&doc, CONFIG_LOAD_REPLACE);
}

std::string basic(const std::string &pair)
{
    std::vector<char> out((size_t)base64_encoded_size((int64_t)pair.size()) + 1);
    to64frombits(out.data(), (const unsigned char *)pair.data(), (int64_t)pair.size());
    return "Basic " + std::string(out.data());
}

/* A client connection with one parsed request, as the pipeline hands it
 * to the access rules. */
class Client {
public:
    Client(const std::string &request, const char *ip = "172.16.0.1",
           const char *local = "127.0.0.1", int port = 3128)
    {
        conn = connection_new();
        conn->ip = xstrdup(ip);
        conn->interface = xstrdup(local);
        conn->port = port;
        conn->body = new Filebuf();
        next(request);
    }
    ~Client()
    {
        end_request();
        delete conn->body;
        connection_free(conn);
    }
    /* The per-request clean-up, then the next request on the connection. */
    void next(const std::string &request)
    {
        end_request();
        conn->header = http_header_parse_request(request.c_str());
        EXPECT_NE(nullptr, conn->header) << request;
    }
    void end_request()
    {
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        url_command_free(conn->urlcommands);
        conn->header = conn->rheader = nullptr;
        conn->urlcommands = nullptr;
        conn->permissions = 0;
        conn->profiles.clear();
    }
    std::string user() const { return conn->user ? conn->user : ""; }
    std::string body() const
    {
        return conn->body && conn->body->data ? std::string(conn->body->data, (size_t)conn->body->size)
                                              : "";
    }

    CONNECTION_T *conn;
};

std::string get_absolute(const std::string &extra = "")
{
    return "GET http://www.example.org/ HTTP/1.1\r\nHost: www.example.org\r\n" + extra + "\r\n";
}

/* The comment of the rule that accepts the connection, "(built-in)" for
 * the built-in rule, "(refused)" for none. */
std::string decided(Client &client, const char *user = nullptr, const char *password = nullptr)
{
    SectionReadGuard guard(*access_section);
    const Access *rule = access_section->check(client.conn, user, password);
    if (!rule)
        return "(refused)";
    if (rule->comment.empty() && rule->permissions == 0xFFFFFFFFu)
        return "(built-in)";
    return rule->comment;
}

std::string file_text(const std::string &path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

/* The two-list evaluation, for any rule type: which outcome and which rule
 * decides, with allow-first on and off. */
TEST(AllowDeny, Evaluation)
{
    const std::vector<int> allow = { 1, 2 }, deny = { 3, 4 };
    struct Case {
        bool allow_first;
        std::vector<int> matching;
        int outcome;
        int rule;   /* 0: the built-in default */
    };
    const Case cases[] = {
        { true, {}, ALLOWDENY_REFUSED, 0 },
        { true, { 3 }, ALLOWDENY_REFUSED, 0 },          /* deny alone: no allow match */
        { true, { 2 }, ALLOWDENY_ACCEPTED, 2 },
        { true, { 1, 2 }, ALLOWDENY_ACCEPTED, 1 },      /* the first in list order */
        { true, { 2, 4, 3 }, ALLOWDENY_REFUSED, 3 },
        { false, {}, ALLOWDENY_ACCEPTED, 0 },
        { false, { 1 }, ALLOWDENY_ACCEPTED, 0 },        /* the allow list is not searched */
        { false, { 4 }, ALLOWDENY_REFUSED, 4 },
        { false, { 4, 2 }, ALLOWDENY_ACCEPTED, 2 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.allow_first << " rule " << c.rule);
        std::vector<int> asked;
        auto result = allowdeny_evaluate(allow, deny, c.allow_first, [&](const int &r) {
            asked.push_back(r);
            for (int m : c.matching)
                if (m == r)
                    return true;
            return false;
        });
        EXPECT_EQ(c.outcome, result.outcome);
        EXPECT_EQ(c.rule, result.rule ? *result.rule : 0);
        if (!c.allow_first && c.matching.empty()) {
            EXPECT_EQ((std::vector<int>{ 3, 4 }), asked);
        }
    }
}

TEST(AccessMatch, InterfacePatterns)
{
    struct Case {
        const char *patterns;
        const char *address;
        int port;
        bool fits;
    };
    const Case cases[] = {
        { "", "10.0.0.1", 80, true },
        { "*:*", "10.0.0.1", 80, true },
        { "*:3128", "10.0.0.1", 3128, true },
        { "*:3128", "192.168.1.1", 3128, true },
        { "*:3128", "10.0.0.1", 8080, false },
        { "10.0.0.1:*", "10.0.0.1", 9, true },
        { "10.0.0.1:*", "10.0.0.2", 9, false },
        { "10.0.0.1:80", "10.0.0.1", 80, true },
        { "10.0.0.1", "10.0.0.1", 80, false },               /* no colon: never */
        { "10.0.0.1:80x", "10.0.0.1", 80, true },            /* the number at the start */
        { "10.0.0.1:99999999999999999999", "10.0.0.1", 80, false },
        { " *:3128 ", "10.0.0.1", 3128, true },
        { "1234567890123456:*", "1234567890123456", 80, false },   /* over 15 characters */
        { "10.0.0.2:80,*:8080", "10.0.0.1", 8080, true },
        { "10.0.0.2:80,*:8080", "10.0.0.1", 80, false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.patterns);
        EXPECT_EQ(c.fits, access_interface_match(StringList(c.patterns, ','), c.address, c.port));
    }
}

/* Addresses that are not exactly one dotted IPv4 address lie in no
 * non-empty list, and never throw. */
TEST(AccessMatch, Addresses)
{
    IpRangeList lan("10.0.0.0-10.0.0.255,192.168.1.7");
    struct Case {
        const char *address;
        bool in;
    };
    const Case cases[] = {
        { "10.0.0.5", true }, { " 10.0.0.5 ", true }, { "192.168.1.7", true },
        { "192.168.1.8", false }, { "10.0.0.5, 172.16.0.1", false }, { "10.0.0.5,", false },
        { "10.0.0", false }, { "10.0.0.256", false }, { "10.0.0.0005", false },
        { "unknown", false }, { "", false }, { "10..0.5", false }, { "-1.0.0.0", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.address);
        EXPECT_EQ(c.in, access_address_match(lan, c.address));
    }
    EXPECT_FALSE(access_address_match(lan, nullptr));
    EXPECT_TRUE(access_address_match(IpRangeList(), "not an address"));
}

/* One rule set, many clients: addresses, X-Forwarded-For, listeners,
 * credentials, allow-first on and off. */
TEST(AccessSection, DecisionTable)
{
    const std::vector<Fields> allow = {
        { { "comment", "lan" }, { "addresses", "10.0.0.0-10.0.0.255" } },
        { { "comment", "disabled" }, { "enabled", "false" } },
        { { "comment", "port 8080" }, { "interfaces", "*:8080" } },
        { { "comment", "bob" }, { "username", "bob" }, { "password", "secret" } },
        { { "comment", "staff" }, { "pam", "true" }, { "username", "^staff-" } },
    };
    const std::vector<Fields> deny = {
        { { "comment", "bad host" }, { "addresses", "10.0.0.66" } },
        { { "comment", "public listener" }, { "interfaces", "192.0.2.1:*" } },
    };
    struct Case {
        bool allow_first;
        const char *ip;
        const char *xff;
        const char *local;
        int port;
        const char *user;
        const char *password;
        const char *expected;
    };
    const Case cases[] = {
        { true, "10.0.0.5", nullptr, "127.0.0.1", 3128, nullptr, nullptr, "lan" },
        { true, "10.0.0.66", nullptr, "127.0.0.1", 3128, nullptr, nullptr, "(refused)" },
        /* X-Forwarded-For never grants: the connecting address must be
         * listed (a downstream proxy in the range passes) ... */
        { true, "172.16.0.1", "10.0.0.7", "127.0.0.1", 3128, nullptr, nullptr, "bob" },
        { false, "172.16.0.1", "10.0.0.7", "127.0.0.1", 3128, nullptr, nullptr, "(built-in)" },
        { true, "10.0.0.1", "10.0.0.7", "127.0.0.1", 3128, nullptr, nullptr, "lan" },
        /* ... while a deny rule refuses on either address. */
        { true, "10.0.0.5", "10.0.0.66", "127.0.0.1", 3128, nullptr, nullptr, "(refused)" },
        /* no credentials: the first rule whose other conditions hold */
        { true, "172.16.0.1", "10.0.0.7, 172.16.0.1", "127.0.0.1", 3128, nullptr, nullptr, "bob" },
        { true, "172.16.0.1", "garbage", "127.0.0.1", 3128, nullptr, nullptr, "bob" },
        { true, "172.16.0.1", nullptr, "127.0.0.1", 8080, nullptr, nullptr, "port 8080" },
        { true, "172.16.0.1", nullptr, "127.0.0.1", 3128, "bob", "secret", "bob" },
        { true, "172.16.0.1", nullptr, "127.0.0.1", 3128, "bob", "wrong", "(refused)" },
        { true, "172.16.0.1", nullptr, "127.0.0.1", 3128, "BOB", "secret", "(refused)" },
        { true, "172.16.0.1", nullptr, "127.0.0.1", 3128, "Staff-Anna", "x", "staff" },
        /* credentials never fit a rule without a user name */
        { true, "10.0.0.5", nullptr, "127.0.0.1", 3128, "bob", "wrong", "(refused)" },
        { true, "10.0.0.5", nullptr, "192.0.2.1", 3128, nullptr, nullptr, "(refused)" },
        { false, "172.16.0.1", nullptr, "127.0.0.1", 3128, nullptr, nullptr, "(built-in)" },
        { false, "172.16.0.1", nullptr, "127.0.0.1", 3128, "eve", "x", "(built-in)" },
        { false, "10.0.0.66", nullptr, "127.0.0.1", 3128, nullptr, nullptr, "lan" },
        { false, "10.0.0.66", nullptr, "127.0.0.1", 3128, "bob", "wrong", "(refused)" },
        { false, "10.0.0.66", nullptr, "127.0.0.1", 3128, "bob", "secret", "bob" },
        /* made-up credentials do not slip past a deny rule */
        { false, "10.0.0.66", nullptr, "127.0.0.1", 3128, "x", "y", "(refused)" },
        { true, "10.0.0.66", nullptr, "127.0.0.1", 3128, "bob", "secret", "(refused)" },
        { false, "172.16.0.1", nullptr, "192.0.2.1", 8080, nullptr, nullptr, "port 8080" },
    };
    for (bool allow_first : { true, false }) {
        ASSERT_EQ(SECTION_LOADED, configure(allow_first, allow, deny));
        for (const Case &c : cases) {
            if (c.allow_first != allow_first)
                continue;
            SCOPED_TRACE(testing::Message() << allow_first << " " << c.ip << " xff "
                                            << (c.xff ? c.xff : "-") << " " << c.local << ":"
                                            << c.port << " " << (c.user ? c.user : "-"));
            std::string extra = c.xff ? std::string("X-Forwarded-For: ") + c.xff + "\r\n" : "";
            Client client(get_absolute(extra), c.ip, c.local, c.port);
            EXPECT_EQ(c.expected, decided(client, c.user, c.password));
        }
    }
}

/* What the accepting rule gives the connection; the built-in rule grants
 * everything; bypass bits accumulate while permissions are replaced. */
TEST(AccessSection, SetupAppliesTheRule)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true,
                        { { { "comment", "office" },
                            { "permissions", "proxy,bypass,commands" },
                            { "bypass", "mime,icap" },
                            { "add-profiles", "office,staff,office" },
                            { "log", "true" },
                            { "interface-username", "admin" },
                            { "interface-password", "pw" } } },
                        {}));
    Client client(get_absolute("X-Forwarded-For: 10.9.8.7\r\n"));
    client.conn->bypass = BYPASS_COOKIES;
    client.conn->profiles.push_back("stale");
    test_log_clear();
    ASSERT_TRUE(access_section->check_and_setup(client.conn));
    EXPECT_EQ(unsigned(ACCESS_PROXY | ACCESS_BYPASS | ACCESS_COMMANDS), client.conn->permissions);
    EXPECT_EQ(unsigned(BYPASS_COOKIES | BYPASS_MIME | BYPASS_ICAP), client.conn->bypass);
    EXPECT_EQ((std::list<std::string>{ "office", "staff" }), client.conn->profiles);
    EXPECT_TRUE(test_log_contains("Added Profile: staff"));
    EXPECT_EQ("admin", client.conn->interface_user);
    EXPECT_EQ("pw", client.conn->interface_password);
    EXPECT_EQ("anonymous@10.9.8.7", client.user());
    EXPECT_EQ(0u, client.conn->auth_flags & AUTH_REQUIRED);
    ASSERT_NE(nullptr, client.conn->userstats);

    /* The "bypass" command: only with ACCESS_BYPASS, applied twice alike. */
    char labels[] = "xx--bypass[-i+f].www.example.org";
    client.conn->urlcommands = url_command_parse(labels);
    bypass_check(client.conn);
    bypass_check(client.conn);
    EXPECT_EQ(unsigned(BYPASS_COOKIES | BYPASS_MIME | BYPASS_URLFILTER), client.conn->bypass);
    client.conn->permissions &= ~ACCESS_BYPASS;
    char all[] = "xx--bypass.www.example.org";
    url_command_free(client.conn->urlcommands);
    client.conn->urlcommands = url_command_parse(all);
    bypass_check(client.conn);
    EXPECT_EQ(unsigned(BYPASS_COOKIES | BYPASS_MIME | BYPASS_URLFILTER), client.conn->bypass);

    /* allow-first off and only allow rules: the built-in rule. */
    ASSERT_EQ(SECTION_LOADED, configure(false, { { { "addresses", "10.0.0.1" } } }, {}));
    Client other(get_absolute());
    ASSERT_TRUE(access_section->check_and_setup(other.conn));
    EXPECT_EQ(0xFFFFFFFFu, other.conn->permissions);
    EXPECT_EQ(0u, other.conn->bypass);
    EXPECT_TRUE(other.conn->profiles.empty());
    EXPECT_EQ("", other.conn->interface_user);
    EXPECT_EQ("anonymous@172.16.0.1", other.user());
}

/* Basic credentials on proxy and origin-form requests: the challenge, the
 * verified user, credentials meant for the origin server, passwords with
 * colons, and names that were never verified. */
class AccessAuth : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(SECTION_LOADED,
                  configure(true,
                            { { { "comment", "lan" }, { "addresses", "10.0.0.0-10.0.0.255" } },
                              { { "comment", "bob" },
                                { "username", "bob" },
                                { "password", "Pa:ss:word" },
                                { "permissions", "proxy,transparent" } } },
                            {}));
        test_log_clear();
    }
    void TearDown() override
    {
        EXPECT_FALSE(test_log_contains("Pa:ss:word"));
        EXPECT_FALSE(test_log_contains("Wr0ngPass"));
    }
};

TEST_F(AccessAuth, ChallengeWithoutCredentials)
{
    Client client("POST http://www.example.org/form HTTP/1.1\r\nContent-Length: 11\r\n\r\n");
    ASSERT_EQ(FILEBUF_OK, client.conn->body->Add("secret body", 11));
    EXPECT_EQ(1, access_auth(client.conn, nullptr));
    HEADER *r = client.conn->rheader;
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(407, r->status);
    ASSERT_NE(nullptr, r->proxy_authenticate);
    EXPECT_STREQ("Basic realm=\"proxy.test\"", r->proxy_authenticate);
    EXPECT_EQ(nullptr, r->www_authenticate);
    EXPECT_TRUE(r->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(0, r->content_length);
    EXPECT_EQ("", client.body());              /* the request body is not echoed */
    EXPECT_EQ(1, client.conn->keepalive_client);
    EXPECT_TRUE(client.conn->auth_flags & AUTH_REQUIRED);
    EXPECT_EQ("", client.user());

    /* Still challenged on the same connection with an anonymous request. */
    client.next(get_absolute());
    EXPECT_EQ(1, access_auth(client.conn, nullptr));
    EXPECT_EQ(407, client.conn->rheader->status);

    /* The right credentials, the password with colons in it. */
    client.next(get_absolute("Proxy-Authorization: " + basic("bob:Pa:ss:word") + "\r\n"));
    EXPECT_EQ(0, access_auth(client.conn, nullptr));
    EXPECT_EQ(nullptr, client.conn->rheader);
    EXPECT_EQ(unsigned(ACCESS_PROXY | ACCESS_TRANSPARENT), client.conn->permissions);
    EXPECT_EQ("bob@172.16.0.1", client.user());
    EXPECT_EQ(0u, client.conn->auth_flags & AUTH_REQUIRED);
    EXPECT_TRUE(client.conn->auth_flags & AUTH_CREDENTIALS_USED);   /* not forwarded */

    /* The next request without Proxy-Authorization does not keep the mark,
     * and an X-Forwarded-For naming a listed address grants nothing. */
    client.next(get_absolute("X-Forwarded-For: 10.0.0.9\r\n"));
    EXPECT_EQ(1, access_auth(client.conn, nullptr));
    EXPECT_EQ(407, client.conn->rheader->status);
    EXPECT_EQ(0u, client.conn->auth_flags & AUTH_CREDENTIALS_USED);

    /* A listed downstream proxy passes; the user name records the address
     * it forwards for. */
    Client proxied(get_absolute("X-Forwarded-For: 10.0.0.9\r\n"), "10.0.0.1");
    EXPECT_EQ(0, access_auth(proxied.conn, nullptr));
    EXPECT_EQ("anonymous@10.0.0.9", proxied.user());
}

TEST_F(AccessAuth, UnreadBodyClosesTheConnection)
{
    struct Case {
        const char *request;
        unsigned flags;
        int keepalive;
    };
    const Case cases[] = {
        { "POST http://www.example.org/ HTTP/1.1\r\nContent-Length: 10\r\n\r\n", CONN_DIRECT_POST, 0 },
        { "POST http://www.example.org/ HTTP/1.1\r\nContent-Length: 10\r\n\r\n", 0, 0 },
        { "POST http://www.example.org/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", 0, 0 },
        { "POST http://www.example.org/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n", 0, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        Client client(c.request);
        client.conn->flags = c.flags;
        EXPECT_EQ(1, access_auth(client.conn, nullptr));
        ASSERT_NE(nullptr, client.conn->rheader);
        EXPECT_EQ(407, client.conn->rheader->status);
        EXPECT_EQ(c.keepalive, client.conn->keepalive_client);
    }
}

TEST_F(AccessAuth, OriginFormCredentials)
{
    /* Addressed to the proxy itself: 401, and Authorization counts. */
    Client client("GET /stats HTTP/1.1\r\nHost: PROXY.test\r\n\r\n");
    EXPECT_EQ(1, access_auth(client.conn, nullptr));
    ASSERT_NE(nullptr, client.conn->rheader);
    EXPECT_EQ(401, client.conn->rheader->status);
    ASSERT_NE(nullptr, client.conn->rheader->www_authenticate);
    EXPECT_STREQ("Basic realm=\"proxy.test\"", client.conn->rheader->www_authenticate);
    EXPECT_EQ(nullptr, client.conn->rheader->proxy_authenticate);

    client.next("GET /stats HTTP/1.1\r\nHost: proxy.test\r\nAuthorization: " +
                basic("bob:Pa:ss:word") + "\r\n\r\n");
    EXPECT_EQ(0, access_auth(client.conn, nullptr));
    EXPECT_EQ("bob@172.16.0.1", client.user());
    EXPECT_EQ(0u, client.conn->auth_flags & AUTH_CREDENTIALS_USED);

    /* For another host, Authorization is the origin server's: never taken. */
    Client other("GET / HTTP/1.1\r\nHost: www.example.org\r\nAuthorization: " +
                 basic("bob:Pa:ss:word") + "\r\n\r\n");
    EXPECT_EQ(1, access_auth(other.conn, nullptr));
    ASSERT_NE(nullptr, other.conn->rheader);
    EXPECT_EQ(401, other.conn->rheader->status);
    EXPECT_EQ("", other.user());

    /* Wrong credentials to the proxy itself are refused and logged. */
    Client wrong("GET / HTTP/1.1\r\nAuthorization: " + basic("bob:Wr0ngPass") + "\r\n\r\n");
    EXPECT_EQ(1, access_auth(wrong.conn, nullptr));
    EXPECT_EQ(401, wrong.conn->rheader->status);
    EXPECT_TRUE(test_log_contains("security: authentication failed for bob@172.16.0.1"));
    EXPECT_EQ("", wrong.user());
}

TEST_F(AccessAuth, UnverifiedNamesAreNotRecorded)
{
    /* Wrong credentials on a proxy request fall back to the rule that takes
     * the client without credentials: the anonymous user, and the
     * credentials stay the next proxy's. */
    Client lan(get_absolute("Proxy-Authorization: " + basic("bob:Wr0ngPass") + "\r\n"), "10.0.0.5");
    EXPECT_EQ(0, access_auth(lan.conn, nullptr));
    EXPECT_EQ(unsigned(ACCESS_PROXY), lan.conn->permissions);
    EXPECT_EQ("anonymous@10.0.0.5", lan.user());
    EXPECT_EQ(0u, lan.conn->auth_flags & AUTH_CREDENTIALS_USED);

    /* The same outside the lan: the fallback rule wants credentials. */
    Client outside(get_absolute("Proxy-Authorization: " + basic("mallory:Wr0ngPass") + "\r\n"));
    EXPECT_EQ(1, access_auth(outside.conn, nullptr));
    EXPECT_EQ(407, outside.conn->rheader->status);
    EXPECT_EQ("", outside.user());

    /* The built-in rule checks no credentials, so it verifies no name. */
    ASSERT_EQ(SECTION_LOADED, configure(false, {}, {}));
    Client any(get_absolute("Proxy-Authorization: " + basic("mallory:Wr0ngPass") + "\r\n"));
    EXPECT_EQ(0, access_auth(any.conn, nullptr));
    EXPECT_EQ("anonymous@172.16.0.1", any.user());
    EXPECT_EQ(0u, any.conn->auth_flags & AUTH_CREDENTIALS_USED);
}

/* Values that do not decode into a name and a password call no rule; the
 * connection's AUTH_REQUIRED decides. */
TEST_F(AccessAuth, UndecodableCredentials)
{
    const std::string values[] = {
        "Basic", "Basic !!!!", basic("bob"), basic(":Pa:ss:word"), basic("bob:"),
        "Basic " + std::string("Ym9iAFBhOnNzOndvcmQ="),   /* "bob\0Pa:ss:word" */
    };
    for (const std::string &value : values) {
        SCOPED_TRACE(value);
        Client client(get_absolute("Proxy-Authorization: " + value + "\r\n"));
        EXPECT_EQ(0, access_auth(client.conn, nullptr));
        EXPECT_EQ(0u, client.conn->permissions);
        EXPECT_EQ("", client.user());
        client.conn->auth_flags |= AUTH_REQUIRED;
        client.next(get_absolute("Proxy-Authorization: " + value + "\r\n"));
        EXPECT_EQ(1, access_auth(client.conn, nullptr));
        EXPECT_EQ(407, client.conn->rheader->status);
    }
}

/* A refused client gets the noaccess page with status 200, and its
 * record says so: written by the request's end, once the page is out, so
 * that it holds the page's status and size. */
TEST(AccessRefusal, NoAccessPageAndLogs)
{
    ASSERT_EQ(SECTION_LOADED, configure(true, { { { "addresses", "10.0.0.0-10.0.0.255" } } }, {}));
    std::string dir = test_temp_dir();
    snprintf(slogfile, sizeof slogfile, "%s/access.log", dir.c_str());
    snprintf(elogfile, sizeof elogfile, "%s/extended.log", dir.c_str());
    test_log_clear();

    Client client("POST http://www.example.org/ HTTP/1.1\r\nContent-Length: 4\r\n\r\n");
    ASSERT_EQ(FILEBUF_OK, client.conn->body->Add("body", 4));
    client.conn->keepalive_client = 1;
    EXPECT_EQ(1, access_auth(client.conn, nullptr));
    ASSERT_NE(nullptr, client.conn->rheader);
    EXPECT_EQ(200, client.conn->rheader->status);
    EXPECT_EQ(0u, client.conn->permissions);
    std::string page = client.body();
    EXPECT_NE(std::string::npos, page.find("<html")) << page;
    EXPECT_NE("body", page);
    EXPECT_EQ(1, client.conn->keepalive_client);
    EXPECT_TRUE(test_log_contains("[IP:172.16.0.1] access policy has refused connection on port 3128"));
    EXPECT_TRUE(test_log_contains("[IP:172.16.0.1] Access Denied by Access Restrictions"));

    EXPECT_EQ("", file_text(slogfile));   /* the page is not out yet */
    client.conn->logentry.status = client.conn->rheader->status;
    client.conn->logentry.WriteOnce();
    std::string plain = file_text(slogfile), extended = file_text(elogfile);
    EXPECT_NE(std::string::npos, plain.find("TCP_DENIED/200")) << plain;
    EXPECT_NE(std::string::npos, extended.find("access-section")) << extended;
    EXPECT_NE(std::string::npos, extended.find("access policy restrictions")) << extended;
    slogfile[0] = elogfile[0] = '\0';

    /* A body still on the socket: the answer closes the connection. */
    Client streamed("POST http://www.example.org/ HTTP/1.1\r\nContent-Length: 40000\r\n\r\n");
    streamed.conn->flags |= CONN_DIRECT_POST;
    streamed.conn->keepalive_client = 1;
    EXPECT_EQ(1, access_auth(streamed.conn, nullptr));
    EXPECT_EQ(200, streamed.conn->rheader->status);
    EXPECT_EQ(0, streamed.conn->keepalive_client);
}

/* Every accepted request counts the client address; each rule has its
 * own tree, a reload starts new ones, and a connection keeps the tree it
 * took until it takes another. */
TEST(AccessStats, TreesAcrossAReload)
{
    ASSERT_EQ(SECTION_LOADED, configure(true, { { { "comment", "all" } } }, {}));
    Stats *g = globalstats();
    uint64_t before = 0;
    (void)g->Value("ip addresses", "172.16.0.99", &before);

    Client client(get_absolute(), "172.16.0.99");
    EXPECT_EQ(0, access_auth(client.conn, nullptr));
    uint64_t after = 0;
    ASSERT_TRUE(g->Value("ip addresses", "172.16.0.99", &after));
    EXPECT_EQ(before + 1, after);

    Stats *old_tree = client.conn->userstats;
    ASSERT_NE(nullptr, old_tree);
    EXPECT_EQ(2, old_tree->refs);                      /* the rule and the connection */
    {
        SectionReadGuard guard(*access_section);
        const Access *rule = access_section->check(client.conn, nullptr, nullptr);
        Access copy(*rule);
        EXPECT_EQ(rule->stats, copy.stats);
        EXPECT_EQ(3, old_tree->refs);
    }
    statincr_httprequests(client.conn);

    ASSERT_EQ(SECTION_LOADED, configure(true, { { { "comment", "all" } } }, {}));
    EXPECT_EQ(1, old_tree->refs);                      /* the connection keeps it */
    statincr_httprequests(client.conn);
    uint64_t counted = 0;
    ASSERT_TRUE(old_tree->Value("requests", "HTTP requests", &counted));
    EXPECT_EQ(2u, counted);

    client.next(get_absolute());
    EXPECT_EQ(0, access_auth(client.conn, nullptr));  /* the old tree is freed here */
    ASSERT_NE(nullptr, client.conn->userstats);
    ASSERT_TRUE(client.conn->userstats->Value("requests", "HTTP requests", &counted));
    EXPECT_EQ(0u, counted);                            /* a new rule starts from zero */
}

/* A pam rule whose user-name expression does not compile is refused at
 * load; the section keeps its rules. */
TEST(AccessLoad, RefusesRulesThatCannotCompile)
{
    ASSERT_EQ(SECTION_LOADED, configure(true, { { { "comment", "keep" } } }, {}));
    test_log_clear();
    EXPECT_NE(SECTION_LOADED,
              configure(true, { { { "comment", "broken" }, { "pam", "true" }, { "username", "([" } } }, {}));
    EXPECT_TRUE(test_log_contains("flawed XML file, section access, element allow: username must "
                                  "be a valid regular expression, but it is given value (["));
    ASSERT_EQ(1u, access_section->subsections[0].items.size());
    EXPECT_EQ("keep", access_section->subsections[0].items.front().fields[1].text);
    Client client(get_absolute());
    EXPECT_EQ("keep", decided(client));

    /* A non-pam rule compares its name exactly: any text is a name. */
    EXPECT_EQ(SECTION_LOADED,
              configure(true, { { { "comment", "exact" }, { "username", "([" }, { "password", "x" } } }, {}));
    EXPECT_EQ("exact", decided(client, "([", "x"));

    /* Built without the load's check, the rule never matches. */
    Item item(access_section->subsections[0]);
    item.fields[6].value = 1;
    item.fields[7].text = "([";
    Access rule(item);
    EXPECT_TRUE(rule.refused);
}

/* Rules that open the web interface without a login pair are pointed out. */
TEST(AccessLoad, AdviceForAnOpenInterface)
{
    test_log_clear();
    ASSERT_EQ(SECTION_LOADED,
              configure(true,
                        { { { "comment", "open door" }, { "permissions", "interface,proxy" },
                            { "interface-username", "admin" } },
                          { { "comment", "closed door" }, { "permissions", "interface" },
                            { "interface-username", "admin" }, { "interface-password", "pw" } },
                          { { "comment", "off" }, { "enabled", "false" }, { "permissions", "interface" } } },
                        {}));
    EXPECT_TRUE(test_log_contains("advice: access: allow rule \"open door\" grants the web interface "
                                  "without a login"));
    EXPECT_FALSE(test_log_contains("\"closed door\""));
    EXPECT_FALSE(test_log_contains("\"off\""));
    EXPECT_FALSE(test_log_contains("allow-first is off"));
    ASSERT_EQ(SECTION_LOADED, configure(false, {}, {}));
    EXPECT_TRUE(test_log_contains("advice: access: allow-first is off"));
}

/* PAM through a service of our own: pam_exec runs a script that accepts
 * one user and password and counts its calls. Needs root to write
 * /etc/pam.d. */
class AccessPam : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "writing a PAM service file needs root";
        dir = test_temp_dir();
        calls = dir + "/calls";
        std::string script = dir + "/check.sh";
        std::ofstream(script) << "#!/bin/sh\n"
                                 "echo x >> " << calls << "\n"
                                 "read -r pw\n"
                                 "[ \"$PAM_USER\" = alice ] && [ \"$pw\" = 'S3cr:et' ] && exit 0\n"
                                 "[ ${#PAM_USER} -eq 510 ] && exit 0\n"
                                 "exit 1\n";
        chmod(script.c_str(), 0755);
        service = "quilltest-access-" + std::to_string(getpid());
        service_file = "/etc/pam.d/" + service;
        /* pam_exec's own failure is a system error; pam_deny after it gives
         * the definite refusal that the cache remembers. */
        std::ofstream(service_file) << "auth [success=done default=ignore] pam_exec.so quiet "
                                       "expose_authtok " << script << "\n"
                                    << "auth required pam_deny.so\n"
                                    << "account required pam_permit.so\n";
        snprintf(saved, sizeof saved, "%s", pamfile);
        snprintf(pamfile, sizeof pamfile, "%s", service.c_str());
        ASSERT_EQ(SECTION_LOADED,
                  configure(true, { { { "comment", "pam" }, { "pam", "true" },
                                      { "username", "^(alice|a+)$" } } }, {}));
        test_log_clear();
    }
    void TearDown() override
    {
        if (!service_file.empty())
            unlink(service_file.c_str());
        snprintf(pamfile, sizeof pamfile, "%s", saved);
        authflag = 0;
        if (!service_file.empty()) {
            EXPECT_FALSE(test_log_contains("S3cr")) << "a password reached the log";
        }
    }
    int call_count()
    {
        std::ifstream in(calls);
        std::string line;
        int n = 0;
        while (std::getline(in, line))
            n++;
        return n;
    }
    /* Runs one proxy request with the credentials; returns access_auth's
     * answer and leaves the user in *user. */
    int login(const std::string &pair, std::string *user = nullptr)
    {
        Client client(get_absolute("Proxy-Authorization: " + basic(pair) + "\r\n"));
        int answered = access_auth(client.conn, nullptr);
        if (user)
            *user = client.user();
        return answered;
    }
    std::string dir, calls, service, service_file;
    char saved[256] = "";
};

TEST_F(AccessPam, CachedLoginSkipsPam)
{
    std::string user;
    EXPECT_EQ(0, login("alice:S3cr:et", &user));
    EXPECT_EQ(1, call_count());
    EXPECT_EQ("alice@172.16.0.1", user);
    EXPECT_TRUE(test_log_contains("[IP:172.16.0.1] PAM: authentication succeeded for alice"));

    EXPECT_EQ(0, login("alice:S3cr:et", &user));        /* from the cache */
    EXPECT_EQ(1, call_count());
    EXPECT_EQ("alice@172.16.0.1", user);

    EXPECT_EQ(1, login("alice:S3cr:ET", &user));        /* another password: PAM, refused */
    EXPECT_EQ(2, call_count());
    EXPECT_EQ("", user);
    EXPECT_TRUE(test_log_contains("PAM authentication failed for alice@172.16.0.1"));
    EXPECT_TRUE(test_log_contains("[pam: 7: PAM_AUTH_ERR]"));

    EXPECT_EQ(1, login("alice:S3cr:ET"));               /* the refusal is remembered */
    EXPECT_EQ(2, call_count());
    EXPECT_TRUE(test_log_contains("security: authentication failed for alice@172.16.0.1 by cache"));

    authflag = 1;                                       /* -P 0:0: always ask PAM */
    EXPECT_EQ(0, login("alice:S3cr:et"));
    EXPECT_EQ(3, call_count());
}

TEST_F(AccessPam, LengthLimits)
{
    std::string at_limit(ACCESS_CREDENTIAL_MAX, 'a'), past(ACCESS_CREDENTIAL_MAX + 1, 'a');
    std::string user;
    EXPECT_EQ(0, login(at_limit + ":pw", &user));
    EXPECT_EQ(1, call_count());
    EXPECT_EQ((at_limit + "@172.16.0.1").substr(0, ACCESS_USER_MAX), user);   /* cut */

    test_log_clear();
    EXPECT_EQ(1, login(past + ":pw"));
    EXPECT_EQ(1, login("alice:" + past));
    EXPECT_EQ(1, call_count());                         /* PAM never asked */
    EXPECT_TRUE(test_log_contains("security: [IP:172.16.0.1] authentication failed either "
                                  "username or password is more than 510 characters"));
}

/* A name the rule's expression does not take finds no rule; the rule then
 * takes the client without credentials and wants them: the challenge. */
TEST_F(AccessPam, NameOutsideTheExpression)
{
    EXPECT_EQ(1, login("mallory:S3cr:et"));
    EXPECT_EQ(0, call_count());
}
