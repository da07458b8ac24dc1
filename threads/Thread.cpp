#include "threads/Thread.h"

#include <errno.h>
#include <pthread.h>

#include "base/Timeout.h"
#include "log/Log.h"

namespace {

// Controlled threads whose body has ended but that may still be running this library's last
// instructions. They are joined on the next start and when the library is unloaded, so a host that
// unloads the library right after stopping it never pulls the code out from under a returning
// thread. (Fire-and-forget workers stay detached: the log's unload wait accounts for them.)
// Plain storage with no destructor, so a late thread can never append to a destroyed object.
constexpr size_t kMaxEnded = 256;
CStaticLock g_endedLock;
pthread_t g_ahEnded[kMaxEnded] TS_GUARDED_BY(g_endedLock.lock);
size_t g_nEnded TS_GUARDED_BY(g_endedLock.lock) = 0;

void JoinEndedThreads() {
    pthread_t ahEnded[kMaxEnded];
    size_t nEnded = 0;
    {
        CLock::CGuard guard(g_endedLock.lock);
        nEnded = g_nEnded;
        for (size_t i = 0; i < nEnded; ++i) ahEnded[i] = g_ahEnded[i];
        g_nEnded = 0;
    }
    for (size_t i = 0; i < nEnded; ++i) pthread_join(ahEnded[i], nullptr);
}

void NoteThreadEnding() {
    CLock::CGuard guard(g_endedLock.lock);
    if (g_nEnded < kMaxEnded) {
        g_ahEnded[g_nEnded++] = pthread_self();
    } else {
        // Without room to be joined the thread cleans up after itself, as a detached one would.
        pthread_detach(pthread_self());
    }
}

// Runs at unload or process exit.
struct CEndedThreadJoiner {
    ~CEndedThreadJoiner() { JoinEndedThreads(); }
} g_endedThreadJoiner;

void RunBody(CThreadUser* pUser, void (*pfnCallback)(void*), void* pArg) {
    try {
        if (pUser != nullptr) {
            pUser->Run();
        } else if (pfnCallback != nullptr) {
            pfnCallback(pArg);
        }
    } catch (...) {
        // A thread body that throws must not take the process down with it.
    }
}

}  // namespace

CThread::CThread() : CThread(0) {}

CThread::CThread(int iFireAndForget)
    : CEvent(true, false), m_iFireAndForget(iFireAndForget), m_evCompleted(true, false) {}

CThread::~CThread() {
    if (m_iFireAndForget == 0) {
        Set(true);
        Wait(kInfinite);
    }
}

bool CThread::IsAssigned() const {
    // Read under s_lock: the body clears the assignment and sets completion in one step under
    // it, so whoever sees the assignment cleared also knows the body has let go of the object.
    CLock::CGuard guard(s_lock);
    return m_pUser.load() != nullptr || m_pfnCallback.load() != nullptr;
}

bool CThread::Start(void (*pfnCallback)(void*), void* pArg) {
    if (IsAssigned()) {
        LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start failure - thread already running");
        return false;
    }
    if (pfnCallback == nullptr) {
        LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start(%p, %p) = <%d>", nullptr, pArg, EINVAL);
        return false;
    }
    m_pArg = pArg;
    m_pfnCallback = pfnCallback;
    if (StartThread()) return true;
    // pthread_create's error is in errno for the log line (StartThread stores it there).
    LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start(%p, %p) = <%d>",
           reinterpret_cast<void*>(pfnCallback), pArg, errno);
    m_pfnCallback = nullptr;
    m_pArg = nullptr;
    m_evCompleted.Set(true);
    return false;
}

bool CThread::Start(CThreadUser* pUser) {
    if (IsAssigned()) {
        LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start failure - thread already running");
        return false;
    }
    if (pUser == nullptr) {
        LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start(%p) = <%d>", static_cast<void*>(pUser), EINVAL);
        return false;
    }
    m_pUser = pUser;
    if (StartThread()) return true;
    LogMsg(LOGLEVEL_NOTICE, "-- CThread::Start(%p) = <%d>", static_cast<void*>(pUser), errno);
    m_pUser = nullptr;
    m_evCompleted.Set(true);
    return false;
}

bool CThread::StartThread() {
    JoinEndedThreads();
    m_evCompleted.Reset();
    CEvent::Set(false);
    int rc = pthread_create(&m_hThread, nullptr, ThreadFunction, this);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    if (m_iFireAndForget != 0) {
        pthread_detach(m_hThread);
        // The thread sets completion once it has copied what it runs; from then on it never
        // touches this object, which the caller may destroy.
        m_evCompleted.Wait(kInfinite);
        m_evCompleted.Reset();
    }
    return true;
}

void* CThread::ThreadFunction(void* pThis) {
    if (pThis == nullptr) return nullptr;
    CThread* pThread = static_cast<CThread*>(pThis);
    if (pThread->m_iFireAndForget != 0) {
        CThreadUser* pUser = pThread->m_pUser;
        void (*pfnCallback)(void*) = pThread->m_pfnCallback;
        void* pArg = pThread->m_pArg;
        pThread->m_evCompleted.Set(true);
        RunBody(pUser, pfnCallback, pArg);
        return nullptr;
    }
    RunBody(pThread->m_pUser, pThread->m_pfnCallback, pThread->m_pArg);
    // Listed before completion is signalled, so an unload that follows the wait finds it.
    NoteThreadEnding();
    pThread->CEvent::Set(false);
    {
        // The controlling thread may destroy the object as soon as the lock is free.
        CLock::CGuard guard(s_lock);
        pThread->m_pUser = nullptr;
        pThread->m_pfnCallback = nullptr;
        pThread->m_evCompleted.Set(true);
    }
    return nullptr;
}

void CThread::Stop() { Set(true); }

bool CThread::Wait(unsigned int uTimeoutMs) {
    if (!IsAssigned()) return true;
    return m_evCompleted.Wait(uTimeoutMs);
}

bool CThread::IsRunning() {
    if (!IsAssigned()) return false;
    return !m_evCompleted.IsSet(0);
}

CEvent* CThread::GetReference() { return &m_evCompleted; }

void CThread::Set(bool bState) {
    if (bState && m_iFireAndForget == 0) {
        CEvent::Set(true);
        return;
    }
    LogMsg(LOGLEVEL_NOTICE, "-- CThread::Set(FALSE) Illogical Function Call");
}

void CThread::Reset() { LogMsg(LOGLEVEL_NOTICE, "-- CThread::Reset() Illogical Function Call"); }

void CThread::Pulse() { LogMsg(LOGLEVEL_NOTICE, "-- CThread::Pulse() Illogical Function Call"); }
