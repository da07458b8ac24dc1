#include <errno.h>

#include <string>

#include "LogTestSupport.h"

using logtest::LogFixture;
using logtest::WordAt;

namespace {
class LogSettings : public LogFixture {};
}  // namespace

TEST_F(LogSettings, ConfigurationAndSettingsComeFromTheDaemon) {
    m_log->SetConfig("socket=test");
    m_log->SetSettings("level=2");
    EXPECT_EQ(GetLogConfig(), "socket=test");
    EXPECT_EQ(GetLogSettings(), "level=2");
    ASSERT_TRUE(m_log->WaitForMessages(2));
    std::vector<LogDaemonMessage> requests = m_log->Messages();
    for (uint32_t kind : {1u, 2u}) {
        const LogDaemonMessage& req = requests[kind - 1];
        ASSERT_EQ(req.raw.size(), 32u);
        EXPECT_EQ(WordAt(req.raw, 2), static_cast<uint32_t>(getpid()));
        EXPECT_EQ(WordAt(req.raw, 3), logtest::ThreadId());
        EXPECT_EQ(WordAt(req.raw, 4), kind);
        for (size_t w = 5; w < 8; ++w) EXPECT_EQ(WordAt(req.raw, w), 0u) << "word " << w;
    }
    EXPECT_EQ(g_ulErrorCount.load(), 0u);
}

TEST_F(LogSettings, SetSendsTheStringWithItsTerminator) {
    EXPECT_EQ(SetLogSettings("level=4"), 0);
    EXPECT_EQ(m_log->Settings(), "level=4");
    EXPECT_EQ(GetLogSettings(), "level=4");
    ASSERT_TRUE(m_log->WaitForMessages(1));
    LogDaemonMessage req = m_log->Messages().at(0);
    ASSERT_EQ(req.raw.size(), 32u + 8u);
    EXPECT_EQ(WordAt(req.raw, 4), 3u);
    EXPECT_EQ(WordAt(req.raw, 5), 0u);
    EXPECT_EQ(WordAt(req.raw, 6), 7u);
    EXPECT_EQ(WordAt(req.raw, 7), 0u);
    EXPECT_EQ(std::string(req.raw.begin() + 32, req.raw.end()), std::string("level=4\0", 8));
}

TEST_F(LogSettings, EmptySettingsSendOneNulByte) {
    m_log->SetSettings("previous");
    EXPECT_EQ(SetLogSettings(""), 0);
    ASSERT_TRUE(m_log->WaitForMessages(1));
    LogDaemonMessage req = m_log->Messages().at(0);
    ASSERT_EQ(req.raw.size(), 33u);
    EXPECT_EQ(WordAt(req.raw, 6), 0u);
    EXPECT_EQ(req.raw[32], 0);
    EXPECT_EQ(m_log->Settings(), "");
}

TEST_F(LogSettings, SetReturnsTheDaemonsStatusWord) {
    m_log->SetStatusReply(-7);
    EXPECT_EQ(SetLogSettings("x"), -7);
    m_log->SetStatusReply(0x12345678);
    EXPECT_EQ(SetLogSettings("y"), 0x12345678);
}

TEST_F(LogSettings, ReplyCutBeforeItsNulIsDropped) {
    m_log->SetSettings("partial");
    m_log->SetFault(CLogDaemon::Fault::CloseBeforeNul);
    EXPECT_EQ(GetLogSettings(), "");
    EXPECT_EQ(GetLogConfig(), "");
    EXPECT_EQ(g_ulErrorCount.load(), 2u);
}

TEST_F(LogSettings, DaemonHangingUpBeforeTheStatusIsAFailure) {
    m_log->SetFault(CLogDaemon::Fault::CloseBeforeStatus);
    EXPECT_EQ(SetLogSettings("level=2"), ECONNRESET);
}

TEST_F(LogSettings, DaemonClosingAtOnceGivesEmptyRepliesAndAFailure) {
    m_log->SetFault(CLogDaemon::Fault::CloseOnAccept);
    EXPECT_EQ(GetLogConfig(), "");
    EXPECT_NE(SetLogSettings("level=2"), 0);
}

TEST_F(LogSettings, NoDaemonGivesEmptyRepliesAndConnectionRefused) {
    m_log.StopDaemon();
    EXPECT_EQ(GetLogConfig(), "");
    EXPECT_EQ(GetLogSettings(), "");
    EXPECT_EQ(SetLogSettings("level=2"), ECONNREFUSED);
    EXPECT_EQ(g_ulErrorCount.load(), 3u);
}
