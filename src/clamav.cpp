/*
 * ClamAV adapter configuration. Response bodies of the requests that a rule
 * selects are streamed to the ClamAV daemon over a UNIX-domain socket or
 * TCP. This file declares the fields the adapter reads.
 */
#include "clamav.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl clamav_global_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "address",  FIELD_STRING },
    {  2, "port",     FIELD_INT },
    {  3, "template", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl clamav_rule_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "template", FIELD_STRING },
};

ClamAVSection *clamav_section = nullptr;

ClamAVSection::ClamAVSection() : Section("clamav", SECTION_RWLOCK)
{
    fields_require(clamav_global_fields);
    list_require(0, "rule", clamav_rule_fields, std::size(clamav_rule_fields));
    /* TODO: register clamav_respcheck and then clamav_buffcheck with the
     * processors. */
}

void ClamAVSection::update()
{
    /* TODO: rebuild the list of ClamAV entries from subsection 0. Until then
     * the section has no rules and no effect. */
}
