/*
 * Configuration value types. Every configuration value arrives as text, from
 * the description's defaults, the configuration file or a web form, and the
 * text as written is what is kept and saved again. This file turns such text
 * into numbers, sizes, lists, address ranges and port ranges. A parser
 * either accepts the whole text or throws ConfigError; it never logs, so the
 * caller decides whether a refusal fails a load or becomes a form error.
 */
#include "configtypes.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "log.h"

static bool configtypes_is_space(char c);
static const char *configtypes_number_end(const std::string &text, const char *end);
static bool configtypes_equal_nocase(const std::string &a, const std::string &b);

static bool configtypes_is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

/* Throws unless the conversion stopped exactly at the end of text and read
 * at least one character; embedded zero bytes count as trailing garbage. */
static const char *configtypes_number_end(const std::string &text, const char *end)
{
    const char *start = text.c_str();
    if (end == start || end != start + text.size())
        throw ConfigError();
    return end;
}

/* Equality ignoring ASCII letter case only, whatever the locale. */
static bool configtypes_equal_nocase(const std::string &a, const std::string &b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++) {
        unsigned char x = (unsigned char)a[i], y = (unsigned char)b[i];
        if (x >= 'A' && x <= 'Z')
            x = (unsigned char)(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = (unsigned char)(y - 'A' + 'a');
        if (x != y)
            return false;
    }
    return true;
}

int string_to_int(std::string text)
{
    if (text.empty())
        return 0;
    char *end = nullptr;
    errno = 0;
    long long v = strtoll(text.c_str(), &end, 10);
    configtypes_number_end(text, end);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int)v;
}

unsigned int string_to_uint(std::string text)
{
    if (text.empty())
        return 0;
    /* The magnitude is read without the sign, so that a negative value
     * wraps modulo 2^32 as a 32-bit unsigned conversion does, and anything
     * beyond 32 bits clamps whatever its sign. */
    const char *p = text.c_str();
    while (configtypes_is_space(*p))
        p++;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+')
        p++;
    if (*p < '0' || *p > '9')
        throw ConfigError();
    char *end = nullptr;
    errno = 0;
    unsigned long long m = strtoull(p, &end, 10);
    configtypes_number_end(text, end);
    if (errno == ERANGE || m > UINT32_MAX)
        return UINT32_MAX;
    uint32_t v = (uint32_t)m;
    return negative ? (uint32_t)(0u - v) : v;
}

double string_to_double(std::string text)
{
    if (text.empty())
        return 0;
    char *end = nullptr;
    double v = strtod(text.c_str(), &end);
    configtypes_number_end(text, end);
    return v;
}

/* Reads the number and unit of a size; returns the number and sets
 * *multiplier. Throws ConfigError for no number, a number beyond 64 bits or
 * an unknown unit. */
static uint64_t configtypes_size_parse(const std::string &text, uint64_t *multiplier)
{
    const char *p = text.c_str();
    while (configtypes_is_space(*p))
        p++;
    const char *digits = p;
    if (*digits == '-' || *digits == '+')
        digits++;
    if (*digits < '0' || *digits > '9')
        throw ConfigError();
    char *end = nullptr;
    errno = 0;
    unsigned long long n = strtoull(p, &end, 10);
    if (errno == ERANGE)
        throw ConfigError();
    p = end;
    while (configtypes_is_space(*p))
        p++;
    const char *unit = p;
    while (*p && !configtypes_is_space(*p))
        p++;
    size_t unit_len = (size_t)(p - unit);

    static const struct {
        const char *name;
        uint64_t multiplier;
    } units[] = {
        { "k", 1024ull }, { "kb", 1024ull }, { "kbit", 1024ull },
        { "m", 1048576ull }, { "mb", 1048576ull }, { "mbit", 1048576ull },
        { "g", 1073741824ull }, { "gb", 1073741824ull }, { "gbit", 1073741824ull },
    };
    *multiplier = 1;
    if (unit_len == 0)
        return n;
    std::string unit_text(unit, unit_len);
    for (const auto &u : units) {
        if (configtypes_equal_nocase(unit_text, u.name)) {
            *multiplier = u.multiplier;
            return n;
        }
    }
    throw ConfigError();
}

uint64_t string_to_filesize(std::string text)
{
    return string_to_longfilesize(std::move(text));
}

uint64_t string_to_longfilesize(std::string text)
{
    uint64_t multiplier;
    uint64_t n = configtypes_size_parse(text, &multiplier);
    if (n > UINT64_MAX / multiplier)
        throw ConfigError();
    return n * multiplier;
}

uint32_t address_to_int(const std::string &text)
{
    size_t start = text.find_first_not_of(' ');
    StringList pieces(start == std::string::npos ? std::string() : text.substr(start), '.');
    if (pieces.size() != 4)
        throw ConfigError();
    uint32_t v = 0;
    for (const std::string &piece : pieces) {
        int octet = string_to_int(piece);
        if (octet < 0 || octet > 255)
            throw ConfigError();
        v = (v << 8) | (uint32_t)octet;
    }
    return v;
}

StringList::StringList(const std::string &text, char separator)
{
    parse(text, separator);
}

void StringList::parse(const std::string &text, char separator)
{
    size_t pos = 0;
    while (pos < text.size()) {
        size_t sep = text.find(separator, pos);
        if (sep == std::string::npos) {
            push_back(text.substr(pos));
            return;
        }
        push_back(text.substr(pos, sep - pos));
        pos = sep + 1;
    }
}

bool StringList::has(const std::string &item) const
{
    for (const std::string &s : *this)
        if (s.size() == item.size() && s == item)
            return true;
    return false;
}

int StringList::show_p(const char *verb, std::string profile) const
{
    putlog(LOG_PROFILES, "%s Profile: %s", verb, profile.c_str());
    return 1;
}

Couple::Couple(const std::string &text) : StringList(text, ',')
{
    if (size() != 2)
        throw ConfigError();
}

std::string Couple::first() const
{
    return front();
}

std::string Couple::second() const
{
    return back();
}

StringSelect::StringSelect(std::string name_, std::string comment_, std::string desc_,
                           bool selected_)
    : name(std::move(name_)), comment(std::move(comment_)), desc(std::move(desc_)),
      selected(selected_)
{
}

void StringSelectVector::reset()
{
    for (StringSelect &option : *this)
        option.selected = false;
}

int StringSelectVector::case_indexof(const std::string &name) const
{
    for (size_t i = 0; i < size(); i++) {
        if (configtypes_equal_nocase((*this)[i].name, name))
            return (int)i;
    }
    throw ConfigError();
}

IpRange::IpRange(const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        if (text.empty()) {
            low_text = "0.0.0.0";
            high_text = "255.255.255.255";
        } else {
            low_text = text;
            high_text = text;
        }
    } else {
        low_text = text.substr(0, dash);
        high_text = text.substr(dash + 1);
        if (low_text.empty())
            low_text = "0.0.0.0";
        if (high_text.empty())
            high_text = "255.255.255.255";
    }
    low = address_to_int(low_text);
    high = address_to_int(high_text);
}

/* Reads an address to test against ranges: leading spaces, then a dotted
 * IPv4 address and nothing else. It comes from a connection or a request
 * header, so a malformed one is false, never an exception. */
static bool configtypes_address_value(const char *address, uint32_t *value)
{
    if (!address)
        return false;
    while (*address == ' ')
        address++;
    struct in_addr a;
    if (inet_pton(AF_INET, address, &a) != 1)
        return false;
    *value = ntohl(a.s_addr);
    return true;
}

bool IpRange::has(const char *address) const
{
    uint32_t v = 0;
    return configtypes_address_value(address, &v) && low <= v && v <= high;
}

IpRangeList::IpRangeList(const std::string &text_)
{
    parse(text_);
}

void IpRangeList::parse(const std::string &text_)
{
    text = text_;
    for (const std::string &piece : StringList(text_, ','))
        ranges.emplace_back(piece);
}

bool IpRangeList::has(const char *address) const
{
    if (ranges.empty())
        return true;
    uint32_t v = 0;                 /* converted once for all ranges */
    if (!configtypes_address_value(address, &v))
        return false;
    for (const IpRange &range : ranges)
        if (range.low <= v && v <= range.high)
            return true;
    return false;
}

/* A port: converted like string_to_int and within 1..65535. */
static int configtypes_port(const std::string &text)
{
    int port = string_to_int(text);
    if (port < 1 || port > 65535)
        throw ConfigError();
    return port;
}

PortRange::PortRange(const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos) {
        low = high = configtypes_port(text);
    } else {
        low = configtypes_port(text.substr(0, dash));
        high = configtypes_port(text.substr(dash + 1));
    }
}

PortRangeList::PortRangeList(const std::string &text)
{
    parse(text);
}

void PortRangeList::parse(const std::string &text)
{
    for (const std::string &piece : StringList(text, ','))
        emplace_back(piece);
}

bool PortRangeList::has(int port) const
{
    if (empty())
        return true;
    for (const PortRange &range : *this)
        if (range.low <= port && port <= range.high)
            return true;
    return false;
}
