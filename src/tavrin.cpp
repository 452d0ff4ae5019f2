/*
 * Tavrin category rating. A host is rated in 31 content categories by an MX
 * query under the rating zone: each MX record names a category (exchange)
 * and its score (preference). Answers are kept in a chained cache for the
 * life of the process, at most one entry per host, preloaded from hint
 * files and from the last dump, warmed from the hosts of the access log
 * (the feed), and dumped every minute while entries are added. Rules turn
 * a host's scores into profile names, before the profile rules (rules
 * without a profile condition) and after every evaluation of them.
 *
 * DNS answers and the files are untrusted: the decoder never reads outside
 * the answer, a record is accepted only whole and valid, and a host that
 * could forge a record (blanks, control characters) is never cached. The
 * dump is written to a new file that is synced and renamed over the old
 * one, so a crash leaves the last complete dump.
 */
/* The resolver's headers define a type HEADER of their own; it is renamed
 * here so that it cannot meet the daemon's message header. */
#define HEADER tavrin_resolver_header
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>
#undef HEADER

#include "tavrin.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "profiles.h"

static int tavrin_read16(const unsigned char *p);
static struct timespec tavrin_stop_deadline();
static bool tavrin_lock(pthread_rwlock_t *lock, bool exclusive, bool bounded);
static int tavrin_atoi(const std::string &text);
static void tavrin_range(const std::string &text, int *lo, int *hi);
static void tavrin_apply(const TAVRIN &rule, CONNECTION_T *conn, const char *host);
static void tavrin_pass(CONNECTION_T *conn, int pass);
static void tavrin_dump_if_due(struct timespec *last);
static void tavrin_page_form(Filebuf *page);
static void tavrin_page_host(Filebuf *page, const char *host, bool refresh, bool odd);
static void tavrin_append(Filebuf *page, const std::string &text);

/* The longest hints directory name that is used. */
#define TAVRIN_DIRECTORY_MAX 510
/* The longest wait for a lock on the stop paths. */
#define TAVRIN_STOP_WAIT_SECONDS 2
/* Chains written per hold of cache_lock during a dump. */
#define TAVRIN_DUMP_CHAINS_PER_HOLD 256
/* The longest line of the feed, and the longest host taken from it. */
#define TAVRIN_FEED_LINE_MAX 4095

/* The options, by position. */
static const FieldDecl tavrin_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "directory", FIELD_STRING },
};

/* The fields of an entry of the list rule, by position. */
static const FieldDecl tavrin_rule_fields[] = {
    {  0, "enabled",         FIELD_BOOL },
    {  1, "comment",         FIELD_STRING },
    {  2, "log",             FIELD_BOOL },
    {  3, "profiles",        FIELD_STRING_LIST },
    {  4, "categories",      FIELD_STRING_LIST },
    {  5, "scores",          FIELD_STRING },
    {  6, "add-profiles",    FIELD_STRING_LIST },
    {  7, "remove-profiles", FIELD_STRING_LIST },
};

const char *const tavrin_category_names[TAVRIN_CATEGORIES] = {
    "ads", "adult", "adult_education", "arts", "chat", "drugs", "education", "fileshare",
    "finance", "gambling", "games", "government", "hacking", "hate", "highrisk",
    "housekeeping", "instantmessaging", "jobs", "leisure", "mail", "multimedia", "news",
    "porn", "proxy", "searchengines", "shopping", "social", "sports", "systemutils", "travel",
    "business",
};

const char *const tavrin_category_titles[TAVRIN_CATEGORIES] = {
    "Ads", "Adult", "Adult Education", "Arts", "Chat", "Drugs", "Education", "Fileshare",
    "Finance", "Gambling", "Games", "Government", "Hacking", "Hate", "Highrisk",
    "Housekeeping", "Instantmessaging", "Jobs", "Leisure", "Mail", "Multimedia", "News",
    "Porn", "Proxy", "Searchengines", "Shopping", "Social", "Sports", "Systemutils", "Travel",
    "Business",
};

TAVRIN_Section *tavrin_section = nullptr;

/* Set once the cache has been found full, so that the fact is logged once. */
static std::atomic<bool> tavrin_full_logged{ false };

int tavrin_category_find(const char *name)
{
    for (int i = 0; i < TAVRIN_CATEGORIES; i++)
        if (strcmp(name, tavrin_category_names[i]) == 0)
            return i;
    return -1;
}

/* ---- Keys, names and records ---- */

int tavrin_cache_key(int size, const char *host)
{
    if (size <= 0 || !host || !*host)
        return 0;
    uint32_t sum = 0;
    for (const char *p = host; *p; p++) {
        int c = (signed char)*p;
        if (c >= 'a' && c <= 'z')
            c -= 'a' - 'A';
        sum += (uint32_t)size + (uint32_t)(20 * c) + (uint32_t)(c >> 4) + (uint32_t)(c >> 2);
    }
    return (int)(sum % (uint32_t)size);
}

bool tavrin_host_valid(const char *host)
{
    size_t len = 0;
    for (const unsigned char *p = (const unsigned char *)host; *p; p++, len++)
        if (*p <= ' ' || *p == 0x7f || len >= TAVRIN_HOST_MAX)
            return false;
    return len > 0;
}

bool tavrin_record_parse(const char *line, std::string *host, int *scores)
{
    const char *p = line;
    while (isspace((unsigned char)*p))
        p++;
    const char *start = p;
    while (*p && !isspace((unsigned char)*p))
        p++;
    size_t len = (size_t)(p - start);
    if (len == 0 || len > TAVRIN_HOST_MAX)
        return false;
    std::string word(start, len);
    if (!tavrin_host_valid(word.c_str()))
        return false;

    int values[TAVRIN_SCORES];
    for (int i = 0; i < TAVRIN_SCORES; i++) {
        if (i > 0) {
            if (*p != ',')
                return false;
            p++;
        }
        while (isspace((unsigned char)*p))
            p++;
        if (!isdigit((unsigned char)*p) &&
            !((*p == '-' || *p == '+') && isdigit((unsigned char)p[1])))
            return false;
        errno = 0;
        char *end = nullptr;
        long long value = strtoll(p, &end, 10);
        if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX)
            return false;
        values[i] = (int)value;
        p = end;
    }
    *host = word;
    memcpy(scores, values, sizeof values);
    return true;
}

std::string tavrin_record_format(const char *host, const int *scores)
{
    std::string line = "\n";
    line += host;
    line += '\t';
    char number[16];
    for (int i = 0; i < TAVRIN_SCORES; i++) {
        snprintf(number, sizeof number, i ? ",%d" : "%d", scores[i]);
        line += number;
    }
    return line;
}

/* ---- DNS ---- */

static int tavrin_read16(const unsigned char *p)
{
    return (p[0] << 8) | p[1];
}

int tavrin_decode(const unsigned char *answer, int length, int *scores)
{
    if (!answer || length < HFIXEDSZ)
        return 0;
    length = std::min(length, TAVRIN_ANSWER_MAX);
    const unsigned char *eom = answer + length;
    const unsigned char *p = answer + HFIXEDSZ;

    int questions = tavrin_read16(answer + 4);
    for (int i = 0; i < questions; i++) {
        int n = dn_skipname(p, eom);
        if (n < 0 || eom - p < (ptrdiff_t)n + QFIXEDSZ)
            return 0;
        p += n + QFIXEDSZ;
    }

    int found = 0;
    char name[NS_MAXDNAME];
    while (p < eom) {
        int n = dn_expand(answer, eom, p, name, sizeof name);
        if (n < 0)
            break;
        p += n;
        if (eom - p < RRFIXEDSZ)
            break;
        int type = tavrin_read16(p);
        int rdlength = tavrin_read16(p + 8);
        p += RRFIXEDSZ;
        if (eom - p < rdlength)
            break;
        if (type == ns_t_mx) {
            /* Preference (2 bytes) and an exchange of at least one byte,
             * which must end inside the record's data. */
            if (rdlength < 3)
                break;
            int m = dn_expand(answer, eom, p + 2, name, sizeof name);
            if (m < 0 || m > rdlength - 2)
                break;
            int index = tavrin_category_find(name);
            if (index >= 0) {
                scores[index] = tavrin_read16(p);
                found++;
            }
        }
        p += rdlength;
    }
    return found;
}

int getmx(int *scores, const char *name, int length)
{
    length = std::min(length, TAVRIN_ANSWER_MAX);
    if (length < HFIXEDSZ)
        return 0;
    /* A state of its own: one attempt with 2 seconds per name server, so an
     * unreachable rating server delays the request by seconds only. */
    struct __res_state state;
    memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0)
        return 0;
    state.retrans = 2;
    state.retry = 1;
    unsigned char answer[TAVRIN_ANSWER_MAX];
    int n = res_nquery(&state, name, ns_c_in, ns_t_mx, answer, length);
    res_nclose(&state);
    if (n <= 0)
        return 0;
    return tavrin_decode(answer, std::min(n, length), scores);
}

/* ---- Locks ---- */

/* The end of a bounded wait for a lock begun now (CLOCK_REALTIME). */
static struct timespec tavrin_stop_deadline()
{
    struct timespec until;
    clock_gettime(CLOCK_REALTIME, &until);
    until.tv_sec += TAVRIN_STOP_WAIT_SECONDS;
    return until;
}

/* Takes lock for reading, or for writing when exclusive. Unbounded waits
 * always succeed; a bounded one gives up after TAVRIN_STOP_WAIT_SECONDS. */
static bool tavrin_lock(pthread_rwlock_t *lock, bool exclusive, bool bounded)
{
    if (!bounded) {
        if (exclusive)
            pthread_rwlock_wrlock(lock);
        else
            pthread_rwlock_rdlock(lock);
        return true;
    }
    struct timespec until = tavrin_stop_deadline();
    int rc = exclusive ? pthread_rwlock_timedwrlock(lock, &until)
                       : pthread_rwlock_timedrdlock(lock, &until);
    return rc == 0;
}

/* Holds a read-write lock for a scope, if it could be taken. */
class TavrinLock {
public:
    TavrinLock(pthread_rwlock_t *lock, bool exclusive, bool bounded = false)
        : lock_(lock), held_(tavrin_lock(lock, exclusive, bounded))
    {
    }
    ~TavrinLock()
    {
        if (held_)
            pthread_rwlock_unlock(lock_);
    }
    TavrinLock(const TavrinLock &) = delete;
    TavrinLock &operator=(const TavrinLock &) = delete;
    bool held() const { return held_; }

private:
    pthread_rwlock_t *lock_;
    bool held_;
};

/* ---- The section and its cache ---- */

/* atoi's reading of text, clamped to the int range. */
static int tavrin_atoi(const std::string &text)
{
    long long value = strtoll(text.c_str(), nullptr, 10);
    return (int)std::max<long long>(INT_MIN, std::min<long long>(INT_MAX, value));
}

/* A score range: "lo-hi" split at the last '-' (at most 11 characters of
 * lo are read), or one number for both. */
static void tavrin_range(const std::string &text, int *lo, int *hi)
{
    size_t dash = text.rfind('-');
    if (dash == std::string::npos) {
        *lo = *hi = tavrin_atoi(text);
        return;
    }
    *lo = tavrin_atoi(text.substr(0, std::min<size_t>(dash, 11)));
    *hi = tavrin_atoi(text.substr(dash + 1));
}

TAVRIN::TAVRIN(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    log = f[2].value;
    profiles = f[3].list;
    categories = f[4].list;
    scores = f[5].text;
    add_profiles = f[6].list;
    remove_profiles = f[7].list;
}

TAVRIN_Section::TAVRIN_Section() : Section("Tavrin", SECTION_RWLOCK)
{
    fields_require(tavrin_global_fields);
    list_require(0, "rule", tavrin_rule_fields, std::size(tavrin_rule_fields));
    pthread_rwlock_init(&cache_lock, nullptr);
    pthread_mutex_init(&dump_lock, nullptr);
    (void)cache_init();
}

void TAVRIN_Section::update()
{
    rules.clear();
    if (!fields[0].value)
        return;
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

bool TAVRIN_Section::is_enabled()
{
    SectionReadGuard guard(*this);
    return fields[0].value != 0;
}

int TAVRIN_Section::tavrin_cache_create(int size)
{
    if (size <= 0) {
        putlog(LOG_ADVICE, "Tavrin: size: %d is too small for cache, please increase it", size);
        return -1;
    }
    /* xmalloc zero-fills: every chain starts empty, both counters at 0. */
    TAVRIN_CACHE_TABLE *table = (TAVRIN_CACHE_TABLE *)xmalloc(sizeof(TAVRIN_CACHE_TABLE));
    TAVRIN_CACHE_LIST **chains =
        table ? (TAVRIN_CACHE_LIST **)xmalloc(sizeof(TAVRIN_CACHE_LIST *) * (size_t)size)
              : nullptr;
    if (!chains) {
        free(table);
        putlog(LOG_ADVICE,
               "error: Tavrin: System failed to allocate memory, size: %d is too large for "
               "cache, please reduce it",
               size);
        return -1;
    }
    table->size = size;
    table->table = chains;
    cache = table;
    return 1;
}

int TAVRIN_Section::cache_init()
{
    if (tavrin_cache_create(TAVRIN_CACHE_CHAINS) != 1) {
        putlog(LOG_ERROR, "Tavrin: Failed to allocate Memory Tavrin cache");
        return 0;
    }
    putlog(LOG_ADVICE, "Tavrin: cache initialized for %d records and is ready to use",
           TAVRIN_CACHE_CHAINS);
    putlog(LOG_DEBUG, "Tavrin: Allocated %d Memory for cached records",
           (int)(TAVRIN_CACHE_CHAINS * 4));
    return 1;
}

int TAVRIN_Section::cache_entries()
{
    TavrinLock lock(&cache_lock, false);
    return cache ? cache->entries : 0;
}

/* The scores of host's entry into scores; false when it has none. */
bool TAVRIN_Section::cache_find(const char *host, int *scores)
{
    TavrinLock lock(&cache_lock, false);
    if (!cache)
        return false;
    for (const TAVRIN_CACHE_LIST *e = cache->table[tavrin_cache_key(cache->size, host)]; e;
         e = e->next)
        if (strcasecmp(e->host, host) == 0) {
            memcpy(scores, e->scores, sizeof e->scores);
            return true;
        }
    return false;
}

/* Enters a rating under the write lock, looking for the host again first.
 * An entry that is there is replaced when replace is set, else kept and
 * its scores copied into scores. *count receives the entries added since
 * start. A tavrin_add_result. */
int TAVRIN_Section::cache_add(const char *host, int *scores, bool replace, int *count)
{
    if (!tavrin_host_valid(host))
        return TAVRIN_REFUSED;
    TavrinLock lock(&cache_lock, true);
    if (!cache)
        return TAVRIN_FULL;
    TAVRIN_CACHE_LIST **link = &cache->table[tavrin_cache_key(cache->size, host)];
    for (; *link; link = &(*link)->next)
        if (strcasecmp((*link)->host, host) == 0) {
            if (replace) {
                memcpy((*link)->scores, scores, sizeof (*link)->scores);
                cache->unsaved++;
            } else {
                memcpy(scores, (*link)->scores, sizeof (*link)->scores);
            }
            return TAVRIN_PRESENT;
        }
    if (cache->entries >= TAVRIN_CACHE_MAX)
        return TAVRIN_FULL;
    TAVRIN_CACHE_LIST *entry = (TAVRIN_CACHE_LIST *)xmalloc(sizeof(TAVRIN_CACHE_LIST));
    char *copy = entry ? xstrdup(host) : nullptr;
    if (!copy) {
        free(entry);
        return TAVRIN_FULL;
    }
    entry->host = copy;
    memcpy(entry->scores, scores, sizeof entry->scores);
    *link = entry;   /* the tail: entry->next is NULL by the zero fill */
    cache->count++;
    cache->unsaved++;
    cache->entries++;
    *count = cache->count;
    return TAVRIN_ADDED;
}

int TAVRIN_Section::update_tavrin_cache(const char *host, const int *scores)
{
    int copy[TAVRIN_SCORES];
    memcpy(copy, scores, sizeof copy);
    int count = 0;
    return cache_add(host, copy, false, &count);
}

void TAVRIN_Section::tavrin_cache_purge(TAVRIN_CACHE_TABLE *table, const char *host)
{
    if (!table || !host)
        return;
    TavrinLock lock(&cache_lock, true);
    TAVRIN_CACHE_LIST **link = &table->table[tavrin_cache_key(table->size, host)];
    while (*link) {
        TAVRIN_CACHE_LIST *entry = *link;
        if (strcasecmp(entry->host, host) == 0) {
            *link = entry->next;
            free(entry->host);
            free(entry);
            table->entries--;
        } else {
            link = &entry->next;
        }
    }
}

/* Asks DNS for host's scores and enters them; replace as cache_add. The
 * query runs with no lock held. */
bool TAVRIN_Section::lookup(const char *host, int *scores, bool replace)
{
    std::string shown = log_field(host, false);
    char name[TAVRIN_QUERY_NAME_MAX + 2];
    int len = snprintf(name, sizeof name, "%s.%s", host, TAVRIN_ZONE);
    int result[TAVRIN_SCORES] = {};
    if (!tavrin_host_valid(host) || len < 0 || len > TAVRIN_QUERY_NAME_MAX ||
        getmx(result, name, TAVRIN_ANSWER_MAX) <= 0) {
        putlog(LOG_ERROR, "Tavrin: failed to lookup site: %s", shown.c_str());
        return false;
    }
    int count = 0;
    switch (cache_add(host, result, replace, &count)) {
    case TAVRIN_ADDED:
        putlog(LOG_ADVICE, "tavrin: cache[%d]: Added :%s", count, shown.c_str());
        break;
    case TAVRIN_FULL:
        if (!tavrin_full_logged.exchange(true))
            putlog(LOG_ADVICE,
                   "tavrin: the cache holds %d entries; further ratings are not cached",
                   TAVRIN_CACHE_MAX);
        break;
    case TAVRIN_PRESENT:
    case TAVRIN_REFUSED:
        break;
    }
    memcpy(scores, result, sizeof result);
    return true;
}

bool TAVRIN_Section::tavrin_cache_search(const char *host, int *scores)
{
    if (!host)
        return false;
    if (cache_find(host, scores))
        return true;
    return lookup(host, scores, false);
}

bool TAVRIN_Section::tavrin_cache_refresh(const char *host, int *scores)
{
    if (!host)
        return false;
    tavrin_cache_purge(cache, host);
    return lookup(host, scores, true);
}

int TAVRIN_Section::store_tavrin(CONNECTION_T *conn)
{
    if (!conn->header || !conn->header->host)
        return 0;
    int scores[TAVRIN_SCORES];
    if (!tavrin_cache_search(conn->header->host, scores))
        return 0;
    memcpy(conn->tavrin_scores, scores, sizeof scores);
    return 1;
}

/* ---- Rules ---- */

/* Adds the rule's names the connection lacks, then removes every
 * occurrence of each name to remove. */
static void tavrin_apply(const TAVRIN &rule, CONNECTION_T *conn, const char *host)
{
    std::string shown = log_field(host, false);
    for (const std::string &name : rule.add_profiles) {
        if (conn->profiles.has(name))
            continue;
        conn->profiles.push_back(name);
        if (rule.log == 1)
            conn->profiles.show_p(("Tavrin: host:" + shown + " Added: ").c_str(), name);
    }
    for (const std::string &name : rule.remove_profiles) {
        if (rule.log == 1)
            conn->profiles.show_p(("Tavrin: host:" + shown + " Removed: ").c_str(), name);
        conn->profiles.remove(name);
    }
}

int TAVRIN_Section::check_profiles(CONNECTION_T *conn, int pass)
{
    SectionReadGuard guard(*this);
    if (!fields[0].value)
        return 0;
    const char *host = conn->header && conn->header->host ? conn->header->host : "";
    for (const TAVRIN &rule : rules) {
        if (!rule.enabled)
            continue;
        if (pass == 0 ? !rule.profiles.empty() : !profile_find(conn->profiles, rule.profiles))
            continue;
        if (rule.categories.empty()) {
            if (rule.log == 1)
                putlog(LOG_ERROR, "tavrin: malformed entry: category not specified.");
            continue;
        }
        if (rule.scores.empty()) {
            if (rule.log == 1)
                putlog(LOG_ERROR, "tavrin: malformed entry: score range not specified.");
            continue;
        }
        int lo = 0, hi = 0;
        tavrin_range(rule.scores, &lo, &hi);
        for (const std::string &name : rule.categories) {
            if (name.empty()) {
                if (rule.log == 1)
                    putlog(LOG_ERROR, "tavrin: malformed entry: empty category name");
                continue;
            }
            int index = tavrin_category_find(name.c_str());
            if (index < 0)
                continue;
            int score = conn->tavrin_scores[index];
            if (lo <= score && score <= hi) {
                tavrin_apply(rule, conn, host);
                break;
            }
        }
    }
    return 0;
}

/* One pass of the rules, looking the host up first when this request has
 * not yet done so. */
static void tavrin_pass(CONNECTION_T *conn, int pass)
{
    if (!tavrin_section || !tavrin_section->is_enabled())
        return;
    if (!conn->header || !conn->header->host || !conn->header->host[0])
        return;
    if (isthis_interface_request(conn))
        return;
    if (conn->tavrin_scores[0] == -1 && !conn->tavrin_failed &&
        !tavrin_section->store_tavrin(conn))
        conn->tavrin_failed = true;   /* not asked again in this request */
    (void)tavrin_section->check_profiles(conn, pass);
}

int tavrin_first(CONNECTION_T *conn)
{
    tavrin_pass(conn, 0);
    return 0;
}

int tavrin_second(CONNECTION_T *conn)
{
    tavrin_pass(conn, 1);
    return 0;
}

bool isthis_interface_request(const CONNECTION_T *conn)
{
    return interface_request_test(conn);
}

/* ---- Files ---- */

/* Enters every record of the file at path; returns the number entered, or
 * -1 when it cannot be opened. Lines longer than TAVRIN_RECORD_LINE_MAX
 * are skipped whole. */
int TAVRIN_Section::load_file(const char *path)
{
    FILE *in = fopen(path, "r");
    if (!in)
        return -1;
    char line[TAVRIN_RECORD_LINE_MAX + 2];
    int records = 0;
    bool skipping = false;
    std::string host;
    int scores[TAVRIN_SCORES];
    while (fgets(line, sizeof line, in)) {
        bool whole = strchr(line, '\n') != nullptr || feof(in);
        if (skipping || !whole) {
            skipping = !whole;   /* the rest of an overlong line */
            continue;
        }
        if (tavrin_record_parse(line, &host, scores) &&
            update_tavrin_cache(host.c_str(), scores) == TAVRIN_ADDED)
            records++;
    }
    fclose(in);
    return records;
}

void TAVRIN_Section::tavrin_filetocache_insert()
{
    std::string directory;
    {
        SectionReadGuard guard(*this);
        if (!fields[0].value || fields[1].text.empty())
            return;
        directory = fields[1].text.substr(0, TAVRIN_DIRECTORY_MAX);
    }
    DIR *dir = opendir(directory.c_str());
    if (!dir) {
        putlog(LOG_ERROR, "Tavrin: hints directory: %s, does not exist", directory.c_str());
        return;
    }
    /* In name order, so that of two hint files naming one host the same
     * one wins at every start. */
    std::vector<std::string> names;
    while (struct dirent *entry = readdir(dir)) {
        const char *dot = strrchr(entry->d_name, '.');
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0 || !dot ||
            strcmp(dot, ".tavrin") != 0)
            continue;
        names.emplace_back(entry->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());

    for (const std::string &name : names) {
        std::string path = directory + "/" + name;
        int records = load_file(path.c_str());
        if (records < 0) {
            putlog(LOG_ERROR, "[system: open_1:%d:%s], in %s, failed to open private cache: %s",
                   errno, strerror(errno), "tavrin_filetocache_insert", path.c_str());
            continue;
        }
        putlog(LOG_ADVICE, "Tavrin: read from %s, records: %d", path.c_str(), records);
    }

    std::string path = directory + "/tavrin.cache";
    int records = load_file(path.c_str());
    if (records < 0) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open ccs cache: %s", errno,
               strerror(errno), "tavrin_filetocache_insert", path.c_str());
        return;
    }
    putlog(LOG_ADVICE, "Tavrin: read from %s, records: %d", path.c_str(), records);
}

/* The dump's two paths, with the hints directory created; false when the
 * section is disabled or the directory cannot be made (logged). */
bool TAVRIN_Section::dump_paths(bool stopping, std::string *path, std::string *path_new)
{
    if (!stopping) {
        read_lock();
    } else {
        struct timespec until = tavrin_stop_deadline();
        if (!read_lock_until(&until))
            return false;
    }
    bool ok = fields[0].value != 0;
    if (ok) {
        std::string directory = fields[1].text.substr(0, TAVRIN_DIRECTORY_MAX);
        *path = directory + "/tavrin.cache";
        *path_new = directory + "/tavrin.cache.new";
        if (create_recursive_directory(directory.c_str()) != 1) {
            putlog(LOG_ADVICE, "error: tavrin: failed to create the hints directory");
            ok = false;
        }
    }
    unlock();
    return ok;
}

/* Writes every entry to out, TAVRIN_DUMP_CHAINS_PER_HOLD chains per hold
 * of cache_lock and the file written with no lock held. *unsaved receives
 * the count of unsaved entries read under the lock of the first hold.
 * False when nothing is due, a lock is not had in time, or a write fails. */
bool TAVRIN_Section::dump_write(FILE *out, bool stopping, int *unsaved, int *records)
{
    *records = 0;
    for (int first = 0;; first += TAVRIN_DUMP_CHAINS_PER_HOLD) {
        std::string text;
        {
            TavrinLock lock(&cache_lock, false, stopping);
            if (!lock.held())
                return false;
            if (first == 0) {
                *unsaved = cache->unsaved;
                if (*unsaved <= 0)
                    return false;
            }
            if (first >= cache->size)
                break;
            int last = std::min(first + TAVRIN_DUMP_CHAINS_PER_HOLD, cache->size);
            for (int chain = first; chain < last; chain++)
                for (const TAVRIN_CACHE_LIST *e = cache->table[chain]; e; e = e->next) {
                    text += tavrin_record_format(e->host, e->scores);
                    (*records)++;
                }
        }
        if (!text.empty() && fwrite(text.data(), 1, text.size(), out) != text.size())
            return false;
    }
    return true;
}

int TAVRIN_Section::tavrin_dnstofile_insert(bool stopping)
{
    if (!cache)
        return 0;
    if (stopping) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += TAVRIN_STOP_WAIT_SECONDS;
        if (pthread_mutex_timedlock(&dump_lock, &until) != 0)
            return -1;
    } else {
        pthread_mutex_lock(&dump_lock);
    }
    std::unique_ptr<pthread_mutex_t, int (*)(pthread_mutex_t *)> hold(&dump_lock,
                                                                      pthread_mutex_unlock);
    std::string path, path_new;
    if (!dump_paths(stopping, &path, &path_new))
        return 0;

    int fd = open(path_new.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FILE *out = fd == -1 ? nullptr : fdopen(fd, "w");
    if (!out) {
        if (fd != -1)
            close(fd);
        putlog(LOG_ERROR, "Tavrin: failed to create %s", path_new.c_str());
        return -1;
    }
    int unsaved = 0, records = 0;
    bool written = dump_write(out, stopping, &unsaved, &records);
    written = fflush(out) == 0 && written;
    written = fsync(fileno(out)) == 0 && written;
    written = fclose(out) == 0 && written;
    if (!written) {
        /* Nothing due, or a failure: the last dump stays as it is. */
        unlink(path_new.c_str());
        if (unsaved <= 0)
            return 0;
        putlog(LOG_ERROR, "Tavrin: failed to write %s", path_new.c_str());
        return -1;
    }
    /* rename replaces the old dump in one step: there is always one whole
     * dump on disk. */
    if (rename(path_new.c_str(), path.c_str()) != 0) {
        putlog(LOG_ERROR, "Tavrin: failed to move %s -> %s", path_new.c_str(), path.c_str());
        return -1;
    }
    {
        /* Entries added during the dump stay counted for the next one. */
        TavrinLock lock(&cache_lock, true, stopping);
        if (lock.held())
            cache->unsaved -= unsaved;
    }
    return records;
}

/* Runs a dump when the last one is TAVRIN_DUMP_SECONDS old; *last is the
 * monotonic time of the last one. */
static void tavrin_dump_if_due(struct timespec *last)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (now.tv_sec - last->tv_sec < TAVRIN_DUMP_SECONDS)
        return;
    *last = now;
    if (tavrin_section->is_enabled())
        (void)tavrin_section->tavrin_dnstofile_insert();
}

void get_access_log_url()
{
    FILE *in = fopen(tavrinfeed, "r");
    if (!in) {
        putlog(LOG_ERROR, "[system: open_2:%d:%s], in %s, failed to open tavrinfeed: %s", errno,
               strerror(errno), "get_access_log_url", tavrinfeed);
        return;
    }
    struct timespec last;
    clock_gettime(CLOCK_MONOTONIC, &last);
    char line[TAVRIN_FEED_LINE_MAX + 1];
    int records = 0;
    bool skipping = false;
    while (fgets(line, sizeof line, in)) {
        bool whole = strchr(line, '\n') != nullptr || feof(in);
        if (skipping || !whole) {
            skipping = !whole;
            continue;
        }
        line[strcspn(line, "\r\n")] = '\0';
        line[std::min(strlen(line), (size_t)TAVRIN_HOST_MAX)] = '\0';
        if (!line[0])
            continue;   /* the line feed before the first record */
        records++;
        int scores[TAVRIN_SCORES];
        (void)tavrin_section->tavrin_cache_search(line, scores);
        tavrin_dump_if_due(&last);
    }
    fclose(in);
    putlog(LOG_ADVICE, "Tavrin: read from tavrinfeed:%s, records: %d", tavrinfeed, records);
    unlink(tavrinfeed);
}

void *tavrin_cachedump(void *)
{
    if (!tavrin_section)
        return nullptr;
    while (!tavrin_section->is_enabled())
        sleep(TAVRIN_DISABLED_SECONDS);
    tavrin_section->tavrin_filetocache_insert();
    get_access_log_url();
    for (;;) {
        if (tavrin_section->is_enabled())
            (void)tavrin_section->tavrin_dnstofile_insert();
        sleep(TAVRIN_DUMP_SECONDS);
    }
    return nullptr;
}

/* ---- The /tavrin page ---- */

static void tavrin_append(Filebuf *page, const std::string &text)
{
    if (page->Add(text.data(), (int64_t)text.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: a page could not be built");
}

static void tavrin_page_form(Filebuf *page)
{
    tavrin_append(page,
                  "<form action=\"tavrin\" method=\"POST\">\n"
                  "<table class=\"dialog\" align=\"center\">\n"
                  "<tr><td class=\"dialoghead\" colspan=\"2\">Hostname</td></tr>\n"
                  "<tr><td>Enter the comma separated list of domains to identify Tavrin</td>"
                  "<td><input type=\"text\" name=\"domain\" size=\"125\"></td></tr>\n"
                  "<tr><td>refresh</td><td><select name=\"refresh\">"
                  "<option value=\"yes\" selected>yes</option>"
                  "<option value=\"no\">no</option></select></td></tr>\n"
                  "<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" "
                  "value=\"Submit\"></td></tr>\n"
                  "</table>\n"
                  "</form>\n");
}

/* The heading and score table of one host; odd chooses the row class. */
static void tavrin_page_host(Filebuf *page, const char *host, bool refresh, bool odd)
{
    int scores[TAVRIN_SCORES] = {};
    bool rated = refresh ? tavrin_section->tavrin_cache_refresh(host, scores)
                         : tavrin_section->tavrin_cache_search(host, scores);
    if (!rated)
        memset(scores, 0, sizeof scores);

    const char *row = odd ? "listodd" : "listeven";
    std::string html = "<h3>" + interface_html(host) + "</h3>\n<table class=\"list\">\n";
    for (int half = 0; half < 2; half++) {
        int first = half * 16;
        html += std::string("<tr class=\"") + row + "\"><th>Category</th>";
        for (int i = first; i < first + 16; i++)
            html += std::string("<th>") + (i < TAVRIN_CATEGORIES ? tavrin_category_titles[i] : "") +
                    "</th>";
        html += std::string("</tr>\n<tr class=\"") + row + "\"><td>Score</td>";
        for (int i = first; i < first + 16; i++)
            html += "<td>" + std::to_string(scores[i]) + "</td>";
        html += "</tr>\n";
    }
    html += "</table>\n";
    tavrin_append(page, html);
}

void interface_page_tavrin(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    auto domain = args.find("domain");
    auto refresh = args.find("refresh");
    bool refresh_on = refresh != args.end() && refresh->second == "yes";
    if (!tavrin_section)
        return;
    if (domain == args.end() || domain->second.empty()) {
        tavrin_page_form(page);
        return;
    }
    std::unique_ptr<char *, void (*)(char **)> hosts(string_break(domain->second.c_str(), ','),
                                                    array_free);
    bool odd = true;
    for (char **host = hosts.get(); host && *host; host++) {
        if (!**host)
            continue;
        tavrin_page_host(page, *host, refresh_on, odd);
        odd = !odd;
    }
}
