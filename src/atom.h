#pragma once

#include <pthread.h>

/* Guards every Atom's count. */
extern pthread_mutex_t atomlock;

/* An intrusive reference count, the first base of shared objects. The count
 * is changed only under atomlock. */
class Atom {
public:
    Atom() : refs(1) {}
    virtual ~Atom();

    /* Adds a reference and returns the object itself. */
    Atom *New();
    /* Drops a reference; true when it was the last one and the caller must
     * delete the object. */
    [[nodiscard]] bool Delete();

    int refs;
};
