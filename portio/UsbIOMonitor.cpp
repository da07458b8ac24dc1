// The port monitoring threads of CUsbIO: status into power state, input into events.
#include <stdint.h>
#include <unistd.h>

#include "base/Text.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portio/UsbIO.h"
#include "threads/Functions.h"

namespace {

constexpr unsigned int kShortestWait = 10;   // ms between cycles
constexpr unsigned int kConfirmWindow = 50;  // ms a not-ready status must last
constexpr unsigned int kConfirmStep = 10;    // ms between status polls while confirming
constexpr unsigned int kConfirmReadDelay = 10;
// Input waiting at open is dropped; a device that keeps sending must not hold the open (and the
// port manager's configuration lock) forever, so the discard stops after this many reads.
constexpr int kMaxDiscardReads = 256;

bool Reached(unsigned int ulNow, unsigned int ulWhen) {
    return static_cast<int>(ulNow - ulWhen) >= 0;
}

}  // namespace

void CUsbIO::tfQXInputNPower(void* pArg) { static_cast<CUsbIO*>(pArg)->QXInputNPowerThread(); }

void CUsbIO::tfJVPower(void* pArg) { static_cast<CUsbIO*>(pArg)->JVPowerThread(); }

DeviceStatus CUsbIO::CheckStatus() {
    CUSBDevice device = GetDevice();
    return device.GetStatus();
}

unsigned int CUsbIO::PowerStateOf(DeviceStatus status) {
    switch (status) {
        case DeviceStatus::Ready:
            return PH_POWER_READY;
        case DeviceStatus::NotReady:
            return PH_POWER_NOT_READY;
        default:
            return PH_POWER_UNAVAILABLE;
    }
}

DeviceStatus CUsbIO::CheckPowerWithRead() {
    const unsigned int ulStart = FUNCTIONS::GetTickCount();
    const unsigned int ulEnd = ulStart + kConfirmWindow;
    const unsigned int ulReadStart = ulStart + kConfirmReadDelay;
    DeviceStatus result = DeviceStatus::NotReady;
    while (!Reached(FUNCTIONS::GetTickCount(), ulEnd) && result == DeviceStatus::NotReady) {
        if (m_pStopEvent->Wait(kConfirmStep) && m_pStopEvent->IsSet(0)) return result;
        result = CheckStatus();
        if (Reached(FUNCTIONS::GetTickCount(), ulReadStart)) {
            CUSBDevice device = GetDevice();
            CData data;
            if (device.Read(&data, m_hPort) == PHR_SUCCESS && data.Length() != 0) {
                SendEvent(PH_EVENT_INPUT_DATA, data);
                m_pInputEvent->Set(true);
            }
        }
    }
    return result;
}

void CUsbIO::QXInputNPowerThread() {
    GetReference();

    for (int i = 0; i < kMaxDiscardReads; ++i) {
        CUSBDevice device = GetDevice();
        CData data;
        if (device.Read(&data, m_hPort) != PHR_SUCCESS || data.Length() == 0) break;
    }

    const DeviceStatus first = CheckStatus();
    m_pStartedEvent->Set(true);
    usleep(1000);
    SetPower(PowerStateOf(first));

    unsigned int ulStatusPeriod, ulReadPeriod;
    ReadPeriods(ulStatusPeriod, ulReadPeriod);
    unsigned int ulNow = FUNCTIONS::GetTickCount();
    unsigned int ulNextStatus = ulNow + ulStatusPeriod;
    unsigned int ulNextRead = ulNow + ulReadPeriod;
    unsigned int ulWait = kShortestWait;

    for (;;) {
        const int nWait = CEvent::Wait(ulWait, m_pStopEvent, m_pWakeEvent);
        if (nWait == 0) break;
        ulNow = FUNCTIONS::GetTickCount();
        if (nWait == 1) {
            ulNextRead = ulNow;
            ulNextStatus = ulNow;
        }

        bool bGotData = false;
        if (Reached(ulNow, ulNextRead)) {
            CUSBDevice device = GetDevice();
            const unsigned int ulReadStart = FUNCTIONS::GetTickCount();
            CData data;
            if (device.Read(&data, m_hPort) == PHR_SUCCESS && data.Length() != 0) {
                Log(LOGLEVEL_TRACE, data.Buffer(), data.Length(), "-- Read(%d) [%d]",
                    base::HandleNumber(m_hPort),
                    static_cast<int>(FUNCTIONS::GetTickCount() - ulReadStart));
                SendEvent(PH_EVENT_INPUT_DATA, data);
                m_pInputEvent->Set(true);
                bGotData = true;
            }
            ReadPeriods(ulStatusPeriod, ulReadPeriod);
            ulNow = FUNCTIONS::GetTickCount();
            ulNextRead = ulNow + ulReadPeriod;
        }

        if (Reached(ulNow, ulNextStatus)) {
            DeviceStatus status = CheckStatus();
            if (status == DeviceStatus::NotReady && GetPower() != PH_POWER_NOT_READY)
                status = CheckPowerWithRead();
            // A stop request that arrived meanwhile ends the thread without a further event.
            if (m_pStopEvent->IsSet(0)) break;
            SetPower(PowerStateOf(status));
            ReadPeriods(ulStatusPeriod, ulReadPeriod);
            ulNow = FUNCTIONS::GetTickCount();
            ulNextStatus = ulNow + ulStatusPeriod;
        }

        if (bGotData) {
            ulNextRead = ulNow;
            ulWait = 0;
        } else {
            const int nToStatus = static_cast<int>(ulNextStatus - ulNow);
            const int nToRead = static_cast<int>(ulNextRead - ulNow);
            const int nNext = nToStatus < nToRead ? nToStatus : nToRead;
            ulWait = nNext <= static_cast<int>(kShortestWait) ? kShortestWait
                                                              : static_cast<unsigned int>(nNext);
        }
    }

    ClearReference();
}

void CUsbIO::JVPowerThread() {
    auto period = [this]() {
        unsigned int ulStatus, ulRead;
        ReadPeriods(ulStatus, ulRead);
        // An unconfigured display part has no period; polling without a pause would spin.
        return ulStatus < kShortestWait ? kShortestWait : ulStatus;
    };

    // A display that is not ready reports the display state, also in its first report.
    auto displayPower = [](DeviceStatus status) {
        return status == DeviceStatus::NotReady
                   ? static_cast<unsigned int>(PH_POWER_NOT_READY_DISPLAY)
                   : PowerStateOf(status);
    };

    unsigned int ulPeriod = period();
    const DeviceStatus first = CheckStatus();
    m_pStartedEvent->Set(true);
    usleep(1000);
    SetPower(displayPower(first));

    for (;;) {
        if (CEvent::Wait(ulPeriod, m_pStopEvent, m_pWakeEvent) == 0) break;
        unsigned int ulPower = displayPower(CheckStatus());
        if (ulPower == PH_POWER_NOT_READY_DISPLAY && GetPower() != PH_POWER_NOT_READY_DISPLAY) {
            const unsigned int ulEnd = FUNCTIONS::GetTickCount() + kConfirmWindow;
            while (!Reached(FUNCTIONS::GetTickCount(), ulEnd) &&
                   ulPower == PH_POWER_NOT_READY_DISPLAY) {
                if (m_pStopEvent->Wait(kConfirmStep) && m_pStopEvent->IsSet(0)) break;
                ulPower = displayPower(CheckStatus());
            }
        }
        if (m_pStopEvent->IsSet(0)) break;
        SetPower(ulPower);
        ulPeriod = period();
    }
}
