#pragma once

#include <cstdint>

/* Base64 with the standard alphabet and "=" padding, as HTTP Basic and NTLM
 * authentication and ICAP carry it. */

/* Results of from64tobits besides a byte count. */
enum {
    BASE64_BAD = -1,        /* a character outside the alphabet, a short group
                               or misplaced padding; also the empty text */
    BASE64_TOO_LONG = -2,   /* the decoded bytes and their terminator do not
                               fit the output buffer */
};

/* The characters to64frombits writes for length bytes, not counting the
 * terminator: 4 per 3 bytes, rounded up. -1 for a negative length or one
 * whose encoding would not fit in int64_t. */
int64_t base64_encoded_size(int64_t length);

/* The most bytes a text of text_length characters can decode to: 3 per whole
 * group of 4. Adding 1 for the terminator gives a buffer that always fits. */
int64_t base64_decoded_max(int64_t text_length);

/* Encodes length bytes of data into out and terminates it. out must hold
 * base64_encoded_size(length) + 1 bytes; a negative length writes "". */
void to64frombits(char *out, const unsigned char *data, int64_t length);

/* Decodes text into out, at most out_size bytes including a terminating zero
 * that follows the decoded bytes. A leading "+ " (the continuation prompt of
 * the authentication exchanges) is skipped; decoding stops at the end of the
 * text, at a carriage return between groups, or after the group of four that
 * holds padding. A text that begins with a carriage return decodes to 0
 * bytes. The whole input is checked and the exact output size computed before
 * anything is written, so on BASE64_BAD or BASE64_TOO_LONG out is untouched.
 * Returns the number of decoded bytes (they may include zero bytes). */
[[nodiscard]] int64_t from64tobits(char *out, int64_t out_size, const char *text);
