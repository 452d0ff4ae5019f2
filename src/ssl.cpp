/*
 * OpenSSL set-up for a threaded daemon: library initialisation, the locking
 * callbacks older libraries need (newer ones lock for themselves and ignore
 * them), and the seed of the random generator.
 */
#include "ssl.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <pthread.h>

#include <cstdlib>

#include "mem.h"

static pthread_mutex_t *lock_cs;
static long *lock_count;

void SSL_thread_setup()
{
    int n = CRYPTO_num_locks();
    if (n < 1)
        n = 1;
    lock_cs = (pthread_mutex_t *)xmalloc(sizeof(pthread_mutex_t) * (size_t)n);
    lock_count = (long *)xmalloc(sizeof(long) * (size_t)n);
    if (!lock_cs || !lock_count)
        fatal_error("src/ssl", __LINE__, "SSL_thread_setup", "Failed to allocate %u bytes of memory",
                    (unsigned)((sizeof(pthread_mutex_t) + sizeof(long)) * (size_t)n));
    for (int i = 0; i < n; i++)
        pthread_mutex_init(&lock_cs[i], nullptr);   /* counters: zero fill */
#if OPENSSL_VERSION_NUMBER < 0x10100000L
    CRYPTO_set_id_callback(SSL_pthreads_thread_id);
    CRYPTO_set_locking_callback(SSL_pthreads_locking_callback);
#endif
}

unsigned long SSL_pthreads_thread_id()
{
    return (unsigned long)pthread_self();
}

void SSL_pthreads_locking_callback(int mode, int n, const char *, int)
{
    if (mode & CRYPTO_LOCK) {
        pthread_mutex_lock(&lock_cs[n]);
        lock_count[n]++;
    } else {
        pthread_mutex_unlock(&lock_cs[n]);
    }
}

void ssl_init()
{
    SSL_library_init();
    SSL_load_error_strings();
    SSL_thread_setup();

    unsigned char seed[1024];
    for (unsigned char &b : seed)
        b = (unsigned char)(rand() % 255);
    RAND_seed(seed, sizeof seed);
}
