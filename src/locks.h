#pragma once

/*
 * Scope guards for the pthread locks. Every lock of the daemon is a pthread
 * mutex or read-write lock (one thread library throughout: the threads are
 * pthreads with stack sizes of our choosing, parked on condition variables
 * of the monotonic clock), and a lock taken for a scope is taken through one
 * of these, so that no return path can leave it held.
 */
#include <pthread.h>

/* Holds a mutex for a scope. */
class MutexGuard {
public:
    explicit MutexGuard(pthread_mutex_t *mutex) : held(mutex) { pthread_mutex_lock(held); }
    ~MutexGuard() { pthread_mutex_unlock(held); }
    MutexGuard(const MutexGuard &) = delete;
    MutexGuard &operator=(const MutexGuard &) = delete;

private:
    pthread_mutex_t *held;
};

/* Holds a read-write lock for reading for a scope. */
class ReadGuard {
public:
    explicit ReadGuard(pthread_rwlock_t *lock) : held(lock) { pthread_rwlock_rdlock(held); }
    ~ReadGuard() { pthread_rwlock_unlock(held); }
    ReadGuard(const ReadGuard &) = delete;
    ReadGuard &operator=(const ReadGuard &) = delete;

private:
    pthread_rwlock_t *held;
};

/* Holds a read-write lock for writing for a scope. */
class WriteGuard {
public:
    explicit WriteGuard(pthread_rwlock_t *lock) : held(lock) { pthread_rwlock_wrlock(held); }
    ~WriteGuard() { pthread_rwlock_unlock(held); }
    WriteGuard(const WriteGuard &) = delete;
    WriteGuard &operator=(const WriteGuard &) = delete;

private:
    pthread_rwlock_t *held;
};
