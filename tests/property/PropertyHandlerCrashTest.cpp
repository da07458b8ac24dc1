// A process killed at random moments while it keeps saving never leaves a truncated or
// malformed configuration file behind.

#include "property/PropertyHandler.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <random>
#include <string>

#include "markup/Markup.h"
#include "tests/support/PropertyTestFiles.h"

using PropertyHandlerCrash = PropertyTestDirectory;

TEST_F(PropertyHandlerCrash, KilledWhileSavingLeavesACompleteFile)
{
	// A large file makes each save take long enough to be hit in the middle.
	{
		CPropertyHandler store(m_strConfiguration.c_str());
		for (int i = 0; i < 200; ++i)
			ASSERT_TRUE(store.Set("/host/entry" + std::to_string(i), std::string(500, 'a' + i % 26)));
		ASSERT_TRUE(store.Set("/component/counter", 0u));
	}
	const std::string strBaseline = ReadFile(m_strConfiguration);

	const unsigned uSeed = std::random_device()();
	std::printf("seed %u\n", uSeed);
	std::mt19937 generator(uSeed);
	std::uniform_int_distribution<int> delayUs(0, 20000);

	const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
	int nRuns = 0;
	unsigned ulHighest = 0;
	while (nRuns < 400 && std::chrono::steady_clock::now() < deadline)
	{
		int afd[2];
		ASSERT_EQ(pipe(afd), 0);
		pid_t pid = fork();
		ASSERT_GE(pid, 0);
		if (pid == 0)
		{
			close(afd[0]);
			CPropertyHandler store(m_strConfiguration.c_str());
			unsigned ulCounter = 0;
			store.Get("/component/counter", &ulCounter);
			bool bSignalled = false;
			for (;;)
			{
				if (!store.Set("/component/counter", ++ulCounter))
					_exit(3);
				if (!bSignalled)
				{
					// The parent starts its random delay once saving is under way.
					bSignalled = write(afd[1], "s", 1) == 1;
				}
			}
		}
		close(afd[1]);
		char c;
		ASSERT_EQ(read(afd[0], &c, 1), 1);
		close(afd[0]);
		usleep(static_cast<useconds_t>(delayUs(generator)));
		kill(pid, SIGKILL);
		int nStatus = 0;
		ASSERT_EQ(waitpid(pid, &nStatus, 0), pid);
		ASSERT_TRUE(WIFSIGNALED(nStatus)) << "the saving child stopped on its own, run " << nRuns;
		++nRuns;

		CMarkup document;
		ASSERT_TRUE(document.Load(m_strConfiguration)) << "seed " << uSeed << ", run " << nRuns << ": "
		                                               << document.GetError();
		CPropertyHandler check(m_strConfiguration.c_str());
		unsigned ulCounter = 0;
		ASSERT_TRUE(check.Get("/component/counter", &ulCounter)) << "seed " << uSeed << ", run " << nRuns;
		ASSERT_GE(ulCounter, ulHighest) << "a saved value went back, seed " << uSeed;
		ulHighest = ulCounter;
		std::string strEntry;
		ASSERT_TRUE(check.Get("/host/entry199", &strEntry)) << "seed " << uSeed << ", run " << nRuns;
		ASSERT_EQ(strEntry, std::string(500, 'a' + 199 % 26));
		ASSERT_EQ(ReadFile(m_strConfiguration).size(),
		          strBaseline.size() + std::to_string(ulCounter).size() - 1);
	}
	std::printf("%d kills, counter reached %u\n", nRuns, ulHighest);
	EXPECT_GE(nRuns, 20);
	EXPECT_GT(ulHighest, 0u);
}
