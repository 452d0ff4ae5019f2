/*
 * Header rules. Allow and deny rules judge every received header line of
 * requests and responses by its name and value; add rules append lines of
 * the administrator's choice. This file declares the fields the rules are
 * read from.
 */
#include "headerfilter.h"

#include <iterator>

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

HeaderSection::HeaderSection() : Section("header-filtering", SECTION_RWLOCK)
{
    fields_require(header_global_fields);
    list_require(0, "allow", header_rule_fields, std::size(header_rule_fields));
    list_require(1, "deny", header_rule_fields, std::size(header_rule_fields));
    list_require(2, "add", header_add_fields, std::size(header_add_fields));
}

void HeaderSection::update()
{
    /* TODO: rebuild the allow, deny and add lists of Header rules from
     * subsections 0 to 2, compiling their name and value expressions. Until
     * then the section has no rules and no effect. */
}
