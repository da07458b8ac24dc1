#include "threads/Event.h"

#include <errno.h>
#include <sched.h>

#include "base/Timeout.h"

namespace {

// Events may be created during any static initialisation, and detached threads still use them
// during process exit.
CStaticLock g_eventLock;

}  // namespace

CLock& CEvent::s_lock = g_eventLock.lock;

timespec CEvent::MakeDeadline(const timespec& now, unsigned long uTimeoutMs) {
    // 64-bit arithmetic: a time-out near 2^32 ms must not wrap to a short one.
    unsigned long long total = uTimeoutMs + static_cast<unsigned long long>(now.tv_nsec / 1000000);
    timespec deadline;
    deadline.tv_sec = now.tv_sec + static_cast<time_t>(total / 1000);
    deadline.tv_nsec = static_cast<long>(total % 1000) * 1000000L;
    return deadline;
}

timespec* CEvent::getTimeout(timespec* pts, unsigned long uTimeoutMs) {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *pts = MakeDeadline(now, uTimeoutMs);
    return pts;
}

void CEvent::InitCond(pthread_cond_t* pCond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(pCond, &attr);
    pthread_condattr_destroy(&attr);
}

int CEvent::CondWait(pthread_cond_t* pCond, const timespec* pDeadline) {
    if (pDeadline == nullptr) return pthread_cond_wait(pCond, s_lock.Mutex());
    return pthread_cond_timedwait(pCond, s_lock.Mutex(), pDeadline);
}

void CEvent::YieldLock() {
    pthread_mutex_unlock(s_lock.Mutex());
    sched_yield();
    pthread_mutex_lock(s_lock.Mutex());
}

void CEvent::Broadcast() {
    for (pthread_cond_t* pCond : m_setWake) pthread_cond_broadcast(pCond);
}

CEvent::CEvent(bool bManualReset, bool bInitialState)
    : m_bManualReset(bManualReset), m_bSignalled(bInitialState) {
    CLock::CGuard guard(s_lock);
    InitCond(&m_cond);
    m_setWake.insert(&m_cond);
}

CEvent::~CEvent() {
    CLock::CGuard guard(s_lock);
    Broadcast();
    m_setWake.clear();
    pthread_cond_destroy(&m_cond);
}

void CEvent::Set(bool bState) {
    CLock::CGuard guard(s_lock);
    m_bSignalled = bState;
    if (bState) {
        ++m_ulWakeCount;
        Broadcast();
    }
}

void CEvent::Reset() {
    CLock::CGuard guard(s_lock);
    m_bSignalled = false;
}

void CEvent::Pulse() {
    CLock::CGuard guard(s_lock);
    ++m_ulWakeCount;
    Broadcast();
    m_bSignalled = false;
}

bool CEvent::Wait(unsigned int uTimeoutMs) {
    CLock::CGuard guard(s_lock);
    bool bWoken = true;
    if (!m_bSignalled) {
        if (uTimeoutMs == 0) {
            bWoken = false;
        } else {
            timespec deadline;
            const timespec* pDeadline = nullptr;
            if (uTimeoutMs != kInfinite) pDeadline = getTimeout(&deadline, uTimeoutMs);
            // A Set or Pulse since the wait began wakes it, even if the state was cleared again
            // before this thread ran; any other return of the condition wait is spurious.
            const unsigned long ulStart = m_ulWakeCount;
            for (;;) {
                int rc = CondWait(&m_cond, pDeadline);
                if (m_bSignalled || m_ulWakeCount != ulStart) break;
                if (rc != 0) {
                    bWoken = false;
                    break;
                }
            }
        }
    }
    if (!m_bManualReset && m_bSignalled) {
        m_bSignalled = false;
        YieldLock();
    }
    return bWoken;
}

bool CEvent::IsSet(unsigned int uTimeoutMs) { return Wait(uTimeoutMs); }

CEvent* CEvent::GetReference() { return this; }

int CEvent::FirstSignalled(unsigned int uCount, CEvent* const* ppEvents) {
    for (unsigned int i = 0; i < uCount; ++i) {
        if (ppEvents[i] != nullptr && ppEvents[i]->m_bSignalled) return static_cast<int>(i);
    }
    return -1;
}

int CEvent::WaitAny(unsigned int uTimeoutMs, unsigned int uCount, CEvent* const* ppEvents) {
    CLock::CGuard guard(s_lock);
    int index = FirstSignalled(uCount, ppEvents);
    if (index < 0 && uTimeoutMs != 0) {
        pthread_cond_t cond;
        InitCond(&cond);
        for (unsigned int i = 0; i < uCount; ++i) {
            if (ppEvents[i] != nullptr) ppEvents[i]->m_setWake.insert(&cond);
        }
        timespec deadline;
        const timespec* pDeadline = nullptr;
        if (uTimeoutMs != kInfinite) pDeadline = getTimeout(&deadline, uTimeoutMs);
        // Only a signalled event or the deadline ends the wait: spurious wake-ups and pulses
        // (which leave every event clear) wait on.
        for (;;) {
            int rc = CondWait(&cond, pDeadline);
            index = FirstSignalled(uCount, ppEvents);
            if (index >= 0 || rc != 0) break;
        }
        for (unsigned int i = 0; i < uCount; ++i) {
            if (ppEvents[i] != nullptr) ppEvents[i]->m_setWake.erase(&cond);
        }
        pthread_cond_destroy(&cond);
    }
    if (index >= 0 && !ppEvents[index]->m_bManualReset) {
        ppEvents[index]->m_bSignalled = false;
        YieldLock();
    }
    return index;
}

int CEvent::Wait(unsigned int uTimeoutMs, CEvent* e0, CEvent* e1, CEvent* e2, CEvent* e3,
                 CEvent* e4) {
    CEvent* events[5] = {e0, e1, e2, e3, e4};
    return WaitAny(uTimeoutMs, 5, events);
}

int CEvent::Wait(unsigned int uTimeoutMs, unsigned int uCount, CEvent** ppEvents) {
    if (ppEvents == nullptr) uCount = 0;
    return WaitAny(uTimeoutMs, uCount, ppEvents);
}
