/* The Blowfish token cipher: the block cipher against the published test
 * vectors, the token layout, the three-slot schedule cache, and tokens
 * computed on several threads at once. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "blowfish.h"

static std::string hex_bytes(const char *hex)
{
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += (char)strtoul(std::string(hex + i, 2).c_str(), nullptr, 16);
    return out;
}

static void encipher_hex(const char *key_hex, const char *plain_hex, uint32_t *left,
                         uint32_t *right)
{
    std::string key = hex_bytes(key_hex);
    ASSERT_EQ(0, blowfish_init(key.data(), key.size(), 0));
    std::string plain = hex_bytes(plain_hex);
    ASSERT_EQ(8u, plain.size());
    const unsigned char *p = (const unsigned char *)plain.data();
    *left = (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
    *right = (uint32_t)p[4] << 24 | (uint32_t)p[5] << 16 | (uint32_t)p[6] << 8 | p[7];
    blowfish_encipher(left, right);
}

struct VectorCase { const char *key; const char *plain; uint32_t left, right; };
static const VectorCase vector_cases[] = {
    /* ECB vectors with 8-byte keys */
    { "0000000000000000", "0000000000000000", 0x4EF99745, 0x6198DD78 },
    { "FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", 0x51866FD5, 0xB85ECB8A },
    { "3000000000000000", "1000000000000001", 0x7D856F9A, 0x613063F2 },
    { "1111111111111111", "1111111111111111", 0x2466DD87, 0x8B963C9D },
    { "0123456789ABCDEF", "1111111111111111", 0x61F9C380, 0x2281B096 },
    { "1111111111111111", "0123456789ABCDEF", 0x7D0CC630, 0xAFDA1EC7 },
    { "FEDCBA9876543210", "0123456789ABCDEF", 0x0ACEAB0F, 0xC6A0A28D },
    { "7CA110454A1A6E57", "01A1D6D039776742", 0x59C68245, 0xEB05282B },
    /* key lengths 1 to 24 bytes: the key bytes are taken cyclically */
    { "F0", "FEDCBA9876543210", 0xF9AD597C, 0x49DB005E },
    { "F0E1", "FEDCBA9876543210", 0xE91D21C1, 0xD961A6D6 },
    { "F0E1D2C3", "FEDCBA9876543210", 0xBE1E6394, 0x08640F05 },
    { "F0E1D2C3B4A5968778", "FEDCBA9876543210", 0x15750E7A, 0x4F4EC577 },
    { "F0E1D2C3B4A5968778695A4B3C2D1E0F", "FEDCBA9876543210", 0x93142887, 0xEE3BE15C },
    { "F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210",
      0x05044B62, 0xFA52D080 },
};

TEST(Blowfish, PublishedVectors)
{
    for (const VectorCase &c : vector_cases) {
        SCOPED_TRACE(std::string(c.key) + " / " + c.plain);
        uint32_t left = 0, right = 0;
        encipher_hex(c.key, c.plain, &left, &right);
        EXPECT_EQ(c.left, left);
        EXPECT_EQ(c.right, right);
        blowfish_decipher(&left, &right);
        std::string plain = hex_bytes(c.plain);
        const unsigned char *p = (const unsigned char *)plain.data();
        EXPECT_EQ((uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3], left);
    }
}

TEST(Blowfish, TokenLayoutMatchesVector)
{
    /* Key 0123456789ABCDEF on eight 0x11 bytes enciphers to 61F9C380
     * 2281B096; the token writes right, then left, six 6-bit digits each
     * from the least significant up. */
    std::string key = hex_bytes("0123456789ABCDEF");
    char *token = blowfish_encrypt(key.c_str(), "\x11\x11\x11\x11\x11\x11\x11\x11");
    ASSERT_NE(nullptr, token);
    EXPECT_STREQ("k0puw..cqYv/", token);
    char *plain = blowfish_decrypt(key.c_str(), token);
    EXPECT_STREQ("\x11\x11\x11\x11\x11\x11\x11\x11", plain);
    free(plain);
    free(token);
}

struct LengthCase { size_t text_chars; size_t token_chars; };
static const LengthCase length_cases[] = {
    { 0, 0 }, { 1, 12 }, { 7, 12 }, { 8, 12 }, { 9, 24 }, { 16, 24 }, { 17, 36 }, { 1023, 1536 },
};

TEST(Blowfish, TokenLengthAndRoundTrip)
{
    const char *alphabet = "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    for (const LengthCase &c : length_cases) {
        SCOPED_TRACE(c.text_chars);
        std::string text;
        for (size_t i = 0; i < c.text_chars; i++)
            text += (char)('a' + i % 26);
        char *token = blowfish_encrypt("admin:secret", text.c_str());
        ASSERT_NE(nullptr, token);
        EXPECT_EQ(c.token_chars, strlen(token));
        EXPECT_EQ(strlen(token), strspn(token, alphabet));
        char *plain = blowfish_decrypt("admin:secret", token);
        EXPECT_EQ(text, plain);
        free(plain);
        free(token);
    }
}

TEST(Blowfish, TokenDependsOnKeyAndText)
{
    char *a = blowfish_encrypt("admin:secret", "admin:secret");
    char *b = blowfish_encrypt("admin:secreT", "admin:secret");
    char *c = blowfish_encrypt("admin:secret", "admin:secreT");
    EXPECT_STRNE(a, b);
    EXPECT_STRNE(a, c);
    free(a);
    free(b);
    free(c);
    EXPECT_EQ(nullptr, blowfish_encrypt("", "text"));
    EXPECT_EQ(nullptr, blowfish_decrypt("", "k0puw..cqYv/"));
    EXPECT_EQ(-1, blowfish_init("", 0, 0));
}

TEST(Blowfish, DecryptIgnoresShortGroupAndStrangeCharacters)
{
    char *token = blowfish_encrypt("k", "12345678abc");
    ASSERT_EQ(24u, strlen(token));
    std::string cut(token, 23);
    char *plain = blowfish_decrypt("k", cut.c_str());
    EXPECT_STREQ("12345678", plain);
    free(plain);
    plain = blowfish_decrypt("k", "~~~~~~~~~~~~");   /* all digits read as 0 */
    ASSERT_NE(nullptr, plain);
    free(plain);
    free(token);
    EXPECT_EQ(0, base64dec('~'));
    EXPECT_EQ(0, base64dec('.'));
    EXPECT_EQ(63, base64dec('Z'));
}

TEST(Blowfish, ScheduleCacheKeepsThreeKeysAndReplacesSlotZero)
{
    blowfish_cache_clear();
    uint64_t before = blowfish_schedules_computed();
    char *first = blowfish_encrypt("alpha", "text");
    free(blowfish_encrypt("beta", "text"));
    free(blowfish_encrypt("gamma", "text"));
    EXPECT_EQ(before + 3, blowfish_schedules_computed());
    EXPECT_EQ(0, blowfish_cached_slot("alpha", 5));
    EXPECT_EQ(1, blowfish_cached_slot("beta", 4));
    EXPECT_EQ(2, blowfish_cached_slot("gamma", 5));

    /* A key seen before is served from the cache, with the same token. */
    char *again = blowfish_encrypt("alpha", "text");
    EXPECT_EQ(before + 3, blowfish_schedules_computed());
    EXPECT_STREQ(first, again);
    free(again);

    /* A fourth key takes slot 0; the others stay. */
    free(blowfish_encrypt("delta", "text"));
    EXPECT_EQ(before + 4, blowfish_schedules_computed());
    EXPECT_EQ(0, blowfish_cached_slot("delta", 5));
    EXPECT_EQ(-1, blowfish_cached_slot("alpha", 5));
    EXPECT_EQ(1, blowfish_cached_slot("beta", 4));

    /* alpha is computed again and gives the same token. */
    again = blowfish_encrypt("alpha", "text");
    EXPECT_EQ(before + 5, blowfish_schedules_computed());
    EXPECT_STREQ(first, again);
    free(again);
    free(first);
}

TEST(Blowfish, LongKeysKeepTheirOwnSlots)
{
    /* Two 100-character keys that differ only at the end: the schedule uses
     * the first 72 bytes (as standard Blowfish does), but the cache tells
     * them apart and the tokens differ because the texts do. */
    blowfish_cache_clear();
    std::string k1(100, 'k'), k2(100, 'k');
    k2[99] = 'x';
    char *t1 = blowfish_encrypt(k1.c_str(), k1.c_str());
    char *t2 = blowfish_encrypt(k2.c_str(), k2.c_str());
    EXPECT_EQ(0, blowfish_cached_slot(k1.c_str(), k1.size()));
    EXPECT_EQ(1, blowfish_cached_slot(k2.c_str(), k2.size()));
    EXPECT_EQ(-1, blowfish_cached_slot(k1.c_str(), 81));
    EXPECT_STRNE(t1, t2);
    EXPECT_EQ(0, strncmp(t1, t2, 12 * 12));   /* first 96 bytes of text agree */
    free(t1);
    free(t2);
}

TEST(Blowfish, ConcurrentTokensAreCorrect)
{
    /* Five keys on four threads evict each other's cache slots all the time;
     * every token must still equal the one computed alone. */
    const char *keys[] = { "u1:p1", "u2:p2", "u3:p3", "u4:p4", "u5:p5" };
    std::vector<std::string> expected;
    for (const char *k : keys) {
        char *t = blowfish_encrypt(k, "the same text for everyone");
        expected.push_back(t);
        free(t);
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < 2000; i++) {
                int k = (i + t) % 5;
                char *token = blowfish_encrypt(keys[k], "the same text for everyone");
                if (expected[k] != token)
                    wrong[t]++;
                free(token);
            }
        });
    }
    for (std::thread &th : threads)
        th.join();
    for (int t = 0; t < 4; t++)
        EXPECT_EQ(0, wrong[t]) << "thread " << t;
}
