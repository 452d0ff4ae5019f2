/*
 * MIME rules. Allow and deny rules match the response's content type
 * together with the request host, path and profiles; a refused response is
 * replaced by a template page. This file declares the fields the rules are
 * read from.
 */
#include "mime.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl mime_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
    {  2, "template",    FIELD_STRING },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl mime_rule_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "host",      FIELD_STRING },
    {  4, "path",      FIELD_STRING },
    {  5, "mime-type", FIELD_STRING },
    {  6, "template",  FIELD_STRING },
};

MimeSection *mime_section = nullptr;

MimeSection::MimeSection() : Section("mime-filtering", SECTION_RWLOCK)
{
    fields_require(mime_global_fields);
    list_require(0, "allow", mime_rule_fields, std::size(mime_rule_fields));
    list_require(1, "deny", mime_rule_fields, std::size(mime_rule_fields));
    /* TODO: build the built-in default rule. */
}

void MimeSection::update()
{
    /* TODO: rebuild the allow and deny lists of Mime rules from subsections 0
     * and 1, compiling their host, path and content-type expressions. Until
     * then the section has no rules and no effect. */
}
