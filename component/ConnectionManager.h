#pragma once
// CConnectionManager: per-handle connection records between the host's table calls and the
// component objects, and the one path by which events reach the host.
//
// A record (an object of this class) holds a shared instance counter, a copy of the table the host
// passed at Open (its Event entry is the host's sink) and the component object serving the handle.
// Records are passed by value; copies share the counter, and the last copy of a record gives up the
// record's use of its component object. A component object is shared by every connection whose open
// path has the same second segment and is deleted when no record of any handle refers to it any
// more.
//
// Open and Close of one handle never overlap in the component: from the start of an Open until it
// returned, and from the start of a Close until it returned, the handle is busy; a Close that meets
// an Open in progress finds no connection (PHR_NOT_CONNECTED), an Open that meets an Open or a
// Close in progress fails (PHR_PORT_OPEN_FAILURE). The port manager keys its open ports by handle
// and cannot tell two opens of one handle apart. Write, Ioctl and events are not held back: events
// of a port being opened reach the host (its first power state comes that early).
//
// T must derive from CComponentInterface, be constructible from its name and provide
// `static unsigned int Ioctl(unsigned int, CData, CData*)` for component-level control codes. With
// fComponentIoctl false, Ioctl on a handle without a connection is answered PHR_NOT_SUPPORTED
// instead.

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/SharedRefCount.h"
#include "component/ComponentInterface.h"
#include "contract/Data.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "threads/Lock.h"

template <class T, bool fComponentIoctl>
class CConnectionManager {
public:
    CConnectionManager() noexcept : m_instances(), m_table(), m_pComponent(nullptr) {}
    CConnectionManager(const CConnectionManager& other) noexcept
        : m_instances(), m_table(), m_pComponent(nullptr) {
        CopyFrom(other);
    }
    CConnectionManager& operator=(const CConnectionManager& other) {
        if (this != &other) {
            Release();
            CopyFrom(other);
        }
        return *this;
    }
    ~CConnectionManager() { Release(); }

    bool IsValid() const { return m_instances.IsSet() && m_pComponent != nullptr; }
    CComponentInterface* GetComponent() const { return m_pComponent; }

    // The table entries handed to the host.
    static unsigned int ExternalOpen(void* hHandle, std::string strPath,
                                     _PORTHANDLERCOMPONENT* pNext);
    static unsigned int ExternalClose(void* hHandle);
    static unsigned int ExternalWrite(void* hHandle, CData data, unsigned int* pulWritten);
    static unsigned int ExternalIoctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut);

    // Delivers an event to the sink of an open connection; dropped for a handle that is not open
    // (also while its Close is in progress) or has no sink. Never called with s_lock held.
    static void Event(void* hHandle, unsigned int ulCode, CData data);

    static CConnectionManager GetConnectionManager(void* hHandle, int fAlsoPending);
    static CConnectionManager FindMatchingConnection(std::string strName);
    static CConnectionManager AddConnectionManager(void* hHandle, _PORTHANDLERCOMPONENT* pTable,
                                                   std::string strName);
    static CConnectionManager RemoveConnectionManager(void* hHandle);
    static void DeleteConnectionManager(void* hHandle);

    // Unload: forgets every open connection (records in s_mapDeletePending are left alone).
    static void RemoveAllConnections();

    // Number of live copies of this record (0 for an empty record).
    int InstanceCount() const { return m_instances.Count(); }

private:
    typedef std::map<void*, CConnectionManager> ConnectionMap;

    class TS_SCOPED_CAPABILITY CHold {
    public:
        CHold() TS_ACQUIRE(s_lock) { s_lock.Enter(); }
        ~CHold() TS_RELEASE() { s_lock.Leave(); }
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;
    };

    void CopyFrom(const CConnectionManager& other) noexcept;
    void Release();

    static std::vector<std::string> SplitPath(const std::string& strPath);
    // Marks the handle closing and takes its record out of s_map; an empty record when it is not
    // open or busy.
    static CConnectionManager BeginClose(void* hHandle);
    static void EndBusy(void* hHandle);

    // Shared by all copies of one record; counts the live copies.
    CSharedRefCount m_instances;
    _PORTHANDLERCOMPONENT m_table;
    CComponentInterface* m_pComponent;

    // Guards s_map, s_mapDeletePending and s_mapComponentUse. Recursive. Held only while the maps
    // are read or changed and records copied; never across a call into a component object or the
    // host, so no record whose last copy could go is destroyed while it is held.
    static CLock s_lock;
    static ConnectionMap s_map TS_GUARDED_BY(s_lock);
    static ConnectionMap s_mapDeletePending TS_GUARDED_BY(s_lock);
    // Number of records (counted once per record, however many copies it has) per component object.
    // The object is deleted when this drops to 0. Counting records of every handle, also those of a
    // Close in progress or of a Write still running, keeps an object alive while any caller may
    // still be inside it.
    static std::map<CComponentInterface*, int> s_mapComponentUse TS_GUARDED_BY(s_lock);
    // Handles whose Open or Close is in progress.
    static std::set<void*> s_setBusy TS_GUARDED_BY(s_lock);
};

// Constant-initialised, so it is usable whatever order the library's static objects are built in.
template <class T, bool B>
CLock CConnectionManager<T, B>::s_lock{CLock::StaticInit{}};
template <class T, bool B>
typename CConnectionManager<T, B>::ConnectionMap CConnectionManager<T, B>::s_map;
template <class T, bool B>
typename CConnectionManager<T, B>::ConnectionMap CConnectionManager<T, B>::s_mapDeletePending;
template <class T, bool B>
std::map<CComponentInterface*, int> CConnectionManager<T, B>::s_mapComponentUse;
template <class T, bool B>
std::set<void*> CConnectionManager<T, B>::s_setBusy;

template <class T, bool B>
void CConnectionManager<T, B>::CopyFrom(const CConnectionManager& other) noexcept {
    m_table = other.m_table;
    m_pComponent = other.m_pComponent;
    if (m_instances.Share(other.m_instances) > 100)
        LogMsg(LOGLEVEL_ALERT, "** CConnectionManager instance count unusually high!");
}

template <class T, bool B>
void CConnectionManager<T, B>::Release() {
    CComponentInterface* pComponent = m_pComponent;
    m_pComponent = nullptr;
    m_table = _PORTHANDLERCOMPONENT();
    if (!m_instances.Release() || pComponent == nullptr) return;
    bool fLast = false;
    {
        CHold hold;
        auto it = s_mapComponentUse.find(pComponent);
        if (it != s_mapComponentUse.end() && --it->second <= 0) {
            s_mapComponentUse.erase(it);
            fLast = true;
        }
    }
    if (fLast) delete pComponent;
}

template <class T, bool B>
std::vector<std::string> CConnectionManager<T, B>::SplitPath(const std::string& strPath) {
    std::vector<std::string> vecSegments;
    std::string::size_type pos = 0;
    while (pos <= strPath.size()) {
        std::string::size_type end = strPath.find('/', pos);
        if (end == std::string::npos) end = strPath.size();
        if (end > pos) vecSegments.push_back(strPath.substr(pos, end - pos));
        pos = end + 1;
    }
    return vecSegments;
}

template <class T, bool B>
CConnectionManager<T, B> CConnectionManager<T, B>::GetConnectionManager(void* hHandle,
                                                                        int fAlsoPending) {
    CHold hold;
    auto it = s_map.find(hHandle);
    if (it != s_map.end()) return it->second;
    if (fAlsoPending) {
        it = s_mapDeletePending.find(hHandle);
        if (it != s_mapDeletePending.end()) return it->second;
    }
    return CConnectionManager();
}

template <class T, bool B>
CConnectionManager<T, B> CConnectionManager<T, B>::FindMatchingConnection(std::string strName) {
    CHold hold;
    for (const auto& entry : s_map) {
        if (entry.second.m_pComponent != nullptr && entry.second.m_pComponent->GetName() == strName)
            return entry.second;
    }
    return CConnectionManager();
}

template <class T, bool B>
CConnectionManager<T, B> CConnectionManager<T, B>::AddConnectionManager(
    void* hHandle, _PORTHANDLERCOMPONENT* pTable, std::string strName) {
    CHold hold;
    auto it = s_map.find(hHandle);
    if ((it != s_map.end() && it->second.IsValid()) || s_setBusy.count(hHandle) != 0)
        return CConnectionManager();

    CConnectionManager record;
    {
        // The matching record lives in s_map, so this copy never ends its use of the component.
        CConnectionManager match = FindMatchingConnection(strName);
        record.m_pComponent = match.IsValid() ? match.m_pComponent : new T(strName);
    }
    record.m_instances = CSharedRefCount::New();
    if (pTable != nullptr) record.m_table = *pTable;
    ++s_mapComponentUse[record.m_pComponent];
    // An invalid leftover under this handle cannot hold the last use of a component (it has none).
    s_map[hHandle] = record;
    s_setBusy.insert(hHandle);
    return record;
}

template <class T, bool B>
CConnectionManager<T, B> CConnectionManager<T, B>::RemoveConnectionManager(void* hHandle) {
    CHold hold;
    auto it = s_map.find(hHandle);
    if (it == s_map.end()) return CConnectionManager();
    CConnectionManager record = it->second;
    s_map.erase(it);
    s_mapDeletePending.insert(std::make_pair(hHandle, record));
    return record;
}

template <class T, bool B>
void CConnectionManager<T, B>::DeleteConnectionManager(void* hHandle) {
    // Released after s_lock: it may be the last copy of its record.
    CConnectionManager victim;
    {
        CHold hold;
        auto it = s_mapDeletePending.find(hHandle);
        if (it == s_mapDeletePending.end()) return;
        victim = it->second;
        s_mapDeletePending.erase(it);
    }
}

template <class T, bool B>
CConnectionManager<T, B> CConnectionManager<T, B>::BeginClose(void* hHandle) {
    CHold hold;
    if (s_setBusy.count(hHandle) != 0) return CConnectionManager();
    CConnectionManager record = RemoveConnectionManager(hHandle);
    if (record.IsValid()) s_setBusy.insert(hHandle);
    return record;
}

template <class T, bool B>
void CConnectionManager<T, B>::EndBusy(void* hHandle) {
    CHold hold;
    s_setBusy.erase(hHandle);
}

template <class T, bool B>
void CConnectionManager<T, B>::RemoveAllConnections() {
    ConnectionMap mapVictims;
    {
        CHold hold;
        mapVictims.swap(s_map);
        s_setBusy.clear();
    }
}

template <class T, bool B>
unsigned int CConnectionManager<T, B>::ExternalOpen(void* hHandle, std::string strPath,
                                                    _PORTHANDLERCOMPONENT* pNext) {
    const std::vector<std::string> vecSegments = SplitPath(strPath);
    if (vecSegments.size() != 2 || pNext == nullptr || pNext->Event == nullptr ||
        pNext->Open != nullptr || pNext->Close != nullptr || pNext->Write != nullptr ||
        pNext->Ioctl != nullptr)
        return PHR_INVALID_PARAMETER;

    CConnectionManager record = AddConnectionManager(hHandle, pNext, vecSegments[1]);
    if (!record.IsValid()) return PHR_PORT_OPEN_FAILURE;

    const unsigned int ulResult = record.m_pComponent->Open(hHandle, vecSegments[0]);
    if (ulResult != PHR_SUCCESS) {
        RemoveConnectionManager(hHandle);
        DeleteConnectionManager(hHandle);
    }
    EndBusy(hHandle);
    return ulResult;
}

template <class T, bool B>
unsigned int CConnectionManager<T, B>::ExternalClose(void* hHandle) {
    CConnectionManager record = BeginClose(hHandle);
    if (!record.IsValid()) return PHR_NOT_CONNECTED;
    record.m_pComponent->ClosePrepare(hHandle);
    DeleteConnectionManager(hHandle);
    unsigned int ulLower = 0;
    if (record.m_table.Close != nullptr) ulLower = record.m_table.Close(hHandle);
    const unsigned int ulResult = record.m_pComponent->Close(hHandle, ulLower);
    EndBusy(hHandle);
    return ulResult;
}

template <class T, bool B>
unsigned int CConnectionManager<T, B>::ExternalWrite(void* hHandle, CData data,
                                                     unsigned int* pulWritten) {
    CConnectionManager record = GetConnectionManager(hHandle, 0);
    if (!record.IsValid()) return PHR_NOT_CONNECTED;
    unsigned int ulResult = record.m_pComponent->Write(hHandle, data, pulWritten);
    if (ulResult == PHR_NOT_SUPPORTED && record.m_table.Write != nullptr)
        ulResult = record.m_table.Write(hHandle, data, pulWritten);
    return ulResult;
}

template <class T, bool B>
unsigned int CConnectionManager<T, B>::ExternalIoctl(void* hHandle, unsigned int ulCode, CData in,
                                                     CData* pOut) {
    CConnectionManager record = GetConnectionManager(hHandle, 0);
    if (record.IsValid()) {
        unsigned int ulResult = record.m_pComponent->Ioctl(hHandle, ulCode, in, pOut);
        if (ulResult == PHR_NOT_SUPPORTED && record.m_table.Ioctl != nullptr)
            ulResult = record.m_table.Ioctl(hHandle, ulCode, in, pOut);
        return ulResult;
    }
    if constexpr (B)
        return T::Ioctl(ulCode, in, pOut);
    else
        return PHR_NOT_SUPPORTED;
}

template <class T, bool B>
void CConnectionManager<T, B>::Event(void* hHandle, unsigned int ulCode, CData data) {
    CConnectionManager record = GetConnectionManager(hHandle, 0);
    if (record.IsValid() && record.m_table.Event != nullptr)
        record.m_table.Event(hHandle, ulCode, data);
}
