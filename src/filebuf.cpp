/*
 * The growable byte buffer. Bodies arrive in small blocks, so the capacity
 * moves in 64 KiB steps and shrinks only when more than a step would stand
 * idle; reallocation stays rare. Buffers are filled from peers and files,
 * so every growth first checks the buffer's limit and refuses, leaving the
 * contents as they were, instead of growing without bound. Sizes are 64-bit
 * throughout and the limit keeps the step rounding from overflowing.
 *
 * The gzip and deflate codings of HTTP run through zlib. A coded body comes
 * from a server, so decoding is bounded by the buffer's limit (a small
 * body can expand a thousandfold) and checks everything the format carries:
 * every gzip member's header fields, CRC-32 and length. Each coding builds
 * its result in a second buffer and swaps it in only when it is complete,
 * so no failure leaves a half-coded body behind.
 */
#include "filebuf.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <zlib.h>

#include "compat.h"
#include "connection.h"
#include "general.h"
#include "header.h"
#include "log.h"
#include "mem.h"
#include "misc.h"
#include "options.h"
#include "regexp.h"

/* Output of zlib is collected through an area of this size. */
#define FILEBUF_CODING_AREA 8192
/* The most input bytes handed to zlib in one piece: its counts are 32-bit. */
#define FILEBUF_ZLIB_PIECE ((int64_t)1 << 30)
/* The longest Content-Encoding value quoted in a log line. */
#define FILEBUF_LOG_VALUE_MAX 128

/* How an inflate run ended. */
enum filebuf_inflate_result {
    FILEBUF_INFLATE_END = 0,     /* the end of the stream was reached */
    FILEBUF_INFLATE_BAD,         /* corrupt or truncated; *zrc holds the last result */
    FILEBUF_INFLATE_TOO_BIG,     /* the output would pass the result's limit */
    FILEBUF_INFLATE_NO_MEMORY,   /* the output could not be allocated */
};

/* Content codings handled by Decode and Encode. */
enum filebuf_coding { FILEBUF_CODING_GZIP = 1, FILEBUF_CODING_DEFLATE = 0 };

static int64_t filebuf_round_up(int64_t n);
[[noreturn]] static void filebuf_alloc_failed(int line, const char *operation, int64_t bytes);
static int filebuf_inflate(z_stream *zs, const unsigned char *in, int64_t in_bytes, Filebuf *out,
                           int64_t *used, int *zrc);
static int filebuf_gunzip(const unsigned char *in, int64_t in_bytes, Filebuf *out, int *zrc);
static int filebuf_inflate_whole(const unsigned char *in, int64_t in_bytes, int window_bits,
                                 Filebuf *out, int *zrc);
static bool filebuf_zlib_header(const unsigned char *in, int64_t in_bytes);
static bool filebuf_token_is(const char *start, const char *end, const char *name);
static int filebuf_compress_out(CONNECTION_T *conn);

/* n rounded up to the next multiple of the step; n is at most the highest
 * limit, itself a multiple of the step, so this cannot overflow. */
static int64_t filebuf_round_up(int64_t n)
{
    return (n + FILEBUF_STEP - 1) / FILEBUF_STEP * FILEBUF_STEP;
}

/* The fatal path for a failed (re)allocation, naming the operation. */
static void filebuf_alloc_failed(int line, const char *operation, int64_t bytes)
{
    fatal_error("src/filebuf", line, operation, "Failed to allocate %llu bytes of memory",
                (unsigned long long)bytes);
}

Filebuf::Filebuf(int64_t limit)
    : size(0), capacity(0), data(nullptr), content_type(nullptr), limit_bytes(0)
{
    set_limit(limit);
}

Filebuf::~Filebuf()
{
    free(data);
    free(content_type);
}

void Filebuf::set_limit(int64_t bytes)
{
    if (bytes < 0)
        bytes = 0;
    if (bytes > FILEBUF_MAX_LIMIT)
        bytes = FILEBUF_MAX_LIMIT;
    limit_bytes = bytes;
}

int Filebuf::Resize(int64_t n)
{
    if (n < 0)
        return FILEBUF_BAD_RANGE;
    if (n > size && n > limit_bytes)
        return FILEBUF_TOO_BIG;

    if (capacity < n || capacity - n > FILEBUF_STEP || !data) {
        if (n == 0) {
            /* Nothing to allocate; an existing block stays for reuse. */
            size = 0;
            return FILEBUF_OK;
        }
        int64_t want = filebuf_round_up(n);
        char *block = (char *)xrealloc(data, (size_t)want);
        if (!block) {
            /* The old block stays valid. A shrink that cannot be had keeps
             * it, so shrinking never fails. */
            if (!data || n > capacity)
                return FILEBUF_NO_MEMORY;
            size = n;
            return FILEBUF_OK;
        }
        data = block;
        capacity = want;
    }
    size = n;
    return FILEBUF_OK;
}

int Filebuf::Add(const char *bytes, int64_t len)
{
    if (len < 0 || (len > 0 && !bytes))
        return FILEBUF_BAD_RANGE;
    if (len > limit_bytes - size)
        return FILEBUF_TOO_BIG;
    if (len == 0)
        return FILEBUF_OK;
    int64_t old = size;
    int rc = Resize(size + len);
    if (rc != FILEBUF_OK)
        return rc;
    memcpy(data + old, bytes, (size_t)len);
    return FILEBUF_OK;
}

int Filebuf::Addf(const char *format, ...)
{
    char area[FILEBUF_FORMAT_AREA];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(area, sizeof area, format, ap);
    va_end(ap);
    if (n <= 0)
        return FILEBUF_OK;
    if (n > (int)sizeof area - 1)
        n = (int)sizeof area - 1;
    return Add(area, n);
}

int Filebuf::Replace(int64_t start, int64_t end, const char *text)
{
    if (!text || start < 0 || start > end || end > size)
        return FILEBUF_BAD_RANGE;
    int64_t len = (int64_t)strlen(text);
    int64_t removed = end - start;
    int64_t tail = size - end;
    int64_t old_size = size;

    if (len > removed) {
        if (len - removed > limit_bytes - size)
            return FILEBUF_TOO_BIG;
        int rc = Resize(old_size + len - removed);
        if (rc != FILEBUF_OK)
            return rc;
        memmove(data + start + len, data + end, (size_t)tail);
    } else if (len < removed) {
        memmove(data + start + len, data + end, (size_t)tail);
        int rc = Resize(old_size + len - removed);
        ASSERT(rc == FILEBUF_OK);   /* shrinking cannot be refused */
    }
    if (len > 0)
        memcpy(data + start, text, (size_t)len);
    return FILEBUF_OK;
}

void Filebuf::Swap(Filebuf *other)
{
    free(data);
    data = nullptr;
    size = 0;
    capacity = 0;
    if (!other || other == this)
        return;
    data = other->data;       /* the data block moves here */
    size = other->size;
    capacity = other->capacity;
    other->data = nullptr;
    other->size = 0;
    other->capacity = 0;
}

Filebuf *Filebuf::Dup() const
{
    Filebuf *copy = new Filebuf(limit_bytes);
    if (size > 0) {
        copy->data = (char *)xmalloc((size_t)size);
        if (!copy->data)
            filebuf_alloc_failed(__LINE__, "Dup", size);
        memcpy(copy->data, data, (size_t)size);
        copy->size = size;
        copy->capacity = size;
    }
    return copy;
}

void Filebuf::Shorten()
{
    if (capacity <= size)
        return;
    if (size == 0) {
        free(data);
        data = nullptr;
        capacity = 0;
        return;
    }
    char *block = (char *)xrealloc(data, (size_t)size);
    if (!block)
        return;   /* the larger block stays valid and holds the same bytes */
    data = block;
    capacity = size;
}

int64_t Filebuf::Read(const char *path)
{
    int fd = s_open(path, O_RDONLY);
    if (fd == -1)
        return FILEBUF_READ_NO_FILE;

    int64_t block_bytes = BLOCKSIZE > 0 ? BLOCKSIZE : 8192;
    std::unique_ptr<char[]> block(new char[(size_t)block_bytes]);
    int64_t start = size;
    int64_t result = 0;

    for (;;) {
        ssize_t got = read(fd, block.get(), (size_t)block_bytes);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;   /* end of file, or a read error: keep what was read */
        int added = Add(block.get(), got);
        if (added != FILEBUF_OK) {
            int rc = Resize(start);
            ASSERT(rc == FILEBUF_OK);   /* shrinking cannot be refused */
            result = added == FILEBUF_NO_MEMORY ? FILEBUF_READ_NO_MEMORY : FILEBUF_READ_TOO_BIG;
            break;
        }
    }
    close(fd);
    return result < 0 ? result : size - start;
}

ssize_t Filebuf::Save(int fd) const
{
    int64_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, (size_t)(size - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return -1;
        done += n;
    }
    return (ssize_t)done;
}

STACK_T *Filebuf::to_stack() const
{
    if (!data)
        return nullptr;

    STACK_T *first = nullptr;
    STACK_T *last = nullptr;
    const char *p = data;
    const char *end = data + size;

    /* One pass per line; the final pass takes the bytes after the last
     * newline, or makes the single empty line of an empty buffer. */
    do {
        const char *nl = (const char *)memchr(p, '\n', (size_t)(end - p));
        const char *line_end = nl ? nl : end;

        STACK_T *node = (STACK_T *)xmalloc(sizeof(STACK_T));
        if (!node)
            FATAL_ALLOC(sizeof(STACK_T));
        node->line = xstrndup(p, (size_t)(line_end - p));
        if (!node->line)
            FATAL_ALLOC(line_end - p + 1);
        node->prev = last;   /* next: zero fill */
        if (last)
            last->next = node;
        else
            first = node;
        last = node;

        if (!nl)
            break;
        p = nl + 1;
    } while (p < end);

    return first;
}

int Filebuf::Adopt(char *block, int64_t bytes)
{
    if (bytes < 0 || (bytes > 0 && !block))
        return FILEBUF_BAD_RANGE;
    if (bytes > limit_bytes)
        return FILEBUF_TOO_BIG;
    free(data);
    data = block;   /* the block is ours now */
    size = bytes;
    capacity = bytes;
    return FILEBUF_OK;
}

char *Filebuf::Release()
{
    char *block = data;   /* the caller owns it now */
    data = nullptr;
    size = 0;
    capacity = 0;
    return block;
}

/* ---------------------------------------------------------------- codings */

/*
 * Runs inflate on zs (set up by the caller) over in_bytes bytes, appending
 * the output to out, until the stream ends. The input is handed over in
 * pieces zlib's 32-bit counts can take; once all of it is given, inflate
 * flushes synchronously. Returns a filebuf_inflate_result; *used is the
 * input consumed up to the end of the stream (a gzip trailer included),
 * *zrc the last zlib result. Input running out before the end of the
 * stream is FILEBUF_INFLATE_BAD with the result of the last call (0 when
 * it made progress).
 */
static int filebuf_inflate(z_stream *zs, const unsigned char *in, int64_t in_bytes, Filebuf *out,
                           int64_t *used, int *zrc)
{
    unsigned char area[FILEBUF_CODING_AREA];
    int64_t given = 0;

    zs->next_in = const_cast<unsigned char *>(in);
    zs->avail_in = 0;
    for (;;) {
        if (zs->avail_in == 0 && given < in_bytes) {
            int64_t piece = in_bytes - given;
            if (piece > FILEBUF_ZLIB_PIECE)
                piece = FILEBUF_ZLIB_PIECE;
            zs->next_in = const_cast<unsigned char *>(in + given);
            zs->avail_in = (uInt)piece;
            given += piece;
        }
        bool all_given = given == in_bytes;
        zs->next_out = area;
        zs->avail_out = sizeof area;
        int rc = inflate(zs, all_given ? Z_SYNC_FLUSH : Z_NO_FLUSH);
        *zrc = rc;

        int64_t produced = (int64_t)(sizeof area - zs->avail_out);
        if (produced > 0 && (rc == Z_OK || rc == Z_STREAM_END)) {
            int added = out->Add((const char *)area, produced);
            if (added == FILEBUF_TOO_BIG)
                return FILEBUF_INFLATE_TOO_BIG;
            if (added != FILEBUF_OK)
                return FILEBUF_INFLATE_NO_MEMORY;
        }
        if (rc == Z_STREAM_END) {
            *used = given - zs->avail_in;
            return FILEBUF_INFLATE_END;
        }
        if (rc != Z_OK)
            return FILEBUF_INFLATE_BAD;   /* data, dictionary or buffer error */
        /* Output space left over with no input to come: the stream was cut
         * short. */
        if (all_given && zs->avail_in == 0 && zs->avail_out > 0)
            return FILEBUF_INFLATE_BAD;
    }
}

/*
 * Decodes one or more gzip members from in into out. zlib reads each
 * member's header (flags, extra data, name, comment, header CRC) and checks
 * its CRC-32 and length; a member followed by the two magic bytes starts
 * another one, anything else after a member is ignored. Returns a
 * filebuf_inflate_result with the last zlib result in *zrc.
 */
static int filebuf_gunzip(const unsigned char *in, int64_t in_bytes, Filebuf *out, int *zrc)
{
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    *zrc = inflateInit2(&zs, 16 + MAX_WBITS);   /* gzip wrapper only */
    if (*zrc != Z_OK)
        return *zrc == Z_MEM_ERROR ? FILEBUF_INFLATE_NO_MEMORY : FILEBUF_INFLATE_BAD;

    int64_t pos = 0;
    int result;
    for (;;) {
        int64_t used = 0;
        result = filebuf_inflate(&zs, in + pos, in_bytes - pos, out, &used, zrc);
        if (result != FILEBUF_INFLATE_END)
            break;
        pos += used;
        if (in_bytes - pos < 2 || in[pos] != 0x1f || in[pos + 1] != 0x8b)
            break;   /* the last member */
        inflateReset(&zs);
    }
    inflateEnd(&zs);
    return result;
}

/* Inflates one stream with the given window bits (15: zlib wrapper, -15:
 * raw deflate) from in into out; bytes after its end are ignored. Returns
 * a filebuf_inflate_result with the last zlib result in *zrc. */
static int filebuf_inflate_whole(const unsigned char *in, int64_t in_bytes, int window_bits,
                                 Filebuf *out, int *zrc)
{
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    *zrc = inflateInit2(&zs, window_bits);
    if (*zrc != Z_OK)
        return *zrc == Z_MEM_ERROR ? FILEBUF_INFLATE_NO_MEMORY : FILEBUF_INFLATE_BAD;
    int64_t used = 0;
    int result = filebuf_inflate(&zs, in, in_bytes, out, &used, zrc);
    inflateEnd(&zs);
    return result;
}

/* True when in starts with a zlib stream header: deflate method, a window
 * of at most 32 KiB and a valid check value. */
static bool filebuf_zlib_header(const unsigned char *in, int64_t in_bytes)
{
    if (in_bytes < 2)
        return false;
    return (in[0] & 0x0f) == Z_DEFLATED && (in[0] >> 4) <= 7 && ((in[0] << 8) | in[1]) % 31 == 0;
}

int Filebuf::Uncompress(int gzip, bool *too_big)
{
    if (too_big)
        *too_big = false;
    if (gzip && size <= FILEBUF_GZIP_MIN_BYTES)
        return 0;

    static const unsigned char nothing = 0;
    const unsigned char *in = data ? (const unsigned char *)data : &nothing;
    Filebuf out(limit_bytes);
    int zrc = Z_OK;
    int result;
    if (gzip) {
        result = filebuf_gunzip(in, size, &out, &zrc);
    } else if (filebuf_zlib_header(in, size)) {
        /* HTTP's deflate is the zlib format, but many servers send the
         * bare stream; the two bytes of a bare stream can pass for a zlib
         * header, so a failure is tried again as one. */
        result = filebuf_inflate_whole(in, size, MAX_WBITS, &out, &zrc);
        if (result == FILEBUF_INFLATE_BAD) {
            int raw_zrc = Z_OK;
            int raw_result;
            Filebuf raw(limit_bytes);
            raw_result = filebuf_inflate_whole(in, size, -MAX_WBITS, &raw, &raw_zrc);
            if (raw_result != FILEBUF_INFLATE_BAD) {
                result = raw_result;
                zrc = raw_zrc;
                out.Swap(&raw);
            }
        }
    } else {
        result = filebuf_inflate_whole(in, size, -MAX_WBITS, &out, &zrc);
    }

    switch ((filebuf_inflate_result)result) {
    case FILEBUF_INFLATE_END:
        Swap(&out);   /* the decoded bytes replace the contents */
        return 1;
    case FILEBUF_INFLATE_BAD:
        zlib_error(zrc);
        return 0;
    case FILEBUF_INFLATE_TOO_BIG:
        putlog(LOG_WARNING, "decoded content over the limit of %lld bytes, decoding stopped",
               (long long)limit_bytes);
        if (too_big)
            *too_big = true;
        return 0;
    case FILEBUF_INFLATE_NO_MEMORY:
        zlib_error(Z_MEM_ERROR);
        return 0;
    }
    return 0;
}

int Filebuf::Compress(int gzip)
{
    z_stream zs;
    memset(&zs, 0, sizeof zs);
    if (deflateInit2(&zs, 9, Z_DEFLATED, -MAX_WBITS, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;

    /* Header: magic, deflate, no flags, no time, no extra flags, Unix. */
    static const unsigned char gzip_header[10] = {0x1f, 0x8b, 0x08, 0, 0, 0, 0, 0, 0, 0x03};
    Filebuf out(limit_bytes);
    bool ok = !gzip || out.Add((const char *)gzip_header, sizeof gzip_header) == FILEBUF_OK;

    unsigned char area[FILEBUF_CODING_AREA];
    static const unsigned char nothing = 0;
    const unsigned char *in = data ? (const unsigned char *)data : &nothing;
    int64_t given = 0;
    int rc = Z_OK;
    int flush = Z_NO_FLUSH;
    while (ok && flush != Z_FINISH) {
        int64_t piece = size - given;
        if (piece > FILEBUF_ZLIB_PIECE)
            piece = FILEBUF_ZLIB_PIECE;
        zs.next_in = const_cast<unsigned char *>(in + given);
        zs.avail_in = (uInt)piece;
        given += piece;
        flush = given == size ? Z_FINISH : Z_NO_FLUSH;
        do {
            zs.next_out = area;
            zs.avail_out = sizeof area;
            rc = deflate(&zs, flush);
            /* A buffer error only says a call could make no progress. */
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                zlib_error(rc);
                ok = false;
                break;
            }
            int64_t produced = (int64_t)(sizeof area - zs.avail_out);
            if (produced > 0 && out.Add((const char *)area, produced) != FILEBUF_OK) {
                ok = false;   /* over the limit or out of memory */
                break;
            }
        } while (zs.avail_out == 0);
    }
    if (ok && rc != Z_STREAM_END) {
        zlib_error(rc);
        ok = false;
    }
    deflateEnd(&zs);

    if (ok && gzip) {
        uLong crc = crc32_z(0, data ? (const Bytef *)data : Z_NULL, (z_size_t)size);
        uint32_t length = (uint32_t)size;   /* the length modulo 2^32 */
        unsigned char trailer[8];
        for (int i = 0; i < 4; i++) {
            trailer[i] = (unsigned char)(crc >> (8 * i));
            trailer[4 + i] = (unsigned char)(length >> (8 * i));
        }
        ok = out.Add((const char *)trailer, sizeof trailer) == FILEBUF_OK;
    }
    if (!ok)
        return 0;
    Swap(&out);   /* the coded bytes replace the contents */
    return 1;
}

/* True when start..end, without surrounding blanks, is name, compared
 * without case. */
static bool filebuf_token_is(const char *start, const char *end, const char *name)
{
    while (start < end && (*start == ' ' || *start == '\t'))
        start++;
    while (end > start && (end[-1] == ' ' || end[-1] == '\t'))
        end--;
    size_t len = strlen(name);
    return (size_t)(end - start) == len && strncasecmp(start, name, len) == 0;
}

int Filebuf::Decode(CONNECTION_T *conn, bool *too_big)
{
    if (too_big)
        *too_big = false;
    const char *value = conn && conn->rheader ? conn->rheader->content_encoding : nullptr;
    if (!value)
        return 0;

    /* The codings in the order they were applied; "identity" adds none. */
    std::vector<int> codings;
    for (const char *start = value;;) {
        const char *comma = strchr(start, ',');
        const char *end = comma ? comma : start + strlen(start);
        if (filebuf_token_is(start, end, "gzip") || filebuf_token_is(start, end, "x-gzip")) {
            codings.push_back(FILEBUF_CODING_GZIP);
        } else if (filebuf_token_is(start, end, "deflate")) {
            codings.push_back(FILEBUF_CODING_DEFLATE);
        } else if (!filebuf_token_is(start, end, "identity") && !filebuf_token_is(start, end, "")) {
            putlog(LOG_WARNING, "unhandled content encoding: %s",
                   log_text(value, FILEBUF_LOG_VALUE_MAX).c_str());
            return 0;
        }
        if (!comma)
            break;
        start = comma + 1;
    }

    /* Codings stacked on each other are undone on a copy, so that a later
     * failure cannot leave the body half decoded. */
    Filebuf copy(limit_bytes);
    Filebuf *work = this;
    if (codings.size() > 1) {
        if (copy.Add(data, size) != FILEBUF_OK)
            return 0;
        work = &copy;
    }
    for (size_t i = codings.size(); i-- > 0;) {
        bool gzip = codings[i] == FILEBUF_CODING_GZIP;
        if (!work->Uncompress(gzip ? 1 : 0, too_big)) {
            putlog(LOG_ERROR, gzip ? "failed to decompress gzip encoded content"
                                   : "failed to decompress deflate encoded content");
            return 0;
        }
        putlog(LOG_DEBUG, gzip ? "decompressed gzip encoded file" : "decompressed deflate encoded file");
    }
    if (work != this)
        Swap(work);   /* every coding is undone: take the result */
    return 1;
}

int Filebuf::Encode(CONNECTION_T *conn)
{
    if (!conn || (conn->flags & CONN_ASKED_ENCODING) || !conn->header ||
        !conn->header->accept_encoding || !conn->rheader || !filebuf_compress_out(conn))
        return 0;
    return EncodeFor(conn->header->accept_encoding, conn->rheader);
}

int Filebuf::EncodeFor(const char *accept_encoding, HEADER *response)
{
    if (!accept_encoding || !response)
        return 0;
    const char *name;
    if (strcasestr(accept_encoding, "gzip")) {
        name = "gzip";
        if (!Compress(1)) {
            putlog(LOG_ERROR, "failed to gzip encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "gzip encoded file");
    } else if (strcasestr(accept_encoding, "deflate")) {
        name = "deflate";
        if (!Compress(0)) {
            putlog(LOG_ERROR, "failed to deflate encoded file");
            return 0;
        }
        putlog(LOG_DEBUG, "deflate encoded file");
    } else {
        return 0;
    }
    header_field_set(&response->content_encoding, name);
    return 1;
}

/* Whether the client's rule asks for compressed responses; off when the
 * general section does not exist (unit tests). */
static int filebuf_compress_out(CONNECTION_T *conn)
{
    return general_section ? general_section->compressout_get(conn) : 0;
}

void Filebuf::zlib_error(int code)
{
    switch (code) {
    case Z_NEED_DICT:
        putlog(LOG_ERROR, "zlib: dictionary error");
        break;
    case Z_BUF_ERROR:
        putlog(LOG_ERROR, "zlib: buffer error");
        break;
    case Z_MEM_ERROR:
        putlog(LOG_ERROR, "zlib: memory error");
        break;
    case Z_DATA_ERROR:
        putlog(LOG_ERROR, "zlib: data error");
        break;
    case Z_STREAM_ERROR:
        putlog(LOG_ERROR, "zlib: stream error");
        break;
    default:
        putlog(LOG_ERROR, "zlib: unknown error %d", code);
        break;
    }
}

int variables_parse(VariableMap &variables, Filebuf *buffer)
{
    ASSERT(buffer);
    if (buffer->size == 0)
        return FILEBUF_OK;

    Filebuf out(buffer->limit());
    const char *data = buffer->data;
    const char *end = data + buffer->size;
    const char *p = data;

    while (p < end) {
        const char *at = (const char *)memchr(p, '@', (size_t)(end - p));
        if (out.Add(p, (at ? at : end) - p) != FILEBUF_OK)
            return FILEBUF_TOO_BIG;
        if (!at)
            break;
        const std::string *value = nullptr;
        p = at + variables_reference(variables, at, end, &value);
        if (out.Add(value->data(), (int64_t)value->size()) != FILEBUF_OK)
            return FILEBUF_TOO_BIG;
    }

    buffer->Swap(&out);   /* the new contents replace the old */
    return FILEBUF_OK;
}

int64_t reg_replace(Filebuf *buffer, const regex_sub_t *regex, const char *replacement,
                    VariableMap &variables, int64_t max_growth)
{
    ASSERT(buffer && regex);
    if (max_growth < 0)
        max_growth = 0;
    int64_t limit = buffer->limit();
    if (buffer->size <= INT64_MAX - max_growth && buffer->size + max_growth < limit)
        limit = buffer->size + max_growth;

    Filebuf out(limit);
    int64_t count = reg_replace_text(buffer->data, buffer->size, regex, replacement, variables,
                                     limit, [&out](const char *bytes, int64_t length) {
                                         return out.Add(bytes, length) == FILEBUF_OK;
                                     });
    if (count > 0)
        buffer->Swap(&out);
    return count;
}
