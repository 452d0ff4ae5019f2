#pragma once

struct CONNECTION_T;

/* A label that carries a URL command begins with this text (any case). */
#define URL_COMMAND_PREFIX "xx--"
/* The longest redirect target url_command_add builds. */
#define URL_COMMAND_LOCATION_MAX 4095

/* One URL command: the name as written and the text between its brackets.
 * A request's commands are a NULL-terminated array of these, made by
 * url_command_parse and freed by url_command_free. */
struct url_command_t {
    char *name;      /* owned, never NULL */
    char *options;   /* owned, or NULL when the label had no brackets */
};

/*
 * Parses the command labels at the front of text and removes them from it.
 * Each label is "xx--" (any case), a name, optional options in square
 * brackets and a "."; the label runs to its first "." and the options end
 * at the first "]" within as many bytes from the "[" as the label is long,
 * so that options may hold a dot. A label without a "." ends the parsing
 * and stays in text. Returns a new NULL-terminated array (freed with
 * url_command_free), or NULL when text begins with no command.
 */
url_command_t **url_command_parse(char *text);

/* Frees every name, every options text, each element and the array; NULL
 * is allowed. */
void url_command_free(url_command_t **commands);

/* The first command whose name equals name without regard to case, or
 * NULL (also for a NULL array). */
url_command_t *url_command_find(url_command_t **commands, const char *name);

/* The commands rendered back into labels, in order: "xx--name[options]."
 * or "xx--name.". A new text (the caller frees it); "" for NULL or an
 * empty array. */
char *url_command_create(url_command_t **commands);

/* Logs each command at LOG_URLCOMMAND: "command: %s, options: %s" or
 * "command: %s", with control bytes escaped. */
void url_command_log(url_command_t **commands);

/*
 * The redirect target location with the request's commands put in front
 * of its host, as a new text (the caller frees it):
 * - "scheme://rest" with the request's scheme: the commands go before rest;
 *   with another scheme the location is returned unchanged (commands do
 *   not follow a change of scheme);
 * - "//host/...": the request's scheme, the commands, then host and path;
 * - "/path": scheme, commands, the request's host and port, the path;
 * - anything else is relative to the request path's directory (the path
 *   up to its last "/" before any query).
 * Without commands, without a request host, or when the result would pass
 * URL_COMMAND_LOCATION_MAX characters, the location is returned unchanged.
 */
char *url_command_add(CONNECTION_T *conn, const char *location);

/*
 * Finds the request's commands and applies the Referer rule. Commands of
 * an earlier call are freed first. An origin-form request takes them from
 * its Host header, or without one from its first path segment (which is
 * then removed); any other request from its host, whose URL is rebuilt.
 * A Referer that carries commands loses its labels (the rest stays byte
 * for byte); the request then keeps its own commands, takes over the
 * Referer's (a method other than GET, or no host at all), or, for a GET
 * without commands of its own, is answered with a 302 to the same URL
 * with the Referer's commands added. Returns 1 to go on, 0 when the
 * client was answered (the 302, or an attempt that failed on the socket).
 */
[[nodiscard]] int url_command_extract(CONNECTION_T *conn);
