// Writing the configuration file. The file is shared with the host and holds other components'
// entries, so it is never rewritten in place: a complete new file is written beside it, flushed
// to disk and renamed over it, so that readers and a crash at any moment see either the old or
// the new file, never a truncated one. A file that could not be loaded is kept as a backup before
// a fresh document replaces it.

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "log/Log.h"
#include "markup/Markup.h"
#include "property/PropertyHandler.h"

namespace {

std::string ErrorText(int nError) {
    char szBuffer[128];
    // GNU strerror_r may return a static string instead of filling the buffer.
    const char* psz = strerror_r(nError, szBuffer, sizeof szBuffer);
    return psz != nullptr ? psz : "unknown error";
}

// The file the path finally names, so that a symbolic link stays a link to the new content.
std::string ResolveTarget(const std::string& strPath) {
    struct stat st;
    if (lstat(strPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char* pszReal = realpath(strPath.c_str(), nullptr);
        if (pszReal != nullptr) {
            std::string strReal(pszReal);
            free(pszReal);
            return strReal;
        }
    }
    return strPath;
}

std::string DirectoryOf(const std::string& strPath) {
    size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) return ".";
    if (nSlash == 0) return "/";
    return strPath.substr(0, nSlash);
}

// The mode a newly created file would get from fopen: 0666 less the process's umask, read
// without changing it (umask() is process-wide and would race with other threads).
mode_t NewFileMode() {
    mode_t mode = 0644;
    FILE* pFile = fopen("/proc/self/status", "re");
    if (pFile == nullptr) return mode;
    char szLine[256];
    while (fgets(szLine, sizeof szLine, pFile) != nullptr) {
        unsigned uMask = 0;
        if (sscanf(szLine, "Umask: %o", &uMask) == 1) {
            mode = static_cast<mode_t>(0666 & ~uMask);
            break;
        }
    }
    fclose(pFile);
    return mode;
}

bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t nWritten = write(fd, p, n);
        if (nWritten < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += nWritten;
        n -= static_cast<size_t>(nWritten);
    }
    return true;
}

bool SyncDirectory(const std::string& strDirectory) {
    int fd = open(strDirectory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    bool bOk = fsync(fd) == 0 || errno == EINVAL;
    close(fd);
    return bOk;
}

// Copies the file's bytes to a new file (O_EXCL); used where a hard link is not possible.
bool CopyFile(const std::string& strFrom, const std::string& strTo, mode_t mode, int* pnError) {
    int fdIn = open(strFrom.c_str(), O_RDONLY | O_CLOEXEC);
    if (fdIn < 0) {
        *pnError = errno;
        return false;
    }
    int fdOut = open(strTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fdOut < 0) {
        *pnError = errno;
        close(fdIn);
        return false;
    }
    bool bOk = true;
    char acBuffer[16384];
    for (;;) {
        ssize_t nRead = read(fdIn, acBuffer, sizeof acBuffer);
        if (nRead < 0 && errno == EINTR) continue;
        if (nRead <= 0) {
            bOk = nRead == 0;
            break;
        }
        if (!WriteAll(fdOut, acBuffer, static_cast<size_t>(nRead))) {
            bOk = false;
            break;
        }
    }
    if (bOk && fsync(fdOut) != 0) bOk = false;
    if (!bOk) *pnError = errno;
    close(fdIn);
    if (close(fdOut) != 0 && bOk) {
        *pnError = errno;
        bOk = false;
    }
    if (!bOk) unlink(strTo.c_str());
    return bOk;
}

}  // namespace

bool CPropertyHandler::BackupMalformedFile() {
    const std::string strTarget = ResolveTarget(m_strPath);
    struct stat st;
    if (stat(strTarget.c_str(), &st) != 0) {
        // Gone in the meantime: nothing left to keep.
        if (errno == ENOENT) return true;
        LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Save(%s) <%s>", m_strPath.c_str(),
               ErrorText(errno).c_str());
        return false;
    }
    if (!S_ISREG(st.st_mode)) return true;

    int nError = 0;
    for (unsigned n = 1; n <= 1000; ++n) {
        std::string strBackup = strTarget + ".bad." + std::to_string(n);
        if (link(strTarget.c_str(), strBackup.c_str()) == 0)
            return SyncDirectory(DirectoryOf(strTarget));
        nError = errno;
        if (nError == EEXIST) continue;
        if (CopyFile(strTarget, strBackup, st.st_mode & 07777, &nError))
            return SyncDirectory(DirectoryOf(strTarget));
        if (nError == EEXIST) continue;
        break;
    }
    LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Save(%s) <no backup of the unreadable file: %s>",
           m_strPath.c_str(), ErrorText(nError).c_str());
    return false;
}

bool CPropertyHandler::Save() {
    if (m_strPath.empty()) return true;
    if (!IsWritable()) {
        LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Save(%s) <%s>", m_strPath.c_str(),
               "root element is not xmlroot");
        return false;
    }
    if (m_bBackupPending) {
        if (!BackupMalformedFile()) return false;
        m_bBackupPending = false;
    }

    const std::string strTarget = ResolveTarget(m_strPath);
    const std::string strDirectory = DirectoryOf(strTarget);
    // The temporary name is kept no longer than the file's own, so that a path close to the
    // system's limit can still be saved.
    std::string strTemp = strDirectory + "/.taliun-save-XXXXXX";
    if (strTemp.size() > strTarget.size()) strTemp = strDirectory + "/.XXXXXX";
    int fd = mkstemp(&strTemp[0]);
    if (fd < 0) {
        LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Save(%s) <%s>", m_strPath.c_str(),
               ErrorText(errno).c_str());
        return false;
    }

    struct stat st;
    bool bExisting = stat(strTarget.c_str(), &st) == 0;
    std::string strError;
    // Any file error, a failing close (the last buffered bytes not written) included, leaves the
    // file incomplete.
    bool bOk =
        m_pMarkup->Save(strTemp) && m_pMarkup->GetStatus().status != MarkupResult::MRS_FILE_ERROR;
    if (!bOk) strError = m_pMarkup->GetError();
    // The new file takes the old one's permissions and, where allowed, its owner, so the host
    // can still read it.
    if (bOk && fchmod(fd, bExisting ? (st.st_mode & 07777) : NewFileMode()) != 0) {
        bOk = false;
        strError = ErrorText(errno);
    }
    if (bOk && bExisting && (st.st_uid != geteuid() || st.st_gid != getegid())) {
        // Only root may give a file away; an unprivileged caller keeps at least the group when
        // it is one of its own, else the file belongs to the caller.
        int nOwned = fchown(fd, st.st_uid, st.st_gid);
        if (nOwned != 0) nOwned = fchown(fd, static_cast<uid_t>(-1), st.st_gid);
        (void)nOwned;
    }
    if (bOk && fsync(fd) != 0) {
        bOk = false;
        strError = ErrorText(errno);
    }
    if (close(fd) != 0 && bOk) {
        bOk = false;
        strError = ErrorText(errno);
    }
    if (bOk && rename(strTemp.c_str(), strTarget.c_str()) != 0) {
        bOk = false;
        strError = ErrorText(errno);
    }
    if (!bOk) {
        unlink(strTemp.c_str());
        LogMsg(LOGLEVEL_NOTICE, "-- CPropertyHandler::Save(%s) <%s>", m_strPath.c_str(),
               strError.c_str());
        return false;
    }
    // The rename is durable only once the directory entry is on disk.
    SyncDirectory(strDirectory);
    return true;
}
