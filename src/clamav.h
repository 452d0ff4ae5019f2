#pragma once

#include "section.h"

/* The ClamAV virus scanner adapter (section "clamav"). */
class ClamAVSection : public Section {
public:
    ClamAVSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern ClamAVSection *clamav_section;
