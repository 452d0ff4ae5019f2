#pragma once

#include "section.h"

/* The object cache and its configuration: memory limits, disk stores and
 * freshness rules (section "cache"). */
class CacheSection : public Section {
public:
    CacheSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern CacheSection *cache_section;
