/*
 * Profiles. A profile is a name attached to the request a connection is
 * serving; the rules of nearly every section carry a profile list that
 * says to which requests they apply, and profile_find is the one test of
 * such a list. The profile rules of this section add and remove names by
 * what the request looks like (scheme, host, path, port, URL commands,
 * headers, the response's content type, the proxy's host name, a time
 * window). They run several times per request, as the user, the host and
 * the response become known, and each run builds on the names the last one
 * left. Expressions are compiled once when the rules are built; a rule
 * whose expression does not compile is refused, never taken as a rule
 * without that condition, which would apply it to every request.
 */
#include "profiles.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <string_view>

#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "options.h"
#include "regexp.h"
#include "tavrin.h"
#include "urlcommand.h"

static regex_posix_t *profile_compile(const std::string &text, bool *failed);
static std::string profile_proxy_host();
static bool profile_match(const regex_posix_t *regex, const char *text);
static bool profile_commands_match(const Profile &rule, CONNECTION_T *conn);
static bool profile_applies(const Profile &rule, CONNECTION_T *conn, const struct tm *now,
                            std::string *proxy_host, bool *proxy_host_known);
static void profile_apply(const Profile &rule, CONNECTION_T *conn);

/* The fields of an entry of the list profile, by position. */
static const FieldDecl profile_profile_fields[] = {
    {  0, "enabled",         FIELD_BOOL },
    {  1, "comment",         FIELD_STRING },
    {  2, "log",             FIELD_BOOL },
    {  3, "profiles",        FIELD_STRING_LIST },
    {  4, "scheme",          FIELD_STRING },
    {  5, "host",            FIELD_STRING },
    {  6, "path",            FIELD_STRING },
    {  7, "content-type",    FIELD_STRING },
    {  8, "ports",           FIELD_PORT_RANGE_LIST },
    {  9, "commands",        FIELD_STRING_LIST },
    { 10, "proxy-host",      FIELD_STRING },
    { 11, "request-header",  FIELD_STRING },
    { 12, "response-header", FIELD_STRING },
    { 13, "month",           FIELD_STRING_RANGE },
    { 14, "day",             FIELD_INT_RANGE },
    { 15, "weekday",         FIELD_STRING_RANGE },
    { 16, "hour",            FIELD_INT_RANGE },
    { 17, "minute",          FIELD_INT_RANGE },
    { 18, "recurring",       FIELD_BOOL },
    { 19, "add-profiles",    FIELD_STRING_LIST },
    { 20, "remove-profiles", FIELD_STRING_LIST },
};

/* The entry field of each expression, in profile_expression order. */
static const int profile_expression_fields[PROFILE_EXPRESSIONS] = { 4, 5, 6, 7, 10, 11, 12 };

ProfileSection *profile_section = nullptr;

/* Compiles text without regard to case; NULL for an empty text. A text
 * that does not compile gives NULL and sets *failed (reg_compile logs). */
static regex_posix_t *profile_compile(const std::string &text, bool *failed)
{
    if (text.empty())
        return nullptr;
    regex_posix_t *regex = reg_compile(text.c_str(), REG_COMPILE_ICASE);
    if (!regex)
        *failed = true;
    return regex;
}

static ProfileWindow profile_window(const Field &field)
{
    ProfileWindow w;
    w.active = field.optional ? field.active : true;
    w.first = field.value;
    w.last = field.value2;
    return w;
}

Profile::Profile(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    log = f[2].value;
    profiles = f[3].list;
    for (int e = 0; e < PROFILE_EXPRESSIONS; e++)
        texts[e] = f[profile_expression_fields[e]].text;
    ports = f[8].portranges;
    commands = f[9].list;
    month = profile_window(f[13]);
    day = profile_window(f[14]);
    weekday = profile_window(f[15]);
    hour = profile_window(f[16]);
    minute = profile_window(f[17]);
    recurring = f[18].value;
    add_profiles = f[19].list;
    remove_profiles = f[20].list;
    window_build();
    compile();
}

Profile::Profile(const Profile &other)
    : enabled(other.enabled), comment(other.comment), log(other.log), profiles(other.profiles),
      ports(other.ports), commands(other.commands), month(other.month), day(other.day),
      weekday(other.weekday), hour(other.hour), minute(other.minute),
      recurring(other.recurring), add_profiles(other.add_profiles),
      remove_profiles(other.remove_profiles), from(other.from), to(other.to)
{
    for (int e = 0; e < PROFILE_EXPRESSIONS; e++)
        texts[e] = other.texts[e];
    compile();
}

Profile::~Profile()
{
    for (regex_posix_t *regex : regex)
        if (regex)
            reg_free(regex);
}

/* Compiles every expression from its text; this copy owns them. */
void Profile::compile()
{
    refused = false;
    for (int e = 0; e < PROFILE_EXPRESSIONS; e++)
        regex[e] = profile_compile(texts[e], &refused);
}

/* Both bounds mark each active component as set, the start taking its
 * first value and the end its last; the year is never set. */
static void window_set(const ProfileWindow &w, bool tm_partial::*set, int tm_partial::*value,
                       tm_partial *from, tm_partial *to)
{
    if (!w.active)
        return;
    from->*set = to->*set = true;
    from->*value = w.first;
    to->*value = w.last;
}

void Profile::window_build()
{
    from = tm_partial{};
    to = tm_partial{};
    window_set(month, &tm_partial::month_set, &tm_partial::month, &from, &to);
    window_set(day, &tm_partial::mday_set, &tm_partial::mday, &from, &to);
    window_set(weekday, &tm_partial::wday_set, &tm_partial::wday, &from, &to);
    window_set(hour, &tm_partial::hour_set, &tm_partial::hour, &from, &to);
    window_set(minute, &tm_partial::minute_set, &tm_partial::minute, &from, &to);
}

bool window_bounds(const FieldVector &fields, int first, tm_partial *from, tm_partial *to)
{
    *from = tm_partial{};
    *to = tm_partial{};
    window_set(profile_window(fields[first]), &tm_partial::month_set, &tm_partial::month, from, to);
    window_set(profile_window(fields[first + 1]), &tm_partial::mday_set, &tm_partial::mday, from, to);
    window_set(profile_window(fields[first + 2]), &tm_partial::wday_set, &tm_partial::wday, from, to);
    window_set(profile_window(fields[first + 3]), &tm_partial::hour_set, &tm_partial::hour, from, to);
    window_set(profile_window(fields[first + 4]), &tm_partial::minute_set, &tm_partial::minute, from, to);
    return from->month_set || from->mday_set || from->wday_set || from->hour_set || from->minute_set;
}

ProfileSection::ProfileSection() : Section("profiles", SECTION_RWLOCK)
{
    list_require(0, "profile", profile_profile_fields, std::size(profile_profile_fields));
}

int ProfileSection::item_check(const Item &item, std::string *nature)
{
    for (int e = 0; e < PROFILE_EXPRESSIONS; e++) {
        const Field &field = item.fields[profile_expression_fields[e]];
        bool failed = false;
        regex_posix_t *regex = profile_compile(field.text, &failed);
        if (regex)
            reg_free(regex);
        if (failed) {
            *nature = "a valid regular expression";
            return profile_expression_fields[e];
        }
    }
    return -1;
}

void ProfileSection::update()
{
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        rules.emplace_back(item);
        if (rules.back().refused)
            putlog(LOG_ERROR, "section profiles, profile %s: an expression does not compile; "
                              "the rule is refused",
                   rules.back().comment.c_str());
    }
}

/* The proxy's own host name: the command line's, else the general
 * section's. */
static std::string profile_proxy_host()
{
    if (proxyhost[0])
        return proxyhost;
    return general_section ? general_section->hostname_get() : std::string();
}

/* An unanchored search of a compiled expression; NULL text never matches. */
static bool profile_match(const regex_posix_t *regex, const char *text)
{
    return text && reg_exec(regex, text) == 0;
}

/* The URL-command condition: the client may give commands at all, and
 * one of the request's commands, in request order, is in the rule's list. */
static bool profile_commands_match(const Profile &rule, CONNECTION_T *conn)
{
    if (!(conn->permissions & ACCESS_COMMANDS) || !conn->urlcommands)
        return false;
    for (url_command_t **c = conn->urlcommands; *c; c++)
        if (rule.commands.has((*c)->name))
            return true;
    return false;
}

/* Whether every condition of rule holds, tested in the fixed order; the
 * first that fails ends the test. The proxy's host name is read once per
 * evaluation, when the first rule asks for it. */
static bool profile_applies(const Profile &rule, CONNECTION_T *conn, const struct tm *now,
                            std::string *proxy_host, bool *proxy_host_known)
{
    const HEADER *request = conn->header;
    const HEADER *response = conn->rheader;

    if (!rule.enabled || rule.refused)
        return false;
    if (!profile_find(conn->profiles, rule.profiles))
        return false;
    if (!rule.ports.has(request->port))
        return false;
    if (rule.regex[PROFILE_CONTENT_TYPE] &&
        !(response && profile_match(rule.regex[PROFILE_CONTENT_TYPE], response->content_type)))
        return false;
    if (rule.regex[PROFILE_REQUEST_HEADER] &&
        !profile_match(rule.regex[PROFILE_REQUEST_HEADER], request->raw ? request->raw : ""))
        return false;
    if (rule.regex[PROFILE_RESPONSE_HEADER] &&
        !(response && profile_match(rule.regex[PROFILE_RESPONSE_HEADER], response->raw)))
        return false;
    if (rule.regex[PROFILE_SCHEME] && !profile_match(rule.regex[PROFILE_SCHEME], request->protocol))
        return false;
    if (rule.regex[PROFILE_HOST] && !profile_match(rule.regex[PROFILE_HOST], request->host))
        return false;
    if (rule.regex[PROFILE_PATH] &&
        !profile_match(rule.regex[PROFILE_PATH], request->path ? request->path : ""))
        return false;
    if (!rule.commands.empty() && !profile_commands_match(rule, conn))
        return false;
    if (rule.regex[PROFILE_PROXY_HOST]) {
        if (!*proxy_host_known) {
            *proxy_host = profile_proxy_host();
            *proxy_host_known = true;
        }
        if (!profile_match(rule.regex[PROFILE_PROXY_HOST], proxy_host->c_str()))
            return false;
    }
    if (rule.recurring)
        return in_alltimerange(now, &rule.from, &rule.to) == 1;
    return in_absolutetimerange(now, &rule.from, &rule.to) == 1;
}

/* Adds the rule's names the request lacks, then removes every occurrence
 * of each name to remove; a name in both lists ends up absent. */
static void profile_apply(const Profile &rule, CONNECTION_T *conn)
{
    for (const std::string &name : rule.add_profiles) {
        if (conn->profiles.has(name))
            continue;
        conn->profiles.push_back(name);
        if (rule.log == 1)
            conn->profiles.show_p("Added", name);
    }
    for (const std::string &name : rule.remove_profiles) {
        if (rule.log == 1)
            conn->profiles.show_p("Removed", name);
        conn->profiles.remove(name);
    }
}

void ProfileSection::profiles_update(CONNECTION_T *conn)
{
    struct tm local = log_local_time(time(nullptr));
    profiles_update_at(conn, &local);
}

void ProfileSection::profiles_update_at(CONNECTION_T *conn, const struct tm *now)
{
    ASSERT(conn->header != nullptr);
    {
        SectionReadGuard guard(*this);
        std::string proxy_host;
        bool proxy_host_known = false;
        for (const Profile &rule : rules)
            if (profile_applies(rule, conn, now, &proxy_host, &proxy_host_known))
                profile_apply(rule, conn);
    }
    /* The category rules see the names as they now stand. */
    (void)tavrin_second(conn);
    conn->logentry.profiles = profile_log_text(conn->profiles);
}

std::string profile_log_text(const StringList &profiles)
{
    char text[PROFILE_LOG_TEXT_MAX + 1];
    size_t len = 0;
    bool first = true;
    for (const std::string &name : profiles) {
        if (len >= PROFILE_LOG_TEXT_MAX)
            break;
        if (!first)
            text[len++] = ',';
        first = false;
        size_t take = std::min(name.size(), (size_t)PROFILE_LOG_TEXT_MAX);
        take = std::min(take, (size_t)PROFILE_LOG_TEXT_MAX - len);
        memcpy(text + len, name.data(), take);
        len += take;
    }
    return std::string(text, len);
}

int profile_find(const StringList &have, const StringList &want)
{
    if (want.empty())
        return 1;
    bool negation = false;
    for (const std::string &entry : want) {
        bool negated = !entry.empty() && entry[0] == '!';
        negation = negation || negated;
        std::string_view name(entry);
        if (negated)
            name.remove_prefix(1);
        for (const std::string &held : have)
            if (held == name)
                return negated ? 0 : 1;
    }
    return negation ? 1 : 0;
}

/* ---- ProfileConditions and ProfileVerdicts ---- */

int ProfileConditions::add(const StringList &want)
{
    if (want.empty())
        return -1;
    /* The key: every name with its length, so that no two lists share one. */
    std::string key;
    for (const std::string &name : want)
        key += std::to_string(name.size()) + ":" + name;
    auto found = index.find(key);
    if (found != index.end())
        return found->second;
    int id = (int)lists.size();
    lists.push_back(want);
    index.emplace(std::move(key), id);
    return id;
}

void ProfileConditions::clear()
{
    lists.clear();
    index.clear();
}

ProfileVerdicts::ProfileVerdicts(const StringList &have, const ProfileConditions &conditions)
    : have(have), conditions(conditions)
{
    size_t count = conditions.size();
    if (count > PROFILE_VERDICTS_INLINE)
        spill.assign(count, PROFILE_VERDICT_UNKNOWN);
    else
        std::fill(inline_verdicts, inline_verdicts + count, PROFILE_VERDICT_UNKNOWN);
}

bool ProfileVerdicts::accepts(int id)
{
    if (id < 0)
        return true;
    signed char &verdict = spill.empty() ? inline_verdicts[id] : spill[(size_t)id];
    if (verdict == PROFILE_VERDICT_UNKNOWN)
        verdict = profile_find(have, conditions.at(id)) == 1 ? 1 : 0;
    return verdict == 1;
}
