#pragma once

#include <cstddef>
#include <cstdint>

/* A text cipher built on the Blowfish block cipher: a secret text becomes a
 * printable token of 12 characters per 8 bytes (the web interface's login
 * cookie). Key schedules are cached process-wide in BLOWFISH_SLOTS slots;
 * the schedule that blowfish_encipher/blowfish_decipher use is the calling
 * thread's own, so tokens may be computed on any thread at the same time. */

/* Cached key schedules. */
constexpr int BLOWFISH_SLOTS = 3;

/* A new text, released with free(), holding the token of text under key:
 * 12 characters of the token alphabet per 8 bytes of text, the last block
 * zero-padded; an empty text gives "". NULL when key is empty. */
[[nodiscard]] char *blowfish_encrypt(const char *key, const char *text);

/* A new text, released with free(), holding the plain text of a token made
 * under key: 8 bytes per whole group of 12 characters, then a terminating
 * zero (the zero padding of the last block ends the text early). Characters
 * outside the token alphabet count as 0; a short group at the end is ignored.
 * NULL when key is empty. */
[[nodiscard]] char *blowfish_decrypt(const char *key, const char *token);

/* Makes the schedule of the first length bytes of key the calling thread's
 * current one: taken from the cache when a slot holds the same key, else
 * computed into the first empty slot, or into slot (0 to BLOWFISH_SLOTS - 1)
 * when all are used. The whole key is kept in the slot, so keys that differ
 * anywhere never share a slot; as in the standard schedule, only the first
 * 72 bytes shape the schedule itself. Returns 0, or -1 for an empty key. */
[[nodiscard]] int blowfish_init(const char *key, size_t length, int slot);

/* One 64-bit block as two 32-bit halves, in place, under the calling
 * thread's current schedule (blowfish_init first). */
void blowfish_encipher(uint32_t *left, uint32_t *right);
void blowfish_decipher(uint32_t *left, uint32_t *right);

/* The 6-bit value of a token character, 0 for a character outside the
 * alphabet "./0-9a-zA-Z". */
int base64dec(char character);

/* The slot that holds the schedule of key, or -1. */
int blowfish_cached_slot(const char *key, size_t length);

/* How many schedules were computed since start (cache misses). */
uint64_t blowfish_schedules_computed();

/* Empties every slot. */
void blowfish_cache_clear();
