/* The redirect rules: in-place rewrites (sub-matches, ports, schemes, a
 * path-only result), client redirects with and without URL commands,
 * scopes, first match only, bypass, the codings, hostile bytes, long URLs,
 * a rule that matches its own result, and patterns that never apply. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "policytest.h"
#include "redirect.h"
#include "test_support.h"

namespace {

struct Rule {
    std::string pattern;
    std::string replacement;
    int port = -1;
    bool client = false;
    std::string options = "";
    std::string scope = "request";
    bool enabled = true;
};

std::string xml_text(const std::string &text)
{
    std::string out;
    for (char c : text) {
        if (c == '<')
            out += "&lt;";
        else if (c == '&')
            out += "&amp;";
        else
            out += c;
    }
    return out;
}

void configure(const std::vector<Rule> &rules, bool enabled = true)
{
    policytest_ready([] { redirect_section = new RedirectSection(); });
    std::string body = std::string("<redirect><enabled>") + (enabled ? "true" : "false") + "</enabled>";
    for (const Rule &r : rules)
        body += std::string("<rule><enabled>") + (r.enabled ? "true" : "false") +
                "</enabled><comment>t</comment><profiles></profiles><pattern>" + xml_text(r.pattern) +
                "</pattern><replacement>" + xml_text(r.replacement) + "</replacement><port>" +
                std::to_string(r.port) + "</port><client-redirect>" + (r.client ? "true" : "false") +
                "</client-redirect><options>" + r.options + "</options><scope>" + r.scope +
                "</scope></rule>";
    ASSERT_EQ(SECTION_LOADED, policytest_load(redirect_section, body + "</redirect>"));
}

std::string get(const std::string &url)
{
    return "GET " + url + " HTTP/1.1\r\nHost: ignored.test\r\n\r\n";
}

}  // namespace

TEST(Redirect, RequestRewrites)
{
    struct Case {
        const char *name;
        Rule rule;
        std::string url;
        /* expected afterwards */
        std::string protocol, host, path;
        int port;
        bool ssl;
        std::string full;   /* the rebuilt URL */
        std::string logged;
    } cases[] = {
        { "sub-match and rule port", { "^http://a\\.test/x/(.*)$", "http://b.test/y/$1", 8080 },
          "http://a.test:81/x/page?q=1", "http", "b.test", "/y/page?q=1", 8080, false,
          "http://b.test:8080/y/page?q=1",
          "redirect: request for http://a.test/x/page?q=1 to http://b.test/y/page?q=1" },
        { "same scheme keeps the port", { "^http://a\\.test/(.*)$", "http://b.test/$1" },
          "http://a.test:81/p", "http", "b.test", "/p", 81, false, "http://b.test:81/p", "" },
        { "port in the new host", { "^http://a\\.test/(.*)$", "http://B.test:8082/$1" },
          "http://a.test/p", "http", "b.test", "/p", 8082, false, "http://b.test:8082/p",
          "redirect: request for http://a.test/p to http://b.test/p" },
        { "rule port wins", { "^http://a\\.test/(.*)$", "http://b.test:8082/$1", 9000 },
          "http://a.test/p", "http", "b.test", "/p", 9000, false, "http://b.test:9000/p", "" },
        { "https over TLS on 443", { "^http://a\\.test/(.*)$", "https://b.test/$1" },
          "http://a.test/p", "http", "b.test", "/p", 443, true, "http://b.test:443/p",
          "redirect: request for http://a.test/p to https://b.test/p" },
        { "ftp on 21", { "^http://a\\.test/(.*)$", "ftp://files.test/$1" },
          "http://a.test/f.txt", "ftp", "files.test", "/f.txt", 21, false,
          "ftp://files.test:21/f.txt", "" },
        { "no path", { "^http://a\\.test/.*$", "http://b.test" },
          "http://a.test/p", "http", "b.test", "/", 80, false, "http://b.test:80/", "" },
        { "path only keeps the host", { "/old/(.*)$", "/new/$1" },
          "http://a.test:81/old/p", "http", "a.test", "/new/p", 81, false,
          "http://a.test:81/new/p", "redirect: request for http://a.test/old/p to http://a.test/new/p" },
        { "scheme not fetched", { "^http://a\\.test/(.*)$", "gopher://b.test/$1" },
          "http://a.test/p", "http", "a.test", "/p", 80, false, "http://a.test:80/p",
          "cannot be fetched, request unchanged" },
        { "bad port", { "^http://a\\.test/(.*)$", "http://b.test:99999/$1" },
          "http://a.test/p", "http", "a.test", "/p", 80, false, "http://a.test:80/p",
          "cannot be fetched" },
        { "variables", { "^http://a\\.test/(.*)$", "http://@HTTP_HOST@.b.test/$$$1" },
          "http://a.test/p", "http", "a.test.b.test", "/$p", 80, false, "http://a.test.b.test:80/$p", "" },
        { "encode", { "^http://a\\.test/(.*)$", "http://b.test/$1", -1, false, "encode" },
          "http://a.test/x~y=z", "http", "b.test", "/x%7ey%3dz", 80, false,
          "http://b.test:80/x%7ey%3dz", "" },
        { "decode", { "^http://a\\.test/(.*)$", "http://b.test/$1", -1, false, "decode" },
          "http://a.test/x%7ey", "http", "b.test", "/x~y", 80, false, "http://b.test:80/x~y", "" },
        /* a decoded blank or line end never reaches the request line */
        { "decoded control bytes", { "^http://a\\.test/(.*)$", "http://b.test/$1", -1, false, "decode" },
          "http://a.test/x%0d%0aHost:%20evil", "http", "b.test", "/x%0D%0AHost:%20evil", 80, false,
          "http://b.test:80/x%0D%0AHost:%20evil", "" },
        /* extended: a literal blank is written "\ " */
        { "match decoded", { "/hello\\ world$", "/matched", -1, false, "match-decoded" },
          "http://a.test/hello%20world", "http", "a.test", "/matched", 80, false,
          "http://a.test:80/matched", "" },
        { "plain blank ignored by the pattern", { "/hello world$", "/matched", -1, false, "match-decoded" },
          "http://a.test/hello%20world", "http", "a.test", "/hello%20world", 80, false,
          "http://a.test:80/hello%20world", "" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        configure({ k.rule });
        PolicyClient c(get(k.url));
        c.conn->variables["HTTP_HOST"] = c.conn->header->host;
        test_log_clear();
        EXPECT_EQ(0, redirect_section->redirect_do(c.conn, REDIRECT_REQUEST));
        const HEADER *h = c.conn->header;
        EXPECT_EQ(k.protocol, h->protocol);
        EXPECT_EQ(k.host, h->host);
        EXPECT_EQ(k.path, h->path);
        EXPECT_EQ(k.port, h->port);
        EXPECT_EQ(k.ssl, (c.conn->flags & CONN_SSL) != 0);
        EXPECT_EQ(HEADER_ABSOLUTE, h->type);
        EXPECT_EQ(k.full, h->url);
        if (!k.logged.empty()) {
            EXPECT_TRUE(test_log_contains(k.logged)) << k.logged;
        }
        EXPECT_EQ(0, c.status());
    }
}

TEST(Redirect, ClientRedirects)
{
    struct Case {
        const char *name;
        std::string replacement;
        std::string commands;   /* "" or a host carrying command labels */
        std::string location;
    } cases[] = {
        { "plain", "http://b.test:8081/y/$1", "", "http://b.test:8081/y/p" },
        { "commands follow", "http://b.test/y/$1", "xx--fresh.xx--offline.a.test",
          "http://xx--fresh.xx--offline.b.test/y/p" },
        { "never to a path", "/y/$1", "xx--fresh.a.test", "/y/p" },
        { "not to another scheme", "https://b.test/y/$1", "xx--fresh.a.test", "https://b.test/y/p" },
        { "no scheme: before the whole URL", "b.test/y/$1", "xx--fresh.a.test", "xx--fresh.b.test/y/p" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        configure({ { "^http://a\\.test/x/(.*)$", k.replacement, -1, true } });
        PolicyClient c(get("http://a.test/x/p"));
        if (!k.commands.empty()) {
            std::string text = k.commands;
            c.conn->urlcommands = url_command_parse(&text[0]);
            ASSERT_NE(nullptr, c.conn->urlcommands);
        }
        test_log_clear();
        EXPECT_EQ(1, redirect_section->redirect_do(c.conn, REDIRECT_REQUEST));
        std::string sent = c.received();
        EXPECT_EQ(0u, sent.find("HTTP/1.1 302 "));
        EXPECT_NE(std::string::npos, sent.find("Content-Length: 0\r\n"));
        EXPECT_NE(std::string::npos, sent.find("\r\nLocation: " + k.location + "\r\n")) << sent;
        EXPECT_TRUE(test_log_contains("redirect: sent 302 redirect for request for http://a.test/x/p to "));
        /* the request itself is unchanged */
        EXPECT_STREQ("a.test", c.conn->header->host);
    }
}

TEST(Redirect, HostileBytesNeverSplitTheLocation)
{
    configure({ { "^http://a\\.test/go/(.*)$", "http://b.test/$1", -1, true, "match-decoded" } });
    PolicyClient c(get("http://a.test/go/x%0d%0aSet-Cookie:%20evil=1%20"));
    EXPECT_EQ(1, redirect_section->redirect_do(c.conn, REDIRECT_REQUEST));
    std::string sent = c.received();
    EXPECT_EQ(std::string::npos, sent.find("\r\nSet-Cookie"));
    EXPECT_NE(std::string::npos, sent.find("Location: http://b.test/x%0D%0ASet-Cookie:%20evil=1%20\r\n")) << sent;
}

TEST(Redirect, ScopesFirstMatchBypassAndSwitches)
{
    const char *location_reply = "HTTP/1.1 302 Found\r\nLocation: http://old.test/p\r\nContent-Length: 0\r\n\r\n";
    struct Case {
        const char *name;
        std::vector<Rule> rules;
        bool enabled;
        unsigned bypass;
        std::string request_path;   /* after request mode */
        std::string location;       /* after location mode */
    } cases[] = {
        { "request scope", { { "old|/p", "/new" } }, true, 0, "/new", "http://old.test/p" },
        { "location scope", { { "old|/p", "http://new.test/q", -1, false, "", "location" } }, true, 0,
          "/p", "http://new.test/q" },
        { "both", { { "old\\.test/p|a\\.test/p", "http://new.test/q", -1, false, "", "both" } }, true, 0,
          "/q", "http://new.test/q" },
        /* only the first matching rule, even when a later one would match
         * its result */
        { "first match only", { { "/p$", "/second" }, { "/second$", "/third" }, { "/p$", "/fourth" } },
          true, 0, "/second", "http://old.test/p" },
        { "disabled rule skipped", { { "/p$", "/off", -1, false, "", "request", false }, { "/p$", "/on" } },
          true, 0, "/on", "http://old.test/p" },
        { "bypass r", { { "/p$", "/new", -1, false, "", "both" } }, true, BYPASS_REDIRECT, "/p",
          "http://old.test/p" },
        { "section off", { { "/p$", "/new", -1, false, "", "both" } }, false, 0, "/p", "http://old.test/p" },
        { "invalid pattern never applies", { { "(unclosed", "/bad" }, { "/p$", "/good" } }, true, 0,
          "/good", "http://old.test/p" },
        { "empty pattern never applies", { { "", "/bad" } }, true, 0, "/p", "http://old.test/p" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        configure(k.rules, k.enabled);
        PolicyClient c(get("http://a.test/p"));
        c.conn->bypass = k.bypass;
        EXPECT_EQ(0, redirect_section->redirect_do(c.conn, REDIRECT_REQUEST));
        EXPECT_EQ(k.request_path, c.conn->header->path);

        PolicyClient r(get("http://a.test/p"));
        r.conn->bypass = k.bypass;
        r.conn->rheader = http_header_parse_response(location_reply);
        ASSERT_NE(nullptr, r.conn->rheader);
        test_log_clear();
        EXPECT_EQ(0, redirect_section->redirect_do(r.conn, REDIRECT_LOCATION));
        EXPECT_EQ(k.location, r.conn->rheader->location);
        if (k.location != "http://old.test/p") {
            EXPECT_TRUE(test_log_contains("redirect: 302 redirect for http://old.test/p to " + k.location));
        }
    }
}

TEST(Redirect, SelfMatchingRuleAppliesOnce)
{
    configure({ { "^(.*)/self/(.*)$", "$1/self/self/$2" } });
    /* proxy form: one pass */
    PolicyClient a(get("http://a.test/self/f.txt"));
    EXPECT_EQ(0, redirect_section->redirect_do(a.conn, REDIRECT_REQUEST));
    EXPECT_STREQ("/self/self/f.txt", a.conn->header->path);
    /* origin form: the path at the first pass, the full URL at the second,
     * which leaves a rewritten request alone */
    PolicyClient o("GET /self/f.txt HTTP/1.1\r\nHost: a.test\r\n\r\n");
    EXPECT_EQ(0, redirect_section->redirect_do(o.conn, REDIRECT_REQUEST));
    EXPECT_STREQ("/self/self/f.txt", o.conn->header->path);
    EXPECT_EQ(nullptr, o.conn->header->host);
    EXPECT_EQ(HEADER_ORIGIN, o.conn->header->type);
    header_field_set(&o.conn->header->host, "a.test");
    EXPECT_EQ(0, redirect_section->redirect_do(o.conn, REDIRECT_REQUEST));
    EXPECT_STREQ("/self/self/f.txt", o.conn->header->path);
}

TEST(Redirect, LongUrlsWholeOrNotAtAll)
{
    configure({ { "^http://a\\.test/long/(.*)$", "http://b.test/$1$1" } });
    std::string four(4000, 'z');
    PolicyClient a(get("http://a.test/long/" + four.substr(0, 2000)));
    EXPECT_EQ(0, redirect_section->redirect_do(a.conn, REDIRECT_REQUEST));
    EXPECT_EQ("/" + four, a.conn->header->path);   /* 4 KiB, whole */
    /* a result over 8 KiB is not applied */
    PolicyClient b(get("http://a.test/long/" + four + four.substr(0, 200)));
    test_log_clear();
    EXPECT_EQ(0, redirect_section->redirect_do(b.conn, REDIRECT_REQUEST));
    EXPECT_STREQ("a.test", b.conn->header->host);
    EXPECT_TRUE(test_log_contains("not applied"));
}

TEST(Redirect, Codings)
{
    struct Case {
        const char *url;
        unsigned options;
        const char *coded;
    } cases[] = {
        { "http://h.test/a b/c~d", REDIRECT_ENCODE, "http://h.test/a+b/c%7ed" },
        { "http://h.test/a%20b", REDIRECT_DECODE, "http://h.test/a b" },
        { "/a b", REDIRECT_ENCODE, "/a+b" },
        { "http://h.test", REDIRECT_ENCODE, "http://h.test" },
        { "http://h.test/a b", 0, "http://h.test/a b" },
    };
    for (const Case &k : cases)
        EXPECT_EQ(k.coded, redirect_path_code(k.url, k.options)) << k.url;
    EXPECT_EQ("/a%20b%0D%0A%7F%09", redirect_url_escape("/a b\r\n\x7f\t"));
    EXPECT_EQ("http://xx--a.b.test/p", redirect_location("http://b.test/p", "HTTP", "xx--a."));
    EXPECT_EQ("ftp://b.test/p", redirect_location("ftp://b.test/p", "http", "xx--a."));
    EXPECT_EQ("/p", redirect_location("/p", "http", "xx--a."));
    EXPECT_EQ("http://b.test/p", redirect_location("http://b.test/p", "http", ""));
}
