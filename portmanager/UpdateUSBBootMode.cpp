// CUpdateUSB boot-mode table: devices that showed up in boot mode, and ports that claimed them.
#include <stdint.h>
#include <string.h>

#include "component/PortHandler.h"
#include "log/Log.h"
#include "portmanager/UpdateUSB.h"

namespace {

bool SameKey(const CData& a, const CData& b)
{
    return a.Length() == b.Length() && (a.Length() == 0 || memcmp(a.Buffer(), b.Buffer(), a.Length()) == 0);
}

int HandleText(void* hPort) { return static_cast<int>(reinterpret_cast<intptr_t>(hPort)); }

}  // namespace

int CUpdateUSB::UpdateBootModeTable(void* hPort, CData key, int nKind, std::string strDeviceName)
{
    CLock::CGuard bootGuard(m_lockBootMode);
    for (auto it = m_listBootMode.begin(); it != m_listBootMode.end();) {
        CBootMode* pEntry = *it;
        if (!SameKey(pEntry->dataKey, key)) {
            ++it;
            continue;
        }
        if (pEntry->hPort != nullptr && hPort == nullptr) {
            // The claimed device showed up again in boot mode.
            int nPower = PH_POWER_UNAVAILABLE;
            {
                CLock::CGuard openGuard(*m_pOpenLock);
                auto itOpen = m_mapOpenPorts.find(pEntry->hPort);
                if (itOpen != m_mapOpenPorts.end() && itOpen->second != nullptr)
                    nPower = itOpen->second->GetPower();
            }
            if (nPower != PH_POWER_UNAVAILABLE) {
                ++it;
                continue;
            }
            CUSBDevice device;
            unsigned int ulResult;
            {
                CLock::CGuard deviceGuard(*m_pDeviceLock);
                bool bFound = false;
                for (auto& entry : m_mapDevices) {
                    if (entry.second.GetDeviceName() == strDeviceName) {
                        device = CUSBDevice(entry.second, nKind);
                        bFound = true;
                        break;
                    }
                }
                if (!bFound)
                    device = CUSBDevice(strDeviceName, nKind);
                ulResult = OpenDevice(device);
            }
            if (ulResult != PHR_SUCCESS) {
                LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) failed %s", 0, strDeviceName.c_str());
                return 0;
            }
            {
                CUSBDevice current = GetUSBDevice(pEntry->hPort);
                if (current.GetStatus() != 2)
                    CloseUSBDevice(pEntry->hPort);
            }
            pEntry->nKind = nKind;
            pEntry->strDeviceName = strDeviceName;
            LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s", 0, pEntry->strDeviceName.c_str());
            CLock::CGuard deviceGuard(*m_pDeviceLock);
            m_mapDevices.emplace(pEntry->hPort, device);
            return 0;
        }
        if (pEntry->hPort == nullptr && hPort != nullptr) {
            // A port claims a device recorded in boot mode.
            CLock::CGuard deviceGuard(*m_pDeviceLock);
            CUSBDevice device;
            bool bFound = false;
            for (auto& entry : m_mapDevices) {
                if (entry.second.GetDeviceName() == pEntry->strDeviceName) {
                    device = CUSBDevice(entry.second, pEntry->nKind);
                    bFound = true;
                    break;
                }
            }
            if (!bFound)
                device = CUSBDevice(pEntry->strDeviceName, pEntry->nKind);
            if (OpenDevice(device) != PHR_SUCCESS) {
                it = m_listBootMode.erase(it);
                delete pEntry;
                continue;
            }
            pEntry->hPort = hPort;
            LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s", HandleText(hPort), pEntry->strDeviceName.c_str());
            m_mapDevices.emplace(hPort, device);
            return 0;
        }
        ++it;
    }
    CBootMode* pNew = new CBootMode();
    pNew->hPort = hPort;
    pNew->dataKey = key;
    pNew->strDeviceName = strDeviceName;
    pNew->nKind = nKind;
    m_listBootMode.push_back(pNew);
    return 0;
}
