#pragma once

#include <cstdint>

namespace quillon {

// One mapping line of the INI section; written to KVQuillon as six little-endian words in this
// order.
struct MappingRecord {
    static constexpr uint32_t kSize = 24;

    uint32_t ulSize = kSize;
    uint32_t ulReserved = 0;
    uint32_t ulFontGroupIndex = 0;  // set by the font-group match
    uint32_t ulMappedFrom = 0;
    uint32_t ulCount = 0;
    uint32_t ulMappedTo = 0;
};

}  // namespace quillon
