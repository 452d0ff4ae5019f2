/*
 * The dispatch table of the web interface and its statistics pages. A
 * page is a function that appends its HTML inside the interface frame,
 * after the login and the top menu; the table maps page paths to those
 * functions. A menu link whose page is not in the table shows the frame
 * and menu alone. The rows keep the order of the menu's pages as they are
 * added: connections, dnscache, headers, config, save, load, log, cache,
 * pool, prefetch, stats, urlbl, tavrin. The statistics trees escape every
 * counter name themselves, since host, user and content-type names come
 * from requests.
 */
#include "interface.h"

#include "main.h"
#include "stats.h"
#include "tavrin.h"

const interface_page_t pages[] = {
    { "/stats", interface_page_stats },
    { "/tavrin", interface_page_tavrin },
    { nullptr, nullptr },
};

void interface_page_stats(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    if (Stats *stats = globalstats())
        stats->Display(page);
}
