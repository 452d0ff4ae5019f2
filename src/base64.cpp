/*
 * Base64 for authentication headers and ICAP. The encoded side is ours and
 * its size follows from the input, so the caller sizes the buffer with
 * base64_encoded_size. The decoded side comes from clients and upstream
 * proxies: the text is first walked to find where decoding ends and whether
 * every character is valid, the exact output size is compared with the
 * caller's buffer, and only then are bytes written. Malformed text and text
 * too long for the buffer therefore leave the buffer as it was.
 */
#include "base64.h"

#include <cstdint>

static int base64_value(unsigned char c);
static int64_t base64_scan(const char *text, int64_t *bytes);

static const char base64_alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int64_t base64_encoded_size(int64_t length)
{
    if (length < 0)
        return -1;
    int64_t groups = length / 3 + (length % 3 != 0);
    if (groups > INT64_MAX / 4)
        return -1;
    return groups * 4;
}

int64_t base64_decoded_max(int64_t text_length)
{
    if (text_length < 0)
        return 0;
    return text_length / 4 * 3;
}

void to64frombits(char *out, const unsigned char *data, int64_t length)
{
    for (; length >= 3; length -= 3, data += 3) {
        *out++ = base64_alphabet[data[0] >> 2];
        *out++ = base64_alphabet[((data[0] & 0x03) << 4) | (data[1] >> 4)];
        *out++ = base64_alphabet[((data[1] & 0x0f) << 2) | (data[2] >> 6)];
        *out++ = base64_alphabet[data[2] & 0x3f];
    }
    if (length > 0) {
        unsigned char second = length > 1 ? data[1] : 0;
        *out++ = base64_alphabet[data[0] >> 2];
        *out++ = base64_alphabet[((data[0] & 0x03) << 4) | (second >> 4)];
        *out++ = length > 1 ? base64_alphabet[(second & 0x0f) << 2] : '=';
        *out++ = '=';
    }
    *out = '\0';
}

/* The 6-bit value of an alphabet character, or -1 for any other byte
 * (the terminating zero and "=" included). */
static int base64_value(unsigned char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

/* Walks the groups of text (after the optional "+ ") up to where decoding
 * stops. Returns the number of characters that make up the groups and stores
 * the number of bytes they decode to, or returns BASE64_BAD. A group holds
 * two alphabet characters followed by two more, by one and "=", or by "==";
 * any other shape, a short last group included, is malformed. */
static int64_t base64_scan(const char *text, int64_t *bytes)
{
    const unsigned char *p = (const unsigned char *)text;
    int64_t count = 0;

    if (*p == '\r') {
        *bytes = 0;
        return 0;
    }
    for (;;) {
        if (base64_value(p[0]) < 0 || base64_value(p[1]) < 0)
            return BASE64_BAD;
        /* p[3] is read only once p[2] is known not to be the terminator. */
        bool pad3 = p[2] == '=';
        if (!pad3 && base64_value(p[2]) < 0)
            return BASE64_BAD;
        bool pad4 = p[3] == '=';
        if (!pad4 && base64_value(p[3]) < 0)
            return BASE64_BAD;
        if (pad3 && !pad4)
            return BASE64_BAD;          /* "x=" then data: refuse, don't guess */
        count += pad3 ? 1 : pad4 ? 2 : 3;
        p += 4;
        if (pad4 || *p == '\0' || *p == '\r')
            break;
    }
    *bytes = count;
    return (int64_t)((const char *)p - text);
}

int64_t from64tobits(char *out, int64_t out_size, const char *text)
{
    if (text[0] == '+' && text[1] == ' ')
        text += 2;

    int64_t bytes = 0;
    int64_t chars = base64_scan(text, &bytes);
    if (chars < 0)
        return BASE64_BAD;
    if (out_size < 1 || bytes > out_size - 1)
        return BASE64_TOO_LONG;

    const unsigned char *p = (const unsigned char *)text;
    unsigned char *o = (unsigned char *)out;
    for (int64_t i = 0; i < chars; i += 4, p += 4) {
        int d1 = base64_value(p[0]);
        int d2 = base64_value(p[1]);
        *o++ = (unsigned char)((d1 << 2) | (d2 >> 4));
        if (p[2] == '=')
            break;
        int d3 = base64_value(p[2]);
        *o++ = (unsigned char)(((d2 << 4) & 0xf0) | (d3 >> 2));
        if (p[3] == '=')
            break;
        *o++ = (unsigned char)(((d3 << 6) & 0xc0) | base64_value(p[3]));
    }
    *o = '\0';
    return bytes;
}
