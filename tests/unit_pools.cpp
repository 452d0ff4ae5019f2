/* The server pool (keys, size, time-out, what may be pooled, reuse against
 * a real nginx) and the client pool (hand-over to a worker, time-outs,
 * hang-ups, and a clean from another thread while the poller waits). */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "clientpool.h"
#include "compat.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "locks.h"
#include "nettest.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "serverpool.h"
#include "socket.h"
#include "stats.h"
#include "test_support.h"

namespace {

/* A pooled socket and the peer that sees it close. */
struct Pooled {
    Socket *socket;
    int peer;
};

Pooled pooled()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        abort();
    return { new Socket(fds[0]), fds[1] };
}

/* True when the peer's socket was closed (end of stream). */
bool peer_closed(int peer)
{
    bool closed = false;
    (void)nettest_read(peer, SIZE_MAX, 5000, &closed);
    return closed;
}

time_t pool_now = 5000000;
time_t pool_clock()
{
    return pool_now;
}

SERVERPOOL_ROUTE route_of(int type, const char *proxy, int proxy_port, const char *local, int ssl)
{
    SERVERPOOL_ROUTE r;
    r.forward_type = type;
    r.proxy_host = proxy;
    r.proxy_port = proxy_port;
    inet_pton(AF_INET, local, &r.local);
    r.ssl = ssl;
    return r;
}

class Pools : public ::testing::Test {
protected:
    void SetUp() override
    {
        nettest_general(1, 2, 3, 100, 60);
        test_log_clear();
        signal(SIGPIPE, SIG_IGN);
    }
};

} // namespace

/* ---- The server pool ---- */

/* A connection is reused only under exactly its key: scheme and host
 * without regard to case, credentials byte for byte, and the same route. */
TEST_F(Pools, ServerKeys)
{
    const SERVERPOOL_ROUTE direct = route_of(FORWARD_DIRECT, nullptr, 0, "0.0.0.0", 0);
    struct Key {
        const char *scheme, *host;
        int port;
        const char *user, *password;
        SERVERPOOL_ROUTE route;
    };
    struct Case { const char *name; Key find; bool hit; };
    const Key added = { "http", "www.example.test", 80, "alice", "Secret", direct };
    const std::vector<Case> cases = {
        { "same key", added, true },
        { "scheme and host in other case", { "HTTP", "WWW.Example.Test", 80, "alice", "Secret", direct }, true },
        { "other port", { "http", "www.example.test", 81, "alice", "Secret", direct }, false },
        { "other host", { "http", "example.test", 80, "alice", "Secret", direct }, false },
        { "user in other case", { "http", "www.example.test", 80, "Alice", "Secret", direct }, false },
        { "password in other case", { "http", "www.example.test", 80, "alice", "secret", direct }, false },
        { "no password", { "http", "www.example.test", 80, "alice", nullptr, direct }, false },
        { "no credentials", { "http", "www.example.test", 80, nullptr, nullptr, direct }, false },
        { "through an upstream",
          { "http", "www.example.test", 80, "alice", "Secret", route_of(FORWARD_SOCKS5, "socks.test", 1080, "0.0.0.0", 0) },
          false },
        { "from another address",
          { "http", "www.example.test", 80, "alice", "Secret", route_of(FORWARD_DIRECT, nullptr, 0, "127.0.0.2", 0) },
          false },
        { "with SSL",
          { "http", "www.example.test", 80, "alice", "Secret", route_of(FORWARD_DIRECT, nullptr, 0, "0.0.0.0", 1) },
          false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ServerPool pool;
        Pooled p = pooled();
        pool.Add(p.socket, added.scheme, added.host, added.port, added.user, added.password, &added.route);
        Socket *got = pool.Find(c.find.scheme, c.find.host, c.find.port, c.find.user, c.find.password,
                                &c.find.route);
        EXPECT_EQ(c.hit ? p.socket : nullptr, got);
        EXPECT_EQ(c.hit ? 0 : 1, pool.Size());
        delete got;
        close(p.peer);
    }

    /* An entry without credentials matches only a search without them,
     * whatever its password was given as (empty counts as none). */
    ServerPool pool;
    Pooled p = pooled();
    pool.Add(p.socket, "http", "h.test", 80, "", "", nullptr);
    EXPECT_EQ(p.socket, pool.Find("http", "h.test", 80, nullptr, nullptr));
    delete p.socket;
    close(p.peer);

    /* Routes through proxies differ by proxy. */
    SERVERPOOL_ROUTE a = route_of(FORWARD_SOCKS4, "socks-a.test", 1080, "0.0.0.0", 0);
    SERVERPOOL_ROUTE b = route_of(FORWARD_SOCKS4, "socks-b.test", 1080, "0.0.0.0", 0);
    Pooled q = pooled();
    pool.Add(q.socket, "http", "h.test", 80, nullptr, nullptr, &a);
    EXPECT_EQ(nullptr, pool.Find("http", "h.test", 80, nullptr, nullptr, &b));
    EXPECT_EQ(nullptr, pool.Find("http", "h.test", 80, nullptr, nullptr));
    EXPECT_EQ(q.socket, pool.Find("http", "h.test", 80, nullptr, nullptr, &a));
    delete q.socket;
    close(q.peer);
}

/* The pool holds at most poolsize connections: the oldest is closed, and
 * the inadequate size is reported once per size reached. */
TEST_F(Pools, ServerSize)
{
    nettest_general(1, 2, 3, 2, 60);
    ServerPool pool;
    std::vector<Pooled> added;
    for (int i = 0; i < 4; i++) {
        added.push_back(pooled());
        pool.Add(added.back().socket, "http", "h.test", 80, nullptr, nullptr);
    }
    EXPECT_EQ(2, pool.Size());
    EXPECT_TRUE(peer_closed(added[0].peer));
    EXPECT_TRUE(peer_closed(added[1].peer));
    EXPECT_TRUE(test_log_contains(
        "Connection Pool: size:2 is inadequate, consider increasing this, else reduce Connection Pool Timeout"));
    int reports = 0;
    for (const std::string &line : logbuffer_lines(global->logbuffer))
        reports += line.find("is inadequate") != std::string::npos;
    EXPECT_EQ(1, reports);
    /* The oldest survivor is found first. */
    EXPECT_EQ(added[2].socket, pool.Find("http", "h.test", 80, nullptr, nullptr));
    delete added[2].socket;
    for (Pooled &p : added)
        close(p.peer);
}

/* A poolsize of 0 or less pools nothing, and nothing breaks. */
TEST_F(Pools, ServerSizeZero)
{
    for (int size : { 0, -1 }) {
        SCOPED_TRACE(size);
        nettest_general(1, 2, 3, size, 60);
        ServerPool pool;
        Pooled p = pooled();
        pool.Add(p.socket, "http", "h.test", 80, nullptr, nullptr);
        EXPECT_EQ(0, pool.Size());
        EXPECT_TRUE(peer_closed(p.peer));
        EXPECT_EQ(nullptr, pool.Find("http", "h.test", 80, nullptr, nullptr));
        pool.Clean(0);
        close(p.peer);
    }
}

/* Cleaning removes entries idle for pooltimeout seconds (not one second
 * less), entries past the first poolsize, or everything. */
TEST_F(Pools, ServerClean)
{
    nettest_general(1, 2, 3, 3, 60);
    ServerPool pool;
    pool.clock = pool_clock;
    pool_now = 5000000;
    Pooled old = pooled();
    pool.Add(old.socket, "http", "old.test", 80, nullptr, nullptr);
    pool_now += 1;
    Pooled young = pooled();
    pool.Add(young.socket, "http", "young.test", 80, nullptr, nullptr);
    pool_now += 58;
    pool.Clean(0);
    EXPECT_EQ(2, pool.Size());   /* 59 and 58 seconds */
    pool_now += 1;
    pool.Clean(0);
    EXPECT_EQ(1, pool.Size());   /* 60: the old one goes */
    EXPECT_TRUE(peer_closed(old.peer));

    /* A pool shrunk below its entries keeps exactly poolsize of them. */
    std::vector<Pooled> more;
    for (int i = 0; i < 2; i++) {
        more.push_back(pooled());
        pool.Add(more.back().socket, "http", "more.test", 80, nullptr, nullptr);
    }
    EXPECT_EQ(3, pool.Size());
    nettest_general(1, 2, 3, 2, 60);
    pool.Clean(0);
    EXPECT_EQ(2, pool.Size());
    pool.Clean(1);
    EXPECT_EQ(0, pool.Size());
    EXPECT_TRUE(peer_closed(young.peer));
    close(old.peer);
    close(young.peer);
    for (Pooled &p : more) {
        EXPECT_TRUE(peer_closed(p.peer));
        close(p.peer);
    }
}

/* After a request the server socket is pooled only when it may be: kept
 * alive, clean, and without connection-bound credentials; for an
 * upstream HTTP proxy under the proxy's host and port. */
TEST_F(Pools, ServerRelease)
{
    ServerPool *saved = global->serverpool;
    global->serverpool = new ServerPool();
    struct Case {
        const char *name;
        int keepalive;
        const char *authorization;
        bool unread;
        int forward;
        bool pooled;
        bool pinned = false;   /* kept on the client connection instead */
    };
    const Case cases[] = {
        { "kept alive", 1, nullptr, false, FORWARD_DIRECT, true },
        { "not kept alive", 0, nullptr, false, FORWARD_DIRECT, false },
        { "NTLM", 1, "NTLM TlRMTVNTUAABAAAA", false, FORWARD_DIRECT, false, true },
        { "Negotiate", 1, "negotiate YIIF", false, FORWARD_DIRECT, false, true },
        { "Basic", 1, "Basic YWxpY2U6eA==", false, FORWARD_DIRECT, true },
        { "unread bytes", 1, nullptr, true, FORWARD_DIRECT, false },
        { "upstream proxy", 1, nullptr, false, FORWARD_HTTP, true },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CONNECTION_T *conn = connection_new();
        Pooled p = pooled();
        conn->server = p.socket;
        conn->keepalive_server = c.keepalive;
        conn->forward_type = c.forward;
        conn->proxy_host = c.forward == FORWARD_HTTP ? strdup("proxy.test") : nullptr;
        conn->proxy_port = 3128;
        conn->header = header_new();
        conn->header->protocol = strdup("http");
        conn->header->host = strdup("www.example.test");
        conn->header->port = 80;
        if (c.authorization)
            conn->header->authorization = strdup(c.authorization);
        if (c.unread)
            p.socket->PushFront("x", 1);
        serverpool_release(conn);
        EXPECT_EQ(nullptr, conn->server);
        EXPECT_EQ(c.pooled ? 1 : 0, global->serverpool->Size());
        EXPECT_EQ(c.pinned ? p.socket : nullptr, conn->pinned_server);
        if (c.pinned) {
            /* The client's next request to the same place gets it back. */
            EXPECT_EQ(p.socket->fd, serverpool_pinned_take(conn, 0));
            EXPECT_EQ(p.socket, conn->server);
            EXPECT_TRUE(conn->server_pinned);
            delete conn->server;
            conn->server = nullptr;
        }
        if (!c.pooled) {
            EXPECT_TRUE(peer_closed(p.peer));
        }
        if (c.pooled) {
            SERVERPOOL_ROUTE r = serverpool_route(conn, 0);
            const char *host = c.forward == FORWARD_HTTP ? "proxy.test" : "www.example.test";
            int port = c.forward == FORWARD_HTTP ? 3128 : 80;
            Socket *s = global->serverpool->Find("http", host, port, nullptr, nullptr, &r);
            EXPECT_EQ(p.socket, s);
            delete s;
        }
        close(p.peer);
        http_header_free(conn->header);
        conn->header = nullptr;
        connection_free(conn);
    }
    delete global->serverpool;
    global->serverpool = saved;
}

/* A connection to a real server (nginx) taken back from the pool carries
 * the next request on the same TCP connection. */
TEST_F(Pools, ServerReuseWithNginx)
{
    std::string nginx = nettest_which("nginx");
    if (nginx.empty())
        GTEST_SKIP() << "needs nginx";
    std::string dir = test_temp_dir();
    int port = nettest_free_port();
    std::ofstream(dir + "/nginx.conf")
        << "daemon off;\nmaster_process off;\npid " << dir << "/nginx.pid;\n"
        << "error_log " << dir << "/error.log;\n"
        << "events { worker_connections 64; }\n"
        << "http {\n"
        << "  log_format conn '$connection $connection_requests $request_uri';\n"
        << "  access_log " << dir << "/access.log conn;\n"
        << "  client_body_temp_path " << dir << "/body;\n  proxy_temp_path " << dir << "/proxy;\n"
        << "  fastcgi_temp_path " << dir << "/fastcgi;\n  uwsgi_temp_path " << dir << "/uwsgi;\n"
        << "  scgi_temp_path " << dir << "/scgi;\n"
        << "  server { listen 127.0.0.1:" << port << "; keepalive_timeout 60;\n"
        << "    location / { return 200 \"hello\\n\"; } }\n"
        << "}\n";
    NetChild server;
    ASSERT_TRUE(server.start({ nginx, "-p", dir, "-c", dir + "/nginx.conf" }));
    ASSERT_TRUE(nettest_port_ready(port));

    auto get = [&](Socket *s, const char *path) {
        std::string req = std::string("GET ") + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (s->Write(req.data(), (int64_t)req.size()) < 0 || s->Flush() != 0)
            return std::string();
        std::string reply;
        char buf[4096];
        while (reply.find("hello\n") == std::string::npos) {
            int64_t n = s->Read(buf, sizeof buf, 5);
            if (n <= 0)
                break;
            reply.append(buf, (size_t)n);
        }
        return reply;
    };

    ServerPool pool;
    int fd = net_connect("127.0.0.1", port, 2);
    ASSERT_GE(fd, 0);
    Socket *first = new Socket(fd);
    EXPECT_NE(std::string::npos, get(first, "/one").find("200 OK"));
    pool.Add(first, "http", "127.0.0.1", port, nullptr, nullptr);
    EXPECT_EQ(nullptr, pool.Find("http", "127.0.0.1", port, "someone", "pw"));
    Socket *again = pool.Find("http", "127.0.0.1", port, nullptr, nullptr);
    ASSERT_EQ(first, again);
    EXPECT_NE(std::string::npos, get(again, "/two").find("200 OK"));
    delete again;

    std::string log;
    ASSERT_TRUE(nettest_wait([&] {
        std::ifstream in(dir + "/access.log");
        std::stringstream text;
        text << in.rdbuf();
        log = text.str();
        return log.find("/two") != std::string::npos;
    }));
    std::istringstream lines(log);
    std::string conn1, conn2, uri1, uri2;
    int count1 = 0, count2 = 0;
    lines >> conn1 >> count1 >> uri1 >> conn2 >> count2 >> uri2;
    EXPECT_EQ(conn1, conn2);
    EXPECT_EQ(1, count1);
    EXPECT_EQ(2, count2);
    server.stop();
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, system(rm.c_str()));
}

/* ---- The client pool ---- */

namespace {

/* A pooled client: the test's end and the connection the pool holds. */
struct Client {
    int peer;
    CONNECTION_T *conn;
};

Client client(unsigned id, int requests = 0)
{
    TcpPair p = nettest_pair();
    CONNECTION_T *conn = connection_new();
    conn->client = new Socket(p.b);
    conn->ip = strdup("127.0.0.1");
    conn->clientid = id;
    conn->requests = requests;
    return { p.a, conn };
}

} // namespace

/* Silent clients wait the general rule's timeout before their first
 * request and keeptimeout before a later one, then are closed. */
TEST_F(Pools, ClientTimeOuts)
{
    ClientPool pool;
    pool.clock = pool_clock;
    pool_now = 7000000;
    Client fresh = client(11, 0);
    Client kept = client(12, 3);
    pool.Add(fresh.conn);
    pool.Add(kept.conn);
    struct Step { int seconds; int left; };
    const Step steps[] = { { 1, 2 }, { 2, 1 }, { 3, 0 } };   /* timeout 2, keeptimeout 3 */
    for (const Step &s : steps) {
        SCOPED_TRACE(s.seconds);
        pool_now = 7000000 + s.seconds;
        pool.Wakeup();
        pool.Cycle();
        EXPECT_EQ(s.left, pool.Size());
    }
    EXPECT_TRUE(peer_closed(fresh.peer));
    EXPECT_TRUE(peer_closed(kept.peer));
    EXPECT_TRUE(test_log_contains("127.0.0.1 disconnected after making 3 requests"));
    close(fresh.peer);
    close(kept.peer);
}

/* A client that resets while pooled is closed in the next cycle; one that
 * sends is handed to a worker, which (with no pipeline yet) closes it. */
TEST_F(Pools, ClientHangUpAndHandOver)
{
    ClientPool pool;
    Client gone = client(21);
    Client asks = client(22);
    pool.Add(gone.conn);
    pool.Add(asks.conn);
    nettest_reset(gone.peer);
    nettest_send(asks.peer, "GET / HTTP/1.0\r\n\r\n");
    ASSERT_TRUE(nettest_wait([&] {
        pool.Wakeup();
        pool.Cycle();
        return pool.Size() == 0;
    }));
    /* On a busy machine the request may wait for a worker in the pool's
     * queue, which only the poller's cycles hand over. */
    EXPECT_TRUE(nettest_wait([&] {
        pool.Wakeup();
        pool.Cycle();
        return test_log_contains("disconnected after making 1 requests");
    }));
    EXPECT_TRUE(peer_closed(asks.peer));
    close(asks.peer);
}

/* A worker that gave its client back takes a ready one from the epoll set
 * itself: a whole request is taken (and, given back, is watched again), a
 * header not whole yet stays listed until the rest comes, a client that
 * hung up is closed, a silent one stays. */
TEST_F(Pools, ClientTakenByAWorker)
{
    ClientPool pool;
    struct Case {
        const char *what;
        const char *sent;   /* nullptr: the client resets */
        bool taken;
        int listed;
    };
    const Case cases[] = {
        { "a whole request", "GET / HTTP/1.0\r\n\r\n", true, 0 },
        { "part of a header", "GET / HTTP/1.0\r\n", false, 1 },
        { "a hang-up", nullptr, false, 0 },
        { "nothing", "", false, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        pool.Clean();
        Client cl = client(51, 1);
        pool.Add(cl.conn);
        if (!c.sent)
            nettest_reset(cl.peer);
        else if (*c.sent)
            nettest_send(cl.peer, c.sent);
        CONNECTION_T *got = nullptr;
        if (c.taken) {
            ASSERT_TRUE(nettest_wait([&] { return (got = pool.Take()) != nullptr; }));
            EXPECT_EQ(cl.conn, got);
        } else if (!c.sent) {
            ASSERT_TRUE(nettest_wait([&] { return pool.Take(), pool.Size() == 0; }));
            EXPECT_TRUE(peer_closed(cl.peer));
        } else {
            EXPECT_EQ(nullptr, pool.Take());
        }
        EXPECT_EQ(c.listed, pool.Size());
        if (got) {
            /* Given back after its answer: its next request is seen. */
            got->client->Drop(got->client->read_length);   /* the worker read the request */
            pool.Add(got);
            EXPECT_EQ(nullptr, pool.Take());
            nettest_send(cl.peer, c.sent);
            EXPECT_TRUE(nettest_wait([&] { return pool.Take() == got; }));
            net_close(got);
        } else if (c.listed) {
            /* The rest of the header, or a whole request, makes it ready. */
            nettest_send(cl.peer, *c.sent ? "\r\n" : "GET / HTTP/1.0\r\n\r\n");
            ASSERT_TRUE(nettest_wait([&] { return (got = pool.Take()) != nullptr; }));
            EXPECT_EQ(cl.conn, got);
            net_close(got);
        }
        close(cl.peer);
    }
}

/* Workers on many threads give clients back and take ready ones at once,
 * as under load: every request is served exactly once, by one worker at a
 * time, none is lost between the shards of the list, and every client is
 * listed again at the end. */
TEST_F(Pools, ClientsTakenAndGivenBackByManyWorkers)
{
    ClientPool pool;
    const int clients = 48, rounds = 40, workers = 8;
    std::vector<Client> cls;
    std::vector<std::atomic<bool>> serving(clients);
    for (int i = 0; i < clients; i++) {
        cls.push_back(client(100 + i, 1));
        cls.back().conn->clientid = (unsigned)i;
        pool.Add(cls.back().conn);
    }
    std::atomic<int> served{0};
    std::atomic<int> overlaps{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int w = 0; w < workers; w++) {
        threads.emplace_back([&] {
            while (!stop) {
                CONNECTION_T *conn = pool.Take();
                if (!conn) {
                    std::this_thread::yield();
                    continue;
                }
                int id = (int)conn->clientid;
                if (serving[id].exchange(true))
                    overlaps++;
                conn->client->Drop(conn->client->read_length);   /* the request, read */
                nettest_send(conn->client->fd, "ok\n");
                served++;
                serving[id] = false;
                pool.Add(conn);
            }
        });
    }
    std::vector<std::thread> peers;
    std::atomic<int> answered{0};
    for (int i = 0; i < clients; i++) {
        peers.emplace_back([&, i] {
            for (int r = 0; r < rounds; r++) {
                nettest_send(cls[i].peer, "GET /" + std::to_string(r) + " HTTP/1.1\r\n\r\n");
                if (nettest_read(cls[i].peer, 3, 20000) != "ok\n")
                    return;
                answered++;
            }
        });
    }
    for (std::thread &t : peers)
        t.join();
    stop = true;
    for (std::thread &t : threads)
        t.join();
    EXPECT_EQ(clients * rounds, answered.load());
    EXPECT_EQ(clients * rounds, served.load());
    EXPECT_EQ(0, overlaps.load());
    EXPECT_EQ(clients, pool.Size());
    pool.Clean();
    for (Client &c : cls)
        close(c.peer);
}

/* A clean from another thread while the poller waits: the closed entries
 * leave the poll set, and a new connection that got a closed descriptor's
 * number is served as itself, never closed or read in the old one's
 * place. */
TEST_F(Pools, ClientCleanDuringPoll)
{
    ClientPool pool;
    Client first = client(31, 1);
    pool.Add(first.conn);
    nettest_send(first.peer, "GET /one");   /* a header begun: its bytes are buffered */
    ASSERT_TRUE(nettest_wait([&] {
        pool.Cycle();
        return first.conn->client->read_length > 0;
    }));
    int number = first.conn->client->fd;
    std::atomic<bool> stop{false};
    std::atomic<pid_t> tid{0};
    std::thread poller([&] {
        tid = gettid();
        while (!stop)
            pool.Cycle();
    });
    /* Best while the poller waits in epoll_wait with first in the set. */
    (void)nettest_wait([&] {
        if (!tid)
            return false;
        std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
        long call = -1;
        in >> call;
        return call == SYS_epoll_wait || call == SYS_epoll_pwait;
    });
    pool.Clean();   /* closes first */
    EXPECT_TRUE(peer_closed(first.peer));

    /* The next connection on the same descriptor number. */
    TcpPair p = nettest_pair();
    if (p.a == number) {   /* the test's end goes elsewhere */
        int moved = fcntl(p.a, F_DUPFD_CLOEXEC, number + 1);
        close(p.a);
        p.a = moved;
    }
    if (p.b != number) {
        ASSERT_EQ(number, dup2(p.b, number));
        close(p.b);
    }
    CONNECTION_T *conn = connection_new();
    conn->client = new Socket(number);
    conn->ip = strdup("127.0.0.1");
    conn->clientid = 32;
    conn->requests = 1;
    nettest_send(p.a, "GET / HTTP/1.0\r\n\r\n");
    pool.Add(conn);
    /* Served (one more request booked), not closed unanswered. */
    EXPECT_TRUE(nettest_wait([] { return test_log_contains("disconnected after making 2 requests"); }));
    EXPECT_TRUE(peer_closed(p.a));
    stop = true;
    pool.Wakeup();
    poller.join();
    EXPECT_EQ(0, pool.Size());
    close(first.peer);
    close(p.a);
}

/* The header deadline runs from a request's first bytes: a header that
 * comes whole just as it passes is served, one still trickling in after
 * it is closed although its client keeps sending. */
TEST_F(Pools, ClientHeaderDeadline)
{
    struct Case {
        const char *name, *first, *rest;
        bool served;
    };
    const Case cases[] = {
        { "whole at the deadline", "GET / HTTP/1.0\r\n", "\r\n", true },
        { "trickling past it", "GET / HT", "TP/1.0\r\n", false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        test_log_clear();
        ClientPool pool;
        pool.clock = pool_clock;
        pool_now = 9000000;
        Client k = client(61, 0);   /* timeout 2 */
        pool.Add(k.conn);
        nettest_send(k.peer, c.first);
        ASSERT_TRUE(nettest_wait([&] {
            pool.Cycle();
            return k.conn->client->read_length > 0;
        }));
        pool_now += 2;
        nettest_send(k.peer, c.rest);
        ASSERT_TRUE(nettest_wait([&] {
            pool.Cycle();
            return pool.Size() == 0;
        }));
        if (c.served)
            EXPECT_TRUE(nettest_wait([&] {
                pool.Wakeup();
                pool.Cycle();
                return test_log_contains("disconnected after making 1 requests");
            }));
        else
            EXPECT_TRUE(test_log_contains("timeout waiting for header from 127.0.0.1"));
        EXPECT_EQ(!c.served, test_log_contains("timeout waiting for header"));
        EXPECT_TRUE(peer_closed(k.peer));
        close(k.peer);
    }
}

/* The connections page table. */
TEST_F(Pools, ClientShowConnections)
{
    ClientPool pool;
    pool.clock = pool_clock;
    pool_now = 100;
    Client a = client(41, 0);
    Client b = client(42, 2);
    pool.Add(a.conn);
    pool.Add(b.conn);
    pool_now = 105;
    Filebuf out;
    pool.show_connections(&out);
    EXPECT_EQ(std::string("<table class=\"list\">\n"
                          "<tr class=\"listhead\"><td colspan=\"4\" align=\"center\"><b>Client pool</b></td></tr>\n"
                          "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td><td>Idle</td></tr>\n"
                          "<tr class=\"listeven\"><td>41</td><td>127.0.0.1</td><td>0</td><td>5</td></tr>\n"
                          "<tr class=\"listodd\"><td>42</td><td>127.0.0.1</td><td>2</td><td>5</td></tr>\n"
                          "</table>\n"),
              std::string(out.data, (size_t)out.size));
    pool.Clean();
    close(a.peer);
    close(b.peer);
}

/* The server pool's page: pool order, "(none)" without a user, ages on
 * the pool's clock, and host and user names escaped. */
TEST_F(Pools, ServerShowConnections)
{
    nettest_general(1, 2, 3, 10, 60);
    ServerPool pool;
    pool.clock = pool_clock;
    pool_now = 200;
    Pooled a = pooled();
    Pooled b = pooled();
    pool.Add(a.socket, "http", "h.test", 80, nullptr, nullptr);
    pool_now = 230;
    pool.Add(b.socket, "ftp", "<b>\"h\".test", 21, "<i>&me", "secret");
    pool_now = 290;
    Filebuf out;
    pool.show_connections(&out);
    EXPECT_EQ(std::string("<table class=\"list\">\n"
                          "<tr class=\"listhead\"><td>Protocol</td><td>Host</td><td>Port</td>"
                          "<td>Username</td><td>Age</td></tr>\n"
                          "<tr class=\"listeven\"><td>http</td><td>h.test</td><td>80</td>"
                          "<td>(none)</td><td>90</td></tr>\n"
                          "<tr class=\"listodd\"><td>ftp</td><td>&lt;b&gt;&quot;h&quot;.test</td>"
                          "<td>21</td><td>&lt;i&gt;&amp;me</td><td>60</td></tr>\n"
                          "</table>\n"),
              std::string(out.data, (size_t)out.size));
    EXPECT_EQ(std::string::npos, std::string(out.data, (size_t)out.size).find("secret"));
    pool.Clean(1);
    close(a.peer);
    close(b.peer);
}

/* Puts pools in the global record once the workers that earlier tests'
 * hand-overs started have parked: a worker reads the record after its
 * answer, and parks under the thread table's lock, as this does. */
static void pools_install(ClientPool *clients, ServerPool *servers)
{
    ASSERT_TRUE(nettest_wait([] {
        statm_t counts;
        (void)thread_report(&counts);
        return counts.resident == 0 && counts.text <= 1;   /* none busy; starting: this thread */
    }));
    MutexGuard guard(&threadlistlock);
    global->clientpool = clients;
    global->serverpool = servers;
}

/* Running out of descriptors empties both global pools. */
TEST_F(Pools, FdFailureEmptiesPools)
{
    ClientPool *saved_clients = global->clientpool;
    ServerPool *saved_servers = global->serverpool;
    pools_install(new ClientPool(), new ServerPool());
    Client c = client(51);
    global->clientpool->Add(c.conn);
    Pooled s = pooled();
    global->serverpool->Add(s.socket, "http", "h.test", 80, nullptr, nullptr);
    fd_failure();
    EXPECT_EQ(0, global->clientpool->Size());
    EXPECT_EQ(0, global->serverpool->Size());
    EXPECT_TRUE(peer_closed(c.peer));
    EXPECT_TRUE(peer_closed(s.peer));
    EXPECT_TRUE(test_log_contains("failure opening file descriptor, attempting to free resources"));
    close(c.peer);
    close(s.peer);
    ClientPool *clients = global->clientpool;
    ServerPool *servers = global->serverpool;
    pools_install(saved_clients, saved_servers);
    delete clients;
    delete servers;
}
