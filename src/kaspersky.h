#pragma once

#include "section.h"

/* The Kaspersky virus scanner adapter (section "kaspersky"). */
class KasperskySection : public Section {
public:
    KasperskySection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern KasperskySection *kaspersky_section;
