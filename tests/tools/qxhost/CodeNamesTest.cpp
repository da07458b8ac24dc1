#include "tools/qxhost/CodeNames.h"

#include <gtest/gtest.h>

#include "contract/PortHandler.h"

TEST(CodeNamesResult, NamesEveryResultAndShowsUnknownOnesInHex)
{
    EXPECT_EQ(CCodeNames::Result(PHR_SUCCESS), "PHR_SUCCESS");
    EXPECT_EQ(CCodeNames::Result(0x80010002u), "PHR_RESPONSE_TIMEOUT");
    EXPECT_EQ(CCodeNames::Result(0x80060003u), "PHR_WRITE_TIMEOUT");
    EXPECT_EQ(CCodeNames::Result(0x80001234u), "0x80001234");
}

TEST(CodeNamesControl, ParsesNamesInAnyFormAndNumbers)
{
    unsigned int ulCode = 0;
    ASSERT_TRUE(CCodeNames::ParseControl("PH_USB_GET_POWER_STATE", &ulCode));
    EXPECT_EQ(ulCode, 0x40060001u);
    ASSERT_TRUE(CCodeNames::ParseControl("usb_set_flow_control", &ulCode));
    EXPECT_EQ(ulCode, 0x60060005u);
    ASSERT_TRUE(CCodeNames::ParseControl("PH_CONFIG_GET_COMPONENT_UI|PH_UCS2_STRINGS", &ulCode));
    EXPECT_EQ(ulCode, 0x4807000Cu);
    ASSERT_TRUE(CCodeNames::ParseControl("config_delete_port+ucs2", &ulCode));
    EXPECT_EQ(ulCode, 0x68070004u);
    ASSERT_TRUE(CCodeNames::ParseControl("0x50010004", &ulCode));
    EXPECT_EQ(ulCode, 0x50010004u);
    ASSERT_TRUE(CCodeNames::ParseControl("1610743813", &ulCode));
    EXPECT_EQ(ulCode, 0x60020005u);
}

TEST(CodeNamesControl, RefusesUnknownNamesAndOversizedNumbers)
{
    unsigned int ulCode = 7;
    EXPECT_FALSE(CCodeNames::ParseControl("PH_USB_MAKE_COFFEE", &ulCode));
    EXPECT_FALSE(CCodeNames::ParseControl("0x100000000", &ulCode));
    EXPECT_FALSE(CCodeNames::ParseControl("12abc", &ulCode));
    EXPECT_FALSE(CCodeNames::ParseControl("", &ulCode));
    EXPECT_FALSE(CCodeNames::ParseControl("+UCS2", &ulCode));
    EXPECT_EQ(ulCode, 7u) << "a refused code leaves the output alone";
}

TEST(CodeNamesControl, NamesShowTheUcs2FlagAndRoundTrip)
{
    EXPECT_EQ(CCodeNames::Control(0x6807000Du & ~0x08000000u), "0x6007000D");
    EXPECT_EQ(CCodeNames::Control(PH_CONFIG_ADD_PORT | PH_UCS2_STRINGS), "PH_CONFIG_ADD_PORT|PH_UCS2_STRINGS");
    for (unsigned int ulCode : {PH_LOCK_PORT, PH_USB_DEVICE_IOCTL, PH_USB_FS_MODE_WORKAROUND | PH_UCS2_STRINGS}) {
        unsigned int ulParsed = 0;
        ASSERT_TRUE(CCodeNames::ParseControl(CCodeNames::Control(ulCode), &ulParsed));
        EXPECT_EQ(ulParsed, ulCode);
    }
}

TEST(CodeNamesEventAndPower, DescribeWhatAHostReceives)
{
    EXPECT_EQ(CCodeNames::Event(PH_EVENT_POWER_STATE), "PH_EVENT_POWER_STATE");
    EXPECT_EQ(CCodeNames::Event(PH_EVENT_INPUT_DATA), "PH_EVENT_INPUT_DATA");
    EXPECT_EQ(CCodeNames::Event(0x00060003u), "0x00060003");
    EXPECT_EQ(CCodeNames::Power(-1), "not yet determined (-1)");
    EXPECT_EQ(CCodeNames::Power(0), "ready (0)");
    EXPECT_EQ(CCodeNames::Power(2), "unavailable (2)");
    EXPECT_EQ(CCodeNames::Power(3), "display not ready (3)");
    EXPECT_EQ(CCodeNames::Power(9), "unknown state (9)");
}
