#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "section.h"

struct CONNECTION_T;

/* The upstream proxies and the choice among them (CARP, ICP) (section
 * "forward"). */
class ForwardSection : public Section {
public:
    ForwardSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;

    /* Chooses the route of conn's request: sets forward_type, proxy_host,
     * proxy_port and the upstream credentials when a peer is chosen, leaves
     * the connection direct otherwise. The caller has set forward_type to
     * FORWARD_DIRECT. Returns 0. */
    int forward_do(CONNECTION_T *conn);
};

/* The one instance, created by sections_create. */
extern ForwardSection *forward_section;

/* The ICP server: answers other proxies' queries from the cache on the cache
 * section's ICP port (none when 0). Runs on a service thread of its own. */
void *icp_thread(void *arg);
