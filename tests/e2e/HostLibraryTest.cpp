// The shipped library as a host sees it: loaded with dlopen, entry points found by name, the table
// filled at initialisation and the component-level and per-port paths behind it.

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "host/Host.h"
#include "tests/support/LogCapture.h"

namespace {

const char kVersionLine[] = "taliunqxusb.so           : 2, 0, 7, 7";

CData Text(const std::string& s)
{
    // A packed 8-bit string: the bytes and a zero.
    return CData(reinterpret_cast<const unsigned char*>(s.c_str()), static_cast<unsigned int>(s.size() + 1));
}

// The 8-bit text of a packed UCS-2 document, or "" when it is not UCS-2 ASCII.
std::string AsciiOfUcs2(const CData& data)
{
    std::string s;
    for (unsigned int i = 0; i + 1 < data.Length(); i += 2) {
        const unsigned int u = data.Buffer()[i] | (data.Buffer()[i + 1] << 8);
        if (u == 0)
            break;
        s += u < 0x80 ? static_cast<char>(u) : '~';
    }
    return s;
}

unsigned int SentinelOpen(void*, std::string, _PORTHANDLERCOMPONENT*) { return 1; }
unsigned int SentinelEvent(void*, unsigned int, CData) { return 5; }

class HostLibraryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_pLog.reset(new CLogCapture(nullptr));
        m_pHost.reset(new CHost());
        ASSERT_TRUE(m_pHost->Load(TALIUN_LIBRARY_PATH)) << m_pHost->LastError();
        m_pLog->SetLogFunction(reinterpret_cast<CLogCapture::PFN_LOGMSG>(m_pHost->Symbol("LogMsg")));
    }
    void TearDown() override
    {
        m_pHost.reset();
        m_pLog.reset();
    }

    void ConfigurePort(const std::string& strName)
    {
        m_pHost->Properties().SetString("/QX/" + strName + "/PortType", "USB");
        m_pHost->Properties().SetString("/QX/" + strName + "/PortName", "USB#VID_0xFFFF##PID_0x9999#NONE");
    }

    std::unique_ptr<CLogCapture> m_pLog;
    std::unique_ptr<CHost> m_pHost;
};

TEST_F(HostLibraryTest, EntryPointsAreFoundByName)
{
    unsigned int a = 0, b = 9, c = 0, d = 0;
    m_pHost->GetVersion(&a, &b, &c, &d);
    EXPECT_EQ(a, 2u);
    EXPECT_EQ(b, 0u);
    EXPECT_EQ(c, 7u);
    EXPECT_EQ(d, 7u);
    for (const char* pszName : {"GetVersion", "InitializePortHandlerComponent", "UnloadPortHandlerComponent",
                                "Install", "Remove", "LogMsg", "Log", "LogRaw", "g_ulErrorCount"})
        EXPECT_NE(m_pHost->Symbol(pszName), nullptr) << pszName;
    EXPECT_EQ(m_pHost->Symbol("InitializeServicePropertyCallbacks"), nullptr) << "internals stay inside";
    EXPECT_EQ(m_pHost->Symbol("g_fProperty"), nullptr);
}

TEST_F(HostLibraryTest, RecordWithANullEntryLeavesTheTableUntouched)
{
    _PORTHANDLERPROPERTY property = CHost::PropertyCallbacks();
    property.MakePort = nullptr;
    _PORTHANDLERCOMPONENT table = {&SentinelOpen, nullptr, nullptr, nullptr, &SentinelEvent};
    EXPECT_EQ(m_pHost->InitializeWith(&property, &table), 0);
    EXPECT_EQ(table.Open, &SentinelOpen);
    EXPECT_EQ(table.Close, nullptr);
    EXPECT_EQ(table.Event, &SentinelEvent);
    ASSERT_TRUE(m_pLog->Settle());
    EXPECT_EQ(m_pLog->Count(4, kVersionLine), 1u);
}

TEST_F(HostLibraryTest, InitialisationFillsTheTableAndUnloadEndsIt)
{
    ASSERT_EQ(m_pHost->Initialize(), 1);
    const _PORTHANDLERCOMPONENT& table = m_pHost->Table();
    EXPECT_NE(table.Open, nullptr);
    EXPECT_NE(table.Close, nullptr);
    EXPECT_NE(table.Write, nullptr);
    EXPECT_NE(table.Ioctl, nullptr);
    EXPECT_EQ(table.Event, nullptr);
    ASSERT_TRUE(m_pLog->Settle());
    EXPECT_EQ(m_pLog->Count(4, kVersionLine), 1u);
    m_pHost->Unload();
    EXPECT_FALSE(m_pHost->IsInitialized());
}

TEST_F(HostLibraryTest, CallsWithoutAnOpenPortGetTheirDefinedResults)
{
    ASSERT_EQ(m_pHost->Initialize(), 1);
    void* const h = m_pHost->NewHandle();
    unsigned int ulWritten = 0;
    EXPECT_EQ(m_pHost->Open(h, "QX"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pHost->Open(h, "QX/P1/EXTRA"), PHR_INVALID_PARAMETER);
    EXPECT_EQ(m_pHost->Open(h, "QX/NOPE"), PHR_INVALID_CONFIGURATION);
    EXPECT_EQ(m_pHost->Close(h), PHR_NOT_CONNECTED);
    EXPECT_EQ(m_pHost->Write(h, Text("x"), &ulWritten), PHR_NOT_CONNECTED);
    // A per-port code without a connection is a component-level code nobody handles.
    EXPECT_EQ(m_pHost->Ioctl(h, PH_CONFIG_CHANGED, CData(), nullptr), PHR_NOT_SUPPORTED);
    ASSERT_TRUE(m_pLog->Settle());
    EXPECT_EQ(m_pLog->Count(2, "-- Open(" + std::to_string(static_cast<int>(reinterpret_cast<std::uintptr_t>(h))) +
                                   ", QX/NOPE) <PHR_INVALID_CONFIGURATION> : Unable to read Port Properties."),
              1u);
}

TEST_F(HostLibraryTest, ConfiguredPortOpensWithoutItsDeviceAndClosesOnce)
{
    ConfigurePort("P1");
    ASSERT_EQ(m_pHost->Initialize(), 1);
    void* const h1 = m_pHost->NewHandle();
    void* const h2 = m_pHost->NewHandle();
    ASSERT_EQ(m_pHost->Open(h1, "/QX//P1/"), PHR_SUCCESS);
    EXPECT_EQ(m_pHost->Open(h1, "QX/P1"), PHR_PORT_OPEN_FAILURE) << "the handle is open";
    EXPECT_EQ(m_pHost->Open(h2, "QX/P1"), PHR_PORT_OPEN_FAILURE) << "the port part is open";

    CData out;
    EXPECT_EQ(m_pHost->Ioctl(h1, PH_USB_GET_POWER_STATE, CData(), &out), PHR_SUCCESS);
    EXPECT_EQ(out.Length(), 4u);
    EXPECT_EQ(m_pHost->Ioctl(h1, PH_USB_GET_POWER_STATE, CData(), nullptr), PHR_INVALID_PARAMETER);

    EXPECT_EQ(m_pHost->Close(h1), PHR_SUCCESS);
    EXPECT_EQ(m_pHost->Close(h1), PHR_NOT_CONNECTED);
    EXPECT_EQ(m_pHost->Open(h2, "QX/P1"), PHR_SUCCESS) << "free again";
    EXPECT_EQ(m_pHost->Close(h2), PHR_SUCCESS);

    ASSERT_TRUE(m_pLog->Settle());
    const int n1 = static_cast<int>(reinterpret_cast<std::uintptr_t>(h1));
    EXPECT_EQ(m_pLog->Count(2, "-- Open(" + std::to_string(n1) + ", QX/P1) <PHR_SUCCESS>"), 1u);
    EXPECT_EQ(m_pLog->Count(2, "-- Close(" + std::to_string(n1) + ") <PHR_SUCCESS>"), 1u);
}

TEST_F(HostLibraryTest, UiRequestWithTheUcs2FlagReachesTheComponentLevelHandler)
{
    ConfigurePort("Printer1");
    ASSERT_EQ(m_pHost->Initialize(), 1);
    void* const h = m_pHost->NewHandle();
    CData out;
    ASSERT_EQ(m_pHost->Ioctl(h, PH_CONFIG_GET_COMPONENT_UI | PH_UCS2_STRINGS, Text("QX/Printer1"), &out),
              PHR_SUCCESS);
    const std::string strDocument = AsciiOfUcs2(out);
    EXPECT_NE(strDocument.find("<property id=\"ConfigurationPath\" type=\"string\" value=\"QX/Printer1\"/>"),
              std::string::npos)
        << strDocument;

    CData out8;
    ASSERT_EQ(m_pHost->Ioctl(h, PH_CONFIG_GET_COMPONENT_UI, Text("QX/Printer1"), &out8), PHR_SUCCESS);
    ASSERT_GT(out8.Length(), 0u);
    EXPECT_EQ(out8.Buffer()[out8.Length() - 1], 0) << "packed 8-bit text";
    const std::string strDocument8(reinterpret_cast<const char*>(out8.Buffer()));
    EXPECT_NE(strDocument8.find("value=\"QX/Printer1\"/>"), std::string::npos) << strDocument8;
    EXPECT_EQ(out8.Length(), strDocument8.size() + 1) << "one string and its terminator";
}

} // namespace
