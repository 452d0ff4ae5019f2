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
};

/*
 * Idle client connections: new ones waiting for their first request and
 * kept-alive ones waiting for the next. One thread polls them all and hands
 * a connection to a worker as soon as its client sends something, closing
 * those idle past the general rule's timeout (first request) or
 * keeptimeout (later requests) and those that hang up. Other threads add
 * and clean through the mutex and wake the poller through a pipe.
 */
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

private:
    int wakepipe[2];   /* read end, write end; both non-blocking */
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    std::list<clientpool_t *> entries;   /* in the order added */
    uint64_t next_serial;
    int wakepipe_calls;   /* additions since the last poll set was built */
    int new_client;       /* of those, connections before their first request */
};

/* The client-pool thread: Poll on the global pool. */
void *clientpool_thread(void *arg);
