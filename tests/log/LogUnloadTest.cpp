#include <dlfcn.h>
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "tools/ScopedLogDaemon.h"

namespace {

using LogRawFn = void (*)(int, const void*, unsigned int);

}  // namespace

TEST(LogUnload, WaitsForLongMessageWorkers) {
    CScopedLogDaemon log;
    ASSERT_TRUE(log.Ok()) << log.Error();
    std::vector<unsigned char> data(0x10000 + 1000, 0x5A);
    const int rounds = 20;
    for (int i = 0; i < rounds; ++i) {
        void* module = dlopen(TALIUN_LOG_MODULE, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(module, nullptr) << dlerror();
        auto logRaw = reinterpret_cast<LogRawFn>(dlsym(module, "LogRaw"));
        ASSERT_NE(logRaw, nullptr);
        auto* threadCount =
            static_cast<std::atomic<unsigned int>*>(dlsym(module, "g_ulThreadCount"));
        ASSERT_NE(threadCount, nullptr);
        // The call returns while its worker is still to run; unloading right away must wait for
        // the worker, or the worker would run code that is no longer mapped.
        logRaw(2, data.data(), static_cast<unsigned int>(data.size()));
        ASSERT_EQ(dlclose(module), 0);
        EXPECT_EQ(dlopen(TALIUN_LOG_MODULE, RTLD_NOW | RTLD_NOLOAD), nullptr)
            << "module stayed loaded; the unload was not exercised";
    }
    // Every worker finished its write before its module went away.
    EXPECT_TRUE(log->WaitForMessages(rounds));
    for (const LogDaemonMessage& msg : log->Messages()) {
        EXPECT_TRUE(msg.complete);
        EXPECT_EQ(msg.data.size(), data.size());
    }
}

TEST(LogUnload, ExportsNoDataSymbolNamedWait) {
    void* module = dlopen(TALIUN_LOG_MODULE, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    // The lookup through the module may only find the C library's wait(), never an object of the
    // module that would replace it for the whole process.
    void* found = dlsym(module, "wait");
    if (found != nullptr) {
        Dl_info info;
        ASSERT_NE(dladdr(found, &info), 0);
        void* exported = dlsym(module, "LogRaw");
        Dl_info mine;
        ASSERT_NE(dladdr(exported, &mine), 0);
        EXPECT_NE(info.dli_fbase, mine.dli_fbase) << "wait resolves into " << info.dli_fname;
    }
    dlclose(module);
}
