#pragma once
// CHost: a substitute for the platform's port-handler service, for end-to-end tests and tools.
//
// It does what a host does with the component: loads the library with dlopen, resolves the entry
// points by name, initialises the component with its nine property callbacks over an in-memory
// property tree (CPropertyTree), and drives connections through the component's function table,
// giving each Open an event sink that records the events of that handle.
//
// The property callbacks and the event sink are plain functions without a context pointer, so one
// CHost at a time is the active host of the process: the one created last. Callbacks arriving while
// no host is active fail (properties) or are dropped (events).
//
// Signals: SIGUSR1 (hot-plug notice) and SIGALRM (the component's retry timer) must reach only the
// component's plug-and-play thread, which takes them synchronously. Every other thread must block
// them, or their default action ends the process. Linking this library blocks both in the main
// thread before main() runs, so every thread created later inherits the mask; BlockHotPlugSignals
// does the same for the calling thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "contract/Data.h"
#include "contract/PortHandler.h"
#include "host/PropertyTree.h"

struct HOST_EVENT {
    unsigned int ulCode;
    std::vector<unsigned char> vecData;
    std::chrono::steady_clock::time_point time;  // when the sink received it
};

class CHost {
public:
    CHost();
    // Unloads the component if it is initialised, then closes the library.
    ~CHost();
    CHost(const CHost&) = delete;
    CHost& operator=(const CHost&) = delete;

    // dlopen (RTLD_NOW) and resolution of GetVersion, InitializePortHandlerComponent and
    // UnloadPortHandlerComponent (required) and Install, Remove (optional). False with LastError().
    bool Load(const std::string& strLibraryPath);
    bool IsLoaded() const { return m_pLibrary != nullptr; }
    const std::string& LastError() const { return m_strError; }
    // Any symbol of the loaded library, or null.
    void* Symbol(const char* pszName) const;

    // Entry points. Initialize() passes the host's own property record and keeps the filled table.
    void GetVersion(unsigned int* pulMajor, unsigned int* pulMinor, unsigned int* pulRevision,
                    unsigned int* pulBuild) const;
    int Initialize();
    // Raw call with the caller's records, for tests of the entry point itself; the caller's table
    // is not taken over (the table calls below use the one Initialize() filled).
    int InitializeWith(_PORTHANDLERPROPERTY* pProperty, _PORTHANDLERCOMPONENT* pTable);
    void Unload();
    bool IsInitialized() const { return m_fInitialized; }
    const _PORTHANDLERCOMPONENT& Table() const { return m_table; }
    int Install(const char* pszFileName) const;
    int Remove() const;

    // The host's nine property callbacks, acting on the active host's tree.
    static _PORTHANDLERPROPERTY PropertyCallbacks();
    CPropertyTree& Properties() { return m_tree; }

    // Table calls. Open passes a `next` table whose only entry is this host's event sink; the
    // second form passes the caller's table as it is.
    unsigned int Open(void* hHandle, const std::string& strPath);
    unsigned int Open(void* hHandle, const std::string& strPath, _PORTHANDLERCOMPONENT* pNext);
    unsigned int Close(void* hHandle);
    unsigned int Write(void* hHandle, CData data, unsigned int* pulWritten);
    unsigned int Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut);
    // A handle value not handed out before by this host (never null).
    void* NewHandle();

    // The sink put into every `next` table; records the event for the handle.
    static unsigned int EventSink(void* hHandle, unsigned int ulCode, CData data);
    std::vector<HOST_EVENT> Events(void* hHandle) const;
    std::size_t EventCount(void* hHandle) const;
    void ClearEvents(void* hHandle);
    // Waits until the handle has an event with the code at position ulFrom or later of its record;
    // true and *pEvent (when given) on success, false after ulTimeoutMs.
    bool WaitForEvent(void* hHandle, unsigned int ulCode, unsigned int ulTimeoutMs,
                      HOST_EVENT* pEvent = nullptr, std::size_t ulFrom = 0) const;

    // Blocks SIGUSR1 and SIGALRM in the calling thread.
    static bool BlockHotPlugSignals();
    // Sends SIGUSR1 to this process: the hot-plug notice.
    static bool SendHotPlugNotice();

private:
    static CHost* Active();

    void* m_pLibrary;
    std::string m_strError;
    PFN_GETVERSION m_pfnGetVersion;
    PFN_INITIALIZEPORTHANDLERCOMPONENT m_pfnInitialize;
    PFN_UNLOADPORTHANDLERCOMPONENT m_pfnUnload;
    PFN_INSTALL m_pfnInstall;
    PFN_REMOVE m_pfnRemove;
    bool m_fInitialized;
    _PORTHANDLERCOMPONENT m_table;
    std::atomic<std::size_t> m_ulNextHandle;

    CPropertyTree m_tree;

    // Guards m_mapEvents; leaf lock, never held while calling the component.
    mutable std::mutex m_eventMutex;
    mutable std::condition_variable m_eventCondition;
    std::map<void*, std::vector<HOST_EVENT>> m_mapEvents;
};
