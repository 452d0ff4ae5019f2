/*
 * What may be cached, how long an object stays fresh, when a hit must be
 * revalidated, and how the cache makes room. A request is cacheable when it
 * is a plain GET for everybody; a response when it is a 200 that is not
 * private, sets no cookie and varies at most by its coding, which the cache checks against
 * each client's Accept-Encoding instead. Freshness comes from Expires or
 * Cache-Control max-age, or from a share of the time since Last-Modified,
 * bounded by the ages of the matching refresh rule; dates are read as GMT.
 * Cleaning runs at most once per clean-interval and drops the objects nobody
 * holds in bands of access time, least recently used first, until memory
 * and each store are below their targets.
 */
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>

#include "cache.h"
#include "connection.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "profiles.h"

/* The largest delta-seconds value taken from Cache-Control; larger ones
 * count as this. */
#define CACHE_DELTA_MAX 2147483648LL

/* One directive of a Cache-Control value. */
struct CacheDirective {
    const char *name;
    size_t name_len;
    const char *value;   /* after "=", quotes removed; NULL without "=" */
    size_t value_len;
};

template <typename F>
static void cache_directives(const char *text, F visit);
static bool cache_directive_is(const CacheDirective &d, const char *name);
static bool cache_seconds(const CacheDirective &d, int64_t *seconds);
static unsigned cache_percent(uint64_t used, uint64_t limit);
static bool cache_digits(const char **p, int n, int *value);
static bool cache_word(const char **p, const char *word);
static bool cache_month(const char **p, int *month);
static bool cache_day_name(const char **p, bool long_form);
static bool cache_time_of_day(const char **p, struct tm *tm);
static time_t cache_expires_date(const HEADER *h);
static time_t cache_response_date(const HEADER *h);
static bool cache_list_has(const char *list, const char *token, bool *zero_quality);

/* Cacheability. */

int cacheable(const HEADER *header)
{
    if (!header)
        return 0;
    if (header->type == HEADER_RESPONSE) {
        if (header->status != 200)
            return 0;
        bool private_ = false;
        if (header->cache_control)
            cache_directives(header->cache_control, [&](const CacheDirective &d) {
                if (cache_directive_is(d, "private"))
                    private_ = true;
            });
        if (private_)
            return 0;
        /* The index holds one object per URL, so a response may vary only
         * by its coding, which lookups check per client. */
        for (const HTTP_HEADER &line : header->headers) {
            /* A transfer coding other than plain chunked is read to the
             * close and passed on as it came: nothing to keep. */
            if (strcasecmp(line.name.c_str(), "Transfer-Encoding") == 0) {
                std::string coding = line.value;
                coding.erase(0, coding.find_first_not_of(" \t"));
                coding.erase(coding.find_last_not_of(" \t") + 1);
                if (strcasecmp(coding.c_str(), "chunked") != 0)
                    return 0;
            }
            /* A cookie is set for the one client that asked: a shared copy
             * would hand it to every other. */
            if (strcasecmp(line.name.c_str(), "Set-Cookie") == 0 ||
                strcasecmp(line.name.c_str(), "Set-Cookie2") == 0)
                return 0;
            if (strcasecmp(line.name.c_str(), "Vary") != 0)
                continue;
            bool other = false;
            cache_directives(line.value.c_str(), [&](const CacheDirective &d) {
                if (!(d.name_len == 15 && strncasecmp(d.name, "accept-encoding", 15) == 0))
                    other = true;
            });
            if (other)
                return 0;
        }
        return 1;
    }
    if (header->type == HEADER_ABSOLUTE) {
        if (!header->method || strcasecmp(header->method, "GET") != 0)
            return 0;
        if (header->authorization || header->range)
            return 0;
        if (header->user && strcasecmp(header->user, "anonymous") != 0)
            return 0;
        return 1;
    }
    return 0;
}

int cacheable2(const HEADER *header)
{
    return cacheable(header);
}

int cache_encoding_accepted(const char *accept_encoding, const char *content_encoding)
{
    if (!content_encoding)
        return 1;
    bool ok = true;
    cache_directives(content_encoding, [&](const CacheDirective &d) {
        std::string coding(d.name, d.name_len);
        if (strcasecmp(coding.c_str(), "identity") == 0)
            return;
        if (!accept_encoding) {
            ok = false;
            return;
        }
        bool zero = false;
        const char *alias = strcasecmp(coding.c_str(), "gzip") == 0     ? "x-gzip"
                            : strcasecmp(coding.c_str(), "x-gzip") == 0 ? "gzip"
                                                                        : nullptr;
        if (cache_list_has(accept_encoding, coding.c_str(), &zero) ||
            (alias && cache_list_has(accept_encoding, alias, &zero))) {
            if (zero)
                ok = false;
            return;
        }
        if (!cache_list_has(accept_encoding, "*", &zero) || zero)
            ok = false;
    });
    return ok ? 1 : 0;
}

/* Days since 1970-01-01 of a date of the proleptic Gregorian calendar
 * (month 1 to 12; a day past the month's end runs into the next). Plain
 * arithmetic: timegm and gmtime take the C library's time zone lock, which
 * every hit would then wait for. */
static int64_t cache_days_from_civil(int64_t year, int month, int day)
{
    year -= month <= 2;
    int64_t era = (year >= 0 ? year : year - 399) / 400;
    int64_t yoe = year - era * 400;
    int64_t doy = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

/* The year (Gregorian, UTC) of a time in seconds since the epoch. */
static int64_t cache_year_of(time_t t)
{
    int64_t days = (int64_t)t / 86400 - ((int64_t)t % 86400 < 0);
    int64_t z = days + 719468;
    int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    int64_t doe = z - era * 146097;
    int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    int64_t mp = (5 * doy + 2) / 153;
    return yoe + era * 400 + (mp >= 10);
}

time_t cache_http_date(const char *text)
{
    if (!text)
        return -1;
    while (*text == ' ' || *text == '\t')
        text++;
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    const char *p = text;
    const char *q = text;
    bool ok;
    if (cache_day_name(&p, false) && *p == ',') {
        /* IMF-fixdate: "Sun, 06 Nov 1994 08:49:37 GMT" */
        p++;
        ok = cache_word(&p, " ") && cache_digits(&p, 2, &tm.tm_mday) && cache_word(&p, " ") &&
             cache_month(&p, &tm.tm_mon) && cache_word(&p, " ") &&
             cache_digits(&p, 4, &tm.tm_year) && cache_word(&p, " ") &&
             cache_time_of_day(&p, &tm) && cache_word(&p, " GMT");
        tm.tm_year -= 1900;
    } else if (cache_day_name(&q, true) && *q == ',') {
        /* RFC 850: "Sunday, 06-Nov-94 08:49:37 GMT" */
        p = q + 1;
        int year = 0;
        ok = cache_word(&p, " ") && cache_digits(&p, 2, &tm.tm_mday) && cache_word(&p, "-") &&
             cache_month(&p, &tm.tm_mon) && cache_word(&p, "-") && cache_digits(&p, 2, &year) &&
             cache_word(&p, " ") && cache_time_of_day(&p, &tm) && cache_word(&p, " GMT");
        /* Two-digit years: one more than 50 years ahead is the last past
         * year of those digits. */
        int full = (int)cache_year_of(time(nullptr));
        year += full - full % 100;
        if (year > full + 50)
            year -= 100;
        tm.tm_year = year - 1900;
    } else {
        /* asctime: "Sun Nov  6 08:49:37 1994" (a one-digit day after a blank) */
        p = text;
        ok = cache_day_name(&p, false) && cache_word(&p, " ") && cache_month(&p, &tm.tm_mon) &&
             cache_word(&p, " ");
        if (ok && *p == ' ') {
            p++;
            ok = cache_digits(&p, 1, &tm.tm_mday);
        } else if (ok) {
            ok = cache_digits(&p, 2, &tm.tm_mday);
        }
        ok = ok && cache_word(&p, " ") && cache_time_of_day(&p, &tm) && cache_word(&p, " ") &&
             cache_digits(&p, 4, &tm.tm_year);
        tm.tm_year -= 1900;
    }
    if (!ok)
        return -1;
    while (*p == ' ' || *p == '\t')
        p++;
    if (*p)
        return -1;
    static const int days[] = { 31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    if (tm.tm_mday < 1 || tm.tm_mday > days[tm.tm_mon] || tm.tm_hour > 23 || tm.tm_min > 59 ||
        tm.tm_sec > 60)
        return -1;
    time_t t = (time_t)(cache_days_from_civil(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday) *
                            86400 + tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec);
    return t == (time_t)-1 ? -1 : t;
}

/* Freshness. */

void CacheSection::select_refresh(CONNECTION_T *conn, CACHEMAP *object)
{
    for (const Refresh &r : refreshes) {
        if (!r.enabled)
            continue;
        if (conn ? !profile_find(conn->profiles, r.profiles) : !r.profiles.empty())
            continue;
        if (!r.cacheable && !(object->flags & CACHE_FORCE))
            object->flags |= CACHE_INVALID;
        object->min_age = r.min_age;
        object->max_age = r.max_age;
        object->default_age = r.default_age;
        object->lm_factor = r.lm_factor;
        return;
    }
}

void cache_freshness(const CACHEMAP *object, time_t now, CacheFreshness *out)
{
    *out = CacheFreshness();
    const HEADER *h = object->header;
    if (!h) {
        out->expired = true;
        return;
    }
    /* The object was already this old when it arrived. */
    int64_t received_age = cache_received_age(h);
    /* The lifetime in seconds from s-maxage, max-age or Expires, in that
     * order (below 0 for an Expires before the Date), when one gives it. */
    int64_t lifetime = 0;
    bool have_lifetime = false;
    if (h->expires) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: file expires header: %s",
                   log_text(h->expires, LOG_TEXT_MAX).c_str());
        time_t t = cache_expires_date(h);
        have_lifetime = true;
        /* A date that does not read ("0", "-1"), or two that differ, means
         * already expired. Expires counts from the response's Date, or
         * from when it arrived when that has none. */
        if (t < 0) {
            lifetime = 0;
        } else {
            time_t date = cache_response_date(h);
            lifetime = (int64_t)t - (int64_t)(date >= 0 ? date : object->retrieved - gmtoffset);
        }
    }
    if (h->last_modified) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: file last-modified header: %s",
                   log_text(h->last_modified, LOG_TEXT_MAX).c_str());
        time_t t = cache_http_date(h->last_modified);
        out->last_modified = t > 0 ? t + gmtoffset : 0;
    }
    if (h->cache_control) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: file cache-control header: %s",
                   log_text(h->cache_control, LOG_TEXT_MAX).c_str());
        int64_t max_age = -1, s_maxage = -1;
        cache_directives(h->cache_control, [&](const CacheDirective &d) {
            int64_t seconds;
            if (cache_directive_is(d, "s-maxage")) {
                if (cache_seconds(d, &seconds))
                    s_maxage = seconds;
            } else if (cache_directive_is(d, "max-age")) {
                if (cache_seconds(d, &seconds))
                    max_age = seconds;
            } else if (cache_directive_is(d, "must-revalidate")) {
                out->expired = true;
            } else if (cache_directive_is(d, "no-cache") || cache_directive_is(d, "no-store")) {
                out->expired = true;
                out->violation = true;
            }
        });
        /* This is a shared cache: s-maxage overrides max-age, and both
         * override Expires. */
        if (s_maxage >= 0 || max_age >= 0) {
            lifetime = s_maxage >= 0 ? s_maxage : max_age;
            have_lifetime = true;
        }
    }
    if (have_lifetime) {
        /* Fresh while the age (received Age plus the time held) is below
         * the lifetime, so while now is before this moment. */
        int64_t until = (int64_t)object->retrieved + lifetime - received_age;
        out->expires = until > 0 ? (time_t)until : 1;
    }
    if (out->last_modified && out->last_modified < object->retrieved) {
        /* 64-bit: an old document with a large factor exceeds 32 bits. */
        int64_t added = (int64_t)(object->retrieved - out->last_modified) *
                        (int64_t)object->lm_factor / 100;
        int64_t until = (int64_t)object->retrieved + added - received_age;
        out->fresh_until = until > 0 ? (time_t)until : 1;
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: lmtime factor: %lld", (long long)added);
    }
    if (out->expires == 0 && out->fresh_until == 0) {
        out->expired = true;
        return;
    }
    bool fresh = now <= object->retrieved + (time_t)object->max_age &&
                 (out->expires == 0 || now < out->expires) &&
                 (out->expires != 0 || out->fresh_until == 0 || now <= out->fresh_until) &&
                 (out->last_modified == 0 ||
                  now >= out->last_modified + (time_t)object->min_age) &&
                 (out->expires != 0 || now <= object->retrieved + (time_t)object->default_age);
    if (!fresh)
        out->expired = true;
}

/* The received Age as delta-seconds. Age is one number, but a list (a
 * value with commas, or several Age lines, which the header model joins
 * with commas) counts by its first member; a member that is not a
 * non-negative integer ("abc", "-1", "7200.0") is ignored, as if the
 * response carried no Age. Blanks around the member are taken off. false
 * when there is no usable Age. */
static bool cache_age_read(const HEADER *h, int64_t *seconds)
{
    *seconds = 0;
    if (!h || !h->age)
        return false;
    size_t len = strcspn(h->age, ",");
    CacheDirective d = { "age", 3, h->age, len };
    while (d.value_len > 0 && (d.value[0] == ' ' || d.value[0] == '\t')) {
        d.value++;
        d.value_len--;
    }
    while (d.value_len > 0 && (d.value[d.value_len - 1] == ' ' || d.value[d.value_len - 1] == '\t'))
        d.value_len--;
    return cache_seconds(d, seconds);
}

int64_t cache_received_age(const HEADER *h)
{
    int64_t seconds;
    return cache_age_read(h, &seconds) ? seconds : 0;
}

bool cache_no_stale(const HEADER *h)
{
    bool no_stale = false;
    if (h && h->cache_control)
        cache_directives(h->cache_control, [&](const CacheDirective &d) {
            if (cache_directive_is(d, "must-revalidate") ||
                cache_directive_is(d, "proxy-revalidate") || cache_directive_is(d, "s-maxage"))
                no_stale = true;
        });
    return no_stale;
}

bool CacheSection::no_stale(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    return cache_no_stale(object->header);
}

void CacheSection::check_header_at(CACHEMAP *object, time_t now)
{
    CacheFreshness f;
    cache_freshness(object, now, &f);
    object->expires = f.expires;
    object->fresh_until = f.fresh_until;
    object->last_modified = f.last_modified;
    object->flags &= ~CACHE_EXPIRED;
    if (f.expired)
        object->flags |= CACHE_EXPIRED;
    if (f.violation)
        object->flags |= CACHE_VIOLATION;
    if (object->header)
        object->header->chunked = 0;
}

bool cache_control_has(const char *value, const char *directive)
{
    bool found = false;
    if (value)
        cache_directives(value, [&](const CacheDirective &d) {
            if (cache_directive_is(d, directive))
                found = true;
        });
    return found;
}

void CacheSection::check(CACHEMAP *object, HEADER *request)
{
    CacheLock lock(*this);
    if (validate_wanted(object, request, utc_time(nullptr)))
        object->flags |= CACHE_VALIDATE;
}

bool CacheSection::validate_wanted(const CACHEMAP *object, const HEADER *request, time_t now)
{
    if (object->flags & CACHE_PREFETCHED)
        return false;
    bool validate = (object->flags & CACHE_EXPIRED) != 0;
    int64_t age = cache_received_age(object->header) + (int64_t)(now - object->retrieved);
    /* must-revalidate, proxy-revalidate and s-maxage forbid a stale copy
     * whatever the client would accept. */
    bool no_stale = cache_no_stale(object->header);
    if (request && request->cache_control) {
        putlog(LOG_DEBUG, "cache: request cache-control header: %s",
               log_text(request->cache_control, LOG_TEXT_MAX).c_str());
        cache_directives(request->cache_control, [&](const CacheDirective &d) {
            int64_t n;
            if (cache_directive_is(d, "no-cache") || cache_directive_is(d, "no-store")) {
                validate = true;
            } else if (cache_directive_is(d, "max-age")) {
                if (cache_seconds(d, &n) && n < age)
                    validate = true;
            } else if (cache_directive_is(d, "min-fresh")) {
                if (!cache_seconds(d, &n))
                    return;
                if (object->expires && (int64_t)object->expires < (int64_t)now + n)
                    validate = true;
                else if (!object->expires && object->fresh_until &&
                         (int64_t)object->fresh_until < (int64_t)now + n)
                    validate = true;
            } else if (cache_directive_is(d, "max-stale")) {
                if (no_stale || !cache_seconds(d, &n))
                    return;
                if (object->expires && n >= (int64_t)(now - object->expires))
                    validate = false;
                else if (!object->expires && object->fresh_until &&
                         n >= (int64_t)(now - object->fresh_until))
                    validate = false;
            }
        });
    }
    return validate;
}

void CacheSection::check(HEADER *request)
{
    if (!request || !request->url)
        return;
    CACHEMAP *object = cache_open(nullptr, request->url, nullptr, CACHE_OFFLINE);
    if (!object)
        return;
    check(object, request);
    cache_close(object, false);
}

void CacheSection::invalidate_url(const char *key)
{
    if (!key)
        return;
    CACHEMAP *object = cache_open(nullptr, key, nullptr, CACHE_OFFLINE);
    if (!object)
        return;
    putlog(LOG_CACHE, "invalidated by an unsafe request: %s", log_text(key, LOG_TEXT_MAX).c_str());
    invalidate(object);
}

void CacheSection::validated(CACHEMAP *object)
{
    CacheLock lock(*this);
    object->flags &= ~CACHE_VALIDATE;
    touch_unlocked(object, 1);
}

/* Cleaning. */

/*
 * Cleaning, in phases: too soon after the last run it only holds new
 * objects back and reports; else it finds the access times of the objects
 * nobody holds, sets each store's target and memory's, drops objects band
 * by band of access time, oldest first, and reports the result.
 */
void CacheSection::clean()
{
    if (cleaning)
        return;
    time_t interval = opt_clean_interval();
    time_t now = utc_time(nullptr);
    uint64_t limit = opt_memory_size();
    /* Memory never goes over its limit: what counts is whether the bytes
     * waiting for room would take it over. */
    bool mem_over = mem_bytes > limit || mem_wanted > limit - std::min(mem_bytes, limit);

    if (clean_time && now < clean_time + interval) {
        clean_too_soon(now, mem_over);
        return;
    }

    clean_time = now;
    putlog(LOG_CACHE, "cleaning triggered");
    cleaning = true;

    time_t oldest = 0, newest = 0;
    if (!clean_age_range(&oldest, &newest)) {
        {
            WriteGuard guard(&no_cache);
            if (next_cache < now + interval + 60)
                next_cache = now + interval + 120;
        }
        putlog(LOG_ERROR, "cache: no new objects to clean");
        cleaning = false;
        return;
    }
    uint64_t mem_target = clean_targets(mem_over);
    time_t step = (newest - oldest) / CACHE_CLEAN_BANDS + 1;
    for (time_t threshold = oldest + step; threshold <= newest + step; threshold += step)
        clean_band(threshold, mem_target, now);
    clean_report(now);
    cleaning = false;
}

/* A cleaning asked for within clean-interval of the last: new objects wait
 * until after the next one, and the first such call reports what is over
 * its limit. */
void CacheSection::clean_too_soon(time_t now, bool mem_over)
{
    time_t interval = opt_clean_interval();
    uint64_t limit = opt_memory_size();
    uint64_t extra = opt_memory_free_extra();
    if (clean_state <= 0) {
        {
            WriteGuard guard(&no_cache);
            next_cache = clean_time + interval + 120;
        }
        if (mem_over) {
            putlog(LOG_ERROR, "cache: memory: [objects:bytes max_size:free_extra - %d:%llu "
                   "%llu:%llu] can not clean for next %lld seconds", mem_objects,
                   (unsigned long long)mem_bytes, (unsigned long long)limit,
                   (unsigned long long)extra, (long long)(clean_time + interval - now));
            putlog(LOG_ADVICE, "cache: Memory cache size: %llu bytes, Memory free extra: %llu "
                   "bytes maybe too less, if system has more free memory - increase Memory "
                   "cache size, else increase Memory free extra",
                   (unsigned long long)limit, (unsigned long long)extra);
        }
        for (const Store &s : stores)
            if (!s.directory.empty() && s.bytes > s.size) {
                putlog(LOG_ERROR, "cache: disk store: %s, entries: %d entries, bytes: %llu, "
                       "used: %u%%", s.directory.c_str(), s.entries,
                       (unsigned long long)s.bytes, cache_percent(s.bytes, s.size));
                putlog(LOG_ADVICE, "cache: disk store %s is underdimensioned, please "
                       "consider increasing it", s.directory.c_str());
            }
    }
    clean_state = 1;
}

/* The oldest and newest access time of the objects nobody holds; false
 * when every object is held (or there is none). */
bool CacheSection::clean_age_range(time_t *oldest, time_t *newest)
{
    bool any = false;
    for (int b = 0; b < CACHE_BUCKETS; b++)
        for (CACHEMAP_LIST *n = cachemaplist[b]; n; n = n->next) {
            const CACHEMAP *o = n->cachemap;
            if (o->refcount > 0)
                continue;
            time_t accessed = o->accessed;
            if (!any || accessed < *oldest)
                *oldest = accessed;
            if (!any || accessed > *newest)
                *newest = accessed;
            any = true;
        }
    return any;
}

/* Sets each store's clean_target (a full store goes its margin below its
 * bytes) and returns memory's: its limit, or the low mark when over. */
uint64_t CacheSection::clean_targets(bool mem_over)
{
    uint64_t limit = opt_memory_size();
    uint64_t extra = opt_memory_free_extra();
    for (Store &s : stores) {
        if (s.directory.empty())
            continue;
        putlog(LOG_CACHE, "before cleaning: disk store: %s, entries: %d entries, bytes: %llu, "
               "used: %u%%, diskfull: %d", s.directory.c_str(), s.entries,
               (unsigned long long)s.bytes, cache_percent(s.bytes, s.size), s.disk_full ? 1 : 0);
        if (s.disk_full || s.bytes > s.size) {
            uint64_t margin = std::max<uint64_t>(s.free_extra, CACHE_STORE_MARGIN_MIN);
            s.clean_target = s.bytes > margin ? s.bytes - margin : 0;
        } else {
            s.clean_target = s.size;
        }
    }
    putlog(LOG_CACHE, "before cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           (unsigned long long)mem_bytes, cache_percent(mem_bytes, limit));
    if (!mem_over)
        return limit;
    return limit > extra ? limit - extra : 0;
}

/* One band: every object nobody holds, accessed up to threshold (a
 * CACHE_DISCARD object: past its life), is dropped when neither mapped nor
 * on disk, when its store is over target, or when memory is over target
 * and it has no disk copy; a disk object only leaves memory then. */
void CacheSection::clean_band(time_t threshold, uint64_t mem_target, time_t now)
{
    for (int b = 0; b < CACHE_BUCKETS; b++) {
        CACHEMAP_LIST *node = cachemaplist[b];
        while (node) {
            CACHEMAP *o = node->cachemap;
            node = node->next;
            if (o->refcount > 0)
                continue;
            bool expired_discard = false;
            if (o->flags & CACHE_DISCARD) {
                if (!(now > o->retrieved + CACHE_DISCARD_SECONDS))
                    continue;
                expired_discard = true;
            } else if (o->accessed > threshold) {
                continue;
            }
            if (!(o->flags & (CACHE_DISK | CACHE_MEM)) || ((o->flags & CACHE_DISK) && !o->store)) {
                /* Neither in memory nor on disk: nothing to keep. */
                invalidate_unlocked(o, false);
                continue;
            }
            if (o->flags & CACHE_DISK) {
                if (expired_discard || o->store->bytes > o->store->clean_target) {
                    invalidate_unlocked(o, false);
                    continue;
                }
                o->store->disk_full = false;
            } else if (expired_discard) {
                invalidate_unlocked(o, false);
                continue;
            }
            if ((o->flags & CACHE_MEM) && mem_bytes > mem_target) {
                if (o->flags & CACHE_DISK)
                    mem_delete(o);
                else
                    invalidate_unlocked(o, false);
            }
        }
    }
}

/* After the bands: memory still above its low mark holds new objects back
 * until after the next cleaning; then the stores are reported. */
void CacheSection::clean_report(time_t now)
{
    time_t interval = opt_clean_interval();
    uint64_t limit = opt_memory_size();
    uint64_t extra = opt_memory_free_extra();
    putlog(LOG_CACHE, "after cleaning: memory: %d entries, bytes %llu, used: %u%%", mem_objects,
           (unsigned long long)mem_bytes, cache_percent(mem_bytes, limit));
    if (extra <= limit && mem_bytes > limit - extra) {
        mem_underdimensioned = true;
        {
            WriteGuard guard(&no_cache);
            next_cache = now + interval + 120;
        }
        clean_state = 2;
        clean_time = now;
        putlog(LOG_ERROR, "cache: memory cache: underdimensioned, please consider increasing "
               "memory cache size, new responses after %lld seconds will be cached",
               (long long)(next_cache - now));
    } else {
        clean_state = 0;
    }
    for (const Store &s : stores)
        if (!s.directory.empty())
            putlog(LOG_CACHE, "after cleaning: disk store: %s, entries: %d entries, bytes: %llu, "
                   "used: %u%%, diskfull: %d", s.directory.c_str(), s.entries,
                   (unsigned long long)s.bytes, cache_percent(s.bytes, s.size),
                   s.disk_full ? 1 : 0);
}

/* Helpers. */

/* Calls visit for each directive of a comma-separated list, blanks around
 * each directive and its "=" skipped, empty elements left out. */
template <typename F>
static void cache_directives(const char *text, F visit)
{
    const char *p = text;
    while (*p) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            p++;
        if (!*p)
            break;
        const char *start = p;
        bool quoted = false;
        while (*p && (quoted || *p != ',')) {
            if (*p == '"')
                quoted = !quoted;
            p++;
        }
        const char *end = p;
        while (end > start && (end[-1] == ' ' || end[-1] == '\t'))
            end--;
        CacheDirective d = { start, 0, nullptr, 0 };
        const char *eq = nullptr;
        for (const char *q = start; q < end && !eq; q++)
            if (*q == '=')
                eq = q;
        const char *name_end = eq ? eq : end;
        while (name_end > start && (name_end[-1] == ' ' || name_end[-1] == '\t'))
            name_end--;
        d.name_len = (size_t)(name_end - start);
        if (eq) {
            const char *v = eq + 1;
            while (v < end && (*v == ' ' || *v == '\t'))
                v++;
            const char *ve = end;
            if (ve - v >= 2 && *v == '"' && ve[-1] == '"') {
                v++;
                ve--;
            }
            d.value = v;
            d.value_len = (size_t)(ve - v);
        }
        if (d.name_len > 0)
            visit(d);
    }
}

static bool cache_directive_is(const CacheDirective &d, const char *name)
{
    size_t n = strlen(name);
    return d.name_len == n && strncasecmp(d.name, name, n) == 0;
}

/* The directive's value as delta-seconds: digits only, capped at
 * CACHE_DELTA_MAX. */
static bool cache_seconds(const CacheDirective &d, int64_t *seconds)
{
    if (!d.value || d.value_len == 0)
        return false;
    int64_t v = 0;
    for (size_t i = 0; i < d.value_len; i++) {
        char c = d.value[i];
        if (c < '0' || c > '9')
            return false;
        if (v < CACHE_DELTA_MAX)
            v = v * 10 + (c - '0');
    }
    *seconds = std::min<int64_t>(v, CACHE_DELTA_MAX);
    return true;
}

/* Used bytes as a truncated percentage of limit; 0 when nothing is used. */
static unsigned cache_percent(uint64_t used, uint64_t limit)
{
    if (used == 0)
        return 0;
    if (limit == 0)
        return 100;
    double p = (double)used / (double)limit * 100.0;
    return p > 4e9 ? 4000000000u : (unsigned)p;
}

/* Whether a list such as Accept-Encoding names token (without case);
 * *zero_quality tells whether it did so with q=0. */
static bool cache_list_has(const char *list, const char *token, bool *zero_quality)
{
    bool found = false;
    cache_directives(list, [&](const CacheDirective &d) {
        if (found)
            return;
        const char *semi = (const char *)memchr(d.name, ';', d.name_len);
        size_t len = semi ? (size_t)(semi - d.name) : d.name_len;
        while (len > 0 && (d.name[len - 1] == ' ' || d.name[len - 1] == '\t'))
            len--;
        if (len != strlen(token) || strncasecmp(d.name, token, len) != 0)
            return;
        found = true;
        *zero_quality = false;
        /* ";q=0", ";q=0.0" ... (the "=" split put the number in value). */
        if (semi && d.value) {
            bool zero = d.value_len > 0;
            for (size_t i = 0; i < d.value_len; i++)
                if (d.value[i] != '0' && d.value[i] != '.')
                    zero = false;
            *zero_quality = zero;
        }
    });
    return found;
}

/* Reads exactly n digits at *p into *value and moves *p past them. */
static bool cache_digits(const char **p, int n, int *value)
{
    int v = 0;
    for (int i = 0; i < n; i++) {
        char c = (*p)[i];
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    *p += n;
    *value = v;
    return true;
}

/* Moves *p past the text word when it starts there (without case). */
static bool cache_word(const char **p, const char *word)
{
    size_t n = strlen(word);
    if (strncasecmp(*p, word, n) != 0)
        return false;
    *p += n;
    return true;
}

/* Reads a three-letter month name into *month (0-11). */
static bool cache_month(const char **p, int *month)
{
    static const char *const names[] = { "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec" };
    for (int i = 0; i < 12; i++)
        if (cache_word(p, names[i])) {
            *month = i;
            return true;
        }
    return false;
}

/* Reads a day name, short ("Sun") or, with long_form, full ("Sunday"). */
static bool cache_day_name(const char **p, bool long_form)
{
    static const char *const names[] = { "Monday", "Tuesday", "Wednesday", "Thursday",
                                         "Friday", "Saturday", "Sunday" };
    for (const char *name : names) {
        if (long_form ? cache_word(p, name) : strncasecmp(*p, name, 3) == 0) {
            if (!long_form)
                *p += 3;
            return true;
        }
    }
    return false;
}

/* Reads "HH:MM:SS" with two digits each. */
static bool cache_time_of_day(const char **p, struct tm *tm)
{
    return cache_digits(p, 2, &tm->tm_hour) && cache_word(p, ":") &&
           cache_digits(p, 2, &tm->tm_min) && cache_word(p, ":") &&
           cache_digits(p, 2, &tm->tm_sec);
}

/* The Expires date of h in seconds since the epoch; -1 when it does not
 * read, or when several Expires lines disagree. */
static time_t cache_expires_date(const HEADER *h)
{
    const char *first = nullptr;
    for (const HTTP_HEADER &line : h->headers) {
        if (strcasecmp(line.name.c_str(), "Expires") != 0)
            continue;
        if (first && strcmp(first, line.value.c_str()) != 0)
            return -1;
        if (!first)
            first = line.value.c_str();
    }
    return cache_http_date(h->expires);
}

/* The Date of a response in seconds since the epoch; -1 when it has none
 * that reads. */
static time_t cache_response_date(const HEADER *h)
{
    for (const HTTP_HEADER &line : h->headers)
        if (strcasecmp(line.name.c_str(), "Date") == 0)
            return cache_http_date(line.value.c_str());
    return -1;
}
