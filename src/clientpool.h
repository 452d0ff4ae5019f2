#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>
#include <deque>
#include <pthread.h>
#include <unordered_map>
#include <vector>

class Filebuf;
struct CONNECTION_T;

/* One idle client connection. */
struct clientpool_t {
    CONNECTION_T *conn;   /* owned by the pool while listed */
    time_t added;
    uint64_t serial;      /* identifies the entry in the poller's events */
    time_t header_started;   /* when the first bytes of a request came; 0 before */
    int64_t header_scanned;  /* read-buffer bytes searched for the header's end */
    bool registered;      /* its descriptor is in the poller's set */
};

/*
 * Idle client connections: new ones waiting for their first request and
 * kept-alive ones waiting for the next. One thread waits on them all
 * through an epoll set, gathers what each client sends into its socket's
 * read buffer, and hands a connection to a worker once its request header
 * is whole, so a slow client holds no worker. It closes those idle past
 * the general rule's timeout (first request) or keeptimeout (later
 * requests), those whose header is not whole within timeout of its first
 * bytes, and those that hang up. Other threads add and clean through the
 * list's locks; a connection is registered once when added, so the cost of
 * a wake-up does not grow with the number of idle clients. The list is cut
 * into shards by serial, each with its own mutex, so workers giving
 * clients back and taking ready ones do not queue on one lock.
 */
/* The default of ClientPool::request_whole: an empty line ends the bytes
 * searched, or they are more than a header may hold. */
bool clientpool_header_whole(const char *bytes, int64_t from, int64_t len);

class ClientPool {
public:
    /* Empty list, the epoll set and the wake pipe; either failing is fatal. */
    ClientPool();
    /* Frees the entries; the connections are not closed. */
    ~ClientPool();
    ClientPool(const ClientPool &) = delete;
    ClientPool &operator=(const ClientPool &) = delete;

    /* Takes conn over until it is handed to a worker or closed. Bytes
     * already in its read buffer (the start of a kept-alive client's next
     * request) are looked at in the next cycle, and start the header's
     * deadline. */
    void Add(CONNECTION_T *conn);

    /* Ends the poller's current wait. */
    void Wakeup();

    /* Closes every listed connection (load shedding) and wakes the poller. */
    void Clean();

    /* One cycle of the poller: waits up to a second for clients that sent
     * something (or hung up), hands over or closes them or keeps them
     * waiting, and once a second closes those past their time. A whole
     * request that finds every slot in use waits (in order) for a worker
     * to park, for at most CLIENTPOOL_SLOT_WAIT_MS; after that it is
     * closed with the rate-limited "no free worker" line. */
    void Cycle();

    /* For a worker that has just given its connection back: a connection
     * whose client has sent a whole request by now, for the worker to
     * serve at once instead of parking until the poller hands one over:
     * the one the poller found waiting for a worker longest, else one
     * taken from the epoll set without waiting; NULL when none is ready.
     * Under load a worker thus goes from one client to the next without
     * sleeping and without a hand-over between threads. */
    CONNECTION_T *Take();

    /* The poller's body: Cycle for ever. */
    [[noreturn]] void Poll();

    /* The number of listed connections. */
    int Size();

    /* Appends the table of pooled connections for the connections page. */
    void show_connections(Filebuf *out);

    /* The clock of the pool (time() by default); a test seam. */
    time_t (*clock)();
    /* Whether the len bytes buffered from a client hold a whole request,
     * searched from offset from on (the bytes before were searched
     * already): by default, a request header ended by its empty line. A
     * test seam too. */
    bool (*request_whole)(const char *bytes, int64_t from, int64_t len);

private:
    /* A connection with a whole request that found no free slot. */
    struct slot_wait_t {
        CONNECTION_T *conn;
        int64_t since_ms;
    };

    int gather(clientpool_t *e, bool input);
    int settle(clientpool_t *e, bool input, time_t now);
    bool arm(clientpool_t *e);
    int hand_over(bool tagged);
    bool waiting_pop(slot_wait_t *w);

    /* Whole requests the poller found that wait for a worker, in arrival
     * order: handed to a parked worker, else taken by a worker between
     * two requests (Take), else given a new worker when few workers can
     * go on or the request has waited CLIENTPOOL_SPAWN_MS while no worker
     * took one. */
    pthread_mutex_t waiting_lock = PTHREAD_MUTEX_INITIALIZER;
    std::deque<slot_wait_t> slot_waiting;   /* under waiting_lock */
    std::atomic<int> waiting_count{0};
    /* When a worker last took a waiting request (monotonic ms): a queue
     * that workers keep taking from is served, however long it is. */
    std::atomic<int64_t> taken_ms{0};
    int spawn_below;   /* workers able to go on, under which a new one starts */
    /* The poller's lists of one cycle, kept for the next. */
    std::vector<clientpool_t *> cycle_arrived;
    std::vector<bool> cycle_arrived_input;
    std::vector<CONNECTION_T *> cycle_handover;
    std::vector<CONNECTION_T *> cycle_closing;
    std::vector<clientpool_t *> cycle_expired;

    /* One part of the list: the entries whose serial falls to it, and the
     * mutex under which they are listed, taken out and (re-)armed. */
    struct alignas(64) Shard {
        pthread_mutex_t lock = PTHREAD_ADAPTIVE_MUTEX_INITIALIZER_NP;
        std::unordered_map<uint64_t, clientpool_t *> entries;
    };
    static const int SHARDS = 64;
    Shard &shard_of(uint64_t serial) { return shards[serial % SHARDS]; }
    /* Takes the entry of serial out of the list; NULL when it is gone. */
    clientpool_t *unlist(uint64_t serial);

    int epfd;
    int wakepipe[2];   /* read end, write end; both non-blocking */
    Shard shards[SHARDS];
    std::atomic<int> listed{0};   /* entries in all shards */
    pthread_mutex_t buffered_lock = PTHREAD_MUTEX_INITIALIZER;
    std::vector<uint64_t> buffered;   /* added with bytes already read; under buffered_lock */
    std::atomic<bool> buffered_any{false};
    std::atomic<uint64_t> next_serial;
    std::atomic<int> new_client;   /* connections before their first request, since the last cycle */
    time_t last_sweep;    /* when the time-outs were last looked at; the poller's */
};

/* The client-pool thread: Poll on the global pool. */
void *clientpool_thread(void *arg);
