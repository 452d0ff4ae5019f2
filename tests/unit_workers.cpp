/* The worker model driven from outside: a double of the pipeline's entry
 * point (read a line, answer it, keep alive) runs on the real workers fed
 * by the real client pool. Keep-alive on the same worker, parking and
 * exiting, hand-over to a parked worker (also at the instant its wait runs
 * out), the slot limit, the clean-up after a request, and the CPU totals of
 * exiting workers. */
#include <gtest/gtest.h>

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "clientpool.h"
#include "connection.h"
#include "header.h"
#include "locks.h"
#include "nettest.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "request.h"
#include "serverpool.h"
#include "socket.h"
#include "test_support.h"

namespace {

/* What the double saw of one request. */
struct Seen {
    std::string line;
    int slot;
    pthread_t thread;
    unsigned clientid;
};

std::mutex seen_lock;
std::vector<Seen> seen;
std::mutex hold_lock;
std::condition_variable hold_cv;
bool holding = false;
std::atomic<int> server_peer{-1};   /* for "FAIL" and "POOL": the far end of the server socket */

std::vector<Seen> seen_copy()
{
    std::lock_guard<std::mutex> guard(seen_lock);
    return seen;
}

const Seen *seen_find(const std::vector<Seen> &all, const std::string &line)
{
    for (const Seen &s : all)
        if (s.line == line)
            return &s;
    return nullptr;
}

/* A server socket for the request, with a request header that keys it. */
void attach_server(CONNECTION_T *conn)
{
    TcpPair p = nettest_pair();
    server_peer = p.b;
    conn->server = new Socket(p.a);
    conn->keepalive_server = 1;
    conn->header = header_new();
    conn->header->protocol = strdup("http");
    conn->header->host = strdup("origin.test");
    conn->header->port = 80;
}

} // namespace

/* The double of the pipeline's entry point. Lines: any text is answered
 * and kept alive; CLOSE answers and closes; HOLD waits until released;
 * BURN spends CPU; NOCLIENT marks the client gone; FAIL fails the transfer
 * with a kept-alive server socket; POOL leaves a reusable server socket. */
void handle_request(CONNECTION_T *conn)
{
    char area[256];
    int64_t n = conn->client ? conn->client->GetLine(area, sizeof area, 10) : -1;
    if (n <= 0) {
        conn->keepalive_client = 0;
        return;
    }
    std::string line(area, strcspn(area, "\r\n"));
    {
        std::lock_guard<std::mutex> guard(seen_lock);
        seen.push_back({ line, conn->slot, pthread_self(), thread_get_clientid() });
    }
    if (line == "HOLD") {
        std::unique_lock<std::mutex> lock(hold_lock);
        hold_cv.wait_for(lock, std::chrono::seconds(20), [] { return !holding; });
    }
    if (line == "BURN") {
        struct timespec start, now;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
        volatile unsigned long spin = 0;
        do {
            for (int i = 0; i < 100000; i++)
                spin = spin + (unsigned long)i;
            clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < 60);
    }
    std::string answer = "ANS " + line + "\n";
    (void)conn->client->Write(answer.data(), (int64_t)answer.size());
    conn->keepalive_client = line == "CLOSE" ? 0 : 1;
    if (line == "NOCLIENT")
        conn->flags |= CONN_NOCLIENT;
    if (line == "FAIL" || line == "POOL")
        attach_server(conn);
    if (line == "FAIL")
        conn->flags |= CONN_TRANSFER_FAILED;
}

namespace {

/* The slot states, copied under the lock. */
std::vector<int> states()
{
    MutexGuard guard(&threadlistlock);
    std::vector<int> s;
    for (int i = 0; i < MAXTHREADS; i++)
        s.push_back(threads[i].state);
    return s;
}

int state_of(int slot)
{
    MutexGuard guard(&threadlistlock);
    return threads[slot].state;
}

/* Every worker slot free: only the main thread (slot 0) remains. */
bool workers_gone()
{
    std::vector<int> s = states();
    for (size_t i = 1; i < s.size(); i++)
        if (s[i] != THREAD_FREE)
            return false;
    return true;
}

class Workers : public ::testing::Test {
protected:
    void SetUp() override
    {
        signal(SIGPIPE, SIG_IGN);
        nettest_general(2, 30, 30);
        if (!global->clientpool) {
            global->clientpool = new ClientPool();
            /* The double's requests are single lines. */
            global->clientpool->request_whole = [](const char *bytes, int64_t from, int64_t len) {
                return memchr(bytes + from, '\n', (size_t)(len - from)) != nullptr;
            };
        }
        if (!global->serverpool)
            global->serverpool = new ServerPool();
        THREAD_TIMEOUT = 1;
        CLIENT_POOL_TIMEOUT = 1;
        MAXTHREADS = THREAD_SLOTS;
        ASSERT_TRUE(nettest_wait(workers_gone, 15000));
        {
            std::lock_guard<std::mutex> guard(seen_lock);
            seen.clear();
        }
        test_log_clear();
        stop = false;
        poller = std::thread([this] {
            while (!stop)
                global->clientpool->Cycle();
        });
    }
    void TearDown() override
    {
        stop = true;
        global->clientpool->Wakeup();
        poller.join();
        global->clientpool->Clean();
        global->serverpool->Clean(1);
        for (int fd : peers)
            close(fd);
        if (server_peer >= 0)
            close(server_peer);
        server_peer = -1;
        THREAD_TIMEOUT = 1;
        MAXTHREADS = THREAD_SLOTS;
        max_opt_stack = 1048576;
    }

    /* A new client connection given to the client pool, as the accept
     * loop does. Returns the test's end. */
    int connect_client()
    {
        TcpPair p = nettest_pair();
        CONNECTION_T *conn = connection_new();
        conn->client = new Socket(p.b);
        conn->ip = strdup("127.0.0.1");
        conn->clientid = net_clientid_next();
        peers.push_back(p.a);
        global->clientpool->Add(conn);
        return p.a;
    }

    std::atomic<bool> stop{false};
    std::thread poller;
    std::vector<int> peers;
};

} // namespace

/* A kept-alive client whose next request is already there stays on its
 * worker; one that pauses goes back to the pool, its worker parks and
 * exits, and its next request starts a worker again. */
TEST_F(Workers, KeepAlive)
{
    int fd = connect_client();
    nettest_send(fd, "one\ntwo\n");
    EXPECT_EQ("ANS one\nANS two\n", nettest_read(fd, 16));
    std::vector<Seen> s = seen_copy();
    ASSERT_EQ(2u, s.size());
    EXPECT_EQ(s[0].slot, s[1].slot);
    EXPECT_TRUE(pthread_equal(s[0].thread, s[1].thread));
    EXPECT_EQ(s[0].clientid, s[1].clientid);
    EXPECT_GT(s[0].slot, 0);

    int slot = s[0].slot;
    EXPECT_TRUE(nettest_wait([] { return global->clientpool->Size() == 1; }));
    EXPECT_TRUE(nettest_wait([&] { return state_of(slot) == THREAD_FREE; }));

    nettest_send(fd, "three\n");
    EXPECT_EQ("ANS three\n", nettest_read(fd, 10));
    nettest_send(fd, "CLOSE\n");
    bool closed = false;
    EXPECT_EQ("ANS CLOSE\n", nettest_read(fd, SIZE_MAX, 10000, &closed));
    EXPECT_TRUE(closed);
    EXPECT_TRUE(nettest_wait([] { return test_log_contains("disconnected after making 4 requests"); }));
}

/* Kept-alive clients that pause cost no worker, however long -C is: each
 * goes back to the pool as soon as its answer is out and its worker parks;
 * the next request of each is handed to a parked worker, no new thread. */
TEST_F(Workers, IdleKeptAliveClientsWaitInThePool)
{
    THREAD_TIMEOUT = 8;   /* parked workers outlive the test's pause, not the next test's start */
    CLIENT_POOL_TIMEOUT = 60;
    const int clients = 20;
    std::vector<int> fds;
    for (int i = 0; i < clients; i++) {
        fds.push_back(connect_client());
        nettest_send(fds.back(), "first" + std::to_string(i) + "\n");
    }
    for (int i = 0; i < clients; i++)
        EXPECT_EQ("ANS first" + std::to_string(i) + "\n", nettest_read(fds[(size_t)i], 8 + std::to_string(i).size() + 2));
    EXPECT_TRUE(nettest_wait([&] { return global->clientpool->Size() == clients; }));
    std::vector<pthread_t> workers;
    for (const Seen &s : seen_copy())
        workers.push_back(s.thread);
    EXPECT_TRUE(nettest_wait([&] {
        std::vector<int> s = states();
        for (size_t i = 1; i < s.size(); i++)
            if (s[i] == THREAD_BUSY || s[i] == THREAD_STARTING)
                return false;
        return true;
    })) << "a worker still holds an idle client";

    for (int i = 0; i < clients; i++) {
        std::string line = "second" + std::to_string(i);
        nettest_send(fds[(size_t)i], line + "\n");
        EXPECT_EQ("ANS " + line + "\n", nettest_read(fds[(size_t)i], line.size() + 5));
        std::vector<Seen> all = seen_copy();
        const Seen *s = seen_find(all, line);
        ASSERT_TRUE(s);
        bool parked_one = false;
        for (pthread_t w : workers)
            parked_one = parked_one || pthread_equal(w, s->thread);
        EXPECT_TRUE(parked_one) << "a new thread served " << line;
    }
    CLIENT_POOL_TIMEOUT = 1;
    global->clientpool->Clean();
}

/* A crowd of clients whose requests come at once, with no worker parked:
 * a few workers start and take the rest from the pool one after another,
 * instead of a thread starting for each client. */
TEST_F(Workers, CrowdOfReadyClientsStartsFewWorkers)
{
    const int clients = 200;
    std::vector<int> fds;
    for (int i = 0; i < clients; i++)
        fds.push_back(connect_client());
    ASSERT_TRUE(nettest_wait([&] { return global->clientpool->Size() == clients; }));
    for (int i = 0; i < clients; i++)
        nettest_send(fds[(size_t)i], "c" + std::to_string(i) + "\n");
    for (int i = 0; i < clients; i++) {
        std::string line = "c" + std::to_string(i);
        EXPECT_EQ("ANS " + line + "\n", nettest_read(fds[(size_t)i], line.size() + 5));
    }
    std::vector<pthread_t> workers;
    for (const Seen &s : seen_copy()) {
        bool known = false;
        for (pthread_t w : workers)
            known = known || pthread_equal(w, s.thread);
        if (!known)
            workers.push_back(s.thread);
    }
    EXPECT_LT(workers.size(), (size_t)clients / 5);
    global->clientpool->Clean();
}

/* Requests that find every worker that could go on busy with long work
 * are not left waiting for them: after a short wait a new worker takes
 * each. */
TEST_F(Workers, RequestsBehindLongWorkGetAWorker)
{
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = true;
    }
    long cpus = sysconf(_SC_NPROCESSORS_ONLN);
    const int held = (int)std::max<long>(cpus, 2) * 2 + 2;   /* more than the workers that start at once */
    std::vector<int> holders;
    for (int i = 0; i < held; i++) {
        holders.push_back(connect_client());
        nettest_send(holders.back(), "HOLD\n");
    }
    ASSERT_TRUE(nettest_wait([&] {
        int n = 0;
        for (const Seen &s : seen_copy())
            n += s.line == "HOLD";
        return n == held;
    }));
    for (int i = 0; i < 3; i++) {
        int fd = connect_client();
        std::string line = "behind" + std::to_string(i);
        nettest_send(fd, line + "\n");
        EXPECT_EQ("ANS " + line + "\n", nettest_read(fd, line.size() + 5));
    }
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = false;
    }
    hold_cv.notify_all();
    for (int fd : holders)
        EXPECT_EQ("ANS HOLD\n", nettest_read(fd, 9));
    global->clientpool->Clean();
}

/* Two connections arriving while one worker is parked: the parked worker
 * takes the first, a new worker the second. */
TEST_F(Workers, ParkedWorkerIsReused)
{
    THREAD_TIMEOUT = 3;
    int a = connect_client();
    nettest_send(a, "CLOSE\n");
    EXPECT_EQ("ANS CLOSE\n", nettest_read(a, 10));
    int slot = seen_copy().at(0).slot;
    pthread_t worker = seen_copy().at(0).thread;
    ASSERT_TRUE(nettest_wait([&] { return state_of(slot) == THREAD_WAITING; }));

    /* b's worker holds its request until c has been served, so both are
     * in service at once whatever the machine's load. */
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = true;
    }
    int b = connect_client();
    nettest_send(b, "HOLD\n");
    ASSERT_TRUE(nettest_wait([] { return seen_find(seen_copy(), "HOLD") != nullptr; }));
    int c = connect_client();
    nettest_send(c, "c\n");
    EXPECT_EQ("ANS c\n", nettest_read(c, 6));
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = false;
    }
    hold_cv.notify_all();
    EXPECT_EQ("ANS HOLD\n", nettest_read(b, 9));
    std::vector<Seen> s = seen_copy();
    const Seen *sb = seen_find(s, "HOLD");
    const Seen *sc = seen_find(s, "c");
    ASSERT_TRUE(sb && sc);
    EXPECT_NE(sb->slot, sc->slot);
    /* One of them went to the parked worker, in its slot. */
    const Seen *reused = sb->slot == slot ? sb : sc;
    EXPECT_EQ(slot, reused->slot);
    EXPECT_TRUE(pthread_equal(worker, reused->thread));
    nettest_send(b, "CLOSE\n");
    nettest_send(c, "CLOSE\n");
    (void)nettest_read(b, SIZE_MAX);
    (void)nettest_read(c, SIZE_MAX);
    THREAD_TIMEOUT = 0;
    global->clientpool->Clean();
}

/* A connection handed over just as the parked worker's wait runs out is
 * served, not closed unanswered. */
TEST_F(Workers, HandOverAtDeadline)
{
    int a = connect_client();
    nettest_send(a, "CLOSE\n");
    EXPECT_EQ("ANS CLOSE\n", nettest_read(a, 10));
    int slot = seen_copy().at(0).slot;
    ASSERT_TRUE(nettest_wait([&] { return state_of(slot) == THREAD_WAITING; }));

    /* A second connection with its request waiting, handed over the way
     * process_wake does, but only after the worker's deadline has passed
     * while it could not take the lock. */
    TcpPair p = nettest_pair();
    peers.push_back(p.a);
    CONNECTION_T *conn = connection_new();
    conn->client = new Socket(p.b);
    conn->ip = strdup("127.0.0.1");
    conn->clientid = net_clientid_next();
    nettest_send(p.a, "late\n");
    {
        MutexGuard guard(&threadlistlock);
        std::this_thread::sleep_for(std::chrono::milliseconds(THREAD_TIMEOUT * 1000 + 300));
        ASSERT_EQ(THREAD_WAITING, threads[slot].state);
        conn->slot = slot;
        threads[slot].conn = conn;
        threads[slot].state = THREAD_STARTING;
        pthread_cond_signal(&threads[slot].wakeup);
    }
    EXPECT_EQ("ANS late\n", nettest_read(p.a, 9));
    nettest_send(p.a, "CLOSE\n");
    (void)nettest_read(p.a, SIZE_MAX);
}

/* With every slot in use the connection cannot be handed over and is
 * closed unanswered; the busy worker is unharmed. */
TEST_F(Workers, SlotLimit)
{
    MAXTHREADS = 2;   /* the main thread and one worker */
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = true;
    }
    int a = connect_client();
    nettest_send(a, "HOLD\n");
    ASSERT_TRUE(nettest_wait([] { return seen_find(seen_copy(), "HOLD") != nullptr; }));
    int b = connect_client();
    nettest_send(b, "b\n");
    bool closed = false;
    EXPECT_EQ("", nettest_read(b, SIZE_MAX, 10000, &closed));
    EXPECT_TRUE(closed);
    {
        std::lock_guard<std::mutex> guard(hold_lock);
        holding = false;
    }
    hold_cv.notify_all();
    EXPECT_EQ("ANS HOLD\n", nettest_read(a, 9));
    nettest_send(a, "CLOSE\n");
    (void)nettest_read(a, SIZE_MAX);
}

/* A whole request that finds the one worker slot taken by a kept-alive
 * client between requests is served: that client waits in the pool, not
 * on the worker, instead of the request being closed. */
TEST_F(Workers, KeepAliveWaitGivesItsSlotUp)
{
    MAXTHREADS = 2;              /* the main thread and one worker */
    CLIENT_POOL_TIMEOUT = 60;
    int a = connect_client();
    nettest_send(a, "x\n");
    EXPECT_EQ("ANS x\n", nettest_read(a, 6));
    int b = connect_client();
    nettest_send(b, "b\n");
    EXPECT_EQ("ANS b\n", nettest_read(b, 6, 10000));
    /* a went back to the pool and is served again. */
    nettest_send(a, "CLOSE\n");
    EXPECT_EQ("ANS CLOSE\n", nettest_read(a, 10, 10000));
    EXPECT_FALSE(test_log_contains("no free worker"));
    nettest_send(b, "CLOSE\n");
    (void)nettest_read(b, SIZE_MAX);
    CLIENT_POOL_TIMEOUT = 1;
}

/* A thread that cannot be started is logged (outside the thread table's
 * lock, or the log line would deadlock) and its connection closed. */
TEST_F(Workers, StartFailure)
{
    max_opt_stack = 1;   /* below any system's minimum stack */
    int a = connect_client();
    nettest_send(a, "x\n");
    bool closed = false;
    EXPECT_EQ("", nettest_read(a, SIZE_MAX, 10000, &closed));
    EXPECT_TRUE(closed);
    EXPECT_TRUE(test_log_contains("in thread_create, failed to set thread stack_size: 1"));
}

/* After a request: a client gone (CONN_NOCLIENT) closes the connection
 * even when kept alive; a failed transfer closes it and drops the server
 * socket; a good one returns the server socket to the pool. */
TEST_F(Workers, AfterTheRequest)
{
    struct Case { const char *line; bool closes; int pooled; const char *log; };
    const Case cases[] = {
        { "NOCLIENT", true, 0, "disconnected after making 0 requests" },
        { "FAIL", true, 0, "[IP:127.0.0.1] process: transfer failed" },
        { "POOL", false, 1, nullptr },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        global->serverpool->Clean(1);
        int fd = connect_client();
        nettest_send(fd, std::string(c.line) + "\n");
        bool closed = false;
        std::string answer = "ANS " + std::string(c.line) + "\n";
        EXPECT_EQ(answer, nettest_read(fd, c.closes ? SIZE_MAX : answer.size(), 10000, &closed));
        EXPECT_EQ(c.closes, closed);
        ASSERT_TRUE(!strcmp(c.line, "NOCLIENT") || nettest_wait([&] { return server_peer >= 0; }));
        if (c.log) {
            EXPECT_TRUE(nettest_wait([&] { return test_log_contains(c.log); }));
        }
        EXPECT_TRUE(nettest_wait([&] { return global->serverpool->Size() == c.pooled; }));
        if (server_peer >= 0) {
            bool server_closed = false;
            (void)nettest_read(server_peer, SIZE_MAX, c.pooled ? 200 : 10000, &server_closed);
            EXPECT_EQ(c.pooled == 0, server_closed);
            close(server_peer);
            server_peer = -1;
        }
    }
}

/* With THREAD_TIMEOUT 0 a worker exits right after its connection. */
TEST_F(Workers, NoParking)
{
    THREAD_TIMEOUT = 0;
    int fd = connect_client();
    nettest_send(fd, "CLOSE\n");
    EXPECT_EQ("ANS CLOSE\n", nettest_read(fd, SIZE_MAX));
    int slot = seen_copy().at(0).slot;
    EXPECT_TRUE(nettest_wait([&] { return state_of(slot) == THREAD_FREE; }));
}

/* Exiting workers add their own CPU time once: the total stays below the
 * process's own, however much the process had used before. */
TEST_F(Workers, CpuCountedOnce)
{
    THREAD_TIMEOUT = 0;
    {
        MutexGuard guard(&global->rusage_lock);
        memset(&global->rusage, 0, sizeof global->rusage);
    }
    struct timespec start, now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    volatile unsigned long spin = 0;
    do {
        for (int i = 0; i < 100000; i++)
            spin = spin + (unsigned long)i;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    } while ((now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000 < 300);

    for (int i = 0; i < 3; i++) {
        int fd = connect_client();
        nettest_send(fd, "BURN\n");
        EXPECT_EQ("ANS BURN\n", nettest_read(fd, 9));
        nettest_send(fd, "CLOSE\n");
        (void)nettest_read(fd, SIZE_MAX);
        ASSERT_TRUE(nettest_wait(workers_gone, 15000));
    }
    struct rusage self;
    getrusage(RUSAGE_SELF, &self);
    MutexGuard guard(&global->rusage_lock);
    int64_t total_us = (int64_t)global->rusage.ru_utime.tv_sec * 1000000 + global->rusage.ru_utime.tv_usec +
                       (int64_t)global->rusage.ru_stime.tv_sec * 1000000 + global->rusage.ru_stime.tv_usec;
    int64_t self_us = (int64_t)self.ru_utime.tv_sec * 1000000 + self.ru_utime.tv_usec +
                      (int64_t)self.ru_stime.tv_sec * 1000000 + self.ru_stime.tv_usec;
    EXPECT_GT(total_us, 0);
    EXPECT_LT(total_us, self_us - 200000);
    EXPECT_LT(global->rusage.ru_utime.tv_usec, 1000000);
}
