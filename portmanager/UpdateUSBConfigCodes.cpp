// CUpdateUSB component-level configuration codes: adding and deleting configured ports, and the
// UI documents of the host's port settings dialog, built from the templates embedded at build time.
#include <stdint.h>
#include <string.h>

#include <new>
#include <string>
#include <vector>

#include "TemplateData.h"
#include "contract/PHString.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/TemplateText.h"
#include "portmanager/UpdateUSB.h"
#include "property/PropertyHandler.h"

namespace {

const char kPowerValuesQX[] = "ON - OFFLINE - OFF";
const char kPowerValuesJV[] = "ON - OFF/OFFLINE - OFF";

int IsWide(unsigned int ulCode) { return (ulCode & PH_UCS2_STRINGS) != 0 ? 1 : 0; }

// The in-data of the UI code is read as 8-bit text whatever the flag says: up to its first zero
// byte, and never past its end.
std::string NarrowText(const CData& in) {
    const unsigned char* p = in.Buffer();
    const unsigned int ulLength = in.Length();
    if (p == nullptr || ulLength == 0) return std::string();
    const void* pZero = memchr(p, 0, ulLength);
    const size_t ulCount = pZero != nullptr
                               ? static_cast<size_t>(static_cast<const unsigned char*>(pZero) - p)
                               : ulLength;
    return std::string(reinterpret_cast<const char*>(p), ulCount);
}

}  // namespace

unsigned int CUpdateUSB::ConfigAddPort(CData in, unsigned int ulCode) {
    const std::string strRequest = CPHString::ExtractString(in, IsWide(ulCode));
    const std::vector<std::string> vecPieces = CPropertyHandler::Split(strRequest);
    if (vecPieces.size() != 2) {
        LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_CONFIGURATION>");
        return PHR_INVALID_CONFIGURATION;
    }
    const std::string& strKind = vecPieces[0];
    const std::string& strName = vecPieces[1];
    const char* pszPowerValues;
    if (strKind == "QX") {
        // Filled before it enters the table, so the host is not called under the lock.
        _UXD_PORT* pPort = new (std::nothrow) _UXD_PORT();
        if (pPort == nullptr) return PHR_ALLOCATION_ERROR;
        if (!GetPortProperties("/QX/" + strName + "/", pPort)) {
            delete pPort;
            LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_PARAMETER>");
            return PHR_INVALID_PARAMETER;
        }
        pPort->infoJV.strPath = "/JV/" + strName + "/";
        pPort->infoJV.bConfigured = 0;
        {
            CLock::CGuard configGuard(*m_pConfigLock);
            // A name configured already keeps its record, open state included.
            if (!m_mapConfigPorts.emplace(strName, pPort).second) delete pPort;
        }
        pszPowerValues = kPowerValuesQX;
    } else {
        CLock::CGuard configGuard(*m_pConfigLock);
        auto it = m_mapConfigPorts.find(strName);
        if (it == m_mapConfigPorts.end() || it->second == nullptr ||
            !GetPortProperties(it->second->infoJV.strPath, it->second)) {
            LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_ADD_PORT) <PHR_INVALID_PARAMETER>");
            return PHR_INVALID_PARAMETER;
        }
        it->second->infoJV.bConfigured = 1;
        pszPowerValues = kPowerValuesJV;
    }
    m_pProperties->SetString(strRequest + "/PowerValues", pszPowerValues);
    LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_ADD_PORT, %s) <PHR_SUCCESS>",
           strRequest.c_str());
    return PHR_SUCCESS;
}

unsigned int CUpdateUSB::ConfigDeletePort(CData in, unsigned int ulCode) {
    const std::string strRequest = CPHString::ExtractString(in, IsWide(ulCode));
    const std::vector<std::string> vecPieces = CPropertyHandler::Split(strRequest);
    if (vecPieces.size() != 2) {
        LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_CONFIGURATION>");
        return PHR_INVALID_CONFIGURATION;
    }
    const std::string& strKind = vecPieces[0];
    const std::string& strName = vecPieces[1];

    CLock::CGuard configGuard(*m_pConfigLock);
    auto it = m_mapConfigPorts.find(strName);
    const bool bFound = it != m_mapConfigPorts.end() && it->second != nullptr;
    if (strKind != "QX") {
        if (bFound && it->second->infoJV.bConfigured) {
            it->second->infoJV.bConfigured = 0;
            LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_SUCCESS>");
            return PHR_SUCCESS;
        }
        LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_PARAMETER>");
        return PHR_INVALID_PARAMETER;
    }
    if (!bFound) {
        LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_INVALID_PARAMETER>");
        return PHR_INVALID_PARAMETER;
    }
    if (it->second->infoJV.bConfigured) {
        LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_PERMISSION_ERROR>");
        return PHR_PERMISSION_ERROR;
    }
    // Open connections keep their own copy of the part; nothing else holds the record.
    delete it->second;
    m_mapConfigPorts.erase(it);
    LogMsg(LOGLEVEL_TRACE, "-- Ioctl(USB, PH_CONFIG_DELETE_PORT) <PHR_SUCCESS>");
    return PHR_SUCCESS;
}

unsigned int CUpdateUSB::GetConfigUI(CData in, unsigned int ulCode, CData* pOut) {
    try {
        const std::string strRequest = NarrowText(in);
        const std::vector<std::string> vecPieces = CPropertyHandler::Split(strRequest);
        if (vecPieces.empty() || vecPieces.size() > 2 || pOut == nullptr) {
            LogMsg(LOGLEVEL_TRACE,
                   "-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_INVALID_PARAMETER>");
            return PHR_INVALID_PARAMETER;
        }
        std::string strTemplate;
        std::string strFill;
        if (vecPieces.size() == 2) {
            strTemplate = vecPieces[0] == "JV"
                              ? LoadResource(UsbJvModConfig_xml, UsbJvModConfig_xml_len)
                              : LoadResource(UsbQxModConfig_xml, UsbQxModConfig_xml_len);
            strFill = CTemplateText::Escape(strRequest);
        } else {
            if (vecPieces[0] != "JV") {
                LogMsg(LOGLEVEL_TRACE,
                       "-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_NOT_SUPPORTED> : Can not "
                       "add USB port via UI XML");
                return PHR_NOT_SUPPORTED;
            }
            strTemplate = LoadResource(UsbJvAddConfig_xml, UsbJvAddConfig_xml_len);
            const std::string strWithDevice =
                LoadResource(XMLWithDevice_xml, XMLWithDevice_xml_len);
            const std::string strWithOutDevice =
                LoadResource(XMLWithOutDevice_xml, XMLWithOutDevice_xml_len);
            CLock::CGuard configGuard(*m_pConfigLock);
            for (const auto& entry : m_mapConfigPorts) {
                const _UXD_PORT* pPort = entry.second;
                if (pPort == nullptr || pPort->infoJV.bConfigured) continue;
                // The host answers one of the two; a value under Id.IsKorvo replaces the model.
                std::string strModel;
                m_pProperties->GetString(pPort->infoQX.strPath + "/ModelName", &strModel);
                m_pProperties->GetString(pPort->infoQX.strPath + "/Id.IsKorvo", &strModel);
                const std::string strName = CTemplateText::Escape(entry.first);
                std::vector<std::string> vecValues{CTemplateText::Escape(pPort->infoJV.strPath)};
                if (!strModel.empty()) {
                    const std::string strModelText = CTemplateText::Escape(strModel);
                    for (int n = 0; n < 4; ++n) {
                        vecValues.push_back(strName);
                        vecValues.push_back(strModelText);
                    }
                } else {
                    vecValues.insert(vecValues.end(), 4, strName);
                }
                vecValues.push_back(CTemplateText::Escape(pPort->strPortName));
                vecValues.push_back(CTemplateText::Escape(pPort->strModelName));
                strFill += CTemplateText::Fill(strModel.empty() ? strWithOutDevice : strWithDevice,
                                               vecValues);
            }
            if (strFill.empty()) {
                *pOut = CPHString::PackString(std::string(), ulCode);
                LogMsg(LOGLEVEL_TRACE,
                       "-- Ioctl(USB, PH_CONFIG_GET_COMPONENT_UI) <PHR_PERMISSION_ERROR>");
                return PHR_PERMISSION_ERROR;
            }
        }
        const CData document =
            CPHString::PackString(CTemplateText::Fill(strTemplate, {strFill}), ulCode);
        if (document.IsEmpty()) return PHR_ALLOCATION_ERROR;
        *pOut = document;
        return PHR_SUCCESS;
    } catch (const std::bad_alloc&) {
        return PHR_ALLOCATION_ERROR;
    }
}

std::string CUpdateUSB::LoadResource(unsigned char* pTemplate, int nLength) {
    if (pTemplate == nullptr || nLength <= 0) return std::string();
    const void* pEnd = memchr(pTemplate, 0, static_cast<size_t>(nLength));
    const size_t ulCount =
        pEnd != nullptr ? static_cast<size_t>(static_cast<const unsigned char*>(pEnd) - pTemplate)
                        : static_cast<size_t>(nLength);
    try {
        return std::string(reinterpret_cast<const char*>(pTemplate), ulCount);
    } catch (const std::bad_alloc&) {
        return std::string();
    }
}
