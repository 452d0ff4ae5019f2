/* The compact domain list of the URL blacklist: random entries, added in
 * one or several batches, read back as an ordered map of domains to their
 * prefixes would hold them (a domain listed whole keeps no prefix, prefixes
 * stay in the order added, duplicates included), through lookups and
 * through iteration in ascending byte order. */
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "domainlist.h"

namespace {

/* The reference: what the entries mean, in the simplest form. */
using Reference = std::map<std::string, std::vector<std::string>>;

void reference_add(Reference &ref, std::map<std::string, bool> &whole, const std::string &domain,
                   const std::string *prefix)
{
    if (!prefix) {
        whole[domain] = true;
        ref[domain].clear();
        return;
    }
    if (whole[domain])
        return;
    ref[domain].push_back(*prefix);
}

std::vector<std::string> prefixes_of(DomainPrefixes prefixes)
{
    std::vector<std::string> out;
    for (std::string_view p : prefixes)
        out.emplace_back(p);
    return out;
}

} // namespace

TEST(DomainList, MatchesAnOrderedMap)
{
    std::mt19937 engine(7);
    auto below = [&](size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(engine); };
    static const char *const labels[] = { "a", "b", "ab", "example", "com", "", "x-y", "Z" };
    static const char *const paths[] = { "", "/", "/ads", "/ADS/x", "/a/b/c" };
    for (int round = 0; round < 50; round++) {
        DomainList list;
        Reference ref;
        std::map<std::string, bool> whole;
        size_t batches = 1 + below(3);
        for (size_t b = 0; b < batches; b++) {
            /* A "domains" file, then a "urls" file, as the loader reads them. */
            size_t entries = below(60);
            for (size_t i = 0; i < entries; i++) {
                std::string domain = std::string(labels[below(8)]) + "." + labels[below(8)];
                if (below(3) == 0) {
                    ASSERT_TRUE(list.add_whole(domain));
                    reference_add(ref, whole, domain, nullptr);
                } else {
                    std::string prefix = paths[below(5)];
                    ASSERT_TRUE(list.add_prefix(domain, prefix));
                    reference_add(ref, whole, domain, &prefix);
                }
            }
            list.finish();
        }
        ASSERT_EQ(ref.size(), list.size());
        Reference walked;
        std::string last;
        bool first = true;
        for (const auto &entry : list) {
            std::string domain(entry.first);
            EXPECT_TRUE(first || last < domain) << last << " before " << domain;
            first = false;
            last = domain;
            walked[domain] = prefixes_of(entry.second);
        }
        EXPECT_EQ(ref, walked);
        for (const auto &entry : ref) {
            DomainPrefixes prefixes;
            ASSERT_TRUE(list.find(entry.first, &prefixes)) << entry.first;
            EXPECT_EQ(entry.second, prefixes_of(prefixes));
        }
        EXPECT_FALSE(list.find("no.such", nullptr));
        EXPECT_EQ(0u, list.count("example"));
        EXPECT_THROW(list.at("no.such"), std::out_of_range);
    }
}

/* Texts over the limit are refused, not cut; an empty list finds nothing. */
TEST(DomainList, Limits)
{
    DomainList list;
    EXPECT_FALSE(list.find("", nullptr));
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(list.add_whole(std::string(DOMAINLIST_TEXT_MAX + 1, 'a')));
    EXPECT_FALSE(list.add_prefix("a.test", std::string(DOMAINLIST_TEXT_MAX + 1, '/')));
    EXPECT_TRUE(list.add_whole(""));
    list.finish();
    EXPECT_EQ(1u, list.size());
    EXPECT_TRUE(list.at("").empty());
    list.clear();
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(list.find("", nullptr));
}
