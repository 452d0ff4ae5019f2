/* Configuration value types: the text parsers, lists, couples, option
 * lookup, address ranges and port ranges, each with its limits. */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "configtypes.h"
#include "test_support.h"

/* ok false means ConfigError is expected. */
struct IntCase { const char *in; bool ok; long long out; };

TEST(ConfigTypes, StringToInt)
{
    static const IntCase cases[] = {
        { "", true, 0 },
        { "42", true, 42 },
        { " 42", true, 42 },
        { "+7", true, 7 },
        { "-2147483648", true, INT32_MIN },
        { "2147483647", true, INT32_MAX },
        { "2147483648", true, INT32_MAX },            /* clamped */
        { "-99999999999999999999", true, INT32_MIN }, /* clamped */
        { "42 ", false, 0 },
        { "4x", false, 0 },
        { " ", false, 0 },
        { "-", false, 0 },
        { "0x10", false, 0 },
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.in);
        if (c.ok)
            EXPECT_EQ(c.out, string_to_int(c.in));
        else
            EXPECT_THROW(string_to_int(c.in), ConfigError);
    }
    /* A zero byte inside the text is trailing garbage, not an end. */
    EXPECT_THROW(string_to_int(std::string("1\0" "2", 3)), ConfigError);
}

TEST(ConfigTypes, StringToUint)
{
    static const IntCase cases[] = {
        { "", true, 0 },
        { "4294967295", true, 4294967295LL },
        { "4294967296", true, 4294967295LL },   /* clamped */
        { "-1", true, 4294967295LL },           /* modulo 2^32 */
        { "-2", true, 4294967294LL },
        { "-4294967296", true, 4294967295LL },  /* beyond 32 bits: clamped */
        { " 12", true, 12 },
        { "12 ", false, 0 },
        { "x", false, 0 },
        { "-", false, 0 },
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.in);
        if (c.ok)
            EXPECT_EQ((unsigned)c.out, string_to_uint(c.in));
        else
            EXPECT_THROW(string_to_uint(c.in), ConfigError);
    }
}

TEST(ConfigTypes, StringToDouble)
{
    EXPECT_EQ(0.0, string_to_double(""));
    EXPECT_EQ(1.5, string_to_double(" 1.5"));
    EXPECT_EQ(-250.0, string_to_double("-2.5e2"));
    EXPECT_THROW(string_to_double("1.5 "), ConfigError);
    EXPECT_THROW(string_to_double("abc"), ConfigError);
}

struct SizeCase { const char *in; bool ok; uint64_t size; };

TEST(ConfigTypes, FileSizes)
{
    /* Both forms read 64 bits: "5G" is 5368709120, never wrapped. */
    static const SizeCase cases[] = {
        { "120", true, 120 },
        { "10K", true, 10240 },
        { "10 kb", true, 10240 },
        { "10 k more words", true, 10240 },
        { "1M", true, 1048576 },
        { "1 MBIT", true, 1048576 },
        { "2gbit", true, 2147483648ull },
        { "5G", true, 5368709120ull },
        { "4294967295", true, 4294967295ull },
        { "4294967296", true, 4294967296ull },
        { "17179869183G", true, 17179869183ull << 30 },   /* 64-bit limit */
        { "", false, 0 },
        { "K", false, 0 },
        { "10kbytes", false, 0 },
        { "10 t", false, 0 },
    };
    for (const SizeCase &c : cases) {
        SCOPED_TRACE(c.in);
        if (c.ok) {
            EXPECT_EQ(c.size, string_to_filesize(c.in));
            EXPECT_EQ(c.size, string_to_longfilesize(c.in));
        } else {
            EXPECT_THROW(string_to_filesize(c.in), ConfigError);
            EXPECT_THROW(string_to_longfilesize(c.in), ConfigError);
        }
    }
    EXPECT_THROW(string_to_filesize("17179869184G"), ConfigError);
    /* One past the 64-bit limit is refused rather than wrapped. */
    EXPECT_THROW(string_to_longfilesize("17179869184G"), ConfigError);
    EXPECT_THROW(string_to_longfilesize("18446744073709551616"), ConfigError);
    EXPECT_EQ(UINT64_MAX, string_to_longfilesize("18446744073709551615"));
}

struct SplitCase { const char *in; std::vector<std::string> items; };

TEST(ConfigTypes, StringListSplit)
{
    static const SplitCase cases[] = {
        { "", {} },
        { "a", { "a" } },
        { "a,b,", { "a", "b" } },
        { ",", { "" } },
        { ",a", { "", "a" } },
        { "a,,b", { "a", "", "b" } },
        { "a, b", { "a", " b" } },   /* nothing is trimmed */
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(c.in);
        StringList list(c.in, ',');
        EXPECT_EQ(c.items, std::vector<std::string>(list.begin(), list.end()));
    }
}

TEST(ConfigTypes, StringListHasIsExact)
{
    StringList list("allow,deny", ',');
    EXPECT_TRUE(list.has("allow"));
    EXPECT_FALSE(list.has("Allow"));
    EXPECT_FALSE(list.has("allo"));

    test_log_clear();
    EXPECT_EQ(1, list.show_p("Added", "staff"));
    EXPECT_TRUE(test_log_contains("Added Profile: staff"));
}

TEST(ConfigTypes, Couple)
{
    Couple c("1,2");
    EXPECT_EQ("1", c.first());
    EXPECT_EQ("2", c.second());
    EXPECT_NO_THROW(Couple("1,2,"));
    EXPECT_THROW(Couple("1"), ConfigError);
    EXPECT_THROW(Couple("1,2,3"), ConfigError);
    EXPECT_THROW(Couple(""), ConfigError);
}

TEST(ConfigTypes, SelectCaseIndexof)
{
    StringSelectVector v;
    v.emplace_back("block", "Block", "", true);
    v.emplace_back("none", "None", "", true);
    EXPECT_EQ(1, v.case_indexof("NONE"));
    EXPECT_EQ(0, v.case_indexof("block"));
    EXPECT_THROW(v.case_indexof("non"), ConfigError);
    v.reset();
    EXPECT_FALSE(v[0].selected);
    EXPECT_FALSE(v[1].selected);
}

TEST(ConfigTypes, AddressToInt)
{
    static const IntCase cases[] = {
        { "10.0.0.1", true, 167772161 },
        { "10..0.1", true, 167772161 },          /* an empty piece is 0 */
        { "  10.0.0.1", true, 167772161 },
        { "10.0.0.1.", true, 167772161 },        /* a trailing dot adds no piece */
        { "255.255.255.255", true, 4294967295LL },
        { "0.0.0.0", true, 0 },
        { "10.0.0", false, 0 },
        { "10.0.0.256", false, 0 },
        { "10.0.0.-1", false, 0 },
        { "10.0.0.1 ", false, 0 },
        { "1.2.3.4.5", false, 0 },
        { "", false, 0 },
    };
    for (const IntCase &c : cases) {
        SCOPED_TRACE(c.in);
        if (c.ok)
            EXPECT_EQ((uint32_t)c.out, address_to_int(c.in));
        else
            EXPECT_THROW(address_to_int(c.in), ConfigError);
    }
}

struct RangeCase { const char *list; const char *address; bool has; };

TEST(ConfigTypes, IpRangeList)
{
    static const RangeCase cases[] = {
        { "", "1.2.3.4", true },                                 /* empty matches all */
        { "10.0.0.0-10.255.255.255", "10.1.2.3", true },
        { "10.0.0.0-10.255.255.255", "11.0.0.0", false },
        { "10.0.0.0-10.255.255.255", "10.255.255.255", true },   /* inclusive */
        { "10.0.0.5-10.0.0.1", "10.0.0.3", false },              /* reversed: nothing */
        { "128.0.0.0-255.255.255.255", "200.1.1.1", true },      /* unsigned */
        { "-10.0.0.0", "0.0.0.1", true },                        /* open low end */
        { "200.0.0.0-", "255.255.255.255", true },               /* open high end */
        { "1.1.1.1, 2.2.2.2", "2.2.2.2", true },                 /* blank after comma */
        { "1.1.1.1", "1.1.1.2", false },
        /* An address from a peer that is not one is in no range, and the
         * test never throws. */
        { "", "not-an-address", true },                          /* empty list: all */
        { "-", "999.1.1.1", false },
        { "10.0.0.0-10.255.255.255", "10.1.2", false },
        { "10.0.0.0-10.255.255.255", "10.1.2.3, 10.1.2.4", false },
        { "10.0.0.0-10.255.255.255", "", false },
    };
    for (const RangeCase &c : cases) {
        SCOPED_TRACE(std::string(c.list) + " / " + c.address);
        IpRangeList list(c.list);
        EXPECT_EQ(c.list, list.text);
        EXPECT_EQ(c.has, list.has(c.address));
    }
    EXPECT_FALSE(IpRange("").has("unknown"));
    EXPECT_FALSE(IpRange("").has(nullptr));
    EXPECT_TRUE(IpRange("").has("0.0.0.0"));
    EXPECT_THROW(IpRangeList("1.1.1.1 ,2.2.2.2"), ConfigError);
    EXPECT_THROW(IpRangeList("1.1.1.1 -2.2.2.2"), ConfigError);
    EXPECT_THROW(IpRangeList("1.1.1"), ConfigError);

    IpRange all("");
    EXPECT_EQ("0.0.0.0", all.low_text);
    EXPECT_EQ("255.255.255.255", all.high_text);
    EXPECT_EQ(0u, all.low);
    EXPECT_EQ(UINT32_MAX, all.high);
}

TEST(ConfigTypes, PortRanges)
{
    struct PortCase { const char *in; bool ok; int low; int high; };
    static const PortCase cases[] = {
        { "1", true, 1, 1 },
        { "65535", true, 65535, 65535 },
        { "80-90", true, 80, 90 },
        { "90-80", true, 90, 80 },   /* accepted, holds nothing */
        { "0", false, 0, 0 },
        { "65536", false, 0, 0 },
        { "80-", false, 0, 0 },
        { "-80", false, 0, 0 },
        { "", false, 0, 0 },
        { "8o", false, 0, 0 },
    };
    for (const PortCase &c : cases) {
        SCOPED_TRACE(c.in);
        if (c.ok) {
            PortRange r(c.in);
            EXPECT_EQ(c.low, r.low);
            EXPECT_EQ(c.high, r.high);
        } else {
            EXPECT_THROW(PortRange r(c.in), ConfigError);
        }
    }

    EXPECT_TRUE(PortRangeList("").has(1));
    PortRangeList list("443,8000-8080");
    EXPECT_TRUE(list.has(443));
    EXPECT_TRUE(list.has(8080));
    EXPECT_FALSE(list.has(8081));
    EXPECT_FALSE(PortRangeList("90-80").has(85));
    EXPECT_THROW(PortRangeList("80,,443"), ConfigError);
}
