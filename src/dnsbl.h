#pragma once

#include "section.h"

/* The DNS blacklist: refuses requests whose domain a blacklist zone lists
 * (section "dnsbl"). */
class DnsblSection : public Section {
public:
    DnsblSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern DnsblSection *dnsbl_section;
