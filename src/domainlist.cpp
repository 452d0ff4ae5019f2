/*
 * A category of a URL blacklist holds up to millions of domains. One heap
 * block per domain (and a tree node, and a vector of prefixes) costs about
 * a hundred bytes of bookkeeping each; here the entries are written into
 * one arena instead, in file order while loading, then sorted once into
 * their final place: each domain once, its prefixes behind it. Lookups go
 * through an open hash of arena offsets, iteration walks the arena, which
 * is in ascending byte order.
 */
#include "domainlist.h"

#include <algorithm>
#include <functional>
#include <stdexcept>

static uint32_t domainlist_u32(const char *at);
static uint16_t domainlist_u16(const char *at);
static void domainlist_put_u32(std::string &out, uint32_t value);
static void domainlist_put_u16(std::string &out, uint16_t value);

static uint32_t domainlist_u32(const char *at)
{
    uint32_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

static uint16_t domainlist_u16(const char *at)
{
    uint16_t value;
    memcpy(&value, at, sizeof value);
    return value;
}

static void domainlist_put_u32(std::string &out, uint32_t value)
{
    out.append((const char *)&value, sizeof value);
}

static void domainlist_put_u16(std::string &out, uint16_t value)
{
    out.append((const char *)&value, sizeof value);
}

/* ---- DomainPrefixes ---- */

std::string_view DomainPrefixes::const_iterator::operator*() const
{
    return std::string_view(at + 2, domainlist_u16(at));
}

DomainPrefixes::const_iterator &DomainPrefixes::const_iterator::operator++()
{
    at += 2 + domainlist_u16(at);
    if (--left == 0)
        at = nullptr;
    return *this;
}

/* ---- DomainList ---- */

bool DomainList::pending_add(bool whole, std::string_view domain, std::string_view prefix)
{
    if (domain.size() > DOMAINLIST_TEXT_MAX || prefix.size() > DOMAINLIST_TEXT_MAX)
        return false;
    /* The finished arena needs at most this much more for the entry. */
    int64_t grown = (int64_t)arena.size() + (int64_t)pending.size() + 10 +
                    (int64_t)domain.size() + (int64_t)prefix.size();
    if (grown > DOMAINLIST_ARENA_MAX)
        return false;
    pending += whole ? '\1' : '\0';
    domainlist_put_u16(pending, (uint16_t)domain.size());
    domainlist_put_u16(pending, (uint16_t)prefix.size());
    pending.append(domain);
    pending.append(prefix);
    pending_entries++;
    return true;
}

bool DomainList::add_whole(std::string_view domain)
{
    return pending_add(true, domain, std::string_view());
}

bool DomainList::add_prefix(std::string_view domain, std::string_view prefix)
{
    return pending_add(false, domain, prefix);
}

void DomainList::clear()
{
    std::string().swap(arena);
    std::vector<uint32_t>().swap(slots);
    std::string().swap(pending);
    domains = 0;
    pending_entries = 0;
}

int64_t DomainList::bytes() const
{
    return (int64_t)arena.capacity() + (int64_t)(slots.capacity() * sizeof(uint32_t)) +
           (int64_t)pending.capacity();
}

std::pair<std::string_view, DomainPrefixes> DomainList::entry_at(uint64_t offset) const
{
    const char *at = arena.data() + offset;
    uint32_t prefixes = domainlist_u32(at);
    uint16_t length = domainlist_u16(at + 4);
    return { std::string_view(at + 6, length), DomainPrefixes(at + 6 + length, prefixes) };
}

uint64_t DomainList::entry_end(uint64_t offset) const
{
    const char *at = arena.data() + offset;
    uint32_t prefixes = domainlist_u32(at);
    uint64_t end = offset + 6 + domainlist_u16(at + 4);
    for (uint32_t i = 0; i < prefixes; i++)
        end += 2 + domainlist_u16(arena.data() + end);
    return end;
}

void DomainList::finish()
{
    if (pending_entries == 0)
        return;
    /* Finished entries go back among the pending ones, before them, so
     * that one sort places everything. */
    if (!arena.empty()) {
        std::string again;
        for (auto entry : *this) {
            auto put = [&](bool whole, std::string_view prefix) {
                again += whole ? '\1' : '\0';
                domainlist_put_u16(again, (uint16_t)entry.first.size());
                domainlist_put_u16(again, (uint16_t)prefix.size());
                again.append(entry.first);
                again.append(prefix);
                pending_entries++;
            };
            if (entry.second.empty())
                put(true, std::string_view());
            for (std::string_view prefix : entry.second)
                put(false, prefix);
        }
        pending.insert(0, again);
        std::string().swap(arena);
    }

    /* The entries by domain, in the order they were added within one
     * domain (the offset breaks ties). */
    std::vector<uint32_t> order;
    order.reserve(pending_entries);
    for (size_t at = 0; at < pending.size();) {
        order.push_back((uint32_t)at);
        at += 5 + domainlist_u16(pending.data() + at + 1) + domainlist_u16(pending.data() + at + 3);
    }
    const char *base = pending.data();
    auto domain_of = [base](uint32_t at) {
        return std::string_view(base + at + 5, domainlist_u16(base + at + 1));
    };
    std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
        int c = domain_of(a).compare(domain_of(b));
        return c != 0 ? c < 0 : a < b;
    });

    /* Each domain once: listed whole when any entry says so, else with
     * every prefix in order. Sized first, so the arena is one block. */
    auto group_end = [&](size_t i) {
        size_t j = i + 1;
        while (j < order.size() && domain_of(order[j]) == domain_of(order[i]))
            j++;
        return j;
    };
    auto is_whole = [&](size_t i, size_t j) {
        for (size_t k = i; k < j; k++)
            if (base[order[k]] == '\1')
                return true;
        return false;
    };
    size_t total = 0;
    domains = 0;
    for (size_t i = 0; i < order.size();) {
        size_t j = group_end(i);
        total += 6 + domain_of(order[i]).size();
        if (!is_whole(i, j))
            for (size_t k = i; k < j; k++)
                total += 2 + domainlist_u16(base + order[k] + 3);
        domains++;
        i = j;
    }
    arena.reserve(total);
    for (size_t i = 0; i < order.size();) {
        size_t j = group_end(i);
        std::string_view domain = domain_of(order[i]);
        bool whole = is_whole(i, j);
        domainlist_put_u32(arena, whole ? 0 : (uint32_t)(j - i));
        domainlist_put_u16(arena, (uint16_t)domain.size());
        arena.append(domain);
        if (!whole)
            for (size_t k = i; k < j; k++) {
                uint16_t length = domainlist_u16(base + order[k] + 3);
                domainlist_put_u16(arena, length);
                arena.append(base + order[k] + 5 + domain.size(), length);
            }
        i = j;
    }
    std::vector<uint32_t>().swap(order);
    std::string().swap(pending);
    pending_entries = 0;
    hash_build();
}

void DomainList::hash_build()
{
    size_t size = 16;
    while (size < domains * 2)
        size *= 2;
    std::vector<uint32_t>(size, 0).swap(slots);
    size_t mask = size - 1;
    for (uint64_t offset = 0; offset < arena.size(); offset = entry_end(offset)) {
        size_t slot = std::hash<std::string_view>()(entry_at(offset).first) & mask;
        while (slots[slot] != 0)
            slot = (slot + 1) & mask;
        slots[slot] = (uint32_t)(offset + 1);
    }
}

bool DomainList::find(std::string_view domain, DomainPrefixes *prefixes) const
{
    if (slots.empty())
        return false;
    size_t mask = slots.size() - 1;
    for (size_t slot = std::hash<std::string_view>()(domain) & mask; slots[slot] != 0;
         slot = (slot + 1) & mask) {
        auto entry = entry_at(slots[slot] - 1);
        if (entry.first == domain) {
            if (prefixes)
                *prefixes = entry.second;
            return true;
        }
    }
    return false;
}

DomainPrefixes DomainList::at(std::string_view domain) const
{
    DomainPrefixes prefixes;
    if (!find(domain, &prefixes))
        throw std::out_of_range("domain not listed");
    return prefixes;
}
