#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "access.h"
#include "section.h"

struct CONNECTION_T;
struct regex_posix_t;

/*
 * One MIME rule, copied out of an entry of the list allow or deny, or the
 * built-in default rule. Owns its compiled expressions; a copy compiles
 * its own.
 */
struct Mime {
    /* The built-in default rule: no entry, enabled, no condition. It decides
     * a refusal when allow-first is on and no allow rule matches. */
    Mime() = default;
    /* A rule from an entry. An expression that does not compile (the entry
     * check refuses such entries, so only a bug gets here) makes the rule
     * refused: it never matches. */
    explicit Mime(const Item &item);
    Mime(const Mime &other);
    Mime &operator=(const Mime &) = delete;
    ~Mime();

    const Item *item = nullptr;   /* the entry it was built from; NULL: built-in.
                                     Valid while the section lock is held. */
    int enabled = 1;
    std::string comment;
    StringList profiles;
    std::string host;
    std::string path;
    std::string mime_type;
    std::string template_name;
    regex_posix_t *mime_regex = nullptr;   /* NULL for an empty text */
    regex_posix_t *host_regex = nullptr;
    regex_posix_t *path_regex = nullptr;
    bool refused = false;
    int profile_id = -1;          /* its profile list among the section's
                                     ProfileConditions; -1: none */

private:
    void compile();
};

/*
 * The MIME rules (section "mime-filtering"): allow and deny rules on the
 * response's Content-Type (the whole value, parameters included) with the
 * request's host, path and profiles, evaluated as two lists. A refused
 * response is replaced by a template page before its body reaches the
 * client. Not a registered callback: the HTTP exchange calls it for every
 * response but those to HEAD and those with status 1xx, 204 or 304.
 */
class MimeSection : public Section {
public:
    MimeSection();

    /* Rebuilds both lists from their entries, enabled or not. Called with
     * the write lock held. */
    void update() override;

    /* A non-empty host, path or content type must compile as a regular
     * expression (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /* The rule that refuses the response of conn (conn->rheader), or NULL
     * when it passes. The caller holds the read lock while it uses the
     * result. */
    const Mime *check(const CONNECTION_T *conn) const;

    /* 1 when the response passes; 0 when it was refused: the refusal page
     * was sent (status 200), logged, and the log entry's filter fields
     * set. The page goes out after the lock is released. */
    int check_and_block(CONNECTION_T *conn);

    /* Sends the page of the URL command "mime": the entry that would refuse
     * the response, the default rule's refusal, or "None". */
    void check_show(CONNECTION_T *conn);

    /* The built-in default rule. */
    const Mime &builtin_rule() const { return builtin; }

private:
    std::list<Mime> allow;
    std::list<Mime> deny;
    AllowDenyIndex<Mime> index;   /* the lists' finders, rebuilt with them */
    Mime builtin;
    const int *enabled;                 /* the global field enabled */
    const int *allowfirst;              /* the global field allow-first */
    const std::string *template_name;   /* the global field template */
};

/* The one instance, created by sections_create. */
extern MimeSection *mime_section;
