/*
 * Disk stores and their journals. A store is a directory of object files,
 * each named by the MD5 of its URL inside one of 256 subdirectories chosen
 * by hash_key, and holding exactly the bytes of the object's mapping. The
 * index of a store survives restarts in its journal: a tab-separated line
 * per object event, appended as events happen and rewritten from the index
 * every journal-lines appends. A rewrite goes to "journal.new" and replaces
 * "journal" only once it is complete and on disk, so a crash never leaves a
 * half journal; a key is escaped so that no URL can break its line, and a
 * line that is cut off or too long is skipped whole. Files are deleted by a
 * service thread from a queue, off the request threads.
 *
 * No disk work of a request thread runs under the cache lock: journal
 * lines are queued under it and appended once it is given back, in the
 * order they were queued; access times are stamped on files the same way;
 * a new object's file is made under a private name in the store's "tmp"
 * directory before the creating step and renamed to its path after it; the
 * writer of an object reserves its blocks, cuts and closes its file
 * and works out its checksum before it takes the lock; and rewrites, with
 * their fsync, are the service thread's, which takes the lines under the
 * shared lock and writes them without it.
 */
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "hash.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "process.h"
#include "profiles.h"

/* One parsed journal line. */
struct JournalLine {
    int flags;
    std::string key;
    int64_t size;
    time_t retrieved;
    time_t accessed;
    bool ages;                 /* fields 5 to 8 present */
    uint32_t min_age, max_age, default_age, lm_factor;
    char md5[33];
};

static bool journal_parse(char *line, JournalLine *out);
static bool journal_number(const char *text, uint64_t max, uint64_t *value);
static bool journal_md5_valid(const char *text);
static bool journal_write_all(int fd, const char *bytes, size_t len);

/* Configuration. */

void CacheSection::update()
{
    /* Section::load holds the lock for us. */
    bool outer = cache_lock_here;
    cache_lock_here = true;

    journal_close_all();
    stores_detach();
    store_generation++;   /* files chosen for the old list are not taken */
    {
        MutexGuard guard(&journal_mutex);   /* the drainers walk the list */
        stores.clear();
        refreshes.clear();

        if (subsections.size() > 0)
            for (const Item &item : subsections[0].items) {
                Store s;
                s.enabled = item.fields[0].value != 0;
                s.comment = item.fields[1].text;
                s.profiles = item.fields[2].list;
                s.directory = item.fields[3].text;
                while (s.directory.size() > 1 && s.directory.back() == '/')
                    s.directory.pop_back();
                s.size = item.fields[4].llvalue;
                s.free_extra = item.fields[5].llvalue;
                s.md5 = item.fields[6].value != 0;
                stores.push_back(s);
            }
        if (subsections.size() > 1)
            for (const Item &item : subsections[1].items) {
                Refresh r;
                r.enabled = item.fields[0].value != 0;
                r.comment = item.fields[1].text;
                r.profiles = item.fields[2].list;
                r.cacheable = item.fields[3].value != 0;
                r.min_age = item.fields[4].uvalue;
                r.max_age = item.fields[5].uvalue;
                r.default_age = item.fields[6].uvalue;
                r.lm_factor = item.fields[7].uvalue;
                refreshes.push_back(r);
            }
    }
    stores_update();
    cache_lock_here = outer;
}

/*
 * Every object leaves its store, whose record is about to be rebuilt. A
 * mapped object nobody holds stays as a memory object (its journal line
 * takes it back into its store); an unmapped one is dropped from the index
 * (its journal line brings it back). An object in use goes on in memory
 * alone, and its file, which no journal will name, is queued for deletion.
 */
void CacheSection::stores_detach()
{
    for (int b = 0; b < CACHE_BUCKETS; b++) {
        CACHEMAP_LIST *node = cachemaplist[b];
        while (node) {
            CACHEMAP_LIST *next = node->next;
            CACHEMAP *o = node->cachemap;
            if (o->store) {
                if (o->refcount > 0) {
                    if (o->flags & CACHE_DISK) {
                        char path[4096];
                        if (filename(o, path, sizeof path) >= 0)
                            unlink_list_add(path);
                    }
                    o->flags &= ~CACHE_DISK;
                    o->store = nullptr;
                } else if (o->flags & CACHE_MEM) {
                    o->flags &= ~CACHE_DISK;
                    o->store = nullptr;
                } else {
                    hash_remove(o);
                    cache_free(o);
                }
            }
            node = next;
        }
    }
}

void CacheSection::stores_update()
{
    stores_detach();
    journal_close_all();
    for (Store &s : stores) {
        {
            MutexGuard guard(&journal_mutex);
            s.journal_time = 0;
            s.journal_count = 0;
            s.journal_pending.clear();
            s.rewrite_wanted = false;
        }
        s.disk_full = false;
        if (!s.enabled || s.directory.empty())
            continue;
        s.entries = 0;
        s.bytes = 0;
        struct stat st;
        if (stat(s.directory.c_str(), &st) != 0)
            create_recursive_directory(s.directory.c_str());
        tmp_sweep(s);
        s.writable = s.size == 0 || store_writable(s);
        if (!s.writable)
            putlog(LOG_WARNING, "cache: store %s is not writable by %s: objects are kept in memory only",
                   log_text(s.directory, LOG_TEXT_MAX).c_str(), username);
        journal_read(&s);
        journal_write(&s);
        /* Files no journal line names (a journal lost or emptied) are
         * removed by the service thread, without holding the start up. */
        MutexGuard guard(&unlink_lock);
        sweep_dirs.push_back(s.directory);
        pthread_cond_broadcast(&unlink_cond);
    }
}

/*
 * Removes the object files of the store in directory that no indexed
 * object names: files in its two-hex-digit subdirectories, listed first;
 * the index is read after (an object is indexed before its file gets its
 * name, so every listed file of a live object is found). A file is
 * deleted as the deletion queue does (unlink_current), so that a new
 * object renamed to the same path meanwhile waits and survives; a path a
 * new object took since the sweep began (sweep_made) is left alone.
 * Returns the number of files removed; *bytes gets their bytes. No lock
 * is held across the disk work.
 */
int CacheSection::orphans_remove(const std::string &directory, uint64_t *bytes)
{
    *bytes = 0;
    std::vector<std::string> listed;
    for (unsigned b = 0; b < CACHE_DIR_BUCKETS; b++) {
        char sub[16];
        snprintf(sub, sizeof sub, "/%.2x", b);
        std::string dir = directory + sub;
        DIR *d = opendir(dir.c_str());
        if (!d)
            continue;
        while (struct dirent *entry = readdir(d)) {
            if (entry->d_name[0] == '.')
                continue;
            listed.push_back(dir + "/" + entry->d_name);
        }
        closedir(d);
    }
    if (listed.empty())
        return 0;
    std::set<std::string> live;
    {
        CacheLock lock(*this, true);
        for (int b = 0; b < CACHE_BUCKETS; b++)
            for (CACHEMAP_LIST *n = cachemaplist[b]; n; n = n->next) {
                const CACHEMAP *o = n->cachemap;
                char path[4096];
                if (o->store && o->store->directory == directory &&
                    filename(o, path, sizeof path) >= 0)
                    live.insert(path);
            }
    }
    int removed = 0;
    for (const std::string &path : listed) {
        if (live.count(path))
            continue;
        {
            MutexGuard guard(&unlink_lock);
            if (sweep_made.count(path) || unlink_current == path ||
                std::find(unlink_list.begin(), unlink_list.end(), path) != unlink_list.end())
                continue;
            unlink_current = path;
        }
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && unlink(path.c_str()) == 0) {
            removed++;
            *bytes += (uint64_t)st.st_size;
        }
        MutexGuard guard(&unlink_lock);
        unlink_current.clear();
        pthread_cond_broadcast(&unlink_cond);
    }
    return removed;
}

void CacheSection::space_check()
{
    std::vector<std::string> dirs;
    {
        CacheLock lock(*this, true);
        for (const Store &s : stores)
            if (s.enabled && !s.directory.empty() && s.size != 0)
                dirs.push_back(s.directory);
    }
    /* -1: not known (the store keeps its state), 0 room, 1 short. */
    std::vector<int> low(dirs.size(), -1);
    std::vector<uint64_t> need(dirs.size(), 0);
    for (size_t i = 0; i < dirs.size(); i++) {
        struct statvfs v;
        if (statvfs(dirs[i].c_str(), &v) != 0)
            continue;
        uint64_t total = (uint64_t)v.f_blocks * (uint64_t)v.f_frsize;
        uint64_t free_bytes = (uint64_t)v.f_bavail * (uint64_t)v.f_frsize;
        need[i] = std::max<uint64_t>(total / 100 * CACHE_SPACE_PERCENT, CACHE_SPACE_MIN);
        low[i] = free_bytes < need[i] ? 1 : 0;
    }
    CacheLock lock(*this);
    for (Store &s : stores)
        for (size_t i = 0; i < dirs.size(); i++) {
            if (s.directory != dirs[i] || low[i] < 0 || s.low_space == (low[i] == 1))
                continue;
            s.low_space = low[i] == 1;
            if (s.low_space)
                putlog(LOG_WARNING, "cache: store %s has less than %llu bytes free, it takes no "
                       "new objects until it has", s.directory.c_str(),
                       (unsigned long long)need[i]);
            else
                putlog(LOG_CACHE, "cache: store %s has at least %llu bytes free again, it takes new "
                       "objects", s.directory.c_str(), (unsigned long long)need[i]);
        }
}

int CacheSection::sweep_once()
{
    std::string directory;
    {
        MutexGuard guard(&unlink_lock);
        if (sweep_dirs.empty())
            return 0;
        directory = sweep_dirs.front();
        sweep_dirs.pop_front();
        sweeping++;
    }
    uint64_t bytes = 0;
    int removed = orphans_remove(directory, &bytes);
    {
        MutexGuard guard(&unlink_lock);
        if (--sweeping == 0)
            sweep_made.clear();
    }
    if (removed > 0)
        putlog(LOG_CACHE, "cache: removed %d files of %llu bytes that no journal names in store: "
               "%s", removed, (unsigned long long)bytes, directory.c_str());
    return 1;
}

/* Store choice. */

void CacheSection::select_store(CONNECTION_T *conn, CACHEMAP *object)
{
    for (Store &s : stores)
        if (s.enabled && !s.directory.empty() && s.size != 0 && s.bytes > s.size)
            s.disk_full = true;
    object->store = store_pick(conn);
}

/* The store policy's choice among the stores whose profiles match, or
 * NULL. Changes nothing. */
Store *CacheSection::store_pick(CONNECTION_T *conn)
{
    static const StringList no_profiles;
    const StringList &have = conn ? conn->profiles : no_profiles;
    int policy = opt_store_policy();
    Store *best = nullptr;
    uint64_t best_bytes = 0;
    uint64_t best_percent = 0;

    for (Store &s : stores) {
        if (!s.enabled || s.directory.empty() || s.size == 0 || s.low_space ||
            !s.writable)
            continue;
        if (!profile_find(have, s.profiles))
            continue;
        if (policy == 0) {
            if (!best || s.bytes < best_bytes) {
                best = &s;
                best_bytes = s.bytes;
            }
        } else if (policy == 1) {
            uint64_t percent = (uint64_t)((double)s.bytes / (double)s.size * 100.0);
            if (!best || percent < best_percent) {
                best = &s;
                best_percent = percent;
            }
        }
    }
    return best;
}

/*
 * The store's "tmp" directory, where new objects' files are made under
 * private names: made when missing, and every file in it that this process
 * did not make (left by a crash between a file's creation and its rename)
 * is queued for deletion. Runs at start-up and reload.
 */
void CacheSection::tmp_sweep(const Store &store)
{
    std::string tmp = store.directory + "/tmp";
    if (mkdir(tmp.c_str(), 0755) != 0 && errno != EEXIST) {
        putlog(LOG_ERROR, "cache: failed to create cache directory structure in store: %s",
               store.directory.c_str());
        return;
    }
    DIR *dir = opendir(tmp.c_str());
    if (!dir)
        return;
    std::string ours = file_nonce + ".";
    while (struct dirent *entry = readdir(dir)) {
        const char *name = entry->d_name;
        if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0)
            continue;
        if (strncmp(name, ours.c_str(), ours.size()) == 0)
            continue;   /* a file being made now */
        unlink_list_add(tmp + "/" + name);
    }
    closedir(dir);
}

/* Makes and removes a file in dir; false when either fails. */
static bool store_try_file(const std::string &dir, const std::string &name)
{
    std::string path = dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0)
        return false;
    close(fd);
    return unlink(path.c_str()) == 0;
}

/*
 * Whether the daemon, as the user it runs as, can make the files of new
 * objects in the store: a file is made and removed in its "tmp" directory
 * and in its first object subdirectory, or, before it has any, in the
 * store's directory, where the subdirectories will be made. Part of a
 * load (lock held); run at start-up and at each reload.
 */
bool CacheSection::store_writable(const Store &store)
{
    std::string name = ".write-check." + file_nonce;
    if (!store_try_file(store.directory + "/tmp", name))
        return false;
    std::string first;
    if (DIR *dir = opendir(store.directory.c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            const char *d = entry->d_name;
            if (isxdigit((unsigned char)d[0]) && isxdigit((unsigned char)d[1]) && d[2] == '\0' &&
                !isupper((unsigned char)d[0]) && !isupper((unsigned char)d[1]) &&
                (first.empty() || first > d))
                first = d;
        }
        closedir(dir);
    }
    std::string target = store.directory;
    struct stat st;
    if (!first.empty() && stat((target + "/" + first).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        target += "/" + first;
    return store_try_file(target, name);
}

/* Files. */

int CacheSection::filename(const CACHEMAP *object, char *buf, size_t size)
{
    if (!object->store)
        return -1;
    return cache_path(object->store, object->key, buf, size);
}

int cache_path(const Store *store, const char *key, char *buf, size_t size)
{
    char digest[33];
    md5_string(key, digest);
    unsigned bucket = hash_key(CACHE_DIR_BUCKETS, key);
    int n = snprintf(buf, size, "%s/%.2x/%s", store->directory.c_str(), bucket, digest);
    if (n < 0 || (size_t)n >= size) {
        putlog(LOG_ERROR, "[system: snprintf:%d:%s], in %s, cache: unable to set the filename",
               ENAMETOOLONG, strerror(ENAMETOOLONG), __func__);
        return -1;
    }
    return (int)bucket;
}

int CacheSection::md5_check(CACHEMAP *object)
{
    if (!object->store || !object->store->md5 || !object->map) {
        strcpy(object->md5, "0");
        return 1;
    }
    char got[33];
    if (!md5_hex(object->map, object->size, got))
        return 1;   /* no digest to be had: nothing to compare */
    if (strcmp(object->md5, "0") == 0) {
        strcpy(object->md5, got);
        return 1;
    }
    if (strcmp(object->md5, got) != 0) {
        putlog(LOG_ERROR, "cache: md5 mismatch, expected: %s got: %s", object->md5, got);
        return 0;
    }
    return 1;
}

void CacheSection::disk_delete(CACHEMAP *object)
{
    ASSERT((object->flags & CACHE_DISK) && object->store);
    Store *s = object->store;
    if (!s->directory.empty()) {
        char path[4096];
        if (filename(object, path, sizeof path) >= 0)
            unlink_list_add(path);
    }
    s->bytes = s->bytes >= (uint64_t)object->size ? s->bytes - (uint64_t)object->size : 0;
    if (s->entries > 0)
        s->entries--;
    object->flags &= ~CACHE_DISK;
}

/*
 * The writer's disk work at its close, before it takes the lock: the file
 * is cut to the bytes stored and closed, and with checksums on, the
 * checksum of the stored bytes goes to md5 (else md5 is left empty). The
 * mapping, the size and the descriptor change only by the writer, which
 * still holds its reference; the store is read under the shared lock.
 */
void CacheSection::finish_file(CACHEMAP *object, char *md5)
{
    md5[0] = '\0';
    bool checksum;
    {
        CacheLock lock(*this, true);
        checksum = object->store && object->store->md5 && object->map && object->size > 0 &&
                   !(object->flags & CACHE_INVALID);
    }
    if (checksum && !md5_hex(object->map, object->size, md5))
        md5[0] = '\0';
    file_cut(object);
}

void CacheSection::file_cut(CACHEMAP *object)
{
    if (object->fd < 0)
        return;
    if (ftruncate(object->fd, (off_t)object->size) != 0)
        putlog(LOG_ERROR, "[system: ftruncate:%d:%s], in %s, cache: failed to resize [%d] "
               "memory map from %lld to %lld", errno, strerror(errno), __func__, object->fd,
               (long long)object->maplen, (long long)object->size);
    close(object->fd);
    object->fd = -1;
}

/* The deletion queue. */

void CacheSection::unlink_list_add(const std::string &path)
{
    MutexGuard guard(&unlink_lock);
    unlink_list.push_back(path);
    unlink_count++;
    pthread_cond_broadcast(&unlink_cond);
}

void CacheSection::unlink_list_zap(const std::string &path, bool wait)
{
    MutexGuard guard(&unlink_lock);
    for (auto it = unlink_list.begin(); it != unlink_list.end(); ++it)
        if (*it == path) {
            unlink_list.erase(it);
            unlink_count--;
            break;
        }
    /* Only a deletion of this very path is waited for. */
    while (wait && unlink_current == path)
        pthread_cond_wait(&unlink_cond, &unlink_lock);
}

void CacheSection::unlink_wait(const std::string &path)
{
    MutexGuard guard(&unlink_lock);
    while (unlink_current == path)
        pthread_cond_wait(&unlink_cond, &unlink_lock);
}

int CacheSection::unlink_once(bool wait)
{
    std::string path;
    int count;
    int rc;
    int err = 0;
    {
        MutexGuard guard(&unlink_lock);
        while (unlink_list.empty()) {
            if (!wait)
                return 0;
            pthread_cond_wait(&unlink_cond, &unlink_lock);
        }
        path = unlink_list.front();
        count = unlink_count;
        unlink_list.pop_front();
        unlink_count--;
        unlink_current = path;
    }
    /* Without any lock: a zap of the same path (a new file about to be
     * created there) waits until it is gone; nothing else waits. */
    rc = unlink(path.c_str());
    if (rc != 0)
        err = errno;
    {
        MutexGuard guard(&unlink_lock);
        unlink_current.clear();
        pthread_cond_broadcast(&unlink_cond);
    }
    if (wait)
        usleep(10000);
    if (rc != 0)
        putlog(LOG_ERROR, "cache: failed to delete file (1 of %d) %s (%s)", count, path.c_str(),
               strerror(err));
    return 1;
}

void CacheSection::unlink_thread()
{
    bool again = false;   /* a rewrite waits for its interval */
    int64_t space_due_ms = 0;
    for (;;) {
        if (monotonic_ms() >= space_due_ms) {
            space_check();
            space_due_ms = monotonic_ms() + CACHE_SPACE_CHECK_MS;
        }
        bool rewrite;
        {
            MutexGuard guard(&unlink_lock);
            while (unlink_list.empty() && !rewrite_signal && sweep_dirs.empty()) {
                /* Woken at least for the next look at the free space, and
                 * each second while a rewrite waits for its interval. */
                struct timespec until;
                clock_gettime(CLOCK_REALTIME, &until);
                until.tv_sec += again ? 1 : CACHE_SPACE_CHECK_MS / 1000;
                if (pthread_cond_timedwait(&unlink_cond, &unlink_lock, &until) == ETIMEDOUT)
                    break;
            }
            rewrite = rewrite_signal || again;
            rewrite_signal = false;
        }
        if (rewrite)
            again = journal_rewrite_due();
        (void)sweep_once();
        if (unlink_once(false))
            usleep(10000);
    }
}

/* The journal. */

/* The line of an object: flags, key, size, retrieved, accessed, the four
 * ages and the checksum, tab-separated, ended by a line feed. */
std::string CacheSection::journal_line(const CACHEMAP *object)
{
    char numbers[256];
    std::string line = std::to_string(object->flags);
    line += '\t';
    line += cache_key_escape(object->key);
    snprintf(numbers, sizeof numbers, "\t%llu\t%llu\t%llu\t%u\t%u\t%u\t%u\t%s\n",
             (unsigned long long)(object->size > 0 ? object->size : 0),
             (unsigned long long)(object->retrieved > 0 ? object->retrieved : 0),
             (unsigned long long)std::max<time_t>(object->accessed, 0), object->min_age,
             object->max_age, object->default_age, object->lm_factor, object->md5);
    line += numbers;
    return line;
}

int CacheSection::journal_add(CACHEMAP *object)
{
    Store *s = object->store;
    if (!s || s->directory.empty())
        return 1;
    std::string line = journal_line(object);
    bool rewrite;
    {
        MutexGuard guard(&journal_mutex);
        s->journal_pending += line;
        s->journal_count++;
        rewrite = s->journal_count >= opt_journal_lines() && !s->rewrite_wanted;
        if (rewrite)
            s->rewrite_wanted = true;
    }
    if (rewrite) {
        MutexGuard guard(&unlink_lock);
        rewrite_signal = true;
        pthread_cond_broadcast(&unlink_cond);
    }
    if (cache_deferring)
        cache_deferred.drain = true;
    else
        journal_drain();
    return 1;
}

void CacheSection::journal_drain()
{
    MutexGuard guard(&journal_mutex);
    if (journal_busy)
        return;   /* the thread at work appends these lines too */
    journal_busy = true;
    for (;;) {
        Store *s = nullptr;
        for (Store &each : stores)
            if (!each.journal_pending.empty()) {
                s = &each;
                break;
            }
        if (!s)
            break;
        std::string lines;
        lines.swap(s->journal_pending);
        int fd = s->journal_fd;
        pthread_mutex_unlock(&journal_mutex);
        /* journal_busy keeps the store and its descriptor as they are. */
        if (fd < 0) {
            std::string path = s->directory + "/journal";
            fd = s_open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
            if (fd >= 0)
                putlog(LOG_CACHE, "opened new %s/journal [%d]", s->directory.c_str(), fd);
        }
        if (fd < 0 || !journal_write_all(fd, lines.data(), lines.size()))
            putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: failed to write to [%d] %s/journal",
                   errno, strerror(errno), __func__, fd, s->directory.c_str());
        pthread_mutex_lock(&journal_mutex);
        s->journal_fd = fd;
    }
    journal_busy = false;
    pthread_cond_broadcast(&journal_idle);
}

/* Appends what is queued, then closes every append descriptor (synced).
 * The caller holds the cache lock alone or is the only thread left. */
void CacheSection::journal_close_all()
{
    journal_drain();
    MutexGuard guard(&journal_mutex);
    while (journal_busy)
        pthread_cond_wait(&journal_idle, &journal_mutex);
    for (Store &s : stores)
        if (s.journal_fd >= 0) {
            fsync(s.journal_fd);
            close(s.journal_fd);
            s.journal_fd = -1;
        }
}

/* Every line of the store's objects, from the index. Lock held (shared
 * will do). */
std::string CacheSection::journal_snapshot(const Store *store)
{
    std::string text;
    for (int b = 0; b < CACHE_BUCKETS; b++)
        for (CACHEMAP_LIST *n = cachemaplist[b]; n; n = n->next)
            if (n->cachemap->store == store)
                text += journal_line(n->cachemap);
    return text;
}

/*
 * Writes text to "journal.new", syncs it and renames it over "journal",
 * closing the append descriptor (the next append opens the new journal).
 * Runs without the cache lock, with journal_busy held by the caller.
 * Returns 1, or -1 on a failure (old journal kept).
 */
int CacheSection::journal_commit(Store *store, const std::string &text, time_t now)
{
    std::string final_path = store->directory + "/journal";
    std::string new_path = store->directory + "/journal.new";
    int fd = s_open(new_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        putlog(LOG_ERROR, "[system: open:%d:%s], in %s, cache: unable to write journal for %s",
               errno, strerror(errno), __func__, store->directory.c_str());
        return -1;
    }
    putlog(LOG_CACHE, "writing journal for %s", store->directory.c_str());

    bool ok = true;
    for (size_t off = 0; ok && off < text.size(); off += 65536)
        ok = journal_write_all(fd, text.data() + off, std::min<size_t>(65536, text.size() - off));
    int err = ok ? 0 : errno;
    if (ok && fsync(fd) != 0) {
        ok = false;
        err = errno;
    }
    struct stat st;
    if (ok && (fstat(fd, &st) != 0 || (uint64_t)st.st_size != text.size())) {
        ok = false;
        err = EIO;
    }
    if (close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok) {
        /* The old journal and its appends stay the record. */
        putlog(LOG_ERROR, "[system: write:%d:%s], in %s, cache: unable to write journal for %s",
               err, strerror(err), __func__, store->directory.c_str());
        unlink(new_path.c_str());
        return -1;
    }

    int old_fd;
    {
        MutexGuard guard(&journal_mutex);
        old_fd = store->journal_fd;
        store->journal_fd = -1;
        store->journal_count = 0;
    }
    if (old_fd >= 0) {
        fsync(old_fd);
        close(old_fd);
    }
    if (rename(new_path.c_str(), final_path.c_str()) != 0) {
        putlog(LOG_ERROR, "[system: rename:%d:%s], in %s, cache: unable to rename journal for %s",
               errno, strerror(errno), __func__, store->directory.c_str());
        return -1;
    }
    int dir = open(store->directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    MutexGuard guard(&journal_mutex);
    store->journal_time = now;
    return 1;
}

int CacheSection::journal_write(Store *store)
{
    time_t now = utc_time(nullptr);
    std::string saved;
    {
        MutexGuard guard(&journal_mutex);
        if (store->journal_time && now < store->journal_time + CACHE_JOURNAL_REWRITE_SECONDS)
            return 0;
        if (store->directory.empty())
            return -1;
    }
    /* The lock held alone: no line is queued while the index is read. */
    std::string text = journal_snapshot(store);
    {
        MutexGuard guard(&journal_mutex);
        while (journal_busy)
            pthread_cond_wait(&journal_idle, &journal_mutex);
        saved.swap(store->journal_pending);   /* in the snapshot */
        store->rewrite_wanted = false;
        journal_busy = true;
    }
    int rc = journal_commit(store, text, now);
    {
        MutexGuard guard(&journal_mutex);
        if (rc < 0)
            store->journal_pending = saved + store->journal_pending;
        journal_busy = false;
        pthread_cond_broadcast(&journal_idle);
    }
    journal_drain();
    return rc;
}

bool CacheSection::journal_rewrite_due()
{
    bool waiting = false;
    for (;;) {
        time_t now = utc_time(nullptr);
        Store *store = nullptr;
        std::string text, saved;
        {
            /* Shared: lines are queued only under the lock held alone, so
             * none is queued while the index is read. */
            CacheLock lock(*this, true);
            {
                MutexGuard guard(&journal_mutex);
                for (Store &s : stores) {
                    if (!s.rewrite_wanted)
                        continue;
                    if (s.directory.empty()) {
                        s.rewrite_wanted = false;
                        continue;
                    }
                    if (s.journal_time && now < s.journal_time + CACHE_JOURNAL_REWRITE_SECONDS) {
                        waiting = true;
                        continue;
                    }
                    store = &s;
                    break;
                }
            }
            if (!store)
                return waiting;
            text = journal_snapshot(store);
            MutexGuard guard(&journal_mutex);
            while (journal_busy)
                pthread_cond_wait(&journal_idle, &journal_mutex);
            saved.swap(store->journal_pending);
            store->rewrite_wanted = false;
            journal_busy = true;
        }
        /* journal_busy keeps the store: a reload waits for it. */
        int rc = journal_commit(store, text, now);
        {
            MutexGuard guard(&journal_mutex);
            if (rc < 0)
                store->journal_pending = saved + store->journal_pending;
            journal_busy = false;
            pthread_cond_broadcast(&journal_idle);
        }
        journal_drain();
    }
}

void CacheSection::journal_read(Store *store)
{
    std::string path = store->directory + "/journal";
    FILE *f = s_fopen(path.c_str(), "r");
    if (!f) {
        path = store->directory + "/journal.new";
        f = s_fopen(path.c_str(), "r");
    }
    if (!f) {
        putlog(LOG_WARNING, "cache: journal is missing for store: %s, all cached objects have "
               "been lost", store->directory.c_str());
        return;
    }
    std::unique_ptr<FILE, int (*)(FILE *)> file(f, fclose);
    putlog(LOG_DEBUG, "cache: reading journal for store: %s", store->directory.c_str());

    std::vector<char> buf(CACHE_JOURNAL_LINE_MAX + 2);
    bool skipping = false;
    while (fgets(buf.data(), (int)buf.size(), f)) {
        size_t len = strlen(buf.data());
        bool complete = len > 0 && buf[len - 1] == '\n';
        if (skipping) {
            /* The rest of a line too long to be ours. */
            skipping = !complete;
            continue;
        }
        if (!complete) {
            /* Too long, or cut off by a crash at the end of the file:
             * either way not a line to trust. */
            skipping = true;
            continue;
        }
        buf[len - 1] = '\0';
        JournalLine line;
        if (journal_parse(buf.data(), &line))
            journal_apply(store, line);
    }
    journal_settle(store);
}

/*
 * One journal line of store. A line for an object held now changes
 * nothing; one for an object of another store wins only when it is not
 * older (the loser's file here is queued for deletion); else the line's
 * state replaces the object's, or a new object is indexed for it.
 */
void CacheSection::journal_apply(Store *store, const JournalLine &line)
{
    CACHEMAP *o = hash_find(line.key.c_str());
    if (o) {
        if (o->refcount > 0)
            return;
        if (o->store != store) {
            /* A newer copy elsewhere wins; an older one yields, and its
             * file here, which no journal will name, goes. */
            if (line.retrieved < o->retrieved) {
                char live[4096], here[4096];
                Store *other = o->store;
                bool live_named = other && filename(o, live, sizeof live) >= 0;
                o->store = store;
                bool here_named = filename(o, here, sizeof here) >= 0;
                o->store = other;
                if (here_named && (!live_named || strcmp(live, here) != 0))
                    unlink_list_add(here);
                return;
            }
            if (o->flags & CACHE_MEM)
                mem_delete(o);
            if (o->store && (o->flags & CACHE_DISK))
                disk_delete(o);
            o->flags &= ~CACHE_DISK;
        }
    } else {
        o = cachemap_new(false);
        if (!o)
            return;
        o->key = xstrdup(line.key.c_str());
        if (!o->key) {
            free(o);
            return;
        }
        if (!hash_add(o)) {
            cache_free(o);
            return;
        }
    }
    o->store = store;
    o->serial = serial_next++;   /* another file now: a mapping made for the old one is stale */
    {
        char here[4096];
        if (filename(o, here, sizeof here) >= 0)
            unlink_list_zap(here);   /* an earlier older line may have queued it */
    }
    o->flags = (line.flags & CACHE_FLAGS_ALL & ~(CACHE_MEM | CACHE_CONDVAR)) |
               (o->flags & (CACHE_MEM | CACHE_CONDVAR));
    o->size = line.size;
    o->retrieved = line.retrieved;
    o->accessed = line.accessed;
    if (line.ages) {
        o->min_age = line.min_age;
        o->max_age = line.max_age;
        o->default_age = line.default_age;
        o->lm_factor = line.lm_factor;
    } else {
        select_refresh(nullptr, o);
    }
    strcpy(o->md5, line.md5);
}

/* After the last line: every object of store nobody holds keeps only its
 * journaled flags; a finished one on disk counts in the store, any other
 * (being written, dead, buffer-only, empty) is dropped with its file. */
void CacheSection::journal_settle(Store *store)
{
    for (int b = 0; b < CACHE_BUCKETS; b++) {
        CACHEMAP_LIST *node = cachemaplist[b];
        while (node) {
            CACHEMAP_LIST *next = node->next;
            CACHEMAP *o = node->cachemap;
            node = next;
            if (o->store != store || o->refcount > 0)
                continue;
            int condvar = o->flags & CACHE_CONDVAR;   /* the real state, kept */
            o->flags &= ~CACHE_FLAGS_TRANSIENT;
            o->flags |= condvar;
            if (o->map)
                o->flags |= CACHE_MEM;
            if ((o->flags & CACHE_DISK) &&
                !(o->flags & (CACHE_WRITING | CACHE_INVALID | CACHE_DISCARD)) && o->size > 0) {
                store->entries++;
                store->bytes += (uint64_t)o->size;
                continue;
            }
            putlog(LOG_DEBUG, "cache: object %s final state was invalid: %d", o->key, (int)o->flags);
            if (o->flags & CACHE_MEM)
                mem_delete(o);
            if (o->flags & CACHE_DISK) {
                char path[4096];
                if (filename(o, path, sizeof path) >= 0)
                    unlink_list_add(path);
            }
            hash_remove(o);
            cache_free(o);
        }
    }
}

/* Parses one journal line (without its line feed), splitting it in place.
 * false for a line of fewer than 5 fields or a field that does not read. */
static bool journal_parse(char *line, JournalLine *out)
{
    char *fields[10];
    int n = 0;
    char *p = line;
    while (*p && n < 10) {
        while (*p == '\t')
            p++;
        if (!*p)
            break;
        fields[n++] = p;
        while (*p && *p != '\t')
            p++;
        if (*p)
            *p++ = '\0';
    }
    if (n < 5)
        return false;

    char *end = nullptr;
    errno = 0;
    long flags = strtol(fields[0], &end, 10);
    if (errno || end == fields[0] || *end || flags < 0 || flags > INT32_MAX)
        return false;
    out->flags = (int)flags;
    if (!cache_key_unescape(fields[1], &out->key) || out->key.empty() ||
        out->key.size() > CACHE_KEY_MAX)
        return false;
    uint64_t v;
    if (!journal_number(fields[2], INT64_MAX, &v))
        return false;
    out->size = (int64_t)v;
    if (!journal_number(fields[3], INT64_MAX, &v))
        return false;
    out->retrieved = (time_t)v;
    if (!journal_number(fields[4], INT64_MAX, &v))
        return false;
    out->accessed = (time_t)v;
    out->ages = n >= 9;
    out->min_age = out->max_age = out->default_age = out->lm_factor = 0;
    if (out->ages) {
        uint32_t *ages[4] = { &out->min_age, &out->max_age, &out->default_age, &out->lm_factor };
        for (int i = 0; i < 4; i++) {
            if (!journal_number(fields[5 + i], UINT32_MAX, &v))
                return false;
            *ages[i] = (uint32_t)v;
        }
    }
    strcpy(out->md5, "0");
    if (n >= 10 && journal_md5_valid(fields[9]))
        strcpy(out->md5, fields[9]);
    return true;
}

/* A decimal number of digits only, at most max. */
static bool journal_number(const char *text, uint64_t max, uint64_t *value)
{
    if (!*text)
        return false;
    uint64_t v = 0;
    for (const char *p = text; *p; p++) {
        if (*p < '0' || *p > '9')
            return false;
        unsigned d = (unsigned)(*p - '0');
        if (v > (max - d) / 10)
            return false;
        v = v * 10 + d;
    }
    *value = v;
    return true;
}

/* "0", or 32 lower-case hex digits. */
static bool journal_md5_valid(const char *text)
{
    if (strcmp(text, "0") == 0)
        return true;
    if (strlen(text) != 32)
        return false;
    for (const char *p = text; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    return true;
}

/* Writes everything, resuming after short writes; false with errno set. */
static bool journal_write_all(int fd, const char *bytes, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, bytes, len);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes += n;
        len -= (size_t)n;
    }
    return true;
}

std::string cache_key_escape(const char *key)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (const unsigned char *p = (const unsigned char *)key; *p; p++) {
        switch (*p) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default:
            if (*p < 0x20 || *p == 0x7f) {
                out += "\\x";
                out += hex[*p >> 4];
                out += hex[*p & 15];
            } else {
                out += (char)*p;
            }
        }
    }
    return out;
}

bool cache_key_unescape(const std::string &text, std::string *key)
{
    std::string out;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (c != '\\') {
            out += c;
            continue;
        }
        if (++i >= text.size())
            return false;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 't': out += '\t'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 'x': {
            if (i + 2 >= text.size())
                return false;
            int hi = hex_digit((unsigned char)text[i + 1]);
            int lo = hex_digit((unsigned char)text[i + 2]);
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0))
                return false;
            out += (char)(hi * 16 + lo);
            i += 2;
            break;
        }
        default:
            return false;
        }
    }
    *key = out;
    return true;
}
