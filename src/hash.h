#pragma once

#include <ctime>

/* One entry of a HASH_TABLE bucket chain. The table owns key and value. */
struct HASH_LIST {
    HASH_LIST *next;
    time_t time;     /* set and read by the table's user; compared by hash_expire */
    char *key;
    void *value;     /* released with free(); never NULL */
};

/* A chained hash table of strings; the caller guards it with its own lock. */
struct HASH_TABLE {
    int size;
    HASH_LIST **table;
};

/* A table of size empty buckets; allocation failure is fatal. */
HASH_TABLE *hash_create(int size);

/* The bucket of a key: a sum over its bytes, taken as signed, modulo size.
 * Also the cache's index hash and directory-name hash, so it never changes. */
unsigned hash_key(unsigned size, const char *key);

/* The first entry of the key's bucket whose key equals it ignoring case. */
HASH_LIST *hash_search(HASH_TABLE *table, const char *key);

/* Inserts a copy of key with value (taken over). When the key exists the new
 * value is freed and the existing entry is returned unchanged. NULL for a
 * NULL key. */
HASH_LIST *hash_insert(HASH_TABLE *table, const char *key, void *value);

/* Removes the entry hash_search would find. */
void hash_purge(HASH_TABLE *table, const char *key);

/* Removes every entry whose time is at most now - age; returns how many. */
int hash_expire(HASH_TABLE *table, int age);

void hash_destroy(HASH_TABLE *table);
