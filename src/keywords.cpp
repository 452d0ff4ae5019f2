/*
 * Keyword scoring. Every applicable rule whose expression occurs in a
 * response body adds its score, once however often it occurs; rules
 * without an expression add theirs to every page they apply to. A page
 * whose non-zero total reaches the threshold is replaced by the block
 * page. The URL command "score" shows the total instead of the page.
 *
 * The body is searched whole by length, so a zero byte in it hides nothing
 * that follows. Pages are sent after the section's lock is released.
 */
#include "keywords.h"

#include <iterator>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "hooks.h"
#include "interface.h"
#include "log.h"
#include "profiles.h"
#include "regexp.h"
#include "templates.h"
#include "urlcommand.h"

/* The options, by position. */
static const FieldDecl keyword_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "threshold", FIELD_INT },
    {  2, "template",  FIELD_STRING },
};

/* The fields of an entry of the list keyword, by position. */
static const FieldDecl keyword_keyword_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "mime-type", FIELD_STRING },
    {  4, "keyword",   FIELD_STRING },
    {  5, "score",     FIELD_INT },
};

/* The most characters of the total kept as the log entry's reason. */
static const size_t KEYWORD_REASON_MAX = 8;

KeywordSection *keyword_section = nullptr;

/* ---- Keyword ---- */

Keyword::Keyword(const Item &entry)
{
    const FieldVector &f = entry.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    mime_type = f[3].text;
    keyword = f[4].text;
    score = f[5].value;
    compile();
}

Keyword::Keyword(const Keyword &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      mime_type(other.mime_type), keyword(other.keyword), score(other.score)
{
    compile();
}

Keyword::~Keyword()
{
    if (mime_regex)
        reg_free(mime_regex);
    if (keyword_regex)
        reg_free(keyword_regex);
}

void Keyword::compile()
{
    if (!mime_type.empty()) {
        mime_regex = reg_compile(mime_type.c_str(), REG_COMPILE_ICASE);
        refused = refused || !mime_regex;
    }
    if (!keyword.empty()) {
        keyword_regex = reg_compile(keyword.c_str(), REG_COMPILE_ICASE);
        refused = refused || !keyword_regex;
    }
}

/* ---- KeywordSection ---- */

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK)
{
    fields_require(keyword_global_fields);
    list_require(0, "keyword", keyword_keyword_fields, std::size(keyword_keyword_fields));
    processors.Add(keyword_respcheck, PROCESSOR_RESPCHECK);
    processors.Add(keyword_buffcheck, PROCESSOR_BUFFCHECK);
    hooks.Add(keyword_prerespmod, HOOK_PRERESPMOD);
}

int KeywordSection::item_check(const Item &item, std::string *nature)
{
    return section_expressions_check(item, { 3, 4 }, nature);
}

void KeywordSection::update()
{
    rules.clear();
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

bool KeywordSection::applies(const Keyword &rule, const CONNECTION_T *conn) const
{
    if (!rule.enabled || rule.refused)
        return false;
    if (profile_find(conn->profiles, rule.profiles) != 1)
        return false;
    /* Asked before the response came (may a whole body be wanted?), the
     * type is unknown and a rule on it may yet apply. */
    if (rule.mime_regex && conn->rheader) {
        const char *type = conn->rheader && conn->rheader->content_type
                               ? conn->rheader->content_type : "";
        if (reg_exec(rule.mime_regex, type) != 0)
            return false;
    }
    return true;
}

int KeywordSection::check_match(CONNECTION_T *conn)
{
    SectionReadGuard guard(*this);
    if (!fields[0].value || (conn->bypass & BYPASS_KEYWORDS))
        return 0;
    for (const Keyword &rule : rules)
        if (rule.keyword_regex && applies(rule, conn))
            return 1;
    return 0;
}

int KeywordSection::total(const CONNECTION_T *conn, const Filebuf *body) const
{
    if (!fields[0].value || (conn->bypass & BYPASS_KEYWORDS))
        return 0;
    /* Scores add in 64 bits and the total is held within int. */
    int64_t sum = 0;
    for (const Keyword &rule : rules) {
        if (!applies(rule, conn))
            continue;
        if (!rule.keyword_regex || !body ||
            reg_exec_bytes(rule.keyword_regex, body->data, body->size) == 0)
            sum += rule.score;
    }
    if (sum > INT32_MAX)
        return INT32_MAX;
    if (sum < INT32_MIN)
        return INT32_MIN;
    return (int)sum;
}

int KeywordSection::check(CONNECTION_T *conn, const Filebuf *body)
{
    SectionReadGuard guard(*this);
    return total(conn, body);
}

int KeywordSection::check_and_block(CONNECTION_T *conn, Filebuf *body)
{
    int sum, threshold;
    std::string page;
    {
        SectionReadGuard guard(*this);
        sum = total(conn, body);
        if (sum == 0)
            return 0;
        threshold = fields[1].value;
        page = fields[2].text.empty() ? "blocked" : fields[2].text;
    }
    conn->variables["SCORE"] = std::to_string(sum);
    conn->variables["THRESHOLD"] = std::to_string(threshold);
    if (sum < threshold)
        return 0;

    char reason[64];
    snprintf(reason, sizeof reason, "score: %d exceeded threshold: %d", sum, threshold);
    conn->variables["FILTER"] = "KeyWord Filter";
    conn->variables["REASON"] = reason;
    putlog(LOG_KEYWORDFILTER, "blocked: score:%d threshold:%d", sum, threshold);
    if (template_section)
        (void)template_section->send_or_close(page.c_str(), conn, 200);
    else
        conn->keepalive_client = 0;
    conn->logentry.filter_name = "keyword-filter";
    conn->logentry.filtering_reason = std::to_string(sum).substr(0, KEYWORD_REASON_MAX);
    return 1;
}

/* ---- Callbacks ---- */

int keyword_buffcheck(CONNECTION_T *conn, Filebuf *)
{
    return keyword_section ? keyword_section->check_match(conn) : 0;
}

int keyword_respcheck(CONNECTION_T *conn, Filebuf *body)
{
    return keyword_section ? keyword_section->check_and_block(conn, body) : 0;
}

int keyword_prerespmod(void *data, void *body)
{
    CONNECTION_T *conn = (CONNECTION_T *)data;
    if (!keyword_section || !url_command_find(conn->urlcommands, "score"))
        return 0;
    score_show(conn, keyword_section->check(conn, (const Filebuf *)body));
    return 1;
}

/* ---- The score page ---- */

void score_show(CONNECTION_T *conn, int score)
{
    const HEADER *h = conn->header;
    std::string title = "Keyword score for " +
                        interface_html(std::string(h && h->host ? h->host : "") +
                                       (h && h->path ? h->path : ""));
    std::string content = "<table class=\"dialog\">\n"
                          "<tr><td class=\"dialoghead\">" + title + "</td></tr>\n"
                          "<tr><td align=\"center\">" + std::to_string(score) + "</td></tr>\n"
                          "</table>\n";
    interface_send_page(conn, title, content);
}
