#pragma once

#include <string>

#include "configtypes.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

/* The longest name a DNS query can carry (without the final dot). */
#define DNSBL_QUERY_MAX 253

/*
 * The DNS blacklist (section "dnsbl"): the domain of the request host (its
 * last two labels) is looked up under a configured zone, and an answer
 * inside the configured address list refuses the request with a template
 * page and status 404.
 */
class DnsblSection : public Section {
public:
    /* Keeps pointers to the four options and registers dnsbl_reqcheck as a
     * PROCESSOR_REQCHECK callback (after the URL filter's). */
    DnsblSection();

    /* Nothing to build: the options are read at check time. */
    void update() override;

    /* 1 when the request was refused and answered with the refusal page,
     * else 0. The options are copied under the read lock; the lookup and
     * the page are made without it. */
    int check_and_block(CONNECTION_T *conn);

private:
    const int *enabled;
    const std::string *template_name;
    const std::string *zone;
    const IpRangeList *addresses;
};

/* The name to look up for host under zone: the host's last two non-empty
 * labels (trailing dots dropped; a one-label host whole), a dot and the
 * zone. "" when there is nothing to ask: an empty host or zone, or a name
 * over DNSBL_QUERY_MAX characters, which is never cut. */
std::string dnsbl_query_name(const char *host, const std::string &zone);

/* The one instance, created by sections_create. */
extern DnsblSection *dnsbl_section;

/* The PROCESSOR_REQCHECK callback of the DNS blacklist; buffer is not read. */
int dnsbl_reqcheck(CONNECTION_T *conn, Filebuf *buffer);
