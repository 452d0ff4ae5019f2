#pragma once

#include <cstdint>
#include <ctime>

class Filebuf;

/* The sort keys and orders of dir_list_sort (the same numbers as the FTP
 * section's sortfield and sortorder options). */
enum dir_sort_field { DIR_SORT_NONE = 0, DIR_SORT_NAME = 1, DIR_SORT_SIZE = 2, DIR_SORT_DATE = 3 };
enum dir_sort_order { DIR_SORT_ASCENDING = 0, DIR_SORT_DESCENDING = 1 };

/* One entry of a parsed FTP listing, doubly linked in listing order. Made
 * by dir_list_add, freed with the whole list by dir_list_free; every text
 * is owned by the entry. */
struct dir_t {
    dir_t *next;
    dir_t *prev;
    int type;            /* 1 directory, 0 anything else */
    int mode;            /* permission bits (mode_parse) */
    char *owner;
    char *group;         /* "unknown" when the listing has no group column */
    uint64_t size;
    struct tm time;      /* the date, normalised from mtime (GMT) */
    time_t mtime;        /* seconds since the epoch, the listing's date read as GMT */
    char *name;          /* a directory's name always ends in "/" */
};

/*
 * Parses the text of a LIST reply ("ls -l" lines). The column count is
 * decided on the first line with fields: the index of the first field "->"
 * when there is one, else the number of fields; 8 columns mean no group
 * column, 9 or more a group column, fewer make every line unparsable. A
 * later line with fewer fields than the count is unparsable. Unparsable
 * lines are logged ("FTP: unparsable ftp dir entry: %s") and skipped.
 * Dates are read as GMT, as HTTP dates are; a date without a year is of
 * the current year, or of the year before when that would put it more than
 * a day ahead of now. Returns the first entry, or NULL for none.
 */
dir_t *dir_list_parse(const Filebuf *listing);

/* Appends a new entry after the last entry of list (NULL: a new list).
 * Copies owner, group and name, appends "/" to a directory's name that
 * lacks one, computes mtime from time (as GMT) and stores the normalised
 * date. Returns the new entry. */
dir_t *dir_list_add(dir_t *list, int type, int mode, const char *owner, const char *group,
                    uint64_t size, const struct tm *time, const char *name);

/* Removes and frees every entry whose name does not match pattern (a
 * case-insensitive regular expression). A pattern that does not compile
 * leaves the list unchanged. Returns the first remaining entry. */
dir_t *dir_list_filter(dir_t *list, const char *pattern);

/* Sorts the list stably (equal keys keep listing order) by field
 * (dir_sort_field) in order (dir_sort_order): names without regard to
 * case; sizes with directories before other entries when ascending (the
 * exact reverse when descending); dates. Any other field leaves the list
 * as it is. Returns the first entry. */
dir_t *dir_list_sort(dir_t *list, int order, int field);

/* Frees the whole list, from its first entry whichever entry is given;
 * NULL is allowed. */
void dir_list_free(dir_t *list);
