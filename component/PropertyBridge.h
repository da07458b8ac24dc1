#pragma once
// Bridge to the host's property service. The rest of the component reads and changes the host's
// property tree only through these functions; the port manager, through g_propertyBridge.
//
// Each function hands its strings to the host as fresh copies and returns true exactly when the
// host's entry returned nonzero; before a successful InitializeServicePropertyCallbacks every one
// returns false without calling anything. No function logs. Any thread may call them.

#include <list>
#include <string>
#include <utility>

#include "contract/Data.h"
#include "contract/PortHandler.h"
#include "portmanager/PropertyAccess.h"

// Copy of the host's record: all null until initialised, then replaced as a whole by every
// successful initialisation, never cleared. Entries are stored and read with atomic operations, so
// a repeated initialisation may run while other threads use the bridge.
extern _PORTHANDLERPROPERTY g_fProperty;

// 1 and copies the record when all nine entries are set; else 0 and g_fProperty stays as it was.
// pProperty must not be null.
int InitializeServicePropertyCallbacks(_PORTHANDLERPROPERTY* pProperty);

bool GetChildren(std::string strPath,
                 std::list<std::string, std::allocator<std::string> >& listChildren);
bool GetData(std::string strPath, CData& data);
bool GetNumber(std::string strPath, unsigned int* pulValue);
bool GetString(std::string strPath, std::string* pstrValue);
bool Remove(std::string strPath);
bool SetData(std::string strPath, CData data);
bool SetNumber(std::string strPath, unsigned int ulValue);
bool SetString(std::string strPath, std::string strValue);
bool MakePort(std::string strPortType, std::string strPortDocument);

// The functions above as the port manager's view of the host's property tree. Stateless: the
// object is constant-initialised and never destroyed, so it outlives the port manager.
class CPropertyBridge final : public CPropertyAccess {
public:
    constexpr CPropertyBridge() = default;

    bool GetChildren(std::string strPath, std::list<std::string>& listChildren) override {
        return ::GetChildren(std::move(strPath), listChildren);
    }
    bool GetNumber(std::string strPath, unsigned int* pulValue) override {
        return ::GetNumber(std::move(strPath), pulValue);
    }
    bool GetString(std::string strPath, std::string* pstrValue) override {
        return ::GetString(std::move(strPath), pstrValue);
    }
    bool SetNumber(std::string strPath, unsigned int ulValue) override {
        return ::SetNumber(std::move(strPath), ulValue);
    }
    bool SetString(std::string strPath, std::string strValue) override {
        return ::SetString(std::move(strPath), std::move(strValue));
    }
    bool MakePort(std::string strPortType, std::string strPortDocument) override {
        return ::MakePort(std::move(strPortType), std::move(strPortDocument));
    }
};

extern CPropertyBridge g_propertyBridge;
