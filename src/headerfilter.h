#pragma once

#include "section.h"

/* The header rules: which header lines pass, and which are added (section
 * "header-filtering"). */
class HeaderSection : public Section {
public:
    HeaderSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern HeaderSection *header_section;
