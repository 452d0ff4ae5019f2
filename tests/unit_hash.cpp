/* The string hash table and its key function, which also names the cache's
 * index buckets and store directories and so must never change. */
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <ctime>

#include "hash.h"

struct KeyCase { unsigned size; const char *key; unsigned bucket; };
static const KeyCase key_cases[] = {
    { 10, "", 0 },
    { 104729, "", 0 },
    { 10, "a", 1 },                 /* 20*97 + 24 + 6 + 8111 = 10081 */
    { 256, "a", 10081 % 256 },
    { 1000000, "ab", (10081 + 20 * 98 + 24 + 6 + 8111) % 1000000 },
    /* a byte above 127 counts as negative: c = -1 gives -20 - 1 - 1 + 8111 */
    { 100000, "\xff", 8089 },
};

TEST(Hash, KeyValues)
{
    for (const KeyCase &c : key_cases) {
        SCOPED_TRACE(c.key);
        EXPECT_EQ(c.bucket, hash_key(c.size, c.key));
    }
}

TEST(Hash, KeySumWrapsModulo32Bits)
{
    /* 600000 letters 'z' sum to more than 2^32: the sum wraps, unsigned. */
    std::string key(600000, 'z');
    uint32_t sum = 0;
    for (size_t i = 0; i < key.size(); i++)
        sum += 20 * 122 + (122 >> 2) + (122 >> 4) + 8111;
    EXPECT_EQ(sum % 104729u, hash_key(104729, key.c_str()));
}

TEST(Hash, InsertKeepsFirstValueAndFreesSecond)
{
    HASH_TABLE *t = hash_create(7);
    HASH_LIST *first = hash_insert(t, "Host", strdup("one"));
    HASH_LIST *again = hash_insert(t, "Host", strdup("two"));   /* freed, or ASan reports a leak */
    EXPECT_EQ(first, again);
    EXPECT_STREQ("one", (const char *)again->value);
    EXPECT_EQ(nullptr, hash_insert(t, nullptr, nullptr));
    EXPECT_EQ(nullptr, hash_search(t, nullptr));
    hash_destroy(t);
}

TEST(Hash, CaseInsensitiveOnlyWithinOneBucket)
{
    /* With one bucket every key shares the chain, so case never matters. */
    HASH_TABLE *one = hash_create(1);
    hash_insert(one, "Example.COM", strdup("x"));
    EXPECT_NE(nullptr, hash_search(one, "example.com"));
    hash_destroy(one);

    /* With many buckets the differently cased spelling lands elsewhere. */
    HASH_TABLE *many = hash_create(8111);
    ASSERT_NE(hash_key(8111, "Example.COM"), hash_key(8111, "example.com"));
    hash_insert(many, "Example.COM", strdup("x"));
    EXPECT_EQ(nullptr, hash_search(many, "example.com"));
    EXPECT_NE(nullptr, hash_search(many, "Example.COM"));
    hash_destroy(many);
}

TEST(Hash, PurgeAndChainOrder)
{
    HASH_TABLE *t = hash_create(1);
    hash_insert(t, "a", strdup("1"));
    hash_insert(t, "b", strdup("2"));
    hash_insert(t, "c", strdup("3"));
    hash_purge(t, "B");
    hash_purge(t, "missing");
    hash_purge(t, nullptr);
    ASSERT_NE(nullptr, t->table[0]);
    EXPECT_STREQ("a", t->table[0]->key);
    EXPECT_STREQ("c", t->table[0]->next->key);
    EXPECT_EQ(nullptr, t->table[0]->next->next);
    hash_destroy(t);
}

TEST(Hash, ExpireRemovesExactlyAtTheAge)
{
    HASH_TABLE *t = hash_create(3);
    time_t now = time(nullptr);
    hash_insert(t, "old", strdup("x"))->time = now - 600;
    hash_insert(t, "young", strdup("y"))->time = now - 598;   /* a second of slack for the clock */
    hash_insert(t, "zero", strdup("z"));                       /* time 0: long expired */
    EXPECT_EQ(2, hash_expire(t, 600));
    EXPECT_EQ(nullptr, hash_search(t, "old"));
    EXPECT_EQ(nullptr, hash_search(t, "zero"));
    EXPECT_NE(nullptr, hash_search(t, "young"));
    hash_destroy(t);
}
