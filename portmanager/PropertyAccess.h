#pragma once
// The host's property tree as the port manager reads and changes it. The component implements this
// over the host's property service and hands it to CUpdateUSB::CreateInstance, so that the port
// manager depends on nothing above it (as a database is handed its environment).
//
// Each call returns true exactly when the host's entry succeeded; the Get calls write through their
// pointer (GetChildren appends to its list) only then. Any thread may call.
#include <list>
#include <string>

class CPropertyAccess {
public:
    virtual bool GetChildren(std::string strPath, std::list<std::string>& listChildren) = 0;
    virtual bool GetNumber(std::string strPath, unsigned int* pulValue) = 0;
    virtual bool GetString(std::string strPath, std::string* pstrValue) = 0;
    virtual bool SetNumber(std::string strPath, unsigned int ulValue) = 0;
    virtual bool SetString(std::string strPath, std::string strValue) = 0;
    // Has the host create a port of the type from the port document.
    virtual bool MakePort(std::string strPortType, std::string strPortDocument) = 0;

protected:
    // Never deleted through this interface.
    ~CPropertyAccess() = default;
};
