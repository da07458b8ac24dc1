#include "component/PropertyBridge.h"

#include <gtest/gtest.h>

#include <cstring>
#include <list>
#include <map>
#include <mutex>
#include <string>

namespace {

// A minimal host: a flat map of text and number values, and a record of what reached it.
std::mutex g_mutex;
std::map<std::string, std::string> g_mapText;
std::map<std::string, unsigned int> g_mapNumber;
int g_nSetDataCalls = 0;
unsigned int g_ulSetDataLength = 99;
std::string g_strMadeType, g_strMadeDocument;

int FakeGetChildren(std::string strPath, std::list<std::string>& list)
{
    if (strPath != "/QX/")
        return 0;
    list.push_back("P1");
    list.push_back("P0");
    return 1;
}
int FakeGetData(std::string, CData&) { return 0; }
int FakeGetNumber(std::string strPath, unsigned int* pul)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_mapNumber.find(strPath);
    if (it == g_mapNumber.end())
        return 0;
    *pul = it->second;
    return 1;
}
int FakeGetString(std::string strPath, std::string* pstr)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    auto it = g_mapText.find(strPath);
    if (it == g_mapText.end())
        return 0;
    *pstr = it->second;
    return 1;
}
int FakeRemove(std::string strPath)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_mapText.erase(strPath) + g_mapNumber.erase(strPath) > 0 ? 1 : 0;
}
int FakeSetData(std::string, CData data)
{
    ++g_nSetDataCalls;
    g_ulSetDataLength = data.Length();
    return 1;
}
int FakeSetNumber(std::string strPath, unsigned int ul)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_mapNumber[strPath] = ul;
    return 1;
}
int FakeSetString(std::string strPath, std::string str)
{
    std::lock_guard<std::mutex> guard(g_mutex);
    g_mapText[strPath] = str;
    // The host may keep or change its copy without touching the caller's text.
    str += " changed by the host";
    return 1;
}
int FakeMakePort(std::string strType, std::string strDocument)
{
    g_strMadeType = strType;
    g_strMadeDocument = strDocument;
    return strType == "QX" ? 1 : 0;
}

_PORTHANDLERPROPERTY FullRecord()
{
    return _PORTHANDLERPROPERTY{&FakeGetChildren, &FakeGetData, &FakeGetNumber, &FakeGetString, &FakeRemove,
                                &FakeSetData,     &FakeSetNumber, &FakeSetString, &FakeMakePort};
}

void ExpectEveryBridgeCallFails()
{
    std::list<std::string> list;
    CData data;
    unsigned int ul = 5;
    std::string str = "preset";
    EXPECT_FALSE(GetChildren("/QX/", list));
    EXPECT_FALSE(GetData("/x", data));
    EXPECT_FALSE(GetNumber("/x", &ul));
    EXPECT_FALSE(GetString("/x", &str));
    EXPECT_FALSE(Remove("/x"));
    EXPECT_FALSE(SetData("/x", data));
    EXPECT_FALSE(SetNumber("/x", 1));
    EXPECT_FALSE(SetString("/x", "v"));
    EXPECT_FALSE(MakePort("QX", ""));
    EXPECT_TRUE(list.empty());
    EXPECT_EQ(ul, 5u);
    EXPECT_EQ(str, "preset");
}

// Must run before any successful initialisation in this process (ctest runs each case on its own;
// a whole-program run keeps the definition order).
TEST(PropertyBridgeInitialisation, RecordWithANullEntryIsRefusedAndNothingWorks)
{
    for (int nEntry = 0; nEntry < 9; ++nEntry) {
        _PORTHANDLERPROPERTY record = FullRecord();
        switch (nEntry) {
        case 0: record.GetChildren = nullptr; break;
        case 1: record.GetData = nullptr; break;
        case 2: record.GetNumber = nullptr; break;
        case 3: record.GetString = nullptr; break;
        case 4: record.Remove = nullptr; break;
        case 5: record.SetData = nullptr; break;
        case 6: record.SetNumber = nullptr; break;
        case 7: record.SetString = nullptr; break;
        default: record.MakePort = nullptr; break;
        }
        EXPECT_EQ(InitializeServicePropertyCallbacks(&record), 0) << "entry " << nEntry;
    }
    const _PORTHANDLERPROPERTY empty = {};
    EXPECT_EQ(0, std::memcmp(&g_fProperty, &empty, sizeof empty)) << "nothing may be stored";
    ExpectEveryBridgeCallFails();
}

TEST(PropertyBridgeInitialisation, FullRecordIsCopiedAndALaterBadRecordChangesNothing)
{
    _PORTHANDLERPROPERTY record = FullRecord();
    ASSERT_EQ(InitializeServicePropertyCallbacks(&record), 1);
    EXPECT_EQ(0, std::memcmp(&g_fProperty, &record, sizeof record));
    record.GetData = nullptr;
    EXPECT_EQ(InitializeServicePropertyCallbacks(&record), 0);
    EXPECT_EQ(g_fProperty.GetData, &FakeGetData);
}

class PropertyBridgeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        _PORTHANDLERPROPERTY record = FullRecord();
        ASSERT_EQ(InitializeServicePropertyCallbacks(&record), 1);
        std::lock_guard<std::mutex> guard(g_mutex);
        g_mapText.clear();
        g_mapNumber.clear();
    }
};

TEST_F(PropertyBridgeTest, FailedReadsLeaveThePresetValue)
{
    unsigned int ul = 50;
    std::string str = "default";
    EXPECT_FALSE(GetNumber("/QX/P1/OfflineTimeout", &ul));
    EXPECT_FALSE(GetString("/QX/P1/ModelName", &str));
    EXPECT_EQ(ul, 50u);
    EXPECT_EQ(str, "default");
}

TEST_F(PropertyBridgeTest, ValuesTravelBothWays)
{
    std::string strValue = "ON - OFFLINE - OFF";
    EXPECT_TRUE(SetString("QX/P1/PowerValues", strValue));
    EXPECT_EQ(strValue, "ON - OFFLINE - OFF") << "the host gets a copy";
    EXPECT_TRUE(SetNumber("/QX/P1//DeviceClass", 1));
    std::string str;
    unsigned int ul = 0;
    EXPECT_TRUE(GetString("QX/P1/PowerValues", &str));
    EXPECT_TRUE(GetNumber("/QX/P1//DeviceClass", &ul));
    EXPECT_EQ(str, strValue);
    EXPECT_EQ(ul, 1u);
    EXPECT_TRUE(Remove("/QX/P1//DeviceClass"));
    EXPECT_FALSE(Remove("/QX/P1//DeviceClass"));

    std::list<std::string> list{"already there"};
    EXPECT_TRUE(GetChildren("/QX/", list));
    EXPECT_EQ(list, (std::list<std::string>{"already there", "P1", "P0"}));
    EXPECT_FALSE(GetChildren("/JV/", list));

    EXPECT_TRUE(MakePort("QX", "<xmlroot/>"));
    EXPECT_EQ(g_strMadeDocument, "<xmlroot/>");
    EXPECT_FALSE(MakePort("RP", ""));
}

TEST_F(PropertyBridgeTest, SetDataPassesAnEmptyBufferAndKeepsTheCallersReference)
{
    g_nSetDataCalls = 0;
    EXPECT_TRUE(SetData("/x", CData()));
    EXPECT_EQ(g_nSetDataCalls, 1);
    EXPECT_EQ(g_ulSetDataLength, 0u);

    const unsigned char ab[3] = {1, 2, 3};
    CData data(ab, 3);
    EXPECT_TRUE(SetData("/x", data));
    EXPECT_EQ(g_ulSetDataLength, 3u);
    std::int32_t lCount;
    const unsigned char* pBlock;
    std::memcpy(&pBlock, &data, sizeof pBlock);
    std::memcpy(&lCount, pBlock, sizeof lCount);
    EXPECT_EQ(lCount, 1) << "the reference handed to the host is released after the call";
}

} // namespace
