#pragma once

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

/* The request and response callbacks, in registration order. Filled on the
 * main thread during start-up and the configuration load, then only read. */
class Processors {
public:
    /* 1 when added; 0 when the function is already registered, under any kind. */
    int Add(processor_fn callback, int kind);
    /* Removes the first registration of the function; 1 when found. */
    int Remove(processor_fn callback);
    /* Calls the kind's callbacks in order; returns the last result, 0 when
     * none was called. */
    int Execute(int kind, CONNECTION_T *conn, Filebuf *buffer) const;

    std::vector<Processor> list;
};

class Hooks {
public:
    int Add(hook_fn callback, int point);
    int Remove(hook_fn callback);
    int Execute(int point, void *a, void *b) const;

    std::vector<Hook> list;
};

/* The process-wide registries. */
extern Processors &processors;
extern Hooks &hooks;
