/* Shared pieces of the fuzz targets: property checks that name themselves,
 * socket pairs with room for a whole input, and writing and draining them. */
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

/* A failed property names itself before the abort that libFuzzer reports. */
#define fuzz_check(ok) fuzz_check_at((ok), #ok, __LINE__)
static inline void fuzz_check_at(bool ok, const char *what, int line)
{
    if (!ok) {
        fprintf(stderr, "property failed at line %d: %s\n", line, what);
        abort();
    }
}

/* A connected UNIX stream pair whose buffers hold a whole input and what
 * the proxy makes of it, so that neither end blocks the one thread. */
static inline void fuzz_pair(int fds[2])
{
    fuzz_check(socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0);
    int big = 4 << 20;
    for (int i = 0; i < 2; i++) {
        setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
        setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
    }
}

static inline void fuzz_send_all(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        fuzz_check(n > 0);
        done += (size_t)n;
    }
}

/* Everything readable on fd until its peer's end of stream (or until
 * nothing more is there). */
static inline std::string fuzz_drain(int fd)
{
    fuzz_check(fcntl(fd, F_SETFL, O_NONBLOCK) == 0);
    std::string out;
    char area[65536];
    for (;;) {
        ssize_t n = read(fd, area, sizeof area);
        if (n <= 0)
            break;
        out.append(area, (size_t)n);
    }
    return out;
}
