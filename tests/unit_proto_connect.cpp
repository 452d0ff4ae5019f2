/*
 * CONNECT tunnels against scripted upstream proxies on loopback: an
 * upstream that says nothing, garbage, a refusal, a challenge it repeats
 * after credentials, a header past the block limit, or a grant followed at
 * once by tunnel bytes. A tunnel is reported to the client only when the
 * upstream granted it, the upstream's challenge never reaches the client,
 * bytes behind a grant are the tunnel's first bytes, and every tunnel is
 * written to the access log once, with the bytes it relayed.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "nettest.h"
#include "proto_connect.h"
#include "protocol.h"
#include "request.h"
#include "serverpool.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"
#include "urlcommand.h"

namespace {

const char *const GRANT = "HTTP/1.1 200 Connection established\r\n\r\n";
const char *const CHALLENGE = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                              "Proxy-Authenticate: Basic realm=\"upstream\"\r\n"
                              "Content-Length: 6\r\n\r\ndenied";
const char *const FORBIDDEN = "HTTP/1.1 403 Forbidden\r\nContent-Length: 9\r\n\r\nforbidden";
/* "user:pass" in Base64 */
const char *const CREDENTIALS = "Proxy-Authorization: Basic dXNlcjpwYXNz\r\n";

/* One exchange an upstream plays: it reads a request head, then sends
 * reply (nothing when empty) and, with close, shuts its sending side. */
struct Step {
    std::string reply;
    bool close = false;
};

/* A scripted upstream proxy on one connected socket (fd, taken over) or on
 * the first connection accepted from a listener. It plays its steps in
 * order, recording every request head; after the last step it reads what
 * else arrives until the peer ends. */
struct Upstream {
    std::vector<Step> steps;
    std::vector<std::string> heads;
    std::string after;   /* bytes after the last head: the tunnel's */
    int fd = -1;
    int listener = -1;
    int port = 0;
    std::atomic<bool> stop{ false };
    std::thread thread;

    Upstream(int socket_fd, std::vector<Step> s) : steps(std::move(s)), fd(socket_fd)
    {
        thread = std::thread([this] { run(); });
    }

    explicit Upstream(std::vector<Step> s) : steps(std::move(s))
    {
        listener = nettest_listener(&port);
        thread = std::thread([this] {
            struct pollfd p = { listener, POLLIN, 0 };
            if (poll(&p, 1, 10000) > 0)
                fd = accept(listener, nullptr, nullptr);
            if (fd >= 0)
                run();
        });
    }

    /* With a listener, the next connection once the current one ended:
     * the script goes on there. */
    bool next_connection()
    {
        if (listener < 0)
            return false;
        close(fd);
        fd = -1;
        while (!stop) {
            struct pollfd p = { listener, POLLIN, 0 };
            if (poll(&p, 1, 100) > 0) {
                fd = accept(listener, nullptr, nullptr);
                return fd >= 0;
            }
        }
        return false;
    }

    void run()
    {
        std::string pending;
        for (const Step &step : steps) {
            size_t end;
            while ((end = pending.find("\r\n\r\n")) == std::string::npos && !stop) {
                struct pollfd p = { fd, POLLIN, 0 };
                if (poll(&p, 1, 100) <= 0)
                    continue;
                char buf[65536];
                ssize_t n = recv(fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    if (!next_connection())
                        return;
                    pending.clear();
                    continue;
                }
                pending.append(buf, (size_t)n);
            }
            if (end == std::string::npos)
                return;
            heads.push_back(pending.substr(0, end + 4));
            pending.erase(0, end + 4);
            nettest_send(fd, step.reply);
            if (step.close)
                shutdown(fd, SHUT_WR);
        }
        after = pending;
        /* Read to the peer's end: finish() comes once the proxy closed its
         * side, and bytes it sent before closing are still to be read then.
         * Only a peer that never ends is given up, 10 s after finish(). */
        int idle_after_stop = 0;
        for (;;) {
            struct pollfd p = { fd, POLLIN, 0 };
            if (poll(&p, 1, 100) <= 0) {
                if (stop && ++idle_after_stop >= 100)
                    return;
                continue;
            }
            char buf[65536];
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                return;
            after.append(buf, (size_t)n);
        }
    }

    /* Waits for the script to end. The caller has closed the proxy's side
     * first, so the upstream reads to that end (a peer that never ends is
     * given up). */
    void finish()
    {
        if (!thread.joinable())
            return;
        stop = true;
        thread.join();
    }

    ~Upstream()
    {
        finish();
        if (fd >= 0)
            close(fd);
        if (listener >= 0)
            close(listener);
    }
};

void sections()
{
    test_runtime_init();
    nettest_general(2, 1, 2);   /* a silent upstream is given up after 1 s */
    if (!template_section)
        template_section = new TemplateSection();
    if (!global->serverpool)
        global->serverpool = new ServerPool();
}

/* Sets the connect ports of the one general rule ("" allows every port). */
void connect_ports(const std::string &ranges)
{
    SectionWriteGuard guard(*general_section);
    general_section->subsections[0].items.back().fields[9].portranges = PortRangeList(ranges);
    general_section->update();
}

std::string file_text(const char *path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

/* The access log of this test program, opened once. */
const char *access_log()
{
    static std::string path;
    if (path.empty()) {
        path = test_temp_dir() + "/access.log";
        snprintf(slogfile, sizeof slogfile, "%s", path.c_str());
    }
    return slogfile;
}

/* Records of CONNECT requests in the access log so far. */
size_t connect_records()
{
    std::string text = file_text(access_log());
    size_t count = 0;
    for (size_t at = text.find(" CONNECT "); at != std::string::npos; at = text.find(" CONNECT ", at + 1))
        count++;
    return count;
}

/* A connection with a client socket whose peer the test speaks through,
 * and, unless told otherwise, a server socket whose peer is the upstream. */
struct Tunnel : ::testing::Test {
    CONNECTION_T *conn = nullptr;
    int client_peer = -1;
    int server_peer = -1;   /* handed to the Upstream */

    void SetUp() override
    {
        sections();
        (void)access_log();
        test_log_clear();
        conn = connection_new();
        TcpPair c = nettest_pair();
        conn->client = new Socket(c.a);
        client_peer = c.b;
        conn->ip = strdup("127.0.0.1");
        conn->interface = strdup("127.0.0.1");
        conn->port = 3128;
        conn->slot = 0;
        conn->keepalive_client = 1;
        conn->logentry.Reset();
        conn->logentry.method = "CONNECT";   /* the pipeline's part */
    }

    void connect_server()
    {
        TcpPair s = nettest_pair();
        conn->server = new Socket(s.a);
        server_peer = s.b;
    }

    void request(const char *text)
    {
        conn->header = http_header_parse_request(text);
        ASSERT_TRUE(conn->header);
    }

    void credentials()
    {
        conn->proxy_user = strdup("user");
        conn->proxy_password = strdup("pass");
    }

    void TearDown() override
    {
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        conn->header = conn->rheader = nullptr;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        url_command_free(conn->urlcommands);
        conn->urlcommands = nullptr;
        delete conn->body;
        conn->body = nullptr;
        connection_free(conn);
        if (client_peer >= 0)
            close(client_peer);
    }
};

/* A response head of exactly total bytes: status line, filler lines and
 * the closing blank line. */
std::string head_of_size(size_t total)
{
    std::string head = "HTTP/1.1 200 Connection established\r\n";
    size_t line = 0;
    while (head.size() + 2 < total) {
        size_t room = total - 2 - head.size();
        /* "X<n>: " + value + CRLF; keep every line well under the limits */
        std::string name = "X" + std::to_string(line++) + ": ";
        size_t value = std::min<size_t>(room - name.size() - 2, 400);
        if (room < name.size() + 3) {
            head.back() = '\n';   /* cannot happen for the sizes used */
            break;
        }
        head += name + std::string(value, 'v') + "\r\n";
    }
    head += "\r\n";
    return head;
}

struct AnswerCase {
    const char *name;
    std::vector<Step> steps;
    bool credentials;
    int rc;
    size_t heads;          /* CONNECT requests the upstream read */
    bool second_has_credentials;
    const char *left;      /* bytes left in the server socket on success */
};

} // namespace

/* The tunnel of a FORWARD_CONNECT route opens only on the upstream's 200;
 * the request comes back as it was, and bytes behind the 200 stay for the
 * tunnel. A challenge is answered on a new connection to the upstream. */
TEST_F(Tunnel, ProxyConnectAnswers)
{
    const std::string at_limit = head_of_size(HEADER_BLOCK_MAX);
    const std::string past_limit = head_of_size(HEADER_BLOCK_MAX + 1);
    ASSERT_EQ((size_t)HEADER_BLOCK_MAX, at_limit.size());
    ASSERT_EQ((size_t)HEADER_BLOCK_MAX + 1, past_limit.size());
    const AnswerCase cases[] = {
        { "grant", { { GRANT } }, false, 1, 1, false, "" },
        { "grant over HTTP/1.0", { { "HTTP/1.0 200 OK\r\n\r\n" } }, false, 1, 1, false, "" },
        { "grant followed at once by tunnel bytes", { { std::string(GRANT) + "EARLY" } }, false, 1, 1,
          false, "EARLY" },
        { "no answer", { { "" } }, false, -1, 1, false, nullptr },
        { "closed without answer", { { "", true } }, false, -1, 1, false, nullptr },
        { "garbage", { { "garbage and more garbage\r\n\r\n" } }, false, -1, 1, false, nullptr },
        { "garbage closed", { { "SSH-2.0-x", true } }, false, -1, 1, false, nullptr },
        { "refused", { { FORBIDDEN } }, false, -1, 1, false, nullptr },
        { "head never ends", { { "HTTP/1.1 200 OK\r\nX: y\r\n" } }, false, -1, 1, false, nullptr },
        { "head exactly at the block limit", { { at_limit } }, false, 1, 1, false, "" },
        { "head one byte past the block limit", { { past_limit } }, false, -1, 1, false, nullptr },
        { "challenge without credentials", { { CHALLENGE } }, false, -1, 1, false, nullptr },
        { "challenge answered", { { CHALLENGE }, { GRANT } }, true, 1, 2, true, "" },
        { "challenge twice", { { CHALLENGE }, { CHALLENGE } }, true, -1, 2, true, nullptr },
    };
    for (const AnswerCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        request("GET http://origin.test:8080/x HTTP/1.1\r\nUser-Agent: t\r\n\r\n");
        HEADER *original = conn->header;
        conn->forward_type = FORWARD_CONNECT;
        if (c.credentials)
            credentials();
        Upstream upstream(c.steps);
        conn->proxy_host = strdup("127.0.0.1");
        conn->proxy_port = upstream.port;
        conn->server = new Socket(nettest_connect(upstream.port));

        EXPECT_EQ(c.rc, proxy_connect(conn));
        EXPECT_EQ(original, conn->header);
        EXPECT_EQ(nullptr, conn->rheader);
        EXPECT_FALSE(conn->flags & CONN_NOCLIENT);
        if (c.rc == 1) {
            EXPECT_EQ(std::string(c.left),
                      std::string(conn->server->read_buffer ? conn->server->read_buffer : "",
                                  (size_t)conn->server->read_length));
        }
        delete conn->server;   /* ends the upstream's reading */
        conn->server = nullptr;
        upstream.finish();
        ASSERT_EQ(c.heads, upstream.heads.size());
        EXPECT_EQ(0u, upstream.heads[0].find("CONNECT origin.test:8080 HTTP/1.1\r\n")) << upstream.heads[0];
        EXPECT_NE(std::string::npos, upstream.heads[0].find("Host: origin.test:8080\r\n"));
        EXPECT_EQ(std::string::npos, upstream.heads[0].find("Proxy-Authorization"));
        if (c.heads > 1) {
            EXPECT_EQ(0u, upstream.heads[1].find("CONNECT origin.test:8080 HTTP/1.1\r\n"));
            EXPECT_EQ(c.second_has_credentials,
                      upstream.heads[1].find(CREDENTIALS) != std::string::npos) << upstream.heads[1];
        }
        /* the request itself never went to the upstream */
        EXPECT_EQ(std::string::npos, upstream.after.find("GET "));
        /* nothing was said to the client */
        EXPECT_EQ("", nettest_read(client_peer, SIZE_MAX, 0));
    }
}

/* A refused tunnel of a FORWARD_CONNECT route fails the connect: the
 * request is never sent, and the socket is gone. */
TEST_F(Tunnel, ProtocolStartThroughTunnel)
{
    struct StartCase {
        const char *name;
        const char *reply;
        bool connected;
    };
    const StartCase cases[] = {
        { "granted", GRANT, true },
        { "forbidden", FORBIDDEN, false },
    };
    for (const StartCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Upstream upstream({ { c.reply } });
        request("GET http://origin.test/x HTTP/1.1\r\n\r\n");
        conn->forward_type = FORWARD_CONNECT;
        conn->proxy_host = strdup("127.0.0.1");
        conn->proxy_port = upstream.port;

        int rc = protocol_start(conn);
        EXPECT_EQ(c.connected, rc >= 0);
        EXPECT_EQ(c.connected, conn->server != nullptr);
        EXPECT_EQ(c.connected, !test_log_contains("network: connection to proxy failed"));
        EXPECT_EQ(nullptr, conn->rheader);
        delete conn->server;
        conn->server = nullptr;
        upstream.finish();
        ASSERT_EQ(1u, upstream.heads.size());
        EXPECT_EQ(0u, upstream.heads[0].find("CONNECT origin.test:80 HTTP/1.1\r\n"));
        EXPECT_EQ("", upstream.after);
    }
}

struct ClientCase {
    const char *name;
    std::vector<Step> steps;
    bool credentials;
    const char *early;        /* tunnel bytes behind the grant; NULL: refused */
    const char *log;          /* a line the attempt leaves */
};

/* The client's CONNECT through an upstream HTTP proxy: only the
 * upstream's 200 makes the fixed confirmation; every other outcome is
 * "noconnect" with 503, without the upstream's challenge or body. */
TEST_F(Tunnel, ClientConnectThroughUpstream)
{
    const ClientCase cases[] = {
        { "granted, tunnel bytes at once", { { std::string(GRANT) + "EARLY", true } }, false, "EARLY",
          "CONNECT secure.test:443" },
        { "challenge answered", { { CHALLENGE }, { GRANT, true } }, true, "", "CONNECT secure.test:443" },
        { "refused", { { FORBIDDEN } }, false, nullptr, "request: failed CONNECT to secure.test:443" },
        { "challenge without credentials", { { CHALLENGE } }, false, nullptr,
          "request: failed CONNECT to secure.test:443" },
        { "challenge twice", { { CHALLENGE }, { CHALLENGE } }, true, nullptr,
          "request: failed CONNECT to secure.test:443" },
        { "no answer", { { "" } }, false, nullptr, "error: failed CONNECT to secure.test:443" },
        { "garbage", { { "\x16\x03\x01 not http\r\n\r\n" } }, false, nullptr,
          "error: failed CONNECT to secure.test:443" },
    };
    for (const ClientCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        Upstream upstream(c.steps);
        conn->proxy_host = strdup("127.0.0.1");
        conn->proxy_port = upstream.port;
        conn->server = new Socket(nettest_connect(upstream.port));
        request("CONNECT secure.test:443 HTTP/1.1\r\nHost: secure.test:443\r\n"
                "Proxy-Connection: keep-alive\r\n\r\n");
        conn->forward_type = FORWARD_HTTP;
        if (c.credentials)
            credentials();
        size_t records = connect_records();

        auto served = std::async(std::launch::async, [&] { return protocol_connect(conn); });
        if (c.early) {
            /* the upstream ended its side: the client's side goes on */
            bool closed = false;
            std::string got = nettest_read(client_peer, SIZE_MAX, 10000, &closed);
            EXPECT_TRUE(closed);
            EXPECT_EQ("HTTP/1.1 200 Connection Established\r\n\r\n" + std::string(c.early), got);
            nettest_send(client_peer, "CLIENT BYTES");
            shutdown(client_peer, SHUT_WR);
        } else {
            /* the page is out by the time the handler returns; the worker
             * closes the connection afterwards, and the page is read to
             * that close */
            served.wait();
            delete conn->client;
            conn->client = nullptr;
            bool closed = false;
            std::string got = nettest_read(client_peer, SIZE_MAX, 10000, &closed);
            EXPECT_TRUE(closed);
            EXPECT_EQ(0u, got.find("HTTP/1.1 503 ")) << got.substr(0, 200);
            EXPECT_EQ(std::string::npos, got.find("Connection Established"));
            EXPECT_EQ(std::string::npos, got.find("Proxy-Authenticate"));
            EXPECT_EQ(std::string::npos, got.find("denied"));
            EXPECT_EQ(std::string::npos, got.find("forbidden"));
            EXPECT_NE(std::string::npos, got.find("Connection: close"));
        }
        EXPECT_EQ(0, served.get());
        delete conn->server;
        conn->server = nullptr;
        upstream.finish();

        EXPECT_TRUE(test_log_contains(c.log));
        EXPECT_EQ(0, conn->keepalive_client);
        EXPECT_EQ(0, conn->keepalive_server);
        EXPECT_EQ(nullptr, conn->rheader);
        EXPECT_EQ(records + 1, connect_records());
        ASSERT_EQ(c.steps.size(), upstream.heads.size());
        EXPECT_EQ(0u, upstream.heads[0].find("CONNECT secure.test:443 HTTP/1.1\r\n"));
        if (c.credentials) {
            EXPECT_NE(std::string::npos, upstream.heads.back().find(CREDENTIALS));
        }
        if (c.early) {
            EXPECT_EQ("CLIENT BYTES", upstream.after);
            EXPECT_EQ(200, conn->logentry.status);
            EXPECT_EQ((int64_t)(strlen(c.early) + strlen("CLIENT BYTES")), conn->logentry.size);
        } else {
            EXPECT_EQ("", upstream.after);
            EXPECT_EQ(503, conn->logentry.status);
        }
    }
}

/* A direct tunnel carries a long payload both ways intact and passes a
 * half-close on; the record counts every byte relayed. */
TEST_F(Tunnel, DirectTunnelCarriesEverything)
{
    connect_server();
    request("CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n");
    conn->forward_type = FORWARD_DIRECT;
    size_t records = connect_records();
    std::string up(3 * 1000 * 1000 + 7, '\0');
    std::string down(2 * 1000 * 1000 + 3, '\0');
    for (size_t i = 0; i < up.size(); i++)
        up[i] = (char)(i * 7 + i / 251);
    for (size_t i = 0; i < down.size(); i++)
        down[i] = (char)(i * 13 + i / 253);

    auto served = std::async(std::launch::async, [&] { return protocol_connect(conn); });
    const std::string confirm = "HTTP/1.1 200 Connection Established\r\n\r\n";
    EXPECT_EQ(confirm, nettest_read(client_peer, confirm.size(), 10000));

    /* the client sends all and half-closes; the server answers after */
    std::thread sender([&] {
        nettest_send(client_peer, up);
        shutdown(client_peer, SHUT_WR);
    });
    bool closed = false;
    EXPECT_TRUE(nettest_read(server_peer, SIZE_MAX, 10000, &closed) == up);
    EXPECT_TRUE(closed);
    sender.join();
    std::thread answer([&] {
        nettest_send(server_peer, down);
        shutdown(server_peer, SHUT_WR);
    });
    EXPECT_TRUE(nettest_read(client_peer, SIZE_MAX, 10000, &closed) == down);
    EXPECT_TRUE(closed);
    answer.join();
    EXPECT_EQ(0, served.get());
    EXPECT_EQ((int64_t)(up.size() + down.size()), conn->logentry.size);
    EXPECT_EQ(records + 1, connect_records());
    close(server_peer);
}

/* A peer that echoes every block with a blocking send, reading nothing
 * meanwhile, while the client sends and reads at once: each direction
 * moves on its own, so the tunnel never stalls. */
TEST_F(Tunnel, EchoingPeerDoesNotStallTheTunnel)
{
    connect_server();
    request("CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n");
    conn->forward_type = FORWARD_DIRECT;
    std::string up(8 * 1000 * 1000, '\0');
    for (size_t i = 0; i < up.size(); i++)
        up[i] = (char)(i * 31 + i / 4093);

    std::thread echo([&] {
        char buf[65536];
        for (;;) {
            struct pollfd p = { server_peer, POLLIN, 0 };
            if (poll(&p, 1, 10000) <= 0)
                break;
            ssize_t n = recv(server_peer, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            nettest_send(server_peer, std::string(buf, (size_t)n));
        }
        shutdown(server_peer, SHUT_WR);
    });
    auto served = std::async(std::launch::async, [&] { return protocol_connect(conn); });
    const std::string confirm = "HTTP/1.1 200 Connection Established\r\n\r\n";
    EXPECT_EQ(confirm, nettest_read(client_peer, confirm.size(), 10000));
    std::thread sender([&] {
        nettest_send(client_peer, up);
        shutdown(client_peer, SHUT_WR);
    });
    bool closed = false;
    std::string back = nettest_read(client_peer, SIZE_MAX, 10000, &closed);
    sender.join();
    echo.join();
    EXPECT_TRUE(closed);
    EXPECT_EQ(up.size(), back.size());
    EXPECT_TRUE(back == up);
    EXPECT_EQ(0, served.get());
    EXPECT_EQ((int64_t)(2 * up.size()), conn->logentry.size);
    close(server_peer);
}

/* The tunnel's idle limit follows the connection's general rule: ten
 * times its time-out, unless a process-wide limit is set. */
TEST(TunnelIdle, FollowsTheGeneralRule)
{
    struct IdleCase {
        int timeout;
        int override_seconds;
        int idle;
    };
    const IdleCase cases[] = {
        { 1, 0, 10 },
        { 30, 0, 300 },
        { 60, 0, 600 },
        { 0, 0, NET_TUNNEL_IDLE_DEFAULT },     /* no time-out in the rule */
        { 30, 3, 3 },
        { INT_MAX, 0, INT_MAX / 1000 / 10 * 10 },   /* stays a poll time */
    };
    test_runtime_init();
    CONNECTION_T *conn = connection_new();
    for (const IdleCase &c : cases) {
        SCOPED_TRACE(c.timeout);
        nettest_general(2, c.timeout, 2);
        net_tunnel_idle_seconds = c.override_seconds;
        EXPECT_EQ(c.idle, net_tunnel_idle(conn));
    }
    net_tunnel_idle_seconds = 0;
    connection_free(conn);
}

/* The pipeline refuses a CONNECT without the permission or to a port the
 * general rule does not allow, before any server is contacted, and writes
 * one record of the refusal; otherwise it opens the tunnel and writes one
 * record. */
TEST_F(Tunnel, PipelineChecksThenTunnels)
{
    struct PipelineCase {
        const char *name;
        unsigned permissions;
        const char *ports;
        const char *status_line;
        const char *log;
    };
    int origin_port = 0;
    int origin = nettest_listener(&origin_port);
    std::string port = std::to_string(origin_port);
    std::string other_port = std::to_string(origin_port == 443 ? 444 : 443);
    const PipelineCase cases[] = {
        { "no CONNECT permission", ACCESS_PROXY, "", "HTTP/1.1 404 ",
          "Blocked Security Breach: 127.0.0.1 attempted a CONNECT request" },
        { "port outside the connect ports", ACCESS_CONNECT, other_port.c_str(), "HTTP/1.1 404 ",
          "Breach: general section: denied: method: CONNECT:" },
        { "allowed", ACCESS_CONNECT, port.c_str(), "HTTP/1.1 200 Connection Established\r\n\r\n",
          "CONNECT 127.0.0.1:" },
    };
    for (const PipelineCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        connect_ports(c.ports);
        conn->permissions = c.permissions;
        size_t records = connect_records();
        nettest_send(client_peer, "CONNECT 127.0.0.1:" + port + " HTTP/1.1\r\nHost: 127.0.0.1:" + port +
                                      "\r\n\r\n");
        bool tunnel = strstr(c.status_line, "Established") != nullptr;
        auto served = std::async(std::launch::async, [&] { handle_request(conn); });
        int server = -1;
        if (tunnel) {
            struct pollfd p = { origin, POLLIN, 0 };
            ASSERT_GT(poll(&p, 1, 10000), 0);
            server = accept(origin, nullptr, nullptr);
            nettest_send(server, "hello");
            shutdown(server, SHUT_WR);
            EXPECT_EQ(std::string(c.status_line) + "hello", nettest_read(client_peer, SIZE_MAX, 10000));
            shutdown(client_peer, SHUT_WR);
        } else {
            served.wait();   /* the page is out; the worker would close */
            std::string got = nettest_read(client_peer, SIZE_MAX, 0);
            EXPECT_EQ(0u, got.find(c.status_line)) << got.substr(0, 100);
            EXPECT_NE(std::string::npos, got.find("Connection: close"));
        }
        served.get();
        EXPECT_TRUE(test_log_contains(c.log));
        EXPECT_EQ(0, conn->keepalive_client);
        EXPECT_EQ(records + 1, connect_records());
        EXPECT_EQ(tunnel ? CC_TCP_MISS : CC_TCP_DENIED, conn->logentry.cache_code);
        if (tunnel) {
            EXPECT_EQ(5, conn->logentry.size);
            close(server);
        } else {
            /* no server was contacted */
            struct pollfd p = { origin, POLLIN, 0 };
            EXPECT_EQ(0, poll(&p, 1, 0));
        }
        connection_request_done(conn);   /* what the worker does after a request */
        conn->flags = 0;
    }
    connect_ports("");
    close(origin);
}
