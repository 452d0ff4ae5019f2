#pragma once

#include "section.h"

/* The limits: time windows, request counts, transfer caps and bandwidth
 * (section "limits"). */
class LimitSection : public Section {
public:
    LimitSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern LimitSection *limit_section;
