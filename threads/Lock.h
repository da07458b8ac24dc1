#pragma once
#include <pthread.h>

#include <mutex>

#include "base/ThreadSafety.h"

// Holds a lock (CLock, CMutex) for the lifetime of a scope.
template <class TLock>
class TS_SCOPED_CAPABILITY CScopedLock {
public:
    explicit CScopedLock(TLock& lock) TS_ACQUIRE(lock) : m_lock(lock) { m_lock.Enter(); }
    ~CScopedLock() TS_RELEASE() { m_lock.Leave(); }
    CScopedLock(const CScopedLock&) = delete;
    CScopedLock& operator=(const CScopedLock&) = delete;

private:
    TLock& m_lock;
};

// Recursive mutex. The same thread may enter it again while holding it and must leave it as
// often as it entered.
class TS_CAPABILITY("mutex") CLock {
public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    void Enter() TS_ACQUIRE();
    // Unlocks, then yields the processor so that a waiting thread gets a chance to run.
    void Leave() TS_RELEASE();

    // The underlying mutex, for condition waits.
    pthread_mutex_t* Mutex() { return &m_mutex; }

    using CGuard = CScopedLock<CLock>;

    // Constant-initialised lock for process-wide statics: usable before any dynamic
    // initialisation has run.
    struct StaticInit {};
    constexpr explicit CLock(StaticInit) : m_mutex(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP) {}

private:
    pthread_mutex_t m_mutex;
};

// Plain mutex for leaf locks on hot paths: not recursive, and leaving it does not yield.
class TS_CAPABILITY("mutex") CMutex {
public:
    void Enter() TS_ACQUIRE() { m_mutex.lock(); }
    void Leave() TS_RELEASE() { m_mutex.unlock(); }
    using CGuard = CScopedLock<CMutex>;

private:
    std::mutex m_mutex;
};

// A process-wide lock that is constant-initialised and never destroyed: usable during any static
// initialisation, and by threads that still run while the process's static objects are destroyed.
union CStaticLock {
    constexpr CStaticLock() : lock(CLock::StaticInit{}) {}
    ~CStaticLock() {}
    CLock lock;
};
