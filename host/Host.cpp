#include "host/Host.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>

namespace {

std::atomic<CHost*> g_pActiveHost{nullptr};

bool BlockSignalsOfCallingThread() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    sigaddset(&set, SIGALRM);
    return pthread_sigmask(SIG_BLOCK, &set, nullptr) == 0;
}

// Runs in the main thread before main(): every thread of the process is created later and inherits
// the mask, whoever creates it (test frameworks, the log daemon, the component).
__attribute__((constructor)) void BlockSignalsAtStart() { BlockSignalsOfCallingThread(); }

int HostGetChildren(std::string strPath, std::list<std::string>& listChildren) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().GetChildren(strPath, listChildren) ? 1 : 0;
}
int HostGetData(std::string strPath, CData& data) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().GetData(strPath, data) ? 1 : 0;
}
int HostGetNumber(std::string strPath, unsigned int* pulValue) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().GetNumber(strPath, pulValue) ? 1 : 0;
}
int HostGetString(std::string strPath, std::string* pstrValue) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().GetString(strPath, pstrValue) ? 1 : 0;
}
int HostRemove(std::string strPath) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().Remove(strPath) ? 1 : 0;
}
int HostSetData(std::string strPath, CData data) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().SetData(strPath, data) ? 1 : 0;
}
int HostSetNumber(std::string strPath, unsigned int ulValue) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().SetNumber(strPath, ulValue) ? 1 : 0;
}
int HostSetString(std::string strPath, std::string strValue) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().SetString(strPath, strValue) ? 1 : 0;
}
int HostMakePort(std::string strPortType, std::string strDocument) {
    CHost* pHost = g_pActiveHost.load();
    return pHost != nullptr && pHost->Properties().MakePort(strPortType, strDocument) ? 1 : 0;
}

}  // namespace

CHost::CHost()
    : m_pLibrary(nullptr),
      m_pfnGetVersion(nullptr),
      m_pfnInitialize(nullptr),
      m_pfnUnload(nullptr),
      m_pfnInstall(nullptr),
      m_pfnRemove(nullptr),
      m_fInitialized(false),
      m_table(),
      m_ulNextHandle(0) {
    BlockSignalsOfCallingThread();
    g_pActiveHost.store(this);
}

CHost::~CHost() {
    Unload();
    // Only after the component's threads are gone: nothing calls back any more.
    CHost* pSelf = this;
    g_pActiveHost.compare_exchange_strong(pSelf, nullptr);
    if (m_pLibrary != nullptr) dlclose(m_pLibrary);
}

CHost* CHost::Active() { return g_pActiveHost.load(); }

bool CHost::Load(const std::string& strLibraryPath) {
    if (m_pLibrary != nullptr) {
        m_strError = "a library is already loaded";
        return false;
    }
    void* pLibrary = dlopen(strLibraryPath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (pLibrary == nullptr) {
        const char* pszError = dlerror();
        m_strError = pszError != nullptr ? pszError : "dlopen failed";
        return false;
    }
    auto pfnGetVersion = reinterpret_cast<PFN_GETVERSION>(dlsym(pLibrary, "GetVersion"));
    auto pfnInitialize = reinterpret_cast<PFN_INITIALIZEPORTHANDLERCOMPONENT>(
        dlsym(pLibrary, "InitializePortHandlerComponent"));
    auto pfnUnload = reinterpret_cast<PFN_UNLOADPORTHANDLERCOMPONENT>(
        dlsym(pLibrary, "UnloadPortHandlerComponent"));
    if (pfnGetVersion == nullptr || pfnInitialize == nullptr || pfnUnload == nullptr) {
        m_strError = "entry points missing in " + strLibraryPath;
        dlclose(pLibrary);
        return false;
    }
    m_pLibrary = pLibrary;
    m_pfnGetVersion = pfnGetVersion;
    m_pfnInitialize = pfnInitialize;
    m_pfnUnload = pfnUnload;
    m_pfnInstall = reinterpret_cast<PFN_INSTALL>(dlsym(pLibrary, "Install"));
    m_pfnRemove = reinterpret_cast<PFN_REMOVE>(dlsym(pLibrary, "Remove"));
    m_strError.clear();
    return true;
}

void* CHost::Symbol(const char* pszName) const {
    return m_pLibrary != nullptr ? dlsym(m_pLibrary, pszName) : nullptr;
}

void CHost::GetVersion(unsigned int* pulMajor, unsigned int* pulMinor, unsigned int* pulRevision,
                       unsigned int* pulBuild) const {
    if (m_pfnGetVersion != nullptr) m_pfnGetVersion(pulMajor, pulMinor, pulRevision, pulBuild);
}

_PORTHANDLERPROPERTY CHost::PropertyCallbacks() {
    _PORTHANDLERPROPERTY property;
    property.GetChildren = &HostGetChildren;
    property.GetData = &HostGetData;
    property.GetNumber = &HostGetNumber;
    property.GetString = &HostGetString;
    property.Remove = &HostRemove;
    property.SetData = &HostSetData;
    property.SetNumber = &HostSetNumber;
    property.SetString = &HostSetString;
    property.MakePort = &HostMakePort;
    return property;
}

int CHost::Initialize() {
    if (m_pfnInitialize == nullptr) return 0;
    BlockSignalsOfCallingThread();
    _PORTHANDLERPROPERTY property = PropertyCallbacks();
    _PORTHANDLERCOMPONENT table = {};
    const int nResult = m_pfnInitialize(&property, &table);
    // The component releases its port manager on unload also after a failed start.
    m_fInitialized = true;
    m_table = nResult != 0 ? table : _PORTHANDLERCOMPONENT();
    return nResult;
}

int CHost::InitializeWith(_PORTHANDLERPROPERTY* pProperty, _PORTHANDLERCOMPONENT* pTable) {
    if (m_pfnInitialize == nullptr) return 0;
    BlockSignalsOfCallingThread();
    const int nResult = m_pfnInitialize(pProperty, pTable);
    m_fInitialized = true;
    return nResult;
}

void CHost::Unload() {
    if (m_fInitialized && m_pfnUnload != nullptr) m_pfnUnload();
    m_fInitialized = false;
    m_table = _PORTHANDLERCOMPONENT();
}

int CHost::Install(const char* pszFileName) const {
    return m_pfnInstall != nullptr ? m_pfnInstall(pszFileName) : 0;
}

int CHost::Remove() const { return m_pfnRemove != nullptr ? m_pfnRemove() : 0; }

unsigned int CHost::Open(void* hHandle, const std::string& strPath) {
    _PORTHANDLERCOMPONENT next = {};
    next.Event = &CHost::EventSink;
    return Open(hHandle, strPath, &next);
}

unsigned int CHost::Open(void* hHandle, const std::string& strPath, _PORTHANDLERCOMPONENT* pNext) {
    if (m_table.Open == nullptr) return PHR_NOT_CONNECTED;
    return m_table.Open(hHandle, strPath, pNext);
}

unsigned int CHost::Close(void* hHandle) {
    if (m_table.Close == nullptr) return PHR_NOT_CONNECTED;
    return m_table.Close(hHandle);
}

unsigned int CHost::Write(void* hHandle, CData data, unsigned int* pulWritten) {
    if (m_table.Write == nullptr) return PHR_NOT_CONNECTED;
    return m_table.Write(hHandle, data, pulWritten);
}

unsigned int CHost::Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut) {
    if (m_table.Ioctl == nullptr) return PHR_NOT_CONNECTED;
    return m_table.Ioctl(hHandle, ulCode, in, pOut);
}

void* CHost::NewHandle() {
    // Distinct small values; the component only uses them as keys.
    return reinterpret_cast<void*>(0x1000 + 0x10 * ++m_ulNextHandle);
}

unsigned int CHost::EventSink(void* hHandle, unsigned int ulCode, CData data) {
    CHost* pHost = Active();
    if (pHost == nullptr) return 0;
    HOST_EVENT event;
    event.ulCode = ulCode;
    event.vecData.assign(data.Buffer(), data.Buffer() + data.Length());
    event.time = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> guard(pHost->m_eventMutex);
        pHost->m_mapEvents[hHandle].push_back(std::move(event));
    }
    pHost->m_eventCondition.notify_all();
    return 0;
}

std::vector<HOST_EVENT> CHost::Events(void* hHandle) const {
    std::lock_guard<std::mutex> guard(m_eventMutex);
    auto it = m_mapEvents.find(hHandle);
    return it != m_mapEvents.end() ? it->second : std::vector<HOST_EVENT>();
}

std::size_t CHost::EventCount(void* hHandle) const {
    std::lock_guard<std::mutex> guard(m_eventMutex);
    auto it = m_mapEvents.find(hHandle);
    return it != m_mapEvents.end() ? it->second.size() : 0;
}

void CHost::ClearEvents(void* hHandle) {
    std::lock_guard<std::mutex> guard(m_eventMutex);
    m_mapEvents.erase(hHandle);
}

bool CHost::WaitForEvent(void* hHandle, unsigned int ulCode, unsigned int ulTimeoutMs,
                         HOST_EVENT* pEvent, std::size_t ulFrom) const {
    auto found = [&]() {
        auto it = m_mapEvents.find(hHandle);
        if (it == m_mapEvents.end()) return false;
        for (std::size_t i = ulFrom; i < it->second.size(); ++i) {
            if (it->second[i].ulCode == ulCode) {
                if (pEvent != nullptr) *pEvent = it->second[i];
                return true;
            }
        }
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    std::unique_lock<std::mutex> lock(m_eventMutex);
    return m_eventCondition.wait_until(lock, deadline, found);
}

bool CHost::BlockHotPlugSignals() { return BlockSignalsOfCallingThread(); }

bool CHost::SendHotPlugNotice() { return kill(getpid(), SIGUSR1) == 0; }
