/* The URL filter: the decision table of host, path, address and profile
 * rules with allow-first on and off; the lazy, once-per-check lookup of the
 * host and the rules that need none (offline, unresolvable hosts); the
 * refusal page with its template choice, status, variable and log lines;
 * the "filter" page with hostile paths; and the refusal of rules whose
 * expressions do not compile. */
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "compat.h"
#include "dnscache.h"
#include "hash.h"
#include "options.h"
#include "policytest.h"
#include "templates.h"
#include "test_support.h"
#include "urlfilter.h"

namespace {

/* Names under .test resolve: "inside.*" to 10.1.1.1, the others to
 * 192.0.2.1; everything else does not. Counts the questions. */
std::map<std::string, int> asked;
HOSTENT *fake_resolver(const char *name)
{
    asked[name]++;
    std::string n = name;
    if (n.size() < 5 || n.compare(n.size() - 5, 5, ".test") != 0)
        return nullptr;
    HOSTENT *h = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    h->addr = (char *)xmalloc(4);
    unsigned char inside[4] = { 10, 1, 1, 1 }, outside[4] = { 192, 0, 2, 1 };
    memcpy(h->addr, n.compare(0, 7, "inside.") == 0 ? inside : outside, 4);
    h->len = 4;
    return h;
}

void sections_ready()
{
    policytest_ready([] { filter_section = new FilterSection(); });
    if (global->dnscache)
        hash_destroy(global->dnscache);
    global->dnscache = nullptr;   /* every name goes to the resolver */
    dnscache_set_resolver(fake_resolver);
    asked.clear();
}

struct Rule {
    const char *comment;
    const char *host;
    const char *path;
    const char *addresses;
    const char *profiles;
    const char *template_name;
};

std::string rule_xml(const char *list, const Rule &r, bool enabled = true)
{
    return std::string("<") + list + "><enabled>" + (enabled ? "true" : "false") +
           "</enabled><comment>" + r.comment + "</comment><profiles>" + r.profiles +
           "</profiles><host>" + r.host + "</host><path>" + r.path + "</path><addresses>" +
           r.addresses + "</addresses><template>" + r.template_name + "</template></" + list + ">";
}

int configure(bool enabled, bool allow_first, const std::string &template_name,
              const std::vector<Rule> &allow, const std::vector<Rule> &deny)
{
    sections_ready();
    std::string body = std::string("<url-filtering><enabled>") + (enabled ? "true" : "false") +
                       "</enabled><allow-first>" + (allow_first ? "true" : "false") +
                       "</allow-first><template>" + template_name + "</template>";
    for (const Rule &r : allow)
        body += rule_xml("allow", r);
    for (const Rule &r : deny)
        body += rule_xml("deny", r);
    return policytest_load(filter_section, body + "</url-filtering>");
}

std::string get(const std::string &url)
{
    return "GET " + url + " HTTP/1.1\r\n\r\n";
}

/* The comment of the rule that refuses the request, "(built-in)" for the
 * default rule, "" when it passes. */
std::string decided(PolicyClient &client)
{
    std::string out;
    filter_section->decide(client.conn, [&](const Filter *rule) {
        out = !rule ? "" : rule->item ? rule->comment : "(built-in)";
    });
    return out;
}

struct Case {
    const char *url;
    const char *decided;
    int lookups;        /* of the host, in this check */
};

} // namespace

/* allow-first off: a deny rule refuses unless an allow rule also matches;
 * expressions ignore case; an address rule resolves the host once, only
 * when the rule's other conditions hold, and a host that does not resolve
 * lies inside its addresses. */
TEST(UrlFilter, DenyFirstTable)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, "",
                        { { "exception", "^ok\\.ads\\.example\\.com$", "", "", "", "" } },
                        { { "ads", "(^|\\.)ads\\.example\\.com$", "", "", "", "" },
                          { "banners", "", "^/banner/", "", "", "" },
                          { "lan", "\\.(test|invalid)$", "", "10.0.0.0-10.255.255.255", "", "" },
                          { "lan-again", "\\.test$", "", "10.0.0.0-10.255.255.255", "", "" } }));
    static const Case cases[] = {
        { "http://www.example.com/", "", 0 },
        { "http://x.ads.example.com/a", "ads", 0 },
        { "http://OK.Ads.Example.com/a", "", 0 },            /* deny and allow: passes */
        { "http://badads.example.com/", "", 0 },
        { "http://www.example.com/BANNER/x.gif", "banners", 0 },
        { "http://www.example.com/x/banner/", "", 0 },
        { "http://inside.test/", "lan", 1 },                 /* two address rules, one lookup */
        { "http://outside.test/", "", 1 },
        { "http://gone.invalid/", "lan", 1 },                /* unresolvable: inside */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        asked.clear();
        PolicyClient client(get(c.url));
        EXPECT_EQ(c.decided, decided(client));
        int total = 0;
        for (auto &a : asked)
            total += a.second;
        EXPECT_EQ(c.lookups, total);
    }
}

/* A path rule judges the path as written and as the server reads it:
 * escapes (a "/" too), dot segments and doubled slashes are no way round
 * it, and a rule written against an escape keeps matching. */
TEST(UrlFilter, PathFormsTable)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, "", {},
                        { { "secret", "", "^/secret", "", "", "" },
                          { "escaped", "", "^/hello%20world$", "", "", "" },
                          { "spaced", "", "^/two words$", "", "", "" } }));
    static const Case cases[] = {
        { "http://www.example.com/secret", "secret", 0 },
        { "http://www.example.com/%73ecret", "secret", 0 },
        { "http://www.example.com//secret", "secret", 0 },
        { "http://www.example.com/./secret", "secret", 0 },
        { "http://www.example.com/x/../secret", "secret", 0 },
        { "http://www.example.com/%2fsecret", "secret", 0 },
        { "http://www.example.com/x/%2E%2E/Secret?a=1", "secret", 0 },
        { "http://www.example.com/hello%20world", "escaped", 0 },
        { "http://www.example.com/two%20words", "spaced", 0 },
        { "http://www.example.com/public/secret", "", 0 },
        { "http://www.example.com/x?/../secret", "", 0 },
        { "http://www.example.com/a%20b", "", 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        PolicyClient client(get(c.url));
        EXPECT_EQ(c.decided, decided(client));
    }
}

/* allow-first on: no allow match refuses with the built-in rule; an allow
 * match is refused only by a deny match; an unresolvable host lies inside
 * an allow rule's addresses too. Profiles, disabled rules, offline mode,
 * the bypass bit and a disabled section. */
TEST(UrlFilter, AllowFirstTable)
{
    sections_ready();
    std::string body =
        "<url-filtering><enabled>true</enabled><allow-first>true</allow-first><template>"
        "</template>" +
        rule_xml("allow", { "site", "example\\.com$", "", "", "", "" }) +
        rule_xml("allow", { "lan", "", "", "10.0.0.0-10.255.255.255", "", "" }) +
        rule_xml("allow", { "staff", "staff\\.test$", "", "", "staff", "" }) +
        rule_xml("allow", { "off", "", "", "", "", "" }, false) +
        rule_xml("deny", { "secret", "", "^/secret", "", "", "" }) + "</url-filtering>";
    ASSERT_EQ(SECTION_LOADED, policytest_load(filter_section, body));

    static const Case cases[] = {
        { "http://www.example.com/", "", 0 },
        { "http://www.example.com/secret/x", "secret", 0 },
        { "http://other.test/", "(built-in)", 1 },
        { "http://staff.test/", "(built-in)", 1 },           /* without the profile */
        { "http://inside.test/", "", 1 },
        { "http://outside.test/", "(built-in)", 1 },
        { "http://gone.invalid/", "", 1 },
        { "http://inside.test/secret", "secret", 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        asked.clear();
        PolicyClient client(get(c.url));
        EXPECT_EQ(c.decided, decided(client));
        EXPECT_EQ(c.lookups, asked.empty() ? 0 : asked.begin()->second);
    }

    {
        PolicyClient client(get("http://staff.test/"));
        client.conn->profiles.push_back("staff");
        EXPECT_EQ("", decided(client));
    }
    {
        /* Offline: the address condition holds without a lookup. */
        asked.clear();
        PolicyClient client(get("http://outside.test/"));
        client.conn->flags |= CONN_OFFLINE;
        EXPECT_EQ("", decided(client));
        EXPECT_TRUE(asked.empty());
    }
    {
        PolicyClient client(get("http://other.org/secret"));
        client.conn->bypass |= BYPASS_URLFILTER;
        EXPECT_EQ("", decided(client));
        EXPECT_EQ(0, filter_section->check_and_block(client.conn));
        EXPECT_EQ(0, client.status());
    }
    ASSERT_EQ(SECTION_LOADED, configure(false, true, "", {}, {}));
    PolicyClient client(get("http://other.org/"));
    EXPECT_EQ("", decided(client));
}

/* A refusal sends the rule's template, else the section's, else "blocked",
 * with 200 (404 for CONNECT), sets FILTER, logs the host and path and
 * names the filter in the log entry. */
TEST(UrlFilter, RefusalPage)
{
    struct PageCase {
        const char *request;
        const char *section_template;
        const char *sent;
        int status;
    };
    static const PageCase cases[] = {
        { "GET http://www.example.com/rule HTTP/1.1\r\n\r\n", "noaccess", "imgfilter", 200 },
        { "GET http://www.example.com/plain HTTP/1.1\r\n\r\n", "noaccess", "noaccess", 200 },
        { "GET http://www.example.com/plain HTTP/1.1\r\n\r\n", "", "blocked", 200 },
        { "CONNECT www.example.com:443 HTTP/1.1\r\n\r\n", "", "blocked", 404 },
    };
    for (const PageCase &c : cases) {
        SCOPED_TRACE(c.request);
        ASSERT_EQ(SECTION_LOADED,
                  configure(true, false, c.section_template, {},
                            { { "rule", "", "^/rule", "", "", "imgfilter" },
                              { "all", "example", "", "", "", "" } }));
        test_log_clear();
        PolicyClient client(c.request);
        EXPECT_EQ(1, filter_section->check_and_block(client.conn));
        std::string body;
        EXPECT_EQ(c.status, client.status(&body));
        EXPECT_TRUE(test_log_contains(std::string("sent ") + c.sent));
        EXPECT_EQ("URL Filter", client.variable("FILTER"));
        EXPECT_EQ("url-filter", client.conn->logentry.filter_name);
        EXPECT_EQ("-", client.conn->logentry.filtering_reason);
        const HEADER *h = client.conn->header;
        EXPECT_TRUE(test_log_contains(std::string("url filter: blocked: ") + h->host + h->path));
    }
}

/* The "filter" page: the deciding entry as the editor shows it, "None" for
 * a passing request, its own row for the built-in rule; host and path
 * escaped. */
TEST(UrlFilter, FilterPage)
{
    struct ShowCase {
        bool allow_first;
        const char *url;
        const char *shows;
    };
    static const ShowCase cases[] = {
        { false, "http://www.example.com/ok", ">None<" },
        { false, "http://www.example.com/evil/<script>\"'x", ">no-evil<" },
        { true, "http://other.org/x", ">Refused: no allow rule matched<" },
    };
    for (const ShowCase &c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_EQ(SECTION_LOADED, configure(true, c.allow_first, "", {},
                                            { { "no-evil", "", "^/evil/", "", "", "" } }));
        PolicyClient client(get(c.url));
        filter_section->check_show(client.conn);
        std::string page;
        ASSERT_EQ(200, client.status(&page));
        EXPECT_NE(std::string::npos, page.find(c.shows)) << page;
        std::string title = "URL filter match for " + std::string(client.conn->header->host);
        EXPECT_NE(std::string::npos, page.find("<title>" + title)) << page;
        EXPECT_EQ(std::string::npos, page.find("<script")) << page;
        EXPECT_EQ(std::string::npos, page.find("\"'x")) << page;
        EXPECT_NE(std::string::npos, page.find("<tr class=\"listhead\"><td colspan=\"2\">" + title));
    }
}

/* A rule whose host or path does not compile fails the load with the
 * "flawed XML file" line and leaves the rules as they were; an empty
 * expression is no condition at all. */
TEST(UrlFilter, BrokenExpressionRefused)
{
    ASSERT_EQ(SECTION_LOADED, configure(true, false, "", {}, { { "keep", "^keep\\.", "", "", "", "" } }));
    for (const Rule &broken : { Rule{ "bad-host", "(unclosed", "", "", "", "" },
                                Rule{ "bad-path", "", "[z-a]", "", "", "" } }) {
        SCOPED_TRACE(broken.comment);
        test_log_clear();
        EXPECT_EQ(SECTION_FLAWED, configure(true, false, "", {}, { broken }));
        std::string field = broken.host[0] ? "host" : "path";
        std::string value = broken.host[0] ? broken.host : broken.path;
        EXPECT_TRUE(test_log_contains("flawed XML file, section url-filtering, element deny: " +
                                      field + " must be a valid regular expression, but it is "
                                      "given value " + value));
        PolicyClient kept(get("http://keep.example.com/"));
        EXPECT_EQ("keep", decided(kept));
        PolicyClient other(get("http://other.example.com/"));
        EXPECT_EQ("", decided(other));
    }
}
