/* Fuzz target of what the proxy's helper daemons and upstreams answer:
 * the virus scanners' reply lines and XML document, the rating DNS answers
 * and score records, ICAP replies (the Encapsulated value and whole replies
 * from an ICAP server on loopback) and SOCKS upstreams' replies. The first
 * byte of an input chooses the parser; the rest is the peer's bytes.
 *
 * Properties: a reply line is never longer than its limit and the lines
 * read are the daemon's bytes in order; a virus name is printable and no
 * longer than its limit; ratings stay within what DNS can carry, a score
 * record writes and reads back the same; Encapsulated offsets are digits
 * of the value; an applied ICAP reply gives a message whose body is no
 * longer than the reply and whose header serialises to one clean block; a
 * granted SOCKS connection leaves exactly the bytes after the replies. */
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "clamav.h"
#include "connection.h"
#include "filebuf.h"
#include "fprot.h"
#include "header.h"
#include "icap.h"
#include "kaspersky.h"
#include "nettest.h"
#include "scanner.h"
#include "socket.h"
#include "socks.h"
#include "sophie.h"
#include "tavrin.h"
#include "fuzztest.h"
#include "test_support.h"

enum {
    FUZZ_LINES, FUZZ_FPROT, FUZZ_DNS, FUZZ_RECORD, FUZZ_ENCAPSULATED, FUZZ_RESPMOD, FUZZ_REQMOD,
    FUZZ_SOCKS4, FUZZ_SOCKS5, FUZZ_KINDS
};

static void fuzz_printable(const std::string &name, size_t max)
{
    fuzz_check(name.size() <= max);
    for (unsigned char c : name)
        fuzz_check(c >= 32 && c != 127);
}

/* Reply lines through ScannerReader, judged by every line parser. */
static void fuzz_lines(const std::string &sent, size_t max)
{
    int fds[2];
    fuzz_pair(fds);
    fuzz_send_all(fds[1], sent);
    shutdown(fds[1], SHUT_WR);
    fuzz_check(fcntl(fds[0], F_SETFL, O_NONBLOCK) == 0);
    ScannerReader reader(fds[0], 5);
    std::string again;
    size_t lines = 0;
    for (;;) {
        std::string line;
        int rc = reader.line(&line, max);
        if (rc <= 0)
            break;
        fuzz_check(++lines <= sent.size());
        /* A line holds at most max bytes, and no LF. */
        fuzz_check(line.size() <= max && line.find('\n') == std::string::npos);
        for (char c : line)
            if (c != '\r')
                again += c;

        std::string name;
        int verdict = clamav_reply_parse(line, &name);
        fuzz_check(verdict >= CLAMAV_REPLY_CLEAN && verdict <= CLAMAV_REPLY_ERROR);
        if (verdict == CLAMAV_REPLY_FOUND)
            fuzz_check(!name.empty() && line.find(name) != std::string::npos &&
                       name.find(' ') == std::string::npos);
        name.clear();
        verdict = kaspersky_reply_parse(line, &name);
        fuzz_check(verdict >= KASPERSKY_READ_ON && verdict <= KASPERSKY_UNKNOWN);
        fuzz_printable(name, SCANNER_NAME_MAX);
        for (const char *mark : { "-1", "-" }) {
            name.clear();
            verdict = sophie_reply_parse(line, mark, &name);
            fuzz_check(verdict >= SOPHIE_CLEAN && verdict <= SOPHIE_ERROR);
            fuzz_printable(name, SCANNER_NAME_MAX);
        }
    }
    /* The lines are the daemon's bytes in order, less line ends. */
    std::string plain;
    for (char c : sent)
        if (c != '\r' && c != '\n')
            plain += c;
    fuzz_check(plain.compare(0, again.size(), again) == 0);
    close(fds[0]);
    close(fds[1]);
}

/* One ICAP exchange with a server on loopback that answers reply. */
static int icap_listener = -1;
static int icap_port = 0;

static void fuzz_icap(const std::string &reply, int mode)
{
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.0.0.1");
    conn->header = http_header_parse_request("POST http://o.test/p HTTP/1.1\r\nContent-Length: 4\r\n\r\n");
    conn->rheader = http_header_parse_response("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n");
    fuzz_check(conn->header && conn->rheader);
    Filebuf body;
    fuzz_check(body.Add("BODY", 4) == FILEBUF_OK);

    std::atomic<bool> done{ false };
    std::thread server([&] {
        /* The exchange may end before it connects: then nobody comes. */
        struct pollfd l = { icap_listener, POLLIN, 0 };
        while (!done && poll(&l, 1, 20) == 0) {
        }
        if (done && !(l.revents & POLLIN))
            return;
        int fd = accept(icap_listener, nullptr, nullptr);
        if (fd < 0)
            return;
        size_t sent = 0;
        while (sent < reply.size()) {
            ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += (size_t)n;
        }
        shutdown(fd, SHUT_WR);
        char area[65536];
        struct pollfd p = { fd, POLLIN, 0 };
        while (poll(&p, 1, 10000) > 0 && read(fd, area, sizeof area) > 0) {
        }
        close(fd);
    });
    int rc = icap_section->protocol_icap(conn, &body, mode, "127.0.0.1", "/svc", icap_port);
    done = true;
    server.join();
    fuzz_check(rc == 0 || rc == 1);
    fuzz_check(body.size <= (int64_t)reply.size() + 4);
    fuzz_check(conn->header != nullptr);
    for (HEADER *h : { conn->header, conn->rheader }) {
        if (!h)
            continue;
        Filebuf out;
        int kind = h == conn->rheader ? HEADER_SEND_RESPONSE : HEADER_SEND_ORIGIN;
        fuzz_check(header_send_filebuf(&out, h, conn, kind) == FILEBUF_OK);
        std::string text(out.data ? out.data : "", (size_t)out.size);
        fuzz_check(text.find('\0') == std::string::npos);
        fuzz_check((size_t)header_length(text.c_str(), text.size()) == text.size());
    }
    http_header_free(conn->header);
    http_header_free(conn->rheader);
    conn->header = conn->rheader = nullptr;
    connection_free(conn);
}

/* A SOCKS exchange with an upstream whose replies are sent: the result is
 * one the callers know, and a granted connection leaves exactly the
 * bytes after the replies for the tunnel. */
static void fuzz_socks(const std::string &sent, int version, bool login)
{
    int fds[2];
    fuzz_pair(fds);
    fuzz_send_all(fds[1], sent);
    shutdown(fds[1], SHUT_WR);
    CONNECTION_T *conn = connection_new();
    conn->ip = strdup("10.0.0.1");
    conn->server = new Socket(fds[0]);
    conn->header = http_header_parse_request("GET http://127.0.0.1:8080/ HTTP/1.1\r\n\r\n");
    fuzz_check(conn->header != nullptr);
    if (login) {
        conn->proxy_user = strdup("user");
        conn->proxy_password = strdup("secret");
    }
    int rc = version == 4 ? proxy_socks4(conn) : proxy_socks5(conn);
    fuzz_check(rc == SOCKS_OK || rc == SOCKS_UNKNOWN || rc == SOCKS_FAILED || rc == SOCKS_NO_DNS ||
               rc == SOCKS_IDENT);
    fuzz_check(version == 4 || rc == SOCKS_OK || rc == SOCKS_FAILED);
    if (rc == SOCKS_OK) {
        std::string left(conn->server->read_buffer ? conn->server->read_buffer : "",
                         (size_t)conn->server->read_length);
        left += fuzz_drain(fds[0]);
        size_t used = sent.size() - left.size();
        fuzz_check(left.size() <= sent.size() && sent.compare(used, left.size(), left) == 0);
        if (version == 4)
            fuzz_check(used == 8 && sent[0] == 0 && sent[1] == 90);
        else
            fuzz_check(used >= 10 && sent[0] == 5);
    }
    delete conn->server;
    conn->server = nullptr;
    http_header_free(conn->header);
    conn->header = nullptr;
    connection_free(conn);
    close(fds[1]);
}

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    (void)argc;
    (void)argv;
    test_runtime_init();
    nettest_general(2, 2, 2);
    icap_section = new ICAPSection();
    icap_listener = nettest_listener(&icap_port);
    fuzz_check(icap_listener >= 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    std::string sent((const char *)data + 1, size - 1);
    switch (data[0] % FUZZ_KINDS) {
    case FUZZ_LINES:
        fuzz_lines(sent, data[0] & 0x80 ? CLAMAV_REPLY_MAX : SOPHIE_TCP_REPLY_MAX);
        break;
    case FUZZ_FPROT: {
        Filebuf answer;
        fuzz_check(answer.Add(sent.data(), (int64_t)sent.size()) == FILEBUF_OK);
        std::string name;
        int verdict = fprot_reply_parse(&answer, &name);
        fuzz_check(verdict >= FPROT_CLEAN && verdict <= FPROT_ERROR);
        fuzz_printable(name, SCANNER_NAME_MAX);
        break;
    }
    case FUZZ_DNS: {
        int scores[TAVRIN_SCORES] = { 0 };
        int found = tavrin_decode((const unsigned char *)sent.data(), (int)sent.size(), scores);
        /* An MX record takes at least 13 bytes after the 12-byte head. */
        fuzz_check(found >= 0 && (size_t)found * 13 <= sent.size());
        for (int s : scores)
            fuzz_check(s >= 0 && s <= 65535);
        break;
    }
    case FUZZ_RECORD: {
        std::string host;
        int scores[TAVRIN_SCORES];
        if (tavrin_record_parse(sent.c_str(), &host, scores)) {
            fuzz_check(tavrin_host_valid(host.c_str()));
            std::string line = tavrin_record_format(host.c_str(), scores);
            fuzz_check(!line.empty() && line[0] == '\n');
            std::string again_host;
            int again[TAVRIN_SCORES];
            fuzz_check(tavrin_record_parse(line.c_str() + 1, &again_host, again));
            fuzz_check(again_host == host && memcmp(again, scores, sizeof again) == 0);
        }
        break;
    }
    case FUZZ_ENCAPSULATED: {
        ICAP_ENCAPSULATION e = ICAPSection::encapsulation_parse(sent.c_str());
        for (int64_t v : { e.req_hdr, e.res_hdr, e.req_body, e.res_body, e.null_body }) {
            fuzz_check(v >= -1);
            if (v >= 0)
                fuzz_check(sent.find(std::to_string(v)) != std::string::npos);
        }
        break;
    }
    case FUZZ_RESPMOD:
        fuzz_icap(sent, ICAP_RESPMOD);
        break;
    case FUZZ_REQMOD:
        fuzz_icap(sent, ICAP_REQMOD);
        break;
    case FUZZ_SOCKS4:
        fuzz_socks(sent, 4, false);
        break;
    case FUZZ_SOCKS5:
        fuzz_socks(sent, 5, (data[0] & 0x80) != 0);
        break;
    }
    return 0;
}
