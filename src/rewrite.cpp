/*
 * Rewrite rules. Each rule substitutes a pattern in request or response
 * headers, response bodies or request bodies, for some profiles and content
 * types; every applicable rule is applied in order. This file declares the
 * fields the rules are read from.
 */
#include "rewrite.h"

#include <iterator>

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

RewriteSection *rewrite_section = nullptr;

RewriteSection::RewriteSection() : Section("rewrite", SECTION_RWLOCK)
{
    fields_require(rewrite_global_fields);
    list_require(0, "rule", rewrite_rule_fields, std::size(rewrite_rule_fields));
    /* TODO: register rewrite_reqmod, rewrite_respmod, rewrite_buffcheck,
     * rewrite_reqheader and rewrite_respheader with the processors. */
}

void RewriteSection::update()
{
    /* TODO: rebuild the list of Rewrite rules from subsection 0, compiling
     * their content-type expressions and substitution patterns. Until then
     * the section has no rules and no effect. */
}
