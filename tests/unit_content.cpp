/* Content inspection without the network: the Encapsulated offsets of
 * ICAP replies, the encapsulated request without proxy credentials, the
 * search of bodies past zero bytes, keyword totals and the block page with
 * its variables, rewrite rules by target and content type, and the
 * refusal of expressions that do not compile. The exchanges themselves are
 * tested end to end against c-icap and a scripted ICAP server. */
#include <gtest/gtest.h>

#include <string>

#include "filebuf.h"
#include "hooks.h"
#include "icap.h"
#include "keywords.h"
#include "policytest.h"
#include "regexp.h"
#include "rewrite.h"
#include "test_support.h"

namespace {

void sections_ready()
{
    policytest_ready([] {
        rewrite_section = new RewriteSection();
        keyword_section = new KeywordSection();
        icap_section = new ICAPSection();
    });
}

std::string keyword_xml(const char *mime, const char *keyword, int score, bool enabled = true)
{
    return std::string("<keyword><enabled>") + (enabled ? "true" : "false") +
           "</enabled><comment></comment><profiles></profiles><mime-type>" + mime +
           "</mime-type><keyword>" + keyword + "</keyword><score>" + std::to_string(score) +
           "</score></keyword>";
}

std::string rewrite_xml(const char *mime, const char *pattern, const char *replacement,
                        const char *targets)
{
    return std::string("<rule><enabled>true</enabled><comment></comment><profiles></profiles>"
                       "<mime-type>") + mime + "</mime-type><pattern>" + pattern +
           "</pattern><replacement>" + replacement + "</replacement><targets>" + targets +
           "</targets></rule>";
}

int keywords_load(int threshold, const std::string &rules)
{
    sections_ready();
    return policytest_load(keyword_section,
                           "<keywords-filtering><enabled>true</enabled><threshold>" +
                               std::to_string(threshold) + "</threshold><template></template>" +
                               rules + "</keywords-filtering>");
}

int rewrite_load(const std::string &rules)
{
    sections_ready();
    return policytest_load(rewrite_section,
                           "<rewrite><enabled>true</enabled>" + rules + "</rewrite>");
}

void response_set(PolicyClient &client, const char *content_type)
{
    std::string text = "HTTP/1.1 200 OK\r\n";
    if (content_type)
        text += std::string("Content-Type: ") + content_type + "\r\n";
    client.conn->rheader = http_header_parse_response((text + "\r\n").c_str());
    ASSERT_NE(nullptr, client.conn->rheader);
}

void fill(Filebuf *buffer, const std::string &bytes)
{
    ASSERT_EQ(FILEBUF_OK, buffer->Add(bytes.data(), (int64_t)bytes.size()));
}

}  // namespace

TEST(IcapEncapsulation, Offsets)
{
    struct Case {
        const char *value;
        int64_t req_hdr, res_hdr, req_body, res_body, null_body;
    } cases[] = {
        { "req-hdr=0, res-hdr=120, res-body=300", 0, 120, -1, 300, -1 },
        { "req-hdr=0, null-body=75", 0, -1, -1, -1, 75 },
        { ",,RES-HDR=5,,   NULL-Body=9", -1, 5, -1, -1, 9 },   /* runs of commas, any case */
        { "req-hdr=x, res-body=12abc, req-body=", -1, -1, -1, -1, -1 },   /* not numbers */
        { "opt-body=3, req-body=7", -1, -1, 7, -1, -1 },      /* unknown parts ignored */
        { "res-body=99999999999999999999", -1, -1, -1, -1, -1 },   /* over 63 bits */
        { "", -1, -1, -1, -1, -1 },
    };
    for (const Case &c : cases) {
        ICAP_ENCAPSULATION e = ICAPSection::encapsulation_parse(c.value);
        EXPECT_EQ(c.req_hdr, e.req_hdr) << c.value;
        EXPECT_EQ(c.res_hdr, e.res_hdr) << c.value;
        EXPECT_EQ(c.req_body, e.req_body) << c.value;
        EXPECT_EQ(c.res_body, e.res_body) << c.value;
        EXPECT_EQ(c.null_body, e.null_body) << c.value;
    }
    EXPECT_EQ(-1, ICAPSection::encapsulation_parse(nullptr).req_hdr);
}

TEST(IcapEncapsulation, RequestWithoutProxyCredentials)
{
    std::string text = "GET http://a.test/ HTTP/1.1\r\nProxy-Connection: keep-alive\r\n"
                       "Proxy-Authorization: Basic YTpi\r\nproxy-authorization: NTLM x\r\n"
                       "X-Proxy-Authorization-Note: kept\r\nHost: a.test\r\n\r\n";
    EXPECT_EQ("GET http://a.test/ HTTP/1.1\r\nProxy-Connection: keep-alive\r\n"
              "X-Proxy-Authorization-Note: kept\r\nHost: a.test\r\n\r\n",
              icap_strip_proxy_authorization(text));
}

TEST(Regexp, BytesSearchedPastZeroBytes)
{
    regex_posix_t *re = reg_compile("needle", REG_COMPILE_ICASE);
    ASSERT_NE(nullptr, re);
    std::string body("hay\0stack\0NEEDLE", 16);
    EXPECT_EQ(0, reg_exec_bytes(re, body.data(), (int64_t)body.size()));
    EXPECT_NE(0, reg_exec(re, body.data()));                       /* the C string stops early */
    EXPECT_NE(0, reg_exec_bytes(re, body.data(), (int64_t)body.size() - 1));   /* by length */
    EXPECT_NE(0, reg_exec_bytes(re, nullptr, 0));
    reg_free(re);
}

TEST(Keywords, TotalsAndBuffering)
{
    ASSERT_EQ(SECTION_LOADED,
              keywords_load(70, keyword_xml("", "alpha", 30) + keyword_xml("", "beta", 40) +
                                    keyword_xml("^text/", "gamma", 50) +
                                    keyword_xml("", "", 5) +   /* every page */
                                    keyword_xml("", "delta", 1000, false)));
    struct Case {
        const char *type;
        std::string body;
        int total;
    } cases[] = {
        { "text/html", "alpha beta", 75 },
        { "text/html", "alpha alpha alpha alpha", 35 },    /* once per rule */
        { "text/html", std::string("x\0gamma", 7), 55 },   /* past a zero byte */
        { "image/png", "gamma", 5 },                       /* type not matched */
        { nullptr, "gamma", 5 },                           /* no type: the empty text */
        { "text/plain", "delta", 5 },                      /* rule disabled */
    };
    for (const Case &c : cases) {
        PolicyClient client("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
        response_set(client, c.type);
        Filebuf body;
        fill(&body, c.body);
        EXPECT_EQ(c.total, keyword_section->check(client.conn, &body)) << c.body;
        EXPECT_EQ(1, keyword_section->check_match(client.conn));
        client.conn->bypass |= BYPASS_KEYWORDS;
        EXPECT_EQ(0, keyword_section->check(client.conn, &body));
        EXPECT_EQ(0, keyword_section->check_match(client.conn));
    }

    /* A rule without keyword does not by itself have the body buffered. */
    ASSERT_EQ(SECTION_LOADED, keywords_load(70, keyword_xml("", "", 5)));
    PolicyClient client("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
    response_set(client, "text/html");
    EXPECT_EQ(0, keyword_section->check_match(client.conn));
    EXPECT_EQ(5, keyword_section->check(client.conn, nullptr));
}

TEST(Keywords, BlockPageAndThreshold)
{
    struct Case {
        int threshold;
        std::string rules;
        bool blocked;
        const char *score;
    } cases[] = {
        { 70, keyword_xml("", "alpha", 30) + keyword_xml("", "beta", 40), true, "70" },
        { 71, keyword_xml("", "alpha", 30) + keyword_xml("", "beta", 40), false, "70" },
        { 0, keyword_xml("", "alpha", 10) + keyword_xml("", "beta", -10), false, "(unset)" },
        { -10, keyword_xml("", "alpha", -5), true, "-5" },
        { -1, keyword_xml("", "alpha", -5), false, "-5" },
    };
    for (const Case &c : cases) {
        ASSERT_EQ(SECTION_LOADED, keywords_load(c.threshold, c.rules));
        PolicyClient client("GET http://a.test/p HTTP/1.1\r\nHost: a.test\r\n\r\n");
        response_set(client, "text/html");
        Filebuf body;
        fill(&body, "alpha and beta");
        test_log_clear();
        EXPECT_EQ(c.blocked ? 1 : 0, keyword_section->check_and_block(client.conn, &body))
            << c.rules;
        EXPECT_EQ(c.score, client.variable("SCORE"));
        std::string page;
        if (c.blocked) {
            EXPECT_EQ(200, client.status(&page));
            EXPECT_NE(std::string::npos, page.find("Page Blocked"));
            EXPECT_EQ("KeyWord Filter", client.variable("FILTER"));
            EXPECT_EQ("score: " + std::string(c.score) + " exceeded threshold: " +
                          std::to_string(c.threshold),
                      client.variable("REASON"));
            EXPECT_EQ("keyword-filter", client.conn->logentry.filter_name);
            EXPECT_EQ(c.score, client.conn->logentry.filtering_reason);
            EXPECT_TRUE(test_log_contains("blocked: score:" + std::string(c.score) +
                                          " threshold:" + std::to_string(c.threshold)));
        } else {
            EXPECT_EQ(0, client.status());
        }
    }
}

TEST(Rewrite, TargetsAndContentTypes)
{
    ASSERT_EQ(SECTION_LOADED,
              rewrite_load(rewrite_xml("", "cat", "dog", "body,post-body") +
                           rewrite_xml("", "dog", "wolf", "body") +
                           rewrite_xml("text/html", "hdr", "HDR", "client-header,body") +
                           rewrite_xml("", "", "never", "body") +          /* no pattern */
                           rewrite_xml("", "(", "never", "server-header")));  /* broken */
    struct Case {
        int type;
        const char *content_type;
        const char *in;
        const char *out;
    } cases[] = {
        { REWRITE_BODY, "text/plain", "a cat", "a wolf" },              /* chained */
        { REWRITE_POST_BODY, "text/plain", "a cat", "a dog" },
        { REWRITE_BODY, "text/html; charset=utf-8", "hdr", "HDR" },     /* searched, not anchored */
        { REWRITE_BODY, "text/plain", "hdr", "hdr" },
        { REWRITE_CLIENT_HEADER, "text/html", "hdr", "hdr" },          /* a type: bodies only */
        { REWRITE_SERVER_HEADER, "text/html", "a (cat)", "a (cat)" },
    };
    for (const Case &c : cases) {
        PolicyClient client("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
        response_set(client, c.content_type);
        Filebuf buffer;
        fill(&buffer, c.in);
        bool changed = rewrite_section->rewrite_do(client.conn, &buffer, c.type);
        EXPECT_EQ(c.out, std::string(buffer.data, (size_t)buffer.size)) << c.type << " " << c.in;
        EXPECT_EQ(std::string(c.in) != c.out, changed);
    }

    PolicyClient client("GET http://a.test/ HTTP/1.1\r\nHost: a.test\r\n\r\n");
    response_set(client, "text/plain");
    EXPECT_EQ(1, rewrite_section->check_match(client.conn, REWRITE_BODY));
    EXPECT_EQ(0, rewrite_section->check_match(client.conn, REWRITE_SERVER_HEADER));
    client.conn->bypass |= BYPASS_REWRITE;
    EXPECT_EQ(0, rewrite_section->check_match(client.conn, REWRITE_BODY));
    Filebuf buffer;
    fill(&buffer, "a cat");
    EXPECT_FALSE(rewrite_section->rewrite_do(client.conn, &buffer, REWRITE_BODY));
}

TEST(Content, BrokenExpressionsRefused)
{
    struct Case {
        const char *what;
        bool keywords;
        std::string rule;
        const char *line;
    } cases[] = {
        { "keyword", true, keyword_xml("", "(", 5),
          "section keywords-filtering, element keyword: keyword must be a valid regular "
          "expression, but it is given value (" },
        { "keyword type", true, keyword_xml("[x", "a", 5),
          "section keywords-filtering, element keyword: mime-type must be a valid regular "
          "expression, but it is given value [x" },
        { "rewrite type", false, rewrite_xml("(", "a", "b", "body"),
          "section rewrite, element rule: mime-type must be a valid regular expression, but it "
          "is given value (" },
    };
    for (const Case &c : cases) {
        test_log_clear();
        int rc = c.keywords ? keywords_load(10, c.rule) : rewrite_load(c.rule);
        EXPECT_EQ(SECTION_FLAWED, rc) << c.what;
        EXPECT_TRUE(test_log_contains(std::string("flawed XML file, ") + c.line)) << c.what;
    }
    /* A pattern that does not compile is kept; the rule does nothing. */
    EXPECT_EQ(SECTION_LOADED, rewrite_load(rewrite_xml("", "(", "b", "body")));
}
