/*
 * Trying many rules at once. A list of a thousand expressions tried one by
 * one costs a thousand searches per request, though almost every rule names
 * a plain piece of text that any match must contain: "example\.com" in
 * "(^|\.)example\.com$", "/ads/" in "^/ads/.*\.gif". Those pieces are
 * sought together, in one pass per field, by an Aho-Corasick automaton;
 * only the rules whose piece occurs (and the few that name none) are tried,
 * in list order, so the first match is the one the whole walk finds.
 *
 * The piece of text must really be required, or a rule that matches would
 * be skipped. The reading of a pattern is therefore cautious: it gives up
 * on anything whose effect on the required text it does not fully know
 * (an alternation outside groups, inline options, verbs, back references,
 * escapes written as codes), takes nothing from inside groups and classes,
 * and drops a character that a quantifier may repeat zero times. Case is
 * folded on both sides, ASCII only, as the expressions are compiled
 * without regard to case and without Unicode.
 */
#include "ruleindex.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <unordered_map>

static size_t rule_class_end(const std::string &pattern, size_t open);
static size_t rule_group_end(const std::string &pattern, size_t open);
static bool rule_group_plain(const std::string &pattern, size_t open);

/* The escapes of one character class or assertion: no literal. */
static const char RULE_CLASS_ESCAPES[] = "dDwWsSbBhHvVAzZGntrfea";

/* ---- reading a pattern ---- */

/* The index of the "]" that closes the class opened at open, or npos. */
static size_t rule_class_end(const std::string &pattern, size_t open)
{
    size_t i = open + 1, n = pattern.size();
    if (i < n && pattern[i] == '^')
        i++;
    if (i < n && pattern[i] == ']')
        i++;   /* a "]" first is a member */
    while (i < n) {
        char c = pattern[i];
        if (c == '\\') {
            if (i + 1 >= n || pattern[i + 1] == 'Q' || pattern[i + 1] == 'E')
                return std::string::npos;
            i += 2;
            continue;
        }
        if (c == '[' && i + 1 < n && (pattern[i + 1] == ':' || pattern[i + 1] == '.' ||
                                      pattern[i + 1] == '=')) {
            size_t close = pattern.find(std::string(1, pattern[i + 1]) + "]", i + 2);
            if (close != std::string::npos) {
                i = close + 2;
                continue;
            }
        }
        if (c == ']')
            return i;
        i++;
    }
    return std::string::npos;
}

/* Whether the group opened at open is one whose content can be skipped:
 * a plain group or one of the known "(?" forms, never a verb, an option
 * setting, a comment, a condition or a recursion. */
static bool rule_group_plain(const std::string &pattern, size_t open)
{
    size_t i = open + 1;
    if (i >= pattern.size())
        return false;
    if (pattern[i] == '*')
        return false;
    if (pattern[i] != '?')
        return true;
    std::string rest = pattern.substr(i + 1, 2);
    return rest.compare(0, 1, ":") == 0 || rest.compare(0, 1, "=") == 0 ||
           rest.compare(0, 1, "!") == 0 || rest.compare(0, 1, ">") == 0 ||
           rest.compare(0, 1, "|") == 0 || rest == "<=" || rest == "<!";
}

/* The index of the ")" that closes the group opened at open, or npos when
 * the group, or one inside it, is not plain. */
static size_t rule_group_end(const std::string &pattern, size_t open)
{
    size_t n = pattern.size();
    int depth = 0;
    for (size_t i = open; i < n; i++) {
        char c = pattern[i];
        if (c == '\\') {
            if (i + 1 >= n || pattern[i + 1] == 'Q' || pattern[i + 1] == 'E')
                return std::string::npos;
            i++;
        } else if (c == '[') {
            i = rule_class_end(pattern, i);
            if (i == std::string::npos)
                return i;
        } else if (c == '(') {
            if (!rule_group_plain(pattern, i))
                return std::string::npos;
            depth++;
        } else if (c == ')') {
            if (--depth == 0)
                return i;
        }
    }
    return std::string::npos;
}

std::string rule_required_literal(const std::string &text)
{
    /* The expression ends at its first zero byte, as it is compiled. */
    const std::string pattern(text.c_str());
    std::string best, run;
    bool last_in_run = false;   /* the last atom is the last character of run */
    auto end_run = [&] {
        if (run.size() > best.size())
            best = run;
        run.clear();
        last_in_run = false;
    };
    size_t n = pattern.size();
    for (size_t i = 0; i < n;) {
        unsigned char c = (unsigned char)pattern[i];
        switch (c) {
        case '\\': {
            if (i + 1 >= n)
                return "";
            unsigned char e = (unsigned char)pattern[i + 1];
            bool alnum = (e >= '0' && e <= '9') || (e >= 'a' && e <= 'z') || (e >= 'A' && e <= 'Z');
            if (alnum && !strchr(RULE_CLASS_ESCAPES, e))
                return "";   /* a code, a reference, a quote, a property */
            if (alnum || e >= 0x80 || e < 0x20) {
                end_run();
            } else {
                run += (char)rule_fold(e);
                last_in_run = true;
            }
            i += 2;
            break;
        }
        case '|':
        case ')':
            return "";
        case '[': {
            size_t close = rule_class_end(pattern, i);
            if (close == std::string::npos)
                return "";
            end_run();
            i = close + 1;
            break;
        }
        case '(': {
            size_t close = rule_group_end(pattern, i);
            if (close == std::string::npos)
                return "";
            end_run();
            i = close + 1;
            break;
        }
        case '?':
        case '*':
            if (last_in_run)
                run.pop_back();   /* may occur zero times */
            end_run();
            i++;
            break;
        case '{': {
            size_t close = pattern.find('}', i);
            if (close == std::string::npos)
                return "";
            for (size_t k = i + 1; k < close; k++)
                if (!strchr("0123456789, ", pattern[k]))
                    return "";
            if (last_in_run)
                run.pop_back();   /* a count that may be zero */
            end_run();
            i = close + 1;
            break;
        }
        case '+':
        case '.':
        case '^':
        case '$':
            end_run();
            i++;
            break;
        default:
            if (c >= 0x80 || c < 0x20) {
                end_run();
            } else {
                run += (char)rule_fold(c);
                last_in_run = true;
            }
            i++;
            break;
        }
    }
    end_run();
    return best;
}

/* ---- LiteralSet ---- */

uint32_t LiteralSet::add(std::string_view text)
{
    if (building.empty()) {
        building.emplace_back();
        nodes.emplace_back();
    }
    built = false;
    uint32_t node = 0;
    for (char c : text) {
        unsigned char byte = rule_fold((unsigned char)c);
        uint32_t next = 0;
        for (const auto &edge : building[node])
            if (edge.first == byte) {
                next = edge.second;
                break;
            }
        if (next == 0) {
            next = (uint32_t)nodes.size();
            building[node].emplace_back(byte, next);
            building.emplace_back();
            nodes.emplace_back();
        }
        node = next;
    }
    if (nodes[node].text < 0)
        nodes[node].text = count++;
    return (uint32_t)nodes[node].text;
}

void LiteralSet::clear()
{
    building.clear();
    nodes.clear();
    edge_bytes.clear();
    edge_targets.clear();
    memset(root_next, 0, sizeof root_next);
    count = 0;
    built = false;
}

void LiteralSet::finish()
{
    if (built || nodes.empty())
        return;
    /* The edges of every node, sorted, in two flat arrays. */
    edge_bytes.clear();
    edge_targets.clear();
    for (size_t i = 0; i < nodes.size(); i++) {
        auto &edges = building[i];
        std::sort(edges.begin(), edges.end());
        nodes[i].edges = (uint32_t)edge_bytes.size();
        nodes[i].edge_count = (uint32_t)edges.size();
        for (const auto &edge : edges) {
            edge_bytes.push_back(edge.first);
            edge_targets.push_back(edge.second);
        }
    }
    building.clear();
    building.shrink_to_fit();
    memset(root_next, 0, sizeof root_next);

    /* Fallback links breadth first: a node's link is found from its
     * parent's, which is nearer the root. */
    std::deque<uint32_t> queue;
    const Node &root = nodes[0];
    for (uint32_t e = 0; e < root.edge_count; e++) {
        uint32_t target = edge_targets[root.edges + e];
        root_next[edge_bytes[root.edges + e]] = target;
        nodes[target].fallback = 0;
        nodes[target].next_output = 0;
        queue.push_back(target);
    }
    while (!queue.empty()) {
        uint32_t parent = queue.front();
        queue.pop_front();
        for (uint32_t e = 0; e < nodes[parent].edge_count; e++) {
            unsigned char byte = edge_bytes[nodes[parent].edges + e];
            uint32_t target = edge_targets[nodes[parent].edges + e];
            uint32_t link = nodes[parent].fallback;
            uint32_t next;
            for (;;) {
                next = link == 0 ? root_next[byte] : child(link, byte);
                if (next != 0 || link == 0)
                    break;
                link = nodes[link].fallback;
            }
            nodes[target].fallback = next;
            nodes[target].next_output = nodes[next].text >= 0 ? next : nodes[next].next_output;
            queue.push_back(target);
        }
    }
    built = true;
}

/* ---- RuleIndex ---- */

void RuleIndex::clear()
{
    rules = 0;
    keyless.clear();
    for (int f = 0; f < RULE_FIELDS_MAX; f++) {
        literals[f].clear();
        first_of[f].clear();
        rules_of[f].clear();
        keyed[f].clear();
    }
}

void RuleIndex::add(bool live, const std::string *const *texts, int fields)
{
    uint32_t number = rules++;
    if (!live)
        return;
    std::string key;
    int key_field = -1;
    for (int f = 0; f < fields && f < RULE_FIELDS_MAX; f++) {
        if (texts[f]->empty())
            continue;
        std::string literal = rule_required_literal(*texts[f]);
        if (literal.size() > key.size()) {
            key = literal;
            key_field = f;
        }
    }
    if (key_field < 0) {
        keyless.push_back(number);
        return;
    }
    keyed[key_field].emplace_back(literals[key_field].add(key), number);
}

void RuleIndex::finish()
{
    for (int f = 0; f < RULE_FIELDS_MAX; f++) {
        literals[f].finish();
        /* Rules per literal, each run in list order. */
        auto &pairs = keyed[f];
        std::stable_sort(pairs.begin(), pairs.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
        first_of[f].assign((size_t)literals[f].size() + 1, 0);
        rules_of[f].clear();
        rules_of[f].reserve(pairs.size());
        size_t p = 0;
        for (uint32_t k = 0; k < literals[f].size(); k++) {
            first_of[f][k] = (uint32_t)rules_of[f].size();
            for (; p < pairs.size() && pairs[p].first == k; p++)
                rules_of[f].push_back(pairs[p].second);
        }
        first_of[f][literals[f].size()] = (uint32_t)rules_of[f].size();
        pairs.clear();
        pairs.shrink_to_fit();
    }
}

void RuleIndex::found_rules(const RuleSubjects &subjects, std::vector<uint32_t> &out) const
{
    for (int f = 0; f < RULE_FIELDS_MAX; f++) {
        if (literals[f].empty())
            continue;
        for (int s = 0; s < RULE_SUBJECTS_MAX; s++) {
            std::string_view text = subjects.text[f][s];
            if (!text.data())
                continue;
            literals[f].scan(text, [&](uint32_t literal) {
                for (uint32_t k = first_of[f][literal]; k < first_of[f][literal + 1]; k++)
                    out.push_back(rules_of[f][k]);
            });
        }
    }
    if (out.size() > 1) {
        std::sort(out.begin(), out.end());
        out.erase(std::unique(out.begin(), out.end()), out.end());
    }
}

std::vector<uint32_t> RuleIndex::candidates(const RuleSubjects &subjects) const
{
    std::vector<uint32_t> out;
    (void)first(subjects, [&](uint32_t number) {
        out.push_back(number);
        return false;
    });
    return out;
}
