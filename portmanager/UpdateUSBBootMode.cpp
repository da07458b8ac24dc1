// CUpdateUSB boot-mode table: devices that showed up in boot mode, and ports that claimed them.
//
// Locking. The table is guarded by m_lockBootMode, the last lock in the order. The operation
// needs m_pDeviceLock and m_pOpenLock while it walks the table, so it takes the two first and
// in order (m_pDeviceLock, m_pOpenLock, m_lockBootMode) and keeps all three for its whole length.
// Taking m_lockBootMode first and the others inside it, as the walk would suggest, inverts the
// order that ExitInstance and OpenPort follow: a host thread claiming a key while the component
// unloads could then deadlock against ExitInstance. With one order there is no such pair; the
// cost is that Open, Write look-ups and the monitoring threads wait while a boot-mode device is
// being opened, which is rare and short.
#include <stdint.h>
#include <string.h>

#include <new>

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
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    CLock::CGuard openGuard(*m_pOpenLock);
    CLock::CGuard bootGuard(m_lockBootMode);
    for (auto it = m_listBootMode.begin(); it != m_listBootMode.end();) {
        CBootMode* pEntry = *it;
        if (!SameKey(pEntry->dataKey, key)) {
            ++it;
            continue;
        }
        if (pEntry->hPort != nullptr && hPort == nullptr) {
            // The claimed device showed up again in boot mode: it takes over the port only while
            // the port's own device is unavailable.
            int nPower = PH_POWER_UNAVAILABLE;
            auto itOpen = m_mapOpenPorts.find(pEntry->hPort);
            if (itOpen != m_mapOpenPorts.end() && itOpen->second != nullptr)
                nPower = itOpen->second->GetPower();
            if (nPower != PH_POWER_UNAVAILABLE) {
                ++it;
                continue;
            }
            CUSBDevice device = DeviceForName(strDeviceName, nKind);
            if (OpenDevice(device) != PHR_SUCCESS) {
                LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) failed %s", 0, strDeviceName.c_str());
                return 0;
            }
            {
                // A binding left over from the port's own, now unavailable device would keep the
                // insertion below from taking place; a live binding is never replaced.
                CUSBDevice current = GetUSBDevice(pEntry->hPort);
                if (current.GetStatus() == PH_POWER_UNAVAILABLE)
                    CloseUSBDevice(pEntry->hPort);
            }
            pEntry->nKind = nKind;
            pEntry->strDeviceName = strDeviceName;
            LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s", 0, pEntry->strDeviceName.c_str());
            m_mapDevices.emplace(pEntry->hPort, device);
            return 0;
        }
        if (pEntry->hPort == nullptr && hPort != nullptr) {
            // A port claims a device that showed up in boot mode before.
            CUSBDevice device = DeviceForName(pEntry->strDeviceName, pEntry->nKind);
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
    CBootMode* pNew = new (std::nothrow) CBootMode();
    if (pNew == nullptr)
        return 0;
    pNew->hPort = hPort;
    pNew->dataKey = key;
    pNew->strDeviceName = strDeviceName;
    pNew->nKind = nKind;
    m_listBootMode.push_back(pNew);
    return 0;
}

std::list<CBootMode> CUpdateUSB::GetBootModeTable()
{
    CLock::CGuard bootGuard(m_lockBootMode);
    std::list<CBootMode> listCopy;
    for (const CBootMode* pEntry : m_listBootMode)
        listCopy.push_back(*pEntry);
    return listCopy;
}
