#pragma once

#include <pthread.h>

#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

class CGIMap;
class Filebuf;
struct CONNECTION_T;

/* The content categories, indexes 0 to 30; a host's scores have one more
 * slot (31) that belongs to no category and is carried along. */
#define TAVRIN_CATEGORIES 31
#define TAVRIN_SCORES 32

/* The DNS zone under which hosts are rated: the MX records of
 * "<host>.tavrin.test" name the host's categories (exchange) and scores
 * (preference). A reserved name that the public DNS never delegates; an
 * operator serves it from a local DNS server. */
#define TAVRIN_ZONE "tavrin.test"

/* The chains of the rating cache; the table is never resized. */
#define TAVRIN_CACHE_CHAINS 8111
/* The most entries the rating cache holds. Wildcard ratings would let a
 * client add entries by inventing subdomains; beyond this, ratings serve
 * their request uncached. */
#define TAVRIN_CACHE_MAX 1000000
/* The most characters of a host name in the cache and the score records. */
#define TAVRIN_HOST_MAX 1023
/* The most bytes of a DNS answer that are read. */
#define TAVRIN_ANSWER_MAX 1024
/* The longest query name that is sent; a longer one is never cut, since
 * the zone would fall off it. */
#define TAVRIN_QUERY_NAME_MAX 253
/* The longest line of a hint or dump file; a longer one is skipped whole. */
#define TAVRIN_RECORD_LINE_MAX 2047
/* The seconds between two dumps of the cache, and between two looks at a
 * disabled section by the dump thread. */
#define TAVRIN_DUMP_SECONDS 60
#define TAVRIN_DISABLED_SECONDS 10

/* The name of category index (0 to 30), as DNS answers and rules write it,
 * and its display name on the /tavrin page. */
extern const char *const tavrin_category_names[TAVRIN_CATEGORIES];
extern const char *const tavrin_category_titles[TAVRIN_CATEGORIES];

/* The index of a category name (compared exactly), or -1. */
int tavrin_category_find(const char *name);

/* One entry of the rating cache; created and freed by TAVRIN_Section
 * under cache_lock. */
struct TAVRIN_CACHE_LIST {
    TAVRIN_CACHE_LIST *next;
    char *host;                   /* owned; valid by tavrin_host_valid */
    int scores[TAVRIN_SCORES];
};

/* The rating cache: chains of entries, at most one entry per host (names
 * compared without case). Guarded by TAVRIN_Section::cache_lock. */
struct TAVRIN_CACHE_TABLE {
    int size;                     /* chains */
    TAVRIN_CACHE_LIST **table;    /* size chain heads */
    int count;                    /* entries added since start */
    int unsaved;                  /* entries added since the last dump */
    int entries;                  /* entries held now */
};

/* The chain of host: 0 for an empty name; otherwise, over the host's bytes
 * taken as signed characters with ASCII letters upper-cased, the sum of
 * size + 20*C + (C >> 4) + (C >> 2) as an unsigned 32-bit number that
 * wraps, modulo size. Names that differ in case share a chain. */
int tavrin_cache_key(int size, const char *host);

/* Whether host may be cached and written to a score record: 1 to
 * TAVRIN_HOST_MAX characters, none blank, control or DEL. */
bool tavrin_host_valid(const char *host);

/*
 * Decodes an answer to an MX query of the rating zone: length bytes of
 * answer (at most TAVRIN_ANSWER_MAX are read). For every MX record, in the
 * answer, authority and additional sections alike, whose exchange is a
 * category name, stores its preference at the category's index of scores
 * (the last record of a category wins). Returns the number of such records.
 * Never reads outside the answer: a record that does not fit, a name that
 * does not expand or MX data shorter than 3 bytes ends the walk, keeping
 * what was stored so far.
 */
int tavrin_decode(const unsigned char *answer, int length, int *scores);

/* Sends an MX query for name (class IN) with a resolver state of its own:
 * one attempt, 2 seconds per name server. Decodes at most length bytes of
 * the answer (clamped to TAVRIN_ANSWER_MAX) into scores, which the caller
 * has set to 0. Returns the number of category records found, 0 when the
 * query failed. */
int getmx(int *scores, const char *name, int length);

/* Reads one score record: a host word (at most TAVRIN_HOST_MAX characters,
 * valid by tavrin_host_valid), white space, and 32 decimal integers that
 * each fit a signed 32-bit number, separated by commas, white space allowed
 * before each. Returns true and fills host and scores for a record; any
 * other line gives false. */
bool tavrin_record_parse(const char *line, std::string *host, int *scores);

/* A score record as the dump writes it: a line feed, the host, a TAB and
 * the 32 scores joined by commas. */
std::string tavrin_record_format(const char *host, const int *scores);

/* One category rule, copied out of an entry of the list rule. */
struct TAVRIN {
    explicit TAVRIN(const Item &item);

    int enabled;
    std::string comment;
    int log;
    StringList profiles;
    StringList categories;
    std::string scores;           /* "lo-hi" or "n" */
    StringList add_profiles;
    StringList remove_profiles;
};

/* The results of adding a rating to the cache. */
enum tavrin_add_result {
    TAVRIN_ADDED = 0,      /* a new entry */
    TAVRIN_PRESENT,        /* the host had an entry: kept, or replaced */
    TAVRIN_FULL,           /* the cache holds TAVRIN_CACHE_MAX entries */
    TAVRIN_REFUSED,        /* not a valid host name */
};

/*
 * The Tavrin category rating (section "Tavrin"): the rating cache with its
 * hint, dump and feed files, and the rules that turn a host's scores into
 * profiles. The section lock guards the options and the rules; cache_lock
 * guards the cache and is never taken while the section lock is held.
 */
class TAVRIN_Section : public Section {
public:
    TAVRIN_Section();

    /* Rebuilds the rules from list 0, disabled ones included, when the
     * section is enabled; none when it is not. Called with the write lock
     * held. */
    void update() override;

    /* The enabled option, under the read lock. */
    bool is_enabled();

    /* Creates the cache with size chains. 1 on success, -1 on failure
     * (logged). */
    int tavrin_cache_create(int size);
    /* Creates the cache with TAVRIN_CACHE_CHAINS chains; 1 or 0. */
    int cache_init();

    /* The scores of host into scores: from the cache, else from DNS (the
     * answer is then cached). False when the host cannot be rated; such a
     * host is not remembered. */
    bool tavrin_cache_search(const char *host, int *scores);
    /* The same, but always from DNS: the host's entry is removed first and
     * the answer replaces whatever another thread added meanwhile. */
    bool tavrin_cache_refresh(const char *host, int *scores);

    /* Adds a rating unless the host already has an entry (the entry that
     * is there stays). A tavrin_add_result. */
    int update_tavrin_cache(const char *host, const int *scores);
    /* Removes every entry of host. */
    void tavrin_cache_purge(TAVRIN_CACHE_TABLE *table, const char *host);

    /* Looks up the request host and copies its scores into the
     * connection. 1 when rated, else 0 with the scores unchanged. */
    int store_tavrin(CONNECTION_T *conn);

    /* Applies the rules to the connection's profiles: pass 0 the rules
     * without a profile condition, pass 1 those whose condition matches.
     * Returns 0. */
    int check_profiles(CONNECTION_T *conn, int pass);

    /* Loads the hint files ("*.tavrin") and then the dump of the hints
     * directory into the cache; a host already cached keeps its entry. */
    void tavrin_filetocache_insert();

    /* Writes the cache to "tavrin.cache" in the hints directory through
     * "tavrin.cache.new" when entries were added since the last dump.
     * stopping bounds every wait for a lock, for the stop paths, whose
     * fatal error may come from a holder. Returns the records written, 0
     * when nothing was due, -1 on failure (logged). */
    int tavrin_dnstofile_insert(bool stopping = false);

    /* The number of entries held now (for the page and the tests). */
    int cache_entries();

    /* The cache itself; tests read its counters under cache_lock. */
    TAVRIN_CACHE_TABLE *cache = nullptr;
    pthread_rwlock_t cache_lock;

private:
    bool cache_find(const char *host, int *scores);
    int cache_add(const char *host, int *scores, bool replace, int *count);
    bool lookup(const char *host, int *scores, bool replace);
    bool dump_paths(bool stopping, std::string *path, std::string *path_new);
    bool dump_write(FILE *out, bool stopping, int *unsaved, int *records);
    int load_file(const char *path);

    std::vector<TAVRIN> rules;
    pthread_mutex_t dump_lock;    /* one dump at a time */
};

/* The one instance, created by sections_create. */
extern TAVRIN_Section *tavrin_section;

/* The category rules at the pipeline's first profile point (pass 0) and at
 * the end of every profile evaluation (pass 1). Each looks the request host
 * up once per request: a failed lookup is remembered on the connection
 * until the request ends. Both return 0. */
int tavrin_first(CONNECTION_T *conn);
int tavrin_second(CONNECTION_T *conn);

/* Whether the request is for the web interface (never rated); the
 * request itself is left as it is. */
bool isthis_interface_request(const CONNECTION_T *conn);

/* Reads the feed file (tavrinfeed) and rates every host in it that the
 * cache lacks, then deletes it. Runs a due dump between lookups. */
void get_access_log_url();

/* The dump thread: waits for the section to be enabled, loads the files
 * and the feed once, then dumps every TAVRIN_DUMP_SECONDS. */
void *tavrin_cachedump(void *arg);

/* "/tavrin": the form, or the scores of the hosts it names. */
void interface_page_tavrin(Filebuf *page, CGIMap &args, CONNECTION_T *conn);
