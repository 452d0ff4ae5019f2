#pragma once

#include "section.h"

/* The Sophie virus scanner adapter (section "sophie"). */
class SophieSection : public Section {
public:
    SophieSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern SophieSection *sophie_section;
