/*
 * Header rules. Allow and deny rules judge every received header line of
 * requests and responses by its name and value, evaluated as two lists the
 * way the access rules evaluate theirs; add rules append lines of the
 * administrator's choice after the kept ones. The result is the header's
 * filtered list, which the serialiser sends in place of the received one.
 *
 * Not every line is the rules' to judge. The proxy writes the lines that
 * frame, route and code a message itself (Host, Content-Length,
 * Connection, ...); removing one would only make a "removed" log line claim
 * what did not happen, and adding a second one would make the message
 * ambiguous, so those lines pass unjudged and add rules naming them are
 * refused at load. End-to-end headers the record holds in a field
 * (User-Agent, Referer, Via, ...) are judged: a refused one is not sent,
 * though the field keeps it for logs, variables and cache decisions, and an
 * add rule naming one replaces the field's value, so one line goes out.
 */
#include "headerfilter.h"

#include <iterator>
#include <string>
#include <vector>

#include "access.h"
#include "connection.h"
#include "header.h"
#include "log.h"
#include "profiles.h"
#include "regexp.h"

static bool header_rule_match(const Header &rule, int direction, const HTTP_HEADER &line,
                              ProfileVerdicts &verdicts);
static int header_texts(const Header &rule, const std::string **texts);
static bool header_add_name_valid(const std::string &name);
static bool header_add_value_valid(const std::string &value);

/* The options, by position. */
static const FieldDecl header_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl header_rule_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "name",      FIELD_STRING },
    {  4, "value",     FIELD_STRING },
    {  5, "direction", FIELD_STRING_SELECT_MANY },
};

/* The fields of an entry of the list add, by position. */
static const FieldDecl header_add_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "name",      FIELD_STRING },
    {  4, "value",     FIELD_STRING },
    {  5, "direction", FIELD_STRING_SELECT_MANY },
};

HeaderSection *header_section = nullptr;

/* ---- Header ---- */

Header::Header(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    name = f[3].text;
    value = f[4].text;
    direction = f[5].value;
    adds = item.subsection == "add";
    compile();
}

Header::Header(const Header &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      name(other.name), value(other.value), direction(other.direction), adds(other.adds),
      profile_id(other.profile_id)
{
    compile();
}

Header::~Header()
{
    if (name_regex)
        reg_free(name_regex);
    if (value_regex)
        reg_free(value_regex);
}

void Header::compile()
{
    refused = false;
    if (adds)
        return;
    name_regex = section_expression_compile(name, &refused);
    value_regex = section_expression_compile(value, &refused);
}

/* ---- checks of entries ---- */

/* An added line's name: a token the proxy does not write itself. */
static bool header_add_name_valid(const std::string &name)
{
    for (char c : name)
        if (!header_tchar((unsigned char)c))
            return false;
    return name.empty() || header_rule_kind(name) != HEADER_RULE_PROXY;
}

/* An added line's value: no control character but HTAB, so it stays one
 * line. */
static bool header_add_value_valid(const std::string &value)
{
    for (char c : value) {
        unsigned char u = (unsigned char)c;
        if ((u < 0x20 && u != '\t') || u == 0x7f)
            return false;
    }
    return true;
}

int HeaderSection::item_check(const Item &item, std::string *nature)
{
    if (item.subsection != "add")
        return section_expressions_check(item, { 3, 4 }, nature);
    if (!header_add_name_valid(item.fields[3].text)) {
        *nature = "a header name (a token) that the proxy does not write itself";
        return 3;
    }
    if (!header_add_value_valid(item.fields[4].text)) {
        *nature = "a header value without control characters";
        return 4;
    }
    return -1;
}

/* ---- HeaderSection ---- */

HeaderSection::HeaderSection() : Section("header-filtering", SECTION_RWLOCK)
{
    fields_require(header_global_fields);
    list_require(0, "allow", header_rule_fields, std::size(header_rule_fields));
    list_require(1, "deny", header_rule_fields, std::size(header_rule_fields));
    list_require(2, "add", header_add_fields, std::size(header_add_fields));
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    allowfirst = &fields[1].value;
}

/* The expressions the index reads: name (field 0) and value (field 1). */
static int header_texts(const Header &rule, const std::string **texts)
{
    texts[0] = &rule.name;
    texts[1] = &rule.value;
    return 2;
}

void HeaderSection::update()
{
    section_rules_rebuild(allow, deny, subsections);
    add.clear();
    for (const Item &item : subsections[2].items)
        add.emplace_back(item);
    index.build(allow, deny, &add, header_texts,
                [](const Header &rule) { return rule.enabled && !rule.refused && rule.direction; });
}

/* Whether an allow or deny rule matches one received line. */
static bool header_rule_match(const Header &rule, int direction, const HTTP_HEADER &line,
                              ProfileVerdicts &verdicts)
{
    if (!rule.enabled || rule.refused || !(rule.direction & direction))
        return false;
    if (!verdicts.accepts(rule.profile_id))
        return false;
    if (rule.name_regex && reg_exec(rule.name_regex, line.name.c_str()) != 0)
        return false;
    return !rule.value_regex || reg_exec(rule.value_regex, line.value.c_str()) == 0;
}

void HeaderSection::filter(CONNECTION_T *conn, int direction)
{
    if (direction != HEADER_FILTER_CLIENT)
        direction = HEADER_FILTER_SERVER;
    HEADER *header = direction == HEADER_FILTER_CLIENT ? conn->header : conn->rheader;
    if (!header)
        return;
    const char *side = direction == HEADER_FILTER_CLIENT ? "client" : "server";
    /* The log lines are written once the lock is released. */
    bool logging = log_wanted(LOG_HEADER);
    std::vector<std::string> removed, added;

    {
        SectionReadGuard guard(*this);
        if ((conn->bypass & BYPASS_HEADERS) || !*enabled)
            return;
        header->flags |= HEADER_FILTERED;
        header->filtered_headers.clear();
        /* The profile lists are judged once for all lines; per line, only
         * the rules whose name or value can match are tried, in order. */
        ProfileVerdicts verdicts(conn->profiles, index.conditions);
        for (const HTTP_HEADER &line : header->headers) {
            int kind = header_rule_kind(line.name);
            if (kind != HEADER_RULE_PROXY) {
                RuleSubjects subjects;
                subjects.text[0][0] = rule_subject(line.name.c_str());
                subjects.text[1][0] = rule_subject(line.value.c_str());
                auto match = [&](const Header &rule) {
                    return header_rule_match(rule, direction, line, verdicts);
                };
                AllowDenyResult<Header> result = index.evaluate(*allowfirst != 0, subjects, match);
                if (result.outcome == ALLOWDENY_REFUSED) {
                    if (kind == HEADER_RULE_HELD)
                        header_withhold(header, line.name);
                    if (logging)
                        removed.push_back(log_text(line.name, LOG_TEXT_MAX) + ": " +
                                          log_text(line.value, LOG_TEXT_MAX));
                    continue;
                }
            }
            header->filtered_headers.push_back(line);
        }

        for (const Header &rule : add) {
            if (!rule.enabled || !(rule.direction & direction) || rule.name.empty() ||
                rule.value.empty() || !verdicts.accepts(rule.profile_id))
                continue;
            int kind = header_rule_kind(rule.name);
            if (kind == HEADER_RULE_PROXY)
                continue;   /* refused at load: never a second framing line */
            if (kind == HEADER_RULE_HELD) {
                /* Written from the field: the value replaces the received one. */
                (void)header_held_set(header, rule.name, rule.value.c_str());
                header->filtered_headers.push_back(HTTP_HEADER{ 0, rule.name, rule.value });
            } else {
                header->filtered_headers.push_back(HTTP_HEADER{ 1, rule.name, rule.value });
            }
            if (logging)
                added.push_back(log_text(rule.name, LOG_TEXT_MAX) + ": " +
                                log_text(rule.value, LOG_TEXT_MAX));
        }
    }

    for (const std::string &line : removed)
        putlog(LOG_HEADER, "removed: from %s: %s", side, line.c_str());
    for (const std::string &line : added)
        putlog(LOG_HEADER, "added: to %s: %s", side, line.c_str());
}
