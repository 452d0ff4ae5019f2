/*
 * Object cache configuration. The cache keeps responses in memory and in
 * store directories on disk; its options set the memory limits and object
 * sizes, its store entries the disk stores and its refresh entries how long
 * objects stay fresh. It is the one section locked by a plain mutex, because
 * the cache code waits on condition variables with it. This file declares
 * the fields the cache reads.
 */
#include "cache.h"

#include <iterator>

/* The options, by position. */
static const FieldDecl cache_global_fields[] = {
    {  0, "enabled",           FIELD_BOOL },
    {  1, "allow-violations",  FIELD_BOOL },
    {  2, "memory-cache-size", FIELD_LONG_FILE_SIZE },
    {  3, "memory-free-extra", FIELD_LONG_FILE_SIZE },
    {  4, "minsize",           FIELD_LONG_FILE_SIZE },
    {  5, "maxsize",           FIELD_LONG_FILE_SIZE },
    {  6, "prefetch-window",   FIELD_INT },
    {  7, "icpport",           FIELD_INT },
    {  8, "icptimeout",        FIELD_INT },
    {  9, "store-policy",      FIELD_STRING_SELECT_ONE },
    { 10, "journal-lines",     FIELD_UINT },
    { 11, "clean-interval",    FIELD_UINT },
};

/* The fields of an entry of the list store, by position. */
static const FieldDecl cache_store_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "directory",  FIELD_STRING },
    {  4, "size",       FIELD_LONG_FILE_SIZE },
    {  5, "free-extra", FIELD_LONG_FILE_SIZE },
    {  6, "md5",        FIELD_BOOL },
};

/* The fields of an entry of the list refresh, by position. */
static const FieldDecl cache_refresh_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "comment",     FIELD_STRING },
    {  2, "profiles",    FIELD_STRING_LIST },
    {  3, "cacheable",   FIELD_BOOL },
    {  4, "min-age",     FIELD_UINT },
    {  5, "max-age",     FIELD_UINT },
    {  6, "default-age", FIELD_UINT },
    {  7, "lm-factor",   FIELD_UINT },
};

CacheSection *cache_section = nullptr;

CacheSection::CacheSection() : Section("cache", SECTION_MUTEX)
{
    fields_require(cache_global_fields);
    list_require(0, "store", cache_store_fields, std::size(cache_store_fields));
    list_require(1, "refresh", cache_refresh_fields, std::size(cache_refresh_fields));
    /* TODO: allocate the object index, initialise the unlink condition
     * variable, set the cleaning time and hold memory-cache-size,
     * journal-lines and clean-interval at 0 until the configuration is
     * loaded. */
}

void CacheSection::update()
{
    /* TODO: close the journals of the old stores, rebuild the Store and
     * Refresh lists from subsections 0 and 1 and reload the stores. Until
     * then the section has no rules and no effect. */
}
