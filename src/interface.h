#pragma once

class Filebuf;
struct CONNECTION_T;

/* The host name under which the proxy serves its own administration pages
 * and template files; never resolved, never forwarded. */
#define INTERFACE_HOST "quill.invalid"

/* Appends the interface style sheet (the template "interface.css", a
 * complete style element) to page. Returns 1, or 0 when no such template
 * exists. */
int interface_stylesheet(CONNECTION_T *conn, Filebuf *page);
