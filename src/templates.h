#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "configtypes.h"
#include "header.h"
#include "section.h"

class Filebuf;
struct CONNECTION_T;

/* The status a configured page may carry: 0 (keep the caller's status) or
 * one of these. */
#define TEMPLATE_STATUS_MIN 100
#define TEMPLATE_STATUS_MAX 599
/* The longest path of a configured page file. */
#define TEMPLATE_PATH_MAX 255

/* One built-in page. The table PAGES ends with a row whose name is NULL. */
struct page_t {
    const char *name;
    const char *text;     /* the page bytes */
    const char *mime;
    int64_t length;       /* -1: text is NUL-terminated and its length is counted */
    int parse;            /* 1: variables between at-signs are filled in */
};

/* The built-in pages, compiled into the program. */
extern const page_t PAGES[];

/* How the values of template variables are escaped for a page's format. */
enum template_escape {
    TEMPLATE_ESCAPE_NONE = 0,     /* plain text and unknown types: as they are */
    TEMPLATE_ESCAPE_HTML,         /* HTML and XML: markup, quotes, CR/LF as entities */
    TEMPLATE_ESCAPE_SCRIPT,       /* script, JSON and the proxy configuration file:
                                     inside a string literal */
    TEMPLATE_ESCAPE_CSS,          /* style sheets: backslash escapes */
};

/* One configured page, copied out of an entry of the list page. */
struct Template {
    bool enabled = false;
    std::string comment;
    StringList profiles;
    std::string name;             /* compared without case; empty never matches */
    std::string file;             /* absolute, or relative to the directory */
    std::string mime;             /* empty: none */
    int status = 0;               /* 0: the caller's status */
    bool suppress = false;        /* the entry yields no page at all */
    bool parse = false;
};

/*
 * Response templates (section "templates"): the pages the proxy sends in
 * place of a server's answer. A name finds a built-in page first; a
 * configured entry can add pages but never replace a built-in one.
 */
class TemplateSection : public Section {
public:
    TemplateSection();

    /* Rebuilds the entries from list 0, in order; an entry whose status is
     * refused by item_check is left out. Called with the write lock
     * held. */
    void update() override;

    /* A status other than 0 must lie in 100-599 (Section::item_check). */
    int item_check(const Item &item, std::string *nature) override;

    /*
     * A new buffer (the caller deletes it) holding the page name with its
     * content type and its variables filled in, escaped for its format; NULL
     * when there is no such page (no built-in or configured page of the
     * name, or the configured entry is suppressed or names no file). When
     * status is not NULL and a configured entry with a status other than 0
     * gave the page, that status is stored there.
     */
    Filebuf *get(CONNECTION_T *conn, const char *name, int *status);

    /*
     * Sends the page name as the whole response with status (a configured
     * entry's own status replaces it), Content-Length, Content-Type and
     * Cache-Control "no-cache", and fills the connection's log entry as a
     * page the proxy made itself. Returns 1 when the page was sent (or the
     * attempt failed on the socket), 0 when nothing was sent: no page of
     * that name, or no client (CONN_NOCLIENT). The HTTP exchange relies on
     * 0 to probe for optional pages, so send itself never closes anything.
     */
    [[nodiscard]] int send(const char *name, CONNECTION_T *conn, int status);
    /* The same with extra lines added to the response header (written as
     * they are). */
    [[nodiscard]] int send(const char *name, CONNECTION_T *conn, int status,
                           const HeaderList &extra);

    /*
     * send for a caller that must answer: when nothing could be sent it
     * logs that no page exists for the name and clears keepalive_client,
     * so the worker closes the client connection instead of leaving it
     * waiting for an answer that never comes. Returns send's result.
     */
    int send_or_close(const char *name, CONNECTION_T *conn, int status);
    int send_or_close(const char *name, CONNECTION_T *conn, int status, const HeaderList &extra);

    /* Appends the page name to page. Returns 1, or 0 when there is none. */
    int insert(CONNECTION_T *conn, Filebuf *page, const char *name);

    /* The escaping that variables need in a page of this content type. */
    static int escape_for(const char *mime);

    /* value escaped for kind (template_escape). */
    static std::string escape(const std::string &value, int kind);

private:
    std::vector<Template> entries;
};

/* The one instance, created by sections_create. */
extern TemplateSection *template_section;
