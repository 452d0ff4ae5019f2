/*
 * The sections never call each other: each registers callbacks at fixed
 * points of the request road, and the request code runs whatever stands
 * there. Registration order is section creation order, which is therefore
 * the order in which request checks run. A function is registered at most
 * once, so a second entry that registers the same callback changes nothing.
 */
#include "hooks.h"

#include "locks.h"

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

template <typename Entry> Registry<Entry>::Registry()
{
    lists.emplace_back(new std::vector<Entry>());
    current.store(lists.back().get(), std::memory_order_release);
}

/* Publishes list, which the registry now owns. Called with writers held. */
template <typename Entry> void Registry<Entry>::publish(std::vector<Entry> *list)
{
    lists.emplace_back(list);
    current.store(list, std::memory_order_release);
}

template <typename Entry> int Registry<Entry>::add(const Entry &entry)
{
    MutexGuard guard(&writers);
    const std::vector<Entry> &now = snapshot();
    for (const Entry &e : now)
        if (e.callback == entry.callback)
            return 0;
    std::vector<Entry> *next = new std::vector<Entry>(now);
    next->push_back(entry);
    publish(next);
    return 1;
}

template <typename Entry> template <typename Fn> int Registry<Entry>::remove(Fn callback)
{
    MutexGuard guard(&writers);
    const std::vector<Entry> &now = snapshot();
    for (size_t i = 0; i < now.size(); i++) {
        if (now[i].callback == callback) {
            std::vector<Entry> *next = new std::vector<Entry>(now);
            next->erase(next->begin() + (long)i);
            publish(next);
            return 1;
        }
    }
    return 0;
}

template class Registry<Processor>;
template class Registry<Hook>;

int Processors::Add(processor_fn callback, int kind)
{
    return add({ kind, callback });
}

int Processors::Remove(processor_fn callback)
{
    return remove(callback);
}

int Processors::Execute(int kind, CONNECTION_T *conn, Filebuf *buffer) const
{
    int result = 0;
    bool stops = processor_stops(kind);
    for (const Processor &p : snapshot()) {
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
    return add({ point, callback });
}

int Hooks::Remove(hook_fn callback)
{
    return remove(callback);
}

int Hooks::Execute(int point, void *a, void *b) const
{
    int result = 0;
    for (const Hook &h : snapshot()) {
        if (h.point != point)
            continue;
        result = h.callback(a, b);
        if (result == 1)
            break;
    }
    return result;
}
