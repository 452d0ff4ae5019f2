/*
 * Upstream proxy configuration. Each peer entry names an upstream proxy, how
 * it is spoken to, its ICP role and the requests it serves; the options
 * choose between CARP and ICP. This file declares the fields the forwarding
 * decision reads.
 */
#include "forward.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl forward_global_fields[] = {
    {  0, "enabled",      FIELD_BOOL },
    {  1, "carp",         FIELD_BOOL },
    {  2, "carp-buckets", FIELD_UINT },
};

/* The fields of an entry of the list peer, by position. */
static const FieldDecl forward_peer_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "host",       FIELD_STRING },
    {  4, "user",       FIELD_STRING },
    {  5, "password",   FIELD_STRING },
    {  6, "domain",     FIELD_STRING },
    {  7, "port",       FIELD_INT },
    {  8, "icp-type",   FIELD_STRING_SELECT_ONE },
    {  9, "icp-port",   FIELD_INT },
    { 10, "proxy-type", FIELD_STRING_SELECT_ONE },
    { 11, "protocols",  FIELD_STRING_SELECT_MANY },
};

ForwardSection *forward_section = nullptr;

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK)
{
    fields_require(forward_global_fields);
    list_require(0, "peer", forward_peer_fields, std::size(forward_peer_fields));
    /* TODO: initialise the status mutex that guards the peers' down marks. */
}

void ForwardSection::update()
{
    /* TODO: rebuild the list of Forward rules from subsection 0, clearing
     * every down mark. Until then the section has no rules and no effect. */
}

int ForwardSection::forward_do(CONNECTION_T *)
{
    /* TODO: the rules; with none every request goes direct. */
    return 0;
}

void *icp_thread(void *)
{
    /* TODO: the ICP server; until it exists no port is served. */
    return nullptr;
}
