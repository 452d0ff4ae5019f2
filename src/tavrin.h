#pragma once

#include "section.h"

/* The Tavrin category rating and its category rules (section "Tavrin"). */
class TAVRIN_Section : public Section {
public:
    TAVRIN_Section();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern TAVRIN_Section *tavrin_section;
