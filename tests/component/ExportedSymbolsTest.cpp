// The shipped library exports exactly its entry points: the host, the installer and the log tools
// find them by name, and nothing else may leak into a host process's symbol space.

#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

// Defined dynamic symbols of the library, demangled, with parameter lists cut off.
std::set<std::string> DefinedDynamicSymbols(const std::string& strLibrary, std::string* pstrAll)
{
    std::set<std::string> setNames;
    const std::string strCommand = "nm -D -C --defined-only '" + strLibrary + "' 2>&1";
    FILE* pPipe = popen(strCommand.c_str(), "r");
    if (pPipe == nullptr)
        return setNames;
    char szLine[4096];
    while (fgets(szLine, sizeof szLine, pPipe) != nullptr) {
        *pstrAll += szLine;
        // "<address> <type> <name>"
        std::string strLine(szLine);
        if (!strLine.empty() && strLine.back() == '\n')
            strLine.pop_back();
        std::istringstream in(strLine);
        std::string strAddress, strType;
        in >> strAddress >> strType;
        std::string strName;
        std::getline(in, strName);
        strName.erase(0, strName.find_first_not_of(' '));
        strName = strName.substr(0, strName.find('('));
        // Demangled C++ names may carry an ABI tag: GetLogConfig[abi:cxx11].
        strName = strName.substr(0, strName.find('['));
        if (!strName.empty())
            setNames.insert(strName);
    }
    pclose(pPipe);
    return setNames;
}

// Symbols the toolchain defines in every shared object, not ours: the linker's section markers and
// the init/fini entry points, and the per-module data the sanitizer builds add.
bool IsToolchainSymbol(const std::string& strName)
{
    static const std::set<std::string> setLinker = {"_init", "_fini", "_edata", "_end", "__bss_start"};
    if (setLinker.count(strName))
        return true;
    for (const char* pszPrefix : {"__asan", "__odr_asan", "__tsan", "__ubsan", "__sanitizer"}) {
        if (strName.compare(0, std::char_traits<char>::length(pszPrefix), pszPrefix) == 0)
            return true;
    }
    return false;
}

TEST(ExportedSymbols, AreExactlyTheEntryPoints)
{
    std::string strAll;
    std::set<std::string> setOurs;
    for (const std::string& strName : DefinedDynamicSymbols(TALIUN_LIBRARY_PATH, &strAll)) {
        if (!IsToolchainSymbol(strName))
            setOurs.insert(strName);
    }
    const std::set<std::string> setExpected = {
        "GetVersion", "InitializePortHandlerComponent", "UnloadPortHandlerComponent",
        "Install",    "Remove",                         "LogMsg",
        "Log",        "LogRaw",                         "GetLogConfig",
        "GetLogSettings", "SetLogSettings",             "g_ulErrorCount",
        "g_ulThreadCount"};
    EXPECT_EQ(setOurs, setExpected) << "nm output:\n" << strAll;
}

} // namespace
