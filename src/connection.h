#pragma once

#include <cstdint>
#include <ctime>
#include <vector>

#include "configtypes.h"
#include "log.h"
#include "misc.h"

class Socket;
class Filebuf;
class HTMLStream;
class Stats;
struct HEADER;
struct CACHEMAP;
struct url_command_t;

/* Request flags (CONNECTION_T::flags), cleared after each request. */
enum {
    CONN_BUFFERING = 0x1,          /* the whole body is read before it is sent */
    CONN_REVALIDATE = 0x2,         /* a cached copy is being validated */
    CONN_VALIDATED = 0x4,          /* the cached copy was confirmed */
    CONN_WRITING_CACHE = 0x8,      /* this request writes the cache object */
    CONN_PROXY_AUTH = 0x10,        /* upstream authentication already tried */
    CONN_OFFLINE = 0x20,           /* serve from the cache only */
    CONN_PROCESSING = 0x40,        /* the response goes through the processors */
    CONN_SERVER_REUSED = 0x80,     /* the server socket came from the pool */
    CONN_LIMIT_HITS = 0x100,       /* transfer limits count cache hits */
    CONN_PREFETCH = 0x200,         /* tested, never set */
    CONN_ASKED_ENCODING = 0x400,   /* we asked for gzip; decode before sending */
    CONN_TRANSFER_FAILED = 0x800,  /* invalidate the cache object, drop keep-alives */
    CONN_HTTPS = 0x1000,           /* skip forwarding rules of the HTTP kind */
    CONN_SSL = 0x2000,             /* wrap the server socket in SSL */
    CONN_NOCLIENT = 0x4000,        /* nothing to write to; close afterwards */
    CONN_NOCALLBACK = 0x8000,      /* no read observer on the server socket */
    CONN_HEAD = 0x10000,           /* HEAD: no body to the client */
    CONN_CARP = 0x20000,           /* routed to its CARP peer: not cached */
    CONN_DIRECT_POST = 0x40000,    /* the body is streamed and cannot be resent */
    CONN_SCAN_CLEAN = 0x80000,     /* a virus scanner passed this body */
    CONN_SCAN_FAILED = 0x100000,   /* a virus scanner that applies could not judge it */
    CONN_LIMIT_CUT = 0x200000,     /* the download allowance cut the transfer */
    CONN_REDIRECTED = 0x400000,    /* a redirect rule rewrote the request */
    CONN_BODY_PENDING = 0x800000,  /* the request body is not read yet: every
                                    * answer until it is closes the connection */
};

/* CONNECTION_T::auth_flags. AUTH_CREDENTIALS_USED: the matched access rule
 * took the client's Proxy-Authorization, which then never goes to the next
 * hop. */
enum { AUTH_REQUIRED = 0x2, AUTH_CREDENTIALS_USED = 0x4 };

/* Permissions granted by the matched access rule, in the order of the rule's
 * permission options. */
enum {
    ACCESS_INTERFACE = 0x1,
    ACCESS_PROXY = 0x2,
    ACCESS_TRANSPARENT = 0x4,
    ACCESS_HOST = 0x8,
    ACCESS_CONNECT = 0x10,
    ACCESS_BYPASS = 0x20,
    ACCESS_COMMANDS = 0x40,
};

/* Policies switched off for a connection, in the order of the access rule's
 * bypass options; the letters are those of the "bypass" URL command. */
enum {
    BYPASS_URLFILTER = 0x1,    /* f */
    BYPASS_HEADERS = 0x2,      /* h */
    BYPASS_MIME = 0x4,         /* m */
    BYPASS_REDIRECT = 0x8,     /* r */
    BYPASS_COOKIES = 0x10,     /* c */
    BYPASS_REWRITE = 0x20,     /* w */
    BYPASS_E = 0x40,           /* e: kept for its place; no policy tests it */
    BYPASS_FORWARD = 0x80,     /* p */
    BYPASS_KEYWORDS = 0x100,   /* k */
    BYPASS_DNSBL = 0x200,      /* d */
    BYPASS_LIMITS = 0x400,
    BYPASS_ANTIVIRUS = 0x800,  /* a */
    BYPASS_ICAP = 0x1000,      /* i */
    BYPASS_URLBL = 0x2000,
};

/* How the server side of a request is reached; 0-3 are the forwarding
 * rule's proxy-type options in order. */
enum forward_type_t {
    FORWARD_HTTP = 0,
    FORWARD_SOCKS4 = 1,
    FORWARD_SOCKS5 = 2,
    FORWARD_CONNECT = 3,
    FORWARD_DIRECT = 4,
};

/* Which socket of a connection an operation works on. */
enum side_t { SIDE_CLIENT = 0, SIDE_SERVER = 1 };

/* An allowance that no limit restricts. */
static const int64_t ALLOWANCE_UNLIMITED = -1;

/* What serving a held cache object needs, copied from it in the lookup's
 * one locked step so that the rest of the request asks the cache nothing
 * more. Set by CacheSection::lookup, cleared by request_done; zero: none. */
struct CACHEVIEW {
    const CACHEMAP *object;         /* the object described; NULL: none */
    char *header_text;              /* owned: the stored header text, until taken */
    int flags;                      /* the object's, plus CACHE_VALIDATE for this request */
    time_t retrieved;               /* stored or last revalidated */
    time_t last_modified;           /* 0: none */
    bool finished;                  /* its writer was done: body_length holds */
    int64_t body_length;
    int64_t announced;              /* while written: the server's Content-Length, or -1 */
};

/* The state of one client connection and of the request it serves. Owned
 * by one thread at a time: the accept loop, the client pool, or the worker
 * serving it; no field is locked. */
struct CONNECTION_T {
    int slot;                       /* thread-table slot of the serving worker */
    unsigned clientid;              /* connection number, never 0 */
    unsigned flags;                 /* CONN_* of the current request */
    unsigned auth_flags;            /* AUTH_REQUIRED */
    Socket *client;                 /* owned; deleted by net_close */
    Socket *server;                 /* owned; pooled or deleted after each request */
    Socket *pinned_server;          /* owned: a server connection that carried the
                                     * client's NTLM or Negotiate handshake, kept
                                     * for this client's later requests to the
                                     * same server; closed with the connection */
    std::string pinned_key;         /* where pinned_server leads (serverpool_pin_key) */
    bool server_pinned;             /* conn->server is that connection */
    char *ip;                       /* owned: the client's address */
    int port;                       /* local port of the accepting listener */
    char *interface;                /* owned: the local address */
    int requests;                   /* requests completed on this connection */
    int keepalive_client;
    int keepalive_server;
    int keepalive_after_body;       /* the client's keep-alive, while CONN_BODY_PENDING */
    time_t bufferwait;              /* buffer time-out deadline, 0 = none */
    int64_t download_bytes;         /* response bytes from the server */
    int64_t download_left;          /* or ALLOWANCE_UNLIMITED */
    int64_t upload_bytes;           /* request body length */
    int64_t upload_left;            /* or ALLOWANCE_UNLIMITED */
    std::vector<uint32_t> limit_booked;   /* limit rules this request took a request of */
    uint64_t limit_generation;      /* of the limit rules limit_booked indexes */
    bool limit_served;              /* reached a server (or an answer of the proxy's
                                     * own): the booked requests stay */
    int64_t upload_chunk_left;      /* a streamed chunked body: bytes of the chunk
                                     * being read when buffering stopped */
    int64_t body_reserved;          /* bytes of the body budget this request holds */
    int64_t response_reserved;      /* bytes of the response budget this request holds */
    char *upstream_authorization;   /* owned: "Basic ..." or "NTLM ..." */
    char *proxy_host;               /* owned: the chosen upstream proxy */
    int proxy_port;
    int forward_type;               /* forward_type_t */
    char *user;                     /* owned: "user@address" */
    char *proxy_user;               /* owned */
    char *proxy_password;           /* owned */
    char *proxy_domain;             /* owned */
    std::string interface_user;
    std::string interface_password;
    unsigned permissions;           /* ACCESS_* */
    unsigned bypass;                /* BYPASS_*; accumulates over the connection */
    url_command_t **urlcommands;    /* owned by the request, NULL-terminated */
    StringList profiles;
    CACHEMAP *cache;                /* one reference */
    CACHEVIEW cache_view;           /* of a looked-up cache, for serving it */
    HEADER *header;                 /* owned: the request */
    HEADER *rheader;                /* the response; freed by its maker */
    Filebuf *body;                  /* owned: the request body */
    HTMLStream *htmlstream;         /* owned */
    VariableMap variables;          /* template variables */
    LogEntry logentry;
    Stats *userstats;               /* reference-counted (Atom) */
    int tavrin_scores[32];          /* -1 = not looked up */
    bool tavrin_failed;             /* the host could not be rated in this request */
};

/* A new record with the start values; never NULL (a failed allocation ends
 * the process through the out-of-memory handler). */
CONNECTION_T *connection_new();

/* Releases what the record owns itself (texts, lists, map, log entry, the
 * statistics reference) and the record. Sockets, headers, body, HTML stream,
 * cache object and URL commands must already be released by their users. */
void connection_free(CONNECTION_T *conn);

/* Releases what one request left on conn and readies it for the next: the
 * cache object (invalidated after a failed transfer), URL commands, body,
 * pooled server, upstream credentials, response header pointer, variables,
 * profiles, permissions, request header and Tavrin scores. The worker runs
 * it after every request; tests call it in the worker's place. */
void connection_request_done(CONNECTION_T *conn);
/* Request bodies buffered at once over every connection stay within a
 * budget of CONNECTION_BODY_BUDGET_SHARES upload buffers, and at least
 * CONNECTION_BODY_BUDGET_MIN bytes; a body that does not fit streams. */
#define CONNECTION_BODY_BUDGET_SHARES 32
#define CONNECTION_BODY_BUDGET_MIN ((int64_t)32 << 20)

/* Takes len bytes of the budget for conn, whose upload buffer is
 * maxubuffer, adding them to conn->body_reserved. False, taking nothing,
 * when they do not fit. */
bool connection_body_reserve(CONNECTION_T *conn, int64_t len, int64_t maxubuffer);
/* Gives back what conn holds of the budget; harmless when it holds none. */
void connection_body_release(CONNECTION_T *conn);
/* What the budget holds now, in bytes. */
int64_t connection_body_held_bytes();

/* Response bodies held whole in memory (buffered for the response rules,
 * the checks, the coding, or read whole from the cache) stay within a
 * sibling budget: maxdbuffer times the worker slots, at most
 * CONNECTION_RESPONSE_BUDGET_SHARES of them, and at least
 * CONNECTION_BODY_BUDGET_MIN bytes. A response that does not fit streams,
 * or, when its rules need it whole, waits for room within its time-out
 * and is refused cleanly after. */
#define CONNECTION_RESPONSE_BUDGET_SHARES 16

/* The response budget, in bytes, for a download buffer of maxdbuffer. */
int64_t connection_response_budget_bytes(int64_t maxdbuffer);
/* Raises what conn holds of the response budget to total bytes. Waits for
 * room until deadline_ms (monotonic_ms) when it is above 0, else only
 * tries. False, holding what it held before, when they do not fit. */
bool connection_response_reserve(CONNECTION_T *conn, int64_t total, int64_t maxdbuffer, int64_t deadline_ms);
/* Raises what conn holds to total bytes whatever the budget says: the
 * block already read past a refused reservation, at most one block. */
void connection_response_force(CONNECTION_T *conn, int64_t total);
/* Lowers what conn holds to total bytes (0 gives it all back). */
void connection_response_trim(CONNECTION_T *conn, int64_t total);
/* What the response budget holds now, in bytes. */
int64_t connection_response_held_bytes();

/* Applies the options of the "bypass" URL command to bits: NULL options
 * (no brackets) set every bit; otherwise the characters are read left to
 * right, "+" and "-" switching between setting and clearing, each letter
 * setting or clearing its bit, anything else skipped. */
unsigned bypass_apply(unsigned bits, const char *options);
