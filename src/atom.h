#pragma once

#include <atomic>

/* An intrusive reference count, the first base of shared objects. The count
 * is an atomic: taking and dropping references costs no lock. */
class Atom {
public:
    Atom() : refs(1) {}
    virtual ~Atom();

    /* Adds a reference and returns the object itself. */
    Atom *New();
    /* Drops a reference; true when it was the last one and the caller must
     * delete the object. */
    [[nodiscard]] bool Delete();

    std::atomic<int> refs;
};
