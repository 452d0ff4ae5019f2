#pragma once

#include <netinet/in.h>
#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "configtypes.h"
#include "section.h"

struct CONNECTION_T;

/* A rule's ICP role: the options of its icp-type field, in order. */
enum forward_icp_type {
    FORWARD_ICP_NONE = 0,      /* not an ICP peer */
    FORWARD_ICP_PARENT = 1,
    FORWARD_ICP_SIBLING = 2,   /* used only when it holds the URL */
};

/* The schemes a rule serves: bits of its protocols field. */
enum {
    FORWARD_PROTO_HTTP = 0x1,
    FORWARD_PROTO_FTP = 0x2,
    FORWARD_PROTO_CONNECT = 0x4,   /* CONNECT requests */
};

/* ICP opcodes. */
enum icp_opcode {
    ICP_OP_INVALID = 0,
    ICP_OP_QUERY = 1,
    ICP_OP_HIT = 2,
    ICP_OP_MISS = 3,
    ICP_OP_ERR = 4,
    ICP_OP_SECHO = 10,
    ICP_OP_DECHO = 11,
    ICP_OP_MISS_NOFETCH = 21,
    ICP_OP_DENIED = 22,
    ICP_OP_HIT_OBJ = 23,
};

/* The fixed head of every ICP message, and of a query with its requester
 * address. */
#define ICP_HEADER_BYTES 20
#define ICP_QUERY_HEAD_BYTES 24
/* The largest ICP message buffer. */
#define ICP_PACKET_MAX 65546
/* The version written into our queries: 2, the version of RFC 2186. Peers
 * that know a version 3 may mishandle it (squid 5 stops on a version 3
 * query), while every ICP peer answers version 2. */
#define ICP_VERSION 2
/* No reply has arrived for a candidate yet. */
#define ICP_REPLY_NONE 0xFF
/* Seconds a peer that left a query unanswered is not asked again. */
#define ICP_DOWN_SECONDS 30

/* The priorities an ICP answer gives its rule. */
enum {
    FORWARD_PRIORITY_SIBLING_HIT = 1000,
    FORWARD_PRIORITY_PARENT_HIT = 100,
    FORWARD_PRIORITY_PARENT_MISS = 10,
    FORWARD_PRIORITY_NOT_ICP = 1,   /* with CARP off, a rule without ICP */
};

/* One upstream peer, built by ForwardSection::update from an entry of the
 * list peer; owned by the section's rule list. A request chooses among
 * copies of the rules it matched, so the choice needs no section lock. */
struct Forward {
    int id = 0;                  /* the entry's id: the key of its down mark */
    bool enabled = false;
    std::string comment;
    StringList profiles;
    std::string host;            /* empty: a stop marker */
    std::string user;
    std::string password;
    std::string domain;
    int port = -1;               /* -1: 443 for FORWARD_CONNECT, 3128 otherwise */
    int icp_type = FORWARD_ICP_NONE;
    int icp_port = 0;
    int proxy_type = 0;          /* forward_type_t: FORWARD_HTTP .. FORWARD_CONNECT */
    unsigned protocols = 0;      /* FORWARD_PROTO_* */
    bool icp_address_valid = false;   /* host is a dotted IPv4 address */
    struct in_addr icp_address = {};  /* host parsed, when valid */
};

/* One candidate of the current request; lives for one forward_do call and
 * points into that call's copies of the rules. */
struct proxy_candidate {
    int32_t reqnum = 0;           /* the request number of our ICP query */
    uint32_t priority = 0;
    int reply = ICP_REPLY_NONE;   /* the opcode of the peer's ICP reply */
    bool asked = false;           /* an ICP query went to the peer */
    const Forward *rule = nullptr;
};

/* An ICP message as it travels, every field in network byte order. The
 * payload of a query is the requester's address (4 bytes) and the URL with
 * its NUL; that of a reply the URL with its NUL. */
struct icp_packet {
    uint8_t opcode;
    uint8_t version;
    uint16_t length;       /* the whole message */
    uint32_t reqnum;
    uint32_t options;
    uint32_t option_data;
    uint32_t sender;       /* sender host address */
    unsigned char payload[ICP_PACKET_MAX - ICP_HEADER_BYTES];
};

/* The upstream proxies and the choice among them (CARP, ICP) (section
 * "forward"). */
class ForwardSection : public Section {
public:
    ForwardSection();
    ~ForwardSection() override;

    /* Rebuilds the section's rules from its entries, clearing every down
     * mark; called with the write lock held. */
    void update() override;

    /* Chooses the route of conn's request. The matching rules are collected
     * and copied under the read lock; the choice among the copies (with its
     * ICP exchange) runs after the lock is released, so no lock is held
     * while waiting on the network. When a peer is chosen, sets
     * forward_type, proxy_host, proxy_port and all three upstream
     * credentials (a credential the rule leaves empty is cleared); when the
     * request goes direct, clears proxy_host and the credentials and leaves
     * forward_type as the caller set it (FORWARD_DIRECT), so no credential
     * reaches a different upstream. Returns 0. */
    int forward_do(CONNECTION_T *conn);

    /* The rules that may take conn's request, in configuration order, each
     * with priority 0; collection stops at a matching rule without a host.
     * own is the proxy's own host name. The caller holds the read lock. */
    std::vector<proxy_candidate> candidates_collect(CONNECTION_T *conn, const std::string &own);

    /* Gives the candidates their priorities and chooses one; own is the
     * proxy's own host name, its CARP member name. Sets CONN_CARP and the
     * log entry's peer code for a chosen peer. Returns the chosen rule (one
     * the candidates point to) or NULL (direct). Called without the section
     * lock: it reads the options one at a time. */
    const Forward *proxy_select(CONNECTION_T *conn, std::vector<proxy_candidate> &candidates,
                                const std::string &own);

    /* Every candidate's priority becomes carp_hash(URL, rule host). */
    void peer_select_carp(CONNECTION_T *conn, std::vector<proxy_candidate> &candidates);

    /* The ICP client: asks the candidates that are ICP peers (and not
     * marked down) whether they hold the URL, waits for the first reply of
     * each for at most the cache section's ICP time-out in all, and gives
     * the priorities of their answers; a peer that stays silent is marked
     * down. Called without the section lock. */
    void peer_select_icp(CONNECTION_T *conn, std::vector<proxy_candidate> &candidates);

    /* The CARP score of url for member, modulo the carp-buckets option when
     * it is not 0. Takes the read lock for the option: called without it. */
    uint32_t carp_hash(const char *url, const char *member);

    /* A rule's down mark: the time it was set, 0 when not down. set_status
     * sets it to now (down non-zero) or clears it; set_status_since sets it
     * to a given time (0 clears it). A mark set for a rule that a rebuild
     * has since replaced is never read again. */
    time_t get_status(const Forward *rule);
    void set_status(const Forward *rule, int down);
    void set_status_since(const Forward *rule, time_t since);

    /* The rules, rebuilt by update(); read under the section lock. */
    std::vector<Forward> rules;

private:
    pthread_mutex_t status_lock;        /* guards down_since */
    std::map<int, time_t> down_since;   /* rule id -> when it went down */
};

/* The one instance, created by sections_create. */
extern ForwardSection *forward_section;

/* The CARP score with an explicit bucket count (0: none): the URL's and the
 * member's hashes combined, characters taken as signed bytes. */
uint32_t carp_hash_buckets(const char *url, const char *member, uint32_t buckets);

/* The name of an ICP opcode, "ICP_OP_UNKNOWN" for values without one. */
const char *icp_opcode_name(int opcode);

/* Sends the message to *to, its length taken from its length field.
 * Returns the bytes sent or -1. */
[[nodiscard]] int icp_packet_send(int socket, const sockaddr_in *to, const icp_packet *packet);

/* Reads exactly one waiting datagram without blocking into packet and
 * stores its sender in *from. Returns the message length, or -1 when
 * nothing could be read, the datagram is shorter than an ICP header
 * ("error: ICP packet too short"), too long for the buffer, or its length
 * field differs from the bytes that arrived; the packet is then not to be
 * used. */
[[nodiscard]] int icp_packet_receive(int socket, sockaddr_in *from, icp_packet *packet);

/* Turns a received message of length bytes into the reply in place.
 * Returns the reply's length, or 0 when the message gets no answer (it is
 * not a query: replies, errors and unknown opcodes are never answered, so
 * two proxies cannot answer each other for ever). A query without a URL
 * or with one that does not parse is answered ICP_OP_INVALID; a valid one
 * ICP_OP_HIT when the cache holds the normalised URL, else ICP_OP_MISS. */
[[nodiscard]] int icp_query_answer(icp_packet *packet, int length);

/* A UDP socket bound to address (network order) and port; -1 on failure. */
[[nodiscard]] int icp_socket_open(uint32_t address, int port);

/* Answers one waiting datagram on the ICP server socket. Returns the
 * opcode sent, or -1 when nothing was sent. */
int icp_server_handle(int socket, icp_packet *packet);

/* The addresses (network order) the ICP server binds, from the addresses
 * the proxy listens on ("" for every address): INADDR_ANY when one is
 * every address, else each distinct address; none for none. */
std::vector<uint32_t> icp_server_addresses(const std::vector<std::string> &listen_addresses);

/* The ICP server: answers other proxies' queries from the cache on the cache
 * section's ICP port (none when 0), on the addresses the proxy listens on.
 * Runs on a service thread of its own. */
void *icp_thread(void *arg);
