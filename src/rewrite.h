#pragma once

#include "section.h"

/* The rewrite rules: regular-expression substitutions in headers and bodies
 * (section "rewrite"). */
class RewriteSection : public Section {
public:
    RewriteSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern RewriteSection *rewrite_section;
