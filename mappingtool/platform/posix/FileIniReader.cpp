#include "mappingtool/platform/posix/FileIniReader.h"

#include <sys/stat.h>

#include <cstdio>
#include <vector>

#include "mappingtool/core/ProfileSection.h"
#include "mappingtool/core/Utf.h"

namespace quillon {

bool CFileIniReader::FileExists(const std::u16string& strPath) {
    struct stat st {};
    return !strPath.empty() && stat(Utf16ToUtf8(strPath).c_str(), &st) == 0;
}

uint32_t CFileIniReader::ReadSection(const std::u16string& strSection,
                                     const std::u16string& strPath, char16_t* pBuffer,
                                     uint32_t ulSize) {
    std::vector<uint8_t> vecFile;
    if (std::FILE* pFile = std::fopen(Utf16ToUtf8(strPath).c_str(), "rb")) {
        uint8_t buffer[65536];
        size_t nRead = 0;
        while ((nRead = std::fread(buffer, 1, sizeof buffer, pFile)) > 0) {
            vecFile.insert(vecFile.end(), buffer, buffer + nRead);
        }
        // A file that cannot be read to its end is treated like a missing one.
        if (std::ferror(pFile)) vecFile.clear();
        std::fclose(pFile);
    }
    return ReadProfileSection(DecodeProfileFile(vecFile.data(), vecFile.size()), strSection,
                              pBuffer, ulSize);
}

}  // namespace quillon
