/*
 * A chained hash table of strings with a time stamp per entry, for the DNS
 * cache and the HTML tag table. The bucket comes from a cheap sum over the
 * key's bytes (the same sum names the cache's index buckets and store
 * directories, so it is fixed); the chain comparison ignores case.
 */
#include "hash.h"

#include <strings.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mem.h"

HASH_TABLE *hash_create(int size)
{
    ASSERT(size > 0);
    HASH_TABLE *table = (HASH_TABLE *)xmalloc(sizeof(HASH_TABLE));
    if (!table)
        FATAL_ALLOC(sizeof(HASH_TABLE));
    table->table = (HASH_LIST **)xmalloc(sizeof(HASH_LIST *) * (size_t)size);
    if (!table->table)
        FATAL_ALLOC(sizeof(HASH_LIST *) * (size_t)size);
    table->size = size;   /* the buckets start empty: zero fill */
    return table;
}

unsigned hash_key(unsigned size, const char *key)
{
    uint32_t sum = 0;
    for (const char *p = key; *p; p++) {
        int32_t c = (signed char)*p;
        sum += (uint32_t)(20 * c + (c >> 2) + (c >> 4) + 8111);
    }
    return sum % size;
}

HASH_LIST *hash_search(HASH_TABLE *table, const char *key)
{
    ASSERT(table);
    if (!key)
        return nullptr;
    for (HASH_LIST *e = table->table[hash_key((unsigned)table->size, key)]; e; e = e->next) {
        ASSERT(e->key);
        if (strcasecmp(e->key, key) == 0)
            return e;
    }
    return nullptr;
}

HASH_LIST *hash_insert(HASH_TABLE *table, const char *key, void *value)
{
    ASSERT(table);
    if (!key)
        return nullptr;
    HASH_LIST *found = hash_search(table, key);
    if (found) {
        ASSERT(value);
        free(value);
        return found;
    }
    HASH_LIST *entry = (HASH_LIST *)xmalloc(sizeof(HASH_LIST));
    char *copy = xstrdup(key);
    if (!entry || !copy)
        FATAL_ALLOC(sizeof(HASH_LIST) + strlen(key) + 1);
    entry->key = copy;
    entry->value = value;   /* next and time: zero fill */

    HASH_LIST **link = &table->table[hash_key((unsigned)table->size, key)];
    while (*link)
        link = &(*link)->next;
    *link = entry;
    return entry;
}

static void hash_entry_free(HASH_LIST *entry)
{
    free(entry->key);
    free(entry->value);
    free(entry);
}

void hash_purge(HASH_TABLE *table, const char *key)
{
    ASSERT(table);
    if (!key)
        return;
    for (HASH_LIST **link = &table->table[hash_key((unsigned)table->size, key)]; *link;
         link = &(*link)->next) {
        if (strcasecmp((*link)->key, key) == 0) {
            HASH_LIST *gone = *link;
            *link = gone->next;
            hash_entry_free(gone);
            return;
        }
    }
}

int hash_expire(HASH_TABLE *table, int age)
{
    ASSERT(table);
    time_t limit = time(nullptr) - age;
    int removed = 0;
    for (int i = 0; i < table->size; i++) {
        HASH_LIST **link = &table->table[i];
        while (*link) {
            if ((*link)->time <= limit) {
                HASH_LIST *gone = *link;
                *link = gone->next;
                hash_entry_free(gone);
                removed++;
            } else {
                link = &(*link)->next;
            }
        }
    }
    return removed;
}

void hash_destroy(HASH_TABLE *table)
{
    ASSERT(table);
    for (int i = 0; i < table->size; i++) {
        HASH_LIST *e = table->table[i];
        while (e) {
            HASH_LIST *next = e->next;
            hash_entry_free(e);
            e = next;
        }
    }
    free(table->table);
    free(table);
}
