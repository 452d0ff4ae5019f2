/*
 * The login token of the web interface: the secret text is enciphered with
 * Blowfish under itself and written in a 64-character alphabet, so the
 * server can check a cookie again on every request without keeping state.
 * The block cipher and key schedule are OpenSSL's (BF_set_key, BF_encrypt,
 * BF_decrypt, part of libcrypto's low-level API with no provider involved).
 * A schedule costs 521 block operations, so the last three keys keep theirs
 * in a small cache. The cache is shared and guarded by a mutex; the schedule
 * in use is copied to the calling thread, so a slot replaced by another
 * thread never changes a token half-way.
 */
#define OPENSSL_SUPPRESS_DEPRECATED 1   /* the BF_ calls are marked deprecated in 3.0 */

#include "blowfish.h"

#include <openssl/blowfish.h>

#include <cstdlib>
#include <cstring>

#include "locks.h"
#include "mem.h"

/* One cached schedule; key is owned and NULL while the slot is empty. */
struct BLOWFISH_BOX {
    BF_KEY schedule;
    char *key;
    size_t length;
};

static BLOWFISH_BOX blowfish_box[BLOWFISH_SLOTS];
/* Guards blowfish_box and the counter. */
static pthread_mutex_t blowfish_lock = PTHREAD_MUTEX_INITIALIZER;
static uint64_t blowfish_computed;
static thread_local BF_KEY blowfish_current;
static thread_local bool blowfish_current_set;

static const char blowfish_alphabet[] =
    "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

static int blowfish_find(const char *key, size_t length);
static void blowfish_put_word(char *out, uint32_t word);
static uint32_t blowfish_get_word(const char *in);

/* The slot holding exactly this key, or -1; blowfish_lock held. */
static int blowfish_find(const char *key, size_t length)
{
    for (int i = 0; i < BLOWFISH_SLOTS; i++) {
        const BLOWFISH_BOX &b = blowfish_box[i];
        if (b.key && b.length == length && memcmp(b.key, key, length) == 0)
            return i;
    }
    return -1;
}

int blowfish_init(const char *key, size_t length, int slot)
{
    ASSERT(slot >= 0 && slot < BLOWFISH_SLOTS);
    if (length == 0)
        return -1;

    MutexGuard guard(&blowfish_lock);
    int found = blowfish_find(key, length);
    if (found < 0) {
        found = slot;
        for (int i = 0; i < BLOWFISH_SLOTS; i++) {
            if (!blowfish_box[i].key) {
                found = i;
                break;
            }
        }
        BLOWFISH_BOX &b = blowfish_box[found];
        free(b.key);
        b.key = (char *)xmalloc(length);
        if (!b.key)
            FATAL_ALLOC(length);
        memcpy(b.key, key, length);
        b.length = length;
        /* BF_set_key uses at most 72 bytes, as many as the 18 P words take. */
        int used = length > 72 ? 72 : (int)length;
        BF_set_key(&b.schedule, used, (const unsigned char *)key);
        blowfish_computed++;
    }
    blowfish_current = blowfish_box[found].schedule;
    blowfish_current_set = true;
    return 0;
}

void blowfish_encipher(uint32_t *left, uint32_t *right)
{
    ASSERT(blowfish_current_set);
    BF_LONG data[2] = { *left, *right };
    BF_encrypt(data, &blowfish_current);
    *left = (uint32_t)data[0];
    *right = (uint32_t)data[1];
}

void blowfish_decipher(uint32_t *left, uint32_t *right)
{
    ASSERT(blowfish_current_set);
    BF_LONG data[2] = { *left, *right };
    BF_decrypt(data, &blowfish_current);
    *left = (uint32_t)data[0];
    *right = (uint32_t)data[1];
}

int base64dec(char character)
{
    const char *p = character ? strchr(blowfish_alphabet, character) : nullptr;
    return p ? (int)(p - blowfish_alphabet) : 0;
}

/* Six token characters for a word, least significant 6 bits first. */
static void blowfish_put_word(char *out, uint32_t word)
{
    for (int i = 0; i < 6; i++) {
        out[i] = blowfish_alphabet[word & 0x3f];
        word >>= 6;
    }
}

/* The word written by blowfish_put_word. */
static uint32_t blowfish_get_word(const char *in)
{
    uint32_t word = 0;
    for (int i = 0; i < 6; i++)
        word |= (uint32_t)base64dec(in[i]) << (i * 6);
    return word;
}

char *blowfish_encrypt(const char *key, const char *text)
{
    if (blowfish_init(key, strlen(key), 0) != 0)
        return nullptr;

    size_t length = strlen(text);
    size_t blocks = length / 8 + (length % 8 != 0);
    char *token = (char *)xmalloc(blocks * 12 + 1);
    if (!token)
        FATAL_ALLOC(blocks * 12 + 1);

    const unsigned char *in = (const unsigned char *)text;
    for (size_t b = 0; b < blocks; b++) {
        unsigned char block[8] = { 0 };
        size_t take = length - b * 8 < 8 ? length - b * 8 : 8;
        memcpy(block, in + b * 8, take);
        uint32_t left = (uint32_t)block[0] << 24 | (uint32_t)block[1] << 16 |
                        (uint32_t)block[2] << 8 | block[3];
        uint32_t right = (uint32_t)block[4] << 24 | (uint32_t)block[5] << 16 |
                         (uint32_t)block[6] << 8 | block[7];
        blowfish_encipher(&left, &right);
        blowfish_put_word(token + b * 12, right);
        blowfish_put_word(token + b * 12 + 6, left);
    }
    return token;   /* terminated by the zero fill */
}

char *blowfish_decrypt(const char *key, const char *token)
{
    if (blowfish_init(key, strlen(key), 0) != 0)
        return nullptr;

    size_t groups = strlen(token) / 12;
    unsigned char *text = (unsigned char *)xmalloc(groups * 8 + 1);
    if (!text)
        FATAL_ALLOC(groups * 8 + 1);

    for (size_t g = 0; g < groups; g++) {
        uint32_t right = blowfish_get_word(token + g * 12);
        uint32_t left = blowfish_get_word(token + g * 12 + 6);
        blowfish_decipher(&left, &right);
        unsigned char *o = text + g * 8;
        for (int i = 0; i < 4; i++) {
            o[i] = (unsigned char)(left >> (24 - 8 * i));
            o[4 + i] = (unsigned char)(right >> (24 - 8 * i));
        }
    }
    return (char *)text;   /* terminated by the zero fill */
}

int blowfish_cached_slot(const char *key, size_t length)
{
    MutexGuard guard(&blowfish_lock);
    return blowfish_find(key, length);
}

uint64_t blowfish_schedules_computed()
{
    MutexGuard guard(&blowfish_lock);
    return blowfish_computed;
}

void blowfish_cache_clear()
{
    MutexGuard guard(&blowfish_lock);
    for (BLOWFISH_BOX &b : blowfish_box) {
        free(b.key);
        b.key = nullptr;
        b.length = 0;
    }
}
