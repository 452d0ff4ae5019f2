/* Shared pieces of the network, pool and worker tests: the sections they
 * configure, connected loopback socket pairs, bounded reads and polling. */
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <tinyxml2.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "general.h"
#include "network.h"
#include "options.h"
#include "section.h"
#include "test_support.h"

/* Loads the shipped section description and makes the general and network
 * sections, once per process. */
static inline void nettest_sections()
{
    if (general_section)
        return;
    sectionxml = new tinyxml2::XMLDocument;
    std::string path = test_source_dir() + "/etc/section.xml";
    if (sectionxml->LoadFile(path.c_str()) != tinyxml2::XML_SUCCESS)
        abort();
    general_section = new GeneralSection();
    network_section = new NetworkSection();
}

/* One general rule for every request with these time-outs, and the server
 * pool's size and time-out. */
static inline void nettest_general(int ctimeout, int timeout, int keeptimeout, int poolsize = 100,
                                   int pooltimeout = 60)
{
    nettest_sections();
    SectionWriteGuard guard(*general_section);
    general_section->fields[3].value = poolsize;
    general_section->fields[4].value = pooltimeout;
    ItemList &items = general_section->subsections[0].items;
    items.clear();
    items.push_back(Item(general_section->subsections[0]));
    FieldVector &f = items.back().fields;
    f[0].value = 1;
    f[2].list.clear();
    f[3].value = ctimeout;
    f[4].value = timeout;
    f[5].value = keeptimeout;
    general_section->update();
}

/* Two connected TCP sockets on loopback: a (the connecting end) and b (the
 * accepted end). */
struct TcpPair {
    int a = -1;
    int b = -1;
};

static inline int nettest_listener(int *port, int backlog = 16)
{
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(l, (struct sockaddr *)&sa, sizeof sa) != 0 || listen(l, backlog) != 0)
        abort();
    socklen_t len = sizeof sa;
    getsockname(l, (struct sockaddr *)&sa, &len);
    *port = ntohs(sa.sin_port);
    return l;
}

/* A port that was free a moment ago. */
static inline int nettest_free_port()
{
    int port;
    int l = nettest_listener(&port);
    close(l);
    return port;
}

static inline TcpPair nettest_pair()
{
    int port;
    int l = nettest_listener(&port);
    TcpPair p;
    p.a = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(p.a, (struct sockaddr *)&sa, sizeof sa) != 0)
        abort();
    p.b = accept4(l, nullptr, nullptr, SOCK_CLOEXEC);
    close(l);
    return p;
}

/* Connects to 127.0.0.1:port; -1 when refused. */
static inline int nettest_connect(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in sa;
    memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons((uint16_t)port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Closes fd with a reset instead of a clean end. */
static inline void nettest_reset(int fd)
{
    struct linger lg = { 1, 0 };
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
    close(fd);
}

static inline void nettest_send(int fd, const std::string &bytes)
{
    size_t off = 0;
    while (off < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        off += (size_t)n;
    }
}

/* Reads until the peer closes, count bytes arrived, or timeout_ms passes
 * without input. *closed tells whether the end (or a reset) was seen. */
static inline std::string nettest_read(int fd, size_t count = SIZE_MAX, int timeout_ms = 10000,
                                       bool *closed = nullptr)
{
    std::string out;
    if (closed)
        *closed = false;
    while (out.size() < count) {
        struct pollfd p = { fd, POLLIN, 0 };
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char buf[65536];
        ssize_t n = recv(fd, buf, std::min(sizeof buf, count - out.size()), 0);
        if (n <= 0) {
            if (closed)
                *closed = true;
            break;
        }
        out.append(buf, (size_t)n);
    }
    return out;
}

/* Polls predicate every 10 ms until it holds or timeout_ms passes. */
static inline bool nettest_wait(const std::function<bool()> &predicate, int timeout_ms = 10000)
{
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (predicate())
            return true;
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

/* True when an executable of that name is on the PATH or in /usr/sbin. */
static inline std::string nettest_which(const char *name)
{
    std::string path = std::string(getenv("PATH") ? getenv("PATH") : "") + ":/usr/sbin:/sbin";
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(':', start);
        if (end == std::string::npos)
            end = path.size();
        std::string candidate = path.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return "";
}

/* A child process started with argv; stopped (TERM, then KILL) by stop. */
struct NetChild {
    pid_t pid = -1;

    bool start(const std::vector<std::string> &args)
    {
        std::vector<char *> argv;
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        pid = fork();
        if (pid == 0) {
            int null_fd = open("/dev/null", O_RDWR);
            dup2(null_fd, 0);
            dup2(null_fd, 1);
            dup2(null_fd, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        return pid > 0;
    }

    void stop()
    {
        if (pid <= 0)
            return;
        kill(pid, SIGTERM);
        for (int i = 0; i < 500; i++) {
            if (waitpid(pid, nullptr, WNOHANG) == pid) {
                pid = -1;
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        pid = -1;
    }

    ~NetChild() { stop(); }
};

/* Waits until something accepts connections on 127.0.0.1:port. */
static inline bool nettest_port_ready(int port)
{
    return nettest_wait([&] {
        int fd = nettest_connect(port);
        if (fd < 0)
            return false;
        close(fd);
        return true;
    });
}

/* The result of nettest_dns_namespace. */
enum nettest_ns_result { NETTEST_NS_PASSED = 0, NETTEST_NS_FAILED, NETTEST_NS_SKIPPED };

/*
 * Runs this test binary again, with only gtest_filter and inner_env set to
 * dir + inner_file, inside a new network and mount namespace: loopback up,
 * a private resolv.conf ("nameserver 127.0.0.1", one-second time-out, one
 * attempt) and hosts file ("127.0.0.1 localhost") bind-mounted over the
 * machine's, and dnsmasq (--no-resolv --no-hosts, plus dnsmasq_args)
 * answering on 127.0.0.1:53; dnsmasq_args may name the run's directory as
 * "$QUILL_DNS_DIR". The machine's own files are never touched.
 * *why says why a run was skipped (no root, no tools, no namespaces).
 */
static inline int nettest_dns_namespace(const std::string &gtest_filter, const char *inner_env,
                                        const std::string &inner_file,
                                        const std::string &dnsmasq_args, std::string *why)
{
    std::string dnsmasq = nettest_which("dnsmasq");
    std::string unshare = nettest_which("unshare");
    std::string ip = nettest_which("ip");
    if (geteuid() != 0 || dnsmasq.empty() || unshare.empty() || ip.empty()) {
        *why = "needs root, unshare, ip and dnsmasq";
        return NETTEST_NS_SKIPPED;
    }
    std::string probe = unshare + " --mount --net /bin/true";
    if (system(probe.c_str()) != 0) {
        *why = "cannot make network and mount namespaces here";
        return NETTEST_NS_SKIPPED;
    }
    char dir_template[] = "/tmp/quilldns.XXXXXX";
    if (!mkdtemp(dir_template)) {
        *why = "no temporary directory";
        return NETTEST_NS_SKIPPED;
    }
    std::string dir = dir_template;
    FILE *f = fopen((dir + "/resolv.conf").c_str(), "w");
    if (f) {
        fputs("nameserver 127.0.0.1\noptions timeout:1 attempts:1\n", f);
        fclose(f);
    }
    f = fopen((dir + "/hosts").c_str(), "w");
    if (f) {
        fputs("127.0.0.1 localhost\n", f);
        fclose(f);
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        *why = "cannot find the test binary";
        return NETTEST_NS_SKIPPED;
    }
    self[n] = '\0';
    std::string script =
        "QUILL_DNS_DIR='" + dir + "'; set -e; " + ip + " link set lo up; mount --bind " + dir +
        "/resolv.conf /etc/resolv.conf; mount --bind " + dir + "/hosts /etc/hosts; " + dnsmasq +
        " --keep-in-foreground --conf-file=/dev/null --no-resolv --no-hosts --user=root "
        "--listen-address=127.0.0.1 --bind-interfaces --port=53 " + dnsmasq_args +
        " --pid-file=" + dir + "/dnsmasq.pid & pid=$!; set +e; "
        "for i in $(seq 50); do [ -s " + dir + "/dnsmasq.pid ] && break; sleep 0.1; done; " +
        inner_env + "='" + dir + "/" + inner_file + "' '" + self + "' --gtest_filter=" +
        gtest_filter + "; rc=$?; kill $pid; wait $pid; exit $rc";
    pid_t child = fork();
    if (child == 0) {
        execl(unshare.c_str(), "unshare", "--mount", "--net", "/bin/sh", "-c", script.c_str(),
              (char *)nullptr);
        _exit(127);
    }
    int status = 0;
    bool waited = child > 0 && waitpid(child, &status, 0) == child;
    std::string rm = "rm -rf '" + dir + "'";
    if (system(rm.c_str()) != 0)
        fprintf(stderr, "could not remove %s\n", dir.c_str());
    if (!waited || (WIFEXITED(status) && WEXITSTATUS(status) == 127)) {
        *why = "cannot make the namespaces here";
        return NETTEST_NS_SKIPPED;
    }
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? NETTEST_NS_PASSED : NETTEST_NS_FAILED;
}
