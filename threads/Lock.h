#pragma once
#include <pthread.h>

// Recursive mutex. The same thread may enter it again while holding it and must leave it as
// often as it entered.
class CLock {
public:
    CLock();
    ~CLock();
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

    void Enter();
    // Unlocks, then yields the processor so that a waiting thread gets a chance to run.
    void Leave();

    // The underlying mutex, for condition waits.
    pthread_mutex_t* Mutex() { return &m_mutex; }

    // Holds a lock for the lifetime of a scope.
    class CGuard {
    public:
        explicit CGuard(CLock& lock) : m_lock(lock) { m_lock.Enter(); }
        ~CGuard() { m_lock.Leave(); }
        CGuard(const CGuard&) = delete;
        CGuard& operator=(const CGuard&) = delete;

    private:
        CLock& m_lock;
    };

    // Constant-initialised lock for process-wide statics: usable before any dynamic
    // initialisation has run.
    struct StaticInit {};
    constexpr explicit CLock(StaticInit) : m_mutex(PTHREAD_RECURSIVE_MUTEX_INITIALIZER_NP) {}

private:
    pthread_mutex_t m_mutex;
};
