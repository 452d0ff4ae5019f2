#pragma once

/*
 * The ground floor of the settings: what the command line sets, the one
 * process-wide record and the parsed section description. It includes
 * nothing of ours, so any file may read BLOCKSIZE or loglevel without
 * being tied to the process frame (main.h) that builds everything.
 */
#include <pthread.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>

struct LOGBUFFER;
struct HASH_TABLE;
struct TIMERS;
struct PASSWORD_CACHE_TABLE;
class ServerPool;
class ClientPool;
class Stats;

/* The product's names, shown by -v and the help. */
#define QUILL_BANNER "Quillmere filtering and caching proxy for HTTP and FTP"
#define QUILL_EDITION "Quillmere"
#ifndef QUILL_RELEASE
#define QUILL_RELEASE "0.1.0"
#endif
#define QUILL_BUILD 1

/* The largest thread table; -t can only lower the number of slots used. */
#define THREAD_SLOTS 16384
/* The main thread and the service threads, which every configuration needs
 * besides at least one worker. */
#define SERVICE_THREADS 7

/* Settings from the command line: written before config runs, read without
 * locks afterwards. */
extern char configfile[256];
extern char sectionfile[256];
extern char logfile[256];
extern char slogfile[256];
extern char elogfile[256];
extern char plogfile[512];
extern char tavrinfeed[512];
extern char pidfile[256];
extern char username[256];
extern char group[256];
extern char proxyhost[256];
/* -L: the one address and port listened on for this run, in place of the
 * network section's listen entries; listen_port 0 when not given. */
extern char listen_address[16];
extern int listen_port;
extern char pamfile[256];
extern int loglevel;
extern int daemonize;
extern int MAXTHREADS;
extern int THREAD_TIMEOUT;
extern int CLIENT_POOL_TIMEOUT;
extern int max_opt_stack;
extern int overload_factor;
extern int SND_BUF;
extern int RCV_BUF;
extern int BLOCKSIZE;
extern int TCP_KEEPIDLE_TIME;
extern int TCP_KEEPINTVL_TIME;
extern int TCP_KEEPCNT_COUNTS;
extern int password_cachesize;
extern int password_cachexpire;
extern int authflag;
extern unsigned clientid;
extern int gmtoffset;

/* The one process-wide record, created by config and never freed. */
struct GLOBAL_T {
    pthread_mutex_t rusage_lock;
    struct rusage rusage;        /* added up by exiting workers */
    LOGBUFFER *logbuffer;        /* recent log lines for the web interface */
    HASH_TABLE *dnscache;
    ServerPool *serverpool;
    ClientPool *clientpool;
    TIMERS *timers;
    pthread_mutex_t dnscache_lock;
    PASSWORD_CACHE_TABLE *password_cache;
    pthread_rwlock_t password_cache_lock;
    Stats *stats;                /* the global statistics tree, made by
                                    globalstats_init; NULL before */
};

extern GLOBAL_T *global;

namespace tinyxml2 { class XMLDocument; }
/* The parsed section description file, kept for the life of the process. */
extern tinyxml2::XMLDocument *sectionxml;

/* The outcome of reading the command line. */
enum options_result {
    OPTIONS_RUN = 0,     /* go on starting */
    OPTIONS_EXIT_OK,     /* help or version written: exit 0 */
    OPTIONS_EXIT_FAIL,   /* refused: the message or help is written, exit 1 */
};

/* Reads the options into the settings above; writes help, version and
 * refusals to the given streams. Returns an options_result. */
[[nodiscard]] int options_parse(int argc, char **argv, FILE *out, FILE *err);

/* Writes the help text. */
void show_help(char **argv, FILE *err);
int get_my_release_build();
