#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/Log.h"
#include "tests/support/Files.h"
#include "tools/ScopedLogDaemon.h"

extern char** environ;

namespace {

pid_t Spawn(const std::vector<std::string>& args, const std::string& stdoutFile) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, TALIUNLOGD_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

using testsupport::ReadFile;

// Polls a condition on another process's output; there is nothing to wait on directly.
template <class F>
bool Eventually(F f, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!f()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

int Finish(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(TaliunlogdProgram, HelpDescribesTheOptions) {
    CScopedLogDaemon scoped(false);
    std::string out = scoped.Folder() + "/help.txt";
    pid_t pid = Spawn({"taliunlogd", "--help"}, out);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Finish(pid), 0);
    std::string text = ReadFile(out);
    for (const char* option : {"--foreground", "--socket", "--output", "--help"}) {
        EXPECT_NE(text.find(option), std::string::npos) << option;
    }
}

TEST(TaliunlogdProgram, UnknownOptionFails) {
    CScopedLogDaemon scoped(false);
    pid_t pid = Spawn({"taliunlogd", "--bogus"}, scoped.Folder() + "/out.txt");
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Finish(pid), 2);
}

TEST(TaliunlogdProgram, ReceivesPrintsAndAnswersUntilTerminated) {
    CScopedLogDaemon scoped(false);
    const std::string socketPath = scoped.Folder() + "/sub/taliunlogd.socket";
    const std::string outputFile = scoped.Folder() + "/messages.log";
    const std::string stdoutFile = scoped.Folder() + "/stdout.txt";
    setenv("TALIUN_LOG_SOCKET", socketPath.c_str(), 1);
    pid_t pid = Spawn(
        {"taliunlogd", "--foreground", "--socket", socketPath, "--output", outputFile}, stdoutFile);
    ASSERT_GT(pid, 0);
    // Ready once it answers a request.
    ASSERT_TRUE(Eventually([&] { return !GetLogConfig().empty(); }));
    EXPECT_EQ(GetLogConfig(), "socket=" + socketPath + ";output=" + outputFile);
    EXPECT_EQ(SetLogSettings("level=2"), 0);
    EXPECT_EQ(GetLogSettings(), "level=2");
    const unsigned char data[] = {0xde, 0xad};
    Log(2, data, 2, "-- Write(%d) <%s>", 5, "PHR_SUCCESS");
    const std::string expected = "level 2: -- Write(5) <PHR_SUCCESS> [2 bytes: de ad]";
    EXPECT_TRUE(
        Eventually([&] { return ReadFile(outputFile).find(expected) != std::string::npos; }));
    EXPECT_TRUE(
        Eventually([&] { return ReadFile(stdoutFile).find(expected) != std::string::npos; }));
    kill(pid, SIGTERM);
    EXPECT_EQ(Finish(pid), 0);
    struct stat st;
    EXPECT_NE(lstat(socketPath.c_str(), &st), 0) << "socket left behind";
}
