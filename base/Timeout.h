#pragma once

// A time-out of 0xFFFFFFFF ms waits without limit; 0 tests without waiting.
constexpr unsigned int kInfinite = 0xFFFFFFFFu;
