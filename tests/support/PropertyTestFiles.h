#pragma once
// Temporary directories, whole-file reads and writes, and an in-process log daemon for the
// property store tests. Every test gets a fresh directory and points the configuration file and
// the log socket there.

#include <dirent.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "log/Log.h"
#include "tests/support/Files.h"
#include "tools/LogDaemon.h"

// Runs childBody in a child process and returns its exit status (or -1 when it did not exit).
// The child is forked before parentFirst runs here: a thread started there (the log daemon) may
// hold a lock of the allocator at any moment, and a child forked while it did would wait forever.
inline int RunInChild(const std::function<int()>& childBody, const std::function<void()>& parentFirst = nullptr)
{
	int afd[2];
	if (pipe(afd) != 0)
		return -1;
	const pid_t pid = fork();
	if (pid == 0)
	{
		close(afd[1]);
		char c = 0;
		_exit(read(afd[0], &c, 1) == 1 ? childBody() : 126);
	}
	close(afd[0]);
	if (pid > 0 && parentFirst)
		parentFirst();
	const bool bGo = pid > 0 && write(afd[1], "g", 1) == 1;
	close(afd[1]);
	int nStatus = 0;
	if (!bGo || waitpid(pid, &nStatus, 0) != pid || !WIFEXITED(nStatus))
		return -1;
	return WEXITSTATUS(nStatus);
}

using testsupport::ReadFile;

inline void WriteFile(const std::string& strPath, const std::string& strContent)
{
	std::ofstream out(strPath, std::ios::binary | std::ios::trunc);
	out << strContent;
}

inline bool FileExists(const std::string& strPath)
{
	struct stat st;
	return lstat(strPath.c_str(), &st) == 0;
}

inline std::vector<std::string> ListDirectory(const std::string& strDirectory)
{
	std::vector<std::string> listNames;
	DIR* pDir = opendir(strDirectory.c_str());
	if (pDir == nullptr)
		return listNames;
	while (dirent* pEntry = readdir(pDir))
	{
		std::string strName = pEntry->d_name;
		if (strName != "." && strName != "..")
			listNames.push_back(strName);
	}
	closedir(pDir);
	std::sort(listNames.begin(), listNames.end());
	return listNames;
}

inline void RemoveTree(const std::string& strPath)
{
	struct stat st;
	if (lstat(strPath.c_str(), &st) != 0)
		return;
	if (S_ISDIR(st.st_mode))
	{
		chmod(strPath.c_str(), 0700);
		for (const std::string& strName : ListDirectory(strPath))
			RemoveTree(strPath + "/" + strName);
		rmdir(strPath.c_str());
	}
	else
	{
		unlink(strPath.c_str());
	}
}

// A fresh directory with the configuration file and the log socket inside it; the environment
// points both there for the duration of the test.
class PropertyTestDirectory : public ::testing::Test
{
protected:
	void SetUp() override
	{
		char szTemplate[] = "/tmp/taliun-property-XXXXXX";
		ASSERT_NE(mkdtemp(szTemplate), nullptr);
		m_strDirectory = szTemplate;
		m_strConfiguration = m_strDirectory + "/taliun.configuration";
		setenv("TALIUN_CONFIGURATION", m_strConfiguration.c_str(), 1);
		setenv("TALIUN_LOG_SOCKET", (m_strDirectory + "/taliunlogd.socket").c_str(), 1);
	}

	void TearDown() override
	{
		if (m_pDaemon)
			m_pDaemon->Stop();
		m_pDaemon.reset();
		RemoveTree(m_strDirectory);
	}

	// Starts the daemon on the test's socket; log lines sent from then on are recorded.
	void StartLogDaemon()
	{
		// Lines lost while no daemon listened would be reported with the next one.
		g_ulErrorCount = 0;
		m_pDaemon.reset(new CLogDaemon(m_strDirectory + "/taliunlogd.socket"));
		std::string strError;
		ASSERT_TRUE(m_pDaemon->Start(&strError)) << strError;
	}

	// Texts received so far, in arrival order.
	std::vector<std::string> LogTexts() const
	{
		std::vector<std::string> listTexts;
		for (const LogDaemonMessage& message : m_pDaemon->Messages())
			listTexts.push_back(message.text);
		return listTexts;
	}

	// Sends a marker line and waits for it: every line logged before it was sent on an earlier
	// connection, which the daemon accepted first. Returns the lines other than markers.
	std::vector<std::string> LogTextsUpToNow()
	{
		static int s_nMarker = 0;
		const std::string strMarker = "test marker " + std::to_string(++s_nMarker);
		LogMsg(0, "%s", strMarker.c_str());
		EXPECT_TRUE(m_pDaemon->WaitFor([&](const std::vector<LogDaemonMessage>& messages) {
			for (const LogDaemonMessage& message : messages)
				if (message.text == strMarker)
					return true;
			return false;
		}));
		std::vector<std::string> listTexts;
		for (const std::string& strText : LogTexts())
			if (strText.compare(0, 12, "test marker ") != 0)
				listTexts.push_back(strText);
		return listTexts;
	}

	std::string m_strDirectory;
	std::string m_strConfiguration;
	std::unique_ptr<CLogDaemon> m_pDaemon;
};
