#pragma once

#include <list>
#include <string>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

/* The modes of an ICAP service: bits of its modes field and the mode
 * argument of the exchange. */
enum icap_mode {
    ICAP_REQMOD = 1,
    ICAP_RESPMOD = 2,
};

/* The most bytes of the encapsulated HTTP headers of one ICAP reply. */
#define ICAP_ENCAPSULATED_MAX (2 * 65536)

/* One ICAP service, copied out of an entry of the list service. */
struct ICAP {
    explicit ICAP(const Item &item);

    int enabled = 0;
    std::string comment;
    StringList profiles;
    std::string host;     /* empty: never used */
    std::string path;     /* empty: never used */
    int port = 0;
    int modes = 0;        /* icap_mode bits */
};

/* The offsets of an Encapsulated value, each -1 when absent. */
struct ICAP_ENCAPSULATION {
    int64_t req_hdr = -1;
    int64_t res_hdr = -1;
    int64_t req_body = -1;
    int64_t res_body = -1;
    int64_t null_body = -1;
};

/* The ICAP services that requests and responses are passed to (section
 * "icap"). */
class ICAPSection : public Section {
public:
    ICAPSection();

    /* Rebuilds the services from list 0, in order; called with the write
     * lock held. */
    void update() override;

    /* 1 when a service applies to conn for mode (icap_mode); takes the
     * read lock. */
    int check_match(CONNECTION_T *conn, int mode);

    /* Runs the exchange with the first service that applies; 0 when none
     * does, else protocol_icap's result. */
    int process(CONNECTION_T *conn, Filebuf *body, int mode);

    /* One exchange with the ICAP server at host:port, service path. 1 when
     * a reply was received and applied; 0 when the exchange failed or the
     * server answered 204, 4xx or 5xx: the message is then unchanged. */
    int protocol_icap(CONNECTION_T *conn, Filebuf *body, int mode, const std::string &host,
                      const std::string &path, int port);

    /* The offsets of an Encapsulated value. */
    static ICAP_ENCAPSULATION encapsulation_parse(const char *value);

private:
    /* The first service for conn and mode; the caller holds the lock. */
    const ICAP *find(const CONNECTION_T *conn, int mode) const;

    std::list<ICAP> services;
};

/* The one instance, created by sections_create. */
extern ICAPSection *icap_section;

/* Registers the ICAP callbacks: once, after every section was created, so
 * they stand last in their kinds and nothing registers while workers run. */
void icap_register();

/* The registered callbacks. */
int icap_buffcheck(CONNECTION_T *conn, Filebuf *body);
/* 1 when the request goes to an ICAP service with its body. */
int icap_reqbuffcheck(CONNECTION_T *conn, Filebuf *body);
/* 1 when the ICAP server answered the request itself (conn->rheader is
 * then its response and body its body), else 0. */
int icap_reqmod(CONNECTION_T *conn, Filebuf *body);
int icap_respmod(CONNECTION_T *conn, Filebuf *body);

/* The serialised request header with every Proxy-Authorization line taken
 * out; a test seam of the encapsulation. */
std::string icap_strip_proxy_authorization(const std::string &text);
