#include "property/PropertyHandler.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "markup/Markup.h"
#include "tests/support/PropertyTestFiles.h"

namespace {

const uid_t kNobody = 65534;

const std::string kExisting =
    "<xmlroot>\r\n"
    "<type value=\"host\">\r\n"
    "<property id=\"setting\" type=\"string\" value=\"keep me\"/>\r\n"
    "</type>\r\n"
    "</xmlroot>\r\n";

}  // namespace

using PropertyHandlerSave = PropertyTestDirectory;

TEST_F(PropertyHandlerSave, ReplacesTheFileAndLeavesNoTemporaryFiles)
{
	WriteFile(m_strConfiguration, kExisting);
	// A reader holding the old file open keeps seeing it whole: the store writes a new file
	// and renames it over the old one instead of rewriting it in place.
	std::ifstream reader(m_strConfiguration, std::ios::binary);
	struct stat stBefore;
	ASSERT_EQ(stat(m_strConfiguration.c_str(), &stBefore), 0);
	CPropertyHandler store(m_strConfiguration.c_str());
	for (unsigned i = 0; i < 20; ++i)
		ASSERT_TRUE(store.Set("/host/counter", i));
	struct stat stAfter;
	ASSERT_EQ(stat(m_strConfiguration.c_str(), &stAfter), 0);
	EXPECT_NE(stAfter.st_ino, stBefore.st_ino);
	std::ostringstream held;
	held << reader.rdbuf();
	EXPECT_EQ(held.str(), kExisting);
	EXPECT_NE(ReadFile(m_strConfiguration).find("<property id=\"counter\" type=\"number\" value=\"19\"/>"),
	          std::string::npos);
	EXPECT_EQ(ListDirectory(m_strDirectory), std::vector<std::string>{"taliun.configuration"});
}

TEST_F(PropertyHandlerSave, KeepsPermissionsAndOwner)
{
	WriteFile(m_strConfiguration, kExisting);
	ASSERT_EQ(chmod(m_strConfiguration.c_str(), 0640), 0);
	const bool bRoot = geteuid() == 0;
	if (bRoot)
	{
		ASSERT_EQ(chown(m_strConfiguration.c_str(), kNobody, kNobody), 0);
	}
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/host/other", "x"));
	struct stat st;
	ASSERT_EQ(stat(m_strConfiguration.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
	if (bRoot)
	{
		EXPECT_EQ(st.st_uid, kNobody);
		EXPECT_EQ(st.st_gid, kNobody);
	}
}

TEST_F(PropertyHandlerSave, NewFileFollowsTheUmask)
{
	mode_t old = umask(027);
	CPropertyHandler store(m_strConfiguration.c_str());
	bool bSet = store.Set("/a/b", "x");
	umask(old);
	ASSERT_TRUE(bSet);
	struct stat st;
	ASSERT_EQ(stat(m_strConfiguration.c_str(), &st), 0);
	EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(PropertyHandlerSave, SymbolicLinkStaysALink)
{
	const std::string strReal = m_strDirectory + "/real.configuration";
	WriteFile(strReal, kExisting);
	ASSERT_EQ(symlink("real.configuration", m_strConfiguration.c_str()), 0);
	CPropertyHandler store(m_strConfiguration.c_str());
	ASSERT_TRUE(store.Set("/host/other", "x"));
	struct stat st;
	ASSERT_EQ(lstat(m_strConfiguration.c_str(), &st), 0);
	EXPECT_TRUE(S_ISLNK(st.st_mode));
	EXPECT_NE(ReadFile(strReal).find("id=\"other\""), std::string::npos);
}

TEST_F(PropertyHandlerSave, FullDiskLeavesTheOldFile)
{
	WriteFile(m_strConfiguration, kExisting);
	g_ulErrorCount = 0;
	// A file-size limit makes writes fail with EFBIG like a full disk does.
	int nResult = RunInChild(
	    [&] {
		    signal(SIGXFSZ, SIG_IGN);
		    struct rlimit limit = {256, 256};
		    if (setrlimit(RLIMIT_FSIZE, &limit) != 0)
			    return 2;
		    CPropertyHandler store(m_strConfiguration.c_str());
		    return store.Set("/host/big", std::string(4000, 'x')) ? 1 : 0;
	    },
	    [&] { StartLogDaemon(); });
	EXPECT_EQ(nResult, 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), kExisting);
	std::vector<std::string> listNames = ListDirectory(m_strDirectory);
	EXPECT_EQ(listNames, (std::vector<std::string>{"taliun.configuration", "taliunlogd.socket"}));
	std::vector<std::string> listTexts = LogTextsUpToNow();
	ASSERT_EQ(listTexts.size(), 1u);
	EXPECT_EQ(listTexts[0].rfind("-- CPropertyHandler::Save(" + m_strConfiguration + ") <", 0), 0u) << listTexts[0];
}

TEST_F(PropertyHandlerSave, ReadOnlyDirectoryLeavesTheOldFile)
{
	// Tests run as root, which ignores permission bits: the write is attempted by a child that
	// has given up root for nobody.
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to switch to an unprivileged user";
	WriteFile(m_strConfiguration, kExisting);
	ASSERT_EQ(chmod(m_strDirectory.c_str(), 0755), 0);
	ASSERT_EQ(chmod(m_strConfiguration.c_str(), 0666), 0);
	int nResult = RunInChild([&] {
		if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
			return 2;
		CPropertyHandler store(m_strConfiguration.c_str());
		bool bSet = store.Set("/host/other", "x");
		bool bDelete = store.Delete("/host");
		return bSet || bDelete ? 1 : 0;
	});
	EXPECT_EQ(nResult, 0);
	EXPECT_EQ(ReadFile(m_strConfiguration), kExisting);
	EXPECT_EQ(ListDirectory(m_strDirectory), std::vector<std::string>{"taliun.configuration"});
}

TEST_F(PropertyHandlerSave, UnreadableFileIsNeverLost)
{
	if (geteuid() != 0)
		GTEST_SKIP() << "needs root to switch to an unprivileged user";
	// nobody may write the directory but not read the file. Where the system lets it link the
	// file, the link is the backup and the file is replaced; where it does not, no backup can
	// be made and the file must stay as it is.
	WriteFile(m_strConfiguration, kExisting);
	ASSERT_EQ(chmod(m_strDirectory.c_str(), 0777), 0);
	ASSERT_EQ(chmod(m_strConfiguration.c_str(), 0600), 0);
	int nResult = RunInChild([&] {
		if (setgid(kNobody) != 0 || setuid(kNobody) != 0)
			return 2;
		CPropertyHandler store(m_strConfiguration.c_str());
		return store.Set("/host/other", "x") ? 1 : 0;
	});
	const std::string strBackup = m_strConfiguration + ".bad.1";
	if (nResult == 1)
	{
		EXPECT_EQ(ReadFile(strBackup), kExisting);
		EXPECT_EQ(ListDirectory(m_strDirectory),
		          (std::vector<std::string>{"taliun.configuration", "taliun.configuration.bad.1"}));
	}
	else
	{
		EXPECT_EQ(nResult, 0);
		EXPECT_EQ(ReadFile(m_strConfiguration), kExisting);
		EXPECT_EQ(ListDirectory(m_strDirectory), std::vector<std::string>{"taliun.configuration"});
	}
}

TEST_F(PropertyHandlerSave, DirectoryPathThatIsAFileFails)
{
	const std::string strBlocker = m_strDirectory + "/blocker";
	WriteFile(strBlocker, "a plain file");
	const std::string strPath = strBlocker + "/taliun.configuration";
	CPropertyHandler store(strPath.c_str());
	EXPECT_FALSE(store.Set("/a/b", "x"));
	EXPECT_EQ(ReadFile(strBlocker), "a plain file");
}

TEST_F(PropertyHandlerSave, LongPathsWorkUpToTheSystemLimitAndFailCleanlyBeyond)
{
	// Nested directories bring the path to 4095 bytes, the longest the system takes.
	std::string strPath = m_strDirectory;
	while (strPath.size() + 1 + 200 + 1 + 21 < 4095)
	{
		strPath += "/" + std::string(200, 'd');
		ASSERT_EQ(mkdir(strPath.c_str(), 0700), 0);
	}
	strPath += "/" + std::string(4095 - strPath.size() - 1 - 21, 'd');
	ASSERT_EQ(mkdir(strPath.c_str(), 0700), 0);
	strPath += "/taliun.configuration";
	ASSERT_EQ(strPath.size(), 4095u);
	{
		CPropertyHandler store(strPath.c_str());
		EXPECT_TRUE(store.Set("/a/b", "x"));
		CPropertyHandler reread(strPath.c_str());
		std::string strValue;
		EXPECT_TRUE(reread.Get("/a/b", &strValue));
		EXPECT_EQ(strValue, "x");
	}
	StartLogDaemon();
	const std::string strTooLong = strPath + "x";
	CPropertyHandler store(strTooLong.c_str());
	EXPECT_FALSE(store.Set("/a/b", "x"));
	std::vector<std::string> listTexts = LogTextsUpToNow();
	// Log lines are cut at 2047 characters, before the reason.
	ASSERT_EQ(listTexts.size(), 2u);
	EXPECT_EQ(listTexts[0], ("-- CPropertyHandler::CPropertyHandle(" + strTooLong).substr(0, 2047));
	EXPECT_EQ(listTexts[1], ("-- CPropertyHandler::Save(" + strTooLong).substr(0, 2047));
}
