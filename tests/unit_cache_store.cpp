/* The cache on disk: object file names and contents, the journal across
 * restarts (hostile URLs included), the rules of reading a journal, files
 * that do not match their journal, the store choice, disk eviction within
 * the store sizes, the deletion queue, a full disk (injected and on a small
 * tmpfs) and graceful_exit. */
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "cache.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "section.h"
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

std::string store_entry(const std::string &dir, const std::string &size,
                        const std::string &free_extra = "0", bool md5 = false,
                        const std::string &profiles = "")
{
    return "<store><enabled>true</enabled><comment></comment><profiles>" + profiles +
           "</profiles><directory>" + dir + "</directory><size>" + size + "</size><free-extra>" +
           free_extra + "</free-extra><md5>" + (md5 ? "true" : "false") + "</md5></store>";
}

const std::string default_rule =
    "<refresh><enabled>true</enabled><comment></comment><profiles>staff</profiles>"
    "<cacheable>true</cacheable><min-age>1</min-age><max-age>2</max-age>"
    "<default-age>3</default-age><lm-factor>4</lm-factor></refresh>"
    "<refresh><enabled>true</enabled><comment></comment><profiles></profiles>"
    "<cacheable>true</cacheable><min-age>0</min-age><max-age>86400</max-age>"
    "<default-age>3600</default-age><lm-factor>20</lm-factor></refresh>";

/* The configuration of the cache section with these store entries. */
std::string cache_config(const std::string &stores, const std::string &policy = "least-bytes",
                         const std::string &memory = "64M")
{
    return "<quillmere><cache><enabled>true</enabled>"
           "<allow-violations>false</allow-violations><memory-cache-size>" + memory +
           "</memory-cache-size><memory-free-extra>1M</memory-free-extra>"
           "<minsize>0</minsize><maxsize>8M</maxsize>"
           "<prefetch-window>60</prefetch-window><icpport>0</icpport>"
           "<icptimeout>500</icptimeout><store-policy>" + policy +
           "</store-policy><journal-lines>0</journal-lines>"
           "<clean-interval>30</clean-interval>" + stores + default_rule +
           "</cache></quillmere>";
}

/* A fresh cache section (a restart) over these store entries. */
CacheSection *cache_new(const std::string &stores, const std::string &policy = "least-bytes",
                        const std::string &memory = "64M")
{
    description_ready();
    delete cache_section;
    cache_section = new CacheSection();
    std::string text = cache_config(stores, policy, memory);
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str())) << text;
    EXPECT_EQ(SECTION_LOADED, cache_section->load(&doc, CONFIG_LOAD_REPLACE));
    return cache_section;
}

std::string response(int64_t length)
{
    std::string text = "HTTP/1.1 200 OK\r\nCache-Control: max-age=600\r\n";
    if (length >= 0)
        text += "Content-Length: " + std::to_string(length) + "\r\n";
    return text + "\r\n";
}

bool put(CacheSection *c, const std::string &key, const std::string &body,
         CONNECTION_T *conn = nullptr)
{
    std::string head = response((int64_t)body.size());
    CACHEMAP *w = c->cache_open(conn, key.c_str(), head.c_str(), CACHE_WRITING);
    if (!w)
        return false;
    bool ok = true;
    for (size_t off = 0; off < body.size() && ok; off += 30000) {
        int64_t n = (int64_t)std::min<size_t>(30000, body.size() - off);
        ok = c->add(w, body.data() + off, n) == n;
    }
    c->cache_close(w, true);
    return ok;
}

std::string get(CacheSection *c, const std::string &key)
{
    CACHEMAP *r = c->cache_open(nullptr, key.c_str(), nullptr, 0);
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
        s[i] = (char)(seed + (char)(i * 13 % 241));
    return s;
}

std::string file_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string path_of(CacheSection *c, const std::string &key)
{
    CACHEMAP *o = c->hash_find(key.c_str());
    if (!o)
        return "";
    char buf[4096];
    return c->filename(o, buf, sizeof buf) >= 0 ? std::string(buf) : "";
}

std::vector<std::string> lines_of(const std::string &text)
{
    std::vector<std::string> out;
    std::stringstream ss(text);
    std::string line;
    while (std::getline(ss, line))
        out.push_back(line);
    return out;
}

void unlink_all(CacheSection *c)
{
    while (c->unlink_once(false))
        ;
}

/* Runs once, from inside the cache, when it next reaches the fault seam
 * named race_call (on the thread that reaches it, holding no cache lock):
 * the other thread's step that a race would put there. */
std::function<void()> race_action;
const char *race_call = "";
thread_local bool race_running = false;

int race_hook(const char *call)
{
    if (strcmp(call, race_call) != 0 || !race_action || race_running)
        return 0;
    std::function<void()> action;
    action.swap(race_action);
    race_running = true;
    action();
    race_running = false;
    return 0;
}

/* The names in a directory, "." and ".." left out. */
std::vector<std::string> names_in(const std::string &dir)
{
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(dir, ec))
        out.push_back(entry.path().filename().string());
    return out;
}

} // namespace

/* Object files live at "<store>/<hash_key(256) in hex>/<md5 of the URL>"
 * and hold exactly the header text and the body. */
TEST(CacheStore, FileNames)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    struct Case { const char *key; const char *relative; };
    static const Case cases[] = {
        { "http://example.com:80/", "79/8550930bfd497f98f3d22dc49ab66987" },
        { "http://www.example.org:8080/a/b?c=d", "16/a053250d04053b8d1c009a66565305ce" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.key);
        std::string body = bytes_of(70000, 'f');
        ASSERT_TRUE(put(c, k.key, body));
        EXPECT_EQ(dir + "/" + k.relative, path_of(c, k.key));
        EXPECT_EQ(response((int64_t)body.size()) + body, file_bytes(dir + "/" + k.relative));
    }
    const Store &s = c->stores.front();
    EXPECT_EQ(2, s.entries);
    EXPECT_EQ(2 * (response(70000).size() + 70000), s.bytes);

    /* Without a length the file grows in steps; finished, it is cut to the
     * bytes stored. */
    std::string head = response(-1);
    std::string body = bytes_of(70000, 'g');
    CACHEMAP *w = c->cache_open(nullptr, "http://nolength.test:80/", head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(70000, c->add(w, body.data(), 70000));
    std::string path = path_of(c, "http://nolength.test:80/");
    EXPECT_LT(head.size() + body.size(), file_bytes(path).size());   /* reserved ahead */
    c->cache_close(w, true);
    EXPECT_EQ(head + body, file_bytes(path));
}

/* Keys are escaped so that every key comes back from the journal intact. */
TEST(CacheStore, KeyEscape)
{
    struct Case { const char *key; const char *text; };
    static const Case cases[] = {
        { "http://h:80/plain%20path?a=b", "http://h:80/plain%20path?a=b" },
        { "a\tb", "a\\tb" },
        { "a\nb\r", "a\\nb\\r" },
        { "back\\slash", "back\\\\slash" },
        { "\x01\x1f\x7f", "\\x01\\x1f\\x7f" },
        { "caf\xc3\xa9", "caf\xc3\xa9" },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.text);
        EXPECT_EQ(k.text, cache_key_escape(k.key));
        std::string back;
        EXPECT_TRUE(cache_key_unescape(k.text, &back));
        EXPECT_EQ(k.key, back);
    }
    static const char *const bad[] = { "end\\", "\\q", "\\x4", "\\x00", "\\xzz" };
    for (const char *b : bad) {
        std::string out;
        EXPECT_FALSE(cache_key_unescape(b, &out)) << b;
    }
}

/* The journal carries every object across a restart, hostile URLs
 * included; a rewrite leaves no journal.new behind. */
TEST(CacheStore, JournalRoundTrip)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    std::vector<std::string> keys = {
        "http://a.test:80/plain",
        std::string("http://a.test:80/tab\there"),
        std::string("http://a.test:80/line\n1\t0\thttp://evil:80/\t5\t0\t0"),
        "http://a.test:80/back\\slash\\t",
        "http://a.test:80/%41%0a%09",
        std::string("http://a.test:80/ctl\x01\x7f"),
        "http://a.test:80/" + std::string(9000, 'L'),
    };
    for (size_t i = 0; i < keys.size(); i++)
        ASSERT_TRUE(put(c, keys[i], bytes_of(1000 + i, (char)('a' + i)))) << i;
    c->graceful_exit();
    EXPECT_FALSE(exists(dir + "/journal.new"));
    std::vector<std::string> lines = lines_of(file_bytes(dir + "/journal"));
    ASSERT_EQ(keys.size(), lines.size());
    for (const std::string &line : lines) {
        size_t tabs = 0;
        for (char ch : line)
            tabs += ch == '\t';
        EXPECT_EQ(9u, tabs) << line.substr(0, 200);
    }

    c = cache_new(store_entry(dir, "1G"));
    EXPECT_EQ((int)keys.size(), c->objects_count());
    EXPECT_EQ(nullptr, c->hash_find("http://evil:80/"));
    for (size_t i = 0; i < keys.size(); i++)
        EXPECT_EQ(bytes_of(1000 + i, (char)('a' + i)), get(c, keys[i])) << i;
    EXPECT_EQ((int)keys.size(), c->stores.front().entries);
}

/* Reading a journal: the later line wins, a final invalid, unfinished or
 * buffer-only state drops the object and its file, a short line takes its
 * ages from the rule without profiles, and broken lines are skipped whole. */
TEST(CacheStore, JournalReadRules)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    ASSERT_TRUE(put(c, "http://r.test:80/keep", "0123456789"));
    ASSERT_TRUE(put(c, "http://r.test:80/dead", "dead"));
    ASSERT_TRUE(put(c, "http://r.test:80/unfinished", "unf"));
    ASSERT_TRUE(put(c, "http://r.test:80/short", "short"));
    ASSERT_TRUE(put(c, "http://r.test:80/after", "after"));
    std::string keep = path_of(c, "http://r.test:80/keep");
    std::string dead = path_of(c, "http://r.test:80/dead");
    std::string unfinished = path_of(c, "http://r.test:80/unfinished");
    int64_t keep_size = (int64_t)file_bytes(keep).size();
    int64_t short_size = (int64_t)file_bytes(path_of(c, "http://r.test:80/short")).size();
    int64_t after_size = (int64_t)file_bytes(path_of(c, "http://r.test:80/after")).size();
    delete cache_section;
    cache_section = nullptr;

    std::string k = std::to_string(CACHE_DISK);
    std::string journal =
        k + "\thttp://r.test:80/keep\t5\t1000\t1000\t0\t10\t10\t10\t0\n" +
        k + "\thttp://r.test:80/keep\t" + std::to_string(keep_size) +
        "\t2000\t2000\t0\t86400\t3600\t20\t0\n" +
        k + "\thttp://r.test:80/dead\t40\t1000\t1000\t0\t0\t0\t0\t0\n" +
        std::to_string(CACHE_DISK | CACHE_INVALID) + "\thttp://r.test:80/dead\t40\t1\t1\t0\t0\t0\t0\n" +
        std::to_string(CACHE_DISK | CACHE_WRITING) + "\thttp://r.test:80/unfinished\t9\t1\t1\n" +
        k + "\thttp://r.test:80/short\t" + std::to_string(short_size) + "\t100\t100\n" +
        k + "\thttp://r.test:80/four\t9\t100\n" +
        k + "\thttp://r.test:80/badnum\t9x\t100\t100\n" +
        k + "\thttp://r.test:80/neg\t-9\t100\t100\n" +
        "nonsense\thttp://r.test:80/flags\t9\t100\t100\n" +
        k + "\thttp://r.test:80/long" + std::string(70000, 'x') + "\t9\t100\t100\n" +
        k + "\thttp://r.test:80/after\t" + std::to_string(after_size) + "\t100\t100\n" +
        k + "\thttp://r.test:80/cut\t9\t10";
    write_file(dir + "/journal", journal);

    c = cache_new(store_entry(dir, "1G"));
    EXPECT_EQ(3, c->objects_count());
    CACHEMAP *o = c->hash_find("http://r.test:80/keep");
    ASSERT_NE(nullptr, o);
    EXPECT_EQ(keep_size, o->size);
    EXPECT_EQ(86400u, o->max_age);
    CACHEMAP *s = c->hash_find("http://r.test:80/short");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(86400u, s->max_age);   /* the rule without profiles, not "staff" */
    EXPECT_EQ(3600u, s->default_age);
    EXPECT_NE(nullptr, c->hash_find("http://r.test:80/after"));
    EXPECT_EQ("0123456789", get(c, "http://r.test:80/keep"));
    const Store &st = c->stores.front();
    EXPECT_EQ(3, st.entries);
    EXPECT_EQ((uint64_t)(keep_size + short_size + after_size), st.bytes);
    unlink_all(c);
    EXPECT_FALSE(exists(dead));
    EXPECT_FALSE(exists(unfinished));
    EXPECT_TRUE(exists(keep));
}

/* The same key in two stores: the copy stored later wins, and the other
 * store lets its copy go. */
TEST(CacheStore, TwoStoresNewerWins)
{
    std::string a = test_temp_dir(), b = test_temp_dir();
    for (int newer_first = 0; newer_first < 2; newer_first++) {
        SCOPED_TRACE(newer_first);
        CacheSection *c = cache_new(store_entry(a, "1G"));
        ASSERT_TRUE(put(c, "http://two.test:80/", "from a"));
        std::string pa = path_of(c, "http://two.test:80/");
        c->graceful_exit();
        c = cache_new(store_entry(b, "1G"));
        ASSERT_TRUE(put(c, "http://two.test:80/", "from b"));
        std::string pb = path_of(c, "http://two.test:80/");
        c->graceful_exit();
        std::string ja = file_bytes(a + "/journal"), jb = file_bytes(b + "/journal");
        auto stamp = [](std::string j, const char *t) {
            size_t p = 0;
            for (int i = 0; i < 3; i++)
                p = j.find('\t', p) + 1;
            size_t e = j.find('\t', p);
            return j.replace(p, e - p, t);
        };
        write_file(a + "/journal", stamp(ja, newer_first ? "2000" : "1000"));
        write_file(b + "/journal", stamp(jb, newer_first ? "1000" : "2000"));
        c = cache_new(store_entry(a, "1G") + store_entry(b, "1G"));
        CACHEMAP *o = c->hash_find("http://two.test:80/");
        ASSERT_NE(nullptr, o);
        ASSERT_NE(nullptr, o->store);
        EXPECT_EQ(newer_first ? a : b, o->store->directory);
        EXPECT_EQ(newer_first ? "from a" : "from b", get(c, "http://two.test:80/"));
        int total = 0;
        for (const Store &s : c->stores)
            total += s.entries;
        EXPECT_EQ(1, total);
        unlink_all(c);
        EXPECT_EQ(newer_first == 1, exists(pa));
        EXPECT_EQ(newer_first == 0, exists(pb));
        c->graceful_exit();
        unlink((a + "/journal").c_str());
        unlink((b + "/journal").c_str());
        unlink(pa.c_str());
        unlink(pb.c_str());
    }
}

/* A file that is empty, shorter or longer than its journal says is never
 * served: the lookup drops the object. */
TEST(CacheStore, LookupDropsMismatchedFile)
{
    struct Case { const char *what; int delta; bool empty; };
    static const Case cases[] = {
        { "shorter", -1, false },
        { "longer", 1, false },
        { "empty", 0, true },
        { "same", 0, false },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string dir = test_temp_dir();
        CacheSection *c = cache_new(store_entry(dir, "1G"));
        std::string body = bytes_of(5000, 'p');
        ASSERT_TRUE(put(c, "http://m.test:80/", body));
        std::string path = path_of(c, "http://m.test:80/");
        c->graceful_exit();
        std::string bytes = file_bytes(path);
        if (k.empty)
            bytes.clear();
        else if (k.delta < 0)
            bytes.pop_back();
        else if (k.delta > 0)
            bytes += "!";
        write_file(path, bytes);
        c = cache_new(store_entry(dir, "1G"));
        test_log_clear();
        bool same = !k.empty && k.delta == 0;
        EXPECT_EQ(same ? body : "<miss>", get(c, "http://m.test:80/"));
        EXPECT_EQ(!same, test_log_contains("file meta information didn't match journaled data"));
        EXPECT_EQ(same ? 1 : 0, c->objects_count());
        EXPECT_EQ(same ? 1 : 0, c->stores.front().entries);
    }
}

/* With checksums on, a file changed behind the cache's back is dropped. */
TEST(CacheStore, Md5Mismatch)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G", "0", true));
    std::string body = bytes_of(3000, 'c');
    ASSERT_TRUE(put(c, "http://md5.test:80/", body));
    CACHEMAP *o = c->hash_find("http://md5.test:80/");
    ASSERT_NE(nullptr, o);
    EXPECT_EQ(32u, strlen(o->md5));
    std::string path = path_of(c, "http://md5.test:80/");
    c->graceful_exit();
    c = cache_new(store_entry(dir, "1G", "0", true));
    EXPECT_EQ(body, get(c, "http://md5.test:80/"));
    c->graceful_exit();
    std::string bytes = file_bytes(path);
    bytes[bytes.size() - 1] ^= 1;
    write_file(path, bytes);
    c = cache_new(store_entry(dir, "1G", "0", true));
    test_log_clear();
    EXPECT_EQ("<miss>", get(c, "http://md5.test:80/"));
    EXPECT_TRUE(test_log_contains("cache: md5 mismatch, expected: "));
}

/* The store choice: least bytes or least share used, ties to the earlier
 * store, and only stores whose profiles match. */
TEST(CacheStore, SelectStore)
{
    std::string a = test_temp_dir(), b = test_temp_dir(), s = test_temp_dir();
    struct Case {
        const char *policy;
        uint64_t a_size, a_bytes, b_size, b_bytes;
        const char *profiles;
        int chosen;   /* 0 a, 1 b, 2 staff-only store, -1 none */
    };
    const uint64_t G = 1000000000ULL, M = 1000000ULL;
    const Case cases[] = {
        { "least-percent", 1 * G, 500 * M, 10 * G, 6 * G, "", 0 },
        { "least-bytes", 1 * G, 900 * M, 10 * G, 2 * G, "", 0 },
        { "least-percent", 1 * G, 900 * M, 10 * G, 2 * G, "", 1 },
        { "least-bytes", 1 * G, 5 * M, 10 * G, 5 * M, "", 0 },
        { "least-bytes", 1 * G, 5 * M, 10 * G, 5 * M, "staff", 2 },
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(std::string(k.policy) + " " + k.profiles);
        CacheSection *c = cache_new(store_entry(a, std::to_string(k.a_size)) +
                                    store_entry(b, std::to_string(k.b_size)) +
                                    store_entry(s, "1G", "0", false, "staff,!nobody"),
                                    k.policy);
        auto it = c->stores.begin();
        Store *sa = &*it++;
        Store *sb = &*it++;
        Store *ss = &*it;
        sa->bytes = k.a_bytes;
        sb->bytes = k.b_bytes;
        ss->bytes = *k.profiles ? 0 : 100 * G;
        CONNECTION_T *conn = connection_new();
        conn->profiles = StringList(k.profiles, ',');
        CACHEMAP probe{};   /* zero: no store, no flags */
        c->select_store(conn, &probe);
        Store *want = k.chosen == 0 ? sa : k.chosen == 1 ? sb : k.chosen == 2 ? ss : nullptr;
        EXPECT_EQ(want, probe.store);
        connection_free(conn);
        sa->bytes = sb->bytes = ss->bytes = 0;
    }
}

/* Disk eviction: a store over its size is cleaned, least recently used
 * first, below its size; the files of the evicted objects are deleted. */
TEST(CacheStore, DiskEvictionWithinSize)
{
    std::string dir = test_temp_dir();
    const uint64_t size = 11000000;
    CacheSection *c = cache_new(store_entry(dir, std::to_string(size)));
    c->clean_time = utc_time(nullptr);   /* no cleaning while filling */
    std::string body = bytes_of(1000000, 'd');
    std::vector<std::string> paths;
    for (int i = 0; i < 12; i++) {
        std::string key = "http://disk.test:80/" + std::to_string(i);
        ASSERT_TRUE(put(c, key, body)) << i;
        paths.push_back(path_of(c, key));
    }
    Store &s = c->stores.front();
    EXPECT_GT(s.bytes, size);
    EXPECT_TRUE(s.disk_full);
    time_t base = utc_time(nullptr) - 5000;
    for (int i = 0; i < 12; i++)
        c->hash_find(("http://disk.test:80/" + std::to_string(i)).c_str())->accessed = base + i;
    c->clean_time = 0;
    {
        CacheLock lock(*c);
        c->clean();
    }
    EXPECT_LE(s.bytes, size);
    EXPECT_FALSE(s.disk_full);
    unlink_all(c);
    int kept = 0;
    for (int i = 0; i < 12; i++) {
        bool present = c->hash_find(("http://disk.test:80/" + std::to_string(i)).c_str());
        EXPECT_EQ(present, exists(paths[i])) << i;
        if (present)
            kept++;
        else
            EXPECT_EQ(0, kept) << "object " << i << " evicted after a newer one was kept";
    }
    EXPECT_GE(kept, 1);
    EXPECT_EQ(kept, s.entries);
    EXPECT_EQ(body, get(c, "http://disk.test:80/11"));
}

/* Memory over its limit unmaps disk objects nobody holds; they stay on
 * disk and a later lookup maps them again. */
TEST(CacheStore, MemoryEvictionKeepsDiskCopies)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"), "least-bytes", "2M");
    c->clean_time = 0;
    std::string body = bytes_of(400000, 'u');
    for (int i = 0; i < 8; i++) {
        ASSERT_TRUE(put(c, "http://um.test:80/" + std::to_string(i), body)) << i;
        EXPECT_LE(c->mem_bytes, 2u << 20);
        c->clean_time = 0;
    }
    EXPECT_EQ(8, c->objects_count());
    EXPECT_LT(c->mem_objects, 8);
    for (int i = 0; i < 8; i++) {
        c->clean_time = 0;
        EXPECT_EQ(body, get(c, "http://um.test:80/" + std::to_string(i))) << i;
        EXPECT_LE(c->mem_bytes, 2u << 20);
    }
}

/* The deletion queue: a queued file recreated before its turn survives;
 * a failed deletion is logged. */
TEST(CacheStore, UnlinkQueue)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    ASSERT_TRUE(put(c, "http://q.test:80/", "first"));
    std::string path = path_of(c, "http://q.test:80/");
    CACHEMAP *r = c->cache_open(nullptr, "http://q.test:80/", nullptr, 0);
    ASSERT_NE(nullptr, r);
    c->invalidate(r);                     /* file queued */
    EXPECT_EQ(1, c->unlink_count);
    ASSERT_TRUE(put(c, "http://q.test:80/", "second"));   /* zapped from the queue */
    EXPECT_EQ(0, c->unlink_count);
    EXPECT_EQ(0, c->unlink_once(false));
    EXPECT_TRUE(exists(path));
    EXPECT_EQ("second", get(c, "http://q.test:80/"));

    {
        CacheLock lock(*c);
        c->unlink_list_add(dir + "/no-such-file");
    }
    test_log_clear();
    EXPECT_EQ(1, c->unlink_once(false));
    EXPECT_TRUE(test_log_contains("cache: failed to delete file (1 of 1) " + dir + "/no-such-file"));
}

/* A journal rewrite that cannot complete leaves the old journal as it was;
 * a graceful exit on the fatal path inside the cache does not wait for the
 * lock its own thread holds. */
TEST(CacheStore, JournalRewriteFailureAndFatalPath)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    ASSERT_TRUE(put(c, "http://j.test:80/", "body"));
    std::string before = file_bytes(dir + "/journal");
    ASSERT_FALSE(before.empty());
    ASSERT_EQ(0, mkdir((dir + "/journal.new").c_str(), 0755));
    ASSERT_EQ(0, mkdir((dir + "/journal.new/x").c_str(), 0755));
    Store &s = c->stores.front();
    {
        CacheLock lock(*c);
        s.journal_time = 0;
        EXPECT_EQ(-1, c->journal_write(&s));
        /* The fatal path with the lock held here: returns at once. */
        c->graceful_exit();
    }
    EXPECT_EQ(before, file_bytes(dir + "/journal"));
    rmdir((dir + "/journal.new/x").c_str());
    rmdir((dir + "/journal.new").c_str());
    {
        CacheLock lock(*c);
        s.journal_time = 0;
        EXPECT_EQ(1, c->journal_write(&s));
        EXPECT_EQ(0, c->journal_write(&s));   /* too soon after the last one */
    }
    EXPECT_FALSE(exists(dir + "/journal.new"));
    EXPECT_EQ(1u, lines_of(file_bytes(dir + "/journal")).size());
}

/* A configuration reload while an object is written: it goes on in memory
 * and is served; nothing points at the old store records. */
TEST(CacheStore, ReloadWhileWriting)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    std::string body = bytes_of(200000, 'w');
    std::string head = response((int64_t)body.size());
    CACHEMAP *w = c->cache_open(nullptr, "http://reload.test:80/", head.c_str(), CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    ASSERT_EQ(100000, c->add(w, body.data(), 100000));
    std::string text = cache_config(store_entry(dir, "2G"));
    tinyxml2::XMLDocument doc;
    ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str()));
    ASSERT_EQ(SECTION_LOADED, c->load(&doc, CONFIG_LOAD_REPLACE));
    EXPECT_EQ(nullptr, w->store);
    ASSERT_EQ(100000, c->add(w, body.data() + 100000, 100000));
    c->cache_close(w, true);
    EXPECT_EQ(body, get(c, "http://reload.test:80/"));
    unlink_all(c);
}

/* A full disk drops the object being written and marks the store full;
 * the process goes on. Injected failures first. */
TEST(CacheStore, FullDiskInjected)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    static int fail_at = 0;   /* which fallocate fails: 1 = the first */
    static int calls = 0;
    cache_fault_hook = [](const char *call) {
        if (strcmp(call, "fallocate") == 0 && ++calls == fail_at)
            return ENOSPC;
        return 0;
    };
    calls = 0;
    fail_at = 2;
    test_log_clear();
    std::string body = bytes_of(300000, 'x');
    CACHEMAP *w = c->cache_open(nullptr, "http://full.test:80/", response(-1).c_str(),
                                CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    std::string path = path_of(c, "http://full.test:80/");
    EXPECT_EQ(-1, c->add(w, body.data(), (int64_t)body.size()));
    EXPECT_NE(0, c->flag_get(w) & CACHE_INVALID);
    c->cache_close(w, true);
    EXPECT_TRUE(c->stores.front().disk_full);
    EXPECT_TRUE(test_log_contains("disk is full for " + dir));
    EXPECT_EQ("<miss>", get(c, "http://full.test:80/"));
    unlink_all(c);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(0, c->stores.front().entries);
    EXPECT_EQ(0u, c->stores.front().bytes);

    /* The file cannot even be created. */
    cache_fault_hook = [](const char *call) { return strcmp(call, "open") == 0 ? ENOSPC : 0; };
    EXPECT_EQ(nullptr, c->cache_open(nullptr, "http://full2.test:80/", response(3).c_str(),
                                     CACHE_WRITING));
    cache_fault_hook = nullptr;
    EXPECT_EQ(0, c->objects_count());
    ASSERT_TRUE(put(c, "http://after.test:80/", "fine"));
    EXPECT_EQ("fine", get(c, "http://after.test:80/"));
}

/* A real full disk: a store on a 256 KiB tmpfs that claims 100 MB. Writing
 * 1 MB drops the object without a fault on the mapping. Skipped where a
 * tmpfs cannot be mounted. */
TEST(CacheStore, FullDiskTmpfs)
{
    std::string dir = test_temp_dir();
    if (geteuid() != 0 || mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=256k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string dir;
        ~Unmount()
        {
            delete cache_section;   /* its mappings and descriptors first */
            cache_section = nullptr;
            umount2(dir.c_str(), MNT_DETACH);
        }
    } unmount{dir};
    {
        CacheSection *c = cache_new(store_entry(dir, "100M"));
        std::string body = bytes_of(1 << 20, 't');
        CACHEMAP *w = c->cache_open(nullptr, "http://tmpfs.test:80/", response(-1).c_str(),
                                    CACHE_WRITING);
        ASSERT_NE(nullptr, w);
        int64_t result = 0;
        for (size_t off = 0; off < body.size() && result >= 0; off += 16384)
            result = c->add(w, body.data() + off, 16384);
        EXPECT_EQ(-1, result);
        c->cache_close(w, true);
        EXPECT_TRUE(c->stores.front().disk_full);
        EXPECT_EQ("<miss>", get(c, "http://tmpfs.test:80/"));
        unlink_all(c);
        EXPECT_TRUE(put(c, "http://tmpfs.test:80/small", "small enough"));
        EXPECT_EQ("small enough", get(c, "http://tmpfs.test:80/small"));
    }
}

/* Threads fill, hit and drop the objects of a store with checksums on
 * while the service thread rewrites the journal again and again (its lines
 * taken under the shared lock, written without it) and deletes files: every
 * body served is whole and its key's; after a graceful exit every journal
 * line is whole, and a restart brings back every object stored last. */
TEST(CacheStore, ThreadsBesideJournalRewrites)
{
    std::string dir = test_temp_dir();
    description_ready();
    delete cache_section;
    cache_section = new CacheSection();
    CacheSection *c = cache_section;
    {
        std::string text = cache_config(store_entry(dir, "1G", "0", true));
        size_t at = text.find("<journal-lines>0<");
        ASSERT_NE(std::string::npos, at);
        text.replace(at, strlen("<journal-lines>0<"), "<journal-lines>5<");
        tinyxml2::XMLDocument doc;
        ASSERT_EQ(tinyxml2::XML_SUCCESS, doc.Parse(text.c_str()));
        ASSERT_EQ(SECTION_LOADED, c->load(&doc, CONFIG_LOAD_REPLACE));
    }
    const int keys = 8;
    auto key_of = [](int k) { return "http://jr.test:80/" + std::to_string(k); };
    auto body_of = [](int k) { return bytes_of(3000 + (size_t)k * 7000, (char)('A' + k)); };

    std::atomic<bool> running{true};
    std::atomic<int> rewrites{0};
    std::thread service([&] {
        while (running) {
            {
                MutexGuard guard(&c->journal_mutex);
                c->stores.front().journal_time = 0;   /* no 30-second wait here */
            }
            (void)c->journal_rewrite_due();
            rewrites++;
            while (c->unlink_once(false))
                ;
            usleep(500);
        }
    });
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < 6; t++)
        pool.emplace_back([&, t] {
            unsigned seed = 40503u * (unsigned)(t + 7);
            for (int i = 0; i < 150; i++) {
                seed = seed * 1103515245u + 12345u;
                int k = (int)((seed >> 8) % keys);
                switch ((seed >> 20) % 4) {
                case 0:
                    (void)put(c, key_of(k), body_of(k));
                    break;
                case 1: {
                    CACHEMAP *held = c->cache_open(nullptr, key_of(k).c_str(), nullptr, 0);
                    if (held)
                        c->invalidate(held);
                    break;
                }
                default: {
                    std::string got = get(c, key_of(k));
                    if (got != "<miss>" && got != "<dropped>" && got != body_of(k))
                        wrong++;
                }
                }
            }
        });
    for (std::thread &t : pool)
        t.join();
    for (int k = 0; k < keys; k++)
        ASSERT_TRUE(put(c, key_of(k), body_of(k))) << k;
    while (rewrites.load() < 3)
        usleep(1000);
    running = false;
    service.join();
    EXPECT_EQ(0, wrong.load());

    c->graceful_exit();
    for (const std::string &line : lines_of(file_bytes(dir + "/journal"))) {
        size_t tabs = 0;
        for (char ch : line)
            tabs += ch == '\t';
        EXPECT_EQ(9u, tabs) << line.substr(0, 200);
    }
    c = cache_new(store_entry(dir, "1G", "0", true));
    EXPECT_EQ(keys, c->objects_count());
    for (int k = 0; k < keys; k++)
        EXPECT_EQ(body_of(k), get(c, key_of(k))) << k;
    unlink_all(c);
}

/* A disk hit maps its file without the lock; what another thread does
 * meanwhile (run here at the mapping) decides what it may publish: the
 * mapping of a replaced object is dropped and the new file mapped instead,
 * a deleted object is a miss, and a mapping published first by another hit
 * is used without counting the object twice. */
TEST(CacheStore, DiskHitRaces)
{
    enum Meanwhile { REPLACED, DELETED, PUBLISHED };
    struct Case { const char *what; Meanwhile meanwhile; int version_served; };
    static const Case cases[] = {
        { "replaced", REPLACED, 2 },
        { "deleted", DELETED, 0 },
        { "published first", PUBLISHED, 1 },
    };
    const std::string key = "http://race.test:80/";
    auto body_of = [](int v) { return bytes_of(50000, (char)('0' + v)); };   /* one length */
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string dir = test_temp_dir();
        CacheSection *c = cache_new(store_entry(dir, "1G"), "least-bytes", "1M");
        ASSERT_TRUE(put(c, key, body_of(1)));
        c->graceful_exit();
        c = cache_new(store_entry(dir, "1G"), "least-bytes", "1M");   /* on disk only now */
        ASSERT_EQ(0, c->mem_objects);

        race_call = "mmap";
        race_action = [&] {
            CACHEMAP *held = nullptr;
            switch (k.meanwhile) {
            case REPLACED:
            case DELETED:
                held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
                ASSERT_NE(nullptr, held);
                c->invalidate(held);
                if (k.meanwhile == REPLACED) {
                    ASSERT_TRUE(put(c, key, body_of(2)));
                    CacheLock lock(*c);
                    c->clean_time = 0;
                    c->mem_wanted = 1 << 20;   /* as if a new object waited for room */
                    c->clean();   /* the new copy on disk only too */
                    c->mem_wanted = 0;
                    ASSERT_EQ(0, c->mem_objects);
                }
                break;
            case PUBLISHED:
                EXPECT_EQ(body_of(1), get(c, key));
                break;
            }
        };
        cache_fault_hook = race_hook;
        std::string got = get(c, key);
        cache_fault_hook = nullptr;
        EXPECT_FALSE(race_action);   /* it ran */
        EXPECT_TRUE(got == (k.version_served ? body_of(k.version_served) : "<miss>"))
            << got.substr(0, 20);
        CacheLock lock(*c);
        EXPECT_EQ(k.version_served ? 1 : 0, c->mem_objects);
        EXPECT_EQ(k.version_served ? 50000u + response(50000).size() : 0u, c->mem_bytes);
        EXPECT_EQ(k.version_served ? 1 : 0, c->objects_count());
    }
    unlink_all(cache_section);
}

/* A new object's file is renamed to a path whose old file is still queued
 * for deletion, or being deleted right now: the queue never deletes the
 * new file. */
TEST(CacheStore, CreationBesideQueuedDeletion)
{
    struct Case { const char *what; bool in_progress; };
    static const Case cases[] = {
        { "queued", false },
        { "being deleted", true },
    };
    const std::string key = "http://again.test:80/";
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string dir = test_temp_dir();
        CacheSection *c = cache_new(store_entry(dir, "1G"));
        std::string v1 = bytes_of(20000, '1'), v2 = bytes_of(30000, '2');
        ASSERT_TRUE(put(c, key, v1));
        std::string path = path_of(c, key);
        CACHEMAP *held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
        ASSERT_NE(nullptr, held);
        c->invalidate(held);   /* its file queued for deletion */
        {
            MutexGuard guard(&c->unlink_lock);
            ASSERT_EQ(1u, c->unlink_list.size());
            EXPECT_EQ(path, c->unlink_list.front());
        }
        if (!k.in_progress) {
            ASSERT_TRUE(put(c, key, v2));
        } else {
            /* The service thread has taken the old file and is deleting it
             * while the new object is created. */
            {
                MutexGuard guard(&c->unlink_lock);
                c->unlink_list.clear();
                c->unlink_count = 0;
                c->unlink_current = path;
            }
            static std::atomic<bool> renamed_while_deleting;
            static std::string deleting;
            renamed_while_deleting = false;
            deleting = path;
            cache_fault_hook = [](const char *call) {
                if (strcmp(call, "rename") == 0) {
                    MutexGuard guard(&cache_section->unlink_lock);
                    if (cache_section->unlink_current == deleting)
                        renamed_while_deleting = true;
                }
                return 0;
            };
            std::atomic<bool> stored{false};
            std::thread writer([&] { stored = put(c, key, v2); });
            for (;;) {
                {
                    CacheLock lock(*c, true);
                    if (c->hash_find(key.c_str()))
                        break;
                }
                usleep(1000);
            }
            usleep(50000);   /* room for a rename that does not wait */
            unlink(path.c_str());   /* the deletion finishes */
            {
                MutexGuard guard(&c->unlink_lock);
                c->unlink_current.clear();
                pthread_cond_broadcast(&c->unlink_cond);
            }
            writer.join();
            cache_fault_hook = nullptr;
            EXPECT_TRUE(stored.load());
            EXPECT_FALSE(renamed_while_deleting.load());
        }
        unlink_all(c);
        EXPECT_EQ(response(30000) + v2, file_bytes(path));
        c->graceful_exit();
        c = cache_new(store_entry(dir, "1G"));
        EXPECT_EQ(v2, get(c, key));
        unlink_all(c);
    }
}

/* A crash between a new object's private file and its rename (the store
 * copied as it is at that moment) leaves no journal line that names a
 * missing or partial file: the next start serves no copy of the key (an
 * older copy it replaced included), keeps the other objects, and removes
 * the private file and the stale file. A rename that fails drops the
 * object and its private file. */
TEST(CacheStore, CrashBeforeRename)
{
    struct Case { const char *what; bool old_copy; };
    static const Case cases[] = {
        { "new key", false },
        { "replacing an older copy", true },
    };
    const std::string key = "http://crash.test:80/";
    for (const Case &k : cases) {
        SCOPED_TRACE(k.what);
        std::string dir = test_temp_dir();
        static std::string snapshot;
        snapshot = test_temp_dir() + "/store";
        CacheSection *c = cache_new(store_entry(dir, "1G"));
        std::string kept = bytes_of(7000, 'k');
        ASSERT_TRUE(put(c, "http://kept.test:80/", kept));
        if (k.old_copy) {
            ASSERT_TRUE(put(c, key, bytes_of(9000, 'o')));
        }
        race_call = "rename";
        race_action = [&] {
            std::filesystem::copy(dir, snapshot, std::filesystem::copy_options::recursive);
        };
        cache_fault_hook = race_hook;
        ASSERT_TRUE(put(c, key, bytes_of(12000, 'n')));
        cache_fault_hook = nullptr;
        std::string path = path_of(c, key);
        EXPECT_TRUE(names_in(dir + "/tmp").empty());
        std::string stale_path = snapshot + path.substr(dir.size());
        EXPECT_EQ(1u, names_in(snapshot + "/tmp").size());

        c = cache_new(store_entry(snapshot, "1G"));
        EXPECT_EQ("<miss>", get(c, key));
        EXPECT_EQ(kept, get(c, "http://kept.test:80/"));
        unlink_all(c);
        EXPECT_TRUE(names_in(snapshot + "/tmp").empty());
        EXPECT_FALSE(exists(stale_path));
        EXPECT_EQ(std::string::npos, file_bytes(snapshot + "/journal").find("crash.test"));
    }

    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    cache_fault_hook = [](const char *call) { return strcmp(call, "rename") == 0 ? EIO : 0; };
    test_log_clear();
    EXPECT_EQ(nullptr, c->cache_open(nullptr, key.c_str(), response(5).c_str(), CACHE_WRITING));
    cache_fault_hook = nullptr;
    EXPECT_TRUE(test_log_contains("failed to create object in " + dir));
    EXPECT_EQ(0, c->objects_count());
    EXPECT_TRUE(names_in(dir + "/tmp").empty());
    unlink_all(c);
    EXPECT_EQ(0, c->stores.front().entries);
    ASSERT_TRUE(put(c, key, "works"));
    EXPECT_EQ("works", get(c, key));

    /* The "tmp" directory and the object's subdirectory removed behind the
     * cache's back are made again. */
    std::string path = path_of(c, key);
    CACHEMAP *held = c->cache_open(nullptr, key.c_str(), nullptr, 0);
    ASSERT_NE(nullptr, held);
    c->invalidate(held);
    unlink_all(c);
    ASSERT_EQ(0, rmdir(path.substr(0, path.rfind('/')).c_str()));
    ASSERT_EQ(0, rmdir((dir + "/tmp").c_str()));
    ASSERT_TRUE(put(c, key, "again"));
    EXPECT_EQ(response(5) + "again", file_bytes(path));
}

/* Files under a store's object directories that no journal line names
 * (left by a lost or emptied journal) are removed by the service thread's
 * sweep after a start, with one line giving their count and bytes; the
 * files the journal names stay. */
TEST(CacheStore, OrphanedFilesRemoved)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    while (c->sweep_once())
        ;
    ASSERT_TRUE(put(c, "http://kept.test:80/", "kept body"));
    std::string kept = path_of(c, "http://kept.test:80/");
    ASSERT_TRUE(exists(kept));
    struct Orphan {
        const char *sub;
        const char *name;
        size_t bytes;
    };
    const Orphan orphans[] = {
        { "ab", "0123456789abcdef0123456789abcdef", 1000 },
        { "07", "fedcba9876543210fedcba9876543210", 24000 },
        { "ff", "left-over", 500 },
    };
    for (const Orphan &o : orphans) {
        mkdir((dir + "/" + o.sub).c_str(), 0755);
        write_file(dir + "/" + o.sub + "/" + o.name, std::string(o.bytes, 'o'));
    }
    write_file(dir + "/outside", "not in an object directory");

    c->graceful_exit();
    c = cache_new(store_entry(dir, "1G"));   /* a restart: the journal names "kept" */
    test_log_clear();
    EXPECT_EQ(1, c->sweep_once());
    EXPECT_EQ(0, c->sweep_once());
    EXPECT_TRUE(test_log_contains("cache: removed 3 files of 25500 bytes that no journal names "
                                  "in store: " + dir));
    for (const Orphan &o : orphans)
        EXPECT_FALSE(exists(dir + "/" + o.sub + "/" + o.name)) << o.name;
    EXPECT_TRUE(exists(kept));
    EXPECT_TRUE(exists(dir + "/outside"));
    EXPECT_EQ("kept body", get(c, "http://kept.test:80/"));

    /* The journal lost: the store starts empty and its files go too. */
    c->graceful_exit();
    unlink((dir + "/journal").c_str());
    c = cache_new(store_entry(dir, "1G"));
    test_log_clear();
    EXPECT_EQ(1, c->sweep_once());
    EXPECT_TRUE(test_log_contains("cache: removed 1 files of"));
    EXPECT_FALSE(exists(kept));
    EXPECT_EQ("<miss>", get(c, "http://kept.test:80/"));

    /* Nothing to remove: no line. */
    c = cache_new(store_entry(dir, "1G"));
    test_log_clear();
    EXPECT_EQ(1, c->sweep_once());
    EXPECT_FALSE(test_log_contains("cache: removed"));
}

/* A new object given the path of an orphan while the sweep runs keeps its
 * file. */
TEST(CacheStore, SweepBesideANewObject)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    while (c->sweep_once())
        ;
    ASSERT_TRUE(put(c, "http://again.test:80/", "old body"));
    std::string path = path_of(c, "http://again.test:80/");
    c->graceful_exit();
    unlink((dir + "/journal").c_str());
    c = cache_new(store_entry(dir, "1G"));   /* the file is an orphan now */
    ASSERT_TRUE(exists(path));
    ASSERT_TRUE(put(c, "http://again.test:80/", "new body"));   /* the same path */
    EXPECT_EQ(1, c->sweep_once());
    EXPECT_TRUE(exists(path));
    EXPECT_EQ("new body", get(c, "http://again.test:80/"));
    EXPECT_EQ("new body", file_bytes(path).substr(file_bytes(path).size() - 8));
}

/* A reader joined an object written to a store whose disk then refuses
 * the writer's next bytes: the object moves to memory, is fed to the end
 * for the reader, and goes with its file after the reader. */
TEST(CacheStore, JoinedReaderWhileTheDiskRefuses)
{
    std::string dir = test_temp_dir();
    CacheSection *c = cache_new(store_entry(dir, "1G"));
    static int calls = 0;
    cache_fault_hook = [](const char *call) {
        if (strcmp(call, "fallocate") == 0 && ++calls >= 2)
            return ENOSPC;
        return 0;
    };
    calls = 0;
    std::string body = bytes_of(300000, 'd');
    CACHEMAP *w = c->cache_open(nullptr, "http://refuse.test:80/", response(300000).c_str(),
                                CACHE_WRITING);
    ASSERT_NE(nullptr, w);
    std::string path = path_of(c, "http://refuse.test:80/");
    CACHEMAP *r = c->cache_open(nullptr, "http://refuse.test:80/", nullptr, 0);
    ASSERT_EQ(w, r);
    for (size_t off = 0; off < body.size(); off += 100000)
        EXPECT_EQ(100000, c->add(w, body.data() + off, 100000));
    cache_fault_hook = nullptr;
    EXPECT_NE(0, c->flag_get(w) & CACHE_INVALID);
    EXPECT_EQ("<miss>", get(c, "http://refuse.test:80/"));
    c->cache_close(w, true);
    Filebuf *b = c->read_filebuf(r, 300000);
    ASSERT_NE(nullptr, b);
    EXPECT_TRUE(std::string(b->data, (size_t)b->size) == body);
    delete b;
    c->cache_close(r, false);
    EXPECT_EQ(0, c->objects_count());
    unlink_all(c);
    EXPECT_FALSE(exists(path));
    EXPECT_EQ(0, c->stores.front().entries);
    EXPECT_EQ(0u, c->stores.front().bytes);
}

/* A store whose file system has less free space than the larger of 5% and
 * 64 MiB takes no new objects (they live in memory only), logged once when
 * it starts and once when it ends. A tmpfs of 1 MiB, grown to 256 MiB;
 * skipped where a tmpfs cannot be mounted. */
TEST(CacheStore, LowSpaceStopsNewObjects)
{
    std::string dir = test_temp_dir();
    if (geteuid() != 0 || mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs here";
    struct Unmount {
        std::string dir;
        ~Unmount()
        {
            delete cache_section;
            cache_section = nullptr;
            umount2(dir.c_str(), MNT_DETACH);
        }
    } unmount{dir};
    CacheSection *c = cache_new(store_entry(dir, "100M"));
    test_log_clear();
    c->space_check();
    c->space_check();
    const std::string starts = "cache: store " + dir + " has less than 67108864 bytes free, it "
                               "takes no new objects until it has";
    int lines = 0;
    for (const std::string &line : logbuffer_lines(global->logbuffer))
        lines += line.find(starts) != std::string::npos;
    EXPECT_EQ(1, lines);   /* once, however often it is looked at */
    ASSERT_TRUE(put(c, "http://low.test:80/", "in memory"));
    EXPECT_EQ("", path_of(c, "http://low.test:80/"));   /* no store */
    EXPECT_EQ("in memory", get(c, "http://low.test:80/"));
    EXPECT_EQ(0, c->stores.front().entries);

    ASSERT_EQ(0, mount("tmpfs", dir.c_str(), "tmpfs", MS_REMOUNT, "size=256m"));
    test_log_clear();
    c->space_check();
    EXPECT_TRUE(test_log_contains("cache: store " + dir + " has at least 67108864 bytes free again, it "
                                  "takes new objects"));
    EXPECT_FALSE(test_log_contains(starts));
    ASSERT_TRUE(put(c, "http://room.test:80/", "on disk"));
    std::string path = path_of(c, "http://room.test:80/");
    ASSERT_NE("", path);
    EXPECT_TRUE(exists(path));
    EXPECT_EQ(1, c->stores.front().entries);
}
