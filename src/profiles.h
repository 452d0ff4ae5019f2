#pragma once

#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "configtypes.h"
#include "misc.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

/* The longest profile name, and the longest profile text, of an
 * access-log record. */
#define PROFILE_LOG_TEXT_MAX 254

/* Whether a rule's profile list want accepts the request's list have: an
 * empty list accepts everything; otherwise the first name of want that have
 * holds decides (a "!name" refuses, a plain name accepts), and when have
 * holds none of them the request passes only if want has a negation.
 * Pure: the caller holds its own section's lock over want. */
int profile_find(const StringList &have, const StringList &want);

/* The distinct profile lists of one section's rules, each held once, so
 * that a request's verdict on a list is worked out once however many rules
 * carry it. Rebuilt with the rules, under the section's write lock. */
class ProfileConditions {
public:
    /* The number of want, adding it when new; -1 for an empty list, which
     * accepts every request. */
    int add(const StringList &want);
    void clear();
    size_t size() const { return lists.size(); }
    const StringList &at(int id) const { return lists[(size_t)id]; }

private:
    std::vector<StringList> lists;
    std::unordered_map<std::string, int> index;   /* the list as one text */
};

/* Conditions a ProfileVerdicts holds without allocating. */
#define PROFILE_VERDICTS_INLINE 32

/* One request's verdicts on a section's profile lists, each worked out at
 * most once (profile_find), when a rule first asks. Lives for one check,
 * under the section's read lock; have must not change meanwhile. */
class ProfileVerdicts {
public:
    ProfileVerdicts(const StringList &have, const ProfileConditions &conditions);
    ProfileVerdicts(const ProfileVerdicts &) = delete;
    ProfileVerdicts &operator=(const ProfileVerdicts &) = delete;

    /* Whether the request passes condition id (-1: the empty list). */
    bool accepts(int id);

private:
    enum { PROFILE_VERDICT_UNKNOWN = -1 };
    const StringList &have;
    const ProfileConditions &conditions;
    signed char inline_verdicts[PROFILE_VERDICTS_INLINE];
    std::vector<signed char> spill;   /* used instead past the inline room */
};

/* The expressions of a profile rule, by the field they come from. */
enum profile_expression {
    PROFILE_SCHEME = 0,
    PROFILE_HOST,
    PROFILE_PATH,
    PROFILE_CONTENT_TYPE,
    PROFILE_PROXY_HOST,
    PROFILE_REQUEST_HEADER,
    PROFILE_RESPONSE_HEADER,
    PROFILE_EXPRESSIONS,   /* the count */
};

/* One window component of a profile rule: active, and its two values. */
struct ProfileWindow {
    bool active = false;
    int first = 0;
    int last = 0;
};

/* One profile rule, copied out of an entry of the list profile. Owns its
 * compiled expressions; a copy compiles its own. */
struct Profile {
    /* Copies the entry's values and compiles the non-empty expressions
     * (case-insensitive); an expression that does not compile refuses the
     * whole rule (logged by reg_compile), which then never applies. */
    explicit Profile(const Item &item);
    Profile(const Profile &other);
    Profile &operator=(const Profile &) = delete;
    ~Profile();

    int enabled = 0;
    std::string comment;
    int log = 0;
    StringList profiles;
    std::string texts[PROFILE_EXPRESSIONS];   /* "" = no condition */
    PortRangeList ports;
    StringList commands;
    ProfileWindow month;      /* tm_mon units, January = 0 */
    ProfileWindow day;        /* 1 to 31 */
    ProfileWindow weekday;    /* Sunday = 0 */
    ProfileWindow hour;
    ProfileWindow minute;
    int recurring = 0;
    StringList add_profiles;
    StringList remove_profiles;
    tm_partial from = {};     /* the window's bounds; the year is never set */
    tm_partial to = {};
    regex_posix_t *regex[PROFILE_EXPRESSIONS] = {};   /* NULL for an empty text */
    bool refused = false;     /* a text that does not compile */

private:
    void compile();
    void window_build();
};

/*
 * The profile rules (section "profiles"), which add profile names to the
 * request and remove them. Every matching enabled rule applies, in
 * configuration order, and sees the names that earlier rules added.
 */
class ProfileSection : public Section {
public:
    ProfileSection();

    /* Rebuilds the rules from list 0, in order, disabled and refused ones
     * included (the evaluation skips them); called with the write lock
     * held. */
    void update() override;

    /* Every expression of a profile entry must compile; the first that
     * does not is refused (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /*
     * Evaluates every rule against the connection's request (conn->header,
     * required) and, once it exists, its response (conn->rheader), adding
     * and removing names of conn->profiles; then runs the second pass of
     * the category-rating rules and rebuilds the access-log record's
     * profile text. A condition on URL commands holds only for a client
     * whose access rule grants ACCESS_COMMANDS.
     */
    void profiles_update(CONNECTION_T *conn);

    /* The same at a given local time; for callers that already hold it and
     * for tests. */
    void profiles_update_at(CONNECTION_T *conn, const struct tm *now);

private:
    std::vector<Profile> rules;
};

/* The one instance, created by sections_create. */
extern ProfileSection *profile_section;

/* The bounds of a rule's time window from its five optional window fields,
 * month, day, weekday, hour and minute, at positions first to first + 4:
 * each active component is set in both bounds, the start taking its first
 * value and the end its last; the year is never set. Returns whether any
 * component is active (a rule without one is always inside its window). */
bool window_bounds(const FieldVector &fields, int first, tm_partial *from, tm_partial *to);

/* The access-log text of a profile list: the names in order joined by
 * ",", each cut to PROFILE_LOG_TEXT_MAX characters, and the whole cut to
 * PROFILE_LOG_TEXT_MAX characters. */
std::string profile_log_text(const StringList &profiles);
