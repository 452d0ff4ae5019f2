/* The object cache in memory: what may be cached, freshness and
 * revalidation, objects written and read (also by readers that join while
 * the writer fills them), reference counts, framing for joining readers,
 * size limits, memory eviction and mapping failures. */
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <list>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "connection.h"
#include "conntest.h"
#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "proto_http.h"
#include "regexp.h"
#include "section.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"
#include "xml.h"

namespace {

void description_ready()
{
    static bool done = false;
    if (done)
        return;
    ASSERT_TRUE(test_description_load());
    template_section = new TemplateSection();
    done = true;
}

struct Options {
    std::string memory = "64M";
    std::string extra = "8M";
    std::string minsize = "0";
    std::string maxsize = "8M";
    bool violations = false;
};

std::string refresh_entry(const std::string &profiles, bool cacheable, unsigned min_age,
                          unsigned max_age, unsigned default_age, unsigned lm_factor)
{
    return "<refresh><enabled>true</enabled><comment></comment><profiles>" + profiles +
           "</profiles><cacheable>" + (cacheable ? "true" : "false") + "</cacheable><min-age>" +
           std::to_string(min_age) + "</min-age><max-age>" + std::to_string(max_age) +
           "</max-age><default-age>" + std::to_string(default_age) + "</default-age><lm-factor>" +
           std::to_string(lm_factor) + "</lm-factor></refresh>";
}

/* A fresh cache section with these options and entries. */
CacheSection *cache_new(const Options &o, const std::string &entries)
{
    description_ready();
    delete cache_section;
    cache_section = new CacheSection();
    std::string text = "<quillmere><cache><enabled>true</enabled><allow-violations>" +
                       std::string(o.violations ? "true" : "false") +
                       "</allow-violations><memory-cache-size>" + o.memory +
                       "</memory-cache-size><memory-free-extra>" + o.extra +
                       "</memory-free-extra><minsize>" + o.minsize + "</minsize><maxsize>" +
                       o.maxsize + "</maxsize><prefetch-window>60</prefetch-window>"
                       "<icpport>3130</icpport><icptimeout>700</icptimeout>"
                       "<store-policy>least-bytes</store-policy><journal-lines>0</journal-lines>"
                       "<clean-interval>30</clean-interval>" + entries + "</cache></quillmere>";
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    EXPECT_EQ(SECTION_LOADED, cache_section->load(&doc, CONFIG_LOAD_REPLACE));
    return cache_section;
}

/* A response header block with extra lines; length -1 sends none. */
std::string response(const std::string &extra = "", int64_t length = -1, int status = 200)
{
    std::string text = "HTTP/1.1 " + std::to_string(status) + " X\r\n";
    if (length >= 0)
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    return text + extra + "\r\n";
}

/* Creates, fills and finishes an object; false when any step refused. */
bool put(CacheSection *c, const std::string &key, const std::string &head,
         const std::string &body, CONNECTION_T *conn = nullptr)
{
    CACHEMAP *w = c->cache_open(conn, key.c_str(), head.c_str(), CACHE_WRITING);
    if (!w)
        return false;
    bool ok = body.empty() || c->add(w, body.data(), (int64_t)body.size()) == (int64_t)body.size();
    c->cache_close(w, true);
    return ok;
}

/* The body of a finished object, by lookup; "<miss>" when none. */
std::string get(CacheSection *c, const std::string &key, int mode = 0)
{
    CACHEMAP *r = c->cache_open(nullptr, key.c_str(), nullptr, mode);
    if (!r)
        return "<miss>";
    Filebuf *b = c->read_filebuf(r);
    std::string out = b ? std::string(b->data ? b->data : "", (size_t)b->size) : "<dropped>";
    delete b;
    c->cache_close(r, false);
    return out;
}

std::string bytes_of(size_t n, char seed)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)(seed + (char)(i * 7 % 251));
    return s;
}

using Client = SocketPairClient;

CONNECTION_T *request_conn(const char *request_text)
{
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.9.8.7");
    conn->header = http_header_parse_request(request_text);
    EXPECT_NE(nullptr, conn->header);
    return conn;
}

void request_conn_free(CONNECTION_T *conn)
{
    http_header_free(conn->header);
    conn->header = nullptr;
    connection_free(conn);
}

} // namespace

/* Which requests and responses the cache may keep. */
TEST(CacheRules, Cacheable)
{
    struct Case { const char *text; bool request; int cacheable; };
    static const Case cases[] = {
        { "GET http://h/ HTTP/1.1\r\n\r\n", true, 1 },
        { "get http://h/ HTTP/1.1\r\n\r\n", true, 1 },
        { "POST http://h/ HTTP/1.1\r\nContent-Length: 0\r\n\r\n", true, 0 },
        { "HEAD http://h/ HTTP/1.1\r\n\r\n", true, 0 },
        { "GET http://h/ HTTP/1.1\r\nAuthorization: Basic eDp5\r\n\r\n", true, 0 },
        { "GET http://h/ HTTP/1.1\r\nRange: bytes=0-1\r\n\r\n", true, 0 },
        { "GET http://anonymous:x@h/ HTTP/1.1\r\n\r\n", true, 1 },
        { "GET http://Anonymous:x@h/ HTTP/1.1\r\n\r\n", true, 1 },
        { "GET http://bob:x@h/ HTTP/1.1\r\n\r\n", true, 0 },
        { "GET / HTTP/1.1\r\nHost: h\r\n\r\n", true, 0 },          /* origin form */
        { "CONNECT h:443 HTTP/1.1\r\n\r\n", true, 0 },
        { "HTTP/1.1 200 OK\r\n\r\n", false, 1 },
        { "HTTP/1.1 404 Not Found\r\n\r\n", false, 0 },
        { "HTTP/1.1 206 Partial\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nCache-Control: private\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nCache-Control: max-age=9, Private\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nCache-Control: private=\"Set-Cookie\"\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nCache-Control: no-store\r\n\r\n", false, 1 },   /* kept as violation */
        { "HTTP/1.1 200 OK\r\nVary: Accept-Encoding\r\n\r\n", false, 1 },
        { "HTTP/1.1 200 OK\r\nVary: accept-encoding , \r\n\r\n", false, 1 },
        { "HTTP/1.1 200 OK\r\nVary: *\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nVary: Accept-Encoding, Cookie\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nVary: Accept-Encoding\r\nVary: User-Agent\r\n\r\n", false, 0 },
        /* a cookie set for one client is never stored for the others */
        { "HTTP/1.1 200 OK\r\nSet-Cookie: session=abc\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nset-cookie2: a=1\r\n\r\n", false, 0 },
        { "HTTP/1.1 200 OK\r\nX-Set-Cookie: a=1\r\n\r\n", false, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        HEADER *h = c.request ? http_header_parse_request(c.text) : http_header_parse_response(c.text);
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(c.cacheable, cacheable(h));
        http_header_free(h);
    }
    EXPECT_EQ(0, cacheable(nullptr));
}

/* A stored coding is served only to clients that take it. */
TEST(CacheRules, EncodingAccepted)
{
    struct Case { const char *accept; const char *coding; int ok; };
    static const Case cases[] = {
        { nullptr, nullptr, 1 },
        { nullptr, "identity", 1 },
        { nullptr, "gzip", 0 },
        { "gzip, deflate", "gzip", 1 },
        { "deflate", "gzip", 0 },
        { "x-gzip", "gzip", 1 },
        { "GZIP", "gzip", 1 },
        { "gzip;q=0, deflate", "gzip", 0 },
        { "gzip; q=0.000", "gzip", 0 },
        { "gzip;q=0.5", "gzip", 1 },
        { "*", "br", 1 },
        { "*;q=0", "br", 0 },
        { "br;q=0, *", "br", 0 },
        { "gzip", "gzip, deflate", 0 },
        { "gzip,deflate", "deflate, gzip", 1 },
        { "", "gzip", 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.accept ? c.accept : "(none)") + " / " +
                     (c.coding ? c.coding : "(none)"));
        EXPECT_EQ(c.ok, cache_encoding_accepted(c.accept, c.coding));
    }
}

/* Dates are read as GMT in the three HTTP forms; anything else fails. */
TEST(CacheRules, HttpDate)
{
    struct Case { const char *text; time_t t; };
    static const Case cases[] = {
        { "Thu, 01 Jan 1970 00:01:00 GMT", 60 },
        { "Sun, 06 Nov 1994 08:49:37 GMT", 784111777 },
        { "Sunday, 06-Nov-94 08:49:37 GMT", 784111777 },
        { "Sun Nov  6 08:49:37 1994", 784111777 },
        { "  Sun, 06 Nov 1994 08:49:37 GMT  ", 784111777 },
        { "Sun, 06 Nov 1994 08:49:37 CET", -1 },
        { "0", -1 },
        { "-1", -1 },
        { "", -1 },
        { "Sun, 06 Nov 1994 08:49:37 GMT trailing", -1 },
        { "sun, 06 nov 1994 08:49:37 gmt", 784111777 },
        { "Sun, 06  Nov 2050 08:49:37 GMT", -1 },      /* two blanks */
        { "Sun, 06 Nov 2050 8:49:37 GMT", -1 },        /* one-digit hour */
        { "Sun, 6 Nov 1994 08:49:37 GMT", -1 },        /* one-digit day */
        { "Sun, 06 Nov 94 08:49:37 GMT", -1 },         /* two-digit year */
        { "Sun, 31 Feb 1994 08:49:37 GMT", -1 },
        { "Sun, 06 Nov 1994 24:00:00 GMT", -1 },
        { "Sunday, 06-Nov-94 8:49:37 GMT", -1 },
        { "Sun Nov 06 08:49:37 1994", 784111777 },
        { "Sun Nov 6 08:49:37 1994", -1 },
        { "Sun Nov  6 08:49:37  1994", -1 },
        /* Leap days, centuries, times before 1970, a leap second. */
        { "Tue, 29 Feb 2000 12:00:00 GMT", 951825600 },
        { "Thu, 01 Jan 1998 00:00:00 GMT", 883612800 },
        { "Wed, 31 Dec 1969 23:00:00 GMT", -3600 },
        { "Thu, 29 Feb 1900 00:00:00 GMT", -2203891200 },   /* runs into March 1 */
        { "Mon, 01 Mar 2100 00:00:00 GMT", 4107542400 },
        { "Fri, 31 Dec 9999 23:59:59 GMT", 253402300799 },
        { "Tue, 31 Dec 2024 23:59:60 GMT", 1735689600 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(c.t, cache_http_date(c.text));
    }
    EXPECT_EQ(-1, cache_http_date(nullptr));
}

/* The freshness table: each stored header, rule and moment gives fresh or
 * expired, and no-cache marks a violation. */
TEST(CacheFresh, CheckHeader)
{
    struct Case {
        const char *what;
        std::string headers;
        unsigned min_age, max_age, default_age, lm_factor;
        int at;              /* seconds after retrieved */
        bool expired;
        bool violation;
    };
    const time_t base = 1700000000;
    auto date = [](time_t t) {
        char buf[64];
        struct tm tm;
        gmtime_r(&t, &tm);
        strftime(buf, sizeof buf, "%a, %d %b %Y %H:%M:%S GMT", &tm);
        return std::string(buf);
    };
    const Case cases[] = {
        { "nothing", "", 0, 86400, 3600, 20, 0, true, false },
        { "no rule: ages 0", "Cache-Control: max-age=60\r\n", 0, 0, 0, 0, 1, true, false },
        { "max-age", "Cache-Control: max-age=60\r\n", 0, 86400, 3600, 20, 59, false, false },
        { "max-age reached", "Cache-Control: max-age=60\r\n", 0, 86400, 3600, 20, 60, true, false },
        { "max-age=0", "Cache-Control: max-age=0\r\n", 0, 86400, 3600, 20, 0, true, false },
        { "received Age counts", "Cache-Control: max-age=3600\r\nAge: 7200\r\n", 0, 86400, 3600,
          20, 0, true, false },
        { "received Age within", "Cache-Control: max-age=3600\r\nAge: 3000\r\n", 0, 86400, 3600,
          20, 599, false, false },
        { "received Age reached", "Cache-Control: max-age=3600\r\nAge: 3000\r\n", 0, 86400,
          3600, 20, 600, true, false },
        /* Age by its first member; a member that is not a non-negative
         * integer is ignored (the lifetime alone counts). */
        { "Age not a number ignored", "Cache-Control: max-age=60\r\nAge: 1e9\r\n", 0, 86400,
          3600, 20, 59, false, false },
        { "Age negative ignored", "Cache-Control: max-age=60\r\nAge: -7200\r\n", 0, 86400, 3600,
          20, 59, false, false },
        { "Age with a fraction ignored", "Cache-Control: max-age=9000\r\nAge: 7200.0\r\n", 0,
          86400, 3600, 20, 1801, false, false },
        { "Age with a parameter ignored", "Cache-Control: max-age=9000\r\nAge: 7200;foo=1\r\n",
          0, 86400, 3600, 20, 1801, false, false },
        { "Age listed twice", "Cache-Control: max-age=9000\r\nAge: 0, 0\r\n", 0, 86400, 3600, 20,
          8999, false, false },
        { "Age list: the first member counts", "Cache-Control: max-age=9000\r\nAge: 7200, 0\r\n",
          0, 86400, 3600, 20, 1800, true, false },
        { "two Age lines: the first counts", "Cache-Control: max-age=9000\r\nAge: 7200\r\nAge: 0\r\n",
          0, 86400, 3600, 20, 1800, true, false },
        { "two Age lines: a first 0 counts", "Cache-Control: max-age=9000\r\nAge: 0\r\nAge: 7200\r\n",
          0, 86400, 3600, 20, 1800, false, false },
        { "Age with blanks around", "Cache-Control: max-age=60\r\nAge:  10 \r\n", 0, 86400, 3600,
          20, 49, false, false },
        { "s-maxage beats max-age", "Cache-Control: max-age=0, s-maxage=60\r\n", 0, 86400, 3600,
          20, 59, false, false },
        { "s-maxage=0 beats max-age", "Cache-Control: s-maxage=0, max-age=60\r\n", 0, 86400,
          3600, 20, 0, true, false },
        { "s-maxage beats expires", "Expires: " + date(base - 10) +
          "\r\nCache-Control: s-maxage=100\r\n", 0, 86400, 3600, 20, 50, false, false },
        { "expires minus date", "Date: " + date(base + 7200) + "\r\nExpires: " +
          date(base + 7300) + "\r\n", 0, 86400, 3600, 20, 99, false, false },
        { "expires minus date reached", "Date: " + date(base + 7200) + "\r\nExpires: " +
          date(base + 7300) + "\r\n", 0, 86400, 3600, 20, 100, true, false },
        { "expires equal to date", "Date: " + date(base + 3600) + "\r\nExpires: " +
          date(base + 3600) + "\r\n", 0, 86400, 3600, 20, 0, true, false },
        { "expires with a bad date", "Date: nonsense\r\nExpires: " + date(base + 100) + "\r\n", 0,
          86400, 3600, 20, 99, false, false },
        { "expires lines differ", "Expires: " + date(base + 100) + "\r\nExpires: " +
          date(base + 200) + "\r\n", 0, 86400, 3600, 20, 0, true, false },
        { "expires lines agree", "Expires: " + date(base + 100) + "\r\nExpires: " +
          date(base + 100) + "\r\n", 0, 86400, 3600, 20, 99, false, false },
        { "expires long past", "Expires: Thu, 01 Jan 1998 00:00:00 GMT\r\nLast-Modified: Thu, 01 "
          "Jan 2015 00:00:00 GMT\r\n", 0, 86400, 3600, 20, 0, true, false },
        { "expires loosely written", "Expires: Sun, 06  Nov 2050 08:49:37 GMT\r\n", 0, 86400,
          3600, 20, 0, true, false },
        { "rule max_age caps", "Cache-Control: max-age=60\r\n", 0, 30, 3600, 20, 30, false, false },
        { "rule max_age past", "Cache-Control: max-age=60\r\n", 0, 30, 3600, 20, 31, true, false },
        { "blanks after comma", "Cache-Control: public,  max-age=60\r\n", 0, 86400, 3600, 20, 59,
          false, false },
        { "blank around =", "Cache-Control: max-age = 60\r\n", 0, 86400, 3600, 20, 59, false, false },
        { "expires", "Expires: " + date(base + 100) + "\r\n", 0, 86400, 3600, 20, 99, false, false },
        { "expires reached", "Expires: " + date(base + 100) + "\r\n", 0, 86400, 3600, 20, 100, true,
          false },
        { "max-age beats expires", "Expires: " + date(base + 10) +
          "\r\nCache-Control: max-age=100\r\n", 0, 86400, 3600, 20, 50, false, false },
        { "bad expires", "Expires: 0\r\nLast-Modified: " + date(base - 100000) + "\r\n", 0, 86400,
          3600, 20, 0, true, false },
        { "lm heuristic", "Last-Modified: " + date(base - 1000) + "\r\n", 0, 3600, 3600, 10, 100,
          false, false },
        { "lm heuristic past", "Last-Modified: " + date(base - 1000) + "\r\n", 0, 3600, 3600, 10,
          101, true, false },
        { "lm within default_age", "Last-Modified: " + date(base - 100000) + "\r\n", 0, 86400, 50,
          20, 50, false, false },
        { "lm beyond default_age", "Last-Modified: " + date(base - 100000) + "\r\n", 0, 86400, 50,
          20, 51, true, false },
        { "min_age", "Cache-Control: max-age=500\r\nLast-Modified: " + date(base - 10) + "\r\n",
          100, 86400, 3600, 20, 89, true, false },
        { "min_age reached", "Cache-Control: max-age=500\r\nLast-Modified: " + date(base - 10) +
          "\r\n", 100, 86400, 3600, 20, 90, false, false },
        { "must-revalidate", "Cache-Control: max-age=100, must-revalidate\r\n", 0, 86400, 3600, 20,
          1, true, false },
        { "no-cache", "Cache-Control: max-age=100,no-cache\r\n", 0, 86400, 3600, 20, 1, true, true },
        { "no-store", "Cache-Control: NO-STORE\r\n", 0, 86400, 3600, 20, 0, true, true },
    };
    Options keep_all;   /* no-store objects are kept only with violations allowed */
    keep_all.violations = true;
    CacheSection *c = cache_new(keep_all, "");
    int i = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string key = "http://fresh.test:80/" + std::to_string(i++);
        ASSERT_TRUE(put(c, key, response(k.headers, 2), "ok"));
        CACHEMAP *o = c->cache_open(nullptr, key.c_str(), nullptr, CACHE_OFFLINE);
        ASSERT_NE(nullptr, o);
        o->retrieved = base;
        o->min_age = k.min_age;
        o->max_age = k.max_age;
        o->default_age = k.default_age;
        o->lm_factor = k.lm_factor;
        o->flags &= ~CACHE_VIOLATION;
        c->check_header_at(o, base + k.at);
        EXPECT_EQ(k.expired, (o->flags & CACHE_EXPIRED) != 0);
        EXPECT_EQ(k.violation, (o->flags & CACHE_VIOLATION) != 0);
        c->cache_close(o, false);
    }
}

/* The received Age as a shared cache reads it: the first member of a
 * list, an invalid member ignored as if there were no Age. A response with
 * max-age=3600 carrying these Age values is fresh (true) or stale when it
 * arrives; the names are those of the public cache test suite's cases. */
TEST(CacheFresh, AgeParse)
{
    struct Case {
        const char *what;
        const char *lines;
        int64_t age;
        bool fresh;
    };
    const Case cases[] = {
        { "age-parse-nonnumeric", "Age: abc\r\n", 0, true },
        { "age-parse-negative", "Age: -7200\r\n", 0, true },
        { "age-parse-float", "Age: 7200.0\r\n", 0, true },
        { "age-parse-prefix", "Age: a7200\r\n", 0, true },
        { "age-parse-suffix", "Age: 7200a\r\n", 0, true },
        { "age-parse-prefix-twoline", "Age: a\r\nAge: 7200\r\n", 0, true },
        { "age-parse-suffix-twoline", "Age: 7200\r\nAge: a\r\n", 7200, false },
        { "age-parse-dup-0", "Age: 0, 7200\r\n", 0, true },
        { "age-parse-dup-0-twoline", "Age: 0\r\nAge: 7200\r\n", 0, true },
        { "age-parse-dup-old", "Age: 7200, 0\r\n", 7200, false },
        { "age-parse-large", "Age: 2147483648\r\n", 2147483648LL, false },
        { "blanks around the first member", "Age:  \t7200 , 0\r\n", 7200, false },
        { "empty first member", "Age: , 7200\r\n", 0, true },
    };
    CacheSection *c = cache_new(Options(), "");
    const time_t base = 1700000000;
    int i = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string text = "HTTP/1.1 200 OK\r\nCache-Control: max-age=3600\r\n" +
                           std::string(k.lines) + "\r\n";
        HEADER *h = http_header_parse_response(text.c_str());
        ASSERT_NE(nullptr, h);
        EXPECT_EQ(k.age, cache_received_age(h));
        http_header_free(h);
        std::string key = "http://age.test:80/" + std::to_string(i++);
        ASSERT_TRUE(put(c, key, response("Cache-Control: max-age=3600\r\n" + std::string(k.lines), 2),
                        "ok"));
        CACHEMAP *o = c->cache_open(nullptr, key.c_str(), nullptr, CACHE_OFFLINE);
        ASSERT_NE(nullptr, o);
        o->retrieved = base;
        o->max_age = 86400;
        o->default_age = 3600;
        c->check_header_at(o, base);
        EXPECT_EQ(k.fresh, (o->flags & CACHE_EXPIRED) == 0);
        c->cache_close(o, false);
    }
}

/* The revalidation check: the object's state and the request's
 * Cache-Control, in order. */
TEST(CacheFresh, RevalidationCheck)
{
    struct Case {
        const char *what;
        const char *request_cc;   /* NULL: none */
        bool expired;
        int expires_in;           /* seconds from now; 0 = no expiry */
        int fresh_until_in;
        int retrieved_ago;
        bool prefetched;
        bool validate;
    };
    static const Case cases[] = {
        { "fresh, no header", nullptr, false, 1000, 0, 100, false, false },
        { "expired", nullptr, true, -1000, 0, 100, false, true },
        { "no-cache", "no-cache", false, 1000, 0, 100, false, true },
        { "no-store", "No-Store", false, 1000, 0, 100, false, true },
        { "max-age older", "max-age=50", false, 1000, 0, 100, false, true },
        { "max-age younger", "max-age=500", false, 1000, 0, 100, false, false },
        { "min-fresh beyond expiry", "min-fresh=2000", false, 1000, 0, 100, false, true },
        { "min-fresh within", "min-fresh=500", false, 1000, 0, 100, false, false },
        { "min-fresh heuristic", "min-fresh=2000", false, 0, 1000, 100, false, true },
        { "max-stale covers", "max-stale=5000", true, -1000, 0, 100, false, false },
        { "max-stale short", "max-stale=500", true, -1000, 0, 100, false, true },
        { "max-stale then no-cache", "max-stale=5000, no-cache", true, -1000, 0, 100, false, true },
        { "no-cache then max-stale", "no-cache, max-stale=5000", true, -1000, 0, 100, false, false },
        { "prefetched never", "no-cache", true, -1000, 0, 100, true, false },
    };
    CacheSection *c = cache_new(Options(), "");
    ASSERT_TRUE(put(c, "http://check.test:80/", response("", 2), "ok"));
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        CACHEMAP *o = c->cache_open(nullptr, "http://check.test:80/", nullptr, CACHE_OFFLINE);
        ASSERT_NE(nullptr, o);
        time_t now = utc_time(nullptr);
        o->flags &= ~(CACHE_EXPIRED | CACHE_VALIDATE | CACHE_PREFETCHED);
        if (k.expired)
            o->flags |= CACHE_EXPIRED;
        if (k.prefetched)
            o->flags |= CACHE_PREFETCHED;
        o->expires = k.expires_in ? now + k.expires_in : 0;
        o->fresh_until = k.fresh_until_in ? now + k.fresh_until_in : 0;
        o->retrieved = now - k.retrieved_ago;
        std::string text = std::string("GET http://check.test/ HTTP/1.1\r\n") +
                           (k.request_cc ? std::string("Cache-Control: ") + k.request_cc + "\r\n"
                                         : "") + "\r\n";
        HEADER *req = http_header_parse_request(text.c_str());
        ASSERT_NE(nullptr, req);
        c->check(o, req);
        EXPECT_EQ(k.validate, (c->flag_get(o) & CACHE_VALIDATE) != 0);
        http_header_free(req);
        o->flags &= ~CACHE_PREFETCHED;
        c->cache_close(o, false);
    }
}

/* A copy that must never be served stale is revalidated whatever
 * max-stale the client accepts, and a received Age counts against the
 * client's max-age. */
TEST(CacheFresh, RevalidationByStoredHeader)
{
    struct Case {
        const char *stored;       /* stored header lines */
        const char *request_cc;
        bool validate;
    };
    static const Case cases[] = {
        { "Cache-Control: max-age=0\r\n", "max-stale=5000", false },
        { "Cache-Control: max-age=0, must-revalidate\r\n", "max-stale=5000", true },
        { "Cache-Control: max-age=0, proxy-revalidate\r\n", "max-stale=5000", true },
        { "Cache-Control: s-maxage=0\r\n", "max-stale=5000", true },
        { "Cache-Control: max-age=9000\r\nAge: 10\r\n", "max-age=500", false },
        { "Cache-Control: max-age=9000\r\nAge: 1000\r\n", "max-age=500", true },
    };
    CacheSection *c = cache_new(Options(), "");
    int i = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.stored) + k.request_cc);
        std::string key = "http://nostale.test:80/" + std::to_string(i++);
        ASSERT_TRUE(put(c, key, response(k.stored, 2), "ok"));
        CACHEMAP *o = c->cache_open(nullptr, key.c_str(), nullptr, CACHE_OFFLINE);
        ASSERT_NE(nullptr, o);
        std::string text = std::string("GET http://nostale.test/ HTTP/1.1\r\nCache-Control: ") +
                           k.request_cc + "\r\n\r\n";
        HEADER *req = http_header_parse_request(text.c_str());
        ASSERT_NE(nullptr, req);
        EXPECT_EQ(k.validate, c->validate_wanted(o, req, o->retrieved + 1));
        http_header_free(req);
        c->cache_close(o, false);
    }
}

/* A stored object is a byte-identical hit, refreshed by validated; a second
 * writer is refused while the object is held and replaces it once free. */
TEST(CacheObjects, WriteThenHit)
{
    CacheSection *c = cache_new(Options(), refresh_entry("", true, 0, 86400, 3600, 20));
    std::string body = bytes_of(200000, 'a');
    std::string head = response("Cache-Control: max-age=600\r\n", (int64_t)body.size());
    const std::string key = "http://hit.test:80/a";
    EXPECT_EQ("<miss>", get(c, key));
    ASSERT_TRUE(put(c, key, head, body));
    EXPECT_EQ(body, get(c, key));
    EXPECT_EQ(1, c->exists(key.c_str()));
    EXPECT_EQ(0, c->exists("http://hit.test:80/b"));

    CACHEMAP *r = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(0, r->flags & CACHE_EXPIRED);
    char *stored = c->stored_header(r);
    EXPECT_EQ(head, stored);
    free(stored);
    EXPECT_EQ(nullptr, c->cache_open(nullptr, key.c_str(), head.c_str(), CACHE_WRITING));
    r->retrieved -= 100;
    EXPECT_LE(100, c->age(r));
    c->validated(r);
    EXPECT_GE(1, c->age(r));
    c->cache_close(r, false);

    ASSERT_TRUE(put(c, key, response("", 3), "new"));   /* unheld: replaced */
    EXPECT_EQ("new", get(c, key));
    EXPECT_EQ(1, c->objects_count());
}

/* The read observer of the HTTP exchange fills the object only for the
 * request that writes it; a refused block drops the object, and only a
 * prefetch stops its transfer then. Every mapping made and removed is
 * counted for the performance log. */
TEST(CacheObjects, ReadObserverFeedsTheWriter)
{
    /* maxsize bounds the body: room for 10 bytes. */
    const std::string head = response("Cache-Control: max-age=600\r\n");
    Options small;
    small.maxsize = "10";
    CacheSection *c = cache_new(small, refresh_entry("", true, 0, 86400, 3600, 20));
    PerformanceLog *saved = performance_log;
    performance_log = new PerformanceLog();
    struct Case {
        const char *key;
        unsigned flags;        /* CONN_* of the request */
        const char *block;
        int callback;          /* the observer's result */
        const char *stored;    /* the body a lookup finds afterwards */
    };
    const Case cases[] = {
        { "http://obs.test:80/writer", CONN_WRITING_CACHE, "abc", 0, "abc" },
        { "http://obs.test:80/reader", 0, "abc", 0, "" },
        { "http://obs.test:80/limit", CONN_WRITING_CACHE, "0123456789", 0, "0123456789" },
        { "http://obs.test:80/over", CONN_WRITING_CACHE, "0123456789x", 0, "<miss>" },
        { "http://obs.test:80/prefetch", CONN_WRITING_CACHE | CONN_PREFETCH, "0123456789x", -1,
          "<miss>" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.key);
        CONNECTION_T *conn = request_conn("GET http://obs.test/ HTTP/1.1\r\n\r\n");
        conn->download_left = ALLOWANCE_UNLIMITED;
        conn->cache = c->cache_open(nullptr, k.key, head.c_str(), CACHE_WRITING);
        ASSERT_NE(nullptr, conn->cache);
        conn->flags = k.flags;
        EXPECT_EQ(k.callback, protocol_http_read_callback(conn, (int64_t)strlen(k.block), k.block));
        conn->flags |= CONN_WRITING_CACHE;   /* closed as its writer either way */
        c->request_done(conn);
        EXPECT_EQ(nullptr, conn->cache);
        EXPECT_EQ(k.stored, get(c, k.key));
        request_conn_free(conn);
    }
    EXPECT_LE(1u, performance_log->get_cache_mmaps_created());
    delete cache_section;   /* unmaps what is left */
    cache_section = nullptr;
    EXPECT_EQ(performance_log->get_cache_mmaps_created(),
              performance_log->get_cache_mmaps_deleted());
    delete performance_log;
    performance_log = saved;
}

/* Several readers stream an object while its writer fills it; a reader
 * whose client does not read stalls only itself. */
TEST(CacheObjects, ReadersWhileWriting)
{
    CacheSection *c = cache_new(Options(), "");
    const std::string key = "http://stream.test:80/big";
    std::string body = bytes_of(3 << 20, 'k');
    std::string head = response("", (int64_t)body.size());
    CACHEMAP *w = c->cache_open(nullptr, key.c_str(), head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(8, c->add(w, body.data(), 8));

    Client fast, stalled;
    CACHEMAP *r1 = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    CACHEMAP *r2 = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    ASSERT_NE(nullptr, r1);
    ASSERT_EQ(r1, r2);
    EXPECT_EQ(3, c->refcount(w));

    HEADER *framed = http_header_parse_response(head.c_str());
    c->response_framing(r1, fast.conn, framed);
    EXPECT_EQ((int64_t)body.size(), framed->content_length);
    EXPECT_EQ(1, fast.conn->keepalive_client);
    http_header_free(framed);

    int64_t sent1 = -1, sent2 = -1;
    std::thread t1([&] { sent1 = c->send(r1, fast.conn, SIDE_CLIENT); });
    std::thread t2([&] { sent2 = c->send(r2, stalled.conn, SIDE_CLIENT); });
    std::string got1;
    std::thread drain([&] { got1 = fast.read_all(body.size()); });

    /* The stalled client's socket fills up; the writer is not held back. */
    for (size_t off = 8; off < body.size(); off += 50000) {
        int64_t n = std::min<int64_t>(50000, (int64_t)(body.size() - off));
        ASSERT_EQ(n, c->add(w, body.data() + off, n));
    }
    c->cache_close(w, true);
    drain.join();
    t1.join();
    EXPECT_EQ(body.size(), got1.size());
    EXPECT_TRUE(got1 == body);
    EXPECT_EQ((int64_t)body.size(), sent1);
    EXPECT_EQ(1, fast.conn->keepalive_client);

    std::string got2 = stalled.read_all(body.size());
    t2.join();
    EXPECT_TRUE(got2 == body);
    EXPECT_EQ((int64_t)body.size(), sent2);
    c->cache_close(r1, false);
    c->cache_close(r2, false);
    EXPECT_EQ(body, get(c, key));
}

/* A reader joining an object written from a chunked response gets a
 * close-delimited body; a reader whose writer fails loses its keep-alive. */
TEST(CacheObjects, JoiningReaderFraming)
{
    CacheSection *c = cache_new(Options(), "");
    std::string head = response("Transfer-Encoding: chunked\r\n");
    CACHEMAP *w = c->cache_open(nullptr, "http://chunk.test:80/", head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(5, c->add(w, "hello", 5));
    CACHEMAP *r = c->cache_open(nullptr, "http://chunk.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, r);
    Client client;
    char *stored = c->stored_header(r);
    HEADER *h = http_header_parse_response(stored);
    free(stored);
    ASSERT_NE(nullptr, h);
    EXPECT_EQ(1, h->chunked);
    c->response_framing(r, client.conn, h);
    EXPECT_EQ(0, h->chunked);
    EXPECT_EQ(0u, h->flags & HEADER_HAS_LENGTH);
    EXPECT_EQ(0, client.conn->keepalive_client);
    http_header_free(h);
    std::thread writer([&] {
        EXPECT_EQ(6, c->add(w, " world", 6));
        c->cache_close(w, true);
    });
    EXPECT_EQ(11, c->send(r, client.conn, SIDE_CLIENT));
    writer.join();
    EXPECT_EQ("hello world", client.read_all(11));
    c->cache_close(r, false);

    /* The finished object is served with its length. */
    CACHEMAP *again = c->cache_open(nullptr, "http://chunk.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, again);
    Client second;
    HEADER *h2 = http_header_parse_response(head.c_str());
    c->response_framing(again, second.conn, h2);
    EXPECT_EQ(11, h2->content_length);
    EXPECT_EQ(1, second.conn->keepalive_client);
    http_header_free(h2);
    c->cache_close(again, false);

    /* Announced 10, the writer fails after 4: the reader gets 4 and no
     * keep-alive; the object is gone. */
    std::string head10 = response("", 10);
    CACHEMAP *w2 = c->cache_open(nullptr, "http://fail.test:80/", head10.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w2);
    ASSERT_EQ(4, c->add(w2, "abcd", 4));
    CACHEMAP *r2 = c->cache_open(nullptr, "http://fail.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, r2);
    Client third;
    std::thread failer([&] { c->invalidate(w2); });
    EXPECT_EQ(4, c->send(r2, third.conn, SIDE_CLIENT));
    failer.join();
    EXPECT_EQ(0, third.conn->keepalive_client);
    EXPECT_EQ(nullptr, c->read_filebuf(r2));
    c->cache_close(r2, false);
    EXPECT_EQ("<miss>", get(c, "http://fail.test:80/"));
}

/* An object invalidated while another client reads it stays readable for
 * that client and is freed at its last close. */
TEST(CacheObjects, InvalidateWhileRead)
{
    CacheSection *c = cache_new(Options(), "");
    std::string body = bytes_of(100000, 'z');
    ASSERT_TRUE(put(c, "http://held.test:80/", response("", (int64_t)body.size()), body));
    CACHEMAP *a = c->cache_open(nullptr, "http://held.test:80/", nullptr, 0);
    CACHEMAP *b = c->cache_open(nullptr, "http://held.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, a);
    c->invalidate(a);
    EXPECT_EQ("<miss>", get(c, "http://held.test:80/"));
    Client client;
    std::string got;
    std::thread drain([&] { got = client.read_all(body.size()); });
    EXPECT_EQ((int64_t)body.size(), c->send(b, client.conn, SIDE_CLIENT));
    drain.join();
    EXPECT_TRUE(got == body);
    EXPECT_EQ(1, c->refcount(b));
    uint64_t before = c->mem_bytes;
    c->cache_close(b, false);
    EXPECT_EQ(before - (uint64_t)(body.size() + response("", (int64_t)body.size()).size()),
              c->mem_bytes);
    EXPECT_EQ(0, c->objects_count());
}

/* A download behind the progress page fails while two clients hold the
 * object: it is freed when the last of them leaves, and the URL can be
 * cached again at once. */
TEST(CacheObjects, FailedBufferedDownloadIsFreedByItsLastReader)
{
    CacheSection *c = cache_new(Options(), "");
    const std::string key = "http://buffered.test:80/";
    std::string head = response("", 10);
    CACHEMAP *w = c->cache_open(nullptr, key.c_str(), head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(4, c->add(w, "abcd", 4));
    c->flag_set(w, CACHE_BUFFERWAIT);
    CACHEMAP *r1 = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    CACHEMAP *r2 = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    ASSERT_EQ(w, r1);
    ASSERT_EQ(w, r2);
    c->invalidate(w);                    /* the writer's transfer failed */
    c->cache_close(r1, false);
    EXPECT_EQ(1, c->objects_count());    /* still held by the second reader */
    c->cache_close(r2, false);
    EXPECT_EQ(0, c->objects_count());
    EXPECT_EQ("<miss>", get(c, key));
    ASSERT_TRUE(put(c, key, response("", 3), "new"));
    EXPECT_EQ("new", get(c, key));
}

/* Size limits: maxsize exactly and one past, announced or streamed; a
 * length beyond memory; a body longer or shorter than announced; minsize
 * exactly and one below. */
TEST(CacheObjects, SizeLimits)
{
    Options o;
    o.maxsize = "1000";
    o.minsize = "100";
    CacheSection *c = cache_new(o, "");
    std::string h0 = response("", -1);

    /* maxsize bounds the body, whatever the header's length. */
    std::string at = bytes_of(1000, 'm');
    EXPECT_TRUE(put(c, "http://size.test:80/at", h0, at));
    EXPECT_EQ(at, get(c, "http://size.test:80/at"));
    EXPECT_FALSE(put(c, "http://size.test:80/past", h0, at + "x"));
    EXPECT_EQ("<miss>", get(c, "http://size.test:80/past"));

    EXPECT_EQ(nullptr, c->cache_open(nullptr, "http://size.test:80/cl", response("", 1001).c_str(),
                                     CACHE_WRITING));
    CACHEMAP *forced = c->cache_open(nullptr, "http://size.test:80/cl",
                                     response("", 1001).c_str(), CACHE_WRITING | CACHE_FORCE);
    ASSERT_NE(nullptr, forced);
    c->invalidate(forced);
    EXPECT_EQ(nullptr, c->cache_open(nullptr, "http://size.test:80/huge",
                                     response("", (int64_t)1 << 60).c_str(),
                                     CACHE_WRITING | CACHE_FORCE));
    EXPECT_EQ(1, c->objects_count());   /* only "at" */

    CACHEMAP *w = c->cache_open(nullptr, "http://size.test:80/long", response("", 4).c_str(),
                                CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(4, c->add(w, "abcd", 4));
    EXPECT_EQ(-1, c->add(w, "e", 1));
    c->cache_close(w, true);
    EXPECT_EQ("<miss>", get(c, "http://size.test:80/long"));

    std::string short_head = response("", 200);
    EXPECT_TRUE(put(c, "http://size.test:80/short", short_head, bytes_of(150, 's')));
    EXPECT_EQ("<miss>", get(c, "http://size.test:80/short"));   /* 150 of 200 arrived */

    std::string small_head = response("", -1);
    std::string exactly = bytes_of(100 - small_head.size(), 'n');
    EXPECT_TRUE(put(c, "http://size.test:80/min", small_head, exactly));
    EXPECT_EQ(exactly, get(c, "http://size.test:80/min"));
    EXPECT_TRUE(put(c, "http://size.test:80/below", small_head, exactly.substr(1)));
    EXPECT_EQ("<miss>", get(c, "http://size.test:80/below"));
}

/* Lookups refuse what the request may not see: violations without
 * OFFLINE or the option, Authorization, a coding the client cannot take;
 * creations refuse CARP requests, unparsable headers and refused rules. */
TEST(CacheObjects, LookupRefusals)
{
    CacheSection *c = cache_new(Options(), refresh_entry("guest", false, 0, 0, 0, 0) +
                                                refresh_entry("", true, 0, 86400, 3600, 20));
    ASSERT_TRUE(put(c, "http://v.test:80/", response("Cache-Control: no-cache\r\n", 2), "nc"));
    EXPECT_EQ("<miss>", get(c, "http://v.test:80/"));
    EXPECT_EQ("nc", get(c, "http://v.test:80/", CACHE_OFFLINE));
    /* no-store is never kept without allow-violations: not even indexed. */
    int before = c->objects_count();
    EXPECT_FALSE(put(c, "http://ns.test:80/", response("Cache-Control: private2, No-Store\r\n", 2),
                     "ns"));
    EXPECT_EQ(before, c->objects_count());
    EXPECT_EQ("<miss>", get(c, "http://ns.test:80/", CACHE_OFFLINE));
    Options allow;
    allow.violations = true;

    ASSERT_TRUE(put(c, "http://gz.test:80/", response("Content-Encoding: gzip\r\n", 2), "gz"));
    CONNECTION_T *plain = request_conn("GET http://gz.test/ HTTP/1.1\r\n\r\n");
    CONNECTION_T *gzip = request_conn("GET http://gz.test/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n\r\n");
    CONNECTION_T *auth = request_conn("GET http://gz.test/ HTTP/1.1\r\nAccept-Encoding: gzip\r\n"
                                      "Authorization: Basic eDp5\r\n\r\n");
    EXPECT_EQ(nullptr, c->cache_open(plain, "http://gz.test:80/", nullptr, 0));
    CACHEMAP *hit = c->cache_open(gzip, "http://gz.test:80/", nullptr, 0);
    EXPECT_NE(nullptr, hit);
    if (hit)
        c->cache_close(hit, false);
    EXPECT_EQ(nullptr, c->cache_open(auth, "http://gz.test:80/", nullptr, 0));
    EXPECT_EQ(nullptr, c->cache_open(auth, "http://new.test:80/", response("", 1).c_str(),
                                     CACHE_WRITING));

    gzip->flags |= CONN_CARP;
    EXPECT_EQ(nullptr, c->cache_open(gzip, "http://carp.test:80/", response("", 1).c_str(),
                                     CACHE_WRITING));
    gzip->flags &= ~CONN_CARP;
    gzip->profiles = StringList("guest", ',');
    EXPECT_EQ(nullptr, c->cache_open(gzip, "http://rule.test:80/", response("", 1).c_str(),
                                     CACHE_WRITING));
    CACHEMAP *forced = c->cache_open(gzip, "http://rule.test:80/", response("", 1).c_str(),
                                     CACHE_WRITING | CACHE_FORCE);
    EXPECT_NE(nullptr, forced);
    if (forced)
        c->invalidate(forced);
    EXPECT_EQ(nullptr, c->cache_open(nullptr, "http://bad.test:80/", "HTTP/1.1 200 OK\r\n",
                                     CACHE_WRITING));
    EXPECT_EQ(nullptr, c->cache_open(nullptr, "http://bad.test:80/",
                                     response("Vary: Cookie\r\n", 1).c_str(), CACHE_WRITING));
    request_conn_free(plain);
    request_conn_free(gzip);
    request_conn_free(auth);

    c = cache_new(allow, "");
    ASSERT_TRUE(put(c, "http://v.test:80/", response("Cache-Control: no-cache\r\n", 2), "nc"));
    EXPECT_EQ("nc", get(c, "http://v.test:80/"));
    ASSERT_TRUE(put(c, "http://ns.test:80/", response("Cache-Control: no-store\r\n", 2), "ns"));
    EXPECT_EQ("ns", get(c, "http://ns.test:80/"));
}

/* The flags and the reference helpers: flag_string, refcount marking a
 * lone holder's object, the buffer-wait join, the progress page, the
 * worker's close. */
TEST(CacheObjects, FlagsAndStatus)
{
    CacheSection *c = cache_new(Options(), "");
    Client client;
    client.conn->header = http_header_parse_request("GET http://dl.test/ HTTP/1.1\r\n\r\n");
    std::string head = response("", 100);
    client.conn->cache = c->cache_open(client.conn, "http://dl.test:80/", head.c_str(),
                                       CACHE_WRITING);
    CACHEMAP *w = client.conn->cache;
    ASSERT_NE(nullptr, w);
    client.conn->flags |= CONN_WRITING_CACHE;
    EXPECT_EQ(10, c->add(w, "0123456789", 10));
    c->flag_set(w, CACHE_BUFFERWAIT | CACHE_PREFETCHED);

    CACHEMAP *r = c->cache_open(nullptr, "http://dl.test:80/", nullptr, 0);
    ASSERT_EQ(w, r);
    char *names = c->flag_string(r);
    EXPECT_STREQ("CACHE_WRITING, CACHE_PREFETCHED, CACHE_MEM, CACHE_BUFFERWAIT", names);
    free(names);

    Client reader;
    EXPECT_EQ(1, c->send_status(reader.conn, r));
    EXPECT_EQ("10", reader.conn->variables["TRANSFERRED"]);
    EXPECT_EQ("100", reader.conn->variables["SIZE"]);
    std::string page = reader.read_all(1);
    EXPECT_NE(std::string::npos, page.find("200")) << page;
    c->cache_close(r, false);

    EXPECT_EQ(1, c->refcount(w));   /* alone: given up */
    EXPECT_NE(0, c->flag_get(w) & CACHE_INVALID);
    c->request_done(client.conn);
    EXPECT_EQ(nullptr, client.conn->cache);
    EXPECT_EQ(0, c->objects_count());
    http_header_free(client.conn->header);
    client.conn->header = nullptr;

    CACHEMAP *o = c->cache_open(nullptr, "http://f.test:80/", response("", 1).c_str(),
                                CACHE_WRITING);
    ASSERT_NE(nullptr, o);
    c->flag_unset(o, CACHE_CONDVAR | CACHE_WRITING);
    char *two = c->flag_string(o);
    EXPECT_STREQ("CACHE_MEM", two);
    free(two);
    c->flag_set(o, CACHE_WRITING | CACHE_CONDVAR);
    CONNECTION_T *failed = connection_new();
    failed->cache = o;
    failed->flags = CONN_TRANSFER_FAILED | CONN_WRITING_CACHE;
    c->request_done(failed);
    connection_free(failed);
    EXPECT_EQ(0, c->objects_count());
    EXPECT_EQ(3130, c->icpport_get());
    EXPECT_EQ(700, c->icptimeout_get());
}

/* Memory stays within memory-cache-size: while cleaning is not allowed no
 * new object is created; once it is, the least recently used objects go
 * first, down to the low mark. */
TEST(CacheEvict, MemoryWithinLimit)
{
    Options o;
    o.memory = "1M";
    o.extra = "256K";
    o.maxsize = "0";
    CacheSection *c = cache_new(o, "");
    const uint64_t limit = 1 << 20;
    std::string body = bytes_of(100000, 'e');
    std::string head = response("", (int64_t)body.size());
    c->clean_time = utc_time(nullptr);   /* inside the interval: no cleaning */
    int stored = 0;
    for (int i = 0; i < 15; i++) {
        if (put(c, "http://mem.test:80/" + std::to_string(i), head, body))
            stored++;
        EXPECT_LE(c->mem_bytes, limit);
    }
    EXPECT_EQ(10, stored);
    EXPECT_EQ(10, c->objects_count());

    /* Access times 0..9 in key order; cleaning is allowed again. */
    time_t base = utc_time(nullptr) - 1000;
    for (int i = 0; i < 10; i++)
        c->hash_find(("http://mem.test:80/" + std::to_string(i)).c_str())->accessed = base + i;
    c->clean_time = 0;
    test_log_clear();
    ASSERT_TRUE(put(c, "http://mem.test:80/new", head, body));
    EXPECT_TRUE(test_log_contains("cleaning triggered"));
    EXPECT_LE(c->mem_bytes, limit);
    int kept = 0;
    for (int i = 0; i < 10; i++) {
        bool present = c->hash_find(("http://mem.test:80/" + std::to_string(i)).c_str()) != nullptr;
        if (present)
            kept++;
        else
            EXPECT_EQ(0, kept) << "object " << i << " evicted after a newer one was kept";
    }
    EXPECT_GE(kept, 5);
    EXPECT_LE(kept, 7);
    EXPECT_EQ(body, get(c, "http://mem.test:80/9"));

    /* Inside the interval again: refused, logged once. */
    test_log_clear();
    for (int i = 0; i < 10; i++)
        put(c, "http://mem.test:80/more" + std::to_string(i), head, body);
    EXPECT_LE(c->mem_bytes, limit);
    EXPECT_EQ(1, c->clean_state);
}

/* A cleaning that finds every object in use changes nothing; a buffer-only
 * object younger than 60 seconds survives cleaning, an older one goes. */
TEST(CacheEvict, HeldAndDiscardObjects)
{
    Options o;
    o.memory = "1M";
    o.extra = "256K";
    CacheSection *c = cache_new(o, "");
    CACHEMAP *held = c->cache_open(nullptr, "http://busy.test:80/", response("", 5).c_str(),
                                   CACHE_WRITING);
    ASSERT_NE(nullptr, held);
    c->clean_time = 0;
    test_log_clear();
    {
        CacheLock lock(*c);
        c->clean();
    }
    EXPECT_TRUE(test_log_contains("cache: no new objects to clean"));
    EXPECT_EQ(1, c->objects_count());
    c->invalidate(held);

    ASSERT_TRUE(put(c, "http://young.test:80/", response("", 2), "yo"));
    CACHEMAP *d = c->cache_open(nullptr, "http://old.test:80/", response("", 2).c_str(),
                                CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    ASSERT_NE(nullptr, d);
    ASSERT_EQ(2, c->add(d, "ol", 2));
    c->cache_close(d, true);
    CACHEMAP *y = c->cache_open(nullptr, "http://young2.test:80/", response("", 2).c_str(),
                                CACHE_WRITING | CACHE_DISCARD | CACHE_FORCE);
    ASSERT_EQ(2, c->add(y, "yn", 2));
    c->cache_close(y, true);
    c->hash_find("http://old.test:80/")->retrieved -= 61;
    c->clean_time = 0;
    {
        CacheLock lock(*c);
        c->clean();
    }
    EXPECT_EQ(nullptr, c->hash_find("http://old.test:80/"));
    EXPECT_NE(nullptr, c->hash_find("http://young2.test:80/"));
    EXPECT_NE(nullptr, c->hash_find("http://young.test:80/"));
}

/* Cleaning drops objects under the lock but unmaps them after it: the
 * mapping is still there while the lock is held, and gone once it is
 * given back. */
TEST(CacheEvict, UnmappedAfterTheLock)
{
    Options o;
    o.memory = "1M";
    o.extra = "1M";
    CacheSection *c = cache_new(o, "");
    std::string body = bytes_of(200000, 'u');
    ASSERT_TRUE(put(c, "http://unmap.test:80/", response("", (int64_t)body.size()), body));
    void *map;
    {
        CacheLock lock(*c);
        CACHEMAP *object = c->hash_find("http://unmap.test:80/");
        ASSERT_NE(nullptr, object);
        map = object->map;
    }
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    unsigned char resident[1];
    {
        CacheLock lock(*c);
        c->clean_time = 0;
        c->mem_wanted = 1 << 20;   /* as if a new object waited for room */
        c->clean();
        c->mem_wanted = 0;
        EXPECT_EQ(nullptr, c->hash_find("http://unmap.test:80/"));
        EXPECT_EQ(0, mincore(map, page, resident));   /* still mapped */
    }
    EXPECT_EQ(-1, mincore(map, page, resident));
    EXPECT_EQ(ENOMEM, errno);
}

/* A mapping that cannot be made or grown drops that object only. */
TEST(CacheObjects, MappingFailure)
{
    CacheSection *c = cache_new(Options(), "");
    static std::atomic<int> fail_mremap{0};
    cache_fault_hook = [](const char *call) {
        if (strcmp(call, "mremap") == 0 && fail_mremap.load())
            return ENOMEM;
        return 0;
    };
    CACHEMAP *w = c->cache_open(nullptr, "http://map.test:80/", response("").c_str(),
                                CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    std::string block = bytes_of(70000, 'q');
    EXPECT_EQ(70000, c->add(w, block.data(), 70000));
    fail_mremap = 1;
    EXPECT_EQ(-1, c->add(w, block.data(), 70000));
    EXPECT_NE(0, c->flag_get(w) & CACHE_INVALID);
    c->cache_close(w, true);
    fail_mremap = 0;
    cache_fault_hook = nullptr;
    EXPECT_EQ(0, c->objects_count());
    EXPECT_EQ(0u, c->mem_bytes);
    EXPECT_TRUE(test_log_contains("cache: unable to create memory map"));
    ASSERT_TRUE(put(c, "http://map.test:80/", response("", 2), "ok"));
    EXPECT_EQ("ok", get(c, "http://map.test:80/"));
}

/* The request-only form of check looks the URL up itself. */
TEST(CacheFresh, CheckByUrl)
{
    CacheSection *c = cache_new(Options(), refresh_entry("", true, 0, 86400, 3600, 20));
    ASSERT_TRUE(put(c, "http://url.test:80/", response("Cache-Control: max-age=600\r\n", 2), "ok"));
    HEADER *req = http_header_parse_request("GET http://url.test/ HTTP/1.1\r\n"
                                            "Cache-Control: no-cache\r\n\r\n");
    ASSERT_NE(nullptr, req);
    header_complete(req);
    EXPECT_STREQ("http://url.test:80/", req->url);
    c->check(req);
    CACHEMAP *o = c->cache_open(nullptr, "http://url.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, o);
    EXPECT_NE(0, c->flag_get(o) & CACHE_VALIDATE);
    c->validated(o);
    EXPECT_EQ(0, c->flag_get(o) & CACHE_VALIDATE);
    c->cache_close(o, false);
    http_header_free(req);
}

namespace {

/* The body stored under key number k: its length and bytes tell the keys
 * apart, so that a reader handed the wrong or a torn object notices. */
std::string threads_body(int k)
{
    return bytes_of(4096 + (size_t)k * 9000, (char)('a' + k));
}

std::string threads_key(int k)
{
    return "http://many.test:80/" + std::to_string(k);
}

/* Every reference held in the index; 0 once every holder closed. */
int references_held(CacheSection *c)
{
    CacheLock lock(*c);
    int n = 0;
    for (int b = 0; b < CACHE_BUCKETS; b++)
        for (CACHEMAP_LIST *node = c->cachemaplist[b]; node; node = node->next)
            n += node->cachemap->refcount;
    return n;
}

/* One request served from the cache as the worker does it: lookup (one
 * step), the framing from the view, the body sent to the client while
 * another thread reads it, request_done. Returns the body the client got,
 * "<miss>" without a hit; "<cut>" when the body came up short of its framing
 * and the client lost its keep-alive (the object's writer failed);
 * "<short>" when it came up short with the keep-alive left on, or the
 * bytes sent and received differ. */
std::string serve_hit(CacheSection *c, const std::string &key, const std::string &extra = "")
{
    Client client;
    std::string text = "GET " + key + " HTTP/1.1\r\n" + extra + "\r\n";
    client.conn->header = http_header_parse_request(text.c_str());
    client.conn->cache = c->lookup(client.conn, key.c_str(), 0);
    std::string got = "<miss>";
    if (client.conn->cache) {
        char *stored = c->hit_header(client.conn);
        HEADER *r = http_header_parse_response(stored);
        free(stored);
        c->response_framing(client.conn->cache, client.conn, r);
        int64_t length = (r && (r->flags & HEADER_HAS_LENGTH)) ? r->content_length : -1;
        http_header_free(r);
        std::thread drain([&] { got = client.read_all(length < 0 ? SIZE_MAX : (size_t)length); });
        int64_t sent = c->send(client.conn->cache, client.conn, SIDE_CLIENT);
        /* Ends the body for the reader, also when it came up short (its
         * writer failed): the daemon closes such a connection. */
        shutdown(client.conn->client->fd, SHUT_WR);
        drain.join();
        if (sent != (int64_t)got.size())
            got = "<short>";
        else if (length >= 0 && sent < length)
            got = client.conn->keepalive_client == 0 ? "<cut>" : "<short>";
        else if (length >= 0 && sent != length)
            got = "<short>";
    }
    c->request_done(client.conn);
    EXPECT_EQ(nullptr, client.conn->cache_view.object);
    http_header_free(client.conn->header);
    client.conn->header = nullptr;
    return got;
}

} // namespace

/* Eight threads hit, fill, revalidate, drop and evict the same and
 * different objects at once, memory so small that cleaning runs again and
 * again: every body a client gets is whole and its key's, and once all are
 * done no reference is left behind. */
TEST(CacheThreads, HitFillRevalidateEvict)
{
    Options o;
    o.memory = "400K";
    o.extra = "100K";
    CacheSection *c = cache_new(o, refresh_entry("", true, 0, 86400, 3600, 20));
    const int threads = 8, rounds = 250, keys = 12;
    std::atomic<int> wrong{0}, hits{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; t++)
        pool.emplace_back([&, t] {
            unsigned seed = 2654435761u * (unsigned)(t + 1);
            for (int i = 0; i < rounds; i++) {
                seed = seed * 1103515245u + 12345u;
                int k = (int)((seed >> 8) % keys);
                std::string key = threads_key(k), body = threads_body(k);
                switch ((seed >> 20) % 6) {
                case 0: {   /* fill: refused while the object is in use */
                    (void)put(c, key, response("Cache-Control: max-age=600\r\n",
                                               (int64_t)body.size()), body);
                    break;
                }
                case 1: {   /* revalidate: the request asks, the server confirms */
                    std::string got = serve_hit(c, key, "Cache-Control: no-cache\r\n");
                    CACHEMAP *held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
                    if (held) {
                        c->validated(held);
                        c->cache_close(held, false);
                    }
                    if (got != "<miss>" && got != "<cut>" && got != body)
                        wrong++;
                    break;
                }
                case 2: {   /* drop, as a failed validation does */
                    CACHEMAP *held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
                    if (held)
                        c->invalidate(held);
                    break;
                }
                case 3: {   /* allow the next cleaning at once */
                    CacheLock lock(*c);
                    c->clean_time = 0;
                    break;
                }
                default: {
                    std::string got = serve_hit(c, key);
                    if (got != "<miss>" && got != "<cut>") {
                        hits++;
                        if (got != body)
                            wrong++;
                    }
                    break;
                }
                }
            }
        });
    for (std::thread &t : pool)
        t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_GT(hits.load(), 0);
    EXPECT_EQ(0, references_held(c));
    {
        CacheLock lock(*c);
        EXPECT_LE(c->mem_bytes, 400u * 1024u);
    }
    /* Still a working cache. */
    ASSERT_TRUE(put(c, threads_key(0), response("Cache-Control: max-age=600\r\n",
                                                (int64_t)threads_body(0).size()),
                    threads_body(0)));
    EXPECT_EQ(threads_body(0), serve_hit(c, threads_key(0)));
}

/* A reader follows an object while its writer fills it, and meanwhile
 * other clients hit a finished object under the shared lock: the follower
 * gets every byte as written, the hits are whole, and the followed object
 * is a plain hit once finished. */
TEST(CacheThreads, FollowerBesideHits)
{
    CacheSection *c = cache_new(Options(), refresh_entry("", true, 0, 86400, 3600, 20));
    std::string done_body = bytes_of(150000, 'd');
    std::string head = response("Cache-Control: max-age=600\r\n", (int64_t)done_body.size());
    ASSERT_TRUE(put(c, "http://done.test:80/", head, done_body));

    std::string body = bytes_of(1 << 20, 'w');
    std::string whead = response("Cache-Control: max-age=600\r\n", (int64_t)body.size());
    CACHEMAP *w = c->cache_open(nullptr, "http://fill.test:80/", whead.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(1000, c->add(w, body.data(), 1000));

    std::string followed;
    std::thread follower([&] { followed = serve_hit(c, "http://fill.test:80/"); });
    std::atomic<bool> writing{true};
    std::atomic<int> wrong{0}, hits{0};
    std::vector<std::thread> hitters;
    for (int t = 0; t < 4; t++)
        hitters.emplace_back([&] {
            while (writing) {
                if (serve_hit(c, "http://done.test:80/") != done_body)
                    wrong++;
                hits++;
            }
        });
    for (size_t off = 1000; off < body.size(); off += 30000) {
        int64_t n = std::min<int64_t>(30000, (int64_t)(body.size() - off));
        ASSERT_EQ(n, c->add(w, body.data() + off, n));
        usleep(1000);
    }
    c->cache_close(w, true);
    follower.join();
    while (hits.load() < 8)
        usleep(1000);
    writing = false;
    for (std::thread &t : hitters)
        t.join();
    EXPECT_TRUE(followed == body) << followed.size();
    EXPECT_EQ(0, wrong.load());
    EXPECT_TRUE(serve_hit(c, "http://fill.test:80/") == body);
    EXPECT_EQ(0, references_held(c));
}

/* Cleaning while a reader streams a finished object: the held object is
 * left alone and its client gets every byte; once it is given back the
 * next cleaning may take it. */
TEST(CacheThreads, EvictionWhileStreaming)
{
    Options o;
    o.memory = "1M";
    o.extra = "200K";
    CacheSection *c = cache_new(o, refresh_entry("", true, 0, 86400, 3600, 20));
    std::string body = bytes_of(600000, 'e');
    std::string head = response("Cache-Control: max-age=600\r\n", (int64_t)body.size());
    ASSERT_TRUE(put(c, "http://held.test:80/", head, body));

    Client slow;
    slow.conn->header = http_header_parse_request("GET http://held.test/ HTTP/1.1\r\n\r\n");
    slow.conn->cache = c->lookup(slow.conn, "http://held.test:80/", 0);
    ASSERT_NE(nullptr, slow.conn->cache);
    int64_t sent = -1;
    std::thread sender([&] { sent = c->send(slow.conn->cache, slow.conn, SIDE_CLIENT); });

    /* Other objects push memory over its limit; cleaning runs each time. */
    std::string other = bytes_of(300000, 'o');
    for (int i = 0; i < 6; i++) {
        {
            CacheLock lock(*c);
            c->clean_time = 0;
        }
        (void)put(c, "http://other.test:80/" + std::to_string(i),
                  response("Cache-Control: max-age=600\r\n", (int64_t)other.size()), other);
    }
    {
        CacheLock lock(*c);
        EXPECT_EQ(slow.conn->cache, c->hash_find("http://held.test:80/"));   /* not evicted */
    }
    std::string got = slow.read_all(body.size());
    sender.join();
    EXPECT_TRUE(got == body);
    EXPECT_EQ((int64_t)body.size(), sent);
    c->request_done(slow.conn);
    http_header_free(slow.conn->header);
    slow.conn->header = nullptr;

    {
        CacheLock lock(*c);
        c->clean_time = 0;
        EXPECT_NE(nullptr, c->hash_find("http://held.test:80/"));
    }
    (void)put(c, "http://other.test:80/last",
              response("Cache-Control: max-age=600\r\n", (int64_t)other.size()), other);
    EXPECT_EQ(0, references_held(c));
}

/* Clients hit an object that is on disk only most of the time (a cleaner
 * unmaps it again and again, also while others stream it) while another
 * thread deletes and replaces it. A disk hit maps the file without the
 * lock and publishes the mapping only to the object it was made for: every
 * body is whole and one version's, a hit that starts after a replacement
 * finished never gets an older version, and a mapping is never unmapped
 * under a reader streaming it. */
TEST(CacheThreads, DiskHitsBesideReplacement)
{
    std::string dir = test_temp_dir();
    Options o;
    o.memory = "2M";
    o.extra = "2M";   /* each cleaning unmaps every object nobody holds */
    CacheSection *c = cache_new(o, "<store><enabled>true</enabled><comment></comment><profiles>"
                                   "</profiles><directory>" + dir + "</directory><size>1G</size>"
                                   "<free-extra>0</free-extra><md5>false</md5></store>" +
                                       refresh_entry("", true, 0, 86400, 3600, 20));
    const std::string key = "http://disk.test:80/";
    /* Every version has the same length: only the object's identity tells
     * an old file from a new one. */
    auto body_of = [](int v) {
        std::string b = bytes_of(120000, (char)('a' + v % 23));
        char stamp[16];
        snprintf(stamp, sizeof stamp, "v=%06d;", v);
        memcpy(&b[0], stamp, 9);
        return b;
    };
    std::string head = response("Cache-Control: max-age=600\r\n", 120000);
    ASSERT_TRUE(put(c, key, head, body_of(0)));

    std::atomic<int> latest{0};
    std::atomic<bool> running{true};
    std::atomic<int> wrong{0}, stale{0}, hits{0}, evictions{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 4; t++)
        pool.emplace_back([&] {
            while (running) {
                int floor = latest.load();
                std::string got = serve_hit(c, key);
                if (got == "<miss>")
                    continue;
                hits++;
                int v = got.size() == 120000 ? atoi(got.c_str() + 2) : -1;
                if (v < 0 || got != body_of(v))
                    wrong++;
                else if (v < floor)
                    stale++;
            }
        });
    pool.emplace_back([&] {
        while (running) {
            {
                CacheLock lock(*c);
                c->clean_time = 0;
                c->mem_wanted = 2 << 20;   /* as if a new object waited for room */
                c->clean();
                c->mem_wanted = 0;
                evictions += c->mem_objects == 0;
            }
            usleep(200);
        }
    });
    for (int v = 1; v <= 120; v++) {
        CACHEMAP *held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
        if (held)
            c->invalidate(held);
        while (!put(c, key, head, body_of(v)))
            usleep(100);   /* a reader still holds the dead copy */
        latest = v;
        if (v % 8 == 0)
            while (hits.load() < v)
                usleep(500);
    }
    running = false;
    for (std::thread &t : pool)
        t.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_EQ(0, stale.load());
    EXPECT_GT(hits.load(), 0);
    EXPECT_GT(evictions.load(), 0);
    EXPECT_EQ(0, references_held(c));
    EXPECT_TRUE(serve_hit(c, key) == body_of(120));
    while (c->unlink_once(false))
        ;
}

/* The cache browser's walk: size and time bounds, the pattern, objects in
 * use left alone, keys without a short scheme not listed but deleted, the
 * row limit, and deletion of the matches only. */
TEST(CacheObjects, Browse)
{
    CacheSection *c = cache_new(Options(), "");
    const std::string small = "http://a.test:80/one", large = "http://b.test:80/two",
                      odd = "abcdefghijklmnop://c.test:80/x", busy = "http://held.test:80/";
    ASSERT_TRUE(put(c, small, response("", 10), std::string(10, 'a')));
    ASSERT_TRUE(put(c, large, response("", 5000), std::string(5000, 'b')));
    ASSERT_TRUE(put(c, odd, response("", 3), "ccc"));
    ASSERT_TRUE(put(c, busy, response("", 3), "ddd"));
    CACHEMAP *held = c->cache_open(nullptr, busy.c_str(), nullptr, 0);
    ASSERT_NE(nullptr, held);
    c->hash_find(small.c_str())->retrieved = 1000;
    c->hash_find(small.c_str())->accessed = 2000;

    auto keys = [&](CACHE_SEARCH s, int64_t *matches = nullptr) {
        std::list<CACHE_FOUND> found;
        int64_t n = c->browse(&s, nullptr, &found);
        if (matches)
            *matches = n;
        std::vector<std::string> out;
        for (const CACHE_FOUND &f : found)
            out.push_back(f.key);
        std::sort(out.begin(), out.end());
        return out;
    };
    CACHE_SEARCH all;
    all.stored_before = all.used_before = time(nullptr) + 3600;
    all.max_rows = 100;
    EXPECT_EQ((std::vector<std::string>{ small, large }), keys(all));

    CACHE_SEARCH s = all;
    s.min_size = 1000;
    EXPECT_EQ((std::vector<std::string>{ large }), keys(s));
    s = all;
    s.max_size = 1000;
    EXPECT_EQ((std::vector<std::string>{ small }), keys(s));
    s = all;
    s.stored_after = 1001;
    EXPECT_EQ((std::vector<std::string>{ large }), keys(s));
    s = all;
    s.used_before = 2000;
    EXPECT_EQ((std::vector<std::string>{ small }), keys(s));
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> re(
        reg_compile("B\\.TEST", REG_COMPILE_ICASE), reg_free);
    s = all;
    s.pattern = re.get();
    EXPECT_EQ((std::vector<std::string>{ large }), keys(s));
    s = all;
    s.max_rows = 1;
    int64_t matches = 0;
    EXPECT_EQ(1u, keys(s, &matches).size());
    EXPECT_EQ(2, matches);

    CACHE_USAGE usage;
    EXPECT_EQ(0, c->browse(nullptr, &usage, nullptr));
    EXPECT_EQ(4, usage.mem_objects);
    EXPECT_EQ(c->mem_bytes, usage.mem_bytes);
    EXPECT_EQ(64ULL << 20, usage.mem_size);

    /* Deleting everything leaves only the object in use. */
    s = all;
    s.remove = true;
    EXPECT_EQ(3, c->browse(&s, nullptr, nullptr));
    EXPECT_EQ(1, c->objects_count());
    EXPECT_EQ(nullptr, c->hash_find(odd.c_str()));
    EXPECT_EQ("<miss>", get(c, small));
    c->cache_close(held, false);
    EXPECT_EQ("ddd", get(c, busy));
}

/* A reload revalidates an object another request is still writing; the
 * server confirms it (304), and the writer fails before or while the
 * reader streams it. A reader that has sent nothing yet goes to the
 * server; one whose header is out is closed short. Never is the copy
 * framed as complete with fewer bytes than announced. */
TEST(CacheInterleave, RevalidatedHitWhoseWriterFails)
{
    struct Case {
        const char *what;
        int64_t streamed;   /* body bytes the reader sent before the failure; -1: none, before the 304 */
    };
    const Case cases[] = {
        { "writer fails before the 304", -1 },
        { "writer fails before any byte went out", 0 },
        { "writer fails with part sent", 3000 },
        { "writer fails with all it had sent", 6000 },
    };
    const std::string body = bytes_of(10000, 'r');
    int n = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        CacheSection *c = cache_new(Options(), refresh_entry("", true, 0, 86400, 3600, 20));
        const std::string key = "http://reval.test:80/" + std::to_string(n++);
        std::string head = response("Cache-Control: max-age=600\r\n", (int64_t)body.size());
        CACHEMAP *w = c->cache_open(nullptr, key.c_str(), head.c_str(), CACHE_WRITING);
        ASSERT_NE(nullptr, w);
        ASSERT_EQ(6000, c->add(w, body.data(), 6000));

        Client reader("GET " + key + " HTTP/1.1\r\nHost: reval.test\r\nCache-Control: no-cache\r\n\r\n");
        reader.conn->cache = c->lookup(reader.conn, key.c_str(), 0);
        ASSERT_EQ(w, reader.conn->cache);
        EXPECT_NE(0, reader.conn->cache_view.flags & CACHE_VALIDATE);
        if (k.streamed < 0)
            c->invalidate(w);   /* the writer's server cut it off */
        /* The server's 304 arrives: the copy is confirmed and served. */
        c->validated(reader.conn->cache);
        c->view_fill(reader.conn);
        EXPECT_FALSE(reader.conn->cache_view.finished);
        HEADER *framed = http_header_parse_response(head.c_str());
        c->response_framing(reader.conn->cache, reader.conn, framed);
        EXPECT_EQ((int64_t)body.size(), framed->content_length);
        http_header_free(framed);

        if (k.streamed < 0) {
            EXPECT_FALSE(c->reader_ready(reader.conn));
            EXPECT_EQ("", reader.received());
        } else {
            if (k.streamed == 0)
                c->invalidate(w);
            bool ready = c->reader_ready(reader.conn);
            EXPECT_EQ(k.streamed > 0, ready);
            if (ready) {
                int64_t sent = -1;
                std::thread t([&] { sent = c->send(reader.conn->cache, reader.conn, SIDE_CLIENT); });
                std::string got = reader.read_all((size_t)k.streamed);
                c->invalidate(w);
                got += reader.read_all(6000 - got.size());
                t.join();
                EXPECT_EQ(6000, sent);
                EXPECT_TRUE(got == body.substr(0, 6000));
                EXPECT_EQ(0, reader.conn->keepalive_client);   /* closed short */
            }
        }
        c->request_done(reader.conn);
        EXPECT_EQ("<miss>", get(c, key));
        EXPECT_EQ(0, c->objects_count());
    }
    delete cache_section;
    cache_section = nullptr;
}

/* Readers joined an object whose writer is then refused its next bytes
 * (maxsize on a body of no announced length, memory taken by an object
 * others hold): the object will not be kept, but the writer feeds its
 * readers to the end, whatever they had read, and it goes after the last
 * of them. */
TEST(CacheInterleave, JoinedReadersWhileTheWriterIsRefused)
{
    struct Case {
        const char *what;
        Options options;
        bool announced;
        size_t held;        /* bytes of another object held meanwhile */
    };
    Options maxsize;
    maxsize.maxsize = "20000";
    Options memory;
    memory.memory = "200000";
    memory.extra = "0";
    const Case cases[] = {
        { "over maxsize", maxsize, false, 0 },
        { "memory full, announced", memory, true, 150000 },
        { "memory full, not announced", memory, false, 150000 },
    };
    const std::string body = bytes_of(60000, 'j');
    int n = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        CacheSection *c = cache_new(k.options, refresh_entry("", true, 0, 86400, 3600, 20));
        CACHEMAP *other = nullptr;
        if (k.held) {
            ASSERT_TRUE(put(c, "http://held.test:80/", response("", (int64_t)k.held),
                            bytes_of(k.held, 'h')));
            other = c->cache_open(nullptr, "http://held.test:80/", nullptr, 0);
            ASSERT_NE(nullptr, other);
        }
        const std::string key = "http://refused.test:80/" + std::to_string(n++);
        std::string head = response("Cache-Control: max-age=600\r\n",
                                    k.announced ? (int64_t)body.size() : -1);
        CACHEMAP *w = c->cache_open(nullptr, key.c_str(), head.c_str(), CACHE_WRITING);
        ASSERT_NE(nullptr, w);
        ASSERT_EQ(10000, c->add(w, body.data(), 10000));

        /* Three readers: one that will have read everything there is, one
         * that reads nothing until the end, one that joins later. */
        std::vector<std::unique_ptr<Client>> readers;
        std::vector<std::thread> senders;
        std::vector<int64_t> sent(3, -1);
        auto join = [&](int i) {
            readers.emplace_back(new Client("GET " + key + " HTTP/1.1\r\nHost: r\r\n\r\n"));
            Client &r = *readers.back();
            r.conn->cache = c->lookup(r.conn, key.c_str(), 0);
            ASSERT_EQ(w, r.conn->cache);
            HEADER *framed = http_header_parse_response(head.c_str());
            c->response_framing(r.conn->cache, r.conn, framed);
            if (k.announced) {
                EXPECT_EQ((int64_t)body.size(), framed->content_length);
            }
            http_header_free(framed);
            ASSERT_TRUE(c->reader_ready(r.conn));
            senders.emplace_back([&, i] { sent[i] = c->send(r.conn->cache, r.conn, SIDE_CLIENT); });
        };
        join(0);
        join(1);
        std::string got0 = readers[0]->read_all(10000);
        EXPECT_EQ(10000u, got0.size());
        ASSERT_EQ(5000, c->add(w, body.data() + 10000, 5000));
        join(2);
        /* The refused bytes: dead for lookups, fed to the readers. */
        EXPECT_EQ(40000, c->add(w, body.data() + 15000, 40000));
        EXPECT_EQ("<miss>", get(c, key));
        EXPECT_EQ(5000, c->add(w, body.data() + 55000, 5000));
        c->cache_close(w, true);
        got0 += readers[0]->read_all(body.size() - got0.size());
        std::string got1 = readers[1]->read_all(body.size());
        std::string got2 = readers[2]->read_all(body.size());
        for (std::thread &t : senders)
            t.join();
        EXPECT_TRUE(got0 == body);
        EXPECT_TRUE(got1 == body);
        EXPECT_TRUE(got2 == body);
        for (int i = 0; i < 3; i++) {
            EXPECT_EQ((int64_t)body.size(), sent[i]) << i;
            if (k.announced) {
                EXPECT_EQ(1, readers[i]->conn->keepalive_client) << i;
            }
        }
        EXPECT_EQ(k.held ? 2 : 1, c->objects_count());   /* held by its readers */
        for (auto &r : readers)
            c->request_done(r->conn);
        EXPECT_EQ(k.held ? 1 : 0, c->objects_count());
        if (other)
            c->cache_close(other, false);
        EXPECT_EQ("<miss>", get(c, key));
    }
    delete cache_section;
    cache_section = nullptr;
}

/* The writer alone with an object it may not keep stops at once; readers
 * that leave before the end stop its feeding too. */
TEST(CacheInterleave, FeedingEndsWithTheLastReader)
{
    Options o;
    o.maxsize = "1000";
    CacheSection *c = cache_new(o, refresh_entry("", true, 0, 86400, 3600, 20));
    std::string head = response("Cache-Control: max-age=600\r\n");
    CACHEMAP *alone = c->cache_open(nullptr, "http://alone.test:80/", head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, alone);
    EXPECT_EQ(-1, c->add(alone, bytes_of(1001, 'a').data(), 1001));
    c->cache_close(alone, true);
    EXPECT_EQ(0, c->objects_count());

    CACHEMAP *w = c->cache_open(nullptr, "http://left.test:80/", head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    CACHEMAP *r = c->cache_open(nullptr, "http://left.test:80/", nullptr, 0);
    ASSERT_EQ(w, r);
    EXPECT_EQ(1001, c->add(w, bytes_of(1001, 'b').data(), 1001));   /* fed for r */
    c->cache_close(r, false);
    EXPECT_EQ(-1, c->add(w, "x", 1));                                /* nobody left */
    c->cache_close(w, true);
    EXPECT_EQ(0, c->objects_count());
    delete cache_section;
    cache_section = nullptr;
}

/* maxsize bounds the body: a body of exactly maxsize bytes is kept
 * whatever the length of its header, one byte more is not. */
TEST(CacheObjects, MaxsizeBoundsTheBody)
{
    Options o;
    o.maxsize = "8M";
    o.memory = "64M";
    CacheSection *c = cache_new(o, refresh_entry("", true, 0, 86400, 3600, 20));
    const int64_t limit = 8 * 1024 * 1024;
    struct Case {
        int64_t length;
        bool announced;
        bool kept;
    };
    const Case cases[] = {
        { limit - 1, true, true }, { limit, true, true }, { limit + 1, true, false },
        { limit - 1, false, true }, { limit, false, true }, { limit + 1, false, false },
    };
    int n = 0;
    for (const Case &k : cases) {
        SCOPED_TRACE(std::to_string(k.length) + (k.announced ? " announced" : " streamed"));
        std::string key = "http://max.test:80/" + std::to_string(n++);
        std::string body((size_t)k.length, 'm');
        std::string head = response("Cache-Control: max-age=600\r\nX-Filler: " +
                                        std::string(500, 'f') + "\r\n",
                                    k.announced ? k.length : -1);
        put(c, key, head, body);
        EXPECT_EQ(k.kept, get(c, key) == body);
    }
    delete cache_section;
    cache_section = nullptr;
}
