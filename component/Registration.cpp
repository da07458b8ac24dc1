#include "component/Registration.h"

#include <cstdlib>

#include "log/Log.h"
#include "property/PropertyHandler.h"

namespace {
const char* const s_apszEntries[][2] = {
    {"/stack//QX/QXUSB/requiredName", "/PortType"}, {"/stack//QX/QXUSB/requiredValue", "USB"},
    {"/stack//JV/QXUSB/requiredName", "/PortType"}, {"/stack//JV/QXUSB/requiredValue", "USB"},
    {"/stack//RP/QXUSB/requiredName", "/PortType"}, {"/stack//RP/QXUSB/requiredValue", "USB"},
};
const char* const s_apszGroups[] = {"/components/QXUSB", "/stack//QX/QXUSB", "/stack//JV/QXUSB",
                                    "/stack//RP/QXUSB"};
}  // namespace

const char* ConfigurationFilePath() {
    const char* pszPath = getenv("TALIUN_CONFIGURATION");
    return pszPath != nullptr && *pszPath != '\0' ? pszPath
                                                  : "/etc/korvo/taliun/taliun.configuration";
}

int Install(const char* pszFileName) {
    if (pszFileName == nullptr) return 0;
    // Earlier entries go first, so a repeated install does not depend on what was there.
    Remove();

    CPropertyHandler store(ConfigurationFilePath());
    // Every write is attempted, also after a failure, so that as much as possible is registered.
    bool bAll = store.Set("/components/QXUSB/filename", pszFileName);
    for (const auto& entry : s_apszEntries) bAll = store.Set(entry[0], entry[1]) && bAll;
    if (!bAll) LogMsg(LOGLEVEL_NOTICE, "KorvoQXUSB Register Configuration Fail");
    return bAll ? 1 : 0;
}

int Remove() {
    CPropertyHandler store(ConfigurationFilePath());
    bool bAll = true;
    for (const char* pszGroup : s_apszGroups) bAll = store.Delete(pszGroup) && bAll;
    return bAll ? 1 : 0;
}
