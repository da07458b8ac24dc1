#include "mappingtool/platform/win32/ProfileIniReader.h"

#include <windows.h>

#include <string>
#include <vector>

namespace quillon {
namespace {

std::wstring Wide(const std::u16string& str) { return std::wstring(str.begin(), str.end()); }

}  // namespace

bool CProfileIniReader::FileExists(const std::u16string& strPath) {
    return GetFileAttributesW(Wide(strPath).c_str()) != INVALID_FILE_ATTRIBUTES;
}

uint32_t CProfileIniReader::ReadSection(const std::u16string& strSection,
                                        const std::u16string& strPath, char16_t* pBuffer,
                                        uint32_t ulSize) {
    // The profile call looks for a bare or relative name in the Windows folder, not where the
    // existence test found it; the full path makes both look at the same file.
    std::wstring strFile = Wide(strPath);
    const DWORD ulFull = GetFullPathNameW(strFile.c_str(), 0, nullptr, nullptr);
    if (ulFull > 0) {
        std::vector<wchar_t> vecFull(ulFull + 1);
        const DWORD ulWritten =
            GetFullPathNameW(strFile.c_str(), ulFull + 1, vecFull.data(), nullptr);
        if (ulWritten > 0 && ulWritten <= ulFull) strFile.assign(vecFull.data(), ulWritten);
    }
    std::vector<wchar_t> vecBuffer(ulSize, L'\0');
    const DWORD ulCount = GetPrivateProfileSectionW(Wide(strSection).c_str(), vecBuffer.data(),
                                                    ulSize, strFile.c_str());
    for (uint32_t i = 0; i < ulSize; ++i) pBuffer[i] = static_cast<char16_t>(vecBuffer[i]);
    return ulCount;
}

}  // namespace quillon
