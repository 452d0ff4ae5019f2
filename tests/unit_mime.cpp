/* The MIME rules: the decision table of content-type, host, path and
 * profile rules with allow-first on and off (parameters seen, case
 * ignored, no Content-Type matched only by rules without a type
 * expression); the refusal page with its template choice, status,
 * variables, log line and log entry; the "mime" page with hostile paths
 * and the default rule; and the refusal of expressions that do not
 * compile. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection.h"
#include "header.h"
#include "mime.h"
#include "policytest.h"
#include "test_support.h"

namespace {

struct Rule {
    const char *comment;
    const char *host;
    const char *path;
    const char *type;
    const char *profiles;
    const char *template_name;
};

std::string rule_xml(const char *list, const Rule &r)
{
    return std::string("<") + list + "><enabled>true</enabled><comment>" + r.comment +
           "</comment><profiles>" + r.profiles + "</profiles><host>" + r.host + "</host><path>" +
           r.path + "</path><mime-type>" + r.type + "</mime-type><template>" + r.template_name +
           "</template></" + list + ">";
}

int configure(bool enabled, bool allow_first, const std::string &template_name,
              const std::vector<Rule> &allow, const std::vector<Rule> &deny)
{
    policytest_ready([] { mime_section = new MimeSection(); });
    std::string body = std::string("<mime-filtering><enabled>") + (enabled ? "true" : "false") +
                       "</enabled><allow-first>" + (allow_first ? "true" : "false") +
                       "</allow-first><template>" + template_name + "</template>";
    for (const Rule &r : allow)
        body += rule_xml("allow", r);
    for (const Rule &r : deny)
        body += rule_xml("deny", r);
    return policytest_load(mime_section, body + "</mime-filtering>");
}

/* A client whose request for url got a response with content_type
 * (NULL: no Content-Type line). */
struct Exchange : PolicyClient {
    Exchange(const std::string &url, const char *content_type)
        : PolicyClient("GET " + url + " HTTP/1.1\r\n\r\n")
    {
        std::string head = "HTTP/1.1 200 OK\r\n";
        if (content_type)
            head += std::string("Content-Type: ") + content_type + "\r\n";
        conn->rheader = http_header_parse_response((head + "Content-Length: 3\r\n\r\n").c_str());
    }
};

/* The comment of the refusing rule, "(built-in)" for the default rule, ""
 * when the response passes. */
std::string decided(const CONNECTION_T *conn)
{
    SectionReadGuard guard(*mime_section);
    const Mime *rule = mime_section->check(conn);
    return !rule ? "" : rule->item ? rule->comment : "(built-in)";
}

struct Case {
    const char *url;
    const char *type;
    const char *decided;
};

} // namespace

/* allow-first off: a deny rule refuses unless an allow rule matches too. */
TEST(MimeRules, DenyFirstTable)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, "",
                        { { "logos", "^logos\\.example\\.com$", "", "", "", "" },
                          { "exact-html", "", "", "^text/html$", "", "" } },
                        { { "images", "", "", "^image/", "", "" },
                          { "html", "", "", "^text/html", "", "" },
                          { "downloads", "", "^/files/", "", "", "" } }));
    static const Case cases[] = {
        { "http://www.example.com/a.png", "image/png", "images" },
        { "http://www.example.com/a.png", "IMAGE/PNG", "images" },               /* caseless */
        { "http://logos.example.com/a.png", "image/png", "" },                  /* allowed back */
        { "http://www.example.com/", "text/html", "" },                         /* ^text/html$ allows */
        { "http://www.example.com/", "text/html; charset=utf-8", "html" },     /* parameters seen */
        { "http://www.example.com/", "text/plain", "" },
        { "http://www.example.com/", nullptr, "" },                             /* no type: no type rule */
        { "http://www.example.com/files/x", nullptr, "downloads" },            /* path rule matches */
        { "http://www.example.com/x", "application/x-image/png", "" },          /* anchored */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.url) + " " + (c.type ? c.type : "(none)"));
        Exchange ex(c.url, c.type);
        EXPECT_EQ(c.decided, decided(ex.conn));
    }
}

/* allow-first on: no allow match refuses with the default rule; profiles,
 * bypass m and a disabled section. */
TEST(MimeRules, AllowFirstProfilesBypass)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, true, "",
                        { { "html", "", "", "^text/", "", "" },
                          { "staff-all", "", "", "", "staff", "" } },
                        { { "no-plain", "", "", "^text/plain", "", "" } }));
    struct ProfileCase {
        const char *type;
        const char *profile;
        unsigned bypass;
        const char *decided;
    };
    static const ProfileCase cases[] = {
        { "text/html", "", 0, "" },
        { "image/png", "", 0, "(built-in)" },
        { nullptr, "", 0, "(built-in)" },
        { "text/plain", "", 0, "no-plain" },
        { "image/png", "staff", 0, "" },
        { "image/png", "", BYPASS_MIME, "" },
    };
    for (const ProfileCase &c : cases) {
        SCOPED_TRACE(std::string(c.type ? c.type : "(none)") + " " + c.profile);
        Exchange ex("http://www.example.com/", c.type);
        if (*c.profile)
            ex.conn->profiles.push_back(c.profile);
        ex.conn->bypass |= c.bypass;
        EXPECT_EQ(c.decided, decided(ex.conn));
    }
    ASSERT_EQ(SECTION_LOADED, configure(false, true, "", {}, {}));
    Exchange ex("http://www.example.com/", "image/png");
    EXPECT_EQ("", decided(ex.conn));
}

/* The refusal: template of the rule, of the section, else "blocked";
 * status 200 for every request; FILTER and MIME variables; the log line
 * and the log entry say "(none)" where the page says "(UNKNOWN)". */
TEST(MimeRules, RefusalPage)
{
    struct PageCase {
        const char *url;
        const char *type;
        const char *section_template;
        const char *sent;
        const char *variable;
        const char *logged;
    };
    static const PageCase cases[] = {
        { "http://www.example.com/rule.png", "image/png", "noaccess", "nofile", "image/png",
          "image/png" },
        { "http://www.example.com/a.png", "image/png", "noaccess", "noaccess", "image/png",
          "image/png" },
        { "http://www.example.com/a.png", "image/png; x=\"1\"", "", "blocked", "image/png; x=\"1\"",
          "image/png; x=\"1\"" },
        { "http://www.example.com/raw", nullptr, "", "blocked", "(UNKNOWN)", "(none)" },
    };
    for (const PageCase &c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_EQ(SECTION_LOADED,
                  configure(true, false, c.section_template, {},
                            { { "rule", "", "^/rule", "", "", "nofile" },
                              { "images", "", "", "^image/", "", "" },
                              { "raw", "", "^/raw$", "", "", "" } }));
        test_log_clear();
        Exchange ex(c.url, c.type);
        EXPECT_EQ(0, mime_section->check_and_block(ex.conn));
        EXPECT_EQ(200, ex.status());
        EXPECT_TRUE(test_log_contains(std::string("sent ") + c.sent));
        EXPECT_EQ("MiMe Filter", ex.variable("FILTER"));
        EXPECT_EQ(c.variable, ex.variable("MIME"));
        EXPECT_EQ("mime-filter", ex.conn->logentry.filter_name);
        EXPECT_EQ(c.type ? c.type : "(none)", ex.conn->logentry.filtering_reason);
        const HEADER *h = ex.conn->header;
        EXPECT_TRUE(test_log_contains(std::string("mime filter: blocked: mime-type ") + c.logged +
                                      " from " + h->host + h->path));
    }
    Exchange passing("http://www.example.com/", "text/html");
    EXPECT_EQ(1, mime_section->check_and_block(passing.conn));
    EXPECT_EQ(0, passing.status());
}

/* The "mime" page: the deciding entry, "None", or the default rule's
 * refusal; host and path escaped in the title. */
TEST(MimeRules, MimePage)
{
    struct ShowCase {
        bool allow_first;
        const char *url;
        const char *type;
        const char *shows;
    };
    static const ShowCase cases[] = {
        { false, "http://www.example.com/ok", "text/html", ">None<" },
        { false, "http://www.example.com/evil/<script>\"'x", "image/gif", ">no-images<" },
        { true, "http://other.org/x", "text/html", ">Refused: no allow rule matched<" },
    };
    for (const ShowCase &c : cases) {
        SCOPED_TRACE(c.url);
        ASSERT_EQ(SECTION_LOADED, configure(true, c.allow_first, "", {},
                                            { { "no-images", "", "", "^image/", "", "" } }));
        Exchange ex(c.url, c.type);
        mime_section->check_show(ex.conn);
        std::string page;
        ASSERT_EQ(200, ex.status(&page));
        EXPECT_NE(std::string::npos, page.find(c.shows)) << page;
        std::string title = "MIME filter match for " + std::string(ex.conn->header->host);
        EXPECT_NE(std::string::npos, page.find("<title>" + title)) << page;
        EXPECT_EQ(std::string::npos, page.find("<script")) << page;
        EXPECT_EQ(std::string::npos, page.find("\"'x")) << page;
    }
}

/* An expression that does not compile is refused at load with the
 * configuration's error line; the rules loaded before stay. */
TEST(MimeRules, BrokenExpressionRefused)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false, "", {}, { { "images", "", "", "^image/", "", "" } }));
    static const Rule broken[] = {
        { "b", "(", "", "", "", "" },
        { "b", "", "[x", "", "", "" },
        { "b", "", "", "image/(", "", "" },
    };
    static const char *const names[] = { "host", "path", "mime-type" };
    for (size_t i = 0; i < 3; i++) {
        SCOPED_TRACE(names[i]);
        test_log_clear();
        EXPECT_EQ(SECTION_FLAWED, configure(true, false, "", {}, { broken[i] }));
        EXPECT_TRUE(test_log_contains(std::string("flawed XML file, section mime-filtering, "
                                                  "element deny: ") + names[i] +
                                      " must be a valid regular expression"));
        Exchange ex("http://www.example.com/", "image/png");
        EXPECT_EQ("images", decided(ex.conn));
    }
}
