/*
 * Kaspersky adapter configuration. Response bodies of the requests that a
 * rule selects are written to a temporary file and handed to the Kaspersky
 * daemon through its UNIX-domain socket. This file declares the fields the
 * adapter reads.
 */
#include "kaspersky.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl kaspersky_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "template", FIELD_STRING },
    {  2, "socket",   FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl kaspersky_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

KasperskySection *kaspersky_section = nullptr;

KasperskySection::KasperskySection() : Section("kaspersky", SECTION_RWLOCK)
{
    fields_require(kaspersky_global_fields);
    list_require(0, "rule", kaspersky_rule_fields, std::size(kaspersky_rule_fields));
    /* TODO: register kaspersky_respcheck and then kaspersky_buffcheck with
     * the processors. */
}

void KasperskySection::update()
{
    /* TODO: rebuild the list of Kaspersky entries from subsection 0. Until
     * then the section has no rules and no effect. */
}
