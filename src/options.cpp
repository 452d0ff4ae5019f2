/*
 * The command-line settings and their reader. Every setting is checked
 * before anything starts: a value out of range refuses the start with the
 * help text instead of being read as 0 or cut short. The settings are
 * written here, before config runs, and read without locks afterwards.
 */
#include "options.h"

#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

char configfile[256];
char sectionfile[256];
char logfile[256];
char slogfile[256];
char elogfile[256];
char plogfile[512] = "/opt/quillmere/quillmere/logs/performance/performance.log";
char tavrinfeed[512];
char pidfile[256];
char username[256];
char group[256];
char proxyhost[256];
char listen_address[INET_ADDRSTRLEN];
int listen_port = 0;
char pamfile[256] = "quillmere";
int loglevel = 0x7ffffff;
int daemonize = 1;
int MAXTHREADS = THREAD_SLOTS;
int THREAD_TIMEOUT = 1;
int CLIENT_POOL_TIMEOUT = 1;
int max_opt_stack = 1048576;
int overload_factor = 1;
/* 0: the kernel sizes the socket buffers itself (autotuning); -b sets them. */
int SND_BUF = 0;
int RCV_BUF = 0;
int BLOCKSIZE = 8192;
int TCP_KEEPIDLE_TIME = 900;
int TCP_KEEPINTVL_TIME = 75;
int TCP_KEEPCNT_COUNTS = 9;
int password_cachesize = 100;
int password_cachexpire = 600;
int authflag = 0;
unsigned clientid = 1;
int gmtoffset = 0;

GLOBAL_T *global = nullptr;
tinyxml2::XMLDocument *sectionxml = nullptr;

int get_my_release_build()
{
    return QUILL_BUILD;
}

void show_help(char **argv, FILE *err)
{
    fprintf(err, "\n%s", QUILL_BANNER);
    fprintf(err, "\n%s", QUILL_EDITION);
    fprintf(err, " - VERSION - %s - BUILD - %d", QUILL_RELEASE, get_my_release_build());
    fprintf(err, "\nUsage: %s [options]\n\n", argv[0]);
    fprintf(err, " -c <file>            : location of config file (required)\n");
    fprintf(err, " -s <file>            : location of section file (required)\n");
    fprintf(err, " -l <file>            : file to log activity to (native log)\n");
    fprintf(err, " -a <file>            : alternate format log file (access log)\n");
    fprintf(err, " -e <file>            : alternate format log file (extended log)\n");
    fprintf(err, " -H <hostname>        : proxy's hostname (overrides configuration file)\n");
    fprintf(err, " -L <ip:port>         : specify address and port to listen on\n");
    fprintf(err, " -m <dir>             : module directory\n");
    fprintf(err, " -p <file>            : PID file\n");
    fprintf(err, " -u <username>        : run as alternate user\n");
    fprintf(err, " -g <groupname>       : run in alternate group\n");
    fprintf(err, " -x <pam>             : set the file containing PAM directives (default: %s) \n",
            "quillmere");
    fprintf(err, " -P <size:age>        : set the maximum size and age of the password_cache (default: %d:%d)\n",
            100, 600);
    fprintf(err, " -t <max_threads>     : specify the maximum number of allowed concurrent threads (less than: %d)\n",
            THREAD_SLOTS);
    fprintf(err, " -z <stack_size>      : specify the base value for thread stacksize (Default of 20, sets the stack size to %d) \n",
            1048576);
    fprintf(err, " -T <thread_timeout>  : specify the time in seconds for a thread to wait for another connection (default: %d)\n",
            THREAD_TIMEOUT);
    fprintf(err, " -C <socket_timeout>  : specify the minimum time in seconds for a Client socket to be presumed available (default: %d)\n",
            CLIENT_POOL_TIMEOUT);
    if (SND_BUF > 0 || RCV_BUF > 0)
        fprintf(err, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: %d:%d)\n",
                SND_BUF, RCV_BUF);
    else
        fprintf(err, " -b <SND_BUF:RCV_BUF>  : specify the TCP Send and Recieve Buffer sizes (default: sized by the kernel)\n");
    fprintf(err, " -k <keepidle_time:keepalive_intvl:keepalive_count>  : specify the TCP Keepalive parameters (default: %d:%d:%d)\n",
            TCP_KEEPIDLE_TIME, TCP_KEEPINTVL_TIME, TCP_KEEPCNT_COUNTS);
    fprintf(err, " -o <overload_factor> : overload factor (default: %d)\n", 1);
    fprintf(err, " -f                   : don't daemonize (log written to stdout)\n");
    fprintf(err, " -h                   : show this help, message and exit \n");
    fprintf(err, " -v                   : show quillmere version, and exit \n");
    fprintf(err, " -d <level>           : set log level (default: %d)\n", loglevel);
    fprintf(err, "\n");
    fprintf(err, " Add any of the following to specify logging detail:\n");
    static const struct { int bit; const char *name; } categories[] = {
        { 1, "requests" }, { 2, "network" }, { 4, "url filtering" }, { 8, "header filtering" },
        { 16, "mime filtering" }, { 32, "cookie filtering" }, { 64, "redirections" },
        { 128, "templates" }, { 256, "keyword filtering" }, { 512, "rewriting" },
        { 1024, "limits" }, { 2048, "caching" }, { 4096, "prefetching" }, { 8192, "ICP" },
        { 16384, "forwarding" }, { 65536, "antivirus" }, { 131072, "external parsers" },
        { 262144, "ICAP" }, { 524288, "DNS blacklist" }, { 1048576, "URL blacklist" },
        { 2097152, "URL commands" }, { 4194304, "modules" }, { 8388608, "security" },
        { 16777216, "warnings" }, { 33554432, "errors" }, { 67108864, "profiles" },
        { 134217728, "debug" },
    };
    for (const auto &c : categories)
        fprintf(err, " %9d = %s\n", c.bit, c.name);
}

/* Reads a whole decimal number within [min, max] from text[0, len). */
static bool opt_number(const char *text, size_t len, long min, long max, long *out)
{
    if (len == 0 || len > 18)
        return false;
    size_t i = 0;
    bool negative = false;
    if (text[0] == '-') {
        negative = true;
        i = 1;
        if (len == 1)
            return false;
    }
    long v = 0;
    for (; i < len; i++) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        v = v * 10 + (text[i] - '0');
    }
    if (negative)
        v = -v;
    if (v < min || v > max)
        return false;
    *out = v;
    return true;
}

/* Splits text at ':' into up to count parts; returns the number found. */
static int opt_split(const char *text, const char *parts[], size_t lens[], int count)
{
    int n = 0;
    const char *p = text;
    while (n < count) {
        const char *colon = strchr(p, ':');
        parts[n] = p;
        lens[n] = colon ? (size_t)(colon - p) : strlen(p);
        n++;
        if (!colon)
            break;
        p = colon + 1;
    }
    return n;
}

/* Reads -L's "ip:port": a dotted quad, then a port from 1 to 65535. */
static bool opt_listen(const char *text)
{
    const char *colon = strrchr(text, ':');
    if (!colon || colon == text || (size_t)(colon - text) >= sizeof listen_address)
        return false;
    char address[sizeof listen_address];
    memcpy(address, text, (size_t)(colon - text));
    address[colon - text] = '\0';
    struct in_addr parsed;
    long port = 0;
    if (inet_pton(AF_INET, address, &parsed) != 1 ||
        !opt_number(colon + 1, strlen(colon + 1), 1, 65535, &port))
        return false;
    memcpy(listen_address, address, sizeof address);
    listen_port = (int)port;
    return true;
}

/* Copies an option's text into its setting, or refuses it when it does not
 * fit: a path cut short would name another file. */
static bool opt_text(char *dest, size_t size, const char *value, int opt, FILE *err)
{
    size_t len = strlen(value);
    if (len >= size) {
        fprintf(err, "option -%c: value longer than %zu characters\n", opt, size - 1);
        return false;
    }
    memcpy(dest, value, len + 1);
    return true;
}

int options_parse(int argc, char **argv, FILE *out, FILE *err)
{
    const char *bad = nullptr;   /* the option whose value is refused */
    int opt;
    optind = 1;
    opterr = 1;
    while ((opt = getopt(argc, argv, "hfvp:t:L:H:M:m:S:E:I:c:s:l:d:u:g:r:a:e:x:z:P:T:C:o:b:k:")) != -1) {
        long v = 0, w = 0;
        const char *parts[3];
        size_t lens[3];
        int n;
        bool ok = true;
        switch (opt) {
        case 'c': ok = opt_text(configfile, sizeof configfile, optarg, opt, err); break;
        case 's': ok = opt_text(sectionfile, sizeof sectionfile, optarg, opt, err); break;
        case 'l':
            ok = opt_text(logfile, sizeof logfile, optarg, opt, err);
            snprintf(tavrinfeed, sizeof tavrinfeed, "%s.tavrinfeed", slogfile);
            break;
        case 'a': ok = opt_text(slogfile, sizeof slogfile, optarg, opt, err); break;
        case 'e': ok = opt_text(elogfile, sizeof elogfile, optarg, opt, err); break;
        case 'r': ok = opt_text(plogfile, sizeof plogfile, optarg, opt, err); break;
        case 'p': ok = opt_text(pidfile, sizeof pidfile, optarg, opt, err); break;
        case 'u': ok = opt_text(username, sizeof username, optarg, opt, err); break;
        case 'g': ok = opt_text(group, sizeof group, optarg, opt, err); break;
        case 'H': ok = opt_text(proxyhost, sizeof proxyhost, optarg, opt, err); break;
        case 'x': ok = opt_text(pamfile, sizeof pamfile, optarg, opt, err); break;
        case 'L': ok = opt_listen(optarg); break;
        case 'd':
            ok = opt_number(optarg, strlen(optarg), 0, INT_MAX, &v);
            if (ok)
                loglevel = (int)v;
            break;
        case 'f':
            daemonize = 0;
            break;
        case 't':
            /* Values above the table size are ignored, as they always were;
             * fewer slots than the main and service threads plus one worker
             * could never serve a request. */
            ok = opt_number(optarg, strlen(optarg), SERVICE_THREADS + 2, LONG_MAX / 16, &v);
            if (ok && v <= THREAD_SLOTS)
                MAXTHREADS = (int)v;
            break;
        case 'T':
            ok = opt_number(optarg, strlen(optarg), 0, 3600, &v);
            if (ok)
                THREAD_TIMEOUT = (int)v;
            break;
        case 'C':
            ok = opt_number(optarg, strlen(optarg), 1, 3600, &v);
            if (ok)
                CLIENT_POOL_TIMEOUT = (int)v;
            break;
        case 'o':
            ok = opt_number(optarg, strlen(optarg), 1, 1000, &v);
            if (ok)
                overload_factor = (int)v;
            break;
        case 'z':
            ok = opt_number(optarg, strlen(optarg), 14, 30, &v);
            if (ok)
                max_opt_stack = 1 << v;
            break;
        case 'P':
            if (!strchr(optarg, ':')) {
                show_help(argv, err);
                return OPTIONS_EXIT_FAIL;
            }
            n = opt_split(optarg, parts, lens, 2);
            ok = n == 2 && opt_number(parts[0], lens[0], 0, INT_MAX, &v) &&
                 opt_number(parts[1], lens[1], 0, INT_MAX, &w) &&
                 ((v == 0 && w == 0) || (v >= 1 && w >= 1));
            if (ok && v == 0) {
                authflag = 1;   /* results are stored but never looked up */
            } else if (ok) {
                password_cachesize = (int)v;
                password_cachexpire = (int)w;
                authflag = 0;
            }
            break;
        case 'b':
            n = opt_split(optarg, parts, lens, 2);
            for (int i = 0; ok && i < n; i++)
                ok = lens[i] == 0 || opt_number(parts[i], lens[i], 1, 1 << 26, &v);
            if (ok) {
                if (n > 0 && lens[0] > 0)
                    opt_number(parts[0], lens[0], 1, 1 << 26, &v), SND_BUF = (int)v;
                if (n > 1 && lens[1] > 0)
                    opt_number(parts[1], lens[1], 1, 1 << 26, &v), RCV_BUF = (int)v;
                if (SND_BUF > 8192 || RCV_BUF > 8192)
                    BLOCKSIZE = SND_BUF > RCV_BUF ? SND_BUF : RCV_BUF;
            }
            break;
        case 'k': {
            /* Linux takes at most 32767 seconds and 127 probes. */
            static const long keep_max[3] = { 32767, 32767, 127 };
            int *keep_vars[3] = { &TCP_KEEPIDLE_TIME, &TCP_KEEPINTVL_TIME, &TCP_KEEPCNT_COUNTS };
            n = opt_split(optarg, parts, lens, 3);
            for (int i = 0; ok && i < n; i++)
                ok = lens[i] == 0 || opt_number(parts[i], lens[i], 1, keep_max[i], &v);
            for (int i = 0; ok && i < n; i++)
                if (lens[i] > 0 && opt_number(parts[i], lens[i], 1, keep_max[i], &v))
                    *keep_vars[i] = (int)v;
            break;
        }
        case 'h':
            show_help(argv, err);
            return OPTIONS_EXIT_OK;
        case 'v':
            fprintf(out, "%s - VERSION - %s - BUILD - %d\n", QUILL_EDITION, QUILL_RELEASE,
                    get_my_release_build());
            return OPTIONS_EXIT_OK;
        default:
            break;   /* -m, -M, -S, -E, -I and unknown options */
        }
        if (!ok) {
            bad = optarg;
            fprintf(err, "invalid value for -%c: %s\n", opt, bad ? bad : "");
            show_help(argv, err);
            return OPTIONS_EXIT_FAIL;
        }
    }
    return OPTIONS_RUN;
}
