/* The growable byte buffer: growth steps, limits, edits, files, lines and
 * the gzip and deflate codings, checked against the gzip tool and Python's
 * zlib. */
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "test_support.h"

/* The allocation-failure cases ask for more memory than any machine has;
 * under AddressSanitizer such a request must return NULL as it does with
 * the C library, instead of stopping the test. */
extern "C" const char *__asan_default_options()
{
    return "allocator_may_return_null=1";
}

namespace {

std::string contents(const Filebuf &b)
{
    return b.size > 0 ? std::string(b.data, (size_t)b.size) : std::string();
}

std::vector<std::string> lines(STACK_T *list)
{
    std::vector<std::string> v;
    for (STACK_T *n = list; n; n = n->next)
        v.push_back(n->line);
    return v;
}

std::string write_file(const std::string &dir, const std::string &name, const std::string &bytes)
{
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ((ssize_t)bytes.size(), write(fd, bytes.data(), bytes.size()));
    close(fd);
    return path;
}

}  // namespace

/* ----------------------------------------------------------------- growth */

struct GrowStep {
    int64_t size;
    int64_t capacity;
};

TEST(Filebuf, GrowsAndShrinksInSteps)
{
    const GrowStep steps[] = {
        {1, 65536},
        {65536, 65536},
        {65537, 131072},
        {65536 + 65535, 131072},   /* one step of slack: no shrink */
        {1, 65536},                /* more than a step idle: shrinks */
        {0, 65536},                /* 0 keeps the allocation */
        {200000, 262144},
        {196608, 262144},          /* exactly one step idle: no shrink */
        {196607, 196608},
    };
    Filebuf b;
    EXPECT_EQ(0, b.size);
    EXPECT_EQ(0, b.capacity);
    EXPECT_EQ(nullptr, b.data);
    for (const GrowStep &s : steps) {
        SCOPED_TRACE(s.size);
        ASSERT_EQ(FILEBUF_OK, b.Resize(s.size));
        EXPECT_EQ(s.size, b.size);
        EXPECT_EQ(s.capacity, b.capacity);
        EXPECT_NE(nullptr, b.data);
    }

    Filebuf fresh;
    ASSERT_EQ(FILEBUF_OK, fresh.Resize(0));   /* nothing allocated for 0 */
    EXPECT_EQ(nullptr, fresh.data);
    EXPECT_EQ(FILEBUF_BAD_RANGE, fresh.Resize(-1));
}

TEST(Filebuf, AddKeepsBytesAcrossGrowth)
{
    Filebuf b;
    std::string expect;
    for (int i = 0; i < 3000; i++) {
        std::string piece = std::to_string(i) + ",";
        ASSERT_EQ(FILEBUF_OK, b.Add(piece.data(), (int64_t)piece.size()));
        expect += piece;
    }
    EXPECT_EQ(expect, contents(b));
    EXPECT_EQ(0, b.capacity % FILEBUF_STEP);
    EXPECT_EQ(FILEBUF_OK, b.Add(nullptr, 0));
    EXPECT_EQ(FILEBUF_BAD_RANGE, b.Add(nullptr, 3));
    EXPECT_EQ(FILEBUF_BAD_RANGE, b.Add("x", -1));
    EXPECT_EQ(expect, contents(b));
}

/* Growth past the limit is refused before the buffer grows, and nothing
 * changes; exactly at the limit it succeeds. */
TEST(Filebuf, LimitIsCheckedBeforeGrowth)
{
    Filebuf b(100);
    ASSERT_EQ(FILEBUF_OK, b.Add(std::string(60, 'a').data(), 60));

    EXPECT_EQ(FILEBUF_TOO_BIG, b.Add(std::string(41, 'b').data(), 41));
    EXPECT_EQ(std::string(60, 'a'), contents(b));
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Resize(101));
    EXPECT_EQ(60, b.size);
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Addf("%s", std::string(41, 'c').c_str()));
    EXPECT_EQ(60, b.size);
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Replace(0, 0, std::string(41, 'd').c_str()));
    EXPECT_EQ(std::string(60, 'a'), contents(b));
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Add("x", INT64_MAX));   /* no overflow in the check */

    ASSERT_EQ(FILEBUF_OK, b.Add(std::string(40, 'b').data(), 40));
    EXPECT_EQ(100, b.size);
    EXPECT_EQ(FILEBUF_OK, b.Replace(0, 10, "0123456789"));   /* same length at the limit */

    /* A lowered limit refuses growth but not shrinking. */
    b.set_limit(10);
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Add("x", 1));
    EXPECT_EQ(FILEBUF_OK, b.Resize(50));
    EXPECT_EQ(50, b.size);

    b.set_limit(-5);
    EXPECT_EQ(0, b.limit());
    b.set_limit(INT64_MAX);
    EXPECT_EQ(FILEBUF_MAX_LIMIT, b.limit());
    EXPECT_EQ(FILEBUF_DEFAULT_LIMIT, Filebuf().limit());
}

TEST(Filebuf, AddfCutsAtTheFormatArea)
{
    Filebuf b;
    ASSERT_EQ(FILEBUF_OK, b.Addf("%d-%s", 42, "x"));
    EXPECT_EQ("42-x", contents(b));

    Filebuf big;
    std::string text(10000, 'q');
    ASSERT_EQ(FILEBUF_OK, big.Addf("%s", text.c_str()));
    EXPECT_EQ(8191, big.size);
    ASSERT_EQ(FILEBUF_OK, big.Addf("%s", ""));
    EXPECT_EQ(8191, big.size);
}

struct ReplaceCase {
    const char *what;
    int64_t start, end;
    const char *text;
    const char *out;
    int rc;
};

TEST(Filebuf, ReplaceTable)
{
    const ReplaceCase cases[] = {
        {"longer", 2, 4, "XYZW", "abXYZWefgh", FILEBUF_OK},
        {"shorter", 2, 6, "X", "abXgh", FILEBUF_OK},
        {"same", 0, 3, "123", "123defgh", FILEBUF_OK},
        {"insert", 8, 8, "!!", "abcdefgh!!", FILEBUF_OK},
        {"delete", 0, 8, "", "", FILEBUF_OK},
        {"at start", 0, 0, ">", ">abcdefgh", FILEBUF_OK},
        {"end past size", 2, 9, "x", "abcdefgh", FILEBUF_BAD_RANGE},
        {"start after end", 5, 4, "x", "abcdefgh", FILEBUF_BAD_RANGE},
        {"negative start", -1, 2, "x", "abcdefgh", FILEBUF_BAD_RANGE},
        {"no text", 0, 1, nullptr, "abcdefgh", FILEBUF_BAD_RANGE},
    };
    for (const ReplaceCase &c : cases) {
        SCOPED_TRACE(c.what);
        Filebuf b;
        ASSERT_EQ(FILEBUF_OK, b.Add("abcdefgh", 8));
        EXPECT_EQ(c.rc, b.Replace(c.start, c.end, c.text));
        EXPECT_EQ(c.out, contents(b));
    }
}

/* A long tail must move intact both ways, across a change of capacity. */
TEST(Filebuf, ReplaceMovesLongTail)
{
    std::string text;
    for (int i = 0; i < 70000; i++)
        text += (char)('a' + i % 26);
    Filebuf b;
    ASSERT_EQ(FILEBUF_OK, b.Add(text.data(), (int64_t)text.size()));

    std::string big(70000, 'Z');
    ASSERT_EQ(FILEBUF_OK, b.Replace(10, 20, big.c_str()));
    std::string expect = text.substr(0, 10) + big + text.substr(20);
    EXPECT_EQ(expect, contents(b));
    EXPECT_EQ(196608, b.capacity);

    ASSERT_EQ(FILEBUF_OK, b.Replace(10, 10 + 70000, "-"));
    expect = text.substr(0, 10) + "-" + text.substr(20);
    EXPECT_EQ(expect, contents(b));
    EXPECT_EQ(131072, b.capacity);
}

/* ----------------------------------------------------- swap, dup, shorten */

TEST(Filebuf, SwapMovesDataButNotTypes)
{
    Filebuf a, b;
    a.content_type = strdup("text/html");
    ASSERT_EQ(FILEBUF_OK, a.Add("old", 3));
    ASSERT_EQ(FILEBUF_OK, b.Add("new bytes", 9));
    b.content_type = strdup("image/png");

    a.Swap(&b);
    EXPECT_EQ("new bytes", contents(a));
    EXPECT_EQ(65536, a.capacity);
    EXPECT_EQ(0, b.size);
    EXPECT_EQ(0, b.capacity);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_STREQ("text/html", a.content_type);
    EXPECT_STREQ("image/png", b.content_type);

    a.Swap(nullptr);
    EXPECT_EQ(0, a.size);
    EXPECT_EQ(nullptr, a.data);

    ASSERT_EQ(FILEBUF_OK, a.Add("self", 4));
    a.Swap(&a);   /* nothing to take over: empty */
    EXPECT_EQ(0, a.size);
}

TEST(Filebuf, DupCopiesExactlyAndShortenTrims)
{
    Filebuf a(5000);
    a.content_type = strdup("text/plain");
    ASSERT_EQ(FILEBUF_OK, a.Add("hello", 5));
    Filebuf *copy = a.Dup();
    EXPECT_EQ("hello", contents(*copy));
    EXPECT_EQ(5, copy->capacity);
    EXPECT_EQ(nullptr, copy->content_type);
    EXPECT_EQ(5000, copy->limit());
    ASSERT_EQ(FILEBUF_OK, copy->Add("!", 1));   /* grows normally afterwards */
    EXPECT_EQ("hello!", contents(*copy));
    EXPECT_EQ(65536, copy->capacity);
    delete copy;

    Filebuf empty;
    copy = empty.Dup();
    EXPECT_EQ(0, copy->size);
    EXPECT_EQ(nullptr, copy->data);
    delete copy;

    a.Shorten();
    EXPECT_EQ(5, a.capacity);
    EXPECT_EQ("hello", contents(a));
    a.Shorten();
    EXPECT_EQ(5, a.capacity);
    ASSERT_EQ(FILEBUF_OK, a.Resize(0));
    a.Shorten();
    EXPECT_EQ(0, a.capacity);
    EXPECT_EQ(nullptr, a.data);
}

TEST(Filebuf, AdoptAndReleaseMoveTheBlock)
{
    Filebuf b(10);
    char *block = strdup("GET / HTTP/1.0");
    EXPECT_EQ(FILEBUF_TOO_BIG, b.Adopt(block, 15));   /* the caller keeps it */
    b.set_limit(100);
    ASSERT_EQ(FILEBUF_OK, b.Adopt(block, 15));
    EXPECT_EQ(15, b.size);
    EXPECT_EQ(15, b.capacity);
    ASSERT_EQ(FILEBUF_OK, b.Replace(4, 5, "/index"));
    char *back = b.Release();
    EXPECT_STREQ("GET /index HTTP/1.0", back);
    EXPECT_EQ(nullptr, b.data);
    EXPECT_EQ(0, b.size);
    free(back);
}

/* ------------------------------------------------------------ files, lines */

TEST(Filebuf, ReadAppendsWholeFile)
{
    std::string dir = test_temp_dir();
    std::string text;
    for (int i = 0; i < 20000; i++)
        text += "line " + std::to_string(i) + "\n";
    std::string path = write_file(dir, "f", text);

    int saved = BLOCKSIZE;
    BLOCKSIZE = 1000;   /* many reads, none aligned with the growth step */
    Filebuf b;
    ASSERT_EQ(FILEBUF_OK, b.Add(">", 1));
    EXPECT_EQ((int64_t)text.size(), b.Read(path.c_str()));
    EXPECT_EQ(">" + text, contents(b));
    BLOCKSIZE = saved;

    EXPECT_EQ(FILEBUF_READ_NO_FILE, b.Read((dir + "/missing").c_str()));
    EXPECT_EQ(">" + text, contents(b));

    std::string empty = write_file(dir, "empty", "");
    EXPECT_EQ(0, b.Read(empty.c_str()));
    unlink(path.c_str());
    unlink(empty.c_str());
    rmdir(dir.c_str());
}

TEST(Filebuf, ReadPastLimitKeepsContents)
{
    std::string dir = test_temp_dir();
    std::string path = write_file(dir, "f", std::string(100, 'x'));

    Filebuf at(102);
    ASSERT_EQ(FILEBUF_OK, at.Add("ab", 2));
    EXPECT_EQ(100, at.Read(path.c_str()));   /* exactly at the limit */
    EXPECT_EQ(102, at.size);

    Filebuf over(101);
    ASSERT_EQ(FILEBUF_OK, over.Add("ab", 2));
    EXPECT_EQ(FILEBUF_READ_TOO_BIG, over.Read(path.c_str()));
    EXPECT_EQ("ab", contents(over));
    unlink(path.c_str());
    rmdir(dir.c_str());
}

TEST(Filebuf, SaveWritesEverything)
{
    std::string dir = test_temp_dir();
    std::string path = dir + "/out";
    Filebuf b;
    std::string text(300000, 'k');
    text[12345] = '\0';
    ASSERT_EQ(FILEBUF_OK, b.Add(text.data(), (int64_t)text.size()));
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ((ssize_t)text.size(), b.Save(fd));
    close(fd);

    Filebuf back;
    EXPECT_EQ((int64_t)text.size(), back.Read(path.c_str()));
    EXPECT_EQ(text, contents(back));

    EXPECT_EQ(-1, b.Save(-1));
    unlink(path.c_str());
    rmdir(dir.c_str());
}

struct LineCase {
    std::string in;
    std::vector<std::string> out;
};

TEST(Filebuf, ToStackTable)
{
    const LineCase cases[] = {
        {"a\nb\n", {"a", "b"}},
        {"a\nb", {"a", "b"}},
        {"\n", {""}},
        {"x\r\n\r\n", {"x\r", "\r"}},
        {"\n\nz", {"", "", "z"}},
    };
    for (const LineCase &c : cases) {
        SCOPED_TRACE(c.in);
        Filebuf b;
        ASSERT_EQ(FILEBUF_OK, b.Add(c.in.data(), (int64_t)c.in.size()));
        STACK_T *list = b.to_stack();
        EXPECT_EQ(c.out, lines(list));
        for (STACK_T *n = list; n && n->next; n = n->next)
            EXPECT_EQ(n, n->next->prev);
        /* Freed from its last node: stack_free walks back first. */
        STACK_T *last = list;
        while (last && last->next)
            last = last->next;
        stack_free(last);
    }

    Filebuf never;
    EXPECT_EQ(nullptr, never.to_stack());

    Filebuf emptied;
    ASSERT_EQ(FILEBUF_OK, emptied.Add("abc", 3));
    ASSERT_EQ(FILEBUF_OK, emptied.Resize(0));
    STACK_T *one = emptied.to_stack();
    EXPECT_EQ(std::vector<std::string>{""}, lines(one));
    stack_free(one);
    stack_free(nullptr);
}

/* --------------------------------------------------------- allocation fails */

/* A growth the allocator cannot satisfy is refused like one over the limit:
 * the contents stay, nothing is fatal. */
TEST(Filebuf, FailedAllocationIsRefusedNotFatal)
{
    const int64_t huge = (int64_t)1 << 60;
    Filebuf b(FILEBUF_MAX_LIMIT);
    ASSERT_EQ(FILEBUF_OK, b.Add("keep", 4));
    EXPECT_EQ(FILEBUF_NO_MEMORY, b.Resize(huge));
    EXPECT_EQ("keep", contents(b));
    EXPECT_EQ(65536, b.capacity);
    EXPECT_EQ(FILEBUF_NO_MEMORY, b.Add("x", huge));   /* length checked before reading */
    std::string big(70000, 'r');
    EXPECT_EQ(FILEBUF_OK, b.Replace(0, 4, big.c_str()));   /* ordinary growth still works */
    EXPECT_EQ(big, contents(b));

    Filebuf never;
    never.Shorten();   /* nothing allocated: harmless */
    EXPECT_EQ(nullptr, never.data);
    EXPECT_EQ(0, never.capacity);
}

/* ------------------------------------------------------------------ codings */

namespace {

std::string bytes_of(const std::initializer_list<int> &list)
{
    std::string s;
    for (int c : list)
        s += (char)c;
    return s;
}

std::string read_stream(FILE *f)
{
    std::string out;
    char block[65536];
    size_t n;
    while ((n = fread(block, 1, sizeof block, f)) > 0)
        out.append(block, n);
    return out;
}

/* Runs a Python program with the standard library's zlib and gzip modules
 * imported and returns what it writes to standard output. */
std::string python_bytes(const std::string &program)
{
    std::string dir = test_temp_dir();
    std::string path = write_file(dir, "p.py",
                                  "import sys, zlib, gzip, io\n"
                                  "out = sys.stdout.buffer\n" + program + "\n");
    FILE *f = popen(("/usr/bin/python3 " + path).c_str(), "r");
    EXPECT_NE(nullptr, f);
    std::string out = f ? read_stream(f) : std::string();
    EXPECT_EQ(0, f ? pclose(f) : -1);
    unlink(path.c_str());
    rmdir(dir.c_str());
    return out;
}

/* A Python literal of bytes, for passing test data to a program. */
std::string py_literal(const std::string &bytes)
{
    std::string s = "bytes.fromhex('";
    static const char hex[] = "0123456789abcdef";
    for (unsigned char c : bytes) {
        s += hex[c >> 4];
        s += hex[c & 15];
    }
    return s + "')";
}

/* Runs the gzip tool with args on bytes written to a file; *status gets its
 * exit status, the result is its standard output. */
std::string gzip_tool(const char *args, const std::string &bytes, int *status)
{
    std::string dir = test_temp_dir();
    std::string path = write_file(dir, "body.gz", bytes);
    FILE *f = popen(("gzip " + std::string(args) + " " + path + " 2>/dev/null").c_str(), "r");
    EXPECT_NE(nullptr, f);
    std::string out = f ? read_stream(f) : std::string();
    int rc = f ? pclose(f) : -1;
    *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    unlink(path.c_str());
    rmdir(dir.c_str());
    return out;
}

/* Text with some repetition and every byte value, so the codings have both
 * matches and literals to write. */
std::string sample(size_t n, unsigned seed)
{
    std::string s;
    s.reserve(n);
    unsigned x = seed;
    while (s.size() < n) {
        x = x * 1103515245 + 12345;
        if ((x >> 16) % 3 == 0)
            s += "<p>the quick brown fox</p>\n";
        else
            s += (char)(x >> 24);
    }
    s.resize(n);
    return s;
}

/* RFC 1952 flag bits. */
enum { GZ_FHCRC = 0x02, GZ_FEXTRA = 0x04, GZ_FNAME = 0x08, GZ_FCOMMENT = 0x10 };

uint32_t crc_of(const std::string &s)
{
    return (uint32_t)crc32(0, (const Bytef *)s.data(), (uInt)s.size());
}

void put_le(std::string *s, uint32_t v, int n)
{
    for (int i = 0; i < n; i++)
        *s += (char)(v >> (8 * i));
}

/* A gzip member laid out by hand: header with the optional fields that
 * flags asks for (the header CRC over everything before it), the raw
 * deflate stream, CRC-32 and length of plain. */
std::string gzip_member(int flags, const std::string &deflated, const std::string &plain,
                        const std::string &extra = "", const std::string &name = "",
                        const std::string &comment = "")
{
    std::string m = bytes_of({0x1f, 0x8b, 8, flags, 0x78, 0x56, 0x34, 0x12, 2, 3});
    if (flags & GZ_FEXTRA) {
        put_le(&m, (uint32_t)extra.size(), 2);
        m += extra;
    }
    if (flags & GZ_FNAME)
        m += name + '\0';
    if (flags & GZ_FCOMMENT)
        m += comment + '\0';
    if (flags & GZ_FHCRC)
        put_le(&m, crc_of(m) & 0xffff, 2);
    m += deflated;
    put_le(&m, crc_of(plain), 4);
    put_le(&m, (uint32_t)plain.size(), 4);
    return m;
}

/* The raw deflate stream of plain, made by Python's zlib. */
std::string py_raw_deflate(const std::string &plain)
{
    return python_bytes("c = zlib.compressobj(6, zlib.DEFLATED, -15)\n"
                        "out.write(c.compress(" + py_literal(plain) + ") + c.flush())");
}

}  // namespace

/* The framing is byte-exact, and an empty body codes to the 20-byte member
 * (two-byte empty final block, CRC 0, length 0) and back. */
TEST(FilebufCoding, EmptyBodyFraming)
{
    Filebuf b;
    ASSERT_EQ(1, b.Compress(1));
    EXPECT_EQ(bytes_of({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              contents(b));
    ASSERT_EQ(1, b.Uncompress(1));
    EXPECT_EQ(0, b.size);

    Filebuf raw;
    ASSERT_EQ(1, raw.Compress(0));
    EXPECT_EQ(bytes_of({3, 0}), contents(raw));
    ASSERT_EQ(1, raw.Uncompress(0));
    EXPECT_EQ(0, raw.size);
}

/* What Compress writes is read by the gzip tool (gzip -t checks CRC and
 * length) and by Python's zlib, byte for byte, and decodes back here. */
TEST(FilebufCoding, CompressReadByIndependentTools)
{
    const std::string inputs[] = {
        "x",
        "hello, world\n",
        sample(300000, 7),                 /* several output areas and growth steps */
        std::string(200000, '\0'),         /* long matches */
    };
    for (const std::string &plain : inputs) {
        SCOPED_TRACE(plain.size());
        Filebuf b;
        b.content_type = strdup("text/html");
        ASSERT_EQ(FILEBUF_OK, b.Add(plain.data(), (int64_t)plain.size()));
        ASSERT_EQ(1, b.Compress(1));
        std::string coded = contents(b);
        EXPECT_EQ(bytes_of({0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3}), coded.substr(0, 10));
        EXPECT_STREQ("text/html", b.content_type);

        int status = -1;
        gzip_tool("-t", coded, &status);
        EXPECT_EQ(0, status);
        EXPECT_EQ(plain, gzip_tool("-dc", coded, &status));
        EXPECT_EQ(0, status);

        ASSERT_EQ(1, b.Uncompress(1));
        EXPECT_EQ(plain, contents(b));

        ASSERT_EQ(1, b.Compress(0));
        EXPECT_EQ(plain, python_bytes("out.write(zlib.decompress(" + py_literal(contents(b)) +
                                      ", -15))"));
        ASSERT_EQ(1, b.Uncompress(0));
        EXPECT_EQ(plain, contents(b));
    }
}

struct ForeignCase {
    const char *what;
    int gzip;
    std::string coded;
    std::string plain;
};

/* Streams made by other encoders decode: gzip members with every optional
 * header field, several members in a row, zlib-wrapped and raw deflate. */
TEST(FilebufCoding, UncompressForeignStreams)
{
    const std::string a = sample(5000, 1);
    const std::string b = "second member\n";
    const std::string raw_a = py_raw_deflate(a);
    const std::string raw_b = py_raw_deflate(b);
    int status = -1;

    /* A stored block whose padding bits make its first two bytes a valid
     * zlib header (0x08 0x1d): it must still decode as raw deflate. */
    const std::string stored(29, 'S');
    std::string lookalike = bytes_of({0x08, 0x1d, 0x00, 0xe2, 0xff}) + stored + bytes_of({3, 0});
    ASSERT_EQ(stored, python_bytes("out.write(zlib.decompress(" + py_literal(lookalike) + ", -15))"));

    const ForeignCase cases[] = {
        {"python gzip with name and time", 1,
         python_bytes("buf = io.BytesIO()\n"
                      "with gzip.GzipFile(filename='page.html', mode='wb', fileobj=buf, "
                      "mtime=1234567890) as g:\n"
                      "    g.write(" + py_literal(a) + ")\n"
                      "out.write(buf.getvalue())"),
         a},
        {"gzip tool", 1, gzip_tool("-9c", a, &status), a},
        {"extra field", 1, gzip_member(GZ_FEXTRA, raw_a, a, std::string("AP\x04\0abcd", 8)), a},
        {"empty extra field", 1, gzip_member(GZ_FEXTRA, raw_a, a), a},
        {"comment", 1, gzip_member(GZ_FCOMMENT, raw_a, a, "", "", "made by hand"), a},
        {"header crc", 1, gzip_member(GZ_FHCRC, raw_a, a), a},
        {"every field", 1,
         gzip_member(GZ_FHCRC | GZ_FEXTRA | GZ_FNAME | GZ_FCOMMENT | 0x01 /* FTEXT */, raw_a, a,
                     "xy", "index.html", "c"),
         a},
        {"two members", 1, gzip_member(0, raw_a, a) + gzip_member(GZ_FNAME, raw_b, b, "", "b"),
         a + b},
        {"trailing garbage ignored", 1, gzip_member(0, raw_b, b) + "junk\n", b},
        {"trailing zeros ignored", 1, gzip_member(0, raw_b, b) + std::string(512, '\0'), b},
        {"zlib wrapped", 0, python_bytes("out.write(zlib.compress(" + py_literal(a) + ", 9))"), a},
        {"zlib wrapped, trailing bytes", 0,
         python_bytes("out.write(zlib.compress(" + py_literal(b) + ") + b'tail')"), b},
        {"raw deflate", 0, raw_a, a},
        {"raw lookalike of a zlib header", 0, lookalike, stored},
    };
    EXPECT_EQ(0, status);
    for (const ForeignCase &c : cases) {
        SCOPED_TRACE(c.what);
        test_log_clear();
        Filebuf buf;
        ASSERT_EQ(FILEBUF_OK, buf.Add(c.coded.data(), (int64_t)c.coded.size()));
        bool too_big = true;
        EXPECT_EQ(1, buf.Uncompress(c.gzip, &too_big));
        EXPECT_FALSE(too_big);
        EXPECT_EQ(c.plain, contents(buf));
        EXPECT_FALSE(test_log_contains("zlib:"));
    }
}

struct BadCase {
    const char *what;
    int gzip;
    std::string coded;
    const char *log;   /* NULL: no log line at all */
};

/* Corrupt and truncated input fails with the contents untouched and the
 * zlib result in the log. */
TEST(FilebufCoding, UncompressRefusesBadInput)
{
    const std::string plain = sample(20000, 3);
    const std::string raw = py_raw_deflate(plain);
    const std::string good = gzip_member(GZ_FNAME | GZ_FHCRC, raw, plain, "", "f");
    auto flip = [](std::string s, size_t at) {
        s[at] = (char)(s[at] ^ 0x01);
        return s;
    };
    std::string bad_hcrc = good;
    bad_hcrc[10 + 2] ^= 0x40;   /* the header CRC, after the name "f" and its NUL */

    const BadCase cases[] = {
        {"17 bytes", 1, good.substr(0, 17), nullptr},
        {"18 bytes, empty middle", 1, good.substr(0, 10) + std::string(8, 0), "zlib: data error"},
        {"cut in the deflate stream", 1, good.substr(0, good.size() / 2), "zlib: unknown error 0"},
        {"cut in the trailer", 1, good.substr(0, good.size() - 3), "zlib: unknown error 0"},
        {"crc wrong", 1, flip(good, good.size() - 8), "zlib: data error"},
        {"length wrong", 1, flip(good, good.size() - 4), "zlib: data error"},
        {"bad magic", 1, flip(good, 1), "zlib: data error"},
        {"not deflate", 1, flip(good, 2), "zlib: data error"},
        {"reserved flag", 1, gzip_member(0x20, raw, plain), "zlib: data error"},
        {"header crc wrong", 1, bad_hcrc, "zlib: data error"},
        {"corrupt second member", 1, good + flip(good, good.size() - 8), "zlib: data error"},
        {"zlib stream for gzip", 1,
         python_bytes("out.write(zlib.compress(" + py_literal(plain) + "))"), "zlib: data error"},
        {"zlib stream cut", 0,
         python_bytes("out.write(zlib.compress(" + py_literal(plain) + ")[:-2])"),
         "zlib: unknown error 0"},
        {"zlib dictionary", 0,
         python_bytes("c = zlib.compressobj(zdict=b'the quick brown fox')\n"
                      "out.write(c.compress(" + py_literal(plain) + ") + c.flush())"),
         "zlib: dictionary error"},
        {"raw cut", 0, raw.substr(0, raw.size() - 5), "zlib: unknown error 0"},
        {"plain text as deflate", 0, "hello world, not compressed", "zlib: data error"},
        {"empty as deflate", 0, "", "zlib: buffer error"},
    };
    for (const BadCase &c : cases) {
        SCOPED_TRACE(c.what);
        test_log_clear();
        Filebuf buf;
        buf.content_type = strdup("text/plain");
        ASSERT_EQ(FILEBUF_OK, buf.Add(c.coded.data(), (int64_t)c.coded.size()));
        bool too_big = true;
        EXPECT_EQ(0, buf.Uncompress(c.gzip, &too_big));
        EXPECT_FALSE(too_big);
        EXPECT_EQ(c.coded, contents(buf));
        EXPECT_STREQ("text/plain", buf.content_type);
        if (c.log)
            EXPECT_TRUE(test_log_contains(c.log));
        else
            EXPECT_FALSE(test_log_contains("zlib"));
    }
}

/* The decoded size is bounded by the buffer's limit: exactly at it decodes,
 * one byte past it is refused as too big, for every framing. */
TEST(FilebufCoding, DecodedSizeLimitAtAndPast)
{
    const std::string plain = sample(100000, 5);
    const std::string raw = py_raw_deflate(plain);
    const struct {
        const char *what;
        int gzip;
        std::string coded;
    } framings[] = {
        {"gzip", 1, gzip_member(0, raw, plain)},
        {"two members", 1,
         gzip_member(0, py_raw_deflate(plain.substr(0, 60000)), plain.substr(0, 60000)) +
             gzip_member(0, py_raw_deflate(plain.substr(60000)), plain.substr(60000))},
        {"zlib", 0, python_bytes("out.write(zlib.compress(" + py_literal(plain) + "))")},
        {"raw", 0, raw},
    };
    for (const auto &f : framings) {
        SCOPED_TRACE(f.what);
        Filebuf at((int64_t)plain.size());
        ASSERT_EQ(FILEBUF_OK, at.Add(f.coded.data(), (int64_t)f.coded.size()));
        bool too_big = true;
        EXPECT_EQ(1, at.Uncompress(f.gzip, &too_big));
        EXPECT_FALSE(too_big);
        EXPECT_EQ(plain, contents(at));

        test_log_clear();
        Filebuf past((int64_t)plain.size() - 1);
        ASSERT_EQ(FILEBUF_OK, past.Add(f.coded.data(), (int64_t)f.coded.size()));
        EXPECT_EQ(0, past.Uncompress(f.gzip, &too_big));
        EXPECT_TRUE(too_big);
        EXPECT_EQ(f.coded, contents(past));
        EXPECT_TRUE(test_log_contains("decoded content over the limit of 99999 bytes"));
    }
}

/* A gigabyte of zeros in a megabyte of gzip stops at the limit, without
 * ever holding more than the limit. */
TEST(FilebufCoding, DecompressionBombRefused)
{
    const std::string bomb = python_bytes("c = zlib.compressobj(9, zlib.DEFLATED, 31)\n"
                                          "z = bytes(1 << 20)\n"
                                          "for i in range(1024):\n"
                                          "    out.write(c.compress(z))\n"
                                          "out.write(c.flush())");
    ASSERT_LT(bomb.size(), (size_t)2 << 20);
    Filebuf b(4 << 20);
    ASSERT_EQ(FILEBUF_OK, b.Add(bomb.data(), (int64_t)bomb.size()));
    bool too_big = false;
    EXPECT_EQ(0, b.Uncompress(1, &too_big));
    EXPECT_TRUE(too_big);
    EXPECT_EQ(bomb, contents(b));
    EXPECT_LE(b.capacity, 4 << 20);
}

/* A coded result over the limit is refused and the contents stay. */
TEST(FilebufCoding, CompressRespectsLimit)
{
    const std::string noise = sample(1000, 9);
    Filebuf b((int64_t)noise.size());
    ASSERT_EQ(FILEBUF_OK, b.Add(noise.data(), (int64_t)noise.size()));
    Filebuf probe;
    ASSERT_EQ(FILEBUF_OK, probe.Add(noise.data(), (int64_t)noise.size()));
    ASSERT_EQ(1, probe.Compress(1));

    b.set_limit(probe.size - 1);
    EXPECT_EQ(0, b.Compress(1));
    EXPECT_EQ(noise, contents(b));
    b.set_limit(probe.size);
    EXPECT_EQ(1, b.Compress(1));
    EXPECT_EQ(contents(probe), contents(b));
}

struct ZlibErrorCase {
    int code;
    const char *message;
};

TEST(FilebufCoding, ZlibErrorMessages)
{
    const ZlibErrorCase cases[] = {
        {Z_NEED_DICT, "zlib: dictionary error"}, {Z_BUF_ERROR, "zlib: buffer error"},
        {Z_MEM_ERROR, "zlib: memory error"},     {Z_DATA_ERROR, "zlib: data error"},
        {Z_STREAM_ERROR, "zlib: stream error"},  {Z_OK, "zlib: unknown error 0"},
        {Z_VERSION_ERROR, "zlib: unknown error -6"},
    };
    for (const ZlibErrorCase &c : cases) {
        SCOPED_TRACE(c.code);
        test_log_clear();
        Filebuf::zlib_error(c.code);
        EXPECT_TRUE(test_log_contains(c.message));
    }
}

/* ---------------------------------------------------- Decode and Encode */

namespace {

/* A connection with a request and a response header, freed as a whole. */
struct CodingConn {
    CONNECTION_T *conn;
    CodingConn() : conn(connection_new())
    {
        conn->header = header_new();
        conn->rheader = header_new();
    }
    ~CodingConn()
    {
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        conn->header = nullptr;
        conn->rheader = nullptr;
        connection_free(conn);
    }
};

std::string gzipped(const std::string &plain)
{
    Filebuf b;
    EXPECT_EQ(FILEBUF_OK, b.Add(plain.data(), (int64_t)plain.size()));
    EXPECT_EQ(1, b.Compress(1));
    return contents(b);
}

std::string deflated(const std::string &plain)
{
    Filebuf b;
    EXPECT_EQ(FILEBUF_OK, b.Add(plain.data(), (int64_t)plain.size()));
    EXPECT_EQ(1, b.Compress(0));
    return contents(b);
}

}  // namespace

struct DecodeCase {
    const char *encoding;
    std::string body;
    int rc;
    const char *log;   /* a line expected in the log, or NULL */
};

/* Decode follows the response's Content-Encoding, stacked codings last
 * first, and leaves the body and header untouched when it cannot. */
TEST(FilebufCoding, DecodeByContentEncoding)
{
    const std::string plain = sample(3000, 11);
    const DecodeCase cases[] = {
        {"gzip", gzipped(plain), 1, nullptr},
        {"GZip", gzipped(plain), 1, nullptr},
        {"x-gzip", gzipped(plain), 1, nullptr},
        {"deflate", deflated(plain), 1, nullptr},
        {" deflate ", python_bytes("out.write(zlib.compress(" + py_literal(plain) + "))"), 1,
         nullptr},
        {"identity", plain, 1, nullptr},
        {"deflate, gzip", gzipped(deflated(plain)), 1, nullptr},
        {"gzip,identity", gzipped(plain), 1, nullptr},
        {"br", gzipped(plain), 0, "unhandled content encoding: br"},
        {"gzip, br", gzipped(plain), 0, "unhandled content encoding: gzip, br"},
        {"gzip\x01x", gzipped(plain), 0, "unhandled content encoding: gzip\\x01x"},
        {"gzip", deflated(plain), 0, "failed to decompress gzip encoded content"},
        {"deflate", plain, 0, "failed to decompress deflate encoded content"},
        {"gzip, deflate", gzipped(deflated(plain)), 0, "failed to decompress deflate encoded content"},
    };
    for (const DecodeCase &c : cases) {
        SCOPED_TRACE(c.encoding);
        test_log_clear();
        CodingConn cc;
        header_field_set(&cc.conn->rheader->content_encoding, c.encoding);
        Filebuf b;
        ASSERT_EQ(FILEBUF_OK, b.Add(c.body.data(), (int64_t)c.body.size()));
        bool too_big = true;
        EXPECT_EQ(c.rc, b.Decode(cc.conn, &too_big));
        EXPECT_FALSE(too_big);
        EXPECT_EQ(c.rc ? plain : c.body, contents(b));
        EXPECT_STREQ(c.encoding, cc.conn->rheader->content_encoding);
        if (c.log) {
            EXPECT_TRUE(test_log_contains(c.log));
        }
    }

    /* A bomb is told apart from bad data. */
    CodingConn cc;
    header_field_set(&cc.conn->rheader->content_encoding, "gzip");
    Filebuf b((int64_t)plain.size() - 1);
    std::string coded = gzipped(plain);
    ASSERT_EQ(FILEBUF_OK, b.Add(coded.data(), (int64_t)coded.size()));
    bool too_big = false;
    EXPECT_EQ(0, b.Decode(cc.conn, &too_big));
    EXPECT_TRUE(too_big);
    EXPECT_EQ(coded, contents(b));

    /* No response header or no Content-Encoding: nothing to decode. */
    header_field_set(&cc.conn->rheader->content_encoding, nullptr);
    EXPECT_EQ(0, b.Decode(cc.conn));
    EXPECT_EQ(0, b.Decode(nullptr));
    EXPECT_EQ(coded, contents(b));
}

struct EncodeCase {
    const char *accept;
    int rc;
    const char *encoding;   /* the response's Content-Encoding afterwards */
};

/* EncodeFor picks gzip before deflate from the Accept-Encoding, codes the
 * body and labels the response. */
TEST(FilebufCoding, EncodeForAcceptEncoding)
{
    const std::string plain = sample(4000, 13);
    const EncodeCase cases[] = {
        {"gzip, deflate", 1, "gzip"},
        {"deflate, gzip;q=0.5", 1, "gzip"},
        {"DEFLATE", 1, "deflate"},
        {"br", 0, nullptr},
        {"", 0, nullptr},
    };
    for (const EncodeCase &c : cases) {
        SCOPED_TRACE(c.accept);
        CodingConn cc;
        Filebuf b;
        ASSERT_EQ(FILEBUF_OK, b.Add(plain.data(), (int64_t)plain.size()));
        EXPECT_EQ(c.rc, b.EncodeFor(c.accept, cc.conn->rheader));
        if (c.encoding)
            EXPECT_STREQ(c.encoding, cc.conn->rheader->content_encoding);
        else
            EXPECT_EQ(nullptr, cc.conn->rheader->content_encoding);

        /* Decoding by the label the response now carries gives the body back. */
        if (c.rc) {
            ASSERT_EQ(1, b.Decode(cc.conn));
        }
        EXPECT_EQ(plain, contents(b));
    }

    /* A coding that fails leaves body and header alone. */
    test_log_clear();
    CodingConn cc;
    Filebuf small(10);
    ASSERT_EQ(FILEBUF_OK, small.Add("0123456789", 10));
    EXPECT_EQ(0, small.EncodeFor("gzip", cc.conn->rheader));
    EXPECT_TRUE(test_log_contains("failed to gzip encoded file"));
    EXPECT_EQ(0, small.EncodeFor("deflate", cc.conn->rheader));
    EXPECT_TRUE(test_log_contains("failed to deflate encoded file"));
    EXPECT_EQ("0123456789", contents(small));
    EXPECT_EQ(nullptr, cc.conn->rheader->content_encoding);
}

/* With the general section's compress-out off (its default, and all there
 * is until the section has options) Encode codes nothing, whatever the
 * client accepts. */
TEST(FilebufCoding, EncodeOffWithoutCompressOut)
{
    CodingConn cc;
    header_field_set(&cc.conn->header->accept_encoding, "gzip, deflate");
    Filebuf b;
    ASSERT_EQ(FILEBUF_OK, b.Add("plain", 5));
    EXPECT_EQ(0, b.Encode(cc.conn));
    cc.conn->flags |= CONN_ASKED_ENCODING;
    EXPECT_EQ(0, b.Encode(cc.conn));
    EXPECT_EQ(0, b.Encode(nullptr));
    EXPECT_EQ("plain", contents(b));
    EXPECT_EQ(nullptr, cc.conn->rheader->content_encoding);
}
