#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mappingtool/core/IniSectionReader.h"
#include "mappingtool/core/MappingTable.h"

namespace quillon {

constexpr uint32_t kIniBufferUnits = 30000;
extern const char16_t kIniSectionName[];  // "Quillon"

// Splits what the section call returned (ulCount units) into lines at each zero unit; a last line
// cut by the buffer without its zero counts too.
std::vector<std::u16string> SplitSectionBuffer(const char16_t* pBuffer, uint32_t ulCount);

// Parses the section lines into the table. On failure the table keeps the groups stored so far.
bool ParseMappingSection(const std::vector<std::u16string>& vecLines, MappingTable& table);

// Reads the "Quillon" section of the INI file through the reader and parses it.
bool LoadUnicodeMappingIni(IIniSectionReader& reader, const std::u16string& strPath,
                           MappingTable& table);

}  // namespace quillon
