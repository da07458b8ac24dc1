#include "component/PropertyBridge.h"

_PORTHANDLERPROPERTY g_fProperty = {};
CPropertyBridge g_propertyBridge;

namespace {

// Entries are read and written one at a time with atomic operations: a repeated initialisation may
// replace the record while the plug-and-play or a host thread calls through it.
template <class F>
F Load(F* pEntry) {
    return __atomic_load_n(pEntry, __ATOMIC_ACQUIRE);
}

template <class F>
void Store(F* pEntry, F value) {
    __atomic_store_n(pEntry, value, __ATOMIC_RELEASE);
}

}  // namespace

int InitializeServicePropertyCallbacks(_PORTHANDLERPROPERTY* pProperty) {
    if (pProperty->GetChildren == nullptr || pProperty->GetData == nullptr ||
        pProperty->GetNumber == nullptr || pProperty->GetString == nullptr ||
        pProperty->Remove == nullptr || pProperty->SetData == nullptr ||
        pProperty->SetNumber == nullptr || pProperty->SetString == nullptr ||
        pProperty->MakePort == nullptr)
        return 0;
    Store(&g_fProperty.GetChildren, pProperty->GetChildren);
    Store(&g_fProperty.GetData, pProperty->GetData);
    Store(&g_fProperty.GetNumber, pProperty->GetNumber);
    Store(&g_fProperty.GetString, pProperty->GetString);
    Store(&g_fProperty.Remove, pProperty->Remove);
    Store(&g_fProperty.SetData, pProperty->SetData);
    Store(&g_fProperty.SetNumber, pProperty->SetNumber);
    Store(&g_fProperty.SetString, pProperty->SetString);
    Store(&g_fProperty.MakePort, pProperty->MakePort);
    return 1;
}

bool GetChildren(std::string strPath,
                 std::list<std::string, std::allocator<std::string> >& listChildren) {
    auto pfn = Load(&g_fProperty.GetChildren);
    return pfn != nullptr && pfn(strPath, listChildren) != 0;
}

bool GetData(std::string strPath, CData& data) {
    auto pfn = Load(&g_fProperty.GetData);
    return pfn != nullptr && pfn(strPath, data) != 0;
}

bool GetNumber(std::string strPath, unsigned int* pulValue) {
    auto pfn = Load(&g_fProperty.GetNumber);
    return pfn != nullptr && pfn(strPath, pulValue) != 0;
}

bool GetString(std::string strPath, std::string* pstrValue) {
    auto pfn = Load(&g_fProperty.GetString);
    return pfn != nullptr && pfn(strPath, pstrValue) != 0;
}

bool Remove(std::string strPath) {
    auto pfn = Load(&g_fProperty.Remove);
    return pfn != nullptr && pfn(strPath) != 0;
}

bool SetData(std::string strPath, CData data) {
    auto pfn = Load(&g_fProperty.SetData);
    return pfn != nullptr && pfn(strPath, data) != 0;
}

bool SetNumber(std::string strPath, unsigned int ulValue) {
    auto pfn = Load(&g_fProperty.SetNumber);
    return pfn != nullptr && pfn(strPath, ulValue) != 0;
}

bool SetString(std::string strPath, std::string strValue) {
    auto pfn = Load(&g_fProperty.SetString);
    return pfn != nullptr && pfn(strPath, strValue) != 0;
}

bool MakePort(std::string strPortType, std::string strPortDocument) {
    auto pfn = Load(&g_fProperty.MakePort);
    return pfn != nullptr && pfn(strPortType, strPortDocument) != 0;
}
