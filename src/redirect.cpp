/*
 * Redirect rules. Each rule matches a URL with a regular expression and
 * builds a new one from a replacement: the URL of a request, which is then
 * fetched or redirected with a 302, or the Location of a server's redirect.
 * This file declares the fields the rules are read from.
 */
#include "redirect.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl redirect_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl redirect_rule_fields[] = {
    {  0, "enabled",         FIELD_BOOL },
    {  1, "comment",         FIELD_STRING },
    {  2, "profiles",        FIELD_STRING_LIST },
    {  3, "pattern",         FIELD_STRING },
    {  4, "replacement",     FIELD_STRING },
    {  5, "port",            FIELD_INT },
    {  6, "client-redirect", FIELD_BOOL },
    {  7, "options",         FIELD_STRING_SELECT_MANY },
    {  8, "scope",           FIELD_STRING_SELECT_ONE },
};

RedirectSection *redirect_section = nullptr;

RedirectSection::RedirectSection() : Section("redirect", SECTION_RWLOCK)
{
    fields_require(redirect_global_fields);
    list_require(0, "rule", redirect_rule_fields, std::size(redirect_rule_fields));
}

void RedirectSection::update()
{
    /* TODO: rebuild the list of Redirect rules from subsection 0, compiling
     * their patterns. Until then the section has no rules and no effect. */
}
