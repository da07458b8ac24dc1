#pragma once

namespace FUNCTIONS {
// Millisecond tick in 32 bits (wraps about every 49.7 days); differences of two readings give the
// elapsed time. Taken from a monotonic clock, so clock steps do not disturb time-outs.
unsigned int GetTickCount();
}  // namespace FUNCTIONS
