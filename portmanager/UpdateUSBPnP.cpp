// CUpdateUSB plug-and-play thread.
//
// For now the thread only waits for its stop request: devices are found by name when a port is
// opened. The enumeration, hot-plug signal loop and retry timer take its place later.
#include "portmanager/UpdateUSB.h"

void CUpdateUSB::tfUpdate(void* pArg) { static_cast<CUpdateUSB*>(pArg)->UpdateThread(); }

int CUpdateUSB::UpdateThread()
{
    // The thread object itself is the stop request; a wake-up that finds it clear waits again.
    while (CEvent::Wait(0xFFFFFFFFu, m_pUpdateThread) != 0) {
    }
    return 1;
}
