#include "tools/qxhost/CodeNames.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "base/Text.h"
#include "contract/PortHandler.h"

namespace {

struct NAMED_CODE {
    unsigned int ulCode;
    const char* pszName;
};

const NAMED_CODE kResults[] = {
    {PHR_SUCCESS, "PHR_SUCCESS"},
    {PHR_NOT_CONNECTED, "PHR_NOT_CONNECTED"},
    {PHR_INVALID_CONFIGURATION, "PHR_INVALID_CONFIGURATION"},
    {PHR_INVALID_PARAMETER, "PHR_INVALID_PARAMETER"},
    {PHR_NOT_SUPPORTED, "PHR_NOT_SUPPORTED"},
    {PHR_UNEXPECTED_SYSTEM_ERROR, "PHR_UNEXPECTED_SYSTEM_ERROR"},
    {PHR_ALLOCATION_ERROR, "PHR_ALLOCATION_ERROR"},
    {PHR_OUT_OF_RESOURCES, "PHR_OUT_OF_RESOURCES"},
    {PHR_RESPONSE_TIMEOUT, "PHR_RESPONSE_TIMEOUT"},
    {PHR_PERMISSION_ERROR, "PHR_PERMISSION_ERROR"},
    {PHR_PORT_OPEN_FAILURE, "PHR_PORT_OPEN_FAILURE"},
    {PHR_DEVICE_ERROR, "PHR_DEVICE_ERROR"},
    {PHR_DEVICE_NOT_AVAILABLE, "PHR_DEVICE_NOT_AVAILABLE"},
    {PHR_WRITE_TIMEOUT, "PHR_WRITE_TIMEOUT"},
};

const NAMED_CODE kControls[] = {
    {PH_CONFIG_ADD_PORT, "PH_CONFIG_ADD_PORT"},
    {PH_CONFIG_DELETE_PORT, "PH_CONFIG_DELETE_PORT"},
    {PH_CONFIG_GET_COMPONENT_UI, "PH_CONFIG_GET_COMPONENT_UI"},
    {PH_CONFIG_CHANGED, "PH_CONFIG_CHANGED"},
    {PH_LOCK_PORT, "PH_LOCK_PORT"},
    {PH_USB_GET_POWER_STATE, "PH_USB_GET_POWER_STATE"},
    {PH_USB_RESET_DEVICE, "PH_USB_RESET_DEVICE"},
    {PH_USB_SET_FLOW_CONTROL, "PH_USB_SET_FLOW_CONTROL"},
    {PH_USB_SET_MONITOR_INTERVAL, "PH_USB_SET_MONITOR_INTERVAL"},
    {PH_USB_CLEAR_WRITE_ABORT, "PH_USB_CLEAR_WRITE_ABORT"},
    {PH_USB_ABORT_WRITE, "PH_USB_ABORT_WRITE"},
    {PH_USB_UPDATE_BOOT_MODE, "PH_USB_UPDATE_BOOT_MODE"},
    {PH_USB_DEVICE_IOCTL, "PH_USB_DEVICE_IOCTL"},
    {PH_USB_SET_DISCONNECTED, "PH_USB_SET_DISCONNECTED"},
    {PH_USB_FS_MODE_WORKAROUND, "PH_USB_FS_MODE_WORKAROUND"},
};

const NAMED_CODE kEvents[] = {
    {PH_EVENT_POWER_STATE, "PH_EVENT_POWER_STATE"},
    {PH_EVENT_INPUT_DATA, "PH_EVENT_INPUT_DATA"},
};

template <std::size_t N>
const char* Find(const NAMED_CODE (&table)[N], unsigned int ulCode) {
    for (const NAMED_CODE& entry : table)
        if (entry.ulCode == ulCode) return entry.pszName;
    return nullptr;
}

}  // namespace

std::string CCodeNames::Result(unsigned int ulCode) {
    const char* psz = Find(kResults, ulCode);
    return psz != nullptr ? psz : base::HexText(ulCode, 8);
}

std::string CCodeNames::Control(unsigned int ulCode) {
    const unsigned int ulBase = ulCode & ~PH_UCS2_STRINGS;
    const char* psz = Find(kControls, ulBase);
    if (psz == nullptr) return base::HexText(ulCode, 8);
    std::string str = psz;
    if (ulCode & PH_UCS2_STRINGS) str += "|PH_UCS2_STRINGS";
    return str;
}

std::string CCodeNames::Event(unsigned int ulCode) {
    const char* psz = Find(kEvents, ulCode);
    return psz != nullptr ? psz : base::HexText(ulCode, 8);
}

std::string CCodeNames::Power(int nState) {
    const char* psz = nullptr;
    switch (nState) {
        case PH_POWER_UNKNOWN:
            psz = "not yet determined";
            break;
        case PH_POWER_READY:
            psz = "ready";
            break;
        case PH_POWER_NOT_READY:
            psz = "not ready";
            break;
        case PH_POWER_UNAVAILABLE:
            psz = "unavailable";
            break;
        case PH_POWER_NOT_READY_DISPLAY:
            psz = "display not ready";
            break;
        default:
            psz = "unknown state";
            break;
    }
    return std::string(psz) + " (" + std::to_string(nState) + ")";
}

bool CCodeNames::ParseControl(const std::string& strText, unsigned int* pulCode) {
    std::string strName = base::ToUpper(strText);
    unsigned int ulFlags = 0;
    for (const char* pszSuffix : {"|PH_UCS2_STRINGS", "+UCS2"}) {
        const std::string strSuffix = pszSuffix;
        if (strName.size() > strSuffix.size() &&
            strName.compare(strName.size() - strSuffix.size(), strSuffix.size(), strSuffix) == 0) {
            strName.erase(strName.size() - strSuffix.size());
            ulFlags = PH_UCS2_STRINGS;
            break;
        }
    }
    unsigned long long ullCode = 0;
    if (base::ParseUnsigned(strName, 0xFFFFFFFFull, &ullCode)) {
        *pulCode = static_cast<unsigned int>(ullCode) | ulFlags;
        return true;
    }
    if (strName.compare(0, 3, "PH_") != 0) strName = "PH_" + strName;
    for (const NAMED_CODE& entry : kControls) {
        if (strName == entry.pszName) {
            *pulCode = entry.ulCode | ulFlags;
            return true;
        }
    }
    return false;
}

std::string CCodeNames::ControlList() {
    std::string str;
    for (const NAMED_CODE& entry : kControls) {
        if (!str.empty()) str += ", ";
        str += entry.pszName;
    }
    return str;
}
