#pragma once

#include "section.h"

/* The ICAP services that requests and responses are passed to (section
 * "icap"). */
class ICAPSection : public Section {
public:
    ICAPSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern ICAPSection *icap_section;
