/*
 * The body readers and relays of the HTTP exchange, on connected loopback
 * sockets: chunked framing is checked byte by byte, a broken body is never
 * taken for a whole one, trailers are consumed so the next message starts
 * clean, and a buffer's limit holds exactly at its size.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "nettest.h"
#include "proto_http.h"
#include "protocol.h"
#include "socket.h"
#include "test_support.h"

namespace {

/* A connection whose client and server sockets each have a peer the test
 * writes to and reads from. */
struct Wired : ::testing::Test {
    CONNECTION_T *conn = nullptr;
    int client_peer = -1;
    int server_peer = -1;

    void SetUp() override
    {
        test_runtime_init();
        nettest_general(5, 5, 5);
        conn = connection_new();
        TcpPair c = nettest_pair();
        TcpPair s = nettest_pair();
        conn->client = new Socket(c.a);
        client_peer = c.b;
        conn->server = new Socket(s.a);
        server_peer = s.b;
        conn->ip = strdup("127.0.0.1");
    }

    void TearDown() override
    {
        http_header_free(conn->header);
        http_header_free(conn->rheader);
        conn->header = conn->rheader = nullptr;
        delete conn->client;
        delete conn->server;
        conn->client = conn->server = nullptr;
        connection_free(conn);
        close(client_peer);
        close(server_peer);
    }

    /* A request header announcing a chunked body. */
    void chunked_request()
    {
        conn->header = http_header_parse_request(
            "POST http://o.test/ HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n");
        ASSERT_TRUE(conn->header);
    }
};

struct ChunkCase {
    const char *line;
    int rc;
    int64_t size;
};

const ChunkCase chunk_cases[] = {
    { "1a\r\n", 2, 26 },
    { "1A;name=value\r\n", 2, 26 },
    { "0\r\n", 1, 0 },
    { "00000000000000000000001\r\n", 23, 1 },   /* leading zeros are no overflow */
    { "7fffffffffffffff\r\n", 16, INT64_MAX },
    { "8000000000000000\r\n", -1, 0 },          /* past 2^63 - 1 */
    { "10000000000000000\r\n", -1, 0 },
    { "\r\n", -1, 0 },                          /* no digits */
    { "-5\r\n", -1, 0 },                        /* negative */
    { "1g\r\n", -1, 0 },                        /* a byte after the digits */
    { "0x10\r\n", -1, 0 },
    { "a \r\n", 1, 10 },
};

} // namespace

TEST(HttpChunk, SizeLine)
{
    for (const ChunkCase &c : chunk_cases) {
        SCOPED_TRACE(c.line);
        int64_t size = -7;
        EXPECT_EQ(c.rc, http_chunk_size(c.line, c.line + strlen(c.line), &size));
        if (c.rc > 0) {
            EXPECT_EQ(c.size, size);
        }
    }
}

struct DateCase {
    int status;
    const char *response;
    const char *stored;
    int equal;
};

TEST(HttpDates, LastModifiedRevalidates)
{
    const DateCase cases[] = {
        { 200, "Thu, 01 Jan 2015 10:00:00 GMT", "Thu, 01 Jan 2015 10:00:00 GMT", 1 },
        { 200, "Thu, 01 Jan 2015 10:00:00 GMT", "Thu, 01 Jan 2015 10:00:01 GMT", 0 },
        { 304, "Thu, 01 Jan 2015 10:00:00 GMT", "Thu, 01 Jan 2015 10:00:00 GMT", 0 },
        { 206, "Thu, 01 Jan 2015 10:00:00 GMT", "Thu, 01 Jan 2015 10:00:00 GMT", 0 },
        { 200, "yesterday", "yesterday", 0 },                 /* neither parses */
        { 200, nullptr, "Thu, 01 Jan 2015 10:00:00 GMT", 0 },
        { 200, "Thu, 01 Jan 2015 10:00:00 GMT junk", "Thu, 01 Jan 2015 10:00:00 GMT", 0 },
    };
    for (const DateCase &c : cases) {
        SCOPED_TRACE(c.response ? c.response : "(none)");
        EXPECT_EQ(c.equal, http_last_modified_equal(c.status, c.response, c.stored));
    }
}

struct BodyCase {
    const char *name;
    std::string sent;        /* then the writer shuts its side */
    int64_t limit;
    int rc;
    std::string body;        /* the buffer after the read */
    std::string left;        /* what stays unread in the socket */
};

TEST_F(Wired, ChunkedRequestBodies)
{
    const BodyCase cases[] = {
        { "whole, extensions and trailers", "a;x=1\r\n0123456789\r\n5\r\nabcde\r\n0\r\nT: 1\r\nU: 2\r\n\r\nNEXT",
          100, HTTP_BODY_OK, "0123456789abcde", "NEXT" },
        { "limit exactly at the size", "3\r\nabc\r\n0\r\n\r\n", 3, HTTP_BODY_OK, "abc", "" },
        { "one byte past the limit", "4\r\nabcd\r\n0\r\n\r\n", 3, HTTP_BODY_TOO_BIG, "abcd", "" },
        { "empty body", "0\r\n\r\n", 10, HTTP_BODY_OK, "", "" },
        { "size not hexadecimal", "zz\r\nabc\r\n0\r\n\r\n", 100, HTTP_BODY_BAD, "", "" },
        { "size line missing", "", 100, HTTP_BODY_BAD, "", "" },
        { "chunk shorter than announced", "a\r\nabc", 100, HTTP_BODY_SHORT, "abc", "" },
        { "chunk longer than announced", "3\r\nabcdef\r\n0\r\n\r\n", 100, HTTP_BODY_BAD, "abc", "" },
        { "trailers never end", "0\r\nT: 1\r\n", 100, HTTP_BODY_BAD, "", "" },
    };
    for (const BodyCase &c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        chunked_request();
        nettest_send(client_peer, c.sent);
        shutdown(client_peer, SHUT_WR);
        int rc = -1;
        std::unique_ptr<Filebuf> body(http_transfer_filebuf(conn, SIDE_CLIENT, c.limit, &rc));
        ASSERT_TRUE(body);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.body, std::string(body->data ? body->data : "", (size_t)body->size));
        EXPECT_EQ(c.rc == HTTP_BODY_OK || c.rc == HTTP_BODY_TOO_BIG ? 0u : (unsigned)CONN_TRANSFER_FAILED,
                  conn->flags & CONN_TRANSFER_FAILED);
        if (c.rc == HTTP_BODY_OK) {
            EXPECT_EQ(c.left, std::string(conn->client->read_buffer ? conn->client->read_buffer : "",
                                          (size_t)conn->client->read_length));
        }
    }
}

TEST_F(Wired, LengthBodyStopsAtItsLength)
{
    conn->header = http_header_parse_request(
        "POST http://o.test/ HTTP/1.1\r\nContent-Length: 5\r\n\r\n");
    ASSERT_TRUE(conn->header);
    nettest_send(client_peer, "helloGET / HTTP/1.1\r\n");
    int rc = -1;
    std::unique_ptr<Filebuf> body(http_transfer_filebuf(conn, SIDE_CLIENT, 5, &rc));
    EXPECT_EQ(HTTP_BODY_OK, rc);
    EXPECT_EQ("hello", std::string(body->data, (size_t)body->size));
    /* the next request stays in the socket */
    EXPECT_EQ("GET / HTTP/1.1\r\n", std::string(conn->client->read_buffer,
                                                 (size_t)conn->client->read_length));

    /* a client that stops half-way fails the read */
    TearDown();
    SetUp();
    conn->header = http_header_parse_request(
        "POST http://o.test/ HTTP/1.1\r\nContent-Length: 10\r\n\r\n");
    nettest_send(client_peer, "hell");
    shutdown(client_peer, SHUT_WR);
    body.reset(http_transfer_filebuf(conn, SIDE_CLIENT, 10, &rc));
    EXPECT_EQ(HTTP_BODY_SHORT, rc);
    EXPECT_TRUE(conn->flags & CONN_TRANSFER_FAILED);
}

TEST_F(Wired, ChunkedResponseIsReframed)
{
    conn->header = http_header_parse_request("GET http://o.test/ HTTP/1.1\r\n\r\n");
    conn->rheader = http_header_parse_response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
    ASSERT_TRUE(conn->rheader);
    nettest_send(server_peer, "a;ext=1\r\n0123456789\r\n5\r\nabcde\r\n0\r\nX-T: t\r\n\r\nREST");
    EXPECT_EQ(HTTP_BODY_OK, http_transfer(conn, SIDE_SERVER));
    std::string expected = "a\r\n0123456789\r\n5\r\nabcde\r\n0\r\n\r\n";
    EXPECT_EQ(expected, nettest_read(client_peer, expected.size(), 2000));
    EXPECT_EQ(15, conn->download_bytes);   /* body bytes only, no framing */
    EXPECT_EQ("REST", std::string(conn->server->read_buffer, (size_t)conn->server->read_length));
    EXPECT_FALSE(conn->flags & CONN_TRANSFER_FAILED);
    EXPECT_TRUE(conn->server->callbacks.empty());   /* the observer is gone */
}

TEST_F(Wired, BrokenChunkedResponseFails)
{
    const char *cases[] = { "zz\r\n", "3\r\nabcdef\r\n0\r\n\r\n", "5\r\nab" };
    for (const char *bytes : cases) {
        SCOPED_TRACE(bytes);
        TearDown();
        SetUp();
        conn->header = http_header_parse_request("GET http://o.test/ HTTP/1.1\r\n\r\n");
        conn->rheader = http_header_parse_response("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        nettest_send(server_peer, bytes);
        shutdown(server_peer, SHUT_WR);
        EXPECT_NE(HTTP_BODY_OK, http_transfer(conn, SIDE_SERVER));
        EXPECT_TRUE(conn->flags & CONN_TRANSFER_FAILED);
        /* the client never got the last chunk */
        std::string got = nettest_read(client_peer, SIZE_MAX, 200);
        EXPECT_EQ(std::string::npos, got.find("0\r\n\r\n"));
    }
}

TEST(HttpReadCallback, AllowanceEndsTheTransfer)
{
    test_runtime_init();
    std::unique_ptr<CONNECTION_T, void (*)(CONNECTION_T *)> conn(connection_new(), connection_free);
    /* no allowance: never runs out */
    EXPECT_EQ(0, protocol_http_read_callback(conn.get(), 1 << 30, "x"));
    EXPECT_EQ(ALLOWANCE_UNLIMITED, conn->download_left);

    /* an allowance of exactly the body's length lets it arrive whole */
    conn->download_bytes = 0;
    conn->download_left = 10;
    EXPECT_EQ(0, protocol_http_read_callback(conn.get(), 4, "abcd"));
    EXPECT_EQ(6, conn->download_left);
    EXPECT_EQ(0, protocol_http_read_callback(conn.get(), 6, "efghij"));
    EXPECT_EQ(0, conn->download_left);
    EXPECT_EQ(10, conn->download_bytes);
    EXPECT_FALSE(conn->flags & (CONN_TRANSFER_FAILED | CONN_LIMIT_CUT));

    /* only a block going past it cuts the transfer */
    EXPECT_EQ(-1, protocol_http_read_callback(conn.get(), 1, "k"));
    EXPECT_EQ(0, conn->download_left);
    EXPECT_TRUE(conn->flags & CONN_TRANSFER_FAILED);
    EXPECT_TRUE(conn->flags & CONN_LIMIT_CUT);
    conn->flags = 0;
    conn->download_left = 5;
    EXPECT_EQ(-1, protocol_http_read_callback(conn.get(), 6, "abcdef"));
    EXPECT_TRUE(conn->flags & CONN_LIMIT_CUT);

    /* allowances are 64-bit: 5 GiB left after 1 GiB */
    conn->flags = 0;
    conn->download_left = (int64_t)6 << 30;
    EXPECT_EQ(0, protocol_http_read_callback(conn.get(), (int64_t)1 << 30, "x"));
    EXPECT_EQ((int64_t)5 << 30, conn->download_left);
}
