#include "threads/Functions.h"

#include <time.h>

namespace FUNCTIONS {

unsigned int GetTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    // Wraps in 32 bits on purpose: callers compare readings by unsigned difference.
    return static_cast<unsigned int>(now.tv_sec) * 1000u +
           static_cast<unsigned int>(now.tv_nsec / 1000000);
}

}  // namespace FUNCTIONS
