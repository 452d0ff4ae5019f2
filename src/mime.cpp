/*
 * MIME rules. Allow and deny rules match the response's Content-Type (the
 * whole value, parameters included) together with the request host, path
 * and profiles; the two lists are evaluated as the access rules evaluate
 * theirs, and a refused response is replaced by a template page before any
 * of its body reaches the client. The same decision drives the page of the
 * URL command "mime", which shows the rule that would refuse the response.
 *
 * Pages go out without the section lock: the decision, the template name,
 * the page variables and the entry's view are taken under the read lock,
 * and the client is written to after its release.
 */
#include "mime.h"

#include <iterator>
#include <string>

#include "access.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "profiles.h"
#include "regexp.h"
#include "templates.h"

static const char *mime_host(const CONNECTION_T *conn);
static const char *mime_path(const CONNECTION_T *conn);
static const char *mime_content_type(const CONNECTION_T *conn);
static bool mime_match(const Mime &rule, const CONNECTION_T *conn, ProfileVerdicts &verdicts);
static int mime_texts(const Mime &rule, const std::string **texts);

/* The options, by position. */
static const FieldDecl mime_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
    {  2, "template",    FIELD_STRING },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl mime_rule_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "host",      FIELD_STRING },
    {  4, "path",      FIELD_STRING },
    {  5, "mime-type", FIELD_STRING },
    {  6, "template",  FIELD_STRING },
};

MimeSection *mime_section = nullptr;

/* ---- Mime ---- */

Mime::Mime(const Item &entry)
{
    const FieldVector &f = entry.fields;
    item = &entry;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    host = f[3].text;
    path = f[4].text;
    mime_type = f[5].text;
    template_name = f[6].text;
    compile();
}

Mime::Mime(const Mime &other)
    : item(other.item), enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      host(other.host), path(other.path), mime_type(other.mime_type),
      template_name(other.template_name), profile_id(other.profile_id)
{
    compile();
}

Mime::~Mime()
{
    for (regex_posix_t *regex : { mime_regex, host_regex, path_regex })
        if (regex)
            reg_free(regex);
}

void Mime::compile()
{
    refused = false;
    mime_regex = section_expression_compile(mime_type, &refused);
    host_regex = section_expression_compile(host, &refused);
    path_regex = section_expression_compile(path, &refused);
}

/* ---- matching ---- */

static const char *mime_host(const CONNECTION_T *conn)
{
    return conn->header && conn->header->host ? conn->header->host : "";
}

static const char *mime_path(const CONNECTION_T *conn)
{
    return conn->header && conn->header->path ? conn->header->path : "";
}

/* The response's whole Content-Type value, NULL when it has none. */
static const char *mime_content_type(const CONNECTION_T *conn)
{
    const HEADER *r = conn->rheader;
    return r && r->content_type && *r->content_type ? r->content_type : nullptr;
}

/* Whether rule matches the response. A rule with a content-type expression
 * never matches a response without Content-Type. */
static bool mime_match(const Mime &rule, const CONNECTION_T *conn, ProfileVerdicts &verdicts)
{
    if (!rule.enabled || rule.refused)
        return false;
    if (!verdicts.accepts(rule.profile_id))
        return false;
    if (rule.host_regex && reg_exec(rule.host_regex, mime_host(conn)) != 0)
        return false;
    if (rule.path_regex && reg_exec(rule.path_regex, mime_path(conn)) != 0)
        return false;
    if (!rule.mime_regex)
        return true;
    const char *type = mime_content_type(conn);
    return type && reg_exec(rule.mime_regex, type) == 0;
}

/* ---- MimeSection ---- */

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK)
{
    fields_require(mime_global_fields);
    list_require(0, "allow", mime_rule_fields, std::size(mime_rule_fields));
    list_require(1, "deny", mime_rule_fields, std::size(mime_rule_fields));
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    allowfirst = &fields[1].value;
    template_name = &fields[2].text;
}

/* The expressions the index reads: host (field 0), path (field 1) and
 * content type (field 2). */
static int mime_texts(const Mime &rule, const std::string **texts)
{
    texts[0] = &rule.host;
    texts[1] = &rule.path;
    texts[2] = &rule.mime_type;
    return 3;
}

void MimeSection::update()
{
    section_rules_rebuild(allow, deny, subsections);
    index.build(allow, deny, nullptr, mime_texts,
                [](const Mime &rule) { return rule.enabled && !rule.refused; });
}

int MimeSection::item_check(const Item &item, std::string *nature)
{
    return section_expressions_check(item, { 3, 4, 5 }, nature);
}

const Mime *MimeSection::check(const CONNECTION_T *conn) const
{
    if (!*enabled || (conn->bypass & BYPASS_MIME))
        return nullptr;
    /* Only the rules whose expressions can match are tried, in list order,
     * so the first match is the one a walk of the list finds. */
    ProfileVerdicts verdicts(conn->profiles, index.conditions);
    RuleSubjects subjects;
    subjects.text[0][0] = rule_subject(mime_host(conn));
    subjects.text[1][0] = rule_subject(mime_path(conn));
    subjects.text[2][0] = rule_subject(mime_content_type(conn));
    auto match = [&](const Mime &rule) { return mime_match(rule, conn, verdicts); };
    AllowDenyResult<Mime> result = index.evaluate(*allowfirst != 0, subjects, match);
    if (result.outcome == ALLOWDENY_ACCEPTED)
        return nullptr;
    return result.rule ? result.rule : &builtin;
}

int MimeSection::check_and_block(CONNECTION_T *conn)
{
    std::string page;
    {
        SectionReadGuard guard(*this);
        const Mime *rule = check(conn);
        if (!rule)
            return 1;
        if (!rule->template_name.empty())
            page = rule->template_name;
        else if (!template_name->empty())
            page = *template_name;
        else
            page = "blocked";
    }

    const char *type = mime_content_type(conn);
    putlog(LOG_MIMEFILTER, "blocked: mime-type %s from %s%s",
           type ? log_text(type, LOG_TEXT_MAX).c_str() : "(none)", mime_host(conn),
           mime_path(conn));
    conn->variables["FILTER"] = "MiMe Filter";
    conn->variables["MIME"] = type ? type : "(UNKNOWN)";
    if (template_section)
        template_section->send_or_close(page.c_str(), conn, 200);
    conn->logentry.filter_name = "mime-filter";
    conn->logentry.filtering_reason = type ? type : "(none)";
    return 0;
}

void MimeSection::check_show(CONNECTION_T *conn)
{
    std::string where = std::string(mime_host(conn)) + mime_path(conn);
    std::string title = "MIME filter match for " + interface_html(where);
    Filebuf page;
    bool ok = interface_command_page_start(conn, &page, title) &&
              interface_dialog_open(&page, title);
    /* Read before this section's lock: the general section has its own. */
    int line_length = section_line_length();

    /* The deciding entry is drawn into a buffer of its own under the lock;
     * the page goes out after the lock is released. */
    Filebuf rows;
    {
        SectionReadGuard guard(*this);
        const Mime *rule = check(conn);
        if (!rule)
            ok = ok && interface_dialog_note(&rows, "None");
        else if (!rule->item)
            ok = ok && interface_dialog_note(&rows, "Refused: no allow rule matched");
        else
            rule->item->display(&rows, 0, line_length);
    }
    ok = ok && (rows.size == 0 || page.Add(rows.data, rows.size) == FILEBUF_OK) &&
         page.Add("</table>\n", 9) == FILEBUF_OK && interface_command_page_end(&page);
    if (!ok) {
        putlog(LOG_ERROR, "mime filter: the mime page for %s could not be built",
               log_text(where, LOG_TEXT_MAX).c_str());
        conn->keepalive_client = 0;
        return;
    }
    interface_send_response(conn, &page);
}
