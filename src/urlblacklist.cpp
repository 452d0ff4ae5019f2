/*
 * URL blacklist. A directory of categories, each with a domains and a urls
 * file, is read once at start-up; allow and deny rules name the categories
 * they cover. This file declares the fields the rules are read from.
 */
#include "urlblacklist.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl urlbl_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
    {  2, "directory",   FIELD_STRING },
    {  3, "template",    FIELD_STRING },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl urlbl_rule_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "categories", FIELD_STRING_LIST },
    {  4, "template",   FIELD_STRING },
};

URLBLSection *urlbl_section = nullptr;

URLBLSection::URLBLSection() : Section("urlblacklist", SECTION_RWLOCK)
{
    fields_require(urlbl_global_fields);
    list_require(0, "allow", urlbl_rule_fields, std::size(urlbl_rule_fields));
    list_require(1, "deny", urlbl_rule_fields, std::size(urlbl_rule_fields));
    /* TODO: build the built-in default rule and register urlbl_reqcheck as a
     * PROCESSOR_REQCHECK callback. */
}

void URLBLSection::update()
{
    /* TODO: rebuild the allow and deny lists of URLBL rules from subsections
     * 0 and 1. Until then the section has no rules and no effect. */
}
