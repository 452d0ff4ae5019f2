#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct regex_posix_t;

/*
 * One keyword rule, copied out of an entry of the list keyword. Owns its
 * compiled expressions; a copy compiles its own.
 */
struct Keyword {
    explicit Keyword(const Item &item);
    Keyword(const Keyword &other);
    Keyword &operator=(const Keyword &) = delete;
    ~Keyword();

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string mime_type;     /* searched in the Content-Type; empty: any */
    std::string keyword;       /* searched in the body; empty: every page */
    int score = 0;
    regex_posix_t *mime_regex = nullptr;      /* NULL for an empty mime-type */
    regex_posix_t *keyword_regex = nullptr;   /* NULL for an empty keyword */
    bool refused = false;      /* an expression that does not compile: never applies */

private:
    void compile();
};

/* Keyword scoring of page content (section "keywords-filtering"). */
class KeywordSection : public Section {
public:
    /* Registers keyword_respcheck, keyword_buffcheck and the
     * HOOK_PRERESPMOD hook keyword_prerespmod, in this order. */
    KeywordSection();

    /* Rebuilds the rules from list 0, in order; called with the write lock
     * held. */
    void update() override;

    /* A non-empty mime-type or keyword must compile as a regular
     * expression: a typo never matches every type or scores every page. */
    int item_check(const Item &item, std::string *nature) override;

    /* 1 when an applicable rule has a keyword, so the body must be read
     * whole; else 0. Takes the read lock. */
    int check_match(CONNECTION_T *conn);

    /* The total score of body (NULL: every applicable rule counts) for
     * conn: 0 when scoring is off or bypassed. The whole body is searched,
     * zero bytes included. Takes the read lock. */
    int check(CONNECTION_T *conn, const Filebuf *body);

    /* Blocks a page whose non-zero total reaches the threshold: sets the
     * template variables, logs, sends the block page (after the lock is
     * released) and fills the log entry. 1 when blocked, else 0. */
    int check_and_block(CONNECTION_T *conn, Filebuf *body);

private:
    /* check without taking the lock. */
    int total(const CONNECTION_T *conn, const Filebuf *body) const;
    bool applies(const Keyword &rule, const CONNECTION_T *conn) const;

    std::list<Keyword> rules;
};

/* The one instance, created by sections_create. */
extern KeywordSection *keyword_section;

/* The registered callbacks. */
int keyword_buffcheck(CONNECTION_T *conn, Filebuf *body);
int keyword_respcheck(CONNECTION_T *conn, Filebuf *body);
/* The HOOK_PRERESPMOD hook: with the URL command "score", sends the score
 * page of the body instead of the page and returns 1; else 0. */
int keyword_prerespmod(void *conn, void *body);

/* The page of the URL command "score": the title "Keyword score for
 * host path" and score. */
void score_show(CONNECTION_T *conn, int score);
