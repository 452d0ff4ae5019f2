#pragma once

/* OpenSSL's thread support: one mutex per OpenSSL lock, with a count of how
 * often each was taken. Libraries that lock internally ignore the callbacks;
 * the table is kept either way. */
void SSL_thread_setup();
unsigned long SSL_pthreads_thread_id();
void SSL_pthreads_locking_callback(int mode, int n, const char *file, int line);

/* Library and error strings, thread support, and a seeded random generator. */
void ssl_init();
