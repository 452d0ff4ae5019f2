#pragma once

#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "configtypes.h"
#include "domainlist.h"
#include "profiles.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

/* The longest line a blacklist file may hold; longer lines are skipped
 * whole. */
#define URLBL_LINE_MAX 1023
/* The longest domain of a "urls" line; longer ones are skipped. */
#define URLBL_DOMAIN_MAX 511

/* One rule of the URL blacklist, copied out of an entry of the list allow
 * or deny, or the built-in default rule (enabled, everything else empty). */
struct URLBL {
    URLBL() = default;
    explicit URLBL(const Item &item);

    int enabled = 1;
    std::string comment;
    StringList profiles;
    StringList categories;
    std::string template_name;
    int profile_id = -1;   /* its profile list among the section's
                              ProfileConditions; -1: none */
};

/* The path prefixes of one listed domain; empty: the domain is listed as a
 * whole. */
using URLBLPrefixes = DomainPrefixes;
/* The domains of one category, in one arena. */
using URLBLDomains = DomainList;
/* Every category by name. Keys compare as exact bytes. */
using URLBLCategories = std::map<std::string, URLBLDomains>;

/* What one blacklist file held that never reaches the blacklist. */
struct URLBLFileCounts {
    int skipped = 0;       /* lines over URLBL_LINE_MAX characters */
    int never_match = 0;   /* entered, but with a CR or a capital in the domain
                              (hosts reach us in lower case), or a "urls"
                              domain over URLBL_DOMAIN_MAX characters (skipped) */
};

/*
 * The URL blacklist (section "urlblacklist"): a directory of categories,
 * each a subdirectory with a "domains" and a "urls" file, read once at
 * start-up; allow and deny rules name the categories they cover and are
 * evaluated as two lists.
 */
class URLBLSection : public Section {
public:
    /* Registers urlbl_reqcheck as a PROCESSOR_REQCHECK callback (after the
     * URL filter's and the DNS blacklist's). */
    URLBLSection();

    /* Rebuilds both lists from their entries, enabled or not. Called with
     * the write lock held. */
    void update() override;

    /* Reads the directory of the option directory into the blacklist under
     * the write lock and logs how many categories it found, or, when the
     * directory cannot be opened, that it failed (the blacklist is then
     * left as it was). Called once at start-up. */
    void load();

    /* The deciding rule when the request is to be refused, else NULL. Sets
     * the variables CATEGORY and FILTER and the log entry's filter fields at
     * every rule match. The caller holds the read lock; the rule lives as
     * long as it is held. */
    const URLBL *check(CONNECTION_T *conn) const;

    /* 1 when the request was refused and answered with the refusal page
     * (sent after the lock is released), else 0. */
    int check_and_block(CONNECTION_T *conn);

    /* The loaded blacklist; read under the read lock. */
    URLBLCategories blacklist;

private:
    std::list<URLBL> allow_list;
    std::list<URLBL> deny_list;
    ProfileConditions conditions;   /* the rules' distinct profile lists */
    URLBL default_rule;
    const int *enabled;
    const int *allowfirst;
    const std::string *directory;
    const std::string *template_name;
};

/* Reads one "domains" (urls false) or "urls" (urls true) file into domains,
 * which holds the entries once domains.finish() is called. Returns false
 * when the file cannot be opened (nothing changes). */
bool urlbl_file_read(const std::string &path, bool urls, URLBLDomains &domains,
                     URLBLFileCounts &counts);

/* Whether domains lists the request: some suffix of whole labels of host
 * (empty labels and trailing dots ignored), tried from the shortest, is a
 * domain listed whole or with a prefix that begins path, compared without
 * regard to case. */
bool urlbl_listed(const URLBLDomains &domains, const char *host, const char *path);

/* The one instance, created by sections_create. */
extern URLBLSection *urlbl_section;

/* The PROCESSOR_REQCHECK callback of the URL blacklist; buffer is not
 * read. */
int urlbl_reqcheck(CONNECTION_T *conn, Filebuf *buffer);
