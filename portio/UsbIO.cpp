#include "portio/UsbIO.h"

#include <stdint.h>
#include <unistd.h>

#include <atomic>
#include <new>

#include "base/Text.h"
#include "base/Timeout.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "threads/Functions.h"

namespace {

constexpr unsigned int kWriteTimeout = 5000;  // ms, every port's progress allowance
// Bytes handed to the device per write call: one protocol chunk exactly. A piece of 65536 bytes
// would cost a second chunk of one byte, with its own busy poll, write start and count read-back.
constexpr unsigned int kWritePiece = 65535;
constexpr unsigned int kReplySize = 4096;  // reply buffer of a pass-through request
constexpr unsigned int kFsModeAnswerWait = 10000;

std::atomic<PFN_PORT_EVENT> s_pfEvent{nullptr};

}  // namespace

void CUsbIO::SetEventSink(PFN_PORT_EVENT pfEvent) { s_pfEvent.store(pfEvent); }

CUsbIO::CUsbIO()
    : m_pManager(nullptr),
      m_hPort(nullptr),
      m_ulWriteTimeout(0),
      m_bDisplayPort(false),
      m_nFlow(0),
      m_nPower(PH_POWER_UNKNOWN),
      m_ulProgressMark(0),
      m_ulDeadline(0),
      m_ulSavedInterval(0),
      m_pThread(new (std::nothrow) CThread()),
      m_pStartedEvent(new (std::nothrow) CEvent(true, false)),
      m_pStopEvent(new (std::nothrow) CEvent(true, false)),
      m_pWakeEvent(new (std::nothrow) CEvent(false, false)),
      m_pPortLock(new (std::nothrow) CLock()),
      m_pWriteAbortEvent(new (std::nothrow) CEvent(true, false)),
      m_pInputEvent(new (std::nothrow) CEvent(true, false)),
      m_refs(1),
      m_bDisconnected(0),
      m_pWriteLock(new (std::nothrow) CLock()) {}

CUsbIO::~CUsbIO() {
    if (m_pStopEvent != nullptr) m_pStopEvent->Set(true);
    CThread* pThread = nullptr;
    if (m_pPortLock != nullptr) {
        CLock::CGuard guard(*m_pPortLock);
        pThread = m_pThread;
        m_pThread = nullptr;
    } else {
        pThread = m_pThread;
        m_pThread = nullptr;
    }
    if (pThread != nullptr) {
        pThread->Wait(kInfinite);
        delete pThread;  // its destructor waits for the body as well
    }

    // Borrowers (host calls in progress) finish with the object before it goes. Count() acquires,
    // so what they wrote before letting go is visible to the teardown below.
    m_refs.Drop();
    while (m_refs.Count() > 0) usleep(2000);

    delete m_pWriteLock;
    delete m_pPortLock;
    delete m_pInputEvent;
    delete m_pWriteAbortEvent;
    delete m_pWakeEvent;
    delete m_pStopEvent;
    delete m_pStartedEvent;
}

bool CUsbIO::Init(_PORT_INFO* pInfo, CPortManagerCalls* pManager) {
    if (pInfo == nullptr || pManager == nullptr) {
        LogMsg(LOGLEVEL_TRACE, "-- CUsbIO::Init : Invalid parameters are passed in.");
        return false;
    }
    if (m_pPortLock == nullptr || m_pWriteLock == nullptr || m_pStopEvent == nullptr ||
        m_pStartedEvent == nullptr || m_pWakeEvent == nullptr || m_pWriteAbortEvent == nullptr ||
        m_pInputEvent == nullptr) {
        LogMsg(LOGLEVEL_TRACE, "-- CUsbIO::Init : Failed to create Events and Mutex objects.");
        return false;
    }

    // Display parts live under "/JV/"; a port name may itself contain "JV", so only the
    // leading segment decides.
    m_bDisplayPort = pInfo->strPath.compare(0, 4, "/JV/") == 0;
    {
        CLock::CGuard guard(*m_pPortLock);
        m_pManager = pManager;
        m_hPort = pInfo->hPort;
        m_info.hPort = pInfo->hPort;
        m_info.ulStatusPto = pInfo->ulStatusPto;
        m_info.strPath = pInfo->strPath;
        m_info.strModelName = pInfo->strModelName;
        if (!m_bDisplayPort) {
            m_info.ulWriteTimeout = pInfo->ulWriteTimeout;
            m_ulWriteTimeout = pInfo->ulWriteTimeout;
            m_info.ulOfflineTimeout = pInfo->ulOfflineTimeout;
            m_info.ulReadInterval = pInfo->ulReadInterval;
        } else {
            // A display part's record carries no timing of its own for writes; it gets the
            // same progress allowance as every configured port.
            m_info.ulWriteTimeout = kWriteTimeout;
            m_ulWriteTimeout = kWriteTimeout;
        }
    }
    return PortConnect() == PHR_SUCCESS;
}

unsigned int CUsbIO::PortConnect() {
    m_pStopEvent->Reset();
    m_pStartedEvent->Reset();
    bool bStarted = false;
    {
        CLock::CGuard guard(*m_pPortLock);
        if (m_pThread != nullptr)
            bStarted = m_pThread->Start(
                m_bDisplayPort ? &CUsbIO::tfJVPower : &CUsbIO::tfQXInputNPower, this);
    }
    if (bStarted) {
        // The port opens with its power state known.
        while (!m_pStartedEvent->IsSet(0)) m_pStartedEvent->Wait(kInfinite);
        return PHR_SUCCESS;
    }
    CLock::CGuard guard(*m_pPortLock);
    delete m_pThread;
    m_pThread = nullptr;
    return PHR_PORT_OPEN_FAILURE;
}

CUSBDevice CUsbIO::GetDevice() {
    if (m_pManager == nullptr) return CUSBDevice();
    return m_pManager->GetUSBDevice(m_hPort);
}

unsigned int CUsbIO::TimeoutCheck(unsigned int ulProgress, unsigned int& ulMarker) {
    const unsigned int ulNow = FUNCTIONS::GetTickCount();
    if (ulMarker == 0xFFFFFFFFu) {
        ulMarker = 0;
        m_ulDeadline = ulNow + m_ulWriteTimeout;
        m_ulProgressMark = 0;
        return PHR_SUCCESS;
    }
    if (ulProgress > m_ulProgressMark) {
        m_ulDeadline = ulNow + m_ulWriteTimeout;
        m_ulProgressMark = ulProgress;
        return PHR_SUCCESS;
    }
    const bool bPassed = static_cast<int>(ulNow - m_ulDeadline) > 0;
    if (!bPassed && GetFlow() == static_cast<int>(PH_FLOW_CONTROL_FORCE)) {
        // Forced flow is asserted again while the write waits.
        CUSBDevice device = GetDevice();
        return device.SetFlowControl(m_hPort, PH_FLOW_CONTROL_FORCE);
    }
    return bPassed ? PHR_WRITE_TIMEOUT : PHR_SUCCESS;
}

unsigned int CUsbIO::WriteToPort(CData data, unsigned int* pulWritten) {
    CLock::CGuard writeGuard(*m_pWriteLock);
    unsigned int ulMarker = 0xFFFFFFFFu;
    TimeoutCheck(0, ulMarker);

    const int nPower = GetPower();
    if (nPower == PH_POWER_NOT_READY && GetFlow() == static_cast<int>(PH_FLOW_CONTROL_FORCE)) {
        for (;;) {
            CUSBDevice device = GetDevice();
            if (device.SetFlowControl(m_hPort, PH_FLOW_CONTROL_FORCE) == PHR_SUCCESS) break;
            if (device.GetStatus() == DeviceStatus::Unavailable) return PHR_DEVICE_NOT_AVAILABLE;
            if (TimeoutCheck(0, ulMarker) != PHR_SUCCESS) return PHR_WRITE_TIMEOUT;
        }
    } else {
        if (nPower == PH_POWER_UNAVAILABLE) return PHR_DEVICE_NOT_AVAILABLE;
        CUSBDevice device = GetDevice();
        if (device.GetContext() == nullptr) return PHR_DEVICE_NOT_AVAILABLE;
        const unsigned int ulResult = device.SetFlowControl(m_hPort, PH_FLOW_CONTROL_NORMAL);
        if (ulResult != PHR_SUCCESS) return ulResult;
    }

    const unsigned int ulLength = data.Length();
    unsigned char* pBytes = data.Buffer();
    unsigned int ulWritten = 0;
    unsigned int ulResult = PHR_SUCCESS;
    while (ulWritten < ulLength) {
        if (m_pWriteAbortEvent->IsSet(0)) {
            ulResult = PHR_WRITE_TIMEOUT;
            break;
        }
        CUSBDevice device = GetDevice();
        const DeviceStatus status =
            device.GetContext() != nullptr ? device.GetStatus() : DeviceStatus::Unavailable;
        if (status == DeviceStatus::Unavailable) {
            ulResult = PHR_DEVICE_NOT_AVAILABLE;
            break;
        }
        if (status == DeviceStatus::NotReady &&
            GetFlow() != static_cast<int>(PH_FLOW_CONTROL_FORCE)) {
            if (TimeoutCheck(ulWritten, ulMarker) != PHR_SUCCESS) {
                ulResult = PHR_WRITE_TIMEOUT;
                break;
            }
            usleep(10000);
            continue;
        }
        const unsigned int ulPiece =
            ulLength - ulWritten < kWritePiece ? ulLength - ulWritten : kWritePiece;
        unsigned int ulCount = 0;
        ulResult = device.Write(pBytes + ulWritten, ulPiece, &ulCount, m_hPort);
        // The device never takes more than it was given; a larger count would run past the data.
        ulWritten += ulCount < ulPiece ? ulCount : ulPiece;
        if (TimeoutCheck(ulWritten, ulMarker) != PHR_SUCCESS) {
            ulResult = PHR_WRITE_TIMEOUT;
            break;
        }
    }

    // The monitoring thread reads the device's answer and checks status at once.
    m_pWakeEvent->Set(true);
    if (pulWritten != nullptr) *pulWritten = ulWritten;
    return ulResult;
}

unsigned int CUsbIO::DevIoControl(CData in, CData* pOut) {
    if (in.Length() < 4) return PHR_INVALID_PARAMETER;
    CUSBDevice device = GetDevice();
    unsigned char aucReply[kReplySize];
    unsigned int ulTransferred = 0;
    if (device.Ioctl(USBDEV_VENDOR_REQUEST, in.Buffer(), in.Length(), aucReply, sizeof(aucReply),
                     &ulTransferred) != PHR_SUCCESS)
        return PHR_DEVICE_ERROR;
    if (pOut != nullptr) {
        const int nTransferred = static_cast<int>(ulTransferred);
        if (nTransferred > 0) {
            const unsigned int ulCount =
                nTransferred < static_cast<int>(kReplySize) ? nTransferred : kReplySize;
            *pOut = CData(aucReply, ulCount);
        } else {
            *pOut = CData();
        }
    }
    return PHR_SUCCESS;
}

unsigned int CUsbIO::FsModeInWorkaround() {
    static const unsigned char aucModeIn[] = {0x1C, 0x7C, 0x4D, 0xA0, 0x4D,
                                              0x4F, 0x44, 0x45, 0x49, 0x4E};
    m_pInputEvent->Reset();
    const unsigned int ulResult = WriteToPort(CData(aucModeIn, sizeof(aucModeIn)), nullptr);
    if (ulResult != PHR_SUCCESS) return ulResult;
    switch (WaitFor2Events(m_pStopEvent, m_pInputEvent, kFsModeAnswerWait)) {
        case WaitResult::First:
            return PHR_DEVICE_ERROR;
        case WaitResult::Second:
            return PHR_SUCCESS;
        default:
            return PHR_RESPONSE_TIMEOUT;
    }
}

bool CUsbIO::SetFlow(unsigned int ulMode) {
    CUSBDevice device = GetDevice();
    if (ulMode == PH_FLOW_CONTROL_FORCE && !device.CanSetFlowControl()) return false;
    CLock::CGuard guard(*m_pPortLock);
    m_nFlow = static_cast<int>(ulMode);
    return true;
}

int CUsbIO::GetFlow() {
    CLock::CGuard guard(*m_pPortLock);
    return m_nFlow;
}

bool CUsbIO::SetPower(unsigned int ulState) {
    const int nState = static_cast<int>(ulState);
    int nOld;
    {
        CLock::CGuard guard(*m_pPortLock);
        nOld = m_nPower;
        m_nPower = nState;
    }
    if (nState == PH_POWER_UNAVAILABLE &&
        __atomic_load_n(&m_bDisconnected, __ATOMIC_ACQUIRE) == 0) {
        // The status that led here came from a device copy taken a moment ago; a re-attach or a
        // boot-mode claim may have bound a new device since. Only a binding that is itself
        // unavailable is dropped, so a fresh one is never lost to a stale decision.
        if (m_pManager != nullptr) {
            CUSBDevice current = GetDevice();
            if (current.GetStatus() == DeviceStatus::Unavailable)
                m_pManager->CloseUSBDeviceIf(m_hPort, current);
        }
    }
    if (nOld == nState) return false;
    LogMsg(LOGLEVEL_TRACE, "** Power Event(%d, %08X)", base::HandleNumber(m_hPort), ulState);
    SendEvent(PH_EVENT_POWER_STATE, &ulState, sizeof(ulState));
    return true;
}

int CUsbIO::GetPower() {
    CLock::CGuard guard(*m_pPortLock);
    return m_nPower;
}

void CUsbIO::SetPortProp(unsigned int ulOffline, unsigned int ulStatus) {
    CLock::CGuard guard(*m_pPortLock);
    if (ulOffline != m_info.ulOfflineTimeout) m_info.ulOfflineTimeout = ulOffline;
    if (ulStatus != m_info.ulStatusPto && ulStatus >= 10) m_info.ulStatusPto = ulStatus;
}

void CUsbIO::SetMonInterval(bool bFast) {
    {
        CLock::CGuard guard(*m_pPortLock);
        if (bFast || m_ulSavedInterval == 0) {
            m_info.ulStatusPto = 100;
            m_info.ulReadInterval = 10;
        } else {
            m_info.ulStatusPto = m_ulSavedInterval;
            m_info.ulReadInterval = m_ulSavedInterval;
        }
    }
    m_pWakeEvent->Set(true);
}

void CUsbIO::SaveMonInterval(unsigned int ulValue) {
    if (ulValue > 0x10000) ulValue = 0x10000;
    if (ulValue == 0) ulValue = 1;
    CLock::CGuard guard(*m_pPortLock);
    m_ulSavedInterval = ulValue;
}

unsigned int CUsbIO::HandleDisconnect(unsigned int ulRelease) {
    if (ulRelease != 0) {
        int nExpected = 0;
        if (!__atomic_compare_exchange_n(&m_bDisconnected, &nExpected, 1, false, __ATOMIC_ACQ_REL,
                                         __ATOMIC_ACQUIRE))
            return PHR_SUCCESS;  // released already
        if (m_pManager != nullptr) {
            m_pManager->CloseHandleOnly(m_hPort);
            m_pManager->UpdateConnectStatus(m_hPort, 1);
        }
        return PHR_SUCCESS;
    }
    if (__atomic_load_n(&m_bDisconnected, __ATOMIC_ACQUIRE) == 0) return PHR_SUCCESS;
    if (m_pManager == nullptr) return PHR_DEVICE_NOT_AVAILABLE;
    const unsigned int ulResult = m_pManager->OpenHandleOnly(m_hPort);
    if (ulResult == PHR_SUCCESS) {
        m_pManager->UpdateConnectStatus(m_hPort, 0);
        __atomic_store_n(&m_bDisconnected, 0, __ATOMIC_RELEASE);
    }
    return ulResult;
}

int CUsbIO::IsDisconnected() { return __atomic_load_n(&m_bDisconnected, __ATOMIC_ACQUIRE); }

void CUsbIO::SendEvent(unsigned int ulCode, CData data) {
    PFN_PORT_EVENT pfEvent = s_pfEvent.load();
    if (pfEvent != nullptr) pfEvent(m_hPort, ulCode, data);
}

void CUsbIO::SendEvent(unsigned int ulCode, void* pData, unsigned int ulLength) {
    if (pData == nullptr || ulLength == 0)
        SendEvent(ulCode, CData());
    else
        SendEvent(ulCode, CData(static_cast<unsigned char*>(pData), ulLength));
}

CUsbIO::WaitResult CUsbIO::WaitFor2Events(CEvent* pFirst, CEvent* pSecond, unsigned int ulTimeout) {
    if (pFirst == nullptr || pSecond == nullptr) return WaitResult::Invalid;
    auto outcome = [](int nPosition) {
        return nPosition == 0   ? WaitResult::First
               : nPosition == 1 ? WaitResult::Second
                                : WaitResult::TimedOut;
    };
    if (ulTimeout == kInfinite) {
        for (;;) {
            const int nResult = CEvent::Wait(kInfinite, pFirst, pSecond);
            if (nResult >= 0) return outcome(nResult);
        }
    }
    // A wake-up that finds neither event set waits again for the rest of the time.
    const unsigned int ulStart = FUNCTIONS::GetTickCount();
    for (;;) {
        const unsigned int ulElapsed = FUNCTIONS::GetTickCount() - ulStart;
        const unsigned int ulLeft = ulElapsed < ulTimeout ? ulTimeout - ulElapsed : 0;
        const int nResult = CEvent::Wait(ulLeft, pFirst, pSecond);
        if (nResult >= 0 || ulLeft == 0) return outcome(nResult);
    }
}

void CUsbIO::GetReference() { m_refs.Add(); }

void CUsbIO::ClearReference() { m_refs.Drop(); }

_PORT_INFO CUsbIO::GetPortInfo() {
    CLock::CGuard guard(*m_pPortLock);
    return m_info;
}

unsigned int CUsbIO::GetSavedMonInterval() {
    CLock::CGuard guard(*m_pPortLock);
    return m_ulSavedInterval;
}

void CUsbIO::ReadPeriods(unsigned int& ulStatus, unsigned int& ulRead) {
    CLock::CGuard guard(*m_pPortLock);
    ulStatus = m_info.ulStatusPto;
    ulRead = m_info.ulReadInterval;
}
