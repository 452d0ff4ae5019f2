/*
 * The pages a URL command opens in place of the real answer, and the FTP
 * gateway's directory listing. They show what the proxy knows about one
 * request: its allowances, profiles, variables, headers, cache entry, raw
 * body or parsed HTML tree. Almost everything on them comes from the
 * request, the server, a file or the configuration, so every text is
 * escaped where it enters the page, and credentials in headers and
 * variables are shown as "[redacted]". The HTML tree and the listing are
 * walked by loops, never by recursion, so no document can exhaust a
 * worker's stack.
 */
#include "interface_diag.h"

#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "cache.h"
#include "connection.h"
#include "dirlist.h"
#include "fetch.h"
#include "filebuf.h"
#include "header.h"
#include "hstream.h"
#include "interface.h"
#include "options.h"
#include "misc.h"

static std::string diag_take(char *text);
static std::string diag_html(const std::string &text, int flags = 0);
static std::string diag_title_target(const CONNECTION_T *conn);
static std::string diag_gmt(time_t t);
static std::string diag_row(const std::string &name, const std::string &value);
static std::string diag_dialog(const std::string &head, const std::string &rows);
static std::string diag_name_encode(const std::string &name);

/* Takes a new text of a helper. */
static std::string diag_take(char *text)
{
    std::string s = text ? text : "";
    free(text);
    return s;
}

static std::string diag_html(const std::string &text, int flags)
{
    return diag_take(string_to_html(text.c_str(), flags));
}

/* "host" and "path" of the request, escaped, for the titles "... for %s%s". */
static std::string diag_title_target(const CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    std::string target = h && h->host ? h->host : "";
    target += h && h->path ? h->path : "";
    return diag_html(target);
}

/* A time in seconds since the epoch as "%a, %d %b %Y %T GMT". */
static std::string diag_gmt(time_t t)
{
    struct tm tm;
    char text[64];
    if (!gmtime_r(&t, &tm) || strftime(text, sizeof text, "%a, %d %b %Y %T GMT", &tm) == 0)
        return "";
    return text;
}

/* One row of a dialog; both cells are HTML already. */
static std::string diag_row(const std::string &name, const std::string &value)
{
    return "<tr><td class=\"name\">" + name + "</td><td>" + value + "</td></tr>\n";
}

static std::string diag_dialog(const std::string &head, const std::string &rows)
{
    return "<table class=\"dialog\">\n<tr class=\"listhead\"><td colspan=\"2\">" + head +
           "</td></tr>\n" + rows + "</table>\n";
}

void limits_show(CONNECTION_T *conn)
{
    std::string title = "Transfer limits for " + diag_title_target(conn);
    /* No allowance is shown as the largest one a limit can give. */
    int64_t down = conn->download_left == ALLOWANCE_UNLIMITED ? 4294967295LL : conn->download_left;
    int64_t up = conn->upload_left == ALLOWANCE_UNLIMITED ? 4294967295LL : conn->upload_left;
    std::string rows = diag_row("Download limit", diag_take(filesize(down))) +
                       diag_row("Upload limit", diag_take(filesize(up)));
    interface_send_page(conn, title, diag_dialog(title, rows));
}

void show_profiles(CONNECTION_T *conn)
{
    std::string title = "Active profiles for " + diag_title_target(conn);
    std::string rows;
    for (const std::string &profile : conn->profiles)
        rows += "<tr><td>" + diag_html(profile) + "</td></tr>\n";
    interface_send_page(conn, title,
                        "<table class=\"dialog\">\n<tr class=\"listhead\"><td>" + title +
                            "</td></tr>\n" + rows + "</table>\n");
}

void cache_show(CONNECTION_T *conn)
{
    const HEADER *h = conn->header;
    char port[16];
    snprintf(port, sizeof port, "%d", h->port);
    std::string title = "Cache information for " +
                        diag_html(std::string(h->protocol ? h->protocol : "") + "://" +
                                  (h->host ? h->host : "") + ":" + port + (h->path ? h->path : ""));
    CACHEMAP *object = cache_section && h->url
                           ? cache_section->cache_open(nullptr, h->url, nullptr, CACHE_OFFLINE)
                           : nullptr;
    if (!object) {
        interface_send_page(conn, title,
                            diag_dialog(title, "<tr><td colspan=\"2\">Nothing found</td></tr>\n"));
        return;
    }
    std::string flags = diag_html(diag_take(cache_section->flag_string(object)));
    std::string rows;
    {
        CacheLock guard(*cache_section, true);
        char text[64];
        if (object->store && !object->store->directory.empty())
            rows += diag_row("Path", diag_html(object->store->directory));
        snprintf(text, sizeof text, "%lld bytes", (long long)object->size);
        rows += diag_row("Size", text);
        /* The object's times count from the epoch plus gmtoffset. */
        rows += diag_row("Retrieved", diag_gmt(object->retrieved - gmtoffset));
        if (object->last_modified)
            rows += diag_row("Last modified", diag_gmt(object->last_modified - gmtoffset));
        if (object->expires)
            rows += diag_row("Expires", diag_gmt(object->expires - gmtoffset));
        if (object->fresh_until)
            rows += diag_row("Fresh until", diag_gmt(object->fresh_until - gmtoffset));
        snprintf(text, sizeof text, "%lu", (unsigned long)object->min_age);
        rows += diag_row("Minimum age", text);
        snprintf(text, sizeof text, "%lu", (unsigned long)object->max_age);
        rows += diag_row("Maximum age", text);
        snprintf(text, sizeof text, "%lu", (unsigned long)object->default_age);
        rows += diag_row("Validate age", text);
        snprintf(text, sizeof text, "%d", (int)object->lm_factor);
        rows += diag_row("Last-Modified time factor", text);
        rows += diag_row("MD5 sum", diag_html(object->md5));
        rows += diag_row("Flags", flags);
        std::string header = object->map && object->start > 0
                                 ? std::string(object->map, strnlen(object->map, (size_t)object->start))
                                 : "";
        rows += diag_row("Header", "<pre>" + diag_html(header) + "</pre>");
    }
    cache_section->cache_close(object, false);
    interface_send_page(conn, title, diag_dialog(title, rows));
}

void show_proxytest(CONNECTION_T *conn)
{
    std::string title = "Proxy test for " + diag_title_target(conn);
    if (conn->forward_type != FORWARD_HTTP) {
        interface_send_page(conn, title,
                            diag_dialog(title, "<tr><td colspan=\"2\">Not forwarding through HTTP "
                                               "proxy</td></tr>\n"));
        return;
    }
    HEADER *before = conn->rheader;
    proxy_test(conn);
    char port[16];
    snprintf(port, sizeof port, "%d", conn->proxy_port);
    std::string proxy = diag_html(std::string(conn->proxy_host ? conn->proxy_host : "") + ":" + port);
    std::string rows;
    if (conn->rheader && conn->rheader != before) {
        std::string text = conn->rheader->raw ? request_header_redact(conn->rheader->raw) : "";
        rows = "<tr><td>Headers received from " + proxy + "</td></tr>\n<tr><td><pre>" +
               diag_html(text) + "</pre></td></tr>\n";
        http_header_free(conn->rheader);
        conn->rheader = before;
    } else {
        rows = "<tr><td>" + proxy + " failed to connect back</td></tr>\n";
    }
    interface_send_page(conn, title,
                        "<table class=\"dialog\">\n<tr class=\"listhead\"><td>" + title +
                            "</td></tr>\n" + rows + "</table>\n");
}

/* A variable's value as the pages may show it: the values of the
 * credential headers and the login cookie are redacted, by the rule of the
 * header pages. */
static std::string diag_variable_value(const std::string &name, const std::string &value)
{
    size_t open = name.find('[');
    if (open == std::string::npos || name.back() != ']')
        return value;
    std::string header = name.substr(open + 1, name.size() - open - 2);
    std::string line = request_header_redact((header + ":" + value).c_str());
    std::string shown = line.substr(header.size() + 1);
    if (shown != value && !shown.empty() && shown[0] == ' ')
        shown.erase(0, 1);
    return shown;
}

void show_variables(CONNECTION_T *conn)
{
    std::string title = "Variables for " + diag_title_target(conn);
    std::string rows = "<tr class=\"listhead\"><td>Name</td><td>Value</td></tr>\n";
    int i = 0;
    for (const auto &v : conn->variables) {
        rows += std::string("<tr class=\"") + (i++ % 2 ? "listodd" : "listeven") + "\"><td>" +
                diag_html(v.first, HTML_NEWLINES | HTML_SPACES) + "</td><td>" +
                diag_html(diag_variable_value(v.first, v.second), HTML_NEWLINES | HTML_SPACES) +
                "</td></tr>\n";
    }
    interface_send_page(conn, title, "<table class=\"list\">\n" + rows + "</table>\n");
}

void show_headers(CONNECTION_T *conn)
{
    std::string title = "HTTP headers to/from " + diag_title_target(conn);
    std::string client = conn->header && conn->header->raw ? request_header_redact(conn->header->raw) : "";
    std::string server = conn->rheader && conn->rheader->raw ? request_header_redact(conn->rheader->raw) : "";
    std::string rows = "<tr><td>Client header</td></tr>\n<tr><td><pre>" + diag_html(client) +
                       "</pre></td></tr>\n<tr><td>Server header</td></tr>\n<tr><td><pre>" +
                       diag_html(server) + "</pre></td></tr>\n";
    interface_send_page(conn, title,
                        "<table class=\"dialog\">\n<tr class=\"listhead\"><td>" + title +
                            "</td></tr>\n" + rows + "</table>\n");
}

void show_filebuf(CONNECTION_T *conn, const Filebuf *buffer)
{
    std::string title = "Raw contents of " + diag_title_target(conn);
    std::string text;
    if (buffer && buffer->data && buffer->size > 0)
        text.assign(buffer->data, strnlen(buffer->data, (size_t)buffer->size));
    interface_send_page(conn, title, "<table class=\"dialog\"><tr><td><pre>" + diag_html(text) +
                                         "</pre></td></tr></table>\n");
}

void show_htmltree(CONNECTION_T *conn)
{
    std::string title = "HTML tree for " + diag_title_target(conn);
    std::string rows;
    int depth = 0;
    const htmlstream_node *n = conn->htmlstream ? conn->htmlstream->root : nullptr;
    while (n) {
        std::string cell;
        if (n->tag) {
            cell = diag_html(n->tag->name);
            for (const htmlstream_attr *a = n->tag->attributes; a; a = a->next)
                cell += " " + diag_html(a->name) + "=&quot;" + diag_html(a->value) + "&quot;";
        } else {
            cell = "&quot;" + diag_html(n->text ? n->text : "", HTML_NEWLINES | HTML_SPACES) + "&quot;";
        }
        rows += "<tr><td style=\"padding-left: " + std::to_string(depth * 36) + "px\">" + cell +
                "</td></tr>\n";
        /* Depth first: the children, then the next sibling, else up. */
        if (n->child) {
            n = n->child;
            depth++;
            continue;
        }
        while (n && !n->next) {
            n = n->parent;
            depth--;
        }
        if (n)
            n = n->next;
    }
    interface_send_page(conn, title, "<table class=\"list\">\n" + rows + "</table>\n");
}

/* A listing name for a link relative to the directory: every byte but
 * letters, digits, "-._~" and a directory's final "/" percent-encoded, so
 * that the gateway reads the name back exactly ("+" stays "+", a ":" makes
 * no scheme). */
static std::string diag_name_encode(const std::string &name)
{
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < name.size(); i++) {
        unsigned char c = (unsigned char)name[i];
        if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~' ||
            (c == '/' && i + 1 == name.size())) {
            out += (char)c;
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

/* The two sort arrows of a column. */
static std::string diag_arrows(const char *field)
{
    std::string f = field;
    return " <a href=\"?order=descending&amp;field=" + f + "\"><img src=\"http://" INTERFACE_HOST
           "/template/uparrow\" border=\"0\" alt=\"descending\"></a><a href=\"?order=ascending&amp;field=" +
           f + "\"><img src=\"http://" INTERFACE_HOST "/template/downarrow\" border=\"0\" alt=\"ascending\"></a>";
}

void show_dirlist(CONNECTION_T *conn, const dir_t *listing)
{
    const HEADER *h = conn->header;
    std::string path = h->path ? h->path : "/";
    size_t query = path.find('?');
    if (query != std::string::npos)
        path.resize(query);
    char port[16];
    snprintf(port, sizeof port, "%d", h->port);
    std::string title = "Directory listing for " +
                        diag_html(std::string("ftp://") + (h->host ? h->host : "") + ":" + port + path);

    std::string page = "<table class=\"ftphead\"><tr><td>" + diag_take(path_to_url(path.c_str())) +
                       "</td></tr></table>\n";
    page += "<form method=\"GET\" action=\"" + diag_html(path) + "\">\n<table class=\"list\">\n";
    page += "<tr class=\"listhead\"><td></td><td>Name" + diag_arrows("name") + "</td><td>Size" +
            diag_arrows("size") + "</td><td>Date" + diag_arrows("date") + "</td></tr>\n";
    int i = 0;
    for (const dir_t *e = listing; e; e = e->next) {
        std::string name = e->name;
        char date[64];
        if (strftime(date, sizeof date, "%a, %d %b %Y %T GMT", &e->time) == 0)
            date[0] = '\0';
        page += std::string("<tr class=\"") + (i++ % 2 ? "listodd" : "listeven") +
                "\"><td><input type=\"checkbox\" name=\"filename\" value=\"" + diag_html(name) +
                "\"></td><td><a href=\"" + diag_html(diag_name_encode(name)) + "\">" + diag_html(name) +
                "</a></td><td>" + (e->type == 1 ? std::string("DIR") : diag_take(filesize((int64_t)e->size))) +
                "</td><td>" + date + "</td></tr>\n";
    }
    page += "<tr class=\"listhead\"><td colspan=\"4\">"
            "Delete: <input type=\"radio\" name=\"action\" value=\"delete\"> "
            "Rename: <input type=\"radio\" name=\"action\" value=\"rename\"> "
            "Mkdir: <input type=\"radio\" name=\"action\" value=\"mkdir\"> "
            "Rmdir: <input type=\"radio\" name=\"action\" value=\"rmdir\"> "
            "Regexp match: <input type=\"radio\" name=\"action\" value=\"rematch\"> "
            "Raw command: <input type=\"radio\" name=\"action\" value=\"raw\"> "
            "<br>Argument: <input type=\"text\" name=\"argument\" size=\"80\"> "
            "<input type=\"submit\" value=\"Submit\"></td></tr>\n</table>\n</form>\n";
    interface_send_page(conn, title, page);
}
