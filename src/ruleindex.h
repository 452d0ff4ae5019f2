#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

/* The most fields a rule list matches expressions against (host, path and
 * content type of the MIME rules). */
#define RULE_FIELDS_MAX 3
/* The most texts one field is tried against (a path as written and as the
 * server reads it). */
#define RULE_SUBJECTS_MAX 2

/* A text that every match of the expression pattern contains, in lower
 * case (ASCII); empty when none can be named with certainty: an alternation
 * outside groups, inline options, verbs, back references, escapes written
 * as codes. Groups, classes, optional atoms and zero-width assertions end a
 * run of plain characters; the longest run is the answer. */
std::string rule_required_literal(const std::string &pattern);

/*
 * Many literal texts sought in one pass over a subject, ASCII case ignored
 * (an Aho-Corasick automaton: a trie of the texts with a fallback link from
 * every node to the longest proper suffix of its text that is also a path
 * of the trie). Built once, then only read, so any number of threads may
 * scan at once.
 */
class LiteralSet {
public:
    /* The number of text (lower case, not empty), adding it when new. */
    uint32_t add(std::string_view text);
    /* Builds the fallback links; call after the last add, before scan. */
    void finish();
    void clear();
    bool empty() const { return count == 0; }
    uint32_t size() const { return count; }

    /* Calls found(number) for every text that occurs in subject, once per
     * occurrence. */
    template <class Found>
    void scan(std::string_view subject, Found found) const;

private:
    struct Node {
        uint32_t edges = 0;          /* first edge in edge_bytes/edge_targets */
        uint32_t edge_count = 0;
        uint32_t fallback = 0;
        uint32_t next_output = 0;    /* the next node on the fallback chain that ends a
                                        text; 0: none */
        int64_t text = -1;           /* the number of the text ending here; -1: none */
    };
    uint32_t child(uint32_t node, unsigned char byte) const;

    /* While adding: the trie's edges per node, unsorted. */
    std::vector<std::vector<std::pair<unsigned char, uint32_t>>> building;
    std::vector<Node> nodes;
    std::vector<unsigned char> edge_bytes;     /* sorted per node */
    std::vector<uint32_t> edge_targets;
    uint32_t root_next[256] = {};
    uint32_t count = 0;
    bool built = false;
};

/* The texts a rule list is matched against for one request: per field, up
 * to RULE_SUBJECTS_MAX texts (a null data pointer: absent). */
struct RuleSubjects {
    std::string_view text[RULE_FIELDS_MAX][RULE_SUBJECTS_MAX] = {};
};

/*
 * The rules of one list, numbered in list order, that can match a request,
 * found without trying them one by one. Each rule gives the expression
 * texts of its fields; the longest required literal of any of them is the
 * rule's key, sought with the key literals of every other rule in one pass
 * over that field's subjects. A rule whose key does not occur in any of
 * its field's subjects cannot match and is never tried; rules without a
 * key are always tried. The candidates are tried in list order and the
 * first that matches is the first match of the list, exactly as a walk of
 * the whole list finds it.
 */
class RuleIndex {
public:
    void clear();
    /* Adds the next rule. live false: the rule never matches (disabled, or
     * an expression that does not compile) and is never a candidate.
     * texts[f]: the expression of field f, "" for none. */
    void add(bool live, const std::string *const *texts, int fields);
    /* Builds the automata; call after the last add. */
    void finish();
    uint32_t size() const { return rules; }

    /* The candidates for subjects, ascending. */
    std::vector<uint32_t> candidates(const RuleSubjects &subjects) const;

    /* The number of the first candidate, in list order, for which
     * match(number) is true; -1 when none is. */
    template <class Match>
    int64_t first(const RuleSubjects &subjects, Match match) const;

private:
    void found_rules(const RuleSubjects &subjects, std::vector<uint32_t> &out) const;

    uint32_t rules = 0;
    std::vector<uint32_t> keyless;     /* live rules without a key, ascending */
    LiteralSet literals[RULE_FIELDS_MAX];
    /* Per field: the rules keyed by each literal, literal by literal
     * (rules_of[f][first[f][k]] up to first[f][k + 1]). */
    std::vector<uint32_t> first_of[RULE_FIELDS_MAX];
    std::vector<uint32_t> rules_of[RULE_FIELDS_MAX];
    /* While adding: (literal, rule) per field. */
    std::vector<std::pair<uint32_t, uint32_t>> keyed[RULE_FIELDS_MAX];
};

/* A rule list beside its index: the rules by number, and the finder of
 * the first match. Rebuilt with the list, which must outlive it. */
template <class Rule>
class IndexedRules {
public:
    /* Indexes list; texts(rule, out) fills out[f] with the expression text
     * of field f and returns the number of fields; live(rule) says whether
     * the rule can match at all. */
    template <class List, class Texts, class Live>
    void build(const List &list, Texts texts, Live live)
    {
        index.clear();
        order.clear();
        for (const Rule &rule : list) {
            const std::string *fields[RULE_FIELDS_MAX];
            int count = texts(rule, fields);
            index.add(live(rule), fields, count);
            order.push_back(&rule);
        }
        index.finish();
    }

    /* The first rule, in list order, that can match subjects and for which
     * match(rule) is true; NULL when none is. */
    template <class Match>
    const Rule *first(const RuleSubjects &subjects, Match match) const
    {
        int64_t number = index.first(subjects, [&](uint32_t n) { return match(*order[n]); });
        return number < 0 ? nullptr : order[(size_t)number];
    }

    const RuleIndex &finder() const { return index; }

private:
    RuleIndex index;
    std::vector<const Rule *> order;
};

/* A view of a zero-terminated text up to its first zero byte, as the
 * expressions see it; absent for NULL. */
static inline std::string_view rule_subject(const char *text)
{
    return text ? std::string_view(text) : std::string_view();
}

/* ---- templates ---- */

/* ASCII lower case of one byte; other bytes as they are. */
static inline unsigned char rule_fold(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? (unsigned char)(c + ('a' - 'A')) : c;
}

inline uint32_t LiteralSet::child(uint32_t node, unsigned char byte) const
{
    const Node &n = nodes[node];
    const unsigned char *bytes = edge_bytes.data() + n.edges;
    for (uint32_t i = 0; i < n.edge_count; i++)
        if (bytes[i] == byte)
            return edge_targets[n.edges + i];
    return 0;
}

template <class Found>
void LiteralSet::scan(std::string_view subject, Found found) const
{
    if (count == 0)
        return;
    uint32_t state = 0;
    for (char c : subject) {
        unsigned char byte = rule_fold((unsigned char)c);
        for (;;) {
            if (state == 0) {
                state = root_next[byte];
                break;
            }
            uint32_t next = child(state, byte);
            if (next) {
                state = next;
                break;
            }
            state = nodes[state].fallback;
        }
        uint32_t out = nodes[state].text >= 0 ? state : nodes[state].next_output;
        for (; out != 0; out = nodes[out].next_output)
            found((uint32_t)nodes[out].text);
    }
}

template <class Match>
int64_t RuleIndex::first(const RuleSubjects &subjects, Match match) const
{
    std::vector<uint32_t> found;
    found_rules(subjects, found);
    size_t a = 0, b = 0;
    while (a < keyless.size() || b < found.size()) {
        uint32_t next;
        if (b == found.size() || (a < keyless.size() && keyless[a] < found[b]))
            next = keyless[a++];
        else
            next = found[b++];
        if (match(next))
            return next;
    }
    return -1;
}
