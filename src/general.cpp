/*
 * General settings. The options hold the proxy's host name, temporary
 * directory, text line length and server pool settings; each rule gives the
 * requests of some profiles their time-outs, buffer limits, buffer wait,
 * CONNECT ports, content coding and the X-Forwarded-For and Via headers.
 * Rules are copied out of the configuration entries when the section is
 * rebuilt, so request-time reads touch plain values under the read lock.
 */
#include "general.h"

#include <iterator>

#include "connection.h"
#include "profiles.h"
#include "regexp.h"

/* The options, by position. */
static const FieldDecl general_global_fields[] = {
    {  0, "hostname",    FIELD_STRING },
    {  1, "tempdir",     FIELD_STRING },
    {  2, "linelength",  FIELD_INT },
    {  3, "poolsize",    FIELD_INT },
    {  4, "pooltimeout", FIELD_INT },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl general_rule_fields[] = {
    {  0, "enabled",       FIELD_BOOL },
    {  1, "comment",       FIELD_STRING },
    {  2, "profiles",      FIELD_STRING_LIST },
    {  3, "ctimeout",      FIELD_INT },
    {  4, "timeout",       FIELD_INT },
    {  5, "keeptimeout",   FIELD_INT },
    {  6, "maxdbuffer",    FIELD_LONG_FILE_SIZE },
    {  7, "maxubuffer",    FIELD_LONG_FILE_SIZE },
    {  8, "bufferwait",    FIELD_INT },
    {  9, "cportrange",    FIELD_PORT_RANGE_LIST },
    { 10, "encodemime",    FIELD_STRING },
    { 11, "compressout",   FIELD_BOOL },
    { 12, "compressin",    FIELD_BOOL },
    { 13, "xforwardedfor", FIELD_BOOL },
    { 14, "via",           FIELD_BOOL },
};

GeneralSection *general_section = nullptr;

/* Compiles the content-type expression; an empty or bad one compresses
 * nothing (a bad one is logged by reg_compile). */
static regex_posix_t *general_compile(const std::string &text)
{
    if (text.empty())
        return nullptr;
    return reg_compile(text.c_str(), REG_COMPILE_ICASE);
}

General::General(const General &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      ctimeout(other.ctimeout), timeout(other.timeout), keeptimeout(other.keeptimeout),
      maxdbuffer(other.maxdbuffer), maxubuffer(other.maxubuffer), bufferwait(other.bufferwait),
      cportrange(other.cportrange), encodemime(other.encodemime),
      encodemime_regex(general_compile(other.encodemime)), compressout(other.compressout),
      compressin(other.compressin), xforwardedfor(other.xforwardedfor), via(other.via)
{
}

General::~General()
{
    if (encodemime_regex)
        reg_free(encodemime_regex);
}

GeneralSection::GeneralSection() : Section("general", SECTION_RWLOCK)
{
    fields_require(general_global_fields);
    list_require(0, "rule", general_rule_fields, std::size(general_rule_fields));
}

void GeneralSection::update()
{
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        const FieldVector &f = item.fields;
        rules.emplace_back();
        General &g = rules.back();
        g.enabled = f[0].value != 0;
        g.comment = f[1].text;
        g.profiles = f[2].list;
        g.ctimeout = f[3].value;
        g.timeout = f[4].value;
        g.keeptimeout = f[5].value;
        g.maxdbuffer = (int64_t)std::min<uint64_t>(f[6].llvalue, INT64_MAX);
        g.maxubuffer = (int64_t)std::min<uint64_t>(f[7].llvalue, INT64_MAX);
        g.bufferwait = f[8].value;
        g.cportrange = f[9].portranges;
        g.encodemime = f[10].text;
        g.encodemime_regex = general_compile(g.encodemime);
        g.compressout = f[11].value != 0;
        g.compressin = f[12].value != 0;
        g.xforwardedfor = f[13].value != 0;
        g.via = f[14].value != 0;
    }
}

const General *GeneralSection::find(CONNECTION_T *conn) const
{
    for (const General &g : rules)
        if (g.enabled && profile_find(conn->profiles, g.profiles))
            return &g;
    return nullptr;
}

/* Reads one member of the chosen rule under the read lock, or def. */
#define GENERAL_GET(member, def)                     \
    SectionReadGuard guard(*this);                   \
    const General *g = find(conn);                   \
    return g ? g->member : (def)

int GeneralSection::ctimeout_get(CONNECTION_T *conn) { GENERAL_GET(ctimeout, 60); }
int GeneralSection::timeout_get(CONNECTION_T *conn) { GENERAL_GET(timeout, 60); }
int GeneralSection::keeptimeout_get(CONNECTION_T *conn) { GENERAL_GET(keeptimeout, 60); }
int64_t GeneralSection::maxdbuffer_get(CONNECTION_T *conn) { GENERAL_GET(maxdbuffer, 0); }
int64_t GeneralSection::maxubuffer_get(CONNECTION_T *conn) { GENERAL_GET(maxubuffer, 0); }
int GeneralSection::bufferwait_get(CONNECTION_T *conn) { GENERAL_GET(bufferwait, 0); }
int GeneralSection::compressout_get(CONNECTION_T *conn) { GENERAL_GET(compressout, 0); }
int GeneralSection::compressin_get(CONNECTION_T *conn) { GENERAL_GET(compressin, 0); }
int GeneralSection::xforwardedfor_get(CONNECTION_T *conn) { GENERAL_GET(xforwardedfor, 0); }
int GeneralSection::via_get(CONNECTION_T *conn) { GENERAL_GET(via, 0); }

int GeneralSection::cportrange_check(CONNECTION_T *conn, int port)
{
    SectionReadGuard guard(*this);
    const General *g = find(conn);
    return !g || g->cportrange.has(port) ? 1 : 0;
}

int GeneralSection::encodemime_check(CONNECTION_T *conn, const char *type)
{
    SectionReadGuard guard(*this);
    const General *g = find(conn);
    return g && g->encodemime_regex && type && reg_exec(g->encodemime_regex, type) == 0 ? 1 : 0;
}

int GeneralSection::linelength_get()
{
    /* 0 means no wrapping; a negative length means the same. */
    int length = atomic_read(&fields[2].value);
    return length > 0 ? length : 0;
}

int GeneralSection::poolsize_get()
{
    return atomic_read(&fields[3].value);
}

int GeneralSection::pooltimeout_get()
{
    return atomic_read(&fields[4].value);
}

std::string GeneralSection::hostname_get()
{
    SectionReadGuard guard(*this);
    return fields[0].text;
}

std::string GeneralSection::tempdir_get()
{
    SectionReadGuard guard(*this);
    return fields[1].text;
}
