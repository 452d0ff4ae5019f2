/* The header rules: the two-list table with allow-first on and off per
 * direction and profile; what the serialiser then writes for plain lines,
 * for end-to-end headers held in fields (a refused one is not sent, the
 * field keeps it, a value the proxy sets later is sent) and for the lines
 * the proxy writes itself (never judged); added lines; bypass and a
 * disabled section; and the entries refused at load. */
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "headerfilter.h"
#include "log.h"
#include "policytest.h"
#include "test_support.h"

namespace {

struct Rule {
    const char *list;        /* allow, deny or add */
    const char *name;
    const char *value;
    const char *direction;   /* client, server or both */
    const char *profiles;
};

std::string rule_xml(const Rule &r)
{
    return std::string("<") + r.list + "><enabled>true</enabled><comment>c</comment><profiles>" +
           r.profiles + "</profiles><name>" + r.name + "</name><value>" + r.value +
           "</value><direction>" + r.direction + "</direction></" + r.list + ">";
}

int configure(bool enabled, bool allow_first, const std::vector<Rule> &rules)
{
    policytest_ready([] { header_section = new HeaderSection(); });
    std::string body = std::string("<header-filtering><enabled>") + (enabled ? "true" : "false") +
                       "</enabled><allow-first>" + (allow_first ? "true" : "false") +
                       "</allow-first>";
    for (const Rule &r : rules)
        body += rule_xml(r);
    return policytest_load(header_section, body + "</header-filtering>");
}

const char *const REQUEST =
    "GET http://www.example.com/a HTTP/1.1\r\n"
    "Host: www.example.com\r\n"
    "User-Agent: Browser/1.0\r\n"
    "Referer: http://from.example.com/\r\n"
    "X-Secret: s3\r\n"
    "Accept: */*\r\n"
    "Content-Length: 0\r\n"
    "Via: 1.1 inner\r\n"
    "\r\n";

std::string serialised(const HEADER *header, CONNECTION_T *conn, int kind)
{
    Filebuf out;
    EXPECT_EQ(FILEBUF_OK, header_send_filebuf(&out, header, conn, kind));
    return std::string(out.data, (size_t)out.size);
}

/* The lines of text (start line left out), each "Name: value". */
std::string lines_of(const std::string &text)
{
    std::string out;
    size_t pos = text.find("\r\n");
    while (pos != std::string::npos) {
        size_t next = text.find("\r\n", pos + 2);
        if (next == std::string::npos || next == pos + 2)
            break;
        out += text.substr(pos + 2, next - pos - 2) + "|";
        pos = next;
    }
    return out;
}

bool has_line(const std::string &text, const std::string &line)
{
    return text.find("\r\n" + line + "\r\n") != std::string::npos;
}

} // namespace

/* One table per direction and evaluation order: which request lines are
 * written after the rules, and which log lines claim a removal. */
TEST(HeaderRules, RequestTable)
{
    struct Case {
        const char *what;
        bool allow_first;
        std::vector<Rule> rules;
        const char *profile;            /* the request's profile, "" for none */
        std::vector<const char *> sent;
        std::vector<const char *> absent;
        std::vector<const char *> logged;
    };
    const std::vector<Case> cases = {
        { "deny a plain line by name", false,
          { { "deny", "^x-secret$", "", "client", "" } }, "",
          { "User-Agent: Browser/1.0", "Accept: */*" }, { "X-Secret: s3" },
          { "header: removed: from client: X-Secret: s3" } },
        { "deny a held line: User-Agent is not sent", false,
          { { "deny", "^user-agent$", "", "client", "" } }, "",
          { "Referer: http://from.example.com/", "X-Secret: s3" }, { "User-Agent:" },
          { "header: removed: from client: User-Agent: Browser/1.0" } },
        { "deny by value, caseless and unanchored", false,
          { { "deny", "", "BROWSER", "client", "" } }, "",
          { "X-Secret: s3" }, { "User-Agent:" }, {} },
        { "a server-only rule leaves requests alone", false,
          { { "deny", "^user-agent$", "", "server", "" } }, "",
          { "User-Agent: Browser/1.0" }, {}, {} },
        { "deny and allow: the allow rule wins", false,
          { { "deny", "^x-", "", "client,server", "" }, { "allow", "secret", "", "client", "" } },
          "", { "X-Secret: s3" }, {}, {} },
        { "allow-first with an allow-all rule passes everything", true,
          { { "allow", ".", "", "client,server", "" } }, "",
          { "User-Agent: Browser/1.0", "X-Secret: s3", "Accept: */*" }, {}, {} },
        { "allow-first without allow rules sends only the proxy's own lines", true, {}, "",
          { "Host: www.example.com", "Content-Length: 0", "Connection: keep-alive" },
          { "User-Agent:", "Referer:", "X-Secret:", "Accept:", "Via:" }, {} },
        { "allow-first: an allowed line refused by a deny rule", true,
          { { "allow", ".", "", "client", "" }, { "deny", "^accept$", "", "client", "" } }, "",
          { "X-Secret: s3" }, { "Accept:" }, {} },
        { "the proxy's own lines are never judged", false,
          { { "deny", ".", "", "client", "" } }, "",
          { "Host: www.example.com", "Content-Length: 0" }, { "X-Secret:", "User-Agent:" },
          {} },
        { "a rule for another profile does nothing", false,
          { { "deny", "^x-secret$", "", "client", "staff" } }, "",
          { "X-Secret: s3" }, {}, {} },
        { "a rule for the request's profile applies", false,
          { { "deny", "^x-secret$", "", "client", "staff" } }, "staff", {}, { "X-Secret:" },
          {} },
        { "added lines: a new one, and one replacing User-Agent", false,
          { { "add", "X-Added", "1", "client", "" },
            { "add", "User-Agent", "Corporate/2", "client", "" },
            { "add", "X-Response-Only", "1", "server", "" } }, "",
          { "X-Added: 1", "User-Agent: Corporate/2" }, { "User-Agent: Browser", "X-Response-Only:" },
          { "header: added: to client: X-Added: 1" } },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(SECTION_LOADED, configure(true, c.allow_first, c.rules));
        test_log_clear();
        PolicyClient client(REQUEST);
        if (*c.profile)
            client.conn->profiles.push_back(c.profile);
        header_section->filter(client.conn, HEADER_FILTER_CLIENT);
        EXPECT_TRUE(client.conn->header->flags & HEADER_FILTERED);
        std::string text = serialised(client.conn->header, client.conn, HEADER_SEND_ORIGIN);
        for (const char *line : c.sent)
            EXPECT_TRUE(has_line(text, line)) << line << "\n" << text;
        for (const char *line : c.absent)
            EXPECT_EQ(std::string::npos, text.find(std::string("\r\n") + line)) << line << "\n"
                                                                                 << text;
        for (const char *line : c.logged)
            EXPECT_TRUE(test_log_contains(line)) << line;
        /* One User-Agent line at most, whatever the rules did. */
        size_t first = text.find("User-Agent:");
        EXPECT_TRUE(first == std::string::npos ||
                    text.find("User-Agent:", first + 1) == std::string::npos) << text;
        /* A removal claim is made only for what really left the message. */
        EXPECT_FALSE(test_log_contains("removed: from client: Host"));
        EXPECT_FALSE(test_log_contains("removed: from client: Content-Length"));
    }
}

/* A refused held header keeps its field; values the proxy sets after the
 * filter are sent: its own Via entry alone, X-Forwarded-For and the
 * If-Modified-Since of a revalidation. */
TEST(HeaderRules, HeldHeadersKeepTheirFields)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false,
                        { { "deny", "^(via|x-forwarded-for|if-modified-since|user-agent)$", "",
                            "client", "" } }));
    PolicyClient client("GET http://www.example.com/ HTTP/1.1\r\nHost: www.example.com\r\n"
                        "Via: 1.1 inner\r\nX-Forwarded-For: 10.9.9.9\r\n"
                        "If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
                        "User-Agent: Browser/1.0\r\n\r\n");
    CONNECTION_T *conn = client.conn;
    header_section->filter(conn, HEADER_FILTER_CLIENT);
    HEADER *h = conn->header;
    EXPECT_STREQ("Browser/1.0", h->user_agent);           /* kept for logs and variables */
    EXPECT_STREQ("10.9.9.9", h->x_forwarded_for);
    std::string text = serialised(h, conn, HEADER_SEND_ORIGIN);
    EXPECT_EQ(std::string::npos, text.find("Via:")) << text;
    EXPECT_EQ(std::string::npos, text.find("X-Forwarded-For:")) << text;
    EXPECT_EQ(std::string::npos, text.find("If-Modified-Since:")) << text;

    via_header_update(conn);
    header_held_set(h, &HEADER::x_forwarded_for, "10.1.2.3");
    conditional_header(h, 86400);
    text = serialised(h, conn, HEADER_SEND_ORIGIN);
    EXPECT_EQ(std::string::npos, text.find("inner")) << text;
    EXPECT_NE(std::string::npos, text.find("\r\nVia: ")) << text;
    EXPECT_TRUE(has_line(text, "X-Forwarded-For: 10.1.2.3")) << text;
    EXPECT_TRUE(has_line(text, "If-Modified-Since: Fri, 02 Jan 1970 00:00:00 GMT")) << text;
    EXPECT_EQ(std::string::npos, text.find("User-Agent:")) << text;

    /* A copy (the cache and the diagnostic pages copy headers) keeps the
     * refusal. */
    std::unique_ptr<HEADER, void (*)(HEADER *)> copy(http_header_dup(h), http_header_free);
    EXPECT_EQ(std::string::npos, serialised(copy.get(), conn, HEADER_SEND_ORIGIN).find("User-Agent:"));
}

/* Responses: direction 2 judges the response header; a refused
 * Cache-Control is not sent while the field still drives caching; added
 * lines follow the received ones. */
TEST(HeaderRules, ResponseDirection)
{
    ASSERT_EQ(SECTION_LOADED,
              configure(true, false,
                        { { "deny", "^(server|cache-control)$", "", "server", "" },
                          { "deny", "^accept$", "", "client", "" },
                          { "add", "X-Example", "1", "server", "" } }));
    test_log_clear();
    PolicyClient client(REQUEST);
    CONNECTION_T *conn = client.conn;
    conn->rheader = http_header_parse_response(
        "HTTP/1.1 200 OK\r\nServer: origin\r\nCache-Control: max-age=60\r\nAccept: x\r\n"
        "X-Other: 1\r\nContent-Length: 5\r\n\r\n");
    ASSERT_NE(nullptr, conn->rheader);
    header_section->filter(conn, HEADER_FILTER_SERVER);
    EXPECT_FALSE(conn->header->flags & HEADER_FILTERED);   /* the request is not touched */
    EXPECT_STREQ("max-age=60", conn->rheader->cache_control);
    std::string text = serialised(conn->rheader, conn, HEADER_SEND_RESPONSE);
    EXPECT_EQ("Accept: x|X-Other: 1|X-Example: 1|Content-Length: 5|Connection: keep-alive|"
              "Proxy-Connection: keep-alive|",
              lines_of(text));
    EXPECT_TRUE(test_log_contains("header: removed: from server: Server: origin"));
    EXPECT_TRUE(test_log_contains("header: added: to server: X-Example: 1"));
}

/* No filtering with the bypass letter h or the section disabled: the
 * received lines go out, nothing is added, HEADER_FILTERED stays clear. */
TEST(HeaderRules, BypassAndDisabled)
{
    const std::vector<Rule> rules = { { "deny", "", "", "client,server", "" },
                                      { "add", "X-Added", "1", "client", "" } };
    for (bool bypass : { true, false }) {
        SCOPED_TRACE(bypass ? "bypass" : "disabled");
        ASSERT_EQ(SECTION_LOADED, configure(bypass, false, rules));
        PolicyClient client(REQUEST);
        if (bypass)
            client.conn->bypass |= BYPASS_HEADERS;
        header_section->filter(client.conn, HEADER_FILTER_CLIENT);
        EXPECT_FALSE(client.conn->header->flags & HEADER_FILTERED);
        std::string text = serialised(client.conn->header, client.conn, HEADER_SEND_ORIGIN);
        EXPECT_TRUE(has_line(text, "X-Secret: s3")) << text;
        EXPECT_TRUE(has_line(text, "User-Agent: Browser/1.0")) << text;
        EXPECT_EQ(std::string::npos, text.find("X-Added")) << text;
    }
}

/* Entries refused at load, with the configuration's error line, and left
 * unchanged: expressions that do not compile, add rules that name a line
 * the proxy writes itself, that are no token, or whose value would break
 * the header. */
TEST(HeaderRules, RefusedEntries)
{
    struct Case {
        Rule rule;
        const char *line;
    };
    const Case cases[] = {
        { { "deny", "(", "", "client", "" },
          "flawed XML file, section header-filtering, element deny: name must be a valid "
          "regular expression, but it is given value (" },
        { { "allow", "", "[a-", "client", "" },
          "flawed XML file, section header-filtering, element allow: value must be a valid "
          "regular expression" },
        { { "add", "Content-Length", "5", "client", "" },
          "flawed XML file, section header-filtering, element add: name must be a header name" },
        { { "add", "transfer-encoding", "chunked", "server", "" },
          "element add: name must be a header name" },
        { { "add", "X Bad", "1", "client", "" }, "element add: name must be a header name" },
        { { "add", "X-Inject", "1&#13;&#10;Evil: 2", "client", "" },
          "element add: value must be a header value without control characters, but it is "
          "given value 1\\x0d\\x0aEvil: 2" },
        { { "add", "X-Nul", "a&#1;b", "client", "" }, "element add: value must be" },
    };
    ASSERT_EQ(SECTION_LOADED, configure(true, false, { { "deny", "^x-secret$", "", "client", "" } }));
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        test_log_clear();
        EXPECT_EQ(SECTION_FLAWED, configure(true, false, { c.rule }));
        EXPECT_TRUE(test_log_contains(c.line));
        /* The rules loaded before still hold. */
        PolicyClient client(REQUEST);
        header_section->filter(client.conn, HEADER_FILTER_CLIENT);
        std::string text = serialised(client.conn->header, client.conn, HEADER_SEND_ORIGIN);
        EXPECT_EQ(std::string::npos, text.find("X-Secret")) << text;
    }
    /* A tab is allowed in a value. */
    EXPECT_EQ(SECTION_LOADED, configure(true, false, { { "add", "X-Tab", "a&#9;b", "client", "" } }));
}
