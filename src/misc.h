#pragma once

#include <netinet/in.h>
#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <map>
#include <string>


/* Text, URL, time and FTP helpers shared by the request road and the pages.
 * Every function that returns a new text or record allocates it with xmalloc;
 * the caller releases it with free() unless a matching _free is named. A
 * failed allocation in these helpers is fatal. */

/* The largest user name and the largest password url_parse accepts. */
#define URL_USERINFO_MAX 128
/* The longest path url_parse and url_path_fix accept (without the
 * fragment); a longer one is refused, never cut. */
#define URL_PATH_MAX 8192
/* Room for a whole URL text: scheme, host and port, and the longest path. */
#define URL_TEXT_MAX (URL_PATH_MAX + 1024)
/* A template variable name holds at most this many characters. */
#define VARIABLE_NAME_MAX 62

/* A parsed URL. Made by url_parse, freed by url_free, which frees every
 * text. */
struct URL {
    char *user;       /* NULL when the URL has none */
    char *password;   /* NULL when the URL has none */
    char *protocol;   /* the scheme, lower case */
    char *host;       /* lower case, without blanks or controls */
    char *path;       /* begins with "/", fragment removed */
    int port;         /* 1 to 65535, or 0 for a scheme without a default */
};

/* One line of a list of text lines (Filebuf::to_stack). Freed as a whole
 * with stack_free. */
struct STACK_T {
    STACK_T *next;
    STACK_T *prev;
    char *line;       /* owned, never NULL */
};

/* One bound of a time window. Each value is in the unit of the matching
 * field of struct tm (tm_year, tm_mon, tm_mday, tm_wday, tm_hour, tm_min);
 * a component whose flag is clear takes no part in the comparison. */
struct tm_partial {
    bool year_set;
    int year;
    bool month_set;
    int month;
    bool mday_set;
    int mday;
    bool wday_set;
    int wday;
    bool hour_set;
    int hour;
    bool minute_set;
    int minute;
};

/* Strings. */

/* Copies at most size - 1 characters of src and terminates dst. A size of 1
 * gives an empty text; a size of 0 leaves dst untouched. Returns the number
 * of characters copied. */
size_t s_strncpy(char *dst, const char *src, size_t size);

/* Appends src to dst so that dst holds at most size - 1 characters, always
 * terminated (a size of 0 leaves dst untouched). Returns dst's new length. */
size_t s_strncat(char *dst, const char *src, size_t size);

/* The length of text, at most n. */
size_t s_strnlen(const char *text, size_t n);

/* The first occurrence of needle in haystack ignoring case, or NULL. An
 * empty needle matches at the start of a non-empty haystack. */
const char *s_strcasestr(const char *haystack, const char *needle);

/* Lower-cases text in place; returns text. */
char *string_tolower(char *text);

/* text (which may be NULL) grown by more; text's block is taken over and
 * the returned block replaces it. */
char *string_append(char *text, const char *more);

/* The pieces of text between separators as a new string array (a
 * NULL-terminated array of owned texts, freed with array_free). Runs of
 * separators count as one and separators at the ends make no empty piece;
 * an empty text, or one of separators only, gives one empty piece. */
char **string_break(const char *text, char separator);

/* The number of texts in array; 0 for NULL. */
size_t array_length(char *const *array);

/* Frees the texts and the array; NULL is allowed. */
void array_free(char **array);

/* A new text of the pieces joined by character; "" for NULL or empty. */
char *array_merge(char *const *array, char character);

/* 1 when none of the first n characters of text (up to its end) is a
 * printable character other than a blank, else 0. */
int isempty(const char *text, size_t n);

/* 1 when text is a dotted IPv4 address: four parts of one to three digits,
 * each 0 to 255, else 0. */
int isip(const char *text);

/* Writes the MD5 digest of text as 32 lower-case hex digits and a NUL into
 * out, which holds 33 bytes. */
void md5_string(const char *text, char out[33]);

/* The MD5 of len bytes as 32 lower-case hex digits in out; false when no
 * digest is to be had. */
bool md5_hex(const char *data, int64_t len, char out[33]);

/* The value of a hex digit (either case), or -1 for any other byte. */
int hex_digit(int c);

/* Frees a whole line list, starting from any of its nodes; NULL is allowed.
 * A node without a line is a fatal error. */
void stack_free(STACK_T *list);

/* HTTP texts. */

/* The reason phrase written after a status code: the registered one, the
 * text of its class for another code of 100-599, "Unknown" outside. */
const char *code_to_error(int status);

/* The template name for a failed connection attempt: -4 "badauth", -3
 * "nodns", -2 "noconnect", anything else "unknown". */
const char *error_to_template(int code);

/* URLs. */

/* Parses an absolute URL "scheme://[user:password@]host[:port][/path]".
 * Returns a new URL (freed with url_free), or NULL when text is malformed:
 * no scheme, fewer than two characters after the scheme's colon, user info
 * without a colon or with a part over 128 characters, a second "@" before
 * the path, an empty host, a port that is not 1 to 65535 or is not
 * followed by the end or "/", a path over URL_PATH_MAX characters. A colon
 * in the path ("/wiki/Special:Random") is part of the path. */
URL *url_parse(const char *text);

/* A new text "protocol://host:port/path", the whole of each part. */
char *url_create(const URL *url);

/* Frees the texts and the record; NULL is allowed. */
void url_free(URL *url);

/* The default port of a scheme: 80 for http, 21 for ftp (any case), else 0. */
int protocol_port(const char *scheme);

/* Removes in place every byte up to 32 (blanks, controls), DEL (127) and
 * every byte above 127; returns text. */
char *url_strip(char *text);

/* A new text: path cut at the first "#", then stripped as by url_strip;
 * NULL when what precedes the "#" is over URL_PATH_MAX characters. */
char *url_path_fix(const char *path);

/* A new text from at most n characters of text: a blank becomes "+";
 * "+,-./", digits, letters and bytes above 127 stay; any other byte becomes
 * "%" and two lower-case hex digits. */
char *url_encode(const char *text, size_t n);

/* text with blanks, control bytes and DEL (and with high_bytes every byte
 * above 127) percent-encoded in upper-case hex, so that it can split no
 * header or request line. */
std::string url_escape_unsafe(const std::string &text, bool high_bytes);

/* A new text from at most n characters of text: "+" becomes a blank; "%"
 * and the (at most) two characters after it become the byte whose value is
 * their leading hex digits (0 when there are none); a "%" at the end stays.
 * Never reads past the end of the text. A decoded NUL ends the result. */
char *url_decode(const char *text, size_t n);

/* len bytes of text (which may hold zero bytes) with every "%" followed by
 * two hex digits turned into the byte they name and, when plus_blank, every
 * "+" into a blank; any other "%" stays as it is. */
std::string url_percent_decode(const char *text, size_t len, bool plus_blank);

/* The path of a request as a server reads it, for rules that judge paths:
 * before the query ("?"), every "%" with two hex digits decoded (a "/"
 * included; "%00" stays as it is), runs of "/" merged, and the dot
 * segments "." and ".." resolved as RFC 3986 5.2.4 removes them; the query
 * follows unchanged. The request itself is never rewritten with it. */
std::string url_path_normal(const char *path);

/* The HTML navigation trail of a directory path: a link to "/" and one link
 * per path component to the accumulated path, each HTML-escaped. The
 * accumulated path stops growing before it would exceed 1023 characters. */
char *path_to_url(const char *path);

/* HTML. */

/* string_to_html flags. */
enum html_flag {
    HTML_NEWLINES = 1,   /* newline becomes "<br>" */
    HTML_SPACES = 2,     /* blank becomes "&nbsp;" */
    HTML_SCRIPT = 4,     /* backslash before each of '\';.?/\\[]{}()+*|$' */
};

/* A new text for inclusion in a page: '"', '<', '>' and '&' become their
 * entities, plus the effects of flags. When flags is exactly HTML_NEWLINES
 * and line_length is above 0, a "<br>" also follows every line_length
 * characters counted from the last blank (the blank counts as the first).
 * Callers that wrap pass the general section's line length; 0 or less
 * means no wrapping. */
char *string_to_html(const char *text, int flags, int line_length = 0);

/* Time. */

/* Whether t lies in the window from..to taking each set component on its
 * own (a recurring window): 1 or 0. */
int in_alltimerange(const struct tm *t, const tm_partial *from, const tm_partial *to);

/* Whether t lies in the window from..to reading the set components as the
 * digits of one point in time, in the order year, month, day, weekday,
 * hour, minute; the bounds are inclusive. 1 or 0. */
int in_absolutetimerange(const struct tm *t, const tm_partial *from, const tm_partial *to);

/* Milliseconds from a to b, truncated toward zero; saturates at the
 * int64_t limits when the difference does not fit. */
int64_t timeval_diff_ms(const struct timeval *a, const struct timeval *b);

/* Negative, 0 or positive as a is before, equal to or after b: the
 * difference of the seconds when they differ, else of the microseconds
 * (saturated at the int64_t limits). */
int64_t timeval_cmp(const struct timeval *a, const struct timeval *b);

/* A new text "HH:MM:SS.hh" (hours, minutes, seconds, hundredths) of a
 * duration. */
char *timeval_to_string(const struct timeval *duration);

/* Milliseconds of the monotonic clock: for deadlines and elapsed times
 * that must not jump with the wall clock. */
int64_t monotonic_ms();

/* The current time plus gmtoffset; also stored in *out when out is not
 * NULL. */
time_t utc_time(time_t *out);

/* 2 to the power n for n above 0 (n at most 62), else 1. */
int64_t xpow(int n);

/* FTP and files. */

/* A new text "h1,h2,h3,h4,p1,p2" of an IPv4 address and port, the argument
 * of an FTP PORT command. */
char *ftpport_create(const struct sockaddr_in *address);

/* Parses the six comma-separated numbers of a PASV reply (text may go on
 * after the sixth, as in "1,2,3,4,5,6)."). Returns a new address (freed
 * with free()), or NULL unless there are exactly six numbers of 0 to 255
 * and the port is not 0. */
struct sockaddr_in *ftpport_parse(const char *text);

/* The permission bits of a ten-character ls mode string; 0 for a shorter
 * text. */
int mode_parse(const char *text);

/* A new text "%.1f B", "KB", "MB" or "GB" for a byte count. */
char *filesize(int64_t bytes);

/* Templates. */

/* A connection's template variables: name to value, names compared exactly. */
using VariableMap = std::map<std::string, std::string>;

/* Reads the reference that starts at the "@" at `at` (end: one past the
 * text) by the rules of variables_parse. Returns the bytes it takes and
 * points *value at what it stands for: "@" for "@@", for a final "@" and for
 * an "@" without its closing "@", else the variable's value (an unknown name
 * is added, empty). *value stays valid while variables is not changed. */
int64_t variables_reference(VariableMap &variables, const char *at, const char *end,
                            const std::string **value);
