#pragma once

#include "section.h"

/* The URL blacklist: refuses requests listed in a category directory (section
 * "urlblacklist"). */
class URLBLSection : public Section {
public:
    URLBLSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern URLBLSection *urlbl_section;
