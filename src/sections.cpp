/*
 * The creation of the sections. Every section class is instantiated once,
 * in a fixed order: the order in which the sections are created is the
 * order in which their callbacks stand in each Processors list, and so the
 * order in which the request checks of the sections run (URL filter, DNS
 * blacklist, URL blacklist; the virus scanners and keyword scoring among the
 * response checks). The objects live until the process exits.
 */
#include "sections.h"

#include "access.h"
#include "cache.h"
#include "clamav.h"
#include "cookies.h"
#include "dnsbl.h"
#include "forward.h"
#include "fprot.h"
#include "ftp.h"
#include "general.h"
#include "headerfilter.h"
#include "icap.h"
#include "kaspersky.h"
#include "keywords.h"
#include "limit.h"
#include "mem.h"
#include "mime.h"
#include "network.h"
#include "profiles.h"
#include "redirect.h"
#include "rewrite.h"
#include "sophie.h"
#include "tavrin.h"
#include "templates.h"
#include "urlblacklist.h"
#include "urlfilter.h"

void sections_create()
{
    /* A second set of sections would overwrite the map entries while the
     * first set's callbacks stay registered. */
    ASSERT(access_section == nullptr);

    access_section = new AccessSection();
    filter_section = new FilterSection();
    cache_section = new CacheSection();
    general_section = new GeneralSection();
    dnsbl_section = new DnsblSection();
    network_section = new NetworkSection();
    header_section = new HeaderSection();
    template_section = new TemplateSection();
    cookie_section = new CookieSection();
    rewrite_section = new RewriteSection();
    icap_section = new ICAPSection();
    fprot_section = new FProtSection();
    kaspersky_section = new KasperskySection();
    sophie_section = new SophieSection();
    tavrin_section = new TAVRIN_Section();
    ftp_section = new FtpSection();
    profile_section = new ProfileSection();
    mime_section = new MimeSection();
    redirect_section = new RedirectSection();
    keyword_section = new KeywordSection();
    forward_section = new ForwardSection();
    limit_section = new LimitSection();
    clamav_section = new ClamAVSection();
    urlbl_section = new URLBLSection();
    /* Last, so the ICAP callbacks stand after every section's, and once:
     * the lists are read without a lock while workers run. */
    icap_register();
}
