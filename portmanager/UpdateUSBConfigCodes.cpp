// CUpdateUSB component-level configuration codes and UI documents.
//
// Not implemented yet: adding and deleting ports through the control codes and building the UI
// documents from the templates come later. Until then the three codes answer PHR_NOT_SUPPORTED,
// as the component does for any code it does not serve.
#include <stdlib.h>
#include <string.h>

#include "component/PortHandler.h"
#include "portmanager/UpdateUSB.h"

unsigned int CUpdateUSB::ConfigAddPort(CData /*in*/, unsigned int /*ulCode*/) { return PHR_NOT_SUPPORTED; }

unsigned int CUpdateUSB::ConfigDeletePort(CData /*in*/, unsigned int /*ulCode*/) { return PHR_NOT_SUPPORTED; }

unsigned int CUpdateUSB::GetConfigUI(CData /*in*/, unsigned int /*ulCode*/, CData* /*pOut*/)
{
    return PHR_NOT_SUPPORTED;
}

std::string CUpdateUSB::LoadResource(unsigned char* pTemplate, int nLength)
{
    if (pTemplate == nullptr || nLength < 0)
        return std::string();
    const void* pEnd = memchr(pTemplate, 0, static_cast<size_t>(nLength));
    const size_t ulCount = pEnd != nullptr ? static_cast<const unsigned char*>(pEnd) - pTemplate
                                           : static_cast<size_t>(nLength);
    return std::string(reinterpret_cast<const char*>(pTemplate), ulCount);
}
