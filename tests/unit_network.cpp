/* The network edge: listeners and accept, outgoing connects, the transfer
 * loops and the tunnel relay with their time limits, the SOCKS 4 and 5
 * exchanges against scripted and real SOCKS servers (dante, microsocks),
 * and the network section. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "header.h"
#include "nettest.h"
#include "network.h"
#include "options.h"
#include "socket.h"
#include "socks.h"
#include "test_support.h"

namespace {

/* A connection between a test client and a test server: the proxy's
 * client socket faces client_peer, its server socket server_peer. */
struct Wired {
    CONNECTION_T *conn = nullptr;
    int client_peer = -1;
    int server_peer = -1;

    explicit Wired(bool with_client = true, bool with_server = true)
    {
        conn = connection_new();
        conn->ip = strdup("127.0.0.1");
        if (with_client) {
            TcpPair c = nettest_pair();
            client_peer = c.a;
            conn->client = new Socket(c.b);
        }
        if (with_server) {
            TcpPair s = nettest_pair();
            server_peer = s.b;
            conn->server = new Socket(s.a);
        }
    }
    ~Wired()
    {
        for (Socket *s : { conn->client, conn->server }) {
            if (s)
                s->close_wait_ms = 0;
            delete s;
        }
        conn->client = conn->server = nullptr;
        conn->cache = nullptr;
        http_header_free(conn->header);
        conn->header = nullptr;
        connection_free(conn);
        if (client_peer >= 0)
            close(client_peer);
        if (server_peer >= 0)
            close(server_peer);
    }
};

std::string pattern(size_t n)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = (char)('a' + i % 23);
    return s;
}

HOSTENT *no_resolver(const char *)
{
    return nullptr;
}

class Network : public ::testing::Test {
protected:
    void SetUp() override
    {
        nettest_general(1, 1, 1);
        test_log_clear();
        BLOCKSIZE = 8192;
        net_tunnel_idle_seconds = NET_TUNNEL_IDLE_DEFAULT;
        signal(SIGPIPE, SIG_IGN);
    }
};

} // namespace

/* ---- Listeners ---- */

/* Twenty listeners fill the table; the twenty-first is refused; closing
 * them all frees every slot and the ports stop answering. */
TEST_F(Network, ListenerTable)
{
    net_init();
    std::vector<int> ports;
    for (int i = 0; i < NET_LISTENERS; i++) {
        int port = nettest_free_port();
        EXPECT_EQ(i, net_listen(port, "127.0.0.1"));
        ports.push_back(port);
    }
    int extra = nettest_free_port();
    EXPECT_EQ(-1, net_listen(extra, "127.0.0.1"));
    EXPECT_TRUE(test_log_contains("error: failed to bind to 127.0.0.1:" + std::to_string(extra)));
    EXPECT_EQ(NET_LISTENERS, net_listen_count());
    EXPECT_TRUE(test_log_contains("listening on 127.0.0.1:" + std::to_string(ports[0])));
    EXPECT_TRUE(test_log_contains("network: Memory allocation: per socket R/W: "));
    EXPECT_TRUE(test_log_contains("listen queue: "));

    net_listen_closeall();
    EXPECT_EQ(0, net_listen_count());
    EXPECT_EQ(-1, nettest_connect(ports[0]));
    EXPECT_EQ(nullptr, net_accept(0));
}

/* Addresses that are not dotted quads and ports outside 1-65535 are
 * refused with the bind error. */
TEST_F(Network, ListenerRefusals)
{
    net_init();
    struct Case { int port; const char *address; };
    const Case cases[] = {
        { 0, "127.0.0.1" }, { 65536, "127.0.0.1" }, { -1, nullptr },
        { 40000, "999.0.0.1" }, { 40000, "localhost" }, { 40000, "127.0.0" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.port) + " " + (c.address ? c.address : "(all)"));
        EXPECT_EQ(-1, net_listen(c.port, c.address));
    }
    EXPECT_EQ(0, net_listen_count());
    EXPECT_TRUE(test_log_contains("error: failed to bind to 999.0.0.1:40000"));
}

/* An accepted client becomes a connection with its address, the local
 * address and the listener's port; a listener on every address shows as
 * 0.0.0.0. */
TEST_F(Network, Accept)
{
    net_init();
    int port = nettest_free_port();
    ASSERT_EQ(0, net_listen(port, nullptr));
    EXPECT_TRUE(test_log_contains("listening on 0.0.0.0:" + std::to_string(port)));
    EXPECT_GT(BLOCKSIZE, 0);
    EXPECT_EQ(nullptr, net_accept(0));

    int fd = nettest_connect(port);
    ASSERT_GE(fd, 0);
    nettest_send(fd, "GET / HTTP/1.0\r\n\r\n");   /* deferred accept: data first */
    CONNECTION_T *conn = net_accept(10);
    ASSERT_NE(nullptr, conn);
    EXPECT_STREQ("127.0.0.1", conn->ip);
    EXPECT_STREQ("127.0.0.1", conn->interface);
    EXPECT_EQ("127.0.0.1", conn->logentry.client);
    EXPECT_EQ(port, conn->port);
    ASSERT_NE(nullptr, conn->client);
    /* Non-blocking for good from the accept on, and the socket knows it. */
    EXPECT_NE(0, fcntl(conn->client->fd, F_GETFL) & O_NONBLOCK);
    EXPECT_NE(0, fcntl(conn->client->fd, F_GETFD) & FD_CLOEXEC);
    EXPECT_TRUE(conn->client->NonBlocking());
    char buf[64];
    EXPECT_EQ(18, conn->client->Read(buf, sizeof buf, 5));
    net_close(conn);
    EXPECT_TRUE(test_log_contains("127.0.0.1 disconnected after making 0 requests"));
    bool closed = false;
    EXPECT_EQ("", nettest_read(fd, SIZE_MAX, 5000, &closed));
    EXPECT_TRUE(closed);
    close(fd);
    net_listen_closeall();
    net_close(nullptr);
}

/* Closing the listeners wakes a thread waiting for ever in net_accept. */
TEST_F(Network, CloseallWakesAccept)
{
    net_init();
    ASSERT_EQ(0, net_listen(nettest_free_port(), "127.0.0.1"));
    auto waiting = std::async(std::launch::async, [] { return net_accept(-1); });
    EXPECT_EQ(std::future_status::timeout, waiting.wait_for(std::chrono::milliseconds(100)));
    net_listen_closeall();
    ASSERT_EQ(std::future_status::ready, waiting.wait_for(std::chrono::seconds(10)));
    EXPECT_EQ(nullptr, waiting.get());
}

/* Client ids wrap from the largest value to 1, never giving 0. */
TEST_F(Network, ClientIdWraps)
{
    clientid = 0xFFFFFFFEu;
    EXPECT_EQ(0xFFFFFFFEu, net_clientid_next());
    EXPECT_EQ(0xFFFFFFFFu, net_clientid_next());
    EXPECT_EQ(1u, net_clientid_next());
    EXPECT_EQ(2u, net_clientid_next());
    clientid = 1;
}

/* ---- Connecting ---- */

/* The result codes of net_connect. */
TEST_F(Network, ConnectResults)
{
    int port;
    int l = nettest_listener(&port);
    int closed_port = nettest_free_port();
    dnscache_set_resolver(no_resolver);
    struct Case { const char *host; int port; int rc; };
    const Case cases[] = {
        { nullptr, port, NET_CONNECT_NO_HOST },
        { "", port, NET_CONNECT_NO_HOST },
        { "127.0.0.1", 0, NET_CONNECT_NO_HOST },
        { "127.0.0.1", 65536, NET_CONNECT_NO_HOST },
        { "nowhere.invalid", port, NET_CONNECT_NO_DNS },
        { "127.0.0.1", closed_port, NET_CONNECT_FAILED },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.host ? c.host : "(null)") + ":" + std::to_string(c.port));
        EXPECT_EQ(c.rc, net_connect(c.host, c.port, 1));
    }
    dnscache_set_resolver(nullptr);
    EXPECT_TRUE(test_log_contains("111:Connection refused"));

    int fd = net_connect("127.0.0.1", port, 1);
    ASSERT_GE(fd, 0);
    EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);   /* non-blocking for good: no switch per transfer */
    EXPECT_NE(0, fcntl(fd, F_GETFD) & FD_CLOEXEC);
    close(fd);
    fd = net_connect("localhost", port);
    EXPECT_GE(fd, 0);
    close(fd);
    close(l);
}

/* A server that never completes the handshake (its accept queue is full)
 * costs at most the connect time-out. */
TEST_F(Network, ConnectTimeOut)
{
    int port;
    int l = nettest_listener(&port, 0);
    std::vector<int> held;
    int rc = 0;
    for (int i = 0; i < 16; i++) {
        rc = net_connect("127.0.0.1", port, 1);
        if (rc < 0)
            break;
        held.push_back(rc);
    }
    EXPECT_EQ(NET_CONNECT_FAILED, rc);
    EXPECT_TRUE(test_log_contains("network: outbound connection: poll[0]: 110:"));
    for (int fd : held)
        close(fd);
    close(l);
}

/* An outgoing connection leaves from the local address asked for. */
TEST_F(Network, ConnectFromLocalAddress)
{
    int port;
    int l = nettest_listener(&port);
    in_addr local;
    inet_pton(AF_INET, "127.0.0.2", &local);
    int fd = net_connect("127.0.0.1", port, local, 1);
    ASSERT_GE(fd, 0);
    struct sockaddr_in peer;
    socklen_t len = sizeof peer;
    int s = accept(l, (struct sockaddr *)&peer, &len);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    EXPECT_STREQ("127.0.0.2", text);
    close(s);
    close(fd);
    close(l);
}

/* ---- Reading into a buffer ---- */

/* A counted read is complete only with all its bytes; a read until close
 * only with a clean close. Anything else (an early close, a reset, silence
 * past the connect time-out) fails the transfer. */
/* A transfer makes a blocking socket non-blocking for its scope and gives
 * the mode back; the proxy's own sockets, non-blocking for good, keep it. */
TEST_F(Network, NoWaitScopeOnlySwitchesBlockingSockets)
{
    for (bool nonblocking : { false, true }) {
        SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
        Wired w(true, false);
        Socket *s = w.conn->client;
        ASSERT_EQ(0, s->Blocking(!nonblocking));
        {
            NetNoWait mode(s);
            EXPECT_NE(0, fcntl(s->fd, F_GETFL) & O_NONBLOCK);
            EXPECT_TRUE(s->NonBlocking());
        }
        EXPECT_EQ(nonblocking, (fcntl(s->fd, F_GETFL) & O_NONBLOCK) != 0);
        EXPECT_EQ(nonblocking, s->NonBlocking());
    }
}

TEST_F(Network, FilebufRead)
{
    enum Then { THEN_NOTHING, THEN_CLOSE, THEN_RESET };
    struct Case { const char *name; int64_t len; size_t sent; Then then; int rc; };
    const Case cases[] = {
        { "counted, complete", 100, 100, THEN_NOTHING, 1 },
        { "counted, more than asked", 100, 150, THEN_NOTHING, 1 },
        { "counted, early close", 100, 40, THEN_CLOSE, 0 },
        { "counted, silent", 100, 40, THEN_NOTHING, 0 },
        { "counted, reset", 100000, 40, THEN_RESET, 0 },
        { "until close, clean", -1, 50000, THEN_CLOSE, 1 },
        { "until close, reset", -1, 40, THEN_RESET, 0 },
        { "until close, silent", -1, 40, THEN_NOTHING, 0 },
        { "nothing asked", 0, 0, THEN_NOTHING, 1 },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Wired w;
        nettest_send(w.server_peer, pattern(c.sent));
        if (c.then == THEN_CLOSE)
            shutdown(w.server_peer, SHUT_WR);
        if (c.then == THEN_RESET) {
            nettest_reset(w.server_peer);
            w.server_peer = -1;
        }
        Filebuf body;
        EXPECT_EQ(c.rc, net_filebuf_read(&body, w.conn, SIDE_SERVER, c.len));
        EXPECT_EQ(c.rc == 0, (w.conn->flags & CONN_TRANSFER_FAILED) != 0);
        if (c.rc == 1 && c.len > 0) {
            EXPECT_EQ(pattern(c.len), std::string(body.data, (size_t)body.size));
        }
        if (c.rc == 1 && c.len == -1) {
            EXPECT_EQ(pattern(c.sent), std::string(body.data, (size_t)body.size));
        }
    }
}

/* A read without a buffer only consumes; a buffer that may not grow fails
 * the read. */
TEST_F(Network, FilebufReadLimits)
{
    Wired w;
    nettest_send(w.server_peer, pattern(300));
    EXPECT_EQ(1, net_filebuf_read(nullptr, w.conn, SIDE_SERVER, 200));
    Filebuf small(50);
    EXPECT_EQ(0, net_filebuf_read(&small, w.conn, SIDE_SERVER, 100));
    EXPECT_NE(0u, w.conn->flags & CONN_TRANSFER_FAILED);
}

/* While the server is awaited, what the client sends is buffered only up
 * to the cap, and the client's loss ends the read. */
TEST_F(Network, FilebufReadOtherSide)
{
    {
        Wired w;
        std::atomic<bool> done{false};
        std::thread reader([&] {
            Filebuf body;
            EXPECT_EQ(1, net_filebuf_read(&body, w.conn, SIDE_SERVER, 100));
            done = true;
        });
        /* Fill until the proxy stops taking the client's bytes. */
        fcntl(w.client_peer, F_SETFL, O_NONBLOCK);
        std::string chunk = pattern(65536);
        size_t pushed = 0;
        auto quiet_since = std::chrono::steady_clock::now();
        while (pushed < (size_t)32 << 20 &&
               std::chrono::steady_clock::now() - quiet_since < std::chrono::milliseconds(300)) {
            ssize_t n = send(w.client_peer, chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n > 0) {
                pushed += (size_t)n;
                quiet_since = std::chrono::steady_clock::now();
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        EXPECT_FALSE(done);
        nettest_send(w.server_peer, pattern(100));
        reader.join();
        EXPECT_LE(w.conn->client->read_length, NET_OTHER_BUFFER_MAX + BLOCKSIZE);
        EXPECT_GT(w.conn->client->read_length, 0);
    }
    {
        Wired w;
        nettest_reset(w.client_peer);
        w.client_peer = -1;
        Filebuf body;
        EXPECT_EQ(0, net_filebuf_read(&body, w.conn, SIDE_SERVER, 100));
        EXPECT_TRUE(test_log_contains("network: [IP:127.0.0.1] client lost while reading data"));
    }
}

/* ---- Copying between the sockets ---- */

/* Copies reach the other side whole; short copies, resets and silence are
 * failures. */
TEST_F(Network, Transfer)
{
    enum Then { THEN_NOTHING, THEN_CLOSE, THEN_RESET };
    struct Case { const char *name; int64_t len; size_t sent; Then then; int64_t copied; bool failed; };
    const Case cases[] = {
        { "counted", 100000, 100000, THEN_NOTHING, 100000, false },
        { "counted, short", 100000, 50000, THEN_CLOSE, 50000, true },
        { "until close", -1, 70000, THEN_CLOSE, 70000, false },
        { "until close, reset", -1, 0, THEN_RESET, 0, true },
        { "until close, silent", -1, 3000, THEN_NOTHING, 3000, true },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Wired w;
        std::thread server([&] {
            nettest_send(w.server_peer, pattern(c.sent));
            if (c.then == THEN_CLOSE)
                shutdown(w.server_peer, SHUT_WR);
            if (c.then == THEN_RESET)
                nettest_reset(w.server_peer);
        });
        auto received = std::async(std::launch::async, [&] {
            return nettest_read(w.client_peer, c.copied, 10000);
        });
        EXPECT_EQ(c.copied, net_transfer(w.conn, SIDE_SERVER, c.len));
        server.join();
        if (c.then == THEN_RESET)
            w.server_peer = -1;
        EXPECT_EQ(c.failed, (w.conn->flags & CONN_TRANSFER_FAILED) != 0);
        EXPECT_EQ(pattern(c.copied), received.get());
    }
}

/* A client that stops reading cannot hold the copy: it ends failed after
 * the connect time-out instead of waiting for ever. */
TEST_F(Network, TransferToSilentClient)
{
    Wired w;
    int small = 4096;
    setsockopt(w.client_peer, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    setsockopt(w.conn->client->fd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::thread server([&] { nettest_send(w.server_peer, pattern((size_t)16 << 20)); });
    /* The copy starts once the server has sent: on a loaded machine the
     * sending thread may otherwise not have run before the time-out. */
    struct pollfd ready = { w.conn->server->fd, POLLIN, 0 };
    EXPECT_EQ(1, poll(&ready, 1, 60000));
    int64_t copied = net_transfer(w.conn, SIDE_SERVER, -1);
    EXPECT_GT(copied, 0);
    EXPECT_NE(0u, w.conn->flags & CONN_TRANSFER_FAILED);
    shutdown(w.server_peer, SHUT_RDWR);
    server.join();
}

/* When the client leaves during a cache fill that other readers wait for,
 * the fill goes on without it; otherwise the copy fails. */
TEST_F(Network, TransferContinuesWithoutClient)
{
    static int references = 0;
    net_cache_references = [](CACHEMAP *) { return references; };
    for (int refs : { 2, 1 }) {
        SCOPED_TRACE(refs);
        references = refs;
        test_log_clear();
        Wired w;
        w.conn->cache = (CACHEMAP *)&references;   /* opaque to the transfer */
        w.conn->flags |= CONN_WRITING_CACHE;
        nettest_reset(w.client_peer);
        w.client_peer = -1;
        std::thread server([&] {
            nettest_send(w.server_peer, pattern(200000));
            shutdown(w.server_peer, SHUT_WR);
        });
        int64_t copied = net_transfer(w.conn, SIDE_SERVER, -1);
        server.join();
        if (refs == 2) {
            EXPECT_EQ(200000, copied);
            EXPECT_EQ(nullptr, w.conn->client);
            EXPECT_NE(0u, w.conn->flags & CONN_NOCLIENT);
            EXPECT_EQ(0u, w.conn->flags & CONN_TRANSFER_FAILED);
            EXPECT_TRUE(test_log_contains("network: [IP:127.0.0.1] allowing transfer with no client to continue"));
        } else {
            EXPECT_NE(nullptr, w.conn->client);
            EXPECT_NE(0u, w.conn->flags & CONN_TRANSFER_FAILED);
        }
    }
    net_cache_references = [](CACHEMAP *) { return 0; };
}

/* ---- Sending ---- */

/* A buffer goes out in chunks of at most BLOCKSIZE bytes, then the last
 * chunk; nothing is sent to a connection without client. */
TEST_F(Network, SendChunked)
{
    BLOCKSIZE = 8192;
    struct Case { size_t size; std::string framing; };
    const Case cases[] = {
        { 20000, "2000|2000|e20|0" },
        { 8192, "2000|0" },
        { 8193, "2000|1|0" },
        { 0, "0" },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        Wired w(true, false);
        Filebuf body;
        std::string data = pattern(c.size);
        ASSERT_EQ(FILEBUF_OK, body.Add(data.data(), (int64_t)data.size()));
        EXPECT_EQ((int64_t)c.size, net_filebuf_send_chunked(&body, w.conn, SIDE_CLIENT));
        std::string expected;
        size_t off = 0;
        for (const std::string &line : StringList(c.framing, '|')) {
            size_t n = strtoul(line.c_str(), nullptr, 16);
            expected += line + "\r\n" + data.substr(off, n) + "\r\n";
            off += n;
        }
        EXPECT_EQ(expected, nettest_read(w.client_peer, expected.size()));
    }
    Wired w(true, false);
    w.conn->flags |= CONN_NOCLIENT;
    Filebuf body;
    ASSERT_EQ(FILEBUF_OK, body.Add("abc", 3));
    EXPECT_EQ(0, net_filebuf_send_chunked(&body, w.conn, SIDE_CLIENT));
    EXPECT_EQ(0, net_filebuf_send(&body, w.conn, SIDE_CLIENT));
    delete w.conn->client;
    w.conn->client = nullptr;
    bool closed = false;
    EXPECT_EQ("", nettest_read(w.client_peer, SIZE_MAX, 5000, &closed));
    EXPECT_TRUE(closed);
}

/* A whole buffer reaches the side's socket; a missing socket is an
 * error. */
TEST_F(Network, SendFilebuf)
{
    Wired w(true, false);
    Filebuf body;
    std::string data = pattern(300000);
    ASSERT_EQ(FILEBUF_OK, body.Add(data.data(), (int64_t)data.size()));
    auto received = std::async(std::launch::async, [&] { return nettest_read(w.client_peer, data.size()); });
    EXPECT_LE(0, net_filebuf_send(&body, w.conn, SIDE_CLIENT));
    EXPECT_EQ(data, received.get());
    EXPECT_EQ(-1, net_filebuf_send(&body, w.conn, SIDE_SERVER));
}

/* ---- Tunnels ---- */

/* A client that half-closes after its request still gets the server's
 * whole answer. */
TEST_F(Network, ProxyHalfClose)
{
    Wired w;
    auto relayed = std::async(std::launch::async, [&] { return net_proxy(w.conn, -1); });
    nettest_send(w.client_peer, "hello");
    shutdown(w.client_peer, SHUT_WR);
    bool closed = false;
    EXPECT_EQ("hello", nettest_read(w.server_peer, SIZE_MAX, 10000, &closed));
    EXPECT_TRUE(closed);   /* the client's end was passed on */
    std::string answer = pattern(100000);
    nettest_send(w.server_peer, answer);
    shutdown(w.server_peer, SHUT_WR);
    EXPECT_EQ(answer, nettest_read(w.client_peer, SIZE_MAX, 10000, &closed));
    EXPECT_TRUE(closed);
    EXPECT_EQ(5 + 100000, relayed.get());
}

/* A limit ends the relay when reached; a lost side ends it; so does the
 * idle limit. */
TEST_F(Network, ProxyEnds)
{
    {
        Wired w;
        nettest_send(w.client_peer, "abcdefgh");
        EXPECT_EQ(4, net_proxy(w.conn, 4));
        EXPECT_EQ("abcd", nettest_read(w.server_peer, 4));
    }
    {
        Wired w;
        nettest_send(w.server_peer, "xyz");
        nettest_reset(w.client_peer);
        w.client_peer = -1;
        EXPECT_GE(net_proxy(w.conn, -1), 0);
    }
    {
        Wired w;
        net_tunnel_idle_seconds = 1;
        EXPECT_EQ(0, net_proxy(w.conn, -1));
        EXPECT_TRUE(test_log_contains("network: [IP:127.0.0.1] tunnel idle for 1 seconds, closed"));
    }
}

/* ---- SOCKS against a scripted server ---- */

namespace {

/* One step of a scripted SOCKS server: read exactly `read` bytes, then
 * write each piece in turn (pausing between pieces), then either go on,
 * stay silent until the client leaves, or close. */
struct Step {
    size_t read;
    std::vector<std::string> pieces;
};

class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Step> steps) : script(std::move(steps))
    {
        listener = nettest_listener(&port);
        worker = std::thread([this] { run(); });
    }
    ~ScriptedServer()
    {
        if (worker.joinable())
            worker.join();
        close(listener);
    }
    /* Everything the client sent, once it has closed. */
    std::string finish()
    {
        if (worker.joinable())
            worker.join();
        return received;
    }
    int port;

private:
    void run()
    {
        struct pollfd p = { listener, POLLIN, 0 };
        if (poll(&p, 1, 10000) <= 0)
            return;
        int fd = accept(listener, nullptr, nullptr);
        for (const Step &step : script) {
            std::string got = nettest_read(fd, step.read, 10000);
            received += got;
            if (got.size() < step.read)
                break;
            for (size_t i = 0; i < step.pieces.size(); i++) {
                if (i > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(20));
                nettest_send(fd, step.pieces[i]);
            }
        }
        received += nettest_read(fd, SIZE_MAX, 10000);
        close(fd);
    }

    std::vector<Step> script;
    std::string received;
    int listener;
    std::thread worker;
};

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s += (char)(unsigned char)v;
    return s;
}

/* A connection to port with a request for host:port_wanted. */
struct SocksConn : Wired {
    SocksConn(int server_port, const char *host, int port_wanted) : Wired(false, false)
    {
        int fd = net_connect("127.0.0.1", server_port, 2);
        conn->server = fd >= 0 ? new Socket(fd) : nullptr;
        conn->header = header_new();
        conn->header->host = strdup(host);
        conn->header->port = port_wanted;
    }
    std::string done(ScriptedServer &server)
    {
        delete conn->server;
        conn->server = nullptr;
        return server.finish();
    }
};

const std::string socks5_greeting = bytes({ 5, 2, 0, 2 });

std::string socks5_connect(const std::string &host, int port)
{
    return bytes({ 5, 1, 0, 3, (int)host.size() }) + host + bytes({ port >> 8, port & 0xff });
}

} // namespace

/* SOCKS 5: the request by host name, replies split into pieces and read
 * whole, every field of the reply checked. */
TEST_F(Network, Socks5Scripted)
{
    const std::string ok_v4 = bytes({ 5, 0, 0, 1, 127, 0, 0, 1, 0x1f, 0x90 });
    const std::string req = socks5_connect("www.example.test", 8080);
    struct Case { const char *name; std::vector<Step> steps; int rc; };
    const std::vector<Case> cases = {
        { "no authentication, IPv4 reply in pieces",
          { { 4, { bytes({ 5 }), bytes({ 0 }) } },
            { req.size(), { ok_v4.substr(0, 3), ok_v4.substr(3, 4), ok_v4.substr(7) } } }, SOCKS_OK },
        { "domain reply", { { 4, { bytes({ 5, 0 }) } },
                            { req.size(), { bytes({ 5, 0, 0, 3, 3 }) + "abc" + bytes({ 0, 80 }) } } }, SOCKS_OK },
        { "IPv6 reply", { { 4, { bytes({ 5, 0 }) } },
                          { req.size(), { bytes({ 5, 0, 0, 4 }) + std::string(18, '\0') } } }, SOCKS_OK },
        { "method refused", { { 4, { bytes({ 5, 0xff }) } } }, SOCKS_FAILED },
        { "wrong version", { { 4, { bytes({ 4, 0 }) } } }, SOCKS_FAILED },
        { "user/password without credentials", { { 4, { bytes({ 5, 2 }) } } }, SOCKS_FAILED },
        { "connect refused", { { 4, { bytes({ 5, 0 }) } }, { req.size(), { bytes({ 5, 5, 0, 1 }) } } }, SOCKS_FAILED },
        { "reply version", { { 4, { bytes({ 5, 0 }) } }, { req.size(), { bytes({ 0, 0, 0, 1 }) } } }, SOCKS_FAILED },
        { "unknown address type", { { 4, { bytes({ 5, 0 }) } },
                                    { req.size(), { bytes({ 5, 0, 0, 9, 0, 0 }) } } }, SOCKS_FAILED },
        { "empty domain", { { 4, { bytes({ 5, 0 }) } },
                            { req.size(), { bytes({ 5, 0, 0, 3, 0, 0, 80 }) } } }, SOCKS_FAILED },
        { "short reply, then silence", { { 4, { bytes({ 5, 0 }) } },
                                         { req.size(), { bytes({ 5, 0, 0, 1, 127 }) } } }, SOCKS_FAILED },
        { "silent", { { 4, {} } }, SOCKS_FAILED },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server(c.steps);
        SocksConn s(server.port, "www.example.test", 8080);
        EXPECT_EQ(c.rc, proxy_socks5(s.conn));
        std::string sent = s.done(server);
        EXPECT_EQ(socks5_greeting, sent.substr(0, 4));
        if (c.steps.size() > 1) {
            EXPECT_EQ(req, sent.substr(4));
        }
    }
}

/* SOCKS 5 with user and password; a user name, password or host name of
 * 255 bytes is sent, one of 256 is refused before anything is sent. */
TEST_F(Network, Socks5Credentials)
{
    struct Case { std::string user, password, host, status; int rc; bool sends; };
    const std::string u255(255, 'u'), p255(255, 'p');
    const std::string h255 = std::string(250, 'h') + ".test";
    const std::vector<Case> cases = {
        { "alice", "s3cret", "h.test", bytes({ 1, 0 }), SOCKS_OK, true },
        { "alice", "wrong", "h.test", bytes({ 1, 1 }), SOCKS_FAILED, true },
        { "alice", "s3cret", "h.test", bytes({ 5, 0 }), SOCKS_FAILED, true },   /* auth version */
        { u255, p255, h255, bytes({ 1, 0 }), SOCKS_OK, true },
        { u255 + "u", "x", "h.test", "", SOCKS_FAILED, false },
        { "x", p255 + "p", "h.test", "", SOCKS_FAILED, false },
        { "x", "y", h255 + "h", "", SOCKS_FAILED, false },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.user.size()) + "/" + std::to_string(c.password.size()) + "/" +
                     std::to_string(c.host.size()));
        std::string auth = bytes({ 1, (int)(c.user.size() & 0xff) }) + c.user +
                           bytes({ (int)(c.password.size() & 0xff) }) + c.password;
        std::string connect = socks5_connect(c.host, 443);
        std::vector<Step> steps = { { 4, { bytes({ 5, 2 }) } }, { auth.size(), { c.status } },
                                    { connect.size(), { bytes({ 5, 0, 0, 1, 1, 2, 3, 4, 0, 80 }) } } };
        ScriptedServer server(steps);
        SocksConn s(server.port, c.host.c_str(), 443);
        s.conn->proxy_user = strdup(c.user.c_str());
        s.conn->proxy_password = strdup(c.password.c_str());
        EXPECT_EQ(c.rc, proxy_socks5(s.conn));
        std::string sent = s.done(server);
        if (!c.sends) {
            EXPECT_EQ("", sent);
            continue;
        }
        EXPECT_EQ(socks5_greeting + auth, sent.substr(0, 4 + auth.size()));
        if (c.rc == SOCKS_OK) {
            EXPECT_EQ(connect, sent.substr(4 + auth.size()));
        }
    }
}

/* SOCKS 4: the resolved address and port in the request, at most 54
 * characters of user id, and the reply codes. */
TEST_F(Network, Socks4Scripted)
{
    char saved[256];
    memcpy(saved, username, sizeof saved);
    snprintf(username, sizeof username, "%s", "proxyuser");
    const std::string req = bytes({ 4, 1, 0, 80, 127, 0, 0, 1 }) + "proxyuser" + bytes({ 0 });
    struct Case { const char *name; std::vector<std::string> pieces; int rc; };
    const std::vector<Case> cases = {
        { "granted", { bytes({ 0, 90, 0, 0, 0, 0, 0, 0 }) }, SOCKS_OK },
        { "granted in two pieces", { bytes({ 0, 90, 0 }), bytes({ 0, 0, 0, 0, 0 }) }, SOCKS_OK },
        { "rejected", { bytes({ 0, 91, 0, 0, 0, 0, 0, 0 }) }, SOCKS_FAILED },
        { "identd unreachable", { bytes({ 0, 92, 0, 0, 0, 0, 0, 0 }) }, SOCKS_IDENT },
        { "identd mismatch", { bytes({ 0, 93, 0, 0, 0, 0, 0, 0 }) }, SOCKS_IDENT },
        { "unknown code", { bytes({ 0, 77, 0, 0, 0, 0, 0, 0 }) }, SOCKS_UNKNOWN },
        { "reply version", { bytes({ 4, 90, 0, 0, 0, 0, 0, 0 }) }, SOCKS_FAILED },
        { "short, then silent", { bytes({ 0, 90, 0, 0 }) }, SOCKS_FAILED },
        { "silent", {}, SOCKS_FAILED },
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedServer server({ { req.size(), c.pieces } });
        SocksConn s(server.port, "127.0.0.1", 80);
        EXPECT_EQ(c.rc, proxy_socks4(s.conn));
        EXPECT_EQ(req, s.done(server));
    }

    snprintf(username, sizeof username, "%s", std::string(60, 'n').c_str());
    ScriptedServer server({ { 8 + 54 + 1, { bytes({ 0, 90, 0, 0, 0, 0, 0, 0 }) } } });
    SocksConn s(server.port, "127.0.0.1", 80);
    EXPECT_EQ(SOCKS_OK, proxy_socks4(s.conn));
    EXPECT_EQ(bytes({ 4, 1, 0, 80, 127, 0, 0, 1 }) + std::string(54, 'n') + bytes({ 0 }), s.done(server));

    dnscache_set_resolver(no_resolver);
    SocksConn nodns(server.port, "nowhere.invalid", 80);
    EXPECT_EQ(SOCKS_NO_DNS, proxy_socks4(nodns.conn));
    dnscache_set_resolver(nullptr);
    memcpy(username, saved, sizeof saved);
}

/* ---- SOCKS against real servers ---- */

namespace {

/* An origin that echoes what one client sends. */
class EchoOrigin {
public:
    EchoOrigin()
    {
        listener = nettest_listener(&port);
        worker = std::thread([this] {
            struct pollfd p = { listener, POLLIN, 0 };
            if (poll(&p, 1, 15000) <= 0)
                return;
            int fd = accept(listener, nullptr, nullptr);
            for (;;) {
                struct pollfd q = { fd, POLLIN, 0 };
                char buf[4096];
                ssize_t n = poll(&q, 1, 10000) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
                if (n <= 0)
                    break;
                nettest_send(fd, std::string(buf, (size_t)n));
            }
            close(fd);
        });
    }
    ~EchoOrigin()
    {
        worker.join();
        close(listener);
    }
    int port;

private:
    int listener;
    std::thread worker;
};

/* Sends text through the connection's server socket and reads it back. */
std::string round_trip(CONNECTION_T *conn, const std::string &text)
{
    if (conn->server->Write(text.data(), (int64_t)text.size()) < 0 || conn->server->Flush() != 0)
        return "";
    char buf[256];
    int64_t n = conn->server->Read(buf, sizeof buf, 5);
    return n > 0 ? std::string(buf, (size_t)n) : "";
}

} // namespace

/* dante without authentication carries SOCKS 4 and SOCKS 5 requests to
 * an origin; a closed port is refused. */
TEST_F(Network, SocksDante)
{
    std::string danted = nettest_which("danted");
    if (danted.empty() || geteuid() != 0)
        GTEST_SKIP() << "needs danted and root";
    /* dante forks for each client: on a loaded machine its answer can take
     * longer than the fixture's one-second connect time-out. */
    nettest_general(30, 30, 30);
    std::string dir = test_temp_dir();
    int port = nettest_free_port();
    std::ofstream(dir + "/danted.conf")
        << "logoutput: " << dir << "/danted.log\n"
        << "internal: 127.0.0.1 port = " << port << "\n"
        << "external: 127.0.0.1\n"
        << "socksmethod: none\nclientmethod: none\n"
        << "user.privileged: root\nuser.unprivileged: nobody\n"
        << "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n"
        << "socks pass { from: 127.0.0.0/8 to: 127.0.0.0/8 command: connect }\n";
    NetChild dante;
    ASSERT_TRUE(dante.start({ danted, "-f", dir + "/danted.conf", "-p", dir + "/danted.pid", "-N", "1" }));
    ASSERT_TRUE(nettest_port_ready(port));

    for (int version : { 4, 5 }) {
        SCOPED_TRACE(version);
        EchoOrigin origin;
        SocksConn s(port, "127.0.0.1", origin.port);
        ASSERT_NE(nullptr, s.conn->server);
        EXPECT_EQ(SOCKS_OK, version == 4 ? proxy_socks4(s.conn) : proxy_socks5(s.conn));
        EXPECT_EQ("ping", round_trip(s.conn, "ping"));
    }
    int closed_port = nettest_free_port();
    SocksConn refused(port, "127.0.0.1", closed_port);
    EXPECT_EQ(SOCKS_FAILED, proxy_socks4(refused.conn));
    SocksConn refused5(port, "127.0.0.1", closed_port);
    EXPECT_EQ(SOCKS_FAILED, proxy_socks5(refused5.conn));
    dante.stop();
    std::string rm = "rm -rf '" + dir + "'";
    EXPECT_EQ(0, system(rm.c_str()));
}

/* microsocks with a user name and password: the right pair connects, a
 * wrong one or none is refused. */
TEST_F(Network, SocksMicrosocks)
{
    std::string microsocks = nettest_which("microsocks");
    if (microsocks.empty())
        GTEST_SKIP() << "needs microsocks";
    int port = nettest_free_port();
    NetChild server;
    ASSERT_TRUE(server.start({ microsocks, "-i", "127.0.0.1", "-p", std::to_string(port), "-u", "alice",
                               "-P", "s3cret" }));
    ASSERT_TRUE(nettest_port_ready(port));
    {
        EchoOrigin origin;
        SocksConn s(port, "127.0.0.1", origin.port);
        s.conn->proxy_user = strdup("alice");
        s.conn->proxy_password = strdup("s3cret");
        EXPECT_EQ(SOCKS_OK, proxy_socks5(s.conn));
        EXPECT_EQ("ping", round_trip(s.conn, "ping"));
    }
    struct Case { const char *user; const char *password; };
    const Case refused[] = { { "alice", "wrong" }, { "Alice", "s3cret" }, { nullptr, nullptr } };
    for (const Case &c : refused) {
        SCOPED_TRACE(c.user ? c.user : "(none)");
        SocksConn s(port, "127.0.0.1", nettest_free_port());
        if (c.user) {
            s.conn->proxy_user = strdup(c.user);
            s.conn->proxy_password = strdup(c.password);
        }
        EXPECT_EQ(SOCKS_FAILED, proxy_socks5(s.conn));
    }
}

/* ---- The network section ---- */

namespace {

void network_entries(const std::vector<std::vector<std::string>> &listens,
                     const std::vector<std::vector<std::string>> &interfaces)
{
    nettest_sections();
    SectionWriteGuard guard(*network_section);
    for (int list = 0; list < 2; list++) {
        ItemList &items = network_section->subsections[list].items;
        items.clear();
        for (const std::vector<std::string> &e : list == 0 ? listens : interfaces) {
            items.push_back(Item(network_section->subsections[list]));
            FieldVector &f = items.back().fields;
            f[0].value = e[0] == "1";
            f[1].text = "entry";
            if (list == 0) {
                f[2].value = atoi(e[1].c_str());
            } else {
                f[2].list = StringList(e[1], ',');
            }
            f[3].text = e[2];
        }
    }
    network_section->update();
}

std::string local_for(const char *profiles)
{
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("127.0.0.1");
    conn->profiles = StringList(profiles, ',');
    in_addr a = network_section->interface_select(conn);
    connection_free(conn);
    char text[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

} // namespace

/* The first enabled interface entry whose profiles match gives the local
 * address; a malformed address is never used; no match binds to any. */
TEST_F(Network, InterfaceSelect)
{
    network_entries({}, {
        { "0", "staff", "127.0.0.5" },
        { "1", "staff", "127.0.0.6" },
        { "1", "staff", "127.0.0.7" },
        { "1", "guest", "127.0.0.256" },
        { "1", "guest", "127.0.0.8" },
    });
    EXPECT_TRUE(test_log_contains("network: interface address \"127.0.0.256\" is not an IPv4 address"));
    EXPECT_EQ("127.0.0.6", local_for("staff"));
    EXPECT_TRUE(test_log_contains("[IP:127.0.0.1] binding outgoing connection to 127.0.0.6"));
    EXPECT_EQ("127.0.0.8", local_for("guest"));
    EXPECT_EQ("0.0.0.0", local_for("other"));
    network_entries({}, {});
}

/* Only enabled listen entries with a port other than -1 open a listener;
 * an empty address listens on every address. */
TEST_F(Network, ListenEntries)
{
    net_init();
    int a = nettest_free_port(), b = nettest_free_port(), c = nettest_free_port();
    network_entries({ { "1", std::to_string(a), "127.0.0.1" },
                      { "0", std::to_string(b), "127.0.0.1" },
                      { "1", "-1", "127.0.0.1" },
                      { "1", std::to_string(c), "" } },
                    {});
    EXPECT_EQ(2, network_section->check());
    EXPECT_EQ(2, net_listen_count());
    EXPECT_TRUE(test_log_contains("listening on 127.0.0.1:" + std::to_string(a)));
    EXPECT_TRUE(test_log_contains("listening on 0.0.0.0:" + std::to_string(c)));
    EXPECT_FALSE(test_log_contains("listening on 127.0.0.1:" + std::to_string(b)));
    net_listen_closeall();
    network_entries({}, {});
}
