/*
 * DNS blacklist. The domain of the request host is looked up under a
 * configured zone, and an answer inside the configured address list refuses
 * the request. The lookup goes through the DNS cache, so a listed domain is
 * asked once per cache lifetime; an unlisted one (no answer) is asked for
 * every request, as the cache keeps no negative answers.
 *
 * The lookup can wait on a DNS server, so the section lock is held only to
 * copy the options; the lookup and the refusal page are made without it.
 */
#include "dnsbl.h"

#include <arpa/inet.h>

#include <cstring>
#include <memory>
#include <string>

#include "access.h"
#include "compat.h"
#include "connection.h"
#include "dnscache.h"
#include "header.h"
#include "hooks.h"
#include "log.h"
#include "templates.h"

/* The options, by position. */
static const FieldDecl dnsbl_global_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "template",  FIELD_STRING },
    {  2, "zone",      FIELD_STRING },
    {  3, "addresses", FIELD_IP_RANGE_LIST },
};

DnsblSection *dnsbl_section = nullptr;

DnsblSection::DnsblSection() : Section("dnsbl", SECTION_RWLOCK)
{
    fields_require(dnsbl_global_fields);
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    template_name = &fields[1].text;
    zone = &fields[2].text;
    addresses = &fields[3].ipranges;
    processors.Add(dnsbl_reqcheck, PROCESSOR_REQCHECK);
}

void DnsblSection::update()
{
    /* The section has no lists: its options are read where they are used. */
}

std::string dnsbl_query_name(const char *host, const std::string &zone)
{
    if (!host || zone.empty())
        return "";
    /* The last two non-empty labels, read from the end: trailing and
     * doubled dots do not count. */
    std::string last, second;
    int labels = 0;
    const char *end = host + strlen(host);
    while (end > host && labels < 2) {
        const char *start = end;
        while (start > host && start[-1] != '.')
            start--;
        if (start < end) {
            (labels == 0 ? last : second).assign(start, (size_t)(end - start));
            labels++;
        }
        end = start > host ? start - 1 : host;
    }
    if (labels == 0)
        return "";
    std::string query = labels == 2 ? second + "." + last : last;
    query += ".";
    query += zone;
    if (query.size() > DNSBL_QUERY_MAX)
        return "";
    return query;
}

int DnsblSection::check_and_block(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    std::string query, page;
    IpRangeList listed;
    {
        SectionReadGuard guard(*this);
        if (!*enabled || (conn->bypass & BYPASS_DNSBL) || zone->empty() ||
            addresses->ranges.empty() || !h || !h->host || !*h->host)
            return 0;
        query = dnsbl_query_name(h->host, *zone);
        listed = *addresses;
        page = template_name->empty() ? "blocked" : *template_name;
    }
    if (query.empty())
        return 0;

    std::unique_ptr<HOSTENT, void (*)(HOSTENT *)> answer(net_dns(query.c_str()), hostent_free);
    char address[INET_ADDRSTRLEN];
    if (!answer || !answer->addr || !inet_ntop(AF_INET, answer->addr, address, sizeof address))
        return 0;
    if (!access_address_match(listed, address))
        return 0;

    conn->variables["FILTER"] = "URL BlackList";
    conn->variables["DNSBL_IP"] = address;
    template_section->send_or_close(page.c_str(), conn, 404);
    putlog(LOG_DNSBL, "domain %s is blacklisted", h->host);
    conn->logentry.filter_name = "dnsbl";
    conn->logentry.filtering_reason = address;
    return 1;
}

int dnsbl_reqcheck(CONNECTION_T *conn, Filebuf *)
{
    return dnsbl_section->check_and_block(conn);
}
