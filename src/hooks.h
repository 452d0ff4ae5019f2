#pragma once

#include <atomic>
#include <memory>
#include <pthread.h>
#include <vector>

struct CONNECTION_T;
class Filebuf;

/* Kinds of request and response callbacks. REQHEADER, RESPHEADER and RESPMOD
 * run every callback; the others stop at the first that returns 1. */
enum {
    PROCESSOR_REQCHECK = 0,
    PROCESSOR_REQMOD = 1,
    PROCESSOR_RESPCHECK = 2,
    PROCESSOR_RESPMOD = 3,
    PROCESSOR_BUFFCHECK = 4,
    PROCESSOR_REQHEADER = 5,
    PROCESSOR_RESPHEADER = 6,
    PROCESSOR_AUTH = 7,
    PROCESSOR_REQBUFFCHECK = 8,   /* 1: a request modifier needs the body whole */
};

/* Points where hooks run; every point stops at the first hook returning 1. */
enum {
    HOOK_CONFIG = 0,
    HOOK_PRERESPMOD = 1,
    HOOK_POSTRESPMOD = 2,
};

typedef int (*processor_fn)(CONNECTION_T *conn, Filebuf *buffer);
typedef int (*hook_fn)(void *a, void *b);

struct Processor {
    int kind;
    processor_fn callback;
};

struct Hook {
    int point;
    hook_fn callback;
};

/* A list of registrations that requests walk while the configuration may
 * change it. Readers take the current list with one atomic load and never
 * lock; a change builds a new list under the writers' mutex and publishes
 * it. A replaced list is kept until the registry goes, since a reader may
 * still be walking it: registrations are few and change only at start-up
 * and at a configuration load. */
template <typename Entry> class Registry {
public:
    Registry();
    Registry(const Registry &) = delete;
    Registry &operator=(const Registry &) = delete;

    /* The list as it stands; valid for the registry's lifetime. */
    const std::vector<Entry> &snapshot() const { return *current.load(std::memory_order_acquire); }
    size_t size() const { return snapshot().size(); }

protected:
    /* 1 when entry was appended; 0 when its callback is already listed. */
    int add(const Entry &entry);
    /* Removes the first entry with callback; 1 when found. */
    template <typename Fn> int remove(Fn callback);

private:
    void publish(std::vector<Entry> *list);

    pthread_mutex_t writers = PTHREAD_MUTEX_INITIALIZER;
    std::vector<std::unique_ptr<std::vector<Entry>>> lists;   /* every list published */
    std::atomic<const std::vector<Entry> *> current;
};

/* The request and response callbacks, in registration order. */
class Processors : public Registry<Processor> {
public:
    /* 1 when added; 0 when the function is already registered, under any kind. */
    int Add(processor_fn callback, int kind);
    /* Removes the first registration of the function; 1 when found. */
    int Remove(processor_fn callback);
    /* Calls the kind's callbacks in order; returns the last result, 0 when
     * none was called. */
    int Execute(int kind, CONNECTION_T *conn, Filebuf *buffer) const;
};

class Hooks : public Registry<Hook> {
public:
    int Add(hook_fn callback, int point);
    int Remove(hook_fn callback);
    int Execute(int point, void *a, void *b) const;
};

/* The process-wide registries. */
extern Processors &processors;
extern Hooks &hooks;
