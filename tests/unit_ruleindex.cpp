/* Rules tried together: the text an expression requires, the one-pass
 * search of many texts, an index that never skips a rule that matches, and
 * the rule orders: randomised lists of URL-filter, MIME and header rules
 * give every request the verdict and the deciding rule that a walk of the
 * lists one rule at a time gives. */
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "access.h"
#include "connection.h"
#include "header.h"
#include "headerfilter.h"
#include "interface.h"
#include "misc.h"
#include "mime.h"
#include "policytest.h"
#include "profiles.h"
#include "regexp.h"
#include "ruleindex.h"
#include "test_support.h"
#include "urlfilter.h"

namespace {

using Regex = std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)>;

Regex compile(const std::string &text)
{
    return Regex(text.empty() ? nullptr : reg_compile(text.c_str(), REG_COMPILE_ICASE),
                 reg_free);
}

/* Pieces of expressions: plain text in both cases, classes, groups,
 * optional and repeated atoms, anchors, escapes, alternations in groups,
 * look-arounds. */
const std::vector<std::string> PATTERN_PIECES = {
    "ads", "ADS", "shop", "Example", "com", "test", "x", "\\.", ".", "/", "[a-z]+", "[0-9]*",
    "(^|\\.)", "(?:ads|shop)", "s?", "d*", "e{0,2}", "o{1,2}", "\\d", "\\w+", "^", "$",
    "(x|y)z", "\\bads", "a+", "\\-", "-", "(?=a)", "(?!x)", "[^/]*", "html", "gif", "text",
    "image", "; ?charset", "(?:www\\.)?", "[]a]", "\\/",
};

/* Pieces of subjects, so that the expressions often match. */
const std::vector<std::string> SUBJECT_PIECES = {
    "ads", "Ads", "shop", "example", ".com", ".test", "x", "y", "z", "/", "-", "a", "s", "d",
    "e", "o", "1", "23", "www.", "html", "text/", "image/gif", "; charset=x", "%61ds", "%2F",
    "//", "/./", "/../",
};

struct Random {
    std::mt19937 engine;
    explicit Random(unsigned seed) : engine(seed) {}
    size_t below(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(engine); }
    bool chance(int percent) { return (int)below(100) < percent; }

    /* An expression that compiles. */
    std::string pattern()
    {
        for (;;) {
            std::string out;
            size_t pieces = 1 + below(4);
            for (size_t i = 0; i < pieces; i++)
                out += PATTERN_PIECES[below(PATTERN_PIECES.size())];
            if (chance(10))
                out += "|" + PATTERN_PIECES[below(PATTERN_PIECES.size())];
            if (chance(5))
                out = "(?i)" + out;
            if (compile(out))
                return out;
        }
    }

    /* An expression, or none for a quarter of the fields. */
    std::string maybe_pattern() { return chance(25) ? "" : pattern(); }

    std::string subject(bool lower = false)
    {
        std::string out;
        size_t pieces = 1 + below(5);
        for (size_t i = 0; i < pieces; i++)
            out += SUBJECT_PIECES[below(SUBJECT_PIECES.size())];
        if (lower)
            for (char &c : out)
                c = (char)tolower((unsigned char)c);
        return out;
    }

    /* A host: one to three labels of the subjects' letters, joined by dots. */
    std::string host()
    {
        static const char *const labels[] = { "ads", "shop", "example", "com", "test", "x",
                                              "y", "www", "a1", "d-e" };
        std::string out = labels[below(std::size(labels))];
        for (size_t n = below(3); n > 0; n--)
            out += std::string(".") + labels[below(std::size(labels))];
        return out;
    }

    std::string profiles()
    {
        static const char *const lists[] = { "", "", "", "staff", "!guest", "staff,!guest",
                                             "guest" };
        return lists[below(std::size(lists))];
    }

    StringList request_profiles()
    {
        StringList have;
        if (chance(50))
            have.push_back("staff");
        if (chance(30))
            have.push_back("guest");
        return have;
    }
};

std::string joined(const StringList &list)
{
    std::string out;
    for (const std::string &item : list)
        out += (out.empty() ? "" : ",") + item;
    return out;
}

/* One rule as the reference walk sees it. */
struct RefRule {
    std::string comment;
    bool enabled = true;
    StringList profiles;
    std::vector<std::string> texts;   /* per field */
    std::vector<std::shared_ptr<regex_posix_t>> regex;

    RefRule(std::string comment, bool enabled, const std::string &profiles,
            std::vector<std::string> texts)
        : comment(std::move(comment)), enabled(enabled), profiles(profiles, ','),
          texts(std::move(texts))
    {
        for (const std::string &t : this->texts)
            regex.emplace_back(t.empty() ? nullptr : reg_compile(t.c_str(), REG_COMPILE_ICASE),
                               [](regex_posix_t *r) {
                                   if (r)
                                       reg_free(r);
                               });
    }

    /* Whether field f's expression is absent or matches text (NULL text:
     * absent, never matched). */
    bool field(size_t f, const char *text) const
    {
        return !regex[f] || (text && reg_exec(regex[f].get(), text) == 0);
    }
};

/* The reference: the two lists walked rule by rule. "" when the request
 * passes, else the deciding rule's comment or "(built-in)". */
template <class Match>
std::string reference(const std::vector<RefRule> &allow, const std::vector<RefRule> &deny,
                      bool allow_first, Match match)
{
    AllowDenyResult<RefRule> result = allowdeny_evaluate(allow, deny, allow_first, match);
    if (result.outcome == ALLOWDENY_ACCEPTED)
        return "";
    return result.rule ? result.rule->comment : "(built-in)";
}

/* The templates and the three rule sections, once per process. */
void sections_ready()
{
    policytest_ready([] {
        filter_section = new FilterSection();
        mime_section = new MimeSection();
        header_section = new HeaderSection();
    });
}

/* Random lists for a section: comments "allow-N" and "deny-N". */
std::vector<RefRule> random_list(Random &r, const char *list, size_t count, size_t fields)
{
    std::vector<RefRule> out;
    for (size_t i = 0; i < count; i++) {
        std::vector<std::string> texts;
        for (size_t f = 0; f < fields; f++)
            texts.push_back(r.maybe_pattern());
        out.emplace_back(std::string(list) + "-" + std::to_string(i), !r.chance(10),
                         r.profiles(), texts);
    }
    return out;
}

} // namespace

/* The text every match must contain: plain runs outside groups and
 * classes, optional characters dropped, nothing where the reading is not
 * certain. */
TEST(RuleLiteral, RequiredText)
{
    struct Case {
        std::string pattern;
        const char *literal;
    };
    const std::vector<Case> cases = {
        { "(^|\\.)example\\.com$", "example.com" },
        { "^www\\.Example\\.COM$", "www.example.com" },
        { "/ads/", "/ads/" },
        { "ads|shop", "" },                     /* alternation outside groups */
        { "(a|b)cdef", "cdef" },
        { "(?:www\\.)?shop\\.test", "shop.test" },
        { "colou?r", "colo" },                  /* u optional */
        { "ab*cd", "cd" },
        { "ab+c", "ab" },
        { "a{2}bc", "bc" },                     /* a count may be zero: a dropped */
        { "xyz{0,3}", "xy" },
        { "a{b", "" },                          /* no closing brace: not read */
        { "a{x}bcd", "" },                      /* not a count: not read */
        { "[abc]def", "def" },
        { "[]x]yz", "yz" },
        { "[[:alpha:]]+qq", "qq" },
        { "\\d+px", "px" },
        { "a\\.b", "a.b" },
        { "a.bc", "bc" },
        { "ab\\bcd", "ab" },
        { "(?i)abc", "" },                      /* inline options */
        { "x(?i:abc)", "" },
        { "abc(*ACCEPT)", "" },                 /* verbs */
        { "(a(*ACCEPT))bcd", "" },
        { "\\x41bc", "" },                      /* a character by its code */
        { "(a)\\1bcd", "" },                    /* a reference */
        { "\\Qa.b\\E", "" },
        { "ab\\Kcd", "" },
        { "(?<name>a)bcd", "" },
        { "(?#comment)abc", "" },
        { "(?=ab)cde", "cde" },
        { "(?<=x)abc", "abc" },
        { "ab\xc3\xa9" "cd", "ab" },            /* non-ASCII ends a run */
        { "ab\\ncdef", "cdef" },
        { "x*yz", "yz" },
        { "a+?bc", "bc" },
        { "a*+bc", "bc" },
        { "", "" },
        { std::string("abc\0defgh", 9), "abc" },   /* read to the zero byte */
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pattern.c_str());
        EXPECT_EQ(c.literal, rule_required_literal(c.pattern));
    }
}

/* Every occurrence of every text is found, overlapping ones and those that
 * end inside others included, whatever the case. */
TEST(RuleLiteral, OnePassSearch)
{
    LiteralSet set;
    std::vector<std::string> texts = { "he", "she", "his", "hers", "e", "ushers" };
    for (const std::string &t : texts)
        set.add(t);
    EXPECT_EQ(set.add("HERS"), set.add("hers"));
    set.finish();
    struct Case {
        const char *subject;
        std::map<std::string, int> found;
    };
    const std::vector<Case> cases = {
        { "uSHErs", { { "she", 1 }, { "he", 1 }, { "e", 1 }, { "hers", 1 }, { "ushers", 1 } } },
        { "ushe", { { "she", 1 }, { "he", 1 }, { "e", 1 } } },
        { "hishe", { { "his", 1 }, { "she", 1 }, { "he", 1 }, { "e", 1 } } },
        { "eee", { { "e", 3 } } },
        { "xyz", {} },
        { "", {} },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.subject);
        std::map<std::string, int> found;
        set.scan(c.subject, [&](uint32_t n) { found[texts[n]]++; });
        EXPECT_EQ(c.found, found);
    }
}

/* Whatever the expressions and the subjects, a rule whose expressions all
 * match is among the candidates, and the candidates come in list order. */
TEST(RuleIndex, NeverSkipsAMatch)
{
    Random r(1);
    for (int list = 0; list < 60; list++) {
        std::vector<std::vector<std::string>> rules;
        RuleIndex index;
        for (int i = 0; i < 40; i++) {
            std::vector<std::string> texts = { r.maybe_pattern(), r.maybe_pattern() };
            const std::string *fields[2] = { &texts[0], &texts[1] };
            index.add(true, fields, 2);
            rules.push_back(texts);
        }
        index.finish();
        for (int s = 0; s < 40; s++) {
            std::string first = r.subject(), second = r.subject(), second_alt = r.subject();
            RuleSubjects subjects;
            subjects.text[0][0] = first;
            subjects.text[1][0] = second;
            subjects.text[1][1] = second_alt;
            std::vector<uint32_t> candidates = index.candidates(subjects);
            EXPECT_TRUE(std::is_sorted(candidates.begin(), candidates.end()));
            for (size_t i = 0; i < rules.size(); i++) {
                Regex a = compile(rules[i][0]), b = compile(rules[i][1]);
                bool matches = (!a || reg_exec(a.get(), first.c_str()) == 0) &&
                               (!b || reg_exec(b.get(), second.c_str()) == 0 ||
                                reg_exec(b.get(), second_alt.c_str()) == 0);
                if (!matches)
                    continue;
                EXPECT_TRUE(std::binary_search(candidates.begin(), candidates.end(), (uint32_t)i))
                    << "/" << rules[i][0] << "/ on " << first << ", /" << rules[i][1] << "/ on "
                    << second << " or " << second_alt;
            }
        }
    }
}

/* The URL filter: random allow and deny lists of host, path and profile
 * rules, both orders of the lists, paths that read differently once
 * normalised; every request is decided as the walk of the lists rule by
 * rule decides it, down to the deciding rule. */
TEST(RuleOrders, UrlFilter)
{
    sections_ready();
    Random r(2);
    for (int round = 0; round < 80; round++) {
        bool allow_first = r.chance(50);
        std::vector<RefRule> allow = random_list(r, "allow", r.below(25), 2);
        std::vector<RefRule> deny = random_list(r, "deny", r.below(25), 2);
        std::string body = std::string("<url-filtering><enabled>true</enabled><allow-first>") +
                           (allow_first ? "true" : "false") + "</allow-first><template></template>";
        for (const auto *list : { &allow, &deny })
            for (const RefRule &rule : *list) {
                const char *tag = list == &allow ? "allow" : "deny";
                body += std::string("<") + tag + "><enabled>" + (rule.enabled ? "true" : "false") +
                        "</enabled><comment>" + rule.comment + "</comment><profiles>" +
                        interface_html(joined(rule.profiles)) + "</profiles><host>" + interface_html(rule.texts[0]) + "</host><path>" +
                        interface_html(rule.texts[1]) + "</path><addresses></addresses><template>" +
                        "</template></" + tag + ">";
            }
        ASSERT_EQ(SECTION_LOADED, policytest_load(filter_section, body + "</url-filtering>"));
        for (int q = 0; q < 30; q++) {
            PolicyClient client("GET http://" + r.host() + "/" + r.subject() + " HTTP/1.1\r\n\r\n");
            ASSERT_NE(nullptr, client.conn->header);
            client.conn->profiles = r.request_profiles();
            const char *host = client.conn->header->host, *path = client.conn->header->path;
            /* A path rule also meets the path as the server reads it. */
            std::string normal = url_path_normal(path);
            std::string expected =
                reference(allow, deny, allow_first, [&](const RefRule &rule) {
                    return rule.enabled && profile_find(client.conn->profiles, rule.profiles) == 1 &&
                           rule.field(0, host) &&
                           (rule.field(1, path) || rule.field(1, normal.c_str()));
                });
            std::string got;
            filter_section->decide(client.conn, [&](const Filter *rule) {
                got = !rule ? "" : rule->item ? rule->comment : "(built-in)";
            });
            EXPECT_EQ(expected, got) << host << path;
        }
    }
}

/* The MIME rules: random lists of host, path, type and profile rules;
 * responses with and without Content-Type. */
TEST(RuleOrders, Mime)
{
    sections_ready();
    Random r(3);
    static const char *const types[] = { nullptr, "text/html", "image/gif",
                                         "text/html; charset=x", "application/x-ads" };
    for (int round = 0; round < 80; round++) {
        bool allow_first = r.chance(50);
        std::vector<RefRule> allow = random_list(r, "allow", r.below(25), 3);
        std::vector<RefRule> deny = random_list(r, "deny", r.below(25), 3);
        std::string body = std::string("<mime-filtering><enabled>true</enabled><allow-first>") +
                           (allow_first ? "true" : "false") + "</allow-first><template></template>";
        for (const auto *list : { &allow, &deny })
            for (const RefRule &rule : *list) {
                const char *tag = list == &allow ? "allow" : "deny";
                std::string profiles = joined(rule.profiles);
                body += std::string("<") + tag + "><enabled>" + (rule.enabled ? "true" : "false") +
                        "</enabled><comment>" + rule.comment + "</comment><profiles>" +
                        interface_html(profiles) + "</profiles><host>" + interface_html(rule.texts[0]) +
                        "</host><path>" + interface_html(rule.texts[1]) + "</path><mime-type>" +
                        interface_html(rule.texts[2]) + "</mime-type><template></template></" + tag +
                        ">";
            }
        ASSERT_EQ(SECTION_LOADED, policytest_load(mime_section, body + "</mime-filtering>"));
        for (int q = 0; q < 30; q++) {
            PolicyClient client("GET http://" + r.host() + "/" + r.subject() + " HTTP/1.1\r\n\r\n");
            ASSERT_NE(nullptr, client.conn->header);
            const char *type = types[r.below(std::size(types))];
            std::string head = "HTTP/1.1 200 OK\r\n";
            if (type)
                head += std::string("Content-Type: ") + type + "\r\n";
            client.conn->rheader =
                http_header_parse_response((head + "Content-Length: 3\r\n\r\n").c_str());
            ASSERT_NE(nullptr, client.conn->rheader);
            client.conn->profiles = r.request_profiles();
            const char *host = client.conn->header->host, *path = client.conn->header->path;
            std::string expected =
                reference(allow, deny, allow_first, [&](const RefRule &rule) {
                    return rule.enabled && profile_find(client.conn->profiles, rule.profiles) == 1 &&
                           rule.field(0, host) && rule.field(1, path) && rule.field(2, type);
                });
            std::string got;
            {
                SectionReadGuard guard(*mime_section);
                const Mime *rule = mime_section->check(client.conn);
                got = !rule ? "" : rule->item ? rule->comment : "(built-in)";
            }
            EXPECT_EQ(expected, got) << host << path << " " << (type ? type : "(none)");
        }
    }
}

/* The header rules: random lists of name, value, direction and profile
 * rules; the lines kept are those the walk rule by rule keeps. */
TEST(RuleOrders, HeaderFilter)
{
    sections_ready();
    Random r(4);
    static const char *const names[] = { "X-Ads", "X-Shop", "Cookie", "User-Agent", "X-Test",
                                         "Accept", "Referer" };
    static const char *const directions[] = { "client", "server", "client,server" };
    for (int round = 0; round < 80; round++) {
        bool allow_first = r.chance(50);
        std::vector<RefRule> allow = random_list(r, "allow", r.below(25), 2);
        std::vector<RefRule> deny = random_list(r, "deny", r.below(25), 2);
        std::map<std::string, int> direction_of;
        std::string body = std::string("<header-filtering><enabled>true</enabled><allow-first>") +
                           (allow_first ? "true" : "false") + "</allow-first>";
        for (const auto *list : { &allow, &deny })
            for (const RefRule &rule : *list) {
                const char *tag = list == &allow ? "allow" : "deny";
                size_t d = r.below(std::size(directions));
                direction_of[rule.comment] = (int)d + 1;   /* the bits: 1, 2, 3 */
                std::string profiles = joined(rule.profiles);
                body += std::string("<") + tag + "><enabled>" + (rule.enabled ? "true" : "false") +
                        "</enabled><comment>" + rule.comment + "</comment><profiles>" +
                        interface_html(profiles) + "</profiles><name>" + interface_html(rule.texts[0]) +
                        "</name><value>" + interface_html(rule.texts[1]) + "</value><direction>" +
                        directions[d] + "</direction></" + tag + ">";
            }
        ASSERT_EQ(SECTION_LOADED, policytest_load(header_section, body + "</header-filtering>"));
        for (int q = 0; q < 20; q++) {
            std::string request = "GET http://" + r.host() + "/ HTTP/1.1\r\nHost: h.test\r\n";
            for (size_t n = 0; n < 1 + r.below(5); n++)
                request += std::string(names[r.below(std::size(names))]) + ": " + r.subject() +
                           "\r\n";
            PolicyClient client(request + "\r\n");
            ASSERT_NE(nullptr, client.conn->header);
            client.conn->profiles = r.request_profiles();
            int direction = r.chance(50) ? HEADER_FILTER_CLIENT : HEADER_FILTER_SERVER;
            HEADER *header = client.conn->header;
            if (direction == HEADER_FILTER_SERVER) {
                client.conn->rheader = http_header_parse_response(
                    ("HTTP/1.1 200 OK\r\n" + request.substr(request.find("\r\n") + 2) +
                     "Content-Length: 0\r\n\r\n")
                        .c_str());
                ASSERT_NE(nullptr, client.conn->rheader);
                header = client.conn->rheader;
            }
            std::vector<std::string> expected;
            for (const HTTP_HEADER &line : header->headers) {
                if (header_rule_kind(line.name) != HEADER_RULE_PROXY &&
                    reference(allow, deny, allow_first, [&](const RefRule &rule) {
                        return rule.enabled && (direction_of[rule.comment] & direction) &&
                               profile_find(client.conn->profiles, rule.profiles) == 1 &&
                               rule.field(0, line.name.c_str()) &&
                               rule.field(1, line.value.c_str());
                    }) != "")
                    continue;
                expected.push_back(line.name + ": " + line.value);
            }
            header_section->filter(client.conn, direction);
            std::vector<std::string> got;
            for (const HTTP_HEADER &line : header->filtered_headers)
                got.push_back(line.name + ": " + line.value);
            EXPECT_EQ(expected, got);
        }
    }
}
