#include "host/PropertyTree.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(PropertyTreeRead, FailedReadsLeaveTheCallersPresetValue)
{
    CPropertyTree tree;
    ASSERT_TRUE(tree.SetString("/QX/P1/PortType", "USB"));
    ASSERT_TRUE(tree.SetNumber("/QX/P1/StatusPto", 250));
    unsigned int ul = 100;
    std::string str = "preset";
    EXPECT_FALSE(tree.GetNumber("/QX/P1/OfflineTimeout", &ul)) << "unknown path";
    EXPECT_FALSE(tree.GetNumber("/QX/P1/PortType", &ul)) << "a text is no number";
    EXPECT_FALSE(tree.GetString("/QX/P1/StatusPto", &str)) << "a number is no text";
    EXPECT_FALSE(tree.GetString("/QX/P1", &str)) << "a node without a value";
    CData data;
    EXPECT_FALSE(tree.GetData("/QX/P1/PortType", data));
    EXPECT_EQ(ul, 100u);
    EXPECT_EQ(str, "preset");
    EXPECT_EQ(data.Length(), 0u);
}

TEST(PropertyTreePaths, EmptySegmentsAreDropped)
{
    CPropertyTree tree;
    ASSERT_TRUE(tree.SetNumber("/QX/P1//StatusPto", 7));
    unsigned int ul = 0;
    EXPECT_TRUE(tree.GetNumber("QX/P1/StatusPto", &ul));
    EXPECT_EQ(ul, 7u);
    EXPECT_TRUE(tree.GetNumber("//QX///P1/StatusPto/", &ul));
    EXPECT_FALSE(tree.SetNumber("/", 1)) << "the root has no value";
    EXPECT_FALSE(tree.SetString("", "x"));
}

TEST(PropertyTreeChildren, AreAppendedInCreationOrder)
{
    CPropertyTree tree;
    tree.SetString("/QX/Zeta/PortType", "USB");
    tree.SetString("/QX/Alpha/PortType", "USB");
    tree.SetString("/QX/Mid/PortType", "USB");
    tree.SetString("/QX/Zeta/PortName", "x");
    std::list<std::string> list{"kept"};
    ASSERT_TRUE(tree.GetChildren("/QX/", list));
    EXPECT_EQ(list, (std::list<std::string>{"kept", "Zeta", "Alpha", "Mid"}));
    list.clear();
    EXPECT_TRUE(tree.GetChildren("/", list));
    EXPECT_EQ(list, (std::list<std::string>{"QX"}));
    EXPECT_FALSE(tree.GetChildren("/JV/", list));
    list.clear();
    EXPECT_TRUE(tree.GetChildren("/QX/Alpha/PortType", list)) << "a leaf has no children, but exists";
    EXPECT_TRUE(list.empty());
}

TEST(PropertyTreeValues, StayUntilChangedOrRemoved)
{
    CPropertyTree tree;
    tree.SetString("/QX/P1/PowerValues", "ON - OFF");
    tree.SetString("/QX/P1/PowerValues", "ON - OFFLINE - OFF");
    tree.SetNumber("/QX/P1/DeviceClass", 1);
    std::string str;
    EXPECT_TRUE(tree.GetString("/QX/P1/PowerValues", &str));
    EXPECT_EQ(str, "ON - OFFLINE - OFF");
    // A value may change its type.
    tree.SetNumber("/QX/P1/PowerValues", 3);
    unsigned int ul = 0;
    EXPECT_TRUE(tree.GetNumber("/QX/P1/PowerValues", &ul));
    EXPECT_FALSE(tree.GetString("/QX/P1/PowerValues", &str));

    EXPECT_TRUE(tree.Remove("/QX/P1"));
    EXPECT_FALSE(tree.Exists("/QX/P1/DeviceClass"));
    EXPECT_TRUE(tree.Exists("/QX"));
    EXPECT_FALSE(tree.Remove("/QX/P1"));
    EXPECT_FALSE(tree.Remove("/"));
}

TEST(PropertyTreeValues, DataIsCopiedInAndOut)
{
    CPropertyTree tree;
    const unsigned char ab[3] = {0, 0xFF, 7};
    EXPECT_TRUE(tree.SetData("/blob", CData(ab, 3)));
    CData out;
    EXPECT_TRUE(tree.GetData("/blob", out));
    ASSERT_EQ(out.Length(), 3u);
    EXPECT_EQ(0, std::memcmp(out.Buffer(), ab, 3));
    EXPECT_TRUE(tree.SetData("/empty", CData()));
    CData empty(ab, 1);
    EXPECT_TRUE(tree.GetData("/empty", empty));
    EXPECT_EQ(empty.Length(), 0u);
}

class PropertyTreeFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char sz[] = "/tmp/taliun-tree-XXXXXX";
        ASSERT_NE(mkdtemp(sz), nullptr);
        m_strDir = sz;
    }
    void TearDown() override { std::filesystem::remove_all(m_strDir); }
    std::string m_strDir;
};

TEST_F(PropertyTreeFile, SaveAndLoadKeepEveryValueAndTheOrder)
{
    CPropertyTree tree;
    tree.SetString("/QX/P2/PortType", "USB");
    tree.SetString("/QX/P1/ModelName", "Quote \" back\\slash\nline\ttab \x01 \xE3\x83\x9D");
    tree.SetNumber("/QX/P1/DeviceID", 0xFFFFFFFF);
    const unsigned char ab[2] = {0xAB, 0x00};
    tree.SetData("/QX/P1/Raw", CData(ab, 2));
    tree.SetString("/QX/P1/Empty", "");
    tree.SetString("/JV/P1/PortType", "USB");
    tree.Remove("/JV/P1");
    const std::string strFile = m_strDir + "/tree.txt";
    ASSERT_TRUE(tree.Save(strFile));

    CPropertyTree loaded;
    std::string strError;
    ASSERT_TRUE(loaded.Load(strFile, &strError)) << strError;
    EXPECT_EQ(loaded.Serialize(), tree.Serialize());
    std::string str;
    EXPECT_TRUE(loaded.GetString("/QX/P1/ModelName", &str));
    EXPECT_EQ(str, "Quote \" back\\slash\nline\ttab \x01 \xE3\x83\x9D");
    EXPECT_TRUE(loaded.Exists("/JV")) << "an empty group survives";
    std::list<std::string> list;
    loaded.GetChildren("/QX", list);
    EXPECT_EQ(list, (std::list<std::string>{"P2", "P1"}));
}

TEST_F(PropertyTreeFile, HandWrittenTextIsRead)
{
    CPropertyTree tree;
    std::string strError;
    ASSERT_TRUE(tree.Parse("# ports\n"
                           "\n"
                           "  /QX/Printer1/PortType = \"USB\"\n"
                           "/QX/Printer1/StatusPto=0x64\n"
                           "/QX/Printer1/OfflineTimeout = 50   \n"
                           "/QX/Printer1/Blob = hex:00Ff\n"
                           "/JV\n",
                           &strError))
        << strError;
    unsigned int ul = 0;
    EXPECT_TRUE(tree.GetNumber("/QX/Printer1/StatusPto", &ul));
    EXPECT_EQ(ul, 100u);
    EXPECT_TRUE(tree.GetNumber("/QX/Printer1/OfflineTimeout", &ul));
    EXPECT_EQ(ul, 50u);
    std::string str;
    EXPECT_TRUE(tree.GetString("/QX/Printer1/PortType", &str));
    EXPECT_EQ(str, "USB");
    CData data;
    EXPECT_TRUE(tree.GetData("/QX/Printer1/Blob", data));
    EXPECT_EQ(data.Length(), 2u);
}

TEST_F(PropertyTreeFile, ErrorsNameTheLineAndLeaveTheTreeAlone)
{
    CPropertyTree tree;
    tree.SetString("/keep", "me");
    const char* apszBad[] = {"/a = \"open", "/a = 4294967296", "/a = -1", "/a = hex:abc", "/a = hex:zz",
                             "a = 1",       "/ = 1",           "/a = word", "/a = \"bad \\q escape\""};
    for (const char* pszBad : apszBad) {
        SCOPED_TRACE(pszBad);
        std::string strError;
        EXPECT_FALSE(tree.Parse(std::string("/fine = 1\n") + pszBad + "\n", &strError));
        EXPECT_EQ(strError.compare(0, 7, "line 2:"), 0) << strError;
    }
    EXPECT_TRUE(tree.Exists("/keep"));
    EXPECT_FALSE(tree.Exists("/fine"));
    EXPECT_FALSE(tree.Load(m_strDir + "/missing.txt"));
}

TEST(PropertyTreeThreads, AnyThreadMayCallAtAnyTime)
{
    CPropertyTree tree;
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&tree, t] {
            const std::string strPort = "/QX/P" + std::to_string(t % 3);
            for (int i = 0; i < 2000; ++i) {
                tree.SetNumber(strPort + "/StatusPto", static_cast<unsigned int>(i));
                unsigned int ul = 0;
                tree.GetNumber(strPort + "/StatusPto", &ul);
                std::list<std::string> list;
                tree.GetChildren("/QX/", list);
                if (i % 50 == 0)
                    tree.Remove(strPort);
                if (i % 500 == 0)
                    tree.Serialize();
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    std::list<std::string> list;
    EXPECT_TRUE(tree.GetChildren("/QX/", list));
    EXPECT_LE(list.size(), 3u);
}

} // namespace
