#pragma once

#include "mappingtool/core/IniSectionReader.h"

namespace quillon {

// INI sections through the Windows profile call.
class CProfileIniReader : public IIniSectionReader {
public:
    bool FileExists(const std::u16string& strPath) override;
    uint32_t ReadSection(const std::u16string& strSection, const std::u16string& strPath,
                         char16_t* pBuffer, uint32_t ulSize) override;
};

}  // namespace quillon
