/* The cookie rules: the decision table by direction (both numberings),
 * profiles, expiry windows (recurring and absolute, and session cookies
 * against a window), domain and path expressions, allow-first, bypass c
 * and a disabled section; what the serialiser writes (passing lines byte
 * for byte, refused ones left out and logged, the proxy's own responses
 * never judged); the "cookies" page with hostile values; and expressions
 * refused at load. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection.h"
#include "cookies.h"
#include "filebuf.h"
#include "header.h"
#include "policytest.h"
#include "test_support.h"

namespace {

struct Rule {
    const char *comment;
    const char *direction;       /* incoming, outgoing or both */
    const char *window;          /* active components, "year=2029,2035 hour=9,17" */
    bool recurring;
    const char *domain;
    const char *path;
    const char *profiles;
};

/* Every window element: those named in window ("year=2029,2035 hour=9,17")
 * active with their values, the others inactive. */
std::string window_xml(const std::string &window)
{
    static const char *const parts[][2] = {
        { "year", "1970,2100" }, { "month", "january,december" }, { "day", "1,31" },
        { "weekday", "sunday,saturday" }, { "hour", "0,23" }, { "minute", "0,59" },
    };
    std::string out;
    for (const auto &p : parts) {
        std::string key = std::string(p[0]) + "=";
        size_t at = (" " + window).find(" " + key);
        bool active = at != std::string::npos;
        std::string value = p[1];
        if (active) {
            size_t start = at + key.size();
            value = window.substr(start, window.find(' ', start) - start);
        }
        out += std::string("<") + p[0] + " active=\"" + (active ? "true" : "false") + "\">" +
               value + "</" + p[0] + ">";
    }
    return out;
}

std::string rule_xml(const char *list, const Rule &r)
{
    return std::string("<") + list + "><enabled>true</enabled><comment>" + r.comment +
           "</comment><profiles>" + r.profiles + "</profiles>" + window_xml(r.window) +
           "<domain>" + r.domain + "</domain><path>" + r.path + "</path><direction>" +
           r.direction + "</direction><recurring>" + (r.recurring ? "true" : "false") +
           "</recurring></" + list + ">";
}

int configure(bool enabled, bool allow_first, const std::vector<Rule> &allow,
              const std::vector<Rule> &deny)
{
    policytest_ready([] { cookie_section = new CookieSection(); });
    std::string body = std::string("<cookies-filtering><enabled>") + (enabled ? "true" : "false") +
                       "</enabled><allow-first>" + (allow_first ? "true" : "false") +
                       "</allow-first>";
    for (const Rule &r : allow)
        body += rule_xml("allow", r);
    for (const Rule &r : deny)
        body += rule_xml("deny", r);
    return policytest_load(cookie_section, body + "</cookies-filtering>");
}

struct Case {
    const char *what;
    int direction;
    const char *cookie;
    const char *profile;
    unsigned bypass;
    int passes;
};

void run(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        PolicyClient client("GET http://www.example.com/ HTTP/1.1\r\n\r\n");
        if (*c.profile)
            client.conn->profiles.push_back(c.profile);
        client.conn->bypass |= c.bypass;
        CookieHeader cookie(c.cookie);
        EXPECT_EQ(c.passes, cookie_check(c.direction, client.conn, cookie));
    }
}

} // namespace

/* Direction: 0 incoming (responses), 1 outgoing (requests), 2 both;
 * outgoing cookies are judged by direction and profiles alone. */
TEST(CookieRules, DirectionsAndProfiles)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, {},
                        { { "in", "incoming", "", false, "", "", "" },
                          { "out-staff", "outgoing", "year=2000,2001", false, "nomatch",
                            "nomatch", "staff" } }));
    run({
        { "incoming refused", COOKIE_INCOMING, "a=1", "", 0, 0 },
        { "outgoing passes", COOKIE_OUTGOING, "a=1", "", 0, 1 },
        { "outgoing of the profile: no window, domain or path test", COOKIE_OUTGOING, "a=1",
          "staff", 0, 0 },
        { "bypass c", COOKIE_INCOMING, "a=1", "", BYPASS_COOKIES, 1 },
    });
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, {}, { { "both", "both", "", false, "", "", "" } }));
    run({ { "both: incoming", COOKIE_INCOMING, "a=1", "", 0, 0 },
          { "both: outgoing", COOKIE_OUTGOING, "a=1", "", 0, 0 } });
    ASSERT_EQ(SECTION_LOADED,
              configure(false, false, {}, { { "both", "both", "", false, "", "", "" } }));
    run({ { "disabled", COOKIE_INCOMING, "a=1", "", 0, 1 } });
}

/* Windows on the expiry: absolute (one interval) and recurring (each
 * component on its own); a session cookie never matches a window. */
TEST(CookieRules, ExpiryWindows)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, {},
                        { { "absolute", "incoming", "year=2029,2035 month=june,december",
                            false, "absolute\\.test", "", "" },
                          { "recurring", "incoming",
                            "weekday=monday,friday hour=9,17", true,
                            "recurring\\.test", "", "" } }));
    run({
        /* Absolute: June 2029 to December 2035, so January 2030 lies inside. */
        { "absolute inside", COOKIE_INCOMING,
          "a=1; domain=absolute.test; expires=Tue, 15-Jan-2030 10:30:00 GMT", "", 0, 0 },
        { "absolute after", COOKIE_INCOMING,
          "a=1; domain=absolute.test; expires=Sun, 15-Jul-2040 22:00:00 GMT", "", 0, 1 },
        { "absolute before", COOKIE_INCOMING,
          "a=1; domain=absolute.test; expires=Fri, 01-Jan-2027 00:00:00 GMT", "", 0, 1 },
        /* Recurring: Monday to Friday, each between 9 and 17 o'clock. */
        { "recurring: a weekday at 10", COOKIE_INCOMING,
          "a=1; domain=recurring.test; expires=Tue, 15-Jan-2030 10:30:00 GMT", "", 0, 0 },
        { "recurring: Sunday", COOKIE_INCOMING,
          "a=1; domain=recurring.test; expires=Sun, 15-Jul-2040 12:00:00 GMT", "", 0, 1 },
        { "recurring: a weekday at 22", COOKIE_INCOMING,
          "a=1; domain=recurring.test; expires=Tue, 15-Jan-2030 22:00:00 GMT", "", 0, 1 },
        { "session cookie against a window", COOKIE_INCOMING, "a=1; domain=absolute.test", "",
          0, 1 },
        { "unreadable expiry against a window", COOKIE_INCOMING,
          "a=1; domain=recurring.test; expires=soon", "", 0, 1 },
    });
}

/* Domain and path expressions (unanchored, caseless; an absent attribute
 * is the empty text) and allow-first. */
TEST(CookieRules, DomainPathAllowFirst)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, { { "keep-shop", "incoming", "", false, "^shop\\.", "", "" } },
                        { { "trackers", "incoming", "", false, "tracker", "", "" },
                          { "root-path", "incoming", "", false, "", "^/$", "" },
                          { "no-domain", "incoming", "", false, "^$", "^/empty", "" } }));
    run({
        { "domain denied", COOKIE_INCOMING, "t=1; Domain=.TRACKER.example", "", 0, 0 },
        { "path denied", COOKIE_INCOMING, "p=1; Path=/", "", 0, 0 },
        { "other path", COOKIE_INCOMING, "p=1; Path=/app", "", 0, 1 },
        { "absent domain is empty", COOKIE_INCOMING, "p=1; Path=/empty/x", "", 0, 0 },
        { "denied yet allowed back", COOKIE_INCOMING, "p=1; Domain=shop.example; Path=/", "", 0,
          1 },
    });
    ASSERT_EQ(SECTION_LOADED,
              configure(true, true, { { "session", "both", "", false, "", "^/app", "" } },
                        { { "beta", "incoming", "", false, "beta", "", "" } }));
    run({
        { "allow-first: no allow match", COOKIE_INCOMING, "a=1; Path=/", "", 0, 0 },
        { "allow-first: allowed", COOKIE_INCOMING, "a=1; Path=/app", "", 0, 1 },
        { "allow-first: allowed, then denied", COOKIE_INCOMING,
          "a=1; Path=/app; Domain=beta.example", "", 0, 0 },
        { "allow-first: an outgoing cookie ignores the path", COOKIE_OUTGOING, "a=1", "", 0, 1 },
    });
}

/* On the wire: a passing cookie line leaves byte for byte, a refused one
 * is left out and logged with the request host; a response the proxy
 * built itself (the interface's login) is never judged. */
TEST(CookieRules, Serialiser)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, {}, { { "ads", "incoming", "", false, "ads", "", "" },
                                          { "out", "outgoing", "", false, "", "", "" } }));
    PolicyClient client("GET http://www.example.com/ HTTP/1.1\r\nCookie: sid=1\r\n\r\n");
    const char *response =
        "HTTP/1.1 200 OK\r\n"
        "Set-Cookie: id=42; Path=/; HttpOnly; Secure; SameSite=Lax\r\n"
        "Set-Cookie: ad=1; Domain=ads.example\r\n"
        "Set-Cookie: empty=; Max-Age=0\r\n"
        "Content-Length: 0\r\n\r\n";
    std::unique_ptr<HEADER, void (*)(HEADER *)> r(http_header_parse_response(response),
                                                  http_header_free);
    test_log_clear();
    Filebuf out;
    ASSERT_EQ(FILEBUF_OK, header_send_filebuf(&out, r.get(), client.conn, HEADER_SEND_RESPONSE));
    std::string text(out.data, (size_t)out.size);
    EXPECT_NE(std::string::npos,
              text.find("\r\nSet-Cookie: id=42; Path=/; HttpOnly; Secure; SameSite=Lax\r\n"));
    EXPECT_NE(std::string::npos, text.find("\r\nSet-Cookie: empty=; Max-Age=0\r\n"));
    EXPECT_EQ(std::string::npos, text.find("ad=1")) << text;
    EXPECT_TRUE(test_log_contains("cookie filter: blocked: incoming from www.example.com"));

    Filebuf request;
    ASSERT_EQ(FILEBUF_OK, header_send_filebuf(&request, client.conn->header, client.conn,
                                              HEADER_SEND_ORIGIN));
    EXPECT_EQ(std::string::npos, std::string(request.data, (size_t)request.size).find("sid=1"));
    EXPECT_TRUE(test_log_contains("cookie filter: blocked: outgoing to www.example.com"));

    r->flags |= HEADER_PROXY_MADE;
    Filebuf own;
    ASSERT_EQ(FILEBUF_OK, header_send_filebuf(&own, r.get(), client.conn, HEADER_SEND_RESPONSE));
    EXPECT_NE(std::string::npos, std::string(own.data, (size_t)own.size).find("ad=1"));
}

/* The "cookies" page: sent and received cookies with their attributes,
 * every text escaped, the title too. */
TEST(CookieRules, CookiesPage)
{
    ASSERT_EQ(SECTION_LOADED, configure(true, false, {}, {}));
    PolicyClient client("GET http://www.example.com/p%3Cb%3E HTTP/1.1\r\n"
                        "Cookie: s=<script>x</script>; t=\"q\"\r\n"
                        "cookie: lower=ignored\r\n\r\n");
    client.conn->rheader = http_header_parse_response(
        "HTTP/1.1 200 OK\r\n"
        "Set-Cookie: r=<img src=x>; Domain=<b>.example; Path=/\"a\"; "
        "Expires=Wed, 09 Jun 2021 10:18:14 GMT\r\n"
        "Content-Length: 0\r\n\r\n");
    interface_cookies_show(client.conn);
    std::string page;
    ASSERT_EQ(200, client.status(&page));
    EXPECT_NE(std::string::npos, page.find("<title>Cookies for www.example.com")) << page;
    EXPECT_NE(std::string::npos, page.find(">Sent cookie<")) << page;
    EXPECT_NE(std::string::npos, page.find(">Received cookie<")) << page;
    EXPECT_NE(std::string::npos, page.find("<td>Expires</td><td>Wed, 09-Jun-2021 10:18:14 GMT</td>"))
        << page;
    EXPECT_NE(std::string::npos, page.find("<td>Domain</td><td>&lt;b&gt;.example</td>")) << page;
    EXPECT_NE(std::string::npos, page.find("<td>s</td><td>&lt;script&gt;x&lt;/script&gt;</td>"))
        << page;
    EXPECT_EQ(std::string::npos, page.find("<script")) << page;
    EXPECT_EQ(std::string::npos, page.find("<img")) << page;
    EXPECT_EQ(std::string::npos, page.find("<b>")) << page;
    EXPECT_EQ(std::string::npos, page.find("lower")) << page;   /* named exactly "Cookie" only */
}

/* Expressions that do not compile are refused at load; the rules loaded
 * before stay. */
TEST(CookieRules, BrokenExpressionRefused)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, {}, { { "in", "incoming", "", false, "", "", "" } }));
    test_log_clear();
    EXPECT_EQ(SECTION_FLAWED,
              configure(true, false, {}, { { "bad", "incoming", "", false, "(", "", "" } }));
    EXPECT_TRUE(test_log_contains("flawed XML file, section cookies-filtering, element deny: "
                                  "domain must be a valid regular expression, but it is given "
                                  "value ("));
    EXPECT_EQ(SECTION_FLAWED,
              configure(true, false, { { "bad", "incoming", "", false, "", "[a", "" } }, {}));
    EXPECT_TRUE(test_log_contains("element allow: path must be a valid regular expression"));
    run({ { "the earlier rules hold", COOKIE_INCOMING, "a=1", "", 0, 0 } });
}
