/*
 * DNS blacklist. The domain of the request host is looked up under a
 * configured zone, and an answer inside the configured address list refuses
 * the request. The section has options only. This file declares the fields
 * the check reads.
 */
#include "dnsbl.h"

/* The options, by position. */
static const FieldDecl dnsbl_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "template",  FIELD_STRING },
    {  2, "zone",      FIELD_STRING },
    {  3, "addresses", FIELD_IP_RANGE_LIST },
};

DnsblSection *dnsbl_section = nullptr;

DnsblSection::DnsblSection() : Section("dnsbl", SECTION_RWLOCK)
{
    fields_require(dnsbl_global_fields);
    /* TODO: keep pointers to the four options and register dnsbl_reqcheck as
     * a PROCESSOR_REQCHECK callback. */
}

void DnsblSection::update()
{
    /* The section has no lists: its options are read where they are used. */
}
