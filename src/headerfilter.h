#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "access.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

/* Which header a filter run judges, and the bits of a rule's direction. */
enum header_filter_direction {
    HEADER_FILTER_CLIENT = 1,   /* the request header */
    HEADER_FILTER_SERVER = 2,   /* the response header */
};

/*
 * One header rule, copied out of an entry of the list allow, deny or add.
 * In allow and deny rules name and value are expressions (empty: any); in
 * add rules they are the line to add. Owns its compiled expressions; a
 * copy compiles its own.
 */
struct Header {
    /* A rule from an entry; expressions are compiled for allow and deny
     * entries only. An expression that does not compile (the entry check
     * refuses such entries, so only a bug gets here) makes the rule
     * refused: it never matches. */
    explicit Header(const Item &item);
    Header(const Header &other);
    Header &operator=(const Header &) = delete;
    ~Header();

    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string name;
    std::string value;
    int direction = 0;            /* HEADER_FILTER_* bits */
    bool adds = false;            /* an entry of the list add */
    regex_posix_t *name_regex = nullptr;    /* NULL for an empty name or an add rule */
    regex_posix_t *value_regex = nullptr;
    bool refused = false;
    int profile_id = -1;          /* its profile list among the section's
                                     ProfileConditions; -1: none */

private:
    void compile();
};

/*
 * The header rules (section "header-filtering"): allow and deny rules that
 * judge the received lines of requests and responses by name and value, as
 * two lists, and add rules that append lines. The kept and added lines
 * become the header's filtered list, which the serialiser sends instead of
 * the received one. Lines the proxy writes itself to frame, route and code
 * the message are never judged; a refused end-to-end header held in a
 * field is not sent.
 */
class HeaderSection : public Section {
public:
    HeaderSection();

    /* Rebuilds the three lists from their entries, enabled or not. Called
     * with the write lock held. */
    void update() override;

    /* Allow and deny entries: a non-empty name or value must compile as a
     * regular expression. Add entries: the name must be empty or a token
     * naming no header the proxy writes itself, the value must hold no
     * control character but HTAB (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /* Filters the request header (HEADER_FILTER_CLIENT) or the response
     * header (any other direction) of conn: nothing with BYPASS_HEADERS or
     * the section disabled; otherwise HEADER_FILTERED is set and
     * filtered_headers holds the kept lines followed by the added ones.
     * Refused and added lines are logged. */
    void filter(CONNECTION_T *conn, int direction);

private:
    std::list<Header> allow;
    std::list<Header> deny;
    std::list<Header> add;
    AllowDenyIndex<Header> index;   /* the lists' finders, rebuilt with them */
    const int *enabled;           /* the global field enabled */
    const int *allowfirst;        /* the global field allow-first */
};

/* The one instance, created by sections_create. */
extern HeaderSection *header_section;
