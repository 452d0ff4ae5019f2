#pragma once

#include "section.h"

/* The upstream proxies and the choice among them (CARP, ICP) (section
 * "forward"). */
class ForwardSection : public Section {
public:
    ForwardSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern ForwardSection *forward_section;
