// CUpdateUSB plug-and-play monitor: the thread that keeps the configured ports and the USB bus in
// step. It waits for the hot-plug notice (SIGUSR1) and for its own retry timer (SIGALRM); on a
// notice it enumerates the attached devices and re-attaches each to the port that names it or
// hands it to the port search; devices that cannot be handled yet are retried every 0.5 s.
//
// Locking. UpdatePort (and the port search) hold m_pConfigLock for their whole length, re-opens
// included. A re-open sets the open port's power state through a borrowed reference rather than
// under m_pOpenLock: setting the state to unavailable drops the binding, which takes
// m_pDeviceLock, and m_pDeviceLock inside m_pOpenLock would invert the lock order against the
// boot-mode table, which a host thread enters with m_pDeviceLock held.
#include <signal.h>
#include <stdint.h>
#include <sys/time.h>
#include <unistd.h>

#include <vector>

#include "base/Text.h"
#include "base/Timeout.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/UpdateUSB.h"

namespace {

constexpr time_t kSignalWaitSeconds = 2;
constexpr unsigned int kHotPlugPauseMs = 100;  // lets the bus settle after a notice
constexpr suseconds_t kRetryDelay = 500000;    // one-shot retry timer
constexpr unsigned int kEnumLingerMs = 1000;   // the enumeration thread's rest before it ends
// Directed at the signal loop's thread by a stop, so that the stop need not wait for the wait's
// time-out. One of the two signals the thread takes anyway: no other signal of the host's is
// touched, and one that arrives as a stop is never acted on.
constexpr int kWakeSignal = SIGALRM;

// One SIGALRM after 0.5 s; arming again restarts the delay.
void ArmRetryTimer() {
    itimerval timer = {};
    timer.it_value.tv_usec = kRetryDelay;
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void DisarmRetryTimer() {
    itimerval timer = {};
    setitimer(ITIMER_REAL, &timer, nullptr);
}

void BlockAllSignals(sigset_t* pOld) {
    sigset_t setAll;
    sigfillset(&setAll);
    pthread_sigmask(SIG_BLOCK, &setAll, pOld);
}

}  // namespace

void CUpdateUSB::tfUpdate(void* pArg) { static_cast<CUpdateUSB*>(pArg)->UpdateThread(); }

void CUpdateUSB::tfPortEnum(void* pArg) { static_cast<CUpdateUSB*>(pArg)->EnumUSBPorts(); }

int CUpdateUSB::UpdateThread() {
    // Blocked before anything else, so that the enumeration thread started below inherits the
    // mask too: a notice arriving during start-up stays pending for the signal loop instead of
    // reaching a thread that would die of it.
    BlockAllSignals(nullptr);

    {
        CLock::CGuard bootGuard(m_lockBootMode);
        for (CBootMode* pBootMode : m_listBootMode) delete pBootMode;
        m_listBootMode.clear();
    }
    InitConfigPorts();

    m_pEnumDoneEvent->Reset();
    if (m_pEnumThread != nullptr && m_pEnumThread->Start(&CUpdateUSB::tfPortEnum, this)) {
        if (!m_pEnumDoneEvent->Wait(kInfinite)) {
            delete m_pEnumThread;
            m_pEnumThread = nullptr;
        }
    }
    return process_message();
}

void CUpdateUSB::EnumUSBPorts() {
    if (!m_pShutdownEvent->IsSet(0)) usb_EnumUSBPort();
    m_pEnumDoneEvent->Set(true);
    // The rest ends early when the port manager stops this thread.
    CEvent::Wait(kEnumLingerMs, m_pEnumThread);
}

int CUpdateUSB::process_message() {
    sigset_t setAll, setOld;
    sigfillset(&setAll);
    if (pthread_sigmask(SIG_BLOCK, &setAll, &setOld) != 0) {
        LogMsg(LOGLEVEL_TRACE, "--USB PnP: error happen in siggmask.");
        return 0;
    }
    // Only the two signals of this thread are taken: any other signal directed at the process
    // belongs to the host and stays pending for whichever of its threads accepts it.
    sigset_t setWait;
    sigemptyset(&setWait);
    sigaddset(&setWait, SIGUSR1);
    sigaddset(&setWait, SIGALRM);
    const timespec tsWait = {kSignalWaitSeconds, 0};
    {
        CLock::CGuard loopGuard(m_lockSignalLoop);
        m_hSignalLoop = pthread_self();
        m_bSignalLoop = true;
    }

    // The stop request is tested before every wait and after every signal: a stop that comes
    // while this thread is busy leaves its wake-up pending, so the next wait returns at once.
    while (CEvent::Wait(0, m_pUpdateThread) != 0) {
        const int nSignal = sigtimedwait(&setWait, nullptr, &tsWait);
        if (nSignal < 1 || CEvent::Wait(0, m_pUpdateThread) == 0) continue;
        if (nSignal == SIGUSR1) {
            if (CEvent::Wait(kHotPlugPauseMs, m_pUpdateThread) == 0) break;
            LogMsg(LOGLEVEL_TRACE, "--USB PnP: USB device got plugging in event\n");
            usb_EnumUSBPort();
        } else if (nSignal == SIGALRM) {
            HandleTimerMsg();
        }
    }
    {
        CLock::CGuard loopGuard(m_lockSignalLoop);
        m_bSignalLoop = false;
    }
    // The timer is process-wide: once nobody waits for it, a SIGALRM could end the process.
    DisarmRetryTimer();
    // A wake-up that came after the last wait is still pending; taken here, it cannot reach the
    // thread when the mask is restored. (A hot-plug notice taken with it is moot: the port
    // manager is going, and the next one enumerates the bus at its start.)
    const timespec tsNone = {0, 0};
    while (sigtimedwait(&setWait, nullptr, &tsNone) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &setOld, nullptr);
    return 1;
}

void CUpdateUSB::StopUpdateThread() {
    if (m_pUpdateThread == nullptr) return;
    m_pUpdateThread->Stop();
    CLock::CGuard loopGuard(m_lockSignalLoop);
    if (m_bSignalLoop) pthread_kill(m_hSignalLoop, kWakeSignal);
}

void CUpdateUSB::usb_EnumUSBPort() {
    std::map<std::string, int> mapDevices;
    CUSBDevice::zph_usb_enum(mapDevices);
    for (const auto& entry : mapDevices) {
        // A new device may take seconds (identification); a stopping port manager has no use
        // for the rest of the pass.
        if (m_pShutdownEvent->IsSet(0)) break;
        if (UpdatePort(entry.first, entry.second) != AttachResult::Attached)
            HandleNewDevice(entry.first, 1, entry.second);
    }
}

void CUpdateUSB::HandleTimerMsg() {
    // Walked on a copy: retries are long (power query, identification) and the lock guards only
    // the snapshots. This thread is the only one that changes the table.
    std::map<std::string, int> mapPending;
    {
        CLock::CGuard pendingGuard(m_lockPending);
        mapPending = m_mapPendingDevices;
    }
    for (const auto& entry : mapPending) {
        if (m_pShutdownEvent->IsSet(0)) return;
        if (HandleNewDevice(entry.first, 0, entry.second) == NewDeviceResult::Settled) {
            CLock::CGuard pendingGuard(m_lockPending);
            m_mapPendingDevices.erase(entry.first);
        }
    }
    bool bPending;
    {
        CLock::CGuard pendingGuard(m_lockPending);
        bPending = !m_mapPendingDevices.empty();
    }
    if (bPending) ArmRetryTimer();
}

CUpdateUSB::NewDeviceResult CUpdateUSB::HandleNewDevice(std::string strDeviceName,
                                                        int nAddToPending, int nKind) {
    const int nPower =
        nKind == USBKIND_PRT ? GetPowerPRTState(strDeviceName) : GetPowerQXState(strDeviceName);
    if (nPower == PH_POWER_UNAVAILABLE) {
        std::map<std::string, int> mapDevices;
        CUSBDevice::zph_usb_enum(mapDevices);
        if (!IsSLNExist(mapDevices, strDeviceName)) return NewDeviceResult::Settled;
    }
    // Unsigned on purpose: result codes have bit 31 set and do not qualify.
    const unsigned int ulPower = static_cast<unsigned int>(nPower);
    if (ulPower <= 1 && ConfigureNewDevice(strDeviceName, nKind, ulPower) != 0)
        return NewDeviceResult::Settled;
    if (nAddToPending == 0) return NewDeviceResult::Pending;
    {
        CLock::CGuard pendingGuard(m_lockPending);
        m_mapPendingDevices.emplace(strDeviceName, nKind);
    }
    ArmRetryTimer();
    return NewDeviceResult::Pending;
}

CUpdateUSB::AttachResult CUpdateUSB::UpdatePort(std::string strDeviceName, int nKind) {
    CLock::CGuard configGuard(*m_pConfigLock);
    m_nUnboundPorts = 0;
    _UXD_PORT* pPort = nullptr;
    for (auto& entry : m_mapConfigPorts) {
        _UXD_PORT* pCandidate = entry.second;
        if (pCandidate->strPortName.empty()) {
            ++m_nUnboundPorts;
            continue;
        }
        pCandidate->strPortName = base::ToUpper(pCandidate->strPortName);
        if (pCandidate->strPortName == strDeviceName) {
            pPort = pCandidate;
            break;
        }
    }
    if (pPort == nullptr) return AttachResult::NoPort;

    if (nKind == USBKIND_PRT) {
        if (pPort->infoQX.bOpened && ReopenPort(&pPort->infoQX, strDeviceName, USBKIND_PRT) ==
                                         ReopenResult::PartDisconnected)
            return AttachResult::PartDisconnected;
        return AttachResult::Attached;
    }
    if (pPort->infoQX.bOpened &&
        ReopenPort(&pPort->infoQX, strDeviceName, USBKIND_QX) == ReopenResult::PartDisconnected)
        return AttachResult::PartDisconnected;
    if (nKind == USBKIND_JV && pPort->infoJV.bConfigured && pPort->infoJV.bOpened &&
        ReopenPort(&pPort->infoJV, strDeviceName, USBKIND_JV) == ReopenResult::PartDisconnected)
        return AttachResult::PartDisconnected;
    return AttachResult::Attached;
}

CUpdateUSB::ReopenResult CUpdateUSB::ReopenPort(_PORT_INFO* pInfo, std::string strDeviceName,
                                                int nKind) {
    void* hPort = pInfo->hPort;
    const int nHandle = base::HandleNumber(hPort);
    {
        CUSBDevice current = GetUSBDevice(hPort);
        if (current.GetStatus() != DeviceStatus::Unavailable) return ReopenResult::OldDeviceAnswers;
    }

    CUsbIO* pUsbIO = nullptr;
    {
        CLock::CGuard openGuard(*m_pOpenLock);
        auto it = m_mapOpenPorts.find(hPort);
        if (it != m_mapOpenPorts.end() && it->second != nullptr) {
            pUsbIO = it->second;
            pUsbIO->GetReference();
        }
    }
    bool bDisconnected = false;
    if (pUsbIO != nullptr) {
        LogMsg(LOGLEVEL_TRACE, "-- Port error, Port HANDLE already exists(%d)", nHandle);
        pUsbIO->SetPower(static_cast<unsigned int>(PH_POWER_UNAVAILABLE));
        bDisconnected = pUsbIO->IsDisconnected() != 0;
        pUsbIO->ClearReference();
    }
    if (bDisconnected) {
        LogMsg(LOGLEVEL_TRACE, "-- Reopened(%d) port in disconnect state %s", nHandle,
               strDeviceName.c_str());
        return ReopenResult::PartDisconnected;
    }
    // The binding to the instance that has gone must not stay in the way of the new one. It is
    // looked at again: one that answers by now (a boot-mode claim bound the handle since) stays.
    {
        CUSBDevice bound = GetUSBDevice(hPort);
        if (bound.GetStatus() == DeviceStatus::Unavailable) CloseUSBDeviceIf(hPort, bound);
    }

    CUSBDevice device = LiveDeviceForName(strDeviceName, nKind, hPort);
    bool bOpened = false;
    bool bBound = false;
    std::string strServedBy;
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        if (pInfo->bReleased || OpenDevice(device) == PHR_SUCCESS) {
            bOpened = true;
            auto result = m_mapDevices.emplace(hPort, device);
            bBound = result.second;
            if (!bBound) strServedBy = result.first->second.GetDeviceName();
        }
    }
    if (!bOpened) {
        LogMsg(LOGLEVEL_TRACE, "-- Reopened(%d) failure %s", nHandle, strDeviceName.c_str());
        return ReopenResult::Failed;
    }
    if (!bBound) {
        LogMsg(LOGLEVEL_TRACE, "-- Reopened(%d) failure %s : Port is served by %s", nHandle,
               strDeviceName.c_str(), strServedBy.c_str());
        return ReopenResult::Failed;
    }
    if (pInfo->bPrinterClass && nKind != USBKIND_PRT) {
        pInfo->bPrinterClass = 0;
        m_pProperties->SetNumber(pInfo->strPath + "/DeviceClass", 0);
    } else if (!pInfo->bPrinterClass && nKind == USBKIND_PRT) {
        pInfo->bPrinterClass = 1;
        m_pProperties->SetNumber(pInfo->strPath + "/DeviceClass", 1);
    }
    return ReopenResult::Reopened;
}

CUSBDevice CUpdateUSB::LiveDeviceForName(const std::string& strDeviceName, int nKind,
                                         void* hExclude) {
    // Copies are tested outside the lock: a status request is a USB transfer.
    std::vector<CUSBDevice> vecCandidates;
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        for (auto& entry : m_mapDevices)
            if (entry.first != hExclude && entry.second.GetDeviceName() == strDeviceName)
                vecCandidates.push_back(entry.second);
    }
    for (CUSBDevice& candidate : vecCandidates)
        if (candidate.GetStatus() != DeviceStatus::Unavailable) return CUSBDevice(candidate, nKind);
    return CUSBDevice(strDeviceName, nKind);
}

int CUpdateUSB::IsSLNExist(std::map<std::string, int> mapDevices, std::string strDeviceName) {
    for (const auto& entry : mapDevices)
        if (entry.first == strDeviceName) return 1;
    return 0;
}

std::map<std::string, int> CUpdateUSB::GetPendingDevices() {
    CLock::CGuard pendingGuard(m_lockPending);
    return m_mapPendingDevices;
}
