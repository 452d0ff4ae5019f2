#pragma once

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

/* The longest domain or path prefix a DomainList holds (longer ones are
 * refused by add_whole and add_prefix). */
#define DOMAINLIST_TEXT_MAX 65535
/* The most bytes one list's entries may take. */
#define DOMAINLIST_ARENA_MAX ((int64_t)UINT32_MAX - 1)

/* The path prefixes of one listed domain, in the order they were added;
 * none: the domain is listed as a whole. A view into its DomainList, valid
 * while the list is not changed. */
class DomainPrefixes {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::string_view;
        using difference_type = std::ptrdiff_t;
        using pointer = const std::string_view *;
        using reference = std::string_view;

        const_iterator(const char *at, uint32_t left) : at(at), left(left) {}
        std::string_view operator*() const;
        const_iterator &operator++();
        bool operator==(const const_iterator &other) const { return left == other.left; }
        bool operator!=(const const_iterator &other) const { return left != other.left; }

    private:
        const char *at;
        uint32_t left;
    };

    DomainPrefixes() = default;
    DomainPrefixes(const char *first, uint32_t count) : first(first), count(count) {}
    bool empty() const { return count == 0; }
    size_t size() const { return count; }
    const_iterator begin() const { return const_iterator(first, count); }
    const_iterator end() const { return const_iterator(nullptr, 0); }

private:
    const char *first = nullptr;
    uint32_t count = 0;
};

/*
 * The domains of one blacklist category, each listed as a whole or for
 * some path prefixes, in one block of memory: entries are added in file
 * order, then finish() sorts them into one arena (each domain once, its
 * prefixes after it) and builds an open hash of offsets over it. No
 * allocation per entry; a lookup is a hash and one comparison; iteration is
 * in ascending byte order of the domains.
 */
class DomainList {
public:
    class const_iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = std::pair<std::string_view, DomainPrefixes>;
        using difference_type = std::ptrdiff_t;
        using pointer = const value_type *;
        using reference = value_type;

        const_iterator(const DomainList *list, uint64_t offset) : list(list), offset(offset) {}
        value_type operator*() const { return list->entry_at(offset); }
        const_iterator &operator++()
        {
            offset = list->entry_end(offset);
            return *this;
        }
        bool operator==(const const_iterator &other) const { return offset == other.offset; }
        bool operator!=(const const_iterator &other) const { return offset != other.offset; }

    private:
        const DomainList *list;
        uint64_t offset;
    };

    /* While loading: the domain listed as a whole, or listed for the path
     * prefix (a domain also listed whole keeps no prefix). False when the
     * entry is refused: a text over DOMAINLIST_TEXT_MAX bytes, or the list
     * full (DOMAINLIST_ARENA_MAX). */
    bool add_whole(std::string_view domain);
    bool add_prefix(std::string_view domain, std::string_view prefix);
    /* Sorts what was added into the list; entries added before an earlier
     * finish() are kept. Lookups and iteration see finished entries only. */
    void finish();
    void clear();

    bool empty() const { return domains == 0; }
    size_t size() const { return domains; }
    /* The bytes the list holds (arena and hash). */
    int64_t bytes() const;

    /* Whether domain is listed, with its prefixes in *prefixes. */
    bool find(std::string_view domain, DomainPrefixes *prefixes) const;
    size_t count(std::string_view domain) const { return find(domain, nullptr) ? 1 : 0; }
    /* The prefixes of a listed domain; std::out_of_range when it is not. */
    DomainPrefixes at(std::string_view domain) const;

    const_iterator begin() const { return const_iterator(this, 0); }
    const_iterator end() const { return const_iterator(this, arena.size()); }

private:
    std::pair<std::string_view, DomainPrefixes> entry_at(uint64_t offset) const;
    uint64_t entry_end(uint64_t offset) const;
    bool pending_add(bool whole, std::string_view domain, std::string_view prefix);
    void hash_build();

    /* Finished entries in ascending domain order, each: the prefix count
     * (4 bytes, 0: listed whole), the domain length (2 bytes), the domain,
     * then per prefix its length (2 bytes) and bytes. */
    std::string arena;
    /* Open addressing over arena: offset + 1 per slot, 0 for empty. */
    std::vector<uint32_t> slots;
    size_t domains = 0;
    /* Added since the last finish(), in order: a kind byte (1 whole,
     * 0 prefix), the two lengths (2 bytes each) and the two texts. */
    std::string pending;
    size_t pending_entries = 0;
};
