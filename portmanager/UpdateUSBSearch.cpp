// CUpdateUSB port search: where a device that no configured port names belongs. In order: the
// boot-mode table, an unbound port, the take-over of a port whose own device is absent, or a new
// port that the host creates from the port document.

#include <new>
#include <string>
#include <vector>

#include "TemplateData.h"
#include "base/Text.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/TemplateText.h"
#include "portmanager/UpdateUSB.h"
#include "property/PropertyHandler.h"

namespace {

constexpr unsigned char kAnyDeviceID = 255;

typedef std::map<std::string, _UXD_PORT*>::iterator PortIterator;

// The ports one search has noted so far; end() while none.
struct SEARCH_STATE {
    PortIterator itChosen;
    PortIterator itBest;
    std::string strBestModel;
    PortIterator itFallback;
};

// The port test. True when the port is chosen at once; otherwise it may become the best
// candidate (a later generation may take over a port of an earlier one) or the fallback (an
// unnamed port with DeviceID 0). Earlier ports win ties.
bool TestPort(PortIterator it, PortIterator itEnd, const std::string& strModel,
              unsigned char ucDeviceID, SEARCH_STATE* pState) {
    const _UXD_PORT* pPort = it->second;
    const std::string& strPortModel = pPort->strModelName;
    const unsigned char ucPortID = pPort->ucDeviceID;
    if (ucPortID == ucDeviceID || ucPortID == kAnyDeviceID || ucDeviceID == kAnyDeviceID) {
        if (strModel == strPortModel || strModel.empty() || strPortModel.empty()) {
            pState->itChosen = it;
            return true;
        }
        if (CPropertyHandler::IsValidUpdate(strPortModel.c_str(), strModel.c_str())) {
            if (pState->itBest == itEnd ||
                (strPortModel != pState->strBestModel &&
                 CPropertyHandler::IsValidUpdate(strPortModel.c_str(),
                                                 pState->strBestModel.c_str()))) {
                pState->itBest = it;
                pState->strBestModel = strPortModel;
            }
        }
    }
    if (ucPortID == 0 && pState->itFallback == itEnd && strPortModel.empty())
        pState->itFallback = it;
    return false;
}

PortIterator Outcome(const SEARCH_STATE& state, PortIterator itEnd) {
    if (state.itChosen != itEnd) return state.itChosen;
    if (state.itBest != itEnd) return state.itBest;
    return state.itFallback;
}

}  // namespace

int CUpdateUSB::ConfigureNewDevice(std::string strDeviceName, int nKind, unsigned int ulPower) {
    const int bPRT = nKind == USBKIND_PRT ? 1 : 0;
    if (UpdatePort(strDeviceName, nKind) == AttachResult::Attached) return 1;

    _UXD_PORT port;
    port.strPortName = strDeviceName;
    CData bootKey;
    if (GetDeviceInfo(strDeviceName, &port, &bootKey, bPRT, ulPower) == 0) return 0;
    if (!bootKey.IsEmpty()) {
        UpdateBootModeTable(nullptr, bootKey, nKind, port.strPortName);
        return 1;
    }
    if (FindPortToUpdate(&port, bPRT) != 0) return 1;

    if (!m_pProperties->MakePort("QX", std::string())) {
        LogMsg(LOGLEVEL_TRACE, "-- PnP MakePort () <FALSE>");
        return 0;
    }
    if (AddNewDevice(&port) == 0) return 0;
    CLock::CGuard configGuard(*m_pConfigLock);
    return UpdateConfigPorts() ? 1 : 0;
}

int CUpdateUSB::FindPortToUpdate(_UXD_PORT* pPort, int bPRT) {
    if (pPort == nullptr) return 0;
    const std::string strModel = pPort->strModelName;
    const unsigned char ucDeviceID = pPort->ucDeviceID;

    CLock::CGuard configGuard(*m_pConfigLock);
    const PortIterator itEnd = m_mapConfigPorts.end();
    SEARCH_STATE state = {itEnd, itEnd, std::string(), itEnd};
    PortIterator itFound = itEnd;

    if (m_nUnboundPorts != 0) {
        for (PortIterator it = m_mapConfigPorts.begin(); it != itEnd; ++it) {
            if (!it->second->strPortName.empty()) continue;
            if (TestPort(it, itEnd, strModel, ucDeviceID, &state)) break;
        }
        itFound = Outcome(state, itEnd);
        if (itFound != itEnd) --m_nUnboundPorts;
    }

    if (itFound == itEnd) {
        state = {itEnd, itEnd, std::string(), itEnd};
        std::map<std::string, int> mapAttached;
        CUSBDevice::zph_usb_enum(mapAttached);
        for (PortIterator it = m_mapConfigPorts.begin(); it != itEnd; ++it) {
            std::string& strBound = it->second->strPortName;
            if (strBound.empty()) continue;
            // Names in memory are kept in upper case, as enumeration reports them; a port
            // loaded since the last re-attach walk may still hold the configured spelling.
            strBound = base::ToUpper(strBound);
            if (IsSLNExist(mapAttached, strBound)) {
                LogMsg(LOGLEVEL_TRACE, "FindPortUpdate is SLn exist %s", strBound.c_str());
                continue;
            }
            if (TestPort(it, itEnd, strModel, ucDeviceID, &state)) break;
        }
        itFound = Outcome(state, itEnd);
    }

    if (itFound == itEnd) return 0;
    return UpdateSelectedPort(&itFound, pPort, bPRT);
}

int CUpdateUSB::UpdateSelectedPort(std::map<std::string, _UXD_PORT*>::iterator* pIt,
                                   _UXD_PORT* pPort, int bPRT) {
    // The caller holds m_pConfigLock.
    _UXD_PORT* pChosen = (*pIt)->second;
    const std::string& strDeviceName = pPort->strPortName;
    if (bPRT) {
        if (pChosen->infoQX.bOpened && ReopenPort(&pChosen->infoQX, strDeviceName, USBKIND_PRT) ==
                                           ReopenResult::PartDisconnected)
            return 0;
        pChosen->strPortName = strDeviceName;
        pChosen->infoQX.strModelName = pPort->infoQX.strModelName;
        pChosen->infoQX.bPrinterClass = 1;
        m_pProperties->SetString(pChosen->infoQX.strPath + "/PortName", strDeviceName);
        m_pProperties->SetNumber(pChosen->infoQX.strPath + "/DeviceClass", 1);
        return 1;
    }

    bool bDisplay = false;
    if (pChosen->infoQX.bOpened) {
        if (ReopenPort(&pChosen->infoQX, strDeviceName, USBKIND_QX) ==
            ReopenResult::PartDisconnected)
            return 0;
        CLock::CGuard deviceGuard(*m_pDeviceLock);
        auto it = m_mapDevices.find(pChosen->infoQX.hPort);
        bDisplay = it != m_mapDevices.end() && it->second.GetContext() != nullptr &&
                   it->second.GetContext()->ucDisplay != 0;
    }
    if (pChosen->infoJV.bConfigured && bDisplay && pChosen->infoJV.bOpened &&
        ReopenPort(&pChosen->infoJV, strDeviceName, USBKIND_JV) == ReopenResult::PartDisconnected)
        return 0;
    pChosen->strPortName = strDeviceName;
    pChosen->infoQX.strModelName = pPort->infoQX.strModelName;
    m_pProperties->SetString(pChosen->infoQX.strPath + "/PortName", strDeviceName);
    if (pChosen->infoJV.bConfigured)
        m_pProperties->SetString(pChosen->infoJV.strPath + "/PortName", strDeviceName);
    m_pProperties->SetNumber(pChosen->infoQX.strPath + "/DeviceClass", 0);
    return 1;
}

int CUpdateUSB::AddNewDevice(_UXD_PORT* pPort) {
    if (pPort == nullptr) return 0;
    std::string strDocument;
    try {
        // Device name and model come from the device: escaped, so that no answer can break or
        // extend the document the host parses.
        const std::string strModel = CTemplateText::Escape(pPort->infoQX.strModelName);
        strDocument =
            CTemplateText::Fill(LoadResource(UsbPnpAddPort_xml, UsbPnpAddPort_xml_len),
                                {CTemplateText::Escape(pPort->strPortName), strModel,
                                 std::to_string(static_cast<int>(pPort->ucDeviceID)), strModel});
    } catch (const std::bad_alloc&) {
        return 0;
    }
    return m_pProperties->MakePort("QX", strDocument) ? 1 : 0;
}
