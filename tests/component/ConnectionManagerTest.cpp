#include "component/ConnectionManager.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tests/component/FakeComponent.h"
#include "tests/support/TestData.h"

namespace {

struct SINK_EVENT {
    void* hHandle;
    unsigned int ulCode;
    std::string strData;
};

std::mutex g_sinkMutex;
std::vector<SINK_EVENT> g_vecSinkEvents;

unsigned int RecordingSink(void* hHandle, unsigned int ulCode, CData data)
{
    std::lock_guard<std::mutex> guard(g_sinkMutex);
    g_vecSinkEvents.push_back(
        SINK_EVENT{hHandle, ulCode, std::string(reinterpret_cast<const char*>(data.Buffer()), data.Length())});
    return 0;
}

std::vector<SINK_EVENT> SinkEvents()
{
    std::lock_guard<std::mutex> guard(g_sinkMutex);
    return g_vecSinkEvents;
}

unsigned int DummyOpen(void*, std::string, _PORTHANDLERCOMPONENT*) { return PHR_SUCCESS; }
unsigned int DummyClose(void*) { return PHR_SUCCESS; }
unsigned int DummyWrite(void*, CData, unsigned int*) { return PHR_SUCCESS; }
unsigned int DummyIoctl(void*, unsigned int, CData, CData*) { return PHR_SUCCESS; }

void* H(std::size_t n) { return reinterpret_cast<void*>(n); }

using testsupport::ToData;

class ConnectionManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        CFakeComponent::Reset();
        std::lock_guard<std::mutex> guard(g_sinkMutex);
        g_vecSinkEvents.clear();
        m_next = _PORTHANDLERCOMPONENT();
        m_next.Event = &RecordingSink;
    }
    void TearDown() override
    {
        CFakeManager::RemoveAllConnections();
        EXPECT_EQ(CFakeComponent::s_nLive.load(), 0) << "a component object outlived its connections";
    }

    unsigned int Open(void* h, const std::string& strPath) { return CFakeManager::ExternalOpen(h, strPath, &m_next); }

    _PORTHANDLERCOMPONENT m_next;
};

std::vector<FAKE_CALL> CallsOf(const std::string& strOperation)
{
    std::vector<FAKE_CALL> vec;
    for (const FAKE_CALL& call : CFakeComponent::Calls()) {
        if (call.strOperation == strOperation)
            vec.push_back(call);
    }
    return vec;
}

TEST_F(ConnectionManagerTest, OpenPathWithTwoSegmentsReachesTheComponent)
{
    const char* apszPaths[] = {"QX/PORT1", "/QX/PORT1/", "QX//PORT1", "//QX///PORT1//"};
    std::size_t n = 1;
    for (const char* pszPath : apszPaths) {
        SCOPED_TRACE(pszPath);
        ASSERT_EQ(Open(H(n), pszPath), PHR_SUCCESS);
        const std::vector<FAKE_CALL> opens = CallsOf("Open");
        ASSERT_EQ(opens.size(), n);
        EXPECT_EQ(opens.back().hHandle, H(n));
        EXPECT_EQ(opens.back().strArgument, "QX");
        EXPECT_EQ(opens.back().strName, "PORT1");
        ++n;
    }
}

TEST_F(ConnectionManagerTest, OpenRefusesPathsWithoutExactlyTwoSegments)
{
    const char* apszPaths[] = {"QX", "QX/PORT1/EXTRA", "", "/", "//", "/QX/"};
    for (const char* pszPath : apszPaths) {
        SCOPED_TRACE(pszPath);
        EXPECT_EQ(Open(H(1), pszPath), PHR_INVALID_PARAMETER);
    }
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
    EXPECT_TRUE(CFakeComponent::Calls().empty());
    EXPECT_FALSE(CFakeManager::GetConnectionManager(H(1), 1).IsValid());
}

TEST_F(ConnectionManagerTest, OpenChecksTheNextTable)
{
    const int nCreatedBefore = CFakeComponent::s_nCreated.load();
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", nullptr), PHR_INVALID_PARAMETER);

    _PORTHANDLERCOMPONENT next = {};
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", &next), PHR_INVALID_PARAMETER) << "no event sink";

    next = m_next;
    next.Open = &DummyOpen;
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", &next), PHR_INVALID_PARAMETER);
    next = m_next;
    next.Close = &DummyClose;
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", &next), PHR_INVALID_PARAMETER);
    next = m_next;
    next.Write = &DummyWrite;
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", &next), PHR_INVALID_PARAMETER);
    next = m_next;
    next.Ioctl = &DummyIoctl;
    EXPECT_EQ(CFakeManager::ExternalOpen(H(1), "QX/P1", &next), PHR_INVALID_PARAMETER);

    EXPECT_EQ(CFakeComponent::s_nCreated.load(), nCreatedBefore);
    EXPECT_TRUE(CFakeComponent::Calls().empty());
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
}

TEST_F(ConnectionManagerTest, SecondOpenOnAnOpenHandleFailsAndKeepsTheFirst)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(Open(H(1), "QX/P2"), PHR_PORT_OPEN_FAILURE);
    EXPECT_EQ(CallsOf("Open").size(), 1u) << "the component must not see the second Open";

    unsigned int ulWritten = 0;
    EXPECT_EQ(CFakeManager::ExternalWrite(H(1), ToData("abc"), &ulWritten), PHR_SUCCESS);
    EXPECT_EQ(ulWritten, 3u);
    const std::vector<FAKE_CALL> writes = CallsOf("Write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].strName, "P1");
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 1);
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
}

TEST_F(ConnectionManagerTest, FailedComponentOpenLeavesTheHandleFree)
{
    CFakeComponent::s_ulOpenResult = PHR_INVALID_CONFIGURATION;
    EXPECT_EQ(Open(H(7), "QX/NOPE"), PHR_INVALID_CONFIGURATION);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
    EXPECT_FALSE(CFakeManager::GetConnectionManager(H(7), 1).IsValid());
    unsigned int ulWritten = 99;
    EXPECT_EQ(CFakeManager::ExternalWrite(H(7), ToData("x"), &ulWritten), PHR_NOT_CONNECTED);

    CFakeComponent::s_ulOpenResult = PHR_SUCCESS;
    EXPECT_EQ(Open(H(7), "QX/NOPE"), PHR_SUCCESS);
    EXPECT_EQ(CFakeManager::ExternalClose(H(7)), PHR_SUCCESS);
}

TEST_F(ConnectionManagerTest, HandlesOnOnePortNameShareOneComponentObject)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(Open(H(2), "JV/P1"), PHR_SUCCESS);
    ASSERT_EQ(Open(H(3), "QX/P2"), PHR_SUCCESS);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 2);

    const std::vector<FAKE_CALL> opens = CallsOf("Open");
    ASSERT_EQ(opens.size(), 3u);
    EXPECT_EQ(opens[0].pComponent, opens[1].pComponent);
    EXPECT_NE(opens[0].pComponent, opens[2].pComponent);
    EXPECT_EQ(opens[1].strArgument, "JV");

    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 2) << "P1 is still open on handle 2";
    EXPECT_EQ(CFakeManager::ExternalClose(H(2)), PHR_SUCCESS);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 1) << "closing the last P1 handle deletes its object";
    EXPECT_EQ(CFakeManager::ExternalClose(H(3)), PHR_SUCCESS);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
}

TEST_F(ConnectionManagerTest, ComponentOutlivesCallsStillInProgress)
{
    // A Write that started on handle 1 holds its own copy of the record; the object must stay while
    // it runs even when both handles of the port are closed meanwhile.
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(Open(H(2), "QX/P1"), PHR_SUCCESS);
    {
        CFakeManager inFlight = CFakeManager::GetConnectionManager(H(1), 0);
        ASSERT_TRUE(inFlight.IsValid());
        EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
        EXPECT_EQ(CFakeManager::ExternalClose(H(2)), PHR_SUCCESS);
        EXPECT_EQ(CFakeComponent::s_nLive.load(), 1);
        unsigned int ulWritten = 0;
        EXPECT_EQ(inFlight.GetComponent()->Write(H(1), ToData("late"), &ulWritten), PHR_SUCCESS);
    }
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
}

TEST_F(ConnectionManagerTest, CloseCallsPrepareThenCloseWithLowerResultZero)
{
    ASSERT_EQ(Open(H(4), "QX/P1"), PHR_SUCCESS);
    CFakeComponent::s_ulCloseResult = PHR_DEVICE_ERROR;
    EXPECT_EQ(CFakeManager::ExternalClose(H(4)), PHR_DEVICE_ERROR) << "the component's result is returned";
    const std::vector<FAKE_CALL> calls = CFakeComponent::Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[1].strOperation, "ClosePrepare");
    EXPECT_EQ(calls[2].strOperation, "Close");
    EXPECT_EQ(calls[2].strArgument, "0");
    EXPECT_EQ(calls[2].hHandle, H(4));
}

TEST_F(ConnectionManagerTest, CloseAndWriteOnUnknownOrClosedHandlesAreNotConnected)
{
    unsigned int ulWritten = 0;
    EXPECT_EQ(CFakeManager::ExternalClose(H(9)), PHR_NOT_CONNECTED);
    EXPECT_EQ(CFakeManager::ExternalWrite(H(9), ToData("x"), &ulWritten), PHR_NOT_CONNECTED);

    ASSERT_EQ(Open(H(9), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(CFakeManager::ExternalClose(H(9)), PHR_SUCCESS);
    EXPECT_EQ(CFakeManager::ExternalClose(H(9)), PHR_NOT_CONNECTED);
    EXPECT_EQ(CFakeManager::ExternalWrite(H(9), ToData("x"), &ulWritten), PHR_NOT_CONNECTED);
    EXPECT_EQ(CallsOf("Close").size(), 1u);
    EXPECT_TRUE(CallsOf("Write").empty());
}

TEST_F(ConnectionManagerTest, IoctlWithoutConnectionGoesToTheComponentLevelHandler)
{
    const unsigned int ulCode = PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS;
    CData out;
    EXPECT_EQ(CFakeManager::ExternalIoctl(H(5), ulCode, ToData("JV"), &out), PHR_SUCCESS);
    std::vector<FAKE_CALL> calls = CallsOf("ComponentIoctl");
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].strArgument, CFakeComponent::Hex(ulCode)) << "the code goes on with its flag";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Buffer()), out.Length()), "ok");

    // On an open handle the same code is the component object's business.
    ASSERT_EQ(Open(H(5), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(CFakeManager::ExternalIoctl(H(5), ulCode, ToData("JV"), &out), PHR_NOT_SUPPORTED);
    EXPECT_EQ(CallsOf("Ioctl").size(), 1u);
    EXPECT_EQ(CallsOf("ComponentIoctl").size(), 1u);

    // Closed again: component level once more.
    ASSERT_EQ(CFakeManager::ExternalClose(H(5)), PHR_SUCCESS);
    CFakeComponent::s_ulComponentIoctlResult = PHR_NOT_SUPPORTED;
    EXPECT_EQ(CFakeManager::ExternalIoctl(H(5), PH_CONFIG_CHANGED, CData(), nullptr), PHR_NOT_SUPPORTED);
    EXPECT_EQ(CallsOf("ComponentIoctl").size(), 2u);
}

TEST_F(ConnectionManagerTest, IoctlDuringCloseGoesToTheComponentLevelHandler)
{
    ASSERT_EQ(Open(H(6), "QX/P1"), PHR_SUCCESS);
    unsigned int ulDuringClose = 0;
    CFakeComponent::SetClosePrepareHook([&](void* h) {
        ulDuringClose = CFakeManager::ExternalIoctl(h, PH_USB_ABORT_WRITE, CData(), nullptr);
    });
    EXPECT_EQ(CFakeManager::ExternalClose(H(6)), PHR_SUCCESS);
    EXPECT_EQ(ulDuringClose, PHR_SUCCESS);
    EXPECT_EQ(CallsOf("ComponentIoctl").size(), 1u);
    EXPECT_TRUE(CallsOf("Ioctl").empty());
}

TEST_F(ConnectionManagerTest, EventsReachTheSinkOfOpenHandlesOnly)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    CFakeManager::Event(H(1), PH_EVENT_INPUT_DATA, ToData("in"));
    CFakeManager::Event(H(2), PH_EVENT_INPUT_DATA, ToData("never opened"));
    const std::vector<SINK_EVENT> events = SinkEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].hHandle, H(1));
    EXPECT_EQ(events[0].ulCode, PH_EVENT_INPUT_DATA);
    EXPECT_EQ(events[0].strData, "in");
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
}

TEST_F(ConnectionManagerTest, EventsForAHandleWhoseCloseHasBegunAreDropped)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    CFakeComponent::SetClosePrepareHook(
        [](void* h) { CFakeManager::Event(h, PH_EVENT_POWER_STATE, ToData(std::string("\x02\0\0\0", 4))); });
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
    CFakeManager::Event(H(1), PH_EVENT_INPUT_DATA, ToData("after close"));
    EXPECT_TRUE(SinkEvents().empty());
}

TEST_F(ConnectionManagerTest, CloseDuringOpenOfTheHandleFindsNoConnection)
{
    unsigned int ulCloseDuringOpen = 0;
    CFakeComponent::SetOpenHook([&](void* h) {
        ulCloseDuringOpen = CFakeManager::ExternalClose(h);
        // The port's first events come while it is being opened, and reach the host.
        CFakeManager::Event(h, PH_EVENT_POWER_STATE, ToData(std::string("\0\0\0\0", 4)));
    });
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    EXPECT_EQ(ulCloseDuringOpen, PHR_NOT_CONNECTED);
    EXPECT_TRUE(CallsOf("Close").empty()) << "the component never sees Close inside its Open";
    ASSERT_EQ(SinkEvents().size(), 1u);
    EXPECT_EQ(SinkEvents()[0].ulCode, PH_EVENT_POWER_STATE);
    CFakeComponent::SetOpenHook(nullptr);
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
}

TEST_F(ConnectionManagerTest, OpenDuringCloseOfTheHandleFails)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    unsigned int ulOpenDuringClose = 0;
    CFakeComponent::SetClosePrepareHook([&](void* h) { ulOpenDuringClose = Open(h, "QX/P2"); });
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
    EXPECT_EQ(ulOpenDuringClose, PHR_PORT_OPEN_FAILURE);
    EXPECT_EQ(CallsOf("Open").size(), 1u);
    CFakeComponent::SetClosePrepareHook(nullptr);
    EXPECT_EQ(Open(H(1), "QX/P2"), PHR_SUCCESS) << "free once Close has returned";
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
}

TEST_F(ConnectionManagerTest, RemoveAllConnectionsDeletesTheComponentObjects)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(Open(H(2), "QX/P1"), PHR_SUCCESS);
    ASSERT_EQ(Open(H(3), "QX/P2"), PHR_SUCCESS);
    CFakeManager::RemoveAllConnections();
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 0);
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_NOT_CONNECTED);
    EXPECT_TRUE(CallsOf("Close").empty()) << "unload does not close ports through the component";
}

TEST_F(ConnectionManagerTest, RecordCopiesShareOneInstanceCounter)
{
    ASSERT_EQ(Open(H(1), "QX/P1"), PHR_SUCCESS);
    CFakeManager a = CFakeManager::GetConnectionManager(H(1), 0);
    EXPECT_EQ(a.InstanceCount(), 2) << "the map's copy and this one";
    {
        CFakeManager b(a);
        CFakeManager c;
        c = b;
        EXPECT_EQ(a.InstanceCount(), 4);
        CFakeManager& alias = c;
        c = alias;
        EXPECT_EQ(a.InstanceCount(), 4);
    }
    EXPECT_EQ(a.InstanceCount(), 2);
    EXPECT_EQ(CFakeManager().InstanceCount(), 0);
    EXPECT_EQ(CFakeManager::ExternalClose(H(1)), PHR_SUCCESS);
    EXPECT_EQ(a.InstanceCount(), 1);
    EXPECT_EQ(CFakeComponent::s_nLive.load(), 1);
}

} // namespace
