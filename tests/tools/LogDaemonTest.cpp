#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tools/LogDaemon.h"
#include "tools/ScopedLogDaemon.h"

namespace {

std::vector<unsigned char> Header(uint32_t kind, uint32_t level, uint32_t textLength,
                                  uint32_t dataLength) {
    uint32_t words[8] = {1700000000u, 123456u, 4321u, 4322u, kind, level, textLength, dataLength};
    std::vector<unsigned char> bytes(32);
    memcpy(bytes.data(), words, 32);
    return bytes;
}

// A raw client, to send the daemon what the component never would.
class RawClient {
public:
    explicit RawClient(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
        m_connected = connect(m_fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~RawClient() { Close(); }
    bool Connected() const { return m_connected; }
    bool Send(const std::vector<unsigned char>& bytes) {
        return send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(bytes.size());
    }
    bool Send(const std::string& s) { return Send(std::vector<unsigned char>(s.begin(), s.end())); }
    // Everything the daemon sends until it closes.
    std::string ReadAll() {
        std::string out;
        char buf[256];
        ssize_t n;
        while ((n = read(m_fd, buf, sizeof(buf))) > 0) out.append(buf, static_cast<size_t>(n));
        return out;
    }
    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

class LogDaemonTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_log.Ok()) << m_log.Error(); }
    std::string Path() { return m_log->SocketPath(); }
    // Sends a valid message on a new connection and waits until the daemon has it.
    void ExpectStillServing() {
        RawClient c(Path());
        ASSERT_TRUE(c.Connected());
        std::vector<unsigned char> msg = Header(0, 2, 2, 0);
        msg.push_back('o');
        msg.push_back('k');
        ASSERT_TRUE(c.Send(msg));
        c.Close();
        EXPECT_TRUE(m_log->WaitForText("ok"));
    }
    LogDaemonMessage Only() {
        EXPECT_TRUE(m_log->WaitForMessages(1));
        return m_log->Messages().at(0);
    }
    CScopedLogDaemon m_log;
};

class LogDaemonHostileInput : public LogDaemonTest {};
class LogDaemonRequests : public LogDaemonTest {};
class LogDaemonOutput : public LogDaemonTest {};
class LogDaemonStart : public LogDaemonTest {};

}  // namespace

TEST_F(LogDaemonRequests, ParsesEveryHeaderWordAndKeepsTheRawBytes) {
    RawClient c(Path());
    std::vector<unsigned char> msg = Header(0, 999, 3, 2);
    for (unsigned char b : {'a', 'b', 'c', '\x01', '\x02'}) msg.push_back(b);
    ASSERT_TRUE(c.Send(msg));
    c.Close();
    LogDaemonMessage m = Only();
    EXPECT_TRUE(m.complete);
    EXPECT_EQ(m.seconds, 1700000000u);
    EXPECT_EQ(m.microseconds, 123456u);
    EXPECT_EQ(m.pid, 4321u);
    EXPECT_EQ(m.tid, 4322u);
    EXPECT_EQ(m.level, 999u);
    EXPECT_EQ(m.text, "abc");
    EXPECT_EQ(m.data, (std::vector<unsigned char>{1, 2}));
    EXPECT_EQ(m.raw, msg);
    EXPECT_TRUE(m.error.empty());
}

TEST_F(LogDaemonRequests, AnswersConfigurationAndSettings) {
    m_log->SetConfig("cfg");
    m_log->SetSettings("set");
    for (uint32_t kind : {1u, 2u}) {
        RawClient c(Path());
        ASSERT_TRUE(c.Send(Header(kind, 0, 0, 0)));
        EXPECT_EQ(c.ReadAll(), std::string(kind == 1 ? "cfg" : "set") + '\0');
    }
}

TEST_F(LogDaemonRequests, StoresSettingsAndAnswersTheStatus) {
    RawClient c(Path());
    std::vector<unsigned char> req = Header(3, 0, 3, 0);
    for (unsigned char b : {'n', 'e', 'w', '\0'}) req.push_back(b);
    ASSERT_TRUE(c.Send(req));
    EXPECT_EQ(c.ReadAll(), std::string(4, '\0'));
    EXPECT_EQ(m_log->Settings(), "new");
}

TEST_F(LogDaemonHostileInput, SettingsWithoutTerminatorAreRefused) {
    m_log->SetSettings("old");
    RawClient c(Path());
    std::vector<unsigned char> req = Header(3, 0, 3, 0);
    for (unsigned char b : {'b', 'a', 'd', 'x'}) req.push_back(b);
    ASSERT_TRUE(c.Send(req));
    int32_t status = 0;
    std::string reply = c.ReadAll();
    ASSERT_EQ(reply.size(), 4u);
    memcpy(&status, reply.data(), 4);
    EXPECT_EQ(status, EINVAL);
    EXPECT_EQ(m_log->Settings(), "old");
}

TEST_F(LogDaemonHostileInput, LengthsBeyondTheBoundsAreRefused) {
    const std::vector<std::vector<unsigned char>> hostile = {
        Header(0, 0, 0xFFFFFFFFu, 0),
        Header(0, 0, 0, 0x80000000u),
        Header(0, 0, CLogDaemon::kMaxText + 1, 0),
        Header(0, 0, 0, CLogDaemon::kMaxData + 1),
        Header(3, 0, 0xFFFFFFFFu, 0),
        Header(1, 0, 5, 0),
        Header(2, 0, 0, 5),
        Header(7, 0, 0, 0),
        Header(0xFFFFFFFFu, 0, 0, 0),
    };
    for (const auto& header : hostile) {
        RawClient c(Path());
        ASSERT_TRUE(c.Send(header));
        // Refused requests are answered by a hang-up, not by waiting for the announced bytes.
        EXPECT_EQ(c.ReadAll(), "");
    }
    ASSERT_TRUE(m_log->WaitForMessages(hostile.size()));
    for (const LogDaemonMessage& m : m_log->Messages()) {
        EXPECT_FALSE(m.complete);
        EXPECT_FALSE(m.error.empty());
    }
    ExpectStillServing();
}

TEST_F(LogDaemonHostileInput, RequestCutShortIsRecordedAsIncomplete) {
    {
        RawClient c(Path());
        std::vector<unsigned char> partial = Header(0, 2, 10, 0);
        partial.resize(20);
        ASSERT_TRUE(c.Send(partial));
    }
    {
        RawClient c(Path());
        std::vector<unsigned char> msg = Header(0, 2, 10, 0);
        msg.push_back('x');
        ASSERT_TRUE(c.Send(msg));
    }
    ASSERT_TRUE(m_log->WaitForMessages(2));
    for (const LogDaemonMessage& m : m_log->Messages()) {
        EXPECT_FALSE(m.complete);
        EXPECT_TRUE(m.raw.size() == 20u || m.raw.size() == 33u) << m.raw.size();
    }
    ExpectStillServing();
}

TEST_F(LogDaemonHostileInput, TooManyConnectionsAreShedAndServiceResumes) {
    std::vector<std::unique_ptr<RawClient>> idle;
    for (unsigned i = 0; i < CLogDaemon::kMaxConnections + 8; ++i) {
        idle.push_back(std::make_unique<RawClient>(Path()));
        ASSERT_TRUE(idle.back()->Connected());
    }
    EXPECT_TRUE(m_log->WaitForClosedConnections(8));
    idle.clear();
    EXPECT_TRUE(m_log->WaitForClosedConnections(CLogDaemon::kMaxConnections + 8));
    ExpectStillServing();
}

TEST_F(LogDaemonRequests, ClientVanishingBeforeTheReplyDoesNotStopTheDaemon) {
    m_log->SetSettings(std::string(CLogDaemon::kMaxText, 's'));
    for (int i = 0; i < 20; ++i) {
        RawClient c(Path());
        ASSERT_TRUE(c.Send(Header(2, 0, 0, 0)));
    }
    ExpectStillServing();
}

TEST(LogDaemonFormat, EscapesControlBytesAndCapsTheHexDump) {
    LogDaemonMessage m;
    m.pid = 12;
    m.tid = 34;
    m.level = 2;
    m.text = "a\x1b[2Jb\n\\";
    for (int i = 0; i < 100; ++i) m.data.push_back(static_cast<unsigned char>(i));
    m.dataLength = 100;
    std::string line = CLogDaemon::FormatLine(m);
    EXPECT_NE(line.find(" pid 12 tid 34 level 2: a\\x1b[2Jb\\n\\\\ [100 bytes: 00 01 02"),
              std::string::npos)
        << line;
    EXPECT_NE(line.find(" 3e 3f ...]"), std::string::npos) << line;
    EXPECT_EQ(line.find(" 40"), std::string::npos) << line;
    EXPECT_EQ(line.find('\n'), std::string::npos);
}

TEST(LogDaemonFormat, NoDataNoDump) {
    LogDaemonMessage m;
    m.text = "plain";
    std::string line = CLogDaemon::FormatLine(m);
    EXPECT_EQ(line.substr(line.size() - 7), ": plain");
}

TEST(LogDaemonFormat, JournalPriorityFollowsTheLevel) {
    const struct {
        uint32_t level;
        const char* error;
        int priority;
    } cases[] = {{999, "", 1}, {0, "", 3}, {4, "", 6}, {2, "", 7}, {17, "", 7}, {2, "cut short", 4}};
    for (const auto& c : cases) {
        LogDaemonMessage m;
        m.level = c.level;
        m.error = c.error;
        EXPECT_EQ(CLogDaemon::JournalPriority(m), c.priority) << c.level << " " << c.error;
    }
}

TEST_F(LogDaemonOutput, EchoLinesCarryTheirPriorityForTheJournal) {
    std::string file = m_log.Folder() + "/echo.log";
    FILE* echo = fopen(file.c_str(), "w");
    ASSERT_NE(echo, nullptr);
    m_log->SetEcho(echo);
    m_log->SetEchoPriorities(true);
    for (uint32_t level : {0u, 2u}) {
        RawClient c(Path());
        std::vector<unsigned char> msg = Header(0, level, 1, 0);
        msg.push_back('x');
        ASSERT_TRUE(c.Send(msg));
        c.Close();
        ASSERT_TRUE(m_log->WaitForMessages(level == 0 ? 1 : 2));
    }
    m_log->SetEcho(nullptr);
    fclose(echo);
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].compare(0, 3, "<3>"), 0) << lines[0];
    EXPECT_EQ(lines[1].compare(0, 3, "<7>"), 0) << lines[1];
}

TEST_F(LogDaemonOutput, AppendsOneLinePerMessageToTheFile) {
    std::string file = m_log.Folder() + "/out.log";
    ASSERT_TRUE(m_log->SetOutputFile(file));
    for (const char* text : {"first", "second"}) {
        RawClient c(Path());
        std::vector<unsigned char> msg = Header(0, 2, static_cast<uint32_t>(strlen(text)), 0);
        msg.insert(msg.end(), text, text + strlen(text));
        ASSERT_TRUE(c.Send(msg));
    }
    ASSERT_TRUE(m_log->WaitForMessages(2));
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[0].find(" pid 4321 tid 4322 level 2: first"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find(": second"), std::string::npos) << lines[1];
}

TEST_F(LogDaemonStart, RefusesAPathThatIsNotASocket) {
    std::string file = m_log.Folder() + "/plain";
    std::ofstream(file) << "keep me";
    CLogDaemon other(file);
    std::string error;
    EXPECT_FALSE(other.Start(&error));
    EXPECT_FALSE(error.empty());
    std::ifstream in(file);
    std::string content;
    std::getline(in, content);
    EXPECT_EQ(content, "keep me");
}

TEST_F(LogDaemonStart, RefusesASocketAnotherDaemonServes) {
    CLogDaemon other(Path());
    EXPECT_FALSE(other.Start());
    ExpectStillServing();
}

TEST_F(LogDaemonStart, ReplacesAStaleSocket) {
    std::string stale = m_log.Folder() + "/stale.socket";
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, stale.c_str(), sizeof(addr.sun_path) - 1);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
    CLogDaemon other(stale);
    std::string error;
    EXPECT_TRUE(other.Start(&error)) << error;
    other.Stop();
    struct stat st;
    EXPECT_NE(lstat(stale.c_str(), &st), 0);
}

TEST_F(LogDaemonStart, RefusesAPathTooLongForASocket) {
    CLogDaemon other(m_log.Folder() + "/" + std::string(200, 'x'));
    EXPECT_FALSE(other.Start());
}
