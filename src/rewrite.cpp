/*
 * Rewrite rules. Each rule substitutes a pattern in request or response
 * headers, response bodies or request bodies, for some profiles and content
 * types; every applicable rule is applied in order, each on the result of
 * the rule before. A rule's content-type expression is searched in the
 * response's Content-Type; headers and request bodies have no content type
 * of their own and match it against the empty text, so a rule with a
 * content type acts only on response bodies.
 *
 * Expressions are compiled when a rule is built, never per request. The
 * substitution itself (reg_replace) works on the buffer by length, steps
 * over empty matches and caps the growth of a body.
 */
#include "rewrite.h"

#include <iterator>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "hooks.h"
#include "log.h"
#include "profiles.h"
#include "regexp.h"

/* The options, by position. */
static const FieldDecl rewrite_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl rewrite_rule_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "comment",     FIELD_STRING },
    {  2, "profiles",    FIELD_STRING_LIST },
    {  3, "mime-type",   FIELD_STRING },
    {  4, "pattern",     FIELD_STRING },
    {  5, "replacement", FIELD_STRING },
    {  6, "targets",     FIELD_STRING_SELECT_MANY },
};

/* The PCRE options of a pattern: caseless, multi-line, dot-all, extended. */
static const int REWRITE_PATTERN_OPTIONS = REG_SUB_ALL;

/* The most characters of a pattern quoted in a log line. */
static const size_t REWRITE_LOG_PATTERN_MAX = 256;

RewriteSection *rewrite_section = nullptr;

static const char *rewrite_target_name(int type)
{
    switch (type) {
    case REWRITE_CLIENT_HEADER: return "client header";
    case REWRITE_SERVER_HEADER: return "server header";
    case REWRITE_BODY: return "body";
    case REWRITE_POST_BODY: return "post body";
    }
    return "";
}

/* ---- Rewrite ---- */

Rewrite::Rewrite(const Item &entry)
{
    const FieldVector &f = entry.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    mime_type = f[3].text;
    pattern = f[4].text;
    replacement = f[5].text;
    targets = f[6].value;
    compile();
}

Rewrite::Rewrite(const Rewrite &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      mime_type(other.mime_type), pattern(other.pattern), replacement(other.replacement),
      targets(other.targets)
{
    compile();
}

Rewrite::~Rewrite()
{
    if (mime_regex)
        reg_free(mime_regex);
    reg_sub_free(pattern_regex);
}

void Rewrite::compile()
{
    if (!mime_type.empty()) {
        mime_regex = reg_compile(mime_type.c_str(), REG_COMPILE_ICASE);
        refused = !mime_regex;
    }
    if (!pattern.empty())
        pattern_regex = reg_sub_compile(pattern.c_str(), REWRITE_PATTERN_OPTIONS);
}

/* ---- RewriteSection ---- */

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK)
{
    fields_require(rewrite_global_fields);
    list_require(0, "rule", rewrite_rule_fields, std::size(rewrite_rule_fields));
    processors.Add(rewrite_reqmod, PROCESSOR_REQMOD);
    processors.Add(rewrite_respmod, PROCESSOR_RESPMOD);
    processors.Add(rewrite_buffcheck, PROCESSOR_BUFFCHECK);
    processors.Add(rewrite_reqheader, PROCESSOR_REQHEADER);
    processors.Add(rewrite_respheader, PROCESSOR_RESPHEADER);
    processors.Add(rewrite_reqbuffcheck, PROCESSOR_REQBUFFCHECK);
}

int RewriteSection::item_check(const Item &item, std::string *nature)
{
    const std::string &text = item.fields[3].text;
    if (text.empty())
        return -1;
    regex_posix_t *regex = reg_compile(text.c_str(), REG_COMPILE_ICASE);
    if (!regex) {
        *nature = "a valid regular expression";
        return 3;
    }
    reg_free(regex);
    return -1;
}

void RewriteSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

bool RewriteSection::applies(const Rewrite &rule, const CONNECTION_T *conn, int type) const
{
    if (!rule.enabled || !(rule.targets & type) || rule.refused)
        return false;
    if (profile_find(conn->profiles, rule.profiles) != 1)
        return false;
    /* Only a response body has a content type; every other text matches
     * the expression against the empty text. */
    /* A response body asked about before the response came (may a whole
     * body be wanted?): its type is unknown and the rule may yet apply. */
    if (rule.mime_regex && !(type == REWRITE_BODY && !conn->rheader)) {
        const char *type_text = "";
        if (type == REWRITE_BODY && conn->rheader && conn->rheader->content_type)
            type_text = conn->rheader->content_type;
        if (reg_exec(rule.mime_regex, type_text) != 0)
            return false;
    }
    return rule.pattern_regex != nullptr;
}

bool RewriteSection::rewrite_do(CONNECTION_T *conn, Filebuf *buffer, int type)
{
    if (!buffer)
        return false;
    SectionReadGuard guard(*this);
    if (!fields[0].value || (conn->bypass & BYPASS_REWRITE))
        return false;
    bool applied = false;
    for (const Rewrite &rule : rules) {
        if (!applies(rule, conn, type))
            continue;
        int64_t count = reg_replace(buffer, rule.pattern_regex, rule.replacement.c_str(),
                                    conn->variables);
        if (count > 0) {
            applied = true;
            putlog(LOG_REWRITE, "%s matched %d times in %s",
                   log_text(rule.pattern, REWRITE_LOG_PATTERN_MAX).c_str(), (int)count,
                   rewrite_target_name(type));
        }
    }
    return applied;
}

int RewriteSection::check_match(CONNECTION_T *conn, int type)
{
    SectionReadGuard guard(*this);
    if (!fields[0].value || (conn->bypass & BYPASS_REWRITE))
        return 0;
    for (const Rewrite &rule : rules)
        if (applies(rule, conn, type))
            return 1;
    return 0;
}

/* ---- Callbacks ---- */

int rewrite_reqmod(CONNECTION_T *conn, Filebuf *body)
{
    /* Never 1: the request-modification callbacks after this one (ICAP)
     * still run. */
    if (rewrite_section && body && body->size > 0)
        (void)rewrite_section->rewrite_do(conn, body, REWRITE_POST_BODY);
    return 0;
}

int rewrite_respmod(CONNECTION_T *conn, Filebuf *body)
{
    if (rewrite_section)
        (void)rewrite_section->rewrite_do(conn, body, REWRITE_BODY);
    return 1;
}

int rewrite_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return rewrite_section ? rewrite_section->check_match(conn, REWRITE_BODY) : 0;
}

int rewrite_reqbuffcheck(CONNECTION_T *conn, Filebuf *)
{
    return rewrite_section ? rewrite_section->check_match(conn, REWRITE_POST_BODY) : 0;
}

int rewrite_reqheader(CONNECTION_T *conn, Filebuf *text)
{
    if (rewrite_section)
        (void)rewrite_section->rewrite_do(conn, text, REWRITE_CLIENT_HEADER);
    return 1;
}

int rewrite_respheader(CONNECTION_T *conn, Filebuf *text)
{
    if (rewrite_section)
        (void)rewrite_section->rewrite_do(conn, text, REWRITE_SERVER_HEADER);
    return 1;
}
