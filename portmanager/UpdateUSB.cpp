// CUpdateUSB core: life cycle, open, close, write, per-port control codes and device bindings.
#include "portmanager/UpdateUSB.h"

#include <errno.h>
#include <stdint.h>
#include <string.h>

#include <new>
#include <vector>

#include "base/Text.h"
#include "base/Timeout.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "property/PropertyHandler.h"

CUpdateUSB* CUpdateUSB::sm_pUpdateUSB = nullptr;

namespace {

constexpr unsigned int kFlagUCS2 = 0x08000000u;
constexpr unsigned int kLockValueNoChange = 0x10000001u;
constexpr unsigned int kCodeAccepted1 = 0x50010004u;
constexpr unsigned int kCodeAccepted2 = 0x60010006u;

unsigned int FirstWord(const CData& data) {
    unsigned int ulValue = 0;
    memcpy(&ulValue, data.Buffer(), sizeof(ulValue));
    return ulValue;
}

// Stops a thread object and waits for its body to end.
void StopThread(CThread*& pThread) {
    if (pThread == nullptr) return;
    pThread->Stop();
    pThread->Wait(kInfinite);
    delete pThread;
    pThread = nullptr;
}

}  // namespace

CUpdateUSB::CUpdateUSB(CPropertyAccess* pProperties)
    : m_pProperties(pProperties),
      m_pDeviceLock(new (std::nothrow) CLock()),
      m_pUpdateThread(new (std::nothrow) CThread()),
      m_pEnumThread(new (std::nothrow) CThread()),
      m_pShutdownEvent(new (std::nothrow) CEvent(true, false)),
      m_pEnumDoneEvent(new (std::nothrow) CEvent(true, false)),
      m_pOpenLock(new (std::nothrow) CLock()),
      m_pConfigLock(new (std::nothrow) CLock()),
      m_nUnboundPorts(1),
      m_bUsbReady(false),
      m_hSignalLoop(),
      m_bSignalLoop(false) {}

CUpdateUSB::~CUpdateUSB() {
    StopUpdateThread();
    StopThread(m_pUpdateThread);
    StopThread(m_pEnumThread);
    delete m_pShutdownEvent;
    delete m_pEnumDoneEvent;
    delete m_pDeviceLock;
    delete m_pOpenLock;
    delete m_pConfigLock;
}

CUpdateUSB* CUpdateUSB::CreateInstance(CPropertyAccess* pProperties) {
    if (sm_pUpdateUSB != nullptr) return sm_pUpdateUSB;
    if (pProperties == nullptr) return nullptr;
    CUpdateUSB* pUpdateUSB = new (std::nothrow) CUpdateUSB(pProperties);
    if (pUpdateUSB == nullptr) {
        LogMsg(LOGLEVEL_TRACE, "USB PnP: Failed to allocate memory for PnP Thread. Error Code %d",
               errno);
        return nullptr;
    }
    sm_pUpdateUSB = pUpdateUSB;
    if (!pUpdateUSB->InitInstance()) {
        LogMsg(LOGLEVEL_TRACE, "USB PnP: PnP Thread failed to initialize.");
        // Whatever the start got to (libusb, loaded ports) is given back before the object goes.
        if (pUpdateUSB->m_bUsbReady) pUpdateUSB->ExitInstance();
        sm_pUpdateUSB = nullptr;
        delete pUpdateUSB;
        return nullptr;
    }
    return pUpdateUSB;
}

void CUpdateUSB::Release() {
    CUpdateUSB* pUpdateUSB = sm_pUpdateUSB;
    if (pUpdateUSB == nullptr) return;
    pUpdateUSB->m_pShutdownEvent->Set(true);
    pUpdateUSB->ExitInstance();
    sm_pUpdateUSB = nullptr;
    delete pUpdateUSB;
}

bool CUpdateUSB::InitInstance() {
    if (m_pUpdateThread == nullptr || m_pEnumThread == nullptr || m_pShutdownEvent == nullptr ||
        m_pEnumDoneEvent == nullptr || m_pDeviceLock == nullptr || m_pOpenLock == nullptr ||
        m_pConfigLock == nullptr)
        return false;
    if (!CUSBDevice::zph_usb_lib_init()) {
        LogMsg(LOGLEVEL_TRACE, "USB PnP: Failed to initialize libusb");
        return false;
    }
    m_bUsbReady = true;
    InitConfigPorts();
    if (!m_pUpdateThread->Start(&CUpdateUSB::tfUpdate, this)) {
        delete m_pUpdateThread;
        m_pUpdateThread = nullptr;
        return false;
    }
    return true;
}

void CUpdateUSB::ExitInstance() {
    // The plug-and-play threads go first: once they have ended nothing but this thread touches
    // the tables, and none of them can re-add a record after the tables were emptied.
    StopUpdateThread();
    StopThread(m_pUpdateThread);
    StopThread(m_pEnumThread);

    // Port I/O objects are taken out under the locks but deleted after they are released: a
    // monitoring thread (or a borrower) may be waiting for one of these locks, and the
    // destructor waits for both.
    std::vector<CUsbIO*> vecUsbIO;
    {
        // All table locks, in the lock order; released in reverse when the scope ends.
        CLock::CGuard configGuard(*m_pConfigLock);
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        CLock::CGuard openGuard(*m_pOpenLock);
        CLock::CGuard bootGuard(m_lockBootMode);
        for (auto& entry : m_mapOpenPorts)
            if (entry.second != nullptr) vecUsbIO.push_back(entry.second);
        m_mapOpenPorts.clear();
    }

    for (CUsbIO* pUsbIO : vecUsbIO) delete pUsbIO;

    {
        CLock::CGuard configGuard(*m_pConfigLock);
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        CLock::CGuard openGuard(*m_pOpenLock);
        CLock::CGuard bootGuard(m_lockBootMode);
        CLock::CGuard pendingGuard(m_lockPending);
        for (auto& entry : m_mapConfigPorts) delete entry.second;
        m_mapConfigPorts.clear();
        m_mapDevices.clear();
        m_mapPendingDevices.clear();
        for (CBootMode* pBootMode : m_listBootMode) delete pBootMode;
        m_listBootMode.clear();
    }

    if (m_bUsbReady) {
        CUSBDevice::zph_usb_lib_exit();
        m_bUsbReady = false;
    }
}

unsigned int CUpdateUSB::OpenPort(void* hPort, std::string strPath) {
    const std::vector<std::string> vecSegments = CPropertyHandler::Split(strPath);
    if (vecSegments.size() != 2) return PHR_INVALID_PARAMETER;
    const std::string& strKind = vecSegments[0];
    const std::string& strName = vecSegments[1];
    const int nHandle = base::HandleNumber(hPort);
    const char* pszPath = strPath.c_str();

    CLock::CGuard configGuard(*m_pConfigLock);
    auto itPort = m_mapConfigPorts.find(strName);
    if (itPort == m_mapConfigPorts.end() || itPort->second == nullptr) {
        LogMsg(LOGLEVEL_TRACE,
               "-- Open(%d, %s) <PHR_INVALID_CONFIGURATION> : Unable to read Port Properties.",
               nHandle, pszPath);
        return PHR_INVALID_CONFIGURATION;
    }
    _UXD_PORT* pPort = itPort->second;
    _PORT_INFO* pInfo;
    int nKind;
    if (strKind == "JV") {
        pInfo = &pPort->infoJV;
        nKind = USBKIND_JV;
    } else {
        pInfo = &pPort->infoQX;
        nKind = pInfo->bPrinterClass ? USBKIND_PRT : USBKIND_QX;
    }
    if (pInfo->bOpened) {
        LogMsg(LOGLEVEL_TRACE,
               "-- Open(%d, %s) <PHR_PORT_OPEN_FAILURE> : Device is already opened.", nHandle,
               pszPath);
        return PHR_PORT_OPEN_FAILURE;
    }

    CUsbIO* pUsbIO = new (std::nothrow) CUsbIO();
    if (pUsbIO == nullptr) {
        LogMsg(LOGLEVEL_TRACE,
               "-- Open(%d, %s) <PHR_ALLOCATION_ERROR> : Unable to create USB IO object.", nHandle,
               pszPath);
        return PHR_ALLOCATION_ERROR;
    }

    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        CUSBDevice device;
        bool bFound = false;
        for (auto& entry : m_mapDevices) {
            if (entry.second.GetDeviceName() == pPort->strPortName) {
                device = CUSBDevice(entry.second, nKind);
                bFound = true;
                break;
            }
        }
        if (!bFound) device = CUSBDevice(pPort->strPortName, nKind);
        const unsigned int ulResult = OpenDevice(device);
        if (ulResult == PHR_SUCCESS) {
            m_mapDevices.emplace(hPort, device);
        } else if (ulResult != PHR_NOT_CONNECTED) {
            LogMsg(LOGLEVEL_TRACE,
                   "-- Open(%d, %s) <PHR_PORT_OPEN_FAILURE> : Failed to open device.", nHandle,
                   pszPath);
            delete pUsbIO;
            return PHR_PORT_OPEN_FAILURE;
        }
    }

    pInfo->bOpened = 1;
    pInfo->hPort = hPort;
    if (!pUsbIO->Init(pInfo, this)) {
        {
            CLock::CGuard deviceGuard(*m_pDeviceLock);
            m_mapDevices.erase(hPort);
        }
        pInfo->bOpened = 0;
        pInfo->hPort = nullptr;
        LogMsg(LOGLEVEL_TRACE,
               "-- Open(%d, %s) <PHR_PORT_OPEN_FAILURE> : Failed to initialize USB IO.", nHandle,
               pszPath);
        delete pUsbIO;
        return PHR_PORT_OPEN_FAILURE;
    }
    {
        CLock::CGuard openGuard(*m_pOpenLock);
        m_mapOpenPorts[hPort] = pUsbIO;
    }
    LogMsg(LOGLEVEL_TRACE, "-- Open(%d, %s) <PHR_SUCCESS>", nHandle, pszPath);
    return PHR_SUCCESS;
}

unsigned int CUpdateUSB::OpenDevice(CUSBDevice& device) {
    const unsigned int ulResult = device.Open();
    if (device.GetContext() == nullptr) ShareOpenHandle(device);
    return ulResult;
}

bool CUpdateUSB::ShareOpenHandle(CUSBDevice& device) {
    // Another binding may hold the device open already, and the device grants one handle only.
    // The copy keeps this binding's own kind: the kind picks the channel and the requests.
    for (auto& entry : m_mapDevices)
        if (&entry.second != &device && entry.second.GetContext() != nullptr &&
            entry.second.GetDeviceName() == device.GetDeviceName()) {
            device = CUSBDevice(entry.second, device.GetKind());
            return true;
        }
    return false;
}

unsigned int CUpdateUSB::ClosePort(void* hPort) {
    CUsbIO* pUsbIO = nullptr;
    int nPower = PH_POWER_UNKNOWN;
    {
        CLock::CGuard openGuard(*m_pOpenLock);
        auto it = m_mapOpenPorts.find(hPort);
        if (it == m_mapOpenPorts.end()) {
            LogMsg(LOGLEVEL_TRACE, "-- Close(%d) <PHR_INVALID_PARAMETER> : Device does not exist.",
                   base::HandleNumber(hPort));
            return PHR_INVALID_PARAMETER;
        }
        pUsbIO = it->second;
        if (pUsbIO != nullptr) nPower = pUsbIO->GetPower();
        m_mapOpenPorts.erase(it);
    }
    // Deleted without the lock: the destructor waits for the monitoring thread and for writes
    // still in progress, and those may need the port manager's locks to finish.
    delete pUsbIO;

    {
        CLock::CGuard configGuard(*m_pConfigLock);
        for (auto& entry : m_mapConfigPorts) {
            _UXD_PORT* pPort = entry.second;
            _PORT_INFO* pInfo = nullptr;
            if (pPort->infoJV.hPort == hPort)
                pInfo = &pPort->infoJV;
            else if (pPort->infoQX.hPort == hPort)
                pInfo = &pPort->infoQX;
            if (pInfo != nullptr) {
                pInfo->bOpened = 0;
                pInfo->hPort = nullptr;
                pInfo->bReleased = 0;
            }
        }
    }
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        m_mapDevices.erase(hPort);
    }
    {
        CLock::CGuard bootGuard(m_lockBootMode);
        for (auto it = m_listBootMode.begin(); it != m_listBootMode.end(); ++it) {
            if ((*it)->hPort != hPort) continue;
            if (nPower == PH_POWER_UNAVAILABLE || nPower == PH_POWER_UNKNOWN) {
                delete *it;
                m_listBootMode.erase(it);
            } else {
                (*it)->hPort = nullptr;
            }
            break;
        }
    }
    LogMsg(LOGLEVEL_TRACE, "-- Close(%d) <PHR_SUCCESS>", base::HandleNumber(hPort));
    return PHR_SUCCESS;
}

unsigned int CUpdateUSB::WriteToPort(void* hPort, CData data, unsigned int* pulWritten) {
    CUsbIO* pUsbIO;
    {
        CLock::CGuard openGuard(*m_pOpenLock);
        auto it = m_mapOpenPorts.find(hPort);
        if (it == m_mapOpenPorts.end() || it->second == nullptr) return PHR_INVALID_PARAMETER;
        if (data.Length() == 0) {
            if (pulWritten != nullptr) *pulWritten = 0;
            return PHR_SUCCESS;
        }
        pUsbIO = it->second;
        pUsbIO->GetReference();
    }
    const unsigned int ulResult = pUsbIO->WriteToPort(data, pulWritten);
    pUsbIO->ClearReference();
    return ulResult;
}

unsigned int CUpdateUSB::IoCtl(void* hPort, unsigned int ulCode, CData in, CData* pOut) {
    const int nHandle = base::HandleNumber(hPort);
    CUsbIO* pUsbIO;
    {
        CLock::CGuard openGuard(*m_pOpenLock);
        auto it = m_mapOpenPorts.find(hPort);
        if (it == m_mapOpenPorts.end()) {
            LogMsg(LOGLEVEL_TRACE, "-- IoCtl(%d %d) <PHR_INVALID_PARAMETER> : Port is not opened",
                   nHandle, static_cast<int>(ulCode));
            return PHR_INVALID_PARAMETER;
        }
        if (it->second == nullptr) {
            LogMsg(LOGLEVEL_TRACE,
                   "-- IoCtl(%d, %08X) <PHR_INVALID_PARAMETER> : Unable to locate USB IO object.",
                   nHandle, ulCode);
            return PHR_INVALID_PARAMETER;
        }
        pUsbIO = it->second;
        pUsbIO->GetReference();
    }

    const unsigned int ulPlainCode = ulCode & ~kFlagUCS2;
    unsigned int ulResult;
    switch (ulPlainCode) {
        case PH_LOCK_PORT:
            ulResult =
                in.Length() < 4 ? PHR_INVALID_PARAMETER : LockPort(hPort, FirstWord(in), pUsbIO);
            break;
        case PH_USB_GET_POWER_STATE:
            if (pOut == nullptr) {
                ulResult = PHR_INVALID_PARAMETER;
            } else {
                const int nPower = pUsbIO->GetPower();
                *pOut = CData(reinterpret_cast<const unsigned char*>(&nPower), sizeof(nPower));
                ulResult = PHR_SUCCESS;
            }
            break;
        case kCodeAccepted1:
        case kCodeAccepted2:
            ulResult = PHR_SUCCESS;
            break;
        case PH_USB_RESET_DEVICE: {
            CUSBDevice device = GetUSBDevice(hPort);
            ulResult = device.Reset();
            // A reset device comes back as a new instance and is bound again then. A kind that
            // cannot be reset (the display channel) was not touched and keeps its binding.
            if (ulResult != PHR_NOT_SUPPORTED) CloseUSBDevice(hPort);
            break;
        }
        case PH_USB_SET_FLOW_CONTROL:
            if (in.Length() != 4) {
                ulResult = PHR_INVALID_PARAMETER;
            } else {
                const unsigned int ulMode = FirstWord(in);
                if (ulMode == PH_FLOW_CONTROL_NORMAL || ulMode == PH_FLOW_CONTROL_FORCE)
                    ulResult = pUsbIO->SetFlow(ulMode) ? PHR_SUCCESS : PHR_NOT_SUPPORTED;
                else
                    ulResult = PHR_NOT_SUPPORTED;
            }
            break;
        case PH_USB_SET_MONITOR_INTERVAL:
            if (in.Length() != 4) {
                ulResult = PHR_INVALID_PARAMETER;
            } else {
                pUsbIO->SaveMonInterval(FirstWord(in));
                ulResult = PHR_SUCCESS;
            }
            break;
        case PH_CONFIG_CHANGED:
            ulResult = HandleConfigChange(pUsbIO, hPort);
            break;
        case PH_USB_CLEAR_WRITE_ABORT:
            pUsbIO->GetWriteAbortEvent()->Reset();
            ulResult = PHR_SUCCESS;
            break;
        case PH_USB_ABORT_WRITE:
            pUsbIO->GetWriteAbortEvent()->Set(true);
            ulResult = PHR_SUCCESS;
            break;
        case PH_USB_UPDATE_BOOT_MODE:
            ulResult = UpdateBootModeTable(hPort, in, USBKIND_QX, std::string());
            break;
        case PH_USB_DEVICE_IOCTL:
            ulResult = pUsbIO->DevIoControl(in, pOut);
            break;
        case PH_USB_SET_DISCONNECTED:
            ulResult =
                in.Length() != 4 ? PHR_INVALID_PARAMETER : pUsbIO->HandleDisconnect(FirstWord(in));
            break;
        case PH_USB_FS_MODE_WORKAROUND:
            if (in.Length() != 0) {
                ulResult = PHR_INVALID_PARAMETER;
            } else {
                if (pOut != nullptr) *pOut = CData();
                ulResult = pUsbIO->FsModeInWorkaround();
            }
            break;
        default:
            ulResult = PHR_NOT_SUPPORTED;
            break;
    }
    pUsbIO->ClearReference();

    if (pOut != nullptr)
        Log(LOGLEVEL_TRACE, pOut->Buffer(), pOut->Length(), "-- IoCtl(%d, %08X) <%08X>", nHandle,
            ulPlainCode, ulResult);
    else
        LogMsg(LOGLEVEL_TRACE, "-- IoCtl(%d, %08X) <%08X>", nHandle, ulPlainCode, ulResult);
    return ulResult;
}

unsigned int CUpdateUSB::LockPort(void* hPort, unsigned int ulValue, CUsbIO* pUsbIO) {
    if (pUsbIO == nullptr) return PHR_INVALID_PARAMETER;
    if (ulValue == kLockValueNoChange) return PHR_SUCCESS;
    if (ulValue != 1 && ulValue != 2) return PHR_INVALID_PARAMETER;
    pUsbIO->HandleDisconnect(0);
    pUsbIO->GetWriteAbortEvent()->Reset();
    pUsbIO->SetMonInterval(ulValue == 1);
    {
        CUSBDevice device = GetUSBDevice(hPort);
        device.SetFlowControl(hPort, PH_FLOW_CONTROL_NORMAL);
    }
    pUsbIO->SetFlow(PH_FLOW_CONTROL_NORMAL);
    return PHR_SUCCESS;
}

CUSBDevice CUpdateUSB::GetUSBDevice(void* hPort) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    auto it = m_mapDevices.find(hPort);
    if (it == m_mapDevices.end()) return CUSBDevice();
    return it->second;
}

unsigned int CUpdateUSB::OpenHandleOnly(void* hPort) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    auto it = m_mapDevices.find(hPort);
    if (it == m_mapDevices.end()) return PHR_SUCCESS;
    // Taking back a part of a two-part device whose other part is still open shares that
    // part's handle again.
    if (it->second.GetContext() == nullptr && ShareOpenHandle(it->second)) return PHR_SUCCESS;
    return OpenDevice(it->second);
}

void CUpdateUSB::CloseHandleOnly(void* hPort) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    auto it = m_mapDevices.find(hPort);
    if (it != m_mapDevices.end()) it->second.ClearReference();
}

void CUpdateUSB::CloseUSBDevice(void* hPort) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    m_mapDevices.erase(hPort);
}

void CUpdateUSB::CloseUSBDeviceIf(void* hPort, const CUSBDevice& expected) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    auto it = m_mapDevices.find(hPort);
    if (it != m_mapDevices.end() && it->second.SharesConnection(expected)) m_mapDevices.erase(it);
}

int CUpdateUSB::UpdateConnectStatus(void* hPort, int nValue) {
    CLock::CGuard configGuard(*m_pConfigLock);
    for (auto& entry : m_mapConfigPorts) {
        _PORT_INFO& info = entry.second->infoQX;
        if (info.bOpened && info.hPort == hPort) {
            info.bReleased = nValue;
            return 1;
        }
    }
    return 0;
}

bool CUpdateUSB::GetConfigPort(const std::string& strName, _UXD_PORT* pCopy) {
    CLock::CGuard configGuard(*m_pConfigLock);
    auto it = m_mapConfigPorts.find(strName);
    if (it == m_mapConfigPorts.end() || it->second == nullptr) return false;
    if (pCopy != nullptr) *pCopy = *it->second;
    return true;
}

size_t CUpdateUSB::GetOpenPortCount() {
    CLock::CGuard openGuard(*m_pOpenLock);
    return m_mapOpenPorts.size();
}

size_t CUpdateUSB::GetDeviceCount() {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    return m_mapDevices.size();
}
