/* Tavrin category rating: the decoding of MX answers fed as crafted and
 * hostile bytes, the score-record reader and writer, the chain index, the
 * cache (one entry per host, purge), the hint and dump files in a
 * temporary directory, and the rules as a table of scores and passes. */
#include <gtest/gtest.h>
#include <tinyxml2.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "connection.h"
#include "header.h"
#include "options.h"
#include "section.h"
#include "tavrin.h"
#include "test_support.h"
#include "xml.h"

namespace {

/* ---- DNS answers ---- */

using Bytes = std::vector<unsigned char>;

void put16(Bytes *b, int v)
{
    b->push_back((unsigned char)(v >> 8));
    b->push_back((unsigned char)v);
}

/* A name in labels, ending with the root label. */
Bytes dns_name(const std::string &dotted)
{
    Bytes out;
    std::stringstream in(dotted);
    std::string label;
    while (std::getline(in, label, '.')) {
        out.push_back((unsigned char)label.size());
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    return out;
}

/* A reply header with one question for adult.example.tavrin.test MX. */
Bytes answer_start(int answers)
{
    Bytes b = { 0x12, 0x34, 0x81, 0x80 };
    put16(&b, 1);
    put16(&b, answers);
    put16(&b, 0);
    put16(&b, 0);
    Bytes q = dns_name("adult.example.tavrin.test");
    b.insert(b.end(), q.begin(), q.end());
    put16(&b, 15);
    put16(&b, 1);
    return b;
}

/* A record owned by the question's name (a pointer to offset 12). */
void record(Bytes *b, int type, const Bytes &data, int rdlength = -1)
{
    b->push_back(0xc0);
    b->push_back(12);
    put16(b, type);
    put16(b, 1);
    put16(b, 0);
    put16(b, 300);
    put16(b, rdlength < 0 ? (int)data.size() : rdlength);
    b->insert(b->end(), data.begin(), data.end());
}

Bytes mx_data(int preference, const std::string &exchange)
{
    Bytes d;
    put16(&d, preference);
    Bytes n = dns_name(exchange);
    d.insert(d.end(), n.begin(), n.end());
    return d;
}

int decode(const Bytes &b, int *scores)
{
    for (int i = 0; i < TAVRIN_SCORES; i++)
        scores[i] = 0;
    return tavrin_decode(b.data(), (int)b.size(), scores);
}

TEST(TavrinDecode, CategoriesFillTheirIndexes)
{
    Bytes b = answer_start(4);
    record(&b, 15, mx_data(40, "adult"));
    record(&b, 1, { 127, 0, 0, 1 });               /* skipped by its length */
    record(&b, 15, mx_data(3, "news"));
    record(&b, 15, mx_data(9, "mail.other.test"));   /* no category */
    int scores[TAVRIN_SCORES];
    EXPECT_EQ(2, decode(b, scores));
    for (int i = 0; i < TAVRIN_SCORES; i++)
        EXPECT_EQ(i == 1 ? 40 : i == 21 ? 3 : 0, scores[i]) << i;

    Bytes none = answer_start(1);
    record(&none, 15, mx_data(9, "Adult"));   /* names compare exactly */
    EXPECT_EQ(0, decode(none, scores));

    Bytes twice = answer_start(2);
    record(&twice, 15, mx_data(10, "porn"));
    record(&twice, 15, mx_data(65535, "porn"));
    EXPECT_EQ(2, decode(twice, scores));
    EXPECT_EQ(65535, scores[22]);
}

/* Malformed answers end the walk: what was stored before stays, nothing
 * is read outside the answer (the sanitizer build checks), no crash. */
TEST(TavrinDecode, HostileAnswers)
{
    struct Case {
        const char *what;
        Bytes bytes;
        int found;
    };
    std::vector<Case> cases;

    Bytes good = answer_start(1);
    record(&good, 15, mx_data(40, "adult"));

    Bytes truncated = good;
    record(&truncated, 15, mx_data(7, "news"));
    truncated.resize(truncated.size() - 12);   /* into the second record's header */
    cases.push_back({ "truncated record", truncated, 1 });

    Bytes past = good;
    record(&past, 15, mx_data(7, "news"), 200);   /* RDLENGTH past the end */
    cases.push_back({ "rdlength past the end", past, 1 });

    Bytes loop = answer_start(1);
    size_t at = loop.size();
    loop.push_back(0xc0);
    loop.push_back((unsigned char)at);   /* the owner name points at itself */
    put16(&loop, 15);
    put16(&loop, 1);
    put16(&loop, 0);
    put16(&loop, 0);
    Bytes d = mx_data(40, "adult");
    put16(&loop, (int)d.size());
    loop.insert(loop.end(), d.begin(), d.end());
    cases.push_back({ "compression loop", loop, 0 });

    Bytes xloop = answer_start(1);
    Bytes xd;
    put16(&xd, 40);
    size_t xat = xloop.size() + 12 + 2;
    xd.push_back(0xc0);
    xd.push_back((unsigned char)xat);   /* the exchange points at itself */
    record(&xloop, 15, xd);
    cases.push_back({ "compression loop in the exchange", xloop, 0 });

    Bytes shortmx = answer_start(2);
    record(&shortmx, 15, { 0, 40 });
    record(&shortmx, 15, mx_data(40, "adult"));
    cases.push_back({ "short MX data", shortmx, 0 });

    Bytes overlong = answer_start(2);
    Bytes od = mx_data(40, "adult");
    record(&overlong, 15, od, 3);   /* the exchange runs past RDLENGTH */
    cases.push_back({ "exchange past rdlength", overlong, 0 });

    Bytes questions = good;
    questions[4] = 0xff;   /* 65280+ questions in a short answer */
    cases.push_back({ "question count", questions, 0 });

    cases.push_back({ "header only", Bytes(good.begin(), good.begin() + 12), 0 });
    cases.push_back({ "short header", Bytes(good.begin(), good.begin() + 5), 0 });

    /* Only the first 1024 bytes are read: a record after them is not. */
    Bytes big = answer_start(3);
    record(&big, 15, mx_data(40, "adult"));
    record(&big, 16, Bytes(1024, 'x'));
    record(&big, 15, mx_data(7, "news"));
    cases.push_back({ "longer than 1024 bytes", big, 1 });

    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        int scores[TAVRIN_SCORES];
        EXPECT_EQ(c.found, decode(c.bytes, scores));
        if (c.found) {
            EXPECT_EQ(40, scores[1]);
        }
    }
}

/* Every prefix of a valid answer, and random bytes behind a valid header:
 * bounded, never more records than fit. */
TEST(TavrinDecode, PrefixesAndNoise)
{
    Bytes b = answer_start(3);
    record(&b, 15, mx_data(40, "adult"));
    record(&b, 15, mx_data(3, "news"));
    record(&b, 15, mx_data(1, "ads"));
    int scores[TAVRIN_SCORES];
    for (size_t len = 0; len <= b.size(); len++) {
        Bytes cut(b.begin(), b.begin() + (long)len);
        int found = cut.empty() ? tavrin_decode(nullptr, 0, scores) : decode(cut, scores);
        EXPECT_GE(found, 0);
        EXPECT_LE(found, 3);
    }
    EXPECT_EQ(3, decode(b, scores));

    std::mt19937 random(24);
    for (int round = 0; round < 2000; round++) {
        Bytes noise = answer_start(1);
        size_t n = random() % 300;
        for (size_t i = 0; i < n; i++)
            noise.push_back((unsigned char)random());
        EXPECT_LE(decode(noise, scores), (int)n / 3 + 1);
    }
}

/* ---- Records and keys ---- */

std::string scores_text(int first, int fill = 0)
{
    std::string s = std::to_string(first);
    for (int i = 1; i < TAVRIN_SCORES; i++)
        s += "," + std::to_string(fill);
    return s;
}

TEST(TavrinRecord, Reader)
{
    struct Case {
        std::string line;
        bool ok;
        const char *host;
        int first;
    };
    std::string longest(TAVRIN_HOST_MAX, 'h');
    const Case cases[] = {
        { "example.com\t" + scores_text(40) + "\n", true, "example.com", 40 },
        { "example.com   " + scores_text(-1, -1), true, "example.com", -1 },
        { "example.com\t 1, 2, 3, 4, 5, 6, 7, 8, 9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,"
          "24,25,26,27,28,29,30,31,32",
          true, "example.com", 1 },
        { "example.com\t" + scores_text(2147483647), true, "example.com", 2147483647 },
        { "example.com\t" + scores_text(-2147483647 - 1), true, "example.com", INT32_MIN },
        { longest + "\t" + scores_text(5), true, longest.c_str(), 5 },
        { longest + "h\t" + scores_text(5), false, "", 0 },          /* host too long */
        { "example.com\t2147483648" + scores_text(0).substr(1), false, "", 0 },   /* past 32 bits */
        { "example.com\t1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21,22,23,24,25,26,"
          "27,28,29,30,31",
          false, "", 0 },                                              /* 31 scores */
        { "example.com", false, "", 0 },                               /* host alone */
        { "", false, "", 0 },
        { "\n", false, "", 0 },
        { "exa\x01mple\t" + scores_text(1), false, "", 0 },            /* control byte */
        { "example.com\t1,,3", false, "", 0 },
        { "example.com\tx," + scores_text(1), false, "", 0 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line.substr(0, 80));
        std::string host;
        int scores[TAVRIN_SCORES] = {};
        EXPECT_EQ(c.ok, tavrin_record_parse(c.line.c_str(), &host, scores));
        if (c.ok) {
            EXPECT_EQ(c.host, host);
            EXPECT_EQ(c.first, scores[0]);
        }
    }
}

TEST(TavrinRecord, WriterAndReaderAgree)
{
    int scores[TAVRIN_SCORES];
    for (int i = 0; i < TAVRIN_SCORES; i++)
        scores[i] = i * 1000 - 7;
    std::string line = tavrin_record_format("www.example.com", scores);
    ASSERT_EQ('\n', line[0]);
    EXPECT_EQ(std::string::npos, line.find('\n', 1));
    EXPECT_EQ(0u, line.find("\nwww.example.com\t-7,993,1993,"));
    std::string host;
    int back[TAVRIN_SCORES];
    ASSERT_TRUE(tavrin_record_parse(line.c_str(), &host, back));
    EXPECT_EQ("www.example.com", host);
    EXPECT_EQ(0, memcmp(scores, back, sizeof back));
}

TEST(TavrinKey, ChainIndex)
{
    EXPECT_EQ(0, tavrin_cache_key(8111, ""));
    EXPECT_EQ(0, tavrin_cache_key(8111, nullptr));
    /* 'A' = 65: 8111 + 1300 + 4 + 16 = 9431, modulo 8111. */
    EXPECT_EQ(1320, tavrin_cache_key(8111, "A"));
    EXPECT_EQ(1320, tavrin_cache_key(8111, "a"));
    EXPECT_EQ(tavrin_cache_key(8111, "example.com"), tavrin_cache_key(8111, "Example.COM"));
    /* Bytes above 127 count as negative characters and are not upper-cased. */
    const char high[] = "\xc3\xa9t\xc3\xa9.example";
    int key = tavrin_cache_key(8111, high);
    EXPECT_GE(key, 0);
    EXPECT_LT(key, 8111);
    const char one[] = "\xe9";
    /* -23: 8111 - 460 + (-2) + (-6) = 7643. */
    EXPECT_EQ(7643, tavrin_cache_key(8111, one));
    std::string longest(100000, 'z');
    key = tavrin_cache_key(8111, longest.c_str());
    EXPECT_GE(key, 0);
    EXPECT_LT(key, 8111);
}

/* ---- The section: cache, files, rules ---- */

using Fields = std::map<std::string, std::string>;

std::string rule_entry(const Fields &fields)
{
    Fields f = { { "enabled", "true" }, { "comment", "" }, { "log", "true" },
                 { "profiles", "" }, { "categories", "" }, { "scores", "" },
                 { "add-profiles", "" }, { "remove-profiles", "" } };
    for (const auto &kv : fields)
        f[kv.first] = kv.second;
    static const char *const order[] = { "enabled", "comment", "log", "profiles",
                                         "categories", "scores", "add-profiles",
                                         "remove-profiles" };
    std::string out = "<rule>";
    for (const char *name : order)
        out += "<" + std::string(name) + ">" + f[name] + "</" + name + ">";
    return out + "</rule>";
}

TAVRIN_Section *section()
{
    if (!tavrin_section) {
        EXPECT_TRUE(test_description_load());
        tavrin_section = new TAVRIN_Section();
    }
    return tavrin_section;
}

void configure(bool enabled, const std::string &directory, const std::vector<Fields> &rules)
{
    std::string text = std::string("<quillmere><Tavrin><enabled>") +
                       (enabled ? "true" : "false") + "</enabled><directory>" + directory +
                       "</directory>";
    for (const Fields &r : rules)
        text += rule_entry(r);
    text += "</Tavrin></quillmere>";
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    ASSERT_EQ(SECTION_LOADED, section()->load(&doc, CONFIG_LOAD_REPLACE));
}

/* Empties the cache and its counters. */
void cache_reset()
{
    TAVRIN_Section *s = section();
    std::vector<std::string> hosts;
    {
        pthread_rwlock_rdlock(&s->cache_lock);
        for (int i = 0; i < s->cache->size; i++)
            for (TAVRIN_CACHE_LIST *e = s->cache->table[i]; e; e = e->next)
                hosts.push_back(e->host);
        pthread_rwlock_unlock(&s->cache_lock);
    }
    for (const std::string &h : hosts)
        s->tavrin_cache_purge(s->cache, h.c_str());
    pthread_rwlock_wrlock(&s->cache_lock);
    s->cache->unsaved = 0;
    pthread_rwlock_unlock(&s->cache_lock);
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(TavrinCache, OneEntryPerHost)
{
    configure(true, "/nonexistent", {});
    cache_reset();
    TAVRIN_Section *s = section();
    int scores[TAVRIN_SCORES] = { 5 };
    EXPECT_EQ(TAVRIN_ADDED, s->update_tavrin_cache("Example.com", scores));
    scores[0] = 6;
    EXPECT_EQ(TAVRIN_PRESENT, s->update_tavrin_cache("example.COM", scores));
    EXPECT_EQ(TAVRIN_REFUSED, s->update_tavrin_cache("bad host", scores));
    EXPECT_EQ(TAVRIN_REFUSED, s->update_tavrin_cache("bad\nhost", scores));
    EXPECT_EQ(TAVRIN_REFUSED, s->update_tavrin_cache("", scores));
    EXPECT_EQ(1, s->cache_entries());

    int found[TAVRIN_SCORES];
    ASSERT_TRUE(s->tavrin_cache_search("EXAMPLE.com", found));   /* a hit: no DNS */
    EXPECT_EQ(5, found[0]);

    s->tavrin_cache_purge(s->cache, "example.com");
    EXPECT_EQ(0, s->cache_entries());
    s->tavrin_cache_purge(s->cache, "example.com");   /* nothing left: harmless */
    EXPECT_EQ(0, s->cache_entries());
}

/* The hint files are read first and win; the dump's copy of the same host
 * is skipped; hosts.tavrin.bak is not read. The dump then holds one record
 * per host with the exact layout, is not rewritten while nothing was
 * added, and a host added between two dumps is in the second. */
TEST(TavrinFiles, LoadAndDump)
{
    std::string top = test_temp_dir();
    std::string dir = top + "/hints/deeper";
    configure(true, dir, {});
    cache_reset();
    ASSERT_EQ(0, system(("mkdir -p '" + dir + "'").c_str()));
    std::ofstream(dir + "/hosts.tavrin") << "\nhint.example\t" << scores_text(11) << "\n"
                                         << "broken line\n"
                                         << "both.example\t" << scores_text(12);
    std::ofstream(dir + "/hosts.tavrin.bak") << "\nbak.example\t" << scores_text(13);
    std::ofstream(dir + "/tavrin.cache") << "\nboth.example\t" << scores_text(99) << "\n"
                                         << "dump.example\t" << scores_text(14) << "\n"
                                         << std::string(3000, 'x') << "\t" << scores_text(1)
                                         << "\n";
    test_log_clear();
    TAVRIN_Section *s = section();
    s->tavrin_filetocache_insert();
    EXPECT_TRUE(test_log_contains("Tavrin: read from " + dir + "/hosts.tavrin, records: 2"));
    EXPECT_TRUE(test_log_contains("Tavrin: read from " + dir + "/tavrin.cache, records: 1"));
    EXPECT_FALSE(test_log_contains("bak"));
    EXPECT_EQ(3, s->cache_entries());
    int found[TAVRIN_SCORES];
    ASSERT_TRUE(s->tavrin_cache_search("both.example", found));
    EXPECT_EQ(12, found[0]);

    EXPECT_EQ(3, s->tavrin_dnstofile_insert());
    std::string dump = read_file(dir + "/tavrin.cache");
    EXPECT_NE(0, access((dir + "/tavrin.cache.new").c_str(), F_OK));
    ASSERT_FALSE(dump.empty());
    EXPECT_EQ('\n', dump[0]);
    EXPECT_NE('\n', dump.back());
    for (const char *line : { "\nhint.example\t", "\nboth.example\t12,", "\ndump.example\t14," })
        EXPECT_NE(std::string::npos, dump.find(line)) << line;
    std::stringstream lines(dump.substr(1));
    std::string line;
    int records = 0;
    while (std::getline(lines, line)) {
        std::string host;
        int scores[TAVRIN_SCORES];
        EXPECT_TRUE(tavrin_record_parse(line.c_str(), &host, scores)) << line;
        records++;
    }
    EXPECT_EQ(3, records);
    struct stat st;
    ASSERT_EQ(0, stat((dir + "/tavrin.cache").c_str(), &st));
    EXPECT_EQ(0644u, st.st_mode & 0777);

    EXPECT_EQ(0, s->tavrin_dnstofile_insert());   /* nothing added since */
    int scores[TAVRIN_SCORES] = { 15 };
    EXPECT_EQ(TAVRIN_ADDED, s->update_tavrin_cache("between.example", scores));
    EXPECT_EQ(4, s->tavrin_dnstofile_insert());
    EXPECT_NE(std::string::npos, read_file(dir + "/tavrin.cache").find("\nbetween.example\t15,"));

    /* Loading its own dump again adds nothing. */
    s->tavrin_filetocache_insert();
    EXPECT_EQ(4, s->cache_entries());
    EXPECT_EQ(0, s->tavrin_dnstofile_insert());

    /* A disabled section neither loads nor dumps. */
    configure(false, dir, {});
    EXPECT_EQ(TAVRIN_ADDED, s->update_tavrin_cache("late.example", scores));
    EXPECT_EQ(0, s->tavrin_dnstofile_insert());
    ASSERT_EQ(0, system(("rm -rf '" + top + "'").c_str()));
}

TEST(TavrinFiles, MissingDirectoryIsLogged)
{
    std::string dir = test_temp_dir() + "/absent";
    configure(true, dir, {});
    test_log_clear();
    section()->tavrin_filetocache_insert();
    EXPECT_TRUE(test_log_contains("Tavrin: hints directory: " + dir + ", does not exist"));
}

/* ---- Rules ---- */

struct RuleCase {
    const char *what;
    std::vector<Fields> rules;
    std::map<int, int> scores;   /* category index -> score; the rest 0 */
    bool unrated;                /* every score -1 */
    const char *profiles;        /* held before */
    int pass;
    const char *expected;
};

const RuleCase rule_cases[] = {
    { "in range", { { { "categories", "adult,porn" }, { "scores", "50-100" }, { "add-profiles", "blocked" } } },
      { { 1, 80 } }, false, "", 0, "blocked" },
    { "out of range", { { { "categories", "adult,porn" }, { "scores", "50-100" }, { "add-profiles", "blocked" } } },
      { { 1, 20 } }, false, "", 0, "" },
    { "one number", { { { "categories", "news" }, { "scores", "30" }, { "add-profiles", "n" } } },
      { { 21, 30 } }, false, "", 0, "n" },
    { "one number, other score", { { { "categories", "news" }, { "scores", "30" }, { "add-profiles", "n" } } },
      { { 21, 31 } }, false, "", 0, "" },
    { "10- never matches", { { { "categories", "news" }, { "scores", "10-" }, { "add-profiles", "n" } } },
      { { 21, 50 } }, false, "", 0, "" },
    { "-1-100 matches unrated", { { { "categories", "news" }, { "scores", "-1-100" }, { "add-profiles", "n" } } },
      {}, true, "", 0, "n" },
    { "first listed category applies once",
      { { { "categories", "news,adult" }, { "scores", "1-100" }, { "add-profiles", "x" }, { "remove-profiles", "x2" } } },
      { { 1, 5 }, { 21, 5 } }, false, "x2", 0, "x" },
    { "unknown and empty names passed over",
      { { { "categories", "nosuch,,adult" }, { "scores", "1-9" }, { "add-profiles", "a" } } },
      { { 1, 5 } }, false, "", 0, "a" },
    { "pass 0 skips a profile condition",
      { { { "profiles", "kids" }, { "categories", "adult" }, { "scores", "0-100" }, { "add-profiles", "k" } } },
      { { 1, 5 } }, false, "kids", 0, "kids" },
    { "pass 1 applies it",
      { { { "profiles", "kids" }, { "categories", "adult" }, { "scores", "0-100" }, { "add-profiles", "k" } } },
      { { 1, 5 } }, false, "kids", 1, "kids,k" },
    { "pass 1 applies a rule without condition",
      { { { "categories", "adult" }, { "scores", "0-100" }, { "add-profiles", "k" } } },
      { { 1, 5 } }, false, "", 1, "k" },
    { "a later rule sees an earlier one's profile",
      { { { "categories", "adult" }, { "scores", "1-100" }, { "add-profiles", "kids" } },
        { { "profiles", "kids" }, { "categories", "adult" }, { "scores", "1-100" }, { "add-profiles", "late" } } },
      { { 1, 5 } }, false, "", 1, "kids,late" },
    { "a profile held twice is removed twice",
      { { { "categories", "adult" }, { "scores", "1-100" }, { "remove-profiles", "twice" } } },
      { { 1, 5 } }, false, "twice,a,twice", 0, "a" },
    { "disabled rule", { { { "enabled", "false" }, { "categories", "adult" }, { "scores", "1-100" }, { "add-profiles", "d" } } },
      { { 1, 5 } }, false, "", 0, "" },
    { "no categories", { { { "scores", "1-100" }, { "add-profiles", "d" } } },
      { { 1, 5 } }, false, "", 0, "" },
    { "no scores", { { { "categories", "adult" }, { "add-profiles", "d" } } },
      { { 1, 5 } }, false, "", 0, "" },
};

TEST(TavrinRules, Table)
{
    for (const RuleCase &c : rule_cases) {
        SCOPED_TRACE(c.what);
        configure(true, "/nonexistent", c.rules);
        CONNECTION_T *conn = connection_new();
        conn->header = http_header_parse_request("GET http://rated.example/ HTTP/1.1\r\n\r\n");
        ASSERT_NE(nullptr, conn->header);
        for (int i = 0; i < TAVRIN_SCORES; i++)
            conn->tavrin_scores[i] = c.unrated ? -1 : 0;
        for (const auto &kv : c.scores)
            conn->tavrin_scores[kv.first] = kv.second;
        if (*c.profiles)
            conn->profiles = StringList(c.profiles, ',');
        EXPECT_EQ(0, section()->check_profiles(conn, c.pass));
        std::string got;
        for (const std::string &p : conn->profiles)
            got += (got.empty() ? "" : ",") + p;
        EXPECT_EQ(c.expected, got);
        http_header_free(conn->header);
        conn->header = nullptr;
        connection_free(conn);
    }
}

TEST(TavrinRules, LogLines)
{
    configure(true, "/nonexistent",
              { { { "categories", "adult" }, { "scores", "1-100" }, { "add-profiles", "blocked" },
                  { "remove-profiles", "absent" } },
                { { "scores", "1-100" } },
                { { "categories", "adult" } },
                { { "categories", "," }, { "scores", "1" } },
                { { "log", "false" }, { "categories", "adult" }, { "scores", "1-100" },
                  { "add-profiles", "quiet" } } });
    CONNECTION_T *conn = connection_new();
    conn->header = http_header_parse_request("GET http://rated.example/ HTTP/1.1\r\n\r\n");
    ASSERT_NE(nullptr, conn->header);
    for (int &s : conn->tavrin_scores)
        s = 0;
    conn->tavrin_scores[1] = 5;
    test_log_clear();
    (void)section()->check_profiles(conn, 0);
    EXPECT_TRUE(test_log_contains("Tavrin: host:rated.example Added:  Profile: blocked"));
    EXPECT_TRUE(test_log_contains("Tavrin: host:rated.example Removed:  Profile: absent"));
    EXPECT_TRUE(test_log_contains("tavrin: malformed entry: category not specified."));
    EXPECT_TRUE(test_log_contains("tavrin: malformed entry: score range not specified."));
    EXPECT_TRUE(test_log_contains("tavrin: malformed entry: empty category name"));
    EXPECT_FALSE(test_log_contains("Profile: quiet"));
    http_header_free(conn->header);
    conn->header = nullptr;
    connection_free(conn);

    /* A disabled section has no rules. */
    configure(false, "/nonexistent",
              { { { "categories", "adult" }, { "scores", "1-100" }, { "add-profiles", "blocked" } } });
    conn = connection_new();
    conn->header = http_header_parse_request("GET http://rated.example/ HTTP/1.1\r\n\r\n");
    conn->tavrin_scores[1] = 5;
    (void)section()->check_profiles(conn, 0);
    EXPECT_TRUE(conn->profiles.empty());
    http_header_free(conn->header);
    conn->header = nullptr;
    connection_free(conn);
}

/* The interface is never rated, and asking leaves the request as it is. */
TEST(TavrinRules, InterfaceRequestsAreNotRated)
{
    struct Case {
        const char *request;
        bool interface;
    };
    const Case cases[] = {
        { "GET http://quill.invalid/stats HTTP/1.1\r\n\r\n", true },
        { "GET http://QUILL.INVALID/ HTTP/1.1\r\n\r\n", true },
        { "GET / HTTP/1.1\r\nHost: quill.invalid\r\n\r\n", true },
        { "GET http://other.example/quill.invalid HTTP/1.1\r\n\r\n", false },
        { "GET http://other.example/ HTTP/1.1\r\n\r\n", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.request);
        CONNECTION_T *conn = connection_new();
        conn->header = http_header_parse_request(c.request);
        ASSERT_NE(nullptr, conn->header);
        int type = conn->header->type;
        EXPECT_EQ(c.interface, isthis_interface_request(conn));
        EXPECT_EQ(type, conn->header->type);
        http_header_free(conn->header);
        conn->header = nullptr;
        connection_free(conn);
    }
}

}  // namespace
