/*
 * ICAP client configuration. Each service entry names an ICAP server, its
 * service path and the modes (REQMOD, RESPMOD) it is used for, for some
 * profiles. This file declares the fields the entries are read from.
 */
#include "icap.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl icap_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list service, by position. */
static const FieldDecl icap_service_fields[] = {
    {  0, "enabled",  FIELD_BOOL },
    {  1, "comment",  FIELD_STRING },
    {  2, "profiles", FIELD_STRING_LIST },
    {  3, "host",     FIELD_STRING },
    {  4, "path",     FIELD_STRING },
    {  5, "port",     FIELD_INT },
    {  6, "modes",    FIELD_STRING_SELECT_MANY },
};

ICAPSection *icap_section = nullptr;

ICAPSection::ICAPSection() : Section("icap", SECTION_RWLOCK)
{
    fields_require(icap_global_fields);
    list_require(0, "service", icap_service_fields, std::size(icap_service_fields));
}

void ICAPSection::update()
{
    /* TODO: rebuild the list of ICAP entries from subsection 0; building the
     * first entry registers icap_reqmod, icap_respmod and icap_buffcheck with
     * the processors. Until then the section has no rules and no effect. */
}
