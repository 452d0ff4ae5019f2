/*
 * Keyword scoring. Every applicable rule whose expression occurs in a
 * response body adds its score, and a page whose total reaches the threshold
 * is blocked. This file declares the fields the rules are read from.
 */
#include "keywords.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl keyword_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "threshold", FIELD_INT },
    {  2, "template",  FIELD_STRING },
};

/* The fields of an entry of the list keyword, by position. */
static const FieldDecl keyword_keyword_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "mime-type", FIELD_STRING },
    {  4, "keyword",   FIELD_STRING },
    {  5, "score",     FIELD_INT },
};

KeywordSection *keyword_section = nullptr;

KeywordSection::KeywordSection() : Section("keywords-filtering", SECTION_RWLOCK)
{
    fields_require(keyword_global_fields);
    list_require(0, "keyword", keyword_keyword_fields, std::size(keyword_keyword_fields));
    /* TODO: register keyword_respcheck, keyword_buffcheck and the
     * HOOK_PRERESPMOD hook keyword_prerespmod. */
}

void KeywordSection::update()
{
    /* TODO: rebuild the list of Keyword rules from subsection 0, compiling
     * their content-type and keyword expressions. Until then the section has
     * no rules and no effect. */
}
