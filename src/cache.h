#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>
#include <ctime>
#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;
struct HEADER;

/*
 * How the request road uses the cache. Every call below takes the cache
 * lock itself and releases it before it returns; none holds it while it
 * writes to a client or reads from a server. `cache` is conn->cache, which
 * holds one reference while it is set.
 *
 * The lock is a read-write lock. Lookups, a hit's close and the reads of a
 * finished object share it, so hits of different (or the same) objects do
 * not wait for each other; whatever changes the index or an object's
 * layout holds it alone. A held object's reference count, flags and access
 * time are atomics, changed under the shared lock only by the hit path.
 *
 * Request pipeline, after the request checks:
 *
 *   conn->logentry.set_cachecode(CC_TCP_MISS);
 *   if (!fresh_command && cacheable(conn->header)) {
 *       int mode = (conn->flags & CONN_OFFLINE) ? CACHE_OFFLINE : 0;
 *       conn->cache = cache_section->lookup(conn, conn->header->url, mode);
 *       (one locked step: the object, a reference and conn->cache_view,
 *       the copy of what serving it needs, CACHE_VALIDATE included)
 *       if (!conn->cache)                       -> count a miss, fetch
 *       else if (view.flags & CACHE_INVALID)    -> "error" page, end
 *       else if (view.flags & CACHE_BUFFERWAIT) -> send_status(conn, cache), end
 *       else {                                  -> a hit
 *           if (!(conn->flags & CONN_OFFLINE) && (view.flags & CACHE_VALIDATE)) {
 *               conn->flags |= CONN_REVALIDATE;
 *               conditional_header(conn->header, view.retrieved - gmtoffset);
 *           }
 *           conn->logentry.set_cachecode(CC_TCP_HIT);
 *       }
 *   }
 *   A lookup returns NULL for a request with Authorization and for a
 *   client whose Accept-Encoding does not take the stored Content-Encoding
 *   (the object is then fetched again and replaced). With a cache object
 *   held and no CONN_REVALIDATE, no server is contacted and the request
 *   goes to protocol_http whatever its scheme. When the server of a
 *   revalidation cannot be reached, clear CONN_REVALIDATE and serve the
 *   stale copy as a plain hit, also when the failure shows only after
 *   connecting (a dead pooled connection whose reconnect fails): no error
 *   page may go out while a copy is held.
 *
 * HTTP exchange:
 *
 *   Plain hit: the header text to process is hit_header(conn) (freed by
 *   the caller), and no request goes out; set Age to hit_age(conn); with
 *   CACHE_EXPIRED in the view and without CONN_VALIDATED add Warning "110
 *   stale cache". A failed transfer or a refused response invalidates
 *   the object only when this exchange writes it (CONN_WRITING_CACHE); a
 *   hit refused for one client stays for the others.
 *
 *   Revalidation answered: status 304, or a 200 whose Last-Modified
 *   (cache_http_date) equals last_modified_get(cache): validated(cache),
 *   view_fill(conn), CONN_VALIDATED, serve the stored header as a plain
 *   hit. Anything else:
 *   invalidate(cache), conn->cache = NULL, continue as a miss.
 *
 *   Serving (hit or validated): response_framing(cache, conn, rheader) sets
 *   the Content-Length (or, for an object still written from a chunked or
 *   unframed response, a close-delimited body with keepalive_client 0);
 *   xcache_header_update(conn, 0) marks X-Cache HIT; send the header; then
 *   the body with send(cache, conn, SIDE_CLIENT) (streamed) or
 *   read_filebuf(cache) (buffered; NULL when the writer failed). send
 *   follows an object still being written and clears keepalive_client when
 *   the client got fewer bytes than announced.
 *
 *   Miss: when cacheable(conn->header) and storable(conn, conn->rheader),
 *   conn->cache = cache_open(conn, url, conn->rheader->raw, CACHE_WRITING)
 *   (buffered responses without an object: CACHE_WRITING | CACHE_DISCARD |
 *   CACHE_FORCE); created: set CONN_WRITING_CACHE and log "create: %s".
 *   xcache_header_update(conn, 1) marks X-Cache MISS. With
 *   CONN_WRITING_CACHE, every block the read observer sees from the server
 *   goes to add(cache, block, length) (the body bytes, without chunk
 *   framing); -1 means the object was dropped and the transfer goes on
 *   without it (a prefetch stops). process_response flags CACHE_CLEAN after a
 *   clean scan; the buffer time-out flags CACHE_BUFFERWAIT | CACHE_PREFETCHED
 *   and sends send_status.
 *
 * Worker loop (process_entry), after every request:
 *
 *   cache_section->request_done(conn);   (invalidates the object its
 *   writer failed to fill (CONN_TRANSFER_FAILED), else clears
 *   CACHE_BUFFERWAIT of its own object and closes it as writer or reader;
 *   a reader's close never drops the object; conn->cache becomes NULL)
 *
 * Several readers may hold an object while its writer fills it; a reader
 * copies what has arrived and waits on the object for more. An object is
 * freed only when its last holder lets it go.
 */

/* CACHEMAP::flags. The values are written in the journal. */
enum {
    CACHE_WRITING = 0x1,       /* the writer is still filling it; as a mode: create */
    CACHE_INVALID = 0x2,       /* dead; freed when its last holder lets it go */
    CACHE_EXPIRED = 0x4,       /* not fresh, worked out by every lookup */
    CACHE_VALIDATE = 0x8,      /* the current request must revalidate it */
    CACHE_PREFETCHED = 0x10,   /* protected from recreation in the prefetch window */
    CACHE_VIOLATION = 0x20,    /* the server said no-cache or no-store */
    CACHE_OFFLINE = 0x40,      /* mode only: lookups also return VIOLATION objects */
    CACHE_DISK = 0x80,         /* it has a file in its store */
    CACHE_MEM = 0x100,         /* it is mapped */
    CACHE_CONDVAR = 0x200,     /* cond is initialised */
    CACHE_CLEAN = 0x400,       /* a virus scanner passed the body */
    CACHE_BUFFERWAIT = 0x800,  /* the download goes on behind the "downloading" page */
    CACHE_DISCARD = 0x1000,    /* buffer-only: dropped 60 seconds after it was stored */
    CACHE_FORCE = 0x2000,      /* kept although the rules or maxsize would refuse it */
};

/* Every flag bit that means something. */
#define CACHE_FLAGS_ALL 0x3fff
/* The bits that describe the running process and never come from a journal
 * line: expired, validate, prefetched, violation, mem, condvar, bufferwait. */
#define CACHE_FLAGS_TRANSIENT 0xb3c

/* Buckets of the object index. */
#define CACHE_BUCKETS 104729
/* Subdirectories of a store: two hex digits of hash_key(256, key). */
#define CACHE_DIR_BUCKETS 256
/* Mappings grow in steps of this many bytes. */
#define CACHE_MAP_STEP 65536
/* The longest key the cache indexes; longer URLs are not cached. */
#define CACHE_KEY_MAX 16384
/* The longest journal line read; a longer line is skipped whole. */
#define CACHE_JOURNAL_LINE_MAX 65536
/* journal-lines 0 means this many appends between rewrites. */
#define CACHE_JOURNAL_LINES_DEFAULT 128000
/* A journal is rewritten at most this often. */
#define CACHE_JOURNAL_REWRITE_SECONDS 30
/* clean-interval 0 means this many seconds. */
#define CACHE_CLEAN_INTERVAL_DEFAULT 30
/* A CACHE_DISCARD object lives this long after it was stored. */
#define CACHE_DISCARD_SECONDS 60
/* Cleaning takes a full store at least this far below its byte count. */
#define CACHE_STORE_MARGIN_MIN 10000000ULL
/* A store takes no new objects while its file system has less free space
 * than the larger of this percentage of its size and CACHE_SPACE_MIN, so
 * that the logs beside it keep room; looked at this often. */
#define CACHE_SPACE_PERCENT 5
#define CACHE_SPACE_MIN (64ULL * 1024 * 1024)
#define CACHE_SPACE_CHECK_MS 2000
/* Cleaning walks the index in at most this many bands of access time. */
#define CACHE_CLEAN_BANDS 128

struct JournalLine;
struct Store;

/*
 * One cache object: the stored response header text followed by the body,
 * in one mapping, and the parsed header of that text. Made by cachemap_new,
 * freed by cache_free once no holder is left. Every field is guarded by
 * the cache lock; refcount, flags and accessed are atomics because the hit
 * path changes them under the shared lock. A finished object's mapping and
 * header do not change while anyone holds a reference.
 */
struct CACHEMAP {
    pthread_cond_t cond;       /* readers wait here for the writer (CACHE_CONDVAR) */
    pthread_mutex_t wait_lock; /* the mutex of cond (CACHE_CONDVAR) */
    int fd;                    /* the object file while it is written; else -1 */
    char *key;                 /* owned: the URL "%s://%s:%d%s" */
    char *map;                 /* header text then body; NULL when unmapped */
    std::atomic<int> refcount; /* holders: the writer and each reader */
    int64_t size;              /* bytes stored: header text plus body */
    int64_t maplen;            /* length of the mapping */
    int64_t reserved;          /* bytes of the file being written that have their blocks */
    int64_t start;             /* length of the header text: offset of the body */
    std::atomic<int> flags;    /* CACHE_* */
    HEADER *header;            /* owned: parsed stored header; NULL while unmapped */
    Store *store;              /* the store holding its file, or NULL */
    char md5[33];              /* 32 hex digits of the stored bytes, or "0" */
    std::atomic<time_t> accessed;   /* utc_time units */
    uint64_t serial;           /* this object and its file, never reused: a mapping
                                * made without the lock is published only to the
                                * object it was made for */
    time_t retrieved;          /* stored or last revalidated */
    time_t expires;            /* 0: none */
    time_t fresh_until;        /* Last-Modified heuristic; 0: none */
    time_t last_modified;      /* 0: none */
    uint32_t min_age;          /* seconds, from the refresh rule */
    uint32_t max_age;
    uint32_t default_age;
    uint32_t lm_factor;        /* percent */
};

/* One node of an index chain. */
struct CACHEMAP_LIST {
    CACHEMAP_LIST *prev;
    CACHEMAP_LIST *next;
    CACHEMAP *cachemap;        /* not owned by the node */
};

/* One disk store, copied from an entry of the list store. */
struct Store {
    bool enabled = false;
    std::string comment;
    StringList profiles;       /* which requests may put new objects here */
    std::string directory;     /* empty: not used */
    uint64_t size = 0;         /* byte limit; 0: not used */
    uint64_t free_extra = 0;   /* cleaning margin */
    bool md5 = false;          /* keep and verify checksums */
    int entries = 0;           /* object files counted in the store */
    uint64_t bytes = 0;        /* their bytes */
    bool disk_full = false;    /* over its size, or the disk said ENOSPC */
    bool low_space = false;    /* its file system is short of free space: no new objects */
    bool writable = true;      /* the load's write check passed: new objects may go here */
    uint64_t clean_target = 0; /* worked out by cleaning */
    /* The journal, guarded by journal_mutex (not the cache lock): */
    int journal_fd = -1;       /* append descriptor, -1 when closed */
    uint32_t journal_count = 0;   /* lines queued since the last rewrite */
    time_t journal_time = 0;   /* last rewrite; 0 allows one at once */
    std::string journal_pending;  /* lines queued, not yet appended */
    bool rewrite_wanted = false;  /* journal-lines reached: the service thread rewrites */
};

/*
 * A disk hit's mapping, made without the lock. A locked step names the
 * object (its serial, file, length and checksum); the file is then opened,
 * checked and mapped with no lock held; a second locked step publishes the
 * mapping when the object is still the one named and still unmapped, and
 * drops it otherwise (another thread published first, or the object was
 * deleted, replaced or reloaded meanwhile).
 */
struct CacheDiskMap {
    uint64_t serial = 0;       /* the object named; 0: none */
    int64_t size = 0;          /* its journaled length */
    std::string path;
    bool md5_on = false;       /* its store keeps checksums */
    char md5_want[33] = "0";   /* the checksum recorded, or "0" */
    bool made = false;         /* the file was looked at */
    /* What looking at it found: */
    bool drop = false;         /* missing, of another length or checksum: drop the object */
    char *map = nullptr;       /* the mapping (PROT_READ), until published or dropped */
    HEADER *header = nullptr;  /* its parsed header, or NULL */
    int64_t start = 0;         /* the header text's length, 0 when it has none */
    char md5_got[33] = "";     /* the checksum worked out, "" when none */
    time_t mtime = 0;          /* the file's times, seconds since the epoch */
    time_t atime = 0;
};

/*
 * A new object's file, made without the lock under a name private to this
 * writer in the store's "tmp" directory (the header's bytes reserved and
 * written), taken by the object in the locked creating step, and renamed
 * to the object's path after it. A crash in between leaves only the
 * private file, which the next start removes; no journal line names it.
 */
struct CacheNewFile {
    Store *store = nullptr;    /* the store chosen; NULL: no file */
    uint64_t generation = 0;   /* of the store list when chosen */
    bool made = false;         /* chosen and made (or failed: err) */
    std::string directory;
    std::string path;          /* the object's path in the store */
    std::string temp;          /* the private name */
    int fd = -1;               /* until the object takes it */
    int err = 0;               /* errno of a failed creation */
    bool create_failed = false;   /* err is the open's (else the reservation's) */
    int64_t reserved = 0;      /* header bytes written */
    CACHEMAP *object = nullptr;   /* the object that took the file */
};

/* One freshness rule, copied from an entry of the list refresh. */
struct Refresh {
    bool enabled = false;
    std::string comment;
    StringList profiles;
    bool cacheable = true;
    uint32_t min_age = 0;
    uint32_t max_age = 0;
    uint32_t default_age = 0;
    uint32_t lm_factor = 0;
};

/* The freshness of an object worked out from its stored header. */
struct CacheFreshness {
    time_t expires = 0;        /* 0: none */
    time_t fresh_until = 0;    /* Last-Modified heuristic; 0: none */
    time_t last_modified = 0;  /* 0: none */
    bool expired = false;      /* not fresh at the time asked */
    bool violation = false;    /* the server said no-cache or no-store */
};

struct regex_posix_t;

/* A search of the cache browser. An object matches when its retrieved time
 * lies in stored_after..stored_before, its accessed time in
 * used_after..used_before, its size in min_size..max_size (all bounds
 * inclusive), nobody holds it, and pattern (NULL: any) is found in its
 * URL. */
struct CACHE_SEARCH {
    const regex_posix_t *pattern = nullptr;
    time_t stored_after = 0;
    time_t stored_before = 0;
    time_t used_after = 0;
    time_t used_before = 0;
    uint64_t min_size = 0;
    uint64_t max_size = UINT64_MAX;
    bool remove = false;       /* delete the matches instead of listing them */
    size_t max_rows = 0;       /* the most matches copied out when listing */
};

/* One listed match. */
struct CACHE_FOUND {
    std::string key;
    int64_t size;
    int flags;
};

/* How full the memory cache and the disk stores are. */
struct CACHE_STORE_USAGE {
    std::string directory;
    int entries;
    uint64_t bytes;
    uint64_t size;             /* the store's limit */
};
struct CACHE_USAGE {
    int mem_objects = 0;
    uint64_t mem_bytes = 0;
    uint64_t mem_size = 0;     /* the memory-cache-size option */
    std::list<CACHE_STORE_USAGE> stores;   /* those with a directory, in list order */
};

/* Results of growing an object's mapping. */
enum cache_resize_result {
    CACHE_RESIZE_OK = 0,
    CACHE_RESIZE_DISK,     /* the file could not be extended (errno set) */
    CACHE_RESIZE_MEMORY,   /* the mapping could not be made or grown */
};

/*
 * The object cache and its configuration (section "cache"): memory limits,
 * object sizes, disk stores and freshness rules. Its section lock is the
 * cache lock: shared by lookups and hits, held alone by every change.
 */
class CacheSection : public Section {
public:
    CacheSection();
    /* Unmaps and frees every object and closes the journals; files stay. */
    ~CacheSection() override;

    /* Rebuilds the store and refresh rules and reloads every store from its
     * journal; called with the lock held. */
    void update() override;

    /* Objects. */

    /*
     * Looks key up (mode 0, or CACHE_OFFLINE to also get CACHE_VIOLATION
     * objects) or, with CACHE_WRITING in mode, creates an object from the
     * response header text (the other mode bits become its flags). conn may
     * be NULL for a lookup. Returns the object with one reference for the
     * caller, or NULL: a miss, a refused creation (disabled, CARP, not
     * cacheable by the rules, over maxsize or over memory, an object of that
     * key still in use), or an object that turned out broken (dropped).
     */
    CACHEMAP *cache_open(CONNECTION_T *conn, const char *key, const char *header_text, int mode);

    /* The request's lookup (mode 0 or CACHE_OFFLINE) in one locked step:
     * the object as cache_open returns it and, with one, conn->cache_view
     * filled for serving it, CACHE_VALIDATE set there when the object's
     * state or the request's Cache-Control asks for revalidation (not for
     * CACHE_OFFLINE). conn and conn->header are required. */
    CACHEMAP *lookup(CONNECTION_T *conn, const char *key, int mode);

    /* Refills conn->cache_view from conn->cache, after a revalidation. */
    void view_fill(CONNECTION_T *conn);

    /* The stored header text of conn->cache for serving it (the caller
     * frees it): the view's copy when there is one, else a new copy. */
    char *hit_header(CONNECTION_T *conn);
    /* Seconds since conn->cache was stored or revalidated, from the view. */
    int64_t hit_age(CONNECTION_T *conn);

    /* Whether the cache would keep this response for conn: enabled, not
     * routed by CARP, a response cacheable() takes, no no-store (unless
     * violations are allowed), within maxsize and memory by its length,
     * and a refresh rule that does not refuse it. Asked before an object
     * is created, so that a response the cache will not keep costs no
     * object. */
    bool storable(CONNECTION_T *conn, const HEADER *response, int mode);

    /* Gives back one reference; writer is true for the connection that
     * created the object (CONN_WRITING_CACHE), whose close finishes it. */
    void cache_close(CACHEMAP *object, bool writer);

    /* Appends len bytes of the body. Returns len, or -1 when the object
     * refused them and is dropped (too large, longer than announced, out of
     * memory or disk); the caller still holds its reference. An object
     * that will not be kept but has readers who joined it while it was
     * written takes the bytes all the same (len) until the writer is alone
     * with it: it is dead to lookups and goes after its last reader. */
    int64_t add(CACHEMAP *object, const void *data, int64_t len);

    /*
     * Writes the body to the side's socket of conn (SIDE_CLIENT or
     * SIDE_SERVER), following an object still being written until its
     * writer finishes. Never holds the cache lock while writing. Returns
     * the body bytes written; sets conn->keepalive_client to 0 when the
     * body is close-delimited or shorter than announced, or a write failed.
     */
    int64_t send(CACHEMAP *object, CONNECTION_T *conn, int side);

    /* The body as a new buffer (the caller deletes it), once the writer has
     * finished; NULL when memory ran out or the object died, unless a dead
     * object holds exactly want bytes of body (the length its reader was
     * told; -1: none), having been fed to the end for its readers. */
    Filebuf *read_filebuf(CACHEMAP *object, int64_t want = -1);

    /* For a reader of conn->cache about to send its header: waits until
     * the object holds some body or its writer is done. false when the
     * object died short of the length in conn->cache_view before any of it
     * went out: the request is then served from the server, as a miss.
     * true at once for an object the view saw finished. */
    bool reader_ready(CONNECTION_T *conn);

    /* Sets the framing of a response built from the stored header for
     * conn: a finished object gets its body length; one still written keeps
     * the server's Content-Length, or without one becomes close-delimited
     * (chunked cleared, no length, conn->keepalive_client 0). Taken from
     * conn->cache_view when it describes object, without the lock. */
    void response_framing(CACHEMAP *object, CONNECTION_T *conn, HEADER *response);

    /* A new copy of the stored header text (the caller frees it). */
    char *stored_header(CACHEMAP *object);
    /* Seconds since the object was stored or revalidated. */
    int64_t age(CACHEMAP *object);
    /* When it was stored, as seconds since the epoch (for If-Modified-Since). */
    time_t stored_time(CACHEMAP *object);
    /* Its Last-Modified, seconds since the epoch; 0 when none. */
    time_t last_modified_get(CACHEMAP *object);

    int flag_get(CACHEMAP *object);
    /* Return the new flags. */
    int flag_set(CACHEMAP *object, int bits);
    int flag_unset(CACHEMAP *object, int bits);

    /* The number of holders; when the caller is the only one the object is
     * also dropped (CACHE_INVALID) so that it dies at the caller's close. */
    int refcount(CACHEMAP *object);

    /* The caller gives up its reference and the object dies. */
    void invalidate(CACHEMAP *object);

    /* 1 when a live object of the key is indexed (ICP). */
    int exists(const char *key);

    /* Sends the "downloading" page (status 200) for an object still being
     * fetched; returns the template sender's result. */
    int send_status(CONNECTION_T *conn, CACHEMAP *object);

    /* A new text naming the set flags, "CACHE_WRITING, CACHE_DISK" (the
     * caller frees it); CACHE_CONDVAR is left out. */
    char *flag_string(CACHEMAP *object);

    /* The worker's close of the request's object: a writer's after
     * CONN_TRANSFER_FAILED invalidates it, else it is closed as writer (with
     * CONN_WRITING_CACHE, after clearing CACHE_BUFFERWAIT) or reader.
     * conn->cache becomes NULL and conn->cache_view is cleared. A reader of
     * a finished object closes under the shared lock: its access time is
     * stamped in memory and reaches the journal with its next rewrite. */
    void request_done(CONNECTION_T *conn);

    /* Freshness. */

    /* Applies the first refresh rule whose profiles match conn (without a
     * connection: the first with no profiles). Lock held. */
    void select_refresh(CONNECTION_T *conn, CACHEMAP *object);
    /* Works out expires, fresh_until, last_modified, CACHE_EXPIRED and
     * CACHE_VIOLATION from the stored header at time now. Lock held. */
    void check_header_at(CACHEMAP *object, time_t now);
    /* Marks object CACHE_VALIDATE when its state or the request's
     * Cache-Control asks for revalidation. */
    void check(CACHEMAP *object, HEADER *request);
    /* The decision of check at time now, changing nothing. Lock held
     * (shared will do). */
    bool validate_wanted(const CACHEMAP *object, const HEADER *request, time_t now);
    /* The same for the object of the request's URL, looked up. */
    void check(HEADER *request);
    /* cache_no_stale of the object's stored header. */
    bool no_stale(CACHEMAP *object);
    /* Drops the object of key, if there is one (after an unsafe request
     * changed what the URL names). */
    void invalidate_url(const char *key);
    /* The server confirmed the copy: clears CACHE_VALIDATE and restamps it. */
    void validated(CACHEMAP *object);
    /* Makes room when memory or a store is over its limit; at most once per
     * clean-interval. Lock held. */
    void clean();

    /* Disk stores and journal. */

    /* Queues the object's line for its store's journal. Lock held alone.
     * The line is appended once the lock is given back (at the end of the
     * CacheLock scope, by the same thread; at once without a CacheLock),
     * in the order the lines were queued. Reaching journal-lines asks the
     * service thread for a rewrite. Returns 1. */
    int journal_add(CACHEMAP *object);
    /* Appends every queued line to its journal (opening it when closed),
     * without the cache lock. When another thread is appending, it takes
     * these lines too and this returns at once. */
    void journal_drain();
    /* Rewrites the store's journal from the index through "journal.new",
     * renamed over "journal" only when complete. Returns 1, 0 when it is
     * too soon after the last rewrite, -1 on a failure (old journal kept).
     * Lock held (start-up, reload, exit; the request threads leave
     * rewrites to the service thread). */
    int journal_write(Store *store);
    /* The service thread's rewrites of the journals that reached
     * journal-lines: the lines are taken under the shared lock, written,
     * synced and renamed without it. Returns true when a rewrite waits
     * for its interval. */
    bool journal_rewrite_due();
    /* Loads the store's objects from its journal. Lock held. */
    void journal_read(Store *store);
    /* Detaches every object from its store and reloads the stores. Lock
     * held. */
    void stores_update();
    /* Chooses the store of a new object by the store policy. Lock held. */
    void select_store(CONNECTION_T *conn, CACHEMAP *object);
    /* Writes the object's file path into buf; returns hash_key(256, key),
     * or -1 when it does not fit. */
    int filename(const CACHEMAP *object, char *buf, size_t size);
    /* 1 when the checksum matches (or none is kept), 0 on a mismatch; the
     * first call on a finished object stores it. Lock held. */
    int md5_check(CACHEMAP *object);
    /* Queues the object's file for deletion and takes it out of its store's
     * counts. Lock held. */
    void disk_delete(CACHEMAP *object);

    /* The deletion queue, under its own mutex (unlink_lock); files are
     * deleted with no lock held. add and zap are called with the cache lock
     * held: zap takes the path off the queue and, with wait, waits for a
     * deletion of that path in progress, so a file created after it cannot
     * be deleted by the queue. A new object's file is renamed into place
     * after the lock, so its creating step zaps without waiting and the
     * rename waits (unlink_wait). */
    void unlink_list_add(const std::string &path);
    void unlink_list_zap(const std::string &path, bool wait = true);
    /* Deletes the oldest queued file. With wait, waits for one and paces
     * to one file per 10 ms; without, returns 0 at once when none is
     * queued. Returns 1 when one was taken. */
    int unlink_once(bool wait);
    /* Waits until no deletion of path is in progress. No cache lock held. */
    void unlink_wait(const std::string &path);
    /* The service thread's loop: queued deletions, paced, journal
     * rewrites and sweeps of files no journal names; never returns. */
    void unlink_thread();
    /* Runs one sweep asked for by a store's load: every file under the
     * store's object directories that no indexed object names is removed,
     * and one line gives their count and bytes. Returns 1 when a sweep
     * ran, 0 when none was asked for. No lock held by the caller. */
    int sweep_once();
    /* Looks at the free space of every store's file system (without the
     * lock) and sets its low_space; a change is logged once each way. The
     * service thread runs it at start and every CACHE_SPACE_CHECK_MS. */
    void space_check();

    /* Empties the deletion queue and rewrites every open journal, under the
     * lock; on a fatal path inside the cache (lock held by this thread, or
     * not to be had) it only flushes what was appended. */
    void graceful_exit();

    int icpport_get();
    int icptimeout_get();

    /*
     * The cache browser, all under one hold of the lock: fills usage (when
     * not NULL), then, with search not NULL, walks every bucket of the index
     * in order. With search->remove every match is invalidated (journalled,
     * unmapped, its file queued for deletion, unindexed and freed);
     * otherwise the first search->max_rows matches whose key has a scheme of
     * at most 15 characters before "://" are copied into found, and the
     * others with such a key only counted. Returns the number of matches
     * deleted, or listed and counted.
     */
    int64_t browse(const CACHE_SEARCH *search, CACHE_USAGE *usage, std::list<CACHE_FOUND> *found);

    /* Index (lock held). */
    CACHEMAP *hash_find(const char *key);
    int objects_count();

    /* State, guarded by the lock (the queue by unlink_lock). Tests read
     * them and set clean_time. */
    pthread_mutex_t unlink_lock;
    pthread_cond_t unlink_cond;
    std::list<std::string> unlink_list;
    int unlink_count = 0;
    bool rewrite_signal = false;   /* a journal rewrite is wanted (unlink_lock) */
    std::string unlink_current;    /* the file being deleted now (unlink_lock) */
    std::list<std::string> sweep_dirs;   /* stores to sweep of orphaned files (unlink_lock) */
    int sweeping = 0;                    /* sweeps running (unlink_lock) */
    std::set<std::string> sweep_made;    /* paths new objects took meanwhile (unlink_lock) */
    /* The journals' own lock: the stores' journal fields and the list of
     * stores while it is rebuilt. Never held across a write: the thread
     * appending marks journal_busy instead, and journal_idle wakes those
     * waiting for it to finish. */
    pthread_mutex_t journal_mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t journal_idle = PTHREAD_COND_INITIALIZER;
    bool journal_busy = false;
    int cachemap_buckets = CACHE_BUCKETS;
    uint64_t mem_bytes = 0;
    uint64_t mem_wanted = 0;   /* bytes waiting for room while clean runs */
    int mem_objects = 0;
    time_t clean_time = 0;
    int clean_state = 0;
    bool cleaning = false;
    bool mem_underdimensioned = false;
    std::list<Store> stores;
    std::list<Refresh> refreshes;
    CACHEMAP_LIST **cachemaplist = nullptr;

private:
    /* Options, read with the lock held. */
    bool opt_enabled();
    bool opt_allow_violations();
    uint64_t opt_memory_size();
    uint64_t opt_memory_free_extra();
    uint64_t opt_minsize();
    uint64_t opt_maxsize();
    int opt_prefetch_window();
    int opt_store_policy();
    uint32_t opt_journal_lines();
    time_t opt_clean_interval();

    CACHEMAP *open_rounds(CONNECTION_T *conn, const char *key, const char *header_text,
                          int mode, time_t now, CacheDiskMap *disk, bool fill_view);
    CACHEMAP *open_unlocked(CONNECTION_T *conn, const char *key, const char *header_text,
                            int mode, time_t now, CacheDiskMap *disk, CacheNewFile *file,
                            bool may_again, bool *again);
    bool open_admit(CONNECTION_T *conn, const char *key, const char *header_text, bool create,
                    const char *ip, int64_t *text_len);
    int open_existing(CACHEMAP *object, bool create, const char *ip, time_t now,
                      CacheDiskMap *disk, bool may_again, bool *again);
    int open_new(CONNECTION_T *conn, const char *key, const char *header_text, int64_t text_len,
                 int mode, const char *ip, time_t now, CacheNewFile *file, bool may_again,
                 bool *again, CACHEMAP **object);
    int open_check(CONNECTION_T *conn, CACHEMAP *object, const char *key, const char *header_text,
                   int64_t text_len, int mode, const char *ip, time_t now, CacheNewFile *file);
    void open_discard(CACHEMAP *object, time_t now);
    void open_settle(CACHEMAP *result, time_t now);
    bool refused_response(CONNECTION_T *conn, const HEADER *response, int mode, int64_t text_len,
                          const char *ip, const char *key);
    int open_shared(CONNECTION_T *conn, const char *key, int mode, time_t now,
                    CACHEMAP **object, CacheDiskMap *disk);
    bool close_shared(CACHEMAP *object);
    void view_fill_locked(CONNECTION_T *conn, CACHEMAP *object, time_t now, bool check_request);
    void wait_writer(CACHEMAP *object);
    CACHEMAP *create_unlocked(CONNECTION_T *conn, const char *key, int mode, time_t now);
    /* A disk hit's mapping: named under the lock, made without it,
     * published (or dropped) under it. */
    bool disk_map_want(const CACHEMAP *object, CacheDiskMap *disk);
    void disk_map_make(CacheDiskMap *disk, const char *ip);
    int disk_map_attach(CACHEMAP *object, CacheDiskMap *disk, const char *ip, bool may_again,
                        bool *again);
    void disk_map_release(CacheDiskMap *disk);
    /* A new object's file: chosen under the lock (shared will do), made
     * without it, taken in the creating step, renamed into place after. */
    void file_choose(CONNECTION_T *conn, const char *key, time_t now, CacheNewFile *file);
    void file_make(CacheNewFile *file, const char *header_text);
    bool file_usable(const CacheNewFile *file) const;
    bool file_take(CACHEMAP *object, CacheNewFile *file);
    CACHEMAP *file_publish(CacheNewFile *file, CACHEMAP *object);
    void file_discard(CacheNewFile *file);
    Store *store_pick(CONNECTION_T *conn);
    void tmp_sweep(const Store &store);
    int orphans_remove(const std::string &directory, uint64_t *bytes);
    bool store_writable(const Store &store);
    bool header_unlocked(CACHEMAP *object);
    bool memory_room(uint64_t more);
    int64_t add_unlocked(CACHEMAP *object, const char *data, int64_t len, int64_t reserved = 0,
                         bool in_file = false);
    int64_t map_length(const CACHEMAP *object, int64_t need);
    int64_t reserve_ahead(CACHEMAP *object, int64_t len);
    int resize(CACHEMAP *object, int64_t len, int64_t reserved = 0);
    void map_set(CACHEMAP *object, void *p, int64_t newlen);
    void finish_file(CACHEMAP *object, char *md5);
    /* Cuts the object's file to its size and closes its descriptor. */
    void file_cut(CACHEMAP *object);
    void shrink_unlocked(CACHEMAP *object);
    void close_unlocked(CACHEMAP *object, bool writer, const char *md5 = nullptr);
    void invalidate_keep_unlocked(CACHEMAP *object);
    bool doom_unlocked(CACHEMAP *object);
    bool to_memory_unlocked(CACHEMAP *object, int64_t need);
    void invalidate_unlocked(CACHEMAP *object, bool holds_reference);
    void free_unlocked(CACHEMAP *object);
    void mem_delete(CACHEMAP *object);
    void touch_unlocked(CACHEMAP *object, int both);
    void clean_too_soon(time_t now, bool mem_over);
    bool clean_age_range(time_t *oldest, time_t *newest);
    uint64_t clean_targets(bool mem_over);
    void clean_band(time_t threshold, uint64_t mem_target, time_t now);
    void clean_report(time_t now);
    void wake(CACHEMAP *object);

    CACHEMAP *cachemap_new(bool condvar);
    void cache_free(CACHEMAP *object);
    bool hash_add(CACHEMAP *object);
    void hash_remove(CACHEMAP *object);
    unsigned bucket_of(const char *key) const;

    std::string journal_line(const CACHEMAP *object);
    std::string journal_snapshot(const Store *store);
    int journal_commit(Store *store, const std::string &text, time_t now);
    void journal_close_all();
    void journal_apply(Store *store, const JournalLine &line);
    void journal_settle(Store *store);
    void stores_detach();
    void journal_flush_all();

    uint64_t hash_seed[2];
    int object_count = 0;
    std::atomic<uint64_t> serial_next{1};
    uint64_t store_generation = 0;   /* counts rebuilds of the store list (lock held alone) */
    std::string file_nonce;          /* this process's mark on its private file names */
    std::atomic<uint64_t> file_seq{0};
};

/* Holds the cache lock alone (shared: false) or shared for a scope and
 * marks the thread as its holder, so that the fatal path can tell a lock
 * it holds itself from one it may wait for. */
class CacheLock {
public:
    explicit CacheLock(CacheSection &section, bool shared = false);
    ~CacheLock();
    CacheLock(const CacheLock &) = delete;
    CacheLock &operator=(const CacheLock &) = delete;

private:
    CacheSection &held;
};

/* Whether the calling thread holds the cache lock. */
extern thread_local bool cache_lock_here;

/* Disk work that a locked step leaves for its thread to do once the lock
 * is given back (at the end of the CacheLock scope): access and storing
 * times of object files, unmapping dropped objects, and appending the
 * queued journal lines. */
struct CacheDeferred {
    struct Stamp {
        std::string path;
        time_t accessed;       /* seconds since the epoch */
        time_t modified;
    };
    std::list<Stamp> stamps;
    std::vector<std::pair<void *, size_t>> unmaps;   /* mappings nobody holds any more */
    bool drain = false;
};
/* Set while the thread is inside a CacheLock scope: disk work is deferred. */
extern thread_local bool cache_deferring;
extern thread_local CacheDeferred cache_deferred;

/* The one instance, created by sections_create. */
extern CacheSection *cache_section;

/* Moved forward by cleaning when memory is short; announced in the log.
 * Guarded by no_cache. */
extern time_t next_cache;
extern pthread_rwlock_t no_cache;

/* Whether a request may be looked up and stored (an absolute GET without
 * Authorization, Range or a user other than "anonymous") or a response
 * stored (status 200, not private, varying at most by Accept-Encoding).
 * 1 or 0. */
int cacheable(const HEADER *header);
int cacheable2(const HEADER *header);

/* 1 when a client sending accept_encoding (NULL: none) takes a body coded
 * with content_encoding (NULL or "identity": not coded), else 0. */
int cache_encoding_accepted(const char *accept_encoding, const char *content_encoding);

/* Works out the object's freshness at time now from its stored header,
 * retrieved time and refresh ages, changing nothing. Lock held (shared
 * will do). */
void cache_freshness(const CACHEMAP *object, time_t now, CacheFreshness *out);

/* The Age a response arrived with, in seconds: the first member of the
 * field's value; 0 without one or when that member is not a non-negative
 * integer (the Age is then ignored). */
int64_t cache_received_age(const HEADER *h);

/* Whether a stored response may never be served stale: its Cache-Control
 * has must-revalidate, proxy-revalidate or s-maxage. */
bool cache_no_stale(const HEADER *h);

/* Whether a Cache-Control value names the directive (without case). */
bool cache_control_has(const char *value, const char *directive);

/* An HTTP date (IMF-fixdate, RFC 850 or asctime form) read as GMT, in
 * seconds since the epoch; -1 when it does not parse. */
time_t cache_http_date(const char *text);

/* The text of a journal key: backslash, tab, line feed, carriage return
 * and other control bytes escaped with backslashes, so that no key can
 * break a line; and back. unescape returns false for a malformed escape. */
std::string cache_key_escape(const char *key);
bool cache_key_unescape(const std::string &text, std::string *key);

/* Writes the path of key's object file in store into buf; returns
 * hash_key(256, key), or -1 when it does not fit. */
int cache_path(const Store *store, const char *key, char *buf, size_t size);

/* Entry of the unlink service thread (runs cache_section's loop). */
void *unlink_thread(void *arg);

/* A test seam: when set, it is asked before "open", "fallocate", "mmap"
 * and "mremap" of object data and may return an errno value to fail the
 * call with (0 lets it run). */
extern int (*cache_fault_hook)(const char *call);
