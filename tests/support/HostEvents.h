#pragma once
// What the substitute host recorded for a handle, read the way the end-to-end suites assert it.
#include <string.h>

#include <vector>

#include "contract/PortHandler.h"
#include "host/Host.h"

namespace testsupport {

// The power states reported for the handle, in order; events without a 4-byte state are skipped.
inline std::vector<int> PowerStates(const CHost& host, void* h)
{
    std::vector<int> vec;
    for (const HOST_EVENT& e : host.Events(h))
        if (e.ulCode == PH_EVENT_POWER_STATE && e.vecData.size() == 4) {
            int n;
            memcpy(&n, e.vecData.data(), 4);
            vec.push_back(n);
        }
    return vec;
}

}  // namespace testsupport
