#pragma once

#include <ctime>

struct HOSTENT;
struct HASH_TABLE;

/* How long a resolved name stays fresh, in seconds. */
#define DNSCACHE_TTL_SECONDS 600
/* How often the expiry timer runs, in seconds. */
#define DNSCACHE_CLEAN_SECONDS 60
/* The longest key (a lower-cased host name) the cache holds; longer names
 * are resolved without the cache, so two of them can never share an entry. */
#define DNSCACHE_KEY_MAX 511
/* The default bound on the entries of the cache. */
#define DNSCACHE_MAX_ENTRIES 65536

/* The most entries the cache holds: when an insertion would pass it, the
 * expired entries go first, then the oldest one. Written at start-up (and
 * by tests), read under the cache mutex. */
extern int dnscache_max_entries;

/* Resolves host to one IPv4 address. A dotted quad is converted with
 * inet_pton (no cache, no counters; a malformed one is an error and gives
 * NULL). A name is looked up in global->dnscache (case-insensitively), and
 * on a miss or an expired entry asked from the resolver without the cache
 * mutex held; a positive answer is cached, a negative one never. Returns a
 * new HOSTENT (the caller frees it with hostent_free) or NULL. Without a
 * cache (global->dnscache NULL) every name goes to the resolver. */
HOSTENT *net_dns(const char *host);

/* Removes host's entry (dotted quads are ignored), so the next lookup asks
 * the resolver again. */
void net_dns_purge(const char *host);

/* Timer callback (every DNSCACHE_CLEAN_SECONDS): removes the entries older
 * than DNSCACHE_TTL_SECONDS. The argument is unused. */
void dnscache_clean(void *arg);

/* The time the entries are stamped with (the monotonic clock unless a test
 * set another): an entry's age is this minus its time. */
time_t dnscache_now();

/* The number of entries in the cache, counted under its mutex. */
int dnscache_count();

/* Test seams. The clock gives the current time in seconds (time() by
 * default); the resolver answers a name (p_gethostbyname by default). NULL
 * restores the default. */
void dnscache_set_clock(time_t (*clock)());
void dnscache_set_resolver(HOSTENT *(*resolver)(const char *name));
