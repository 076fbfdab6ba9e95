// The platform layer's own mutex and condition, for its files only: SRWLOCK and
// CONDITION_VARIABLE on Windows, a pthread mutex and condition elsewhere. Both start
// unlocked without a constructor call, so that they may serve during static set-up.
#ifndef ZRSYNC_H
#define ZRSYNC_H

#ifdef _WIN32
#include <windows.h>

struct ZrMutex {
    SRWLOCK lock = SRWLOCK_INIT;
    void Lock() { AcquireSRWLockExclusive(&lock); }
    void Unlock() { ReleaseSRWLockExclusive(&lock); }
};
struct ZrSync : ZrMutex {
    CONDITION_VARIABLE cond = CONDITION_VARIABLE_INIT;
    void Wait() { SleepConditionVariableSRW(&cond, &lock, INFINITE, 0); }
    void Wake() { WakeAllConditionVariable(&cond); }
};
#else
#include <pthread.h>

struct ZrMutex {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    void Lock() { pthread_mutex_lock(&lock); }
    void Unlock() { pthread_mutex_unlock(&lock); }
};
struct ZrSync : ZrMutex {
    pthread_cond_t cond = PTHREAD_COND_INITIALIZER;
    void Wait() { pthread_cond_wait(&cond, &lock); }
    void Wake() { pthread_cond_broadcast(&cond); }
};
#endif

#endif
