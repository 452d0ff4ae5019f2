#pragma once

#include "section.h"

/* The redirect rules: rewrite request URLs and redirect locations (section
 * "redirect"). */
class RedirectSection : public Section {
public:
    RedirectSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern RedirectSection *redirect_section;
