#pragma once

#include <ctime>

/* One remembered PAM result. */
struct PASSWORD_CACHE_LIST {
    PASSWORD_CACHE_LIST *next;
    time_t time;      /* when it was stored, on the timers_now() clock */
    char *key;        /* owned: "user:password" */
    int value;        /* 1 accepted, 2 refused */
};

/* The result cache: a fixed number of buckets of chains. The caller of the
 * table functions holds GLOBAL_T::password_cache_lock. */
struct PASSWORD_CACHE_TABLE {
    int size;
    PASSWORD_CACHE_LIST **table;
    int entries;      /* entries held, bounded by PASSWORD_CACHE_MAX_ENTRIES */
};

/* Past this many entries new results are not stored (their users simply ask
 * PAM again), so a flood of distinct credentials cannot grow memory. */
static const int PASSWORD_CACHE_MAX_ENTRIES = 65536;

enum { PASSWORD_CACHE_ACCEPTED = 1, PASSWORD_CACHE_REFUSED = 2 };

/* Verifies user and password with the PAM service pamfile: authentication,
 * then account management. Returns 0 or the first failing PAM code. */
extern "C" int auth_pam(const char *user, const char *password);

/* The PAM conversation: every message is answered with the password. */
struct pam_message;
struct pam_response;
extern "C" int auth_pam_talker(int count, const struct pam_message **messages,
                               struct pam_response **responses, void *data);

/* Logs the text of a failed PAM result and stores key as refused for the
 * definite refusals (permission denied, authentication failure, unknown
 * user, retries exhausted, new token required). */
void pam_msg_display(int code, const char *key);

/* The value stored for key: 1, 2, or 0 when none (or no table). */
int check_password_cache(const char *key);
/* Stores key with value and the current time, replacing any entry. */
void update_password_cache(const char *key, int value);
/* The timer callback: removes entries at least password_cachexpire old. */
void password_cache_clean(void *arg);

PASSWORD_CACHE_TABLE *password_cache_create(int size);
void password_cache_free(PASSWORD_CACHE_TABLE *table);
unsigned password_cache_key(int size, const char *key);
PASSWORD_CACHE_LIST *password_cache_search(PASSWORD_CACHE_TABLE *table, const char *key);
void password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *key, int value);
void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *key);
int password_cache_expire(PASSWORD_CACHE_TABLE *table, int age);
