#pragma once

class Filebuf;
struct CONNECTION_T;
struct dir_t;

/* The diagnostic pages that URL commands open in place of the real answer,
 * and the FTP gateway's directory listing. Each sends a complete page
 * (status 200, "text/html", not cached) and fills the log entry; every
 * text from the request, a server, a file or the configuration is escaped. */

/* "limits": the request's remaining download and upload allowances. */
void limits_show(CONNECTION_T *conn);
/* "profiles" and "mimeprofiles": the connection's profiles. */
void show_profiles(CONNECTION_T *conn);
/* "cache": what the cache holds for the request's URL. */
void cache_show(CONNECTION_T *conn);
/* "proxytest": the request as the upstream HTTP proxy forwards it. */
void show_proxytest(CONNECTION_T *conn);
/* "variables": the connection's template variables. */
void show_variables(CONNECTION_T *conn);
/* "headers": the request and response headers. */
void show_headers(CONNECTION_T *conn);
/* "raw": buffer's text up to its first NUL; buffer is not changed. */
void show_filebuf(CONNECTION_T *conn, const Filebuf *buffer);
/* "htmltree": the parsed HTML tree of the response (conn->htmlstream). */
void show_htmltree(CONNECTION_T *conn);
/* Every FTP directory: the listing (already sorted) with its links, sort
 * arrows and the action form. */
void show_dirlist(CONNECTION_T *conn, const dir_t *listing);
