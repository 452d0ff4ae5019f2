/* The URL blacklist: loading a synthetic category tree (domains and urls
 * files, CRLF lines, capitals, overlong lines and domains, an empty
 * category, a plain file, a missing directory) with its count lines; the
 * matcher (whole-label suffixes, prefixes without case, domains over urls);
 * and the section's two-list decision with its page, status, variables and
 * log lines. */
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <string>
#include <vector>

#include "options.h"
#include "policytest.h"
#include "templates.h"
#include "test_support.h"
#include "urlblacklist.h"

namespace {

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

/* A line of exactly length characters: "host/" and a path of 'p's. */
std::string line_of(const std::string &host, size_t length)
{
    std::string line = host + "/";
    line.append(length - line.size(), 'p');
    return line;
}

/* The tree, made once per process. */
std::string tree()
{
    static std::string root;
    if (!root.empty())
        return root;
    root = test_temp_dir();
    std::string ads = root + "/ads", crlf = root + "/crlf", porn = root + "/porn";
    for (const std::string &d : { ads, crlf, porn, root + "/empty" })
        mkdir(d.c_str(), 0755);
    write_file(ads + "/domains", "example.com\nCAPS.example.org\nboth.test\n");
    write_file(ads + "/urls",
               "example.com/only/\n"                       /* listed whole already */
               "tracker.test/ads/\n"
               "tracker.test/pixel\n"
               "plain.test\n"                              /* no path: every path */
               + std::string(600, 'x') + ".test/p\n"       /* domain over 511 */
               + line_of("skip.test", 1024) + "\n"         /* one past the limit */
               + line_of("long.test", 1023) + "\n"         /* exactly at it */
               + "tail.test/end");                         /* no final line feed */
    write_file(crlf + "/domains", "crlf.test\r\nother.crlf.test\r\n");
    write_file(porn + "/domains", "porn.test\nboth.test\n");
    write_file(root + "/plainfile", "not a category\n");
    return root;
}

void sections_ready()
{
    policytest_ready([] { urlbl_section = new URLBLSection(); });
}

std::string rule_xml(const char *list, const char *categories, const char *template_name = "",
                     const char *profiles = "")
{
    return std::string("<") + list + "><enabled>true</enabled><comment>" + categories +
           "</comment><profiles>" + profiles + "</profiles><categories>" + categories +
           "</categories><template>" + template_name + "</template></" + list + ">";
}

/* Loads the section with the tree as its directory and reads the tree. */
void configure(bool allow_first, const std::string &rules, const std::string &template_name = "",
               bool enabled = true)
{
    sections_ready();
    std::string body = std::string("<urlblacklist><enabled>") + (enabled ? "true" : "false") +
                       "</enabled><allow-first>" + (allow_first ? "true" : "false") +
                       "</allow-first><directory>" + tree() + "</directory><template>" +
                       template_name + "</template>" + rules + "</urlblacklist>";
    ASSERT_EQ(SECTION_LOADED, policytest_load(urlbl_section, body));
    urlbl_section->load();
}

} // namespace

/* The loader: categories are the subdirectories; the count lines name the
 * overlong lines and the lines that can never match, per file. */
TEST(UrlBlacklist, LoadTree)
{
    test_log_clear();
    configure(false, "");
    EXPECT_TRUE(test_log_contains("URL blacklist: loaded 4 categories"));
    const URLBLCategories &bl = urlbl_section->blacklist;
    ASSERT_EQ(4u, bl.size());
    EXPECT_TRUE(bl.at("empty").empty());
    EXPECT_EQ(0u, bl.count("plainfile"));
    EXPECT_TRUE(test_log_contains("URL blacklist: " + tree() + "/ads/domains: 0 lines skipped "
                                  "(over 1023 characters), 1 lines that can never match (CR or "
                                  "upper case)"));
    EXPECT_TRUE(test_log_contains("URL blacklist: " + tree() + "/ads/urls: 1 lines skipped (over "
                                  "1023 characters), 1 lines that can never match (CR or upper "
                                  "case)"));
    EXPECT_TRUE(test_log_contains("URL blacklist: " + tree() + "/crlf/domains: 0 lines skipped "
                                  "(over 1023 characters), 2 lines that can never match"));
    EXPECT_FALSE(test_log_contains("porn/domains:"));

    /* No entry was cut out of an overlong line or domain. */
    const URLBLDomains &ads = bl.at("ads");
    for (const auto &d : ads)
        EXPECT_LT(d.first.size(), 512u) << d.first;
    EXPECT_EQ(0u, ads.count("skip.test"));
    EXPECT_EQ(1u, ads.count("long.test"));
    EXPECT_TRUE(ads.at("example.com").empty());

    /* A missing directory says so and leaves the blacklist as it was. */
    test_log_clear();
    std::string missing = tree() + "/no/such/dir";
    ASSERT_EQ(SECTION_LOADED,
              policytest_load(urlbl_section, "<urlblacklist><enabled>true</enabled><allow-first>"
                                             "false</allow-first><directory>" + missing +
                                             "</directory><template></template></urlblacklist>"));
    urlbl_section->load();
    EXPECT_TRUE(test_log_contains("URL blacklist: failed to load URL blacklist from " + missing));
    EXPECT_EQ(4u, urlbl_section->blacklist.size());

    /* Switched on with no directory, or one without a category, says so
     * too; switched off, an empty setting is silent. */
    std::string bare = tree() + "/empty";
    struct EmptyCase {
        bool enabled;
        std::string directory;
        bool logged;
    };
    const EmptyCase empties[] = { { true, "", true }, { false, "", false }, { true, bare, true } };
    for (const EmptyCase &e : empties) {
        SCOPED_TRACE(e.directory + (e.enabled ? " on" : " off"));
        test_log_clear();
        ASSERT_EQ(SECTION_LOADED,
                  policytest_load(urlbl_section, std::string("<urlblacklist><enabled>") +
                                                     (e.enabled ? "true" : "false") +
                                                     "</enabled><allow-first>false</allow-first><directory>" +
                                                     e.directory + "</directory><template></template></urlblacklist>"));
        urlbl_section->load();
        EXPECT_EQ(e.logged, test_log_contains("URL blacklist: failed to load URL blacklist from " + e.directory));
    }
}

/* Whole-label suffixes, prefixes compared without case, domains over urls,
 * lines taken as they are, and the limits of a line. */
TEST(UrlBlacklist, Matcher)
{
    configure(false, "");
    struct MatchCase {
        const char *category;
        std::string host;
        std::string path;
        bool listed;
    };
    const std::vector<MatchCase> cases = {
        { "ads", "example.com", "/", true },
        { "ads", "shop.example.com", "/x", true },
        { "ads", "a.b.example.com", "/x", true },
        { "ads", "example.com.", "/", true },              /* trailing dot */
        { "ads", "a..example.com", "/", true },            /* empty label */
        { "ads", "badexample.com", "/", false },           /* whole labels only */
        { "ads", "example.com", "/anything/else", true },  /* domains over urls */
        { "ads", "caps.example.org", "/", false },         /* capitals never match */
        { "ads", "shop.tracker.test", "/ADS/x.gif", true },
        { "ads", "shop.tracker.test", "/news/", false },
        { "ads", "tracker.test", "/pixel.gif", true },
        { "ads", "tracker.test", "/pix", false },
        { "ads", "plain.test", "/whatever", true },
        { "ads", "tail.test", "/end/x", true },
        { "ads", "long.test", line_of("long.test", 1023).substr(9), true },
        { "ads", "skip.test", line_of("skip.test", 1024).substr(9), false },
        { "ads", "", "/", false },
        { "crlf", "crlf.test", "/", false },               /* CR kept: never matches */
        { "empty", "example.com", "/", false },
    };
    for (const MatchCase &c : cases) {
        SCOPED_TRACE(std::string(c.category) + " " + c.host + c.path.substr(0, 40));
        EXPECT_EQ(c.listed, urlbl_listed(urlbl_section->blacklist.at(c.category), c.host.c_str(),
                                         c.path.c_str()));
    }
}

/* The section's decision: the deciding rule, the page and its status, the
 * variables, the log lines and the log entry, with allow-first off and on. */
TEST(UrlBlacklist, Decisions)
{
    struct DecisionCase {
        bool allow_first;
        const char *request;
        int status;             /* 0: passes */
        const char *sent;       /* page name */
        const char *category;   /* CATEGORY, "(unset)" */
        const char *reason;     /* the log entry's filtering reason */
    };
    static const DecisionCase cases[] = {
        { false, "GET http://shop.example.com/ HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "CONNECT example.com:443 HTTP/1.1\r\n\r\n", 404, "imgfilter", "ads", "ads" },
        { false, "GET http://EXAMPLE.COM./ HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://both.test/ HTTP/1.1\r\n\r\n", 0, "", "porn", "porn" },
        { false, "GET http://other.test/ HTTP/1.1\r\n\r\n", 0, "", "(unset)", "" },
        { true, "GET http://nothing.test/ HTTP/1.1\r\n\r\n", 200, "noaccess", "(unset)", "" },
        { true, "GET http://porn.test/ HTTP/1.1\r\n\r\n", 0, "", "porn", "porn" },
        { true, "GET http://both.test/ HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { true, "CONNECT nothing.test:443 HTTP/1.1\r\n\r\n", 404, "noaccess", "(unset)", "" },
        /* a urls prefix meets the path as the server reads it too */
        { false, "GET http://tracker.test/%61ds/x HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://tracker.test//ads/x HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://tracker.test/x/../ads/x HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://tracker.test/%2fads/x HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://tracker.test/./pixel.gif HTTP/1.1\r\n\r\n", 200, "imgfilter", "ads", "ads" },
        { false, "GET http://tracker.test/news/%2e HTTP/1.1\r\n\r\n", 0, "", "(unset)", "" },
    };
    for (const DecisionCase &c : cases) {
        SCOPED_TRACE(c.request);
        configure(c.allow_first,
                  rule_xml("allow", "porn") + rule_xml("allow", "ADS") +
                      rule_xml("deny", "missing,ADS") + rule_xml("deny", "crlf,ads", "imgfilter"),
                  "noaccess");
        test_log_clear();
        PolicyClient client(c.request);
        EXPECT_EQ(c.status ? 1 : 0, urlbl_section->check_and_block(client.conn));
        EXPECT_EQ(c.status, client.status());
        if (c.status) {
            EXPECT_TRUE(test_log_contains(std::string("sent ") + c.sent));
            const HEADER *h = client.conn->header;
            EXPECT_TRUE(test_log_contains(std::string("URL blacklist: blocked ") + h->host + h->path));
        }
        EXPECT_EQ(c.category, client.variable("CATEGORY"));
        if (!*c.reason) {
            EXPECT_NE("urlbl", client.conn->logentry.filter_name);
        } else {
            EXPECT_EQ(c.reason, client.conn->logentry.filtering_reason);
            EXPECT_EQ("urlbl", client.conn->logentry.filter_name);
            EXPECT_EQ("URL BlackList", client.variable("FILTER"));
            EXPECT_TRUE(test_log_contains(std::string("URL blacklist: match found in ") + c.reason +
                                          " category"));
        }
    }

    /* Without a template anywhere the page is "blacklisted"; the bypass bit
     * and a disabled section let everything pass. */
    configure(false, rule_xml("deny", "ads"));
    PolicyClient plain("GET http://example.com/ HTTP/1.1\r\n\r\n");
    test_log_clear();
    EXPECT_EQ(1, urlbl_section->check_and_block(plain.conn));
    EXPECT_TRUE(test_log_contains("sent blacklisted"));
    PolicyClient bypassed("GET http://example.com/ HTTP/1.1\r\n\r\n");
    bypassed.conn->bypass |= BYPASS_URLBL;
    EXPECT_EQ(0, urlbl_section->check_and_block(bypassed.conn));
    configure(false, rule_xml("deny", "ads"), "", false);
    PolicyClient off("GET http://example.com/ HTTP/1.1\r\n\r\n");
    EXPECT_EQ(0, urlbl_section->check_and_block(off.conn));
}
