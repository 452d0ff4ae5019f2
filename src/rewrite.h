#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct regex_posix_t;
struct regex_sub_t;

/* Where a rule rewrites: the targets bits of a rule and the type argument
 * of RewriteSection::rewrite_do. */
enum rewrite_target {
    REWRITE_CLIENT_HEADER = 1,   /* the raw request header from the client */
    REWRITE_SERVER_HEADER = 2,   /* the raw response header from the server */
    REWRITE_BODY = 4,            /* a buffered response body */
    REWRITE_POST_BODY = 8,       /* a buffered request body */
};

/*
 * One rewrite rule, copied out of an entry of the list rule. Owns its
 * compiled expressions; a copy compiles its own.
 */
struct Rewrite {
    explicit Rewrite(const Item &item);
    Rewrite(const Rewrite &other);
    Rewrite &operator=(const Rewrite &) = delete;
    ~Rewrite();

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string mime_type;     /* searched in the Content-Type; empty: any */
    std::string pattern;       /* empty: the rule does nothing */
    std::string replacement;
    int targets = 0;           /* rewrite_target bits */
    regex_posix_t *mime_regex = nullptr;   /* NULL for an empty mime-type */
    regex_sub_t *pattern_regex = nullptr;  /* NULL for an empty or broken pattern */
    bool refused = false;      /* a mime-type that does not compile: never applies */

private:
    void compile();
};

/* The rewrite rules: regular-expression substitutions in headers and bodies
 * (section "rewrite"). */
class RewriteSection : public Section {
public:
    /* Registers rewrite_reqmod, rewrite_respmod, rewrite_buffcheck,
     * rewrite_reqheader, rewrite_respheader and rewrite_reqbuffcheck, in
     * this order. */
    RewriteSection();

    /* Rebuilds the rules from list 0, in order; called with the write lock
     * held. */
    void update() override;

    /* A non-empty mime-type must compile as a regular expression, so that
     * a typo never makes a rule act on every type. A pattern that does not
     * compile is accepted and logged: the rule does nothing. */
    int item_check(const Item &item, std::string *nature) override;

    /* Applies every rule for type (rewrite_target) to buffer, in list
     * order, each on the result of the one before. true when a rule
     * matched. Takes the read lock. */
    bool rewrite_do(CONNECTION_T *conn, Filebuf *buffer, int type);

    /* 1 when some rule would apply to type, else 0. Takes the read lock. */
    int check_match(CONNECTION_T *conn, int type);

private:
    /* Whether rule applies to conn and type; the caller holds the lock. */
    bool applies(const Rewrite &rule, const CONNECTION_T *conn, int type) const;

    std::list<Rewrite> rules;
};

/* The one instance, created by sections_create. */
extern RewriteSection *rewrite_section;

/* The registered callbacks. */
int rewrite_reqmod(CONNECTION_T *conn, Filebuf *body);
int rewrite_respmod(CONNECTION_T *conn, Filebuf *body);
int rewrite_buffcheck(CONNECTION_T *conn, Filebuf *body);
/* 1 when a rule rewrites this request's body. */
int rewrite_reqbuffcheck(CONNECTION_T *conn, Filebuf *body);
int rewrite_reqheader(CONNECTION_T *conn, Filebuf *text);
int rewrite_respheader(CONNECTION_T *conn, Filebuf *text);
