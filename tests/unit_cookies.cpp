/* The cookie header codec: what Parse reads, what Build writes, that Build
 * never writes an unsafe value, and that the judge passes every cookie
 * while no rule exists. */
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "cookies.h"
#include "test_support.h"

/* The pairs as "name=value|" pieces. */
static std::string pairs_of(const CookieHeader &cookie)
{
    std::string out;
    for (const auto &pair : cookie.pairs)
        out += pair.first + "=" + pair.second + "|";
    return out;
}

struct CookieCase {
    const char *value;
    const char *pairs;
    const char *domain;
    const char *path;
    int version;
    bool has_expires;
    const char *built;
};

static const CookieCase cookie_cases[] = {
    { "id=42; Path=/; HttpOnly; Secure", "id=42|", "", "/", 0, false, "id=42; path=/" },
    { "a=1; Max-Age=60; Domain=example.com", "a=1|Max-Age=60|", "example.com", "", 0, false,
      "a=1; Max-Age=60; domain=example.com" },
    { "id=1; Expires=Wed, 09 Jun 2021 10:18:14 GMT", "id=1|", "", "", 0, true,
      "id=1; expires=Wed, 09-Jun-2021 10:18:14 GMT" },
    { "id=1; expires=Wed, 09-Jun-2021 10:18:14 GMT; more", "id=1|", "", "", 0, true,
      "id=1; expires=Wed, 09-Jun-2021 10:18:14 GMT" },
    { "id=1; expires=Wed, 09-Jun-21 10:18:14 GMT", "id=1|", "", "", 0, true,
      "id=1; expires=Wed, 09-Jun-2021 10:18:14 GMT" },
    { "id=1; expires=Thu, 01-Jan-70 00:00:00 GMT", "id=1|", "", "", 0, true,
      "id=1; expires=Thu, 01-Jan-1970 00:00:00 GMT" },
    { "id=1; expires=Sun, 01-Jan-68 00:00:00 GMT", "id=1|", "", "", 0, true,
      "id=1; expires=Sun, 01-Jan-2068 00:00:00 GMT" },
    { "$Version=1; sid=abc; $Path=/", "sid=abc|", "", "/", 1, false,
      "sid=abc; path=/; version=1" },
    { "path=/", "", "", "/", 0, false, "" },
    { "", "", "", "", 0, false, "" },
    { ";;;", "", "", "", 0, false, "" },
    { "sid=; Max-Age=0", "Max-Age=0|", "", "", 0, false, "Max-Age=0" },
    { "a=b=c", "a=b=c|", "", "", 0, false, "a=b=c" },
    { " ;; a=1 ;;b= 2", "a=1 |b= 2|", "", "", 0, false, "a=1 ; b= 2" },
    { "Domain=x; domain=y; a=1", "a=1|", "y", "", 0, false, "a=1; domain=y" },
    { "a=1; version=abc", "a=1|", "", "", 0, false, "a=1" },
    { "a=1; version=-3x", "a=1|", "", "", -3, false, "a=1; version=-3" },
    { "a=1; version=99999999999999", "a=1|", "", "", INT_MAX, false,
      "a=1; version=2147483647" },
    { "=v", "=v|", "", "", 0, false, "=v" },
};

TEST(CookieHeader, ParseAndBuild)
{
    for (const CookieCase &c : cookie_cases) {
        SCOPED_TRACE(c.value);
        CookieHeader cookie(c.value);
        EXPECT_EQ(c.pairs, pairs_of(cookie));
        EXPECT_EQ(c.domain, cookie.domain);
        EXPECT_EQ(c.path, cookie.path);
        EXPECT_EQ(c.version, cookie.version);
        EXPECT_EQ(c.has_expires, cookie.has_expires);
        EXPECT_EQ(c.built, cookie.Build());
        /* what Build writes reads back to the same value */
        EXPECT_EQ(c.built, CookieHeader(cookie.Build()).Build());
    }
}

/* An expiry that no form reads stays a pair in its place; it is logged,
 * escaped, only by a parse that warns (the one of a received response),
 * never by the parses that judge the line each time it is written. */
TEST(CookieHeader, UnreadableExpiry)
{
    test_log_clear();
    CookieHeader quiet("a=1; expires=next Tuesday; b=2");
    EXPECT_FALSE(test_log_contains("failed to parse cookie expiry time"));
    CookieHeader cookie("a=1; expires=next Tuesday; b=2", true);
    EXPECT_EQ(pairs_of(quiet), pairs_of(cookie));
    EXPECT_EQ("a=1|expires=next Tuesday|b=2|", pairs_of(cookie));
    EXPECT_FALSE(cookie.has_expires);
    EXPECT_EQ("a=1; expires=next Tuesday; b=2", cookie.Build());
    EXPECT_TRUE(test_log_contains("failed to parse cookie expiry time: next Tuesday"));

    test_log_clear();
    CookieHeader hostile(std::string("a=1; expires=x\x1b[31m\rforged line"), true);
    EXPECT_TRUE(test_log_contains("failed to parse cookie expiry time: x%1B[31m%0Dforged line"));
}

TEST(CookieHeader, ExpiryFields)
{
    CookieHeader cookie("a=1; expires=Wed, 09-Jun-21 10:18:14 GMT");
    ASSERT_TRUE(cookie.has_expires);
    EXPECT_EQ(121, cookie.expires.tm_year);
    EXPECT_EQ(5, cookie.expires.tm_mon);
    EXPECT_EQ(9, cookie.expires.tm_mday);
    EXPECT_EQ(10, cookie.expires.tm_hour);

    /* Parse resets the version and the expiry mark, not the rest */
    cookie.Parse("b=2");
    EXPECT_FALSE(cookie.has_expires);
    EXPECT_EQ("a=1|b=2|", pairs_of(cookie));
}

/* The proxy's own cookies are built from values its code sets: a pair or
 * attribute that would add a line or an attribute is left out. */
TEST(CookieHeader, BuildLeavesOutUnsafeValues)
{
    CookieHeader cookie;
    EXPECT_EQ("", cookie.Build());
    cookie.pairs.emplace_back("login", "token");
    cookie.pairs.emplace_back("evil", "x\r\nSet-Cookie: y=z");
    cookie.pairs.emplace_back("a;b", "c");
    cookie.pairs.emplace_back("k=", "v");
    cookie.domain = "example.com\n";
    cookie.path = "/admin; HttpOnly";
    EXPECT_EQ("login=token", cookie.Build());

    cookie.pairs.erase(cookie.pairs.begin());
    EXPECT_EQ("", cookie.Build());
}

TEST(CookieHeader, JudgePassesWithoutRules)
{
    CookieHeader cookie("a=1");
    EXPECT_EQ(1, cookie_check(COOKIE_INCOMING, nullptr, cookie));
    EXPECT_EQ(1, cookie_check(COOKIE_OUTGOING, nullptr, cookie));
}
