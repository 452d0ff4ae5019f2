/*
 * Limits. Each rule restricts the requests of some profiles inside a time
 * window: refusal, a request count, download and upload caps and a bandwidth
 * limit, with counters shared by the rule's requests. This file declares the
 * fields the rules are read from.
 */
#include "limit.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl limit_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list limit, by position. */
static const FieldDecl limit_limit_fields[] = {
    {  0, "enabled",       FIELD_BOOL },
    {  1, "comment",       FIELD_STRING },
    {  2, "profiles",      FIELD_STRING_LIST },
    {  3, "deny",          FIELD_BOOL },
    {  4, "template",      FIELD_STRING },
    {  5, "month",         FIELD_STRING_RANGE },
    {  6, "day",           FIELD_INT_RANGE },
    {  7, "weekday",       FIELD_STRING_RANGE },
    {  8, "hour",          FIELD_INT_RANGE },
    {  9, "minute",        FIELD_INT_RANGE },
    { 10, "downloadlimit", FIELD_LONG_FILE_SIZE },
    { 11, "uploadlimit",   FIELD_LONG_FILE_SIZE },
    { 12, "maxrequests",   FIELD_UINT },
    { 13, "rate",          FIELD_LONG_FILE_SIZE },
    { 14, "recurring",     FIELD_BOOL },
    { 15, "flags",         FIELD_STRING_SELECT_MANY },
};

LimitSection *limit_section = nullptr;

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK)
{
    fields_require(limit_global_fields);
    list_require(0, "limit", limit_limit_fields, std::size(limit_limit_fields));
}

void LimitSection::update()
{
    /* TODO: rebuild the list of Limit rules from subsection 0 with zeroed
     * counters, their time windows and, with shared-rate, their bandwidth
     * groups. Until then the section has no rules and no effect. */
}
