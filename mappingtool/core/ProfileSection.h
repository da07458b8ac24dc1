#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace quillon {

// The Windows profile reading rules, for platforms without the profile API: the text of an INI file
// and one section of it, line for line as the Windows call returns them.

// Decodes INI file bytes: UTF-8 after its byte-order mark, UTF-16 (either byte order) after its
// byte-order mark, anything else as UTF-8, which stands in for the ANSI code page.
std::u16string DecodeProfileFile(const uint8_t* pData, size_t nSize);

// Copies the first section named strSection (compared without ASCII case) into pBuffer with the
// result and cut rules of IIniSectionReader::ReadSection. Buffers under 2 units receive nothing.
uint32_t ReadProfileSection(const std::u16string& strText, const std::u16string& strSection,
                            char16_t* pBuffer, uint32_t ulSize);

}  // namespace quillon
