#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mappingtool/core/MappingRecord.h"

namespace quillon {

// The records of one font group in INI order. The group keeps its own font-group index as well,
// because a group without mapping lines still needs it for its code-page entry.
struct MappingGroup {
    std::vector<MappingRecord> vecRecords;
    uint32_t ulFontGroupIndex = 0;
};

// Font-group name to its records. std::u16string compares by unsigned 16-bit code units with a
// proper prefix first, which is exactly the key order the printer data is written in.
using MappingTable = std::map<std::u16string, MappingGroup>;

}  // namespace quillon
