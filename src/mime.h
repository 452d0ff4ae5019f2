#pragma once

#include "section.h"

/* The MIME rules: refuse responses by content type (section
 * "mime-filtering"). */
class MimeSection : public Section {
public:
    MimeSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern MimeSection *mime_section;
