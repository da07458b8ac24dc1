// CUpdateUSB model identification: the power queries and the identification exchange that the
// plug-and-play thread runs for a device that no configured port names.
#include <string.h>
#include <unistd.h>

#include <string>

#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/IdentifyAnswer.h"
#include "portmanager/UpdateUSB.h"
#include "threads/Functions.h"

namespace {

constexpr unsigned int kReceiveSize = 1024;
constexpr unsigned int kAnswerWindow = 2000;  // ms
constexpr unsigned int kModelSize = 256;

const unsigned char kOnlineRequest[] = {0x10, 0x14, 0x12, 0x00, 0x03, 0x1D,
                                        0x49, 0x43, 0x1D, 0x49, 0x31};
const unsigned char kOfflineRequest[] = {0x10, 0x14, 0x12, 0x00, 0x03,
                                         0x10, 0x14, 0x12, 0x00, 0x00};

bool Passed(unsigned int ulDeadline) {
    return static_cast<int>(FUNCTIONS::GetTickCount() - ulDeadline) > 0;
}

// Discards what the device sent before the request. A device that never stops sending would
// hold the plug-and-play thread here for good, so the drain gets the answer window as its limit.
void DrainInput(CUSBDevice* pDevice) {
    const unsigned int ulDeadline = FUNCTIONS::GetTickCount() + kAnswerWindow;
    for (;;) {
        CData data;
        if (pDevice->Read(&data, pDevice->GetContext()) != PHR_SUCCESS || data.Length() == 0)
            return;
        usleep(5000);
        if (Passed(ulDeadline)) return;
    }
}

bool SendRequest(CUSBDevice* pDevice, const unsigned char* pRequest, unsigned int ulLength) {
    unsigned int ulWritten = 0;
    return pDevice->Write(const_cast<unsigned char*>(pRequest), ulLength, &ulWritten,
                          pDevice->GetContext()) == PHR_SUCCESS &&
           ulWritten == ulLength;
}

// Reads the answer for up to the answer window, parsing everything received after every read.
// Returns the parser's outcome; NONE also when a read fails, the window passes or the receive
// buffer fills without an answer.
template <class Parse>
CIdentifyAnswer::Outcome ReceiveAnswer(CUSBDevice* pDevice, Parse parse) {
    unsigned char aucReceived[kReceiveSize] = {};
    unsigned int ulReceived = 0;
    const unsigned int ulDeadline = FUNCTIONS::GetTickCount() + kAnswerWindow;
    CIdentifyAnswer::Outcome outcome = CIdentifyAnswer::NONE;
    while (outcome == CIdentifyAnswer::NONE && ulReceived < kReceiveSize && !Passed(ulDeadline)) {
        CData data;
        if (pDevice->Read(&data, pDevice->GetContext()) != PHR_SUCCESS)
            return CIdentifyAnswer::NONE;
        if (data.Length() == 0) {
            usleep(10000);
            continue;
        }
        Log(LOGLEVEL_TRACE, data.Buffer(), data.Length(), "-- PnP Read()");
        unsigned int ulTake = data.Length();
        if (ulTake > kReceiveSize - ulReceived) ulTake = kReceiveSize - ulReceived;
        memcpy(aucReceived + ulReceived, data.Buffer(), ulTake);
        ulReceived += ulTake;
        outcome = parse(aucReceived, ulReceived);
    }
    return outcome;
}

}  // namespace

CUSBDevice CUpdateUSB::DeviceForName(const std::string& strDeviceName, int nKind) {
    for (auto& entry : m_mapDevices)
        if (entry.second.GetDeviceName() == strDeviceName) return CUSBDevice(entry.second, nKind);
    return CUSBDevice(strDeviceName, nKind);
}

int CUpdateUSB::GetPowerQXState(std::string strDeviceName) {
    CUSBDevice device;
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        device = DeviceForName(strDeviceName, USBKIND_QX);
    }
    int nPower = static_cast<int>(PHR_DEVICE_NOT_AVAILABLE);
    if (device.Open() == PHR_SUCCESS) {
        unsigned char aucStatus[2] = {0, 0};
        if (device.Ioctl(USBDEV_GET_STATUS, nullptr, 0, aucStatus, sizeof(aucStatus), nullptr) ==
            PHR_SUCCESS)
            nPower = aucStatus[0] & 1;
    }
    device.ClearReference();
    return nPower;
}

int CUpdateUSB::GetPowerPRTState(std::string strDeviceName) {
    CUSBDevice device;
    unsigned int ulOpen;
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        device = DeviceForName(strDeviceName, USBKIND_PRT);
        ulOpen = OpenDevice(device);
    }
    int nPower = PH_POWER_UNAVAILABLE;
    if (ulOpen == PHR_SUCCESS) {
        unsigned char aucStatus[2] = {0, 0};
        if (device.Ioctl(USBDEV_GET_STATUS, nullptr, 0, aucStatus, sizeof(aucStatus), nullptr) ==
            PHR_SUCCESS)
            nPower = aucStatus[0] & 1;
        else
            nPower = static_cast<int>(PHR_DEVICE_NOT_AVAILABLE);
    }
    device.ClearReference();
    return nPower;
}

int CUpdateUSB::GetDeviceInfo(std::string strDeviceName, _UXD_PORT* pPort, CData* pBootKey,
                              int bPRT, unsigned int ulPower) {
    if (pPort == nullptr) return 0;
    CUSBDevice device;
    {
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        device = DeviceForName(strDeviceName, bPRT ? USBKIND_PRT : USBKIND_QX);
        if (OpenDevice(device) != PHR_SUCCESS) return 0;
    }
    char szModel[kModelSize] = {};
    char cDeviceID = static_cast<char>(0xFF);
    const int nFound =
        ulPower != 0
            ? OfflineGetPrinterModelName(&device, szModel, sizeof(szModel), &cDeviceID, bPRT)
            : GetPrinterModelName(&device, szModel, sizeof(szModel), &cDeviceID, pBootKey);
    device.ClearReference();
    if (!nFound) return 0;
    pPort->ucDeviceID = static_cast<unsigned char>(cDeviceID);
    pPort->strModelName = szModel;
    pPort->infoQX.strModelName = szModel;
    return 1;
}

int CUpdateUSB::GetPrinterModelName(CUSBDevice* pDevice, char* pszModel, unsigned int ulSize,
                                    char* pDeviceID, CData* pBootKey) {
    if (pDevice == nullptr || pszModel == nullptr || pDeviceID == nullptr || ulSize == 0) return 0;
    *pDeviceID = static_cast<char>(0xFF);
    memset(pszModel, 0, ulSize);
    DrainInput(pDevice);
    if (!SendRequest(pDevice, kOnlineRequest, sizeof(kOnlineRequest))) return 0;

    unsigned char ucDeviceID = 0xFF;
    std::string strKey;
    bool bKey = false;
    const CIdentifyAnswer::Outcome outcome =
        ReceiveAnswer(pDevice, [&](const unsigned char* pData, unsigned int ulLength) {
            return CIdentifyAnswer::ParseOnline(pData, ulLength, pszModel, ulSize, &ucDeviceID,
                                                &strKey, &bKey);
        });
    if (outcome == CIdentifyAnswer::NONE) return 0;
    if (bKey && pBootKey != nullptr)
        *pBootKey = CData(reinterpret_cast<const unsigned char*>(strKey.data()),
                          static_cast<unsigned int>(strKey.size()));
    *pDeviceID = static_cast<char>(ucDeviceID);
    if (outcome == CIdentifyAnswer::DEVICE_ID)
        LogMsg(LOGLEVEL_TRACE, "-- PnP DeviceID = %d, ModelName = '%s'",
               static_cast<int>(ucDeviceID), pszModel);
    return 1;
}

int CUpdateUSB::OfflineGetPrinterModelName(CUSBDevice* pDevice, char* pszModel, unsigned int ulSize,
                                           char* pDeviceID, int bPRT) {
    if (pDevice == nullptr || pszModel == nullptr || pDeviceID == nullptr || ulSize == 0) return 0;
    if (!bPRT) {
        unsigned char aucCapability[2] = {0, 0};
        if (pDevice->Ioctl(USBDEV_GET_CAPABILITY, nullptr, 0, aucCapability, sizeof(aucCapability),
                           nullptr) != PHR_SUCCESS ||
            (aucCapability[0] & 0x02) == 0)
            return 0;
    }
    unsigned short usFlow = static_cast<unsigned short>(PH_FLOW_CONTROL_FORCE);
    if (pDevice->Ioctl(USBDEV_SET_FLOW, &usFlow, sizeof(usFlow), nullptr, 0, nullptr) !=
        PHR_SUCCESS)
        return 0;

    *pDeviceID = static_cast<char>(0xFF);
    memset(pszModel, 0, ulSize);
    DrainInput(pDevice);
    if (!SendRequest(pDevice, kOfflineRequest, sizeof(kOfflineRequest))) return 0;

    unsigned char ucDeviceID = 0xFF;
    const CIdentifyAnswer::Outcome outcome =
        ReceiveAnswer(pDevice, [&](const unsigned char* pData, unsigned int ulLength) {
            return CIdentifyAnswer::ParseOffline(pData, ulLength, pszModel, ulSize, &ucDeviceID);
        });
    if (outcome != CIdentifyAnswer::DEVICE_ID) return 0;
    *pDeviceID = static_cast<char>(ucDeviceID);
    LogMsg(LOGLEVEL_TRACE, "-- PnP DeviceID = %d, ModelName = '%s'",
           static_cast<int>(static_cast<signed char>(ucDeviceID)), pszModel);
    return 1;
}
