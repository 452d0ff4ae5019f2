/*
 * The statistics tree: named counters in named groups, kept in memory for
 * the web interface. The proxy engine and the access rules count requests,
 * cache results, hosts, content types, users and addresses as they go; the
 * pages only read. One global tree lives in GLOBAL_T; each access rule has
 * its own, shared with the connections it matched through a reference
 * count, so that a reload can start the rules afresh while connections
 * still finish counting into the tree they began with.
 *
 * Groups keyed by request data (hosts, types, users, addresses) are
 * limited: when a new name arrives at the limit, the counter changed
 * longest ago makes room, so no stream of distinct names grows memory
 * without bound. Each group has its own read-write lock and no operation
 * holds two. Many request threads count the same host or type at once, so
 * counting a name already held takes the lock only shared, finds the
 * counter through a hash index and counts with atomics; only a new name
 * takes the lock exclusively, to prune and add. The groups whose counters
 * are fixed (requests, cache, network, ...) are sealed once built and
 * count with atomics alone, without the lock. The feeders find their
 * groups through pointers taken when a tree is sealed, and cut request
 * data to a counter name without copying it. Every value is 64 bits.
 */
#include "stats.h"

#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "connection.h"
#include "filebuf.h"
#include "general.h"
#include "header.h"
#include "locks.h"
#include "mem.h"
#include "misc.h"
#include "options.h"

const int STAT_LIMIT = 100;

static char *stats_text(const char *text);
static bool stats_page_add(Filebuf *page, const char *text);
static std::string_view stats_name(const char *text, size_t length);
static StatGroup *stats_global_group(int group);
static void stats_feed(CONNECTION_T *conn, int group, std::string_view name, bool decrement);
static void stats_tally(CONNECTION_T *conn, int group, std::string_view name, bool global_only);

/* A copy of text; a failed allocation is fatal. */
static char *stats_text(const char *text)
{
    char *copy = xstrdup(text);
    if (!copy)
        FATAL_ALLOC(strlen(text) + 1);
    return copy;
}

/* ---- StatCounter ---- */

StatCounter::StatCounter(std::string name_, int flags_)
    : flags(flags_), name(std::move(name_)), updated_us(0), number_callback(nullptr),
      text_callback(nullptr), value(0)
{
}

char *StatCounter::Get() const
{
    uint64_t v = value.load(std::memory_order_relaxed);
    if (flags & STAT_CALLBACK) {
        if (flags & STAT_STRING) {
            char *text = text_callback ? text_callback() : nullptr;
            return text ? text : stats_text("");
        }
        v = number_callback ? number_callback() : 0;
    }
    switch (flags & ~STAT_CALLBACK) {
    case STAT_BYTES: {
        char *text = filesize(v > (uint64_t)INT64_MAX ? INT64_MAX : (int64_t)v);
        return text ? text : stats_text("");
    }
    case STAT_STRING:
        return stats_text("");   /* a stored string counter has no text */
    default: {
        char text[32];
        snprintf(text, sizeof text, "%" PRIu64, v);
        return stats_text(text);
    }
    }
}

/* ---- StatGroup ---- */

StatGroup::StatGroup(std::string name_, int type_)
    : type(type_), total(0), name(std::move(name_)), limit(0), prune(STATPRUNE_OLDEST)
{
    /* A prune waits for the counting threads of the moment only, not for
     * a stream of later ones. */
    pthread_rwlockattr_t attr;
    pthread_rwlockattr_init(&attr);
    pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
    pthread_rwlock_init(&lock, &attr);
    pthread_rwlockattr_destroy(&attr);
}

StatGroup::~StatGroup()
{
    pthread_rwlock_destroy(&lock);
}

StatGroup &StatGroup::Limit(int limit_, int prune_)
{
    WriteGuard guard(&lock);
    limit = (unsigned)limit_;
    prune = prune_;
    if (limit > 0)
        index.reserve(limit);   /* a limited group never rehashes */
    return *this;
}

/* The counter of that name, or NULL. Called with the lock held, or
 * without it in a sealed group. */
StatCounter *StatGroup::find(std::string_view counter) const
{
    auto it = index.find(counter);
    return it == index.end() ? nullptr : it->second;
}

/* Prunes and appends a counter; NULL, with nothing changed, when the group
 * is sealed or has the name. Called with the lock held exclusively. */
StatCounter *StatGroup::add_locked(std::string_view counter, int flags, stat_number_fn number,
                                   stat_text_fn text)
{
    if (sealed.load() || find(counter))
        return nullptr;
    Prune();
    StatCounter &c = counters.emplace_back(std::string(counter), flags);
    c.number_callback = number;
    c.text_callback = text;
    index.emplace(std::string_view(c.name), &c);
    return &c;
}

bool StatGroup::Add(std::string_view counter, int flags)
{
    WriteGuard guard(&lock);
    return add_locked(counter, flags, nullptr, nullptr) != nullptr;
}

bool StatGroup::Add(std::string_view counter, stat_number_fn callback, int flags)
{
    if (!(flags & (STAT_COUNT | STAT_BYTES)))
        return false;
    WriteGuard guard(&lock);
    return add_locked(counter, flags | STAT_CALLBACK, callback, nullptr) != nullptr;
}

bool StatGroup::Add(std::string_view counter, stat_text_fn callback, int flags)
{
    if (!(flags & STAT_STRING))
        return false;
    WriteGuard guard(&lock);
    return add_locked(counter, flags | STAT_CALLBACK, nullptr, callback) != nullptr;
}

void StatGroup::Seal()
{
    WriteGuard guard(&lock);
    if (limit == 0)
        sealed.store(true);
}

/* Adds delta (a decrement as its two's complement) to the counter and the
 * total, and stamps the counter when asked. Returns the counter's new
 * value. Called with the lock held, shared is enough, or without it in a
 * sealed group: the counter stays while the caller counts. */
uint64_t StatGroup::count(StatCounter *c, uint64_t delta, bool stamp)
{
    total.fetch_add(delta, std::memory_order_relaxed);
    uint64_t v = c->value.fetch_add(delta, std::memory_order_relaxed) + delta;
    if (stamp) {
        struct timeval now;
        gettimeofday(&now, nullptr);
        c->updated_us.store((int64_t)now.tv_sec * 1000000 + now.tv_usec, std::memory_order_relaxed);
    }
    return v;
}

/* Increment and Decrement: delta added to an existing counter. */
uint64_t StatGroup::adjust(std::string_view counter, uint64_t delta)
{
    if (sealed.load(std::memory_order_acquire)) {
        StatCounter *c = find(counter);
        return c ? count(c, delta, false) : 0;
    }
    ReadGuard guard(&lock);
    StatCounter *c = find(counter);
    return c ? count(c, delta, limit != 0) : 0;
}

uint64_t StatGroup::Increment(std::string_view counter, uint64_t n)
{
    return adjust(counter, n);
}

uint64_t StatGroup::Decrement(std::string_view counter, uint64_t n)
{
    return adjust(counter, 0 - n);
}

uint64_t StatGroup::Tally(std::string_view counter, uint64_t n)
{
    if (sealed.load(std::memory_order_acquire))
        return Increment(counter, n);   /* a fixed group takes no new names */
    {
        ReadGuard guard(&lock);
        if (StatCounter *c = find(counter))
            return count(c, n, limit != 0);
    }
    WriteGuard guard(&lock);
    StatCounter *c = find(counter);     /* perhaps added since the look above */
    if (!c)
        c = add_locked(counter, STAT_COUNT, nullptr, nullptr);
    return c ? count(c, n, limit != 0) : 0;
}

void StatGroup::Prune()
{
    if (limit == 0 || counters.empty() || counters.size() < (size_t)limit - 1)
        return;
    auto chosen = counters.begin();
    for (auto it = std::next(counters.begin()); it != counters.end(); ++it) {
        bool better = prune == STATPRUNE_SMALLEST ? it->value < chosen->value
                                                  : it->updated_us < chosen->updated_us;
        if (better)
            chosen = it;
    }
    index.erase(std::string_view(chosen->name));
    counters.erase(chosen);
}

bool StatGroup::Value(std::string_view counter, uint64_t *value)
{
    ReadGuard guard(&lock);
    const StatCounter *c = find(counter);
    if (!c)
        return false;
    *value = c->value.load();
    return true;
}

size_t StatGroup::Size()
{
    ReadGuard guard(&lock);
    return counters.size();
}

/* Appends text; false when the page is full (the rest is left out). A
 * failed allocation is fatal. */
static bool stats_page_add(Filebuf *page, const char *text)
{
    int rc = page->Add(text, (int64_t)strlen(text));
    if (rc == FILEBUF_NO_MEMORY)
        FATAL_ALLOC(strlen(text));
    return rc == FILEBUF_OK;
}

void StatGroup::Display(Filebuf *page, int line_length)
{
    ReadGuard guard(&lock);
    char line[512];
    snprintf(line, sizeof line,
             "<tr><td align=\"center\"><table class=\"smalldialog\">\n"
             "<tr><td class=\"listhead\" align=\"center\" colspan=\"2\">");
    if (!stats_page_add(page, line))
        return;
    std::unique_ptr<char, void (*)(void *)> title(string_to_html(name.c_str(), 0), free);
    if (!stats_page_add(page, title ? title.get() : "") || !stats_page_add(page, "</td></tr>\n"))
        return;

    int row = 0;
    for (const StatCounter &c : counters) {
        const char *row_class = row++ % 2 == 0 ? "listeven" : "listodd";
        std::unique_ptr<char, void (*)(void *)> counter_name(
            string_to_html(c.name.c_str(), HTML_NEWLINES, line_length), free);
        snprintf(line, sizeof line, "<tr class=\"%s\"><td width=\"40%%\">", row_class);
        if (!stats_page_add(page, line) || !stats_page_add(page, counter_name ? counter_name.get() : ""))
            return;
        if (type == STATGROUP_SHARE) {
            int share = 0;
            uint64_t value = c.value.load(std::memory_order_relaxed);
            uint64_t sum = total.load(std::memory_order_relaxed);
            if (sum != 0) {
                unsigned __int128 percent = (unsigned __int128)value * 100 / sum;
                share = percent > INT_MAX ? INT_MAX : (int)percent;
            }
            snprintf(line, sizeof line, "</td><td>%" PRIu64 " (%d%%)</td></tr>\n", value, share);
            if (!stats_page_add(page, line))
                return;
        } else {
            std::unique_ptr<char, void (*)(void *)> value(c.Get(), free);
            if (!stats_page_add(page, "</td><td>") || !stats_page_add(page, value.get()) ||
                !stats_page_add(page, "</td></tr>\n"))
                return;
        }
    }
    (void)stats_page_add(page, "</table></td></tr> <tr><td><br></td></tr>\n");
}

/* ---- Stats ---- */

StatGroup *Stats::Group(std::string_view group)
{
    for (StatGroup &g : groups)
        if (g.name == group)
            return &g;
    return nullptr;
}

void Stats::AddGroup(std::string_view group, int type)
{
    if (!Group(group))
        groups.emplace_back(std::string(group), type);
}

bool Stats::AddCounter(std::string_view group, std::string_view name, int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, flags);
}

bool Stats::AddCounter(std::string_view group, std::string_view name, stat_number_fn callback,
                       int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, callback, flags);
}

bool Stats::AddCounter(std::string_view group, std::string_view name, stat_text_fn callback,
                       int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, callback, flags);
}

uint64_t Stats::Increment(std::string_view group, std::string_view name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Increment(name, n) : 0;
}

uint64_t Stats::Decrement(std::string_view group, std::string_view name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Decrement(name, n) : 0;
}

uint64_t Stats::Tally(std::string_view group, std::string_view name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Tally(name, n) : 0;
}

void Stats::Limit(std::string_view group, int limit, int prune)
{
    if (StatGroup *g = Group(group))
        g->Limit(limit, prune);
}

bool Stats::Value(std::string_view group, std::string_view name, uint64_t *value)
{
    StatGroup *g = Group(group);
    return g && g->Value(name, value);
}

uint64_t Stats::Total(std::string_view group)
{
    StatGroup *g = Group(group);
    return g ? g->total.load() : 0;
}

/* The names of the feeders' groups, by STATFED_ number. */
static const char *const stats_fed_names[STATFED_COUNT] = {
    "requests", "cache", "cache refresh", "hosts", "mimes", "users", "ip addresses", "network",
    "DNS cache", "connection pool",
};

void Stats::Seal()
{
    for (StatGroup &g : groups)
        g.Seal();
    for (int i = 0; i < STATFED_COUNT; i++)
        fed[i] = Group(stats_fed_names[i]);
}

void Stats::Display(Filebuf *page)
{
    /* Read before any group lock: the general section's lock is never taken
     * while a group lock is held. */
    int line_length = general_section ? general_section->linelength_get() : 0;
    for (StatGroup &g : groups)
        g.Display(page, line_length);
}

/* ---- the "system" group ---- */

bool statm_load(statm_t *statm)
{
    FILE *f = fopen("/proc/self/statm", "r");
    if (!f)
        return false;
    char line[1024];
    bool ok = fgets(line, sizeof line, f) != nullptr;
    fclose(f);
    statm_t s;
    if (!ok || sscanf(line, "%lu %lu %lu %lu %lu %lu %lu", &s.size, &s.resident, &s.share, &s.text,
                      &s.lib, &s.data, &s.dt) != 7)
        return false;
    long page = sysconf(_SC_PAGESIZE);
    unsigned long bytes = page > 0 ? (unsigned long)page : 4096;
    for (unsigned long *v : { &s.size, &s.resident, &s.share, &s.text, &s.lib, &s.data, &s.dt })
        *v *= bytes;
    *statm = s;
    return true;
}

uint64_t stat_size()
{
    statm_t s;
    return statm_load(&s) ? s.size : 0;
}

uint64_t stat_resident()
{
    statm_t s;
    return statm_load(&s) ? s.resident : 0;
}

uint64_t stat_share()
{
    statm_t s;
    return statm_load(&s) ? s.share : 0;
}

/* A copy of the resource-usage totals, taken under their lock; zero
 * without the global record. */
static struct rusage stat_rusage()
{
    struct rusage usage;
    memset(&usage, 0, sizeof usage);
    if (!global)
        return usage;
    MutexGuard guard(&global->rusage_lock);
    return global->rusage;
}

char *stat_usertime()
{
    struct rusage usage = stat_rusage();
    return timeval_to_string(&usage.ru_utime);
}

char *stat_systime()
{
    struct rusage usage = stat_rusage();
    return timeval_to_string(&usage.ru_stime);
}

uint64_t stat_minflt()
{
    long v = stat_rusage().ru_minflt;
    return v > 0 ? (uint64_t)v : 0;
}

uint64_t stat_majflt()
{
    long v = stat_rusage().ru_majflt;
    return v > 0 ? (uint64_t)v : 0;
}

/* ---- the trees ---- */

/* Set once the global tree is constructed; read by every feeder. */
static std::atomic<bool> globalstats_ready{false};
static pthread_mutex_t globalstats_init_lock = PTHREAD_MUTEX_INITIALIZER;

void globalstats_init()
{
    ASSERT(global != nullptr);
    MutexGuard guard(&globalstats_init_lock);
    if (globalstats_ready.load())
        return;
    /* Like the global record, the tree is never destroyed. */
    Stats *s = new Stats();

    s->AddGroup("system", STATGROUP_LIST);
    s->AddCounter("system", "user time", stat_usertime, STAT_STRING);
    s->AddCounter("system", "system time", stat_systime, STAT_STRING);
    s->AddCounter("system", "memory resident", stat_resident, STAT_BYTES);
    s->AddCounter("system", "memory size", stat_size, STAT_BYTES);
    s->AddCounter("system", "memory shared", stat_share, STAT_BYTES);
    s->AddCounter("system", "minor pagefaults", stat_minflt, STAT_COUNT);
    s->AddCounter("system", "major pagefaults", stat_majflt, STAT_COUNT);

    s->AddGroup("requests", STATGROUP_LIST);
    s->AddCounter("requests", "HTTP requests", STAT_COUNT);
    s->AddCounter("requests", "FTP requests", STAT_COUNT);
    s->AddCounter("requests", "CONNECT requests", STAT_COUNT);

    s->AddGroup("network", STATGROUP_LIST);
    s->AddCounter("network", "successful connections", STAT_COUNT);
    s->AddCounter("network", "failed connections", STAT_COUNT);
    s->AddCounter("network", "DNS failures", STAT_COUNT);
    s->AddCounter("network", "bytes in", STAT_BYTES);
    s->AddCounter("network", "bytes out", STAT_BYTES);

    for (const char *group : { "DNS cache", "cache", "cache refresh", "connection pool" }) {
        s->AddGroup(group, STATGROUP_SHARE);
        s->AddCounter(group, "hit", STAT_COUNT);
        s->AddCounter(group, "miss", STAT_COUNT);
    }
    for (const char *group : { "hosts", "mimes", "users", "ip addresses" }) {
        s->AddGroup(group, STATGROUP_SHARE);
        s->Limit(group, STAT_LIMIT, STATPRUNE_OLDEST);
    }
    s->Seal();
    global->stats = s;
    globalstats_ready.store(true);
}

Stats *globalstats()
{
    return globalstats_ready.load() ? global->stats : nullptr;
}

Stats *userstats_init()
{
    Stats *s = new Stats();
    s->AddGroup("requests", STATGROUP_LIST);
    s->AddCounter("requests", "HTTP requests", STAT_COUNT);
    s->AddCounter("requests", "FTP requests", STAT_COUNT);
    s->AddCounter("requests", "CONNECT requests", STAT_COUNT);
    for (const char *group : { "cache", "cache refresh" }) {
        s->AddGroup(group, STATGROUP_SHARE);
        s->AddCounter(group, "hit", STAT_COUNT);
        s->AddCounter(group, "miss", STAT_COUNT);
    }
    for (const char *group : { "hosts", "mimes" }) {
        s->AddGroup(group, STATGROUP_SHARE);
        s->Limit(group, STAT_LIMIT, STATPRUNE_OLDEST);
    }
    s->Seal();
    return s;
}

void stats_release(Stats *stats)
{
    if (stats && stats->Delete())
        delete stats;
}

/* ---- feeders ---- */

/* A counter name from request data: at most STAT_NAME_MAX bytes of it,
 * viewed in place. */
static std::string_view stats_name(const char *text, size_t length)
{
    return std::string_view(text, length > STAT_NAME_MAX ? STAT_NAME_MAX : length);
}

/* The global tree's group of that STATFED_ number, or NULL. */
static StatGroup *stats_global_group(int group)
{
    Stats *s = globalstats();
    return s ? s->fed[group] : nullptr;
}

/* Counts name (an existing counter) of the group with that STATFED_
 * number in the global tree and the connection's rule tree. */
static void stats_feed(CONNECTION_T *conn, int group, std::string_view name, bool decrement)
{
    for (Stats *s : { globalstats(), conn ? conn->userstats : nullptr }) {
        StatGroup *g = s ? s->fed[group] : nullptr;
        if (!g)
            continue;
        if (decrement)
            g->Decrement(name);
        else
            g->Increment(name);
    }
}

/* Tallies name in the group with that STATFED_ number of the global tree
 * and, unless global_only, of the connection's rule tree. */
static void stats_tally(CONNECTION_T *conn, int group, std::string_view name, bool global_only)
{
    for (Stats *s : { globalstats(), global_only ? nullptr : conn->userstats }) {
        StatGroup *g = s ? s->fed[group] : nullptr;
        if (g)
            g->Tally(name);
    }
}

void statincr_httprequests(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_REQUESTS, "HTTP requests", false);
}

void statincr_ftprequests(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_REQUESTS, "FTP requests", false);
}

void statincr_connectrequests(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_REQUESTS, "CONNECT requests", false);
}

void statincr_cachehit(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_CACHE, "hit", false);
}

void statincr_cachemiss(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_CACHE, "miss", false);
}

void statdecr_cachehit(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_CACHE, "hit", true);
}

void statincr_cacherefreshhit(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_CACHE_REFRESH, "hit", false);
}

void statincr_cacherefreshmiss(CONNECTION_T *conn)
{
    stats_feed(conn, STATFED_CACHE_REFRESH, "miss", false);
}

void statincr_hosts(CONNECTION_T *conn)
{
    if (!conn || !conn->header || !conn->header->host || !*conn->header->host)
        return;
    const char *host = conn->header->host;
    stats_tally(conn, STATFED_HOSTS, stats_name(host, strlen(host)), false);
}

void statincr_mimes(CONNECTION_T *conn)
{
    if (!conn || !conn->rheader || !conn->rheader->content_type)
        return;
    const char *type = conn->rheader->content_type;
    size_t length = strcspn(type, ";");
    while (length > 0 && (type[length - 1] == ' ' || type[length - 1] == '\t'))
        length--;
    if (length == 0)
        return;
    stats_tally(conn, STATFED_MIMES, stats_name(type, length), false);
}

void statincr_ipaddresses(CONNECTION_T *conn)
{
    if (conn && conn->ip && *conn->ip)
        stats_tally(conn, STATFED_IPADDRESSES, stats_name(conn->ip, strlen(conn->ip)), true);
}

void statincr_users(CONNECTION_T *conn)
{
    if (conn && conn->user && *conn->user)
        stats_tally(conn, STATFED_USERS, stats_name(conn->user, strlen(conn->user)), true);
}

void statincr_dnscache(bool hit)
{
    if (StatGroup *g = stats_global_group(STATFED_DNSCACHE))
        g->Increment(hit ? "hit" : "miss");
}

void statincr_connect(bool succeeded)
{
    if (StatGroup *g = stats_global_group(STATFED_NETWORK))
        g->Increment(succeeded ? "successful connections" : "failed connections");
}

void statincr_dnsfailure()
{
    if (StatGroup *g = stats_global_group(STATFED_NETWORK))
        g->Increment("DNS failures");
}

void statadd_networkbytes(int64_t bytes_in, int64_t bytes_out)
{
    StatGroup *g = stats_global_group(STATFED_NETWORK);
    if (!g)
        return;
    if (bytes_in > 0)
        g->Increment("bytes in", (uint64_t)bytes_in);
    if (bytes_out > 0)
        g->Increment("bytes out", (uint64_t)bytes_out);
}

void statincr_connectionpool(bool hit)
{
    if (StatGroup *g = stats_global_group(STATFED_CONNECTIONPOOL))
        g->Increment(hit ? "hit" : "miss");
}
