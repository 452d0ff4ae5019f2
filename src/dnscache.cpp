/*
 * The DNS cache. A browser opens many connections to one site in a burst;
 * each would otherwise cost a resolver round trip. The first IPv4 address
 * of every name we resolve is kept for ten minutes in a string hash table
 * under one mutex. The resolver runs without the mutex, so a slow lookup
 * never holds up hits for other names; two threads missing the same name
 * at once both ask, and the later answer's time stands. Negative answers
 * are not cached. The table has a bound: a flood of distinct names first
 * pushes out the expired entries, then the oldest ones.
 */
#include "dnscache.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "compat.h"
#include "hash.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "stats.h"
#include "timers.h"

int dnscache_max_entries = DNSCACHE_MAX_ENTRIES;

static time_t dnscache_default_clock();
static time_t (*dnscache_clock)() = dnscache_default_clock;
static HOSTENT *(*dnscache_resolver)(const char *name) = p_gethostbyname;

static bool dnscache_dotted(const char *host);
static HOSTENT *dnscache_hostent(const in_addr *address);
static bool dnscache_key(const char *host, char key[DNSCACHE_KEY_MAX + 1]);
static int dnscache_count_locked(HASH_TABLE *table);
static int dnscache_expire_locked(HASH_TABLE *table, time_t now);
static void dnscache_make_room_locked(HASH_TABLE *table, time_t now);
static void dnscache_stat_hit();
static void dnscache_stat_miss();
static void dnscache_stat_fail();

/* Ages are measured on the monotonic clock, so a step of the wall clock
 * neither keeps an entry past its time nor drops it early. */
static time_t dnscache_default_clock()
{
    return timers_now();
}

time_t dnscache_now()
{
    return dnscache_clock();
}

void dnscache_set_clock(time_t (*clock)())
{
    dnscache_clock = clock ? clock : dnscache_default_clock;
}

void dnscache_set_resolver(HOSTENT *(*resolver)(const char *name))
{
    dnscache_resolver = resolver ? resolver : p_gethostbyname;
}

/* The "DNS cache" statistics group and the performance log's counters. */
static void dnscache_stat_hit()
{
    statincr_dnscache(true);
    if (performance_log)
        performance_log->set_dns_hit(1);
}

static void dnscache_stat_miss()
{
    statincr_dnscache(false);
    if (performance_log)
        performance_log->set_dns_miss(1);
}

static void dnscache_stat_fail()
{
    if (performance_log)
        performance_log->set_dns_fail(1);
}

/* A new HOSTENT holding address; allocation failure is fatal. */
static HOSTENT *dnscache_hostent(const in_addr *address)
{
    HOSTENT *host = (HOSTENT *)xmalloc(sizeof(HOSTENT));
    char *bytes = (char *)xmalloc(4);
    if (!host || !bytes)
        fatal_error("src/network", __LINE__, "net_dns", "Failed to allocate %u bytes of memory",
                    (unsigned)(sizeof(HOSTENT) + 4));
    memcpy(bytes, &address->s_addr, 4);
    host->addr = bytes;
    host->len = 4;
    return host;
}

/* The cache key of host: the name lower-cased. False when the name is too
 * long to be a key. */
static bool dnscache_key(const char *host, char key[DNSCACHE_KEY_MAX + 1])
{
    size_t len = strlen(host);
    if (len > DNSCACHE_KEY_MAX)
        return false;
    for (size_t i = 0; i < len; i++)
        key[i] = (char)tolower((unsigned char)host[i]);
    key[len] = '\0';
    return true;
}

static int dnscache_count_locked(HASH_TABLE *table)
{
    int count = 0;
    for (int i = 0; i < table->size; i++)
        for (HASH_LIST *e = table->table[i]; e; e = e->next)
            count++;
    return count;
}

/* Removes the entries older than the time to live as of now; returns how
 * many went. */
static int dnscache_expire_locked(HASH_TABLE *table, time_t now)
{
    std::vector<std::string> gone;
    for (int i = 0; i < table->size; i++)
        for (HASH_LIST *e = table->table[i]; e; e = e->next)
            if (e->time + DNSCACHE_TTL_SECONDS < now)
                gone.emplace_back(e->key);
    for (const std::string &key : gone)
        hash_purge(table, key.c_str());
    return (int)gone.size();
}

/* Makes room for one more entry when the cache is at its bound: expired
 * entries go first, then the oldest entries. */
static void dnscache_make_room_locked(HASH_TABLE *table, time_t now)
{
    int limit = dnscache_max_entries > 0 ? dnscache_max_entries : 1;
    int count = dnscache_count_locked(table);
    if (count < limit)
        return;
    count -= dnscache_expire_locked(table, now);
    while (count >= limit) {
        const HASH_LIST *oldest = nullptr;
        for (int i = 0; i < table->size; i++)
            for (const HASH_LIST *e = table->table[i]; e; e = e->next)
                if (!oldest || e->time < oldest->time)
                    oldest = e;
        if (!oldest)
            return;
        std::string key = oldest->key;
        hash_purge(table, key.c_str());
        count--;
    }
}

/* Digits and exactly three dots: written as an address, so a malformed one
 * ("999.1.2.3") is an error, never a name for the resolver. */
static bool dnscache_dotted(const char *host)
{
    int dots = 0;
    for (const char *p = host; *p; p++) {
        if (*p == '.')
            dots++;
        else if (!isdigit((unsigned char)*p))
            return false;
    }
    return dots == 3;
}

HOSTENT *net_dns(const char *host)
{
    if (!host || !*host)
        return nullptr;

    if (dnscache_dotted(host)) {
        in_addr address;
        if (!isip(host) || inet_pton(AF_INET, host, &address) != 1) {
            putlog(LOG_ERROR, "DNS: failed: %.255s", host);
            return nullptr;
        }
        return dnscache_hostent(&address);
    }

    HASH_TABLE *table = global ? global->dnscache : nullptr;
    char key[DNSCACHE_KEY_MAX + 1];
    bool cached = table && dnscache_key(host, key);
    time_t now = dnscache_clock();

    if (cached) {
        char text[INET_ADDRSTRLEN] = "";
        {
            MutexGuard guard(&global->dnscache_lock);
            HASH_LIST *e = hash_search(table, key);
            if (e && e->time + DNSCACHE_TTL_SECONDS >= now)
                s_strncpy(text, (const char *)e->value, sizeof text);
            else if (e)
                hash_purge(table, key);
        }
        in_addr address;
        if (text[0] && inet_pton(AF_INET, text, &address) == 1) {
            dnscache_stat_hit();
            if (log_wanted(LOG_DEBUG))
                putlog(LOG_DEBUG, "DNS: cache: hit: %s -> %s", key, text);
            return dnscache_hostent(&address);
        }
    }

    HOSTENT *answer = dnscache_resolver(host);
    if (!answer || answer->len != 4 || !answer->addr) {
        hostent_free(answer);
        dnscache_stat_fail();
        putlog(LOG_ERROR, "DNS: failed: %.511s", host);
        return nullptr;
    }
    if (!cached)
        return answer;

    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, answer->addr, text, sizeof text))
        return answer;
    {
        MutexGuard guard(&global->dnscache_lock);
        HASH_LIST *e = hash_search(table, key);
        if (!e) {
            dnscache_make_room_locked(table, now);
            char *value = xstrdup(text);
            if (!value)
                fatal_error("src/network", __LINE__, "net_dns", "Failed to allocate %u bytes of memory",
                            (unsigned)sizeof text);
            e = hash_insert(table, key, value);
        }
        if (e)
            e->time = now;
    }
    dnscache_stat_miss();
    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "DNS: cache: insert: %s -> %s", key, text);
    return answer;
}

void net_dns_purge(const char *host)
{
    HASH_TABLE *table = global ? global->dnscache : nullptr;
    char key[DNSCACHE_KEY_MAX + 1];
    if (!table || !host || isip(host) || !dnscache_key(host, key))
        return;
    MutexGuard guard(&global->dnscache_lock);
    hash_purge(table, key);
}

void dnscache_clean(void *)
{
    if (!global || !global->dnscache)
        return;
    MutexGuard guard(&global->dnscache_lock);
    (void)dnscache_expire_locked(global->dnscache, dnscache_clock());
}

int dnscache_count()
{
    if (!global || !global->dnscache)
        return 0;
    MutexGuard guard(&global->dnscache_lock);
    return dnscache_count_locked(global->dnscache);
}
