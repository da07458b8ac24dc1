// The substitute host without a component: its callbacks, its event record and its signal handling.

#include "host/Host.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>

#include <list>
#include <string>
#include <thread>

namespace {

TEST(HostPropertyCallbacks, ActOnTheActiveHostsTree)
{
    const _PORTHANDLERPROPERTY property = CHost::PropertyCallbacks();
    unsigned int ul = 42;
    std::string str = "preset";
    std::list<std::string> list;
    EXPECT_EQ(property.GetNumber("/QX/P1/StatusPto", &ul), 0) << "no host is active";
    {
        CHost host;
        host.Properties().SetNumber("/QX/P1/StatusPto", 250);
        EXPECT_EQ(property.GetNumber("/QX/P1/StatusPto", &ul), 1);
        EXPECT_EQ(ul, 250u);
        EXPECT_EQ(property.GetString("/QX/P1/PortType", &str), 0);
        EXPECT_EQ(str, "preset");
        EXPECT_EQ(property.SetString("/QX/P1/PortType", "USB"), 1);
        EXPECT_EQ(property.GetString("/QX/P1/PortType", &str), 1);
        EXPECT_EQ(str, "USB");
        EXPECT_EQ(property.GetChildren("/QX/P1", list), 1);
        EXPECT_EQ(list, (std::list<std::string>{"StatusPto", "PortType"}));
        EXPECT_EQ(property.SetData("/QX/P1/Blob", CData()), 1);
        CData data;
        EXPECT_EQ(property.GetData("/QX/P1/Blob", data), 1);
        EXPECT_EQ(property.MakePort("QX", ""), 1);
        EXPECT_EQ(property.SetNumber("/QX/P1/DeviceClass", 1), 1);
        EXPECT_EQ(property.Remove("/QX/P1"), 1);
        EXPECT_EQ(property.Remove("/QX/P1"), 0);
    }
    EXPECT_EQ(property.SetNumber("/QX/P1/StatusPto", 1), 0) << "the host is gone";
}

TEST(HostEvents, SinkRecordsEventsPerHandleAndWaitersSeeThem)
{
    CHost host;
    void* const h1 = host.NewHandle();
    void* const h2 = host.NewHandle();
    EXPECT_NE(h1, h2);
    EXPECT_NE(h1, nullptr);

    std::thread monitor([&] {
        const unsigned char ucState[4] = {2, 0, 0, 0};
        CHost::EventSink(h1, PH_EVENT_POWER_STATE, CData(ucState, 4));
        const unsigned char abInput[2] = {'h', 'i'};
        CHost::EventSink(h2, PH_EVENT_INPUT_DATA, CData(abInput, 2));
        CHost::EventSink(h1, PH_EVENT_POWER_STATE, CData());
    });
    HOST_EVENT event;
    ASSERT_TRUE(host.WaitForEvent(h2, PH_EVENT_INPUT_DATA, 10000, &event));
    EXPECT_EQ(event.vecData, (std::vector<unsigned char>{'h', 'i'}));
    ASSERT_TRUE(host.WaitForEvent(h1, PH_EVENT_POWER_STATE, 10000, &event, 1)) << "the second power event";
    EXPECT_TRUE(event.vecData.empty());
    monitor.join();

    const std::vector<HOST_EVENT> events = host.Events(h1);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].vecData, (std::vector<unsigned char>{2, 0, 0, 0}));
    EXPECT_LE(events[0].time, events[1].time);
    EXPECT_EQ(host.EventCount(h2), 1u);
    EXPECT_FALSE(host.WaitForEvent(h2, PH_EVENT_POWER_STATE, 20)) << "no such event";
    EXPECT_FALSE(host.WaitForEvent(h1, PH_EVENT_POWER_STATE, 0, nullptr, 2)) << "nothing after the second";
    host.ClearEvents(h1);
    EXPECT_EQ(host.EventCount(h1), 0u);
}

TEST(HostLibrary, MissingLibraryIsReportedAndTableCallsAreRefused)
{
    CHost host;
    EXPECT_FALSE(host.Load("/nonexistent/libTaliunqxusb.so"));
    EXPECT_FALSE(host.LastError().empty());
    EXPECT_FALSE(host.IsLoaded());
    EXPECT_EQ(host.Initialize(), 0);
    unsigned int ulWritten = 0;
    void* const h = host.NewHandle();
    EXPECT_EQ(host.Open(h, "QX/P1"), PHR_NOT_CONNECTED);
    EXPECT_EQ(host.Write(h, CData(), &ulWritten), PHR_NOT_CONNECTED);
    EXPECT_EQ(host.Ioctl(h, PH_CONFIG_GET_COMPONENT_UI, CData(), nullptr), PHR_NOT_CONNECTED);
    EXPECT_EQ(host.Close(h), PHR_NOT_CONNECTED);
}

bool HotPlugSignalsBlocked()
{
    sigset_t set;
    pthread_sigmask(SIG_BLOCK, nullptr, &set);
    return sigismember(&set, SIGUSR1) == 1 && sigismember(&set, SIGALRM) == 1;
}

TEST(HostSignals, EveryThreadBlocksTheHotPlugSignals)
{
    EXPECT_TRUE(HotPlugSignalsBlocked()) << "blocked in the main thread before main()";
    bool fInThread = false;
    std::thread other([&] { fInThread = HotPlugSignalsBlocked(); });
    other.join();
    EXPECT_TRUE(fInThread);
}

TEST(HostSignals, HotPlugNoticeIsAProcessSignalLeftForTheComponent)
{
    // Without a component nobody takes the signal: it stays pending instead of ending the process.
    ASSERT_TRUE(CHost::SendHotPlugNotice());
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGUSR1), 1);
    sigset_t wait;
    sigemptyset(&wait);
    sigaddset(&wait, SIGUSR1);
    const timespec zero = {0, 0};
    EXPECT_EQ(sigtimedwait(&wait, nullptr, &zero), SIGUSR1);
}

} // namespace
