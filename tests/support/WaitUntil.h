#pragma once
// Polling for conditions that have no notification of their own (a fake's count, the host's
// property tree, recorded events).
#include <chrono>
#include <thread>

namespace testsupport {

// True as soon as pred() holds; after the time-out, the last outcome of pred().
template <class Pred>
bool WaitUntil(Pred pred, unsigned int ulTimeoutMs = 20000)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ulTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace testsupport
