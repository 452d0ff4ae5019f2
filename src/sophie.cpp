/*
 * Sophie adapter configuration. Response bodies of the requests that a rule
 * selects are written to a temporary file and handed to the Sophie daemon
 * through its UNIX-domain socket or over TCP. This file declares the fields
 * the adapter reads.
 */
#include "sophie.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl sophie_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "socket",   FIELD_STRING },
    {  2, "host",     FIELD_STRING },
    {  3, "port",     FIELD_INT },
    {  4, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl sophie_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

SophieSection *sophie_section = nullptr;

SophieSection::SophieSection() : Section("sophie", SECTION_RWLOCK)
{
    fields_require(sophie_global_fields);
    list_require(0, "rule", sophie_rule_fields, std::size(sophie_rule_fields));
    /* TODO: register sophie_respcheck and then sophie_buffcheck with the
     * processors. */
}

void SophieSection::update()
{
    /* TODO: rebuild the list of Sophie entries from subsection 0. Until then
     * the section has no rules and no effect. */
}
