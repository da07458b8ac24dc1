#pragma once
#include <gtest/gtest.h>
#include <stdint.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "tools/ScopedLogDaemon.h"
#include "tests/support/TestData.h"

namespace logtest {

using testsupport::WordAt;

inline uint32_t ThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

// Long-message workers run detached; tests wait for them before looking at the counters.
inline bool WaitForWorkers(unsigned timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (g_ulThreadCount.load() != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Each test gets its own daemon on a temporary socket, and counters that start at zero.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_log.Ok()) << m_log.Error();
        ASSERT_TRUE(WaitForWorkers());
        g_ulErrorCount = 0;
    }
    void TearDown() override { EXPECT_TRUE(WaitForWorkers()); }

    CScopedLogDaemon m_log;
};

}  // namespace logtest
