/*
 * Reference counts for objects shared between threads (rate groups,
 * statistics), as atomics: a reference is taken for every request and
 * every socket, so no lock may stand in their way.
 */
#include "atom.h"

#include "mem.h"

Atom::~Atom()
{
    if (refs != 0)
        fatal_error("src/atom", __LINE__, "~Atom", "object deleted with %d references left",
                    refs.load());
}

Atom *Atom::New()
{
    refs.fetch_add(1, std::memory_order_relaxed);
    return this;
}

bool Atom::Delete()
{
    /* The release orders this holder's use before the deletion; the
     * acquire of the last one sees every other holder's. */
    int before = refs.fetch_sub(1, std::memory_order_acq_rel);
    ASSERT(before > 0);
    return before == 1;
}
