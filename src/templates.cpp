/*
 * Response templates. Every page the proxy sends in place of a server's
 * answer is found by name: first among the built-in pages (PAGES), which
 * a configuration cannot replace, then among the administrator's page
 * entries, the first enabled one whose profiles match the request. A page
 * is built fresh for each request: its bytes, its content type, and its
 * variables filled in from the connection. Those values come from the
 * request (URL, host, headers, user names), so each is escaped for the
 * format of the page it lands in before it is filled in. send wraps the
 * page in a complete response and fills the access-log record as a page
 * the proxy made itself; it answers 0 when no page exists, which the
 * HTTP exchange uses to probe for optional pages, while callers that must
 * answer use send_or_close so that the client is never left waiting.
 */
#include "templates.h"

#include <strings.h>

#include <cctype>
#include <cstring>
#include <iterator>
#include <memory>

#include "connection.h"
#include "filebuf.h"
#include "header.h"
#include "header_io.h"
#include "interface.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "profiles.h"
#include "proto_http.h"

static const page_t *template_builtin(const char *name);
static Filebuf *template_builtin_build(CONNECTION_T *conn, const page_t *row);
static bool template_add(Filebuf *page, const char *bytes, int64_t len);
static bool template_mime_has(const char *mime, const char *word);
static void template_variables_fill(CONNECTION_T *conn, Filebuf *page, int kind,
                                    const char *name);

/* The options, by position. */
static const FieldDecl template_global_fields[] = {
    {  0, "directory", FIELD_STRING },
};

/* The fields of an entry of the list page, by position. */
static const FieldDecl template_page_fields[] = {
    {  0, "enabled",   FIELD_BOOL },
    {  1, "comment",   FIELD_STRING },
    {  2, "profiles",  FIELD_STRING_LIST },
    {  3, "name",      FIELD_STRING },
    {  4, "file",      FIELD_STRING },
    {  5, "mime-type", FIELD_STRING },
    {  6, "status",    FIELD_INT },
    {  7, "suppress",  FIELD_BOOL },
    {  8, "parse",     FIELD_BOOL },
};

/* Log lines show at most this much of a name that may come from a client. */
#define TEMPLATE_LOG_TEXT_MAX 128

TemplateSection *template_section = nullptr;

TemplateSection::TemplateSection() : Section("templates", SECTION_RWLOCK)
{
    fields_require(template_global_fields);
    list_require(0, "page", template_page_fields, std::size(template_page_fields));
}

int TemplateSection::item_check(const Item &item, std::string *nature)
{
    int status = item.fields[6].value;
    if (status == 0 || (status >= TEMPLATE_STATUS_MIN && status <= TEMPLATE_STATUS_MAX))
        return -1;
    *nature = "0 or between " + std::to_string(TEMPLATE_STATUS_MIN) + " and " +
              std::to_string(TEMPLATE_STATUS_MAX);
    return 6;
}

void TemplateSection::update()
{
    entries.clear();
    entries.reserve(subsections[0].items.size());
    for (const Item &item : subsections[0].items) {
        std::string nature;
        if (item_check(item, &nature) >= 0)
            continue;
        const FieldVector &f = item.fields;
        entries.emplace_back();
        Template &t = entries.back();
        t.enabled = f[0].value == 1;
        t.comment = f[1].text;
        t.profiles = f[2].list;
        t.name = f[3].text;
        t.file = f[4].text;
        t.mime = f[5].text;
        t.status = f[6].value;
        t.suppress = f[7].value != 0;
        t.parse = f[8].value == 1;
    }
}

/* The built-in row of that name (without case), or NULL. */
static const page_t *template_builtin(const char *name)
{
    for (const page_t *row = PAGES; row->name; row++)
        if (strcasecmp(row->name, name) == 0)
            return row;
    return nullptr;
}

/* Appends bytes; false (logged) when the page cannot grow. */
static bool template_add(Filebuf *page, const char *bytes, int64_t len)
{
    if (len == 0 || page->Add(bytes, len) == FILEBUF_OK)
        return true;
    putlog(LOG_ERROR, "template: a page could not be built");
    return false;
}

/* Builds a built-in page: its bytes with the variables filled in and, for
 * an HTML page, the style sheet at the end of its head (or in front, for a
 * fragment without a head). NULL when the page cannot be built. */
static Filebuf *template_builtin_build(CONNECTION_T *conn, const page_t *row)
{
    std::unique_ptr<Filebuf> page(new Filebuf());
    int64_t len = row->length < 0 ? (int64_t)strlen(row->text) : row->length;
    if (!template_add(page.get(), row->text, len))
        return nullptr;
    page->content_type = xstrdup(row->mime);
    if (!page->content_type)
        return nullptr;
    if (row->parse == 1)
        template_variables_fill(conn, page.get(), TemplateSection::escape_for(row->mime),
                                row->name);

    if (strcmp(row->mime, "text/html") != 0 || strcasecmp(row->name, "interface.css") == 0)
        return page.release();

    /* The variables are in already, so the style sheet is never parsed,
     * and an escaped value can hold no "</head>" of its own. */
    int64_t head_end = 0;
    static const char head_close[] = "</head>";
    const char *found = page->size > 0 ? (const char *)memmem(page->data, (size_t)page->size,
                                                              head_close, sizeof head_close - 1)
                                       : nullptr;
    if (found)
        head_end = found - page->data;
    std::unique_ptr<Filebuf> framed(new Filebuf());
    if (!template_add(framed.get(), page->data, head_end))
        return nullptr;
    if (!interface_stylesheet(conn, framed.get()))
        putlog(LOG_ERROR, "template: the interface style sheet is missing");
    if (!template_add(framed.get(), page->data + head_end, page->size - head_end))
        return nullptr;
    framed->content_type = page->content_type;
    page->content_type = nullptr;   /* moved to framed */
    return framed.release();
}

Filebuf *TemplateSection::get(CONNECTION_T *conn, const char *name, int *status)
{
    if (!name)
        return nullptr;

    /* A built-in page wins over any configured entry of the same name, so
     * it is looked for first and needs no lock. */
    const page_t *row = template_builtin(name);
    if (row)
        return template_builtin_build(conn, row);

    static const StringList no_profiles;
    const StringList &profiles = conn ? conn->profiles : no_profiles;
    Template entry;
    std::string directory;
    {
        SectionReadGuard guard(*this);
        const Template *found = nullptr;
        for (const Template &t : entries) {
            if (profile_find(profiles, t.profiles) && !t.name.empty() && t.enabled &&
                strcasecmp(t.name.c_str(), name) == 0) {
                found = &t;
                break;
            }
        }
        if (!found || found->file.empty() || found->suppress)
            return nullptr;
        entry = *found;
        directory = fields[0].text;
    }

    /* The file is read after the lock is released: no disk I/O under it. */
    std::string path;
    if (entry.file[0] == '/')
        path = entry.file;
    else if (!directory.empty())
        path = directory + "/" + entry.file;
    else
        path = entry.file;

    std::unique_ptr<Filebuf> page(new Filebuf());
    if (path.size() > TEMPLATE_PATH_MAX) {
        putlog(LOG_ERROR, "template %s: file path over %d characters, page left empty",
               log_text(name, TEMPLATE_LOG_TEXT_MAX).c_str(), TEMPLATE_PATH_MAX);
    } else if (page->Read(path.c_str()) < 0) {
        putlog(LOG_ERROR, "template %s: cannot read %s, page left empty",
               log_text(name, TEMPLATE_LOG_TEXT_MAX).c_str(), path.c_str());
    }
    if (!entry.mime.empty()) {
        page->content_type = xstrdup(entry.mime.c_str());
        if (!page->content_type)
            return nullptr;
    }
    if (entry.parse)
        template_variables_fill(conn, page.get(), escape_for(page->content_type), name);
    if (status && entry.status != 0)
        *status = entry.status;
    return page.release();
}

int TemplateSection::send(const char *name, CONNECTION_T *conn, int status)
{
    return send(name, conn, status, HeaderList());
}

int TemplateSection::send(const char *name, CONNECTION_T *conn, int status,
                          const HeaderList &extra)
{
    if (!conn || !name || (conn->flags & CONN_NOCLIENT))
        return 0;

    std::unique_ptr<HEADER, void (*)(HEADER *)> header(header_new(), http_header_free);
    header->type = HEADER_RESPONSE;
    header->version = 2;
    header->status = status;
    header->flags |= HEADER_HAS_LENGTH;

    /* The page's header stands in as the response while the page is built
     * and sent; the previous one comes back on every path. */
    HEADER *previous = conn->rheader;
    conn->rheader = header.get();
    int page_status = -1;
    std::unique_ptr<Filebuf> page(get(conn, name, &page_status));
    if (!page) {
        conn->rheader = previous;
        return 0;
    }
    if (page_status != -1)
        header->status = page_status;
    header->content_length = page->size;
    const char *type = page->content_type ? page->content_type : "text/plain";
    header_field_set(&header->content_type, type);
    header_field_set(&header->cache_control, "no-cache");
    header->headers.insert(header->headers.end(), extra.begin(), extra.end());

    /* The cache code stays as the request's steps decided: a page made
     * before the cache or any server was asked is written NONE. */
    conn->logentry.set_peercode(PC_DIRECT);
    conn->logentry.peer = "quillmere";
    conn->logentry.size = (conn->flags & CONN_HEAD) ? 0 : page->size;
    conn->logentry.status = header->status;
    conn->logentry.mime = type;

    int rc = header_send(header.get(), conn, SIDE_CLIENT, HEADER_SEND_RESPONSE);
    conn->rheader = previous;
    if (rc == 0 && page->size > 0)
        rc = http_send_body(conn, page.get());
    if (rc != 0)
        conn->keepalive_client = 0;   /* the client has a broken answer */
    putlog(LOG_TEMPLATE, "sent %s", log_text(name, TEMPLATE_LOG_TEXT_MAX).c_str());
    return 1;
}

int TemplateSection::send_or_close(const char *name, CONNECTION_T *conn, int status)
{
    return send_or_close(name, conn, status, HeaderList());
}

int TemplateSection::send_or_close(const char *name, CONNECTION_T *conn, int status,
                                   const HeaderList &extra)
{
    int sent = send(name, conn, status, extra);
    if (sent || !conn)
        return sent;
    if (!(conn->flags & CONN_NOCLIENT))
        putlog(LOG_WARNING, "[IP:%s] no page exists for template %s, client connection closed",
               conn->ip ? conn->ip : "", log_text(name, TEMPLATE_LOG_TEXT_MAX).c_str());
    conn->keepalive_client = 0;
    return 0;
}

int TemplateSection::insert(CONNECTION_T *conn, Filebuf *page, const char *name)
{
    std::unique_ptr<Filebuf> part(get(conn, name, nullptr));
    if (!part)
        return 0;
    if (!template_add(page, part->data, part->size))
        return 0;
    return 1;
}

/* True when mime holds word, compared without case. */
static bool template_mime_has(const char *mime, const char *word)
{
    return s_strcasestr(mime, word) != nullptr;
}

int TemplateSection::escape_for(const char *mime)
{
    if (!mime || !*mime)
        return TEMPLATE_ESCAPE_NONE;
    if (template_mime_has(mime, "html") || template_mime_has(mime, "xml"))
        return TEMPLATE_ESCAPE_HTML;
    if (template_mime_has(mime, "javascript") || template_mime_has(mime, "ecmascript") ||
        template_mime_has(mime, "json") || template_mime_has(mime, "proxy-autoconfig"))
        return TEMPLATE_ESCAPE_SCRIPT;
    if (template_mime_has(mime, "text/css"))
        return TEMPLATE_ESCAPE_CSS;
    return TEMPLATE_ESCAPE_NONE;
}

std::string TemplateSection::escape(const std::string &value, int kind)
{
    static const char hex[] = "0123456789abcdef";
    std::string out;
    switch ((template_escape)kind) {
    case TEMPLATE_ESCAPE_NONE:
        return value;
    case TEMPLATE_ESCAPE_HTML:
        /* Markup and both quotes become entities, so a value is safe in
         * text and in any quoted attribute; CR and LF become character
         * references; other control bytes, which no HTML may hold, go. */
        for (char ch : value) {
            unsigned char c = (unsigned char)ch;
            switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            case '\r': out += "&#13;"; break;
            case '\n': out += "&#10;"; break;
            default:
                if ((c < 0x20 && c != '\t') || c == 0x7f)
                    break;
                out += (char)c;
            }
        }
        return out;
    case TEMPLATE_ESCAPE_SCRIPT:
        /* Inside a string literal of a script or JSON text: everything but
         * letters, digits and a few harmless marks as \u00hh, and the two
         * line separators of Unicode, which end a literal in older script
         * engines, as \u2028 and \u2029. */
        for (size_t i = 0; i < value.size(); i++) {
            unsigned char c = (unsigned char)value[i];
            if (c == 0xe2 && i + 2 < value.size() && (unsigned char)value[i + 1] == 0x80 &&
                ((unsigned char)value[i + 2] == 0xa8 || (unsigned char)value[i + 2] == 0xa9)) {
                out += (unsigned char)value[i + 2] == 0xa8 ? "\\u2028" : "\\u2029";
                i += 2;
            } else if (c >= 0x80 || isalnum(c) || strchr(" .,:-_", c)) {
                out += (char)c;
            } else {
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 15];
            }
        }
        return out;
    case TEMPLATE_ESCAPE_CSS:
        /* A backslash, the hex value and a blank for every byte but
         * letters, digits and bytes above 127. */
        for (char ch : value) {
            unsigned char c = (unsigned char)ch;
            if (c >= 0x80 || isalnum(c)) {
                out += (char)c;
            } else {
                out += '\\';
                out += hex[c >> 4];
                out += hex[c & 15];
                out += ' ';
            }
        }
        return out;
    }
    return value;
}

/* Fills the variables of conn into page, their values escaped for kind
 * (template_escape); name is for the log. A page too large with its values
 * filled in keeps its markers, which show no request data. */
static void template_variables_fill(CONNECTION_T *conn, Filebuf *page, int kind,
                                    const char *name)
{
    VariableMap scratch;
    VariableMap *variables = &scratch;
    if (conn && kind == TEMPLATE_ESCAPE_NONE) {
        variables = &conn->variables;
    } else if (conn) {
        for (const auto &v : conn->variables)
            scratch.emplace(v.first, TemplateSection::escape(v.second, kind));
    }

    if (variables_parse(*variables, page) != FILEBUF_OK) {
        putlog(LOG_ERROR, "template %s: too large with its variables filled in, sent without them",
               log_text(name, TEMPLATE_LOG_TEXT_MAX).c_str());
        return;
    }
    /* Names the page used but the request lacks join the connection's map
     * with empty values, as when the page is parsed with the map itself. */
    if (conn && variables == &scratch)
        for (const auto &v : scratch)
            conn->variables.emplace(v.first, std::string());
}
