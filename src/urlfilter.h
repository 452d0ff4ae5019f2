#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "access.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct regex_posix_t;

/*
 * One rule of the URL filter, copied out of an entry of the list allow or
 * deny, or the built-in default rule. Owns its compiled expressions; a copy
 * compiles its own.
 */
struct Filter {
    /* The built-in default rule: no entry, enabled, no condition. It decides
     * a refusal when allow-first is on and no allow rule matches. */
    Filter() = default;
    /* A rule from an entry. An expression that does not compile (the entry
     * check refuses such entries, so only a bug gets here) makes the rule
     * refused: it never matches. */
    explicit Filter(const Item &item);
    Filter(const Filter &other);
    Filter &operator=(const Filter &) = delete;
    ~Filter();

    const Item *item = nullptr;   /* the entry it was built from; NULL: built-in.
                                     Valid while the section lock is held. */
    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string host;
    std::string path;
    IpRangeList addresses;        /* empty: no address condition */
    std::string template_name;
    regex_posix_t *host_regex = nullptr;   /* NULL for an empty host */
    regex_posix_t *path_regex = nullptr;   /* NULL for an empty path */
    bool refused = false;
    int profile_id = -1;          /* its profile list among the section's
                                     ProfileConditions; -1: none */

private:
    void compile();
};

/* The result of resolving the request host for the address conditions,
 * made at most once per check. */
enum filter_lookup_state {
    FILTER_LOOKUP_NONE = 0,     /* not asked yet */
    FILTER_LOOKUP_NEEDED,       /* a rule reached its address condition */
    FILTER_LOOKUP_RESOLVED,     /* address holds the first address */
    FILTER_LOOKUP_UNRESOLVED,   /* the host does not resolve */
};

struct FilterLookup {
    int state = FILTER_LOOKUP_NONE;   /* filter_lookup_state */
    std::string address;              /* dotted, when RESOLVED */
    std::string path_normal;          /* the path as the server reads it */
};

/* What FilterSection::check found. */
enum filter_check_result {
    FILTER_PASS = 0,          /* the request passes */
    FILTER_REFUSE,            /* *rule refuses it */
    FILTER_NEED_ADDRESS,      /* resolve the host (lookup NEEDED) and ask again */
};

/*
 * The URL filter (section "url-filtering"): allow and deny rules on the
 * request host, path and the address the host resolves to, evaluated as
 * two lists. A refused request gets a template page.
 */
class FilterSection : public Section {
public:
    /* Registers filter_reqcheck as a PROCESSOR_REQCHECK callback; it is the
     * first one, so the URL filter runs before the blacklists. */
    FilterSection();

    /* Rebuilds both lists from their entries, enabled or not. Called with
     * the write lock held. */
    void update() override;

    /* A non-empty host or path must compile as a regular expression
     * (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /* The decision for conn with what lookup knows of the host's address;
     * the caller holds the read lock. FILTER_REFUSE stores the deciding rule
     * (valid while the lock is held) in *rule; FILTER_NEED_ADDRESS means a
     * rule reached its address condition before the host was resolved:
     * lookup is then FILTER_LOOKUP_NEEDED and the caller resolves the host
     * without the lock (filter_resolve) and asks again. */
    int check(const CONNECTION_T *conn, FilterLookup &lookup, const Filter **rule) const;

    /* Runs check to its end, resolving the host once, without the lock,
     * when a rule needs the address; then calls decided(rule) under the
     * read lock with the deciding rule, or NULL for a passing request.
     * Returns FILTER_PASS or FILTER_REFUSE. */
    template <class Decided>
    int decide(CONNECTION_T *conn, Decided decided);

    /* The PROCESSOR_REQCHECK work: 1 when the request was refused and
     * answered with the refusal page, else 0. */
    int check_and_block(CONNECTION_T *conn);

    /* The page of the URL command "filter": the rule that would refuse the
     * request, or "None". */
    void check_show(CONNECTION_T *conn);

    /* The built-in default rule. */
    const Filter &builtin_rule() const { return builtin; }

private:
    std::list<Filter> allow;
    std::list<Filter> deny;
    AllowDenyIndex<Filter> index;   /* the lists' finders, rebuilt with them */
    Filter builtin;
    const int *enabled;           /* the global field enabled */
    const int *allowfirst;        /* the global field allow-first */
    const std::string *template_name;   /* the global field template */
};

/* Resolves the request host through the DNS cache into lookup (RESOLVED or
 * UNRESOLVED). Call without any section lock held. */
void filter_resolve(const CONNECTION_T *conn, FilterLookup &lookup);

template <class Decided>
int FilterSection::decide(CONNECTION_T *conn, Decided decided)
{
    FilterLookup lookup;
    for (;;) {
        {
            SectionReadGuard guard(*this);
            const Filter *rule = nullptr;
            int rc = check(conn, lookup, &rule);
            if (rc != FILTER_NEED_ADDRESS) {
                decided(rc == FILTER_REFUSE ? rule : nullptr);
                return rc;
            }
        }
        /* At most once: the lookup leaves NEEDED for good. */
        filter_resolve(conn, lookup);
    }
}

/* The one instance, created by sections_create. */
extern FilterSection *filter_section;

/* The PROCESSOR_REQCHECK callback of the URL filter; buffer is not read. */
int filter_reqcheck(CONNECTION_T *conn, Filebuf *buffer);
