#pragma once

#include "section.h"

/* The URL filter: refuses requests by host, path and resolved address
 * (section "url-filtering"). */
class FilterSection : public Section {
public:
    FilterSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern FilterSection *filter_section;
