#include "mappingtool/core/PrinterData.h"

#include <unordered_map>

namespace quillon {

const char16_t kValueFontGroupIndex[] = u"KVFontGroupIndex";
const char16_t kValueCodePageTable[] = u"KVCodePageTable";
const char16_t kValueQuillon[] = u"KVQuillon";

namespace {

constexpr size_t kFontGroupIndexOffset = 4;
constexpr size_t kFontGroupNameOffset = 8;

std::u16string FontGroupName(const uint8_t* pEntry) {
    std::u16string strName;
    for (uint32_t i = 0; i < kFontGroupNameUnits; ++i) {
        const uint8_t* p = pEntry + kFontGroupNameOffset + 2 * i;
        const char16_t c = static_cast<char16_t>(p[0] | (p[1] << 8));
        if (c == u'\0') break;
        strName.push_back(c);
    }
    return strName;
}

}  // namespace

uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void PutLE32(std::vector<uint8_t>& vecOut, uint32_t ulValue) {
    for (int i = 0; i < 4; ++i) vecOut.push_back(static_cast<uint8_t>(ulValue >> (8 * i)));
}

bool IsCountedBlock(const uint8_t* pData, size_t nSize, uint32_t ulRecordSize) {
    if (pData == nullptr || nSize < 4) return false;
    const uint64_t ullExpected = static_cast<uint64_t>(GetLE32(pData)) * ulRecordSize + 4;
    return ullExpected == nSize;
}

std::u16string MatchFontGroups(MappingTable& table, const uint8_t* pFontGroupIndex, size_t nSize) {
    // The first entry of a name wins; an index of the names makes the match linear in the data.
    std::unordered_map<std::u16string, uint32_t> mapIndex;
    if (IsCountedBlock(pFontGroupIndex, nSize, kFontGroupEntrySize)) {
        const uint32_t ulCount = GetLE32(pFontGroupIndex);
        for (uint32_t i = 0; i < ulCount; ++i) {
            const uint8_t* pEntry =
                pFontGroupIndex + 4 + static_cast<size_t>(i) * kFontGroupEntrySize;
            mapIndex.emplace(FontGroupName(pEntry), GetLE32(pEntry + kFontGroupIndexOffset));
        }
    }
    std::u16string strUnsupported;
    for (auto it = table.begin(); it != table.end();) {
        const auto found = mapIndex.find(it->first);
        if (found == mapIndex.end()) {
            if (!strUnsupported.empty()) strUnsupported.push_back(u',');
            strUnsupported += it->first;
            it = table.erase(it);
            continue;
        }
        it->second.ulFontGroupIndex = found->second;
        for (MappingRecord& record : it->second.vecRecords) record.ulFontGroupIndex = found->second;
        ++it;
    }
    return strUnsupported;
}

std::vector<uint8_t> AddCodePageEntries(const MappingTable& table, const uint8_t* pData,
                                        size_t nSize) {
    struct Entry {
        uint32_t ulType, ulId, ulValue;
    };
    std::vector<Entry> vecEntries;
    if (IsCountedBlock(pData, nSize, kCodePageEntrySize)) {
        const uint32_t ulCount = GetLE32(pData);
        vecEntries.reserve(ulCount);
        for (uint32_t i = 0; i < ulCount; ++i) {
            const uint8_t* p = pData + 4 + static_cast<size_t>(i) * kCodePageEntrySize;
            vecEntries.push_back(Entry{GetLE32(p), GetLE32(p + 4), GetLE32(p + 8)});
        }
    }
    std::unordered_multimap<uint32_t, size_t> mapById;
    for (size_t i = 0; i < vecEntries.size(); ++i) mapById.emplace(vecEntries[i].ulId, i);
    for (const auto& [strName, group] : table) {
        (void)strName;
        const auto range = mapById.equal_range(group.ulFontGroupIndex);
        if (range.first == range.second) {
            vecEntries.push_back(Entry{kCodePageEntryOwned, group.ulFontGroupIndex, 0});
            mapById.emplace(group.ulFontGroupIndex, vecEntries.size() - 1);
            continue;
        }
        for (auto it = range.first; it != range.second; ++it) {
            vecEntries[it->second].ulType = kCodePageEntryOwned;
            vecEntries[it->second].ulValue = 0;
        }
    }
    std::vector<uint8_t> vecOut;
    vecOut.reserve(4 + vecEntries.size() * kCodePageEntrySize);
    PutLE32(vecOut, static_cast<uint32_t>(vecEntries.size()));
    for (const Entry& entry : vecEntries) {
        PutLE32(vecOut, entry.ulType);
        PutLE32(vecOut, entry.ulId);
        PutLE32(vecOut, entry.ulValue);
    }
    return vecOut;
}

bool RemoveCodePageEntries(const uint8_t* pData, size_t nSize, std::vector<uint8_t>& vecOut) {
    vecOut.clear();
    if (!IsCountedBlock(pData, nSize, kCodePageEntrySize)) return false;
    const uint32_t ulCount = GetLE32(pData);
    uint32_t ulKept = 0;
    for (uint32_t i = 0; i < ulCount; ++i) {
        if (GetLE32(pData + 4 + static_cast<size_t>(i) * kCodePageEntrySize) != kCodePageEntryOwned)
            ++ulKept;
    }
    if (ulKept == ulCount) return false;
    vecOut.reserve(4 + static_cast<size_t>(ulKept) * kCodePageEntrySize);
    PutLE32(vecOut, ulKept);
    for (uint32_t i = 0; i < ulCount; ++i) {
        const uint8_t* p = pData + 4 + static_cast<size_t>(i) * kCodePageEntrySize;
        if (GetLE32(p) != kCodePageEntryOwned)
            vecOut.insert(vecOut.end(), p, p + kCodePageEntrySize);
    }
    return true;
}

std::vector<uint8_t> BuildMappingRecordTable(const MappingTable& table) {
    std::vector<const MappingRecord*> vecAll;
    for (const auto& entry : table) {
        for (const MappingRecord& record : entry.second.vecRecords) vecAll.push_back(&record);
    }
    auto key = [](const MappingRecord& r) {
        return (static_cast<uint64_t>(r.ulFontGroupIndex) << 32) | r.ulMappedFrom;
    };
    std::unordered_map<uint64_t, size_t> mapLast;
    for (size_t i = 0; i < vecAll.size(); ++i) mapLast[key(*vecAll[i])] = i;

    std::vector<uint8_t> vecOut;
    vecOut.reserve(4 + mapLast.size() * MappingRecord::kSize);
    PutLE32(vecOut, static_cast<uint32_t>(mapLast.size()));
    for (size_t i = 0; i < vecAll.size(); ++i) {
        const MappingRecord& r = *vecAll[i];
        if (mapLast[key(r)] != i) continue;
        for (uint32_t ulWord : {r.ulSize, r.ulReserved, r.ulFontGroupIndex, r.ulMappedFrom,
                                r.ulCount, r.ulMappedTo}) {
            PutLE32(vecOut, ulWord);
        }
    }
    return vecOut;
}

}  // namespace quillon
