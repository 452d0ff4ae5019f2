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

time_t cache_http_date(const char *text)
{
    static const char *const formats[] = {
        "%a, %d %b %Y %H:%M:%S GMT",   /* IMF-fixdate */
        "%A, %d-%b-%y %H:%M:%S GMT",   /* RFC 850 */
        "%a %b %d %H:%M:%S %Y",        /* asctime */
    };
    if (!text)
        return -1;
    while (*text == ' ' || *text == '\t')
        text++;
    for (const char *format : formats) {
        struct tm tm;
        memset(&tm, 0, sizeof tm);
        const char *end = strptime(text, format, &tm);
        if (!end)
            continue;
        while (*end == ' ' || *end == '\t')
            end++;
        if (*end)
            continue;
        time_t t = timegm(&tm);
        if (t == (time_t)-1)
            continue;
        return t;
    }
    return -1;
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
    if (h->expires) {
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: file expires header: %s",
                   log_text(h->expires, LOG_TEXT_MAX).c_str());
        time_t t = cache_http_date(h->expires);
        /* A date that does not read ("0", "-1") means already expired. */
        out->expires = t > 0 ? t + gmtoffset : 1;
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
        cache_directives(h->cache_control, [&](const CacheDirective &d) {
            int64_t seconds;
            if (cache_directive_is(d, "max-age")) {
                if (cache_seconds(d, &seconds))
                    out->expires = object->retrieved + (time_t)seconds;
            } else if (cache_directive_is(d, "must-revalidate")) {
                out->expired = true;
            } else if (cache_directive_is(d, "no-cache") || cache_directive_is(d, "no-store")) {
                out->expired = true;
                out->violation = true;
            }
        });
    }
    if (out->last_modified && out->last_modified < object->retrieved) {
        /* 64-bit: an old document with a large factor exceeds 32 bits. */
        int64_t added = (int64_t)(object->retrieved - out->last_modified) *
                        (int64_t)object->lm_factor / 100;
        out->fresh_until = object->retrieved + (time_t)added;
        if (log_wanted(LOG_DEBUG))
            putlog(LOG_DEBUG, "cache: lmtime factor: %lld", (long long)added);
    }
    if (out->expires == 0 && out->fresh_until == 0) {
        out->expired = true;
        return;
    }
    bool fresh = now <= object->retrieved + (time_t)object->max_age &&
                 (out->expires == 0 || now <= out->expires) &&
                 (out->expires != 0 || out->fresh_until == 0 || now <= out->fresh_until) &&
                 (out->last_modified == 0 ||
                  now >= out->last_modified + (time_t)object->min_age) &&
                 (out->expires != 0 || now <= object->retrieved + (time_t)object->default_age);
    if (!fresh)
        out->expired = true;
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
    if (request && request->cache_control) {
        putlog(LOG_DEBUG, "cache: request cache-control header: %s",
               log_text(request->cache_control, LOG_TEXT_MAX).c_str());
        cache_directives(request->cache_control, [&](const CacheDirective &d) {
            int64_t n;
            if (cache_directive_is(d, "no-cache") || cache_directive_is(d, "no-store")) {
                validate = true;
            } else if (cache_directive_is(d, "max-age")) {
                if (cache_seconds(d, &n) && n < (int64_t)(now - object->retrieved))
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
                if (!cache_seconds(d, &n))
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
