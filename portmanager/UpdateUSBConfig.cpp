// CUpdateUSB port configuration: the configured-port records from the host's property tree.
#include <stdint.h>

#include <list>

#include "base/Text.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/UpdateUSB.h"

namespace {

constexpr unsigned int kMinOfflineTimeout = 50;
constexpr unsigned int kMinStatusPto = 100;
constexpr unsigned int kWriteTimeout = 5000;
constexpr unsigned char kNoDeviceID = 255;

bool IsPrinterPartPath(const std::string& strPath) { return strPath.compare(0, 4, "/QX/") == 0; }

}  // namespace

bool CUpdateUSB::GetPortProperties(std::string strPath, _UXD_PORT* pPort) {
    if (pPort == nullptr) return false;
    std::string strType;
    if (!m_pProperties->GetString(strPath + "/PortType", &strType) || strType != "USB")
        return false;

    // Only the leading segment tells the parts apart: a port name may itself contain "QX".
    const bool bPrinterPart = IsPrinterPartPath(strPath);
    _PORT_INFO& info = bPrinterPart ? pPort->infoQX : pPort->infoJV;
    if (bPrinterPart) {
        pPort->strPortName.clear();
        m_pProperties->GetString(strPath + "/PortName", &pPort->strPortName);
        pPort->strModelName.clear();
        m_pProperties->GetString(strPath + "/ModelName", &pPort->strModelName);
        pPort->ucDeviceID = kNoDeviceID;
        unsigned int ulDeviceID = 0;
        if (m_pProperties->GetNumber(strPath + "/DeviceID", &ulDeviceID))
            pPort->ucDeviceID = static_cast<unsigned char>(ulDeviceID & 0xFF);
    }

    info.strModelName.clear();
    m_pProperties->GetString(strPath + "/Id.ModelName", &info.strModelName);

    info.ulOfflineTimeout = kMinOfflineTimeout;
    if (m_pProperties->GetNumber(strPath + "/OfflineTimeout", &info.ulOfflineTimeout) &&
        info.ulOfflineTimeout < kMinOfflineTimeout)
        info.ulOfflineTimeout = kMinOfflineTimeout;

    info.ulStatusPto = kMinStatusPto;
    if (m_pProperties->GetNumber(strPath + "/StatusPto", &info.ulStatusPto) &&
        info.ulStatusPto < kMinStatusPto)
        info.ulStatusPto = kMinStatusPto;

    info.ulWriteTimeout = kWriteTimeout;
    info.bPrinterClass = 0;
    unsigned int ulClass = 0;
    if (m_pProperties->GetNumber(strPath + "/DeviceClass", &ulClass))
        info.bPrinterClass = ulClass != 0 ? 1 : 0;

    info.strPath = strPath;
    info.bConfigured = 1;
    return true;
}

int CUpdateUSB::InitConfigPorts() {
    std::list<std::string> listNames;
    if (!m_pProperties->GetChildren("/QX/", listNames)) return 1;
    CLock::CGuard configGuard(*m_pConfigLock);
    for (const std::string& strName : listNames) {
        _UXD_PORT* pPort = new _UXD_PORT();
        if (!GetPortProperties("/QX/" + strName + "/", pPort)) {
            delete pPort;
            continue;
        }
        pPort->infoJV.strPath = "/JV/" + strName + "/";
        if (GetPortProperties(pPort->infoJV.strPath, pPort)) pPort->infoJV.bConfigured = 1;
        if (!m_mapConfigPorts.emplace(strName, pPort).second) delete pPort;
    }
    return 1;
}

bool CUpdateUSB::UpdateConfigPorts() {
    std::list<std::string> listNames;
    if (!m_pProperties->GetChildren("/QX/", listNames)) {
        LogMsg(LOGLEVEL_TRACE, "-- CUpdateUSB::UpdateConfigPorts ");
        return false;
    }
    CLock::CGuard configGuard(*m_pConfigLock);
    for (const std::string& strName : listNames) {
        if (m_mapConfigPorts.count(strName) != 0) continue;
        _UXD_PORT* pPort = new _UXD_PORT();
        if (!GetPortProperties("/QX/" + strName + "/", pPort)) {
            delete pPort;
            continue;
        }
        pPort->infoJV.strPath = "/JV/" + strName + "/";
        if (GetPortProperties(pPort->infoJV.strPath, pPort)) pPort->infoJV.bConfigured = 1;
        if (!m_mapConfigPorts.emplace(strName, pPort).second) delete pPort;
    }
    return true;
}

unsigned int CUpdateUSB::HandleConfigChange(CUsbIO* pUsbIO, void* hPort) {
    const int nHandle = base::HandleNumber(hPort);
    unsigned int ulOffline, ulStatus;
    {
        CLock::CGuard configGuard(*m_pConfigLock);
        _PORT_INFO* pInfo = nullptr;
        bool bPrinterPart = false;
        for (auto& entry : m_mapConfigPorts) {
            if (entry.second->infoQX.hPort == hPort) {
                pInfo = &entry.second->infoQX;
                bPrinterPart = true;
                break;
            }
            if (entry.second->infoJV.hPort == hPort) {
                pInfo = &entry.second->infoJV;
                break;
            }
        }
        if (pInfo == nullptr) {
            LogMsg(LOGLEVEL_TRACE, "-- IoCtl(%d, PH_CONFIG_CHANGED) <PHR_INVALID_PARAMETER>",
                   nHandle);
            return PHR_INVALID_PARAMETER;
        }
        unsigned int ulValue = 0;
        if (!m_pProperties->GetNumber(pInfo->strPath + "//StatusPto", &ulValue)) {
            LogMsg(LOGLEVEL_TRACE,
                   "-- IoCtl(%d, PH_CONFIG_CHANGED) <PHR_INVALID_PARAMETER> : Failed to read "
                   "property.",
                   nHandle);
            return PHR_INVALID_PARAMETER;
        }
        pInfo->ulStatusPto = ulValue;
        if (bPrinterPart) {
            if (!m_pProperties->GetNumber(pInfo->strPath + "//OfflineTimeout", &ulValue)) {
                LogMsg(LOGLEVEL_TRACE,
                       "-- IoCtl(%d, PH_CONFIG_CHANGED) <PHR_INVALID_PARAMETER> : Failed to read "
                       "property.",
                       nHandle);
                return PHR_INVALID_PARAMETER;
            }
            pInfo->ulOfflineTimeout = ulValue;
        }
        ulOffline = pInfo->ulOfflineTimeout;
        ulStatus = pInfo->ulStatusPto;
    }
    if (pUsbIO != nullptr) pUsbIO->SetPortProp(ulOffline, ulStatus);
    LogMsg(LOGLEVEL_TRACE, "-- IoCtl(%d, PH_CONFIG_CHANGED) <PHR_SUCCESS>", nHandle);
    return PHR_SUCCESS;
}
