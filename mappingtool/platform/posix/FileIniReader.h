#pragma once

#include "mappingtool/core/IniSectionReader.h"

namespace quillon {

// INI files read with the Windows profile rules; 8-bit files without byte-order mark are taken as
// UTF-8.
class CFileIniReader : public IIniSectionReader {
public:
    bool FileExists(const std::u16string& strPath) override;
    uint32_t ReadSection(const std::u16string& strSection, const std::u16string& strPath,
                         char16_t* pBuffer, uint32_t ulSize) override;
};

}  // namespace quillon
