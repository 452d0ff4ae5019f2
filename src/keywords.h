#pragma once

#include "section.h"

/* Keyword scoring of page content (section "keywords-filtering"). */
class KeywordSection : public Section {
public:
    KeywordSection();

    /* Rebuilds the section's rules from its entries; called with the write
     * lock held. */
    void update() override;
};

/* The one instance, created by sections_create. */
extern KeywordSection *keyword_section;
