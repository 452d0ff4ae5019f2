/*
 * Tavrin category rules. Hosts are rated in 31 content categories through
 * DNS, and each rule that finds the host's score in one of its categories
 * inside its range adds and removes profile names. This file declares the
 * fields the rules are read from.
 */
#include "tavrin.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl tavrin_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "directory", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl tavrin_rule_fields[] = {
    {  0, "enabled",         FIELD_BOOL },
    {  1, "comment",         FIELD_STRING },
    {  2, "log",             FIELD_BOOL },
    {  3, "profiles",        FIELD_STRING_LIST },
    {  4, "categories",      FIELD_STRING_LIST },
    {  5, "scores",          FIELD_STRING },
    {  6, "add-profiles",    FIELD_STRING_LIST },
    {  7, "remove-profiles", FIELD_STRING_LIST },
};

TAVRIN_Section *tavrin_section = nullptr;

TAVRIN_Section::TAVRIN_Section() : Section("Tavrin", SECTION_RWLOCK)
{
    fields_require(tavrin_global_fields);
    list_require(0, "rule", tavrin_rule_fields, std::size(tavrin_rule_fields));
    /* TODO: fill the category-name table and create the rating cache. */
}

void TAVRIN_Section::update()
{
    /* TODO: when the section is enabled, rebuild the list of TAVRIN rules
     * from subsection 0. Until then the section has no rules and no effect. */
}
