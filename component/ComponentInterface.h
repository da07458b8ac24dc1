#pragma once
// Abstract base of the objects that serve host connections. One object serves every connection
// whose open path has the same second segment (its component name); the connection manager owns it.

#include <string>
#include <utility>

#include "contract/Data.h"

class CComponentInterface {
public:
    explicit CComponentInterface(std::string strName) : m_strName(std::move(strName)) {}
    virtual ~CComponentInterface() = default;

    CComponentInterface(const CComponentInterface&) = delete;
    CComponentInterface& operator=(const CComponentInterface&) = delete;

    virtual unsigned int Open(void* hHandle, std::string strKind) = 0;
    virtual void ClosePrepare(void* /*hHandle*/) {}
    virtual unsigned int Close(void* hHandle, unsigned int ulLowerResult) = 0;
    virtual unsigned int Write(void* hHandle, CData data, unsigned int* pulWritten) = 0;
    virtual unsigned int Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut) = 0;
    virtual unsigned int Event(void* hHandle, unsigned int ulCode, CData data) = 0;

    const std::string& GetName() const { return m_strName; }

protected:
    std::string m_strName;
};
