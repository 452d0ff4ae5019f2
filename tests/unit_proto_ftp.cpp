/*
 * The FTP gateway's reply reader over a socket pair: multi-line replies,
 * preliminary replies skipped unless asked for, and what is no reply code
 * at all.
 */
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "connection.h"
#include "proto_ftp.h"
#include "socket.h"
#include "test_support.h"

struct ReplyCase {
    const char *name;
    std::string sent;           /* then the server shuts its sending side */
    int code1, code2;
    std::vector<int> codes;     /* ftp_code_wait's results until -1 */
};

TEST(FtpReplies, CodesInOrder)
{
    test_runtime_init();
    const ReplyCase cases[] = {
        { "one line each", "220 ready\r\n331 password\r\n", 0, 0, { 220, 331 } },
        { "multi-line", "220-Welcome\r\n220-\r\n 220 not yet\r\n220 ready\r\n230 in\r\n", 0, 0, { 220, 230 } },
        { "preliminary skipped", "150 opening\r\n226 done\r\n", 0, 0, { 226 } },
        { "preliminary asked for", "150 opening\r\n226 done\r\n", 150, 125, { 150, 226 } },
        { "no code", "hello\r\n220 ready\r\n", 0, 0, { 0, 220 } },
        /* three digits that are no reply code: malformed, not code 75 */
        { "first digit 0", "075 opening\r\n", 0, 0, { 0 } },
        { "first digit 6", "631 protected\r\n", 0, 0, { 0 } },
        { "four digits", "2200 x\r\n", 0, 0, { 0 } },
    };
    for (const ReplyCase &c : cases) {
        SCOPED_TRACE(c.name);
        int fds[2];
        ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM, 0, fds));
        ASSERT_EQ((ssize_t)c.sent.size(), write(fds[1], c.sent.data(), c.sent.size()));
        shutdown(fds[1], SHUT_WR);
        CONNECTION_T *conn = connection_new();
        conn->server = new Socket(fds[0]);
        std::vector<int> got;
        for (int code; (code = ftp_code_wait(conn, c.code1, c.code2)) >= 0 && got.size() < 10;)
            got.push_back(code);
        EXPECT_EQ(c.codes, got);
        delete conn->server;
        conn->server = nullptr;
        connection_free(conn);
        close(fds[1]);
    }
}
