#pragma once

#include <cstdint>
#include <string>

namespace quillon {

// Reads INI files with the contract of the Windows profile calls.
class IIniSectionReader {
public:
    virtual ~IIniSectionReader() = default;

    // True when a file-status query on the path succeeds.
    virtual bool FileExists(const std::u16string& strPath) = 0;

    // Copies the lines of the section into pBuffer as consecutive zero-terminated strings followed
    // by one more zero, and returns the number of units before that last zero. When the section
    // does not fit, the last string is cut, two zeros end the buffer and the result is ulSize - 2.
    // A missing file or section gives 0.
    virtual uint32_t ReadSection(const std::u16string& strSection, const std::u16string& strPath,
                                 char16_t* pBuffer, uint32_t ulSize) = 0;
};

}  // namespace quillon
