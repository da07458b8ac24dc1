#pragma once
#include <pthread.h>

#include <atomic>

#include "threads/Event.h"

// Body of a thread started with CThread::Start(CThreadUser*).
class CThreadUser {
public:
    virtual void Run() = 0;

protected:
    ~CThreadUser() = default;
};

// Detached worker thread. The object itself, as a CEvent (manual reset), is the stop request the
// body waits on or tests; GetReference() gives the completion event. Since the virtual Wait of a
// CThread waits for completion, the body tests its stop request with the multi-event wait
// (CEvent::Wait(ms, pThread, ...)) or with the qualified pThread->CEvent::Wait(ms).
// An ordinary thread can be started again once its body has returned; destroying it raises the
// stop request and waits for the body to end. A fire-and-forget thread (constructor argument
// nonzero) runs on its own: Start returns once the thread has taken its callback, and the object
// may be destroyed right after; it cannot be started a second time.
class CThread : public CEvent {
public:
    CThread();
    explicit CThread(int iFireAndForget);
    ~CThread() override;
    using CEvent::Wait;

    bool Start(void (*pfnCallback)(void*), void* pArg);
    bool Start(CThreadUser* pUser);
    static void* ThreadFunction(void* pThis);

    // Raises the stop request.
    void Stop();
    // Waits for completion; true at once when nothing is assigned.
    bool Wait(unsigned int uTimeoutMs) override;
    bool IsRunning();
    CEvent* GetReference() override;

    // Set(true) raises the stop request of an ordinary thread; everything else is an illogical
    // call that is only logged, as are Reset and Pulse: a stop request cannot be withdrawn.
    void Set(bool bState) override;
    void Reset() override;
    void Pulse() override;

private:
    bool IsAssigned() const;
    bool StartThread();

    int m_iFireAndForget;
    pthread_t m_hThread = 0;
    CEvent m_evCompleted;
    // Written by the controlling thread and cleared by the body when it ends.
    std::atomic<CThreadUser*> m_pUser{nullptr};
    std::atomic<void (*)(void*)> m_pfnCallback{nullptr};
    void* m_pArg = nullptr;
};
