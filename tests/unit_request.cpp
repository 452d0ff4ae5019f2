/*
 * The request pipeline and the shared protocol layer: keep-alive decisions,
 * the download-limit check, the registry, command labels in a proxy URL,
 * the redaction of credentials in the debug dump, the loop guard, and whole
 * requests through handle_request against a scripted origin on loopback.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "cache.h"
#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "nettest.h"
#include "network.h"
#include "proto_http.h"
#include "protocol.h"
#include "request.h"
#include "serverpool.h"
#include "socket.h"
#include "templates.h"
#include "test_support.h"
#include "urlcommand.h"

namespace {

using HeaderPtr = std::unique_ptr<HEADER, void (*)(HEADER *)>;

HeaderPtr request(const char *text)
{
    return HeaderPtr(http_header_parse_request(text), http_header_free);
}

HeaderPtr response(const char *text)
{
    return HeaderPtr(http_header_parse_response(text), http_header_free);
}

void sections()
{
    test_runtime_init();
    nettest_general(5, 5, 5);
    if (!template_section)
        template_section = new TemplateSection();
    if (!global->serverpool)
        global->serverpool = new ServerPool();
}

/* Sets the upload buffer of the one general rule. */
void upload_buffer(int64_t bytes)
{
    SectionWriteGuard guard(*general_section);
    general_section->subsections[0].items.back().fields[7].llvalue = (uint64_t)bytes;
    general_section->update();
}

/* An origin on loopback that answers every request on its connections with
 * reply, counting connections and requests. */
struct Origin {
    int listener = -1;
    int port = 0;
    std::string reply;
    std::atomic<int> connections{ 0 };
    std::atomic<int> requests{ 0 };
    std::atomic<int> current{ -1 };   /* the connection being served */
    std::thread thread;
    std::string last_request;

    explicit Origin(std::string r) : reply(std::move(r))
    {
        listener = nettest_listener(&port);
        thread = std::thread([this] { run(); });
    }

    void run()
    {
        for (;;) {
            int fd = accept(listener, nullptr, nullptr);
            if (fd < 0)
                return;
            connections++;
            current = fd;
            std::string pending;
            for (;;) {
                size_t end;
                while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
                    struct pollfd p = { fd, POLLIN, 0 };
                    char buf[65536];
                    ssize_t n = poll(&p, 1, 5000) > 0 ? recv(fd, buf, sizeof buf, 0) : 0;
                    if (n <= 0)
                        break;
                    pending.append(buf, (size_t)n);
                }
                if (end == std::string::npos)
                    break;
                last_request = pending.substr(0, end + 4);
                pending.erase(0, end + 4);
                requests++;
                nettest_send(fd, reply);
            }
            current = -1;
            close(fd);
        }
    }

    ~Origin()
    {
        shutdown(listener, SHUT_RDWR);
        int fd = current;
        if (fd >= 0)
            shutdown(fd, SHUT_RDWR);
        close(listener);
        thread.join();
    }
};

/* A client connection with a peer the test speaks through. */
struct Client {
    CONNECTION_T *conn;
    int peer;

    Client()
    {
        conn = connection_new();
        TcpPair p = nettest_pair();
        conn->client = new Socket(p.a);
        peer = p.b;
        conn->ip = strdup("127.0.0.1");
        conn->interface = strdup("127.0.0.1");
        conn->port = 3128;
        conn->slot = 0;
    }

    /* What the worker does after a request. */
    void done()
    {
        connection_request_done(conn);
        conn->flags = 0;
        conn->requests++;
    }

    ~Client()
    {
        done();
        delete conn->client;
        connection_free(conn);
        close(peer);
    }

    void serve(const std::string &bytes, unsigned permissions = ACCESS_PROXY | ACCESS_COMMANDS)
    {
        nettest_send(peer, bytes);
        conn->permissions = permissions;
        handle_request(conn);
    }
};

} // namespace

struct KeepCase {
    const char *request;
    int wanted;
};

TEST(Keepalive, Client)
{
    const KeepCase cases[] = {
        { "GET http://a/ HTTP/1.1\r\n\r\n", 1 },
        { "GET http://a/ HTTP/1.1\r\nConnection: close\r\n\r\n", 0 },
        { "GET http://a/ HTTP/1.0\r\n\r\n", 0 },
        { "GET http://a/ HTTP/1.0\r\nProxy-Connection: keep-alive\r\n\r\n", 1 },
        { "GET http://a/ HTTP/1.1\r\nProxy-Connection: close\r\n\r\n", 0 },
        { "CONNECT a:443 HTTP/1.1\r\n\r\n", 0 },
    };
    for (const KeepCase &c : cases) {
        SCOPED_TRACE(c.request);
        HeaderPtr h = request(c.request);
        ASSERT_TRUE(h);
        EXPECT_EQ(c.wanted, keepalive_wanted(h.get()));
    }
}

struct ServerKeepCase {
    const char *response;
    bool head;
    int keep_server;
    int keep_client;   /* the client's after the check, starting from 1 */
};

TEST(Keepalive, Server)
{
    const ServerKeepCase cases[] = {
        { "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n", false, 1, 1 },
        { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false, 1, 1 },
        { "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\n", false, 0, 1 },
        { "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\n", false, 0, 1 },
        { "HTTP/1.0 200 OK\r\nContent-Length: 2\r\nConnection: keep-alive\r\n\r\n", false, 1, 1 },
        { "HTTP/1.1 200 OK\r\n\r\n", false, 0, 0 },          /* ends at the close */
        { "HTTP/1.1 204 No Content\r\n\r\n", false, 1, 1 },  /* no body: nothing to close for */
        { "HTTP/1.1 304 Not Modified\r\n\r\n", false, 1, 1 },
        { "HTTP/1.1 200 OK\r\n\r\n", true, 1, 1 },           /* the answer to a HEAD */
    };
    test_runtime_init();
    for (const ServerKeepCase &c : cases) {
        SCOPED_TRACE(c.response);
        std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
        HeaderPtr r = response(c.response);
        ASSERT_TRUE(r);
        conn->rheader = r.get();
        conn->keepalive_client = 1;
        if (c.head)
            conn->flags |= CONN_HEAD;
        keepalive_check_server(conn.get());
        EXPECT_EQ(c.keep_server, conn->keepalive_server);
        EXPECT_EQ(c.keep_client, conn->keepalive_client);
        conn->rheader = nullptr;
    }
}

TEST(Protocol, TransferLimitAtAndPastTheAllowance)
{
    sections();
    Client client;
    HeaderPtr r = response("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    client.conn->rheader = r.get();
    client.conn->download_left = 100;
    EXPECT_EQ(1, transfer_limit_check(client.conn));
    client.conn->download_left = 99;
    EXPECT_EQ(0, transfer_limit_check(client.conn));
    EXPECT_TRUE(test_log_contains("limits: transfer would exceed transfer limit"));
    EXPECT_NE(std::string::npos, nettest_read(client.peer, SIZE_MAX, 500).find("HTTP/1.1 200"));
    client.conn->download_left = ALLOWANCE_UNLIMITED;
    EXPECT_EQ(1, transfer_limit_check(client.conn));
    client.conn->rheader = nullptr;
}

static int protocol_test_handler(CONNECTION_T *)
{
    return 7;
}

TEST(Protocol, RegistryIsExact)
{
    Protocols registry;
    EXPECT_EQ(-1, registry.Execute("gopher", nullptr));
    registry.Add("gopher", protocol_test_handler);
    EXPECT_EQ(7, registry.Execute("gopher", nullptr));
    EXPECT_EQ(-1, registry.Execute("Gopher", nullptr));
    EXPECT_EQ(-1, registry.Execute("gophe", nullptr));
}

struct LabelCase {
    const char *target;
    bool parses;
    const char *host;   /* after the commands came off */
    const char *command;
    const char *options;
};

TEST(Request, CommandLabelsInTheHost)
{
    const LabelCase cases[] = {
        { "http://xx--bypass[+k-a].example.org/", true, "example.org", "bypass", "+k-a" },
        { "http://XX--Template[NoFile].xx--fresh.example.org:81/", true, "example.org", "template", "nofile" },
        { "http://xx--bypass[+k-a].exa[mple.org/", false, nullptr, nullptr, nullptr },
        { "http://xx--bad%00.example.org/", false, nullptr, nullptr, nullptr },
        { "http://xx--a%20b.example.org/", false, nullptr, nullptr, nullptr },
        { "http://exa+mple.org/", false, nullptr, nullptr, nullptr },
        { "http://example.org/", true, "example.org", nullptr, nullptr },
    };
    test_runtime_init();
    for (const LabelCase &c : cases) {
        SCOPED_TRACE(c.target);
        std::string text = std::string("GET ") + c.target + " HTTP/1.1\r\n\r\n";
        std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
        conn->header = http_header_parse_request(text.c_str());
        EXPECT_EQ(c.parses, conn->header != nullptr);
        if (!conn->header)
            continue;
        EXPECT_EQ(1, url_command_extract(conn.get()));
        EXPECT_STREQ(c.host, conn->header->host);
        const url_command_t *command = c.command ? url_command_find(conn->urlcommands, c.command) : nullptr;
        if (c.command) {
            ASSERT_TRUE(command);
            EXPECT_STREQ(c.options, command->options);
        }
        url_command_free(conn->urlcommands);
        conn->urlcommands = nullptr;
        http_header_free(conn->header);
        conn->header = nullptr;
    }
}

struct RedactCase {
    const char *in;
    const char *out;
};

TEST(Request, DebugDumpRedactsCredentials)
{
    const RedactCase cases[] = {
        { "GET / HTTP/1.1\r\nAuthorization: Basic YTpi\r\n\r\n",
          "GET / HTTP/1.1\r\nAuthorization: [redacted]\r\n\r\n" },
        { "GET / HTTP/1.1\r\nproxy-authorization: Basic YTpi\r\nX: y\r\n\r\n",
          "GET / HTTP/1.1\r\nproxy-authorization: [redacted]\r\nX: y\r\n\r\n" },
        { "GET / HTTP/1.1\r\nCookie: a=1; login=tok%20en; b=2\r\n\r\n",
          "GET / HTTP/1.1\r\nCookie: a=1; login=[redacted]; b=2\r\n\r\n" },
        { "GET / HTTP/1.1\r\nCookie: LOGIN = x\r\n\r\n",
          "GET / HTTP/1.1\r\nCookie: LOGIN =[redacted]\r\n\r\n" },
        { "GET / HTTP/1.1\r\nCookie: relogin=x\r\nX-Auth: keep\r\n\r\n",
          "GET / HTTP/1.1\r\nCookie: relogin=x\r\nX-Auth: keep\r\n\r\n" },
    };
    for (const RedactCase &c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(c.out, request_header_redact(c.in));
    }
}

struct LoopCase {
    const char *host;
    int port;
    bool proxy;
};

TEST(Request, ProxyAddressesItself)
{
    const LoopCase cases[] = {
        { "127.0.0.1", 3128, true },
        { "127.9.9.9", 3128, true },
        { "localhost", 3128, true },
        { "LocalHost", 3128, true },
        { "10.1.2.3", 3128, false },     /* no address of this machine */
        { "127.0.0.1", 3129, false },    /* another port */
        { "example.org", 3128, false },
        { "0.0.0.0", 3128, true },
    };
    test_runtime_init();
    std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
    conn->port = 3128;
    conn->interface = strdup("10.1.2.4");
    for (const LoopCase &c : cases) {
        SCOPED_TRACE(c.host);
        EXPECT_EQ(c.proxy, net_addresses_proxy(conn.get(), c.host, c.port));
    }
    EXPECT_TRUE(net_addresses_proxy(conn.get(), "10.1.2.4", 3128));
}

TEST(Pipeline, ExchangeKeepsBothSides)
{
    sections();
    Origin origin("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Type: text/plain\r\n\r\nhello");
    Client client;
    std::string url = "http://127.0.0.1:" + std::to_string(origin.port) + "/a";
    std::string req = "GET " + url + " HTTP/1.1\r\nHost: x\r\nAccept-Encoding: gzip\r\n\r\n";

    client.serve(req);
    std::string got = nettest_read(client.peer, SIZE_MAX, 300);
    EXPECT_EQ(0u, got.find("HTTP/1.1 200 OK\r\n")) << got;
    EXPECT_NE(std::string::npos, got.find("Connection: keep-alive\r\n"));
    EXPECT_EQ("hello", got.substr(got.size() - 5));
    EXPECT_EQ(1, client.conn->keepalive_client);
    EXPECT_EQ(1, client.conn->keepalive_server);
    /* the server got no Accept-Encoding (compressin is off) and a Via */
    EXPECT_EQ(std::string::npos, origin.last_request.find("Accept-Encoding"));
    EXPECT_NE(std::string::npos, origin.last_request.find("GET /a HTTP/1.1\r\n"));
    EXPECT_EQ(nullptr, client.conn->urlcommands);
    client.done();

    /* the second request takes the pooled connection */
    client.serve(req);
    got = nettest_read(client.peer, SIZE_MAX, 300);
    EXPECT_NE(std::string::npos, got.find("hello"));
    EXPECT_TRUE(client.conn->flags & CONN_SERVER_REUSED);
    EXPECT_EQ(1, origin.connections.load());
    EXPECT_EQ(2, origin.requests.load());
}

struct RefusalCase {
    const char *name;
    std::string request;
    unsigned permissions;
    const char *status_line;
    int keepalive;
    const char *log;
};

TEST(Pipeline, Refusals)
{
    sections();
    int dead = nettest_free_port();
    std::string closed_url = "http://127.0.0.1:" + std::to_string(dead) + "/";
    const RefusalCase cases[] = {
        { "ambiguous framing", "POST http://a.test/ HTTP/1.1\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabc",
          ACCESS_PROXY, "HTTP/1.1 400 ", 0, "ambiguous message framing" },
        { "no permission", "GET http://a.test/ HTTP/1.1\r\n\r\n", ACCESS_TRANSPARENT, "HTTP/1.1 404 ", 0,
          "attempted an unacceptable protocol" },
        { "the proxy itself", "GET http://127.0.0.1:3128/ HTTP/1.1\r\n\r\n", ACCESS_PROXY, "HTTP/1.1 404 ", 0,
          "request for the proxy itself:3128" },
        { "transparent loop", "GET / HTTP/1.1\r\nHost: a.test:3128\r\n\r\n",
          ACCESS_TRANSPARENT | ACCESS_HOST, "HTTP/1.1 404 ", 0, "Breach: denied: transparent:3128" },
        { "Host port out of range", "GET / HTTP/1.1\r\nHost: a.test:65536\r\n\r\n",
          ACCESS_TRANSPARENT | ACCESS_HOST, "HTTP/1.1 404 ", 0, "malformatted request header" },
        { "no server", "GET " + closed_url + " HTTP/1.1\r\n\r\n", ACCESS_PROXY, "HTTP/1.1 503 ", 1,
          "network: connection failed host: 127.0.0.1" },
        { "template command", "GET http://xx--template.a.test/ HTTP/1.1\r\n\r\n",
          ACCESS_PROXY | ACCESS_COMMANDS, "HTTP/1.1 200 ", 1, "sent unknown" },
        { "CONNECT without permission", "CONNECT a.test:443 HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "attempted a CONNECT request" },
        { "NUL in the head", std::string("GET http://a.test/ HTTP/1.1\r\nX-A: a\0b\r\n\r\n", 41),
          ACCESS_PROXY, "HTTP/1.1 400 ", 0, "[IP:127.0.0.1] request header holds a NUL byte, refused" },
        { "head over the limits",
          "GET http://a.test/ HTTP/1.1\r\nX-A: " + std::string(HEADER_BLOCK_MAX, 'a') + "\r\n\r\n",
          ACCESS_PROXY, "HTTP/1.1 400 ", 0, "[IP:127.0.0.1] request header over 65536 bytes" },
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        test_log_clear();
        Client client;
        client.serve(c.request, c.permissions);
        std::string got = nettest_read(client.peer, SIZE_MAX, 300);
        EXPECT_EQ(0u, got.find(c.status_line)) << got.substr(0, 200);
        EXPECT_EQ(c.keepalive, client.conn->keepalive_client);
        EXPECT_NE(std::string::npos, got.find(c.keepalive ? "Connection: keep-alive" : "Connection: close"));
        EXPECT_TRUE(test_log_contains(c.log));
        /* the head came whole: no time-out is claimed */
        EXPECT_FALSE(test_log_contains("timeout waiting for header"));
    }
}

/* Requests that would come back to the proxy: for one of its listeners
 * in any spelling, opened by a CONNECT, or carrying its own Via entry. The
 * client came in on port 3128; the proxy also listens on 127.0.0.1 and on
 * every address, each on a port of its own. */
TEST(Pipeline, LoopsNeverLeave)
{
    sections();
    int one = nettest_free_port();
    int every = nettest_free_port();
    ASSERT_GE(net_listen(one, "127.0.0.1"), 0);
    ASSERT_GE(net_listen(every, nullptr), 0);
    const std::string p1 = std::to_string(one), pe = std::to_string(every);
    std::string dead = std::to_string(nettest_free_port());
    const RefusalCase cases[] = {
        { "dotted", "GET http://127.0.0.1:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "one number", "GET http://2130706433:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "short form", "GET http://127.1:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "hexadecimal", "GET http://0x7f.0.0.1:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "name", "GET http://localhost:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "any address of a wildcard listener", "GET http://127.0.0.2:" + pe + "/ HTTP/1.1\r\n\r\n",
          ACCESS_PROXY, "HTTP/1.1 404 ", 0, "request for the proxy itself" },
        { "another address than the listener's",
          "GET http://127.0.0.2:" + p1 + "/ HTTP/1.1\r\n\r\n", ACCESS_PROXY, "HTTP/1.1 503 ", 1,
          "network: connection failed host: 127.0.0.2" },
        { "transparent", "GET / HTTP/1.1\r\nHost: 127.1:" + p1 + "\r\n\r\n",
          ACCESS_TRANSPARENT | ACCESS_HOST, "HTTP/1.1 404 ", 0, "Breach: denied: transparent" },
        { "tunnel", "CONNECT 127.1:" + p1 + " HTTP/1.1\r\n\r\n", ACCESS_CONNECT, "HTTP/1.1 403 ", 0,
          "[IP:127.0.0.1] Forwarding loop detected" },
        { "interface without permission",
          "GET http://2130706433:" + p1 + "/quill.invalid/stats HTTP/1.1\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 403 ", 1, "web interface request refused: no interface permission" },
        { "interface with permission",
          "GET http://127.0.0.1:" + p1 + "/quill.invalid/stats HTTP/1.1\r\n\r\n", ACCESS_INTERFACE,
          "HTTP/1.1 200 ", 1, "request for web interface from 127.0.0.1" },
        { "own Via", "GET http://127.0.0.1:" + dead + "/ HTTP/1.1\r\nVia: 1.1 a.test, 127.0.0.1:" + p1 +
          " (Quillmere 0.1.0)\r\n\r\n", ACCESS_PROXY, "HTTP/1.1 403 ", 0,
          "[IP:127.0.0.1] Forwarding loop detected" },
        { "own Via with a protocol, wildcard",
          "GET http://127.0.0.1:" + dead + "/ HTTP/1.1\r\nVia: 1.1 10.9.9.9:1 (other), 1.1 127.0.0.1:" +
          pe + " (Quillmere 0.1.0)\r\n\r\n", ACCESS_PROXY, "HTTP/1.1 403 ", 0,
          "[IP:127.0.0.1] Forwarding loop detected" },
        { "another proxy's Via", "GET http://127.0.0.1:" + dead + "/ HTTP/1.1\r\nVia: 127.0.0.1:" +
          dead + " (Quillmere 0.1.0), 127.0.0.1:" + p1 + " (other)\r\n\r\n", ACCESS_PROXY,
          "HTTP/1.1 503 ", 1, "network: connection failed host: 127.0.0.1" },
    };
    for (const RefusalCase &c : cases) {
        SCOPED_TRACE(c.name);
        test_log_clear();
        Client client;
        client.serve(c.request, c.permissions);
        std::string got = nettest_read(client.peer, SIZE_MAX, 300);
        EXPECT_EQ(0u, got.find(c.status_line)) << got.substr(0, 200);
        EXPECT_EQ(c.keepalive, client.conn->keepalive_client);
        EXPECT_TRUE(test_log_contains(c.log));
    }
    net_listen_closeall();
}

TEST(Pipeline, StreamedUploadAnsweredBeforeItsBodyCloses)
{
    sections();
    upload_buffer(4);
    Client client;
    /* the command answers before any step needs the body: it is never
     * read, and the answer must not keep the connection */
    client.serve("POST http://xx--template[nofile].a.test/ HTTP/1.1\r\nContent-Length: 10\r\n\r\n",
                 ACCESS_PROXY | ACCESS_COMMANDS);
    std::string got = nettest_read(client.peer, SIZE_MAX, 300);
    EXPECT_EQ(0u, got.find("HTTP/1.1 200 "));
    EXPECT_NE(std::string::npos, got.find("Connection: close"));
    EXPECT_EQ(0, client.conn->keepalive_client);
    EXPECT_FALSE(client.conn->flags & (CONN_DIRECT_POST | CONN_BODY_PENDING));
    EXPECT_TRUE(!client.conn->body || client.conn->body->size == 0);
    upload_buffer(1 << 20);
}

TEST(Pipeline, KeptAliveConnectionTimesOutQuietly)
{
    sections();
    Client client;
    client.conn->requests = 3;   /* not the first request */
    test_log_clear();
    shutdown(client.peer, SHUT_WR);
    handle_request(client.conn);
    EXPECT_EQ(0, client.conn->keepalive_client);
    EXPECT_FALSE(test_log_contains("timeout waiting for header"));
}
