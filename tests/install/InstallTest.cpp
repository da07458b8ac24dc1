// What `cmake --install` puts under a prefix, staged in a temporary DESTDIR: the exact set of
// files, a public header that needs nothing private, a pkg-config file a host builds against, and
// installed tools that find the installed component.
#include <dirent.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

#include "tests/support/Files.h"

namespace {

using testsupport::ReadFile;

// Runs a shell command; its exit status and what it printed (both streams).
int Shell(const std::string& strCommand, std::string* pstrOutput)
{
    pstrOutput->clear();
    FILE* p = popen((strCommand + " 2>&1").c_str(), "r");
    if (p == nullptr)
        return -1;
    char ac[4096];
    std::size_t n;
    while ((n = fread(ac, 1, sizeof ac, p)) > 0)
        pstrOutput->append(ac, n);
    const int nStatus = pclose(p);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}

void ListFiles(const std::string& strRoot, const std::string& strRelative, std::set<std::string>* pset)
{
    DIR* pDir = opendir((strRoot + strRelative).c_str());
    if (pDir == nullptr)
        return;
    while (dirent* pEntry = readdir(pDir)) {
        const std::string strName = pEntry->d_name;
        if (strName == "." || strName == "..")
            continue;
        const std::string strPath = strRelative + "/" + strName;
        struct stat st;
        if (lstat((strRoot + strPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            ListFiles(strRoot, strPath, pset);
        else
            pset->insert(strPath);
    }
    closedir(pDir);
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const char* pszTmp = std::getenv("TMPDIR");
        std::string strTemplate = std::string(pszTmp != nullptr && pszTmp[0] != '\0' ? pszTmp : "/tmp") + "/install-XXXXXX";
        ASSERT_NE(mkdtemp(&strTemplate[0]), nullptr);
        m_strDestDir = strTemplate;
        std::string strOutput;
        ASSERT_EQ(Shell("DESTDIR='" + m_strDestDir + "' '" CMAKE_COMMAND "' --install '" TALIUN_BUILD_DIR
                        "' --prefix /usr",
                        &strOutput),
                  0)
            << strOutput;
        m_strPrefix = m_strDestDir + "/usr";
    }
    void TearDown() override
    {
        if (!m_strDestDir.empty())
            std::system(("rm -rf '" + m_strDestDir + "'").c_str());
    }

    std::string m_strDestDir;
    std::string m_strPrefix;
};

TEST_F(InstallTest, PutsExactlyTheShippedFilesUnderThePrefix)
{
    std::set<std::string> setExpected = {
        "/bin/qxhost",
        "/sbin/taliunlogd",
        COMPONENT_DIR "/libTaliunqxusb.so",
        PKGCONFIG_DIR "/taliunqxusb.pc",
        "/include/taliun/component/PortHandler.h",
        "/include/taliun/component/Data.h",
        "/lib/udev/rules.d/60-taliunqxusb.rules",
        "/share/doc/taliunqxusb/README.md",
        "/share/doc/taliunqxusb/examples/61-taliunqxusb-hotplug.rules",
        "/share/doc/taliunqxusb/copyright",
        "/share/doc/taliunqxusb/changelog.gz",
        "/lib/systemd/system/taliunlogd.service",
        "/lib/tmpfiles.d/taliunqxusb.conf",
    };
#ifdef MAN_PAGES_BUILT
    setExpected.insert("/share/man/man1/qxhost.1.gz");
    setExpected.insert("/share/man/man8/taliunlogd.8.gz");
#endif
#ifdef QUILLON_BUILT
    setExpected.insert("/bin/quillon");
#ifdef MAN_PAGES_BUILT
    setExpected.insert("/share/man/man1/quillon.1.gz");
#endif
#endif
    std::set<std::string> setInstalled;
    ListFiles(m_strPrefix, "", &setInstalled);
    EXPECT_EQ(setInstalled, setExpected);
    std::set<std::string> setOutside;
    ListFiles(m_strDestDir, "", &setOutside);
    EXPECT_EQ(setOutside.size(), setInstalled.size()) << "everything goes under the prefix";
    for (const char* pszProgram : {"/bin/qxhost", "/sbin/taliunlogd"}) {
        struct stat st;
        ASSERT_EQ(stat((m_strPrefix + pszProgram).c_str(), &st), 0);
        EXPECT_TRUE(st.st_mode & S_IXOTH) << pszProgram;
    }
}

TEST_F(InstallTest, UdevRulesNameTheConfiguredVendorId)
{
    char szVendor[8];
    std::snprintf(szVendor, sizeof szVendor, "%04x", static_cast<unsigned int>(KORVO_USB_VENDOR_ID));
    const std::string strRule = ReadFile(m_strPrefix + "/lib/udev/rules.d/60-taliunqxusb.rules");
    EXPECT_NE(strRule.find("SUBSYSTEM==\"usb\", ENV{DEVTYPE}==\"usb_device\", ATTR{idVendor}==\"" +
                           std::string(szVendor) + "\", MODE=\"0660\", GROUP=\"lp\""),
              std::string::npos)
        << strRule;
    const std::string strExample = ReadFile(m_strPrefix + "/share/doc/taliunqxusb/examples/61-taliunqxusb-hotplug.rules");
    EXPECT_NE(strExample.find("ACTION==\"add\""), std::string::npos);
    EXPECT_NE(strExample.find("ATTR{idVendor}==\"" + std::string(szVendor) + "\""), std::string::npos);
    EXPECT_NE(strExample.find("kill -USR1"), std::string::npos);
}

TEST_F(InstallTest, LogServiceStartsTheInstalledDaemonInTheForeground)
{
    const std::string strUnit = ReadFile(m_strPrefix + "/lib/systemd/system/taliunlogd.service");
    EXPECT_NE(strUnit.find("\nExecStart=/usr/sbin/taliunlogd --foreground\n"), std::string::npos) << strUnit;
    EXPECT_NE(strUnit.find("\nReadWritePaths=/var/korvo/taliun\n"), std::string::npos) << strUnit;
    const std::string strTmpfiles = ReadFile(m_strPrefix + "/lib/tmpfiles.d/taliunqxusb.conf");
    EXPECT_NE(strTmpfiles.find("d /var/korvo/taliun "), std::string::npos) << strTmpfiles;
}

TEST_F(InstallTest, PublicHeadersIncludeOnlyEachOtherAndTheStandardLibrary)
{
    const std::string strInclude = m_strPrefix + "/include/taliun/";
    const std::regex quoted("#include \"([^\"]+)\"");
    for (const char* pszHeader : {"component/PortHandler.h", "component/Data.h"}) {
        const std::string strText = ReadFile(strInclude + pszHeader);
        ASSERT_FALSE(strText.empty()) << pszHeader;
        for (auto it = std::sregex_iterator(strText.begin(), strText.end(), quoted); it != std::sregex_iterator(); ++it) {
            struct stat st;
            EXPECT_EQ(stat((strInclude + (*it)[1].str()).c_str(), &st), 0)
                << pszHeader << " includes " << (*it)[1] << ", which is not installed";
        }
    }
}

TEST_F(InstallTest, ATinyHostBuildsWithPkgConfigAndLoadsTheInstalledComponent)
{
    const std::string strSource = m_strDestDir + "/host.cpp";
    std::ofstream(strSource) << R"(#include <dlfcn.h>
#include <cstdio>
#include "component/PortHandler.h"
int main(int argc, char** argv)
{
    if (argc != 2)
        return 2;
    void* pLibrary = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (pLibrary == nullptr) {
        std::printf("dlopen: %s\n", dlerror());
        return 1;
    }
    PFN_GETVERSION pfnVersion = reinterpret_cast<PFN_GETVERSION>(dlsym(pLibrary, "GetVersion"));
    PFN_INITIALIZEPORTHANDLERCOMPONENT pfnInit =
        reinterpret_cast<PFN_INITIALIZEPORTHANDLERCOMPONENT>(dlsym(pLibrary, "InitializePortHandlerComponent"));
    if (pfnVersion == nullptr || pfnInit == nullptr)
        return 1;
    unsigned int a = 0, b = 0, c = 0, d = 0;
    pfnVersion(&a, &b, &c, &d);
    // A property service without entries is refused before anything starts: no device is touched.
    _PORTHANDLERPROPERTY property = {};
    _PORTHANDLERCOMPONENT table = {};
    const int nInit = pfnInit(&property, &table);
    CData data(reinterpret_cast<const unsigned char*>("abc"), 3);
    std::printf("component %u.%u.%u.%u init %d data %u code %08X\n", a, b, c, d, nInit, data.Length(),
                PHR_WRITE_TIMEOUT);
    return 0;
}
)";
    const std::string strPkgConfig = "PKG_CONFIG_PATH='" + m_strPrefix + PKGCONFIG_DIR "' pkg-config";
    std::string strOutput;
    ASSERT_EQ(Shell(strPkgConfig + " --modversion taliunqxusb", &strOutput), 0) << strOutput;
    EXPECT_EQ(strOutput, "2.0.7.7\n");
    std::string strComponent;
    ASSERT_EQ(Shell(strPkgConfig + " --variable=component taliunqxusb", &strComponent), 0) << strComponent;
    strComponent.erase(strComponent.find_last_not_of('\n') + 1);
    struct stat st;
    EXPECT_EQ(stat(strComponent.c_str(), &st), 0) << "the pkg-config file points at the installed component: "
                                                  << strComponent;

    const std::string strHost = m_strDestDir + "/host";
    ASSERT_EQ(Shell("'" CXX_COMPILER "' -std=c++17 -Wall -Wextra -Werror " SANITIZE_FLAGS " -o '" + strHost + "' '" +
                        strSource + "' $(" + strPkgConfig + " --cflags --libs taliunqxusb)",
                    &strOutput),
              0)
        << strOutput;
    ASSERT_EQ(Shell("'" + strHost + "' '" + strComponent + "'", &strOutput), 0) << strOutput;
    EXPECT_EQ(strOutput, "component 2.0.7.7 init 0 data 3 code 80060003\n");
}

TEST_F(InstallTest, InstalledToolsFindTheInstalledComponentAndShowTheirHelp)
{
    std::string strOutput;
    // No QXHOST_LIBRARY: qxhost looks beside itself and in the installation's library folder.
    ASSERT_EQ(Shell("env -u QXHOST_LIBRARY '" + m_strPrefix + "/bin/qxhost' version", &strOutput), 0) << strOutput;
    EXPECT_NE(strOutput.find("component 2.0.7.7 (" + m_strPrefix + COMPONENT_DIR "/libTaliunqxusb.so)"), std::string::npos)
        << strOutput;
    ASSERT_EQ(Shell("'" + m_strPrefix + "/sbin/taliunlogd' --help", &strOutput), 0) << strOutput;
    EXPECT_NE(strOutput.find("--socket PATH"), std::string::npos) << strOutput;
}

} // namespace
