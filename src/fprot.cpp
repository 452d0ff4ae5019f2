/*
 * F-Prot adapter configuration. Response bodies of the requests that a rule
 * selects are written to a temporary file and handed to the F-Prot daemon
 * over HTTP, with the rule's scan options. This file declares the fields the
 * adapter reads.
 */
#include "fprot.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl fprot_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl fprot_rule_fields[] = {
    {  0, "enabled",       FIELD_BOOL },
    {  1, "comment",       FIELD_STRING },
    {  2, "profiles",      FIELD_STRING_LIST },
    {  3, "template",      FIELD_STRING },
    {  4, "archive-depth", FIELD_INT },
    {  5, "options",       FIELD_STRING_SELECT_MANY },
};

FProtSection *fprot_section = nullptr;

FProtSection::FProtSection() : Section("fprot", SECTION_RWLOCK)
{
    fields_require(fprot_global_fields);
    list_require(0, "rule", fprot_rule_fields, std::size(fprot_rule_fields));
    /* TODO: register fprot_respcheck and then fprot_buffcheck with the
     * processors. */
}

void FProtSection::update()
{
    /* TODO: rebuild the list of FProt entries from subsection 0. Until then
     * the section has no rules and no effect. */
}
