/*
 * The object cache: complete responses kept in memory mappings so that a
 * later request for the same URL is answered without the server. An object
 * is the stored response header text followed by the body in one mapping;
 * on a disk store the mapping is a shared mapping of the object's file.
 * One writer appends while any number of readers stream what has arrived,
 * waiting on the object's condition variable for more.
 *
 * Everything is guarded by the section's read-write lock, and no thread
 * holds it while it talks to a peer: a reader copies the bytes that have
 * arrived under the lock and writes them after releasing it, and a
 * finished object is written straight from its mapping, which cannot move
 * or vanish while the reader holds a reference. A hit of a finished object
 * takes the lock shared, once to look up and once to close: the reference
 * count, flags and access time it changes are atomics, and whatever would
 * change more (a first mapping, freshness worked out for the first time,
 * a dead object) falls back to the lock held alone. The disk work of an
 * open is done with no lock held, between locked steps: a disk hit's file
 * is opened, checked and mapped before the step that publishes the
 * mapping, and a new object's file is made before the creating step and
 * renamed into place after it. Failures of memory, mappings and disks drop
 * the object concerned, never the daemon. This file holds the section, the
 * index and the object operations; cache_store.cpp the disk stores and the
 * journal, cache_fresh.cpp freshness and cleaning.
 */
#include "cache.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/rand.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>
#include <new>
#include <vector>

#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "perflog.h"
#include "profiles.h"
#include "regexp.h"
#include "socket.h"
#include "templates.h"

/* The options, by position. */
static const FieldDecl cache_global_fields[] = {
    {  0, "enabled",           FIELD_BOOL },
    {  1, "allow-violations",  FIELD_BOOL },
    {  2, "memory-cache-size", FIELD_LONG_FILE_SIZE },
    {  3, "memory-free-extra", FIELD_LONG_FILE_SIZE },
    {  4, "minsize",           FIELD_LONG_FILE_SIZE },
    {  5, "maxsize",           FIELD_LONG_FILE_SIZE },
    {  6, "prefetch-window",   FIELD_INT },
    {  7, "icpport",           FIELD_INT },
    {  8, "icptimeout",        FIELD_INT },
    {  9, "store-policy",      FIELD_STRING_SELECT_ONE },
    { 10, "journal-lines",     FIELD_UINT },
    { 11, "clean-interval",    FIELD_UINT },
};

/* The fields of an entry of the list store, by position. */
static const FieldDecl cache_store_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "directory",  FIELD_STRING },
    {  4, "size",       FIELD_LONG_FILE_SIZE },
    {  5, "free-extra", FIELD_LONG_FILE_SIZE },
    {  6, "md5",        FIELD_BOOL },
};

/* The fields of an entry of the list refresh, by position. */
static const FieldDecl cache_refresh_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "comment",     FIELD_STRING },
    {  2, "profiles",    FIELD_STRING_LIST },
    {  3, "cacheable",   FIELD_BOOL },
    {  4, "min-age",     FIELD_UINT },
    {  5, "max-age",     FIELD_UINT },
    {  6, "default-age", FIELD_UINT },
    {  7, "lm-factor",   FIELD_UINT },
};

/* The flag names of flag_string, in bit order. */
static const struct {
    int bit;
    const char *name;
} cache_flag_names[] = {
    { CACHE_WRITING, "CACHE_WRITING" },     { CACHE_INVALID, "CACHE_INVALID" },
    { CACHE_EXPIRED, "CACHE_EXPIRED" },     { CACHE_VALIDATE, "CACHE_VALIDATE" },
    { CACHE_PREFETCHED, "CACHE_PREFETCHED" }, { CACHE_VIOLATION, "CACHE_VIOLATION" },
    { CACHE_OFFLINE, "CACHE_OFFLINE" },     { CACHE_DISK, "CACHE_DISK" },
    { CACHE_MEM, "CACHE_MEM" },             { CACHE_CLEAN, "CACHE_CLEAN" },
    { CACHE_BUFFERWAIT, "CACHE_BUFFERWAIT" }, { CACHE_DISCARD, "CACHE_DISCARD" },
    { CACHE_FORCE, "CACHE_FORCE" },
};

/* A reader copies at most this much of an object still being written per
 * turn of the lock, and writes a finished object in pieces of this size. */
#define CACHE_SEND_PIECE 262144

CacheSection *cache_section = nullptr;
time_t next_cache = 0;
pthread_rwlock_t no_cache = PTHREAD_RWLOCK_INITIALIZER;
int (*cache_fault_hook)(const char *call) = nullptr;

/* Whether the calling thread holds the cache lock through CacheLock or
 * update(); graceful_exit reads it on the fatal path. */
thread_local bool cache_lock_here = false;
thread_local bool cache_deferring = false;
thread_local CacheDeferred cache_deferred;

static uint64_t cache_siphash(const uint64_t key[2], const char *data, size_t len);
static int64_t cache_header_end(const char *text, int64_t limit);
static int cache_fault(const char *call);
static const char *cache_ip(const CONNECTION_T *conn);
static void cache_unmap(void *map, int64_t len);

CacheLock::CacheLock(CacheSection &section, bool shared) : held(section)
{
    if (shared)
        held.read_lock();
    else
        held.write_lock();
    cache_lock_here = true;
    cache_deferring = true;
}

CacheLock::~CacheLock()
{
    cache_lock_here = false;
    held.unlock();
    /* The disk work of the locked steps, now that no one waits for it. */
    cache_deferring = false;
    CacheDeferred &work = cache_deferred;
    while (!work.stamps.empty()) {
        const CacheDeferred::Stamp &stamp = work.stamps.front();
        struct timespec times[2];
        times[0].tv_sec = stamp.accessed;
        times[0].tv_nsec = 0;
        times[1].tv_sec = stamp.modified;
        times[1].tv_nsec = 0;
        utimensat(AT_FDCWD, stamp.path.c_str(), times, 0);
        work.stamps.pop_front();
    }
    for (const auto &unmap : work.unmaps)
        munmap(unmap.first, unmap.second);
    work.unmaps.clear();
    if (work.drain) {
        work.drain = false;
        held.journal_drain();
    }
}

/* One lock, not shards: fills take it alone on the request path, and a
 * writer waiting for it goes first (hits hold it shared all the time under
 * load), so an object being filled is never starved. */
CacheSection::CacheSection() : Section("cache", SECTION_RWLOCK_ONE)
{
    pthread_mutex_init(&unlink_lock, nullptr);

    fields_require(cache_global_fields);
    list_require(0, "store", cache_store_fields, std::size(cache_store_fields));
    list_require(1, "refresh", cache_refresh_fields, std::size(cache_refresh_fields));

    /* Nothing is cached before the configuration is loaded. */
    fields[2].llvalue = 0;
    fields[10].uvalue = 0;
    fields[11].uvalue = 0;

    cachemaplist = (CACHEMAP_LIST **)xmalloc(sizeof(CACHEMAP_LIST *) * CACHE_BUCKETS);
    if (!cachemaplist)
        FATAL_ALLOC(sizeof(CACHEMAP_LIST *) * CACHE_BUCKETS);
    pthread_cond_init(&unlink_cond, nullptr);
    clean_time = utc_time(nullptr);

    /* A keyed index hash: a client cannot choose URLs that pile up in one
     * chain without knowing the key. */
    if (RAND_bytes((unsigned char *)hash_seed, sizeof hash_seed) != 1) {
        hash_seed[0] = (uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 32);
        hash_seed[1] = (uint64_t)(uintptr_t)this ^ 0x9e3779b97f4a7c15ULL;
    }
    /* The mark of this process's private files: any other in a store's
     * "tmp" directory was left by an earlier run. */
    uint64_t nonce;
    if (RAND_bytes((unsigned char *)&nonce, sizeof nonce) != 1)
        nonce = hash_seed[0] ^ (uint64_t)time(nullptr) ^ ((uint64_t)getpid() << 20);
    char mark[24];
    snprintf(mark, sizeof mark, "%016llx", (unsigned long long)nonce);
    file_nonce = mark;

    {
        WriteGuard guard(&no_cache);
        next_cache = utc_time(nullptr) - 180;
    }
}

CacheSection::~CacheSection()
{
    journal_close_all();
    for (int b = 0; b < CACHE_BUCKETS; b++) {
        CACHEMAP_LIST *node = cachemaplist[b];
        while (node) {
            CACHEMAP_LIST *next = node->next;
            CACHEMAP *o = node->cachemap;
            if (o->map) {
                munmap(o->map, (size_t)o->maplen);
                if (performance_log)
                    performance_log->set_cache_mmaps_deleted(1);
            }
            o->map = nullptr;
            cache_free(o);
            free(node);
            node = next;
        }
    }
    free(cachemaplist);
    pthread_cond_destroy(&unlink_cond);
    pthread_mutex_destroy(&unlink_lock);
}

/* Options. */

bool CacheSection::opt_enabled() { return fields[0].value != 0; }
bool CacheSection::opt_allow_violations() { return fields[1].value != 0; }
uint64_t CacheSection::opt_memory_size() { return fields[2].llvalue; }
uint64_t CacheSection::opt_memory_free_extra() { return fields[3].llvalue; }
uint64_t CacheSection::opt_minsize() { return fields[4].llvalue; }
uint64_t CacheSection::opt_maxsize() { return fields[5].llvalue; }
int CacheSection::opt_prefetch_window() { return fields[6].value; }
int CacheSection::opt_store_policy() { return fields[9].value; }

uint32_t CacheSection::opt_journal_lines()
{
    return fields[10].uvalue ? fields[10].uvalue : CACHE_JOURNAL_LINES_DEFAULT;
}

time_t CacheSection::opt_clean_interval()
{
    return fields[11].uvalue ? (time_t)fields[11].uvalue : CACHE_CLEAN_INTERVAL_DEFAULT;
}

int CacheSection::icpport_get()
{
    return atomic_read(&fields[7].value);
}

int CacheSection::icptimeout_get()
{
    return atomic_read(&fields[8].value);
}

/* Index. */

unsigned CacheSection::bucket_of(const char *key) const
{
    return (unsigned)(cache_siphash(hash_seed, key, strlen(key)) % CACHE_BUCKETS);
}

CACHEMAP *CacheSection::hash_find(const char *key)
{
    for (CACHEMAP_LIST *n = cachemaplist[bucket_of(key)]; n; n = n->next)
        if (strcmp(n->cachemap->key, key) == 0)
            return n->cachemap;
    return nullptr;
}

/* Appends object at the tail of its chain. false when the node cannot be
 * allocated (logged); the object is then not indexed. */
bool CacheSection::hash_add(CACHEMAP *object)
{
    ASSERT(object->key && object->key[0]);
    ASSERT(!hash_find(object->key));
    CACHEMAP_LIST *node = (CACHEMAP_LIST *)xmalloc(sizeof(CACHEMAP_LIST));
    if (!node)
        return false;
    node->cachemap = object;   /* prev, next: zero fill */
    CACHEMAP_LIST **head = &cachemaplist[bucket_of(object->key)];
    if (!*head) {
        *head = node;
    } else {
        CACHEMAP_LIST *tail = *head;
        while (tail->next)
            tail = tail->next;
        tail->next = node;
        node->prev = tail;
    }
    object_count++;
    return true;
}

void CacheSection::hash_remove(CACHEMAP *object)
{
    unsigned b = bucket_of(object->key);
    for (CACHEMAP_LIST *n = cachemaplist[b]; n; n = n->next) {
        if (n->cachemap != object)
            continue;
        if (n->prev)
            n->prev->next = n->next;
        else
            cachemaplist[b] = n->next;
        if (n->next)
            n->next->prev = n->prev;
        free(n);
        object_count--;
        return;
    }
    putlog(LOG_ERROR, "cache: cachemaplist[%u]: NULL", b);
}

int CacheSection::objects_count()
{
    return object_count;
}

/* Records. */

/* A new object (zero-filled: no key, map, header or store, refcount 0,
 * ages 0), fd -1 and md5 "0"; with condvar its condition variable is
 * initialised. NULL when memory runs out (logged). */
CACHEMAP *CacheSection::cachemap_new(bool condvar)
{
    CACHEMAP *o = (CACHEMAP *)xmalloc(sizeof(CACHEMAP));
    if (!o)
        return nullptr;
    o->fd = -1;
    o->serial = serial_next++;
    strcpy(o->md5, "0");
    if (condvar) {
        pthread_cond_init(&o->cond, nullptr);
        pthread_mutex_init(&o->wait_lock, nullptr);
        o->flags |= CACHE_CONDVAR;
    }
    return o;
}

/* Frees an unmapped, unindexed object: closes its descriptor, destroys its
 * condition variable, frees the header, the key and the record. */
void CacheSection::cache_free(CACHEMAP *object)
{
    ASSERT(object->key);
    if (object->fd >= 0)
        close(object->fd);
    if (object->flags & CACHE_CONDVAR) {
        pthread_cond_destroy(&object->cond);
        pthread_mutex_destroy(&object->wait_lock);
    }
    http_header_free(object->header);
    free(object->key);
    free(object);
}

/* Wakes every reader waiting for the object. Lock held alone. */
void CacheSection::wake(CACHEMAP *object)
{
    if (object->flags & CACHE_CONDVAR) {
        MutexGuard guard(&object->wait_lock);
        pthread_cond_broadcast(&object->cond);
    }
}

/* Waits, with the lock held alone, until the writer wakes the object's
 * readers; the lock is held alone again on return. The object's own mutex
 * is taken before the cache lock is given up and wake takes it too, so no
 * wake-up can fall between the two. */
void CacheSection::wait_writer(CACHEMAP *object)
{
    ASSERT(object->flags & CACHE_CONDVAR);
    log_release_held();   /* a hit's line held back is not held through a wait */
    pthread_mutex_lock(&object->wait_lock);
    cache_lock_here = false;
    unlock();
    pthread_cond_wait(&object->cond, &object->wait_lock);
    pthread_mutex_unlock(&object->wait_lock);
    write_lock();
    cache_lock_here = true;
}

/* Lookup and creation. */

CACHEMAP *CacheSection::cache_open(CONNECTION_T *conn, const char *key, const char *header_text,
                                   int mode)
{
    CacheDiskMap disk;
    return open_rounds(conn, key, header_text, mode, utc_time(nullptr), &disk, false);
}

/* The rounds of an open under the lock held alone. The disk work an open
 * needs is done before each round with no lock held: a new object's file
 * (chosen under the shared lock), and the mapping of an object found on
 * disk only, which a round names when it finds one (or open_shared did).
 * A round that finds the work done for another object (or not done) asks
 * for another; after the last one such an object is a miss, and a new
 * object lives in memory only. */
#define CACHE_OPEN_ROUNDS 3

CACHEMAP *CacheSection::open_rounds(CONNECTION_T *conn, const char *key, const char *header_text,
                                    int mode, time_t now, CacheDiskMap *disk, bool fill_view)
{
    bool create = (mode & CACHE_WRITING) != 0;
    for (int round = 1;; round++) {
        CacheNewFile file;
        if (create) {
            {
                CacheLock lock(*this, true);
                file_choose(conn, key, now, &file);
            }
            if (file.store)
                file_make(&file, header_text);
        }
        if (disk->serial && !disk->made)
            disk_map_make(disk, cache_ip(conn));
        bool again = false;
        CACHEMAP *object;
        {
            CacheLock lock(*this);
            object = open_unlocked(conn, key, header_text, mode, now, disk, &file,
                                   round < CACHE_OPEN_ROUNDS, &again);
            if (object && fill_view)
                view_fill_locked(conn, object, now, !(mode & CACHE_OFFLINE));
            if (!again)
                disk_map_release(disk);   /* unmapped once the lock is given back */
        }
        if (file.object && file.object == object)
            object = file_publish(&file, object);
        file_discard(&file);
        if (!again)
            return object;
    }
}

/* Whether mapping more bytes keeps memory within memory-cache-size,
 * cleaning first when it would not. */
bool CacheSection::memory_room(uint64_t more)
{
    uint64_t limit = opt_memory_size();
    if (more > limit)
        return false;
    if (mem_bytes <= limit - more)
        return true;
    mem_wanted = more;
    clean();
    mem_wanted = 0;
    return mem_bytes <= limit - more;
}

/* The results of the steps of open_unlocked. */
enum cache_open_step {
    OPEN_SETTLE = 0,   /* done, no object for the caller */
    OPEN_DISCARD,      /* the object (one reference for this call) dies */
    OPEN_CHECK,        /* the object holds one reference: check it */
    OPEN_CREATE,       /* no object: create one */
    OPEN_RESULT,       /* the object goes to the caller */
};

/*
 * Looks up or creates under the lock held alone, in steps: admit the call,
 * handle an indexed object, create a new one, check the object, settle the
 * memory state. A refused creation never makes, maps or indexes an object.
 */
CACHEMAP *CacheSection::open_unlocked(CONNECTION_T *conn, const char *key,
                                      const char *header_text, int mode, time_t now,
                                      CacheDiskMap *disk, CacheNewFile *file, bool may_again,
                                      bool *again)
{
    const char *ip = cache_ip(conn);
    bool create = (mode & CACHE_WRITING) != 0;
    int64_t text_len = 0;
    if (!open_admit(conn, key, header_text, create, ip, &text_len))
        return nullptr;

    CACHEMAP *object = hash_find(key);
    int step = object ? open_existing(object, create, ip, now, disk, may_again, again)
                      : create ? OPEN_CREATE : OPEN_SETTLE;
    if (step == OPEN_CREATE) {
        object = nullptr;
        step = open_new(conn, key, header_text, text_len, mode, ip, now, file, may_again, again,
                        &object);
    }
    if (step == OPEN_CHECK)
        step = open_check(conn, object, key, header_text, text_len, mode, ip, now, file);

    CACHEMAP *result = nullptr;
    switch ((cache_open_step)step) {
    case OPEN_RESULT:
        result = object;
        break;
    case OPEN_DISCARD:
        open_discard(object, now);
        break;
    case OPEN_SETTLE:
    case OPEN_CHECK:
    case OPEN_CREATE:
        break;
    }
    open_settle(result, now);
    return result;
}

/* The checks before the index is looked at: the cache is on, the key
 * usable, and a creation comes with a complete header block and no CARP
 * route. A request with credentials is answered for that user alone. */
bool CacheSection::open_admit(CONNECTION_T *conn, const char *key, const char *header_text,
                              bool create, const char *ip, int64_t *text_len)
{
    if (!opt_enabled() || !key || !key[0] || strlen(key) > CACHE_KEY_MAX)
        return false;
    if (create && conn && (conn->flags & CONN_CARP))
        return false;
    if (conn && conn->header && conn->header->authorization)
        return false;
    if (!create)
        return true;
    if (!header_text)
        return false;
    *text_len = (int64_t)strlen(header_text);
    if (*text_len == 0 || cache_header_end(header_text, *text_len) != *text_len) {
        putlog(LOG_ERROR, "cache: [IP:%s]corrupt object: %s", ip, key);
        return false;
    }
    return true;
}

/* An indexed object of the key. A lookup takes a reference (an object on
 * disk only gets the mapping made for it, or asks for one); a creation
 * replaces an object nobody holds, outside the prefetch window. */
int CacheSection::open_existing(CACHEMAP *object, bool create, const char *ip, time_t now,
                                CacheDiskMap *disk, bool may_again, bool *again)
{
    if (object->flags & CACHE_INVALID) {
        putlog(LOG_DEBUG, "cache: [IP:%s]object is invalid", ip);
        return OPEN_SETTLE;
    }
    if ((object->flags & CACHE_PREFETCHED) &&
        now - object->retrieved > (time_t)opt_prefetch_window())
        object->flags &= ~CACHE_PREFETCHED;
    if (create) {
        if (object->refcount > 0 || (object->flags & CACHE_PREFETCHED)) {
            if (object->flags & CACHE_PREFETCHED)
                putlog(LOG_DEBUG, "cache: [IP:%s]attempted to recreate cached file within "
                                  "prefetch window", ip);
            return OPEN_SETTLE;
        }
        putlog(LOG_DEBUG, "cache: [IP:%s]recreating file", ip);
        invalidate_unlocked(object, false);
        return OPEN_CREATE;
    }
    if ((object->flags & CACHE_WRITING) && (object->flags & CACHE_BUFFERWAIT)) {
        object->refcount++;
        return OPEN_RESULT;
    }
    if (!(object->flags & CACHE_MEM)) {
        int step = disk_map_attach(object, disk, ip, may_again, again);
        if (step != OPEN_CHECK)
            return step;
    }
    object->refcount++;
    return OPEN_CHECK;
}

/* A new object for a response the cache keeps, with its parsed header and
 * one reference in *object. Everything that refuses the response is asked
 * first, so that a refusal costs no object. A store wants a file made
 * before the lock: without one (or when the disk refused it) the round
 * ends here. */
int CacheSection::open_new(CONNECTION_T *conn, const char *key, const char *header_text,
                           int64_t text_len, int mode, const char *ip, time_t now,
                           CacheNewFile *file, bool may_again, bool *again, CACHEMAP **object)
{
    HEADER *header = http_header_parse_response(header_text);
    if (!header) {
        putlog(LOG_ERROR, "cache: [IP:%s]corrupt object: %s", ip, key);
        return OPEN_SETTLE;
    }
    if (refused_response(conn, header, mode, text_len, ip, key)) {
        http_header_free(header);
        return OPEN_SETTLE;
    }
    if (!memory_room((uint64_t)text_len)) {
        http_header_free(header);
        putlog(LOG_DEBUG, "cache: [IP:%s]memory cache full, not caching: %s", ip, key);
        return OPEN_SETTLE;
    }
    if (!file_usable(file) && may_again && store_pick(conn)) {
        /* A store takes it, but its file was not made for this store list
         * (or not at all): make it first. */
        http_header_free(header);
        *again = true;
        return OPEN_SETTLE;
    }
    if (file_usable(file) && file->err &&
        (!file->create_failed || file->err == ENOSPC || file->err == EDQUOT)) {
        /* The disk would not take the file or even the header's bytes. */
        http_header_free(header);
        putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", file->err, strerror(file->err),
               file->store->directory.c_str());
        file->store->disk_full = true;
        clean();
        return OPEN_SETTLE;
    }
    CACHEMAP *o = create_unlocked(conn, key, mode, now);
    if (!o) {
        http_header_free(header);
        return OPEN_SETTLE;
    }
    header->chunked = 0;   /* the stored body carries no chunk framing */
    o->header = header;    /* owned by the object now */
    o->start = text_len;
    *object = o;
    return OPEN_CHECK;
}

/*
 * Whether the rules refuse a response for a new object: not cacheable(),
 * no-store without allow-violations, a refresh rule that says not
 * cacheable (unless CACHE_FORCE), or an announced length over maxsize
 * (unless CACHE_FORCE) or over the memory cache. Logs the refusal.
 */
bool CacheSection::refused_response(CONNECTION_T *conn, const HEADER *response, int mode,
                                    int64_t text_len, const char *ip, const char *key)
{
    bool force = (mode & CACHE_FORCE) != 0;
    bool no_store = false;
    if (response->cache_control && !opt_allow_violations())
        no_store = cache_control_has(response->cache_control, "no-store");
    bool rule_refuses = false;
    for (const Refresh &r : refreshes) {
        if (!r.enabled)
            continue;
        if (conn ? !profile_find(conn->profiles, r.profiles) : !r.profiles.empty())
            continue;
        rule_refuses = !r.cacheable && !force;
        break;
    }
    if (!cacheable(response) || no_store || rule_refuses) {
        putlog(LOG_DEBUG, "cache: [IP:%s]uncachable: %s", ip, key);
        return true;
    }
    if (!(response->flags & HEADER_HAS_LENGTH))
        return false;
    uint64_t length = (uint64_t)std::max<int64_t>(response->content_length, 0);
    uint64_t maxsize = opt_maxsize();
    if (maxsize && length > maxsize && !force) {
        putlog(LOG_DEBUG, "cache: [IP:%s]file size: %llu exceeds maxsize: %llu", ip,
               (unsigned long long)length, (unsigned long long)maxsize);
        return true;
    }
    /* An object is mapped whole: one that cannot fit in memory is never
     * cached, however the server announces it. */
    uint64_t limit = opt_memory_size();
    if (length > limit || (uint64_t)text_len > limit - length) {
        putlog(LOG_DEBUG, "cache: [IP:%s]file size: %llu exceeds memory cache size: %llu", ip,
               (unsigned long long)length, (unsigned long long)limit);
        return true;
    }
    return false;
}

/* The checks of an object that holds one reference for this call: a new
 * one gets its store and its header text; a found one must parse, be
 * cacheable and, unless offline, no violation, in a coding the client
 * takes (else a miss). */
int CacheSection::open_check(CONNECTION_T *conn, CACHEMAP *object, const char *key,
                             const char *header_text, int64_t text_len, int mode, const char *ip,
                             time_t now, CacheNewFile *file)
{
    bool create = (mode & CACHE_WRITING) != 0;
    if (object->flags & CACHE_INVALID) {
        putlog(LOG_DEBUG, "cache: [IP:%s]uncachable: %s", ip, key);
        return OPEN_DISCARD;
    }
    if ((object->flags & CACHE_DISCARD) && now > object->retrieved + CACHE_DISCARD_SECONDS)
        return OPEN_DISCARD;
    object->accessed = now;

    if (create) {
        bool in_file = file_take(object, file);
        if (add_unlocked(object, header_text, text_len, 0, in_file) < 0) {
            /* Already dropped by add_unlocked; give back our reference. */
            invalidate_unlocked(object, true);
            return OPEN_SETTLE;
        }
        putlog(LOG_DEBUG, "[IP:%s] cache header offset: %lld", ip, (long long)object->start);
        return OPEN_RESULT;
    }
    if (!object->header && !header_unlocked(object)) {
        putlog(LOG_ERROR, "cache: [IP:%s]corrupt object: %s", ip, key);
        return OPEN_DISCARD;
    }
    if (object->start == 0 || !object->header || !cacheable(object->header)) {
        putlog(LOG_ERROR, "cache: [IP:%s]corrupt object: %s", ip, key);
        return OPEN_DISCARD;
    }
    check_header_at(object, now);
    if (!(mode & CACHE_OFFLINE) && (object->flags & CACHE_VIOLATION) && !opt_allow_violations()) {
        object->refcount--;   /* a miss: the lookup keeps nothing */
        return OPEN_SETTLE;
    }
    if (conn && conn->header &&
        !cache_encoding_accepted(conn->header->accept_encoding, object->header->content_encoding)) {
        putlog(LOG_DEBUG, "cache: [IP:%s]content encoding %s not accepted: %s", ip,
               object->header->content_encoding, key);
        object->refcount--;
        return OPEN_SETTLE;
    }
    return OPEN_RESULT;
}

/* Drops an object refused by its checks, giving up this call's reference;
 * when memory is short new objects wait for the next cleaning. */
void CacheSection::open_discard(CACHEMAP *object, time_t now)
{
    uint64_t limit = opt_memory_size();
    uint64_t extra = opt_memory_free_extra();
    time_t interval = opt_clean_interval();
    if (mem_bytes > limit - extra && now < clean_time + interval + 60) {
        {
            WriteGuard guard(&no_cache);
            next_cache = clean_time + interval + 120;
        }
    }
    invalidate_unlocked(object, true);
}

/* After every admitted call: memory close to its limit holds new objects
 * back, a full store is marked, and cleaning runs when over a limit. */
void CacheSection::open_settle(CACHEMAP *result, time_t now)
{
    uint64_t limit = opt_memory_size();
    uint64_t extra = opt_memory_free_extra();
    time_t interval = opt_clean_interval();
    if (clean_state <= 2 && mem_bytes > limit - extra && now < clean_time + interval) {
        {
            WriteGuard guard(&no_cache);
            next_cache = clean_time + (time_t)overload_factor * 60 + interval + 120;
        }
        clean_state = 3;
    }
    bool store_over = result && result->store && result->store->bytes > result->store->size;
    if (store_over)
        result->store->disk_full = true;
    if (mem_bytes > limit || store_over)
        clean();
}

/*
 * The lookup of a finished object under the shared lock. Returns
 * OPEN_RESULT with one reference in *object (freshness flags updated), or
 * OPEN_SETTLE for a miss that changes nothing, or OPEN_CHECK when the
 * lookup needs the lock alone (an object not mapped, being written, dead,
 * prefetched, to be discarded, freshness not yet worked out,
 * memory or its store near their limits).
 */
int CacheSection::open_shared(CONNECTION_T *conn, const char *key, int mode, time_t now,
                              CACHEMAP **object, CacheDiskMap *disk)
{
    if (!opt_enabled() || !key || !key[0] || strlen(key) > CACHE_KEY_MAX)
        return OPEN_SETTLE;
    if (conn && conn->header && conn->header->authorization)
        return OPEN_SETTLE;
    CACHEMAP *o = hash_find(key);
    if (!o)
        return OPEN_SETTLE;
    int flags = o->flags;
    if (!(flags & (CACHE_MEM | CACHE_INVALID | CACHE_WRITING))) {
        /* On disk only: its mapping is made before the lock is taken
         * alone. */
        (void)disk_map_want(o, disk);
        return OPEN_CHECK;
    }
    if (!(flags & CACHE_MEM) || !o->header || o->start == 0 ||
        (flags & (CACHE_INVALID | CACHE_WRITING | CACHE_BUFFERWAIT | CACHE_PREFETCHED |
                  CACHE_DISCARD)) ||
        (o->store && o->store->bytes > o->store->size))
        return OPEN_CHECK;
    if (mem_bytes > opt_memory_size() - opt_memory_free_extra())
        return OPEN_CHECK;   /* the settling step has work to do */
    if (!cacheable(o->header))
        return OPEN_CHECK;
    CacheFreshness f;
    cache_freshness(o, now, &f);
    if (f.expires != o->expires || f.fresh_until != o->fresh_until ||
        f.last_modified != o->last_modified)
        return OPEN_CHECK;   /* worked out for the first time: stored alone */
    /* As check_header_at would leave them; atomics, as other hits may do
     * the same at once. */
    if (f.expired && !(flags & CACHE_EXPIRED))
        o->flags |= CACHE_EXPIRED;
    else if (!f.expired && (flags & CACHE_EXPIRED))
        o->flags &= ~CACHE_EXPIRED;
    if (f.violation && !(flags & CACHE_VIOLATION))
        o->flags |= CACHE_VIOLATION;
    if (!(mode & CACHE_OFFLINE) && (o->flags & CACHE_VIOLATION) && !opt_allow_violations())
        return OPEN_SETTLE;
    if (conn && conn->header &&
        !cache_encoding_accepted(conn->header->accept_encoding, o->header->content_encoding)) {
        putlog(LOG_DEBUG, "cache: [IP:%s]content encoding %s not accepted: %s", cache_ip(conn),
               o->header->content_encoding, key);
        return OPEN_SETTLE;
    }
    o->refcount++;
    o->accessed = now;
    *object = o;
    return OPEN_RESULT;
}

CACHEMAP *CacheSection::lookup(CONNECTION_T *conn, const char *key, int mode)
{
    ASSERT(conn && conn->header);
    ASSERT(!(mode & CACHE_WRITING));
    time_t now = utc_time(nullptr);
    bool check_request = !(mode & CACHE_OFFLINE);
    CacheDiskMap disk;
    {
        CacheLock lock(*this, true);
        CACHEMAP *object = nullptr;
        int step = open_shared(conn, key, mode, now, &object, &disk);
        if (step == OPEN_SETTLE)
            return nullptr;
        if (step == OPEN_RESULT) {
            view_fill_locked(conn, object, now, check_request);
            return object;
        }
    }
    return open_rounds(conn, key, nullptr, mode, now, &disk, true);
}

/* Copies what serving object needs into conn->cache_view; with
 * check_request, CACHE_VALIDATE is set there by validate_wanted. Lock
 * held, shared will do. */
void CacheSection::view_fill_locked(CONNECTION_T *conn, CACHEMAP *object, time_t now,
                                    bool check_request)
{
    CACHEVIEW *v = &conn->cache_view;
    free(v->header_text);
    v->header_text = nullptr;
    v->object = object;
    v->flags = object->flags & ~CACHE_VALIDATE;
    if (check_request && validate_wanted(object, conn->header, now))
        v->flags |= CACHE_VALIDATE;
    v->retrieved = object->retrieved;
    v->last_modified = object->last_modified;
    /* A dead object is never whole, whatever its writer did: its size is
     * only what arrived before it died. */
    v->finished = !(object->flags & (CACHE_WRITING | CACHE_INVALID));
    v->body_length = object->size - object->start;
    v->announced = object->header && (object->header->flags & HEADER_HAS_LENGTH)
                       ? object->header->content_length
                       : -1;
    if (object->map && object->start > 0)
        v->header_text = xstrndup(object->map, (size_t)object->start);
}

void CacheSection::view_fill(CONNECTION_T *conn)
{
    if (!conn->cache)
        return;
    CacheLock lock(*this, true);
    view_fill_locked(conn, conn->cache, utc_time(nullptr), false);
}

char *CacheSection::hit_header(CONNECTION_T *conn)
{
    CACHEVIEW *v = &conn->cache_view;
    if (v->object == conn->cache && v->header_text) {
        char *text = v->header_text;
        v->header_text = nullptr;   /* the caller's now */
        return text;
    }
    return stored_header(conn->cache);
}

int64_t CacheSection::hit_age(CONNECTION_T *conn)
{
    CACHEVIEW *v = &conn->cache_view;
    if (v->object != conn->cache)
        return age(conn->cache);
    int64_t a = (int64_t)(utc_time(nullptr) - v->retrieved);
    return a > 0 ? a : 0;
}

bool CacheSection::storable(CONNECTION_T *conn, const HEADER *response, int mode)
{
    if (!response || !cacheable(response))
        return false;
    CacheLock lock(*this, true);
    if (!opt_enabled() || (conn && (conn->flags & CONN_CARP)))
        return false;
    int64_t text_len = response->raw ? (int64_t)strlen(response->raw) : 0;
    const char *key = conn && conn->header && conn->header->url ? conn->header->url : "-";
    return !refused_response(conn, response, mode, text_len, cache_ip(conn), key);
}

/* A new indexed object for key with the refresh rule applied, flags from
 * mode, one reference; NULL when memory runs out. */
CACHEMAP *CacheSection::create_unlocked(CONNECTION_T *conn, const char *key, int mode, time_t now)
{
    CACHEMAP *object = cachemap_new(true);
    if (!object)
        return nullptr;
    object->key = xstrdup(key);
    if (!object->key) {
        pthread_cond_destroy(&object->cond);
        free(object);
        return nullptr;
    }
    object->flags |= mode & CACHE_FLAGS_ALL & ~CACHE_OFFLINE;   /* FORCE counts in the rule */
    select_refresh(conn, object);
    object->retrieved = now;
    object->refcount = 1;
    if (!hash_add(object)) {
        cache_free(object);
        return nullptr;
    }
    return object;
}

/* Parses the header at the front of a mapped object: sets start and
 * header. false when there is no complete header block or it does not
 * parse. */
bool CacheSection::header_unlocked(CACHEMAP *object)
{
    object->start = cache_header_end(object->map, object->size);
    if (object->start == 0)
        return false;
    char *text = xstrndup(object->map, (size_t)object->start);
    if (!text)
        return false;
    object->header = http_header_parse_response(text);
    free(text);
    if (object->header)
        object->header->chunked = 0;   /* the stored body carries no chunk framing */
    return object->header != nullptr;
}

/*
 * Names the file of an object on disk only for a mapping made without the
 * lock. Lock held (shared will do). false when the object has no usable
 * file (no store, no bytes, no name): it is to be dropped.
 */
bool CacheSection::disk_map_want(const CACHEMAP *object, CacheDiskMap *disk)
{
    if (!object->store || object->size <= 0)
        return false;
    char path[4096];
    if (filename(object, path, sizeof path) < 0)
        return false;
    disk_map_release(disk);
    disk->serial = object->serial;
    disk->size = object->size;
    disk->path = path;
    disk->md5_on = object->store->md5;
    strcpy(disk->md5_want, object->md5);
    disk->made = false;
    disk->drop = false;
    return true;
}

/*
 * Opens, checks and maps the file named, with no lock held. The journal
 * says how long the object is: a missing file, one of another length and
 * (with checksums on) one whose bytes changed behind the cache's back are
 * never served (drop). A mapping that cannot be made leaves the object on
 * disk. The header at the front is parsed here too.
 */
void CacheSection::disk_map_make(CacheDiskMap *disk, const char *ip)
{
    disk->made = true;
    int err = cache_fault("open");
    int fd = err ? -1 : s_open(disk->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        putlog(LOG_ERROR, "cache: [IP:%s]failed to open cache file: %s", ip, disk->path.c_str());
        disk->drop = true;
        return;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        putlog(LOG_ERROR, "[system: [IP:%s] fstat:%d:%s], in %s, unable to return information "
               "about %s", ip, errno, strerror(errno), __func__, disk->path.c_str());
        close(fd);
        disk->drop = true;
        return;
    }
    if ((int64_t)st.st_size != disk->size) {
        putlog(LOG_ERROR, "cache: [IP:%s]file meta information didn't match journaled data", ip);
        close(fd);
        disk->drop = true;
        return;
    }
    err = cache_fault("mmap");
    void *p = err ? MAP_FAILED : mmap(nullptr, (size_t)disk->size, PROT_READ, MAP_SHARED, fd, 0);
    int map_errno = err ? err : errno;
    close(fd);
    if (p == MAP_FAILED) {
        putlog(LOG_ERROR, "[IP:%s] [system: mmap:%d:%s], in %s, cache: unable to create memory "
               "map", ip, map_errno, strerror(map_errno), __func__);
        return;
    }
    disk->map = (char *)p;
    disk->mtime = st.st_mtime;
    disk->atime = st.st_atime;
    if (disk->md5_on) {
        if (!md5_hex(disk->map, disk->size, disk->md5_got))
            disk->md5_got[0] = '\0';   /* no digest to be had: nothing to compare */
        else if (strcmp(disk->md5_want, "0") != 0 && strcmp(disk->md5_want, disk->md5_got) != 0) {
            putlog(LOG_ERROR, "cache: md5 mismatch, expected: %s got: %s", disk->md5_want,
                   disk->md5_got);
            munmap(disk->map, (size_t)disk->size);
            disk->map = nullptr;
            disk->drop = true;
            return;
        }
    }
    if (madvise(p, (size_t)disk->size, MADV_WILLNEED) != 0)
        putlog(LOG_ERROR, "[IP:%s] [system: madvise:%d:%s], in %s, cache: unable to create "
               "memory map", ip, errno, strerror(errno), __func__);
    disk->start = cache_header_end(disk->map, disk->size);
    if (disk->start > 0) {
        char *text = xstrndup(disk->map, (size_t)disk->start);
        disk->header = text ? http_header_parse_response(text) : nullptr;
        free(text);
        if (disk->header)
            disk->header->chunked = 0;   /* the stored body carries no chunk framing */
    }
}

/*
 * An object on disk only, for a lookup, under the lock held alone: the
 * mapping made for this very object (same serial, same length) becomes
 * its own, within memory-cache-size. Anything else asks for a mapping
 * (*again) while rounds are left. OPEN_CHECK when mapped, else
 * OPEN_SETTLE (a miss; a dropped object is freed).
 */
int CacheSection::disk_map_attach(CACHEMAP *object, CacheDiskMap *disk, const char *ip,
                                  bool may_again, bool *again)
{
    ASSERT(!object->map && object->fd < 0 && object->refcount == 0);
    if (disk->serial != object->serial || disk->size != object->size || !disk->made) {
        if (!object->store) {
            putlog(LOG_ERROR, "cache: [IP:%s]failed to open cache file: %s", ip, object->key);
            invalidate_unlocked(object, false);
            return OPEN_SETTLE;
        }
        if (!disk_map_want(object, disk)) {
            invalidate_unlocked(object, false);
            return OPEN_SETTLE;
        }
        if (may_again)
            *again = true;
        return OPEN_SETTLE;
    }
    if (disk->drop) {
        invalidate_unlocked(object, false);
        return OPEN_SETTLE;
    }
    if (!disk->map)
        return OPEN_SETTLE;   /* could not be mapped: it stays on disk */
    /* Making room may clean; the reference keeps this object out of it. */
    object->refcount++;
    bool room = memory_room((uint64_t)object->size);
    object->refcount--;
    if (!room) {
        putlog(LOG_DEBUG, "cache: [IP:%s]memory cache full, not mapping: %s", ip, object->key);
        return OPEN_SETTLE;
    }
    if (performance_log)
        performance_log->set_cache_mmaps_created(1);
    object->map = disk->map;
    disk->map = nullptr;
    object->maplen = object->size;
    object->retrieved = disk->mtime + gmtoffset;
    /* Hits stamp their access in memory only: the later time counts. */
    if (disk->atime + gmtoffset > object->accessed)
        object->accessed = disk->atime + gmtoffset;
    object->flags |= CACHE_MEM;
    mem_bytes += (uint64_t)object->size;
    mem_objects++;
    http_header_free(object->header);
    object->header = disk->header;
    object->start = disk->header ? disk->start : 0;
    disk->header = nullptr;
    if (!disk->md5_on)
        strcpy(object->md5, "0");
    else if (strcmp(object->md5, "0") == 0 && disk->md5_got[0])
        strcpy(object->md5, disk->md5_got);
    return OPEN_CHECK;
}

/* Drops what a mapping made for a disk hit holds, unless it was published;
 * inside a CacheLock scope the unmapping waits for the lock's end. */
void CacheSection::disk_map_release(CacheDiskMap *disk)
{
    if (disk->map)
        cache_unmap(disk->map, disk->size);
    disk->map = nullptr;
    http_header_free(disk->header);
    disk->header = nullptr;
    disk->serial = 0;
    disk->made = false;
}

/* New objects' files. */

/*
 * The store a new object of key would go to, when one would (lock held,
 * shared will do): nothing when the cache is off, the creation is refused
 * whatever the response (CARP, credentials, an object of the key in use,
 * dead or prefetched) or no store takes it.
 */
void CacheSection::file_choose(CONNECTION_T *conn, const char *key, time_t now,
                               CacheNewFile *file)
{
    file->store = nullptr;
    if (!opt_enabled() || !key || !key[0] || strlen(key) > CACHE_KEY_MAX)
        return;
    if (conn && ((conn->flags & CONN_CARP) || (conn->header && conn->header->authorization)))
        return;
    const CACHEMAP *o = hash_find(key);
    if (o && ((o->flags & CACHE_INVALID) || o->refcount > 0 ||
              ((o->flags & CACHE_PREFETCHED) &&
               !(now - o->retrieved > (time_t)opt_prefetch_window()))))
        return;
    Store *store = store_pick(conn);
    if (!store)
        return;
    char path[4096];
    if (cache_path(store, key, path, sizeof path) < 0)
        return;
    file->store = store;
    file->generation = store_generation;
    file->directory = store->directory;
    file->path = path;
}

/*
 * Makes the chosen file with no lock held: a private name in the store's
 * "tmp" directory, the header's bytes reserved and written. A failure is
 * kept in err for the creating step to judge, as the disk said it.
 */
void CacheSection::file_make(CacheNewFile *file, const char *header_text)
{
    file->made = true;
    file->temp = file->directory + "/tmp/" + file_nonce + "." + std::to_string(++file_seq);
    int err = cache_fault("open");
    int fd = -1;
    if (!err) {
        fd = s_open(file->temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0 && errno == ENOENT) {
            std::string tmp = file->directory + "/tmp";
            if (mkdir(tmp.c_str(), 0755) == 0 || errno == EEXIST)
                fd = s_open(file->temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        }
        if (fd < 0)
            err = errno;
    }
    if (fd < 0) {
        file->err = err;
        file->create_failed = true;
        return;
    }
    size_t len = header_text ? strlen(header_text) : 0;
    int rc = cache_fault("fallocate");
    if (!rc && len > 0)
        rc = posix_fallocate(fd, 0, (off_t)len);
    for (size_t off = 0; !rc && off < len;) {
        ssize_t n = pwrite(fd, header_text + off, len - off, (off_t)off);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            rc = n < 0 ? errno : EIO;
        else
            off += (size_t)n;
    }
    if (rc) {
        close(fd);
        unlink(file->temp.c_str());
        file->temp.clear();
        file->err = rc;
        return;
    }
    file->fd = fd;
    file->reserved = (int64_t)len;
}

/* Whether the file was made for the store list as it is now. Lock held. */
bool CacheSection::file_usable(const CacheNewFile *file) const
{
    return file->store && file->made && file->generation == store_generation;
}

/*
 * The creating step's part (lock held alone): the new object takes the
 * file made for it, is counted in its store and journaled as being
 * written; a deletion of its path still queued (an old object's) is taken
 * off the queue. Without a usable file the object lives in memory only.
 * true when the file holds the header's bytes already.
 */
bool CacheSection::file_take(CACHEMAP *object, CacheNewFile *file)
{
    object->store = nullptr;
    object->flags &= ~CACHE_DISK;
    if (!file_usable(file))
        return false;
    Store *store = file->store;
    if (file->err) {
        putlog(LOG_ERROR, "cache: [%d:%s] failed to create object in %s", file->err,
               strerror(file->err), store->directory.c_str());
        return false;
    }
    if (store->bytes > store->size)
        store->disk_full = true;
    unlink_list_zap(file->path, false);
    {
        MutexGuard guard(&unlink_lock);   /* a sweep of orphans leaves it alone */
        if (sweeping)
            sweep_made.insert(file->path);
    }
    object->store = store;
    object->fd = file->fd;
    file->fd = -1;
    object->reserved = file->reserved;
    store->entries++;
    object->flags |= CACHE_DISK;
    journal_add(object);
    file->object = object;
    return true;
}

/*
 * After the creating step, with no lock held: the new object's file is
 * renamed to its path, once a deletion of that path in progress (an old
 * object's file) is over. When the rename fails the object is dropped
 * (NULL: the response is not cached). A reload that took the object out
 * of its store meanwhile has no journal naming the path: the file goes.
 */
CACHEMAP *CacheSection::file_publish(CacheNewFile *file, CACHEMAP *object)
{
    unlink_wait(file->path);
    int err = cache_fault("rename");
    int rc = err ? -1 : rename(file->temp.c_str(), file->path.c_str());
    if (rc != 0 && !err && errno == ENOENT) {
        std::string dir = file->path.substr(0, file->path.rfind('/'));
        if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
            rc = rename(file->temp.c_str(), file->path.c_str());
    }
    if (rc != 0) {
        if (!err)
            err = errno;
        putlog(LOG_ERROR, "cache: [%d:%s] failed to create object in %s", err, strerror(err),
               file->directory.c_str());
        unlink(file->temp.c_str());
        file->temp.clear();
        CacheLock lock(*this);
        invalidate_unlocked(object, true);
        return nullptr;
    }
    file->temp.clear();
    bool detached;
    {
        CacheLock lock(*this, true);
        detached = !object->store || !(object->flags & CACHE_DISK);
    }
    if (detached)
        unlink(file->path.c_str());
    return object;
}

/* A file made but not taken, or taken by an object that died in its
 * creating step, is removed; no lock held. */
void CacheSection::file_discard(CacheNewFile *file)
{
    if (file->fd >= 0)
        close(file->fd);
    file->fd = -1;
    if (!file->temp.empty())
        unlink(file->temp.c_str());
    file->temp.clear();
}

/* Writing. */

int64_t CacheSection::add(CACHEMAP *object, const void *data, int64_t len)
{
    int64_t reserved = reserve_ahead(object, len);
    CacheLock lock(*this);
    return add_unlocked(object, (const char *)data, len, reserved);
}

/* The length the mapping of object grows to for need bytes: at once up to
 * the header plus the announced Content-Length, else in CACHE_MAP_STEP
 * steps. Lock held (shared will do). */
int64_t CacheSection::map_length(const CACHEMAP *object, int64_t need)
{
    int64_t newlen = (need + CACHE_MAP_STEP - 1) / CACHE_MAP_STEP * CACHE_MAP_STEP;
    const HEADER *h = object->header;
    if (h && (h->flags & HEADER_HAS_LENGTH) && h->content_length >= 0 &&
        h->content_length <= INT64_MAX - object->start &&
        object->start + h->content_length >= need &&
        (uint64_t)(object->start + h->content_length) <= opt_memory_size())
        newlen = object->start + h->content_length;
    return newlen;
}

/*
 * The writer's reservation of disk blocks for the next len bytes, made
 * before it takes the lock alone: the file, its descriptor, the mapping's
 * length and the size change only by the writer, which holds a reference.
 * Returns the file length reserved, 0 when nothing was to be done (no
 * file, room enough, a bad length), or -errno when the disk refused.
 */
int64_t CacheSection::reserve_ahead(CACHEMAP *object, int64_t len)
{
    int fd;
    int64_t newlen;
    {
        CacheLock lock(*this, true);
        fd = object->fd;
        if (fd < 0 || len <= 0 || object->size > INT64_MAX - len ||
            !(object->flags & CACHE_WRITING) || object->size + len <= object->reserved)
            return 0;
        newlen = map_length(object, object->size + len);
    }
    int rc = cache_fault("fallocate");
    if (!rc)
        rc = posix_fallocate(fd, 0, (off_t)newlen);
    return rc ? -rc : newlen;
}

int64_t CacheSection::add_unlocked(CACHEMAP *object, const char *data, int64_t len,
                                   int64_t reserved, bool in_file)
{
    if (len < 0 || !(object->flags & CACHE_WRITING))
        return -1;
    /* A dead object is still fed while readers hold it; once the writer is
     * alone with it, nothing more is kept. */
    bool feeding = (object->flags & CACHE_INVALID) != 0;
    if (feeding && object->refcount <= 1) {
        invalidate_keep_unlocked(object);
        return -1;
    }
    if (len == 0)
        return 0;
    if (object->size > INT64_MAX - len) {
        invalidate_keep_unlocked(object);
        return -1;
    }

    if (!object->map && !object->store) {
        putlog(LOG_DEBUG, "cache: warn: caching only in memory");
        object->flags &= ~CACHE_DISK;
    }

    /* The body may not outgrow the length its server announced: readers
     * were promised that length and no more. */
    const HEADER *h = object->header;
    if (h && (h->flags & HEADER_HAS_LENGTH) &&
        object->size + len - object->start > std::max<int64_t>(h->content_length, 0)) {
        putlog(LOG_DEBUG, "cache: invalidating object: longer than its Content-Length: %s",
               object->key);
        invalidate_keep_unlocked(object);
        return -1;
    }
    /* A body with no announced length is fed to its readers no further
     * than the memory cache's size. */
    if (feeding && !(h && (h->flags & HEADER_HAS_LENGTH)) &&
        (uint64_t)(object->size - object->start + len) > opt_memory_size()) {
        invalidate_keep_unlocked(object);
        return -1;
    }
    uint64_t maxsize = opt_maxsize();
    if (!feeding && maxsize && (uint64_t)(object->size - object->start + len) > maxsize &&
        !(object->flags & CACHE_FORCE)) {
        putlog(LOG_DEBUG, "cache: invalidating object: file size: %llu exceeds maxsize: %llu",
               (unsigned long long)(object->size - object->start + len),
               (unsigned long long)maxsize);
        if (!doom_unlocked(object))
            return -1;
        feeding = true;
    }
    if (!feeding && !memory_room((uint64_t)len)) {
        putlog(LOG_DEBUG, "cache: memory cache full, object dropped: %s", object->key);
        if (!doom_unlocked(object))
            return -1;
        feeding = true;
    }

    int rc = resize(object, len, reserved);
    if (rc == CACHE_RESIZE_DISK && object->refcount > 1 && doom_unlocked(object) &&
        to_memory_unlocked(object, object->size + len)) {
        /* Its readers are fed from memory; the file goes with the object. */
        feeding = true;
        in_file = false;
        rc = resize(object, len, 0);
    }
    if (rc != CACHE_RESIZE_OK) {
        Store *store = object->store;
        bool disk = rc == CACHE_RESIZE_DISK && (object->flags & CACHE_DISK);
        invalidate_keep_unlocked(object);
        if (disk && store) {
            store->disk_full = true;
            clean();
        }
        return -1;
    }
    if (!in_file)
        memcpy(object->map + object->size, data, (size_t)len);   /* else written before the lock */
    object->size += len;
    mem_bytes += (uint64_t)len;
    if ((object->flags & CACHE_DISK) && object->store) {
        object->store->bytes += (uint64_t)len;
        if (object->store->bytes > object->store->size)
            object->store->disk_full = true;
    }

    if (object->refcount > 1)
        wake(object);
    if (object->store && object->store->bytes > object->store->size)
        clean();
    else if (mem_bytes > opt_memory_size())
        clean();
    return len;
}

/*
 * The object will not be kept. Readers that joined it while it was
 * written are fed to the end all the same: it is marked dead (no lookup
 * finds it, its journal line says so) but stays CACHE_WRITING while anyone
 * but the writer holds it, and it is freed after its last reader. Alone,
 * the writer stops here. Returns true when the writer goes on adding.
 */
bool CacheSection::doom_unlocked(CACHEMAP *object)
{
    if (object->refcount > 1 && (object->flags & CACHE_WRITING)) {
        if (!(object->flags & CACHE_INVALID)) {
            putlog(LOG_DEBUG, "cache: invalidated: %s", object->key);
            object->flags |= CACHE_INVALID;
            journal_add(object);
        }
        return true;
    }
    invalidate_keep_unlocked(object);
    return false;
}

/*
 * A dead object whose file the disk will not extend, still fed for its
 * readers: its bytes move to an anonymous mapping of need bytes (or more),
 * its file is closed and queued for deletion. false when no such mapping
 * can be had (the object is unchanged).
 */
bool CacheSection::to_memory_unlocked(CACHEMAP *object, int64_t need)
{
    int64_t newlen = map_length(object, need);
    int err = cache_fault("mmap");
    void *p = err ? MAP_FAILED
                  : mmap(nullptr, (size_t)newlen, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED)
        return false;
    if (object->map) {
        memcpy(p, object->map, (size_t)object->size);
        cache_unmap(object->map, object->maplen);
    }
    map_set(object, p, newlen);
    if (object->fd >= 0)
        close(object->fd);
    object->fd = -1;
    object->reserved = 0;
    if ((object->flags & CACHE_DISK) && object->store)
        disk_delete(object);
    return true;
}

/*
 * Makes the mapping hold size + len bytes (map_length). A file being
 * written gets its blocks reserved first, so that a full disk shows here
 * and never as a fault on the mapping: by the writer before it took the
 * lock (reserved: the length reserved, or -errno). Returns a
 * cache_resize_result; on failure the object is unchanged.
 */
int CacheSection::resize(CACHEMAP *object, int64_t len, int64_t reserved)
{
    int64_t need = object->size + len;
    bool mapped = object->map && need <= object->maplen;
    bool on_disk = object->fd < 0 || need <= object->reserved;
    if (mapped && on_disk)
        return CACHE_RESIZE_OK;

    int64_t newlen = map_length(object, need);
    if (!on_disk && reserved >= need) {
        object->reserved = reserved;
    } else if (!on_disk) {
        /* The writer reserves blocks before it takes the lock: the
         * header's with its file, the body's in reserve_ahead. A write it
         * could not reserve is refused here, never reserved under the
         * lock. */
        int rc = reserved < 0 ? (int)-reserved : ENOSPC;
        errno = rc;
        if (object->store)
            putlog(LOG_ERROR, "cache: [%d:%s] disk is full for %s", rc, strerror(rc),
                   object->store->directory.c_str());
        else
            putlog(LOG_ERROR, "cache: [%d:%s] unable to extend an object file", rc,
                   strerror(rc));
        return CACHE_RESIZE_DISK;
    }
    if (mapped)
        return CACHE_RESIZE_OK;

    void *p;
    const char *call = object->map ? "mremap" : "mmap";
    int err = cache_fault(call);
    if (err)
        p = MAP_FAILED;
    else if (object->map)
        p = p_mremap(object->map, (size_t)object->maplen, (size_t)newlen, MREMAP_MAYMOVE);
    else if (object->fd >= 0)
        p = mmap(nullptr, (size_t)newlen, PROT_READ | PROT_WRITE, MAP_SHARED, object->fd, 0);
    else
        p = mmap(nullptr, (size_t)newlen, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                 -1, 0);
    if (p == MAP_FAILED) {
        if (err)
            errno = err;
        int e = errno;
        putlog(LOG_ERROR, "[system: %s:%d:%s], in %s, cache: unable to create memory map",
               object->map ? "p_mremap" : "mmap", e, strerror(e), __func__);
        putlog(LOG_ERROR, "cache: memory: %d objects, %llu bytes, Memory cache size: %llu bytes, "
               "Memory free extra: %llu bytes", mem_objects, (unsigned long long)mem_bytes,
               (unsigned long long)opt_memory_size(),
               (unsigned long long)opt_memory_free_extra());
        return CACHE_RESIZE_MEMORY;
    }
    map_set(object, p, newlen);
    return CACHE_RESIZE_OK;
}

/* The object's mapping is p now, newlen bytes long (the old one, if any,
 * was moved or let go by the caller); a first mapping marks it CACHE_MEM
 * and is counted. */
void CacheSection::map_set(CACHEMAP *object, void *p, int64_t newlen)
{
    if (!object->map) {
        object->flags |= CACHE_MEM;
        mem_objects++;
        if (performance_log)
            performance_log->set_cache_mmaps_created(1);
    }
    object->map = (char *)p;
    object->maplen = newlen;
}

/* The writer is done: the mapping is cut to the bytes stored (the file
 * was cut and closed by finish_file before the lock; a descriptor still
 * open here is closed the same way). */
void CacheSection::shrink_unlocked(CACHEMAP *object)
{
    file_cut(object);
    if (object->map && object->maplen != object->size && object->size > 0) {
        void *p = p_mremap(object->map, (size_t)object->maplen, (size_t)object->size, 0);
        if (p != MAP_FAILED) {
            object->map = (char *)p;
            object->maplen = object->size;
        }
    }
}

/* Closing and dropping. */

void CacheSection::cache_close(CACHEMAP *object, bool writer)
{
    if (!writer && close_shared(object))
        return;
    char md5[33] = "";
    if (writer)
        finish_file(object, md5);
    CacheLock lock(*this);
    if (object->key)
        close_unlocked(object, writer, md5);
}

/* A reader's close of a finished, live object under the shared lock: the
 * access is stamped in memory and the reference given back. false when
 * the close needs the lock alone (the object is written, waited for or
 * dead). Nothing under the lock held alone can see the count change: it
 * shuts the shared holders out. */
bool CacheSection::close_shared(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    if (object->flags & (CACHE_WRITING | CACHE_BUFFERWAIT | CACHE_INVALID))
        return false;
    ASSERT(object->refcount > 0);
    object->accessed = utc_time(nullptr);
    object->refcount--;
    return true;
}

void CacheSection::close_unlocked(CACHEMAP *object, bool writer, const char *md5)
{
    ASSERT(object->refcount > 0);
    object->refcount--;
    if (!writer) {
        /* A dead object goes with its last holder, even one whose download
         * was behind the progress page when it failed. */
        if (object->flags & CACHE_INVALID) {
            if (object->refcount == 0)
                free_unlocked(object);
            return;
        }
        if (object->flags & (CACHE_WRITING | CACHE_BUFFERWAIT))
            return;
        touch_unlocked(object, 0);
        return;
    }

    /* The writer finishes the object; whatever happens next, readers
     * waiting for more must look again. */
    bool was_writing = (object->flags & CACHE_WRITING) != 0;
    object->flags &= ~(CACHE_WRITING | CACHE_BUFFERWAIT);
    wake(object);

    const HEADER *h = object->header;
    int64_t body = object->size - object->start;
    if (was_writing && !(object->flags & CACHE_INVALID) && h && (h->flags & HEADER_HAS_LENGTH) &&
        body != h->content_length) {
        putlog(LOG_DEBUG, "cache: incomplete object: %s, %lld of %lld bytes", object->key,
               (long long)body, (long long)h->content_length);
        invalidate_keep_unlocked(object);
    }
    if (object->header && body >= 0) {
        object->header->content_length = body;
        object->header->flags |= HEADER_HAS_LENGTH;
    }
    shrink_unlocked(object);

    if (object->flags & CACHE_INVALID) {
        if (object->refcount == 0)
            free_unlocked(object);
        return;
    }
    if (object->size == 0 && opt_minsize() == 0) {
        invalidate_unlocked(object, false);
        return;
    }
    if ((uint64_t)object->size < opt_minsize()) {
        putlog(LOG_DEBUG, "cache: file size: %lld less than minsize: %llu",
               (long long)object->size, (unsigned long long)opt_minsize());
        invalidate_unlocked(object, false);
        return;
    }
    if (md5 && md5[0] && object->store && object->store->md5)
        strcpy(object->md5, md5);   /* worked out by finish_file */
    else
        md5_check(object);
    touch_unlocked(object, 1);
}

/* Marks the object dead without giving up a reference: its writing ends and
 * waiting readers are woken; it is freed at its last close. */
void CacheSection::invalidate_keep_unlocked(CACHEMAP *object)
{
    if (!(object->flags & CACHE_INVALID)) {
        putlog(LOG_DEBUG, "cache: invalidated: %s", object->key);
        object->flags |= CACHE_INVALID;
        journal_add(object);
    }
    if (object->flags & CACHE_WRITING) {
        object->flags &= ~CACHE_WRITING;
        wake(object);
    }
}

/* Marks the object dead; with holds_reference the caller gives up its
 * reference. Freed at once when no holder is left. */
void CacheSection::invalidate_unlocked(CACHEMAP *object, bool holds_reference)
{
    invalidate_keep_unlocked(object);
    if (holds_reference) {
        ASSERT(object->refcount > 0);
        object->refcount--;
    }
    if (object->refcount == 0)
        free_unlocked(object);
}

/* True when key has the form scheme "://" rest with a scheme of 1 to 15
 * characters: the cache browser links such a key through the URL command
 * put in front of its host. */
static bool cache_key_linkable(const char *key)
{
    const char *sep = strstr(key, "://");
    return sep && sep > key && sep - key <= 15;
}

/* Whether object satisfies the search (see CACHE_SEARCH). */
static bool cache_search_matches(const CACHE_SEARCH &search, const CACHEMAP *object)
{
    uint64_t size = object->size > 0 ? (uint64_t)object->size : 0;
    return object->refcount == 0 &&
           search.stored_after <= object->retrieved && object->retrieved <= search.stored_before &&
           search.used_after <= object->accessed && object->accessed <= search.used_before &&
           search.min_size <= size && size <= search.max_size &&
           (!search.pattern || reg_exec(search.pattern, object->key) == 0);
}

int64_t CacheSection::browse(const CACHE_SEARCH *search, CACHE_USAGE *usage,
                             std::list<CACHE_FOUND> *found)
{
    CacheLock guard(*this);
    if (usage) {
        usage->mem_objects = mem_objects;
        usage->mem_bytes = mem_bytes;
        usage->mem_size = opt_memory_size();
        usage->stores.clear();
        for (const Store &s : stores)
            if (!s.directory.empty())
                usage->stores.push_back(CACHE_STORE_USAGE{ s.directory, s.entries, s.bytes,
                                                           s.size });
    }
    if (!search || !cachemaplist)
        return 0;

    int64_t matches = 0;
    for (int b = 0; b < CACHE_BUCKETS; b++) {
        CACHEMAP_LIST *next = nullptr;
        for (CACHEMAP_LIST *node = cachemaplist[b]; node; node = next) {
            next = node->next;   /* the node goes away with a deleted object */
            CACHEMAP *object = node->cachemap;
            if (!cache_search_matches(*search, object))
                continue;
            if (search->remove) {
                object->refcount++;
                invalidate_unlocked(object, true);
                matches++;
                continue;
            }
            if (!cache_key_linkable(object->key))
                continue;
            if (found && found->size() < search->max_rows)
                found->push_back(CACHE_FOUND{ object->key, object->size, object->flags });
            matches++;
        }
    }
    return matches;
}

/* Unmaps, deletes the file of, unindexes and frees an object nobody
 * holds. */
void CacheSection::free_unlocked(CACHEMAP *object)
{
    ASSERT(object->refcount == 0);
    if (object->flags & CACHE_MEM)
        mem_delete(object);
    else if (object->map) {
        cache_unmap(object->map, object->maplen);
        object->map = nullptr;
        if (performance_log)
            performance_log->set_cache_mmaps_deleted(1);
    }
    if (object->flags & CACHE_DISK)
        disk_delete(object);
    hash_remove(object);
    cache_free(object);
}

/* Unmaps an object nobody holds; it stays indexed, and a later lookup maps
 * its file again. */
void CacheSection::mem_delete(CACHEMAP *object)
{
    ASSERT(object->flags & CACHE_MEM);
    ASSERT(object->refcount == 0);
    if (object->flags & CACHE_CONDVAR) {
        pthread_cond_destroy(&object->cond);
        pthread_mutex_destroy(&object->wait_lock);
        object->flags &= ~CACHE_CONDVAR;
    }
    http_header_free(object->header);
    object->header = nullptr;
    if (object->map) {
        cache_unmap(object->map, object->maplen);
        if (performance_log)
            performance_log->set_cache_mmaps_deleted(1);
    }
    object->map = nullptr;
    object->maplen = 0;
    mem_bytes = mem_bytes >= (uint64_t)object->size ? mem_bytes - (uint64_t)object->size : 0;
    mem_objects--;
    object->flags &= ~CACHE_MEM;
}

/* Stamps the access (and with both the storing) time on the object and its
 * file, and journals it. */
void CacheSection::touch_unlocked(CACHEMAP *object, int both)
{
    time_t now = utc_time(nullptr);
    object->accessed = now;
    if (both)
        object->retrieved = now;
    if (object->store && (object->flags & CACHE_DISK)) {
        char path[4096];
        if (filename(object, path, sizeof path) >= 0) {
            CacheDeferred::Stamp stamp{ path, object->accessed - gmtoffset,
                                        object->retrieved - gmtoffset };
            if (cache_deferring) {
                cache_deferred.stamps.push_back(std::move(stamp));
            } else {
                struct timespec times[2] = { { stamp.accessed, 0 }, { stamp.modified, 0 } };
                utimensat(AT_FDCWD, path, times, 0);
            }
        }
    }
    journal_add(object);
}

void CacheSection::invalidate(CACHEMAP *object)
{
    CacheLock lock(*this);
    invalidate_unlocked(object, true);
}

int CacheSection::refcount(CACHEMAP *object)
{
    CacheLock lock(*this);
    int n = object->refcount;
    if (n == 1)
        invalidate_keep_unlocked(object);
    return n;
}

void CacheSection::request_done(CONNECTION_T *conn)
{
    CACHEMAP *object = conn->cache;
    conn->cache = nullptr;
    free(conn->cache_view.header_text);
    conn->cache_view = CACHEVIEW();
    if (!object)
        return;
    /* A reader's failed transfer (its client went away) says nothing
     * about the object: it is closed like any read. */
    if (!(conn->flags & CONN_WRITING_CACHE) && close_shared(object))
        return;
    char md5[33] = "";
    if ((conn->flags & CONN_WRITING_CACHE) && !(conn->flags & CONN_TRANSFER_FAILED))
        finish_file(object, md5);
    CacheLock lock(*this);
    bool writer = (conn->flags & CONN_WRITING_CACHE) != 0;
    if (writer && (conn->flags & CONN_TRANSFER_FAILED)) {
        invalidate_unlocked(object, true);
        return;
    }
    if (writer)
        object->flags &= ~CACHE_BUFFERWAIT;
    close_unlocked(object, writer, md5);
}

/* Reading. */

int64_t CacheSection::send(CACHEMAP *object, CONNECTION_T *conn, int side)
{
    Socket *sock = side == SIDE_CLIENT ? conn->client : conn->server;
    if (!sock || (side == SIDE_CLIENT && (conn->flags & CONN_NOCLIENT)))
        return 0;

    int64_t sent = 0;
    int64_t expect = -1;   /* the body length the peer was told; -1: up to the close */
    bool ok = true;
    std::unique_ptr<char[]> piece;
    const char *body = nullptr;   /* a finished object's body, in its mapping */
    int64_t stored = 0;           /* and its length */
    const CACHEVIEW *v = &conn->cache_view;
    if (side == SIDE_CLIENT && v->object == object && v->finished &&
        !(conn->flags & CONN_WRITING_CACHE)) {
        /* The lookup saw it finished: its mapping, start and size stay as
         * they are while the reference is held, so nothing is asked. */
        expect = stored = v->body_length;
        body = object->map + object->start;
    } else {
        CacheLock lock(*this, true);
        if (!(object->flags & (CACHE_WRITING | CACHE_INVALID))) {
            expect = stored = object->size - object->start;
            body = object->map + object->start;
        } else if (object->header && (object->header->flags & HEADER_HAS_LENGTH)) {
            expect = object->header->content_length;
        }
        if (object->flags & CACHE_WRITING)
            putlog(LOG_DEBUG, "cache: [IP:%s]sending file while being written", cache_ip(conn));
    }
    /* The client was told the length the view framed: a body short of
     * that, whatever the object says by now, ends the connection. */
    if (side == SIDE_CLIENT && v->object == object && !(conn->flags & CONN_WRITING_CACHE))
        expect = v->finished ? v->body_length : v->announced;

    /* Finished: the mapping stays put while we hold a reference, so it is
     * written with no lock at all. */
    while (body && sent < stored) {
        int64_t n = std::min<int64_t>(stored - sent, CACHE_SEND_PIECE);
        if (sock->Write(body + sent, n) < 0) {
            ok = false;
            break;
        }
        sent += n;
    }

    for (; !body;) {
        const char *from = nullptr;
        int64_t n = 0;
        bool last = false;
        {
            CacheLock lock(*this);
            while ((object->flags & CACHE_WRITING) && object->size - object->start <= sent)
                wait_writer(object);
            int64_t ready = object->size - object->start - sent;
            if (ready <= 0)
                break;
            n = std::min<int64_t>(ready, CACHE_SEND_PIECE);
            if (!(object->flags & (CACHE_WRITING | CACHE_INVALID))) {
                /* Finished: the mapping stays put while we hold a
                 * reference. */
                from = object->map + object->start + sent;
                last = n == ready;
            } else {
                if (!piece)
                    piece.reset(new (std::nothrow) char[CACHE_SEND_PIECE]);
                if (!piece) {
                    ok = false;
                    break;
                }
                memcpy(piece.get(), object->map + object->start + sent, (size_t)n);
                from = piece.get();
            }
        }
        if (sock->Write(from, n) < 0) {
            ok = false;
            break;
        }
        sent += n;
        if (last)
            break;
    }
    if (sock->Flush() != 0)
        ok = false;
    if (!ok || expect < 0 || sent < expect)
        conn->keepalive_client = 0;
    return sent;
}

Filebuf *CacheSection::read_filebuf(CACHEMAP *object, int64_t want)
{
    CacheLock lock(*this);
    if (object->flags & CACHE_WRITING)
        putlog(LOG_DEBUG, "cache: reading file while being written");
    while (object->flags & CACHE_WRITING)
        wait_writer(object);
    int64_t body = object->size - object->start;
    /* A dead object counts only when it holds the whole body it was fed
     * for (a reader's announced length). */
    if (!object->map || ((object->flags & CACHE_INVALID) && (want < 0 || body != want)))
        return nullptr;
    Filebuf *buffer = new Filebuf(std::max<int64_t>(body, FILEBUF_DEFAULT_LIMIT));
    if (body > 0 && buffer->Add(object->map + object->start, body) != FILEBUF_OK) {
        delete buffer;
        return nullptr;
    }
    return buffer;
}

bool CacheSection::reader_ready(CONNECTION_T *conn)
{
    CACHEMAP *object = conn->cache;
    const CACHEVIEW *v = &conn->cache_view;
    if (!object || (v->object == object && v->finished))
        return true;
    CacheLock lock(*this);
    while ((object->flags & CACHE_WRITING) && object->size <= object->start)
        wait_writer(object);
    if (!(object->flags & CACHE_INVALID))
        return true;
    /* Dead: whole only when it holds the length the client is to be told. */
    int64_t want = v->object == object ? v->announced : -1;
    return (object->flags & CACHE_WRITING) || (want >= 0 && object->size - object->start >= want);
}

void CacheSection::response_framing(CACHEMAP *object, CONNECTION_T *conn, HEADER *response)
{
    const CACHEVIEW *v = &conn->cache_view;
    if (v->object == object && !(conn->flags & CONN_WRITING_CACHE)) {
        response->chunked = 0;
        if (v->finished || v->announced >= 0) {
            response->content_length = v->finished ? v->body_length : v->announced;
            response->flags |= HEADER_HAS_LENGTH;
        } else {
            response->flags &= ~HEADER_HAS_LENGTH;
            conn->keepalive_client = 0;
        }
        return;
    }
    CacheLock lock(*this);
    response->chunked = 0;
    if (!(object->flags & (CACHE_WRITING | CACHE_INVALID))) {
        response->content_length = object->size - object->start;
        response->flags |= HEADER_HAS_LENGTH;
    } else if (object->header && (object->header->flags & HEADER_HAS_LENGTH)) {
        response->content_length = object->header->content_length;
        response->flags |= HEADER_HAS_LENGTH;
    } else {
        /* The stored body carries no framing of its own: it ends with the
         * connection. */
        response->flags &= ~HEADER_HAS_LENGTH;
        conn->keepalive_client = 0;
    }
}

char *CacheSection::stored_header(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    if (!object->map || object->start <= 0)
        return xstrdup("");
    return xstrndup(object->map, (size_t)object->start);
}

int64_t CacheSection::age(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    int64_t a = (int64_t)(utc_time(nullptr) - object->retrieved);
    return a > 0 ? a : 0;
}

time_t CacheSection::stored_time(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    return object->retrieved - gmtoffset;
}

time_t CacheSection::last_modified_get(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    return object->last_modified ? object->last_modified - gmtoffset : 0;
}

/* Flags. */

int CacheSection::flag_get(CACHEMAP *object)
{
    CacheLock lock(*this, true);
    return object->flags;
}

int CacheSection::flag_set(CACHEMAP *object, int bits)
{
    CacheLock lock(*this);
    object->flags |= bits;
    return object->flags;
}

int CacheSection::flag_unset(CACHEMAP *object, int bits)
{
    CacheLock lock(*this);
    object->flags &= ~bits;
    return object->flags;
}

int CacheSection::exists(const char *key)
{
    if (!key)
        return 0;
    CacheLock lock(*this, true);
    CACHEMAP *o = hash_find(key);
    return o && !(o->flags & CACHE_INVALID) ? 1 : 0;
}

int CacheSection::send_status(CONNECTION_T *conn, CACHEMAP *object)
{
    {
        CacheLock lock(*this);
        conn->variables["TRANSFERRED"] = std::to_string((long long)(object->size - object->start));
        conn->variables["MTIME"] = std::to_string((long long)object->retrieved);
        conn->variables["SIZE"] = object->header && (object->header->flags & HEADER_HAS_LENGTH)
                                      ? std::to_string((long long)object->header->content_length)
                                      : std::string("0");
    }
    if (!template_section)
        return 0;
    return template_section->send("downloading", conn, 200);
}

char *CacheSection::flag_string(CACHEMAP *object)
{
    int flags = flag_get(object);
    std::string text;
    for (const auto &f : cache_flag_names)
        if (flags & f.bit) {
            if (!text.empty())
                text += ", ";
            text += f.name;
        }
    return xstrdup(text.c_str());
}

/* Shutdown and the unlink thread. */

void CacheSection::graceful_exit()
{
    putlog(LOG_ADVICE, "cache: starting graceful exit");
    bool locked = false;
    if (!cache_lock_here) {
        struct timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += 3;   /* well inside the crash watchdog */
        locked = write_lock_until(&deadline);
    }
    if (!locked) {
        /* A fatal error inside the cache, or a thread stuck with the lock:
         * the index may be half changed, so the journals stay as appended,
         * which is a valid record of every finished event. */
        journal_flush_all();
        putlog(LOG_ADVICE, "cache: starting graceful done");
        return;
    }
    cache_lock_here = true;
    {
        MutexGuard guard(&unlink_lock);
        while (!unlink_list.empty()) {
            unlink(unlink_list.front().c_str());
            unlink_list.pop_front();
        }
        unlink_count = 0;
    }
    journal_drain();
    for (Store &s : stores) {
        bool open;
        {
            MutexGuard guard(&journal_mutex);
            open = s.journal_fd >= 0 && !s.directory.empty();
            if (open)
                s.journal_time = 0;
        }
        if (open)
            journal_write(&s);
    }
    cache_lock_here = false;
    unlock();
    putlog(LOG_ADVICE, "cache: starting graceful done");
}

/* Appends what is queued and flushes the append descriptors to disk; the
 * only work the fatal path does without the lock. The journals' lock is
 * only tried: this thread may have died holding it. */
void CacheSection::journal_flush_all()
{
    if (pthread_mutex_trylock(&journal_mutex) != 0)
        return;
    bool busy = journal_busy;
    pthread_mutex_unlock(&journal_mutex);
    if (busy)
        return;
    journal_drain();
    MutexGuard guard(&journal_mutex);
    for (Store &s : stores)
        if (s.journal_fd >= 0)
            fsync(s.journal_fd);
}

void *unlink_thread(void *arg)
{
    (void)arg;
    if (cache_section)
        cache_section->unlink_thread();
    return nullptr;
}

/* Helpers. */

static const char *cache_ip(const CONNECTION_T *conn)
{
    return conn && conn->ip ? conn->ip : "-";
}

/* Unmaps a mapping nobody uses any more: inside a CacheLock scope once the
 * lock is given back (a large unmap is costly), else at once. */
static void cache_unmap(void *map, int64_t len)
{
    if (cache_deferring)
        cache_deferred.unmaps.emplace_back(map, (size_t)len);
    else
        munmap(map, (size_t)len);
}

static int cache_fault(const char *call)
{
    return cache_fault_hook ? cache_fault_hook(call) : 0;
}

/* The length of the header block at the front of text, through the line
 * feed that ends its empty line (carriage returns ignored), within limit
 * bytes; 0 when there is no such line. */
static int64_t cache_header_end(const char *text, int64_t limit)
{
    int newlines = 0;
    for (int64_t i = 0; i < limit; i++) {
        char c = text[i];
        if (c == '\n') {
            if (++newlines == 2)
                return i + 1;
        } else if (c != '\r') {
            newlines = 0;
        }
    }
    return 0;
}

/* SipHash-2-4 of data under a 128-bit key. */
static uint64_t cache_siphash(const uint64_t key[2], const char *data, size_t len)
{
    uint64_t v0 = 0x736f6d6570736575ULL ^ key[0];
    uint64_t v1 = 0x646f72616e646f6dULL ^ key[1];
    uint64_t v2 = 0x6c7967656e657261ULL ^ key[0];
    uint64_t v3 = 0x7465646279746573ULL ^ key[1];
    auto rotl = [](uint64_t x, int b) { return (x << b) | (x >> (64 - b)); };
    auto round = [&]() {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    };
    const unsigned char *p = (const unsigned char *)data;
    size_t whole = len & ~(size_t)7;
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m = 0;
        for (int j = 7; j >= 0; j--)
            m = (m << 8) | p[i + j];
        v3 ^= m;
        round();
        round();
        v0 ^= m;
    }
    uint64_t b = (uint64_t)len << 56;
    for (size_t j = 0; j < (len & 7); j++)
        b |= (uint64_t)p[whole + j] << (8 * j);
    v3 ^= b;
    round();
    round();
    v0 ^= b;
    v2 ^= 0xff;
    round();
    round();
    round();
    round();
    return v0 ^ v1 ^ v2 ^ v3;
}
