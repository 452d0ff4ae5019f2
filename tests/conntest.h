#pragma once

/* A connection on a socket pair, for the tests of everything that answers a
 * client: the proxy's side is conn->client, the test reads from peer. */

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "mem.h"
#include "socket.h"
#include "urlcommand.h"

/* A connection whose client is one end of a socket pair; the test reads
 * what the proxy sent from the other end, peer. The client's address is
 * 10.1.2.3 and it is kept alive. The destructor frees the request header,
 * response header, URL commands and body the test left on it, then the
 * connection. */
class SocketPairClient {
public:
    /* With request, that request block is parsed into conn->header. */
    explicit SocketPairClient(const std::string &request_text = "")
    {
        int fds[2];
        EXPECT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        conn = connection_new();
        conn->client = new Socket(fds[0]);
        conn->ip = xstrdup("10.1.2.3");
        conn->keepalive_client = 1;
        peer = fds[1];
        if (!request_text.empty())
            request(request_text);
    }
    virtual ~SocketPairClient()
    {
        url_command_free(conn->urlcommands);
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        delete conn->body;
        delete conn->client;
        connection_free(conn);
        close(peer);
    }
    SocketPairClient(const SocketPairClient &) = delete;
    SocketPairClient &operator=(const SocketPairClient &) = delete;

    /* Parses a request block into conn->header, replacing any; false (and
     * a test failure) when it does not parse. */
    bool request(const std::string &text)
    {
        http_header_free(conn->header);
        int result = 0;
        conn->header = http_header_parse_request(text.c_str(), &result);
        EXPECT_NE(nullptr, conn->header) << text << " result " << result;
        return conn->header != nullptr;
    }

    /* Everything sent to the client so far, without waiting. */
    std::string received()
    {
        std::string out;
        char buf[8192];
        for (;;) {
            struct pollfd p = { peer, POLLIN, 0 };
            if (poll(&p, 1, 0) <= 0)
                break;
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, (size_t)n);
        }
        return out;
    }

    /* Reads until the proxy side closes its end or count bytes arrived. */
    std::string read_all(size_t count)
    {
        std::string out;
        char buf[65536];
        while (out.size() < count) {
            ssize_t n = read(peer, buf, sizeof buf);
            if (n <= 0)
                break;
            out.append(buf, (size_t)n);
        }
        return out;
    }

    CONNECTION_T *conn;
    int peer;
};
