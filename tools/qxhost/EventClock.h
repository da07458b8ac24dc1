#pragma once
// CEventClock: the time of an event relative to the moment qxhost started looking, as "+1.234s".
// Events that the component raised while the port was opening, before the clock started, show as
// "+0.000s": a negative offset would read as a clock fault, not as "at once".

#include <chrono>
#include <string>

class CEventClock {
public:
    using time_point = std::chrono::steady_clock::time_point;

    explicit CEventClock(time_point start = std::chrono::steady_clock::now()) : m_start(start) {}

    double Seconds(time_point when) const;
    std::string Offset(time_point when) const;

private:
    time_point m_start;
};
