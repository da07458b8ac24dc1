#include "mappingtool/platform/posix/FilePrinterStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mappingtool/core/Utf.h"

namespace quillon {
namespace {

// Names become single path components; anything that could leave the folder or name a hidden file
// is refused.
bool ToComponent(const std::u16string& strName, std::string& strOut) {
    if (strName.empty() || strName.find(u'/') != std::u16string::npos ||
        strName.find(u'\0') != std::u16string::npos || strName[0] == u'.') {
        return false;
    }
    strOut = Utf16ToUtf8(strName);
    return true;
}

bool PermitsByMode(const struct stat& st, mode_t user, mode_t group, mode_t other) {
    if (st.st_uid == geteuid()) return (st.st_mode & user) != 0;
    if (st.st_gid == getegid()) return (st.st_mode & group) != 0;
    return (st.st_mode & other) != 0;
}

bool FolderWritable(const std::string& strFolder) {
    struct stat st {};
    return stat(strFolder.c_str(), &st) == 0 && PermitsByMode(st, S_IWUSR, S_IWGRP, S_IWOTH) &&
           PermitsByMode(st, S_IXUSR, S_IXGRP, S_IXOTH);
}

uint32_t ErrorFromErrno(int nErrno, uint32_t ulOther) {
    switch (nErrno) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kErrorAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        default:
            return ulOther;
    }
}

bool WriteAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t nWritten = write(fd, p, n);
        if (nWritten < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += nWritten;
        n -= static_cast<size_t>(nWritten);
    }
    return true;
}

}  // namespace

CFilePrinterStore::CFilePrinterStore(std::string strRoot) : m_strRoot(std::move(strRoot)) {}

std::string CFilePrinterStore::DefaultRoot() {
    const char* pszRoot = std::getenv("QUILLON_PRINTERS");
    return (pszRoot != nullptr && *pszRoot != '\0') ? pszRoot : "/var/lib/korvo/quillon/printers";
}

const CFilePrinterStore::Printer* CFilePrinterStore::Find(PrinterHandle hPrinter) const {
    const auto it = m_mapOpen.find(reinterpret_cast<uintptr_t>(hPrinter));
    return it != m_mapOpen.end() ? &it->second : nullptr;
}

bool CFilePrinterStore::Open(const std::u16string& strPrinter, uint32_t ulAccess,
                             PrinterHandle* phPrinter) {
    std::string strName;
    struct stat st {};
    if (!ToComponent(strPrinter, strName) || stat((m_strRoot + "/" + strName).c_str(), &st) != 0 ||
        !S_ISDIR(st.st_mode)) {
        m_ulLastError = kErrorInvalidPrinterName;
        return false;
    }
    const std::string strFolder = m_strRoot + "/" + strName;
    const bool bReadable = PermitsByMode(st, S_IRUSR, S_IRGRP, S_IROTH) &&
                           PermitsByMode(st, S_IXUSR, S_IXGRP, S_IXOTH);
    if (!bReadable || ((ulAccess & kPrinterAccessAdminister) != 0 && !FolderWritable(strFolder))) {
        m_ulLastError = kErrorAccessDenied;
        return false;
    }
    const uintptr_t ulHandle = m_ulNextHandle++;
    m_mapOpen.emplace(ulHandle, Printer{strFolder, ulAccess});
    *phPrinter = reinterpret_cast<PrinterHandle>(ulHandle);
    return true;
}

uint32_t CFilePrinterStore::GetData(PrinterHandle hPrinter, const std::u16string& strValue,
                                    uint32_t* pulType, uint8_t* pData, uint32_t ulSize,
                                    uint32_t* pulNeeded) {
    const Printer* pPrinter = Find(hPrinter);
    if (pPrinter == nullptr) return kErrorInvalidHandle;
    std::string strName;
    if (!ToComponent(strValue, strName)) return kErrorFileNotFound;
    const int fd = open((pPrinter->strFolder + "/" + strName).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? kErrorFileNotFound : ErrorFromErrno(errno, kErrorReadFault);
    std::vector<uint8_t> vecFile;
    uint8_t buffer[65536];
    uint32_t ulResult = kErrorSuccess;
    for (;;) {
        const ssize_t nRead = read(fd, buffer, sizeof buffer);
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead < 0) {
            ulResult = ErrorFromErrno(errno, kErrorReadFault);
            break;
        }
        if (nRead == 0) break;
        // A value is at most 4 GiB; anything larger cannot be the store's own file.
        if (vecFile.size() + static_cast<size_t>(nRead) > 4 + static_cast<size_t>(UINT32_MAX)) {
            ulResult = kErrorInvalidData;
            break;
        }
        vecFile.insert(vecFile.end(), buffer, buffer + nRead);
    }
    close(fd);
    if (ulResult == kErrorSuccess && vecFile.size() < 4) ulResult = kErrorInvalidData;
    if (ulResult != kErrorSuccess) return ulResult;

    const uint32_t ulDataSize = static_cast<uint32_t>(vecFile.size() - 4);
    if (pulNeeded != nullptr) *pulNeeded = ulDataSize;
    if (pulType != nullptr) {
        *pulType = static_cast<uint32_t>(vecFile[0]) | (static_cast<uint32_t>(vecFile[1]) << 8) |
                   (static_cast<uint32_t>(vecFile[2]) << 16) |
                   (static_cast<uint32_t>(vecFile[3]) << 24);
    }
    if (ulSize < ulDataSize) return kErrorMoreData;
    if (ulDataSize > 0) std::memcpy(pData, vecFile.data() + 4, ulDataSize);
    return kErrorSuccess;
}

uint32_t CFilePrinterStore::SetData(PrinterHandle hPrinter, const std::u16string& strValue,
                                    uint32_t ulType, const uint8_t* pData, uint32_t ulSize) {
    const Printer* pPrinter = Find(hPrinter);
    if (pPrinter == nullptr) return kErrorInvalidHandle;
    if ((pPrinter->ulAccess & kPrinterAccessAdminister) == 0 ||
        !FolderWritable(pPrinter->strFolder)) {
        return kErrorAccessDenied;
    }
    std::string strName;
    if (!ToComponent(strValue, strName)) return kErrorInvalidParameter;

    // Written beside the value and renamed over it, so that a crash leaves the old value or the new
    // one.
    std::string strTemp = pPrinter->strFolder + "/." + strName + ".XXXXXX";
    const int fd = mkstemp(strTemp.data());
    if (fd < 0) return ErrorFromErrno(errno, kErrorWriteFault);
    const uint8_t header[4] = {static_cast<uint8_t>(ulType), static_cast<uint8_t>(ulType >> 8),
                               static_cast<uint8_t>(ulType >> 16),
                               static_cast<uint8_t>(ulType >> 24)};
    bool bOk = WriteAll(fd, header, sizeof header) &&
               (ulSize == 0 || WriteAll(fd, pData, ulSize)) && fchmod(fd, 0644) == 0 &&
               fsync(fd) == 0;
    int nErrno = errno;
    if (close(fd) != 0 && bOk) {
        bOk = false;
        nErrno = errno;
    }
    if (bOk && rename(strTemp.c_str(), (pPrinter->strFolder + "/" + strName).c_str()) != 0) {
        bOk = false;
        nErrno = errno;
    }
    if (!bOk) {
        unlink(strTemp.c_str());
        return ErrorFromErrno(nErrno, kErrorWriteFault);
    }
    return kErrorSuccess;
}

int CFilePrinterStore::Close(PrinterHandle hPrinter) {
    if (m_mapOpen.erase(reinterpret_cast<uintptr_t>(hPrinter)) == 0) {
        m_ulLastError = kErrorInvalidHandle;
        return 0;
    }
    return 1;
}

}  // namespace quillon
