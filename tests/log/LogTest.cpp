#include <sys/time.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "LogTestSupport.h"
#include "log/Log.h"

using logtest::LogFixture;
using logtest::ThreadId;
using logtest::WaitForWorkers;
using logtest::WordAt;
using testsupport::Pattern;
using testsupport::ToBytes;

namespace {

void Append(std::vector<unsigned char>* out, const std::vector<unsigned char>& more) {
    out->insert(out->end(), more.begin(), more.end());
}

class LogWire : public LogFixture {};
class LogText : public LogFixture {};
class LogData : public LogFixture {};
class LogLost : public LogFixture {};
class LogBadInput : public LogFixture {};
class LogPeerClosed : public LogFixture {};

}  // namespace

TEST_F(LogWire, LogMsgSendsHeaderAndTextByteForByte) {
    timeval before, after;
    gettimeofday(&before, nullptr);
    LogMsg(2, "-- Open(%d, %s) <PHR_SUCCESS>", 3, "QX/Printer");
    gettimeofday(&after, nullptr);
    const std::string text = "-- Open(3, QX/Printer) <PHR_SUCCESS>";
    LogDaemonMessage msg;
    ASSERT_TRUE(m_log->WaitForText(text, &msg));
    ASSERT_EQ(msg.raw.size(), 32 + text.size());
    EXPECT_GE(WordAt(msg.raw, 0), static_cast<uint32_t>(before.tv_sec));
    EXPECT_LE(WordAt(msg.raw, 0), static_cast<uint32_t>(after.tv_sec));
    EXPECT_LT(WordAt(msg.raw, 1), 1000000u);
    EXPECT_EQ(WordAt(msg.raw, 2), static_cast<uint32_t>(getpid()));
    EXPECT_EQ(WordAt(msg.raw, 3), ThreadId());
    EXPECT_EQ(WordAt(msg.raw, 4), 0u);
    EXPECT_EQ(WordAt(msg.raw, 5), 2u);
    EXPECT_EQ(WordAt(msg.raw, 6), text.size());
    EXPECT_EQ(WordAt(msg.raw, 7), 0u);
    EXPECT_EQ(std::string(msg.raw.begin() + 32, msg.raw.end()), text);
}

TEST_F(LogWire, LogSendsTextThenData) {
    const unsigned char data[] = {0x1B, 0x40, 0x00, 0xFF, 0x0A};
    Log(2, data, sizeof(data), "-- Write(%d) <%s>", 7, "PHR_SUCCESS");
    LogDaemonMessage msg;
    ASSERT_TRUE(m_log->WaitForText("-- Write(7) <PHR_SUCCESS>", &msg));
    std::vector<unsigned char> body = ToBytes("-- Write(7) <PHR_SUCCESS>");
    Append(&body, std::vector<unsigned char>(data, data + sizeof(data)));
    EXPECT_EQ(std::vector<unsigned char>(msg.raw.begin() + 32, msg.raw.end()), body);
    EXPECT_EQ(WordAt(msg.raw, 6), 25u);
    EXPECT_EQ(WordAt(msg.raw, 7), sizeof(data));
}

TEST_F(LogWire, LogRawSendsDataWithEmptyText) {
    std::vector<unsigned char> data = Pattern(300, 7);
    LogRaw(999, data.data(), static_cast<unsigned>(data.size()));
    ASSERT_TRUE(m_log->WaitForMessages(1));
    LogDaemonMessage msg = m_log->Messages().at(0);
    EXPECT_TRUE(msg.complete);
    EXPECT_EQ(WordAt(msg.raw, 5), 999u);
    EXPECT_EQ(WordAt(msg.raw, 6), 0u);
    EXPECT_EQ(WordAt(msg.raw, 7), 300u);
    EXPECT_EQ(std::vector<unsigned char>(msg.raw.begin() + 32, msg.raw.end()), data);
}

TEST_F(LogText, LongerTextIsCutTo2047Characters) {
    for (size_t length : {2046u, 2047u, 2048u, 5000u}) {
        m_log->Clear();
        std::string text(length, 'a');
        text[0] = 'b';
        LogMsg(0, "%s", text.c_str());
        ASSERT_TRUE(m_log->WaitFor([](const auto& m) { return !m.empty(); }));
        LogDaemonMessage msg = m_log->Messages().at(0);
        size_t expected = length < 2047 ? length : 2047;
        EXPECT_EQ(WordAt(msg.raw, 6), expected) << length;
        EXPECT_EQ(msg.text, text.substr(0, expected)) << length;
        EXPECT_EQ(msg.raw.size(), 32 + expected) << length;
    }
}

TEST_F(LogData, DirectLimitIsWrittenByTheCaller) {
    // With no daemon, a message written by the caller is counted lost before the call returns.
    m_log.StopDaemon();
    std::vector<unsigned char> data = Pattern(LOG_MAX_DIRECT_DATA, 1);
    EXPECT_EQ(DumpMessage(2, data.data(), LOG_MAX_DIRECT_DATA, "direct"), 0);
    EXPECT_EQ(g_ulErrorCount.load(), 1u);
    EXPECT_EQ(g_ulThreadCount.load(), 0u);
}

TEST_F(LogData, AboveTheLimitIsHandedToAWorker) {
    // The caller is told "handed over"; the worker finds no daemon and counts the loss later.
    m_log.StopDaemon();
    std::vector<unsigned char> data = Pattern(LOG_MAX_DIRECT_DATA + 1, 2);
    EXPECT_EQ(DumpMessage(2, data.data(), LOG_MAX_DIRECT_DATA + 1, "worker"), 1);
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(g_ulErrorCount.load(), 1u);
}

TEST_F(LogData, DirectLimitArrivesWhole) {
    std::vector<unsigned char> data = Pattern(LOG_MAX_DIRECT_DATA, 3);
    Log(2, data.data(), LOG_MAX_DIRECT_DATA, "direct %u", LOG_MAX_DIRECT_DATA);
    LogDaemonMessage msg;
    ASSERT_TRUE(m_log->WaitForText("direct 65536", &msg));
    EXPECT_EQ(msg.data, data);
    EXPECT_EQ(WordAt(msg.raw, 7), LOG_MAX_DIRECT_DATA);
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogData, WorkerSendsACopyTakenBeforeTheCallReturns) {
    std::vector<unsigned char> data = Pattern(LOG_MAX_DIRECT_DATA + 1, 4);
    const std::vector<unsigned char> original = data;
    Log(2, data.data(), static_cast<unsigned>(data.size()), "long");
    // The caller may reuse its buffer at once.
    std::fill(data.begin(), data.end(), 0xEE);
    LogDaemonMessage msg;
    ASSERT_TRUE(m_log->WaitForText("long", &msg));
    EXPECT_EQ(msg.data, original);
    EXPECT_EQ(msg.raw.size(), 32 + 4 + original.size());
    // The header was made by the caller, on the caller's thread.
    EXPECT_EQ(WordAt(msg.raw, 3), ThreadId());
    EXPECT_EQ(WordAt(msg.raw, 7), original.size());
    ASSERT_TRUE(WaitForWorkers());
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogLost, CountIsReportedAfterTheDaemonComesBack) {
    m_log.StopDaemon();
    for (int i = 0; i < 3; ++i) LogMsg(2, "lost %d", i);
    EXPECT_EQ(g_ulErrorCount.load(), 3u);
    ASSERT_TRUE(m_log.StartDaemon()) << m_log.Error();
    LogMsg(2, "back");
    ASSERT_TRUE(m_log->WaitForMessages(2));
    std::vector<LogDaemonMessage> messages = m_log->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "back");
    EXPECT_EQ(messages[1].text, "3 messages lost");
    EXPECT_EQ(messages[1].level, 0u);
    EXPECT_EQ(messages[1].dataLength, 0u);
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogLost, NothingIsReportedWhileTheDaemonStaysAway) {
    m_log.StopDaemon();
    LogMsg(2, "one");
    LogRaw(2, "x", 1);
    Log(2, "y", 1, "three");
    EXPECT_EQ(g_ulErrorCount.load(), 3u);
}

TEST_F(LogLost, ConcurrentLossesAreAllCounted) {
    m_log.StopDaemon();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([] {
            for (int i = 0; i < 250; ++i) LogMsg(2, "lost");
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(g_ulErrorCount.load(), 1000u);
}

TEST_F(LogBadInput, NullFormatSendsEmptyText) {
    LogMsg(0, nullptr);
    ASSERT_TRUE(m_log->WaitForText(""));
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogBadInput, NullDataWithZeroLengthIsAnEmptyBlock) {
    LogRaw(2, nullptr, 0);
    Log(2, nullptr, 0, "no data");
    ASSERT_TRUE(m_log->WaitForText("no data"));
    ASSERT_TRUE(m_log->WaitForText(""));
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogBadInput, UnsendableDataIsCountedLostWithoutSendingAnything) {
    const char small[8] = "abcdefg";
    Log(2, nullptr, 5, "null data");
    LogRaw(2, nullptr, LOG_MAX_DIRECT_DATA + 1);
    LogRaw(2, small, 0x80000000u | 5);
    EXPECT_EQ(DumpMessage(2, small, 0xFFFFFFFFu, "top bit"), 0);
    EXPECT_EQ(g_ulErrorCount.load(), 4u);
    // No connection was made for them: the marker is the first the daemon sees, and the loss
    // report follows it.
    LogMsg(2, "marker");
    ASSERT_TRUE(m_log->WaitForClosedConnections(2));
    std::vector<LogDaemonMessage> messages = m_log->Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].text, "marker");
    EXPECT_EQ(messages[1].text, "4 messages lost");
}

TEST_F(LogBadInput, NullTextIsEmptyText) {
    const unsigned char data[] = {1, 2, 3};
    EXPECT_EQ(DumpMessage(4, data, 3, nullptr), 1);
    ASSERT_TRUE(m_log->WaitForMessages(1));
    LogDaemonMessage msg = m_log->Messages().at(0);
    EXPECT_EQ(msg.textLength, 0u);
    EXPECT_EQ(msg.data, std::vector<unsigned char>(data, data + 3));
}

TEST_F(LogPeerClosed, DaemonClosingMidMessageDoesNotHurtTheCaller) {
    m_log->SetFault(CLogDaemon::Fault::CloseAfterBytes, 40);
    // Small enough for the kernel to queue the data in one piece, so the daemon cannot hang up
    // between two pieces of one write.
    std::vector<unsigned char> data = Pattern(16384, 5);
    Log(2, data.data(), 16384, "cut");
    ASSERT_TRUE(m_log->WaitForMessages(1));
    LogDaemonMessage cut = m_log->Messages().at(0);
    EXPECT_FALSE(cut.complete);
    ASSERT_EQ(cut.raw.size(), 40u);
    EXPECT_EQ(WordAt(cut.raw, 6), 3u);
    EXPECT_EQ(WordAt(cut.raw, 7), 16384u);
    EXPECT_EQ(std::string(cut.raw.begin() + 32, cut.raw.begin() + 35), "cut");
    // The whole message fit in the socket before the daemon hung up: delivered, not lost.
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
    m_log->SetFault(CLogDaemon::Fault::None);
    LogMsg(2, "after");
    EXPECT_TRUE(m_log->WaitForText("after"));
}

TEST_F(LogPeerClosed, DaemonClosingOnAcceptNeverRaisesSigpipe) {
    // Whether a write meets the closed peer or fits in the socket first, the process must live
    // on (SIGPIPE keeps its default action, which would end it) and the logging go on.
    m_log->SetFault(CLogDaemon::Fault::CloseOnAccept);
    std::vector<unsigned char> data = Pattern(1000, 6);
    for (int i = 0; i < 50; ++i) Log(2, data.data(), 1000, "closed %d", i);
    m_log->SetFault(CLogDaemon::Fault::None);
    LogMsg(2, "still alive");
    EXPECT_TRUE(m_log->WaitForText("still alive"));
}

TEST(LogSocket, DefaultPathUnlessTheEnvironmentNamesOne) {
    CScopedLogDaemon scoped(false);
    EXPECT_EQ(std::string(LogSocketPath()), scoped.Folder() + "/taliunlogd.socket");
    setenv("TALIUN_LOG_SOCKET", "", 1);
    EXPECT_STREQ(LogSocketPath(), "/var/korvo/taliun/taliunlogd.socket");
    unsetenv("TALIUN_LOG_SOCKET");
    EXPECT_STREQ(LogSocketPath(), "/var/korvo/taliun/taliunlogd.socket");
}

TEST(LogSocket, PathTooLongForASocketLosesTheMessage) {
    CScopedLogDaemon scoped(false);
    ASSERT_TRUE(WaitForWorkers());
    g_ulErrorCount = 0;
    std::string path = scoped.Folder() + "/" + std::string(200, 's');
    setenv("TALIUN_LOG_SOCKET", path.c_str(), 1);
    LogMsg(0, "nowhere");
    EXPECT_EQ(g_ulErrorCount.load(), 1u);
}
