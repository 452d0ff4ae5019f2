/*
 * The sections never call each other: each registers callbacks at fixed
 * points of the request road, and the request code runs whatever stands
 * there. Registration order is section creation order, which is therefore
 * the order in which request checks run. A function is registered at most
 * once, so a second entry that registers the same callback changes nothing.
 */
#include "hooks.h"

/* Allocated once and never destroyed: threads still running when the
 * process exits may be walking them. */
Processors &processors = *new Processors;
Hooks &hooks = *new Hooks;

/* Kinds that stop at the first callback that returns 1. */
static bool processor_stops(int kind)
{
    return kind != PROCESSOR_RESPMOD && kind != PROCESSOR_REQHEADER &&
           kind != PROCESSOR_RESPHEADER;
}

int Processors::Add(processor_fn callback, int kind)
{
    for (const Processor &p : list)
        if (p.callback == callback)
            return 0;
    list.push_back({ kind, callback });
    return 1;
}

int Processors::Remove(processor_fn callback)
{
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->callback == callback) {
            list.erase(it);
            return 1;
        }
    }
    return 0;
}

int Processors::Execute(int kind, CONNECTION_T *conn, Filebuf *buffer) const
{
    int result = 0;
    bool stops = processor_stops(kind);
    for (const Processor &p : list) {
        if (p.kind != kind)
            continue;
        result = p.callback(conn, buffer);
        if (stops && result == 1)
            break;
    }
    return result;
}

int Hooks::Add(hook_fn callback, int point)
{
    for (const Hook &h : list)
        if (h.callback == callback)
            return 0;
    list.push_back({ point, callback });
    return 1;
}

int Hooks::Remove(hook_fn callback)
{
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->callback == callback) {
            list.erase(it);
            return 1;
        }
    }
    return 0;
}

int Hooks::Execute(int point, void *a, void *b) const
{
    int result = 0;
    for (const Hook &h : list) {
        if (h.point != point)
            continue;
        result = h.callback(a, b);
        if (result == 1)
            break;
    }
    return result;
}
