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

#include "base/Text.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "portmanager/UpdateUSB.h"

namespace {

bool SameKey(const CData& a, const CData& b) {
    return a.Length() == b.Length() &&
           (a.Length() == 0 || memcmp(a.Buffer(), b.Buffer(), a.Length()) == 0);
}

}  // namespace

unsigned int CUpdateUSB::UpdateBootModeTable(void* hPort, CData key, int nKind,
                                             std::string strDeviceName) {
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
            // the port's own device is unavailable. A claim whose port is being closed has
            // nobody left to serve: a device bound to its handle would stay open for nobody.
            auto itOpen = m_mapOpenPorts.find(pEntry->hPort);
            if (itOpen == m_mapOpenPorts.end() || itOpen->second == nullptr ||
                itOpen->second->GetPower() != PH_POWER_UNAVAILABLE) {
                ++it;
                continue;
            }
            {
                // The power state may be older than the binding: a device that took the port
                // over since serves the handle, and is not replaced behind the host's back.
                CUSBDevice current = GetUSBDevice(pEntry->hPort);
                if (current.GetDeviceName() == strDeviceName && current.GetContext() != nullptr) {
                    ++it;  // attached already; the port has not looked since
                    continue;
                }
                if (current.GetStatus() != DeviceStatus::Unavailable) {
                    LogMsg(LOGLEVEL_TRACE,
                           "-- BOOT MODE Open(%d) failed %s : Port %d is served by %s", 0,
                           strDeviceName.c_str(), base::HandleNumber(pEntry->hPort),
                           current.GetDeviceName().c_str());
                    ++it;
                    continue;
                }
            }
            CUSBDevice device = DeviceForName(strDeviceName, nKind);
            if (OpenDevice(device) != PHR_SUCCESS) {
                LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) failed %s", 0, strDeviceName.c_str());
                return PHR_SUCCESS;
            }
            pEntry->nKind = nKind;
            pEntry->strDeviceName = strDeviceName;
            Bind(pEntry->hPort, device);
            LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s", 0, pEntry->strDeviceName.c_str());
            return PHR_SUCCESS;
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
            // The claim is the host's own request for this handle, so it takes the handle over
            // from whatever device served it until now (the port's own, or one that took the port
            // over): left in place, that device would get the data the host meant for this one.
            {
                CUSBDevice previous = GetUSBDevice(hPort);
                if (!previous.GetDeviceName().empty() && !previous.SharesConnection(device))
                    LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s gives way",
                           base::HandleNumber(hPort), previous.GetDeviceName().c_str());
            }
            Bind(hPort, device);
            LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Open(%d) : %s", base::HandleNumber(hPort),
                   pEntry->strDeviceName.c_str());
            return PHR_SUCCESS;
        }
        ++it;
    }
    CBootMode* pNew = new (std::nothrow) CBootMode();
    if (pNew == nullptr) return PHR_ALLOCATION_ERROR;
    pNew->hPort = hPort;
    pNew->dataKey = key;
    pNew->strDeviceName = strDeviceName;
    pNew->nKind = nKind;
    m_listBootMode.push_back(pNew);
    // A claim that found no device yet succeeds as well; the log tells it from an attach.
    if (hPort == nullptr)
        LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Found : %s", strDeviceName.c_str());
    else
        LogMsg(LOGLEVEL_TRACE, "-- BOOT MODE Claim(%d) : Waiting for the device.",
               base::HandleNumber(hPort));
    return PHR_SUCCESS;
}

void CUpdateUSB::Bind(void* hPort, const CUSBDevice& device) {
    CLock::CGuard deviceGuard(*m_pDeviceLock);
    m_mapDevices.erase(hPort);
    m_mapDevices.emplace(hPort, device);
}

std::list<CBootMode> CUpdateUSB::GetBootModeTable() {
    CLock::CGuard bootGuard(m_lockBootMode);
    std::list<CBootMode> listCopy;
    for (const CBootMode* pEntry : m_listBootMode) listCopy.push_back(*pEntry);
    return listCopy;
}
