#include "component/QXUSBComponent.h"

#include <cerrno>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "log/Log.h"

// The build defines TALIUN_HAVE_PORTMANAGER when the port manager library is part of it. Without it
// the component cannot serve anything, and Initialize fails.
#if TALIUN_HAVE_PORTMANAGER
#include "portio/UsbIO.h"
#include "portmanager/UpdateUSB.h"
#endif

template class CConnectionManager<CQXUSBComponent, true>;

CUpdateUSB* CQXUSBComponent::m_pUpdateUSB = nullptr;

#if TALIUN_HAVE_PORTMANAGER

bool CQXUSBComponent::Initialize()
{
    // Events of the port I/O objects reach the host through the connection manager.
    CUsbIO::SetEventSink(&CQXUSBConnectionManager::Event);
    m_pUpdateUSB = CUpdateUSB::CreateInstance(&g_propertyBridge);
    if (m_pUpdateUSB == nullptr) {
        LogMsg(LOGLEVEL_TRACE, "USB Component: Failed to allocate memory for m_pUpdateUSB, Error Code %d",
               errno);
        return false;
    }
    return true;
}

void CQXUSBComponent::Cleanup()
{
    if (m_pUpdateUSB != nullptr)
        m_pUpdateUSB->Release();
    m_pUpdateUSB = nullptr;
}

unsigned int CQXUSBComponent::Open(void* hHandle, std::string strKind)
{
    return m_pUpdateUSB->OpenPort(hHandle, strKind + "/" + m_strName);
}

unsigned int CQXUSBComponent::Close(void* hHandle, unsigned int /*ulLowerResult*/)
{
    return m_pUpdateUSB->ClosePort(hHandle);
}

unsigned int CQXUSBComponent::Write(void* hHandle, CData data, unsigned int* pulWritten)
{
    return m_pUpdateUSB->WriteToPort(hHandle, data, pulWritten);
}

unsigned int CQXUSBComponent::Ioctl(void* hHandle, unsigned int ulCode, CData in, CData* pOut)
{
    return m_pUpdateUSB->IoCtl(hHandle, ulCode, in, pOut);
}

unsigned int CQXUSBComponent::Ioctl(unsigned int ulCode, CData in, CData* pOut)
{
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

#else

bool CQXUSBComponent::Initialize()
{
    errno = ENOSYS;
    LogMsg(LOGLEVEL_TRACE, "USB Component: Failed to allocate memory for m_pUpdateUSB, Error Code %d", errno);
    return false;
}

void CQXUSBComponent::Cleanup() { m_pUpdateUSB = nullptr; }

unsigned int CQXUSBComponent::Open(void*, std::string) { return PHR_PORT_OPEN_FAILURE; }
unsigned int CQXUSBComponent::Close(void*, unsigned int) { return PHR_INVALID_PARAMETER; }
unsigned int CQXUSBComponent::Write(void*, CData, unsigned int*) { return PHR_INVALID_PARAMETER; }
unsigned int CQXUSBComponent::Ioctl(void*, unsigned int, CData, CData*) { return PHR_INVALID_PARAMETER; }
unsigned int CQXUSBComponent::Ioctl(unsigned int, CData, CData*) { return PHR_NOT_SUPPORTED; }

#endif

unsigned int CQXUSBComponent::Event(void* /*hHandle*/, unsigned int /*ulCode*/, CData /*data*/) { return 0; }
