/*
 * URL filter. Allow and deny rules match the request host and path with
 * regular expressions and the address the host resolves to with address
 * ranges; a refused request is answered with a template page. This file
 * declares the fields the rules are read from.
 */
#include "urlfilter.h"

#include <iterator>

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

FilterSection::FilterSection() : Section("url-filtering", SECTION_RWLOCK)
{
    fields_require(filter_global_fields);
    list_require(0, "allow", filter_rule_fields, std::size(filter_rule_fields));
    list_require(1, "deny", filter_rule_fields, std::size(filter_rule_fields));
    /* TODO: build the built-in default rule and register filter_reqcheck as
     * the first PROCESSOR_REQCHECK callback. */
}

void FilterSection::update()
{
    /* TODO: rebuild the allow and deny lists of Filter rules from subsections
     * 0 and 1, compiling their host and path expressions. Until then the
     * section has no rules and no effect. */
}
