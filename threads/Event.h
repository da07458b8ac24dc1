#pragma once
#include <pthread.h>
#include <time.h>

#include <set>

#include "threads/Lock.h"

// Waitable event, manual- or auto-reset, with waits on one event or on several at once.
// Time-outs are milliseconds: 0xFFFFFFFF waits without limit, 0 tests without waiting.
class CEvent {
public:
    CEvent(bool bManualReset, bool bInitialState);
    virtual ~CEvent();
    CEvent(const CEvent&) = delete;
    CEvent& operator=(const CEvent&) = delete;

    // Stores the state; true wakes every waiter.
    virtual void Set(bool bState);
    // Clears the state; wakes nobody.
    virtual void Reset();
    // Wakes every current waiter, then clears the state.
    virtual void Pulse();
    // False only when the time-out expired. On an auto-reset event a successful wait consumes
    // the signal.
    virtual bool Wait(unsigned int uTimeoutMs);
    // The virtual Wait with the same time-out (consumes an auto-reset signal like a wait).
    virtual bool IsSet(unsigned int uTimeoutMs);
    virtual CEvent* GetReference();

    // Waits until any of the given events is signalled (null pointers are skipped). Returns the
    // position 0 to 4 of the first signalled event, consuming only that one if it is
    // auto-reset, or -1 on time-out. A pulse alone never satisfies a multi-event wait.
    static int Wait(unsigned int uTimeoutMs, CEvent* e0, CEvent* e1 = nullptr, CEvent* e2 = nullptr,
                    CEvent* e3 = nullptr, CEvent* e4 = nullptr);
    // The same over an array of uCount non-null events; returns the index or -1.
    static int Wait(unsigned int uTimeoutMs, unsigned int uCount, CEvent** ppEvents);

    // Absolute deadline uTimeoutMs from now on the clock that every event waits on (monotonic),
    // with the part of the current time below one millisecond dropped.
    static timespec* getTimeout(timespec* pts, unsigned long uTimeoutMs);
    // The arithmetic of getTimeout for a given current time.
    static timespec MakeDeadline(const timespec& now, unsigned long uTimeoutMs);

    // Guards the state and wake set of every event and is the mutex of every condition wait.
    // Never destroyed, so that detached threads may still use events during process exit.
    static CLock& s_lock;

private:
    // Waits on cond until deadline (null: without limit); returns the pthread result.
    static int CondWait(pthread_cond_t* pCond, const timespec* pDeadline) TS_REQUIRES(s_lock);
    // Lets other threads take s_lock for an instant while it is held.
    static void YieldLock() TS_REQUIRES(s_lock);
    static void InitCond(pthread_cond_t* pCond);
    static int WaitAny(unsigned int uTimeoutMs, unsigned int uCount, CEvent* const* ppEvents);
    // Position of the first signalled event among the non-null ones, or -1.
    static int FirstSignalled(unsigned int uCount, CEvent* const* ppEvents) TS_REQUIRES(s_lock);
    void Broadcast() TS_REQUIRES(s_lock);

    pthread_cond_t m_cond;
    bool m_bManualReset;
    bool m_bSignalled TS_GUARDED_BY(s_lock);
    // Condition variables to wake on Set and Pulse: the own one, plus one per multi-event
    // wait in progress on this event.
    std::set<pthread_cond_t*> m_setWake TS_GUARDED_BY(s_lock);
    // Counts Set(true) and Pulse calls so that a single waiter tells a real wake-up from a
    // spurious one.
    unsigned long m_ulWakeCount TS_GUARDED_BY(s_lock) = 0;
};
