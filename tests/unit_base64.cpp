/* Base64: RFC 4648 vectors both ways, the authentication-prompt forms, and
 * the decoder's refusal of malformed text and of output that does not fit. */
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "base64.h"

struct VectorCase { const char *plain; const char *encoded; };
static const VectorCase rfc4648_cases[] = {
    { "", "" },
    { "f", "Zg==" },
    { "fo", "Zm8=" },
    { "foo", "Zm9v" },
    { "foob", "Zm9vYg==" },
    { "fooba", "Zm9vYmE=" },
    { "foobar", "Zm9vYmFy" },
    { "Man", "TWFu" },
    { "M", "TQ==" },
    { "Aladdin:open sesame", "QWxhZGRpbjpvcGVuIHNlc2FtZQ==" },
};

static std::string encode(const std::string &plain)
{
    std::string out((size_t)base64_encoded_size((int64_t)plain.size()) + 1, 'x');
    to64frombits(&out[0], (const unsigned char *)plain.data(), (int64_t)plain.size());
    EXPECT_EQ('\0', out.back());
    out.pop_back();
    return out;
}

TEST(Base64, EncodesRfc4648Vectors)
{
    for (const VectorCase &c : rfc4648_cases) {
        SCOPED_TRACE(c.plain);
        EXPECT_EQ(c.encoded, encode(c.plain));
    }
}

TEST(Base64, DecodesRfc4648Vectors)
{
    for (const VectorCase &c : rfc4648_cases) {
        if (!*c.encoded)
            continue;   /* the empty text is refused, below */
        SCOPED_TRACE(c.encoded);
        char out[64];
        int64_t n = from64tobits(out, sizeof(out), c.encoded);
        ASSERT_EQ((int64_t)strlen(c.plain), n);
        EXPECT_EQ(0, memcmp(c.plain, out, (size_t)n));
        EXPECT_EQ('\0', out[n]);
    }
}

TEST(Base64, EncodesEveryByteValueAndRoundTrips)
{
    std::string all;
    for (int i = 255; i >= 0; i--)
        all += (char)i;
    for (size_t len = 1; len <= all.size(); len++) {   /* "" is refused: DecodeStops */
        SCOPED_TRACE(len);
        std::string plain = all.substr(0, len);
        std::string text = encode(plain);
        ASSERT_EQ(base64_encoded_size((int64_t)len), (int64_t)text.size());
        std::string out((size_t)base64_decoded_max((int64_t)text.size()) + 1, 'x');
        int64_t n = from64tobits(&out[0], (int64_t)out.size(), text.c_str());
        ASSERT_EQ((int64_t)len, n);
        EXPECT_EQ(plain, out.substr(0, len));
    }
}

struct DecodeCase { const char *text; int64_t rc; const char *bytes; };
static const DecodeCase decode_cases[] = {
    { "+ TWFu", 3, "Man" },             /* continuation prompt skipped */
    { "\r\n", 0, "" },                  /* starts with a carriage return */
    { "+ \r\n", 0, "" },
    { "TWFu\r\nTWFu", 3, "Man" },       /* stops at the carriage return */
    { "TQ==TWFu", 1, "M" },             /* stops after the padded group */
    { "TWE=garbage*", 2, "Ma" },
    { "AAAA", 3, "\0\0\0" },            /* zero bytes are data */
    { "", BASE64_BAD, nullptr },
    { "TW*u", BASE64_BAD, nullptr },
    { "*", BASE64_BAD, nullptr },
    { "TWF", BASE64_BAD, nullptr },     /* short group */
    { "TWFuTQ", BASE64_BAD, nullptr },
    { "TQ=A", BASE64_BAD, nullptr },    /* data after padding in a group */
    { "=AAA", BASE64_BAD, nullptr },
    { "T===", BASE64_BAD, nullptr },
    { "TW\r\n", BASE64_BAD, nullptr },  /* carriage return inside a group */
    { "TWFu\n", BASE64_BAD, nullptr },  /* a bare newline is not an end */
    { "+TWFu", BASE64_BAD, nullptr },   /* "+" without the blank is data */
    { "TWFu TWFu", BASE64_BAD, nullptr },
    { "TW\xc3\xa9", BASE64_BAD, nullptr },
};

TEST(Base64, DecodeStopsAndRefusals)
{
    for (const DecodeCase &c : decode_cases) {
        SCOPED_TRACE(c.text);
        char out[16];
        memset(out, 'x', sizeof(out));
        int64_t n = from64tobits(out, sizeof(out), c.text);
        ASSERT_EQ(c.rc, n);
        if (n >= 0) {
            EXPECT_EQ(0, memcmp(c.bytes, out, (size_t)n));
            EXPECT_EQ('\0', out[n]);
        } else {
            EXPECT_EQ('x', out[0]);     /* nothing written */
        }
    }
}

struct LimitCase { const char *text; int64_t out_size; int64_t rc; };
static const LimitCase limit_cases[] = {
    { "TWFu", 4, 3 },                   /* 3 bytes and the terminator: at the limit */
    { "TWFu", 3, BASE64_TOO_LONG },     /* one byte short */
    { "TQ==", 2, 1 },
    { "TQ==", 1, BASE64_TOO_LONG },
    { "\r", 1, 0 },
    { "\r", 0, BASE64_TOO_LONG },
    { "TWFuTWFu", 7, 6 },
    { "TWFuTWFu", 6, BASE64_TOO_LONG },
    { "TW*u", 0, BASE64_BAD },          /* malformed wins over size */
};

TEST(Base64, OutputSizeLimit)
{
    for (const LimitCase &c : limit_cases) {
        SCOPED_TRACE(std::string(c.text) + " into " + std::to_string(c.out_size));
        char out[16];
        memset(out, 'x', sizeof(out));
        EXPECT_EQ(c.rc, from64tobits(out, c.out_size, c.text));
        if (c.rc < 0) {
            EXPECT_EQ('x', out[0]);
        }
    }
}

TEST(Base64, LongUntrustedTextStaysInsideTheBuffer)
{
    /* 40000 characters into a 4096-byte buffer: refused before any write;
     * with a buffer sized by base64_decoded_max it decodes fully. */
    std::string text;
    for (int i = 0; i < 10000; i++)
        text += "QUJD";
    std::string small(4096, 'x');
    EXPECT_EQ(BASE64_TOO_LONG, from64tobits(&small[0], (int64_t)small.size(), text.c_str()));
    EXPECT_EQ(std::string(4096, 'x'), small);

    std::string big((size_t)base64_decoded_max((int64_t)text.size()) + 1, 'x');
    ASSERT_EQ(30000, from64tobits(&big[0], (int64_t)big.size(), text.c_str()));
    EXPECT_EQ("ABCABC", big.substr(0, 6));
}

TEST(Base64, SizeHelpers)
{
    EXPECT_EQ(0, base64_encoded_size(0));
    EXPECT_EQ(4, base64_encoded_size(1));
    EXPECT_EQ(4, base64_encoded_size(3));
    EXPECT_EQ(8, base64_encoded_size(4));
    EXPECT_EQ(-1, base64_encoded_size(-1));
    EXPECT_EQ(-1, base64_encoded_size(INT64_MAX));
    EXPECT_EQ(INT64_MAX / 4 * 4, base64_encoded_size(INT64_MAX / 4 * 3));
    EXPECT_EQ(-1, base64_encoded_size(INT64_MAX / 4 * 3 + 1));
    EXPECT_EQ(0, base64_decoded_max(3));
    EXPECT_EQ(3, base64_decoded_max(4));
    EXPECT_EQ(3, base64_decoded_max(7));
}
