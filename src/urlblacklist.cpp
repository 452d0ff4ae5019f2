/*
 * URL blacklist. A directory of categories, each a subdirectory with a
 * "domains" and a "urls" file, is read once at start-up into an ordered map
 * of categories, each an ordered map from domain to the path prefixes it is
 * listed for (none: the whole domain). Allow and deny rules name the
 * categories they cover and are evaluated as two lists; a request is listed
 * in a category when a suffix of whole labels of its host is listed there
 * for its path.
 *
 * The files are taken as they are: no trimming, no case folding, so a line
 * written in capitals or ending in a carriage return never matches (hosts
 * reach the check in lower case). Such lines, and lines too long to be
 * entries, are counted and reported once per file so that an administrator
 * can mend the list. Nothing read from the files can grow memory beyond the
 * files' own size, and a line is never split into two entries.
 */
#include "urlblacklist.h"

#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "access.h"
#include "connection.h"
#include "header.h"
#include "hooks.h"
#include "log.h"
#include "misc.h"
#include "profiles.h"
#include "templates.h"

static std::string urlbl_clean_host(const char *host);
static bool urlbl_prefix_fits(const URLBLPrefixes &prefixes, const char *path);
static bool urlbl_listed_clean(const URLBLDomains &domains, const std::string &host,
                               const char *path);
static bool urlbl_never_matches(std::string_view text);

/* The options, by position. */
static const FieldDecl urlbl_global_fields[] = {
    {  0, "enabled",     FIELD_BOOL },
    {  1, "allow-first", FIELD_BOOL },
    {  2, "directory",   FIELD_STRING },
    {  3, "template",    FIELD_STRING },
};

/* The fields of an entry of the lists allow and deny, by position. */
static const FieldDecl urlbl_rule_fields[] = {
    {  0, "enabled",    FIELD_BOOL },
    {  1, "comment",    FIELD_STRING },
    {  2, "profiles",   FIELD_STRING_LIST },
    {  3, "categories", FIELD_STRING_LIST },
    {  4, "template",   FIELD_STRING },
};

URLBLSection *urlbl_section = nullptr;

URLBL::URLBL(const Item &item)
{
    const FieldVector &f = item.fields;
    enabled = f[0].value;
    comment = f[1].text;
    profiles = f[2].list;
    categories = f[3].list;
    template_name = f[4].text;
}

/* ---- loading ---- */

/* Whether an entry can never equal a host: hosts reach the check in lower
 * case and without control bytes. */
static bool urlbl_never_matches(std::string_view text)
{
    for (char c : text)
        if (c == '\r' || (c >= 'A' && c <= 'Z'))
            return true;
    return false;
}

bool urlbl_file_read(const std::string &path, bool urls, URLBLDomains &domains,
                     URLBLFileCounts &counts)
{
    std::unique_ptr<FILE, int (*)(FILE *)> file(fopen(path.c_str(), "re"), fclose);
    if (!file)
        return false;
    /* One more than the longest line and its line feed, so that a line
     * that fills the buffer without a line feed is known to be too long. */
    char line[URLBL_LINE_MAX + 2];
    while (fgets(line, sizeof line, file.get())) {
        size_t length = strlen(line);
        bool complete = length > 0 && line[length - 1] == '\n';
        if (complete) {
            line[--length] = '\0';
        } else if (length > URLBL_LINE_MAX) {
            /* Too long: the rest of the line goes with it. */
            counts.skipped++;
            while (fgets(line, sizeof line, file.get()))
                if (strchr(line, '\n'))
                    break;
            continue;
        }
        std::string_view text(line, length);

        if (!urls) {
            if (urlbl_never_matches(text))
                counts.never_match++;
            if (!domains.add_whole(text))   /* listed as a whole */
                counts.skipped++;
            continue;
        }
        size_t slash = text.find('/');
        std::string_view domain = text.substr(0, slash);
        std::string_view prefix = slash == std::string_view::npos ? std::string_view()
                                                                  : text.substr(slash);
        if (domain.size() > URLBL_DOMAIN_MAX || urlbl_never_matches(domain) ||
            prefix.find('\r') != std::string_view::npos)
            counts.never_match++;
        if (domain.size() > URLBL_DOMAIN_MAX)
            continue;
        /* A domain also listed whole keeps no prefix. */
        if (!domains.add_prefix(domain, prefix))
            counts.skipped++;
    }
    return true;
}

void URLBLSection::load()
{
    SectionWriteGuard guard(*this);
    const std::string &root = *directory;
    if (root.empty()) {
        /* Switched on without a directory blocks nothing: say so. */
        if (*enabled)
            putlog(LOG_URLBL, "failed to load URL blacklist from %s", root.c_str());
        return;
    }
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(root.c_str()), closedir);
    if (!dir) {
        putlog(LOG_URLBL, "failed to load URL blacklist from %s", root.c_str());
        return;
    }
    int categories = 0;
    while (struct dirent *entry = readdir(dir.get())) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        std::string category_path = root + "/" + entry->d_name;
        struct stat st;
        if (stat(category_path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
            continue;   /* a plain file, or a category that cannot be opened */
        categories++;
        URLBLDomains &domains = blacklist[entry->d_name];
        domains.clear();
        static const char *const files[] = { "domains", "urls" };
        for (const char *name : files) {
            std::string file_path = category_path + "/" + name;
            URLBLFileCounts counts;
            if (!urlbl_file_read(file_path, strcmp(name, "urls") == 0, domains, counts))
                continue;   /* a missing or unreadable file is no fault */
            if (counts.skipped || counts.never_match)
                putlog(LOG_URLBL,
                       "%s: %d lines skipped (over 1023 characters), %d lines that can never "
                       "match (CR or upper case)",
                       file_path.c_str(), counts.skipped, counts.never_match);
        }
        domains.finish();   /* one sort for both files */
    }
    putlog(LOG_URLBL, "loaded %d categories", categories);
    if (categories == 0 && *enabled)
        putlog(LOG_URLBL, "failed to load URL blacklist from %s", root.c_str());
}

/* ---- matching ---- */

/* host with its empty labels dropped: "a..b.com." becomes "a.b.com", so
 * that every suffix of whole labels is a tail of the result. */
static std::string urlbl_clean_host(const char *host)
{
    std::string out;
    for (const char *p = host; *p;) {
        const char *start = p;
        while (*p && *p != '.')
            p++;
        if (p > start) {
            if (!out.empty())
                out += '.';
            out.append(start, (size_t)(p - start));
        }
        if (*p == '.')
            p++;
    }
    return out;
}

/* Whether prefixes is empty (the whole domain) or one of them begins path,
 * without regard to case. */
static bool urlbl_prefix_fits(const URLBLPrefixes &prefixes, const char *path)
{
    if (prefixes.empty())
        return true;
    size_t path_length = strlen(path);
    for (std::string_view prefix : prefixes)
        if (prefix.size() <= path_length && strncasecmp(prefix.data(), path, prefix.size()) == 0)
            return true;
    return false;
}

/* urlbl_listed for a host cleaned by urlbl_clean_host. */
static bool urlbl_listed_clean(const URLBLDomains &domains, const std::string &host,
                               const char *path)
{
    /* Suffixes from the last label alone to the whole host. */
    size_t start = host.size();
    while (start > 0) {
        size_t dot = host.rfind('.', start - 1);
        start = dot == std::string::npos ? 0 : dot + 1;
        URLBLPrefixes prefixes;
        if (domains.find(std::string_view(host).substr(start), &prefixes) &&
            urlbl_prefix_fits(prefixes, path))
            return true;
        if (start == 0)
            break;
        start--;   /* onto the dot before this label */
    }
    return false;
}

bool urlbl_listed(const URLBLDomains &domains, const char *host, const char *path)
{
    return urlbl_listed_clean(domains, urlbl_clean_host(host ? host : ""), path ? path : "");
}

/* ---- URLBLSection ---- */

URLBLSection::URLBLSection() : Section("urlblacklist", SECTION_RWLOCK)
{
    fields_require(urlbl_global_fields);
    list_require(0, "allow", urlbl_rule_fields, std::size(urlbl_rule_fields));
    list_require(1, "deny", urlbl_rule_fields, std::size(urlbl_rule_fields));
    /* The global vector never changes size, so these stay valid. */
    enabled = &fields[0].value;
    allowfirst = &fields[1].value;
    directory = &fields[2].text;
    template_name = &fields[3].text;
    processors.Add(urlbl_reqcheck, PROCESSOR_REQCHECK);
}

void URLBLSection::update()
{
    allow_list.clear();
    deny_list.clear();
    for (const Item &item : subsections[0].items)
        allow_list.emplace_back(item);
    for (const Item &item : subsections[1].items)
        deny_list.emplace_back(item);
    conditions.clear();
    for (std::list<URLBL> *list : { &allow_list, &deny_list })
        for (URLBL &rule : *list)
            rule.profile_id = conditions.add(rule.profiles);
}

const URLBL *URLBLSection::check(CONNECTION_T *conn) const
{
    if (!*enabled || (conn->bypass & BYPASS_URLBL))
        return nullptr;
    const HEADER *h = conn->header;
    std::string host = urlbl_clean_host(h && h->host ? h->host : "");
    const char *path = h && h->path ? h->path : "";
    /* The prefixes also meet the path as the server will read it. */
    std::string normal = url_path_normal(path);
    bool same = normal == path;

    /* Each profile list is judged, and each category looked up, once per
     * request however many rules name them. */
    ProfileVerdicts verdicts(conn->profiles, conditions);
    std::vector<signed char> listed(blacklist.size(), -1);
    auto match = [&](const URLBL &rule) -> bool {
        if (!rule.enabled || !verdicts.accepts(rule.profile_id))
            return false;
        /* Categories in ascending name order: the first that lists the
         * request is the matched one. */
        size_t number = 0;
        for (const auto &category : blacklist) {
            signed char &known = listed[number++];
            if (std::find(rule.categories.begin(), rule.categories.end(), category.first) ==
                rule.categories.end())
                continue;
            if (known < 0) {
                bool found = urlbl_listed_clean(category.second, host, path) ||
                             (!same && urlbl_listed_clean(category.second, host, normal.c_str()));
                known = found ? 1 : 0;
            }
            if (!known)
                continue;
            conn->variables["CATEGORY"] = category.first;
            conn->variables["FILTER"] = "URL BlackList";
            putlog(LOG_URLBL, "match found in %s category", category.first.c_str());
            conn->logentry.filter_name = "urlbl";
            conn->logentry.filtering_reason = category.first;
            return true;
        }
        return false;
    };
    AllowDenyResult<URLBL> result = allowdeny_evaluate(allow_list, deny_list, *allowfirst != 0,
                                                       match);
    if (result.outcome == ALLOWDENY_ACCEPTED)
        return nullptr;
    return result.rule ? result.rule : &default_rule;
}

int URLBLSection::check_and_block(CONNECTION_T *conn)
{
    std::string page;
    {
        SectionReadGuard guard(*this);
        const URLBL *rule = check(conn);
        if (!rule)
            return 0;
        if (!rule->template_name.empty())
            page = rule->template_name;
        else if (!template_name->empty())
            page = *template_name;
        else
            page = "blacklisted";
    }
    const HEADER *h = conn->header;
    putlog(LOG_URLBL, "blocked %s%s", h && h->host ? h->host : "", h && h->path ? h->path : "");
    template_section->send_or_close(page.c_str(), conn,
                                    h && h->type == HEADER_CONNECT ? 404 : 200);
    return 1;
}

int urlbl_reqcheck(CONNECTION_T *conn, Filebuf *)
{
    return urlbl_section->check_and_block(conn);
}
