// The exported entry points, called in-process on the component's static library.

#include <gtest/gtest.h>

#include <list>
#include <string>

#include "component/PropertyBridge.h"
#include "contract/PortHandler.h"
#include "tests/support/LogCapture.h"

namespace {

int NoChildren(std::string, std::list<std::string>&) { return 0; }
int NoData(std::string, CData&) { return 0; }
int NoNumber(std::string, unsigned int*) { return 0; }
int NoString(std::string, std::string*) { return 0; }
int NoRemove(std::string) { return 0; }
int NoSetData(std::string, CData) { return 0; }
int NoSetNumber(std::string, unsigned int) { return 0; }
int NoSetString(std::string, std::string) { return 0; }
int NoMakePort(std::string, std::string) { return 0; }

// A table the host filled with something else before the call.
unsigned int SentinelOpen(void*, std::string, _PORTHANDLERCOMPONENT*) { return 1; }
unsigned int SentinelClose(void*) { return 2; }
unsigned int SentinelWrite(void*, CData, unsigned int*) { return 3; }
unsigned int SentinelIoctl(void*, unsigned int, CData, CData*) { return 4; }
unsigned int SentinelEvent(void*, unsigned int, CData) { return 5; }

_PORTHANDLERCOMPONENT SentinelTable()
{
    return _PORTHANDLERCOMPONENT{&SentinelOpen, &SentinelClose, &SentinelWrite, &SentinelIoctl, &SentinelEvent};
}

bool SameTable(const _PORTHANDLERCOMPONENT& a, const _PORTHANDLERCOMPONENT& b)
{
    return a.Open == b.Open && a.Close == b.Close && a.Write == b.Write && a.Ioctl == b.Ioctl && a.Event == b.Event;
}

const char kVersionLine[] = "taliunqxusb.so           : 2, 0, 7, 7";

TEST(GetVersion, WritesThroughEveryPointerGiven)
{
    unsigned int a = 0, b = 0, c = 0, d = 0;
    GetVersion(&a, &b, &c, &d);
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(c, 7u);
    EXPECT_EQ(d, 7u);
}

TEST(GetVersion, SkipsNullPointers)
{
    unsigned int a = 99, c = 99;
    GetVersion(&a, nullptr, &c, nullptr);
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(c, 7u);
    GetVersion(nullptr, nullptr, nullptr, nullptr);
}

TEST(InitializePortHandlerComponent, NullPropertyEntryFailsAndLeavesTheTableUntouched)
{
    CLogCapture log;
    _PORTHANDLERPROPERTY property = {&NoChildren, &NoData,      &NoNumber,    &NoString, &NoRemove,
                                     &NoSetData,  &NoSetNumber, &NoSetString, nullptr};
    _PORTHANDLERCOMPONENT table = SentinelTable();
    EXPECT_EQ(InitializePortHandlerComponent(&property, &table), 0);
    EXPECT_TRUE(SameTable(table, SentinelTable()));
    EXPECT_EQ(g_fProperty.GetChildren, nullptr) << "nothing of the record is kept";

    EXPECT_EQ(InitializePortHandlerComponent(nullptr, &table), 0);
    EXPECT_TRUE(SameTable(table, SentinelTable()));

    ASSERT_TRUE(log.Settle());
    EXPECT_EQ(log.Count(4, kVersionLine), 2u) << "one version line per call, also when it fails";
}

TEST(InitializePortHandlerComponent, NullTableFailsAfterTakingTheProperties)
{
    CLogCapture log;
    _PORTHANDLERPROPERTY property = {&NoChildren, &NoData,      &NoNumber,    &NoString,  &NoRemove,
                                     &NoSetData,  &NoSetNumber, &NoSetString, &NoMakePort};
    EXPECT_EQ(InitializePortHandlerComponent(&property, nullptr), 0);
    EXPECT_EQ(InitializePortHandlerComponent(&property, nullptr), 0);
    EXPECT_EQ(InitializePortHandlerComponent(&property, nullptr), 0);
    ASSERT_TRUE(log.Settle());
    EXPECT_EQ(log.Count(4, kVersionLine), 3u);
    EXPECT_EQ(log.Texts(4).size(), 3u);
}

} // namespace
