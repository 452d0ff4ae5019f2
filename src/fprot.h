#pragma once

#include "section.h"

/* The F-Prot virus scanner adapter (section "fprot"). */
class FProtSection : public Section {
public:
    FProtSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern FProtSection *fprot_section;
