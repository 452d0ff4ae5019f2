/*
 * URL filter. Allow and deny rules match the request host and path with
 * regular expressions and the address the host resolves to with address
 * ranges; the two lists are evaluated as the access rules evaluate theirs,
 * and a refused request is answered with a template page. The same
 * decision drives the page of the URL command "filter", which shows the
 * rule that would refuse the request.
 *
 * The host is resolved lazily, only when a rule reaches its address
 * condition, and at most once per check. The lookup may wait on a DNS
 * server, so it is made without the section lock: the check stops, the
 * lock is released, the host is resolved, and the check runs again under
 * the lock with the answer. Pages are sent without the lock as well.
 */
#include "urlfilter.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>

#include "access.h"
#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "header.h"
#include "hooks.h"
#include "interface.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"
#include "regexp.h"
#include "templates.h"
#include "xml.h"

static const char *filter_host(const CONNECTION_T *conn);
static const char *filter_path(const CONNECTION_T *conn);
static bool filter_match(const Filter &rule, const CONNECTION_T *conn, FilterLookup &lookup,
                         ProfileVerdicts &verdicts);
static int filter_texts(const Filter &rule, const std::string **texts);

/* The options, by position. */
static const FieldDecl filter_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
    {  2, "template",    FIELD_STRING },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl filter_rule_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "host",      FIELD_STRING },
    {  4, "path",      FIELD_STRING },
    {  5, "addresses", FIELD_IP_RANGE_LIST },
    {  6, "template",  FIELD_STRING },
};

FilterSection *filter_section = nullptr;

/* ---- Filter ---- */

Filter::Filter(const Item &entry)
{
    const FieldVector &f = entry.fields;
    item = &entry;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    host = f[3].text;
    path = f[4].text;
    addresses = f[5].ipranges;
    template_name = f[6].text;
    compile();
}

Filter::Filter(const Filter &other)
    : item(other.item), enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      host(other.host), path(other.path), addresses(other.addresses),
      template_name(other.template_name), profile_id(other.profile_id)
{
    compile();
}

Filter::~Filter()
{
    if (host_regex)
        reg_free(host_regex);
    if (path_regex)
        reg_free(path_regex);
}

void Filter::compile()
{
    host_regex = section_expression_compile(host, &refused);
    path_regex = section_expression_compile(path, &refused);
}

/* ---- matching ---- */

static const char *filter_host(const CONNECTION_T *conn)
{
    return conn->header && conn->header->host ? conn->header->host : "";
}

static const char *filter_path(const CONNECTION_T *conn)
{
    return conn->header && conn->header->path ? conn->header->path : "";
}

/* Whether rule matches the request. A rule that reaches its address
 * condition before the host was resolved marks the lookup NEEDED and
 * answers false; the caller then discards the evaluation. A host that does
 * not resolve lies inside every address list. */
static bool filter_match(const Filter &rule, const CONNECTION_T *conn, FilterLookup &lookup,
                         ProfileVerdicts &verdicts)
{
    if (!rule.enabled || rule.refused)
        return false;
    if (!verdicts.accepts(rule.profile_id))
        return false;
    if (rule.host_regex && reg_exec(rule.host_regex, filter_host(conn)) != 0)
        return false;
    /* The path as written or as the server will read it: escapes, dot
     * segments and doubled slashes step around no rule. */
    if (rule.path_regex && reg_exec(rule.path_regex, filter_path(conn)) != 0 &&
        reg_exec(rule.path_regex, lookup.path_normal.c_str()) != 0)
        return false;
    if (rule.addresses.ranges.empty() || (conn->flags & CONN_OFFLINE))
        return true;
    switch (lookup.state) {
    case FILTER_LOOKUP_NONE:
    case FILTER_LOOKUP_NEEDED:
        lookup.state = FILTER_LOOKUP_NEEDED;
        return false;
    case FILTER_LOOKUP_UNRESOLVED:
        return true;
    case FILTER_LOOKUP_RESOLVED:
        return access_address_match(rule.addresses, lookup.address.c_str());
    }
    return false;
}

void filter_resolve(const CONNECTION_T *conn, FilterLookup &lookup)
{
    std::unique_ptr<HOSTENT, void (*)(HOSTENT *)> answer(net_dns(filter_host(conn)), hostent_free);
    char text[INET_ADDRSTRLEN];
    if (answer && answer->addr && inet_ntop(AF_INET, answer->addr, text, sizeof text)) {
        lookup.state = FILTER_LOOKUP_RESOLVED;
        lookup.address = text;
    } else {
        lookup.state = FILTER_LOOKUP_UNRESOLVED;
        lookup.address.clear();
    }
}

/* ---- FilterSection ---- */

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK)
{
    fields_require(filter_global_fields);
    list_require(0, "allow", filter_rule_fields, std::size(filter_rule_fields));
    list_require(1, "deny", filter_rule_fields, std::size(filter_rule_fields));
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    allowfirst = &fields[1].value;
    template_name = &fields[2].text;
    processors.Add(filter_reqcheck, PROCESSOR_REQCHECK);
}

int FilterSection::item_check(const Item &item, std::string *nature)
{
    return section_expressions_check(item, { 3, 4 }, nature);
}

/* The expressions the index reads: host (field 0) and path (field 1). */
static int filter_texts(const Filter &rule, const std::string **texts)
{
    texts[0] = &rule.host;
    texts[1] = &rule.path;
    return 2;
}

void FilterSection::update()
{
    section_rules_rebuild(allow, deny, subsections);
    index.build(allow, deny, nullptr, filter_texts,
                [](const Filter &rule) { return rule.enabled && !rule.refused; });
}

int FilterSection::check(const CONNECTION_T *conn, FilterLookup &lookup, const Filter **rule) const
{
    *rule = nullptr;
    if (!*enabled || (conn->bypass & BYPASS_URLFILTER))
        return FILTER_PASS;
    lookup.path_normal = url_path_normal(filter_path(conn));
    /* Only the rules whose host or path (as written or as the server reads
     * it) can match are tried, in list order, so the first match is the one
     * a walk of the list finds. */
    ProfileVerdicts verdicts(conn->profiles, index.conditions);
    RuleSubjects subjects;
    subjects.text[0][0] = rule_subject(filter_host(conn));
    subjects.text[1][0] = rule_subject(filter_path(conn));
    subjects.text[1][1] = rule_subject(lookup.path_normal.c_str());
    auto match = [&](const Filter &candidate) {
        return filter_match(candidate, conn, lookup, verdicts);
    };
    AllowDenyResult<Filter> result = index.evaluate(*allowfirst != 0, subjects, match);
    if (lookup.state == FILTER_LOOKUP_NEEDED)
        return FILTER_NEED_ADDRESS;
    if (result.outcome == ALLOWDENY_ACCEPTED)
        return FILTER_PASS;
    *rule = result.rule ? result.rule : &builtin;
    return FILTER_REFUSE;
}

int FilterSection::check_and_block(CONNECTION_T *conn)
{
    std::string page;
    int rc = decide(conn, [&](const Filter *rule) {
        if (!rule)
            return;
        if (!rule->template_name.empty())
            page = rule->template_name;
        else if (!template_name->empty())
            page = *template_name;
        else
            page = "blocked";
    });
    if (rc != FILTER_REFUSE)
        return 0;

    const HEADER *h = conn->header;
    putlog(LOG_URLFILTER, "blocked: %s%s", filter_host(conn), filter_path(conn));
    conn->variables["FILTER"] = "URL Filter";
    template_section->send_or_close(page.c_str(), conn,
                                    h && h->type == HEADER_CONNECT ? 404 : 200);
    conn->logentry.filter_name = "url-filter";
    conn->logentry.filtering_reason = "-";
    return 1;
}

void FilterSection::check_show(CONNECTION_T *conn)
{
    std::string title = "URL filter match for " +
                        interface_html(std::string(filter_host(conn)) + filter_path(conn));
    Filebuf page;
    bool ok = interface_command_page_start(conn, &page, title) &&
              interface_dialog_open(&page, title);
    /* Read before the filter's lock: the general section has its own. */
    int line_length = section_line_length();

    /* The deciding entry is drawn into a buffer of its own under the lock;
     * the page goes out after the lock is released. */
    Filebuf rows;
    decide(conn, [&](const Filter *rule) {
        if (!rule)
            ok = ok && interface_dialog_note(&rows, "None");
        else if (!rule->item)
            ok = ok && interface_dialog_note(&rows, "Refused: no allow rule matched");
        else
            rule->item->display(&rows, 0, line_length);
    });
    ok = ok && (rows.size == 0 || page.Add(rows.data, rows.size) == FILEBUF_OK) &&
         page.Add("</table>\n", 9) == FILEBUF_OK && interface_command_page_end(&page);
    if (!ok) {
        putlog(LOG_ERROR, "url filter: the filter page for %s%s could not be built",
               filter_host(conn), filter_path(conn));
        conn->keepalive_client = 0;
        return;
    }
    interface_send_response(conn, &page);
}

int filter_reqcheck(CONNECTION_T *conn, Filebuf *)
{
    return filter_section->check_and_block(conn);
}
