#include <gtest/gtest.h>

#include "LogTestSupport.h"
#include "log/LogPipe.h"

using logtest::LogFixture;

namespace {
class LogPipeWrite : public LogFixture {};
}  // namespace

TEST_F(LogPipeWrite, PeerThatClosedCountsAsWrittenAndRaisesNoSignal) {
    m_log->SetFault(CLogDaemon::Fault::CloseOnAccept);
    CLogPipe pipe;
    ASSERT_EQ(pipe.OpenPipe(1), 1);
    // The daemon has hung up before anything was written: every write now meets EPIPE. With
    // SIGPIPE at its default action, a raised signal would end this test program.
    ASSERT_TRUE(m_log->WaitForClosedConnections(1));
    const char header[32] = {};
    EXPECT_EQ(pipe.Write(header, sizeof(header)), 1);
    EXPECT_EQ(pipe.Write(header, sizeof(header)), 1);
    EXPECT_EQ(pipe.Close(), 1);
    EXPECT_EQ(pipe.Close(), 1);
}

TEST_F(LogPipeWrite, UnopenedPipeFailsAndZeroLengthSucceeds) {
    CLogPipe pipe;
    const char byte = 0;
    EXPECT_EQ(pipe.Write(&byte, 1), 0);
    EXPECT_EQ(pipe.Write(&byte, 0), 1);
    char buffer[4];
    EXPECT_EQ(pipe.Read(buffer, sizeof(buffer)), -1);
}

TEST_F(LogPipeWrite, OpenFailsWithoutADaemon) {
    m_log.StopDaemon();
    CLogPipe pipe;
    EXPECT_EQ(pipe.OpenPipe(0), 0);
    EXPECT_EQ(pipe.OpenPipe(1), 0);
}
