#pragma once

#include <cstdint>
#include <ctime>
#include <list>
#include <pthread.h>

class Filebuf;
struct CONNECTION_T;

/* One idle client connection. */
struct clientpool_t {
    CONNECTION_T *conn;   /* owned by the pool while listed */
    time_t added;
    uint64_t serial;      /* identifies the entry for the poll results */
    time_t header_started;   /* when the first bytes of a request came; 0 before */
    int64_t header_scanned;  /* read-buffer bytes searched for the header's end */
};

/*
 * Idle client connections: new ones waiting for their first request and
 * kept-alive ones waiting for the next. One thread polls them all, gathers
 * what each client sends into its socket's read buffer, and hands a
 * connection to a worker once its request header is whole, so a slow
 * client holds no worker. It closes those idle past the general rule's
 * timeout (first request) or keeptimeout (later requests), those whose
 * header is not whole within timeout of its first bytes, and those that
 * hang up. Other threads add and clean through the mutex and wake the
 * poller through a pipe.
 */
/* The default of ClientPool::request_whole: an empty line ends the bytes
 * searched, or they are more than a header may hold. */
bool clientpool_header_whole(const char *bytes, int64_t from, int64_t len);

class ClientPool {
public:
    /* Empty list and the wake pipe; a pipe that cannot be made is fatal. */
    ClientPool();
    /* Frees the entries; the connections are not closed. */
    ~ClientPool();
    ClientPool(const ClientPool &) = delete;
    ClientPool &operator=(const ClientPool &) = delete;

    /* Takes conn over until it is handed to a worker or closed, and wakes
     * the poller. */
    void Add(CONNECTION_T *conn);

    /* Makes the poller rebuild its poll set. */
    void Wakeup();

    /* Closes every listed connection (load shedding) and wakes the poller. */
    void Clean();

    /* One cycle of the poller: builds the poll set, waits (1 second after
     * new arrivals, else CLIENT_POOL_TIMEOUT seconds), then hands over,
     * closes or keeps each polled entry. */
    void Cycle();

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
    int gather(clientpool_t *e, bool input);

    int wakepipe[2];   /* read end, write end; both non-blocking */
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::list<clientpool_t *> entries;   /* in the order added */
    uint64_t next_serial;
    int wakepipe_calls;   /* additions since the last poll set was built */
    int new_client;       /* of those, connections before their first request */
};

/* The client-pool thread: Poll on the global pool. */
void *clientpool_thread(void *arg);
