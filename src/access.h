#pragma once

#include <cstdint>
#include <list>
#include <string>

#include "configtypes.h"
#include "profiles.h"
#include "ruleindex.h"
#include "section.h"

class Filebuf;
class Stats;
struct CONNECTION_T;
struct regex_posix_t;

/* The longest realm of the Basic challenge. */
#define ACCESS_REALM_MAX 254
/* The longest user name and the longest password a PAM rule verifies;
 * longer (or empty) ones are refused without asking PAM. */
#define ACCESS_CREDENTIAL_MAX 510
/* The longest connection user text ("name@address"). */
#define ACCESS_USER_MAX 511

/*
 * The two-list evaluation shared by every section with an allow list, a
 * deny list and an allow-first option (access, URL filter, URL blacklist,
 * header, cookie and MIME rules). match(rule) says whether one rule
 * matches; each list is searched in order for its first match, in at most
 * two passes:
 * - allow_first: no allow match refuses (the section's built-in default
 *   decides, rule NULL); an allow match followed by a deny match refuses
 *   (that deny rule decides); an allow match alone accepts (that allow rule
 *   decides).
 * - otherwise: no deny match accepts at once (built-in default, rule NULL,
 *   the allow list is not searched); a deny match followed by an allow match
 *   accepts (that allow rule); a deny match alone refuses (that deny rule).
 * Each section decides what it reports: the access rules return the
 * deciding rule of an accepted client, the filters that of a refused
 * request.
 */
enum allowdeny_outcome {
    ALLOWDENY_ACCEPTED = 0,
    ALLOWDENY_REFUSED = 1,
};

template <class Rule>
struct AllowDenyResult {
    int outcome;        /* allowdeny_outcome */
    const Rule *rule;   /* the deciding rule; NULL: the built-in default */
};

/* The same evaluation over two finders: first_allow() and first_deny()
 * return the first matching rule of their list, or NULL; each is called at
 * most once. */
template <class Rule, class FirstAllow, class FirstDeny>
AllowDenyResult<Rule> allowdeny_decide(bool allow_first, FirstAllow first_allow,
                                       FirstDeny first_deny)
{
    if (allow_first) {
        const Rule *allowed = first_allow();
        if (!allowed)
            return { ALLOWDENY_REFUSED, nullptr };
        if (const Rule *denied = first_deny())
            return { ALLOWDENY_REFUSED, denied };
        return { ALLOWDENY_ACCEPTED, allowed };
    }
    const Rule *denied = first_deny();
    if (!denied)
        return { ALLOWDENY_ACCEPTED, nullptr };
    if (const Rule *allowed = first_allow())
        return { ALLOWDENY_ACCEPTED, allowed };
    return { ALLOWDENY_REFUSED, denied };
}

/* What a filtering section evaluates its two lists with: a finder per
 * list and the rules' distinct profile lists. Rebuilt with the lists
 * (write lock), read by checks (read lock). */
template <class Rule>
struct AllowDenyIndex {
    IndexedRules<Rule> allow;
    IndexedRules<Rule> deny;
    ProfileConditions conditions;

    /* Numbers the profile list of every rule of allow_list, deny_list and
     * extra (profile_id; extra may be NULL) and indexes the two lists;
     * texts and live as IndexedRules::build takes them. */
    template <class Texts, class Live>
    void build(std::list<Rule> &allow_list, std::list<Rule> &deny_list, std::list<Rule> *extra,
               Texts texts, Live live)
    {
        conditions.clear();
        for (std::list<Rule> *list : { &allow_list, &deny_list, extra })
            if (list)
                for (Rule &rule : *list)
                    rule.profile_id = conditions.add(rule.profiles);
        allow.build(allow_list, texts, live);
        deny.build(deny_list, texts, live);
    }

    /* The two-list evaluation, each list's first match among the rules
     * that can match subjects (match(rule) decides each). */
    template <class Match>
    AllowDenyResult<Rule> evaluate(bool allow_first, const RuleSubjects &subjects,
                                   Match match) const
    {
        return allowdeny_decide<Rule>(
            allow_first, [&] { return allow.first(subjects, match); },
            [&] { return deny.first(subjects, match); });
    }
};

template <class List, class Match>
AllowDenyResult<typename List::value_type> allowdeny_evaluate(const List &allow, const List &deny,
                                                              bool allow_first, Match match)
{
    using Rule = typename List::value_type;
    auto first = [&match](const List &list) -> const Rule * {
        for (const Rule &rule : list)
            if (match(rule))
                return &rule;
        return nullptr;
    };
    return allowdeny_decide<Rule>(
        allow_first, [&] { return first(allow); }, [&] { return first(deny); });
}

/*
 * One access rule, copied out of an entry of the list allow or deny, or
 * the built-in rule. Owns its compiled user-name expression and holds one
 * reference to its statistics tree; a copy compiles its own expression and
 * shares the tree.
 */
struct Access {
    /* The built-in rule: enabled, no conditions, every permission bit, no
     * bypass bit, no login pair, no profiles, a tree of its own. */
    Access();
    /* A rule from an entry, with a new statistics tree. With pam, a
     * user-name expression that does not compile makes the rule refused:
     * it never matches. */
    explicit Access(const Item &item);
    Access(const Access &other);
    Access &operator=(const Access &) = delete;
    ~Access();

    int enabled = 1;
    std::string comment;
    int log = 0;
    StringList profiles;          /* kept with the rule; no part of the match */
    StringList interfaces;        /* "address:port" patterns; empty = any */
    IpRangeList addresses;        /* empty = any */
    int pam = 0;
    std::string username;
    std::string password;
    unsigned permissions = 0;     /* ACCESS_* */
    unsigned bypass = 0;          /* BYPASS_* */
    std::string interface_username;
    std::string interface_password;
    StringList add_profiles;
    regex_posix_t *username_regex = nullptr;   /* pam rules with a user name */
    bool refused = false;         /* its user-name expression does not compile */
    bool deny = false;            /* a rule of the deny list: without a user name
                                     it matches with or without credentials */
    Stats *stats = nullptr;       /* one reference */

private:
    void compile();
};

/*
 * The access rules (section "access"): who may use the proxy and as what.
 * The rule that accepts a client gives the request its permissions,
 * bypass bits, first profiles, web-interface login pair and statistics
 * tree, and may ask for HTTP Basic credentials, compared with the rule or
 * verified through PAM.
 */
class AccessSection : public Section {
public:
    /* Builds the built-in rule and registers access_auth as the
     * PROCESSOR_AUTH callback. */
    AccessSection();

    /* Rebuilds both lists from their entries, enabled or not, each rule with
     * a new statistics tree; logs an advice line for every enabled allow
     * rule (and, with allow-first off, the built-in rule) that grants the
     * web interface without a login pair. Called with the write lock held. */
    void update() override;

    /* A pam rule's user name must compile as a regular expression
     * (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /* The rule that accepts the connection, or NULL when it is refused. user
     * and password are the Basic credentials sent, NULL when none were. The
     * caller holds the read lock while it uses the result. */
    const Access *check(const CONNECTION_T *conn, const char *user, const char *password) const;

    /* Applies rule to the connection: AUTH_REQUIRED for a rule that needs
     * credentials (else the anonymous user), the rule's profiles, bypass
     * bits, permissions, login pair and statistics tree. The caller holds
     * the read lock. */
    void setup(CONNECTION_T *conn, const Access *rule);

    /* Checks sent credentials, applies the rule found and records the user.
     * Returns true only when the credentials were verified by the deciding
     * rule (its user name and password, or PAM); then AUTH_REQUIRED is clear
     * and user is "name@address". A refused check sets AUTH_REQUIRED, or,
     * for a request with Proxy-Authorization, applies the rule that accepts
     * it without credentials, which keeps the anonymous user. */
    [[nodiscard]] bool check_and_setup(CONNECTION_T *conn, const char *user, const char *password);

    /* The same without credentials: true when a rule accepted the client;
     * false after the refusal is logged and written to both access logs. */
    [[nodiscard]] bool check_and_setup(CONNECTION_T *conn);

    /* Logs a failed PAM result and remembers definite refusals of key. */
    static void display_pam_msg(int code, const char *key);

private:
    std::list<Access> allow;
    std::list<Access> deny;
    Access builtin;
    const int *allowfirst;        /* the global field allow-first */
};

/* The one instance, created by sections_create. */
extern AccessSection *access_section;

/*
 * The PROCESSOR_AUTH callback: finds the client's access rule. Returns 1
 * when it has answered the request (conn->rheader then holds the answer and
 * conn->body its page): the Basic challenge (407 with Proxy-Authenticate,
 * or 401 with WWW-Authenticate for an origin-form request addressed to the
 * proxy itself) or the "noaccess" page. Returns 0 when the request goes on.
 * A request whose announced body was not read is answered with
 * keepalive_client 0, so its body is never taken for the next request.
 * buffer is not read.
 */
int access_auth(CONNECTION_T *conn, Filebuf *buffer);

/* Applies the "bypass" URL command of the request to conn->bypass when
 * the connection's permissions include ACCESS_BYPASS; otherwise, or
 * without the command, nothing changes. */
void bypass_check(CONNECTION_T *conn);

/* Whether address (a dotted IPv4 address) lies in list. An empty list
 * holds every address; an address that is not exactly one dotted IPv4
 * address (a malformed or multi-address X-Forwarded-For) lies in no
 * non-empty list. Never throws. */
bool access_address_match(const IpRangeList &list, const char *address);

/* Whether the local end of a connection (address, port) fits one of the
 * "address:port" patterns; an empty list fits every connection. "*:*"
 * fits all; otherwise the pattern needs a colon, its port part fits when it
 * begins with "*" or its number equals port, its address part when it is
 * "*" or equals address exactly (a part over 15 characters never fits).
 * Blanks around a pattern are ignored. */
bool access_interface_match(const StringList &patterns, const char *address, int port);
