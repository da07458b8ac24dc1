#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "mappingtool/core/MappingTable.h"

namespace quillon {

extern const char16_t kValueFontGroupIndex[];  // "KVFontGroupIndex"
extern const char16_t kValueCodePageTable[];   // "KVCodePageTable"
extern const char16_t kValueQuillon[];         // "KVQuillon"

constexpr uint32_t kFontGroupEntrySize = 520;
constexpr uint32_t kFontGroupNameUnits = 256;
constexpr uint32_t kCodePageEntrySize = 12;
constexpr uint32_t kCodePageEntryOwned = 4;  // entry type of the tool's own code-page entries

uint32_t GetLE32(const uint8_t* p);
void PutLE32(std::vector<uint8_t>& vecOut, uint32_t ulValue);

// A count word followed by exactly that many records of ulRecordSize bytes. The size test runs in
// 64 bits: a count that wraps in 32-bit arithmetic must not make a short block look valid.
bool IsCountedBlock(const uint8_t* pData, size_t nSize, uint32_t ulRecordSize);

// Writes each group's font-group index (from KVFontGroupIndex) into the group and its records, and
// removes the groups the printer does not know. Returns their names joined by "," in key order.
// Data of a wrong size counts as no entries.
std::u16string MatchFontGroups(MappingTable& table, const uint8_t* pFontGroupIndex, size_t nSize);

// KVCodePageTable with a type-4 entry for each group's font-group index (adding). Current data of a
// wrong size counts as an empty table.
std::vector<uint8_t> AddCodePageEntries(const MappingTable& table, const uint8_t* pData,
                                        size_t nSize);

// KVCodePageTable without its type-4 entries, or false when it has none (then nothing is to be
// written).
bool RemoveCodePageEntries(const uint8_t* pData, size_t nSize, std::vector<uint8_t>& vecOut);

// KVQuillon: the records of all groups in key order; of records with the same font-group index and
// mapped-from code only the last survives.
std::vector<uint8_t> BuildMappingRecordTable(const MappingTable& table);

}  // namespace quillon
