/*
 * Client credentials checked by the host's PAM stack, with the results kept
 * in a small cache: browsers send the same credentials with every request,
 * and a PAM exchange may ask a directory server. A remembered success lets
 * a request through without PAM; a remembered definite refusal refuses it.
 * Transient failures are not remembered.
 *
 * Keys are "user:password" and are compared byte for byte: a password that
 * differs in letter case is a different password. The cache holds at most
 * PASSWORD_CACHE_MAX_ENTRIES entries.
 */
#include "password_cache.h"

#include <security/pam_appl.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "locks.h"
#include "log.h"
#include "mem.h"
#include "options.h"
#include "timers.h"

/* What the conversation answers with. */
struct auth_pam_pair {
    const char *user;
    const char *password;
};

extern "C" int auth_pam_talker(int count, const struct pam_message **, struct pam_response **responses,
                               void *data)
{
    const auth_pam_pair *pair = (const auth_pam_pair *)data;
    if (count <= 0)
        return PAM_CONV_ERR;
    struct pam_response *r = (struct pam_response *)calloc((size_t)count, sizeof(struct pam_response));
    if (!r)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; i++) {
        r[i].resp = strdup(pair->password);
        r[i].resp_retcode = 0;
        if (!r[i].resp) {
            for (int j = 0; j < i; j++)
                free(r[j].resp);
            free(r);
            return PAM_BUF_ERR;
        }
    }
    *responses = r;   /* PAM frees it */
    return PAM_SUCCESS;
}

extern "C" int auth_pam(const char *user, const char *password)
{
    auth_pam_pair pair = { user, password };
    struct pam_conv conv = { auth_pam_talker, &pair };
    pam_handle_t *pamh = nullptr;
    int rc = pam_start(pamfile, user, &conv, &pamh);
    if (rc == PAM_SUCCESS) {
        rc = pam_authenticate(pamh, PAM_DISALLOW_NULL_AUTHTOK);
        if (rc == PAM_SUCCESS)
            rc = pam_acct_mgmt(pamh, PAM_DISALLOW_NULL_AUTHTOK);
    }
    if (pamh)
        pam_end(pamh, 0);
    return rc;
}

/* The texts of the PAM result codes 1 to 32, each with the code's "%d". */
static const char *const pam_texts[33] = {
    nullptr,
    "[pam: %d: PAM_OPEN_ERR] dlopen() failure when dynamically loading a service module",
    "[pam: %d: PAM_SYMBOL_ERR] Symbol not found",
    "[pam: %d: PAM_SERVICE_ERR] Error in service module",
    "[pam: %d: PAM_SYSTEM_ERR] System error",
    "[pam: %d: PAM_BUF_ERR] Memory buffer error",
    "[pam: %d: PAM_PERM_DENIED] Permission denied",
    "[pam: %d: PAM_AUTH_ERR] Authentication failure",
    "[pam: %d: PAM_CRED_INSUFFICIENT] Can not access authentication data due to insufficient credentials",
    "[pam: %d: PAM_AUTHINFO_UNAVAIL] Underlying authentication service an not retrieve authentication information",
    "[pam: %d: PAM_USER_UNKNOWN] User not known to the underlying authenticaiton module",
    "[pam: %d: PAM_MAXTRIES] An authentication service has maintained a retry count which has been reached. No further retries should be attempted",
    "[pam: %d: PAM_NEW_AUTHTOK_REQD] New authentication token required. This is normally returned if the machine security policies require that the password should be changed beccause the password is NULL or it has aged",
    "[pam: %d: PAM_ACCT_EXPIRED] User account has expired",
    "[pam: %d: PAM_SESSION_ERR] Can not make/remove an entry for the specified session",
    "[pam: %d: PAM_CRED_UNAVAIL] Underlying authentication service can not retrieve user credentials unavailable",
    "[pam: %d: PAM_CRED_EXPIRED] User credentials expired",
    "[pam: %d: PAM_CRED_ERR] Failure setting user credentials",
    "[pam: %d: PAM_NO_MODULE_DATA] No module specific data is present",
    "[pam: %d: PAM_CONV_ERR] Conversation error",
    "[pam: %d: PAM_AUTHTOK_ERR] Authentication token manipulation error",
    "[pam: %d: PAM_AUTHTOK_RECOVERY_ERR] Authentication information cannot be recovered",
    "[pam: %d: PAM_AUTHTOK_LOCK_BUSY] Authentication token lock busy",
    "[pam: %d: PAM_AUTHTOK_DISABLE_AGING] Authentication token aging disabled",
    "[pam: %d: PAM_TRY_AGAIN] Preliminary check by password service",
    "[pam: %d: PAM_IGNORE] Ignore underlying account module regardless of whether the control flag is required, optional, or sufficient",
    "[pam: %d: PAM_ABORT] Critical error (?module fail now request) ",
    "[pam: %d: PAM_AUTHTOK_EXPIRED] user's authentication token has expired",
    "[pam: %d: PAM_MODULE_UNKNOWN] module is not known",
    "[pam: %d: PAM_BAD_ITEM] Bad item passed to pam_*_item()",
    "[pam: %d: PAM_CONV_AGAIN] conversation function is event driven and data is not available yet",
    "[pam: %d: PAM_INCOMPLETE] please call this function again to complete authentication stack. Before calling again, verify that conversation is completed",
    "[pam: %d: _PAM_RETURN_VALUES] this is the number of return values",
};

void pam_msg_display(int code, const char *key)
{
    char text[2048] = "";
    if (code >= 1 && code <= 32) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        snprintf(text, sizeof text, pam_texts[code], code);
#pragma GCC diagnostic pop
        if (code == 6 || code == 7 || code == 10 || code == 11 || code == 12)
            update_password_cache(key, PASSWORD_CACHE_REFUSED);
    }
    putlog(LOG_ERROR, "security: system: %s", text);
}

/* ---- the cache ---- */

int check_password_cache(const char *key)
{
    if (!global || !global->password_cache)
        return 0;
    ReadGuard guard(&global->password_cache_lock);
    PASSWORD_CACHE_LIST *e = password_cache_search(global->password_cache, key);
    return e ? e->value : 0;
}

void update_password_cache(const char *key, int value)
{
    if (!global || !global->password_cache)
        return;
    WriteGuard guard(&global->password_cache_lock);
    password_cache_purge(global->password_cache, key);
    password_cache_insert(global->password_cache, key, value);
}

void password_cache_clean(void *)
{
    if (!global || !global->password_cache)
        return;
    WriteGuard guard(&global->password_cache_lock);
    password_cache_expire(global->password_cache, password_cachexpire);
}

PASSWORD_CACHE_TABLE *password_cache_create(int size)
{
    if (size <= 0)
        fatal_error("src/password_cache", __LINE__, "password_cache_create", "cache size %d", size);
    PASSWORD_CACHE_TABLE *t = (PASSWORD_CACHE_TABLE *)xmalloc(sizeof(PASSWORD_CACHE_TABLE));
    PASSWORD_CACHE_LIST **buckets =
        (PASSWORD_CACHE_LIST **)xmalloc(sizeof(PASSWORD_CACHE_LIST *) * (size_t)size);
    if (!t || !buckets)
        fatal_error("src/password_cache", __LINE__, "password_cache_create",
                    "Failed to allocate %u bytes of memory",
                    (unsigned)(sizeof(PASSWORD_CACHE_LIST *) * (size_t)size));
    t->size = size;
    t->table = buckets;   /* empty buckets, entries 0: zero fill */
    return t;
}

void password_cache_free(PASSWORD_CACHE_TABLE *table)
{
    if (!table)
        return;
    for (int i = 0; i < table->size; i++) {
        PASSWORD_CACHE_LIST *e = table->table[i];
        while (e) {
            PASSWORD_CACHE_LIST *next = e->next;
            free(e->key);
            free(e);
            e = next;
        }
    }
    free(table->table);
    free(table);
}

unsigned password_cache_key(int size, const char *key)
{
    uint32_t sum = 0;
    for (const char *p = key; *p; p++) {
        int32_t c = (signed char)*p;
        sum += (uint32_t)password_cachesize + (uint32_t)(20 * c + (c >> 2) + (c >> 4));
    }
    return sum % (unsigned)size;
}

/* Table functions: a missing table or an entry without a key is a broken
 * invariant. */
static void password_cache_check(const PASSWORD_CACHE_TABLE *table, const char *function)
{
    if (!table)
        fatal_error("src/password_cache", __LINE__, function);
}

PASSWORD_CACHE_LIST *password_cache_search(PASSWORD_CACHE_TABLE *table, const char *key)
{
    password_cache_check(table, "password_cache_search");
    if (!key)
        return nullptr;
    for (PASSWORD_CACHE_LIST *e = table->table[password_cache_key(table->size, key)]; e; e = e->next) {
        if (!e->key)
            fatal_error("src/password_cache", __LINE__, "password_cache_search");
        if (strcmp(e->key, key) == 0)
            return e;
    }
    return nullptr;
}

void password_cache_insert(PASSWORD_CACHE_TABLE *table, const char *key, int value)
{
    password_cache_check(table, "password_cache_insert");
    if (!key || table->entries >= PASSWORD_CACHE_MAX_ENTRIES)
        return;
    PASSWORD_CACHE_LIST *e = (PASSWORD_CACHE_LIST *)xmalloc(sizeof(PASSWORD_CACHE_LIST));
    char *copy = xstrdup(key);
    if (!e || !copy) {
        free(e);
        free(copy);
        return;   /* not remembered: the next request asks PAM again */
    }
    e->time = timers_now();   /* monotonic: a wall-clock step changes no age */
    e->key = copy;
    e->value = value;   /* next: zero fill */
    PASSWORD_CACHE_LIST **link = &table->table[password_cache_key(table->size, key)];
    while (*link)
        link = &(*link)->next;
    *link = e;
    table->entries++;
}

void password_cache_purge(PASSWORD_CACHE_TABLE *table, const char *key)
{
    password_cache_check(table, "password_cache_purge");
    if (!key)
        return;
    for (PASSWORD_CACHE_LIST **link = &table->table[password_cache_key(table->size, key)]; *link;
         link = &(*link)->next) {
        if (strcmp((*link)->key, key) == 0) {
            PASSWORD_CACHE_LIST *gone = *link;
            *link = gone->next;
            free(gone->key);
            free(gone);
            table->entries--;
            return;
        }
    }
}

int password_cache_expire(PASSWORD_CACHE_TABLE *table, int age)
{
    password_cache_check(table, "password_cache_expire");
    time_t now = timers_now();
    int removed = 0;
    for (int i = 0; i < table->size; i++) {
        PASSWORD_CACHE_LIST **link = &table->table[i];
        while (*link) {
            if (now - (*link)->time >= age) {
                PASSWORD_CACHE_LIST *gone = *link;
                *link = gone->next;
                free(gone->key);
                free(gone);
                removed++;
                table->entries--;
            } else {
                link = &(*link)->next;
            }
        }
    }
    return removed;
}
