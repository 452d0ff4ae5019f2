/* The route test against a real upstream proxy: the request goes through
 * tinyproxy back to a listener of ours and comes back as tinyproxy
 * forwarded it. */
#include <gtest/gtest.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <string>

#include "connection.h"
#include "fetch.h"
#include "header.h"
#include "network.h"
#include "nettest.h"
#include "socket.h"
#include "test_support.h"

namespace {

/* A connection record whose server socket is connected to port, with an
 * absolute GET request carrying one header line. */
CONNECTION_T *fetch_route(int port)
{
    CONNECTION_T *conn = connection_new();
    int fd = net_connect("127.0.0.1", port, 2);
    conn->server = fd >= 0 ? new Socket(fd) : nullptr;
    conn->forward_type = FORWARD_HTTP;
    HEADER *h = header_new();
    h->type = HEADER_ABSOLUTE;
    h->version = 2;
    header_field_set(&h->method, "GET");
    header_field_set(&h->protocol, "http");
    header_field_set(&h->host, "origin.example");
    h->port = 80;
    header_field_set(&h->path, "/page");
    header_field_set(&h->user_agent, "route-test-agent");
    header_complete(h);
    conn->header = h;
    return conn;
}

} // namespace

TEST(ProxyTest, CapturesTheRequestAsTinyproxyForwardsIt)
{
    std::string tinyproxy = nettest_which("tinyproxy");
    if (tinyproxy.empty())
        GTEST_SKIP() << "needs tinyproxy";
    std::string dir = test_temp_dir();
    chmod(dir.c_str(), 0777);
    int port = nettest_free_port();
    {
        std::ofstream conf(dir + "/tinyproxy.conf");
        conf << "Port " << port << "\nListen 127.0.0.1\nTimeout 30\nMaxClients 20\n"
             << "LogLevel Info\n";
        if (geteuid() == 0)
            conf << "User nobody\nGroup nogroup\n";
    }
    NetChild proxy;
    ASSERT_TRUE(proxy.start({ tinyproxy, "-d", "-c", dir + "/tinyproxy.conf" }));
    ASSERT_TRUE(nettest_port_ready(port));

    CONNECTION_T *conn = fetch_route(port);
    ASSERT_NE(nullptr, conn->server);
    proxy_test(conn);
    ASSERT_NE(nullptr, conn->rheader);
    const HEADER *captured = conn->rheader;
    EXPECT_STREQ("GET", captured->method);
    EXPECT_STREQ("/", captured->path);
    ASSERT_NE(nullptr, captured->user_agent);
    EXPECT_STREQ("route-test-agent", captured->user_agent);
    bool via = false;
    for (const HTTP_HEADER &line : captured->headers)
        via = via || (strcasecmp(line.name.c_str(), "Via") == 0 &&
                      line.value.find("tinyproxy") != std::string::npos);
    if (!via && captured->via)
        via = strstr(captured->via, "tinyproxy") != nullptr;
    EXPECT_TRUE(via) << "tinyproxy's Via line";
    EXPECT_EQ(0, conn->keepalive_server);
    fetch_conn_free(conn);
}
