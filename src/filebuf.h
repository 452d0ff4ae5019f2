#pragma once

#include <sys/types.h>

#include <cstdint>

#include "misc.h"

struct CONNECTION_T;
struct HEADER;
struct STACK_T;
struct regex_sub_t;

/* Growth happens in steps of this many bytes. */
#define FILEBUF_STEP 65536
/* Addf formats into an area of this size: at most 8191 characters. */
#define FILEBUF_FORMAT_AREA 8192
/* The limit a new buffer gets: a ceiling against runaway growth. Code that
 * fills a buffer from a peer sets the tighter limit that applies to it. */
#define FILEBUF_DEFAULT_LIMIT ((int64_t)1 << 30)
/* The highest limit a buffer can have: a multiple of the step, so rounding
 * a size up to the step can never overflow. */
#define FILEBUF_MAX_LIMIT (INT64_MAX / FILEBUF_STEP * FILEBUF_STEP)

/* The largest buffer too small for even a gzip member's 10-byte header
 * and 8-byte trailer. */
#define FILEBUF_GZIP_MIN_BYTES 17

/* Results of the operations that can refuse to grow or edit. */
enum filebuf_result {
    FILEBUF_OK = 0,
    FILEBUF_TOO_BIG = -1,     /* the result would exceed the buffer's limit */
    FILEBUF_BAD_RANGE = -2,   /* a negative size or an offset outside the data */
    FILEBUF_NO_MEMORY = -3,   /* the allocation failed (logged by xrealloc) */
};

/* Results of Read besides the byte count. */
enum filebuf_read_result {
    FILEBUF_READ_NO_FILE = -1,    /* the file cannot be opened */
    FILEBUF_READ_TOO_BIG = -2,    /* the file would exceed the limit; nothing kept */
    FILEBUF_READ_NO_MEMORY = -3,  /* the allocation failed; nothing kept */
};

/*
 * The growable byte buffer for bodies, pages, templates, files and header
 * blocks. Whoever creates one deletes it; a buffer is never shared between
 * threads. The fields are public for readers; grow and edit through the
 * methods, which check the buffer's limit before any growth.
 */
class Filebuf {
public:
    explicit Filebuf(int64_t limit_bytes = FILEBUF_DEFAULT_LIMIT);
    ~Filebuf();
    Filebuf(const Filebuf &) = delete;
    Filebuf &operator=(const Filebuf &) = delete;

    /* Sets the size to n. The capacity becomes n rounded up to the step when
     * it is below n or more than one step above it; resizing to 0 keeps the
     * allocation. New bytes are not initialised. Returns FILEBUF_OK,
     * FILEBUF_TOO_BIG (n above the limit), FILEBUF_BAD_RANGE (n below 0) or
     * FILEBUF_NO_MEMORY (the allocation failed); on failure nothing
     * changes. */
    [[nodiscard]] int Resize(int64_t n);

    /* Appends len bytes. Results as Resize. */
    [[nodiscard]] int Add(const char *bytes, int64_t len);

    /* Appends the printf-formatted text, cut to 8191 characters. Results as
     * Resize. */
    [[nodiscard]] int Addf(const char *format, ...) __attribute__((format(printf, 2, 3)));

    /* Replaces the bytes start..end (end excluded) by the NUL-terminated
     * text. FILEBUF_BAD_RANGE unless 0 <= start <= end <= size; else as
     * Resize. On failure nothing changes. */
    [[nodiscard]] int Replace(int64_t start, int64_t end, const char *text);

    /* Frees its data and takes over other's data, size and capacity,
     * leaving other empty; with NULL it becomes empty. Content types and
     * limits stay where they are. */
    void Swap(Filebuf *other);

    /* A new buffer (the caller deletes it) with a copy of the data, capacity
     * equal to the size, the same limit and no content type. */
    Filebuf *Dup() const;

    /* Gives back the slack: the capacity becomes exactly the size (an empty
     * buffer releases its data). When the smaller block cannot be had the
     * buffer keeps its present one. */
    void Shorten();

    /* Appends the whole file at path, read in blocks of BLOCKSIZE. Returns
     * the bytes appended; a read error ends the reading and keeps what was
     * read. FILEBUF_READ_NO_FILE when the file cannot be opened,
     * FILEBUF_READ_TOO_BIG (contents as before) when it would exceed the
     * limit, FILEBUF_READ_NO_MEMORY (contents as before) when the growth
     * cannot be allocated. */
    [[nodiscard]] int64_t Read(const char *path);

    /* Writes the whole contents to fd, resuming after short writes and
     * interruptions. Returns the bytes written, or -1 with errno set. */
    [[nodiscard]] ssize_t Save(int fd) const;

    /* The contents split at each newline into a new line list (freed with
     * stack_free); a carriage return before a newline stays in the line, and
     * bytes after the last newline form a last line. NULL when the buffer
     * has never allocated data. */
    STACK_T *to_stack() const;

    /* Puts block (from malloc, size bytes, taken over) in place of the
     * contents; capacity becomes size. Returns FILEBUF_TOO_BIG, leaving
     * block with the caller, when size exceeds the limit. */
    [[nodiscard]] int Adopt(char *block, int64_t size);

    /* Hands the data block to the caller (who frees it) and leaves the
     * buffer empty. */
    char *Release();

    int64_t limit() const { return limit_bytes; }
    /* Sets the most bytes the buffer may hold, clamped to 0 ..
     * FILEBUF_MAX_LIMIT. Contents already above it stay; only growth is
     * refused. */
    void set_limit(int64_t bytes);

    /* Content codings. Each builds its result in a second buffer with this
     * buffer's limit and swaps it in only on success, so a failure leaves
     * the contents as they were; the content type stays either way. */

    /* Removes a gzip (gzip 1) or deflate (gzip 0) coding. gzip: one or
     * more gzip members, each with its header fields (extra data, name,
     * comment, header CRC) read and its CRC-32 and length verified; a
     * buffer of FILEBUF_GZIP_MIN_BYTES or fewer is refused without a log
     * line, and bytes after a member that do not start another member are
     * ignored. deflate: a zlib-wrapped stream, or a raw deflate stream;
     * bytes after the end of the stream are ignored. Returns 1 when
     * decoded, 0 otherwise: corrupt or truncated data is logged through
     * zlib_error; a result above the limit is logged and sets *too_big
     * (when given), which tells a decompression bomb from bad data. */
    [[nodiscard]] int Uncompress(int gzip, bool *too_big = nullptr);

    /* Applies a gzip (gzip 1: a 10-byte header without flags or time, OS
     * Unix; the deflate stream; CRC-32 and length) or a raw deflate (gzip
     * 0) coding at level 9. Returns 1 when coded, 0 otherwise (a zlib
     * failure is logged through zlib_error, except a stream that cannot be
     * set up; a result above the limit is refused quietly). */
    [[nodiscard]] int Compress(int gzip);

    /* Removes the content codings that conn's response header names in
     * Content-Encoding, last applied first: "gzip" and "x-gzip", "deflate",
     * "identity" (nothing to do), compared without case. Returns 1 when the
     * contents are now plain; 0 with the contents unchanged when a coding
     * is not one of these (logged as "unhandled content encoding: %s") or
     * does not decode (logged), and then *too_big (when given) is set when
     * the decoded size passed the limit (the request then fails instead of
     * passing the body on coded). 0 without a log line when conn has no
     * response header or it no Content-Encoding. The header is left alone:
     * the caller removes the Content-Encoding after a successful decode. */
    [[nodiscard]] int Decode(CONNECTION_T *conn, bool *too_big = nullptr);

    /* Codes the contents for the client when the general section's
     * compress-out option is set for conn, the request has an
     * Accept-Encoding and the proxy did not ask for the coding itself
     * (CONN_ASKED_ENCODING); then as EncodeFor with the request's
     * Accept-Encoding and conn's response header. Returns 1 when coded,
     * else 0 with the contents unchanged. The caller calls it only for a
     * response without a Content-Encoding. */
    [[nodiscard]] int Encode(CONNECTION_T *conn);

    /* Codes the contents with gzip when accept_encoding contains "gzip"
     * (compared without case), else with deflate when it contains "deflate",
     * and sets response's Content-Encoding to the coding used. Returns 1
     * when coded; 0 with contents and header unchanged when neither is
     * named or the coding fails (logged). */
    [[nodiscard]] int EncodeFor(const char *accept_encoding, HEADER *response);

    /* Logs a zlib result code at LOG_ERROR. */
    static void zlib_error(int code);

    int64_t size;         /* bytes in use */
    int64_t capacity;     /* bytes allocated */
    char *data;           /* owned; not NUL-terminated; NULL until first growth */
    char *content_type;   /* owned MIME type or NULL; set by the template code */

private:
    int64_t limit_bytes;
};

/* Replaces in place every "@name@" in buffer by the variable's value (when
 * both are non-empty) and every "@@" by "@". A name the map does not hold
 * is added with an empty value. An "@" without a closing "@" within the 63
 * characters after it is copied as it stands. Returns FILEBUF_OK, or
 * FILEBUF_TOO_BIG with buffer unchanged when the result would exceed the
 * buffer's limit. */
[[nodiscard]] int variables_parse(VariableMap &variables, Filebuf *buffer);

/* How much a reg_replace may grow its buffer by default. */
constexpr int64_t REG_REPLACE_MAX_GROWTH = 16 * 1024 * 1024;

/* Replaces every match of regex (regexp.h) in buffer, left to right, by the expansion
 * of replacement as reg_sub_parse makes it (NULL replacement: the matches
 * are dropped), as reg_replace_text does. Returns the number of matches (0:
 * buffer unchanged), or REG_REPLACE_TOO_BIG, logged and with buffer
 * unchanged, when the result would exceed the buffer's limit or its size
 * plus max_growth. */
[[nodiscard]] int64_t reg_replace(Filebuf *buffer, const regex_sub_t *regex,
                                  const char *replacement, VariableMap &variables,
                                  int64_t max_growth = REG_REPLACE_MAX_GROWTH);
