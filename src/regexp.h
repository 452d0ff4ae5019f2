#pragma once

#ifndef PCRE2_CODE_UNIT_WIDTH
#define PCRE2_CODE_UNIT_WIDTH 8
#endif
#include <pcre2.h>

#include <cstddef>
#include <cstdint>
#include <functional>

#include "misc.h"

/* Regular expressions of the configuration over PCRE2: plain matching ("is
 * there a match", with the flags of the POSIX convention), and search and
 * replace with numbered sub-matches and template variables. A compiled
 * expression is only read while matching, so one may be used by many
 * threads at once: what a search writes belongs to the searching thread. */

/* An expression compiled for plain matching. Opaque. */
struct regex_posix_t;

/* Flags of reg_compile (the values of the POSIX convention). */
constexpr int REG_COMPILE_ICASE = 0x1;     /* ignore case */
constexpr int REG_COMPILE_NEWLINE = 0x2;   /* newline-sensitive: ^ and $ also match at
                                              a newline ("." never takes one) */

/* Options of reg_sub_compile. The numbers are fixed (configuration code
 * passes 15 for the four together) and are mapped onto the library's. */
enum {
    REG_SUB_CASELESS = 0x1,
    REG_SUB_MULTILINE = 0x2,
    REG_SUB_DOTALL = 0x4,
    REG_SUB_EXTENDED = 0x8,    /* white space in the pattern ignored unless escaped */
    REG_SUB_ALL = 0xf,
};

/* Default ceiling of the text reg_sub_parse may build. */
constexpr int64_t REG_SUB_MAX_BYTES = 16 * 1024 * 1024;

/* Heap the matcher may use for one search (in KiB). */
constexpr uint32_t REG_SUB_HEAP_LIMIT_KIB = 16 * 1024;

/* Backtracking steps one search may take before it stops as no match: far
 * more than any sane rule needs on a URL, a header or a body, and reached
 * in well under a second by an expression that backtracks without end. */
constexpr uint32_t REG_MATCH_LIMIT = 2000000;

/* The non-zero result of reg_exec and reg_exec_bytes: no match. */
constexpr int REG_EXEC_NOMATCH = 1;

/* Result of reg_replace_text and reg_replace besides a count. */
enum { REG_REPLACE_TOO_BIG = -1 };

/* A native compiled expression. Made by reg_sub_compile, released by
 * reg_sub_free. */
struct regex_sub_t {
    pcre2_code *code;             /* JIT-compiled where the library can */
};

/* One match of reg_sub_exec, released by reg_sub_match_free. Offsets are
 * bytes of the searched text; substrings come from the library's substring
 * list (entry 0 the whole match, entry k group k, an unset group empty) and
 * lengths[k] is the byte count of entry k, which may hold zero bytes. */
struct regmatch_sub_t {
    int64_t start;
    int64_t end;
    int count;                    /* entries in substrings */
    PCRE2_UCHAR **substrings;     /* owned, one block with lengths */
    PCRE2_SIZE *lengths;
};

/* Plain matching. */

/* A new compiled expression, or NULL after "failed to compile regular
 * expression: %s" with the pattern at LOG_ERROR. flags: REG_COMPILE_*;
 * otherwise the library's defaults ("." takes no newline, "$" also matches
 * before a final newline). */
[[nodiscard]] regex_posix_t *reg_compile(const char *pattern, int flags);

/* 0 when text contains a match, REG_EXEC_NOMATCH otherwise (the POSIX
 * convention; a search that hits the limits counts as no match and logs
 * "regular expression search stopped: %s"). */
[[nodiscard]] int reg_exec(const regex_posix_t *regex, const char *text);

/* The same on length bytes of subject, which may hold zero bytes: the
 * whole text is searched, not only up to its first zero byte. */
[[nodiscard]] int reg_exec_bytes(const regex_posix_t *regex, const char *subject, int64_t length);

/* Releases an expression of reg_compile; NULL is a fatal error. */
void reg_free(regex_posix_t *regex);

/* Native interface. */

/* A new compiled expression with the REG_SUB_* options, or NULL after the
 * same line as reg_compile. */
[[nodiscard]] regex_sub_t *reg_sub_compile(const char *pattern, int options);

/* The first match in text as a new record, or NULL when there is none (or
 * the search hit the library's limits, logged at LOG_WARNING). */
[[nodiscard]] regmatch_sub_t *reg_sub_exec(const regex_sub_t *regex, const char *text);

/* The same on length bytes of subject, which may hold zero bytes. */
[[nodiscard]] regmatch_sub_t *reg_sub_exec_bytes(const regex_sub_t *regex, const char *subject,
                                                 int64_t length);

/* A new text (released with free): in the administrator's text of
 * replacement, "$d" replaced by string d of the match (0 the whole match)
 * and the backslash escapes \\ \a \e \f \n \r \t turned into their bytes;
 * its template variables "@name@" (read as variables_parse reads them, which
 * adds unknown names to variables) copied as they stand, since a value may
 * come from the request. NULL when the replacement with its variables, or
 * the text, would exceed max_bytes. */
[[nodiscard]] char *reg_sub_parse(const regmatch_sub_t *match, const char *replacement,
                                  VariableMap &variables,
                                  int64_t max_bytes = REG_SUB_MAX_BYTES);

/* Receives the result of reg_replace_text piece by piece, in order; false
 * when the piece cannot be taken, which stops the substitution. */
using RegReplaceSink = std::function<bool(const char *bytes, int64_t length)>;

/* Replaces every match of regex in length bytes of text, left to right, by
 * the expansion of replacement as reg_sub_parse makes it (NULL replacement:
 * the matches are dropped), handing the whole result to add. Each search
 * starts afresh where the last match ended; after an empty match one byte
 * is copied before the next search. Returns the number of matches (0: add
 * was never called), or REG_REPLACE_TOO_BIG, logged, when the result would
 * exceed limit bytes or add refused a piece; the caller then drops what add
 * received. reg_replace (filebuf.h) runs it on a body buffer. */
[[nodiscard]] int64_t reg_replace_text(const char *text, int64_t length, const regex_sub_t *regex,
                                       const char *replacement, VariableMap &variables,
                                       int64_t limit, const RegReplaceSink &add);

/* Release; NULL is allowed. */
void reg_sub_free(regex_sub_t *regex);
void reg_sub_match_free(regmatch_sub_t *match);
