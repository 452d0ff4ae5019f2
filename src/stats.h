#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <list>
#include <pthread.h>
#include <string>
#include <string_view>
#include <unordered_map>

#include "atom.h"

class Filebuf;
struct CONNECTION_T;

/* Counter kinds (StatCounter::flags): one of COUNT, BYTES, STRING, plus
 * CALLBACK when the value comes from a function instead of the stored
 * value. */
enum {
    STAT_COUNT = 1,      /* shown as an unsigned decimal number */
    STAT_BYTES = 2,      /* shown as a size ("1.5 KB") */
    STAT_STRING = 4,     /* a text made by a callback */
    STAT_CALLBACK = 8,
};

/* Group kinds (StatGroup::type). */
enum {
    STATGROUP_LIST = 0,    /* each counter with its value */
    STATGROUP_SHARE = 1,   /* each counter with its value and share of the total;
                              STAT_COUNT counters only */
};

/* Which counter a full group gives up (StatGroup::prune). */
enum {
    STATPRUNE_OLDEST = 0,     /* the one changed longest ago (any value but 1) */
    STATPRUNE_SMALLEST = 1,   /* the one with the smallest value */
};

/* The limit of every group whose counters are named by request data. A
 * limited group holds at most limit - 1 counters. */
extern const int STAT_LIMIT;

/* The longest counter name taken from request data; longer names are cut,
 * so a flood of long host names cannot grow a group's memory unduly. */
#define STAT_NAME_MAX 255

/* Callbacks of callback counters: a number, or a new text (xmalloc) that
 * the caller frees. */
typedef uint64_t (*stat_number_fn)();
typedef char *(*stat_text_fn)();

/* One counter. Every value is 64 bits and wraps only at 2^64. */
class StatCounter {
public:
    StatCounter(std::string name, int flags);

    /* A new text (freed with free) of the value: "%llu" for a count, a size
     * for bytes, the callback's text for a string counter (an empty text
     * when the callback gives none). Never NULL: a failed allocation is
     * fatal. */
    char *Get() const;

    int flags;
    std::string name;               /* unique in its group, compared exactly */
    std::atomic<int64_t> updated_us;   /* last change in a limited group, in
                                          microseconds of the epoch (for
                                          pruning); 0 when never changed */
    stat_number_fn number_callback; /* STAT_CALLBACK with COUNT or BYTES */
    stat_text_fn text_callback;     /* STAT_CALLBACK with STRING */
    std::atomic<uint64_t> value;
};

/* A named list of counters with its own read-write lock, each counter
 * found through a hash index of the names. Counting a counter that exists
 * never takes the lock exclusively: a sealed group without a limit (its
 * counters fixed) counts with atomics alone, any other takes its lock
 * shared, which keeps a prune out while it counts with atomics. Adding a
 * counter (and the prune that makes room), Limit and Seal take the lock
 * exclusively; Value, Size and Display take it shared. */
class StatGroup {
public:
    StatGroup(std::string name, int type);
    ~StatGroup();
    StatGroup(const StatGroup &) = delete;
    StatGroup &operator=(const StatGroup &) = delete;

    /* Sets the limit (0: none) and prune mode; returns the group. Called
     * before the group is sealed. */
    StatGroup &Limit(int limit, int prune);

    /* Adds a stored counter (value 0, zero time) after pruning. false, with
     * nothing changed, when a counter of that name exists. */
    bool Add(std::string_view name, int flags);
    /* Adds a callback counter (flags plus STAT_CALLBACK); false when the
     * name exists or the flags do not hold STAT_COUNT or STAT_BYTES. */
    bool Add(std::string_view name, stat_number_fn callback, int flags);
    /* The same for a text callback; the flags must hold STAT_STRING. */
    bool Add(std::string_view name, stat_text_fn callback, int flags);

    /* Adds n to (or takes n from) the counter and the group total, both
     * wrapping, and in a limited group stamps the counter with the current
     * time. Returns the counter's new value, 0 when there is no counter of
     * that name. */
    uint64_t Increment(std::string_view name, uint64_t n = 1);
    uint64_t Decrement(std::string_view name, uint64_t n = 1);

    /* Adds a STAT_COUNT counter when name is new, then increments it.
     * Returns the new value, which no prune can lose: an existing counter
     * is counted under the lock held shared, so it cannot be pruned before
     * the count is in; a new one is looked up again, added and counted as
     * one step under the lock held exclusively, so a name another thread
     * added meanwhile is counted once, in its one counter. */
    uint64_t Tally(std::string_view name, uint64_t n = 1);

    /* Fixes the counters of a group without a limit: from now on it counts
     * without its lock and refuses Add. A limited group (its counters come
     * and go with request data) keeps counting under its lock held shared. */
    void Seal();

    /* Makes room for one more counter when the group is limited and holds
     * limit - 1 or more: the chosen counter (smallest value, or earliest
     * change; ties go to the one nearer the front) is removed. The total
     * stays. Called with the lock held exclusively. */
    void Prune();

    /* The counter's value in *value; false when there is none. */
    bool Value(std::string_view name, uint64_t *value);
    /* The number of counters held. */
    size_t Size();

    /* Appends the group's table to page; line_length as string_to_html. */
    void Display(Filebuf *page, int line_length);

    int type;
    std::atomic<uint64_t> total;   /* every increment minus every decrement */
    std::string name;      /* unique in its tree, compared exactly */
    unsigned limit;        /* 0: no limit */
    int prune;
    std::list<StatCounter> counters;   /* in the order they were added */
    pthread_rwlock_t lock;   /* guards counters and the index while not sealed:
                                shared to count and read, exclusive to add
                                and prune; prefers writers */
    std::atomic<bool> sealed{false};

private:
    StatCounter *find(std::string_view name) const;
    StatCounter *add_locked(std::string_view name, int flags, stat_number_fn number,
                            stat_text_fn text);
    uint64_t adjust(std::string_view name, uint64_t delta);
    uint64_t count(StatCounter *counter, uint64_t delta, bool stamp);

    /* Each counter by name; a key views its counter's own name, which
     * lives as long as the entry. */
    std::unordered_map<std::string_view, StatCounter *> index;
};

/* The groups the feeders of the request road count into, found by name
 * once when a tree is sealed (Stats::fed). */
enum {
    STATFED_REQUESTS = 0,
    STATFED_CACHE,
    STATFED_CACHE_REFRESH,
    STATFED_HOSTS,
    STATFED_MIMES,
    STATFED_USERS,
    STATFED_IPADDRESSES,
    STATFED_NETWORK,
    STATFED_DNSCACHE,
    STATFED_CONNECTIONPOOL,
    STATFED_COUNT
};

/*
 * A statistics tree: groups in the order they were added. The global tree
 * is GLOBAL_T::stats; each access rule has a tree of its own, made by
 * userstats_init, reference-counted (the rule and every connection matched
 * to it hold one) and freed by stats_release when the last goes. Groups are
 * all added before the tree is shared, so the group list is read without
 * a lock. Operations on a group that does not exist do nothing and return
 * 0 or false.
 */
class Stats : public Atom {
public:
    Stats() = default;
    Stats(const Stats &) = delete;
    Stats &operator=(const Stats &) = delete;

    /* Appends an empty group (total 0, no limit) unless one of the name
     * exists. */
    void AddGroup(std::string_view name, int type);
    /* StatGroup::Add in the named group. */
    bool AddCounter(std::string_view group, std::string_view name, int flags);
    bool AddCounter(std::string_view group, std::string_view name, stat_number_fn callback,
                    int flags);
    bool AddCounter(std::string_view group, std::string_view name, stat_text_fn callback,
                    int flags);
    /* StatGroup::Increment, Decrement and Tally in the named group. */
    uint64_t Increment(std::string_view group, std::string_view name, uint64_t n = 1);
    uint64_t Decrement(std::string_view group, std::string_view name, uint64_t n = 1);
    uint64_t Tally(std::string_view group, std::string_view name, uint64_t n = 1);
    /* StatGroup::Limit of the named group. */
    void Limit(std::string_view group, int limit, int prune);

    /* The named group, or NULL. */
    StatGroup *Group(std::string_view group);
    /* The counter's value in *value; false when group or counter is
     * missing. */
    bool Value(std::string_view group, std::string_view name, uint64_t *value);
    /* The group's total, 0 for a missing group. */
    uint64_t Total(std::string_view group);

    /* Appends every group as rows of the interface page's one-column table;
     * counter names are HTML-escaped. */
    void Display(Filebuf *page);

    /* Seals every group (StatGroup::Seal) and fills fed; called once a
     * tree is built, before it is shared. */
    void Seal();

    std::list<StatGroup> groups;
    /* The feeders' groups by STATFED_ number, NULL where the tree has none
     * or is not sealed yet. */
    StatGroup *fed[STATFED_COUNT] = {};
};

/* The numbers of /proc/self/statm, in bytes once loaded. */
struct statm_t {
    unsigned long size;
    unsigned long resident;
    unsigned long share;
    unsigned long text;
    unsigned long lib;
    unsigned long data;
    unsigned long dt;
};

/* Reads the first line of /proc/self/statm into *statm, in bytes. false,
 * with *statm unchanged, when the file cannot be read or the line does
 * not hold seven numbers. */
[[nodiscard]] bool statm_load(statm_t *statm);

/* Callbacks of the "system" group: memory in bytes (0 when statm_load
 * fails), CPU times as "HH:MM:SS.hh" texts and page faults from the
 * resource-usage totals of GLOBAL_T, read under its rusage_lock. */
uint64_t stat_size();
uint64_t stat_resident();
uint64_t stat_share();
char *stat_usertime();
char *stat_systime();
uint64_t stat_minflt();
uint64_t stat_majflt();

/* Tree builders. */

/* Constructs GLOBAL_T::stats in place (GLOBAL_T is zero-filled memory)
 * with every group and counter of the global tree. Called once by config
 * before any request is served; later calls change nothing. Until it has
 * run, every global feeder does nothing. */
void globalstats_init();

/* The global tree, or NULL before globalstats_init. */
Stats *globalstats();

/* A new tree (one reference, the caller's) with the groups of an access
 * rule's tree. */
Stats *userstats_init();

/* Drops one reference to stats and deletes it with the last; NULL is
 * allowed. */
void stats_release(Stats *stats);

/* Feeders of the request road: each counts into the global tree and, when
 * the connection has its access rule's tree (userstats), into that tree
 * too. conn may be NULL (global tree only). */
void statincr_httprequests(CONNECTION_T *conn);
void statincr_ftprequests(CONNECTION_T *conn);
void statincr_connectrequests(CONNECTION_T *conn);
void statincr_cachehit(CONNECTION_T *conn);
void statincr_cachemiss(CONNECTION_T *conn);
void statdecr_cachehit(CONNECTION_T *conn);
void statincr_cacherefreshhit(CONNECTION_T *conn);
void statincr_cacherefreshmiss(CONNECTION_T *conn);
/* "hosts" / the request's host; nothing without a request host. */
void statincr_hosts(CONNECTION_T *conn);
/* "mimes" / the response's content type up to ";" (trailing blanks cut);
 * nothing without a response content type. */
void statincr_mimes(CONNECTION_T *conn);
/* "ip addresses" / the client address, global tree only. */
void statincr_ipaddresses(CONNECTION_T *conn);

/* Feeders of the global tree only. */

/* "users" / the connection's user ("name@address"); nothing without one. */
void statincr_users(CONNECTION_T *conn);
/* "DNS cache" / "hit" or "miss": a resolver lookup answered from the cache
 * or not. */
void statincr_dnscache(bool hit);
/* "network" / "successful connections" or "failed connections". */
void statincr_connect(bool succeeded);
/* "network" / "DNS failures" (the caller counts the failed connection
 * too). */
void statincr_dnsfailure();
/* "network" / "bytes in" and "bytes out" by a closed socket's totals;
 * zero and negative totals are not counted. */
void statadd_networkbytes(int64_t bytes_in, int64_t bytes_out);
/* "connection pool" / "hit" or "miss": a server-pool lookup. */
void statincr_connectionpool(bool hit);
