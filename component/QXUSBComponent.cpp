#include "component/QXUSBComponent.h"

#include <cerrno>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portio/UsbIO.h"
#include "portmanager/UpdateUSB.h"

template class CConnectionManager<CQXUSBComponent, true>;

CUpdateUSB* CQXUSBComponent::m_pUpdateUSB = nullptr;

bool CQXUSBComponent::Initialize() {
    // Events of the port I/O objects reach the host through the connection manager.
    CUsbIO::SetEventSink(&CQXUSBConnectionManager::Event);
    m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
    if (m_pUpdateUSB == nullptr) {
        LogMsg(LOGLEVEL_TRACE,
               "USB Component: Failed to allocate memory for m_pUpdateUSB, Error Code %d", errno);
        return false;
    }
    return true;
}

void CQXUSBComponent::Cleanup() {
    if (m_pUpdateUSB != nullptr) m_pUpdateUSB->Release();
    m_pUpdateUSB = nullptr;
}

unsigned int CQXUSBComponent::Open(void* hHandle, std::string strKind) {
    return m_pUpdateUSB->OpenPort(hHandle, strKind + "/" + m_strName);
}

unsigned int CQXUSBComponent::Close(void* hHandle, unsigned int /*ulLowerResult*/) {
    return m_pUpdateUSB->ClosePort(hHandle);
}

unsigned int CQXUSBComponent::Write(void* hHandle, CData data, unsigned int* pulWritten) {
    return m_pUpdateUSB->WriteToPort(hHandle, data, pulWritten);
}

unsigned int CQXUSBComponent::Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut) {
    return m_pUpdateUSB->IoCtl(hHandle, ulCode, in, pOut);
}

unsigned int CQXUSBComponent::Ioctl(unsigned int ulCode, CData in, CData* pOut) {
    // The handlers get the code with the UCS-2 flag still set; they read it.
    switch (ulCode & ~PH_UCS2_STRINGS) {
        case PH_CONFIG_ADD_PORT:
            return m_pUpdateUSB->ConfigAddPort(in, ulCode);
        case PH_CONFIG_DELETE_PORT:
            return m_pUpdateUSB->ConfigDeletePort(in, ulCode);
        case PH_CONFIG_GET_COMPONENT_UI:
            return m_pUpdateUSB->GetConfigUI(in, ulCode, pOut);
        default:
            return PHR_NOT_SUPPORTED;
    }
}

unsigned int CQXUSBComponent::Event(void* /*hHandle*/, unsigned int /*ulCode*/, CData /*data*/) {
    return 0;
}
