/* Profile rules: every condition, in a table of rules and requests; names
 * added by earlier rules counting for later ones; add and remove with their
 * log lines; time windows; the response-based conditions that wait for the
 * response; expressions that do not compile; and the access-log text. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "connection.h"
#include "general.h"
#include "header.h"
#include "options.h"
#include "profiles.h"
#include "regexp.h"
#include "section.h"
#include "test_support.h"
#include "urlcommand.h"
#include "xml.h"

namespace {

/* The shipped description, the profiles section and the general section
 * (for the proxy's host name), once per process. */
void sections_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    profile_section = new ProfileSection();
    general_section = new GeneralSection();
    done = true;
}

using Fields = std::map<std::string, std::string>;

/* One profile entry: every field, with harmless defaults (enabled, no
 * conditions, windows inactive, recurring) replaced by fields. Window
 * fields are given as "active:value". */
std::string profile_entry(const Fields &fields)
{
    Fields f = {
        { "enabled", "true" }, { "comment", "" }, { "log", "false" }, { "profiles", "" },
        { "scheme", "" }, { "host", "" }, { "path", "" }, { "content-type", "" },
        { "ports", "" }, { "commands", "" }, { "proxy-host", "" }, { "request-header", "" },
        { "response-header", "" }, { "month", "false:january,december" },
        { "day", "false:1,31" }, { "weekday", "false:sunday,saturday" },
        { "hour", "false:0,23" }, { "minute", "false:0,59" }, { "recurring", "true" },
        { "add-profiles", "" }, { "remove-profiles", "" },
    };
    for (const auto &kv : fields)
        f[kv.first] = kv.second;
    static const char *const order[] = {
        "enabled", "comment", "log", "profiles", "scheme", "host", "path", "content-type",
        "ports", "commands", "proxy-host", "request-header", "response-header", "month", "day",
        "weekday", "hour", "minute", "recurring", "add-profiles", "remove-profiles",
    };
    std::string out = "<profile>";
    for (const char *name : order) {
        std::string value = f[name];
        std::string attr;
        if (strcmp(name, "month") == 0 || strcmp(name, "day") == 0 ||
            strcmp(name, "weekday") == 0 || strcmp(name, "hour") == 0 ||
            strcmp(name, "minute") == 0) {
            size_t colon = value.find(':');
            attr = " active=\"" + value.substr(0, colon) + "\"";
            value = value.substr(colon + 1);
        }
        out += "<" + std::string(name) + attr + ">" + value + "</" + name + ">";
    }
    return out + "</profile>";
}

/* Loads the profile rules; returns the section load's result. */
int configure(const std::vector<Fields> &rules)
{
    sections_ready();
    std::string text = "<quillmere><profiles>";
    for (const Fields &r : rules)
        text += profile_entry(r);
    text += "</profiles></quillmere>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    return profile_section->load(&doc, CONFIG_LOAD_REPLACE);
}

/* A request and, when given, its response on a fresh connection. */
class Request {
public:
    explicit Request(const char *request, const char *response = nullptr)
    {
        conn = connection_new();
        conn->header = http_header_parse_request(request);
        EXPECT_NE(nullptr, conn->header) << request;
        if (response) {
            conn->rheader = http_header_parse_response(response);
            EXPECT_NE(nullptr, conn->rheader) << response;
        }
    }
    ~Request()
    {
        url_command_free(conn->urlcommands);
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        connection_free(conn);
    }

    std::string profiles() const
    {
        std::string out;
        for (const std::string &p : conn->profiles)
            out += (out.empty() ? "" : ",") + p;
        return out;
    }

    CONNECTION_T *conn;
};

struct tm at_time(int month, int mday, int wday, int hour, int minute)
{
    struct tm t;
    memset(&t, 0, sizeof t);
    t.tm_year = 124;
    t.tm_mon = month;
    t.tm_mday = mday;
    t.tm_wday = wday;
    t.tm_hour = hour;
    t.tm_min = minute;
    return t;
}

const char get_plain[] = "GET http://www.Example.org/dir/page.html HTTP/1.1\r\n"
                         "User-Agent: Tester/1.0\r\n\r\n";
const char get_port[] = "GET http://example.org:8080/ HTTP/1.1\r\n\r\n";
const char get_ftp[] = "GET ftp://files.example.org/pub/ HTTP/1.1\r\n\r\n";
const char get_origin[] = "GET /page HTTP/1.0\r\n\r\n";
const char get_commands[] = "GET http://xx--raw.example.org/ HTTP/1.1\r\n\r\n";
const char reply_html[] = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=UTF-8\r\n"
                          "X-Trace: abc\r\n\r\n";

struct RuleCase {
    const char *what;
    std::vector<Fields> rules;
    const char *request;
    const char *response;     /* NULL: before the response */
    unsigned permissions;
    const char *start;        /* the request's names before, comma-separated */
    struct tm now;
    const char *expected;     /* the names after, in order */
};

std::vector<RuleCase> rule_cases()
{
    struct tm noon = at_time(5, 15, 3, 12, 0);   /* Wednesday 15 June, 12:00 */
    return {
        { "no rules: nothing changes", {}, get_plain, nullptr, 0, "x", noon, "x" },
        { "an unconditional rule adds", { { { "add-profiles", "a" } } }, get_plain, nullptr, 0,
          "", noon, "a" },
        { "names added earlier count for later rules",
          { { { "add-profiles", "a" } }, { { "profiles", "a" }, { "add-profiles", "b" } } },
          get_plain, nullptr, 0, "", noon, "a,b" },
        { "a later rule cannot help an earlier one",
          { { { "profiles", "a" }, { "add-profiles", "b" } }, { { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "a" },
        { "an existing name is not added twice", { { { "add-profiles", "a,b" } } }, get_plain,
          nullptr, 0, "a", noon, "a,b" },
        { "add and remove of one name leaves it absent",
          { { { "add-profiles", "a" }, { "remove-profiles", "a" } } }, get_plain, nullptr, 0, "",
          noon, "" },
        { "remove takes every occurrence", { { { "remove-profiles", "a" } } }, get_plain, nullptr,
          0, "a,b,a", noon, "b" },
        { "a disabled rule never applies", { { { "enabled", "false" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "" },
        { "negated profile condition", { { { "profiles", "!guest" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "guest", noon, "guest" },
        { "scheme matches", { { { "scheme", "^ftp$" }, { "add-profiles", "a" } } }, get_ftp,
          nullptr, 0, "", noon, "a" },
        { "scheme differs", { { { "scheme", "^ftp$" }, { "add-profiles", "a" } } }, get_plain,
          nullptr, 0, "", noon, "" },
        { "host matches without case and unanchored",
          { { { "host", "EXAMPLE\\.org" }, { "add-profiles", "a" } } }, get_plain, nullptr, 0,
          "", noon, "a" },
        { "a request without host fails a host rule",
          { { { "host", "." }, { "add-profiles", "a" } } }, get_origin, nullptr, 0, "", noon, "" },
        { "path", { { { "path", "^/dir/" }, { "add-profiles", "a" } } }, get_plain, nullptr, 0, "",
          noon, "a" },
        { "port outside the list", { { { "ports", "8080" }, { "add-profiles", "a" } } }, get_plain,
          nullptr, 0, "", noon, "" },
        { "port inside the list", { { { "ports", "81-9000" }, { "add-profiles", "a" } } },
          get_port, nullptr, 0, "", noon, "a" },
        { "request header block", { { { "request-header", "user-agent: tester" },
                                      { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "a" },
        { "content type waits for the response",
          { { { "content-type", "^text/html" }, { "add-profiles", "a" } } }, get_plain, nullptr,
          0, "", noon, "" },
        { "content type with the response",
          { { { "content-type", "^text/html; charset" }, { "add-profiles", "a" } } }, get_plain,
          reply_html, 0, "", noon, "a" },
        { "response header waits for the response",
          { { { "response-header", "X-Trace" }, { "add-profiles", "a" } } }, get_plain, nullptr,
          0, "", noon, "" },
        { "response header with the response",
          { { { "response-header", "x-trace: abc" }, { "add-profiles", "a" } } }, get_plain,
          reply_html, 0, "", noon, "a" },
        { "command given and permitted",
          { { { "commands", "fresh,raw" }, { "add-profiles", "a" } } }, get_commands, nullptr,
          ACCESS_COMMANDS, "", noon, "a" },
        { "command given but not permitted",
          { { { "commands", "raw" }, { "add-profiles", "a" } } }, get_commands, nullptr,
          ACCESS_PROXY, "", noon, "" },
        { "another command", { { { "commands", "fresh" }, { "add-profiles", "a" } } },
          get_commands, nullptr, ACCESS_COMMANDS, "", noon, "" },
        { "a command rule without commands",
          { { { "commands", "raw" }, { "add-profiles", "a" } } }, get_plain, nullptr,
          ACCESS_COMMANDS, "", noon, "" },
        { "recurring hours inside", { { { "hour", "true:9,17" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "a" },
        { "recurring hours outside", { { { "hour", "true:9,11" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "" },
        { "recurring hours 22 to 6 never match at 23:00",
          { { { "hour", "true:22,6" }, { "add-profiles", "a" } } }, get_plain, nullptr, 0, "",
          at_time(5, 15, 3, 23, 0), "" },
        { "recurring hours 22 to 6 never match at 03:00",
          { { { "hour", "true:22,6" }, { "add-profiles", "a" } } }, get_plain, nullptr, 0, "",
          at_time(5, 15, 3, 3, 0), "" },
        { "weekdays Monday to Friday on a Wednesday",
          { { { "weekday", "true:monday,friday" }, { "add-profiles", "a" } } }, get_plain,
          nullptr, 0, "", noon, "a" },
        { "weekdays on a Sunday",
          { { { "weekday", "true:monday,friday" }, { "add-profiles", "a" } } }, get_plain,
          nullptr, 0, "", at_time(5, 19, 0, 12, 0), "" },
        { "absolute window 15 January to 10 March on 20 February",
          { { { "month", "true:january,march" }, { "day", "true:15,10" },
              { "recurring", "false" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", at_time(1, 20, 2, 12, 0), "a" },
        { "absolute window on 20 March",
          { { { "month", "true:january,march" }, { "day", "true:15,10" },
              { "recurring", "false" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", at_time(2, 20, 3, 12, 0), "" },
        { "the same window recurring on 20 February",
          { { { "month", "true:january,march" }, { "day", "true:15,10" },
              { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", at_time(1, 20, 2, 12, 0), "" },
        { "minutes at the edges", { { { "minute", "true:0,0" }, { "add-profiles", "a" } } },
          get_plain, nullptr, 0, "", noon, "a" },
    };
}

} // namespace

/* Each condition holds or fails as it should, one rule table per case. */
TEST(Profiles, RuleTable)
{
    for (const RuleCase &c : rule_cases()) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SECTION_LOADED, configure(c.rules));
        Request r(c.request, c.response);
        ASSERT_EQ(1, url_command_extract(r.conn));
        r.conn->permissions = c.permissions;
        r.conn->profiles = StringList(c.start, ',');
        profile_section->profiles_update_at(r.conn, &c.now);
        EXPECT_EQ(c.expected, r.profiles());
        EXPECT_EQ(c.expected, r.conn->logentry.profiles);
    }
}

/* The proxy's own host name: the command line's when given, else the
 * general section's. */
TEST(Profiles, ProxyHost)
{
    ASSERT_EQ(SECTION_LOADED, configure({ { { "proxy-host", "^cache\\." }, { "add-profiles", "a" } } }));
    struct tm noon = at_time(5, 15, 3, 12, 0);
    {
        Request r(get_plain);
        strcpy(proxyhost, "cache.example.net");
        profile_section->profiles_update_at(r.conn, &noon);
        EXPECT_EQ("a", r.profiles());
    }
    {
        Request r(get_plain);
        proxyhost[0] = '\0';
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(tinyxml2::XML_SUCCESS,
                  doc.Parse("<quillmere><general><hostname>Cache.local</hostname><tempdir/>"
                            "<linelength>80</linelength><poolsize>1</poolsize>"
                            "<pooltimeout>1</pooltimeout></general></quillmere>"));
        ASSERT_EQ(SECTION_LOADED, general_section->load(&doc, CONFIG_LOAD_REPLACE));
        profile_section->profiles_update_at(r.conn, &noon);
        EXPECT_EQ("a", r.profiles());
    }
    {
        Request r(get_plain);
        strcpy(proxyhost, "proxy.example.net");
        profile_section->profiles_update_at(r.conn, &noon);
        EXPECT_EQ("", r.profiles());
        proxyhost[0] = '\0';
    }
}

/* With log set, each added and each removed name is logged, a removed one
 * also when the request did not have it; without log nothing is. */
TEST(Profiles, LogLines)
{
    ASSERT_EQ(SECTION_LOADED,
              configure({ { { "log", "true" }, { "add-profiles", "a" },
                            { "remove-profiles", "a,zz" } },
                          { { "add-profiles", "quiet" } } }));
    Request r(get_plain);
    test_log_clear();
    profile_section->profiles_update(r.conn);
    EXPECT_EQ("quiet", r.profiles());
    EXPECT_TRUE(test_log_contains("Added Profile: a"));
    EXPECT_TRUE(test_log_contains("Removed Profile: a"));
    EXPECT_TRUE(test_log_contains("Removed Profile: zz"));
    EXPECT_FALSE(test_log_contains("Profile: quiet"));
}

/* A rule is evaluated again at each point of the request, on top of what
 * the last evaluation left: the content-type rule joins only once the
 * response header exists. */
TEST(Profiles, EvaluationPoints)
{
    ASSERT_EQ(SECTION_LOADED,
              configure({ { { "add-profiles", "seen" } },
                          { { "content-type", "html" }, { "add-profiles", "html" } },
                          { { "profiles", "user" }, { "add-profiles", "known" } } }));
    struct tm noon = at_time(5, 15, 3, 12, 0);
    Request r(get_plain);
    profile_section->profiles_update_at(r.conn, &noon);
    EXPECT_EQ("seen", r.profiles());
    r.conn->profiles.push_back("user");   /* the access rule's names */
    profile_section->profiles_update_at(r.conn, &noon);
    EXPECT_EQ("seen,user,known", r.profiles());
    r.conn->rheader = http_header_parse_response(reply_html);
    profile_section->profiles_update_at(r.conn, &noon);
    EXPECT_EQ("seen,user,known,html", r.profiles());
}

/* An expression that does not compile refuses the load of the section:
 * never a rule that matches every request. The refusal names the field. */
TEST(Profiles, BadExpressionRefusesTheLoad)
{
    sections_ready();
    ASSERT_EQ(SECTION_LOADED, configure({ { { "add-profiles", "b" } } }));
    test_log_clear();
    EXPECT_EQ(SECTION_FLAWED,
              configure({ { { "comment", "broken" }, { "host", "(" }, { "add-profiles", "a" } },
                          { { "add-profiles", "c" } } }));
    EXPECT_TRUE(test_log_contains("flawed XML file, section profiles, element profile: host must "
                                  "be a valid regular expression, but it is given value ("));
    Request r(get_plain);
    profile_section->profiles_update(r.conn);
    EXPECT_EQ("b", r.profiles());   /* the section as it was before */
}

/* A copy owns its expressions: it still matches after the original is
 * gone, and both can be destroyed. */
TEST(Profiles, CopyOwnsItsExpressions)
{
    ASSERT_EQ(SECTION_LOADED, configure({ { { "host", "example" }, { "path", "dir" } } }));
    std::unique_ptr<Profile> original(new Profile(profile_section->subsections[0].items.front()));
    Profile copy(*original);
    ASSERT_NE(nullptr, copy.regex[PROFILE_HOST]);
    EXPECT_NE(original->regex[PROFILE_HOST], copy.regex[PROFILE_HOST]);
    original.reset();
    EXPECT_EQ(0, reg_exec(copy.regex[PROFILE_HOST], "www.example.org"));
    EXPECT_EQ(nullptr, copy.regex[PROFILE_SCHEME]);
    EXPECT_FALSE(copy.refused);
}

/* The access-log text joins the names with commas and stops at 254
 * characters, each name and the whole. */
TEST(Profiles, LogText)
{
    StringList twenty;
    std::string joined;
    for (int i = 0; i < 20; i++) {
        std::string name = std::string(19, (char)('a' + i)) + "x";
        twenty.push_back(name);
        joined += (i ? "," : "") + name;
    }
    EXPECT_EQ(joined.substr(0, PROFILE_LOG_TEXT_MAX), profile_log_text(twenty));

    StringList one_long;
    one_long.push_back(std::string(300, 'n'));
    one_long.push_back("b");
    EXPECT_EQ(std::string(PROFILE_LOG_TEXT_MAX, 'n'), profile_log_text(one_long));

    StringList exact;
    exact.push_back(std::string(PROFILE_LOG_TEXT_MAX - 2, 'n'));
    exact.push_back("b");
    EXPECT_EQ(std::string(PROFILE_LOG_TEXT_MAX - 2, 'n') + ",b", profile_log_text(exact));
    exact.push_back("c");
    EXPECT_EQ(std::string(PROFILE_LOG_TEXT_MAX - 2, 'n') + ",b", profile_log_text(exact));
    EXPECT_EQ("", profile_log_text(StringList()));
}
