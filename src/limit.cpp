/*
 * Limits. Each rule restricts the requests of some profiles inside a time
 * window: refusal, a request count, download and upload caps and a bandwidth
 * limit, with counters shared by the rule's requests.
 *
 * Three entry points: the check of each request (allowances, refusals, the
 * bandwidth group of the client socket, and the request itself booked
 * against every request count as it is admitted, so that parallel requests
 * cannot pass a cap together), the booking of each finished request's
 * bytes (a request refused before it reached a server gives its booked
 * requests back), and the timer that clears a rule's counters once its
 * window has closed. Counters and allowances are 64-bit and saturate, so a cap of
 * several GiB holds and a spent allowance never reopens by wrapping.
 *
 * The allowances and the rate belong to one request: the check sets them
 * anew, and after booking the worker clears what the request left
 * (limits_request_clear), so no later refusal or test sees them.
 */
#include "limit.h"

#include <cinttypes>
#include <cstring>
#include <iterator>
#include <string>

#include "atom.h"
#include "connection.h"
#include "header.h"
#include "log.h"
#include "profiles.h"
#include "socket.h"
#include "templates.h"

/* The options, by position. */
static const FieldDecl limit_global_fields[] = {
    {  0, "enabled", FIELD_BOOL },
};

/* The fields of an entry of the list limit, by position. */
static const FieldDecl limit_limit_fields[] = {
    {  0, "enabled",       FIELD_BOOL },
    {  1, "comment",       FIELD_STRING },
    {  2, "profiles",      FIELD_STRING_LIST },
    {  3, "deny",          FIELD_BOOL },
    {  4, "template",      FIELD_STRING },
    {  5, "month",         FIELD_STRING_RANGE },
    {  6, "day",           FIELD_INT_RANGE },
    {  7, "weekday",       FIELD_STRING_RANGE },
    {  8, "hour",          FIELD_INT_RANGE },
    {  9, "minute",        FIELD_INT_RANGE },
    { 10, "downloadlimit", FIELD_LONG_FILE_SIZE },
    { 11, "uploadlimit",   FIELD_LONG_FILE_SIZE },
    { 12, "maxrequests",   FIELD_UINT },
    { 13, "rate",          FIELD_LONG_FILE_SIZE },
    { 14, "recurring",     FIELD_BOOL },
    { 15, "flags",         FIELD_STRING_SELECT_MANY },
};

/* Position of the first of the five window fields. */
static const int LIMIT_WINDOW_FIELD = 5;

LimitSection *limit_section = nullptr;

uint64_t limit_add(uint64_t counter, uint64_t n)
{
    return n > UINT64_MAX - counter ? UINT64_MAX : counter + n;
}

uint64_t limit_remainder(uint64_t cap, uint64_t used)
{
    return used >= cap ? 0 : cap - used;
}

Limit::Limit(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    deny = f[3].value;
    template_name = f[4].text;
    windowed = window_bounds(f, LIMIT_WINDOW_FIELD, &from, &to);
    downloadlimit = f[10].llvalue;
    uploadlimit = f[11].llvalue;
    maxrequests = f[12].uvalue;
    rate = f[13].llvalue;
    recurring = f[14].value;
    flags = (unsigned)f[15].value;
    if (flags & LIMIT_SHARED_RATE)
        group = new LimitGroup(rate);
}

Limit::Limit(const Limit &other)
    : enabled(other.enabled), comment(other.comment), profiles(other.profiles),
      deny(other.deny), template_name(other.template_name), downloadlimit(other.downloadlimit),
      uploadlimit(other.uploadlimit), maxrequests(other.maxrequests), rate(other.rate),
      recurring(other.recurring), flags(other.flags), from(other.from), to(other.to),
      windowed(other.windowed), downloaded(other.downloaded.load()),
      uploaded(other.uploaded.load()), requests(other.requests.load()), group(other.group)
{
    if (group)
        group->New();
}

Limit::~Limit()
{
    limitgroup_release(group);
}

bool Limit::inside(const struct tm *now) const
{
    if (!windowed)
        return true;
    return (recurring ? in_alltimerange(now, &from, &to) : in_absolutetimerange(now, &from, &to)) == 1;
}

bool Limit::matches(const StringList &request_profiles, const struct tm *now) const
{
    return enabled && profile_find(request_profiles, profiles) == 1 && inside(now);
}

LimitSection::LimitSection() : Section("limits", SECTION_RWLOCK)
{
    fields_require(limit_global_fields);
    list_require(0, "limit", limit_limit_fields, std::size(limit_limit_fields));
    /* The global vector never changes size, so this stays valid. */
    enabled = &fields[0].value;
}

void LimitSection::update()
{
    generation++;
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items)
        rules.emplace_back(item);
}

/* The local time now, from the thread's copy of the current second. */
static struct tm limit_now()
{
    return log_local_time(time(nullptr));
}

/* An allowance as the limit lines print it. */
static std::string limit_allowance_text(int64_t allowance)
{
    if (allowance == ALLOWANCE_UNLIMITED)
        return LIMIT_UNLIMITED_TEXT;
    return std::to_string((unsigned long long)allowance);
}

/* Lowers *left to remainder when that is smaller; true when it did. */
static bool limit_lower(int64_t *left, uint64_t remainder)
{
    if (remainder > (uint64_t)INT64_MAX)
        remainder = (uint64_t)INT64_MAX;
    if (*left != ALLOWANCE_UNLIMITED && (uint64_t)*left <= remainder)
        return false;
    *left = (int64_t)remainder;
    return true;
}

int LimitSection::check_and_block(CONNECTION_T *conn)
{
    struct tm now = limit_now();
    return check_and_block_at(conn, &now);
}

/* Takes one request of rule's cap: false, taking none, when the cap is
 * reached. Parallel takers never pass the cap together. */
static bool limit_take_request(Limit &rule)
{
    uint64_t seen = rule.requests.load(std::memory_order_relaxed);
    do {
        if (seen >= rule.maxrequests)
            return false;
    } while (!rule.requests.compare_exchange_weak(seen, seen + 1, std::memory_order_relaxed));
    return true;
}

/* Gives one request back, never below 0 (the timer may have cleared the
 * counter meanwhile). */
static void limit_give_request(Limit &rule)
{
    uint64_t seen = rule.requests.load(std::memory_order_relaxed);
    while (seen > 0 && !rule.requests.compare_exchange_weak(seen, seen - 1, std::memory_order_relaxed)) {
    }
}

void LimitSection::release(CONNECTION_T *conn)
{
    if (conn->limit_generation == generation)
        for (uint32_t index : conn->limit_booked)
            if (index < rules.size())
                limit_give_request(rules[index]);
    conn->limit_booked.clear();
}

int LimitSection::check_and_block_at(CONNECTION_T *conn, const struct tm *now)
{
    conn->limit_booked.clear();
    conn->limit_served = false;
    conn->download_bytes = 0;
    conn->download_left = ALLOWANCE_UNLIMITED;
    conn->upload_left = ALLOWANCE_UNLIMITED;

    /* What to answer, decided under the lock and sent after it. */
    std::string page;
    int status = 0;
    bool rate_chosen = false;
    {
        SectionReadGuard guard(*this);
        if ((conn->bypass & BYPASS_LIMITS) || !*enabled) {
            if (conn->client)
                conn->client->SetRate(nullptr, nullptr);
            return 0;
        }

        bool matched = false;
        uint64_t rate = 0;
        LimitGroup *chosen = nullptr;   /* a rule's shared group, or NULL for a new one */
        conn->limit_generation = generation;
        for (Limit &rule : rules) {
            if (!rule.matches(conn->profiles, now))
                continue;
            if (rule.deny) {
                putlog(LOG_LIMITS, "blocked: time limit restrictions");
                conn->variables["FILTER"] = "User Limits";
                conn->variables["LIMIT_TYPE"] = "Time Limits";
                page = rule.template_name.empty() ? "blocked" : rule.template_name;
                status = 404;
                conn->logentry.filter_name = "limit-section";
                conn->logentry.filtering_reason = "time limit restrictions";
                break;
            }
            bool full = false;
            if (rule.maxrequests != 0 && (rule.flags & LIMIT_EXCLUDE))
                full = rule.requests >= rule.maxrequests;
            else if (rule.maxrequests != 0 && !limit_take_request(rule))
                full = true;
            else if (rule.maxrequests != 0)
                conn->limit_booked.push_back((uint32_t)(&rule - rules.data()));
            if (full) {
                conn->variables["FILTER"] = "User Limits";
                conn->variables["LIMIT_TYPE"] = "Max Requests";
                page = rule.template_name.empty() ? "maxrequests" : rule.template_name;
                status = 404;
                conn->logentry.filter_name = "limit-section";
                conn->logentry.filtering_reason = "max-requests restrictions";
                break;
            }
            if (rule.downloadlimit != 0 &&
                limit_lower(&conn->download_left, limit_remainder(rule.downloadlimit, rule.downloaded)))
                conn->variables["DOWNLOADLIMIT"] = std::to_string((unsigned long long)rule.downloadlimit);
            if (rule.uploadlimit != 0 &&
                limit_lower(&conn->upload_left, limit_remainder(rule.uploadlimit, rule.uploaded)))
                conn->variables["UPLOADLIMIT"] = std::to_string((unsigned long long)rule.uploadlimit);
            if (rule.flags & LIMIT_CACHED)
                conn->flags |= CONN_LIMIT_HITS;
            /* A rule without a rate limits no bandwidth, so it never lifts
             * the rate another rule chose; of two rates the lower wins. */
            if (rule.rate >= LIMIT_RATE_MIN && (!rate_chosen || rule.rate < rate)) {
                rate_chosen = true;
                rate = rule.rate;
                chosen = (rule.flags & LIMIT_SHARED_RATE) ? rule.group : nullptr;
            }
            matched = true;
        }

        /* The rate belongs to this request: without one, a group an
         * earlier request left on the socket goes. */
        if (conn->client) {
            if (status != 0 || !rate_chosen) {
                conn->client->SetRate(nullptr, nullptr);
            } else if (chosen) {
                conn->client->SetRate(nullptr, chosen);
            } else {
                /* A group of this request alone: the socket holds it. */
                LimitGroup *own = new LimitGroup(rate);
                conn->client->SetRate(nullptr, own);
                limitgroup_release(own);
            }
        }
        if (status == 0) {
            if (matched) {
                putlog(LOG_LIMITS, "transfer download limit: %s",
                       limit_allowance_text(conn->download_left).c_str());
                putlog(LOG_LIMITS, "transfer upload limit: %s",
                       limit_allowance_text(conn->upload_left).c_str());
                if (rate_chosen)
                    putlog(LOG_LIMITS, "transfer download rate: %" PRIu64, rate);
            }
            /* The body (a chunked one was read whole and carries its size
             * by now) against the allowance just computed. */
            const HEADER *h = conn->header;
            if (h && (h->flags & HEADER_HAS_LENGTH) && conn->upload_left != ALLOWANCE_UNLIMITED &&
                h->content_length > conn->upload_left) {
                page = "uploadlimit";
                status = 200;
            }
        }
        /* A refused request holds no request of any rule. */
        if (status != 0)
            release(conn);
    }
    if (status == 0)
        return 0;
    conn->logentry.set_cachecode(CC_TCP_DENIED);

    /* A body still unread on the socket would be taken for the next
     * request: the answer closes the connection. */
    if (conn->flags & CONN_DIRECT_POST)
        conn->keepalive_client = 0;
    if (template_section)
        (void)template_section->send_or_close(page.c_str(), conn, status);
    else
        conn->keepalive_client = 0;
    return 1;
}

void LimitSection::update(CONNECTION_T *conn)
{
    struct tm now = limit_now();
    update_at(conn, &now);
}

/* Adds n to a counter that other requests add to at the same time,
 * stopping at the largest value. */
static void limit_book(std::atomic<uint64_t> *counter, uint64_t n)
{
    if (n == 0)
        return;
    uint64_t seen = counter->load(std::memory_order_relaxed);
    while (!counter->compare_exchange_weak(seen, limit_add(seen, n), std::memory_order_relaxed)) {
    }
}

/* Every worker books each request it finishes: under the read lock, with
 * atomic counters, so the workers never queue for the section, and the
 * rules cannot be rebuilt or reset meanwhile. */
void LimitSection::update_at(CONNECTION_T *conn, const struct tm *now)
{
    SectionReadGuard guard(*this);
    if (!conn->limit_served)
        release(conn);
    conn->limit_booked.clear();
    if ((conn->bypass & BYPASS_LIMITS) || !*enabled)
        return;
    /* A copy served from the cache is booked only by rules that say so. */
    bool fetched = !conn->cache || (conn->flags & CONN_WRITING_CACHE);
    uint64_t down = conn->download_bytes > 0 ? (uint64_t)conn->download_bytes : 0;
    uint64_t up = conn->upload_bytes > 0 ? (uint64_t)conn->upload_bytes : 0;
    for (Limit &rule : rules) {
        if ((rule.flags & LIMIT_EXCLUDE) || !rule.matches(conn->profiles, now))
            continue;
        if (rule.downloadlimit != 0 && (fetched || (rule.flags & LIMIT_CACHED)))
            limit_book(&rule.downloaded, down);
        if (rule.uploadlimit != 0)
            limit_book(&rule.uploaded, up);
    }
}

void LimitSection::reset()
{
    struct tm now = limit_now();
    reset_at(&now);
}

/* Whether the timer clears rule's counters at now. */
static bool limit_reset_due(const Limit &rule, const struct tm *now)
{
    if (!rule.enabled || (rule.downloaded == 0 && rule.uploaded == 0 && rule.requests == 0))
        return false;
    return !rule.inside(now);
}

/* Mostly there is nothing to clear: that is found under the read lock, and
 * only a clearing waits for the requests in progress. The rules are looked
 * at again under the write lock, as a load may have come in between. */
void LimitSection::reset_at(const struct tm *now)
{
    {
        SectionReadGuard guard(*this);
        if (!*enabled)
            return;
        bool due = false;
        for (const Limit &rule : rules)
            due = due || limit_reset_due(rule, now);
        if (!due)
            return;
    }
    SectionWriteGuard guard(*this);
    if (!*enabled)
        return;
    for (Limit &rule : rules) {
        if (limit_reset_due(rule, now))
            rule.downloaded = rule.uploaded = rule.requests = 0;
    }
}

bool LimitSection::counters_get(size_t index, LimitCounters *out)
{
    SectionReadGuard guard(*this);
    if (index >= rules.size())
        return false;
    const Limit &rule = rules[index];
    *out = LimitCounters{ rule.downloaded.load(), rule.uploaded.load(), rule.requests.load() };
    return true;
}

void limits_reset(void *)
{
    if (limit_section)
        limit_section->reset();
}

void limits_request_clear(CONNECTION_T *conn)
{
    conn->download_bytes = 0;
    conn->upload_bytes = 0;
    conn->download_left = ALLOWANCE_UNLIMITED;
    conn->upload_left = ALLOWANCE_UNLIMITED;
    conn->limit_booked.clear();
    conn->limit_served = false;
}
