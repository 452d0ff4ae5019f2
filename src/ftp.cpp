/*
 * FTP gateway options: passive or active data connections, the time-out, the
 * login for URLs without a user, and the order of directory listings. The
 * section has no lists; the gateway reads each option when it needs it,
 * under the section lock, so a reload takes effect at the next request.
 */
#include "ftp.h"

/* The options, by position. */
static const FieldDecl ftp_global_fields[] = {
    {  0, "passive",            FIELD_BOOL },
    {  1, "timeout",            FIELD_INT },
    {  2, "anonymous-user",     FIELD_STRING },
    {  3, "anonymous-password", FIELD_STRING },
    {  4, "sortorder",          FIELD_STRING_SELECT_ONE },
    {  5, "sortfield",          FIELD_STRING_SELECT_ONE },
};

FtpSection *ftp_section = nullptr;

FtpSection::FtpSection() : Section("ftp", SECTION_RWLOCK)
{
    fields_require(ftp_global_fields);
}

void FtpSection::update()
{
}

int FtpSection::passive_get()
{
    return atomic_read(&fields[0].value);
}

int FtpSection::timeout_get()
{
    return atomic_read(&fields[1].value);
}

int FtpSection::sortorder_get()
{
    return atomic_read(&fields[4].value);
}

int FtpSection::sortfield_get()
{
    return atomic_read(&fields[5].value);
}

std::string FtpSection::anonymous_user_get()
{
    SectionReadGuard guard(*this);
    return fields[2].text;
}

std::string FtpSection::anonymous_password_get()
{
    SectionReadGuard guard(*this);
    return fields[3].text;
}
