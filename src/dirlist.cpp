/*
 * FTP directory listings. Servers answer LIST with "ls -l" lines whose
 * layout is not standardised: some leave out the group column, dates come
 * with a year or with a time of day, names hold blanks and symbolic links
 * carry " -> target". The first line with fields decides how many columns
 * precede the name, and every later line is read with that count; a line
 * that does not fit is logged and skipped rather than misread. Dates are
 * read as GMT, the way HTTP dates are, so that a file's Last-Modified and
 * the cache's revalidation agree whatever the machine's time zone.
 */
#include "dirlist.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "filebuf.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "regexp.h"

static void dir_line_parse(dir_t **list, dir_t **last, const char *line, int *columns,
                           const struct tm *now_tm, time_t now);
static void dir_date_parse(const char *text, const struct tm *now_tm, time_t now, struct tm *out);
static char *dir_text(const char *text);

/* A year-less date further ahead of now than this is of the year before. */
#define DIR_FUTURE_SLACK_SECONDS (24 * 60 * 60)

static char *dir_text(const char *text)
{
    char *copy = xstrdup(text ? text : "");
    if (!copy)
        FATAL_ALLOC(strlen(text ? text : "") + 1);
    return copy;
}

/* Reads one listing date ("Mar 3 12:00" or "Jan 1 2001") into out as a
 * broken-down GMT date; fields it does not give stay 0. */
static void dir_date_parse(const char *text, const struct tm *now_tm, time_t now, struct tm *out)
{
    memset(out, 0, sizeof *out);
    /* The day-of-month field must not default to 0 for a date that names
     * no day: strptime leaves what it does not read. */
    if (strchr(text, ':')) {
        (void)strptime(text, "%b %d %H:%M", out);
        out->tm_year = now_tm->tm_year;
        struct tm probe = *out;
        if (timegm(&probe) > now + DIR_FUTURE_SLACK_SECONDS)
            out->tm_year--;   /* "ls" shows the time of day for the last six months */
    } else {
        (void)strptime(text, "%b %d %Y", out);
    }
}

/* Parses one line and appends its entry to *list after *last (kept, so
 * that appending does not walk the list). *columns is the column count,
 * decided on the first line with fields (0 until then). */
static void dir_line_parse(dir_t **list, dir_t **last, const char *line, int *columns,
                           const struct tm *now_tm, time_t now)
{
    char **fields = string_break(line, ' ');
    size_t count = array_length(fields);
    if (count == 1 && fields[0][0] == '\0') {
        array_free(fields);
        return;
    }
    if (*columns == 0) {
        size_t c = count;
        for (size_t i = 0; i < count; i++)
            if (strcmp(fields[i], "->") == 0) {
                c = i;
                break;
            }
        *columns = c > 0 ? (int)c : -1;
    }
    int cols = *columns;
    /* The name starts at column 7 without a group column, 8 with one; a
     * line must reach its name. */
    size_t name_at = cols == 8 ? 7 : 8;
    if (cols <= 7 || count <= name_at) {
        putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", log_text(line, LOG_TEXT_MAX).c_str());
        array_free(fields);
        return;
    }

    const char *mode_text = fields[0];
    const char *owner = fields[2];
    const char *group = cols == 8 ? "unknown" : fields[3];
    size_t size_at = cols == 8 ? 3 : 4;
    uint64_t size = strtoull(fields[size_at], nullptr, 10);
    std::string date = std::string(fields[size_at + 1]) + " " + fields[size_at + 2] + " " +
                       fields[size_at + 3];
    struct tm tm;
    dir_date_parse(date.c_str(), now_tm, now, &tm);

    std::string name;
    for (size_t i = name_at; i < count; i++) {
        if (i > name_at)
            name += ' ';
        name += fields[i];
    }
    if (mode_text[0] == 'l') {
        size_t arrow = name.find(" ->");
        if (arrow != std::string::npos && arrow > 0)
            name.resize(arrow);
    }
    size_t eol = name.find_first_of("\r\n");
    if (eol != std::string::npos)
        name.resize(eol);
    if (name.empty()) {
        /* Nothing before a carriage return: no entry to list or link. */
        putlog(LOG_ERROR, "FTP: unparsable ftp dir entry: %s", log_text(line, LOG_TEXT_MAX).c_str());
        array_free(fields);
        return;
    }

    dir_t *entry = dir_list_add(*last, mode_text[0] == 'd' ? 1 : 0, mode_parse(mode_text), owner,
                                group, size, &tm, name.c_str());
    if (!*list)
        *list = entry;
    *last = entry;
    array_free(fields);
}

dir_t *dir_list_parse(const Filebuf *listing)
{
    if (!listing || listing->size <= 0 || !listing->data)
        return nullptr;
    time_t now = time(nullptr);
    struct tm now_tm;
    gmtime_r(&now, &now_tm);

    dir_t *list = nullptr;
    dir_t *last = nullptr;
    int columns = 0;
    const char *p = listing->data;
    const char *end = listing->data + listing->size;
    std::string line;
    while (p < end) {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *stop = nl ? nl : end;
        line.assign(p, (size_t)(stop - p));
        p = nl ? nl + 1 : end;
        /* A NUL would end the text early; a tab separates like a blank. */
        for (char &c : line)
            if (c == '\0' || c == '\t')
                c = ' ';
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || strncasecmp(line.c_str(), "total", 5) == 0)
            continue;
        dir_line_parse(&list, &last, line.c_str(), &columns, &now_tm, now);
    }
    return list;
}

dir_t *dir_list_add(dir_t *list, int type, int mode, const char *owner, const char *group,
                    uint64_t size, const struct tm *time, const char *name)
{
    dir_t *entry = (dir_t *)xmalloc(sizeof(dir_t));   /* zero-filled: links NULL */
    if (!entry)
        FATAL_ALLOC(sizeof(dir_t));
    entry->type = type;
    entry->mode = mode;
    entry->owner = dir_text(owner);
    entry->group = dir_text(group);
    entry->size = size;
    struct tm t = *time;
    t.tm_isdst = 0;
    entry->mtime = timegm(&t);
    /* The normalised date (a "Feb 30" becomes "Mar 2"), so the page and
     * Last-Modified show the same instant as mtime. */
    if (!gmtime_r(&entry->mtime, &entry->time))
        entry->time = t;
    size_t len = strlen(name ? name : "");
    if (type == 1 && (len == 0 || name[len - 1] != '/')) {
        entry->name = (char *)xmalloc(len + 2);
        if (!entry->name)
            FATAL_ALLOC(len + 2);
        memcpy(entry->name, name, len);
        entry->name[len] = '/';
        entry->name[len + 1] = '\0';
    } else {
        entry->name = dir_text(name);
    }
    if (list) {
        dir_t *last = list;
        while (last->next)
            last = last->next;
        last->next = entry;
        entry->prev = last;
    }
    return entry;
}

static void dir_entry_free(dir_t *entry)
{
    free(entry->owner);
    free(entry->group);
    free(entry->name);
    free(entry);
}

dir_t *dir_list_filter(dir_t *list, const char *pattern)
{
    if (!list || !pattern)
        return list;
    regex_posix_t *re = reg_compile(pattern, REG_COMPILE_ICASE);
    if (!re)
        return list;
    dir_t *first = nullptr;
    dir_t *last = nullptr;
    for (dir_t *e = list; e;) {
        dir_t *next = e->next;
        if (reg_exec(re, e->name) == 0) {
            e->prev = last;
            e->next = nullptr;
            if (last)
                last->next = e;
            else
                first = e;
            last = e;
        } else {
            dir_entry_free(e);
        }
        e = next;
    }
    reg_free(re);
    return first;
}

/* Whether a sorts before b ascending by field. */
static bool dir_before(const dir_t *a, const dir_t *b, int field)
{
    switch (field) {
    case DIR_SORT_NAME:
        return strcasecmp(a->name, b->name) < 0;
    case DIR_SORT_SIZE:
        if (a->type != b->type)
            return a->type > b->type;   /* directories first */
        return a->size < b->size;
    case DIR_SORT_DATE:
        return a->mtime < b->mtime;
    }
    return false;
}

dir_t *dir_list_sort(dir_t *list, int order, int field)
{
    if (!list || field < DIR_SORT_NAME || field > DIR_SORT_DATE)
        return list;
    while (list->prev)
        list = list->prev;
    std::vector<dir_t *> entries;
    for (dir_t *e = list; e; e = e->next)
        entries.push_back(e);
    bool descending = order == DIR_SORT_DESCENDING;
    std::stable_sort(entries.begin(), entries.end(), [&](const dir_t *a, const dir_t *b) {
        return descending ? dir_before(b, a, field) : dir_before(a, b, field);
    });
    for (size_t i = 0; i < entries.size(); i++) {
        entries[i]->prev = i > 0 ? entries[i - 1] : nullptr;
        entries[i]->next = i + 1 < entries.size() ? entries[i + 1] : nullptr;
    }
    return entries[0];
}

void dir_list_free(dir_t *list)
{
    if (!list)
        return;
    while (list->prev)
        list = list->prev;
    while (list) {
        dir_t *next = list->next;
        dir_entry_free(list);
        list = next;
    }
}
