/*
 * The administration web interface. Its pages share one style sheet, kept
 * as a template so that the built-in pages and the generated diagnostic
 * pages look alike; every page that is not built inside the interface's
 * own frame starts with it.
 *
 * TODO: the interface itself (recognising its requests, the login, the
 * page frame and the pages); for now only the style sheet helper exists.
 */
#include "interface.h"

#include "templates.h"

int interface_stylesheet(CONNECTION_T *conn, Filebuf *page)
{
    return template_section ? template_section->insert(conn, page, "interface.css") : 0;
}
