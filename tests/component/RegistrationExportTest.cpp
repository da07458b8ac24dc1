// Install and Remove through the shipped library's exported, unmangled entry points.

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/PropertyTestFiles.h"

class RegistrationExport : public PropertyTestDirectory
{
protected:
	void SetUp() override
	{
		PropertyTestDirectory::SetUp();
		m_pLibrary = dlopen(TALIUN_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
		ASSERT_NE(m_pLibrary, nullptr) << dlerror();
		m_pfnInstall = reinterpret_cast<int (*)(const char*)>(dlsym(m_pLibrary, "Install"));
		m_pfnRemove = reinterpret_cast<int (*)()>(dlsym(m_pLibrary, "Remove"));
		ASSERT_NE(m_pfnInstall, nullptr);
		ASSERT_NE(m_pfnRemove, nullptr);
	}

	void TearDown() override
	{
		if (m_pLibrary != nullptr)
			dlclose(m_pLibrary);
		PropertyTestDirectory::TearDown();
	}

	void* m_pLibrary = nullptr;
	int (*m_pfnInstall)(const char*) = nullptr;
	int (*m_pfnRemove)() = nullptr;
};

TEST_F(RegistrationExport, InstallAndRemoveThroughTheLibrary)
{
	EXPECT_EQ(m_pfnInstall(nullptr), 0);
	EXPECT_FALSE(FileExists(m_strConfiguration));
	EXPECT_EQ(m_pfnRemove(), 0) << "nothing to remove on a system without the file";
	EXPECT_FALSE(FileExists(m_strConfiguration));

	EXPECT_EQ(m_pfnInstall("first.so"), 1);
	EXPECT_EQ(m_pfnInstall(TALIUN_LIBRARY_PATH), 1);
	const std::string strFile = ReadFile(m_strConfiguration);
	EXPECT_EQ(strFile.find("first.so"), std::string::npos);
	const std::string strEntry =
	    "<property id=\"filename\" type=\"string\" value=\"" + std::string(TALIUN_LIBRARY_PATH) + "\"/>";
	ASSERT_NE(strFile.find(strEntry), std::string::npos);
	EXPECT_EQ(strFile.find(strEntry, strFile.find(strEntry) + 1), std::string::npos);
	size_t nRequired = 0;
	for (size_t n = strFile.find("requiredValue"); n != std::string::npos; n = strFile.find("requiredValue", n + 1))
		++nRequired;
	EXPECT_EQ(nRequired, 3u);

	EXPECT_EQ(m_pfnRemove(), 1);
	EXPECT_EQ(m_pfnRemove(), 0);
	EXPECT_EQ(ReadFile(m_strConfiguration).find("QXUSB"), std::string::npos);
}

TEST_F(RegistrationExport, FailureIsLogged)
{
	StartLogDaemon();
	// The configuration's directory is a plain file, so nothing can be written below it.
	const std::string strBlocker = m_strDirectory + "/blocker";
	WriteFile(strBlocker, "");
	const std::string strPath = strBlocker + "/taliun.configuration";
	setenv("TALIUN_CONFIGURATION", strPath.c_str(), 1);
	EXPECT_EQ(m_pfnInstall("lib.so"), 0);
	size_t nFail = 0;
	for (const std::string& strText : LogTextsUpToNow())
		nFail += strText == "KorvoQXUSB Register Configuration Fail";
	EXPECT_EQ(nFail, 1u);
}
