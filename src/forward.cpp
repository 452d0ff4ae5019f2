/*
 * Upstream proxies. Each peer entry names an upstream proxy, how it is
 * spoken to, its ICP role and the requests it serves. For every request
 * about to connect, the matching enabled peers become candidates, in order,
 * up to the first matching peer without a host; one of them is chosen by
 * CARP (a hash of the URL, in which this proxy takes part and keeps the
 * URLs it owns) or by ICP (the ICP peers are asked over UDP whether they
 * hold the URL; a sibling that holds it beats a parent that holds it, which
 * beats a parent that does not, which beats a peer without ICP), at random
 * among equals. The rules a request matched are copied under the section's
 * read lock and the choice runs on the copies, so no lock is held while an
 * ICP exchange waits on the network. The same file runs the ICP server that
 * answers other proxies from the local cache.
 *
 * Datagrams are untrusted: a message is one datagram whose length field
 * matches what arrived; only queries are answered, and only the first reply
 * from the very address and port we asked counts, so a stray or spoofed
 * datagram neither sets up a reply loop between two proxies nor decides a
 * route.
 */
#include "forward.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <memory>

#include "cache.h"
#include "compat.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "network.h"
#include "options.h"
#include "process.h"
#include "profiles.h"

static std::string forward_own_name();
static bool forward_is_connect(const HEADER *h);
static void forward_route_set(CONNECTION_T *conn, const Forward *rule);
static void forward_credential_set(char **field, const std::string &value);
static uint32_t carp_ror(uint32_t value, unsigned bits);
static uint32_t carp_text_hash(const char *text);
static void icp_query_url(const HEADER *h, char *out, size_t size);
static uint32_t icp_address_of(const char *text);

/* The options, by position. */
static const FieldDecl forward_global_fields[] = {
    {  0, "enabled",      FIELD_BOOL },
    {  1, "carp",         FIELD_BOOL },
    {  2, "carp-buckets", FIELD_UINT },
};

/* The fields of an entry of the list peer, by position. */
static const FieldDecl forward_peer_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "host",       FIELD_STRING },
    {  4, "user",       FIELD_STRING },
    {  5, "password",   FIELD_STRING },
    {  6, "domain",     FIELD_STRING },
    {  7, "port",       FIELD_INT },
    {  8, "icp-type",   FIELD_STRING_SELECT_ONE },
    {  9, "icp-port",   FIELD_INT },
    { 10, "proxy-type", FIELD_STRING_SELECT_ONE },
    { 11, "protocols",  FIELD_STRING_SELECT_MANY },
};

static_assert(offsetof(icp_packet, payload) == ICP_HEADER_BYTES, "ICP header layout");
static_assert(sizeof(icp_packet) >= ICP_PACKET_MAX, "ICP packet buffer");

ForwardSection *forward_section = nullptr;

ForwardSection::ForwardSection() : Section("forward", SECTION_RWLOCK)
{
    fields_require(forward_global_fields);
    list_require(0, "peer", forward_peer_fields, std::size(forward_peer_fields));
    pthread_mutex_init(&status_lock, nullptr);
}

ForwardSection::~ForwardSection()
{
    pthread_mutex_destroy(&status_lock);
}

void ForwardSection::update()
{
    {
        MutexGuard guard(&status_lock);
        down_since.clear();
    }
    rules.clear();
    rules.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        const FieldVector &f = item.fields;
        rules.emplace_back();
        Forward &r = rules.back();
        r.id = item.id;
        r.enabled = f[0].value != 0;
        r.comment = f[1].text;
        r.profiles = f[2].list;
        r.host = f[3].text;
        r.user = f[4].text;
        r.password = f[5].text;
        r.domain = f[6].text;
        r.port = f[7].value;
        r.icp_type = f[8].value;
        r.icp_port = f[9].value;
        r.proxy_type = f[10].value;
        r.protocols = (unsigned)f[11].value;
        /* ICP speaks to a dotted IPv4 address only; a peer with another
         * host is never asked, and says so once here. */
        r.icp_address_valid = inet_pton(AF_INET, r.host.c_str(), &r.icp_address) == 1;
        if (r.enabled && r.icp_type != FORWARD_ICP_NONE && !r.host.empty() && !r.icp_address_valid)
            putlog(LOG_FORWARD, "error: ICP peer %s is not a dotted IPv4 address, not asked",
                   log_field(r.host, true).c_str());
    }
}

time_t ForwardSection::get_status(const Forward *rule)
{
    MutexGuard guard(&status_lock);
    auto mark = down_since.find(rule->id);
    return mark == down_since.end() ? 0 : mark->second;
}

void ForwardSection::set_status(const Forward *rule, int down)
{
    set_status_since(rule, down ? time(nullptr) : 0);
}

void ForwardSection::set_status_since(const Forward *rule, time_t since)
{
    MutexGuard guard(&status_lock);
    if (since)
        down_since[rule->id] = since;
    else
        down_since.erase(rule->id);
}

/* The proxy's own host name: the command line's, else the general
 * section's. */
static std::string forward_own_name()
{
    if (proxyhost[0])
        return proxyhost;
    return general_section ? general_section->hostname_get() : std::string();
}

static bool forward_is_connect(const HEADER *h)
{
    return h->type == HEADER_CONNECT || (h->method && strcasecmp(h->method, "CONNECT") == 0);
}

int ForwardSection::forward_do(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    std::string own = forward_own_name();
    std::vector<Forward> matched;   /* copies; the candidates point here */
    std::vector<proxy_candidate> candidates;
    {
        SectionReadGuard guard(*this);
        if (h && !(conn->bypass & BYPASS_FORWARD) && fields[0].value) {
            candidates = candidates_collect(conn, own);
            matched.reserve(candidates.size());   /* no reallocation moves them */
            for (proxy_candidate &c : candidates) {
                matched.push_back(*c.rule);
                c.rule = &matched.back();
            }
        }
    }
    const Forward *chosen = candidates.empty() ? nullptr : proxy_select(conn, candidates, own);
    forward_route_set(conn, chosen);
    if (chosen)
        putlog(LOG_FORWARD, "forwarding to %s:%d", conn->proxy_host, conn->proxy_port);
    return 0;
}

/* Replaces *field by a copy of value, or clears it when value is empty. */
static void forward_credential_set(char **field, const std::string &value)
{
    free(*field);
    *field = value.empty() ? nullptr : xstrdup(value.c_str());
}

/* The route of the chosen rule, or direct for NULL. Every credential is set
 * from the rule or cleared, so none of a previous request's upstream can
 * reach this one's. */
static void forward_route_set(CONNECTION_T *conn, const Forward *rule)
{
    static const std::string none;
    if (!rule) {
        free(conn->proxy_host);
        conn->proxy_host = nullptr;
        forward_credential_set(&conn->proxy_user, none);
        forward_credential_set(&conn->proxy_password, none);
        forward_credential_set(&conn->proxy_domain, none);
        return;
    }
    conn->forward_type = rule->proxy_type;
    free(conn->proxy_host);
    conn->proxy_host = xstrdup(rule->host.c_str());
    forward_credential_set(&conn->proxy_user, rule->user);
    forward_credential_set(&conn->proxy_password, rule->password);
    forward_credential_set(&conn->proxy_domain, rule->domain);
    if (rule->port == -1)
        conn->proxy_port = rule->proxy_type == FORWARD_CONNECT ? 443 : 3128;
    else
        conn->proxy_port = rule->port;
}

std::vector<proxy_candidate> ForwardSection::candidates_collect(CONNECTION_T *conn,
                                                                const std::string &own)
{
    std::vector<proxy_candidate> out;
    const HEADER *h = conn->header;
    bool connect = forward_is_connect(h);
    const char *scheme = h->protocol ? h->protocol : "";
    for (const Forward &r : rules) {
        if (!r.enabled)
            continue;
        if (!own.empty() && r.host == own)
            continue;   /* this proxy itself; no name names no rule */
        if (connect) {
            if (!(r.protocols & FORWARD_PROTO_CONNECT))
                continue;
        } else if (strcasecmp(scheme, "http") == 0) {
            if (!(r.protocols & FORWARD_PROTO_HTTP))
                continue;
        } else if (strcasecmp(scheme, "ftp") == 0) {
            if (!(r.protocols & FORWARD_PROTO_FTP))
                continue;
        }
        if (!profile_find(conn->profiles, r.profiles))
            continue;
        if (r.host.empty())
            break;   /* a stop marker: the rest go direct */
        if (r.proxy_type == FORWARD_HTTP) {
            if (conn->flags & CONN_HTTPS)
                continue;   /* the request goes to the origin in SSL */
            if ((conn->flags & CONN_REVALIDATE) && r.icp_type != FORWARD_ICP_NONE)
                continue;
        }
        proxy_candidate c;
        c.rule = &r;
        out.push_back(c);
    }
    return out;
}

const Forward *ForwardSection::proxy_select(CONNECTION_T *conn,
                                            std::vector<proxy_candidate> &candidates,
                                            const std::string &own_name)
{
    bool carp = atomic_read(&fields[1].value) != 0;
    if (!forward_is_connect(conn->header)) {
        if (carp)
            peer_select_carp(conn, candidates);
        else
            peer_select_icp(conn, candidates);
    }

    uint32_t highest = 0;
    for (proxy_candidate &c : candidates) {
        if (!carp && c.rule->icp_type == FORWARD_ICP_NONE)
            c.priority = FORWARD_PRIORITY_NOT_ICP;
        if (c.priority > highest)
            highest = c.priority;
    }

    if (carp) {
        const char *url = conn->header->url ? conn->header->url : "";
        uint32_t own = carp_hash(url, own_name.c_str());
        if (own >= highest)
            return nullptr;   /* this proxy owns the URL */
        conn->flags |= CONN_CARP;
    } else if (highest == 0) {
        return nullptr;
    }

    if (log_wanted(LOG_DEBUG))
        putlog(LOG_DEBUG, "forwarding: highest peer priority: %u", highest);
    unsigned count = 0;
    for (const proxy_candidate &c : candidates)
        if (c.priority == highest)
            count++;
    ASSERT(count > 0);
    unsigned n = (unsigned)rand() % count;
    const proxy_candidate *chosen = nullptr;
    for (const proxy_candidate &c : candidates) {
        if (c.priority != highest)
            continue;
        if (n == 0) {
            chosen = &c;
            break;
        }
        n--;
    }
    ASSERT(chosen != nullptr);

    /* With CARP the peer code is past the named ones and logs as NONE. */
    int code = PC_CLOEST_DIRECT + 1;
    if (!carp) {
        switch ((forward_icp_type)chosen->rule->icp_type) {
        case FORWARD_ICP_PARENT:
            code = chosen->reply == ICP_OP_HIT ? PC_PARENT_HIT : PC_FIRST_PARENT_MISS;
            break;
        case FORWARD_ICP_SIBLING:
            code = PC_SIBLING_HIT;
            break;
        case FORWARD_ICP_NONE:
            code = PC_DEFAULT_PARENT;
            break;
        }
    }
    conn->logentry.set_peercode(code);
    return chosen->rule;
}

/* CARP. */

static uint32_t carp_ror(uint32_t value, unsigned bits)
{
    return (value >> bits) | (value << (32 - bits));
}

/* The running hash of a text; each byte counts as a signed value, so a byte
 * of 0x80 or more adds a negative number. */
static uint32_t carp_text_hash(const char *text)
{
    uint32_t hash = 0;
    for (const char *p = text; *p; p++) {
        uint32_t c = (uint32_t)(int32_t)(signed char)*p;
        hash += carp_ror(hash, 13) + c;
    }
    return hash;
}

uint32_t carp_hash_buckets(const char *url, const char *member, uint32_t buckets)
{
    uint32_t url_hash = carp_text_hash(url ? url : "");
    uint32_t member_hash = 0;
    if (member && *member)
        member_hash = carp_ror(carp_text_hash(member) * 0x62531966u, 11);
    uint32_t combined = carp_ror((url_hash ^ member_hash) * 0x62531966u, 11);
    return buckets ? combined % buckets : combined;
}

uint32_t ForwardSection::carp_hash(const char *url, const char *member)
{
    return carp_hash_buckets(url, member, atomic_read(&fields[2].uvalue));
}

void ForwardSection::peer_select_carp(CONNECTION_T *conn, std::vector<proxy_candidate> &candidates)
{
    const char *url = conn->header->url ? conn->header->url : "";
    uint32_t buckets = atomic_read(&fields[2].uvalue);
    for (proxy_candidate &c : candidates)
        c.priority = carp_hash_buckets(url, c.rule->host.c_str(), buckets);
}

/* ICP client. */

/* The URL of the query: without the port when it is the scheme's default,
 * else the request's full URL; at most size - 1 characters. */
static void icp_query_url(const HEADER *h, char *out, size_t size)
{
    const char *scheme = h->protocol ? h->protocol : "";
    if (h->port == protocol_port(scheme))
        snprintf(out, size, "%s://%s%s", scheme, h->host ? h->host : "", h->path ? h->path : "");
    else
        snprintf(out, size, "%s", h->url ? h->url : "");
}

/* A dotted IPv4 address in network order, 0 when text is not one. */
static uint32_t icp_address_of(const char *text)
{
    struct in_addr a = {};
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return 0;
    return a.s_addr;
}

void ForwardSection::peer_select_icp(CONNECTION_T *conn, std::vector<proxy_candidate> &candidates)
{
    const HEADER *h = conn->header;
    /* Packets live on the heap: a worker's stack may be small. */
    std::unique_ptr<icp_packet> query(new icp_packet());
    char url[URL_TEXT_MAX + 1];
    icp_query_url(h, url, sizeof url);
    size_t url_len = strlen(url);
    query->opcode = ICP_OP_QUERY;
    query->version = ICP_VERSION;
    query->length = htons((uint16_t)(ICP_QUERY_HEAD_BYTES + url_len + 1));
    query->options = 0;
    query->option_data = 0;
    query->sender = icp_address_of(conn->interface);
    uint32_t requester = icp_address_of(conn->ip);
    memcpy(query->payload, &requester, 4);
    memcpy(query->payload + 4, url, url_len + 1);

    int fd = -1;
    int outstanding = 0;
    time_t now = time(nullptr);
    for (proxy_candidate &c : candidates) {
        const Forward *r = c.rule;
        if (r->icp_type == FORWARD_ICP_NONE || !r->icp_address_valid)
            continue;
        time_t down = get_status(r);
        if (down) {
            if (now - down < ICP_DOWN_SECONDS)
                continue;   /* still down: not asked, mark kept */
            set_status(r, 0);
        }
        c.reply = ICP_REPLY_NONE;
        if (fd < 0) {
            fd = icp_socket_open(htonl(INADDR_ANY), 0);
            if (fd < 0)
                continue;   /* the next candidate tries again */
        }
        c.reqnum = (int32_t)rand();
        query->reqnum = htonl((uint32_t)c.reqnum);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_addr = r->icp_address;
        to.sin_port = htons((uint16_t)r->icp_port);
        if (r->icp_port <= 0 || r->icp_port > 65535 || icp_packet_send(fd, &to, query.get()) < 0) {
            putlog(LOG_ICP, "error: failed to send ICP query to %s:%d", r->host.c_str(),
                   r->icp_port);
            continue;
        }
        c.asked = true;
        outstanding++;
    }

    if (fd >= 0) {
        int timeout_ms = cache_section ? cache_section->icptimeout_get() : 0;
        if (timeout_ms < 0)
            timeout_ms = 0;
        int64_t deadline = monotonic_ms() + timeout_ms;
        std::unique_ptr<icp_packet> reply(new icp_packet());
        while (outstanding > 0) {
            int64_t left = deadline - monotonic_ms();
            if (left <= 0)
                break;
            struct pollfd p = { fd, POLLIN, 0 };
            int rc = poll(&p, 1, (int)left);
            if (rc < 0 && errno == EINTR)
                continue;
            if (rc <= 0)
                break;
            sockaddr_in from = {};
            if (icp_packet_receive(fd, &from, reply.get()) < 0) {
                putlog(LOG_ICP, "error: failed to receive ICP packet");
                continue;
            }
            char from_text[INET_ADDRSTRLEN] = "";
            inet_ntop(AF_INET, &from.sin_addr, from_text, sizeof from_text);
            int from_port = ntohs(from.sin_port);
            putlog(LOG_ICP, "response opcode from %s:%d: %s", from_text, from_port,
                   icp_opcode_name(reply->opcode));
            int32_t reqnum = (int32_t)ntohl(reply->reqnum);
            proxy_candidate *match = nullptr;
            for (proxy_candidate &c : candidates) {
                if (c.asked && c.reply == ICP_REPLY_NONE && c.reqnum == reqnum &&
                    c.rule->icp_address.s_addr == from.sin_addr.s_addr &&
                    c.rule->icp_port == from_port) {
                    match = &c;
                    break;
                }
            }
            if (!match) {
                putlog(LOG_ICP, "error: received unknown ICP response number");
                continue;
            }
            match->reply = reply->opcode;
            outstanding--;
        }
        close(fd);
    }

    for (proxy_candidate &c : candidates) {
        if (!c.asked)
            continue;
        if (c.reply == ICP_REPLY_NONE) {
            putlog(LOG_FORWARD, "error: no ICP response received from %s", c.rule->host.c_str());
            set_status(c.rule, 1);
            continue;
        }
        if (c.reply == ICP_OP_HIT && c.rule->icp_type == FORWARD_ICP_SIBLING)
            c.priority = FORWARD_PRIORITY_SIBLING_HIT;
        else if (c.reply == ICP_OP_HIT && c.rule->icp_type == FORWARD_ICP_PARENT)
            c.priority = FORWARD_PRIORITY_PARENT_HIT;
        else if (c.reply == ICP_OP_MISS && c.rule->icp_type == FORWARD_ICP_PARENT)
            c.priority = FORWARD_PRIORITY_PARENT_MISS;
        else
            c.priority = 0;
    }
}

/* ICP messages. */

const char *icp_opcode_name(int opcode)
{
    switch (opcode) {
    case ICP_OP_INVALID: return "ICP_OP_INVALID";
    case ICP_OP_QUERY: return "ICP_OP_QUERY";
    case ICP_OP_HIT: return "ICP_OP_HIT";
    case ICP_OP_MISS: return "ICP_OP_MISS";
    case ICP_OP_ERR: return "ICP_OP_ERR";
    case ICP_OP_SECHO: return "ICP_OP_SECHO";
    case ICP_OP_DECHO: return "ICP_OP_DECHO";
    case ICP_OP_MISS_NOFETCH: return "ICP_OP_MISS_NOFETCH";
    case ICP_OP_DENIED: return "ICP_OP_DENIED";
    case ICP_OP_HIT_OBJ: return "ICP_OP_HIT_OBJ";
    default: return "ICP_OP_UNKNOWN";   /* any byte a peer sends */
    }
}

int icp_packet_send(int socket, const sockaddr_in *to, const icp_packet *packet)
{
    size_t length = ntohs(packet->length);
    if (length < ICP_HEADER_BYTES)
        return -1;
    ssize_t n = sendto(socket, packet, length, 0, (const sockaddr *)to, sizeof *to);
    return n == (ssize_t)length ? (int)n : -1;
}

int icp_packet_receive(int socket, sockaddr_in *from, icp_packet *packet)
{
    socklen_t from_len = sizeof *from;
    memset(from, 0, sizeof *from);
    /* MSG_TRUNC reports the datagram's real size, so one too long for the
     * buffer is seen and dropped rather than read cut short. */
    ssize_t n = recvfrom(socket, packet, sizeof *packet, MSG_DONTWAIT | MSG_TRUNC,
                         (sockaddr *)from, &from_len);
    if (n <= 0)
        return -1;
    if (n < ICP_HEADER_BYTES || ntohs(packet->length) < ICP_HEADER_BYTES) {
        putlog(LOG_ICP, "error: ICP packet too short");
        return -1;
    }
    if ((size_t)n > sizeof *packet || ntohs(packet->length) != (size_t)n) {
        putlog(LOG_ICP, "error: ICP packet length %u does not match the %lld bytes received",
               (unsigned)ntohs(packet->length), (long long)n);
        return -1;
    }
    return (int)n;
}

/* ICP server. */

int icp_query_answer(icp_packet *packet, int length)
{
    if (packet->opcode != ICP_OP_QUERY) {
        putlog(LOG_ICP, "error: unhandled ICP opcode: %s", icp_opcode_name(packet->opcode));
        return 0;
    }
    /* Replies carry no options of their own. */
    packet->options = 0;
    packet->option_data = 0;
    const char *url = (const char *)packet->payload + 4;
    if (length <= ICP_QUERY_HEAD_BYTES ||
        !memchr(url, '\0', (size_t)(length - ICP_QUERY_HEAD_BYTES))) {
        putlog(LOG_ICP, "error: received ICP QUERY with no payload");
        packet->opcode = ICP_OP_INVALID;
        packet->length = htons(ICP_HEADER_BYTES);
        return ICP_HEADER_BYTES;
    }
    std::unique_ptr<URL, void (*)(URL *)> parsed(url_parse(url), url_free);
    if (!parsed) {
        putlog(LOG_ICP, "error: received invalid URL in query");
        packet->opcode = ICP_OP_INVALID;
        packet->length = htons(ICP_HEADER_BYTES);
        return ICP_HEADER_BYTES;
    }
    std::unique_ptr<char, void (*)(void *)> key(url_create(parsed.get()), free);
    bool hit = cache_section && cache_section->exists(key.get());
    putlog(LOG_ICP, hit ? "hit: %s" : "miss: %s", log_field(key.get(), true).c_str());
    /* The reply carries the query's URL as it came, without the requester
     * address. */
    int reply_length = length - 4;
    memmove(packet->payload, packet->payload + 4, (size_t)(length - ICP_QUERY_HEAD_BYTES));
    packet->opcode = hit ? ICP_OP_HIT : ICP_OP_MISS;
    packet->length = htons((uint16_t)reply_length);
    return reply_length;
}

int icp_socket_open(uint32_t address, int port)
{
    int fd = s_socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = address;
    a.sin_port = htons((uint16_t)port);
    if (port < 0 || port > 65535 || bind(fd, (const sockaddr *)&a, sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int icp_server_handle(int socket, icp_packet *packet)
{
    sockaddr_in from = {};
    int n = icp_packet_receive(socket, &from, packet);
    if (n < 0)
        return -1;
    int reply = icp_query_answer(packet, n);
    if (reply <= 0)
        return -1;
    if (icp_packet_send(socket, &from, packet) < 0)
        return -1;
    return packet->opcode;
}

std::vector<uint32_t> icp_server_addresses(const std::vector<std::string> &listen_addresses)
{
    std::vector<uint32_t> out;
    for (const std::string &text : listen_addresses) {
        struct in_addr a = {};
        if (text.empty())
            return { htonl(INADDR_ANY) };
        if (inet_pton(AF_INET, text.c_str(), &a) == 1 &&
            std::find(out.begin(), out.end(), a.s_addr) == out.end())
            out.push_back(a.s_addr);
    }
    return out;
}

void *icp_thread(void *)
{
    int port = cache_section ? cache_section->icpport_get() : 0;
    if (port == 0)
        return nullptr;
    /* Peers reach the ICP server where clients reach the proxy, never on
     * an address the administrator did not open. */
    std::vector<struct pollfd> fds;
    for (uint32_t address : icp_server_addresses(net_listen_addresses())) {
        char text[INET_ADDRSTRLEN] = "*";
        if (address != htonl(INADDR_ANY))
            inet_ntop(AF_INET, &address, text, sizeof text);
        int fd = icp_socket_open(address, port);
        if (fd < 0) {
            putlog(LOG_ERROR, "ICP: failed to start ICP thread");
            continue;
        }
        putlog(LOG_ICP, "network: listening on port %s:%d", text, port);
        fds.push_back({ fd, POLLIN, 0 });
    }
    if (fds.empty())
        return nullptr;
    /* Owned by this thread for ever: the server runs until the process
     * ends. */
    icp_packet *packet = new icp_packet();
    for (;;) {
        if (poll(fds.data(), fds.size(), -1) <= 0)
            continue;
        for (struct pollfd &p : fds)
            if (p.revents & POLLIN)
                (void)icp_server_handle(p.fd, packet);
    }
    return nullptr;
}
