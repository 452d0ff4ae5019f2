/* The buffered socket against real peers on loopback: reads and lines with
 * their limits, hang-ups, signals during waits, rate pacing, the bounded
 * output queue and close, observers, and SSL toward openssl s_server with
 * certificates made here. */
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "options.h"
#include "socket.h"
#include "test_support.h"

/* A peer that went away must give EPIPE, not end the test binary. */
static const bool sigpipe_ignored = [] {
    signal(SIGPIPE, SIG_IGN);
    return true;
}();

static int64_t now_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

struct Pair {
    int ours;
    int theirs;
};

/* A listening TCP socket on 127.0.0.1 with a kernel-chosen port. */
static int listen_loopback(int *port)
{
    int l = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (l < 0 || bind(l, (struct sockaddr *)&a, sizeof a) != 0 || listen(l, 4) != 0 ||
        getsockname(l, (struct sockaddr *)&a, &len) != 0)
        return -1;
    *port = ntohs(a.sin_port);
    return l;
}

static int connect_loopback(int port)
{
    int c = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons((uint16_t)port);
    if (connect(c, (struct sockaddr *)&a, sizeof a) != 0) {
        close(c);
        return -1;
    }
    return c;
}

static Pair tcp_pair()
{
    int port = 0;
    int l = listen_loopback(&port);
    int c = connect_loopback(port);
    int s = accept(l, nullptr, nullptr);
    close(l);
    return Pair{c, s};
}

static Pair unix_pair()
{
    int fds[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return Pair{-1, -1};
    return Pair{fds[0], fds[1]};
}

static void write_all(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        done += (size_t)n;
    }
}

/* Everything the peer sends until it closes. */
static std::string read_all(int fd)
{
    std::string got;
    char block[65536];
    for (;;) {
        ssize_t n = read(fd, block, sizeof block);
        if (n <= 0)
            return got;
        got.append(block, (size_t)n);
    }
}

/* Waits (bounded) until fd has input, so a test knows bytes arrived. */
static bool input_ready(int fd)
{
    struct pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, 5000) == 1;
}

/* Waits (bounded) until the peer's close or reset has reached fd. */
static bool closed_seen(int fd)
{
    for (int i = 0; i < 500; i++) {
        struct pollfd p = {fd, POLLRDHUP, 0};
        if (poll(&p, 1, 10) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)))
            return true;
    }
    return false;
}

/* The in-memory log, newest line first, for failure messages. */
static std::string log_lines()
{
    std::string all;
    for (const std::string &line : logbuffer_lines(global->logbuffer))
        all += line + "\n";
    return all;
}

/* ---- LimitGroup ---- */

struct RateCase {
    uint64_t rate;
    bool unlimited;
    int64_t quota;
};
static const RateCase rate_cases[] = {
    {0, true, 0},
    {9, true, 0},      /* below 10 bytes per second there is no quota at all */
    {10, false, 1},
    {10000, false, 1000},
    {(uint64_t)1 << 40, false, ((int64_t)1 << 40) / 10},   /* beyond 32 bits */
};

TEST(LimitGroup, QuotaIsTheRateOverTenPerWindow)
{
    for (const RateCase &c : rate_cases) {
        SCOPED_TRACE(c.rate);
        LimitGroup *g = new LimitGroup(c.rate);
        EXPECT_EQ(c.unlimited, g->unlimited);
        ALLOWANCE a = g->Pace();
        EXPECT_EQ(c.unlimited, a.unlimited);
        if (!c.unlimited) {
            EXPECT_EQ(c.quota, a.bytes);
            EXPECT_EQ(c.quota, allowance_clamp(a, INT64_MAX));
        }
        EXPECT_EQ(c.unlimited ? 7 : std::min<int64_t>(7, c.quota), allowance_clamp(a, 7));
        limitgroup_release(g);
    }
}

TEST(LimitGroup, CountSaturatesInsteadOfWrapping)
{
    LimitGroup *g = new LimitGroup(1000);
    EXPECT_EQ(INT64_MAX - 1, g->Incr(INT64_MAX - 1));
    EXPECT_EQ(INT64_MAX, g->Incr(5));
    limitgroup_release(g);
}

TEST(LimitGroup, SocketsHoldReferencesUntilTheyClose)
{
    LimitGroup *g = new LimitGroup(1000);
    {
        Socket a, b;
        a.SetRate(g, g);
        b.SetRate(nullptr, g);
        EXPECT_EQ(4, g->refs);
        a.SetRate(g, g);   /* given again: the count must not dip to 0 */
        EXPECT_EQ(4, g->refs);
        b.SetRate(nullptr, nullptr);
        EXPECT_EQ(3, g->refs);
    }
    EXPECT_EQ(1, g->refs);
    limitgroup_release(g);
}

/* ---- Buffers ---- */

struct ResizeCase {
    const char *name;
    int64_t first;
    int64_t second;
    int64_t capacity;
    bool freed;
};
static const ResizeCase resize_cases[] = {
    {"small", 10, 10, 65536, false},
    {"one step", 65536, 65536, 65536, false},
    {"one past a step", 10, 65537, 131072, false},
    {"shrink within a step keeps", 131072, 65537, 131072, false},
    {"shrink by a step reallocates", 131072, 1, 65536, false},
    {"zero keeps one step", 100, 0, 65536, false},
    {"zero frees a larger buffer", 131072, 0, 0, true},
};

TEST(SocketBuffer, ResizeAndClearKeepAtMostOneStepWhenEmpty)
{
    for (const ResizeCase &c : resize_cases) {
        SCOPED_TRACE(c.name);
        for (int side : {SOCKET_SIDE_READ, SOCKET_SIDE_WRITE}) {
            Socket s;
            s.Resize(c.first, side);
            s.Resize(c.second, side);
            int64_t capacity = side == SOCKET_SIDE_READ ? s.read_capacity : s.write_capacity;
            int64_t length = side == SOCKET_SIDE_READ ? s.read_length : s.write_length;
            char *buffer = side == SOCKET_SIDE_READ ? s.read_buffer : s.write_buffer;
            EXPECT_EQ(c.capacity, capacity);
            EXPECT_EQ(c.second, length);
            EXPECT_EQ(c.freed, buffer == nullptr);
            s.Clear(side);   /* the destructor must not try to send this */
        }
    }
}

/* ---- Reading ---- */

struct EventLog {
    std::vector<std::pair<int, int64_t>> seen;   /* (observer tag, length) */
    int answer = 0;
};

static int observe_a(void *data, int64_t len, const char *)
{
    EventLog *log = (EventLog *)data;
    log->seen.push_back({1, len});
    return log->answer;
}

static int observe_b(void *data, int64_t len, const char *)
{
    EventLog *log = (EventLog *)data;
    log->seen.push_back({2, len});
    return 0;
}

TEST(SocketRead, BufferedBytesServeARequestWithoutPolling)
{
    Socket s;   /* no descriptor: a poll or read would fail */
    EventLog log;
    s.CallBackAdd(observe_a, &log, SOCKET_EVENT_READ);
    EXPECT_EQ(0, s.PushFront("6789", 4));
    EXPECT_EQ(4, s.PushFront("012345", 6));   /* the previous length */
    char area[16] = {0};
    EXPECT_EQ(10, s.Read(area, 10, 5));
    EXPECT_EQ(0, memcmp(area, "0123456789", 10));
    ASSERT_EQ(1u, log.seen.size());
    EXPECT_EQ(10, log.seen[0].second);
    EXPECT_EQ(0, s.read_length);
}

TEST(SocketRead, BufferedBytesThenOneBlockAndTheSurplusStays)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    EXPECT_EQ(0, s.PushFront("abcd", 4));
    write_all(p.theirs, "efghijkl");
    ASSERT_TRUE(input_ready(p.ours));
    char area[16] = {0};
    EXPECT_EQ(10, s.Read(area, 10, 5));
    EXPECT_EQ(0, memcmp(area, "abcdefghij", 10));
    EXPECT_EQ(2, s.read_length);
    EXPECT_EQ(2, s.Read(area, 10, 5));
    EXPECT_EQ(0, memcmp(area, "kl", 2));
    EXPECT_EQ(8, s.bytes_in);
    close(p.theirs);
}

/* A peer that sent a short request and waits for the answer must get its
 * bytes handed on, not a wait for more that ends in a time-out. */
TEST(SocketRead, BufferedBytesAreDeliveredWithoutWaitingForMore)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    s.PushFront("abcd", 4);
    char area[16];
    EXPECT_EQ(4, s.Read(area, 10, 30));
    EXPECT_EQ(0, memcmp(area, "abcd", 4));
    close(p.theirs);
}

/* A blocking descriptor is polled before each read. The proxy's own
 * sockets are non-blocking: they read first while input tends to be there
 * already, and poll first once a read found nothing. Every way must give
 * the same results. */
enum descriptor_mode { MODE_BLOCKING, MODE_READ_FIRST, MODE_POLL_FIRST };
static const descriptor_mode descriptor_modes[] = {MODE_BLOCKING, MODE_READ_FIRST, MODE_POLL_FIRST};
static const char *const descriptor_mode_names[] = {", blocking", ", non-blocking reading first",
                                                    ", non-blocking polling first"};

/* Puts a fresh socket, whose peer has sent nothing yet, in mode. */
static void set_mode(Socket &s, descriptor_mode mode)
{
    ASSERT_EQ(0, s.Blocking(mode == MODE_BLOCKING));
    if (mode == MODE_POLL_FIRST) {
        char c;
        ASSERT_EQ(SOCKET_WOULD_BLOCK, s.ReadNow(&c, 1));   /* a read first that found nothing */
        ASSERT_FALSE(s.ReadFirst());
    }
}

TEST(SocketRead, TimeOutIsMinusOneAndEndOfStreamIsZero)
{
    for (descriptor_mode mode : descriptor_modes) {
        SCOPED_TRACE(descriptor_mode_names[mode]);
        Pair p = tcp_pair();
        Socket s(p.ours);
        set_mode(s, mode);
        char area[16];
        EXPECT_EQ(-1, s.Read(area, 10, 0));
        EXPECT_EQ(-1, s.Read(nullptr, -1, 0));
        int64_t start = now_ms();
        EXPECT_EQ(-1, s.Read(area, 10, 1));   /* waits out the limit, no longer */
        EXPECT_GE(now_ms() - start, 900);
        close(p.theirs);
        EXPECT_EQ(0, s.Read(area, 10, 5));
        EXPECT_EQ(-1, s.Read(nullptr, 10, 0));   /* no area */
    }
}

/* The socket keeps track of its descriptor's mode: asking again for the
 * mode it has is no system call, and a socket made non-blocking by its
 * creator is taken at its word. */
TEST(SocketRead, ModeIsKnownWithoutAskingAgain)
{
    Pair p = tcp_pair();
    {
        Socket s(p.ours);
        EXPECT_FALSE(s.NonBlocking());   /* asked of the descriptor */
        ASSERT_EQ(0, s.Blocking(false));
        EXPECT_NE(0, fcntl(p.ours, F_GETFL) & O_NONBLOCK);
        EXPECT_TRUE(s.NonBlocking());
        ASSERT_EQ(0, s.Blocking(true));
        EXPECT_EQ(0, fcntl(p.ours, F_GETFL) & O_NONBLOCK);
        s.fd = -1;   /* the descriptor is used again below */
    }
    Socket told(p.ours, SOCKET_MODE_NONBLOCKING);
    EXPECT_TRUE(told.NonBlocking());
    EXPECT_EQ(0, told.Blocking(false));   /* already so: the descriptor is not touched */
    EXPECT_EQ(0, fcntl(p.ours, F_GETFL) & O_NONBLOCK);
    close(p.theirs);
}

/* A non-blocking socket reads first while input is there ahead of the
 * reads; once a read first finds nothing, waits poll first (with one read
 * first now and then) until a read first finds input again. A read after
 * the caller's own poll teaches nothing. A blocking socket always polls
 * first. */
TEST(SocketRead, ReadFirstFollowsWhetherInputComesAhead)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    EXPECT_FALSE(s.ReadFirst());   /* blocking */
    ASSERT_EQ(0, s.Blocking(false));
    EXPECT_TRUE(s.ReadFirst());
    char area[8];
    EXPECT_EQ(SOCKET_WOULD_BLOCK, s.ReadNow(area, sizeof area));
    int polled_first = 0;
    for (int i = 0; i < 2 * SOCKET_READ_FIRST_RETRY; i++)
        polled_first += s.ReadFirst() ? 0 : 1;
    EXPECT_EQ(2 * (SOCKET_READ_FIRST_RETRY - 1), polled_first);

    write_all(p.theirs, "a");
    ASSERT_TRUE(input_ready(p.ours));
    EXPECT_EQ(1, s.ReadNow(area, sizeof area, true));   /* after the caller's poll */
    EXPECT_FALSE(s.ReadFirst());
    write_all(p.theirs, "b");
    EXPECT_EQ(1, s.Read(area, sizeof area, 5));   /* polled first, then read */
    EXPECT_FALSE(s.ReadFirst());

    write_all(p.theirs, "c");
    ASSERT_TRUE(input_ready(p.ours));
    while (!s.ReadFirst()) {
    }
    EXPECT_EQ(1, s.ReadNow(area, sizeof area));   /* a read first found input */
    EXPECT_TRUE(s.ReadFirst());
    EXPECT_TRUE(s.ReadFirst());
    close(p.theirs);
}

/* ReadNow never waits: it reports "nothing yet" apart from the end of the
 * stream, a hang-up or a reset, and hands over what is there. */
enum readnow_peer { RN_SILENT, RN_SENT, RN_BUFFERED, RN_CLOSED, RN_RESET, RN_UNIX_CLOSED };
struct ReadNowCase {
    const char *name;
    readnow_peer peer;
    int64_t area_result;   /* ReadNow(area, 16) */
};
static const ReadNowCase readnow_cases[] = {
    {"nothing sent", RN_SILENT, SOCKET_WOULD_BLOCK},
    {"bytes sent", RN_SENT, 5},
    {"bytes buffered only", RN_BUFFERED, 3},
    {"tcp close", RN_CLOSED, 0},
    {"tcp reset", RN_RESET, -1},
    {"unix socket closed", RN_UNIX_CLOSED, -1},
};

TEST(SocketRead, ReadNowNeverWaits)
{
    for (descriptor_mode mode : descriptor_modes) {
        for (const ReadNowCase &c : readnow_cases) {
            SCOPED_TRACE(std::string(c.name) + descriptor_mode_names[mode]);
            for (bool fill : {false, true}) {
                Pair p = c.peer == RN_UNIX_CLOSED ? unix_pair() : tcp_pair();
                Socket s(p.ours);
                set_mode(s, mode);
                if (c.peer == RN_SENT) {
                    write_all(p.theirs, "hello");
                    ASSERT_TRUE(input_ready(p.ours));
                } else if (c.peer == RN_BUFFERED) {
                    s.PushFront("abc", 3);
                } else if (c.peer == RN_RESET) {
                    struct linger lg = {1, 0};
                    setsockopt(p.theirs, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
                }
                if (c.peer == RN_CLOSED || c.peer == RN_RESET || c.peer == RN_UNIX_CLOSED) {
                    close(p.theirs);
                    p.theirs = -1;
                    ASSERT_TRUE(closed_seen(p.ours));
                }
                char area[16] = {0};
                if (!fill) {
                    EXPECT_EQ(c.area_result, s.ReadNow(area, sizeof area));
                } else if (c.peer == RN_BUFFERED) {
                    EXPECT_EQ(SOCKET_WOULD_BLOCK, s.ReadNow(nullptr, -1));   /* adds nothing */
                    EXPECT_EQ(3, s.read_length);
                } else {
                    EXPECT_EQ(c.area_result, s.ReadNow(nullptr, -1));
                }
                if (p.theirs >= 0)
                    close(p.theirs);
            }
        }
    }
}

/* A read that got part of what is wanted waits for the rest with the time
 * left; a peer that closes while it waits ends the wait at once. */
TEST(SocketRead, PartOfALineThenTheRestOrTheClose)
{
    for (descriptor_mode mode : descriptor_modes) {
        for (bool closes : {false, true}) {
            SCOPED_TRACE(std::string(descriptor_mode_names[mode]) +
                         (closes ? ", peer closes" : ", rest arrives"));
            Pair p = tcp_pair();
            Socket s(p.ours);
            set_mode(s, mode);
            write_all(p.theirs, "par");
            ASSERT_TRUE(input_ready(p.ours));
            std::thread peer([&] {
                usleep(300000);
                if (closes)
                    shutdown(p.theirs, SHUT_WR);
                else
                    write_all(p.theirs, "tial\n");
            });
            char area[32] = {0};
            int64_t start = now_ms();
            int64_t n = s.GetLine(area, sizeof area, 30);
            peer.join();
            if (closes) {
                EXPECT_EQ(0, n);   /* the stream ended before the newline */
                EXPECT_LT(now_ms() - start, 25000);   /* the close, not the time-out */
            } else {
                EXPECT_EQ(8, n);
                EXPECT_STREQ("partial\n", area);
            }
            close(p.theirs);
        }
    }
}

TEST(SocketRead, ObserverRefusalFailsTheReadButTheBytesAreCopied)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    EventLog log;
    log.answer = -1;
    s.CallBackAdd(observe_a, &log, SOCKET_EVENT_READ);
    s.CallBackAdd(observe_b, &log, SOCKET_EVENT_READ);
    write_all(p.theirs, "hello");
    char area[16] = {0};
    EXPECT_EQ(-1, s.Read(area, 5, 5));
    EXPECT_EQ(0, memcmp(area, "hello", 5));
    ASSERT_EQ(1u, log.seen.size());   /* the second observer was not called */
    EXPECT_EQ(1, log.seen[0].first);
    close(p.theirs);
}

TEST(SocketRead, ReadGroupPacesIncomingBytes)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    LimitGroup *g = new LimitGroup(10000);   /* 1000 bytes per 100 ms */
    s.SetRate(g, nullptr);
    limitgroup_release(g);
    write_all(p.theirs, std::string(3000, 'r'));
    char area[4096];
    int64_t start = now_ms(), total = 0;
    while (total < 3000) {
        int64_t n = s.Read(area, sizeof area, 5);
        ASSERT_GT(n, 0);
        EXPECT_LE(n, 1000);
        total += n;
    }
    EXPECT_GE(now_ms() - start, 200);   /* three windows: two waits at least */
    close(p.theirs);
}

/* ---- Hang-ups ---- */

enum hangup_kind { HANGUP_UNIX, HANGUP_TCP_FIN, HANGUP_TCP_RESET };

struct HangupCase {
    const char *name;
    hangup_kind kind;
    bool by_line;
};
static const HangupCase hangup_cases[] = {
    {"unix socket, read", HANGUP_UNIX, false},
    {"unix socket, line", HANGUP_UNIX, true},
    {"tcp close, read", HANGUP_TCP_FIN, false},
    {"tcp close, line", HANGUP_TCP_FIN, true},
    {"tcp reset, read", HANGUP_TCP_RESET, false},
    {"tcp reset, line", HANGUP_TCP_RESET, true},
};

TEST(SocketHangup, AnswerSentJustBeforeTheHangupIsRead)
{
    for (descriptor_mode mode : descriptor_modes)
    for (const HangupCase &c : hangup_cases) {
        SCOPED_TRACE(std::string(c.name) + descriptor_mode_names[mode]);
        Pair p = c.kind == HANGUP_UNIX ? unix_pair() : tcp_pair();
        Socket s(p.ours);
        set_mode(s, mode);
        write_all(p.theirs, "answer\n");
        if (c.kind == HANGUP_TCP_RESET) {
            struct linger lg = {1, 0};
            setsockopt(p.theirs, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        }
        close(p.theirs);
        ASSERT_TRUE(closed_seen(p.ours));   /* the poll sees data and close together */

        char area[64] = {0};
        int64_t n = c.by_line ? s.GetLine(area, sizeof area, 5) : s.Read(area, sizeof area, 5);
        EXPECT_EQ(7, n);
        EXPECT_STREQ("answer\n", area);
        /* Then the end: 0 for a plain close, -1 for a hang-up or reset. */
        int64_t end = c.by_line ? s.GetLine(area, sizeof area, 5) : s.Read(area, sizeof area, 5);
        EXPECT_EQ(c.kind == HANGUP_TCP_FIN ? 0 : -1, end);
    }
}

/* ---- Signals during waits ---- */

static std::atomic<int> signals_seen;

static void count_signal(int)
{
    signals_seen++;
}

enum eintr_op { EINTR_READ, EINTR_LINE };

struct EintrCase {
    const char *name;
    eintr_op op;
    int timeout;
};
static const EintrCase eintr_cases[] = {
    {"read with a time-out", EINTR_READ, 5},
    {"read without a time-out", EINTR_READ, -1},
    {"line with a time-out", EINTR_LINE, 5},
    {"line without a time-out", EINTR_LINE, -1},
};

TEST(SocketSignal, InterruptedWaitGoesOnWithTheTimeLeft)
{
    struct sigaction sa, old;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = count_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;   /* no restart: the wait sees EINTR */
    ASSERT_EQ(0, sigaction(SIGUSR2, &sa, &old));

    for (const EintrCase &c : eintr_cases) {
        SCOPED_TRACE(c.name);
        Pair p = tcp_pair();
        Socket s(p.ours);
        signals_seen = 0;
        pthread_t reader = pthread_self();
        std::thread peer([&] {
            for (int i = 0; i < 5; i++) {
                usleep(20000);
                pthread_kill(reader, SIGUSR2);
            }
            usleep(20000);
            write_all(p.theirs, "late line\n");
        });
        char area[64] = {0};
        int64_t n = c.op == EINTR_READ ? s.Read(area, sizeof area, c.timeout)
                                       : s.GetLine(area, sizeof area, c.timeout);
        peer.join();
        EXPECT_EQ(10, n);
        EXPECT_EQ(0, memcmp(area, "late line\n", 10));
        EXPECT_GE(signals_seen.load(), 1);
        close(p.theirs);
    }
    sigaction(SIGUSR2, &old, nullptr);
}

/* ---- Lines ---- */

struct LineCase {
    const char *name;
    std::string line;
    int64_t size;
    int64_t result;
    std::string area;
};
static const LineCase line_cases[] = {
    {"short", "abc\n", 8, 4, "abc\n"},
    {"carriage return stays", "ab\r\n", 8, 4, "ab\r\n"},
    {"one below the area", "abcdef\n", 8, 7, "abcdef\n"},
    {"exactly the area", "abcdefg\n", 8, 8, "abcdefg"},
    {"one past the area", "abcdefgh\n", 8, 8, "abcdefg"},
    {"far past the area", std::string(200000, 'x') + "\n", 8, 8, "xxxxxxx"},
    {"area of one byte", "abc\n", 1, 1, ""},
    {"empty line", "\n", 8, 1, "\n"},
};

TEST(SocketLine, OverlongLinesAreTruncatedAndTheirRestDropped)
{
    for (const LineCase &c : line_cases) {
        SCOPED_TRACE(c.name);
        Pair p = tcp_pair();
        Socket s(p.ours);
        std::thread peer([&] { write_all(p.theirs, c.line + "next\n"); });
        std::vector<char> area((size_t)c.size + 1, '#');
        EXPECT_EQ(c.result, s.GetLine(area.data(), c.size, 5));
        EXPECT_EQ(c.area, std::string(area.data()));
        char next[16] = {0};
        EXPECT_EQ(5, s.GetLine(next, sizeof next, 5));   /* the rest of the long line is gone */
        EXPECT_STREQ("next\n", next);
        EXPECT_LE(s.read_capacity, SOCKET_BUFFER_STEP);   /* memory did not follow the line */
        peer.join();
        close(p.theirs);
    }
}

TEST(SocketLine, HardLimitExactlyAndOnePast)
{
    for (int64_t extra : {0, 1}) {
        SCOPED_TRACE(extra);
        Pair p = tcp_pair();
        Socket s(p.ours);
        std::string line(SOCKET_LINE_LIMIT - 1 + extra, 'y');
        std::thread peer([&] { write_all(p.theirs, line + "\nnext\n"); });
        char area[16] = {0};
        EXPECT_EQ(extra ? -1 : 16, s.GetLine(area, sizeof area, 5));
        EXPECT_LE(s.read_capacity, SOCKET_BUFFER_STEP);
        peer.join();
        close(p.theirs);
    }
}

TEST(SocketLine, DroppingWithoutAnArea)
{
    Socket s;
    s.PushFront("abc\nxyz\n", 8);
    EXPECT_EQ(0, s.GetLine(nullptr, -1));   /* buffered already: no block read */
    char area[16] = {0};
    EXPECT_EQ(4, s.GetLine(area, sizeof area));
    EXPECT_STREQ("xyz\n", area);

    Pair p = tcp_pair();
    Socket t(p.ours);
    write_all(p.theirs, "dropped\nkept\n");
    ASSERT_TRUE(input_ready(p.ours));
    EXPECT_EQ(13, t.GetLine(nullptr, -1, 5));   /* the block that brought it */
    EXPECT_EQ(5, t.GetLine(area, sizeof area, 5));
    EXPECT_STREQ("kept\n", area);
    close(p.theirs);
}

TEST(SocketLine, EndOfStreamBeforeTheNewline)
{
    for (bool overlong : {false, true}) {
        SCOPED_TRACE(overlong);
        Pair p = tcp_pair();
        Socket s(p.ours);
        write_all(p.theirs, overlong ? "abcdefghijk" : "abc");
        close(p.theirs);
        char area[8] = {0};
        /* An overlong line has been delivered truncated; a short one is no
         * line at all. */
        EXPECT_EQ(overlong ? 8 : 0, s.GetLine(area, sizeof area, 5));
        if (overlong) {
            EXPECT_STREQ("abcdefg", area);
        }
    }
}

TEST(SocketLine, TimeLimitCoversTheWholeLine)
{
    for (descriptor_mode mode : descriptor_modes) {
        SCOPED_TRACE(descriptor_mode_names[mode]);
        Pair p = tcp_pair();
        Socket s(p.ours);
        set_mode(s, mode);
        write_all(p.theirs, "this line never ends");
        char area[8];
        int64_t start = now_ms();
        EXPECT_EQ(-1, s.GetLine(area, sizeof area, 1));
        EXPECT_GE(now_ms() - start, 900);
        EXPECT_EQ(-1, s.GetLine(area, 0, 1));   /* no room at all */
        close(p.theirs);
    }
}

/* ---- Writing ---- */

struct Received {
    std::string bytes;
    std::thread thread;
    void start(int fd)
    {
        thread = std::thread([this, fd] { bytes = read_all(fd); });
    }
};

static int observe_written(void *data, int64_t len, const char *bytes)
{
    std::vector<std::pair<int64_t, const char *>> *seen =
        (std::vector<std::pair<int64_t, const char *>> *)data;
    seen->push_back({len, bytes});
    return 0;
}

TEST(SocketWrite, RateGroupPacesOutputInWindows)
{
    Pair p = tcp_pair();
    Received got;
    got.start(p.theirs);
    std::string data(5000, 'w');
    int64_t start, elapsed;
    {
        Socket s(p.ours);
        LimitGroup *g = new LimitGroup(10000);   /* 1000 bytes per 100 ms */
        s.SetRate(nullptr, g);
        limitgroup_release(g);
        std::vector<std::pair<int64_t, const char *>> seen;
        s.CallBackAdd(observe_written, &seen, SOCKET_EVENT_WRITTEN);

        start = now_ms();
        EXPECT_EQ(1000, s.Write(data.data(), 5000));
        EXPECT_EQ(4000, s.write_length);
        ASSERT_EQ(1u, seen.size());
        EXPECT_EQ(5000, seen[0].first);
        EXPECT_EQ(data.data(), seen[0].second);
        EXPECT_EQ(0, s.Flush());
        elapsed = now_ms() - start;
        EXPECT_EQ(0, s.write_length);
        EXPECT_EQ(5000, s.bytes_out);
    }
    got.thread.join();
    EXPECT_EQ(data, got.bytes);
    EXPECT_GE(elapsed, 400);    /* four more windows after the first */
    EXPECT_LT(elapsed, 5000);
}

TEST(SocketWrite, RateBelowTenDoesNotLimit)
{
    Pair p = tcp_pair();
    Received got;
    got.start(p.theirs);
    {
        Socket s(p.ours);
        LimitGroup *g = new LimitGroup(9);
        s.SetRate(nullptr, g);
        limitgroup_release(g);
        EXPECT_EQ(5000, s.Write(std::string(5000, 'u').data(), 5000));
        EXPECT_EQ(0, s.write_length);
    }
    got.thread.join();
    EXPECT_EQ(5000u, got.bytes.size());
}

/* A throttled download must not sit whole in the queue: the writer waits. */
TEST(SocketWrite, ThrottledQueueStaysBounded)
{
    Pair p = tcp_pair();
    Received got;
    got.start(p.theirs);
    std::string block(65536, 'q');
    std::string big(512 * 1024, 'Q');
    Filebuf fb;
    ASSERT_EQ(FILEBUF_OK, fb.Add(big.data(), (int64_t)big.size()));
    {
        Socket s(p.ours);
        LimitGroup *g = new LimitGroup(8000000);   /* 800000 bytes per window */
        s.SetRate(nullptr, g);
        limitgroup_release(g);
        for (int i = 0; i < 16; i++) {
            ASSERT_GE(s.Write(block.data(), (int64_t)block.size()), 0);
            EXPECT_LE(s.write_length, SOCKET_WRITE_QUEUE_LIMIT);
            EXPECT_LE(s.write_capacity, SOCKET_BUFFER_STEP);
        }
        ASSERT_GE(s.Write(big.data(), (int64_t)big.size()), 0);
        EXPECT_LE(s.write_length, SOCKET_WRITE_QUEUE_LIMIT);
        EXPECT_LE(s.write_capacity, SOCKET_BUFFER_STEP);
        ASSERT_GE(s.WriteFilebuf(&fb), 0);
        EXPECT_EQ(0, s.write_length);
        EXPECT_LE(s.write_capacity, SOCKET_BUFFER_STEP);
        EXPECT_EQ(16 * 65536 + 2 * 512 * 1024, s.bytes_out);
    }
    got.thread.join();
    EXPECT_EQ((size_t)(16 * 65536 + 2 * 512 * 1024), got.bytes.size());
}

TEST(SocketWrite, PutSockCutsAtTheFormatArea)
{
    Pair p = tcp_pair();
    Received got;
    got.start(p.theirs);
    {
        Socket s(p.ours);
        std::string text(10000, 'p');
        EXPECT_EQ(8191, s.PutSock("%s", text.c_str()));
        EXPECT_EQ(5, s.PutSock("%d-%s", 12, "ab"));
    }
    got.thread.join();
    EXPECT_EQ(std::string(8191, 'p') + "12-ab", got.bytes);
}

TEST(SocketWrite, FailedWriteIsReportedAndCountersSaturate)
{
    Pair p = unix_pair();
    Socket s(p.ours);
    std::vector<std::pair<int64_t, const char *>> seen;
    s.CallBackAdd(observe_written, &seen, SOCKET_EVENT_ERROR);
    s.bytes_out = INT64_MAX - 3;
    EXPECT_EQ(10, s.Write("0123456789", 10));
    EXPECT_EQ(INT64_MAX, s.bytes_out);
    close(p.theirs);
    EXPECT_EQ(-1, s.Write("x", 1));
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(-1, seen[0].first);
    EXPECT_EQ(nullptr, seen[0].second);
    EXPECT_EQ(0, s.write_length);   /* nothing queued after the error */
}

/* ---- Closing ---- */

enum close_kind { CLOSE_THROTTLED, CLOSE_PEER_NOT_READING };

struct CloseCase {
    const char *name;
    close_kind kind;
};
static const CloseCase close_cases[] = {
    {"throttled queue", CLOSE_THROTTLED},
    {"peer that never reads", CLOSE_PEER_NOT_READING},
};

TEST(SocketClose, PendingOutputDoesNotHoldTheCloseForEver)
{
    for (const CloseCase &c : close_cases) {
        SCOPED_TRACE(c.name);
        Pair p = tcp_pair();
        Socket *s = new Socket(p.ours);
        s->close_wait_ms = 200;
        if (c.kind == CLOSE_THROTTLED) {
            LimitGroup *g = new LimitGroup(1000);   /* 100 bytes per window */
            s->SetRate(nullptr, g);
            limitgroup_release(g);
            std::string data(60000, 't');
            EXPECT_EQ(100, s->Write(data.data(), (int64_t)data.size()));
        } else {
            ASSERT_EQ(0, s->Blocking(false));
            std::string data(65536, 'n');
            for (int i = 0; i < 4096 && s->write_length == 0; i++)
                ASSERT_GE(s->Write(data.data(), (int64_t)data.size()), 0);
        }
        ASSERT_GT(s->write_length, 0);

        std::atomic<bool> done(false);
        std::thread closer([&] {
            delete s;
            done = true;
        });
        for (int i = 0; i < 500 && !done; i++)
            usleep(10000);
        EXPECT_TRUE(done.load());
        if (!done) {
            closer.detach();   /* leave it; the failure is reported */
            continue;
        }
        closer.join();
        close(p.theirs);
    }
}

/* A peer that takes no output makes Flush and an over-long Write give up
 * after write_wait_ms instead of holding the worker for ever. */
TEST(SocketWrite, StalledPeerEndsTheWaitAtTheLimit)
{
    Pair p = tcp_pair();
    /* Small kernel buffers, so the queue fills at once and stays full. */
    int small = 4096;
    setsockopt(p.ours, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(p.theirs, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    Socket s(p.ours);
    s.write_wait_ms = 200;
    ASSERT_EQ(0, s.Blocking(false));
    std::string data(65536, 'w');
    for (int i = 0; i < 4096 && s.write_length == 0; i++)
        ASSERT_GE(s.Write(data.data(), (int64_t)data.size()), 0);
    ASSERT_GT(s.write_length, 0);

    std::atomic<int> flushed(1);
    std::thread flusher([&] { flushed = s.Flush(); });
    for (int i = 0; i < 500 && flushed == 1; i++)
        usleep(10000);
    EXPECT_EQ(-1, flushed.load());
    if (flushed == 1) {
        close(p.theirs);   /* let the stuck flush end so the thread can join */
        flusher.join();
        return;
    }
    flusher.join();
    s.close_wait_ms = 0;
    close(p.theirs);
}

/* ---- Observers ---- */

static int remove_self(void *data, int64_t, const char *);

struct SelfRemoving {
    Socket *socket;
    int id;
    int calls;
};

static int remove_self(void *data, int64_t, const char *)
{
    SelfRemoving *r = (SelfRemoving *)data;
    r->calls++;
    return r->socket->CallBackRemove(r->id) == 1 ? 0 : -1;
}

TEST(SocketObserver, IdsMasksOrderAndStopping)
{
    Socket s;
    EventLog log;
    EXPECT_EQ(0, s.CallBackAdd(observe_a, &log, SOCKET_EVENT_READ));
    EXPECT_EQ(1, s.CallBackAdd(observe_b, &log, SOCKET_EVENT_READ | SOCKET_EVENT_ERROR));
    EXPECT_EQ(SOCKET_EVENT_READ, s.CallBackMaskGet(0));
    EXPECT_EQ(SOCKET_EVENT_WRITTEN, s.CallBackMaskSet(0, SOCKET_EVENT_WRITTEN));
    EXPECT_EQ(SOCKET_EVENT_WRITTEN, s.CallBackMaskGet(0));

    EXPECT_EQ(0, s.CallBackEvent(SOCKET_EVENT_READ, 3, "abc"));
    ASSERT_EQ(1u, log.seen.size());
    EXPECT_EQ(2, log.seen[0].first);

    s.CallBackMaskSet(0, SOCKET_EVENT_READ);
    log.seen.clear();
    EXPECT_EQ(0, s.CallBackEvent(SOCKET_EVENT_READ, 3, "abc"));
    ASSERT_EQ(2u, log.seen.size());
    EXPECT_EQ(1, log.seen[0].first);   /* in the order added */
    EXPECT_EQ(2, log.seen[1].first);

    log.answer = -1;
    log.seen.clear();
    EXPECT_EQ(-1, s.CallBackEvent(SOCKET_EVENT_READ, 3, "abc"));
    EXPECT_EQ(1u, log.seen.size());

    EXPECT_EQ(1, s.CallBackRemove(0));
    log.seen.clear();
    EXPECT_EQ(0, s.CallBackEvent(SOCKET_EVENT_READ, 3, "abc"));
    ASSERT_EQ(1u, log.seen.size());
    EXPECT_EQ(2, log.seen[0].first);
    EXPECT_EQ(2, s.CallBackAdd(observe_a, &log, 0));   /* ids are never reused */
}

TEST(SocketObserver, RemovingItselfDuringAnEventIsSafe)
{
    Socket s;
    EventLog log;
    SelfRemoving r = {&s, 0, 0};
    r.id = s.CallBackAdd(remove_self, &r, SOCKET_EVENT_READ);
    s.CallBackAdd(observe_b, &log, SOCKET_EVENT_READ);
    EXPECT_EQ(0, s.CallBackEvent(SOCKET_EVENT_READ, 1, "x"));
    EXPECT_EQ(0, s.CallBackEvent(SOCKET_EVENT_READ, 1, "x"));
    EXPECT_EQ(1, r.calls);
    EXPECT_EQ(2u, log.seen.size());   /* the next observer ran both times */
    EXPECT_EQ(1u, s.callbacks.size());
}

TEST(SocketObserverDeathTest, UnknownIdIsFatal)
{
    EXPECT_EXIT(
        {
            Socket s;
            (void)s.CallBackRemove(7);
        },
        ::testing::ExitedWithCode(1), "");
}

/* ---- SSL ---- */

/* Certificates made once per run: a test CA, leaves it signed, and a
 * self-signed one. */
class SocketTls : public ::testing::Test {
protected:
    static std::string dir;

    static bool run(const std::string &command)
    {
        std::string full = command + " >>" + dir + "/openssl.out 2>&1";
        return system(full.c_str()) == 0;
    }

    /* A key and a certificate for name with the given subjectAltName,
     * signed by the test CA. */
    static bool leaf(const std::string &name, const std::string &san)
    {
        std::string base = dir + "/" + name;
        std::string ext = base + ".ext";
        FILE *f = fopen(ext.c_str(), "w");
        if (!f)
            return false;
        fprintf(f, "basicConstraints=CA:FALSE\nsubjectAltName=%s\n", san.c_str());
        fclose(f);
        return run("openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                   " -keyout " + base + ".key -out " + base + ".csr -subj /CN=" + name) &&
               run("openssl x509 -req -in " + base + ".csr -CA " + dir + "/ca.pem -CAkey " + dir +
                   "/ca.key -CAcreateserial -days 2 -out " + base + ".pem -extfile " + ext);
    }

    static void SetUpTestSuite()
    {
        dir = test_temp_dir();
        ASSERT_FALSE(dir.empty());
        mkdir((dir + "/nocerts").c_str(), 0755);
        ASSERT_TRUE(run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                        " -keyout " + dir + "/ca.key -out " + dir + "/ca.pem -days 2"
                        " -subj /CN=QuillTestCA -addext basicConstraints=critical,CA:TRUE"
                        " -addext keyUsage=critical,keyCertSign,cRLSign"));
        ASSERT_TRUE(leaf("good.test", "DNS:good.test"));
        ASSERT_TRUE(leaf("other.test", "DNS:other.test"));
        ASSERT_TRUE(leaf("sni.test", "DNS:sni.test"));
        ASSERT_TRUE(leaf("ip", "IP:127.0.0.1"));
        ASSERT_TRUE(leaf("ipname", "DNS:127.0.0.1"));
        ASSERT_TRUE(run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes"
                        " -keyout " + dir + "/self.key -out " + dir + "/self.pem -days 2"
                        " -subj /CN=good.test -addext subjectAltName=DNS:good.test"));
    }

    static void TearDownTestSuite()
    {
        unsetenv("SSL_CERT_FILE");
        unsetenv("SSL_CERT_DIR");
        if (!dir.empty() && dir.find("/quilltest.") != std::string::npos)
            run("rm -rf '" + dir + "'");
    }

    void TearDown() override { stop_server(); }

    /* Starts openssl s_server on a free loopback port serving cert; with
     * servername, a client naming it gets cert2 instead. Returns the port
     * or -1. */
    int start_server(const std::string &cert, const char *servername = nullptr,
                     const std::string &cert2 = "")
    {
        std::vector<std::string> args = {"openssl", "s_server", "-accept", "127.0.0.1:0",
                                         "-cert", dir + "/" + cert + ".pem",
                                         "-key", dir + "/" + cert + ".key", "-www"};
        if (servername) {
            args.insert(args.end(), {"-servername", servername, "-cert2",
                                     dir + "/" + cert2 + ".pem", "-key2",
                                     dir + "/" + cert2 + ".key"});
        }
        int out[2];
        if (pipe(out) != 0)
            return -1;
        server_pid = fork();
        if (server_pid == 0) {
            int null = open("/dev/null", O_RDWR);
            dup2(null, 0);
            dup2(out[1], 1);
            dup2(null, 2);
            std::vector<char *> argv;
            for (std::string &a : args)
                argv.push_back(&a[0]);
            argv.push_back(nullptr);
            execvp("openssl", argv.data());
            _exit(127);
        }
        close(out[1]);
        server_out = out[0];
        std::string text;
        int64_t end = now_ms() + 10000;
        while (now_ms() < end) {
            struct pollfd p = {server_out, POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                char block[256];
                ssize_t n = read(server_out, block, sizeof block);
                if (n <= 0)
                    return -1;
                text.append(block, (size_t)n);
                size_t at = text.find("ACCEPT 127.0.0.1:");
                size_t eol = at == std::string::npos ? at : text.find('\n', at);
                if (eol != std::string::npos)
                    return atoi(text.c_str() + at + strlen("ACCEPT 127.0.0.1:"));
            }
        }
        return -1;
    }

    void stop_server()
    {
        if (server_pid > 0) {
            kill(server_pid, SIGTERM);
            waitpid(server_pid, nullptr, 0);
            server_pid = -1;
        }
        if (server_out >= 0) {
            close(server_out);
            server_out = -1;
        }
    }

    /* Which CA store the client trusts. */
    static void trust(const std::string &file)
    {
        setenv("SSL_CERT_FILE", file.c_str(), 1);
        setenv("SSL_CERT_DIR", (dir + "/nocerts").c_str(), 1);
    }

    pid_t server_pid = -1;
    int server_out = -1;
};

std::string SocketTls::dir;

struct TlsCase {
    const char *name;
    const char *cert;         /* the server's default certificate */
    const char *servername;   /* with this SNI the server switches to cert2 */
    const char *cert2;
    const char *host;         /* what the client asks for */
    bool system_store;        /* trust the system's CAs instead of the test CA */
    int result;
    const char *log;          /* the refusal's log line, or NULL */
};
static const TlsCase tls_cases[] = {
    /* Without SNI the server would show other.test and the name check
     * would fail: success proves the name was sent. */
    {"server name sent and verified", "other.test", "good.test", "good.test", "good.test",
     false, 1, nullptr},
    {"final dot ignored", "other.test", "good.test", "good.test", "good.test.", false, 1,
     nullptr},
    {"self-signed refused", "self", nullptr, nullptr, "good.test", false, 0,
     "SSL certificate of good.test refused: self-signed certificate"},
    {"test CA unknown to the system store", "good.test", nullptr, nullptr, "good.test", true, 0,
     "SSL certificate of good.test refused: unable to get local issuer certificate"},
    {"name mismatch refused", "good.test", nullptr, nullptr, "wrong.test", false, 0,
     "SSL certificate of wrong.test refused: hostname mismatch"},
    /* A client that sent "127.0.0.1" as a name would get sni.test and fail:
     * success proves no name was sent and the address was checked. */
    {"address literal: no name, address checked", "ip", "127.0.0.1", "sni.test", "127.0.0.1",
     false, 1, nullptr},
    {"address literal needs an address entry", "ipname", nullptr, nullptr, "127.0.0.1", false,
     0, "SSL certificate of 127.0.0.1 refused: IP address mismatch"},
};

TEST_F(SocketTls, CertificatesAreVerifiedAgainstTheCaStore)
{
    for (const TlsCase &c : tls_cases) {
        SCOPED_TRACE(c.name);
        /* The server inherits the store too; it only sends the leaf when
         * the test CA is not in it. */
        trust(c.system_store ? "/etc/ssl/certs/ca-certificates.crt" : dir + "/ca.pem");
        int port = c.servername ? start_server(c.cert, c.servername, c.cert2) : start_server(c.cert);
        ASSERT_GT(port, 0);
        test_log_clear();

        int fd = connect_loopback(port);
        ASSERT_GE(fd, 0);
        {
            Socket s(fd);
            EXPECT_EQ(c.result, s.Encrypt(SOCKET_SSL_CLIENT, c.host, 5));
            EXPECT_EQ(c.result, s.ssl_active);
            if (c.log)
                EXPECT_TRUE(test_log_contains(c.log)) << c.log << "\n" << log_lines();
            else
                EXPECT_FALSE(test_log_contains("SSL certificate"));
            if (c.result == 1) {
                /* The encrypted stream carries a request and its answer. */
                EXPECT_EQ(18, s.PutSock("GET / HTTP/1.0\r\n\r\n"));
                char line[256] = {0};
                EXPECT_GT(s.GetLine(line, sizeof line, 5), 0);
                EXPECT_EQ(0, strncmp(line, "HTTP/1.0 200 ok", 15)) << line;
                EXPECT_GT(s.bytes_in, 15);
                EXPECT_EQ(18, s.bytes_out);
            }
        }
        stop_server();
    }
}

TEST_F(SocketTls, OtherModesAndMissingHostsFail)
{
    Pair p = tcp_pair();
    Socket s(p.ours);
    EXPECT_EQ(0, s.Encrypt(2, "good.test"));
    EXPECT_EQ(0, s.Encrypt(SOCKET_SSL_CLIENT, nullptr));
    EXPECT_EQ(0, s.Encrypt(SOCKET_SSL_CLIENT, ""));
    EXPECT_EQ(0, s.ssl_active);
    /* Still a plain socket. */
    EXPECT_EQ(5, s.Write("plain", 5));
    char area[8];
    ASSERT_TRUE(input_ready(p.theirs));
    EXPECT_EQ(5, read(p.theirs, area, sizeof area));
    close(p.theirs);
}

TEST_F(SocketTls, SilentServerEndsTheHandshakeAtTheTimeLimit)
{
    int port = 0;
    int l = listen_loopback(&port);
    ASSERT_GE(l, 0);
    trust(dir + "/ca.pem");
    int fd = connect_loopback(port);
    int peer = accept(l, nullptr, nullptr);   /* accepts and never answers */
    {
        Socket s(fd);
        EXPECT_EQ(0, s.Encrypt(SOCKET_SSL_CLIENT, "good.test", 1));
        EXPECT_EQ(0, s.ssl_active);
        /* Left non-blocking: every later wait on it is a poll with a limit. */
        EXPECT_NE(0, fcntl(fd, F_GETFL) & O_NONBLOCK);
    }
    close(peer);
    close(l);
}

/* Held bytes leave with the next write in one system call: on a packet
 * socket the peer's first read is the header and body together. A held
 * header with nothing after it goes with Flush; a rate group falls back
 * to the queue, still in order. */
TEST(SocketWrite, HeldHeaderLeavesWithTheBody)
{
    int fds[2];
    ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds));
    {
        Socket s(fds[0]);
        s.Hold("HEAD\r\n\r\n", 8);
        EXPECT_EQ(8, s.write_length);
        EXPECT_EQ(4, s.Write("body", 4));
        EXPECT_EQ(0, s.write_length);
        char packet[64];
        ASSERT_EQ(12, read(fds[1], packet, sizeof packet));
        EXPECT_EQ("HEAD\r\n\r\nbody", std::string(packet, 12));

        s.Hold("ALONE\r\n\r\n", 9);
        EXPECT_EQ(0, s.Flush());
        ASSERT_EQ(9, read(fds[1], packet, sizeof packet));
        EXPECT_EQ(12 + 9, s.bytes_out);
    }
    close(fds[1]);

    Pair p = tcp_pair();
    Received got;
    got.start(p.theirs);
    {
        Socket s(p.ours);
        LimitGroup *g = new LimitGroup(100000);
        s.SetRate(nullptr, g);
        limitgroup_release(g);
        s.Hold("HEAD\r\n\r\n", 8);
        (void)s.Write(std::string(3000, 'b').data(), 3000);
        EXPECT_EQ(0, s.Flush());
    }
    got.thread.join();
    EXPECT_EQ("HEAD\r\n\r\n" + std::string(3000, 'b'), got.bytes);
}
