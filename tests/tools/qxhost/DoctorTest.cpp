#include "tools/qxhost/Doctor.h"

#include <gtest/gtest.h>

namespace {

// Why a device node refuses the process, from what the system shows, and the one fix for it.
TEST(DoctorExplainAccess, NamesTheFirstMissingStepOfDeviceAccess)
{
    using FACTS = CDoctor::ACCESS_FACTS;
    const struct {
        FACTS facts; // rule installed, node found, node group lp, group may write, process in lp
        const char* pszWhy;
        const char* pszFix;
    } cases[] = {
        {{false, true, false, false, true}, "the udev rule 60-taliunqxusb.rules is not installed", "udevadm trigger"},
        {{true, false, false, false, true}, "device node under /dev/bus/usb is missing", "make sure udev runs"},
        {{true, true, false, true, true}, "installed but not applied", "udevadm control --reload"},
        {{true, true, true, false, true}, "installed but not applied", "udevadm control --reload"},
        {{true, true, true, true, false}, "belongs to group lp, and this process is not in it", "adduser USER lp"},
        {{true, true, true, true, true}, "although the udev rule is applied", "security module"},
    };
    for (const auto& c : cases) {
        std::string strWhy, strFix;
        CDoctor::ExplainAccess(c.facts, &strWhy, &strFix);
        EXPECT_NE(strWhy.find(c.pszWhy), std::string::npos) << strWhy;
        EXPECT_EQ(strWhy.compare(0, 17, "permission denied"), 0) << strWhy;
        EXPECT_NE(strFix.find(c.pszFix), std::string::npos) << strFix;
    }
}

} // namespace
