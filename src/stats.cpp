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
 * without bound. Each group has its own mutex and no operation holds two.
 * The groups whose counters are fixed (requests, cache, network, ...) are
 * sealed once built and count with atomics alone, so the request path's
 * increments take no lock at all. Every value is 64 bits.
 */
#include "stats.h"

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
static std::string stats_name(const char *text, size_t length);
static void stats_feed(CONNECTION_T *conn, const char *group, const char *name, bool decrement);

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
    : flags(flags_), name(std::move(name_)), updated{0, 0}, number_callback(nullptr),
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
}

StatGroup &StatGroup::Limit(int limit_, int prune_)
{
    MutexGuard guard(&mutex);
    limit = (unsigned)limit_;
    prune = prune_;
    return *this;
}

StatCounter *StatGroup::find(const std::string &counter)
{
    for (StatCounter &c : counters)
        if (c.name == counter)
            return &c;
    return nullptr;
}

bool StatGroup::add_locked(const std::string &counter, int flags, stat_number_fn number,
                           stat_text_fn text)
{
    if (sealed.load() || find(counter))
        return false;
    Prune();
    counters.emplace_back(counter, flags);
    counters.back().number_callback = number;
    counters.back().text_callback = text;
    return true;
}

bool StatGroup::Add(const std::string &counter, int flags)
{
    MutexGuard guard(&mutex);
    return add_locked(counter, flags, nullptr, nullptr);
}

bool StatGroup::Add(const std::string &counter, stat_number_fn callback, int flags)
{
    if (!(flags & (STAT_COUNT | STAT_BYTES)))
        return false;
    MutexGuard guard(&mutex);
    return add_locked(counter, flags | STAT_CALLBACK, callback, nullptr);
}

bool StatGroup::Add(const std::string &counter, stat_text_fn callback, int flags)
{
    if (!(flags & STAT_STRING))
        return false;
    MutexGuard guard(&mutex);
    return add_locked(counter, flags | STAT_CALLBACK, nullptr, callback);
}

void StatGroup::Seal()
{
    MutexGuard guard(&mutex);
    if (limit == 0)
        sealed.store(true);
}

uint64_t StatGroup::Increment(const std::string &counter, uint64_t n)
{
    if (sealed.load(std::memory_order_acquire)) {
        StatCounter *c = find(counter);
        if (!c)
            return 0;
        total.fetch_add(n, std::memory_order_relaxed);
        return c->value.fetch_add(n, std::memory_order_relaxed) + n;
    }
    MutexGuard guard(&mutex);
    StatCounter *c = find(counter);
    if (!c)
        return 0;
    total += n;
    c->value += n;
    if (limit)
        gettimeofday(&c->updated, nullptr);
    return c->value;
}

uint64_t StatGroup::Decrement(const std::string &counter, uint64_t n)
{
    if (sealed.load(std::memory_order_acquire)) {
        StatCounter *c = find(counter);
        if (!c)
            return 0;
        total.fetch_sub(n, std::memory_order_relaxed);
        return c->value.fetch_sub(n, std::memory_order_relaxed) - n;
    }
    MutexGuard guard(&mutex);
    StatCounter *c = find(counter);
    if (!c)
        return 0;
    total -= n;
    c->value -= n;
    if (limit)
        gettimeofday(&c->updated, nullptr);
    return c->value;
}

uint64_t StatGroup::Tally(const std::string &counter, uint64_t n)
{
    if (sealed.load(std::memory_order_acquire))
        return Increment(counter, n);   /* a fixed group takes no new names */
    MutexGuard guard(&mutex);
    StatCounter *c = find(counter);
    if (!c) {
        add_locked(counter, STAT_COUNT, nullptr, nullptr);
        c = &counters.back();
    }
    total += n;
    c->value += n;
    if (limit)
        gettimeofday(&c->updated, nullptr);
    return c->value;
}

void StatGroup::Prune()
{
    if (limit == 0 || counters.empty() || counters.size() < (size_t)limit - 1)
        return;
    auto chosen = counters.begin();
    for (auto it = std::next(counters.begin()); it != counters.end(); ++it) {
        bool better = prune == STATPRUNE_SMALLEST ? it->value < chosen->value
                                                  : timeval_cmp(&it->updated, &chosen->updated) < 0;
        if (better)
            chosen = it;
    }
    counters.erase(chosen);
}

bool StatGroup::Value(const std::string &counter, uint64_t *value)
{
    MutexGuard guard(&mutex);
    const StatCounter *c = find(counter);
    if (!c)
        return false;
    *value = c->value.load();
    return true;
}

size_t StatGroup::Size()
{
    MutexGuard guard(&mutex);
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
    MutexGuard guard(&mutex);
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

StatGroup *Stats::Group(const std::string &group)
{
    for (StatGroup &g : groups)
        if (g.name == group)
            return &g;
    return nullptr;
}

void Stats::AddGroup(const std::string &group, int type)
{
    if (!Group(group))
        groups.emplace_back(group, type);
}

bool Stats::AddCounter(const std::string &group, const std::string &name, int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, flags);
}

bool Stats::AddCounter(const std::string &group, const std::string &name, stat_number_fn callback,
                       int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, callback, flags);
}

bool Stats::AddCounter(const std::string &group, const std::string &name, stat_text_fn callback,
                       int flags)
{
    StatGroup *g = Group(group);
    return g && g->Add(name, callback, flags);
}

uint64_t Stats::Increment(const std::string &group, const std::string &name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Increment(name, n) : 0;
}

uint64_t Stats::Decrement(const std::string &group, const std::string &name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Decrement(name, n) : 0;
}

uint64_t Stats::Tally(const std::string &group, const std::string &name, uint64_t n)
{
    StatGroup *g = Group(group);
    return g ? g->Tally(name, n) : 0;
}

void Stats::Limit(const std::string &group, int limit, int prune)
{
    if (StatGroup *g = Group(group))
        g->Limit(limit, prune);
}

bool Stats::Value(const std::string &group, const std::string &name, uint64_t *value)
{
    StatGroup *g = Group(group);
    return g && g->Value(name, value);
}

uint64_t Stats::Total(const std::string &group)
{
    StatGroup *g = Group(group);
    return g ? g->total.load() : 0;
}

void Stats::Seal()
{
    for (StatGroup &g : groups)
        g.Seal();
}

void Stats::Display(Filebuf *page)
{
    /* Read before any group lock: the general section's lock is never taken
     * while a group mutex is held. */
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

/* A counter name from request data: at most STAT_NAME_MAX bytes. */
static std::string stats_name(const char *text, size_t length)
{
    return std::string(text, length > STAT_NAME_MAX ? STAT_NAME_MAX : length);
}

/* Counts group/name (an existing counter) in the global tree and the
 * connection's rule tree. */
static void stats_feed(CONNECTION_T *conn, const char *group, const char *name, bool decrement)
{
    for (Stats *s : { globalstats(), conn ? conn->userstats : nullptr }) {
        if (!s)
            continue;
        if (decrement)
            s->Decrement(group, name);
        else
            s->Increment(group, name);
    }
}

void statincr_httprequests(CONNECTION_T *conn)
{
    stats_feed(conn, "requests", "HTTP requests", false);
}

void statincr_ftprequests(CONNECTION_T *conn)
{
    stats_feed(conn, "requests", "FTP requests", false);
}

void statincr_connectrequests(CONNECTION_T *conn)
{
    stats_feed(conn, "requests", "CONNECT requests", false);
}

void statincr_cachehit(CONNECTION_T *conn)
{
    stats_feed(conn, "cache", "hit", false);
}

void statincr_cachemiss(CONNECTION_T *conn)
{
    stats_feed(conn, "cache", "miss", false);
}

void statdecr_cachehit(CONNECTION_T *conn)
{
    stats_feed(conn, "cache", "hit", true);
}

void statincr_cacherefreshhit(CONNECTION_T *conn)
{
    stats_feed(conn, "cache refresh", "hit", false);
}

void statincr_cacherefreshmiss(CONNECTION_T *conn)
{
    stats_feed(conn, "cache refresh", "miss", false);
}

void statincr_hosts(CONNECTION_T *conn)
{
    if (!conn || !conn->header || !conn->header->host || !*conn->header->host)
        return;
    std::string host = stats_name(conn->header->host, strlen(conn->header->host));
    for (Stats *s : { globalstats(), conn->userstats })
        if (s)
            s->Tally("hosts", host);
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
    std::string mime = stats_name(type, length);
    for (Stats *s : { globalstats(), conn->userstats })
        if (s)
            s->Tally("mimes", mime);
}

void statincr_ipaddresses(CONNECTION_T *conn)
{
    Stats *s = globalstats();
    if (s && conn && conn->ip && *conn->ip)
        s->Tally("ip addresses", stats_name(conn->ip, strlen(conn->ip)));
}

void statincr_users(CONNECTION_T *conn)
{
    Stats *s = globalstats();
    if (s && conn && conn->user && *conn->user)
        s->Tally("users", stats_name(conn->user, strlen(conn->user)));
}

void statincr_dnscache(bool hit)
{
    if (Stats *s = globalstats())
        s->Increment("DNS cache", hit ? "hit" : "miss");
}

void statincr_connect(bool succeeded)
{
    if (Stats *s = globalstats())
        s->Increment("network", succeeded ? "successful connections" : "failed connections");
}

void statincr_dnsfailure()
{
    if (Stats *s = globalstats())
        s->Increment("network", "DNS failures");
}

void statadd_networkbytes(int64_t bytes_in, int64_t bytes_out)
{
    Stats *s = globalstats();
    if (!s)
        return;
    if (bytes_in > 0)
        s->Increment("network", "bytes in", (uint64_t)bytes_in);
    if (bytes_out > 0)
        s->Increment("network", "bytes out", (uint64_t)bytes_out);
}

void statincr_connectionpool(bool hit)
{
    if (Stats *s = globalstats())
        s->Increment("connection pool", hit ? "hit" : "miss");
}
