#pragma once
// The component object of this library: forwards every connection call to the port manager
// singleton, and owns that singleton's creation and release.

#include <string>
#include <utility>

#include "component/ComponentInterface.h"
#include "component/ConnectionManager.h"

class CUpdateUSB;

class CQXUSBComponent : public CComponentInterface {
public:
    explicit CQXUSBComponent(std::string strName) : CComponentInterface(std::move(strName)) {}

    // Opens kind + "/" + the component name, i.e. the two segments of the host's open path.
    unsigned int Open(void* hHandle, std::string strKind) override;
    unsigned int Close(void* hHandle, unsigned int ulLowerResult) override;
    unsigned int Write(void* hHandle, CData data, unsigned int* pulWritten) override;
    unsigned int Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut) override;
    // Events never flow down.
    unsigned int Event(void* hHandle, unsigned int ulCode, CData data) override;

    // Component-level control codes, for handles without an open connection.
    static unsigned int Ioctl(unsigned int ulCode, CData in, CData* pOut);

    // Creates (or keeps) the port manager; false when it cannot be created or started.
    static bool Initialize();
    static void Cleanup();

    // The port manager singleton shared by all component objects; null outside Initialize..Cleanup.
    static CUpdateUSB* m_pUpdateUSB;
};

// The connection manager of this library; the one instantiation lives in QXUSBComponent.cpp.
extern template class CConnectionManager<CQXUSBComponent, true>;
typedef CConnectionManager<CQXUSBComponent, true> CQXUSBConnectionManager;
