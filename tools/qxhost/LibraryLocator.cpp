#include "tools/qxhost/LibraryLocator.h"

#include <limits.h>
#include <unistd.h>

#include <cstdlib>

#ifndef QXHOST_RELATIVE_LIBDIR
#define QXHOST_RELATIVE_LIBDIR "../lib"
#endif
#ifndef QXHOST_INSTALL_LIBDIR
#define QXHOST_INSTALL_LIBDIR "/usr/local/lib"
#endif

namespace {

bool Exists(const std::string& strPath) { return access(strPath.c_str(), F_OK) == 0; }

}  // namespace

std::string CLibraryLocator::ProgramFolder() {
    char sz[PATH_MAX + 1];
    const ssize_t n = readlink("/proc/self/exe", sz, PATH_MAX);
    if (n <= 0) return ".";
    std::string str(sz, static_cast<std::size_t>(n));
    const std::size_t ulSlash = str.rfind('/');
    return ulSlash == std::string::npos ? "." : (ulSlash == 0 ? "/" : str.substr(0, ulSlash));
}

std::vector<std::string> CLibraryLocator::Candidates(const std::string& strExplicit) {
    if (!strExplicit.empty()) return {strExplicit};
    const char* pszEnv = std::getenv("QXHOST_LIBRARY");
    if (pszEnv != nullptr && pszEnv[0] != '\0') return {pszEnv};
    const std::string strFolder = ProgramFolder();
    std::vector<std::string> vec = {
        strFolder + "/" + kFileName,
        strFolder + "/../" + kFileName,
        strFolder + "/" + QXHOST_RELATIVE_LIBDIR + "/" + kFileName,
        std::string(QXHOST_INSTALL_LIBDIR) + "/" + kFileName,
    };
    return vec;
}

std::string CLibraryLocator::Find(const std::string& strExplicit, std::string* pstrError) {
    const std::vector<std::string> vec = Candidates(strExplicit);
    for (const std::string& str : vec) {
        if (!Exists(str)) continue;
        char sz[PATH_MAX + 1];
        return realpath(str.c_str(), sz) != nullptr ? std::string(sz) : str;
    }
    if (pstrError != nullptr) {
        std::string strTried;
        for (const std::string& str : vec) strTried += (strTried.empty() ? "" : ", ") + str;
        *pstrError = std::string(kFileName) + " not found (tried " + strTried +
                     "); name it with --library or QXHOST_LIBRARY";
    }
    return std::string();
}
