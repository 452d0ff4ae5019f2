#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <vector>

/*
 * The typed values of configuration fields and the parsers that read them
 * from text. Every parser refuses a malformed text by throwing ConfigError;
 * none of them logs. The caller turns a refusal into a failed load or a form
 * error.
 */

/* The refusal of a configuration text. Thrown only while configuration text
 * is parsed; caught by the section load and by the form that posted it. */
struct ConfigError {
};

/* Parsers of single values. Each converts the whole text as a base-10
 * number (leading white space and a sign accepted, nothing may follow);
 * an empty text gives 0. Throw ConfigError on any other text. */
int string_to_int(std::string text);                 /* clamps to the int range */
unsigned int string_to_uint(std::string text);       /* clamps to 4294967295; -n is 2^32-n */
double string_to_double(std::string text);           /* every strtod form */

/* A size: an unsigned number, optional white space, then an optional unit
 * k, kb, kbit, m, mb, mbit, g, gb or gbit in any letter case (powers of
 * 1024); anything after the unit is ignored. Throw ConfigError for no
 * number, an unknown unit or a size beyond 2^64-1. Byte counts are 64-bit
 * whatever the field's type name: both read the same. */
uint64_t string_to_filesize(std::string text);
uint64_t string_to_longfilesize(std::string text);

/* The value a*16777216 + b*65536 + c*256 + d of a dotted IPv4 address;
 * leading spaces are skipped. Throws ConfigError unless there are exactly
 * four pieces, each an integer in 0..255 (an empty piece counts as 0). */
uint32_t address_to_int(const std::string &text);

/* An ordered list of strings. */
class StringList : public std::list<std::string> {
public:
    StringList() = default;
    StringList(const std::string &text, char separator);

    /* Appends the pieces of text between separators. Nothing is trimmed;
     * an empty text adds nothing, an empty piece before a separator is an
     * empty item, a trailing separator adds no item. */
    void parse(const std::string &text, char separator);

    /* True when some item equals item byte for byte. */
    bool has(const std::string &item) const;

    /* Logs "<verb> Profile: <profile>" at LOG_PROFILES; returns 1. */
    int show_p(const char *verb, std::string profile) const;
};

/* A StringList of exactly two comma-separated items. */
class Couple : public StringList {
public:
    /* Throws ConfigError unless text splits into exactly two items. */
    explicit Couple(const std::string &text);
    std::string first() const;
    std::string second() const;
};

/* One option of an option list. */
struct StringSelect {
    StringSelect(std::string name, std::string comment, std::string desc, bool selected);

    std::string name;      /* the text stored in the file and posted by forms */
    std::string comment;   /* label */
    std::string desc;      /* tooltip */
    bool selected;
};

class StringSelectVector : public std::vector<StringSelect> {
public:
    /* Clears selected on every option. */
    void reset();
    /* The index of the first option whose name equals name ignoring ASCII
     * letter case; throws ConfigError when none does. */
    int case_indexof(const std::string &name) const;
};

/* One IPv4 address range, bounds inclusive, in host arithmetic order. */
struct IpRange {
    /* An empty text is every address; "a" is one address; "a-b" a range,
     * open at an end left empty. Throws ConfigError for a malformed
     * address. A range whose low exceeds its high holds no address. */
    explicit IpRange(const std::string &text);

    /* True when the dotted address lies within the range; a malformed
     * address (or NULL) is not contained. */
    bool has(const char *address) const;

    std::string low_text;
    uint32_t low;
    std::string high_text;
    uint32_t high;
};

struct IpRangeList {
    IpRangeList() = default;
    explicit IpRangeList(const std::string &text);

    /* Stores text and appends one range per comma-separated piece; the
     * first malformed piece throws ConfigError. */
    void parse(const std::string &text);

    /* True for an empty list (it matches every address), otherwise when
     * some range holds the address; a malformed address is in no range. */
    bool has(const char *address) const;

    std::list<IpRange> ranges;
    std::string text;   /* the list as written */
};

/* One port range, both ends in 1..65535. */
struct PortRange {
    /* "p" or "p-q"; throws ConfigError for a port outside 1..65535 or an
     * empty end. A reversed range holds no port. */
    explicit PortRange(const std::string &text);

    int low;
    int high;
};

class PortRangeList : public std::list<PortRange> {
public:
    PortRangeList() = default;
    explicit PortRangeList(const std::string &text);

    /* Appends one range per comma-separated piece; throws ConfigError for
     * a malformed or empty piece. */
    void parse(const std::string &text);

    /* True for an empty list (it matches every port), otherwise when some
     * range holds port. */
    bool has(int port) const;
};
