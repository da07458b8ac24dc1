// The library's exported entry points for the host.

#include "TaliunVersion.h"
#include "component/PropertyBridge.h"
#include "component/QXUSBComponent.h"
#include "contract/PortHandler.h"
#include "log/Log.h"
#include "threads/Export.h"

namespace {
// The file name padded to 24 characters, as the version line has always shown it.
const char kVersionFileName[] = "taliunqxusb.so          ";
const char kVersionText[] = TALIUN_VERSION_LOG_TEXT;
}  // namespace

extern "C" TALIUN_EXPORT void GetVersion(unsigned int* pulMajor, unsigned int* pulMinor,
                                         unsigned int* pulRevision, unsigned int* pulBuild) {
    if (pulMajor != nullptr) *pulMajor = TALIUN_VERSION_MAJOR;
    if (pulMinor != nullptr) *pulMinor = TALIUN_VERSION_MINOR;
    if (pulRevision != nullptr) *pulRevision = TALIUN_VERSION_REVISION;
    if (pulBuild != nullptr) *pulBuild = TALIUN_VERSION_BUILD;
}

extern "C" TALIUN_EXPORT int InitializePortHandlerComponent(_PORTHANDLERPROPERTY* pProperty,
                                                            _PORTHANDLERCOMPONENT* pTable) {
    LogMsg(LOGLEVEL_VERSION, "%s : %s", kVersionFileName, kVersionText);
    // A null record is refused like a record with a null entry.
    if (pProperty == nullptr || !InitializeServicePropertyCallbacks(pProperty)) return 0;
    if (pTable == nullptr) return 0;
    *pTable = _PORTHANDLERCOMPONENT();
    pTable->Open = &CQXUSBConnectionManager::ExternalOpen;
    pTable->Close = &CQXUSBConnectionManager::ExternalClose;
    pTable->Write = &CQXUSBConnectionManager::ExternalWrite;
    pTable->Ioctl = &CQXUSBConnectionManager::ExternalIoctl;
    return CQXUSBComponent::Initialize() ? 1 : 0;
}

extern "C" TALIUN_EXPORT void UnloadPortHandlerComponent(void) {
    CQXUSBConnectionManager::RemoveAllConnections();
    CQXUSBComponent::Cleanup();
}
