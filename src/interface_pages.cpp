/*
 * The dispatch table of the web interface and its status pages. A page is
 * a function that appends its HTML inside the interface frame, after the
 * login and the top menu; the table maps page paths to those functions. A
 * menu link whose page is not in the table shows the frame and menu alone.
 * The rows keep the order of the menu's pages as they are added:
 * connections, dnscache, headers, config, save, load, log, cache, pool,
 * prefetch, stats, urlbl, tavrin.
 *
 * Every page shows data that clients, servers, files or the configuration
 * chose (URLs, methods, host and user names, header lines, blacklist
 * entries), so every such text is HTML-escaped where it lands, in element
 * text and in quoted attributes; the credentials of the interface request
 * itself never reach the page. Each list is read under the one lock that
 * guards it, copied, and the lock released before the page grows; nothing
 * is logged while the thread table's lock is held, since the log writer
 * takes it. Lists that can be long are cut at INTERFACE_LIST_ROWS_MAX rows
 * with a line giving how many more there are.
 */
#include "interface.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <list>
#include <memory>
#include <type_traits>
#include <vector>

#include "cache.h"
#include "clientpool.h"
#include "configtypes.h"
#include "connection.h"
#include "dnscache.h"
#include "filebuf.h"
#include "general.h"
#include "hash.h"
#include "header.h"
#include "locks.h"
#include "log.h"
#include "misc.h"
#include "options.h"
#include "process.h"
#include "regexp.h"
#include "section.h"
#include "serverpool.h"
#include "stats.h"
#include "tavrin.h"
#include "urlblacklist.h"

static void interface_page_append(Filebuf *page, const std::string &text);
static const char *interface_row_class(bool *even);
static std::string interface_url_html(const char *url);
static std::string interface_header_value(const HTTP_HEADER &line);
static bool interface_whole_int(const std::string &text, int *out);
static int interface_month_index(const std::string &name);

const interface_page_t pages[] = {
    { "/connections", interface_page_connections },
    { "/dnscache", interface_page_dnscache },
    { "/headers", interface_page_headers },
    { "/config", interface_page_config },
    { "/save", interface_page_save },
    { "/load", interface_page_load },
    { "/log", interface_page_log },
    { "/cache", interface_page_cache },
    { "/pool", interface_page_pool },
    { "/prefetch", interface_page_prefetch },
    { "/stats", interface_page_stats },
    { "/urlbl", interface_page_urlbl },
    { "/tavrin", interface_page_tavrin },
    { nullptr, nullptr },
};

/* The month names of the cache browser's date fields, in calendar order. */
static const char *const calendar_months[] = {
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December",
};

/* ---- Helpers ---- */

static void interface_page_append(Filebuf *page, const std::string &text)
{
    if (text.empty())
        return;
    if (page->Add(text.data(), (int64_t)text.size()) != FILEBUF_OK)
        putlog(LOG_ERROR, "web interface: a page could not be built");
}

/* The class of the next body row of a list ("listeven" first), flipping
 * *even for the row after it. */
static const char *interface_row_class(bool *even)
{
    const char *name = *even ? "listeven" : "listodd";
    *even = !*even;
    return name;
}

/* A URL for element text: escaped, with a line break every line length
 * (the general section's setting) so that a long URL cannot widen the
 * page without bound. */
static std::string interface_url_html(const char *url)
{
    int line_length = general_section ? general_section->linelength_get() : 0;
    char *html = string_to_html(url, HTML_NEWLINES, line_length);
    std::string out = html ? html : "";
    free(html);
    return out;
}

/* The value of a request header line as the headers page shows it: the
 * credentials of Authorization, Proxy-Authorization and the interface's
 * "login" cookie replaced by "[redacted]", exactly as the debug log shows
 * them. */
static std::string interface_header_value(const HTTP_HEADER &line)
{
    std::string value = line.value;
    for (char &c : value)
        if (c == '\r' || c == '\n')
            c = ' ';
    std::string redacted = request_header_redact((line.name + ":" + value).c_str());
    size_t start = line.name.size() + 1;
    if (redacted.size() < start)
        return value;
    size_t first = redacted.find_first_not_of(" \t", start);
    return first == std::string::npos ? "" : redacted.substr(first);
}

/* ---- Requests in progress and idle clients ---- */

void interface_page_connections(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    struct Row {
        unsigned clientid;
        int requests;
        std::string ip, method, url;
        bool has_method, has_url;
    };
    std::list<Row> rows;
    {
        /* Copied only: no log line and no page growth while the table is
         * held. */
        MutexGuard guard(&threadlistlock);
        for (int i = 0; i < MAXTHREADS; i++) {
            THREAD_T &t = threads[i];
            if (t.state != THREAD_BUSY && t.state != THREAD_PREFETCH)
                continue;
            MutexGuard shown(&t.show_lock);
            rows.push_back(Row{ t.clientid, t.requests, t.ip ? t.ip : "",
                                t.method ? t.method : "", t.url ? t.url : "", t.method != nullptr,
                                t.url != nullptr });
        }
    }

    std::string out = "<table class=\"list\">\n"
                      "<tr class=\"listhead\"><td colspan=\"5\" align=\"center\">"
                      "<b>Transferring</b></td></tr>\n"
                      "<tr class=\"listhead\"><td>Client ID</td><td>IP</td><td>Requests</td>"
                      "<td>Method</td><td>URL</td></tr>\n";
    bool even = true;
    for (const Row &r : rows) {
        out += std::string("<tr class=\"") + interface_row_class(&even) + "\"><td>" +
               std::to_string(r.clientid) + "</td><td>" + interface_html(r.ip) + "</td><td>" +
               std::to_string(r.requests) + "</td><td>" +
               (r.has_method ? interface_html(r.method) : "NONE") + "</td><td>" +
               (r.has_url ? interface_url_html(r.url.c_str()) : "NONE") + "</td></tr>\n";
    }
    out += "</table>\n<br>\n";
    interface_page_append(page, out);

    if (global && global->clientpool)
        global->clientpool->show_connections(page);
}

/* ---- DNS cache ---- */

void interface_page_dnscache(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    std::string out = "<table class=\"list\">\n"
                      "<tr class=\"listhead\"><td>Hostname</td><td>IP address</td>"
                      "<td>Age</td></tr>\n";
    if (global && global->dnscache) {
        time_t now = dnscache_now();
        MutexGuard guard(&global->dnscache_lock);
        bool even = true;
        const HASH_TABLE *table = global->dnscache;
        for (int b = 0; b < table->size; b++) {
            for (const HASH_LIST *e = table->table[b]; e; e = e->next) {
                out += std::string("<tr class=\"") + interface_row_class(&even) + "\"><td>" +
                       interface_html(e->key ? e->key : "") + "</td><td>" +
                       interface_html(e->value ? (const char *)e->value : "") + "</td><td>" +
                       std::to_string((long long)(now - e->time)) + "</td></tr>\n";
            }
        }
    }
    out += "</table>\n";
    interface_page_append(page, out);
}

/* ---- Idle server connections ---- */

void interface_page_pool(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    if (global && global->serverpool) {
        global->serverpool->show_connections(page);
        return;
    }
    interface_page_append(page, "<table class=\"list\">\n"
                                "<tr class=\"listhead\"><td>Protocol</td><td>Host</td>"
                                "<td>Port</td><td>Username</td><td>Age</td></tr>\n</table>\n");
}

/* ---- The interface request's own header ---- */

void interface_page_headers(Filebuf *page, CGIMap &, CONNECTION_T *conn)
{
    const HEADER *header = conn ? conn->header : nullptr;
    static const struct {
        const char *title;
        HeaderList HEADER::*lines;
    } tables[] = {
        { "Unfiltered", &HEADER::headers },
        { "Filtered", &HEADER::filtered_headers },
    };
    std::string out;
    bool even = true;   /* one sequence across both tables */
    for (const auto &t : tables) {
        out += std::string("<table class=\"list\">\n<tr class=\"listhead\"><td colspan=\"2\" "
                           "align=\"center\"><b>") + t.title + "</b></td></tr>\n"
               "<tr class=\"listhead\"><td>Type</td><td>Value</td></tr>\n";
        if (header) {
            for (const HTTP_HEADER &line : header->*t.lines)
                out += std::string("<tr class=\"") + interface_row_class(&even) + "\"><td>" +
                       interface_html(line.name) + "</td><td>" +
                       interface_html(interface_header_value(line)) + "</td></tr>\n";
        }
        out += "</table>\n<br>\n";
    }
    interface_page_append(page, out);
}

/* ---- Prefetch queue: nothing is prefetched, so the page is empty ---- */

void interface_page_prefetch(Filebuf *, CGIMap &, CONNECTION_T *) {}

/* ---- Statistics ---- */

void interface_page_stats(Filebuf *page, CGIMap &, CONNECTION_T *)
{
    if (Stats *stats = globalstats())
        stats->Display(page);
}

/* ---- URL blacklist search ---- */

static_assert(std::is_same_v<interface_blacklist_t, URLBLCategories>,
              "the search reads the URL blacklist as it is loaded");

void interface_page_urlbl(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    if (!urlbl_section) {
        static const interface_blacklist_t none;
        interface_urlbl_search(page, args, none);
        return;
    }
    SectionReadGuard guard(*urlbl_section);
    interface_urlbl_search(page, args, urlbl_section->blacklist);
}

void interface_urlbl_search(Filebuf *page, CGIMap &args, const interface_blacklist_t &blacklist)
{
    const bool show = args["show"] == "true";
    const std::string domain = args["domain"];
    const std::string file = args["file"];

    std::string out = "<form action=\"urlbl\" method=\"POST\">\n"
                      "<table class=\"bigdialog\" align=\"center\">\n"
                      "<tr><td class=\"dialoghead\" colspan=\"2\">Search URL blacklist</td></tr>\n"
                      "<tr><td colspan=\"2\"><table class=\"checklist\">\n";
    int column = 0;
    for (const auto &category : blacklist) {
        if (column == 0)
            out += "<tr>";
        auto arg = args.find(category.first);
        bool ticked = !show || (arg != args.end() && !arg->second.empty());
        std::string name = interface_html(category.first);
        out += "<td><input type=\"checkbox\" name=\"" + name + "\"" +
               (ticked ? " checked" : "") + "> " + name + "</td>";
        if (++column == 8) {
            out += "</tr>\n";
            column = 0;
        }
    }
    if (column != 0)
        out += "</tr>\n";
    out += "</table></td></tr>\n"
           "<tr><td>Domain</td><td><input type=\"text\" name=\"domain\" size=\"80\" value=\"" +
           interface_html(domain) + "\"></td></tr>\n"
           "<tr><td>File</td><td><input type=\"text\" name=\"file\" size=\"80\" value=\"" +
           interface_html(file) + "\"></td></tr>\n"
           "<tr><td colspan=\"2\" align=\"center\"><input type=\"hidden\" name=\"show\" "
           "value=\"true\"><input type=\"submit\" value=\"Submit\"></td></tr>\n"
           "</table>\n</form>\n";
    interface_page_append(page, out);
    if (!show)
        return;

    /* An expression that does not compile filters nothing. */
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> domain_re(
        domain.empty() ? nullptr : reg_compile(domain.c_str(), REG_COMPILE_ICASE), reg_free);
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> file_re(
        file.empty() ? nullptr : reg_compile(file.c_str(), REG_COMPILE_ICASE), reg_free);
    const bool root_shown = !file_re || reg_exec(file_re.get(), "/") == 0;

    out = "<br>\n<table class=\"list\">\n<tr class=\"listhead\"><td>Category</td>"
          "<td>Domain</td><td>Path</td></tr>\n";
    bool even = true;
    int64_t rows = 0;
    auto row = [&](const std::string &category, const std::string &listed,
                   const std::string &path) {
        if (rows++ >= INTERFACE_LIST_ROWS_MAX)
            return;
        out += std::string("<tr class=\"") + interface_row_class(&even) + "\"><td>" +
               interface_html(category) + "</td><td>" + interface_html(listed) + "</td><td>" +
               interface_html(path) + "</td></tr>\n";
    };
    for (const auto &category : blacklist) {
        auto arg = args.find(category.first);
        if (arg == args.end() || arg->second.empty())
            continue;
        for (const auto &listed : category.second) {
            std::string_view name = listed.first;
            if (domain_re &&
                reg_exec_bytes(domain_re.get(), name.data(), (int64_t)name.size()) != 0)
                continue;
            if (listed.second.empty()) {
                if (root_shown)
                    row(category.first, std::string(name), "/");
                continue;
            }
            for (std::string_view prefix : listed.second)
                if (!file_re ||
                    reg_exec_bytes(file_re.get(), prefix.data(), (int64_t)prefix.size()) == 0)
                    row(category.first, std::string(name), std::string(prefix));
        }
    }
    if (rows > INTERFACE_LIST_ROWS_MAX)
        out += std::string("<tr class=\"") + interface_row_class(&even) +
               "\"><td colspan=\"3\">" +
               std::to_string((long long)(rows - INTERFACE_LIST_ROWS_MAX)) +
               " more not shown</td></tr>\n";
    out += "</table>\n";
    interface_page_append(page, out);
}

/* ---- Cache browser ---- */

/* True with *out set when text is a whole decimal number (an optional sign
 * and digits, nothing else) within the int range. */
static bool interface_whole_int(const std::string &text, int *out)
{
    const char *p = text.c_str();
    if (*p == '+' || *p == '-')
        p++;
    if (*p == '\0')
        return false;
    for (const char *q = p; *q; q++)
        if (*q < '0' || *q > '9')
            return false;
    errno = 0;
    char *end = nullptr;
    long long value = strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return false;
    *out = (int)value;
    return true;
}

/* The month number (0-11) of a month name, compared without case; 12 for
 * any other name, which the conversion carries into the next January. */
static int interface_month_index(const std::string &name)
{
    for (int i = 0; i < 12; i++)
        if (strcasecmp(name.c_str(), calendar_months[i]) == 0)
            return i;
    return 12;
}

int64_t interface_cache_date(CGIMap &args, const char *prefix, const char *box,
                             const struct tm &fallback, INTERFACE_DATE *date)
{
    date->month = fallback.tm_mon;
    date->day = fallback.tm_mday;
    date->year = fallback.tm_year + 1900;
    date->hour = fallback.tm_hour;
    date->minute = fallback.tm_min;
    date->box = args[box] == "on";
    if (!date->box) {
        std::string p = prefix;
        auto month = args.find(p + "month");
        if (month != args.end() && !month->second.empty())
            date->month = interface_month_index(month->second);
        int value;
        if (interface_whole_int(args[p + "day"], &value))
            date->day = value;
        if (interface_whole_int(args[p + "year"], &value))
            date->year = value;
        if (interface_whole_int(args[p + "hour"], &value))
            date->hour = value;
        if (interface_whole_int(args[p + "minute"], &value))
            date->minute = value;
    }

    /* The machine's daylight-saving rule applies to the date given. */
    for (int attempt = 0; attempt < 2; attempt++) {
        struct tm tm = {};
        long long year = (long long)date->year - 1900;
        if (year >= INT_MIN && year <= INT_MAX) {
            tm.tm_year = (int)year;
            tm.tm_mon = date->month;
            tm.tm_mday = date->day;
            tm.tm_hour = date->hour;
            tm.tm_min = date->minute;
            tm.tm_isdst = -1;
            errno = 0;
            time_t when = mktime(&tm);
            if (when != (time_t)-1 || errno == 0)
                return (int64_t)when;
        }
        /* A date that cannot be converted takes its default. */
        date->month = fallback.tm_mon;
        date->day = fallback.tm_mday;
        date->year = fallback.tm_year + 1900;
        date->hour = fallback.tm_hour;
        date->minute = fallback.tm_min;
    }
    return 0;
}

bool interface_cache_size(const std::string &text, uint64_t *size)
{
    if (text.empty())
        return false;
    try {
        *size = string_to_longfilesize(text);
    } catch (const ConfigError &) {
        return false;
    }
    return true;
}

/* The percentage of used in limit, cut toward zero; 0 without a limit. */
static uint64_t interface_percent(uint64_t used, uint64_t limit)
{
    if (used == 0 || limit == 0)
        return 0;
    if (used <= UINT64_MAX / 100)
        return used * 100 / limit;
    return used / (limit / 100 ? limit / 100 : 1);
}

/* One row of date fields of the search form. */
static std::string interface_date_row(const char *label, const char *prefix, const char *box,
                                      const char *box_label, const INTERFACE_DATE &date)
{
    std::string p = prefix;
    std::string out = std::string("<tr><td>") + label + "</td><td><select name=\"" + p +
                      "month\">";
    for (int i = 0; i < 12; i++)
        out += std::string("<option") + (i == date.month ? " selected" : "") + ">" +
               calendar_months[i] + "</option>";
    out += "</select> <select name=\"" + p + "day\">";
    for (int d = 1; d <= 31; d++)
        out += std::string("<option") + (d == date.day ? " selected" : "") + ">" +
               std::to_string(d) + "</option>";
    char clock[64];
    snprintf(clock, sizeof clock, "%02d", date.hour);
    std::string hour = clock;
    snprintf(clock, sizeof clock, "%02d", date.minute);
    std::string minute = clock;
    out += "</select> <input type=\"text\" name=\"" + p + "year\" size=\"4\" value=\"" +
           std::to_string(date.year) + "\"> <input type=\"text\" name=\"" + p +
           "hour\" size=\"2\" value=\"" + hour + "\">:<input type=\"text\" name=\"" + p +
           "minute\" size=\"2\" value=\"" + minute + "\"> <input type=\"checkbox\" name=\"" +
           box + "\"" + (date.box ? " checked" : "") + "> " + box_label + "</td></tr>\n";
    return out;
}

void interface_page_cache(Filebuf *page, CGIMap &args, CONNECTION_T *)
{
    time_t now = time(nullptr);
    struct tm current = {};
    if (!localtime_r(&now, &current))
        current = {};
    struct tm epoch = {};
    epoch.tm_year = 70;
    epoch.tm_mday = 1;

    INTERFACE_DATE stored_after, stored_before, used_after, used_before;
    CACHE_SEARCH search;
    search.stored_after = (time_t)interface_cache_date(args, "ma", "maepoch", epoch,
                                                       &stored_after);
    search.stored_before = (time_t)interface_cache_date(args, "mb", "mbcurtime", current,
                                                        &stored_before);
    search.used_after = (time_t)interface_cache_date(args, "aa", "aaepoch", epoch, &used_after);
    search.used_before = (time_t)interface_cache_date(args, "ab", "abcurtime", current,
                                                      &used_before);

    const bool allsizes = args["allsizes"] == "on";
    uint64_t min_shown = 0, max_shown = INTERFACE_CACHE_MAX_SIZE;
    if (!allsizes) {
        (void)interface_cache_size(args["minsize"], &min_shown);
        (void)interface_cache_size(args["maxsize"], &max_shown);
    }
    search.min_size = min_shown;
    /* "All sizes" has no upper bound: objects past 4 GiB are found too. */
    search.max_size = allsizes ? UINT64_MAX : max_shown;
    search.remove = args["delete"] == "on";
    search.max_rows = INTERFACE_LIST_ROWS_MAX;

    const bool show = args["show"] == "yes";
    const std::string pattern = args["pattern"];
    std::unique_ptr<regex_posix_t, void (*)(regex_posix_t *)> re(
        show && !pattern.empty() ? reg_compile(pattern.c_str(), REG_COMPILE_ICASE) : nullptr,
        reg_free);
    search.pattern = re.get();

    CACHE_USAGE usage;
    std::list<CACHE_FOUND> found;
    int64_t matches = 0;
    if (cache_section)
        matches = cache_section->browse(show ? &search : nullptr, &usage, &found);

    char line[512];
    std::string out = "<table class=\"bigdialog\" align=\"center\">\n"
                      "<tr><td class=\"dialoghead\" colspan=\"2\">Cache information</td></tr>\n";
    snprintf(line, sizeof line, "%d entries / %llu bytes / %llu%% used", usage.mem_objects,
             (unsigned long long)usage.mem_bytes,
             (unsigned long long)interface_percent(usage.mem_bytes, usage.mem_size));
    out += std::string("<tr><td>Memory cache</td><td>") + line + "</td></tr>\n";
    for (const CACHE_STORE_USAGE &s : usage.stores) {
        snprintf(line, sizeof line, "%d entries / %llu bytes / %llu%% used", s.entries,
                 (unsigned long long)s.bytes,
                 (unsigned long long)interface_percent(s.bytes, s.size));
        out += "<tr><td>Disk cache " + interface_html(s.directory) + "</td><td>" + line +
               "</td></tr>\n";
    }
    out += "</table>\n<br>\n";

    out += "<form action=\"cache\" method=\"POST\">\n"
           "<input type=\"hidden\" name=\"show\" value=\"yes\">\n"
           "<table class=\"bigdialog\" align=\"center\">\n"
           "<tr><td class=\"dialoghead\" colspan=\"2\">Regular expression match</td></tr>\n"
           "<tr><td>Pattern</td><td><input type=\"text\" name=\"pattern\" size=\"80\" value=\"" +
           interface_html(pattern) + "\"></td></tr>\n";
    out += interface_date_row("Modified after", "ma", "maepoch", "Epoch time", stored_after);
    out += interface_date_row("Modified before", "mb", "mbcurtime", "Current time",
                              stored_before);
    out += interface_date_row("Accessed after", "aa", "aaepoch", "Epoch time", used_after);
    out += interface_date_row("Accessed before", "ab", "abcurtime", "Current time",
                              used_before);
    out += std::string("<tr><td>File size</td><td><input type=\"checkbox\" name=\"allsizes\"") +
           (allsizes ? " checked" : "") + "> All sizes <input type=\"text\" name=\"minsize\" "
           "size=\"10\" value=\"" + std::to_string(min_shown) + "\"> - <input type=\"text\" "
           "name=\"maxsize\" size=\"10\" value=\"" + std::to_string(max_shown) + "\"> bytes"
           "</td></tr>\n"
           "<tr><td colspan=\"2\"><input type=\"checkbox\" name=\"delete\"> Delete matches"
           "</td></tr>\n"
           "<tr><td colspan=\"2\" align=\"center\"><input type=\"submit\" value=\"Submit\">"
           "</td></tr>\n</table>\n</form>\n";

    if (show) {
        out += "<br>\n<table class=\"list\">\n<tr class=\"listhead\"><td>URL</td><td>Size</td>"
               "<td>Mem</td><td>Disk</td></tr>\n";
        bool even = true;
        if (!search.remove) {
            for (const CACHE_FOUND &f : found) {
                size_t sep = f.key.find("://");
                std::string link = f.key.substr(0, sep) + "://xx--cache." + f.key.substr(sep + 3);
                out += std::string("<tr class=\"") + interface_row_class(&even) +
                       "\"><td><a href=\"" + interface_html(link) + "\">" +
                       interface_url_html(f.key.c_str()) + "</a></td><td>" +
                       std::to_string((long long)f.size) + "</td><td>" +
                       ((f.flags & CACHE_MEM) ? "yes" : "no") + "</td><td>" +
                       ((f.flags & CACHE_DISK) ? "yes" : "no") + "</td></tr>\n";
            }
            if (matches > (int64_t)found.size())
                out += std::string("<tr class=\"") + interface_row_class(&even) +
                       "\"><td colspan=\"4\">" +
                       std::to_string((long long)(matches - (int64_t)found.size())) +
                       " more not shown</td></tr>\n";
        }
        out += "</table>\n";
    }
    interface_page_append(page, out);
}
