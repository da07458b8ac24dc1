#include "tools/qxhost/EventClock.h"

#include <cstdio>

double CEventClock::Seconds(time_point when) const {
    if (when <= m_start) return 0.0;
    return std::chrono::duration<double>(when - m_start).count();
}

std::string CEventClock::Offset(time_point when) const {
    char sz[32];
    std::snprintf(sz, sizeof sz, "+%.3fs", Seconds(when));
    return sz;
}
