/*
 * Reference counts for objects shared between threads (rate groups,
 * statistics). One process-wide mutex guards every count: the counts change
 * rarely, and one lock keeps the rule simple.
 */
#include "atom.h"

#include "mem.h"

pthread_mutex_t atomlock = PTHREAD_MUTEX_INITIALIZER;

Atom::~Atom()
{
    if (refs != 0)
        fatal_error("src/atom", __LINE__, "~Atom", "object deleted with %d references left", refs);
}

Atom *Atom::New()
{
    pthread_mutex_lock(&atomlock);
    refs++;
    pthread_mutex_unlock(&atomlock);
    return this;
}

bool Atom::Delete()
{
    pthread_mutex_lock(&atomlock);
    ASSERT(refs > 0);
    bool last = --refs == 0;
    pthread_mutex_unlock(&atomlock);
    return last;
}
