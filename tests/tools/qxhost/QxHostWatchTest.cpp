// qxhost watch: power and input events as they happen, hot-plug notices turned into SIGUSR1, and a
// clean close when interrupted.
#include "tests/tools/qxhost/QxHostFixture.h"

namespace {

using QxHostWatch = QxHostFixture;

TEST_F(QxHostWatch, ShowsPowerChangesAndEscapedInputUntilInterrupted)
{
    auto pWatch = Process();
    ASSERT_TRUE(pWatch->Start({"watch", "Receipt"}, Path("watch.out")));
    ASSERT_TRUE(pWatch->WaitForOutput("power: ready (0)\n")) << pWatch->Output();
    EXPECT_EQ(pWatch->Output().rfind("watching QX/Receipt (hot-plug notices: on", 0), 0u) << pWatch->Output();

    SetDevice("receipt", "offline", "yes");
    ASSERT_TRUE(pWatch->WaitForOutput("power: not ready (1)\n")) << pWatch->Output();
    SetDevice("receipt", "offline", "no");
    std::size_t ulMark = pWatch->Output().find("not ready (1)");
    ASSERT_TRUE(pWatch->WaitForOutput("power: ready (0)\n", ulMark)) << pWatch->Output();

    SetDevice("receipt", "input", "10 04 41 5c 0a");
    ASSERT_TRUE(pWatch->WaitForOutput("input (5 bytes): 10 04 41 5c 0a  \"\\x10\\x04A\\\\\\n\"\n")) << pWatch->Output();

    ASSERT_TRUE(pWatch->Signal(SIGINT));
    EXPECT_EQ(pWatch->Wait(), 0) << pWatch->Output();
    const std::string strOut = pWatch->Output();
    EXPECT_EQ(strOut.substr(strOut.size() - 31), "closed QX/Receipt: PHR_SUCCESS\n") << strOut;
}

TEST_F(QxHostWatch, StopsAfterTheRequestedNumberOfEvents)
{
    const QXHOST_RESULT result = Run({"watch", "JV/Counter", "--events", "1"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_NE(result.strOut.find("power: ready (0)\nclosed JV/Counter: PHR_SUCCESS\n"), std::string::npos)
        << result.strOut;
}

TEST_F(QxHostWatch, AReplugIsNoticedSignalledAndThePortWorksAgain)
{
    auto pWatch = Process();
    ASSERT_TRUE(pWatch->Start({"watch", "Receipt"}, Path("watch.out")));
    ASSERT_TRUE(pWatch->WaitForOutput("power: ready (0)\n")) << pWatch->Output();

    SetDevice("receipt", "present", "no");
    ASSERT_TRUE(pWatch->WaitForOutput("hot-plug: left 0x")) << pWatch->Output();
    ASSERT_TRUE(pWatch->WaitForOutput("power: unavailable (2)\n")) << pWatch->Output();
    const std::size_t ulMark = pWatch->Output().find("power: unavailable (2)");

    SetDevice("receipt", "present", "yes");
    ASSERT_TRUE(pWatch->WaitForOutput("hot-plug: arrived 0x", ulMark)) << pWatch->Output();
    EXPECT_TRUE(pWatch->WaitForOutput(", SIGUSR1 sent\n", ulMark)) << pWatch->Output();
    // The component re-attaches the new device instance to the open port on the notice.
    EXPECT_TRUE(pWatch->WaitForOutput("power: ready (0)\n", ulMark)) << pWatch->Output();

    ASSERT_TRUE(pWatch->Signal(SIGTERM));
    EXPECT_EQ(pWatch->Wait(), 0) << pWatch->Output();
}

TEST_F(QxHostWatch, NoHotPlugLeavesTheNoticesOff)
{
    const QXHOST_RESULT result = Run({"--no-hotplug", "watch", "Receipt", "--events", "1"});
    EXPECT_EQ(result.nStatus, 0) << result.strErr;
    EXPECT_EQ(result.strOut.rfind("watching QX/Receipt (hot-plug notices: off (--no-hotplug)); Ctrl-C stops\n", 0),
              0u)
        << result.strOut;
}

TEST_F(QxHostWatch, AnUnknownPortFailsAtOnce)
{
    const QXHOST_RESULT result = Run({"watch", "JV/Kitchen"});
    EXPECT_EQ(result.nStatus, 1);
    EXPECT_EQ(result.strErr,
              "qxhost: cannot open JV/Kitchen: PHR_INVALID_CONFIGURATION (no such port; configured: Receipt, "
              "Counter)\n");
}

} // namespace
